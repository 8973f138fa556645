#include "platform/os_error.h"

#include <cerrno>
#include <cstring>

#include "platform/text.h"

namespace revurov::platform {

uint32_t GetLastOSError() noexcept { return static_cast<uint32_t>(errno); }

void SetLastOSError(uint32_t error) noexcept { errno = static_cast<int>(error); }

std::u16string SysErrorMessage(uint32_t error) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(static_cast<int>(error), buf, sizeof buf);
  return Utf8ToUtf16(text ? text : "");
}

}  // namespace revurov::platform
