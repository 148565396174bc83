#include "CmdLine.h"

namespace CmdLine {

std::vector<std::string> Split(Text s) {
  std::vector<std::string> words;
  std::string w;
  BOOL8 quoted = false;
  const CARD32 n = s.Len();
  for (CARD32 i = 0; i < n; ++i) {
    const CHAR c = s.s[i];
    if (c == '\\' && i + 1 < n && s.s[i + 1] == '"') {
      w += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      // The end of a word; an empty one (nothing, or only a pair of quotes) is not a word.
      if (!w.empty()) words.push_back(w);
      w.clear();
    } else {
      w += c;
    }
  }
  if (!w.empty()) words.push_back(w);
  return words;
}

}  // namespace CmdLine
