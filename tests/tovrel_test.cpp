// Tovrel: the objects it creates and opens and the log lines that say so, the participant limits
// over all processes, the check of the buffer table, the failures of the kernel objects, and the
// block copies. Other participants are real processes (the "steps" child role), each with a
// directory (and so a log) of its own; the session directory is the test's.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "Runtime.h"
#include "Tovrel.h"
#include "os/os.h"
#include "steps.h"

namespace {

namespace fs = std::filesystem;
using Steps::Dir;
using Steps::Go;
using Steps::SessionDir;

std::string Rep(const std::string& s, int n) {
  std::string r;
  while (n-- > 0) r += s;
  return r;
}

// The lines that Tovrel wrote to the log in directory dir, each as its level letter, a blank and
// its text.
std::vector<std::string> TovrelLines(const std::string& dir) {
  const std::string s = Child::ReadFile(dir + "/TovrelRcv.log");
  std::vector<std::string> v;
  for (size_t i = 0, j; (j = s.find("\r\n", i)) != std::string::npos; i = j + 2) {
    const std::string l = s.substr(i, j - i);
    if (l.size() > 40 && l.compare(29, 9, "Tovrel   ") == 0) v.push_back(l.substr(38));
  }
  return v;
}

const std::string created = "M NewShm: CreateFileMapping succeeded, error code 0";
const std::string opened = "M NewShm: CreateFileMapping succeeded, error code 183";

// The view's line: its address in capital hexadecimal digits, right-aligned in 8 characters
// (more digits when the address needs them).
bool IsViewLine(const std::string& l) {
  static const std::regex re(
      "M NewShm: MapViewOfFile succeeded, adr (?=[ 0-9A-F]{8,16}$) *[1-9A-F][0-9A-F]*");
  return std::regex_match(l, re);
}

// The log of a process that attached to the counts objects and then to one buffer, with code
// 0 or 183 for each mapping; or that attached to the counts and was refused with `refusal`.
void ExpectAttachLines(const std::string& dir, const std::string& counts, const std::string& buffer,
                       const std::string& refusal = "") {
  const auto lines = TovrelLines(dir);
  ASSERT_EQ(lines.size(), refusal.empty() ? 4u : 3u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[0], counts);
  EXPECT_TRUE(IsViewLine(lines[1])) << lines[1];
  if (refusal.empty()) {
    EXPECT_EQ(lines[2], buffer);
    EXPECT_TRUE(IsViewLine(lines[3])) << lines[3];
  } else {
    EXPECT_EQ(lines[2], "F " + refusal);
  }
}

// A fatal report: the last line of the log at level F, the same line echoed on standard output,
// and the exit code of a halt with the return code at its default.
void ExpectFatal(Child::Proc& p, const std::string& dir, const std::string& text) {
  ASSERT_TRUE(p.Wait());
  EXPECT_EQ(p.Code(), 255);
  const auto lines = TovrelLines(dir);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "F " + text);
  EXPECT_NE(p.Out().find("Tovrel   F " + text + "\r\n"), std::string::npos) << p.Out();
}

// The counts region as the test process sees it under the counts mutex (opening both, which
// makes the test a holder): writers and readers of Main, then of Back, in hexadecimal.
std::string Counts() {
  Os::Handle m = Os::CreateMutexA("Local\\Tovrel_Counts_Mutex");
  Os::Handle h = Os::CreateFileMappingA("Local\\Tovrel_Counts_Buffer", 16);
  const BYTE* a = h == nullptr ? nullptr : static_cast<BYTE*>(Os::MapViewOfFile(h, 16));
  if (m == nullptr || a == nullptr) return "no counts";
  // An abandoned counts mutex shows here; this process owns it then too, and gives it back.
  const CARD32 r = Os::WaitForSingleObject(m, Os::infinite);
  if (r != Os::waitObject0) {
    if (r == Os::waitAbandoned) Os::ReleaseMutex(m);
    return "counts mutex " + std::to_string(r);
  }
  auto load = [&](int k) {
    return a[k] | a[k + 1] << 8 | a[k + 2] << 16 | static_cast<CARD32>(a[k + 3]) << 24;
  };
  char s[40];
  std::snprintf(s, sizeof s, "%u %u %u %u", load(0), load(4), load(8), load(12));
  Os::ReleaseMutex(m);
  return s;
}

// ---- Start-up and the objects ---------------------------------------------------------------

TEST(Tovrel, StartRegistersAndCreatesNothing) {
  Tovrel::Start();
  const std::string log = Child::ReadFile("TovrelRcv.log");
  EXPECT_NE(log.find("Log      M Register:  2 \"Tovrel\"\r\n"), std::string::npos) << log;
  EXPECT_TRUE(fs::is_empty(SessionDir()));
  EXPECT_STREQ(Runtime::StartName(Runtime::StartCount() - 1), "Tovrel");
}

// The first participant anywhere creates the counts objects and the buffer's objects, and every
// later one opens them; the log of each says which. A second reader in one process shares the
// first one's buffer and adds no lines.
TEST(Tovrel, FirstAttachCreatesLaterAttachesOpen) {
  const std::string da = Dir("a"), db = Dir("b");
  auto a = Steps::Run({"tovrel", "rdr", "main", "rdr", "main", "hold", "a", "read", "130"}, da);
  ASSERT_TRUE(a.WaitForOut("hold a\n"));
  ExpectAttachLines(da, created, created);
  std::set<std::string> files;
  for (const auto& e : fs::directory_iterator(SessionDir())) files.insert(e.path().filename());
  EXPECT_EQ(files, (std::set<std::string>{"Tovrel_Counts_Buffer", "Tovrel_Counts_Mutex",
                                          "Tovrel_Main_Buffer", "Tovrel_Main_Mutex"}));
  EXPECT_EQ(fs::file_size(SessionDir() + "/Tovrel_Counts_Buffer"), 16u);
  EXPECT_EQ(fs::file_size(SessionDir() + "/Tovrel_Main_Buffer"), 512u);

  auto b = Steps::Run({"tovrel", "wrtr", "main", "write", "0x42", "128"}, db);
  ASSERT_TRUE(b.Wait());
  EXPECT_EQ(b.Out(), "tovrel\nwrtr\nwrite 128\n");
  ExpectAttachLines(db, opened, opened);
  EXPECT_EQ(Counts(), "1 2 0 0");

  // The block outlives its writer while the buffer has a holder.
  Go("a");
  ASSERT_TRUE(a.Wait());
  EXPECT_EQ(a.Out(), "tovrel\nrdr\nrdr\nhold a\nread 130 " + Rep("42", 128) + "0000\n");
}

// ---- Participant limits -----------------------------------------------------------------------

// Each participant is a process of its own; the test process holds the counts objects
// throughout, so the counts carry over from one to the next. A refused participant counts
// nothing, opens none of the buffer's objects, and gives the counts mutex back: the next
// participant within the limits is admitted.
TEST(Tovrel, ParticipantsBeyondALimitAreRefusedAndLeaveNoTrace) {
  ASSERT_EQ(Counts(), "0 0 0 0");
  struct Case {
    Child::Args steps;
    std::string refusal;  // empty: admitted, and the process holds on
    std::string counts;   // afterwards
  } cases[] = {
      {{"rdr", "back"}, "IncCnt: Too many readers for buffer \"Back\".", "0 0 0 0"},
      {{"wrtr", "back"}, "IncCnt: Too many writers for buffer \"Back\".", "0 0 0 0"},
      {{"rdr", "main"}, "", "0 1 0 0"},
      {{"rdr", "main", "rdr", "main"}, "IncCnt: Too many readers for buffer \"Main\".", "0 2 0 0"},
      {{"rdr", "main"}, "IncCnt: Too many readers for buffer \"Main\".", "0 2 0 0"},
      {{"wrtr", "main"}, "", "1 2 0 0"},
      {{"wrtr", "main"}, "IncCnt: Too many writers for buffer \"Main\".", "1 2 0 0"},
      {{"rdr", "back"}, "IncCnt: Too many readers for buffer \"Back\".", "1 2 0 0"},
  };
  std::vector<Child::Proc> holders;
  int k = 0;
  for (const auto& c : cases) {
    const std::string name = "p" + std::to_string(k++);
    SCOPED_TRACE(name + " " + testing::PrintToString(c.steps));
    const std::string dir = Dir(name);
    Child::Args steps = {"tovrel"};
    steps.insert(steps.end(), c.steps.begin(), c.steps.end());
    steps.insert(steps.end(), {"hold", "end"});
    auto p = Steps::Run(steps, dir);
    if (c.refusal.empty()) {
      ASSERT_TRUE(p.WaitForOut("hold end\n"));
      ExpectAttachLines(dir, opened, k == 3 ? created : opened);
      holders.push_back(std::move(p));
    } else {
      ExpectFatal(p, dir, c.refusal);
      if (c.steps.size() == 2) ExpectAttachLines(dir, opened, "", c.refusal);
    }
    EXPECT_EQ(Counts(), c.counts);
  }
  EXPECT_FALSE(fs::exists(SessionDir() + "/Tovrel_Back_Buffer"));
  EXPECT_FALSE(fs::exists(SessionDir() + "/Tovrel_Back_Mutex"));
  Go("end");
}

// Counts are never taken back: a reader whose process has ended still counts while the region
// lives, and only a region made anew, after every holder has ended, starts at zero again.
TEST(Tovrel, CountsLastAsLongAsTheRegion) {
  auto a = Steps::Run({"tovrel", "rdr", "main", "hold", "a"}, Dir("a"));
  ASSERT_TRUE(a.WaitForOut("hold a\n"));
  auto b = Steps::Run({"tovrel", "rdr", "main"}, Dir("b"));
  ASSERT_TRUE(b.Wait());
  EXPECT_EQ(b.Code(), 0);
  auto c = Steps::Run({"tovrel", "rdr", "main"}, Dir("c"));
  ExpectFatal(c, Steps::TestDir() + "/c", "IncCnt: Too many readers for buffer \"Main\".");
  Go("a");
  ASSERT_TRUE(a.Wait());
  const std::string dd = Dir("d");
  auto d = Steps::Run({"tovrel", "rdr", "main", "rdr", "main", "wrtr", "main"}, dd);
  ASSERT_TRUE(d.Wait());
  EXPECT_EQ(d.Out(), "tovrel\nrdr\nrdr\nwrtr\n");
  ExpectAttachLines(dd, created, created);
}

// ---- Kernel objects -----------------------------------------------------------------------------

// A process that ends while it owns a buffer's or the counts' mutex leaves it abandoned: the
// next Enter on it, in any process, halts, and so does the one after (each ends owning it).
// The test process holds the mutex, so that it stays the same object.
TEST(Tovrel, AnAbandonedMutexIsFatalForEveryNextEnter) {
  struct Case {
    const char* mutex;
    Child::Args steps;
  } cases[] = {
      {"Local\\Tovrel_Main_Mutex", {"tovrel", "wrtr", "main", "write", "1", "128"}},
      {"Local\\Tovrel_Counts_Mutex", {"tovrel", "rdr", "main"}},
  };
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mutex);
    ASSERT_NE(Os::CreateMutexA(c.mutex), nullptr);
    auto owner = Steps::Run({"mtx", c.mutex, "wait", "kill"});
    ASSERT_TRUE(owner.Wait());
    EXPECT_EQ(owner.Out(), "mtx 183\nwait 0\n");
    for (int i = 0; i < 2; ++i) {
      const std::string dir = Dir("p" + std::to_string(k++));
      auto p = Steps::Run(c.steps, dir);
      ExpectFatal(p, dir, "Enter: WaitForSingleObject returned 128");
    }
  }
}

// The failures of the kernel objects end the program with the call's error code. The session
// directory is checked before anything is made in it: an unsafe one is refused with a message
// that says why, and nothing is created.
TEST(Tovrel, FailuresOfTheKernelObjectsAreFatal) {
  const std::string run = SessionDir();
  const std::string other = Steps::Dir("other");
  fs::create_directory_symlink(other, Steps::TestDir() + "/link");
  fs::create_directory(Steps::TestDir() + "/open");
  fs::permissions(Steps::TestDir() + "/open", fs::perms(0755));
  fs::create_directory(Steps::TestDir() + "/foreign");
  fs::permissions(Steps::TestDir() + "/foreign", fs::perms(0700));
  ASSERT_EQ(chown((Steps::TestDir() + "/foreign").c_str(), 65534, 65534), 0);
  Os::Handle small = nullptr;
  struct Case {
    std::string name;
    std::function<void()> setup;
    Child::Args steps;
    std::vector<std::string> env;
    std::string text, err;
  } cases[] = {
      {"link",
       [] {},
       {"tovrel", "rdr", "main"},
       {"XDG_RUNTIME_DIR=" + Steps::TestDir() + "/link"},
       "NewMtx: CreateMutex failed, error code 13",
       "it is a symbolic link"},
      {"open",
       [] {},
       {"tovrel", "wrtr", "main"},
       {"XDG_RUNTIME_DIR=" + Steps::TestDir() + "/open"},
       "NewMtx: CreateMutex failed, error code 13",
       "its mode 0755 lets group or others in"},
      {"foreign",
       [] {},
       {"tovrel", "rdr", "main"},
       {"XDG_RUNTIME_DIR=" + Steps::TestDir() + "/foreign"},
       "NewMtx: CreateMutex failed, error code 13",
       "it belongs to uid 65534, not to uid 0"},
      {"directory",
       [&] { fs::create_directory(run + "/Tovrel_Counts_Buffer"); },
       {"tovrel", "rdr", "main"},
       {},
       "NewShm: CreateFileMapping failed, error code " + std::to_string(EISDIR),
       ""},
      {"small",
       [&] {
         fs::remove(run + "/Tovrel_Counts_Buffer");
         small = Os::CreateFileMappingA("Local\\Tovrel_Counts_Buffer", 8);
       },
       {"tovrel", "rdr", "main"},
       {},
       "NewShm: MapViewOfFile failed, error code " + std::to_string(EOVERFLOW),
       ""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.setup();
    const std::string dir = Dir("p-" + c.name);
    auto p = Steps::Run(c.steps, dir, c.env);
    ExpectFatal(p, dir, c.text);
    if (!c.err.empty()) {
      EXPECT_NE(p.Err().find("refused: " + c.err + "\r\n"), std::string::npos) << p.Err();
    }
  }
  EXPECT_NE(small, nullptr);
  EXPECT_TRUE(fs::is_empty(other));
  EXPECT_TRUE(fs::is_empty(Steps::TestDir() + "/open"));
  EXPECT_TRUE(fs::is_empty(Steps::TestDir() + "/foreign"));
  // The mapping that was too small was opened, not made: its line says 183.
  EXPECT_EQ(TovrelLines(Steps::TestDir() + "/p-small").front(), opened);
}

// The failures of the two mutex calls on the copy path, made to happen in the child. Even a copy
// of no bytes takes the mutex and gives it back.
TEST(Tovrel, FailuresOfTheMutexCallsAreFatal) {
  struct Case {
    const char* fault;
    std::string text;
  } cases[] = {
      {"lock", "Enter: WaitForSingleObject failed, err " + std::to_string(EINVAL)},
      {"unlock", "Leave: ReleaseMutex failed, err " + std::to_string(EINVAL)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string dir = Dir(c.fault);
    auto p = Steps::Run({"tovrel", "rdr", "main", "fault", c.fault, "read", "0"}, dir);
    ExpectFatal(p, dir, c.text);
  }
}

// Another user's process cannot reach the objects of this user: it ends at its first object.
TEST(Tovrel, AnotherUserCannotAttach) {
  ASSERT_EQ(geteuid(), 0u) << "needs root to become another user";
  char tmpl[] = "/tmp/tovrel-other-user-XXXXXX";
  const std::string dir = mkdtemp(tmpl);  // its current directory, which it can write
  ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
  auto a = Steps::Run({"tovrel", "rdr", "main", "hold", "a"}, Dir("a"));
  ASSERT_TRUE(a.WaitForOut("hold a\n"));
  auto p = Steps::Run({"uid", "65534", "tovrel", "rdr", "main"}, dir);
  ExpectFatal(p, dir, "NewMtx: CreateMutex failed, error code 13");
  EXPECT_EQ(Counts(), "0 1 0 0");
  Go("a");
  ASSERT_TRUE(a.Wait());
  EXPECT_EQ(a.Out(), "tovrel\nrdr\nhold a\n");
  fs::remove_all(dir);
}

// ---- The buffer table
// -----------------------------------------------------------------------------

// The check of the table halts at the first fault, with one message: entries in the order of
// their ids, each entry's name before its length, a duplicate reported under the earlier entry.
TEST(Tovrel, TheTableCheckReportsTheFirstFault) {
  struct Case {
    const char* table;
    std::string text;  // empty: accepted
  } cases[] = {
      {"shipped", ""},
      {"lowerCounts", ""},
      {"counts", "ChkName: Invalid buffer name \"Counts\"."},
      {"countsLen0", "ChkName: Invalid buffer name \"Counts\"."},
      {"duplicate", "ChkName: Duplicate buffer name \"Main\"."},
      {"duplicateLen0", "ChkName: Duplicate buffer name \"Main\"."},
      {"len0", "ChkLen: Invalid length 0 for buffer \"Back\"."},
      {"full", "ChkName: Duplicate buffer name \"SixteenCharNames\"."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.table);
    const std::string dir = Dir(c.table);
    auto p = Steps::Run({"tovrel", "chk", c.table}, dir);
    if (c.text.empty()) {
      ASSERT_TRUE(p.Wait());
      EXPECT_EQ(p.Out(), "tovrel\nchk ok\n");
      EXPECT_TRUE(TovrelLines(dir).empty());
    } else {
      ExpectFatal(p, dir, c.text);
      EXPECT_EQ(TovrelLines(dir).size(), 1u);
    }
  }
  EXPECT_TRUE(fs::is_empty(SessionDir()));
}

// ---- Readers and writers ----------------------------------------------------------------------

// Copies start at offset 0 and take the smallest of the length asked for, the array's capacity
// and the buffer's length; what lies beyond is left alone, on both sides.
TEST(Tovrel, ReadAndWriteClampTheirLengths) {
  Tovrel::Start();
  Tovrel::TWrtrDesc* w = Tovrel::NewWrtr(Tovrel::idMain);
  Tovrel::TRdrDesc* r = Tovrel::NewRdr(Tovrel::idMain);
  BYTE x[1000];
  std::memset(x, 0xEE, sizeof x);
  EXPECT_EQ(Tovrel::Read(r, x, 1000), 512u);  // a new buffer is zero
  for (int i = 0; i < 512; ++i) EXPECT_EQ(x[i], 0) << i;
  for (int i = 512; i < 1000; ++i) EXPECT_EQ(x[i], 0xEE) << i;

  BYTE p[1000];
  for (int i = 0; i < 1000; ++i) p[i] = static_cast<BYTE>(i * 7 + 1);
  EXPECT_EQ(Tovrel::Write(w, p, 1000), 512u);
  BYTE q[128];
  std::memset(q, 0x11, sizeof q);
  EXPECT_EQ(Tovrel::Write(w, q, 128), 128u);   // replaces bytes 0 to 127 only
  EXPECT_EQ(Tovrel::Write(w, q, 3, 100), 3u);  // no more than the array holds
  BYTE want[512];
  for (int i = 0; i < 512; ++i) want[i] = i < 128 ? 0x11 : p[i];

  struct Case {
    CARD32 m, l, n;
  } cases[] = {
      {1000, 128, 128}, {1000, 1000, 512}, {128, 1000, 128}, {64, 100, 64},
      {1000, 0, 0},     {0, 10, 0},        {1000, 513, 512},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.m << " " << c.l);
    std::memset(x, 0xEE, sizeof x);
    EXPECT_EQ(Tovrel::Read(r, x, c.m, c.l), c.n);
    EXPECT_EQ(std::memcmp(x, want, c.n), 0);
    for (CARD32 i = c.n; i < 1000; ++i) ASSERT_EQ(x[i], 0xEE) << i;
  }
  // Reading does not consume: the same block again.
  BYTE y[512], z[512];
  EXPECT_EQ(Tovrel::Read(r, y, 512), 512u);
  EXPECT_EQ(Tovrel::Read(r, z, 512), 512u);
  EXPECT_EQ(std::memcmp(y, z, 512), 0);
  EXPECT_EQ(std::memcmp(y, want, 512), 0);
}

// A none reader delivers zeros and a none writer drops the data; both return the length as if
// they had copied, clamped to the array; neither needs the module or any object.
TEST(Tovrel, NoneReadersAndWritersNeedNoBuffer) {
  BYTE x[100];
  std::memset(x, 0xEE, sizeof x);
  EXPECT_EQ(Tovrel::Read(nullptr, x, 60), 60u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(x[i], i < 60 ? 0 : 0xEE) << i;
  std::memset(x, 0xEE, sizeof x);
  EXPECT_EQ(Tovrel::Read(nullptr, x, 10, 20), 10u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(x[i], i < 10 ? 0 : 0xEE) << i;
  EXPECT_EQ(Tovrel::Write(nullptr, x, 700), 100u);
  EXPECT_EQ(Tovrel::Write(nullptr, x, 50), 50u);
  EXPECT_TRUE(fs::is_empty(SessionDir()));
}

// A writer in another process writes uniform blocks as fast as it can while this process reads:
// every block read is uniform, because each copy is whole under the mutex.
TEST(Tovrel, AReaderNeverGetsATornBlock) {
  Tovrel::Start();
  Tovrel::TRdrDesc* r = Tovrel::NewRdr(Tovrel::idMain);
  auto w = Steps::Run({"tovrel", "wrtr", "main", "hold", "w", "writeloop", "stop"}, Dir("w"));
  ASSERT_TRUE(w.WaitForOut("hold w\n"));
  Go("w");
  std::set<BYTE> seen;
  CARD32 reads = 0, torn = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < end) {
    BYTE x[128];
    ASSERT_EQ(Tovrel::Read(r, x, 128), 128u);
    ++reads;
    for (int i = 1; i < 128; ++i) {
      if (x[i] != x[0]) {
        ++torn;
        break;
      }
    }
    seen.insert(x[0]);
  }
  Go("stop");
  ASSERT_TRUE(w.Wait());
  EXPECT_EQ(torn, 0u) << "of " << reads << " reads";
  EXPECT_GT(seen.size(), 2u) << "the writer was writing while this process read";
  EXPECT_EQ(w.Code(), 0) << w.Out();
}

}  // namespace
