#include "lowlevel/heap/item_manager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "item_manager_fixture.h"
#include "lowlevel/heap/block_manager.h"
#include "lowlevel/heap/region_manager.h"
#include "platform/rtl_exception.h"
#include "platform/virtual_memory.h"

namespace revurov::mm {
namespace {

using platform::EInvalidPointer;
using platform::TVmOp;
using platform::vmFailNext;

class ItemsTest : public ItemManagerFixture {
protected:
  void TearDown() override {
    // Injected failures and clearing end with the test, before the pools go.
    if (started_) {
      vmFailNext(TVmOp::Any, 0, 0);
      nxClearOnFree.store(0);
    }
    ItemManagerFixture::TearDown();
  }
  static uint32_t sizeOf(void* p) { return nxPoolOfItem(p)->mpItemSize; }
  static bool isLarge(void* p) { return (reinterpret_cast<uintptr_t>(p) & 0xFFFF) == 0; }
};

TEST_F(ItemsTest, SixtyTwoPoolsWithTheirLayouts) {
  const struct {
    uint32_t item, header, perBlock;
  } rows[] = {
      {4, 2080, 15863}, {8, 1056, 8059}, {16, 544, 4061}, {64, 160, 1021},
      {128, 96, 511},   {1024, 48, 63},  {3840, 48, 17},  {32736, 48, 2},
  };
  for (const auto& row : rows) {
    TnxMemoryPool* pool = nxPoolForSize(row.item);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->mpItemSize, row.item);
    EXPECT_EQ(pool->mpBlockHeaderSize, row.header) << row.item;
    EXPECT_EQ(pool->mpItemsPerBlock, row.perBlock) << row.item;
  }
  const uint32_t large[15] = {4064, 4352, 4672, 5024, 5440, 5952, 6528, 7264,
                              8160, 9344, 10912, 13088, 16352, 21824, 32736};
  EXPECT_EQ(nxPoolItemSize(0), 4u);
  EXPECT_EQ(nxPoolItemSize(1), 8u);
  EXPECT_EQ(nxPoolItemSize(5), 64u);
  EXPECT_EQ(nxPoolItemSize(6), 96u);
  EXPECT_EQ(nxPoolItemSize(35), 1024u);
  EXPECT_EQ(nxPoolItemSize(36), 1280u);
  EXPECT_EQ(nxPoolItemSize(46), 3840u);
  for (int i = 0; i < 15; ++i) EXPECT_EQ(nxPoolItemSize(47 + i), large[i]);
  for (int i = 1; i < nxPoolCount; ++i) EXPECT_LT(nxPoolItemSize(i - 1), nxPoolItemSize(i));
}

TEST_F(ItemsTest, ItemIndexByMultiplyMatchesDivision) {
  for (TnxMemoryPool* pool : nxPools) {
    const uintptr_t block = uintptr_t(1) << 20;
    for (uint32_t off = 0; off < 65536; ++off) {
      const int64_t got = pool->ItemIndex(reinterpret_cast<void*>(block + off));
      int64_t want = -1;
      if (off >= pool->mpBlockHeaderSize) {
        const uint32_t rel = off - pool->mpBlockHeaderSize;
        if (rel % pool->mpItemSize == 0 && rel / pool->mpItemSize < pool->mpItemsPerBlock) want = rel / pool->mpItemSize;
      }
      ASSERT_EQ(got, want) << pool->mpItemSize << " at " << off;
    }
  }
}

TEST_F(ItemsTest, RequestsMapToTheirPools) {
  const struct {
    std::size_t request;
    uint32_t pool;  // 0: a large block
  } rows[] = {
      {1, 4},      {4, 4},      {5, 8},         {8, 8},         {9, 16},    {17, 32}, {64, 64},
      {65, 96},    {96, 96},    {97, 128},      {1024, 1024},   {1025, 1280}, {3840, 3840}, {3841, 4064},
      {4065, 4352}, {16353, 21824}, {32735, 32736}, {32736, 0}, {100000, 0},
  };
  for (const auto& row : rows) {
    void* p = nxItemGetMem(row.request);
    ASSERT_NE(p, nullptr) << row.request;
    std::memset(p, 0xEE, row.request);
    if (row.pool) {
      EXPECT_FALSE(isLarge(p)) << row.request;
      EXPECT_EQ(sizeOf(p), row.pool) << row.request;
      const uintptr_t align = row.pool >= 16 ? 16 : row.pool;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u) << row.request;
    } else {
      EXPECT_TRUE(isLarge(p)) << row.request;
      ASSERT_NE(nxLargeBlockLookup(p), nullptr);
      EXPECT_EQ(nxLargeBlockLookup(p)->ltSize, row.request);
    }
    EXPECT_EQ(nxItemFreeMem(p), 0) << row.request;
  }
  EXPECT_EQ(nxItemGetMem(0), nullptr);
  EXPECT_EQ(nxPoolForSize(32737), nullptr);
}

TEST_F(ItemsTest, RefusesPointersThatAreNoLiveItem) {
  auto* item = static_cast<uint8_t*>(nxItemGetMem(100));
  void* twice = nxItemGetMem(100);
  ASSERT_EQ(nxItemFreeMem(twice), 0);
  void* system = std::malloc(64);
  int local = 0;
  void* block4k = nxBlockAllocBySize(nxbs4k);
  const struct {
    const char* what;
    void* p;
  } cases[] = {
      {"middle of an item", item + 8},
      {"item freed before", twice},
      {"system heap", system},
      {"stack", &local},
      {"pool block header", reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(item) & ~uintptr_t(0xFFFF)) + 16)},
      {"a 4 KiB block", static_cast<uint8_t*>(block4k) + 16},
      {"region 0", nxArenaBase() + 16},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(nxItemFreeMem(c.p), EInvalidPointer) << c.what;
    EXPECT_THROW(nxItemReallocMem(c.p, 10), EInvalidPointer) << c.what;
    EXPECT_THROW(nxPools[10]->DisposeDirect(c.p), EInvalidPointer) << c.what;
  }
  // The right pool only.
  EXPECT_THROW(nxPoolForSize(16)->DisposeDirect(item), EInvalidPointer);
  EXPECT_EQ(nxItemFreeMem(item), 0);
  std::free(system);
  nxBlockFreeBySize(nxbs4k, block4k);
  // An unknown 64 KiB-aligned pointer is an unknown large block.
  void* unit = platform::vmReserve(65536, 65536);
  EXPECT_NE(nxItemFreeMem(unit), 0);
  EXPECT_THROW(nxItemReallocMem(unit, 10), EInvalidPointer);
  platform::vmRelease(unit, 65536);
  void* large = nxItemGetMem(50000);
  EXPECT_NE(nxItemFreeMem(static_cast<uint8_t*>(large) + 65536), 0);
  EXPECT_EQ(nxItemFreeMem(large), 0);
  EXPECT_NE(nxItemFreeMem(large), 0);
}

TEST_F(ItemsTest, DisposeTakesTheVariableOutFirst) {
  TnxMemoryPool* pool = nxPoolForSize(48);
  void* p = pool->Alloc();
  pool->Dispose(p);
  EXPECT_EQ(p, nullptr);
  pool->Dispose(p);  // nil does nothing
}

TEST_F(ItemsTest, ReallocationOfPoolItems) {
  const struct {
    std::size_t from, to;
    bool samePlace;
    uint32_t pool;  // the item size it ends in (0: a large block)
  } rows[] = {
      {1024, 1024, true, 1024}, {1024, 40, true, 1024},  {1024, 24, false, 32}, {16, 20, false, 160},
      {16, 16, true, 16},       {64, 65, false, 288},    {100, 1000, false, 4064}, {2000, 5000, false, 10912},
      {5000, 9000, false, 9344}, {9000, 40000, false, 0},   {32735, 32736, true, 32736}, {32735, 32737, false, 0}, {4, 1, true, 4},
  };
  for (const auto& row : rows) {
    auto* p = static_cast<uint8_t*>(nxItemGetMem(row.from));
    const std::size_t keep = std::min(row.from, row.to);
    for (std::size_t i = 0; i < keep; ++i) p[i] = uint8_t(i * 7 + 1);
    auto* q = static_cast<uint8_t*>(nxItemReallocMem(p, row.to));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q == p, row.samePlace) << row.from << " -> " << row.to;
    if (row.pool) {
      EXPECT_EQ(sizeOf(q), row.pool) << row.from << " -> " << row.to;
    } else {
      EXPECT_TRUE(isLarge(q));
    }
    for (std::size_t i = 0; i < keep; ++i) ASSERT_EQ(q[i], uint8_t(i * 7 + 1)) << row.from << " -> " << row.to;
    if (q != p) {
      EXPECT_THROW(nxItemFreeMem(p), EInvalidPointer);  // the old item went back
    }
    EXPECT_EQ(nxItemFreeMem(q), 0);
  }
}

TEST_F(ItemsTest, LargeBlockBecomesGrowableAndGrowsInPlace) {
  auto* p = static_cast<uint8_t*>(nxItemGetMem(100000));
  for (int i = 0; i < 100000; ++i) p[i] = uint8_t(i);
  EXPECT_EQ(nxLargeBlockLookup(p)->ltMapping, 0u);
  auto* q = static_cast<uint8_t*>(nxItemReallocMem(p, 200000));
  ASSERT_NE(q, nullptr);
  TnxLargeBlockTrailer* t = nxLargeBlockLookup(q);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(t->ltMapping, 0u);
  EXPECT_EQ(t->ltGrowCount, 1u);
  EXPECT_EQ(t->ltUnits, 4u);
  EXPECT_EQ(t->ltMaxUnits, 8u);
  // Up to the section size: same address, contents untouched.
  const std::size_t sectionBytes = 8 * 65536 - nxLargeBlockTrailerSize;
  for (std::size_t size : {300000u, 400000u, unsigned(sectionBytes)}) {
    auto* r = static_cast<uint8_t*>(nxItemReallocMem(q, size));
    ASSERT_EQ(r, q) << size;
    EXPECT_EQ(nxLargeBlockLookup(r)->ltSize, size);
    std::memset(r + 200000, 0x11, size - 200000);
  }
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(q[i], uint8_t(i));
  // Past the section: a new block, contents copied.
  auto* s = static_cast<uint8_t*>(nxItemReallocMem(q, sectionBytes + 1));
  ASSERT_NE(s, q);
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(s[i], uint8_t(i));
  EXPECT_EQ(nxLargeBlockLookup(s)->ltGrowCount, 5u);  // one per reallocation
  EXPECT_EQ(nxItemFreeMem(s), 0);
  EXPECT_EQ(nxStatAllocated(), 0);
}

// A block from the large page size on starts on a large page; reallocating
// it keeps its bytes and its records.
TEST_F(ItemsTest, ABlockOfLargePagesStartsOnOneAndResizesAsAnyOther) {
  const std::size_t size = platform::vmLargePagesFrom + 1000;
  auto* p = static_cast<uint8_t*>(nxItemGetMem(size));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % platform::vmLargePageSize, 0u);
  for (std::size_t i = 0; i < size; i += 4093) p[i] = uint8_t(i);
  auto* q = static_cast<uint8_t*>(nxItemReallocMem(p, 2 * size));  // growable now, moved
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(q) % platform::vmLargePageSize, 0u);
  ASSERT_NE(nxLargeBlockLookup(q)->ltMapping, 0u);
  EXPECT_EQ(nxItemReallocMem(q, 3 * size), q);  // in its reservation
  EXPECT_EQ(nxItemReallocMem(q, size), q);
  EXPECT_EQ(nxLargeBlockLookup(q)->ltSize, size);
  for (std::size_t i = 0; i < size; i += 4093) ASSERT_EQ(q[i], uint8_t(i)) << i;
  EXPECT_EQ(nxItemFreeMem(q), 0);
  EXPECT_EQ(nxStatAllocated(), 0);
}

TEST_F(ItemsTest, ShrinkingAGrowableBlockKeepsItsRecordsRight) {
  void* p = nxItemGetMem(40000);
  p = nxItemReallocMem(p, 1000000);  // growable
  ASSERT_NE(nxLargeBlockLookup(p)->ltMapping, 0u);
  std::memset(p, 0x42, 1000000);
  const int64_t reservedBefore = nxStatReserved();
  void* q = nxItemReallocMem(p, 400000);
  ASSERT_EQ(q, p);
  TnxLargeBlockTrailer* t = nxLargeBlockLookup(q);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->ltSize, 400000u);
  EXPECT_EQ(t->ltUnits, 7u);
  EXPECT_EQ(t->ltPagesCommitted, 98u);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(t), static_cast<uint8_t*>(q) + 98 * 4096 - nxLargeBlockTrailerSize);
  EXPECT_LT(nxStatReserved(), reservedBefore);
  EXPECT_EQ(nxStatAllocated(), 400000);
  for (int i = 0; i < 400000; ++i) ASSERT_EQ(static_cast<uint8_t*>(q)[i], 0x42);
  // Far smaller moves to a fresh block.
  void* r = nxItemReallocMem(q, 1000);
  EXPECT_NE(r, q);
  EXPECT_EQ(sizeOf(r), 1024u);
  EXPECT_EQ(nxItemFreeMem(r), 0);
  EXPECT_EQ(nxStatAllocated(), 0);
}

TEST_F(ItemsTest, PlainLargeBlockResizesInItsPages) {
  void* p = nxItemGetMem(50000);
  EXPECT_EQ(nxItemReallocMem(p, 50100), p);  // same page count
  EXPECT_EQ(nxLargeBlockLookup(p)->ltSize, 50100u);
  void* q = nxItemReallocMem(p, 20000);  // back into a pool
  EXPECT_FALSE(isLarge(q));
  EXPECT_EQ(sizeOf(q), 21824u);
  EXPECT_EQ(nxItemFreeMem(q), 0);
}

TEST_F(ItemsTest, FailedCommitsLeaveEverythingAsItWas) {
  vmFailNext(TVmOp::Commit, 1);
  EXPECT_EQ(nxItemGetMem(100000), nullptr);
  vmFailNext(TVmOp::Reserve, 1);
  EXPECT_EQ(nxLargeBlockAlloc(100000, 3), nullptr);
  EXPECT_EQ(nxStatReserved(), 0);

  auto* p = static_cast<uint8_t*>(nxLargeBlockAlloc(100000, 1));
  std::memset(p, 0x33, 100000);
  vmFailNext(TVmOp::Commit, 1);
  EXPECT_EQ(nxItemReallocMem(p, 250000), nullptr);  // growing in place failed
  EXPECT_EQ(nxLargeBlockLookup(p)->ltSize, 100000u);
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(p[i], 0x33);
  EXPECT_EQ(nxItemReallocMem(p, 250000), p);
  EXPECT_EQ(nxItemFreeMem(p), 0);

  // No region to be had: pool allocation answers nil, then recovers.
  vmFailNext(TVmOp::Commit, 1, 1 << 30);
  std::vector<void*> items;
  while (void* q = nxItemGetMem(30000)) items.push_back(q);  // what committed blocks still hold
  EXPECT_LE(items.size(), 2u * 64);
  vmFailNext(TVmOp::Any, 0, 0);
  for (void* q : items) EXPECT_EQ(nxItemFreeMem(q), 0);
  void* q = nxItemGetMem(30000);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(nxItemFreeMem(q), 0);
}

TEST_F(ItemsTest, MaintenanceGivesEmptyBlocksBack) {
  TnxMemoryPool* pool = nxPoolForSize(1024);
  std::vector<void*> items;
  for (uint32_t i = 0; i < pool->mpItemsPerBlock + 1; ++i) items.push_back(pool->Alloc());
  EXPECT_EQ(nxStatReserved(), 2 * 65536);
  EXPECT_EQ(nxStatOverhead(), 2 * 48);
  EXPECT_EQ(nxStatAllocated(), int64_t(items.size()) * 1024);
  for (std::size_t i = 0; i < pool->mpItemsPerBlock; ++i) pool->DisposeDirect(items[i]);
  TnxMemoryPool::Cleanup();
  EXPECT_EQ(nxStatReserved(), 65536);
  EXPECT_EQ(nxStatCommitted(), 65536);
  pool->DisposeDirect(items.back());
  TnxMemoryPool::Cleanup();
  EXPECT_EQ(nxStatReserved(), 0);
  EXPECT_EQ(nxStatAllocated(), 0);
  nxBlockTrim();
  EXPECT_EQ(nxRegionsInUse(), 0);
}

// A thread that read the list switch just before maintenance flipped it
// pushes its block onto the retired list; when that block then empties,
// the next maintenance round must still find it.
TEST_F(ItemsTest, MaintenanceFindsABlockPushedOntoTheRetiredList) {
  TnxMemoryPool* pool = nxPoolForSize(1024);
  void* p = pool->Alloc();
  ASSERT_NE(p, nullptr);
  const bool second = pool->mpPartialFreeBlockBool.load() != 0;
  TnxArenaListHead& current = second ? pool->mpPartialFreeBlockHead2 : pool->mpPartialFreeBlockHead1;
  TnxArenaListHead& retired = second ? pool->mpPartialFreeBlockHead1 : pool->mpPartialFreeBlockHead2;
  const uint32_t block = nxArenaListPop(current);
  ASSERT_EQ(block, nxArenaOffset(p) & ~0xFFFFu);
  nxArenaListPush(retired, block);
  pool->DisposeDirect(p);
  TnxMemoryPool::Cleanup();
  EXPECT_EQ(nxStatReserved(), 0);
  nxBlockTrim();
  EXPECT_EQ(nxRegionsInUse(), 0);
}

// A thread between reading a block list's head and reading that block's
// link must not find the block (or its region) given back meanwhile.
TEST_F(ItemsTest, MaintenanceKeepsEmptyBlocksWhileABlockPopIsInFlight) {
  TnxMemoryPool* pool = nxPoolForSize(1024);
  void* p = pool->Alloc();
  ASSERT_NE(p, nullptr);
  pool->DisposeDirect(p);
  pool->mpPopsInFlight.fetch_add(1);  // a pop that stalls
  TnxMemoryPool::Cleanup();
  nxBlockTrim();
  nxRegionTrim();
  EXPECT_EQ(nxStatReserved(), 65536);
  EXPECT_EQ(nxRegionsInUse(), 1);
  EXPECT_EQ(nxArenaListFirst(pool->mpFreeBlockHead), nxArenaOffset(p) & ~0xFFFFu);  // kept for next time
  pool->mpPopsInFlight.fetch_sub(1);
  TnxMemoryPool::Cleanup();
  nxBlockTrim();
  EXPECT_EQ(nxStatReserved(), 0);
  EXPECT_EQ(nxRegionsInUse(), 0);
}

TEST_F(ItemsTest, ClearOnFreeZeroesWhatWasFreed) {
  nxClearOnFree.store(1);
  auto* p = static_cast<uint8_t*>(nxItemGetMem(64));
  std::memset(p, 0xFF, 64);
  nxItemFreeMem(p);
  for (int i = 4; i < 64; ++i) ASSERT_EQ(p[i], 0) << i;  // the first word holds the link
}

// Random allocations, reallocations and frees against a plain model: every
// live block keeps its own fill, and no two live blocks overlap.
TEST_F(ItemsTest, RandomUseMatchesAModel) {
  std::mt19937 rng(7);
  std::map<uint8_t*, std::pair<std::size_t, uint8_t>> live;
  auto sizeFor = [&] {
    switch (rng() % 4) {
      case 0: return std::size_t(1 + rng() % 64);
      case 1: return std::size_t(1 + rng() % 1024);
      case 2: return std::size_t(1 + rng() % 40000);
      default: return std::size_t(1 + rng() % 300000);
    }
  };
  auto check = [&](uint8_t* p) {
    const auto [size, fill] = live[p];
    for (std::size_t i = 0; i < size; i += 61) ASSERT_EQ(p[i], fill);
    ASSERT_EQ(p[size - 1], fill);
  };
  for (int step = 0; step < 4000; ++step) {
    const unsigned op = rng() % 3;
    if (op == 0 || live.empty()) {
      const std::size_t size = sizeFor();
      auto* p = static_cast<uint8_t*>(nxItemGetMem(size));
      ASSERT_NE(p, nullptr);
      auto next = live.lower_bound(p);
      if (next != live.end()) {
        ASSERT_LE(p + size, next->first);
      }
      if (next != live.begin()) {
        ASSERT_LE(std::prev(next)->first + std::prev(next)->second.first, p);
      }
      const uint8_t fill = uint8_t(rng());
      std::memset(p, fill, size);
      live[p] = {size, fill};
    } else {
      auto it = live.begin();
      std::advance(it, rng() % live.size());
      uint8_t* p = it->first;
      check(p);
      if (op == 1) {
        ASSERT_EQ(nxItemFreeMem(p), 0);
        live.erase(it);
      } else {
        const auto [size, fill] = it->second;
        const std::size_t newSize = sizeFor();
        auto* q = static_cast<uint8_t*>(nxItemReallocMem(p, newSize));
        ASSERT_NE(q, nullptr);
        live.erase(it);
        for (std::size_t i = 0; i < std::min(size, newSize); i += 61) ASSERT_EQ(q[i], fill);
        std::memset(q, fill, newSize);
        live[q] = {newSize, fill};
      }
    }
    if (step % 500 == 0) TnxMemoryPool::Cleanup();
  }
  for (auto& [p, v] : live) {
    check(p);
    ASSERT_EQ(nxItemFreeMem(p), 0);
  }
  EXPECT_EQ(nxStatAllocated(), 0);
}

}  // namespace
}  // namespace revurov::mm
