#include "fieldmap/string_mappers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "dictionary/locale_descriptor.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "fieldmap/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "mapper_fields.h"
#include "platform/code_page.h"
#include "support/exception_message.h"

namespace revurov {
namespace {

using testing::MakeField;

constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr uint8_t kFill = 0xA5;
constexpr size_t kGuard = 16;

const TnxFieldMapperDescriptor kBestFit{u"a", u"b", dlaBestFit};
const TnxFieldMapperDescriptor kFail{u"a", u"b", dlaFail};

std::unique_ptr<TnxFieldDescriptor> TextField(TnxFieldType aType, int32_t aUnits, uint16_t aCodePage = 0,
                                              int32_t aDecPl = 0) {
  auto f = MakeField(aType, aUnits, aDecPl);
  if (aCodePage != 0) f->AddLocaleDescriptor()->SetOverrideStorageCodepage(aCodePage);
  return f;
}

// ---- field layouts ----

std::vector<uint8_t> SourceBytes(TnxFieldType aType, int32_t aLength, const std::string& aBytes,
                                 const std::u16string& aWide) {
  std::vector<uint8_t> b(std::max<size_t>(aLength, 2 * aWide.size() + aBytes.size() + 2), 0);
  if (aType == nxtShortString) {
    b[0] = static_cast<uint8_t>(aBytes.size());
    std::memcpy(b.data() + 1, aBytes.data(), aBytes.size());
  } else if (aType == nxtNullString) {
    std::memcpy(b.data(), aBytes.data(), aBytes.size());
  } else {
    for (size_t i = 0; i < aWide.size(); ++i) {
      b[2 * i] = static_cast<uint8_t>(aWide[i]);
      b[2 * i + 1] = static_cast<uint8_t>(aWide[i] >> 8);
    }
  }
  return b;
}

// The text's bytes of the field: its length byte and characters, its
// characters and terminator; what lies behind the text is not compared.
std::vector<uint8_t> TextOf(TnxFieldType aType, const std::vector<uint8_t>& aField) {
  size_t n;
  if (aType == nxtShortString) {
    n = 1 + size_t{aField[0]};
  } else if (aType == nxtNullString) {
    n = 1 + std::strlen(reinterpret_cast<const char*>(aField.data()));
  } else {
    n = 0;
    while (aField[n] | aField[n + 1]) n += 2;
    n += 2;
  }
  return {aField.begin(), aField.begin() + static_cast<std::ptrdiff_t>(std::min(n, aField.size()))};
}

// The field's text as the mapping must leave it.
std::vector<uint8_t> TargetBytes(TnxFieldType aType, const std::vector<uint8_t>& aBefore, const std::string& aBytes,
                                 const std::u16string& aWide) {
  std::vector<uint8_t> b(aBefore.size() + 2 * aWide.size() + aBytes.size() + 2, kFill);
  if (aType == nxtShortString) {
    b[0] = static_cast<uint8_t>(aBytes.size());
    std::memcpy(b.data() + 1, aBytes.data(), aBytes.size());
  } else if (aType == nxtNullString) {
    std::memcpy(b.data(), aBytes.data(), aBytes.size());
    b[aBytes.size()] = 0;
  } else {
    for (size_t i = 0; i <= aWide.size(); ++i) {
      const char16_t u = i < aWide.size() ? aWide[i] : 0;
      b[2 * i] = static_cast<uint8_t>(u);
      b[2 * i + 1] = static_cast<uint8_t>(u >> 8);
    }
  }
  return TextOf(aType, b);
}

// ---- the reference: whole-text ICU conversion, cut at the last whole character ----

uint32_t Resolved(uint16_t aCodePage) { return aCodePage == 0 ? platform::SystemAnsiCodePage() : aCodePage; }

std::string CharBytes(std::u16string_view aChar, uint32_t aCodePage) {
  static std::map<std::pair<uint32_t, std::u16string>, std::string> memo;
  auto key = std::make_pair(aCodePage, std::u16string(aChar));
  auto it = memo.find(key);
  if (it == memo.end()) it = memo.emplace(key, platform::UnicodeToCodePageLossy(aChar, aCodePage)).first;
  return it->second;
}

std::vector<std::u16string_view> CodePoints(std::u16string_view aText) {
  std::vector<std::u16string_view> r;
  for (size_t i = 0; i < aText.size();) {
    const bool pair = i + 1 < aText.size() && (aText[i] & 0xFC00) == 0xD800 && (aText[i + 1] & 0xFC00) == 0xDC00;
    r.push_back(aText.substr(i, pair ? 2 : 1));
    i += pair ? 2 : 1;
  }
  return r;
}

std::string NarrowWhole(std::u16string_view aText, uint32_t aCodePage) {
  return aText.empty() ? std::string() : platform::UnicodeToCodePageLossy(aText, aCodePage);
}

std::string NarrowCut(std::u16string_view aText, uint32_t aCodePage, size_t aRoom) {
  std::string r;
  for (std::u16string_view c : CodePoints(aText)) {
    const std::string b = CharBytes(c, aCodePage);
    if (r.size() + b.size() > aRoom) break;
    r += b;
  }
  return r;
}

std::u16string WideCut(std::u16string_view aText, size_t aRoom) {
  std::u16string r;
  for (std::u16string_view c : CodePoints(aText)) {
    if (r.size() + c.size() > aRoom) break;
    r += c;
  }
  return r;
}

struct Expected {
  uint32_t Result = 0;
  bool Unchanged = false;
  std::string Bytes;
  std::u16string Wide;
};

// What the library must do, worked out the slow way.
Expected Reference(TnxFieldType aSource, uint16_t aSourceCp, int32_t aSourceLength, TnxFieldType aTarget,
                   uint16_t aTargetCp, int32_t aTargetLength, const std::string& aBytes, const std::u16string& aWide,
                   bool aBestFit) {
  Expected e;
  const bool wideSource = aSource == nxtWideString;
  if (aTarget == nxtWideString) {
    const std::u16string text = wideSource ? aWide : platform::CodePageToUnicode(aBytes, Resolved(aSourceCp));
    const size_t room = static_cast<size_t>(aTargetLength / 2 - 1);
    if (text.size() <= room) {
      e.Wide = text;
    } else if (aBestFit) {
      e.Wide = WideCut(text, room);
    } else {
      e.Result = kLost;
      e.Unchanged = wideSource;
    }
    return e;
  }
  const size_t room = static_cast<size_t>(aTargetLength - 1);
  std::u16string text;
  uint32_t targetCp = Resolved(aTargetCp);
  if (wideSource) {
    text = aWide;
  } else {
    const bool multiByte = aTargetCp != 0 && platform::CodePageMaxCharSize(aTargetCp) > 1;
    const bool convert =
        aSourceCp != 0 && aTargetCp != 0 && (aSourceCp != aTargetCp || (multiByte && aTargetLength < aSourceLength));
    if (!convert) {
      if (aBytes.size() <= room)
        e.Bytes = aBytes;
      else if (aBestFit)
        e.Bytes = aBytes.substr(0, room);
      else
        e.Result = kLost, e.Unchanged = true;
      return e;
    }
    text = platform::CodePageToUnicode(aBytes, aSourceCp);
  }
  const std::string whole = NarrowWhole(text, targetCp);
  if (whole.size() <= room)
    e.Bytes = whole;
  else if (aBestFit)
    e.Bytes = NarrowCut(text, targetCp, room);
  else
    e.Result = kLost;
  return e;
}

// ---- random texts ----

const std::u16string kPool[] = {
    u"a", u"Z", u"7", u" ", u"\u00E9", u"\u0141", u"\u0416", u"\u3042", u"\u6F22", u"\u4E2D", u"\uD55C",
    u"\U0001F600", u"\u0915", u"\u20AC", u"\uFF76", std::u16string(1, char16_t{0xD800})};

std::u16string RandomText(std::mt19937& aRng, size_t aMax) {
  std::uniform_int_distribution<size_t> len(0, aMax);
  std::uniform_int_distribution<size_t> pick(0, std::size(kPool) - 1);
  std::u16string t;
  const size_t n = len(aRng);
  while (t.size() < n) t += kPool[pick(aRng)];
  if (aRng() % 4 == 0) t += u"   ";
  return t;
}

// The source's stored bytes: a NullString ends at its first 0, a
// ShortString holds at most 255 bytes.
std::string StoredBytes(TnxFieldType aType, const std::u16string& aText, uint16_t aCodePage, std::mt19937& aRng) {
  std::string b = aText.empty() ? std::string() : platform::UnicodeToCodePageLossy(aText, Resolved(aCodePage));
  if (aType == nxtShortString && aRng() % 8 == 0 && !b.empty()) b[aRng() % b.size()] = 0;
  if (aType == nxtNullString) b = b.substr(0, b.find('\0'));
  if (b.size() > 255) b.resize(255);
  return b;
}

struct Pair {
  TnxFieldType Source;
  TnxFieldType Target;
};

const Pair kPairs[] = {
    {nxtShortString, nxtShortString}, {nxtShortString, nxtNullString}, {nxtNullString, nxtNullString},
    {nxtNullString, nxtShortString},  {nxtWideString, nxtShortString}, {nxtWideString, nxtNullString},
    {nxtShortString, nxtWideString},  {nxtNullString, nxtWideString},  {nxtWideString, nxtWideString},
};

const uint16_t kCodePages[] = {0, 1252, 1250, 1251, 932, 936, 949, 65001};
const int32_t kTargetUnits[] = {1, 2, 5, 20, 255};

class StringMappers : public ::testing::Test {
protected:
  TnxFieldMapStartupGuard fieldMap;
};

// Every class under cut and check against the reference, for every pair
// of code pages and target length, over random texts.
TEST_F(StringMappers, MatchTheWholeTextConversionCutAtTheLastWholeCharacter) {
  std::mt19937 rng(81);
  for (const Pair& pair : kPairs)
    for (uint16_t sourceCp : kCodePages)
      for (uint16_t targetCp : kCodePages)
        for (int32_t units : kTargetUnits)
          for (const TnxFieldMapperDescriptor* desc : {&kBestFit, &kFail}) {
            if ((pair.Source == nxtWideString && sourceCp != 0) || (pair.Target == nxtWideString && targetCp != 0))
              continue;  // a WideString has no code page
            auto source = TextField(pair.Source, 255, sourceCp);
            auto target = TextField(pair.Target, units, targetCp);
            TnxMappingMethod method;
            auto mapper = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, desc, method);
            ASSERT_TRUE(method.Assigned());
            const bool bestFit = desc == &kBestFit;
            for (int i = 0; i < 6; ++i) {
              const std::u16string text = RandomText(rng, i < 3 ? 12 : 300);
              const std::u16string wide = text.substr(0, 255);
              const std::string bytes = StoredBytes(pair.Source, text, sourceCp, rng);
              const auto src = SourceBytes(pair.Source, source->Length(), bytes, wide);
              std::vector<uint8_t> field(target->Length() + kGuard, kFill);
              const Expected e = Reference(pair.Source, sourceCp, source->Length(), pair.Target, targetCp,
                                           target->Length(), bytes, wide, bestFit);
              const auto before = field;
              const uint32_t r = method(src.data(), field.data());
              SCOPED_TRACE(::testing::Message() << int(pair.Source) << "->" << int(pair.Target) << " cp "
                                                << sourceCp << "->" << targetCp << " units " << units
                                                << (bestFit ? " best fit" : " check") << " text " << i);
              ASSERT_EQ(r, e.Result);
              if (e.Unchanged) {
                EXPECT_EQ(field, before);
              } else {
                EXPECT_EQ(TextOf(pair.Target, field), TargetBytes(pair.Target, before, e.Bytes, e.Wide));
              }
              EXPECT_TRUE(std::all_of(field.begin() + target->Length(), field.end(),
                                      [](uint8_t b) { return b == kFill; }));
            }
          }
}

struct EdgeCase {
  const char* Name;
  TnxFieldType Source;
  int32_t SourceUnits;
  int32_t SourceDecPl;
  uint16_t SourceCp;
  TnxFieldType Target;
  int32_t TargetUnits;
  int32_t TargetDecPl;
  uint16_t TargetCp;
  TnxDataLossAction Action;
  std::u16string Text;
  uint32_t Result;
  std::u16string Stored;  // what the target holds afterwards, read in its code page
  bool Unchanged = false;
};

std::u16string Repeat(std::u16string_view aUnit, int aCount) {
  std::u16string r;
  for (int i = 0; i < aCount; ++i) r += aUnit;
  return r;
}

const std::u16string kAlphabet30 = u"abcdefghijklmnopqrstuvwxyzABCD";
const std::u16string kSixKana = u"\u3042\u3044\u3046\u3048\u304A\u304B";

const EdgeCase kEdgeCases[] = {
    {"trim into padded", nxtShortString, 10, 0, 0, nxtShortString, 10, 10, 0, dlaFail, u"abc  ", 0, u"abc"},
    {"no trim into unpadded", nxtShortString, 10, 0, 0, nxtShortString, 10, 0, 0, dlaFail, u"abc  ", 0, u"abc  "},
    {"padded into padded keeps spaces", nxtShortString, 10, 10, 0, nxtShortString, 10, 10, 0, dlaFail, u"abc  ", 0,
     u"abc  "},
    {"30 into 20 cut", nxtShortString, 40, 0, 1252, nxtShortString, 20, 0, 1252, dlaBestFit, kAlphabet30, 0,
     kAlphabet30.substr(0, 20)},
    {"30 into 20 check", nxtShortString, 40, 0, 1252, nxtShortString, 20, 0, 1252, dlaFail, kAlphabet30, kLost, u"",
     true},
    {"20 passes", nxtShortString, 40, 0, 1252, nxtShortString, 20, 0, 1252, dlaFail, kAlphabet30.substr(0, 20), 0,
     kAlphabet30.substr(0, 20)},
    {"21 fails", nxtShortString, 40, 0, 1252, nxtShortString, 20, 0, 1252, dlaFail, kAlphabet30.substr(0, 21), kLost,
     u"", true},
    {"12 into NullString[12]", nxtNullString, 20, 0, 0, nxtNullString, 12, 0, 0, dlaFail, kAlphabet30.substr(0, 12),
     0, kAlphabet30.substr(0, 12)},
    {"13 into NullString[12]", nxtNullString, 20, 0, 0, nxtNullString, 12, 0, 0, dlaFail, kAlphabet30.substr(0, 13),
     kLost, u"", true},
    {"all spaces trimmed", nxtNullString, 10, 0, 0, nxtNullString, 10, 10, 0, dlaFail, u"    ", 0, u""},
    {"932 cut to 5 characters", nxtShortString, 20, 0, 932, nxtShortString, 10, 0, 932, dlaBestFit, kSixKana, 0,
     kSixKana.substr(0, 5)},
    {"932 check leaves empty", nxtShortString, 20, 0, 932, nxtShortString, 10, 0, 932, dlaFail, kSixKana, kLost, u""},
    {"lacking character is ?", nxtShortString, 10, 0, 1251, nxtShortString, 10, 0, 1252, dlaFail, u"a\u0416b", 0,
     u"a?b"},
    {"code page 0 copies bytes", nxtShortString, 10, 0, 0, nxtShortString, 10, 0, 1251, dlaFail, u"\u00E9", 0,
     u"\u0439"},
    {"12 letters into NullString[10] cut", nxtWideString, 20, 0, 0, nxtNullString, 10, 0, 0, dlaBestFit,
     kAlphabet30.substr(0, 12), 0, kAlphabet30.substr(0, 10)},
    {"12 letters into NullString[10] check", nxtWideString, 20, 0, 0, nxtNullString, 10, 0, 0, dlaFail,
     kAlphabet30.substr(0, 12), kLost, u""},
    {"pair never halved into WideString", nxtWideString, 20, 0, 0, nxtWideString, 3, 0, 0, dlaBestFit,
     u"ab\U0001F600", 0, u"ab"},
    {"pair never halved into 1252", nxtWideString, 20, 0, 0, nxtShortString, 2, 0, 1252, dlaBestFit,
     u"a\U0001F600b", 0, u"a?"},
    {"empty into WideString", nxtNullString, 10, 0, 1252, nxtWideString, 5, 0, 0, dlaFail, u"", 0, u""},
    {"padded WideString", nxtNullString, 10, 0, 1252, nxtWideString, 5, 5, 0, dlaFail, u"ab    ", 0, u"ab"},
    {"UTF-8 cut keeps whole characters", nxtNullString, 20, 0, 1252, nxtNullString, 5, 0, 65001, dlaBestFit,
     u"\u00E9\u00E9\u00E9", 0, u"\u00E9\u00E9"},
    {"half a double-byte character never written", nxtShortString, 20, 0, 1252, nxtShortString, 2, 0, 932,
     dlaBestFit, u"a\u00E9", 0, u"a?"},
};

std::u16string ReadTarget(TnxFieldType aType, uint16_t aCodePage, const std::vector<uint8_t>& aField) {
  if (aType == nxtWideString) {
    std::u16string r;
    for (size_t i = 0; aField[2 * i] | aField[2 * i + 1]; ++i) r += char16_t(aField[2 * i] | aField[2 * i + 1] << 8);
    return r;
  }
  const std::string bytes = aType == nxtShortString
                                ? std::string(reinterpret_cast<const char*>(aField.data()) + 1, aField[0])
                                : std::string(reinterpret_cast<const char*>(aField.data()));
  return platform::CodePageToUnicode(bytes, Resolved(aCodePage));
}

TEST_F(StringMappers, EdgeCases) {
  for (const EdgeCase& c : kEdgeCases) {
    SCOPED_TRACE(c.Name);
    auto source = TextField(c.Source, c.SourceUnits, c.SourceCp, c.SourceDecPl);
    auto target = TextField(c.Target, c.TargetUnits, c.TargetCp, c.TargetDecPl);
    const TnxFieldMapperDescriptor desc{u"a", u"b", c.Action};
    TnxMappingMethod method;
    auto mapper = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, &desc, method);
    ASSERT_TRUE(method.Assigned());
    // The stored text of the source as its field keeps it.
    const std::string bytes = c.Text.empty() || c.Source == nxtWideString
                                  ? std::string()
                                  : platform::UnicodeToCodePageLossy(c.Text, Resolved(c.SourceCp));
    const auto src = SourceBytes(c.Source, source->Length(), bytes, c.Text);
    std::vector<uint8_t> field(target->Length() + kGuard, kFill);
    const auto before = field;
    EXPECT_EQ(method(src.data(), field.data()), c.Result);
    if (c.Unchanged) {
      EXPECT_EQ(field, before);
    } else {
      EXPECT_EQ(ReadTarget(c.Target, c.TargetCp, field), c.Stored);
    }
    EXPECT_TRUE(std::all_of(field.begin() + target->Length(), field.end(), [](uint8_t b) { return b == kFill; }));
  }
}

TEST_F(StringMappers, ChoosesTheCopyAtSetUp) {
  struct Case {
    TnxFieldType Source;
    int32_t SourceUnits;
    TnxFieldType Target;
    int32_t TargetUnits;
    bool Instance;
  };
  // A WideString target that holds every value needs no instance, whatever
  // the action; a ShortString of the same length takes the whole copy even
  // under dlaFail: a 21-character value into ShortString[21] passes.
  for (const Case& c : {Case{nxtWideString, 10, nxtWideString, 20, false}, Case{nxtWideString, 20, nxtWideString, 20, false},
                        Case{nxtWideString, 20, nxtWideString, 10, true},
                        Case{nxtShortString, 21, nxtShortString, 21, true}})
    for (const TnxFieldMapperDescriptor* desc : {&kBestFit, &kFail}) {
      auto source = TextField(c.Source, c.SourceUnits);
      auto target = TextField(c.Target, c.TargetUnits);
      TnxMappingMethod method;
      auto mapper = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, desc, method);
      ASSERT_TRUE(method.Assigned());
      EXPECT_EQ(mapper != nullptr, c.Instance);
      const std::u16string text = Repeat(u"x", c.SourceUnits);
      const std::string bytes(c.SourceUnits, 'x');
      const auto src = SourceBytes(c.Source, source->Length(), bytes, text);
      std::vector<uint8_t> field(target->Length() + kGuard, kFill);
      const uint32_t r = method(src.data(), field.data());
      EXPECT_EQ(r, c.TargetUnits >= c.SourceUnits || desc == &kBestFit ? 0u : kLost);
    }
}

TEST_F(StringMappers, ACodePageWithoutConverterFailsSetUpWithTheRoutinesContext) {
  struct Case {
    TnxFieldType Source;
    uint16_t SourceCp;
    TnxFieldType Target;
    uint16_t TargetCp;
    const TnxFieldMapperDescriptor* Desc;
    std::u16string Context;
  };
  const Case cases[] = {
      {nxtShortString, 1252, nxtShortString, 4711, &kFail,
       u"TnxShortStringToShortStringMapper.ToShortStringConvertCheck/WideCharToMultiByte"},
      {nxtNullString, 4711, nxtNullString, 1252, &kBestFit,
       u"TnxNullStringToNullStringMapper.ToNullStringConvertCheck/MultiByteToWideChar"},
      {nxtWideString, 0, nxtNullString, 4711, &kBestFit,
       u"TnxWideStringToAnsiStringMapper.ToNullStringConvert/WideCharToMultiByte"},
      {nxtShortString, 4711, nxtWideString, 0, &kFail,
       u"TnxAnsiStringToWideStringMapper.FromShortStringConvertCheck/MultiByteToWideChar"},
  };
  for (const Case& c : cases) {
    auto source = TextField(c.Source, 10, c.SourceCp);
    auto target = TextField(c.Target, 10, c.TargetCp);
    TnxMappingMethod method;
    const std::u16string message = testing::MessageOf<EnxBaseException>(
        [&] { TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, c.Desc, method); });
    EXPECT_TRUE(testing::Contains(message, c.Context)) << std::string(message.begin(), message.end());
  }
}

// Texts far beyond any scratch buffer: cut or checked, never raised, never
// written past the field.
TEST_F(StringMappers, LongTextsAreCutOrCheckedInPlace) {
  const size_t kUnits = 1000000;
  std::u16string text;
  while (text.size() < kUnits) text += u"\u00E9\u3042\U0001F600 ";
  const std::string bytes = platform::UnicodeToCodePageLossy(text, 65001);
  for (TnxFieldType sourceType : {nxtBlobMemo, nxtWideString})
    for (TnxFieldType targetType : {nxtShortString, nxtNullString, nxtWideString})
      for (const TnxFieldMapperDescriptor* desc : {&kBestFit, &kFail}) {
        if (sourceType == nxtWideString && targetType == nxtWideString) continue;
        auto source = sourceType == nxtWideString ? TextField(nxtWideString, kUnits) : TextField(nxtBlobMemo, 0, 65001);
        auto target = TextField(targetType, 20, targetType == nxtWideString ? 0 : 1250);
        TnxMappingMethod method;
        std::unique_ptr<TnxBaseFieldMapper> mapper;
        if (sourceType == nxtWideString)
          mapper = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, desc, method);
        else
          mapper = nxCreateStringMapper(targetType == nxtWideString ? TnxAnsiStringToWideStringMapper::ClassInfo
                                                                    : TnxNullStringToNullStringMapper::ClassInfo,
                                        *source, *target, desc, method);
        if (sourceType != nxtWideString && targetType == nxtShortString) continue;
        ASSERT_TRUE(method.Assigned());
        const auto src = SourceBytes(sourceType == nxtWideString ? nxtWideString : nxtNullString,
                                     source->Length(), bytes, text);
        std::vector<uint8_t> field(target->Length() + kGuard, kFill);
        const uint32_t r = method(src.data(), field.data());
        EXPECT_EQ(r, desc == &kBestFit ? 0u : kLost);
        EXPECT_TRUE(std::all_of(field.begin() + target->Length(), field.end(), [](uint8_t b) { return b == kFill; }));
        if (desc == &kBestFit) {
          const std::u16string stored = ReadTarget(targetType, 1250, field);
          EXPECT_EQ(stored.substr(0, 4), targetType == nxtWideString ? u"\u00E9\u3042\U0001F600"
                                                                      : u"\u00E9?? ");
        }
      }
}

}  // namespace
}  // namespace revurov
