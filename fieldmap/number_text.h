// The number grammars of text fields read into numeric fields, whatever
// the locale: 8-bit text byte by byte, UTF-16 text unit by unit (no code
// page turns a byte above 127 into a digit, sign, point or letter of
// these grammars).
//
// Integer: blanks (U+0020) skipped, an optional sign, then decimal digits
// or hexadecimal digits after "$", "x", "X", "0x" or "0X"; nothing may
// follow. A hexadecimal text is a two's-complement pattern of the reader's
// width and not a number when it needs more bits; a decimal text has its
// exact value (saturated far beyond 64 bits, so any target can tell it is
// out of range).
//
// Float: blanks skipped, an optional sign, digits with an optional
// fraction after "." (at least one digit), an optional exponent "E" or
// "e" with optional sign and digits; nothing may follow. The value is
// rounded once to 80-bit extended, +-infinity past its range.
#pragma once

#include <string_view>

namespace revurov {

struct TnxIntegerText {
  bool IsNumber = false;
  __int128 Value = 0;
};

// aWidth: 32 or 64.
TnxIntegerText nxReadIntegerText(std::string_view aText, int aWidth) noexcept;
TnxIntegerText nxReadIntegerText(std::u16string_view aText, int aWidth) noexcept;

// False, aValue untouched, when the text is not a number.
bool nxReadFloatText(std::string_view aText, long double& aValue) noexcept;
bool nxReadFloatText(std::u16string_view aText, long double& aValue) noexcept;

}  // namespace revurov
