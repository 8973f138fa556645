#include "lowlevel/heap/memory_manager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "lowlevel/heap/memory_manager_impl.h"
#include "platform/rtl_exception.h"

#include <cstring>
#include <thread>

namespace revurov {
namespace {

TEST(Allocation, ZeroSizesGiveNil) {
  EXPECT_EQ(nxGetMem(0), nullptr);
  void* p = reinterpret_cast<void*>(1);
  nxGetZeroMem(p, 0);
  EXPECT_EQ(p, nullptr);
  nxReallocMem(p, 0);
  EXPECT_EQ(p, nullptr);
}

TEST(Allocation, ReallocKeepsContentsAndZeroSizeFrees) {
  void* p = nullptr;
  nxReallocMem(p, 8);
  std::memcpy(p, "abcdefg", 8);
  nxReallocMem(p, 4096);
  EXPECT_STREQ(static_cast<char*>(p), "abcdefg");
  nxReallocMem(p, 0);
  EXPECT_EQ(p, nullptr);
}

TEST(Allocation, FreeMemAndNilClearsTheVariable) {
  void* p = nxAllocMem(16);
  EXPECT_EQ(static_cast<unsigned char*>(p)[15], 0);
  nxFreeMemAndNil(p);
  EXPECT_EQ(p, nullptr);
  nxFreeMemAndNil(p);  // nil is ignored
}

TEST(ThreadMinVersion, DefaultsAndCap) {
  std::thread([] {
    EXPECT_EQ(nxGetThreadMinVersion(), 47501u);
    nxSetThreadMinVersion(50000);
    EXPECT_EQ(nxGetThreadMinVersion(), 50000u);
    EXPECT_EQ(nxGetThreadMinVersionCapped(), 47501u);
    nxSetThreadMinVersion(41100);
    EXPECT_EQ(nxGetThreadMinVersionCapped(), 41100u);
    nxSetThreadMinVersion(0);
    EXPECT_EQ(nxGetThreadMinVersion(), 47501u);
  }).join();
}

}  // namespace
}  // namespace revurov

// ---- the bound manager ----

namespace revurov {
namespace {

using platform::EInvalidPointer;
using platform::EOutOfMemory;

TEST(MemoryManager, StandardTableWithoutHookModule) {
  const TnxMemoryManagerFunctions& t = nxMemoryManagerFunctions();
  ASSERT_TRUE(nxMemoryManagerBound());
  EXPECT_FALSE(mm::nxHookModuleActive());
  EXPECT_EQ(nxMemoryManagerName(), u"Standard Server (non AWE)");
  void* p = nxGetMem(24);
  EXPECT_EQ(t.mmfGetAllocSize(p), 0u);
  nxFreeMem(p);
  const struct {
    uint32_t size;
    TnxPoolHandle handle;
  } pools[] = {{0, 0}, {1, 8}, {8, 8}, {9, 16}, {100, 104}, {32736, 32736}};
  for (const auto& row : pools) EXPECT_EQ(nxGetMemoryPool(row.size), row.handle) << row.size;
  EXPECT_FALSE(nxPhysicalMemorySupported());
  EXPECT_FALSE(nxPhysicalMemoryActive());
  EXPECT_EQ(t.mmfMapableMapArray, nullptr);
  EXPECT_EQ(t.mmfMapableUnmapArray, nullptr);
  EXPECT_EQ(t.mmfIsLowOnMemory, nullptr);
  EXPECT_FALSE(nxMemoryManagerIsLowOnMemory());
  EXPECT_NE(t.mmfClearOnFree, nullptr);
  for (uintptr_t r : t.mmfReserved) EXPECT_EQ(r, 0u);
  ASSERT_NE(nxCommittedReserveInUse(), nullptr);
  EXPECT_EQ(__atomic_load_n(nxCommittedReserveInUse(), __ATOMIC_ACQUIRE), nullptr);
  const auto* zero = static_cast<const uint8_t*>(nxZeroBlock());
  ASSERT_NE(zero, nullptr);
  for (int i = 0; i < 65536; i += 4093) EXPECT_EQ(zero[i], 0);
}

TEST(MemoryManager, MappingNameFromTheProcessIdBytes) {
  EXPECT_EQ(nxMemoryManagerMappingName(0x00001A2B), u"__ZirezMM6__2B1A0000");
  EXPECT_EQ(nxMemoryManagerMappingName(0xFEDCBA98), u"__ZirezMM6__98BADCFE");
  EXPECT_NE(nxProcessStartTime(uint32_t(getpid())), 0u);
  EXPECT_EQ(nxProcessStartTime(0x7FFFFFF0), 0u);  // no such process
}

TEST(MemoryManager, HookModuleFileNameCutsTheExtensionOfTheFileNameOnly) {
  const struct {
    const char* program;
    const char* hook;
  } rows[] = {
      {"/opt/tesmira/tesmira.exe", "/opt/tesmira/tesmira_ZirezMM5Hook.so"},
      {"/opt/tesmira/tesmira", "/opt/tesmira/tesmira_ZirezMM5Hook.so"},
      {"/opt/v1.2/tesmira", "/opt/v1.2/tesmira_ZirezMM5Hook.so"},  // the dot is a folder's
      {"/opt/a.b/prog.x.y", "/opt/a.b/prog.x_ZirezMM5Hook.so"},
      {"/opt/.hidden", "/opt/.hidden_ZirezMM5Hook.so"},
      {"", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(mm::nxHookModuleFileName(row.program), row.hook) << row.program;
  EXPECT_EQ(mm::nxHookModuleFileName("/" + std::string(5000, 'a')), "");
}

TEST(MemoryManager, FreeingWhatIsNoLiveBlockRaisesInvalidPointer) {
#ifdef REVUROV_SYSTEM_HEAP
  GTEST_SKIP() << "the system allocator does not check; the sanitizer does";
#else
  void* p = nxGetMem(40);
  nxFreeMem(p);
  EXPECT_THROW(nxFreeMem(p), EInvalidPointer);
  int local = 0;
  EXPECT_THROW(nxFreeMem(&local), EInvalidPointer);
  void* q = nxGetMem(100);
  void* inside = static_cast<char*>(q) + 8;
  EXPECT_THROW(nxFreeMem(inside), EInvalidPointer);
  EXPECT_THROW(nxReallocMem(inside, 0), EInvalidPointer);
  EXPECT_EQ(inside, nullptr);  // set to nil before the free is tried
  nxFreeMem(q);
  // A block of the 4 KB pool handed back to the 8 KB pool.
  void* block = nxBlockPoolCommittedAlloc(nxBlockPoolsCommitted[0]);
  void* var = block;
  EXPECT_THROW(nxBlockPoolCommittedDispose(nxBlockPoolsCommitted[1], var), EInvalidPointer);
  EXPECT_EQ(var, nullptr);
  nxBlockPoolCommittedDispose(nxBlockPoolsCommitted[0], block);
  EXPECT_EQ(block, nullptr);
  EXPECT_THROW(nxMapableBlockFree(0x1001), EInvalidPointer);
#endif
}

TEST(MemoryManager, PoolsBlocksAndMapableBlocks) {
  const TnxPoolHandle pool = nxGetMemoryPool(24);
  void* item = TnxMemoryPool::Alloc(pool);
  std::memset(item, 7, 24);
  TnxMemoryPool::Dispose(pool, item);
  EXPECT_EQ(item, nullptr);
  TnxMemoryPool::Dispose(pool, item);  // nil: nothing
  TnxMemoryPool::DisposeDirect(pool, nullptr);
  EXPECT_THROW(nxBlockPoolCommittedAlloc(12345), EOutOfMemory);  // no such pool

  for (int size = 0; size < 6; ++size) {
    void* b = nxBlockPoolCommittedAlloc(nxBlockPoolsCommitted[size]);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % nxBlockPoolsCommitted[size], 0u);
    static_cast<char*>(b)[nxBlockPoolsCommitted[size] - 1] = 1;
    nxBlockPoolCommittedDispose(nxBlockPoolsCommitted[size], b);
  }

  TnxMapableBlockHandle handles[256];
  nxMapableBlockAllocArray(0, handles);
  for (TnxMapableBlockHandle h : handles) {
    void* p = nxMapableBlockMap(h);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4096, 0u);
    static_cast<char*>(p)[4095] = 1;
    EXPECT_THROW(nxMapableBlockUnmap(h, static_cast<char*>(p) + 1), EInvalidPointer);
    nxMapableBlockUnmap(h, p);
    nxMapableBlockFree(h);
  }
  EXPECT_THROW(nxMapableBlockAlloc(6), EOutOfMemory);
  EXPECT_THROW(nxMapableBlockMapArray(handles), EOutOfMemory);
  EXPECT_THROW(nxMapableBlockUnmapArray(handles, nullptr), EInvalidPointer);
}

TEST(MemoryManager, HeapStatusCountsPoolBlocksAndCleanupGivesThemBack) {
#ifdef REVUROV_SYSTEM_HEAP
  GTEST_SKIP() << "the system allocator keeps no statistics";
#else
  nxMemoryManagerCleanupNow();
  TnxHeapStatus before;
  nxMemoryManagerFunctions().mmfGetHeapStatus(before);
  // Two items fill one block of the 32736-byte pool (header 48 bytes).
  void* a = nxGetMem(32000);
  void* b = nxGetMem(32000);
  TnxHeapStatus s;
  nxMemoryManagerFunctions().mmfGetHeapStatus(s);
  EXPECT_EQ(s.hsTotalAddrSpace - before.hsTotalAddrSpace, 65536u);
  EXPECT_EQ(s.hsTotalCommitted - before.hsTotalCommitted, 65536u);
  EXPECT_EQ(s.hsTotalAllocated - before.hsTotalAllocated, 2u * 32736u);
  EXPECT_EQ(s.hsOverhead - before.hsOverhead, 48u);
  EXPECT_EQ(s.hsTotalUncommitted, s.hsTotalAddrSpace - s.hsTotalCommitted);
  EXPECT_EQ(s.hsTotalFree + s.hsFreeSmall + s.hsFreeBig + s.hsUnused + s.hsHeapErrorCode, 0u);
  nxFreeMem(a);
  nxFreeMem(b);
  // The maintenance thread gives the empty block back when asked.
  nxMemoryManagerCleanupNow();
  nxMemoryManagerFunctions().mmfGetHeapStatus(s);
  EXPECT_EQ(s.hsTotalAddrSpace, before.hsTotalAddrSpace);
  EXPECT_TRUE(mm::nxMaintenanceThreadRunning());
#endif
}

TEST(MemoryManager, ReferencesOnTheManagerKeepItRunning) {
  const TnxMemoryManagerFunctions& t = nxMemoryManagerFunctions();
  const int before = mm::nxImplRefCount();
  ASSERT_GE(before, 1);
  nxMemoryManagerAddRef();
  EXPECT_EQ(mm::nxImplRefCount(), before + 1);
  nxMemoryManagerRelease();
  EXPECT_EQ(mm::nxImplRefCount(), before);
  EXPECT_TRUE(mm::nxMaintenanceThreadRunning());
  void* p = t.mmfGetMem(10);
  EXPECT_EQ(t.mmfFreeMem(p), 0u);
}

}  // namespace
}  // namespace revurov
