// MMSys: the 1 ms timer resolution for the lifetime of the process, and the system's
// millisecond clock.
#pragma once

#include "Types.h"

namespace MMSys {
void Start();
// The system's millisecond clock, counting from the start of the system, wrapping at 2^32.
CARD32 Ticks();
}  // namespace MMSys
