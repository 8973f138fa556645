// Local sockets in the abstract namespace: stream sockets for the pipe
// transport, datagram sockets for its discovery slots. Names are byte
// strings that live only while a socket is bound to them and reach only
// this machine.
//
// Contract:
// - A name longer than kLocalNameMax bytes (or empty) fails with
//   ENAMETOOLONG (EINVAL for empty) before anything is made.
// - LocalListen binds and listens (backlog aBacklog); EADDRINUSE when the
//   name is taken. LocalAccept waits for a peer; -1 with errno set (EINVAL
//   once the listening socket was shut down).
// - LocalConnect answers a connected blocking stream socket, -1 with errno
//   set (ECONNREFUSED when nobody listens on the name).
// - LocalDatagramBind makes a datagram socket bound to the name;
//   LocalDatagramSend sends one datagram to a name from an unbound socket
//   (false with errno set, ECONNREFUSED when nobody is bound to it);
//   LocalDatagramReceive waits up to aTimeoutMs (kLocalWaitForever: no
//   limit) for one datagram and answers its length (cut to aCount), -1 with
//   EAGAIN when the time ran out and 0 once the socket was shut down.
// - Every socket is close-on-exec; stream reads, writes, shutdown and close
//   are those of platform/socket.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace revurov::platform {

inline constexpr size_t kLocalNameMax = 107;
inline constexpr uint32_t kLocalWaitForever = 0xFFFFFFFFu;

int LocalListen(const std::string& aName, int aBacklog) noexcept;
int LocalAccept(int aFd) noexcept;
int LocalConnect(const std::string& aName) noexcept;
// Who is at the other end of a connected local stream socket (as it was
// when it connected); false with errno set.
bool LocalPeerCredentials(int aFd, uint32_t& aUid, uint32_t& aGid) noexcept;

int LocalDatagramBind(const std::string& aName) noexcept;
bool LocalDatagramSend(const std::string& aName, const void* aData, size_t aCount) noexcept;
int64_t LocalDatagramReceive(int aFd, void* aBuffer, size_t aCount, uint32_t aTimeoutMs) noexcept;

}  // namespace revurov::platform
