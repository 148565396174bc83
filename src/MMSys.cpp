#include "MMSys.h"

#include "Lib3.h"
#include "os/os.h"

namespace MMSys {
namespace {

BOOL8 started = false;
Lib3::TProc oldTerm = nullptr;

void DoneModule() {
  if (Os::timeEndPeriod(1) != Os::timerrNoError) Lib3::FatalError("MMSys: timeEndPeriod failed");
  oldTerm();
}

}  // namespace

void Start() {
  if (started) return;
  started = true;
  Lib3::Start();
  Runtime::NoteStart("MMSys");
  if (Os::timeBeginPeriod(1) != Os::timerrNoError)
    Lib3::FatalError("MMSys: timeBeginPeriod failed");
  Lib3::Terminate(DoneModule, oldTerm);
}

CARD32 Ticks() {
  return Os::timeGetTime();
}

}  // namespace MMSys
