// The library's allocation routines and the base of its heap-allocated
// objects. Everything the library allocates for itself goes through here, so
// that all modules of a process share one heap.
//
// Binding: the first use (or nxMemoryManagerBind, the first unit of the
// library's start-up) binds the module to the process's manager: it adopts
// the manager another module has published in the process-wide mapping
// "__ZirezMM6__" + the process id, or starts its own and publishes it. The
// last nxMemoryManagerUnbind (or the end of the process, for a binding made
// by first use) releases it; a publisher withdraws the mapping then.
//
// Contract: allocating routines raise EOutOfMemory and leave reference
// arguments unchanged on failure; freeing routines raise EInvalidPointer for
// a pointer that is not a live block. The ...AndNil and Dispose forms take
// the value out with an atomic exchange (the variable is nil even when the
// error is raised), so of two threads freeing one variable only one frees.
// Binding failures raise EInvalidPointer (EOutOfMemory when no heap can be
// had).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "lowlevel/heap/memory_manager_table.h"

namespace revurov {

void* nxGetMem(std::size_t size);
void* nxAllocMem(std::size_t size);  // zero-filled
void nxGetZeroMem(void*& p, std::size_t size);
void nxReallocMem(void*& p, std::size_t newSize);
void nxFreeMem(void* p);
void nxFreeMemAndNil(void*& p);

// Pools of one item size. The handle is opaque: only pass it back.
TnxPoolHandle nxGetMemoryPool(uint32_t aItemSize);
class TnxMemoryPool {
public:
  TnxMemoryPool() = delete;
  static void* Alloc(TnxPoolHandle aPool);
  static void Dispose(TnxPoolHandle aPool, void*& p);
  static void DisposeDirect(TnxPoolHandle aPool, void* p);
};

// Base of the library's classes: instances live on the library heap.
class TnxObject {
public:
  TnxObject() = default;
  virtual ~TnxObject() = default;
  TnxObject(const TnxObject&) = delete;
  TnxObject& operator=(const TnxObject&) = delete;

  static void* operator new(std::size_t size);
  static void operator delete(void* p) noexcept;
};

// Committed block pools: blocks of 4 KB, 8 KB, 16 KB, 32 KB, 64 KB and 4 MB,
// each aligned to its size, indexed by mm::TnxBlockSizeAll. Alloc raises out
// of memory; Dispose takes the block out of its variable with an atomic
// exchange, ignores nil and raises invalid pointer for a block the pool does
// not own. This module's handles are the block sizes, valid before binding
// too; the calls translate them to the manager's pools.
using TnxBlockPool = uintptr_t;
extern TnxBlockPool nxBlockPoolsCommitted[6];
void* nxBlockPoolCommittedAlloc(TnxBlockPool aPool);
void nxBlockPoolCommittedDispose(TnxBlockPool aPool, void*& aBlock);

// Mapable blocks (aSize as mm::TnxBlockSizeAll).
TnxMapableBlockHandle nxMapableBlockAlloc(TnxBlockSizeIndex aSize);
void nxMapableBlockAllocArray(TnxBlockSizeIndex aSize, TnxMapableBlockHandle (&aHandles)[256]);
void nxMapableBlockFree(TnxMapableBlockHandle aHandle);
void* nxMapableBlockMap(TnxMapableBlockHandle aHandle);
void nxMapableBlockUnmap(TnxMapableBlockHandle aHandle, void* aPointer);
void* nxMapableBlockMapArray(TnxMapableBlockHandle* aHandles);
void nxMapableBlockUnmapArray(TnxMapableBlockHandle* aHandles, void* aPointer);

bool nxPhysicalMemorySupported();
bool nxPhysicalMemoryActive();
std::u16string nxMemoryManagerName();
void nxMemoryManagerCleanupNow() noexcept;
bool nxMemoryManagerIsLowOnMemory();
void nxMemoryManagerAddRef();
void nxMemoryManagerRelease();
// A read-only 64 KB block of zeros.
const void* nxZeroBlock();
// Cells that are not nil while a spare region of the reserve is in use.
TnxListEntry* const* nxCommittedReserveInUse();
TnxListEntry* const* nxPhysicalReserveInUse();

// The facade unit's start-up and shut-down (reference-counted).
void nxMemoryManagerBind();
void nxMemoryManagerUnbind();
bool nxMemoryManagerBound() noexcept;
// Whether this module published the manager (false: adopted or unbound).
bool nxMemoryManagerIsPublisher() noexcept;
// This module's copy of the table (binds first).
const TnxMemoryManagerFunctions& nxMemoryManagerFunctions();
// The mapping's name for a process id: "__ZirezMM6__" and the id's four
// bytes, least significant first, two upper-case hex digits each.
std::u16string nxMemoryManagerMappingName(uint32_t aProcessId);

// Layout of the mapping (little-endian): the ready flag, then the table
// address, then the publisher's process id and start time (clock ticks
// after boot), by which a block left behind by a dead process is told from
// a live one.
constexpr std::size_t nxMappingSize = 1024;
constexpr std::size_t nxMappingReadyOffset = 0;
constexpr std::size_t nxMappingTableOffset = 8;
constexpr std::size_t nxMappingPidOffset = 16;
constexpr std::size_t nxMappingStartTimeOffset = 24;
// The start time of a process as the mapping records it; 0 when unknown.
uint64_t nxProcessStartTime(uint32_t aProcessId);

class TnxInterfacedObject;

// Destroys the object a variable holds and leaves the variable null. An
// interfaced object goes through its Destroy, which refuses one that still
// has references.
template <typename T>
void nxFreeAndNil(T*& obj) {
  T* old = std::atomic_ref<T*>(obj).exchange(nullptr);
  if (!old) return;
  if constexpr (std::is_base_of_v<TnxInterfacedObject, T>) {
    old->Destroy();
  } else {
    delete old;
  }
}

// The version of the client the calling thread serves (0 clears it).
constexpr uint32_t nxLibraryVersion = 47501;
void nxSetThreadMinVersion(uint32_t version) noexcept;
uint32_t nxGetThreadMinVersion() noexcept;        // 47501 when never set
uint32_t nxGetThreadMinVersionCapped() noexcept;  // never above 47501

}  // namespace revurov
