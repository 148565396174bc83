// Types: the basic types by which the modules describe their data, and the text argument.
#pragma once

#include <cstddef>
#include <cstdint>

using CARD32 = std::uint32_t;
using CARD16 = std::uint16_t;
using BYTE = std::uint8_t;
using INT32 = std::int32_t;
using CHAR = char;
using BOOL8 = bool;

static_assert(sizeof(BOOL8) == 1, "BOOL8 is a one-byte boolean");

// A text argument: a character array with its number of characters. The text ends at the
// first NUL or at the end of the array, whichever comes first; a text that fills its array
// carries no NUL.
struct Text {
  const CHAR* s;
  CARD32 m;

  template <std::size_t N>
  constexpr Text(const CHAR (&a)[N]) : s(a), m(static_cast<CARD32>(N)) {}
  constexpr Text(const CHAR* p, CARD32 n) : s(p), m(n) {}

  // The number of characters before the first NUL, or m when there is none.
  constexpr CARD32 Len() const {
    CARD32 n = 0;
    while (n < m && s[n] != '\0') ++n;
    return n;
  }
};

// Two texts are equal when they hold the same characters up to their ends (case distinguished).
constexpr bool Equal(Text a, Text b) {
  const CARD32 n = a.Len();
  if (n != b.Len()) return false;
  for (CARD32 i = 0; i < n; ++i)
    if (a.s[i] != b.s[i]) return false;
  return true;
}

namespace Types {
void Start();
}
