// Named shared memory between processes: objects found by name, views of
// them, the identity of the process that owns one, mutexes that survive the
// death of their holder, and waits on a word in shared memory.
//
// Contract:
// - Names are the mapping's own text (UTF-8) without a leading "/", at most
//   254 bytes and without "/" (EINVAL otherwise). A name and its memory
//   outlive every holder until it is unlinked, also the death of the
//   process that made it: whoever finds one tells a live owner's from a
//   dead one's by the owner record that the owner stored in it.
// - TSharedMemory owns one open object and closes it when it ends. Open
//   finds the object by name, or with aCreate makes it (empty, readable and
//   writable by this user only) when there is none; false with errno
//   (ENOENT: none and not to be made; EACCES: another user's). Create makes
//   a new object and fails with EEXIST when the name is taken. Resize sets
//   the size; bytes beyond the old end read as zero. State answers the size
//   and whether the name was unlinked since the object was opened (its
//   memory lives on for its holders, but no later Open finds it).
// - Lock is an exclusive lock on the object, shared by every holder in
//   every process and by every Open of it in this one (each Open locks on
//   its own). It waits at most aTimeoutMs and answers false when that runs
//   out or the system fails. The lock ends with Unlock, with Close, or with
//   the death of the process holding it; it never outlives its holder.
//   TSharedMemoryLock holds it for its own lifetime.
// - TSharedView maps a prefix of an object; the view stays valid after the
//   object is closed and is unmapped when the view ends. Stores through a
//   view are seen by every process that maps the object.
// - The owner record is 16 bytes in a mapping: the process id (32 bits) at
//   +0 and its start time (64 bits) at +8, little-endian; the 4 bytes in
//   between are left alone. ProcessIsAlive (process.h) on what LoadOwner
//   answers tells whether the owner still runs.
// - TSharedMutex lives inside shared memory and works for every process
//   that maps it (the same object at any address). REQUIRES: Init by one
//   process, before any other uses it and never again while it is in use.
//   Lock waits without limit; TryLock answers at once (Busy when held);
//   LockFor waits at most aTimeoutMs (Busy when that ran out).
//   When a holder dies, the next Lock or TryLock gets the mutex with
//   OwnerDied: the data it guards may be half-changed. The new holder
//   repairs it and calls MarkConsistent before Unlock; unlocked without
//   that, the mutex is spent and every later Lock answers Failed. Not
//   re-entrant. REQUIRES: Unlock only by the holder.
// - FutexWait sleeps while the 32-bit word (in shared memory or not) holds
//   expected, for at most aTimeoutMs (kInfinite: no limit). It answers
//   Changed at once when the word differs, TimedOut when the time ran out,
//   and Woken otherwise; a wake may come without a FutexWake (a signal), so
//   the caller looks at its word again. Failed (errno set) when the system
//   refuses the wait. FutexWake wakes up to aCount sleepers on the word in
//   any process and answers how many it woke.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/handles.h"
#include "platform/os_event.h"
#include "platform/process.h"

namespace revurov::platform {

struct TSharedMemoryState {
  uint64_t Size = 0;
  bool Unlinked = false;
};

class TSharedMemory {
public:
  TSharedMemory() noexcept = default;
  // Takes over a handle that an earlier Release gave out.
  explicit TSharedMemory(THandle aHandle) noexcept : smHandle(aHandle) {}
  ~TSharedMemory() { Close(); }
  TSharedMemory(TSharedMemory&& aOther) noexcept : smHandle(aOther.Release()) {}
  TSharedMemory& operator=(TSharedMemory&& aOther) noexcept;
  TSharedMemory(const TSharedMemory&) = delete;
  TSharedMemory& operator=(const TSharedMemory&) = delete;

  bool Open(const std::string& aName, bool aCreate) noexcept;
  bool Create(const std::string& aName) noexcept;
  void Close() noexcept;
  // Gives up ownership: the caller closes the handle (or hands it back to
  // a TSharedMemory).
  THandle Release() noexcept;
  bool IsOpen() const noexcept { return smHandle != INVALID_HANDLE_VALUE; }
  THandle Handle() const noexcept { return smHandle; }

  bool State(TSharedMemoryState& aState) const noexcept;
  bool Resize(uint64_t aSize) noexcept;
  bool Lock(uint32_t aTimeoutMs) noexcept;
  bool Unlock() noexcept;

  static bool Unlink(const std::string& aName) noexcept;

private:
  THandle smHandle = INVALID_HANDLE_VALUE;
};

// Holds the object's lock from a successful construction to its end. Keeps
// the handle, not the object: a lock taken before Release ends on the
// released handle.
class TSharedMemoryLock {
public:
  TSharedMemoryLock(TSharedMemory& aMemory, uint32_t aTimeoutMs) noexcept;
  ~TSharedMemoryLock();
  TSharedMemoryLock(const TSharedMemoryLock&) = delete;
  TSharedMemoryLock& operator=(const TSharedMemoryLock&) = delete;
  bool Locked() const noexcept { return lHandle != INVALID_HANDLE_VALUE; }

private:
  THandle lHandle = INVALID_HANDLE_VALUE;
};

class TSharedView {
public:
  TSharedView() noexcept = default;
  ~TSharedView() { Unmap(); }
  TSharedView(const TSharedView&) = delete;
  TSharedView& operator=(const TSharedView&) = delete;

  // The first aSize bytes of the object; false with errno on failure.
  bool Map(const TSharedMemory& aMemory, std::size_t aSize, bool aWritable) noexcept;
  void Unmap() noexcept;
  uint8_t* Data() const noexcept { return vData; }
  std::size_t Size() const noexcept { return vSize; }

private:
  uint8_t* vData = nullptr;
  std::size_t vSize = 0;
};

constexpr std::size_t kOwnerRecordSize = 16;
void StoreOwner(uint8_t* aRecord, const TProcessIdentity& aOwner) noexcept;
TProcessIdentity LoadOwner(const uint8_t* aRecord) noexcept;

class TSharedMutex {
public:
  enum class TLockResult : uint8_t { Locked, OwnerDied, Busy, Failed };

  bool Init() noexcept;
  TLockResult Lock() noexcept;
  TLockResult TryLock() noexcept;
  TLockResult LockFor(uint32_t aTimeoutMs) noexcept;
  bool MarkConsistent() noexcept;
  void Unlock() noexcept;

private:
  alignas(8) unsigned char smStorage[40];
};

// Holds a shared mutex for its own lifetime when the lock succeeded
// (Locked or OwnerDied).
class TSharedMutexGuard {
public:
  explicit TSharedMutexGuard(TSharedMutex& aMutex) noexcept : gMutex(aMutex), gResult(aMutex.Lock()) {}
  ~TSharedMutexGuard() {
    if (Held()) gMutex.Unlock();
  }
  TSharedMutexGuard(const TSharedMutexGuard&) = delete;
  TSharedMutexGuard& operator=(const TSharedMutexGuard&) = delete;

  TSharedMutex::TLockResult Result() const noexcept { return gResult; }
  bool Held() const noexcept {
    return gResult == TSharedMutex::TLockResult::Locked || gResult == TSharedMutex::TLockResult::OwnerDied;
  }

private:
  TSharedMutex& gMutex;
  TSharedMutex::TLockResult gResult;
};

enum class TFutexWaitResult : uint8_t { Woken, Changed, TimedOut, Failed };

TFutexWaitResult FutexWait(std::atomic<uint32_t>& aWord, uint32_t aExpected, uint32_t aTimeoutMs) noexcept;
int FutexWake(std::atomic<uint32_t>& aWord, int aCount) noexcept;

}  // namespace revurov::platform
