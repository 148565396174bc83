// Fuzz target: the text buffer. The input is a capacity and a list of operations with their
// arguments; the array is exactly as large as the capacity (AddressSanitizer sees any byte
// beyond it), and after every operation the length stays within the array, with a NUL behind
// the text wherever there is room for one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "SO.h"

namespace {

struct Input {
  const std::uint8_t* p;
  std::size_t n;
  bool Empty() const { return n == 0; }
  std::uint8_t Byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  std::uint32_t Card() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | Byte();
    return v;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  const CARD32 m = 1 + (static_cast<CARD32>(in.Byte()) << 8 | in.Byte()) % 400;
  std::unique_ptr<CHAR[]> s(new CHAR[m]);
  std::memset(s.get(), 'x', m);
  SO::TBuffer b;
  SO::Init(b, s.get(), m);
  while (!in.Empty()) {
    const std::uint8_t op = in.Byte();
    const INT32 w = static_cast<INT32>(in.Card());
    switch (op % 16) {
      case 0:
        SO::WrChar(b, static_cast<CHAR>(in.Byte()));
        break;
      case 1:
        SO::WrCharRep(b, static_cast<CHAR>(in.Byte()), in.Byte() * 3u);
        break;
      case 2:
      case 3: {
        // A text of the next k input bytes, its capacity k (it may hold a NUL or none).
        const std::size_t k = std::min<std::size_t>(in.Byte(), in.n);
        const Text t(reinterpret_cast<const CHAR*>(in.p), static_cast<CARD32>(k));
        if (op % 16 == 2)
          SO::WrStr(b, t);
        else
          SO::WrStrAdj(b, t, w);
        in.p += k;
        in.n -= k;
        break;
      }
      case 4:
        SO::WrLngCard(b, in.Card(), w);
        break;
      case 5:
        SO::WrCard(b, static_cast<CARD16>(in.Card()), w);
        break;
      case 6:
        SO::WrShtCard(b, in.Byte(), w);
        break;
      case 7:
        SO::WrLngHex(b, in.Card(), w);
        break;
      case 8:
        SO::WrHex(b, static_cast<CARD16>(in.Card()), w);
        break;
      case 9:
        SO::WrShtHex(b, in.Byte(), w);
        break;
      case 10:
        SO::WrLn(b);
        break;
      case 11:
        SO::Clear(b);
        break;
      case 12:
        b.c.p = static_cast<CHAR>(in.Byte());
        break;
      case 13:
        b.c.s = static_cast<CHAR>(in.Byte());
        break;
      case 14:
        b.c.c = (in.Byte() & 1) != 0;
        break;
      default:
        break;
    }
    if (b.l > m || (b.l < m && s[b.l] != '\0') || b.s != s.get() || b.m != m) std::abort();
  }
  return 0;
}
