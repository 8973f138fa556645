#include "transport/freed_connections.h"

#include <atomic>

#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/sync/padlock.h"
#include "lowlevel/sync/thread.h"

namespace revurov {

namespace {

class TnxFreedConnectionCleanupThread : public TnxTimerThread {
public:
  explicit TnxFreedConnectionCleanupThread(uint32_t aPeriod)
      : TnxTimerThread(aPeriod, platform::TThreadPriority::tpLower) {}
  std::u16string_view ClassName() const noexcept override { return u"TnxFreedConnectionCleanupThread"; }

protected:
  void Timer() override { nxShiftFreedConnections(); }
};

// A freed block links to the next through its first bytes.
struct FreedBlock {
  FreedBlock* NextFree;
};

// Built on first use and never destroyed: connections can be freed while
// statics of the process are being torn down.
struct FreedState {
  TnxPadlock Lock;
  FreedBlock* Generations[kFreedConnectionGenerations] = {};  // under Lock
  size_t Held[kFreedConnectionGenerations] = {};              // under Lock
  int32_t Transports = 0;                                     // under Lock
  platform::TThreadPtr<TnxFreedConnectionCleanupThread> Thread;  // under Lock
  std::atomic<uint64_t> Returned{0};
  std::atomic<uint64_t> Shifts{0};
  uint64_t ThreadsStarted = 0;  // under Lock
  std::atomic<uint32_t> Period{kFreedConnectionCleanupPeriod};
};

FreedState& State() {
  static FreedState* state = new FreedState;
  return *state;
}

void ReturnList(FreedBlock* aList) noexcept {
  FreedState& s = State();
  while (aList) {
    FreedBlock* next = aList->NextFree;
    nxFreeMem(aList);
    s.Returned.fetch_add(1, std::memory_order_relaxed);
    aList = next;
  }
}

}  // namespace

void nxRegisterPooledTransport() {
  FreedState& s = State();
  TnxPadlockGuard guard(s.Lock);
  if (s.Transports == 0) {
    s.Thread = platform::NewThread<TnxFreedConnectionCleanupThread>(s.Period.load());
    ++s.ThreadsStarted;
  }
  ++s.Transports;
}

void nxUnregisterPooledTransport() noexcept {
  FreedState& s = State();
  platform::TThreadPtr<TnxFreedConnectionCleanupThread> thread;
  FreedBlock* all = nullptr;
  {
    TnxPadlockGuard guard(s.Lock);
    if (s.Transports == 0 || --s.Transports > 0) return;
    thread = std::move(s.Thread);
    for (int g = 0; g < kFreedConnectionGenerations; ++g) {
      FreedBlock* list = s.Generations[g];
      s.Generations[g] = nullptr;
      s.Held[g] = 0;
      if (!list) continue;
      FreedBlock* tail = list;
      while (tail->NextFree) tail = tail->NextFree;
      tail->NextFree = all;
      all = list;
    }
  }
  // Outside the lock: the thread's last step takes it.
  thread.reset();
  ReturnList(all);
}

void nxDeferConnectionRelease(void* aBlock) noexcept {
  if (!aBlock) return;
  FreedState& s = State();
  {
    TnxPadlockGuard guard(s.Lock);
    if (s.Transports > 0) {
      auto* block = static_cast<FreedBlock*>(aBlock);
      block->NextFree = s.Generations[0];
      s.Generations[0] = block;
      ++s.Held[0];
      return;
    }
  }
  nxFreeMem(aBlock);
  s.Returned.fetch_add(1, std::memory_order_relaxed);
}

void nxShiftFreedConnections() noexcept {
  FreedState& s = State();
  FreedBlock* oldest;
  {
    TnxPadlockGuard guard(s.Lock);
    oldest = s.Generations[kFreedConnectionGenerations - 1];
    for (int g = kFreedConnectionGenerations - 1; g > 0; --g) {
      s.Generations[g] = s.Generations[g - 1];
      s.Held[g] = s.Held[g - 1];
    }
    s.Generations[0] = nullptr;
    s.Held[0] = 0;
  }
  ReturnList(oldest);
  // Counted once complete, so that whoever sees the count sees the return.
  s.Shifts.fetch_add(1, std::memory_order_release);
}

void nxSetFreedConnectionCleanupPeriod(uint32_t aPeriodMs) noexcept {
  FreedState& s = State();
  const uint32_t period = aPeriodMs ? aPeriodMs : kFreedConnectionCleanupPeriod;
  s.Period.store(period);
  TnxPadlockGuard guard(s.Lock);
  if (s.Thread) s.Thread->SetInterval(period);
}

TnxFreedConnectionCounts nxFreedConnectionCounts() noexcept {
  FreedState& s = State();
  TnxFreedConnectionCounts counts;
  TnxPadlockGuard guard(s.Lock);
  for (int g = 0; g < kFreedConnectionGenerations; ++g) counts.Held[g] = s.Held[g];
  counts.Returned = s.Returned.load();
  counts.Shifts = s.Shifts.load(std::memory_order_acquire);
  counts.ThreadsStarted = s.ThreadsStarted;
  counts.Transports = s.Transports;
  counts.ThreadRunning = s.Thread != nullptr;
  return counts;
}

}  // namespace revurov
