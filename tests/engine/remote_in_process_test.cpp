// The remote engine against a real server engine behind the test command
// handler, over loopback TCP: the tool's road (log-in, aliases, database,
// table list) on a folder of real tables, object IDs checked per session,
// one session's requests served one at a time, and the same steps through
// the remote engine and directly on the server giving the same records and
// codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/simple_expression_filter.h"
#include "engine/abstract_statement.h"
#include "engine/abstract_task_info.h"
#include "engine/batch_stream.h"
#include "engine/remote_cursor.h"
#include "engine/remote_database.h"
#include "engine/remote_session.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "platform/string_list.h"
#include "support/can_expression_builder.h"
#include "support/remote_cursor_fixture.h"

namespace revurov::testing {
namespace {

using Names = std::vector<std::u16string>;

Names Sorted(const platform::TStringList& aList) {
  Names names;
  for (int i = 0; i < aList.Count(); ++i) names.push_back(aList[i]);
  std::sort(names.begin(), names.end());
  return names;
}

class InProcessRoadTest : public RemoteEngineFixture {
protected:
  InProcessRoadTest() : RemoteEngineFixture(TServing::InProcess) {
    handler->Configure([](TTestCommandHandler& h) {
      h.Aliases = {{u"Main", u"/m"}};
      h.Tables[u"Main"] = {u"Customers", u"Orders"};
    });
  }
  TnxAbstractDatabase* OpenMain(TnxRemoteSession* aSession) {
    TnxAbstractDatabase* db = nullptr;
    EXPECT_EQ(aSession->DatabaseOpen(db, u"Name", u"Main", nullptr, omReadWrite, smShared, 5000), 0u);
    return db;
  }
  // The database's ID on the wire, as its table list request carried it.
  uint32_t WireID(TnxAbstractDatabase* aDatabase) {
    TableList(aDatabase);
    uint32_t id = 0;
    for (const auto& r : handler->Received())
      if (r.msgID == 0x223 && r.data.size() >= 4) id = platform::LoadU32(r.data.data());
    return id;
  }
  Names TableList(TnxAbstractDatabase* aDatabase) {
    platform::TStringList list;
    EXPECT_EQ(aDatabase->TableGetList(list), 0u);
    return Sorted(list);
  }
};

TEST_F(InProcessRoadTest, TheToolsRoadListsTheFoldersTablesAndFollowsTheirChanges) {
  TnxRemoteSession* session = Open();
  ASSERT_NE(session, nullptr);
  TnxAliasDescriptors aliases;
  ASSERT_EQ(session->AliasGetList(aliases), 0u);
  ASSERT_EQ(aliases.size(), 1u);
  EXPECT_EQ(aliases[0]->adAlias, u"Main");
  EXPECT_EQ(aliases[0]->adPath, inProcess->FolderOf(u"Main"));
  TnxAbstractDatabase* db = OpenMain(session);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(TableList(db), (Names{u"Customers", u"Orders"}));

  // Built, renamed and deleted through the remote engine between refreshes.
  TnxDataDictionary dictionary;
  dictionary.FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, false);
  ASSERT_EQ(db->TableBuild(false, u"Invoices", u"", &dictionary, tsPersistent, false), 0u);
  EXPECT_EQ(TableList(db), (Names{u"Customers", u"Invoices", u"Orders"}));
  ASSERT_EQ(db->TableRename(u"Invoices", u"Bills", u""), 0u);
  EXPECT_EQ(TableList(db), (Names{u"Bills", u"Customers", u"Orders"}));
  ASSERT_EQ(db->TableDelete(u"Bills", u""), 0u);
  EXPECT_EQ(TableList(db), (Names{u"Customers", u"Orders"}));
  bool exists = true;
  ASSERT_EQ(db->TableExists(u"Bills", u"", exists, false), 0u);
  EXPECT_FALSE(exists);
  // A temporary table of another session's database is no table of the folder.
  TnxRemoteSession* other = Open();
  ASSERT_NE(other, nullptr);
  TnxAbstractDatabase* otherDb = OpenMain(other);
  ASSERT_NE(otherDb, nullptr);
  ASSERT_EQ(otherDb->TableBuild(false, u"Scratch", u"", &dictionary, tsTempDatabase, false), 0u);
  EXPECT_EQ(TableList(db), (Names{u"Customers", u"Orders"}));
  otherDb->Free();
  // Failures carry the server's codes.
  EXPECT_EQ(db->TableDelete(u"Missing", u""), nxeTableDoesNotExist);
  TnxAbstractDatabase* unknown = nullptr;
  EXPECT_EQ(session->DatabaseOpen(unknown, u"Name", u"Nowhere", nullptr, omReadWrite, smShared, 5000),
            nxeUnknownDatabase);
  db->Free();
}

TEST_F(InProcessRoadTest, AliasesAddedThroughTheEngineLiveAtTheServer) {
  TnxRemoteSession* session = Open();
  ASSERT_NE(session, nullptr);
  const std::u16string folder = inProcess->FolderOf(u"Main");
  ASSERT_EQ(session->AliasAdd(u"Second", folder, false), 0u);
  std::u16string path;
  ASSERT_EQ(session->AliasGetPath(u"second", path), 0u);
  EXPECT_EQ(path, folder);
  EXPECT_EQ(session->AliasAdd(u"Second", folder, false), nxeNameNotUnique);
  // A change of the model leaves what the engine's clients added.
  handler->Configure([](TTestCommandHandler& h) { h.ChangedTables = {}; });
  ASSERT_EQ(session->AliasDelete(u"Second"), 0u);
  EXPECT_NE(session->AliasGetPath(u"Second", path), 0u);
}

TEST_F(InProcessRoadTest, IDsOfAnotherSessionStaleOrUnknownAnswer9990) {
  TnxRemoteSession* first = Open();
  TnxRemoteSession* second = Open();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  TnxAbstractDatabase* db = OpenMain(first);
  ASSERT_NE(db, nullptr);
  const uint32_t id = WireID(db);
  const TnxSessionID mine = ServerSession(first);
  const TnxSessionID theirs = ServerSession(second);
  const std::vector<uint8_t> request = TTestCommandHandler::U32(id);
  EXPECT_EQ(inProcess->Answer(0x223, mine, request).code, 0u);
  EXPECT_EQ(inProcess->Answer(0x223, theirs, request).code, nxeInvalidHandle);
  EXPECT_EQ(inProcess->Answer(0x223, mine, TTestCommandHandler::U32(id ^ 0x5A5A)).code, nxeInvalidHandle);
  EXPECT_EQ(inProcess->Answer(0x223, mine, TTestCommandHandler::U32(0)).code, nxeInvalidHandle);
  db->Free();
  // The close reached the server: the ID is stale now.
  EXPECT_EQ(inProcess->Answer(0x223, mine, request).code, nxeInvalidHandle);
}

TEST_F(InProcessRoadTest, OneSessionsRequestsAreServedOneAtATime) {
  TnxRemoteSession* session = Open();
  ASSERT_NE(session, nullptr);
  TnxAbstractDatabase* db = OpenMain(session);
  ASSERT_NE(db, nullptr);
  const std::vector<uint8_t> request = TTestCommandHandler::U32(WireID(db));
  const TnxSessionID id = ServerSession(session);
  std::atomic<int> refused{0};
  auto run = [&] {
    for (int i = 0; i < 200; ++i)
      if (inProcess->Answer(0x223, id, request).code != 0) ++refused;
  };
  std::thread a(run), b(run), c(run);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(refused.load(), 0);
  db->Free();
}

TEST_F(InProcessRoadTest, AnEndedSessionFreesItsServerSession) {
  TnxRemoteSession* session = Open();
  ASSERT_NE(session, nullptr);
  const TnxSessionID id = ServerSession(session);
  ASSERT_NE(inProcess->ServerSession(id), nullptr);
  session->Free();
  for (int i = 0; i < 1000 && inProcess->ServerSession(id); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(inProcess->ServerSession(id), nullptr);
  EXPECT_EQ(inProcess->Answer(0x104, id, {}).code, nxeInvalidHandle);
}

TEST_F(InProcessRoadTest, MaintenanceRunsAsTheServersTasksAndOptionsLiveThere) {
  TnxRemoteSession* session = Open();
  ASSERT_NE(session, nullptr);
  TnxAbstractDatabase* db = OpenMain(session);
  ASSERT_NE(db, nullptr);
  struct Case {
    const char* what;
    std::function<uint32_t(TnxAbstractTaskInfo*&)> start;
  };
  const Case cases[] = {
      {"pack", [&](TnxAbstractTaskInfo*& t) { return db->TablePack(u"Orders", u"", t); }},
      {"index rebuild", [&](TnxAbstractTaskInfo*& t) { return db->TableRebuildIndex(u"Orders", u"", u"", 0, t); }},
      {"checksum", [&](TnxAbstractTaskInfo*& t) { return db->TableVerifyChecksum(u"Orders", u"", false, true, t); }},
  };
  std::map<std::string, uint32_t> startedWith;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnxAbstractTaskInfo* task = nullptr;
    const uint32_t started = c.start(task);
    startedWith[c.what] = started;
    if (started != 0) {
      // What the server database does not have answers its own code.
      EXPECT_EQ(started, nxeCapabilityNotSupported);
      EXPECT_EQ(task, nullptr);
      continue;
    }
    ASSERT_NE(task, nullptr);
    bool completed = false;
    TnxTaskStatus status;
    for (int i = 0; i < 500 && !status.tsFinished; ++i) {
      ASSERT_EQ(task->GetStatus(completed, status), 0u);
      if (!status.tsFinished) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(status.tsFinished);
    EXPECT_EQ(status.tsErrorCode, 0u);
    task->Free();
  }
  TnxAbstractTaskInfo* none = nullptr;
  EXPECT_EQ(db->TablePack(u"Missing", u"", none),
            startedWith["pack"] == 0 ? nxeTableDoesNotExist : startedWith["pack"]);
  ASSERT_EQ(db->OptionSet(u"Color", u"blue"), 0u);
  std::u16string value;
  ASSERT_EQ(db->OptionGet(u"Color", value), 0u);
  EXPECT_EQ(value, u"blue");
  std::u16string path;
  ASSERT_EQ(db->GetPath(path), 0u);
  EXPECT_EQ(path, inProcess->FolderOf(u"Main"));
  db->Free();
}

// The same steps through a remote cursor and directly on a server cursor of
// a twin table: the trace of codes and IDs must be the same.
class InProcessDifferentialTest : public RemoteCursorFixture {
protected:
  InProcessDifferentialTest() : RemoteCursorFixture(TServing::InProcess) {}

  struct Step {
    uint32_t code = 0;
    int32_t id = 0;
    bool operator==(const Step&) const = default;
  };
  using Trace = std::vector<Step>;

  std::vector<int32_t> BatchIDs(TnxAbstractCursor& aCursor, int32_t aMax, bool aForward, uint32_t& aCode) {
    TnxBatchStreamAccess* access = nullptr;
    aCode = aCursor.RecordGetBatch(-1, TnxRecordGetBatchExOptions(1u << gboSetToBeginOrEnd), access, aMax, aForward);
    std::unique_ptr<TnxBatchStreamAccess> owned(access);
    std::vector<int32_t> ids;
    if (aCode != 0 || !access) return ids;
    access->Reset(false);
    TnxBatchStreamEntry entry;
    while (access->Next(entry))
      if (entry.Record()) ids.push_back(IDOf(entry.Record()));
    if (access->Error() != 0) aCode = access->Error();
    return ids;
  }

  Trace Run(TnxAbstractCursor& aCursor, TnxBaseTransContext& aContext) {
    Trace trace;
    std::vector<uint8_t> record(static_cast<size_t>(RecordLength()), 0);
    auto read = [&](uint32_t aCode) { trace.push_back({aCode, aCode == 0 ? IDOf(record.data()) : 0}); };
    auto code = [&](uint32_t aCode) { trace.push_back({aCode, 0}); };
    auto count = [&] {
      uint32_t n = 0;
      const uint32_t r = aCursor.GetRecordCount(n, false);
      trace.push_back({r, static_cast<int32_t>(n)});
    };
    code(aCursor.SetToBegin());
    for (int i = 0; i < 3; ++i) read(aCursor.RecordGetNext(nxltNoLock, record.data()));
    read(aCursor.RecordGetPrior(nxltNoLock, record.data()));
    read(aCursor.RecordGet(nxltNoLock, record.data()));
    // Changes: the current record's amount, a new record, a deletion.
    std::vector<uint8_t> changed = Record(IDOf(record.data()), 999);
    code(aCursor.RecordGet(nxltWriteLock, record.data()));
    code(aCursor.RecordModify(changed.data(), true, nullptr));
    read(aCursor.RecordGet(nxltNoLock, record.data()));
    std::vector<uint8_t> added = Record(25, 7);
    code(aCursor.RecordInsert(nxltNoLock, added.data(), nullptr));
    std::vector<uint8_t> duplicate = Record(25, 8);
    code(aCursor.RecordInsert(nxltNoLock, duplicate.data(), nullptr));
    code(aCursor.SetToEnd());
    read(aCursor.RecordGetPrior(nxltNoLock, record.data()));
    code(aCursor.RecordDelete(nullptr, 0));
    read(aCursor.RecordGetNext(nxltNoLock, record.data()));
    read(aCursor.RecordGetPrior(nxltNoLock, record.data()));
    count();
    // Batches: whole, backwards, by a limit.
    for (const auto& [max, forward] : std::vector<std::pair<int32_t, bool>>{{0, true}, {0, false}, {2, true}}) {
      uint32_t r = 0;
      for (int32_t id : BatchIDs(aCursor, max, forward, r)) trace.push_back({0, id});
      code(r);
    }
    // Transactions: a rolled back insert is gone, a committed one stays.
    for (const bool commit : {false, true}) {
      code(aContext.TransactionStart(false, false));
      int32_t level = -9;
      code(aContext.TransactionGetLevel(level));
      trace.push_back({0, level});
      std::vector<uint8_t> inTransaction = Record(commit ? 27 : 26, 1);
      code(aCursor.RecordInsert(nxltNoLock, inTransaction.data(), nullptr));
      code(commit ? aContext.TransactionCommit() : aContext.TransactionRollback());
      count();
    }
    code(aContext.TransactionCommit());
    return trace;
  }
};

// Keys, ranges, bookmarks, blobs, filters and table streams: the steps a
// dataset takes beyond plain reads.
class InProcessCursorDifferentialTest : public InProcessDifferentialTest {
protected:
  static constexpr int32_t kMemo = 2;

  static std::unique_ptr<TnxBaseFilterDescriptor> AmountAbove(int32_t aLimit) {
    CanExpressionBuilder b;
    auto expression = std::make_shared<const std::vector<uint8_t>>(
        b.Build(b.Compare(coGT, b.Field(2, "Amount"), b.Int32(aLimit))));
    return std::make_unique<TnxSimpleExpressionFilterDescriptor>(expression, u"", -1);
  }
  TnxBlobNr BlobOf(const std::vector<uint8_t>& aRecord) const {
    TnxBlobNr nr = 0;
    bool isNull = false;
    table->FieldsDescriptor().GetRecordField(kMemo, aRecord.data(), isNull, &nr);
    return isNull ? 0 : nr;
  }

  Trace Run(TnxAbstractCursor& aCursor) {
    Trace trace;
    std::vector<uint8_t> record(static_cast<size_t>(RecordLength()), 0);
    auto read = [&](uint32_t aCode) { trace.push_back({aCode, aCode == 0 ? IDOf(record.data()) : 0}); };
    auto code = [&](uint32_t aCode) { trace.push_back({aCode, 0}); };
    auto walk = [&] {
      code(aCursor.SetToBegin());
      for (int i = 0; i < 8; ++i) {
        const uint32_t r = aCursor.RecordGetNext(nxltNoLock, record.data());
        read(r);
        if (r != 0) break;
      }
    };
    // Key searches, each action on an existing and a missing key.
    for (const TnxSearchKeyAction action : {skaEqualFirst, skaGreaterEqual, skaGreater, skaSmallerEqual}) {
      for (const int32_t id : {30, 35}) {
        std::vector<uint8_t> key = Key(id);
        code(aCursor.SetToKey(action, 1, 0, true, key.data()));
        read(aCursor.RecordGetNext(nxltNoLock, record.data()));
      }
    }
    for (const int32_t id : {40, 45}) {
      std::vector<uint8_t> key = Key(id);
      read(aCursor.RecordGetForKey(1, 0, true, key.data(), record.data(), true, true));
    }
    {
      std::vector<uint8_t> byRecord = Record(20);
      read(aCursor.RecordGetForKey(1, 0, false, byRecord.data(), record.data(), true, true));
    }
    {
      std::vector<uint8_t> a = Key(20), b = Key(30);
      TValueRelationship relation = 9;
      code(aCursor.CompareKeys(1, 0, true, a.data(), true, b.data(), relation));
      trace.push_back({0, relation});
    }
    // Ranges: inclusive, exclusive, and reset.
    for (const bool inclusive : {true, false}) {
      std::vector<uint8_t> low = Key(20), high = Key(40);
      code(aCursor.RangeSet(1, 0, true, low.data(), inclusive, 1, 0, true, high.data(), inclusive));
      walk();
    }
    code(aCursor.RangeReset());
    walk();
    // Bookmarks and record numbers.
    uint32_t size = 0;
    code(aCursor.sbcGetBookmarkSize(size));
    std::vector<uint8_t> first(size), third(size);
    code(aCursor.SetToBegin());
    read(aCursor.RecordGetNext(nxltNoLock, record.data()));
    code(aCursor.GetBookmark(first.data(), size));
    read(aCursor.RecordGetNext(nxltNoLock, record.data()));
    read(aCursor.RecordGetNext(nxltNoLock, record.data()));
    code(aCursor.GetBookmark(third.data(), size));
    TValueRelationship relation = 9;
    code(aCursor.CompareBookmarks(first.data(), third.data(), size, relation));
    trace.push_back({0, relation});
    code(aCursor.SetToBookmark(first.data(), size));
    read(aCursor.RecordGet(nxltNoLock, record.data()));
    uint32_t recNo = 0;
    code(aCursor.RecNoGet(recNo, false));
    trace.push_back({0, static_cast<int32_t>(recNo)});
    code(aCursor.RecNoSet(4, false));
    read(aCursor.RecordGet(nxltNoLock, record.data()));
    // Indexes: to the sequential one and back.
    code(aCursor.SwitchToIndex(u"", 0, porFalse));
    int32_t index = -1;
    aCursor.GetIndexID(index);
    trace.push_back({0, index});
    code(aCursor.SwitchToIndex(u"ByID", -1, porFalse));
    aCursor.GetIndexID(index);
    trace.push_back({0, index});
    // Blobs: made, written, stored with a record, read, cut and replaced.
    TnxBlobNr nr = 0;
    code(aCursor.BlobCreate(TnxRecID{}, kMemo, nr));
    const std::string text = "a memo of some length";
    code(aCursor.BlobWrite(TnxRecID{}, kMemo, nr, 0, static_cast<uint32_t>(text.size()), text.data()));
    std::vector<uint8_t> withMemo = Record(60, 1);
    table->FieldsDescriptor().SetRecordField(kMemo, withMemo.data(), &nr);
    code(aCursor.RecordInsert(nxltNoLock, withMemo.data(), nullptr));
    std::vector<uint8_t> key = Key(60);
    read(aCursor.RecordGetForKey(1, 0, true, key.data(), record.data(), true, true));
    const TnxBlobNr stored = BlobOf(record);
    trace.push_back({0, stored != 0});
    auto blobText = [&](uint32_t aOffset, uint32_t aLength) {
      TnxMemoryStream into(-1);
      code(aCursor.BlobRead(TnxRecID{}, kMemo, stored, aOffset, aLength, into, false, nullptr));
      const std::string got(static_cast<const char*>(into.Memory()), static_cast<size_t>(into.GetSize()));
      trace.push_back({0, got == text.substr(aOffset, aLength)});
      trace.push_back({0, static_cast<int32_t>(got.size())});
    };
    blobText(0, 100);
    blobText(2, 4);
    uint32_t length = 0;
    code(aCursor.BlobGetLength(TnxRecID{}, kMemo, stored, length, false, nullptr));
    trace.push_back({0, static_cast<int32_t>(length)});
    code(aCursor.BlobTruncate(TnxRecID{}, kMemo, stored, 4));
    code(aCursor.BlobGetLength(TnxRecID{}, kMemo, stored, length, false, nullptr));
    trace.push_back({0, static_cast<int32_t>(length)});
    TnxBlobNr unknown = stored + 1000;
    code(aCursor.BlobGetLength(TnxRecID{}, kMemo, unknown, length, false, nullptr));
    code(aCursor.BlobDelete(TnxRecID{}, kMemo, unknown));
    // Filters: a record filter hides what it refuses, then goes.
    TnxFilterID filter = 0;
    const auto above = AmountAbove(50);
    code(aCursor.FilterAddCustom(above.get(), filter, true));
    walk();
    code(aCursor.FilterDeactivate(filter));
    walk();
    code(aCursor.FilterActivate(filter));
    code(aCursor.FilterRemove(filter));
    walk();
    code(aCursor.FilterRemove(filter));
    const auto wanted = AmountAbove(70);
    code(aCursor.SetToFilter(wanted.get(), nullptr, true));
    read(aCursor.RecordGet(nxltNoLock, record.data()));
    // Table streams.
    TnxMemoryStream stream(-1);
    const std::string streamed = "stream bytes";
    stream.Write(streamed.data(), static_cast<int64_t>(streamed.size()));
    code(aCursor.TableStreamWrite(u"Layout", stream));
    TnxMemoryStream back(-1);
    code(aCursor.TableStreamRead(u"Layout", back));
    trace.push_back({0, std::string(static_cast<const char*>(back.Memory()),
                                    static_cast<size_t>(back.GetSize())) == streamed});
    platform::TStringList names;
    code(aCursor.TableStreamGetList(names));
    trace.push_back({0, names.Count()});
    code(aCursor.TableStreamDelete(u"Layout"));
    code(aCursor.TableStreamDelete(u"Layout"));
    TnxMemoryStream none(-1);
    code(aCursor.TableStreamRead(u"Layout", none));
    // The held-back bookmark forms: a delete and a lock release after a
    // set to a bookmark.
    code(aCursor.SetToBookmark(third.data(), size));
    code(aCursor.RecordDelete(nullptr, 0));
    walk();
    code(aCursor.SetToBookmark(first.data(), size));
    read(aCursor.RecordGet(nxltWriteLock, record.data()));
    code(aCursor.RecordLockRelease(false, false));
    code(aCursor.DeleteRecords());
    walk();
    return trace;
  }
};

TEST_F(InProcessCursorDifferentialTest, KeysRangesBookmarksBlobsFiltersAndStreamsMatchTheServersOwn) {
  Rows(5);
  TnxAbstractDatabase* direct = inProcess->Direct(u"Alpha");
  ASSERT_NE(direct, nullptr);
  ASSERT_EQ(direct->TableBuild(false, u"Twin", u"", table.get(), tsPersistent, false), 0u);
  TnxAbstractCursor* twin = nullptr;
  ASSERT_EQ(direct->CursorOpen(twin, u"Twin", u"", omReadWrite, smShared, 3000, u"", kByID, false, 0, 500, nullptr),
            0u);
  for (int i = 0; i < 5; ++i) {
    std::vector<uint8_t> record = Record(10 + 10 * i, (10 + 10 * i) * 2);
    ASSERT_EQ(twin->RecordInsert(nxltNoLock, record.data(), nullptr), 0u);
  }
  TnxRemoteCursor* remote = ConnectAndOpen();
  ASSERT_NE(remote, nullptr);
  const Trace mine = Run(*remote);
  const Trace theirs = Run(*twin);
  ASSERT_EQ(mine.size(), theirs.size());
  // Not both failing: the first search finds record 30.
  EXPECT_EQ(theirs[0].code, 0u);
  EXPECT_EQ(theirs[1].id, 30);
  for (size_t i = 0; i < mine.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(mine[i].code, theirs[i].code);
    EXPECT_EQ(mine[i].id, theirs[i].id);
  }
  twin->Free();
}

TEST_F(InProcessDifferentialTest, ReadsChangesBatchesAndTransactionsMatchTheServersOwn) {
  Rows(5);
  // The twin table, filled directly.
  TnxAbstractDatabase* direct = inProcess->Direct(u"Alpha");
  ASSERT_NE(direct, nullptr);
  ASSERT_EQ(direct->TableBuild(false, u"Twin", u"", table.get(), tsPersistent, false), 0u);
  TnxAbstractCursor* twin = nullptr;
  ASSERT_EQ(direct->CursorOpen(twin, u"Twin", u"", omReadWrite, smShared, 3000, u"", kByID, false, 0, 500, nullptr),
            0u);
  for (int i = 0; i < 5; ++i) {
    std::vector<uint8_t> record = Record(10 + 10 * i, (10 + 10 * i) * 2);
    ASSERT_EQ(twin->RecordInsert(nxltNoLock, record.data(), nullptr), 0u);
  }
  TnxRemoteCursor* remote = ConnectAndOpen();
  ASSERT_NE(remote, nullptr);
  const Trace mine = Run(*remote, *database);
  const Trace theirs = Run(*twin, *direct);
  // Every batch record is a step of its own: 5 records forwards and
  // backwards and 2 by the limit, besides the single steps.
  ASSERT_GT(mine.size(), 40u);
  // The walk starts at the first record: the twins are not both failing.
  EXPECT_EQ(theirs[1].code, 0u);
  EXPECT_EQ(theirs[1].id, 10);
  ASSERT_EQ(mine.size(), theirs.size());
  for (size_t i = 0; i < mine.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(mine[i].code, theirs[i].code);
    EXPECT_EQ(mine[i].id, theirs[i].id);
  }
  twin->Free();
}

TEST_F(InProcessDifferentialTest, TableStreamsPasswordsIndexDropsAndStatementsMatchTheServersOwn) {
  Rows(3);
  TnxAbstractDatabase* direct = inProcess->Direct(u"Alpha");
  ASSERT_NE(direct, nullptr);
  ASSERT_EQ(direct->TableBuild(false, u"Twin", u"", table.get(), tsPersistent, false), 0u);
  Connect();
  ASSERT_NE(database, nullptr);
  auto run = [&](TnxAbstractDatabase& aDatabase, const std::u16string& aTable) {
    Trace trace;
    auto code = [&](uint32_t aCode) { trace.push_back({aCode, 0}); };
    TnxMemoryStream stream(-1);
    const std::string bytes = "the table's own notes";
    stream.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    code(aDatabase.TableStreamWrite(aTable, u"", u"Notes", stream));
    TnxMemoryStream back(-1);
    code(aDatabase.TableStreamRead(aTable, u"", u"Notes", back));
    trace.push_back({0, std::string(static_cast<const char*>(back.Memory()),
                                    static_cast<size_t>(back.GetSize())) == bytes});
    TnxMemoryStream none(-1);
    code(aDatabase.TableStreamRead(aTable, u"", u"Missing", none));
    code(aDatabase.TableChangePassword(aTable, u"", u"secret"));
    code(aDatabase.TableChangePassword(aTable, u"wrong", u"other"));
    bool exists = false;
    code(aDatabase.TableExists(aTable, u"secret", exists, false));
    trace.push_back({0, exists});
    code(aDatabase.TableDropIndex(aTable, u"secret", u"NoSuchIndex", -1));
    code(aDatabase.TableDropIndex(aTable, u"secret", u"ByID", -1));
    code(aDatabase.TableDropIndex(aTable, u"secret", u"ByID", -1));
    // Statements go as far as the server has a statement engine: none here.
    TnxAbstractStatement* statement = nullptr;
    code(aDatabase.StatementAlloc(statement, 1000));
    trace.push_back({0, statement != nullptr});
    if (statement) statement->Free();
    TnxAbstractCursor* result = nullptr;
    TnxStatementExecDirectPhase phase = sedFree;
    code(aDatabase.StatementExecDirect(1000, TnxStatementType(0), u"select * from Orders", nullptr,
                                       TnxSqlParamList(), nullptr, result, omReadOnly, nullptr, nullptr, phase));
    trace.push_back({0, static_cast<int32_t>(phase)});
    trace.push_back({0, result != nullptr});
    if (result) result->Free();
    return trace;
  };
  const Trace mine = run(*database, u"Orders");
  const Trace theirs = run(*direct, u"Twin");
  // Not both failing: the stream came back whole.
  ASSERT_GT(theirs.size(), 2u);
  EXPECT_EQ(theirs[0].code, 0u);
  EXPECT_EQ(theirs[2].id, 1);
  EXPECT_EQ(theirs[theirs.size() - 5].code, nxeCapabilityNotSupported);
  ASSERT_EQ(mine.size(), theirs.size());
  for (size_t i = 0; i < mine.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(mine[i].code, theirs[i].code);
    EXPECT_EQ(mine[i].id, theirs[i].id);
  }
}

TEST_F(InProcessDifferentialTest, ACountTaskReportsTheTablesRecordsAndIsClosedWithItsInfo) {
  Rows(7);
  TnxRemoteCursor* remote = ConnectAndOpen();
  ASSERT_NE(remote, nullptr);
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(remote->GetRecordCountAsync(task), 0u);
  ASSERT_NE(task, nullptr);
  bool completed = false;
  TnxTaskStatus status;
  for (int i = 0; i < 500 && !status.tsFinished; ++i) {
    ASSERT_EQ(task->GetStatus(completed, status), 0u);
    if (!status.tsFinished) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(status.tsFinished);
  EXPECT_EQ(status.tsTotalRecs, 7u);
  task->Free();
  uint32_t count = 0;
  ASSERT_EQ(remote->GetRecordCount(count, false), 0u);
  EXPECT_EQ(count, 7u);
}

}  // namespace
}  // namespace revurov::testing
