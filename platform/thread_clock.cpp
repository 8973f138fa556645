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
