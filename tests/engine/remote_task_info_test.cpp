// The remote task info end to end over loopback TCP: its status in the
// tagged and the old raw form, a failed task's message, cancel, options
// and the close when it is freed.
#include "engine/remote_task_info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/remote_database.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/endian.h"
#include "support/remote_engine_fixture.h"
#include "support/tagged_bytes.h"

namespace revurov::testing {
namespace {

using Ids = std::vector<TnxMsgID>;

class RemoteTaskInfoTest : public RemoteEngineFixture {
protected:
  RemoteTaskInfoTest() {
    handler->Configure([&](TTestCommandHandler& h) {
      h.Aliases = {{u"Alpha", u"/data/a"}};
      h.Tables[u"Alpha"] = {u"Orders"};
    });
  }
  // A task the server started for a pack, on a server of aVersion.
  TnxRemoteTaskInfo* StartTask(int32_t aVersion = 47501) {
    handler->Configure([&](TTestCommandHandler& h) { h.ServerVersion = aVersion; });
    session = Open();
    EXPECT_NE(session, nullptr);
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(session->DatabaseOpen(database, u"Name", u"Alpha", nullptr, omReadWrite, smShared, 5000), 0u);
    TnxAbstractTaskInfo* task = nullptr;
    EXPECT_EQ(database->TablePack(u"Orders", u"", task), 0u);
    return static_cast<TnxRemoteTaskInfo*>(task);
  }
  TaggedBytes RawID(const TnxRemoteTaskInfo* aTask) const {
    TaggedBytes bytes(4);
    platform::StoreU32(bytes.data(), aTask->TaskID());
    return bytes;
  }
  TaggedBytes LastPayload(TnxMsgID aMsgID) const {
    TaggedBytes payload;
    for (const auto& r : handler->Received())
      if (r.msgID == aMsgID) payload = r.data;
    return payload;
  }

  TnxRemoteSession* session = nullptr;
};

// A session that goes with task infos left waits for them to finish
// (20 x 100 ms); the tests free theirs first.
struct TaskFree {
  TnxRemoteTaskInfo* task;
  ~TaskFree() {
    if (task) task->Free();
  }
};

TEST_F(RemoteTaskInfoTest, TheStatusIsTaggedFrom30500OnAndRawBelow) {
  const struct {
    int32_t version;
    TnxMsgID msgID;
    std::u16string message;  // only the tagged form carries one
  } rows[] = {{47501, 0x503, u"half done"}, {30500, 0x503, u"half done"}, {30499, 0x501, u""}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.version);
    handler->Configure([&](TTestCommandHandler& h) {
      h.TaskStatus = {};
      h.TaskStatus.totalRecs = 200;
      h.TaskStatus.recsRead = 100;
      h.TaskStatus.percentDone = 50;
      h.TaskStatus.finished = false;
      h.TaskStatus.errorMessage = u"half done";
    });
    TnxRemoteTaskInfo* task = StartTask(row.version);
    ASSERT_NE(task, nullptr);
    const size_t before = SentCount(session);
    bool completed = true;
    TnxTaskStatus status;
    status.tsErrorMessage = u"stale";
    ASSERT_EQ(task->GetStatus(completed, status), 0u);
    EXPECT_EQ(SentBy(session, before), Ids{row.msgID});
    if (row.msgID == 0x501)
      EXPECT_EQ(LastPayload(0x501), RawID(task));
    else
      EXPECT_EQ(LastPayload(0x503), Written([&](TnxWriter& w) { w.WriteInteger(int32_t(task->TaskID())); }));
    EXPECT_FALSE(completed);
    EXPECT_EQ(status.tsStartTime, 1u);
    EXPECT_EQ(status.tsSnapshotTime, 2u);
    EXPECT_EQ(status.tsTotalRecs, 200u);
    EXPECT_EQ(status.tsRecsRead, 100u);
    EXPECT_EQ(status.tsErrorCode, 0u);
    EXPECT_EQ(status.tsPercentDone, 50);
    EXPECT_EQ(status.tsErrorMessage, row.message);
    task->Free();
    session->Free();
  }
}

TEST_F(RemoteTaskInfoTest, ARawStatusShorterThan26BytesIsRefused) {
  TnxRemoteTaskInfo* task = StartTask(30000);
  ASSERT_NE(task, nullptr);
  const TaskFree freeTask{task};
  handler->Script(0x501, Fixed(0, TaggedBytes(25, 0x11)));
  bool completed = true;
  TnxTaskStatus status;
  EXPECT_EQ(task->GetStatus(completed, status), nxeMessageUnrecognized);
  EXPECT_FALSE(completed);
  EXPECT_EQ(status.tsTotalRecs, 0u);

  TaggedBytes exact(26, 0);
  exact[25] = 1;
  handler->Script(0x501, Fixed(0, exact));
  EXPECT_EQ(task->GetStatus(completed, status), 0u);
  EXPECT_TRUE(completed);
}

TEST_F(RemoteTaskInfoTest, AFailedTasksMessageBecomesTheThreadsMessage) {
  const int32_t versions[] = {47501, 30499};
  for (int32_t version : versions) {
    SCOPED_TRACE(version);
    handler->Configure([&](TTestCommandHandler& h) {
      h.TaskStatus = {};
      h.TaskStatus.errorCode = nxeTableDoesNotExist;
      h.TaskStatus.errorMessage = u"the table went away";
    });
    TnxRemoteTaskInfo* task = StartTask(version);
    ASSERT_NE(task, nullptr);
    EnxBaseException::SetLastConvertedException(0, u"");
    bool completed = false;
    TnxTaskStatus status;
    ASSERT_EQ(task->GetStatus(completed, status), 0u) << "the task's failure is in its status";
    EXPECT_TRUE(completed);
    EXPECT_EQ(status.tsErrorCode, nxeTableDoesNotExist);
    uint32_t code = 0;
    std::u16string message;
    EnxBaseException::GetLastConvertedException(code, message);
    EXPECT_EQ(code, nxeTableDoesNotExist);
    EXPECT_EQ(message, version >= 30500 ? u"the table went away" : u"");
    task->Free();
    session->Free();
  }
}

TEST_F(RemoteTaskInfoTest, AFailedRequestLeavesTheStatusEmpty) {
  TnxRemoteTaskInfo* task = StartTask();
  ASSERT_NE(task, nullptr);
  const TaskFree freeTask{task};
  handler->Script(0x503, Fixed(nxeInvalidHandle));
  bool completed = true;
  TnxTaskStatus status;
  status.tsTotalRecs = 9;
  EXPECT_EQ(task->GetStatus(completed, status), nxeInvalidHandle);
  EXPECT_FALSE(completed);
  EXPECT_EQ(status.tsTotalRecs, 0u);
}

TEST_F(RemoteTaskInfoTest, CancelAndFreeingTellTheServer) {
  TnxRemoteTaskInfo* task = StartTask();
  ASSERT_NE(task, nullptr);
  const uint32_t id = task->TaskID();
  EXPECT_EQ(handler->OpenTasks().count(id), 1u);
  size_t before = SentCount(session);
  ASSERT_EQ(task->Cancel(), 0u);
  EXPECT_EQ(SentBy(session, before), Ids{0x502});
  EXPECT_EQ(LastPayload(0x502), RawID(task));

  const TaggedBytes raw = RawID(task);
  before = SentCount(session);
  task->Free();
  // Every task info cancels when it goes; then the server's handle is closed.
  EXPECT_EQ(SentBy(session, before), (Ids{0x502, 0x5FF}));
  EXPECT_EQ(LastPayload(0x5FF), raw);
  EXPECT_EQ(handler->OpenTasks().count(id), 0u);
  EXPECT_EQ(handler->CancelledTasks(), (std::vector<uint32_t>{id, id}));
}

TEST_F(RemoteTaskInfoTest, OptionsCarryTheTaskID) {
  TnxRemoteTaskInfo* task = StartTask();
  ASSERT_NE(task, nullptr);
  const TaskFree freeTask{task};
  ASSERT_EQ(task->OptionSet(u"Mode", u"fast"), 0u);
  EXPECT_EQ(LastPayload(0x5F4), Written([&](TnxWriter& w) {
              w.WriteInteger(int32_t(task->TaskID()));
              w.WriteString(u"Mode");
              w.WriteString(u"fast");
            }));
  std::u16string value;
  ASSERT_EQ(task->OptionGet(u"Mode", value), 0u);
  EXPECT_EQ(value, u"fast");
  platform::TStringList list;
  ASSERT_EQ(task->OptionList(list), 0u);
  EXPECT_EQ(list.Count(), 1);
  ASSERT_EQ(task->OptionClear(u"Mode"), 0u);
  ASSERT_EQ(task->OptionGetEffective(u"Mode", value), 0u);
  EXPECT_EQ(value, u"");
}

}  // namespace
}  // namespace revurov::testing
