// UTF-16 to Windows-1252 and back through the library's conversions
// (length pass, then conversion into a buffer of that length) against ICU
// called directly with one converter kept open and a buffer of the largest
// possible size. German text with umlauts and the euro sign, 16 to 4096
// characters.
#include <benchmark/benchmark.h>
#include <unicode/ucnv.h>

#include <string>

#include "lowlevel/wide_strings/wide_string.h"

namespace {

std::u16string Text(size_t n) {
  static const std::u16string sample = u"Größe und Maße: 12,50 € für Äpfel, Öl und Übermaß. ";
  std::u16string s;
  while (s.size() < n) s += sample;
  s.resize(n);
  return s;
}

UConverter* Icu1252() {
  thread_local UConverter* conv = [] {
    UErrorCode err = U_ZERO_ERROR;
    return ucnv_open("windows-1252", &err);
  }();
  return conv;
}

void ToAnsiOurs(benchmark::State& state) {
  const std::u16string text = Text(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(revurov::nxWideStringToString(text, 1252));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) * 2);
}

void ToAnsiIcu(benchmark::State& state) {
  const std::u16string text = Text(static_cast<size_t>(state.range(0)));
  UConverter* conv = Icu1252();
  for (auto _ : state) {
    std::string out(static_cast<size_t>(UCNV_GET_MAX_BYTES_FOR_STRING(text.size(), ucnv_getMaxCharSize(conv))), '\0');
    UErrorCode err = U_ZERO_ERROR;
    const int32_t n = ucnv_fromUChars(conv, out.data(), static_cast<int32_t>(out.size()),
                                      reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()),
                                      &err);
    out.resize(static_cast<size_t>(n));
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) * 2);
}

void ToWideOurs(benchmark::State& state) {
  const std::string bytes = revurov::nxWideStringToString(Text(static_cast<size_t>(state.range(0))), 1252);
  for (auto _ : state) benchmark::DoNotOptimize(revurov::nxStringToWideString(bytes, 1252));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void ToWideIcu(benchmark::State& state) {
  const std::string bytes = revurov::nxWideStringToString(Text(static_cast<size_t>(state.range(0))), 1252);
  UConverter* conv = Icu1252();
  for (auto _ : state) {
    std::u16string out(bytes.size() * 2, u'\0');
    UErrorCode err = U_ZERO_ERROR;
    const int32_t n = ucnv_toUChars(conv, reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                                    bytes.data(), static_cast<int32_t>(bytes.size()), &err);
    out.resize(static_cast<size_t>(n));
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(ToAnsiOurs)->Name("to_1252/ours")->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(ToAnsiIcu)->Name("to_1252/peer:icu")->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(ToWideOurs)->Name("from_1252/ours")->Arg(16)->Arg(256)->Arg(4096);
BENCHMARK(ToWideIcu)->Name("from_1252/peer:icu")->Arg(16)->Arg(256)->Arg(4096);

BENCHMARK_MAIN();
