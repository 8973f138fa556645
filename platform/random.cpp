#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace revurov::platform {

bool FillRandom(void* aData, std::size_t aLen) noexcept {
  auto* p = static_cast<uint8_t*>(aData);
  while (aLen > 0) {
    const ssize_t n = getrandom(p, aLen, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    aLen -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace revurov::platform
