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
