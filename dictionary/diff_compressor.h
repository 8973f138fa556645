// The record difference: a client sends only the changed 32-bit words of a
// modified record, behind a bitmap of which words travel.
//
// Format: a bitmap of dciBitsLengthByte8s bytes, bit i (bit i mod 32 of
// little-endian word i div 32) set for every stored word, then the stored
// words in ascending order.
//
// Contract:
// - Records are compared and rebuilt in whole words, but a record whose
//   length is not a multiple of 4 is never read or written past its end:
//   its last word is taken as zero-padded and written back only as far as
//   the record goes.
// - nxDiffCompress writes at most the record's length into aOut and returns
//   the difference's length, 0 when nothing changed, or nxDiffNotSmaller
//   when the difference would not be smaller than the record.
// - nxDiffDecompress trusts its difference (it comes from nxDiffCompress
//   with the same info); aOut may be aOld.
#pragma once

#include <cstdint>

#include "dictionary/shared_infos.h"

namespace revurov {

struct TnxDiffCompressorInfo {
  int32_t dciRefCount = 0;
  uint16_t dciSourceWord32Count = 0;
  uint16_t dciBitsLengthByte8s = 0;
  uint16_t dciBitsLengthWord32s = 0;
  uint16_t dciTargetWord32Count = 0;
  // Not in the shared header of old: the record's byte length, so that the
  // last word of an odd-sized record stays inside it.
  uint32_t dciRecordLength = 0;
  uint8_t* dciRequiredBits = nullptr;  // dciBitsLengthByte8s bytes after this header, same block
};

inline constexpr uint32_t nxDiffNotSmaller = 0xFFFFFFFF;

// aRecordLength 1 to 65,536; anything else raises ERangeError.
TnxDiffCompressorInfo* nxNewDiffCompressorInfo(uint32_t aRecordLength);
TnxDiffCompressorInfo* nxDiffCompressorInfoAddRef(TnxDiffCompressorInfo* aInfo) noexcept;
void nxReleaseDiffCompressorInfo(TnxDiffCompressorInfo*& aInfo) noexcept;
using TnxDiffCompressorInfoRef =
    TnxInfoRef<TnxDiffCompressorInfo, &nxDiffCompressorInfoAddRef, &nxReleaseDiffCompressorInfo>;

// Marks every word in which the two records differ as always stored.
void nxDiffSetRequiredWords(TnxDiffCompressorInfo& aInfo, const void* aRecord1, const void* aRecord2) noexcept;
uint32_t nxDiffCompress(const TnxDiffCompressorInfo& aInfo, const void* aOld, const void* aNew, void* aOut) noexcept;
void nxDiffDecompress(const TnxDiffCompressorInfo& aInfo, const void* aOld, const void* aDiff, void* aOut) noexcept;

}  // namespace revurov
