// Temporary storage's write and read of an 8 KB block against pwrite and
// pread of the same bytes on an unnamed file in the same folder.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "storage/startup.h"
#include "storage/temp_storage.h"

namespace {

using namespace revurov;

constexpr size_t kBlock = 8192;
constexpr int kLive = 256;  // blocks kept stored, so slots come and go

// Started once for the whole run, so both cases share what the library's
// background threads cost.
void StartLibrary() {
  static TnxStorageStartupGuard storage;
}

const char* Folder() {
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

void WriteReadOurs(benchmark::State& state) {
  StartLibrary();
  const std::string dir = Folder();
  TnxChunkedTempStorage store(std::u16string(dir.begin(), dir.end()));
  std::vector<uint8_t> block(kBlock, 0x5A), back(kBlock);
  std::vector<TnxBlockTmpNum> live;
  for (int i = 0; i < kLive; ++i) live.push_back(store.WriteBlock(block.data(), mm::nxbs8k));
  size_t next = 0;
  for (auto _ : state) {
    store.ReadBlock(live[next], mm::nxbs8k, back.data());
    live[next] = store.WriteBlock(block.data(), mm::nxbs8k);
    next = (next + 1) % kLive;
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 2 * kBlock);
}

void WriteReadPeer(benchmark::State& state) {
  StartLibrary();
  const int fd = open(Folder(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    state.SkipWithError("no O_TMPFILE here");
    return;
  }
  std::vector<uint8_t> block(kBlock, 0x5A), back(kBlock);
  for (int i = 0; i < kLive; ++i) benchmark::DoNotOptimize(pwrite(fd, block.data(), kBlock, off_t(i) * kBlock));
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(pread(fd, back.data(), kBlock, off_t(next) * kBlock));
    benchmark::DoNotOptimize(pwrite(fd, block.data(), kBlock, off_t(next) * kBlock));
    next = (next + 1) % kLive;
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 2 * kBlock);
  close(fd);
}

BENCHMARK(WriteReadOurs)->Name("write_read_8k/ours");
BENCHMARK(WriteReadPeer)->Name("write_read_8k/peer:pwrite_pread_tmpfile");

}  // namespace

BENCHMARK_MAIN();
