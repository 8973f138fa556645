#include "platform/completion_queue.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <mutex>
#include <new>

#include "platform/os_event.h"

namespace revurov::platform {

// The eventfd is readable exactly while posted packets wait, so a waiter
// blocks in one epoll_wait for both posted packets and armed descriptors.
// Armed entries carry their key in the epoll data; the eventfd's entry
// carries a tag that Arm refuses as a key.
struct CompletionQueue::State {
  int epfd = -1;
  int wakefd = -1;
  std::mutex lock;
  std::deque<Completion> posted;  // under lock
  bool filled = false;            // under lock: wakefd is readable
  // The kernel orders a re-arm before the wake-up it allows, but the race
  // detector takes only EPOLL_CTL_ADD as a release: a descriptor re-armed by
  // MOD looked unordered to the next thread serving it. Mirrored here.
  std::atomic<uint64_t> rearms{0};
};

namespace {

constexpr uint64_t kWakeTag = ~uint64_t(0);

int64_t NowMs() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

CompletionQueue::CompletionQueue(std::unique_ptr<State> state) noexcept : cqState(std::move(state)) {}

CompletionQueue::~CompletionQueue() {
  close(cqState->wakefd);
  close(cqState->epfd);
}

std::unique_ptr<CompletionQueue> CompletionQueue::Create() noexcept {
  auto state = std::unique_ptr<State>(new (std::nothrow) State);
  if (!state) {
    errno = ENOMEM;
    return nullptr;
  }
  state->epfd = epoll_create1(EPOLL_CLOEXEC);
  if (state->epfd < 0) return nullptr;
  state->wakefd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeTag;
  if (state->wakefd < 0 || epoll_ctl(state->epfd, EPOLL_CTL_ADD, state->wakefd, &ev) < 0) {
    const int saved = errno;
    if (state->wakefd >= 0) close(state->wakefd);
    close(state->epfd);
    errno = saved;
    return nullptr;
  }
  auto* queue = new (std::nothrow) CompletionQueue(std::move(state));
  if (!queue) {
    errno = ENOMEM;
    return nullptr;
  }
  return std::unique_ptr<CompletionQueue>(queue);
}

bool CompletionQueue::Post(uintptr_t key, uint32_t bytes, uint32_t error) noexcept {
  State& s = *cqState;
  std::lock_guard guard(s.lock);
  try {
    s.posted.push_back(Completion{key, bytes, error});
  } catch (...) {
    errno = ENOMEM;
    return false;
  }
  if (!s.filled) {
    const uint64_t one = 1;
    ssize_t n;
    while ((n = write(s.wakefd, &one, sizeof one)) < 0 && errno == EINTR) {
    }
    if (n != sizeof one && errno != EAGAIN) {
      s.posted.pop_back();
      return false;
    }
    s.filled = true;
  }
  return true;
}

bool CompletionQueue::Arm(int fd, uintptr_t key) noexcept {
  if (fd < 0) {
    errno = EBADF;
    return false;
  }
  State& s = *cqState;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  ev.data.u64 = key;
  if (key == kWakeTag) {
    errno = EINVAL;
    return false;
  }
#if defined(__SANITIZE_THREAD__)
  s.rearms.fetch_add(1, std::memory_order_release);
#endif
  if (epoll_ctl(s.epfd, EPOLL_CTL_MOD, fd, &ev) == 0) return true;
  if (errno != ENOENT) return false;
  return epoll_ctl(s.epfd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

bool CompletionQueue::Disarm(int fd) noexcept {
  return epoll_ctl(cqState->epfd, EPOLL_CTL_DEL, fd, nullptr) == 0;
}

uint32_t CompletionQueue::Wait(Completion& out, uint32_t timeoutMs) noexcept {
  State& s = *cqState;
  const bool limited = timeoutMs != kInfinite;
  const int64_t deadline = limited ? NowMs() + timeoutMs : 0;
  for (;;) {
    {
      std::lock_guard guard(s.lock);
      if (!s.posted.empty()) {
        out = s.posted.front();
        s.posted.pop_front();
        if (s.posted.empty() && s.filled) {
          uint64_t value;
          while (read(s.wakefd, &value, sizeof value) < 0 && errno == EINTR) {
          }
          s.filled = false;
        }
        return kWaitObject0;
      }
    }
    int wait = -1;
    if (limited) {
      const int64_t left = deadline - NowMs();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    epoll_event ev{};
    const int n = epoll_wait(s.epfd, &ev, 1, wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      return kWaitFailed;
    }
    if (n == 0) return kWaitTimeout;
    if (ev.data.u64 == kWakeTag) continue;  // taken by another waiter, or ours to take
#if defined(__SANITIZE_THREAD__)
    (void)s.rearms.load(std::memory_order_acquire);
#endif
    out = Completion{static_cast<uintptr_t>(ev.data.u64), 0, 0};
    return kWaitObject0;
  }
}

}  // namespace revurov::platform
