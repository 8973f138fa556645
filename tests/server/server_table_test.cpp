// Root and child tables over their files: create, reopen, the dictionary
// they keep, paths to children, the special-field hooks, and what a failed
// create or open leaves behind.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <fstream>
#include <functional>
#include <iterator>
#include <filesystem>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/default_values.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "engine/deadline_hooks.h"
#include "index/index_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/file_ops.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "server/buffer_calls.h"
#include "server/server_data_dict.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "storage/encryption_engine.h"
#include "storage/files.h"
#include "storage/stream_engines.h"
#include "storage/transactions.h"
#include "support/fake_engine_clock.h"
#include "support/fault_file_ops.h"
#include "support/server_fixture.h"
#include "support/temp_dir.h"

namespace revurov::testing {
namespace {

uint32_t ErrorCodeOf(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const EnxBaseException& e) {
    return e.ErrorCode();
  }
  return 0;
}

// A dictionary of a few fields, and nested tables "A" > "B" > "C".
std::unique_ptr<TnxDataDictionary> SampleDictionary(int aDepth = 3) {
  auto dict = std::make_unique<TnxDataDictionary>();
  dict->FieldsDescriptor().AddField(u"Name", u"", nxtWideString, 20, 0, false);
  dict->FieldsDescriptor().AddField(u"Value", u"", nxtInt32, 0, 0, false);
  TnxBaseTableDescriptor* table = dict.get();
  for (int i = 0; i < aDepth; ++i) {
    const std::u16string name(1, static_cast<char16_t>(u'A' + i));
    TnxNestedTableDescriptor* child = table->TablesDescriptor().AddTable(name);
    child->AddRecordDescriptor();
    child->FieldsDescriptor().AddField(u"Item", u"", nxtInt32, 0, 0, false);
    table = child;
  }
  return dict;
}

class ServerTableTest : public ServerFixture {
protected:
  ServerTableTest() {
    nxFatalErrorFlag.store(false);
    Start();
    session = Open();
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(session->DatabaseOpen(database, u"Path", Path(), nullptr, omReadWrite, smShared, 1000), 0u)
        << LastMessage();
    db = static_cast<TnxServerDatabase*>(database);
  }
  ~ServerTableTest() override { nxFatalErrorFlag.store(false); }

  std::u16string Path() const { return platform::Utf8ToUtf16(dir.Dir()); }
  TnxServerFolder& Folder() { return *db->Folder(); }

  TnxServerRootTable* Create(std::u16string_view aName, const TnxDataDictionary& aDict,
                             std::u16string_view aPassword = u"", TnxTableScope aScope = tsPersistent) {
    TnxServerRootTable* table = nullptr;
    const uint32_t result = Folder().sfTableCreate(aName, aPassword, false, aDict, aScope, table);
    EXPECT_EQ(result, 0u) << LastMessage();
    return table;
  }
  uint32_t OpenTable(std::u16string_view aName, TnxServerRootTable*& aTable, bool& aReadOnly,
                     std::vector<std::u16string> aPasswords = {}) {
    return Folder().sfTableOpen(aName, aPasswords, omReadWrite, smShared, false, aTable, aReadOnly);
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static bool HasStream(TnxServerRootTable& aTable, std::u16string_view aName) {
    TnxMemoryStream stream;
    return aTable.StreamEngine()->ReadNamedStream(nullptr, aName, stream) == 0;
  }

  TempDir dir;
  TnxServerSession* session = nullptr;
  TnxServerDatabase* db = nullptr;
};

TEST_F(ServerTableTest, CreatedTableReopensWithTheSameDictionaryAndNestedTables) {
  auto dict = SampleDictionary();
  TnxServerRootTable* table = Create(u"Orders", *dict);
  ASSERT_NE(table, nullptr);
  EXPECT_TRUE(HasStream(*table, u"$TableName"));
  ASSERT_EQ(table->ChildCount(), 1);
  table->Free();
  EXPECT_EQ(Folder().TableCount(), 0);

  TnxServerRootTable* again = nullptr;
  bool readOnly = true;
  ASSERT_EQ(OpenTable(u"Orders", again, readOnly), 0u) << LastMessage();
  EXPECT_FALSE(readOnly);
  EXPECT_TRUE(again->Dictionary().IsEqual(dict.get()));
  EXPECT_TRUE(again->Dictionary().ReadOnly());
  EXPECT_TRUE(HasStream(*again, u"$TableName"));
  TnxServerBaseTable* c = nullptr;
  ASSERT_EQ(again->GetChild(u"A:B:C", c), 0u);
  EXPECT_EQ(platform::Utf16ToUtf8(c->FullName()), "Orders:A:B:C");
  EXPECT_NE(c->RecordEngine(), nullptr);
  EXPECT_EQ(engine->TableCount(), 4);
  again->Free();
  EXPECT_EQ(engine->TableCount(), 0);
}

TEST_F(ServerTableTest, UnnamedTablesGetDistinctNamesAndNoTableNameStream) {
  auto dict = SampleDictionary(0);
  TnxServerRootTable* one = Create(u"", *dict, u"", tsTempUnnamed);
  TnxServerRootTable* two = Create(u"", *dict, u"", tsTempUnnamed);
  ASSERT_NE(one, nullptr);
  ASSERT_NE(two, nullptr);
  const std::string a = platform::Utf16ToUtf8(one->TableName());
  const std::string b = platform::Utf16ToUtf8(two->TableName());
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(" UnnamedTable_", 0), 0u) << a;
  EXPECT_EQ(b.rfind(" UnnamedTable_", 0), 0u) << b;
  EXPECT_FALSE(HasStream(*one, u"$TableName"));
  EXPECT_TRUE(Files().empty() || Files() == std::vector<std::string>{"nxTrans.cfg"});
  one->Free();
  two->Free();
}

TEST_F(ServerTableTest, ChildPathsWalkAsOneTable) {
  auto dict = SampleDictionary(2);
  TnxNestedTableDescriptor* sibling = dict->TablesDescriptor().AddTable(u"Sibling");
  sibling->AddRecordDescriptor();
  sibling->FieldsDescriptor().AddField(u"Item", u"", nxtInt32, 0, 0, false);
  TnxServerRootTable* root = Create(u"Paths", *dict);
  ASSERT_NE(root, nullptr);
  TnxServerBaseTable* a = nullptr;
  ASSERT_EQ(root->GetChild(u"A", a), 0u);
  struct Case {
    TnxServerBaseTable* from;
    std::u16string path;
    std::string reached;  // empty: fails with 10024
    std::string message;
  } cases[] = {
      {root, u"", "Paths", ""},
      {root, u".", "Paths", ""},
      {a, u"..", "Paths", ""},
      {a, u"..:Sibling", "Paths:Sibling", ""},
      {a, u".:B", "Paths:A:B", ""},
      {root, u"a:b", "Paths:A:B", ""},
      {root, u"Missing", "", "No child table called \"Missing\" in table \"Paths\""},
      {a, u"B:Gone", "", "No child table called \"Gone\" in table \"Paths:A:B\""},
      {root, u"..", "", "No parent for table \"Paths\""},
  };
  for (const Case& c : cases) {
    TnxServerBaseTable* found = reinterpret_cast<TnxServerBaseTable*>(1);
    const uint32_t result = c.from->GetChild(c.path, found);
    if (c.reached.empty()) {
      EXPECT_EQ(result, nxeTableDoesNotExist) << platform::Utf16ToUtf8(c.path);
      EXPECT_EQ(found, nullptr);
      EXPECT_NE(LastMessage().find(c.message), std::string::npos) << LastMessage();
    } else {
      ASSERT_EQ(result, 0u) << platform::Utf16ToUtf8(c.path);
      EXPECT_EQ(platform::Utf16ToUtf8(found->FullName()), c.reached);
    }
  }
  root->Free();
}

TEST_F(ServerTableTest, AMissingDictionaryGives9992WithTheFileName) {
  auto dict = SampleDictionary(0);
  TnxServerRootTable* table = Create(u"NoDict", *dict);
  ASSERT_NE(table, nullptr);
  {
    TnxBaseTransaction trans(*engine->BufferManager(), nullptr, false, false);
    ASSERT_EQ(table->StreamEngine()->DeleteNamedStream(trans, u"DICT"), 0u);
    nxsrCommit(*engine->BufferManager(), trans);
  }
  table->Free();
  TnxServerRootTable* again = nullptr;
  bool readOnly = false;
  EXPECT_EQ(OpenTable(u"NoDict", again, readOnly), nxeCannotOpenFile);
  EXPECT_NE(LastMessage().find("The data dictionary is missing"), std::string::npos) << LastMessage();
  EXPECT_NE(LastMessage().find("NoDict.nx1"), std::string::npos) << LastMessage();
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(Folder().TableCount(), 0);
}

TEST_F(ServerTableTest, ANameDifferingInCaseTakesTheFilesOwnName) {
  auto dict = SampleDictionary(0);
  TnxServerRootTable* table = Create(u"Customers", *dict);
  ASSERT_NE(table, nullptr);
  table->Free();
  TnxServerRootTable* again = nullptr;
  bool readOnly = false;
  ASSERT_EQ(OpenTable(u"CUSTOMERS", again, readOnly), 0u) << LastMessage();
  EXPECT_EQ(platform::Utf16ToUtf8(again->TableName()), "Customers");
  EXPECT_EQ(Folder().FindTable(u"customers"), again);
  again->Free();
}

TEST_F(ServerTableTest, TheDictionaryRefusesChangesAfterItIsWritten) {
  auto dict = SampleDictionary(0);
  TnxServerRootTable* table = Create(u"Locked", *dict);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(ErrorCodeOf([&] { table->Dictionary().FieldsDescriptor().AddField(u"X", u"", nxtInt32, 0, 0, false); }),
            nxeDictionaryReadOnly);
  table->Dictionary().ForceOffReadOnly();
  EXPECT_EQ(ErrorCodeOf([&] { table->Dictionary().FieldsDescriptor().AddField(u"X", u"", nxtInt32, 0, 0, false); }),
            0u);
  table->Dictionary().ForceOnReadOnly();
  table->Free();
}

TEST_F(ServerTableTest, ServerAndPlainDictionariesAreCompatible) {
  TnxServerDataDict server;
  TnxDataDictionary plain;
  EXPECT_TRUE(server.IsCompatibleWith(&plain));
  EXPECT_FALSE(plain.IsCompatibleWith(&server));
  EXPECT_TRUE(server.IsCompatibleWith(&server));
}

// ---- special fields ----

class SpecialFieldsTest : public ServerTableTest {
protected:
  SpecialFieldsTest() {
    auto dict = SampleDictionary(0);
    TnxFieldsDescriptor& fields = dict->FieldsDescriptor();
    fields.AddField(u"Rev", u"", nxtRecRev, 0, 0, false);
    fields.AddField(u"Ref", u"", nxtRefNr, 0, 0, false);
    fields.AddField(u"Modified", u"", nxtInt64, 0, 0, false)
        ->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::ClassInfo())
        ->SetApplyOnModify(true);
    fields.AddField(u"Inserted", u"", nxtInt64, 0, 0, false)
        ->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::ClassInfo())
        ->SetApplyOnModify(false);
    table = Create(u"Special", *dict);
    fd = table->FieldsDescriptor();
    stored.assign(static_cast<size_t>(fd->RecordLength()), 0);
    fresh.assign(static_cast<size_t>(fd->RecordLength()), 0);
    fd->InitRecord(stored.data());
    fd->InitRecord(fresh.data());
  }
  ~SpecialFieldsTest() override { table->Free(); }

  int64_t Int64(const std::vector<uint8_t>& aRecord, std::u16string_view aField) {
    bool isNull = true;
    int64_t value = 0;
    fd->GetRecordField(fd->GetFieldFromName(aField), aRecord.data(), isNull, &value);
    return isNull ? -1 : value;
  }
  void SetInt64(std::vector<uint8_t>& aRecord, std::u16string_view aField, int64_t aValue) {
    fd->SetRecordField(fd->GetFieldFromName(aField), aRecord.data(), &aValue);
  }
  uint32_t Rev(const std::vector<uint8_t>& aRecord) {
    bool isNull = true;
    uint32_t value = 0;
    fd->GetRecordField(fd->GetFieldFromName(u"Rev"), aRecord.data(), isNull, &value);
    return isNull ? 0xFFFFFFFF : value;
  }
  void SetRev(std::vector<uint8_t>& aRecord, uint32_t aValue) {
    fd->SetRecordField(fd->GetFieldFromName(u"Rev"), aRecord.data(), &aValue);
  }

  TnxServerRootTable* table = nullptr;
  TnxFieldsDescriptor* fd = nullptr;
  std::vector<uint8_t> stored, fresh;
};

TEST_F(SpecialFieldsTest, InsertHooksSetLSNsRevisionAndClearTheRefNr) {
  SetInt64(fresh, u"Ref", 99);
  table->sbtInitLSNFields(0, fresh.data());
  EXPECT_EQ(Int64(fresh, u"Modified"), 1);
  EXPECT_EQ(Int64(fresh, u"Inserted"), 1);
  table->sbtInitLSNFields(40, fresh.data());
  EXPECT_EQ(Int64(fresh, u"Modified"), 40);
  table->sbtInitRecRev(fresh.data());
  EXPECT_EQ(Rev(fresh), 0u);
  SetRev(fresh, 7);
  table->sbtInitRecRev(fresh.data());
  EXPECT_EQ(Rev(fresh), 7u);
  table->sbtClearRefNr(fresh.data());
  EXPECT_EQ(Int64(fresh, u"Ref"), -1);
}

TEST_F(SpecialFieldsTest, ModifyHooksAsRows) {
  struct Row {
    const char* what;
    int64_t storedModify, newModify, nextLSN;
    bool skip;
    uint32_t result;
    int64_t modifyAfter;
  } rows[] = {
      {"same LSN, cursor gives one", 5, 5, 9, false, 0, 9},
      {"same LSN, no cursor LSN", 5, 5, 0, false, 0, 6},
      {"changed LSN", 5, 4, 9, false, nxeRecordChanged, 4},
      {"changed LSN, compare skipped", 5, 4, 0, true, 0, 6},
  };
  for (const Row& r : rows) {
    SetInt64(stored, u"Modified", r.storedModify);
    SetInt64(fresh, u"Modified", r.newModify);
    EXPECT_EQ(table->sbtCheckLSNFields(r.nextLSN, stored.data(), r.skip, fresh.data()), r.result) << r.what;
    EXPECT_EQ(Int64(fresh, u"Modified"), r.modifyAfter) << r.what;
    if (r.result) {
      EXPECT_NE(LastMessage().find("another user changed the record"), std::string::npos);
    }
  }
  SetRev(stored, 3);
  SetRev(fresh, 3);
  EXPECT_EQ(table->sbtCheckRecRev(stored.data(), fresh.data(), false), 0u);
  EXPECT_EQ(Rev(fresh), 4u);
  SetRev(fresh, 2);
  EXPECT_EQ(table->sbtCheckRecRev(stored.data(), fresh.data(), false), nxeRecordChanged);
  EXPECT_EQ(table->sbtCheckRecRev(stored.data(), fresh.data(), true), 0u);
  EXPECT_EQ(Rev(fresh), 4u);

  SetInt64(stored, u"Ref", 12);
  SetInt64(fresh, u"Ref", 13);
  EXPECT_EQ(table->sbtCheckRefNr(stored.data(), fresh.data(), false, 12), nxeInvalidModifyRequest);
  EXPECT_NE(LastMessage().find("RefNr has changed.\r\nExpected: [12]\r\nFound: [13]"), std::string::npos)
      << LastMessage();
  EXPECT_EQ(table->sbtCheckRefNr(stored.data(), fresh.data(), true, 12), 0u);
  EXPECT_EQ(Int64(fresh, u"Ref"), 12);
  fd->SetRecordFieldNull(fd->GetFieldFromName(u"Ref"), fresh.data(), true);
  EXPECT_EQ(table->sbtCheckRefNr(stored.data(), fresh.data(), false, 12), 0u);
  EXPECT_EQ(Int64(fresh, u"Ref"), 12);
}

// ---- failures ----

TEST_F(ServerTableTest, ACreateFailingAtAnyStepOfTheSeamLeavesNothingBehind) {
  auto dict = SampleDictionary(1);
  for (TFileOp op : {TFileOp::WriteAt, TFileOp::DataSync, TFileOp::Sync, TFileOp::SyncDirectory, TFileOp::SetSize,
                     TFileOp::Allocate, TFileOp::Open, TFileOp::Lock, TFileOp::GetHandleInfo}) {
    // Until the create gets past every call of the kind.
    for (int k = 1; k <= 40; ++k) {
      nxFatalErrorFlag.store(false);
      TFaultFileOps faults;
      faults.FailCall(op, k, EIO);
      platform::ScopedFileOps scoped(faults);
      TnxServerRootTable* table = nullptr;
      const uint32_t result = Folder().sfTableCreate(u"Faulty", u"", false, *dict, tsPersistent, table);
      if (result == 0) {
        table->Free();
        std::filesystem::remove(dir.Path("Faulty.nx1"));
        break;
      }
      EXPECT_EQ(table, nullptr);
      EXPECT_EQ(Folder().TableCount(), 0) << static_cast<int>(op) << " " << k;
      EXPECT_FALSE(std::filesystem::exists(dir.Path("Faulty.nx1"))) << static_cast<int>(op) << " " << k;
    }
  }
}

}  // namespace
}  // namespace revurov::testing

namespace revurov::testing {
namespace {

TEST_F(ServerTableTest, AFileThatOpensOnlyReadOnlyMakesTheTableReadOnly) {
  auto dict = SampleDictionary(1);
  TnxServerRootTable* table = Create(u"Frozen", *dict);
  ASSERT_NE(table, nullptr);
  table->Free();
  TFaultFileOps faults;
  faults.FailCall(TFileOp::Open, 1, EROFS);
  platform::ScopedFileOps scoped(faults);
  TnxServerRootTable* again = nullptr;
  bool readOnly = false;
  ASSERT_EQ(OpenTable(u"Frozen", again, readOnly), 0u) << LastMessage();
  EXPECT_TRUE(readOnly);
  EXPECT_EQ(again->OpenMode(), omReadOnly);
  EXPECT_EQ(again->MainFile()->fiOpenMode, omReadOnly);
  again->Free();
}

TEST_F(ServerTableTest, FileIDsDifferingFromTheDictionaryAreTakenOverWithANewGuid) {
  auto dict = SampleDictionary(0);
  TnxServerRootTable* table = Create(u"Moved", *dict);
  ASSERT_NE(table, nullptr);
  const platform::TGUID created = table->Dictionary().Guid();
  table->Free();
  // A copy has another inode, so another file ID.
  const std::string path = dir.Path("Moved.nx1");
  std::filesystem::copy_file(path, path + ".copy");
  std::filesystem::rename(path + ".copy", path);

  TnxServerRootTable* again = nullptr;
  bool readOnly = false;
  ASSERT_EQ(OpenTable(u"Moved", again, readOnly), 0u) << LastMessage();
  const platform::TGUID reconciled = again->Dictionary().Guid();
  EXPECT_NE(reconciled, created);
  EXPECT_EQ(platform::Utf16ToUtf8(again->Dictionary().FilesDescriptor().FileDescriptor(0)->FileID()),
            platform::Utf16ToUtf8(again->MainFile()->GetFileID()));
  EXPECT_TRUE(again->Dictionary().ReadOnly());
  again->Free();
  // Written back: the next open finds nothing to take over.
  ASSERT_EQ(OpenTable(u"Moved", again, readOnly), 0u) << LastMessage();
  EXPECT_EQ(again->Dictionary().Guid(), reconciled);
  again->Free();
}

TEST_F(ServerTableTest, AReadOnlyTableTakesOverFileIDsWithoutWritingThem) {
  auto dict = SampleDictionary(0);
  TnxServerRootTable* table = Create(u"Shelved", *dict);
  ASSERT_NE(table, nullptr);
  table->Free();
  const std::string path = dir.Path("Shelved.nx1");
  std::filesystem::copy_file(path, path + ".copy");
  std::filesystem::rename(path + ".copy", path);
  const auto bytes = [&] {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string before = bytes();
  platform::TGUID readOnlyGuid{};
  {
    TFaultFileOps faults;
    faults.FailCall(TFileOp::Open, 1, EROFS);
    platform::ScopedFileOps scoped(faults);
    TnxServerRootTable* again = nullptr;
    bool readOnly = false;
    ASSERT_EQ(OpenTable(u"Shelved", again, readOnly), 0u) << LastMessage();
    EXPECT_TRUE(readOnly);
    readOnlyGuid = again->Dictionary().Guid();
    EXPECT_EQ(platform::Utf16ToUtf8(again->Dictionary().FilesDescriptor().FileDescriptor(0)->FileID()),
              platform::Utf16ToUtf8(again->MainFile()->GetFileID()));
    again->Free();
  }
  EXPECT_EQ(bytes(), before);
}

TEST_F(ServerTableTest, CacheTablesAreCreatedWithTheirIndexEngine) {
  auto dict = SampleDictionary(1);
  dict->MakeCacheable(true);
  dict->MakeCache(true);
  TnxServerRootTable* table = Create(u"Cached", *dict);
  ASSERT_NE(table, nullptr);
  EXPECT_TRUE(table->IsCache());
  table->Free();
}

class InactiveTablesTest : public ServerFixture {
protected:
  InactiveTablesTest() {
    engine->SetCleanupInterval(2);
    Start();
    session = Open();
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(session->DatabaseOpen(database, u"Path", platform::Utf8ToUtf16(dir.Dir()), nullptr, omReadWrite,
                                    smShared, 1000),
              0u);
    db = static_cast<TnxServerDatabase*>(database);
  }
  // A table whose last cursor left now.
  TnxServerRootTable* Inactive(int aIndex) {
    TnxServerRootTable* table = nullptr;
    const std::u16string name = u"T" + platform::Utf8ToUtf16(std::to_string(aIndex));
    EXPECT_EQ(db->Folder()->sfTableCreate(name, u"", false, *dict, tsPersistent, table), 0u) << LastMessage();
    TnxPadlockGuard guard(table->CursorsPadlock());
    table->srtCursorAdded();
    table->srtCursorRemoved();
    return table;
  }
  static bool Eventually(const std::function<bool()>& aCheck) {
    for (int i = 0; i < 2000; ++i) {
      if (aCheck()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return aCheck();
  }

  TFakeEngineClock clock;
  TempDir dir;
  std::unique_ptr<TnxDataDictionary> dict = SampleDictionary(0);
  TnxServerSession* session = nullptr;
  TnxServerDatabase* db = nullptr;
};

TEST_F(InactiveTablesTest, TheTwoHundredFiftySeventhTakesTheOldestUnlessItIsHeld) {
  for (int i = 0; i < 256; ++i) {
    Inactive(i);
    TFakeEngineClock::Advance(10);
  }
  EXPECT_EQ(engine->InactiveTableCount(), 256);
  Inactive(256);
  EXPECT_TRUE(Eventually([&] { return db->Folder()->TableCount() == 256; }));
  EXPECT_EQ(db->Folder()->FindTable(u"T0"), nullptr);
  EXPECT_EQ(engine->InactiveTableCount(), 256);

  // The oldest now is held by a closer's guard: it only leaves the list.
  TnxServerRootTable* held = db->Folder()->FindTable(u"T1");
  ASSERT_NE(held, nullptr);
  held->LockIsInactive().fetch_add(1);
  Inactive(257);
  EXPECT_TRUE(Eventually([&] { return !held->InInactiveTables(); }));
  EXPECT_EQ(db->Folder()->FindTable(u"T1"), held);
  EXPECT_EQ(db->Folder()->TableCount(), 257);
  EXPECT_EQ(engine->InactiveTableCount(), 256);
  held->LockIsInactive().fetch_sub(1);

  // Twenty hours on, every inactive one goes.
  TFakeEngineClock::Advance(20ull * 3600 * 1000 + 1);
  EXPECT_TRUE(Eventually([&] { return engine->InactiveTableCount() == 0; }));
  EXPECT_EQ(db->Folder()->TableCount(), 1);
}

}  // namespace
}  // namespace revurov::testing

namespace revurov::testing {
namespace {

struct TEngineRow {
  const char* Name;
  const char16_t* RecordEngine;  // null: the default
  const char16_t* Compression;   // null: none
  const char16_t* BlobEngine;    // null: no BLOBs
  bool AutoInc;
  bool IndexFile;  // an index in a file of its own
  bool Password = false;
};

// The shape of a row, on the root and on each nested table.
void Shape(TnxBaseTableDescriptor& aTable, const TEngineRow& aRow, bool aRoot) {
  if (aRow.RecordEngine) {
    aTable.RemoveRecordDescriptor();
    auto* record =
        static_cast<TnxHeapRecordDescriptor*>(aTable.AddRecordDescriptor(&TnxHeapRecordDescriptor::ClassInfo()));
    record->SetRecordEngine(aRow.RecordEngine);
    record->AddHeapDescriptor()->AddBlockHeapDescriptor();
    if (aRow.Compression) {
      TnxBaseRecordCompressionDescriptor* compression = record->AddRecordCompressionDescriptor();
      compression->SetRecordCompressionEngine(aRow.Compression);
      // The LZ4 compressor of level 1.
      if (std::u16string_view(aRow.Compression) == u"Compressor") compression->SetCompressType(11);
    }
  }
  if (aRow.BlobEngine) {
    aTable.FieldsDescriptor().AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
    auto* blob = static_cast<TnxHeapBlobDescriptor*>(aTable.AddBlobDescriptor());
    blob->SetBlobEngine(aRow.BlobEngine);
    blob->AddHeapDescriptor()->AddBlockHeapDescriptor();
  }
  if (aRow.AutoInc) aTable.AddAutoIncDescriptor(&TnxAdvAutoIncDescriptor::ClassInfo());
  if (aRow.IndexFile && aRoot) {
    auto* indices = aTable.EnsureIndicesDescriptor();
    static_cast<TnxCompKeyDescriptor*>(
        indices->AddIndex(u"ByValue", 1, idAll, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
        ->Add(1);
  }
}

TEST_F(ServerTableTest, EverySubEngineKindCreatesAndReopensThreeDeep) {
  const TEngineRow rows[] = {
      {"static records", nullptr, nullptr, nullptr, false, false},
      {"variable, no compression", u"Variable", nullptr, nullptr, false, false},
      {"variable, Null", u"Variable", u"Null", nullptr, false, false},
      {"variable, Smart", u"Variable", u"Smart", nullptr, false, false},
      {"variable, Compressor", u"Variable", u"Compressor", nullptr, false, false},
      {"versioned, Compressor", u"VariableVersioned", u"Compressor", nullptr, false, false},
      {"segmented BLOBs", nullptr, nullptr, u"nx1xDefault", false, false},
      {"simple BLOBs", nullptr, nullptr, u"nx1xSimple", false, false},
      {"autoinc", nullptr, nullptr, nullptr, true, false},
      {"tree index in a file of its own", nullptr, nullptr, nullptr, false, true},
      {"with a password", nullptr, nullptr, nullptr, false, false, true},
  };
  int n = 0;
  for (const TEngineRow& row : rows) {
    SCOPED_TRACE(row.Name);
    auto dict = SampleDictionary(3);
    if (row.IndexFile) dict->FilesDescriptor().AddFile(u"ix", nxbs4k, u"Index");
    TnxBaseTableDescriptor* table = dict.get();
    for (int depth = 0; depth <= 3; ++depth) {
      Shape(*table, row, depth == 0);
      if (depth < 3) table = table->TablesDescriptor().TableDescriptor(0);
    }
    const std::u16string name = u"E" + platform::Utf8ToUtf16(std::to_string(n++));
    TnxServerRootTable* created = Create(name, *dict, row.Password ? u"secret" : u"");
    ASSERT_NE(created, nullptr) << LastMessage();
    created->Free();
    TnxServerRootTable* again = nullptr;
    bool readOnly = false;
    std::vector<std::u16string> passwords;
    if (row.Password) passwords.push_back(u"secret");
    ASSERT_EQ(OpenTable(name, again, readOnly, passwords), 0u) << LastMessage();
    EXPECT_EQ(again->FileCount(), row.IndexFile ? 2 : 1);
    TnxServerBaseTable* deepest = nullptr;
    ASSERT_EQ(again->GetChild(u"A:B:C", deepest), 0u);
    for (TnxServerBaseTable* t : {static_cast<TnxServerBaseTable*>(again), deepest}) {
      EXPECT_NE(t->RecordEngine(), nullptr);
      EXPECT_EQ(t->BlobEngine() != nullptr, row.BlobEngine != nullptr);
      EXPECT_EQ(t->AutoIncEngine() != nullptr, row.AutoInc);
    }
    EXPECT_EQ(again->IndicesEngine() != nullptr && again->IndicesEngine()->IndexCount() > 1, row.IndexFile);
    // The dictionary as built, but for what the build adds: the engine
    // passwords bring, the file IDs and the ID counter.
    TnxServerDataDict expected;
    expected.Assign(dict.get());
    if (row.Password) {
      std::u16string engineName;
      for (const char16_t* candidate : {u"nxsAesCcm256", u"nxsAesCcm128", u"nx1xDefault"})
        if (engineName.empty() && TnxBaseEncryptionEngine::HasEngine(candidate, false)) engineName = candidate;
      EXPECT_EQ(platform::Utf16ToUtf8(again->Dictionary().EncryptionEngine()), platform::Utf16ToUtf8(engineName));
    }
    EXPECT_EQ(again->Dictionary().FieldsDescriptor().FieldCount(), dict->FieldsDescriptor().FieldCount());
    EXPECT_EQ(again->Dictionary().TablesDescriptor().TableCount(), 1);
    EXPECT_TRUE(again->Dictionary().FieldsDescriptor().IsEqual(&dict->FieldsDescriptor()));
    again->Free();
  }
}

TEST_F(ServerTableTest, AnEncryptedTableHasLessRoomPerBlock) {
  TnxServerDataDict plain;
  TnxServerDataDict encrypted;
  encrypted.SetEncryptionEngine(u"nx1xDefault");
  EXPECT_EQ(plain.UsableBlockSize(nxbs4k) - encrypted.UsableBlockSize(nxbs4k),
            TnxBaseEncryptionEngine::ReservedSpacePerBlock(u"nx1xDefault", false, nxbs4k));
  EXPECT_EQ(plain.UsableBlockSize(nxbs4k), 4096u - 4);
}

}  // namespace
}  // namespace revurov::testing

namespace revurov::testing {
namespace {

TEST_F(ServerTableTest, ClosabilityAsRows) {
  auto dict = SampleDictionary(1);
  struct Row {
    const char* what;
    TnxTableScope scope;
    bool anyScope;
    int32_t guard;     // raised by others before the check
    int32_t expected;  // what the caller expects
    bool cursor;
    bool snapshot;
    bool commit;  // another thread commits
    bool closable;
  } rows[] = {
      {"idle persistent", tsPersistent, false, 0, 0, false, false, false, true},
      {"a cursor", tsPersistent, false, 0, 0, true, false, false, false},
      {"snapshot blocks", tsPersistent, false, 0, 0, false, true, false, false},
      {"another closer's guard", tsPersistent, false, 1, 0, false, false, false, false},
      {"the guard the timer expects", tsPersistent, false, 1, 1, false, false, false, true},
      {"a commit under way", tsPersistent, false, 0, 0, false, false, true, false},
      {"global temporary", tsTempGlobal, false, 0, 0, false, false, false, false},
      {"global temporary, any scope", tsTempGlobal, true, 0, 0, false, false, false, true},
      {"database temporary", tsTempDatabase, false, 0, 0, false, false, false, false},
      {"unnamed temporary", tsTempUnnamed, false, 0, 0, false, false, false, true},
  };
  int n = 0;
  for (const Row& r : rows) {
    const std::u16string name = r.scope == tsTempUnnamed ? u"" : u"C" + platform::Utf8ToUtf16(std::to_string(n++));
    TnxServerRootTable* table = Create(name, *dict, u"", r.scope);
    ASSERT_NE(table, nullptr) << r.what;
    table->LockIsInactive().fetch_add(r.guard);
    if (r.cursor) table->srtCursorAdded();
    if (r.snapshot) table->SnapshotBlockCount().fetch_add(1);
    std::thread committer;
    std::atomic<bool> held{false}, release{false};
    if (r.commit) {
      committer = std::thread([&] {
        TnxPadlockGuard guard(table->CommitPadlock());
        held = true;
        while (!release) std::this_thread::yield();
      });
      while (!held) std::this_thread::yield();
    }
    EXPECT_EQ(table->srtCanClose(r.anyScope, false, r.expected), r.closable) << r.what;
    release = true;
    if (committer.joinable()) committer.join();
    if (r.cursor) table->srtCursorRemoved();
    if (r.snapshot) table->SnapshotBlockCount().fetch_sub(1);
    table->LockIsInactive().fetch_sub(r.guard);
    table->Free();
  }
}

TEST_F(ServerTableTest, AFailedOpenLeavesTheTableWithoutFiles) {
  TnxServerRootTable* table = nullptr;
  bool readOnly = false;
  EXPECT_EQ(OpenTable(u"Nowhere", table, readOnly), nxeTableDoesNotExist);
  EXPECT_NE(LastMessage().find("Error opening files for root table \"Nowhere\""), std::string::npos)
      << LastMessage();
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(Folder().TableCount(), 0);
  EXPECT_EQ(engine->TableCount(), 0);
}

}  // namespace
}  // namespace revurov::testing
