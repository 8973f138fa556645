#include "platform/handles.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

namespace revurov::platform {

bool CloseHandle(THandle handle) noexcept {
  if (handle < 0 || handle > INT32_MAX) {
    errno = EBADF;
    return false;
  }
  return ::close(static_cast<int>(handle)) == 0;
}

bool SignalEventHandle(THandle handle) noexcept {
  if (handle < 0 || handle > INT32_MAX) {
    errno = EBADF;
    return false;
  }
  const uint64_t one = 1;
  ssize_t n;
  do {
    n = ::write(static_cast<int>(handle), &one, sizeof one);
  } while (n < 0 && errno == EINTR);
  // A full counter (EAGAIN) still leaves the event signalled.
  return n == sizeof one || (n < 0 && errno == EAGAIN);
}

namespace {
std::mutex gViewsLock;
std::map<void*, size_t>& Views() {
  static std::map<void*, size_t> views;
  return views;
}
}  // namespace

void* MapView(THandle fd, uint64_t offset, size_t length, bool writable) noexcept {
  if (fd < 0 || fd > INT32_MAX || length == 0) {
    errno = EINVAL;
    return nullptr;
  }
  void* p = ::mmap(nullptr, length, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                   static_cast<int>(fd), static_cast<off_t>(offset));
  if (p == MAP_FAILED) return nullptr;
  try {
    std::lock_guard<std::mutex> g(gViewsLock);
    Views()[p] = length;
  } catch (...) {
    ::munmap(p, length);
    errno = ENOMEM;
    return nullptr;
  }
  return p;
}

bool UnmapView(void* view) noexcept {
  size_t length = 0;
  {
    std::lock_guard<std::mutex> g(gViewsLock);
    auto it = Views().find(view);
    if (it == Views().end()) {
      errno = EINVAL;
      return false;
    }
    length = it->second;
    Views().erase(it);
  }
  return ::munmap(view, length) == 0;
}

}  // namespace revurov::platform
