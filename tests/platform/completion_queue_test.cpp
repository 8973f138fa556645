#include "platform/completion_queue.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "platform/os_event.h"

namespace revurov::platform {
namespace {

// Two connected stream sockets, closed at the end of the test.
struct Pair {
  int fd[2] = {-1, -1};
  Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
  ~Pair() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
  void Send() { ASSERT_EQ(write(fd[1], "x", 1), 1); }
};

std::unique_ptr<CompletionQueue> NewQueue() {
  auto q = CompletionQueue::Create();
  EXPECT_NE(q, nullptr);
  return q;
}

TEST(CompletionQueue, PostedPacketsComeOutInOrderWithTheirValues) {
  auto q = NewQueue();
  const Completion rows[] = {{7, 0, 0}, {1, 100, 0}, {UINTPTR_MAX - 1, 0xFFFFFFFF, 995}, {7, 3, 4}};
  for (const Completion& c : rows) ASSERT_TRUE(q->Post(c.key, c.bytes, c.error));
  for (const Completion& c : rows) {
    Completion got;
    ASSERT_EQ(q->Wait(got, 0), kWaitObject0);
    EXPECT_EQ(got.key, c.key);
    EXPECT_EQ(got.bytes, c.bytes);
    EXPECT_EQ(got.error, c.error);
  }
  Completion none;
  EXPECT_EQ(q->Wait(none, 0), kWaitTimeout);
  EXPECT_EQ(q->Wait(none, 20), kWaitTimeout);
}

TEST(CompletionQueue, ArmedDescriptorFiresOnceUntilRearmed) {
  auto q = NewQueue();
  Pair p;
  ASSERT_TRUE(q->Arm(p.fd[0], 42));
  Completion got;
  EXPECT_EQ(q->Wait(got, 0), kWaitTimeout) << "not readable yet";
  p.Send();
  ASSERT_EQ(q->Wait(got, 1000), kWaitObject0);
  EXPECT_EQ(got.key, 42u);
  EXPECT_EQ(got.bytes, 0u);
  EXPECT_EQ(got.error, 0u);
  // Still readable, but one-shot.
  EXPECT_EQ(q->Wait(got, 0), kWaitTimeout);
  // Re-arming with another key fires again at once with the new key.
  ASSERT_TRUE(q->Arm(p.fd[0], 43));
  ASSERT_EQ(q->Wait(got, 1000), kWaitObject0);
  EXPECT_EQ(got.key, 43u);
  // Disarmed: silent though readable.
  ASSERT_TRUE(q->Arm(p.fd[0], 44));
  ASSERT_TRUE(q->Disarm(p.fd[0]));
  EXPECT_EQ(q->Wait(got, 0), kWaitTimeout);
}

TEST(CompletionQueue, HangupOfThePeerFiresTheArmedEnd) {
  auto q = NewQueue();
  Pair p;
  ASSERT_TRUE(q->Arm(p.fd[0], 5));
  ASSERT_EQ(shutdown(p.fd[1], SHUT_RDWR), 0);
  Completion got;
  ASSERT_EQ(q->Wait(got, 1000), kWaitObject0);
  EXPECT_EQ(got.key, 5u);
}

TEST(CompletionQueue, PostedAndArmedMixWithoutLoss) {
  auto q = NewQueue();
  Pair p;
  ASSERT_TRUE(q->Arm(p.fd[0], 10));
  p.Send();
  ASSERT_TRUE(q->Post(20, 1, 0));
  std::multiset<uintptr_t> keys;
  Completion got;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(q->Wait(got, 1000), kWaitObject0);
    keys.insert(got.key);
  }
  EXPECT_EQ(keys, (std::multiset<uintptr_t>{10, 20}));
  EXPECT_EQ(q->Wait(got, 0), kWaitTimeout);
}

TEST(CompletionQueue, RefusedArguments) {
  auto q = NewQueue();
  Pair p;
  struct Case {
    int fd;
    uintptr_t key;
  } rows[] = {{-1, 1}, {p.fd[0], UINTPTR_MAX}};
  for (const Case& c : rows) {
    errno = 0;
    EXPECT_FALSE(q->Arm(c.fd, c.key)) << c.fd;
    EXPECT_NE(errno, 0);
  }
  EXPECT_FALSE(q->Disarm(p.fd[0])) << "never armed";
}

// The stop of a server: two stop packets per thread release every thread
// blocked without a time limit, and each packet is taken once.
TEST(CompletionQueue, StopPacketsReleaseEveryBlockedWaiter) {
  auto q = NewQueue();
  constexpr int kThreads = 4;
  std::atomic<int> stops{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      Completion got;
      while (q->Wait(got, kInfinite) == kWaitObject0) {
        if (got.key == 1) {
          stops.fetch_add(1);
          return;
        }
      }
    });
  for (int t = 0; t < 2 * kThreads; ++t) ASSERT_TRUE(q->Post(1, 0, 0));
  for (auto& t : threads) t.join();
  EXPECT_EQ(stops.load(), kThreads);
  int left = 0;
  Completion got;
  while (q->Wait(got, 0) == kWaitObject0) ++left;
  EXPECT_EQ(left, kThreads);
}

TEST(CompletionQueue, PacketsFromManyPostersReachManyWaitersOnce) {
  auto q = NewQueue();
  constexpr int kPosters = 4, kWaiters = 4, kEach = 2000;
  std::vector<std::atomic<int>> seen(kPosters * kEach);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWaiters; ++w)
    threads.emplace_back([&] {
      Completion got;
      while (q->Wait(got, 5000) == kWaitObject0 && got.key != 0) seen[got.key - 1].fetch_add(1);
    });
  for (int p = 0; p < kPosters; ++p)
    threads.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) ASSERT_TRUE(q->Post(uintptr_t(p * kEach + i + 1), 0, 0));
    });
  for (int p = 0; p < kPosters; ++p) threads[kWaiters + p].join();
  for (int w = 0; w < kWaiters; ++w) ASSERT_TRUE(q->Post(0, 0, 0));
  for (int w = 0; w < kWaiters; ++w) threads[w].join();
  for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i].load(), 1) << i;
}

}  // namespace
}  // namespace revurov::platform
