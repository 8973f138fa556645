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
inline void SetPrev(uint8_t* aNode, uint32_t aValue) { platform::StoreU32(aNode + nxihPrevNode, aValue); }
inline void SetNext(uint8_t* aNode, uint32_t aValue) { platform::StoreU32(aNode + nxihNextNode, aValue); }

}  // namespace revurov::bstar_node
