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

// The folded key may stand in for the sort key only where it decides
// equality exactly as the caseless collation does.
TEST(LocaleText, AsciiKeysAreEqualExactlyWhereTheCaselessCollationIs) {
  struct Case {
    std::u16string a, b;
    bool keyed;  // both texts have a folded key
  };
  const Case cases[] = {
      {u"Alias_0001", u"ALIAS_0001", true},
      {u"Alpha", u"alpha", true},
      {u"Zeta", u"zeta ", true},
      {u"a-b", u"ab", true},  // punctuation weighs, not shifted away
      {u"a b", u"ab", true},
      {u"a.b", u"a,b", true},
      {u"[x]", u"{x}", true},
      {u"@", u"`", true},
      {u"01", u"1", true},  // no numeric ordering
      {u"Table9", u"table9", true},
      {u"~!#$%&()+", u"~!#$%&()+", true},
      {u"", u"", true},
      // Beyond printable ASCII the sort key decides: these merge or part
      // by the collation, and must not get a folded key.
      {u"Stra\u00DFe", u"STRASSE", false},
      {u"R\u00E9sum\u00E9", u"resume", false},
      {u"A\u0001", u"A", false},  // an ignorable control character
      {u"a\tb", u"a b", false},
      {u"a\u007F", u"a", false},
      {u"\uFF21", u"a", false},  // full-width A
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.a) + " / " + Utf16ToUtf8(c.b));
    std::string ka = "untouched", kb = "untouched";
    const bool keyedA = AnsiTextAsciiKey(c.a, ka), keyedB = AnsiTextAsciiKey(c.b, kb);
    if (!c.keyed) {
      EXPECT_FALSE(keyedA && keyedB);
      if (!keyedA) {
        EXPECT_EQ(ka, "untouched");
      }
      if (!keyedB) {
        EXPECT_EQ(kb, "untouched");
      }
      continue;
    }
    ASSERT_TRUE(keyedA && keyedB);
    EXPECT_EQ(ka == kb, AnsiSameText(c.a, c.b));
  }

  // Every pair of printable characters, alone and inside a text.
  for (char16_t x = 0x20; x <= 0x7E; ++x) {
    for (char16_t y = 0x20; y <= 0x7E; ++y) {
      // Built by append: GCC 12 at -O3 misjudges the size of u"n" + string.
      std::u16string inA(u"n"), inB(u"N");
      inA.append(1, x).append(u"9");
      inB.append(1, y).append(u"9");
      for (const auto& [a, b] : {std::pair{std::u16string(1, x), std::u16string(1, y)}, std::pair{inA, inB}}) {
        std::string ka, kb;
        ASSERT_TRUE(AnsiTextAsciiKey(a, ka) && AnsiTextAsciiKey(b, kb));
        ASSERT_EQ(ka == kb, AnsiSameText(a, b)) << int(x) << " " << int(y);
      }
    }
  }
}

TEST(LocaleText, AsciiKeysStandBackWhereTheLocaleWeighsAsciiOtherwise) {
  const std::string saved = UserLocale();
  const struct {
    const char* locale;
    bool keyed;
  } cases[] = {
      {"tr_TR", false},  // "I" is not the capital of "i"
      {"cs_CZ", false},  // "ch" is one letter
      {"da_DK", false},  // "aa" is one letter
      {"en_US", true},
      {"de_DE", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    SetUserLocale(c.locale);
    std::string key;
    EXPECT_EQ(AnsiTextAsciiKey(u"Chain", key), c.keyed);
  }
  SetUserLocale(saved);
}

}  // namespace
}  // namespace revurov::platform
