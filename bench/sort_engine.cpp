// Sorting records by an Int32 and a ShortString[20]: a million of them, which
// need runs on disk, against SQLite stepping a SELECT ... ORDER BY of the
// same rows without an index to the end; nine thousand, sorted in memory,
// against std::sort of the same records.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "engine/abstract_database.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/text.h"
#include "server/engines/sort_engine.h"
#include "storage/deadline.h"

namespace {

using namespace revurov;

constexpr int kLarge = 1'000'000;
// 10,000 records of 112-byte slots would not fit the 1 MiB buffer.
constexpr int kSmall = 9'000;
constexpr size_t kRecLen = 100;
constexpr int kPayload = 71;

struct Row {
  int32_t A;
  std::array<char, 21> B;  // length byte, then up to 20 letters
};

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = [] {
    std::mt19937 rng(4711);
    std::vector<Row> r(kLarge);
    for (Row& row : r) {
      row.A = static_cast<int32_t>(rng() % 1000);
      row.B.fill(0);
      const int n = 1 + static_cast<int>(rng() % 20);
      row.B[0] = static_cast<char>(n);
      for (int i = 1; i <= n; ++i) row.B[static_cast<size_t>(i)] = static_cast<char>('a' + rng() % 26);
    }
    return r;
  }();
  return rows;
}

// A, B, then a payload to 100 bytes with the null bitmap.
std::unique_ptr<TnxDataDictionary> Dictionary(TnxIndexDescriptor*& aIndex) {
  auto dict = std::make_unique<TnxDataDictionary>();
  dict->FieldsDescriptor().AddField(u"A", u"", nxtInt32, 0, 0, false);
  dict->FieldsDescriptor().AddField(u"B", u"", nxtShortString, 20, 0, false);
  dict->FieldsDescriptor().AddField(u"Payload", u"", nxtByteArray, kPayload, 0, false);
  aIndex = dict->EnsureIndicesDescriptor()->AddIndex(u"ByAB", 0, idAll, u"", &TnxCompKeyDescriptor::ClassInfo());
  auto* key = static_cast<TnxCompKeyDescriptor*>(aIndex->KeyDescriptor());
  key->Add(0);
  key->Add(1);
  return dict;
}

std::vector<uint8_t> Records(const TnxDataDictionary& aDict, int aCount) {
  const TnxFieldsDescriptor& fields = aDict.FieldsDescriptor();
  std::vector<uint8_t> records(kRecLen * static_cast<size_t>(aCount));
  std::array<uint8_t, kPayload> payload;
  payload.fill(7);
  for (int i = 0; i < aCount; ++i) {
    uint8_t* record = records.data() + kRecLen * static_cast<size_t>(i);
    fields.InitRecord(record);
    const Row& row = Rows()[static_cast<size_t>(i)];
    fields.SetRecordField(0, record, &row.A);
    fields.SetRecordField(1, record, row.B.data());
    fields.SetRecordField(2, record, payload.data());
  }
  return records;
}

void Sort(benchmark::State& state, TnxAbstractDatabase* aDatabase, int aCount) {
  TnxIndexDescriptor* index = nullptr;
  auto dict = Dictionary(index);
  if (static_cast<size_t>(dict->FieldsDescriptor().RecordLength()) != kRecLen) state.SkipWithError("layout");
  const std::vector<uint8_t> records = Records(*dict, aCount);
  std::vector<uint8_t> out(kRecLen);
  // The caller has no deadline (opening the database left one behind).
  nxSetTimeout(0, true);
  for (auto _ : state) {
    TnxMergeSortEngine engine(aDatabase, *dict, *index);
    for (int i = 0; i < aCount; ++i)
      if (const uint32_t result = engine.Put(records.data() + kRecLen * static_cast<size_t>(i)); result != 0) {
        uint32_t code = 0;
        std::u16string message;
        EnxBaseException::GetLastConvertedException(code, message);
        state.SkipWithError(("put " + std::to_string(result) + ": " + platform::Utf16ToUtf8(message)).c_str());
        return;
      }
    int got = 0;
    while (engine.Get(out.data()) == 0) ++got;
    if (got != aCount) state.SkipWithError("get");
    benchmark::DoNotOptimize(out.data());
  }
}

void LargeOurs(benchmark::State& state) {
  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = server.OpenFolder(folder.path);
  Sort(state, database, kLarge);
  database->Free();
}

void LargeSqlite(benchmark::State& state) {
  bench::TempFolder folder;
  sqlite3* db = nullptr;
  sqlite3_open((folder.path / "bench.db").string().c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA page_size=4096; PRAGMA cache_size=-65536; PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF;"
               "PRAGMA temp_store=FILE; CREATE TABLE t(a INTEGER, b TEXT, payload BLOB)",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t(a, b, payload) VALUES(?, ?, ?)", -1, &insert, nullptr);
  std::array<uint8_t, kPayload> payload;
  payload.fill(7);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (const Row& row : Rows()) {
    sqlite3_bind_int(insert, 1, row.A);
    sqlite3_bind_text(insert, 2, row.B.data() + 1, static_cast<uint8_t>(row.B[0]), SQLITE_STATIC);
    sqlite3_bind_blob(insert, 3, payload.data(), kPayload, SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_finalize(insert);
  for (auto _ : state) {
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, "SELECT a, b, payload FROM t ORDER BY a, b", -1, &select, nullptr);
    int got = 0;
    while (sqlite3_step(select) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_blob(select, 2));
      ++got;
    }
    sqlite3_finalize(select);
    if (got != kLarge) state.SkipWithError("select");
  }
  sqlite3_close(db);
}

void SmallOurs(benchmark::State& state) {
  bench::TServerBenchEngine server;
  Sort(state, nullptr, kSmall);
}

void SmallStdSort(benchmark::State& state) {
  struct Record {
    std::array<uint8_t, kRecLen> Bytes;
  };
  TnxIndexDescriptor* index = nullptr;
  bench::TServerBenchEngine server;
  auto dict = Dictionary(index);
  const std::vector<uint8_t> records = Records(*dict, kSmall);
  for (auto _ : state) {
    std::vector<Record> copy(kSmall);
    std::memcpy(copy.data(), records.data(), records.size());
    std::sort(copy.begin(), copy.end(), [](const Record& aLeft, const Record& aRight) {
      int32_t a1, a2;
      std::memcpy(&a1, aLeft.Bytes.data(), 4);
      std::memcpy(&a2, aRight.Bytes.data(), 4);
      if (a1 != a2) return a1 < a2;
      const uint8_t n1 = aLeft.Bytes[4], n2 = aRight.Bytes[4];
      const int c = std::memcmp(aLeft.Bytes.data() + 5, aRight.Bytes.data() + 5, std::min(n1, n2));
      return c != 0 ? c < 0 : n1 < n2;
    });
    benchmark::DoNotOptimize(copy.data());
  }
}

}  // namespace

BENCHMARK(LargeOurs)->Name("sort_1e6/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LargeSqlite)->Name("sort_1e6/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(SmallOurs)->Name("sort_9e3/ours")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(SmallStdSort)->Name("sort_9e3/peer:std_sort")->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
