// Reads of the server workloads, on one table of 10^6 records of about 100
// bytes (a unique Int32 key and 96 bytes of data), loaded once per peer.
//
// W2: 10^6 random point reads by key. Ours: the cursor's public key read
// (RecordGetForKey, first match). SQLite: a prepared lookup by the indexed
// key. LMDB: mdb_get in one read transaction.
// W3: 10^4 range reads of 100 records from a random key. Ours: SetToKey
// then one RecordGetBatch of at most 100 records. SQLite: k >= ? ORDER BY k
// LIMIT 100. LMDB: a cursor set on the key, then 99 steps.
// W4: a full scan. Ours: RecordGetBatch in batches of 512 KB from the
// start to the end. SQLite: a full SELECT. LMDB: a cursor walk.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <type_traits>
#include <vector>

#include "bench/keyed_workload_table.h"
#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "bench/workload_peers.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "engine/batch_stream.h"
#include "server/buffer_calls.h"
#include "server/server_database.h"
#include "server/server_engine.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "storage/sub_engines.h"
#include "storage/transactions.h"

namespace {

using namespace revurov;

constexpr int32_t kRecords = 1000000;
constexpr int kPointReads = 1000000;
constexpr int kRanges = 10000;
constexpr int kRangeLength = 100;
constexpr int kData = 96;

std::vector<int32_t> Keys(int aCount, int32_t aBelow, unsigned aSeed) {
  std::mt19937 random(aSeed);
  std::vector<int32_t> keys(static_cast<size_t>(aCount));
  for (int32_t& k : keys) k = int32_t(random() % uint32_t(aBelow));
  return keys;
}

struct TReadOurs {
  TReadOurs() {
    database = static_cast<TnxServerDatabase*>(server.OpenFolder(folder.path));
    if (!database) std::abort();
    if (bench::BuildKeyedTable(*database, kData, omReadOnly, 100000, cursor) != 0) std::abort();
    TnxFieldsDescriptor& fields = cursor->TableDescriptor()->FieldsDescriptor();
    record.assign(size_t(fields.RecordLength()) + 8, 0);
    fields.InitRecord(record.data());
    read = record;
    // Loaded through the engines, in one transaction.
    TnxServerBaseTable* table = cursor->Table();
    TnxBufferManager& bm = *database->Folder()->Engine().BufferManager();
    TnxBaseTransaction trans(bm, nullptr, false, false);
    uint8_t data[kData];
    for (int32_t k = 0; k < kRecords; ++k) {
      fields.SetRecordField(0, record.data(), &k);
      std::memset(data, k & 0xFF, kData);
      fields.SetRecordField(1, record.data(), data);
      TnxRefNr refNr = 0;
      table->RecordEngine()->AddRecord(trans, refNr, record.data());
      if (table->IndicesEngine()->InsertKeys(trans, refNr, record.data(), nullptr) != 0) std::abort();
    }
    nxsrCommit(bm, trans);
  }
  ~TReadOurs() {
    delete access;
    cursor->Free();
    database->Free();
  }
  int64_t PointRead(int32_t aKey) {
    cursor->TableDescriptor()->FieldsDescriptor().SetRecordField(0, record.data(), &aKey);
    if (cursor->RecordGetForKey(1, 0, false, record.data(), read.data(), true, true) != 0) std::abort();
    return read[5];
  }
  int64_t Range(int32_t aKey) {
    cursor->TableDescriptor()->FieldsDescriptor().SetRecordField(0, record.data(), &aKey);
    if (cursor->SetToKey(skaGreaterEqual, 1, 0, false, record.data()) != 0) std::abort();
    if (cursor->RecordGetBatch(-1, 0, access, kRangeLength, true) != 0) std::abort();
    return access->Count();
  }
  int64_t Scan() {
    int64_t count = 0;
    cursor->SetToBegin();
    for (;;) {
      if (cursor->RecordGetBatch(0x80000, 0, access, 0, true) != 0) std::abort();
      count += access->Count();
      if (access->InnerError() != 0) return count;
    }
  }
  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxServerDatabase* database = nullptr;
  TnxServerTableCursor* cursor = nullptr;
  TnxBatchStreamAccess* access = nullptr;
  std::vector<uint8_t> record;
  std::vector<uint8_t> read;
};

struct TReadSqlite {
  TReadSqlite() {
    peer.Exec("BEGIN");
    sqlite3_stmt* insert = peer.Prepare("INSERT INTO t(k, data) VALUES(?, ?)");
    uint8_t data[kData];
    for (int32_t k = 0; k < kRecords; ++k) {
      std::memset(data, k & 0xFF, kData);
      sqlite3_bind_int(insert, 1, k);
      sqlite3_bind_blob(insert, 2, data, kData, SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
      sqlite3_reset(insert);
    }
    peer.Exec("COMMIT");
    lookup = peer.Prepare("SELECT data FROM t WHERE k = ?");
    range = peer.Prepare("SELECT k, data FROM t WHERE k >= ? ORDER BY k LIMIT 100");
    scan = peer.Prepare("SELECT k, data FROM t");
  }
  int64_t PointRead(int32_t aKey) {
    sqlite3_bind_int(lookup, 1, aKey);
    if (sqlite3_step(lookup) != SQLITE_ROW) std::abort();
    const int64_t v = static_cast<const uint8_t*>(sqlite3_column_blob(lookup, 0))[1];
    sqlite3_reset(lookup);
    return v;
  }
  int64_t Walk(sqlite3_stmt* aStatement) {
    int64_t count = 0;
    while (sqlite3_step(aStatement) == SQLITE_ROW) {
      count += sqlite3_column_int(aStatement, 0) & 1;
      count += static_cast<const uint8_t*>(sqlite3_column_blob(aStatement, 1))[0] != 0;
    }
    sqlite3_reset(aStatement);
    return count;
  }
  int64_t Range(int32_t aKey) {
    sqlite3_bind_int(range, 1, aKey);
    return Walk(range);
  }
  int64_t Scan() { return Walk(scan); }
  bench::TSqlitePeer peer{"PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=OFF"};
  sqlite3_stmt* lookup = nullptr;
  sqlite3_stmt* range = nullptr;
  sqlite3_stmt* scan = nullptr;
};

struct TReadLmdb {
  TReadLmdb() {
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(peer.Env(), nullptr, 0, &txn) != 0) std::abort();
    uint8_t data[kData];
    for (int32_t k = 0; k < kRecords; ++k) {
      std::memset(data, k & 0xFF, kData);
      uint8_t key[4];
      bench::TLmdbPeer::Key(k, key);
      MDB_val mk{sizeof key, key};
      MDB_val mv{kData, data};
      if (mdb_put(txn, peer.Dbi(), &mk, &mv, MDB_APPEND) != 0) std::abort();
    }
    if (mdb_txn_commit(txn) != 0) std::abort();
  }
  // One read transaction per timed run.
  void Begin() {
    if (mdb_txn_begin(peer.Env(), nullptr, MDB_RDONLY, &txn) != 0) std::abort();
  }
  void End() { mdb_txn_abort(txn); }
  int64_t PointRead(int32_t aKey) {
    uint8_t key[4];
    bench::TLmdbPeer::Key(aKey, key);
    MDB_val mk{sizeof key, key};
    MDB_val mv;
    if (mdb_get(txn, peer.Dbi(), &mk, &mv) != 0) std::abort();
    return static_cast<const uint8_t*>(mv.mv_data)[1];
  }
  int64_t Range(int32_t aKey) {
    uint8_t key[4];
    bench::TLmdbPeer::Key(aKey, key);
    MDB_val mk{sizeof key, key};
    MDB_val mv;
    MDB_cursor* cursor = nullptr;
    if (mdb_cursor_open(txn, peer.Dbi(), &cursor) != 0) std::abort();
    int64_t count = 0;
    for (int rc = mdb_cursor_get(cursor, &mk, &mv, MDB_SET_RANGE); rc == 0 && count < kRangeLength;
         rc = mdb_cursor_get(cursor, &mk, &mv, MDB_NEXT))
      count += 1 + (static_cast<const uint8_t*>(mv.mv_data)[0] == 0xFF);
    mdb_cursor_close(cursor);
    return count;
  }
  int64_t Scan() {
    MDB_val mk, mv;
    MDB_cursor* cursor = nullptr;
    if (mdb_cursor_open(txn, peer.Dbi(), &cursor) != 0) std::abort();
    int64_t count = 0;
    for (int rc = mdb_cursor_get(cursor, &mk, &mv, MDB_FIRST); rc == 0; rc = mdb_cursor_get(cursor, &mk, &mv, MDB_NEXT))
      count += 1 + (static_cast<const uint8_t*>(mv.mv_data)[0] == 0xFF);
    mdb_cursor_close(cursor);
    return count;
  }
  bench::TLmdbPeer peer{MDB_NOSYNC, size_t{1} << 31};
  MDB_txn* txn = nullptr;
};

std::unique_ptr<TReadOurs> gOurs;
std::unique_ptr<TReadSqlite> gSqlite;
std::unique_ptr<TReadLmdb> gLmdb;

void FreeAll() {
  gOurs.reset();
  gSqlite.reset();
  gLmdb.reset();
}

// Loaded once for all runs; freed at exit, before whatever the load made.
template <class T>
T& Peer(std::unique_ptr<T>& aPeer) {
  if (!aPeer) {
    aPeer = std::make_unique<T>();
    static const bool registered = std::atexit(&FreeAll) == 0;
    (void)registered;
  }
  return *aPeer;
}

template <class T>
void Begin(T& aPeer) {
  if constexpr (std::is_same_v<T, TReadLmdb>) aPeer.Begin();
}
template <class T>
void End(T& aPeer) {
  if constexpr (std::is_same_v<T, TReadLmdb>) aPeer.End();
}

template <class T>
void RunW2(benchmark::State& state, std::unique_ptr<T>& aPeer) {
  T& peer = Peer(aPeer);
  const std::vector<int32_t> keys = Keys(kPointReads, kRecords, 2);
  int64_t sum = 0;
  for (auto _ : state) {
    Begin(peer);
    for (int32_t k : keys) sum += peer.PointRead(k);
    End(peer);
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(int64_t(kPointReads) * state.iterations());
}

template <class T>
void RunW3(benchmark::State& state, std::unique_ptr<T>& aPeer) {
  T& peer = Peer(aPeer);
  const std::vector<int32_t> keys = Keys(kRanges, kRecords - kRangeLength, 3);
  int64_t sum = 0;
  for (auto _ : state) {
    Begin(peer);
    for (int32_t k : keys) sum += peer.Range(k);
    End(peer);
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(int64_t(kRanges) * state.iterations());
}

template <class T>
void RunW4(benchmark::State& state, std::unique_ptr<T>& aPeer) {
  T& peer = Peer(aPeer);
  int64_t sum = 0;
  for (auto _ : state) {
    Begin(peer);
    sum += peer.Scan();
    End(peer);
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(int64_t(kRecords) * state.iterations());
}

void W2Ours(benchmark::State& s) { RunW2(s, gOurs); }
void W2Sqlite(benchmark::State& s) { RunW2(s, gSqlite); }
void W2Lmdb(benchmark::State& s) { RunW2(s, gLmdb); }
void W3Ours(benchmark::State& s) { RunW3(s, gOurs); }
void W3Sqlite(benchmark::State& s) { RunW3(s, gSqlite); }
void W3Lmdb(benchmark::State& s) { RunW3(s, gLmdb); }
void W4Ours(benchmark::State& s) { RunW4(s, gOurs); }
void W4Sqlite(benchmark::State& s) { RunW4(s, gSqlite); }
void W4Lmdb(benchmark::State& s) { RunW4(s, gLmdb); }

}  // namespace

BENCHMARK(W2Ours)->Name("W2/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W2Sqlite)->Name("W2/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W2Lmdb)->Name("W2/peer:lmdb")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W3Ours)->Name("W3/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W3Sqlite)->Name("W3/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W3Lmdb)->Name("W3/peer:lmdb")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W4Ours)->Name("W4/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W4Sqlite)->Name("W4/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W4Lmdb)->Name("W4/peer:lmdb")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
