// The server database's own table scope ("##" tables in its mapper), its
// table lookup along child paths, its statements through a linked SQL
// engine, and its outside cursor sources.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/database_cursor_source.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/objects/interfaced_object.h"
#include "platform/string_list.h"
#include "server/server_engine.h"
#include "server/table_mapper.h"
#include "support/memory_engine.h"
#include "support/table_ops_fixture.h"
#include "support/test_sql_engine.h"

namespace revurov::testing {
namespace {

using DatabaseTablesTest = TableOpsFixture;

std::vector<std::string> Names(TnxServerDatabase& aDb) {
  platform::TStringList list;
  EXPECT_EQ(aDb.TableGetList(list), 0u);
  std::vector<std::string> names;
  for (int i = 0; i < list.Count(); ++i) names.push_back(platform::Utf16ToUtf8(list[i]));
  return names;
}

TEST_F(DatabaseTablesTest, DatabaseScopeTablesAreSeenOnlyByTheirDatabase) {
  ASSERT_EQ(Build(u"##Mine", u"A", 1), 0u) << LastMessage();
  ASSERT_EQ(Build(u"Shared", u"A", 1), 0u);
  EXPECT_EQ(Build(u"##Mine", u"A", 1), nxeTableAlreadyExists);
  EXPECT_TRUE(db->TableMapper().Contains(u"##MINE"));
  EXPECT_EQ(Names(*db), (std::vector<std::string>{"##Mine", "Shared"}));
  EXPECT_EQ(Files(), (std::vector<std::string>{"Shared.nx1"}));

  TnxAbstractDatabase* other = nullptr;
  ASSERT_EQ(session->DatabaseOpen(other, u"Path", Path(), nullptr, omReadWrite, smShared, 10000), 0u);
  auto& second = *static_cast<TnxServerDatabase*>(other);
  EXPECT_EQ(Names(second), (std::vector<std::string>{"Shared"}));
  bool exists = true;
  EXPECT_EQ(second.TableExists(u"##Mine", u"", exists, false), 0u);
  EXPECT_FALSE(exists);
  EXPECT_EQ(db->TableExists(u"##Mine", u"", exists, false), 0u);
  EXPECT_TRUE(exists);
  TnxDataDictionary dict;
  EXPECT_EQ(db->TableGetDictionary(u"##Mine", u"", &dict), 0u);
  EXPECT_EQ(second.TableGetDictionary(u"##Mine", u"", &dict), nxeTableDoesNotExist);
  other->Free();

  EXPECT_EQ(db->TableRename(u"##Mine", u"##Ours", u""), 0u) << LastMessage();
  EXPECT_EQ(db->TableRename(u"##Ours", u"Shared", u""), nxeTableAlreadyExists);
  EXPECT_EQ(db->TableEmpty(u"##Ours", u""), 0u) << LastMessage();
  EXPECT_EQ(Names(*db), (std::vector<std::string>{"##Ours", "Shared"}));
  const int32_t tables = Folder().TableCount();
  EXPECT_EQ(db->TableDelete(u"##Ours", u""), 0u);
  EXPECT_EQ(Folder().TableCount(), tables - 1);
  ASSERT_EQ(Build(u"##Again", u"A", 1), 0u);
  EXPECT_EQ(Folder().TableCount(), tables);
  // The mapper's last database takes its tables along.
  db->Free();
  db = nullptr;
  TnxAbstractDatabase* third = nullptr;
  ASSERT_EQ(session->DatabaseOpen(third, u"Path", Path(), nullptr, omReadWrite, smShared, 10000), 0u);
  db = static_cast<TnxServerDatabase*>(third);
  EXPECT_EQ(Folder().TableCount(), tables - 1);
  EXPECT_EQ(Names(*db), (std::vector<std::string>{"Shared"}));
}

TEST_F(DatabaseTablesTest, TemporaryGlobalTablesAreListedAndTouchNoFile) {
  ASSERT_EQ(Build(u"<Temp>", u"A", 1), 0u) << LastMessage();
  EXPECT_EQ(Names(*db), (std::vector<std::string>{"<Temp>"}));
  EXPECT_EQ(db->TableRename(u"<Temp>", u"<Other>", u""), 0u);
  EXPECT_EQ(Names(*db), (std::vector<std::string>{"<Other>"}));
  EXPECT_EQ(Files(), std::vector<std::string>{});
  EXPECT_EQ(db->TableDelete(u"<Other>", u""), 0u);
  EXPECT_EQ(Names(*db), std::vector<std::string>{});
}

TEST_F(DatabaseTablesTest, AnInMemoryFolderRefusesPersistentTables) {
  TnxAbstractDatabase* memory = nullptr;
  ASSERT_EQ(session->DatabaseOpen(memory, u"Path", u"#mem", nullptr, omReadWrite, smShared, 10000), 0u);
  auto& mem = *static_cast<TnxServerDatabase*>(memory);
  TnxServerRootTable* table = nullptr;
  auto dict = TaggedDictionary(u"A", 1);
  EXPECT_EQ(mem.Folder()->sfTableCreate(u"P", u"", false, *dict, tsPersistent, table), nxeCapabilityNotSupported);
  EXPECT_NE(LastMessage().find("TableScope tsPersistent is not supported for in-memory database"), std::string::npos);
  // Through the database the scope becomes temporary.
  EXPECT_EQ(mem.TableBuild(false, u"P", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
  EXPECT_EQ(Names(mem), (std::vector<std::string>{"P"}));
  TnxDataDictionary read;
  EXPECT_EQ(mem.TableGetDictionary(u"Q", u"", &read), nxeTableDoesNotExist);
  EXPECT_NE(LastMessage().find(" Root table \"Q\" not found"), std::string::npos) << LastMessage();
  memory->Free();
}

TEST_F(DatabaseTablesTest, ChildPathsAsRows) {
  auto dict = TaggedDictionary(u"A", 1);
  TnxNestedTableDescriptor* lines = dict->TablesDescriptor().AddTable(u"Lines");
  lines->AddRecordDescriptor();
  lines->FieldsDescriptor().AddField(u"Item", u"", nxtInt32, 0, 0, false);
  ASSERT_EQ(db->TableBuild(false, u"Orders", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
  struct Row {
    const char* name;
    std::u16string path;
    uint32_t result;
    bool exists;
    const char* message;
  } rows[] = {
      {"root", u"Orders", 0, true, nullptr},
      {"child", u"Orders:Lines", 0, true, nullptr},
      {"child in other case", u"orders:LINES", 0, true, nullptr},
      {"missing child", u"Orders:Heads", 0, false, nullptr},
      {"missing root", u"Sales:Lines", 0, false, nullptr},
      {"up from the root", u"Orders:..", 0, false, nullptr},
  };
  for (const Row& row : rows) {
    bool exists = !row.exists;
    EXPECT_EQ(db->TableExists(row.path, u"", exists, false), row.result) << row.name;
    EXPECT_EQ(exists, row.exists) << row.name;
  }
  TnxAbstractCursor* cursor = nullptr;
  EXPECT_EQ(db->CursorOpen(cursor, u"Orders:Heads", u"", omReadOnly, smShared, 1000, u"", 0, false, 0, 500, nullptr),
            nxeTableDoesNotExist);
  EXPECT_NE(LastMessage().find("Child table \"Orders:Heads\" not found"), std::string::npos) << LastMessage();
  EXPECT_EQ(db->CursorOpen(cursor, u"Sales", u"", omReadOnly, smShared, 1000, u"", 0, false, 0, 500, nullptr),
            nxeTableDoesNotExist);
  EXPECT_NE(LastMessage().find(" Root table \"Sales\" not found"), std::string::npos) << LastMessage();
  EXPECT_EQ(cursor, nullptr);
}

TEST_F(DatabaseTablesTest, TablesNeedingPackAndTheDictionaryWalk) {
  ASSERT_EQ(Build(u"A", u"A", 1), 0u);
  ASSERT_EQ(Build(u"B", u"B", 1), 0u);
  ASSERT_EQ(Build(u"##C", u"C", 1), 0u);
  std::vector<std::string> seen;
  const TnxIteratorResult last = db->sdIterateDictionaries(
      [&seen](TnxDataDictionary* aDict, std::u16string_view aName, void*) {
        seen.push_back(platform::Utf16ToUtf8(aName) + "/" +
                       platform::Utf16ToUtf8(aDict->FieldsDescriptor().FieldDescriptor(0)->Name()));
        return seen.size() == 2 ? irStop : irContinue;
      },
      false, false, nullptr);
  EXPECT_EQ(last, irStop);
  EXPECT_EQ(seen, (std::vector<std::string>{"##C/C", "A/A"}));
  std::vector<std::u16string> needing;
  db->GetTablesNeedingPack(needing);
  EXPECT_TRUE(needing.empty());
}

// ---- statements ----

class StatementTest : public TableOpsFixture {
protected:
  StatementTest() {
    CloseAll();
    engine->SetSqlEngine(sql.get());
    OpenAll();
  }
  ~StatementTest() override {
    CloseAll();
    engine->SetSqlEngine(nullptr);
  }
  ComponentPtr<TestSqlEngine> sql{new TestSqlEngine(nullptr)};
};

TEST_F(DatabaseTablesTest, WithoutAnSqlEngineStatementsAreRefused) {
  TnxAbstractStatement* statement = reinterpret_cast<TnxAbstractStatement*>(1);
  EXPECT_EQ(db->StatementAlloc(statement, 1000), nxeCapabilityNotSupported);
  EXPECT_EQ(LastMessage(), "An SQL Engine is required");
  EXPECT_EQ(statement, nullptr);
  TnxAbstractCursor* cursor = nullptr;
  TnxStatementExecDirectPhase phase = sedFree;
  EXPECT_EQ(db->StatementExecDirect(1000, stQuery, u"select 1", nullptr, {}, nullptr, cursor, omReadOnly, nullptr,
                                    nullptr, phase),
            nxeCapabilityNotSupported);
  EXPECT_EQ(phase, sedAlloc);
}

TEST_F(StatementTest, ExecDirectFailingAtEachPhaseAnswersItsCodeAndFreesEverything) {
  MemoryEngine memory(nullptr);
  struct Row {
    const char* name;
    TnxStatementExecDirectPhase failAt;
    bool raise;
    bool getParams;
    uint32_t result;
    TnxStatementExecDirectPhase phase;
  } rows[] = {
      {"alloc code", sedAlloc, false, true, 10025, sedAlloc},
      {"alloc raises", sedAlloc, true, true, 10025, sedAlloc},
      {"prepare code", sedPrepare, false, true, 10025, sedPrepare},
      {"prepare raises", sedPrepare, true, true, 10025, sedPrepare},
      {"set params raises", sedSetParams, true, true, 10025, sedSetParams},
      {"exec code", sedExec, false, true, 10025, sedExec},
      {"exec raises", sedExec, true, true, 10025, sedExec},
      {"get params raises", sedGetParams, true, true, 10025, sedGetParams},
      {"no get params stream", sedGetParams, true, false, 0, sedFree},
      {"nothing fails", sedFree, false, true, 0, sedFree},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int32_t executing = -1;
    sql->Script = SqlScript{row.failAt, row.raise, 10025,
                            [&memory](TnxAbstractDatabase* aDb) -> TnxAbstractCursor* {
                              return nxCreateServerObject<MemoryCursor>(aDb, 1000, memory, u"R", nullptr).release();
                            },
                            [&] { executing = engine->ExecutingStatements(); }};
    const int32_t executed = engine->ExecutedStatements();
    TnxAbstractCursor* cursor = nullptr;
    TnxStatementExecDirectPhase phase = sedAlloc;
    TnxBytesStream getStream;
    EXPECT_EQ(db->StatementExecDirect(1000, stQuery, u"q", nullptr, {}, nullptr, cursor, omReadOnly, nullptr,
                                      row.getParams ? &getStream : nullptr, phase),
              row.result);
    EXPECT_EQ(phase, row.phase);
    EXPECT_EQ(engine->ExecutingStatements(), 0);
    if (row.phase >= sedExec) {
      EXPECT_EQ(executing, 1);
    }
    // A statement counts as executed once Exec came back.
    const bool returned = row.phase > sedExec || (row.phase == sedExec && !row.raise);
    EXPECT_EQ(engine->ExecutedStatements(), executed + (returned ? 1 : 0));
    EXPECT_TRUE(db->Statements().empty());
    EXPECT_EQ(cursor != nullptr, row.result == 0);
    if (cursor) cursor->Free();
    EXPECT_TRUE(db->Cursors().empty());
  }
}

TEST_F(StatementTest, AllocHandsOutTheEnginesStatementAndStopPreparesShutdown) {
  TnxAbstractStatement* statement = nullptr;
  ASSERT_EQ(db->StatementAlloc(statement, 1000), 0u);
  ASSERT_NE(statement, nullptr);
  EXPECT_EQ(statement->Database(), db);
  statement->Free();
  sql->Script.FailAt = sedAlloc;
  EXPECT_EQ(db->StatementAlloc(statement, 1000), 10025u);
  EXPECT_EQ(statement, nullptr);
  EXPECT_TRUE(db->Statements().empty());
  const int shutdowns = sql->Shutdowns;
  CloseAll();
  EXPECT_EQ(sql->Shutdowns, shutdowns + 1);
  OpenAll();
}

// ---- cursor sources ----

class TestCursorSource final : public TnxInterfacedObject, public InxDatabaseCursorSource {
public:
  TestCursorSource(MemoryEngine& aMemory, std::u16string aServes, std::vector<std::string>& aLog, std::string aName)
      : csMemory(aMemory), csServes(std::move(aServes)), csLog(aLog), csName(std::move(aName)) {}
  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return TnxInterfacedObject::QueryInterface(iid, obj);
  }
  int32_t AddRef() noexcept override { return TnxInterfacedObject::AddRef(); }
  int32_t Release() noexcept override { return TnxInterfacedObject::Release(); }
  TnxAbstractCursor* CursorOpen(std::u16string_view aTableName) override {
    csLog.push_back(csName);
    if (aTableName != csServes) return nullptr;
    return nxCreateServerObject<MemoryCursor>(Database, 1000, csMemory, std::u16string(aTableName), nullptr)
        .release();
  }
  TnxAbstractDatabase* Database = nullptr;

private:
  MemoryEngine& csMemory;
  std::u16string csServes;
  std::vector<std::string>& csLog;
  std::string csName;
};

TEST_F(DatabaseTablesTest, CursorSourcesAreAskedInOrderAndUnregisterTwice) {
  MemoryEngine memory(nullptr);
  std::vector<std::string> log;
  platform::TInterfacePtr<TestCursorSource> a = platform::TInterfacePtr<TestCursorSource>(
      nxCreate<TestCursorSource>(memory, u"Both", log, "A"));
  platform::TInterfacePtr<TestCursorSource> b = platform::TInterfacePtr<TestCursorSource>(
      nxCreate<TestCursorSource>(memory, u"Both", log, "B"));
  a->Database = db;
  b->Database = db;
  InxDatabaseCursorSourceControl* controlA = nullptr;
  InxDatabaseCursorSourceControl* controlB = nullptr;
  ASSERT_EQ(db->RegisterCursorSource(a.Get(), controlA), 0u);
  ASSERT_EQ(db->RegisterCursorSource(b.Get(), controlB), 0u);
  TnxAbstractCursor* cursor = nullptr;
  EXPECT_EQ(db->CursorOpen(cursor, u"Both", u"", omReadOnly, smShared, 1000, u"", 0, false, 0, 500, nullptr), 0u);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(log, std::vector<std::string>{"A"});
  cursor->Free();
  log.clear();
  EXPECT_EQ(db->CursorOpen(cursor, u"Nobody", u"", omReadOnly, smShared, 1000, u"", 0, false, 0, 500, nullptr),
            nxeTableDoesNotExist);
  EXPECT_EQ(log, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(cursor, nullptr);

  EXPECT_EQ(controlA->Unregister(), 0u);
  EXPECT_EQ(controlA->Unregister(), 0u);
  log.clear();
  EXPECT_EQ(db->CursorOpen(cursor, u"Both", u"", omReadOnly, smShared, 1000, u"", 0, false, 0, 500, nullptr), 0u);
  EXPECT_EQ(log, std::vector<std::string>{"B"});
  cursor->Free();
  controlA->Release();
  EXPECT_EQ(a->RefCount(), 1);

  // The database goes first: B is detached and lets go of its source.
  db->Free();
  db = nullptr;
  EXPECT_EQ(b->RefCount(), 1);
  EXPECT_EQ(controlB->Unregister(), 0u);
  controlB->Release();
}

}  // namespace
}  // namespace revurov::testing
