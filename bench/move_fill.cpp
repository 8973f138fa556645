// nxMove and nxFillChar, through their procedure variables as callers use
// them, against the C library's memmove and memset; the SSE2 variants run as
// further peers to show why start-up prefers the C library's routines.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "lowlevel/move_fill.h"

using namespace revurov;

namespace {

// Source and destination apart, 64-byte aligned plus a small skew so that
// the unaligned paths are measured too.
struct Buffers {
  uint8_t* src;
  uint8_t* dst;
  explicit Buffers(size_t n) {
    src = static_cast<uint8_t*>(std::aligned_alloc(64, n + 128));
    dst = static_cast<uint8_t*>(std::aligned_alloc(64, n + 128));
    std::memset(src, 1, n + 128);
    std::memset(dst, 2, n + 128);
  }
  ~Buffers() {
    std::free(src);
    std::free(dst);
  }
};

void SetBytes(benchmark::State& state) {
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

template <typename Copy>
void RunMove(benchmark::State& state, Copy copy) {
  nxMoveFillStartup();
  const int32_t n = static_cast<int32_t>(state.range(0));
  Buffers b(n);
  uint8_t* s = b.src + 3;
  uint8_t* d = b.dst + 7;
  for (auto _ : state) {
    benchmark::DoNotOptimize(s);
    benchmark::DoNotOptimize(d);
    copy(s, d, n);
    benchmark::ClobberMemory();
  }
  SetBytes(state);
}

template <typename Fill>
void RunFill(benchmark::State& state, Fill fill) {
  nxMoveFillStartup();
  const int32_t n = static_cast<int32_t>(state.range(0));
  Buffers b(n);
  uint8_t* d = b.dst + 5;
  for (auto _ : state) {
    benchmark::DoNotOptimize(d);
    fill(d, n, uint8_t(0x5A));
    benchmark::ClobberMemory();
  }
  SetBytes(state);
}

void MoveOurs(benchmark::State& state) {
  RunMove(state, [](const uint8_t* s, uint8_t* d, int32_t n) { nxMove(s, d, n); });
}
void MovePeerMemmove(benchmark::State& state) {
  RunMove(state, [](const uint8_t* s, uint8_t* d, int32_t n) { std::memmove(d, s, size_t(n)); });
}
void FillOurs(benchmark::State& state) {
  RunFill(state, [](uint8_t* d, int32_t n, uint8_t v) { nxFillChar(d, n, v); });
}
void FillPeerMemset(benchmark::State& state) {
  RunFill(state, [](uint8_t* d, int32_t n, uint8_t v) { std::memset(d, v, size_t(n)); });
}
#ifdef __x86_64__
void MovePeerSse2(benchmark::State& state) { RunMove(state, nxMoveSSE2); }
void FillPeerSse2(benchmark::State& state) { RunFill(state, nxFillCharSSE2); }
#endif

void Sizes(benchmark::internal::Benchmark* b) {
  b->RangeMultiplier(8)->Range(8, 8 << 20);
  for (int64_t n : {36, 37, 100, 2047, 2048, 200000}) b->Arg(n);
}

}  // namespace

BENCHMARK(MoveOurs)->Name("move/ours")->Apply(Sizes);
BENCHMARK(MovePeerMemmove)->Name("move/peer:memmove")->Apply(Sizes);
BENCHMARK(FillOurs)->Name("fill/ours")->Apply(Sizes);
BENCHMARK(FillPeerMemset)->Name("fill/peer:memset")->Apply(Sizes);
#ifdef __x86_64__
BENCHMARK(MovePeerSse2)->Name("move/peer:sse2")->Apply(Sizes);
BENCHMARK(FillPeerSse2)->Name("fill/peer:sse2")->Apply(Sizes);
#endif

BENCHMARK_MAIN();
