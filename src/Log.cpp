// The log: the module registry, the line format and the write path, then the log file's
// lifecycle (names, opening, size, rotation, start-up and shutdown).
#include "Log.h"

#include "FIOStd.h"
#include "Lib2.h"
#include "Lib3.h"
#include "Mtxs.h"
#include "Runtime.h"
#include "SO.h"
#include "Tmr.h"
#include "Utils.h"
#include "os/os.h"

namespace Log {
namespace {

using Cfg::TModId;

BOOL8 started = false;

// ---- Registry and line format --------------------------------------------------------------

constexpr CARD32 nameLen = 16;
using TModName = CHAR[nameLen];

struct TModDesc {
  TModName n;
  BOOL8 r;
};

TModDesc mods[Cfg::nMods];  // guarded by mtx
Mtxs::TMutex mtx = nullptr;

constexpr CHAR lvlLetters[] = "MWEF";
constexpr CARD32 lineLen = 512;

void Enter() {
  Mtxs::Req(mtx);
}
void Leave() {
  Mtxs::Rel(mtx);
}

void WrTime(SO::TBuffer& b) {
  Os::SYSTEMTIME t;
  Os::GetSystemTime(t);
  const CHAR p = b.c.p;
  b.c.p = '0';
  SO::WrCard(b, t.wYear, 4);
  SO::WrCard(b, t.wMonth, 2);
  SO::WrCard(b, t.wDay, 2);
  SO::WrChar(b, ' ');
  SO::WrCard(b, t.wHour, 2);
  SO::WrCard(b, t.wMinute, 2);
  SO::WrCard(b, t.wSecond, 2);
  SO::WrChar(b, '.');
  SO::WrCard(b, t.wMilliseconds, 3);
  SO::WrChar(b, ' ');
  b.c.p = p;
}

void WrTicks(SO::TBuffer& b) {
  const CARD32 t = Tmr::Ticks();
  const CHAR p = b.c.p;
  b.c.p = '0';
  SO::WrLngHex(b, t, 8);
  SO::WrChar(b, ' ');
  b.c.p = p;
}

void WrModName(SO::TBuffer& b, TModId m) {
  SO::WrStrAdj(b, Text(mods[m].n, nameLen), -8);
  SO::WrChar(b, ' ');
}

void CheckId(TModId m) {
  Runtime::Check(m < Cfg::nMods, "Log: module id out of range");
}

// ---- File lifecycle ----------------------------------------------------------------------------

constexpr CARD32 nGens = 16;                  // older generations kept
constexpr std::uint64_t maxSize = 134217728;  // a file never grows past this
using TFileName = CHAR[16];

Os::File f;  // the open log file or FIOStd.inv; guarded by mtx
TFileName fnms[nGens + 1];
Lib3::TProc oldTerm = nullptr;

// A file name as the file operations take it: NUL-terminated, even when it fills its array.
struct CName {
  CHAR s[sizeof(TFileName) + 1];
  explicit CName(const TFileName& n) {
    const CARD32 k = Text(n, sizeof n).Len();
    for (CARD32 i = 0; i < k; ++i) s[i] = n[i];
    s[k] = '\0';
  }
};

// A failed file operation of the log: a run-time error naming the operation, the file and the
// platform's error code.
[[noreturn]] void FileError(const char* op, const TFileName& n) {
  const CARD32 e = Os::GetLastError();
  CHAR a[128];
  SO::TBuffer b;
  SO::Init(b, a);
  SO::WrStr(b, "Log: ");
  SO::WrStr(b, Text(op, 64));
  SO::WrStr(b, " \"");
  SO::WrStr(b, Text(n, sizeof n));
  SO::WrStr(b, "\" failed, error code ");
  SO::WrLngCard(b, e, 1);
  Runtime::RunTimeError(a);
}

void MkFileName(TFileName& n, BYTE i) {
  CHAR a[sizeof(TFileName)];
  SO::TBuffer b;
  SO::Init(b, a);
  SO::WrStr(b, Cfg::prgName);
  if (i > 0) {
    b.c.p = '0';
    SO::WrCard(b, i, 3);
  }
  SO::WrStr(b, ".log");
  for (CARD32 k = 0; k < sizeof n; ++k) n[k] = a[k];
}

bool Exists(BYTE i) {
  return Os::FileExists(CName(fnms[i]).s);
}

void Open() {
  const CName n(fnms[0]);
  if (Os::FileExists(n.s)) {
    f = Os::OpenFileForAppend(n.s);
    if (f == Os::InvalidFile) FileError("open", fnms[0]);
  } else {
    f = Os::CreateNewFile(n.s);
    if (f == Os::InvalidFile) FileError("create", fnms[0]);
  }
}

void Close() {
  if (f == FIOStd::inv) return;
  const Os::File g = f;
  f = FIOStd::inv;
  if (!Os::CloseHandle(g)) FileError("close", fnms[0]);
}

// The length of the open file, 0 when none is open. A file can only have grown past what the
// log writes if something else wrote to it; such a length counts as the largest 32-bit value,
// which makes the next line rotate the file.
CARD32 Size() {
  if (f == FIOStd::inv) return 0;
  std::uint64_t n = 0;
  if (!Os::GetFileSize(f, n)) FileError("length of", fnms[0]);
  return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<CARD32>(n);
}

// Shifts the generations from the oldest down, so that no rename finds its new name taken.
void Rotate() {
  Close();
  if (Exists(nGens) && !Os::DeleteFileA(CName(fnms[nGens]).s)) FileError("delete", fnms[nGens]);
  for (int i = nGens - 1; i >= 0; --i) {
    if (Exists(static_cast<BYTE>(i)) && !Os::MoveFileA(CName(fnms[i]).s, CName(fnms[i + 1]).s))
      FileError("rename", fnms[i]);
  }
  Open();
}

// Hands a finished line to the console and to the file.
void DoWrStr(const CHAR* s, CARD32 n, BOOL8 screen) {
  if (screen) Os::WriteFile(FIOStd::out, s, n);
  if (f != FIOStd::inv && !Os::WriteFile(f, s, n)) FileError("write to", fnms[0]);
}

void InitMods() {
  CHAR a[16];
  SO::TBuffer b;
  SO::Init(b, a);
  b.c.p = '0';
  for (CARD32 m = 0; m < Cfg::nMods; ++m) {
    SO::Clear(b);
    SO::WrHex(b, static_cast<CARD16>(m), 8);
    for (CARD32 k = 0; k < nameLen; ++k) mods[m].n[k] = k < b.l ? a[k] : '\0';
  }
}

void InitNames() {
  for (BYTE i = 0; i <= nGens; ++i) MkFileName(fnms[i], i);
}

void Mark() {
  Write(Cfg::midNull, lvlMsg, "========================================", false);
}

void Ticks() {
  CHAR a[16];
  SO::TBuffer b;
  SO::Init(b, a);
  SO::WrStr(b, "ticks ");
  SO::WrLngHex(b, Tmr::Ticks(), 8);
  Write(Cfg::midLog, lvlMsg, a, false);
}

// The file is closed under the log's lock: a line that another thread writes meanwhile goes
// whole into the file before it closes, or to the console only after.
void DoneModule() {
  Enter();
  Write(Cfg::midLog, lvlMsg, "DoneModule", false);
  Close();
  Leave();
  oldTerm();
}

void InitModule() {
  f = FIOStd::inv;
  Lib2::Fill(mods, 0);
  Lib2::Fill(fnms, 0);
  mtx = Mtxs::New();
  InitMods();
  InitNames();
  Open();
  Mark();
  Register(Cfg::midLog, "Log");
  Ticks();
  Lib3::Terminate(DoneModule, oldTerm);
}

}  // namespace

void Start() {
  if (started) return;
  started = true;
  Utils::Start();
  Tmr::Start();
  Mtxs::Start();
  Lib3::Start();
  Lib2::Start();
  SO::Start();
  Types::Start();
  FIOStd::Start();
  Cfg::Start();
  Runtime::NoteStart("Log");
  InitModule();
}

void Write(TModId m, TLvl l, Text x, BOOL8 screen) {
  CheckId(m);
  Runtime::Check(l <= lvlFat, "Log: level out of range");
  Enter();
  CHAR a[lineLen];
  SO::TBuffer b;
  SO::Init(b, a);
  WrTime(b);
  WrTicks(b);
  WrModName(b, m);
  SO::WrChar(b, lvlLetters[l]);
  SO::WrChar(b, ' ');
  SO::WrStr(b, x);
  SO::WrLn(b);
  if (static_cast<std::uint64_t>(Size()) + b.l > maxSize) Rotate();
  DoWrStr(a, b.l, screen);
  Leave();
}

void Register(TModId m, Text t) {
  CheckId(m);
  Enter();
  CHAR a[lineLen];
  SO::TBuffer b;
  SO::Init(b, a);
  auto Fatal = [&] {
    Write(Cfg::midLog, lvlFat, a, true);
    Lib3::Halt();
  };
  const CARD32 k = t.Len();
  if (k == 0 || k > nameLen) {
    SO::WrStr(b, "Register: Invalid name \"");
    SO::WrStr(b, t);
    SO::WrChar(b, '"');
    Fatal();
  }
  TModName n = {};
  for (CARD32 i = 0; i < k; ++i) n[i] = t.s[i];
  if (mods[m].r) {
    SO::WrStr(b, "Register: Id known ");
    SO::WrCard(b, m, 2);
    SO::WrStr(b, " \"");
    SO::WrStr(b, Text(mods[m].n, nameLen));
    SO::WrChar(b, '"');
    Fatal();
  }
  for (CARD32 i = 0; i < Cfg::nMods; ++i) {
    if (mods[i].r && Equal(Text(mods[i].n, nameLen), Text(n, nameLen))) {
      SO::WrStr(b, "Register: Name known ");
      SO::WrCard(b, static_cast<CARD16>(i), 2);
      SO::WrStr(b, " \"");
      SO::WrStr(b, Text(n, nameLen));
      SO::WrChar(b, '"');
      Fatal();
    }
  }
  for (CARD32 i = 0; i < nameLen; ++i) mods[m].n[i] = n[i];
  mods[m].r = true;
  SO::WrStr(b, "Register: ");
  SO::WrCard(b, m, 2);
  SO::WrStr(b, " \"");
  SO::WrStr(b, Text(n, nameLen));
  SO::WrChar(b, '"');
  Write(Cfg::midLog, lvlMsg, a, false);  // Show
  Leave();
}

}  // namespace Log
