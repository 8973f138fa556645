#include "lowlevel/objects/handle_table.h"

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"

namespace revurov {

TnxHandleTable::TnxHandleTable() = default;
TnxHandleTable::~TnxHandleTable() = default;

TnxHandleTable::Slot& TnxHandleTable::At(uint32_t aSlot) const noexcept {
  return htChunks[aSlot >> kChunkBits].load(std::memory_order_relaxed)[aSlot & (kChunkSize - 1)];
}

uint32_t TnxHandleTable::Add(void* aObject, const TnxRegisterableClass* aClass, uint32_t aOwner, uint8_t aTag) {
  TnxPadlockGuard guard(htPadlock);
  uint32_t index = htFree;
  if (index != kNone) {
    htFree = StateAt(index).NextFree;
  } else {
    if (htUsed == kMaxSlots) throw EnxBaseException(nxeOutOfMemory);
    index = htUsed;
    uint32_t chunk = index >> kChunkBits;
    if (!htOwnedChunks[chunk]) {
      htOwnedChunks[chunk] = std::make_unique<Slot[]>(kChunkSize);
      htStates[chunk] = std::make_unique<SlotState[]>(kChunkSize);
      htChunks[chunk].store(htOwnedChunks[chunk].get(), std::memory_order_release);
    }
    ++htUsed;
  }
  Slot& slot = At(index);
  SlotState& state = StateAt(index);
  uint32_t handle = (uint32_t(aTag & ((1u << kTagBits) - 1)) << (kSlotBits + kGenerationBits)) |
                    (state.Generation << kSlotBits) | index;
  state.NextFree = kNone;
  // Release stores: a lookup that reads one of these also sees the
  // Remove that freed the slot before, and so misses on its second read.
  slot.Object.store(aObject, std::memory_order_release);
  slot.Class.store(aClass, std::memory_order_release);
  slot.Owner.store(aOwner, std::memory_order_release);
  // Publishing the handle last makes the fields above visible with it.
  slot.Handle.store(handle, std::memory_order_release);
  htCount.fetch_add(1, std::memory_order_relaxed);
  return handle;
}

bool TnxHandleTable::Remove(uint32_t aHandle) noexcept {
  if (aHandle == 0) return false;
  TnxPadlockGuard guard(htPadlock);
  uint32_t index = SlotOf(aHandle);
  if (index >= htUsed) return false;
  Slot& slot = At(index);
  if (slot.Handle.load(std::memory_order_relaxed) != aHandle) return false;
  slot.Handle.store(0, std::memory_order_release);
  slot.Object.store(nullptr, std::memory_order_relaxed);
  slot.Class.store(nullptr, std::memory_order_relaxed);
  htCount.fetch_sub(1, std::memory_order_relaxed);
  SlotState& state = StateAt(index);
  if (++state.Generation < (1u << kGenerationBits)) {
    state.NextFree = htFree;
    htFree = index;
  }
  // A wrapped generation would bring back old handles: the slot retires.
  return true;
}

bool TnxHandleTable::SetOwner(uint32_t aHandle, uint32_t aOwner) noexcept {
  if (aHandle == 0) return false;
  TnxPadlockGuard guard(htPadlock);
  uint32_t index = SlotOf(aHandle);
  if (index >= htUsed) return false;
  Slot& slot = At(index);
  if (slot.Handle.load(std::memory_order_relaxed) != aHandle) return false;
  slot.Owner.store(aOwner, std::memory_order_release);
  return true;
}

void* TnxHandleTable::LookupAny(uint32_t aHandle) const noexcept {
  const Slot* slot = Find(aHandle);
  if (!slot || slot->Handle.load(std::memory_order_acquire) != aHandle) return nullptr;
  void* object = slot->Object.load(std::memory_order_acquire);
  if (slot->Handle.load(std::memory_order_acquire) != aHandle) return nullptr;
  return object;
}

}  // namespace revurov
