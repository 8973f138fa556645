#include "platform/module.h"

#include <gtest/gtest.h>

#include <fenv.h>

namespace revurov::platform {
namespace {

TEST(Module, ProgramPathNamesThisProgram) {
  const std::string path = ProgramPath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_EQ(path.substr(path.rfind('/') + 1), "test_platform");
}

TEST(Module, MissingModulesGiveNoHandleAndKeepTheRoundingMode) {
  const int before = fegetround();
  fesetround(FE_UPWARD);
  EXPECT_EQ(LoadModule(""), nullptr);
  EXPECT_EQ(LoadModule("/nonexistent/revurov_no_such_module.so"), nullptr);
  EXPECT_EQ(fegetround(), FE_UPWARD);
  fesetround(before);
}

}  // namespace
}  // namespace revurov::platform
