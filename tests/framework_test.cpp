// The module lifecycle: start order, the termination chain, halts and exit codes. Every halt is
// observed on a child process (a death test starts the test binary afresh).
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Lib3.h"
#include "MMSys.h"
#include "Runtime.h"
#include "os/os.h"
#include "os_fault.h"

namespace {

using testing::ExitedWithCode;

void Say(const char* s) {
  Os::WriteFile(Os::StdErr(), s, static_cast<CARD32>(strlen(s)));
}

// Three links of a chain, each writes its letter and calls the next older link.
Lib3::TProc oldA, oldB, oldC;
void DoneA() {
  Say("A");
  oldA();
}
void DoneB() {
  Say("B");
  oldB();
}
void DoneC() {
  Say("C");
  oldC();
}
void HookABC() {
  Lib3::Start();
  Lib3::Terminate(DoneA, oldA);
  Lib3::Terminate(DoneB, oldB);
  Lib3::Terminate(DoneC, oldC);
}

TEST(Chain, RunsNewestLinkFirstAndEndsWithTheReturnCode) {
  EXPECT_EXIT(
      {
        HookABC();
        Lib3::Halt();
      },
      ExitedWithCode(255), "^CBA$");
  EXPECT_EXIT(
      {
        HookABC();
        Lib3::SetReturnCode(0);
        Lib3::Halt();
      },
      ExitedWithCode(0), "^CBA$");
  // A halt with its own code, when no halt is in progress, still ends with the return code.
  EXPECT_EXIT(
      {
        HookABC();
        Runtime::HaltProgram(9);
      },
      ExitedWithCode(255), "^CBA$");
  EXPECT_EXIT(
      {
        HookABC();
        Lib3::FatalError("fatal");
      },
      ExitedWithCode(255), "^fatal\r\nCBA$");
  EXPECT_EXIT(
      {
        HookABC();
        Runtime::RunTimeError("index");
      },
      ExitedWithCode(255), "^Run-time error: index\r\nCBA$");
}

// A link that halts again: the process ends at once with that halt's code and the older links
// never run.
void DoneHaltsAgain() {
  Say("H");
  Runtime::HaltProgram(9);
}
Lib3::TProc oldH;
TEST(Chain, AHaltDuringAHaltEndsAtOnceWithItsOwnCode) {
  EXPECT_EXIT(
      {
        HookABC();
        Lib3::Terminate(DoneHaltsAgain, oldH);
        Lib3::Halt();
      },
      ExitedWithCode(9), "^H$");
  EXPECT_EXIT(
      {
        Lib3::Start();
        Lib3::Terminate(DoneA, oldA);
        Lib3::Terminate(DoneHaltsAgain, oldH);
        Lib3::Terminate(DoneC, oldC);
        Lib3::SetReturnCode(0);
        Lib3::Halt();
      },
      ExitedWithCode(9), "^CH$");
}

// The shutdown of a second thread's halt is still running when the main thread halts: the main
// thread's halt ends the process at once with its own code, and the chain ran only once.
void DoneSlow() {
  Say("S");
  std::this_thread::sleep_for(std::chrono::seconds(5));
  Say("late");
  oldA();
}
TEST(Chain, TwoThreadsHaltingRunTheChainOnce) {
  EXPECT_EXIT(
      {
        Lib3::Start();
        Lib3::Terminate(DoneSlow, oldA);
        std::thread t([] { Lib3::Halt(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Runtime::HaltProgram(9);
      },
      ExitedWithCode(9), "^S$");
}

TEST(Chain, AHaltBeforeLib3StartedEndsWithItsOwnCode) {
  EXPECT_EXIT(Runtime::HaltProgram(9), ExitedWithCode(9), "^$");
  EXPECT_EXIT(Runtime::HaltProgram(3), ExitedWithCode(3), "^$");
}

// The timer resolution: a failure at start-up halts before MMSys hooked its shutdown; a failure
// of its shutdown is a halt during the halt.
int FailSetSlack(int option, unsigned long arg) {
  if (option == PR_SET_TIMERSLACK) return -1;
  return Os::Posix::sysDefault.prctl(option, arg);
}
TEST(Chain, TimerResolutionFailures) {
  EXPECT_EXIT(
      {
        OsFault::Guard g;
        OsFault::Sys().prctl = FailSetSlack;
        HookABC();
        MMSys::Start();
      },
      ExitedWithCode(255), "^MMSys: timeBeginPeriod failed\r\nCBA$");
  EXPECT_EXIT(
      {
        HookABC();
        MMSys::Start();
        OsFault::Sys().prctl = FailSetSlack;
        Lib3::Halt();
      },
      ExitedWithCode(9), "^MMSys: timeEndPeriod failed\r\n$");
}

// The timer slack stands for the timer resolution: low while MMSys runs, the old value after.
unsigned long slackAtEnd = 0;
Lib3::TProc oldProbe;
void ProbeSlack() {
  slackAtEnd = static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
  std::string s = std::to_string(slackAtEnd);
  Say(s.c_str());
  oldProbe();
}
TEST(Chain, TimerSlackIsLowWhileRunningAndGivenBackAtShutdown) {
  const int before = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  ASSERT_GT(before, 1);
  EXPECT_EXIT(
      {
        Lib3::Start();
        Lib3::Terminate(ProbeSlack, oldProbe);  // runs after MMSys's shutdown
        MMSys::Start();
        if (prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0) != 1) Say("not low ");
        Lib3::Halt();
      },
      ExitedWithCode(255), "^" + std::to_string(before) + "$");
}

}  // namespace
