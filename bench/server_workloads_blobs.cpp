// A 64 MiB blob written and read through the table cursor, against
// SQLite's incremental blob I/O.
//
// Blob64Write: ours starts a transaction, creates a blob through the
// cursor's public operation, writes it in pieces of 1 MiB and commits;
// SQLite inserts a zeroblob of 64 MiB, writes it through sqlite3_blob_write
// in the same pieces and commits (page 4096, synchronous and journal off,
// the cache as large as ours). Each iteration's blob is deleted again
// outside the timing.
// Blob64Read: one blob of 64 MiB read whole in pieces of 1 MiB, through the
// cursor's BlobRead and through sqlite3_blob_read.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <vector>

#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "bench/workload_peers.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "platform/stream.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"

namespace {

using namespace revurov;

constexpr uint32_t kBlobBytes = 64u << 20;
constexpr uint32_t kPiece = 1u << 20;

// Takes each piece into one buffer, as a caller copying it out would.
class TPieceSink final : public revurov::platform::TStream {
public:
  explicit TPieceSink(std::vector<uint8_t>& aBuffer) : sBuffer(aBuffer) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* aData, int64_t aCount) override {
    const size_t n = std::min(size_t(aCount), sBuffer.size() - sAt);
    std::memcpy(sBuffer.data() + sAt, aData, n);
    sAt += n;
    return int64_t(n);
  }
  int64_t Seek(int64_t, revurov::platform::TSeekOrigin) override { return int64_t(sAt); }
  void Reset() noexcept { sAt = 0; }
  size_t Size() const noexcept { return sAt; }

private:
  std::vector<uint8_t>& sBuffer;
  size_t sAt = 0;
};

struct TBlobOurs {
  TBlobOurs() {
    database = static_cast<TnxServerDatabase*>(server.OpenFolder(folder.path));
    if (!database) std::abort();
    TnxDataDictionary dict;
    dict.FieldsDescriptor().AddField(u"K", u"", nxtInt32, 0, 0, false);
    dict.FieldsDescriptor().AddField(u"Data", u"", nxtBlob, 0, 0, false);
    dict.FilesDescriptor().AddFile(u"bl", nxbs4k, u"Blobs");
    dict.AddBlobDescriptor()->SetFileNumber(1);
    if (database->TableBuild(false, u"T", u"", &dict, tsPersistent, false) != 0) std::abort();
    TnxAbstractCursor* opened = nullptr;
    if (database->CursorOpen(opened, u"T", u"", omReadWrite, smShared, 100000, u"", -1, false, 0, 500, nullptr) != 0)
      std::abort();
    holder = static_cast<TnxServerTableCursor*>(opened);
    // The blob handler that writes straight to the table's blob engine (an
    // open by this session's version would ask for the caching kind).
    cursor = nxCreateServerObject<TnxServerTableCursor>(database, holder->Table(), 100000u, omReadWrite, smShared,
                                                        u"", -1, false, false)
                 .release();
    bytes.assign(kPiece, 0x5A);
  }
  ~TBlobOurs() {
    cursor->Free();
    holder->Free();
    database->Free();
  }
  TnxBlobNr Write() {
    if (database->TransactionStart(false, false) != 0) std::abort();
    TnxBlobNr nr = 0;
    if (cursor->BlobCreate(nxNullRecID, 1, nr) != 0) std::abort();
    for (uint32_t at = 0; at < kBlobBytes; at += kPiece)
      if (cursor->BlobWrite(nxNullRecID, 1, nr, at, kPiece, bytes.data()) != 0) std::abort();
    if (database->TransactionCommit() != 0) std::abort();
    return nr;
  }
  void Delete(TnxBlobNr aNr) {
    if (cursor->BlobDelete(nxNullRecID, 1, aNr) != 0) std::abort();
  }
  void Read(TnxBlobNr aNr) {
    TPieceSink sink(bytes);
    for (uint32_t at = 0; at < kBlobBytes; at += kPiece) {
      sink.Reset();
      if (cursor->BlobRead(nxNullRecID, 1, aNr, at, kPiece, sink, false, nullptr) != 0 || sink.Size() != kPiece)
        std::abort();
    }
  }

  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxServerDatabase* database = nullptr;
  TnxServerTableCursor* holder = nullptr;
  TnxServerTableCursor* cursor = nullptr;
  std::vector<uint8_t> bytes;
};

struct TBlobSqlite {
  TBlobSqlite() {
    insert = peer.Prepare("INSERT INTO t(k, data) VALUES(?, zeroblob(?))");
    remove = peer.Prepare("DELETE FROM t WHERE k = ?");
    bytes.assign(kPiece, 0x5A);
  }
  int64_t Write(int32_t aKey) {
    peer.Exec("BEGIN");
    sqlite3_bind_int(insert, 1, aKey);
    sqlite3_bind_int(insert, 2, int(kBlobBytes));
    if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
    sqlite3_reset(insert);
    const int64_t row = sqlite3_last_insert_rowid(peer.Db());
    sqlite3_blob* blob = nullptr;
    if (sqlite3_blob_open(peer.Db(), "main", "t", "data", row, 1, &blob) != SQLITE_OK) std::abort();
    for (uint32_t at = 0; at < kBlobBytes; at += kPiece)
      if (sqlite3_blob_write(blob, bytes.data(), int(kPiece), int(at)) != SQLITE_OK) std::abort();
    sqlite3_blob_close(blob);
    peer.Exec("COMMIT");
    return row;
  }
  void Delete(int32_t aKey) {
    sqlite3_bind_int(remove, 1, aKey);
    if (sqlite3_step(remove) != SQLITE_DONE) std::abort();
    sqlite3_reset(remove);
  }
  void Read(int64_t aRow) {
    sqlite3_blob* blob = nullptr;
    if (sqlite3_blob_open(peer.Db(), "main", "t", "data", aRow, 0, &blob) != SQLITE_OK) std::abort();
    for (uint32_t at = 0; at < kBlobBytes; at += kPiece)
      if (sqlite3_blob_read(blob, bytes.data(), int(kPiece), int(at)) != SQLITE_OK) std::abort();
    sqlite3_blob_close(blob);
  }

  bench::TSqlitePeer peer{
      "PRAGMA page_size=4096; PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA cache_size=-65536"};
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* remove = nullptr;
  std::vector<uint8_t> bytes;
};

// Each run makes its own folder and table, outside the timing.
void Blob64WriteOurs(benchmark::State& state) {
  TBlobOurs ours;
  for (auto _ : state) {
    const TnxBlobNr nr = ours.Write();
    state.PauseTiming();
    ours.Delete(nr);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(kBlobBytes) * state.iterations());
}

void Blob64WriteSqlite(benchmark::State& state) {
  TBlobSqlite peer;
  for (auto _ : state) {
    peer.Write(1);
    state.PauseTiming();
    peer.Delete(1);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(kBlobBytes) * state.iterations());
}

void Blob64ReadOurs(benchmark::State& state) {
  TBlobOurs ours;
  const TnxBlobNr nr = ours.Write();
  for (auto _ : state) ours.Read(nr);
  state.SetBytesProcessed(int64_t(kBlobBytes) * state.iterations());
}

void Blob64ReadSqlite(benchmark::State& state) {
  TBlobSqlite peer;
  const int64_t row = peer.Write(2);
  for (auto _ : state) peer.Read(row);
  state.SetBytesProcessed(int64_t(kBlobBytes) * state.iterations());
}

}  // namespace

BENCHMARK(Blob64WriteOurs)->Name("Blob64Write/ours")->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Blob64WriteSqlite)
    ->Name("Blob64Write/peer:sqlite")
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(Blob64ReadOurs)->Name("Blob64Read/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Blob64ReadSqlite)->Name("Blob64Read/peer:sqlite")->Unit(benchmark::kMillisecond)->UseRealTime();
