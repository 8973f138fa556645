// The deferred release of connection memory.
//
// A completion can still be in flight for a connection that was freed, so
// the memory of a freed connection is not returned to the heap at once: it
// waits in six generations that a cleanup thread shifts every 30 s, and is
// returned when it falls off the sixth (150 to 180 s after the free).
//
// Contract:
// - nxRegisterPooledTransport / nxUnregisterPooledTransport pair up per
//   pooled transport. The first registration starts the one cleanup thread
//   of the process; the last unregistration frees it and returns the memory
//   of all six generations at once.
// - nxDeferConnectionRelease takes a block of the library heap (a freed
//   connection's memory, at least a pointer in size) into generation 0. With
//   no pooled transport registered nothing would ever shift it, so it is
//   returned at once.
// - nxShiftFreedConnections is the cleanup thread's step: generation 5 is
//   returned to the heap, generations 0 to 4 move one up.
// - nxSetFreedConnectionCleanupPeriod changes the thread's period (0 puts
//   back 30000 ms), also of a running thread.
// All of them may be called from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace revurov {

inline constexpr int kFreedConnectionGenerations = 6;
inline constexpr uint32_t kFreedConnectionCleanupPeriod = 30000;

void nxRegisterPooledTransport();
void nxUnregisterPooledTransport() noexcept;
void nxDeferConnectionRelease(void* aBlock) noexcept;
void nxShiftFreedConnections() noexcept;
void nxSetFreedConnectionCleanupPeriod(uint32_t aPeriodMs) noexcept;

// What tests and statistics see.
struct TnxFreedConnectionCounts {
  std::array<size_t, kFreedConnectionGenerations> Held{};  // per generation
  uint64_t Returned = 0;  // blocks returned to the heap since the process started
  uint64_t Shifts = 0;    // steps of the cleanup thread since the process started
  uint64_t ThreadsStarted = 0;  // cleanup threads ever started
  int32_t Transports = 0;
  bool ThreadRunning = false;
};
TnxFreedConnectionCounts nxFreedConnectionCounts() noexcept;

}  // namespace revurov
