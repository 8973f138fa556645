// The block file's ordered flush of 10^4 dirty 8 KB blocks at random
// numbers of a 1 GB file against pwrite of the same blocks in arrival order
// and one fdatasync; and a validated block read against a bare pread.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/text.h"
#include "storage/file_header.h"
#include "storage/startup.h"

namespace {

using namespace revurov;

constexpr uint32_t kBlock = 8192;
constexpr uint32_t kFileBlocks = (1u << 30) / kBlock;
constexpr int kDirty = 10000;

void StartLibrary() { static TnxStorageStartupGuard storage; }

std::string Folder() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/";
}

class TBlock final : public TnxQueuedBlock {
public:
  TBlock(TnxBlockNumber aNumber, int32_t aOwner) : number_(aNumber), image_(kBlock, 0x5A) {
    std::memcpy(image_.data(), "NXDH", 4);
    std::memcpy(image_.data() + 4, &number_, 4);
    std::memcpy(image_.data() + kBlock - 4, &aOwner, 4);
  }
  TnxBlockNumber BlockNumber() const noexcept override { return number_; }
  TnxLSN LastLSN() const noexcept override { return 0; }
  uint8_t* PinImage() override { return image_.data(); }
  void Unpin() noexcept override {}
  std::vector<uint8_t>& EncryptionCookie() noexcept override { return cookie_; }
  void SetUnwritten(bool) noexcept override {}
  void RollbackUnwritten() override {}
  const uint8_t* Data() const { return image_.data(); }

private:
  TnxBlockNumber number_;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> cookie_;
};

// A 1 GB "NX!2" file of 8 KB blocks, opened with its header read.
std::unique_ptr<TnxBaseFile> MakeTable(const std::string& aName) {
  const std::u16string name = platform::Utf8ToUtf16(Folder() + aName);
  auto file = std::make_unique<TnxOverlappedLinuxFile>(name);
  file->fiBlockSize = nxbs8k;
  file->OpenFile(omReadWrite, smExclusive, false, true);
  std::vector<uint8_t> header(kBlock);
  TnxBaseFileHeaderAccessFactory::CreateFactory({'N', 'X', '!', '2'}, header.data(), *file);
  file->WriteFileExactAt(0, kBlock, header.data());
  file->WriteFileExactAt(int64_t{kFileBlocks - 1} * kBlock, kBlock, header.data());  // sparse up to 1 GB
  bool readOnly = false;
  file->ReadHeader({}, readOnly);
  return file;
}

std::vector<std::unique_ptr<TBlock>> DirtyBlocks() {
  std::mt19937 random(62);
  std::vector<std::unique_ptr<TBlock>> blocks;
  for (int i = 0; i < kDirty; ++i)
    blocks.push_back(std::make_unique<TBlock>(1 + random() % (kFileBlocks - 2), 0));
  return blocks;
}

void FlushOurs(benchmark::State& state) {
  StartLibrary();
  auto file = MakeTable("bench_flush_ours.nx1");
  const auto blocks = DirtyBlocks();
  for (auto _ : state) {
    for (const auto& b : blocks) file->WriteBlock(*b);
    file->PrepareFlushFile();
    file->FlushFile(true);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kDirty * kBlock);
  file->CloseFile();
  unlink((Folder() + "bench_flush_ours.nx1").c_str());
}

void FlushPwrite(benchmark::State& state) {
  StartLibrary();
  const std::string path = Folder() + "bench_flush_peer.nx1";
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 || ftruncate(fd, off_t(kFileBlocks) * kBlock) != 0) {
    state.SkipWithError("cannot create the file");
    return;
  }
  const auto blocks = DirtyBlocks();
  for (auto _ : state) {
    for (const auto& b : blocks)
      benchmark::DoNotOptimize(pwrite(fd, b->Data(), kBlock, off_t(b->BlockNumber()) * kBlock));
    fdatasync(fd);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kDirty * kBlock);
  close(fd);
  unlink(path.c_str());
}

constexpr uint32_t kReadBlocks = 256;  // a file that stays in the page cache

void ReadOurs(benchmark::State& state) {
  StartLibrary();
  auto file = MakeTable("bench_read_ours.nx1");
  for (uint32_t n = 1; n < kReadBlocks; ++n) file->WriteFileExactAt(int64_t{n} * kBlock, kBlock, TBlock(n, 1).Data());
  std::vector<uint8_t> buffer(kBlock);
  std::vector<uint8_t> cookie;
  uint32_t n = 1;
  for (auto _ : state) {
    file->ReadDecryptFileExactAt(int64_t{n} * kBlock, kBlock, buffer.data(), cookie);
    file->fiHeaderAccessFactory->ValidateBlock(buffer.data(), n);
    n = n + 1 < kReadBlocks ? n + 1 : 1;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kBlock);
  file->CloseFile();
  unlink((Folder() + "bench_read_ours.nx1").c_str());
}

void ReadPread(benchmark::State& state) {
  StartLibrary();
  const std::string path = Folder() + "bench_read_peer.nx1";
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    state.SkipWithError("cannot create the file");
    return;
  }
  for (uint32_t n = 0; n < kReadBlocks; ++n)
    benchmark::DoNotOptimize(pwrite(fd, TBlock(n, 1).Data(), kBlock, off_t(n) * kBlock));
  std::vector<uint8_t> buffer(kBlock);
  uint32_t n = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(pread(fd, buffer.data(), kBlock, off_t(n) * kBlock));
    n = n + 1 < kReadBlocks ? n + 1 : 1;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kBlock);
  close(fd);
  unlink(path.c_str());
}

}  // namespace

BENCHMARK(FlushOurs)->Name("flush_10k_random/ours")->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(FlushPwrite)->Name("flush_10k_random/peer:pwrite_arrival_order")->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadOurs)->Name("validated_read/ours");
BENCHMARK(ReadPread)->Name("validated_read/peer:pread");
BENCHMARK_MAIN();
