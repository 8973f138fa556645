// The block heap under churn: one 8192-byte block with a 16-byte owner
// header. The sequence is fixed in advance by running it once against the
// block (an allocation that finds no room frees the oldest live segment
// first), so both sides replay exactly the same operations.
// - churn/ours: the sequence on the block, from an empty block each pass.
// - churn/peer:glibc: malloc/realloc/free of the same sizes.
// The mean payload fill (live payload bytes / block size) is a counter.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <deque>
#include <random>
#include <vector>

#include "storage/block_heap_engine.h"

namespace {

using namespace revurov;

constexpr uint32_t kBlockBytes = 8192;
constexpr int kOps = 20000;

enum TOpKind : uint8_t { opAlloc, opGrow, opFree };
struct TOp {
  TOpKind kind;
  uint16_t size;  // new size for alloc and grow
  uint32_t item;  // index of the item the op works on
};

struct TSequence {
  std::vector<TOp> ops;
  uint32_t items = 0;
  double fill = 0;
};

const TSequence& Sequence() {
  static const TSequence seq = [] {
    TSequence s;
    TnxNonfragmentingBlockHeapEngine heap(1, 47005, 16, kBlockBytes);
    std::vector<uint8_t> block(kBlockBytes);
    heap.InitBlock(block.data());
    std::mt19937 random(69);
    std::deque<uint32_t> live;  // items, oldest first
    std::vector<TnxSegmentRef> slot;
    std::vector<uint16_t> size;
    uint64_t payload = 0, fillSum = 0;
    while (s.ops.size() < kOps) {
      const uint32_t r = random() % 100;
      if (r < 50 || live.empty()) {
        const uint16_t n = static_cast<uint16_t>(8 + random() % 393);
        TnxSegmentRef seg = 0;
        while (heap.AllocSegment(block.data(), n, seg) == nullptr) {
          const uint32_t victim = live.front();
          live.pop_front();
          heap.FreeSegment(block.data(), slot[victim]);
          payload -= size[victim];
          s.ops.push_back({opFree, 0, victim});
        }
        s.ops.push_back({opAlloc, n, s.items});
        slot.push_back(seg);
        size.push_back(n);
        live.push_back(s.items++);
        payload += n;
      } else if (r < 75) {
        const uint32_t item = live[random() % live.size()];
        const uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(400, size[item] + 1 + random() % 64));
        if (n <= size[item] || heap.ReAllocSegment(block.data(), n, slot[item]) == nullptr) continue;
        payload += n - size[item];
        size[item] = n;
        s.ops.push_back({opGrow, n, item});
      } else {
        const size_t at = random() % live.size();
        const uint32_t item = live[at];
        live.erase(live.begin() + static_cast<long>(at));
        heap.FreeSegment(block.data(), slot[item]);
        payload -= size[item];
        s.ops.push_back({opFree, 0, item});
      }
      fillSum += payload;
    }
    s.fill = static_cast<double>(fillSum) / static_cast<double>(s.ops.size()) / kBlockBytes;
    return s;
  }();
  return seq;
}

void ChurnOurs(benchmark::State& state) {
  const TSequence& seq = Sequence();
  TnxNonfragmentingBlockHeapEngine heap(1, 47005, 16, kBlockBytes);
  std::vector<uint8_t> block(kBlockBytes);
  std::vector<TnxSegmentRef> slot(seq.items);
  for (auto _ : state) {
    heap.InitBlock(block.data());
    for (const TOp& op : seq.ops) {
      switch (op.kind) {
        case opAlloc: benchmark::DoNotOptimize(heap.AllocSegment(block.data(), op.size, slot[op.item])); break;
        case opGrow: benchmark::DoNotOptimize(heap.ReAllocSegment(block.data(), op.size, slot[op.item])); break;
        case opFree: heap.FreeSegment(block.data(), slot[op.item]); break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(seq.ops.size()));
  state.counters["payload_fill"] = seq.fill;
}

void ChurnGlibc(benchmark::State& state) {
  const TSequence& seq = Sequence();
  std::vector<void*> ptr(seq.items, nullptr);
  for (auto _ : state) {
    for (const TOp& op : seq.ops) {
      switch (op.kind) {
        case opAlloc: ptr[op.item] = std::malloc(op.size); break;
        case opGrow: ptr[op.item] = std::realloc(ptr[op.item], op.size); break;
        case opFree: std::free(ptr[op.item]); ptr[op.item] = nullptr; break;
      }
      benchmark::DoNotOptimize(ptr[op.item]);
    }
    for (void*& p : ptr) {
      std::free(p);
      p = nullptr;
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(seq.ops.size()));
}

BENCHMARK(ChurnOurs)->Name("churn/ours");
BENCHMARK(ChurnGlibc)->Name("churn/peer:glibc");

}  // namespace
BENCHMARK_MAIN();
