#include "Mtxs.h"

#include "Heap.h"
#include "Runtime.h"
#include "os/os.h"

namespace Mtxs {
namespace {
BOOL8 started = false;
}

void Start() {
  if (started) return;
  started = true;
  Heap::Start();
  Runtime::NoteStart("Mtxs");
}

TMutex New() {
  void* a = nullptr;
  Heap::ALLOCATE(a, Os::CriticalSectionSize());
  Runtime::Check(a != nullptr, "Mtxs.New: null access");
  Os::InitializeCriticalSection(a);
  return a;
}

void Req(TMutex m) {
  Runtime::Check(m != nullptr, "Mtxs.Req: null access");
  Os::EnterCriticalSection(m);
}

void Rel(TMutex m) {
  Runtime::Check(m != nullptr, "Mtxs.Rel: null access");
  Os::LeaveCriticalSection(m);
}

}  // namespace Mtxs
