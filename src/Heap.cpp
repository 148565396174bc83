#include "Heap.h"

#include "Runtime.h"
#include "os/os.h"

namespace Heap {
namespace {
BOOL8 started = false;
void* cs = nullptr;
}  // namespace

void Start() {
  if (started) return;
  started = true;
  Runtime::NoteStart("Heap");
  cs = Os::Allocate(Os::CriticalSectionSize());
  Runtime::Check(cs != nullptr, "Heap: no storage for its lock");
  Os::InitializeCriticalSection(cs);
}

void ALLOCATE(void*& a, CARD32 l) {
  Os::EnterCriticalSection(cs);
  a = Os::Allocate(l);
  Os::LeaveCriticalSection(cs);
}

}  // namespace Heap
