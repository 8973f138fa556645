// Clocks of the running system: the monotonic clock in milliseconds and
// nanoseconds, and a thread's processor-time clock.
//
// Contract:
// - MonotonicMilliseconds / MonotonicNanoseconds never go back and do not
//   follow changes of the wall clock. MonotonicCoarseMilliseconds is the
//   same clock read cheaply, to the kernel's tick (a few ms), as a tick
//   count of the old system was.
// - MonotonicCoarseCeilingMilliseconds is the coarse reading moved up by
//   two of its ticks: at most two ticks after MonotonicMilliseconds read at
//   the same moment, and not before it while the coarse clock lags by at
//   most two ticks (one as a rule; two seen on a loaded virtual machine).
//   Where the system has no coarse clock it is MonotonicMilliseconds.
// - CurrentThreadCpuClock takes the calling thread's processor-time clock;
//   any thread may read it through ReadThreadCpuClock while that thread
//   lives. The reading is kernel plus user time in 100-ns units. Both
//   answer false when the system refuses (the reading is then untouched).
#pragma once

#include <cstdint>

namespace revurov::platform {

uint64_t MonotonicMilliseconds() noexcept;
uint64_t MonotonicCoarseMilliseconds() noexcept;
uint64_t MonotonicCoarseCeilingMilliseconds() noexcept;
int64_t MonotonicNanoseconds() noexcept;

struct TThreadCpuClock {
  int32_t Id = 0;
  bool Valid = false;
};

bool CurrentThreadCpuClock(TThreadCpuClock& aClock) noexcept;
bool ReadThreadCpuClock(const TThreadCpuClock& aClock, uint64_t& aValue) noexcept;

}  // namespace revurov::platform
