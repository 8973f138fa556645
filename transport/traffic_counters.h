// The eight traffic counters of a transport, cheap to add to from many
// threads at once: every message sent and every reply received adds to
// them, so a lock per message would be paid on every request.
//
// Contract:
// - Add may run on any number of threads at once and never blocks. Each
//   live thread holds a small process-wide index (given back when it ends
//   and then handed to a later thread) and adds to the slot of that index
//   with plain loads and stores: a slot has one writer at a time. Threads
//   beyond nxTrafficThreadSlots live ones share one slot with atomic adds.
// - Totals sums the slots; a read that runs beside Add sees each counter
//   before or after that Add, not necessarily all eight from one instant.
// - Clear makes every counter read 0 from then on (it moves a baseline, as
//   a slot must only be written by its thread).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
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

inline constexpr size_t nxTrafficThreadSlots = 128;

class TnxTrafficCounters {
public:
  TnxTrafficCounters();
  ~TnxTrafficCounters();
  TnxTrafficCounters(const TnxTrafficCounters&) = delete;
  TnxTrafficCounters& operator=(const TnxTrafficCounters&) = delete;

  // Adds aDelta (indexed by TnxTrafficCounter).
  void Add(const TnxTrafficTotals& aDelta) noexcept;
  TnxTrafficTotals Totals() const;
  int64_t Total(TnxTrafficCounter aCounter) const { return Totals()[aCounter]; }
  void Clear();

private:
  // One cache line: threads never write a line another thread writes.
  struct alignas(64) TSlot {
    std::array<std::atomic<int64_t>, tcCount> sValues{};
  };

  TnxTrafficTotals Sums() const;

  // nxTrafficThreadSlots slots of the thread indexes, then the shared one.
  std::unique_ptr<TSlot[]> tcSlots;
  mutable std::mutex tcBaselineLock;
  TnxTrafficTotals tcBaseline{};
};

}  // namespace revurov
