// TovrelSnd: the sender's main module. Every period it writes a block of 128 equal bytes to
// the start of the shared buffer Main, the value going up by one from block to block; it halts
// by itself once its run time is over.
#pragma once

namespace TovrelSnd {
// Starts the main module's imports, in their order.
void StartImports();
// Starts the imports, then runs the program's body; never returns.
[[noreturn]] void Start();
}  // namespace TovrelSnd
