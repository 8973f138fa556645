#include "lowlevel/heap/region_manager.h"

#include <new>

#include "lowlevel/heap/types.h"
#include "platform/process.h"
#include "platform/system_info.h"
#include "platform/virtual_memory.h"

namespace revurov::mm {

using platform::vmCommit;
using platform::vmDecommit;
using platform::vmRelease;
using platform::vmReserve;
using platform::vmReserveFixed;

std::atomic<uint8_t*> nxArenaBasePtr{nullptr};
TnxOsFacts nxOsFacts;
TnxBitmap1024 nxAvailableRegions;
TnxBitmap1024 nxFailedRegions;
TnxBitmap1024 nxCommittedFreeRegions;
TnxBitmap1024 nxPhysicalFreeRegions;
TnxRegionReserve* nxRegionReserve = nullptr;

namespace {

std::atomic<int64_t> regionsInUse{0};

static_assert(sizeof(TnxRegionReserve) <= 4096);

void readOsFacts() {
  nxOsFacts = TnxOsFacts{};
  platform::TKernelVersion kernel;
  platform::GetKernelVersion(kernel);
  nxOsFacts.major = kernel.Major;
  nxOsFacts.minor = kernel.Minor;
  nxOsFacts.build = kernel.Build;
  nxOsFacts.platformId = 2;  // resetting unused pages is available here
  nxOsFacts.processId = platform::CurrentProcessId();
}

inline TnxReserveEntry* entryOf(TnxListEntry* link) { return reinterpret_cast<TnxReserveEntry*>(link); }

// A region is filled block by block, most of it soon: large pages spare a
// fault per small page, the main cost of filling fresh block memory in a
// virtual machine. A refused hint changes nothing.
bool commitRegion(void* address) {
  if (!vmCommit(address, nxRegionSize)) return false;
  platform::vmAdviseLargePages(address, nxRegionSize);
  return true;
}

// Gives a slot back to the reserved, untouched state.
inline bool releaseSlot(void* address) { return vmReserveFixed(address, nxRegionSize); }

void* takeFromReserve() {
  while (TnxListEntry* e = nxListPop(nxRegionReserve->rrCommittedReserve)) {
    void* address = entryOf(e)->reRegion;
    nxListPush(nxRegionReserve->rrCommittedFreeEntries, e);
    if (commitRegion(address)) return address;
    // The spare cannot be committed now: keep the slot for a later try
    // instead of losing it.
    releaseSlot(address);
    nxBitmapSet(nxFailedRegions, nxRegionIndex(address));
  }
  return nullptr;
}

}  // namespace

int64_t nxRegionsInUse() { return regionsInUse.load(); }

bool nxRegionManagerStartup() {
  if (nxArenaBase()) return true;
  auto* base = static_cast<uint8_t*>(vmReserve(nxArenaSize, nxRegionSize));
  if (!base) return false;
  if (!vmCommit(base, nxUnpagedAreaOffset + nxUnpagedAreaSize)) {
    vmRelease(base, nxArenaSize);
    return false;
  }
  nxArenaBasePtr.store(base);
  nxRegionReserve = new (base + nxReservePageOffset) TnxRegionReserve;
  readOsFacts();
  regionsInUse.store(0);

  nxBitmapClearAll(nxAvailableRegions);
  nxBitmapClearAll(nxFailedRegions);
  nxBitmapClearAll(nxCommittedFreeRegions);
  nxBitmapClearAll(nxPhysicalFreeRegions);
  // Every slot but region 0 is ours: the arena reservation holds them all,
  // so the probe of the address space has nothing to find.
  for (uint32_t r = nxRegionCount - 1; r >= 1; --r) nxBitmapSetPlain(nxAvailableRegions, r);
  nxBitmapBuildSummaries(nxAvailableRegions);

  // Five regions of address space set aside, decommitted, for when the
  // arena runs dry.
  TnxListEntry* chain = nullptr;
  TnxListEntry* last = nullptr;
  for (uint32_t i = 0; i < nxReserveCount; ++i) {
    void* region = nxRegionTakeCommitted();
    if (!region) break;
    --regionsInUse;
    vmDecommit(region, nxRegionSize);
    TnxReserveEntry& entry = nxRegionReserve->rrEntries[i];
    entry.reRegion = region;
    entry.reLink.leNext = chain;
    if (!chain) last = &entry.reLink;
    chain = &entry.reLink;
  }
  if (chain) nxListPushChain(nxRegionReserve->rrCommittedReserve, chain, last);
  return true;
}

void nxRegionManagerShutdown() {
  uint8_t* base = nxArenaBase();
  if (!base) return;
  nxRegionTrim();
  while (TnxListEntry* e = nxListPop(nxRegionReserve->rrCommittedReserve)) releaseSlot(entryOf(e)->reRegion);
  nxRegionReserve = nullptr;
  nxArenaBasePtr.store(nullptr);
  // Blocks of regions still owned may still be in use: their arena stays.
  if (regionsInUse.load() == 0) vmRelease(base, nxArenaSize);
}

void* nxRegionTakeCommitted() {
  for (int pass = 0;; ++pass) {
    int r = nxBitmapTakeHighest(nxCommittedFreeRegions);
    if (r > 0) {
      ++regionsInUse;
      return nxRegionAddress(r);
    }
    while ((r = nxBitmapTakeHighest(nxAvailableRegions)) > 0) {
      void* address = nxRegionAddress(r);
      if (commitRegion(address)) {
        ++regionsInUse;
        return address;
      }
      releaseSlot(address);
      nxBitmapSet(nxFailedRegions, r);
    }
    if (pass == 0) {
      nxBitmapMergeInto(nxFailedRegions, nxAvailableRegions);
    } else if (pass == 1) {
      if (TnxCleanupHook hook = nxCleanupHook) hook();
    } else {
      break;
    }
  }
  void* address = takeFromReserve();
  if (address) ++regionsInUse;
  return address;
}

bool nxRegionReleaseCommitted(void* address) {
  if (!nxInArena(address)) return false;
  const uint32_t offset = nxArenaOffset(address);
  const uint32_t r = offset >> nxRegionShift;
  if ((offset & (nxRegionSize - 1)) != 0 || r == 0) return false;
  --regionsInUse;
  // A spare region is in use: refill the reserve first.
  if (TnxListEntry* e = nxListPop(nxRegionReserve->rrCommittedFreeEntries)) {
    if (vmDecommit(address, nxRegionSize)) {
      entryOf(e)->reRegion = address;
      nxListPush(nxRegionReserve->rrCommittedReserve, e);
    } else {
      releaseSlot(address);
      nxListPush(nxRegionReserve->rrCommittedFreeEntries, e);
      nxBitmapSet(nxFailedRegions, r);
    }
    return true;
  }
  nxBitmapSet(nxCommittedFreeRegions, r);
  return true;
}

void nxRegionTrim() {
  for (unsigned w = 0; w < 32; ++w) {
    uint32_t v = nxCommittedFreeRegions.words[2 + w].load();
    while (v && !nxBitmapTakeWord(nxCommittedFreeRegions, w, v)) v = nxCommittedFreeRegions.words[2 + w].load();
    if (!v) continue;
    uint32_t released = 0;
    for (unsigned b = 0; b < 32; ++b) {
      if (!(v & (1u << b))) continue;
      // A region whose release fails drops out of every map.
      if (releaseSlot(nxRegionAddress(w * 32 + b))) released |= 1u << b;
    }
    if (released) nxBitmapOrWord(nxAvailableRegions, w, released);
  }
}

void* nxRegionTakePhysical() { return nullptr; }

bool nxRegionReleasePhysical(void*) { return false; }

}  // namespace revurov::mm
