// 10^5 block operations in one transaction:
// - alloc/ours: alternating allocations and releases, each through a header
//   accessor of its own as an engine takes one;
// - alloc/peer:addblock: AddBlock of 10^5 new blocks on the buffer manager
//   alone, the floor of any allocation.
#include "storage/header_access.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "storage/block_access.h"
#include "storage/buffer_manager.h"
#include "storage/files.h"
#include "storage/transactions.h"
#include "support/storage_fixture.h"

namespace {

using namespace revurov;

constexpr int kOperations = 100000;

TnxBlockNumber LoadBlockNumber(const uint8_t* aBlock) {
  TnxBlockNumber n;
  std::memcpy(&n, aBlock + 4, 4);
  return n;
}

struct TTable {
  TTable() : file(fx.Open(fx.MakeTable("bench.nx2", nxbs4k, 1))), access(file, nullptr, u"bench", 0) {}
  testing::TStorageFixture fx{256};
  TnxBaseFile& file;
  TnxBlockAccess access;
};

void AllocOurs(benchmark::State& state) {
  TTable table;
  TnxBufferManager& bm = table.fx.BufMgr();
  for (auto _ : state) {
    TnxBaseTransaction trans(bm, nullptr, false, false);
    TnxBlockNumber last = 0;
    for (int i = 0; i < kOperations; ++i) {
      auto header = table.access.HeaderAccess(&trans, true);
      TnxBlockGuard block;
      if (i % 2 == 0) {
        block.Hold(header->GetNewBlock(trans, 1, block.ReleaseMethod()));
        std::memcpy(block.Block(), "TEST", 4);
        last = LoadBlockNumber(block.Block());
      } else {
        block.Hold(table.access.GetBlock(&trans, 1, 1, true, block.ReleaseMethod()));
        header->DeleteBlock(trans, block.Block());
      }
    }
    benchmark::DoNotOptimize(last);
    bm.RollbackTransaction(&trans);
  }
  state.SetItemsProcessed(state.iterations() * kOperations);
}

void AllocAddBlock(benchmark::State& state) {
  TTable table;
  TnxBufferManager& bm = table.fx.BufMgr();
  for (auto _ : state) {
    TnxBaseTransaction trans(bm, nullptr, false, false);
    for (int i = 0; i < kOperations; ++i) {
      TnxBlockGuard block;
      block.Hold(bm.AddBlock(table.file, &trans, static_cast<TnxBlockNumber>(i + 1), block.ReleaseMethod()));
      std::memcpy(block.Block(), "TEST", 4);
    }
    bm.RollbackTransaction(&trans);
  }
  state.SetItemsProcessed(state.iterations() * kOperations);
}

BENCHMARK(AllocOurs)->Name("alloc/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(AllocAddBlock)->Name("alloc/peer:addblock")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
