// TovrelRcv: the receiver. Starts its modules in import order, then halts.
#include "TovrelRcv.h"

#include "Cfg.h"
#include "Lib3.h"
#include "Log.h"
#include "Runtime.h"
#include "SO.h"
#include "Tmr.h"
#include "Types.h"

namespace TovrelRcv {
namespace {
BOOL8 started = false;
}

// The main module's imports, in their order; each starts its own imports first.
void StartImports() {
  Tmr::Start();
  Log::Start();
  Cfg::Start();
  SO::Start();
  Types::Start();
}

[[noreturn]] void Start() {
  if (!started) {
    started = true;
    StartImports();
    Runtime::NoteStart("TovrelRcv");
  }
  Lib3::Halt();
}
}  // namespace TovrelRcv
