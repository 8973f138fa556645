#include "platform/os_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>

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
struct Event {
  std::atomic<uint32_t> signalled{0};
  std::atomic<uint32_t> pollers{0};
  std::atomic<bool> exported{false};
  bool manual = false;
  bool filled = false;  // under mirror: the fd is readable
  int fd = -1;
  std::mutex mirror;
};

namespace {

void DrainFd(Event* e) noexcept {
  if (!e->filled) return;
  uint64_t value;
  while (read(e->fd, &value, sizeof value) < 0 && errno == EINTR) {
  }
  e->filled = false;
}

bool FillFd(Event* e) noexcept {
  if (e->filled) return true;
  const uint64_t one = 1;
  ssize_t n;
  while ((n = write(e->fd, &one, sizeof one)) < 0 && errno == EINTR) {
  }
  // EAGAIN means the counter is already non-zero: readable all the same.
  if (n != sizeof one && errno != EAGAIN) return false;
  e->filled = true;
  return true;
}

bool NeedsFd(Event* e) noexcept {
  return e->pollers.load(std::memory_order_seq_cst) != 0 || e->exported.load(std::memory_order_seq_cst);
}

// True when the wait is satisfied; an auto event's signal is taken.
bool TryTake(Event* e) noexcept {
  if (!e->signalled.load(std::memory_order_seq_cst)) return false;
  if (e->manual) return true;
  std::lock_guard lock(e->mirror);
  if (!e->signalled.load(std::memory_order_relaxed)) return false;
  e->signalled.store(0, std::memory_order_relaxed);
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
    pollfd p{e->fd, POLLIN, 0};
    // Readable but taken by another waiter of an auto event: wait again.
    if (poll(&p, 1, wait) < 0 && errno != EINTR) return kWaitFailed;
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
  e->fd = fd;
  if (initialState) SetEvent(e);
  return e;
}

void CloseEvent(EventHandle event) noexcept {
  if (!event) return;
  close(event->fd);
  delete event;
}

bool SetEvent(EventHandle e) noexcept {
  if (!e) return false;
  if (e->signalled.load(std::memory_order_seq_cst)) return true;
  std::lock_guard lock(e->mirror);
  if (e->signalled.load(std::memory_order_relaxed)) return true;
  e->signalled.store(1, std::memory_order_seq_cst);
  if (NeedsFd(e) && !FillFd(e)) {
    e->signalled.store(0, std::memory_order_relaxed);
    return false;
  }
  return true;
}

bool ResetEvent(EventHandle e) noexcept {
  if (!e) return false;
  if (!e->signalled.load(std::memory_order_acquire)) return true;
  std::lock_guard lock(e->mirror);
  e->signalled.store(0, std::memory_order_relaxed);
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
  const uint32_t result = PollWait(e, timeoutMs);
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
    int wait = -1;
    if (limited) {
      const int64_t left = deadline - NowMs();
      if (left <= 0) break;
      wait = static_cast<int>(left);
    }
    pollfd p[kMaxEvents];
    for (uint32_t i = 0; i < count; ++i) p[i] = pollfd{events[i]->fd, POLLIN, 0};
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
  std::lock_guard lock(e->mirror);
  e->exported.store(true, std::memory_order_seq_cst);
  if (e->signalled.load(std::memory_order_relaxed)) FillFd(e);
  return e->fd;
}

}  // namespace revurov::platform
