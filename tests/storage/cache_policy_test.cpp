#include "storage/cache_policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <list>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/deadline_hooks.h"
#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/objects/utils_system.h"
#include "platform/string_list.h"
#include "storage/buffer_manager.h"
#include "storage/transactions.h"
#include "support/fake_engine_clock.h"
#include "support/storage_fixture.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::ErrorCodeOf;
using testing::TFakeEngineClock;
using testing::TStorageFixture;

constexpr uint64_t kMB = 1048576;
constexpr uint32_t kBody = nxBlockCommonHeaderSize;

// ---- arithmetic on given figures ----

TnxMemoryStatusEx Status(uint64_t aTotalPhysMB, uint64_t aAvailPhysMB = 0, uint64_t aAvailVirtualMB = 1 << 20) {
  TnxMemoryStatusEx status;
  status.ullTotalPhys = aTotalPhysMB * kMB;
  status.ullAvailPhys = aAvailPhysMB * kMB;
  status.ullTotalVirtual = status.ullAvailVirtual = aAvailVirtualMB * kMB;
  return status;
}

TEST(CachePolicyTest, BudgetIsMaxRAMCappedAtFourFifthsOfPhysicalMemory) {
  const struct {
    int32_t maxRAM;
    int64_t physMB;  // -1: no memory status
    int32_t budget;
  } cases[] = {
      {5000, 4096, 3276},  // no 1536 MB cap in a 64-bit process
      {1536, 4096, 1536},
      {5000, 1000, 800},
      {10, 65536, 10},
      {10, -1, 10},
      {10, 1, 1},  // never below 1 MB
  };
  for (const auto& c : cases) {
    const TnxMemoryStatusEx status = Status(c.physMB < 0 ? 0 : static_cast<uint64_t>(c.physMB));
    const TnxCacheBudget budget = nxCacheBudget(c.maxRAM, c.physMB < 0 ? nullptr : &status);
    EXPECT_EQ(budget.cbMaxRAM, c.budget) << c.maxRAM << " " << c.physMB;
    EXPECT_EQ(budget.cbListPages, c.budget * 128) << "half the budget in 4 KB pages per list";
  }
  const TnxMemoryStatusEx fourGB = Status(4096);
  EXPECT_EQ(nxCacheBudget(1536, &fourGB).cbListPages, 196608);
}

TEST(CachePolicyTest, AvailableRAMLeavesTheCachesUnusedBudgetAndAReserve) {
  const struct {
    int64_t target, resident;
    uint64_t availPhysMB, availVirtualMB;
    int64_t expected;
  } cases[] = {
      {2560, 0, 1000, 1 << 20, (1000 - 10 - 32) * int64_t{kMB}},  // 10 MB budget unused
      {2560, 2560, 1000, 1 << 20, (1000 - 32) * int64_t{kMB}},    // budget full
      {2560, 4000, 1000, 1 << 20, (1000 - 32) * int64_t{kMB}},    // over it: nothing more to fill
      {2560, 0, 20, 1 << 20, 0},                                  // floored at 0
      {0, 0, 1000, 300, (300 - 256) * int64_t{kMB}},              // address space the smaller
  };
  for (const auto& c : cases) {
    const TnxMemoryStatusEx status = Status(4096, c.availPhysMB, c.availVirtualMB);
    EXPECT_EQ(nxAvailableRAM(c.target, c.resident, &status), c.expected) << c.target << " " << c.resident;
  }
  EXPECT_EQ(nxAvailableRAM(2560, 0, nullptr), 0);
}

TEST(CachePolicyTest, PromotionMovesAFiveHundredthOfTheOtherTarget) {
  const struct {
    int32_t other, moved;
  } cases[] = {{499, 0}, {500, 1}, {1000, 2}, {1, 0}, {0, 0}, {196608, 393}};
  for (const auto& c : cases) EXPECT_EQ(nxPromotionPages(c.other), c.moved) << c.other;
}

TEST(CachePolicyTest, CountersStopAtTheirLargestValue) {
  const struct {
    uint32_t before, after;
  } cases[] = {{0, 1}, {nxCacheFrequentUse, nxCacheCounterTop}, {nxCacheCounterTop, nxCacheCounterTop}};
  for (const auto& c : cases) {
    uint32_t counter = c.before;
    nxSaturatingInc(counter);
    EXPECT_EQ(counter, c.after) << c.before;
  }
}

// ---- the budget through the buffer manager ----

// Replaces the memory-status routine for a test's lifetime.
class TFakeMemoryStatus {
public:
  explicit TFakeMemoryStatus(const TnxMemoryStatusEx* aStatus) : saved_(nxGlobalMemoryStatusEx) {
    sStatus = aStatus;
    nxGlobalMemoryStatusEx = &Read;
  }
  ~TFakeMemoryStatus() { nxGlobalMemoryStatusEx = saved_; }
  TFakeMemoryStatus(const TFakeMemoryStatus&) = delete;
  TFakeMemoryStatus& operator=(const TFakeMemoryStatus&) = delete;

private:
  static bool Read(TnxMemoryStatusEx& aStatus) {
    if (!sStatus) return false;
    aStatus = *sStatus;
    return true;
  }
  static inline const TnxMemoryStatusEx* sStatus = nullptr;
  bool (*saved_)(TnxMemoryStatusEx&);
};

TEST(CachePolicyTest, MaxRAMAndAvailableRAMFollowTheMemoryStatus) {
  TStorageFixture fx;
  TnxBufferManager& bm = fx.BufMgr();
  const TnxMemoryStatusEx status = Status(1000, 500);
  {
    TFakeMemoryStatus fake(&status);
    bm.SetMaxRAM(5000);
    EXPECT_EQ(bm.MaxRAM(), 800);
    EXPECT_EQ(bm.TargetPages(), 800 * 256);
    EXPECT_EQ(bm.AvailableRAM(), 0) << "500 MB free, 800 MB of budget still to fill";
    bm.SetMaxRAM(100);
    EXPECT_EQ(bm.TargetPages(), 100 * 256);
    EXPECT_EQ(bm.AvailableRAM(), static_cast<int64_t>((500 - 32) * kMB) - 100 * 256 * 4096);
  }
  {
    // A routine that fails: the library's own reader answers.
    TFakeMemoryStatus failing(nullptr);
    bm.SetMaxRAM(10);
    EXPECT_EQ(bm.MaxRAM(), 10);
    EXPECT_GE(bm.AvailableRAM(), 0);
  }
}

// ---- eviction ----

class CacheEvictionTest : public ::testing::Test {
protected:
  CacheEvictionTest() : fx_(1) {}

  TnxBufferManager& Bm() { return fx_.BufMgr(); }
  TnxBaseFile& Table(const std::string& aName, uint32_t aBlocks) {
    return fx_.Open(fx_.MakeTable(aName, nxbs4k, aBlocks));
  }
  // Reads of the file's blocks from disk, counted by the seam.
  void CountReads() {
    fx_.Ops().OnReadAt([this](int64_t) { reads_.fetch_add(1); });
  }
  TnxBlockGuard Hold(TnxBaseFile& aFile, TnxBlockNumber aNumber, TnxBaseTransaction* aTrans = nullptr,
                     bool aMarkDirty = false) {
    TnxBlockGuard guard;
    guard.Hold(Bm().GetBlock(aFile, aTrans, aNumber, aMarkDirty, guard.ReleaseMethod()));
    return guard;
  }
  bool ShowsOriginal(const TnxBaseFile& aFile, TnxBlockNumber aNumber, const uint8_t* aBlock) {
    for (uint32_t i = kBody; i < aFile.fiBlockSizeBytes; ++i)
      if (aBlock[i] != TStorageFixture::Pattern(aNumber, i)) return false;
    return true;
  }
  // A transaction's change: every byte past the common header set to aValue
  // up to the owner ID.
  void Fill(TnxBaseFile& aFile, TnxBaseTransaction& aTrans, TnxBlockNumber aNumber, uint8_t aValue) {
    TnxBlockGuard guard = Hold(aFile, aNumber, &aTrans, true);
    std::memset(guard.Block() + kBody, aValue, aFile.fiBlockSizeBytes - kBody);
  }
  static uint8_t Value(TnxBlockNumber aNumber) { return static_cast<uint8_t>(aNumber * 13 + 5); }
  bool OnDiskIs(const std::string& aName, const TnxBaseFile& aFile, TnxBlockNumber aNumber, uint8_t aValue) {
    return Holds(fx_.Dir().Read(aName), aFile, aNumber, aValue);
  }
  // The first block from 1 on whose body on disk is not Value(n), or 0.
  static TnxBlockNumber FirstNotWritten(TStorageFixture& aFixture, const std::string& aName,
                                        const TnxBaseFile& aFile, TnxBlockNumber aEnd) {
    const std::string disk = aFixture.Dir().Read(aName);
    for (TnxBlockNumber n = 1; n < aEnd; ++n)
      if (!Holds(disk, aFile, n, Value(n))) return n;
    return 0;
  }
  static bool Holds(const std::string& aDisk, const TnxBaseFile& aFile, TnxBlockNumber aNumber, uint8_t aValue) {
    const size_t at = size_t{aNumber} * aFile.BlockBytes();
    if (aDisk.size() < at + aFile.BlockBytes()) return false;
    for (uint32_t i = kBody; i < aFile.fiBlockSizeBytes; ++i)
      if (static_cast<uint8_t>(aDisk[at + i]) != aValue) return false;
    return true;
  }
  int64_t EvictionCount() {
    platform::TStringList values;
    Bm().GetStatsValues(values);
    std::string text = platform::Utf16ToUtf8(values[5]);
    std::erase_if(text, [](char c) { return c < '0' || c > '9'; });
    return std::stoll(text);
  }

  TFakeEngineClock clock_;
  TStorageFixture fx_;
  std::atomic<int> reads_{0};
};

TEST_F(CacheEvictionTest, ScanOfAFileFourTimesTheBudgetStaysWithinIt) {
  TnxBaseFile& file = Table("scan.nx1", 4 * 256 + 1);
  CountReads();
  ASSERT_EQ(Bm().TargetPages(), 256);
  for (int round = 0; round < 2; ++round) {
    for (TnxBlockNumber n = 1; n <= 4 * 256; ++n) {
      TnxBlockGuard guard = Hold(file, n);
      ASSERT_TRUE(ShowsOriginal(file, n, guard.Block())) << n;
      ASSERT_LE(Bm().ResidentPages(), Bm().TargetPages()) << "round " << round << " block " << n;
    }
  }
  // Nothing of the first blocks survived the scan: the second round read
  // everything again. Evicted clean blocks leave no object behind.
  EXPECT_EQ(reads_.load(), 2 * 4 * 256);
  EXPECT_LE(Bm().CachedBlocks(file), 257);
  EXPECT_GE(EvictionCount(), 2 * 4 * 256 - 256);
}

TEST_F(CacheEvictionTest, LeastRecentlyUsedBlockGoesFirst) {
  TnxBaseFile& file = Table("lru.nx1", 300);
  CountReads();
  // Header plus blocks 1..255 fill the 256 pages exactly.
  for (TnxBlockNumber n = 1; n <= 255; ++n) Hold(file, n);
  Hold(file, 1);  // now the most recent
  const int before = reads_.load();
  Hold(file, 256);  // one page over: the oldest unused goes
  Hold(file, 1);
  EXPECT_EQ(reads_.load(), before + 1) << "block 1 was used last and stays";
  Hold(file, 257);
  Hold(file, 3);
  EXPECT_EQ(reads_.load(), before + 2) << "block 3 is younger than the header and block 2";
  Hold(file, 2);
  EXPECT_EQ(reads_.load(), before + 3) << "block 2 went for block 257";
}

// A hit in the youngest quarter of the list leaves the block where it is:
// on a skewed load the cache still hits as often as an exact LRU of its
// size, and no more than a block's worth below it.
TEST_F(CacheEvictionTest, SkewedReadsHitAsOftenAsAnExactLru) {
  constexpr uint32_t kData = 4 * 256;
  constexpr int kReads = 20000;
  TnxBaseFile& file = Table("skew.nx1", kData + 1);
  // A Zipf law (s = 0.99) over the blocks, hot ones spread over the file.
  std::vector<double> cumulative(kData);
  double sum = 0;
  for (uint32_t r = 0; r < kData; ++r) cumulative[r] = sum += 1.0 / std::pow(r + 1.0, 0.99);
  std::vector<TnxBlockNumber> blockOfRank(kData);
  for (uint32_t r = 0; r < kData; ++r) blockOfRank[r] = r + 1;
  std::mt19937 random(66);
  std::shuffle(blockOfRank.begin(), blockOfRank.end(), random);
  std::uniform_real_distribution<double> uniform(0, sum);
  std::vector<TnxBlockNumber> trace(kReads);
  for (auto& b : trace) {
    const auto it = std::lower_bound(cumulative.begin(), cumulative.end(), uniform(random));
    b = blockOfRank[std::min<size_t>(static_cast<size_t>(it - cumulative.begin()), kData - 1)];
  }
  // The header keeps one of the 256 pages.
  constexpr size_t kCapacity = 255;
  std::list<TnxBlockNumber> order;
  std::unordered_map<TnxBlockNumber, std::list<TnxBlockNumber>::iterator> where;
  int lruMisses = 0;
  for (const TnxBlockNumber b : trace) {
    if (const auto it = where.find(b); it != where.end()) {
      order.splice(order.begin(), order, it->second);
      continue;
    }
    ++lruMisses;
    order.push_front(b);
    where[b] = order.begin();
    if (order.size() > kCapacity) {
      where.erase(order.back());
      order.pop_back();
    }
  }
  CountReads();
  for (const TnxBlockNumber b : trace) {
    TnxBlockGuard guard = Hold(file, b);
    ASSERT_EQ(guard.Block()[kBody], TStorageFixture::Pattern(b, kBody)) << b;
  }
  ASSERT_LE(Bm().ResidentPages(), Bm().TargetPages());
  const double ours = 1.0 - double(reads_.load()) / kReads;
  const double lru = 1.0 - double(lruMisses) / kReads;
  EXPECT_GE(ours, 0.98 * lru) << "hit rate " << ours << " against " << lru;
}

TEST_F(CacheEvictionTest, AllBlocksHeldEvictNothingAndTheNextPassWaitsASecond) {
  TnxBaseFile& file = Table("pinned.nx1", 400);
  {
    std::vector<TnxBlockGuard> held;
    for (TnxBlockNumber n = 1; n <= 300; ++n) held.push_back(Hold(file, n));
    EXPECT_EQ(Bm().ResidentPages(), 300) << "only the header could go; the budget is exceeded";
  }
  // Released now, but the pass that failed blocks unforced ones.
  Bm().EvictNow(false);
  Hold(file, 301);
  EXPECT_EQ(Bm().ResidentPages(), 301);
  TFakeEngineClock::Advance(1000);
  Bm().EvictNow(false);
  EXPECT_EQ(Bm().ResidentPages(), 301) << "at exactly 1000 ms it still waits";
  TFakeEngineClock::Advance(1);
  Bm().EvictNow(false);
  EXPECT_EQ(Bm().ResidentPages(), 256);
}

TEST_F(CacheEvictionTest, ForcedPassIgnoresTheBackOff) {
  TnxBaseFile& file = Table("forced.nx1", 400);
  {
    std::vector<TnxBlockGuard> held;
    for (TnxBlockNumber n = 1; n <= 300; ++n) held.push_back(Hold(file, n));
  }
  Bm().EvictNow(false);
  EXPECT_EQ(Bm().ResidentPages(), 300);
  Bm().EvictNow(true);
  EXPECT_EQ(Bm().ResidentPages(), 256);
}

// A clock that moves 10 ms every time it is read.
std::atomic<uint64_t> gTickingNow{0};
uint64_t TickingClock() { return gTickingNow.fetch_add(10) + 10; }

TEST_F(CacheEvictionTest, UnforcedPassStopsAfter150Ms) {
  TnxBaseFile& file = Table("bounded.nx1", 400);
  {
    std::vector<TnxBlockGuard> held;
    for (TnxBlockNumber n = 1; n <= 300; ++n) held.push_back(Hold(file, n));
  }
  gTickingNow = TFakeEngineClock::Now() + 5000;
  nxSetEngineClock(&TickingClock, nullptr, nullptr);
  Bm().EvictNow(false);
  const int32_t afterUnforced = Bm().ResidentPages();
  Bm().EvictNow(true);
  const int32_t afterForced = Bm().ResidentPages();
  nxSetEngineClock(&TFakeEngineClock::Now, nullptr, nullptr);
  // 150 ms at 10 ms per reading: some 15 blocks, far from the 45 needed.
  EXPECT_LT(afterUnforced, 300);
  EXPECT_GT(afterUnforced, 256 + 20);
  EXPECT_EQ(afterForced, 256);
}

TEST_F(CacheEvictionTest, BlockCommittedTwiceBeforeItsFlushCanGoOnceWritten) {
  TnxBaseFile& file = Table("twice.nx1", 400);
  TnxFlushList first, second;
  for (TnxFlushList* list : {&first, &second}) {
    TnxBaseTransaction trans(Bm(), nullptr, false, false);
    Fill(file, trans, 5, list == &first ? 1 : 2);
    Bm().CommitTransaction(&trans, list, false);
  }
  // One flush writes both queue entries of the block, as one write.
  first.Flush(false);
  second.Flush(false);
  CountReads();
  for (TnxBlockNumber n = 10; n < 300; ++n) Hold(file, n);
  const int before = reads_.load();
  TnxBlockGuard guard = Hold(file, 5);
  EXPECT_EQ(reads_.load(), before + 1) << "written, the block was evicted like any other";
  EXPECT_EQ(guard.Block()[kBody], 2);
}

// ---- parking in the temporary store ----

TEST_F(CacheEvictionTest, CopiesOfALargeTransactionAreParkedAndComeBackExactly) {
  for (const bool commit : {true, false}) {
    SCOPED_TRACE(commit ? "commit" : "rollback");
    TStorageFixture fx(1);
    TnxBufferManager& bm = fx.BufMgr();
    bm.SetTempStoreSize(1);
    const std::string name = "big.nx1";
    TnxBaseFile& file = fx.Open(fx.MakeTable(name, nxbs4k, 700));
    {
      TnxBaseTransaction trans(bm, nullptr, false, false);
      for (TnxBlockNumber n = 1; n < 700; ++n) {
        TnxBlockGuard guard;
        guard.Hold(bm.GetBlock(file, &trans, n, true, guard.ReleaseMethod()));
        std::memset(guard.Block() + kBody, Value(n), file.fiBlockSizeBytes - kBody);
      }
      EXPECT_LE(bm.ResidentPages(), bm.TargetPages());
      EXPECT_GE(bm.TempStoreInUse(), int64_t{699 - 256} * 4096) << "the copies past the budget are parked";
      EXPECT_EQ(ErrorCodeOf([&] { bm.SetTempStoreSize(2); }), nxeInvalidParameter)
          << "a new store would lose them";
      // The writer reads its parked copy back as it left it.
      {
        TnxBlockGuard guard;
        guard.Hold(bm.GetBlock(file, &trans, 1, guard.ReleaseMethod()));
        EXPECT_EQ(guard.Block()[kBody], Value(1));
      }
      if (commit)
        bm.CommitTransaction(&trans, nullptr, false);
      else
        bm.RollbackTransaction(&trans);
    }
    EXPECT_EQ(bm.TempStoreInUse(), 0) << "nothing stays parked";
    if (commit) {
      EXPECT_EQ(FirstNotWritten(fx, name, file, 700), 0u);
      continue;
    }
    for (TnxBlockNumber n = 1; n < 700; ++n) {
      {
        TnxBlockGuard guard;
        guard.Hold(bm.GetBlock(file, nullptr, n, guard.ReleaseMethod()));
        ASSERT_TRUE(ShowsOriginal(file, n, guard.Block())) << n;
      }
    }
  }
}

TEST_F(CacheEvictionTest, WithoutAStoreCopiesStayAndTheBudgetIsExceeded) {
  TnxBaseFile& file = Table("nostore.nx1", 500);
  TnxBaseTransaction trans(Bm(), nullptr, false, false);
  for (TnxBlockNumber n = 1; n < 400; ++n) Fill(file, trans, n, Value(n));
  // Clean blocks went; the copies had nowhere to go.
  EXPECT_GT(Bm().ResidentPages(), Bm().TargetPages());
  platform::TStringList values;
  Bm().GetStatsValues(values);
  EXPECT_EQ(values[1], u"1" + nxFormatGrouped(1000).substr(1, 1) + u"024 kbyte");
  EXPECT_NE(values[2], values[1]) << "the statistics show the excess";
  Bm().CommitTransaction(&trans, nullptr, false);
  EXPECT_EQ(FirstNotWritten(fx_, "nostore.nx1", file, 400), 0u);
  // The passes so far freed nothing: the next waits out the back-off.
  TFakeEngineClock::Advance(1001);
  Bm().EvictNow(false);
  EXPECT_LE(Bm().ResidentPages(), Bm().TargetPages()) << "written now, the images can go";
}

TEST_F(CacheEvictionTest, ScratchImagesSurviveParkingAndFreeingOneSparesTheOthers) {
  Bm().SetTempStoreSize(1);
  std::vector<TnxScratchBlockHandle> handles;
  const auto fill = [&](size_t aIndex) {
    auto* image = static_cast<uint8_t*>(Bm().LockScratchBlock(handles[aIndex]));
    std::memset(image, static_cast<int>(aIndex % 251), 4096);
    Bm().UnlockScratchBlock(handles[aIndex], image);
  };
  for (size_t i = 0; i < 300; ++i) {
    handles.push_back(Bm().CreateScratchBlock(mm::nxbs4k));
    fill(i);
  }
  ASSERT_GT(Bm().TempStoreInUse(), 0);
  // Block 0 was parked first; reading it back gives its stored copy up.
  {
    auto* image = static_cast<uint8_t*>(Bm().LockScratchBlock(handles[0]));
    EXPECT_EQ(image[100], 0);
    Bm().UnlockScratchBlock(handles[0], image);
  }
  // Others are parked meanwhile, taking the slot it had.
  for (size_t i = 300; i < 340; ++i) {
    handles.push_back(Bm().CreateScratchBlock(mm::nxbs4k));
    fill(i);
  }
  Bm().FreeScratchBlock(handles[0]);
  for (size_t i = 1; i < handles.size(); ++i) {
    auto* image = static_cast<uint8_t*>(Bm().LockScratchBlock(handles[i]));
    ASSERT_EQ(image[0], i % 251) << i;
    ASSERT_EQ(image[4095], i % 251) << i;
    Bm().UnlockScratchBlock(handles[i], image);
  }
  for (size_t i = 1; i < handles.size(); ++i) Bm().FreeScratchBlock(handles[i]);
  EXPECT_EQ(Bm().TempStoreInUse(), 0);
}

TEST_F(CacheEvictionTest, InMemoryFileBlocksAreParkedNeverDropped) {
  Bm().SetTempStoreSize(1);
  auto& file = fx_.OpenOnly(fx_.MakeTable("mem.nx1", nxbs4k, 2));
  // Block 0 is read from disk before the file becomes an in-memory one.
  ASSERT_EQ(fx_.AddFile(file).Result, 0u);
  file.fiAttributes = nxfaTemporary;
  TnxBaseTransaction trans(Bm(), nullptr, false, false);
  for (TnxBlockNumber n = 1; n < 400; ++n) {
    TnxBlockGuard guard;
    guard.Hold(Bm().AddBlock(file, &trans, n, guard.ReleaseMethod()));
    uint8_t* block = guard.Block();
    nxStoreBlockCommonHeader(block, {{'T', 'E', 'S', 'T'}, n, trans.LSN()});
    std::memset(block + kBody, Value(n), file.fiBlockSizeBytes - kBody);
    const uint32_t owner = TStorageFixture::kOwnerID;
    std::memcpy(block + file.fiBlockSizeBytes, &owner, 4);
  }
  Bm().CommitTransaction(&trans, nullptr, false);
  Bm().EvictNow(false);
  EXPECT_LE(Bm().ResidentPages(), Bm().TargetPages());
  EXPECT_GT(Bm().TempStoreInUse(), 0);
  for (TnxBlockNumber n = 1; n < 400; ++n) {
    TnxBlockGuard guard = Hold(file, n);
    ASSERT_EQ(guard.Block()[kBody], Value(n)) << n;
  }
}

// Passes remember what they found unevictable; an object that becomes
// evictable without moving in its list (a pin released, a commit flushed,
// a store that has room now) must still go at the next pass. The blocks of
// an in-memory file without a store fill the budget ahead of the others,
// so every pass walks past them first.
TEST_F(CacheEvictionTest, BlockThatBecameEvictableInPlaceGoesAtTheNextPass) {
  enum TWay { wPinReleased, wCommitFlushed, wStoreSwitchedOn };
  for (const TWay way : {wPinReleased, wCommitFlushed, wStoreSwitchedOn}) {
    SCOPED_TRACE(way);
    TStorageFixture fx(1);
    TnxBufferManager& bm = fx.BufMgr();
    auto& memory = fx.OpenOnly(fx.MakeTable("mem.nx1", nxbs4k, 2));
    ASSERT_EQ(fx.AddFile(memory).Result, 0u);
    memory.fiAttributes = nxfaTemporary;
    {
      TnxBaseTransaction trans(bm, nullptr, false, false);
      for (TnxBlockNumber n = 1; n < 300; ++n) {
        TnxBlockGuard guard;
        guard.Hold(bm.AddBlock(memory, &trans, n, guard.ReleaseMethod()));
        uint8_t* block = guard.Block();
        nxStoreBlockCommonHeader(block, {{'T', 'E', 'S', 'T'}, n, trans.LSN()});
        std::memset(block + kBody, Value(n), memory.fiBlockSizeBytes - kBody);
        const uint32_t owner = TStorageFixture::kOwnerID;
        std::memcpy(block + memory.fiBlockSizeBytes, &owner, 4);
      }
      bm.CommitTransaction(&trans, nullptr, false);
    }
    bm.EvictNow(true);
    const int32_t settled = bm.ResidentPages();
    ASSERT_GT(settled, bm.TargetPages()) << "nowhere to go without a store";
    TnxBaseFile& disk = fx.Open(fx.MakeTable("disk.nx1", nxbs4k, 40));
    const auto readAll = [&] {
      for (TnxBlockNumber n = 1; n < 40; ++n) {
        TnxBlockGuard guard;
        guard.Hold(bm.GetBlock(disk, nullptr, n, guard.ReleaseMethod()));
      }
    };
    if (way == wPinReleased) {
      std::vector<TnxBlockGuard> held;
      for (TnxBlockNumber n = 1; n < 40; ++n) {
        held.emplace_back();
        held.back().Hold(bm.GetBlock(disk, nullptr, n, held.back().ReleaseMethod()));
      }
      bm.EvictNow(true);
      EXPECT_GE(bm.CachedBlocks(disk), 40) << "held, they stay";
    } else if (way == wCommitFlushed) {
      readAll();
      TnxFlushList list;
      TnxBaseTransaction trans(bm, nullptr, false, false);
      for (TnxBlockNumber n = 1; n < 40; ++n) {
        TnxBlockGuard guard;
        guard.Hold(bm.GetBlock(disk, &trans, n, true, guard.ReleaseMethod()));
        std::memset(guard.Block() + kBody, Value(n), disk.fiBlockSizeBytes - kBody);
      }
      // The commit's own pass finds them committed and not yet written.
      bm.CommitTransaction(&trans, &list, false);
      EXPECT_GE(bm.CachedBlocks(disk), 40);
      list.Flush(false);
    } else {
      readAll();
      bm.SetTempStoreSize(1);
    }
    bm.EvictNow(true);
    if (way == wStoreSwitchedOn) {
      EXPECT_LE(bm.ResidentPages(), bm.TargetPages()) << "the in-memory blocks are parked now";
      EXPECT_GT(bm.TempStoreInUse(), 0);
    } else {
      EXPECT_LE(bm.CachedBlocks(disk), 1) << "only the header object may stay";
      EXPECT_LE(bm.ResidentPages(), settled + 1);
    }
    for (TnxBlockNumber n = 1; n < 300; n += 37) {
      TnxBlockGuard guard;
      guard.Hold(bm.GetBlock(memory, nullptr, n, guard.ReleaseMethod()));
      ASSERT_EQ(guard.Block()[kBody], Value(n)) << n;
    }
    if (way == wCommitFlushed) {
      EXPECT_EQ(FirstNotWritten(fx, "disk.nx1", disk, 40), 0u);
    }
  }
}

// ---- write-through files ----

TEST_F(CacheEvictionTest, WriteThroughTransactionTooLargeForTheCacheCommitsThroughEviction) {
  const std::string name = "wt.nx1";
  TnxBaseFile& file = Table(name, 700);
  file.fiAttributes = nxfaTransWriteThrough;
  TnxBaseTransaction trans(Bm(), nullptr, false, false);
  int32_t peak = 0;
  for (TnxBlockNumber n = 1; n < 700; ++n) {
    Fill(file, trans, n, Value(n));
    peak = std::max(peak, Bm().ResidentPages());
  }
  // Written before the commit: eviction committed the early blocks through.
  EXPECT_TRUE(OnDiskIs(name, file, 1, Value(1)));
  EXPECT_LE(peak, 2 * Bm().TargetPages()) << "no store, and yet the cache stays bounded";
  EXPECT_GT(trans.BlockCount(), 0);
  EXPECT_LT(trans.BlockCount(), 699);
  Bm().CommitTransaction(&trans, nullptr, false);
  EXPECT_EQ(FirstNotWritten(fx_, name, file, 700), 0u);
}

// The same inside a reuse scope that keeps the transaction's copies it
// fetched: every block is changed in two fetches, and a commit through
// eviction between them must neither lose the first change nor let the
// second go to an image that is no longer the transaction's.
TEST_F(CacheEvictionTest, WriteThroughByEvictionUnderAReuseScopeKeepsEveryChange) {
  const std::string name = "wts.nx1";
  TnxBaseFile& file = Table(name, 700);
  file.fiAttributes = nxfaTransWriteThrough;
  TnxBaseTransaction trans(Bm(), nullptr, false, false);
  {
    TnxBlockReuseScope reuse(Bm());
    for (TnxBlockNumber n = 1; n < 700; ++n) {
      Fill(file, trans, n, 0xEE);
      // Some other blocks in between, as an insert's other blocks would be.
      if (n > 3) Hold(file, n - 3, &trans, true).Block()[kBody + 1] = Value(n - 3);
      TnxBlockGuard again = Hold(file, n, &trans, true);
      ASSERT_EQ(again.Block()[kBody + 2], 0xEE) << n;
      std::memset(again.Block() + kBody, Value(n), file.fiBlockSizeBytes - kBody);
    }
    EXPECT_TRUE(OnDiskIs(name, file, 1, Value(1))) << "eviction committed the early blocks through";
  }
  EXPECT_EQ(Bm().HandedOut(file), 0);
  Bm().CommitTransaction(&trans, nullptr, false);
  EXPECT_EQ(FirstNotWritten(fx_, name, file, 700), 0u);
}

TEST_F(CacheEvictionTest, WriteThroughWantedAtANestedLevelIsLeftToTheOwner) {
  const std::string name = "wtn.nx1";
  TnxBaseFile& file = Table(name, 700);
  file.fiAttributes = nxfaTransWriteThrough;
  Bm().SetTempStoreSize(1);
  TnxBaseTransaction trans(Bm(), nullptr, false, false);
  trans.StartNested(false);
  for (TnxBlockNumber n = 1; n < 600; ++n) Fill(file, trans, n, Value(n));
  EXPECT_TRUE(trans.WriteThroughCommitWanted());
  EXPECT_FALSE(OnDiskIs(name, file, 1, Value(1))) << "nothing is written through from a nested level";
  Bm().CommitTransaction(&trans, nullptr, false);
  trans.EndLevel();
  ASSERT_TRUE(trans.WriteThroughCommitWanted());
  trans.ClearWriteThroughCommit();
  Bm().CommitTransaction(&trans, nullptr, true);
  EXPECT_EQ(trans.BlockCount(), 0);
  EXPECT_EQ(FirstNotWritten(fx_, name, file, 600), 0u);
  Bm().RollbackTransaction(&trans);
}

TEST_F(CacheEvictionTest, WriteThroughCommitKeepsTheCopyOfAHeldBlock) {
  const std::string name = "wth.nx1";
  TnxBaseFile& file = Table(name, 10);
  TnxBaseTransaction trans(Bm(), nullptr, false, false);
  Fill(file, trans, 2, 0x22);
  TnxBlockGuard held = Hold(file, 3, &trans, true);
  std::memset(held.Block() + kBody, 0x33, file.fiBlockSizeBytes - kBody);
  Bm().CommitTransaction(&trans, nullptr, true);
  EXPECT_TRUE(OnDiskIs(name, file, 2, 0x22));
  EXPECT_TRUE(OnDiskIs(name, file, 3, 0x33));
  EXPECT_EQ(trans.BlockCount(), 1) << "the held block stays dirty for the transaction";
  held.Block()[kBody] = 0x44;  // still the transaction's copy
  held.Release();
  Bm().CommitTransaction(&trans, nullptr, false);
  const std::string disk = fx_.Dir().Read(name);
  EXPECT_EQ(static_cast<uint8_t>(disk[3 * 4096 + kBody]), 0x44);
}

TEST_F(CacheEvictionTest, FailedWriteThroughFlushGivesTheHandedOutBlockBack) {
  TnxBaseFile& file = Table("wtfail.nx1", 700);
  file.fiAttributes = nxfaTransWriteThrough;
  TnxBaseTransaction trans(Bm(), nullptr, false, false);
  // From now on every flush refuses: the first commit through eviction fails
  // in the call that caused it, after that call had handed out its block.
  nxFatalErrorFlag.store(true);
  uint32_t code = 0;
  // A caller without a guard releases only what it got.
  for (TnxBlockNumber n = 1; n < 700 && code == 0; ++n)
    code = ErrorCodeOf([&] {
      TnxReleaseMethod release;
      PnxBlock block = Bm().GetBlock(file, &trans, n, true, release);
      block[kBody] = Value(n);
      release(block);
    });
  nxFatalErrorFlag.store(false);
  EXPECT_EQ(code, nxeTransactionCorrupt);
  EXPECT_EQ(Bm().HandedOut(file), 0);
  Bm().RollbackUnwritten(file);
  Bm().RollbackTransaction(&trans);
}

// ---- threads ----

TEST_F(CacheEvictionTest, ReadersAndAWriterShareASmallCache) {
  TnxBaseFile& file = Table("threads.nx1", 1024);
  constexpr TnxBlockNumber kBlocks = 1023;
  std::atomic<bool> bad{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&, t] {
      std::mt19937 random(static_cast<uint32_t>(t));
      for (int i = 0; i < 1500 && !bad; ++i) {
        const TnxBlockNumber n = 1 + random() % kBlocks;
        TnxBlockGuard guard;
        guard.Hold(Bm().GetBlock(file, nullptr, n, guard.ReleaseMethod()));
        const uint8_t* block = guard.Block();
        // The committed image as a whole: the original, or one change.
        bool same = true;
        for (uint32_t k = kBody + 1; k < file.fiBlockSizeBytes && same; ++k) same = block[k] == block[kBody];
        if (!same && !ShowsOriginal(file, n, block)) bad = true;
      }
    });
  }
  std::mt19937 random(99);
  for (int commit = 0; commit < 60 && !bad; ++commit) {
    TnxBaseTransaction trans(Bm(), nullptr, false, false);
    for (int k = 0; k < 8; ++k) Fill(file, trans, 1 + random() % kBlocks, static_cast<uint8_t>(commit));
    Bm().CommitTransaction(&trans, nullptr, false);
  }
  for (auto& reader : readers) reader.join();
  EXPECT_FALSE(bad.load());
  Bm().EvictNow(true);
  EXPECT_LE(Bm().ResidentPages(), Bm().TargetPages());
}

// Readers hold up to three blocks at a time while their misses drive the
// eviction passes of a cache a quarter the file's size, and a writer
// commits over blocks they hold. A held image never changes under its
// holder (an image evicted while pinned would show the bytes of whatever
// block reused its memory), and a read never shows a change older than the
// last one committed before it started.
// A pass on another thread must not commit through a transaction while its
// owner holds a copy: the owner may be writing into it, and the image
// written through would mix two of its states.
TEST_F(CacheEvictionTest, EvictionOnAnotherThreadNeverCopiesACopyItsOwnerWrites) {
  const std::string name = "wtrace.nx1";
  TnxBaseFile& file = Table(name, 400);
  file.fiAttributes = nxfaTransWriteThrough;
  constexpr int kRounds = 20;
  constexpr TnxBlockNumber kEnd = 300;
  const uint32_t body = file.fiBlockSizeBytes - kBody;
  Bm().SetMaxRAM(64);
  TnxBaseTransaction trans(Bm(), nullptr, false, false);
  TnxBlockGuard held = Hold(file, 1, &trans, true);
  uint8_t* const copy = held.Block();
  std::memset(copy + kBody, 1, body);
  // Odd: the evictor's turn, while the owner writes into its copy.
  std::atomic<int> turn{0};
  std::atomic<bool> torn{false};
  std::thread evictor([&] {
    for (int round = 0; round < kRounds; ++round) {
      while (turn.load() != 2 * round + 1) std::this_thread::yield();
      Bm().SetMaxRAM(1);
      Bm().EvictNow(true);
      {
        TnxBlockGuard committed = Hold(file, 1);
        // The table's original, or one whole state of the copy.
        const uint8_t* image = committed.Block();
        bool same = true;
        for (uint32_t i = kBody + 1; i < file.fiBlockSizeBytes && same; ++i) same = image[i] == image[kBody];
        if (!same && !ShowsOriginal(file, 1, image)) torn = true;
      }
      Bm().SetMaxRAM(64);
      turn.store(2 * round + 2);
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    for (TnxBlockNumber n = 2; n < kEnd; ++n) Fill(file, trans, n, Value(n));
    turn.store(2 * round + 1);
    uint8_t value = 1;
    for (int i = 0; i < 200000 && turn.load() == 2 * round + 1; ++i) std::memset(copy + kBody, ++value, body);
    while (turn.load() != 2 * round + 2) std::this_thread::yield();
  }
  evictor.join();
  EXPECT_FALSE(torn.load());
  std::memset(copy + kBody, Value(1), body);
  held.Release();
  Bm().CommitTransaction(&trans, nullptr, false);
  EXPECT_EQ(FirstNotWritten(fx_, name, file, kEnd), 0u);
}

TEST_F(CacheEvictionTest, HeldImagesStayWholeAndReadsNeverGoBackWhileEvictionRuns) {
  TnxBaseFile& file = Table("stress.nx1", 1024);
  constexpr TnxBlockNumber kBlocks = 1023;
  const int reads = testing::TestSize(3000, 30000);
  // The change each block last committed (0: the original image); raised
  // by the writer once its commit has returned.
  std::vector<std::atomic<int>> committed(kBlocks + 1);
  std::atomic<bool> writing{true};
  std::atomic<int> failures{0};
  const auto versionOf = [&](TnxBlockNumber aNumber, const uint8_t* aBlock) {
    if (nxLoadBlockCommonHeader(aBlock).bchThisBlock != aNumber) return -1;
    if (ShowsOriginal(file, aNumber, aBlock)) return 0;
    for (uint32_t k = kBody + 1; k < file.fiBlockSizeBytes; ++k)
      if (aBlock[k] != aBlock[kBody]) return -1;
    return static_cast<int>(aBlock[kBody]);
  };
  struct THeld {
    TnxBlockGuard guard;
    std::vector<uint8_t> seen;
  };
  std::vector<std::thread> readers;
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&, t] {
      std::mt19937 random(static_cast<uint32_t>(t) + 17);
      std::vector<THeld> held(1 + t % 3);
      for (int i = 0; i < reads && failures == 0; ++i) {
        THeld& slot = held[i % held.size()];
        if (slot.guard.Block()) {
          if (std::memcmp(slot.guard.Block(), slot.seen.data(), slot.seen.size()) != 0) ++failures;
          slot.guard.Release();
        }
        const TnxBlockNumber n = 1 + random() % kBlocks;
        const int before = committed[n].load(std::memory_order_acquire);
        slot.guard.Hold(Bm().GetBlock(file, nullptr, n, slot.guard.ReleaseMethod()));
        const int version = versionOf(n, slot.guard.Block());
        if (version < before) ++failures;
        slot.seen.assign(slot.guard.Block(), slot.guard.Block() + file.BlockBytes());
      }
      for (THeld& slot : held)
        if (slot.guard.Block() && std::memcmp(slot.guard.Block(), slot.seen.data(), slot.seen.size()) != 0)
          ++failures;
    });
  }
  std::thread writer([&] {
    std::mt19937 random(5);
    for (int round = 1; round < 250 && failures == 0 && writing; ++round) {
      std::vector<TnxBlockNumber> changed;
      {
        TnxBaseTransaction trans(Bm(), nullptr, false, false);
        for (int k = 0; k < 4; ++k) {
          // A few hot blocks, so that commits often replace held images.
          const TnxBlockNumber n = 1 + random() % (k == 0 ? 8 : kBlocks);
          Fill(file, trans, n, static_cast<uint8_t>(round));
          changed.push_back(n);
        }
        Bm().CommitTransaction(&trans, nullptr, false);
      }
      for (const TnxBlockNumber n : changed) committed[n].store(round, std::memory_order_release);
    }
  });
  for (auto& reader : readers) reader.join();
  writing = false;
  writer.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Bm().HandedOut(file), 0);
  EXPECT_EQ(Bm().RetiredImages(), 0);
  Bm().EvictNow(true);
  EXPECT_LE(Bm().ResidentPages(), Bm().TargetPages());
}

}  // namespace
}  // namespace revurov
