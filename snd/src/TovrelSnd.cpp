// TovrelSnd: the sender. Starts its modules in import order, then halts.
#include "TovrelSnd.h"

#include "Lib2.h"
#include "Lib3.h"
#include "Runtime.h"
#include "Tmr.h"
#include "Types.h"

namespace TovrelSnd {
namespace {
BOOL8 started = false;
}

// The main module's imports, in their order; each starts its own imports first.
void StartImports() {
  Tmr::Start();
  Lib2::Start();
  Types::Start();
}

[[noreturn]] void Start() {
  if (!started) {
    started = true;
    StartImports();
    Runtime::NoteStart("TovrelSnd");
  }
  Lib3::Halt();
}
}  // namespace TovrelSnd
