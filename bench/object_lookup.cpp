// LookupByID of engine objects against std::unordered_map::find on the same
// 32-bit identities: 10^5 live objects, looked up in a shuffled order on
// one thread.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

#include "engine/extendable_object.h"
#include "lowlevel/startup.h"

namespace {

using namespace revurov;

class BenchObject : public TnxExtendableServerObject {
  REVUROV_SERVER_OBJECT_CLASS(BenchObject, TnxExtendableServerObject)
  BenchObject() : TnxExtendableServerObject(nullptr) {}
};

constexpr int kObjects = 100000;

struct Population {
  Population() {
    nxLowLevelStartup();
    for (int i = 0; i < kObjects; ++i) {
      objects.push_back(nxCreateServerObject<BenchObject>());
      TnxBaseID id = objects.back()->RemoteID();
      map.emplace(id, objects.back().get());
      keys.push_back(id);
    }
    std::shuffle(keys.begin(), keys.end(), std::mt19937(42));
  }
  std::vector<TnxServerObjectPtr<BenchObject>> objects;
  std::unordered_map<uint32_t, void*> map;
  std::vector<uint32_t> keys;
};

Population& Shared() {
  static auto* population = new Population;
  return *population;
}

void LookupOurs(benchmark::State& state) {
  Population& p = Shared();
  size_t i = 0;
  for (auto _ : state) {
    TnxAbstractServerObject* found = nullptr;
    TnxAbstractServerObject::LookupByID(BenchObject::ClassInfo(), 0, p.keys[i], found);
    benchmark::DoNotOptimize(found);
    if (++i == p.keys.size()) i = 0;
  }
}

void LookupPeer(benchmark::State& state) {
  Population& p = Shared();
  size_t i = 0;
  for (auto _ : state) {
    auto it = p.map.find(p.keys[i]);
    void* found = it == p.map.end() ? nullptr : it->second;
    benchmark::DoNotOptimize(found);
    if (++i == p.keys.size()) i = 0;
  }
}

BENCHMARK(LookupOurs)->Name("lookup_by_id/ours");
BENCHMARK(LookupPeer)->Name("lookup_by_id/peer:unordered_map");

}  // namespace

BENCHMARK_MAIN();
