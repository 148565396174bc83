// TovrelRcv: the main module.
#pragma once

namespace TovrelRcv {
// Starts the main module's imports, in their order.
void StartImports();
// Starts the imports, then runs the program's body; never returns.
[[noreturn]] void Start();
}  // namespace TovrelRcv
