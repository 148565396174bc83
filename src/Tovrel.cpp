// Tovrel: the buffer table and the object names, the kernel objects and their locking, the
// buffer descriptors and the participant counts, and the readers and writers.
#include "Tovrel.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "Cfg.h"
#include "Heap.h"
#include "Lib2.h"
#include "Log.h"
#include "Runtime.h"
#include "SO.h"
#include "TovrelTable.h"
#include "Types.h"
#include "os/os.h"

namespace Tovrel {

// What this process holds of one buffer: made on the first reader or writer of the buffer in
// the process, kept for good, shared by all of them.
struct TBufDesc {
  TId i;
  CARD32 l;      // length in bytes
  Os::Handle m;  // the buffer's mutex
  BYTE* a;       // this process's view of the buffer's mapping, l bytes
};

// A participant's copy of its buffer's length, mutex and view, and the buffer it came from.
struct TRdrDesc {
  CARD32 l;
  Os::Handle m;
  BYTE* a;
  TBufDesc* b;
};
struct TWrtrDesc {
  CARD32 l;
  Os::Handle m;
  BYTE* a;
  TBufDesc* b;
};

namespace {

BOOL8 started = false;

// ---- Buffer table and resource names --------------------------------------------------------

// The buffer table. Every program that shares the buffers carries the same one: it is their
// only agreement on names, lengths and limits. A limit of 0 admits nobody.
constexpr TBufCfgs cfgs = {
    {"Main", 512, 1, 2},
    {"Back", 1, 0, 0},
};

// The full name of one kernel object.
using TResName = CHAR[128];

// Messages are built in a text buffer over a string of this many characters.
constexpr CARD32 msgLen = 128;

void Message(Text s) {
  Log::Write(Cfg::midTovrel, Log::lvlMsg, s, false);
}

[[noreturn]] void Fatal(Text s) {
  Log::Write(Cfg::midTovrel, Log::lvlFat, s, true);
  Runtime::HaltProgram(9);
}

// "Local\Tovrel_<n><suffix>", cut at the capacity of s.
void MkName(TResName& s, Text n, Text suffix) {
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "Local\\Tovrel_");
  SO::WrStr(b, n);
  SO::WrStr(b, suffix);
}

void MkShmName(TResName& s, Text n) {
  MkName(s, n, "_Buffer");
}

void MkMtxName(TResName& s, Text n) {
  MkName(s, n, "_Mutex");
}

// "<what> "<name>".", for the table's complaints.
[[noreturn]] void FatalName(Text what, Text name) {
  CHAR s[msgLen];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, what);
  SO::WrChar(b, '"');
  SO::WrStr(b, name);
  SO::WrStr(b, "\".");
  Fatal(s);
}

// The base name "Counts" belongs to the participant counts; each pair of entries is compared
// once, so a duplicate is reported under the earlier entry.
void ChkName(const TBufCfgs& t, CARD32 i) {
  TBaseName n;
  std::memcpy(n, t[i].n, sizeof n);
  if (Equal(n, "Counts")) FatalName("ChkName: Invalid buffer name ", n);
  for (CARD32 j = i + 1; j < nIds; ++j)
    if (Equal(t[j].n, n)) FatalName("ChkName: Duplicate buffer name ", n);
}

void ChkLen(const TBufCfgs& t, CARD32 i) {
  if (t[i].l == 0) FatalName("ChkLen: Invalid length 0 for buffer ", t[i].n);
}

// ---- Kernel objects and locking -------------------------------------------------------------

// "<what><code>", a failure of a kernel object.
[[noreturn]] void FatalCode(Text what, CARD32 code) {
  CHAR s[msgLen];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, what);
  SO::WrLngCard(b, code, 1);
  Fatal(s);
}

// The address in hexadecimal, right-aligned in 8 characters. An address beyond 32 bits (on a
// 64-bit system) is written with all of its digits.
void WrAdr(SO::TBuffer& b, const void* a) {
  const std::uint64_t x = reinterpret_cast<std::uintptr_t>(a);
  const CARD32 hi = static_cast<CARD32>(x >> 32);
  const CARD32 lo = static_cast<CARD32>(x);
  if (hi == 0) {
    SO::WrLngHex(b, lo, 8);
    return;
  }
  SO::WrLngHex(b, hi, 1);
  const CHAR p = b.c.p;
  b.c.p = '0';
  SO::WrLngHex(b, lo, 8);
  b.c.p = p;
}

Os::Handle NewMtx(const TResName& n) {
  Os::Handle h = Os::CreateMutexA(n);
  if (h == nullptr) FatalCode("NewMtx: CreateMutex failed, error code ", Os::GetLastError());
  return h;
}

// A view of l bytes of the mapping n. The mapping's handle is not kept: the view is all that is
// used, and nothing is ever closed.
BYTE* NewShm(const TResName& n, CARD32 l) {
  Os::Handle h = Os::CreateFileMappingA(n, l);
  const CARD32 e = Os::GetLastError();  // 0 when created, 183 when it existed
  if (h == nullptr) FatalCode("NewShm: CreateFileMapping failed, error code ", e);
  CHAR s[msgLen];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "NewShm: CreateFileMapping succeeded, error code ");
  SO::WrLngCard(b, e, 1);
  Message(s);
  void* a = Os::MapViewOfFile(h, l);
  if (a == nullptr) FatalCode("NewShm: MapViewOfFile failed, error code ", Os::GetLastError());
  SO::Init(b, s);
  SO::WrStr(b, "NewShm: MapViewOfFile succeeded, adr ");
  WrAdr(b, a);
  Message(s);
  return static_cast<BYTE*>(a);
}

// Returns owning m. A mutex received abandoned is a failure: its previous owner ended in the
// middle of whatever it guarded.
void Enter(Os::Handle m) {
  const CARD32 r = Os::WaitForSingleObject(m, Os::infinite);
  if (r == Os::waitObject0) return;
  if (r == Os::waitFailed) FatalCode("Enter: WaitForSingleObject failed, err ", Os::GetLastError());
  FatalCode("Enter: WaitForSingleObject returned ", r);
}

void Leave(Os::Handle m) {
  if (!Os::ReleaseMutex(m)) FatalCode("Leave: ReleaseMutex failed, err ", Os::GetLastError());
}

// ---- Buffer descriptors and participant counts ----------------------------------------------

TBufDesc* bufs[nIds];  // none until the first reader or writer of the buffer

// One record of the counts region per buffer, in the order of the ids: how many writers and
// readers have attached since the region was created. The region is shared between processes
// as 32-bit little-endian numbers, which is how this record lies in memory.
struct TCnt {
  CARD32 w;
  CARD32 r;
};
static_assert(sizeof(TCnt) == 8 && std::endian::native == std::endian::little,
              "the counts region is 8-byte records of little-endian 32-bit numbers");
constexpr CARD32 cntsLen = sizeof(TCnt) * nIds;

struct TCntsDesc {
  Os::Handle m;
  TCnt* a;
};
TCntsDesc cnts;

// A block of n zero bytes; running out of storage is a run-time error.
void* NewZero(CARD32 n) {
  void* a = nullptr;
  Heap::ALLOCATE(a, n);
  Runtime::Check(a != nullptr, "Tovrel: out of storage");
  std::memset(a, 0, n);
  return a;
}

TBufDesc* Buffer(TId i) {
  if (bufs[i] != nullptr) return bufs[i];
  TBufDesc* b = static_cast<TBufDesc*>(NewZero(sizeof(TBufDesc)));
  b->i = i;
  b->l = cfgs[i].l;
  TResName n;
  MkMtxName(n, cfgs[i].n);
  b->m = NewMtx(n);
  MkShmName(n, cfgs[i].n);
  b->a = NewShm(n, cfgs[i].l);
  bufs[i] = b;
  return b;
}

// The first step of IncCnt: the counts objects, opened once per process.
void Load() {
  if (cnts.a != nullptr) return;
  TResName n;
  MkMtxName(n, "Counts");
  cnts.m = NewMtx(n);
  MkShmName(n, "Counts");
  cnts.a = reinterpret_cast<TCnt*>(NewShm(n, cntsLen));
}

// IncCnt's refusal, made while this process owns the counts mutex. The mutex is given back
// before the halt: a process that ended owning it would leave it abandoned, and every later
// participant in every process would be refused on that account. The refused participant has
// changed no count, so the region stays as it was.
[[noreturn]] void Err(TId i, BOOL8 rdr) {
  CHAR s[msgLen];
  SO::TBuffer b;
  SO::Init(b, s);
  SO::WrStr(b, "IncCnt: Too many ");
  SO::WrStr(b, rdr ? "readers" : "writers");
  SO::WrStr(b, " for buffer \"");
  SO::WrStr(b, cfgs[i].n);
  SO::WrStr(b, "\".");
  Leave(cnts.m);
  Fatal(s);
}

// Counts a reader or a writer of buffer i, over all processes, or refuses it: the test of the
// limit and the increment are one step under the counts mutex.
void IncCnt(TId i, BOOL8 rdr) {
  Load();
  Enter(cnts.m);
  TCnt& c = cnts.a[i];
  if (rdr) {
    if (cfgs[i].r > c.r)
      ++c.r;
    else
      Err(i, rdr);
  } else {
    if (cfgs[i].w > c.w)
      ++c.w;
    else
      Err(i, rdr);
  }
  Leave(cnts.m);
}

void ChkId(TId i) {
  Runtime::Check(i < nIds, "Tovrel: buffer id out of range");
}

void InitModule() {
  Log::Register(Cfg::midTovrel, "Tovrel");
  for (TBufDesc*& b : bufs) b = nullptr;
  cnts = TCntsDesc{nullptr, nullptr};
  ChkCfgs(cfgs);
}

}  // namespace

void ChkCfgs(const TBufCfgs& t) {
  for (CARD32 i = 0; i < nIds; ++i) {
    ChkName(t, i);
    ChkLen(t, i);
  }
}

void Start() {
  if (started) return;
  started = true;
  Log::Start();
  Cfg::Start();
  SO::Start();
  Types::Start();
  Lib2::Start();
  Runtime::NoteStart("Tovrel");
  InitModule();
}

// ---- Readers and writers ----------------------------------------------------------------------

TRdrDesc* NewRdr(TId i) {
  ChkId(i);
  IncCnt(i, true);
  TBufDesc* b = Buffer(i);
  TRdrDesc* r = static_cast<TRdrDesc*>(NewZero(sizeof(TRdrDesc)));
  r->l = b->l;
  r->m = b->m;
  r->a = b->a;
  r->b = b;
  return r;
}

TWrtrDesc* NewWrtr(TId i) {
  ChkId(i);
  IncCnt(i, false);
  TBufDesc* b = Buffer(i);
  TWrtrDesc* w = static_cast<TWrtrDesc*>(NewZero(sizeof(TWrtrDesc)));
  w->l = b->l;
  w->m = b->m;
  w->a = b->a;
  w->b = b;
  return w;
}

// Read and Write run every millisecond: they allocate nothing, log nothing, and hold the
// mutex for the copy only.
CARD32 Read(TRdrDesc* r, BYTE* x, CARD32 m, CARD32 l) {
  if (l > m) l = m;
  if (r == nullptr) {
    Lib2::Fill(x, l, 0);
    return l;
  }
  const CARD32 n = r->l < l ? r->l : l;
  Enter(r->m);
  std::memcpy(x, r->a, n);
  Leave(r->m);
  return n;
}

CARD32 Write(TWrtrDesc* w, const BYTE* x, CARD32 m, CARD32 l) {
  if (l > m) l = m;
  if (w == nullptr) return l;
  const CARD32 n = w->l < l ? w->l : l;
  Enter(w->m);
  std::memcpy(w->a, x, n);
  Leave(w->m);
  return n;
}

}  // namespace Tovrel
