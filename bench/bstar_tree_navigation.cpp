// Reading through the B*-tree: a table of 100-byte records with a unique
// 16-byte random key, built once per peer (not timed), caches matched and
// warmed by one untimed pass:
// - lookup: random point lookups of present keys; ours FindKey + the
//   record read, SQLite "SELECT data FROM t WHERE k = ?" on an indexed
//   column, LMDB mdb_get of key -> RefNr;
// - scan: 100 keys and their records in key order from a random start;
//   ours a ranged Iterate, SQLite "... WHERE k >= ? ORDER BY k LIMIT 100".
// Quick size 2 x 10^5 records and lookups (10^4 scans); REVUROV_LONG_TESTS=1
// takes 10^6 records and lookups (10^5 scans).
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/sqlite_keyed_table.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/index_engines.h"
#include "index/index_path.h"
#include "index/startup.h"
#include "storage/transactions.h"
#include "support/table_fixture.h"
#include "support/test_size.h"

namespace {

using namespace revurov;

constexpr int32_t kCacheMB = 256;
constexpr int kKey = 16;
constexpr int kLength = 100;
constexpr int kScan = 100;

int Records() { return revurov::testing::TestSize(200'000, 1'000'000); }
int Lookups() { return Records(); }
int Scans() { return revurov::testing::TestSize(10'000, 100'000); }

const std::vector<uint8_t>& Keys() {
  static const std::vector<uint8_t> keys = [] {
    std::mt19937_64 random(42);
    std::vector<uint8_t> k(size_t(Records()) * kKey);
    for (auto& b : k) b = static_cast<uint8_t>(random());
    return k;
  }();
  return keys;
}
const uint8_t* KeyOf(int aIndex) { return &Keys()[size_t(aIndex) * kKey]; }
// Which keys the lookups and scans start from, the same for every peer.
const std::vector<int>& Order(int aCount) {
  static std::vector<int> order;
  if (order.size() != size_t(aCount)) {
    std::mt19937 random(7);
    order.resize(size_t(aCount));
    for (int& i : order) i = static_cast<int>(random() % uint32_t(Records()));
  }
  return order;
}

struct TOurs {
  TOurs() : table(revurov::testing::TTableShape{.DataBytes = kLength - kKey - 4, .KeyBytes = kKey}, kCacheMB) {
    auto* indices = table.Dict().EnsureIndicesDescriptor();
    while (indices->IndexCount() > 0) indices->RemoveIndex(indices->IndexCount() - 1);
    TnxIndexDescriptor* d = indices->AddIndex(u"Key", 0, idNone, u"", &TnxNoNullCompKeyDescriptor::ClassInfo());
    static_cast<TnxCompKeyDescriptor*>(d->KeyDescriptor())->Add(0);
    engine = TnxBaseIndicesEngine::CreateEngine(table.Dict(), table.Files(), &table.Records(), &table.Trans(), false);
    table.Commit();
    record.assign(table.RecordLength(), 7);
    buffer.assign(table.RecordLength(), 0);
    keyOffset = table.Dict().FieldsDescriptor().FieldDescriptor(0)->Offset();
    for (int i = 0; i < Records(); i += 10000) {
      TnxBaseTransaction trans(table.Storage().BufMgr(), nullptr, false, false);
      for (int j = i; j < std::min(Records(), i + 10000); ++j) {
        std::memcpy(record.data() + keyOffset, KeyOf(j), kKey);
        TnxRefNr ref = 0;
        table.Records().AddRecord(trans, ref, record.data());
        engine->InsertKeys(trans, ref, record.data(), nullptr);
      }
      table.Storage().BufMgr().CommitTransaction(&trans, nullptr, false);
    }
    index = &engine->Indices(0);
    path = index->CreateIndexPath();
    key = index->KeyEngine().AllocKey();
  }
  ~TOurs() { index->KeyEngine().FreeKey(key); }
  // The index key of the record key aKey.
  void MakeKey(const uint8_t* aKey) {
    std::memcpy(record.data() + keyOffset, aKey, kKey);
    index->KeyEngine().BuildKey(record.data(), key, 0, true);
  }
  int64_t Lookup(const uint8_t* aKey) {
    MakeKey(aKey);
    if (!index->FindKey(nullptr, key, 0, 0, 0, *path, skaEqualFirst, nullptr)) std::abort();
    table.Records().ReadRecord(nullptr, path->RefNr, buffer.data());
    return buffer[keyOffset];
  }
  int64_t Scan(const uint8_t* aKey) {
    MakeKey(aKey);
    int seen = 0;
    int64_t sum = 0;
    const TnxStorageRecordIterator take = [&](void*, TnxRefNr, PnxRecordBuffer aRecord) {
      sum += aRecord[keyOffset];
      return ++seen == kScan ? rirStop : rirContinue;
    };
    index->Iterate(nullptr, path.get(), nullptr, nullptr, take, nullptr, {key, 0, 0, false, true}, {}, nullptr,
                   nullptr, false);
    return sum + seen;
  }

  TnxIndexStartupGuard startup;
  revurov::testing::TTableFixture table;
  std::unique_ptr<TnxBaseIndicesEngine> engine;
  TnxBaseIndexEngine* index = nullptr;
  std::unique_ptr<TnxBaseIndexPath> path;
  std::vector<uint8_t> record;
  std::vector<uint8_t> buffer;
  uint32_t keyOffset = 0;
  uint8_t* key = nullptr;
};

struct TSqlite {
  TSqlite() {
    db = OpenKeyedSqliteTable(dir.Path("bench.db"), kCacheMB, Records(), kKey, kLength - kKey, KeyOf);
    sqlite3_prepare_v2(db, "SELECT data FROM t WHERE k = ?", -1, &lookup, nullptr);
    sqlite3_prepare_v2(db, "SELECT k, data FROM t WHERE k >= ? ORDER BY k LIMIT 100", -1, &scan, nullptr);
  }
  ~TSqlite() {
    sqlite3_finalize(lookup);
    sqlite3_finalize(scan);
    sqlite3_close(db);
  }
  int64_t Lookup(const uint8_t* aKey) {
    sqlite3_bind_blob(lookup, 1, aKey, kKey, SQLITE_STATIC);
    if (sqlite3_step(lookup) != SQLITE_ROW) std::abort();
    const int64_t v = static_cast<const uint8_t*>(sqlite3_column_blob(lookup, 0))[kLength - kKey - 1];
    sqlite3_reset(lookup);
    return v;
  }
  int64_t Scan(const uint8_t* aKey) {
    sqlite3_bind_blob(scan, 1, aKey, kKey, SQLITE_STATIC);
    int64_t sum = 0;
    int seen = 0;
    while (sqlite3_step(scan) == SQLITE_ROW) {
      sum += static_cast<const uint8_t*>(sqlite3_column_blob(scan, 0))[0];
      sqlite3_column_blob(scan, 1);
      ++seen;
    }
    sqlite3_reset(scan);
    return sum + seen;
  }
  revurov::testing::TempDir dir;
  sqlite3* db = nullptr;
  sqlite3_stmt* lookup = nullptr;
  sqlite3_stmt* scan = nullptr;
};

struct TLmdb {
  TLmdb() {
    mdb_env_create(&env);
    mdb_env_set_mapsize(env, size_t{1} << 30);
    mdb_env_open(env, dir.Dir().c_str(), MDB_NOSYNC, 0644);
    MDB_txn* txn = nullptr;
    mdb_txn_begin(env, nullptr, 0, &txn);
    mdb_dbi_open(txn, nullptr, 0, &dbi);
    for (int i = 0; i < Records(); ++i) {
      int64_t ref = i + 1;
      MDB_val k{kKey, const_cast<uint8_t*>(KeyOf(i))};
      MDB_val v{sizeof ref, &ref};
      mdb_put(txn, dbi, &k, &v, MDB_NOOVERWRITE);
    }
    mdb_txn_commit(txn);
    mdb_txn_begin(env, nullptr, MDB_RDONLY, &read);
  }
  ~TLmdb() {
    mdb_txn_abort(read);
    mdb_env_close(env);
  }
  int64_t Lookup(const uint8_t* aKey) {
    MDB_val k{kKey, const_cast<uint8_t*>(aKey)};
    MDB_val v;
    if (mdb_get(read, dbi, &k, &v) != 0) std::abort();
    return static_cast<const uint8_t*>(v.mv_data)[0];
  }
  revurov::testing::TempDir dir;
  MDB_env* env = nullptr;
  MDB_dbi dbi = 0;
  MDB_txn* read = nullptr;
};

std::unique_ptr<TOurs> gOurs;
std::unique_ptr<TSqlite> gSqlite;
std::unique_ptr<TLmdb> gLmdb;

template <class T>
T& Peer(std::unique_ptr<T>& aPeer) {
  if (!aPeer) {
    aPeer = std::make_unique<T>();
    int64_t sink = 0;
    for (int i : Order(Lookups())) sink += aPeer->Lookup(KeyOf(i));
    benchmark::DoNotOptimize(sink);
  }
  return *aPeer;
}

template <class T>
void RunLookups(benchmark::State& state, std::unique_ptr<T>& aPeer) {
  const std::vector<int>& order = Order(Lookups());
  for (auto _ : state) {
    state.PauseTiming();
    T& peer = Peer(aPeer);
    state.ResumeTiming();
    int64_t sink = 0;
    for (int i : order) sink += peer.Lookup(KeyOf(i));
    benchmark::DoNotOptimize(sink);
  }
  state.SetItemsProcessed(int64_t(order.size()));
}

template <class T>
void RunScans(benchmark::State& state, std::unique_ptr<T>& aPeer) {
  std::mt19937 random(11);
  for (auto _ : state) {
    state.PauseTiming();
    T& peer = Peer(aPeer);
    state.ResumeTiming();
    int64_t sink = 0;
    for (int i = 0; i < Scans(); ++i) sink += peer.Scan(KeyOf(int(random() % uint32_t(Records()))));
    benchmark::DoNotOptimize(sink);
  }
}

void LookupOurs(benchmark::State& s) { RunLookups(s, gOurs); }
void LookupSqlite(benchmark::State& s) { RunLookups(s, gSqlite); }
void LookupLmdb(benchmark::State& s) { RunLookups(s, gLmdb); }
void ScanOurs(benchmark::State& s) { RunScans(s, gOurs); }
void ScanSqlite(benchmark::State& s) { RunScans(s, gSqlite); }

}  // namespace

BENCHMARK(LookupOurs)->Name("lookup/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LookupSqlite)->Name("lookup/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LookupLmdb)->Name("lookup/peer:lmdb")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ScanOurs)->Name("scan/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ScanSqlite)->Name("scan/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gOurs.reset();
  gSqlite.reset();
  gLmdb.reset();
  return 0;
}
