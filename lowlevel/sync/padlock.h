// TnxPadlock: the library's mutual-exclusion lock.
//
// Contract: re-entrant for the owning thread (every Lock, and every TryLock
// that answered true, needs one Unlock by the same thread). A padlock created
// as a fast lock spins up to nxPadlockSpinCount tries on a contended Lock
// before it blocks.
#pragma once

#include <cstdint>

#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/os_mutex.h"

namespace revurov {

constexpr uint32_t nxPadlockSpinCount = 4000;

class TnxPadlock : public TnxObject {
public:
  explicit TnxPadlock(bool aFastLock = false);
  ~TnxPadlock() override;

  void Lock();
  void Unlock();
  bool TryLock();

  // Lazy creation of a shared padlock: returns with the padlock in aPadlock
  // locked by the caller. Of threads racing on one null variable exactly one
  // publishes its padlock; the others free their own and lock that one.
  static void CreateAndLock(TnxPadlock*& aPadlock, bool aFastLock = false);

  bool IsFastLock() const noexcept { return plSpinCount != 0; }

private:
  platform::TOsMutex plCritSect;
  uint32_t plSpinCount = 0;
};

using TnxPadlockGuard = TnxLockGuard<TnxPadlock, &TnxPadlock::Lock, &TnxPadlock::Unlock>;

}  // namespace revurov
