#include "Cfg.h"

#include "Runtime.h"

namespace Cfg {
namespace {
BOOL8 started = false;
}

void Start() {
  if (started) return;
  started = true;
  Runtime::NoteStart("Cfg");
}
}  // namespace Cfg
