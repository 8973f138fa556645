#pragma once
// Heavy runs (mutation sweeps, model tests) take a quick size by default and
// their full size under `./test.sh --long`, which sets REVUROV_LONG_TESTS=1.
#include <cstdlib>
#include <cstring>

namespace revurov::testing {

inline bool LongTests() {
  const char* v = std::getenv("REVUROV_LONG_TESTS");
  return v != nullptr && std::strcmp(v, "1") == 0;
}

template <typename T>
inline T TestSize(T quick, T full) {
  return LongTests() ? full : quick;
}

}  // namespace revurov::testing
