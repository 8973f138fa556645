#include "platform/virtual_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace revurov::platform {
namespace {

TEST(VirtualMemory, ReservesAlignedAndCommitsOnDemand) {
  constexpr std::size_t kSize = 1 << 20, kAlign = 1 << 22;
  auto* p = static_cast<uint8_t*>(vmReserve(kSize, kAlign));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % kAlign, 0u);
  ASSERT_TRUE(vmCommit(p, 2 * vmPageSize));
  std::memset(p, 0xAB, 2 * vmPageSize);
  ASSERT_TRUE(vmReset(p, vmPageSize));
  EXPECT_EQ(p[0], 0);  // reset pages read back as zero
  EXPECT_EQ(p[vmPageSize], 0xAB);
  ASSERT_TRUE(vmDecommit(p, 2 * vmPageSize));
  ASSERT_TRUE(vmCommit(p, vmPageSize));
  EXPECT_EQ(p[0], 0);
  ASSERT_TRUE(vmReserveFixed(p, vmPageSize));
  EXPECT_TRUE(vmRelease(p, kSize));
}

TEST(VirtualMemory, InjectedFailureHitsTheChosenCallOnly) {
  void* p = vmReserve(1 << 16, 1 << 16);
  ASSERT_NE(p, nullptr);
  vmFailNext(TVmOp::Commit, 2);
  EXPECT_TRUE(vmCommit(p, vmPageSize));
  EXPECT_TRUE(vmDecommit(p, vmPageSize));  // other operations do not count
  EXPECT_FALSE(vmCommit(p, vmPageSize));
  EXPECT_TRUE(vmCommit(p, vmPageSize));

  vmFailNext(TVmOp::Any, 1, 2);
  EXPECT_FALSE(vmReset(p, vmPageSize));
  EXPECT_EQ(vmReserve(1 << 16, 1 << 16), nullptr);
  EXPECT_TRUE(vmReset(p, vmPageSize));

  const int64_t before = vmCallCount(TVmOp::Commit);
  vmFailNext(TVmOp::Commit, 1, 100);
  vmFailNext(TVmOp::Any, 0, 0);  // disarmed
  EXPECT_TRUE(vmCommit(p, vmPageSize));
  EXPECT_EQ(vmCallCount(TVmOp::Commit), before + 1);
  EXPECT_TRUE(vmRelease(p, 1 << 16));
}

}  // namespace
}  // namespace revurov::platform
