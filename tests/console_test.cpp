// Console signals: the control handlers of the platform layer, and ConSigs, which turns a
// signal into a halt. Every case runs in a child process (a death test starts the test binary
// afresh), which signals itself with kill: a signal for the process, as a terminal sends it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "ConSigs.h"
#include "ConSigsInternal.h"
#include "Lib3.h"
#include "os/os.h"
#include "os_fault.h"

namespace {

using namespace std::chrono_literals;
using testing::ExitedWithCode;
using testing::KilledBySignal;

void Say(const std::string& s) {
  Os::WriteFile(Os::StdErr(), s.data(), static_cast<CARD32>(s.size()));
}

// The child's standard output joins its standard error, which the death test reads.
void StdoutToStderr() {
  dup2(STDERR_FILENO, STDOUT_FILENO);
}

// Signals the process, then gives the handlers time to end it; 99 if none did.
[[noreturn]] void SignalAndWait(int sig) {
  kill(getpid(), sig);
  std::this_thread::sleep_for(20s);
  _exit(99);
}

// Handlers that write their letter and the signal type, and then take the signal or pass it on.
std::thread::id mainThread;
INT32 Take(CARD32 ct) {
  Say("T" + std::to_string(ct) + (std::this_thread::get_id() == mainThread ? "main" : ""));
  _exit(0);
}
INT32 Pass(CARD32 ct) {
  Say("P" + std::to_string(ct));
  return 0;
}

TEST(ConsoleHandler, SignalsArriveAsTheirConsoleTypesOnAThreadOfTheirOwn) {
  const struct {
    int sig;
    const char* out;
  } cases[] = {{SIGINT, "^P0T0$"}, {SIGQUIT, "^P1T1$"}, {SIGHUP, "^P2T2$"}, {SIGTERM, "^P6T6$"}};
  for (const auto& c : cases) {
    EXPECT_EXIT(
        {
          mainThread = std::this_thread::get_id();
          Os::SetConsoleCtrlHandler(Take, true);
          Os::SetConsoleCtrlHandler(Pass, true);  // newer: asked first
          SignalAndWait(c.sig);
        },
        ExitedWithCode(0), c.out)
        << c.sig;
  }
}

TEST(ConsoleHandler, ARemovedHandlerIsNotCalled) {
  EXPECT_EXIT(
      {
        Os::SetConsoleCtrlHandler(Take, true);
        Os::SetConsoleCtrlHandler(Pass, true);
        if (!Os::SetConsoleCtrlHandler(Pass, false)) Say("not removed");
        if (Os::SetConsoleCtrlHandler(Pass, false)) Say("removed twice");
        SignalAndWait(SIGINT);
      },
      ExitedWithCode(0), "^T0$");
}

// When every handler passes, the signal has its default effect.
TEST(ConsoleHandler, ASignalThatNoHandlerTakesEndsTheProcess) {
  for (int sig : {SIGINT, SIGHUP, SIGTERM}) {
    EXPECT_EXIT(
        {
          Os::SetConsoleCtrlHandler(Pass, true);
          SignalAndWait(sig);
        },
        KilledBySignal(sig), "^P")
        << sig;
  }
}

// The first signal's handler is still running when the second arrives; the second is handled
// all the same, on a thread of its own.
std::atomic<int> calls{0};
INT32 Slow(CARD32) {
  if (calls.fetch_add(1) == 0) {
    kill(getpid(), SIGINT);
    for (int i = 0; i < 2000 && calls.load() < 2; ++i) std::this_thread::sleep_for(10ms);
    Say(calls.load() == 2 ? "both" : "one at a time");
    _exit(0);
  }
  return 1;
}
TEST(ConsoleHandler, ASecondSignalIsHandledWhileTheFirstStillRuns) {
  EXPECT_EXIT(
      {
        Os::SetConsoleCtrlHandler(Slow, true);
        SignalAndWait(SIGINT);
      },
      ExitedWithCode(0), "^both$");
}

// A failed installation leaves the signals as they were: not blocked, so they keep their
// default effect.
int FailThread(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
  return EAGAIN;
}
TEST(ConsoleHandler, AFailedInstallationChangesNothing) {
  EXPECT_EXIT(
      {
        OsFault::Guard g;
        OsFault::Sys().pthread_create = FailThread;
        if (Os::SetConsoleCtrlHandler(Take, true)) Say("installed");
        if (Os::GetLastError() != EAGAIN) Say("error " + std::to_string(Os::GetLastError()));
        sigset_t now;
        pthread_sigmask(SIG_BLOCK, nullptr, &now);
        if (sigismember(&now, SIGINT)) Say("blocked");
        SignalAndWait(SIGINT);
      },
      KilledBySignal(SIGINT), "^$");
  EXPECT_FALSE(Os::SetConsoleCtrlHandler(nullptr, true));
}

TEST(ConSigs, HandledTypesHalt) {
  for (CARD32 ct : {0u, 1u, 2u, 3u, 4u, 6u}) {
    EXPECT_EXIT(
        {
          StdoutToStderr();
          ConSigs::Handler(ct);
          Say("returned");
        },
        ExitedWithCode(9), "^ConSigs: Signal received, terminating.\r\n$")
        << ct;
  }
}

TEST(ConSigs, OtherTypesArePassedOnSilently) {
  EXPECT_EXIT(
      {
        StdoutToStderr();
        for (CARD32 ct : {5u, 7u, 100u, 0xFFFFFFFFu})
          if (ConSigs::Handler(ct) != 0) Say("taken " + std::to_string(ct));
        _exit(0);
      },
      ExitedWithCode(0), "^$");
}

// A signal halts the program on the handler's thread: the termination chain runs there and the
// process ends with the return code.
Lib3::TProc oldLink;
void Link() {
  Say(std::this_thread::get_id() == mainThread ? "chain on main" : "chain");
  oldLink();
}
TEST(ConSigs, ASignalRunsTheChainAndEndsWithTheReturnCode) {
  EXPECT_EXIT(
      {
        StdoutToStderr();
        mainThread = std::this_thread::get_id();
        Lib3::Start();
        Lib3::Terminate(Link, oldLink);
        ConSigs::Start();
        SignalAndWait(SIGTERM);
      },
      ExitedWithCode(255), "^ConSigs: Signal received, terminating.\r\nchain$");
}

TEST(ConSigs, AFailedInstallationHalts) {
  EXPECT_EXIT(
      {
        StdoutToStderr();
        OsFault::Guard g;
        OsFault::Sys().pthread_create = FailThread;
        Lib3::Start();
        Lib3::Terminate(Link, oldLink);
        ConSigs::Start();
        Say("returned");
      },
      ExitedWithCode(255), "^ConSigs: Installation failed.\r\nchain");
}

}  // namespace
