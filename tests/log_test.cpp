// The log: line layout, the registry and its refusals, console echo, appending, rotation over
// 16 older generations, the exclusive open, and the close at shutdown.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Cfg.h"
#include "Lib3.h"
#include "Log.h"
#include "Runtime.h"
#include "child.h"

namespace {

namespace fs = std::filesystem;
using Cfg::TModId;

constexpr std::uint64_t maxSize = 134217728;
const char header[] = R"(\d{8} \d{6}\.\d{3} [0-9A-F]{8} )";

// The lines of a file, each without its CR LF; a line that lacks CR LF ends the list with its
// text followed by "<no line end>".
std::vector<std::string> Lines(const std::string& path) {
  const std::string s = Child::ReadFile(path);
  std::vector<std::string> v;
  size_t i = 0;
  while (i < s.size()) {
    const size_t j = s.find("\r\n", i);
    if (j == std::string::npos) {
      v.push_back(s.substr(i) + "<no line end>");
      break;
    }
    v.push_back(s.substr(i, j - i));
    i = j + 2;
  }
  return v;
}

// The part of a line behind the date, time and tick columns.
std::string Tail(const std::string& line) {
  return line.size() > 29 ? line.substr(29) : line;
}

void ExpectHeader(const std::string& line) {
  EXPECT_TRUE(std::regex_search(line, std::regex(std::string("^") + header))) << line;
}

TEST(Log, FirstLinesRegistrationsAndLayout) {
  Log::Start();
  Log::Register(Cfg::midMot, "Mot");
  Log::Register(Cfg::midConfig, "TovrelRc");
  Log::Register(Cfg::midTovrelRcv, "SixteenCharName!");
  Log::Write(Cfg::midMot, Log::lvlMsg, "m", false);
  Log::Write(Cfg::midConfig, Log::lvlWrn, "w", false);
  Log::Write(Cfg::midTovrelRcv, Log::lvlErr, "e", false);
  Log::Write(Cfg::midTovrel, Log::lvlFat, "never registered", false);

  const std::vector<std::string> l = Lines("TovrelRcv.log");
  const std::vector<std::string> want = {
      "00000000 M ========================================",
      "Log      M Register:  1 \"Log\"",
      "",  // the tick line, below
      "Log      M Register:  3 \"Mot\"",
      "Log      M Register:  4 \"TovrelRc\"",
      "Log      M Register:  5 \"SixteenCharName!\"",
      "Mot      M m",
      "TovrelRc W w",
      "SixteenCharName! E e",
      "00000002 F never registered",
  };
  ASSERT_EQ(l.size(), want.size());
  for (size_t i = 0; i < l.size(); ++i) {
    ExpectHeader(l[i]);
    if (i != 2) {
      EXPECT_EQ(Tail(l[i]), want[i]) << i;
    }
  }
  EXPECT_TRUE(std::regex_match(Tail(l[2]), std::regex("Log      M ticks  {0,7}[0-9A-F]{1,8}")))
      << l[2];
  EXPECT_EQ(Tail(l[2]).size(), 25u) << "the tick value is blank-filled to 8 columns";

  // The date and time are UTC, and the ticks count from the program's start.
  const time_t now = time(nullptr);
  tm u{};
  gmtime_r(&now, &u);
  char date[16];
  strftime(date, sizeof date, "%Y%m%d", &u);
  EXPECT_EQ(l.back().substr(0, 8), date);
  EXPECT_LT(std::stoul(l.back().substr(20, 8), nullptr, 16), 60000u);
}

// A child that registers the names given as "id=name" arguments, then halts.
CHILD_ROLE(Register) {
  Log::Start();
  for (const std::string& a : args) {
    const size_t eq = a.find('=');
    const std::string name = a.substr(eq + 1);
    Log::Register(static_cast<TModId>(std::stoi(a.substr(0, eq))),
                  Text(name.c_str(), static_cast<CARD32>(name.size() + 1)));
  }
  Lib3::Halt();
}

TEST(Log, RegistrationRefusalsAreFatal) {
  struct {
    Child::Args regs;
    const char* fatal;  // the refusal, or null when every registration is accepted
  } cases[] = {
      {{"3="}, "Register: Invalid name \"\""},
      {{"3=ABCDEFGHIJKLMNOPQ"}, "Register: Invalid name \"ABCDEFGHIJKLMNOPQ\""},
      {{"3=Mot", "3=Mot"}, "Register: Id known  3 \"Mot\""},
      {{"3=Mot", "3=Other"}, "Register: Id known  3 \"Mot\""},
      {{"3=Log"}, "Register: Name known  1 \"Log\""},
      {{"3=Mot", "4=Mot"}, "Register: Name known  3 \"Mot\""},
      {{"3=log"}, nullptr},
      {{"3=00000004", "4=ABCDEFGHIJKLMNOP"}, nullptr},
  };
  for (const auto& c : cases) {
    const std::string dir = fs::current_path() / ("case" + std::to_string(&c - cases));
    fs::create_directory(dir);
    Child::Proc p = Child::Start("Register", c.regs, {.cwd = dir, .env = {}});
    ASSERT_TRUE(p.Wait());
    EXPECT_EQ(p.Code(), 255) << c.regs[0];
    const std::vector<std::string> l = Lines(dir + "/TovrelRcv.log");
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(Tail(l.back()), "Log      M DoneModule") << "the chain ran";
    if (c.fatal == nullptr) {
      EXPECT_EQ(p.Out(), "") << c.regs[0];
      EXPECT_EQ(l.size(), 4 + c.regs.size()) << c.regs[0];
      continue;
    }
    const std::string fatal = l[l.size() - 2];
    EXPECT_EQ(Tail(fatal), std::string("Log      F ") + c.fatal);
    // The console gets the same characters as the file, time stamp and line end included.
    EXPECT_EQ(p.Out(), fatal + "\r\n");
  }
}

// A child that writes one line with the text given, then halts.
CHILD_ROLE(WriteLine) {
  Log::Start();
  Log::Write(Cfg::midLog, Log::lvlMsg, Text(args[0].c_str(), args[0].size() + 1), false);
  Lib3::Halt();
}

TEST(Log, ASecondRunAppends) {
  for (const char* text : {"first run", "second run"}) {
    Child::Proc p = Child::Start("WriteLine", {text});
    ASSERT_TRUE(p.Wait());
    EXPECT_EQ(p.Code(), 255);
  }
  std::vector<std::string> tails;
  for (const std::string& l : Lines("TovrelRcv.log")) tails.push_back(Tail(l));
  ASSERT_EQ(tails.size(), 10u);
  for (size_t run : {0, 5}) {
    EXPECT_EQ(tails[run], "00000000 M ========================================");
    EXPECT_EQ(tails[run + 1], "Log      M Register:  1 \"Log\"");
    EXPECT_EQ(tails[run + 4], "Log      M DoneModule");
  }
  EXPECT_EQ(tails[3], "Log      M first run");
  EXPECT_EQ(tails[8], "Log      M second run");
}

// A long line is cut at 512 characters and loses its line end.
TEST(Log, ALineLongerThanTheBufferIsCut) {
  Log::Start();
  const std::string text(600, 'x');
  Log::Write(Cfg::midLog, Log::lvlMsg, Text(text.c_str(), 601), false);
  Log::Write(Cfg::midLog, Log::lvlMsg, "next", false);
  const std::string s = Child::ReadFile("TovrelRcv.log");
  const std::string cut = "Log      M " + std::string(512 - 40, 'x');
  const size_t at = s.find(cut);
  ASSERT_NE(at, std::string::npos);
  EXPECT_TRUE(std::regex_search(s.substr(at + cut.size()),
                                std::regex(std::string("^") + header + "Log      M next\r\n$")));
}

void MakeFile(const std::string& name, const std::string& content) {
  std::ofstream(name, std::ios::binary) << content;
}

// The marker line that each start writes first is 82 bytes long with its line end.
constexpr std::uint64_t markLen = 82;

TEST(LogRotation, ALineThatReachesTheLimitExactlyStaysInTheFile) {
  MakeFile("TovrelRcv.log", "old");
  fs::resize_file("TovrelRcv.log", maxSize - markLen);  // sparse: nothing of it is written
  Log::Start();
  // The marker fills the file to exactly the limit; the registration line that follows
  // rotates it.
  EXPECT_EQ(fs::file_size("TovrelRcv001.log"), maxSize);
  const std::vector<std::string> l = Lines("TovrelRcv.log");
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(Tail(l[0]), "Log      M Register:  1 \"Log\"");
  std::ifstream old("TovrelRcv001.log", std::ios::binary);
  old.seekg(static_cast<std::streamoff>(maxSize - markLen));
  std::string mark(markLen, '\0');
  old.read(mark.data(), markLen);
  EXPECT_EQ(mark.substr(29), "00000000 M ========================================\r\n");
}

TEST(LogRotation, OneByteMoreRotatesFirst) {
  MakeFile("TovrelRcv.log", "old");
  fs::resize_file("TovrelRcv.log", maxSize - markLen + 1);
  Log::Start();
  EXPECT_EQ(fs::file_size("TovrelRcv001.log"), maxSize - markLen + 1);
  const std::vector<std::string> l = Lines("TovrelRcv.log");
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(Tail(l[0]), "00000000 M ========================================")
      << "the line that rotated begins the new file";
  EXPECT_FALSE(fs::exists("TovrelRcv002.log"));
}

std::string GenName(int i) {
  char n[32];
  snprintf(n, sizeof n, i == 0 ? "TovrelRcv.log" : "TovrelRcv%03d.log", i);
  return n;
}

// Starts a log whose current file is full, so that its first line rotates, with the given older
// generations present; returns the contents by generation afterwards ("" when missing).
std::vector<std::string> RotateWith(const std::vector<int>& present) {
  for (int i : present) MakeFile(GenName(i), "generation " + std::to_string(i));
  MakeFile(GenName(0), "current");
  fs::resize_file(GenName(0), maxSize);
  Log::Start();
  std::vector<std::string> after;
  for (int i = 1; i <= 16; ++i) {
    if (!fs::exists(GenName(i)))
      after.push_back("");
    else
      after.push_back(i == 1 ? "current" : Child::ReadFile(GenName(i)));
  }
  return after;
}

TEST(LogRotation, SixteenGenerationsAreKept) {
  std::vector<int> all;
  for (int i = 1; i <= 16; ++i) all.push_back(i);
  const std::vector<std::string> after = RotateWith(all);
  EXPECT_EQ(after[0], "current");
  EXPECT_EQ(fs::file_size(GenName(1)), maxSize);
  for (int i = 2; i <= 16; ++i) EXPECT_EQ(after[i - 1], "generation " + std::to_string(i - 1));
  int logs = 0;
  for (const auto& e : fs::directory_iterator(".")) logs += e.path().extension() == ".log";
  EXPECT_EQ(logs, 17) << "the oldest generation was deleted";
}

TEST(LogRotation, AGapMovesUpByOne) {
  std::vector<int> present;
  for (int i = 1; i <= 16; ++i)
    if (i != 5) present.push_back(i);
  const std::vector<std::string> after = RotateWith(present);
  for (int i = 2; i <= 16; ++i) {
    if (i == 6)
      EXPECT_EQ(after[i - 1], "") << "generation 6 is missing";
    else
      EXPECT_EQ(after[i - 1], "generation " + std::to_string(i - 1)) << i;
  }
}

// A child that starts the log, says so, and waits to be killed.
CHILD_ROLE(HoldLog) {
  Log::Start();
  Log::Write(Cfg::midLog, Log::lvlMsg, "holding", true);
  pause();
  return 0;
}

TEST(Log, ASecondInstanceInTheSameDirectoryEndsAtStartUp) {
  Child::Proc first = Child::Start("HoldLog");
  ASSERT_TRUE(first.WaitForOut("holding"));
  const std::string before = Child::ReadFile("TovrelRcv.log");

  Child::Proc second = Child::Start("HoldLog");
  ASSERT_TRUE(second.Wait());
  EXPECT_EQ(second.Code(), 255);
  EXPECT_TRUE(std::regex_match(second.Err(),
                               std::regex("Run-time error: Log: open \"TovrelRcv.log\" failed, "
                                          "error code [0-9]+\r\n")))
      << second.Err();
  EXPECT_EQ(second.Out(), "");
  EXPECT_EQ(Child::ReadFile("TovrelRcv.log"), before) << "the first instance's file is untouched";
  EXPECT_TRUE(first.Running());
}

TEST(LogDeath, AFailedWriteIsARunTimeError) {
  // The log's file is a name for the full device: every write fails, the first one at start-up,
  // before the log has hooked its shutdown.
  EXPECT_EXIT(
      {
        fs::create_symlink("/dev/full", "TovrelRcv.log");
        Log::Start();
      },
      testing::ExitedWithCode(255),
      "^Run-time error: Log: write to \"TovrelRcv.log\" failed, error code 28\r\n$");
}

// While the shutdown closes the file, another thread keeps writing: each of its lines goes
// whole into the file before the close, or to the console only after it.
CHILD_ROLE(WriteDuringShutdown) {
  Log::Start();
  std::atomic<int> n{0};
  std::thread t([&] {
    for (;;) {
      Log::Write(Cfg::midLog, Log::lvlMsg, "from the other thread", false);
      n.fetch_add(1);
    }
  });
  while (n.load() < 200) std::this_thread::yield();
  Lib3::Halt();
}

TEST(Log, AWriterThreadDuringShutdownLosesNoLineHalfway) {
  Child::Proc p = Child::Start("WriteDuringShutdown");
  ASSERT_TRUE(p.Wait());
  EXPECT_EQ(p.Code(), 255) << p.Err();
  EXPECT_EQ(p.Err(), "");
  const std::vector<std::string> l = Lines("TovrelRcv.log");
  ASSERT_GE(l.size(), 204u);
  EXPECT_EQ(Tail(l.back()), "Log      M DoneModule");
  for (size_t i = 3; i + 1 < l.size(); ++i) {
    ExpectHeader(l[i]);
    ASSERT_EQ(Tail(l[i]), "Log      M from the other thread") << i;
  }
}

}  // namespace
