// Storage and the re-entrant locks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "FIOStd.h"
#include "Heap.h"
#include "Mtxs.h"

namespace {

using namespace std::chrono_literals;

TEST(Heap, AllocatesAndGivesNullForZeroBytes) {
  Heap::Start();
  void* a = reinterpret_cast<void*>(1);
  Heap::ALLOCATE(a, 0);
  EXPECT_EQ(a, nullptr);
  Heap::ALLOCATE(a, 64);
  ASSERT_NE(a, nullptr);
  void* b = nullptr;
  Heap::ALLOCATE(b, 64);
  EXPECT_NE(a, b);
}

TEST(Mtxs, ALockTakenTwiceMustBeGivenBackTwice) {
  Mtxs::Start();
  Mtxs::TMutex m = Mtxs::New();
  ASSERT_NE(m, nullptr);
  Mtxs::Req(m);
  Mtxs::Req(m);  // re-entrant: no wait
  std::atomic<bool> got{false};
  std::thread other([&] {
    Mtxs::Req(m);
    got = true;
    Mtxs::Rel(m);
  });
  Mtxs::Rel(m);
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(got) << "the lock is still held once";
  Mtxs::Rel(m);
  other.join();
  EXPECT_TRUE(got);
}

TEST(MtxsDeath, NullLockIsARunTimeError) {
  EXPECT_EXIT(Mtxs::Req(nullptr), testing::ExitedWithCode(9), "Run-time error: Mtxs.Req");
}

TEST(FIOStd, HandlesAreSetAndNoneIsInvalid) {
  FIOStd::Start();
  EXPECT_NE(FIOStd::inv, FIOStd::in);
  EXPECT_NE(FIOStd::inv, FIOStd::out);
  EXPECT_NE(FIOStd::inv, FIOStd::err);
  EXPECT_NE(FIOStd::out, FIOStd::err);
}

}  // namespace
