// The tasks that walk a table cursor: rebuilding an index (empty table,
// many records key for key, a failure and a cancel leaving the old keys)
// and the background record count (at once when an engine knows it, equal
// to the synchronous count under filters, filter time-outs, cancel, the
// session lock it holds, its cursor or session going while it runs).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "dictionary/filter_engines.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "server/server_database.h"
#include "server/server_tasks.h"
#include "support/fake_deadline_clock.h"
#include "support/position_table.h"
#include "support/table_check.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

using TEntries = std::vector<std::pair<std::vector<uint8_t>, TnxRefNr>>;

class TasksTest : public PositionTableFixture {
protected:
  TasksTest() { BuildTable(); }

  TEntries Entries(int32_t aIndex) {
    TnxBaseIndexEngine& index = Index(aIndex);
    std::unique_ptr<TnxBaseIndexPath> path = index.CreateIndexPath();
    path->SetToBof();
    TEntries entries;
    const size_t length = size_t(index.KeyEngine().KeyLength());
    while (index.NextKey(nullptr, *path, nullptr))
      entries.emplace_back(std::vector<uint8_t>(path->KeyBuffer(), path->KeyBuffer() + length), path->RefNr);
    return entries;
  }
  // A record the indices never saw.
  TnxRefNr AddRecordOnly(const PositionRow& aRow) {
    TnxBufferManager& bm = *engine->BufferManager();
    TnxBaseTransaction trans(bm, nullptr, false, false);
    std::vector<uint8_t> record = Record(aRow);
    TnxRefNr refNr = 0;
    table_->RecordEngine()->AddRecord(trans, refNr, record.data());
    nxsrCommit(bm, trans);
    return refNr;
  }
  // A rebuild of aIndex on a private database of the session, started.
  TnxServerObjectPtr<TnxServerRebuildIndexTaskInfo> StartRebuild(int32_t aIndex) {
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(session->DatabaseOpen(database, u"Path", Path(), nullptr, omReadWrite, smShared, 10000), 0u);
    TnxServerObjectPtr<TnxServerDatabase> owned(static_cast<TnxServerDatabase*>(database));
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(owned->CursorOpen(cursor, u"Pos", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr),
              0u)
        << LastMessage();
    auto task = nxCreateServerObject<TnxServerRebuildIndexTaskInfo>(
        TnxServerObjectPtr<TnxServerTableCursor>(static_cast<TnxServerTableCursor*>(cursor)), std::move(owned),
        aIndex);
    task->StartThread();
    return task;
  }
  static TnxTaskStatus Finish(TnxServerTaskInfo& aTask) {
    TnxTaskStatus status;
    bool completed = false;
    for (int i = 0; i < 120000 && !completed; ++i) {
      aTask.GetStatus(completed, status);
      if (!completed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(completed);
    return status;
  }
  TRecords Records() { return ReadRecords(*table_, nullptr, size_t(Fields().RecordLength())); }
};

// ---- rebuilding ----

TEST_F(TasksTest, RebuildingAnIndexOfAnEmptyTableCommitsAnEmptyIndex) {
  auto task = StartRebuild(IndexNo(u"ByID"));
  const TnxTaskStatus status = Finish(*task);
  EXPECT_EQ(status.tsErrorCode, 0u) << platform::Utf16ToUtf8(status.tsErrorMessage);
  EXPECT_EQ(status.tsRecsRead, 0u);
  EXPECT_EQ(status.tsRecsWritten, 0u);
  EXPECT_TRUE(Entries(IndexNo(u"ByID")).empty());
}

// The new index equals the one it replaces key for key, and takes in a
// record the old one missed.
TEST_F(TasksTest, ARebuiltIndexEqualsTheOneItReplaces) {
  std::mt19937 random(7);
  const int count = TestSize(10000, 100000);
  Load(RandomRows(count, random));
  for (const char16_t* name : {u"ByID", u"ByName", u"ByGrpStamp"}) {
    SCOPED_TRACE(platform::Utf16ToUtf8(name));
    const int32_t index = IndexNo(name);
    const TEntries before = Entries(index);
    ASSERT_EQ(before.size(), size_t(count));
    auto task = StartRebuild(index);
    const TnxTaskStatus status = Finish(*task);
    EXPECT_EQ(status.tsErrorCode, 0u) << platform::Utf16ToUtf8(status.tsErrorMessage);
    EXPECT_EQ(status.tsRecsRead, uint32_t(count));
    EXPECT_EQ(status.tsRecsWritten, uint32_t(count));
    EXPECT_EQ(status.tsPercentDone, 100);
    EXPECT_TRUE(Entries(index) == before);
  }
  const TnxRefNr extra = AddRecordOnly({-5, "zz", 3, 3});
  auto task = StartRebuild(IndexNo(u"ByID"));
  EXPECT_EQ(Finish(*task).tsErrorCode, 0u);
  const TEntries after = Entries(IndexNo(u"ByID"));
  ASSERT_EQ(after.size(), size_t(count) + 1);
  EXPECT_EQ(after.front().second, extra);
  ExpectIndexComplete(Index(IndexNo(u"ByID")), nullptr, Records(), "ByID");
}

// A rebuild that fails rolls back: the index keeps its old keys, and the
// table is free again afterwards.
TEST_F(TasksTest, AFailedRebuildLeavesTheOldKeys) {
  std::mt19937 random(9);
  Load(RandomRows(500, random));
  AddRecordOnly({rows_.front().first.ID, "dup", 1, 1});
  const int32_t index = IndexNo(u"ByID");
  const TEntries before = Entries(index);
  auto task = StartRebuild(index);
  const TnxTaskStatus status = Finish(*task);
  EXPECT_EQ(status.tsErrorCode, nxeKeyViolation);
  EXPECT_TRUE(Entries(index) == before);
  std::vector<uint8_t> record = Record({100000, "new", 1, 1});
  EXPECT_EQ(holder_->RecordInsert(nxltNoLock, record.data(), nullptr), 0u) << LastMessage();
}

// A cancel seen during the walk rolls back; one that comes after the
// commit leaves the new index. Either way the index is whole.
TEST_F(TasksTest, ACancelledRebuildLeavesTheOldKeys) {
  std::mt19937 random(11);
  Load(RandomRows(TestSize(20000, 100000), random));
  AddRecordOnly({-7, "x", 1, 1});
  const int32_t index = IndexNo(u"ByGrpStamp");
  const TEntries before = Entries(index);
  bool landed = false;
  for (int attempt = 0; attempt < 5 && !landed; ++attempt) {
    auto task = StartRebuild(index);
    for (int i = 0; i < 100000; ++i) {
      TnxTaskStatus status;
      bool completed = false;
      task->GetStatus(completed, status);
      if (completed || status.tsRecsRead > 0) break;
      std::this_thread::yield();
    }
    ASSERT_EQ(task->Cancel(), 0u);
    const TnxTaskStatus status = Finish(*task);
    if (status.tsErrorCode == nxeUpdateAborted) {
      landed = true;
      EXPECT_TRUE(Entries(index) == before);
    } else {
      EXPECT_EQ(status.tsErrorCode, 0u);
      EXPECT_EQ(Entries(index).size(), before.size() + 1);
    }
  }
  EXPECT_TRUE(landed);
}

TEST_F(TasksTest, ARebuildOfAMissingIndexIsRefused) {
  TnxAbstractCursor* cursor = nullptr;
  ASSERT_EQ(db->CursorOpen(cursor, u"Pos", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr), 0u);
  TnxServerObjectPtr<TnxServerTableCursor> owned(static_cast<TnxServerTableCursor*>(cursor));
  try {
    nxCreateServerObject<TnxServerRebuildIndexTaskInfo>(std::move(owned), TnxServerObjectPtr<TnxServerDatabase>(),
                                                        7);
    FAIL() << "no refusal";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeIndexDoesNotExist);
  }
}

// ---- counting ----

std::atomic<int> gGroup{-1};
std::atomic<bool> gHold{false};
std::atomic<bool> gHeld{false};
size_t gGrpOffset = 0;
bool GroupFilter(void*, const uint8_t* aRecord) {
  if (gHold.load()) {
    gHeld = true;
    while (gHold.load()) std::this_thread::yield();
  }
  int32_t grp = 0;
  std::memcpy(&grp, aRecord + gGrpOffset, 4);
  return grp == gGroup.load();
}

class CountTest : public TasksTest {
protected:
  CountTest() {
    std::mt19937 random(3);
    Load(RandomRows(600, random));
    gGrpOffset = size_t(Fields().FieldDescriptor(2)->Offset());
    gGroup = 2;
    gHold = false;
    gHeld = false;
  }
  ~CountTest() override { gHold = false; }

  TnxServerTableCursor* FilteredCursor(int32_t aIndex) {
    TnxServerTableCursor* cursor = NewCursor(aIndex);
    TnxCallbackFilterDescriptor descriptor(nullptr, &GroupFilter);
    TnxFilterID id = 0;
    EXPECT_EQ(cursor->FilterAddCustom(&descriptor, id, true), 0u);
    return cursor;
  }
  int Expected() {
    int n = 0;
    for (const auto& [row, refNr] : rows_) n += row.Grp == 2;
    return n;
  }
  TnxServerObjectPtr<TnxAbstractTaskInfo> CountAsync(TnxServerTableCursor* aCursor, TnxRecordCountOption aOption) {
    TnxAbstractTaskInfo* task = nullptr;
    EXPECT_EQ(aCursor->GetRecordCountExAsync(aOption, task), 0u) << LastMessage();
    return TnxServerObjectPtr<TnxAbstractTaskInfo>(task);
  }
};

// A count an engine already knows comes back finished, without a thread.
TEST_F(CountTest, AKnownCountIsFinishedAtOnce) {
  struct Row {
    const char16_t* Index;
    TnxRecordCountOption Option;
  };
  const Row rows[] = {
      {u"ByID", rcoTotalRecordCount}, {u"ByID", rcoTotalKeyCount},       {u"ByID", rcoRangedKeyCount},
      {u"ByID", rcoServerFilteredKeyCount}, {nullptr, rcoClientFilteredKeyCount},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(int(r.Option));
    TnxServerTableCursor* cursor = NewCursor(r.Index ? IndexNo(r.Index) : -1);
    auto task = CountAsync(cursor, r.Option);
    ASSERT_NE(task, nullptr);
    EXPECT_NE(dynamic_cast<TnxServerDoNothingTaskInfo*>(task.get()), nullptr);
    TnxTaskStatus status;
    bool completed = false;
    ASSERT_EQ(task->GetStatus(completed, status), 0u);
    EXPECT_TRUE(completed);
    EXPECT_EQ(status.tsRecsRead, 600u);
  }
}

// Under filters the task counts what the synchronous count counts, and
// leaves filters and position as they were.
TEST_F(CountTest, TheCountTaskEqualsTheSynchronousCount) {
  for (const int32_t index : {IndexNo(u"ByGrpStamp"), -1}) {
    SCOPED_TRACE(index);
    TnxServerTableCursor* cursor = FilteredCursor(index);
    ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, nullptr), 0u);
    const TnxRefNr at = cursor->IndexPath()->RefNr;
    uint32_t expected = 0;
    ASSERT_EQ(cursor->GetRecordCountEx(rcoServerFilteredKeyCount, expected, false), 0u);
    ASSERT_EQ(expected, uint32_t(Expected()));
    auto task = CountAsync(cursor, rcoServerFilteredKeyCount);
    ASSERT_NE(dynamic_cast<TnxServerGetRecCountTaskInfo*>(task.get()), nullptr);
    const TnxTaskStatus status = Finish(*static_cast<TnxServerTaskInfo*>(task.get()));
    EXPECT_EQ(status.tsErrorCode, 0u);
    EXPECT_EQ(status.tsRecsRead, expected);
    EXPECT_EQ(status.tsRecsWritten, expected);
    EXPECT_NE(cursor->Filter(), nullptr);
    EXPECT_EQ(cursor->IndexPath()->RefNr, at);
    EXPECT_EQ(cursor->RecordGetNext(nxltNoLock, nullptr), 0u);
  }
}

// A read that times out in the filter does not end the count.
TEST_F(CountTest, FilterTimeOutsDoNotEndTheCount) {
  TFakeDeadlineClock clock;
  TnxServerTableCursor* cursor = FilteredCursor(-1);
  cursor->SetFilterTimeout(500);
  // Every rejection takes 100 ms: six in a row time the read out.
  static std::atomic<int> rejections{0};
  TnxCallbackFilterDescriptor slow(nullptr, [](void*, const uint8_t* aRecord) {
    int32_t grp = 0;
    std::memcpy(&grp, aRecord + gGrpOffset, 4);
    if (grp == gGroup.load()) return true;
    ++rejections;
    TFakeDeadlineClock::Advance(100);
    return false;
  });
  ASSERT_EQ(cursor->FilterRemove(0), 0u);
  TnxFilterID id = 0;
  ASSERT_EQ(cursor->FilterAddCustom(&slow, id, true), 0u);
  auto task = CountAsync(cursor, rcoServerFilteredKeyCount);
  const TnxTaskStatus status = Finish(*static_cast<TnxServerTaskInfo*>(task.get()));
  EXPECT_EQ(status.tsErrorCode, 0u);
  EXPECT_EQ(status.tsRecsRead, uint32_t(Expected()));
  EXPECT_GT(rejections.load(), 5);
}

// While the count walks, it holds the session lock: the session's other
// framed calls are refused. A cancel stops it and gives the cursor back
// its filters and position.
TEST_F(CountTest, ACancelRestoresFiltersAndPosition) {
  TnxServerTableCursor* cursor = FilteredCursor(IndexNo(u"ByName"));
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, nullptr), 0u);
  const TnxRefNr at = cursor->IndexPath()->RefNr;
  const TnxIndexPathPosition position = cursor->IndexPath()->Position;
  gHold = true;
  auto task = CountAsync(cursor, rcoServerFilteredKeyCount);
  while (!gHeld.load()) std::this_thread::yield();
  EXPECT_EQ(holder_->RecordGetNext(nxltNoLock, nullptr), nxeIllegalReentry);
  ASSERT_EQ(task->Cancel(), 0u);
  TnxTaskStatus status;
  bool completed = false;
  task->GetStatus(completed, status);
  EXPECT_EQ(status.tsErrorCode, nxeUpdateAborted);
  EXPECT_FALSE(completed);
  gHold = false;
  status = Finish(*static_cast<TnxServerTaskInfo*>(task.get()));
  EXPECT_EQ(status.tsErrorCode, nxeUpdateAborted);
  EXPECT_NE(cursor->Filter(), nullptr);
  EXPECT_EQ(cursor->IndexPath()->RefNr, at);
  EXPECT_EQ(cursor->IndexPath()->Position, position);
  // Finished means the session is free again.
  EXPECT_EQ(holder_->RecordGetNext(nxltNoLock, nullptr), 0u);
}

// The cursor frees its count first, which waits for the walk to stop.
TEST_F(CountTest, ACursorFreedDuringTheCountWaitsForIt) {
  TnxServerTableCursor* cursor = FilteredCursor(-1);
  cursors_.pop_back();
  gHold = true;
  auto task = CountAsync(cursor, rcoServerFilteredKeyCount);
  TnxAbstractTaskInfo* raw = task.release();  // the cursor frees it
  while (!gHeld.load()) std::this_thread::yield();
  std::thread release([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gHold = false;
  });
  cursor->Free();
  release.join();
  (void)raw;
  EXPECT_EQ(holder_->RecordGetNext(nxltNoLock, nullptr), 0u);
}

// A second count on the cursor takes its registration over; both tasks
// stay their client's.
TEST_F(CountTest, ASecondCountTakesTheCursorOver) {
  TnxServerTableCursor* cursor = FilteredCursor(-1);
  auto first = CountAsync(cursor, rcoServerFilteredKeyCount);
  EXPECT_EQ(Finish(*static_cast<TnxServerTaskInfo*>(first.get())).tsRecsRead, uint32_t(Expected()));
  auto second = CountAsync(cursor, rcoServerFilteredKeyCount);
  EXPECT_EQ(Finish(*static_cast<TnxServerTaskInfo*>(second.get())).tsRecsRead, uint32_t(Expected()));
  first.reset();
  TnxTaskStatus status;
  bool completed = false;
  EXPECT_EQ(second->GetStatus(completed, status), 0u);
  EXPECT_TRUE(completed);
}

// A session freed while its count holds the lock is cleaned up by the
// count's own unlock, which frees the count's task info on its thread.
TEST_F(CountTest, ASessionFreedDuringTheCountIsCleanedUpByIt) {
  TnxServerTableCursor* cursor = FilteredCursor(-1);
  gHold = true;
  auto task = CountAsync(cursor, rcoServerFilteredKeyCount);
  task.release();  // the session frees it
  while (!gHeld.load()) std::this_thread::yield();
  std::thread release([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    gHold = false;
  });
  cursors_.clear();  // the session's clean-up frees them
  holder_ = nullptr;
  db = nullptr;
  session->Free();
  session = nullptr;
  release.join();
  // The count's thread could not join itself; it is joined here.
  EXPECT_EQ(nxReapServerTaskThreads(true), 1u);
}

}  // namespace
}  // namespace revurov::testing
