// The variable record engine with "Smart" compression against SQLite, on
// rows of a mixed layout: three integers, a date, a 60-character string
// holding 30 characters, about one integer in five null.
// - file_bytes_variable, file_bytes_static: bytes of the file per record
//   after 10^6 inserts in transactions of 1000 (ours: the blocks the file
//   header counts; SQLite: the file after VACUUM, 4 KB pages). The "time"
//   of these runs is bytes per record, so the ratio is SQLite's bytes over
//   ours.
// - grow_updates: 10^5 random records each made a fifth longer (the string
//   from 30 to 40 characters) in transactions of 1000, on a table of 10^6;
//   the same cache for both, synchronous=OFF and journal_mode=MEMORY as
//   our commits without fail-safe.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dictionary/field_types.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/storage_descriptors.h"
#include "storage/header_access.h"
#include "storage/variable_record_engine.h"
#include "support/table_fixture.h"
#include "support/temp_dir.h"

namespace {

using namespace revurov;

constexpr int kRecords = 1'000'000;
constexpr int kPerTransaction = 1000;
constexpr int kUpdates = 100'000;
constexpr int32_t kCacheMB = 256;
constexpr uint32_t kStringChars = 30;
constexpr uint32_t kGrownChars = 40;

struct TRow {
  bool Null[3];
  int32_t Id;
  int64_t Amount;
  int16_t Qty;
  int32_t Date;
  std::string Text;
};

TRow MakeRow(std::mt19937& aRandom, int aIndex, uint32_t aChars) {
  TRow r{};
  for (bool& n : r.Null) n = aRandom() % 5 == 0;
  r.Id = aIndex;
  r.Amount = static_cast<int64_t>(aRandom() % 1'000'000);
  r.Qty = static_cast<int16_t>(aRandom() % 100);
  r.Date = 730'000 + static_cast<int32_t>(aRandom() % 5000);
  r.Text.resize(aChars);
  for (char& c : r.Text) c = static_cast<char>('a' + aRandom() % 26);
  return r;
}

struct TOurs {
  explicit TOurs(bool aVariable) : table(Shape(aVariable), kCacheMB) {
    TnxFieldsDescriptor& fields = table.Dict().FieldsDescriptor();
    record.resize(static_cast<size_t>(fields.RecordLength()) + 4);
  }
  static testing::TTableShape Shape(bool aVariable) {
    testing::TTableShape shape;
    shape.DataBytes = 0;
    shape.Configure = [aVariable](testing::TTestDataDictionary& aDict) {
      TnxFieldsDescriptor& f = aDict.FieldsDescriptor();
      f.AddField(u"Id", u"", nxtInt32, 0, 0, false);
      f.AddField(u"Amount", u"", nxtInt64, 0, 0, false);
      f.AddField(u"Qty", u"", nxtInt16, 0, 0, false);
      f.AddField(u"Day", u"", nxtDate, 0, 0, false);
      f.AddField(u"Text", u"", nxtShortString, 60, 0, false);
      if (!aVariable) return;
      aDict.RemoveRecordDescriptor();
      auto* record =
          static_cast<TnxHeapRecordDescriptor*>(aDict.AddRecordDescriptor(&TnxHeapRecordDescriptor::ClassInfo()));
      record->SetRecordEngine(u"Variable");
      record->AddHeapDescriptor()->AddBlockHeapDescriptor();
      record->AddRecordCompressionDescriptor()->SetRecordCompressionEngine(u"Smart");
    };
    return shape;
  }
  uint8_t* Fill(const TRow& aRow) {
    TnxFieldsDescriptor& f = table.Dict().FieldsDescriptor();
    f.InitRecord(record.data());
    const void* values[] = {&aRow.Id, &aRow.Amount, &aRow.Qty, &aRow.Date};
    f.SetRecordField(0, record.data(), values[0]);
    for (int i = 1; i < 4; ++i)
      if (i == 3 || !aRow.Null[i - 1]) f.SetRecordField(i, record.data(), values[i]);
    uint8_t text[61] = {};
    text[0] = static_cast<uint8_t>(aRow.Text.size());
    std::memcpy(text + 1, aRow.Text.data(), aRow.Text.size());
    f.SetRecordField(4, record.data(), text);
    return record.data();
  }
  void Insert() {
    std::mt19937 random(42);
    refs.reserve(kRecords);
    for (int i = 0; i < kRecords; i += kPerTransaction) {
      for (int j = 0; j < kPerTransaction; ++j) {
        TnxRefNr ref = 0;
        table.Records().AddRecord(table.Trans(), ref, Fill(MakeRow(random, i + j, kStringChars)));
        refs.push_back(ref);
      }
      table.Commit();
    }
  }
  double BytesPerRecord() {
    auto header = table.Access().HeaderAccess(nullptr, false);
    // The file's blocks with their format reserve (4 bytes in "NX!2").
    return double(header->UsedBlocks()) * (table.Access().fiBlockSizeBytes() + 4) / kRecords;
  }
  testing::TTableFixture table;
  std::vector<uint8_t> record;
  std::vector<TnxRefNr> refs;
};

struct TSqlite {
  TSqlite() {
    name = dir.Path("bench.db");
    sqlite3_open(name.c_str(), &db);
    const std::string setup = "PRAGMA page_size=4096; PRAGMA cache_size=-" + std::to_string(kCacheMB * 1024) +
                              "; PRAGMA synchronous=OFF; PRAGMA journal_mode=MEMORY;"
                              "CREATE TABLE t(id INTEGER, amount INTEGER, qty INTEGER, day INTEGER, text TEXT)";
    sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr);
  }
  ~TSqlite() { sqlite3_close(db); }
  void Bind(sqlite3_stmt* aStatement, const TRow& aRow) {
    sqlite3_bind_int(aStatement, 1, aRow.Id);
    if (aRow.Null[0]) sqlite3_bind_null(aStatement, 2); else sqlite3_bind_int64(aStatement, 2, aRow.Amount);
    if (aRow.Null[1]) sqlite3_bind_null(aStatement, 3); else sqlite3_bind_int(aStatement, 3, aRow.Qty);
    sqlite3_bind_int(aStatement, 4, aRow.Date);
    sqlite3_bind_text(aStatement, 5, aRow.Text.data(), static_cast<int>(aRow.Text.size()), SQLITE_TRANSIENT);
  }
  void Insert() {
    std::mt19937 random(42);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?,?,?,?,?)", -1, &insert, nullptr);
    for (int i = 0; i < kRecords; i += kPerTransaction) {
      sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
      for (int j = 0; j < kPerTransaction; ++j) {
        Bind(insert, MakeRow(random, i + j, kStringChars));
        sqlite3_step(insert);
        sqlite3_reset(insert);
      }
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    sqlite3_finalize(insert);
  }
  double BytesPerRecord() {
    sqlite3_exec(db, "VACUUM", nullptr, nullptr, nullptr);
    sqlite3_int64 pages = 0;
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA page_count", -1, &count, nullptr);
    if (sqlite3_step(count) == SQLITE_ROW) pages = sqlite3_column_int64(count, 0);
    sqlite3_finalize(count);
    return double(pages) * 4096 / kRecords;
  }
  testing::TempDir dir;
  std::string name;
  sqlite3* db = nullptr;
};

std::vector<int> UpdateIndexes() {
  std::mt19937 random(7);
  std::vector<int> v(kUpdates);
  for (int& n : v) n = static_cast<int>(random() % kRecords);
  return v;
}

void Report(benchmark::State& aState, double aBytes) {
  for (auto _ : aState) aState.SetIterationTime(aBytes * 1e-6);
  aState.counters["bytes_per_record"] = aBytes;
}

void BM_FileBytesVariable(benchmark::State& state) {
  TOurs ours(true);
  ours.Insert();
  Report(state, ours.BytesPerRecord());
}

void BM_FileBytesStatic(benchmark::State& state) {
  TOurs ours(false);
  ours.Insert();
  Report(state, ours.BytesPerRecord());
}

void BM_FileBytesSqlite(benchmark::State& state) {
  TSqlite sqlite;
  sqlite.Insert();
  Report(state, sqlite.BytesPerRecord());
}

void BM_GrowOurs(benchmark::State& state) {
  TOurs ours(true);
  ours.Insert();
  const std::vector<int> indexes = UpdateIndexes();
  std::mt19937 random(9);
  for (auto _ : state) {
    for (int i = 0; i < kUpdates; i += kPerTransaction) {
      for (int j = 0; j < kPerTransaction; ++j) {
        const int index = indexes[static_cast<size_t>(i + j)];
        ours.table.Records().UpdateRecord(ours.table.Trans(), ours.refs[static_cast<size_t>(index)],
                                          ours.Fill(MakeRow(random, index, kGrownChars)), nullptr);
      }
      ours.table.Commit();
    }
  }
}

void BM_GrowSqlite(benchmark::State& state) {
  TSqlite sqlite;
  sqlite.Insert();
  const std::vector<int> indexes = UpdateIndexes();
  std::mt19937 random(9);
  sqlite3_stmt* update = nullptr;
  sqlite3_prepare_v2(sqlite.db, "UPDATE t SET id=?1, amount=?2, qty=?3, day=?4, text=?5 WHERE rowid=?6", -1, &update,
                     nullptr);
  for (auto _ : state) {
    for (int i = 0; i < kUpdates; i += kPerTransaction) {
      sqlite3_exec(sqlite.db, "BEGIN", nullptr, nullptr, nullptr);
      for (int j = 0; j < kPerTransaction; ++j) {
        const int index = indexes[static_cast<size_t>(i + j)];
        sqlite.Bind(update, MakeRow(random, index, kGrownChars));
        sqlite3_bind_int64(update, 6, index + 1);
        sqlite3_step(update);
        sqlite3_reset(update);
      }
      sqlite3_exec(sqlite.db, "COMMIT", nullptr, nullptr, nullptr);
    }
  }
  sqlite3_finalize(update);
}

}  // namespace

BENCHMARK(BM_FileBytesVariable)->Name("file_bytes_variable/ours")->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FileBytesSqlite)->Name("file_bytes_variable/peer:sqlite")->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FileBytesStatic)->Name("file_bytes_static/ours")->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FileBytesSqlite)->Name("file_bytes_static/peer:sqlite")->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GrowOurs)->Name("grow_updates/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GrowSqlite)->Name("grow_updates/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
