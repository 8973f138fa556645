// Text-like bytes that compress well, with a random part that does not; the
// same seed gives the same bytes, in tests and benchmarks alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace revurov::testing {

inline std::string TextPayload(size_t aLen, uint32_t aSeed) {
  std::mt19937 rng(aSeed);
  static const char* const words[] = {"Tabelle ", "Datensatz ", "Index ", "Feld ", "Schluessel "};
  std::string out;
  while (out.size() < aLen) {
    if (rng() % 4 == 0)
      out.push_back(static_cast<char>(rng()));
    else
      out += words[rng() % 5];
  }
  out.resize(aLen);
  return out;
}

}  // namespace revurov::testing
