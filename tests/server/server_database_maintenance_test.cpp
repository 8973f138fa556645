// Table maintenance through the server database: what each operation
// refuses (names, read-only databases, temporary tables, indices a rebuild
// cannot serve), the order in which folder and database extenders hear of
// a change, a rename that keeps the name inside its table true also when
// that write fails, an empty that keeps what the table was, and the index
// rebuild and checksum tasks started on private databases.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/token_key_descriptors.h"
#include "engine/deadline_hooks.h"
#include "engine/engine_extender.h"
#include "lowlevel/errors/error_codes.h"
#include "server/server_task_info.h"
#include "server/server_tasks.h"
#include "support/fault_file_ops.h"
#include "support/position_table.h"
#include "support/sum_encryption_engine.h"
#include "support/test_engine.h"

namespace revurov::testing {
namespace {

class MaintenanceTest : public TableOpsFixture {
protected:
  MaintenanceTest() { nxFatalErrorFlag.store(false); }
  ~MaintenanceTest() override {
    for (TnxServerDatabase* other : others_) other->Free();
    nxFatalErrorFlag.store(false);
  }

  // aName of the position layout (three indices) holding aRows records.
  void BuildPos(std::u16string_view aName, int aRows, std::unique_ptr<TnxDataDictionary> aDict = PositionDictionary(),
                std::u16string_view aPassword = u"", TnxTableScope aScope = tsPersistent) {
    ASSERT_EQ(db->TableBuild(false, aName, aPassword, aDict.get(), aScope, false), 0u) << LastMessage();
    Insert(aName, 0, aRows, aPassword);
  }
  void Insert(std::u16string_view aName, int aFrom, int aCount, std::u16string_view aPassword = u"") {
    TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(aName, omReadWrite, aPassword));
    ASSERT_NE(cursor, nullptr) << LastMessage();
    TnxFieldsDescriptor& fields = cursor->TableDescriptor()->FieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields.RecordLength()) + 16, 0);
    for (int i = aFrom; i < aFrom + aCount; ++i) {
      fields.InitRecord(record.data());
      const int32_t values[] = {i, i % 5, i};
      fields.SetRecordField(0, record.data(), &values[0]);
      fields.SetRecordField(2, record.data(), &values[1]);
      fields.SetRecordField(3, record.data(), &values[2]);
      ASSERT_EQ(cursor->RecordInsert(nxltNoLock, record.data(), nullptr), 0u) << LastMessage();
    }
  }
  TnxServerTableCursor* Cursor(std::u16string_view aName, TnxOpenMode aMode = omReadOnly,
                               std::u16string_view aPassword = u"", TnxServerDatabase* aDb = nullptr,
                               TnxShareMode aShare = smShared) {
    TnxAbstractCursor* cursor = nullptr;
    if ((aDb ? aDb : db)->CursorOpen(cursor, aName, aPassword, aMode, aShare, 10000, u"", -1, false, 0, 500,
                                     nullptr) != 0)
      return nullptr;
    return static_cast<TnxServerTableCursor*>(cursor);
  }
  // The record count, or -code when the table does not open.
  int64_t Count(std::u16string_view aName, std::u16string_view aPassword = u"") {
    TnxAbstractCursor* opened = nullptr;
    if (const uint32_t result =
            db->CursorOpen(opened, aName, aPassword, omReadOnly, smShared, 10000, u"", -1, false, 0, 500, nullptr))
      return -int64_t(result);
    TnxServerObjectPtr<TnxAbstractCursor> cursor(opened);
    uint32_t count = 0;
    EXPECT_EQ(cursor->GetRecordCount(count, false), 0u);
    return count;
  }
  TnxServerDatabase& OtherDatabase(TnxOpenMode aMode) {
    TnxAbstractDatabase* other = nullptr;
    EXPECT_EQ(session->DatabaseOpen(other, u"Path", Path(), nullptr, aMode, smShared, 10000), 0u) << LastMessage();
    others_.push_back(static_cast<TnxServerDatabase*>(other));
    return *others_.back();
  }
  int DatabasesOfFolder() {
    TnxPadlockGuard guard(Folder().DatabasesPadlock());
    int count = 0;
    for (TnxServerDatabase* d = Folder().DatabasesHead(); d; d = d->FolderNext()) ++count;
    return count;
  }
  // Field and index names of the table's dictionary, "!code" when it
  // cannot be read.
  std::string Layout(std::u16string_view aName, std::u16string_view aPassword = u"") {
    TnxDataDictionary dict;
    if (const uint32_t result = db->TableGetDictionary(aName, aPassword, &dict)) return "!" + std::to_string(result);
    std::string layout;
    for (int32_t i = 0; i < dict.FieldsDescriptor().FieldCount(); ++i)
      layout += platform::Utf16ToUtf8(dict.FieldsDescriptor().FieldDescriptor(i)->Name()) + ",";
    layout += "|";
    if (const TnxMainIndicesDescriptor* indices = dict.IndicesDescriptor())
      for (int32_t i = 0; i < indices->IndexCount(); ++i)
        layout += platform::Utf16ToUtf8(indices->IndexDescriptor(i)->Name()) + ",";
    return layout;
  }
  // The name a table keeps inside ("$TableName"); "-" without one.
  std::string StoredName(std::u16string_view aName) {
    TnxPadlockGuard guard(Folder().TablesPadlock());
    TnxServerRootTable* table = nullptr;
    bool readOnly = false;
    if (Folder().sfTableOpen(aName, {}, omReadOnly, smShareRead, false, table, readOnly) != 0) return "!";
    TnxBytesStream stream;
    std::string value = "-";
    if (table->StreamEngine()->ReadNamedStream(nullptr, u"$TableName", stream) == 0 && stream.GetSize() > 0) {
      stream.SetPosition(0);
      TnxReader reader(stream);
      value = platform::Utf16ToUtf8(reader.ReadString());
    }
    Folder().sfCloseIfClosable(table, false, false, 1);
    return value;
  }
  static TnxTaskStatus Finish(TnxAbstractTaskInfo& aTask) {
    TnxTaskStatus status;
    bool completed = false;
    for (int i = 0; i < 60000 && !completed; ++i) {
      aTask.GetStatus(completed, status);
      if (!completed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(completed);
    return status;
  }

  std::vector<TnxServerDatabase*> others_;
};

struct Call {
  const char* name;
  std::function<uint32_t()> run;
  uint32_t result;
};

void RunRows(const std::vector<Call>& aRows) {
  for (const Call& row : aRows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.run(), row.result) << LastMessage();
  }
}

TEST_F(MaintenanceTest, NamesAndArgumentsAreCheckedFirst) {
  BuildPos(u"Pos", 3);
  auto dict = PositionDictionary();
  TnxAbstractTaskInfo* task = nullptr;
  RunRows({
      {"delete an empty name", [&] { return db->TableDelete(u"", u""); }, nxeTableDoesNotExist},
      {"empty an empty name", [&] { return db->TableEmpty(u"", u""); }, nxeTableDoesNotExist},
      {"rename an empty name", [&] { return db->TableRename(u"", u"X", u""); }, nxeTableDoesNotExist},
      {"password of an empty name", [&] { return db->TableChangePassword(u"", u"", u"x"); }, nxeTableDoesNotExist},
      {"add a field to an empty name", [&] { return db->TableAddField(u"", u"", nullptr); }, nxeTableDoesNotExist},
      {"rebuild in an empty name", [&] { return db->TableRebuildIndex(u"", u"", u"", 0, task); },
       nxeTableDoesNotExist},
      {"checksums of an empty name", [&] { return db->TableVerifyChecksum(u"", u"", false, false, task); },
       nxeTableDoesNotExist},
      {"build a child path", [&] { return db->TableBuild(false, u"T:C", u"", dict.get(), tsPersistent, false); },
       nxeInvalidTableName},
      {"delete a name with a space", [&] { return db->TableDelete(u" T", u""); }, nxeInvalidTableName},
      {"rename to a name with a space", [&] { return db->TableRename(u"Pos", u" T", u""); }, nxeInvalidTableName},
      {"build a system name", [&] { return db->TableBuild(false, u"$Sys", u"", dict.get(), tsPersistent, false); },
       nxeInvalidTableName},
      {"build a system name allowed", [&] { return db->TableBuild(false, u"$Sys", u"", dict.get(), tsPersistent, true); },
       0},
      {"drop an index of an invalid name", [&] { return db->TableDropIndex(u"Pos", u"", u" ByName", -1); },
       nxeInvalidIndexName},
      {"rebuild an index of an invalid name", [&] { return db->TableRebuildIndex(u"Pos", u"", u"By\u00e9Name", -1, task); },
       nxeInvalidIndexName},
      {"rebuild index 5 of three", [&] { return db->TableRebuildIndex(u"Pos", u"", u"", 5, task); },
       nxeIndexDoesNotExist},
      {"rebuild index -1", [&] { return db->TableRebuildIndex(u"Pos", u"", u"", -1, task); }, nxeIndexDoesNotExist},
      {"rebuild a missing index by name", [&] { return db->TableRebuildIndex(u"Pos", u"", u"Missing", 0, task); },
       nxeIndexDoesNotExist},
      {"drop index 5 of three", [&] { return db->TableDropIndex(u"Pos", u"", u"", 5); }, nxeIndexDoesNotExist},
      {"checksums of a child path", [&] { return db->TableVerifyChecksum(u"Pos:C", u"", false, false, task); },
       nxeInvalidParameter},
      {"no field descriptor", [&] { return db->TableAddField(u"Pos", u"", nullptr); }, nxeInvalidParameter},
      {"no index descriptor", [&] { return db->TableAddIndex(u"Pos", u"", nullptr, false); }, nxeInvalidParameter},
      {"add a field to a missing table",
       [&] { return db->TableAddField(u"Nope", u"", dict->FieldsDescriptor().FieldDescriptor(0)); },
       nxeTableDoesNotExist},
  });
  EXPECT_EQ(task, nullptr);
  EXPECT_EQ(Count(u"Pos"), 3);
  EXPECT_TRUE(session->TaskInfos().empty());
}

TEST_F(MaintenanceTest, TheDictionaryCheckAnswersWithItsCodeAndMessage) {
  TnxDataDictionary empty;
  // Names an encryption engine nobody registered.
  auto badEngine = TaggedDictionary(u"A", 1);
  badEngine->SetEncryptionEngine(u"NoSuchEngine");
  for (TnxDataDictionary* dict : {&empty, badEngine.get()}) {
    SCOPED_TRACE(dict == &empty ? "empty" : "unknown engine");
    const uint32_t result = db->TableBuild(false, u"T", u"", dict, tsPersistent, false);
    EXPECT_NE(result, 0u);
    EXPECT_FALSE(LastMessage().empty());
    if (dict != &empty) {
      EXPECT_EQ(result, nxeSubEngineNotSupported);
      EXPECT_NE(LastMessage().find("NoSuchEngine"), std::string::npos) << LastMessage();
    }
    EXPECT_TRUE(Files().empty());
  }
}

TEST_F(MaintenanceTest, AReadOnlyDatabaseRefusesEveryChange) {
  BuildPos(u"Pos", 3, GrowableDictionary(), u"pw");
  TnxServerDatabase& ro = OtherDatabase(omReadOnly);
  auto dict = PositionDictionary();
  auto fields = std::make_unique<TnxDataDictionary>();
  TnxFieldDescriptor* field = fields->FieldsDescriptor().AddField(u"Extra", u"", nxtInt32, 0, 0, false);
  auto indices = PositionDictionary();
  TnxIndexDescriptor* index = indices->IndicesDescriptor()->IndexDescriptor(0);
  const std::string layout = Layout(u"Pos", u"pw");
  TnxAbstractTaskInfo* task = nullptr;
  RunRows({
      {"build", [&] { return ro.TableBuild(false, u"New", u"", dict.get(), tsPersistent, false); },
       nxeDatabaseReadOnly},
      {"delete", [&] { return ro.TableDelete(u"Pos", u"pw"); }, nxeDatabaseReadOnly},
      {"empty", [&] { return ro.TableEmpty(u"Pos", u"pw"); }, nxeDatabaseReadOnly},
      {"rename", [&] { return ro.TableRename(u"Pos", u"Other", u"pw"); }, nxeDatabaseReadOnly},
      {"password", [&] { return ro.TableChangePassword(u"Pos", u"pw", u"new"); }, nxeDatabaseReadOnly},
      {"add field", [&] { return ro.TableAddField(u"Pos", u"pw", field); }, nxeDatabaseReadOnly},
      {"add index", [&] { return ro.TableAddIndex(u"Pos", u"pw", index, false); }, nxeDatabaseReadOnly},
      {"drop index", [&] { return ro.TableDropIndex(u"Pos", u"pw", u"ByName", -1); }, nxeDatabaseReadOnly},
      {"rebuild index", [&] { return ro.TableRebuildIndex(u"Pos", u"pw", u"ByName", -1, task); },
       nxeDatabaseReadOnly},
      // Checking changes nothing: it is not refused for the mode.
      {"checksums", [&] { return ro.TableVerifyChecksum(u"Pos", u"pw", false, false, task); },
       nxeCapabilityNotSupported},
  });
  EXPECT_EQ(task, nullptr);
  EXPECT_EQ(Count(u"Pos", u"pw"), 3);
  EXPECT_EQ(Count(u"Pos", u"new"), -int64_t(nxeInvalidPassword));
  EXPECT_EQ(Layout(u"Pos", u"pw"), layout);
  EXPECT_TRUE(Files().size() == 2 && Has("Pos.nx1"));
}

TEST_F(MaintenanceTest, APasswordChangeTakesTheNewPassword) {
  BuildPos(u"Pos", 4, PositionDictionary(), u"old");
  EXPECT_EQ(db->TableChangePassword(u"Pos", u"wrong", u"new"), nxeInvalidPassword);
  ASSERT_EQ(db->TableChangePassword(u"Pos", u"old", u"new"), 0u) << LastMessage();
  EXPECT_EQ(Count(u"Pos", u"old"), -int64_t(nxeInvalidPassword));
  EXPECT_EQ(Count(u"Pos", u"new"), 4);
}

TEST_F(MaintenanceTest, FieldsAreAddedOnlyToPersistentTables) {
  BuildPos(u"Pos", 3, GrowableDictionary());
  BuildPos(u"<Temp>", 1, GrowableDictionary());
  BuildPos(u"##Mine", 1, GrowableDictionary());
  auto fields = std::make_unique<TnxDataDictionary>();
  TnxFieldDescriptor* field = fields->FieldsDescriptor().AddField(u"Extra", u"", nxtInt32, 0, 0, false);
  for (const char16_t* name : {u"<Temp>", u"##Mine"}) {
    SCOPED_TRACE(platform::Utf16ToUtf8(name));
    EXPECT_EQ(db->TableAddField(name, u"", field), nxeCapabilityNotSupported);
    TnxDataDictionary read;
    ASSERT_EQ(db->TableGetDictionary(name, u"", &read), 0u);
    EXPECT_EQ(read.FieldsDescriptor().FieldCount(), 4);
  }
  ASSERT_EQ(db->TableAddField(u"Pos", u"", field), 0u) << LastMessage();
  // The table was closed: the next cursor sees the field.
  EXPECT_EQ(Folder().FindTable(u"Pos"), nullptr);
  TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(u"Pos"));
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(cursor->TableDescriptor()->FieldsDescriptor().FieldCount(), 5);
  uint32_t count = 0;
  EXPECT_EQ(cursor->GetRecordCount(count, false), 0u);
  EXPECT_EQ(count, 3u);
}

TEST_F(MaintenanceTest, StructureChangesNeedTheTableToThemselves) {
  BuildPos(u"Pos", 3);
  TnxServerObjectPtr<TnxServerTableCursor> reader(Cursor(u"Pos"));
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(db->TableDropIndex(u"Pos", u"", u"ByName", -1), nxeNoExclusiveAccess);
  TnxAbstractTaskInfo* task = nullptr;
  EXPECT_EQ(db->TableRebuildIndex(u"Pos", u"", u"ByName", -1, task), nxeNoExclusiveAccess);
  EXPECT_EQ(task, nullptr);
  reader.reset();
  const std::string layout = Layout(u"Pos");
  ASSERT_EQ(db->TableDropIndex(u"Pos", u"", u"ByName", -1), 0u) << LastMessage();
  std::string without = layout;
  without.erase(without.find("ByName,"), 7);
  EXPECT_EQ(Layout(u"Pos"), without);
}

// ---- extenders ----

std::u16string Heard(const char16_t* aWho, TnxEngineAction aAction, bool aBefore) {
  return std::u16string(aWho) + u":" + char16_t(u'0' + aAction / 10) + char16_t(u'0' + aAction % 10) +
         (aBefore ? u"b" : u"a");
}

TEST_F(MaintenanceTest, TheFolderIsAskedFirstAndToldLast) {
  BuildPos(u"Pos", 3, GrowableDictionary());
  auto items = PositionDictionary();
  auto fields = std::make_unique<TnxDataDictionary>();
  TnxFieldDescriptor* field = fields->FieldsDescriptor().AddField(u"Extra", u"", nxtInt32, 0, 0, false);
  items->RemoveIndicesDescriptor();
  TnxIndexDescriptor* index =
      items->EnsureIndicesDescriptor()->AddIndex(u"ByStamp", 1, idAll, u"", &TnxCompKeyDescriptor::ClassInfo());
  static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(3);
  const TnxEngineActions actions{eaTableAddField, eaTableAddIndex, eaTableDropIndex, eaTableRebuildIndex};
  std::vector<std::u16string> log;
  auto* folderExt = nxCreateEngineExtender<TestExtender>(nullptr, &Folder(), actions, std::map<TnxEngineAction, uint32_t>{},
                                                         &log, u"f");
  auto* dbExt = nxCreateEngineExtender<TestExtender>(nullptr, db, actions, std::map<TnxEngineAction, uint32_t>{},
                                                     &log, u"d");
  (void)folderExt;
  (void)dbExt;
  TnxAbstractTaskInfo* task = nullptr;
  struct Row {
    const char* name;
    TnxEngineAction action;
    std::function<uint32_t()> run;
    bool toldAfter;
  } rows[] = {
      {"add index", eaTableAddIndex, [&] { return db->TableAddIndex(u"Pos", u"", index, false); }, true},
      {"drop index", eaTableDropIndex, [&] { return db->TableDropIndex(u"Pos", u"", u"ByStamp", -1); }, true},
      {"rebuild index", eaTableRebuildIndex,
       [&] {
         const uint32_t result = db->TableRebuildIndex(u"Pos", u"", u"ByName", -1, task);
         if (task) {
           Finish(*task);
           std::exchange(task, nullptr)->Free();
         }
         return result;
       },
       false},
      {"add field", eaTableAddField, [&] { return db->TableAddField(u"Pos", u"", field); }, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    log.clear();
    ASSERT_EQ(row.run(), 0u) << LastMessage();
    std::vector<std::u16string> expected{Heard(u"f", row.action, true), Heard(u"d", row.action, true)};
    if (row.toldAfter) {
      expected.push_back(Heard(u"d", row.action, false));
      expected.push_back(Heard(u"f", row.action, false));
    }
    EXPECT_EQ(log, expected);
  }
}

TEST_F(MaintenanceTest, AVetoEndsTheChangeBeforeItIsMade) {
  BuildPos(u"Pos", 3);
  const std::string layout = Layout(u"Pos");
  std::vector<std::u16string> log;
  const TnxEngineActions actions{eaTableDropIndex, eaTableRebuildIndex, eaTableVerifyChecksum};
  std::map<TnxEngineAction, uint32_t> vetoes{{eaTableDropIndex, 10300}, {eaTableRebuildIndex, 10300}};
  nxCreateEngineExtender<TestExtender>(nullptr, &Folder(), actions, vetoes, &log, u"f");
  nxCreateEngineExtender<TestExtender>(nullptr, db, actions, std::map<TnxEngineAction, uint32_t>{{eaTableVerifyChecksum, 10301}},
                                       &log, u"d");
  EXPECT_EQ(db->TableDropIndex(u"Pos", u"", u"ByName", -1), 10300u);
  EXPECT_EQ(log, std::vector<std::u16string>{Heard(u"f", eaTableDropIndex, true)});
  TnxAbstractTaskInfo* task = nullptr;
  EXPECT_EQ(db->TableRebuildIndex(u"Pos", u"", u"ByName", -1, task), 10300u);
  // Checksums ask the database's extenders only.
  log.clear();
  EXPECT_EQ(db->TableVerifyChecksum(u"Pos", u"", false, false, task), 10301u);
  EXPECT_EQ(log, std::vector<std::u16string>{Heard(u"d", eaTableVerifyChecksum, true)});
  EXPECT_EQ(task, nullptr);
  EXPECT_EQ(Layout(u"Pos"), layout);
  EXPECT_TRUE(session->TaskInfos().empty());
  EXPECT_EQ(DatabasesOfFolder(), 1);
}

// ---- rename ----

TEST_F(MaintenanceTest, ARenamedTableKeepsItsNewNameInsideAndPassesTheNameCheck) {
  ASSERT_EQ(Build(u"Old"), 0u);
  ASSERT_EQ(WriteRecord(u"Old", u"r1"), 0u);
  ASSERT_EQ(db->TableRename(u"Old", u"New", u""), 0u) << LastMessage();
  EXPECT_EQ(StoredName(u"New"), "New");
  CloseAll();
  engine->SetOptions(engine->Options() | nxServerEngineOption(seoVerifyTableNames));
  OpenAll();
  TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(u"New"));
  EXPECT_NE(cursor, nullptr) << LastMessage();
  cursor.reset();
  EXPECT_EQ(ReadRecord(u"New"), "r1");
}

// The write of the name inside fails after the files moved: they move back,
// and the table opens under its old name, the name check on. Faults
// before the moves leave everything as it was too.
TEST_F(MaintenanceTest, ARenameWhoseNameWriteFailsLeavesTheTableAsItWas) {
  ASSERT_EQ(Build(u"First"), 0u);
  ASSERT_EQ(db->TableRename(u"First", u"Old", u""), 0u) << LastMessage();
  ASSERT_EQ(WriteRecord(u"Old", u"r1"), 0u);
  std::vector<std::u16string> log;
  auto listen = [&] {
    nxCreateEngineExtender<TestExtender>(nullptr, db, TnxEngineActions{eaTableRename},
                                         std::map<TnxEngineAction, uint32_t>{}, &log, u"d");
  };
  listen();
  int failedAfterTheMoves = 0;
  for (TFileOp op : {TFileOp::WriteAt, TFileOp::DataSync, TFileOp::Open}) {
    for (int k = 1; k <= 200; ++k) {
      SCOPED_TRACE(static_cast<int>(op) * 1000 + k);
      log.clear();
      uint32_t result = 0;
      int renames = 0;
      int calls = 0;
      {
        TFaultFileOps faults;
        faults.FailCall(op, k, EIO);
        platform::ScopedFileOps scoped(faults);
        result = db->TableRename(u"Old", u"New", u"");
        renames = faults.Calls(TFileOp::Rename);
        calls = faults.Calls(op);
      }
      if (result == 0) {
        EXPECT_EQ(StoredName(u"New"), "New");
        IntentPending();
        ASSERT_EQ(db->TableRename(u"New", u"Old", u""), 0u) << LastMessage();
        // The fault was never reached: every later one lies beyond too.
        if (calls < k) break;
        continue;
      }
      EXPECT_FALSE(LastMessage().empty());
      // Told nothing of a rename that did not stand.
      EXPECT_EQ(log, std::vector<std::u16string>{Heard(u"d", eaTableRename, true)});
      const bool afterTheMoves = renames > 3;
      if (afterTheMoves) {
        // A write that failed in a commit stops the engine's writes until
        // it is started again.
        EXPECT_EQ(renames, 6) << "three files moved there and back";
        CloseAll();
        nxFatalErrorFlag.store(false);
        OpenAll();
        listen();
      }
      // A failure before the moves may leave an intent, which a later open
      // finishes.
      IntentPending();
      ASSERT_TRUE(Has("Old.nx1")) << result;
      EXPECT_FALSE(Has("New.nx1"));
      EXPECT_EQ(StoredName(u"Old"), "Old");
      EXPECT_EQ(ReadRecord(u"Old"), "r1");
      if (afterTheMoves) {
        ++failedAfterTheMoves;
        break;
      }
    }
  }
  EXPECT_GT(failedAfterTheMoves, 0);
  CloseAll();
  engine->SetOptions(engine->Options() | nxServerEngineOption(seoVerifyTableNames));
  OpenAll();
  TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(u"Old"));
  EXPECT_NE(cursor, nullptr) << LastMessage();
}

// ---- empty ----

TEST_F(MaintenanceTest, EmptyKeepsDictionaryPasswordAndScope) {
  struct Row {
    const char* name;
    std::u16string table;
    std::u16string password;
    TnxTableScope scope;
  } rows[] = {
      {"persistent with a password", u"Pos", u"pw", tsPersistent},
      {"temporary of the folder", u"<Temp>", u"", tsTempGlobal},
      {"of the database", u"##Mine", u"", tsTempDatabase},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    BuildPos(row.table, 7, PositionDictionary(), row.password);
    ASSERT_EQ(Count(row.table, row.password), 7);
    const std::string layout = Layout(row.table, row.password);
    ASSERT_EQ(db->TableEmpty(row.table, row.password), 0u) << LastMessage();
    EXPECT_EQ(Count(row.table, row.password), 0);
    if (!row.password.empty()) {
      EXPECT_EQ(Count(row.table, u"wrong"), -int64_t(nxeInvalidPassword));
    }
    TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(row.table, omReadOnly, row.password));
    ASSERT_NE(cursor, nullptr);
    EXPECT_EQ(cursor->Table()->Root()->TableScope(), row.scope);
    cursor.reset();
    EXPECT_EQ(Layout(row.table, row.password), layout);
    // It takes records again.
    Insert(row.table, 100, 2, row.password);
    EXPECT_EQ(Count(row.table, row.password), 2);
  }
  // Only the persistent table has files.
  EXPECT_EQ(Files(), (std::vector<std::string>{"Pos.ix", "Pos.nx1"}));
}

// ---- tasks ----

TEST_F(MaintenanceTest, ARebuildRunsOnAPrivateDatabaseThatGoesWithIt) {
  BuildPos(u"Pos", 60);
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db->TableRebuildIndex(u"Pos", u"", u"byname", -1, task), 0u) << LastMessage();
  ASSERT_NE(task, nullptr);
  const TnxTaskStatus status = Finish(*task);
  EXPECT_EQ(status.tsErrorCode, 0u) << platform::Utf16ToUtf8(status.tsErrorMessage);
  EXPECT_EQ(status.tsRecsRead, 60u);
  EXPECT_EQ(status.tsRecsWritten, 60u);
  EXPECT_EQ(session->TaskInfos().size(), 1u);
  task->Free();
  EXPECT_TRUE(session->TaskInfos().empty());
  EXPECT_EQ(DatabasesOfFolder(), 1);
  // By number too, and the table is free again for an exclusive cursor.
  ASSERT_EQ(db->TableRebuildIndex(u"Pos", u"", u"", 2, task), 0u) << LastMessage();
  EXPECT_EQ(Finish(*task).tsErrorCode, 0u);
  task->Free();
  TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(u"Pos", omReadWrite, u"", nullptr, smExclusive));
  ASSERT_NE(cursor, nullptr) << LastMessage();
  ASSERT_EQ(cursor->sbcSwitchToIndex(u"ByName", -1, porFalse), 0u);
  uint32_t count = 0;
  ASSERT_EQ(cursor->GetRecordCountEx(rcoTotalKeyCount, count, false), 0u);
  EXPECT_EQ(count, 60u);
}

TEST_F(MaintenanceTest, ARebuildReachesTheDatabasesOwnTables) {
  BuildPos(u"##Mine", 12);
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db->TableRebuildIndex(u"##Mine", u"", u"ByID", -1, task), 0u) << LastMessage();
  const TnxTaskStatus status = Finish(*task);
  EXPECT_EQ(status.tsErrorCode, 0u) << platform::Utf16ToUtf8(status.tsErrorMessage);
  EXPECT_EQ(status.tsRecsRead, 12u);
  task->Free();
  // Another database does not see it.
  TnxServerDatabase& other = OtherDatabase(omReadWrite);
  EXPECT_EQ(other.TableRebuildIndex(u"##Mine", u"", u"ByID", -1, task), nxeTableDoesNotExist);
  EXPECT_EQ(task, nullptr);
}

TEST_F(MaintenanceTest, AnIndexWhoseKeysCannotBeRebuiltIsRefused) {
  auto dict = PositionDictionary();
  TnxIndexDescriptor* tokens = dict->IndicesDescriptor()->AddIndex(u"Tokens", 1, idAll, u"",
                                                                   &TnxMainIndexTokenKeyDescriptor::ClassInfo());
  ASSERT_NE(tokens, nullptr);
  BuildPos(u"Pos", 0, std::move(dict));
  TnxAbstractTaskInfo* task = nullptr;
  EXPECT_EQ(db->TableRebuildIndex(u"Pos", u"", u"Tokens", -1, task), nxeCapabilityNotSupported);
  EXPECT_EQ(LastMessage(), "Rebuilding is not supported for this index");
  EXPECT_EQ(task, nullptr);
  EXPECT_TRUE(session->TaskInfos().empty());
  EXPECT_EQ(DatabasesOfFolder(), 1);
  // Nothing holds the table.
  EXPECT_EQ(db->TableDelete(u"Pos", u""), 0u) << LastMessage();
  EXPECT_TRUE(Files().empty());
}

class ChecksumMaintenanceTest : public MaintenanceTest {
protected:
  ChecksumMaintenanceTest() {
    sums.Register(u"TestSum", true, 0);
    sums.Register(u"TestSum", false, 0);
  }
  ~ChecksumMaintenanceTest() override {
    for (TnxServerDatabase* other : others_) other->Free();
    others_.clear();
    CloseAll();
    sums.Unregister();
  }
  SumEngineClass sums;
};

TEST_F(ChecksumMaintenanceTest, ChecksumsAreCheckedOnlyWhereTheTableKeepsThem) {
  auto dict = PositionDictionary();
  dict->SetEncryptionEngine(u"TestSum");
  BuildPos(u"Sum", 200, std::move(dict));
  BuildPos(u"Plain", 20);
  TnxAbstractTaskInfo* task = nullptr;
  EXPECT_EQ(db->TableVerifyChecksum(u"Plain", u"", false, false, task), nxeCapabilityNotSupported);
  EXPECT_EQ(LastMessage(), "Table Plain is not using an encryption engine that supports file checksums.");
  EXPECT_EQ(task, nullptr);
  EXPECT_EQ(DatabasesOfFolder(), 1);
  for (const bool raw : {false, true}) {
    SCOPED_TRACE(raw);
    sums.Walked = 0;
    ASSERT_EQ(db->TableVerifyChecksum(u"Sum", u"", raw, true, task), 0u) << LastMessage();
    ASSERT_NE(task, nullptr);
    const TnxTaskStatus status = Finish(*task);
    EXPECT_EQ(status.tsErrorCode, 0u) << platform::Utf16ToUtf8(status.tsErrorMessage);
    EXPECT_GT(sums.Walked.load(), 0);
    EXPECT_EQ(status.tsRecsRead, status.tsTotalRecs);
    // The task holds the private database until it is freed.
    EXPECT_EQ(DatabasesOfFolder(), 2);
    std::exchange(task, nullptr)->Free();
    EXPECT_EQ(DatabasesOfFolder(), 1);
  }
  EXPECT_EQ(Count(u"Sum"), 200);
}

}  // namespace
}  // namespace revurov::testing
