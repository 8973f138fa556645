#include "dictionary/date_time_parser.h"

#include <string>

#include "platform/format.h"
#include "platform/rtl_exception.h"

namespace revurov {

using platform::TDateTime;

int32_t nxDigitsValue(std::u16string_view aText, size_t aStart, size_t aCount) noexcept {
  int32_t v = 0;
  for (size_t i = aStart; i < aStart + aCount && i < aText.size(); ++i)
    if (aText[i] >= u'0' && aText[i] <= u'9') v = v * 10 + (aText[i] - u'0');
  return v;
}

namespace {

std::u16string_view Unquoted(std::u16string_view aText) noexcept {
  if (aText.size() >= 2 && aText.front() == u'\'' && aText.back() == u'\'') return aText.substr(1, aText.size() - 2);
  return aText;
}

// The date of 10 characters at aText's start.
bool ParseDate(std::u16string_view t, TDateTime& aValue) noexcept {
  if (t.size() < 10 || t[4] != u'-' || t[7] != u'-') return false;
  return platform::TryEncodeDate(nxDigitsValue(t, 0, 4), nxDigitsValue(t, 5, 2), nxDigitsValue(t, 8, 2), aValue);
}

// A time of 8 characters, or 12 with milliseconds after a ".".
bool ParseTime(std::u16string_view t, TDateTime& aValue) noexcept {
  if ((t.size() != 8 && t.size() != 12) || t[2] != u':' || t[5] != u':') return false;
  const int32_t ms = t.size() == 12 && t[8] == u'.' ? nxDigitsValue(t, 9, 3) : 0;
  return platform::TryEncodeTime(nxDigitsValue(t, 0, 2), nxDigitsValue(t, 3, 2), nxDigitsValue(t, 6, 2), ms,
                                 aValue);
}

bool ParseIsoDate(std::u16string_view aText, TDateTime& aValue) noexcept {
  const std::u16string_view t = Unquoted(aText);
  return t.size() == 10 && ParseDate(t, aValue);
}

bool ParseIsoTime(std::u16string_view aText, TDateTime& aValue) noexcept { return ParseTime(Unquoted(aText), aValue); }

bool ParseIsoDateTime(std::u16string_view aText, TDateTime& aValue) noexcept {
  const std::u16string_view t = Unquoted(aText);
  TDateTime date, time;
  if ((t.size() != 19 && t.size() != 23) || t[10] != u' ' || !ParseDate(t, date) || !ParseTime(t.substr(11), time))
    return false;
  aValue = date >= 0 ? date + time : date - time;
  return true;
}

template <bool (*Parse)(std::u16string_view, TDateTime&) noexcept>
TDateTime Converted(std::u16string_view aText, const char16_t* aMessage) {
  TDateTime v;
  if (!Parse(aText, v)) throw platform::Exception(platform::Format(aMessage, {aText}));
  return v;
}

constexpr char16_t kInvalidDate[] = u"Invalid date format %s";
constexpr char16_t kInvalidTime[] = u"Invalid time format %s";
constexpr char16_t kInvalidDateTime[] = u"Invalid date/time format %s";

}  // namespace

bool nxIsIsoDate(std::u16string_view aText) noexcept {
  TDateTime v;
  return ParseIsoDate(aText, v);
}

bool nxIsIsoTime(std::u16string_view aText) noexcept {
  TDateTime v;
  return ParseIsoTime(aText, v);
}

bool nxIsIsoDateTime(std::u16string_view aText) noexcept {
  TDateTime v;
  return ParseIsoDateTime(aText, v);
}

TDateTime nxIsoDateToDateTime(std::u16string_view aText) { return Converted<ParseIsoDate>(aText, kInvalidDate); }
TDateTime nxIsoTimeToDateTime(std::u16string_view aText) { return Converted<ParseIsoTime>(aText, kInvalidTime); }
TDateTime nxIsoDateTimeToDateTime(std::u16string_view aText) {
  return Converted<ParseIsoDateTime>(aText, kInvalidDateTime);
}

TDateTime nxVariantToIsoDate(const platform::TnxVariant& aValue) { return nxIsoDateToDateTime(aValue.AsString()); }
TDateTime nxVariantToIsoTime(const platform::TnxVariant& aValue) { return nxIsoTimeToDateTime(aValue.AsString()); }
TDateTime nxVariantToIsoDateTime(const platform::TnxVariant& aValue) {
  return nxIsoDateTimeToDateTime(aValue.AsString());
}

}  // namespace revurov
