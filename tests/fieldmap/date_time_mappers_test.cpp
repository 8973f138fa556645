#include "fieldmap/date_time_mappers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "dictionary/locale_descriptor.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "fieldmap/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "mapper_fields.h"
#include "platform/date_time.h"

namespace revurov {
namespace {

using testing::MakeField;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr uint32_t kNoValue = 1;
constexpr uint8_t kFill = 0xA5;
constexpr size_t kGuard = 8;
constexpr uint32_t kNoMapper = 0xFFFFFFFF;

template <class T>
Bytes Le(T aValue) {
  Bytes b(sizeof(T));
  std::memcpy(b.data(), &aValue, sizeof(T));
  return b;
}
Bytes Untouched(size_t aCount) { return Bytes(aCount, kFill); }
Bytes Short(std::string_view aText) {
  Bytes b{static_cast<uint8_t>(aText.size())};
  b.insert(b.end(), aText.begin(), aText.end());
  return b;
}
Bytes Null(std::string_view aText) {
  Bytes b(aText.begin(), aText.end());
  b.push_back(0);
  return b;
}
Bytes Wide(std::string_view aAscii) {
  Bytes b;
  for (char c : aAscii) b.insert(b.end(), {static_cast<uint8_t>(c), 0});
  b.insert(b.end(), {0, 0});
  return b;
}
int32_t DayOf(int aYear, int aMonth, int aDay) {
  return platform::DateTimeToTimeStamp(platform::EncodeDate(aYear, aMonth, aDay)).Date;
}
double Ms(int32_t aDay, int32_t aTime) { return aDay * 86400000.0 + aTime; }

const uint8_t kGuid[16] = {0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,
                           0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
constexpr std::string_view kGuidText = "{12345678-9ABC-DEF0-0123-456789ABCDEF}";

struct Case {
  const char* Name;
  TnxFieldType Source;
  Bytes Value;
  TnxFieldType Target;
  int32_t Units;
  uint32_t Locale;  // of the target
  bool BestFit;
  uint32_t Result;  // kNoMapper: CreateMapper offers none
  Bytes Leading;
};

// Rows marked "mended" differ from the old behaviour on purpose.
std::vector<Case> Cases() {
  const int32_t christmas = DayOf(2023, 12, 24);
  const int32_t pm = (13 * 3600 + 5 * 60 + 6) * 1000;
  const Bytes guid(kGuid, kGuid + 16);
  return {
      {"Date into DateTime", nxtDate, Le<int32_t>(693594), nxtDateTime, 0, 0, false, 0, Le(Ms(693594, 0))},
      {"Date into US ShortString", nxtDate, Le<int32_t>(693594), nxtShortString, 20, 1033, false, 0,
       Short("12/30/1899")},
      {"Date into German NullString", nxtDate, Le<int32_t>(christmas), nxtNullString, 20, 1031, true, 0,
       Null("24.12.2023")},
      {"Date of year 1 into WideString", nxtDate, Le<int32_t>(1), nxtWideString, 20, 1031, false, 0,
       Wide("01.01.0001")},
      {"Date day 0 has no text, check", nxtDate, Le<int32_t>(0), nxtShortString, 20, 1031, false, kLost,
       Untouched(1)},
      {"Date day 0 has no text, best fit", nxtDate, Le<int32_t>(0), nxtShortString, 20, 1031, true, kNoValue,
       Untouched(1)},
      {"Date into Time, best fit keeps midnight (mended)", nxtDate, Le<int32_t>(christmas), nxtTime, 0, 0, true, 0,
       Le<int32_t>(0)},
      {"Date into Time, check", nxtDate, Le<int32_t>(christmas), nxtTime, 0, 0, false, kNoMapper, {}},
      {"Date into 8 bytes", nxtDate, Le<int32_t>(christmas), nxtByteArray, 8, 0, false, 0,
       {Le<int32_t>(christmas)[0], Le<int32_t>(christmas)[1], Le<int32_t>(christmas)[2], Le<int32_t>(christmas)[3],
        kFill}},
      {"Date into 4 bytes", nxtDate, Le<int32_t>(christmas), nxtByteArray, 4, 0, false, kNoMapper, {}},
      {"Time into Date, best fit is no value (mended)", nxtTime, Le<int32_t>(pm), nxtDate, 0, 0, true, kNoValue,
       Untouched(4)},
      {"Time into DateTime, best fit is no value (mended)", nxtTime, Le<int32_t>(pm), nxtDateTime, 0, 0, true,
       kNoValue, Untouched(8)},
      {"Time into Date, check", nxtTime, Le<int32_t>(pm), nxtDate, 0, 0, false, kNoMapper, {}},
      {"Time into 4 bytes", nxtTime, Le<int32_t>(pm), nxtByteArray, 4, 0, true, kNoMapper, {}},
      {"Time into Time", nxtTime, Le<int32_t>(pm), nxtTime, 0, 0, false, 0, Le<int32_t>(pm)},
      {"Time into German ShortString", nxtTime, Le<int32_t>(pm), nxtShortString, 20, 1031, false, 0,
       Short("13:05:06")},
      {"Time into US WideString", nxtTime, Le<int32_t>(pm), nxtWideString, 20, 1033, false, 0, Wide("1:05:06 PM")},
      {"Time into Japanese NullString", nxtTime, Le<int32_t>(pm), nxtNullString, 20, 1041, false, 0,
       Null("13:05:06")},
      {"Time of a whole day has no text", nxtTime, Le<int32_t>(86400000), nxtNullString, 20, 1031, false, kLost,
       Untouched(1)},
      {"DateTime into DateTime", nxtDateTime, Le(Ms(christmas, pm)), nxtDateTime, 0, 0, false, 0,
       Le(Ms(christmas, pm))},
      {"DateTime midnight into Date, check", nxtDateTime, Le(Ms(christmas, 0)), nxtDate, 0, 0, false, 0,
       Le<int32_t>(christmas)},
      {"DateTime noon into Date, check", nxtDateTime, Le(Ms(christmas, 43200000)), nxtDate, 0, 0, false, kLost,
       Untouched(4)},
      {"DateTime noon into Date, best fit", nxtDateTime, Le(Ms(christmas, 43200000)), nxtDate, 0, 0, true, 0,
       Le<int32_t>(christmas)},
      {"DateTime into Time, best fit", nxtDateTime, Le(Ms(christmas, pm)), nxtTime, 0, 0, true, 0, Le<int32_t>(pm)},
      {"DateTime with a date into Time, check", nxtDateTime, Le(Ms(christmas, pm)), nxtTime, 0, 0, false, kLost,
       Untouched(4)},
      {"DateTime without a date into Time, check", nxtDateTime, Le(Ms(0, pm)), nxtTime, 0, 0, false, 0,
       Le<int32_t>(pm)},
      {"DateTime NaN into Date, check", nxtDateTime, Le(std::nan("")), nxtDate, 0, 0, false, kLost, Untouched(4)},
      {"DateTime NaN into Date, best fit", nxtDateTime, Le(std::nan("")), nxtDate, 0, 0, true, kNoValue,
       Untouched(4)},
      {"DateTime into Double", nxtDateTime, Le(Ms(693594, 21600000)), nxtDouble, 0, 0, false, 0, Le(0.25)},
      {"DateTime before 1899-12-30 into Double", nxtDateTime, Le(Ms(693593, 21600000)), nxtDouble, 0, 0, false, 0,
       Le(-1.25)},
      {"DateTime into German NullString", nxtDateTime, Le(Ms(christmas, 43200000)), nxtNullString, 30, 1031, false,
       0, Null("24.12.2023 12:00:00")},
      {"DateTime at midnight leaves the time out", nxtDateTime, Le(Ms(christmas, 0)), nxtNullString, 30, 1031, false,
       0, Null("24.12.2023")},
      {"DateTime before 1899-12-30 into text", nxtDateTime, Le(Ms(693593, 21600000)), nxtWideString, 30, 1031, false,
       0, Wide("29.12.1899 06:00:00")},
      {"DateTime outside the calendar has no text", nxtDateTime, Le(Ms(3652060, 0)), nxtWideString, 30, 1031, true,
       kNoValue, Untouched(2)},
      {"DateTime into 8 bytes", nxtDateTime, Le(Ms(christmas, pm)), nxtByteArray, 8, 0, false, 0,
       Le(Ms(christmas, pm))},
      {"Guid into Guid", nxtGuid, guid, nxtGuid, 0, 0, false, 0, guid},
      {"Guid into 16 bytes", nxtGuid, guid, nxtByteArray, 16, 0, false, 0, guid},
      {"Guid into 15 bytes", nxtGuid, guid, nxtByteArray, 15, 0, true, kNoMapper, {}},
      {"Guid into ShortString[38]", nxtGuid, guid, nxtShortString, 38, 0, true, kNoMapper, {}},
      {"Guid into ShortString[39]", nxtGuid, guid, nxtShortString, 39, 0, false, 0, Short(kGuidText)},
      {"Guid into NullString[39]", nxtGuid, guid, nxtNullString, 39, 0, true, 0, Null(kGuidText)},
      {"Guid into WideString[39]", nxtGuid, guid, nxtWideString, 39, 0, false, 0, Wide(kGuidText)},
  };
}

class DateTimeMappers : public ::testing::Test {
protected:
  TnxFieldMapStartupGuard fieldMap;
};

TEST_F(DateTimeMappers, Cases) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.Name);
    auto source = MakeField(c.Source);
    auto target = MakeField(c.Target, c.Units);
    if (c.Locale) target->AddLocaleDescriptor()->SetLocale(c.Locale);
    const TnxFieldMapperDescriptor desc{u"a", u"b", c.BestFit ? dlaBestFit : dlaFail};
    TnxMappingMethod method;
    auto mapper = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, &desc, method);
    ASSERT_EQ(method.Assigned(), c.Result != kNoMapper);
    if (c.Result == kNoMapper) continue;
    Bytes field(static_cast<size_t>(target->Length()) + kGuard, kFill);
    EXPECT_EQ(method(c.Value.data(), field.data()), c.Result);
    EXPECT_EQ(Bytes(field.begin(), field.begin() + c.Leading.size()), c.Leading);
    EXPECT_TRUE(std::all_of(field.end() - kGuard, field.end(), [](uint8_t b) { return b == kFill; }));
  }
}

// The check judges each value's own text, not the text of the moment the
// mapper was made (mended); best fit cuts.
TEST_F(DateTimeMappers, TheTextCheckLooksAtEachValue) {
  auto source = MakeField(nxtTime);
  auto target = MakeField(nxtShortString, 10);
  target->AddLocaleDescriptor()->SetLocale(1033);
  const int32_t early = (1 * 3600 + 5 * 60 + 6) * 1000, late = early + 22 * 3600000;  // 1:05:06 AM, 11:05:06 PM
  for (bool bestFit : {false, true}) {
    const TnxFieldMapperDescriptor desc{u"a", u"b", bestFit ? dlaBestFit : dlaFail};
    TnxMappingMethod method;
    auto mapper = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, &desc, method);
    ASSERT_TRUE(method.Assigned());
    uint8_t field[11];
    EXPECT_EQ(method(&early, field), 0u);
    EXPECT_EQ(Bytes(field, field + 11), Short("1:05:06 AM"));
    std::memset(field, kFill, sizeof field);
    EXPECT_EQ(method(&late, field), bestFit ? 0u : kLost);
    EXPECT_EQ(Bytes(field, field + 11), bestFit ? Short("11:05:06 P") : Untouched(11));
  }
}

}  // namespace
}  // namespace revurov
