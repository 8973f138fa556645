// Three-way comparisons (1: first greater, 0: equal, -1: first smaller),
// equality tests, minimum and maximum, and bit sets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace revurov {

namespace utils_detail {
template <typename T>
constexpr int Cmp3(T a, T b) noexcept {
  return a > b ? 1 : (a < b ? -1 : 0);
}
}  // namespace utils_detail

constexpr int nxCmpByte(uint8_t a, uint8_t b) noexcept { return utils_detail::Cmp3(a, b); }
constexpr int nxCmpWord(uint16_t a, uint16_t b) noexcept { return utils_detail::Cmp3(a, b); }
constexpr int nxCmpCardinal(uint32_t a, uint32_t b) noexcept { return utils_detail::Cmp3(a, b); }
constexpr int nxCmpShortInt(int8_t a, int8_t b) noexcept { return utils_detail::Cmp3(a, b); }
constexpr int nxCmpSmallInt(int16_t a, int16_t b) noexcept { return utils_detail::Cmp3(a, b); }
constexpr int nxCmpInteger(int32_t a, int32_t b) noexcept { return utils_detail::Cmp3(a, b); }
constexpr int nxCmpInt64(int64_t a, int64_t b) noexcept { return utils_detail::Cmp3(a, b); }
// Addresses compare as full native-width unsigned values (not cut to 32 bits).
inline int nxCmpPointer(const void* a, const void* b) noexcept {
  return utils_detail::Cmp3(reinterpret_cast<uintptr_t>(a), reinterpret_cast<uintptr_t>(b));
}
inline int8_t nxCmpInt64Ptr(const int64_t* a, const int64_t* b) noexcept {
  return static_cast<int8_t>(utils_detail::Cmp3(*a, *b));
}

// Len bytes as unsigned; 0 for Len 0.
int nxCmpBytes(const void* P1, const void* P2, size_t Len) noexcept;
// Common prefix first, then the shorter array is smaller.
int nxCmpByteArrays(const std::vector<uint8_t>& A, const std::vector<uint8_t>& B) noexcept;
// Length-prefixed 8-bit strings (length byte, then the bytes); bytes over
// min(lengths, MaxLen), then the lengths each capped at MaxLen.
int nxCmpShortString(const uint8_t* S1, const uint8_t* S2, uint8_t MaxLen) noexcept;
int nxCmpShortStringI(const uint8_t* S1, const uint8_t* S2, uint8_t MaxLen) noexcept;  // ASCII a-z folded
// Locale-aware compare in the user's locale (the system default), exact or
// ignoring case.
int nxCompareStrLocale(std::u16string_view S1, std::u16string_view S2);
int nxCompareTextLocale(std::u16string_view S1, std::u16string_view S2);
// At most N units, stopping after a 0 in both; the difference of the first
// unequal units, 0 when equal.
int nxStrLCompW(const char16_t* S1, const char16_t* S2, size_t N) noexcept;
int nxStrLICompW(const char16_t* S1, const char16_t* S2, size_t N) noexcept;  // ASCII a-z folded

bool nxSameByteArrays(const std::vector<uint8_t>& A, const std::vector<uint8_t>& B) noexcept;
template <typename G>
  requires(sizeof(G) == 16)
bool nxSameGUID(const G& A, const G& B) noexcept {
  return std::memcmp(&A, &B, 16) == 0;
}

constexpr uint16_t nxMinWord(uint16_t a, uint16_t b) noexcept { return a < b ? a : b; }
constexpr uint16_t nxMaxWord(uint16_t a, uint16_t b) noexcept { return a > b ? a : b; }
constexpr uint32_t nxMinCardinal(uint32_t a, uint32_t b) noexcept { return a < b ? a : b; }
constexpr uint32_t nxMaxCardinal(uint32_t a, uint32_t b) noexcept { return a > b ? a : b; }
constexpr int32_t nxMinInteger(int32_t a, int32_t b) noexcept { return a < b ? a : b; }
constexpr int32_t nxMaxInteger(int32_t a, int32_t b) noexcept { return a > b ? a : b; }
constexpr int64_t nxMinInt64(int64_t a, int64_t b) noexcept { return a < b ? a : b; }
constexpr int64_t nxMaxInt64(int64_t a, int64_t b) noexcept { return a > b ? a : b; }

// Bit sets: bit i is bit (i and 7) of byte (i shr 3), the same as bit
// (i and 31) of 32-bit word (i shr 5) in little-endian memory. The caller's
// buffer holds (Count + 7) div 8 bytes.
void nxBitsClearAll(void* Bits, size_t Count) noexcept;
void nxBitsSetAll(void* Bits, size_t Count) noexcept;
void nxBitClear(void* Bits, size_t Index) noexcept;
void nxBitSet(void* Bits, size_t Index) noexcept;
int nxBitIsSet(const void* Bits, size_t Index) noexcept;
// The first clear bit below Count, -1 when none.
int64_t nxBitsFindFirstClear(const void* Bits, size_t Count) noexcept;
void nxBitsOr(void* Dest, const void* Src, size_t Count) noexcept;

}  // namespace revurov
