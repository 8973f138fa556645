// The cache-keyless B*-tree, which orders equal keys by the cache RefNr in
// each record, on a cache table, against the keyless tree on a plain table
// holding the same 16-byte random keys (each key twice, so ties are met):
// - insert: every record's key filed into the empty index (the records are
//   written beforehand, untimed), in record order;
// - lookup: random point lookups of present keys, FindKey + the record read.
// Both tables keep their records alike (variable, compressed) and run on
// caches large enough for everything.
// Quick size 2 x 10^5 records; REVUROV_LONG_TESTS=1 takes 10^6.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "index/index_engines.h"
#include "index/index_path.h"
#include "index/startup.h"
#include "platform/endian.h"
#include "storage/startup.h"
#include "storage/transactions.h"
#include "support/table_fixture.h"
#include "support/test_size.h"

namespace {

using namespace revurov;

constexpr int32_t kCacheMB = 384;
constexpr int kKey = 16;

int Records() { return revurov::testing::TestSize(200'000, 1'000'000); }

// Record i holds key i / 2: every key twice.
const std::vector<uint8_t>& Keys() {
  static const std::vector<uint8_t> keys = [] {
    std::mt19937_64 random(42);
    std::vector<uint8_t> k(size_t(Records() / 2 + 1) * kKey);
    for (auto& b : k) b = static_cast<uint8_t>(random());
    return k;
  }();
  return keys;
}
const uint8_t* KeyOf(int aRecord) { return &Keys()[size_t(aRecord / 2) * kKey]; }
const std::vector<int>& Order() {
  static const std::vector<int> order = [] {
    std::mt19937 random(7);
    std::vector<int> o(static_cast<size_t>(Records()));
    for (int& i : o) i = static_cast<int>(random() % uint32_t(Records()));
    return o;
  }();
  return order;
}

// The record store a cache table gets: variable records, compressed.
void SameRecordsAsACache(revurov::testing::TTestDataDictionary& aDict) {
  aDict.RemoveRecordDescriptor();
  auto* record =
      static_cast<TnxHeapRecordDescriptor*>(aDict.AddRecordDescriptor(&TnxHeapRecordDescriptor::ClassInfo()));
  record->SetRecordEngine(u"Variable");
  TnxBaseRecordCompressionDescriptor* compression = record->AddRecordCompressionDescriptor();
  compression->SetRecordCompressionEngine(u"Compressor");
  compression->SetCompressType(11);
}

// One table whose "Key" index runs on aEngine; the records are written,
// the index is left empty.
struct TTable {
  explicit TTable(bool aCache)
      : table(revurov::testing::TTableShape{.DataBytes = 80, .KeyBytes = kKey,
                                            .Configure =
                                                [aCache](revurov::testing::TTestDataDictionary& d) {
                                                  auto* indices = d.EnsureIndicesDescriptor();
                                                  if (aCache) d.MakeCacheable(true);
                                                  TnxIndexDescriptor* x = indices->AddIndex(
                                                      u"Key", 0, idAll, u"", &TnxCompKeyDescriptor::ClassInfo());
                                                  static_cast<TnxCompKeyDescriptor*>(x->KeyDescriptor())
                                                      ->Add(d.FieldsDescriptor().GetFieldFromName(u"Key"));
                                                  if (aCache) {
                                                    d.MakeCache(true);
                                                  } else {
                                                    x->SetIndexEngine(u"KeylessBStarTree");
                                                    SameRecordsAsACache(d);
                                                  }
                                                  auto* r = dynamic_cast<TnxHeapRecordDescriptor*>(d.RecordDescriptor());
                                                  if (r && !r->HeapDescriptor())
                                                    r->AddHeapDescriptor()->AddBlockHeapDescriptor();
                                                }},
              kCacheMB) {
    engine = TnxBaseIndicesEngine::CreateEngine(table.Dict(), table.Files(), &table.Records(), &table.Trans(), false);
    table.Commit();
    for (int32_t i = 0; i < engine->IndexCount(); ++i)
      if (engine->Indices(i).IndexName() == u"Key") index = &engine->Indices(i);
    const auto& fields = table.Dict().FieldsDescriptor();
    keyOffset = fields.FieldDescriptor(fields.GetFieldFromName(u"Key"))->Offset();
    int32_t refField = -1;
    if (fields.HasRefNrField(refField)) cacheOffset = fields.FieldDescriptor(refField)->Offset();
    std::vector<uint8_t> record(table.RecordLength(), 7);
    refs.reserve(static_cast<size_t>(Records()));
    for (int i = 0; i < Records(); i += 10000) {
      TnxBaseTransaction trans(table.Storage().BufMgr(), nullptr, false, false);
      for (int j = i; j < std::min(Records(), i + 10000); ++j) {
        std::memcpy(record.data() + keyOffset, KeyOf(j), kKey);
        // Cache RefNrs run against the record order.
        if (cacheOffset >= 0) revurov::platform::StoreU64(record.data() + cacheOffset, uint64_t(Records() - j));
        TnxRefNr ref = 0;
        table.Records().AddRecord(trans, ref, record.data());
        refs.push_back(ref);
      }
      table.Storage().BufMgr().CommitTransaction(&trans, nullptr, false);
    }
    key = index->KeyEngine().AllocKey();
    buffer.assign(table.RecordLength(), 0);
    probe.assign(table.RecordLength(), 7);
    path = index->CreateIndexPath();
  }
  ~TTable() {
    path.reset();
    index->KeyEngine().FreeKey(key);
  }

  void InsertAll() {
    filled = true;
    std::vector<uint8_t> record(table.RecordLength(), 7);
    for (int i = 0; i < Records(); i += 10000) {
      TnxBaseTransaction trans(table.Storage().BufMgr(), nullptr, false, false);
      for (int j = i; j < std::min(Records(), i + 10000); ++j) {
        std::memcpy(record.data() + keyOffset, KeyOf(j), kKey);
        index->KeyEngine().BuildKey(record.data(), key, refs[size_t(j)], true);
        if (!index->InsertKey(trans, key, refs[size_t(j)], cacheOffset >= 0 ? Records() - j : 0, nullptr))
          std::abort();
      }
      table.Storage().BufMgr().CommitTransaction(&trans, nullptr, false);
    }
  }
  int64_t Lookup(int aRecord) {
    std::memcpy(probe.data() + keyOffset, KeyOf(aRecord), kKey);
    index->KeyEngine().BuildKey(probe.data(), key, 0, true);
    if (!index->FindKey(nullptr, key, 0, 0, 0, *path, skaEqualFirst, nullptr)) std::abort();
    table.Records().ReadRecord(nullptr, path->RefNr, buffer.data());
    return buffer[keyOffset];
  }

  TnxStorageStartupGuard storage;
  TnxIndexStartupGuard startup;
  revurov::testing::TTableFixture table;
  std::unique_ptr<TnxBaseIndicesEngine> engine;
  TnxBaseIndexEngine* index = nullptr;
  uint32_t keyOffset = 0;
  int32_t cacheOffset = -1;
  std::vector<TnxRefNr> refs;
  uint8_t* key = nullptr;
  std::vector<uint8_t> buffer;
  std::vector<uint8_t> probe;
  bool filled = false;
  std::unique_ptr<TnxBaseIndexPath> path;
};

std::unique_ptr<TTable> gCache;
std::unique_ptr<TTable> gKeyless;

TTable& Cache() {
  if (!gCache) gCache = std::make_unique<TTable>(true);
  return *gCache;
}
TTable& Keyless() {
  if (!gKeyless) gKeyless = std::make_unique<TTable>(false);
  return *gKeyless;
}

void RunInsert(benchmark::State& state, TTable& (*aTable)()) {
  TTable& t = aTable();
  for (auto _ : state) t.InsertAll();
  state.SetItemsProcessed(Records());
}

void RunLookups(benchmark::State& state, TTable& (*aTable)()) {
  TTable& t = aTable();
  if (!t.filled) t.InsertAll();
  int64_t sink = 0;
  for (int i : Order()) sink += t.Lookup(i);  // warm, before the timed loop
  for (auto _ : state) {
    for (int i : Order()) sink += t.Lookup(i);
    benchmark::DoNotOptimize(sink);
  }
  state.SetItemsProcessed(int64_t(Order().size()));
}

void InsertOurs(benchmark::State& s) { RunInsert(s, Cache); }
void InsertKeyless(benchmark::State& s) { RunInsert(s, Keyless); }
void LookupOurs(benchmark::State& s) { RunLookups(s, Cache); }
void LookupKeyless(benchmark::State& s) { RunLookups(s, Keyless); }

}  // namespace

BENCHMARK(InsertOurs)->Name("insert/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(InsertKeyless)->Name("insert/peer:keyless")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LookupOurs)->Name("lookup/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LookupKeyless)->Name("lookup/peer:keyless")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gCache.reset();
  gKeyless.reset();
  return 0;
}
