// The session lock: admits one thread at a time into a session, lets it
// re-enter, and refuses any other thread at once (8455). It also carries the
// session's failure state and times the session's activity.
//
// Contract:
// - Lock raises 15443 while the fatal-error flag is set (before anything
//   else), 9990 after a permanent failure, 8455 while another thread is
//   inside, and 15461 at a thread's first entry when a failure was reported
//   and not yet consumed. A Lock that raises leaves the lock as it found it
//   (the calling thread holds no level, its cancel flag is as it was).
// - Only the owner's first entry or last exit consumes a reported failure:
//   a refused second thread never does, so the owner's Unlock still turns a
//   0 result into 15461 ("... may have partially or fully succeeded").
// - Failed(permanent) runs the clean-up exactly once: on the reporter when
//   nobody is inside, else on the thread whose Unlock leaves last. It runs
//   outside the lock's own word, so it may take other locks, and its
//   exceptions never leave. Failed(permanent, wait) then waits up to 60 s
//   of the engine clock for SetFailedCleanupDone.
// - While a thread is inside, a failure report sets that thread's cancel
//   flag (the one nxThreadCancelFlagHook answered at entry); its last exit
//   puts the flag's earlier value back.
// - Callers release only a lock whose Lock returned.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "engine/engine_clock.h"
#include "engine/session_stats.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/objects/interfaced_object.h"

namespace revurov {

class InxSimpleLock : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{D2727E91-E0DC-4558-B857-2FC0EDE88ED9}");
  virtual void Lock() = 0;
  virtual void Unlock(uint32_t& aResult) = 0;
  virtual void Failed(bool aPermanent, bool aWait) = 0;
  virtual void SetFailedCleanupDone() = 0;
  virtual bool IsFailedPermanent() = 0;
  virtual uint64_t LastLocked() = 0;

protected:
  ~InxSimpleLock() = default;
};

inline constexpr uint32_t kFailedCleanupWait = 60000;

class TnxSimpleLock : public InxSimpleLock, public TnxInterfacedObject {
public:
  using TFailedCleanup = std::function<void(TnxSimpleLock& aLock)>;

  TnxSimpleLock(TFailedCleanup aFailedCleanup, TnxSessionStatsRef aStats);

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return TnxInterfacedObject::QueryInterface(iid, obj);
  }
  int32_t AddRef() noexcept override { return TnxInterfacedObject::AddRef(); }
  int32_t Release() noexcept override { return TnxInterfacedObject::Release(); }

  void Lock() override;
  void Unlock(uint32_t& aResult) override;
  void Failed(bool aPermanent, bool aWait) override;
  void SetFailedCleanupDone() override { slFailedCleanupDone.Set(); }
  bool IsFailedPermanent() override { return slFailedPermanent.load(std::memory_order_acquire); }
  uint64_t LastLocked() override;

  TnxExceptionHookInfo& ExceptionHookInfo() noexcept { return slExceptionHookInfo; }
  const TnxSessionStatsRef& Stats() const noexcept { return slStats; }

protected:
  ~TnxSimpleLock() override;
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxSimpleLock>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }

private:
  static constexpr uint64_t kFailedBusy = uint64_t{1} << 32;
  static constexpr uint64_t kOwnerMask = kFailedBusy - 1;
  // Takes the lock word, waiting while another holder has it, provided the
  // owner is aOwner; false when the owner differs.
  bool AcquireFailedWord(uint64_t aOwner) noexcept;
  uint64_t AcquireFailedWordAnyOwner() noexcept;
  // Under the lock word: hands the cancel flag back and leaves the lock;
  // true when this exit is to run the clean-up. The caller then releases the
  // word with no owner.
  bool LeaveLocked() noexcept;
  void RunCleanup() noexcept;

  TnxSessionStatsRef slStats;
  // The owner word (low half: the owner's token, 0 when free) and the lock
  // word over the failure fields (kFailedBusy) share one atomic, so that an
  // uncontended entry or exit costs one compare-exchange and one store.
  std::atomic<uint64_t> slState{0};
  std::atomic<int32_t> slLockCount{0};
  // Changed only while kFailedBusy is held by the changer.
  std::atomic<bool>* slFailedFlag = nullptr;
  bool slFailedOrg = false;
  std::atomic<bool> slFailed{false};
  std::atomic<bool> slFailedPermanent{false};
  bool slFailedCleanedup = false;
  TFailedCleanup slFailedCleanup;
  std::atomic<uint64_t> slLastLocked{0};
  TnxExceptionHookInfo slExceptionHookInfo;
  TnxSignal slFailedCleanupDone;
};

}  // namespace revurov
