// The executive: its timer, its loop and its period count, its failures, and the end of a
// running program by console signals. Every run that halts is a child role started in the
// test's directory; the test reads its standard output, its log and its exit code.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ConSigs.h"
#include "Lib3.h"
#include "Log.h"
#include "Mot.h"
#include "MotInternal.h"
#include "child.h"
#include "os/os.h"
#include "os_fault.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// The lines of the receiver's log, each from its name column on (position 29) and without its
// line end.
Lines LogTails() {
  const std::string s = Child::ReadFile("TovrelRcv.log");
  Lines v;
  size_t i = 0, j;
  while ((j = s.find("\r\n", i)) != std::string::npos) {
    v.push_back(s.substr(i, j - i).substr(std::min<size_t>(29, j - i)));
    i = j + 2;
  }
  if (i < s.size()) v.push_back(s.substr(i) + "<no line end>");
  return v;
}

bool Has(const Lines& v, const std::string& l) {
  return std::find(v.begin(), v.end(), l) != v.end();
}

// The count of Mot's shutdown line, or -1 when the log has none.
long long DoneCount() {
  for (const std::string& l : LogTails())
    if (l.rfind("Mot      M DoneModule: ", 0) == 0) return std::stoll(l.substr(23));
  return -1;
}

Lines OutLines(const Child::Proc& p) {
  Lines v;
  const std::string s = p.Out();
  size_t i = 0, j;
  while ((j = s.find("\r\n", i)) != std::string::npos) {
    v.push_back(s.substr(i, j - i));
    i = j + 2;
  }
  if (i < s.size()) v.push_back(s.substr(i) + "<no line end>");
  return v;
}

void Say(const std::string& s) {
  const std::string l = s + "\r\n";
  Os::WriteFile(Os::StdOut(), l.data(), static_cast<CARD32>(l.size()));
}

// ---- The timer and the wait, in the test's own process -------------------------------------

TEST(Mot, StartsWithACountOfZero) {
  Mot::Start();
  EXPECT_TRUE(Has(LogTails(), "Mot      M InitModule: 0"));
  EXPECT_TRUE(Has(LogTails(), "Log      M Register:  3 \"Mot\""));
}

TEST(Mot, TheLongestPeriodIsAccepted) {
  Mot::Start();
  const Os::Handle h = Mot::NewWinTimer();
  Mot::StartWinTimer(h, 429496, true);
  EXPECT_EQ(Os::WaitForSingleObject(h, 50), Os::waitTimeout) << "its first expiry is 429 s away";
}

TEST(Mot, ASingleExpiryTimerExpiresOnce) {
  Mot::Start();
  const Os::Handle h = Mot::NewWinTimer();
  Mot::StartWinTimer(h, 1, false);
  Mot::WaitWinEvent(h);
  EXPECT_EQ(Os::WaitForSingleObject(h, 100), Os::waitTimeout);
  Mot::StartWinTimer(h, 1, true);
  Mot::WaitWinEvent(h);
  Mot::WaitWinEvent(h);  // a periodic one goes on
}

TEST(Mot, EachWaitCountsOnePeriod) {
  Mot::Start();
  const CARD32 c0 = Mot::cnt.load();
  std::this_thread::sleep_for(20ms);  // many expiries, one period
  Mot::Wait();
  Mot::Wait();
  EXPECT_EQ(Mot::cnt.load(), c0 + 2);
}

// ---- Runs of the loop, in a child ------------------------------------------------------------

CARD32 calls = 0;  // main thread only

void Running() {
  if (calls++ == 0) Say("running");
}

// Says "running", then halts the program itself.
void Halts() {
  Say("running");
  Lib3::Halt();
}

// Takes 5 ms: five expiries of the timer pass during each call.
void Busy() {
  std::this_thread::sleep_for(5ms);
  if (++calls == 20) {
    Say("calls " + std::to_string(calls) + " cnt " + std::to_string(Mot::cnt.load()));
    Lib3::Halt();
  }
}

void Wrap() {
  Say(std::to_string(Mot::cnt.load()));
  if (++calls == 3) Lib3::Halt();
}

Lib3::TProc oldSlow;
void Slow() {
  Say("slow");
  std::this_thread::sleep_for(30s);
  oldSlow();
}

int FailCreate(int, int) {
  errno = EMFILE;
  return -1;
}
int FailSet(int, int, const itimerspec*, itimerspec*) {
  errno = EINVAL;
  return -1;
}
ssize_t FailRead(int, void*, size_t) {
  errno = EIO;
  return -1;
}

// Starts the log, the console signal handler and the executive, and runs the loop. The
// argument picks the periodic procedure and what goes wrong:
//   run      says "running" in its first period, then runs until a signal ends it
//   slow     as run, and a link of the chain behind Mot's says "slow" and sleeps 30 s
//   halt     as slow, but the procedure halts the program in its first period
//   busy     each period takes 5 ms; halts after 20 periods with the count it saw
//   wrap     the count starts at 4294967294; halts after 3 periods
//   null     no procedure
//   period   a new timer with a period of 429497 ms after start-up
//   fail-create, fail-set, fail-wait: the timer cannot be created, armed, or waited for
CHILD_ROLE(Exec) {
  const std::string v = args.at(0);
  if (v == "fail-create") OsFault::Sys().timerfd_create = FailCreate;
  if (v == "fail-set") OsFault::Sys().timerfd_settime = FailSet;
  if (v == "fail-wait") OsFault::Sys().read = FailRead;
  Log::Start();
  if (v == "slow" || v == "halt") Lib3::Terminate(Slow, oldSlow);  // runs after Mot's shutdown
  ConSigs::Start();
  Mot::Start();
  Runtime::TProc p = Running;
  if (v == "busy") p = Busy;
  if (v == "halt") p = Halts;
  if (v == "wrap") {
    Mot::periods.store(4294967294u);
    p = Wrap;
  }
  if (v == "null") p = nullptr;
  if (v == "period") Mot::StartWinTimer(Mot::NewWinTimer(), 429497, true);
  Mot::Exec(p);
}

// The procedure takes five periods of the timer: the executive calls it back to back and
// counts the calls, not the expiries, and the shutdown line reports the same count.
TEST(MotRun, ASlowProcedureIsCalledBackToBackAndCountedOncePerCall) {
  Child::Proc p = Child::Start("Exec", {"busy"});
  ASSERT_TRUE(p.Wait());
  EXPECT_EQ(p.Code(), 255) << p.Err();
  EXPECT_EQ(OutLines(p), Lines{"calls 20 cnt 20"});
  const Lines l = LogTails();
  ASSERT_GE(l.size(), 2u);
  EXPECT_EQ(Lines(l.end() - 2, l.end()),
            (Lines{"Mot      M DoneModule: 20", "Log      M DoneModule"}));
}

TEST(MotRun, TheCountWrapsAroundAndTheLoopGoesOn) {
  Child::Proc p = Child::Start("Exec", {"wrap"});
  ASSERT_TRUE(p.Wait());
  EXPECT_EQ(p.Code(), 255) << p.Err();
  EXPECT_EQ(OutLines(p), (Lines{"4294967295", "0", "1"}));
  EXPECT_EQ(DoneCount(), 1);
}

// Every failure: the text on the log at level F under "Mot" and echoed on the console, the
// log's last line, and the exit code 255. The failures of start-up come before Mot hooked its
// shutdown, so they leave no "DoneModule: " line of Mot.
TEST(MotRun, FailuresAreFatal) {
  const struct {
    const char* variant;
    const char* text;
    long long done;  // the count of Mot's shutdown line; -1: none
  } cases[] = {
      {"null", "Exec: Invalid procedure", 0},
      {"period", "StartWinTimer: Invalid period", 0},
      {"fail-create", "NewWinTimer: CreateWaitableTimer failed, err 24", -1},
      {"fail-set", "StartWinTimer: SetWaitableTimer failed, err 22", -1},
      {"fail-wait", "WaitWinEvent: WaitForSingleObject failed, err 5", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variant);
    std::remove("TovrelRcv.log");
    Child::Proc p = Child::Start("Exec", {c.variant});
    ASSERT_TRUE(p.Wait());
    EXPECT_EQ(p.Code(), 255) << p.Err();
    const std::string fatal = std::string("Mot      F ") + c.text;
    const Lines out = OutLines(p);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].substr(29), fatal) << "the console echo";
    const Lines l = LogTails();
    EXPECT_TRUE(Has(l, fatal));
    ASSERT_FALSE(l.empty());
    EXPECT_EQ(l.back(), "Log      M DoneModule");
    EXPECT_EQ(DoneCount(), c.done);
  }
}

// ---- Console signals ---------------------------------------------------------------------

constexpr char sigMsg[] = "ConSigs: Signal received, terminating.";

// A signal ends a running program: the termination chain runs on the signal's thread while
// the main thread goes on with the loop.
TEST(MotSignals, ASignalEndsTheProgramWithAFullShutdown) {
  for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
    SCOPED_TRACE(sig);
    std::remove("TovrelRcv.log");
    Child::Proc p = Child::Start("Exec", {"run"});
    ASSERT_TRUE(p.WaitForOut("running\r\n"));
    p.Signal(sig);
    ASSERT_TRUE(p.Wait());
    EXPECT_EQ(p.Code(), 255) << p.Err();
    EXPECT_EQ(OutLines(p), (Lines{"running", sigMsg}));
    const Lines l = LogTails();
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(l.back(), "Log      M DoneModule");
    EXPECT_EQ(l[l.size() - 2].rfind("Mot      M DoneModule: ", 0), 0u) << l[l.size() - 2];
    EXPECT_GE(DoneCount(), 1);
  }
}

// The second signal arrives while the first one's shutdown still runs (a link of the chain
// behind Mot's sleeps): the process ends at once with 9, and the log lacks its last line.
TEST(MotSignals, ASecondSignalDuringTheShutdownEndsAtOnceWith9) {
  Child::Proc p = Child::Start("Exec", {"slow"});
  ASSERT_TRUE(p.WaitForOut("running\r\n"));
  p.Signal(SIGINT);
  ASSERT_TRUE(p.WaitForOut("slow\r\n"));
  p.Signal(SIGINT);
  ASSERT_TRUE(p.Wait(10s)) << "the sleeping link was not cut short";
  EXPECT_EQ(p.Code(), 9) << p.Err();
  EXPECT_EQ(OutLines(p), (Lines{"running", sigMsg, "slow", sigMsg}));
  const Lines l = LogTails();
  ASSERT_FALSE(l.empty());
  EXPECT_EQ(l.back().rfind("Mot      M DoneModule: ", 0), 0u) << l.back();
  EXPECT_GE(DoneCount(), 1);
}

// A signal while the program's own shutdown runs ends the process at once with 9.
TEST(MotSignals, ASignalDuringTheProgramsOwnShutdownEndsAtOnceWith9) {
  Child::Proc p = Child::Start("Exec", {"halt"});
  ASSERT_TRUE(p.WaitForOut("slow\r\n"));
  p.Signal(SIGTERM);
  ASSERT_TRUE(p.Wait(10s)) << "the sleeping link was not cut short";
  EXPECT_EQ(p.Code(), 9) << p.Err();
  EXPECT_EQ(OutLines(p), (Lines{"running", "slow", sigMsg}));
  EXPECT_EQ(DoneCount(), 1);
}

}  // namespace
