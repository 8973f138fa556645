#include "lowlevel/heap/block_manager.h"

#include <new>

#include "lowlevel/heap/region_manager.h"
#include "platform/virtual_memory.h"

namespace revurov::mm {

TnxBlockManager nxCommittedBlockManagers[nxBlockSizeCount];
TnxBlockManager nxPhysicalBlockManagers[nxBlockSizeCount];
TnxRegionDescriptor* nxRegionDescriptors = nullptr;

namespace {

int gStartCount = 0;
constexpr uint32_t kShifts[nxBlockSizeCount] = {12, 13, 14, 15, 16, 22};

static_assert(nxDescriptorsOffset + nxRegionCount * sizeof(TnxRegionDescriptor) <= nxUnpagedAreaOffset);

void initManager(TnxBlockManager& m, uint32_t shift) {
  m.bmShift = shift;
  m.bmBlockSize = 1u << shift;
  m.bmOffsetMask = m.bmBlockSize - 1;
  m.bmAlignMask = ~m.bmOffsetMask;
  const uint32_t blocks = uint32_t(nxRegionSize >> shift);
  m.bmWordsPerRegion = blocks >= 32 ? blocks / 32 : 0;
  m.bmFullMask = m.bmWordsPerRegion == 32 ? ~0u : (1u << m.bmWordsPerRegion) - 1;
  nxBitmapClearAll(m.bmRegions);
}

inline bool freeMapEmpty(const TnxRegionDescriptor& d, const TnxBlockManager& m) {
  for (uint32_t w = 0; w < m.bmWordsPerRegion; ++w)
    if (d.rdFreeBlocks.words[2 + w].load()) return false;
  return true;
}

// Removes region r from m's hint map unless it is m's and still has free
// blocks. Clearing first and checking after means a concurrent free, which
// sets the hint after freeing, is never lost.
void dropHint(TnxBlockManager& m, uint32_t r) {
  nxBitmapClear(m.bmRegions, r);
  const TnxRegionDescriptor& d = nxRegionDescriptors[r];
  if (d.rdOwner.load() == &m && !freeMapEmpty(d, m)) nxBitmapSet(m.bmRegions, r);
}

inline void ensureHint(TnxBlockManager& m, uint32_t r) {
  if (!nxBitmapTest(m.bmRegions, r)) nxBitmapSet(m.bmRegions, r);
}

void initRegion(TnxBlockManager& m, uint32_t r) {
  TnxRegionDescriptor& d = nxRegionDescriptors[r];
  d.rdIndex = r;
  // Through the bitmap's own operations: a late taker that still holds an
  // old hint for this region may be working on the map right now.
  for (uint32_t w = 0; w < m.bmWordsPerRegion; ++w) nxBitmapOrWord(d.rdFreeBlocks, w, ~0u);
  d.rdOwner.store(&m);
  if (m.bmWordsPerRegion) nxBitmapSet(m.bmRegions, r);
}

}  // namespace

bool nxBlockManagersStartup() {
  if (gStartCount++ > 0) return true;
  if (!nxRegionManagerStartup()) {
    --gStartCount;
    return false;
  }
  nxRegionDescriptors = new (nxArenaAddress(nxDescriptorsOffset)) TnxRegionDescriptor[nxRegionCount];
  for (int i = 0; i < nxBlockSizeCount; ++i) {
    initManager(nxPhysicalBlockManagers[i], kShifts[i]);
    initManager(nxCommittedBlockManagers[i], kShifts[i]);
  }
  return true;
}

void nxBlockManagersShutdown() {
  if (gStartCount == 0 || --gStartCount > 0) return;
  nxRegionManagerShutdown();
  nxRegionDescriptors = nullptr;
}

void* nxBlockAlloc(TnxBlockManager* m) {
  if (!m || !nxRegionDescriptors) return nullptr;
  if (m->bmWordsPerRegion == 0) {
    // The region is the block; it is not entered in the hint map.
    void* a = nxRegionTakeCommitted();
    if (!a) return nullptr;
    TnxRegionDescriptor& d = nxRegionDescriptors[nxRegionIndex(a)];
    d.rdIndex = nxRegionIndex(a);
    d.rdOwner.store(m);
    return a;
  }
  for (;;) {
    int r = nxBitmapFindHighest(m->bmRegions);
    if (r < 0) {
      void* a = nxRegionTakeCommitted();
      if (!a) return nullptr;
      r = int(nxRegionIndex(a));
      initRegion(*m, r);
    }
    TnxRegionDescriptor& d = nxRegionDescriptors[r];
    if (d.rdOwner.load() != m) {
      dropHint(*m, r);
      continue;
    }
    bool becameEmpty = false;
    const int b = nxBitmapTakeHighestEx(d.rdFreeBlocks, becameEmpty);
    if (b < 0 || becameEmpty) dropHint(*m, r);
    if (b < 0) continue;
    if (d.rdOwner.load() == m) return static_cast<uint8_t*>(nxRegionAddress(r)) + (uintptr_t(b) << m->bmShift);
    // The region was reclaimed and handed on meanwhile: the block belongs
    // to its new owner, whose hint must show it again.
    nxBitmapSet(d.rdFreeBlocks, b);
    if (TnxBlockManager* owner = d.rdOwner.load(); owner && owner->bmWordsPerRegion) ensureHint(*owner, r);
  }
}

bool nxBlockFree(TnxBlockManager* m, void* address) {
  if (!m || !nxRegionDescriptors || !nxInArena(address)) return false;
  const uint32_t offset = nxArenaOffset(address);
  const uint32_t r = offset >> nxRegionShift;
  if (r == 0 || (offset & m->bmOffsetMask) != 0) return false;
  TnxRegionDescriptor& d = nxRegionDescriptors[r];
  if (d.rdOwner.load() != m) return false;
  if (m->bmWordsPerRegion == 0) {
    TnxBlockManager* expected = m;
    if (!d.rdOwner.compare_exchange_strong(expected, nullptr)) return false;
    return nxRegionReleaseCommitted(address);
  }
  const uint32_t b = (offset & (nxRegionSize - 1)) >> m->bmShift;
  bool wasEmpty = false;
  if (!nxBitmapSetEx(d.rdFreeBlocks, b, wasEmpty)) return false;
  ensureHint(*m, r);
  return true;
}

void* nxBlockAllocBySize(TnxBlockSizeAll size) {
  if (size > nxbs4M) return nullptr;
  return nxBlockAlloc(&nxCommittedBlockManagers[size]);
}

bool nxBlockFreeBySize(TnxBlockSizeAll size, void* address) {
  if (size > nxbs4M) return false;
  return nxBlockFree(&nxCommittedBlockManagers[size], address);
}

TnxBlockManager* nxBlockOwnerOf(const void* address) {
  if (!nxRegionDescriptors || !nxInArena(address)) return nullptr;
  const uint32_t r = nxRegionIndex(address);
  return r == 0 ? nullptr : nxRegionDescriptors[r].rdOwner.load();
}

bool nxBlockIsAllocated(TnxBlockManager* m, const void* address) {
  if (!m || nxBlockOwnerOf(address) != m) return false;
  const uint32_t offset = nxArenaOffset(address);
  if (m->bmWordsPerRegion == 0) return (offset & (nxRegionSize - 1)) == 0;
  const uint32_t b = (offset & (nxRegionSize - 1)) >> m->bmShift;
  return !nxBitmapTest(nxRegionDescriptors[offset >> nxRegionShift].rdFreeBlocks, b);
}

bool nxMapableFreeByAddress(void* address) {
  if (reinterpret_cast<uintptr_t>(address) & 4095) return false;
  return nxBlockFree(nxBlockOwnerOf(address), address);
}

void nxBlockTrim() {
  if (!nxRegionDescriptors) return;
  for (int i = nxBlockSizeCount - 1; i >= 0; --i) {
    TnxBlockManager& m = nxCommittedBlockManagers[i];
    if (m.bmWordsPerRegion == 0) continue;  // whole-region blocks go back on free
    for (int w = 31; w >= 0; --w) {
      const uint32_t hints = m.bmRegions.words[2 + w].load();
      for (int bit = 31; bit >= 0; --bit) {
        if (!(hints & (1u << bit))) continue;
        const uint32_t r = uint32_t(w) * 32 + uint32_t(bit);
        TnxRegionDescriptor& d = nxRegionDescriptors[r];
        if (d.rdOwner.load() != &m) {
          dropHint(m, r);
          continue;
        }
        if (d.rdFreeBlocks.words[1].load() != m.bmFullMask) continue;
        // Claim every word whole; a block taken meanwhile makes the claim
        // fail, and the words already claimed go back.
        uint32_t claimed = 0;
        while (claimed < m.bmWordsPerRegion && nxBitmapTakeWord(d.rdFreeBlocks, claimed, ~0u)) ++claimed;
        if (claimed < m.bmWordsPerRegion) {
          for (uint32_t k = 0; k < claimed; ++k) nxBitmapOrWord(d.rdFreeBlocks, k, ~0u);
          continue;
        }
        // The hint goes before the owner, so no allocator of this manager
        // keeps coming back to a region that is no longer its own.
        nxBitmapClear(m.bmRegions, r);
        d.rdOwner.store(nullptr);
        void* region = nxRegionAddress(r);
        platform::vmReset(region, nxRegionSize);
        nxRegionReleaseCommitted(region);
      }
    }
  }
}

void* nxPhysicalBlockAlloc(TnxBlockManager*) { return nullptr; }

bool nxPhysicalBlockFree(TnxBlockManager*, void*) { return false; }

void nxPhysicalBlockTrim() {}

}  // namespace revurov::mm
