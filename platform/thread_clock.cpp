#include "platform/thread_clock.h"

#include <pthread.h>
#include <time.h>

#include <type_traits>

namespace revurov::platform {

static_assert(std::is_same_v<clockid_t, int>, "a clock id fits the record's field");

uint64_t MonotonicMilliseconds() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t MonotonicCoarseMilliseconds() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

namespace {

// Two ticks of the coarse clock in whole milliseconds, rounded up; 0 when
// there is no coarse clock. The kernel moves that clock on a tick, but a
// tick may come late: under load we saw it lag the precise clock by 8 ms
// at a 4-ms tick.
uint64_t CoarseMargin() noexcept {
  timespec res{};
  timespec now{};
  if (clock_getres(CLOCK_MONOTONIC_COARSE, &res) != 0 || clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) return 0;
  const uint64_t ns = static_cast<uint64_t>(res.tv_sec) * 1000000000u + static_cast<uint64_t>(res.tv_nsec);
  return (2 * ns + 999999u) / 1000000u;
}

// Set before main; a reading before that finds 0 and takes the precise
// clock, which is never early. A namespace-scope constant spares the
// guarded local's check on every reading.
const uint64_t gCoarseMargin = CoarseMargin();

}  // namespace

uint64_t MonotonicCoarseCeilingMilliseconds() noexcept {
  const uint64_t margin = gCoarseMargin;
  if (margin == 0) return MonotonicMilliseconds();
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u + margin;
}

int64_t MonotonicNanoseconds() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool CurrentThreadCpuClock(TThreadCpuClock& aClock) noexcept {
  clockid_t id{};
  if (pthread_getcpuclockid(pthread_self(), &id) != 0) return false;
  aClock.Id = id;
  aClock.Valid = true;
  return true;
}

bool ReadThreadCpuClock(const TThreadCpuClock& aClock, uint64_t& aValue) noexcept {
  if (!aClock.Valid) return false;
  timespec ts{};
  if (clock_gettime(static_cast<clockid_t>(aClock.Id), &ts) != 0) return false;
  aValue = static_cast<uint64_t>(ts.tv_sec) * 10000000u + static_cast<uint64_t>(ts.tv_nsec) / 100u;
  return true;
}

}  // namespace revurov::platform
