// The lock-free traffic counters: exact totals from more live threads than
// there are thread slots and from threads that reuse the indexes of ended
// ones, Clear as a baseline, and one thread adding to several counter sets.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "transport/traffic_counters.h"

namespace revurov {
namespace {

TnxTrafficTotals Message(int64_t aBytes) {
  TnxTrafficTotals delta{};
  delta[tcMessagesSent] = 1;
  delta[tcActualBytesSent] = aBytes;
  delta[tcUncompressTime] = 2;
  return delta;
}

TEST(TrafficCounters, TotalsAreExactFromMoreThreadsThanSlots) {
  TnxTrafficCounters counters;
  constexpr int kThreads = static_cast<int>(nxTrafficThreadSlots) + 8, kAdds = 300;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&] {
      for (int n = 0; n < kAdds; ++n) {
        counters.Add(Message(10));
        if (n % 50 == 0) (void)counters.Totals();  // reads beside the adds
      }
    });
  for (auto& t : threads) t.join();
  const TnxTrafficTotals totals = counters.Totals();
  EXPECT_EQ(totals[tcMessagesSent], kThreads * kAdds);
  EXPECT_EQ(totals[tcActualBytesSent], int64_t{kThreads} * kAdds * 10);
  EXPECT_EQ(totals[tcUncompressTime], int64_t{kThreads} * kAdds * 2);
  EXPECT_EQ(totals[tcMessagesReceived], 0);
}

TEST(TrafficCounters, ThreadsTakingOverEndedThreadsIndexesAddOn) {
  TnxTrafficCounters counters;
  constexpr int kGenerations = 20, kThreads = 8, kAdds = 200;
  for (int g = 0; g < kGenerations; ++g) {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
      threads.emplace_back([&] {
        for (int n = 0; n < kAdds; ++n) counters.Add(Message(1));
      });
    for (auto& t : threads) t.join();
  }
  EXPECT_EQ(counters.Total(tcMessagesSent), kGenerations * kThreads * kAdds);
}

TEST(TrafficCounters, ClearCountsFromZeroAgain) {
  TnxTrafficCounters counters;
  counters.Add(Message(100));
  std::thread([&] { counters.Add(Message(50)); }).join();
  counters.Clear();
  EXPECT_EQ(counters.Totals(), TnxTrafficTotals{});
  counters.Add(Message(7));
  EXPECT_EQ(counters.Total(tcActualBytesSent), 7);
  EXPECT_EQ(counters.Total(tcMessagesSent), 1);
}

TEST(TrafficCounters, OneThreadKeepsSeveralSetsApart) {
  constexpr int kSets = 6;
  std::vector<std::unique_ptr<TnxTrafficCounters>> sets;
  for (int i = 0; i < kSets; ++i) sets.push_back(std::make_unique<TnxTrafficCounters>());
  for (int round = 0; round < 100; ++round)
    for (int i = 0; i < kSets; ++i) sets[static_cast<size_t>(i)]->Add(Message(i + 1));
  for (int i = 0; i < kSets; ++i) {
    EXPECT_EQ(sets[static_cast<size_t>(i)]->Total(tcMessagesSent), 100);
    EXPECT_EQ(sets[static_cast<size_t>(i)]->Total(tcActualBytesSent), 100 * (i + 1));
  }
  sets.clear();
  TnxTrafficCounters fresh;
  fresh.Add(Message(3));
  EXPECT_EQ(fresh.Total(tcMessagesSent), 1) << "nothing left over from a freed set";
}

}  // namespace
}  // namespace revurov
