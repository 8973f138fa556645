// DatabaseOpen by path plus TableGetList on a folder of 1,000 table files
// and freeing the database, on a started in-process engine, against
// sqlite3_open_v2 plus "SELECT name FROM sqlite_master" on a database of
// 1,000 tables and sqlite3_close; both in the same run, on files in a
// fresh temporary folder.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "engine/abstract_database.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace {

using namespace revurov;

constexpr int kTables = 1000;

std::string TableName(int aNumber) {
  char name[16];
  std::snprintf(name, sizeof name, "T%04d", aNumber);
  return name;
}

void DatabaseOpen_Ours(benchmark::State& state) {
  bench::TempFolder folder;
  std::filesystem::create_directories(folder.path / "tables");
  for (int i = 0; i < kTables; ++i) std::ofstream(folder.path / "tables" / (TableName(i) + ".nx1"));
  bench::TServerBenchEngine server;
  const std::u16string path = platform::Utf8ToUtf16((folder.path / "tables").string());
  for (auto _ : state) {
    TnxAbstractDatabase* database = nullptr;
    platform::TStringList list;
    if (server.OpenDatabase(path, database) != 0 ||
        database->TableGetList(list) != 0 || list.Count() != kTables) {
      state.SkipWithError("DatabaseOpen or TableGetList failed");
      break;
    }
    database->Free();
  }
}

void DatabaseOpen_Sqlite(benchmark::State& state) {
  bench::TempFolder folder;
  std::filesystem::create_directories(folder.path / "tables");
  const std::string file = (folder.path / "tables.db").string();
  {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < kTables; ++i)
      sqlite3_exec(db, ("CREATE TABLE " + TableName(i) + " (a INTEGER)").c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  for (auto _ : state) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      state.SkipWithError("sqlite3_open_v2 failed");
      break;
    }
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master", -1, &statement, nullptr);
    int rows = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_text(statement, 0));
      ++rows;
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    if (rows != kTables) {
      state.SkipWithError("wrong row count");
      break;
    }
  }
}

BENCHMARK(DatabaseOpen_Ours)->Name("database_open_list/ours");
BENCHMARK(DatabaseOpen_Sqlite)->Name("database_open_list/peer:sqlite");

}  // namespace

BENCHMARK_MAIN();
