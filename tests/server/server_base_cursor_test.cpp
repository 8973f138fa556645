// The server base cursor's frame around its workers, the read-only state,
// insert options, the record and key filters with their time limit, the
// request-close handler and the lock-failure message, on a scripted worker
// cursor over a server database.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dictionary/default_value_engines.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/field_types.h"
#include "dictionary/fields_descriptor.h"
#include "engine/engine_clock.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/text.h"
#include "server/server_table.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "storage/deadline.h"
#include "storage/server_exceptions.h"
#include "support/fake_deadline_clock.h"
#include "support/scripted_worker_cursor.h"
#include "support/server_fixture.h"

namespace revurov::testing {
namespace {

using Bytes = std::vector<uint8_t>;

class ServerBaseCursorTest : public ServerFixture {
protected:
  ServerBaseCursorTest() {
    Start();
    session = Open();
    TnxAbstractDatabase* opened = nullptr;
    EXPECT_EQ(session->DatabaseOpen(opened, u"Path", u"#cursors", nullptr, omReadWrite, smShared, 1000), 0u);
    database = static_cast<TnxServerDatabase*>(opened);
    dict.FieldsDescriptor().AddField(u"Name", u"", nxtWideString, 20, 0, false);
    dict.FieldsDescriptor().AddField(u"Value", u"", nxtInt32, 0, 0, false);
  }
  ~ServerBaseCursorTest() override {
    if (database) database->Free();
  }

  ScriptedWorkerCursor* NewCursor(TnxOpenMode aOpenMode = omReadWrite, TnxDataDictionary* aDict = nullptr) {
    auto* cursor =
        nxCreateServerObject<ScriptedWorkerCursor>(database, 1000, aOpenMode, aDict ? aDict : &dict).release();
    constructionCalls = std::exchange(cursor->Calls, {});
    return cursor;
  }

  // Runs aCall on another thread and answers its result.
  static uint32_t OnOtherThread(const std::function<uint32_t()>& aCall) {
    uint32_t result = 0;
    std::thread other([&] { result = aCall(); });
    other.join();
    return result;
  }

  TnxServerSession* session = nullptr;
  TnxServerDatabase* database = nullptr;
  TnxDataDictionary dict;
  std::vector<std::string> constructionCalls;
};

// One public operation, the worker it runs and the steps of its frame.
struct FrameRow {
  const char* Operation;
  const char* Worker;
  bool Full;
  bool ContentLock;
  std::function<uint32_t(ScriptedWorkerCursor&)> Call;
};

std::vector<FrameRow> FrameRows() {
  static uint8_t buffer[64];
  static TnxMemoryStream stream;
  static platform::TStringList list;
  return {
      {"GetIndexID", "sbcGetIndexID", true, false,
       [](ScriptedWorkerCursor& c) {
         int32_t id = 0;
         return c.GetIndexID(id);
       }},
      {"GetBookmark", "sbcGetBookmark", true, false, [](ScriptedWorkerCursor& c) { return c.GetBookmark(buffer, 8); }},
      {"SetToBookmark", "sbcSetToBookmark", true, false,
       [](ScriptedWorkerCursor& c) { return c.SetToBookmark(buffer, 8); }},
      {"SetToKey", "sbcSetToKey", true, false,
       [](ScriptedWorkerCursor& c) { return c.SetToKey(skaAnyEqual, 1, 0, false, buffer); }},
      {"RecNoGet", "sbcRecNoGet", true, true,
       [](ScriptedWorkerCursor& c) {
         uint32_t recNo = 0;
         return c.RecNoGet(recNo, false);
       }},
      {"RecNoSet", "sbcRecNoSet", true, true, [](ScriptedWorkerCursor& c) { return c.RecNoSet(3, false); }},
      {"CopyRecords", "sbcCopyRecords", true, false,
       [](ScriptedWorkerCursor& c) { return c.CopyRecords(nullptr, nxbcmNoCopy, 0); }},
      {"GetRecordCount", "sbcGetRecordCount", true, false,
       [](ScriptedWorkerCursor& c) {
         uint32_t count = 0;
         return c.GetRecordCount(count, false);
       }},
      {"AutoIncSet", "sbcAutoIncSet", true, false, [](ScriptedWorkerCursor& c) { return c.AutoIncSet(5); }},
      {"BlobWrite", "sbcBlobWrite", true, false,
       [](ScriptedWorkerCursor& c) { return c.BlobWrite({1, 1}, 0, 1, 0, 1, buffer); }},
      {"RecordGet", "sbcRecordGet", false, false,
       [](ScriptedWorkerCursor& c) { return c.RecordGet(nxltNoLock, buffer); }},
      {"RecordInsert", "sbcRecordInsert", false, false,
       [](ScriptedWorkerCursor& c) { return c.RecordInsert(nxltNoLock, buffer, nullptr); }},
      {"RecordModify", "sbcRecordModify", false, false,
       [](ScriptedWorkerCursor& c) { return c.RecordModify(buffer, false, nullptr); }},
      {"SwitchToIndex", "sbcSwitchToIndex", false, false,
       [](ScriptedWorkerCursor& c) { return c.SwitchToIndex(u"", 1, porFalse); }},
      {"TableStreamWrite", "sbcTableStreamWrite", false, false,
       [](ScriptedWorkerCursor& c) { return c.TableStreamWrite(u"S", stream); }},
      {"TableStreamGetList", "sbcTableStreamGetList", false, false,
       [](ScriptedWorkerCursor& c) { return c.TableStreamGetList(list); }},
      {"TableLockAcquire", "sbcTableLockAcquire", false, false,
       [](ScriptedWorkerCursor& c) { return c.TableLockAcquire(nxltWriteLock); }},
      {"ChangePassword", "sbcChangePassword", false, false,
       [](ScriptedWorkerCursor& c) { return c.ChangePassword(u"x"); }},
  };
}

TEST_F(ServerBaseCursorTest, EveryRowCallsItsWorkerUnderTheLockAndAnswersItsCode) {
  ScriptedWorkerCursor* cursor = NewCursor();
  for (const FrameRow& row : FrameRows()) {
    cursor->Calls.clear();
    cursor->Script[row.Worker] = {WorkerAct::Answer, 0, [&] {
                                    // The worker runs under the session lock: another thread is refused.
                                    EXPECT_EQ(OnOtherThread([&] {
                                                int32_t id = 0;
                                                return cursor->GetIndexID(id);
                                              }),
                                              nxeIllegalReentry)
                                        << row.Operation;
                                  }};
    EXPECT_EQ(row.Call(*cursor), 0u) << row.Operation;
    std::vector<std::string> expected = {row.Worker};
    if (row.ContentLock) expected = {"sbcBeginContentLock", row.Worker, "sbcEndContentLock"};
    EXPECT_EQ(cursor->Calls, expected) << row.Operation;
    cursor->Script[row.Worker] = {WorkerAct::Answer, 10234};
    EXPECT_EQ(row.Call(*cursor), 10234u) << row.Operation;
    cursor->Script.erase(row.Worker);
  }
}

TEST_F(ServerBaseCursorTest, ExceptionsOfWorkersBecomeCodesInBothFrames) {
  struct Raise {
    const char* Name;
    WorkerAct Act;
    uint32_t Code;
    const char* InMessage;
  } raises[] = {
      {"library exception", WorkerAct::RaiseLibrary, 10001, "Scripted failure in "},
      {"out of memory", WorkerAct::RaiseBadAlloc, nxeOutOfMemory, ""},
      {"foreign std::exception", WorkerAct::RaiseForeign, nxeUnknownException, "foreign failure"},
      {"not a std::exception", WorkerAct::RaiseNonStd, nxeUnknownException, "[unknown]"},
  };
  ScriptedWorkerCursor* cursor = NewCursor();
  for (const FrameRow& row : FrameRows()) {
    for (const Raise& raise : raises) {
      cursor->Calls.clear();
      cursor->Script[row.Worker] = {raise.Act, raise.Code};
      EXPECT_EQ(row.Call(*cursor), raise.Code) << row.Operation << ", " << raise.Name;
      EXPECT_NE(LastMessage().find(raise.InMessage), std::string::npos)
          << row.Operation << ", " << raise.Name << ": " << LastMessage();
      if (row.ContentLock) {
        EXPECT_TRUE(cursor->Called("sbcEndContentLock")) << row.Operation << ", " << raise.Name;
      }
      // The lock was released: another thread gets in.
      cursor->Script.erase(row.Worker);
      EXPECT_EQ(OnOtherThread([&] {
                  int32_t id = 0;
                  return cursor->GetIndexID(id);
                }),
                0u)
          << row.Operation << ", " << raise.Name;
    }
  }
}

TEST_F(ServerBaseCursorTest, ContentLockRefusalIsTheResultAndSkipsTheWorker) {
  ScriptedWorkerCursor* cursor = NewCursor();
  cursor->Script["sbcBeginContentLock"] = {WorkerAct::Answer, 10249};
  uint32_t recNo = 0;
  EXPECT_EQ(cursor->RecNoGet(recNo, false), 10249u);
  EXPECT_EQ(cursor->Calls, std::vector<std::string>{"sbcBeginContentLock"});
  cursor->Calls.clear();
  uint32_t value = 1;
  EXPECT_EQ(cursor->AutoIncGet(value, false), 10249u);
  EXPECT_EQ(value, 1u);
  cursor->Script.clear();
  EXPECT_EQ(cursor->AutoIncGet(value, true), 0u);
  EXPECT_EQ(value, 77u);
}

TEST_F(ServerBaseCursorTest, AnotherThreadIsRefusedWith8455AndItsWorkerNotCalled) {
  ScriptedWorkerCursor* cursor = NewCursor();
  cursor->SessionLock()->Lock();
  for (const FrameRow& row : FrameRows()) {
    cursor->Calls.clear();
    EXPECT_EQ(OnOtherThread([&] { return row.Call(*cursor); }), nxeIllegalReentry) << row.Operation;
    EXPECT_TRUE(cursor->Calls.empty()) << row.Operation;
  }
  uint32_t result = 0;
  cursor->SessionLock()->Unlock(result);
}

TEST_F(ServerBaseCursorTest, ACancelledSessionTurnsSuccessInto15461) {
  ScriptedWorkerCursor* cursor = NewCursor();
  cursor->Script["sbcGetIndexID"] = {WorkerAct::Answer, 0, [&] { cursor->SessionLock()->Failed(false, false); }};
  int32_t id = 0;
  EXPECT_EQ(cursor->GetIndexID(id), nxeTimeout);
  // A failure the worker reports itself stands.
  cursor->Script["sbcGetIndexID"] = {WorkerAct::Answer, 10234, [&] { cursor->SessionLock()->Failed(false, false); }};
  EXPECT_EQ(cursor->GetIndexID(id), 10234u);
  cursor->Script.clear();
  EXPECT_EQ(cursor->GetIndexID(id), 0u);
}

TEST_F(ServerBaseCursorTest, ReadOnlyCursorRefusesWritesBeforeTheLockWithoutCallingWorkers) {
  ScriptedWorkerCursor* cursor = NewCursor(omReadOnly);
  uint8_t buffer[16] = {};
  TnxMemoryStream stream;
  TnxBlobNr blobNr = 0;
  const std::vector<std::pair<const char*, std::function<uint32_t()>>> writes = {
      {"AutoIncSet", [&] { return cursor->AutoIncSet(1); }},
      {"BlobCreate", [&] { return cursor->BlobCreate({1, 1}, 0, blobNr); }},
      {"BlobCreateFile", [&] { return cursor->BlobCreateFile({1, 1}, 0, u"f", blobNr); }},
      {"BlobDelete", [&] { return cursor->BlobDelete({1, 1}, 0, 1); }},
      {"BlobFree", [&] { return cursor->BlobFree({1, 1}, 0, 1); }},
      {"BlobWrite", [&] { return cursor->BlobWrite({1, 1}, 0, 1, 0, 1, buffer); }},
      {"BlobReplace", [&] { return cursor->BlobReplace({1, 1}, 0, blobNr, 1, buffer); }},
      {"BlobTruncate", [&] { return cursor->BlobTruncate({1, 1}, 0, 1, 0); }},
      {"RecordInsertBatch", [&] { return cursor->RecordInsertBatch(stream); }},
      {"ChangePassword", [&] { return cursor->ChangePassword(u"x"); }},
      {"TableStreamWrite", [&] { return cursor->TableStreamWrite(u"S", stream); }},
      {"TableStreamDelete", [&] { return cursor->TableStreamDelete(u"S"); }},
  };
  // Held by another thread: a write still answers the read-only code.
  std::atomic<bool> held{false}, release{false};
  std::thread holder([&] {
    cursor->SessionLock()->Lock();
    held = true;
    while (!release) std::this_thread::yield();
    uint32_t result = 0;
    cursor->SessionLock()->Unlock(result);
  });
  while (!held) std::this_thread::yield();
  for (const auto& [name, call] : writes) EXPECT_EQ(call(), nxeTableReadOnly) << name;
  EXPECT_TRUE(cursor->Calls.empty());
  EXPECT_EQ(cursor->BlobsCancel(1), 0u);
  release = true;
  holder.join();
  // Reads go on.
  int32_t id = 0;
  EXPECT_EQ(cursor->GetIndexID(id), 0u);
}

Bytes VersionOneDictionaryBytes(const TnxDataDictionary& aDict) {
  TnxMemoryStream s;
  aDict.WriteToStream(s, 15000);
  Bytes b(s.ByteArray(), s.ByteArray() + s.GetSize());
  // The version Integer follows the ident; version 1 has no aligned record
  // length before the custom descriptors.
  b[10] = 1;
  const std::string ident = "CustomDescriptor";
  auto at = std::search(b.begin(), b.end(), ident.begin(), ident.end());
  const auto integer = at - 4;
  b.erase(integer, integer + 2);
  return b;
}

TEST_F(ServerBaseCursorTest, AnOutdatedDictionaryMakesTheCursorReadOnlyWith12040) {
  TnxDataDictionary plain;
  plain.FieldsDescriptor().AddField(u"A", u"", nxtInt32, 0, 0, false);
  Bytes bytes = VersionOneDictionaryBytes(plain);
  TnxDataDictionary old;
  TnxStaticMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  old.ReadFromStream(s, u"Old");
  ASSERT_EQ(old.Version(), 1);
  ScriptedWorkerCursor* cursor = NewCursor(omReadWrite, &old);
  EXPECT_TRUE(cursor->IsReadOnly());
  EXPECT_EQ(cursor->AutoIncSet(1), nxeHigherTableLevelRequired);
  EXPECT_EQ(LastMessage(), "Table format outdated. Table must be packed to enable write access");
  EXPECT_FALSE(cursor->Called("sbcAutoIncSet"));
  // Positioned before the first record after construction.
  EXPECT_EQ(constructionCalls, std::vector<std::string>{"sbcSetToBegin"});
}

TEST_F(ServerBaseCursorTest, TheDeadlineComesFromTheTimeoutUnlessAnOuterOperationNests) {
  TFakeDeadlineClock clock;
  ScriptedWorkerCursor* cursor = NewCursor();
  int64_t seen = 0;
  cursor->Script["sbcGetIndexID"] = {WorkerAct::Answer, 0, [&] { seen = nxGetDeadline(); }};
  int32_t id = 0;
  ASSERT_EQ(cursor->GetIndexID(id), 0u);
  EXPECT_EQ(seen, static_cast<int64_t>(TFakeDeadlineClock::Now()) + 1000);
  TFakeDeadlineClock::Advance(300);
  nxEnterTimeoutNesting();
  ASSERT_EQ(cursor->GetIndexID(id), 0u);
  nxLeaveTimeoutNesting();
  EXPECT_EQ(seen, static_cast<int64_t>(TFakeDeadlineClock::Now()) - 300 + 1000);
  // FilterSetTimeout sets none.
  TFakeDeadlineClock::Advance(100);
  ASSERT_EQ(cursor->FilterSetTimeout(20), 0u);
  EXPECT_EQ(nxGetDeadline(), static_cast<int64_t>(TFakeDeadlineClock::Now()) - 400 + 1000);
  EXPECT_EQ(cursor->FilterTimeout(), 20u);
}

TEST_F(ServerBaseCursorTest, OperationsWithoutLockOrWorker) {
  ScriptedWorkerCursor* cursor = NewCursor();
  cursor->Calls.clear();
  cursor->SessionLock()->Lock();
  // Positioning on itself changes nothing and takes no lock.
  EXPECT_EQ(OnOtherThread([&] { return cursor->SetToCursor(cursor); }), 0u);
  EXPECT_EQ(cursor->RecNoSupported(), 0u);
  TnxLockPresent present = lpYesByAnother;
  EXPECT_EQ(OnOtherThread([&] { return cursor->RecordIsLocked(nxltWriteLock, present); }), nxeIllegalReentry);
  EXPECT_EQ(present, lpNotAtAll);
  present = lpYesByAnother;
  EXPECT_EQ(OnOtherThread([&] { return cursor->TableIsLocked(nxltWriteLock, present); }), nxeIllegalReentry);
  EXPECT_EQ(present, lpNotAtAll);
  uint32_t result = 0;
  cursor->SessionLock()->Unlock(result);
  EXPECT_TRUE(cursor->Calls.empty());
  EXPECT_EQ(cursor->TableIsLocked(nxltWriteLock, present), 0u);
  EXPECT_EQ(present, lpYesByUs);
  // No blob fields: nothing to cancel.
  EXPECT_EQ(cursor->BlobsCancel(1), 0u);
  EXPECT_FALSE(cursor->Called("sbcBlobsCancel"));
}

TEST_F(ServerBaseCursorTest, AFailedRangeSetLeavesNoRange) {
  ScriptedWorkerCursor* cursor = NewCursor();
  uint8_t key[8] = {};
  for (WorkerAct act : {WorkerAct::Answer, WorkerAct::RaiseLibrary}) {
    cursor->Calls.clear();
    cursor->Script["sbcRangeSet"] = {act, 10024};
    EXPECT_EQ(cursor->RangeSet(1, 0, false, key, true, 1, 0, false, key, true), 10024u);
    EXPECT_EQ(cursor->Calls, (std::vector<std::string>{"sbcRangeSet", "sbcRangeReset"}));
  }
  cursor->Calls.clear();
  cursor->Script.clear();
  EXPECT_EQ(cursor->RangeSet(1, 0, false, key, true, 1, 0, false, key, true), 0u);
  EXPECT_EQ(cursor->Calls, std::vector<std::string>{"sbcRangeSet"});
}

TEST_F(ServerBaseCursorTest, InsertOptionsFollowTheirOptionsWithoutRegardToCase) {
  ScriptedWorkerCursor* cursor = NewCursor();
  uint8_t buffer[64] = {};
  auto insertOptions = [&] {
    EXPECT_EQ(cursor->RecordInsert(nxltNoLock, buffer, nullptr), 0u);
    return cursor->LastInsertOptions;
  };
  const TnxInsertOptions defaults = (1 << ioSetDefault) | (1 << ioSetAutoInc) | (1 << ioValidate);
  EXPECT_EQ(insertOptions(), defaults);
  EXPECT_EQ(cursor->OptionSet(u"insert_options_setautoinc", u"false"), 0u);
  EXPECT_EQ(insertOptions(), defaults & ~(1 << ioSetAutoInc));
  EXPECT_EQ(cursor->OptionSet(u"INSERT_OPTIONS_ModifyIfFound", u"TRUE"), 0u);
  EXPECT_EQ(insertOptions(), (defaults & ~(1 << ioSetAutoInc)) | (1 << ioModifyIfFound));
  EXPECT_EQ(cursor->OptionSet(u"INSERT_OPTIONS_VALIDATE", u"yes"), 0u);
  EXPECT_EQ(insertOptions(), (1 << ioSetDefault) | (1 << ioModifyIfFound));
  // A name that only looks alike outside ASCII changes nothing.
  EXPECT_EQ(cursor->OptionSet(u"\u0130NSERT_OPTIONS_SETDEFAULT", u"False"), 0u);
  EXPECT_EQ(insertOptions(), (1 << ioSetDefault) | (1 << ioModifyIfFound));
}

TEST_F(ServerBaseCursorTest, RecoverOpeningIsPerThread) {
  ScriptedWorkerCursor* cursor = NewCursor();
  EXPECT_TRUE(cursor->esoIsMonitored());
  nxRecoverOpening() = true;
  EXPECT_FALSE(cursor->esoIsMonitored());
  bool otherSees = true;
  std::thread other([&] { otherSees = nxRecoverOpening() || !cursor->esoIsMonitored(); });
  other.join();
  EXPECT_FALSE(otherSees);
  nxRecoverOpening() = false;
}

TEST_F(ServerBaseCursorTest, LockFailureMessages) {
  ScriptedWorkerCursor* cursor = NewCursor();
  const std::u16string tag = nxOriginalMessageTag();
  const std::u16string tail = u"\r\n\r\nTableName: Scripted" + nxMessageTag(u"TableName", u"Scripted");
  struct Case {
    const char* Name;
    std::vector<std::u16string> Lines;
    bool SameSession;
    uint32_t Code;
    std::u16string Message;
  } cases[] = {
      {"no reason", {}, false, 10249, tag + tail},
      {"another session", {u"The requested lock was refused.", u"", u"Session: 7"}, false, 10249,
       tag + u"\r\n\r\nThe requested lock was refused.\r\n\r\nSession: 7\r\n" + tail},
      {"this session", {u"Refused."}, true, nxeLockConflict, tag + u"\r\n\r\nRefused.\r\n" + tail},
  };
  for (const Case& c : cases) {
    TnxLockFailureReason& reason = cursor->LockFailureReason();
    for (const std::u16string& line : c.Lines) reason.Add(line);
    reason.SameSession = c.SameSession;
    EXPECT_EQ(cursor->sbcLockFailureResult(10249), c.Code) << c.Name;
    uint32_t code = 0;
    std::u16string message;
    EnxBaseException::GetLastConvertedException(code, message);
    EXPECT_EQ(code, c.Code) << c.Name;
    EXPECT_EQ(platform::Utf16ToUtf8(message), platform::Utf16ToUtf8(c.Message)) << c.Name;
    EXPECT_EQ(reason.Count(), 0) << c.Name;
  }
}

TEST_F(ServerBaseCursorTest, RenameFieldAndCacheOperationsAreNotSupported) {
  ScriptedWorkerCursor* cursor = NewCursor();
  EXPECT_EQ(cursor->sbcRenameField(0, u"B"), nxeCapabilityNotSupported);
  EXPECT_EQ(LastMessage(), "sbcRenameField is not supported by ScriptedWorkerCursor");
  uint8_t buffer[8] = {};
  EXPECT_EQ(cursor->GetBookmarkCache(buffer, 8), nxeCapabilityNotSupported);
  // Not a cache cursor: the inherited answer, no worker.
  EXPECT_EQ(cursor->BlobAddToCache({1, 1}, 0, 1, 1, buffer), nxeCapabilityNotSupported);
  EXPECT_FALSE(cursor->Called("sbcBlobAddToCache"));
}

}  // namespace
}  // namespace revurov::testing

namespace revurov::testing {
namespace {

bool AcceptAll(void*, const uint8_t*) { return true; }
bool AcceptNone(void*, const uint8_t*) { return false; }

class ServerBaseCursorFilterTest : public ServerBaseCursorTest {
protected:
  TnxCallbackFilterDescriptor all{nullptr, &AcceptAll};
  TnxCallbackFilterDescriptor none{nullptr, &AcceptNone};
};

TEST_F(ServerBaseCursorFilterTest, RecordFiltersGoAloneThenIntoAHubAndLeaveByHandle) {
  ScriptedWorkerCursor* cursor = NewCursor();
  EXPECT_EQ(cursor->FilterActivate(0), nxeInvalidFilterHandle);
  EXPECT_EQ(cursor->FilterDeactivate(0), nxeInvalidFilterHandle);
  EXPECT_EQ(cursor->FilterRemove(5), nxeInvalidFilterHandle);
  TnxFilterID first = 0, second = 0;
  ASSERT_EQ(cursor->FilterAddCustom(&none, first, true), 0u);
  ASSERT_NE(cursor->Filter(), nullptr);
  EXPECT_EQ(first, cursor->Filter()->FilterID());
  EXPECT_NE(first, 0u);
  EXPECT_TRUE(cursor->Filter()->GetActive());
  ASSERT_EQ(cursor->FilterAddCustom(&all, second, false), 0u);
  auto* hub = dynamic_cast<TnxFilterEngineHub*>(cursor->Filter());
  ASSERT_NE(hub, nullptr);
  ASSERT_EQ(hub->FilterCount(), 2);
  EXPECT_EQ(hub->Filters(0).FilterID(), first);
  EXPECT_EQ(hub->Filters(1).FilterID(), second);
  EXPECT_FALSE(hub->Filters(1).GetActive());
  EXPECT_EQ(cursor->FilterActivate(second), 0u);
  EXPECT_TRUE(hub->Filters(1).GetActive());
  // A handle that names no member.
  EXPECT_EQ(cursor->FilterRemove(second + 1000), nxeInvalidFilterHandle);
  EXPECT_EQ(cursor->FilterRemove(first), 0u);
  ASSERT_NE(cursor->Filter(), nullptr);
  EXPECT_EQ(cursor->Filter()->FilterID(), second);
  // A removed engine's handle names nothing any more.
  EXPECT_EQ(cursor->FilterActivate(first), nxeInvalidFilterHandle);
  TnxFilterID third = 0;
  ASSERT_EQ(cursor->FilterAddCustom(&none, third, false), 0u);
  EXPECT_EQ(cursor->FilterRemove(0), 0u);
  EXPECT_EQ(cursor->Filter(), nullptr);
  // A filter needs its definition.
  EXPECT_EQ(cursor->FilterAddCustom(nullptr, third, false), nxeInvalidParameter);
  EXPECT_EQ(cursor->Filter(), nullptr);
}

TEST_F(ServerBaseCursorFilterTest, ReplacingAFilter) {
  ScriptedWorkerCursor* cursor = NewCursor();
  TnxFilterID first = 0, second = 0;
  ASSERT_EQ(cursor->FilterAddCustom(&none, first, true), 0u);
  ASSERT_EQ(cursor->FilterAddCustom(&none, second, true), 0u);
  // One member replaced: the hub keeps the other and takes the new one.
  TnxFilterID id = first;
  ASSERT_EQ(cursor->FilterReplaceCustom(&all, id, true, false), 0u);
  EXPECT_NE(id, first);
  auto* hub = dynamic_cast<TnxFilterEngineHub*>(cursor->Filter());
  ASSERT_NE(hub, nullptr);
  EXPECT_EQ(hub->Filters(0).FilterID(), second);
  EXPECT_EQ(hub->Filters(1).FilterID(), id);
  EXPECT_TRUE(hub->Filters(1).GetActive());
  // A stale handle fails and changes nothing, unless the drop error is
  // ignored.
  TnxFilterID stale = first;
  EXPECT_EQ(cursor->FilterReplaceCustom(&all, stale, true, false), nxeInvalidFilterHandle);
  EXPECT_EQ(stale, first);
  EXPECT_EQ(dynamic_cast<TnxFilterEngineHub*>(cursor->Filter())->FilterCount(), 2);
  ASSERT_EQ(cursor->FilterReplaceCustom(&all, stale, false, true), 0u);
  EXPECT_NE(stale, first);
  EXPECT_EQ(dynamic_cast<TnxFilterEngineHub*>(cursor->Filter())->FilterCount(), 3);
  // Nil replaces everything.
  TnxFilterID all_ = 0;
  ASSERT_EQ(cursor->FilterReplaceCustom(&none, all_, false, false), 0u);
  ASSERT_NE(cursor->Filter(), nullptr);
  EXPECT_EQ(cursor->Filter()->FilterID(), all_);
  EXPECT_FALSE(cursor->Filter()->GetActive());
  // Without a filter a handle has nothing to drop.
  EXPECT_EQ(cursor->FilterRemove(0), 0u);
  TnxFilterID missing = all_;
  EXPECT_EQ(cursor->FilterReplaceCustom(&none, missing, false, false), nxeInvalidFilterHandle);
  EXPECT_EQ(cursor->Filter(), nullptr);
}

TEST_F(ServerBaseCursorFilterTest, KeyFiltersAreNeverActiveOnAdding) {
  ScriptedWorkerCursor* cursor = NewCursor();
  EXPECT_EQ(cursor->KeyFilterActivate(0), nxeInvalidFilterHandle);
  EXPECT_EQ(cursor->KeyFilterDeactivate(0), nxeInvalidFilterHandle);
  TnxKeyFilterID first = 0, second = 0;
  ASSERT_EQ(cursor->KeyFilterAddCustom(&none, first), 0u);
  ASSERT_EQ(cursor->KeyFilterAddCustom(&all, second), 0u);
  auto* hub = dynamic_cast<TnxFilterEngineHub*>(cursor->KeyFilter());
  ASSERT_NE(hub, nullptr);
  EXPECT_EQ(hub->Filters(0).FilterID(), first);
  EXPECT_EQ(hub->Filters(1).FilterID(), second);
  EXPECT_FALSE(hub->Filters(0).GetActive());
  EXPECT_FALSE(hub->Filters(1).GetActive());
  EXPECT_EQ(cursor->KeyFilterActivate(second), 0u);
  EXPECT_TRUE(hub->Filters(1).GetActive());
  EXPECT_EQ(cursor->KeyFilterDeactivate(second), 0u);
  EXPECT_FALSE(hub->Filters(1).GetActive());
  EXPECT_EQ(cursor->KeyFilterRemove(second), 0u);
  EXPECT_EQ(cursor->KeyFilter()->FilterID(), first);
  EXPECT_EQ(cursor->KeyFilterRemove(0), 0u);
  EXPECT_EQ(cursor->KeyFilter(), nullptr);
  // The record filter was never touched.
  EXPECT_EQ(cursor->Filter(), nullptr);
}

TEST_F(ServerBaseCursorFilterTest, SetToFilterWalksWithTemporaryActiveFilters) {
  ScriptedWorkerCursor* cursor = NewCursor();
  TnxFilterID own = 0;
  ASSERT_EQ(cursor->FilterAddCustom(&none, own, false), 0u);
  bool bothActive = false;
  cursor->Script["sbcSetToFilter"] = {WorkerAct::Answer, 0, [&] {
                                        bothActive = cursor->LastSetToFilter && cursor->LastSetToKeyFilter &&
                                                     cursor->LastSetToFilter->GetActive() &&
                                                     cursor->LastSetToKeyFilter->GetActive();
                                        TnxSetToFilterCookie cookie{cursor->LastSetToFilter,
                                                                    cursor->LastSetToKeyFilter};
                                        uint8_t record[64] = {};
                                        // The record filter refuses, the key filter accepts.
                                        EXPECT_EQ(TnxServerBaseCursor::sbcSetToFilterKeyIterator(&cookie, 1, record),
                                                  kirContinue);
                                        EXPECT_EQ(TnxServerBaseCursor::sbcSetToFilterRecIterator(&cookie, 1, record),
                                                  rirContinue);
                                        TnxSetToFilterCookie empty;
                                        EXPECT_EQ(TnxServerBaseCursor::sbcSetToFilterRecIterator(&empty, 1, record),
                                                  rirStop);
                                      }};
  EXPECT_EQ(cursor->SetToFilter(&none, &all, true), 0u);
  EXPECT_TRUE(bothActive);
  EXPECT_EQ(cursor->Filter()->FilterID(), own);
  EXPECT_FALSE(cursor->Filter()->GetActive());
  cursor->Script.clear();
  EXPECT_EQ(cursor->SetToFilter(nullptr, nullptr, false), 0u);
  EXPECT_EQ(cursor->LastSetToFilter, nullptr);
  EXPECT_EQ(cursor->LastSetToKeyFilter, nullptr);
}

class FilterTimeLimitTest : public ServerBaseCursorFilterTest {
protected:
  ~FilterTimeLimitTest() override { nxSetTimeout(0, true); }
  static int64_t Now() { return static_cast<int64_t>(TFakeDeadlineClock::Now()); }
  TFakeDeadlineClock clock;
};

TEST_F(FilterTimeLimitTest, TheLimitAndTheDeadline) {
  struct Case {
    const char* Name;
    uint32_t Limit;
    uint32_t Deadline;  // 0: none
    uint64_t Quiet;     // still in time after this
    uint32_t Code;      // one ms later
  } cases[] = {
      {"the limit", 500, 0, 500, nxeFilterTimeout},
      {"the limit before the deadline", 500, 2000, 500, nxeFilterTimeout},
      {"the deadline first", 500, 200, 200, nxeTimeout},
      {"no limit, a deadline", 0, 300, 300, nxeTimeout},
  };
  ScriptedWorkerCursor* cursor = NewCursor();
  for (const Case& c : cases) {
    ASSERT_EQ(cursor->FilterSetTimeout(c.Limit), 0u);
    nxSetTimeout(c.Deadline, true);
    const int64_t start = Now();
    uint32_t result = 0;
    cursor->sbcFilterBeginTimeout(&result);
    EXPECT_EQ(cursor->FilterUntil(), c.Limit ? start + std::min<int64_t>(c.Limit, c.Deadline ? c.Deadline : c.Limit) : 0)
        << c.Name;
    TFakeDeadlineClock::Advance(c.Quiet);
    EXPECT_FALSE(cursor->sbcFilterCheckTimeout(result)) << c.Name;
    TFakeDeadlineClock::Advance(1);
    EXPECT_TRUE(cursor->sbcFilterCheckTimeout(result)) << c.Name;
    EXPECT_EQ(result, c.Code) << c.Name;
    cursor->sbcFilterEndTimeout();
    EXPECT_EQ(cursor->FilterUntil(), 0) << c.Name;
  }
  // Neither: filtering never stops.
  ASSERT_EQ(cursor->FilterSetTimeout(0), 0u);
  nxSetTimeout(0, true);
  cursor->sbcFilterBeginTimeout(nullptr);
  TFakeDeadlineClock::Advance(1'000'000);
  uint32_t result = 0;
  EXPECT_FALSE(cursor->sbcFilterCheckTimeout(result));
  cursor->sbcFilterEndTimeout();
}

TEST_F(FilterTimeLimitTest, SwitchedOffOnlyTheDeadlineCounts) {
  ScriptedWorkerCursor* cursor = NewCursor();
  nxSetTimeout(5000, true);
  cursor->sbcFilterBeginTimeout(nullptr);
  cursor->sbcDisableFilterTimeout();
  TFakeDeadlineClock::Advance(4000);
  uint32_t result = 0;
  EXPECT_FALSE(cursor->sbcFilterCheckTimeout(result));
  TFakeDeadlineClock::Advance(1001);
  EXPECT_TRUE(cursor->sbcFilterCheckTimeout(result));
  EXPECT_EQ(result, nxeTimeout);
  cursor->sbcEnableFilterTimeout();
  cursor->sbcFilterEndTimeout();
}

TEST_F(FilterTimeLimitTest, TheKeyFilterChecksThroughTheCursorWhileALimitRuns) {
  ScriptedWorkerCursor* cursor = NewCursor();
  TnxKeyFilterID id = 0;
  ASSERT_EQ(cursor->KeyFilterAddCustom(&all, id), 0u);
  nxSetTimeout(0, true);
  uint32_t result = 0;
  cursor->sbcFilterBeginTimeout(&result);
  TnxBaseFilterEngine* keyFilter = cursor->KeyFilter();
  ASSERT_TRUE(keyFilter->kfCheckTimeOut);
  EXPECT_EQ(keyFilter->kfResult, &result);
  TFakeDeadlineClock::Advance(501);
  uint32_t seen = 0;
  EXPECT_TRUE(keyFilter->kfCheckTimeOut(seen));
  EXPECT_EQ(seen, nxeFilterTimeout);
  cursor->sbcFilterEndTimeout();
  EXPECT_FALSE(keyFilter->kfCheckTimeOut);
  EXPECT_EQ(keyFilter->kfResult, nullptr);
  // No place for a result, or no limit: no hook.
  cursor->sbcFilterBeginTimeout(nullptr);
  EXPECT_FALSE(keyFilter->kfCheckTimeOut);
  ASSERT_EQ(cursor->FilterSetTimeout(0), 0u);
  cursor->sbcFilterBeginTimeout(&result);
  EXPECT_FALSE(keyFilter->kfCheckTimeOut);
  cursor->sbcFilterEndTimeout();
}

TEST_F(ServerBaseCursorTest, ARequestCloseHandlerMayFreeTheCursor) {
  ScriptedWorkerCursor* cursor = NewCursor();
  ScriptedWorkerCursor* kept = NewCursor();
  int calls = 0;
  auto handler = nxCreateRequestCloseHandler([&](TnxAbstractCursor* aSender) {
    ++calls;
    if (aSender == cursor) aSender->Free();
  });
  // Without a handler nothing happens.
  cursor->sbcRequestClose();
  EXPECT_EQ(calls, 0);
  cursor->sbcSetOnRequestClose(handler);
  kept->sbcSetOnRequestClose(handler);

  bool keptOuter = false;
  kept->SetDestroyFlag(&keptOuter);
  kept->sbcRequestClose();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(keptOuter);
  // The caller's flag is back in place.
  EXPECT_EQ(kept->SetDestroyFlag(nullptr), &keptOuter);

  bool outer = false;
  cursor->SetDestroyFlag(&outer);
  cursor->sbcRequestClose();
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(outer);
  // Only the kept cursor is left in the database.
  EXPECT_EQ(database->Cursors(), std::vector<TnxAbstractCursor*>{kept});
  // The padlock of the kept cursor still works.
  kept->sbcRequestClose();
  EXPECT_EQ(calls, 3);
}

}  // namespace
}  // namespace revurov::testing

namespace revurov::testing {
namespace {

TEST_F(ServerBaseCursorTest, BlobReadSnapshotsAreTheCursorsOwnTransactions) {
  ScriptedWorkerCursor* cursor = NewCursor();
  TnxServerTransContext* context = cursor->TransContext();
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context, database->TransContext());
  EXPECT_EQ(cursor->ActiveTrans(), nullptr);
  EXPECT_EQ(cursor->sbcCheckTransactionState(), 0u);
  EXPECT_TRUE(cursor->BlobReadNeedsSnapshot({1, 1}, 0, 1, false));
  EXPECT_EQ(cursor->BlobReadSnapshotEnd(), nxeNoTransaction);

  ASSERT_EQ(cursor->BlobReadSnapshotStart(), 0u);
  TnxServerTransaction* snapshot = cursor->ActiveTrans();
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(snapshot->State() & (nxStateBit(tsSnapshot) | nxStateBit(tsForBlobRead)),
            nxStateBit(tsSnapshot) | nxStateBit(tsForBlobRead));
  EXPECT_FALSE(cursor->BlobReadNeedsSnapshot({1, 1}, 0, 1, false));
  EXPECT_EQ(cursor->BlobReadSnapshotEnd(), 0u);
  EXPECT_EQ(cursor->ActiveTrans(), nullptr);

  // A transaction of the user's is never ended by a blob read.
  ASSERT_EQ(context->TransactionStart(false, true), 0u);
  EXPECT_NE(cursor->ActiveTrans(), nullptr);
  EXPECT_EQ(cursor->BlobReadSnapshotEnd(), nxeNoTransaction);
  EXPECT_NE(cursor->ActiveTrans(), nullptr);
  EXPECT_EQ(context->TransactionRollback(), 0u);
  EXPECT_EQ(cursor->ActiveTrans(), nullptr);
}

}  // namespace
}  // namespace revurov::testing

namespace revurov::testing {
namespace {

class ServerBaseCursorDefaultsTest : public ServerBaseCursorTest {
protected:
  ServerBaseCursorDefaultsTest() {
    TnxFieldsDescriptor& fields = shaped.FieldsDescriptor();
    auto* quantity = static_cast<TnxConstDefaultValueDescriptor*>(
        fields.AddField(u"Qty", u"", nxtInt32, 0, 0, false)->AddDefaultValue());
    quantity->SetAsVariant(platform::TnxVariant::FromInteger(5));
    quantity->SetApplyAt(nxApplyAtBit(aaClient));
    fields.AddField(u"Who", u"", nxtShortString, 10, 0, false)
        ->AddDefaultValue(&TnxCurrentUserDefaultValueDescriptor::ClassInfo())
        ->SetApplyAt(nxApplyAtBit(aaServer));
  }
  std::u16string Field(const uint8_t* aRecord, int32_t aField) {
    return shaped.FieldsDescriptor().fsdGetFieldByIndexAsVariant(aRecord, aField).AsString();
  }
  TnxDataDictionary shaped;
};

TEST_F(ServerBaseCursorDefaultsTest, ClearedBuffersCarryClientDefaultsAndInsertsServerOnes) {
  ScriptedWorkerCursor* cursor = NewCursor(omReadWrite, &shaped);
  ASSERT_NE(cursor->DefaultValueHandler(), nullptr);
  PnxRecordBuffer record = cursor->RecordBufferAlloc();
  cursor->RecordBufferClear(record);
  EXPECT_EQ(Field(record, 0), u"5");
  EXPECT_EQ(Field(record, 1), u"");
  cursor->sacSetDefaultsInsert(record);
  EXPECT_EQ(Field(record, 1), u"user");
  cursor->RecordBufferClear(record);
  cursor->sacSetDefault(record, 1);
  EXPECT_EQ(Field(record, 1), u"user");
  cursor->RecordBufferFree(record);
}

TEST_F(ServerBaseCursorDefaultsTest, CursorsMadeWhileRecoverOpensGetNoHandlers) {
  nxRecoverOpening() = true;
  ScriptedWorkerCursor* cursor = NewCursor(omReadWrite, &shaped);
  nxRecoverOpening() = false;
  EXPECT_EQ(cursor->DefaultValueHandler(), nullptr);
  EXPECT_EQ(cursor->ValidationsHandler(), nullptr);
  PnxRecordBuffer record = cursor->RecordBufferAlloc();
  cursor->RecordBufferClear(record);
  cursor->sacSetDefaultsInsert(record);
  EXPECT_EQ(Field(record, 1), u"");
  cursor->RecordBufferFree(record);
}

}  // namespace
}  // namespace revurov::testing
