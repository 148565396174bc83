// Version: the version number and date of the programs.
#pragma once

#include "Types.h"

namespace Version {

constexpr CARD16 num = 4;
inline constexpr CHAR date[] = "2020-04-10";

void Start();

}  // namespace Version
