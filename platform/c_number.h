// Decimal floating-point text read the same whatever the process locale.
//
// Contract: aText is a NUL-terminated ASCII number as strtold reads it in
// the "C" locale (the caller has checked its grammar); the answer is
// correctly rounded to 80-bit extended, +-infinity past its range and a
// subnormal or a signed 0 below it.
#pragma once

namespace revurov::platform {

long double CTextToExtended(const char* aText) noexcept;

}  // namespace revurov::platform
