// The internal procedures of Mot and the period count behind Mot::cnt, for the module's own
// tests.
#pragma once

#include <atomic>

#include "Types.h"
#include "os/os.h"

namespace Mot {

extern std::atomic<CARD32> periods;  // Mot::cnt reads it

// Waits for the next expiry of the module's timer, then counts the period.
void Wait();
// Waits without a time limit until h is signalled; returns only on success.
void WaitWinEvent(Os::Handle h);
// A new timer; never null.
Os::Handle NewWinTimer();
// Arms h: the first expiry dt milliseconds from now, then every dt milliseconds when cyc is
// TRUE, or no more when it is FALSE. dt is at most 429496.
void StartWinTimer(Os::Handle h, CARD32 dt, BOOL8 cyc);

}  // namespace Mot
