#include "storage/transactions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/deadline_hooks.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "storage/buffer_manager.h"
#include "support/storage_fixture.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::ErrorCodeOf;
using testing::TestSize;
using testing::TFileOp;
using testing::TStorageFixture;

using TBytes = std::vector<uint8_t>;

constexpr uint32_t kBody = nxBlockCommonHeaderSize;  // the first byte a test changes

class TransactionsTest : public ::testing::Test {
protected:
  void SetUp() override { nxFatalErrorFlag.store(false); }
  void TearDown() override { nxFatalErrorFlag.store(false); }

  TnxBaseFile& Table(const std::string& aName, uint32_t aBlocks) {
    return F().Open(F().MakeTable(aName, nxbs4k, aBlocks));
  }
  // The fixture the helpers work on: fx_, or one a test makes for a while.
  TStorageFixture& F() { return *cur_; }
  TnxBufferManager& Bm() { return F().BufMgr(); }

  // The bytes a block shows past its common header.
  TBytes Read(TnxBaseFile& aFile, TnxBaseTransaction* aTrans, TnxBlockNumber aNumber) {
    TnxBlockGuard guard;
    guard.Hold(Bm().GetBlock(aFile, aTrans, aNumber, guard.ReleaseMethod()));
    return {guard.Block() + kBody, guard.Block() + aFile.BlockBytes()};
  }
  TBytes OnDisk(const std::string& aName, const TnxBaseFile& aFile, TnxBlockNumber aNumber) {
    const std::string disk = F().Dir().Read(aName);
    const size_t at = size_t{aNumber} * aFile.BlockBytes();
    if (disk.size() < at + aFile.BlockBytes()) return {};
    return {disk.begin() + at + kBody, disk.begin() + at + aFile.BlockBytes()};
  }
  // Sets byte kBody of the transaction's copy to aValue.
  void Write(TnxBaseFile& aFile, TnxBaseTransaction& aTrans, TnxBlockNumber aNumber, uint8_t aValue) {
    TnxBlockGuard guard;
    guard.Hold(Bm().GetBlock(aFile, &aTrans, aNumber, true, guard.ReleaseMethod()));
    guard.Block()[kBody] = aValue;
  }
  // A block new to the file, carrying what the table's format checks.
  void Add(TnxBaseFile& aFile, TnxBaseTransaction& aTrans, TnxBlockNumber aNumber, uint8_t aFill) {
    TnxBlockGuard guard;
    guard.Hold(Bm().AddBlock(aFile, &aTrans, aNumber, guard.ReleaseMethod()));
    uint8_t* block = guard.Block();
    nxStoreBlockCommonHeader(block, {{'T', 'E', 'S', 'T'}, aNumber, aTrans.LSN()});
    std::memset(block + kBody, aFill, aFile.fiBlockSizeBytes - kBody);
    const uint32_t owner = TStorageFixture::kOwnerID;
    std::memcpy(block + aFile.fiBlockSizeBytes, &owner, 4);
  }
  // Ends the current level: commit or rollback, then the level goes.
  void EndLevel(TnxBaseTransaction& aTrans, bool aCommit) {
    if (aCommit)
      Bm().CommitTransaction(&aTrans, nullptr, false);
    else
      Bm().RollbackTransaction(&aTrans);
    if (aTrans.TransLevel()->Level() > 0) aTrans.EndLevel();
  }
  int64_t Counter(int aRow) {
    platform::TStringList values;
    Bm().GetStatsValues(values);
    std::string text = platform::Utf16ToUtf8(values[aRow]);
    std::erase_if(text, [](char c) { return c < '0' || c > '9'; });
    return std::stoll(text);
  }
  // Rows of the statistics.
  static constexpr int kCommits = 6, kNestedCommits = 7, kRollbacks = 8, kNestedRollbacks = 9, kDeadlocks = 10,
                       kCorrupted = 11;
  static constexpr int kHits = 4;

  TStorageFixture fx_;
  TStorageFixture* cur_ = &fx_;
};

// ---- levels and their states ----

TEST_F(TransactionsTest, LevelsNumberAndAbsorbNestedStarts) {
  TnxBaseTransaction trans(Bm(), nullptr, false, false);
  EXPECT_EQ(trans.TransLevel()->Level(), 0);
  EXPECT_FALSE(trans.Nested());
  const TnxLSN outer = trans.TransLevel()->StartLSN();
  EXPECT_EQ(trans.LSN(), outer);

  trans.StartNested(false);
  EXPECT_EQ(trans.TransLevel()->Level(), 1);
  EXPECT_GT(trans.TransLevel()->StartLSN(), outer);
  EXPECT_TRUE(trans.Nested());

  // A level that takes no more nesting only counts the starts.
  trans.MarkNoMoreNested();
  TnxBaseTransactionLevel* marked = trans.TransLevel();
  trans.StartNested(false);
  trans.StartNested(false);
  EXPECT_EQ(trans.TransLevel(), marked);
  EXPECT_EQ(marked->Level(), 3);
  EXPECT_FALSE(trans.StopNested());
  EXPECT_FALSE(trans.StopNested());
  EXPECT_TRUE(trans.StopNested());

  // Forced, it nests anyway.
  trans.StartNested(true);
  EXPECT_EQ(trans.TransLevel()->Level(), 2);
  EXPECT_NE(trans.TransLevel(), marked);
  trans.EndLevel();
  trans.EndLevel();
  EXPECT_EQ(ErrorCodeOf([&] { trans.EndLevel(); }), nxeInvalidParameter);

  trans.Lock();
  EXPECT_TRUE(trans.IsLocked());
  trans.Unlock();
  EXPECT_FALSE(trans.IsLocked());
}

TEST_F(TransactionsTest, StateMarksSpreadInwardsAndCountOnce) {
  struct TCase {
    const char* name;
    // Levels 0..2 exist; each mark names the level it is put on.
    std::vector<std::pair<int, char>> marks;  // 'c' corrupted, 'd' deadlocked
    bool failed;
    uint32_t state;
    int64_t corrupted, deadlocks;
  };
  const TCase cases[] = {
      {"healthy", {}, false, 0, 0, 0},
      {"failed", {}, true, nxeTransactionCorrupt, 0, 0},
      {"corrupted inner", {{2, 'c'}}, false, nxeTransactionCorrupt, 1, 0},
      {"corrupted outer reaches inner", {{0, 'c'}}, false, nxeTransactionCorrupt, 1, 0},
      {"corrupted twice counts once", {{1, 'c'}, {1, 'c'}}, false, nxeTransactionCorrupt, 1, 0},
      {"deadlock beats corruption", {{2, 'c'}, {1, 'd'}}, false, nxeDeadlock, 1, 1},
      {"deadlock on level 1", {{1, 'd'}}, false, nxeDeadlock, 0, 1},
      {"failed beats deadlock", {{2, 'd'}}, true, nxeTransactionCorrupt, 0, 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const int64_t corrupted = Counter(kCorrupted), deadlocks = Counter(kDeadlocks);
    TnxBaseTransaction trans(Bm(), nullptr, false, false);
    std::vector<TnxBaseTransactionLevel*> levels{trans.TransLevel()};
    trans.StartNested(true);
    levels.push_back(trans.TransLevel());
    trans.StartNested(true);
    levels.push_back(trans.TransLevel());
    for (const auto& [level, mark] : c.marks) (mark == 'c' ? levels[level]->MarkCorrupted() : levels[level]->MarkDeadlock());
    if (c.failed) trans.Failed();
    EXPECT_EQ(trans.CheckState(), c.state);
    EXPECT_EQ(Counter(kCorrupted) - corrupted, c.corrupted);
    EXPECT_EQ(Counter(kDeadlocks) - deadlocks, c.deadlocks);
    // The mark stays on the outer level when the inner ones end.
    if (!c.marks.empty() && c.marks.front().first == 0) {
      trans.EndLevel();
      trans.EndLevel();
      EXPECT_EQ(trans.CheckState(), nxeTransactionCorrupt);
    }
  }
}

// ---- block copies per level ----

// Steps on block 1 of one transaction: 'S' starts a level, a digit writes
// that value at the current level, 'D' discards the block, 'C' commits and
// 'R' rolls back the current level.
TEST_F(TransactionsTest, CopiesPerLevelFollowCommitsAndRollbacks) {
  struct TCase {
    const char* steps;
    int seen;                 // byte kBody as the transaction sees it; -1 the original
    bool zeroed;              // the rest of the copy reads as zeros
    std::vector<int> copies;  // copies per level, outermost first
  };
  const TCase cases[] = {
      {"1S2S3", 3, false, {1, 1, 1}},
      {"1S2S3C", 3, false, {1, 1}},           // level 2 merged into level 1's copy
      {"1S2S3CR", 1, false, {1}},             // then level 1 rolled back
      {"SS5CC", 5, false, {1}},               // changed only at level 2
      {"1S2R", 1, false, {1}},
      {"1R", -1, false, {0}},
      {"1SS4C", 4, false, {1, 1}},            // moved down to level 1, above level 0's copy
      {"1SD", 0, true, {1, 1}},               // discarded: zeros
      {"1SD7", 7, true, {1, 1}},              // dirtied again: starts from zeros
      {"1SDR", 1, false, {1}},
  };
  TnxBaseFile& file = Table("t", 4);
  const TBytes original = Read(file, nullptr, 1);
  // Each case also inside a reuse scope, which hands the transaction its own
  // copy again without the padlock: every step must still be seen.
  for (const bool scoped : {false, true})
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.steps) + (scoped ? " in a reuse scope" : ""));
    std::optional<TnxBlockReuseScope> reuse;
    if (scoped) reuse.emplace(Bm());
    TnxBaseTransaction trans(Bm(), nullptr, false, false);
    for (const char* step = c.steps; *step; ++step) {
      if (*step == 'S')
        trans.StartNested(true);
      else if (*step == 'C' || *step == 'R')
        EndLevel(trans, *step == 'C');
      else if (*step == 'D')
        Bm().DiscardBlock(file, 1, trans);
      else
        Write(file, trans, 1, static_cast<uint8_t>(*step - '0'));
    }
    const TBytes seen = Read(file, &trans, 1);
    EXPECT_EQ(seen[0], c.seen < 0 ? original[0] : c.seen);
    EXPECT_EQ(seen[1], c.zeroed ? 0 : original[1]);
    std::vector<int> copies;
    for (TnxBaseTransactionLevel* level = trans.TransLevel(); level; level = level->Prev())
      copies.insert(copies.begin(), level->BlockCount());
    EXPECT_EQ(copies, c.copies);
    // Nobody else sees any of it.
    EXPECT_EQ(Read(file, nullptr, 1), original);
    while (trans.TransLevel()->Level() > 0) EndLevel(trans, false);
    Bm().RollbackTransaction(&trans);
    EXPECT_EQ(Read(file, &trans, 1), original) << "rolled back";
    reuse.reset();
    EXPECT_EQ(Bm().HandedOut(file), 0);
  }
}

TEST_F(TransactionsTest, OutermostCommitMakesTheCopyCommittedAndFlushesIt) {
  TnxBaseFile& file = Table("t", 4);
  const TBytes original = Read(file, nullptr, 2);
  TnxLSN lsn = 0;
  {
    TnxBaseTransaction trans(Bm(), nullptr, false, false);
    lsn = trans.LSN();
    Write(file, trans, 2, 9);
    trans.StartNested(true);
    Write(file, trans, 2, 8);
    EndLevel(trans, false);
    const int64_t commits = Counter(kCommits);
    Bm().CommitTransaction(&trans, nullptr, false);
    EXPECT_EQ(Counter(kCommits), commits + 1);
    EXPECT_EQ(trans.BlockCount(), 0);
    EXPECT_TRUE(trans.BoundFiles().empty());
  }
  TBytes expected = original;
  expected[0] = 9;
  EXPECT_EQ(Read(file, nullptr, 2), expected);
  EXPECT_EQ(OnDisk("t", file, 2), expected);
  EXPECT_EQ(file.QueuedBlocks(), 0u);
  // The copy carried the transaction's LSN, and so does the header now.
  TnxBlockGuard guard;
  guard.Hold(Bm().GetBlock(file, nullptr, 2, guard.ReleaseMethod()));
  EXPECT_EQ(nxLoadBlockCommonHeader(guard.Block()).bchLSN, lsn);
  EXPECT_EQ(Bm().FileLSN(file), lsn);
}

TEST_F(TransactionsTest, CommitWithoutChangesCountsAndWritesNothing) {
  TnxBaseFile& file = Table("t", 4);
  (void)file;
  const int writes = fx_.Ops().Calls(TFileOp::WriteAt);
  const int64_t commits = Counter(kCommits), rollbacks = Counter(kRollbacks);
  {
    TnxBaseTransaction trans(Bm(), nullptr, false, false);
    Bm().CommitTransaction(&trans, nullptr, false);
  }
  EXPECT_EQ(Counter(kCommits), commits + 1);
  // A snapshot transaction counts neither.
  {
    TnxBaseTransaction snapshot(Bm(), nullptr, true, false);
    EXPECT_EQ(Bm().ActiveSnapShotCount(), 1);
    Bm().CommitTransaction(&snapshot, nullptr, false);
  }
  {
    TnxBaseTransaction snapshot(Bm(), nullptr, true, false);
    Bm().RollbackTransaction(&snapshot);
  }
  EXPECT_EQ(Bm().ActiveSnapShotCount(), 0);
  EXPECT_EQ(Counter(kCommits), commits + 1);
  EXPECT_EQ(Counter(kRollbacks), rollbacks);
  EXPECT_EQ(fx_.Ops().Calls(TFileOp::WriteAt), writes);
}

TEST_F(TransactionsTest, FilesBindAtTheirFirstLevelAndMoveOutOnCommit) {
  TnxBaseFile& first = Table("a", 4);
  TnxBaseFile& second = Table("b", 4);
  TnxBaseTransaction trans(Bm(), nullptr, false, false);
  Write(first, trans, 1, 1);
  trans.StartNested(true);
  Write(second, trans, 1, 2);
  EXPECT_EQ(trans.BoundFiles(), (std::vector<TnxBaseFile*>{&first, &second}));
  // Rolled back at its own level, the second file is free again.
  EndLevel(trans, false);
  EXPECT_EQ(trans.BoundFiles(), (std::vector<TnxBaseFile*>{&first}));

  trans.StartNested(true);
  Write(second, trans, 1, 2);
  const int64_t nested = Counter(kNestedCommits);
  EndLevel(trans, true);
  EXPECT_EQ(Counter(kNestedCommits), nested + 1);
  // Now bound at level 0: a nested rollback does not touch it.
  trans.StartNested(true);
  EndLevel(trans, false);
  EXPECT_EQ(trans.BoundFiles().size(), 2u);
  Bm().RollbackTransaction(&trans);
  EXPECT_TRUE(trans.BoundFiles().empty());
  EXPECT_EQ(Read(second, nullptr, 1), Read(second, &trans, 1));
}

TEST_F(TransactionsTest, NewBlockRolledBackLeavesTheIndex) {
  TnxBaseFile& file = Table("t", 4);
  const int32_t cached = Bm().CachedBlocks(file);
  TnxBaseTransaction trans(Bm(), nullptr, false, false);
  Add(file, trans, 4, 0x44);
  EXPECT_EQ(Bm().CachedBlocks(file), cached + 1);
  EXPECT_EQ(Read(file, &trans, 4)[2], 0x44);
  // Others see a new block as zeros.
  EXPECT_EQ(Read(file, nullptr, 4), TBytes(file.BlockBytes() - kBody, 0));
  Bm().RollbackTransaction(&trans);
  EXPECT_EQ(Bm().CachedBlocks(file), cached);
  // Read again, the number is looked for on disk, past its end.
  EXPECT_EQ(ErrorCodeOf([&] { Read(file, nullptr, 4); }), nxeReadFailure);
  EXPECT_EQ(Bm().CachedBlocks(file), cached);
}

TEST_F(TransactionsTest, DirtyForAnotherTransactionIsRefused) {
  TnxBaseFile& file = Table("t", 4);
  TnxBaseTransaction first(Bm(), nullptr, false, false);
  TnxBaseTransaction second(Bm(), nullptr, false, false);
  Write(file, first, 1, 1);
  EXPECT_EQ(ErrorCodeOf([&] { Write(file, second, 1, 2); }), nxeInvalidParameter);
  TnxReleaseMethod release;
  EXPECT_EQ(ErrorCodeOf([&] { Bm().GetBlock(file, nullptr, 1, true, release); }), nxeInvalidParameter);
  EXPECT_FALSE(release);
  // DirtyBlock leaves the caller's pointer alone for a block not cached.
  PnxBlock kept = reinterpret_cast<PnxBlock>(&release);
  Bm().DirtyBlock(file, 3, first, kept);
  EXPECT_EQ(kept, reinterpret_cast<PnxBlock>(&release));
  Bm().DirtyBlock(file, 1, first, kept);
  EXPECT_EQ(kept[kBody], 1);
}

TEST_F(TransactionsTest, DamagedCopyFailsTheCommitBeforeAnythingIsCommitted) {
  TnxBaseFile& file = Table("t", 4);
  const TBytes original = Read(file, nullptr, 1);
  TnxBaseTransaction trans(Bm(), nullptr, false, false);
  Write(file, trans, 1, 5);
  {
    TnxBlockGuard guard;
    guard.Hold(Bm().GetBlock(file, &trans, 2, true, guard.ReleaseMethod()));
    guard.Block()[4] ^= 1;  // names another block
  }
  EXPECT_EQ(ErrorCodeOf([&] { Bm().CommitTransaction(&trans, nullptr, false); }), nxeCorruptFile);
  EXPECT_EQ(Read(file, nullptr, 1), original);
  EXPECT_EQ(trans.BlockCount(), 2);
  Bm().RollbackTransaction(&trans);
  EXPECT_EQ(trans.BlockCount(), 0);
  EXPECT_EQ(Read(file, &trans, 1), original);
}

// The header cannot take the LSN while another transaction holds it dirty:
// the commit's unwritten blocks go back to the file's bytes and the error
// propagates; the other transaction's copy is untouched.
TEST_F(TransactionsTest, FailedPrepareGivesTheUnwrittenBlocksBack) {
  TnxBaseFile& file = Table("t", 4);
  const TBytes original = Read(file, nullptr, 1);
  TnxBaseTransaction holder(Bm(), nullptr, false, false);
  {
    TnxBlockGuard guard;
    guard.Hold(Bm().GetBlock(file, &holder, 0, true, guard.ReleaseMethod()));
  }
  TnxBaseTransaction trans(Bm(), nullptr, false, false);
  Write(file, trans, 1, 0x77);
  TnxFlushList flush;
  EXPECT_EQ(ErrorCodeOf([&] { Bm().CommitTransaction(&trans, &flush, false); }), nxeInvalidParameter);
  EXPECT_EQ(flush.Count(), 0);
  EXPECT_EQ(file.QueuedBlocks(), 0u);
  EXPECT_EQ(Read(file, nullptr, 1), original);
  EXPECT_EQ(holder.BlockCount(), 1);
  Bm().RollbackTransaction(&trans);
  EXPECT_TRUE(trans.BoundFiles().empty());
  Bm().RollbackTransaction(&holder);
}

// ---- the model ----

// Random sequences of nested starts, changes, new blocks, commits and
// rollbacks of a level, snapshots that start, read and end, reads and
// flushes, against a model of the committed bytes, one overlay per level
// and each snapshot's frozen view (the committed bytes when it first read
// the file).
// Every sequence runs twice: as it is, and inside a reuse scope, whose
// answers must be those of the padlock path after every change.
TEST_F(TransactionsTest, RandomSequencesMatchTheModel) {
  const int sequences = TestSize(150, 10000);
  std::mt19937 rng(6401);
  for (int sequence = 0; sequence < 2 * sequences; ++sequence) {
    SCOPED_TRACE("sequence " + std::to_string(sequence));
    // A world of its own per sequence, so that files do not pile up.
    TStorageFixture world;
    cur_ = &world;
    std::optional<TnxBlockReuseScope> reuse;
    if (sequence % 2) reuse.emplace(Bm());
    const std::string name = "m";
    TnxBaseFile& file = Table(name, 6);
    const uint32_t body = file.fiBlockSizeBytes - kBody;  // bytes a change may touch
    std::map<TnxBlockNumber, TBytes> committed;
    for (TnxBlockNumber n = 1; n < 6; ++n) committed[n] = Read(file, nullptr, n);
    std::vector<std::map<TnxBlockNumber, TBytes>> overlays(1);
    const auto seen = [&](TnxBlockNumber n) -> const TBytes* {
      for (auto level = overlays.rbegin(); level != overlays.rend(); ++level)
        if (auto it = level->find(n); it != level->end()) return &it->second;
      auto it = committed.find(n);
      return it == committed.end() ? nullptr : &it->second;
    };
    const auto blocks = [&] {
      TnxBlockNumber count = static_cast<TnxBlockNumber>(committed.size()) + 1;
      for (const auto& level : overlays)
        if (!level.empty()) count = std::max(count, level.rbegin()->first + 1);
      return count;
    };
    auto trans = std::make_unique<TnxBaseTransaction>(Bm(), nullptr, false, false);
    struct TSnapshot {
      std::unique_ptr<TnxBaseTransaction> trans;
      std::map<TnxBlockNumber, TBytes> frozen;  // empty until it first reads
    };
    std::vector<TSnapshot> snapshots;
    const int steps = 40;
    for (int step = 0; step < steps; ++step) {
      const int snapOp = static_cast<int>(rng() % 100);
      if (snapOp < 6 && snapshots.size() < 3) {
        snapshots.push_back({std::make_unique<TnxBaseTransaction>(Bm(), nullptr, true, false), {}});
      } else if (snapOp < 10 && !snapshots.empty()) {
        snapshots.erase(snapshots.begin() + rng() % snapshots.size());
      } else if (snapOp < 30 && !snapshots.empty()) {
        TSnapshot& snap = snapshots[rng() % snapshots.size()];
        if (snap.frozen.empty()) snap.frozen = committed;
        const TnxBlockNumber n = 1 + rng() % snap.frozen.size();
        ASSERT_EQ(Read(file, snap.trans.get(), n), snap.frozen[n]) << "snapshot block " << n;
      }
      const int op = static_cast<int>(rng() % 100);
      if (op < 10 && overlays.size() < 5) {
        trans->StartNested(true);
        overlays.emplace_back();
      } else if (op < 45) {
        const TnxBlockNumber n = 1 + rng() % (blocks() - 1);
        TBytes image = *seen(n);
        TnxBlockGuard guard;
        guard.Hold(Bm().GetBlock(file, trans.get(), n, true, guard.ReleaseMethod()));
        ASSERT_EQ(TBytes(guard.Block() + kBody, guard.Block() + file.BlockBytes()), image) << "block " << n;
        for (int k = 1 + rng() % 4; k > 0; --k) {
          const uint32_t at = rng() % body;
          image[at] = guard.Block()[kBody + at] = static_cast<uint8_t>(rng());
        }
        overlays.back()[n] = image;
      } else if (op < 52) {
        const TnxBlockNumber n = blocks();
        const uint8_t fill = static_cast<uint8_t>(rng());
        Add(file, *trans, n, fill);
        TBytes image(file.BlockBytes() - kBody, 0);
        std::memset(image.data(), fill, body);
        const uint32_t owner = TStorageFixture::kOwnerID;
        std::memcpy(image.data() + body, &owner, 4);
        overlays.back()[n] = image;
      } else if (op < 70) {
        const TnxBlockNumber n = 1 + rng() % (blocks() - 1);
        ASSERT_EQ(Read(file, trans.get(), n), *seen(n)) << "block " << n;
        const TnxBlockNumber c = 1 + rng() % committed.size();
        ASSERT_EQ(Read(file, nullptr, c), committed[c]) << "committed block " << c;
      } else {
        const bool commit = op < 88;
        if (commit) {
          if (overlays.size() > 1) {
            for (auto& [n, image] : overlays.back()) overlays[overlays.size() - 2][n] = image;
          } else {
            for (auto& [n, image] : overlays.back()) committed[n] = image;
          }
        }
        overlays.pop_back();
        if (overlays.empty()) {
          if (commit) {
            // Half the time through a flush list of the caller's.
            if (rng() % 2) {
              TnxFlushList flush;
              Bm().CommitTransaction(trans.get(), &flush, false);
              flush.Flush(rng() % 2);
            } else {
              Bm().CommitTransaction(trans.get(), nullptr, false);
            }
            for (auto& [n, image] : committed) ASSERT_EQ(OnDisk(name, file, n), image) << "on disk " << n;
          } else {
            Bm().RollbackTransaction(trans.get());
          }
          trans = std::make_unique<TnxBaseTransaction>(Bm(), nullptr, false, false);
          overlays.emplace_back();
        } else {
          EndLevel(*trans, commit);
        }
      }
    }
    trans.reset();
    for (TSnapshot& snap : snapshots)
      for (auto& [n, image] : snap.frozen) ASSERT_EQ(Read(file, snap.trans.get(), n), image) << "snapshot " << n;
    snapshots.clear();
    EXPECT_EQ(Bm().ActiveSnapShotCount(), 0);
    for (auto& [n, image] : committed) ASSERT_EQ(Read(file, nullptr, n), image) << "block " << n;
    reuse.reset();
    EXPECT_EQ(Bm().HandedOut(file), 0);
    cur_ = &fx_;
  }
}

// ---- reuse scopes ----

// A scope pins at most a few images, answers a read of one of them again
// without another pin, counts those reads as hits when it ends and then
// holds nothing; a scope inside it adds nothing.
TEST_F(TransactionsTest, ReuseScopeHoldsAFewImagesCountsItsHitsAndLetsGo) {
  TnxBaseFile& file = Table("s", 10);
  std::map<TnxBlockNumber, TBytes> images;
  for (TnxBlockNumber n = 1; n < 10; ++n) images[n] = Read(file, nullptr, n);
  const int64_t hits = Counter(kHits);
  {
    TnxBlockReuseScope reuse(Bm());
    for (int round = 0; round < 3; ++round) EXPECT_EQ(Read(file, nullptr, 2), images[2]);
    EXPECT_EQ(Bm().HandedOut(file), 1);
    {
      TnxBlockReuseScope inner(Bm());
      EXPECT_EQ(Read(file, nullptr, 3), images[3]);
    }
    EXPECT_EQ(Bm().HandedOut(file), 2);
    for (TnxBlockNumber n = 1; n < 10; ++n) EXPECT_EQ(Read(file, nullptr, n), images[n]);
    EXPECT_EQ(Bm().HandedOut(file), 8);
    TnxReleaseMethod first, second;
    PnxBlock a = Bm().GetBlock(file, nullptr, 9, first);
    PnxBlock b = Bm().GetBlock(file, nullptr, 9, second);
    EXPECT_EQ(a, b);
    first(a);
    second(b);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(Bm().HandedOut(file), 8);
  }
  EXPECT_EQ(Bm().HandedOut(file), 0);
  EXPECT_EQ(Counter(kHits) - hits, 3 + 1 + 9 + 2);
}

// A scope hands a transaction its own copy again, to read or to change,
// with no pin beyond its own; what another transaction reads stays the
// committed image; after the commit the transaction reads what it wrote,
// and a new transaction at the same address gets no copy of the old one.
TEST_F(TransactionsTest, ReuseScopeHandsOutTheOwnCopyUntilItIsCommitted) {
  TnxBaseFile& file = Table("o", 6);
  const TBytes original = Read(file, nullptr, 2);
  TnxBlockReuseScope reuse(Bm());
  auto trans = std::make_unique<TnxBaseTransaction>(Bm(), nullptr, false, false);
  Write(file, *trans, 2, 0x51);
  TnxReleaseMethod first, second;
  PnxBlock a = Bm().GetBlock(file, trans.get(), 2, true, first);
  PnxBlock b = Bm().GetBlock(file, trans.get(), 2, false, second);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a[kBody], 0x51);
  a[kBody + 1] = 0x52;
  first(a);
  second(b);
  EXPECT_EQ(Bm().HandedOut(file), 1) << "the scope's pin only";
  EXPECT_EQ(Read(file, nullptr, 2), original);
  EXPECT_EQ(trans->BlockCount(), 1);
  Bm().CommitTransaction(trans.get(), nullptr, false);
  TBytes written = original;
  written[0] = 0x51;
  written[1] = 0x52;
  EXPECT_EQ(Read(file, trans.get(), 2), written);
  EXPECT_EQ(OnDisk("o", file, 2), written);
  // Changing it again makes a new copy from the committed image.
  Write(file, *trans, 2, 0x53);
  EXPECT_EQ(trans->BlockCount(), 1);
  EXPECT_EQ(Read(file, nullptr, 2), written);
  trans.reset();
  trans = std::make_unique<TnxBaseTransaction>(Bm(), nullptr, false, false);
  EXPECT_EQ(Read(file, trans.get(), 2), written);
  EXPECT_EQ(trans->BlockCount(), 0);
}

// Readers reusing the images they hold, while a writer commits new images
// of some blocks and reads of the others evict all the time: every image
// read is whole and of its block, and nothing stays held.
TEST_F(TransactionsTest, ReuseScopesReadWholeImagesWhileOthersCommitAndEvict) {
  TStorageFixture small(1);  // 1 MB: the table does not fit
  cur_ = &small;
  constexpr uint32_t kBlocks = 600;
  constexpr TnxBlockNumber kWritten = 8;  // blocks 1 to 7 get whole fills
  TnxBaseFile& file = Table("r", kBlocks);
  const uint32_t body = file.fiBlockSizeBytes - kBody;
  {
    TnxBaseTransaction fill(Bm(), nullptr, false, false);
    for (TnxBlockNumber n = 1; n < kWritten; ++n) {
      TnxBlockGuard guard;
      guard.Hold(Bm().GetBlock(file, &fill, n, true, guard.ReleaseMethod()));
      std::memset(guard.Block() + kBody, 1, body);
    }
    Bm().CommitTransaction(&fill, nullptr, false);
  }
  const int commits = TestSize(150, 2000);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&, r] {
      std::mt19937 rng(static_cast<uint32_t>(r) + 11);
      // Bounded: the writer ends after its commits; the cap is only a net.
      for (int batch = 0; batch < 20000 && !done.load(); ++batch) {
        TnxBlockReuseScope reuse(Bm());
        for (int i = 0; i < 32; ++i) {
          const TnxBlockNumber n =
              i % 4 == 0 ? kWritten + rng() % (kBlocks - kWritten) : 1 + rng() % (kWritten - 1);
          TnxBlockGuard guard;
          guard.Hold(Bm().GetBlock(file, nullptr, n, guard.ReleaseMethod()));
          const uint8_t* block = guard.Block();
          if (nxLoadBlockCommonHeader(block).bchThisBlock != n) bad.fetch_add(1);
          const uint8_t first = block[kBody];
          for (uint32_t k = 0; k < body; k += 89) {
            const uint8_t want = n < kWritten ? first : TStorageFixture::Pattern(n, kBody + k);
            if (block[kBody + k] != want) bad.fetch_add(1);
          }
        }
      }
    });
  }
  for (int c = 0; c < commits; ++c) {
    TnxBaseTransaction trans(Bm(), nullptr, false, false);
    TnxBlockGuard guard;
    guard.Hold(Bm().GetBlock(file, &trans, 1 + c % (kWritten - 1), true, guard.ReleaseMethod()));
    std::memset(guard.Block() + kBody, 2 + c % 200, body);
    guard.Release();
    TnxFlushList flush;
    Bm().CommitTransaction(&trans, &flush, false);
    flush.Flush(false);
  }
  done.store(true);
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(Bm().RetiredImages(), 0);
  EXPECT_EQ(Bm().HandedOut(file), 0);
  cur_ = &fx_;
}

// ---- snapshots ----

TEST_F(TransactionsTest, SnapshotSeesEveryFileOfACommitAsBefore) {
  TnxBaseFile& first = Table("a", 4);
  TnxBaseFile& second = Table("b", 4);
  const TBytes before = Read(second, nullptr, 2);
  TnxBaseTransaction snapshot(Bm(), nullptr, true, false);
  const TBytes firstBefore = Read(first, &snapshot, 1);  // only the first file read
  TnxBaseTransaction late(Bm(), nullptr, true, false);
  {
    TnxBaseTransaction trans(Bm(), nullptr, false, false);
    Write(first, trans, 1, 0x5A);
    Write(second, trans, 2, 0x5B);
    Bm().CommitTransaction(&trans, nullptr, false);
  }
  EXPECT_EQ(Read(first, &snapshot, 1), firstBefore);
  EXPECT_EQ(Read(second, &snapshot, 2), before);
  // A snapshot that had read neither file sees the commit.
  EXPECT_EQ(Read(second, &late, 2)[0], 0x5B);
  EXPECT_EQ(Read(first, nullptr, 1)[0], 0x5A);
}

TEST_F(TransactionsTest, SnapshotImagesLiveAsLongAsTheirSnapshots) {
  TnxBaseFile& file = Table("t", 4);
  const TBytes original = Read(file, nullptr, 1);
  auto older = std::make_unique<TnxBaseTransaction>(Bm(), nullptr, true, false);
  Read(file, older.get(), 3);
  const auto commit = [&](uint8_t aValue) {
    TnxBaseTransaction trans(Bm(), nullptr, false, false);
    Write(file, trans, 1, aValue);
    Bm().CommitTransaction(&trans, nullptr, false);
  };
  commit(1);
  auto newer = std::make_unique<TnxBaseTransaction>(Bm(), nullptr, true, false);
  Read(file, newer.get(), 3);
  commit(2);
  commit(3);
  // Block 1 and the header, kept once for each snapshot.
  EXPECT_EQ(Bm().SnapShotImages(file), 4);
  EXPECT_EQ(Read(file, older.get(), 1), original);
  EXPECT_EQ(Read(file, newer.get(), 1)[0], 1);
  older.reset();
  EXPECT_EQ(Bm().SnapShotImages(file), 2);
  EXPECT_EQ(Read(file, newer.get(), 1)[0], 1);
  newer.reset();
  EXPECT_EQ(Bm().SnapShotImages(file), 0);
  EXPECT_EQ(Bm().ActiveSnapShotCount(), 0);
  // With no snapshot left, a commit keeps no old image.
  commit(4);
  TnxBaseTransaction after(Bm(), nullptr, true, false);
  EXPECT_EQ(Read(file, &after, 1)[0], 4);
}

// ---- images held across commits ----

// Readers hold committed images while a writer keeps replacing them; each
// image a reader holds must stay whole until released.
TEST_F(TransactionsTest, HeldImagesOutliveTheCommitsThatReplaceThem) {
  TnxBaseFile& file = Table("t", 4);
  const uint32_t body = file.fiBlockSizeBytes - kBody;
  const int commits = TestSize(150, 2000);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  {
    TnxBaseTransaction fill(Bm(), nullptr, false, false);
    for (TnxBlockNumber n = 1; n < 4; ++n) {
      TnxBlockGuard guard;
      guard.Hold(Bm().GetBlock(file, &fill, n, true, guard.ReleaseMethod()));
      std::memset(guard.Block() + kBody, 1, body);
    }
    Bm().CommitTransaction(&fill, nullptr, false);
  }
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      // Bounded: the writer ends after its commits; the cap is only a net.
      for (int i = 0; i < 200000 && !done.load(); ++i) {
        TnxBlockGuard guard;
        guard.Hold(Bm().GetBlock(file, nullptr, 1 + (i + r) % 3, guard.ReleaseMethod()));
        const uint8_t* block = guard.Block();
        const uint8_t first = block[kBody];
        std::this_thread::yield();
        for (uint32_t k = 1; k < body; k += 97)
          if (block[kBody + k] != first && first != 0) torn.fetch_add(1);
      }
    });
  }
  for (int c = 0; c < commits; ++c) {
    TnxBaseTransaction trans(Bm(), nullptr, false, false);
    TnxBlockGuard guard;
    guard.Hold(Bm().GetBlock(file, &trans, 1 + c % 3, true, guard.ReleaseMethod()));
    std::memset(guard.Block() + kBody, 2 + c % 200, body);
    guard.Release();
    TnxFlushList flush;
    Bm().CommitTransaction(&trans, &flush, false);
    if (c % 10 == 0) flush.Flush(false);
  }
  done.store(true);
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(Bm().RetiredImages(), 0);
  EXPECT_EQ(Bm().HandedOut(file), 0);
}

TEST_F(TransactionsTest, RetiredImageIsFreedWithItsLastHolder) {
  TnxBaseFile& file = Table("t", 4);
  TnxBlockGuard held;
  held.Hold(Bm().GetBlock(file, nullptr, 1, held.ReleaseMethod()));
  const TBytes before(held.Block() + kBody, held.Block() + file.BlockBytes());
  for (uint8_t value : {3, 4}) {
    TnxBaseTransaction trans(Bm(), nullptr, false, false);
    Write(file, trans, 1, value);
    Bm().CommitTransaction(&trans, nullptr, false);
  }
  EXPECT_EQ(Bm().RetiredImages(), 1);  // the second image was held by nobody
  EXPECT_EQ(TBytes(held.Block() + kBody, held.Block() + file.BlockBytes()), before);
  EXPECT_EQ(Read(file, nullptr, 1)[0], 4);
  held.Release();
  EXPECT_EQ(Bm().RetiredImages(), 0);
}

// Retired images outlive their block: freeing the block (its file removed)
// before they are swept must leave the sweep something to look at.
TEST_F(TransactionsTest, RetiredImageOfAFreedBlockIsStillSweptSafely) {
  TnxBaseFile& file = Table("t", 4);
  for (const bool heldAgain : {false, true}) {
    SCOPED_TRACE(heldAgain ? "second image held too" : "first image held");
    TnxBlockGuard first;
    first.Hold(Bm().GetBlock(file, nullptr, 1, first.ReleaseMethod()));
    TnxBlockGuard second;
    for (uint8_t value : {5, 6}) {
      TnxBaseTransaction trans(Bm(), nullptr, false, false);
      Write(file, trans, 1, value);
      Bm().CommitTransaction(&trans, nullptr, false);
      if (heldAgain && !second.Block()) second.Hold(Bm().GetBlock(file, nullptr, 1, second.ReleaseMethod()));
    }
    EXPECT_EQ(Bm().RetiredImages(), heldAgain ? 2 : 1);
    first.Release();
    second.Release();
    Bm().RemoveFile(file);
    EXPECT_EQ(Bm().RetiredImages(), 0);
    ASSERT_EQ(fx_.AddFile(file).Result, 0u);
    EXPECT_EQ(Read(file, nullptr, 1)[0], 6);
  }
}

// A reader of a committed image still holds it after the next commit: it
// counts as handed out, and the next read sees the new image.
TEST_F(TransactionsTest, HolderOfAReplacedImageStillCountsAndOthersSeeTheNewOne) {
  TnxBaseFile& file = Table("t", 4);
  TnxBlockGuard held;
  held.Hold(Bm().GetBlock(file, nullptr, 2, held.ReleaseMethod()));
  const uint8_t old = held.Block()[kBody];
  {
    TnxBaseTransaction trans(Bm(), nullptr, false, false);
    Write(file, trans, 2, static_cast<uint8_t>(old + 1));
    Bm().CommitTransaction(&trans, nullptr, false);
  }
  EXPECT_EQ(Bm().HandedOut(file), 1);
  TnxBlockGuard fresh;
  fresh.Hold(Bm().GetBlock(file, nullptr, 2, fresh.ReleaseMethod()));
  EXPECT_NE(fresh.Block(), held.Block());
  EXPECT_EQ(fresh.Block()[kBody], static_cast<uint8_t>(old + 1));
  EXPECT_EQ(held.Block()[kBody], old);
  EXPECT_EQ(Bm().HandedOut(file), 2);
  held.Release();
  EXPECT_EQ(Bm().HandedOut(file), 1);
  fresh.Release();
  EXPECT_EQ(Bm().HandedOut(file), 0);
  EXPECT_EQ(Bm().RetiredImages(), 0);
}

// Two threads commit changes to their own blocks of one file and flush;
// their commits queue while the other's flush writes its batch.
TEST_F(TransactionsTest, CommitsQueueWhileAnotherFlushOfTheFileRuns) {
  TnxBaseFile& file = Table("t", 9);
  const int rounds = TestSize(60, 600);
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      for (int round = 0; round < rounds; ++round) {
        TnxBaseTransaction trans(Bm(), nullptr, false, false);
        for (TnxBlockNumber n = static_cast<TnxBlockNumber>(1 + w * 4); n < static_cast<TnxBlockNumber>(5 + w * 4); ++n) Write(file, trans, n, static_cast<uint8_t>(round));
        TnxFlushList flush;
        Bm().CommitTransaction(&trans, &flush, false);
        flush.Flush(false);
      }
    });
  }
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(file.QueuedBlocks(), 0u);
  for (TnxBlockNumber n = 1; n < 9; ++n) {
    EXPECT_EQ(OnDisk("t", file, n), Read(file, nullptr, n)) << n;
    EXPECT_EQ(Read(file, nullptr, n)[0], static_cast<uint8_t>(rounds - 1)) << n;
  }
}

// ---- failed flushes ----

TEST_F(TransactionsTest, FailedFlushStopsAllWritingAndTheCacheReturnsToTheFile) {
  struct TCase {
    const char* name;
    TFileOp op;
    int k;  // counted from the flush's first call
    bool failSafe;
  };
  const TCase cases[] = {
      {"first write", TFileOp::WriteAt, 1, false},
      {"third write", TFileOp::WriteAt, 3, false},
      {"last write (header)", TFileOp::WriteAt, 6, false},
      {"sync", TFileOp::DataSync, 1, true},
  };
  int table = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    nxFatalErrorFlag.store(false);
    const std::string name = "f" + std::to_string(table++);
    TnxBaseFile& file = Table(name, 8);
    TnxBaseTransaction trans(Bm(), nullptr, false, false);
    // Blocks 1, 3, 5, 7 and 8 (new): five runs and the header.
    for (TnxBlockNumber n : {1u, 3u, 5u, 7u}) Write(file, trans, n, 0xEE);
    Add(file, trans, 8, 0xAB);
    TnxFlushList flush;
    Bm().CommitTransaction(&trans, &flush, false);
    EXPECT_EQ(flush.Count(), 1);
    fx_.Ops().FailCall(c.op, fx_.Ops().Calls(c.op) + c.k);
    EXPECT_EQ(ErrorCodeOf([&] { flush.Flush(c.failSafe); }), nxeWriteFailure);
    EXPECT_TRUE(nxFatalErrorFlag.load());

    // Nothing is written any more.
    const int writes = fx_.Ops().Calls(TFileOp::WriteAt);
    TnxFlushList later;
    EXPECT_EQ(ErrorCodeOf([&] { later.Flush(true); }), nxeTransactionCorrupt);
    TnxBaseTransaction next(Bm(), nullptr, false, false);
    Write(file, next, 2, 0x11);
    EXPECT_EQ(ErrorCodeOf([&] { Bm().CommitTransaction(&next, nullptr, false); }), nxeTransactionCorrupt);
    EXPECT_EQ(fx_.Ops().Calls(TFileOp::WriteAt), writes);

    // Every block the flush left unwritten is read from the file again.
    Bm().RollbackUnwritten(file);
    EXPECT_EQ(file.QueuedBlocks(), 0u);
    for (TnxBlockNumber n = 1; n < 8; ++n) EXPECT_EQ(Read(file, nullptr, n), OnDisk(name, file, n)) << n;
    Bm().RemoveFile(file);
  }
}

}  // namespace
}  // namespace revurov
