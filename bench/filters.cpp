// A scan of a million records held in memory with `Qty > 5 AND Name LIKE
// '%son%'`: the simple expression filter over the record layout, against
// SQLite in memory counting the same rows with the same predicate from a
// prepared statement. Both answer the same count (asserted once).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/filter_engines.h"
#include "dictionary/simple_expression_filter.h"
#include "dictionary/startup.h"
#include "support/can_expression_builder.h"

namespace {

using namespace revurov;

constexpr int kRecords = 1000000;
const char* const kNames[] = {"Johnson", "Smith", "Anderson", "Miller", "Jackson", "Brown",
                              "Wilson",  "Moore", "Taylor",   "Thomas", "Harrison", "Clark"};

struct Data {
  std::vector<int32_t> qty;
  std::vector<int> name;
  Data() {
    std::mt19937 rng(7);
    for (int i = 0; i < kRecords; ++i) {
      qty.push_back(int32_t(rng() % 11));
      name.push_back(int(rng() % (sizeof kNames / sizeof kNames[0])));
    }
  }
};
const Data& TheData() {
  static const Data data;
  return data;
}

struct Ours {
  TnxDictionaryStartupGuard startup;
  TnxDataDictionary dict;
  std::unique_ptr<TnxRecordFieldsSource> source;
  std::unique_ptr<TnxBaseFilterEngine> engine;
  std::vector<uint8_t> records;
  size_t length = 0;

  Ours() {
    TnxFieldsDescriptor& fields = dict.FieldsDescriptor();
    fields.AddField(u"Qty", u"", nxtInt32, 0, 0, false);
    fields.AddField(u"Name", u"", nxtNullString, 20, 0, false);
    length = size_t(fields.RecordLength());
    records.assign(length * kRecords, 0);
    const Data& data = TheData();
    for (int i = 0; i < kRecords; ++i) {
      uint8_t* r = records.data() + length * size_t(i);
      fields.InitRecord(r);
      fields.SetRecordField(0, r, &data.qty[size_t(i)]);
      char name[21] = {};
      std::strcpy(name, kNames[data.name[size_t(i)]]);
      fields.SetRecordField(1, r, name);
    }
    testing::CanExpressionBuilder b;
    auto tree = b.Build(b.Binary(coAND, b.Compare(coGT, b.Field(1, "Qty"), b.Int32(5)),
                                 b.Compare(coLIKE, b.Field(2, "Name"), b.Text("son"))));
    source = std::make_unique<TnxRecordFieldsSource>(fields);
    TnxSimpleExpressionFilterDescriptor descriptor(tree, u"Qty > 5 AND Name LIKE '%son%'", -1);
    engine = TnxBaseFilterEngine::CreateFor(descriptor, source.get());
    engine->ActivateFilter(0);
  }
  int64_t Count() {
    int64_t n = 0;
    for (size_t i = 0; i < size_t(kRecords); ++i) n += engine->MatchesBuffer(records.data() + length * i);
    return n;
  }
};

struct Peer {
  sqlite3* db = nullptr;
  sqlite3_stmt* query = nullptr;
  Peer() {
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db, "CREATE TABLE t(Qty INTEGER, Name TEXT); BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?, ?)", -1, &insert, nullptr);
    const Data& data = TheData();
    for (int i = 0; i < kRecords; ++i) {
      sqlite3_bind_int(insert, 1, data.qty[size_t(i)]);
      sqlite3_bind_text(insert, 2, kNames[data.name[size_t(i)]], -1, SQLITE_STATIC);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, "SELECT count(*) FROM t WHERE Qty > 5 AND Name LIKE '%son%'", -1, &query, nullptr);
  }
  ~Peer() {
    sqlite3_finalize(query);
    sqlite3_close(db);
  }
  int64_t Count() {
    sqlite3_step(query);
    int64_t n = sqlite3_column_int64(query, 0);
    sqlite3_reset(query);
    return n;
  }
};

Ours& TheOurs() {
  static Ours ours;
  return ours;
}
Peer& ThePeer() {
  static Peer peer;
  return peer;
}

void Scan_Ours(benchmark::State& state) {
  Ours& ours = TheOurs();
  if (ours.Count() != ThePeer().Count()) state.SkipWithError("counts differ");
  for (auto _ : state) benchmark::DoNotOptimize(ours.Count());
  state.SetItemsProcessed(state.iterations() * kRecords);
}
void Scan_Sqlite(benchmark::State& state) {
  Peer& peer = ThePeer();
  for (auto _ : state) benchmark::DoNotOptimize(peer.Count());
  state.SetItemsProcessed(state.iterations() * kRecords);
}

BENCHMARK(Scan_Ours)->Name("scan/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(Scan_Sqlite)->Name("scan/peer:sqlite")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
