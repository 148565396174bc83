// Args: the program's command-line arguments, one at a time, each classified as an option
// (it begins with "-" or "/" and has more after that), a plain argument, or the end of the
// arguments. The scanner's state is exported for reading; only Reset and Read change it.
#pragma once

#include "Types.h"

namespace Args {

enum TSymbol : BYTE {
  symNull,  // nothing read since Reset
  symArg,   // a plain argument
  symOpt,   // an option; lit holds its name
  symEOA,   // the end of the arguments
};

constexpr CARD32 litLen = 256;
using TLitStr = CHAR[litLen];

// The number of arguments, the program's name not counted.
extern const CARD32& cnt;
// The number of the next argument to read, counting from 1.
extern const CARD32& idx;
// The kind of the current argument.
extern const TSymbol& sym;
// The text of the current argument, cut to 256 characters; for an option without its first
// character; empty at the end of the arguments.
extern const TLitStr& lit;
// The number of characters in lit.
extern const CARD32& len;

void Start();

// Starts over: the next Read delivers the first argument.
void Reset();
// Moves to the next argument and classifies it; past the last one, every Read gives symEOA.
void Read();

}  // namespace Args
