// The running process and its relation to others: ids, start times, and the
// work done around fork.
//
// Contract:
// - CurrentProcessId is the calling process's id; it differs in a forked
//   child from its parent's.
// - ProcessStartTime is the time a process started, in clock ticks after
//   boot, or 0 when no such process exists or the system does not tell.
//   Process ids are reused; the id with its start time is a process's
//   identity (TProcessIdentity), which no later process shares.
// - ProcessIsAlive answers whether the process of that identity still runs:
//   false once it has ended (also while its parent has not yet collected
//   it) or when its id now belongs to another process. An identity with a
//   start time of 0 is never alive.
// - RegisterForkHandlers arranges that every later fork of the process
//   calls before in the forking thread before the fork, inParent in it
//   after, and inChild in the child's only thread; any of them may be null.
//   Handlers registered later run their before first and their after last.
//   Register once per set: there is no way to take them back. False when
//   the system has no room for them.
// - ForkProcess forks: 0 in the child, the child's id in the parent, -1
//   when it fails. The child has only the forking thread, so it should do
//   little and end with ExitProcessNow, which runs no exit handlers and no
//   destructors of the parent's objects.
// - KillProcess ends a process at once, giving it no chance to clean up
//   (its sockets are closed by the system). WaitProcess collects an ended
//   child, waiting for it; false when aPid is no child of this process.
#pragma once

#include <cstdint>

namespace revurov::platform {

struct TProcessIdentity {
  uint32_t Pid = 0;
  uint64_t StartTime = 0;
  friend bool operator==(const TProcessIdentity&, const TProcessIdentity&) = default;
};

uint32_t CurrentProcessId() noexcept;
uint64_t ProcessStartTime(uint32_t aPid) noexcept;
TProcessIdentity CurrentProcessIdentity() noexcept;
bool ProcessIsAlive(const TProcessIdentity& aProcess) noexcept;

bool RegisterForkHandlers(void (*before)(), void (*inParent)(), void (*inChild)()) noexcept;
int32_t ForkProcess() noexcept;
[[noreturn]] void ExitProcessNow(int aCode) noexcept;
bool KillProcess(uint32_t aPid) noexcept;
bool WaitProcess(uint32_t aPid) noexcept;

}  // namespace revurov::platform
