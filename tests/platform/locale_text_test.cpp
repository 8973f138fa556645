#include "platform/locale_text.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace revurov::platform {
namespace {

TEST(LocaleText, CaseMappingKeepsTheLengthAndLeavesSurrogatesAlone) {
  const struct {
    std::u16string text, upper, lower;
  } cases[] = {
      {u"abc\u00E4\u00C4", u"ABC\u00C4\u00C4", u"abc\u00E4\u00E4"},
      {u"stra\u00DFe", u"STRA\u00DFE", u"stra\u00DFe"},  // no longer by "SS"
      {u"\u0130", u"\u0130", u"i"},
      {u"\U00010428\U00010400", u"\U00010428\U00010400", u"\U00010428\U00010400"},  // units, not code points
      {u"", u"", u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AnsiUpperCase(c.text), c.upper) << Utf16ToUtf8(c.text);
    EXPECT_EQ(AnsiLowerCase(c.text), c.lower) << Utf16ToUtf8(c.text);
  }
  EXPECT_EQ(AnsiUpperChar(u'\u00FF'), u'\u0178');
  EXPECT_EQ(AnsiLowerChar(char16_t(0xD801)), char16_t(0xD801));
}

TEST(LocaleText, SortKeysCompareAsTheCaselessCollation) {
  const std::u16string texts[] = {u"Stra\u00DFe", u"STRASSE", u"R\u00E9sum\u00E9", u"resume", u"R\u00C9SUM\u00C9",
                                  u"a-b", u"ab", u"Alpha", u"ALPHA", u"", std::u16string(200, u'x')};
  auto sign = [](int v) { return (v > 0) - (v < 0); };
  for (const auto& a : texts) {
    for (const auto& b : texts) {
      SCOPED_TRACE(Utf16ToUtf8(a) + " / " + Utf16ToUtf8(b));
      EXPECT_EQ(sign(AnsiTextSortKey(a).compare(AnsiTextSortKey(b))), AnsiCompareText(a, b));
    }
  }
}

}  // namespace
}  // namespace revurov::platform
