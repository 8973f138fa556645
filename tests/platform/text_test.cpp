#include "platform/text.h"

#include <gtest/gtest.h>

namespace revurov::platform {
namespace {

TEST(Text, Utf8RoundTripIncludingSurrogatePairs) {
  const std::u16string s = u"A\u00E4\u20AC\U0001F600z";
  EXPECT_EQ(Utf16ToUtf8(s), "A\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80z");
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(s)), s);
}

TEST(Text, MalformedInputBecomesReplacementCharacter) {
  struct {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"\xFF", u"\uFFFD"},
      {"a\xC3", u"a\uFFFD"},          // truncated sequence at the end
      {"\xC0\x80", u"\uFFFD"},        // overlong NUL
      {"\xED\xA0\x80", u"\uFFFD"},    // encoded surrogate
      {"\xE2\x28\xA1", u"\uFFFD(\uFFFD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.in), c.out) << c.in;
    EXPECT_FALSE(IsValidUtf8(c.in)) << c.in;
  }
  EXPECT_TRUE(IsValidUtf8("A\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"));
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(Text, UnpairedSurrogatesAreFoundAnywhere) {
  const struct {
    std::u16string text;
    bool unpaired;
  } cases[] = {
      {u"", false},
      {u"abcä", false},
      {u"a😀b", false},
      {std::u16string(1, char16_t(0xD800)), true},          // high at the end
      {std::u16string(1, char16_t(0xDC00)) + u"a", true},   // low alone
      {u"a" + std::u16string(1, char16_t(0xDBFF)) + u"b", true},
      {std::u16string{char16_t(0xDC00), char16_t(0xD800)}, true},  // reversed pair
  };
  for (const auto& c : cases) EXPECT_EQ(HasUnpairedSurrogate(c.text), c.unpaired) << Utf16ToUtf8(c.text);
}

TEST(Text, TrimRemovesBlanksAndControlCharactersOnly) {
  const struct {
    std::u16string text, trimmed, trimmedRight;
  } cases[] = {
      {u"", u"", u""},
      {u" \t\r\n", u"", u""},
      {u"\1a b\37", u"a b", u"\1a b"},
      {u"\u00A0x\u00A0", u"\u00A0x\u00A0", u"\u00A0x\u00A0"},  // no-break space is no blank here
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Trim(c.text), c.trimmed) << Utf16ToUtf8(c.text);
    EXPECT_EQ(TrimRight(c.text), c.trimmedRight) << Utf16ToUtf8(c.text);
  }
}

TEST(Text, AsciiCaseRoutinesLeaveOtherLettersAlone) {
  EXPECT_EQ(AsciiUpperCase(u"config\u00E4"), u"CONFIG\u00E4");
  EXPECT_TRUE(AsciiSameText(u"Config", u"CONFIG"));
  EXPECT_FALSE(AsciiSameText(u"\u00E4", u"\u00C4"));
  EXPECT_EQ(AsciiCompareText(u"abc", u"ABD"), -1);
  EXPECT_EQ(AsciiCompareText(u"ab", u"A"), 1);
}

}  // namespace
}  // namespace revurov::platform
