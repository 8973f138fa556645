// Opening a table from its files and closing it again, on a started
// in-process engine with its database open: a table of 20 fields, 5
// indices and its BLOBs in a file of their own. The peer opens an SQLite
// database whose one table has the same shape (20 columns, one a BLOB, 5
// indices), prepares a SELECT on it and closes; both in the same run, on
// files in a fresh temporary folder.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "engine/abstract_database.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_table.h"

namespace {

using namespace revurov;

constexpr int kFields = 20;
constexpr int kIndices = 5;

void Shape(TnxDataDictionary& aDict) {
  TnxFieldsDescriptor& fields = aDict.FieldsDescriptor();
  for (int i = 0; i < kFields - 1; ++i)
    fields.AddField(u"F" + platform::Utf8ToUtf16(std::to_string(i)), u"", i % 2 ? nxtInt32 : nxtWideString, 20, 0,
                    false);
  fields.AddField(u"Picture", u"", nxtBlob, 0, 0, false);
  aDict.FilesDescriptor().AddFile(u"nxb", nxbs4k, u"BLOBs");
  auto* blob = static_cast<TnxHeapBlobDescriptor*>(aDict.AddBlobDescriptor());
  blob->SetFileNumber(1);
  blob->AddHeapDescriptor()->AddBlockHeapDescriptor();
  auto* indices = aDict.EnsureIndicesDescriptor();
  for (int i = 0; i < kIndices; ++i)
    static_cast<TnxCompKeyDescriptor*>(indices
                                           ->AddIndex(u"I" + platform::Utf8ToUtf16(std::to_string(i)), 0, idAll,
                                                      u"", &TnxCompKeyDescriptor::ClassInfo())
                                           ->KeyDescriptor())
        ->Add(i);
}

void TableOpen_Ours(benchmark::State& state) {
  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = server.OpenFolder(folder.path);
  TnxServerFolder& tables = *static_cast<TnxServerDatabase*>(database)->Folder();
  {
    TnxDataDictionary dict;
    Shape(dict);
    TnxServerRootTable* table = nullptr;
    if (tables.sfTableCreate(u"Shaped", u"", false, dict, tsPersistent, table) != 0) {
      state.SkipWithError("create failed");
    } else {
      table->Free();
    }
  }
  for (auto _ : state) {
    TnxServerRootTable* table = nullptr;
    bool readOnly = false;
    if (tables.sfTableOpen(u"Shaped", {}, omReadWrite, smShared, true, table, readOnly) != 0 ||
        table->FileCount() != 2) {
      state.SkipWithError("open failed");
      break;
    }
    table->Free();
  }
  database->Free();
}

void TableOpen_Sqlite(benchmark::State& state) {
  bench::TempFolder folder;
  const std::string file = (folder.path / "shaped.db").string();
  {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::string create = "CREATE TABLE Shaped (";
    for (int i = 0; i < kFields - 1; ++i) {
      create += "F";
      create += std::to_string(i);
      create += i % 2 ? " INTEGER, " : " TEXT, ";
    }
    create += "Picture BLOB)";
    sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr);
    for (int i = 0; i < kIndices; ++i) {
      std::string index = "CREATE INDEX I";
      index += std::to_string(i);
      index += " ON Shaped (F";
      index += std::to_string(i);
      index += ")";
      sqlite3_exec(db, index.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_close(db);
  }
  for (auto _ : state) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      state.SkipWithError("sqlite3_open_v2 failed");
      break;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT * FROM Shaped", -1, &statement, nullptr) != SQLITE_OK) {
      state.SkipWithError("prepare failed");
      sqlite3_close(db);
      break;
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
  }
}

BENCHMARK(TableOpen_Ours)->Name("table_open_close/ours");
BENCHMARK(TableOpen_Sqlite)->Name("table_open_close/peer:sqlite");

}  // namespace

BENCHMARK_MAIN();
