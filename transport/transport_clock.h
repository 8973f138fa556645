// The one clock and the one pause of all transport code (throttling, server
// scans, heartbeat, watchdog), both replaceable so that tests run on a fake
// clock and never wait for real.
//
// Contract:
// - nxTransportTickCount: milliseconds of a monotonic clock, 64-bit, so it
//   never wraps as the 32-bit tick count of the original did after 49 days.
// - nxTransportSleep: waits aMilliseconds (0 returns at once).
// - nxSetTransportClock / nxSetTransportSleep install a replacement; null
//   puts the default back. Install while no transport thread runs.
#pragma once

#include <cstdint>

namespace revurov {

using TnxTickCountFunction = uint64_t (*)();
using TnxSleepFunction = void (*)(uint32_t aMilliseconds);

uint64_t nxTransportTickCount() noexcept;
void nxTransportSleep(uint32_t aMilliseconds);

void nxSetTransportClock(TnxTickCountFunction aClock) noexcept;
void nxSetTransportSleep(TnxSleepFunction aSleep) noexcept;

}  // namespace revurov
