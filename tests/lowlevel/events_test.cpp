#include "lowlevel/sync/events.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <thread>
#include <vector>

#include "lowlevel/actor.h"
#include "lowlevel/startup.h"
#include "platform/text.h"

namespace revurov {

using platform::EventHandle;
namespace {

using platform::kWaitObject0;
using platform::kWaitTimeout;

// The unit started for the test, as the library's start-up does.
struct SyncStarted : ::testing::Test {
  SyncStarted() { nxSyncStartup(); }
  ~SyncStarted() override { nxSyncShutdown(); }
};

TEST(TnxEvent, UnlimitedWaitIsReleasedByAnotherThread) {
  TnxEvent event;
  std::thread t([&] { event.SignalEvent(); });
  event.WaitFor(0);
  t.join();
  EXPECT_EQ(event.WaitForQuietly(10), kWaitTimeout);  // the wait took the signal
}

TEST(TnxEvent, TimedOutWaitRaises15461) {
  TnxEvent event;
  const auto start = std::chrono::steady_clock::now();
  try {
    event.WaitFor(50);
    FAIL() << "no time-out";
  } catch (const EnxSyncException& e) {
    EXPECT_EQ(e.ErrorCode(), 15461u);
    EXPECT_EQ(e.ClassName(), u"EnxSyncException");
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_EQ(event.WaitForQuietly(10), kWaitTimeout);
  event.SignalEvent();  // still usable
  event.WaitFor(50);
}

// Without descriptors no event can be made: the creation is not reported,
// the wait fails in the OS-error form and the event can still be destroyed.
TEST(TnxEvent, FailedCreationMakesEveryWaitFail) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "UBSan's type checks need descriptors of their own";
#endif
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  auto* event = new TnxEvent;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(event->Handle(), nullptr);
  EXPECT_EQ(event->WaitForQuietly(10), platform::kWaitFailed);
  try {
    event->WaitFor(10);
    FAIL() << "no failure";
  } catch (const EnxSyncException& e) {
    EXPECT_EQ(e.ErrorCode(), 11047u);
    EXPECT_NE(e.OSError(), 0u);
    EXPECT_NE(e.Message().find(u"calling WaitForSingleObject"), std::u16string::npos)
        << platform::Utf16ToUtf8(e.Message());
  }
  delete event;
}

TEST_F(SyncStarted, EventsBorrowAndReturnPooledHandles) {
  TnxEventPool* pool = nxGlobalEventPool.load();
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool->Count(), 250);
  EventHandle h;
  {
    TnxEvent event;
    h = event.Handle();
    EXPECT_EQ(pool->Count(), 249);
    event.SignalEvent();  // comes back signalled
  }
  EXPECT_EQ(pool->Count(), 250);
  TnxEvent again;
  EXPECT_EQ(again.Handle(), h);  // last in, first out
  EXPECT_EQ(again.WaitForQuietly(1), kWaitTimeout);  // reset on borrowing
}

TEST(EventPool, EmptyPoolMakesEventsAndPutHandsThemOutAgain) {
  TnxEventPool pool(0, 2);
  EventHandle a = pool.Get();
  ASSERT_NE(a, nullptr);
  pool.Put(a);
  EXPECT_EQ(pool.Get(), a);
  EventHandle b = pool.Get();
  EventHandle c = pool.Get();
  pool.Put(a);
  pool.Put(b);
  pool.Put(c);
  EXPECT_EQ(pool.Count(), 3);
  pool.Flush();  // down to the retain count, closing the rest
  EXPECT_EQ(pool.Count(), 2);
}

TEST_F(SyncStarted, ManualEventsAreCachedUpTo128) {
  std::vector<TnxManualEventRef> events(129);
  for (auto& e : events) nxGetManualEvent(e);
  const int before = nxCachedManualEventCount();
  EXPECT_EQ(before, 0);
  events.front()->Signal();
  events.clear();  // 129 counts reach 0
  EXPECT_EQ(nxCachedManualEventCount(), 128);  // the 129th was freed
  TnxManualEventRef again;
  nxGetManualEvent(again);
  EXPECT_EQ(nxCachedManualEventCount(), 127);
  EXPECT_EQ(platform::WaitForEvent(again->GetHandle(), 0), kWaitTimeout);  // reset
}

TEST_F(SyncStarted, ManualEventReleasesEveryWaiterAndStaysSet) {
  TnxManualEventRef event;
  nxGetManualEvent(event);
  test::Actor a, b;
  auto wa = a.Start([&] { event->Wait(); });
  auto wb = b.Start([&] { event->Wait(); });
  event->Signal();
  wa.get();
  wb.get();
  event->Wait();  // stays signalled
  TnxManualEventRef copy = event;
  EXPECT_EQ(copy.get(), event.get());
}

TEST(ManualEvent, WithoutTheUnitEventsAreFreedNotCached) {
  TnxManualEventRef e;
  nxGetManualEvent(e);
  e.reset();  // freed (no cache): the leak checker would see it otherwise
  EXPECT_EQ(nxTakeCachedManualEvent(), nullptr);
}

TEST(ThreadBreath, CallsTheMethodSetForTheThread) {
  EXPECT_EQ(nxThreadBreath(), 0u);
  int calls = 0;
  nxSetThreadBreath([](void* o) -> uint32_t { return static_cast<uint32_t>(++*static_cast<int*>(o)); }, &calls);
  EXPECT_EQ(nxThreadBreath(), 1u);
  std::thread([] { EXPECT_EQ(nxThreadBreath(), 0u); }).join();  // per thread
  nxClearThreadBreath();
  EXPECT_EQ(nxThreadBreath(), 0u);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace revurov

namespace revurov {
namespace {

TEST(SyncUnit, LibraryStartUpCreatesTheGlobalPoolOnce) {
  ASSERT_EQ(nxGlobalEventPool.load(), nullptr);
  {
    TnxLowLevelStartupGuard library;
    TnxEventPool* pool = nxGlobalEventPool.load();
    ASSERT_NE(pool, nullptr);
    nxSyncStartup();  // a unit that needs it starts it again
    EXPECT_EQ(nxGlobalEventPool.load(), pool);
    nxSyncShutdown();
    EXPECT_EQ(nxGlobalEventPool.load(), pool);
  }
  EXPECT_EQ(nxGlobalEventPool.load(), nullptr);
  nxSyncShutdown();  // unmatched: nothing happens
  nxSyncStartup();
  EXPECT_NE(nxGlobalEventPool.load(), nullptr);
  nxSyncShutdown();
}

}  // namespace
}  // namespace revurov
