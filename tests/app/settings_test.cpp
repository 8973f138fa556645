#include "app/settings.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "platform/text.h"
#include "support/temp_dir.h"

namespace tesmira {
namespace {

using revurov::platform::Utf8ToUtf16;
using revurov::testing::TempDir;

TEST(Settings, MissingFileLeavesTheLayout) {
  TempDir dir;
  EXPECT_FALSE(ReadSettings(Utf8ToUtf16(dir.Path("Tesmira.ini"))).has_value());
  EXPECT_FALSE(ReadSettings(u"").has_value());
}

TEST(Settings, ReadsTheSevenKeys) {
  TempDir dir;
  dir.Write("Tesmira.ini",
            "[configuration]\r\nDatenbankPfad=/srv/db\r\nserver_protocol=2\r\nDBConnect=0\r\n"
            "DBServer=host1\r\nDBSAlias=Alias\r\nUserlogin=u\r\nUserpasswort=p w\r\n");
  const auto s = ReadSettings(Utf8ToUtf16(dir.Path("Tesmira.ini")));
  ASSERT_TRUE(s);
  EXPECT_EQ(s->DatenbankPfad, u"/srv/db");
  EXPECT_EQ(s->ServerProtocol, 2);
  EXPECT_FALSE(s->DBConnect);
  EXPECT_EQ(s->DBServer, u"host1");
  EXPECT_EQ(s->DBSAlias, u"Alias");
  EXPECT_EQ(s->Userlogin, u"u");
  EXPECT_EQ(s->Userpasswort, u"p w");
}

TEST(Settings, ValueFormsAndDefaults) {
  const struct {
    std::string lines;
    int32_t protocol;
    bool connect;
  } cases[] = {
      {"", 0, true},
      {"Server_Protocol=abc\r\nDBConnect=True\r\n", 0, true},
      {"Server_Protocol=0x1\r\nDBConnect=1\r\n", 1, true},
      {"Server_Protocol=$2\r\nDBConnect=0\r\n", 2, false},
      {"Server_Protocol=7\r\nDBConnect=5\r\n", 7, true},
      {"Server_Protocol=-1\r\nDBConnect=false\r\n", -1, true},
  };
  for (const auto& c : cases) {
    TempDir dir;
    dir.Write("Tesmira.ini", "[Configuration]\r\n" + c.lines);
    const auto s = ReadSettings(Utf8ToUtf16(dir.Path("Tesmira.ini")));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->ServerProtocol, c.protocol) << c.lines;
    EXPECT_EQ(s->DBConnect, c.connect) << c.lines;
    EXPECT_EQ(s->DatenbankPfad, u"");
  }
}

TEST(Settings, PathsFromTheEnvironment) {
  const char* saved = ::getenv("APPDATA");
  const std::string keep = saved ? saved : "";
  ::setenv("APPDATA", "/home/x/appdata", 1);
  EXPECT_EQ(ReadEnvironmentVariable(u"APPDATA"), u"/home/x/appdata");
  EXPECT_EQ(SettingsHomeDir(), u"/home/x/appdata/Tesmira/");
  EXPECT_EQ(SettingsFileName(), u"/home/x/appdata/Tesmira/Tesmira.ini");
  ::unsetenv("REVUROV_SURELY_UNSET");
  EXPECT_EQ(ReadEnvironmentVariable(u"REVUROV_SURELY_UNSET"), u"");
  if (saved) ::setenv("APPDATA", keep.c_str(), 1);
  else ::unsetenv("APPDATA");
}

TEST(Settings, AddTrailingBackslash) {
  EXPECT_EQ(AddTrailingBackslash(u""), u"");
  EXPECT_EQ(AddTrailingBackslash(u"/db"), u"/db/");
  EXPECT_EQ(AddTrailingBackslash(u"/db/"), u"/db/");
}

}  // namespace
}  // namespace tesmira
