#include "lowlevel/heap/block_manager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "heap_test_guard.h"
#include "lowlevel/heap/region_manager.h"
#include "lowlevel/heap/types.h"
#include "platform/virtual_memory.h"

namespace revurov::mm {
namespace {

using platform::TVmOp;
using platform::vmFailNext;

int cleanupCalls = 0;
void countCleanup() { ++cleanupCalls; }

int reserveLength() {
  int n = 0;
  for (TnxListEntry* e = nxRegionReserve->rrCommittedReserve.lhFirst; e; e = e->leNext) ++n;
  return n;
}

bool spareInUse() { return __atomic_load_n(nxCommittedReserveInUse(), __ATOMIC_ACQUIRE) != nullptr; }

class RegionsTest : public ::testing::Test {
protected:
  void SetUp() override {
    REVUROV_SKIP_WHILE_HEAP_BOUND();
    started_ = true;
    ASSERT_TRUE(nxBlockManagersStartup());
    cleanupCalls = 0;
    nxCleanupHook = &countCleanup;
  }
  void TearDown() override {
    if (!started_) return;
    vmFailNext(TVmOp::Any, 0, 0);
    nxCleanupHook = &nxCleanupHookDefault;
    nxBlockManagersShutdown();
  }
  static uint32_t index(void* p) { return nxRegionIndex(p); }
  bool started_ = false;
};

TEST_F(RegionsTest, StartsWithFiveSparesAndNoneInUse) {
  EXPECT_EQ(reserveLength(), 5);
  EXPECT_FALSE(spareInUse());
  EXPECT_EQ(nxRegionsInUse(), 0);
  EXPECT_EQ(nxPhysicalSupportedFlag, 0u);
  EXPECT_EQ(nxPhysicalActiveFlag, 0u);
  EXPECT_EQ(nxRegionTakePhysical(), nullptr);
  EXPECT_EQ(nxPhysicalBlockAlloc(&nxPhysicalBlockManagers[nxbs4k]), nullptr);
}

TEST_F(RegionsTest, HandsOutRegionsFromTheTopAndReusesReleasedOnesFirst) {
  void* a = nxRegionTakeCommitted();
  void* b = nxRegionTakeCommitted();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(index(a), 1023u - 5);  // the five highest went to the reserve
  EXPECT_EQ(index(b), index(a) - 1);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % nxRegionSize, 0u);
  std::memset(a, 1, nxRegionSize);  // committed whole
  EXPECT_TRUE(nxRegionReleaseCommitted(a));
  EXPECT_TRUE(nxBitmapTest(nxCommittedFreeRegions, index(a)));
  EXPECT_EQ(nxRegionTakeCommitted(), a);
  EXPECT_TRUE(nxRegionReleaseCommitted(a));
  EXPECT_TRUE(nxRegionReleaseCommitted(b));
  nxRegionTrim();
  EXPECT_FALSE(nxBitmapTest(nxCommittedFreeRegions, index(a)));
  EXPECT_TRUE(nxBitmapTest(nxAvailableRegions, index(a)));
  EXPECT_EQ(nxRegionsInUse(), 0);
}

TEST_F(RegionsTest, RefusesAddressesThatAreNoRegion) {
  void* a = nxRegionTakeCommitted();
  int local = 0;
  const struct {
    const char* what;
    void* address;
  } cases[] = {
      {"misaligned", static_cast<uint8_t*>(a) + 4096},
      {"region 0", nxArenaBase()},
      {"outside the arena", &local},
      {"nil", nullptr},
  };
  for (const auto& c : cases) EXPECT_FALSE(nxRegionReleaseCommitted(c.address)) << c.what;
  EXPECT_TRUE(nxRegionReleaseCommitted(a));
}

TEST_F(RegionsTest, FailedCommitMovesToTheNextSlotAndIsRetriedLater) {
  vmFailNext(TVmOp::Commit, 1);
  void* a = nxRegionTakeCommitted();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(index(a), 1023u - 6);
  EXPECT_TRUE(nxBitmapTest(nxFailedRegions, 1023 - 5));
  EXPECT_TRUE(nxRegionReleaseCommitted(a));
}

TEST_F(RegionsTest, ExhaustionMergesFailedSlotsCallsCleanupThenUsesTheReserve) {
  std::vector<void*> taken;
  vmFailNext(TVmOp::Commit, 1);  // one slot fails and waits in the failed map
  for (;;) {
    void* r = nxRegionTakeCommitted();
    ASSERT_NE(r, nullptr);
    taken.push_back(r);
    if (spareInUse()) break;
  }
  // 1018 slots outside the reserve, the failed one retried after the merge,
  // then the cleanup hook, then one spare.
  EXPECT_EQ(taken.size(), 1019u);
  EXPECT_EQ(cleanupCalls, 1);
  EXPECT_EQ(reserveLength(), 4);
  for (int i = 0; i < 4; ++i) taken.push_back(nxRegionTakeCommitted());
  EXPECT_EQ(nxRegionTakeCommitted(), nullptr);
  EXPECT_EQ(reserveLength(), 0);
  // Giving regions back refills the reserve before anything else.
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(spareInUse());
    EXPECT_TRUE(nxRegionReleaseCommitted(taken.back()));
    taken.pop_back();
  }
  EXPECT_FALSE(spareInUse());
  EXPECT_EQ(reserveLength(), 5);
  for (void* r : taken) EXPECT_TRUE(nxRegionReleaseCommitted(r));
  EXPECT_EQ(nxRegionsInUse(), 0);
}

TEST_F(RegionsTest, FailedDecommitOfARefillGoesToTheFailedMap) {
  std::vector<void*> taken;
  while (void* r = nxRegionTakeCommitted()) {
    taken.push_back(r);
    if (spareInUse()) break;
  }
  void* last = taken.back();
  taken.pop_back();
  vmFailNext(TVmOp::Decommit, 1);
  EXPECT_TRUE(nxRegionReleaseCommitted(last));
  EXPECT_TRUE(nxBitmapTest(nxFailedRegions, index(last)));
  EXPECT_TRUE(spareInUse());  // still waiting for a refill
  EXPECT_TRUE(nxRegionReleaseCommitted(taken.back()));
  taken.pop_back();
  EXPECT_EQ(reserveLength(), 5);
  for (void* r : taken) nxRegionReleaseCommitted(r);
}

// ---- block managers ----

using BlocksTest = RegionsTest;

TEST_F(BlocksTest, EverySizeIsAlignedAndFreedOnce) {
  const struct {
    TnxBlockSizeAll size;
    uint32_t bytes, words, fullMask;
  } rows[] = {
      {nxbs4k, 4096, 32, 0xFFFFFFFF}, {nxbs8k, 8192, 16, 0xFFFF}, {nxbs16k, 16384, 8, 0xFF},
      {nxbs32k, 32768, 4, 0xF},       {nxbs64k, 65536, 2, 0x3},   {nxbs4M, 4194304, 0, 0},
  };
  for (const auto& row : rows) {
    TnxBlockManager* m = &nxCommittedBlockManagers[row.size];
    EXPECT_EQ(m->bmBlockSize, row.bytes);
    EXPECT_EQ(m->bmWordsPerRegion, row.words);
    EXPECT_EQ(m->bmFullMask, row.fullMask);
    void* p = nxBlockAllocBySize(row.size);
    ASSERT_NE(p, nullptr) << row.bytes;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % row.bytes, 0u);
    std::memset(p, 0x5A, row.bytes);
    EXPECT_EQ(nxBlockOwnerOf(p), m);
    EXPECT_FALSE(nxBlockFree(m, static_cast<uint8_t*>(p) + 64)) << "misaligned";
    EXPECT_TRUE(nxBlockFreeBySize(row.size, p));
    EXPECT_FALSE(nxBlockFree(m, p)) << "second free of " << row.bytes;
  }
  EXPECT_FALSE(nxBlockFree(nullptr, nxRegionAddress(1)));
}

TEST_F(BlocksTest, FourMegabyteBlockIsAWholeRegionGoingStraightBack) {
  void* p = nxBlockAllocBySize(nxbs4M);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(nxArenaOffset(p) % nxRegionSize, 0u);
  EXPECT_TRUE(nxBlockFreeBySize(nxbs4M, p));
  EXPECT_EQ(nxBlockOwnerOf(p), nullptr);
  EXPECT_TRUE(nxBitmapTest(nxCommittedFreeRegions, nxRegionIndex(p)));
}

TEST_F(BlocksTest, FreeingWithTheWrongManagerChangesNothing) {
  void* p = nxBlockAllocBySize(nxbs64k);
  EXPECT_FALSE(nxBlockFreeBySize(nxbs4k, p));
  EXPECT_TRUE(nxBlockIsAllocated(&nxCommittedBlockManagers[nxbs64k], p));
  EXPECT_FALSE(nxMapableFreeByAddress(static_cast<uint8_t*>(p) + 16));
  EXPECT_TRUE(nxMapableFreeByAddress(p));
}

TEST_F(BlocksTest, BlocksComeFromTheHighestFreeAddressDown) {
  void* a = nxBlockAllocBySize(nxbs4k);
  void* b = nxBlockAllocBySize(nxbs4k);
  EXPECT_EQ(static_cast<uint8_t*>(a) + 4096, static_cast<uint8_t*>(nxRegionAddress(nxRegionIndex(a))) + nxRegionSize);
  EXPECT_EQ(static_cast<uint8_t*>(b) + 4096, a);
  nxBlockFreeBySize(nxbs4k, b);
  EXPECT_EQ(nxBlockAllocBySize(nxbs4k), b);
  nxBlockFreeBySize(nxbs4k, a);
  nxBlockFreeBySize(nxbs4k, b);
}

TEST_F(BlocksTest, TrimReclaimsAWhollyFreeRegionForAnotherManager) {
  std::vector<void*> blocks;
  for (int i = 0; i < 1024; ++i) blocks.push_back(nxBlockAllocBySize(nxbs4k));
  const uint32_t r = nxRegionIndex(blocks[0]);
  for (void* p : blocks) ASSERT_EQ(nxRegionIndex(p), r);
  void* kept = nxBlockAllocBySize(nxbs4k);  // a second region, partly used
  for (void* p : blocks) ASSERT_TRUE(nxBlockFreeBySize(nxbs4k, p));
  nxBlockTrim();
  EXPECT_EQ(nxBlockOwnerOf(blocks[0]), nullptr);
  // The reclaimed region's hint is gone from its former owner's map, so the
  // 4 KiB manager does not keep coming back to it.
  EXPECT_FALSE(nxBitmapTest(nxCommittedBlockManagers[nxbs4k].bmRegions, r));
  EXPECT_TRUE(nxBitmapTest(nxCommittedBlockManagers[nxbs4k].bmRegions, nxRegionIndex(kept)));
  void* big = nxBlockAllocBySize(nxbs64k);
  EXPECT_EQ(nxRegionIndex(big), r);
  void* small = nxBlockAllocBySize(nxbs4k);
  EXPECT_EQ(nxRegionIndex(small), nxRegionIndex(kept));
  EXPECT_FALSE(nxBlockFreeBySize(nxbs4k, blocks[0]));  // now another manager's
  nxBlockFreeBySize(nxbs4k, small);
  nxBlockFreeBySize(nxbs4k, kept);
  nxBlockFreeBySize(nxbs64k, big);
  nxBlockTrim();
  EXPECT_EQ(nxRegionsInUse(), 0);
}

TEST_F(BlocksTest, RunsOutCleanlyWhenNothingCanBeCommitted) {
  vmFailNext(TVmOp::Commit, 1, 1 << 30);
  EXPECT_EQ(nxBlockAllocBySize(nxbs64k), nullptr);
  EXPECT_EQ(cleanupCalls, 1);
  EXPECT_EQ(reserveLength(), 0);  // every spare was tried
  vmFailNext(TVmOp::Any, 0, 0);
  void* p = nxBlockAllocBySize(nxbs64k);  // the failed slots come back
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(nxBlockFreeBySize(nxbs64k, p));
}

}  // namespace
}  // namespace revurov::mm

namespace revurov::mm {
namespace {

TEST(HeapStartup, FailsCleanlyWithoutTheArenaAndStartsLater) {
  REVUROV_SKIP_WHILE_HEAP_BOUND();
  const struct {
    const char* what;
    platform::TVmOp op;
  } cases[] = {{"arena reservation", platform::TVmOp::Reserve}, {"first region's records", platform::TVmOp::Commit}};
  for (const auto& c : cases) {
    platform::vmFailNext(c.op, 1);
    EXPECT_FALSE(nxBlockManagersStartup()) << c.what;
    EXPECT_EQ(nxArenaBase(), nullptr) << c.what;
    EXPECT_EQ(nxBlockAllocBySize(nxbs4k), nullptr) << c.what;
    platform::vmFailNext(platform::TVmOp::Any, 0, 0);
  }
  ASSERT_TRUE(nxBlockManagersStartup());
  ASSERT_TRUE(nxBlockManagersStartup());  // counted
  void* p = nxBlockAllocBySize(nxbs4k);
  EXPECT_NE(p, nullptr);
  nxBlockManagersShutdown();
  EXPECT_TRUE(nxBlockFreeBySize(nxbs4k, p));  // still running after one shut-down
  nxBlockTrim();
  nxBlockManagersShutdown();
  EXPECT_EQ(nxArenaBase(), nullptr);
}

}  // namespace
}  // namespace revurov::mm
