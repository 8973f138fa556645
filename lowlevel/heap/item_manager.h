// The item manager: the allocator behind the standard memory manager's
// get, free and reallocate routines.
//
// Requests up to 32735 bytes come from 62 fixed-size pools, each a slab
// allocator over 64 KiB blocks of the committed 64 KiB block manager with
// lock-free item lists; larger requests get large blocks of their own,
// 64 KiB-aligned mappings found again through a radix trie on the address.
// A large block that is reallocated becomes growable: its address space is
// reserved at the section size up front and committed as it grows, so it
// grows in place without copying.
//
// Errors: allocation returns nullptr when no memory can be had. Freeing or
// reallocating a pool pointer that is not a live item (foreign pointer,
// pointer into an item, double free) raises EInvalidPointer; freeing an
// unknown large block returns non-zero. A large block is owned by its
// caller: freeing or reallocating it while another thread uses it is the
// caller's error. Everything else is thread-safe and lock-free, but for the
// rare steps that reach into other threads' item caches (maintenance, a
// thread's exit, confirming a suspected second free, reading
// nxStatAllocated), which take one lock.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "lowlevel/heap/heap_arena.h"

namespace revurov::mm {

constexpr int nxPoolCount = 62;
constexpr std::size_t nxLargestPoolRequest = 32735;  // larger: a large block

// Objects of the manager itself, carved by a bump pointer from the locked
// 64 KiB area in region 0 of the arena; their memory is never reused.
class TnxUnpagedObject {
public:
  static void* operator new(std::size_t size);
  static void operator delete(void*) noexcept {}
};

// Header of a 64 KiB pool block; the allocated-item bits follow it. Links
// and the owner are arena offsets, which keeps the header at 32 bytes.
struct TnxPoolBlockHeader {
  std::atomic<uint32_t> pbNext;
  std::atomic<uint32_t> pbOwner;
  TnxArenaListHead pbFreeItems;
  std::atomic<uint32_t> pbUsedCount;
  std::atomic<uint32_t> pbDetached;
  uint32_t pbZero[2];
};
static_assert(sizeof(TnxPoolBlockHeader) == 32);

class TnxMemoryPool : public TnxUnpagedObject {
public:
  explicit TnxMemoryPool(uint32_t aItemSize);

  void* Alloc();                  // nullptr when no block can be had
  void Dispose(void*& p);         // takes p out atomically; nil does nothing
  void DisposeDirect(void* p);    // raises EInvalidPointer for a non-item
  // As DisposeDirect for a p that nxPoolOfItem has found to be this pool's.
  void DisposeChecked(void* p);
  void ReleaseFreeBlocks();       // maintenance: give empty blocks back
  // Index of the item at p, or -1 when p is no item boundary of a block.
  // With the item size = odd * 2^shift and inverse * odd = 1 modulo 2^32,
  // rotr(n * inverse, shift) is n / item size when n is a multiple of it
  // and above every index otherwise (Granlund and Montgomery): one compare
  // checks boundary and bound, and an offset below the header wraps past
  // both.
  int64_t ItemIndex(const void* p) const {
    const uint32_t rel = uint32_t(reinterpret_cast<uintptr_t>(p) & 0xFFFF) - mpBlockHeaderSize;
    const uint32_t index = std::rotr(rel * mpItemInverse, int(mpItemShift));
    return index < mpItemsPerBlock ? int64_t(index) : -1;
  }

  // Up to max free items at once into out (arena offsets), all from one
  // block; 0 when no block can be had. They count as in use until given
  // back by ReturnBatch.
  uint32_t AllocBatch(uint32_t* out, uint32_t max);
  // Gives back items taken by AllocBatch (order may change).
  void ReturnBatch(uint32_t* items, uint32_t n);

  static void Prepare();
  // Empties every thread's item cache, then gives empty blocks back.
  static void Cleanup();
  static void Finalize();

  // What every free reads, apart from the lists that every batch changes:
  // sharing a cache line with them would make each free wait for it.
  uint32_t mpBlockHeaderSize = 0;
  uint32_t mpItemSize = 0;
  uint32_t mpItemsPerBlock = 0;
  int32_t mpCacheClass = -1;  // slot in the threads' item caches; -1: none
  uint32_t mpPoolIndex = 0;   // in nxPools
  uint32_t mpItemInverse = 0;  // of the item size's odd factor, modulo 2^32
  uint32_t mpItemShift = 0;    // the item size's factor of two
  uint8_t mpPadBefore[64] = {};

  std::atomic<uint32_t> mpPartialFreeBlockBool{0};
  TnxArenaListHead mpPartialFreeBlockHead1;
  TnxArenaListHead mpPartialFreeBlockHead2;
  TnxArenaListHead mpFreeBlockHead;
  std::atomic<uint32_t> mpNeedCleanup{0};
  // Pops of the block lists in progress: a pop may read the link of a block
  // another thread has just taken off, so empty blocks go back to the block
  // manager only once no pop is in progress.
  std::atomic<uint32_t> mpPopsInFlight{0};
  uint8_t mpPadAfter[64] = {};

private:
  TnxArenaListHead& CurrentPartial() {
    return mpPartialFreeBlockBool.load(std::memory_order_acquire) ? mpPartialFreeBlockHead2 : mpPartialFreeBlockHead1;
  }
  uint32_t NewBlock();
  void FreeBlock(uint32_t block);
  void Detach(uint32_t block);
  void Attach(uint32_t block);
  uint32_t PopBlock(TnxArenaListHead& list);
  uint32_t TakeBlock();
  uint32_t SweepPartial(TnxArenaListHead& list, uint32_t empties);
  void FreeEmptyBlocks(uint32_t empties);
};

extern TnxMemoryPool* nxPools[nxPoolCount];
extern TnxMemoryPool* nxPoolsBySize32[1023];  // entry i: the pool of 32 * (i + 1)
extern TnxMemoryPool* nxPoolsBySize4[17];     // entry i: the pool of 4 * (i + 1)
uint32_t nxPoolItemSize(int index);           // the 62 item sizes, ascending
TnxMemoryPool* nxPoolForSize(std::size_t size);  // nullptr above 32736
// The pool whose live item p is; raises EInvalidPointer otherwise.
TnxMemoryPool* nxPoolOfItem(const void* p);

// Ends every large block, fields of native width.
struct TnxLargeBlockTrailer {
  std::size_t ltSize;
  std::size_t ltMapping;  // bytes reserved for a growable block, 0 for a plain one
  void* ltBase;
  uint32_t ltUnits;       // 64 KiB units in use (the view)
  uint32_t ltMaxUnits;    // units reserved
  uint32_t ltPagesInUse;
  uint32_t ltPagesCommitted;
  uint32_t ltGrowCount;
  uint32_t ltReserved;
};
constexpr std::size_t nxLargeBlockTrailerSize = sizeof(TnxLargeBlockTrailer);

void* nxLargeBlockAlloc(std::size_t size, uint32_t growCount);
// The trailer recorded for the 64 KiB unit of p, nullptr when none.
TnxLargeBlockTrailer* nxLargeBlockLookup(const void* p);
extern uint32_t nxTrieLevels;

// Items of 8 to 1024 bytes pass through a small cache per thread and size:
// a free puts the item there, an allocation takes it from there, and whole
// batches move between the cache and the pools. Cached items count as free
// in nxStatAllocated and keep their blocks; Cleanup and the thread's exit
// give them back. A second free of an item is refused at the free; two
// threads freeing one item at the same moment are not told apart.
void* nxItemGetMem(std::size_t size);  // nullptr: no memory (or size 0)
int nxItemFreeMem(void* p);             // 0 on success
// New pointer, or nullptr when no memory could be had (p then stays valid).
void* nxItemReallocMem(void* p, std::size_t newSize);
// As nxItemGetMem and nxItemFreeMem for the manager's function table, whose
// routines never raise: what the others raise comes back as nullptr or 1.
void* nxItemGetMemAnswering(std::size_t size) noexcept;
uint32_t nxItemFreeMemAnswering(void* p) noexcept;

// Statistics, changed atomically (striped across threads, summed on read;
// nxStatAllocated subtracts the items waiting in the caches when read).
int64_t nxStatReserved();
int64_t nxStatCommitted();
int64_t nxStatAllocated();
int64_t nxStatOverhead();
// Items waiting in the calling thread's cache (for tests).
uint32_t nxThreadCachedItems();

// Not 0: freed pool items are zeroed; above 0: freed large blocks too.
extern std::atomic<int32_t> nxClearOnFree;

// Reference-counted; starts the block managers. False when the arena cannot
// be had.
bool nxItemManagerStartup();
void nxItemManagerShutdown();

}  // namespace revurov::mm
