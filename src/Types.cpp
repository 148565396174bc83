#include "Types.h"

#include "Runtime.h"

namespace Types {
namespace {
BOOL8 started = false;
}

void Start() {
  if (started) return;
  started = true;
  Runtime::NoteStart("Types");
}
}  // namespace Types
