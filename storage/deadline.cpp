#include "storage/deadline.h"

#include "engine/deadline_hooks.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/sync/events.h"
#include "platform/thread_clock.h"
#include "storage/server_exceptions.h"

namespace revurov {

namespace {

struct TDeadlineState {
  int64_t Deadline = 0;
  int32_t Nesting = 0;
  int64_t LastProgress = 0;
  std::atomic<bool> Cancelled{false};
};

// Constant-initialised, so reaching it needs no guard call per access.
constinit thread_local TDeadlineState tlsDeadline;

uint64_t RealTickCount() { return platform::MonotonicMilliseconds(); }
// Every operation sets a deadline, so its start is read from the coarse
// clock (a memory read; the precise one costs 30 ns under a hypervisor),
// moved up by two ticks: the deadline ends no earlier than the precise
// clock says, and at most two ticks (8 ms at the usual 4-ms tick) later.
// No wrapper of ours: each call level shows in the per-operation cost.
constexpr TnxDeadlineClockFunc kRealStartCount = &platform::MonotonicCoarseCeilingMilliseconds;

std::atomic<TnxDeadlineClockFunc> gTickCount{&RealTickCount};
std::atomic<TnxDeadlineClockFunc> gStartCount{kRealStartCount};

constexpr int64_t kProgressInterval = 1000;
constexpr int64_t kDeadlineMargin = 10;

// A thread that never set a deadline holds 0; it has none, rather than one
// that passed at boot (which would fail every check of a start-up or task
// thread at once).
bool HasDeadline(int64_t aDeadline) noexcept { return aDeadline != 0 && aDeadline != nxNoDeadline; }

int64_t Now() noexcept { return static_cast<int64_t>(nxDeadlineTickCount()); }

[[noreturn]] void RaiseCancelled() { throw EnxServerException(nxeTimeout, u"Processing cancelled"); }
[[noreturn]] void RaiseTimedOut() { throw EnxServerException(nxeTimeout); }

}  // namespace

uint64_t nxDeadlineTickCount() noexcept { return gTickCount.load(std::memory_order_relaxed)(); }

void nxSetDeadlineClock(TnxDeadlineClockFunc aTickCount) noexcept {
  gTickCount.store(aTickCount ? aTickCount : &RealTickCount);
  gStartCount.store(aTickCount ? aTickCount : kRealStartCount);
}

void nxSetTimeout(uint32_t aTimeout, bool aForce) noexcept {
  TDeadlineState& state = tlsDeadline;
  if (state.Nesting > 0 && !aForce) return;
  if (aTimeout != 0 && aTimeout != UINT32_MAX)
    state.Deadline = static_cast<int64_t>(gStartCount.load(std::memory_order_relaxed)()) + static_cast<int64_t>(aTimeout);
  else
    state.Deadline = nxNoDeadline;
}

void nxCheckTimeout() {
  TDeadlineState& state = tlsDeadline;
  const int64_t now = Now();
  if (state.LastProgress + kProgressInterval < now) {
    nxThreadBreath();
    state.LastProgress = Now();
  } else if (now < state.LastProgress) {
    state.LastProgress = now;
  }
  if (state.Cancelled.load(std::memory_order_relaxed)) RaiseCancelled();
  if (HasDeadline(state.Deadline) && state.Deadline - now < kDeadlineMargin) RaiseTimedOut();
}

int32_t nxRemainingTimeout() noexcept {
  const TDeadlineState& state = tlsDeadline;
  if (state.Cancelled.load(std::memory_order_relaxed)) return 1;
  if (!HasDeadline(state.Deadline)) return 0;
  const int64_t left = state.Deadline - Now();
  if (left <= 1) return 0;
  return left > INT32_MAX ? INT32_MAX : static_cast<int32_t>(left);
}

int64_t nxGetDeadline() noexcept { return tlsDeadline.Deadline; }

void nxEnterTimeoutNesting() noexcept { ++tlsDeadline.Nesting; }
void nxLeaveTimeoutNesting() noexcept { --tlsDeadline.Nesting; }

std::atomic<bool>* nxThreadCancelFlag() noexcept { return &tlsDeadline.Cancelled; }

void nxInstallDeadlineHooks() noexcept {
  nxInstallSetTimeoutHook(&nxSetTimeout);
  nxInstallTimeoutNestingHooks(&nxEnterTimeoutNesting, &nxLeaveTimeoutNesting);
  nxInstallThreadCancelFlagHook(&nxThreadCancelFlag);
}

}  // namespace revurov
