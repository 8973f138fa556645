// A 64 MiB BLOB written in 64 KiB pieces (one transaction, committed) and
// read back in 64 KiB pieces, and 10^4 random 4 KiB reads inside it: the
// segmented BLOB engine on 4 KB blocks against SQLite's incremental BLOB
// I/O (sqlite3_blob_write / sqlite3_blob_read) on 4 KB pages, both with a
// 256 MB cache and without syncs (SQLite: synchronous OFF, no journal; our
// commit queues the blocks for a later flush). SQLite needs the BLOB's
// room first (zeroblob), which is part of its write.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/blob_table.h"
#include "support/temp_dir.h"

namespace {

using namespace revurov;

constexpr uint32_t kBlobBytes = 64u << 20;
constexpr uint32_t kPiece = 64u << 10;
constexpr uint32_t kSmall = 4096;
constexpr int kRandomReads = 10'000;
constexpr int kCacheMB = 256;

// Reads land in one buffer, as a caller's buffer would take them.
class TBufferStream final : public platform::TStream {
public:
  explicit TBufferStream(uint8_t* aBuffer) : buffer_(aBuffer) {}
  void Rewind() { at_ = 0; }
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* aData, int64_t aCount) override {
    std::memcpy(buffer_ + at_, aData, static_cast<size_t>(aCount));
    at_ += aCount;
    return aCount;
  }
  int64_t Seek(int64_t, platform::TSeekOrigin) override { return at_; }

private:
  uint8_t* buffer_;
  int64_t at_ = 0;
};

std::vector<uint8_t> Payload() {
  std::vector<uint8_t> bytes(kPiece);
  std::mt19937 random(72);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

std::vector<uint32_t> RandomOffsets() {
  std::mt19937 random(73);
  std::vector<uint32_t> offsets(kRandomReads);
  for (auto& o : offsets) o = random() % (kBlobBytes - kSmall);
  return offsets;
}

struct TOurs {
  testing::TBlobTable Table{u"nx1xDefault"};
  TnxBlobNr Nr = 0;
  TOurs() { Table.Table().Storage().BufMgr().SetMaxRAM(kCacheMB); }
  void WriteBlob(const std::vector<uint8_t>& aPiece) {
    Table.Engine().AddBlob(Table.Trans(), Nr);
    for (uint32_t at = 0; at < kBlobBytes; at += kPiece) Table.Engine().Write(Table.Trans(), Nr, at, kPiece, aPiece.data());
    Table.Commit();
  }
};

struct TSqlite {
  testing::TempDir Dir;
  sqlite3* Db = nullptr;
  TSqlite() {
    sqlite3_open(Dir.Path("bench.db").c_str(), &Db);
    const std::string setup = "PRAGMA page_size=4096; PRAGMA cache_size=-" + std::to_string(kCacheMB * 1024) +
                              "; PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                              "CREATE TABLE t(id INTEGER PRIMARY KEY, b BLOB)";
    sqlite3_exec(Db, setup.c_str(), nullptr, nullptr, nullptr);
  }
  ~TSqlite() { sqlite3_close(Db); }
  void WriteBlob(const std::vector<uint8_t>& aPiece) {
    sqlite3_exec(Db, "BEGIN; INSERT OR REPLACE INTO t VALUES(1, zeroblob(67108864))", nullptr, nullptr, nullptr);
    sqlite3_blob* blob = nullptr;
    sqlite3_blob_open(Db, "main", "t", "b", 1, 1, &blob);
    for (uint32_t at = 0; at < kBlobBytes; at += kPiece)
      sqlite3_blob_write(blob, aPiece.data(), static_cast<int>(kPiece), static_cast<int>(at));
    sqlite3_blob_close(blob);
    sqlite3_exec(Db, "COMMIT", nullptr, nullptr, nullptr);
  }
};

void WriteOurs(benchmark::State& state) {
  TOurs ours;
  const std::vector<uint8_t> piece = Payload();
  for (auto _ : state) {
    ours.WriteBlob(piece);
    state.PauseTiming();
    ours.Table.Engine().DeleteBlob(ours.Table.Trans(), ours.Nr);
    ours.Table.Commit();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kBlobBytes});
}

void WriteSqlite(benchmark::State& state) {
  TSqlite peer;
  const std::vector<uint8_t> piece = Payload();
  for (auto _ : state) {
    peer.WriteBlob(piece);
    state.PauseTiming();
    sqlite3_exec(peer.Db, "DELETE FROM t", nullptr, nullptr, nullptr);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kBlobBytes});
}

void ReadOurs(benchmark::State& state) {
  TOurs ours;
  ours.WriteBlob(Payload());
  std::vector<uint8_t> buffer(kPiece);
  TBufferStream stream(buffer.data());
  for (auto _ : state) {
    for (uint32_t at = 0; at < kBlobBytes; at += kPiece) {
      stream.Rewind();
      ours.Table.Engine().Read(&ours.Table.Trans(), ours.Nr, at, kPiece, {}, stream);
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kBlobBytes});
}

void ReadSqlite(benchmark::State& state) {
  TSqlite peer;
  peer.WriteBlob(Payload());
  std::vector<uint8_t> buffer(kPiece);
  sqlite3_blob* blob = nullptr;
  sqlite3_blob_open(peer.Db, "main", "t", "b", 1, 0, &blob);
  for (auto _ : state) {
    for (uint32_t at = 0; at < kBlobBytes; at += kPiece)
      sqlite3_blob_read(blob, buffer.data(), static_cast<int>(kPiece), static_cast<int>(at));
    benchmark::DoNotOptimize(buffer.data());
  }
  sqlite3_blob_close(blob);
  state.SetBytesProcessed(state.iterations() * int64_t{kBlobBytes});
}

void RandomOurs(benchmark::State& state) {
  TOurs ours;
  ours.WriteBlob(Payload());
  const std::vector<uint32_t> offsets = RandomOffsets();
  std::vector<uint8_t> buffer(kSmall);
  TBufferStream stream(buffer.data());
  for (auto _ : state) {
    for (uint32_t at : offsets) {
      stream.Rewind();
      ours.Table.Engine().Read(&ours.Table.Trans(), ours.Nr, at, kSmall, {}, stream);
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations() * kRandomReads);
}

void RandomSqlite(benchmark::State& state) {
  TSqlite peer;
  peer.WriteBlob(Payload());
  const std::vector<uint32_t> offsets = RandomOffsets();
  std::vector<uint8_t> buffer(kSmall);
  sqlite3_blob* blob = nullptr;
  sqlite3_blob_open(peer.Db, "main", "t", "b", 1, 0, &blob);
  for (auto _ : state) {
    for (uint32_t at : offsets) sqlite3_blob_read(blob, buffer.data(), static_cast<int>(kSmall), static_cast<int>(at));
    benchmark::DoNotOptimize(buffer.data());
  }
  sqlite3_blob_close(blob);
  state.SetItemsProcessed(state.iterations() * kRandomReads);
}

BENCHMARK(WriteOurs)->Name("write_64MiB/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(WriteSqlite)->Name("write_64MiB/peer:sqlite")->Unit(benchmark::kMillisecond);
BENCHMARK(ReadOurs)->Name("read_64MiB/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(ReadSqlite)->Name("read_64MiB/peer:sqlite")->Unit(benchmark::kMillisecond);
BENCHMARK(RandomOurs)->Name("random_4KiB/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(RandomSqlite)->Name("random_4KiB/peer:sqlite")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
