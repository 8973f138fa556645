// How engine-interface code reaches the per-thread deadline and cancel flag
// of the storage engine without depending on it, and the process-wide
// fatal-error flag.
//
// Contract:
// - Each hook holds a routine that does nothing (the cancel-flag hook
//   answers nil) until the storage engine's deadline unit installs its own;
//   nxResetDeadlineHooks puts the defaults back. A nil store means the
//   default as well, so a caller never finds an empty hook.
// - The cancel flag is the calling thread's own; another thread may set it
//   (the session lock does when the session is reported failed), hence an
//   atomic.
// - nxFatalErrorFlag: set when committed data could not be flushed; while
//   set, every session lock refuses to be taken (15443).
#pragma once

#include <atomic>
#include <cstdint>

namespace revurov {

using TnxSetTimeoutProc = void (*)(uint32_t aTimeout, bool aForce);
using TnxTimeoutNestingProc = void (*)();
using TnxThreadCancelFlagFunc = std::atomic<bool>* (*)();

void nxInstallSetTimeoutHook(TnxSetTimeoutProc aProc) noexcept;
void nxInstallTimeoutNestingHooks(TnxTimeoutNestingProc aEnter, TnxTimeoutNestingProc aLeave) noexcept;
void nxInstallThreadCancelFlagHook(TnxThreadCancelFlagFunc aFunc) noexcept;
void nxResetDeadlineHooks() noexcept;

void nxSetTimeoutHook(uint32_t aTimeout, bool aForce);
void nxEnterTimeoutNestingHook();
void nxLeaveTimeoutNestingHook();
std::atomic<bool>* nxThreadCancelFlagHook();

inline std::atomic<bool> nxFatalErrorFlag{false};

}  // namespace revurov
