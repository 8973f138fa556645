#include "platform/local_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace revurov::platform {

namespace {

// The abstract namespace: a leading zero byte, then the name, its length
// given by the address length rather than a terminator.
bool ToAddress(const std::string& aName, sockaddr_un& aAddr, socklen_t& aLength) noexcept {
  if (aName.empty()) {
    errno = EINVAL;
    return false;
  }
  if (aName.size() > kLocalNameMax) {
    errno = ENAMETOOLONG;
    return false;
  }
  static_assert(sizeof(sockaddr_un::sun_path) == kLocalNameMax + 1);
  std::memset(&aAddr, 0, sizeof aAddr);
  aAddr.sun_family = AF_UNIX;
  std::memcpy(aAddr.sun_path + 1, aName.data(), aName.size());
  aLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + aName.size());
  return true;
}

int Failed(int aFd) noexcept {
  const int saved = errno;
  close(aFd);
  errno = saved;
  return -1;
}

}  // namespace

int LocalListen(const std::string& aName, int aBacklog) noexcept {
  sockaddr_un addr;
  socklen_t length;
  if (!ToAddress(aName, addr, length)) return -1;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), length) != 0) return Failed(fd);
  if (listen(fd, aBacklog) != 0) return Failed(fd);
  return fd;
}

bool LocalPeerCredentials(int aFd, uint32_t& aUid, uint32_t& aGid) noexcept {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (getsockopt(aFd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
  aUid = credentials.uid;
  aGid = credentials.gid;
  return true;
}

int LocalAccept(int aFd) noexcept {
  int fd;
  while ((fd = accept4(aFd, nullptr, nullptr, SOCK_CLOEXEC)) < 0 && errno == EINTR) {
  }
  return fd;
}

int LocalConnect(const std::string& aName) noexcept {
  sockaddr_un addr;
  socklen_t length;
  if (!ToAddress(aName, addr, length)) return -1;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int result;
  while ((result = connect(fd, reinterpret_cast<const sockaddr*>(&addr), length)) != 0 && errno == EINTR) {
  }
  if (result != 0) return Failed(fd);
  return fd;
}

int LocalDatagramBind(const std::string& aName) noexcept {
  sockaddr_un addr;
  socklen_t length;
  if (!ToAddress(aName, addr, length)) return -1;
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), length) != 0) return Failed(fd);
  return fd;
}

bool LocalDatagramSend(const std::string& aName, const void* aData, size_t aCount) noexcept {
  sockaddr_un addr;
  socklen_t length;
  if (!ToAddress(aName, addr, length)) return false;
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t n;
  while ((n = sendto(fd, aData, aCount, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&addr),
                     length)) < 0 &&
         errno == EINTR) {
  }
  const int saved = errno;
  close(fd);
  errno = saved;
  return n == static_cast<ssize_t>(aCount);
}

int64_t LocalDatagramReceive(int aFd, void* aBuffer, size_t aCount, uint32_t aTimeoutMs) noexcept {
  pollfd p{aFd, POLLIN, 0};
  const int timeout = aTimeoutMs == kLocalWaitForever ? -1 : static_cast<int>(aTimeoutMs);
  int ready;
  while ((ready = poll(&p, 1, timeout)) < 0 && errno == EINTR) {
  }
  if (ready < 0) return -1;
  if (ready == 0) {
    errno = EAGAIN;
    return -1;
  }
  ssize_t n;
  while ((n = recv(aFd, aBuffer, aCount, MSG_DONTWAIT)) < 0 && errno == EINTR) {
  }
  // A shut-down datagram socket reads as "nothing will come": 0 bytes,
  // not EAGAIN.
  if (n < 0 && errno == EAGAIN && (p.revents & (POLLHUP | POLLERR))) return 0;
  return n;
}

}  // namespace revurov::platform
