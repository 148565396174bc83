// Tmr: the program's tick count, milliseconds since Tmr started, modulo 2^32. Safe to read from
// any thread.
#pragma once

#include "Types.h"

namespace Tmr {
void Start();
// The tick count brought up to date.
CARD32 Ticks();
}  // namespace Tmr
