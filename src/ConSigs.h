// ConSigs: turns the console's control signals (Ctrl+C, Ctrl+Break, closing the console,
// system shutdown) into an orderly halt of the program. Importing it is enough.
#pragma once

namespace ConSigs {
void Start();
}  // namespace ConSigs
