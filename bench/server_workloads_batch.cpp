// W1: 10^6 records of 100 bytes (an Int32 key and 96 bytes of data, a
// unique index on the key) loaded in one transaction. Ours: batch inserts
// of 1,000 records each through a table cursor's public operation, the
// transaction started and committed by the caller. SQLite: one prepared
// insert per record between BEGIN and COMMIT (synchronous=FULL, as W5).
// LMDB: one put per record in one write transaction, synced at commit.
// Every repetition loads into a new, empty table; the set-up is not timed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"

namespace {

using namespace revurov;

constexpr int kW1Records = 1000000;
constexpr int kW1Batch = 1000;
constexpr int kW1Data = 96;

[[noreturn]] void Fail(const char* aStep, uint32_t aCode) {
  std::fprintf(stderr, "W1/ours: %s answered %u\n", aStep, unsigned(aCode));
  std::abort();
}

struct TW1Ours {
  TW1Ours() {
    database = server.OpenFolder(folder.path);
    if (!database) std::abort();
    if (uint32_t result = bench::BuildKeyedTable(*database, kW1Data, omReadWrite, 600000, cursor))
      Fail("BuildKeyedTable", result);

    // One batch of records whose keys are rewritten for every batch.
    TnxFieldsDescriptor& fields = cursor->TableDescriptor()->FieldsDescriptor();
    const int32_t length = fields.RecordLength();
    std::vector<uint8_t> record(size_t(length), 0);
    fields.InitRecord(record.data());
    uint8_t data[kW1Data];
    std::memset(data, 7, sizeof data);
    fields.SetRecordField(1, record.data(), data);
    // Clears the key's null flag; the key itself is written per batch.
    const int32_t zero = 0;
    fields.SetRecordField(0, record.data(), &zero);
    keyOffset = fields.FieldDescriptor(0)->Offset();
    uint8_t header[8] = {};
    revurov::platform::StoreLE<int32_t>(header + 4, kW1Batch);
    stream.Write(header, sizeof header);
    uint8_t size[4];
    revurov::platform::StoreLE<int32_t>(size, length);
    for (int i = 0; i < kW1Batch; ++i) {
      records.push_back(stream.GetSize() + 4);
      stream.Write(size, sizeof size);
      stream.Write(record.data(), length);
    }
  }
  ~TW1Ours() {
    cursor->Free();
    database->Free();
  }
  void Load() {
    if (uint32_t result = database->TransactionStart(false, false)) Fail("TransactionStart", result);
    int32_t key = 0;
    for (int b = 0; b < kW1Records / kW1Batch; ++b) {
      for (const int64_t at : records) {
        const int32_t k = key++;
        std::memcpy(stream.ByteArray() + at + keyOffset, &k, sizeof k);
      }
      if (uint32_t result = cursor->RecordInsertBatch(stream)) Fail("RecordInsertBatch", result);
    }
    if (uint32_t result = database->TransactionCommit()) Fail("TransactionCommit", result);
  }

  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = nullptr;
  TnxServerTableCursor* cursor = nullptr;
  TnxMemoryStream stream;
  std::vector<int64_t> records;
  int32_t keyOffset = 0;
};

struct TW1Sqlite {
  TW1Sqlite() {
    insert = peer.Prepare("INSERT INTO t(k, data) VALUES(?, ?)");
    std::memset(data, 7, sizeof data);
  }
  void Load() {
    peer.Exec("BEGIN");
    for (int32_t k = 0; k < kW1Records; ++k) {
      sqlite3_bind_int(insert, 1, k);
      sqlite3_bind_blob(insert, 2, data, kW1Data, SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
      sqlite3_reset(insert);
    }
    peer.Exec("COMMIT");
  }
  bench::TSqlitePeer peer{"PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL"};
  sqlite3_stmt* insert = nullptr;
  uint8_t data[kW1Data];
};

struct TW1Lmdb {
  TW1Lmdb() { std::memset(data, 7, sizeof data); }
  void Load() {
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(peer.Env(), nullptr, 0, &txn) != 0) std::abort();
    for (int32_t k = 0; k < kW1Records; ++k) {
      uint8_t key[4];
      bench::TLmdbPeer::Key(k, key);
      MDB_val kv{sizeof key, key};
      MDB_val v{kW1Data, data};
      if (mdb_put(txn, peer.Dbi(), &kv, &v, 0) != 0) std::abort();
    }
    if (mdb_txn_commit(txn) != 0) std::abort();
  }
  bench::TLmdbPeer peer{0};
  uint8_t data[kW1Data];
};

template <class T>
void RunW1(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto peer = std::make_unique<T>();
    state.ResumeTiming();
    peer->Load();
    state.PauseTiming();
    peer.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(kW1Records) * state.iterations());
}

void W1Ours(benchmark::State& s) { RunW1<TW1Ours>(s); }
void W1Sqlite(benchmark::State& s) { RunW1<TW1Sqlite>(s); }
void W1Lmdb(benchmark::State& s) { RunW1<TW1Lmdb>(s); }

}  // namespace

BENCHMARK(W1Ours)->Name("W1/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W1Sqlite)->Name("W1/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W1Lmdb)->Name("W1/peer:lmdb")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
