#include "platform/process_watch.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace revurov::platform {

struct TProcessWatcher::State {
  TOnExit OnExit;
  int Epoll = -1;
  int Wake = -1;
  std::mutex Lock;
  struct Entry {
    TProcessIdentity Process;
    int Fd;
  };
  std::vector<Entry> Watched;  // under Lock
  std::thread Thread;

  void Run() {
    epoll_event events[16];
    for (;;) {
      const int n = epoll_wait(Epoll, events, 16, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == Wake) return;
        TProcessIdentity ended;
        {
          std::lock_guard guard(Lock);
          for (auto it = Watched.begin(); it != Watched.end(); ++it) {
            if (it->Fd != fd) continue;
            ended = it->Process;
            Watched.erase(it);
            break;
          }
        }
        epoll_ctl(Epoll, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        if (ended.Pid != 0 && OnExit) OnExit(ended);
      }
    }
  }
};

TProcessWatcher::TProcessWatcher(TOnExit aOnExit) : pwState(std::make_unique<State>()) {
  State& s = *pwState;
  s.OnExit = std::move(aOnExit);
  s.Epoll = epoll_create1(EPOLL_CLOEXEC);
  s.Wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s.Epoll >= 0 && s.Wake >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = s.Wake;
    if (epoll_ctl(s.Epoll, EPOLL_CTL_ADD, s.Wake, &ev) == 0) s.Thread = std::thread([&s] { s.Run(); });
  }
}

TProcessWatcher::~TProcessWatcher() {
  State& s = *pwState;
  if (s.Thread.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(s.Wake, &one, sizeof one);
    s.Thread.join();
  }
  for (const auto& entry : s.Watched) ::close(entry.Fd);
  if (s.Wake >= 0) ::close(s.Wake);
  if (s.Epoll >= 0) ::close(s.Epoll);
}

bool TProcessWatcher::Watch(const TProcessIdentity& aProcess) noexcept {
  State& s = *pwState;
  if (!s.Thread.joinable()) {
    errno = ENOSYS;
    return false;
  }
  std::lock_guard guard(s.Lock);
  for (const auto& entry : s.Watched)
    if (entry.Process == aProcess) return true;
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(aProcess.Pid), 0));
  if (fd < 0) {
    if (errno != ESRCH) return false;
  } else if (!ProcessIsAlive(aProcess)) {
    // The id belongs to a later process now: the one asked for has ended.
    ::close(fd);
  } else {
    try {
      s.Watched.push_back({aProcess, fd});
    } catch (...) {
      ::close(fd);
      errno = ENOMEM;
      return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(s.Epoll, EPOLL_CTL_ADD, fd, &ev) == 0) return true;
    const int error = errno;
    s.Watched.pop_back();
    ::close(fd);
    errno = error;
    return false;
  }
  // Already gone: told on the watcher's thread like every other end.
  const int gone = eventfd(1, EFD_CLOEXEC);
  if (gone < 0) return false;
  try {
    s.Watched.push_back({aProcess, gone});
  } catch (...) {
    ::close(gone);
    errno = ENOMEM;
    return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = gone;
  if (epoll_ctl(s.Epoll, EPOLL_CTL_ADD, gone, &ev) == 0) return true;
  const int error = errno;
  s.Watched.pop_back();
  ::close(gone);
  errno = error;
  return false;
}

}  // namespace revurov::platform
