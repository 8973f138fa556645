#include "platform/process_barrier.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace revurov::platform {

bool PrepareProcessBarrier() noexcept {
  const long supported = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
  return supported > 0 && (supported & MEMBARRIER_CMD_PRIVATE_EXPEDITED) &&
         syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
}

void ProcessBarrier() noexcept { syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0); }

}  // namespace revurov::platform
