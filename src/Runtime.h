// Runtime: the program halt on which every end of a program runs, the finaliser list, the
// run-time error report, and a record of the order in which modules did their start-up work.
#pragma once

#include "Types.h"

namespace Runtime {

using TProc = void (*)();

// Halts the program: runs the finalisers, most recently registered first, then ends the process
// with exit code `code`. A halt that begins while a halt is in progress ends the process at
// once with its own code. The test and the setting of the halt-in-progress mark are one atomic
// step, so two threads that halt at once never both run the finalisers.
[[noreturn]] void HaltProgram(BYTE code);

// Adds p to the front of the finaliser list.
void RegisterFinaliser(TProc p);

// A failed run-time check: one report line on standard error, then a halt with code 9.
[[noreturn]] void RunTimeError(Text what);

// Checks a condition that the program relies on; a false one is a run-time error.
inline void Check(bool ok, Text what) {
  if (!ok) RunTimeError(what);
}

// Start procedures call this right before their own start-up work, so that the order in which
// the modules started can be read back (StartCount, StartName).
void NoteStart(const char* module);
CARD32 StartCount();
const char* StartName(CARD32 i);

}  // namespace Runtime
