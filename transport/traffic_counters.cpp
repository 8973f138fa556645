#include "transport/traffic_counters.h"

namespace revurov {

namespace {

// The thread indexes: handed out lowest first, given back at thread end.
// The lock orders a dead thread's last adds before the adds of the thread
// that gets its index next.
std::mutex gIndexLock;
int32_t gFreeIndexes[nxTrafficThreadSlots];
size_t gFreeCount = 0;
size_t gNeverUsed = 0;

constexpr int32_t kNotAsked = -2;
constexpr int32_t kShared = -1;

struct TThreadIndex {
  int32_t index = kNotAsked;
  ~TThreadIndex() {
    if (index >= 0) {
      std::lock_guard<std::mutex> guard(gIndexLock);
      gFreeIndexes[gFreeCount++] = index;
    }
    // Adds from later thread-exit code go to the shared slot.
    index = kShared;
  }
};

thread_local TThreadIndex tThreadIndex;

int32_t ThreadIndex() noexcept {
  TThreadIndex& mine = tThreadIndex;
  if (mine.index == kNotAsked) {
    std::lock_guard<std::mutex> guard(gIndexLock);
    if (gFreeCount > 0)
      mine.index = gFreeIndexes[--gFreeCount];
    else if (gNeverUsed < nxTrafficThreadSlots)
      mine.index = static_cast<int32_t>(gNeverUsed++);
    else
      mine.index = kShared;
  }
  return mine.index;
}

}  // namespace

TnxTrafficCounters::TnxTrafficCounters() : tcSlots(new TSlot[nxTrafficThreadSlots + 1]) {}

TnxTrafficCounters::~TnxTrafficCounters() = default;

void TnxTrafficCounters::Add(const TnxTrafficTotals& aDelta) noexcept {
  const int32_t index = ThreadIndex();
  if (index < 0) {
    TSlot& shared = tcSlots[nxTrafficThreadSlots];
    for (size_t i = 0; i < tcCount; ++i)
      if (aDelta[i]) shared.sValues[i].fetch_add(aDelta[i], std::memory_order_relaxed);
    return;
  }
  // This thread is the slot's one writer: no locked instruction needed.
  TSlot& slot = tcSlots[static_cast<size_t>(index)];
  for (size_t i = 0; i < tcCount; ++i)
    if (aDelta[i])
      slot.sValues[i].store(slot.sValues[i].load(std::memory_order_relaxed) + aDelta[i],
                            std::memory_order_relaxed);
}

TnxTrafficTotals TnxTrafficCounters::Sums() const {
  TnxTrafficTotals sums{};
  for (size_t s = 0; s <= nxTrafficThreadSlots; ++s)
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
