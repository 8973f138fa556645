// The engine's clock: milliseconds of the monotonic clock, pauses, and the
// bounded wait for a signal, all replaceable so tests never sleep.
//
// Contract:
// - nxEngineTickCount: milliseconds, never going back.
// - nxEngineSleep: pauses the calling thread.
// - nxEngineWait: waits until aSignal is set or aMilliseconds of the engine
//   clock passed; true when it was set.
// - nxSetEngineClock: nil puts the real routine back for that slot.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace revurov {

// A flag once set stays set; waiters wake when it is.
class TnxSignal {
public:
  void Set();
  bool IsSet();
  // Waits up to aMilliseconds of real time; true when set.
  bool WaitReal(uint32_t aMilliseconds);

private:
  std::mutex sgLock;
  std::condition_variable sgChanged;
  bool sgSet = false;
};

using TnxEngineTickCountFunc = uint64_t (*)();
using TnxEngineSleepProc = void (*)(uint32_t aMilliseconds);
using TnxEngineWaitFunc = bool (*)(TnxSignal& aSignal, uint32_t aMilliseconds);

uint64_t nxEngineTickCount() noexcept;
void nxEngineSleep(uint32_t aMilliseconds);
bool nxEngineWait(TnxSignal& aSignal, uint32_t aMilliseconds);
void nxSetEngineClock(TnxEngineTickCountFunc aTickCount, TnxEngineSleepProc aSleep,
                      TnxEngineWaitFunc aWait) noexcept;

}  // namespace revurov
