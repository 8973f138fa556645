#include "lowlevel/strings/utils_text.h"

#include <gtest/gtest.h>

#include "platform/cmdline.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"
#include "support/u8_text.h"

namespace revurov {
namespace {

using testing::U8;

TEST(TrimTrailingBlankLines, Table) {
  struct Case {
    std::u16string in;
    std::u16string out;
  };
  const Case cases[] = {
      {u"a\r\nb\r\n  ", u"a\r\nb\r\n\r\n"},
      {u"x  \r\n", u"x"},
      {u"", u""},
      {u"\r\n \r\n\t", u""},
      {u"a\rb\nc", u"a\r\nb\r\nc\r\n\r\n"},
      {u"  lead  ", u"  lead"},
      {u"a\r\n\r\nb", u"a\r\n\r\nb\r\n\r\n"},  // inner blank lines stay
  };
  for (const Case& c : cases) EXPECT_EQ(U8(nxTrimTrailingBlankLines(c.in)), U8(c.out)) << U8(c.in);
}

TEST(HashElf, KnownValuesAndEmpty) {
  EXPECT_EQ(nxHashElfString(u""), 0u);
  EXPECT_EQ(nxHashElf("", 0), 0u);
  // h = ((0x61 << 4) + 0x62) = 0x672
  EXPECT_EQ(nxHashElf("ab", 2), 0x672u);
  // The top nibble is folded back in and cleared: never set in a result.
  std::string longText(1000, '\xFF');
  EXPECT_EQ(nxHashElf(longText.data(), longText.size()) & 0xF0000000u, 0u);
  // The string form hashes the UTF-16 bytes, low byte first.
  const uint8_t bytes[] = {'a', 0, 'b', 0};
  EXPECT_EQ(nxHashElfString(u"ab"), nxHashElf(bytes, 4));
}

TEST(SplitAtDelimiter, Table) {
  struct Case {
    std::u16string s;
    std::string delims;
    std::u16string left, right;
  };
  const Case cases[] = {
      {u"a=b=c", "=", u"a", u"b=c"},
      {u"abc", "=", u"abc", u""},
      {u"T:x.y", ":.", u"T", u"x.y"},
      {u"\u013D=x", "=", u"\u013D", u"x"},  // a unit above 255 whose low byte is no delimiter
      {u"a\u013Db", "=\x3D", u"a\u013Db", u""},
  };
  for (const Case& c : cases) {
    std::u16string l = u"?", r = u"?";
    nxSplitAtDelimiter(c.s, c.delims, l, r);
    EXPECT_EQ(U8(l), U8(c.left));
    EXPECT_EQ(U8(r), U8(c.right));
  }
}

TEST(StrPosW, NilEmptyAndLonger) {
  const char16_t* s = u"hello";
  EXPECT_EQ(nxStrPosW(s, u"ll"), s + 2);
  EXPECT_EQ(nxStrPosW(s, u""), nullptr);
  EXPECT_EQ(nxStrPosW(nullptr, u"a"), nullptr);
  EXPECT_EQ(nxStrPosW(s, nullptr), nullptr);
  EXPECT_EQ(nxStrPosW(s, u"hello!"), nullptr);
  EXPECT_EQ(nxCmpContains(u"hello", u"ell"), 0);
  EXPECT_EQ(nxCmpContains(u"hello", u"x"), -1);
}

TEST(WideBuffers, CopyLowerSwapWiden) {
  char16_t buf[4] = {u'x', u'x', u'x', u'x'};
  nxStrToWideBuf(u"abcdef", buf, 3);
  EXPECT_EQ(U8(buf), "abc");
  nxStrToWideBuf(u"abc", nullptr, 3);  // nothing
  char16_t text[] = u"ABC\u00C4\u0130z";
  nxCharLower(text);
  EXPECT_EQ(U8(text), U8(u"abc\u00E4iz"));
  nxCharLower(nullptr);
  uint16_t words[] = {0x1234, 0xABCD};
  nxSwapWords(words, 2);
  EXPECT_EQ(words[0], 0x3412);
  EXPECT_EQ(words[1], 0xCDAB);
  const uint8_t src[] = {0x41, 0xE4};
  char16_t dst[2];
  nxBytesToWideChars(src, dst, 2);
  EXPECT_EQ(dst[1], u'\u00E4');
}

TEST(TableNames, Table) {
  EXPECT_TRUE(nxIsValidTableName(u"Customers 2"));
  EXPECT_FALSE(nxIsValidTableName(u""));
  for (char16_t c : std::u16string_view(u"\"*./:<>?\\|"))
    EXPECT_FALSE(nxIsValidTableName(std::u16string(u"a") + c)) << static_cast<int>(c);
}

TEST(CmdLineSwitch, DashOrSlashIgnoringCase) {
  platform::SetCommandLineParams({u"file.dat", u"-disable30900localefixes", u"/Verbose"});
  EXPECT_TRUE(nxFindCmdLineSwitch(u"Disable30900LocaleFixes"));
  EXPECT_TRUE(nxFindCmdLineSwitch(u"verbose"));
  EXPECT_FALSE(nxFindCmdLineSwitch(u"file.dat"));
  EXPECT_FALSE(nxFindCmdLineSwitch(u"Verb"));
  platform::SetCommandLineParams({});
}

TEST(UnicodeStrings, BuildAppendExtract) {
  TnxUnicodeStrings a;
  nxStringToUnicodeStrings(u"", a);
  EXPECT_TRUE(a.empty());
  nxStringToUnicodeStrings(u"x", a);
  nxAppendUnicodeString(a, u"y");
  nxAppendUnicodeString(a, u"z");
  std::u16string s;
  nxExtractUnicodeString(a, 0, s);
  EXPECT_EQ(U8(s), "x");
  EXPECT_EQ(a, (TnxUnicodeStrings{u"y", u"z"}));
  EXPECT_THROW(nxExtractUnicodeString(a, 2, s), platform::EListError);
  EXPECT_THROW(nxExtractUnicodeString(a, -1, s), platform::EListError);
}

TEST(UnicodeStrings, ToAndFromStringLists) {
  platform::TStringList l;
  l.AddObject(u"old", &l);
  int changes = 0;
  l.OnChange = [&](platform::TStringList&) { ++changes; };
  nxUnicodeStringsToStrings({u"x", u"", u"x"}, l);
  EXPECT_EQ(changes, 1);  // one update bracket
  ASSERT_EQ(l.Count(), 3);
  EXPECT_EQ(l.Objects(0), nullptr);

  TnxUnicodeStrings a{u"stale"};
  nxStringsToStringArray(&l, a);
  EXPECT_EQ(a, (TnxUnicodeStrings{u"x", u"", u"x"}));
  nxStringsToStringArray(nullptr, a);
  EXPECT_TRUE(a.empty());
  a = {u"stale"};
  platform::TStringList empty;
  nxStringsToStringArray(&empty, a);
  EXPECT_TRUE(a.empty());
  nxUnicodeStringsToStrings({}, l);
  EXPECT_EQ(l.Count(), 0);
}

TEST(VarArrayLength, FirstDimension) {
  using platform::TnxVariant;
  struct Case {
    std::vector<std::pair<int32_t, int32_t>> bounds;
    int32_t length;
  } cases[] = {
      {{{0, 9}}, 10},
      {{{1, 1}}, 1},
      {{{5, 4}}, 0},
      {{{-3, 3}, {0, 99}}, 7},
      {{{INT32_MAX, INT32_MAX}}, 1},
      {{{INT32_MIN, INT32_MIN}}, 1},
  };
  for (const auto& c : cases) {
    const TnxVariant v = TnxVariant::VarArrayCreate(c.bounds, platform::varByte);
    EXPECT_EQ(nxVarArrayLength(v), c.length);
    EXPECT_EQ(v.VarType(), platform::varArray | platform::varByte);
  }
  EXPECT_THROW(nxVarArrayLength(TnxVariant::FromInteger(3)), platform::EVariantInvalidArgError);
  EXPECT_THROW(nxVarArrayLength(TnxVariant()), platform::EVariantInvalidArgError);
}

TEST(VarArrayLength, ArraysRefuseBadBoundsAndIndexes) {
  using platform::TnxVariant;
  using Bounds = std::vector<std::pair<int32_t, int32_t>>;
  const Bounds bad[] = {{}, {{5, 3}}, {{0, 1 << 24}}, {{INT32_MIN, INT32_MAX}}, {{0, 4095}, {0, 4096}}};
  for (const auto& b : bad)
    EXPECT_THROW(TnxVariant::VarArrayCreate(b, platform::varInteger), platform::EVariantArrayCreateError);

  TnxVariant v = TnxVariant::VarArrayCreate({{1, 2}, {-1, 0}}, platform::varInteger);
  EXPECT_EQ(v.VarArrayDimCount(), 2);
  EXPECT_EQ(v.VarArrayLowBound(2), -1);
  EXPECT_EQ(v.VarArrayHighBound(2), 0);
  EXPECT_THROW(v.VarArrayLowBound(3), platform::EVariantInvalidArgError);
  EXPECT_THROW(v.VarArrayHighBound(0), platform::EVariantInvalidArgError);
  EXPECT_TRUE(v.GetElement({1, -1}).IsEmpty());
  v.PutElement({2, 0}, TnxVariant::FromInteger(7));
  EXPECT_EQ(v.GetElement({2, 0}).AsInt64(), 7);
  EXPECT_TRUE(v.GetElement({1, 0}).IsEmpty());
  EXPECT_THROW(v.GetElement({3, 0}), platform::EVariantInvalidArgError);
  EXPECT_THROW(v.GetElement({1}), platform::EVariantInvalidArgError);
  EXPECT_THROW(v.PutElement({1, 1}, TnxVariant()), platform::EVariantInvalidArgError);
  EXPECT_THROW((void)v.AsString(), platform::EVariantTypeCastError);
  const TnxVariant copy = v;
  EXPECT_TRUE(copy == v);
  v.PutElement({1, 0}, TnxVariant::FromInteger(1));
  EXPECT_FALSE(copy == v);
}

TEST(StartsWith, CaseSensitiveAndEmptyPrefix) {
  EXPECT_TRUE(nxStartsWith(u"abc", u""));
  EXPECT_TRUE(nxStartsWith(u"abc", u"ab"));
  EXPECT_FALSE(nxStartsWith(u"abc", u"AB"));
  EXPECT_FALSE(nxStartsWith(u"ab", u"abc"));
}

}  // namespace
}  // namespace revurov
