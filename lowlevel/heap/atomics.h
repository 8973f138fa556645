// Atomic operations on naturally aligned cells and the lock-free list on
// which the heap and the thread-safe stack are built.
//
// Every nxLocked* routine is one locked instruction and a full barrier
// (sequentially consistent). They take integers of 32 or 64 bits and, where
// the operation makes sense for them, pointers.
//
// The lock-free list (a Treiber stack): an entry's first word is its link
// `leNext`; the head pairs the first entry with a sequence counter that every
// push and pop advances, so a compare-exchange prepared from a stale read
// fails even when the same entry is back on top (ABA). An entry may be pushed
// again after it was popped; its memory must stay readable while any thread
// may still be inside a pop that saw it (pools keep it so), since a pop reads
// the link of the entry it found on top before its exchange decides.
//
// 64-bit layout: `lhFirst` is a full 64-bit pointer and `lhSequence` a 64-bit
// counter; the head is 16 bytes, 16-byte aligned, and changes as one value by
// a 16-byte compare-exchange (cmpxchg16b, inlined: the library and everything
// that includes this header compiles with -mcx16). Depth-counted heads keep
// the depth in the high 16 bits of `lhSequence`; the sequence below it has 48
// bits instead of 16, so it cannot wrap while a stale exchange is pending.
#pragma once

#include <cstdint>
#include <type_traits>

#if !defined(__x86_64__) || !defined(__GCC_HAVE_SYNC_COMPARE_AND_SWAP_16)
#error "the lock-free list needs an inlined 16-byte compare-exchange (x86-64, -mcx16)"
#endif

namespace revurov {

template <typename T>
concept nxAtomicCell = (std::is_integral_v<T> || std::is_pointer_v<T>) &&
                       (sizeof(T) == 4 || sizeof(T) == 8);

template <typename T>
concept nxAtomicInteger = std::is_integral_v<T> && (sizeof(T) == 4 || sizeof(T) == 8);

// Stores newValue when target equals comparand; answers target's previous value.
template <nxAtomicCell T>
inline T nxLockedCompareExchange(T& target, std::type_identity_t<T> newValue,
                                 std::type_identity_t<T> comparand) noexcept {
  __atomic_compare_exchange_n(&target, &comparand, newValue, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;  // holds the value seen, whether or not the store happened
}

// Stores value; answers the previous value.
template <nxAtomicCell T>
inline T nxLockedExchange(T& target, std::type_identity_t<T> value) noexcept {
  return __atomic_exchange_n(&target, value, __ATOMIC_SEQ_CST);
}

// Adds n; answers the previous value.
template <nxAtomicInteger T>
inline T nxLockedExchangeAdd(T& target, std::type_identity_t<T> n) noexcept {
  return __atomic_fetch_add(&target, n, __ATOMIC_SEQ_CST);
}

// Adds n; answers the new value.
template <nxAtomicInteger T>
inline T nxLockedAdd(T& target, std::type_identity_t<T> n) noexcept {
  return __atomic_add_fetch(&target, n, __ATOMIC_SEQ_CST);
}

// Subtracts n; answers the new value.
template <nxAtomicInteger T>
inline T nxLockedSub(T& target, std::type_identity_t<T> n) noexcept {
  return __atomic_sub_fetch(&target, n, __ATOMIC_SEQ_CST);
}

template <nxAtomicInteger T>
inline T nxLockedInc(T& target) noexcept {
  return __atomic_add_fetch(&target, T(1), __ATOMIC_SEQ_CST);
}

template <nxAtomicInteger T>
inline T nxLockedDec(T& target) noexcept {
  return __atomic_sub_fetch(&target, T(1), __ATOMIC_SEQ_CST);
}

struct TnxListEntry {
  TnxListEntry* leNext = nullptr;
};

struct alignas(16) TnxListHead {
  TnxListEntry* lhFirst = nullptr;
  uint64_t lhSequence = 0;
};
static_assert(sizeof(TnxListHead) == 16);

// Depth-counted heads: depth in bits 48-63 of lhSequence, sequence in 0-47.
constexpr int nxListDepthShift = 48;
constexpr uint64_t nxListSequenceMask = (uint64_t(1) << nxListDepthShift) - 1;

namespace detail {

// The head as one value: lhFirst in the low half, lhSequence in the high half
// (little-endian, as the fields lie in memory).
inline unsigned __int128 nxListPack(TnxListEntry* first, uint64_t sequence) noexcept {
  return (static_cast<unsigned __int128>(sequence) << 64) |
         reinterpret_cast<uintptr_t>(first);
}

inline TnxListEntry* nxListFirstOf(unsigned __int128 v) noexcept {
  return reinterpret_cast<TnxListEntry*>(static_cast<uintptr_t>(v));
}

inline uint64_t nxListSequenceOf(unsigned __int128 v) noexcept {
  return static_cast<uint64_t>(v >> 64);
}

// A torn read is harmless: the first exchange against it fails and reports
// the real value.
inline unsigned __int128 nxListRead(TnxListHead& head) noexcept {
  uint64_t sequence = __atomic_load_n(&head.lhSequence, __ATOMIC_ACQUIRE);
  TnxListEntry* first = __atomic_load_n(&head.lhFirst, __ATOMIC_ACQUIRE);
  return nxListPack(first, sequence);
}

// One 16-byte compare-exchange; on failure `expected` takes the value seen.
inline bool nxListExchange(TnxListHead& head, unsigned __int128& expected,
                           unsigned __int128 desired) noexcept {
  auto* cell = reinterpret_cast<unsigned __int128*>(&head);
  unsigned __int128 seen = __sync_val_compare_and_swap(cell, expected, desired);
  if (seen == expected) return true;
  expected = seen;
  return false;
}

inline TnxListEntry* nxListNextOf(TnxListEntry* entry) noexcept {
  return __atomic_load_n(&entry->leNext, __ATOMIC_ACQUIRE);
}

// The link is atomic because a stale pop on another thread may read it.
inline void nxListSetNext(TnxListEntry* entry, TnxListEntry* next) noexcept {
  __atomic_store_n(&entry->leNext, next, __ATOMIC_RELAXED);
}

}  // namespace detail

inline void nxListHeadInit(TnxListHead& head) noexcept {
  __atomic_store_n(&head.lhFirst, nullptr, __ATOMIC_RELAXED);
  __atomic_store_n(&head.lhSequence, uint64_t(0), __ATOMIC_RELEASE);
}

inline void nxListPush(TnxListHead& head, TnxListEntry* entry) noexcept {
  unsigned __int128 old = detail::nxListRead(head);
  for (;;) {
    detail::nxListSetNext(entry, detail::nxListFirstOf(old));
    if (detail::nxListExchange(head, old,
                               detail::nxListPack(entry, detail::nxListSequenceOf(old) + 1)))
      return;
  }
}

// Pushes the chain first..last (already linked) in one step; it pops in the
// order it was linked. Answers the entry that was first before.
inline TnxListEntry* nxListPushChain(TnxListHead& head, TnxListEntry* first,
                                     TnxListEntry* last) noexcept {
  unsigned __int128 old = detail::nxListRead(head);
  for (;;) {
    detail::nxListSetNext(last, detail::nxListFirstOf(old));
    if (detail::nxListExchange(head, old,
                               detail::nxListPack(first, detail::nxListSequenceOf(old) + 1)))
      return detail::nxListFirstOf(old);
  }
}

// Answers the first entry, nullptr when the list is empty.
inline TnxListEntry* nxListPop(TnxListHead& head) noexcept {
  unsigned __int128 old = detail::nxListRead(head);
  for (;;) {
    TnxListEntry* first = detail::nxListFirstOf(old);
    if (!first) return nullptr;
    TnxListEntry* next = detail::nxListNextOf(first);
    if (detail::nxListExchange(head, old,
                               detail::nxListPack(next, detail::nxListSequenceOf(old) + 1)))
      return first;
  }
}

// Takes the whole chain, nullptr when the list is empty.
inline TnxListEntry* nxListFlush(TnxListHead& head) noexcept {
  unsigned __int128 old = detail::nxListRead(head);
  for (;;) {
    TnxListEntry* first = detail::nxListFirstOf(old);
    if (!first) return nullptr;
    if (detail::nxListExchange(head, old,
                               detail::nxListPack(nullptr, detail::nxListSequenceOf(old))))
      return first;
  }
}

// Pushes unless the depth would exceed maxDepth; answers the new depth, 0
// when refused.
inline uint32_t nxListPushBelowDepth(TnxListHead& head, TnxListEntry* entry,
                                     uint16_t maxDepth) noexcept {
  unsigned __int128 old = detail::nxListRead(head);
  for (;;) {
    uint64_t sequence = detail::nxListSequenceOf(old);
    uint32_t depth = static_cast<uint32_t>(sequence >> nxListDepthShift) + 1;
    if (depth > maxDepth) return 0;
    detail::nxListSetNext(entry, detail::nxListFirstOf(old));
    uint64_t next = (uint64_t(depth) << nxListDepthShift) |
                    ((sequence + 1) & nxListSequenceMask);
    if (detail::nxListExchange(head, old, detail::nxListPack(entry, next))) return depth;
  }
}

// Pops unless the depth would fall below minDepth; nullptr when empty or
// refused.
inline TnxListEntry* nxListPopAboveDepth(TnxListHead& head, uint16_t minDepth) noexcept {
  unsigned __int128 old = detail::nxListRead(head);
  for (;;) {
    TnxListEntry* first = detail::nxListFirstOf(old);
    if (!first) return nullptr;
    uint64_t sequence = detail::nxListSequenceOf(old);
    int32_t depth = static_cast<int32_t>(sequence >> nxListDepthShift) - 1;
    if (depth < minDepth) return nullptr;
    TnxListEntry* next = detail::nxListNextOf(first);
    uint64_t nextSequence = (uint64_t(depth) << nxListDepthShift) |
                            ((sequence + 1) & nxListSequenceMask);
    if (detail::nxListExchange(head, old, detail::nxListPack(next, nextSequence))) return first;
  }
}

}  // namespace revurov
