// IPv4 addresses between dotted text, four numbers and one CARD32, and the unsigned decimal
// conversion shared by address fields and port numbers.
#include <gtest/gtest.h>

#include <string>

#include "SO.h"
#include "Utils.h"

namespace {

constexpr CARD32 untouched = 0xDEADBEEF;

TEST(Utils, IPPutsTheFirstNumberInTheLowByte) {
  EXPECT_EQ(Utils::IP(1, 2, 3, 4), 0x04030201u);
  EXPECT_EQ(Utils::IP(127, 0, 0, 1), 0x0100007Fu);
  EXPECT_EQ(Utils::IP(255, 255, 255, 255), 0xFFFFFFFFu);
  EXPECT_EQ(Utils::IP(0, 0, 0, 0), 0u);
}

TEST(Utils, MkIP) {
  struct Case {
    std::string str;
    bool ok;
    CARD32 ip;  // when ok
  };
  const Case cases[] = {
      {"127.0.0.1", true, Utils::IP(127, 0, 0, 1)},
      {"0.0.0.0", true, 0},
      {"255.255.255.255", true, 0xFFFFFFFFu},
      {"1.2.3.4", true, 67305985u},
      {"1.2.3.4.5", true, Utils::IP(1, 2, 3, 4)},
      {"1.2.3.4.junk", true, Utils::IP(1, 2, 3, 4)},
      {"1..2.3.4", true, Utils::IP(1, 2, 3, 4)},
      {".1.2.3.4", true, Utils::IP(1, 2, 3, 4)},
      {"...1.2.3.4.", true, Utils::IP(1, 2, 3, 4)},
      {"+1.2.3.4", true, Utils::IP(1, 2, 3, 4)},
      {"010.0.0.1", true, Utils::IP(10, 0, 0, 1)},
      {"1.2.3", false, 0},
      {"", false, 0},
      {"....", false, 0},
      {"1.2.3.4 ", false, 0},
      {" 1.2.3.4", false, 0},
      {"1.2 .3.4", false, 0},
      {"256.0.0.1", false, 0},
      {"1.2.3.256", false, 0},
      {"-1.2.3.4", false, 0},
      {"1.2.3.+", false, 0},
      {"1.2.3.++4", false, 0},
      {"1.2.3.4a", false, 0},
      {"1.2.3.0x4", false, 0},
      {"4294967295.0.0.1", false, 0},
      {"4294967296.0.0.1", false, 0},
      {"4294967297.0.0.1", false, 0},  // 2^32 + 1 must not wrap round to 1
      // Every field is judged whole, however long.
      {std::string(16, '0') + "1.2.3.4", true, Utils::IP(1, 2, 3, 4)},
      {std::string(16, '0') + "256.1.1.1", false, 0},
      {std::string(40, '0') + "7.8.9." + std::string(40, '0') + "10", true, Utils::IP(7, 8, 9, 10)},
      {"1.2.3." + std::string(16, '0') + "x", false, 0},
      {std::string(300, '9') + ".0.0.1", false, 0},
  };
  for (const Case& c : cases) {
    CARD32 ip = untouched;
    const Text t(c.str.data(), static_cast<CARD32>(c.str.size()));
    EXPECT_EQ(Utils::MkIP(ip, t), c.ok) << "[" << c.str << "]";
    EXPECT_EQ(ip, c.ok ? c.ip : untouched) << "[" << c.str << "]";
  }
}

TEST(Utils, MkIPTextEndsAtNulOrArray) {
  const CHAR noNul[7] = {'1', '.', '2', '.', '3', '.', '4'};
  CARD32 ip = untouched;
  EXPECT_TRUE(Utils::MkIP(ip, noNul));
  EXPECT_EQ(ip, Utils::IP(1, 2, 3, 4));
  const CHAR cut[] = "1.2.3\0.4";
  ip = untouched;
  EXPECT_FALSE(Utils::MkIP(ip, cut));
  EXPECT_EQ(ip, untouched);
}

std::string Written(CARD32 ip, CARD32 m = 32) {
  CHAR a[32];
  SO::TBuffer b;
  SO::Init(b, a, m);
  Utils::WrIP(b, ip);
  return std::string(a, b.l);
}

TEST(Utils, WrIP) {
  EXPECT_EQ(Written(Utils::IP(127, 0, 0, 1)), "127.0.0.1");
  EXPECT_EQ(Written(0), "0.0.0.0");
  EXPECT_EQ(Written(0xFFFFFFFFu), "255.255.255.255");
  EXPECT_EQ(Written(0x04030201u), "1.2.3.4");
  EXPECT_EQ(Written(0xFFFFFFFFu, 8), "255.255.") << "cut at the buffer's capacity";
  for (const char* s : {"10.20.30.40", "192.168.0.255", "0.1.10.100"}) {
    CARD32 ip = 0;
    ASSERT_TRUE(Utils::MkIP(ip, Text(s, static_cast<CARD32>(strlen(s)))));
    EXPECT_EQ(Written(ip), s);
  }
}

TEST(Utils, StrToCard) {
  struct Case {
    std::string s;
    bool ok;
    CARD32 x;
  };
  const Case cases[] = {
      {"0", true, 0},
      {"80", true, 80},
      {"+80", true, 80},
      {"0080", true, 80},
      {"65536", true, 65536},
      {"4294967295", true, 4294967295u},
      {std::string(30, '0') + "4294967295", true, 4294967295u},
      {"4294967296", false, 0},
      {"4294967300", false, 0},
      {"99999999999", false, 0},
      {"", false, 0},
      {"+", false, 0},
      {"++1", false, 0},
      {"-1", false, 0},
      {"-0", false, 0},
      {" 1", false, 0},
      {"1 ", false, 0},
      {"8o", false, 0},
      {"1+", false, 0},
  };
  for (const Case& c : cases) {
    CARD32 x = untouched;
    EXPECT_EQ(Utils::StrToCard(Text(c.s.data(), static_cast<CARD32>(c.s.size())), x), c.ok)
        << "[" << c.s << "]";
    EXPECT_EQ(x, c.ok ? c.x : untouched) << "[" << c.s << "]";
  }
}

}  // namespace
