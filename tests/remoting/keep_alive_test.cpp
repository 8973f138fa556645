// The keep-alive service: an interface is held for the keep time and not
// longer, released at once when 99 ms or less are left, and on shut-down.
// Tests keep 200 ms; the clock is faked where the time left matters.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "lowlevel/objects/interfaced_object.h"
#include "platform/thread_clock.h"
#include "remoting_test_support.h"
#include "transport/remoting/keep_alive.h"

namespace revurov {
namespace {

using platform::TInterfacePtr;

constexpr uint32_t kKeepTime = 200;

// Records when its last reference went.
class CountedObject final : public TnxInterfacedObject {
public:
  explicit CountedObject(std::atomic<uint64_t>& aReleasedAt) : releasedAt(aReleasedAt) {}
  ~CountedObject() override { releasedAt = platform::MonotonicMilliseconds(); }
  std::atomic<uint64_t>& releasedAt;
};

// Polls in 5 ms steps; false when nothing came within five seconds.
bool WaitForRelease(const std::atomic<uint64_t>& aReleasedAt) {
  for (int i = 0; i < 1000 && aReleasedAt == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return aReleasedAt != 0;
}

std::atomic<uint64_t> gFakeNow{1000};
uint64_t FakeNow() { return gFakeNow.load(); }

TEST(KeepAlive, HoldsTheInterfaceForItsTimeAndNoLonger) {
  TnxKeepAliveQueue queue(kKeepTime);
  std::atomic<uint64_t> releasedAt{0};
  const uint64_t start = platform::MonotonicMilliseconds();
  queue.KeepAlive(testing::Make<CountedObject>(releasedAt).Get());
  EXPECT_EQ(releasedAt, 0u);
  ASSERT_TRUE(WaitForRelease(releasedAt));
  // A thread that takes the item up late lets it go within the slack.
  EXPECT_GE(releasedAt - start, kKeepTime - nxKeepAliveSlack);
}

TEST(KeepAlive, WaitsForWhatIsLeftAndNothingWithNinetyNineMsOrLess) {
  TnxKeepAliveQueue queue(kKeepTime, &FakeNow);
  // The die event set: WaitFor answers what it meant to wait without waiting.
  queue.Terminate();
  struct Case {
    uint64_t passed;
    uint32_t waited;
  };
  const Case cases[] = {{0, 200}, {100, 100}, {101, 0}, {150, 0}, {200, 0}, {5000, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.passed);
    gFakeNow = 1000;
    std::atomic<uint64_t> releasedAt{0};
    TnxKeepAliveItem item(queue, testing::Make<CountedObject>(releasedAt).Get());
    EXPECT_EQ(item.Until(), 1200u);
    gFakeNow = 1000 + c.passed;
    EXPECT_EQ(item.WaitFor(), c.waited);
  }
}

TEST(KeepAlive, ItemWithLittleLeftIsReleasedAtOnce) {
  gFakeNow = 1000;
  TnxKeepAliveQueue queue(30000, &FakeNow);
  std::atomic<uint64_t> releasedAt{0};
  auto item = std::make_unique<TnxKeepAliveItem>(queue, testing::Make<CountedObject>(releasedAt).Get());
  gFakeNow = 1000 + 30000 - 99;
  queue.Enqueue(std::move(item));
  EXPECT_TRUE(WaitForRelease(releasedAt));
}

TEST(KeepAlive, ShutDownReleasesTheHeldAndTheQueuedAtOnce) {
  std::atomic<uint64_t> first{0};
  std::atomic<uint64_t> second{0};
  {
    TnxKeepAliveQueue queue(30000);
    queue.KeepAlive(testing::Make<CountedObject>(first).Get());
    queue.KeepAlive(testing::Make<CountedObject>(second).Get());
    queue.KeepAlive(nullptr);
    EXPECT_EQ(first, 0u);
  }
  EXPECT_NE(first, 0u);
  EXPECT_NE(second, 0u);
}

class ProcessKeepAlive : public testing::RemotingStarted {
protected:
  void TearDown() override {
    testing::RemotingStarted::TearDown();
    nxSetKeepAliveTime(nxDefaultKeepAliveTime);
  }
};

TEST_F(ProcessKeepAlive, KeepsForTheProcessKeepTime) {
  EXPECT_EQ(nxKeepAliveTime(), nxDefaultKeepAliveTime);
  nxSetKeepAliveTime(kKeepTime);
  std::atomic<uint64_t> releasedAt{0};
  const uint64_t start = platform::MonotonicMilliseconds();
  nxKeepAlive(testing::Make<CountedObject>(releasedAt).Get());
  ASSERT_TRUE(WaitForRelease(releasedAt));
  // A thread that takes the item up late lets it go within the slack.
  EXPECT_GE(releasedAt - start, kKeepTime - nxKeepAliveSlack);
}

TEST_F(ProcessKeepAlive, LibraryShutDownReleasesWhatIsHeld) {
  std::atomic<uint64_t> releasedAt{0};
  nxKeepAlive(testing::Make<CountedObject>(releasedAt).Get());
  nxRemotingShutdown();
  EXPECT_NE(releasedAt, 0u);
  nxRemotingStartup();
}

}  // namespace
}  // namespace revurov
