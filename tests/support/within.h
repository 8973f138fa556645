#pragma once
// Polls a condition until it holds or the limit passes; every wait of a test
// stays bounded this way.
#include <chrono>
#include <thread>

namespace revurov::testing {

template <class Pred>
bool Within(std::chrono::seconds aLimit, Pred aPred) {
  const auto deadline = std::chrono::steady_clock::now() + aLimit;
  while (!aPred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace revurov::testing
