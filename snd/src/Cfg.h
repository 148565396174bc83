// Cfg: the module ids of the sender and its name, from which the log forms its file names.
#pragma once

#include "Types.h"

namespace Cfg {
enum TModId : BYTE { midNull, midLog, midTovrel, midMot, midConfig, midTovrelSnd };
constexpr TModId midFirst = midNull;
constexpr TModId midLast = midTovrelSnd;
constexpr CARD32 nMods = midLast + 1;

inline constexpr CHAR prgName[] = "TovrelSnd";

void Start();
}  // namespace Cfg
