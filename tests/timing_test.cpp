// Tick arithmetic, the wrapping increments, and the tick count over a clock that the test
// drives through the system-call table.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <thread>

#include "Lib2.h"
#include "Tmr.h"
#include "Tmr0.h"
#include "os_fault.h"

namespace {

TEST(Tmr0, WrapAroundArithmetic) {
  struct {
    CARD32 t0, t1, diff;
  } diffs[] = {
      {0xFFFFFFF0u, 0x10u, 0x20u},
      {0x1234u, 0x1234u, 0u},
      {0x10u, 0xFFFFFFF0u, 0xFFFFFFE0u},
      {0u, 3600000u, 3600000u},
  };
  for (const auto& d : diffs) EXPECT_EQ(Tmr0::Diff(d.t0, d.t1), d.diff) << d.t0 << " " << d.t1;
  EXPECT_EQ(Tmr0::Add(0xFFFFFFFFu, 2), 1u);
  EXPECT_EQ(Tmr0::Add(5, 7), 12u);
}

TEST(Lib2, IncrementsWrap) {
  CARD32 l = 0xFFFFFFFFu;
  Lib2::IncL(l, 1);
  EXPECT_EQ(l, 0u);
  BYTE s = 255;
  Lib2::IncS(s, 1);
  EXPECT_EQ(s, 0);
  s = 200;
  Lib2::IncS(s, 100);
  EXPECT_EQ(s, 44);
}

TEST(Lib2, FillCoversTheArrayOnly) {
  BYTE a[130];
  Lib2::Fill(a, 0x11);
  Lib2::Fill(&a[1], 128, 0xAA);
  EXPECT_EQ(a[0], 0x11);
  for (int i = 1; i <= 128; ++i) ASSERT_EQ(a[i], 0xAA) << i;
  EXPECT_EQ(a[129], 0x11);
}

// The system clock as the test sets it, in milliseconds.
std::atomic<CARD32> clockMs{0};
// With step set, every reading moves the clock on by one millisecond.
std::atomic<bool> step{false};
int FakeClock(clockid_t clk, timespec* ts) {
  if (clk != CLOCK_MONOTONIC) return Os::Posix::sysDefault.clock_gettime(clk, ts);
  const CARD32 ms = step ? clockMs.fetch_add(1) + 1 : clockMs.load();
  ts->tv_sec = ms / 1000;
  ts->tv_nsec = static_cast<long>(ms % 1000) * 1000000;
  return 0;
}

TEST(Tmr, CountsFromStartUpAcrossTheClockWrap) {
  OsFault::Guard g;
  OsFault::Sys().clock_gettime = FakeClock;
  clockMs = 0xFFFFFFF0u;  // the system clock is about to wrap
  Tmr::Start();
  EXPECT_EQ(Tmr::Ticks(), 0u);
  EXPECT_EQ(Tmr::Ticks(), 0u) << "no movement of the clock, no tick";
  clockMs = 0x10u;
  EXPECT_EQ(Tmr::Ticks(), 0x20u);
  clockMs = 0x10u + 1000u;
  EXPECT_EQ(Tmr::Ticks(), 0x20u + 1000u);
}

TEST(Tmr, TwoThreadsNeverCountTheSameTimeTwice) {
  OsFault::Guard g;
  OsFault::Sys().clock_gettime = FakeClock;
  clockMs = 1000;
  Tmr::Start();
  step = true;  // from here each reading of the clock adds one millisecond
  constexpr int n = 20000;
  auto reader = [] {
    CARD32 last = 0;
    for (int i = 0; i < n; ++i) {
      const CARD32 t = Tmr::Ticks();
      ASSERT_GT(t, last) << "the count went backwards or stood still";
      last = t;
    }
  };
  std::thread a(reader), b(reader);
  a.join();
  b.join();
  step = false;
  // Every millisecond the clock moved is counted exactly once.
  EXPECT_EQ(Tmr::Ticks(), clockMs.load() - 1000u);
  EXPECT_EQ(clockMs.load() - 1000u, 2u * n) << "two readers, one reading each per call";
}

TEST(Tmr, RealClockStartsNearZero) {
  Tmr::Start();
  EXPECT_LT(Tmr::Ticks(), 1000u);
}

}  // namespace
