// Tests of the item manager: it starts for each test and, afterwards, gives
// every pool block back and stops, so the next test sees an empty heap.
#pragma once

#include <gtest/gtest.h>

#include "heap_test_guard.h"
#include "lowlevel/heap/block_manager.h"
#include "lowlevel/heap/item_manager.h"

namespace revurov::mm {

class ItemManagerFixture : public ::testing::Test {
protected:
  void SetUp() override {
    REVUROV_SKIP_WHILE_HEAP_BOUND();
    started_ = true;
    ASSERT_TRUE(nxItemManagerStartup());
  }
  void TearDown() override {
    if (!started_) return;
    TnxMemoryPool::Cleanup();
    nxBlockTrim();
    nxItemManagerShutdown();
  }
  bool started_ = false;
};

}  // namespace revurov::mm
