// W7: packing a table of N records (default 10^6; REVUROV_W7_RECORDS
// overrides) of 100 bytes (an Int32 key with a unique index, 96 bytes of
// data) of which every second one was deleted. Ours: the database's
// TablePack, run to its end. SQLite: VACUUM; LMDB: a compacting copy
// (mdb_env_copy2 with MDB_CP_COMPACT) into an empty folder.
// W9: restructuring the same N records (none deleted) to add an Int32
// field and widen the data from 96 to 120 bytes. Ours: TableRestructure
// with a mapping by name. SQLite: a table rebuild in one transaction (new
// table, INSERT ... SELECT, drop, rename, index again).
// Every repetition works on a freshly loaded table; the load is not timed.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>
#include <type_traits>
#include <vector>

#include "bench/keyed_workload_table.h"
#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "bench/workload_peers.h"
#include "dictionary/fields_descriptor.h"
#include "engine/abstract_task_info.h"
#include "fieldmap/table_mapper_descriptor.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"

namespace {

using namespace revurov;

constexpr int kBatch = 1000;
constexpr int kData = 96;
constexpr int kWideData = 120;

int Records() {
  static const int records = [] {
    const char* text = std::getenv("REVUROV_W7_RECORDS");
    const int value = text ? std::atoi(text) : 0;
    return value >= kBatch ? value / kBatch * kBatch : 1000000;
  }();
  return records;
}

[[noreturn]] void Fail(const char* aStep, uint32_t aCode) {
  std::fprintf(stderr, "W7/W9 ours: %s answered %u\n", aStep, unsigned(aCode));
  std::abort();
}

uint32_t RunTask(TnxAbstractTaskInfo* aTask) {
  TnxTaskStatus status;
  bool completed = false;
  while (!completed) {
    aTask->GetStatus(completed, status);
    if (!completed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  aTask->Free();
  return status.tsErrorCode;
}

struct TOurs {
  explicit TOurs(bool aDeleteHalf) {
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
    if (aDeleteHalf) {
      if (uint32_t result = database->TransactionStart(false, false)) Fail("TransactionStart", result);
      cursor->SetToBegin();
      for (int i = 0; cursor->RecordGetNext(nxltNoLock, record.data()) == 0; ++i)
        if (i % 2 == 0)
          if (uint32_t result = cursor->RecordDelete(nullptr, 0)) Fail("RecordDelete", result);
      if (uint32_t result = database->TransactionCommit()) Fail("TransactionCommit", result);
    }
    // The table may not be in use while it is copied.
    cursor->Free();
  }
  ~TOurs() { database->Free(); }
  void Pack() {
    TnxAbstractTaskInfo* task = nullptr;
    if (uint32_t result = database->TablePack(u"T", u"", task)) Fail("TablePack", result);
    if (uint32_t result = RunTask(task)) Fail("pack task", result);
  }
  void Restructure() {
    TnxDataDictionary old;
    if (uint32_t result = database->TableGetDictionary(u"T", u"", &old)) Fail("TableGetDictionary", result);
    TnxDataDictionary wide;
    wide.Assign(&old);
    wide.FieldsDescriptor().RemoveField(1);
    wide.FieldsDescriptor().AddField(u"Data", u"", nxtByteArray, kWideData, 0, false);
    wide.FieldsDescriptor().AddField(u"Extra", u"", nxtInt32, 0, 0, false);
    TnxTableMapperDescriptor mapping;
    mapping.MapAllTablesAndFieldsByName(old, wide, dlaFail);
    TnxAbstractTaskInfo* task = nullptr;
    if (uint32_t result = database->TableRestructure(u"T", u"", &wide, &mapping, false, task))
      Fail("TableRestructure", result);
    if (uint32_t result = RunTask(task)) Fail("restructure task", result);
  }

  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = nullptr;
};

struct TSqlite {
  explicit TSqlite(bool aDeleteHalf) {
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
    if (aDeleteHalf) peer.Exec("DELETE FROM t WHERE k % 2 = 0");
  }
  void Pack() { peer.Exec("VACUUM"); }
  void Restructure() {
    peer.Exec(
        "BEGIN; CREATE TABLE t2(k INTEGER NOT NULL, data BLOB, extra INTEGER);"
        "INSERT INTO t2(k, data, extra) SELECT k, data, NULL FROM t; DROP TABLE t; ALTER TABLE t2 RENAME TO t;"
        "CREATE UNIQUE INDEX tk ON t(k); COMMIT");
  }
  bench::TSqlitePeer peer{"PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL"};
};

struct TLmdb {
  TLmdb() {
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(peer.Env(), nullptr, 0, &txn) != 0) std::abort();
    uint8_t data[kData];
    std::memset(data, 7, sizeof data);
    for (int32_t key = 0; key < Records(); ++key) {
      uint8_t k[4];
      bench::TLmdbPeer::Key(key, k);
      MDB_val mk{sizeof k, k}, mv{sizeof data, data};
      if (mdb_put(txn, peer.Dbi(), &mk, &mv, MDB_APPEND) != 0) std::abort();
    }
    for (int32_t key = 0; key < Records(); key += 2) {
      uint8_t k[4];
      bench::TLmdbPeer::Key(key, k);
      MDB_val mk{sizeof k, k};
      if (mdb_del(txn, peer.Dbi(), &mk, nullptr) != 0) std::abort();
    }
    if (mdb_txn_commit(txn) != 0) std::abort();
  }
  void Pack() {
    if (mdb_env_copy2(peer.Env(), copy.path.string().c_str(), MDB_CP_COMPACT) != 0) std::abort();
  }
  bench::TLmdbPeer peer{0, size_t{4} << 30};
  bench::TempFolder copy;
};

template <class T, bool kHalf, void (T::*kWork)()>
void Run(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<T> peer;
    if constexpr (std::is_constructible_v<T, bool>)
      peer = std::make_unique<T>(kHalf);
    else
      peer = std::make_unique<T>();
    state.ResumeTiming();
    ((*peer).*kWork)();
    state.PauseTiming();
    peer.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(Records()) * state.iterations());
}

}  // namespace

BENCHMARK(Run<TOurs, true, &TOurs::Pack>)->Name("W7/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Run<TSqlite, true, &TSqlite::Pack>)
    ->Name("W7/peer:sqlite")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(Run<TLmdb, true, &TLmdb::Pack>)->Name("W7/peer:lmdb")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Run<TOurs, false, &TOurs::Restructure>)
    ->Name("W9/ours")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(Run<TSqlite, false, &TSqlite::Restructure>)
    ->Name("W9/peer:sqlite")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
