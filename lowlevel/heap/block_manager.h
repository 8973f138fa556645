// Block managers: cut regions of the arena into blocks of one size each
// (4 KiB to 64 KiB, or a whole 4 MiB region). Blocks are aligned to their
// size and handed out from the highest free address of the highest region
// down. A manager's handle is its address.
//
// All routines but start-up and shut-down are lock-free and thread-safe;
// nxBlockTrim (maintenance) runs concurrently with allocation and never
// reclaims a region one of whose blocks is handed out.
//
// The physical block managers exist for their handles only: physical memory
// is not supported here, so they allocate nothing.
#pragma once

#include <atomic>
#include <cstdint>

#include "lowlevel/heap/heap_bitmap.h"

namespace revurov::mm {

enum TnxBlockSizeAll : uint8_t { nxbs4k, nxbs8k, nxbs16k, nxbs32k, nxbs64k, nxbs4M };
constexpr int nxBlockSizeCount = 6;

struct TnxBlockManager {
  uint32_t bmShift = 0;
  uint32_t bmBlockSize = 0;
  uintptr_t bmOffsetMask = 0;
  uintptr_t bmAlignMask = 0;
  uint32_t bmWordsPerRegion = 0;
  uint32_t bmFullMask = 0;
  // Regions of this manager that may have free blocks: a hint that
  // allocation checks against the region's owner and free map.
  TnxBitmap1024 bmRegions;
};

struct TnxRegionDescriptor {
  std::atomic<TnxBlockManager*> rdOwner{nullptr};
  uint32_t rdIndex = 0;
  TnxBitmap1024 rdFreeBlocks;  // only the first bmWordsPerRegion words
};

extern TnxBlockManager nxCommittedBlockManagers[nxBlockSizeCount];
extern TnxBlockManager nxPhysicalBlockManagers[nxBlockSizeCount];
extern TnxRegionDescriptor* nxRegionDescriptors;  // 1024, in region 0

// Reference-counted; starts the region manager. False when it cannot.
bool nxBlockManagersStartup();
void nxBlockManagersShutdown();

void* nxBlockAlloc(TnxBlockManager* manager);  // nullptr when no memory
// False: manager nil, the address's region not owned by it, misaligned, or
// the block already free; nothing changes then.
bool nxBlockFree(TnxBlockManager* manager, void* address);
void* nxBlockAllocBySize(TnxBlockSizeAll size);
bool nxBlockFreeBySize(TnxBlockSizeAll size, void* address);
bool nxMapableFreeByAddress(void* address);
void nxBlockTrim();

// The manager owning the region of address, nullptr when none or outside.
TnxBlockManager* nxBlockOwnerOf(const void* address);
// Whether the block at address (aligned to manager's size) is handed out.
bool nxBlockIsAllocated(TnxBlockManager* manager, const void* address);

void* nxPhysicalBlockAlloc(TnxBlockManager* manager);
bool nxPhysicalBlockFree(TnxBlockManager* manager, void* address);
void nxPhysicalBlockTrim();

}  // namespace revurov::mm
