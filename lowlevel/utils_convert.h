// Number text conversions. The 8-bit forms give text in the system's ANSI
// code page.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/format.h"

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

}  // namespace revurov
