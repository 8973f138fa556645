// One short transaction that locks two tables and changes nothing: ours
// starts a transaction through a session's transaction context, takes a
// shared table lock on one table and an exclusive one on another, and
// commits (the exclusive table goes through its commit padlock and content
// portal). SQLite runs BEGIN, a one-row SELECT by key on one table, an
// UPDATE by key of a row that does not exist on the other, and COMMIT, with
// prepared statements on a file database in the same folder kind. Both in
// the same process, one after the other.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_engine.h"
#include "server/server_folder.h"
#include "server/server_session.h"
#include "server/server_table.h"
#include "server/server_trans_context.h"
#include "server/startup.h"
#include "support/temp_dir.h"
#include "support/trans_link_request.h"

namespace {

using namespace revurov;

struct TOurs {
  TnxServerStartupGuard Library;
  testing::TempDir Dir;
  TnxServerEngine* Engine = new TnxServerEngine(nullptr);
  TnxServerSession* Session = nullptr;
  TnxServerDatabase* Database = nullptr;
  TnxServerRootTable* Shared = nullptr;
  TnxServerRootTable* Exclusive = nullptr;
  TnxServerTransContext* Context = nullptr;

  TOurs() {
    TnxServerEngineReadings readings;
    readings.TotalMemory = [](uint64_t& aBytes) {
      aBytes = uint64_t{8192} << 20;
      return true;
    };
    readings.DiskFree = [](std::u16string_view, uint64_t&) { return false; };
    readings.MaxFileSize = [](std::u16string_view) { return int64_t{0}; };
    readings.TempDirectory = [] { return std::u16string(u"/tmp/"); };
    Engine->SetReadings(readings);
    Engine->SetMaxRAM(16);
    Engine->SetActive(true);
    TnxAbstractServerObject* session = nullptr;
    Engine->SessionOpen(session, u"user", u"", u"bench", 10000);
    Session = static_cast<TnxServerSession*>(session);
    TnxAbstractDatabase* database = nullptr;
    Session->DatabaseOpen(database, u"Path", platform::Utf8ToUtf16(Dir.Dir()), nullptr, omReadWrite, smShared,
                          10000);
    Database = static_cast<TnxServerDatabase*>(database);
    TnxDataDictionary dict;
    dict.FieldsDescriptor().AddField(u"Value", u"", nxtInt32, 0, 0, false);
    Database->Folder()->sfTableCreate(u"Reads", u"", false, dict, tsPersistent, Shared);
    Database->Folder()->sfTableCreate(u"Writes", u"", false, dict, tsPersistent, Exclusive);
    TnxAbstractTransContext* context = nullptr;
    Session->TransContextCreate(context, 10000);
    Context = static_cast<TnxServerTransContext*>(context);
  }
  ~TOurs() {
    Context->Free();
    platform::TComponent::Free(Engine);
  }
  bool Run() {
    if (Context->TransactionStart(false, false) != 0) return false;
    TnxServerTransaction& trans = *Context->stcTransaction();
    const bool ok = testing::TableLink(trans, *Shared, false) == 0 && testing::TableLink(trans, *Exclusive, true) == 0;
    return Context->TransactionCommit() == 0 && ok;
  }
};

struct TSqlite {
  testing::TempDir Dir;
  sqlite3* Db = nullptr;
  sqlite3_stmt* Begin = nullptr;
  sqlite3_stmt* Select = nullptr;
  sqlite3_stmt* Update = nullptr;
  sqlite3_stmt* Commit = nullptr;

  TSqlite() {
    sqlite3_open(Dir.Path("bench.db").c_str(), &Db);
    sqlite3_exec(Db,
                 "CREATE TABLE reads(id INTEGER PRIMARY KEY, v INTEGER);"
                 "CREATE TABLE writes(id INTEGER PRIMARY KEY, v INTEGER);"
                 "INSERT INTO reads VALUES(1, 1); INSERT INTO writes VALUES(1, 1);",
                 nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(Db, "BEGIN", -1, &Begin, nullptr);
    sqlite3_prepare_v2(Db, "SELECT v FROM reads WHERE id = 1", -1, &Select, nullptr);
    sqlite3_prepare_v2(Db, "UPDATE writes SET v = v + 1 WHERE id = 2", -1, &Update, nullptr);
    sqlite3_prepare_v2(Db, "COMMIT", -1, &Commit, nullptr);
  }
  ~TSqlite() {
    for (sqlite3_stmt* s : {Begin, Select, Update, Commit}) sqlite3_finalize(s);
    sqlite3_close(Db);
  }
  static bool Step(sqlite3_stmt* aStatement, int aExpected) {
    const int rc = sqlite3_step(aStatement);
    sqlite3_reset(aStatement);
    return rc == aExpected;
  }
  bool Run() {
    return Step(Begin, SQLITE_DONE) && Step(Select, SQLITE_ROW) && Step(Update, SQLITE_DONE) &&
           Step(Commit, SQLITE_DONE);
  }
};

void Ours(benchmark::State& state) {
  TOurs ours;
  for (auto _ : state)
    if (!ours.Run()) state.SkipWithError("transaction failed");
}

void Sqlite(benchmark::State& state) {
  TSqlite sqlite;
  for (auto _ : state)
    if (!sqlite.Run()) state.SkipWithError("transaction failed");
}

BENCHMARK(Ours)->Name("lock_two_tables_commit_nothing/ours");
BENCHMARK(Sqlite)->Name("lock_two_tables_commit_nothing/peer:sqlite");

}  // namespace

BENCHMARK_MAIN();
