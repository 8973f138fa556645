#include "app/password.h"

#include <gtest/gtest.h>

#include <random>

#include "app/security_file.h"
#include "platform/text.h"
#include "support/temp_dir.h"

namespace tesmira {
namespace {

using revurov::platform::TMemIniFile;
using revurov::platform::TTextEncoding;
using revurov::platform::Utf8ToUtf16;
using revurov::testing::TempDir;

std::u16string Scrambled(std::u16string s) {
  ScramblePassword(s, static_cast<int>(s.size()) - 1);
  return s;
}

TEST(Password, ScrambleOfShortPasswords) {
  const struct {
    std::u16string in;
    std::u16string out;
  } cases[] = {
      {u"", u""},
      {u"a", u"a"},
      {u"ab", u"ab"},
      {u"abc", std::u16string{u'a', char16_t((0x61 + 0x62) % 256), u'c'}},
      // Running sum: the third character adds to the new second one.
      {u"abcd", std::u16string{u'a', 0xC3, char16_t((0xC3 + 0x63) % 256), u'd'}},
      {std::u16string{u'\u00FF', u'\u0002', u'x'}, std::u16string{0xFF, 0x01, u'x'}},
  };
  for (const auto& c : cases) EXPECT_EQ(Scrambled(c.in), c.out);
}

TEST(Password, UnscrambleRestoresCodeUnitsUpTo255) {
  std::mt19937 rng(7);
  for (int round = 0; round < 500; ++round) {
    std::u16string pw(1 + rng() % 12, u'\0');
    for (auto& c : pw) c = static_cast<char16_t>(rng() % 256);
    std::u16string s = Scrambled(pw);
    EXPECT_EQ(s.back(), pw.back());
    UnscramblePassword(s, static_cast<int>(s.size()) - 1);
    EXPECT_EQ(s, pw);
  }
  // Above 255 at a scrambled position comes back reduced.
  std::u16string s = Scrambled(u"a\u20ACb");
  UnscramblePassword(s, 2);
  EXPECT_EQ(s, (std::u16string{u'a', 0xAC, u'b'}));
}

TEST(Password, CountBeyondTheTextTouchesNothingOutside) {
  std::u16string s = u"ab";
  ScramblePassword(s, 10);
  EXPECT_EQ(s, (std::u16string{u'a', 0xC3}));
  UnscramblePassword(s, 10);
  EXPECT_EQ(s, u"ab");
  ScramblePassword(s, -1);
  EXPECT_EQ(s, u"ab");
}

TEST(Password, StoredFormSurvivesTheFile) {
  const std::u16string values[] = {
      u"plain",
      u"",
      std::u16string{u'a', u'\r', u'\n', u'b'},
      std::u16string{u'x', u'\0', u'y'},
      u" lead",
      u"trail ",
      std::u16string{u'a', char16_t(0xD83D), u'b'},
      u"=[;x]",
  };
  for (const auto& v : values) {
    TempDir dir;
    const std::u16string name = Utf8ToUtf16(dir.Path("s.dat"));
    {
      TMemIniFile ini(name, TTextEncoding::Utf8);
      StoreScrambled(ini, u"Config", v);
      ini.UpdateFile();
    }
    TMemIniFile again(name, TTextEncoding::Utf8);
    EXPECT_EQ(LoadScrambled(again, u"Config"), v);
  }
}

TEST(Password, SafeValuesAreWrittenAsBefore) {
  TempDir dir;
  const std::u16string name = Utf8ToUtf16(dir.Path("s.dat"));
  TMemIniFile ini(name, TTextEncoding::Utf8);
  StoreScrambled(ini, u"Config", std::u16string{u'\n'});
  StoreScrambled(ini, u"Config", u"abc");
  ini.UpdateFile();
  EXPECT_EQ(dir.Read("s.dat"), "\xEF\xBB\xBF[Config]\r\nPW=abc\r\n\r\n");
}

TEST(Password, OldValuesReadAsBefore) {
  TempDir dir;
  // A value that looks like hex is still taken as it stands without the
  // marker key, and a "PW" that an older tool rewrote wins over the marker.
  dir.Write("a.dat", "[Config]\r\nPW=0041\r\n");
  EXPECT_EQ(LoadScrambled(TMemIniFile(Utf8ToUtf16(dir.Path("a.dat"))), u"Config"), u"0041");
  dir.Write("b.dat", "[Config]\r\nPW=xyz\r\nPWHex=0041\r\n");
  EXPECT_EQ(LoadScrambled(TMemIniFile(Utf8ToUtf16(dir.Path("b.dat"))), u"Config"), u"xyz");
  dir.Write("c.dat", "[Config]\r\nPW=0041000A\r\nPWHex=0041000A\r\n");
  EXPECT_EQ(LoadScrambled(TMemIniFile(Utf8ToUtf16(dir.Path("c.dat"))), u"Config"), u"A\n");
}

}  // namespace
}  // namespace tesmira
