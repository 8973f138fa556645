// The engine clock on a fake time for the lifetime of the object: the clock
// stands still until a test moves it; a sleep moves it on by its length, and
// a wait that finds its signal unset moves it on by the whole wait and
// gives up, so nothing waits in real time.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "engine/engine_clock.h"

namespace revurov::testing {

class TFakeEngineClock {
public:
  explicit TFakeEngineClock(uint64_t aStart = 5'000'000) {
    sNow.store(aStart);
    std::lock_guard<std::mutex> guard(sLock);
    sWaits.clear();
    nxSetEngineClock(&Now, &Sleep, &Wait);
  }
  ~TFakeEngineClock() { nxSetEngineClock(nullptr, nullptr, nullptr); }
  TFakeEngineClock(const TFakeEngineClock&) = delete;
  TFakeEngineClock& operator=(const TFakeEngineClock&) = delete;

  static uint64_t Now() { return sNow.load(); }
  static void Advance(uint64_t aMs) { sNow.fetch_add(aMs); }

  struct WaitRecord {
    uint32_t Milliseconds;
    bool Signalled;
  };
  static std::vector<WaitRecord> Waits() {
    std::lock_guard<std::mutex> guard(sLock);
    return sWaits;
  }

private:
  static void Sleep(uint32_t aMs) { Advance(aMs); }
  static bool Wait(TnxSignal& aSignal, uint32_t aMs) {
    bool set = aSignal.IsSet();
    if (!set) Advance(aMs);
    std::lock_guard<std::mutex> guard(sLock);
    sWaits.push_back({aMs, set});
    return set;
  }

  static inline std::atomic<uint64_t> sNow{0};
  static inline std::mutex sLock;
  static inline std::vector<WaitRecord> sWaits;
};

}  // namespace revurov::testing
