// Blocks and header areas of an encrypted table file: any bytes of any
// length through the Blowfish/RC4 engine's block decode, or opened as a
// header area with a password. Decoding raises only the library's errors:
// a block too short for its trailer is refused untouched, a corrupt one
// comes back zeroed. Opening answers a code and an engine only with 0.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/errors/error_codes.h"
#include "storage/encryption_engine.h"
#include "storage/startup.h"

namespace revurov::fuzz {

namespace {

constexpr size_t kHeaderSize = TnxBlowfishRC4EncryptionEngine::kHeaderAreaSize;
constexpr uint32_t kSeedBlockNr = 3;

// The same salts, table key and IVs in every run, so that the blocks the
// seeds hold were coded under the key the run decodes with.
void CountingRandom(void* aData8) {
  static std::atomic<uint64_t> counter{0};
  uint64_t z = counter.fetch_add(0x9E3779B97F4A7C15ull) + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  std::memcpy(aData8, &z, 8);
}

struct TTable {
  std::vector<uint8_t> header = std::vector<uint8_t>(kHeaderSize);
  TnxEncryptionEnginePtr engine;
};

TTable& Table() {
  static TTable table;
  return table;
}

// The block as a buffer of exactly its length, so any access past it shows.
std::unique_ptr<uint8_t[]> Block(std::string_view aBytes) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[aBytes.size()]);
  std::copy(aBytes.begin(), aBytes.end(), block.get());
  return block;
}

// Decodes aBytes as block aBlockNr; aExtended takes the engine's Ex entry.
void Decode(TnxBaseEncryptionEngine& aEngine, std::string_view aBytes, uint32_t aBlockNr, bool aExtended) {
  const auto len = static_cast<uint32_t>(aBytes.size());
  const std::unique_ptr<uint8_t[]> block = Block(aBytes);
  std::vector<uint8_t> cookie{1};
  try {
    if (aExtended)
      aEngine.DecodeBlockEx(block.get(), len, aBlockNr, cookie);
    else
      aEngine.DecodeBlock(block.get(), len, aBlockNr);
  } catch (const EnxBaseException& e) {
    if (e.ErrorCode() == nxeCorruptFile) {
      if (std::any_of(block.get(), block.get() + len, [](uint8_t b) { return b != 0; })) std::abort();
    } else if (e.ErrorCode() == nxeInvalidParameter) {
      if (len && std::memcmp(aBytes.data(), block.get(), len) != 0) std::abort();
    } else {
      std::abort();
    }
    return;
  }
  if (aExtended && !cookie.empty()) std::abort();
}

}  // namespace

// Shut down again at exit, before the leak check looks.
void SetUp() {
  static TnxStorageStartupGuard storage;
  nxSetEncryptionRandomSource(&CountingRandom);
  TTable& t = Table();
  if (TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", {u"geheim"}, t.header.data(), true, false, t.engine) != 0)
    std::abort();
}

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  TTable& t = Table();
  for (uint32_t len : {16u, 24u, 64u, 512u, 4096u}) {
    std::vector<uint8_t> plain(len), coded(len);
    for (uint32_t i = 0; i < len; ++i) plain[i] = static_cast<uint8_t>(i * 7 + 1);
    std::vector<uint8_t> cookie, checksum;
    t.engine->CodeBlockEx(plain.data(), coded.data(), len, kSeedBlockNr, cookie, checksum);
    for (uint8_t mode : {0, 1})
      seeds.push_back(std::string{static_cast<char>(mode), static_cast<char>(kSeedBlockNr)} +
                      std::string(coded.begin(), coded.end()));
  }
  // Header areas: the table's with its password, and one keyed with the
  // default key of each side.
  seeds.push_back(std::string(1, 2) + std::string(t.header.begin(), t.header.end()) + "geheim");
  for (bool server : {false, true}) {
    std::vector<uint8_t> header(kHeaderSize);
    TnxEncryptionEnginePtr engine;
    if (TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", {}, header.data(), true, server, engine) != 0)
      std::abort();
    seeds.push_back(std::string(1, server ? 3 : 2) + std::string(header.begin(), header.end()));
  }
  return seeds;
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  std::string_view in = fuzz::Bytes(aData, aSize);
  const uint8_t mode = fuzz::TakeByte(in) % 4;
  if (mode < 2) {
    const uint8_t blockNr = fuzz::TakeByte(in);
    fuzz::Decode(*fuzz::Table().engine, in, blockNr, mode == 1);
    return 0;
  }
  // A header area as a table file holds it; what follows is the password.
  std::vector<uint8_t> header(fuzz::kHeaderSize);
  const size_t taken = std::min(in.size(), header.size());
  std::copy(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(taken), header.begin());
  in.remove_prefix(taken);
  TnxUnicodeStrings passwords;
  if (!in.empty()) passwords.push_back(fuzz::Widened(in));
  TnxEncryptionEnginePtr engine;
  const uint32_t code = TnxBaseEncryptionEngine::CreateEngine(u"nx1xDefault", passwords, header.data(), false,
                                                              mode == 3, engine);
  if ((code == 0) != static_cast<bool>(engine)) std::abort();
  if (engine) {
    const std::string block(64, '\x5A');
    fuzz::Decode(*engine, block, 1, true);
  }
  EnxBaseException::SetLastConvertedException(0, u"");
  return 0;
}
