// The standard memory manager as one object: starts the heap's units in
// order, fills its function table (plain routines, or the same routines
// wrapped by an external hook module), reports heap status and runs the
// maintenance thread.
//
// Contract:
// - nxMemoryManagerTable takes a reference and answers the table;
//   nxImplAddRef / nxImplRelease count references, the first starts the
//   manager and the last shuts it down (serialised by a lock).
// - Shut-down stops and joins the maintenance thread first. The heap's units
//   are then shut down only when nothing is allocated from them any more;
//   otherwise the heap stays as it is (late frees of static objects keep
//   working) and the next start-up takes it over.
// - Built with REVUROV_SYSTEM_HEAP, the allocation and block routines of the
//   table use the system allocator, so sanitizers and heap profilers see
//   every block; everything else (thread, hooks, table) stays the same.
// - The hook module: the first found of an already loaded
//   "ZirezMM5Hook.so", "<program>_ZirezMM5Hook.so" (the program's path with
//   the extension of its file name dropped), the same for the module holding
//   the manager, and the file named by the environment variable
//   "ZirezMM5Hook". It is used only when all 16 exports resolve.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lowlevel/heap/memory_manager_table.h"

namespace revurov::mm {

TnxMemoryManagerFunctions* nxMemoryManagerTable();
void nxImplAddRef() noexcept;
void nxImplRelease() noexcept;
void nxImplCleanupNow() noexcept;
void nxGetHeapStatus(TnxHeapStatus& status) noexcept;
int nxImplRefCount() noexcept;

constexpr const char* nxMemoryManagerNameText = "Standard Server (non AWE)";

// The hook module file derived from a program or module path; empty when
// the result would be too long.
std::string nxHookModuleFileName(const std::string& modulePath);
bool nxHookModuleActive() noexcept;
// Whether the maintenance thread runs (for tests).
bool nxMaintenanceThreadRunning() noexcept;

// The hook module's exports, called in this order around each routine.
struct TnxHookFunctions {
  void (*BeforeGetMem)(std::size_t* size);
  void (*AfterGetMem)(std::size_t size, void** result);
  void (*BeforeFreeMem)(void** p);
  void (*BeforeReallocMem)(void** p, std::size_t* newSize);
  void (*AfterReallocMem)(std::size_t newSize, void** result);
  void (*BeforeGetAllocSize)(void** p);
  void (*AfterGetAllocSize)(void* p, std::size_t* result);
  void (*AfterBlockPoolCommittedAlloc)(void* block);
  void (*BeforeBlockPoolCommittedDispose)(void* block);
  void (*AfterBlockPoolCommittedLargeAlloc)(void* block);     // never called
  void (*BeforeBlockPoolCommittedLargeDispose)(void* block);  // never called
  void (*AfterBlockPoolPhysicalAlloc)(void* block);
  void (*BeforeBlockPoolPhysicalDispose)(void* block);
  void (*BeforeGetPool)(uint32_t* itemSize);
  void (*AfterMemoryPoolAlloc)(TnxPoolHandle pool, void** result);
  void (*BeforeMemoryPoolDispose)(void** p);
};

}  // namespace revurov::mm
