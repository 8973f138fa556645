// Raising and catching the client's error for a code alone, as a failed
// engine call does, against throwing and catching a std::runtime_error with
// the same text.
#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>

#include "client/database_error.h"
#include "lowlevel/startup.h"

namespace {

using namespace revurov;

void Started() {
  static const bool started = [] {
    nxLowLevelStartup();
    return true;
  }();
  benchmark::DoNotOptimize(started);
}

uint32_t gCode = 9986;  // not a constant, so nothing is folded away

void RaiseOurs(benchmark::State& state) {
  Started();
  for (auto _ : state) {
    try {
      throw EnxDatabaseError(gCode);
    } catch (const EnxDatabaseError& e) {
      benchmark::DoNotOptimize(e.what());
    }
  }
}

void RaisePeer(benchmark::State& state) {
  Started();
  const std::string text = EnxDatabaseError(gCode).what();  // the same text
  for (auto _ : state) {
    try {
      throw std::runtime_error(text);
    } catch (const std::runtime_error& e) {
      benchmark::DoNotOptimize(e.what());
    }
  }
}

BENCHMARK(RaiseOurs)->Name("raise_code_only/ours");
BENCHMARK(RaisePeer)->Name("raise_code_only/peer:std_runtime_error");

}  // namespace

BENCHMARK_MAIN();
