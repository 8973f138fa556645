#include "platform/thread.h"

#include <sched.h>
#include <unistd.h>

namespace revurov::platform {

uint32_t CurrentThreadId() noexcept {
  // Cached: the locks ask on every entry.
  thread_local const uint32_t id = static_cast<uint32_t>(gettid());
  return id;
}

void YieldThread() noexcept { sched_yield(); }

}  // namespace revurov::platform
