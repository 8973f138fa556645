// The buffer manager's read path against what a plain cache and a plain
// read cost:
// - cached_get: GetBlock + release of random cached blocks against a lookup
//   in a std::unordered_map under a std::mutex that pins the entry with an
//   atomic count, on 1 and 8 threads;
// - cold_read: the first GetBlock of a block (read from the file) against
//   pread of the same bytes into one buffer, and into one buffer per block;
//   all read from the page cache.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <unordered_map>
#include <vector>

#include "platform/text.h"
#include "storage/buffer_manager.h"
#include "storage/files.h"
#include "support/storage_fixture.h"

namespace {

using namespace revurov;

constexpr uint32_t kBlocks = 4096;
constexpr uint32_t kBlockBytes = 4096;
constexpr size_t kRandomCount = 1 << 16;

// Block numbers 1 .. kBlocks - 1 in a fixed random order.
const std::vector<TnxBlockNumber>& RandomBlocks() {
  static const std::vector<TnxBlockNumber> numbers = [] {
    std::mt19937 random(42);
    std::vector<TnxBlockNumber> v(kRandomCount);
    for (auto& n : v) n = 1 + random() % (kBlocks - 1);
    return v;
  }();
  return numbers;
}

// One table file on the plain file seam, attached to a buffer manager.
struct TTable {
  TTable() {
    path = fx.MakeTable("bench.nx1", nxbs4k, kBlocks);
    file = std::make_unique<TnxBaseFile>(path);
    file->OpenFile(omReadOnly, smShared, false, false);
    Attach();
  }
  ~TTable() { fx.BufMgr().RemoveFile(*file); }
  void Attach() {
    TnxBlockGuard header;
    PnxBlock block = nullptr;
    bool readOnly = false;
    fx.BufMgr().AddFile(*file, {}, header.ReleaseMethod(), block, readOnly);
    header.Hold(block);
  }

  testing::TStorageFixture fx{256};
  std::u16string path;
  std::unique_ptr<TnxBaseFile> file;
};

TTable& CachedTable() {
  static TTable table;
  static const bool loaded = [] {
    for (TnxBlockNumber n = 1; n < kBlocks; ++n) {
      TnxBlockGuard guard;
      guard.Hold(table.fx.BufMgr().GetBlock(*table.file, nullptr, n, guard.ReleaseMethod()));
    }
    return true;
  }();
  (void)loaded;
  return table;
}

void CachedGetOurs(benchmark::State& state) {
  TTable& table = CachedTable();
  TnxBufferManager& bm = table.fx.BufMgr();
  const auto& numbers = RandomBlocks();
  size_t next = static_cast<size_t>(state.thread_index()) * 4099;
  for (auto _ : state) {
    TnxReleaseMethod release;
    PnxBlock block = bm.GetBlock(*table.file, nullptr, numbers[next++ % kRandomCount], release);
    benchmark::DoNotOptimize(block[100]);
    release(block);
  }
}

struct TPeerEntry {
  std::atomic<int32_t> pins{0};
  std::vector<uint8_t> image = std::vector<uint8_t>(kBlockBytes, 1);
};

struct TPeerCache {
  TPeerCache() {
    for (TnxBlockNumber n = 0; n < kBlocks; ++n) map[n] = std::make_unique<TPeerEntry>();
  }
  uint8_t* Get(TnxBlockNumber aNumber, TPeerEntry*& aPinned) {
    std::lock_guard<std::mutex> lock(mu);
    const auto it = map.find(aNumber);
    if (it == map.end()) return nullptr;
    it->second->pins.fetch_add(1, std::memory_order_relaxed);
    aPinned = it->second.get();
    return it->second->image.data();
  }
  std::mutex mu;
  std::unordered_map<TnxBlockNumber, std::unique_ptr<TPeerEntry>> map;
};

void CachedGetPeer(benchmark::State& state) {
  static TPeerCache cache;
  const auto& numbers = RandomBlocks();
  size_t next = static_cast<size_t>(state.thread_index()) * 4099;
  for (auto _ : state) {
    TPeerEntry* pinned = nullptr;
    uint8_t* block = cache.Get(numbers[next++ % kRandomCount], pinned);
    benchmark::DoNotOptimize(block[100]);
    pinned->pins.fetch_sub(1, std::memory_order_release);
  }
}

void ColdReadOurs(benchmark::State& state) {
  TTable table;
  TnxBufferManager& bm = table.fx.BufMgr();
  TnxBlockNumber n = 1;
  for (auto _ : state) {
    if (n == kBlocks) {
      state.PauseTiming();
      bm.RemoveFile(*table.file);
      table.Attach();
      n = 1;
      state.ResumeTiming();
    }
    TnxReleaseMethod release;
    PnxBlock block = bm.GetBlock(*table.file, nullptr, n++, release);
    benchmark::DoNotOptimize(block[100]);
    release(block);
  }
}

void ColdReadPeer(benchmark::State& state) {
  TTable table;
  const std::string path = platform::Utf16ToUtf8(table.path);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<uint8_t> buffer(kBlockBytes);
  TnxBlockNumber n = 1;
  for (auto _ : state) {
    if (n == kBlocks) n = 1;
    benchmark::DoNotOptimize(pread(fd, buffer.data(), kBlockBytes, off_t(n++) * kBlockBytes));
    benchmark::DoNotOptimize(buffer[100]);
  }
  close(fd);
}

// The same reads, each into the block's own buffer, as a cache must keep
// them: shows what of the difference is the copy into cold memory.
void ColdReadPeerOwnBuffers(benchmark::State& state) {
  TTable table;
  const std::string path = platform::Utf16ToUtf8(table.path);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<uint8_t> buffers(size_t{kBlocks} * kBlockBytes);
  TnxBlockNumber n = 1;
  for (auto _ : state) {
    if (n == kBlocks) n = 1;
    uint8_t* buffer = buffers.data() + size_t{n} * kBlockBytes;
    benchmark::DoNotOptimize(pread(fd, buffer, kBlockBytes, off_t(n++) * kBlockBytes));
    benchmark::DoNotOptimize(buffer[100]);
  }
  close(fd);
}

BENCHMARK(CachedGetOurs)->Name("cached_get/ours")->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(CachedGetPeer)->Name("cached_get/peer:mutex_unordered_map")->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(ColdReadOurs)->Name("cold_read/ours");
BENCHMARK(ColdReadPeer)->Name("cold_read/peer:pread");
BENCHMARK(ColdReadPeerOwnBuffers)->Name("cold_read/peer:pread_own_buffers");

}  // namespace

BENCHMARK_MAIN();
