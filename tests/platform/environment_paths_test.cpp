#include <stdlib.h>

#include <gtest/gtest.h>

#include "platform/environment.h"
#include "platform/paths.h"

namespace revurov::platform {
namespace {

// Sets or unsets variables for one test and restores them afterwards.
class EnvGuard {
public:
  explicit EnvGuard(std::initializer_list<const char*> names) {
    for (const char* n : names) {
      const char* v = ::getenv(n);
      saved_.push_back({n, v ? std::optional<std::string>(v) : std::nullopt});
    }
  }
  ~EnvGuard() {
    for (const auto& [n, v] : saved_) {
      if (v) ::setenv(n.c_str(), v->c_str(), 1);
      else ::unsetenv(n.c_str());
    }
  }

private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(Environment, AppDataFallsBackToTheXdgFolders) {
  EnvGuard guard({"APPDATA", "XDG_CONFIG_HOME", "HOME"});
  ::setenv("APPDATA", "/a", 1);
  ::setenv("XDG_CONFIG_HOME", "/x", 1);
  ::setenv("HOME", "/h", 1);
  EXPECT_EQ(GetEnvironmentVariable(u"APPDATA"), u"/a");
  ::setenv("APPDATA", "", 1);
  EXPECT_EQ(GetEnvironmentVariable(u"APPDATA"), u"/x");
  ::unsetenv("APPDATA");
  EXPECT_EQ(GetEnvironmentVariable(u"APPDATA"), u"/x");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(GetEnvironmentVariable(u"APPDATA"), u"/h/.config");
  ::unsetenv("HOME");
  EXPECT_FALSE(GetEnvironmentVariable(u"APPDATA").has_value());
}

TEST(Environment, OtherVariablesAsTheyAre) {
  EnvGuard guard({"REVUROV_TEST_VAR"});
  ::unsetenv("REVUROV_TEST_VAR");
  EXPECT_FALSE(GetEnvironmentVariable(u"REVUROV_TEST_VAR").has_value());
  ::setenv("REVUROV_TEST_VAR", "\xC3\xA4", 1);
  EXPECT_EQ(GetEnvironmentVariable(u"REVUROV_TEST_VAR"), u"\u00E4");
  EXPECT_FALSE(GetEnvironmentVariable(u"").has_value());
  EXPECT_FALSE(GetEnvironmentVariable(u"A=B").has_value());
}

TEST(Paths, Helpers) {
  EXPECT_EQ(IncludeTrailingPathDelimiter(u""), u"");
  EXPECT_EQ(IncludeTrailingPathDelimiter(u"/db"), u"/db/");
  EXPECT_EQ(IncludeTrailingPathDelimiter(u"/db/"), u"/db/");
  EXPECT_EQ(ExcludeTrailingPathDelimiter(u"/db/"), u"/db");
  EXPECT_EQ(ExcludeTrailingPathDelimiter(u"/"), u"/");
  EXPECT_EQ(ExtractFilePath(u"/a/b.txt"), u"/a/");
  EXPECT_EQ(ExtractFileName(u"/a/b.txt"), u"b.txt");
  EXPECT_EQ(ExtractFileName(u"b.txt"), u"b.txt");
  EXPECT_EQ(ExtractFilePath(u"b.txt"), u"");
  EXPECT_EQ(ToOsPath(u"/\u00E4"), "/\xC3\xA4");
}

}  // namespace
}  // namespace revurov::platform
