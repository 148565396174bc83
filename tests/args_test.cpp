// The argument list: the Windows command-line rules, the platform layer's list and current
// directory, and the scanner that classifies the arguments one by one.
#include <errno.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Args.h"
#include "CmdLine.h"
#include "os/os.h"
#include "os_fault.h"

namespace {

using Words = std::vector<std::string>;

// Hands words to the layer as the argument list (words[0] is the program's name).
void SetWords(const Words& w) {
  std::vector<const CHAR*> v;
  for (const std::string& s : w) v.push_back(s.c_str());
  Os::SetArgs(static_cast<CARD32>(v.size()), v.data());
}

Words Split(const std::string& line) {
  return CmdLine::Split(Text(line.data(), static_cast<CARD32>(line.size())));
}

TEST(CmdLine, WindowsRules) {
  struct Case {
    const char* line;
    Words words;
  };
  const Case cases[] = {
      {"", {}},
      {" \t  ", {}},
      {"prog", {"prog"}},
      {"  prog\t-v  ", {"prog", "-v"}},
      {"prog a\tb", {"prog", "a", "b"}},
      {"prog -a \"1.2.3.4\"", {"prog", "-a", "1.2.3.4"}},
      {"prog \"-a 1.2.3.4\"", {"prog", "-a 1.2.3.4"}},
      {"prog -a \"\" -v", {"prog", "-a", "-v"}},
      {"prog \"\"\"\"", {"prog"}},
      {"prog \"\"", {"prog"}},
      {"prog a\"\"b", {"prog", "ab"}},
      {"prog \"a\tb\"", {"prog", "a\tb"}},
      {"prog ab\"cd ef\"gh", {"prog", "abcd efgh"}},
      {"prog \"unclosed  x", {"prog", "unclosed  x"}},
      {"prog \\\"x\\\"", {"prog", "\"x\""}},
      {"prog \"a \\\" b\"", {"prog", "a \" b"}},
      {"prog \"\\\"\"", {"prog", "\""}},
      {"prog \\\" x", {"prog", "\"", "x"}},
      {"prog a\\\\b", {"prog", "a\\\\b"}},
      {"prog C:\\dir\\ x", {"prog", "C:\\dir\\", "x"}},
      {"prog a\\\\\"b c\"", {"prog", "a\\\"b", "c"}},
      {"prog \\", {"prog", "\\"}},
      {"prog a\nb", {"prog", "a\nb"}},
      {"\"C:\\Program Files\\TovrelRcv.exe\" -h", {"C:\\Program Files\\TovrelRcv.exe", "-h"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Split(c.line), c.words) << "line [" << c.line << "]";
}

TEST(CmdLine, TheLineEndsAtItsFirstNul) {
  const CHAR line[] = {'a', ' ', 'b', '\0', 'c'};
  EXPECT_EQ(CmdLine::Split(Text(line, 5)), (Words{"a", "b"}));
  const CHAR full[] = {'a', ' ', 'b'};
  EXPECT_EQ(CmdLine::Split(full), (Words{"a", "b"}));
}

TEST(OsArgs, ListCountsFromOneAfterTheProgramName) {
  SetWords({"prog", "-v", "", "x y"});
  EXPECT_EQ(Os::ArgCount(), 3u);
  EXPECT_EQ(std::string(Os::GetArg(0).s, Os::GetArg(0).Len()), "prog");
  EXPECT_EQ(std::string(Os::GetArg(1).s, Os::GetArg(1).Len()), "-v");
  EXPECT_EQ(Os::GetArg(2).Len(), 0u) << "an empty word is an argument";
  EXPECT_EQ(std::string(Os::GetArg(3).s, Os::GetArg(3).Len()), "x y");
  EXPECT_EQ(Os::GetArg(4).Len(), 0u);
  SetWords({});
  EXPECT_EQ(Os::ArgCount(), 0u);
  EXPECT_EQ(Os::GetArg(0).Len(), 0u);
}

TEST(OsArgs, MainArgsIsTheArgumentVector) {
  const CHAR* argv[] = {"prog", "-p", "80", nullptr};
  Os::MainArgs(3, argv);
  ASSERT_EQ(Os::ArgCount(), 2u);
  EXPECT_EQ(std::string(Os::GetArg(2).s, Os::GetArg(2).Len()), "80");
  Os::MainArgs(0, argv);
  EXPECT_EQ(Os::ArgCount(), 0u);
}

std::string Dir(const CHAR* s, CARD32 m) {
  return std::string(s, Text(s, m).Len());
}

TEST(OsDir, FullPathCutToTheArray) {
  const std::string cwd = std::filesystem::current_path().string();
  CHAR s[4096];
  ASSERT_TRUE(Os::GetCurrentDirectory(s, sizeof s));
  EXPECT_EQ(Dir(s, sizeof s), cwd);

  const CARD32 n = static_cast<CARD32>(cwd.size());
  CHAR t[4096];
  t[n] = '#';
  ASSERT_TRUE(Os::GetCurrentDirectory(t, n));
  EXPECT_EQ(std::string(t, n), cwd) << "a path as long as the array fills it";
  EXPECT_EQ(t[n], '#') << "and nothing is written behind it";
  ASSERT_TRUE(Os::GetCurrentDirectory(t, 4));
  EXPECT_EQ(std::string(t, 4), cwd.substr(0, 4));
}

TEST(OsDir, APathLongerThanTheFirstTryIsReadWhole) {
  std::filesystem::path p = std::filesystem::current_path();
  for (int i = 0; i < 12; ++i) p /= std::string(40, static_cast<char>('a' + i));
  std::filesystem::create_directories(p);
  std::filesystem::current_path(p);
  const std::string cwd = std::filesystem::current_path().string();
  ASSERT_GT(cwd.size(), 480u);
  CHAR s[1024];
  ASSERT_TRUE(Os::GetCurrentDirectory(s, sizeof s));
  EXPECT_EQ(Dir(s, sizeof s), cwd);
}

char* GetcwdGone(char*, size_t) {
  errno = ENOENT;
  return nullptr;
}

TEST(OsDir, AFailureLeavesTheTextEmpty) {
  OsFault::Guard g;
  OsFault::Sys().getcwd = GetcwdGone;
  CHAR s[16] = "stale";
  EXPECT_FALSE(Os::GetCurrentDirectory(s, sizeof s));
  EXPECT_EQ(s[0], '\0');
  EXPECT_EQ(Os::GetLastError(), static_cast<CARD32>(ENOENT));
}

// One step of the scanner as the parser sees it.
struct Step {
  Args::TSymbol sym;
  std::string lit;
};

void ExpectSteps(const Words& args, const std::vector<Step>& steps, const std::string& what) {
  Words w = {"prog"};
  w.insert(w.end(), args.begin(), args.end());
  SetWords(w);
  Args::Reset();
  EXPECT_EQ(Args::cnt, args.size()) << what;
  EXPECT_EQ(Args::sym, Args::symNull) << what;
  EXPECT_EQ(Args::len, 0u) << what;
  EXPECT_EQ(Args::lit[0], '\0') << what;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    Args::Read();
    const std::string at = what + ", step " + std::to_string(i + 1);
    EXPECT_EQ(Args::sym, steps[i].sym) << at;
    EXPECT_EQ(Args::len, steps[i].lit.size()) << at;
    EXPECT_EQ(Text(Args::lit).Len(), Args::len) << at << ": lit ends where len says";
    EXPECT_EQ(std::string(Args::lit, Text(Args::lit).Len()), steps[i].lit) << at;
  }
}

TEST(Args, ClassifiesEachArgument) {
  using A = Args::TSymbol;
  const A opt = Args::symOpt, arg = Args::symArg, eoa = Args::symEOA;
  struct Case {
    const char* what;
    Words args;
    std::vector<Step> steps;
  };
  const std::string x300(300, 'x');
  const std::string y300 = "-" + std::string(299, 'y');
  const Case cases[] = {
      {"no arguments", {}, {{eoa, ""}, {eoa, ""}}},
      {"dash option", {"-v"}, {{opt, "v"}, {eoa, ""}}},
      {"slash option", {"/v"}, {{opt, "v"}, {eoa, ""}}},
      {"double dash", {"--v"}, {{opt, "-v"}}},
      {"digit option", {"-1"}, {{opt, "1"}}},
      {"lone dash", {"-"}, {{arg, ""}, {eoa, ""}}},
      {"lone slash", {"/"}, {{arg, ""}}},
      {"plain", {"abc"}, {{arg, "abc"}}},
      {"empty argument", {""}, {{arg, ""}, {eoa, ""}}},
      {"dash inside", {"a-b"}, {{arg, "a-b"}}},
      {"long plain", {x300}, {{arg, x300.substr(0, 256)}}},
      {"long option", {y300}, {{opt, std::string(255, 'y')}}},
      {"exactly 256", {std::string(256, 'z')}, {{arg, std::string(256, 'z')}}},
      {"255 and a dash", {"-" + std::string(255, 'z')}, {{opt, std::string(255, 'z')}}},
      {"long then short",
       {x300, "-ab", "c"},
       {{arg, x300.substr(0, 256)}, {opt, "ab"}, {arg, "c"}}},
      {"mixed",
       {"-a", "1.2.3.4", "/p", "80", "-"},
       {{opt, "a"}, {arg, "1.2.3.4"}, {opt, "p"}, {arg, "80"}, {arg, ""}, {eoa, ""}}},
  };
  for (const Case& c : cases) ExpectSteps(c.args, c.steps, c.what);
}

TEST(Args, AnArgumentOf256CharactersFillsLitWithoutNul) {
  SetWords({"prog", std::string(256, 'q')});
  Args::Reset();
  Args::Read();
  EXPECT_EQ(Args::len, 256u);
  EXPECT_EQ(std::string(Args::lit, 256), std::string(256, 'q'));
}

TEST(Args, PastTheEndStaysAtTheEndAndResetStartsOver) {
  SetWords({"prog", "-d", "abc"});
  Args::Reset();
  EXPECT_EQ(Args::idx, 1u);
  Args::Read();
  Args::Read();
  EXPECT_EQ(Args::idx, 3u);
  for (int i = 0; i < 5; ++i) {
    Args::Read();
    EXPECT_EQ(Args::sym, Args::symEOA);
    EXPECT_EQ(Args::lit[0], '\0');
    EXPECT_EQ(Args::len, 0u);
    EXPECT_EQ(Args::idx, Args::cnt + 1);
  }
  Args::Reset();
  EXPECT_EQ(Args::idx, 1u);
  Args::Read();
  EXPECT_EQ(Args::sym, Args::symOpt);
  EXPECT_EQ(std::string(Args::lit), "d");
}

TEST(Args, StartTakesTheCountAndReadsNothing) {
  SetWords({"prog", "-v", "x"});
  Args::Start();
  EXPECT_EQ(Args::cnt, 2u);
  EXPECT_EQ(Args::idx, 1u);
  EXPECT_EQ(Args::sym, Args::symNull);
}

// A Windows command line through the splitter and the scanner, as the win32 layer does it.
TEST(Args, WindowsCommandLinesThroughTheScanner) {
  struct Case {
    const char* line;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"TovrelRcv -a \"1.2.3.4\"", {{Args::symOpt, "a"}, {Args::symArg, "1.2.3.4"}}},
      {"TovrelRcv \"-a 1.2.3.4\"", {{Args::symOpt, "a 1.2.3.4"}, {Args::symEOA, ""}}},
      {"TovrelRcv -d \"\" -v", {{Args::symOpt, "d"}, {Args::symOpt, "v"}, {Args::symEOA, ""}}},
  };
  for (const Case& c : cases) {
    const Words w = Split(c.line);
    ExpectSteps(Words(w.begin() + 1, w.end()), c.steps, c.line);
  }
}

}  // namespace
