// The calling thread's identity and scheduling.
//
// Contract: CurrentThreadId is the kernel's id of the calling thread, never 0
// and unique among live threads of the system; YieldThread gives up the rest
// of the time slice (the effect of a zero sleep).
#pragma once

#include <cstdint>

namespace revurov::platform {

namespace thread_detail {
uint32_t FetchThreadId() noexcept;
inline thread_local uint32_t tlsThreadId = 0;
}  // namespace thread_detail

// Inline and cached: the locks ask on every entry.
inline uint32_t CurrentThreadId() noexcept {
  uint32_t id = thread_detail::tlsThreadId;
  if (__builtin_expect(id == 0, 0)) id = thread_detail::tlsThreadId = thread_detail::FetchThreadId();
  return id;
}

void YieldThread() noexcept;

// A hint inside spin loops that the thread waits for another.
inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace revurov::platform
