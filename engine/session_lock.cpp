#include "engine/session_lock.h"

#include "engine/deadline_hooks.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/os_thread.h"

namespace revurov {

namespace {

constexpr std::u16string_view kFatalErrorText =
    u"A fatal error has occurred. Server operations are suspended until the server is restarted. "
    u"Check exception log at server for further information";
constexpr std::u16string_view kPermanentlyFailedText = u"This session has been marked as permanently failed";
constexpr std::u16string_view kCancelledText = u"Processing cancelled";
constexpr std::u16string_view kCancelledAfterText =
    u"Processing cancelled. Operation may have partially or fully succeeded";
constexpr std::u16string_view kReentryText = u"System has been illegally re-entered.";

// Publishes the session to the exception hook while a refusal leaves.
class THookInfoScope {
public:
  explicit THookInfoScope(TnxExceptionHookInfo* aInfo) noexcept { nxSetThreadExceptionHookInfo(aInfo); }
  ~THookInfoScope() { nxSetThreadExceptionHookInfo(nullptr); }
  THookInfoScope(const THookInfoScope&) = delete;
  THookInfoScope& operator=(const THookInfoScope&) = delete;
};

[[noreturn]] void RaiseReentry(TnxExceptionHookInfo* aInfo) {
  THookInfoScope scope(aInfo);
  throw EnxBaseException(nxeIllegalReentry, kReentryText);
}

}  // namespace

// Held for a few instructions only: the clean-up never runs under it.
class TnxSimpleLock::TFailedGuard {
public:
  explicit TFailedGuard(std::atomic<int32_t>& aWord) noexcept : fgWord(aWord) {
    for (uint32_t spins = 0;; ++spins) {
      int32_t expected = 0;
      if (fgWord.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
      if (spins < 64) {
        platform::CpuRelax();
      } else {
        platform::YieldThread();
      }
    }
  }
  ~TFailedGuard() { fgWord.store(0, std::memory_order_release); }
  TFailedGuard(const TFailedGuard&) = delete;
  TFailedGuard& operator=(const TFailedGuard&) = delete;

private:
  std::atomic<int32_t>& fgWord;
};

TnxSimpleLock::TnxSimpleLock(TFailedCleanup aFailedCleanup, TnxSessionStatsRef aStats)
    : slStats(std::move(aStats)), slFailedCleanup(std::move(aFailedCleanup)) {}

TnxSimpleLock::~TnxSimpleLock() {
  if (slStats) {
    slStats->Close();
    slStats = TnxSessionStatsRef();
  }
  slFailedCleanupDone.Set();
}

void TnxSimpleLock::Lock() {
  if (nxFatalErrorFlag.load(std::memory_order_acquire)) throw EnxBaseException(nxeTransactionCorrupt, kFatalErrorText);
  if (slFailedPermanent.load(std::memory_order_acquire)) throw EnxBaseException(nxeInvalidHandle, kPermanentlyFailedText);

  const uint32_t self = platform::CurrentThreadId();
  uint32_t owner = 0;
  if (!slLockingThread.compare_exchange_strong(owner, self, std::memory_order_acquire, std::memory_order_relaxed)) {
    if (owner != self) RaiseReentry(&slExceptionHookInfo);
    // Re-entry consumes no failure: the first entry or the last exit does.
    slLockCount.fetch_add(1, std::memory_order_relaxed);
    nxSetThreadExceptionHookInfo(&slExceptionHookInfo);
    return;
  }

  uint32_t refusal = 0;
  bool cleanup = false;
  {
    TFailedGuard guard(slFailedSpinlock);
    slLockCount.store(1, std::memory_order_relaxed);
    slFailedFlag = nxThreadCancelFlagHook();
    if (slFailedFlag) {
      slFailedOrg = slFailedFlag->load(std::memory_order_relaxed);
      slFailedFlag->store(slFailed.load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    if (slFailedPermanent.load(std::memory_order_relaxed)) {
      refusal = nxeInvalidHandle;
    } else if (slFailed.load(std::memory_order_relaxed)) {
      slFailed.store(false, std::memory_order_relaxed);
      refusal = nxeTimeout;
    }
    if (refusal) cleanup = LeaveLocked();
  }
  if (refusal) {
    if (cleanup) RunCleanup();
    if (refusal == nxeInvalidHandle) throw EnxBaseException(nxeInvalidHandle, kPermanentlyFailedText);
    throw EnxBaseException(nxeTimeout, kCancelledText);
  }
  if (slStats) slStats->Enter();
  nxSetThreadExceptionHookInfo(&slExceptionHookInfo);
}

void TnxSimpleLock::Unlock(uint32_t& aResult) {
  const uint32_t self = platform::CurrentThreadId();
  if (slLockingThread.load(std::memory_order_relaxed) != self) RaiseReentry(&slExceptionHookInfo);
  if (slLockCount.load(std::memory_order_relaxed) > 1) {
    slLockCount.fetch_sub(1, std::memory_order_relaxed);
    return;
  }

  if (slStats) slStats->Leave();
  bool cleanup = false;
  {
    TFailedGuard guard(slFailedSpinlock);
    if (slFailedPermanent.load(std::memory_order_relaxed)) {
      // nothing to report: the session is gone for good
    } else if (slFailed.load(std::memory_order_relaxed)) {
      slFailed.store(false, std::memory_order_relaxed);
      if (aResult == 0) aResult = EnxBaseException::nxSetMessage(nxeTimeout, kCancelledAfterText);
    }
    slLastLocked.store(nxEngineTickCount(), std::memory_order_relaxed);
    cleanup = LeaveLocked();
  }
  nxSetThreadExceptionHookInfo(nullptr);
  if (cleanup) RunCleanup();
}

bool TnxSimpleLock::LeaveLocked() noexcept {
  if (slFailedFlag) {
    slFailedFlag->store(slFailedOrg, std::memory_order_relaxed);
    slFailedFlag = nullptr;
  }
  slLockCount.store(0, std::memory_order_relaxed);
  slLockingThread.store(0, std::memory_order_release);
  if (!slFailedPermanent.load(std::memory_order_relaxed) || slFailedCleanedup) return false;
  slFailedCleanedup = true;
  return true;
}

void TnxSimpleLock::RunCleanup() noexcept {
  if (!slFailedCleanup) return;
  try {
    slFailedCleanup(*this);
  } catch (...) {
    // A clean-up's failure is the session's own; the lock goes on.
  }
}

void TnxSimpleLock::Failed(bool aPermanent, bool aWait) {
  if (aPermanent) slFailedPermanent.store(true, std::memory_order_release);
  bool cleanup = false;
  {
    TFailedGuard guard(slFailedSpinlock);
    const bool permanent = slFailedPermanent.load(std::memory_order_relaxed);
    if (!slFailed.load(std::memory_order_relaxed) || (permanent && !slFailedCleanedup)) {
      slFailed.store(true, std::memory_order_relaxed);
      if (slFailedFlag) slFailedFlag->store(true, std::memory_order_relaxed);
      if (permanent && !slFailedCleanedup && slLockCount.load(std::memory_order_relaxed) == 0) {
        slFailedCleanedup = true;
        cleanup = true;
      }
    }
  }
  if (cleanup) RunCleanup();
  if (aPermanent && aWait) nxEngineWait(slFailedCleanupDone, kFailedCleanupWait);
}

uint64_t TnxSimpleLock::LastLocked() {
  if (slLockCount.load(std::memory_order_relaxed) > 0) return nxEngineTickCount();
  return slLastLocked.load(std::memory_order_relaxed);
}

}  // namespace revurov
