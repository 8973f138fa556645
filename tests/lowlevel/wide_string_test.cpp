#include "lowlevel/wide_strings/wide_string.h"

#include <gtest/gtest.h>

#include <unicode/uchar.h>
#include <unicode/ucnv.h>

#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/strings/utils_locale.h"
#include "platform/code_page.h"
#include "platform/locale.h"
#include "platform/nls.h"

namespace revurov {
namespace {

std::string Hex(std::string_view bytes) {
  std::string s;
  char buf[4];
  for (unsigned char b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", b);
    s += buf;
  }
  return s;
}

TEST(WideStringConversion, UmlautInWesternCodePages) {
  struct Case {
    uint16_t code_page;
    std::string bytes;
  };
  const Case cases[] = {{1252, "\xC4"}, {850, "\x8E"}, {437, "\x8E"}, {65001, "\xC3\x84"}, {28591, "\xC4"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code_page);
    EXPECT_EQ(Hex(nxWideStringToString(u"\u00C4", c.code_page)), Hex(c.bytes));
    EXPECT_EQ(nxStringToWideString(c.bytes, c.code_page), u"\u00C4");
    const TnxByteArray bytes = nxWideStringToBytes(u"\u00C4", c.code_page);
    EXPECT_EQ(Hex(std::string(bytes.begin(), bytes.end())), Hex(c.bytes));
  }
}

TEST(WideStringConversion, EmptyInputNeedsNoCodePage) {
  // 12345 is no code page: an empty text must not reach the platform.
  EXPECT_TRUE(nxStringToWideString("", 12345).empty());
  EXPECT_TRUE(nxWideStringToString(u"", 12345).empty());
  EXPECT_TRUE(nxWideStringToBytes(u"", 12345).empty());
  EXPECT_TRUE(nxBytesToWideString("x", 0, 12345).empty());
  EXPECT_TRUE(nxWideStringBufferToBytes(u"x", 0, 12345).empty());
  EXPECT_TRUE(nxBytesToWideString(nullptr, 5, 1252).empty());
}

TEST(WideStringConversion, CodePageZeroIsTheDefaultCodePage) {
  const std::string bytes = "Gr\xFC\xDF""e \x80";
  EXPECT_EQ(nxStringToWideString(bytes, 0), nxStringToWideString(bytes, 3));
  EXPECT_EQ(nxStringToWideString(bytes, 0), u"Grüße €");
  EXPECT_EQ(nxWideStringToString(u"Grüße €", 0), bytes);
}

// An invisible character the code page lacks is substituted like any
// other: dropping it left a zero byte at the end of the exact-length buffer,
// and a text of nothing else failed with an OS error.
TEST(WideStringConversion, InvisibleUnmappableCharactersBecomeTheDefaultCharacter) {
  EXPECT_EQ(Hex(nxWideStringToString(u"A\u200BB", 1252)), Hex("A?B"));
  EXPECT_EQ(Hex(nxWideStringToString(u"\u200B", 1252)), Hex("?"));
  const TnxByteArray bytes = nxWideStringToBytes(u"\uFE00x\u180E", 1252);
  EXPECT_EQ(Hex(std::string(bytes.begin(), bytes.end())), Hex("?x?"));
}

TEST(WideStringConversion, FailuresRaiseTheOSErrorWithTheirContext) {
  struct Case {
    const char* name;
    std::function<void()> call;
    std::u16string context;
  };
  const Case cases[] = {
      {"to wide", [] { nxStringToWideString("a", 12345); }, u"nxStringToWideString/MultiByteToWideChar/1"},
      {"to string", [] { nxWideStringToString(u"a", 12345); }, u"nxWideStringToString/WideCharToMultiByte/1"},
      {"to bytes", [] { nxWideStringToBytes(u"a", 12345); }, u"nxWideStringToString/WideCharToMultiByte/1"},
      {"bytes to wide", [] { nxBytesToWideString("a", 1, 12345); }, u"nxBytesToWideString/MultiByteToWideChar/1"},
      {"buffer to bytes", [] { nxWideStringBufferToBytes(u"a", 1, 12345); },
       u"nxWideStringBufferToBytes/WideCharToMultiByte/1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.call();
      ADD_FAILURE() << "no exception";
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), 11047u);
      EXPECT_EQ(e.OSError(), static_cast<uint32_t>(EINVAL));
      EXPECT_EQ(e.CustomInfos().Values(u"Action"), c.context);
      EXPECT_NE(e.Message().find(c.context), std::u16string::npos) << e.what();
    }
  }
}

TEST(WideStringConversion, InvalidBytesConvertAsThePlatformDoes) {
  // A lone lead byte in UTF-8 and in Shift-JIS: substituted, not failed.
  EXPECT_EQ(nxStringToWideString("a\xC3", 65001), u"a\uFFFD");
  EXPECT_EQ(nxStringToWideString("a\xFF" "b", 65001), u"a\uFFFD" "b");
  const std::u16string sjis = nxStringToWideString("\x82", 932);
  EXPECT_EQ(sjis.size(), 1u);
  // A character the code page cannot hold becomes the default character.
  EXPECT_EQ(nxWideStringToString(u"a\u4E00b", 1252), "a?b");
  EXPECT_EQ(nxWideStringToString(u"\U0001F600", 1252), "?");
  EXPECT_EQ(nxWideStringToString(u"x\xD800y", 1252), "x?y");
  EXPECT_EQ(nxWideStringToString(u"\U0001F600", 65001), "\xF0\x9F\x98\x80");
}

TEST(WideStringConversion, BufferForms) {
  const char bytes[] = {'a', '\0', '\xE4'};
  EXPECT_EQ(nxBytesToWideString(bytes, 3, 1252), std::u16string(u"a\0\u00E4", 3));
  const char16_t text[] = u"\u20ACx";
  const TnxByteArray out = nxWideStringBufferToBytes(text, 2, 1252);
  EXPECT_EQ(out, (TnxByteArray{0x80, 'x'}));
  EXPECT_TRUE(nxWideStringBufferToBytes(text, -1, 1252).empty());
}

TEST(WideStringConversion, MultiByteCodePages) {
  struct Case {
    uint16_t code_page;
    std::u16string text;
  };
  const Case cases[] = {{932, u"日本語テキスト"}, {936, u"中文文本"}, {949, u"한국어"}, {950, u"繁體中文"},
                        {65001, u"Ünïcødé \U0001F600"}, {1251, u"Привет"}, {1253, u"Ελληνικά"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code_page);
    const std::string bytes = nxWideStringToString(c.text, c.code_page);
    EXPECT_EQ(nxStringToWideString(bytes, c.code_page), c.text);
  }
}

bool Printable(UChar32 c) {
  return u_isprint(c) && u_charType(c) != U_PRIVATE_USE_CHAR && c != 0xFFFD && c != 0x1A;
}

// Single-byte code pages: every byte that maps to a printable character
// converts back to itself (or, where two bytes share a character, to a byte
// of the same character).
void RoundTripBytes(uint16_t cp) {
  int exact = 0;
  for (int b = 0; b < 0x100; ++b) {
    const std::string byte(1, static_cast<char>(b));
    const std::u16string wide = nxStringToWideString(byte, cp);
    ASSERT_EQ(wide.size(), 1u) << b;
    if (!Printable(wide[0])) continue;
    const std::string back = nxWideStringToString(wide, cp);
    if (back == byte) {
      ++exact;
    } else {
      EXPECT_EQ(nxStringToWideString(back, cp), wide) << "byte " << b;
    }
  }
  EXPECT_GE(exact, 90);
}

// Other code pages: every printable character of the first plane that the
// code page holds exactly converts there and back.
void RoundTripCharacters(uint16_t cp) {
  int held = 0;
  for (char32_t c = 0x20; c < 0x10000; ++c) {
    if (!Printable(static_cast<UChar32>(c))) continue;
    const char16_t unit = static_cast<char16_t>(c);
    char bytes[16];
    const int n = platform::WideCharToMultiByte(cp, platform::WC_ERR_INVALID_CHARS | platform::WC_NO_BEST_FIT_CHARS,
                                                &unit, 1, bytes, sizeof bytes);
    if (n == 0) continue;
    ++held;
    const std::string encoded = nxWideStringToString(std::u16string(1, unit), cp);
    EXPECT_EQ(Hex(encoded), Hex(std::string(bytes, static_cast<size_t>(n)))) << "U+" << std::hex << static_cast<uint32_t>(c);
    EXPECT_EQ(nxStringToWideString(encoded, cp), std::u16string(1, unit)) << "U+" << std::hex << static_cast<uint32_t>(c);
  }
  EXPECT_GE(held, 94);
}

TEST(WideStringConversion, RoundTripOverThePrintableRangeOfEveryCodePage) {
  ASSERT_FALSE(platform::InstalledCodePages().empty());
  for (const auto& page : platform::InstalledCodePages()) {
    SCOPED_TRACE(page.number);
    UConverter* conv = platform::OpenCodePageConverter(page.number);
    ASSERT_NE(conv, nullptr);
    const bool single_byte = ucnv_getMaxCharSize(conv) == 1;
    ucnv_close(conv);
    if (single_byte) {
      RoundTripBytes(static_cast<uint16_t>(page.number));
    } else {
      RoundTripCharacters(static_cast<uint16_t>(page.number));
    }
  }
  // UTF-8 beyond the first plane too.
  std::u16string all;
  for (char32_t c = 0x10000; c < 0x30000; c += 7) {
    if (!u_isprint(static_cast<UChar32>(c))) continue;
    all += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    all += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  }
  EXPECT_EQ(nxStringToWideString(nxWideStringToString(all, 65001), 65001), all);
}

TEST(WideStringLocale, LocaleAnsiCodePage) {
  struct Case {
    uint32_t locale, code_page;
  };
  const Case cases[] = {{1031, 1252}, {1033, 1252}, {1049, 1251}, {1045, 1250}, {1041, 932},
                        {2052, 936}, {1055, 1254}, {1081, 0}, {0x7777, nxDefaultCodePage}};
  for (const Case& c : cases) EXPECT_EQ(nxLocaleAnsiCodePage(c.locale), c.code_page) << c.locale;
}

TEST(WideStringConversion, ThreadsConvertIndependently) {
  // Converters keep state: each thread must have its own.
  auto work = [](uint16_t cp, std::u16string text, bool* ok) {
    *ok = true;
    for (int i = 0; i < 2000 && *ok; ++i)
      *ok = nxStringToWideString(nxWideStringToString(text, cp), cp) == text;
  };
  bool ok[4];
  std::thread t[] = {std::thread(work, 1252, u"Äöü€", &ok[0]), std::thread(work, 932, u"日本語", &ok[1]),
                     std::thread(work, 65001, u"x\U0001F600y", &ok[2]), std::thread(work, 850, u"Äß", &ok[3])};
  for (auto& th : t) th.join();
  for (bool b : ok) EXPECT_TRUE(b);
}

TEST(WideStringCopies, ConcatAndAppend) {
  EXPECT_EQ(nxWideCharsConcat(u"ab", u"cd"), u"abcd");
  EXPECT_EQ(nxWideCharsConcat(u"", u""), u"");
  EXPECT_EQ(nxWideCharsAppendChar(u"ab", u'\0'), std::u16string(u"ab\0", 3));
  EXPECT_EQ(nxWideCharsToString(nxStringToWideChars(u"x\0y")), u"x\0y");
}

TEST(WideStringLocale, MapString) {
  std::u16string out;
  nxWideLCMapString(u"Straße i", 1031, platform::LCMAP_UPPERCASE, out);
  EXPECT_EQ(out, u"STRAßE I");  // the length is kept
  nxWideLCMapString(u"i I", 1055, platform::LCMAP_UPPERCASE | platform::LCMAP_LINGUISTIC_CASING, out);
  EXPECT_EQ(out, u"\u0130 I");
  nxWideLCMapString(u"ÄB", 1031, platform::LCMAP_LOWERCASE, out);
  EXPECT_EQ(out, u"äb");
  nxWideLCMapString(u"", 1031, platform::LCMAP_LOWERCASE, out);
  EXPECT_EQ(out, u"");
  nxWideLCMapStringA(u"ÄB", 1031, platform::LCMAP_LOWERCASE, out);
  EXPECT_EQ(out, u"äb");
  try {
    nxWideLCMapString(u"x", 1031, platform::LCMAP_UPPERCASE | platform::LCMAP_LOWERCASE, out);
    ADD_FAILURE() << "no exception";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.CustomInfos().Values(u"Action"), u"nxWideLCMapStringW");
  }
}

}  // namespace
}  // namespace revurov
