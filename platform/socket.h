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
#pragma once

#include <cstddef>
#include <cstdint>

namespace revurov::platform {

bool CreateSocketPair(int (&aFds)[2]) noexcept;
int64_t SocketRead(int aFd, void* aBuffer, size_t aCount) noexcept;
int64_t SocketWrite(int aFd, const void* aBuffer, size_t aCount) noexcept;
bool ShutdownSocket(int aFd) noexcept;
void CloseSocket(int aFd) noexcept;

}  // namespace revurov::platform
