// The console control handler of ConSigs, for the module's own tests.
#pragma once

#include "Types.h"

namespace ConSigs {
// Halts the program for Ctrl+C, Ctrl+Break, closing the console, system shutdown and the types
// 3 and 4; returns FALSE (0) for a logoff and for every type above 6.
INT32 Handler(CARD32 ct);
}  // namespace ConSigs
