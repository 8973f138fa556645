// The runtime's date-time type and its text: a date-time is a double of
// days since 1899-12-30 whose fraction is the time of day (for a date
// before that day the fraction still counts forward from midnight: -1.25
// is 1899-12-29 06:00).
//
// Contract:
// - Values are valid from 0001-01-01 (MinDateTime) to 9999-12-31
//   23:59:59.999; NaN, infinities and anything outside raise EConvertError.
//   Values are rounded to the millisecond first, as the runtime does.
// - FormatDateTime takes the runtime's format specifiers, case-insensitive:
//   c (short date, then a blank and the long time unless the time is
//   midnight), d dd ddd dddd ddddd (short date), m mm mmm mmmm (minutes
//   right after an h), yy yyyy, h hh, n nn, s ss, z zzz, t tt (long time),
//   am/pm a/p ampm (12-hour clock; case kept), / and : (the separators),
//   text in '...' or "..." as it stands; anything else is copied. Day and
//   month names are the invariant locale's (English).
// - Now is the local date and time (the system's time zone and daylight
//   saving) to the microsecond.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/format.h"

namespace revurov::platform {

using TDateTime = double;

inline constexpr TDateTime MinDateTime = -693593.0;  // 0001-01-01
inline constexpr int32_t DateDelta = 693594;          // days from 0001-01-01 (day 1) to 1899-12-30
inline constexpr int32_t MSecsPerDay = 86400000;

// Time: milliseconds since midnight; Date: day number, 0001-01-01 = 1.
struct TTimeStamp {
  int32_t Time = 0;
  int32_t Date = 0;
};

TTimeStamp DateTimeToTimeStamp(TDateTime value);  // raises EConvertError
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec);
TDateTime EncodeDate(int year, int month, int day);  // raises EConvertError
TDateTime EncodeTime(int hour, int minute, int second, int msec);  // raises EConvertError
// False (value untouched) where Encode... would raise.
bool TryEncodeDate(int year, int month, int day, TDateTime& value) noexcept;
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& value) noexcept;

TDateTime Now();

std::u16string FormatDateTime(std::u16string_view format, TDateTime value, const TFormatSettings& settings);

}  // namespace revurov::platform
