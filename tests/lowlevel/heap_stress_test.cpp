// Eight threads allocate, free and pass blocks to each other while a ninth
// trims, as the maintenance thread does. Every block carries its owner's
// stamp; a block handed out twice shows as an overwritten stamp.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "heap_test_guard.h"
#include "lowlevel/heap/block_manager.h"
#include "lowlevel/heap/item_manager.h"
#include "lowlevel/heap/region_manager.h"

namespace revurov::mm {
namespace {

struct Held {
  uint8_t* p;
  std::size_t size;  // bytes stamped; 0: a 4 KiB block of the block manager
  uint32_t stamp;
};

void stamp(const Held& h) {
  const std::size_t n = h.size ? h.size : 4096;
  std::memcpy(h.p, &h.stamp, 4);
  std::memcpy(h.p + n - 4, &h.stamp, 4);
  if (n >= 16) std::memcpy(h.p + 4, &n, sizeof(uint32_t));
}

bool stampIntact(const Held& h) {
  const std::size_t n = h.size ? h.size : 4096;
  uint32_t a, b;
  std::memcpy(&a, h.p, 4);
  std::memcpy(&b, h.p + n - 4, 4);
  return a == h.stamp && b == h.stamp;
}

TEST(HeapStress, EightThreadsNeverShareABlock) {
  REVUROV_SKIP_WHILE_HEAP_BOUND();
  ASSERT_TRUE(nxItemManagerStartup());
  constexpr int kThreads = 8;
  constexpr int kSlots = 64;
  // Items of 16 bytes and more travel between threads; size and stamp
  // travel inside them.
  std::atomic<uint8_t*> mailbox[kSlots] = {};
  std::atomic<bool> stop{false};
  std::atomic<int> clashes{0}, failures{0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);

  auto worker = [&](int id) {
    std::mt19937 rng(id * 7919 + 1);
    std::vector<Held> held;
    uint32_t serial = 0;
    for (int op = 0; op < 400000 && std::chrono::steady_clock::now() < deadline; ++op) {
      const unsigned r = rng() % 100;
      if (r < 45 || held.empty()) {
        Held h{};
        h.stamp = (uint32_t(id + 1) << 24) | (++serial & 0xFFFFFF);
        if (r < 3) {
          h.p = static_cast<uint8_t*>(nxBlockAllocBySize(nxbs4k));
          h.size = 0;
        } else {
          h.size = r < 10 ? 4 + 4 * (rng() % 2) : r < 40 ? 16 + rng() % 1009 : 16 + rng() % 32000;
          h.p = static_cast<uint8_t*>(nxItemGetMem(h.size));
        }
        if (!h.p) {
          ++failures;
          continue;
        }
        stamp(h);
        held.push_back(h);
      } else {
        const std::size_t i = rng() % held.size();
        Held h = held[i];
        held[i] = held.back();
        held.pop_back();
        if (!stampIntact(h)) ++clashes;
        if (r < 75 && h.size >= 16) {
          // Pass it on and free whatever the slot held: a cross-thread free.
          uint8_t* other = mailbox[rng() % kSlots].exchange(h.p);
          if (!other) continue;
          Held o{other, 0, 0};
          uint32_t n;
          std::memcpy(&o.stamp, other, 4);
          std::memcpy(&n, other + 4, 4);
          o.size = n;
          if (!stampIntact(o)) ++clashes;
          h = o;
        }
        if (h.size == 0) {
          if (!nxBlockFreeBySize(nxbs4k, h.p)) ++failures;
        } else if (nxItemFreeMem(h.p) != 0) {
          ++failures;
        }
      }
      if (op % 4096 == 0)
        for (const Held& x : held)
          if (!stampIntact(x)) ++clashes;
    }
    for (const Held& h : held) {
      if (!stampIntact(h)) ++clashes;
      if (h.size == 0) {
        nxBlockFreeBySize(nxbs4k, h.p);
      } else {
        nxItemFreeMem(h.p);
      }
    }
  };

  std::thread trimmer([&] {
    for (int round = 0; !stop.load(); ++round) {
      TnxMemoryPool::Cleanup();
      nxBlockTrim();
      if (round % 8 == 0) nxRegionTrim();
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
  for (auto& t : threads) t.join();
  stop = true;
  trimmer.join();
  for (auto& slot : mailbox)
    if (uint8_t* p = slot.exchange(nullptr)) nxItemFreeMem(p);

  EXPECT_EQ(clashes.load(), 0);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(nxStatAllocated(), 0);
  TnxMemoryPool::Cleanup();
  nxBlockTrim();
  EXPECT_EQ(nxStatReserved(), 0);
  EXPECT_EQ(nxRegionsInUse(), 0);
  nxItemManagerShutdown();
}

}  // namespace
}  // namespace revurov::mm
