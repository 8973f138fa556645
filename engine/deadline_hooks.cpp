#include "engine/deadline_hooks.h"

namespace revurov {

namespace {

void NoSetTimeout(uint32_t, bool) {}
void NoNesting() {}
std::atomic<bool>* NoCancelFlag() { return nullptr; }

std::atomic<TnxSetTimeoutProc> gSetTimeout{&NoSetTimeout};
std::atomic<TnxTimeoutNestingProc> gEnterNesting{&NoNesting};
std::atomic<TnxTimeoutNestingProc> gLeaveNesting{&NoNesting};
std::atomic<TnxThreadCancelFlagFunc> gCancelFlag{&NoCancelFlag};

}  // namespace

void nxInstallSetTimeoutHook(TnxSetTimeoutProc aProc) noexcept {
  gSetTimeout.store(aProc ? aProc : &NoSetTimeout);
}

void nxInstallTimeoutNestingHooks(TnxTimeoutNestingProc aEnter, TnxTimeoutNestingProc aLeave) noexcept {
  gEnterNesting.store(aEnter ? aEnter : &NoNesting);
  gLeaveNesting.store(aLeave ? aLeave : &NoNesting);
}

void nxInstallThreadCancelFlagHook(TnxThreadCancelFlagFunc aFunc) noexcept {
  gCancelFlag.store(aFunc ? aFunc : &NoCancelFlag);
}

void nxResetDeadlineHooks() noexcept {
  nxInstallSetTimeoutHook(nullptr);
  nxInstallTimeoutNestingHooks(nullptr, nullptr);
  nxInstallThreadCancelFlagHook(nullptr);
}

void nxSetTimeoutHook(uint32_t aTimeout, bool aForce) { gSetTimeout.load(std::memory_order_acquire)(aTimeout, aForce); }
void nxEnterTimeoutNestingHook() { gEnterNesting.load(std::memory_order_acquire)(); }
void nxLeaveTimeoutNestingHook() { gLeaveNesting.load(std::memory_order_acquire)(); }
std::atomic<bool>* nxThreadCancelFlagHook() { return gCancelFlag.load(std::memory_order_acquire)(); }

}  // namespace revurov
