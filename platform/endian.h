// Little-endian load/store for wire and file layouts. Layouts are always
// written field by field through these, never by copying a struct.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little,
              "wire and file layouts assume a little-endian host");

namespace revurov::platform {

template <typename T>
inline T LoadLE(const void* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
inline void StoreLE(void* p, T v) noexcept {
  std::memcpy(p, &v, sizeof v);
}

inline uint16_t LoadU16(const void* p) noexcept { return LoadLE<uint16_t>(p); }
inline uint32_t LoadU32(const void* p) noexcept { return LoadLE<uint32_t>(p); }
inline uint64_t LoadU64(const void* p) noexcept { return LoadLE<uint64_t>(p); }
inline void StoreU16(void* p, uint16_t v) noexcept { StoreLE(p, v); }
inline void StoreU32(void* p, uint32_t v) noexcept { StoreLE(p, v); }
inline void StoreU64(void* p, uint64_t v) noexcept { StoreLE(p, v); }

}  // namespace revurov::platform
