// Commits with a journal: the order of their writes and syncs, and what a
// failure at each stage leaves for Check.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/deadline_hooks.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/sync/platform_interface.h"
#include "platform/text.h"
#include "storage/buffer_manager.h"
#include "storage/journal_classes.h"
#include "storage/journal_engine.h"
#include "storage/journal_supply.h"
#include "storage/transactions.h"
#include "support/recording_file_ops.h"
#include "support/storage_fixture.h"

namespace revurov {
namespace {

using testing::ErrorCodeOf;
using testing::TFileOp;
using testing::TRecordingFileOps;
using testing::TStorageFixture;

constexpr uint32_t kBody = nxBlockCommonHeaderSize;

class FailSafeCommitTest : public ::testing::Test {
protected:
  void SetUp() override {
    nxFatalErrorFlag.store(false);
    const std::u16string path = fx_.MakeTable("t.nx1", nxbs4k, 4);
    original_ = fx_.Dir().Read("t.nx1");
    file_ = std::make_unique<TnxBaseFile>(path, rec_);
    file_->OpenFile(omReadWrite, smShared, false, false);
    if (fx_.AddFile(*file_).Result != 0) FAIL() << "AddFile";
    rec_.Trace.clear();
  }
  void TearDown() override {
    Bm().RemoveFile(*file_);
    file_.reset();
    nxFatalErrorFlag.store(false);
  }

  TnxBufferManager& Bm() { return fx_.BufMgr(); }
  std::u16string JournalName() const { return platform::Utf8ToUtf16(fx_.Dir().Path("1.n$2")); }
  std::unique_ptr<TnxBaseJournalEngine> Journal() {
    return std::make_unique<Tnx1xJournalEngine>(JournalName(), rec_);
  }
  void Write(TnxBaseTransaction& aTrans, TnxBlockNumber aNumber, uint8_t aValue) {
    TnxBlockGuard guard;
    guard.Hold(Bm().GetBlock(*file_, &aTrans, aNumber, true, guard.ReleaseMethod()));
    guard.Block()[kBody] = aValue;
  }
  void Add(TnxBaseTransaction& aTrans, TnxBlockNumber aNumber) {
    TnxBlockGuard guard;
    guard.Hold(Bm().AddBlock(*file_, &aTrans, aNumber, guard.ReleaseMethod()));
    uint8_t* block = guard.Block();
    nxStoreBlockCommonHeader(block, {{'T', 'E', 'S', 'T'}, aNumber, aTrans.LSN()});
    const uint32_t owner = TStorageFixture::kOwnerID;
    std::memcpy(block + file_->fiBlockSizeBytes, &owner, 4);
  }
  std::string Disk() const { return fx_.Dir().Read("t.nx1"); }
  // The trace without repeats in a row.
  std::vector<std::string> Steps() const {
    std::vector<std::string> steps;
    for (const std::string& step : rec_.Trace)
      if (steps.empty() || steps.back() != step) steps.push_back(step);
    return steps;
  }
  // (block number, image kind) of every entry of the journal on disk.
  std::vector<std::pair<uint32_t, uint8_t>> Entries() const {
    const std::string bytes = fx_.Dir().Read("1.n$2");
    std::vector<std::pair<uint32_t, uint8_t>> entries;
    for (size_t at = nxJournalHeaderSize; at + nxJournalEntryHeaderSize <= bytes.size();
         at += nxJournalEntryHeaderSize + 4096) {
      uint32_t number;
      std::memcpy(&number, bytes.data() + at + 4, 4);
      entries.emplace_back(number, static_cast<uint8_t>(bytes[at + 9]));
    }
    return entries;
  }

  TStorageFixture fx_;
  TRecordingFileOps rec_{fx_.Ops()};
  std::unique_ptr<TnxBaseFile> file_;
  std::string original_;
};

TEST_F(FailSafeCommitTest, TheJournalIsDurableBeforeDataAndDurablyVoidBeforeTheFlushReturns) {
  TnxBaseTransaction trans(Bm(), nullptr, false, true);
  Write(trans, 2, 9);
  trans.SetJournal(Journal());
  Bm().CommitTransaction(&trans, nullptr, false);
  const std::vector<std::string> expected = {
      "create 1.n$2",
      "write 1.n$2",  "sync 1.n$2",  // entries
      "write 1.n$2",  "sync 1.n$2",  // complete flag
      "syncdir",                     // the journal's name
      "write t.nx1",  "sync t.nx1",  // data
      "unlink 1.n$2", "syncdir",     // gone before the commit is reported
  };
  EXPECT_EQ(Steps(), expected);
  EXPECT_FALSE(fx_.Dir().Exists("1.n$2"));
  EXPECT_EQ(static_cast<uint8_t>(Disk()[2 * 4096 + kBody]), 9);
}

TEST_F(FailSafeCommitTest, TheHeaderIsJournalledAndAddedBlocksHaveNoBeforeImage) {
  fx_.Ops().FailCall(TFileOp::DataSync, 3);  // the data file's sync
  {
    TnxBaseTransaction trans(Bm(), nullptr, false, true);
    Write(trans, 1, 7);
    Add(trans, 5);
    trans.SetJournal(Journal());
    EXPECT_NE(ErrorCodeOf([&] { Bm().CommitTransaction(&trans, nullptr, false); }), 0u);
  }
  EXPECT_TRUE(nxFatalErrorFlag.load());
  std::vector<std::pair<uint32_t, uint8_t>> entries = Entries();
  std::sort(entries.begin(), entries.end());
  const std::vector<std::pair<uint32_t, uint8_t>> expected = {{0, 0}, {0, 0xFF}, {1, 0}, {1, 0xFF}, {5, 0}};
  EXPECT_EQ(entries, expected);
}

TEST_F(FailSafeCommitTest, AFailedDataFlushKeepsTheJournalAndCheckRestoresTheFile) {
  struct TCase {
    const char* Name;
    TFileOp Op;
    int K;
  } cases[] = {
      // Header, three entries of two parts (blocks 0, 1, 3), the flag; then data.
      {"data write", TFileOp::WriteAt, 1 + 3 * 2 + 1 + 1},
      {"data sync", TFileOp::DataSync, 3},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    nxFatalErrorFlag.store(false);
    testing::TFaultFileOps& ops = fx_.Ops();
    ops.FailCall(c.Op, ops.Calls(c.Op) + c.K);
    {
      TnxBaseTransaction trans(Bm(), nullptr, false, true);
      Write(trans, 1, 7);
      Write(trans, 3, 8);
      trans.SetJournal(std::make_unique<Tnx1xRollbackJournalEngine>(JournalName(), rec_));
      EXPECT_NE(ErrorCodeOf([&] { Bm().CommitTransaction(&trans, nullptr, false); }), 0u);
    }
    ASSERT_TRUE(fx_.Dir().Exists("1.n$2"));
    // Whatever reached the file: Check brings back the committed state.
    Tnx1xRollbackJournalEngine::Check(u"", platform::Utf8ToUtf16(fx_.Dir().Dir()));
    EXPECT_EQ(Disk(), original_);
    EXPECT_FALSE(fx_.Dir().Exists("1.n$2"));
    // A fresh file object: the failed flush left its batch in the old one.
    Bm().RemoveFile(*file_);
    file_ = std::make_unique<TnxBaseFile>(file_->fiName, rec_);
    file_->OpenFile(omReadWrite, smShared, false, false);
    ASSERT_EQ(fx_.AddFile(*file_).Result, 0u);
  }
}

TEST_F(FailSafeCommitTest, AFailedJournalFailsTheCommitBeforeDataAndLeavesNoJournal) {
  struct TCase {
    const char* Name;
    TFileOp Op;
  } cases[] = {{"journal sync", TFileOp::DataSync}, {"folder sync", TFileOp::SyncDirectory},
               {"journal create", TFileOp::Open}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    testing::TFaultFileOps& ops = fx_.Ops();
    ops.FailCall(c.Op, ops.Calls(c.Op) + 1);
    TnxBaseTransaction trans(Bm(), nullptr, false, true);
    Write(trans, 2, 9);
    trans.SetJournal(Journal());
    rec_.Trace.clear();
    EXPECT_NE(ErrorCodeOf([&] { Bm().CommitTransaction(&trans, nullptr, false); }), 0u);
    for (const std::string& step : rec_.Trace) EXPECT_NE(step, "write t.nx1");
    EXPECT_EQ(Disk(), original_);
    EXPECT_FALSE(fx_.Dir().Exists("1.n$2"));
    EXPECT_FALSE(nxFatalErrorFlag.load());
    // The transaction is still whole and rolls back.
    EXPECT_EQ(trans.BlockCount(), 2);
    Bm().RollbackTransaction(&trans);
  }
}

TEST_F(FailSafeCommitTest, AFlushListFreedUnflushedTakesItsJournalAlong) {
  {
    TnxBaseTransaction trans(Bm(), nullptr, false, true);
    Write(trans, 2, 9);
    trans.SetJournal(Journal());
    TnxFlushList flush;
    Bm().CommitTransaction(&trans, &flush, false);
    EXPECT_TRUE(fx_.Dir().Exists("1.n$2"));
    EXPECT_NE(flush.Journal(), nullptr);
  }
  EXPECT_FALSE(fx_.Dir().Exists("1.n$2"));
  // The turn was given back: the next journalled commit goes through.
  TnxBaseTransaction next(Bm(), nullptr, false, true);
  Write(next, 1, 3);
  next.SetJournal(Journal());
  Bm().CommitTransaction(&next, nullptr, false);
  EXPECT_FALSE(fx_.Dir().Exists("1.n$2"));
}

TEST_F(FailSafeCommitTest, AFailedRemovalOfTheJournalStopsTheServer) {
  struct TCase {
    const char* Name;
    TFileOp Op;
    int K;
  } cases[] = {{"unlink", TFileOp::Unlink, 1}, {"folder sync after the unlink", TFileOp::SyncDirectory, 2}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    nxFatalErrorFlag.store(false);
    testing::TFaultFileOps& ops = fx_.Ops();
    ops.FailCall(c.Op, ops.Calls(c.Op) + c.K);
    TnxBaseTransaction trans(Bm(), nullptr, false, true);
    Write(trans, 2, 9);
    trans.SetJournal(Journal());
    EXPECT_NE(ErrorCodeOf([&] { Bm().CommitTransaction(&trans, nullptr, false); }), 0u);
    EXPECT_TRUE(nxFatalErrorFlag.load());
    std::filesystem::remove(fx_.Dir().Path("1.n$2"));
  }
}

// ---- journals from the folder's supply ----

TEST_F(FailSafeCommitTest, ASuppliedJournalCostsFourSyncsOnceTheFirstMadeTheNext) {
  TnxJournalSupply supply(platform::Utf8ToUtf16(fx_.Dir().Dir()), rec_);
  for (int i = 1; i <= 2; ++i) {
    TnxBaseTransaction trans(Bm(), nullptr, false, true);
    Write(trans, 2, static_cast<uint8_t>(i));
    trans.SetJournal(supply.NextJournal(&nxRollbackJournalEngineClass()));
    Bm().CommitTransaction(&trans, nullptr, false);
  }
  const std::vector<std::string> expected = {
      // The first journal makes its own name durable.
      "create 1.n$2", "write 1.n$2", "sync 1.n$2", "write 1.n$2", "sync 1.n$2", "syncdir",
      "write t.nx1", "sync t.nx1",
      "unlink 1.n$2", "create 2.n$2", "syncdir",  // one sync: the old one gone, the next made
      // The second was made ahead: entries, flag, data, the folder.
      "write 2.n$2", "sync 2.n$2", "write 2.n$2", "sync 2.n$2",
      "write t.nx1", "sync t.nx1",
      "unlink 2.n$2", "create 3.n$2", "syncdir",
  };
  EXPECT_EQ(Steps(), expected);
  EXPECT_EQ(static_cast<uint8_t>(Disk()[2 * 4096 + kBody]), 2);
  EXPECT_EQ(fx_.Dir().Read("3.n$2"), "");
  // Check leaves nothing of an empty journal and changes nothing.
  Tnx1xRollbackJournalEngine::Check(u"", platform::Utf8ToUtf16(fx_.Dir().Dir()));
  EXPECT_FALSE(fx_.Dir().Exists("3.n$2"));
  EXPECT_EQ(static_cast<uint8_t>(Disk()[2 * 4096 + kBody]), 2);
  // Its file gone, the journal makes it afresh and syncs the folder itself.
  rec_.Trace.clear();
  TnxBaseTransaction trans(Bm(), nullptr, false, true);
  Write(trans, 1, 5);
  trans.SetJournal(supply.NextJournal(&nxRollbackJournalEngineClass()));
  Bm().CommitTransaction(&trans, nullptr, false);
  const std::vector<std::string> afresh = {
      "create 3.n$2", "write 3.n$2", "sync 3.n$2", "write 3.n$2", "sync 3.n$2", "syncdir",
      "write t.nx1", "sync t.nx1", "unlink 3.n$2", "create 4.n$2", "syncdir",
  };
  EXPECT_EQ(Steps(), afresh);
}

TEST_F(FailSafeCommitTest, ANextJournalWhoseFolderSyncFailedIsNotTakenForDurable) {
  TnxJournalSupply supply(platform::Utf8ToUtf16(fx_.Dir().Dir()), rec_);
  // The second folder sync removes journal 1 and makes journal 2.
  fx_.Ops().FailCall(TFileOp::SyncDirectory, fx_.Ops().Calls(TFileOp::SyncDirectory) + 2);
  {
    TnxBaseTransaction trans(Bm(), nullptr, false, true);
    Write(trans, 2, 9);
    trans.SetJournal(supply.NextJournal(&nxRollbackJournalEngineClass()));
    EXPECT_NE(ErrorCodeOf([&] { Bm().CommitTransaction(&trans, nullptr, false); }), 0u);
  }
  EXPECT_TRUE(nxFatalErrorFlag.load());
  EXPECT_FALSE(fx_.Dir().Exists("2.n$2"));
  nxFatalErrorFlag.store(false);
  rec_.Trace.clear();
  TnxBaseTransaction trans(Bm(), nullptr, false, true);
  Write(trans, 2, 10);
  trans.SetJournal(supply.NextJournal(&nxRollbackJournalEngineClass()));
  Bm().CommitTransaction(&trans, nullptr, false);
  const std::vector<std::string> steps = Steps();
  ASSERT_GE(steps.size(), 6u);
  EXPECT_EQ(steps[0], "create 2.n$2");
  EXPECT_EQ(steps[5], "syncdir");
}

}  // namespace
}  // namespace revurov
