#include "lowlevel/wide_strings/wide_string_transform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/nls.h"
#include "support/wide_string_refs.h"

namespace revurov {
namespace {

using testing::Comparer;
using testing::Transformer;

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
  const InxWideStringComparerRef c = Comparer<TnxWideStringByteComparer>();
  for (const Case& k : cases) EXPECT_EQ(c->Compare(k.a, k.b), k.expected);
  // Found by its interface id, as the fulltext descriptors look it up.
  EXPECT_TRUE(platform::Supports<InxWideStringComparer>(c));
  EXPECT_FALSE(platform::Supports<InxWideStringTransformer>(c));
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
    EXPECT_EQ(Comparer<TnxWideStringCompareStringWComparer>(1031u, k.flags)->Compare(k.a, k.b), k.expected);
  }
  // A failing compare raises instead of answering -2.
  const InxWideStringComparerRef bad = Comparer<TnxWideStringCompareStringWComparer>(1031u, 0x40000000u);
  try {
    bad->Compare(u"a", u"b");
    ADD_FAILURE() << "no exception";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.CustomInfos().Values(u"Action"), u"TnxWideStringCompareStringWComparer.Compare/CompareStringW");
  }
}

std::u16string Apply(const InxWideStringTransformerRef& t, const std::u16string& s) {
  std::u16string out = u"garbage";
  t->Transform(s, out);
  return out;
}

TEST(WideStringTransformers, FoldPrecomposeAndMapping) {
  EXPECT_EQ(Apply(Transformer<TnxWideStringNullTransformer>(), u"A\u0308"), u"A\u0308");
  EXPECT_EQ(Apply(Transformer<TnxWideStringPreComposeTransformer>(), u"A\u0308bc"), u"Äbc");
  EXPECT_EQ(Apply(Transformer<TnxWideStringFoldStringTransformer>(platform::MAP_COMPOSITE), u"Ä"), u"A\u0308");
  EXPECT_EQ(Apply(Transformer<TnxWideStringFoldStringTransformer>(platform::MAP_FOLDCZONE), u"\uFF21\uFB01"),
            u"Afi");
  EXPECT_EQ(Apply(Transformer<TnxWideStringPreComposeTransformer>(), u""), u"");
  try {
    Apply(Transformer<TnxWideStringFoldStringTransformer>(0), u"x");
    ADD_FAILURE() << "no exception";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.CustomInfos().Values(u"Action"), u"TnxWideStringFoldStringTransformer.Transform/FoldStringW/1");
  }
  const auto upper = Transformer<TnxWideStringLocaleMappingTransformer>(1031u, platform::LCMAP_UPPERCASE);
  EXPECT_EQ(Apply(upper, u"straße"), u"STRAßE");
  EXPECT_EQ(Apply(upper, u""), u"");
  try {
    Transformer<TnxWideStringLocaleMappingTransformer>(1031u, platform::LCMAP_SORTKEY | platform::LCMAP_UPPERCASE);
    ADD_FAILURE() << "no exception";
  } catch (const EnxWideStringLocaleMappingTransformerException& e) {
    EXPECT_EQ(e.ErrorCode(), 12289u);
    EXPECT_NE(e.Message().find(u"LCMAP_SORTKEY is not supported by TnxWideStringLocaleMappingTransformer"),
              std::u16string::npos);
  }
}

// Every BMP character but the surrogates, in order: pages of 256 side by
// side, so each page edge lies inside the text.
std::u16string EveryBmpCharacter() {
  std::u16string text;
  for (uint32_t c = 0; c <= 0xFFFF; ++c)
    if (c < 0xD800 || c > 0xDFFF) text += static_cast<char16_t>(c);
  return text;
}

std::u16string PlatformMapped(uint32_t aLocale, uint32_t aFlags, const std::u16string& aText) {
  std::u16string out;
  nxWideLCMapStringW(aText, aLocale, aFlags, out);
  return out;
}

TEST(WideStringTransformers, LocaleMappingAnswersAsThePlatformForEveryCharacter) {
  constexpr uint32_t lower = platform::LCMAP_LOWERCASE, upper = platform::LCMAP_UPPERCASE,
                     linguistic = platform::LCMAP_LINGUISTIC_CASING;
  struct Case {
    uint32_t locale, flags;
  };
  const Case cases[] = {{1031, lower},
                        {1031, upper},
                        {1055, lower | linguistic},
                        {1055, upper | linguistic},
                        {1055, upper},
                        {0, lower},
                        {platform::LOCALE_USER_DEFAULT, upper},
                        // Not a plain case mapping: the platform maps every text.
                        {1031, lower | platform::NORM_IGNORENONSPACE},
                        {1031, upper | platform::LCMAP_BYTEREV}};
  const std::u16string every = EveryBmpCharacter();
  // Pairs are one code point each (Deseret capitals and small letters),
  // lone halves stand for themselves.
  const std::u16string texts[] = {every,
                                  u"Stra\u00DFe \u0130I\u0131i",
                                  u"A\U00010400b\U00010428C",
                                  u"\U00010400",
                                  u"x\xD801y\xDC00Z",
                                  u"AB\xD801",
                                  u"\xDC00" u"ab",
                                  every.substr(0x00F0, 0x20) + u"\U0001F600" + every.substr(0x1F0, 0x20)};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.locale << " " << std::hex << c.flags);
    const auto t = Transformer<TnxWideStringLocaleMappingTransformer>(c.locale, c.flags);
    for (const std::u16string& text : texts) EXPECT_EQ(Apply(t, text), PlatformMapped(c.locale, c.flags, text));
    // Once the pages are known, a second pass answers the same, and a
    // result string longer than the text is cut to the text's length.
    std::u16string out(every.size() + 10, u'x');
    t->Transform(u"\u00C4b", out);
    EXPECT_EQ(out, PlatformMapped(c.locale, c.flags, u"\u00C4b"));
    out.clear();
    t->Transform(every, out);
    EXPECT_TRUE(out == PlatformMapped(c.locale, c.flags, every));
  }
}

TEST(WideStringTransformers, LocaleMappingOfAnUnknownLocaleRaises) {
  const auto t = Transformer<TnxWideStringLocaleMappingTransformer>(0x7FFFu, platform::LCMAP_LOWERCASE);
  for (int pass = 0; pass < 2; ++pass) {
    try {
      Apply(t, u"Ab");
      ADD_FAILURE() << "no exception";
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.CustomInfos().Values(u"Action"), u"nxWideLCMapStringW");
    }
  }
}

TEST(WideStringTransformers, OneLocaleMappingServesSeveralThreads) {
  const auto t = Transformer<TnxWideStringLocaleMappingTransformer>(1031u, platform::LCMAP_UPPERCASE);
  const std::u16string every = EveryBmpCharacter();
  const std::u16string want = PlatformMapped(1031, platform::LCMAP_UPPERCASE, every);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      // Each thread starts on other pages, so the first answers race.
      for (size_t at = size_t(i) * 0x3000; at < every.size() + size_t(i) * 0x3000; at += 0x100) {
        const size_t from = at % every.size();
        std::u16string out;
        t->Transform(every.substr(from, 0x100), out);
        if (out != want.substr(from, 0x100)) ++wrong;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
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
  for (const Case& c : cases)
    EXPECT_EQ(Apply(Transformer<TnxWideStringTruncateTransformer>(c.max), c.in), c.out) << c.max;
}

TEST(WideStringTransformers, HubAppliesInOrder) {
  using Chain = std::vector<InxWideStringTransformerRef>;
  const auto upper_then_cut = Transformer<TnxWideStringTransformerHub>(
      Chain{Transformer<TnxWideStringPreComposeTransformer>(),
            Transformer<TnxWideStringLocaleMappingTransformer>(1031u, platform::LCMAP_UPPERCASE),
            Transformer<TnxWideStringTruncateTransformer>(3)});
  // Precomposed first, so the cut keeps three characters rather than two.
  EXPECT_EQ(Apply(upper_then_cut, u"a\u0308bcd"), u"ÄBC");
  const auto cut_then_compose = Transformer<TnxWideStringTransformerHub>(
      Chain{Transformer<TnxWideStringTruncateTransformer>(3), Transformer<TnxWideStringPreComposeTransformer>()});
  EXPECT_EQ(Apply(cut_then_compose, u"a\u0308bcd"), u"äb");
  EXPECT_EQ(Apply(Transformer<TnxWideStringTransformerHub>(Chain{}), u"same"), u"same");
  // A null entry is passed over.
  EXPECT_EQ(Apply(Transformer<TnxWideStringTransformerHub>(Chain{nullptr}), u"same"), u"same");
}

}  // namespace
}  // namespace revurov
