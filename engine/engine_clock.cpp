#include "engine/engine_clock.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/thread_clock.h"

namespace revurov {

void TnxSignal::Set() {
  {
    std::lock_guard<std::mutex> guard(sgLock);
    sgSet = true;
  }
  sgChanged.notify_all();
}

bool TnxSignal::IsSet() {
  std::lock_guard<std::mutex> guard(sgLock);
  return sgSet;
}

bool TnxSignal::WaitReal(uint32_t aMilliseconds) {
  std::unique_lock<std::mutex> guard(sgLock);
  return sgChanged.wait_for(guard, std::chrono::milliseconds(aMilliseconds), [this] { return sgSet; });
}

namespace {


void RealSleep(uint32_t aMilliseconds) {
  if (aMilliseconds) std::this_thread::sleep_for(std::chrono::milliseconds(aMilliseconds));
}

bool RealWait(TnxSignal& aSignal, uint32_t aMilliseconds) { return aSignal.WaitReal(aMilliseconds); }

// Stamped on every last exit of a session lock: the cheap reading, called
// straight, as no wrapper would add to it.
constexpr TnxEngineTickCountFunc kRealTickCount = &platform::MonotonicCoarseMilliseconds;
std::atomic<TnxEngineTickCountFunc> gTickCount{kRealTickCount};
std::atomic<TnxEngineSleepProc> gSleep{&RealSleep};
std::atomic<TnxEngineWaitFunc> gWait{&RealWait};

}  // namespace

uint64_t nxEngineTickCount() noexcept { return gTickCount.load(std::memory_order_acquire)(); }
void nxEngineSleep(uint32_t aMilliseconds) { gSleep.load(std::memory_order_acquire)(aMilliseconds); }
bool nxEngineWait(TnxSignal& aSignal, uint32_t aMilliseconds) {
  return gWait.load(std::memory_order_acquire)(aSignal, aMilliseconds);
}

void nxSetEngineClock(TnxEngineTickCountFunc aTickCount, TnxEngineSleepProc aSleep,
                      TnxEngineWaitFunc aWait) noexcept {
  gTickCount.store(aTickCount ? aTickCount : kRealTickCount);
  gSleep.store(aSleep ? aSleep : &RealSleep);
  gWait.store(aWait ? aWait : &RealWait);
}

}  // namespace revurov
