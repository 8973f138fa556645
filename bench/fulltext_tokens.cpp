// Tokenizing 10^5 documents of 1 KiB (512 UTF-16 units of German-like
// text: words with umlauts and capitals, spaces, punctuation, digits) with
// the fulltext filter chain of a table - a category separator on the
// default separator categories, then lower-case mapping for locale 1031 -
// against the peer: ICU's word break iterator for "de" over the same texts,
// each word lower-cased with u_strToLower. Both count the words and their
// code units. 1,000 distinct documents are cycled 100 times.
#include <benchmark/benchmark.h>

#include <unicode/ubrk.h>
#include <unicode/ustring.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dictionary/fulltext_descriptors.h"
#include "dictionary/locale_descriptor.h"
#include "server/engines/fulltext_filters.h"
#include "server/engines/fulltext_table_engine.h"
#include "support/fulltext_table.h"

namespace {

using namespace revurov;

constexpr int kDistinct = 1000;
constexpr int kDocuments = 100'000;
constexpr size_t kUnits = 512;

const std::vector<std::u16string>& Documents() {
  static const std::vector<std::u16string> docs = [] {
    const std::u16string words[] = {u"Der",       u"die",      u"das",     u"Stra\u00DFe", u"\u00C4rger",
                                    u"Gr\u00FC\u00DFe", u"Haus",  u"und",     u"oder",   u"Datenbank",
                                    u"Sicherheit", u"Tabelle", u"\u00F6ffnen", u"Report", u"drucken",
                                    u"Benutzer",  u"Gruppe",   u"2024",    u"Zugriff", u"M\u00FCller"};
    const std::u16string gaps[] = {u" ", u" ", u" ", u", ", u". ", u" - ", u"; ", u"! ", u" (", u") "};
    std::mt19937 random(163);
    std::vector<std::u16string> out;
    for (int d = 0; d < kDistinct; ++d) {
      std::u16string text;
      while (text.size() < kUnits) {
        text += words[random() % std::size(words)];
        text += gaps[random() % std::size(gaps)];
      }
      text.resize(kUnits);
      out.push_back(std::move(text));
    }
    return out;
  }();
  return docs;
}

class TDocumentSource final : public TnxBaseTokenSourceCursorEngine {
public:
  TDocumentSource() : TnxBaseTokenSourceCursorEngine(nullptr) {}
  void Reset() override { given = false; }
  InxTokenRef NextToken() override {
    if (given) return nullptr;
    given = true;
    return token;
  }
  InxTokenRef token;
  bool given = false;
};

void TokenizeOurs(benchmark::State& state) {
  testing::TFulltextShape shape;
  shape.Configure = [](TnxFulltextDescriptor& aFulltext) {
    TnxFulltextIndexDescriptor* index = aFulltext.AddFulltextIndex(u"");
    auto& filters = index->TokenFilterHub();
    filters.AddTokenFilter(u"Split", &TnxCategorySeparatorTokenFilterDescriptor::ClassInfo());
    filters.AddTokenFilter(u"Lower", &TnxLowercaseLocaleMappingTokenFilterDescriptor::ClassInfo())
        ->AddLocaleDescriptor()
        ->SetLocale(1031);
    static_cast<TnxBitArrayTokenIndexDescriptor*>(index->TokenIndexHub().AddTokenIndex(u""))->AddIndex(0);
  };
  testing::TFulltextTable table(shape);
  TDocumentSource source;
  auto chain = TnxTokenFilterHubCursorEngine::CreateFor(nullptr, *table.Fulltext().FulltextIndex(0).TokenFilterHub(),
                                                        source);
  std::vector<InxTokenRef> tokens;
  for (const std::u16string& doc : Documents()) tokens.push_back(TnxToken::New(doc, 0, 0));
  int64_t words = 0, units = 0;
  for (auto _ : state) {
    for (int d = 0; d < kDocuments; ++d) {
      source.token = tokens[size_t(d % kDistinct)];
      chain->Reset();
      while (InxTokenRef token = chain->NextToken()) {
        ++words;
        units += int64_t(token->TokenText().size());
      }
    }
  }
  state.counters["words"] = double(words) / double(state.iterations());
  state.counters["units"] = double(units) / double(state.iterations());
  state.SetBytesProcessed(state.iterations() * kDocuments * int64_t(kUnits) * 2);
}

void TokenizeIcu(benchmark::State& state) {
  std::vector<std::u16string> docs = Documents();
  UErrorCode err = U_ZERO_ERROR;
  UBreakIterator* words = ubrk_open(UBRK_WORD, "de", nullptr, 0, &err);
  if (U_FAILURE(err)) {
    state.SkipWithError("ubrk_open");
    return;
  }
  std::u16string lower(kUnits * 2, u'\0');
  int64_t count = 0, units = 0;
  for (auto _ : state) {
    for (int d = 0; d < kDocuments; ++d) {
      const std::u16string& doc = docs[size_t(d % kDistinct)];
      err = U_ZERO_ERROR;
      ubrk_setText(words, doc.data(), int32_t(doc.size()), &err);
      int32_t start = ubrk_first(words);
      for (int32_t end = ubrk_next(words); end != UBRK_DONE; start = end, end = ubrk_next(words)) {
        if (ubrk_getRuleStatus(words) == UBRK_WORD_NONE) continue;
        err = U_ZERO_ERROR;
        const int32_t n = u_strToLower(lower.data(), int32_t(lower.size()), doc.data() + start, end - start, "de",
                                       &err);
        ++count;
        units += n;
      }
    }
  }
  ubrk_close(words);
  state.counters["words"] = double(count) / double(state.iterations());
  state.counters["units"] = double(units) / double(state.iterations());
  state.SetBytesProcessed(state.iterations() * kDocuments * int64_t(kUnits) * 2);
}

BENCHMARK(TokenizeOurs)->Name("tokenize/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(TokenizeIcu)->Name("tokenize/icu")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
