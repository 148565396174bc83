// Heap: general storage that is safe to allocate from several threads. Blocks live until the
// process ends.
#pragma once

#include "Types.h"

namespace Heap {
void Start();
// a := a new block of l bytes, or null when storage is exhausted or l is 0.
void ALLOCATE(void*& a, CARD32 l);
}  // namespace Heap
