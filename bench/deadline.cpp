// The deadline test of the long loops against the one clock reading it
// cannot do without.
#include <time.h>

#include <benchmark/benchmark.h>

#include "storage/deadline.h"

namespace {

using namespace revurov;

void CheckOurs(benchmark::State& state) {
  nxSetTimeout(3'600'000, true);
  for (auto _ : state) nxCheckTimeout();
  nxSetTimeout(0, true);
}

void CheckPeer(benchmark::State& state) {
  for (auto _ : state) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    benchmark::DoNotOptimize(now);
  }
}

BENCHMARK(CheckOurs)->Name("check_timeout/ours");
BENCHMARK(CheckPeer)->Name("check_timeout/peer:clock_gettime_monotonic");

}  // namespace

BENCHMARK_MAIN();
