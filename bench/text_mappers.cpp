// 10^6 ShortString[40] values into ShortString[40]: in one code page
// against memcpy of the same bytes, and from 1252 into 1250 against the
// two raw ucnv calls that widen and narrow them.
#include <benchmark/benchmark.h>
#include <unicode/ucnv.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "dictionary/field_descriptor.h"
#include "dictionary/locale_descriptor.h"
#include "fieldmap/field_mapper_base.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "fieldmap/startup.h"

namespace {

using namespace revurov;

constexpr int kValues = 1'000'000;
constexpr int kUnits = 40;
constexpr int kLength = kUnits + 1;

// Latin-1 letters of 1252 that 1250 partly lacks, 10 to 40 of them.
const std::vector<uint8_t>& Values() {
  static const std::vector<uint8_t> values = [] {
    std::mt19937 rng(81);
    std::uniform_int_distribution<int> len(10, kUnits);
    std::uniform_int_distribution<int> ch(0x20, 0xFF);
    std::vector<uint8_t> v(size_t{kValues} * kLength);
    for (int i = 0; i < kValues; ++i) {
      uint8_t* p = v.data() + size_t{kLength} * i;
      p[0] = static_cast<uint8_t>(len(rng));
      for (int j = 1; j <= p[0]; ++j) {
        const int c = ch(rng);
        p[j] = static_cast<uint8_t>(c == 0x7F ? 'x' : c);
      }
    }
    return v;
  }();
  return values;
}

struct Mapping {
  std::unique_ptr<TnxFieldDescriptor> Source, Target;
  std::unique_ptr<TnxBaseFieldMapper> Mapper;
  TnxMappingMethod Method;
};

std::unique_ptr<TnxFieldDescriptor> Field(const char16_t* aName, uint16_t aCodePage) {
  auto f = std::make_unique<TnxFieldDescriptor>(nullptr, aName, u"", nxtShortString, kUnits, 0, false);
  f->AddLocaleDescriptor()->SetOverrideStorageCodepage(aCodePage);
  return f;
}

Mapping SetUp(uint16_t aSourceCp, uint16_t aTargetCp) {
  Mapping m;
  m.Source = Field(u"S", aSourceCp);
  m.Target = Field(u"T", aTargetCp);
  const TnxFieldMapperDescriptor desc(u"S", u"T", dlaFail);
  m.Mapper = TnxBaseFieldMapper::CreateMapper(*m.Source, nullptr, *m.Target, nullptr, &desc, m.Method);
  return m;
}

void Run(benchmark::State& state, uint16_t aSourceCp, uint16_t aTargetCp) {
  TnxFieldMapStartupGuard fieldMap;
  const Mapping m = SetUp(aSourceCp, aTargetCp);
  const auto& values = Values();
  uint8_t out[kLength];
  for (auto _ : state) {
    uint32_t lost = 0;
    for (int i = 0; i < kValues; ++i) {
      lost += m.Method(values.data() + size_t{kLength} * i, out);
      benchmark::DoNotOptimize(out);
    }
    benchmark::DoNotOptimize(lost);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

void SameOurs(benchmark::State& state) { Run(state, 1252, 1252); }

void SameMemcpy(benchmark::State& state) {
  const auto& values = Values();
  uint8_t out[kLength];
  for (auto _ : state) {
    for (int i = 0; i < kValues; ++i) {
      const uint8_t* p = values.data() + size_t{kLength} * i;
      std::memcpy(out, p, size_t{p[0]} + 1);
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

void ChangeOurs(benchmark::State& state) { Run(state, 1252, 1250); }

void ChangeIcu(benchmark::State& state) {
  UErrorCode err = U_ZERO_ERROR;
  UConverter* from = ucnv_open("windows-1252", &err);
  UConverter* to = ucnv_open("windows-1250", &err);
  const auto& values = Values();
  uint8_t out[kLength];
  UChar wide[256];
  for (auto _ : state) {
    for (int i = 0; i < kValues; ++i) {
      const uint8_t* p = values.data() + size_t{kLength} * i;
      err = U_ZERO_ERROR;
      const int32_t n = ucnv_toUChars(from, wide, 256, reinterpret_cast<const char*>(p + 1), p[0], &err);
      err = U_ZERO_ERROR;
      out[0] = static_cast<uint8_t>(ucnv_fromUChars(to, reinterpret_cast<char*>(out + 1), kUnits, wide, n, &err));
      benchmark::DoNotOptimize(out);
    }
  }
  ucnv_close(from);
  ucnv_close(to);
  state.SetItemsProcessed(state.iterations() * kValues);
}

BENCHMARK(SameOurs)->Name("shortstring40_same_codepage/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(SameMemcpy)->Name("shortstring40_same_codepage/peer:memcpy")->Unit(benchmark::kMillisecond);
BENCHMARK(ChangeOurs)->Name("shortstring40_1252_to_1250/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(ChangeIcu)->Name("shortstring40_1252_to_1250/peer:raw_ucnv")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
