#include "platform/network_namespace.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace revurov::platform {

namespace {

bool LoopbackUp() noexcept {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool done = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (done) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    done = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  const int saved = errno;
  close(fd);
  errno = saved;
  return done;
}

}  // namespace

int EnterNewNetworkNamespace() noexcept {
  const int previous = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (previous < 0) return -1;
  if (unshare(CLONE_NEWNET) != 0 || !LoopbackUp()) {
    const int saved = errno;
    setns(previous, CLONE_NEWNET);
    close(previous);
    errno = saved;
    return -1;
  }
  return previous;
}

bool LeaveNetworkNamespace(int aPrevious) noexcept {
  if (aPrevious < 0) return false;
  const bool done = setns(aPrevious, CLONE_NEWNET) == 0;
  close(aPrevious);
  return done;
}

}  // namespace revurov::platform
