// The transport clock on a fake time for the lifetime of the object: the
// clock stands still until a test moves it, and every sleep is recorded and
// moves the clock on by its length instead of waiting.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "transport/transport_clock.h"

namespace revurov::testing {

class TFakeTransportClock {
public:
  explicit TFakeTransportClock(uint64_t aStart = 1'000'000) {
    Set(aStart);
    ClearSleeps();
    nxSetTransportClock(&Now);
    nxSetTransportSleep(&Sleep);
  }
  ~TFakeTransportClock() {
    nxSetTransportClock(nullptr);
    nxSetTransportSleep(nullptr);
  }
  TFakeTransportClock(const TFakeTransportClock&) = delete;
  TFakeTransportClock& operator=(const TFakeTransportClock&) = delete;

  static uint64_t Now() { return sNow.load(); }
  static void Set(uint64_t aNow) { sNow.store(aNow); }
  static void Advance(uint64_t aMs) { sNow.fetch_add(aMs); }

  static std::vector<uint32_t> Sleeps() {
    std::lock_guard<std::mutex> guard(sLock);
    return sSleeps;
  }
  static void ClearSleeps() {
    std::lock_guard<std::mutex> guard(sLock);
    sSleeps.clear();
  }

private:
  static void Sleep(uint32_t aMs) {
    {
      std::lock_guard<std::mutex> guard(sLock);
      sSleeps.push_back(aMs);
    }
    Advance(aMs);
  }

  static inline std::atomic<uint64_t> sNow{0};
  static inline std::mutex sLock;
  static inline std::vector<uint32_t> sSleeps;
};

}  // namespace revurov::testing
