// The calling thread's identity and scheduling.
//
// Contract: CurrentThreadId is the kernel's id of the calling thread, never 0
// and unique among live threads of the system; YieldThread gives up the rest
// of the time slice (the effect of a zero sleep).
//
// SetThreadNice sets a thread's nice value (-20 most urgent to 19 least),
// and answers false when the system refuses, as it does a raise without
// privileges; the thread then keeps the value it had.
// GetThreadNice reads it back.
//
// TThreadAffinityScope takes the CPUs the calling thread may run on when it
// is made (Saved answers false when the system does not tell, and then
// Allows answers false for every CPU). MoveTo pins the thread to one CPU and
// answers whether the system agreed; the thread runs there once it next is
// scheduled. When the scope ends after a MoveTo, the thread gets back the
// CPUs it had. REQUIRES: made, used and ended on one thread.
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

bool SetThreadNice(uint32_t aThreadId, int aNice) noexcept;
// The thread's nice value; false when the system does not tell.
bool GetThreadNice(uint32_t aThreadId, int& aNice) noexcept;

class TThreadAffinityScope {
public:
  TThreadAffinityScope() noexcept;
  ~TThreadAffinityScope();
  TThreadAffinityScope(const TThreadAffinityScope&) = delete;
  TThreadAffinityScope& operator=(const TThreadAffinityScope&) = delete;

  bool Saved() const noexcept { return asSaved; }
  bool Allows(int aCpu) const noexcept;
  bool MoveTo(int aCpu) noexcept;

private:
  uint64_t asMask[16] = {};  // the system's CPU set, 1024 CPUs
  bool asSaved = false;
  bool asMoved = false;
};

// A hint inside spin loops that the thread waits for another.
inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace revurov::platform
