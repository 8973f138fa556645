#include "platform/process_watch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/process.h"

namespace revurov::platform {
namespace {

// Records every end the watcher tells of.
struct TEnds {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<TProcessIdentity> ended;

  void Add(const TProcessIdentity& aProcess) {
    {
      std::lock_guard guard(lock);
      ended.push_back(aProcess);
    }
    changed.notify_all();
  }
  bool AwaitCount(size_t aCount) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(10), [&] { return ended.size() >= aCount; });
  }
};

pid_t ForkSleeper() {
  const pid_t child = fork();
  if (child == 0) {
    for (;;) pause();
  }
  return child;
}

TEST(ProcessWatcher, TellsOfAKilledProcessOnceAndOfOneGoneBeforeAtOnce) {
  TEnds ends;
  TProcessWatcher watcher([&](const TProcessIdentity& aProcess) { ends.Add(aProcess); });
  const pid_t child = ForkSleeper();
  ASSERT_GT(child, 0);
  TProcessIdentity identity{static_cast<uint32_t>(child), 0};
  // The start time is read from the system; wait until the child shows.
  for (int i = 0; i < 1000 && identity.StartTime == 0; ++i) identity.StartTime = ProcessStartTime(identity.Pid);
  ASSERT_NE(identity.StartTime, 0u);
  ASSERT_TRUE(watcher.Watch(identity));
  ASSERT_TRUE(watcher.Watch(identity)) << "twice adds nothing";
  kill(child, SIGKILL);
  ASSERT_TRUE(ends.AwaitCount(1));
  int status = 0;
  waitpid(child, &status, 0);

  // An identity whose process ended before it was watched, and a live one
  // with a start time that is not its own (an id taken by a later process).
  const TProcessIdentity self = CurrentProcessIdentity();
  ASSERT_TRUE(watcher.Watch(identity));
  ASSERT_TRUE(watcher.Watch({self.Pid, self.StartTime + 1}));
  ASSERT_TRUE(ends.AwaitCount(3));
  ASSERT_TRUE(watcher.Watch(self));
  {
    std::lock_guard guard(ends.lock);
    ASSERT_EQ(ends.ended.size(), 3u) << "a live process is not told of";
    EXPECT_EQ(ends.ended[0], identity);
    EXPECT_EQ(ends.ended[1], identity);
    EXPECT_EQ(ends.ended[2], (TProcessIdentity{self.Pid, self.StartTime + 1}));
  }
}

}  // namespace
}  // namespace revurov::platform
