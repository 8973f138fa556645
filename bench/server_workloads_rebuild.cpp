// W8: rebuilding the unique Int32 index of a table of 10^6 records of 100
// bytes (an Int32 key and 96 bytes of data). Ours: an index rebuild task on
// a private database and cursor, started and followed through its task
// info until it reports finished (one fail-safe transaction). SQLite:
// REINDEX of the same index (journal_mode=DELETE, synchronous=FULL, as W1).
// The table is loaded once per peer; only the rebuilds are timed.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "bench/keyed_workload_table.h"
#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "bench/workload_peers.h"
#include "dictionary/fields_descriptor.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"
#include "server/server_tasks.h"

namespace {

using namespace revurov;

constexpr int kW8Records = 1000000;
constexpr int kW8Batch = 1000;
constexpr int kW8Data = 96;

[[noreturn]] void Fail(const char* aStep, uint32_t aCode) {
  std::fprintf(stderr, "W8/ours: %s answered %u\n", aStep, unsigned(aCode));
  std::abort();
}

struct TW8Ours {
  TW8Ours() {
    database = server.OpenFolder(folder.path);
    if (!database) std::abort();
    if (uint32_t result = bench::BuildKeyedTable(*database, kW8Data, omReadWrite, 600000, cursor))
      Fail("BuildKeyedTable", result);
    TnxFieldsDescriptor& fields = cursor->TableDescriptor()->FieldsDescriptor();
    const int32_t length = fields.RecordLength();
    std::vector<uint8_t> record(size_t(length), 0);
    fields.InitRecord(record.data());
    uint8_t data[kW8Data];
    std::memset(data, 7, sizeof data);
    fields.SetRecordField(1, record.data(), data);
    const int32_t zero = 0;
    fields.SetRecordField(0, record.data(), &zero);
    const int32_t keyOffset = fields.FieldDescriptor(0)->Offset();
    TnxMemoryStream stream;
    uint8_t header[8] = {};
    platform::StoreLE<int32_t>(header + 4, kW8Batch);
    stream.Write(header, sizeof header);
    uint8_t size[4];
    platform::StoreLE<int32_t>(size, length);
    std::vector<int64_t> records;
    for (int i = 0; i < kW8Batch; ++i) {
      records.push_back(stream.GetSize() + 4);
      stream.Write(size, sizeof size);
      stream.Write(record.data(), length);
    }
    if (uint32_t result = database->TransactionStart(false, false)) Fail("TransactionStart", result);
    // Keys in a scattered order, so the rebuild has to sort.
    uint32_t key = 0;
    for (int b = 0; b < kW8Records / kW8Batch; ++b) {
      for (const int64_t at : records) {
        const int32_t k = int32_t((uint64_t(key++) * 2654435761u) % kW8Records);
        std::memcpy(stream.ByteArray() + at + keyOffset, &k, sizeof k);
      }
      if (uint32_t result = cursor->RecordInsertBatch(stream)) Fail("RecordInsertBatch", result);
    }
    if (uint32_t result = database->TransactionCommit()) Fail("TransactionCommit", result);
  }
  ~TW8Ours() {
    cursor->Free();
    database->Free();
  }
  void Rebuild() {
    TnxAbstractDatabase* own = nullptr;
    if (uint32_t result = server.OpenDatabase(platform::Utf8ToUtf16(folder.path.string()), own))
      Fail("OpenDatabase", result);
    TnxServerObjectPtr<TnxServerDatabase> ownDatabase(static_cast<TnxServerDatabase*>(own));
    TnxAbstractCursor* opened = nullptr;
    if (uint32_t result =
            own->CursorOpen(opened, u"T", u"", omReadWrite, smShared, 600000, u"", -1, false, 0, 500, nullptr))
      Fail("CursorOpen", result);
    auto task = nxCreateServerObject<TnxServerRebuildIndexTaskInfo>(
        TnxServerObjectPtr<TnxServerTableCursor>(static_cast<TnxServerTableCursor*>(opened)),
        std::move(ownDatabase), 0);
    task->StartThread();
    TnxTaskStatus status;
    bool completed = false;
    for (;;) {
      task->GetStatus(completed, status);
      if (completed) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (status.tsErrorCode != 0 || status.tsRecsWritten != uint32_t(kW8Records)) Fail("rebuild", status.tsErrorCode);
  }

  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = nullptr;
  TnxServerTableCursor* cursor = nullptr;
};

struct TW8Sqlite {
  TW8Sqlite() {
    sqlite3_stmt* insert = peer.Prepare("INSERT INTO t(k, data) VALUES(?, ?)");
    uint8_t data[kW8Data];
    std::memset(data, 7, sizeof data);
    peer.Exec("BEGIN");
    for (uint32_t key = 0; key < uint32_t(kW8Records); ++key) {
      sqlite3_bind_int(insert, 1, int32_t((uint64_t(key) * 2654435761u) % kW8Records));
      sqlite3_bind_blob(insert, 2, data, kW8Data, SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
      sqlite3_reset(insert);
    }
    peer.Exec("COMMIT");
  }
  void Rebuild() { peer.Exec("REINDEX tk"); }
  bench::TSqlitePeer peer{"PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL"};
};

std::unique_ptr<TW8Ours> gW8Ours;
std::unique_ptr<TW8Sqlite> gW8Sqlite;

void FreeW8() {
  gW8Ours.reset();
  gW8Sqlite.reset();
}

// Loaded once for all runs; freed at exit, before whatever the load made.
template <class T>
void RunW8(benchmark::State& state, std::unique_ptr<T>& aPeer) {
  if (!aPeer) {
    aPeer = std::make_unique<T>();
    static const bool registered = std::atexit(&FreeW8) == 0;
    (void)registered;
  }
  for (auto _ : state) aPeer->Rebuild();
  state.SetItemsProcessed(int64_t(kW8Records) * state.iterations());
}

void W8Ours(benchmark::State& s) { RunW8(s, gW8Ours); }
void W8Sqlite(benchmark::State& s) { RunW8(s, gW8Sqlite); }

}  // namespace

BENCHMARK(W8Ours)->Name("W8/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W8Sqlite)->Name("W8/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
