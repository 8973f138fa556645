// 10^6 inserts (10^5 unless REVUROV_LONG_TESTS=1) of 100-byte records
// carrying a random 16-byte key, 1000 per transaction, every commit
// fail-safe:
// - ours: static record engine + B*-tree index, each commit through the
//   default (rollback) journal, written and synced before the table; the
//   table file goes through the plain file seam, not the tests' fault seam;
// - SQLite: a table with an index on the key column, 4 KB pages, the same
//   cache, synchronous=FULL, journal_mode=DELETE;
// - LMDB: mdb_put of key -> RefNr (8 bytes) in the same batches, synced
//   commits.
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/index_engines.h"
#include "index/startup.h"
#include "platform/file_ops.h"
#include "platform/text.h"
#include "storage/journal_classes.h"
#include "storage/journal_engine.h"
#include "storage/journal_supply.h"
#include "storage/transactions.h"
#include "support/table_fixture.h"
#include "support/test_size.h"

namespace {

using namespace revurov;

const int kRecords = testing::TestSize(100'000, 1'000'000);
constexpr int kPerTransaction = 1000;
constexpr int32_t kCacheMB = 256;
constexpr int kKey = 16;
constexpr int kLength = 100;

std::vector<uint8_t> Keys() {
  std::mt19937_64 random(42);
  std::vector<uint8_t> keys(static_cast<size_t>(kRecords) * kKey);
  for (auto& b : keys) b = static_cast<uint8_t>(random());
  return keys;
}

struct TOurs {
  TOurs()
      : table(testing::TTableShape{.DataBytes = kLength - kKey - 4, .KeyBytes = kKey, .FileOps = &revurov::platform::PosixFileOps()},
              kCacheMB) {
    auto* indices = table.Dict().EnsureIndicesDescriptor();
    while (indices->IndexCount() > 0) indices->RemoveIndex(indices->IndexCount() - 1);
    TnxIndexDescriptor* d = indices->AddIndex(u"Key", 0, idNone, u"", &TnxNoNullCompKeyDescriptor::ClassInfo());
    static_cast<TnxCompKeyDescriptor*>(d->KeyDescriptor())->Add(0);
    engine = TnxBaseIndicesEngine::CreateEngine(table.Dict(), table.Files(), &table.Records(), &table.Trans(), false);
    table.Commit();
  }
  void Insert(const std::vector<uint8_t>& aKeys) {
    std::vector<uint8_t> record(table.RecordLength(), 7);
    TnxJournalSupply supply(revurov::platform::Utf8ToUtf16(table.Storage().Dir().Dir()));
    for (int i = 0; i < kRecords; i += kPerTransaction) {
      TnxBaseTransaction trans(table.Storage().BufMgr(), nullptr, false, true);
      for (int j = 0; j < kPerTransaction; ++j) {
        std::memcpy(record.data(), &aKeys[size_t(i + j) * kKey], kKey);
        TnxRefNr ref = 0;
        table.Records().AddRecord(trans, ref, record.data());
        engine->InsertKeys(trans, ref, record.data(), nullptr);
      }
      trans.SetJournal(supply.NextJournal(&nxRollbackJournalEngineClass()));
      table.Storage().BufMgr().CommitTransaction(&trans, nullptr, false);
    }
  }
  TnxIndexStartupGuard startup;
  testing::TTableFixture table;
  std::unique_ptr<TnxBaseIndicesEngine> engine;
};

struct TSqlite {
  TSqlite() {
    const std::string name = dir.Path("bench.db");
    sqlite3_open(name.c_str(), &db);
    const std::string setup = "PRAGMA page_size=4096; PRAGMA cache_size=-" + std::to_string(kCacheMB * 1024) +
                              "; PRAGMA synchronous=FULL; PRAGMA journal_mode=DELETE;"
                              "CREATE TABLE t(k BLOB, data BLOB); CREATE UNIQUE INDEX tk ON t(k)";
    sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr);
  }
  ~TSqlite() { sqlite3_close(db); }
  void Insert(const std::vector<uint8_t>& aKeys) {
    std::vector<uint8_t> data(kLength - kKey, 7);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t(k, data) VALUES(?, ?)", -1, &insert, nullptr);
    for (int i = 0; i < kRecords; i += kPerTransaction) {
      sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
      for (int j = 0; j < kPerTransaction; ++j) {
        sqlite3_bind_blob(insert, 1, &aKeys[size_t(i + j) * kKey], kKey, SQLITE_STATIC);
        sqlite3_bind_blob(insert, 2, data.data(), kLength - kKey, SQLITE_STATIC);
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
    mdb_env_open(env, dir.Dir().c_str(), 0, 0644);
    MDB_txn* txn = nullptr;
    mdb_txn_begin(env, nullptr, 0, &txn);
    mdb_dbi_open(txn, nullptr, 0, &dbi);
    mdb_txn_commit(txn);
  }
  ~TLmdb() { mdb_env_close(env); }
  void Insert(const std::vector<uint8_t>& aKeys) {
    for (int i = 0; i < kRecords; i += kPerTransaction) {
      MDB_txn* txn = nullptr;
      mdb_txn_begin(env, nullptr, 0, &txn);
      for (int j = 0; j < kPerTransaction; ++j) {
        int64_t ref = i + j + 1;
        MDB_val k{kKey, const_cast<uint8_t*>(&aKeys[size_t(i + j) * kKey])};
        MDB_val v{sizeof ref, &ref};
        mdb_put(txn, dbi, &k, &v, MDB_NOOVERWRITE);
      }
      mdb_txn_commit(txn);
    }
  }
  testing::TempDir dir;
  MDB_env* env = nullptr;
  MDB_dbi dbi = 0;
};

template <class T>
void Run(benchmark::State& state) {
  const std::vector<uint8_t> keys = Keys();
  for (auto _ : state) {
    state.PauseTiming();
    auto peer = std::make_unique<T>();
    state.ResumeTiming();
    peer->Insert(keys);
    state.PauseTiming();
    peer.reset();
    state.ResumeTiming();
  }
}

}  // namespace

BENCHMARK(Run<TOurs>)->Name("insert/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Run<TSqlite>)->Name("insert/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Run<TLmdb>)->Name("insert/peer:lmdb")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
