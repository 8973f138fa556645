// The server workloads against SQLite and, where it has a counterpart,
// LMDB, in one run; each workload is a case "Wn/ours" with its peers
// "Wn/peer:sqlite" and "Wn/peer:lmdb" (bench.sh prints the ratios). The
// workloads live in server_workloads*.cpp; this file holds the main and W5.
//
// W5: 10^4 single-record inserts (10^3 by default), each committed
// fail-safe. Ours: a fail-safe transaction started by the caller, the
// insert through a table cursor's public operation (a unique Int32 index,
// 16 bytes of data, table and index in one file), the commit, which
// journals the blocks and syncs journal and file before it answers. SQLite:
// autocommit inserts with synchronous=FULL and the rollback journal. LMDB:
// one write transaction per put, synced. The counter fsyncs_per_commit
// counts our data and folder syncs through the file seam.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <type_traits>
#include <vector>

#include "bench/keyed_workload_table.h"
#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "bench/workload_peers.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "platform/file_ops.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"
#include "support/recording_file_ops.h"
#include "support/test_size.h"

namespace {

using namespace revurov;

// 10^4 under REVUROV_LONG_TESTS=1; each commit waits for the disk.
int W5Inserts() { return revurov::testing::TestSize(1000, 10000); }
constexpr int kData = 16;

struct TW5Ours {
  TW5Ours() {
    database = server.OpenFolder(folder.path);
    if (!database) std::abort();
    if (bench::BuildKeyedTable(*database, kData, omReadWrite, 100000, cursor) != 0) std::abort();
    TnxFieldsDescriptor& fields = cursor->TableDescriptor()->FieldsDescriptor();
    record.assign(size_t(fields.RecordLength()) + 8, 0);
    fields.InitRecord(record.data());
    uint8_t data[kData] = {7};
    fields.SetRecordField(1, record.data(), data);
  }
  ~TW5Ours() {
    cursor->Free();
    database->Free();
  }
  void Insert(int32_t aKey) {
    cursor->TableDescriptor()->FieldsDescriptor().SetRecordField(0, record.data(), &aKey);
    if (database->TransactionStart(true, false) != 0) std::abort();
    if (cursor->RecordInsert(nxltNoLock, record.data(), nullptr) != 0) std::abort();
    if (database->TransactionCommit() != 0) std::abort();
  }
  int64_t Syncs() const {
    int64_t syncs = 0;
    for (const auto& event : seam.Events) syncs += event.Kind == revurov::testing::TRecordingFileOps::TKind::DataSync;
    for (const auto& line : seam.Trace) syncs += line == "syncdir";
    return syncs;
  }

  // Every file the engine opens goes through the seam.
  revurov::testing::TRecordingFileOps seam{revurov::platform::PosixFileOps()};
  revurov::platform::ScopedFileOps scoped{seam};
  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = nullptr;
  TnxServerTableCursor* cursor = nullptr;
  std::vector<uint8_t> record;
};

struct TW5Sqlite {
  TW5Sqlite() { insert = peer.Prepare("INSERT INTO t(k, data) VALUES(?, ?)"); }
  void Insert(int32_t aKey) {
    sqlite3_bind_int(insert, 1, aKey);
    sqlite3_bind_blob(insert, 2, data, kData, SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
    sqlite3_reset(insert);
  }
  bench::TSqlitePeer peer{"PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL"};
  sqlite3_stmt* insert = nullptr;
  uint8_t data[kData] = {7};
};

struct TW5Lmdb {
  void Insert(int32_t aKey) {
    uint8_t key[4];
    bench::TLmdbPeer::Key(aKey, key);
    MDB_val k{sizeof key, key};
    MDB_val v{kData, data};
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(peer.Env(), nullptr, 0, &txn) != 0) std::abort();
    if (mdb_put(txn, peer.Dbi(), &k, &v, 0) != 0) std::abort();
    if (mdb_txn_commit(txn) != 0) std::abort();
  }
  bench::TLmdbPeer peer{0};
  uint8_t data[kData] = {7};
};

std::unique_ptr<TW5Ours> gW5Ours;
std::unique_ptr<TW5Sqlite> gW5Sqlite;
std::unique_ptr<TW5Lmdb> gW5Lmdb;

// Each run inserts keys not inserted before, into the table the runs
// before it filled.
template <class T>
void RunW5(benchmark::State& state, std::unique_ptr<T>& aPeer) {
  static int32_t next = 1;
  if (!aPeer) aPeer = std::make_unique<T>();
  T& peer = *aPeer;
  int64_t syncsBefore = 0;
  if constexpr (std::is_same_v<T, TW5Ours>) syncsBefore = peer.Syncs();
  for (auto _ : state)
    for (int i = 0; i < W5Inserts(); ++i) peer.Insert(next++);
  const int64_t commits = int64_t(W5Inserts()) * state.iterations();
  state.SetItemsProcessed(commits);
  if constexpr (std::is_same_v<T, TW5Ours>)
    state.counters["fsyncs_per_commit"] = double(peer.Syncs() - syncsBefore) / double(commits);
}

void W5Ours(benchmark::State& s) { RunW5(s, gW5Ours); }
void W5Sqlite(benchmark::State& s) { RunW5(s, gW5Sqlite); }
void W5Lmdb(benchmark::State& s) { RunW5(s, gW5Lmdb); }

}  // namespace

BENCHMARK(W5Ours)->Name("W5/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W5Sqlite)->Name("W5/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W5Lmdb)->Name("W5/peer:lmdb")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gW5Ours.reset();
  gW5Sqlite.reset();
  gW5Lmdb.reset();
  return 0;
}
