#include "lowlevel/sync/padlock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "lowlevel/actor.h"

namespace revurov {
namespace {

using test::Actor;

TEST(Padlock, ReentrantForTheOwnerExclusiveForOthers) {
  for (bool fast : {false, true}) {
    TnxPadlock lock(fast);
    EXPECT_EQ(lock.IsFastLock(), fast);
    Actor other;
    lock.Lock();
    EXPECT_TRUE(lock.TryLock());  // the owner enters again
    lock.Unlock();
    EXPECT_FALSE(other.Do([&] { return lock.TryLock(); }));
    lock.Unlock();
    EXPECT_TRUE(other.Do([&] { return lock.TryLock(); }));
    EXPECT_FALSE(lock.TryLock());
    other.Do([&] { lock.Unlock(); });
  }
}

TEST(Padlock, BlockedLockEntersAfterTheLastUnlock) {
  TnxPadlock lock(true);
  Actor other;
  lock.Lock();
  lock.Lock();
  std::atomic<bool> inside{false};
  auto entered = other.Start([&] {
    lock.Lock();
    inside = true;
    lock.Unlock();
  });
  lock.Unlock();
  EXPECT_FALSE(inside.load());  // still held once
  lock.Unlock();
  entered.get();
  EXPECT_TRUE(inside.load());
}

TEST(Padlock, ExcludesUnderContention) {
  for (bool fast : {false, true}) {
    TnxPadlock lock(fast);
    long counter = 0;  // unguarded by atomics: a lapse shows as a lost count or a data race
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < 5000; ++i) {
          TnxPadlockGuard guard(lock);
          ++counter;
        }
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 20000);
  }
}

TEST(Padlock, CreateAndLockPublishesOnePadlock) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 20; ++round) {
    TnxPadlock* shared = nullptr;
    std::barrier start(kThreads);
    std::vector<TnxPadlock*> seen(kThreads);
    int inside = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        TnxPadlock::CreateAndLock(shared);
        TnxPadlock* mine = std::atomic_ref(shared).load();
        seen[t] = mine;
        ++inside;  // the padlock guards it
        mine->Unlock();
      });
    for (auto& t : threads) t.join();
    ASSERT_NE(shared, nullptr);
    for (TnxPadlock* p : seen) EXPECT_EQ(p, shared);
    EXPECT_EQ(inside, kThreads);
    EXPECT_TRUE(shared->TryLock());
    shared->Unlock();
    nxFreeAndNil(shared);  // the losers' padlocks are already gone (the leak checker sees it)
  }
}

TEST(Padlock, CreateAndLockOnAnExistingPadlockLocksIt) {
  TnxPadlock* shared = new TnxPadlock;
  TnxPadlock* before = shared;
  TnxPadlock::CreateAndLock(shared);
  EXPECT_EQ(shared, before);
  Actor other;
  EXPECT_FALSE(other.Do([&] { return shared->TryLock(); }));
  shared->Unlock();
  nxFreeAndNil(shared);
}

}  // namespace
}  // namespace revurov
