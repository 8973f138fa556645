// Building a unique 16-byte index over records that are already stored,
// once over random keys and once over keys stored in key order:
// - ours: the records' table file with an empty index; one transaction
//   walks the records, feeds the bulk builder, finalizes and commits
//   through the journal;
// - SQLite: CREATE UNIQUE INDEX on a table holding the same rows, 4 KB
//   pages, the same cache, synchronous=FULL, journal_mode=DELETE.
// 2 * 10^5 records by default, 10^6 with REVUROV_LONG_TESTS=1.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/bulk_build.h"
#include "index/index_engines.h"
#include "index/startup.h"
#include "platform/text.h"
#include "storage/journal_engine.h"
#include "storage/startup.h"
#include "storage/transactions.h"
#include "support/table_fixture.h"
#include "support/test_size.h"

namespace {

using namespace revurov;

constexpr int32_t kCacheMB = 256;
constexpr int kKey = 16;
constexpr int kLength = 100;
constexpr int kPerTransaction = 10000;

int Records() { return testing::TestSize(200000, 1000000); }

std::vector<uint8_t> Keys(bool aSorted) {
  std::mt19937_64 random(42);
  std::vector<std::array<uint8_t, kKey>> keys(static_cast<size_t>(Records()));
  for (auto& key : keys)
    for (auto& b : key) b = static_cast<uint8_t>(random());
  if (aSorted)
    std::sort(keys.begin(), keys.end(),
              [](const auto& a, const auto& b) { return std::memcmp(a.data(), b.data(), kKey) < 0; });
  std::vector<uint8_t> flat;
  for (const auto& key : keys) flat.insert(flat.end(), key.begin(), key.end());
  return flat;
}

struct TOurs {
  explicit TOurs(const std::vector<uint8_t>& aKeys)
      : table(testing::TTableShape{.DataBytes = kLength - kKey - 4, .KeyBytes = kKey}, kCacheMB) {
    std::vector<uint8_t> record(table.RecordLength(), 7);
    const int n = Records();
    for (int i = 0; i < n; i += kPerTransaction) {
      for (int j = i; j < std::min(n, i + kPerTransaction); ++j) {
        std::memcpy(record.data(), &aKeys[size_t(j) * kKey], kKey);
        TnxRefNr ref = 0;
        table.Records().AddRecord(table.Trans(), ref, record.data());
      }
      table.Commit();
    }
    auto* indices = table.Dict().EnsureIndicesDescriptor();
    while (indices->IndexCount() > 0) indices->RemoveIndex(indices->IndexCount() - 1);
    TnxIndexDescriptor* d = indices->AddIndex(u"Key", 0, idNone, u"", &TnxNoNullCompKeyDescriptor::ClassInfo());
    static_cast<TnxCompKeyDescriptor*>(d->KeyDescriptor())->Add(0);
    engine = TnxBaseIndicesEngine::CreateEngine(table.Dict(), table.Files(), &table.Records(), &table.Trans(), false);
    table.Commit();
  }
  void Build() {
    const std::u16string journal = revurov::platform::Utf8ToUtf16(table.Storage().Dir().Path("bench.n$2"));
    TnxBaseTransaction trans(table.Storage().BufMgr(), nullptr, false, true);
    std::unique_ptr<TnxBaseBulkBuilder> builder = engine->CreateBulkBuilder(trans);
    TnxRefNr ref = 0;
    PnxRecordBuffer data = nullptr;
    uint32_t result = 0;
    table.Records().Iterate(
        &trans, ref, &data,
        [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
          result = builder->InsertKey(aRefNr, aRecord, trans);
          return result == 0 ? rirContinue : rirStop;
        },
        nullptr, nullptr, false, false);
    if (result == 0) result = builder->Finalize(trans);
    if (result != 0) std::abort();
    builder.reset();
    trans.SetJournal(std::make_unique<Tnx1xJournalEngine>(journal));
    table.Storage().BufMgr().CommitTransaction(&trans, nullptr, false);
  }
  TnxStorageStartupGuard storage;
  TnxIndexStartupGuard startup;
  testing::TTableFixture table;
  std::unique_ptr<TnxBaseIndicesEngine> engine;
};

struct TSqlite {
  explicit TSqlite(const std::vector<uint8_t>& aKeys) {
    const std::string name = dir.Path("bench.db");
    sqlite3_open(name.c_str(), &db);
    const std::string setup = "PRAGMA page_size=4096; PRAGMA cache_size=-" + std::to_string(kCacheMB * 1024) +
                              "; PRAGMA synchronous=FULL; PRAGMA journal_mode=DELETE;"
                              "CREATE TABLE t(k BLOB, data BLOB)";
    sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr);
    std::vector<uint8_t> data(kLength - kKey, 7);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t(k, data) VALUES(?, ?)", -1, &insert, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < Records(); ++i) {
      sqlite3_bind_blob(insert, 1, &aKeys[size_t(i) * kKey], kKey, SQLITE_STATIC);
      sqlite3_bind_blob(insert, 2, data.data(), kLength - kKey, SQLITE_STATIC);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(insert);
  }
  ~TSqlite() { sqlite3_close(db); }
  void Build() {
    if (sqlite3_exec(db, "CREATE UNIQUE INDEX tk ON t(k)", nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  }
  testing::TempDir dir;
  sqlite3* db = nullptr;
};

template <class T, bool Sorted>
void Run(benchmark::State& state) {
  const std::vector<uint8_t> keys = Keys(Sorted);
  for (auto _ : state) {
    state.PauseTiming();
    auto peer = std::make_unique<T>(keys);
    state.ResumeTiming();
    peer->Build();
    state.PauseTiming();
    peer.reset();
    state.ResumeTiming();
  }
  state.counters["records"] = Records();
}

}  // namespace

BENCHMARK(Run<TOurs, false>)->Name("random/ours")->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Run<TSqlite, false>)
    ->Name("random/peer:sqlite")
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(Run<TOurs, true>)->Name("sorted/ours")->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Run<TSqlite, true>)
    ->Name("sorted/peer:sqlite")
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
