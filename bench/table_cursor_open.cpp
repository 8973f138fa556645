// CursorOpen of a table that is already open (another cursor keeps it so),
// then the cursor freed, against preparing and finalizing a SELECT of one
// indexed SQLite table whose schema is already loaded.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "engine/abstract_database.h"
#include "server/server_database.h"

namespace {

using namespace revurov;

void CursorOpen_Ours(benchmark::State& state) {
  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = server.OpenFolder(folder.path);
  {
    TnxDataDictionary dict;
    dict.FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, false);
    dict.FieldsDescriptor().AddField(u"Name", u"", nxtWideString, 20, 0, false);
    dict.FilesDescriptor().AddFile(u"ix", nxbs4k, u"Index");
    auto* indices = dict.EnsureIndicesDescriptor();
    static_cast<TnxCompKeyDescriptor*>(
        indices->AddIndex(u"ByID", 1, idNone, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
        ->Add(0);
    indices->SetDefaultIndex(indices->GetIndexFromName(u"ByID"));
    if (database->TableBuild(false, u"T", u"", &dict, tsPersistent, false) != 0) state.SkipWithError("build failed");
  }
  TnxAbstractCursor* keeper = nullptr;
  database->CursorOpen(keeper, u"T", u"", omReadOnly, smShared, 10000, u"", -1, false, 0, 500, nullptr);
  for (auto _ : state) {
    TnxAbstractCursor* cursor = nullptr;
    if (database->CursorOpen(cursor, u"T", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr) !=
        0) {
      state.SkipWithError("open failed");
      break;
    }
    cursor->Free();
  }
  if (keeper) keeper->Free();
  database->Free();
}

void CursorOpen_Sqlite(benchmark::State& state) {
  bench::TempFolder folder;
  const std::string file = (folder.path / "open.db").string();
  sqlite3* db = nullptr;
  sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  sqlite3_exec(db, "CREATE TABLE T (ID INTEGER, Name TEXT)", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "CREATE INDEX TID ON T (ID)", nullptr, nullptr, nullptr);
  const char* sql = "SELECT ID, Name FROM T ORDER BY ID";
  for (auto _ : state) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
      state.SkipWithError("prepare failed");
      break;
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
}

BENCHMARK(CursorOpen_Ours)->Name("table_cursor_open/ours");
BENCHMARK(CursorOpen_Sqlite)->Name("table_cursor_open/peer:sqlite_prepare_finalize");

}  // namespace

BENCHMARK_MAIN();
