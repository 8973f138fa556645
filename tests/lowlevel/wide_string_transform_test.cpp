#include "lowlevel/wide_string_transform.h"

#include <gtest/gtest.h>

#include "platform/nls.h"

namespace revurov {
namespace {

TEST(WideStringComparers, ByteComparerComparesLowByteFirst) {
  struct Case {
    std::u16string a, b;
    int expected;
  };
  const Case cases[] = {
      {u"B", u"AB", 1},          {u"B", u"BA", -1},       {u"ab", u"abc", -1}, {u"abc", u"ab", 1},
      {u"\u0100", u"\u00FF", -1}, {u"\u00FF", u"\u0100", 1}, {u"", u"", 0},       {u"", u"a", -1},
      {u"xyz", u"xyz", 0},
  };
  TnxWideStringByteComparer c;
  for (const Case& k : cases) EXPECT_EQ(c.Compare(k.a, k.b), k.expected);
}

TEST(WideStringComparers, LocaleComparer) {
  struct Case {
    uint32_t flags;
    std::u16string a, b;
    int expected;
  };
  const Case cases[] = {
      {0, u"Äpfel", u"Birne", -1},
      {0, u"apfel", u"Apfel", -1},
      {platform::NORM_IGNORECASE, u"apfel", u"APFEL", 0},
      {0, u"", u"a", -1},  // empty against text: by length
      {0, u"a", u"", 1},
      {0, u"", u"", 0},
  };
  for (const Case& k : cases) {
    TnxWideStringCompareStringWComparer c(1031, k.flags);
    EXPECT_EQ(c.Compare(k.a, k.b), k.expected);
  }
  // A failing compare raises instead of answering -2.
  TnxWideStringCompareStringWComparer bad(1031, 0x40000000);
  try {
    bad.Compare(u"a", u"b");
    ADD_FAILURE() << "no exception";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.CustomInfos().Values(u"Action"), u"TnxWideStringCompareStringWComparer.Compare/CompareStringW");
  }
}

std::u16string Apply(const InxWideStringTransformer& t, const std::u16string& s) {
  std::u16string out = u"garbage";
  t.Transform(s, out);
  return out;
}

TEST(WideStringTransformers, FoldPrecomposeAndMapping) {
  EXPECT_EQ(Apply(TnxWideStringNullTransformer(), u"A\u0308"), u"A\u0308");
  EXPECT_EQ(Apply(TnxWideStringPreComposeTransformer(), u"A\u0308bc"), u"Äbc");
  EXPECT_EQ(Apply(TnxWideStringFoldStringTransformer(platform::MAP_COMPOSITE), u"Ä"), u"A\u0308");
  EXPECT_EQ(Apply(TnxWideStringFoldStringTransformer(platform::MAP_FOLDCZONE), u"\uFF21\uFB01"), u"Afi");
  EXPECT_EQ(Apply(TnxWideStringPreComposeTransformer(), u""), u"");
  try {
    Apply(TnxWideStringFoldStringTransformer(0), u"x");
    ADD_FAILURE() << "no exception";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.CustomInfos().Values(u"Action"), u"TnxWideStringFoldStringTransformer.Transform/FoldStringW/1");
  }
  EXPECT_EQ(Apply(TnxWideStringLocaleMappingTransformer(1031, platform::LCMAP_UPPERCASE), u"straße"), u"STRAßE");
  EXPECT_EQ(Apply(TnxWideStringLocaleMappingTransformer(1031, platform::LCMAP_UPPERCASE), u""), u"");
  try {
    TnxWideStringLocaleMappingTransformer t(1031, platform::LCMAP_SORTKEY | platform::LCMAP_UPPERCASE);
    ADD_FAILURE() << "no exception";
  } catch (const EnxWideStringLocaleMappingTransformerException& e) {
    EXPECT_EQ(e.ErrorCode(), 12289u);
    EXPECT_NE(e.Message().find(u"LCMAP_SORTKEY is not supported by TnxWideStringLocaleMappingTransformer"),
              std::u16string::npos);
  }
}

TEST(WideStringTransformers, TruncateKeepsSurrogatePairsWhole) {
  struct Case {
    int32_t max;
    std::u16string in, out;
  };
  const Case cases[] = {
      {3, u"ab\U0001F600", u"ab"},  // the pair would be split: one fewer
      {4, u"ab\U0001F600", u"ab\U0001F600"},
      {3, u"abc", u"abc"},
      {2, u"abcd", u"ab"},
      {1, u"\U0001F600", u""},
      {5, u"ab", u"ab"},
      {0, u"abc", u""},   // nothing kept, nothing read before the start
      {-1, u"abc", u""},
      {0, u"", u""},
      {-5, u"", u""},
  };
  for (const Case& c : cases) EXPECT_EQ(Apply(TnxWideStringTruncateTransformer(c.max), c.in), c.out) << c.max;
}

TEST(WideStringTransformers, HubAppliesInOrder) {
  const TnxWideStringTransformerHub upper_then_cut({std::make_shared<TnxWideStringPreComposeTransformer>(),
                                                    std::make_shared<TnxWideStringLocaleMappingTransformer>(
                                                        1031, platform::LCMAP_UPPERCASE),
                                                    std::make_shared<TnxWideStringTruncateTransformer>(3)});
  // Precomposed first, so the cut keeps three characters rather than two.
  EXPECT_EQ(Apply(upper_then_cut, u"a\u0308bcd"), u"ÄBC");
  const TnxWideStringTransformerHub cut_then_compose({std::make_shared<TnxWideStringTruncateTransformer>(3),
                                                      std::make_shared<TnxWideStringPreComposeTransformer>()});
  EXPECT_EQ(Apply(cut_then_compose, u"a\u0308bcd"), u"äb");
  EXPECT_EQ(Apply(TnxWideStringTransformerHub({}), u"same"), u"same");
}

}  // namespace
}  // namespace revurov
