#include "platform/date_time_parse.h"

#include <gtest/gtest.h>

#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov::platform {
namespace {

TFormatSettings German() {
  TFormatSettings fs;
  fs.DecimalSeparator = u',';
  fs.DateSeparator = u'.';
  fs.ShortDateFormat = u"dd.MM.yyyy";
  return fs;
}

TEST(StrToDateTime, ReadsDateTimeAndBothInTheLocaleOrder) {
  const TFormatSettings invariant;
  const TFormatSettings german = German();
  TFormatSettings iso;
  iso.DateSeparator = u'-';
  iso.ShortDateFormat = u"yyyy-MM-dd";
  const double jan31 = EncodeDate(2024, 1, 31);
  struct Case {
    const char16_t* text;
    const TFormatSettings* fs;
    double value;
  };
  const Case cases[] = {
      {u"01/31/2024", &invariant, jan31},
      {u"31.01.2024", &german, jan31},
      {u"2024-01-31", &iso, jan31},
      {u" 1/31/24 ", &invariant, jan31},
      {u"01/31/2024 12:00", &invariant, jan31 + 0.5},
      {u"31.01.2024 06:00:00.500", &german, jan31 + (6 * 3600000.0 + 500) / 86400000.0},
      {u"12:00:00 PM", &invariant, 0.5},
      {u"12:30 am", &invariant, 30 / 1440.0},
      {u"18:00", &german, 0.75},
      {u"12/29/1899 06:00", &invariant, -1.25},
  };
  for (const auto& c : cases) {
    TDateTime v = -99;
    EXPECT_TRUE(TryStrToDateTime(c.text, v, *c.fs)) << Utf16ToUtf8(c.text);
    EXPECT_DOUBLE_EQ(v, c.value) << Utf16ToUtf8(c.text);
  }
}

TEST(StrToDateTime, RefusesOtherText) {
  const TFormatSettings invariant;
  for (const char16_t* text : {u"", u"31.01.2024", u"02/30/2024", u"01/31/2024 25:00", u"01/31", u"13:00 PM",
                               u"01/31/2024x", u"1e5", u"01/31/2024 12:00 13"}) {
    TDateTime v = -99;
    EXPECT_FALSE(TryStrToDateTime(text, v, invariant)) << Utf16ToUtf8(text);
    EXPECT_EQ(v, -99);
  }
  try {
    StrToDateTime(u"x", invariant);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"'x' ist kein g\u00FCltiges Datum und Uhrzeit");
  }
}

// A date alone and a time alone: the other part is refused, not ignored.
TEST(StrToDateTime, DateAndTimeAloneRefuseTheOtherPart) {
  const TFormatSettings german = German();
  TFormatSettings us;
  us.ShortDateFormat = u"M/d/yyyy";
  us.LongTimeFormat = u"h:nn:ss AMPM";
  const double jan31 = EncodeDate(2024, 1, 31);
  struct Case {
    const char16_t* text;
    const TFormatSettings* fs;
    bool isDate;
    bool isTime;
    double value;
  };
  const Case cases[] = {
      {u"31.01.2024", &german, true, false, jan31},
      {u" 31.01.2024 ", &german, true, false, jan31},
      {u"01.01.0001", &german, true, false, MinDateTime},
      {u"31.12.9999", &german, true, false, EncodeDate(9999, 12, 31)},
      {u"31.01.2024 12:00", &german, false, false, 0},
      {u"12:00", &german, false, true, 0.5},
      {u"1:05:06 PM", &us, false, true, (13 * 3600 + 5 * 60 + 6) / 86400.0},
      {u"1:05:06\u202FPM", &us, false, true, (13 * 3600 + 5 * 60 + 6) / 86400.0},
      {u"12:00 AM", &us, false, true, 0},
      {u"23:59:59.999", &us, false, true, (86400000 - 1) / 86400000.0},
      {u"24:00", &us, false, false, 0},
      {u"1/31/2024", &us, true, false, jan31},
      {u"31/1/2024", &us, false, false, 0},
      {u"", &us, false, false, 0},
      {u"1/31/2024x", &us, false, false, 0},
  };
  for (const auto& c : cases) {
    TDateTime date = -99, time = -99;
    EXPECT_EQ(TryStrToDate(c.text, date, *c.fs), c.isDate) << Utf16ToUtf8(c.text);
    EXPECT_EQ(TryStrToTime(c.text, time, *c.fs), c.isTime) << Utf16ToUtf8(c.text);
    EXPECT_DOUBLE_EQ(date, c.isDate ? c.value : -99) << Utf16ToUtf8(c.text);
    EXPECT_DOUBLE_EQ(time, c.isTime ? c.value : -99) << Utf16ToUtf8(c.text);
  }
}

TEST(StrToDateTime, TwoDigitYearsFallInTheSettingsWindow) {
  TFormatSettings fs = German();
  struct Case {
    int32_t start;
    const char16_t* text;
    int year;
  };
  const Case cases[] = {
      {1950, u"1.2.49", 2049}, {1950, u"1.2.50", 1950}, {1950, u"1.2.0", 2000},  {1930, u"1.2.29", 2029},
      {1930, u"1.2.30", 1930}, {2000, u"1.2.99", 2099}, {2001, u"1.2.00", 2100}, {1950, u"1.2.049", 49},
      {1950, u"1.2.0049", 49},
  };
  for (const auto& c : cases) {
    fs.TwoDigitYearWindowStart = c.start;
    TDateTime v = 0;
    ASSERT_TRUE(TryStrToDate(c.text, v, fs)) << Utf16ToUtf8(c.text);
    EXPECT_EQ(v, EncodeDate(c.year, 2, 1)) << c.start << ' ' << Utf16ToUtf8(c.text);
  }
}

TEST(TryEncode, AgreesWithEncode) {
  TDateTime v = -99;
  EXPECT_TRUE(TryEncodeDate(2024, 2, 29, v));
  EXPECT_EQ(v, EncodeDate(2024, 2, 29));
  EXPECT_FALSE(TryEncodeDate(2023, 2, 29, v));
  EXPECT_FALSE(TryEncodeDate(10000, 1, 1, v));
  EXPECT_TRUE(TryEncodeTime(23, 59, 59, 999, v));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, v));
  EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
}

}  // namespace
}  // namespace revurov::platform
