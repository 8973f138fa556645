#include "lowlevel/wide_strings/wide_string_categories.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/endian.h"
#include "platform/rtl_exception.h"

namespace revurov {
namespace {

TEST(CharacterCategories, ResourceLayout) {
  const std::span<const uint8_t> data = nxUnicodeCategoriesData();
  // Records for 0 to 47 without the unassigned category, then the assigned.
  std::vector<int> seen;
  size_t pos = 0;
  while (pos < data.size()) {
    ASSERT_LE(pos + 5, data.size());
    seen.push_back(data[pos]);
    const uint32_t count = platform::LoadU32(data.data() + pos + 1);
    pos += 5;
    uint32_t previous_stop = 0;
    for (uint32_t i = 0; i < count; ++i, pos += 8) {
      const uint32_t start = platform::LoadU32(data.data() + pos), stop = platform::LoadU32(data.data() + pos + 4);
      EXPECT_LE(start, stop);
      EXPECT_LE(stop, 0x10FFFDu);
      if (i) {
        EXPECT_GT(start, previous_stop + 1) << "ranges are maximal and ordered";
      }
      previous_stop = stop;
    }
  }
  EXPECT_EQ(pos, data.size());
  std::vector<int> expected;
  for (int c = 0; c <= ccComposed; ++c)
    if (c != ccOtherUnassigned) expected.push_back(c);
  expected.push_back(ccAssigned);
  EXPECT_EQ(seen, expected);
}

TEST(CharacterCategories, SampleOfEveryCategory) {
  struct Case {
    char16_t c;
    TnxCharacterCategory category;
  };
  const Case cases[] = {
      {u'A', ccLetterUppercase}, {u'a', ccLetterLowercase}, {u'\u01C5', ccLetterTitlecase},
      {u'\u0301', ccMarkNonSpacing}, {u'\u0903', ccMarkSpacingCombining}, {u'\u20DD', ccMarkEnclosing},
      {u'7', ccNumberDecimalDigit}, {u'\u2163', ccNumberLetter}, {u'\u00B2', ccNumberOther},
      {u' ', ccSeparatorSpace}, {u'\u2028', ccSeparatorLine}, {u'\u2029', ccSeparatorParagraph},
      {u'\n', ccOtherControl}, {u'\u200B', ccOtherFormat}, {u'\xD800', ccOtherSurrogate},
      {u'\uE000', ccOtherPrivate}, {u'\u02B0', ccLetterModifier}, {u'\u05D0', ccLetterOther},
      {u'_', ccPunctuationConnector}, {u'-', ccPunctuationDash}, {u'(', ccPunctuationOpen},
      {u')', ccPunctuationClose}, {u'\u00AB', ccPunctuationInitialQuote}, {u'\u00BB', ccPunctuationFinalQuote},
      {u'!', ccPunctuationOther}, {u'+', ccSymbolMath}, {u'\u20AC', ccSymbolCurrency},
      {u'^', ccSymbolModifier}, {u'\u00A9', ccSymbolOther},
      {u'A', ccLeftToRight}, {u'\u202A', ccLeftToRightEmbedding}, {u'\u202D', ccLeftToRightOverride},
      {u'\u05D0', ccRightToLeft}, {u'\u0627', ccRightToLeftArabic}, {u'\u202B', ccRightToLeftEmbedding},
      {u'\u202E', ccRightToLeftoverride}, {u'\u202C', ccPopDirectionalFormat}, {u'5', ccEuropeanNumber},
      {u'+', ccEuropeanNumberSeparator}, {u'$', ccEuropeanNumberTerminator}, {u'\u0661', ccArabicNumber},
      {u',', ccCommonNumberSeparator}, {u'\u200B', ccBoundaryNeutral}, {u'\t', ccSegmentSeparator},
      {u' ', ccWhiteSpace}, {u'!', ccOtherNeutrals}, {u'\u00C4', ccComposed}, {u'\uAC00', ccComposed},
      {u'a', ccAssigned}, {u'\xD800', ccAssigned},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(nxCharInCategories(c.c, {c.category})) << std::hex << int(c.c) << " " << std::dec << int(c.category);
  }
  // And a sample that is outside.
  const Case outside[] = {{u'a', ccLetterUppercase}, {u'A', ccComposed}, {u'\u0378', ccAssigned},
                          {u'A', ccRightToLeft},     {u'\u0378', ccLeftToRight}, {u'1', ccOtherNeutrals}};
  for (const Case& c : outside) EXPECT_FALSE(nxCharInCategories(c.c, {c.category})) << std::hex << int(c.c);
}

TEST(CharacterCategories, SetsAndUnclassifiedUnits) {
  EXPECT_TRUE(nxCharInCategories(u'A', {ccLetterUppercase}));
  EXPECT_FALSE(nxCharInCategories(u'a', {ccLetterUppercase, ccNumberDecimalDigit}));
  EXPECT_TRUE(nxCharInCategories(u'5', {ccLetterUppercase, ccNumberDecimalDigit}));
  EXPECT_FALSE(nxCharInCategories(u'A', {}));
  // Categories without a record classify nothing.
  for (TnxCharacterCategory c : {ccNonBreaking, ccSymmetric, ccHexDigit, ccQuotationMark, ccMirroring, ccSpaceOther})
    EXPECT_FALSE(nxCharInCategories(u'A', {c}));
  // Both halves of U+1F600 are surrogates, nothing more.
  const std::u16string pair = u"\U0001F600";
  for (char16_t unit : pair) {
    EXPECT_TRUE(nxCharInCategories(unit, {ccOtherSurrogate}));
    EXPECT_FALSE(nxCharInCategories(unit, {ccSymbolOther}));
  }
  // Ranges above the first plane are kept but not classified.
  bool above = false;
  for (const TnxRange& r : nxCharacterCategoryRanges(ccSymbolOther)) above |= r.rngStop > 0xFFFF;
  EXPECT_TRUE(above);
}

// Whole code points: a character outside the BMP by its own categories,
// as the ranges read from the resource give them.
TEST(CharacterCategories, CodePointsOutsideTheBmpByTheirOwnCategories) {
  struct Case {
    char32_t cp;
    TnxCharacterCategory category;
  } inside[] = {
      {U'\U0001F600', ccSymbolOther},     {U'\U00010400', ccLetterUppercase}, {U'\U00010428', ccLetterLowercase},
      {U'\U0001D7CE', ccNumberDecimalDigit}, {U'\U000E0001', ccOtherFormat},  {U'\U000F0000', ccOtherPrivate},
      {U'\U0010FFFD', ccOtherPrivate},    {U'\U00020000', ccLetterOther},     {U'A', ccLetterUppercase},
      {U'\U0001F600', ccAssigned},
  };
  for (const Case& c : inside) {
    EXPECT_TRUE(nxCodePointInCategories(c.cp, {c.category})) << std::hex << uint32_t(c.cp);
    EXPECT_FALSE(nxCodePointInCategories(c.cp, {ccOtherSurrogate})) << std::hex << uint32_t(c.cp);
  }
  EXPECT_FALSE(nxCodePointInCategories(U'\U0001F600', {ccLetterUppercase, ccSeparatorSpace}));
  // Unassigned and out of range: nothing.
  EXPECT_FALSE(nxCodePointInCategories(U'\U0003FFFE', {ccAssigned}));
  EXPECT_FALSE(nxCodePointInCategories(char32_t(0x110000), {ccAssigned, ccOtherPrivate}));
  // A lone surrogate code point is a surrogate.
  EXPECT_TRUE(nxCodePointInCategories(char32_t(0xDC00), {ccOtherSurrogate}));
  // Every code point of every range answers for its category.
  for (int category = 0; category < nxCharacterCategoryCount; ++category) {
    const auto cat = static_cast<TnxCharacterCategory>(category);
    for (const TnxRange& r : nxCharacterCategoryRanges(cat)) {
      if (r.rngStart > 0x10FFFF) continue;
      for (uint32_t cp : {r.rngStart, r.rngStop, r.rngStart + (r.rngStop - r.rngStart) / 2})
        ASSERT_TRUE(nxCodePointInCategories(char32_t(cp), {cat})) << std::hex << cp << " " << std::dec << category;
    }
  }
}

TEST(CharacterCategories, ReaderRejectsCutRecordsAndBadCategories) {
  const std::vector<std::vector<uint8_t>> bad = {
      {0, 1, 0, 0},                            // count cut short
      {0, 1, 0, 0, 0, 'A', 0, 0, 0},           // range cut short
      {0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4}, // count beyond the data
      {55, 0, 0, 0, 0},                        // no such category
  };
  for (const auto& data : bad) {
    TnxCategoryRanges ranges;
    EXPECT_THROW(nxReadCharacterCategories(data, ranges), platform::EReadError);
  }
  const std::vector<uint8_t> good = {6, 1, 0, 0, 0, '0', 0, 0, 0, '9', 0, 0, 0, 54, 0, 0, 0, 0};
  TnxCategoryRanges ranges;
  nxReadCharacterCategories(good, ranges);
  ASSERT_EQ(ranges[6].size(), 1u);
  EXPECT_EQ(ranges[6][0].rngStart, uint32_t{'0'});
  EXPECT_EQ(ranges[6][0].rngStop, uint32_t{'9'});
  EXPECT_TRUE(ranges[54].empty());
}

TEST(CharacterCategories, LoadsOnceUnderConcurrentFirstUse) {
  nxWideStringCategoriesStartup();
  nxWideStringCategoriesShutdown();  // the last shut-down frees the tables
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&wrong] {
      for (char16_t c = u'A'; c <= u'Z'; ++c)
        if (!nxCharInCategories(c, {ccLetterUppercase})) ++wrong;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace revurov
