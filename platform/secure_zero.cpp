#include "platform/secure_zero.h"

#include <string.h>

namespace revurov::platform {

void SecureZero(void* p, std::size_t size) noexcept {
  if (size) explicit_bzero(p, size);
}

}  // namespace revurov::platform
