#include "platform/text_file.h"

#include <gtest/gtest.h>

#include "platform/code_page.h"
#include "support/temp_dir.h"

namespace revurov::platform {
namespace {

TEST(TextFile, DetectsBomOrFallsBackToAnsi) {
  const struct {
    std::string bytes;
    TTextEncoding encoding;
    bool bom;
    std::u16string text;
  } cases[] = {
      {"\xEF\xBB\xBF" "\xC3\xA4x", TTextEncoding::Utf8, true, u"\u00E4x"},
      {std::string("\xFF\xFE" "a\0\xE4\0", 6), TTextEncoding::Utf16LE, true, u"a\u00E4"},
      {std::string("\xFE\xFF" "\0a\0\xE4", 6), TTextEncoding::Utf16BE, true, u"a\u00E4"},
      {"M\xFC" "ller \x80", TTextEncoding::Ansi, false, u"M\u00FCller \u20AC"},
      // UTF-8 without BOM is taken as ANSI, as the platform does.
      {"\xC3\xA4", TTextEncoding::Ansi, false, u"\u00C3\u00A4"},
      {"", TTextEncoding::Ansi, false, u""},
  };
  for (const auto& c : cases) {
    const TDecodedText d = DecodeText(c.bytes);
    EXPECT_EQ(d.Encoding, c.encoding) << c.bytes;
    EXPECT_EQ(d.HadBom, c.bom) << c.bytes;
    EXPECT_EQ(d.Text, c.text) << c.bytes;
  }
}

TEST(TextFile, ForcedUtf8RejectsMalformedInput) {
  EXPECT_EQ(DecodeText("\xEF\xBB\xBF" "ab", TTextEncoding::Utf8).Text, u"ab");
  EXPECT_EQ(DecodeText("ab", TTextEncoding::Utf8).Text, u"ab");
  for (std::string bad : {"M\xFCller", "\xC3", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
    EXPECT_THROW(DecodeText(bad, TTextEncoding::Utf8), EEncodingError) << bad;
  }
}

TEST(TextFile, EncodesWithAndWithoutBom) {
  EXPECT_EQ(EncodeText(u"\u00E4", TTextEncoding::Utf8, true), "\xEF\xBB\xBF\xC3\xA4");
  EXPECT_EQ(EncodeText(u"\u00E4\u20AC", TTextEncoding::Ansi, false), "\xE4\x80");
  EXPECT_EQ(EncodeText(u"\u00E4\u20AC", TTextEncoding::Ansi, true), "\xE4\x80");  // ANSI has no BOM
  EXPECT_EQ(EncodeText(u"a", TTextEncoding::Utf16LE, true), std::string("\xFF\xFE" "a\0", 4));
  EXPECT_EQ(EncodeText(u"a", TTextEncoding::Utf16BE, false), std::string("\0a", 2));
  // What the ANSI page cannot hold becomes "?" unless the caller checks.
  EXPECT_EQ(EncodeText(u"a\u0410", TTextEncoding::Ansi, false), "a?");
  EXPECT_FALSE(CanEncode(u"a\u0410", TTextEncoding::Ansi));
  EXPECT_FALSE(CanEncode(u"A\u200BB", TTextEncoding::Ansi));  // invisible, yet not in the page
  EXPECT_TRUE(CanEncode(u"a\u00E4\u20AC", TTextEncoding::Ansi));
  EXPECT_TRUE(CanEncode(u"a\u0410", TTextEncoding::Utf8));
  EXPECT_FALSE(CanEncode(std::u16string(1, char16_t(0xD800)), TTextEncoding::Utf8));
}

TEST(TextFile, AnsiCodePageIsSettable) {
  SetSystemAnsiCodePage(1251);
  EXPECT_EQ(DecodeText("\xC0").Text, u"\u0410");
  SetSystemAnsiCodePage(1252);
  EXPECT_EQ(DecodeText("\xC0").Text, u"\u00C0");
}

TEST(TextFile, FileRoundTrip) {
  revurov::testing::TempDir dir;
  EXPECT_FALSE(ReadTextFile(dir.Path("none")).has_value());
  WriteTextFile(dir.Path("t"), u"\u00C4rger\r\n", TTextEncoding::Utf8, true);
  EXPECT_EQ(dir.Read("t"), "\xEF\xBB\xBF\xC3\x84rger\r\n");
  const auto d = ReadTextFile(dir.Path("t"));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->Text, u"\u00C4rger\r\n");
  EXPECT_EQ(d->Encoding, TTextEncoding::Utf8);
}

}  // namespace
}  // namespace revurov::platform
