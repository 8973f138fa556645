#include "lowlevel/startup.h"

#include <gtest/gtest.h>

#include <thread>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/exception_data.h"
#include "lowlevel/sync/platform_interface.h"

namespace revurov {
namespace {

TEST(LowLevelStartup, TheFirstStartupWorksAndTheLastShutdownUndoes) {
  ASSERT_EQ(nxLowLevelStartupCount(), 0);
  EXPECT_FALSE(nxIsMainThread());
  nxLowLevelStartup();
  EXPECT_TRUE(nxIsMainThread());
  bool otherIsMain = true;
  std::thread([&] { otherIsMain = nxIsMainThread(); }).join();
  EXPECT_FALSE(otherIsMain);
  // The exception data unit is started: exceptions can build containers.
  EXPECT_NE(EnxBaseException(u"x").ExceptionData(), nullptr);

  nxLowLevelStartup();
  EXPECT_EQ(nxLowLevelStartupCount(), 2);
  nxLowLevelShutdown();
  EXPECT_TRUE(nxIsMainThread());
  EXPECT_NE(EnxBaseException(u"x").ExceptionData(), nullptr);
  nxLowLevelShutdown();
  EXPECT_EQ(nxLowLevelStartupCount(), 0);
  EXPECT_FALSE(nxIsMainThread());
  EXPECT_EQ(EnxBaseException(u"x").ExceptionData(), nullptr);

  nxLowLevelShutdown();  // unbalanced: nothing
  EXPECT_EQ(nxLowLevelStartupCount(), 0);
  {
    TnxLowLevelStartupGuard guard;
    EXPECT_EQ(nxLowLevelStartupCount(), 1);
  }
  EXPECT_EQ(nxLowLevelStartupCount(), 0);
}

}  // namespace
}  // namespace revurov
