// 10^6 Doubles through the Double -> Int32 checking routine and the
// Double -> ShortString[30] routine, against nearbyint with the same range
// and fraction test, and std::to_chars with 15 significant digits.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cmath>
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

// Half of them whole, some outside Int32.
const std::vector<double>& Values() {
  static const std::vector<double> values = [] {
    std::mt19937_64 rng(1210);
    std::uniform_real_distribution<double> d(-3e9, 3e9);
    std::vector<double> v(kValues);
    for (auto& x : v) x = (rng() & 1) ? std::trunc(d(rng)) : d(rng);
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
  m.Source = std::make_unique<TnxFieldDescriptor>(nullptr, u"S", u"", nxtDouble, 0, 0, false);
  m.Target = std::make_unique<TnxFieldDescriptor>(nullptr, u"T", u"", aTarget, aUnits, 0, false);
  const TnxFieldMapperDescriptor desc(u"S", u"T", dlaFail);
  m.Mapper = TnxBaseFieldMapper::CreateMapper(*m.Source, nullptr, *m.Target, nullptr, &desc, m.Method);
  return m;
}

void Int32Ours(benchmark::State& state) {
  TnxFieldMapStartupGuard fieldMap;
  const Mapping m = SetUp(nxtInt32, 0);
  const auto& values = Values();
  int32_t out = 0;
  for (auto _ : state) {
    uint32_t lost = 0;
    for (const double& v : values) {
      lost += m.Method(&v, &out);
      benchmark::DoNotOptimize(out);
    }
    benchmark::DoNotOptimize(lost);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

void Int32Nearbyint(benchmark::State& state) {
  const auto& values = Values();
  int32_t out = 0;
  for (auto _ : state) {
    uint32_t lost = 0;
    for (const double& v : values) {
      double x;
      std::memcpy(&x, &v, 8);
      if (!(x >= -2147483648.0 && x <= 2147483647.0) || x != std::trunc(x)) {
        lost += 10002;
      } else {
        const int32_t y = static_cast<int32_t>(std::nearbyint(x));
        std::memcpy(&out, &y, 4);
      }
      benchmark::DoNotOptimize(out);
    }
    benchmark::DoNotOptimize(lost);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

void TextOurs(benchmark::State& state) {
  TnxFieldMapStartupGuard fieldMap;
  const Mapping m = SetUp(nxtShortString, 30);
  const auto& values = Values();
  uint8_t out[32];
  for (auto _ : state) {
    uint32_t lost = 0;
    for (const double& v : values) {
      lost += m.Method(&v, out);
      benchmark::DoNotOptimize(out);
    }
    benchmark::DoNotOptimize(lost);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

void TextToChars(benchmark::State& state) {
  const auto& values = Values();
  uint8_t out[32];
  for (auto _ : state) {
    for (const double& v : values) {
      char text[32];
      const int n = static_cast<int>(
          std::to_chars(text, text + sizeof text, v, std::chars_format::general, 15).ptr - text);
      out[0] = static_cast<uint8_t>(n);
      std::memcpy(out + 1, text, n);
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

BENCHMARK(Int32Ours)->Name("double_to_int32_check/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(Int32Nearbyint)->Name("double_to_int32_check/peer:nearbyint")->Unit(benchmark::kMillisecond);
BENCHMARK(TextOurs)->Name("double_to_shortstring30/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(TextToChars)->Name("double_to_shortstring30/peer:to_chars")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
