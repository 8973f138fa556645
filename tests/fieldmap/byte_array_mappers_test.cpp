#include "fieldmap/byte_array_mappers.h"

#include <gtest/gtest.h>

#include <algorithm>
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

std::unique_ptr<TnxFieldDescriptor> Field(TnxFieldType aType, int32_t aUnits, uint16_t aCodePage = 0) {
  auto f = MakeField(aType, aUnits);
  if (aCodePage != 0) f->AddLocaleDescriptor()->SetOverrideStorageCodepage(aCodePage);
  return f;
}

struct Case {
  const char* Name;
  std::string Source;  // the array's bytes; its length is the field's
  uint16_t SourceCp;
  TnxFieldType Target;
  int32_t Units;
  uint16_t TargetCp;
  bool BestFit;
  bool Mapper;
  uint32_t Result;
  std::vector<uint8_t> Bytes;  // the target's leading bytes afterwards
};

const std::string kAiu = "\x82\xA0\x82\xA2\x82\xA4";  // three double-byte characters of 932

const Case kCases[] = {
    {"copy into a longer array", "abcd", 0, nxtByteArray, 8, 0, false, true, 0, {'a', 'b', 'c', 'd', kFill}},
    {"copy cut under best fit", "abcdefgh", 0, nxtByteArray, 4, 0, true, true, 0, {'a', 'b', 'c', 'd', kFill}},
    {"no checking copy into a shorter array", "abcdefgh", 0, nxtByteArray, 4, 0, false, false, 0, {}},
    {"short array into Guid under best fit", "abcdefgh", 0, nxtGuid, 0, 0, true, true, 0,
     {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', kFill}},
    {"short array into Guid checked", "abcdefgh", 0, nxtGuid, 0, 0, false, false, 0, {}},
    {"plain ShortString keeps zero bytes", std::string("ab\0c", 4), 0, nxtShortString, 10, 1252, false, true, 0,
     {4, 'a', 'b', 0, 'c'}},
    {"plain NullString cut", "abcd", 0, nxtNullString, 3, 0, true, true, 0, {'a', 'b', 'c', 0}},
    {"plain NullString checked into less room", "abcd", 0, nxtNullString, 3, 0, false, false, 0, {}},
    {"converted and cut at a whole character", "\xC6" "abcd", 1251, nxtShortString, 3, 65001, true, true, 0,
     {3, 0xD0, 0x96, 'a'}},
    {"converted and checked", "\xC6" "abcd", 1251, nxtShortString, 3, 65001, false, true, kLost, {0}},
    {"first byte 0 is empty", std::string("\0abc", 4), 1251, nxtNullString, 5, 1252, false, true, 0, {0}},
    {"932 cut never halves a character", kAiu, 932, nxtShortString, 5, 932, true, true, 0,
     {4, 0x82, 0xA0, 0x82, 0xA2}},
    {"932 checked", kAiu, 932, nxtShortString, 5, 932, false, true, kLost, {0}},
    {"WideString keeps zero bytes when it fits", std::string("ab\0c", 4), 1252, nxtWideString, 10, 0, true, true, 0,
     {'a', 0, 'b', 0, 0, 0, 'c', 0, 0, 0}},
    {"WideString too short takes the text to its 0", std::string("ab\0c", 4), 1252, nxtWideString, 2, 0, true, true,
     0, {'a', 0, 'b', 0, 0, 0}},
    {"WideString checked only with room for the array", "abcd", 1252, nxtWideString, 2, 0, false, false, 0, {}},
    {"WideString checked", "ab", 1251, nxtWideString, 2, 0, false, true, 0, {'a', 0, 'b', 0, 0, 0}},
};

class ByteArrayMapper : public ::testing::Test {
protected:
  TnxFieldMapStartupGuard fieldMap;
};

TEST_F(ByteArrayMapper, Cases) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.Name);
    auto source = Field(nxtByteArray, static_cast<int32_t>(c.Source.size()), c.SourceCp);
    auto target = Field(c.Target, c.Units, c.TargetCp);
    const TnxFieldMapperDescriptor desc{u"a", u"b", c.BestFit ? dlaBestFit : dlaFail};
    TnxMappingMethod method;
    auto mapper = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, &desc, method);
    ASSERT_EQ(method.Assigned(), c.Mapper);
    if (!c.Mapper) continue;
    std::vector<uint8_t> field(target->Length() + kGuard, kFill);
    EXPECT_EQ(method(c.Source.data(), field.data()), c.Result);
    EXPECT_EQ(std::vector<uint8_t>(field.begin(), field.begin() + c.Bytes.size()), c.Bytes);
    EXPECT_TRUE(std::all_of(field.begin() + target->Length(), field.end(), [](uint8_t b) { return b == kFill; }));
  }
}

TEST_F(ByteArrayMapper, LongArraysAreCutOrCheckedWithoutRaising) {
  const std::string bytes(100000, '\xE9');
  for (TnxFieldType type : {nxtShortString, nxtNullString, nxtWideString})
    for (bool bestFit : {true, false}) {
      auto source = Field(nxtByteArray, static_cast<int32_t>(bytes.size()), 1252);
      auto target = Field(type, 20, type == nxtWideString ? 0 : 1250);
      const TnxFieldMapperDescriptor desc{u"a", u"b", bestFit ? dlaBestFit : dlaFail};
      TnxMappingMethod method;
      auto mapper = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, &desc, method);
      if (type == nxtWideString && !bestFit) {
        EXPECT_FALSE(method.Assigned());
        continue;
      }
      ASSERT_TRUE(method.Assigned());
      std::vector<uint8_t> field(target->Length() + kGuard, kFill);
      EXPECT_EQ(method(bytes.data(), field.data()), bestFit ? 0u : kLost);
      EXPECT_TRUE(std::all_of(field.begin() + target->Length(), field.end(), [](uint8_t b) { return b == kFill; }));
    }
}

TEST_F(ByteArrayMapper, ACodePageWithoutConverterFailsSetUp) {
  auto source = Field(nxtByteArray, 4, 4711);
  auto target = Field(nxtShortString, 5, 1252);
  TnxMappingMethod method;
  const std::u16string message = testing::MessageOf<EnxBaseException>(
      [&] { TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, nullptr, method); });
  EXPECT_TRUE(testing::Contains(message, u"TnxByteArrayMapper.ToShortStringConvertCheck/MultiByteToWideChar"));
}

}  // namespace
}  // namespace revurov
