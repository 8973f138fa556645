// The indices engine's own cost over its index engines: InsertKeys then
// DeleteKeys of every record, over three multiset indices, against the
// same key building and multiset work done directly.
#include <benchmark/benchmark.h>

#include <memory>
#include <set>
#include <vector>

#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/index_engines.h"
#include "index/startup.h"
#include "platform/endian.h"
#include "storage/startup.h"
#include "support/multiset_index_engine.h"
#include "support/table_fixture.h"

namespace {

using namespace revurov;
using testing::TMultisetEntry;
using testing::TMultisetIndexEngine;

constexpr int64_t kRecords = 1'000'000;

struct World {
  World() : fx(testing::TTableShape{8}) {
    auto* d = fx.Dict().EnsureIndicesDescriptor();
    while (d->IndexCount() > 0) d->RemoveIndex(d->IndexCount() - 1);
    d->AddIndex(u"ByValue", 0, idNone, u"", &TnxInt64KeyDescriptor::ClassInfo())
        ->SetIndexEngine(testing::kMultisetIndexEngine);
    d->AddIndex(u"ByRef", 0, idNone, u"", &TnxRefKeyDescriptor::ClassInfo())
        ->SetIndexEngine(testing::kMultisetIndexEngine);
    d->AddIndex(u"ByValueDups", 0, idAll, u"", &TnxInt64KeyDescriptor::ClassInfo())
        ->SetIndexEngine(testing::kMultisetIndexEngine);
    engine = TnxBaseIndicesEngine::CreateEngine(fx.Dict(), fx.Files(), nullptr, &fx.Trans(), false);
    records.assign(static_cast<size_t>(kRecords) * fx.RecordLength(), 0);
    for (int64_t i = 0; i < kRecords; ++i)
      platform::StoreU64(Record(i), static_cast<uint64_t>((i * 7919) % kRecords));
  }
  uint8_t* Record(int64_t i) { return records.data() + static_cast<size_t>(i) * fx.RecordLength(); }

  TnxStorageStartupGuard storage;
  testing::TTableFixture fx;
  TnxIndexStartupGuard startup;
  testing::TMultisetIndexRegistration registration;
  std::unique_ptr<TnxBaseIndicesEngine> engine;
  std::vector<uint8_t> records;
};

void Ours(benchmark::State& state) {
  World w;
  for (auto _ : state) {
    for (int64_t i = 0; i < kRecords; ++i)
      if (w.engine->InsertKeys(w.fx.Trans(), i + 1, w.Record(i), nullptr) != 0) state.SkipWithError("insert");
    for (int64_t i = 0; i < kRecords; ++i)
      if (w.engine->DeleteKeys(w.fx.Trans(), i + 1, w.Record(i), nullptr) != 0) state.SkipWithError("delete");
  }
}

void Peer(benchmark::State& state) {
  World w;
  std::vector<TnxBaseKeyEngine*> keys;
  std::vector<std::multiset<TMultisetEntry, TMultisetIndexEngine::Less>> sets;
  for (int32_t n = 0; n < 3; ++n) {
    keys.push_back(&w.engine->Indices(n).KeyEngine());
    sets.emplace_back(TMultisetIndexEngine::Less{keys.back()});
  }
  std::vector<uint8_t> key(8);
  for (auto _ : state) {
    for (int64_t i = 0; i < kRecords; ++i)
      for (int32_t n = 0; n < 3; ++n) {
        keys[n]->BuildKey(w.Record(i), key.data(), i + 1, false);
        // The same duplicate test the unique indices make.
        if (n < 2) {
          auto it = sets[n].lower_bound(TMultisetEntry{key, INT64_MIN});
          if (it != sets[n].end() && keys[n]->CompareKey(it->Key.data(), key.data(), 0, 0) == 0)
            state.SkipWithError("duplicate");
        }
        sets[n].insert(TMultisetEntry{key, i + 1});
      }
    for (int64_t i = 0; i < kRecords; ++i)
      for (int32_t n = 0; n < 3; ++n) {
        keys[n]->BuildKey(w.Record(i), key.data(), i + 1, false);
        sets[n].erase(sets[n].find(TMultisetEntry{key, i + 1}));
      }
  }
}

BENCHMARK(Ours)->Name("insert_delete_1e6x3/ours")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Peer)->Name("insert_delete_1e6x3/peer:multiset")->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
