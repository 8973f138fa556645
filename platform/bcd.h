// The runtime's packed-decimal number (BCD) and the runtime routines on it.
//
// Contract:
// - TBcd is the 34-byte record: Precision (digits, 1 to 64), then the sign
//   (bit 7), a special flag (bit 6) and the scale (bits 0-5), then 64 digit
//   nibbles, most significant first, the first digit of a byte in its high
//   nibble. Nibbles beyond the precision are 0.
// - BcdToStr raises EBcdOverflowException "BCD overflow" for a precision of
//   0 or above 64, or a scale above the precision; it never reads a nibble
//   beyond the precision.
// - TryStrToBcd accepts an optional leading "-", the digits "0" to "9" and
//   at most one separator; anything else answers false and leaves aBcd
//   untouched.
// - BcdToCurr answers false for precision 0 and for a value outside the
//   64-bit currency range; otherwise the value rounded (ties to even) to
//   four decimals.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/rtl_exception.h"

namespace revurov::platform {

struct TBcd {
  uint8_t Precision = 0;
  uint8_t SignSpecialPlaces = 0;
  uint8_t Fraction[32] = {};
};
static_assert(sizeof(TBcd) == 34);

inline constexpr int kMaxBcdDigits = 64;
inline constexpr uint8_t kBcdNegative = 0x80;
inline constexpr uint8_t kBcdSpecial = 0x40;
inline constexpr uint8_t kBcdScaleMask = 0x3F;

REVUROV_RUNTIME_EXCEPTION(EBcdException, Exception);
REVUROV_RUNTIME_EXCEPTION(EBcdOverflowException, EBcdException);

inline int BcdScale(const TBcd& b) noexcept { return b.SignSpecialPlaces & kBcdScaleMask; }
inline bool BcdIsNegative(const TBcd& b) noexcept { return (b.SignSpecialPlaces & kBcdNegative) != 0; }
// Digit i (0-based, 0 to 63).
inline int BcdDigit(const TBcd& b, int i) noexcept {
  const uint8_t v = b.Fraction[i >> 1];
  return (i & 1) ? (v & 0x0F) : (v >> 4);
}
inline void SetBcdDigit(TBcd& b, int i, int d) noexcept {
  uint8_t& v = b.Fraction[i >> 1];
  v = (i & 1) ? uint8_t((v & 0xF0) | d) : uint8_t((v & 0x0F) | (d << 4));
}
// Zero with precision 8 and scale 2, as the runtime makes it from "0".
TBcd BcdZero() noexcept;
bool BcdEquals(const TBcd& a, const TBcd& b) noexcept;  // byte for byte

std::u16string BcdToStr(const TBcd& aBcd, char16_t aSeparator);
bool TryStrToBcd(std::u16string_view aText, TBcd& aBcd, char16_t aSeparator) noexcept;
bool BcdToCurr(const TBcd& aBcd, int64_t& aCurrency) noexcept;
// Precision 32, scale 4; every currency value fits.
TBcd CurrToBcd(int64_t aCurrency) noexcept;
// -1, 0 or 1 by value; negative zero equals zero. Both must be valid.
int BcdCompare(const TBcd& a, const TBcd& b) noexcept;

}  // namespace revurov::platform
