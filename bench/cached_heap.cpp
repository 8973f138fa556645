// 10^5 heap allocations of 20-300 bytes (fixed random sizes, each filled)
// in one transaction on a fresh heap, against glibc malloc of the same
// sizes. Setting up the heap, and rolling back / freeing afterwards, are
// outside the timing.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "storage/cached_heap_engine.h"
#include "storage/header_access.h"
#include "support/table_fixture.h"

namespace {

using namespace revurov;

constexpr int kAllocs = 100'000;

const std::vector<uint16_t>& Sizes() {
  static const std::vector<uint16_t> sizes = [] {
    std::mt19937 random(70);
    std::vector<uint16_t> v(kAllocs);
    for (auto& s : v) s = static_cast<uint16_t>(20 + random() % 281);
    return v;
  }();
  return sizes;
}

void AllocOurs(benchmark::State& state) {
  testing::TTableFixture table({}, 256);
  TnxBaseHeapDescriptor descriptor(nullptr);
  descriptor.AddBlockHeapDescriptor();
  const std::vector<uint16_t>& sizes = Sizes();
  std::vector<uint8_t> payload(300, 0x5A);
  for (auto _ : state) {
    state.PauseTiming();
    auto header = table.Access().HeaderAccess(&table.Trans(), true);
    const uint16_t section = header->RegisterHeaderSection("Heap", 24, true, false);
    header.reset();
    auto heap = TnxBaseHeapEngine::CreateEngine(&descriptor, table.Access(),
                                                std::make_unique<TnxSegmentedBlobHeapHeaderHandler>(section));
    state.ResumeTiming();
    for (uint16_t size : sizes) {
      const void* p[] = {payload.data()};
      const uint16_t s[] = {size};
      benchmark::DoNotOptimize(heap->AllocSegment(table.Trans(), p, s));
    }
    state.PauseTiming();
    heap.reset();
    table.Rollback();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kAllocs);
}

void AllocGlibc(benchmark::State& state) {
  const std::vector<uint16_t>& sizes = Sizes();
  std::vector<uint8_t> payload(300, 0x5A);
  std::vector<void*> blocks(sizes.size());
  for (auto _ : state) {
    for (size_t i = 0; i < sizes.size(); ++i) {
      blocks[i] = std::malloc(sizes[i]);
      std::memcpy(blocks[i], payload.data(), sizes[i]);
    }
    benchmark::DoNotOptimize(blocks.data());
    state.PauseTiming();
    for (void* b : blocks) std::free(b);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kAllocs);
}

BENCHMARK(AllocOurs)->Name("alloc/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(AllocGlibc)->Name("alloc/peer:glibc")->Unit(benchmark::kMillisecond);

}  // namespace
BENCHMARK_MAIN();
