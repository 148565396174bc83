// The waitable timer of the platform layer: an auto-reset timer whose expiries, however many
// have passed, are taken by one wait.
#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "os/os.h"
#include "os_fault.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t ms100ns = 10000;  // one millisecond in the timer's 100 ns units

Os::Handle NewTimer() {
  Os::Handle h = Os::CreateWaitableTimerA();
  EXPECT_NE(h, nullptr) << Os::GetLastError();
  return h;
}

TEST(WaitableTimer, ASingleExpirySignalsOnce) {
  Os::Handle h = NewTimer();
  ASSERT_TRUE(Os::SetWaitableTimer(h, -1 * ms100ns, 0));
  EXPECT_EQ(Os::WaitForSingleObject(h, Os::infinite), Os::waitObject0);
  EXPECT_EQ(Os::WaitForSingleObject(h, 100), Os::waitTimeout) << "the wait reset it for good";
}

TEST(WaitableTimer, AnUnarmedTimerIsNotSignalled) {
  Os::Handle h = NewTimer();
  EXPECT_EQ(Os::WaitForSingleObject(h, 0), Os::waitTimeout);
  EXPECT_EQ(Os::WaitForSingleObject(h, 20), Os::waitTimeout);
}

// Expiries that pass while nobody waits do not queue up: after a long pause one wait returns at
// once, and every further wait needs an expiry of its own.
TEST(WaitableTimer, MissedExpiriesCountAsOne) {
  Os::Handle h = NewTimer();
  ASSERT_TRUE(Os::SetWaitableTimer(h, -1 * ms100ns, 1));
  std::this_thread::sleep_for(60ms);  // some 60 expiries
  const auto t0 = Clock::now();
  for (int i = 0; i < 21; ++i) ASSERT_EQ(Os::WaitForSingleObject(h, Os::infinite), Os::waitObject0);
  // 20 waits after the first need 20 further periods; queued expiries would take no time.
  EXPECT_GE(Clock::now() - t0, 15ms);
}

TEST(WaitableTimer, ArmingAgainResetsTheSignalledState) {
  Os::Handle h = NewTimer();
  ASSERT_TRUE(Os::SetWaitableTimer(h, -1 * ms100ns, 0));
  std::this_thread::sleep_for(20ms);                          // expired and signalled
  ASSERT_TRUE(Os::SetWaitableTimer(h, -10000 * ms100ns, 0));  // 10 s from now
  EXPECT_EQ(Os::WaitForSingleObject(h, 0), Os::waitTimeout);
}

// 0 and above is an absolute time; 0 (the start of 1601) is long past and expires at once.
TEST(WaitableTimer, AnAbsoluteDueTimeInThePastExpiresAtOnce) {
  Os::Handle h = NewTimer();
  ASSERT_TRUE(Os::SetWaitableTimer(h, 0, 0));
  EXPECT_EQ(Os::WaitForSingleObject(h, 5000), Os::waitObject0);
}

TEST(WaitableTimer, RefusesWhatIsNoTimer) {
  EXPECT_FALSE(Os::SetWaitableTimer(nullptr, -ms100ns, 0));
  EXPECT_EQ(Os::WaitForSingleObject(nullptr, 0), Os::waitFailed);
  Os::Handle h = NewTimer();
  EXPECT_FALSE(Os::SetWaitableTimer(h, -ms100ns, -1)) << "a negative period";
}

// Failures of the system calls come back as the layer's failure results with their errno.
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
TEST(WaitableTimer, SystemCallFailuresAreReported) {
  OsFault::Guard g;
  OsFault::Sys().timerfd_create = FailCreate;
  EXPECT_EQ(Os::CreateWaitableTimerA(), nullptr);
  EXPECT_EQ(Os::GetLastError(), static_cast<CARD32>(EMFILE));
  OsFault::Sys().timerfd_create = Os::Posix::sysDefault.timerfd_create;

  Os::Handle h = NewTimer();
  OsFault::Sys().timerfd_settime = FailSet;
  EXPECT_FALSE(Os::SetWaitableTimer(h, -ms100ns, 1));
  EXPECT_EQ(Os::GetLastError(), static_cast<CARD32>(EINVAL));
  OsFault::Sys().timerfd_settime = Os::Posix::sysDefault.timerfd_settime;

  ASSERT_TRUE(Os::SetWaitableTimer(h, -ms100ns, 1));
  OsFault::Sys().read = FailRead;
  EXPECT_EQ(Os::WaitForSingleObject(h, Os::infinite), Os::waitFailed);
  EXPECT_EQ(Os::GetLastError(), static_cast<CARD32>(EIO));
}

// A read cut short by a signal is made again; the caller sees one successful wait.
std::atomic<int> interrupted{0};
ssize_t InterruptOnce(int fd, void* p, size_t n) {
  if (interrupted.fetch_add(1) == 0) {
    errno = EINTR;
    return -1;
  }
  return Os::Posix::sysDefault.read(fd, p, n);
}
int InterruptPollOnce(pollfd* fds, nfds_t n, int ms) {
  if (interrupted.fetch_add(1) == 0) {
    errno = EINTR;
    return -1;
  }
  return Os::Posix::sysDefault.poll(fds, n, ms);
}
TEST(WaitableTimer, InterruptedWaitsGoOn) {
  OsFault::Guard g;
  Os::Handle h = NewTimer();
  ASSERT_TRUE(Os::SetWaitableTimer(h, -ms100ns, 0));
  OsFault::Sys().read = InterruptOnce;
  EXPECT_EQ(Os::WaitForSingleObject(h, Os::infinite), Os::waitObject0);
  EXPECT_EQ(interrupted.load(), 2);

  interrupted = 0;
  OsFault::Sys().read = Os::Posix::sysDefault.read;
  OsFault::Sys().poll = InterruptPollOnce;
  ASSERT_TRUE(Os::SetWaitableTimer(h, -5 * ms100ns, 0));
  EXPECT_EQ(Os::WaitForSingleObject(h, 5000), Os::waitObject0);
  EXPECT_EQ(interrupted.load(), 2);
}

}  // namespace
