#include "dictionary/diff_compressor.h"

#include <cstring>
#include <new>

#include "lowlevel/heap/memory_manager.h"
#include "platform/endian.h"
#include "platform/rtl_exception.h"

namespace revurov {

namespace {

// Word i of a record of aLength bytes; the last one zero-padded.
inline uint32_t LoadWord(const uint8_t* aRecord, uint32_t i, uint32_t aLength) noexcept {
  const uint32_t at = i * 4;
  if (at + 4 <= aLength) return platform::LoadU32(aRecord + at);
  uint8_t tail[4] = {};
  std::memcpy(tail, aRecord + at, aLength - at);
  return platform::LoadU32(tail);
}

inline void StoreWord(uint8_t* aRecord, uint32_t i, uint32_t aLength, uint32_t aWord) noexcept {
  const uint32_t at = i * 4;
  if (at + 4 <= aLength) return platform::StoreU32(aRecord + at, aWord);
  uint8_t tail[4];
  platform::StoreU32(tail, aWord);
  std::memmove(aRecord + at, tail, aLength - at);
}

inline void SetBit(uint8_t* aBits, uint32_t i) noexcept { aBits[i >> 3] |= uint8_t(1u << (i & 7)); }

}  // namespace

TnxDiffCompressorInfo* nxNewDiffCompressorInfo(uint32_t aRecordLength) {
  if (aRecordLength < 1 || aRecordLength > uint32_t(nxMaxRecordLength))
    throw platform::ERangeError(platform::SRangeError);
  const uint32_t source = (aRecordLength + 3) / 4;
  const uint32_t bitsWords = ((source + 7) / 8 + 3) / 4;
  void* block = nxAllocMem(sizeof(TnxDiffCompressorInfo) + bitsWords * 4);
  auto* info = new (block) TnxDiffCompressorInfo();
  info->dciRefCount = 1;
  info->dciSourceWord32Count = uint16_t(source);
  info->dciBitsLengthWord32s = uint16_t(bitsWords);
  info->dciBitsLengthByte8s = uint16_t(bitsWords * 4);
  info->dciTargetWord32Count = uint16_t(source - bitsWords);
  info->dciRecordLength = aRecordLength;
  info->dciRequiredBits = static_cast<uint8_t*>(block) + sizeof(TnxDiffCompressorInfo);
  return info;
}

TnxDiffCompressorInfo* nxDiffCompressorInfoAddRef(TnxDiffCompressorInfo* aInfo) noexcept {
  return shared_info_detail::AddRef<TnxDiffCompressorInfo, &TnxDiffCompressorInfo::dciRefCount>(aInfo);
}

void nxReleaseDiffCompressorInfo(TnxDiffCompressorInfo*& aInfo) noexcept {
  if (auto* last = shared_info_detail::DropReference<TnxDiffCompressorInfo, &TnxDiffCompressorInfo::dciRefCount>(aInfo)) {
    last->~TnxDiffCompressorInfo();
    nxFreeMem(last);
  }
}

void nxDiffSetRequiredWords(TnxDiffCompressorInfo& aInfo, const void* aRecord1, const void* aRecord2) noexcept {
  const auto* r1 = static_cast<const uint8_t*>(aRecord1);
  const auto* r2 = static_cast<const uint8_t*>(aRecord2);
  std::memset(aInfo.dciRequiredBits, 0, aInfo.dciBitsLengthByte8s);
  for (uint32_t i = 0; i < aInfo.dciSourceWord32Count; ++i)
    if (LoadWord(r1, i, aInfo.dciRecordLength) != LoadWord(r2, i, aInfo.dciRecordLength))
      SetBit(aInfo.dciRequiredBits, i);
}

uint32_t nxDiffCompress(const TnxDiffCompressorInfo& aInfo, const void* aOld, const void* aNew, void* aOut) noexcept {
  const auto* oldRec = static_cast<const uint8_t*>(aOld);
  const auto* newRec = static_cast<const uint8_t*>(aNew);
  auto* bitmap = static_cast<uint8_t*>(aOut);
  uint8_t* stored = bitmap + aInfo.dciBitsLengthByte8s;
  const uint32_t length = aInfo.dciRecordLength, words = aInfo.dciSourceWord32Count;
  // Giving up before the word that would reach the target keeps the output
  // inside the record's length, and a record of one word (target 0) never
  // gets a difference longer than itself.
  const uint32_t target = aInfo.dciTargetWord32Count;
  // The common case of a record saved unchanged costs one memcmp.
  uint32_t required = 0;
  for (uint32_t w = 0; w < aInfo.dciBitsLengthWord32s; ++w) required |= platform::LoadU32(aInfo.dciRequiredBits + 4 * w);
  if (required == 0 && std::memcmp(oldRec, newRec, length) == 0) return 0;
  // With a target of 0 the bitmap alone would be longer than the record:
  // aOut is not touched then.
  if (target > 0) std::memset(bitmap, 0, aInfo.dciBitsLengthByte8s);
  uint32_t count = 0;
  // 32 words at a time: one bitmap word of the changed and required ones.
  for (uint32_t group = 0; group < words; group += 32) {
    const uint32_t n = words - group < 32 ? words - group : 32;
    const uint32_t at = group * 4;
    uint32_t mask = platform::LoadU32(aInfo.dciRequiredBits + group / 8);
    if (at + n * 4 <= length) {
      if (mask == 0 && std::memcmp(oldRec + at, newRec + at, n * 4) == 0) continue;
      // Two words per compare; a changed pair is rare and then split.
      uint32_t k = 0;
      for (; k + 2 <= n; k += 2) {
        const uint64_t x = platform::LoadU64(oldRec + at + 4 * k) ^ platform::LoadU64(newRec + at + 4 * k);
        if (x != 0) mask |= (uint32_t(uint32_t(x) != 0) | uint32_t(x >> 32 != 0) << 1) << k;
      }
      if (k < n) mask |= uint32_t(platform::LoadU32(oldRec + at + 4 * k) != platform::LoadU32(newRec + at + 4 * k)) << k;
    } else {
      for (uint32_t k = 0; k < n; ++k)
        mask |= uint32_t(LoadWord(oldRec, group + k, length) != LoadWord(newRec, group + k, length)) << k;
    }
    if (mask == 0) continue;
    if (count + uint32_t(__builtin_popcount(mask)) >= target) return nxDiffNotSmaller;
    platform::StoreU32(bitmap + group / 8, mask);
    for (; mask != 0; mask &= mask - 1) {
      platform::StoreU32(stored + count * 4, LoadWord(newRec, group + uint32_t(__builtin_ctz(mask)), length));
      ++count;
    }
  }
  return count == 0 ? 0 : (count + aInfo.dciBitsLengthWord32s) * 4;
}

void nxDiffDecompress(const TnxDiffCompressorInfo& aInfo, const void* aOld, const void* aDiff, void* aOut) noexcept {
  const auto* oldRec = static_cast<const uint8_t*>(aOld);
  const auto* bitmap = static_cast<const uint8_t*>(aDiff);
  const uint8_t* stored = bitmap + aInfo.dciBitsLengthByte8s;
  auto* out = static_cast<uint8_t*>(aOut);
  const uint32_t length = aInfo.dciRecordLength;
  if (out != oldRec) std::memcpy(out, oldRec, length);
  for (uint32_t group = 0; group < aInfo.dciSourceWord32Count; group += 32)
    for (uint32_t mask = platform::LoadU32(bitmap + group / 8); mask != 0; mask &= mask - 1) {
      StoreWord(out, group + uint32_t(__builtin_ctz(mask)), length, platform::LoadU32(stored));
      stored += 4;
    }
}

}  // namespace revurov
