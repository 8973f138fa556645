// The deferred release of connection memory: six generations shifted by one
// cleanup thread that the pooled transports of the process share.
#include "transport/freed_connections.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/startup.h"
#include "lowlevel/sync/events.h"
#include "lowlevel/sync/thread.h"
#include "platform/os_event.h"
#include "platform/os_thread.h"

namespace revurov {
namespace {

class FreedConnections : public ::testing::Test {
protected:
  void SetUp() override { nxLowLevelStartup(); }
  void TearDown() override { nxLowLevelShutdown(); }
};

// The cleanup thread's wait on a fake timer: an interval runs out only when
// the test ticks.
class FakeCleanupTimer {
public:
  FakeCleanupTimer() {
    sTicks = 0;
    nxSetTimerThreadWait(&Wait);
  }
  ~FakeCleanupTimer() { nxSetTimerThreadWait(nullptr); }

  // One interval runs out; returns once the thread has shifted for it.
  static void Tick() {
    const uint64_t before = nxFreedConnectionCounts().Shifts;
    sTicks.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (nxFreedConnectionCounts().Shifts == before) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the cleanup thread did not shift";
      platform::YieldThread();
    }
  }

private:
  static bool Wait(TnxEvent& aEvent, uint32_t) {
    for (;;) {
      if (platform::WaitForEvent(aEvent.Handle(), 1) == platform::kWaitObject0) return true;
      int ticks = sTicks.load();
      if (ticks > 0 && sTicks.compare_exchange_strong(ticks, ticks - 1)) return false;
    }
  }
  static inline std::atomic<int> sTicks{0};
};

size_t HeldTotal(const TnxFreedConnectionCounts& aCounts) {
  size_t total = 0;
  for (size_t held : aCounts.Held) total += held;
  return total;
}

TEST_F(FreedConnections, MemoryIsReturnedAfterTheSixthShiftOfTheCleanupThread) {
  FakeCleanupTimer timer;
  nxRegisterPooledTransport();
  const uint64_t returned = nxFreedConnectionCounts().Returned;
  nxDeferConnectionRelease(nxGetMem(64));
  nxDeferConnectionRelease(nxGetMem(200));
  EXPECT_EQ(nxFreedConnectionCounts().Held[0], 2u);
  for (int shift = 1; shift < kFreedConnectionGenerations; ++shift) {
    FakeCleanupTimer::Tick();
    const TnxFreedConnectionCounts counts = nxFreedConnectionCounts();
    EXPECT_EQ(counts.Held[shift], 2u) << shift;
    EXPECT_EQ(HeldTotal(counts), 2u) << shift;
    EXPECT_EQ(counts.Returned, returned) << shift;
  }
  FakeCleanupTimer::Tick();
  const TnxFreedConnectionCounts counts = nxFreedConnectionCounts();
  EXPECT_EQ(HeldTotal(counts), 0u);
  EXPECT_EQ(counts.Returned, returned + 2);
  nxUnregisterPooledTransport();
}

TEST_F(FreedConnections, TheLastTransportReturnsEveryGenerationAndStopsTheThread) {
  FakeCleanupTimer timer;
  nxRegisterPooledTransport();
  nxRegisterPooledTransport();
  const uint64_t returned = nxFreedConnectionCounts().Returned;
  for (int i = 0; i < 3; ++i) nxDeferConnectionRelease(nxGetMem(48));
  FakeCleanupTimer::Tick();
  FakeCleanupTimer::Tick();
  nxDeferConnectionRelease(nxGetMem(48));
  nxUnregisterPooledTransport();
  TnxFreedConnectionCounts counts = nxFreedConnectionCounts();
  EXPECT_EQ(HeldTotal(counts), 4u) << "one transport is left";
  EXPECT_TRUE(counts.ThreadRunning);
  nxUnregisterPooledTransport();
  counts = nxFreedConnectionCounts();
  EXPECT_EQ(HeldTotal(counts), 0u);
  EXPECT_EQ(counts.Returned, returned + 4);
  EXPECT_FALSE(counts.ThreadRunning);
  EXPECT_EQ(counts.Transports, 0);
}

TEST_F(FreedConnections, WithoutATransportMemoryIsReturnedAtOnce) {
  const uint64_t returned = nxFreedConnectionCounts().Returned;
  nxDeferConnectionRelease(nxGetMem(32));
  nxDeferConnectionRelease(nullptr);
  const TnxFreedConnectionCounts counts = nxFreedConnectionCounts();
  EXPECT_EQ(HeldTotal(counts), 0u);
  EXPECT_EQ(counts.Returned, returned + 1);
  // An unregistration without a registration changes nothing.
  nxUnregisterPooledTransport();
  EXPECT_EQ(nxFreedConnectionCounts().Transports, 0);
}

TEST_F(FreedConnections, TransportsMadeAndFreedOnEightThreadsShareOneCleanupThread) {
  FakeCleanupTimer timer;
  nxRegisterPooledTransport();
  const TnxFreedConnectionCounts before = nxFreedConnectionCounts();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 100; ++i) {
        nxRegisterPooledTransport();
        nxDeferConnectionRelease(nxGetMem(40));
        nxUnregisterPooledTransport();
      }
    });
  for (auto& t : threads) t.join();
  TnxFreedConnectionCounts counts = nxFreedConnectionCounts();
  EXPECT_EQ(counts.ThreadsStarted, before.ThreadsStarted);
  EXPECT_EQ(counts.Transports, 1);
  EXPECT_EQ(HeldTotal(counts), 800u);
  nxUnregisterPooledTransport();
  counts = nxFreedConnectionCounts();
  EXPECT_EQ(counts.Returned, before.Returned + 800);
  EXPECT_FALSE(counts.ThreadRunning);
}

TEST_F(FreedConnections, ThePeriodOfTheCleanupThreadIsInjectable) {
  nxSetFreedConnectionCleanupPeriod(1);
  nxRegisterPooledTransport();
  const uint64_t shifts = nxFreedConnectionCounts().Shifts;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (nxFreedConnectionCounts().Shifts < shifts + 2 && std::chrono::steady_clock::now() < deadline)
    platform::YieldThread();
  EXPECT_GE(nxFreedConnectionCounts().Shifts, shifts + 2);
  nxUnregisterPooledTransport();
  nxSetFreedConnectionCleanupPeriod(0);
}

}  // namespace
}  // namespace revurov
