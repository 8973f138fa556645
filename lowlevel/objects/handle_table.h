// TnxHandleTable: 32-bit identities for live objects, so that an identity
// that travels on the wire or in a 32-bit field is never an address.
//
// Contract:
// - A handle packs a class tag (top 4 bits), the slot's generation (10 bits)
//   and the slot number (low 18 bits). It is never 0: generations start at 1.
// - Add files an object with its class record, its owner (any 32-bit value,
//   an engine object's session for instance) and a tag, and answers the new
//   handle. Remove ends a handle once; the slot's generation moves on, so the
//   handle and every copy of it are stale from then on, also when the slot
//   is handed out again. A slot whose generation would wrap is retired
//   instead of reused, so no stale handle can ever match again.
// - Lookup answers the object only when the handle is live, its tag and
//   owner match and its class inherits from the expected one (none expected:
//   any class). It never dereferences the object and never fails on a
//   garbage handle.
// - Lookup may run on any thread, concurrently with Add and Remove, and takes
//   no lock: slots are read through atomics and a lookup that overlapped a
//   Remove of its slot misses. The object it answers is the caller's to keep
//   alive (the owner of the object serialises its freeing against users).
// - Add raises EnxBaseException 9473 when all slots are in use.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "lowlevel/objects/registerable.h"
#include "lowlevel/sync/padlock.h"

namespace revurov {

class TnxHandleTable {
public:
  static constexpr uint32_t kSlotBits = 18;
  static constexpr uint32_t kGenerationBits = 10;
  static constexpr uint32_t kTagBits = 4;
  static constexpr uint32_t kMaxSlots = 1u << kSlotBits;

  TnxHandleTable();
  ~TnxHandleTable();
  TnxHandleTable(const TnxHandleTable&) = delete;
  TnxHandleTable& operator=(const TnxHandleTable&) = delete;

  uint32_t Add(void* aObject, const TnxRegisterableClass* aClass, uint32_t aOwner, uint8_t aTag = 0);
  // False for a handle that is not live.
  bool Remove(uint32_t aHandle) noexcept;
  // Changes the owner filed with a live handle; false when it is not live.
  bool SetOwner(uint32_t aHandle, uint32_t aOwner) noexcept;
  inline void* Lookup(uint32_t aHandle, const TnxRegisterableClass* aExpected, uint32_t aOwner) const noexcept;
  // The object of a live handle whatever its class and owner.
  void* LookupAny(uint32_t aHandle) const noexcept;
  int32_t Count() const noexcept { return htCount.load(std::memory_order_relaxed); }

  static uint32_t SlotOf(uint32_t aHandle) noexcept { return aHandle & (kMaxSlots - 1); }
  static uint32_t GenerationOf(uint32_t aHandle) noexcept {
    return (aHandle >> kSlotBits) & ((1u << kGenerationBits) - 1);
  }
  static uint8_t TagOf(uint32_t aHandle) noexcept { return uint8_t(aHandle >> (kSlotBits + kGenerationBits)); }

private:
  static constexpr uint32_t kChunkBits = 12;
  static constexpr uint32_t kChunkSize = 1u << kChunkBits;
  static constexpr uint32_t kChunkCount = kMaxSlots / kChunkSize;
  static constexpr uint32_t kNone = 0xFFFFFFFF;

  // What lookups read, one slot never across two cache lines: lookups are
  // bound by the cache misses on these.
  struct alignas(32) Slot {
    std::atomic<uint32_t> Handle{0};  // the live handle; 0 while free
    std::atomic<uint32_t> Owner{0};
    std::atomic<void*> Object{nullptr};
    std::atomic<const TnxRegisterableClass*> Class{nullptr};
  };
  // What only writers use, under htPadlock.
  struct SlotState {
    uint32_t Generation = 1;  // of the next handle
    uint32_t NextFree = kNone;
  };

  const Slot* Find(uint32_t aHandle) const noexcept {
    if (aHandle == 0) return nullptr;
    uint32_t index = SlotOf(aHandle);
    const Slot* chunk = htChunks[index >> kChunkBits].load(std::memory_order_acquire);
    return chunk ? &chunk[index & (kChunkSize - 1)] : nullptr;
  }
  Slot& At(uint32_t aSlot) const noexcept;
  SlotState& StateAt(uint32_t aSlot) const noexcept {
    return htStates[aSlot >> kChunkBits][aSlot & (kChunkSize - 1)];
  }

  mutable TnxPadlock htPadlock;
  // Chunks are published once and never move, so lookups read them unlocked.
  std::atomic<Slot*> htChunks[kChunkCount] = {};
  std::unique_ptr<Slot[]> htOwnedChunks[kChunkCount];
  std::unique_ptr<SlotState[]> htStates[kChunkCount];
  uint32_t htUsed = 0;  // slots ever handed out
  uint32_t htFree = kNone;
  std::atomic<int32_t> htCount{0};
};

// Inline: the lookup is on the path of every request that names an object.
void* TnxHandleTable::Lookup(uint32_t aHandle, const TnxRegisterableClass* aExpected,
                             uint32_t aOwner) const noexcept {
  const Slot* slot = Find(aHandle);
  if (!slot || slot->Handle.load(std::memory_order_acquire) != aHandle) return nullptr;
  void* object = slot->Object.load(std::memory_order_acquire);
  const TnxRegisterableClass* cls = slot->Class.load(std::memory_order_acquire);
  uint32_t owner = slot->Owner.load(std::memory_order_acquire);
  // A Remove (and maybe a new Add) between the two reads of the handle
  // could have mixed fields of two objects: the lookup misses then.
  if (slot->Handle.load(std::memory_order_acquire) != aHandle) return nullptr;
  if (owner != aOwner) return nullptr;
  if (aExpected && cls != aExpected && (!cls || !cls->InheritsFrom(*aExpected))) return nullptr;
  return object;
}

}  // namespace revurov
