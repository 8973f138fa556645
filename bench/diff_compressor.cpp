// The record diff compressor on 1 KiB records against two peers: memcmp of
// the two records (the least a change test can cost) and LZ4 block
// compression of their XOR delta (a general-purpose way to send only what
// changed). Cases: one changed word, 16 scattered changed words, and an
// unchanged record. The output sizes are reported as counters.
#include <benchmark/benchmark.h>
#include <lz4.h>

#include <cstring>
#include <random>
#include <vector>

#include "dictionary/diff_compressor.h"
#include "lowlevel/startup.h"

namespace {

using namespace revurov;

constexpr uint32_t kRecordLength = 1024;

struct Records {
  std::vector<uint8_t> oldRec, newRec;
};

Records MakeRecords(int aChangedWords) {
  std::mt19937 rng(1024);
  Records r;
  r.oldRec.resize(kRecordLength);
  for (auto& b : r.oldRec) b = uint8_t(rng());
  r.newRec = r.oldRec;
  for (int i = 0; i < aChangedWords; ++i) {
    const uint32_t word = (uint32_t(i) * 61 + 7) % (kRecordLength / 4);
    r.newRec[word * 4] ^= 0x5A;
  }
  return r;
}

void Ours(benchmark::State& state) {
  TnxLowLevelStartupGuard library;
  const Records r = MakeRecords(int(state.range(0)));
  const auto info = TnxDiffCompressorInfoRef::Adopt(nxNewDiffCompressorInfo(kRecordLength));
  std::vector<uint8_t> out(kRecordLength);
  uint32_t size = 0;
  for (auto _ : state) {
    size = nxDiffCompress(*info, r.oldRec.data(), r.newRec.data(), out.data());
    benchmark::DoNotOptimize(size);
    benchmark::ClobberMemory();
  }
  state.counters["bytes_out"] = size;
}

void Memcmp(benchmark::State& state) {
  const Records r = MakeRecords(int(state.range(0)));
  // Through a volatile pointer, so that the compiler cannot fold the call.
  const uint8_t* volatile a = r.oldRec.data();
  const uint8_t* volatile b = r.newRec.data();
  for (auto _ : state) benchmark::DoNotOptimize(std::memcmp(a, b, kRecordLength));
  state.counters["bytes_out"] = 0;
}

void Lz4Xor(benchmark::State& state) {
  const Records r = MakeRecords(int(state.range(0)));
  std::vector<uint8_t> delta(kRecordLength);
  std::vector<char> out(static_cast<size_t>(LZ4_compressBound(int(kRecordLength))));
  int size = 0;
  for (auto _ : state) {
    for (uint32_t i = 0; i < kRecordLength; ++i) delta[i] = r.oldRec[i] ^ r.newRec[i];
    size = LZ4_compress_default(reinterpret_cast<const char*>(delta.data()), out.data(), int(kRecordLength),
                                int(out.size()));
    benchmark::DoNotOptimize(size);
    benchmark::ClobberMemory();
  }
  state.counters["bytes_out"] = size;
}

void Cases(benchmark::internal::Benchmark* b) {
  for (int changed : {0, 1, 16}) b->Arg(changed);
}

BENCHMARK(Ours)->Name("diff_1k/ours")->Apply(Cases);
BENCHMARK(Memcmp)->Name("diff_1k/peer:memcmp")->Apply(Cases);
BENCHMARK(Lz4Xor)->Name("diff_1k/peer:lz4_xor")->Apply(Cases);

}  // namespace

BENCHMARK_MAIN();
