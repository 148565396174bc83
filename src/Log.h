// Log: one log per program, shared by all its modules. A module registers its name once under
// its id; every line then carries the UTC date and time, the tick count, that name and a level
// letter, goes to the log file and, on request, to the console. Lines never mix between
// threads.
#pragma once

#include "Cfg.h"
#include "Types.h"

namespace Log {

enum TLvl : BYTE { lvlMsg, lvlWrn, lvlErr, lvlFat };

void Start();

// Records t as the name of module m; a refused name halts the program.
void Register(Cfg::TModId m, Text t);

// Writes one line with the text x (no line end) at level l; screen: also to standard output.
void Write(Cfg::TModId m, TLvl l, Text x, BOOL8 screen);

}  // namespace Log
