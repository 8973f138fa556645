// The process's own locks: a recursive mutex and a reader/writer lock.
//
// Contract:
// - TOsMutex is re-entrant for the owning thread: every Lock, and every
//   TryLock that answered true, needs one Unlock by the same thread. Lock
//   blocks without limit; TryLock answers at once. REQUIRES: Unlock only by
//   the owner, and no thread holds the mutex when it is destroyed. The
//   constructor raises EOutOfMemory when the system refuses a mutex.
// - TOsReadWriteLock lets any number of readers in together, or one writer
//   alone; it is not re-entrant. A zero-filled one is ready and unlocked, so
//   one with static storage works before any constructor runs and still
//   while the process exits: it is constant-initialised and never destroyed
//   (an unlocked lock holds nothing of the system's).
// - Both keep the system's lock in opaque storage of its exact size and
//   alignment, so no header above the platform sees an OS header. TOsMutex
//   locks on hot paths: its Lock, Unlock and TryLock are inline, defined in
//   platform/os_mutex_inline.h, which every source file that calls them
//   includes (the compiler refuses a call without it) and no header does.
#pragma once

#include <cstdint>

namespace revurov::platform {

class TOsMutex {
public:
  TOsMutex();
  ~TOsMutex();
  TOsMutex(const TOsMutex&) = delete;
  TOsMutex& operator=(const TOsMutex&) = delete;

  inline void Lock() noexcept;
  inline void Unlock() noexcept;
  inline bool TryLock() noexcept;

private:
  alignas(8) unsigned char mStorage[40];
};

class TOsReadWriteLock {
public:
  constexpr TOsReadWriteLock() noexcept = default;
  ~TOsReadWriteLock() = default;
  TOsReadWriteLock(const TOsReadWriteLock&) = delete;
  TOsReadWriteLock& operator=(const TOsReadWriteLock&) = delete;

  void BeginRead() noexcept;
  void EndRead() noexcept;
  void BeginWrite() noexcept;
  void EndWrite() noexcept;

private:
  alignas(8) unsigned char rwStorage[56] = {};
};

}  // namespace revurov::platform
