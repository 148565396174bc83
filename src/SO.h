// SO: a text under construction in a character array that the caller owns. Characters that
// find the array full are dropped without a trace; nothing is allocated and nothing fails.
#pragma once

#include <cstddef>

#include "Types.h"

namespace SO {

// The upper bound of any text buffer's capacity.
constexpr CARD32 maxLen = 65535;
using TString = CHAR[maxLen];

struct TConfig {
  CHAR p = ' ';     // fill in front of a right-adjusted field
  CHAR s = ' ';     // fill behind a left-adjusted field
  BOOL8 c = false;  // a text wider than its field is replaced by question marks
};

struct TBuffer {
  CARD32 m = 0;       // capacity of the caller's array
  CHAR* s = nullptr;  // the caller's array
  CARD32 l = 0;       // length of the text
  TConfig c;
};

void Start();

void Init(TBuffer& b, CHAR* s, CARD32 m);
template <std::size_t N>
void Init(TBuffer& b, CHAR (&s)[N]) {
  static_assert(N >= 1 && N <= maxLen, "a text buffer holds 1 to 65535 characters");
  Init(b, s, static_cast<CARD32>(N));
}
void Clear(TBuffer& b);
void WrChar(TBuffer& b, CHAR c);
void WrCharRep(TBuffer& b, CHAR c, CARD32 n);
void WrStr(TBuffer& b, Text s);
// Adjusts s in a field of width |w|: right-adjusted when w > 0, left-adjusted when w < 0.
void WrStrAdj(TBuffer& b, Text s, INT32 w);
void WrLngCard(TBuffer& b, CARD32 x, INT32 w);
void WrCard(TBuffer& b, CARD16 x, INT32 w);
void WrShtCard(TBuffer& b, BYTE x, INT32 w);
void WrLngHex(TBuffer& b, CARD32 x, INT32 w);
void WrHex(TBuffer& b, CARD16 x, INT32 w);
void WrShtHex(TBuffer& b, BYTE x, INT32 w);
// Appends carriage return and line feed.
void WrLn(TBuffer& b);

}  // namespace SO
