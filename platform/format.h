// The runtime's Format: "%" [index ":"] ["-"] [width] ["." prec] type, with
// types d u x e f g n p s and "%%". Width and precision may be "*" (taken
// from the next argument). Types are checked against the arguments: a
// mismatch, a missing argument or a malformed directive raises EConvertError
// "Format '<fmt>' invalid or incompatible with argument".
//
// d: decimal, precision = minimum digits; u: unsigned (a negative 32-bit
// value is read as its 32-bit pattern); x: upper-case hex, precision =
// minimum digits; e: d.ddddE+ddd, precision = significant digits (15);
// f: fixed, precision = decimals (2); g: shortest of fixed and scientific,
// precision = significant digits (15); n: as f with thousand separators;
// p: pointer as 16 hex digits; s: text, precision = maximum characters.
//
// The 16-bit form is the library's; the 8-bit form takes and returns UTF-8.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace revurov::platform {

struct TFormatSettings {
  char16_t DecimalSeparator = u'.';
  char16_t ThousandSeparator = u',';
  // Date and time text (platform/date_time.h); the defaults are the
  // invariant locale's.
  char16_t DateSeparator = u'/';
  char16_t TimeSeparator = u':';
  std::u16string ShortDateFormat = u"MM/dd/yyyy";
  std::u16string LongTimeFormat = u"HH:mm:ss";
  std::u16string TimeAMString = u"AM";
  std::u16string TimePMString = u"PM";
  // A year written with one or two digits is read as the year of the
  // hundred years from this one on that ends in those digits.
  int32_t TwoDigitYearWindowStart = 1950;
};

// Process-wide number settings used by Format and the number routines.
TFormatSettings& FormatSettings() noexcept;

class TFormatArg {
public:
  enum class Kind { Int, UInt, Float, Str16, Str8, Ptr };

  template <std::signed_integral T>
    requires(!std::same_as<T, char>)
  TFormatArg(T v) noexcept : kind_(Kind::Int), i_(v), narrow_(sizeof(T) <= 4) {}
  template <std::unsigned_integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char16_t> && !std::same_as<T, char8_t>)
  TFormatArg(T v) noexcept : kind_(Kind::UInt), u_(v) {}
  TFormatArg(bool) = delete;
  TFormatArg(double v) noexcept : kind_(Kind::Float), f_(v) {}
  TFormatArg(long double v) noexcept : kind_(Kind::Float), f_(v) {}
  TFormatArg(char16_t c) noexcept : kind_(Kind::Str16), s16_(&c16_, 1), c16_(c) {}
  TFormatArg(std::u16string_view s) noexcept : kind_(Kind::Str16), s16_(s) {}
  TFormatArg(const std::u16string& s) noexcept : kind_(Kind::Str16), s16_(s) {}
  TFormatArg(const char16_t* s) noexcept : kind_(Kind::Str16), s16_(s ? s : u"") {}
  TFormatArg(std::string_view s) noexcept : kind_(Kind::Str8), s8_(s) {}
  TFormatArg(const std::string& s) noexcept : kind_(Kind::Str8), s8_(s) {}
  TFormatArg(const char* s) noexcept : kind_(Kind::Str8), s8_(s ? s : "") {}
  TFormatArg(const void* p) noexcept : kind_(Kind::Ptr), p_(p) {}

  TFormatArg(const TFormatArg&) = delete;
  TFormatArg& operator=(const TFormatArg&) = delete;

  Kind kind() const noexcept { return kind_; }
  int64_t AsInt() const noexcept { return i_; }
  uint64_t AsUInt() const noexcept { return u_; }
  long double AsFloat() const noexcept { return f_; }
  bool IsNarrowInt() const noexcept { return narrow_; }
  std::u16string_view AsStr16() const noexcept { return s16_; }
  std::string_view AsStr8() const noexcept { return s8_; }
  const void* AsPtr() const noexcept { return p_; }

private:
  Kind kind_;
  int64_t i_ = 0;
  uint64_t u_ = 0;
  long double f_ = 0;
  bool narrow_ = false;
  std::u16string_view s16_;
  std::string_view s8_;
  const void* p_ = nullptr;
  char16_t c16_ = 0;
};

std::u16string Format(std::u16string_view fmt, std::initializer_list<TFormatArg> args = {});
std::string Format(std::string_view fmt, std::initializer_list<TFormatArg> args = {});

}  // namespace revurov::platform
