#include "Tmr.h"

#include "MMSys.h"
#include "Mtxs.h"
#include "Runtime.h"
#include "Tmr0.h"

namespace Tmr {
namespace {

BOOL8 started = false;
CARD32 tcs = 0;  // the tick count; guarded by mtx
CARD32 win = 0;  // the system clock at the last update of tcs; guarded by mtx
Mtxs::TMutex mtx = nullptr;

void Enter() {
  Mtxs::Req(mtx);
}
void Leave() {
  Mtxs::Rel(mtx);
}

// Adds the clock's movement since the last update; the caller holds mtx, so two callers never
// add the same elapsed time twice.
void Update() {
  const CARD32 now = MMSys::Ticks();
  tcs = Tmr0::Add(tcs, Tmr0::Diff(win, now));
  win = now;
}

}  // namespace

void Start() {
  if (started) return;
  started = true;
  Mtxs::Start();
  MMSys::Start();
  Tmr0::Start();
  Runtime::NoteStart("Tmr");
  tcs = 0;
  win = MMSys::Ticks();
  mtx = Mtxs::New();
}

CARD32 Ticks() {
  Enter();
  Update();
  const CARD32 t = tcs;
  Leave();
  return t;
}

}  // namespace Tmr
