#include "fieldmap/text_source_mappers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "dictionary/locale_descriptor.h"
#include "fieldmap/date_time_mappers.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "fieldmap/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "mapper_fields.h"
#include "platform/date_time.h"
#include "platform/format.h"
#include "platform/text.h"
#include "support/exception_message.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::MakeField;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr uint8_t kFill = 0xA5;
constexpr size_t kGuard = 8;
constexpr TnxFieldType kSources[] = {nxtShortString, nxtNullString, nxtWideString};

template <class T>
Bytes Le(T aValue) {
  Bytes b(sizeof(T));
  std::memcpy(b.data(), &aValue, sizeof(T));
  return b;
}
Bytes Ext(long double aValue) {
  Bytes b(10);
  std::memcpy(b.data(), &aValue, 10);
  return b;
}
Bytes Untouched(size_t aCount) { return Bytes(aCount, kFill); }
int32_t DayOf(int aYear, int aMonth, int aDay) {
  return platform::DateTimeToTimeStamp(platform::EncodeDate(aYear, aMonth, aDay)).Date;
}

// A text field's record holding aText (UTF-8; 8-bit fields take its bytes).
Bytes Record(const TnxFieldDescriptor& aField, std::string_view aText) {
  Bytes r(static_cast<size_t>(aField.Length()), 0);
  switch (aField.FieldType()) {
    case nxtShortString:
      r[0] = static_cast<uint8_t>(aText.size());
      std::memcpy(r.data() + 1, aText.data(), aText.size());
      break;
    case nxtNullString: std::memcpy(r.data(), aText.data(), aText.size()); break;
    default: {
      const std::u16string units = platform::Utf8ToUtf16(aText);
      std::memcpy(r.data(), units.data(), 2 * units.size());
    }
  }
  return r;
}

// One source field mapped into one target field.
class Mapping {
public:
  Mapping(TnxFieldType aSource, int32_t aSourceUnits, TnxFieldType aTarget, int32_t aUnits = 0, int32_t aDecPl = 0,
          bool aBestFit = false, uint32_t aLocale = 0, uint16_t aSourceCp = 0, uint16_t aTargetCp = 0)
      : mSource(MakeField(aSource, aSourceUnits)), mTarget(MakeField(aTarget, aUnits, aDecPl)) {
    if (aLocale) mSource->AddLocaleDescriptor()->SetLocale(aLocale);
    if (aSourceCp) mSource->AddLocaleDescriptor()->SetOverrideStorageCodepage(aSourceCp);
    if (aTargetCp) mTarget->AddLocaleDescriptor()->SetOverrideStorageCodepage(aTargetCp);
    const TnxFieldMapperDescriptor desc{u"a", u"b", aBestFit ? dlaBestFit : dlaFail};
    mMapper = TnxBaseFieldMapper::CreateMapper(*mSource, nullptr, *mTarget, nullptr, &desc, mMethod);
  }

  bool Assigned() const { return mMethod.Assigned(); }
  // The result; aField is the target with kGuard bytes after it, which
  // must stay untouched.
  uint32_t Run(std::string_view aText, Bytes& aField) {
    const Bytes source = Record(*mSource, aText);
    aField.assign(static_cast<size_t>(mTarget->Length()) + kGuard, kFill);
    const uint32_t result = mMethod(source.data(), aField.data());
    EXPECT_TRUE(std::all_of(aField.end() - kGuard, aField.end(), [](uint8_t b) { return b == kFill; }))
        << "written past the target";
    return result;
  }

private:
  std::unique_ptr<TnxFieldDescriptor> mSource;
  std::unique_ptr<TnxFieldDescriptor> mTarget;
  std::unique_ptr<TnxBaseFieldMapper> mMapper;
  TnxMappingMethod mMethod;
};

class TextSourceMappers : public ::testing::Test {
protected:
  TnxFieldMapStartupGuard fieldMap;
};

struct Case {
  const char* Name;
  std::string Text;
  TnxFieldType Target;
  int32_t Units;
  int32_t DecPl;
  bool BestFit;
  uint32_t Result;
  Bytes Leading;  // the target's leading bytes afterwards
  uint32_t Locale = 0;
};

// Rows marked "mended" differ from the old behaviour on purpose.
std::vector<Case> EdgeCases() {
  const int32_t christmas = DayOf(2023, 12, 24);
  const uint8_t guid[16] = {0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,
                            0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  const Bytes guidBytes(guid, guid + 16);
  return {
      {"Boolean yes", "yes", nxtBoolean, 0, 0, false, 0, {0xFF}},
      {"Boolean TRUE best fit", "TRUE", nxtBoolean, 0, 0, true, 0, {0xFF}},
      {"Boolean t", "t", nxtBoolean, 0, 0, false, 0, {0xFF}},
      {"Boolean 1", "1", nxtBoolean, 0, 0, true, 0, {0xFF}},
      {"Boolean no", "no", nxtBoolean, 0, 0, false, 0, {0}},
      {"Boolean False", "False", nxtBoolean, 0, 0, true, 0, {0}},
      {"Boolean Yes and a blank, check", "Yes ", nxtBoolean, 0, 0, false, kLost, Untouched(1)},
      {"Boolean Yes and a blank, best fit", "Yes ", nxtBoolean, 0, 0, true, 0, {0}},
      {"Boolean 2, check", "2", nxtBoolean, 0, 0, false, kLost, Untouched(1)},
      {"Boolean empty, check", "", nxtBoolean, 0, 0, false, kLost, Untouched(1)},
      {"Boolean empty, best fit", "", nxtBoolean, 0, 0, true, 0, {0}},
      {"Int32 blank then 42", " 42", nxtInt32, 0, 0, false, 0, Le<int32_t>(42)},
      {"Int32 42 then a blank, check", "42 ", nxtInt32, 0, 0, false, kLost, Untouched(4)},
      {"Int32 42 then a blank, best fit 0 (mended)", "42 ", nxtInt32, 0, 0, true, 0, Le<int32_t>(0)},
      {"Int32 $FF", "$FF", nxtInt32, 0, 0, false, 0, Le<int32_t>(255)},
      {"Int32 0x10", "0x10", nxtInt32, 0, 0, false, 0, Le<int32_t>(16)},
      {"Int32 X1f", "X1f", nxtInt32, 0, 0, false, 0, Le<int32_t>(31)},
      {"Int32 -$10", "-$10", nxtInt32, 0, 0, false, 0, Le<int32_t>(-16)},
      {"Int32 $FFFFFFFF is the 32-bit pattern", "$FFFFFFFF", nxtInt32, 0, 0, false, 0, Le<int32_t>(-1)},
      {"Int32 $100000000 is no number", "$100000000", nxtInt32, 0, 0, false, kLost, Untouched(4)},
      {"Int32 0x alone", "0x", nxtInt32, 0, 0, false, kLost, Untouched(4)},
      {"Int32 two signs", "--1", nxtInt32, 0, 0, false, kLost, Untouched(4)},
      {"Int32 2147483648, check", "2147483648", nxtInt32, 0, 0, false, kLost, Untouched(4)},
      {"Int32 2147483648, best fit clamps (mended)", "2147483648", nxtInt32, 0, 0, true, 0,
       Le<int32_t>(2147483647)},
      {"Int32 -2147483648", "-2147483648", nxtInt32, 0, 0, false, 0, Le<int32_t>(INT32_MIN)},
      {"Int32 empty, best fit", "", nxtInt32, 0, 0, true, 0, Le<int32_t>(0)},
      {"Int8 127", "127", nxtInt8, 0, 0, false, 0, {127}},
      {"Int8 200, check (mended)", "200", nxtInt8, 0, 0, false, kLost, Untouched(1)},
      {"Int8 200, best fit clamps (mended)", "200", nxtInt8, 0, 0, true, 0, {127}},
      {"Int8 -129, best fit clamps (mended)", "-129", nxtInt8, 0, 0, true, 0, {0x80}},
      {"Int8 x", "x", nxtInt8, 0, 0, false, kLost, Untouched(1)},
      {"Byte 255", "255", nxtByte, 0, 0, false, 0, {255}},
      {"Byte 256, check", "256", nxtByte, 0, 0, false, kLost, Untouched(1)},
      {"Byte 256, best fit clamps (mended)", "256", nxtByte, 0, 0, true, 0, {255}},
      {"Byte abc, check (mended)", "abc", nxtByte, 0, 0, false, kLost, Untouched(1)},
      {"Byte abc, best fit", "abc", nxtByte, 0, 0, true, 0, {0}},
      {"Int16 70000, check (mended)", "70000", nxtInt16, 0, 0, false, kLost, Untouched(2)},
      {"Int16 70000, best fit clamps (mended)", "70000", nxtInt16, 0, 0, true, 0, Le<int16_t>(32767)},
      {"Word16 $FFFF", "$FFFF", nxtWord16, 0, 0, false, 0, Le<uint16_t>(65535)},
      {"Word32 4294967295", "4294967295", nxtWord32, 0, 0, false, 0, Le<uint32_t>(4294967295u)},
      {"Word32 -1, check (mended)", "-1", nxtWord32, 0, 0, false, kLost, Untouched(4)},
      {"Word32 -1, best fit clamps (mended)", "-1", nxtWord32, 0, 0, true, 0, Le<uint32_t>(0)},
      {"AutoInc $FFFFFFFF", "$FFFFFFFF", nxtAutoInc, 0, 0, false, 0, Le<uint32_t>(4294967295u)},
      {"RecRev 4294967296, best fit", "4294967296", nxtRecRev, 0, 0, true, 0, Le<uint32_t>(4294967295u)},
      {"Int64 max", "9223372036854775807", nxtInt64, 0, 0, false, 0, Le<int64_t>(INT64_MAX)},
      {"Int64 max + 1, check", "9223372036854775808", nxtInt64, 0, 0, false, kLost, Untouched(8)},
      {"Int64 min - 1, best fit", "-9223372036854775809", nxtInt64, 0, 0, true, 0, Le<int64_t>(INT64_MIN)},
      {"Int64 64-bit pattern", "$FFFFFFFFFFFFFFFF", nxtInt64, 0, 0, false, 0, Le<int64_t>(-1)},
      {"Double 1.5e3", "1.5e3", nxtDouble, 0, 0, false, 0, Le<double>(1500)},
      {"Double 1,5, check", "1,5", nxtDouble, 0, 0, false, kLost, Untouched(8), 1031},
      {"Double 1,5, best fit 0 (mended)", "1,5", nxtDouble, 0, 0, true, 0, Le<double>(0), 1031},
      {"Double blank -2.5E-1", " -2.5E-1", nxtDouble, 0, 0, false, 0, Le<double>(-0.25)},
      {"Double .5", ".5", nxtDouble, 0, 0, false, 0, Le<double>(0.5)},
      {"Double 5.", "5.", nxtDouble, 0, 0, false, 0, Le<double>(5)},
      {"Double a point alone", ".", nxtDouble, 0, 0, false, kLost, Untouched(8)},
      {"Double exponent without digits", "1e", nxtDouble, 0, 0, false, kLost, Untouched(8)},
      {"Double 1e400, check", "1e400", nxtDouble, 0, 0, false, kLost, Untouched(8)},
      {"Double 1e400, best fit clamps", "1e400", nxtDouble, 0, 0, true, 0,
       Le<double>(std::numeric_limits<double>::max())},
      {"Double -1e-400 is -0", "-1e-400", nxtDouble, 0, 0, false, 0, Le<double>(-0.0)},
      {"Single 1e39, check (mended)", "1e39", nxtSingle, 0, 0, false, kLost, Untouched(4)},
      {"Single -1e39, best fit clamps (mended)", "-1e39", nxtSingle, 0, 0, true, 0,
       Le<float>(-std::numeric_limits<float>::max())},
      {"Single 0.1", "0.1", nxtSingle, 0, 0, false, 0, Le<float>(0.1f)},
      {"Extended 0.1", "0.1", nxtExtended, 0, 0, false, 0, Ext(0.1L)},
      {"Extended 1e5000, best fit clamps", "1e5000", nxtExtended, 0, 0, true, 0,
       Ext(std::numeric_limits<long double>::max())},
      {"Extended 1e5000, check", "1e5000", nxtExtended, 0, 0, false, kLost, Untouched(10)},
      {"Currency 12.34567", "12.34567", nxtCurrency, 0, 0, false, 0, Le<int64_t>(123457)},
      {"Currency half to even, down", "0.03125", nxtCurrency, 0, 0, false, 0, Le<int64_t>(312)},
      {"Currency half to even, up", "-0.09375", nxtCurrency, 0, 0, true, 0, Le<int64_t>(-938)},
      {"Currency abc, check", "abc", nxtCurrency, 0, 0, false, kLost, Untouched(8)},
      {"Currency abc, best fit", "abc", nxtCurrency, 0, 0, true, 0, Le<int64_t>(0)},
      {"Currency 1e15, check", "1e15", nxtCurrency, 0, 0, false, kLost, Untouched(8)},
      {"Currency -1e15, best fit clamps (mended)", "-1e15", nxtCurrency, 0, 0, true, 0, Le<int64_t>(-INT64_MAX)},
      {"BCD 123.45", "123.45", nxtBCD, 5, 2, false, 0, Le<int64_t>(1234500)},
      {"BCD 123.456, best fit", "123.456", nxtBCD, 5, 2, true, 0, Le<int64_t>(1234500)},
      {"BCD 123.456, check", "123.456", nxtBCD, 5, 2, false, kLost, Untouched(8)},
      {"BCD four integer digits, check", "1234", nxtBCD, 5, 2, false, kLost, Untouched(8)},
      {"BCD four integer digits, best fit clamps (mended)", "-1234", nxtBCD, 5, 2, true, 0, Le<int64_t>(-9999900)},
      {"BCD empty, check", "", nxtBCD, 5, 2, false, 0, Le<int64_t>(0)},
      {"BCD empty, best fit", "", nxtBCD, 5, 2, true, 0, Le<int64_t>(0)},
      {"BCD a blank is no number", " 1", nxtBCD, 5, 2, false, kLost, Untouched(8)},
      {"BCD a blank, best fit", " 1", nxtBCD, 5, 2, true, 0, Le<int64_t>(0)},
      {"Date German", "24.12.2023", nxtDate, 0, 0, false, 0, Le<int32_t>(christmas), 1031},
      {"Date no month 24 in the US, check", "24.12.2023", nxtDate, 0, 0, false, kLost, Untouched(4), 1033},
      {"Date no month 24 in the US, best fit", "24.12.2023", nxtDate, 0, 0, true, 0, Le<int32_t>(1), 1033},
      {"Date 0001-01-01 passes the check (mended)", "01.01.0001", nxtDate, 0, 0, false, 0, Le<int32_t>(1), 1031},
      {"Date with a time is no date", "24.12.2023 12:00", nxtDate, 0, 0, false, kLost, Untouched(4), 1031},
      {"Date empty, best fit", "", nxtDate, 0, 0, true, 0, Le<int32_t>(1)},
      {"Date empty, check", "", nxtDate, 0, 0, false, kLost, Untouched(4)},
      {"Time 12:00", "12:00", nxtTime, 0, 0, false, 0, Le<int32_t>(43200000), 1031},
      {"Time 1:05:06 PM", "1:05:06 PM", nxtTime, 0, 0, false, 0, Le<int32_t>(47106000), 1033},
      {"Time no time, best fit", "noon", nxtTime, 0, 0, true, 0, Le<int32_t>(0)},
      {"Time no time, check", "noon", nxtTime, 0, 0, false, kLost, Untouched(4)},
      {"Time 24:00, check", "24:00", nxtTime, 0, 0, false, kLost, Untouched(4)},
      {"DateTime German", "24.12.2023 12:00", nxtDateTime, 0, 0, false, 0,
       Le<double>(christmas * 86400000.0 + 43200000), 1031},
      {"DateTime a date alone", "24.12.2023", nxtDateTime, 0, 0, false, 0, Le<double>(christmas * 86400000.0), 1031},
      {"DateTime no date, best fit", "x", nxtDateTime, 0, 0, true, 0, Le<double>(86400000.0)},
      {"DateTime no date, check", "x", nxtDateTime, 0, 0, false, kLost, Untouched(8)},
      {"DateTime empty, best fit", "", nxtDateTime, 0, 0, true, 0, Le<double>(86400000.0)},
      {"Guid upper case", "{12345678-9ABC-DEF0-0123-456789ABCDEF}", nxtGuid, 0, 0, false, 0, guidBytes},
      {"Guid lower case, best fit", "{12345678-9abc-def0-0123-456789abcdef}", nxtGuid, 0, 0, true, 0, guidBytes},
      {"Guid without braces, check", "12345678-9ABC-DEF0-0123-456789ABCDEF", nxtGuid, 0, 0, false, kLost,
       Untouched(16)},
      {"Guid without braces, best fit", "12345678-9ABC-DEF0-0123-456789ABCDEF", nxtGuid, 0, 0, true, 0, Bytes(16, 0)},
      {"Guid empty, best fit", "", nxtGuid, 0, 0, true, 0, Bytes(16, 0)},
      {"Char xyz", "xyz", nxtChar, 0, 0, false, 0, {'x'}},
      {"Char xyz best fit", "xyz", nxtChar, 0, 0, true, 0, {'x'}},
      {"Char empty", "", nxtChar, 0, 0, false, 0, {0}},
      {"WideChar one character", "z", nxtWideChar, 0, 0, false, 0, {'z', 0}},
      {"WideChar empty", "", nxtWideChar, 0, 0, false, 0, {0, 0}},
      {"ByteArray empty", "", nxtByteArray, 4, 0, false, 0, Untouched(4)},
  };
}

TEST_F(TextSourceMappers, EdgeCasesFromEachTextField) {
  for (const Case& c : EdgeCases())
    for (TnxFieldType source : kSources) {
      SCOPED_TRACE(std::string(c.Name) + " from " + std::to_string(int(source)));
      Mapping m(source, 60, c.Target, c.Units, c.DecPl, c.BestFit, c.Locale);
      ASSERT_TRUE(m.Assigned());
      Bytes field;
      EXPECT_EQ(m.Run(c.Text, field), c.Result);
      EXPECT_EQ(Bytes(field.begin(), field.begin() + c.Leading.size()), c.Leading);
    }
}

// What depends on the source's layout: bytes of a WideString are two per
// unit, and only a WideString can hold more than one unit for a WideChar.
TEST_F(TextSourceMappers, ByteArrayAndWideCharFollowTheSourceLayout) {
  struct Row {
    const char* Name;
    TnxFieldType Source;
    std::string Text;
    TnxFieldType Target;
    bool BestFit;
    uint32_t Result;
    Bytes Leading;
  };
  const Row rows[] = {
      {"ABCDEF into 4 bytes, best fit", nxtShortString, "ABCDEF", nxtByteArray, true, 0, {'A', 'B', 'C', 'D', kFill}},
      {"ABCDEF into 4 bytes, check", nxtShortString, "ABCDEF", nxtByteArray, false, kLost, Untouched(5)},
      {"AB into 4 bytes", nxtNullString, "AB", nxtByteArray, false, 0, {'A', 'B', kFill, kFill}},
      {"three units into 4 bytes, best fit", nxtWideString, "abc", nxtByteArray, true, 0, {'a', 0, 'b', 0, kFill}},
      {"three units into 4 bytes, check", nxtWideString, "abc", nxtByteArray, false, kLost, Untouched(4)},
      {"two units into 4 bytes", nxtWideString, "\xD0\x96z", nxtByteArray, false, 0, {0x16, 0x04, 'z', 0}},
      {"WideString of two into WideChar, best fit", nxtWideString, "ab", nxtWideChar, true, 0, {'a', 0}},
      {"WideString of two into WideChar, check", nxtWideString, "ab", nxtWideChar, false, kLost, Untouched(2)},
      {"NullString of two into WideChar, check", nxtNullString, "ab", nxtWideChar, false, 0, {'a', 0}},
      {"ShortString of two into WideChar, check", nxtShortString, "ab", nxtWideChar, false, 0, {'a', 0}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Name);
    Mapping m(r.Source, 20, r.Target, 4, 0, r.BestFit);
    Bytes field;
    EXPECT_EQ(m.Run(r.Text, field), r.Result);
    EXPECT_EQ(Bytes(field.begin(), field.begin() + r.Leading.size()), r.Leading);
  }
}

// Characters cross code pages only when both fields have one and they
// differ; the WideString takes the target's code page, 0 meaning ANSI.
TEST_F(TextSourceMappers, CharAndWideCharConvertBetweenCodePages) {
  struct Row {
    const char* Name;
    TnxFieldType Source;
    std::string Bytes8;  // 8-bit sources: the stored bytes; WideString: UTF-8
    uint16_t SourceCp;
    TnxFieldType Target;
    uint16_t TargetCp;
    Bytes Leading;
  };
  const Row rows[] = {
      {"1251 into 1252 lacks the letter", nxtNullString, "\xC6x", 1251, nxtChar, 1252, {'?'}},
      {"1251 into 1251 keeps the byte", nxtNullString, "\xC6x", 1251, nxtChar, 1251, {0xC6}},
      {"no target code page keeps the byte", nxtShortString, "\xC6x", 1251, nxtChar, 0, {0xC6}},
      {"1251 into 65001, first byte", nxtShortString, "\xC6", 1251, nxtChar, 65001, {0xD0}},
      {"932 double-byte into 1252", nxtNullString, "\x82\xA0", 932, nxtChar, 1252, {'?'}},
      {"1251 into WideChar", nxtNullString, "\xC6", 1251, nxtWideChar, 0, {0x16, 0x04}},
      {"932 double-byte into WideChar", nxtShortString, "\x82\xA0z", 932, nxtWideChar, 0, {0x42, 0x30}},
      {"WideString into Char of 1251", nxtWideString, "\xD0\x96", 0, nxtChar, 1251, {0xC6}},
      {"WideString into Char of ANSI", nxtWideString, "\xC3\xA9", 0, nxtChar, 0, {0xE9}},
      {"WideString pair into Char is one ?", nxtWideString, "\xF0\x9F\x98\x80", 0, nxtChar, 1252, {'?'}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Name);
    for (bool bestFit : {true, false}) {
      Mapping m(r.Source, 20, r.Target, 0, 0, bestFit, 0, r.SourceCp, r.TargetCp);
      Bytes field;
      EXPECT_EQ(m.Run(r.Bytes8, field), 0u);
      EXPECT_EQ(Bytes(field.begin(), field.begin() + r.Leading.size()), r.Leading);
    }
  }
}

TEST_F(TextSourceMappers, ACodePageWithoutConverterFailsSetUpNamingTheRoutine) {
  struct Row {
    TnxFieldType Source;
    uint16_t SourceCp;
    TnxFieldType Target;
    uint16_t TargetCp;
    bool BestFit;
    const char16_t* Context;
  };
  const Row rows[] = {
      {nxtNullString, 4711, nxtDate, 0, false, u"TnxNullStringMapper.ToDateCheck/MultiByteToWideChar"},
      {nxtShortString, 4711, nxtWideChar, 0, true, u"TnxShortStringMapper.ToWideCharConvert/MultiByteToWideChar"},
      {nxtNullString, 1252, nxtChar, 4711, true, u"TnxNullStringMapper.ToAnsiCharConvert/WideCharToMultiByte"},
      {nxtWideString, 0, nxtChar, 4711, false, u"TnxWideStringMapper.ToAnsiCharConvert/WideCharToMultiByte"},
  };
  for (const Row& r : rows) {
    const std::u16string message = testing::MessageOf<EnxBaseException>(
        [&] { Mapping(r.Source, 10, r.Target, 0, 0, r.BestFit, 0, r.SourceCp, r.TargetCp); });
    EXPECT_TRUE(testing::Contains(message, r.Context)) << platform::Utf16ToUtf8(message);
  }
  // Bytes are copied as they are: no code page is opened.
  Mapping bytes(nxtNullString, 10, nxtByteArray, 4, 0, false, 0, 4711);
  EXPECT_TRUE(bytes.Assigned());
}

// Texts longer than the old 255-unit buffers are read whole, never raise
// (mended).
TEST_F(TextSourceMappers, LongTextsAreReadWhole) {
  const std::string blanksThen42 = std::string(298, ' ') + "42";
  const std::string digits(300, '9');
  for (TnxFieldType source : {nxtNullString, nxtWideString}) {
    SCOPED_TRACE(int(source));
    Bytes field;
    Mapping int32(source, 300, nxtInt32);
    EXPECT_EQ(int32.Run(blanksThen42, field), 0u);
    EXPECT_EQ(Bytes(field.begin(), field.begin() + 4), Le<int32_t>(42));
    EXPECT_EQ(int32.Run(digits, field), kLost);
    Mapping int64(source, 300, nxtInt64, 0, 0, true);
    EXPECT_EQ(int64.Run("-" + digits, field), 0u);
    EXPECT_EQ(Bytes(field.begin(), field.begin() + 8), Le<int64_t>(INT64_MIN));
    Mapping extended(source, 300, nxtExtended);
    EXPECT_EQ(extended.Run(std::string(250, ' ') + "1" + std::string(49, '0'), field), 0u);
    EXPECT_EQ(Bytes(field.begin(), field.begin() + 10), Ext(1e49L));
    Mapping date(source, 300, nxtDate, 0, 0, false, 1031);
    EXPECT_EQ(date.Run(std::string(290, ' ') + "24.12.2023", field), 0u);
    EXPECT_EQ(date.Run(digits, field), kLost);
    Mapping character(source, 300, nxtChar, 0, 0, false, 0, 0, 1252);
    EXPECT_EQ(character.Run(digits, field), 0u);
    EXPECT_EQ(field[0], '9');
  }
}

// A record is read within its field whatever its bytes claim: a length
// byte past the field, a NullString or WideString without terminator.
TEST_F(TextSourceMappers, ARecordIsNeverReadPastItsField) {
  struct Row {
    TnxFieldType Source;
    Bytes Record;  // the whole field of 5 characters
    size_t Count;  // bytes the text has
  };
  const Row rows[] = {
      {nxtShortString, {200, 'a', 'b', 'c', 'd', 'e'}, 5},
      {nxtNullString, {'a', 'b', 'c', 'd', 'e', 'f'}, 6},
      {nxtWideString, {'a', 0, 'b', 0, 'c', 0, 'd', 0, 'e', 0, 'f', 0}, 12},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(int(r.Source));
    auto source = MakeField(r.Source, 5);
    ASSERT_EQ(size_t(source->Length()), r.Record.size());
    auto target = MakeField(nxtByteArray, 20);
    TnxMappingMethod method;
    auto mapper = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, nullptr, method);
    const auto record = std::make_unique<uint8_t[]>(r.Record.size());
    std::memcpy(record.get(), r.Record.data(), r.Record.size());
    Bytes field(20, kFill);
    EXPECT_EQ(method(record.get(), field.data()), 0u);
    EXPECT_EQ(field[r.Count - 1], r.Record[r.Source == nxtShortString ? r.Count : r.Count - 1]);
    EXPECT_EQ(field[r.Count], kFill);
  }
}

// ---- integers against an independent reading ----

struct Reference {
  bool Number = false;
  __int128 Value = 0;
};

// Blanks, a sign, then decimal digits or a prefixed hexadecimal pattern of
// aWidth bits, read with from_chars.
Reference ReferenceInteger(std::string_view aText, int aWidth) {
  size_t i = aText.find_first_not_of(' ');
  if (i == std::string_view::npos) return {};
  std::string_view t = aText.substr(i);
  bool negative = false;
  if (t[0] == '+' || t[0] == '-') negative = t[0] == '-', t.remove_prefix(1);
  int base = 10;
  for (std::string_view prefix : {"0x", "0X", "$", "x", "X"})
    if (t.substr(0, prefix.size()) == prefix) {
      base = 16;
      t.remove_prefix(prefix.size());
      break;
    }
  if (t.empty() || t[0] == '+' || t[0] == '-') return {};
  __int128 value;
  if (base == 16) {
    uint64_t bits = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), bits, 16);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return {};
    if (aWidth == 32 && bits > UINT32_MAX) return {};
    value = aWidth == 32 ? __int128{int32_t(uint32_t(bits))} : __int128{int64_t(bits)};
  } else {
    if (t.find_first_not_of("0123456789") != std::string_view::npos) return {};
    const size_t nonZero = std::min(t.find_first_not_of('0'), t.size());
    if (t.size() - nonZero > 30) {
      value = __int128{1} << 120;  // beyond every target
    } else {
      uint64_t high = 0, low = 0;
      const std::string_view digits = t.substr(nonZero);
      const size_t split = digits.size() > 15 ? digits.size() - 15 : 0;
      std::from_chars(digits.data(), digits.data() + split, high);
      std::from_chars(digits.data() + split, digits.data() + digits.size(), low);
      value = __int128{high} * 1000000000000000LL + low;
    }
  }
  return {true, negative ? -value : value};
}

std::vector<std::string> IntegerTexts(std::mt19937_64& aRandom) {
  std::vector<std::string> texts = {"", " ", "+", "-", "$", "0x", "x", "0", "-0", "+0", "00012", " 7", "7 ", "1 2",
                                    "1e3", "1.0", "$-1", "-$ff", "0X7fffffff", "$80000000", "x100000000",
                                    "$FFFFFFFFFFFFFFFF", "$10000000000000000", "0x0000000000000000001",
                                    std::string(300, '0') + "5", std::string(299, ' ') + "9",
                                    std::string(300, '9'), "-" + std::string(299, '9')};
  const __int128 bounds[] = {0,          127,         255,          32767,         65535,
                             INT32_MAX,  UINT32_MAX,  INT64_MAX,    -128,          -32768,
                             INT32_MIN,  INT64_MIN,   __int128{UINT64_MAX}};
  auto decimal = [](__int128 v) {
    std::string s;
    const bool negative = v < 0;
    unsigned __int128 u = negative ? -static_cast<unsigned __int128>(v) : v;
    do s.insert(s.begin(), char('0' + int(u % 10))); while (u /= 10);
    return negative ? "-" + s : s;
  };
  for (__int128 b : bounds)
    for (int d : {-1, 0, 1}) texts.push_back(decimal(b + d));
  const char* prefixes[] = {"", "$", "x", "0X", "-", "+", " ", " -$"};
  for (int i = 0; i < 400; ++i) {
    const std::string prefix = prefixes[aRandom() % std::size(prefixes)];
    const bool hex = prefix.find_first_of("$xX") != std::string::npos;
    const int digits = 1 + int(aRandom() % 20);
    std::string body;
    for (int k = 0; k < digits; ++k) body += (hex ? "0123456789abcdefABCDEF" : "0123456789")[aRandom() % (hex ? 22 : 10)];
    if (aRandom() % 16 == 0) body.insert(aRandom() % (body.size() + 1), 1, "g .+"[aRandom() % 4]);
    texts.push_back(prefix + body);
  }
  return texts;
}

template <class T>
void ExpectIntegerTarget(TnxFieldType aSource, TnxFieldType aTarget, const std::vector<std::string>& aTexts) {
  const int width = sizeof(T) == 8 || std::is_same_v<T, uint32_t> ? 64 : 32;
  constexpr __int128 lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
  for (bool bestFit : {true, false}) {
    Mapping m(aSource, 320, aTarget, 0, 0, bestFit);
    ASSERT_TRUE(m.Assigned());
    for (const std::string& text : aTexts) {
      if (aSource == nxtShortString && text.size() > 255) continue;
      const Reference ref = ReferenceInteger(text, width);
      const bool fits = ref.Number && ref.Value >= lo && ref.Value <= hi;
      Bytes field;
      const uint32_t result = m.Run(text, field);
      if (!bestFit && !fits) {
        EXPECT_EQ(result, kLost) << '"' << text << '"';
        EXPECT_EQ(field[0], kFill);
        continue;
      }
      const __int128 expected = !ref.Number ? 0 : ref.Value < lo ? lo : ref.Value > hi ? hi : ref.Value;
      T stored;
      std::memcpy(&stored, field.data(), sizeof(T));
      EXPECT_EQ(result, 0u) << '"' << text << '"';
      EXPECT_TRUE(__int128{stored} == expected) << '"' << text << "\" stored " << int64_t(stored);
    }
  }
}

TEST_F(TextSourceMappers, IntegersMatchAnIndependentReadingClampedOrRefusedOutsideTheTarget) {
  std::mt19937_64 random(82);
  const std::vector<std::string> texts = IntegerTexts(random);
  for (TnxFieldType source : kSources) {
    SCOPED_TRACE(int(source));
    ExpectIntegerTarget<uint8_t>(source, nxtByte, texts);
    ExpectIntegerTarget<int8_t>(source, nxtInt8, texts);
    ExpectIntegerTarget<int16_t>(source, nxtInt16, texts);
    ExpectIntegerTarget<uint16_t>(source, nxtWord16, texts);
    ExpectIntegerTarget<int32_t>(source, nxtInt32, texts);
    ExpectIntegerTarget<uint32_t>(source, nxtWord32, texts);
    ExpectIntegerTarget<uint32_t>(source, nxtAutoInc, texts);
    ExpectIntegerTarget<uint32_t>(source, nxtRecRev, texts);
    ExpectIntegerTarget<int64_t>(source, nxtInt64, texts);
  }
}

// ---- floating point against the C library's reading ----

std::vector<std::string> FloatTexts(std::mt19937_64& aRandom) {
  std::vector<std::string> texts = {"", " ", ".", "+", "-.", "e5", "1e", "1e+", "1.5.2", "1,5", "0x10", "inf", "nan",
                                    "1e4932", "1.18973149535723176502e4932", "1.18973149535723176508e4932",
                                    "3.4028235e38", "3.40282357e38", "3.5e38", "1.7976931348623157e308",
                                    "1.797693134862315808e308", "1e-4951", "1e-4940", "4e-324", "1e-46",
                                    std::string(200, ' ') + "-" + std::string(100, '3') + "." + std::string(50, '3')};
  for (int i = 0; i < 1500; ++i) {
    std::string t(aRandom() % 4 == 0 ? 1 : 0, ' ');
    if (aRandom() % 3 == 0) t += "+-"[aRandom() % 2];
    const int whole = int(aRandom() % 22), fraction = int(aRandom() % 22);
    for (int k = 0; k < whole; ++k) t += char('0' + aRandom() % 10);
    if (fraction || aRandom() % 4 == 0) {
      t += '.';
      for (int k = 0; k < fraction; ++k) t += char('0' + aRandom() % 10);
    }
    if (aRandom() % 2) {
      t += "eE"[aRandom() % 2];
      if (aRandom() % 2) t += "+-"[aRandom() % 2];
      const int range = aRandom() % 4 == 0 ? 5000 : 400;
      t += std::to_string(aRandom() % range);
    }
    if (aRandom() % 20 == 0) t.insert(aRandom() % (t.size() + 1), 1, " x,e"[aRandom() % 4]);
    texts.push_back(t);
  }
  return texts;
}

// The grammar, and the value the C library reads in the C locale.
bool ReferenceFloat(const std::string& aText, long double& aValue) {
  static const std::regex grammar(R"(^ *[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?$)");
  if (!std::regex_match(aText, grammar)) return false;
  static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
  aValue = strtold_l(aText.c_str(), nullptr, c);
  return true;
}

template <class T>
void ExpectFloatTarget(TnxFieldType aSource, TnxFieldType aTarget, const std::vector<std::string>& aTexts) {
  for (bool bestFit : {true, false}) {
    Mapping m(aSource, 400, aTarget, 0, 0, bestFit);
    ASSERT_TRUE(m.Assigned());
    for (const std::string& text : aTexts) {
      if (aSource == nxtShortString && text.size() > 255) continue;
      long double x = 0;
      const bool number = ReferenceFloat(text, x);
      const T narrowed = static_cast<T>(x);
      const bool fits = number && !std::isinf(narrowed);
      Bytes field;
      const uint32_t result = m.Run(text, field);
      if (!bestFit && !fits) {
        EXPECT_EQ(result, kLost) << '"' << text << '"';
        continue;
      }
      const T expected = !number ? T(0) : fits ? narrowed : std::copysign(std::numeric_limits<T>::max(), narrowed);
      T stored = 0;
      std::memcpy(&stored, field.data(), std::is_same_v<T, long double> ? 10 : sizeof(T));
      EXPECT_EQ(result, 0u) << '"' << text << '"';
      EXPECT_TRUE(std::memcmp(&stored, &expected, std::is_same_v<T, long double> ? 10 : sizeof(T)) == 0)
          << '"' << text << "\" stored " << static_cast<double>(stored);
    }
  }
}

TEST_F(TextSourceMappers, FloatsMatchTheCLibraryReadingClampedOrRefusedPastTheTarget) {
  std::mt19937_64 random(8282);
  const std::vector<std::string> texts = FloatTexts(random);
  for (TnxFieldType source : kSources) {
    SCOPED_TRACE(int(source));
    ExpectFloatTarget<long double>(source, nxtExtended, texts);
    ExpectFloatTarget<double>(source, nxtDouble, texts);
    ExpectFloatTarget<float>(source, nxtSingle, texts);
  }
}

// The process-wide separator reads BCD text; the field's locale does not.
TEST_F(TextSourceMappers, BcdTextTakesTheProcessSeparator) {
  platform::TFormatSettings& settings = platform::FormatSettings();
  const char16_t saved = settings.DecimalSeparator;
  settings.DecimalSeparator = u',';
  Mapping comma(nxtNullString, 20, nxtBCD, 5, 2, false, 1033);
  Bytes field;
  EXPECT_EQ(comma.Run("1,5", field), 0u);
  EXPECT_EQ(Bytes(field.begin(), field.begin() + 8), Le<int64_t>(15000));
  EXPECT_EQ(comma.Run("1.5", field), kLost);
  settings.DecimalSeparator = saved;
}

// ---- dates and times written by the date mappers read back ----

struct RoundTrip {
  std::unique_ptr<TnxFieldDescriptor> Value;
  std::unique_ptr<TnxFieldDescriptor> Text;
  std::unique_ptr<TnxBaseFieldMapper> OutMapper, InMapper;
  TnxMappingMethod Out, In;

  RoundTrip(TnxFieldType aValue, TnxFieldType aText, uint32_t aLocale)
      : Value(MakeField(aValue)), Text(MakeField(aText, 40)) {
    Text->AddLocaleDescriptor()->SetLocale(aLocale);
    OutMapper = TnxBaseFieldMapper::CreateMapper(*Value, nullptr, *Text, nullptr, nullptr, Out);
    InMapper = TnxBaseFieldMapper::CreateMapper(*Text, nullptr, *Value, nullptr, nullptr, In);
  }
};

TEST_F(TextSourceMappers, DatesAndTimesWrittenInALocaleReadBackEqual) {
  const int count = testing::TestSize(400, 100000);
  std::mt19937_64 random(1899);
  constexpr int32_t kLastDay = 3652059;
  const int32_t days[] = {1, 2, kLastDay, 693593, 693594, 693595, DayOf(1950, 1, 1), DayOf(2049, 12, 31)};
  const int32_t times[] = {0, 1000, 43200000, 46800000, 86399000, 3600000};
  for (uint32_t locale : {1031u, 1033u, 1036u, 1041u, 2048u})
    for (TnxFieldType valueType : {nxtDate, nxtTime, nxtDateTime}) {
      const TnxFieldType textType = std::array{nxtNullString, nxtShortString, nxtWideString}[random() % 3];
      SCOPED_TRACE(std::to_string(locale) + " type " + std::to_string(int(valueType)) + " via " +
                   std::to_string(int(textType)));
      RoundTrip trip(valueType, textType, locale);
      ASSERT_TRUE(trip.Out.Assigned() && trip.In.Assigned());
      for (int i = 0; i < count; ++i) {
        const int32_t day = i < int(std::size(days)) ? days[i] : int32_t(1 + random() % kLastDay);
        const int32_t time = i < int(std::size(times)) ? times[i] : int32_t(random() % 86400) * 1000;
        uint8_t value[8], text[100], back[8];
        if (valueType == nxtDate) std::memcpy(value, &day, 4);
        else if (valueType == nxtTime) std::memcpy(value, &time, 4);
        else {
          const double ms = double(day) * 86400000.0 + time;
          std::memcpy(value, &ms, 8);
        }
        std::memset(back, kFill, sizeof back);
        ASSERT_EQ(trip.Out(value, text), 0u) << day << ' ' << time;
        ASSERT_EQ(trip.In(text, back), 0u) << day << ' ' << time;
        ASSERT_EQ(std::memcmp(value, back, valueType == nxtDateTime ? 8 : 4), 0) << day << ' ' << time;
      }
    }
}

}  // namespace
}  // namespace revurov
