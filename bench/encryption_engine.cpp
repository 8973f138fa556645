// Enciphering and deciphering 4 KB table blocks through the encryption
// engine against the bare message cipher on a keyed object of the caller's
// own, doing the same IV, encode and check-value steps. The difference is
// what the engine's cipher pool and block checks cost.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "lowlevel/cipher/blowfish_rc4.h"
#include "storage/encryption_engine.h"
#include "storage/startup.h"

namespace {

using namespace revurov;

constexpr uint32_t kBlock = 4096;
constexpr uint32_t kUsable = kBlock - TnxBlowfishRC4EncryptionEngine::kTrailerSize;

struct Shared {
  TnxStorageStartupGuard storage;
  uint8_t header[48] = {};
  TnxEncryptionEnginePtr engine;
  Shared() {
    if (TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", {u"Geheim"}, header, true, true, engine) != 0)
      std::abort();
  }
};

Shared& TheShared() {
  static Shared shared;
  return shared;
}

void Ours(benchmark::State& state) {
  TnxBaseEncryptionEngine& engine = *TheShared().engine;
  std::vector<uint8_t> plain(kBlock, 0x5A), block(kBlock), cookie, checksum;
  for (auto _ : state) {
    engine.CodeBlockEx(plain.data(), block.data(), kBlock, 7, cookie, checksum);
    engine.DecodeBlockEx(block.data(), kBlock, 7, cookie);
    benchmark::DoNotOptimize(block.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * kBlock);
}

void Bare(benchmark::State& state) {
  TheShared();
  TnxBlowFishRC4 cipher("0123456789abcdef");
  std::vector<uint8_t> plain(kBlock, 0x5A), block(kBlock);
  uint8_t mac[8];
  for (auto _ : state) {
    std::memcpy(block.data(), plain.data(), kUsable);
    cipher.RandomIVBlock(block.data() + kUsable);
    cipher.Encode(block.data(), kUsable);
    cipher.Final(block.data() + kUsable + 8);
    cipher.ResetIVBlock(block.data() + kUsable);
    cipher.Decode(block.data(), kUsable);
    cipher.Final(mac);
    if (std::memcmp(mac, block.data() + kUsable + 8, 8) != 0) std::abort();
    benchmark::DoNotOptimize(block.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * kBlock);
}

}  // namespace

BENCHMARK(Ours)->Name("code_decode_4k/ours")->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(Bare)->Name("code_decode_4k/peer:bare_cipher")->Threads(1)->Threads(8)->UseRealTime();

BENCHMARK_MAIN();
