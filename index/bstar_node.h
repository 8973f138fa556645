// The header fields of a B*-tree node ("NXIH"), read and written in place.
#pragma once

#include <cstdint>

#include "index/index_block.h"
#include "platform/endian.h"

namespace revurov::bstar_node {

inline uint16_t First(const uint8_t* aNode) { return platform::LoadU16(aNode + nxihFirstSlot); }
inline uint16_t Count(const uint8_t* aNode) { return platform::LoadU16(aNode + nxihKeyCount); }
inline uint8_t Kind(const uint8_t* aNode) { return aNode[nxihNodeKind]; }
inline uint32_t Prev(const uint8_t* aNode) { return platform::LoadU32(aNode + nxihPrevNode); }
inline uint32_t Next(const uint8_t* aNode) { return platform::LoadU32(aNode + nxihNextNode); }
inline uint32_t BlockOf(const uint8_t* aNode) { return platform::LoadU32(aNode + 4); }
inline uint64_t ChangeCounter(const uint8_t* aNode) { return platform::LoadU64(aNode + nxihChangeCounter); }
inline void SetFirst(uint8_t* aNode, uint32_t aValue) {
  platform::StoreU16(aNode + nxihFirstSlot, static_cast<uint16_t>(aValue));
}
inline void SetCount(uint8_t* aNode, uint32_t aValue) {
  platform::StoreU16(aNode + nxihKeyCount, static_cast<uint16_t>(aValue));
}
// Where a node search goes on meeting an entry equal to what it seeks.
enum class TEqualGoes { Stop, Left, Right };

// The binary search of every node search over the slots aLo .. aHi:
// aCompare(slot) orders the sought entry against the slot's. Answers
// whether an equal entry was met; aSlot is the last one met (Left: the
// first equal, Right: the last), else the slot of the first greater entry.
template <class TCompare>
bool SearchSlots(int64_t aLo, int64_t aHi, TEqualGoes aGoes, TCompare&& aCompare, uint32_t& aSlot) {
  bool found = false;
  while (aLo <= aHi) {
    const int64_t mid = (aLo + aHi) / 2;
    const auto slot = static_cast<uint32_t>(mid);
    int c = aCompare(slot);
    if (c == 0) {
      aSlot = slot;
      found = true;
      if (aGoes == TEqualGoes::Stop) return true;
      c = aGoes == TEqualGoes::Left ? -1 : 1;
    }
    if (c < 0)
      aHi = mid - 1;
    else
      aLo = mid + 1;
  }
  if (!found) aSlot = static_cast<uint32_t>(aLo);
  return found;
}

inline void SetPrev(uint8_t* aNode, uint32_t aValue) { platform::StoreU32(aNode + nxihPrevNode, aValue); }
inline void SetNext(uint8_t* aNode, uint32_t aValue) { platform::StoreU32(aNode + nxihNextNode, aValue); }

}  // namespace revurov::bstar_node
