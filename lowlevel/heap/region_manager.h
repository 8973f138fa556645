// The region manager: hands out whole 4 MiB regions of the heap arena,
// committed, to the block managers, keeps them committed for reuse when they
// come back, keeps five spare regions of address space in reserve for when
// the arena runs dry, and gives free regions back to the system on trim.
//
// Physical-memory regions are not supported on this platform: both physical
// flags are 0, nxRegionTakePhysical answers nullptr and
// nxRegionReleasePhysical false.
//
// Start-up and shut-down are single-threaded; everything else is lock-free
// and may run on any number of threads.
#pragma once

#include <cstdint>

#include "lowlevel/heap/atomics.h"
#include "lowlevel/heap/heap_arena.h"
#include "lowlevel/heap/heap_bitmap.h"

namespace revurov::mm {

constexpr uint32_t nxReserveCount = 5;

struct TnxOsFacts {
  uint32_t major = 0, minor = 0, build = 0;
  uint32_t platformId = 0;  // 2: the NT family, whose path resets pages
  int64_t processId = 0;
};
extern TnxOsFacts nxOsFacts;
inline uint32_t nxOsPlatformId() { return nxOsFacts.platformId; }
constexpr uint32_t nxPhysicalSupportedFlag = 0;
constexpr uint32_t nxPhysicalActiveFlag = 0;

extern TnxBitmap1024 nxAvailableRegions;      // slots free to commit
extern TnxBitmap1024 nxFailedRegions;         // slots whose commit failed
extern TnxBitmap1024 nxCommittedFreeRegions;  // committed, owned by no manager
extern TnxBitmap1024 nxPhysicalFreeRegions;   // always empty here

// One entry of the reserve: its list link, then the spare region.
struct TnxReserveEntry {
  TnxListEntry reLink;
  void* reRegion = nullptr;
};

// The reserve record, in the first page of region 0. While a spare region
// is in use its entry sits on the free-entry list, so the first list head's
// lhFirst is the published in-use cell.
struct TnxRegionReserve {
  TnxListHead rrCommittedFreeEntries;
  TnxListHead rrPhysicalFreeEntries;
  TnxListHead rrCommittedReserve;
  TnxListHead rrPhysicalReserve;
  TnxReserveEntry rrEntries[2 * nxReserveCount];
};
extern TnxRegionReserve* nxRegionReserve;

// The cell published as the committed reserve's in-use flag: not nil while
// a spare region is in use.
inline TnxListEntry* const* nxCommittedReserveInUse() {
  return nxRegionReserve ? &nxRegionReserve->rrCommittedFreeEntries.lhFirst : nullptr;
}

// Region 0 holds the manager's own records: the reserve page, the region
// descriptors, then the 64 KiB area of the item manager's objects.
constexpr uint32_t nxReservePageOffset = 0;
constexpr uint32_t nxDescriptorsOffset = 4096;
constexpr uint32_t nxUnpagedAreaOffset = 262144;
constexpr uint32_t nxUnpagedAreaSize = 65536;

// False when the arena or its first region cannot be had.
bool nxRegionManagerStartup();
void nxRegionManagerShutdown();

void* nxRegionTakeCommitted();  // a committed 4 MiB region, nullptr when none
bool nxRegionReleaseCommitted(void* address);  // false: not a region of the arena
void nxRegionTrim();
void* nxRegionTakePhysical();
// Regions handed out and not yet given back (shut-down keeps the arena
// mapped while any is, since blocks in them may still be used).
int64_t nxRegionsInUse();
bool nxRegionReleasePhysical(void* address);

}  // namespace revurov::mm
