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

// The first character is never scrambled, so it may be any code unit; the
// inverse must not go negative on one of U+0200 or above.
TEST(Password, UnscrambleAfterAFirstCharacterAbove255) {
  for (char16_t first : {char16_t(0x20AC), char16_t(0x0416), char16_t(0x03A9), char16_t(0x0200), char16_t(0xFFFF)}) {
    const std::u16string pw = std::u16string{first} + u"ab";
    std::u16string s = Scrambled(pw);
    UnscramblePassword(s, 2);
    EXPECT_EQ(s, pw) << int(first);
  }
}

std::u16string AdminRoundTrip(std::u16string_view pw, std::string* file = nullptr) {
  TempDir dir;
  const std::u16string name = Utf8ToUtf16(dir.Path("s.dat"));
  {
    TMemIniFile ini(name, TTextEncoding::Utf8);
    StoreAdminPassword(ini, u"Config", pw);
    ini.UpdateFile();
  }
  if (file) *file = dir.Read("s.dat");
  return LoadAdminPassword(TMemIniFile(name, TTextEncoding::Utf8), u"Config");
}

TEST(Password, EveryAdminPasswordReadsBack) {
  const std::u16string fixed[] = {
      u"", u"x", u"\u20AC", u"\u20ACab", u"\u0416\u0430\u0431\u0430", u"a\u20ACb", u"\u03A9\u03C9",
      std::u16string{u'a', char16_t(0xD83D), char16_t(0xDE00), u'b'}, u"  spaced  ", std::u16string{u'\r', u'\n', u'x'},
  };
  for (const auto& pw : fixed) EXPECT_EQ(AdminRoundTrip(pw), pw);
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    std::u16string pw(1 + rng() % 8, u'\0');
    // Mostly narrow units, now and then a wide one anywhere.
    for (auto& c : pw) c = static_cast<char16_t>(rng() % 4 ? rng() % 256 : rng() % 0x10000);
    ASSERT_EQ(AdminRoundTrip(pw), pw) << round;
  }
}

// Passwords whose middle characters are below 256 read back today: they
// keep the bytes an older tool wrote and reads.
TEST(Password, NarrowAdminPasswordsKeepTheirStoredForm) {
  for (const std::u16string& pw : {std::u16string(u"abc"), std::u16string(u"\u20ACab"), std::u16string(u"Geheim!"),
                                  std::u16string{u'a', 0xAC, u'z'}}) {
    std::string stored;
    ASSERT_EQ(AdminRoundTrip(pw, &stored), pw);
    TempDir dir;
    TMemIniFile ini(Utf8ToUtf16(dir.Path("old.dat")), TTextEncoding::Utf8);
    StoreScrambled(ini, u"Config", Scrambled(pw));
    ini.UpdateFile();
    EXPECT_EQ(stored, dir.Read("old.dat"));
  }
}

TEST(Password, WideAdminPasswordForm) {
  std::string stored;
  // 'a', U+20AC, 'b': the 16-bit running sum 0x0061, 0x210D, 0x0062.
  ASSERT_EQ(AdminRoundTrip(u"a\u20ACb", &stored), u"a\u20ACb");
  EXPECT_EQ(stored, "\xEF\xBB\xBF[Config]\r\nPW=0061210D0062\r\nPWWide=0061210D0062\r\n\r\n");
  // A "PW" written since by a tool that knows no wide form wins.
  TempDir dir;
  dir.Write("s.dat", "[Config]\r\nPW=abc\r\nPWWide=0061210D0062\r\n");
  EXPECT_EQ(LoadAdminPassword(TMemIniFile(Utf8ToUtf16(dir.Path("s.dat")), TTextEncoding::Utf8), u"Config"),
            (std::u16string{u'a', char16_t((0x62 - 0x61) & 0xFF), u'c'}));
  // Damaged hex or a too short wide value never reads outside the text.
  for (const char* v : {"00", "", "zz", "0061"}) {
    dir.Write("s.dat", std::string("[Config]\r\nPW=") + v + "\r\nPWWide=" + v + "\r\n");
    (void)LoadAdminPassword(TMemIniFile(Utf8ToUtf16(dir.Path("s.dat")), TTextEncoding::Utf8), u"Config");
  }
  // Saving a narrow password again drops the wide key.
  TMemIniFile ini(Utf8ToUtf16(dir.Path("s.dat")), TTextEncoding::Utf8);
  StoreAdminPassword(ini, u"Config", u"abc");
  EXPECT_FALSE(ini.ValueExists(u"Config", u"PWWide"));
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
