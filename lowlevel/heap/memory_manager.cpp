#include "lowlevel/heap/memory_manager.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "lowlevel/heap/memory_manager_impl.h"
#include "lowlevel/heap/move_fill.h"
#include "lowlevel/heap/types.h"
#include "platform/endian.h"
#include "platform/module.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {

using platform::EInvalidPointer;
using platform::EOutOfMemory;

namespace {

// Longest wait for another module of the process that holds the mapping
// while it publishes or withdraws (a few microseconds normally).
constexpr int kMappingLockTimeoutMs = 10000;

// This module's copy of the manager's table; nil while unbound.
TnxMemoryManagerFunctions gCopy{};
std::atomic<const TnxMemoryManagerFunctions*> gTable{nullptr};

std::mutex gBindLock;
int gBindCount = 0;
bool gLazyReference = false;  // the binding made by first use
bool gAtExitPending = false;  // the end-of-process release is registered and has not run
int gMappingFd = -1;  // held while this module is the publisher
uint32_t gBoundPid = 0;
thread_local bool tBinding = false;
TnxFillCharProc gFill = nxFillChar;  // the fill routine chosen at binding

const TnxMemoryManagerFunctions& BindByFirstUse();

inline const TnxMemoryManagerFunctions& Table() {
  const TnxMemoryManagerFunctions* t = gTable.load(std::memory_order_acquire);
  if (__builtin_expect(t == nullptr, 0)) return BindByFirstUse();
  return *t;
}

std::string PosixName(uint32_t pid) {
  std::string name(1, '/');
  name += platform::Utf16ToUtf8(nxMemoryManagerMappingName(pid));
  return name;
}

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
  if (access(path.c_str(), F_OK) != 0) return;
  platform::LoadModule(path);
}

// Exclusive lock on the mapping, shared with every other module of the
// process (each has its own open file description) and with a process that
// reuses a dead one's name. Never waits without limit.
bool LockMapping(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMappingLockTimeoutMs);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

struct TMappingView {
  uint8_t* p = nullptr;
  explicit TMappingView(int fd) {
    void* v = mmap(nullptr, nxMappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (v == MAP_FAILED) throw EInvalidPointer();
    p = static_cast<uint8_t*>(v);
  }
  ~TMappingView() {
    if (p) munmap(p, nxMappingSize);
  }
  std::atomic_ref<uint32_t> Ready() { return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(p)); }
};

// Adopts the published manager or publishes this module's. Runs under
// gBindLock.
void BindToMapping() {
  const uint32_t pid = uint32_t(getpid());
  const uint64_t start = nxProcessStartTime(pid);
  const std::string name = PosixName(pid);
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
      // No descriptor left, no shared memory, or the name held by another
      // user's dead process: the module keeps a manager of its own rather
      // than leaving the process without a heap.
      TnxMemoryManagerFunctions* table = mm::nxMemoryManagerTable();
      if (!table) throw EOutOfMemory();
      gCopy = *table;
      return;
    }
    if (!LockMapping(fd)) {
      close(fd);
      throw EInvalidPointer();
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
      close(fd);
      throw EInvalidPointer();
    }
    if (st.st_nlink == 0) {  // withdrawn while we waited: look again
      close(fd);
      continue;
    }
    if (std::size_t(st.st_size) >= nxMappingSize) {
      TMappingView view(fd);
      const TnxMemoryManagerFunctions* table = nullptr;
      if (view.Ready().load(std::memory_order_acquire) == 1 &&
          platform::LoadU32(view.p + nxMappingPidOffset) == pid &&
          platform::LoadU64(view.p + nxMappingStartTimeOffset) == start)
        table = reinterpret_cast<const TnxMemoryManagerFunctions*>(platform::LoadU64(view.p + nxMappingTableOffset));
      if (table) {
        // The reference is taken under the lock, so the publisher cannot
        // end the manager between our read and it.
        table->mmfAddRef();
        gCopy = *table;
        close(fd);  // unlocks; an adopter keeps no handle
        return;
      }
    }
    // Absent, half-written by a publisher that died, or left by a dead
    // process whose id we reuse: ours to fill.
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, nxMappingSize) != 0) {
      close(fd);
      throw EInvalidPointer();
    }
    TnxMemoryManagerFunctions* table = mm::nxMemoryManagerTable();
    if (!table) {
      close(fd);
      throw EOutOfMemory();
    }
    {
      TMappingView view(fd);
      platform::StoreU64(view.p + nxMappingTableOffset, reinterpret_cast<uintptr_t>(table));
      platform::StoreU32(view.p + nxMappingPidOffset, pid);
      platform::StoreU64(view.p + nxMappingStartTimeOffset, start);
      view.Ready().store(1, std::memory_order_release);
    }
    gCopy = *table;
    flock(fd, LOCK_UN);
    gMappingFd = fd;
    return;
  }
  throw EInvalidPointer();
}

// The publisher takes its name away (POSIX names outlive their holders).
void WithdrawMapping() {
  const int fd = gMappingFd;
  gMappingFd = -1;
  if (fd < 0) return;
  if (LockMapping(fd)) {
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_nlink > 0) shm_unlink(PosixName(gBoundPid).c_str());
    void* v = mmap(nullptr, nxMappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (v != MAP_FAILED) {
      std::atomic_ref<uint32_t>(*static_cast<uint32_t*>(v)).store(0);
      munmap(v, nxMappingSize);
    }
  }
  close(fd);
}

void Bind() {
  tBinding = true;
  nxMoveFillStartup();
  gFill = nxFillChar;
  try {
    LoadManagerModule();
    BindToMapping();
  } catch (...) {
    nxMoveFillShutdown();
    tBinding = false;
    throw;
  }
  tBinding = false;
  gBoundPid = uint32_t(getpid());
  nxCleanupHook = [] { nxMemoryManagerCleanupNow(); };
  gTable.store(&gCopy, std::memory_order_release);
}

void Unbind() {
  gTable.store(nullptr, std::memory_order_release);
  nxCleanupHook = nxCleanupHookDefault;
  if (gBoundPid != uint32_t(getpid())) {
    // A forked child: the manager's thread and the mapping are the parent's.
    gMappingFd = -1;
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
  if (tBinding) throw EInvalidPointer();
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
  return gMappingFd >= 0;
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

uint64_t nxProcessStartTime(uint32_t aProcessId) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%u/stat", aProcessId);
  FILE* f = std::fopen(path, "re");
  if (!f) return 0;
  char buf[1024];
  const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = 0;
  // Fields after the command name, which may hold spaces and parentheses.
  const char* p = std::strrchr(buf, ')');
  if (!p) return 0;
  ++p;
  for (int field = 3; field <= 22 && *p; ++field) {
    while (*p == ' ') ++p;
    if (field == 22) return std::strtoull(p, nullptr, 10);
    while (*p && *p != ' ') ++p;
  }
  return 0;
}

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
