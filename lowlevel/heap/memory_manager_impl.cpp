#include "lowlevel/heap/memory_manager_impl.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "lowlevel/heap/block_manager.h"
#include "lowlevel/heap/cpu.h"
#include "lowlevel/heap/item_manager.h"
#include "lowlevel/heap/maintenance_thread.h"
#include "lowlevel/heap/move_fill.h"
#include "lowlevel/heap/region_manager.h"
#include "lowlevel/heap/types.h"
#include "platform/module.h"
#include "platform/virtual_memory.h"

namespace revurov::mm {

namespace {

constexpr std::size_t kZeroBlockSize = 65536;

std::mutex gImplLock;
int gImplCount = 0;
bool gHeapUp = false;  // the heap's units run (possibly kept from an earlier start)
TnxMemoryManagerFunctions gTable{};
std::shared_ptr<TnxMaintenanceThread> gMaintenance;  // shared: CleanupNow waits outside the lock
void* gZeroBlock = nullptr;
TnxHookFunctions gHooks{};
bool gHooksActive = false;
TnxListEntry* const kNoReserveInUse = nullptr;

// ---- plain routines ----

#ifdef REVUROV_SYSTEM_HEAP

void* PlainGetMem(std::size_t size) noexcept { return size ? std::malloc(size) : nullptr; }
uint32_t PlainFreeMem(void* p) noexcept {
  if (!p) return 1;
  std::free(p);
  return 0;
}
void* PlainReallocMem(void* p, std::size_t newSize) noexcept {
  return p && newSize ? std::realloc(p, newSize) : nullptr;
}
// A pool handle is the block size; blocks are aligned to it.
void* PlainBlockAlloc(TnxBlockPoolHandle pool) noexcept {
  return pool && (pool & (pool - 1)) == 0 ? std::aligned_alloc(pool, pool) : nullptr;
}
bool PlainBlockFree(TnxBlockPoolHandle pool, void* p) noexcept {
  if (!p || !pool || (reinterpret_cast<uintptr_t>(p) & (pool - 1))) return false;
  std::free(p);
  return true;
}
bool PlainMapableFree(TnxMapableBlockHandle h) noexcept {
  if (!h || (h & 4095)) return false;
  std::free(reinterpret_cast<void*>(h));
  return true;
}
TnxBlockPoolHandle CommittedPool(int i) { return i == nxbs4M ? 4194304 : TnxBlockPoolHandle(4096) << i; }

#else

// Object creation goes straight to these: no routine of ours in between.
// A corrupted pool block comes back as nil, and the caller raises.
void* PlainGetMem(std::size_t size) noexcept { return nxItemGetMemAnswering(size); }
uint32_t PlainFreeMem(void* p) noexcept { return nxItemFreeMemAnswering(p); }
void* PlainReallocMem(void* p, std::size_t newSize) noexcept {
  try {
    return nxItemReallocMem(p, newSize);
  } catch (...) {
    return nullptr;
  }
}
TnxBlockManager* CommittedManager(TnxBlockPoolHandle pool) noexcept {
  for (auto& m : nxCommittedBlockManagers)
    if (reinterpret_cast<TnxBlockPoolHandle>(&m) == pool) return &m;
  return nullptr;
}
void* PlainBlockAlloc(TnxBlockPoolHandle pool) noexcept {
  TnxBlockManager* m = CommittedManager(pool);
  return m ? nxBlockAlloc(m) : nullptr;
}
bool PlainBlockFree(TnxBlockPoolHandle pool, void* p) noexcept {
  TnxBlockManager* m = CommittedManager(pool);
  return m && nxBlockFree(m, p);
}
bool PlainMapableFree(TnxMapableBlockHandle h) noexcept {
  return nxMapableFreeByAddress(reinterpret_cast<void*>(h));
}
TnxBlockPoolHandle CommittedPool(int i) { return reinterpret_cast<TnxBlockPoolHandle>(&nxCommittedBlockManagers[i]); }

#endif

TnxPoolHandle PlainGetPool(uint32_t itemSize) noexcept { return (TnxPoolHandle(itemSize) + 7) & ~TnxPoolHandle(7); }
std::size_t PlainGetAllocSize(void*) noexcept { return 0; }
void* PlainPhysicalAlloc(TnxBlockPoolHandle) noexcept { return nullptr; }
bool PlainPhysicalFree(TnxBlockPoolHandle, void*) noexcept { return false; }
void* PlainPoolAlloc(TnxPoolHandle pool) noexcept { return PlainGetMem(pool); }
uint32_t PlainPoolFree(TnxPoolHandle, void* p) noexcept { return PlainFreeMem(p); }

TnxMapableBlockHandle MapableAlloc(TnxBlockSizeIndex size) noexcept {
  if (size > nxbs4M) return 0;
  return reinterpret_cast<TnxMapableBlockHandle>(gTable.mmfCommittedBlockAlloc(gTable.mmfCommittedBlockPools[size]));
}
void* MapIdentity(TnxMapableBlockHandle h) noexcept { return reinterpret_cast<void*>(h); }
bool UnmapCheck(TnxMapableBlockHandle h, void* p) noexcept { return reinterpret_cast<void*>(h) == p; }

// ---- hooked routines: the wrapped routine runs with what the Before hook
// left, and the caller gets what the After hook left ----

void* HookedGetMem(std::size_t size) noexcept {
  gHooks.BeforeGetMem(&size);
  void* r = PlainGetMem(size);
  gHooks.AfterGetMem(size, &r);
  return r;
}
uint32_t HookedFreeMem(void* p) noexcept {
  gHooks.BeforeFreeMem(&p);
  return PlainFreeMem(p);
}
void* HookedReallocMem(void* p, std::size_t newSize) noexcept {
  gHooks.BeforeReallocMem(&p, &newSize);
  void* r = PlainReallocMem(p, newSize);
  gHooks.AfterReallocMem(newSize, &r);
  return r;
}
TnxPoolHandle HookedGetPool(uint32_t itemSize) noexcept {
  gHooks.BeforeGetPool(&itemSize);
  return PlainGetPool(itemSize);
}
std::size_t HookedGetAllocSize(void* p) noexcept {
  gHooks.BeforeGetAllocSize(&p);
  std::size_t r = PlainGetAllocSize(p);
  gHooks.AfterGetAllocSize(p, &r);
  return r;
}
void* HookedCommittedBlockAlloc(TnxBlockPoolHandle pool) noexcept {
  void* r = PlainBlockAlloc(pool);
  gHooks.AfterBlockPoolCommittedAlloc(r);
  return r;
}
bool HookedCommittedBlockFree(TnxBlockPoolHandle pool, void* p) noexcept {
  if (p) gHooks.BeforeBlockPoolCommittedDispose(p);
  return PlainBlockFree(pool, p);
}
void* HookedPhysicalBlockAlloc(TnxBlockPoolHandle pool) noexcept {
  void* r = PlainPhysicalAlloc(pool);
  gHooks.AfterBlockPoolPhysicalAlloc(r);
  return r;
}
bool HookedPhysicalBlockFree(TnxBlockPoolHandle pool, void* p) noexcept {
  if (p) gHooks.BeforeBlockPoolPhysicalDispose(p);
  return PlainPhysicalFree(pool, p);
}
void* HookedPoolAlloc(TnxPoolHandle pool) noexcept {
  void* r = PlainPoolAlloc(pool);
  gHooks.AfterMemoryPoolAlloc(pool, &r);
  return r;
}
uint32_t HookedPoolFree(TnxPoolHandle pool, void* p) noexcept {
  if (!p) return 0;
  gHooks.BeforeMemoryPoolDispose(&p);
  return PlainPoolFree(pool, p);
}

// ---- hook module ----

using platform::LoadModule;
using platform::ProgramPath;

void* FindHookModule() {
  if (void* h = platform::FindLoadedModule("ZirezMM5Hook.so")) return h;
  if (void* h = LoadModule(nxHookModuleFileName(ProgramPath()))) return h;
  if (void* h = LoadModule(nxHookModuleFileName(platform::ModulePathOf(reinterpret_cast<const void*>(&nxMemoryManagerTable)))))
    return h;
  const char* env = std::getenv("ZirezMM5Hook");
  if (env && std::strlen(env) < platform::kMaxPath) return LoadModule(env);
  return nullptr;
}

template <typename F>
bool Resolve(void* module, const char* name, F& slot) {
  slot = reinterpret_cast<F>(platform::ModuleSymbol(module, name));
  return slot != nullptr;
}

// A module with a missing export stays loaded but unused.
bool LoadHookModule() {
  void* m = FindHookModule();
  if (!m) return false;
  TnxHookFunctions h{};
  bool all = true;
  all &= Resolve(m, "BeforeGetMem", h.BeforeGetMem);
  all &= Resolve(m, "AfterGetMem", h.AfterGetMem);
  all &= Resolve(m, "BeforeFreeMem", h.BeforeFreeMem);
  all &= Resolve(m, "BeforeReallocMem", h.BeforeReallocMem);
  all &= Resolve(m, "AfterReallocMem", h.AfterReallocMem);
  all &= Resolve(m, "BeforeGetAllocSize", h.BeforeGetAllocSize);
  all &= Resolve(m, "AfterGetAllocSize", h.AfterGetAllocSize);
  all &= Resolve(m, "AfterBlockPoolCommittedAlloc", h.AfterBlockPoolCommittedAlloc);
  all &= Resolve(m, "BeforeBlockPoolCommittedDispose", h.BeforeBlockPoolCommittedDispose);
  all &= Resolve(m, "AfterBlockPoolCommittedLargeAlloc", h.AfterBlockPoolCommittedLargeAlloc);
  all &= Resolve(m, "BeforeBlockPoolCommittedLargeDispose", h.BeforeBlockPoolCommittedLargeDispose);
  all &= Resolve(m, "AfterBlockPoolPhysicalAlloc", h.AfterBlockPoolPhysicalAlloc);
  all &= Resolve(m, "BeforeBlockPoolPhysicalDispose", h.BeforeBlockPoolPhysicalDispose);
  all &= Resolve(m, "BeforeGetPool", h.BeforeGetPool);
  all &= Resolve(m, "AfterMemoryPoolAlloc", h.AfterMemoryPoolAlloc);
  all &= Resolve(m, "BeforeMemoryPoolDispose", h.BeforeMemoryPoolDispose);
  if (!all) return false;
  gHooks = h;
  return true;
}

// ---- maintenance ----

void PoolsCleanup() {
  if (gHeapUp) TnxMemoryPool::Cleanup();
}
void BlockTrim() {
  if (gHeapUp) nxBlockTrim();
}
void PhysicalBlockTrim() {
  if (gHeapUp) nxPhysicalBlockTrim();
}
void RegionTrim() {
  if (gHeapUp) nxRegionTrim();
}
constexpr TnxMaintenanceOps kMaintenanceOps{&PoolsCleanup, &BlockTrim, &PhysicalBlockTrim, &RegionTrim};

bool HeapInUse() {
#ifdef REVUROV_SYSTEM_HEAP
  return false;  // the units hold nothing of the callers'
#else
  TnxMemoryPool::Cleanup();
  nxBlockTrim();
  return nxStatAllocated() != 0 || nxRegionsInUse() != 0;
#endif
}

void Startup() {
  nxCpuDetectStartup();
  nxMoveFillStartup();
#ifndef REVUROV_SYSTEM_HEAP
  // The system-allocator build leaves the heap's units alone: nothing of
  // theirs would be used.
  if (!gHeapUp) {
    if (!nxItemManagerStartup()) {
      nxMoveFillShutdown();
      nxCpuDetectShutdown();
      throw std::bad_alloc();
    }
    gHeapUp = true;
  }
#endif
  gMaintenance = std::make_shared<TnxMaintenanceThread>(kMaintenanceOps);
  gHooksActive = LoadHookModule();

  TnxMemoryManagerFunctions& t = gTable;
  t = TnxMemoryManagerFunctions{};
  t.mmfGetMem = gHooksActive ? &HookedGetMem : &PlainGetMem;
  t.mmfFreeMem = gHooksActive ? &HookedFreeMem : &PlainFreeMem;
  t.mmfReallocMem = gHooksActive ? &HookedReallocMem : &PlainReallocMem;
  t.mmfGetPool = gHooksActive ? &HookedGetPool : &PlainGetPool;
  t.mmfGetAllocSize = gHooksActive ? &HookedGetAllocSize : &PlainGetAllocSize;
  t.mmfCommittedBlockAlloc = gHooksActive ? &HookedCommittedBlockAlloc : &PlainBlockAlloc;
  t.mmfCommittedBlockFree = gHooksActive ? &HookedCommittedBlockFree : &PlainBlockFree;
  t.mmfPhysicalBlockAlloc = gHooksActive ? &HookedPhysicalBlockAlloc : &PlainPhysicalAlloc;
  t.mmfPhysicalBlockFree = gHooksActive ? &HookedPhysicalBlockFree : &PlainPhysicalFree;
  t.mmfPoolAlloc = gHooksActive ? &HookedPoolAlloc : &PlainPoolAlloc;
  t.mmfPoolFree = gHooksActive ? &HookedPoolFree : &PlainPoolFree;
  t.mmfClearOnFree = gHooksActive ? nullptr : &nxClearOnFree;

  t.mmfPhysicalSupported = nxPhysicalSupportedFlag ? ~uintptr_t(0) : 0;
  t.mmfPhysicalActive = nxPhysicalActiveFlag ? ~uintptr_t(0) : 0;
  t.mmfMapableAlloc = &MapableAlloc;
  t.mmfMapableFree = &PlainMapableFree;
  t.mmfMapableMap = &MapIdentity;
  t.mmfMapableUnmap = &UnmapCheck;
  t.mmfGetHeapStatus = &nxGetHeapStatus;
  t.mmfAddRef = &nxImplAddRef;
  t.mmfRelease = &nxImplRelease;
  t.mmfCleanupNow = &nxImplCleanupNow;
  const bool arena = gHeapUp && nxRegionReserve != nullptr;
  t.mmfCommittedReserveInUse = arena ? &nxRegionReserve->rrCommittedFreeEntries.lhFirst : &kNoReserveInUse;
  t.mmfPhysicalReserveInUse = arena ? &nxRegionReserve->rrPhysicalFreeEntries.lhFirst : &kNoReserveInUse;
  t.mmfName = nxMemoryManagerNameText;
  for (int i = 0; i < nxBlockSizeCount; ++i) {
    t.mmfCommittedBlockPools[i] = CommittedPool(i);
    t.mmfPhysicalBlockPools[i] = reinterpret_cast<TnxBlockPoolHandle>(&nxPhysicalBlockManagers[i]);
  }
  if (!gZeroBlock) {
    void* z = platform::vmReserve(kZeroBlockSize, platform::vmPageSize);
    if (z && !platform::vmCommitReadOnly(z, kZeroBlockSize)) {
      platform::vmRelease(z, kZeroBlockSize);
      z = nullptr;
    }
    gZeroBlock = z;
  }
  t.mmfZeroBlock = gZeroBlock;

  gMaintenance->Start();
}

void Shutdown() noexcept {
  // The thread goes before anything it trims.
  gMaintenance->Stop();
  gMaintenance.reset();
  if (gHeapUp && !HeapInUse()) {
    if (gZeroBlock) platform::vmRelease(gZeroBlock, kZeroBlockSize);
    gZeroBlock = nullptr;
    nxItemManagerShutdown();
    gHeapUp = false;
  }
  nxMoveFillShutdown();
  nxCpuDetectShutdown();
}

}  // namespace

std::string nxHookModuleFileName(const std::string& modulePath) {
  if (modulePath.empty()) return {};
  // The extension is cut from the file name only, never inside a folder
  // name with a dot.
  const std::size_t slash = modulePath.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  std::size_t dot = modulePath.rfind('.');
  if (dot == std::string::npos || dot < nameStart || dot == nameStart) dot = modulePath.size();
  std::string result = modulePath.substr(0, dot) + "_ZirezMM5Hook.so";
  if (result.size() >= platform::kMaxPath) return {};
  return result;
}

bool nxHookModuleActive() noexcept {
  std::lock_guard lock(gImplLock);
  return gImplCount > 0 && gHooksActive;
}

bool nxMaintenanceThreadRunning() noexcept {
  std::lock_guard lock(gImplLock);
  return gMaintenance && gMaintenance->Running();
}

void nxImplAddRef() noexcept {
  std::lock_guard lock(gImplLock);
  if (gImplCount++ > 0) return;
  try {
    Startup();
  } catch (...) {
    gImplCount = 0;
    // The table stays empty; the binding refuses it.
  }
}

void nxImplRelease() noexcept {
  std::lock_guard lock(gImplLock);
  if (gImplCount == 0 || --gImplCount > 0) return;
  Shutdown();
}

int nxImplRefCount() noexcept {
  std::lock_guard lock(gImplLock);
  return gImplCount;
}

TnxMemoryManagerFunctions* nxMemoryManagerTable() {
  nxImplAddRef();
  std::lock_guard lock(gImplLock);
  return gImplCount > 0 ? &gTable : nullptr;
}

void nxImplCleanupNow() noexcept {
  std::shared_ptr<TnxMaintenanceThread> m;
  {
    std::lock_guard lock(gImplLock);
    m = gMaintenance;
  }
  if (m) m->CleanupNow(10000);
}

void nxGetHeapStatus(TnxHeapStatus& s) noexcept {
  s = TnxHeapStatus{};
#ifndef REVUROV_SYSTEM_HEAP
  const int64_t reserved = nxStatReserved(), committed = nxStatCommitted();
  s.hsTotalAddrSpace = std::size_t(reserved);
  s.hsTotalUncommitted = committed < reserved ? std::size_t(reserved - committed) : 0;
  s.hsTotalCommitted = std::size_t(committed);
  s.hsTotalAllocated = std::size_t(nxStatAllocated());
  s.hsOverhead = std::size_t(nxStatOverhead());
#endif
}

}  // namespace revurov::mm
