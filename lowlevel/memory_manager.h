// The library's allocation routines and the base of its heap-allocated
// objects. Everything the library allocates for itself goes through here, so
// that all modules of a process share one heap.
//
// Contract: allocating routines raise EOutOfMemory and leave reference
// arguments unchanged on failure; freeing routines raise EInvalidPointer for
// a pointer that is not a live block. The ...AndNil forms take the value out
// with an atomic exchange, so of two threads freeing one variable only one
// frees.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace revurov {

void* nxGetMem(std::size_t size);
void* nxAllocMem(std::size_t size);  // zero-filled
void nxGetZeroMem(void*& p, std::size_t size);
void nxReallocMem(void*& p, std::size_t newSize);
void nxFreeMem(void* p);
void nxFreeMemAndNil(void*& p);

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
// exchange and ignores nil.
// Seam: until the heap binding fills these from the manager's table, a pool
// handle is its block size and blocks come from the system allocator.
using TnxBlockPool = uintptr_t;
extern TnxBlockPool nxBlockPoolsCommitted[6];
void* nxBlockPoolCommittedAlloc(TnxBlockPool aPool);
void nxBlockPoolCommittedDispose(TnxBlockPool aPool, void*& aBlock);

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
