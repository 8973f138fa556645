// The heap's arena: one 4 GiB reservation, aligned to 4 MiB, cut into 1024
// regions of 4 MiB. Region index = (address - base) >> 22, so the heap keeps
// the 32-bit layout of its maps and links on a 64-bit address space: links
// stored inside heap memory are 32-bit offsets from the base (0 = none;
// region 0 holds the heap's own records and never a block).
//
// TnxArenaListHead is the lock-free list for entries inside the arena: the
// first entry's offset and a sequence counter in one 64-bit word changed by
// compare-exchange. It exists beside TnxListHead because a 4-byte pool item
// cannot hold a 64-bit link.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace revurov::mm {

constexpr uint32_t nxRegionShift = 22;
constexpr std::size_t nxRegionSize = std::size_t(1) << nxRegionShift;
constexpr uint32_t nxRegionCount = 1024;
constexpr std::size_t nxArenaSize = nxRegionSize * nxRegionCount;

// Set while the region manager runs; nullptr otherwise.
extern std::atomic<uint8_t*> nxArenaBasePtr;

inline uint8_t* nxArenaBase() { return nxArenaBasePtr.load(std::memory_order_relaxed); }

inline bool nxInArena(const void* p) {
  const uint8_t* base = nxArenaBase();
  const auto* q = static_cast<const uint8_t*>(p);
  return base && q >= base && q < base + nxArenaSize;
}

// REQUIRES: nxInArena(p).
inline uint32_t nxArenaOffset(const void* p) {
  return static_cast<uint32_t>(static_cast<const uint8_t*>(p) - nxArenaBase());
}
inline void* nxArenaAddress(uint32_t offset) { return nxArenaBase() + offset; }
inline uint32_t nxRegionIndex(const void* p) { return nxArenaOffset(p) >> nxRegionShift; }
inline void* nxRegionAddress(uint32_t index) { return nxArenaBase() + (std::size_t(index) << nxRegionShift); }

struct TnxArenaListHead {
  std::atomic<uint64_t> value{0};  // low 32 bits: first entry's offset; high: sequence
};

// The link of an entry is its first 32-bit word.
inline std::atomic_ref<uint32_t> nxArenaLink(uint32_t entry) {
  return std::atomic_ref<uint32_t>(*static_cast<uint32_t*>(nxArenaAddress(entry)));
}

inline uint32_t nxArenaListFirst(const TnxArenaListHead& h) {
  return static_cast<uint32_t>(h.value.load(std::memory_order_acquire));
}

inline void nxArenaListPush(TnxArenaListHead& h, uint32_t entry) {
  uint64_t old = h.value.load(std::memory_order_relaxed);
  for (;;) {
    nxArenaLink(entry).store(static_cast<uint32_t>(old), std::memory_order_relaxed);
    const uint64_t next = entry | (((old >> 32) + 1) << 32);
    if (h.value.compare_exchange_weak(old, next, std::memory_order_release, std::memory_order_relaxed)) return;
  }
}

// Pushes entries first..last, already linked, in one step.
inline void nxArenaListPushChain(TnxArenaListHead& h, uint32_t first, uint32_t last) {
  uint64_t old = h.value.load(std::memory_order_relaxed);
  for (;;) {
    nxArenaLink(last).store(static_cast<uint32_t>(old), std::memory_order_relaxed);
    const uint64_t next = first | (((old >> 32) + 1) << 32);
    if (h.value.compare_exchange_weak(old, next, std::memory_order_release, std::memory_order_relaxed)) return;
  }
}

// The popped entry's offset, 0 when the list is empty. The sequence makes a
// compare-exchange that read a stale link fail.
inline uint32_t nxArenaListPop(TnxArenaListHead& h) {
  uint64_t old = h.value.load(std::memory_order_acquire);
  for (;;) {
    const uint32_t first = static_cast<uint32_t>(old);
    if (first == 0) return 0;
    const uint32_t link = nxArenaLink(first).load(std::memory_order_relaxed);
    const uint64_t next = link | (((old >> 32) + 1) << 32);
    if (h.value.compare_exchange_weak(old, next, std::memory_order_acquire, std::memory_order_acquire)) return first;
  }
}

// Takes the whole chain; its first entry's offset, 0 when empty.
inline uint32_t nxArenaListFlush(TnxArenaListHead& h) {
  uint64_t old = h.value.load(std::memory_order_acquire);
  while (static_cast<uint32_t>(old) != 0 &&
         !h.value.compare_exchange_weak(old, old & ~uint64_t(0xFFFFFFFF), std::memory_order_acquire))
  {
  }
  return static_cast<uint32_t>(old);
}

}  // namespace revurov::mm
