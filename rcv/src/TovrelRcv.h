// TovrelRcv: the receiver's main module. Every period it reads the first 128 bytes of the
// shared buffer Main and checks that they are all equal; the first block that is not is
// reported with a hexadecimal dump, and the program halts. It halts by itself once its run
// time is over.
#pragma once

#include "SO.h"
#include "Types.h"

namespace TovrelRcv {

// Starts the main module's imports, in their order.
void StartImports();
// Starts the imports, then runs the program's body; never returns.
[[noreturn]] void Start();

// The steps of the check, open to the tests.
// Returns if the first l bytes of x (m bytes long, l at least 1) are all equal; otherwise
// reports the first differing index with a dump of the block and halts.
void Check(const BYTE* x, CARD32 m, CARD32 l);
// Appends the first l bytes of x (m bytes long; at most 512 of them) in hexadecimal, two
// digits each, separated by blanks; the buffer's fill character is the same afterwards.
void WrHex(SO::TBuffer& b, const BYTE* x, CARD32 m, CARD32 l);

}  // namespace TovrelRcv
