// W10: documents of 1 KiB of text (1024 ASCII characters: words of a
// 5000-word vocabulary, common words more often, with punctuation) inserted
// into a fresh table. Ours: ID (Word32, unique index) and Body
// (WideString 1024) with a fulltext index over Body (split on punctuation
// and separators, lower-cased) kept in a bit-array token index, loaded by
// batch inserts of 1000 in one transaction. SQLite: the same texts into an
// FTS5 table (unicode61, no diacritic removal) in one transaction
// (synchronous=FULL, journal_mode=DELETE); both split on the same
// characters. The count is 10^5 documents with
// REVUROV_W10_DOCS=100000, 10^4 by default. Building the documents and the
// empty tables is not timed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "bench/workload_peers.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/fulltext_descriptors.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/token_index_descriptors.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"

namespace {

using namespace revurov;

constexpr int kW10Units = 1024;
constexpr int kW10Batch = 1000;

int Documents() {
  const char* v = std::getenv("REVUROV_W10_DOCS");
  const int n = v ? std::atoi(v) : 10000;
  return n > 0 ? (n + kW10Batch - 1) / kW10Batch * kW10Batch : 10000;
}

// The documents of every run, made once.
const std::vector<std::string>& Texts() {
  static const std::vector<std::string> texts = [] {
    std::mt19937 rng(10);
    std::vector<std::string> vocabulary;
    for (int i = 0; i < 5000; ++i) {
      std::string word;
      for (int j = 0, n = 3 + int(rng() % 8); j < n; ++j) word += char('a' + rng() % 26);
      vocabulary.push_back(word);
    }
    static const char* const kJoins[] = {" ", " ", " ", ", ", ". ", " - ", "; ", " (", ") "};
    std::vector<std::string> out;
    std::uniform_real_distribution<double> u(0, 1);
    for (int d = 0, n = Documents(); d < n; ++d) {
      std::string text;
      for (;;) {
        const double x = u(rng);
        std::string word = vocabulary[size_t(x * x * double(vocabulary.size()))];
        if (rng() % 8 == 0) word[0] = char(word[0] - 32);
        const std::string join = text.empty() ? "" : kJoins[rng() % std::size(kJoins)];
        if (text.size() + join.size() + word.size() > size_t(kW10Units)) break;
        text += join + word;
      }
      text.resize(size_t(kW10Units), ' ');
      out.push_back(std::move(text));
    }
    return out;
  }();
  return texts;
}

[[noreturn]] void Fail(const char* aStep, uint32_t aCode) {
  std::fprintf(stderr, "W10/ours: %s answered %u\n", aStep, unsigned(aCode));
  std::abort();
}

struct TW10Ours {
  TW10Ours() {
    database = server.OpenFolder(folder.path);
    if (!database) std::abort();
    TnxDataDictionary dict;
    dict.FieldsDescriptor().AddField(u"ID", u"", nxtWord32, 0, 0, true);
    dict.FieldsDescriptor().AddField(u"Body", u"", nxtWideString, kW10Units, 0, false);
    auto* indices = dict.EnsureIndicesDescriptor();
    static_cast<TnxCompKeyDescriptor*>(
        indices->AddIndex(u"ByID", 0, idNone, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
        ->Add(0);
    auto* fulltext = static_cast<TnxFulltextDescriptor*>(
        dict.CustomDescsDescriptor().AddCustom(nxFulltextName, &TnxFulltextDescriptor::ClassInfo()));
    TnxFulltextIndexDescriptor* index = fulltext->AddFulltextIndex(u"");
    index->TokenExtractorHub().AddFieldTokenExtractor(1, u"Body");
    static_cast<TnxCategorySeparatorTokenFilterDescriptor*>(
        index->TokenFilterHub().AddTokenFilter(u"Split", &TnxCategorySeparatorTokenFilterDescriptor::ClassInfo()))
        ->SetSeparatorCategories({ccPunctuationConnector, ccPunctuationDash, ccPunctuationOpen, ccPunctuationClose,
                                  ccPunctuationOther, ccSeparatorSpace, ccSymbolMath, ccSymbolOther});
    index->TokenFilterHub().AddTokenFilter(u"Lower", &TnxLowercaseLocaleMappingTokenFilterDescriptor::ClassInfo());
    static_cast<TnxBitArrayTokenIndexDescriptor*>(index->TokenIndexHub().AddTokenIndex(u"Bits"))->AddIndex(0);
    if (uint32_t result = database->TableBuild(false, u"T", u"", &dict, tsPersistent, false))
      Fail("TableBuild", result);
    TnxAbstractCursor* opened = nullptr;
    if (uint32_t result = database->CursorOpen(opened, u"T", u"", omReadWrite, smExclusive, 600000, u"", -1, false,
                                               0, 500, nullptr))
      Fail("CursorOpen", result);
    cursor = static_cast<TnxServerTableCursor*>(opened);
    // The batches, ready to send.
    TnxFieldsDescriptor& fields = cursor->TableDescriptor()->FieldsDescriptor();
    const int32_t length = fields.RecordLength();
    std::vector<uint8_t> record(size_t(length), 0);
    std::vector<char16_t> body(kW10Units + 1, 0);
    uint32_t id = 0;
    const auto& texts = Texts();
    for (size_t first = 0; first < texts.size(); first += kW10Batch) {
      auto stream = std::make_unique<TnxMemoryStream>();
      uint8_t header[8] = {};
      platform::StoreLE<int32_t>(header + 4, kW10Batch);
      stream->Write(header, sizeof header);
      for (size_t i = first; i < first + kW10Batch; ++i) {
        fields.InitRecord(record.data());
        ++id;
        fields.SetRecordField(0, record.data(), &id);
        for (size_t c = 0; c < size_t(kW10Units); ++c) body[c] = char16_t(texts[i][c]);
        fields.SetRecordField(1, record.data(), body.data());
        uint8_t size[4];
        platform::StoreLE<int32_t>(size, length);
        stream->Write(size, sizeof size);
        stream->Write(record.data(), length);
      }
      batches.push_back(std::move(stream));
    }
  }
  ~TW10Ours() {
    cursor->Free();
    database->Free();
  }
  void Insert() {
    if (uint32_t result = database->TransactionStart(false, false)) Fail("TransactionStart", result);
    for (auto& batch : batches)
      if (uint32_t result = cursor->RecordInsertBatch(*batch)) Fail("RecordInsertBatch", result);
    if (uint32_t result = database->TransactionCommit()) Fail("TransactionCommit", result);
  }

  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = nullptr;
  TnxServerTableCursor* cursor = nullptr;
  std::vector<std::unique_ptr<TnxMemoryStream>> batches;
};

struct TW10Sqlite {
  TW10Sqlite() {
    peer.Exec("CREATE VIRTUAL TABLE docs USING fts5(body, tokenize='unicode61 remove_diacritics 0')");
    insert = peer.Prepare("INSERT INTO docs(rowid, body) VALUES(?, ?)");
  }
  void Insert() {
    peer.Exec("BEGIN");
    int64_t id = 0;
    for (const std::string& text : Texts()) {
      sqlite3_bind_int64(insert, 1, ++id);
      sqlite3_bind_text(insert, 2, text.data(), int(text.size()), SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
      sqlite3_reset(insert);
    }
    peer.Exec("COMMIT");
  }
  bench::TSqlitePeer peer{"PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL"};
  sqlite3_stmt* insert = nullptr;
};

template <class T>
void RunW10(benchmark::State& state) {
  Texts();
  for (auto _ : state) {
    state.PauseTiming();
    auto peer = std::make_unique<T>();
    state.ResumeTiming();
    peer->Insert();
    state.PauseTiming();
    peer.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(Documents()) * state.iterations());
}

void W10Ours(benchmark::State& s) { RunW10<TW10Ours>(s); }
void W10Sqlite(benchmark::State& s) { RunW10<TW10Sqlite>(s); }

}  // namespace

BENCHMARK(W10Ours)->Name("W10/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W10Sqlite)->Name("W10/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
