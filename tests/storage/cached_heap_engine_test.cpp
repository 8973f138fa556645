#include "storage/cached_heap_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dictionary/storage_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/block_access.h"
#include "storage/block_heap_engine.h"
#include "storage/header_access.h"
#include "support/table_fixture.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using platform::LoadU16;
using platform::LoadU32;
using platform::StoreU16;
using platform::StoreU32;

uint32_t CodeOf(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const EnxBaseException& e) {
    return e.ErrorCode();
  }
  return 0;
}

// A heap in a fresh table file, owned as a blob heap (no chain) or as a
// record heap (data blocks chained, so the test can list them).
class CachedHeapTest : public ::testing::Test {
protected:
  void Make(bool aRecordHeap) {
    recordHeap_ = aRecordHeap;
    descriptor_.AddBlockHeapDescriptor();
    auto header = t_.Access().HeaderAccess(&t_.Trans(), true);
    section_ = header->RegisterHeaderSection(aRecordHeap ? "HeapR" : "HeapB", 24, true, false);
    header.reset();
    heap_ = NewHeap();
  }
  std::unique_ptr<TnxCachedHeapEngine> NewHeap() {
    std::unique_ptr<TnxHeapHeaderHandler> handler;
    if (recordHeap_)
      handler = std::make_unique<TnxVariableRecordHeapHeaderHandler>(section_);
    else
      handler = std::make_unique<TnxSegmentedBlobHeapHeaderHandler>(section_);
    auto heap = TnxBaseHeapEngine::CreateEngine(&descriptor_, t_.Access(), std::move(handler));
    return std::unique_ptr<TnxCachedHeapEngine>(static_cast<TnxCachedHeapEngine*>(heap.release()));
  }
  TnxCachedHeapEngine& Heap() { return *heap_; }
  TnxBaseTransaction& Trans() { return t_.Trans(); }

  TnxHeapRef Alloc(const std::vector<uint8_t>& aBytes) {
    const void* p[] = {aBytes.data()};
    const uint16_t s[] = {static_cast<uint16_t>(aBytes.size())};
    return Heap().AllocSegment(Trans(), p, s);
  }
  std::vector<uint8_t> Read(TnxHeapRef aRef) {
    TnxBlockGuard guard;
    uint16_t size = 0;
    PnxBlock block = nullptr;
    const uint8_t* p = Heap().GetSegment(&Trans(), aRef, false, size, block, guard.ReleaseMethod());
    guard.Hold(block);
    return std::vector<uint8_t>(p, p + size);
  }
  void Free(TnxHeapRef aRef) {
    TnxBlockGuard guard;
    uint16_t size = 0;
    PnxBlock block = nullptr;
    Heap().GetSegment(&Trans(), aRef, true, size, block, guard.ReleaseMethod());
    guard.Hold(block);
    Heap().bheBlockHeapEngine->FreeSegment(block, nxHeapRefSegment(aRef));
  }
  uint32_t FirstMapBlock() {
    auto header = t_.Access().HeaderAccess(&Trans(), false);
    return Heap().GetFirstMapBlock(*header);
  }
  uint16_t Freespace(TnxBlockNumber aBlock) {
    TnxBlockGuard guard;
    guard.Hold(Heap().ReadBlockHeap(&Trans(), aBlock, false, guard.ReleaseMethod()));
    return Heap().bheBlockHeapEngine->GetFreespace(guard.Block());
  }
  // The record heap's chain of data blocks, first to last.
  std::set<uint32_t> ChainedBlocks() {
    std::set<uint32_t> blocks;
    auto header = t_.Access().HeaderAccess(&Trans(), false);
    uint32_t n = LoadU32(header->Header() + section_ + nxrhSectionFirst);
    header.reset();
    while (n != 0 && blocks.size() < 100000) {
      blocks.insert(n);
      TnxBlockGuard guard;
      guard.Hold(Heap().ReadBlockHeap(&Trans(), n, false, guard.ReleaseMethod()));
      n = LoadU32(guard.Block() + nxrhBlockNext);
    }
    return blocks;
  }
  // Writes into a committed management block through a transaction.
  void Patch(uint32_t aBlock, const std::function<void(uint8_t*)>& aChange) {
    TnxBlockGuard guard;
    guard.Hold(t_.Access().GetBlock(&Trans(), aBlock, 0, true, guard.ReleaseMethod()));
    aChange(guard.Block());
    guard.Release();
    t_.Commit();
  }

  testing::TTableFixture t_;
  TnxBaseHeapDescriptor descriptor_{nullptr};
  uint16_t section_ = 0;
  bool recordHeap_ = false;
  std::unique_ptr<TnxCachedHeapEngine> heap_;
};

TEST_F(CachedHeapTest, BuiltFromTheDefaultDescriptor) {
  Make(false);
  EXPECT_EQ(&Heap().ClassType(), &TnxCachedHeapEngine::ClassInfo());
  const uint32_t usable = t_.Access().fiBlockSizeBytes();
  EXPECT_EQ(Heap().heMaxEntries, (usable - 22) / 6);
  EXPECT_EQ(Heap().heCutoffSize, 40);
  EXPECT_EQ(Heap().heFirstNonFullIndex, 0xFFFF);
  EXPECT_FALSE(Heap().heManagmentBlocksLoaded);
  EXPECT_EQ(Heap().bheHeapRefMask, static_cast<TnxHeapRef>(0xFFFFFFFF0000FFFFull));
  EXPECT_EQ(Heap().SigDataBlock(), (TnxBlockSignature{'N', 'X', 'H', 'D'}));
}

TEST_F(CachedHeapTest, FirstBlockIsTrackedOnlyWithRoomLeft) {
  Make(false);
  const uint16_t max = Heap().bheBlockHeapEngine->bbheMaxSegmentSize;
  // Nearly a whole block: under 40 bytes stay, so nothing is tracked.
  const TnxHeapRef big = Alloc(std::vector<uint8_t>(max - 20, 1));
  ASSERT_NE(big, 0);
  EXPECT_TRUE(Heap().heByBlockNumber.empty());
  EXPECT_EQ(FirstMapBlock(), 0u);
  // A small one opens a second block, tracked in a new management block.
  const TnxHeapRef small = Alloc(std::vector<uint8_t>(100, 2));
  ASSERT_NE(small, 0);
  EXPECT_NE(nxHeapRefBlock(small), nxHeapRefBlock(big));
  ASSERT_EQ(Heap().heManagmentBlocks.size(), 1u);
  EXPECT_EQ(FirstMapBlock(), Heap().heManagmentBlocks[0].hmpiBlockNumber);
  EXPECT_EQ(Heap().heByFreeSpace.rbegin()->second, nxHeapRefBlock(small));
  EXPECT_EQ(Heap().heByFreeSpace.rbegin()->first, Freespace(nxHeapRefBlock(small)));
  EXPECT_EQ(Read(small), std::vector<uint8_t>(100, 2));
}

TEST_F(CachedHeapTest, FreeingTheLastSegmentDeletesBlockAndMap) {
  // A 1-byte segment: freeing it leaves the reported room unchanged (the
  // 8-byte reserve takes its 4), and the block must go all the same.
  for (uint16_t size : {uint16_t{1}, uint16_t{200}}) {
    SCOPED_TRACE(size);
    t_.Rollback();
    Make(true);
    const TnxHeapRef ref = Alloc(std::vector<uint8_t>(size, 7));
    ASSERT_EQ(Heap().heByBlockNumber.size(), 1u);
    EXPECT_EQ(ChainedBlocks(), std::set<uint32_t>{nxHeapRefBlock(ref)});
    Free(ref);
    EXPECT_TRUE(Heap().heByBlockNumber.empty());
    EXPECT_TRUE(Heap().heManagmentBlocks.empty());
    EXPECT_EQ(FirstMapBlock(), 0u);
    EXPECT_TRUE(ChainedBlocks().empty());
  }
}

TEST_F(CachedHeapTest, OversizedRequests) {
  Make(false);
  const uint16_t max = Heap().bheBlockHeapEngine->bbheMaxSegmentSize;
  // 40,000 + 26,000 wraps to 464 in 16 bits; the whole is refused.
  std::vector<uint8_t> a(40000, 1), b(26000, 2);
  const void* p[] = {a.data(), b.data()};
  const uint16_t s[] = {40000, 26000};
  EXPECT_EQ(Heap().AllocSegment(Trans(), p, s), 0);
  const uint16_t over[] = {static_cast<uint16_t>(max + 1)};
  EXPECT_EQ(Heap().AllocSegment(Trans(), std::span<const void* const>(), over), 0);
  EXPECT_EQ(FirstMapBlock(), 0u);
  // The extended form opens a new block and fills it with whole items.
  const uint32_t want[] = {uint32_t{max} + 500};
  uint16_t size = 0;
  const TnxHeapRef ref =
      Heap().AllocSegmentEx(Trans(), std::span<const void* const>(), want, 100, size, 10, 16, true);
  ASSERT_NE(ref, 0);
  EXPECT_EQ(size, 10 + 16 * ((max - 10) / 16));
  EXPECT_EQ(Read(ref).size(), size);
  // An item size of 0 is refused before anything changes.
  EXPECT_EQ(CodeOf([&] { Heap().AllocSegmentEx(Trans(), {}, want, 1, size, 0, 0, false); }), nxeInvalidParameter);
}

TEST_F(CachedHeapTest, SplitTakesTheRoomThereIs) {
  for (bool noSplit : {false, true}) {
    SCOPED_TRACE(noSplit);
    t_.Rollback();
    Make(false);
    const TnxHeapRef first = Alloc(std::vector<uint8_t>(Heap().bheBlockHeapEngine->bbheMaxSegmentSize - 1000, 1));
    const uint16_t room = Heap().heByFreeSpace.rbegin()->first;
    const uint32_t want[] = {uint32_t{room} + 10};
    uint16_t size = 0;
    const TnxHeapRef ref = Heap().AllocSegmentEx(Trans(), {}, want, 10, size, 0, 4, noSplit);
    ASSERT_NE(ref, 0);
    // Split: the room there is, in whole items; else a new block.
    EXPECT_EQ(nxHeapRefBlock(ref) == nxHeapRefBlock(first), !noSplit);
    EXPECT_EQ(size, noSplit ? (room + 10) / 4 * 4 : room / 4 * 4);
  }
}

TEST_F(CachedHeapTest, FullManagementBlockMovesTheFirstNonFull) {
  Make(false);
  const uint16_t max = Heap().bheBlockHeapEngine->bbheMaxSegmentSize;
  // Each segment takes most of a new block and leaves it tracked.
  std::vector<TnxHeapRef> refs;
  const std::vector<uint8_t> bytes(max - 200, 3);
  for (uint32_t i = 0; i <= Heap().heMaxEntries; ++i) refs.push_back(Alloc(bytes));
  ASSERT_EQ(Heap().heManagmentBlocks.size(), 2u);
  EXPECT_EQ(Heap().heManagmentBlocks[0].hmpiBlockInfos.size(), Heap().heMaxEntries);
  EXPECT_EQ(Heap().heManagmentBlocks[1].hmpiBlockInfos.size(), 1u);
  EXPECT_EQ(Heap().heFirstNonFullIndex, 1);
  // Freeing a block of the first management block makes it the first
  // with room again; its entry gets the last one.
  Free(refs[3]);
  EXPECT_EQ(Heap().heFirstNonFullIndex, 0);
  EXPECT_EQ(Heap().heManagmentBlocks[0].hmpiBlockInfos[3].hdbiBlockNumber, nxHeapRefBlock(refs[Heap().heMaxEntries - 1]));
  // Freeing the only entry of the last management block frees that block.
  Free(refs.back());
  EXPECT_EQ(Heap().heManagmentBlocks.size(), 1u);
  t_.Commit();
  auto fresh = NewHeap();
  fresh->LoadManagmentBlocks(&Trans());
  ASSERT_EQ(fresh->heManagmentBlocks.size(), 1u);
  EXPECT_EQ(fresh->heByBlockNumber.size(), Heap().heMaxEntries - 1u);
}

TEST_F(CachedHeapTest, RollbackDropsTheMirrorAtEveryLevel) {
  Make(false);
  const TnxHeapRef kept = Alloc(std::vector<uint8_t>(100, 1));
  t_.Commit();
  struct Case {
    bool nested;
    bool otherTrans;
  };
  for (const Case& c : {Case{true, false}, Case{false, false}, Case{true, true}}) {
    SCOPED_TRACE(std::to_string(c.nested) + std::to_string(c.otherTrans));
    TnxBaseTransaction& trans = Trans();
    if (c.nested) trans.StartNested(false);
    // Enough for a second block, so the mirror holds what the rollback undoes.
    const TnxHeapRef added = Alloc(std::vector<uint8_t>(Heap().bheBlockHeapEngine->bbheMaxSegmentSize - 50, 2));
    ASSERT_NE(nxHeapRefBlock(added), nxHeapRefBlock(kept));
    ASSERT_EQ(Heap().heByBlockNumber.size(), 2u);
    t_.Storage().BufMgr().RollbackTransaction(&trans);
    if (c.nested) trans.EndLevel();
    if (c.otherTrans) {
      // A transaction that did not change the heap leaves the mirror.
      TnxBaseTransaction other(t_.Storage().BufMgr(), nullptr, false, false);
      Heap().Rollback(other);
      EXPECT_TRUE(Heap().heManagmentBlocksLoaded);
      t_.Storage().BufMgr().RollbackTransaction(&other);
    }
    Heap().Rollback(trans);
    EXPECT_FALSE(Heap().heManagmentBlocksLoaded);
    if (!c.nested) t_.Rollback();
    EXPECT_EQ(Read(kept), std::vector<uint8_t>(100, 1));
    const TnxHeapRef again = Alloc(std::vector<uint8_t>(50, 3));
    EXPECT_EQ(nxHeapRefBlock(again), nxHeapRefBlock(kept));
    EXPECT_EQ(Heap().heByBlockNumber.size(), 1u);
    Free(again);
    if (c.nested) t_.Rollback();
  }
}

// Allocations keep going to the block found last. Its entry must follow
// every change: room taken in place, the entry going when the block empties
// (and its number coming back for a new block), a nested level rolled back.
TEST_F(CachedHeapTest, BlockFoundLastFollowsEveryChangeOfItsEntry) {
  Make(false);
  auto mirrorMatchesDisk = [&] {
    auto fresh = NewHeap();
    fresh->LoadManagmentBlocks(&Trans());
    ASSERT_EQ(fresh->heByFreeSpace, Heap().heByFreeSpace);
    ASSERT_EQ(fresh->heByBlockNumber, Heap().heByBlockNumber);
  };
  std::vector<TnxHeapRef> refs;
  for (int i = 0; i < 5; ++i) refs.push_back(Alloc(std::vector<uint8_t>(100, static_cast<uint8_t>(i))));
  const uint32_t block = nxHeapRefBlock(refs[0]);
  for (TnxHeapRef ref : refs) ASSERT_EQ(nxHeapRefBlock(ref), block);
  ASSERT_EQ(Heap().heByFreeSpace.rbegin()->second, block);
  EXPECT_EQ(Heap().heByFreeSpace.rbegin()->first, Freespace(block));
  mirrorMatchesDisk();
  // Emptied: the block and its entry go; a new block may take its number.
  for (TnxHeapRef ref : refs) Free(ref);
  EXPECT_TRUE(Heap().heByBlockNumber.empty());
  const TnxHeapRef again = Alloc(std::vector<uint8_t>(200, 9));
  ASSERT_NE(again, 0);
  ASSERT_EQ(Heap().heByBlockNumber.size(), 1u);
  EXPECT_EQ(Heap().heByFreeSpace.rbegin()->first, Freespace(nxHeapRefBlock(again)));
  mirrorMatchesDisk();
  t_.Commit();
  // A nested level fills the block further and is rolled back.
  TnxBaseTransaction& trans = Trans();
  trans.StartNested(false);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(nxHeapRefBlock(Alloc(std::vector<uint8_t>(150, 7))), nxHeapRefBlock(again));
  t_.Storage().BufMgr().RollbackTransaction(&trans);
  Heap().Rollback(trans);
  trans.EndLevel();
  const TnxHeapRef after = Alloc(std::vector<uint8_t>(60, 5));
  ASSERT_EQ(nxHeapRefBlock(after), nxHeapRefBlock(again));
  EXPECT_EQ(Heap().heByFreeSpace.rbegin()->first, Freespace(nxHeapRefBlock(again)));
  EXPECT_EQ(Read(again), std::vector<uint8_t>(200, 9));
  mirrorMatchesDisk();
  Free(after);
  EXPECT_EQ(Heap().heByFreeSpace.rbegin()->first, Freespace(nxHeapRefBlock(again)));
  mirrorMatchesDisk();
}

TEST_F(CachedHeapTest, DamagedManagementBlocksAreRefused) {
  Make(false);
  std::vector<TnxHeapRef> refs;
  for (int i = 0; i < 3; ++i) refs.push_back(Alloc(std::vector<uint8_t>(Heap().bheBlockHeapEngine->bbheMaxSegmentSize - 300, 1)));
  const uint32_t map = Heap().heManagmentBlocks.at(0).hmpiBlockNumber;
  const uint32_t data = nxHeapRefBlock(refs[0]);
  t_.Commit();
  struct Case {
    const char* what;
    std::function<void(uint8_t*)> change;
    uint32_t code;
  };
  const Case cases[] = {
      {"count above the block", [&](uint8_t* b) { StoreU16(b + nxhmCount, static_cast<uint16_t>(Heap().heMaxEntries + 1)); }, nxeCorruptFile},
      {"entry outside the file", [](uint8_t* b) { StoreU32(b + nxhmEntries, 0x00FFFFFFu); }, nxeCorruptFile},
      {"entry naming block 0", [](uint8_t* b) { StoreU32(b + nxhmEntries, 0); }, nxeCorruptFile},
      {"a block tracked twice", [](uint8_t* b) { std::memcpy(b + nxhmEntries + 6, b + nxhmEntries, 4); }, nxeCorruptFile},
      {"chain back to itself", [&](uint8_t* b) { StoreU32(b + nxhmNext, map); }, nxeCorruptFile},
      {"chain to a data block", [&](uint8_t* b) { StoreU32(b + nxhmNext, data); }, nxeNotAHeapBlock},
      {"chain outside the file", [](uint8_t* b) { StoreU32(b + nxhmNext, 0x00FFFFFFu); }, nxeInvalidBlockNumber},
      {"another signature", [](uint8_t* b) { b[3] = 'X'; }, nxeNotAHeapBlock},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> saved;
    Patch(map, [&](uint8_t* b) {
      saved.assign(b, b + t_.Access().fiBlockSizeBytes());
      c.change(b);
    });
    auto fresh = NewHeap();
    EXPECT_EQ(CodeOf([&] { fresh->LoadManagmentBlocks(&Trans()); }), c.code);
    EXPECT_FALSE(fresh->heManagmentBlocksLoaded);
    EXPECT_TRUE(fresh->heByBlockNumber.empty());
    Patch(map, [&](uint8_t* b) { std::memcpy(b, saved.data(), saved.size()); });
  }
  auto fresh = NewHeap();
  fresh->LoadManagmentBlocks(&Trans());
  EXPECT_EQ(fresh->heByBlockNumber.size(), 3u);
}

// Random steps against a model of the live segments: contents, the
// tracked room of every block, both orders, the chain of data blocks, and
// the mirror against one read back from disk.
TEST_F(CachedHeapTest, ModelOfLiveSegments) {
  const int steps = testing::TestSize(4000, 100000);
  for (bool record : {true, false}) {
    SCOPED_TRACE(record ? "record heap" : "blob heap");
    if (t_.InTransaction()) t_.Rollback();
    descriptor_.RemoveBlockHeapDescriptor();
    Make(record);
    t_.Commit();
    const uint16_t max = Heap().bheBlockHeapEngine->bbheMaxSegmentSize;
    std::mt19937 rng(70 + record);
    std::map<TnxHeapRef, std::vector<uint8_t>> live, committed, nestedStart;
    bool nested = false;
    auto randomBytes = [&](size_t n) {
      std::vector<uint8_t> v(n);
      for (auto& x : v) x = static_cast<uint8_t>(rng());
      return v;
    };
    auto randomSize = [&]() -> uint32_t {
      const uint32_t r = rng() % 100;
      if (r < 85) return 20 + rng() % 281;
      if (r < 97) return 1 + rng() % max;
      return max - 5 + rng() % 10;
    };
    int step = 0;
    auto check = [&](bool aAll) {
      for (auto& [ref, bytes] : live) ASSERT_EQ(Read(ref), bytes) << std::hex << ref;
      if (!aAll) return;
      // After a rollback the mirror comes back on next use.
      if (!Heap().heManagmentBlocksLoaded) Heap().LoadManagmentBlocks(&Trans());
      std::map<uint32_t, int> used;
      for (auto& [ref, bytes] : live) ++used[nxHeapRefBlock(ref)];
      // Every block with segments is tracked exactly when it has room.
      std::set<std::pair<uint16_t, uint32_t>> byFree;
      for (auto& [block, n] : used) {
        const uint16_t room = Freespace(block);
        const auto it = Heap().heByBlockNumber.find(block);
        if (room < Heap().heCutoffSize) {
          ASSERT_TRUE(it == Heap().heByBlockNumber.end()) << block;
          continue;
        }
        ASSERT_TRUE(it != Heap().heByBlockNumber.end()) << block << " room " << room << " loaded " << Heap().heManagmentBlocksLoaded << " tracked " << Heap().heByBlockNumber.size() << " step " << step;
        const auto [m, e] = it->second;
        ASSERT_EQ(Heap().heManagmentBlocks.at(m).hmpiBlockInfos.at(e).hdbiBlockNumber, block);
        ASSERT_EQ(Heap().heManagmentBlocks[m].hmpiBlockInfos[e].hdbiFreeSpace, room) << block;
        byFree.emplace(room, block);
      }
      ASSERT_EQ(Heap().heByFreeSpace, byFree);
      ASSERT_EQ(Heap().heByBlockNumber.size(), byFree.size());
      if (record) {
        std::set<uint32_t> blocks;
        for (auto& [block, n] : used) blocks.insert(block);
        ASSERT_EQ(ChainedBlocks(), blocks);
      }
      // The mirror matches the chain on disk, whose last block is not empty.
      auto fresh = NewHeap();
      fresh->LoadManagmentBlocks(&Trans());
      ASSERT_EQ(fresh->heManagmentBlocks.size(), Heap().heManagmentBlocks.size());
      for (size_t m = 0; m < fresh->heManagmentBlocks.size(); ++m) {
        ASSERT_EQ(fresh->heManagmentBlocks[m].hmpiBlockNumber, Heap().heManagmentBlocks[m].hmpiBlockNumber);
        ASSERT_EQ(fresh->heManagmentBlocks[m].hmpiBlockInfos.size(), Heap().heManagmentBlocks[m].hmpiBlockInfos.size());
      }
      if (!fresh->heManagmentBlocks.empty()) {
        ASSERT_FALSE(fresh->heManagmentBlocks.back().hmpiBlockInfos.empty());
      }
      ASSERT_EQ(fresh->heByFreeSpace, Heap().heByFreeSpace);
      ASSERT_EQ(fresh->heByBlockNumber, Heap().heByBlockNumber);
      ASSERT_EQ(fresh->heFirstNonFullIndex, Heap().heFirstNonFullIndex);
    };
    for (step = 0; step < steps; ++step) {
      // Around a few hundred live segments over many blocks: frees win
      // above that.
      const uint32_t op = live.size() > 600 ? 72 + rng() % 28 : rng() % 100;
      if (op < 40 || live.empty()) {
        // One to three parts, the middle one maybe uninitialised.
        const int parts = 1 + static_cast<int>(rng() % 3);
        std::vector<std::vector<uint8_t>> data;
        std::vector<const void*> p;
        std::vector<uint16_t> s;
        uint32_t total = 0;
        for (int i = 0; i < parts; ++i) {
          data.push_back(randomBytes(randomSize() / parts));
          total += static_cast<uint32_t>(data.back().size());
          p.push_back(data.back().data());
          s.push_back(static_cast<uint16_t>(data.back().size()));
        }
        const TnxHeapRef ref = Heap().AllocSegment(Trans(), p, s);
        if (total == 0 || total > max) {
          ASSERT_EQ(ref, 0);
          continue;
        }
        ASSERT_NE(ref, 0);
        ASSERT_EQ(live.count(ref), 0u);
        std::vector<uint8_t> all;
        for (auto& d : data) all.insert(all.end(), d.begin(), d.end());
        live[ref] = all;
        ASSERT_EQ(Read(ref), all);
      } else if (op < 50) {
        const std::vector<uint8_t> a = randomBytes(randomSize()), b = randomBytes(rng() % 200);
        const void* p[] = {a.data(), b.data()};
        const uint32_t s[] = {static_cast<uint32_t>(a.size()), static_cast<uint32_t>(b.size())};
        const uint16_t minSize = static_cast<uint16_t>(1 + rng() % 64);
        const uint16_t item = static_cast<uint16_t>(1 + rng() % 8);
        uint16_t size = 0;
        const TnxHeapRef ref = Heap().AllocSegmentEx(Trans(), p, s, minSize, size, 0, item, rng() % 2);
        ASSERT_NE(ref, 0);
        std::vector<uint8_t> all(a);
        all.insert(all.end(), b.begin(), b.end());
        all.resize(std::max<size_t>(all.size(), minSize));
        ASSERT_LE(size, all.size());
        all.resize(size);
        // Bytes past the parts (up to aMinSize) are not written.
        std::vector<uint8_t> got = Read(ref);
        ASSERT_EQ(got.size(), size);
        const size_t written = std::min<size_t>(size, a.size() + b.size());
        std::copy(got.begin() + static_cast<long>(written), got.end(), all.begin() + static_cast<long>(written));
        ASSERT_EQ(got, all);
        live[ref] = all;
      } else if (op < 72) {
        auto it = std::next(live.begin(), static_cast<long>(rng() % live.size()));
        const TnxHeapRef ref = it->first;
        const std::vector<uint8_t> old = it->second;
        const uint32_t keep = static_cast<uint32_t>(rng() % (old.size() + 1));
        const std::vector<uint8_t> extra = randomBytes(rng() % 4 == 0 ? randomSize() : rng() % 64);
        const void* p[] = {nullptr, extra.data()};
        const uint32_t s[] = {keep, static_cast<uint32_t>(extra.size())};
        const uint32_t total = keep + static_cast<uint32_t>(extra.size());
        if (total == 0) continue;
        TnxBlockGuard guard;
        uint16_t oldSize = 0, size = 0;
        PnxBlock block = nullptr;
        Heap().GetSegment(&Trans(), ref, true, oldSize, block, guard.ReleaseMethod());
        guard.Hold(block);
        const TnxHeapRef moved = Heap().ReAllocSegmentEx(Trans(), block, nxHeapRefSegment(ref), p, s,
                                                         static_cast<uint16_t>(std::min<uint32_t>(total, 16)), size,
                                                         0, 1, rng() % 2);
        guard.Release();
        ASSERT_NE(moved, 0);
        std::vector<uint8_t> all(old.begin(), old.begin() + keep);
        all.insert(all.end(), extra.begin(), extra.end());
        ASSERT_LE(size, all.size());
        all.resize(size);
        live.erase(ref);
        std::vector<uint8_t> got = Read(moved);
        // In place the stored size may pass the reported one.
        ASSERT_GE(got.size(), size);
        if (got.size() > size) {
          ASSERT_EQ(moved, ref);
          all.insert(all.end(), got.begin() + size, got.end());
        }
        ASSERT_EQ(got, all);
        live[moved] = all;
      } else if (op < 94) {
        auto it = std::next(live.begin(), static_cast<long>(rng() % live.size()));
        Free(it->first);
        live.erase(it);
      } else if (op < 97) {
        if (!nested) {
          Trans().StartNested(false);
          nestedStart = live;
          nested = true;
        } else {
          TnxBaseTransaction& trans = Trans();
          if (rng() % 2) {
            t_.Storage().BufMgr().CommitTransaction(&trans, nullptr, false);
          } else {
            t_.Storage().BufMgr().RollbackTransaction(&trans);
            Heap().Rollback(trans);
            live = nestedStart;
          }
          trans.EndLevel();
          nested = false;
          check(true);
        }
      } else {
        if (nested) continue;
        if (rng() % 2) {
          t_.Commit();
          committed = live;
        } else {
          Heap().Rollback(Trans());
          t_.Rollback();
          live = committed;
        }
        check(true);
      }
      if (step % 50 == 0) check(true);
      if (HasFatalFailure()) return;
    }
    if (nested) {
      t_.Storage().BufMgr().CommitTransaction(&Trans(), nullptr, false);
      Trans().EndLevel();
    }
    check(true);
    t_.Commit();
  }
}

}  // namespace
}  // namespace revurov
