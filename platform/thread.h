// The calling thread's identity and scheduling.
//
// Contract: CurrentThreadId is the kernel's id of the calling thread, never 0
// and unique among live threads of the system; YieldThread gives up the rest
// of the time slice (the effect of a zero sleep).
#pragma once

#include <cstdint>

namespace revurov::platform {

uint32_t CurrentThreadId() noexcept;
void YieldThread() noexcept;

}  // namespace revurov::platform
