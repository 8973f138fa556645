// The operation deadline's clock on a fake time for the lifetime of the
// object: it stands still until a test moves it (or sets it back).
#pragma once

#include <atomic>
#include <cstdint>

#include "storage/deadline.h"

namespace revurov::testing {

class TFakeDeadlineClock {
public:
  explicit TFakeDeadlineClock(uint64_t aStart = 7'000'000) {
    sNow.store(aStart);
    nxSetDeadlineClock(&Now);
  }
  ~TFakeDeadlineClock() { nxSetDeadlineClock(nullptr); }
  TFakeDeadlineClock(const TFakeDeadlineClock&) = delete;
  TFakeDeadlineClock& operator=(const TFakeDeadlineClock&) = delete;

  static uint64_t Now() { return sNow.load(); }
  static void Advance(uint64_t aMs) { sNow.fetch_add(aMs); }
  static void Set(uint64_t aMs) { sNow.store(aMs); }

private:
  static inline std::atomic<uint64_t> sNow{0};
};

}  // namespace revurov::testing
