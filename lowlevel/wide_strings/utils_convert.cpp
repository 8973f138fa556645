#include "lowlevel/wide_strings/utils_convert.h"

#include "lowlevel/wide_strings/wide_string.h"
#include "platform/code_page.h"
#include "platform/text.h"

namespace revurov {

using platform::Format;

std::u16string nxIntToStr(int32_t aValue) { return Format(u"%d", {aValue}); }
std::u16string nxInt64ToStr(int64_t aValue) { return Format(u"%d", {aValue}); }
std::string nxIntToAnsiStr(int32_t aValue) { return Format("%d", {aValue}); }
std::string nxInt64ToAnsiStr(int64_t aValue) { return Format("%d", {aValue}); }

int32_t nxAnsiStrToIntDef(std::string_view s, int32_t aDefault) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  bool neg = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    neg = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && s.front() == '$') {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return aDefault;
  uint64_t v = 0;
  for (char c : s) {
    int d = c >= '0' && c <= '9'                ? c - '0'
            : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
            : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
    if (d < 0) return aDefault;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFull) return aDefault;
  }
  if (base == 10) {
    if (neg ? v > 0x80000000ull : v > 0x7FFFFFFFull) return aDefault;
    return neg ? static_cast<int32_t>(-static_cast<int64_t>(v)) : static_cast<int32_t>(v);
  }
  // Hexadecimal text covers the full 32-bit pattern.
  int32_t r = static_cast<int32_t>(static_cast<uint32_t>(v));
  return neg ? static_cast<int32_t>(0u - static_cast<uint32_t>(r)) : r;
}

std::u16string nxFloatToStr(long double aValue, const platform::TFormatSettings& aSettings) {
  std::u16string s = Format(u"%g", {aValue});
  const char16_t global = platform::FormatSettings().DecimalSeparator;
  if (global != aSettings.DecimalSeparator)
    for (char16_t& c : s)
      if (c == global) c = aSettings.DecimalSeparator;
  return s;
}

namespace {

std::string ToAnsi(std::u16string_view s) {
  return nxWideStringToString(s, static_cast<uint16_t>(platform::SystemAnsiCodePage()));
}

}  // namespace

std::string nxFloatToAnsiStr(long double aValue, const platform::TFormatSettings& aSettings) {
  return ToAnsi(nxFloatToStr(aValue, aSettings));
}

std::u16string nxTimeToStr(platform::TDateTime aValue, const platform::TFormatSettings& aSettings) {
  return platform::FormatDateTime(aSettings.LongTimeFormat, aValue, aSettings);
}

std::string nxTimeToAnsiStr(platform::TDateTime aValue, const platform::TFormatSettings& aSettings) {
  return ToAnsi(nxTimeToStr(aValue, aSettings));
}

std::u16string nxDateToStr(platform::TDateTime aValue, const platform::TFormatSettings& aSettings) {
  return platform::FormatDateTime(aSettings.ShortDateFormat, aValue, aSettings);
}

std::string nxDateToAnsiStr(platform::TDateTime aValue, const platform::TFormatSettings& aSettings) {
  return ToAnsi(nxDateToStr(aValue, aSettings));
}

std::u16string nxDateTimeToStr(platform::TDateTime aValue, const platform::TFormatSettings& aSettings) {
  return platform::FormatDateTime(u"c", aValue, aSettings);
}

std::string nxDateTimeToAnsiStr(platform::TDateTime aValue, const platform::TFormatSettings& aSettings) {
  return ToAnsi(nxDateTimeToStr(aValue, aSettings));
}

std::u16string nxGUIDToStr(const platform::TGUID& aGuid) { return platform::GUIDToString(aGuid); }

std::string nxGUIDToAnsiStr(const platform::TGUID& aGuid) {
  return platform::Utf16ToUtf8(platform::GUIDToString(aGuid));  // ASCII only
}

}  // namespace revurov
