#include "platform/date_time.h"

#include <chrono>
#include <cmath>
#include <ctime>

#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov::platform {

namespace {

constexpr int32_t kMaxDate = 3652059;  // 9999-12-31
constexpr int64_t kUnixDateDelta = 25569;  // days from 1899-12-30 to 1970-01-01

const char16_t* const kShortMonthNames[12] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                              u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
const char16_t* const kLongMonthNames[12] = {u"January", u"February", u"March",     u"April",
                                             u"May",     u"June",     u"July",      u"August",
                                             u"September", u"October", u"November", u"December"};
const char16_t* const kShortDayNames[7] = {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"};
const char16_t* const kLongDayNames[7] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                          u"Thursday", u"Friday", u"Saturday"};
// The invariant locale's formats that the settings do not carry.
constexpr std::u16string_view kLongDateFormat = u"dddd, dd MMMM yyyy";
constexpr std::u16string_view kShortTimeFormat = u"HH:mm";

[[noreturn]] void InvalidDateTime(TDateTime value) {
  throw EConvertError(Format(u"Ung\u00FCltiger Wert f\u00FCr Datum und Uhrzeit: %g", {value}));
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

bool IsLeapYear(int y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

int DaysInMonth(int y, int m) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : days[m - 1];
}

// Case-insensitive ASCII prefix test.
bool StartsWithText(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && AsciiSameText(s.substr(0, prefix.size()), prefix);
}

class Formatter {
public:
  Formatter(TDateTime value, const TFormatSettings& settings) : settings_(settings) {
    const TTimeStamp ts = DateTimeToTimeStamp(value);
    CivilFromDays(ts.Date - 1 - 719162, year_, month_, day_);
    dayOfWeek_ = ts.Date % 7;  // 0 = Sunday; day 1 was a Monday
    hour_ = ts.Time / 3600000;
    minute_ = ts.Time / 60000 % 60;
    second_ = ts.Time / 1000 % 60;
    msec_ = ts.Time % 1000;
  }

  std::u16string Run(std::u16string_view format) {
    Append(format.empty() ? std::u16string_view(u"c") : format, 0);
    return out_;
  }

private:
  void Number(int value, int digits) {
    std::u16string s = Format(u"%d", {value});
    if (static_cast<int>(s.size()) < digits) out_.append(static_cast<size_t>(digits) - s.size(), u'0');
    out_ += s;
  }

  // Nested formats (c, ddddd, t, tt) go two levels deep at most, so a
  // format that names itself cannot recurse without end.
  void Nested(std::u16string_view format, int level) {
    if (level < 2) Append(format, level + 1);
  }

  void Append(std::u16string_view f, int level) {
    char16_t lastToken = 0;
    bool use12Hour = false;
    size_t i = 0;
    while (i < f.size()) {
      const char16_t starter = f[i++];
      char16_t token = AsciiUpper(starter);
      if (token >= u'A' && token <= u'Z') {
        if (token == u'M' && lastToken == u'H') token = u'N';
        lastToken = token;
      }
      auto count = [&]() {
        int n = 1;
        while (i < f.size() && f[i] == starter) {
          ++i;
          ++n;
        }
        return n;
      };
      switch (token) {
        case u'Y':
          if (count() <= 2) Number(year_ % 100, 2);
          else Number(year_, 4);
          break;
        case u'M': {
          const int n = count();
          if (n <= 2) Number(month_, n);
          else out_ += n == 3 ? kShortMonthNames[month_ - 1] : kLongMonthNames[month_ - 1];
          break;
        }
        case u'D': {
          const int n = count();
          if (n <= 2) Number(day_, n);
          else if (n == 3) out_ += kShortDayNames[dayOfWeek_];
          else if (n == 4) out_ += kLongDayNames[dayOfWeek_];
          else if (n == 5) Nested(settings_.ShortDateFormat, level);
          else Nested(kLongDateFormat, level);
          break;
        }
        case u'H': {
          const int n = count();
          // A 12-hour clock when an am/pm marker follows before the next hour.
          bool quoted = false;
          for (size_t p = i; p < f.size(); ++p) {
            const char16_t c = f[p];
            if (c == u'\'' || c == u'"') quoted = !quoted;
            if (quoted) continue;
            if (c == u'A' || c == u'a') {
              const std::u16string_view rest = f.substr(p);
              if (StartsWithText(rest, u"AM/PM") || StartsWithText(rest, u"A/P") || StartsWithText(rest, u"AMPM"))
                use12Hour = true;
              break;
            }
            if (c == u'H' || c == u'h') break;
          }
          int h = hour_;
          if (use12Hour) h = h == 0 ? 12 : (h > 12 ? h - 12 : h);
          Number(h, n > 2 ? 2 : n);
          break;
        }
        case u'N': {
          const int n = count();
          Number(minute_, n > 2 ? 2 : n);
          break;
        }
        case u'S': {
          const int n = count();
          Number(second_, n > 2 ? 2 : n);
          break;
        }
        case u'Z': {
          const int n = count();
          Number(msec_, n > 3 ? 3 : n);
          break;
        }
        case u'T':
          Nested(count() == 1 ? kShortTimeFormat : std::u16string_view(settings_.LongTimeFormat), level);
          break;
        case u'C':
          count();
          Nested(settings_.ShortDateFormat, level);
          if (hour_ || minute_ || second_ || msec_) {
            out_ += u' ';
            Nested(settings_.LongTimeFormat, level);
          }
          break;
        case u'A': {
          const std::u16string_view rest = f.substr(i - 1);
          if (StartsWithText(rest, u"AM/PM")) {
            out_ += rest.substr(hour_ >= 12 ? 3 : 0, 2);  // keeps the format's case
            i += 4;
          } else if (StartsWithText(rest, u"A/P")) {
            out_ += rest.substr(hour_ >= 12 ? 2 : 0, 1);
            i += 2;
          } else if (StartsWithText(rest, u"AMPM")) {
            out_ += hour_ < 12 ? settings_.TimeAMString : settings_.TimePMString;
            i += 3;
          } else {
            out_ += starter;
          }
          break;
        }
        case u'/':
          if (settings_.DateSeparator) out_ += settings_.DateSeparator;
          break;
        case u':':
          if (settings_.TimeSeparator) out_ += settings_.TimeSeparator;
          break;
        case u'\'':
        case u'"': {
          // To the closing quote, or the end of the format when it has none.
          const size_t end = f.find(starter, i);
          const size_t stop = end == std::u16string_view::npos ? f.size() : end;
          out_ += f.substr(i, stop - i);
          i = end == std::u16string_view::npos ? f.size() : end + 1;
          break;
        }
        default: out_ += starter;
      }
    }
  }

  const TFormatSettings& settings_;
  std::u16string out_;
  int year_ = 0, month_ = 0, day_ = 0, dayOfWeek_ = 0;
  int hour_ = 0, minute_ = 0, second_ = 0, msec_ = 0;
};

}  // namespace

TTimeStamp DateTimeToTimeStamp(TDateTime value) {
  if (!std::isfinite(value) || value < MinDateTime || value >= 2958466.0) InvalidDateTime(value);
  double t = value * MSecsPerDay;
  t += t < 0 ? -0.5 : 0.5;
  const auto ms = static_cast<int64_t>(t);  // in range: |t| < 2.6e14
  TTimeStamp ts;
  ts.Date = static_cast<int32_t>(DateDelta + ms / MSecsPerDay);
  ts.Time = static_cast<int32_t>((ms < 0 ? -ms : ms) % MSecsPerDay);
  // Rounding to the millisecond may step past the last day.
  if (ts.Date < 1 || ts.Date > kMaxDate) InvalidDateTime(value);
  return ts;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
  CivilFromDays(DateTimeToTimeStamp(value).Date - 1 - 719162, year, month, day);
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec) {
  const int32_t t = DateTimeToTimeStamp(value).Time;
  hour = t / 3600000;
  minute = t / 60000 % 60;
  second = t / 1000 % 60;
  msec = t % 1000;
}

bool TryEncodeDate(int year, int month, int day, TDateTime& value) noexcept {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
    return false;
  value = static_cast<TDateTime>(DaysFromCivil(year, month, day) + kUnixDateDelta);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& value) noexcept {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 || msec > 999)
    return false;
  value = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + msec) / MSecsPerDay;
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime value;
  if (!TryEncodeDate(year, month, day, value))
    throw EConvertError(u"Ung\u00FCltiges Argument zum Codieren des Datums");
  return value;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
  TDateTime value;
  if (!TryEncodeTime(hour, minute, second, msec, value))
    throw EConvertError(u"Ung\u00FCltiges Argument zum Codieren der Uhrzeit");
  return value;
}

std::u16string FormatDateTime(std::u16string_view format, TDateTime value, const TFormatSettings& settings) {
  return Formatter(value, settings).Run(format);
}

TDateTime Now() {
  const auto now = std::chrono::system_clock::now();
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch());
  const std::time_t secs = static_cast<std::time_t>(us.count() / 1000000);
  std::tm local{};
  localtime_r(&secs, &local);
  const double localSeconds = static_cast<double>(us.count()) / 1e6 + local.tm_gmtoff;
  return localSeconds / 86400.0 + kUnixDateDelta;
}

}  // namespace revurov::platform
