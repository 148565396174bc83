#include "Utils.h"

#include "Runtime.h"

namespace Utils {
namespace {
BOOL8 started = false;

BYTE ByteOf(CARD32 x, CARD32 i) {
  return static_cast<BYTE>(x >> (8 * i));
}
}  // namespace

void Start() {
  if (started) return;
  started = true;
  Types::Start();
  SO::Start();
  Runtime::NoteStart("Utils");
}

CARD32 IP(BYTE a, BYTE b, BYTE c, BYTE d) {
  return static_cast<CARD32>(a) | static_cast<CARD32>(b) << 8 | static_cast<CARD32>(c) << 16 |
         static_cast<CARD32>(d) << 24;
}

BOOL8 MkIP(CARD32& ip, Text str) {
  const CARD32 n = str.Len();
  CARD32 pos = 0;
  CARD32 r = 0;
  BOOL8 ok = true;
  for (CARD32 i = 0; i < 4; ++i) {
    // Field i: the next run of characters other than "."; empty once str is used up. The whole
    // field is converted, however long: a field is never judged by a part of it.
    while (pos < n && str.s[pos] == '.') ++pos;
    const CARD32 first = pos;
    while (pos < n && str.s[pos] != '.') ++pos;
    CARD32 v = 0;
    const BOOL8 num = StrToCard(Text(str.s + first, pos - first), v);
    r |= (v % 256) << (8 * i);
    ok = ok && num && v < 256;
  }
  if (ok) ip = r;
  return ok;
}

void WrIP(SO::TBuffer& b, CARD32 ip) {
  for (CARD32 i = 0; i < 4; ++i) {
    SO::WrShtCard(b, ByteOf(ip, i), 1);
    if (i < 3) SO::WrChar(b, '.');
  }
}

BOOL8 StrToCard(Text s, CARD32& x) {
  const CARD32 n = s.Len();
  CARD32 i = 0;
  if (i < n && s.s[i] == '+') ++i;
  if (i == n) return false;
  CARD32 v = 0;
  for (; i < n; ++i) {
    const CHAR c = s.s[i];
    if (c < '0' || c > '9') return false;
    const CARD32 d = static_cast<CARD32>(c - '0');
    if (v > (0xFFFFFFFFu - d) / 10) return false;  // the value would reach 2^32
    v = v * 10 + d;
  }
  x = v;
  return true;
}

}  // namespace Utils
