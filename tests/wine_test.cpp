// The Windows build on the Windows API, under Wine: the x86-64 programs and the helper program
// win_probe.exe (win_probe.cpp) run under wine64, each test in a fresh current directory and a
// Wine prefix of its own, so that no test meets another's named objects. The prefix is a copy
// of the one that the fixture test wine_prefix initialises once per run, made of hard links
// where Wine only reads; at the end of each test its wineserver is killed with every process
// still running in it. Where the behaviour is the same on both platforms, the Linux build runs
// beside it and the two outputs are compared.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "child.h"
#include "logs.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string wine = TOVREL_WINE64, wineserver = TOVREL_WINESERVER;
const std::string winBin = TOVREL_WINDOWS_BIN;
const std::string rcvWin = winBin + "/TovrelRcv.exe", sndWin = winBin + "/TovrelSnd.exe";
const std::string probe = winBin + "/probe/win_probe.exe";
const std::string rcvLinux = TOVREL_RCV, sndLinux = TOVREL_SND;

const std::string sigMsg = "ConSigs: Signal received, terminating.\r\n";
constexpr std::uint64_t maxLog = 134217728;  // the log file's limit
constexpr std::uint64_t markLen = 82;        // the start marker line, with its line end

class Wine : public testing::Test {
 protected:
  void SetUp() override {
    const fs::path shared = TOVREL_WINE_PREFIX;
    ASSERT_TRUE(fs::exists(shared / "system.reg"))
        << "no Wine prefix at " << shared << ": ctest initialises it (test wine_prefix)";
    const fs::path parent = shared.string() + ".tests";
    fs::create_directories(parent);
    std::string tmpl = (parent / "XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    prefix_ = tmpl;
    // The folders are linked file by file; the files at the top (the registry, the server's
    // notes) are copied, as Wine rewrites them. Symbolic links stay links: dosdevices/z: leads
    // to the root of the file system.
    for (const auto& e : fs::directory_iterator(shared)) {
      const fs::path to = prefix_ / e.path().filename();
      if (e.is_directory() && !e.is_symlink())
        fs::copy(e.path(), to,
                 fs::copy_options::recursive | fs::copy_options::create_hard_links |
                     fs::copy_options::copy_symlinks);
      else
        fs::copy(e.path(), to, fs::copy_options::copy_symlinks);
    }
    setenv("WINEPREFIX", prefix_.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
  }

  void TearDown() override {
    if (prefix_.empty()) return;
    Child::Proc k = Child::Exec(wineserver, {"-k"});
    k.Wait();
    std::error_code ec;
    fs::remove_all(prefix_, ec);
  }

  fs::path prefix_;
};

// A Windows program under Wine, in the directory dir (empty: the test's current directory).
Child::Proc Win(const std::string& exe, Child::Args args = {}, const std::string& dir = "") {
  args.insert(args.begin(), exe);
  return Child::Exec(wine, args, {.cwd = dir, .env = {}});
}

// A fresh directory of the test, for a program that keeps its log there.
std::string Dir(const std::string& name) {
  const std::string d = (fs::current_path() / name).string();
  fs::create_directory(d);
  return d;
}

using Logs::Attached;
using Logs::Has;
using Logs::LastRun;
using Logs::Lines;

// A log line with its date, time and ticks taken off, and the values that differ from run to
// run or between the platforms masked: the tick value, the current directory, the addresses of
// the views and Mot's count of periods.
std::string Masked(const std::string& line) {
  std::string s = line.size() > 29 ? line.substr(29) : "<short line> " + line;
  static const std::regex masks[] = {std::regex("(Log      M ticks) +[0-9A-F]+$"),
                                     std::regex("(Config   M   dir :) '.*'$"),
                                     std::regex("(MapViewOfFile succeeded, adr) +[0-9A-F]+$"),
                                     std::regex("(Mot      M DoneModule:) [0-9]+$")};
  for (const std::regex& m : masks) s = std::regex_replace(s, m, "$1 *");
  return s;
}

std::vector<std::string> MaskedRun(const std::string& log) {
  std::vector<std::string> v;
  for (const std::string& l : LastRun(log)) v.push_back(Masked(l));
  return v;
}

// The log of a normal end: Mot's period count, then the log's own last line.
void ExpectOrderlyEnd(const std::vector<std::string>& l) {
  ASSERT_GE(l.size(), 2u);
  EXPECT_EQ(Masked(l[l.size() - 2]), "Mot      M DoneModule: *");
  EXPECT_EQ(Masked(l.back()), "Log      M DoneModule");
}

// Runs a program until it has attached to Main, then stops it with Ctrl+C (SIGINT, which Wine
// hands to the console handler as a Ctrl+C event).
void RunUntilCtrlC(Child::Proc p, const std::string& log) {
  ASSERT_TRUE(Attached(log)) << p.Out() << p.Err();
  p.Signal(SIGINT);
  ASSERT_TRUE(p.Wait());
  EXPECT_EQ(p.Code(), 255);
  EXPECT_EQ(p.Out(), sigMsg);
}

// ---- The build ----------------------------------------------------------------------------------

// Linked statically against the C and C++ run-time libraries: the programs import from the
// system's own libraries only, which every Windows installation has.
TEST(WindowsBuild, TheProgramsImportSystemLibrariesOnly) {
  const std::regex dll(R"(DLL Name: (\S+))");
  for (const std::string& exe : {rcvWin, sndWin}) {
    Child::Proc p = Child::Exec(TOVREL_OBJDUMP, {"-p", exe});
    ASSERT_TRUE(p.Wait());
    ASSERT_EQ(p.Code(), 0) << p.Err();
    const std::string out = p.Out();
    std::vector<std::string> names;
    for (std::sregex_iterator i(out.begin(), out.end(), dll), end; i != end; ++i) {
      std::string n = (*i)[1];
      std::transform(n.begin(), n.end(), n.begin(),
                     [](unsigned char c) { return std::tolower(c); });
      names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"kernel32.dll", "msvcrt.dll", "winmm.dll"})) << exe;
  }
}

// ---- The platform layer -------------------------------------------------------------------------

TEST_F(Wine, FirstCreatesWithCode0LaterOpensWith183AndBothSeeTheSameBytes) {
  Child::Proc a = Win(probe, {"shm", "Local\\T_Buffer", "64", "view", "64", "poke", "0xA5", "3",
                              "mtx", "Local\\T_Mutex", "hold", "go"});
  ASSERT_TRUE(a.WaitForOut("hold go\n")) << a.Out();
  Child::Proc b = Win(
      probe, {"shm", "Local\\T_Buffer", "64", "view", "64", "peek", "4", "mtx", "Local\\T_Mutex"});
  ASSERT_TRUE(b.Wait());
  { std::ofstream go("go"); }
  ASSERT_TRUE(a.Wait());
  EXPECT_EQ(a.Out(), "shm 0\nview\npoke\nmtx 0\nhold go\n");
  EXPECT_EQ(b.Out(), "shm 183\nview\npeek A5A5A500\nmtx 183\n");
}

// Abandonment reaches another process only while the mutex lives on: a third process holds it.
TEST_F(Wine, AnOwnerThatEndsAbandonsTheMutexForTheNextWaiter) {
  Child::Proc holder = Win(probe, {"mtx", "Local\\T_Mutex", "hold", "go"});
  ASSERT_TRUE(holder.WaitForOut("hold go\n"));
  Child::Proc owner = Win(probe, {"mtx", "Local\\T_Mutex", "wait", "wait", "exit"});
  ASSERT_TRUE(owner.Wait());
  EXPECT_EQ(owner.Out(), "mtx 183\nwait 0\nwait 0\n");
  Child::Proc next = Win(probe, {"mtx", "Local\\T_Mutex", "wait", "wait", "rel", "rel", "rel"});
  ASSERT_TRUE(next.Wait());
  EXPECT_EQ(next.Out(), "mtx 183\nwait 128\nwait 0\nrel\nrel\nrel! 288\n");
  { std::ofstream go("go"); }
  ASSERT_TRUE(holder.Wait());
}

// Ctrl+C, as the system sends it to the console group, reaches the console handler of ConSigs,
// which halts the program.
TEST_F(Wine, CtrlCHaltsTheProgramThroughTheConsoleHandler) {
  Child::Proc p = Win(probe, {"ctrlc"});
  ASSERT_TRUE(p.Wait());
  EXPECT_EQ(p.Code(), 255);
  EXPECT_EQ(p.Out(), sigMsg);
}

// ---- The programs -------------------------------------------------------------------------------

// Ctrl+C ends a program on the handler's thread while its main thread may be in the middle of
// a copy, owning the Main mutex; the other program's next Enter then finds the mutex abandoned
// and halts (AnAbandonedBufferMutexHaltsTheNextEnter). Under Wine a signal takes long enough to
// arrive that this is seen now and then, so here the probe owns the mutex while both programs
// are signalled: each is stopped waiting for it, outside a copy.
TEST_F(Wine, SenderAndReceiverRunTogetherUntilCtrlC) {
  Child::Proc rcv = Win(rcvWin);
  ASSERT_TRUE(Attached("TovrelRcv.log")) << rcv.Out() << rcv.Err();
  Child::Proc snd = Win(sndWin);
  ASSERT_TRUE(Attached("TovrelSnd.log")) << snd.Out() << snd.Err();
  std::this_thread::sleep_for(3s);
  EXPECT_TRUE(rcv.Running());
  EXPECT_TRUE(snd.Running());
  Child::Proc owner =
      Win(probe, {"mtx", "Local\\Tovrel_Main_Mutex", "wait", "hold", "go"}, Dir("p"));
  ASSERT_TRUE(owner.WaitForOut("hold go\n")) << owner.Out();
  EXPECT_EQ(owner.Out(), "mtx 183\nwait 0\nhold go\n");
  snd.Signal(SIGINT);
  rcv.Signal(SIGINT);
  ASSERT_TRUE(snd.Wait());
  ASSERT_TRUE(rcv.Wait());
  { std::ofstream go("p/go"); }
  ASSERT_TRUE(owner.Wait());
  for (Child::Proc* p : {&rcv, &snd}) {
    EXPECT_EQ(p->Code(), 255);
    EXPECT_EQ(p->Out(), sigMsg);
    EXPECT_EQ(p->Err(), "");
  }
  const std::vector<std::string> r = LastRun("TovrelRcv.log"), s = LastRun("TovrelSnd.log");
  EXPECT_FALSE(Has(r, "Check:")) << "the receiver found a torn block";
  ExpectOrderlyEnd(r);
  ExpectOrderlyEnd(s);
  EXPECT_TRUE(Has(r, "NewShm: CreateFileMapping succeeded, error code 0"));
  EXPECT_TRUE(Has(s, "NewShm: CreateFileMapping succeeded, error code 183"));
  EXPECT_FALSE(Has(s, "NewShm: CreateFileMapping succeeded, error code 0"));
}

TEST_F(Wine, ParticipantsBeyondTheLimitsAreRefused) {
  const std::string d1 = Dir("rcv1"), d2 = Dir("rcv2"), ds = Dir("snd1"), d3 = Dir("rcv3"),
                    ds2 = Dir("snd2");
  Child::Proc rcv1 = Win(rcvWin, {}, d1);
  ASSERT_TRUE(Attached(d1 + "/TovrelRcv.log"));
  Child::Proc snd1 = Win(sndWin, {}, ds);
  ASSERT_TRUE(Attached(ds + "/TovrelSnd.log"));
  Child::Proc rcv2 = Win(rcvWin, {}, d2);
  ASSERT_TRUE(Attached(d2 + "/TovrelRcv.log"));
  struct {
    const std::string dir, exe, refusal;
  } cases[] = {
      {d3, rcvWin, "IncCnt: Too many readers for buffer \"Main\"."},
      {ds2, sndWin, "IncCnt: Too many writers for buffer \"Main\"."},
  };
  for (const auto& c : cases) {
    Child::Proc p = Win(c.exe, {}, c.dir);
    ASSERT_TRUE(p.Wait());
    EXPECT_EQ(p.Code(), 255);
    const std::string out = p.Out();
    EXPECT_TRUE(
        std::regex_match(out.substr(0, 29), std::regex(R"(\d{8} \d{6}\.\d{3} [0-9A-F]{8} )")))
        << out;
    EXPECT_EQ(Masked(out), "Tovrel   F " + c.refusal + "\r\n");
  }
  for (Child::Proc* p : {&rcv1, &snd1, &rcv2}) EXPECT_TRUE(p->Running());
  for (Child::Proc* p : {&rcv1, &snd1, &rcv2}) {
    p->Signal(SIGINT);
    ASSERT_TRUE(p->Wait());
    EXPECT_EQ(p->Code(), 255);
  }
  EXPECT_FALSE(Has(LastRun(d1 + "/TovrelRcv.log"), "Check:"));
  EXPECT_FALSE(Has(LastRun(d2 + "/TovrelRcv.log"), "Check:"));
}

// The receiver's check sees a block that is not uniform (written by the probe into Main): the
// run without "Check:" lines above means something.
TEST_F(Wine, TheReceiverReportsANonUniformBlock) {
  Child::Proc rcv = Win(rcvWin);
  ASSERT_TRUE(Attached("TovrelRcv.log"));
  Child::Proc w =
      Win(probe, {"shm", "Local\\Tovrel_Main_Buffer", "512", "view", "128", "poke", "1", "1"},
          Dir("p"));
  ASSERT_TRUE(w.Wait());
  EXPECT_EQ(w.Out(), "shm 183\nview\npoke\n");
  ASSERT_TRUE(rcv.Wait());
  EXPECT_EQ(rcv.Code(), 255);
  std::string want = "TovrelRc E Check: 1 128  01";
  for (int i = 1; i < 128; ++i) want += " 00";
  const std::vector<std::string> l = LastRun("TovrelRcv.log");
  ASSERT_GE(l.size(), 3u);
  EXPECT_EQ(Masked(l[l.size() - 3]), want);
  EXPECT_EQ(rcv.Out(), l[l.size() - 3] + "\r\n") << "the line is echoed as it stands in the log";
  ExpectOrderlyEnd(l);
}

// A process that ends while it owns the buffer mutex: the running receiver, which keeps the
// mutex alive, halts at its next Enter.
TEST_F(Wine, AnAbandonedBufferMutexHaltsTheNextEnter) {
  Child::Proc rcv = Win(rcvWin);
  ASSERT_TRUE(Attached("TovrelRcv.log"));
  Child::Proc owner = Win(probe, {"mtx", "Local\\Tovrel_Main_Mutex", "wait", "exit"}, Dir("p"));
  ASSERT_TRUE(owner.Wait());
  EXPECT_EQ(owner.Out(), "mtx 183\nwait 0\n");
  ASSERT_TRUE(rcv.Wait());
  EXPECT_EQ(rcv.Code(), 255);
  const std::string fatal = "Tovrel   F Enter: WaitForSingleObject returned 128";
  const std::vector<std::string> l = LastRun("TovrelRcv.log");
  ASSERT_GE(l.size(), 3u);
  EXPECT_EQ(Masked(l[l.size() - 3]), fatal);
  EXPECT_EQ(rcv.Out(), l[l.size() - 3] + "\r\n") << "the line is echoed as it stands in the log";
  ExpectOrderlyEnd(l);
}

// ---- The same as on Linux -----------------------------------------------------------------------

TEST_F(Wine, TheHelpTextIsTheSameAsOnLinux) {
  for (const auto& [win, linux] : {std::pair{rcvWin, rcvLinux}, std::pair{sndWin, sndLinux}}) {
    SCOPED_TRACE(win);
    Child::Proc w = Win(win, {"-h"}, Dir("w"));
    Child::Proc l = Child::Exec(linux, {"-h"}, {.cwd = Dir("l"), .env = {}});
    ASSERT_TRUE(w.Wait());
    ASSERT_TRUE(l.Wait());
    EXPECT_EQ(w.Code(), 0);
    EXPECT_EQ(l.Code(), 0);
    EXPECT_NE(l.Out(), "");
    EXPECT_EQ(w.Out(), l.Out());
    EXPECT_EQ(w.Err(), l.Err());
  }
}

// Each line in the same layout, with the same text, on both platforms: the date, time and tick
// columns, then the module's name and the level, then the text.
TEST_F(Wine, LogLinesAreTheSameAsOnLinux) {
  const std::regex head(R"(\d{8} \d{6}\.\d{3} [0-9A-F]{8} .{8} [MWEF] .*)");
  for (const auto& [win, linux, log] : {std::tuple{rcvWin, rcvLinux, "/TovrelRcv.log"},
                                        std::tuple{sndWin, sndLinux, "/TovrelSnd.log"}}) {
    SCOPED_TRACE(win);
    const std::string dw = Dir("w" + std::string(log + 1)), dl = Dir("l" + std::string(log + 1));
    RunUntilCtrlC(Win(win, {}, dw), dw + log);
    RunUntilCtrlC(Child::Exec(linux, {}, {.cwd = dl, .env = {}}), dl + log);
    const std::vector<std::string> w = LastRun(dw + log);
    for (const std::string& l : w) EXPECT_TRUE(std::regex_match(l, head)) << l;
    EXPECT_EQ(MaskedRun(dw + log), MaskedRun(dl + log));
    ExpectOrderlyEnd(w);
  }
}

// A current log file at or near its limit (sparse, made here) is rotated by the next start as on
// Linux: the older generation moves up by one, and the new file begins with the line that did
// not fit.
TEST_F(Wine, AFullLogIsRotatedAsOnLinux) {
  for (const std::uint64_t size : {maxLog - markLen, maxLog - markLen + 1, maxLog}) {
    SCOPED_TRACE(size);
    struct Listing {
      std::vector<std::pair<std::string, std::uint64_t>> files;
      std::vector<std::string> current;
    } listings[2];
    for (int k = 0; k < 2; ++k) {
      const std::string d = Dir((k == 0 ? "w" : "l") + std::to_string(size));
      { std::ofstream(d + "/TovrelRcv001.log") << "generation 1"; }
      { std::ofstream(d + "/TovrelRcv.log") << "old"; }
      fs::resize_file(d + "/TovrelRcv.log", size);
      Child::Proc p =
          k == 0 ? Win(rcvWin, {"-h"}, d) : Child::Exec(rcvLinux, {"-h"}, {.cwd = d, .env = {}});
      ASSERT_TRUE(p.Wait());
      EXPECT_EQ(p.Code(), 0);
      for (const auto& e : fs::directory_iterator(d))
        listings[k].files.emplace_back(e.path().filename(), e.file_size());
      std::sort(listings[k].files.begin(), listings[k].files.end());
      for (const std::string& l : Lines(d + "/TovrelRcv.log"))
        listings[k].current.push_back(Masked(l));
      EXPECT_EQ(Child::ReadFile(d + "/TovrelRcv002.log"), "generation 1");
      EXPECT_GE(fs::file_size(d + "/TovrelRcv001.log"), size);
    }
    EXPECT_EQ(listings[0].files, listings[1].files);
    EXPECT_EQ(listings[0].current, listings[1].current);
    ASSERT_FALSE(listings[0].current.empty());
    EXPECT_EQ(listings[0].current.back(), "Log      M DoneModule");
  }
}

}  // namespace
