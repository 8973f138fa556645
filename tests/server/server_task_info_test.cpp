// Task infos: the status rows, cancelling, the life of the task thread
// (task infos freed at random moments of their thread's start, run and
// end), and the check of a table's file checksums with an encryption
// engine that keeps them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "server/server_task_info.h"
#include "storage/encryption_engine.h"
#include "storage/files.h"
#include "support/fake_engine_clock.h"
#include "support/position_table.h"
#include "support/sum_encryption_engine.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

// Busy work of about aRounds steps.
void Burn(uint32_t aRounds) {
  std::atomic<uint32_t> sink{0};
  for (uint32_t i = 0; i < aRounds; ++i) sink.fetch_add(1, std::memory_order_relaxed);
}

// A task whose work the test steers: it reports Steps times (stopping when
// cancelled), ending with Error.
class StepTask : public TnxServerTaskInfo {
  REVUROV_SERVER_OBJECT_CLASS(StepTask, TnxServerTaskInfo)
  StepTask(TnxAbstractSession* aSession, uint32_t aTotal) : TnxServerTaskInfo(aSession, aTotal,
                                                                              platform::TThreadPriority::tpNormal) {}
  void Execute() override {
    Running.fetch_add(1);
    BeginRun();
    uint32_t done = 0;
    while (done < Steps) {
      Burn(Spin);
      if (Hold) while (Hold->load()) std::this_thread::yield();
      ++done;
      if (MakeSnapshot(done, done, 0)) break;
    }
    if (Error != 0) EnxBaseException::SetLastConvertedException(Error, u"it broke");
    MakeSnapshot(done, done, Error);
    EndRun();
    Running.fetch_sub(1);
  }
  static inline std::atomic<int> Running{0};
  uint32_t Steps = 1;
  uint32_t Spin = 0;
  uint32_t Error = 0;
  std::atomic<bool>* Hold = nullptr;

protected:
  ~StepTask() override = default;
};

class TaskInfoTest : public TableOpsFixture {
protected:
  TnxServerObjectPtr<StepTask> NewTask(uint32_t aTotal = 100) {
    return nxCreateServerObject<StepTask>(session, aTotal);
  }
  static TnxTaskStatus Status(TnxServerTaskInfo& aTask, bool* aCompleted = nullptr) {
    TnxTaskStatus status;
    bool completed = false;
    EXPECT_EQ(aTask.GetStatus(completed, status), 0u);
    EXPECT_EQ(completed, status.tsFinished);
    if (aCompleted) *aCompleted = completed;
    return status;
  }
  static void WaitFinished(TnxServerTaskInfo& aTask) {
    for (int i = 0; i < 20000 && !Status(aTask).tsFinished; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(Status(aTask).tsFinished);
  }
};

TEST(TaskPercentTest, ScalesLargeCountsAndGivesZeroWithoutTotal) {
  struct Row {
    uint32_t Read, Total;
    uint8_t Percent;
  };
  const Row rows[] = {
      {0, 0, 0},
      {500, 0, 0},
      {50, 100, 50},
      {1, 3, 33},
      {300, 100, 100},
      {16777215, 33554431, 49},
      // From 2^24 both go right by 7 first; the product then stays in range.
      {20000000, 40000000, 50},
      {16777216, 100, 0},  // the total shifts to 0
      {4294967295u, 4294967295u, 100},
      {42949672, 4294967295u, 0},
  };
  for (const Row& r : rows)
    EXPECT_EQ(TnxServerTaskInfo::PercentDone(r.Read, r.Total), r.Percent) << r.Read << "/" << r.Total;
}

TEST_F(TaskInfoTest, SnapshotsFillTheStatusRows) {
  TFakeEngineClock clock(7000);
  auto task = NewTask(40);
  TnxTaskStatus status = Status(*task);
  EXPECT_EQ(status.tsStartTime, 7000u);
  EXPECT_EQ(status.tsTotalRecs, 40u);
  EXPECT_FALSE(status.tsFinished);
  clock.Advance(25);
  EnxBaseException::SetLastConvertedException(0, u"");
  EXPECT_FALSE(task->MakeSnapshot(10, 8, 0));
  status = Status(*task);
  EXPECT_EQ(status.tsRecsRead, 10u);
  EXPECT_EQ(status.tsRecsWritten, 8u);
  EXPECT_EQ(status.tsPercentDone, 25);
  EXPECT_EQ(status.tsSnapshotTime, 7025u);
  // The message goes with its own code only.
  EnxBaseException::SetLastConvertedException(9729, u"key violation");
  task->MakeSnapshot(11, 11, 9729);
  EXPECT_EQ(platform::Utf16ToUtf8(Status(*task).tsErrorMessage), "key violation");
  EnxBaseException::SetLastConvertedException(1234, u"other");
  task->MakeSnapshot(12, 12, 9729);
  EXPECT_TRUE(Status(*task).tsErrorMessage.empty());
}

// A failed task's status leaves its code and message as the caller's
// last error.
TEST_F(TaskInfoTest, StatusOfAFailedTaskSetsTheLastError) {
  auto task = NewTask();
  task->Error = 8961;
  task->StartThread();
  WaitFinished(*task);
  EnxBaseException::SetLastConvertedException(0, u"");
  const TnxTaskStatus status = Status(*task);
  EXPECT_EQ(status.tsErrorCode, 8961u);
  uint32_t code = 0;
  std::u16string message;
  EnxBaseException::GetLastConvertedException(code, message);
  EXPECT_EQ(code, 8961u);
  EXPECT_EQ(platform::Utf16ToUtf8(message), "it broke");
  EXPECT_FALSE(task->Executing());
}

TEST_F(TaskInfoTest, ASecondCancelKeepsTheFirstOnesTime) {
  TFakeEngineClock clock(100);
  auto task = NewTask();
  clock.Advance(10);
  EXPECT_EQ(task->Cancel(), 0u);
  clock.Advance(10);
  EXPECT_EQ(task->Cancel(), 0u);
  const TnxTaskStatus status = Status(*task);
  EXPECT_EQ(status.tsErrorCode, nxeUpdateAborted);
  EXPECT_EQ(status.tsSnapshotTime, 110u);
  // Never started: nothing runs, so it is finished at once; later reports
  // record nothing and tell the task to stop.
  EXPECT_TRUE(status.tsFinished);
  EXPECT_TRUE(task->MakeSnapshot(5, 5, 0));
  EXPECT_EQ(Status(*task).tsRecsRead, 0u);
  // Finished is final: the thread is not started any more.
  task->StartThread();
  EXPECT_FALSE(task->Executing());
  EXPECT_EQ(StepTask::Running.load(), 0);
}

// A cancelled task reads 13062 at once but finished only once its thread
// has stopped; its counts stay those of the cancel.
TEST_F(TaskInfoTest, ACancelledTaskIsFinishedOnlyOnceItsThreadStopped) {
  std::atomic<bool> hold{true};
  auto task = NewTask(1000);
  task->Steps = 1000;
  task->Hold = &hold;
  task->StartThread();
  ASSERT_EQ(task->Cancel(), 0u);
  TnxTaskStatus status = Status(*task);
  EXPECT_EQ(status.tsErrorCode, nxeUpdateAborted);
  EXPECT_FALSE(status.tsFinished);
  EXPECT_TRUE(task->Executing());
  hold = false;
  WaitFinished(*task);
  status = Status(*task);
  EXPECT_EQ(status.tsErrorCode, nxeUpdateAborted);
  EXPECT_EQ(status.tsRecsRead, 0u);
  EXPECT_EQ(StepTask::Running.load(), 0);
}

// A cancel after the end leaves the result: the work is done.
TEST_F(TaskInfoTest, ACancelAfterTheEndKeepsTheResult) {
  auto task = NewTask(3);
  task->Steps = 3;
  task->StartThread();
  WaitFinished(*task);
  EXPECT_EQ(task->Cancel(), 0u);
  const TnxTaskStatus status = Status(*task);
  EXPECT_EQ(status.tsErrorCode, 0u);
  EXPECT_EQ(status.tsRecsRead, 3u);
  EXPECT_EQ(status.tsPercentDone, 100);
}

TEST_F(TaskInfoTest, ADoNothingTaskIsWhatItWasGiven) {
  auto task = nxCreateServerObject<TnxServerDoNothingTaskInfo>(session, 7, platform::TThreadPriority::tpNormal);
  task->MakeSnapshot(7, 7, 0);
  task->MarkFinished();
  bool completed = false;
  const TnxTaskStatus status = Status(*task, &completed);
  EXPECT_TRUE(completed);
  EXPECT_EQ(status.tsRecsRead, 7u);
  EXPECT_EQ(status.tsPercentDone, 100);
}

// Task infos freed at random moments of their thread's start, run and end:
// each free waits for its thread, so no task is running afterwards.
TEST_F(TaskInfoTest, TaskInfosFreedAtRandomMomentsJoinTheirThreads) {
  std::mt19937 random(2024);
  const int count = TestSize(400, 10000);
  for (int i = 0; i < count; ++i) {
    auto task = NewTask(50);
    task->Steps = random() % 50;
    task->Spin = random() % 2000;
    task->StartThread();
    const uint32_t delay = random() % 4;
    if (delay == 1) std::this_thread::yield();
    if (delay == 2) Burn(random() % 20000);
    if (delay == 3) task->Cancel();
    task.reset();
    ASSERT_EQ(StepTask::Running.load(), 0) << i;
  }
}

// Freeing the session frees its task infos, each after its thread.
TEST_F(TaskInfoTest, AClosingSessionStopsItsTasks) {
  std::atomic<bool> hold{true};
  auto task = NewTask(100);
  task->Steps = 100;
  task->Hold = &hold;
  task->StartThread();
  task.release();
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    hold = false;
  });
  db->Free();
  db = nullptr;
  session->Free();
  session = nullptr;
  release.join();
  EXPECT_EQ(StepTask::Running.load(), 0);
}

// ---- checksums ----

class ChecksumTest : public PositionTableFixture {
protected:
  ChecksumTest() {
    sums.Register(u"TestSum", true, 0);
    sums.Register(u"TestSum", false, 0);
  }
  ~ChecksumTest() override {
    for (TnxServerTableCursor* cursor : cursors_) cursor->Free();
    cursors_.clear();
    CloseAll();
    sums.Unregister();
  }

  // "Sum" in the checksum engine with aRows, and "Plain" without one.
  void BuildTables(int aRows) {
    auto dict = PositionDictionary();
    dict->SetEncryptionEngine(u"TestSum");
    ASSERT_EQ(db->TableBuild(false, u"Sum", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    auto plain = PositionDictionary();
    ASSERT_EQ(db->TableBuild(false, u"Plain", u"", plain.get(), tsPersistent, false), 0u) << LastMessage();
    // The one on "Sum" stays open, so its files keep what the checks mark.
    for (const char16_t* name : {u"Sum", u"Plain"}) {
      TnxServerTableCursor* cursor = Cursor(name, omReadWrite);
      ASSERT_NE(cursor, nullptr);
      cursors_.push_back(cursor);
      holder_ = cursor;
      for (int i = 0; i < aRows; ++i) {
        std::vector<uint8_t> record = Record({i, "r" + std::to_string(i % 13), i % 5, i});
        ASSERT_EQ(cursor->RecordInsert(nxltNoLock, record.data(), nullptr), 0u) << LastMessage();
      }
    }
    holder_ = cursors_.front();
    cursors_.back()->Free();
    cursors_.pop_back();
  }
  TnxServerTableCursor* Cursor(std::u16string_view aName, TnxOpenMode aMode = omReadOnly) {
    TnxAbstractCursor* cursor = nullptr;
    if (db->CursorOpen(cursor, aName, u"", aMode, smShared, 10000, u"", -1, false, 0, 500, nullptr) != 0)
      return nullptr;
    return static_cast<TnxServerTableCursor*>(cursor);
  }
  // Runs a check on aName; its final status.
  TnxTaskStatus Verify(std::u16string_view aName, bool aRaw, bool aForce) {
    TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(aName));
    EXPECT_NE(cursor, nullptr) << LastMessage();
    if (!cursor) return {};
    auto task = nxCreateServerObject<TnxServerVerifyChecksumTaskInfo>(std::move(cursor), aRaw, aForce);
    task->StartThread();
    TnxTaskStatus status;
    bool completed = false;
    for (int i = 0; i < 20000 && !completed; ++i) {
      task->GetStatus(completed, status);
      if (!completed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(completed);
    return status;
  }
  std::string FilePath(const char* aName) { return dir.Dir() + "/" + aName; }

  SumEngineClass sums;
};

TEST_F(ChecksumTest, AMatchingTableVerifiesAndIsSkippedUnlessForced) {
  BuildTables(300);
  for (const bool raw : {false, true}) {
    SCOPED_TRACE(raw);
    sums.Walked = 0;
    TnxTaskStatus status = Verify(u"Sum", raw, true);
    EXPECT_EQ(status.tsErrorCode, 0u) << platform::Utf16ToUtf8(status.tsErrorMessage);
    EXPECT_GT(sums.Walked.load(), 0);
    EXPECT_EQ(status.tsRecsRead, status.tsTotalRecs);
    EXPECT_EQ(status.tsPercentDone, 100);
    // Every file matched: a second check of the open table walks nothing.
    sums.Walked = 0;
    status = Verify(u"Sum", raw, false);
    EXPECT_EQ(status.tsErrorCode, 0u);
    EXPECT_EQ(sums.Walked.load(), 0);
    EXPECT_EQ(status.tsRecsRead, status.tsTotalRecs);
  }
}

TEST_F(ChecksumTest, AFileWithoutChecksumIsCountedButNotWalked) {
  BuildTables(50);
  sums.Walked = 0;
  const TnxTaskStatus status = Verify(u"Plain", false, true);
  EXPECT_EQ(status.tsErrorCode, 0u);
  EXPECT_EQ(sums.Walked.load(), 0);
  EXPECT_GT(status.tsRecsRead, 0u);
  EXPECT_EQ(status.tsRecsRead, status.tsTotalRecs);
}

TEST_F(ChecksumTest, AFlippedByteGives8961) {
  BuildTables(300);
  {
    std::fstream file(FilePath("Sum.nx1"), std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(file.good());
    file.seekg(4096 + 100);
    char c = 0;
    file.read(&c, 1);
    c = char(c ^ 0x40);
    file.seekp(4096 + 100);
    file.write(&c, 1);
  }
  for (const bool raw : {false, true}) {
    SCOPED_TRACE(raw);
    const TnxTaskStatus status = Verify(u"Sum", raw, true);
    EXPECT_EQ(status.tsErrorCode, nxeCorruptHeader);
    EXPECT_TRUE(status.tsFinished);
  }
}

}  // namespace
}  // namespace revurov::testing
