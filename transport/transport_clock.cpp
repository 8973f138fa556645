#include "transport/transport_clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace revurov {

namespace {

uint64_t SteadyTickCount() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void SteadySleep(uint32_t aMilliseconds) {
  if (aMilliseconds) std::this_thread::sleep_for(std::chrono::milliseconds(aMilliseconds));
}

std::atomic<TnxTickCountFunction> gClock{&SteadyTickCount};
std::atomic<TnxSleepFunction> gSleep{&SteadySleep};

}  // namespace

uint64_t nxTransportTickCount() noexcept { return gClock.load(std::memory_order_relaxed)(); }

void nxTransportSleep(uint32_t aMilliseconds) { gSleep.load(std::memory_order_relaxed)(aMilliseconds); }

void nxSetTransportClock(TnxTickCountFunction aClock) noexcept {
  gClock.store(aClock ? aClock : &SteadyTickCount);
}

void nxSetTransportSleep(TnxSleepFunction aSleep) noexcept {
  gSleep.store(aSleep ? aSleep : &SteadySleep);
}

}  // namespace revurov
