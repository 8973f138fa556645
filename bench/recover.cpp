// Recovering an undamaged table of 10^6 records of 100 bytes (an Int32 key
// and 96 bytes of data, a unique index on the key). Ours: the database's
// TableRecover, timed until its task has finished; every block of the
// table is read from the disk and every record goes into "T_Recovered".
// SQLite: INSERT INTO t2 SELECT * FROM t in one transaction into a new table
// of the same schema (journal_mode=DELETE, synchronous=FULL, a file
// database). REVUROV_RECOVER_RECORDS sets a smaller size for a loaded
// machine. The tables are loaded once; the results are dropped untimed.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/keyed_workload_table.h"
#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "bench/workload_peers.h"
#include "dictionary/fields_descriptor.h"
#include "engine/abstract_task_info.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"

namespace {

using namespace revurov;

constexpr int kBatch = 1000;
constexpr int kData = 96;

int Records() {
  const char* size = std::getenv("REVUROV_RECOVER_RECORDS");
  const int records = size ? std::atoi(size) : 1000000;
  return records >= kBatch ? records / kBatch * kBatch : kBatch;
}

[[noreturn]] void Fail(const char* aStep, uint32_t aCode) {
  std::fprintf(stderr, "recover/ours: %s answered %u\n", aStep, unsigned(aCode));
  std::abort();
}

struct TOurs {
  TOurs() {
    database = server.OpenFolder(folder.path);
    if (!database) std::abort();
    TnxServerTableCursor* cursor = nullptr;
    if (uint32_t result = bench::BuildKeyedTable(*database, kData, omReadWrite, 600000, cursor))
      Fail("BuildKeyedTable", result);
    TnxFieldsDescriptor& fields = cursor->TableDescriptor()->FieldsDescriptor();
    const int32_t length = fields.RecordLength();
    std::vector<uint8_t> record(size_t(length), 0);
    fields.InitRecord(record.data());
    uint8_t data[kData];
    std::memset(data, 7, sizeof data);
    fields.SetRecordField(1, record.data(), data);
    const int32_t zero = 0;
    fields.SetRecordField(0, record.data(), &zero);
    const int32_t keyOffset = fields.FieldDescriptor(0)->Offset();
    TnxMemoryStream stream;
    uint8_t header[8] = {};
    platform::StoreLE<int32_t>(header + 4, kBatch);
    stream.Write(header, sizeof header);
    uint8_t size[4];
    platform::StoreLE<int32_t>(size, length);
    std::vector<int64_t> records;
    for (int i = 0; i < kBatch; ++i) {
      records.push_back(stream.GetSize() + 4);
      stream.Write(size, sizeof size);
      stream.Write(record.data(), length);
    }
    if (uint32_t result = database->TransactionStart(false, false)) Fail("TransactionStart", result);
    int32_t key = 0;
    for (int b = 0; b < Records() / kBatch; ++b) {
      for (const int64_t at : records) {
        std::memcpy(stream.ByteArray() + at + keyOffset, &key, sizeof key);
        ++key;
      }
      if (uint32_t result = cursor->RecordInsertBatch(stream)) Fail("RecordInsertBatch", result);
    }
    if (uint32_t result = database->TransactionCommit()) Fail("TransactionCommit", result);
    cursor->Free();
    // The recovery reads the files: the table is closed so that they hold
    // every block.
    database->Free();
    database = server.OpenFolder(folder.path);
    if (!database) std::abort();
  }
  ~TOurs() { database->Free(); }
  void Run() {
    TnxAbstractTaskInfo* task = nullptr;
    if (uint32_t result = database->TableRecover(u"T", u"", task)) Fail("TableRecover", result);
    TnxTaskStatus status;
    bool completed = false;
    while (!completed) {
      task->GetStatus(completed, status);
      if (!completed) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    task->Free();
    if (status.tsErrorCode != 0) Fail("the task", status.tsErrorCode);
  }
  void Drop() {
    TnxAbstractCursor* cursor = nullptr;
    if (uint32_t result =
            database->CursorOpen(cursor, u"T_Recovered", u"", omReadOnly, smShared, 10000, u"", -1, false, 0, 500,
                                 nullptr))
      Fail("CursorOpen", result);
    uint32_t count = 0;
    cursor->GetRecordCount(count, false);
    cursor->Free();
    if (count != uint32_t(Records())) Fail("the recovered count", count);
    for (const char16_t* name : {u"T_Recovered", u"T_Failed"})
      if (uint32_t result = database->TableDelete(name, u"")) Fail("TableDelete", result);
  }

  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = nullptr;
};

struct TSqlite {
  TSqlite() {
    sqlite3_stmt* insert = peer.Prepare("INSERT INTO t(k, data) VALUES(?, ?)");
    uint8_t data[kData];
    std::memset(data, 7, sizeof data);
    peer.Exec("BEGIN");
    for (int32_t key = 0; key < Records(); ++key) {
      sqlite3_bind_int(insert, 1, key);
      sqlite3_bind_blob(insert, 2, data, kData, SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
      sqlite3_reset(insert);
    }
    peer.Exec("COMMIT");
    Make();
  }
  void Make() { peer.Exec("CREATE TABLE t2(k INTEGER NOT NULL, data BLOB); CREATE UNIQUE INDEX t2k ON t2(k)"); }
  void Run() { peer.Exec("BEGIN; INSERT INTO t2 SELECT * FROM t; COMMIT"); }
  void Drop() {
    peer.Exec("DROP TABLE t2");
    Make();
  }
  bench::TSqlitePeer peer{"PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL"};
};

// Loaded once for every repetition; freed before the library goes.
std::unique_ptr<TOurs> gOurs;
std::unique_ptr<TSqlite> gSqlite;

template <class T>
void RunRecover(benchmark::State& state, std::unique_ptr<T>& peer) {
  if (!peer) peer = std::make_unique<T>();
  for (auto _ : state) {
    peer->Run();
    state.PauseTiming();
    peer->Drop();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(Records()) * state.iterations());
}

void RecoverOurs(benchmark::State& s) { RunRecover(s, gOurs); }
void RecoverSqlite(benchmark::State& s) { RunRecover(s, gSqlite); }

}  // namespace

BENCHMARK(RecoverOurs)->Name("recover/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RecoverSqlite)->Name("recover/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gOurs.reset();
  gSqlite.reset();
  return 0;
}
