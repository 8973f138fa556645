// 10^6 Int32 values through the Int32 -> Int16 checking routine and the
// Int32 -> WideString routine, each against a hand-written loop with the
// same range test, or std::to_chars with widening to UTF-16 units.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "dictionary/field_descriptor.h"
#include "fieldmap/field_mapper_base.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "fieldmap/startup.h"

namespace {

using namespace revurov;

constexpr int kValues = 1'000'000;

// A third of them outside Int16.
const std::vector<int32_t>& Values() {
  static const std::vector<int32_t> values = [] {
    std::mt19937 rng(1210);
    std::uniform_int_distribution<int32_t> d(-50000, 50000);
    std::vector<int32_t> v(kValues);
    for (auto& x : v) x = d(rng);
    return v;
  }();
  return values;
}

struct Mapping {
  std::unique_ptr<TnxFieldDescriptor> Source, Target;
  std::unique_ptr<TnxBaseFieldMapper> Mapper;
  TnxMappingMethod Method;
};

Mapping SetUp(TnxFieldType aTarget, int32_t aUnits) {
  Mapping m;
  m.Source = std::make_unique<TnxFieldDescriptor>(nullptr, u"S", u"", nxtInt32, 0, 0, false);
  m.Target = std::make_unique<TnxFieldDescriptor>(nullptr, u"T", u"", aTarget, aUnits, 0, false);
  const TnxFieldMapperDescriptor desc(u"S", u"T", dlaFail);
  m.Mapper = TnxBaseFieldMapper::CreateMapper(*m.Source, nullptr, *m.Target, nullptr, &desc, m.Method);
  return m;
}

void Int16Ours(benchmark::State& state) {
  TnxFieldMapStartupGuard fieldMap;
  const Mapping m = SetUp(nxtInt16, 0);
  const auto& values = Values();
  int16_t out = 0;
  for (auto _ : state) {
    uint32_t lost = 0;
    for (const int32_t& v : values) {
      lost += m.Method(&v, &out);
      benchmark::DoNotOptimize(out);
    }
    benchmark::DoNotOptimize(lost);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

void Int16Loop(benchmark::State& state) {
  const auto& values = Values();
  int16_t out = 0;
  for (auto _ : state) {
    uint32_t lost = 0;
    for (const int32_t& v : values) {
      int32_t x;
      std::memcpy(&x, &v, 4);
      if (x < -32768 || x > 32767) {
        lost += 10002;
      } else {
        const int16_t y = static_cast<int16_t>(x);
        std::memcpy(&out, &y, 2);
      }
      benchmark::DoNotOptimize(out);
    }
    benchmark::DoNotOptimize(lost);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

void WideOurs(benchmark::State& state) {
  TnxFieldMapStartupGuard fieldMap;
  const Mapping m = SetUp(nxtWideString, 11);
  const auto& values = Values();
  alignas(8) uint8_t out[24];
  for (auto _ : state) {
    uint32_t lost = 0;
    for (const int32_t& v : values) {
      lost += m.Method(&v, out);
      benchmark::DoNotOptimize(out);
    }
    benchmark::DoNotOptimize(lost);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

void WideToChars(benchmark::State& state) {
  const auto& values = Values();
  alignas(8) uint8_t out[24];
  for (auto _ : state) {
    for (const int32_t& v : values) {
      char text[12];
      const int n = static_cast<int>(std::to_chars(text, text + sizeof text, v).ptr - text);
      for (int i = 0; i < n; ++i) {
        const uint16_t c = static_cast<uint8_t>(text[i]);
        std::memcpy(out + 2 * i, &c, 2);
      }
      const uint16_t zero = 0;
      std::memcpy(out + 2 * n, &zero, 2);
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

BENCHMARK(Int16Ours)->Name("int32_to_int16_check/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(Int16Loop)->Name("int32_to_int16_check/peer:hand_loop")->Unit(benchmark::kMillisecond);
BENCHMARK(WideOurs)->Name("int32_to_widestring/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(WideToChars)->Name("int32_to_widestring/peer:to_chars")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
