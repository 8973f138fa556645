// W6: an index added on an Int32 field of a table holding 10^6 records of
// 40 bytes (Int32 key K, indexed; Int32 V, a permutation of the keys; 32
// bytes of data). Ours: the table cursor's structure change, which fills
// the index from the records and commits fail-safe. SQLite: CREATE INDEX
// on v (synchronous=FULL, journal_mode=DELETE). LMDB: a second database
// filled with every V as key (K as value) in one write transaction, synced
// at commit. The load of each repetition's new table is not timed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

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

constexpr int kW6Records = 1000000;
constexpr int kW6Batch = 1000;
constexpr int kW6Data = 32;

int32_t ValueOf(int32_t aKey) { return int32_t((int64_t(aKey) * 7919) % kW6Records); }

[[noreturn]] void Fail(const char* aStep, uint32_t aCode) {
  std::fprintf(stderr, "W6/ours: %s answered %u\n", aStep, unsigned(aCode));
  std::abort();
}

struct TW6Ours {
  TW6Ours() {
    database = server.OpenFolder(folder.path);
    if (!database) std::abort();
    TnxDataDictionary dict;
    dict.FieldsDescriptor().AddField(u"K", u"", nxtInt32, 0, 0, false);
    dict.FieldsDescriptor().AddField(u"V", u"", nxtInt32, 0, 0, false);
    dict.FieldsDescriptor().AddField(u"Data", u"", nxtByteArray, kW6Data, 0, false);
    auto* indices = dict.EnsureIndicesDescriptor();
    static_cast<TnxCompKeyDescriptor*>(
        indices->AddIndex(u"ByK", 0, idNone, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
        ->Add(0);
    if (uint32_t result = database->TableBuild(false, u"T", u"", &dict, tsPersistent, false))
      Fail("TableBuild", result);
    TnxAbstractCursor* opened = nullptr;
    if (uint32_t result = database->CursorOpen(opened, u"T", u"", omReadWrite, smExclusive, 600000, u"", -1, false,
                                               0, 500, nullptr))
      Fail("CursorOpen", result);
    cursor = static_cast<TnxServerTableCursor*>(opened);
    Load();
    // The new index, held by a dictionary of the same layout.
    newIndex = std::make_unique<TnxDataDictionary>();
    newIndex->RemoveIndicesDescriptor();
    TnxIndexDescriptor* index = newIndex->EnsureIndicesDescriptor()->AddIndex(u"ByV", 0, idAll, u"",
                                                                              &TnxCompKeyDescriptor::ClassInfo());
    static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(1);
    descriptor = index;
  }
  ~TW6Ours() {
    cursor->Free();
    database->Free();
  }
  void Load() {
    TnxFieldsDescriptor& fields = cursor->TableDescriptor()->FieldsDescriptor();
    const int32_t length = fields.RecordLength();
    std::vector<uint8_t> record(size_t(length), 0);
    fields.InitRecord(record.data());
    uint8_t data[kW6Data];
    std::memset(data, 7, sizeof data);
    fields.SetRecordField(2, record.data(), data);
    const int32_t zero = 0;
    fields.SetRecordField(0, record.data(), &zero);
    fields.SetRecordField(1, record.data(), &zero);
    const int32_t keyOffset = fields.FieldDescriptor(0)->Offset();
    const int32_t valueOffset = fields.FieldDescriptor(1)->Offset();
    TnxMemoryStream stream;
    std::vector<int64_t> records;
    uint8_t header[8] = {};
    revurov::platform::StoreLE<int32_t>(header + 4, kW6Batch);
    stream.Write(header, sizeof header);
    uint8_t size[4];
    revurov::platform::StoreLE<int32_t>(size, length);
    for (int i = 0; i < kW6Batch; ++i) {
      records.push_back(stream.GetSize() + 4);
      stream.Write(size, sizeof size);
      stream.Write(record.data(), length);
    }
    if (uint32_t result = database->TransactionStart(false, false)) Fail("TransactionStart", result);
    int32_t key = 0;
    for (int b = 0; b < kW6Records / kW6Batch; ++b) {
      for (const int64_t at : records) {
        const int32_t k = key++;
        const int32_t v = ValueOf(k);
        std::memcpy(stream.ByteArray() + at + keyOffset, &k, sizeof k);
        std::memcpy(stream.ByteArray() + at + valueOffset, &v, sizeof v);
      }
      if (uint32_t result = cursor->RecordInsertBatch(stream)) Fail("RecordInsertBatch", result);
    }
    if (uint32_t result = database->TransactionCommit()) Fail("TransactionCommit", result);
  }
  void AddIndex() {
    if (uint32_t result = cursor->stcAddIndex(descriptor, false)) Fail("stcAddIndex", result);
  }

  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = nullptr;
  TnxServerTableCursor* cursor = nullptr;
  std::unique_ptr<TnxDataDictionary> newIndex;
  TnxIndexDescriptor* descriptor = nullptr;
};

struct TW6Sqlite {
  TW6Sqlite() {
    peer.Exec("CREATE TABLE t2(k INTEGER NOT NULL, v INTEGER NOT NULL, data BLOB); CREATE UNIQUE INDEX t2k ON t2(k)");
    sqlite3_stmt* insert = peer.Prepare("INSERT INTO t2(k, v, data) VALUES(?, ?, ?)");
    uint8_t data[kW6Data];
    std::memset(data, 7, sizeof data);
    peer.Exec("BEGIN");
    for (int32_t k = 0; k < kW6Records; ++k) {
      sqlite3_bind_int(insert, 1, k);
      sqlite3_bind_int(insert, 2, ValueOf(k));
      sqlite3_bind_blob(insert, 3, data, kW6Data, SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
      sqlite3_reset(insert);
    }
    peer.Exec("COMMIT");
  }
  void AddIndex() { peer.Exec("CREATE INDEX t2v ON t2(v)"); }
  bench::TSqlitePeer peer{"PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL"};
};

struct TW6Lmdb {
  TW6Lmdb() {
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(peer.Env(), nullptr, 0, &txn) != 0) std::abort();
    uint8_t value[4 + kW6Data];
    std::memset(value, 7, sizeof value);
    for (int32_t k = 0; k < kW6Records; ++k) {
      uint8_t key[4];
      bench::TLmdbPeer::Key(k, key);
      revurov::platform::StoreLE<int32_t>(value, ValueOf(k));
      MDB_val kv{sizeof key, key};
      MDB_val v{sizeof value, value};
      if (mdb_put(txn, peer.Dbi(), &kv, &v, MDB_APPEND) != 0) std::abort();
    }
    if (mdb_txn_commit(txn) != 0) std::abort();
  }
  // The second database reads every record of the first, as an index
  // build does.
  void AddIndex() {
    MDB_txn* txn = nullptr;
    MDB_dbi second = 0;
    MDB_cursor* cursor = nullptr;
    if (mdb_txn_begin(peer.Env(), nullptr, 0, &txn) != 0 || mdb_dbi_open(txn, "byv", MDB_CREATE, &second) != 0 ||
        mdb_cursor_open(txn, peer.Dbi(), &cursor) != 0)
      std::abort();
    MDB_val kv, v;
    for (int rc = mdb_cursor_get(cursor, &kv, &v, MDB_FIRST); rc == 0; rc = mdb_cursor_get(cursor, &kv, &v, MDB_NEXT)) {
      uint8_t key[4];
      bench::TLmdbPeer::Key(revurov::platform::LoadLE<int32_t>(static_cast<const uint8_t*>(v.mv_data)), key);
      MDB_val sk{sizeof key, key};
      MDB_val sv{kv.mv_size, kv.mv_data};
      if (mdb_put(txn, second, &sk, &sv, 0) != 0) std::abort();
    }
    mdb_cursor_close(cursor);
    if (mdb_txn_commit(txn) != 0) std::abort();
  }
  bench::TLmdbPeer peer{0, size_t{1} << 31};
};

template <class T>
void RunW6(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto peer = std::make_unique<T>();
    state.ResumeTiming();
    peer->AddIndex();
    state.PauseTiming();
    peer.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(kW6Records) * state.iterations());
}

void W6Ours(benchmark::State& s) { RunW6<TW6Ours>(s); }
void W6Sqlite(benchmark::State& s) { RunW6<TW6Sqlite>(s); }
void W6Lmdb(benchmark::State& s) { RunW6<TW6Lmdb>(s); }

}  // namespace

BENCHMARK(W6Ours)->Name("W6/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W6Sqlite)->Name("W6/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W6Lmdb)->Name("W6/peer:lmdb")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
