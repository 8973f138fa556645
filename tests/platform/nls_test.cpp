#include "platform/nls.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "platform/code_page.h"
#include "platform/locale.h"
#include "platform/os_error.h"

namespace revurov::platform {
namespace {

TEST(Nls, LengthFirstThenConvert) {
  const char* src = "Gr\xFC\xDF";
  EXPECT_EQ(MultiByteToWideChar(1252, 0, src, 4, nullptr, 0), 4);
  char16_t buf[8] = {};
  EXPECT_EQ(MultiByteToWideChar(1252, 0, src, 4, buf, 4), 4);
  EXPECT_EQ(std::u16string(buf, 4), u"Grüß");
  // -1: the terminating zero is converted too.
  EXPECT_EQ(MultiByteToWideChar(1252, 0, src, -1, nullptr, 0), 5);
  EXPECT_EQ(WideCharToMultiByte(65001, 0, u"ü", -1, nullptr, 0), 3);
  // A surrogate pair is one character in a single-byte code page.
  EXPECT_EQ(WideCharToMultiByte(1252, 0, u"a\U0001F600", 3, nullptr, 0), 2);
}

// The length query answers single-byte code pages without converting; it
// must give the length the conversion writes, substitutes and surrogates
// included, for every served code page.
TEST(Nls, LengthQueryMatchesTheConversion) {
  std::vector<std::u16string> texts = {
      u"Gr\u00FC\u00DFe 12,50 \u20AC",
      u"\u0100\u0151\u0141\u2019\u201E",  // best-fit candidates
      u"\u4E00\uFFFF\u0000x",             // unmappable, a noncharacter, a zero
      u"a\U0001F600b",                   // a pair
      u"\xD800",                          // a lone lead surrogate
      u"a\xD800",                         // a lead surrogate at the end
      u"\xD800" u"a",                     // a lead surrogate before a non-trail
      u"\xDC00" u"a",                     // a lone trail surrogate
      u"\xDC00\xD800",                    // trail before lead
      u"\xD800\xD800\xDC00",              // a lead before a pair
      u"\U0001F600\U0001F600\xDC00",      // pairs then a lone trail

      u"A\u200B",                        // default-ignorable characters that
      u"\u200B\u180E\uFE00\u00AD\u2060",   // a code page may not hold
      u"A\u200BB\U000E0001\uFEFF",
  };
  // Surrogates at every offset of a longer text, across vector widths.
  for (size_t at = 0; at < 40; ++at) {
    std::u16string t(41, u'x');
    t[at] = u'\xD83D';
    t[at + 1] = u'\xDE00';
    texts.push_back(t);
    t[at + 1] = u'y';
    texts.push_back(t);
  }
  std::string bytes;
  for (int b = 1; b < 256; ++b) bytes.push_back(static_cast<char>(b));
  const std::vector<std::string> byteTexts = {bytes, "\x81", "\x80\x8D\x8F\x90\x9D", std::string(1, '\0')};

  for (const auto& cp : InstalledCodePages()) {
    SCOPED_TRACE(cp.number);
    for (uint32_t flags : {0u, WC_NO_BEST_FIT_CHARS, WC_ERR_INVALID_CHARS}) {
      for (const auto& t : texts) {
        SCOPED_TRACE(testing::Message() << "flags " << flags << ", text of " << t.size());
        const int n = static_cast<int>(t.size());
        const int query = WideCharToMultiByte(cp.number, flags, t.data(), n, nullptr, 0);
        std::string out(static_cast<size_t>(n) * 8 + 16, '\0');
        const int written = WideCharToMultiByte(cp.number, flags, t.data(), n, out.data(), static_cast<int>(out.size()));
        EXPECT_EQ(query, written);
      }
    }
    for (uint32_t flags : {0u, MB_ERR_INVALID_CHARS}) {
      for (const auto& b : byteTexts) {
        SCOPED_TRACE(testing::Message() << "flags " << flags << ", bytes of " << b.size());
        const int n = static_cast<int>(b.size());
        const int query = MultiByteToWideChar(cp.number, flags, b.data(), n, nullptr, 0);
        std::u16string out(static_cast<size_t>(n) * 2 + 16, u'\0');
        const int written = MultiByteToWideChar(cp.number, flags, b.data(), n, out.data(), static_cast<int>(out.size()));
        EXPECT_EQ(query, written);
      }
    }
  }
}

// Invisible characters are no exception: what the code page cannot hold is
// substituted with "?" or makes a strict conversion fail, never dropped.
TEST(Nls, DefaultIgnorableCharactersAreUnmappable) {
  const std::u16string text = u"A\u200BB";
  for (uint32_t flags : {0u, WC_NO_BEST_FIT_CHARS}) {
    char out[8] = {};
    ASSERT_EQ(WideCharToMultiByte(1252, flags, text.data(), 3, nullptr, 0), 3);
    ASSERT_EQ(WideCharToMultiByte(1252, flags, text.data(), 3, out, 8), 3);
    EXPECT_EQ(std::string(out, 3), "A?B");
  }
  SetLastOSError(0);
  EXPECT_EQ(WideCharToMultiByte(1252, WC_ERR_INVALID_CHARS, text.data(), 3, nullptr, 0), 0);
  EXPECT_EQ(GetLastOSError(), static_cast<uint32_t>(EILSEQ));
  EXPECT_EQ(UnicodeToCodePage(text, 1252), std::nullopt);
  EXPECT_EQ(UnicodeToCodePageLossy(text, 1252), "A?B");
  EXPECT_EQ(UnicodeToCodePageLossy(u"\u200B\uFE00", 1252), "??");
  // A code page that holds the character keeps it.
  EXPECT_EQ(UnicodeToCodePage(text, CP_UTF8), "A\xE2\x80\x8B" "B");
}

// ASCII text takes a short way for the code pages whose lower half is
// ASCII; it must give what the converter gives, byte for byte, both ways,
// and leave other text and other code pages to the converter.
TEST(Nls, AsciiTextConvertsAsTheConverterDoes) {
  std::string bytes;
  std::u16string units;
  for (int c = 0; c < 0x80; ++c) {
    bytes += static_cast<char>(c);
    units += static_cast<char16_t>(c);
  }
  for (uint32_t cp : {1250u, 1251u, 1252u, 1253u, 1254u, 1255u, 1256u, 1257u, 1258u, 874u, 28591u, CP_UTF8}) {
    EXPECT_EQ(CodePageToUnicode(bytes, cp), units) << cp;
    EXPECT_EQ(UnicodeToCodePage(units, cp), bytes) << cp;
    EXPECT_EQ(UnicodeToCodePageLossy(units, cp), bytes) << cp;
    // One character past ASCII sends the whole text through the converter.
    const std::u16string wide = CodePageToUnicode(bytes + "\xE9", cp);
    EXPECT_EQ(wide.substr(0, units.size()), units) << cp;
    EXPECT_EQ(UnicodeToCodePageLossy(wide, cp).substr(0, bytes.size()), bytes) << cp;
  }
  // Shift-JIS is not in the list: its converter decides even for ASCII.
  EXPECT_EQ(CodePageToUnicode("abc", 932), u"abc");
}

TEST(Nls, FailuresSetTheLastError) {
  struct Case {
    const char* name;
    std::function<int()> call;
    int error;
  };
  static char16_t wide[2];
  static char bytes[2];
  const Case cases[] = {
      {"unknown code page", [] { return MultiByteToWideChar(12345, 0, "a", 1, nullptr, 0); }, EINVAL},
      {"empty source", [] { return MultiByteToWideChar(1252, 0, "a", 0, nullptr, 0); }, EINVAL},
      {"null source", [] { return WideCharToMultiByte(1252, 0, nullptr, 1, nullptr, 0); }, EINVAL},
      {"unknown flag", [] { return MultiByteToWideChar(1252, 0x4, "a", 1, nullptr, 0); }, EINVAL},
      {"too small", [] { return MultiByteToWideChar(1252, 0, "abc", 3, wide, 2); }, ENOBUFS},
      {"too small out", [] { return WideCharToMultiByte(65001, 0, u"ä", 1, bytes, 1); }, ENOBUFS},
      {"strict invalid UTF-8", [] { return MultiByteToWideChar(65001, MB_ERR_INVALID_CHARS, "\xC3", 1, nullptr, 0); },
       EILSEQ},
      {"strict unmappable", [] { return WideCharToMultiByte(1252, WC_ERR_INVALID_CHARS, u"\u4E00", 1, nullptr, 0); },
       EILSEQ},
      {"fold without flags", [] { return FoldStringW(0, u"a", 1, nullptr, 0); }, EINVAL},
      {"fold both forms", [] { return FoldStringW(MAP_PRECOMPOSED | MAP_COMPOSITE, u"a", 1, nullptr, 0); }, EINVAL},
      {"map upper and lower", [] { return LCMapStringW(1031, LCMAP_UPPERCASE | LCMAP_LOWERCASE, u"a", 1, nullptr, 0); },
       EINVAL},
      {"map unknown locale", [] { return LCMapStringW(0x7777, LCMAP_UPPERCASE, u"a", 1, nullptr, 0); }, EINVAL},
      {"map too small", [] { return LCMapStringW(1031, LCMAP_UPPERCASE, u"ab", 2, wide, 1); }, ENOBUFS},
      {"compare unknown flag", [] { return CompareStringW(1031, 0x40000000, u"a", 1, u"b", 1); }, EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastOSError(0);
    EXPECT_EQ(c.call(), 0);
    EXPECT_EQ(GetLastOSError(), static_cast<uint32_t>(c.error));
  }
}

TEST(Nls, CodePagesZeroToThree) {
  EXPECT_EQ(ResolveCodePage(CP_ACP), SystemAnsiCodePage());
  EXPECT_EQ(ResolveCodePage(CP_OEMCP), 850u);
  EXPECT_EQ(ResolveCodePage(CP_MACCP), 10000u);
  EXPECT_EQ(ResolveCodePage(1250), 1250u);
  char16_t c;
  ASSERT_EQ(MultiByteToWideChar(CP_OEMCP, 0, "\x8E", 1, &c, 1), 1);
  EXPECT_EQ(c, u'Ä');
}

std::u16string Fold(uint32_t flags, std::u16string_view s) {
  const int n = FoldStringW(flags, s.data(), static_cast<int>(s.size()), nullptr, 0);
  EXPECT_GT(n, 0);
  std::u16string out(static_cast<size_t>(n), u'\0');
  EXPECT_EQ(FoldStringW(flags, s.data(), static_cast<int>(s.size()), out.data(), n), n);
  return out;
}

TEST(Nls, FoldFlagsMapToNormalisationForms) {
  struct Case {
    uint32_t flags;
    std::u16string in, out;
  };
  const Case cases[] = {
      {MAP_PRECOMPOSED, u"A\u0308", u"Ä"},
      {MAP_COMPOSITE, u"Ä", u"A\u0308"},
      {MAP_FOLDCZONE, u"\uFB01x\uFF21", u"fixA"},
      {MAP_FOLDCZONE | MAP_COMPOSITE, u"\uFF21Ä", u"AA\u0308"},
      {MAP_FOLDDIGITS, u"\u0661\u0662x", u"12x"},
      {MAP_EXPAND_LIGATURES, u"\uFB00", u"ff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    EXPECT_EQ(Fold(c.flags, c.in), c.out);
  }
}

int Compare(uint32_t flags, std::u16string_view a, std::u16string_view b) {
  return CompareStringW(1031, flags, a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()));
}

TEST(Nls, CompareFlags) {
  struct Case {
    uint32_t flags;
    std::u16string a, b;
    int result;
  };
  const Case cases[] = {
      {0, u"a", u"b", CSTR_LESS_THAN},
      {0, u"a", u"A", CSTR_LESS_THAN},
      {0, u"Äpfel", u"Apfel", CSTR_GREATER_THAN},
      {0, u"Äpfel", u"Birne", CSTR_LESS_THAN},
      {NORM_IGNORECASE, u"abc", u"ABC", CSTR_EQUAL},
      {NORM_IGNORECASE, u"äbc", u"ABC", CSTR_GREATER_THAN},
      {NORM_IGNORENONSPACE, u"äbc", u"abc", CSTR_EQUAL},
      {NORM_IGNORENONSPACE, u"äbc", u"Abc", CSTR_LESS_THAN},
      {NORM_IGNORENONSPACE | NORM_IGNORECASE, u"äbc", u"ABC", CSTR_EQUAL},
      {NORM_IGNORESYMBOLS, u"a-b", u"ab", CSTR_EQUAL},
      {0, u"", u"", CSTR_EQUAL},
      {0, u"", u"a", CSTR_LESS_THAN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.flags << " " << c.a.size());
    EXPECT_EQ(Compare(c.flags, c.a, c.b), c.result);
  }
  EXPECT_EQ(CompareStringW(1031, 0, u"abc", -1, u"abc", 3), CSTR_EQUAL);
}

TEST(Nls, SortKeyOrdersAsCompare) {
  auto key = [](std::u16string_view s) {
    const int n = LCMapStringW(1031, LCMAP_SORTKEY, s.data(), static_cast<int>(s.size()), nullptr, 0);
    EXPECT_GT(n, 0);
    std::string k(static_cast<size_t>(n), '\0');
    EXPECT_EQ(LCMapStringW(1031, LCMAP_SORTKEY, s.data(), static_cast<int>(s.size()),
                           reinterpret_cast<char16_t*>(k.data()), n),
              n);
    EXPECT_EQ(k.back(), '\0');
    return k;
  };
  EXPECT_LT(key(u"Apfel"), key(u"Äpfel"));
  EXPECT_LT(key(u"Äpfel"), key(u"Birne"));
}

TEST(Nls, MapWidthKanaSymbolsAndMarks) {
  auto map = [](uint32_t flags, std::u16string_view s) {
    const int n = LCMapStringW(1041, flags, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n), u'\0');
    EXPECT_EQ(LCMapStringW(1041, flags, s.data(), static_cast<int>(s.size()), out.data(), n), n);
    return out;
  };
  EXPECT_EQ(map(LCMAP_HALFWIDTH, u"\uFF21\uFF22"), u"AB");
  EXPECT_EQ(map(LCMAP_FULLWIDTH, u"AB"), u"\uFF21\uFF22");
  EXPECT_EQ(map(LCMAP_KATAKANA, u"\u3042"), u"\u30A2");
  EXPECT_EQ(map(LCMAP_HIRAGANA, u"\u30A2"), u"\u3042");
  EXPECT_EQ(map(NORM_IGNORENONSPACE, u"äé"), u"ae");
  EXPECT_EQ(map(NORM_IGNORESYMBOLS, u"a-b c!"), u"abc");
  EXPECT_EQ(map(LCMAP_BYTEREV, u"\u0102"), u"\u0201");
}

}  // namespace
}  // namespace revurov::platform
