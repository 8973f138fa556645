#include "lowlevel/heap/item_manager.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "lowlevel/heap/block_manager.h"
#include "lowlevel/heap/region_manager.h"
#include "platform/process.h"
#include "platform/process_barrier.h"
#include "platform/rtl_exception.h"
#include "platform/virtual_memory.h"

namespace revurov::mm {

using platform::EInvalidPointer;
using platform::EOutOfMemory;

TnxMemoryPool* nxPools[nxPoolCount] = {};
TnxMemoryPool* nxPoolsBySize32[1023] = {};
TnxMemoryPool* nxPoolsBySize4[17] = {};
uint32_t nxTrieLevels = 0;
std::atomic<int32_t> nxClearOnFree{0};

namespace {

constexpr uint32_t kBlockSize = 65536;
constexpr uint32_t kBlockMask = kBlockSize - 1;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kUnit = 65536;

int gStartCount = 0;
std::atomic<uint32_t> unpagedUsed{0};

// One counter per stripe, each on its own cache line: eight threads bumping
// one shared word would serialise every allocation on it. A thread owns a
// stripe from its first update until it ends and updates it without a
// locked instruction (only the owner writes it; readers sum relaxed loads);
// an ended thread's stripe, with its total, goes to the next new thread, so
// threads that come and go do not use the stripes up. Threads beyond the
// owned stripes, and a thread's last updates after its stripe went back,
// share the last stripe through fetch_add.
struct alignas(64) Stripe {
  std::atomic<int64_t> v{0};
};
struct StripedCounter {
  static constexpr uint32_t kStripes = 64;
  Stripe s[kStripes];
  void add(int64_t n);
  int64_t value() const {
    int64_t t = 0;
    for (const auto& x : s) t += x.v.load(std::memory_order_relaxed);
    return t;
  }
  void reset() {
    for (auto& x : s) x.v.store(0);
  }
};
constexpr uint64_t kOwnableStripes = (uint64_t(1) << (StripedCounter::kStripes - 1)) - 1;
std::atomic<uint64_t> stripesOwned{0};  // bit i: stripe i has a live owner
thread_local uint32_t tlsStripe = 0;  // 1 + stripe; constant-initialised, so no guard on the hot path

struct StripeReturner {
  ~StripeReturner() {
    const uint32_t stripe = tlsStripe;
    tlsStripe = StripedCounter::kStripes;
    // Release: the next owner continues from this thread's last total.
    if (stripe && stripe < StripedCounter::kStripes)
      stripesOwned.fetch_and(~(uint64_t(1) << (stripe - 1)), std::memory_order_release);
  }
};
thread_local StripeReturner tlsStripeReturner;

[[gnu::noinline]] uint32_t claimStripe() {
  uint64_t owned = stripesOwned.load(std::memory_order_relaxed);
  for (;;) {
    const uint64_t free = ~owned & kOwnableStripes;
    if (!free) return tlsStripe = StripedCounter::kStripes;
    const uint64_t bit = free & -free;
    if (stripesOwned.compare_exchange_weak(owned, owned | bit, std::memory_order_acquire, std::memory_order_relaxed)) {
      (void)&tlsStripeReturner;  // its destructor gives the stripe back at thread exit
      return tlsStripe = 1 + uint32_t(__builtin_ctzll(bit));
    }
  }
}

void StripedCounter::add(int64_t n) {
  uint32_t stripe = tlsStripe;
  if (stripe == 0) [[unlikely]]
    stripe = claimStripe();
  std::atomic<int64_t>& v = s[stripe - 1].v;
  if (stripe < kStripes) {
    v.store(v.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  } else {
    v.fetch_add(n, std::memory_order_relaxed);
  }
}

StripedCounter gStatReserved, gStatCommitted, gStatAllocated, gStatOverhead;

// ---- the per-thread item caches ----
//
// A cached item is free for its caller but still in use for its pool (its
// allocated bit stays set, its block's count includes it); its first word
// holds a cookie of its offset, which lets a second free of it be caught:
// a matching cookie is confirmed by looking through every cache. The pools
// count cached items as taken; nxStatAllocated subtracts what the caches
// hold when it is read, so the common steps count nothing.
//
// The owner works on its cache without a locked instruction: it marks
// itself active and then looks for a steal request. Another thread (Cleanup,
// thread exit, the double-free check) posts requests, forces a memory
// barrier on every thread of the process (membarrier), and then waits for
// each owner to be inactive; an owner that sees a request steps aside until
// it is withdrawn. Either the owner's mark or the request is seen, never
// neither. Without membarrier the owner pays for a full fence instead. An
// owner never calls out of the heap while active.

constexpr int kCachedPools = 35;  // the pools of 8 to 1024 bytes
// Room for a few dozen objects of a size that are made and dropped together
// keeps them off the pools, whose blocks every thread shares.
constexpr uint32_t kCacheSlots = 64;
constexpr uint32_t kCacheBatch = 32;

uint32_t poolSizes[nxPoolCount];

// The items of one size waiting in a cache.
struct ClassCache {
  std::atomic<uint32_t>& count;
  std::atomic<uint32_t>* items;  // kCacheSlots
};

struct alignas(64) ThreadCache {
  std::atomic<uint32_t> active{0};
  std::atomic<uint32_t> stealRequest{0};
  // Beside the flags, so that an allocation or free touches this line and
  // the line of its slot only.
  std::atomic<uint32_t> counts[kCachedPools] = {};
  ThreadCache* next = nullptr;  // the registry's links, under gCacheRegistryLock
  ThreadCache* prev = nullptr;
  alignas(64) std::atomic<uint32_t> slots[kCachedPools][kCacheSlots] = {};

  ThreadCache() = default;
  // A cache that a standing steal request keeps closed.
  constexpr explicit ThreadCache(bool aClosed) : stealRequest(aClosed ? 1 : 0) {}
  ClassCache classes(uint32_t k) { return {counts[k], slots[k]}; }
};

std::mutex gCacheRegistryLock;
ThreadCache* gCacheRegistry = nullptr;  // guarded by gCacheRegistryLock
uint32_t cacheSecret = 0x5BD1E995;
std::atomic<bool> gProcessBarrierReady{false};

thread_local ThreadCache tlsCacheStorage;
// A thread without a cache of its own points here: the standing request
// turns its common steps away to the slow ones, so they need not look for
// nil. Never registered, never entered.
constinit ThreadCache gNoCache{true};
thread_local ThreadCache* tlsCache = &gNoCache;
thread_local bool tlsCacheGone = false;

void prepareProcessBarrier() {
  if (gProcessBarrierReady.load()) return;
  if (platform::PrepareProcessBarrier()) gProcessBarrierReady.store(true);
}

inline bool tryEnterCache(ThreadCache* c) {
  if (gProcessBarrierReady.load(std::memory_order_relaxed)) [[likely]] {
    c->active.store(1, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
  } else {
    c->active.exchange(1);  // the full fence
  }
  if (!c->stealRequest.load(std::memory_order_acquire)) [[likely]]
    return true;
  c->active.store(0, std::memory_order_release);
  return false;
}

// Out of line, so that the common steps call nothing.
[[gnu::noinline, gnu::cold]] void enterCacheWaiting(ThreadCache* c) {
  do {
    while (c->stealRequest.load(std::memory_order_acquire)) std::this_thread::yield();
  } while (!tryEnterCache(c));
}

inline void enterCache(ThreadCache* c) {
  if (!tryEnterCache(c)) [[unlikely]]
    enterCacheWaiting(c);
}

inline void leaveCache(ThreadCache* c) { c->active.store(0, std::memory_order_release); }

// Under gCacheRegistryLock: stops every owner and calls visit on each cache.
template <typename Visit>
void stealFromAll(Visit visit) {
  if (!gCacheRegistry) return;
  for (ThreadCache* c = gCacheRegistry; c; c = c->next) c->stealRequest.exchange(1);
  if (gProcessBarrierReady.load()) platform::ProcessBarrier();
  ThreadCache* c = gCacheRegistry;
  // Every owner is let go again, also when visit stops early or throws.
  auto letGo = [&] {
    for (; c; c = c->next) c->stealRequest.store(0, std::memory_order_release);
  };
  try {
    for (; c; c = c->next) {
      while (c->active.load(std::memory_order_acquire)) std::this_thread::yield();
      const bool stop = visit(*c);
      c->stealRequest.store(0, std::memory_order_release);
      if (stop) {
        c = c->next;
        break;
      }
    }
  } catch (...) {
    letGo();
    throw;
  }
  letGo();
}

// Gives everything in c back to the pools; c's owner is stopped or is the
// caller.
void flushCache(ThreadCache& c) {
  uint32_t taken[kCacheSlots];
  for (int k = 0; k < kCachedPools; ++k) {
    ClassCache cc = c.classes(uint32_t(k));
    const uint32_t n = cc.count.load(std::memory_order_relaxed);
    if (!n) continue;
    for (uint32_t i = 0; i < n; ++i) taken[i] = cc.items[i].load(std::memory_order_relaxed);
    cc.count.store(0, std::memory_order_relaxed);
    nxPools[k + 1]->ReturnBatch(taken, n);
  }
}

// What c holds, in bytes: the pools count cached items as taken, the
// callers do not hold them.
int64_t cachedBytes(const ThreadCache& c) {
  int64_t bytes = 0;
  for (int k = 0; k < kCachedPools; ++k)
    bytes += int64_t(c.counts[k].load(std::memory_order_relaxed)) * poolSizes[k + 1];
  return bytes;
}

struct CacheRetirer {
  ~CacheRetirer() {
    ThreadCache* c = tlsCache;
    tlsCache = &gNoCache;
    tlsCacheGone = true;  // frees by later exit handlers go to the pools directly
    if (c == &gNoCache) return;
    std::lock_guard<std::mutex> guard(gCacheRegistryLock);
    flushCache(*c);
    if (c->prev) {
      c->prev->next = c->next;
    } else {
      gCacheRegistry = c->next;
    }
    if (c->next) c->next->prev = c->prev;
  }
};
thread_local CacheRetirer tlsCacheRetirer;

ThreadCache* openCache() {
  ThreadCache* c = &tlsCacheStorage;
  (void)&tlsCacheRetirer;  // its destructor flushes the cache at thread exit
  {
    std::lock_guard<std::mutex> guard(gCacheRegistryLock);
    c->prev = nullptr;
    c->next = gCacheRegistry;
    if (gCacheRegistry) gCacheRegistry->prev = c;
    gCacheRegistry = c;
  }
  tlsCache = c;
  return c;
}

inline ThreadCache* myCache() {
  if (ThreadCache* c = tlsCache; c != &gNoCache) [[likely]]
    return c;
  return tlsCacheGone ? nullptr : openCache();
}

// A child of fork has only the forking thread: the other threads' caches
// would wait forever for owners that do not exist there (one may even have
// been caught in the middle of a change). They are dropped, their items
// stay with their blocks; the forking thread's cache carries on.
void cachesBeforeFork() { gCacheRegistryLock.lock(); }
void cachesAfterForkInParent() { gCacheRegistryLock.unlock(); }
void cachesAfterForkInChild() {
  ThreadCache* mine = tlsCache == &gNoCache ? nullptr : tlsCache;
  for (ThreadCache* c = gCacheRegistry; c; c = c->next) {
    c->active.store(0, std::memory_order_relaxed);
    c->stealRequest.store(0, std::memory_order_relaxed);
    // The dropped threads' cached items are lost with them: not held by a
    // caller, they no longer count.
    if (c != mine) gStatAllocated.add(-cachedBytes(*c));
  }
  gCacheRegistry = mine;
  if (mine) mine->prev = mine->next = nullptr;
  // The other threads' stripes have no owner here any more.
  const uint32_t stripe = tlsStripe;
  stripesOwned.store(stripe && stripe < StripedCounter::kStripes ? uint64_t(1) << (stripe - 1) : 0);
  if (gProcessBarrierReady.load()) {
    gProcessBarrierReady.store(false);
    prepareProcessBarrier();
  }
  gCacheRegistryLock.unlock();
}

inline uint32_t cookieOf(uint32_t offset) { return (offset * 0x9E3779B1u) ^ cacheSecret; }

// A free item of a cached pool carries the cookie in its first word while
// it waits in a cache, and in its second (the first is the link) while it
// waits in its block. So a free finds a second free of an item in the item
// itself, which it writes anyway, instead of in the block's allocated bits,
// whose line every batch of the block changes.
inline uint32_t* itemWords(uint32_t item) { return static_cast<uint32_t*>(nxArenaAddress(item)); }
inline void markInBlock(uint32_t item) { itemWords(item)[1] = cookieOf(item); }
inline void clearMarks(void* p) { std::memset(p, 0, 8); }

// Freed into a cache, or taken into one by a batch and never handed out
// (then it still carries the mark of its block). REQUIRES: an item of a
// cached pool.
inline bool looksCached(const void* p) {
  uint32_t w[2];
  std::memcpy(w, p, sizeof w);
  const uint32_t cookie = cookieOf(nxArenaOffset(p));
  return (w[0] == cookie) | (w[1] == cookie);
}

// Whether the item at offset waits in any thread's cache of class k.
bool cachedAnywhere(int k, uint32_t offset) {
  std::lock_guard<std::mutex> guard(gCacheRegistryLock);
  bool found = false;
  stealFromAll([&](ThreadCache& c) {
    const ClassCache cc = c.classes(uint32_t(k));
    const uint32_t n = cc.count.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < n && !found; ++i) found = cc.items[i].load(std::memory_order_relaxed) == offset;
    return found;
  });
  return found;
}

void flushAllCaches() {
  std::lock_guard<std::mutex> guard(gCacheRegistryLock);
  stealFromAll([](ThreadCache& c) {
    flushCache(c);
    return false;
  });
}

constexpr uint16_t kNoCacheClass = 0xFFFF;

// What a free checks of a pool: the item check of TnxMemoryPool::ItemIndex
// and the cache slot, instead of the pool object behind a pointer. All
// zero, every check fails.
struct alignas(16) ItemClass {
  uint32_t inverse;
  uint16_t headerSize;
  uint16_t itemsPerBlock;
  uint16_t shift;
  uint16_t cacheClass;  // slot in the threads' item caches; kNoCacheClass: none
};
static_assert(sizeof(ItemClass) == 16);  // found by a shift

ItemClass itemClassOf(const TnxMemoryPool& pool) {
  return {pool.mpItemInverse, uint16_t(pool.mpBlockHeaderSize), uint16_t(pool.mpItemsPerBlock),
          uint16_t(pool.mpItemShift), pool.mpCacheClass < 0 ? kNoCacheClass : uint16_t(pool.mpCacheClass)};
}

ItemClass gItemClasses[nxPoolCount + 1];  // by 1 + pool index
// The same for each 64 KiB block of the arena, set while the block belongs
// to a pool: the free path finds it by the address alone.
ItemClass gBlockClasses[nxArenaSize >> 16];
// 1 + the pool index of a request of 4 * i - 3 to 4 * i bytes, up to 1024.
uint8_t gClassBySize4[257];
constexpr uint32_t kFirstCachedClass = 2;  // the 8-byte pool

// The pool of each 64 KiB block of the arena (its index + 1; 0: none), as
// pbOwner but away from the block header's busy cache line.
std::atomic<uint8_t> blockPools[nxArenaSize >> 16];
inline std::atomic<uint8_t>& blockPoolOf(uint32_t offset) { return blockPools[offset >> 16]; }

// Blocks still held when the pools end (or left by an earlier start) are no
// pool's any more. Only the records of such blocks are written, so the
// untouched rest of the table costs no memory.
void forgetPoolBlocks() {
  for (uint32_t i = 0; i < (nxArenaSize >> 16); ++i) {
    if (blockPools[i].load(std::memory_order_relaxed) == 0) continue;
    gBlockClasses[i] = ItemClass{};
    blockPools[i].store(0, std::memory_order_relaxed);
  }
}

void buildPoolSizes() {
  int i = 0;
  poolSizes[i++] = 4;
  poolSizes[i++] = 8;
  for (uint32_t s = 16; s <= 64; s += 16) poolSizes[i++] = s;
  for (uint32_t s = 96; s <= 1024; s += 32) poolSizes[i++] = s;
  for (uint32_t s = 1280; s <= 3840; s += 256) poolSizes[i++] = s;
  for (uint32_t n = 16; n >= 2; --n) poolSizes[i++] = ((65535 - 48) / n) & ~31u;
}

int poolIndexForSize(std::size_t size) {
  if (size == 0 || size > 32736) return -1;
  if (size <= 4) return 0;
  if (size <= 8) return 1;
  if (size <= 64) return 2 + int((size - 1) / 16);
  if (size <= 1024) return 6 + int((size - 65) / 32);
  if (size <= 3840) return 36 + int((size - 1025) / 256);
  for (int i = 47; i < nxPoolCount; ++i)
    if (poolSizes[i] >= size) return i;
  return -1;
}

inline TnxPoolBlockHeader* headerAt(uint32_t block) { return static_cast<TnxPoolBlockHeader*>(nxArenaAddress(block)); }
inline std::atomic_ref<uint32_t> allocatedWord(TnxPoolBlockHeader* h, uint32_t index) {
  return std::atomic_ref<uint32_t>(reinterpret_cast<uint32_t*>(h + 1)[index / 32]);
}

inline uint64_t unitsFor(std::size_t size) { return (size + nxLargeBlockTrailerSize + kUnit - 1) / kUnit; }
inline uint64_t pagesFor(std::size_t size) { return (size + nxLargeBlockTrailerSize + kPage - 1) / kPage; }

// ---- the large-block trie: keyed by address >> 16, one byte per level ----

struct TrieNode {
  std::atomic<void*> slots[256];
};
static_assert(sizeof(TrieNode) == 2048);
TrieNode gTrieRoot;

// Trie nodes are the manager's own overhead, not memory handed out.
void trieNodeCounted(int sign) {
  gStatAllocated.add(-sign * int64_t(sizeof(TrieNode)));
  gStatOverhead.add(sign * int64_t(sizeof(TrieNode)));
}

uint64_t trieKey(const void* p) { return reinterpret_cast<uintptr_t>(p) >> 16; }
bool trieKeyFits(uint64_t key) { return nxTrieLevels >= 8 || key < (uint64_t(1) << (8 * nxTrieLevels)); }

// The leaf cell of p, creating nodes on the way when create is set.
std::atomic<void*>* trieCell(const void* p, bool create) {
  const uint64_t key = trieKey(p);
  if (!trieKeyFits(key)) return nullptr;
  TrieNode* node = &gTrieRoot;
  for (int level = int(nxTrieLevels) - 1; level > 0; --level) {
    std::atomic<void*>& slot = node->slots[(key >> (8 * level)) & 0xFF];
    void* next = slot.load(std::memory_order_acquire);
    if (!next) {
      if (!create) return nullptr;
      void* fresh = nxPoolForSize(sizeof(TrieNode))->Alloc();
      if (!fresh) return nullptr;
      std::memset(fresh, 0, sizeof(TrieNode));
      if (slot.compare_exchange_strong(next, fresh, std::memory_order_acq_rel)) {
        next = fresh;
        trieNodeCounted(+1);
      } else {
        nxPoolForSize(sizeof(TrieNode))->DisposeDirect(fresh);
      }
    }
    node = static_cast<TrieNode*>(next);
  }
  return &node->slots[key & 0xFF];
}

void trieFree(TrieNode* node, int level) {
  for (auto& slot : node->slots) {
    void* child = slot.exchange(nullptr);
    if (child && level > 1) {
      trieFree(static_cast<TrieNode*>(child), level - 1);
      nxPoolForSize(sizeof(TrieNode))->DisposeDirect(child);
      trieNodeCounted(-1);
    }
  }
}

void probeTrieLevels() {
  // Mappings come from the top of the address space down: the first one
  // shows how many key bytes the highest address needs.
  uint64_t key = uint64_t(0x7FFFFFFFFFFF) >> 16;
  if (void* probe = platform::vmReserve(kUnit, kUnit)) {
    key = std::max<uint64_t>(trieKey(probe), 0xFFFFFF);
    platform::vmRelease(probe, kUnit);
  }
  nxTrieLevels = 0;
  while (key) {
    ++nxTrieLevels;
    key >>= 8;
  }
  if (nxTrieLevels < 4) nxTrieLevels = 4;
}

TnxLargeBlockTrailer* trailerAt(void* base, uint32_t pagesCommitted) {
  return reinterpret_cast<TnxLargeBlockTrailer*>(static_cast<uint8_t*>(base) + std::size_t(pagesCommitted) * kPage -
                                                 nxLargeBlockTrailerSize);
}

void addLargeStats(const TnxLargeBlockTrailer& t, int sign) {
  gStatReserved.add(sign * int64_t(t.ltUnits) * int64_t(kUnit));
  gStatCommitted.add(sign * int64_t(t.ltPagesCommitted) * int64_t(kPage));
  gStatAllocated.add(sign * int64_t(t.ltSize));
}

// Writes t at the end of its committed pages and points the trie there.
TnxLargeBlockTrailer* placeTrailer(const TnxLargeBlockTrailer& t) {
  TnxLargeBlockTrailer* at = trailerAt(t.ltBase, t.ltPagesCommitted);
  std::memmove(at, &t, sizeof t);
  trieCell(t.ltBase, false)->store(at, std::memory_order_release);
  return at;
}

// A block resized in place: the statistics move from the old view to the new
// one, whose trailer follows its committed end.
void replaceTrailer(const TnxLargeBlockTrailer& cur, const TnxLargeBlockTrailer& next) {
  addLargeStats(cur, -1);
  placeTrailer(next);
  addLargeStats(next, +1);
}

[[gnu::noinline]] int freeLarge(void* p) {
  std::atomic<void*>* cell = trieCell(p, false);
  auto* t = cell ? static_cast<TnxLargeBlockTrailer*>(cell->load(std::memory_order_acquire)) : nullptr;
  if (!t || t->ltBase != p) return 1;
  const TnxLargeBlockTrailer copy = *t;
  addLargeStats(copy, -1);
  if (nxClearOnFree.load(std::memory_order_relaxed) > 0) std::memset(p, 0, copy.ltSize);
  cell->store(nullptr, std::memory_order_release);
  const std::size_t bytes = copy.ltMapping ? copy.ltMapping : std::size_t(copy.ltUnits) * kUnit;
  return platform::vmRelease(p, bytes) ? 0 : 1;
}

}  // namespace

// ---- statistics ----

int64_t nxStatReserved() { return gStatReserved.value(); }
int64_t nxStatCommitted() { return gStatCommitted.value(); }
int64_t nxStatAllocated() {
  std::lock_guard<std::mutex> guard(gCacheRegistryLock);
  int64_t total = gStatAllocated.value();
  for (const ThreadCache* c = gCacheRegistry; c; c = c->next) total -= cachedBytes(*c);
  return total;
}
int64_t nxStatOverhead() { return gStatOverhead.value(); }

// ---- unpaged objects ----

void* TnxUnpagedObject::operator new(std::size_t size) {
  const uint32_t rounded = uint32_t((size + 15) & ~std::size_t(15));
  const uint32_t at = unpagedUsed.fetch_add(rounded);
  if (!nxArenaBase() || at + rounded > nxUnpagedAreaSize) throw EOutOfMemory();
  return nxArenaAddress(nxUnpagedAreaOffset + at);
}

// ---- pools ----

uint32_t nxPoolItemSize(int index) { return poolSizes[index]; }

TnxMemoryPool* nxPoolForSize(std::size_t size) {
  const int i = poolIndexForSize(size);
  return i < 0 ? nullptr : nxPools[i];
}

TnxMemoryPool::TnxMemoryPool(uint32_t aItemSize) {
  mpItemSize = aItemSize == 4 ? 4 : (aItemSize + 7) & ~7u;
  const uint32_t n0 = 65503 / mpItemSize;
  mpBlockHeaderSize = (32 + (n0 + 7) / 8 + 15) & ~15u;
  mpItemsPerBlock = (65535 - mpBlockHeaderSize) / mpItemSize;
  mpItemShift = uint32_t(std::countr_zero(mpItemSize));
  const uint32_t odd = mpItemSize >> mpItemShift;
  mpItemInverse = odd;  // right in 3 bits; each step doubles them
  for (int i = 0; i < 4; ++i) mpItemInverse *= 2 - odd * mpItemInverse;
}

uint32_t TnxMemoryPool::NewBlock() {
  void* memory = nxBlockAlloc(&nxCommittedBlockManagers[nxbs64k]);
  if (!memory) return 0;
  gStatReserved.add(kBlockSize);
  gStatCommitted.add(kBlockSize);
  gStatOverhead.add(mpBlockHeaderSize);
  auto* h = static_cast<TnxPoolBlockHeader*>(memory);
  const uint32_t block = nxArenaOffset(memory);
  // Header words by atomic stores: a freer of this memory's previous life
  // may still read them (it finds no work to do there).
  h->pbNext.store(0, std::memory_order_relaxed);
  h->pbUsedCount.store(0, std::memory_order_relaxed);
  h->pbDetached.store(0, std::memory_order_relaxed);
  h->pbZero[0] = h->pbZero[1] = 0;
  std::memset(reinterpret_cast<uint8_t*>(h) + sizeof *h, 0, mpBlockHeaderSize - sizeof *h);
  const uint32_t first = block + mpBlockHeaderSize;
  for (uint32_t i = 0; i < mpItemsPerBlock; ++i) {
    const uint32_t item = first + i * mpItemSize;
    nxArenaLink(item).store(i + 1 < mpItemsPerBlock ? item + mpItemSize : 0, std::memory_order_relaxed);
    if (mpCacheClass >= 0) markInBlock(item);
  }
  h->pbFreeItems.value.store(first, std::memory_order_relaxed);
  h->pbOwner.store(nxArenaOffset(this), std::memory_order_release);
  gBlockClasses[block >> 16] = gItemClasses[mpPoolIndex + 1];
  blockPoolOf(block).store(uint8_t(mpPoolIndex + 1), std::memory_order_release);
  return block;
}

void TnxMemoryPool::FreeBlock(uint32_t block) {
  TnxPoolBlockHeader* h = headerAt(block);
  blockPoolOf(block).store(0, std::memory_order_release);
  gBlockClasses[block >> 16] = ItemClass{};
  h->pbOwner.store(0, std::memory_order_release);
  gStatReserved.add(-int64_t(kBlockSize));
  gStatCommitted.add(-int64_t(kBlockSize));
  gStatOverhead.add(-int64_t(mpBlockHeaderSize));
  nxBlockFree(&nxCommittedBlockManagers[nxbs64k], h);
}

// Puts a block on the current partial list. A push may land on the list
// that a flip has just retired, after the maintenance drain: when the block
// is empty by then, asking for another drain makes sure it is not missed.
void TnxMemoryPool::Attach(uint32_t block) {
  nxArenaListPush(CurrentPartial(), block);
  if (headerAt(block)->pbUsedCount.load() == 0) mpNeedCleanup.store(1);
}

// The block ran out of items and is on no list; whoever frees an item into
// it next puts it back. When an item arrived meanwhile, put it back now.
void TnxMemoryPool::Detach(uint32_t block) {
  TnxPoolBlockHeader* h = headerAt(block);
  uint32_t expected = 0;
  if (!h->pbDetached.compare_exchange_strong(expected, 1)) throw EInvalidPointer();
  if (nxArenaListFirst(h->pbFreeItems) != 0) {
    expected = 1;
    if (h->pbDetached.compare_exchange_strong(expected, 0)) Attach(block);
  }
}

uint32_t TnxMemoryPool::PopBlock(TnxArenaListHead& list) {
  mpPopsInFlight.fetch_add(1);
  uint64_t old = list.value.load();
  uint32_t first;
  for (;;) {
    first = static_cast<uint32_t>(old);
    if (first == 0) break;
    const uint32_t link = nxArenaLink(first).load(std::memory_order_relaxed);
    const uint64_t next = link | (((old >> 32) + 1) << 32);
    if (list.value.compare_exchange_weak(old, next)) break;
  }
  mpPopsInFlight.fetch_sub(1);
  return first;
}

// A block to take items from, on no list now; 0 when none can be had.
uint32_t TnxMemoryPool::TakeBlock() {
  for (;;) {
    const uint32_t block = PopBlock(CurrentPartial());
    if (!block) break;
    if (headerAt(block)->pbUsedCount.load() != 0) return block;
    nxArenaListPush(mpFreeBlockHead, block);
  }
  const uint32_t block = PopBlock(mpFreeBlockHead);
  return block ? block : NewBlock();
}

void* TnxMemoryPool::Alloc() {
  for (;;) {
    const uint32_t block = TakeBlock();
    if (!block) return nullptr;
    TnxPoolBlockHeader* h = headerAt(block);
    const uint32_t item = nxArenaListPop(h->pbFreeItems);
    if (!item) {
      Detach(block);
      continue;
    }
    h->pbUsedCount.fetch_add(1);
    if (nxArenaListFirst(h->pbFreeItems) != 0) {
      Attach(block);
    } else {
      Detach(block);
    }
    void* p = nxArenaAddress(item);
    const int64_t index = ItemIndex(p);
    if (index < 0) throw EInvalidPointer();  // a corrupted free list
    const uint32_t mask = 1u << (index % 32);
    if (allocatedWord(h, uint32_t(index)).fetch_or(mask) & mask) throw EInvalidPointer();
    if (mpCacheClass >= 0) clearMarks(p);
    gStatAllocated.add(mpItemSize);
    return p;
  }
}

namespace {

// Sets the allocated bits of items (one block's), a word at a time; a bit
// already set means a corrupted free list.
void markItems(TnxMemoryPool* pool, TnxPoolBlockHeader* h, const uint32_t* items, uint32_t n, bool set) {
  uint32_t word = UINT32_MAX, mask = 0;
  auto apply = [&] {
    if (!mask) return;
    std::atomic_ref<uint32_t> w = allocatedWord(h, word * 32);
    const uint32_t old = set ? w.fetch_or(mask) : w.fetch_and(~mask);
    if ((old & mask) != (set ? 0 : mask)) throw EInvalidPointer();
  };
  for (uint32_t i = 0; i < n; ++i) {
    const int64_t index = pool->ItemIndex(nxArenaAddress(items[i]));
    if (index < 0) throw EInvalidPointer();
    if (uint32_t(index / 32) != word) {
      apply();
      word = uint32_t(index / 32);
      mask = 0;
    }
    mask |= 1u << (index % 32);
  }
  apply();
}

}  // namespace

uint32_t TnxMemoryPool::AllocBatch(uint32_t* out, uint32_t max) {
  for (;;) {
    const uint32_t block = TakeBlock();
    if (!block) return 0;
    TnxPoolBlockHeader* h = headerAt(block);
    // The whole item list in one step; what is left over after max items
    // goes back the same way unless items were freed into the block
    // meanwhile.
    uint32_t rest = nxArenaListFlush(h->pbFreeItems);
    if (!rest) {
      Detach(block);
      continue;
    }
    uint32_t n = 0;
    while (rest && n < max) {
      out[n++] = rest;
      rest = nxArenaLink(rest).load(std::memory_order_relaxed);
    }
    h->pbUsedCount.fetch_add(n);
    // The rest may be thousands of items: rather than walk it to its end,
    // take the few freed into the block meanwhile and put them before it.
    while (rest) {
      uint64_t old = h->pbFreeItems.value.load();
      if (static_cast<uint32_t>(old) == 0) {
        if (h->pbFreeItems.value.compare_exchange_weak(old, rest | (((old >> 32) + 1) << 32))) break;
        continue;
      }
      const uint32_t arrived = nxArenaListFlush(h->pbFreeItems);
      if (!arrived) continue;
      uint32_t last = arrived;
      while (const uint32_t next = nxArenaLink(last).load(std::memory_order_relaxed)) last = next;
      nxArenaLink(last).store(rest, std::memory_order_relaxed);
      rest = arrived;
    }
    markItems(this, h, out, n, true);
    gStatAllocated.add(int64_t(n) * mpItemSize);
    if (nxArenaListFirst(h->pbFreeItems) != 0) {
      Attach(block);
    } else {
      Detach(block);
    }
    return n;
  }
}

void TnxMemoryPool::ReturnBatch(uint32_t* items, uint32_t n) {
  gStatAllocated.add(-int64_t(n) * mpItemSize);
  // Sorted, the items of one block (and of one bit word) sit together and
  // go back in one step each.
  for (uint32_t i = 1; i < n; ++i)
    for (uint32_t j = i; j > 0 && items[j - 1] > items[j]; --j) std::swap(items[j - 1], items[j]);
  for (uint32_t i = 0; i < n;) {
    const uint32_t block = items[i] & ~kBlockMask;
    uint32_t j = i + 1;
    while (j < n && (items[j] & ~kBlockMask) == block) ++j;
    TnxPoolBlockHeader* h = headerAt(block);
    markItems(this, h, items + i, j - i, false);
    if (mpCacheClass >= 0)
      for (uint32_t k = i; k < j; ++k) markInBlock(items[k]);
    for (uint32_t k = i; k + 1 < j; ++k) nxArenaLink(items[k]).store(items[k + 1], std::memory_order_relaxed);
    nxArenaListPushChain(h->pbFreeItems, items[i], items[j - 1]);
    if (h->pbDetached.load() == 1) {
      uint32_t expected = 1;
      if (h->pbDetached.compare_exchange_strong(expected, 0)) Attach(block);
    }
    if (h->pbUsedCount.fetch_sub(j - i) == j - i) mpNeedCleanup.store(1);
    i = j;
  }
}

void TnxMemoryPool::DisposeDirect(void* p) {
  if (nxPoolOfItem(p) != this) throw EInvalidPointer();
  DisposeChecked(p);
}

void TnxMemoryPool::DisposeChecked(void* p) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  auto* h = reinterpret_cast<TnxPoolBlockHeader*>(address & ~uintptr_t(kBlockMask));
  const int64_t index = ItemIndex(p);
  const uint32_t mask = 1u << (index % 32);
  if (!(allocatedWord(h, uint32_t(index)).fetch_and(~mask) & mask)) throw EInvalidPointer();
  if (nxClearOnFree.load(std::memory_order_relaxed) != 0) std::memset(p, 0, mpItemSize);
  if (mpCacheClass >= 0) markInBlock(nxArenaOffset(p));
  const uint32_t block = nxArenaOffset(h);
  nxArenaListPush(h->pbFreeItems, nxArenaOffset(p));
  // Re-attach before giving up our count: once the count may reach 0 the
  // block can go back to the block manager and must not be touched.
  if (h->pbDetached.load() == 1) {
    uint32_t expected = 1;
    if (h->pbDetached.compare_exchange_strong(expected, 0)) Attach(block);
  }
  if (h->pbUsedCount.fetch_sub(1) == 1) mpNeedCleanup.store(1);
  gStatAllocated.add(-int64_t(mpItemSize));
}

void TnxMemoryPool::Dispose(void*& p) {
  void* old = std::atomic_ref<void*>(p).exchange(nullptr);
  if (old) DisposeDirect(old);
}

// Takes the whole list and walks it: empty blocks join the chain empties
// (linked through pbNext), the others go back onto the current list.
uint32_t TnxMemoryPool::SweepPartial(TnxArenaListHead& list, uint32_t empties) {
  uint32_t keptFirst = 0, keptLast = 0;
  for (uint32_t block = nxArenaListFlush(list); block;) {
    const uint32_t next = nxArenaLink(block).load(std::memory_order_relaxed);
    if (headerAt(block)->pbUsedCount.load() == 0) {
      nxArenaLink(block).store(empties, std::memory_order_relaxed);
      empties = block;
    } else {
      nxArenaLink(block).store(keptFirst, std::memory_order_relaxed);
      if (!keptFirst) keptLast = block;
      keptFirst = block;
    }
    block = next;
  }
  if (keptFirst) nxArenaListPushChain(CurrentPartial(), keptFirst, keptLast);
  return empties;
}

// A pop that read one of these blocks as the head before they were taken
// off may still read its link: wait until no pop is in progress before the
// blocks (and perhaps their region) go back. When pops never pause, keep
// the blocks for the next round.
void TnxMemoryPool::FreeEmptyBlocks(uint32_t empties) {
  if (!empties) return;
  for (int spin = 0;; ++spin) {
    // A read-modify-write reads the latest count, like a fence and a load.
    if (mpPopsInFlight.fetch_add(0) == 0) break;
    if (spin == 1000) {
      uint32_t last = empties;
      while (const uint32_t next = nxArenaLink(last).load(std::memory_order_relaxed)) last = next;
      nxArenaListPushChain(mpFreeBlockHead, empties, last);
      return;
    }
    std::this_thread::yield();
  }
  while (empties) {
    const uint32_t next = nxArenaLink(empties).load(std::memory_order_relaxed);
    FreeBlock(empties);
    empties = next;
  }
}

void TnxMemoryPool::ReleaseFreeBlocks() {
  uint32_t empties = 0;
  if (mpNeedCleanup.exchange(0)) {
    // Switch allocations and frees to the other list, then drain both: a
    // thread that read the switch before it flipped may still push onto the
    // retired list, so one drained before may hold an empty block now.
    const uint32_t was = mpPartialFreeBlockBool.load();
    mpPartialFreeBlockBool.store(was ? 0 : 1);
    empties = SweepPartial(was ? mpPartialFreeBlockHead2 : mpPartialFreeBlockHead1, empties);
    empties = SweepPartial(was ? mpPartialFreeBlockHead1 : mpPartialFreeBlockHead2, empties);
  }
  empties = SweepPartial(mpFreeBlockHead, empties);
  FreeEmptyBlocks(empties);
}

void TnxMemoryPool::Prepare() {
  buildPoolSizes();
  for (int i = 0; i < nxPoolCount; ++i) {
    nxPools[i] = new TnxMemoryPool(poolSizes[i]);
    nxPools[i]->mpPoolIndex = uint32_t(i);
  }
  for (int i = 1; i <= kCachedPools; ++i) nxPools[i]->mpCacheClass = i - 1;
  for (int i = 0; i < nxPoolCount; ++i) {
    const TnxMemoryPool& pool = *nxPools[i];
    gItemClasses[i + 1] = itemClassOf(pool);
  }
  for (uint32_t i = 1; i <= 256; ++i) gClassBySize4[i] = uint8_t(nxPoolForSize(4 * i)->mpPoolIndex + 1);
}

void TnxMemoryPool::Cleanup() {
  flushAllCaches();
  for (TnxMemoryPool* pool : nxPools)
    if (pool) pool->ReleaseFreeBlocks();
}

void TnxMemoryPool::Finalize() {
  // A late free finds no pool and is refused.
  forgetPoolBlocks();
  std::fill(std::begin(gItemClasses), std::end(gItemClasses), ItemClass{});
  std::fill(std::begin(gClassBySize4), std::end(gClassBySize4), 0);
  for (TnxMemoryPool*& pool : nxPools) {
    TnxMemoryPool* old = std::atomic_ref<TnxMemoryPool*>(pool).exchange(nullptr);
    delete old;
  }
}

namespace {

[[noreturn, gnu::cold, gnu::noinline]] void invalidPointer() { throw EInvalidPointer(); }

// The full check: for reallocation, DisposeDirect and the frees the common
// steps of nxItemFreeMem leave to it.
TnxMemoryPool* poolOfItem(const void* p) {
  // Everything is checked before the header is read: a foreign pointer may
  // point anywhere.
  if (!nxInArena(p)) [[unlikely]]
    invalidPointer();
  const uint32_t offset = nxArenaOffset(p);
  const uint32_t owner = blockPoolOf(offset).load(std::memory_order_acquire);
  if (owner == 0) [[unlikely]]
    invalidPointer();
  TnxMemoryPool* pool = nxPools[owner - 1];
  if (!pool) [[unlikely]]
    invalidPointer();
  auto* block = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(p) & ~uintptr_t(kBlockMask));
  const int64_t index = pool->ItemIndex(p);
  if (index < 0) [[unlikely]]
    invalidPointer();
  auto* h = static_cast<TnxPoolBlockHeader*>(block);
  if (!(allocatedWord(h, uint32_t(index)).load(std::memory_order_relaxed) & (1u << (index % 32)))) [[unlikely]]
    invalidPointer();
  // Freed, but waiting in a thread's cache.
  if (pool->mpCacheClass >= 0 && looksCached(p) && cachedAnywhere(pool->mpCacheClass, offset)) [[unlikely]]
    invalidPointer();
  return pool;
}

}  // namespace

TnxMemoryPool* nxPoolOfItem(const void* p) { return poolOfItem(p); }

// ---- large blocks ----

void* nxLargeBlockAlloc(std::size_t size, uint32_t growCount) {
  if (size == 0 || size > (std::size_t(1) << 46)) return nullptr;
  uint64_t units = unitsFor(size);
  uint64_t pages = pagesFor(size);
  uint64_t maxUnits = units;
  if (growCount > 0) {
    const uint64_t factor = growCount <= 4 ? 2 : growCount <= 16 ? 4 : 8;
    // The cap keeps the section a 15-bit unit count, but never below the
    // block itself (a block that large could not be reallocated at all).
    maxUnits = std::max<uint64_t>(std::min<uint64_t>(factor * units, 0x7FFF), units);
    if (growCount > 16) {
      units = std::min(units + units / 2, maxUnits);
      pages = std::min(pages + pages / 2, units * 16);
    }
  }
  if (maxUnits > UINT32_MAX || pages > UINT32_MAX) return nullptr;
  const std::size_t reserved = std::size_t(maxUnits) * kUnit;
  // A block this large is mostly filled whole: large pages spare a fault
  // per small page.
  const bool large = reserved >= platform::vmLargePagesFrom;
  void* base = platform::vmReserve(reserved, large ? platform::vmLargePageSize : kUnit);
  if (!base) return nullptr;
  if (large) platform::vmAdviseLargePages(base, reserved);
  if (!platform::vmCommit(base, std::size_t(pages) * kPage)) {
    platform::vmRelease(base, reserved);
    return nullptr;
  }
  TnxLargeBlockTrailer t{};
  t.ltSize = size;
  t.ltMapping = growCount > 0 ? reserved : 0;
  t.ltBase = base;
  t.ltUnits = uint32_t(units);
  t.ltMaxUnits = uint32_t(maxUnits);
  t.ltPagesInUse = uint32_t(pages);
  t.ltPagesCommitted = uint32_t(pages);
  t.ltGrowCount = growCount;
  std::atomic<void*>* cell = trieCell(base, true);
  if (!cell) {
    platform::vmRelease(base, reserved);
    return nullptr;
  }
  TnxLargeBlockTrailer* at = trailerAt(base, t.ltPagesCommitted);
  *at = t;
  cell->store(at, std::memory_order_release);
  addLargeStats(t, +1);
  return base;
}

TnxLargeBlockTrailer* nxLargeBlockLookup(const void* p) {
  std::atomic<void*>* cell = trieCell(p, false);
  return cell ? static_cast<TnxLargeBlockTrailer*>(cell->load(std::memory_order_acquire)) : nullptr;
}

// ---- get, free, reallocate ----

uint32_t nxThreadCachedItems() {
  ThreadCache* c = tlsCache;
  if (c == &gNoCache) return 0;
  uint32_t n = 0;
  for (const auto& count : c->counts) n += count.load(std::memory_order_relaxed);
  return n;
}

namespace {

// The batch moves between a cache and its pool, out of line so that the
// common steps stay short.

// An empty cache: a batch from the pool, the first item for the caller and
// the rest into the cache. 0 when no memory can be had.
[[gnu::noinline]] uint32_t refillCache(TnxMemoryPool* pool, ThreadCache* c, ClassCache cc) {
  uint32_t batch[kCacheBatch];
  const uint32_t got = pool->AllocBatch(batch, kCacheBatch);
  if (got > 1) {
    enterCache(c);
    // Only this thread fills its cache, and it was empty: there is room.
    uint32_t m = cc.count.load(std::memory_order_relaxed);
    for (uint32_t i = 1; i < got; ++i) cc.items[m++].store(batch[i], std::memory_order_relaxed);
    cc.count.store(m, std::memory_order_relaxed);
    leaveCache(c);
  }
  return got ? batch[0] : 0;
}

// A full cache, entered by the caller: the older half goes back to the
// pool and item takes the first free slot.
[[gnu::noinline]] void spillCache(TnxMemoryPool* pool, ThreadCache* c, ClassCache cc, uint32_t item) {
  uint32_t batch[kCacheBatch];
  for (uint32_t i = 0; i < kCacheBatch; ++i) batch[i] = cc.items[i].load(std::memory_order_relaxed);
  for (uint32_t i = kCacheBatch; i < kCacheSlots; ++i)
    cc.items[i - kCacheBatch].store(cc.items[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
  cc.items[kCacheSlots - kCacheBatch].store(item, std::memory_order_relaxed);
  cc.count.store(kCacheSlots - kCacheBatch + 1, std::memory_order_relaxed);
  leaveCache(c);
  pool->ReturnBatch(batch, kCacheBatch);
}


void* cachedAlloc(TnxMemoryPool* pool) {
  const int k = pool->mpCacheClass;
  ThreadCache* c;
  if (k < 0 || !(c = myCache())) return pool->Alloc();
  ClassCache cc = c->classes(k);
  enterCache(c);
  uint32_t item = 0;
  if (const uint32_t n = cc.count.load(std::memory_order_relaxed)) {
    item = cc.items[n - 1].load(std::memory_order_relaxed);
    cc.count.store(n - 1, std::memory_order_relaxed);
  }
  leaveCache(c);
  if (!item) item = refillCache(pool, c, cc);
  if (!item) return nullptr;
  void* p = nxArenaAddress(item);
  clearMarks(p);
  return p;
}

// An item the caller gave up (checked to be one, not to be live) into the
// cache of class k.
[[gnu::always_inline]] inline void putCached(ThreadCache* c, uint32_t k, void* p, uint32_t item, uint32_t itemSize) {
  if (nxClearOnFree.load(std::memory_order_relaxed) != 0) [[unlikely]]
    std::memset(p, 0, itemSize);
  itemWords(item)[0] = cookieOf(item);
  ClassCache cc = c->classes(k);
  enterCache(c);
  const uint32_t n = cc.count.load(std::memory_order_relaxed);
  if (n < kCacheSlots) [[likely]] {
    cc.items[n].store(item, std::memory_order_relaxed);
    cc.count.store(n + 1, std::memory_order_relaxed);
    leaveCache(c);
    return;
  }
  spillCache(nxPools[k + 1], c, cc, item);
}

// p: a live item of pool (checked by nxPoolOfItem).
void cachedFree(TnxMemoryPool* pool, void* p) {
  const int k = pool->mpCacheClass;
  ThreadCache* c;
  if (k < 0 || !(c = myCache())) {
    pool->DisposeChecked(p);
    return;
  }
  putCached(c, uint32_t(k), p, nxArenaOffset(p), pool->mpItemSize);
}


}  // namespace

namespace {

[[gnu::noinline]] void* getMemSlow(std::size_t size) {
  if (size == 0) return nullptr;
  if (size > nxLargestPoolRequest) return nxLargeBlockAlloc(size, 0);
  return cachedAlloc(size < 65 ? nxPoolsBySize4[(size - 1) >> 2] : nxPoolsBySize32[(size - 1) >> 5]);
}

// No pool item: a 64 KiB-aligned pointer is asked of the large blocks,
// anything else is refused. Not noreturn, so that the common steps jump
// here instead of calling.
[[gnu::noipa]] int freeNoItem(void* p) {
  if (!p) return 1;
  if (!(reinterpret_cast<uintptr_t>(p) & kBlockMask)) return freeLarge(p);
  throw EInvalidPointer();
}

[[gnu::noinline]] int freeChecked(void* p) {
  cachedFree(poolOfItem(p), p);
  return 0;
}

// The cache is full and entered.
[[gnu::noinline]] int freeSpilling(ThreadCache* c, uint32_t k, uint32_t item) {
  spillCache(nxPools[k + 1], c, c->classes(k), item);
  return 0;
}

}  // namespace

namespace {

// The common steps call nothing but their slow ends, so that they need no
// stack frame of their own. Ends: the slow routines, raising or (for the
// manager's function table) answering failure.
template <typename Ends>
[[gnu::always_inline]] inline void* getMem(std::size_t size) {
  ThreadCache* c = tlsCache;
  if (size - 1 >= 1024) [[unlikely]]
    return Ends::GetMemSlow(size);
  const uint32_t cls = gClassBySize4[(size + 3) >> 2];
  const uint32_t k = cls - kFirstCachedClass;
  if (k >= uint32_t(kCachedPools)) [[unlikely]]
    return Ends::GetMemSlow(size);
  ClassCache cc = c->classes(k);
  if (!tryEnterCache(c)) [[unlikely]]
    return Ends::GetMemSlow(size);
  const uint32_t n = cc.count.load(std::memory_order_relaxed);
  if (!n) [[unlikely]] {
    leaveCache(c);
    return Ends::GetMemSlow(size);
  }
  const uint32_t item = cc.items[n - 1].load(std::memory_order_relaxed);
  cc.count.store(n - 1, std::memory_order_relaxed);
  leaveCache(c);
  void* p = nxArenaAddress(item);
  clearMarks(p);  // the caller's item must not look like a free one
  return p;
}

// prfchw: the item is fetched for writing at once; a cross-thread free
// finds its line changed in another processor's cache, and fetching it
// shared first would cost a second transfer when the cookie is written.
// Processors without the instruction take it as a no-op.
template <typename Ends>
[[gnu::always_inline, gnu::target("prfchw")]] inline int freeMem(void* p) {
  __builtin_prefetch(p, 1);
  // Everything is checked before the item is read: a foreign pointer may
  // point anywhere. Large blocks lie outside the arena, and no item starts
  // on 64 KiB.
  const uintptr_t offset = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(nxArenaBase());
  if (offset >= nxArenaSize) [[unlikely]]
    return Ends::FreeNoItem(p);
  const uint32_t item = uint32_t(offset);
  const ItemClass& ic = gBlockClasses[item >> 16];
  const uint32_t rel = (item & kBlockMask) - ic.headerSize;
  if (std::rotr(rel * ic.inverse, ic.shift) >= ic.itemsPerBlock) [[unlikely]]
    return Ends::FreeNoItem(p);
  ThreadCache* c = tlsCache;
  const uint32_t k = ic.cacheClass;
  if (k == kNoCacheClass || nxClearOnFree.load(std::memory_order_relaxed) != 0) [[unlikely]]
    return Ends::FreeChecked(p);
  // A free item carries its cookie in one of its first two words; a live
  // one only by chance, which the full check tells.
  uint32_t* words = static_cast<uint32_t*>(p);
  const uint32_t cookie = cookieOf(item);
  if ((words[0] == cookie) | (words[1] == cookie)) [[unlikely]]
    return Ends::FreeChecked(p);
  if (!tryEnterCache(c)) [[unlikely]]
    return Ends::FreeChecked(p);
  words[0] = cookie;
  ClassCache cc = c->classes(k);
  const uint32_t n = cc.count.load(std::memory_order_relaxed);
  if (n >= kCacheSlots) [[unlikely]]
    return Ends::FreeSpilling(c, k, item);
  cc.items[n].store(item, std::memory_order_relaxed);
  cc.count.store(n + 1, std::memory_order_relaxed);
  leaveCache(c);
  return 0;
}


struct RaisingEnds {
  static void* GetMemSlow(std::size_t size) { return getMemSlow(size); }
  static int FreeNoItem(void* p) { return freeNoItem(p); }
  static int FreeChecked(void* p) { return freeChecked(p); }
  static int FreeSpilling(ThreadCache* c, uint32_t k, uint32_t item) { return freeSpilling(c, k, item); }
};

// A raised error becomes nullptr or 1, as the table's routines answer.
struct AnsweringEnds {
  [[gnu::noinline]] static void* GetMemSlow(std::size_t size) noexcept {
    try {
      return getMemSlow(size);
    } catch (...) {
      return nullptr;
    }
  }
  [[gnu::noinline]] static int FreeNoItem(void* p) noexcept {
    try {
      return freeNoItem(p) == 0 ? 0 : 1;
    } catch (...) {
      return 1;
    }
  }
  [[gnu::noinline]] static int FreeChecked(void* p) noexcept {
    try {
      return freeChecked(p);
    } catch (...) {
      return 1;
    }
  }
  [[gnu::noinline]] static int FreeSpilling(ThreadCache* c, uint32_t k, uint32_t item) noexcept {
    try {
      return freeSpilling(c, k, item);
    } catch (...) {
      return 1;
    }
  }
};

}  // namespace

void* nxItemGetMem(std::size_t size) { return getMem<RaisingEnds>(size); }
[[gnu::target("prfchw")]] int nxItemFreeMem(void* p) { return freeMem<RaisingEnds>(p); }
void* nxItemGetMemAnswering(std::size_t size) noexcept { return getMem<AnsweringEnds>(size); }
[[gnu::target("prfchw")]] uint32_t nxItemFreeMemAnswering(void* p) noexcept {
  return uint32_t(freeMem<AnsweringEnds>(p));
}

void* nxItemReallocMem(void* p, std::size_t newSize) {
  if (!p || newSize == 0) return nullptr;
  if (reinterpret_cast<uintptr_t>(p) & kBlockMask) {
    TnxMemoryPool* pool = nxPoolOfItem(p);
    const std::size_t s = pool->mpItemSize;
    if (newSize == s) return p;
    void* q;
    if (newSize < s) {
      if (newSize * 32 > s) return p;
      q = nxItemGetMem(newSize);
      if (!q) return nullptr;
      std::memcpy(q, p, newSize);
    } else {
      // Headroom for the next growth: 8x up to 64 bytes, 4x up to 1024, 2x
      // up to 8192.
      std::size_t n = newSize;
      if (n <= 8192) {
        n *= 2;
        if (n <= 2048) {
          n *= 2;
          if (n <= 256) n *= 2;
        }
      }
      q = n > nxLargestPoolRequest ? nxLargeBlockAlloc(n, 0) : nxItemGetMem(n);
      if (!q) return nullptr;
      std::memcpy(q, p, s);
    }
    cachedFree(pool, p);
    return q;
  }

  TnxLargeBlockTrailer* t = nxLargeBlockLookup(p);
  if (!t || t->ltBase != p) throw EInvalidPointer();
  if (newSize > (std::size_t(1) << 46)) return nullptr;
  const uint64_t pagesN = pagesFor(newSize);
  const uint64_t unitsN = unitsFor(newSize);
  TnxLargeBlockTrailer cur = *t;

  if (cur.ltMapping == 0) {
    if (pagesN == cur.ltPagesCommitted) {
      gStatAllocated.add(int64_t(newSize) - int64_t(cur.ltSize));
      t->ltSize = newSize;
      return p;
    }
    const uint32_t grow = cur.ltGrowCount + 1;
    void* q = newSize > nxLargestPoolRequest ? nxLargeBlockAlloc(newSize, grow) : nxItemGetMem(newSize);
    if (!q) return nullptr;
    std::memcpy(q, p, std::min(newSize, cur.ltSize));
    if (freeLarge(p) != 0) {
      nxItemFreeMem(q);
      throw EInvalidPointer();
    }
    return q;
  }

  if (unitsN > cur.ltUnits) {
    const uint32_t grow = cur.ltGrowCount + 1;
    if (cur.ltMaxUnits < unitsN) {
      void* q = nxLargeBlockAlloc(newSize, grow);
      if (!q) return nullptr;
      std::memcpy(q, p, cur.ltSize);
      freeLarge(p);
      return q;
    }
    // Grows in place within its reservation: no copy, same address.
    uint64_t units = unitsN, pages = pagesN;
    if (grow > 16) {
      units = std::min<uint64_t>(units + units / 2, cur.ltMaxUnits);
      pages = std::min<uint64_t>(pages + pages / 2, units * 16);
    }
    uint64_t committed = cur.ltPagesCommitted;
    if (pages > committed) {
      // A failed commit leaves the block as it was; the caller gets nil and
      // keeps its data instead of losing the block.
      if (!platform::vmCommit(static_cast<uint8_t*>(p) + committed * kPage, (pages - committed) * kPage))
        return nullptr;
      committed = pages;
    }
    TnxLargeBlockTrailer next = cur;
    next.ltSize = newSize;
    next.ltUnits = uint32_t(units);
    next.ltPagesInUse = uint32_t(pages);
    next.ltPagesCommitted = uint32_t(committed);
    next.ltGrowCount = grow;
    replaceTrailer(cur, next);
    return p;
  }

  if (pagesN * 8 < cur.ltPagesCommitted) {
    void* q = nxItemGetMem(newSize);
    if (!q) return nullptr;
    std::memcpy(q, p, newSize);
    freeLarge(p);
    return q;
  }

  TnxLargeBlockTrailer next = cur;
  next.ltSize = newSize;
  if (newSize < cur.ltSize && unitsN < cur.ltUnits && pagesN < cur.ltPagesInUse &&
      platform::vmDecommit(static_cast<uint8_t*>(p) + pagesN * kPage, (cur.ltPagesCommitted - pagesN) * kPage))
  {
    // The smaller view: its size, units, pages and trailer all follow, and
    // the trie points at the moved trailer.
    next.ltUnits = uint32_t(unitsN);
    next.ltPagesInUse = uint32_t(pagesN);
    next.ltPagesCommitted = uint32_t(pagesN);
  } else if (pagesN > cur.ltPagesInUse) {
    const uint32_t grow = cur.ltGrowCount + 1;
    uint64_t target = pagesN;
    if (grow > 16) target = std::min<uint64_t>(pagesN + pagesN / 2, uint64_t(cur.ltUnits) * 16);
    if (target > cur.ltPagesCommitted) {
      if (!platform::vmCommit(static_cast<uint8_t*>(p) + std::size_t(cur.ltPagesCommitted) * kPage,
                              (target - cur.ltPagesCommitted) * kPage))
        return nullptr;
      next.ltPagesCommitted = uint32_t(target);
    }
    next.ltPagesInUse = uint32_t(target);
    next.ltGrowCount = grow;
  }
  replaceTrailer(cur, next);
  return p;
}

// ---- start-up and shut-down ----

bool nxItemManagerStartup() {
  if (gStartCount++ > 0) return true;
  if (!nxBlockManagersStartup()) {
    --gStartCount;
    return false;
  }
  // Best effort: the pools' own records stay resident when the limit allows.
  platform::vmLock(nxArenaAddress(nxUnpagedAreaOffset), nxUnpagedAreaSize);
  unpagedUsed.store(0);
  forgetPoolBlocks();
  prepareProcessBarrier();
  static std::once_flag forkHandlers;
  std::call_once(forkHandlers, [] { platform::RegisterForkHandlers(cachesBeforeFork, cachesAfterForkInParent, cachesAfterForkInChild); });
  cacheSecret = uint32_t(std::chrono::steady_clock::now().time_since_epoch().count() * 0x85EBCA6Bu) | 1u;
  gStatReserved.reset();
  gStatCommitted.reset();
  gStatAllocated.reset();
  gStatOverhead.reset();
  TnxMemoryPool::Prepare();
  for (int i = 0; i < 1023; ++i) nxPoolsBySize32[i] = nxPoolForSize(std::size_t(32) * (i + 1));
  for (int i = 0; i < 17; ++i) nxPoolsBySize4[i] = nxPoolForSize(std::size_t(4) * (i + 1));
  probeTrieLevels();
  for (auto& slot : gTrieRoot.slots) slot.store(nullptr);
  return true;
}

void nxItemManagerShutdown() {
  if (gStartCount == 0 || --gStartCount > 0) return;
  trieFree(&gTrieRoot, int(nxTrieLevels) - 1);
  // Empty blocks and regions go back first, so that with nothing left in
  // use the arena itself can be given back.
  TnxMemoryPool::Cleanup();
  nxBlockTrim();
  TnxMemoryPool::Finalize();
  std::fill(std::begin(nxPoolsBySize32), std::end(nxPoolsBySize32), nullptr);
  std::fill(std::begin(nxPoolsBySize4), std::end(nxPoolsBySize4), nullptr);
  nxBlockManagersShutdown();
}

}  // namespace revurov::mm
