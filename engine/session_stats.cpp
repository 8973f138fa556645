#include "engine/session_stats.h"

#include <mutex>

#include "lowlevel/sync/lock_guard.h"

namespace revurov {

namespace {

int64_t RealPerformanceCounter() { return platform::MonotonicNanoseconds(); }

std::atomic<TnxPerformanceCounterFunc> gCounter{&RealPerformanceCounter};
std::atomic<TnxThreadCycleTimeFunc> gCycles{&platform::ReadThreadCpuClock};

int64_t PerformanceCounter() { return gCounter.load(std::memory_order_acquire)(); }

thread_local TnxSessionStatsRef tlsCurrentStats;

}  // namespace

void nxSetSessionStatsClocks(TnxPerformanceCounterFunc aCounter, TnxThreadCycleTimeFunc aCycles) noexcept {
  gCounter.store(aCounter ? aCounter : &RealPerformanceCounter);
  gCycles.store(aCycles ? aCycles : &platform::ReadThreadCpuClock);
}

// The process-wide list. Each link is a counted reference, so a record that
// leaves the list lives on while a reader still stands on it.
class TnxSessionStatsList {
public:
  ~TnxSessionStatsList() { TnxSessionStats::Release(slHead); }

  void Add(TnxSessionStats* aStats) {
    std::lock_guard<std::mutex> guard(slLock);
    aStats->AddRef();
    aStats->assNext = slHead;  // the list's reference to the old head moves into the link
    aStats->assSessionNumber = slNextNumber++;
    slHead = aStats;
  }

  TnxSessionStatsRef Head() {
    std::lock_guard<std::mutex> guard(slLock);
    return TnxSessionStatsRef(slHead);
  }

  TnxSessionStatsRef Next(const TnxSessionStats* aStats) {
    std::lock_guard<std::mutex> guard(slLock);
    return TnxSessionStatsRef(aStats->assNext);
  }

  // Marks aStats closed and drops the closed records past the newest kept.
  void Closed(TnxSessionStats* aStats) {
    std::lock_guard<std::mutex> guard(slLock);
    if (aStats->assListClosed) return;
    aStats->assListClosed = true;
    // Records are closed one at a time, so the walk is needed only past the mark.
    if (++slClosedCount <= kNewestClosedKept) return;
    int32_t closed = 0;
    TnxSessionStats** link = &slHead;
    while (TnxSessionStats* p = *link) {
      if (p->assListClosed && ++closed > kNewestClosedKept) {
        // Unlink p: its own link stays, so a reader standing on p walks on.
        TnxSessionStats* next = p->assNext;
        if (next) next->AddRef();
        *link = next;
        --slClosedCount;
        TnxSessionStats::Release(p);
        continue;
      }
      link = &p->assNext;
    }
  }

private:
  std::mutex slLock;
  TnxSessionStats* slHead = nullptr;  // counted reference
  int32_t slNextNumber = 0;
  int32_t slClosedCount = 0;  // closed records in the list
};

namespace {
TnxSessionStatsList gStatsList;
}  // namespace

TnxSessionStats::TnxSessionStats(std::u16string aUserName, std::u16string aConnectedFrom)
    : assStarted(platform::Now()), assUserName(std::move(aUserName)), assConnectedFrom(std::move(aConnectedFrom)) {}

TnxSessionStatsRef TnxSessionStats::Create(std::u16string aUserName, std::u16string aConnectedFrom) {
  TnxSessionStatsRef ref(new TnxSessionStats(std::move(aUserName), std::move(aConnectedFrom)));
  gStatsList.Add(ref.get());
  return ref;
}

void TnxSessionStats::Release(TnxSessionStats* aStats) noexcept {
  // A loop, not recursion: freeing the list frees a long chain.
  while (aStats && aStats->assRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    TnxSessionStats* next = aStats->assNext;
    aStats->assNext = nullptr;
    delete aStats;
    aStats = next;
  }
}

void TnxSessionStats::Enter() {
  {
    TnxPadlockGuard guard(assLock);
    if (assClosed != 0) return;
    if (!platform::CurrentThreadCpuClock(assCurrentThread)) assCurrentThread = {};
    assEnterThreadCycle = 0;
    gCycles.load(std::memory_order_acquire)(assCurrentThread, assEnterThreadCycle);
    assEnterTime = PerformanceCounter();
    assHasThread = true;
    ++assCounters[sscCalls];
  }
  tlsCurrentStats = TnxSessionStatsRef(this);
}

void TnxSessionStats::Leave() {
  if (tlsCurrentStats.get() == this) tlsCurrentStats = TnxSessionStatsRef();
  TnxPadlockGuard guard(assLock);
  if (assClosed != 0) return;
  LeaveLocked();
}

void TnxSessionStats::LeaveLocked() {
  if (!assHasThread) return;
  Accumulate(false);
  assHasThread = false;
  assCurrentThread = {};
}

void TnxSessionStats::Accumulate(bool aRestart) {
  uint64_t cycles = assEnterThreadCycle;
  gCycles.load(std::memory_order_acquire)(assCurrentThread, cycles);
  int64_t now = PerformanceCounter();
  assCounters[sscTime] += now - assEnterTime;
  assCounters[sscCycles] += static_cast<int64_t>(cycles - assEnterThreadCycle);
  assEnterTime = aRestart ? now : 0;
  assEnterThreadCycle = aRestart ? cycles : 0;
}

void TnxSessionStats::Close() {
  if (tlsCurrentStats.get() == this) tlsCurrentStats = TnxSessionStatsRef();
  {
    TnxPadlockGuard guard(assLock);
    if (assClosed != 0) return;
    LeaveLocked();
    assClosed = platform::Now();
  }
  gStatsList.Closed(this);
}

void TnxSessionStats::Update(TnxSessionStatsCounters& aCounters) {
  TnxPadlockGuard guard(assLock);
  if (assHasThread) Accumulate(true);
  assExtClosed = assClosed;
  aCounters = assCounters;
  aCounters[sscTime] /= kPerformanceFrequency / 1000;
}

TnxSessionStatsRef TnxSessionStats::Current() { return tlsCurrentStats; }
TnxSessionStatsRef TnxSessionStats::Head() { return gStatsList.Head(); }
TnxSessionStatsRef TnxSessionStats::Next() const { return gStatsList.Next(this); }

void TnxSessionStats::Count(TnxSessionStatsCounter aCounter, int64_t aCount) {
  TnxSessionStats* stats = tlsCurrentStats.get();
  if (!stats) return;
  TnxPadlockGuard guard(stats->assLock);
  stats->assCounters[aCounter] += aCount;
}

platform::TDateTime TnxSessionStats::Closed() {
  TnxPadlockGuard guard(assLock);
  return assClosed;
}

platform::TDateTime TnxSessionStats::ExtClosed() {
  TnxPadlockGuard guard(assLock);
  return assExtClosed;
}

}  // namespace revurov
