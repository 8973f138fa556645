#include "storage/release_method.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace revurov {
namespace {

// A release method that records which blocks it was given, in order.
struct TCountingRelease {
  std::vector<PnxBlock> Released;
  static void Call(void* aSelf, PnxBlock& aBlock) noexcept {
    static_cast<TCountingRelease*>(aSelf)->Released.push_back(aBlock);
    aBlock = nullptr;
  }
  TnxReleaseMethod Method() { return TnxReleaseMethod(&Call, this); }
};

uint8_t gBlocks[3][16];

TEST(ReleaseListTest, ReleasesEveryBlockOnceInOrder) {
  TCountingRelease counter;
  {
    TnxReleaseList list;
    for (auto& block : gBlocks) list.Add(block, counter.Method());
    list.Add(nullptr, {});  // nothing to call
    EXPECT_EQ(list.Count(), 4);
    list.Release();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(counter.Released, (std::vector<PnxBlock>{gBlocks[0], gBlocks[1], gBlocks[2]}));
    list.Release();
    list.Add(gBlocks[1], counter.Method());
  }  // the destructor releases what is left
  EXPECT_EQ(counter.Released.size(), 4u);
  EXPECT_EQ(counter.Released.back(), gBlocks[1]);
}

TEST(BlockGuardTest, ReleasesOnceAlsoWhenTheCallerRaises) {
  TCountingRelease counter;
  try {
    TnxBlockGuard guard;
    guard.ReleaseMethod() = counter.Method();
    guard.Hold(gBlocks[0]);
    throw std::runtime_error("caller fails");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(counter.Released, (std::vector<PnxBlock>{gBlocks[0]}));
}

TEST(BlockGuardTest, MovingAndReleasingEarlyStillReleaseOnce) {
  TCountingRelease counter;
  {
    TnxBlockGuard first;
    first.ReleaseMethod() = counter.Method();
    first.Hold(gBlocks[0]);
    TnxBlockGuard second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.Block(), gBlocks[0]);
    TnxBlockGuard third;
    third.ReleaseMethod() = counter.Method();
    third.Hold(gBlocks[1]);
    third = std::move(second);  // releases block 1, takes block 0
    EXPECT_EQ(counter.Released, (std::vector<PnxBlock>{gBlocks[1]}));
    third.Release();
    EXPECT_EQ(third.Block(), nullptr);
    third.Release();
  }
  EXPECT_EQ(counter.Released, (std::vector<PnxBlock>{gBlocks[1], gBlocks[0]}));
}

}  // namespace
}  // namespace revurov
