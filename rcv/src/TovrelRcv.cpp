#include "TovrelRcv.h"

#include "Cfg.h"
#include "Config.h"
#include "Log.h"
#include "Mot.h"
#include "Runtime.h"
#include "Tmr.h"
#include "Tmr0.h"
#include "Tovrel.h"

namespace TovrelRcv {
namespace {

BOOL8 started = false;
Tovrel::TRdrDesc* rdr = nullptr;  // the reader of Main
CARD32 t0 = 0;                    // the tick count at the end of start-up

constexpr CARD32 blockLen = 128;
constexpr CARD32 maxDump = 512;

void Error(Text s) {
  Log::Write(Cfg::midTovrelRcv, Log::lvlErr, s, true);
}

// The report of a block whose byte i is the first to differ from byte 0.
void Show(const BYTE* x, CARD32 m, CARD32 l, CARD32 i) {
  CHAR a[1025];
  SO::TBuffer b;
  SO::Init(b, a);
  SO::WrStr(b, "Check: ");
  SO::WrLngCard(b, i, 1);
  SO::WrStr(b, " ");
  SO::WrLngCard(b, l, 1);
  SO::WrStr(b, "  ");
  WrHex(b, x, m, l);
  Error(a);
}

// The run time is tested before the read: the period in which it is found to be over reads
// nothing.
void Update() {
  if (Tmr0::Diff(t0, Tmr::Ticks()) >= Config::data.dur) Runtime::HaltProgram(9);
  BYTE block[blockLen] = {};
  Tovrel::Read(rdr, block, blockLen);
  Check(block, blockLen, blockLen);
}

}  // namespace

void WrHex(SO::TBuffer& b, const BYTE* x, CARD32 m, CARD32 l) {
  if (l > m) l = m;
  if (l > maxDump) l = maxDump;
  if (l == 0) return;
  const CHAR p = b.c.p;
  b.c.p = '0';
  for (CARD32 i = 0; i < l; ++i) {
    SO::WrShtHex(b, x[i], 2);
    if (i + 1 < l) SO::WrChar(b, ' ');
  }
  b.c.p = p;
}

void Check(const BYTE* x, CARD32 m, CARD32 l) {
  Runtime::Check(l >= 1 && l <= m, "TovrelRcv.Check: length out of range");
  const BYTE v = x[0];
  for (CARD32 i = 1; i < l; ++i) {
    if (x[i] != v) {
      Show(x, m, l, i);
      Runtime::HaltProgram(9);
    }
  }
}

void StartImports() {
  Tovrel::Start();
  Tmr::Start();
  Mot::Start();
  Config::Start();
  Log::Start();
  Cfg::Start();
  SO::Start();
  Types::Start();
}

void Start() {
  if (!started) {
    started = true;
    StartImports();
    Runtime::NoteStart("TovrelRcv");
  }
  Log::Register(Cfg::midTovrelRcv, "TovrelRc");
  rdr = Tovrel::NewRdr(Tovrel::idMain);
  t0 = Tmr::Ticks();
  Mot::Exec(Update);
}

}  // namespace TovrelRcv
