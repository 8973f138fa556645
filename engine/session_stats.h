// Statistics of a session's activity: how often and how long it was busy,
// in wall time and in the processor time of the threads working for it,
// and counts that storage and server code add for the session the calling
// thread works for.
//
// Contract:
// - Records form one process-wide list, newest first, numbered from 0 in
//   creation order. Open records stay in the list; of the closed ones the
//   newest kNewestClosedKept stay, older ones leave the list. A record lives
//   while anything holds a TnxSessionStatsRef to it, so a walk from Head
//   (each step holding the record it stands on) never meets a freed one.
// - Enter starts a timing period on the calling thread (the session lock
//   calls it at a thread's first entry); Leave ends it. Both do nothing on a
//   closed record, except that Leave stops the record being the thread's
//   current one.
// - Count adds to the calling thread's current record, closed or not.
// - Update copies the counters; a running period is counted up to now and
//   goes on. In the copy sscTime is milliseconds (truncated); in the record
//   it is performance-counter ticks (ns). sscCycles is in 100-ns units of
//   processor time.
// - The performance counter and the thread cycle reading are replaceable
//   (nxSetSessionStatsClocks; nil puts the real one back), for tests.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/sync/padlock.h"
#include "platform/date_time.h"
#include "platform/thread_clock.h"

namespace revurov {

enum TnxSessionStatsCounter : int32_t {
  sscCalls,
  sscStatements,
  sscTime,
  sscCycles,
  sscBlocksRead,
  sscBlocksWritten,
  sscTransCommit,
  sscTransRollback,
  sscTransNestedCommit,
  sscTransNestedRollback,
  sscTransDeadlock,
  sscTransCorrupted,
};
inline constexpr int32_t kSessionStatsCounterCount = sscTransCorrupted + 1;
using TnxSessionStatsCounters = std::array<int64_t, kSessionStatsCounterCount>;

inline constexpr int32_t kNewestClosedKept = 10000;
inline constexpr int64_t kPerformanceFrequency = 1000000000;

using TnxPerformanceCounterFunc = int64_t (*)();
using TnxThreadCycleTimeFunc = bool (*)(const platform::TThreadCpuClock& aThread, uint64_t& aValue);
void nxSetSessionStatsClocks(TnxPerformanceCounterFunc aCounter, TnxThreadCycleTimeFunc aCycles) noexcept;

class TnxSessionStatsRef;

class TnxSessionStats : public TnxObject {
public:
  static TnxSessionStatsRef Create(std::u16string aUserName, std::u16string aConnectedFrom);

  virtual void Enter();
  virtual void Leave();
  virtual void Close();

  void Update(TnxSessionStatsCounters& aCounters);

  static TnxSessionStatsRef Current();
  static TnxSessionStatsRef Head();
  static void Count(TnxSessionStatsCounter aCounter, int64_t aCount);

  TnxSessionStatsRef Next() const;
  int32_t SessionNumber() const noexcept { return assSessionNumber; }
  platform::TDateTime Started() const noexcept { return assStarted; }
  platform::TDateTime Closed();
  const std::u16string& UserName() const noexcept { return assUserName; }
  const std::u16string& ConnectedFrom() const noexcept { return assConnectedFrom; }
  platform::TDateTime ExtClosed();

protected:
  TnxSessionStats(std::u16string aUserName, std::u16string aConnectedFrom);
  ~TnxSessionStats() override = default;

private:
  friend class TnxSessionStatsRef;
  friend class TnxSessionStatsList;
  void AddRef() noexcept { assRefCount.fetch_add(1, std::memory_order_relaxed); }
  static void Release(TnxSessionStats* aStats) noexcept;
  void Accumulate(bool aRestart);
  void LeaveLocked();

  TnxPadlock assLock{true};
  std::atomic<int32_t> assRefCount{0};
  TnxSessionStats* assNext = nullptr;  // counted reference, changed under the list's lock
  bool assListClosed = false;  // under the list's lock
  int32_t assSessionNumber = 0;
  platform::TDateTime assStarted = 0;
  platform::TDateTime assClosed = 0;
  std::u16string assUserName;
  std::u16string assConnectedFrom;
  platform::TThreadCpuClock assCurrentThread;
  bool assHasThread = false;
  int64_t assEnterTime = 0;
  uint64_t assEnterThreadCycle = 0;
  TnxSessionStatsCounters assCounters{};
  platform::TDateTime assExtClosed = 0;
  TnxSessionStatsCounters assExtCounters{};
};

// A counted reference to a record.
class TnxSessionStatsRef {
public:
  TnxSessionStatsRef() noexcept = default;
  explicit TnxSessionStatsRef(TnxSessionStats* aStats) noexcept : rStats(aStats) {
    if (rStats) rStats->AddRef();
  }
  TnxSessionStatsRef(const TnxSessionStatsRef& aOther) noexcept : TnxSessionStatsRef(aOther.rStats) {}
  TnxSessionStatsRef(TnxSessionStatsRef&& aOther) noexcept : rStats(aOther.rStats) { aOther.rStats = nullptr; }
  TnxSessionStatsRef& operator=(TnxSessionStatsRef aOther) noexcept {
    std::swap(rStats, aOther.rStats);
    return *this;
  }
  ~TnxSessionStatsRef() { TnxSessionStats::Release(rStats); }

  TnxSessionStats* get() const noexcept { return rStats; }
  TnxSessionStats* operator->() const noexcept { return rStats; }
  TnxSessionStats& operator*() const noexcept { return *rStats; }
  explicit operator bool() const noexcept { return rStats != nullptr; }

private:
  TnxSessionStats* rStats = nullptr;
};

}  // namespace revurov
