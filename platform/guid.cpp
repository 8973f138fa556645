#include "platform/guid.h"

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/endian.h"
#include "platform/os_error.h"
#include "platform/rtl_exception.h"

namespace revurov::platform {

std::u16string GUIDToString(const TGUID& g) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  uint8_t b[16];
  b[0] = uint8_t(g.D1 >> 24), b[1] = uint8_t(g.D1 >> 16), b[2] = uint8_t(g.D1 >> 8), b[3] = uint8_t(g.D1);
  b[4] = uint8_t(g.D2 >> 8), b[5] = uint8_t(g.D2), b[6] = uint8_t(g.D3 >> 8), b[7] = uint8_t(g.D3);
  std::memcpy(b + 8, g.D4, 8);
  std::u16string s(38, u'-');
  s[0] = u'{';
  s[37] = u'}';
  for (int i = 0; i < 16; ++i) {
    s[guid_detail::kBytePos[i]] = kHex[b[i] >> 4];
    s[guid_detail::kBytePos[i] + 1] = kHex[b[i] & 15];
  }
  return s;
}

bool TryStringToGUID(std::u16string_view text, TGUID& g) noexcept { return guid_detail::Parse(text, g); }

TGUID StringToGUID(std::u16string_view text) {
  TGUID g;
  if (!guid_detail::Parse(text, g)) throw EConvertError(u"'" + std::u16string(text) + u"' is not a valid GUID value");
  return g;
}

namespace {

// One system call per GUID is most of its cost: each thread takes random
// bytes in batches. A child of fork must not hand out what its parent hands
// out next, so a fork makes every batch taken before it stale.
constexpr std::size_t kRandomBatch = 256;
std::atomic<uint32_t> gForkGeneration{0};
std::once_flag gForkWatch;

struct RandomBatch {
  uint32_t ForkGeneration = 0;
  std::size_t Used = kRandomBatch;
  uint8_t Bytes[kRandomBatch] = {};
};
thread_local RandomBatch tlsRandom;

void FillRandom(uint8_t* aBytes, std::size_t aCount) {
  std::size_t got = 0;
  while (got < aCount) {
    const ssize_t n = getrandom(aBytes + got, aCount - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      const uint32_t error = uint32_t(errno);
      throw EOSError(u"CreateGUID/getrandom: " + SysErrorMessage(error), error);
    }
    got += std::size_t(n);
  }
}

}  // namespace

TGUID CreateGUID() {
  std::call_once(gForkWatch, [] { pthread_atfork(nullptr, nullptr, [] { gForkGeneration.fetch_add(1); }); });
  RandomBatch& batch = tlsRandom;
  const uint32_t forks = gForkGeneration.load(std::memory_order_relaxed);
  if (batch.Used + 16 > kRandomBatch || batch.ForkGeneration != forks) {
    FillRandom(batch.Bytes, kRandomBatch);
    batch.Used = 0;
    batch.ForkGeneration = forks;
  }
  uint8_t b[16];
  std::memcpy(b, batch.Bytes + batch.Used, sizeof b);
  // Handed out bytes do not stay behind in memory.
  std::memset(batch.Bytes + batch.Used, 0, sizeof b);
  batch.Used += sizeof b;
  TGUID g = GUIDFromBytes(b);
  g.D3 = uint16_t((g.D3 & 0x0FFF) | 0x4000);  // version 4
  g.D4[0] = uint8_t((g.D4[0] & 0x3F) | 0x80);  // RFC 4122 variant
  return g;
}

void GUIDToBytes(const TGUID& g, uint8_t out[16]) noexcept {
  StoreU32(out, g.D1);
  StoreU16(out + 4, g.D2);
  StoreU16(out + 6, g.D3);
  std::memcpy(out + 8, g.D4, 8);
}

TGUID GUIDFromBytes(const uint8_t in[16]) noexcept {
  TGUID g;
  g.D1 = LoadU32(in);
  g.D2 = LoadU16(in + 4);
  g.D3 = LoadU16(in + 6);
  std::memcpy(g.D4, in + 8, 8);
  return g;
}

}  // namespace revurov::platform
