#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

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

namespace {

sockaddr_in ToSockAddr(const TInet4Address& aAddress) noexcept {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(aAddress.port);
  addr.sin_addr.s_addr = htonl(aAddress.address);
  return addr;
}

TInet4Address FromSockAddr(const sockaddr_in& aAddr) noexcept {
  return {ntohl(aAddr.sin_addr.s_addr), ntohs(aAddr.sin_port)};
}

// Closes on every failure path with errno kept for the caller.
// Every message leaves in one write: holding a small one back for the
// peer's acknowledgement (Nagle) only adds a round of waiting to a reply.
void NoDelay(int aFd) noexcept {
  const int on = 1;
  setsockopt(aFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int Failed(int aFd) noexcept {
  const int saved = errno;
  close(aFd);
  errno = saved;
  return -1;
}

}  // namespace

int TcpListen(const TInet4Address& aAddress, int aBacklog) noexcept {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in addr = ToSockAddr(aAddress);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return Failed(fd);
  if (listen(fd, aBacklog) != 0) return Failed(fd);
  return fd;
}

int TcpAccept(int aFd, TInet4Address& aRemote) noexcept {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  int fd;
  while ((fd = accept4(aFd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC)) < 0 && errno == EINTR) {
  }
  if (fd >= 0) {
    aRemote = FromSockAddr(addr);
    NoDelay(fd);
  }
  return fd;
}

int TcpConnect(const TInet4Address& aAddress, uint32_t aTimeoutMs) noexcept {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const sockaddr_in addr = ToSockAddr(aAddress);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) return Failed(fd);
    pollfd p{fd, POLLOUT, 0};
    int n;
    while ((n = poll(&p, 1, static_cast<int>(aTimeoutMs > 0x7FFFFFFF ? 0x7FFFFFFF : aTimeoutMs))) < 0 &&
           errno == EINTR) {
    }
    if (n < 0) return Failed(fd);
    if (n == 0) {
      errno = ETIMEDOUT;
      return Failed(fd);
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return Failed(fd);
    if (error != 0) {
      errno = error;
      return Failed(fd);
    }
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return Failed(fd);
  NoDelay(fd);
  return fd;
}

bool SocketLocalAddress(int aFd, TInet4Address& aAddress) noexcept {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(aFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return false;
  aAddress = FromSockAddr(addr);
  return true;
}

bool SetSocketSendTimeout(int aFd, uint32_t aTimeoutMs) noexcept {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(aTimeoutMs / 1000);
  tv.tv_usec = static_cast<suseconds_t>((aTimeoutMs % 1000) * 1000);
  return setsockopt(aFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

bool SetSocketReceiveTimeout(int aFd, uint32_t aTimeoutMs) noexcept {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(aTimeoutMs / 1000);
  tv.tv_usec = static_cast<suseconds_t>((aTimeoutMs % 1000) * 1000);
  return setsockopt(aFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool SocketWriteAll(int aFd, const TSocketBuffer* aBuffers, size_t aCount) noexcept {
  constexpr size_t kMaxBuffers = 8;
  iovec iov[kMaxBuffers];
  size_t count = 0;
  for (size_t i = 0; i < aCount && count < kMaxBuffers; ++i) {
    if (aBuffers[i].size == 0) continue;
    iov[count].iov_base = const_cast<void*>(aBuffers[i].data);
    iov[count].iov_len = aBuffers[i].size;
    ++count;
  }
  size_t first = 0;
  while (first < count) {
    msghdr msg{};
    msg.msg_iov = iov + first;
    msg.msg_iovlen = count - first;
    const ssize_t n = sendmsg(aFd, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // A short write: go on behind what went out.
    auto left = static_cast<size_t>(n);
    while (first < count && left >= iov[first].iov_len) left -= iov[first++].iov_len;
    if (first < count) {
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
      iov[first].iov_len -= left;
    }
  }
  return true;
}

int64_t SocketReadNow(int aFd, void* aBuffer, size_t aCount) noexcept {
  ssize_t n;
  while ((n = recv(aFd, aBuffer, aCount, MSG_DONTWAIT)) < 0 && errno == EINTR) {
  }
  return n;
}

bool WaitReadable(int aFd, uint32_t aTimeoutMs) noexcept {
  pollfd p{aFd, POLLIN, 0};
  int n;
  while ((n = poll(&p, 1, static_cast<int>(aTimeoutMs))) < 0 && errno == EINTR) {
  }
  return n > 0;
}

bool ParseInet4(const std::string& aText, uint32_t& aAddress) noexcept {
  in_addr addr{};
  if (inet_pton(AF_INET, aText.c_str(), &addr) != 1) return false;
  aAddress = ntohl(addr.s_addr);
  return true;
}

bool ResolveInet4(const std::string& aHost, uint32_t& aAddress) {
  if (ParseInet4(aHost, aAddress)) return true;
  if (aHost.empty()) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(aHost.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> guard(found, &freeaddrinfo);
  aAddress = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
  return true;
}

std::string Inet4Text(uint32_t aAddress) {
  char text[INET_ADDRSTRLEN];
  in_addr addr{};
  addr.s_addr = htonl(aAddress);
  return inet_ntop(AF_INET, &addr, text, sizeof text) ? std::string(text) : std::string();
}

std::string Inet4Text(const TInet4Address& aAddress) {
  return Inet4Text(aAddress.address) + ":" + std::to_string(aAddress.port);
}

std::vector<std::string> UpInet4Addresses(bool aLoopbackOnly) {
  std::vector<std::string> result;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return result;
  std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> guard(list, &freeifaddrs);
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    if (aLoopbackOnly && !(i->ifa_flags & IFF_LOOPBACK)) continue;
    result.push_back(Inet4Text(ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr)));
  }
  return result;
}

bool RaiseDescriptorLimit(uint64_t aAtLeast) noexcept {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= aAtLeast) return true;
  if (limit.rlim_max < aAtLeast) return false;
  limit.rlim_cur = aAtLeast;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

int UdpOpen(const TInet4Address& aAddress, bool aBroadcast) noexcept {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return -1;
  const int on = 1;
  const int size = 65535;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
      (aBroadcast && setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) ||
      setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0)
    return Failed(fd);
  const sockaddr_in addr = ToSockAddr(aAddress);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return Failed(fd);
  return fd;
}

int64_t UdpReceive(int aFd, void* aBuffer, size_t aCount, TInet4Address& aFrom, uint32_t& aArrival) noexcept {
  sockaddr_in from{};
  iovec iov{aBuffer, aCount};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr msg{};
  msg.msg_name = &from;
  msg.msg_namelen = sizeof from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  while ((n = recvmsg(aFd, &msg, 0)) < 0 && errno == EINTR) {
  }
  if (n < 0) return -1;
  aFrom = FromSockAddr(from);
  aArrival = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
    in_pktinfo info{};
    std::memcpy(&info, CMSG_DATA(c), sizeof info);
    aArrival = ntohl(info.ipi_spec_dst.s_addr);
  }
  // MSG_TRUNC is not asked for: n is already cut to aCount.
  return n;
}

bool UdpSend(int aFd, const void* aData, size_t aCount, const TInet4Address& aTo, uint32_t aFrom) noexcept {
  sockaddr_in to = ToSockAddr(aTo);
  iovec iov{const_cast<void*>(aData), aCount};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr msg{};
  msg.msg_name = &to;
  msg.msg_namelen = sizeof to;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (aFrom != 0) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = htonl(aFrom);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
  }
  ssize_t n;
  while ((n = sendmsg(aFd, &msg, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
  }
  return n == static_cast<ssize_t>(aCount);
}

}  // namespace revurov::platform
