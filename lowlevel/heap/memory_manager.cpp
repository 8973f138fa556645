#include "lowlevel/heap/memory_manager.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "lowlevel/heap/memory_manager_impl.h"
#include "lowlevel/heap/move_fill.h"
#include "lowlevel/heap/types.h"
#include "platform/endian.h"
#include "platform/file_io.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/rtl_exception.h"
#include "platform/shared_memory.h"
#include "platform/text.h"

namespace revurov {

using platform::EInvalidPointer;
using platform::EOutOfMemory;

namespace {

// Longest wait for another module of the process that holds the mapping
// while it publishes or withdraws (a few microseconds normally).
constexpr uint32_t kMappingLockTimeoutMs = 10000;

// This module's copy of the manager's table; nil while unbound.
TnxMemoryManagerFunctions gCopy{};
std::atomic<const TnxMemoryManagerFunctions*> gTable{nullptr};

std::mutex gBindLock;
int gBindCount = 0;
bool gLazyReference = false;  // the binding made by first use
bool gAtExitPending = false;  // the end-of-process release is registered and has not run
// The mapping's handle, held while this module is the publisher. Plain, so
// that it outlives every static destructor that may still unbind.
platform::THandle gMappingHandle = platform::INVALID_HANDLE_VALUE;
uint32_t gBoundPid = 0;
thread_local bool tlsBinding = false;
TnxFillCharProc gFill = nxFillChar;  // the fill routine chosen at binding

const TnxMemoryManagerFunctions& BindByFirstUse();

inline const TnxMemoryManagerFunctions& Table() {
  const TnxMemoryManagerFunctions* t = gTable.load(std::memory_order_acquire);
  if (__builtin_expect(t == nullptr, 0)) return BindByFirstUse();
  return *t;
}

std::string MappingName(uint32_t pid) { return platform::Utf16ToUtf8(nxMemoryManagerMappingName(pid)); }

// "nxmm.so" beside the program, loaded once and never unloaded: a manager
// module that publishes itself in the mapping during its own start-up.
void LoadManagerModule() {
  static bool tried = false;
  if (tried) return;
  tried = true;
  std::string path = platform::ProgramPath();
  if (path.empty()) return;
  path.resize(path.rfind('/') + 1);
  path += "nxmm.so";
  if (!platform::FileExists(path)) return;
  platform::LoadModule(path);
}

// The mapping's process id and start time are the shared-memory owner record.
static_assert(nxMappingStartTimeOffset == nxMappingPidOffset + 8);

struct TMappingView : platform::TSharedView {
  explicit TMappingView(const platform::TSharedMemory& mapping) {
    if (!Map(mapping, nxMappingSize, true)) throw EInvalidPointer();
  }
  std::atomic_ref<uint32_t> Ready() { return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(Data())); }
};

// Adopts the published manager or publishes this module's. Runs under
// gBindLock.
void BindToMapping() {
  const platform::TProcessIdentity self = platform::CurrentProcessIdentity();
  const std::string name = MappingName(self.Pid);
  for (int attempt = 0; attempt < 8; ++attempt) {
    platform::TSharedMemory mapping;
    if (!mapping.Open(name, true)) {
      // No descriptor left, no shared memory, or the name held by another
      // user's dead process: the module keeps a manager of its own rather
      // than leaving the process without a heap.
      TnxMemoryManagerFunctions* table = mm::nxMemoryManagerTable();
      if (!table) throw EOutOfMemory();
      gCopy = *table;
      return;
    }
    // Shared with every other module of the process (each opens the mapping
    // itself) and with a process that reuses a dead one's name.
    platform::TSharedMemoryLock lock(mapping, kMappingLockTimeoutMs);
    if (!lock.Locked()) throw EInvalidPointer();
    platform::TSharedMemoryState state;
    if (!mapping.State(state)) throw EInvalidPointer();
    if (state.Unlinked) continue;  // withdrawn while we waited: look again
    if (state.Size >= nxMappingSize) {
      TMappingView view(mapping);
      const TnxMemoryManagerFunctions* table = nullptr;
      if (view.Ready().load(std::memory_order_acquire) == 1 &&
          platform::LoadOwner(view.Data() + nxMappingPidOffset) == self)
        table = reinterpret_cast<const TnxMemoryManagerFunctions*>(platform::LoadU64(view.Data() + nxMappingTableOffset));
      if (table) {
        // The reference is taken under the lock, so the publisher cannot
        // end the manager between our read and it.
        table->mmfAddRef();
        gCopy = *table;
        return;  // unlocks and closes: an adopter keeps no handle
      }
    }
    // Absent, half-written by a publisher that died, or left by a dead
    // process whose id we reuse: ours to fill.
    if (!mapping.Resize(0) || !mapping.Resize(nxMappingSize)) throw EInvalidPointer();
    TnxMemoryManagerFunctions* table = mm::nxMemoryManagerTable();
    if (!table) throw EOutOfMemory();
    {
      TMappingView view(mapping);
      platform::StoreU64(view.Data() + nxMappingTableOffset, reinterpret_cast<uintptr_t>(table));
      platform::StoreOwner(view.Data() + nxMappingPidOffset, self);
      view.Ready().store(1, std::memory_order_release);
    }
    gCopy = *table;
    gMappingHandle = mapping.Release();  // the lock ends on the kept handle
    return;
  }
  throw EInvalidPointer();
}

// The publisher takes its name away (POSIX names outlive their holders).
void WithdrawMapping() {
  platform::TSharedMemory mapping(gMappingHandle);
  gMappingHandle = platform::INVALID_HANDLE_VALUE;
  if (!mapping.IsOpen()) return;
  platform::TSharedMemoryLock lock(mapping, kMappingLockTimeoutMs);
  if (!lock.Locked()) return;
  platform::TSharedMemoryState state;
  if (mapping.State(state) && !state.Unlinked) platform::TSharedMemory::Unlink(MappingName(gBoundPid));
  platform::TSharedView view;
  if (view.Map(mapping, nxMappingSize, true)) std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(view.Data())).store(0);
}

void Bind() {
  tlsBinding = true;
  nxMoveFillStartup();
  gFill = nxFillChar;
  try {
    LoadManagerModule();
    BindToMapping();
  } catch (...) {
    nxMoveFillShutdown();
    tlsBinding = false;
    throw;
  }
  tlsBinding = false;
  gBoundPid = platform::CurrentProcessId();
  nxCleanupHook = [] { nxMemoryManagerCleanupNow(); };
  gTable.store(&gCopy, std::memory_order_release);
}

void Unbind() {
  gTable.store(nullptr, std::memory_order_release);
  nxCleanupHook = nxCleanupHookDefault;
  if (gBoundPid != platform::CurrentProcessId()) {
    // A forked child: the manager's thread and the mapping are the parent's.
    gMappingHandle = platform::INVALID_HANDLE_VALUE;
    return;
  }
  WithdrawMapping();
  if (gCopy.mmfRelease) gCopy.mmfRelease();
  nxMoveFillShutdown();
}

// The end of the process (or of this module, when it is unloaded).
void ReleaseFirstUseBinding() {
  std::lock_guard lock(gBindLock);
  gAtExitPending = false;
  if (!gLazyReference) return;
  gLazyReference = false;
  if (--gBindCount == 0) Unbind();
}

const TnxMemoryManagerFunctions& BindByFirstUse() {
  // Binding itself never allocates through here; if it did, it would wait
  // for itself.
  if (tlsBinding) throw EInvalidPointer();
  std::lock_guard lock(gBindLock);
  if (const auto* t = gTable.load(std::memory_order_acquire)) return *t;
  ++gBindCount;
  try {
    Bind();
  } catch (...) {
    --gBindCount;
    throw;
  }
  gLazyReference = true;
  // Again when a late free of the ending process bound once more: its
  // thread is joined too.
  if (!gAtExitPending) {
    gAtExitPending = true;
    std::atexit(&ReleaseFirstUseBinding);
  }
  return gCopy;
}

int BlockSizeIndex(TnxBlockPool pool) noexcept {
  for (int i = 0; i < 6; ++i)
    if (nxBlockPoolsCommitted[i] == pool) return i;
  return -1;
}

}  // namespace

// ---- binding ----

void nxMemoryManagerBind() {
  std::lock_guard lock(gBindLock);
  if (gBindCount > 0 || gTable.load() != nullptr) {
    ++gBindCount;
    return;
  }
  Bind();
  gBindCount = 1;
}

void nxMemoryManagerUnbind() {
  std::lock_guard lock(gBindLock);
  if (gBindCount == 0) return;
  if (--gBindCount == 0) Unbind();
}

bool nxMemoryManagerBound() noexcept { return gTable.load() != nullptr; }

bool nxMemoryManagerIsPublisher() noexcept {
  std::lock_guard lock(gBindLock);
  return gMappingHandle != platform::INVALID_HANDLE_VALUE;
}

const TnxMemoryManagerFunctions& nxMemoryManagerFunctions() { return Table(); }

std::u16string nxMemoryManagerMappingName(uint32_t aProcessId) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string name = u"__ZirezMM6__";
  for (int i = 0; i < 4; ++i) {
    const uint8_t b = uint8_t(aProcessId >> (8 * i));
    name += kHex[b >> 4];
    name += kHex[b & 15];
  }
  return name;
}

uint64_t nxProcessStartTime(uint32_t aProcessId) { return platform::ProcessStartTime(aProcessId); }

// ---- allocation ----

void* nxGetMem(std::size_t size) {
  if (size == 0) return nullptr;
  void* p = Table().mmfGetMem(size);
  if (!p) throw EOutOfMemory();
  return p;
}

void* nxAllocMem(std::size_t size) {
  void* p = nxGetMem(size);
  if (size <= INT32_MAX) {
    gFill(p, int32_t(size), 0);
  } else {
    std::memset(p, 0, size);  // beyond the fill routine's 32-bit count
  }
  return p;
}

void nxGetZeroMem(void*& p, std::size_t size) { p = nxAllocMem(size); }

void nxReallocMem(void*& p, std::size_t newSize) {
  if (!p && newSize == 0) return;
  if (!p) {
    p = nxGetMem(newSize);
    return;
  }
  const TnxMemoryManagerFunctions& t = Table();
  if (newSize == 0) {
    void* old = p;
    p = nullptr;
    if (t.mmfFreeMem(old) != 0) throw EInvalidPointer();
    return;
  }
  void* q = t.mmfReallocMem(p, newSize);
  if (!q) throw EOutOfMemory();
  p = q;
}

void nxFreeMem(void* p) {
  if (!p) return;
  if (Table().mmfFreeMem(p) != 0) throw EInvalidPointer();
}

void nxFreeMemAndNil(void*& p) { nxFreeMem(std::atomic_ref<void*>(p).exchange(nullptr)); }

// Straight to the table: object creation is the hottest allocation.
void* TnxObject::operator new(std::size_t size) {
  void* p = Table().mmfGetMem(size ? size : 1);
  if (__builtin_expect(p == nullptr, 0)) throw EOutOfMemory();
  return p;
}

void TnxObject::operator delete(void* p) noexcept {
  if (p) Table().mmfFreeMem(p);  // as the root object's release: the result is not looked at
}

TnxPoolHandle nxGetMemoryPool(uint32_t aItemSize) { return Table().mmfGetPool(aItemSize); }

void* TnxMemoryPool::Alloc(TnxPoolHandle aPool) {
  void* p = Table().mmfPoolAlloc(aPool);
  if (!p) throw EOutOfMemory();
  return p;
}

void TnxMemoryPool::Dispose(TnxPoolHandle aPool, void*& p) {
  void* old = std::atomic_ref<void*>(p).exchange(nullptr);
  if (old && Table().mmfPoolFree(aPool, old) != 0) throw EInvalidPointer();
}

void TnxMemoryPool::DisposeDirect(TnxPoolHandle aPool, void* p) {
  if (p && Table().mmfPoolFree(aPool, p) != 0) throw EInvalidPointer();
}

// ---- blocks ----

TnxBlockPool nxBlockPoolsCommitted[6] = {4096, 8192, 16384, 32768, 65536, 4194304};

void* nxBlockPoolCommittedAlloc(TnxBlockPool aPool) {
  const int i = BlockSizeIndex(aPool);
  if (i < 0) throw EOutOfMemory();
  const TnxMemoryManagerFunctions& t = Table();
  void* p = t.mmfCommittedBlockAlloc(t.mmfCommittedBlockPools[i]);
  if (!p) throw EOutOfMemory();
  return p;
}

void nxBlockPoolCommittedDispose(TnxBlockPool aPool, void*& aBlock) {
  void* old = std::atomic_ref<void*>(aBlock).exchange(nullptr);
  if (!old) return;
  const int i = BlockSizeIndex(aPool);
  const TnxMemoryManagerFunctions& t = Table();
  if (i < 0 || !t.mmfCommittedBlockFree(t.mmfCommittedBlockPools[i], old)) throw EInvalidPointer();
}

TnxMapableBlockHandle nxMapableBlockAlloc(TnxBlockSizeIndex aSize) {
  const TnxMapableBlockHandle h = Table().mmfMapableAlloc(aSize);
  if (!h) throw EOutOfMemory();
  return h;
}

void nxMapableBlockAllocArray(TnxBlockSizeIndex aSize, TnxMapableBlockHandle (&aHandles)[256]) {
  int taken = 0;
  try {
    for (; taken < 256; ++taken) aHandles[taken] = nxMapableBlockAlloc(aSize);
  } catch (...) {
    while (taken > 0) {
      try {
        nxMapableBlockFree(aHandles[--taken]);
      } catch (...) {
      }
      aHandles[taken] = 0;
    }
    throw;
  }
}

void nxMapableBlockFree(TnxMapableBlockHandle aHandle) {
  if (!Table().mmfMapableFree(aHandle)) throw EInvalidPointer();
}

void* nxMapableBlockMap(TnxMapableBlockHandle aHandle) {
  void* p = Table().mmfMapableMap(aHandle);
  if (!p) throw EOutOfMemory();
  return p;
}

void nxMapableBlockUnmap(TnxMapableBlockHandle aHandle, void* aPointer) {
  if (!Table().mmfMapableUnmap(aHandle, aPointer)) throw EInvalidPointer();
}

// The standard manager publishes no array routines.
void* nxMapableBlockMapArray(TnxMapableBlockHandle* aHandles) {
  const TnxMemoryManagerFunctions& t = Table();
  void* p = t.mmfMapableMapArray ? t.mmfMapableMapArray(aHandles) : nullptr;
  if (!p) throw EOutOfMemory();
  return p;
}

void nxMapableBlockUnmapArray(TnxMapableBlockHandle* aHandles, void* aPointer) {
  const TnxMemoryManagerFunctions& t = Table();
  if (!t.mmfMapableUnmapArray || !t.mmfMapableUnmapArray(aHandles, aPointer)) throw EInvalidPointer();
}

// ---- status ----

bool nxPhysicalMemorySupported() { return Table().mmfPhysicalSupported != 0; }
bool nxPhysicalMemoryActive() { return Table().mmfPhysicalActive != 0; }

std::u16string nxMemoryManagerName() {
  const char* name = Table().mmfName;
  return name ? platform::Utf8ToUtf16(name) : std::u16string();
}

void nxMemoryManagerCleanupNow() noexcept {
  const TnxMemoryManagerFunctions* t = gTable.load(std::memory_order_acquire);
  if (t && t->mmfCleanupNow) t->mmfCleanupNow();
}

bool nxMemoryManagerIsLowOnMemory() {
  const TnxMemoryManagerFunctions& t = Table();
  return t.mmfIsLowOnMemory ? t.mmfIsLowOnMemory() : false;
}

void nxMemoryManagerAddRef() {
  const TnxMemoryManagerFunctions& t = Table();
  if (t.mmfAddRef) t.mmfAddRef();
}

void nxMemoryManagerRelease() {
  const TnxMemoryManagerFunctions& t = Table();
  if (t.mmfRelease) t.mmfRelease();
}

const void* nxZeroBlock() { return Table().mmfZeroBlock; }
TnxListEntry* const* nxCommittedReserveInUse() { return Table().mmfCommittedReserveInUse; }
TnxListEntry* const* nxPhysicalReserveInUse() { return Table().mmfPhysicalReserveInUse; }

// ---- client version ----

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
