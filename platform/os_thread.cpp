#include "platform/os_thread.h"

#include <sched.h>
#include <unistd.h>

namespace revurov::platform {

uint32_t thread_detail::FetchThreadId() noexcept { return static_cast<uint32_t>(gettid()); }

void YieldThread() noexcept { sched_yield(); }

}  // namespace revurov::platform
