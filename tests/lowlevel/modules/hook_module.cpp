// A hook module: counts every call it sees. Built with HOOK_LEAVE_OUT to
// lack one of the 16 exports. BeforeGetMem doubles a request of 100 bytes.
#include <atomic>
#include <cstddef>
#include <cstdint>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {
enum Hook {
  kBeforeGetMem,
  kAfterGetMem,
  kBeforeFreeMem,
  kBeforeReallocMem,
  kAfterReallocMem,
  kBeforeGetAllocSize,
  kAfterGetAllocSize,
  kAfterBlockPoolCommittedAlloc,
  kBeforeBlockPoolCommittedDispose,
  kAfterBlockPoolCommittedLargeAlloc,
  kBeforeBlockPoolCommittedLargeDispose,
  kAfterBlockPoolPhysicalAlloc,
  kBeforeBlockPoolPhysicalDispose,
  kBeforeGetPool,
  kAfterMemoryPoolAlloc,
  kBeforeMemoryPoolDispose,
  kHookCount
};
std::atomic<long> calls[kHookCount];
std::atomic<std::size_t> lastAfterGetMemSize{0};
}  // namespace

EXPORT long HookCalls(int hook) { return hook >= 0 && hook < kHookCount ? calls[hook].load() : -1; }
EXPORT std::size_t HookLastAfterGetMemSize() { return lastAfterGetMemSize.load(); }

EXPORT void BeforeGetMem(std::size_t* size) {
  ++calls[kBeforeGetMem];
  if (*size == 100) *size = 200;
}
EXPORT void AfterGetMem(std::size_t size, void**) {
  ++calls[kAfterGetMem];
  lastAfterGetMemSize = size;
}
EXPORT void BeforeFreeMem(void**) { ++calls[kBeforeFreeMem]; }
EXPORT void BeforeReallocMem(void**, std::size_t*) { ++calls[kBeforeReallocMem]; }
EXPORT void AfterReallocMem(std::size_t, void**) { ++calls[kAfterReallocMem]; }
EXPORT void BeforeGetAllocSize(void**) { ++calls[kBeforeGetAllocSize]; }
EXPORT void AfterGetAllocSize(void*, std::size_t*) { ++calls[kAfterGetAllocSize]; }
EXPORT void AfterBlockPoolCommittedAlloc(void*) { ++calls[kAfterBlockPoolCommittedAlloc]; }
EXPORT void BeforeBlockPoolCommittedDispose(void*) { ++calls[kBeforeBlockPoolCommittedDispose]; }
EXPORT void AfterBlockPoolCommittedLargeAlloc(void*) { ++calls[kAfterBlockPoolCommittedLargeAlloc]; }
EXPORT void BeforeBlockPoolCommittedLargeDispose(void*) { ++calls[kBeforeBlockPoolCommittedLargeDispose]; }
EXPORT void AfterBlockPoolPhysicalAlloc(void*) { ++calls[kAfterBlockPoolPhysicalAlloc]; }
EXPORT void BeforeBlockPoolPhysicalDispose(void*) { ++calls[kBeforeBlockPoolPhysicalDispose]; }
EXPORT void BeforeGetPool(uint32_t*) { ++calls[kBeforeGetPool]; }
EXPORT void AfterMemoryPoolAlloc(uintptr_t, void**) { ++calls[kAfterMemoryPoolAlloc]; }
#ifndef HOOK_LEAVE_OUT
EXPORT void BeforeMemoryPoolDispose(void**) { ++calls[kBeforeMemoryPoolDispose]; }
#endif
