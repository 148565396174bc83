#include "Mot.h"

#include "Cfg.h"
#include "Lib2.h"
#include "Lib3.h"
#include "Log.h"
#include "MotInternal.h"
#include "SO.h"
#include "os/os.h"

namespace Mot {
namespace {

BOOL8 started = false;
Os::Handle tmr = nullptr;  // never cancelled or closed
Lib3::TProc oldTerm = nullptr;

constexpr CARD32 maxPeriod = 429496;  // the most milliseconds whose 100 ns count fits 32 bits

void Message(Text s) {
  Log::Write(Cfg::midMot, Log::lvlMsg, s, false);
}

[[noreturn]] void Fatal(Text s) {
  Log::Write(Cfg::midMot, Log::lvlFat, s, true);
  Lib3::Halt();
}

// Sets a to the text s followed by x in decimal.
void MkMsg(CHAR (&a)[128], Text s, CARD32 x) {
  SO::TBuffer b;
  SO::Init(b, a);
  SO::WrStr(b, s);
  SO::WrLngCard(b, x, 1);
}

// Runs on whichever thread halts the program; the main thread may still be counting periods,
// so the count written can be one behind the final one.
void DoneModule() {
  CHAR a[128];
  MkMsg(a, "DoneModule: ", cnt.load(std::memory_order_relaxed));
  Message(a);
  oldTerm();
}

void InitModule() {
  Log::Register(Cfg::midMot, "Mot");
  periods.store(0, std::memory_order_relaxed);
  tmr = NewWinTimer();
  StartWinTimer(tmr, 1, true);  // runs from now on, whether or not Exec has been called yet
  CHAR a[128];
  MkMsg(a, "InitModule: ", cnt.load(std::memory_order_relaxed));  // always 0
  Message(a);
  Lib3::Terminate(DoneModule, oldTerm);
}

}  // namespace

// Written only by the main thread; read without a lock by a shutdown on another thread.
std::atomic<CARD32> periods{0};
const std::atomic<CARD32>& cnt = periods;

void Start() {
  if (started) return;
  started = true;
  Log::Start();
  SO::Start();
  Cfg::Start();
  Lib3::Start();
  Lib2::Start();
  Runtime::NoteStart("Mot");
  InitModule();
}

Os::Handle NewWinTimer() {
  const Os::Handle h = Os::CreateWaitableTimerA();
  if (h == nullptr) {
    CHAR a[128];
    MkMsg(a, "NewWinTimer: CreateWaitableTimer failed, err ", Os::GetLastError());
    Fatal(a);
  }
  return h;
}

void StartWinTimer(Os::Handle h, CARD32 dt, BOOL8 cyc) {
  if (dt > maxPeriod) Fatal("StartWinTimer: Invalid period");
  const std::int64_t due = -static_cast<std::int64_t>(dt) * 10000;  // relative, 100 ns units
  const INT32 period = cyc ? static_cast<INT32>(dt) : 0;
  if (!Os::SetWaitableTimer(h, due, period)) {
    CHAR a[128];
    MkMsg(a, "StartWinTimer: SetWaitableTimer failed, err ", Os::GetLastError());
    Fatal(a);
  }
}

void WaitWinEvent(Os::Handle h) {
  const CARD32 r = Os::WaitForSingleObject(h, Os::infinite);
  if (r == Os::waitObject0) return;
  CHAR a[128];
  if (r == Os::waitFailed)
    MkMsg(a, "WaitWinEvent: WaitForSingleObject failed, err ", Os::GetLastError());
  else
    MkMsg(a, "WaitWinEvent: WaitForSingleObject returned ", r);
  Fatal(a);
}

void Wait() {
  WaitWinEvent(tmr);
  CARD32 c = periods.load(std::memory_order_relaxed);
  Lib2::IncL(c, 1);
  periods.store(c, std::memory_order_relaxed);
}

void Exec(Runtime::TProc p) {
  if (p == nullptr) Fatal("Exec: Invalid procedure");
  for (;;) {
    Wait();
    p();
  }
}

}  // namespace Mot
