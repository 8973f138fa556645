#include "platform/os_event.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/os_thread.h"

namespace revurov::platform {
namespace {

struct Owned {
  EventHandle h;
  explicit Owned(EventHandle e) : h(e) {}
  ~Owned() { CloseEvent(h); }
};

bool FdReadable(EventHandle e) {
  pollfd p{EventFd(e), POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

TEST(Event, InitialStateAndResetForms) {
  struct Case {
    bool manual, initial;
    uint32_t first, second;  // results of two zero-time waits
  } cases[] = {
      {true, true, kWaitObject0, kWaitObject0},   // manual stays set
      {false, true, kWaitObject0, kWaitTimeout},  // auto is taken by the wait
      {true, false, kWaitTimeout, kWaitTimeout},
      {false, false, kWaitTimeout, kWaitTimeout},
  };
  for (const Case& c : cases) {
    Owned e(CreateEvent(c.manual, c.initial));
    ASSERT_NE(e.h, nullptr);
    EXPECT_EQ(WaitForEvent(e.h, 0), c.first) << c.manual << c.initial;
    EXPECT_EQ(WaitForEvent(e.h, 0), c.second) << c.manual << c.initial;
  }
}

// The in-line test follows set, reset and a taking wait, and never takes
// an auto event's signal itself; both kinds of event, both forms.
TEST(Event, SignalledTestFollowsTheStateAndTakesNothing) {
  for (bool deferred : {false, true})
    for (bool manual : {true, false}) {
      Owned e(deferred ? CreateDeferredEvent(manual, true) : CreateEvent(manual, true));
      ASSERT_NE(e.h, nullptr);
      EXPECT_TRUE(EventSignalled(e.h)) << deferred << manual;
      EXPECT_TRUE(EventSignalled(e.h)) << deferred << manual;
      EXPECT_EQ(WaitForEvent(e.h, 0), kWaitObject0) << deferred << manual;
      EXPECT_EQ(EventSignalled(e.h), manual) << "only a wait takes the auto signal";
      ResetEvent(e.h);
      EXPECT_FALSE(EventSignalled(e.h)) << deferred << manual;
      std::thread t([&] { SetEvent(e.h); });
      t.join();
      EXPECT_TRUE(EventSignalled(e.h)) << deferred << manual;
    }
}

TEST(Event, DescriptorMirrorsTheState) {
  Owned e(CreateEvent(false, false));
  EXPECT_FALSE(FdReadable(e.h));
  SetEvent(e.h);
  SetEvent(e.h);  // a second set is no second signal
  EXPECT_TRUE(FdReadable(e.h));
  EXPECT_TRUE(FdReadable(e.h));  // polling does not take the signal
  EXPECT_EQ(WaitForEvent(e.h, 0), kWaitObject0);
  EXPECT_FALSE(FdReadable(e.h));
  EXPECT_EQ(WaitForEvent(e.h, 0), kWaitTimeout);
  SetEvent(e.h);
  ResetEvent(e.h);
  EXPECT_FALSE(FdReadable(e.h));
}

TEST(Event, DescriptorTakenLateShowsAnEarlierSignal) {
  Owned e(CreateEvent(true, true));
  EXPECT_TRUE(FdReadable(e.h));
  ResetEvent(e.h);
  EXPECT_FALSE(FdReadable(e.h));
}

TEST(Event, NullHandleFails) {
  EXPECT_EQ(WaitForEvent(nullptr, 0), kWaitFailed);
  EXPECT_EQ(WaitForEvent(nullptr, kInfinite), kWaitFailed);
  EXPECT_FALSE(SetEvent(nullptr));
  EXPECT_FALSE(ResetEvent(nullptr));
  EXPECT_EQ(EventFd(nullptr), -1);
  CloseEvent(nullptr);
}

TEST(Event, TimedWaitRunsOutWithoutReturningEarly) {
  Owned e(CreateEvent(true, false));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForEvent(e.h, 30), kWaitTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(Event, SignalFromAnotherThreadReleasesAnUnlimitedWait) {
  for (bool manual : {true, false}) {
    Owned e(CreateEvent(manual, false));
    std::thread t([&] { SetEvent(e.h); });
    EXPECT_EQ(WaitForEvent(e.h, kInfinite), kWaitObject0);
    t.join();
  }
}

// Each signal of an auto event releases exactly one of the waiters.
TEST(Event, AutoEventReleasesOneWaiterPerSignal) {
  Owned e(CreateEvent(false, false));
  Owned done(CreateEvent(false, false));
  constexpr int kWaiters = 4;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i)
    waiters.emplace_back([&] {
      ASSERT_EQ(WaitForEvent(e.h, kInfinite), kWaitObject0);
      released.fetch_add(1);
      SetEvent(done.h);
    });
  for (int i = 1; i <= kWaiters; ++i) {
    SetEvent(e.h);
    ASSERT_EQ(WaitForEvent(done.h, kInfinite), kWaitObject0);
    // The signal was taken: nobody else may pass on it.
    EXPECT_EQ(WaitForEvent(e.h, 0), kWaitTimeout);
    EXPECT_EQ(released.load(), i);
  }
  for (auto& t : waiters) t.join();
}

TEST(Event, ManualEventReleasesEveryWaiter) {
  Owned e(CreateEvent(true, false));
  std::vector<std::thread> waiters;
  std::atomic<int> released{0};
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      EXPECT_EQ(WaitForEvent(e.h, kInfinite), kWaitObject0);
      released.fetch_add(1);
    });
  SetEvent(e.h);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 4);
}

// A deferred event behaves as any other; its descriptor comes with the
// first blocking wait or EventFd, and shows a signal given before.
TEST(DeferredEvent, BehavesAsAnEventAndMakesItsDescriptorLate) {
  struct Case {
    bool manual, initial;
    uint32_t first, second;
  } cases[] = {
      {true, true, kWaitObject0, kWaitObject0},
      {false, true, kWaitObject0, kWaitTimeout},
      {true, false, kWaitTimeout, kWaitTimeout},
      {false, false, kWaitTimeout, kWaitTimeout},
  };
  for (const Case& c : cases) {
    Owned e(CreateDeferredEvent(c.manual, c.initial));
    ASSERT_NE(e.h, nullptr);
    EXPECT_EQ(WaitForEvent(e.h, 0), c.first) << c.manual << c.initial;
    EXPECT_EQ(WaitForEvent(e.h, 0), c.second) << c.manual << c.initial;
  }
  Owned late(CreateDeferredEvent(false, false));
  SetEvent(late.h);
  EXPECT_TRUE(FdReadable(late.h));
  EXPECT_EQ(WaitForEvent(late.h, 0), kWaitObject0);
  EXPECT_FALSE(FdReadable(late.h));
  for (bool manual : {true, false}) {
    Owned e(CreateDeferredEvent(manual, false));
    EXPECT_EQ(WaitForEvent(e.h, 20), kWaitTimeout);
    std::thread t([&] { SetEvent(e.h); });
    EXPECT_EQ(WaitForEvent(e.h, kInfinite), kWaitObject0);
    t.join();
  }
}

// Without a descriptor to be had, waits still block until the signal or
// the time-out, and EventFd fails.
TEST(DeferredEvent, WaitsWithoutADescriptorStillBlockAndWake) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
  for (bool manual : {true, false}) {
    Owned e(CreateDeferredEvent(manual, false));
    Owned other(CreateDeferredEvent(false, false));
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    std::thread t;
    std::atomic<bool> go{false};
    {
      // The thread is started before the limit: it needs no descriptor.
      t = std::thread([&] {
        while (!go.load()) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SetEvent(e.h);
      });
      rlimit none = saved;
      none.rlim_cur = 0;
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
      EXPECT_EQ(EventFd(other.h), -1);
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(WaitForEvent(other.h, 15), kWaitTimeout);
      EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
      go.store(true);
      const EventHandle both[] = {other.h, e.h};
      const uint32_t got = WaitForEvents(both, 2, kInfinite);
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
      EXPECT_EQ(got, kWaitObject0 + 1);
    }
    t.join();
    EXPECT_EQ(WaitForEvent(e.h, 0), manual ? kWaitObject0 : kWaitTimeout);
  }
}

TEST(Events, AnswerTheLowestSignalledIndexAndTakeOnlyItsSignal) {
  struct Case {
    bool set0, set1;
    uint32_t result;
    bool left0, left1;  // still signalled afterwards (both auto events)
  } cases[] = {
      {false, false, kWaitTimeout, false, false},
      {true, false, kWaitObject0, false, false},
      {false, true, kWaitObject0 + 1, false, false},
      {true, true, kWaitObject0, false, true},
  };
  for (const Case& c : cases) {
    Owned a(CreateEvent(false, c.set0));
    Owned b(CreateEvent(false, c.set1));
    const EventHandle both[] = {a.h, b.h};
    EXPECT_EQ(WaitForEvents(both, 2, 0), c.result) << c.set0 << c.set1;
    EXPECT_EQ(WaitForEvent(a.h, 0) == kWaitObject0, c.left0) << c.set0 << c.set1;
    EXPECT_EQ(WaitForEvent(b.h, 0) == kWaitObject0, c.left1) << c.set0 << c.set1;
  }
}

TEST(Events, ASignalFromAnotherThreadEndsAnUnlimitedWaitAndTimeOutsRunOut) {
  Owned a(CreateEvent(false, false));
  Owned b(CreateEvent(true, false));
  const EventHandle both[] = {a.h, b.h};
  EXPECT_EQ(WaitForEvents(both, 2, 20), kWaitTimeout);
  std::thread t([&] { SetEvent(b.h); });
  EXPECT_EQ(WaitForEvents(both, 2, kInfinite), kWaitObject0 + 1);
  t.join();
  EXPECT_EQ(WaitForEvent(b.h, 0), kWaitObject0);  // a manual event stays set
}

TEST(Events, BadArgumentsFail) {
  Owned a(CreateEvent(false, true));
  const EventHandle withNull[] = {a.h, nullptr};
  EXPECT_EQ(WaitForEvents(withNull, 2, 0), kWaitFailed);
  EXPECT_EQ(WaitForEvents(withNull, 0, 0), kWaitFailed);
  EventHandle many[9] = {a.h, a.h, a.h, a.h, a.h, a.h, a.h, a.h, a.h};
  EXPECT_EQ(WaitForEvents(many, 9, 0), kWaitFailed);
  EXPECT_EQ(WaitForEvent(a.h, 0), kWaitObject0);  // a failed wait takes nothing
}

TEST(Thread, IdIsStablePerThreadAndDistinct) {
  const uint32_t mine = CurrentThreadId();
  EXPECT_NE(mine, 0u);
  EXPECT_EQ(CurrentThreadId(), mine);
  uint32_t other = 0;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, mine);
}

}  // namespace
}  // namespace revurov::platform
