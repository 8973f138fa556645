// The rules by which the block cache keeps its memory within the RAM budget:
// the memory states of a cached image, the saturating use counters, the
// budget taken from MaxRAM and the machine's memory, and the estimate of
// the memory still free beside the cache.
//
// Contract:
// - A cached image is mapped (in memory), stored (parked in the temporary
//   store) or allocated (physical memory kept unmapped, which this platform
//   never has). Moving up that order is a promotion, down a demotion.
// - Counters stop at their largest value; a block counts as frequently used
//   only from one below it, so in practice the frequent lists stay empty
//   and the cache is an LRU with a history list.
// - The budget in MB is min(MaxRAM, 80 % of physical memory), at least 1;
//   without a memory status it is MaxRAM. Half of it in 4 KB pages is the
//   first target of each of the two mapped lists.
#pragma once

#include <cstdint>

namespace revurov {

struct TnxMemoryStatusEx;

enum TnxCacheBlockState : uint8_t { cbsAllocated, cbsMapped, cbsStored };
inline constexpr int nxCacheBlockStateCount = 3;

// Stored below allocated below mapped.
constexpr int nxCacheStateRank(TnxCacheBlockState aState) noexcept {
  return aState == cbsStored ? 0 : aState == cbsAllocated ? 1 : 2;
}

// What a block object's eviction freed: nothing, its own memory, or a whole
// transaction committed to make room.
enum TnxEvictResult : uint8_t { erNone, erThis, erMany };

enum TnxWasBulkLoaded : uint8_t { wblNo, wblYes, wblYesTrigger };

inline constexpr uint32_t nxCacheCounterTop = 0xFFFFFFFFu;
inline constexpr uint32_t nxCacheFrequentUse = nxCacheCounterTop - 1;

constexpr void nxSaturatingInc(uint32_t& aCounter) noexcept {
  if (aCounter < nxCacheCounterTop) ++aCounter;
}

// Target pages a promotion moves to the list it lands on from the other
// list of its state: a 500th of that list's target, and never all of it.
constexpr int32_t nxPromotionPages(int32_t aOtherTarget) noexcept {
  const int32_t pages = aOtherTarget / 500;
  return pages < aOtherTarget ? pages : 0;
}

inline constexpr int32_t nxPagesPerMB = 256;

struct TnxCacheBudget {
  int32_t cbMaxRAM = 0;    // MB after capping
  int32_t cbListPages = 0;  // first target of each mapped list
};

// aStatus nil: the memory status could not be read.
TnxCacheBudget nxCacheBudget(int32_t aMaxRAM, const TnxMemoryStatusEx* aStatus) noexcept;

// Bytes the process may still take beside the cache's unused budget:
// available physical memory less what the cache may still fill and 32 MB,
// and available address space less that and 256 MB; 0 without a status.
int64_t nxAvailableRAM(int64_t aTargetPages, int64_t aResidentPages, const TnxMemoryStatusEx* aStatus) noexcept;

// The memory status through the replaceable status routine, falling back to
// the library's own reader; nil when neither answers.
const TnxMemoryStatusEx* nxReadMemoryStatus(TnxMemoryStatusEx& aStatus);

}  // namespace revurov
