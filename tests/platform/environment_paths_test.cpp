#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/environment.h"
#include "platform/paths.h"
#include "platform/text.h"

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

TEST(Paths, TempDirectoryFromTmpdirElseTmp) {
  EnvGuard guard({"TMPDIR"});
  ::setenv("TMPDIR", "/var/scratch", 1);
  EXPECT_EQ(TempDirectory(), u"/var/scratch/");
  ::setenv("TMPDIR", "", 1);
  EXPECT_EQ(TempDirectory(), u"/tmp/");
  ::unsetenv("TMPDIR");
  EXPECT_EQ(TempDirectory(), u"/tmp/");
}

TEST(Paths, ForceDirectoriesMakesEveryMissingParent) {
  const std::string root = ::testing::TempDir() + "revurov_force_" + std::to_string(::getpid());
  const std::u16string deep = Utf8ToUtf16(root + "/a/b/c/");
  EXPECT_TRUE(ForceDirectories(deep));
  EXPECT_TRUE(DirectoryExists(deep));
  EXPECT_TRUE(ForceDirectories(deep));  // already there
  EXPECT_FALSE(ForceDirectories(u""));
  // A file where a parent should be.
  const std::string file = root + "/file";
  FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_FALSE(ForceDirectories(Utf8ToUtf16(file + "/sub")));
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace revurov::platform
