// CmdLine: cutting a Windows command line into words. Plain portable code without state, so
// that the rules are tested on every platform; the win32 platform layer uses it for the
// process's argument list.
#pragma once

#include <string>
#include <vector>

#include "Types.h"

namespace CmdLine {

// The words of the command line s, in order:
// - words are separated by runs of blanks and tabs outside double quotes; blanks and tabs
//   before the first word and after the last are ignored;
// - a double quote switches quoting on or off and is not part of the word; within quotes,
//   blanks and tabs belong to the word;
// - a backslash immediately followed by a double quote stands for one literal double quote,
//   both are used up and quoting is not switched; any other backslash is an ordinary character;
// - a word that ends up with no characters (a pair of double quotes standing alone) is dropped.
std::vector<std::string> Split(Text s);

}  // namespace CmdLine
