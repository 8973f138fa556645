// Process-wide hooks shared by the lowest units of the library.
#pragma once

namespace revurov {

using TnxCleanupHook = void (*)();

// Does nothing; the initial value of nxCleanupHook.
void nxCleanupHookDefault() noexcept;

// Called by the region manager when address space runs out, to let the heap
// give back what it can before the request is retried. The memory manager's
// binding replaces it during start-up.
extern TnxCleanupHook nxCleanupHook;

}  // namespace revurov
