// nxMove and nxFillChar, through their procedure variables as callers use
// them, against the C library's memmove and memset; the SSE2 variants run as
// further peers to show why start-up prefers the C library's routines.
//
// The peers are called through a pointer the compiler cannot see through,
// as ours are: a direct call lets the compiler use what it knows of memmove
// (its result is Dest, the arguments stay in place), which ours cannot have.
// All runs of a size use the same addresses, so that cache-set and 4 KiB
// aliasing effects of the placement fall on ours and the peer alike.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "lowlevel/heap/move_fill.h"

using namespace revurov;

namespace {

constexpr size_t kLargest = 8 << 20;

// Source and destination apart, with a small skew from 64-byte alignment so
// that the unaligned paths are measured too, and Dest 1 KiB past a page
// boundary from Source so that a copy's stores do not alias its next loads.
struct Buffers {
  uint8_t* src;
  uint8_t* dst;
  explicit Buffers(size_t n) {
    static uint8_t* const arena = static_cast<uint8_t*>(std::aligned_alloc(4096, 2 * kLargest + 16384));
    src = arena + 3;
    dst = arena + ((n + 128 + 4095) & ~size_t(4095)) + 1024 + 7;
    std::memset(src, 1, n + 128);
    std::memset(dst, 2, n + 128);
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
  uint8_t* s = b.src;
  uint8_t* d = b.dst;
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
  uint8_t* d = b.dst;
  for (auto _ : state) {
    benchmark::DoNotOptimize(d);
    fill(d, n, uint8_t(0x5A));
    benchmark::ClobberMemory();
  }
  SetBytes(state);
}

void* (*gMemmove)(void*, const void*, size_t) = std::memmove;
void* (*gMemset)(void*, int, size_t) = std::memset;

void MoveOurs(benchmark::State& state) {
  RunMove(state, [](const uint8_t* s, uint8_t* d, int32_t n) { nxMove(s, d, n); });
}
void MovePeerMemmove(benchmark::State& state) {
  RunMove(state, [](const uint8_t* s, uint8_t* d, int32_t n) {
    auto* move = gMemmove;
    benchmark::DoNotOptimize(move);
    move(d, s, size_t(n));
  });
}
void FillOurs(benchmark::State& state) {
  RunFill(state, [](uint8_t* d, int32_t n, uint8_t v) { nxFillChar(d, n, v); });
}
void FillPeerMemset(benchmark::State& state) {
  RunFill(state, [](uint8_t* d, int32_t n, uint8_t v) {
    auto* fill = gMemset;
    benchmark::DoNotOptimize(fill);
    fill(d, v, size_t(n));
  });
}
#ifdef __x86_64__
void MovePeerSse2(benchmark::State& state) { RunMove(state, nxMoveSSE2); }
void FillPeerSse2(benchmark::State& state) { RunFill(state, nxFillCharSSE2); }
#endif

void Sizes(benchmark::internal::Benchmark* b) {
  b->RangeMultiplier(8)->Range(8, kLargest);
  for (int64_t n : {36, 37, 100, 129, 200, 513, 2047, 2048, 200000}) b->Arg(n);
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
