// W12: emptying a table of 10^6 records of 100 bytes (an Int32 key and 96
// bytes of data, a unique index on the key). Ours: the database's
// TableEmpty on the table (no cursor open on it), which builds the empty
// table beside the full one and swaps the files in one recorded step.
// SQLite: DELETE FROM t without a condition, its truncate path
// (journal_mode=DELETE, synchronous=FULL, a file database, as W1).
// Every repetition empties a freshly loaded table; the load is not timed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/keyed_workload_table.h"
#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "bench/workload_peers.h"
#include "dictionary/fields_descriptor.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"

namespace {

using namespace revurov;

constexpr int kW12Records = 1000000;
constexpr int kW12Batch = 1000;
constexpr int kW12Data = 96;

[[noreturn]] void Fail(const char* aStep, uint32_t aCode) {
  std::fprintf(stderr, "W12/ours: %s answered %u\n", aStep, unsigned(aCode));
  std::abort();
}

struct TW12Ours {
  TW12Ours() {
    database = server.OpenFolder(folder.path);
    if (!database) std::abort();
    TnxServerTableCursor* cursor = nullptr;
    if (uint32_t result = bench::BuildKeyedTable(*database, kW12Data, omReadWrite, 600000, cursor))
      Fail("BuildKeyedTable", result);
    TnxFieldsDescriptor& fields = cursor->TableDescriptor()->FieldsDescriptor();
    const int32_t length = fields.RecordLength();
    std::vector<uint8_t> record(size_t(length), 0);
    fields.InitRecord(record.data());
    uint8_t data[kW12Data];
    std::memset(data, 7, sizeof data);
    fields.SetRecordField(1, record.data(), data);
    const int32_t zero = 0;
    fields.SetRecordField(0, record.data(), &zero);
    const int32_t keyOffset = fields.FieldDescriptor(0)->Offset();
    TnxMemoryStream stream;
    uint8_t header[8] = {};
    platform::StoreLE<int32_t>(header + 4, kW12Batch);
    stream.Write(header, sizeof header);
    uint8_t size[4];
    platform::StoreLE<int32_t>(size, length);
    std::vector<int64_t> records;
    for (int i = 0; i < kW12Batch; ++i) {
      records.push_back(stream.GetSize() + 4);
      stream.Write(size, sizeof size);
      stream.Write(record.data(), length);
    }
    if (uint32_t result = database->TransactionStart(false, false)) Fail("TransactionStart", result);
    int32_t key = 0;
    for (int b = 0; b < kW12Records / kW12Batch; ++b) {
      for (const int64_t at : records) {
        std::memcpy(stream.ByteArray() + at + keyOffset, &key, sizeof key);
        ++key;
      }
      if (uint32_t result = cursor->RecordInsertBatch(stream)) Fail("RecordInsertBatch", result);
    }
    if (uint32_t result = database->TransactionCommit()) Fail("TransactionCommit", result);
    // The table may not be in use while it is emptied.
    cursor->Free();
  }
  ~TW12Ours() { database->Free(); }
  void Empty() {
    if (uint32_t result = database->TableEmpty(u"T", u"")) Fail("TableEmpty", result);
  }

  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = nullptr;
};

struct TW12Sqlite {
  TW12Sqlite() {
    sqlite3_stmt* insert = peer.Prepare("INSERT INTO t(k, data) VALUES(?, ?)");
    uint8_t data[kW12Data];
    std::memset(data, 7, sizeof data);
    peer.Exec("BEGIN");
    for (int32_t key = 0; key < kW12Records; ++key) {
      sqlite3_bind_int(insert, 1, key);
      sqlite3_bind_blob(insert, 2, data, kW12Data, SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
      sqlite3_reset(insert);
    }
    peer.Exec("COMMIT");
  }
  void Empty() { peer.Exec("DELETE FROM t"); }
  bench::TSqlitePeer peer{"PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL"};
};

template <class T>
void RunW12(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto peer = std::make_unique<T>();
    state.ResumeTiming();
    peer->Empty();
    state.PauseTiming();
    peer.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(kW12Records) * state.iterations());
}

void W12Ours(benchmark::State& s) { RunW12<TW12Ours>(s); }
void W12Sqlite(benchmark::State& s) { RunW12<TW12Sqlite>(s); }

}  // namespace

BENCHMARK(W12Ours)->Name("W12/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W12Sqlite)->Name("W12/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
