#include "platform/date_time_parse.h"

#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov::platform {

namespace {

class Scanner {
public:
  explicit Scanner(std::u16string_view text) : t_(text) {}

  bool AtEnd() const { return i_ >= t_.size(); }
  size_t Pos() const { return i_; }
  void Reset(size_t pos) { i_ = pos; }

  // Up to 9 decimal digits; false when none.
  bool Number(int& value, int& digits) {
    value = 0;
    digits = 0;
    while (i_ < t_.size() && t_[i_] >= u'0' && t_[i_] <= u'9' && digits < 9) {
      value = value * 10 + (t_[i_++] - u'0');
      ++digits;
    }
    return digits > 0 && !(i_ < t_.size() && t_[i_] >= u'0' && t_[i_] <= u'9');
  }
  bool Char(char16_t c) {
    if (i_ < t_.size() && t_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  void Blanks() {
    while (i_ < t_.size() && IsBlank(t_[i_])) ++i_;
  }
  static bool IsBlank(char16_t c) { return c == u' ' || c == u'\u00A0' || c == u'\u202F'; }
  bool Text(std::u16string_view word) {
    if (word.empty() || t_.size() - i_ < word.size() || !AsciiSameText(t_.substr(i_, word.size()), word))
      return false;
    i_ += word.size();
    return true;
  }

private:
  std::u16string_view t_;
  size_t i_ = 0;
};

// Positions of day, month and year among the three numbers of a date.
void DateOrder(std::u16string_view format, int& day, int& month, int& year) {
  day = 0;
  month = 1;
  year = 2;
  int next = 0, d = -1, m = -1, y = -1;
  // Read for every text, so kept to plain compares.
  for (size_t i = 0; i < format.size() && next < 3; ++i) {
    const char16_t l = format[i] | 0x20;
    if (l == u'd' && d < 0) d = next++;
    else if (l == u'm' && m < 0) m = next++;
    else if (l == u'y' && y < 0) y = next++;
  }
  if (d >= 0 && m >= 0 && y >= 0) {
    day = d;
    month = m;
    year = y;
  }
}

bool ScanDate(Scanner& s, const TFormatSettings& fs, TDateTime& date) {
  int n[3], digits[3];
  for (int k = 0; k < 3; ++k) {
    if (k > 0 && !s.Char(fs.DateSeparator)) return false;
    if (!s.Number(n[k], digits[k])) return false;
  }
  int d, m, y;
  DateOrder(fs.ShortDateFormat, d, m, y);
  int year = n[y];
  if (digits[y] <= 2) {
    // The first year of the window that ends in these digits.
    const int32_t start = fs.TwoDigitYearWindowStart;
    const int32_t base = start - ((start % 100) + 100) % 100;
    year += base;
    if (year < start) year += 100;
  }
  return TryEncodeDate(year, n[m], n[d], date);
}

bool ScanTime(Scanner& s, const TFormatSettings& fs, TDateTime& time) {
  int h, mi, sec = 0, ms = 0, digits;
  if (!s.Number(h, digits) || !s.Char(fs.TimeSeparator) || !s.Number(mi, digits)) return false;
  if (s.Char(fs.TimeSeparator)) {
    if (!s.Number(sec, digits)) return false;
    if (s.Char(u'.') && !s.Number(ms, digits)) return false;
  }
  s.Blanks();
  if (s.Text(fs.TimeAMString) || s.Text(u"AM")) {
    if (h < 1 || h > 12) return false;
    if (h == 12) h = 0;
  } else if (s.Text(fs.TimePMString) || s.Text(u"PM")) {
    if (h < 1 || h > 12) return false;
    if (h != 12) h += 12;
  }
  return TryEncodeTime(h, mi, sec, ms, time);
}

}  // namespace

bool TryStrToDate(std::u16string_view text, TDateTime& value, const TFormatSettings& settings) noexcept {
  Scanner s(Trim(text));
  TDateTime date = 0;
  if (!ScanDate(s, settings, date)) return false;
  s.Blanks();
  if (!s.AtEnd()) return false;
  value = date;
  return true;
}

bool TryStrToTime(std::u16string_view text, TDateTime& value, const TFormatSettings& settings) noexcept {
  Scanner s(Trim(text));
  TDateTime time = 0;
  if (!ScanTime(s, settings, time)) return false;
  s.Blanks();
  if (!s.AtEnd()) return false;
  value = time;
  return true;
}

bool TryStrToDateTime(std::u16string_view text, TDateTime& value, const TFormatSettings& settings) noexcept {
  Scanner s(Trim(text));
  TDateTime date = 0, time = 0;
  if (ScanDate(s, settings, date)) {
    if (!s.AtEnd()) {
      s.Blanks();
      if (!ScanTime(s, settings, time)) return false;
    }
  } else {
    s.Reset(0);
    if (!ScanTime(s, settings, time)) return false;
  }
  s.Blanks();
  if (!s.AtEnd()) return false;
  value = date >= 0 ? date + time : date - time;
  return true;
}

TDateTime StrToDateTime(std::u16string_view text, const TFormatSettings& settings) {
  TDateTime value;
  if (!TryStrToDateTime(text, value, settings))
    throw EConvertError(Format(u"'%s' ist kein g\u00FCltiges Datum und Uhrzeit", {text}));
  return value;
}

}  // namespace revurov::platform
