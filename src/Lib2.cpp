#include "Lib2.h"

#include "Runtime.h"

namespace Lib2 {
namespace {
BOOL8 started = false;
}

void Start() {
  if (started) return;
  started = true;
  Types::Start();
  Runtime::NoteStart("Lib2");
}

void Fill(void* x, std::size_t n, BYTE v) {
  std::memset(x, v, n);
}

}  // namespace Lib2
