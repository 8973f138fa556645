#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include "platform/text.h"
#include "support/temp_dir.h"

namespace revurov::platform {
namespace {

using revurov::testing::TempDir;

std::u16string U(const std::string& s) { return Utf8ToUtf16(s); }

TEST(IniFile, IntegerFormsAndDefaults) {
  const struct {
    std::u16string text;
    int32_t expected;
  } cases[] = {
      {u"12", 12},          {u"-7", -7},           {u"+5", 5},         {u"0x1F", 31},
      {u"0X1f", 31},        {u"$10", 16},          {u"-$10", -16},     {u"$FFFFFFFF", -1},
      {u"abc", 99},         {u"", 99},             {u"1a", 99},        {u"True", 99},
      {u"2147483647", 2147483647}, {u"2147483648", 99}, {u"-2147483648", INT32_MIN},
      {u"$", 99},           {u"0x", 99},           {u"  3", 3},        {u"$100000000", 99},
  };
  for (const auto& c : cases) EXPECT_EQ(IniStrToIntDef(c.text, 99), c.expected) << Utf16ToUtf8(c.text);
}

TEST(IniFile, ReadsWithoutRegardToCase) {
  TempDir dir;
  dir.Write("s.ini", "[Configuration]\r\n  DatenbankPfad = /data/db  \r\nServer_Protocol=abc\r\n"
                     "DBConnect=True\r\n;comment=1\r\nB2=0x10\r\n[other]\r\nx=1\r\n");
  TMemIniFile ini(U(dir.Path("s.ini")));
  EXPECT_EQ(ini.ReadString(u"CONFIGURATION", u"datenbankpfad", u""), u"/data/db");
  EXPECT_EQ(ini.ReadInteger(u"Configuration", u"Server_Protocol", 0), 0);
  EXPECT_TRUE(ini.ReadBool(u"Configuration", u"DBConnect", true));
  EXPECT_FALSE(ini.ReadBool(u"Configuration", u"DBConnect", false));
  EXPECT_EQ(ini.ReadInteger(u"configuration", u"b2", 0), 16);
  EXPECT_FALSE(ini.ValueExists(u"Configuration", u";comment"));
  EXPECT_EQ(ini.ReadString(u"missing", u"x", u"def"), u"def");
  EXPECT_EQ(ini.Encoding(), TTextEncoding::Ansi);
}

TEST(IniFile, BooleansAreNumbers) {
  TMemIniFile ini(u"/nonexistent/x.ini");
  const struct {
    std::u16string value;
    bool def;
    bool expected;
  } cases[] = {{u"1", false, true}, {u"0", true, false}, {u"2", false, true},
               {u"True", false, false}, {u"True", true, true}, {u"", true, true}};
  for (const auto& c : cases) {
    ini.WriteString(u"s", u"b", c.value);
    EXPECT_EQ(ini.ReadBool(u"s", u"b", c.def), c.expected) << Utf16ToUtf8(c.value);
  }
}

TEST(IniFile, IntegersAreWrittenAsDecimalText) {
  TMemIniFile ini(u"/nonexistent/x.ini");
  for (const int32_t value : {0, 42, -7, INT32_MAX, INT32_MIN}) {
    ini.WriteInteger(u"s", u"n", value);
    EXPECT_EQ(ini.ReadString(u"s", u"n", u""), Utf8ToUtf16(std::to_string(value)));
    EXPECT_EQ(ini.ReadInteger(u"s", u"n", 99), value);
  }
}

TEST(IniFile, UpdateFileWritesUtf8WithBomAndCrLf) {
  TempDir dir;
  const std::u16string name = U(dir.Path("d.dat"));
  {
    TMemIniFile ini(name, TTextEncoding::Utf8);
    ini.WriteString(u"Config", u"Admin", u"M\u00FCller");
    ini.WriteString(u"Config", u"PW", u"");
    ini.WriteBool(u"U1", u"Setup", true);
    ini.WriteString(u"config", u"ADMIN", u"B");  // same section and key, new spelling of the key
    ini.UpdateFile();
  }
  EXPECT_EQ(dir.Read("d.dat"), "\xEF\xBB\xBF[Config]\r\nADMIN=B\r\nPW=\r\n\r\n[U1]\r\nSetup=1\r\n\r\n");
  TMemIniFile again(name, TTextEncoding::Utf8);
  EXPECT_TRUE(again.ValueExists(u"CONFIG", u"pw"));
  again.EraseSection(u"u1");
  again.DeleteKey(u"Config", u"pw");
  again.UpdateFile();
  EXPECT_EQ(dir.Read("d.dat"), "\xEF\xBB\xBF[Config]\r\nADMIN=B\r\n\r\n");
}

TEST(IniFile, BuiltFromLinesReadsNothingAndWritesInItsEncoding) {
  TempDir dir;
  dir.Write("d.dat", "[Old]\r\nk=1\r\n");
  TStringList lines;
  lines.SetText(u"[New]\r\n k = 2 \r\n");
  TMemIniFile ini(U(dir.Path("d.dat")), TTextEncoding::Utf8, lines);
  EXPECT_FALSE(ini.SectionExists(u"Old"));
  EXPECT_EQ(ini.ReadString(u"new", u"K", u""), u"2");
  EXPECT_EQ(dir.Read("d.dat"), "[Old]\r\nk=1\r\n");
  ini.UpdateFile();
  EXPECT_EQ(dir.Read("d.dat"), "\xEF\xBB\xBF[New]\r\nk=2\r\n\r\n");
}

TEST(IniFile, ForcedUtf8RefusesAnsiFile) {
  TempDir dir;
  dir.Write("a.dat", "[M\xDCLLER]\r\nPW=x\r\n");
  EXPECT_THROW(TMemIniFile(U(dir.Path("a.dat")), TTextEncoding::Utf8), EEncodingError);
  TMemIniFile detected(U(dir.Path("a.dat")));
  EXPECT_EQ(detected.ReadString(u"M\u00DCLLER", u"PW", u""), u"x");
}

TEST(IniFile, SectionListsAndDuplicateSections) {
  TMemIniFile ini(u"/nonexistent/x.ini");
  TStringList text;
  text.SetText(u"junk before\r\n[A]\r\nk=1\r\nplain\r\n[B]\r\n[a]\r\nk=2\r\n");
  ini.SetStrings(text);
  EXPECT_EQ(ini.ReadString(u"a", u"k", u""), u"1");
  TStringList l;
  ini.ReadSections(l);
  EXPECT_EQ(l.Text(), u"A\r\nB\r\na\r\n");
  ini.ReadSection(u"A", l);
  EXPECT_EQ(l.Text(), u"k\r\n");
  ini.ReadSectionValues(u"A", l);
  EXPECT_EQ(l.Text(), u"k=1\r\nplain\r\n");
  ini.GetStrings(l);
  EXPECT_EQ(l.Text(), u"[A]\r\nk=1\r\nplain\r\n\r\n[B]\r\n\r\n[a]\r\nk=2\r\n\r\n");
}

TEST(IniFile, IniFileWritesThrough) {
  TempDir dir;
  TIniFile ini(U(dir.Path("t.ini")), TTextEncoding::Utf8);
  ini.WriteString(u"S", u"k", u"v");
  EXPECT_EQ(dir.Read("t.ini"), "\xEF\xBB\xBF[S]\r\nk=v\r\n\r\n");
}

}  // namespace
}  // namespace revurov::platform
