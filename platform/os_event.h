// Events: the library's wait objects, in manual-reset and auto-reset form.
//
// Contract:
// - An event is signalled or not. SetEvent signals it (no effect when it is
//   signalled already); ResetEvent clears it.
// - WaitForEvent returns kWaitObject0 once the event is signalled. A manual
//   event stays signalled and releases every waiter; an auto event is cleared
//   by the one wait that it releases, so each signal releases one waiter.
// - timeoutMs is the longest wait; kInfinite waits without limit and 0 only
//   tests. A wait that runs out returns kWaitTimeout; a failed wait (a null
//   handle, a failed system call) returns kWaitFailed with errno set.
// - WaitForEvents waits until one of several events is signalled and
//   answers kWaitObject0 + its index (the lowest index when several are);
//   only that one's signal is taken.
// - EventFd gives a descriptor that polls readable exactly while the event is
//   signalled, so an event can be waited for together with sockets. Polling
//   it never consumes an auto event's signal.
// - CreateDeferredEvent makes an event whose descriptor comes only when a
//   wait first has to block or EventFd asks for it, so an event nobody
//   sleeps on costs no descriptor. When the system refuses one then, its
//   waits test the event between sleeps of a millisecond and do not fail;
//   EventFd answers -1 with errno set.
// - EventSignalled answers whether the event is signalled now, as a wait
//   of 0 ms would, but takes no auto event's signal; it is inline, for
//   hot paths that test an event which is nearly always set. The handle
//   must not be null.
// - All operations may be called from any thread; CloseEvent must not race
//   with other use of the same handle. A null handle is accepted everywhere
//   (Set/Reset answer false, Close ignores it) except by EventSignalled.
#pragma once

#include <atomic>
#include <cstdint>

namespace revurov::platform {

// What EventSignalled reads: the first member of every event.
struct EventHead {
  std::atomic<uint32_t> signalled{0};
};

struct Event;
using EventHandle = Event*;

inline bool EventSignalled(EventHandle event) noexcept {
  // An event is standard-layout and starts with its head, so the two
  // addresses are one.
  return reinterpret_cast<const EventHead*>(event)->signalled.load(std::memory_order_seq_cst) != 0;
}

constexpr uint32_t kInfinite = 0xFFFFFFFF;
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;

// Null (errno set) when the system refuses an event.
EventHandle CreateEvent(bool manualReset, bool initialState) noexcept;
// Null (errno ENOMEM) only when memory runs out.
EventHandle CreateDeferredEvent(bool manualReset, bool initialState) noexcept;
void CloseEvent(EventHandle event) noexcept;
bool SetEvent(EventHandle event) noexcept;
bool ResetEvent(EventHandle event) noexcept;
uint32_t WaitForEvent(EventHandle event, uint32_t timeoutMs) noexcept;
uint32_t WaitForEvents(const EventHandle* events, uint32_t count, uint32_t timeoutMs) noexcept;
int EventFd(EventHandle event) noexcept;

}  // namespace revurov::platform
