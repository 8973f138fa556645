// Storage transactions against SQLite with the same page size and cache,
// synchronous=OFF and journal_mode=MEMORY, both on a file in the page
// cache. SQLite's file is the one it wrote itself; ours, made by the test
// fixture in one write, is dropped from the page cache and read back by our
// library as on any open, so that the page cache holds what our own reads
// put there (one big write leaves large folios, dearer for block writes).
// - commit16: a transaction changing 16 random blocks, committed and
//   flushed without fail-safe, against BEGIN, 16 row updates on 16 pages
//   (one row per page) and COMMIT;
// - nested1: a nested level changing one block, committed into its outer
//   level, against SAVEPOINT, one update and RELEASE inside a transaction.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/text.h"
#include "storage/buffer_manager.h"
#include "storage/files.h"
#include "storage/transactions.h"
#include "support/storage_fixture.h"

namespace {

using namespace revurov;

constexpr uint32_t kBlocks = 4096;
constexpr int32_t kCacheMB = 64;

std::vector<TnxBlockNumber> RandomBlocks() {
  std::mt19937 random(42);
  std::vector<TnxBlockNumber> v(1 << 16);
  for (auto& n : v) n = 1 + random() % (kBlocks - 1);
  return v;
}

// Writes the file's bytes out and drops them from the page cache.
void DropFromPageCache(const std::string& aPath) {
  const int fd = open(aPath.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

struct TTable {
  TTable() {
    path = fx.MakeTable("bench.nx1", nxbs4k, kBlocks);
    DropFromPageCache(platform::Utf16ToUtf8(path));
    file = std::make_unique<TnxBaseFile>(path);
    file->OpenFile(omReadWrite, smExclusive, false, false);
    TnxBlockGuard header;
    PnxBlock block = nullptr;
    bool readOnly = false;
    fx.BufMgr().AddFile(*file, {}, header.ReleaseMethod(), block, readOnly);
    header.Hold(block);
    for (TnxBlockNumber n = 1; n < kBlocks; ++n) {
      TnxBlockGuard guard;
      guard.Hold(fx.BufMgr().GetBlock(*file, nullptr, n, guard.ReleaseMethod()));
    }
  }
  ~TTable() { fx.BufMgr().RemoveFile(*file); }
  void Change(TnxBaseTransaction& aTrans, TnxBlockNumber aNumber, uint8_t aValue) {
    TnxBlockGuard guard;
    guard.Hold(fx.BufMgr().GetBlock(*file, &aTrans, aNumber, true, guard.ReleaseMethod()));
    guard.Block()[100] = aValue;
  }

  testing::TStorageFixture fx{kCacheMB};
  std::u16string path;
  std::unique_ptr<TnxBaseFile> file;
};

struct TSqlite {
  TSqlite() {
    const std::string name = fx.Dir().Path("bench.db");
    sqlite3_open(name.c_str(), &db);
    const std::string setup = "PRAGMA page_size=4096; PRAGMA cache_size=-" + std::to_string(kCacheMB * 1024) +
                              "; PRAGMA synchronous=OFF; PRAGMA journal_mode=MEMORY;"
                              "CREATE TABLE t(id INTEGER PRIMARY KEY, n INTEGER, pad BLOB); BEGIN";
    sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    // About 3 KB per row: one row per page.
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?, 0, zeroblob(3000))", -1, &insert, nullptr);
    for (uint32_t id = 1; id < kBlocks; ++id) {
      sqlite3_bind_int(insert, 1, static_cast<int>(id));
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT; SELECT sum(n) FROM t", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, "UPDATE t SET n = n + 1 WHERE id = ?", -1, &update, nullptr);
  }
  ~TSqlite() {
    sqlite3_finalize(update);
    sqlite3_close(db);
  }
  void Update(TnxBlockNumber aId) {
    sqlite3_bind_int(update, 1, static_cast<int>(aId));
    sqlite3_step(update);
    sqlite3_reset(update);
  }

  testing::TStorageFixture fx{1};
  sqlite3* db = nullptr;
  sqlite3_stmt* update = nullptr;
};

void Commit16Ours(benchmark::State& state) {
  TTable table;
  TnxBufferManager& bm = table.fx.BufMgr();
  const auto numbers = RandomBlocks();
  size_t next = 0;
  uint8_t value = 0;
  for (auto _ : state) {
    TnxBaseTransaction trans(bm, nullptr, false, false);
    ++value;
    for (int i = 0; i < 16; ++i) table.Change(trans, numbers[next++ % numbers.size()], value);
    TnxFlushList flush;
    bm.CommitTransaction(&trans, &flush, false);
    flush.Flush(false);
  }
}

void Commit16Sqlite(benchmark::State& state) {
  TSqlite db;
  const auto numbers = RandomBlocks();
  size_t next = 0;
  for (auto _ : state) {
    sqlite3_exec(db.db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < 16; ++i) db.Update(numbers[next++ % numbers.size()]);
    sqlite3_exec(db.db, "COMMIT", nullptr, nullptr, nullptr);
  }
}

void Nested1Ours(benchmark::State& state) {
  TTable table;
  TnxBufferManager& bm = table.fx.BufMgr();
  const auto numbers = RandomBlocks();
  size_t next = 0;
  uint8_t value = 0;
  TnxBaseTransaction trans(bm, nullptr, false, false);
  for (auto _ : state) {
    trans.StartNested(true);
    table.Change(trans, numbers[next++ % numbers.size()], ++value);
    bm.CommitTransaction(&trans, nullptr, false);
    trans.EndLevel();
  }
  bm.RollbackTransaction(&trans);
}

void Nested1Sqlite(benchmark::State& state) {
  TSqlite db;
  const auto numbers = RandomBlocks();
  size_t next = 0;
  sqlite3_exec(db.db, "BEGIN", nullptr, nullptr, nullptr);
  for (auto _ : state) {
    sqlite3_exec(db.db, "SAVEPOINT s", nullptr, nullptr, nullptr);
    db.Update(numbers[next++ % numbers.size()]);
    sqlite3_exec(db.db, "RELEASE s", nullptr, nullptr, nullptr);
  }
  sqlite3_exec(db.db, "ROLLBACK", nullptr, nullptr, nullptr);
}

BENCHMARK(Commit16Ours)->Name("commit16/ours");
BENCHMARK(Commit16Sqlite)->Name("commit16/peer:sqlite");
BENCHMARK(Nested1Ours)->Name("nested1/ours");
BENCHMARK(Nested1Sqlite)->Name("nested1/peer:sqlite");

}  // namespace

BENCHMARK_MAIN();
