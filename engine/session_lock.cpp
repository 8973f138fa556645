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

namespace {

void Backoff(uint32_t& aSpins) noexcept {
  if (++aSpins < 64) {
    platform::CpuRelax();
  } else {
    platform::YieldThread();
  }
}

}  // namespace

// The lock word is held for a few instructions only: the clean-up never
// runs under it.
bool TnxSimpleLock::AcquireFailedWord(uint64_t aOwner) noexcept {
  for (uint32_t spins = 0;;) {
    uint64_t expected = aOwner;
    if (slState.compare_exchange_weak(expected, aOwner | kFailedBusy, std::memory_order_acquire,
                                      std::memory_order_relaxed))
      return true;
    if ((expected & kOwnerMask) != aOwner) return false;
    Backoff(spins);
  }
}

uint64_t TnxSimpleLock::AcquireFailedWordAnyOwner() noexcept {
  for (uint32_t spins = 0;;) {
    uint64_t state = slState.load(std::memory_order_relaxed);
    if (!(state & kFailedBusy) &&
        slState.compare_exchange_weak(state, state | kFailedBusy, std::memory_order_acquire,
                                      std::memory_order_relaxed))
      return state;
    Backoff(spins);
  }
}

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

  const uint64_t self = platform::CurrentThreadId();
  // Free: take the owner and the lock word at once (a reporter holding the
  // word of a free lock is waited for).
  if (!AcquireFailedWord(0)) {
    if ((slState.load(std::memory_order_relaxed) & kOwnerMask) != self) RaiseReentry(&slExceptionHookInfo);
    // Re-entry consumes no failure: the first entry or the last exit does.
    slLockCount.fetch_add(1, std::memory_order_relaxed);
    nxSetThreadExceptionHookInfo(&slExceptionHookInfo);
    return;
  }

  uint32_t refusal = 0;
  bool cleanup = false;
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
  if (refusal) {
    cleanup = LeaveLocked();
    slState.store(0, std::memory_order_release);
    if (cleanup) RunCleanup();
    if (refusal == nxeInvalidHandle) throw EnxBaseException(nxeInvalidHandle, kPermanentlyFailedText);
    throw EnxBaseException(nxeTimeout, kCancelledText);
  }
  slState.store(self, std::memory_order_release);
  if (slStats) slStats->Enter();
  nxSetThreadExceptionHookInfo(&slExceptionHookInfo);
}

void TnxSimpleLock::Unlock(uint32_t& aResult) {
  const uint64_t self = platform::CurrentThreadId();
  if ((slState.load(std::memory_order_relaxed) & kOwnerMask) != self) RaiseReentry(&slExceptionHookInfo);
  if (slLockCount.load(std::memory_order_relaxed) > 1) {
    slLockCount.fetch_sub(1, std::memory_order_relaxed);
    return;
  }

  if (slStats) slStats->Leave();
  AcquireFailedWord(self);  // the owner cannot change under its own feet
  if (slFailedPermanent.load(std::memory_order_relaxed)) {
    // nothing to report: the session is gone for good
  } else if (slFailed.load(std::memory_order_relaxed)) {
    slFailed.store(false, std::memory_order_relaxed);
    if (aResult == 0) aResult = EnxBaseException::nxSetMessage(nxeTimeout, kCancelledAfterText);
  }
  slLastLocked.store(nxEngineTickCount(), std::memory_order_relaxed);
  const bool cleanup = LeaveLocked();
  slState.store(0, std::memory_order_release);
  nxSetThreadExceptionHookInfo(nullptr);
  if (cleanup) RunCleanup();
}

bool TnxSimpleLock::LeaveLocked() noexcept {
  if (slFailedFlag) {
    slFailedFlag->store(slFailedOrg, std::memory_order_relaxed);
    slFailedFlag = nullptr;
  }
  slLockCount.store(0, std::memory_order_relaxed);
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
  const uint64_t state = AcquireFailedWordAnyOwner();
  const bool permanent = slFailedPermanent.load(std::memory_order_relaxed);
  if (!slFailed.load(std::memory_order_relaxed) || (permanent && !slFailedCleanedup)) {
    slFailed.store(true, std::memory_order_relaxed);
    if (slFailedFlag) slFailedFlag->store(true, std::memory_order_relaxed);
    if (permanent && !slFailedCleanedup && (state & kOwnerMask) == 0) {
      slFailedCleanedup = true;
      cleanup = true;
    }
  }
  slState.store(state, std::memory_order_release);
  if (cleanup) RunCleanup();
  if (aPermanent && aWait) nxEngineWait(slFailedCleanupDone, kFailedCleanupWait);
}

uint64_t TnxSimpleLock::LastLocked() {
  if (slLockCount.load(std::memory_order_relaxed) > 0) return nxEngineTickCount();
  return slLastLocked.load(std::memory_order_relaxed);
}

}  // namespace revurov
