#include "fieldmap/char_mappers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "dictionary/locale_descriptor.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "fieldmap/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "mapper_fields.h"
#include "support/exception_message.h"

namespace revurov {
namespace {

using testing::MakeField;

constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr uint8_t kFill = 0xA5;
constexpr size_t kGuard = 8;

std::unique_ptr<TnxFieldDescriptor> Field(TnxFieldType aType, int32_t aUnits = 0, uint16_t aCodePage = 0,
                                          int32_t aDecPl = 0) {
  auto f = MakeField(aType, aUnits, aDecPl);
  if (aCodePage != 0) f->AddLocaleDescriptor()->SetOverrideStorageCodepage(aCodePage);
  return f;
}

struct Case {
  const char* Name;
  TnxFieldType Source;
  uint16_t Char;  // the byte of a Char, the unit of a WideChar
  uint16_t SourceCp;
  TnxFieldType Target;
  int32_t Units;
  uint16_t TargetCp;
  bool BestFit;
  uint32_t Result;
  std::vector<uint8_t> Bytes;  // the target's leading bytes afterwards
};

const Case kCases[] = {
    {"Char 7 into Int32 check", nxtChar, '7', 0, nxtInt32, 0, 0, false, 0, {7, 0, 0, 0}},
    {"Char 7 into Int32 best fit", nxtChar, '7', 0, nxtInt32, 0, 0, true, 0, {7, 0, 0, 0}},
    {"Char A into Int32 best fit", nxtChar, 'A', 0, nxtInt32, 0, 0, true, 0, {0, 0, 0, 0}},
    {"Char A into Int32 check", nxtChar, 'A', 0, nxtInt32, 0, 0, false, kLost, {kFill}},
    {"Char 3 into Currency", nxtChar, '3', 0, nxtCurrency, 0, 0, false, 0, {0x30, 0x75, 0, 0, 0, 0, 0, 0}},
    {"Char 2 into Double", nxtChar, '2', 0, nxtDouble, 0, 0, false, 0, {0, 0, 0, 0, 0, 0, 0, 0x40}},
    {"Char Y into Boolean check", nxtChar, 'Y', 0, nxtBoolean, 0, 0, false, 0, {0xFF}},
    {"Char y into Boolean check", nxtChar, 'y', 0, nxtBoolean, 0, 0, false, kLost, {kFill}},
    {"Char y into Boolean best fit", nxtChar, 'y', 0, nxtBoolean, 0, 0, true, 0, {0xFF}},
    {"Char N into Boolean best fit", nxtChar, 'N', 0, nxtBoolean, 0, 0, true, 0, {0}},
    {"Char code 0 into Boolean best fit", nxtChar, 0, 0, nxtBoolean, 0, 0, true, 0, {0xFF}},
    {"WideChar 1 into Boolean", nxtWideChar, '1', 0, nxtBoolean, 0, 0, false, 0, {0xFF}},
    {"WideChar 2 into Boolean check", nxtWideChar, '2', 0, nxtBoolean, 0, 0, false, kLost, {kFill}},
    {"WideChar 2 into Boolean best fit", nxtWideChar, '2', 0, nxtBoolean, 0, 0, true, 0, {0xFF}},
    {"WideChar A into Boolean best fit", nxtWideChar, 'A', 0, nxtBoolean, 0, 0, true, 0, {0}},
    {"WideChar 5 into Byte check", nxtWideChar, '5', 0, nxtByte, 0, 0, false, 0, {5}},
    {"Char into ByteArray", nxtChar, 'x', 0, nxtByteArray, 4, 0, false, 0, {'x', kFill}},
    {"WideChar into ByteArray", nxtWideChar, 0x0416, 0, nxtByteArray, 4, 0, false, 0, {0x16, 0x04, kFill}},
    {"Char code 0 into ShortString unconverted", nxtChar, 0, 1252, nxtShortString, 5, 0, false, 0, {1, 0}},
    {"Char code 0 into ShortString converted", nxtChar, 0, 1252, nxtShortString, 5, 1250, false, 0, {0}},
    {"Char converted into NullString", nxtChar, 0xC6, 1251, nxtNullString, 5, 65001, false, 0, {0xD0, 0x96, 0}},
    {"Char the target lacks is ?", nxtChar, 0xC6, 1251, nxtChar, 0, 1252, false, 0, {'?'}},
    {"Char needing two bytes", nxtChar, 0xC6, 1251, nxtChar, 0, 65001, true, kLost, {kFill}},
    {"Char into WideChar", nxtChar, 0xC6, 1251, nxtWideChar, 0, 0, false, 0, {0x16, 0x04}},
    {"Char code 0 into WideString", nxtChar, 0, 1251, nxtWideString, 3, 0, false, 0, {0, 0}},
    {"WideChar into Char", nxtWideChar, 0x00E9, 0, nxtChar, 0, 1252, false, 0, {0xE9}},
    {"WideChar needing two bytes into Char", nxtWideChar, 0x3042, 0, nxtChar, 0, 932, false, 0, {0}},
    {"WideChar into NullString[1] of 932 check", nxtWideChar, 0x3042, 0, nxtNullString, 1, 932, false, kLost,
     {0}},
    {"WideChar into NullString[1] of 932 best fit", nxtWideChar, 0x3042, 0, nxtNullString, 1, 932, true, 0, {0}},
    {"WideChar into ShortString[2] of 932", nxtWideChar, 0x3042, 0, nxtShortString, 2, 932, false, 0,
     {2, 0x82, 0xA0}},
    {"WideChar into WideString", nxtWideChar, 0x0416, 0, nxtWideString, 3, 0, false, 0, {0x16, 0x04, 0, 0}},
    {"lone surrogate into Char is ?", nxtWideChar, 0xD800, 0, nxtChar, 0, 0, false, 0, {'?'}},
};

class CharMappers : public ::testing::Test {
protected:
  TnxFieldMapStartupGuard fieldMap;
};

TEST_F(CharMappers, Cases) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.Name);
    auto source = Field(c.Source, 0, c.SourceCp);
    auto target = Field(c.Target, c.Units, c.TargetCp);
    const TnxFieldMapperDescriptor desc{u"a", u"b", c.BestFit ? dlaBestFit : dlaFail};
    TnxMappingMethod method;
    auto mapper = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, &desc, method);
    ASSERT_TRUE(method.Assigned());
    const uint8_t src[2] = {static_cast<uint8_t>(c.Char), static_cast<uint8_t>(c.Char >> 8)};
    std::vector<uint8_t> field(target->Length() + kGuard, kFill);
    EXPECT_EQ(method(src, field.data()), c.Result);
    EXPECT_EQ(std::vector<uint8_t>(field.begin(), field.begin() + c.Bytes.size()), c.Bytes);
    EXPECT_TRUE(std::all_of(field.begin() + target->Length(), field.end(), [](uint8_t b) { return b == kFill; }));
  }
}

// Every digit and a sample of the rest into every numeric width.
TEST_F(CharMappers, DigitsReadAsNumbersInEveryTarget) {
  const TnxFieldType targets[] = {nxtByte, nxtWord16, nxtWord32, nxtAutoInc, nxtRecRev, nxtInt8, nxtInt16,
                                  nxtInt32, nxtInt64};
  for (TnxFieldType sourceType : {nxtChar, nxtWideChar})
    for (TnxFieldType targetType : targets)
      for (bool bestFit : {true, false}) {
        auto source = Field(sourceType);
        auto target = Field(targetType);
        const TnxFieldMapperDescriptor desc{u"a", u"b", bestFit ? dlaBestFit : dlaFail};
        TnxMappingMethod method;
        auto mapper = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, &desc, method);
        ASSERT_TRUE(method.Assigned());
        for (int ch : {int{'0'}, int{'5'}, int{'9'}, int{'/'}, int{':'}, int{'A'}, 0, 0x0660}) {
          if (sourceType == nxtChar && ch > 0xFF) continue;
          const uint8_t src[2] = {static_cast<uint8_t>(ch), static_cast<uint8_t>(ch >> 8)};
          uint8_t field[16];
          std::memset(field, kFill, sizeof field);
          const bool digit = ch >= '0' && ch <= '9';
          ASSERT_EQ(method(src, field), digit || bestFit ? 0u : kLost) << ch;
          if (!digit && !bestFit) continue;
          int64_t v = 0;
          std::memcpy(&v, field, target->Length());
          if (target->Length() < 8) v &= (int64_t{1} << (8 * target->Length())) - 1;
          EXPECT_EQ(v, digit ? ch - '0' : 0) << ch;
        }
      }
}

TEST_F(CharMappers, DeclinesTargetsWithoutRoom) {
  struct Decline {
    TnxFieldType Source;
    TnxFieldType Target;
    int32_t Units;
  };
  for (const Decline& d : {Decline{nxtWideChar, nxtByteArray, 1}, Decline{nxtChar, nxtGuid, 0},
                           Decline{nxtChar, nxtDate, 0}, Decline{nxtWideChar, nxtBlobMemo, 0}}) {
    auto source = Field(d.Source);
    auto target = Field(d.Target, d.Units);
    TnxMappingMethod method;
    const TnxFieldMapperClass& cls = d.Source == nxtChar ? TnxCharMapper::ClassInfo : TnxWideCharMapper::ClassInfo;
    EXPECT_EQ(cls.TryCreateMapper(cls, *source, nullptr, *target, nullptr, nullptr, method), nullptr);
    EXPECT_FALSE(method.Assigned()) << int(d.Target);
  }
}

TEST_F(CharMappers, ACodePageWithoutConverterFailsSetUp) {
  auto source = Field(nxtChar, 0, 1252);
  auto target = Field(nxtNullString, 5, 4711);
  TnxMappingMethod method;
  const std::u16string message = testing::MessageOf<EnxBaseException>(
      [&] { TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, nullptr, method); });
  EXPECT_TRUE(testing::Contains(message, u"TnxCharMapper.ToNullStringConvertCheck/WideCharToMultiByte"));
}

}  // namespace
}  // namespace revurov
