// 10^6 ShortString[40] values into ShortString[40]: in one code page
// against memcpy of the same bytes, and from 1252 into 1250 against the
// two raw ucnv calls that widen and narrow them. 10^6 NullString texts
// into Int32 against from_chars on the same bytes, and 10^6 German date
// texts into Date against strptime plus the day number.
#include <benchmark/benchmark.h>
#include <unicode/ucnv.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
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

// ---- texts into numbers and dates ----

constexpr int kTextLength = 21;  // NullString[20]

// Int32 texts ("-123456", "42", ...) or German dates ("24.12.2023"), each
// in a NullString[20].
const std::vector<char>& Texts(bool aDates) {
  static const auto make = [](bool dates) {
    std::mt19937 rng(82);
    std::vector<char> v(size_t{kValues} * kTextLength, 0);
    for (int i = 0; i < kValues; ++i) {
      char* p = v.data() + size_t{kTextLength} * i;
      if (dates)
        std::snprintf(p, kTextLength, "%02d.%02d.%04d", int(1 + rng() % 28), int(1 + rng() % 12),
                      int(1 + rng() % 9999));
      else
        std::snprintf(p, kTextLength, "%d", static_cast<int32_t>(rng()) >> (rng() % 31));
    }
    return v;
  };
  static const std::vector<char> numbers = make(false), dates = make(true);
  return aDates ? dates : numbers;
}

void RunText(benchmark::State& state, TnxFieldType aTarget, bool aDates) {
  TnxFieldMapStartupGuard fieldMap;
  Mapping m;
  m.Source = std::make_unique<TnxFieldDescriptor>(nullptr, u"S", u"", nxtNullString, kTextLength - 1, 0, false);
  if (aDates) m.Source->AddLocaleDescriptor()->SetLocale(1031);
  m.Target = std::make_unique<TnxFieldDescriptor>(nullptr, u"T", u"", aTarget, 0, 0, false);
  const TnxFieldMapperDescriptor desc(u"S", u"T", dlaFail);
  m.Mapper = TnxBaseFieldMapper::CreateMapper(*m.Source, nullptr, *m.Target, nullptr, &desc, m.Method);
  const auto& texts = Texts(aDates);
  int32_t out = 0;
  for (auto _ : state) {
    uint32_t lost = 0;
    for (int i = 0; i < kValues; ++i) {
      lost += m.Method(texts.data() + size_t{kTextLength} * i, &out);
      benchmark::DoNotOptimize(out);
    }
    benchmark::DoNotOptimize(lost);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

void Int32Ours(benchmark::State& state) { RunText(state, nxtInt32, false); }

void Int32FromChars(benchmark::State& state) {
  const auto& texts = Texts(false);
  int32_t out = 0;
  for (auto _ : state) {
    uint32_t lost = 0;
    for (int i = 0; i < kValues; ++i) {
      const char* p = texts.data() + size_t{kTextLength} * i;
      const char* end = p + strnlen(p, kTextLength);
      const auto r = std::from_chars(p, end, out);
      lost += r.ec != std::errc() || r.ptr != end;
      benchmark::DoNotOptimize(out);
    }
    benchmark::DoNotOptimize(lost);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

void DateOurs(benchmark::State& state) { RunText(state, nxtDate, true); }

// Days from 0001-01-01 (day 1) of a proleptic Gregorian date.
int32_t DayNumber(int y, int m, int d) {
  y -= m <= 2;
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 305;
}

void DateStrptime(benchmark::State& state) {
  const auto& texts = Texts(true);
  int32_t out = 0;
  for (auto _ : state) {
    uint32_t lost = 0;
    for (int i = 0; i < kValues; ++i) {
      std::tm tm{};
      const char* end = strptime(texts.data() + size_t{kTextLength} * i, "%d.%m.%Y", &tm);
      lost += end == nullptr || *end != 0;
      out = DayNumber(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
      benchmark::DoNotOptimize(out);
    }
    benchmark::DoNotOptimize(lost);
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

BENCHMARK(Int32Ours)->Name("nullstring_to_int32/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(Int32FromChars)->Name("nullstring_to_int32/peer:from_chars")->Unit(benchmark::kMillisecond);
BENCHMARK(DateOurs)->Name("german_date_to_date/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(DateStrptime)->Name("german_date_to_date/peer:strptime")->Unit(benchmark::kMillisecond);

BENCHMARK(SameOurs)->Name("shortstring40_same_codepage/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(SameMemcpy)->Name("shortstring40_same_codepage/peer:memcpy")->Unit(benchmark::kMillisecond);
BENCHMARK(ChangeOurs)->Name("shortstring40_1252_to_1250/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(ChangeIcu)->Name("shortstring40_1252_to_1250/peer:raw_ucnv")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
