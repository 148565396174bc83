#include "Lib3.h"

#include <atomic>

#include "os/os.h"

namespace Lib3 {
namespace {

BOOL8 started = false;

// Written during start-up on the main thread and read by the chain, which may run on the
// console signal thread. The head is published with release order so that the link's oldTerm,
// written just before, is seen by the thread that runs the chain.
std::atomic<BYTE> rc{255};
std::atomic<TProc> term{nullptr};

void InitModule() {
  rc.store(255, std::memory_order_relaxed);
  term.store(Halt, std::memory_order_release);
}

void DoneModule() {
  term.load(std::memory_order_acquire)();
}

void FINALLY() {
  DoneModule();
}

}  // namespace

void Start() {
  if (started) return;
  started = true;
  Runtime::NoteStart("Lib3");
  Runtime::RegisterFinaliser(FINALLY);
  InitModule();
}

void SetReturnCode(BYTE x) {
  rc.store(x, std::memory_order_relaxed);
}

void Terminate(TProc p, TProc& old) {
  old = term.load(std::memory_order_acquire);
  term.store(p, std::memory_order_release);
}

void Halt() {
  Runtime::HaltProgram(rc.load(std::memory_order_relaxed));
}

void FatalError(Text s) {
  Os::WriteFile(Os::StdErr(), s.s, s.Len());
  Os::WriteFile(Os::StdErr(), "\r\n", 2);
  Runtime::HaltProgram(9);
}

}  // namespace Lib3
