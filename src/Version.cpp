#include "Version.h"

#include "Runtime.h"

namespace Version {
namespace {
BOOL8 started = false;
}

void Start() {
  if (started) return;
  started = true;
  Runtime::NoteStart("Version");
}

}  // namespace Version
