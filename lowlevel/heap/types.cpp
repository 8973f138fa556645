#include "lowlevel/heap/types.h"

namespace revurov {

void nxCleanupHookDefault() noexcept {}

// Constant-initialised, so it is valid before any start-up code runs.
TnxCleanupHook nxCleanupHook = nxCleanupHookDefault;

}  // namespace revurov
