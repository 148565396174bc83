// Fuzz target: the dotted address and the decimal conversion of ports and address fields,
// against a reference parser written from their descriptions; and the dotted text of any
// address read back as the same address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "SO.h"
#include "Utils.h"

namespace {

// An optional "+", then one or more digits and nothing else, of a value below 2^32.
bool RefCard(const std::string& s, std::uint64_t& v) {
  size_t i = s.size() > 0 && s[0] == '+' ? 1 : 0;
  if (i == s.size()) return false;
  for (size_t k = i; k < s.size(); ++k)
    if (s[k] < '0' || s[k] > '9') return false;
  while (i + 1 < s.size() && s[i] == '0') ++i;  // leading zeros
  if (s.size() - i > 10) return false;
  v = std::stoull(s.substr(i));
  return v < (std::uint64_t{1} << 32);
}

// The runs of characters other than "."; the first four must be numbers below 256.
bool RefIP(const std::string& s, std::uint32_t& ip) {
  std::vector<std::string> fields;
  std::string f;
  for (char c : s + ".") {
    if (c != '.') {
      f += c;
    } else if (!f.empty()) {
      fields.push_back(f);
      f.clear();
    }
  }
  if (fields.size() < 4) return false;
  std::uint32_t r = 0;
  for (int i = 0; i < 4; ++i) {
    std::uint64_t v = 0;
    if (!RefCard(fields[i], v) || v > 255) return false;
    r |= static_cast<std::uint32_t>(v) << (8 * i);
  }
  ip = r;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* p = reinterpret_cast<const char*>(data);
  const CARD32 n = static_cast<CARD32>(size);
  std::string s(p, size);
  s = s.substr(0, s.find('\0'));  // a text ends at its first NUL

  CARD32 x = 0xDEADBEEF;
  std::uint64_t want = 0;
  const bool card = Utils::StrToCard(Text(p, n), x);
  if (card != RefCard(s, want) || (card ? x != want : x != 0xDEADBEEF)) std::abort();

  CARD32 ip = 0xDEADBEEF;
  std::uint32_t refIp = 0;
  const bool ok = Utils::MkIP(ip, Text(p, n));
  if (ok != RefIP(s, refIp) || (ok ? ip != refIp : ip != 0xDEADBEEF)) std::abort();

  // Any four bytes as an address: 7 to 15 characters that read back as the same address.
  if (size >= 4) {
    const CARD32 a = static_cast<CARD32>(data[0]) | static_cast<CARD32>(data[1]) << 8 |
                     static_cast<CARD32>(data[2]) << 16 | static_cast<CARD32>(data[3]) << 24;
    CHAR t[16];
    SO::TBuffer b;
    SO::Init(b, t);
    Utils::WrIP(b, a);
    CARD32 back = 0;
    if (b.l < 7 || b.l > 15 || !Utils::MkIP(back, t) || back != a) std::abort();
  }
  return 0;
}
