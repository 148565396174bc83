// Cfg: the module ids of the receiver and its name, from which the log forms its file names.
#pragma once

#include "Types.h"

namespace Cfg {
enum TModId : BYTE { midNull, midLog, midTovrel, midMot, midConfig, midTovrelRcv };
constexpr TModId midFirst = midNull;
constexpr TModId midLast = midTovrelRcv;
constexpr CARD32 nMods = midLast + 1;

inline constexpr CHAR prgName[] = "TovrelRcv";

void Start();
}  // namespace Cfg
