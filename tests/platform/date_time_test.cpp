#include "platform/date_time.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <random>

#include "platform/locale.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"
#include "support/u8_text.h"

namespace revurov::platform {
namespace {

using revurov::testing::U8;

TEST(DateTime, TimeStampsCountDaysFromYearOneAndMillisecondsFromMidnight) {
  struct Case {
    TDateTime value;
    int32_t date, time;
  } cases[] = {
      {0.0, 693594, 0},
      {1.5, 693595, 43200000},
      {-1.25, 693593, 21600000},  // before 1899-12-30 the fraction still counts forward
      {-0.25, 693594, 21600000},
      {MinDateTime, 1, 0},
      {2958465.0, 3652059, 0},
      {1.0 / 86400000 * 0.4, 693594, 0},  // rounded to the millisecond
      {2.0 - 1.0 / 86400000 * 0.4, 693596, 0},
  };
  for (const auto& c : cases) {
    const TTimeStamp ts = DateTimeToTimeStamp(c.value);
    EXPECT_EQ(ts.Date, c.date) << c.value;
    EXPECT_EQ(ts.Time, c.time) << c.value;
  }
}

TEST(DateTime, ValuesOutsideTheCalendarAreRefused) {
  const double bad[] = {std::nan(""), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity(), MinDateTime - 1e-3, 2958466.0, 1e300, -1e300,
                        2958465.9999999999};
  for (double v : bad) {
    EXPECT_THROW(DateTimeToTimeStamp(v), EConvertError) << v;
    EXPECT_THROW(FormatDateTime(u"c", v, TFormatSettings{}), EConvertError) << v;
  }
}

TEST(DateTime, EncodeAndDecodeRoundTrip) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1, 1, 1), MinDateTime);
  EXPECT_EQ(EncodeDate(2000, 2, 29), 36585.0);
  EXPECT_THROW(EncodeDate(1900, 2, 29), EConvertError);
  EXPECT_THROW(EncodeDate(0, 1, 1), EConvertError);
  EXPECT_THROW(EncodeDate(2024, 13, 1), EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    const int y = 1 + static_cast<int>(rng() % 9999), m = 1 + static_cast<int>(rng() % 12),
              d = 1 + static_cast<int>(rng() % 28);
    const int hh = static_cast<int>(rng() % 24), nn = static_cast<int>(rng() % 60),
              ss = static_cast<int>(rng() % 60), ms = static_cast<int>(rng() % 1000);
    const TDateTime date = EncodeDate(y, m, d);
    const TDateTime v = date + (date < 0 ? -1 : 1) * EncodeTime(hh, nn, ss, ms);
    int y2, m2, d2, hh2, nn2, ss2, ms2;
    DecodeDate(v, y2, m2, d2);
    DecodeTime(v, hh2, nn2, ss2, ms2);
    ASSERT_EQ((std::array{y2, m2, d2, hh2, nn2, ss2, ms2}), (std::array{y, m, d, hh, nn, ss, ms})) << v;
  }
}

// Local time lies within a time zone's offset (at most 14 hours) of UTC.
TEST(DateTime, NowIsTheLocalTimeOfTheSystemClock) {
  const auto utcSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  const double utc = double(utcSeconds) / 86400.0 + 25569.0;  // 1970-01-01 is day 25569
  EXPECT_NEAR(Now(), utc, 14.0 / 24.0 + 1.0 / 86400.0);
}

TEST(DateTime, FormatSpecifiers) {
  TFormatSettings fs;  // invariant
  const TDateTime v = EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 45);
  struct Case {
    const char16_t* format;
    const char* text;
  } cases[] = {
      {u"", "03/05/2024 14:07:09"},
      {u"c", "03/05/2024 14:07:09"},
      {u"d/m/yy", "5/3/24"},
      {u"dd.mm.yyyy", "05.03.2024"},
      {u"ddd dddd mmm mmmm", "Tue Tuesday Mar March"},
      {u"ddddd", "03/05/2024"},
      {u"h:m:s", "14:7:9"},
      {u"hh:mm:ss.zzz", "14:07:09.045"},     // m after h is the minute
      {u"hh nn z", "14 07 45"},
      {u"h:nn am/pm", "2:07 pm"},
      {u"h:nn AM/PM", "2:07 PM"},
      {u"h:nn a/p", "2:07 p"},
      {u"hh:nn ampm", "02:07 PM"},
      {u"tt", "14:07:09"},
      {u"t", "14:07"},
      {u"'dd' \"mm\" dd", "dd mm 05"},
      {u"'unclosed", "unclosed"},
      {u"yyyy-mm-dd hh:nn", "2024-03-05 14:07"},
      {u"x#!", "x#!"},
  };
  for (const auto& c : cases) EXPECT_EQ(U8(FormatDateTime(c.format, v, fs)), c.text) << U8(c.format);

  // Midnight leaves the time out of "c"; midnight and noon on a 12-hour clock.
  EXPECT_EQ(U8(FormatDateTime(u"c", EncodeDate(2024, 3, 5), fs)), "03/05/2024");
  EXPECT_EQ(U8(FormatDateTime(u"h ampm", EncodeDate(2024, 3, 5), fs)), "12 AM");
  EXPECT_EQ(U8(FormatDateTime(u"h ampm", EncodeDate(2024, 3, 5) + 0.5, fs)), "12 PM");

  // Separators come from the settings; a format that names itself stops.
  fs.DateSeparator = u'.';
  fs.TimeSeparator = u'-';
  fs.ShortDateFormat = u"dd/mm/yyyy c";
  fs.LongTimeFormat = u"hh:nn";
  EXPECT_EQ(U8(FormatDateTime(u"ddddd", v, fs)), "05.03.2024 05.03.2024   14-07");
}

TEST(DateTime, LocalesGiveTheirFormats) {
  const TFormatSettings de = LocaleFormatSettings(0x0407);
  EXPECT_EQ(de.DateSeparator, u'.');
  EXPECT_EQ(de.TimeSeparator, u':');
  EXPECT_EQ(U8(de.ShortDateFormat), "dd.mm.yyyy");
  EXPECT_EQ(U8(de.LongTimeFormat), "hh:nn:ss");
  const TDateTime v = EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 0);
  EXPECT_EQ(U8(FormatDateTime(u"c", v, de)), "05.03.2024 14:07:09");

  const TFormatSettings us = LocaleFormatSettings(0x0409);
  EXPECT_EQ(us.DateSeparator, u'/');
  EXPECT_EQ(U8(us.ShortDateFormat), "m/d/yyyy");
  EXPECT_EQ(U8(us.TimeAMString), "AM");
  // A plain blank before PM, as the runtime writes it, where ICU has a
  // narrow no-break space: the text fits 8-bit fields.
  EXPECT_EQ(U8(FormatDateTime(u"tt", v, us)), "2:07:09 PM");

  const TFormatSettings invariant = LocaleFormatSettings(LOCALE_INVARIANT);
  EXPECT_EQ(U8(invariant.ShortDateFormat), "MM/dd/yyyy");
  EXPECT_EQ(U8(invariant.LongTimeFormat), "HH:mm:ss");
}

}  // namespace
}  // namespace revurov::platform
