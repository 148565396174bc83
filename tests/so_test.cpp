// The text buffer: field adjustment, number conversion and silent truncation.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "SO.h"

namespace {

using SO::TBuffer;

// The text of a buffer as the array holds it: up to the first NUL or the end of the array.
std::string TextOf(const TBuffer& b) {
  return std::string(b.s, Text(b.s, b.m).Len());
}

struct Example {
  const char* what;
  std::function<void(TBuffer&)> op;
  char p;
  const char* out;
};

TEST(SO, ExamplesTable) {
  const Example cases[] = {
      {"hex zero-filled", [](TBuffer& b) { SO::WrLngHex(b, 0x1F, 8); }, '0', "0000001F"},
      {"hex blank-filled", [](TBuffer& b) { SO::WrLngHex(b, 0x1F, 8); }, ' ', "      1F"},
      {"hex all ones", [](TBuffer& b) { SO::WrLngHex(b, 0xFFFFFFFF, 8); }, '0', "FFFFFFFF"},
      {"hex wider than field", [](TBuffer& b) { SO::WrLngHex(b, 0xABCDEF, 2); }, '0', "ABCDEF"},
      {"card zero-filled", [](TBuffer& b) { SO::WrLngCard(b, 7, 3); }, '0', "007"},
      {"CARD16 blank", [](TBuffer& b) { SO::WrCard(b, 1, 2); }, ' ', " 1"},
      {"width 1", [](TBuffer& b) { SO::WrLngCard(b, 4096, 1); }, '0', "4096"},
      {"zero, width 0", [](TBuffer& b) { SO::WrLngCard(b, 0, 0); }, '0', "0"},
      {"largest card", [](TBuffer& b) { SO::WrLngCard(b, 4294967295u, 1); }, ' ', "4294967295"},
      {"left-adjusted", [](TBuffer& b) { SO::WrStrAdj(b, "Config", -8); }, '0', "Config  "},
      {"right-adjusted", [](TBuffer& b) { SO::WrStrAdj(b, "Config", 8); }, ' ', "  Config"},
      {"wider than field", [](TBuffer& b) { SO::WrStrAdj(b, "TovrelRcv", -8); }, ' ', "TovrelRcv"},
      {"exactly as wide", [](TBuffer& b) { SO::WrStrAdj(b, "Mot", 3); }, '0', "Mot"},
      {"byte hex zero", [](TBuffer& b) { SO::WrShtHex(b, 0x0A, 2); }, '0', "0A"},
      {"byte hex blank", [](TBuffer& b) { SO::WrShtHex(b, 0x0A, 2); }, ' ', " A"},
      {"byte card", [](TBuffer& b) { SO::WrShtCard(b, 255, 1); }, ' ', "255"},
      {"CARD16 hex", [](TBuffer& b) { SO::WrHex(b, 0xBEEF, 6); }, '0', "00BEEF"},
      {"char repeat 0", [](TBuffer& b) { SO::WrCharRep(b, 'x', 0); }, ' ', ""},
      {"char repeat", [](TBuffer& b) { SO::WrCharRep(b, 'x', 3); }, ' ', "xxx"},
      {"line end", [](TBuffer& b) { SO::WrLn(b); }, ' ', "\r\n"},
      {"question marks",
       [](TBuffer& b) {
         b.c.c = true;
         SO::WrStrAdj(b, "0123456789", 8);
       },
       ' ', "????????"},
      {"question marks, left",
       [](TBuffer& b) {
         b.c.c = true;
         SO::WrStrAdj(b, "0123456789", -8);
       },
       ' ', "????????"},
      {"question marks, fits",
       [](TBuffer& b) {
         b.c.c = true;
         SO::WrStrAdj(b, "abc", -5);
       },
       ' ', "abc  "},
  };
  for (const Example& e : cases) {
    CHAR a[64];
    TBuffer b;
    SO::Init(b, a);
    b.c.p = e.p;
    e.op(b);
    EXPECT_EQ(TextOf(b), e.out) << e.what;
    EXPECT_EQ(b.l, std::string(e.out).size()) << e.what;
  }
}

TEST(SO, InitClearAndSettings) {
  CHAR a[8];
  TBuffer b;
  SO::Init(b, a);
  EXPECT_EQ(b.m, 8u);
  EXPECT_EQ(b.l, 0u);
  EXPECT_EQ(a[0], '\0');
  EXPECT_EQ(b.c.p, ' ');
  EXPECT_EQ(b.c.s, ' ');
  EXPECT_FALSE(b.c.c);
  b.c.p = '0';
  SO::WrStr(b, "abc");
  SO::Clear(b);
  EXPECT_EQ(b.l, 0u);
  EXPECT_EQ(a[0], '\0');
  EXPECT_EQ(b.c.p, '0') << "Clear keeps the settings";
}

TEST(SO, TruncationIsSilent) {
  {  // A text longer than the array fills it completely and leaves no NUL.
    CHAR a[17];
    a[16] = '#';
    TBuffer b;
    SO::Init(b, a, 16);
    SO::WrStr(b, "abcdefghijklmnopqrst");
    EXPECT_EQ(b.l, 16u);
    EXPECT_EQ(std::string(a, 16), "abcdefghijklmnop");
    EXPECT_EQ(a[16], '#') << "nothing written past the array";
  }
  {  // A line end with one free character keeps the carriage return only.
    CHAR a[4];
    TBuffer b;
    SO::Init(b, a);
    SO::WrStr(b, "abc");
    SO::WrLn(b);
    EXPECT_EQ(b.l, b.m);
    EXPECT_EQ(std::string(a, 4), "abc\r");
  }
  {  // A full buffer takes nothing more, whatever the operation.
    CHAR a[2];
    TBuffer b;
    SO::Init(b, a);
    SO::WrStr(b, "xy");
    SO::WrCharRep(b, 'z', 5);
    SO::WrChar(b, 'z');
    SO::WrLngCard(b, 12, 4);
    SO::WrLn(b);
    EXPECT_EQ(b.l, 2u);
    EXPECT_EQ(std::string(a, 2), "xy");
  }
  {  // A number cut in the middle of its field.
    CHAR a[5];
    TBuffer b;
    SO::Init(b, a);
    SO::WrStr(b, "ab");
    b.c.p = '0';
    SO::WrLngHex(b, 0x1F, 8);
    EXPECT_EQ(std::string(a, 5), "ab000");
  }
}

TEST(SO, StringArgumentsEndAtNulOrArray) {
  const CHAR noNul[3] = {'a', 'b', 'c'};
  const CHAR early[6] = {'x', 'y', '\0', 'z', 'z', 'z'};
  CHAR a[16];
  TBuffer b;
  SO::Init(b, a);
  SO::WrStr(b, noNul);
  SO::WrStr(b, early);
  EXPECT_EQ(TextOf(b), "abcxy");
  SO::WrStrAdj(b, noNul, 5);  // the field counts the three characters of the array
  EXPECT_EQ(TextOf(b), "abcxy  abc");
}

TEST(SODeath, BufferWithoutArrayIsARunTimeError) {
  EXPECT_EXIT(
      {
        TBuffer b;
        SO::WrStr(b, "x");
      },
      testing::ExitedWithCode(9), "Run-time error: text buffer used before SO.Init");
}

}  // namespace
