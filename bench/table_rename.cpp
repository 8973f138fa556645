// Renaming a table back and forth, on a started in-process engine with its
// database open: a table of a few fields with an index file and a BLOB file,
// renamed through the database (its files moved as one step, the new name
// stored inside). The peer renames a table of the same shape (one index,
// one BLOB column) with ALTER TABLE ... RENAME TO in an SQLite file
// database with synchronous=FULL; both in the same run, on files in a
// fresh temporary folder.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "engine/abstract_database.h"
#include "server/server_database.h"

namespace {

using namespace revurov;

void TableRename_Ours(benchmark::State& state) {
  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = server.OpenFolder(folder.path);
  {
    TnxDataDictionary dict;
    dict.FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, false);
    dict.FieldsDescriptor().AddField(u"Name", u"", nxtWideString, 20, 0, false);
    dict.FilesDescriptor().AddFile(u"ix", nxbs4k, u"Index");
    dict.FilesDescriptor().AddFile(u"nxb", nxbs4k, u"BLOBs");
    if (database->TableBuild(false, u"T0", u"", &dict, tsPersistent, false) != 0) state.SkipWithError("build failed");
  }
  bool flip = false;
  for (auto _ : state) {
    const uint32_t result = flip ? database->TableRename(u"T1", u"T0", u"") : database->TableRename(u"T0", u"T1", u"");
    if (result != 0) {
      state.SkipWithError("rename failed");
      break;
    }
    flip = !flip;
  }
  database->Free();
}

void TableRename_Sqlite(benchmark::State& state) {
  bench::TempFolder folder;
  const std::string file = (folder.path / "renamed.db").string();
  sqlite3* db = nullptr;
  sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "CREATE TABLE T0 (ID INTEGER, Name TEXT, Data BLOB)", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "CREATE INDEX T0ID ON T0 (ID)", nullptr, nullptr, nullptr);
  bool flip = false;
  for (auto _ : state) {
    const char* sql = flip ? "ALTER TABLE T1 RENAME TO T0" : "ALTER TABLE T0 RENAME TO T1";
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
      state.SkipWithError("ALTER TABLE failed");
      break;
    }
    flip = !flip;
  }
  sqlite3_close(db);
}

BENCHMARK(TableRename_Ours)->Name("table_rename/ours");
BENCHMARK(TableRename_Sqlite)->Name("table_rename/peer:sqlite");

}  // namespace

BENCHMARK_MAIN();
