#include "platform/system_info.h"

#include <gtest/gtest.h>

namespace revurov::platform {
namespace {

TEST(SystemInfoTest, AvailableMemoryIsAPartOfTheTotal) {
  TSystemMemory memory;
  ASSERT_TRUE(GetSystemMemory(memory));
  EXPECT_GT(memory.Total, 0u);
  // The kernel's estimate counts the page cache it can drop, so it is
  // rarely 0, but never more than there is.
  EXPECT_GT(memory.Available, 0u);
  EXPECT_LE(memory.Available, memory.Total);
  EXPECT_LE(memory.SwapFree, memory.SwapTotal);
}

TEST(SystemInfoTest, FreeSpaceOfAnExistingFolderOnly) {
  uint64_t free = 1;
  EXPECT_TRUE(GetDiskFreeSpace("/", free));
  EXPECT_FALSE(GetDiskFreeSpace("/no/such/folder/anywhere", free));
  EXPECT_EQ(free, 0u);
}

}  // namespace
}  // namespace revurov::platform
