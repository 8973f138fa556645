// The block cache under a skewed load: reads along a Zipf (s = 0.99) trace
// of the blocks of a file four times the RAM budget.
// - zipf_read/ours: GetBlock + release through a buffer manager that starts
//   cold; zipf_read/peer:pread reads the same blocks with pread (from the
//   page cache) into one buffer.
// - After our run it prints the hit rate against an exact LRU of the
//   budget's size over the same reads, and the process's peak RSS against
//   MaxRAM + 16 MB.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <list>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/string_list.h"
#include "platform/text.h"
#include "storage/buffer_manager.h"
#include "storage/files.h"
#include "support/storage_fixture.h"

namespace {

using namespace revurov;

constexpr int32_t kMaxRAM = 16;                          // MB
constexpr uint32_t kCachePages = kMaxRAM * 256;          // 4 KB blocks the budget holds
constexpr uint32_t kBlocks = 4 * kCachePages + 1;        // header + four budgets
constexpr uint32_t kBlockBytes = 4096;
constexpr int64_t kReads = 400000;

// kReads block numbers (1 .. kBlocks - 1) drawn by a Zipf law; the rank of a
// block is a fixed random permutation, so hot blocks are spread over the file.
const std::vector<TnxBlockNumber>& Trace() {
  static const std::vector<TnxBlockNumber> trace = [] {
    const uint32_t n = kBlocks - 1;
    std::vector<double> cumulative(n);
    double sum = 0;
    for (uint32_t r = 0; r < n; ++r) cumulative[r] = sum += 1.0 / std::pow(r + 1.0, 0.99);
    std::vector<TnxBlockNumber> blockOfRank(n);
    std::iota(blockOfRank.begin(), blockOfRank.end(), 1);
    std::mt19937 random(7);
    std::shuffle(blockOfRank.begin(), blockOfRank.end(), random);
    std::uniform_real_distribution<double> uniform(0, sum);
    std::vector<TnxBlockNumber> v(kReads);
    for (auto& b : v) {
      const auto it = std::lower_bound(cumulative.begin(), cumulative.end(), uniform(random));
      b = blockOfRank[std::min<size_t>(it - cumulative.begin(), n - 1)];
    }
    return v;
  }();
  return trace;
}

double LruHitRate(int64_t aReads) {
  std::list<TnxBlockNumber> order;  // most recent first
  std::unordered_map<TnxBlockNumber, std::list<TnxBlockNumber>::iterator> where;
  int64_t hits = 0;
  for (int64_t i = 0; i < aReads; ++i) {
    const TnxBlockNumber b = Trace()[i % kReads];
    const auto it = where.find(b);
    if (it != where.end()) {
      ++hits;
      order.splice(order.begin(), order, it->second);
      continue;
    }
    order.push_front(b);
    where[b] = order.begin();
    if (order.size() > kCachePages) {
      where.erase(order.back());
      order.pop_back();
    }
  }
  return double(hits) / double(aReads);
}

int64_t StatusKB(const char* aField) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(aField, 0) == 0) return std::stoll(line.substr(std::strlen(aField)));
  return 0;
}

int64_t BlocksRead(TnxBufferManager& aBm) {
  platform::TStringList values;
  aBm.GetStatsValues(values);
  std::string text = platform::Utf16ToUtf8(values[12]);
  std::erase_if(text, [](char c) { return c < '0' || c > '9'; });
  return std::stoll(text);
}

// The table file, made once; every run attaches it to a fresh cache.
testing::TStorageFixture& Fixture() {
  static testing::TStorageFixture fx(kMaxRAM);
  return fx;
}
const std::u16string& TablePath() {
  static const std::u16string path = Fixture().MakeTable("zipf.nx1", nxbs4k, kBlocks);
  return path;
}

void ZipfReadOurs(benchmark::State& state) {
  const std::u16string& path = TablePath();
  (void)Trace();
  // The peak from here on: building the file and the trace does not count.
  { std::ofstream("/proc/self/clear_refs") << "5"; }
  auto bm = std::make_unique<TnxBufferManager>(u"");
  bm->SetMaxRAM(kMaxRAM);
  TnxBaseFile file(path);
  file.OpenFile(omReadOnly, smShared, false, false);
  {
    TnxBlockGuard header;
    PnxBlock block = nullptr;
    bool readOnly = false;
    bm->AddFile(file, {}, header.ReleaseMethod(), block, readOnly);
    header.Hold(block);
  }
  const int64_t before = BlocksRead(*bm);
  int64_t i = 0;
  for (auto _ : state) {
    TnxReleaseMethod release;
    PnxBlock block = bm->GetBlock(file, nullptr, Trace()[i++ % kReads], release);
    benchmark::DoNotOptimize(block[100]);
    release(block);
  }
  const double hitRate = 1.0 - double(BlocksRead(*bm) - before) / double(i);
  const int64_t peakKB = StatusKB("VmHWM:");
  bm->RemoveFile(file);
  const double lru = LruHitRate(i);
  state.counters["hit_rate"] = hitRate;
  state.counters["lru_hit_rate"] = lru;
  state.counters["peak_rss_mb"] = double(peakKB) / 1024;
  std::fprintf(stderr,
               "zipf_read: %lld reads, hit rate %.4f vs exact LRU %.4f (%.3fx); peak RSS %.1f MB vs MaxRAM + 16 MB "
               "= %d MB (%.2fx)\n",
               static_cast<long long>(i), hitRate, lru, hitRate / lru, double(peakKB) / 1024, kMaxRAM + 16,
               double(peakKB) / 1024 / (kMaxRAM + 16));
}

void ZipfReadPeer(benchmark::State& state) {
  const std::string path = platform::Utf16ToUtf8(TablePath());
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<uint8_t> buffer(kBlockBytes);
  int64_t i = 0;
  for (auto _ : state) {
    const TnxBlockNumber b = Trace()[i++ % kReads];
    benchmark::DoNotOptimize(pread(fd, buffer.data(), kBlockBytes, off_t(b) * kBlockBytes));
    benchmark::DoNotOptimize(buffer[100]);
  }
  close(fd);
}

BENCHMARK(ZipfReadOurs)->Name("zipf_read/ours")->Iterations(kReads);
BENCHMARK(ZipfReadPeer)->Name("zipf_read/peer:pread")->Iterations(kReads);

}  // namespace

BENCHMARK_MAIN();
