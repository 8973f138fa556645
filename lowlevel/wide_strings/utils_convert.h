// Number, date-time and GUID text. The 8-bit forms give text in the
// system's ANSI code page. Date-time values outside the calendar raise
// EConvertError (platform/date_time.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/date_time.h"
#include "platform/format.h"
#include "platform/guid.h"

namespace revurov {

std::u16string nxIntToStr(int32_t aValue);
std::u16string nxInt64ToStr(int64_t aValue);
std::string nxIntToAnsiStr(int32_t aValue);
std::string nxInt64ToAnsiStr(int64_t aValue);
// Decimal (or "$"/"0x" hexadecimal) 32-bit integer; aDefault for anything else.
int32_t nxAnsiStrToIntDef(std::string_view aText, int32_t aDefault);
// Shortest text of 15 significant digits with the settings' decimal separator.
std::u16string nxFloatToStr(long double aValue, const platform::TFormatSettings& aSettings);
std::string nxFloatToAnsiStr(long double aValue, const platform::TFormatSettings& aSettings);

// The settings' long time format.
std::u16string nxTimeToStr(platform::TDateTime aValue, const platform::TFormatSettings& aSettings);
std::string nxTimeToAnsiStr(platform::TDateTime aValue, const platform::TFormatSettings& aSettings);
// The settings' short date format.
std::u16string nxDateToStr(platform::TDateTime aValue, const platform::TFormatSettings& aSettings);
std::string nxDateToAnsiStr(platform::TDateTime aValue, const platform::TFormatSettings& aSettings);
// Short date, then a blank and the long time unless the time is midnight.
std::u16string nxDateTimeToStr(platform::TDateTime aValue, const platform::TFormatSettings& aSettings);
std::string nxDateTimeToAnsiStr(platform::TDateTime aValue, const platform::TFormatSettings& aSettings);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal digits.
std::u16string nxGUIDToStr(const platform::TGUID& aGuid);
std::string nxGUIDToAnsiStr(const platform::TGUID& aGuid);

// Day number aDate (0001-01-01 = 1) and aTime milliseconds since midnight.
inline platform::TTimeStamp nxMakeTimeStamp(int32_t aDate, int32_t aTime) {
  platform::TTimeStamp ts;
  ts.Time = aTime;
  ts.Date = aDate;
  return ts;
}

}  // namespace revurov
