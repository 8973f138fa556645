// The lock container's uncontended paths: a record lock taken and released
// by one cursor, a read lock likewise.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <mutex>
#include <set>
#include <shared_mutex>

#include "server/table_lock_container.h"
#include "support/lock_world.h"

namespace {

using namespace revurov;

revurov::testing::LockWorld& World() {
  static revurov::testing::LockWorld world(1);
  return world;
}

void RecordPairOurs(benchmark::State& state) {
  TnxAbstractCursor* cursor = World().Cursor(0);
  TnxTableLockContainer container;
  for (auto _ : state) {
    benchmark::DoNotOptimize(container.GetRecordLock(nullptr, cursor, 7, false, nullptr));
    benchmark::DoNotOptimize(container.ReleaseRecordLock(cursor, 7, nullptr));
  }
}

void RecordPairPeer(benchmark::State& state) {
  std::mutex mutex;
  std::set<int64_t> locks;
  for (auto _ : state) {
    {
      std::lock_guard guard(mutex);
      benchmark::DoNotOptimize(locks.insert(7).second);
    }
    {
      std::lock_guard guard(mutex);
      benchmark::DoNotOptimize(locks.erase(7));
    }
  }
}

void ReadPairOurs(benchmark::State& state) {
  TnxAbstractCursor* cursor = World().Cursor(0);
  TnxTableLockContainer container;
  for (auto _ : state) {
    benchmark::DoNotOptimize(container.GetReadLock(nullptr, cursor, false, nullptr));
    benchmark::DoNotOptimize(container.ReleaseReadLock(cursor));
  }
}

void ReadPairPeer(benchmark::State& state) {
  std::shared_mutex mutex;
  for (auto _ : state) {
    mutex.lock_shared();
    benchmark::ClobberMemory();
    mutex.unlock_shared();
  }
}

BENCHMARK(RecordPairOurs)->Name("record_lock_pair/ours");
BENCHMARK(RecordPairPeer)->Name("record_lock_pair/peer:std_mutex_set");
BENCHMARK(ReadPairOurs)->Name("read_lock_pair/ours");
BENCHMARK(ReadPairPeer)->Name("read_lock_pair/peer:std_shared_mutex");

}  // namespace

BENCHMARK_MAIN();
