#include "Runtime.h"

#include <atomic>

#include "os/os.h"

namespace Runtime {
namespace {

std::atomic<bool> halting{false};

// The finaliser list; only the main thread registers, during start-up.
constexpr CARD32 maxFinalisers = 8;
TProc finalisers[maxFinalisers];
CARD32 nFinalisers = 0;

constexpr CARD32 maxStarts = 64;
const char* starts[maxStarts];
CARD32 nStarts = 0;

void WriteErr(const char* s, CARD32 n) {
  Os::WriteFile(Os::StdErr(), s, n);
}

}  // namespace

void HaltProgram(BYTE code) {
  if (halting.exchange(true)) Os::ExitProcess(code);
  while (nFinalisers > 0) {
    const TProc p = finalisers[--nFinalisers];
    p();
  }
  Os::ExitProcess(code);
}

void RegisterFinaliser(TProc p) {
  Check(nFinalisers < maxFinalisers, "too many finalisers");
  finalisers[nFinalisers++] = p;
}

void RunTimeError(Text what) {
  static const char head[] = "Run-time error: ";
  WriteErr(head, sizeof head - 1);
  WriteErr(what.s, what.Len());
  WriteErr("\r\n", 2);
  HaltProgram(9);
}

void NoteStart(const char* module) {
  if (nStarts < maxStarts) starts[nStarts++] = module;
}

CARD32 StartCount() {
  return nStarts;
}

const char* StartName(CARD32 i) {
  return i < nStarts ? starts[i] : nullptr;
}

}  // namespace Runtime
