// Tovrel's buffer table and its check: internal to Tovrel. The check takes the table as an
// argument, so that the tests can check tables that the program does not carry; the program
// checks its own constant table at start-up.
#pragma once

#include "Tovrel.h"
#include "Types.h"

namespace Tovrel {

constexpr CARD32 nIds = idBack + 1;

// A base name, from which the buffer's object names are formed; NUL-terminated when shorter
// than 16 characters.
using TBaseName = CHAR[16];

struct TBufCfg {
  TBaseName n;
  CARD32 l;  // length in bytes: the size of the mapping and of every view of it
  CARD32 w;  // the most writers, over all processes
  CARD32 r;  // the most readers, over all processes
};
using TBufCfgs = TBufCfg[nIds];

// Checks every entry of t in the order of the ids, each entry's name before its length, and
// returns if all are valid; the first fault is reported (a fatal log line) and halts.
void ChkCfgs(const TBufCfgs& t);

}  // namespace Tovrel
