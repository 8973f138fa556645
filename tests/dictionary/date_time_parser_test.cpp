#include "dictionary/date_time_parser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/rtl_exception.h"
#include "platform/text.h"
#include "support/exception_message.h"

namespace revurov {
namespace {

using platform::TnxVariant;

std::u16string Ascii(const char* s) { return std::u16string(s, s + std::char_traits<char>::length(s)); }

TEST(IsoDate, AgreesWithTheCalendarOverYears1To9999) {
  char text[32];
  for (int y = 0; y <= 10000; ++y)
    for (int m = 0; m <= 13; ++m)
      for (int d : {0, 1, 27, 28, 29, 30, 31, 32}) {
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", y % 10000, m, d);
        const std::chrono::year_month_day ymd{std::chrono::year(y % 10000), std::chrono::month(unsigned(m)),
                                              std::chrono::day(unsigned(d))};
        const bool valid = y % 10000 >= 1 && ymd.ok();
        ASSERT_EQ(nxIsIsoDate(Ascii(text)), valid) << text;
        if (valid && d == 1 && m == 1) {
          // Day number against the calendar: days since 1899-12-30.
          const auto days = std::chrono::sys_days(ymd) - std::chrono::sys_days(std::chrono::year(1899) / 12 / 30);
          ASSERT_EQ(nxIsoDateToDateTime(Ascii(text)), double(days.count())) << text;
        }
      }
}

TEST(IsoText, FormsAndTheirChecks) {
  struct Case {
    const char16_t* text;
    bool date, time, dateTime;
  };
  const Case cases[] = {
      {u"2024-02-29", true, false, false},
      {u"2023-02-29", false, false, false},
      {u"'2024-02-29'", true, false, false},
      {u"2024/02/29", false, false, false},
      {u"2024-02-2", false, false, false},
      {u"12:30:45", false, true, false},
      {u"12:30:45.1ab", false, true, false},
      {u"12:30:45,123", false, true, false},
      {u"24:00:00", false, false, false},
      {u"23:60:00", false, false, false},
      {u"12-30-45", false, false, false},
      {u"2024-02-29 12:00:00", false, false, true},
      {u"2024-02-29 24:00:00", false, false, false},
      {u"2024-02-29T12:00:00", false, false, false},
      {u"'2024-02-29 23:59:59.999'", false, false, true},
      {u"", false, false, false},
      {u"'", false, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(nxIsIsoDate(c.text), c.date) << platform::Utf16ToUtf8(c.text);
    EXPECT_EQ(nxIsIsoTime(c.text), c.time) << platform::Utf16ToUtf8(c.text);
    EXPECT_EQ(nxIsIsoDateTime(c.text), c.dateTime) << platform::Utf16ToUtf8(c.text);
  }
}

TEST(IsoText, Values) {
  EXPECT_EQ(nxIsoDateToDateTime(u"1899-12-30"), 0.0);
  EXPECT_EQ(nxIsoDateToDateTime(u"0001-01-01"), platform::MinDateTime);
  EXPECT_DOUBLE_EQ(nxIsoTimeToDateTime(u"12:30:45.1ab"), (12 * 3600000.0 + 30 * 60000.0 + 45000 + 1) / 86400000.0);
  EXPECT_DOUBLE_EQ(nxIsoTimeToDateTime(u"12:30:45,123"), (12 * 3600000.0 + 30 * 60000.0 + 45000) / 86400000.0);
  EXPECT_DOUBLE_EQ(nxIsoTimeToDateTime(u"06:00:00.500"), (6 * 3600000.0 + 500) / 86400000.0);
  EXPECT_DOUBLE_EQ(nxIsoDateTimeToDateTime(u"1900-01-01 12:00:00"), 2.5);
  // Before 1899-12-30 the time counts forward from midnight: -1.25.
  EXPECT_DOUBLE_EQ(nxIsoDateTimeToDateTime(u"1899-12-29 06:00:00"), -1.25);
}

TEST(IsoText, VariantsRaiseWithTheirText) {
  EXPECT_EQ(nxVariantToIsoDate(TnxVariant::FromString(u"2024-01-31")), nxIsoDateToDateTime(u"2024-01-31"));
  EXPECT_EQ(nxVariantToIsoDateTime(TnxVariant::FromAnsiString("2024-01-31 12:00:00")),
            nxIsoDateToDateTime(u"2024-01-31") + 0.5);
  using testing::MessageOf;
  EXPECT_EQ(MessageOf<platform::Exception>([] { nxVariantToIsoDate(TnxVariant::FromString(u"31.01.2024")); }),
            u"Invalid date format 31.01.2024");
  EXPECT_EQ(MessageOf<platform::Exception>([] { nxVariantToIsoTime(TnxVariant::FromInteger(5)); }),
            u"Invalid time format 5");
  EXPECT_EQ(MessageOf<platform::Exception>([] { nxIsoDateTimeToDateTime(u"2024-01-31"); }),
            u"Invalid date/time format 2024-01-31");
}

}  // namespace
}  // namespace revurov
