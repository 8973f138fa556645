// Stream sockets as the transports' media see them: descriptors with
// blocking reads and writes, a shutdown that wakes every blocked user, and
// one close.
//
// Contract:
// - CreateSocketPair makes two connected local stream sockets (close-on-exec);
//   false with errno set when the system refuses.
// - SocketRead / SocketWrite move up to aCount bytes and answer how many, 0
//   for an orderly end (read) and -1 with errno set on failure; EINTR is
//   retried. Writes never raise SIGPIPE: a write to a closed peer fails with
//   EPIPE.
// - ShutdownSocket ends both directions: a read, accept or write blocked on
//   the descriptor in another thread returns. A close from another thread
//   wakes none of them on Linux, so a force-disconnect shuts down first and
//   closes once, when no one uses the descriptor any more.
// - CloseSocket ignores -1.
//
// TCP over IPv4 (addresses and ports in host byte order):
// - TcpListen binds and listens (backlog aBacklog); TcpAccept waits for a
//   peer, -1 with errno set on failure (EINVAL once the listening socket was
//   shut down). Every socket is close-on-exec.
// - TcpConnect connects within aTimeoutMs (ETIMEDOUT when it ran out) and
//   answers a blocking socket. Connected and accepted sockets send at once
//   (TCP_NODELAY).
// - SetSocketReceiveTimeout bounds each blocking read: one that waits
//   aTimeoutMs without a byte fails with EAGAIN; 0 waits without limit.
// - SocketWriteAll writes the buffers in order with one sendmsg per call
//   until all is out; false with errno set (EAGAIN when a send timeout ran
//   out).
// - SocketReadNow reads what is there without waiting: -1 with EAGAIN when
//   nothing is.
// - WaitReadable waits up to aTimeoutMs for bytes (or the end) to read.
// - ParseInet4 takes only a dotted address; ResolveInet4 asks the resolver
//   as well (IPv4 only) and answers false when the name does not resolve.
// - RaiseDescriptorLimit lifts the soft limit of open descriptors to at
//   least aAtLeast (never above the hard limit); false when it stays below.
// - UpInet4Addresses lists the addresses of the interfaces that are up,
//   only loopback ones when aLoopbackOnly.
//
// UDP over IPv4:
// - UdpOpen binds a datagram socket to aAddress with SO_REUSEADDR, so that
//   every socket on one wildcard port gets its own copy of a broadcast,
//   SO_BROADCAST when aBroadcast, and 65,535-byte buffers. -1 with errno
//   set on failure. Linux hands a broadcast only to sockets bound to the
//   wildcard address; a broadcast sender must be bound to the address it
//   sends from, or it finds no route where only loopback exists.
// - UdpReceive waits for one datagram and takes at most aCount bytes of it:
//   its length (cut to aCount), the sender, and the local address it
//   arrived on (for a broadcast the receiving interface's address). 0 also
//   once the socket was shut down (ShutdownSocket wakes it; a close does
//   not); -1 with errno set on failure.
// - UdpSend sends one datagram; with aFrom not 0 it leaves from that local
//   address although the socket is bound to the wildcard one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace revurov::platform {

bool CreateSocketPair(int (&aFds)[2]) noexcept;
int64_t SocketRead(int aFd, void* aBuffer, size_t aCount) noexcept;
int64_t SocketWrite(int aFd, const void* aBuffer, size_t aCount) noexcept;
bool ShutdownSocket(int aFd) noexcept;
void CloseSocket(int aFd) noexcept;

struct TInet4Address {
  uint32_t address = 0;
  uint16_t port = 0;
};

struct TSocketBuffer {
  const void* data;
  size_t size;
};

inline constexpr uint32_t kInet4Any = 0;
inline constexpr uint32_t kInet4Loopback = 0x7F000001;

int TcpListen(const TInet4Address& aAddress, int aBacklog) noexcept;
int TcpAccept(int aFd, TInet4Address& aRemote) noexcept;
int TcpConnect(const TInet4Address& aAddress, uint32_t aTimeoutMs) noexcept;
bool SocketLocalAddress(int aFd, TInet4Address& aAddress) noexcept;
bool SetSocketSendTimeout(int aFd, uint32_t aTimeoutMs) noexcept;
bool SetSocketReceiveTimeout(int aFd, uint32_t aTimeoutMs) noexcept;
bool SocketWriteAll(int aFd, const TSocketBuffer* aBuffers, size_t aCount) noexcept;
int64_t SocketReadNow(int aFd, void* aBuffer, size_t aCount) noexcept;
bool WaitReadable(int aFd, uint32_t aTimeoutMs) noexcept;

bool ParseInet4(const std::string& aText, uint32_t& aAddress) noexcept;
bool ResolveInet4(const std::string& aHost, uint32_t& aAddress);
std::string Inet4Text(uint32_t aAddress);
std::string Inet4Text(const TInet4Address& aAddress);
std::vector<std::string> UpInet4Addresses(bool aLoopbackOnly);
bool RaiseDescriptorLimit(uint64_t aAtLeast) noexcept;

int UdpOpen(const TInet4Address& aAddress, bool aBroadcast) noexcept;
int64_t UdpReceive(int aFd, void* aBuffer, size_t aCount, TInet4Address& aFrom, uint32_t& aArrival) noexcept;
bool UdpSend(int aFd, const void* aData, size_t aCount, const TInet4Address& aTo, uint32_t aFrom = 0) noexcept;

}  // namespace revurov::platform
