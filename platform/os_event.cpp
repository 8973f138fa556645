#include "platform/os_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <mutex>
#include <new>
#include <type_traits>

namespace revurov::platform {

// `signalled` is the truth that waiters test without a system call. The
// eventfd is filled only while someone may poll it (a blocked waiter, or a
// caller that took the descriptor), so that signalling and resetting an event
// nobody sleeps on costs no system call. `mirror` serialises the changes of
// flag and descriptor.
//
// No lost wake-up: a waiter registers in `pollers` and then tests the flag; a
// setter stores the flag and then tests `pollers` (all sequentially
// consistent), so either the waiter sees the flag or the setter fills the fd.
//
// A deferred event makes its fd, under `mirror`, only when a wait first has
// to block or the descriptor is asked for. Without one (the system refused
// it), blocked waits test the flag between short sleeps.
struct Event {
  EventHead head;  // `signalled`: first, for EventSignalled
  std::atomic<uint32_t> pollers{0};
  std::atomic<bool> exported{false};
  bool manual = false;
  bool filled = false;  // under mirror: the fd is readable
  std::atomic<int> fd{-1};
  std::mutex mirror;
};

static_assert(std::is_standard_layout_v<Event> && offsetof(Event, head) == 0);

namespace {

void DrainFd(Event* e) noexcept {
  if (!e->filled) return;
  uint64_t value;
  while (read(e->fd.load(std::memory_order_relaxed), &value, sizeof value) < 0 && errno == EINTR) {
  }
  e->filled = false;
}

bool FillFd(Event* e) noexcept {
  if (e->filled) return true;
  // No descriptor yet: nobody polls one; it is filled when it is made.
  if (e->fd.load(std::memory_order_relaxed) < 0) return true;
  const uint64_t one = 1;
  ssize_t n;
  while ((n = write(e->fd.load(std::memory_order_relaxed), &one, sizeof one)) < 0 && errno == EINTR) {
  }
  // EAGAIN means the counter is already non-zero: readable all the same.
  if (n != sizeof one && errno != EAGAIN) return false;
  e->filled = true;
  return true;
}

// The deferred event's descriptor, made now (readable when signalled);
// false, errno set, when the system refuses it.
bool EnsureFd(Event* e) noexcept {
  if (e->fd.load(std::memory_order_acquire) >= 0) return true;
  std::lock_guard lock(e->mirror);
  if (e->fd.load(std::memory_order_relaxed) >= 0) return true;
  const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return false;
  e->fd.store(fd, std::memory_order_release);
  if (e->head.signalled.load(std::memory_order_relaxed)) FillFd(e);
  return true;
}

bool NeedsFd(Event* e) noexcept {
  return e->pollers.load(std::memory_order_seq_cst) != 0 || e->exported.load(std::memory_order_seq_cst);
}

// True when the wait is satisfied; an auto event's signal is taken.
bool TryTake(Event* e) noexcept {
  if (!e->head.signalled.load(std::memory_order_seq_cst)) return false;
  if (e->manual) return true;
  std::lock_guard lock(e->mirror);
  if (!e->head.signalled.load(std::memory_order_relaxed)) return false;
  e->head.signalled.store(0, std::memory_order_relaxed);
  DrainFd(e);
  return true;
}

int64_t NowMs() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint32_t PollWait(Event* e, uint32_t timeoutMs) noexcept {
  const bool limited = timeoutMs != kInfinite;
  const int64_t deadline = limited ? NowMs() + timeoutMs : 0;
  for (;;) {
    if (TryTake(e)) return kWaitObject0;
    int wait = -1;
    if (limited) {
      const int64_t left = deadline - NowMs();
      if (left <= 0) return kWaitTimeout;
      wait = static_cast<int>(left);
    }
    pollfd p{e->fd.load(std::memory_order_acquire), POLLIN, 0};
    // Readable but taken by another waiter of an auto event: wait again.
    if (poll(&p, 1, wait) < 0 && errno != EINTR) return kWaitFailed;
  }
}

int64_t NowNs() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t DeadlineNs(uint32_t timeoutMs) noexcept {
  return timeoutMs == kInfinite ? 0 : NowNs() + int64_t{timeoutMs} * 1000000;
}

// One sleep of a wait without a descriptor: a millisecond at most and never
// past aDeadlineNs (0: none); false once that has passed.
bool SleepUntil(int64_t aDeadlineNs) noexcept {
  int64_t pause = 1000000;
  if (aDeadlineNs != 0) {
    const int64_t left = aDeadlineNs - NowNs();
    if (left <= 0) return false;
    pause = std::min(pause, left);
  }
  const timespec ts{0, static_cast<long>(pause)};
  nanosleep(&ts, nullptr);
  return true;
}

// A deferred event's wait without a descriptor.
uint32_t SleepWait(Event* e, uint32_t timeoutMs) noexcept {
  const int64_t deadline = DeadlineNs(timeoutMs);
  for (;;) {
    if (TryTake(e)) return kWaitObject0;
    if (!SleepUntil(deadline)) return kWaitTimeout;
  }
}

}  // namespace

EventHandle CreateEvent(bool manualReset, bool initialState) noexcept {
  const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return nullptr;
  auto* e = new (std::nothrow) Event;
  if (!e) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  e->manual = manualReset;
  e->fd.store(fd, std::memory_order_relaxed);
  if (initialState) SetEvent(e);
  return e;
}

EventHandle CreateDeferredEvent(bool manualReset, bool initialState) noexcept {
  auto* e = new (std::nothrow) Event;
  if (!e) {
    errno = ENOMEM;
    return nullptr;
  }
  e->manual = manualReset;
  if (initialState) SetEvent(e);
  return e;
}

void CloseEvent(EventHandle event) noexcept {
  if (!event) return;
  if (const int fd = event->fd.load(std::memory_order_relaxed); fd >= 0) close(fd);
  delete event;
}

bool SetEvent(EventHandle e) noexcept {
  if (!e) return false;
  if (e->head.signalled.load(std::memory_order_seq_cst)) return true;
  std::lock_guard lock(e->mirror);
  if (e->head.signalled.load(std::memory_order_relaxed)) return true;
  e->head.signalled.store(1, std::memory_order_seq_cst);
  if (NeedsFd(e) && !FillFd(e)) {
    e->head.signalled.store(0, std::memory_order_relaxed);
    return false;
  }
  return true;
}

bool ResetEvent(EventHandle e) noexcept {
  if (!e) return false;
  if (!e->head.signalled.load(std::memory_order_acquire)) return true;
  std::lock_guard lock(e->mirror);
  e->head.signalled.store(0, std::memory_order_relaxed);
  DrainFd(e);
  return true;
}

uint32_t WaitForEvent(EventHandle e, uint32_t timeoutMs) noexcept {
  if (!e) {
    errno = EBADF;
    return kWaitFailed;
  }
  if (TryTake(e)) return kWaitObject0;
  if (timeoutMs == 0) return kWaitTimeout;
  // From here on setters fill the fd; a signal stored before is seen by the
  // first test in PollWait.
  e->pollers.fetch_add(1, std::memory_order_seq_cst);
  const uint32_t result = EnsureFd(e) ? PollWait(e, timeoutMs) : SleepWait(e, timeoutMs);
  e->pollers.fetch_sub(1, std::memory_order_seq_cst);
  return result;
}

uint32_t WaitForEvents(const EventHandle* events, uint32_t count, uint32_t timeoutMs) noexcept {
  constexpr uint32_t kMaxEvents = 8;
  if (count == 0 || count > kMaxEvents) {
    errno = EINVAL;
    return kWaitFailed;
  }
  for (uint32_t i = 0; i < count; ++i)
    if (!events[i]) {
      errno = EBADF;
      return kWaitFailed;
    }
  for (uint32_t i = 0; i < count; ++i)
    if (TryTake(events[i])) return kWaitObject0 + i;
  if (timeoutMs == 0) return kWaitTimeout;
  for (uint32_t i = 0; i < count; ++i) events[i]->pollers.fetch_add(1, std::memory_order_seq_cst);
  bool polled = true;
  for (uint32_t i = 0; i < count; ++i) polled = EnsureFd(events[i]) && polled;
  const int64_t sleepDeadline = polled ? 0 : DeadlineNs(timeoutMs);
  const bool limited = timeoutMs != kInfinite;
  const int64_t deadline = limited ? NowMs() + timeoutMs : 0;
  uint32_t result = kWaitTimeout;
  for (;;) {
    bool taken = false;
    for (uint32_t i = 0; i < count && !taken; ++i)
      if (TryTake(events[i])) {
        result = kWaitObject0 + i;
        taken = true;
      }
    if (taken) break;
    if (!polled) {
      if (!SleepUntil(sleepDeadline)) break;
      continue;
    }
    int wait = -1;
    if (limited) {
      const int64_t left = deadline - NowMs();
      if (left <= 0) break;
      wait = static_cast<int>(left);
    }
    pollfd p[kMaxEvents];
    for (uint32_t i = 0; i < count; ++i) p[i] = pollfd{events[i]->fd.load(std::memory_order_acquire), POLLIN, 0};
    if (poll(p, count, wait) < 0 && errno != EINTR) {
      result = kWaitFailed;
      break;
    }
  }
  for (uint32_t i = 0; i < count; ++i) events[i]->pollers.fetch_sub(1, std::memory_order_seq_cst);
  return result;
}

int EventFd(EventHandle e) noexcept {
  if (!e) return -1;
  {
    std::lock_guard lock(e->mirror);
    e->exported.store(true, std::memory_order_seq_cst);
    if (e->head.signalled.load(std::memory_order_relaxed)) FillFd(e);
  }
  if (!EnsureFd(e)) return -1;
  return e->fd.load(std::memory_order_acquire);
}

}  // namespace revurov::platform
