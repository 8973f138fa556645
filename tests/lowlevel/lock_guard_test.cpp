#include "lowlevel/sync/lock_guard.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <memory>
#include <string>

#include "lowlevel/objects/lists.h"
#include "lowlevel/sync/read_write_portal.h"

namespace revurov {
namespace {

// Records every enter and leave, so a test sees the exact sequence.
struct TRecordingLock {
  std::string Log;
  int Value = 42;
  void Enter() { Log += "E"; }
  void Leave() { Log += "L"; }
  bool EnterAnswering() {
    Log += "E";
    return true;
  }
  int& EnterGivingValue() {
    Log += "E";
    return Value;
  }
};

void FreeEnter(TRecordingLock& aLock) { aLock.Log += "e"; }
void FreeLeave(TRecordingLock& aLock) noexcept { aLock.Log += "l"; }

using TGuard = TnxLockGuard<TRecordingLock, &TRecordingLock::Enter, &TRecordingLock::Leave>;

TEST(LockGuard, EntersOnceAndLeavesOnceOnEveryWayOut) {
  TRecordingLock lock;
  { TGuard guard(lock); }
  EXPECT_EQ(lock.Log, "EL");
  lock.Log.clear();
  EXPECT_THROW(
      {
        TGuard guard(lock);
        throw std::runtime_error("leaves anyway");
      },
      std::runtime_error);
  EXPECT_EQ(lock.Log, "EL");
}

TEST(LockGuard, AdoptedLockIsOnlyLeft) {
  TRecordingLock lock;
  lock.Enter();
  { TGuard guard(lock, nxAdoptLock); }
  EXPECT_EQ(lock.Log, "EL");
}

TEST(LockGuard, TakesFunctionsOverTheLockAsWellAsMembers) {
  TRecordingLock lock;
  { TnxLockGuard<TRecordingLock, &FreeEnter, &FreeLeave> guard(lock); }
  EXPECT_EQ(lock.Log, "el");
}

TEST(LockGuard, HandsOnWhatEnteringAnswered) {
  TRecordingLock lock;
  {
    TnxLockGuard<TRecordingLock, &TRecordingLock::EnterAnswering, &TRecordingLock::Leave> guard(lock);
    EXPECT_TRUE(guard.Entered());
  }
  {
    TnxLockGuard<TRecordingLock, &TRecordingLock::EnterGivingValue, &TRecordingLock::Leave> guard(lock);
    EXPECT_EQ(&guard.Entered(), &lock.Value);
  }
  EXPECT_EQ(lock.Log, "ELEL");
}

TEST(LockGuard, PortalGuardsHoldThePortalAndWriteReportsUndisturbed) {
  TnxInternalReadWritePortal portal;
  {
    TnxPortalReadGuard guard(portal);
    EXPECT_EQ(portal.PortalCount(), TnxInternalReadWritePortal::kIdle - 1);
  }
  EXPECT_EQ(portal.PortalCount(), TnxInternalReadWritePortal::kIdle);
  {
    TnxPortalWriteGuard guard(portal);
    EXPECT_TRUE(guard.Entered());
    EXPECT_NE(portal.WriterID(), 0u);
  }
  EXPECT_EQ(portal.WriterID(), 0u);
}

TEST(LockGuard, ListGuardsHandOutTheGuardedList) {
  TnxListPadlock guarded(std::make_unique<TnxList>());
  int item = 0;
  {
    TnxListWriteGuard guard(guarded);
    guard.Entered().Add(&item);
  }
  TnxListReadGuard guard(guarded);
  EXPECT_EQ(guard.Entered().Count(), 1);
}

}  // namespace
}  // namespace revurov
