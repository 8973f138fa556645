#include "platform/os_thread.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace revurov::platform {

uint32_t thread_detail::FetchThreadId() noexcept { return static_cast<uint32_t>(gettid()); }

void YieldThread() noexcept { sched_yield(); }

bool SetThreadNice(uint32_t aThreadId, int aNice) noexcept {
  // Linux keeps nice values per thread: the "process" here is the thread.
  return setpriority(PRIO_PROCESS, static_cast<id_t>(aThreadId), aNice) == 0;
}

bool GetThreadNice(uint32_t aThreadId, int& aNice) noexcept {
  // -1 is also a valid answer: only errno tells a failure.
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(aThreadId));
  if (errno != 0) return false;
  aNice = nice;
  return true;
}

namespace {

static_assert(sizeof(cpu_set_t) == 16 * sizeof(uint64_t));

cpu_set_t* AsCpuSet(uint64_t* mask) noexcept { return reinterpret_cast<cpu_set_t*>(mask); }

}  // namespace

TThreadAffinityScope::TThreadAffinityScope() noexcept {
  asSaved = sched_getaffinity(0, sizeof(cpu_set_t), AsCpuSet(asMask)) == 0;
  if (!asSaved) std::memset(asMask, 0, sizeof asMask);
}

TThreadAffinityScope::~TThreadAffinityScope() {
  if (asMoved) sched_setaffinity(0, sizeof(cpu_set_t), AsCpuSet(asMask));
}

bool TThreadAffinityScope::Allows(int aCpu) const noexcept {
  if (aCpu < 0 || aCpu >= CPU_SETSIZE) return false;
  return CPU_ISSET(aCpu, AsCpuSet(const_cast<uint64_t*>(asMask)));
}

bool TThreadAffinityScope::MoveTo(int aCpu) noexcept {
  if (aCpu < 0 || aCpu >= CPU_SETSIZE) return false;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(aCpu, &one);
  asMoved = true;
  return sched_setaffinity(0, sizeof one, &one) == 0;
}

}  // namespace revurov::platform
