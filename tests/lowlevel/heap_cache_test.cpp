// The per-thread item caches in front of the pools: what callers see must
// not change (statistics, maintenance giving memory back, refused second
// frees), whichever thread holds a freed item and whether it still runs.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "item_manager_fixture.h"
#include "lowlevel/heap/block_manager.h"
#include "lowlevel/heap/item_manager.h"
#include "lowlevel/heap/region_manager.h"
#include "platform/rtl_exception.h"

namespace revurov::mm {
namespace {

using platform::EInvalidPointer;

class ThreadCacheTest : public ItemManagerFixture {
protected:
  static TnxPoolBlockHeader* blockOf(const void* p) {
    return reinterpret_cast<TnxPoolBlockHeader*>(reinterpret_cast<uintptr_t>(p) & ~uintptr_t(0xFFFF));
  }
  // Everything freed and maintained: nothing left anywhere.
  static void expectAllGivenBack() {
    TnxMemoryPool::Cleanup();
    nxBlockTrim();
    EXPECT_EQ(nxStatAllocated(), 0);
    EXPECT_EQ(nxStatReserved(), 0);
    EXPECT_EQ(nxRegionsInUse(), 0);
  }
};

// Runs body on a thread of its own that then waits, still alive, until
// release() is called.
class ParkedThread {
public:
  template <typename F>
  explicit ParkedThread(F body) {
    thread_ = std::thread([this, body] {
      body();
      std::unique_lock<std::mutex> lock(m_);
      done_ = true;
      cv_.notify_all();
      cv_.wait(lock, [this] { return released_; });
    });
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return done_; });
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(m_);
      released_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  ~ParkedThread() { release(); }

private:
  std::thread thread_;
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false, released_ = false;
};

TEST_F(ThreadCacheTest, FreedItemsWaitInTheCacheAndCountAsFree) {
  const uint32_t before = nxThreadCachedItems();
  std::vector<void*> items;
  for (int i = 0; i < 5; ++i) items.push_back(nxItemGetMem(100));
  EXPECT_EQ(nxStatAllocated(), 5 * 128);
  for (void* p : items) EXPECT_EQ(nxItemFreeMem(p), 0);
  EXPECT_EQ(nxStatAllocated(), 0);
  EXPECT_GE(nxThreadCachedItems(), before + 5);
  // The next request of that size takes the item freed last.
  void* again = nxItemGetMem(120);
  EXPECT_EQ(again, items.back());
  EXPECT_EQ(nxStatAllocated(), 128);
  EXPECT_EQ(nxItemFreeMem(again), 0);
  expectAllGivenBack();
  EXPECT_EQ(nxThreadCachedItems(), 0u);
}

TEST_F(ThreadCacheTest, SizesOutsideTheCachedRangeGoStraightToThePools) {
  for (std::size_t size : {std::size_t(1), std::size_t(4), std::size_t(1025), std::size_t(32735)}) {
    void* p = nxItemGetMem(size);
    ASSERT_NE(p, nullptr) << size;
    const uint32_t cached = nxThreadCachedItems();
    EXPECT_EQ(nxItemFreeMem(p), 0) << size;
    EXPECT_EQ(nxThreadCachedItems(), cached) << size;
    EXPECT_EQ(blockOf(p)->pbUsedCount.load(), 0u) << size;
  }
  expectAllGivenBack();
}

TEST_F(ThreadCacheTest, SecondFreeOfACachedItemIsRefusedWhereverItWaits) {
  // Freed on this thread, freed again here, reallocated or disposed.
  void* here = nxItemGetMem(48);
  ASSERT_EQ(nxItemFreeMem(here), 0);
  EXPECT_THROW(nxItemFreeMem(here), EInvalidPointer);
  EXPECT_THROW(nxItemReallocMem(here, 200), EInvalidPointer);
  EXPECT_THROW(nxPoolForSize(48)->DisposeDirect(here), EInvalidPointer);

  // Freed by a thread that is still alive and keeps it in its cache.
  void* there = nxItemGetMem(48);
  ParkedThread other([there] { EXPECT_EQ(nxItemFreeMem(there), 0); });
  EXPECT_THROW(nxItemFreeMem(there), EInvalidPointer);
  EXPECT_EQ(nxStatAllocated(), 0);
  other.release();
  expectAllGivenBack();
}

// Items no caller holds, though none was ever freed twice: a free of one
// must be refused before it can be handed out twice.
TEST_F(ThreadCacheTest, FreeOfAnItemNoCallerHoldsIsRefused) {
  constexpr std::size_t kSize = 200, kItem = 224;
  auto expectRefused = [](void* p, const char* where) {
    const int64_t allocated = nxStatAllocated();
    EXPECT_THROW(nxItemFreeMem(p), EInvalidPointer) << where;
    EXPECT_THROW(nxItemReallocMem(p, 100), EInvalidPointer) << where;
    EXPECT_THROW(nxPoolForSize(kSize)->DisposeDirect(p), EInvalidPointer) << where;
    EXPECT_EQ(nxStatAllocated(), allocated) << where;
  };
  // A batch takes a fresh block's first items into the cache in address
  // order and hands out the first.
  auto* first = static_cast<uint8_t*>(nxItemGetMem(kSize));
  expectRefused(first + 5 * kItem, "taken into the cache, never handed out");
  expectRefused(first + 100 * kItem, "in its block, never handed out");
  void* given = nxItemGetMem(kSize);
  ASSERT_EQ(nxItemFreeMem(given), 0);
  TnxMemoryPool::Cleanup();  // first keeps the block
  expectRefused(given, "given back to its block by maintenance");
  // Nothing went into a cache twice: the block's items come out once each.
  std::set<void*> seen{first};
  std::vector<void*> taken;
  for (int i = 0; i < 400; ++i) {
    void* p = nxItemGetMem(kSize);
    ASSERT_TRUE(seen.insert(p).second) << i;
    taken.push_back(p);
  }
  for (void* p : taken) EXPECT_EQ(nxItemFreeMem(p), 0);
  EXPECT_EQ(nxItemFreeMem(first), 0);
  expectAllGivenBack();
}

// A free item carries a cookie in its first word (in a cache) or its second
// (in its block): a live item whose data matches is still freed, once.
TEST_F(ThreadCacheTest, LiveItemThatLooksFreeIsStillFreed) {
  for (int word : {0, 1}) {
    auto* p = static_cast<uint32_t*>(nxItemGetMem(64));
    ASSERT_EQ(nxItemFreeMem(p), 0);
    const uint32_t mark = p[0];  // the item's cookie
    auto* q = static_cast<uint32_t*>(nxItemGetMem(64));
    ASSERT_EQ(q, p);
    EXPECT_EQ(q[0], 0u);
    EXPECT_EQ(q[1], 0u);
    q[word] = mark;  // the caller's data happens to match
    EXPECT_EQ(nxItemFreeMem(q), 0) << word;
    EXPECT_EQ(nxStatAllocated(), 0) << word;
    EXPECT_THROW(nxItemFreeMem(q), EInvalidPointer) << word;
  }
  expectAllGivenBack();
}

TEST_F(ThreadCacheTest, ThreadExitGivesItsCacheBack) {
  TnxPoolBlockHeader* block = nullptr;
  std::thread([&] {
    std::vector<void*> items;
    for (int i = 0; i < 10; ++i) items.push_back(nxItemGetMem(200));
    block = blockOf(items[0]);
    for (void* p : items) nxItemFreeMem(p);
    EXPECT_GE(nxThreadCachedItems(), 10u);
  }).join();
  // Back in the block before any maintenance ran.
  EXPECT_EQ(block->pbUsedCount.load(), 0u);
  expectAllGivenBack();
}

// Made before the thread's first allocation, so ended after its cache.
struct FreedAtThreadEnd {
  void* item = nullptr;
  int* result = nullptr;
  ~FreedAtThreadEnd() {
    if (item) *result = nxItemFreeMem(item);
  }
};
thread_local FreedAtThreadEnd tlsFreedAtThreadEnd;

TEST_F(ThreadCacheTest, FreeAfterTheThreadsCacheEndedGoesToThePool) {
  int result = -1;
  std::thread([&] {
    tlsFreedAtThreadEnd.result = &result;
    tlsFreedAtThreadEnd.item = nxItemGetMem(64);
  }).join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(nxStatAllocated(), 0);
  expectAllGivenBack();
}

TEST_F(ThreadCacheTest, MaintenanceEmptiesTheCachesOfRunningThreads) {
  std::vector<void*> items;
  for (int i = 0; i < 300; ++i) items.push_back(nxItemGetMem(16 + (i * 37) % 1000));
  ParkedThread other([&] {
    for (void* p : items) EXPECT_EQ(nxItemFreeMem(p), 0);
    EXPECT_GT(nxThreadCachedItems(), 0u);
  });
  EXPECT_EQ(nxStatAllocated(), 0);
  EXPECT_GT(nxStatReserved(), 0);
  expectAllGivenBack();
  other.release();
}

// The other threads do not exist in a child of fork: maintenance there must
// not wait for them, and the child's own cache must go on working.
TEST_F(ThreadCacheTest, ForkedChildDoesNotWaitForThreadsItLacks) {
  std::vector<void*> items;
  for (int i = 0; i < 20; ++i) items.push_back(nxItemGetMem(64));
  ParkedThread other([&] {
    for (void* p : items) nxItemFreeMem(p);
  });
  void* mine = nxItemGetMem(32);
  ASSERT_EQ(nxItemFreeMem(mine), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(10);  // a hang fails the test instead of stalling it
    void* q = nxItemGetMem(32);
    bool ok = q == mine && nxItemFreeMem(q) == 0;
    TnxMemoryPool::Cleanup();
    // The other thread's cached items were dropped with its cache: their
    // block stays; this thread's went back. No caller holds any of them.
    ok = ok && nxThreadCachedItems() == 0 && nxStatReserved() == 65536 && nxStatAllocated() == 0;
    try {
      nxItemFreeMem(q);
      ok = false;
    } catch (const EInvalidPointer&) {
    }
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  other.release();
  expectAllGivenBack();
}

TEST_F(ThreadCacheTest, ItemsTravelBetweenThreadsInBatches) {
  // One thread allocates, another frees: the freeing cache overflows into
  // the pools and the allocating one refills from them.
  constexpr int kRounds = 200, kPerRound = 100;
  std::vector<void*> box;
  std::mutex m;
  std::condition_variable cv;
  bool full = false, stop = false;
  std::thread freer([&] {
    for (;;) {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return full || stop; });
      if (!full) return;
      for (void* p : box) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        EXPECT_EQ(v, uint32_t(reinterpret_cast<uintptr_t>(p)));
        EXPECT_EQ(nxItemFreeMem(p), 0);
      }
      box.clear();
      full = false;
      cv.notify_all();
    }
  });
  for (int r = 0; r < kRounds; ++r) {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return !full; });
    for (int i = 0; i < kPerRound; ++i) {
      void* p = nxItemGetMem(24 + i % 3 * 8);
      ASSERT_NE(p, nullptr);
      const uint32_t v = uint32_t(reinterpret_cast<uintptr_t>(p));
      std::memcpy(p, &v, 4);
      box.push_back(p);
    }
    full = true;
    cv.notify_all();
  }
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return !full; });
    stop = true;
    cv.notify_all();
  }
  freer.join();
  expectAllGivenBack();
}

// Threads that come and go hand their statistics stripes on: the totals
// stay exact over far more threads than there are stripes, also for items
// allocated on one thread and freed on another after it ended.
TEST_F(ThreadCacheTest, StatisticsStayExactOverManyShortLivedThreads) {
  constexpr int kGenerations = 40, kAtOnce = 4;  // 160 threads
  std::vector<void*> kept;
  std::mutex m;
  int64_t keptBytes = 0;
  for (int g = 0; g < kGenerations; ++g) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kAtOnce; ++t)
      threads.emplace_back([&, g, t] {
        std::vector<void*> mine;
        for (int i = 0; i < 20; ++i) mine.push_back(nxItemGetMem(16 + (g * 7 + t * 13 + i * 29) % 1000));
        for (std::size_t i = 1; i < mine.size(); i += 2) EXPECT_EQ(nxItemFreeMem(mine[i]), 0);
        std::lock_guard<std::mutex> lock(m);
        for (std::size_t i = 0; i < mine.size(); i += 2) {
          kept.push_back(mine[i]);
          keptBytes += int64_t(nxPoolOfItem(mine[i])->mpItemSize);
        }
      });
    for (auto& t : threads) t.join();
    ASSERT_EQ(nxStatAllocated(), keptBytes) << "generation " << g;
  }
  for (void* p : kept) EXPECT_EQ(nxItemFreeMem(p), 0);
  expectAllGivenBack();
}

}  // namespace
}  // namespace revurov::mm
