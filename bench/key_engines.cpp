// Composite keys in index order. Sorting a million keys of an Int32 and a
// ShortString(20) in byte order with CompareKey, against std::sort with
// memcmp over the same key bytes (the cheapest order keys of that length
// can have); and comparing WideString(20) key values under a German
// collation, against ICU's ucol_strcoll on the same texts with a collator
// kept open; also whole keys, whose text lies at an odd address behind the
// null flags.
#include <benchmark/benchmark.h>
#include <unicode/ucol.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dictionary/comp_key_engines.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/startup.h"
#include "platform/nls.h"
#include "platform/variant.h"

namespace {

using namespace revurov;

// A table with one composite key over the given fields.
struct Table {
  TnxDictionaryStartupGuard startup;
  TnxDataDictionary dict;
  std::unique_ptr<TnxCompKeyEngine> engine;

  Table(std::initializer_list<std::pair<TnxFieldType, int32_t>> aFields, uint32_t aLocale) {
    int32_t i = 0;
    for (auto [type, units] : aFields)
      dict.FieldsDescriptor().AddField(std::u16string(1, static_cast<char16_t>(u'A' + i++)), u"", type, units, 0,
                                       false);
    auto* index = dict.EnsureIndicesDescriptor()->AddIndex(u"I", 0, idAll, u"", &TnxCompKeyDescriptor::ClassInfo());
    auto& key = static_cast<TnxCompKeyDescriptor&>(*index->KeyDescriptor());
    for (int32_t f = 0; f < i; ++f) {
      TnxKeyFieldDescriptor* kf = key.Add(f, &TnxTextKeyFieldDescriptor::ClassInfo());
      if (aLocale) kf->AddLocaleDescriptor()->SetLocale(aLocale);
    }
    engine.reset(static_cast<TnxCompKeyEngine*>(TnxBaseKeyEngine::CreateFor(key).release()));
  }
  std::vector<uint8_t> Key(std::initializer_list<platform::TnxVariant> aValues) {
    std::vector<uint8_t> rec(static_cast<size_t>(dict.FieldsDescriptor().RecordLength()));
    dict.FieldsDescriptor().InitRecord(rec.data());
    int32_t i = 0;
    for (const auto& v : aValues) dict.FieldsDescriptor().fsdSetFieldByIndexAsVariant(rec.data(), i++, v);
    std::vector<uint8_t> k(engine->KeyLength());
    engine->BuildKey(rec.data(), k.data(), 0, true);
    return k;
  }
};

std::u16string RandomText(std::mt19937& rng, size_t aMax) {
  static const char16_t letters[] = u"abcdefghijklmnopqrstuvwxyzäöüßABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÜ ";
  std::u16string s;
  const size_t n = 1 + rng() % aMax;
  for (size_t i = 0; i < n; ++i) s += letters[rng() % (std::size(letters) - 1)];
  return s;
}

constexpr int kKeys = 1000000;

struct SortData {
  Table table{{{nxtInt32, 0}, {nxtShortString, 20}}, 0};
  std::vector<uint8_t> bytes;
  std::vector<const uint8_t*> shuffled;
  SortData() {
    std::mt19937 rng(1);
    const size_t len = table.engine->KeyLength();
    bytes.resize(len * kKeys);
    for (int i = 0; i < kKeys; ++i) {
      auto k = table.Key({platform::TnxVariant::FromInteger(static_cast<int32_t>(rng() % 1000)),
                          platform::TnxVariant::FromString(RandomText(rng, 20))});
      std::memcpy(bytes.data() + len * i, k.data(), len);
      shuffled.push_back(bytes.data() + len * i);
    }
  }
};

SortData& Sorting() {
  static SortData data;
  return data;
}

void SortOurs(benchmark::State& state) {
  SortData& d = Sorting();
  const TnxCompKeyEngine& e = *d.table.engine;
  for (auto _ : state) {
    auto v = d.shuffled;
    std::sort(v.begin(), v.end(), [&](const uint8_t* a, const uint8_t* b) { return e.CompareKey(a, b) < 0; });
    benchmark::DoNotOptimize(v.data());
  }
}

void SortMemcmp(benchmark::State& state) {
  SortData& d = Sorting();
  const size_t len = d.table.engine->KeyLength();
  for (auto _ : state) {
    auto v = d.shuffled;
    std::sort(v.begin(), v.end(), [&](const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, len) < 0; });
    benchmark::DoNotOptimize(v.data());
  }
}

constexpr int kPairs = 4096;

struct LocaleData {
  Table table{{{nxtWideString, 20}}, 0x0407};
  std::vector<std::u16string> texts;
  std::vector<std::vector<uint8_t>> keys;
  std::vector<std::vector<uint8_t>> wholeKeys;  // with the null flags: the text at an odd address
  UCollator* icu = nullptr;
  LocaleData() {
    std::mt19937 rng(2);
    for (int i = 0; i < kPairs * 2; ++i) {
      texts.push_back(RandomText(rng, 20));
      auto k = table.Key({platform::TnxVariant::FromString(texts.back())});
      keys.emplace_back(k.begin() + table.engine->GetFieldsOffset(), k.end());
      wholeKeys.push_back(std::move(k));
    }
    UErrorCode err = U_ZERO_ERROR;
    icu = ucol_open("de_DE", &err);
  }
  ~LocaleData() { ucol_close(icu); }
};

LocaleData& Locale() {
  static LocaleData data;
  return data;
}

void WideLocaleOurs(benchmark::State& state) {
  LocaleData& d = Locale();
  const TnxCompositeKeyFieldEngine& f = d.table.engine->KeyField(0);
  for (auto _ : state)
    for (int i = 0; i < kPairs; ++i)
      benchmark::DoNotOptimize(f.CompareKey(f, d.keys[2 * i].data(), d.keys[2 * i + 1].data()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kPairs);
}

void WideLocaleInKeyOurs(benchmark::State& state) {
  LocaleData& d = Locale();
  const TnxCompKeyEngine& e = *d.table.engine;
  for (auto _ : state)
    for (int i = 0; i < kPairs; ++i)
      benchmark::DoNotOptimize(e.CompareKey(d.wholeKeys[2 * i].data(), d.wholeKeys[2 * i + 1].data()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kPairs);
}

void WideLocaleIcu(benchmark::State& state) {
  LocaleData& d = Locale();
  for (auto _ : state)
    for (int i = 0; i < kPairs; ++i)
      benchmark::DoNotOptimize(ucol_strcoll(d.icu, reinterpret_cast<const UChar*>(d.texts[2 * i].c_str()), -1,
                                            reinterpret_cast<const UChar*>(d.texts[2 * i + 1].c_str()), -1));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kPairs);
}

}  // namespace

BENCHMARK(SortOurs)->Name("sort_int32_shortstring20/ours")->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(SortMemcmp)->Name("sort_int32_shortstring20/peer:memcmp")->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(WideLocaleOurs)->Name("widestring_locale_compare/ours")->Repetitions(5);
BENCHMARK(WideLocaleInKeyOurs)->Name("widestring_locale_compare_whole_key/ours")->Repetitions(5);
BENCHMARK(WideLocaleIcu)->Name("widestring_locale_compare_whole_key/peer:ucol_strcoll")->Repetitions(5);
BENCHMARK(WideLocaleIcu)->Name("widestring_locale_compare/peer:ucol_strcoll")->Repetitions(5);

BENCHMARK_MAIN();
