// The function table through which every module of a process reaches the
// one library heap, and the heap status record.
//
// The table is shared by all modules of one process (never stored or sent),
// so its entries have the native width; their order is fixed. Routine
// entries never raise: failures come back as nil, non-zero or false.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "lowlevel/heap/atomics.h"

namespace revurov {

// An opaque pool handle from mmfGetPool; only ever passed back.
using TnxPoolHandle = uintptr_t;
// A committed or physical block pool (the standard manager: the block
// manager's address).
using TnxBlockPoolHandle = uintptr_t;
// A mapable block: with the standard manager its address.
using TnxMapableBlockHandle = uintptr_t;
// Sizes of mapable and pooled blocks, as mm::TnxBlockSizeAll: 4 KB, 8 KB,
// 16 KB, 32 KB, 64 KB, 4 MB.
using TnxBlockSizeIndex = uint8_t;

struct TnxHeapStatus {
  std::size_t hsTotalAddrSpace = 0;
  std::size_t hsTotalUncommitted = 0;
  std::size_t hsTotalCommitted = 0;
  std::size_t hsTotalAllocated = 0;
  std::size_t hsTotalFree = 0;
  std::size_t hsFreeSmall = 0;
  std::size_t hsFreeBig = 0;
  std::size_t hsUnused = 0;
  std::size_t hsOverhead = 0;
  std::size_t hsHeapErrorCode = 0;
};

struct TnxMemoryManagerFunctions {
  void* (*mmfGetMem)(std::size_t size) noexcept;
  uint32_t (*mmfFreeMem)(void* p) noexcept;  // 0: freed
  void* (*mmfReallocMem)(void* p, std::size_t newSize) noexcept;
  TnxPoolHandle (*mmfGetPool)(uint32_t itemSize) noexcept;
  std::size_t (*mmfGetAllocSize)(void* p) noexcept;
  void (*mmfGetHeapStatus)(TnxHeapStatus& status) noexcept;
  TnxBlockPoolHandle mmfCommittedBlockPools[6];
  const void* mmfZeroBlock;
  TnxBlockPoolHandle mmfPhysicalBlockPools[6];
  void* (*mmfCommittedBlockAlloc)(TnxBlockPoolHandle pool) noexcept;
  bool (*mmfCommittedBlockFree)(TnxBlockPoolHandle pool, void* p) noexcept;
  void* (*mmfPhysicalBlockAlloc)(TnxBlockPoolHandle pool) noexcept;
  bool (*mmfPhysicalBlockFree)(TnxBlockPoolHandle pool, void* p) noexcept;
  void* (*mmfPoolAlloc)(TnxPoolHandle pool) noexcept;
  uint32_t (*mmfPoolFree)(TnxPoolHandle pool, void* p) noexcept;  // 0: freed
  uintptr_t mmfPhysicalSupported;  // 0 or all bits set
  uintptr_t mmfPhysicalActive;
  TnxMapableBlockHandle (*mmfMapableAlloc)(TnxBlockSizeIndex size) noexcept;  // 0: none
  bool (*mmfMapableFree)(TnxMapableBlockHandle handle) noexcept;
  void* (*mmfMapableMap)(TnxMapableBlockHandle handle) noexcept;
  bool (*mmfMapableUnmap)(TnxMapableBlockHandle handle, void* p) noexcept;
  uintptr_t mmfReserved[4];
  void (*mmfAddRef)() noexcept;
  void (*mmfRelease)() noexcept;
  void* (*mmfMapableMapArray)(TnxMapableBlockHandle* handles) noexcept;           // nil here
  bool (*mmfMapableUnmapArray)(TnxMapableBlockHandle* handles, void* p) noexcept;  // nil here
  void (*mmfCleanupNow)() noexcept;
  // Cells that are not nil while a spare region of the reserve is in use.
  TnxListEntry* const* mmfCommittedReserveInUse;
  TnxListEntry* const* mmfPhysicalReserveInUse;
  bool (*mmfIsLowOnMemory)() noexcept;  // nil here
  std::atomic<int32_t>* mmfClearOnFree;
  const char* mmfName;
  uintptr_t mmfSpare[2];
};
static_assert(sizeof(TnxMemoryManagerFunctions) == 47 * sizeof(void*));

}  // namespace revurov
