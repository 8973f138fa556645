#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>

namespace revurov::platform {

// `signalled` is the truth that waiters test without a system call; the
// eventfd mirrors it (readable exactly while signalled) for blocked waiters
// and for callers that poll it beside sockets. `mirror` serialises the
// changes, so that flag and descriptor never disagree.
struct Event {
  std::atomic<uint32_t> signalled{0};
  bool manual = false;
  int fd = -1;
  std::mutex mirror;
};

namespace {

void DrainFd(int fd) noexcept {
  uint64_t value;
  while (read(fd, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

bool FillFd(int fd) noexcept {
  const uint64_t one = 1;
  ssize_t n;
  while ((n = write(fd, &one, sizeof one)) < 0 && errno == EINTR) {
  }
  // EAGAIN means the counter is already non-zero: readable all the same.
  return n == sizeof one || errno == EAGAIN;
}

// True when the wait is satisfied; an auto event's signal is taken.
bool TryTake(Event* e) noexcept {
  if (!e->signalled.load(std::memory_order_acquire)) return false;
  if (e->manual) return true;
  std::lock_guard lock(e->mirror);
  if (!e->signalled.load(std::memory_order_relaxed)) return false;
  e->signalled.store(0, std::memory_order_relaxed);
  DrainFd(e->fd);
  return true;
}

int64_t NowMs() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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
  if (e->signalled.load(std::memory_order_acquire)) return true;
  std::lock_guard lock(e->mirror);
  if (e->signalled.load(std::memory_order_relaxed)) return true;
  if (!FillFd(e->fd)) return false;
  e->signalled.store(1, std::memory_order_release);
  return true;
}

bool ResetEvent(EventHandle e) noexcept {
  if (!e) return false;
  if (!e->signalled.load(std::memory_order_acquire)) return true;
  std::lock_guard lock(e->mirror);
  if (e->signalled.load(std::memory_order_relaxed)) {
    e->signalled.store(0, std::memory_order_relaxed);
    DrainFd(e->fd);
  }
  return true;
}

uint32_t WaitForEvent(EventHandle e, uint32_t timeoutMs) noexcept {
  if (!e) {
    errno = EBADF;
    return kWaitFailed;
  }
  if (TryTake(e)) return kWaitObject0;
  if (timeoutMs == 0) return kWaitTimeout;
  const bool limited = timeoutMs != kInfinite;
  const int64_t deadline = limited ? NowMs() + timeoutMs : 0;
  for (;;) {
    int wait = -1;
    if (limited) {
      const int64_t left = deadline - NowMs();
      if (left <= 0) return TryTake(e) ? kWaitObject0 : kWaitTimeout;
      wait = static_cast<int>(left);
    }
    pollfd p{e->fd, POLLIN, 0};
    const int r = poll(&p, 1, wait);
    if (r < 0 && errno != EINTR) return kWaitFailed;
    // Readable but taken by another waiter of an auto event: wait again.
    if (TryTake(e)) return kWaitObject0;
  }
}

int EventFd(EventHandle event) noexcept { return event ? event->fd : -1; }

}  // namespace revurov::platform
