#include "Tmr0.h"

#include "Runtime.h"

namespace Tmr0 {
namespace {
BOOL8 started = false;
}

void Start() {
  if (started) return;
  started = true;
  Types::Start();
  Runtime::NoteStart("Tmr0");
}
}  // namespace Tmr0
