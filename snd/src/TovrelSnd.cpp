#include "TovrelSnd.h"

#include "Config.h"
#include "Lib2.h"
#include "Mot.h"
#include "Runtime.h"
#include "Tmr.h"
#include "Tmr0.h"
#include "Tovrel.h"
#include "Types.h"

namespace TovrelSnd {
namespace {

BOOL8 started = false;
Tovrel::TWrtrDesc* wrt = nullptr;  // the writer of Main
BYTE x = 255;                      // the value of the next block
CARD32 t0 = 0;                     // the tick count at the end of start-up

constexpr CARD32 blockLen = 128;

// The run time is tested before the write: the period in which it is found to be over writes
// no block.
void Update() {
  if (Tmr0::Diff(t0, Tmr::Ticks()) >= Config::data.dur) Runtime::HaltProgram(9);
  BYTE block[blockLen];
  Lib2::Fill(block, x);
  Tovrel::Write(wrt, block, blockLen);
  Lib2::IncS(x, 1);
}

}  // namespace

void StartImports() {
  Config::Start();
  Tovrel::Start();
  Tmr::Start();
  Mot::Start();
  Lib2::Start();
  Types::Start();
}

void Start() {
  if (!started) {
    started = true;
    StartImports();
    Runtime::NoteStart("TovrelSnd");
  }
  wrt = Tovrel::NewWrtr(Tovrel::idMain);
  x = 255;
  t0 = Tmr::Ticks();
  Mot::Exec(Update);
}

}  // namespace TovrelSnd
