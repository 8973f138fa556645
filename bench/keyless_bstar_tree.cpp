// The keyless B*-tree, whose nodes hold only RefNrs and whose comparisons
// read records, on one table of 100-byte records with a unique 16-byte
// random key indexed twice: by the keyless tree and by the static-key tree
// (built once, not timed; caches matched and warmed by one untimed pass).
// - lookup: random point lookups of present keys, FindKey + the record
//   read; peers the static-key tree and SQLite "SELECT data FROM t WHERE
//   k = ?" on an indexed column;
// - iterate: every entry in key order with its record; peer the static-key
//   tree.
// Counters: index_kib, the index's pages times the block size.
// Quick size 2 x 10^5 records and lookups; REVUROV_LONG_TESTS=1 takes 10^6.
#include <benchmark/benchmark.h>
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
#include "storage/block_access.h"
#include "storage/transactions.h"
#include "support/table_fixture.h"
#include "support/temp_dir.h"
#include "support/test_size.h"

namespace {

using namespace revurov;

constexpr int32_t kCacheMB = 384;
constexpr int kKey = 16;
constexpr int kLength = 100;

int Records() { return revurov::testing::TestSize(200'000, 1'000'000); }
int Lookups() { return Records(); }

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
const std::vector<int>& Order() {
  static const std::vector<int> order = [] {
    std::mt19937 random(7);
    std::vector<int> o(static_cast<size_t>(Lookups()));
    for (int& i : o) i = static_cast<int>(random() % uint32_t(Records()));
    return o;
  }();
  return order;
}

// One table, index 0 keyless, index 1 static-key, over the same field.
struct TTable {
  TTable() : table(revurov::testing::TTableShape{.DataBytes = kLength - kKey - 4, .KeyBytes = kKey}, kCacheMB) {
    auto* indices = table.Dict().EnsureIndicesDescriptor();
    while (indices->IndexCount() > 0) indices->RemoveIndex(indices->IndexCount() - 1);
    for (const char16_t* engineName : {u"KeylessBStarTree", u"nx1xDefault"}) {
      TnxIndexDescriptor* d = indices->AddIndex(std::u16string(u"Key") + engineName, 0, idNone, u"",
                                                &TnxNoNullCompKeyDescriptor::ClassInfo());
      static_cast<TnxCompKeyDescriptor*>(d->KeyDescriptor())->Add(0);
      d->SetIndexEngine(engineName);
      TnxBaseIndexEngine::CheckValidBaseFromDescriptor(*d);
    }
    engine = TnxBaseIndicesEngine::CreateEngine(table.Dict(), table.Files(), &table.Records(), &table.Trans(), false);
    table.Commit();
    record.assign(table.RecordLength(), 7);
    keyOffset = table.Dict().FieldsDescriptor().FieldDescriptor(0)->Offset();
    for (int i = 0; i < Records(); i += 10000) {
      TnxBaseTransaction trans(table.Storage().BufMgr(), nullptr, false, false);
      for (int j = i; j < std::min(Records(), i + 10000); ++j) {
        std::memcpy(record.data() + keyOffset, KeyOf(j), kKey);
        TnxRefNr ref = 0;
        table.Records().AddRecord(trans, ref, record.data());
        if (engine->InsertKeys(trans, ref, record.data(), nullptr) != 0) std::abort();
      }
      table.Storage().BufMgr().CommitTransaction(&trans, nullptr, false);
    }
  }

  TnxIndexStartupGuard startup;
  revurov::testing::TTableFixture table;
  std::unique_ptr<TnxBaseIndicesEngine> engine;
  std::vector<uint8_t> record;
  uint32_t keyOffset = 0;
};

std::unique_ptr<TTable> gTable;

TTable& Table() {
  if (!gTable) gTable = std::make_unique<TTable>();
  return *gTable;
}

// Reads through one of the table's indices.
struct TTree {
  explicit TTree(int32_t aIndex) : index(&Table().engine->Indices(aIndex)) {
    path = index->CreateIndexPath();
    key = index->KeyEngine().AllocKey();
    buffer.assign(Table().table.RecordLength(), 0);
    record = Table().record;
  }
  ~TTree() { index->KeyEngine().FreeKey(key); }
  int64_t Lookup(const uint8_t* aKey) {
    std::memcpy(record.data() + Table().keyOffset, aKey, kKey);
    index->KeyEngine().BuildKey(record.data(), key, 0, true);
    if (!index->FindKey(nullptr, key, 0, 0, 0, *path, skaEqualFirst, nullptr)) std::abort();
    Table().table.Records().ReadRecord(nullptr, path->RefNr, buffer.data());
    return buffer[Table().keyOffset];
  }
  int64_t IterateAll() {
    int64_t sum = 0;
    const uint32_t offset = Table().keyOffset;
    const TnxStorageRecordIterator take = [&](void*, TnxRefNr, PnxRecordBuffer aRecord) {
      sum += aRecord[offset] + 1;
      return rirContinue;
    };
    index->Iterate(nullptr, path.get(), nullptr, nullptr, take, nullptr, {}, {}, nullptr, nullptr, false);
    return sum;
  }
  double IndexKiB() {
    auto header = index->CreateHeaderAccess(nullptr, false, false, 0, 0);
    return double(header->GetIndexPageCount()) * index->IndexFile().fiBlockSizeBytes() / 1024.0;
  }

  TnxBaseIndexEngine* index;
  std::unique_ptr<TnxBaseIndexPath> path;
  std::vector<uint8_t> buffer;
  std::vector<uint8_t> record;
  uint8_t* key = nullptr;
};

struct TSqlite {
  TSqlite() {
    db = OpenKeyedSqliteTable(dir.Path("bench.db"), kCacheMB, Records(), kKey, kLength - kKey, KeyOf);
    sqlite3_prepare_v2(db, "SELECT data FROM t WHERE k = ?", -1, &lookup, nullptr);
  }
  ~TSqlite() {
    sqlite3_finalize(lookup);
    sqlite3_close(db);
  }
  int64_t Lookup(const uint8_t* aKey) {
    sqlite3_bind_blob(lookup, 1, aKey, kKey, SQLITE_STATIC);
    if (sqlite3_step(lookup) != SQLITE_ROW) std::abort();
    const int64_t v = static_cast<const uint8_t*>(sqlite3_column_blob(lookup, 0))[kLength - kKey - 1];
    sqlite3_reset(lookup);
    return v;
  }
  revurov::testing::TempDir dir;
  sqlite3* db = nullptr;
  sqlite3_stmt* lookup = nullptr;
};

std::unique_ptr<TTree> gKeyless;
std::unique_ptr<TTree> gStatic;
std::unique_ptr<TSqlite> gSqlite;

TTree& Keyless() {
  if (!gKeyless) gKeyless = std::make_unique<TTree>(0);
  return *gKeyless;
}
TTree& Static() {
  if (!gStatic) gStatic = std::make_unique<TTree>(1);
  return *gStatic;
}
TSqlite& Sqlite() {
  if (!gSqlite) gSqlite = std::make_unique<TSqlite>();
  return *gSqlite;
}

template <class F>
void RunLookups(benchmark::State& state, F aPeer) {
  auto& peer = aPeer();
  int64_t sink = 0;
  for (int i : Order()) sink += peer.Lookup(KeyOf(i));  // warm, before the timed loop
  for (auto _ : state) {
    for (int i : Order()) sink += peer.Lookup(KeyOf(i));
    benchmark::DoNotOptimize(sink);
  }
  state.SetItemsProcessed(int64_t(Order().size()));
}

void RunIterate(benchmark::State& state, TTree& (*aTree)()) {
  TTree& tree = aTree();
  int64_t sink = tree.IterateAll();  // warm, before the timed loop
  for (auto _ : state) {
    sink += tree.IterateAll();
    benchmark::DoNotOptimize(sink);
  }
  state.counters["index_kib"] = tree.IndexKiB();
  state.SetItemsProcessed(Records());
}

void LookupOurs(benchmark::State& s) { RunLookups(s, Keyless); }
void LookupStatic(benchmark::State& s) { RunLookups(s, Static); }
void LookupSqlite(benchmark::State& s) { RunLookups(s, Sqlite); }
void IterateOurs(benchmark::State& s) { RunIterate(s, Keyless); }
void IterateStatic(benchmark::State& s) { RunIterate(s, Static); }

}  // namespace

BENCHMARK(LookupOurs)->Name("lookup/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LookupStatic)->Name("lookup/peer:static_key")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LookupSqlite)->Name("lookup/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(IterateOurs)->Name("iterate/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(IterateStatic)->Name("iterate/peer:static_key")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gKeyless.reset();
  gStatic.reset();
  gSqlite.reset();
  gTable.reset();
  return 0;
}
