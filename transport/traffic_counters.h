// The eight traffic counters of a transport, cheap to add to from many
// threads at once: every message sent and every reply received adds to
// them, so a lock per message would be paid on every request.
//
// Contract:
// - Add may run on any number of threads at once and never blocks; a
//   thread adds to a slot of its own (plain loads and stores, no locked
//   instruction) while the transport has free slots, else to a shared slot
//   with atomic adds.
// - Totals sums the slots; a read that runs beside Add sees each counter
//   before or after that Add, not necessarily all eight from one instant.
// - Clear makes every counter read 0 from then on (it moves a baseline, as
//   an owner's slot must only be written by its owner).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace revurov {

enum TnxTrafficCounter : uint8_t {
  tcActualBytesSent,
  tcActualBytesReceived,
  tcMessagesSent,
  tcMessagesReceived,
  tcUncompressedBytesSent,
  tcUncompressedBytesReceived,
  tcCompressTime,
  tcUncompressTime,
  tcCount
};

using TnxTrafficTotals = std::array<int64_t, tcCount>;

class TnxTrafficCounters {
public:
  TnxTrafficCounters();
  ~TnxTrafficCounters();
  TnxTrafficCounters(const TnxTrafficCounters&) = delete;
  TnxTrafficCounters& operator=(const TnxTrafficCounters&) = delete;

  // Adds aDelta (indexed by TnxTrafficCounter) to the calling thread's slot.
  void Add(const TnxTrafficTotals& aDelta) noexcept;
  TnxTrafficTotals Totals() const;
  int64_t Total(TnxTrafficCounter aCounter) const { return Totals()[aCounter]; }
  void Clear();

private:
  struct alignas(64) TSlot {
    std::array<std::atomic<int64_t>, tcCount> sValues{};
    std::atomic<uint64_t> sOwner{0};  // thread serial; 0: free
  };
  static constexpr size_t kOwnSlots = 32;

  TSlot& SlotOfThisThread() noexcept;
  TnxTrafficTotals Sums() const;

  const uint64_t tcSerial;  // never reused: keys the threads' slot caches
  std::unique_ptr<TSlot[]> tcSlots;  // kOwnSlots owned slots, then the shared one
  mutable std::mutex tcBaselineLock;
  TnxTrafficTotals tcBaseline{};
};

}  // namespace revurov
