// Dates, times and timestamps in the fixed ISO text YYYY-MM-DD,
// HH:MM:SS[.ZZZ] and YYYY-MM-DD HH:MM:SS[.ZZZ], whatever the user's locale.
//
// Contract:
// - A text enclosed in single quotes is read without them.
// - Only the length and the fixed characters are checked; a digit field
//   takes its decimal digits and skips anything else in it. Without the "."
//   the milliseconds are 0, even in a text of 12 or 23 characters.
// - Years 1 to 9999, real calendar days, hours 0-23, minutes and seconds
//   0-59, milliseconds 0-999.
// - The ...ToDateTime and nxVariantToIso... routines raise
//   platform::Exception "Invalid date format %s", "Invalid time format %s"
//   or "Invalid date/time format %s" with the text.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/date_time.h"
#include "platform/variant.h"

namespace revurov {

// The digits of aCount characters from aStart (0-based), others skipped.
int32_t nxDigitsValue(std::u16string_view aText, size_t aStart, size_t aCount) noexcept;

bool nxIsIsoDate(std::u16string_view aText) noexcept;
bool nxIsIsoTime(std::u16string_view aText) noexcept;
bool nxIsIsoDateTime(std::u16string_view aText) noexcept;
platform::TDateTime nxIsoDateToDateTime(std::u16string_view aText);
platform::TDateTime nxIsoTimeToDateTime(std::u16string_view aText);
// Date + time, or date - time before 1899-12-30.
platform::TDateTime nxIsoDateTimeToDateTime(std::u16string_view aText);

platform::TDateTime nxVariantToIsoDate(const platform::TnxVariant& aValue);
platform::TDateTime nxVariantToIsoTime(const platform::TnxVariant& aValue);
platform::TDateTime nxVariantToIsoDateTime(const platform::TnxVariant& aValue);

}  // namespace revurov
