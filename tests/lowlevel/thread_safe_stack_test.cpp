#include "lowlevel/sync/thread_safe_stack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace revurov {
namespace {

void* AsPointer(uintptr_t v) { return reinterpret_cast<void*>(v); }

TEST(ThreadSafeStack, PopsInReverseOrderAcrossPages) {
  TnxThreadSafeStack stack;
  EXPECT_EQ(stack.Pop(), nullptr);
  constexpr int kValues = 600;  // more than two pages of nodes
  static_assert(kValues > 2 * TnxThreadSafeStack::kNodesPerPage);
  for (uintptr_t i = 1; i <= kValues; ++i) stack.Push(AsPointer(i));
  EXPECT_EQ(stack.Count(), kValues);
  for (uintptr_t i = kValues; i >= 1; --i) ASSERT_EQ(stack.Pop(), AsPointer(i));
  EXPECT_EQ(stack.Count(), 0);
  EXPECT_EQ(stack.Pop(), nullptr);
  // Freed nodes are reused: pushing again needs no page and works the same.
  stack.Push(AsPointer(7));
  EXPECT_EQ(stack.Pop(), AsPointer(7));
}

TEST(ThreadSafeStack, DestroyDropsValuesLeftOnIt) {
  auto* stack = new TnxThreadSafeStack;
  for (uintptr_t i = 1; i <= 300; ++i) stack->Push(AsPointer(i));
  delete stack;  // the leak checker sees every page returned
}

TEST(ThreadSafeStack, ConcurrentPushAndPopLoseNothing) {
  TnxThreadSafeStack stack;
  constexpr int kThreads = 8, kPerThread = 4000;
  std::vector<std::atomic<int>> seen(kThreads * kPerThread + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        stack.Push(AsPointer(uintptr_t(t) * kPerThread + i + 1));
        if (i % 2)
          if (void* p = stack.Pop()) seen[reinterpret_cast<uintptr_t>(p)].fetch_add(1);
      }
    });
  for (auto& t : threads) t.join();
  while (void* p = stack.Pop()) seen[reinterpret_cast<uintptr_t>(p)].fetch_add(1);
  for (size_t v = 1; v < seen.size(); ++v) ASSERT_EQ(seen[v].load(), 1) << v;
  EXPECT_EQ(stack.Count(), 0);
}

}  // namespace
}  // namespace revurov
