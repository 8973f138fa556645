#include "lowlevel/heap/atomics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "lowlevel/heap/types.h"

namespace revurov {
namespace {

TEST(LockedOps, AnswerPreviousOrNewValueAsDocumented) {
  int32_t i = 10;
  EXPECT_EQ(nxLockedExchangeAdd(i, 5), 10);
  EXPECT_EQ(i, 15);
  EXPECT_EQ(nxLockedAdd(i, 5), 20);
  EXPECT_EQ(nxLockedSub(i, 25), -5);
  EXPECT_EQ(nxLockedInc(i), -4);
  EXPECT_EQ(nxLockedDec(i), -5);
  EXPECT_EQ(nxLockedExchange(i, 7), -5);
  EXPECT_EQ(i, 7);

  uint32_t u = 0;
  EXPECT_EQ(nxLockedDec(u), 0xFFFFFFFFu);  // wraps as an unsigned cell does
  EXPECT_EQ(nxLockedInc(u), 0u);

  int64_t big = int64_t(1) << 40;
  EXPECT_EQ(nxLockedAdd(big, 1), (int64_t(1) << 40) + 1);
}

TEST(LockedOps, CompareExchangeStoresOnlyOnMatchAndAnswersOldValue) {
  int32_t cell = 3;
  EXPECT_EQ(nxLockedCompareExchange(cell, 9, 4), 3);
  EXPECT_EQ(cell, 3);
  EXPECT_EQ(nxLockedCompareExchange(cell, 9, 3), 3);
  EXPECT_EQ(cell, 9);
  // (0, 0) reads the cell without changing it.
  EXPECT_EQ(nxLockedCompareExchange(cell, 0, 0), 9);
  EXPECT_EQ(cell, 9);
}

TEST(LockedOps, PublishOnceAgainstNil) {
  int a = 1, b = 2;
  int* slot = nullptr;
  EXPECT_EQ(nxLockedCompareExchange(slot, &a, nullptr), nullptr);
  EXPECT_EQ(nxLockedCompareExchange(slot, &b, nullptr), &a);  // loser sees winner
  EXPECT_EQ(slot, &a);
  EXPECT_EQ(nxLockedExchange(slot, nullptr), &a);
}

TEST(LockedOps, IncrementsFromManyThreadsAreNotLost) {
  int32_t counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) nxLockedInc(counter);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

TEST(CleanupHook, StartsAsTheEmptyDefault) {
  EXPECT_EQ(nxCleanupHook, &nxCleanupHookDefault);
  nxCleanupHook();
}

// --- lock-free list ---------------------------------------------------------

struct Node {
  TnxListEntry link;
  int id = 0;
};

TnxListEntry* E(Node& n) { return &n.link; }

TEST(ListHead, IsSixteenBytesAndAligned) {
  EXPECT_EQ(sizeof(TnxListHead), 16u);
  EXPECT_EQ(alignof(TnxListHead), 16u);
  EXPECT_EQ(offsetof(TnxListHead, lhFirst), 0u);
  EXPECT_EQ(offsetof(TnxListHead, lhSequence), 8u);
}

TEST(List, PushPopIsLastInFirstOutAndCountsEveryChange) {
  Node n[3];
  TnxListHead head;
  head.lhFirst = E(n[0]);  // stale contents that init must clear
  head.lhSequence = 77;
  nxListHeadInit(head);
  EXPECT_EQ(head.lhFirst, nullptr);
  EXPECT_EQ(head.lhSequence, 0u);

  EXPECT_EQ(nxListPop(head), nullptr);
  EXPECT_EQ(head.lhSequence, 0u);  // a pop of an empty list changes nothing
  for (auto& x : n) nxListPush(head, E(x));
  EXPECT_EQ(head.lhSequence, 3u);
  EXPECT_EQ(n[2].link.leNext, E(n[1]));
  EXPECT_EQ(nxListPop(head), E(n[2]));
  EXPECT_EQ(nxListPop(head), E(n[1]));
  EXPECT_EQ(nxListPop(head), E(n[0]));
  EXPECT_EQ(nxListPop(head), nullptr);
  EXPECT_EQ(head.lhSequence, 6u);
}

TEST(List, PushChainKeepsChainOrderAndAnswersOldFirst) {
  TnxListHead head;
  Node old, a, b, c;
  nxListPush(head, E(old));
  a.link.leNext = E(b);
  b.link.leNext = E(c);
  c.link.leNext = nullptr;
  EXPECT_EQ(nxListPushChain(head, E(a), E(c)), E(old));
  EXPECT_EQ(head.lhSequence, 2u);
  EXPECT_EQ(nxListPop(head), E(a));
  EXPECT_EQ(nxListPop(head), E(b));
  EXPECT_EQ(nxListPop(head), E(c));
  EXPECT_EQ(nxListPop(head), E(old));

  TnxListHead empty;
  EXPECT_EQ(nxListPushChain(empty, E(a), E(a)), nullptr);  // a one-entry chain
  EXPECT_EQ(a.link.leNext, nullptr);
}

TEST(List, FlushTakesWholeChainAndKeepsSequence) {
  TnxListHead head;
  Node a, b;
  EXPECT_EQ(nxListFlush(head), nullptr);
  nxListPush(head, E(a));
  nxListPush(head, E(b));
  EXPECT_EQ(nxListFlush(head), E(b));
  EXPECT_EQ(b.link.leNext, E(a));
  EXPECT_EQ(head.lhFirst, nullptr);
  EXPECT_EQ(head.lhSequence, 2u);
}

TEST(List, StaleExchangeFailsWhenEntryWasPoppedAndPushedBack) {
  TnxListHead head;
  Node a, b;
  nxListPush(head, E(b));
  nxListPush(head, E(a));
  // A pop on another thread reads (a, seq) and a's link b, then stalls...
  unsigned __int128 seen = detail::nxListRead(head);
  TnxListEntry* seenNext = a.link.leNext;
  // ...meanwhile a and b are popped and a alone is pushed back.
  ASSERT_EQ(nxListPop(head), E(a));
  ASSERT_EQ(nxListPop(head), E(b));
  nxListPush(head, E(a));
  ASSERT_EQ(head.lhFirst, E(a));  // the same entry on top: only the sequence differs
  unsigned __int128 expected = seen;
  EXPECT_FALSE(detail::nxListExchange(
      head, expected, detail::nxListPack(seenNext, detail::nxListSequenceOf(seen) + 1)));
  EXPECT_EQ(detail::nxListFirstOf(expected), E(a));  // the failed try reports the real head
  EXPECT_EQ(detail::nxListSequenceOf(expected), detail::nxListSequenceOf(seen) + 3);
  EXPECT_EQ(head.lhFirst, E(a));
  EXPECT_EQ(a.link.leNext, nullptr);
}

uint32_t DepthOf(const TnxListHead& head) {
  return static_cast<uint32_t>(head.lhSequence >> nxListDepthShift);
}

TEST(DepthList, PushBelowDepthCountsAndRefusesAtTheLimit) {
  TnxListHead head;
  std::vector<Node> nodes(129);
  for (uint32_t i = 0; i < 128; ++i)
    ASSERT_EQ(nxListPushBelowDepth(head, E(nodes[i]), 128), i + 1);
  TnxListHead before = head;
  nodes[128].link.leNext = E(nodes[5]);
  EXPECT_EQ(nxListPushBelowDepth(head, E(nodes[128]), 128), 0u);
  EXPECT_EQ(std::memcmp(&before, &head, sizeof head), 0);
  EXPECT_EQ(nodes[128].link.leNext, E(nodes[5]));  // a refused entry is not touched
  EXPECT_EQ(DepthOf(head), 128u);
  EXPECT_EQ(head.lhSequence & nxListSequenceMask, 128u);
}

TEST(DepthList, PopAboveDepthRefusesBelowTheFloor) {
  TnxListHead head;
  Node a, b;
  EXPECT_EQ(nxListPopAboveDepth(head, 0), nullptr);  // empty
  nxListPushBelowDepth(head, E(a), 10);
  nxListPushBelowDepth(head, E(b), 10);
  EXPECT_EQ(nxListPopAboveDepth(head, 2), nullptr);  // 2 - 1 is below 2
  EXPECT_EQ(DepthOf(head), 2u);
  EXPECT_EQ(nxListPopAboveDepth(head, 1), E(b));
  EXPECT_EQ(DepthOf(head), 1u);
  EXPECT_EQ(nxListPopAboveDepth(head, 0), E(a));
  EXPECT_EQ(DepthOf(head), 0u);
  EXPECT_EQ(head.lhSequence & nxListSequenceMask, 4u);
}

TEST(DepthList, SequenceWrapsWithoutCarryingIntoDepth) {
  TnxListHead head;
  head.lhSequence = (uint64_t(3) << nxListDepthShift) | nxListSequenceMask;
  Node a;
  EXPECT_EQ(nxListPushBelowDepth(head, E(a), 100), 4u);
  EXPECT_EQ(head.lhSequence, uint64_t(4) << nxListDepthShift);
  EXPECT_EQ(nxListPopAboveDepth(head, 0), E(a));
  EXPECT_EQ(head.lhSequence, (uint64_t(3) << nxListDepthShift) | 1);
}

TEST(DepthList, MaxDepthZeroRefusesEveryPush) {
  TnxListHead head;
  Node a;
  EXPECT_EQ(nxListPushBelowDepth(head, E(a), 0), 0u);
  EXPECT_EQ(head.lhFirst, nullptr);
}

// Eight threads take entries off a shared list, free each to a pool (a second
// list), take it back from the pool and push it again: the pattern in which a
// list without a sequence counter loses or duplicates entries. Each entry
// carries an owner flag; two owners at once or an entry missing at the end
// is a fault.
struct StressNode {
  TnxListEntry link;
  std::atomic<int> owned{0};
  int payload = 0;  // written only by the owner: races show under TSan
};

TEST(ListStress, EightThreadsPushPopThroughAPoolKeepEveryEntryOnce) {
  constexpr int kThreads = 8;
  constexpr int kNodes = 64;
  constexpr int kRounds = 20000;
  auto nodes = std::make_unique<StressNode[]>(kNodes);
  TnxListHead list, pool;
  for (int i = 0; i < kNodes; ++i) nxListPush(list, &nodes[i].link);

  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        TnxListEntry* e = (r & 1) ? nxListPop(pool) : nxListPop(list);
        if (!e) e = nxListPop(list);
        if (!e) continue;
        auto* n = reinterpret_cast<StressNode*>(e);
        if (n->owned.exchange(1) != 0) faults.fetch_add(1);
        n->payload = t * kRounds + r;
        if (n->payload != t * kRounds + r) faults.fetch_add(1);
        n->owned.store(0);
        if (r % 3 == 0) {
          nxListPush(pool, e);  // freed to the pool
          e = nxListPop(pool);  // and reused, perhaps another thread's entry
          if (!e) continue;
        }
        nxListPush(list, e);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(faults.load(), 0);

  std::vector<int> seen(kNodes, 0);
  int drained = 0;  // bounded: a corrupted list may hold a cycle
  for (TnxListHead* h : {&list, &pool})
    while (drained <= kNodes)
      if (TnxListEntry* e = nxListPop(*h)) {
        ++seen[reinterpret_cast<StressNode*>(e) - nodes.get()];
        ++drained;
      } else {
        break;
      }
  for (int i = 0; i < kNodes; ++i) EXPECT_EQ(seen[i], 1) << "entry " << i;
}

// Depth-limited pushes from many threads never overshoot the limit, and the
// depth matches the entries on the list when all are done.
TEST(ListStress, DepthLimitHoldsUnderContention) {
  constexpr int kThreads = 8;
  constexpr uint16_t kMax = 16;
  std::vector<Node> nodes(kThreads * 4);
  TnxListHead head;
  std::atomic<int> overshoot{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::vector<TnxListEntry*> mine;
      for (int i = 0; i < 4; ++i) mine.push_back(E(nodes[t * 4 + i]));
      for (int r = 0; r < 5000; ++r) {
        if (!mine.empty() && (r & 1) == 0) {
          uint32_t d = nxListPushBelowDepth(head, mine.back(), kMax);
          if (d > kMax) overshoot.fetch_add(1);
          if (d != 0) mine.pop_back();
        } else if (TnxListEntry* e = nxListPopAboveDepth(head, 0)) {
          mine.push_back(e);
        }
      }
      while (!mine.empty()) {
        if (nxListPushBelowDepth(head, mine.back(), 0xFFFF) == 0) overshoot.fetch_add(1);
        mine.pop_back();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(overshoot.load(), 0);
  uint32_t count = 0;
  for (TnxListEntry* e = head.lhFirst; e && count <= nodes.size(); e = e->leNext) ++count;
  EXPECT_EQ(count, nodes.size());
  EXPECT_EQ(DepthOf(head), nodes.size());
}

}  // namespace
}  // namespace revurov
