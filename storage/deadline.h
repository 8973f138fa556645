// The calling thread's operation deadline: every public engine operation
// sets it (through the engine's hooks), every long storage or index loop
// tests it, and another thread may cancel the operation through the
// thread's cancel flag.
//
// Contract:
// - All state is the calling thread's own; only the cancel flag is written
//   by other threads (through the pointer nxThreadCancelFlag hands out) and
//   read by its own thread at the next check. No routine locks or
//   allocates.
// - Time is nxDeadlineTickCount: milliseconds of the monotonic clock, or of
//   the clock a test installs with nxSetDeadlineClock (nil: the real one).
//   On the real clock a deadline is set from the coarse clock: it ends up
//   to two of its ticks (8 ms at a 4-ms tick) late, not early.
// - A deadline of 0 (never set) and of nxNoDeadline both mean none.
// - nxCheckTimeout raises EnxServerException 15461: "Processing cancelled"
//   when the flag is set; the code's own text when the deadline has passed
//   or is less than 10 ms away. At most once per 1000 ms it first calls the
//   thread's breath routine (nxThreadBreath).
// - nxRemainingTimeout: 1 when cancelled; 0 without a deadline or with at
//   most 1 ms left; otherwise the milliseconds left, at most 2147483647.
// - While the nesting counter is above 0, nxSetTimeout without aForce keeps
//   the outermost operation's deadline.
// - nxInstallDeadlineHooks puts these routines into the engine's hook
//   variables; nxResetDeadlineHooks (engine/deadline_hooks.h) takes them out.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

namespace revurov {

inline constexpr int64_t nxNoDeadline = std::numeric_limits<int64_t>::max();

void nxSetTimeout(uint32_t aTimeout, bool aForce) noexcept;
void nxCheckTimeout();
int32_t nxRemainingTimeout() noexcept;
int64_t nxGetDeadline() noexcept;
void nxEnterTimeoutNesting() noexcept;
void nxLeaveTimeoutNesting() noexcept;
std::atomic<bool>* nxThreadCancelFlag() noexcept;

void nxInstallDeadlineHooks() noexcept;

using TnxDeadlineClockFunc = uint64_t (*)();
uint64_t nxDeadlineTickCount() noexcept;
void nxSetDeadlineClock(TnxDeadlineClockFunc aTickCount) noexcept;

}  // namespace revurov
