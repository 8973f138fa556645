#include "lowlevel/memory_manager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace revurov {
namespace {

TEST(Allocation, ZeroSizesGiveNil) {
  EXPECT_EQ(nxGetMem(0), nullptr);
  void* p = reinterpret_cast<void*>(1);
  nxGetZeroMem(p, 0);
  EXPECT_EQ(p, nullptr);
  nxReallocMem(p, 0);
  EXPECT_EQ(p, nullptr);
}

TEST(Allocation, ReallocKeepsContentsAndZeroSizeFrees) {
  void* p = nullptr;
  nxReallocMem(p, 8);
  std::memcpy(p, "abcdefg", 8);
  nxReallocMem(p, 4096);
  EXPECT_STREQ(static_cast<char*>(p), "abcdefg");
  nxReallocMem(p, 0);
  EXPECT_EQ(p, nullptr);
}

TEST(Allocation, FreeMemAndNilClearsTheVariable) {
  void* p = nxAllocMem(16);
  EXPECT_EQ(static_cast<unsigned char*>(p)[15], 0);
  nxFreeMemAndNil(p);
  EXPECT_EQ(p, nullptr);
  nxFreeMemAndNil(p);  // nil is ignored
}

TEST(ThreadMinVersion, DefaultsAndCap) {
  std::thread([] {
    EXPECT_EQ(nxGetThreadMinVersion(), 47501u);
    nxSetThreadMinVersion(50000);
    EXPECT_EQ(nxGetThreadMinVersion(), 50000u);
    EXPECT_EQ(nxGetThreadMinVersionCapped(), 47501u);
    nxSetThreadMinVersion(41100);
    EXPECT_EQ(nxGetThreadMinVersionCapped(), 41100u);
    nxSetThreadMinVersion(0);
    EXPECT_EQ(nxGetThreadMinVersion(), 47501u);
  }).join();
}

}  // namespace
}  // namespace revurov
