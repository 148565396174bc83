#include "SO.h"

#include "Runtime.h"

namespace SO {
namespace {

BOOL8 started = false;

void Ready(const TBuffer& b) {
  Runtime::Check(b.s != nullptr, "text buffer used before SO.Init");
}

// Stores one character if there is room; false once the array is full.
bool Put(TBuffer& b, CHAR c) {
  if (b.l >= b.m) return false;
  b.s[b.l++] = c;
  return true;
}

void Terminate(TBuffer& b) {
  if (b.l < b.m) b.s[b.l] = '\0';
}

CHAR Char(CARD32 d) {
  return static_cast<CHAR>(d < 10 ? '0' + d : 'A' + (d - 10));
}

// Writes the digits of x in base b into s (n characters), with a NUL behind them if there is
// room.
void CardToStr(CARD32 x, CARD32 base, CHAR* s, CARD32 n) {
  CHAR t[32];
  CARD32 k = 0;
  do {
    t[k++] = Char(x % base);
    x /= base;
  } while (x != 0 && k < 32);
  CARD32 i = 0;
  while (k > 0 && i < n) s[i++] = t[--k];
  if (i < n) s[i] = '\0';
}

}  // namespace

void Start() {
  if (started) return;
  started = true;
  Types::Start();
  Runtime::NoteStart("SO");
}

void Init(TBuffer& b, CHAR* s, CARD32 m) {
  Runtime::Check(s != nullptr && m >= 1 && m <= maxLen, "SO.Init: invalid array");
  b.m = m;
  b.s = s;
  b.l = 0;
  b.s[0] = '\0';
  b.c = TConfig{};
}

void Clear(TBuffer& b) {
  Ready(b);
  b.l = 0;
  b.s[0] = '\0';
}

void WrChar(TBuffer& b, CHAR c) {
  Ready(b);
  Put(b, c);
  Terminate(b);
}

void WrCharRep(TBuffer& b, CHAR c, CARD32 n) {
  Ready(b);
  while (n > 0 && Put(b, c)) --n;
  Terminate(b);
}

void WrStr(TBuffer& b, Text s) {
  Ready(b);
  for (CARD32 i = 0; i < s.m && s.s[i] != '\0'; ++i)
    if (!Put(b, s.s[i])) break;
  Terminate(b);
}

void WrStrAdj(TBuffer& b, Text s, INT32 w) {
  Ready(b);
  const std::int64_t width = w < 0 ? -static_cast<std::int64_t>(w) : w;
  const std::int64_t a = width - s.Len();
  if (a < 0 && b.c.c) {
    WrCharRep(b, '?', static_cast<CARD32>(width));
    return;
  }
  if (w > 0 && a > 0) WrCharRep(b, b.c.p, static_cast<CARD32>(a));
  WrStr(b, s);
  if (w < 0 && a > 0) WrCharRep(b, b.c.s, static_cast<CARD32>(a));
}

void WrLngCard(TBuffer& b, CARD32 x, INT32 w) {
  CHAR s[16];
  CardToStr(x, 10, s, 16);
  WrStrAdj(b, s, w);
}

void WrCard(TBuffer& b, CARD16 x, INT32 w) {
  WrLngCard(b, x, w);
}

void WrShtCard(TBuffer& b, BYTE x, INT32 w) {
  WrLngCard(b, x, w);
}

void WrLngHex(TBuffer& b, CARD32 x, INT32 w) {
  CHAR s[8];
  CardToStr(x, 16, s, 8);
  WrStrAdj(b, s, w);
}

void WrHex(TBuffer& b, CARD16 x, INT32 w) {
  WrLngHex(b, x, w);
}

void WrShtHex(TBuffer& b, BYTE x, INT32 w) {
  WrLngHex(b, x, w);
}

void WrLn(TBuffer& b) {
  Ready(b);
  if (Put(b, '\r')) Put(b, '\n');
  Terminate(b);
}

}  // namespace SO
