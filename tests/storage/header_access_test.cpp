#include "storage/header_access.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/deadline_hooks.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "platform/text.h"
#include "storage/block_access.h"
#include "storage/buffer_manager.h"
#include "storage/encryption_engine.h"
#include "storage/file_header.h"
#include "storage/transactions.h"
#include "support/exception_message.h"
#include "support/storage_fixture.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using platform::LoadU16;
using platform::LoadU32;
using platform::StoreU32;
using testing::ErrorCodeOf;
using testing::TestSize;
using testing::TStorageFixture;

using TBytes = std::vector<uint8_t>;
constexpr int32_t kID = TStorageFixture::kOwnerID;

std::string SignatureOf(const uint8_t* aBlock) { return {reinterpret_cast<const char*>(aBlock), 4}; }
int32_t LoadI32(const uint8_t* p) { return static_cast<int32_t>(LoadU32(p)); }

// One table file with its block access and a transaction that can be
// committed or rolled back and started again.
class HeaderAccessTest : public ::testing::Test {
public:
  void SetUp() override { nxFatalErrorFlag.store(false); }
  void TearDown() override { nxFatalErrorFlag.store(false); }

  TnxBaseFile& Open(const std::string& aName, uint32_t aBlocks = 1) {
    file_ = &fx_.Open(fx_.MakeTable(aName, nxbs4k, aBlocks));
    access_ = std::make_unique<TnxBlockAccess>(*file_, nullptr, u"t", 0);
    return *file_;
  }
  TnxBufferManager& Bm() { return fx_.BufMgr(); }
  TnxBlockAccess& Access() { return *access_; }
  TnxBaseTransaction& Trans() {
    if (!trans_) trans_ = std::make_unique<TnxBaseTransaction>(Bm(), nullptr, false, false);
    return *trans_;
  }
  void Commit() {
    Bm().CommitTransaction(&Trans(), nullptr, false);
    trans_.reset();
  }
  void Rollback() {
    Bm().RollbackTransaction(&Trans());
    trans_.reset();
  }
  TnxFileHeaderAccessPtr Writer() { return Access().HeaderAccess(&Trans(), true); }
  Tnx2xFileHeaderAccess& As2x(TnxBaseFileHeaderAccess& aAccess) {
    return dynamic_cast<Tnx2xFileHeaderAccess&>(aAccess);
  }

  // A new block as an engine would take it: signed and released.
  TnxBlockNumber Alloc(int32_t aID = kID) {
    auto header = Writer();
    TnxBlockGuard block;
    block.Hold(header->GetNewBlock(Trans(), aID, block.ReleaseMethod()));
    std::memcpy(block.Block(), "TEST", 4);
    return LoadU32(block.Block() + 4);
  }
  // Releases block aNumber; answers the cached free count before and after.
  std::pair<uint32_t, uint32_t> Free(TnxBlockNumber aNumber, int32_t aID = kID) {
    auto header = Writer();
    const uint32_t before = header->AvailableBlocks();
    TnxBlockGuard block;
    block.Hold(Access().GetBlock(&Trans(), aNumber, aID, true, block.ReleaseMethod()));
    header->DeleteBlock(Trans(), block.Block());
    return {before, header->AvailableBlocks()};
  }
  // Block 0 as the transaction sees it.
  TBytes HeaderBytes() {
    auto header = Access().HeaderAccess(&Trans(), false);
    return {header->Header(), header->Header() + file_->BlockBytes()};
  }
  TBytes BlockBytes(TnxBlockNumber aNumber) {
    TnxBlockGuard block;
    block.Hold(Bm().GetBlock(*file_, &Trans(), aNumber, block.ReleaseMethod()));
    return {block.Block(), block.Block() + file_->BlockBytes()};
  }
  std::vector<uint32_t> Cache(const TBytes& aHeader) {
    std::vector<uint32_t> cache;
    for (uint32_t i = 0; i < LoadU32(&aHeader[nxhFreeCount]); ++i)
      cache.push_back(LoadU32(&aHeader[nxhFreeCache + 4 * i]));
    return cache;
  }
  // Every free number as the file keeps it: cache, map entries and the map
  // blocks themselves, each once.
  std::multiset<uint32_t> FreeNumbers() {
    const TBytes header = HeaderBytes();
    std::vector<uint32_t> cache = Cache(header);
    std::multiset<uint32_t> numbers(cache.begin(), cache.end());
    uint32_t map = LoadU32(&header[nxhFreeHead]);
    for (uint32_t walked = 0; map != nxNoBlock && walked < LoadU32(&header[nxhUsedBlocks]); ++walked) {
      const TBytes body = BlockBytes(map);
      EXPECT_EQ(SignatureOf(body.data()), "FBMH");
      EXPECT_EQ(LoadI32(&body[file_->fiBlockSizeBytes]), nxFreeBlockMapOwnerID);
      numbers.insert(map);
      for (uint32_t i = 0; i < LoadU32(&body[nxfbmEntries]); ++i) numbers.insert(LoadU32(&body[nxfbmFirst + 4 * i]));
      map = LoadU32(&body[nxfbmNext]);
    }
    return numbers;
  }

  TStorageFixture fx_;
  TnxBaseFile* file_ = nullptr;
  std::unique_ptr<TnxBlockAccess> access_;
  std::unique_ptr<TnxBaseTransaction> trans_;
};

// ---- allocation and release ("NX!2") ----

TEST_F(HeaderAccessTest, NewFileHandsOutBlockOneThenGrows) {
  Open("a.nx2");
  const TBytes fresh = HeaderBytes();
  EXPECT_EQ(LoadU32(&fresh[nxhUsedBlocks]), 1u);
  EXPECT_EQ(LoadU32(&fresh[nxhFreeCount]), 0u);
  EXPECT_EQ(LoadU32(&fresh[nxhFreeHead]), nxNoBlock);
  EXPECT_EQ(Alloc(42), 1u);
  EXPECT_EQ(Alloc(), 2u);
  const TBytes block = BlockBytes(1);
  EXPECT_EQ(LoadU32(&block[4]), 1u);
  EXPECT_EQ(LoadI32(&block[file_->fiBlockSizeBytes]), 42);
  EXPECT_EQ(LoadU32(&HeaderBytes()[nxhUsedBlocks]), 3u);
  EXPECT_EQ(file_->fiTransUsedBlocks, 3u);
}

TEST_F(HeaderAccessTest, TwentyFreedStayInBlockZeroAndTheTwentyFirstBecomesAMap) {
  Open("a.nx2");
  std::vector<TnxBlockNumber> blocks;
  for (int i = 0; i < 21; ++i) blocks.push_back(Alloc());
  for (int i = 0; i < 20; ++i) Free(blocks[i]);
  const TBytes twenty = HeaderBytes();
  EXPECT_EQ(Cache(twenty), std::vector<uint32_t>(blocks.begin(), blocks.begin() + 20));
  EXPECT_EQ(LoadU32(&twenty[nxhFreeHead]), nxNoBlock);
  EXPECT_EQ(Free(blocks[20]), std::make_pair(20u, 5u));

  const TBytes header = HeaderBytes();
  EXPECT_EQ(Cache(header), std::vector<uint32_t>(blocks.begin(), blocks.begin() + 5));
  ASSERT_EQ(LoadU32(&header[nxhFreeHead]), blocks[20]);
  const TBytes map = BlockBytes(blocks[20]);
  EXPECT_EQ(SignatureOf(map.data()), "FBMH");
  EXPECT_EQ(LoadI32(&map[file_->fiBlockSizeBytes]), nxFreeBlockMapOwnerID);
  EXPECT_EQ(LoadU32(&map[nxfbmNext]), nxNoBlock);
  EXPECT_EQ(LoadU32(&map[nxfbmCapacity]), (file_->fiBlockSizeBytes - 28) / 4);
  ASSERT_EQ(LoadU32(&map[nxfbmEntries]), 15u);
  for (uint32_t i = 0; i < 15; ++i) EXPECT_EQ(LoadU32(&map[nxfbmFirst + 4 * i]), blocks[5 + i]) << i;
  // The map survives the commit as it is.
  Commit();
  EXPECT_EQ(SignatureOf(BlockBytes(blocks[20]).data()), "FBMH");
}

TEST_F(HeaderAccessTest, EmptyCacheDrainsTheHeadMapAndHandsTheMapItselfOut) {
  Open("a.nx2");
  std::vector<TnxBlockNumber> blocks;
  for (int i = 0; i < 21; ++i) blocks.push_back(Alloc());
  for (TnxBlockNumber n : blocks) Free(n);
  Commit();
  // The five oldest go first, most recent first.
  for (int i = 4; i >= 0; --i) EXPECT_EQ(Alloc(), blocks[i]);
  EXPECT_EQ(Alloc(77), blocks[20]);  // the emptied map, now the caller's
  const TBytes header = HeaderBytes();
  EXPECT_EQ(LoadU32(&header[nxhFreeHead]), nxNoBlock);
  EXPECT_EQ(Cache(header), std::vector<uint32_t>(blocks.begin() + 5, blocks.begin() + 20));
  EXPECT_EQ(LoadI32(&BlockBytes(blocks[20])[file_->fiBlockSizeBytes]), 77);
  for (int i = 19; i >= 5; --i) EXPECT_EQ(Alloc(), blocks[i]);
  EXPECT_EQ(Alloc(), 22u);
}

TEST_F(HeaderAccessTest, SpillIntoAnExistingMapKeepsTheReleasedBlockCached) {
  Open("a.nx2");
  std::vector<TnxBlockNumber> blocks;
  for (int i = 0; i < 41; ++i) blocks.push_back(Alloc());
  for (int i = 0; i < 21; ++i) Free(blocks[i]);   // map blocks[20] with 15 entries
  for (int i = 21; i < 36; ++i) Free(blocks[i]);  // the cache is full again
  EXPECT_EQ(Free(blocks[36]), std::make_pair(20u, 6u));
  const TBytes map = BlockBytes(blocks[20]);
  EXPECT_EQ(LoadU32(&map[nxfbmEntries]), 30u);
  EXPECT_EQ(Alloc(), blocks[36]);
}

TEST_F(HeaderAccessTest, RollbackGivesTheFreeSpaceBackAndCommitKeepsIt) {
  Open("a.nx2");
  std::vector<TnxBlockNumber> blocks;
  for (int i = 0; i < 30; ++i) blocks.push_back(Alloc());
  for (int i = 0; i < 25; ++i) Free(blocks[i]);
  Commit();
  const TBytes committed = HeaderBytes();
  const std::multiset<uint32_t> freeBefore = FreeNumbers();
  for (int i = 0; i < 40; ++i) Alloc();
  for (int i = 25; i < 30; ++i) Free(blocks[i]);
  Rollback();
  TBytes after = HeaderBytes();
  // Only the LSN differs.
  EXPECT_TRUE(std::equal(committed.begin() + 16, committed.end(), after.begin() + 16));
  EXPECT_EQ(FreeNumbers(), freeBefore);
  const std::string disk = fx_.Dir().Read("a.nx2");
  EXPECT_EQ(LoadU32(disk.data() + nxhUsedBlocks), 31u);
  EXPECT_EQ(LoadU32(disk.data() + nxhFreeCount), LoadU32(&committed[nxhFreeCount]));
}

TEST_F(HeaderAccessTest, WritesThroughAReaderAreRefused) {
  Open("a.nx2", 3);
  auto reader = Access().HeaderAccess(&Trans(), false);
  TnxBlockGuard block;
  block.Hold(Access().GetBlock(&Trans(), 1, kID, true, block.ReleaseMethod()));
  TnxReleaseMethod release;
  EXPECT_EQ(ErrorCodeOf([&] { reader->GetNewBlock(Trans(), kID, release); }), nxeWriteFailure);
  EXPECT_EQ(ErrorCodeOf([&] { reader->DeleteBlock(Trans(), block.Block()); }), nxeWriteFailure);
  EXPECT_EQ(ErrorCodeOf([&] { reader->RegisterHeaderSection("Record", 8, true, false); }), nxeWriteFailure);
  EXPECT_FALSE(release);
  // Made dirty, the same accessor may.
  reader->MarkDirty(&Trans());
  EXPECT_EQ(reader->RegisterHeaderSection("Record", 8, true, false), file_->fiBlockSizeBytes - 1 - 8);
}

TEST_F(HeaderAccessTest, FullTableRefusesAndChangesNothing) {
  Open("a.nx2", 4);
  file_->fiMaxBlocks = 5;
  EXPECT_EQ(Alloc(), 4u);
  const TBytes before = HeaderBytes();
  TnxReleaseMethod release;
  auto header = Writer();
  EXPECT_EQ(ErrorCodeOf([&] { header->GetNewBlock(Trans(), kID, release); }), nxeTableIsFull);
  EXPECT_HAS_TEXT(testing::MessageOf<EnxBaseException>([&] { header->GetNewBlock(Trans(), kID, release); }),
                  u"Table is full.");
  header.reset();
  EXPECT_FALSE(release);
  EXPECT_EQ(HeaderBytes(), before);
  Free(4);
  EXPECT_EQ(Alloc(), 4u);  // a free number is still handed out
}

// The model: a set of free numbers and the blocks handed out, saved at
// every commit and nested level. Every step checks that no number is handed
// out twice or lost, that a number the release put into the cache comes
// back first, and that used blocks equal the header plus live plus free
// blocks; rollbacks of either kind restore the saved model.
TEST_F(HeaderAccessTest, RandomAllocationsAndReleasesMatchTheModel) {
  Open("m.nx2");
  std::mt19937 rng(6501);
  const int steps = 100000;
  struct TModel {
    std::vector<TnxBlockNumber> live;
    std::set<TnxBlockNumber> free;
    uint32_t used = 1;
  };
  TModel model;
  TModel committed = model;
  std::vector<TModel> levels;  // the model as each nested level started
  std::optional<TnxBlockNumber> expectNext;
  int maps = 0;
  for (int step = 0; step < steps; ++step) {
    const uint32_t r = rng() % 1000;
    if (r < 480 || model.live.empty()) {
      const TnxBlockNumber n = Alloc();
      if (expectNext) {
        ASSERT_EQ(n, *expectNext) << "step " << step;
      }
      expectNext.reset();
      if (model.free.erase(n) == 0) {
        ASSERT_EQ(n, model.used) << "step " << step;
        ++model.used;
      }
      model.live.push_back(n);
    } else if (r < 990) {
      const size_t at = rng() % model.live.size();
      const TnxBlockNumber n = model.live[at];
      model.live[at] = model.live.back();
      model.live.pop_back();
      const auto [before, after] = Free(n);
      ASSERT_TRUE(model.free.insert(n).second) << "step " << step;
      const bool becameMap = before >= nxFreeCacheSize && after == nxFreeCacheKept;
      maps += becameMap;
      if (becameMap)
        expectNext.reset();
      else
        expectNext = n;
    } else if (r < 993 && levels.size() < 3) {
      Trans().StartNested(true);
      levels.push_back(model);
    } else if (r < 996) {
      if (levels.empty()) {
        Commit();
        committed = model;
      } else {
        Bm().CommitTransaction(&Trans(), nullptr, false);
        Trans().EndLevel();
        levels.pop_back();
      }
    } else {
      expectNext.reset();
      if (levels.empty()) {
        Rollback();
        model = committed;
      } else {
        Bm().RollbackTransaction(&Trans());
        Trans().EndLevel();
        model = levels.back();
        levels.pop_back();
      }
    }
    if (step % 97 == 0 || step == steps - 1) {
      const std::multiset<uint32_t> numbers = FreeNumbers();
      ASSERT_EQ(numbers, std::multiset<uint32_t>(model.free.begin(), model.free.end())) << "step " << step;
      const uint32_t used = LoadU32(&HeaderBytes()[nxhUsedBlocks]);
      ASSERT_EQ(used, model.used) << "step " << step;
      ASSERT_EQ(used, 1 + model.live.size() + model.free.size()) << "step " << step;
    }
  }
  EXPECT_GT(maps, 10);
}

TEST_F(HeaderAccessTest, FreedBlocksAreNotWrittenAgainAndAreHandedOutAgain) {
  Open("f.nx2");
  for (int i = 0; i < 3; ++i) Alloc();
  Commit();
  const std::string before = fx_.Dir().Read("f.nx2");
  Free(2);
  Commit();
  EXPECT_FALSE(nxFatalErrorFlag.load());
  const std::string after = fx_.Dir().Read("f.nx2");
  const uint32_t bytes = file_->BlockBytes();
  EXPECT_EQ(after.substr(2 * bytes, bytes), before.substr(2 * bytes, bytes));
  EXPECT_EQ(LoadU32(reinterpret_cast<const uint8_t*>(after.data()) + nxhFreeCount), 1u);
  auto header = Writer();
  TnxBlockGuard block;
  block.Hold(header->GetNewBlock(Trans(), 5, block.ReleaseMethod()));
  EXPECT_EQ(LoadU32(block.Block() + 4), 2u);
  EXPECT_EQ(LoadI32(block.Block() + file_->fiBlockSizeBytes), 5);
}

// One transaction's commit queues block 3; before its flush runs, another
// frees the block and commits. The flush must still write a whole image.
TEST_F(HeaderAccessTest, BlockFreedWhileAnEarlierWriteIsQueuedIsWrittenWhole) {
  Open("q.nx2", 4);
  TnxFlushList first;
  {
    TnxBaseTransaction trans(Bm(), nullptr, false, false);
    TnxBlockGuard block;
    block.Hold(Access().GetBlock(&trans, 3, kID, true, block.ReleaseMethod()));
    block.Block()[100] = 0xAB;
    block.Release();
    Bm().CommitTransaction(&trans, &first, false);
  }
  Free(3);
  Commit();
  first.Flush(false);
  EXPECT_FALSE(nxFatalErrorFlag.load());
  const std::string disk = fx_.Dir().Read("q.nx2");
  EXPECT_EQ(static_cast<uint8_t>(disk[3 * file_->BlockBytes() + 100]), 0xAB);
  EXPECT_EQ(LoadU32(reinterpret_cast<const uint8_t*>(disk.data()) + nxhFreeCache), 3u);
}

// Damage put into the transaction's copies of block 0, a map block and an
// overflow block; every walk stops with a corruption code.
TEST_F(HeaderAccessTest, DamagedFreeSpaceAndSubHeadersGiveCorruptionCodes) {
  Open("d.nx2");
  {
    auto root = Writer();
    for (int32_t id = 100; id < 140; ++id) As2x(*root).GetHeaderBlockForID(&Trans(), id);
  }
  std::vector<TnxBlockNumber> blocks;
  for (int i = 0; i < 40; ++i) blocks.push_back(Alloc());
  for (int i = 0; i < 30; ++i) Free(blocks[i]);  // a map with 15 entries, 14 cached
  Commit();
  using TDamage = void (*)(HeaderAccessTest & aTest, uint8_t * aHeader, uint32_t aSection);
  using TCall = void (*)(HeaderAccessTest & aTest, TnxBaseFileHeaderAccess & aHeader);
  const TCall alloc = [](HeaderAccessTest& t, TnxBaseFileHeaderAccess& h) {
    TnxBlockGuard b;
    b.Hold(h.GetNewBlock(t.Trans(), kID, b.ReleaseMethod()));
  };
  const TCall release = [](HeaderAccessTest& t, TnxBaseFileHeaderAccess& h) {
    TnxBlockGuard b;
    b.Hold(t.Access().GetBlock(&t.Trans(), 81, kID, true, b.ReleaseMethod()));
    h.DeleteBlock(t.Trans(), b.Block());
  };
  const TCall lookupAbsent = [](HeaderAccessTest& t, TnxBaseFileHeaderAccess& h) {
    t.As2x(h).GetHeaderBlockForID(&t.Trans(), 5000);
  };
  const TCall lookupFirst = [](HeaderAccessTest& t, TnxBaseFileHeaderAccess& h) {
    t.As2x(h).GetHeaderBlockForID(&t.Trans(), 100);
  };
  // The block copies the damage goes into.
  static auto blockFor = [](HeaderAccessTest& t, TnxBlockNumber n, int32_t owner) {
    TnxBlockGuard b;
    b.Hold(t.Access().GetBlock(&t.Trans(), n, owner, true, b.ReleaseMethod()));
    return b.Block();  // the copy lives on with the transaction
  };
  struct TCase {
    const char* What;
    TDamage Damage;
    TCall Call;
    uint32_t Code;
  };
  const TCase cases[] = {
      {"cache count above 20", [](HeaderAccessTest&, uint8_t* h, uint32_t) { StoreU32(h + nxhFreeCount, 21); }, alloc,
       nxeCorruptHeader},
      {"cached number 0", [](HeaderAccessTest&, uint8_t* h, uint32_t) { StoreU32(h + nxhFreeCache + 4 * 13, 0); },
       alloc, nxeCorruptFile},
      {"cached number past the file",
       [](HeaderAccessTest&, uint8_t* h, uint32_t) { StoreU32(h + nxhFreeCache + 4 * 13, LoadU32(h + nxhUsedBlocks)); },
       alloc, nxeCorruptFile},
      {"map head past the file",
       [](HeaderAccessTest&, uint8_t* h, uint32_t) {
         StoreU32(h + nxhFreeCount, 0);
         StoreU32(h + nxhFreeHead, 100000);
       },
       alloc, nxeCorruptFile},
      {"map head is a data block",
       [](HeaderAccessTest&, uint8_t* h, uint32_t) {
         StoreU32(h + nxhFreeCount, 0);
         StoreU32(h + nxhFreeHead, 81);
       },
       alloc, nxeCorruptFile},
      {"map entries above capacity",
       [](HeaderAccessTest& t, uint8_t* h, uint32_t) {
         StoreU32(h + nxhFreeCount, 0);
         uint8_t* map = blockFor(t, LoadU32(h + nxhFreeHead), nxFreeBlockMapOwnerID);
         StoreU32(map + nxfbmEntries, LoadU32(map + nxfbmCapacity) + 1);
       },
       alloc, nxeCorruptFile},
      {"map capacity above the block",
       [](HeaderAccessTest& t, uint8_t* h, uint32_t) {
         StoreU32(h + nxhFreeCount, 0);
         uint8_t* map = blockFor(t, LoadU32(h + nxhFreeHead), nxFreeBlockMapOwnerID);
         StoreU32(map + nxfbmCapacity, 0x40000000);
         StoreU32(map + nxfbmEntries, 0x3FFFFFFF);
       },
       alloc, nxeCorruptFile},
      {"spill into a map past the file",
       [](HeaderAccessTest&, uint8_t* h, uint32_t) {
         StoreU32(h + nxhFreeCount, 20);
         StoreU32(h + nxhFreeHead, 0xFFFFFFF0);
       },
       release, nxeCorruptFile},
      {"sub-header count above 31", [](HeaderAccessTest&, uint8_t* h, uint32_t s) { h[s + nxSubHeadersCount] = 32; },
       lookupFirst, nxeCorruptHeader},
      {"sub-header block 0", [](HeaderAccessTest&, uint8_t* h, uint32_t s) { StoreU32(h + s + 4, 0); }, lookupFirst,
       nxeCorruptFile},
      {"overflow block past the file",
       [](HeaderAccessTest&, uint8_t* h, uint32_t s) { StoreU32(h + s + nxSubHeadersChain, 77777); }, lookupAbsent,
       nxeCorruptFile},
      {"overflow chain loops",
       [](HeaderAccessTest& t, uint8_t* h, uint32_t s) {
         const uint32_t chof = LoadU32(h + s + nxSubHeadersChain);
         StoreU32(blockFor(t, chof, nxSubHeaderOverflowOwnerID) + nxchofNext, chof);
       },
       lookupAbsent, nxeCorruptHeader},
      {"overflow count above capacity",
       [](HeaderAccessTest& t, uint8_t* h, uint32_t s) {
         uint8_t* chof = blockFor(t, LoadU32(h + s + nxSubHeadersChain), nxSubHeaderOverflowOwnerID);
         platform::StoreU16(chof + nxchofCount, 600);
       },
       lookupAbsent, nxeCorruptFile},
  };
  for (const TCase& c : cases) {
    auto header = Writer();
    const uint32_t section = header->RegisterHeaderSection(nxSubHeadersSection, nxSubHeadersSectionSize, false, false);
    c.Damage(*this, header->Header(), section);
    try {
      c.Call(*this, *header);
      ADD_FAILURE() << c.What;
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), c.Code) << c.What;
      EXPECT_HAS_TEXT(e.Message(), platform::Utf8ToUtf16(fx_.Dir().Path("d.nx2")));
    }
    header.reset();
    Rollback();
  }
}

// Random damage to block 0, the map blocks and the overflow blocks of a
// committed file: opening and every use answer at most a corruption code
// (a section lookup may also find its name gone), never a wild access.
TEST_F(HeaderAccessTest, MutatedFreeSpaceAndDirectoriesGiveOnlyCorruptionCodes) {
  Open("base.nx2");
  {
    auto root = Writer();
    root->RegisterHeaderSection("Record", 20, true, false);
    root->RegisterHeaderSection("Blob", 30, true, false);
    for (int32_t id = 1000; id < 1080; id += 2) As2x(*root).GetHeaderBlockForID(&Trans(), id);
  }
  std::vector<TnxBlockNumber> blocks;
  for (int i = 0; i < 60; ++i) blocks.push_back(Alloc());
  for (int i = 0; i < 45; ++i) Free(blocks[i]);
  Commit();
  const std::string base = fx_.Dir().Read("base.nx2");
  const uint32_t bytes = file_->BlockBytes();
  // The byte ranges the damage goes to.
  std::vector<std::pair<size_t, size_t>> ranges{
      {nxhFreeHead, nxhUsedBlocks}, {nxhFreeCache, nxhFreeCache + 80}, {nxhSectionTop, nxhSectionDirectory + 40}};
  {
    auto reader = Access().HeaderAccess(nullptr, false);
    const uint32_t s = reader->RegisterHeaderSection(nxSubHeadersSection, nxSubHeadersSectionSize, false, false);
    ranges.emplace_back(s, s + nxSubHeadersSectionSize);
    for (uint32_t map = LoadU32(reader->Header() + nxhFreeHead), n = 0; map != nxNoBlock && n < 10; ++n) {
      ranges.emplace_back(size_t{map} * bytes + 16, size_t{map} * bytes + 16 + 12 + 4 * 40);
      map = LoadU32(reinterpret_cast<const uint8_t*>(base.data()) + size_t{map} * bytes + nxfbmNext);
    }
    for (uint32_t chof = LoadU32(reader->Header() + s + nxSubHeadersChain), n = 0; chof != 0 && n < 10; ++n) {
      ranges.emplace_back(size_t{chof} * bytes + 16, size_t{chof} * bytes + 24 + 8 * 12);
      chof = LoadU32(reinterpret_cast<const uint8_t*>(base.data()) + size_t{chof} * bytes + nxchofNext);
    }
  }
  ASSERT_GE(ranges.size(), 6u);
  std::mt19937 rng(6502);
  const int runs = TestSize(300, 3000);
  std::map<uint32_t, int> seen;
  auto expectCorrupt = [&](const std::function<void()>& aCall, bool aSection) {
    const uint32_t code = ErrorCodeOf(aCall);
    ++seen[code];
    const bool allowed = code == 0 || code == nxeCorruptHeader || code == nxeCorruptFile ||
                         (aSection && (code == nxeObjectNotFound || code == nxeOutOfMemory));
    EXPECT_TRUE(allowed) << "code " << code;
  };
  for (int run = 0; run < runs; ++run) {
    std::string image = base;
    for (int k = 0, n = 1 + rng() % 3; k < n; ++k) {
      const auto& [from, to] = ranges[rng() % ranges.size()];
      const size_t at = from + rng() % (to - from);
      if (rng() % 2) {
        image[at] = static_cast<char>(rng());
      } else {
        const uint32_t values[] = {0, 1, 0xFFFFFFFF, 0x7FFFFFFF, 200, static_cast<uint32_t>(rng())};
        const uint32_t v = values[rng() % 6];
        for (size_t i = 0; i < 4 && at + i < image.size(); ++i) image[at + i] = static_cast<char>(v >> (8 * i));
      }
    }
    const std::string name = "m" + std::to_string(run) + ".nx2";
    fx_.Dir().Write(name, image);
    TnxBaseFile& file = fx_.OpenOnly(platform::Utf8ToUtf16(fx_.Dir().Path(name)));
    uint32_t opened = 0;
    expectCorrupt([&] { opened = fx_.AddFile(file).Result; }, false);
    if (opened != 0 || !file.fiBlockCache) {
      file.CloseFile();
      continue;
    }
    {
      TnxBlockAccess access(file, nullptr, u"m", 0);
      TnxBaseTransaction trans(Bm(), nullptr, false, false);
      expectCorrupt([&] { access.HeaderAccess(&trans, false)->RegisterHeaderSection("Record", 20, false, false); },
                    true);
      expectCorrupt([&] { access.HeaderAccess(&trans, true)->RegisterHeaderSection("New", 9, true, false); }, true);
      for (int32_t id : {1000, 1040, 1078, 1001, 5000})
        expectCorrupt(
            [&] {
              dynamic_cast<Tnx2xFileHeaderAccess&>(*access.HeaderAccess(nullptr, false))
                  .GetHeaderBlockForID(nullptr, id);
            },
            false);
      // Creating a sub-header inserts into the "SubHeaders" section: a
      // damaged count can leave it full.
      expectCorrupt(
          [&] {
            dynamic_cast<Tnx2xFileHeaderAccess&>(*access.HeaderAccess(&trans, true)).GetHeaderBlockForID(&trans, 1003);
          },
          true);
      std::vector<TnxBlockNumber> got;
      for (int i = 0; i < 30; ++i)
        expectCorrupt(
            [&] {
              auto header = access.HeaderAccess(&trans, true);
              TnxBlockGuard block;
              block.Hold(header->GetNewBlock(trans, kID, block.ReleaseMethod()));
              std::memcpy(block.Block(), "TEST", 4);
              got.push_back(LoadU32(block.Block() + 4));
            },
            false);
      for (size_t i = 0; i < got.size() && i < 25; ++i)
        expectCorrupt(
            [&] {
              auto header = access.HeaderAccess(&trans, true);
              TnxBlockGuard block;
              block.Hold(access.GetBlock(&trans, got[i], kID, true, block.ReleaseMethod()));
              header->DeleteBlock(trans, block.Block());
            },
            false);
      Bm().RollbackTransaction(&trans);
    }
    Bm().RemoveFile(file);
    file.CloseFile();
  }
  EXPECT_GT(seen[nxeCorruptHeader], 0);
  EXPECT_GT(seen[nxeCorruptFile], 0);
  EXPECT_GT(seen[0], 0);
}

// ---- sections ----

TEST_F(HeaderAccessTest, SectionsAreFoundInAnyLetterCaseAndRefusedAsTabled) {
  Open("s.nx2");
  auto header = Writer();
  const uint16_t record = header->RegisterHeaderSection("Record", 10, true, false);
  EXPECT_EQ(record, file_->fiBlockSizeBytes - 1 - 10);
  EXPECT_EQ(header->RegisterHeaderSection("Blob", 20, true, false), record - 20);
  struct TCase {
    const char* Name;
    uint8_t Size;
    bool Create;
    bool Overwrite;
    uint32_t Code;
  };
  const TCase cases[] = {
      {"RECORD", 10, false, false, 0},
      {"rEcOrD", 10, true, true, 0},
      {"Record", 11, false, false, nxeCorruptHeader},
      {"Record", 9, true, true, nxeCorruptHeader},
      {"Record", 10, true, false, nxeNameNotUnique},
      {"Absent", 10, false, false, nxeObjectNotFound},
      {"", 10, true, false, nxeInvalidParameter},
  };
  for (const TCase& c : cases) {
    uint16_t offset = 0;
    EXPECT_EQ(ErrorCodeOf([&] { offset = header->RegisterHeaderSection(c.Name, c.Size, c.Create, c.Overwrite); }),
              c.Code)
        << c.Name << " " << int{c.Size};
    if (c.Code == 0) {
      EXPECT_EQ(offset, record) << c.Name;
    }
  }
  header.reset();
  Commit();
  // A reader finds both on disk.
  auto reader = Access().HeaderAccess(nullptr, false);
  EXPECT_EQ(reader->RegisterHeaderSection("blob", 20, false, false), record - 20);
}

TEST_F(HeaderAccessTest, ANewSectionMayFitExactlyButNotByteMore) {
  Open("s.nx2");
  auto header = Writer();
  std::vector<std::pair<std::string, uint16_t>> made;
  const uint32_t top = LoadU16(header->Header() + nxhSectionTop);
  uint32_t directoryEnd = nxhSectionDirectory;  // where the terminator is
  uint32_t lowest = top;
  for (int i = 0; i < 100 && lowest - directoryEnd >= 255 + 2 * 4 + 4; ++i) {
    const std::string name = "S" + std::to_string(i);
    made.emplace_back(name, header->RegisterHeaderSection(name, 255, true, false));
    directoryEnd += name.size() + 3;
    lowest -= 255;
  }
  const std::string last = "Last";
  const uint32_t room = lowest - directoryEnd - static_cast<uint32_t>(last.size()) - 4;
  ASSERT_LT(room, 255u);
  const TBytes before = HeaderBytes();
  EXPECT_EQ(ErrorCodeOf([&] { header->RegisterHeaderSection(last, static_cast<uint8_t>(room + 1), true, false); }),
            nxeOutOfMemory);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), header->Header()));
  const uint16_t offset = header->RegisterHeaderSection(last, static_cast<uint8_t>(room), true, false);
  EXPECT_EQ(offset, lowest - room);
  // The terminator touches the new section; every section is still found.
  EXPECT_EQ(header->Header()[offset - 1], 0);
  for (const auto& [name, at] : made) EXPECT_EQ(header->RegisterHeaderSection(name, 255, false, false), at);
  EXPECT_EQ(header->RegisterHeaderSection(last, static_cast<uint8_t>(room), false, false), offset);
  EXPECT_EQ(ErrorCodeOf([&] { header->RegisterHeaderSection("X", 0, true, false); }), nxeOutOfMemory);
}

TEST_F(HeaderAccessTest, DamagedDirectoryGivesCorruptHeader) {
  Open("s.nx2");
  struct TCase {
    const char* What;
    void (*Damage)(uint8_t* aHeader, uint32_t aTop);
  };
  const TCase cases[] = {
      {"name past the top",
       [](uint8_t* h, uint32_t top) {
         h[258] = 255;
         platform::StoreU16(h + 256, static_cast<uint16_t>(258 + 100));
         (void)top;
       }},
      {"offset word past the top",
       [](uint8_t* h, uint32_t) {
         h[258] = 2;
         platform::StoreU16(h + 256, static_cast<uint16_t>(258 + 4));
       }},
      {"offset below the directory",
       [](uint8_t* h, uint32_t) {
         h[258] = 1;
         h[259] = 'A';
         platform::StoreU16(h + 260, 100);
       }},
      {"offset above the top",
       [](uint8_t* h, uint32_t top) {
         h[258] = 1;
         h[259] = 'A';
         platform::StoreU16(h + 260, static_cast<uint16_t>(top + 1));
       }},
      {"top below the directory", [](uint8_t* h, uint32_t) { platform::StoreU16(h + 256, 200); }},
      {"top above the usable area",
       [](uint8_t* h, uint32_t top) { platform::StoreU16(h + 256, static_cast<uint16_t>(top + 1)); }},
      {"no terminator",
       [](uint8_t* h, uint32_t) {
         const uint32_t top = 258 + 4 * 900;
         platform::StoreU16(h + 256, static_cast<uint16_t>(top));
         for (uint32_t at = 258; at < top; at += 4) {
           h[at] = 1;
           h[at + 1] = 'A';
           platform::StoreU16(h + at + 2, static_cast<uint16_t>(top));
         }
       }},
  };
  for (const TCase& c : cases) {
    auto header = Writer();
    const uint32_t top = LoadU16(header->Header() + nxhSectionTop);
    c.Damage(header->Header(), top);
    EXPECT_EQ(ErrorCodeOf([&] { header->RegisterHeaderSection("B", 4, false, false); }), nxeCorruptHeader) << c.What;
    EXPECT_EQ(ErrorCodeOf([&] { header->RegisterHeaderSection("B", 4, true, false); }), nxeCorruptHeader) << c.What;
    header.reset();
    Rollback();
  }
}

// ---- nested tables ----

class SubHeaderTest : public HeaderAccessTest, public ::testing::WithParamInterface<int> {
protected:
  // Every pair of the directory, block 0 first, then the overflow chain.
  std::vector<std::pair<int32_t, uint32_t>> Pairs(int& aOverflowBlocks) {
    auto header = Access().HeaderAccess(&Trans(), false);
    const uint16_t s = header->RegisterHeaderSection(nxSubHeadersSection, nxSubHeadersSectionSize, false, false);
    const uint8_t* section = header->Header() + s;
    std::vector<std::pair<int32_t, uint32_t>> pairs;
    for (uint32_t i = 0; i < section[nxSubHeadersCount]; ++i)
      pairs.emplace_back(LoadI32(section + 8 * i), LoadU32(section + 8 * i + 4));
    aOverflowBlocks = 0;
    for (uint32_t next = LoadU32(section + nxSubHeadersChain); next != 0 && aOverflowBlocks < 1000; ++aOverflowBlocks) {
      const TBytes block = BlockBytes(next);
      EXPECT_EQ(SignatureOf(block.data()), "CHOF");
      EXPECT_EQ(LoadI32(&block[file_->fiBlockSizeBytes]), nxSubHeaderOverflowOwnerID);
      EXPECT_EQ(LoadU16(&block[nxchofCapacity]), (file_->fiBlockSizeBytes - 24) / 8);
      for (uint32_t i = 0; i < LoadU16(&block[nxchofCount]); ++i)
        pairs.emplace_back(LoadI32(&block[nxchofFirst + 8 * i]), LoadU32(&block[nxchofFirst + 8 * i + 4]));
      next = LoadU32(&block[nxchofNext]);
    }
    return pairs;
  }
};

TEST_P(SubHeaderTest, RandomIDsStaySortedAndEveryLookupMatchesALinearScan) {
  Open("n.nx2");
  const int tables = GetParam();
  std::mt19937 rng(tables);
  std::map<int32_t, uint32_t> made;
  while (static_cast<int>(made.size()) < tables) {
    const auto id = static_cast<int32_t>(rng() % 1000000 + 1);
    if (made.count(id)) continue;
    auto root = Writer();
    made[id] = As2x(*root).GetHeaderBlockForID(&Trans(), id);
  }
  Commit();
  int overflow = 0;
  const auto pairs = Pairs(overflow);
  ASSERT_EQ(pairs.size(), made.size());
  EXPECT_TRUE(std::is_sorted(pairs.begin(), pairs.end()));
  const int capacity = static_cast<int>((file_->fiBlockSizeBytes - 24) / 8);
  EXPECT_EQ(overflow, tables > 31 ? (tables - 31 + capacity - 1) / capacity : 0);
  auto reader = Access().HeaderAccess(nullptr, false);
  for (const auto& [id, block] : made) {
    const auto scan = std::find_if(pairs.begin(), pairs.end(), [id](const auto& p) { return p.first == id; });
    ASSERT_NE(scan, pairs.end());
    EXPECT_EQ(scan->second, block);
    EXPECT_EQ(As2x(*reader).GetHeaderBlockForID(nullptr, id), block) << id;
    const TBytes sub = BlockBytes(block);
    EXPECT_EQ(SignatureOf(sub.data()), "NX!2");
    EXPECT_EQ(LoadI32(&sub[file_->fiBlockSizeBytes]), id);
    EXPECT_EQ(LoadU16(&sub[nxhSectionTop]), file_->fiBlockSizeBytes - 1);
  }
  EXPECT_EQ(ErrorCodeOf([&] { As2x(*reader).GetHeaderBlockForID(nullptr, 0); }), nxeCorruptHeader);
  EXPECT_EQ(ErrorCodeOf([&] { As2x(*reader).GetHeaderBlockForID(nullptr, 2000000); }), nxeCorruptHeader);
}

INSTANTIATE_TEST_SUITE_P(Counts, SubHeaderTest, ::testing::Values(31, 32, 300, 1100));

TEST_F(HeaderAccessTest, LargestIDOverflowsAndASmallerOnePushesTheLastPairOn) {
  Open("n.nx2");
  auto root = Writer();
  Tnx2xFileHeaderAccess& access = As2x(*root);
  for (int32_t id = 10; id <= 310; id += 10) access.GetHeaderBlockForID(&Trans(), id);
  const uint32_t s = access.RegisterHeaderSection(nxSubHeadersSection, nxSubHeadersSectionSize, false, false);
  EXPECT_EQ(root->Header()[s + nxSubHeadersCount], 31);
  EXPECT_EQ(LoadU32(root->Header() + s + nxSubHeadersChain), 0u);
  access.GetHeaderBlockForID(&Trans(), 1000);
  const uint32_t chof = LoadU32(root->Header() + s + nxSubHeadersChain);
  ASSERT_NE(chof, 0u);
  access.GetHeaderBlockForID(&Trans(), 15);
  EXPECT_EQ(LoadI32(root->Header() + s + 8 * 1), 15);
  EXPECT_EQ(LoadI32(root->Header() + s + 8 * 30), 300);
  const TBytes block = BlockBytes(chof);
  ASSERT_EQ(LoadU16(&block[nxchofCount]), 2);
  EXPECT_EQ(LoadI32(&block[nxchofFirst]), 310);
  EXPECT_EQ(LoadI32(&block[nxchofFirst + 8]), 1000);
}

TEST_F(HeaderAccessTest, NestedTableHasItsOwnSectionsAndAllocatesThroughTheRoot) {
  Open("n.nx2");
  TnxBlockAccess nested(*file_, &Access(), u"n", 7);
  EXPECT_EQ(ErrorCodeOf([&] { nested.HeaderAccess(nullptr, false); }), nxeCorruptHeader);
  EXPECT_EQ(nested.HeaderBlock(), 0u);
  // A sub-header rolled back is not remembered.
  nested.HeaderAccess(&Trans(), true);
  Rollback();
  EXPECT_EQ(nested.HeaderBlock(), 0u);
  EXPECT_EQ(ErrorCodeOf([&] { nested.HeaderAccess(nullptr, false); }), nxeCorruptHeader);
  {
    auto header = nested.HeaderAccess(&Trans(), true);
    EXPECT_EQ(LoadU32(header->Header() + 4), 1u);
    EXPECT_EQ(SignatureOf(header->Header()), "NX!2");
    EXPECT_EQ(header->RegisterHeaderSection("Record", 16, true, false), file_->fiBlockSizeBytes - 1 - 16);
    TnxBlockGuard block;
    block.Hold(header->GetNewBlock(Trans(), 7, block.ReleaseMethod()));
    EXPECT_EQ(LoadU32(block.Block() + 4), 2u);
    EXPECT_EQ(header->UsedBlocks(), 3u);
    header->DeleteBlock(Trans(), block.Block());
    EXPECT_EQ(header->AvailableBlocks(), 1u);
  }
  Commit();
  auto rootHeader = Access().HeaderAccess(nullptr, false);
  EXPECT_EQ(ErrorCodeOf([&] { rootHeader->RegisterHeaderSection("Record", 16, false, false); }), nxeObjectNotFound);
  TnxBlockAccess again(*file_, &Access(), u"n", 7);
  auto reader = again.HeaderAccess(nullptr, false);
  EXPECT_EQ(again.HeaderBlock(), 1u);
  EXPECT_EQ(reader->RegisterHeaderSection("record", 16, false, false), file_->fiBlockSizeBytes - 1 - 16);
  EXPECT_EQ(LoadU32(&HeaderBytes()[nxhFreeCache]), 2u);
}

// ---- block access entries ----

TEST_F(HeaderAccessTest, ChangePasswordReEnciphersTheHeaderOfAnEncryptedRootOnly) {
  // A header-only table of the Blowfish/RC4 engine, made as the file would.
  TnxBaseFile shape(u"/x/enc.nx2");
  shape.fiBlockSize = nxbs4k;
  shape.fiEncryptionEngineName = u"nx1xDefault";
  shape.fiZirezVersion = 47501;
  TBytes image(2 * 4096, 0);
  auto factory = TnxBaseFileHeaderAccessFactory::CreateFactory({'N', 'X', '!', '2'}, image.data(), shape);
  ASSERT_EQ(TnxBaseEncryptionEngine::CreateEngine(shape.fiEncryptionEngineName, {u"secret"},
                                                  factory->GetEncryptionEngineHeader(image.data()), true, false,
                                                  shape.fiEncryptionEngine),
            0u);
  factory->PrepareChecksum(image.data(), true);
  shape.fiEncryptionEngine->UpdateHeaderChecksum(image.data(), 4096);
  fx_.Dir().Write("enc.nx2", std::string(image.begin(), image.end()));
  const std::u16string path = platform::Utf8ToUtf16(fx_.Dir().Path("enc.nx2"));
  TnxBaseFile& file = fx_.OpenOnly(path);
  ASSERT_EQ(fx_.AddFile(file, {u"secret"}).Result, 0u);
  TnxBlockAccess root(file, nullptr, u"enc", 0);
  TnxBlockAccess nested(file, &root, u"enc", 3);
  TnxBaseTransaction trans(Bm(), nullptr, false, false);
  EXPECT_EQ(testing::MessageOf<EnxBaseException>([&] { nested.ChangePassword(trans, u"new"); }),
            testing::MessageOf<EnxBaseException>([] {
              throw EnxBaseFileException(nxeCapabilityNotSupported,
                                         u"ChangePassword is only allowed for the root table");
            }));
  root.ChangePassword(trans, u"new");
  Bm().CommitTransaction(&trans, nullptr, false);
  bool readOnly = false;
  TnxBaseFile old(path);
  old.OpenFile(omReadOnly, smShared, false, false);
  EXPECT_EQ(old.ReadHeader({u"secret"}, readOnly), nxeInvalidPassword);
  TnxBaseFile renewed(path);
  renewed.OpenFile(omReadOnly, smShared, false, false);
  EXPECT_EQ(renewed.ReadHeader({u"new"}, readOnly), 0u);
}

TEST_F(HeaderAccessTest, PlainTablesRefuseChangePasswordAndBlocksAreValidBelowTheAccessorsCount) {
  Open("p.nx2", 3);
  TnxBaseTransaction& trans = Trans();
  EXPECT_EQ(testing::MessageOf<EnxBaseException>([&] { Access().ChangePassword(trans, u"x"); }),
            testing::MessageOf<EnxBaseException>([] {
              throw EnxBaseFileException(nxeCapabilityNotSupported,
                                         u"ChangePassword is only supported for tables with an encryption engine");
            }));
  EXPECT_EQ(ErrorCodeOf([&] { Writer()->ChangePassword(u"x"); }), nxeCapabilityNotSupported);
  auto header = Writer();
  TnxBlockGuard block;
  block.Hold(header->GetNewBlock(trans, kID, block.ReleaseMethod()));
  EXPECT_FALSE(Access().ValidBlock(0, *header));
  EXPECT_TRUE(Access().ValidBlock(3, *header));
  EXPECT_FALSE(Access().ValidBlock(4, *header));
  EXPECT_FALSE(Access().ValidBlock(3, static_cast<TnxBaseTransaction*>(nullptr)));  // not committed yet
  // The header's LSN as the writer sees it, and as committed.
  EXPECT_EQ(Access().CurrentLSN(&trans), trans.LSN());
  EXPECT_EQ(Access().CurrentLSN(nullptr), Access().CurrentLSN());
  EXPECT_NE(Access().CurrentLSN(), trans.LSN());
}

// ---- "NX!1" ----

TEST_F(HeaderAccessTest, OldFormatAllocatesThroughItsChainAndHasSixSections) {
  // Blocks 1..5; the chain is 3 -> 5.
  TBytes image(6 * 4096, 0);
  std::memcpy(image.data(), "NX!1", 4);
  StoreU32(&image[nxhUsableSize], 4096);
  StoreU32(&image[nxhFreeHead], 3);
  StoreU32(&image[nxhFreeCount], 2);
  StoreU32(&image[nxhUsedBlocks], 6);
  StoreU32(&image[nxhVersion], 30000);
  for (uint32_t n = 1; n < 6; ++n) {
    uint8_t* block = &image[n * 4096];
    std::memcpy(block, n == 3 || n == 5 ? "DEAD" : "DATA", 4);
    StoreU32(block + 4, n);
    block[100] = static_cast<uint8_t>(n);
  }
  StoreU32(&image[3 * 4096 + 16], 5);
  StoreU32(&image[5 * 4096 + 16], nxNoBlock);
  fx_.Dir().Write("old.nx1", std::string(image.begin(), image.end()));
  file_ = &fx_.Open(platform::Utf8ToUtf16(fx_.Dir().Path("old.nx1")));
  access_ = std::make_unique<TnxBlockAccess>(*file_, nullptr, u"old", 0);

  auto reader = Access().HeaderAccess(&Trans(), false);
  EXPECT_EQ(reader->AvailableBlocks(), 2u);
  TnxReleaseMethod none;
  EXPECT_EQ(ErrorCodeOf([&] { reader->GetNewBlock(Trans(), 0, none); }), nxeWriteFailure);
  struct TSection {
    const char* Name;
    uint16_t Offset;
  };
  for (const TSection& s : {TSection{"Encryption", 256}, TSection{"stream", 512}, TSection{"AUTOINC", 768},
                            TSection{"Record", 1024}, TSection{"blob", 1280}, TSection{"Indices", 1536}})
    EXPECT_EQ(reader->RegisterHeaderSection(s.Name, 99, false, false), s.Offset) << s.Name;
  EXPECT_EQ(ErrorCodeOf([&] { reader->RegisterHeaderSection("Record", 4, true, false); }), nxeWriteFailure);
  try {
    reader->RegisterHeaderSection("Custom", 4, false, false);
    ADD_FAILURE();
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeCapabilityNotSupported);
    EXPECT_EQ(e.ErrorString(), u"Custom HeaderSections are not supported in a v1 header");
  }
  try {
    reader->ChangePassword(u"new");
    ADD_FAILURE();
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeCapabilityNotSupported);
    EXPECT_EQ(e.ErrorString(), u"ChangePassword not supported by Tnx1xFileHeaderAccess");
  }
  {
    TnxBlockGuard block;
    block.Hold(Access().GetBlock(&Trans(), 1, 0, true, block.ReleaseMethod()));
    EXPECT_EQ(ErrorCodeOf([&] { reader->DeleteBlock(Trans(), block.Block()); }), nxeWriteFailure);
  }
  reader.reset();
  {
    // A chain block naming itself would be handed out again and again.
    auto header = Writer();
    TnxBlockGuard dead;
    dead.Hold(Access().GetBlock(&Trans(), 3, 0, true, dead.ReleaseMethod()));
    StoreU32(dead.Block() + 16, 3);
    EXPECT_EQ(ErrorCodeOf([&] { header->GetNewBlock(Trans(), 0, none); }), nxeCorruptFile);
  }
  Rollback();

  auto header = Writer();
  std::vector<uint32_t> got;
  for (int i = 0; i < 3; ++i) {
    TnxBlockGuard block;
    block.Hold(header->GetNewBlock(Trans(), 0, block.ReleaseMethod()));
    got.push_back(LoadU32(block.Block() + 4));
    if (got.back() == 3) {
      EXPECT_EQ(block.Block()[100], 3);  // the old body comes along
    }
  }
  EXPECT_EQ(got, (std::vector<uint32_t>{3, 5, 6}));
  EXPECT_EQ(header->AvailableBlocks(), 0u);
  EXPECT_EQ(header->UsedBlocks(), 7u);
  {
    TnxBlockGuard block;
    block.Hold(Access().GetBlock(&Trans(), 2, 0, true, block.ReleaseMethod()));
    header->DeleteBlock(Trans(), block.Block());
    EXPECT_EQ(SignatureOf(block.Block()), "DEAD");
    EXPECT_EQ(LoadU32(block.Block() + 16), nxNoBlock);
  }
  EXPECT_EQ(LoadU32(header->Header() + nxhFreeHead), 2u);
  EXPECT_EQ(header->AvailableBlocks(), 1u);
  TnxBlockGuard block;
  block.Hold(header->GetNewBlock(Trans(), 0, block.ReleaseMethod()));
  EXPECT_EQ(LoadU32(block.Block() + 4), 2u);
}

}  // namespace
}  // namespace revurov
