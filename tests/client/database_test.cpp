#include "client/database.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "client/database_error.h"
#include "client/session.h"
#include "client/trans_context.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "engine/abstract_database.h"
#include "engine/abstract_task_info.h"
#include "engine/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/string_list.h"
#include "support/engine_fixture.h"
#include "support/exception_message.h"
#include "support/scripted_engine.h"
#include "support/u8_text.h"

namespace revurov {
namespace {

using testing::ComponentPtr;
using testing::ScriptedEngine;
using testing::U8;

// The text of the EnxDatabaseError a call raises; "(no exception)" when
// it raises nothing.
std::string Raised(const std::function<void()>& aCall) {
  return U8(testing::MessageOf<EnxDatabaseError>(aCall));
}

// What a failure of code aCode raised for the database reads.
std::string Coded(uint32_t aCode) {
  std::u16string text;
  nxBdeErrorMessage(int32_t(aCode), text);
  return U8(nxFormatComponentCodeMessage(u"nxDatabase", text, aCode));
}

constexpr const char* kNotStarted =
    "RevurOV: nxDatabase: This component must be started when performing this operation. [no error code]";
constexpr const char* kNotInactive =
    "RevurOV: nxDatabase: This component must be inactive when performing this operation. [no error code]";
constexpr const char* kNilList = "RevurOV: nxDatabase: Invalid parameter. [$2702/9986]";

class DatabaseTest : public ::testing::Test {
protected:
  DatabaseTest() {
    engine->Aliases = {{u"Data", u"/srv/data"}, {u"Other", u"/srv/other"}};
    engine->Tables = {u"Customers", u"Orders"};
    session->SetName(u"Session1");
    session->SetServerEngine(engine.get());
    database->SetName(u"nxDatabase");
    database->SetSession(session.get());
    database->SetAliasName(u"Data");
  }

  // A second database of the session on aAlias, named aName.
  ComponentPtr<TnxDatabase> Another(std::u16string_view aName, std::u16string_view aAlias) {
    ComponentPtr<TnxDatabase> other{new TnxDatabase(nullptr)};
    other->SetName(std::u16string(aName));
    other->SetSession(session.get());
    other->SetAliasName(aAlias);
    return other;
  }

  TnxEngineStartupGuard library;
  ComponentPtr<ScriptedEngine> engine{new ScriptedEngine(nullptr)};
  ComponentPtr<TnxSession> session{new TnxSession(nullptr)};
  ComponentPtr<TnxDatabase> database{new TnxDatabase(nullptr)};
};

// ---- opening and closing ----

TEST_F(DatabaseTest, OpeningBringsUpTheSessionAndSendsAliasModesAndTimeout) {
  struct Case {
    const char* what;
    std::u16string aliasName, aliasPath;
    bool readOnly, exclusive;
    int32_t timeout, sessionTimeout;
    const char* type;
    const char* value;
    TnxOpenMode openMode;
    TnxShareMode shareMode;
    uint32_t sent;
  };
  const Case cases[] = {
      {"by alias, defaults", u"Data", u"", false, false, -1, -1, "Name", "Data", omReadWrite, smShared, 10000},
      {"by path, read-only", u"", u"/srv/x/", true, false, -1, 2500, "Path", "/srv/x", omReadOnly, smShared, 2500},
      {"exclusive with its own timeout", u"Data", u"", false, true, 700, 2500, "Name", "Data", omReadWrite,
       smExclusive, 700},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine->Opens.clear();
    session->SetTimeout(c.sessionTimeout);
    if (!c.aliasName.empty()) database->SetAliasName(c.aliasName);
    if (!c.aliasPath.empty()) database->SetAliasPath(c.aliasPath);
    database->SetReadOnly(c.readOnly);
    database->SetExclusive(c.exclusive);
    database->SetTimeout(c.timeout);
    database->SetActive(true);
    EXPECT_TRUE(session->Active());
    ASSERT_EQ(engine->Opens.size(), 1u);
    const auto& open = engine->Opens[0];
    EXPECT_EQ(U8(open.AliasType), c.type);
    EXPECT_EQ(U8(open.Alias), c.value);
    EXPECT_EQ(open.OpenMode, c.openMode);
    EXPECT_EQ(open.ShareMode, c.shareMode);
    EXPECT_EQ(open.Timeout, c.sent);
    EXPECT_EQ(open.Context, nullptr);
    EXPECT_NE(database->AbstractDatabase(), nullptr);
    database->SetActive(false);
    session->SetActive(false);
  }
}

TEST_F(DatabaseTest, OpeningFailures) {
  struct Case {
    const char* what;
    std::function<void(TnxDatabase&)> arrange;
    std::string expected;
  };
  const Case cases[] = {
      {"no session", [](TnxDatabase& d) { d.SetSession(nullptr); }, "RevurOV: nxDatabase: No owning session [no error code]"},
      {"neither alias nor path", [](TnxDatabase& d) { d.SetAliasName(u""); },
       "RevurOV: nxDatabase: AliasName or AliasPath must be specified [no error code]"},
      {"an unknown alias", [](TnxDatabase& d) { d.SetAliasName(u"Nowhere"); },
       "RevurOV: nxDatabase: Unknown database. [$271E/10014]"},
      {"the engine refuses", [this](TnxDatabase&) { engine->Codes[u"DatabaseOpen"] = nxeTableDoesNotExist; },
       Coded(nxeTableDoesNotExist)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ComponentPtr<TnxDatabase> d = Another(u"nxDatabase", u"Data");
    c.arrange(*d);
    EXPECT_EQ(Raised([&] { d->SetActive(true); }), c.expected);
    EXPECT_FALSE(d->Active());
    EXPECT_EQ(d->AbstractDatabase(), nullptr);
    engine->Codes.clear();
  }
  EXPECT_EQ(engine->DatabasesFreed, 0);
}

TEST_F(DatabaseTest, ClosingFreesTheEngineDatabaseAndReopens) {
  database->SetActive(true);
  database->SetActive(false);
  EXPECT_EQ(engine->DatabasesFreed, 1);
  EXPECT_EQ(database->AbstractDatabase(), nullptr);
  EXPECT_TRUE(session->Active());
  database->SetActive(true);
  EXPECT_EQ(engine->Opens.size(), 2u);
  EXPECT_TRUE(database->Active());
}

TEST_F(DatabaseTest, TheSessionGoingDownClosesItsDatabasesAndTransContextsFirst) {
  ComponentPtr<TnxTransContext> context{new TnxTransContext(nullptr)};
  context->SetSession(session.get());
  ComponentPtr<TnxDatabase> inside = Another(u"Inside", u"Other");
  inside->SetTransContext(context.get());
  database->SetActive(true);
  inside->SetActive(true);
  EXPECT_TRUE(context->Active());
  session->SetActive(false);
  EXPECT_FALSE(database->Active());
  EXPECT_FALSE(inside->Active());
  EXPECT_FALSE(context->Active());
  EXPECT_EQ(engine->DatabasesFreed, 2);
  EXPECT_EQ(engine->SessionsFreed, 1);
  // Both went while their engine session was still there.
  EXPECT_EQ(engine->SessionsFreedBeforeEachDatabase, (std::vector<int>{0, 0}));
}

TEST_F(DatabaseTest, ASessionNotificationToCloseClosesTheDatabase) {
  database->SetActive(true);
  session->NotifyDependents(nxn_CloseDatabase, nullptr);
  EXPECT_FALSE(database->Active());
  EXPECT_TRUE(session->Active());
}

TEST_F(DatabaseTest, ExistsOpensAPathOnlyToSee) {
  session->SetActive(true);
  EXPECT_TRUE(database->Exists());  // a known alias
  database->SetAliasName(u"Nowhere");
  EXPECT_FALSE(database->Exists());
  database->SetAliasPath(u"/srv/any");
  EXPECT_TRUE(database->Exists());
  EXPECT_FALSE(database->Active());
  engine->Codes[u"DatabaseOpen"] = nxeUnknownDatabase;
  EXPECT_FALSE(database->Exists());
  database->SetAliasPath(u"");
  EXPECT_FALSE(database->Exists());
}

// ---- properties ----

TEST_F(DatabaseTest, AliasNameAndPathSetters) {
  struct Case {
    const char* what;
    bool active;
    std::function<void(TnxDatabase&)> change;
    const char* raised;
    const char* aliasName;
    const char* aliasPath;
  };
  const Case cases[] = {
      {"a change of case on an active database", true, [](TnxDatabase& d) { d.SetAliasName(u"DATA"); },
       "(no exception)", "DATA", ""},
      {"another name on an active database", true, [](TnxDatabase& d) { d.SetAliasName(u"Other"); }, kNotInactive,
       "Data", ""},
      {"blanks and control characters trimmed", false, [](TnxDatabase& d) { d.SetAliasName(u" \tOther\r\n"); },
       "(no exception)", "Other", ""},
      {"a path empties the name, its trailing slash goes", false,
       [](TnxDatabase& d) { d.SetAliasPath(u"  /srv/data/ "); }, "(no exception)", "", "/srv/data"},
      {"the root keeps its slash", false, [](TnxDatabase& d) { d.SetAliasPath(u"/"); }, "(no exception)", "", "/"},
      {"a name empties the path", false,
       [](TnxDatabase& d) {
         d.SetAliasPath(u"/srv");
         d.SetAliasName(u"Other");
       },
       "(no exception)", "Other", ""},
      {"a path on an active database", true, [](TnxDatabase& d) { d.SetAliasPath(u"/srv"); }, kNotInactive, "Data",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ComponentPtr<TnxDatabase> d = Another(u"nxDatabase", u"Data");
    d->SetActive(c.active);
    EXPECT_EQ(Raised([&] { c.change(*d); }), c.raised);
    EXPECT_EQ(d->Active(), c.active);
    EXPECT_EQ(U8(d->AliasName()), c.aliasName);
    EXPECT_EQ(U8(d->AliasPath()), c.aliasPath);
  }
}

TEST_F(DatabaseTest, OpenModesNeedAnInactiveDatabaseFailSafeDoesNot) {
  database->SetActive(true);
  EXPECT_EQ(Raised([&] { database->SetReadOnly(true); }), kNotInactive);
  EXPECT_EQ(Raised([&] { database->SetExclusive(true); }), kNotInactive);
  EXPECT_EQ(Raised([&] { database->SetSession(nullptr); }), kNotInactive);
  EXPECT_FALSE(database->ReadOnly());
  EXPECT_FALSE(database->Exclusive());
  database->SetFailSafe(true);
  database->StartTransaction();
  EXPECT_TRUE(engine->LastFailSafe);
}

// ---- table operations ----

TEST_F(DatabaseTest, TableNamesAreTheEnginesUnfiltered) {
  engine->TableOrder = {u"Zeta", u"$System", u"alpha"};
  database->SetActive(true);
  platform::TStringList list;
  list.Add(u"left over");
  database->GetTableNames(&list);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(U8(list.Strings(0)), "Zeta");
  EXPECT_EQ(U8(list.Strings(1)), "$System");
  EXPECT_EQ(U8(list.Strings(2)), "alpha");
  // A failing engine leaves no line, old or new.
  engine->Codes = {{u"TableGetList", nxeRecordLocked}};
  EXPECT_EQ(Raised([&] { database->GetTableNames(&list); }), Coded(nxeRecordLocked));
  EXPECT_EQ(list.Count(), 0);
}

TEST_F(DatabaseTest, ListsCheckTheirListThenTheState) {
  platform::TStringList list;
  list.Add(u"kept");
  EXPECT_EQ(Raised([&] { database->GetTableNames(nullptr); }), kNilList);
  EXPECT_EQ(Raised([&] { database->GetChangedTables(nullptr); }), kNilList);
  EXPECT_EQ(Raised([&] { database->GetTableNames(&list); }), kNotStarted);
  EXPECT_EQ(Raised([&] { database->GetChangedTables(&list); }), kNotStarted);
  EXPECT_EQ(list.Count(), 1);
  database->SetActive(true);
  EXPECT_EQ(Raised([&] { database->GetTableNames(nullptr); }), kNilList);
  engine->Changed = {u"Orders"};
  database->GetChangedTables(&list);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(U8(list.Strings(0)), "Orders");
}

TEST_F(DatabaseTest, ArgumentChecksComeBeforeTheEngine) {
  database->SetActive(true);
  ComponentPtr<TnxDatabase> same = Another(u"Same", u"DATA");
  same->SetActive(true);
  ComponentPtr<TnxDatabase> inactive = Another(u"Target", u"Other");
  TnxSession otherSession(nullptr);
  ComponentPtr<TnxDatabase> foreign{new TnxDatabase(nullptr)};
  foreign->SetSession(&otherSession);
  foreign->SetAliasName(u"Other");
  TnxDataDictionary dictionaryObject;
  TnxDataDictionary* dictionary = &dictionaryObject;
  TnxFieldDescriptor* field = dictionary->FieldsDescriptor().AddField(u"F", u"", nxtInt32, 0, 0, false);
  TnxTaskInfoPtr task;
  struct Case {
    const char* what;
    std::function<uint32_t()> call;
    uint32_t code;
  };
  const Case cases[] = {
      {"create: nil dictionary", [&] { return database->CreateTableEx(false, u"T", u"", nullptr, tsPersistent); },
       nxeInvalidParameter},
      {"create: empty name", [&] { return database->CreateTableEx(false, u"", u"", dictionary, tsPersistent); },
       nxeInvalidTableName},
      {"pack: empty name", [&] { return database->PackTableEx(u"", u"", task); }, nxeInvalidTableName},
      {"reindex by name: empty name", [&] { return database->ReIndexTableEx(u"", u"", u"ByName", task); },
       nxeInvalidTableName},
      {"reindex by number: empty name", [&] { return database->ReIndexTableEx(u"", u"", 1, task); },
       nxeInvalidTableName},
      {"restructure: empty name", [&] { return database->RestructureTableEx(u"", u"", dictionary, nullptr, task); },
       nxeInvalidTableName},
      {"restructure: nil dictionary", [&] { return database->RestructureTableEx(u"T", u"", nullptr, nullptr, task); },
       nxeInvalidParameter},
      {"recover: empty name", [&] { return database->RecoverTableEx(u"", u"", task); }, nxeTableDoesNotExist},
      {"recover: invalid name", [&] { return database->RecoverTableEx(u"a;b", u"", task); }, nxeInvalidTableName},
      {"verify: invalid name", [&] { return database->VerifyChecksumTableEx(u"a;b", u"", false, false, task); },
       nxeInvalidTableName},
      {"backup: empty name", [&] { return database->BackupTableEx(u"", u"", same.get(), task); },
       nxeInvalidTableName},
      {"backup: nil target", [&] { return database->BackupTableEx(u"T", u"", nullptr, task); }, nxeInvalidParameter},
      {"backup: another session", [&] { return database->BackupTableEx(u"T", u"", foreign.get(), task); },
       nxeDifferentSessions},
      {"backup: the same alias in other letters", [&] { return database->BackupTableEx(u"T", u"", same.get(), task); },
       nxeSameFolder},
      {"add field: empty name", [&] { return database->AddFieldToTable(u"", u"", field); }, nxeInvalidTableName},
      {"add field: nil field", [&] { return database->AddFieldToTable(u"T", u"", nullptr); }, nxeInvalidParameter},
      {"dictionary: empty name", [&] { return database->GetDataDictionaryEx(u"", u"", nullptr); },
       nxeInvalidTableName},
      {"dictionary: nil dictionary", [&] { return database->GetDataDictionaryEx(u"T", u"", nullptr); },
       nxeInvalidParameter},
      {"stream read: empty name", [&] {
         TnxMemoryStream s;
         return database->TableStreamReadEx(u"", u"", u"S", s);
       },
       nxeTableDoesNotExist},
      {"stream write: system table not allowed", [&] {
         TnxMemoryStream s;
         return database->TableStreamWriteEx(u"$Sys", u"", u"S", s);
       },
       nxeInvalidTableName},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(), c.code);
  }
  EXPECT_TRUE(engine->TableCalls.empty());
  // Raising forms of the same checks.
  // An empty name shows the plain text, not the detail an earlier check
  // left on this thread.
  const std::pair<std::string, std::function<void()>> raising[] = {
      {Coded(nxeInvalidTableName), [&] { database->EmptyTable(u""); }},
      {Coded(nxeInvalidTableName), [&] { database->RenameTable(u"T", u""); }},
      {Coded(nxeInvalidTableName), [&] { database->RenameTable(u"", u"T"); }},
      {"RevurOV: nxDatabase: Invalid table name. \";\" is not a valid character. [$2737/10039]",
       [&] { database->TableExists(u"a;b"); }},
      {"RevurOV: Target: This component must be started when performing this operation. [no error code]",
       [&] { database->BackupTable(u"T", u"", inactive.get()); }},
  };
  for (const auto& [expected, call] : raising) EXPECT_EQ(Raised(call), expected);
  EXPECT_TRUE(engine->TableCalls.empty());
}

TEST_F(DatabaseTest, EmptyNamesThatAskNothing) {
  // Neither needs a started database.
  EXPECT_NO_THROW(database->DeleteTable(u""));
  EXPECT_FALSE(database->TableExists(u""));
  EXPECT_EQ(Raised([&] { database->DeleteTable(u"Customers"); }), kNotStarted);
  EXPECT_EQ(Raised([&] { database->TableExists(u"Customers"); }), kNotStarted);
  EXPECT_TRUE(engine->TableCalls.empty());
}

TEST_F(DatabaseTest, DeletingAMissingTableIsSilent) {
  database->SetActive(true);
  database->DeleteTable(u"Customers");
  database->DeleteTable(u"Customers");
  EXPECT_EQ(engine->TableCalls, (std::vector<std::u16string>{u"TableDelete Customers", u"TableDelete Customers"}));
  EXPECT_EQ(engine->Tables.count(u"Customers"), 0u);
  engine->Codes[u"TableDelete"] = nxeRecordLocked;
  EXPECT_EQ(Raised([&] { database->DeleteTable(u"Orders"); }), Coded(nxeRecordLocked));
}

TEST_F(DatabaseTest, OperationsReachTheEngineWithTheirArguments) {
  database->SetActive(true);
  ComponentPtr<TnxDatabase> target = Another(u"Target", u"Other");
  target->SetActive(true);
  engine->AllowSystem = true;
  TnxTaskInfoPtr task;
  EXPECT_TRUE(database->TableExists(u"Customers"));
  EXPECT_TRUE(engine->LastDatabaseAllowSystem);
  EXPECT_FALSE(database->TableExists(u"Missing"));
  EXPECT_EQ(database->ReIndexTableEx(u"Customers", u"", u"ByName", task), 0u);
  EXPECT_EQ(U8(engine->LastIndexName), "ByName");
  EXPECT_EQ(engine->LastIndexID, -1);
  EXPECT_EQ(database->ReIndexTableEx(u"Customers", u"", 2, task), 0u);
  EXPECT_EQ(U8(engine->LastIndexName), "");
  EXPECT_EQ(engine->LastIndexID, 2);
  EXPECT_EQ(database->BackupTableEx(u"Customers", u"", target.get(), task), 0u);
  EXPECT_EQ(engine->LastBackupTarget, target->AbstractDatabase());
  TnxDataDictionary dictionary;
  EXPECT_EQ(database->GetDataDictionaryEx(u"Customers.nx1", u"", &dictionary), 0u);
  uint32_t autoInc = 0;
  EXPECT_EQ(database->GetAutoIncValue(u"Orders", u"", autoInc), 0u);
  EXPECT_EQ(autoInc, 7u);
  EXPECT_EQ(database->GetFreeDiskSpace(), 123456789);
  EXPECT_EQ(U8(database->GetPath()), "/srv/Data");
  EXPECT_EQ(engine->TableCalls,
            (std::vector<std::u16string>{u"TableExists Customers", u"TableExists Missing",
                                         u"TableRebuildIndex Customers", u"TableRebuildIndex Customers",
                                         u"TableBackup Customers", u"TableGetDictionary Customers",
                                         u"TableAutoIncGet Orders", u"GetFreespace", u"GetPath"}));
}

TEST_F(DatabaseTest, EngineFailuresNameTheDatabaseAndLeaveItOpen) {
  database->SetActive(true);
  struct Case {
    const char* operation;
    std::function<void()> call;
  };
  const Case cases[] = {
      {"TableGetList", [&] {
         platform::TStringList list;
         database->GetTableNames(&list);
       }},
      {"TableEmpty", [&] { database->EmptyTable(u"Customers"); }},
      {"TableRename", [&] { database->RenameTable(u"Customers", u"Clients"); }},
      {"TablePack", [&] { database->PackTable(u"Customers"); }},
      {"TableRecover", [&] { database->RecoverTable(u"Customers"); }},
      {"TableExists", [&] { database->TableExists(u"Customers"); }},
      {"TableChangePassword", [&] { database->ChangePassword(u"Customers", u"a", u"b"); }},
      {"TransactionStart", [&] { database->StartTransaction(); }},
      {"TransactionGetLevel", [&] { database->InTransaction(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.operation);
    engine->Codes = {{std::u16string(c.operation, c.operation + std::char_traits<char>::length(c.operation)),
                      nxeRecordLocked}};
    EXPECT_EQ(Raised(c.call), Coded(nxeRecordLocked));
    EXPECT_TRUE(database->Active());
  }
}

TEST_F(DatabaseTest, OperationsOnAnInactiveDatabaseAskToStart) {
  TnxTaskInfoPtr task;
  const std::function<void()> calls[] = {
      [&] { database->EmptyTable(u"T"); },
      [&] { database->PackTableEx(u"T", u"", task); },
      [&] { database->BackupTableEx(u"T", u"", nullptr, task); },
      [&] { database->StartTransaction(); },
      [&] { database->Commit(); },
      [&] { database->GetPath(); },
      [&] { database->GetFreeDiskSpace(); },
  };
  for (const auto& call : calls) EXPECT_EQ(Raised(call), kNotStarted);
  EXPECT_TRUE(engine->TableCalls.empty());
}

TEST_F(DatabaseTest, BackgroundTasksBelongToTheCaller) {
  engine->GiveTasks = true;
  database->SetActive(true);
  {
    TnxTaskInfoPtr packed = database->PackTable(u"Customers");
    EXPECT_NE(packed, nullptr);
    TnxTaskInfoPtr recovered;
    EXPECT_EQ(database->RecoverTableEx(u"Customers", u"", recovered), 0u);
    EXPECT_NE(recovered, nullptr);
    // An Ex form clears what the holder had first.
    EXPECT_EQ(database->PackTableEx(u"", u"", recovered), nxeInvalidTableName);
    EXPECT_EQ(recovered, nullptr);
    EXPECT_EQ(engine->TasksFreed, 1);
  }
  EXPECT_EQ(engine->TasksFreed, 2);
}

// ---- transactions ----

TEST_F(DatabaseTest, Transactions) {
  EXPECT_FALSE(database->InTransaction());  // inactive: no error
  database->SetActive(true);
  EXPECT_FALSE(database->InTransaction());
  EXPECT_TRUE(database->TryStartTransaction(true));
  EXPECT_TRUE(engine->LastSnapShot);
  EXPECT_TRUE(database->InTransaction());
  EXPECT_FALSE(database->TryStartTransaction());
  database->Commit();
  EXPECT_FALSE(database->InTransaction());
  database->StartTransaction();
  database->Rollback();
  EXPECT_FALSE(database->InTransaction());
  EXPECT_EQ(Raised([&] { database->Commit(); }),
            "RevurOV: nxDatabase: No user transaction is currently in progress. [$2811/10257]");
}

// ---- timeouts and the default ----

TEST_F(DatabaseTest, TimeoutsGoToTheEngineDatabaseInOneBatch) {
  database->SetActive(true);
  engine->DatabaseTimeouts.clear();
  database->SetTimeout(1234);
  EXPECT_EQ(engine->DatabaseTimeouts, (std::vector<uint32_t>{1234}));
  EXPECT_EQ(engine->DatabaseBatchesBegun, 1);
  EXPECT_EQ(engine->DatabaseBatchesEnded, 1);
  // -1 follows the session, inside the session's own batch.
  database->SetTimeout(-1);
  engine->DatabaseTimeouts.clear();
  engine->BatchesBegun = 0;
  session->SetTimeout(4321);
  EXPECT_EQ(engine->DatabaseTimeouts, (std::vector<uint32_t>{4321}));
  EXPECT_EQ(engine->BatchesBegun, 1);
  EXPECT_EQ(engine->BatchesEnded, engine->BatchesBegun);
  database->SetActive(false);
  database->SetTimeout(99);  // nothing open: nothing to tell
  EXPECT_EQ(engine->DatabaseTimeouts.size(), 1u);
}

TEST_F(DatabaseTest, TheDefaultDatabaseOfTheSession) {
  EXPECT_FALSE(database->Default());
  database->SetDefault(true);
  EXPECT_EQ(session->DefaultDatabase(), database.get());
  ComponentPtr<TnxDatabase> other = Another(u"Other", u"Other");
  other->SetDefault(true);
  EXPECT_FALSE(database->Default());
  other.reset();
  EXPECT_EQ(session->DefaultDatabase(), nullptr);
}

TEST_F(DatabaseTest, ACacheDatabaseIsOpenedByItsOwnOperationAndHandedOn) {
  ComponentPtr<TnxCacheDatabase> cache{new TnxCacheDatabase(nullptr)};
  cache->SetSession(session.get());
  cache->SetAliasName(u"Other");
  database->SetCacheDatabase(cache.get());
  // Opening the database brings the cache up first, through its own open.
  database->SetActive(true);
  EXPECT_TRUE(cache->Active());
  EXPECT_EQ(engine->Calls[u"DatabaseCacheOpen"], 1);
  EXPECT_EQ(engine->LastCacheDatabase, cache->AbstractDatabase());
  EXPECT_EQ(Raised([&] { database->SetCacheDatabase(nullptr); }), kNotInactive);
  cache.reset();
  EXPECT_FALSE(database->Active());
  EXPECT_EQ(database->CacheDatabase(), nullptr);
}

}  // namespace
}  // namespace revurov
