// Utils: IPv4 addresses as four numbers, as dotted text (127.0.0.1) and as one CARD32, and the
// unsigned decimal conversion that address fields and port numbers share. No state.
#pragma once

#include "SO.h"
#include "Types.h"

namespace Utils {

void Start();

// The address a.b.c.d as a + 256*b + 65536*c + 16777216*d: byte i of the value, counted from
// the least significant one, is the (i+1)-th number of the dotted form (on a little-endian
// machine the bytes lie in memory in network order).
CARD32 IP(BYTE a, BYTE b, BYTE c, BYTE d);

// The dotted address in str. The fields are the runs of characters other than "."; dots before
// the first run are skipped and several dots separate like one. The first four fields must
// each be a decimal number from 0 to 255 (optional "+", leading zeros allowed, never octal);
// anything after the fourth is ignored. TRUE and ip set when str is such an address; FALSE and
// ip unchanged otherwise.
BOOL8 MkIP(CARD32& ip, Text str);

// Appends the dotted text of ip (7 to 15 characters).
void WrIP(SO::TBuffer& b, CARD32 ip);

// The unsigned decimal number in s: an optional "+", then one or more digits 0 to 9 and
// nothing else, of any length, with a value below 2^32. TRUE and x set when s is one; FALSE
// and x unchanged otherwise.
BOOL8 StrToCard(Text s, CARD32& x);

}  // namespace Utils
