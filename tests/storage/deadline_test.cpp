#include "storage/deadline.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <thread>

#include "engine/deadline_hooks.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/sync/events.h"
#include "platform/thread_clock.h"
#include "storage/server_exceptions.h"
#include "storage/startup.h"
#include "support/exception_message.h"
#include "support/fake_deadline_clock.h"

namespace revurov {
namespace {

using testing::MessageOf;
using testing::TFakeDeadlineClock;

// Each test starts on a thread state of its own making: no deadline, no
// nesting, not cancelled.
class DeadlineTest : public ::testing::Test {
protected:
  void SetUp() override {
    nxThreadCancelFlag()->store(false);
    nxSetTimeout(0, true);
  }
  void TearDown() override {
    nxThreadCancelFlag()->store(false);
    nxSetTimeout(0, true);
  }

  // 0 when the check passes, else the code it raised.
  static uint32_t CheckCode() {
    try {
      nxCheckTimeout();
    } catch (const EnxServerException& e) {
      return e.ErrorCode();
    }
    return 0;
  }

  TFakeDeadlineClock clock_;
};

TEST_F(DeadlineTest, ZeroAndAllOnesMeanNoDeadline) {
  for (uint32_t timeout : {0u, 4294967295u}) {
    nxSetTimeout(1000, true);
    nxSetTimeout(timeout, false);
    EXPECT_EQ(nxGetDeadline(), nxNoDeadline) << timeout;
    TFakeDeadlineClock::Advance(3'000'000'000);
    EXPECT_EQ(CheckCode(), 0u) << timeout;
    EXPECT_EQ(nxRemainingTimeout(), 0) << timeout;
  }
}

TEST_F(DeadlineTest, ExpiresWhenLessThanTenMillisecondsAreLeft) {
  nxSetTimeout(100, false);
  EXPECT_EQ(nxGetDeadline(), static_cast<int64_t>(TFakeDeadlineClock::Now()) + 100);
  EXPECT_EQ(nxRemainingTimeout(), 100);
  const struct {
    uint64_t at;
    uint32_t code;
    int32_t remaining;
  } cases[] = {
      {89, 0, 11}, {90, 0, 10}, {91, nxeTimeout, 9}, {98, nxeTimeout, 2}, {99, nxeTimeout, 0},
      {100, nxeTimeout, 0}, {5000, nxeTimeout, 0},
  };
  const uint64_t start = TFakeDeadlineClock::Now();
  for (const auto& c : cases) {
    TFakeDeadlineClock::Set(start + c.at);
    EXPECT_EQ(CheckCode(), c.code) << c.at;
    EXPECT_EQ(nxRemainingTimeout(), c.remaining) << c.at;
  }
  EXPECT_TRUE(testing::Contains(MessageOf<EnxServerException>([] { nxCheckTimeout(); }),
                                u"The operation could not be completed in the allotted time."));
}

TEST_F(DeadlineTest, RemainingIsCappedAtTheLargestInteger) {
  nxSetTimeout(4294967294u, false);
  EXPECT_EQ(nxRemainingTimeout(), 2147483647);
}

// Task and start-up threads never set a deadline: they must run, not fail
// their first check.
TEST_F(DeadlineTest, AThreadThatNeverSetADeadlineHasNone) {
  int64_t deadline = -1;
  uint32_t code = 1;
  int32_t remaining = -1;
  std::thread([&] {
    deadline = nxGetDeadline();
    code = CheckCode();
    remaining = nxRemainingTimeout();
  }).join();
  EXPECT_EQ(deadline, 0);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(remaining, 0);
}

TEST_F(DeadlineTest, NestedOperationsKeepTheOutermostDeadlineUnlessForced) {
  nxSetTimeout(100, false);
  const int64_t outer = nxGetDeadline();
  nxEnterTimeoutNesting();
  nxEnterTimeoutNesting();
  nxSetTimeout(5000, false);
  EXPECT_EQ(nxGetDeadline(), outer);
  nxLeaveTimeoutNesting();
  nxSetTimeout(5000, false);
  EXPECT_EQ(nxGetDeadline(), outer);
  nxSetTimeout(5000, true);
  EXPECT_EQ(nxGetDeadline(), outer + 4900);
  nxLeaveTimeoutNesting();
  nxSetTimeout(200, false);
  EXPECT_EQ(nxGetDeadline(), outer + 100);
}

TEST_F(DeadlineTest, ACancelFromAnotherThreadEndsTheNextCheck) {
  std::atomic<std::atomic<bool>*> flag{nullptr};
  std::atomic<bool> cancelled{false};
  uint32_t code = 0;
  std::u16string message;
  int32_t remaining = -1;
  std::thread worker([&] {
    nxSetTimeout(0, false);  // no deadline: only the cancel can end it
    flag.store(nxThreadCancelFlag());
    while (!cancelled.load()) std::this_thread::yield();
    code = CheckCode();
    try {
      nxCheckTimeout();
    } catch (const EnxServerException& e) {
      message = e.ErrorString();
    }
    remaining = nxRemainingTimeout();
  });
  while (flag.load() == nullptr) std::this_thread::yield();
  flag.load()->store(true);
  cancelled.store(true);
  worker.join();
  EXPECT_EQ(code, nxeTimeout);
  EXPECT_EQ(message, u"Processing cancelled");
  EXPECT_EQ(remaining, 1);
  EXPECT_EQ(CheckCode(), 0u);  // the flag was the other thread's
}

uint32_t CountBreath(void* aCount) {
  ++*static_cast<int*>(aCount);
  return 0;
}

TEST_F(DeadlineTest, CallsTheBreathRoutineAtMostOncePerSecond) {
  int breaths = 0;
  nxSetThreadBreath(&CountBreath, &breaths);
  TFakeDeadlineClock::Advance(1'000'000'000);
  nxCheckTimeout();  // the first check after a long time breathes
  EXPECT_EQ(breaths, 1);
  const struct {
    uint64_t advance;
    int breaths;
  } steps[] = {{500, 1}, {500, 1}, {1, 2}, {1000, 2}, {1, 3}};
  for (const auto& s : steps) {
    TFakeDeadlineClock::Advance(s.advance);
    nxCheckTimeout();
    EXPECT_EQ(breaths, s.breaths) << s.advance;
  }
  // A clock that went back takes the last call to now rather than waiting
  // until it catches up.
  TFakeDeadlineClock::Set(TFakeDeadlineClock::Now() - 100'000);
  nxCheckTimeout();
  TFakeDeadlineClock::Advance(1001);
  nxCheckTimeout();
  EXPECT_EQ(breaths, 4);
  nxClearThreadBreath();
}

TEST_F(DeadlineTest, StartupPutsTheDeadlineIntoTheEngineHooksAndShutdownTakesItOut) {
  {
    TnxStorageStartupGuard storage;
    nxSetTimeoutHook(300, false);
    EXPECT_EQ(nxGetDeadline(), static_cast<int64_t>(TFakeDeadlineClock::Now()) + 300);
    nxEnterTimeoutNestingHook();
    nxSetTimeoutHook(50, false);
    EXPECT_EQ(nxGetDeadline(), static_cast<int64_t>(TFakeDeadlineClock::Now()) + 300);
    nxLeaveTimeoutNestingHook();
    EXPECT_EQ(nxThreadCancelFlagHook(), nxThreadCancelFlag());
  }
  nxSetTimeoutHook(999, false);
  EXPECT_EQ(nxGetDeadline(), static_cast<int64_t>(TFakeDeadlineClock::Now()) + 300);
  EXPECT_EQ(nxThreadCancelFlagHook(), nullptr);
}

// The real clock: the start is the coarse reading moved up by two of its
// ticks, so the deadline is never before the one the precise clock gives
// (while the coarse clock lags by no more) and at most two ticks after it.
TEST(DeadlineRealClockTest, StartsTwoCoarseTicksAfterTheCoarseReading) {
  timespec res{};
  ASSERT_EQ(clock_getres(CLOCK_MONOTONIC_COARSE, &res), 0);
  const int64_t margin = (2 * (static_cast<int64_t>(res.tv_sec) * 1000000000 + res.tv_nsec) + 999999) / 1000000;
  for (int round = 0; round < 100; ++round) {
    const auto coarseBefore = static_cast<int64_t>(platform::MonotonicCoarseMilliseconds());
    nxSetTimeout(100, true);
    const auto preciseAfter = static_cast<int64_t>(platform::MonotonicMilliseconds());
    const int64_t deadline = nxGetDeadline();
    EXPECT_GE(deadline, coarseBefore + margin + 100);
    EXPECT_LE(deadline, preciseAfter + margin + 100);
  }
  nxSetTimeout(0, true);
}

}  // namespace
}  // namespace revurov
