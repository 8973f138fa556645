// Power cuts during journalled commits: a forked child runs a scripted
// workload on two files and is cut at the k-th change it makes to the disk
// (a write, size change, sync, folder sync, create, rename or unlink). At
// the cut it exits, loses power (unsynced writes and names dropped, or
// random unsynced sectors kept), or that one call fails with EIO and the
// child goes on. The parent then runs Check and compares the files with the
// commits the child acknowledged: each of them is there, of the others at
// most one is there and then whole, and every block is intact.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/deadline_hooks.h"
#include "lowlevel/sync/platform_interface.h"
#include "platform/file_io.h"
#include "platform/process.h"
#include "platform/text.h"
#include "storage/buffer_manager.h"
#include "storage/journal_classes.h"
#include "storage/journal_engine.h"
#include "storage/journal_supply.h"
#include "storage/transactions.h"
#include "support/power_cut.h"
#include "support/storage_fixture.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::LongTests;
using testing::TestSize;
using testing::cCutCount;
using testing::cEIO;
using testing::cExit;
using testing::cPowerLoss;
using testing::cSectors;
using testing::TCut;
using testing::TStorageFixture;

constexpr uint32_t kBody = nxBlockCommonHeaderSize;
constexpr uint32_t kBlocks = 60;  // per file
constexpr uint32_t kBytes = 4096;
const char* const kFiles[2] = {"t1.nx1", "t2.nx1"};

struct TCommit {
  bool Rollback;
  std::vector<std::pair<int, TnxBlockNumber>> Blocks;  // (file, block)
};

// Commits of 1 to 50 blocks over both files; every fourth is rolled back.
std::vector<TCommit> Workload(int aCommits) {
  std::vector<TCommit> commits;
  for (int i = 1; i <= aCommits; ++i) {
    TCommit commit{i % 4 == 3, {}};
    const int n = 1 + (i * 17) % 50;
    std::set<std::pair<int, TnxBlockNumber>> seen;
    for (int j = 0; static_cast<int>(seen.size()) < n && j < 4 * n; ++j)
      seen.insert({(i + j) % 2, 1 + static_cast<TnxBlockNumber>((i * 13 + j * 7) % (kBlocks - 1))});
    commit.Blocks.assign(seen.begin(), seen.end());
    commits.push_back(std::move(commit));
  }
  return commits;
}

uint8_t Body(int aCommit, uint32_t aOffset) { return static_cast<uint8_t>(aCommit * 41 + aOffset * 3 + 5); }

class PowerLossTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char* name : kFiles) {
      fx_.MakeTable(name, nxbs4k, kBlocks);
      originals_.push_back(fx_.Dir().Read(name));
    }
    TnxBaseFile shape(platform::Utf8ToUtf16(Path(kFiles[0])));
    shape.OpenFile(omReadOnly, smShared, false, false);
    bool readOnly = false;
    ASSERT_EQ(shape.ReadHeader({}, readOnly), 0u);
    bodyEnd_ = shape.fiBlockSizeBytes;
  }

  std::string Path(const std::string& aName) const { return fx_.Dir().Path(aName); }
  std::u16string Folder() const { return platform::Utf8ToUtf16(fx_.Dir().Dir()); }

  void Reset() {
    for (const auto& item : std::filesystem::directory_iterator(fx_.Dir().Dir())) std::filesystem::remove(item.path());
    for (int f = 0; f < 2; ++f) fx_.Dir().Write(kFiles[f], originals_[f]);
  }

  // In the child: the workload with the cut at change aCutAt (0: none); the
  // acknowledged commits, then the number of changes made, go to "acks".
  [[noreturn]] void RunChild(const std::vector<TCommit>& aCommits, int aCutAt, TCut aCut) {
    testing::TFaultFileOps& ops = fx_.Ops();
    platform::ScopedFileOps scoped(ops);
    ops.TrackFolders();
    testing::TAckFile acks(Path("acks"));
    auto ack = [&](int32_t aValue) { acks.Ack(aValue); };
    int changes = 0;
    testing::CutAtChange(ops, aCutAt, aCut, changes);
    std::vector<std::unique_ptr<TnxBaseFile>> files;
    for (const char* name : kFiles) {
      files.push_back(std::make_unique<TnxBaseFile>(platform::Utf8ToUtf16(Path(name)), ops));
      files.back()->OpenFile(omReadWrite, smShared, false, false);
      if (fx_.AddFile(*files.back()).Result != 0) platform::ExitProcessNow(3);
    }
    TnxBufferManager& bm = fx_.BufMgr();
    // Journals numbered by the folder's supply, each made ahead under the
    // folder sync that removes the one before.
    TnxJournalSupply supply(Folder(), ops);
    for (size_t i = 0; i < aCommits.size(); ++i) {
      const int id = static_cast<int>(i) + 1;
      try {
        TnxBaseTransaction trans(bm, nullptr, false, true);
        for (const auto& [f, number] : aCommits[i].Blocks) {
          TnxBlockGuard guard;
          guard.Hold(bm.GetBlock(*files[f], &trans, number, true, guard.ReleaseMethod()));
          for (uint32_t at = kBody; at < files[f]->fiBlockSizeBytes; ++at) guard.Block()[at] = Body(id, at);
        }
        if (aCommits[i].Rollback) {
          bm.RollbackTransaction(&trans);
          continue;
        }
        trans.SetJournal(supply.NextJournal(&nxRollbackJournalEngineClass()));
        try {
          bm.CommitTransaction(&trans, nullptr, false);
        } catch (...) {
          bm.RollbackTransaction(&trans);
          continue;
        }
        ack(id);
      } catch (...) {
        // A failure outside the commit (a read): the transaction went back.
      }
    }
    // Acknowledged commits must already be durable: power goes later.
    if (aCut == cPowerLoss) ops.PowerLoss();
    ack(-changes);
    platform::ExitProcessNow(0);
  }

  // Forks the child and answers the acknowledged commits and (for a run
  // without a cut) the number of changes.
  std::vector<int32_t> Run(const std::vector<TCommit>& aCommits, int aCutAt, TCut aCut, int* aChanges = nullptr) {
    const int32_t pid = platform::ForkProcess();
    if (pid == 0) RunChild(aCommits, aCutAt, aCut);
    EXPECT_GT(pid, 0);
    EXPECT_TRUE(platform::WaitProcess(static_cast<uint32_t>(pid)));
    std::vector<int32_t> acked;
    const std::string bytes = fx_.Dir().Exists("acks") ? fx_.Dir().Read("acks") : std::string();
    for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
      int32_t value;
      std::memcpy(&value, bytes.data() + at, 4);
      if (value < 0 && aChanges) *aChanges = -value;
      if (value > 0) acked.push_back(value);
    }
    std::filesystem::remove(Path("acks"));
    return acked;
  }

  // The body bytes of every block as the commits in aApplied leave them.
  std::vector<std::vector<int>> Expected(const std::vector<TCommit>& aCommits, const std::set<int>& aApplied) const {
    std::vector<std::vector<int>> writer(2, std::vector<int>(kBlocks, 0));
    for (int id : aApplied)
      for (const auto& [f, number] : aCommits[id - 1].Blocks) writer[f][number] = id;
    return writer;
  }

  // Which commit's body each block shows: 0 the original, -1 none (torn).
  std::vector<std::vector<int>> Actual(const std::vector<TCommit>& aCommits) const {
    std::vector<std::vector<int>> shows(2, std::vector<int>(kBlocks, -1));
    for (int f = 0; f < 2; ++f) {
      shows[f][0] = 0;  // the header is checked by reading it
      const std::string disk = fx_.Dir().Read(kFiles[f]);
      for (TnxBlockNumber n = 1; n < kBlocks && (n + 1) * kBytes <= disk.size(); ++n) {
        const uint8_t* block = reinterpret_cast<const uint8_t*>(disk.data()) + n * kBytes;
        const uint8_t* original = reinterpret_cast<const uint8_t*>(originals_[f].data()) + n * kBytes;
        // Signature and own number stay; the owner ID past the body too.
        if (std::memcmp(block, original, 8) != 0) continue;
        for (int id = 0; id <= static_cast<int>(aCommits.size()); ++id) {
          bool same = true;
          for (uint32_t at = kBody; at < kBytes && same; ++at) {
            const uint8_t want = id == 0 ? original[at] : at < bodyEnd_ ? Body(id, at) : original[at];
            same = block[at] == want;
          }
          if (same) {
            shows[f][n] = id;
            break;
          }
        }
      }
    }
    return shows;
  }
  void CheckFolderAgainst(const std::vector<TCommit>& aCommits, const std::vector<int32_t>& aAcked, int aLastTried,
                          const std::string& aWhat) {
    SCOPED_TRACE(aWhat);
    ASSERT_NO_THROW(Tnx1xRollbackJournalEngine::Check(u"", Folder()));
    for (const auto& item : std::filesystem::directory_iterator(fx_.Dir().Dir()))
      EXPECT_NE(item.path().extension(), ".n$2") << "a journal is left";
    // Every header is whole.
    for (const char* name : kFiles) {
      TnxBaseFile file(platform::Utf8ToUtf16(Path(name)));
      file.OpenFile(omReadOnly, smShared, false, false);
      bool readOnly = false;
      EXPECT_EQ(file.ReadHeader({}, readOnly), 0u) << name;
    }
    const std::set<int> acked(aAcked.begin(), aAcked.end());
    const std::vector<std::vector<int>> actual = Actual(aCommits);
    std::vector<std::vector<std::vector<int>>> allowed = {Expected(aCommits, acked)};
    for (int id = 1; id <= aLastTried; ++id) {
      if (acked.count(id) || aCommits[id - 1].Rollback) continue;
      std::set<int> with = acked;
      with.insert(id);
      allowed.push_back(Expected(aCommits, with));
    }
    bool match = false;
    for (const auto& state : allowed) match = match || state == actual;
    if (!match) {
      std::string text;
      for (int f = 0; f < 2; ++f)
        for (TnxBlockNumber n = 1; n < kBlocks; ++n)
          if (actual[f][n] != allowed[0][f][n])
            text += " " + std::to_string(f) + ":" + std::to_string(n) + "=" + std::to_string(actual[f][n]) + "/" +
                    std::to_string(allowed[0][f][n]);
      ADD_FAILURE() << "blocks differ from the acknowledged commits (file:block=shows/expected):" << text;
    }
  }

  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& item : std::filesystem::directory_iterator(fx_.Dir().Dir()))
      files[item.path().filename().string()] = fx_.Dir().Read(item.path().filename().string());
    return files;
  }
  void Restore(const std::map<std::string, std::string>& aFiles) {
    for (const auto& item : std::filesystem::directory_iterator(fx_.Dir().Dir())) std::filesystem::remove(item.path());
    for (const auto& [name, bytes] : aFiles) fx_.Dir().Write(name, bytes);
  }

  // Check itself cut at its change aCutAt in a child; true when the child
  // ran Check to its end.
  bool RunCheckChild(int aCutAt, TCut aCut) {
    const int32_t pid = platform::ForkProcess();
    if (pid == 0) {
      testing::TFaultFileOps& ops = fx_.Ops();
      platform::ScopedFileOps scoped(ops);
      ops.TrackFolders();
      int changes = 0;
      testing::CutAtChange(ops, aCutAt, aCut, changes);
      try {
        Tnx1xRollbackJournalEngine::Check(u"", Folder());
      } catch (...) {
        platform::ExitProcessNow(0);
      }
      // What Check leaves must be durable when it returns: power goes later.
      if (aCut == cPowerLoss) ops.PowerLoss();
      fx_.Dir().Write("done", "");
      platform::ExitProcessNow(0);
    }
    EXPECT_GT(pid, 0);
    EXPECT_TRUE(platform::WaitProcess(static_cast<uint32_t>(pid)));
    const bool done = fx_.Dir().Exists("done");
    std::filesystem::remove(Path("done"));
    return done;
  }

  TStorageFixture fx_;
  std::vector<std::string> originals_;
  uint32_t bodyEnd_ = 0;
};

// The sweeps are cut into shards so that a full-size run fits the per-test
// time limit; together the shards cover every cut.
constexpr int kShards = 16;

class PowerLossShard : public PowerLossTest, public ::testing::WithParamInterface<int> {};

INSTANTIATE_TEST_SUITE_P(Shards, PowerLossShard, ::testing::Range(0, kShards));

TEST_P(PowerLossShard, EveryCutLeavesTheAcknowledgedCommitsAndNoPartOfOthers) {
  const int shard = GetParam();
  const std::vector<TCommit> commits = Workload(TestSize(8, 24));
  Reset();
  int changes = 0;
  const std::vector<int32_t> all = Run(commits, 0, cExit, &changes);
  ASSERT_GT(changes, 0);
  CheckFolderAgainst(commits, all, static_cast<int>(commits.size()), "no cut");
  // Quick runs take about 150 cuts spread over the workload.
  const int stride = LongTests() ? 1 : std::max(1, changes / 150);
  for (int k = 1, step = 0; k <= changes; k += stride, ++step) {
    if (step % kShards != shard) continue;
    for (int cut = 0; cut < cCutCount; ++cut) {
      if (!LongTests() && cut != k % cCutCount) continue;
      Reset();
      const std::vector<int32_t> acked = Run(commits, k, static_cast<TCut>(cut));
      CheckFolderAgainst(commits, acked, static_cast<int>(commits.size()),
                         "cut " + std::to_string(cut) + " at change " + std::to_string(k));
      if (HasFatalFailure() || HasFailure()) return;
    }
  }
}

TEST_P(PowerLossShard, CutsDuringCheckLeaveWhatTheNextCheckCompletes) {
  const int shard = GetParam();
  const std::vector<TCommit> commits = Workload(TestSize(6, 16));
  Reset();
  int changes = 0;
  Run(commits, 0, cExit, &changes);
  ASSERT_GT(changes, 0);
  // States with a complete journal left: the child ended while the data of
  // a commit was being written. Quick runs take a few of the first one.
  int states = 0;
  for (int k = 1; k <= changes && states < TestSize(4, 1000); ++k) {
    Reset();
    const std::vector<int32_t> acked = Run(commits, k, cExit);
    bool journal = false;
    for (const auto& item : std::filesystem::directory_iterator(fx_.Dir().Dir()))
      if (item.path().extension() == ".n$2")
        journal = journal || (fx_.Dir().Read(item.path().filename().string()) + std::string(8, 0)).substr(4, 4) == std::string(4, '\xFF');
    if (!journal) continue;
    if (!LongTests()) k += 3;  // several points of one commit's data writes
    if (states++ % kShards != shard) continue;
    const std::map<std::string, std::string> state = Snapshot();
    bool done = false;
    // Bounded: Check of one journal makes far fewer changes than this.
    for (int k2 = 1; !done && k2 <= 10000; ++k2) {
      for (int cut = 0; cut < cCutCount; ++cut) {
        Restore(state);
        if (RunCheckChild(k2, static_cast<TCut>(cut)) && cut == cExit) done = true;
        CheckFolderAgainst(commits, acked, static_cast<int>(commits.size()),
                           "commit cut at " + std::to_string(k) + ", Check cut " + std::to_string(cut) + " at " +
                               std::to_string(k2));
        if (HasFailure()) return;
      }
    }
  }
  EXPECT_GT(states, 0);
}

}  // namespace
}  // namespace revurov
