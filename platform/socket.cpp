#include "platform/socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace revurov::platform {

bool CreateSocketPair(int (&aFds)[2]) noexcept {
  return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, aFds) == 0;
}

int64_t SocketRead(int aFd, void* aBuffer, size_t aCount) noexcept {
  ssize_t n;
  while ((n = recv(aFd, aBuffer, aCount, 0)) < 0 && errno == EINTR) {
  }
  return n;
}

int64_t SocketWrite(int aFd, const void* aBuffer, size_t aCount) noexcept {
  ssize_t n;
  while ((n = send(aFd, aBuffer, aCount, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  return n;
}

bool ShutdownSocket(int aFd) noexcept { return shutdown(aFd, SHUT_RDWR) == 0; }

void CloseSocket(int aFd) noexcept {
  if (aFd >= 0) close(aFd);
}

}  // namespace revurov::platform
