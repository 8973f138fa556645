// The static record engine against SQLite (rowid table, 4 KB pages, the
// same cache, synchronous=OFF, journal_mode=MEMORY: like our commits
// without fail-safe) and LMDB (integer keys), 100-byte records:
// - insert: 10^6 records in transactions of 1000;
// - read: 10^6 random reads by reference number / rowid / key of a table
//   of 10^6 records, copied out; SQLite and LMDB inside one read
//   transaction, ours on the committed table.
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/static_record_engine.h"
#include "support/table_fixture.h"

namespace {

using namespace revurov;

constexpr int kRecords = 1'000'000;
constexpr int kPerTransaction = 1000;
constexpr int kReads = 1'000'000;
constexpr int32_t kCacheMB = 256;
constexpr int kLength = 100;

std::vector<uint8_t> Payload(int aSeed) {
  std::vector<uint8_t> r(kLength);
  for (int i = 0; i < kLength; ++i) r[static_cast<size_t>(i)] = static_cast<uint8_t>(aSeed + i);
  return r;
}

std::vector<uint32_t> RandomIndexes() {
  std::mt19937 random(42);
  std::vector<uint32_t> v(kReads);
  for (auto& n : v) n = static_cast<uint32_t>(random() % kRecords);
  return v;
}

struct TOurs {
  TOurs() : table(testing::TTableShape{.DataBytes = kLength - 4}, kCacheMB) {}
  void Insert(int aCount) {
    std::vector<uint8_t> record = Payload(1);
    refs.reserve(static_cast<size_t>(aCount));
    for (int i = 0; i < aCount; i += kPerTransaction) {
      for (int j = 0; j < kPerTransaction; ++j) {
        TnxRefNr ref = 0;
        record[0] = static_cast<uint8_t>(j);
        table.Records().AddRecord(table.Trans(), ref, record.data());
        refs.push_back(ref);
      }
      table.Commit();
    }
  }
  testing::TTableFixture table;
  std::vector<TnxRefNr> refs;
};

struct TSqlite {
  TSqlite() {
    const std::string name = dir.Path("bench.db");
    sqlite3_open(name.c_str(), &db);
    const std::string setup = "PRAGMA page_size=4096; PRAGMA cache_size=-" + std::to_string(kCacheMB * 1024) +
                              "; PRAGMA synchronous=OFF; PRAGMA journal_mode=MEMORY;"
                              "CREATE TABLE t(data BLOB)";
    sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr);
  }
  ~TSqlite() { sqlite3_close(db); }
  void Insert(int aCount) {
    std::vector<uint8_t> record = Payload(1);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t(data) VALUES(?)", -1, &insert, nullptr);
    for (int i = 0; i < aCount; i += kPerTransaction) {
      sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
      for (int j = 0; j < kPerTransaction; ++j) {
        record[0] = static_cast<uint8_t>(j);
        sqlite3_bind_blob(insert, 1, record.data(), kLength, SQLITE_STATIC);
        sqlite3_step(insert);
        sqlite3_reset(insert);
      }
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    sqlite3_finalize(insert);
  }
  testing::TempDir dir;
  sqlite3* db = nullptr;
};

struct TLmdb {
  TLmdb() {
    mdb_env_create(&env);
    mdb_env_set_mapsize(env, size_t{1} << 30);
    mdb_env_open(env, dir.Dir().c_str(), MDB_NOSYNC | MDB_WRITEMAP, 0644);
    MDB_txn* txn = nullptr;
    mdb_txn_begin(env, nullptr, 0, &txn);
    mdb_dbi_open(txn, nullptr, MDB_INTEGERKEY, &dbi);
    std::vector<uint8_t> record = Payload(1);
    for (uint32_t key = 0; key < kRecords; ++key) {
      MDB_val k{sizeof key, &key};
      MDB_val v{kLength, record.data()};
      mdb_put(txn, dbi, &k, &v, MDB_APPEND);
    }
    mdb_txn_commit(txn);
  }
  ~TLmdb() { mdb_env_close(env); }
  testing::TempDir dir;
  MDB_env* env = nullptr;
  MDB_dbi dbi = 0;
};

void BM_InsertOurs(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto ours = std::make_unique<TOurs>();
    state.ResumeTiming();
    ours->Insert(kRecords);
    state.PauseTiming();
    ours.reset();
    state.ResumeTiming();
  }
}

void BM_InsertSqlite(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto sqlite = std::make_unique<TSqlite>();
    state.ResumeTiming();
    sqlite->Insert(kRecords);
    state.PauseTiming();
    sqlite.reset();
    state.ResumeTiming();
  }
}

void BM_ReadOurs(benchmark::State& state) {
  TOurs ours;
  ours.Insert(kRecords);
  const std::vector<uint32_t> indexes = RandomIndexes();
  std::vector<uint8_t> buffer(kLength + 4);
  for (auto _ : state)
    for (uint32_t i : indexes) ours.table.Records().ReadRecord(nullptr, ours.refs[i], buffer.data());
  benchmark::DoNotOptimize(buffer.data());
}

void BM_ReadSqlite(benchmark::State& state) {
  TSqlite sqlite;
  sqlite.Insert(kRecords);
  const std::vector<uint32_t> indexes = RandomIndexes();
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(sqlite.db, "SELECT data FROM t WHERE rowid=?", -1, &select, nullptr);
  std::vector<uint8_t> buffer(kLength);
  // One read transaction, as LMDB's: otherwise every statement locks the
  // file and checks its change counter with system calls.
  sqlite3_exec(sqlite.db, "BEGIN", nullptr, nullptr, nullptr);
  for (auto _ : state)
    for (uint32_t i : indexes) {
      sqlite3_bind_int64(select, 1, i + 1);
      if (sqlite3_step(select) == SQLITE_ROW) std::memcpy(buffer.data(), sqlite3_column_blob(select, 0), kLength);
      sqlite3_reset(select);
    }
  sqlite3_exec(sqlite.db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_finalize(select);
  benchmark::DoNotOptimize(buffer.data());
}

void BM_ReadLmdb(benchmark::State& state) {
  TLmdb lmdb;
  const std::vector<uint32_t> indexes = RandomIndexes();
  std::vector<uint8_t> buffer(kLength);
  MDB_txn* txn = nullptr;
  mdb_txn_begin(lmdb.env, nullptr, MDB_RDONLY, &txn);
  for (auto _ : state)
    for (uint32_t i : indexes) {
      uint32_t key = i;
      MDB_val k{sizeof key, &key};
      MDB_val v{};
      if (mdb_get(txn, lmdb.dbi, &k, &v) == 0) std::memcpy(buffer.data(), v.mv_data, kLength);
    }
  mdb_txn_abort(txn);
  benchmark::DoNotOptimize(buffer.data());
}

}  // namespace

BENCHMARK(BM_InsertOurs)->Name("insert/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_InsertSqlite)->Name("insert/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadOurs)->Name("read/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadSqlite)->Name("read/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadLmdb)->Name("read/peer:lmdb")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
