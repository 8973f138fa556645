// 10^6 SetBit calls on random clear bits of 1,000 bit arrays (bits below
// 8192, so arrays grow to about 1 KB), committed every 10^4 calls, against
// the peer: the same calls on the segmented BLOB engine made directly -
// the length, the byte, the zero gap when the bit lies past the end, the
// byte written back, the count read and written - without the checks. Both
// start each run from a fresh table whose 1,000 arrays hold one bit.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "server/engines/bit_array_storage.h"
#include "support/fulltext_table.h"

namespace {

using namespace revurov;

constexpr int kArrays = 1000;
constexpr int kCalls = 1'000'000;
constexpr uint32_t kBits = 8192;
constexpr int kCommitEvery = 10'000;

struct TCall {
  int32_t Array;
  uint32_t Bit;
};

// Every array's first bit, and 10^6 further bits that are all distinct
// within their array, in random order.
struct TPlan {
  std::vector<uint32_t> First;
  std::vector<TCall> Calls;
};

const TPlan& Plan() {
  static const TPlan plan = [] {
    TPlan p;
    std::mt19937 random(162);
    std::vector<std::vector<uint32_t>> bits(kArrays);
    std::vector<uint32_t> all(kBits);
    for (uint32_t i = 0; i < kBits; ++i) all[i] = i;
    for (auto& b : bits) {
      std::shuffle(all.begin(), all.end(), random);
      b.assign(all.begin(), all.begin() + kCalls / kArrays + 1);
    }
    for (auto& b : bits) p.First.push_back(b[0]);
    std::vector<size_t> next(kArrays, 1);
    for (int i = 0; i < kCalls; ++i) {
      int32_t a = static_cast<int32_t>(random() % kArrays);
      while (next[static_cast<size_t>(a)] >= bits[static_cast<size_t>(a)].size()) a = (a + 1) % kArrays;
      p.Calls.push_back({a, bits[static_cast<size_t>(a)][next[static_cast<size_t>(a)]++]});
    }
    return p;
  }();
  return plan;
}

class TByteStream final : public revurov::platform::TStream {
public:
  uint8_t Bytes[4] = {};
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* aData, int64_t aCount) override {
    std::memcpy(Bytes, aData, static_cast<size_t>(std::min<int64_t>(aCount, 4)));
    return aCount;
  }
  int64_t Seek(int64_t, revurov::platform::TSeekOrigin) override { return 0; }
};

const uint8_t kZeros[kBits / 8] = {};

// What SetBit does on the BLOB engine, without its checks.
void DirectSetBit(TnxBaseBlobEngine& aBlobs, TnxBaseTransaction& aTrans, TnxBlobNr aNr, uint32_t aBit) {
  const uint32_t offset = 4 + aBit / 8;
  const auto mask = static_cast<uint8_t>(1u << (aBit % 8));
  uint32_t length = 0;
  aBlobs.GetBlobLength(&aTrans, aNr, {}, length);
  TByteStream stream;
  uint8_t current = 0;
  if (offset < length) {
    aBlobs.Read(&aTrans, aNr, offset, 1, {}, stream);
    current = stream.Bytes[0];
  } else if (offset > length) {
    aBlobs.Write(aTrans, aNr, length, offset - length, kZeros);
  }
  current |= mask;
  aBlobs.Write(aTrans, aNr, offset, 1, &current);
  aBlobs.Read(&aTrans, aNr, 0, 4, {}, stream);
  uint32_t count = 0;
  std::memcpy(&count, stream.Bytes, 4);
  ++count;
  aBlobs.Write(aTrans, aNr, 0, 4, &count);
}

struct TWorld {
  testing::TFulltextTable Table;
  std::vector<TnxBitArrayRef> Refs;
  TWorld() {
    for (uint32_t bit : Plan().First) Refs.push_back(Table.Handler().CreateNew(Table.Trans(), bit));
    Table.Commit();
  }
};

void SetBitOurs(benchmark::State& state) {
  const TPlan& plan = Plan();
  for (auto _ : state) {
    state.PauseTiming();
    auto world = std::make_unique<TWorld>();
    TnxBaseBitArrayStorageHandlerTableEngine& handler = world->Table.Handler();
    state.ResumeTiming();
    int n = 0;
    for (const TCall& c : plan.Calls) {
      handler.SetBit(world->Table.Trans(), world->Refs[static_cast<size_t>(c.Array)], c.Bit);
      if (++n % kCommitEvery == 0) world->Table.Commit();
    }
    world->Table.Commit();
    state.PauseTiming();
    world.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kCalls);
}

void SetBitDirect(benchmark::State& state) {
  const TPlan& plan = Plan();
  for (auto _ : state) {
    state.PauseTiming();
    auto world = std::make_unique<TWorld>();
    TnxBaseBlobEngine& blobs = world->Table.Blobs();
    state.ResumeTiming();
    int n = 0;
    for (const TCall& c : plan.Calls) {
      DirectSetBit(blobs, world->Table.Trans(), world->Refs[static_cast<size_t>(c.Array)], c.Bit);
      if (++n % kCommitEvery == 0) world->Table.Commit();
    }
    world->Table.Commit();
    state.PauseTiming();
    world.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kCalls);
}

BENCHMARK(SetBitOurs)->Name("set_bit_1e6/ours")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(SetBitDirect)->Name("set_bit_1e6/peer:direct_blob_engine")->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
