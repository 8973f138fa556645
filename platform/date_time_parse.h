// The runtime's StrToDateTime: date-time text in a locale's short date
// order and separators.
//
// Contract:
// - Text: a date (three numbers joined by the settings' DateSeparator, in
//   the order of day, month and year in ShortDateFormat), a time
//   (hour, minute, optional second and ".zzz" milliseconds joined by the
//   TimeSeparator, optional TimeAMString/TimePMString after a blank), or a
//   date, a blank and a time. Blanks around the whole text are ignored.
// - A year of one or two digits lies in the hundred years from the
//   settings' TwoDigitYearWindowStart (1950-2049 by default).
// - Blanks are spaces; the no-break spaces some locales put before their
//   AM/PM text count as blanks too.
// - The value is date + time, or date - time before 1899-12-30 (the
//   runtime's convention for negative days).
// - StrToDateTime raises EConvertError "'%s' ist kein gültiges Datum und
//   Uhrzeit" where TryStrToDateTime answers false.
#pragma once

#include <string_view>

#include "platform/date_time.h"
#include "platform/format.h"

namespace revurov::platform {

// A date alone, a time alone (0 <= value < 1), or either or both.
bool TryStrToDate(std::u16string_view text, TDateTime& value, const TFormatSettings& settings) noexcept;
bool TryStrToTime(std::u16string_view text, TDateTime& value, const TFormatSettings& settings) noexcept;
bool TryStrToDateTime(std::u16string_view text, TDateTime& value, const TFormatSettings& settings) noexcept;
TDateTime StrToDateTime(std::u16string_view text, const TFormatSettings& settings);

}  // namespace revurov::platform
