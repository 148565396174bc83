// Mtxs: re-entrant locks (critical sections) for data shared between threads of the process.
// A thread that holds a lock may take it again and must give it back as often as it took it.
#pragma once

#include "Types.h"

namespace Mtxs {
using TMutex = void*;
void Start();
// A new lock, never null.
TMutex New();
void Req(TMutex m);
void Rel(TMutex m);
}  // namespace Mtxs
