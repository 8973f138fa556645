#include "transport/traffic_counters.h"

namespace revurov {

namespace {

std::atomic<uint64_t> gNextCountersSerial{1};
std::atomic<uint64_t> gNextThreadSerial{1};

thread_local uint64_t tThreadSerial = 0;

// The slots this thread used last; a miss only costs a scan of the slots.
struct TCachedSlot {
  uint64_t serial = 0;
  void* slot = nullptr;
};
constexpr size_t kCachedSlots = 4;
thread_local TCachedSlot tSlotCache[kCachedSlots];
thread_local size_t tSlotCacheNext = 0;

uint64_t ThreadSerial() noexcept {
  if (tThreadSerial == 0) tThreadSerial = gNextThreadSerial.fetch_add(1);
  return tThreadSerial;
}

}  // namespace

TnxTrafficCounters::TnxTrafficCounters()
    : tcSerial(gNextCountersSerial.fetch_add(1)), tcSlots(new TSlot[kOwnSlots + 1]) {}

TnxTrafficCounters::~TnxTrafficCounters() = default;

TnxTrafficCounters::TSlot& TnxTrafficCounters::SlotOfThisThread() noexcept {
  for (const TCachedSlot& c : tSlotCache)
    if (c.serial == tcSerial) return *static_cast<TSlot*>(c.slot);
  const uint64_t me = ThreadSerial();
  TSlot* found = nullptr;
  for (size_t i = 0; i < kOwnSlots && !found; ++i)
    if (tcSlots[i].sOwner.load(std::memory_order_relaxed) == me) found = &tcSlots[i];
  for (size_t i = 0; i < kOwnSlots && !found; ++i) {
    uint64_t free = 0;
    if (tcSlots[i].sOwner.compare_exchange_strong(free, me)) found = &tcSlots[i];
  }
  // Slots stay with their threads: once all are taken, later threads share
  // the last one.
  if (!found) found = &tcSlots[kOwnSlots];
  tSlotCache[tSlotCacheNext] = {tcSerial, found};
  tSlotCacheNext = (tSlotCacheNext + 1) % kCachedSlots;
  return *found;
}

void TnxTrafficCounters::Add(const TnxTrafficTotals& aDelta) noexcept {
  TSlot& slot = SlotOfThisThread();
  if (&slot == &tcSlots[kOwnSlots]) {
    for (size_t i = 0; i < tcCount; ++i)
      if (aDelta[i]) slot.sValues[i].fetch_add(aDelta[i], std::memory_order_relaxed);
    return;
  }
  // Only this thread writes its slot: no locked instruction needed.
  for (size_t i = 0; i < tcCount; ++i)
    if (aDelta[i])
      slot.sValues[i].store(slot.sValues[i].load(std::memory_order_relaxed) + aDelta[i],
                            std::memory_order_relaxed);
}

TnxTrafficTotals TnxTrafficCounters::Sums() const {
  TnxTrafficTotals sums{};
  for (size_t s = 0; s <= kOwnSlots; ++s)
    for (size_t i = 0; i < tcCount; ++i)
      sums[i] += tcSlots[s].sValues[i].load(std::memory_order_relaxed);
  return sums;
}

TnxTrafficTotals TnxTrafficCounters::Totals() const {
  TnxTrafficTotals sums = Sums();
  std::lock_guard<std::mutex> guard(tcBaselineLock);
  for (size_t i = 0; i < tcCount; ++i) sums[i] -= tcBaseline[i];
  return sums;
}

void TnxTrafficCounters::Clear() {
  const TnxTrafficTotals sums = Sums();
  std::lock_guard<std::mutex> guard(tcBaselineLock);
  tcBaseline = sums;
}

}  // namespace revurov
