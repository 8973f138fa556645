// The Blowfish/RC4 message cipher against OpenSSL's Blowfish in CBC mode on
// a login-sized and a table-block-sized message. Ours also draws two RC4
// words per block and keeps the check value, so parity is not expected.
#include <benchmark/benchmark.h>

// The low-level BF_* calls are deprecated in OpenSSL 3 but still the direct
// way to reach its Blowfish without the legacy provider.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/blowfish.h>

#include <cstring>
#include <string>
#include <vector>

#include "lowlevel/cipher/blowfish_rc4.h"

namespace {

using namespace revurov;

const std::string kKey = "0123456789abcdef";

template <bool Decode>
void CipherOurs(benchmark::State& state) {
  const auto len = static_cast<uint32_t>(state.range(0));
  std::vector<uint8_t> data(len, 0x5A);
  TnxBlowFishRC4 cipher(kKey);
  uint8_t mac[8];
  for (auto _ : state) {
    cipher.ResetIV(0x01234567, 0x89ABCDEF);
    if (Decode)
      cipher.Decode(data.data(), len);
    else
      cipher.Encode(data.data(), len);
    cipher.Final(mac);
    benchmark::DoNotOptimize(mac);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * len);
}

template <bool Decode>
void CipherOpenSSL(benchmark::State& state) {
  const auto len = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> data(len, 0x5A);
  BF_KEY key;
  BF_set_key(&key, static_cast<int>(kKey.size()), reinterpret_cast<const unsigned char*>(kKey.data()));
  for (auto _ : state) {
    unsigned char iv[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    BF_cbc_encrypt(data.data(), data.data(), static_cast<long>(len), &key, iv,
                   Decode ? BF_DECRYPT : BF_ENCRYPT);
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(len));
}

void KeySetupOurs(benchmark::State& state) {
  for (auto _ : state) {
    TnxBlowFishRC4 cipher(kKey);
    benchmark::DoNotOptimize(&cipher);
  }
}

void KeySetupOpenSSL(benchmark::State& state) {
  BF_KEY key;
  for (auto _ : state) {
    BF_set_key(&key, static_cast<int>(kKey.size()), reinterpret_cast<const unsigned char*>(kKey.data()));
    benchmark::DoNotOptimize(&key);
  }
}

}  // namespace

BENCHMARK(CipherOurs<false>)->Name("encode/ours")->Arg(520)->Arg(4096);
BENCHMARK(CipherOpenSSL<false>)->Name("encode/peer:openssl_bf_cbc")->Arg(520)->Arg(4096);
BENCHMARK(CipherOurs<true>)->Name("decode/ours")->Arg(520)->Arg(4096);
BENCHMARK(CipherOpenSSL<true>)->Name("decode/peer:openssl_bf_cbc")->Arg(520)->Arg(4096);
BENCHMARK(KeySetupOurs)->Name("key_setup/ours");
BENCHMARK(KeySetupOpenSSL)->Name("key_setup/peer:openssl_bf");

BENCHMARK_MAIN();
