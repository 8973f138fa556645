// Small readers of a fuzz input shared by the targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace revurov::fuzz {

// The bytes as 8-bit text.
inline std::string_view Bytes(const uint8_t* aData, size_t aSize) {
  return {reinterpret_cast<const char*>(aData), aSize};
}

// Each byte one code unit (Latin-1), so every ASCII delimiter and Base64
// letter of a text format is one mutation away.
inline std::u16string Widened(std::string_view aBytes) {
  std::u16string out;
  out.reserve(aBytes.size());
  for (char c : aBytes) out.push_back(static_cast<char16_t>(static_cast<uint8_t>(c)));
  return out;
}

// Pairs of bytes as little-endian code units (an odd last byte is dropped),
// for texts that must reach every code unit, surrogates included.
inline std::u16string CodeUnits(std::string_view aBytes) {
  std::u16string out;
  out.reserve(aBytes.size() / 2);
  for (size_t i = 0; i + 1 < aBytes.size(); i += 2)
    out.push_back(static_cast<char16_t>(static_cast<uint8_t>(aBytes[i]) | (static_cast<uint8_t>(aBytes[i + 1]) << 8)));
  return out;
}

// Takes a leading byte of the input as a choice (0 when the input is empty).
inline uint8_t TakeByte(std::string_view& aBytes) {
  if (aBytes.empty()) return 0;
  const auto b = static_cast<uint8_t>(aBytes.front());
  aBytes.remove_prefix(1);
  return b;
}

}  // namespace revurov::fuzz
