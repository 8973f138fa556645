#include "lowlevel/memory_manager.h"

#include <cstdlib>
#include <cstring>

#include "platform/exception.h"

// Allocation on the system allocator. The library heap binds here later; the
// system-allocator build keeps this path so sanitizers see every block.

namespace revurov {

using platform::EInvalidPointer;
using platform::EOutOfMemory;

void* nxGetMem(std::size_t size) {
  if (size == 0) return nullptr;
  void* p = std::malloc(size);
  if (!p) throw EOutOfMemory();
  return p;
}

void* nxAllocMem(std::size_t size) {
  void* p = nxGetMem(size);
  if (p) std::memset(p, 0, size);
  return p;
}

void nxGetZeroMem(void*& p, std::size_t size) { p = nxAllocMem(size); }

void nxReallocMem(void*& p, std::size_t newSize) {
  if (!p && newSize == 0) return;
  if (!p) {
    p = nxGetMem(newSize);
    return;
  }
  if (newSize == 0) {
    void* old = p;
    p = nullptr;
    std::free(old);
    return;
  }
  void* q = std::realloc(p, newSize);
  if (!q) throw EOutOfMemory();
  p = q;
}

void nxFreeMem(void* p) { std::free(p); }

void nxFreeMemAndNil(void*& p) { nxFreeMem(std::atomic_ref<void*>(p).exchange(nullptr)); }

void* TnxObject::operator new(std::size_t size) { return nxGetMem(size ? size : 1); }

void TnxObject::operator delete(void* p) noexcept { std::free(p); }

// Seam for the heap binding: block pools on the system allocator.
TnxBlockPool nxBlockPoolsCommitted[6] = {4096, 8192, 16384, 32768, 65536, 4194304};

void* nxBlockPoolCommittedAlloc(TnxBlockPool aPool) {
  void* p = aPool ? std::aligned_alloc(aPool, aPool) : nullptr;
  if (!p) throw EOutOfMemory();
  return p;
}

void nxBlockPoolCommittedDispose(TnxBlockPool, void*& aBlock) {
  std::free(std::atomic_ref<void*>(aBlock).exchange(nullptr));
}

namespace {
thread_local uint32_t tlsMinVersion = 0;
}

void nxSetThreadMinVersion(uint32_t version) noexcept { tlsMinVersion = version; }

uint32_t nxGetThreadMinVersion() noexcept { return tlsMinVersion ? tlsMinVersion : nxLibraryVersion; }

uint32_t nxGetThreadMinVersionCapped() noexcept {
  const uint32_t v = nxGetThreadMinVersion();
  return v > nxLibraryVersion ? nxLibraryVersion : v;
}

}  // namespace revurov
