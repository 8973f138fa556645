// The session lock taken and released by its one thread: the outermost
// pair against std::mutex, the re-entered pair against
// std::recursive_mutex.
#include <benchmark/benchmark.h>

#include <mutex>

#include "engine/session_lock.h"
#include "lowlevel/startup.h"

namespace {

using namespace revurov;

TnxSimpleLock& SharedLock() {
  static platform::TInterfacePtr<TnxSimpleLock> lock = [] {
    nxLowLevelStartup();
    return platform::TInterfacePtr<TnxSimpleLock>(nxCreate<TnxSimpleLock>(nullptr, TnxSessionStatsRef()));
  }();
  return *lock;
}

long gValue = 0;

void PairOurs(benchmark::State& state) {
  TnxSimpleLock& lock = SharedLock();
  for (auto _ : state) {
    lock.Lock();
    benchmark::DoNotOptimize(++gValue);
    uint32_t result = 0;
    lock.Unlock(result);
    benchmark::DoNotOptimize(result);
  }
}

void PairPeer(benchmark::State& state) {
  static std::mutex mutex;
  for (auto _ : state) {
    std::lock_guard<std::mutex> guard(mutex);
    benchmark::DoNotOptimize(++gValue);
  }
}

void ReenteredOurs(benchmark::State& state) {
  TnxSimpleLock& lock = SharedLock();
  lock.Lock();
  for (auto _ : state) {
    lock.Lock();
    benchmark::DoNotOptimize(++gValue);
    uint32_t result = 0;
    lock.Unlock(result);
    benchmark::DoNotOptimize(result);
  }
  uint32_t result = 0;
  lock.Unlock(result);
}

void ReenteredPeer(benchmark::State& state) {
  static std::recursive_mutex mutex;
  std::lock_guard<std::recursive_mutex> outer(mutex);
  for (auto _ : state) {
    std::lock_guard<std::recursive_mutex> guard(mutex);
    benchmark::DoNotOptimize(++gValue);
  }
}

BENCHMARK(PairOurs)->Name("lock_unlock/ours");
BENCHMARK(PairPeer)->Name("lock_unlock/peer:std_mutex");
BENCHMARK(ReenteredOurs)->Name("reentered/ours");
BENCHMARK(ReenteredPeer)->Name("reentered/peer:std_recursive_mutex");

}  // namespace

BENCHMARK_MAIN();
