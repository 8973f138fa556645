#include "engine/record_reply.h"

#include <algorithm>
#include <cstring>

#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"

namespace revurov {

namespace {

constexpr uint32_t kTrailerHeader = 24;  // "BLBS", count, record ID
constexpr uint32_t kEntryHeader = 20;    // "BLOB", field, blob number, length

// The trailer starting at aOffset, when the reply is longer.
bool TrailerAt(const uint8_t* aReply, uint32_t aLen, uint32_t aOffset, std::span<const int32_t> aBlobFields) {
  return aLen > aOffset && nxCheckBlobTrailer(aReply + aOffset, aLen - aOffset, aBlobFields);
}

// Exactly aExpected bytes, or those and a trailer.
bool FitsWithTrailer(const uint8_t* aReply, uint32_t aLen, uint32_t aExpected, std::span<const int32_t> aBlobFields) {
  return aLen == aExpected || TrailerAt(aReply, aLen, aExpected, aBlobFields);
}

}  // namespace

bool nxCheckBlobTrailer(const uint8_t* aTrailer, uint32_t aLen, std::span<const int32_t> aBlobFields) noexcept {
  if (!aTrailer || aLen < kTrailerHeader || std::memcmp(aTrailer, "BLBS", 4) != 0) return false;
  const uint32_t count = platform::LoadU32(aTrailer + 4);
  if (count > aBlobFields.size()) return false;
  // Every entry takes its header at least: the count must fit before any is read.
  if (uint64_t(count) * kEntryHeader > aLen - kTrailerHeader) return false;
  const uint64_t refNr = platform::LoadU64(aTrailer + 8);
  const uint64_t lsn = platform::LoadU64(aTrailer + 16);
  if ((refNr == 0 && lsn == 0) || (refNr == ~uint64_t(0) && lsn == ~uint64_t(0))) return false;
  uint32_t at = kTrailerHeader;
  for (uint32_t i = 0; i < count; ++i) {
    if (aLen - at < kEntryHeader || std::memcmp(aTrailer + at, "BLOB", 4) != 0) return false;
    const auto field = static_cast<int32_t>(platform::LoadU32(aTrailer + at + 4));
    if (std::find(aBlobFields.begin(), aBlobFields.end(), field) == aBlobFields.end()) return false;
    const uint32_t length = platform::LoadU32(aTrailer + at + 16);
    at += kEntryHeader;
    if (length > aLen - at) return false;
    at += length;
  }
  return at == aLen;
}

uint32_t nxDecodeRecordReply(uint32_t aCode, const uint8_t* aReply, int32_t aLen, uint32_t aAsked,
                             uint32_t aRecordLength, std::span<const int32_t> aBlobFields,
                             uint32_t& aRecordLen) noexcept {
  aRecordLen = 0;
  if (aLen < 0 || (aLen > 0 && !aReply)) return nxeMessageUnrecognized;
  const auto len = static_cast<uint32_t>(aLen);
  if ((aCode & 0xFFF0u) == 0x22F0u) {
    if (len != nxRecordCacheInfoSize) return nxeMessageUnrecognized;
    return 0x2200u | (aCode & 0xFu);
  }
  switch (aCode) {
    case 0:
      // A chained read may bring the whole record although none is asked now.
      for (uint32_t expected : {aAsked, aRecordLength}) {
        if (FitsWithTrailer(aReply, len, expected, aBlobFields)) {
          aRecordLen = expected;
          return 0;
        }
      }
      return nxeMessageUnrecognized;
    case nxRecordReplyCacheInvalid:
      if (!FitsWithTrailer(aReply, len, aAsked + nxRecordCacheInfoSize, aBlobFields)) return nxeMessageUnrecognized;
      aRecordLen = aAsked;
      return 0;
    case nxRecordReplyCacheValid:
      if (!FitsWithTrailer(aReply, len, nxRecordCacheInfoSize, aBlobFields)) return nxeMessageUnrecognized;
      return nxRecordReplyCacheValid;
    default:
      return aCode;
  }
}

}  // namespace revurov
