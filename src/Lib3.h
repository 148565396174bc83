// Lib3: the return code and the termination chain. Every end of a program is a halt; the halt
// runs the chain from its newest link, each link calls the next older one (its oldTerm), and
// the oldest link, Lib3.Halt, ends the process with the return code.
#pragma once

#include "Runtime.h"
#include "Types.h"

namespace Lib3 {

using TProc = Runtime::TProc;

void Start();

// Records the exit code of a normal shutdown (255 from start-up on).
void SetReturnCode(BYTE x);

// Hooks p into the termination chain: old := the current head, then the head := p.
// Called at start-up on the main thread; old must stay valid for the life of the process.
void Terminate(TProc p, TProc& old);

// Halts the program with the return code.
[[noreturn]] void Halt();

// Writes the text and a line end to standard error, then halts the program with code 9.
[[noreturn]] void FatalError(Text s);

}  // namespace Lib3
