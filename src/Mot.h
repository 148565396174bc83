// Mot: the periodic executive, the main loop of both programs. A private timer expires every
// millisecond from Mot's start-up on; Exec waits for each expiry and calls the program's
// periodic procedure once per expiry, for ever. Expiries that pass while the procedure runs
// count as one period: missed periods are never made up. The count of periods is written to
// the log at shutdown.
#pragma once

#include <atomic>

#include "Runtime.h"
#include "Types.h"

namespace Mot {

void Start();

// Runs the periodic loop on the calling (main) thread: waits for the next expiry, counts the
// period, calls p; never returns. No procedure is a fatal error.
[[noreturn]] void Exec(Runtime::TProc p);

// The number of periods the loop has completed, modulo 2^32; read from any thread.
extern const std::atomic<CARD32>& cnt;

}  // namespace Mot
