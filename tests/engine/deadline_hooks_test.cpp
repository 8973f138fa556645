#include "engine/deadline_hooks.h"

#include <gtest/gtest.h>

namespace revurov {
namespace {

uint32_t gTimeout = 0;
bool gForce = false;
int gNesting = 0;
thread_local std::atomic<bool> tlsFlag{false};

TEST(DeadlineHooksTest, DefaultsDoNothingUntilInstalledAndComeBackOnReset) {
  nxResetDeadlineHooks();
  nxSetTimeoutHook(10, true);
  nxEnterTimeoutNestingHook();
  nxLeaveTimeoutNestingHook();
  EXPECT_EQ(nxThreadCancelFlagHook(), nullptr);

  nxInstallSetTimeoutHook([](uint32_t aTimeout, bool aForce) {
    gTimeout = aTimeout;
    gForce = aForce;
  });
  nxInstallTimeoutNestingHooks([] { ++gNesting; }, [] { --gNesting; });
  nxInstallThreadCancelFlagHook([] { return &tlsFlag; });
  nxSetTimeoutHook(250, true);
  nxEnterTimeoutNestingHook();
  nxEnterTimeoutNestingHook();
  nxLeaveTimeoutNestingHook();
  EXPECT_EQ(gTimeout, 250u);
  EXPECT_TRUE(gForce);
  EXPECT_EQ(gNesting, 1);
  EXPECT_EQ(nxThreadCancelFlagHook(), &tlsFlag);

  nxInstallSetTimeoutHook(nullptr);  // nil is the default again
  nxSetTimeoutHook(999, false);
  EXPECT_EQ(gTimeout, 250u);
  nxResetDeadlineHooks();
  nxEnterTimeoutNestingHook();
  EXPECT_EQ(gNesting, 1);
  EXPECT_EQ(nxThreadCancelFlagHook(), nullptr);
}

}  // namespace
}  // namespace revurov
