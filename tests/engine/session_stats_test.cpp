#include "engine/session_stats.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lowlevel/startup.h"
#include "platform/thread_clock.h"

namespace revurov {
namespace {

// Performance counter (ns) and processor time (100 ns) that move only when
// a test moves them.
std::atomic<int64_t> gFakeCounter{0};
std::atomic<uint64_t> gFakeCycles{0};
int64_t FakeCounter() { return gFakeCounter.load(); }
bool FakeCycles(const platform::TThreadCpuClock&, uint64_t& aValue) {
  aValue = gFakeCycles.load();
  return true;
}

class SessionStatsTest : public ::testing::Test {
protected:
  SessionStatsTest() {
    gFakeCounter.store(1'000'000'000);
    gFakeCycles.store(500);
    nxSetSessionStatsClocks(&FakeCounter, &FakeCycles);
  }
  ~SessionStatsTest() override { nxSetSessionStatsClocks(nullptr, nullptr); }

  static void Advance(int64_t aMilliseconds, uint64_t aCycles) {
    gFakeCounter.fetch_add(aMilliseconds * 1'000'000);
    gFakeCycles.fetch_add(aCycles);
  }
  static TnxSessionStatsCounters Counters(TnxSessionStats& aStats) {
    TnxSessionStatsCounters counters{};
    aStats.Update(counters);
    return counters;
  }

  TnxLowLevelStartupGuard library;
};

TEST_F(SessionStatsTest, RecordsAreNumberedInCreationOrderAndListedNewestFirst) {
  auto first = TnxSessionStats::Create(u"Anna", u"10.0.0.1");
  auto second = TnxSessionStats::Create(u"Bert", u"pipe");
  auto third = TnxSessionStats::Create(u"Carl", u"");
  EXPECT_EQ(second->SessionNumber(), first->SessionNumber() + 1);
  EXPECT_EQ(third->SessionNumber(), second->SessionNumber() + 1);
  EXPECT_EQ(TnxSessionStats::Head().get(), third.get());
  EXPECT_EQ(third->Next().get(), second.get());
  EXPECT_EQ(second->Next().get(), first.get());
  EXPECT_EQ(first->UserName(), u"Anna");
  EXPECT_EQ(first->ConnectedFrom(), u"10.0.0.1");
  EXPECT_GT(first->Started(), 0.0);
  EXPECT_EQ(first->Closed(), 0.0);
  for (auto* s : {first.get(), second.get(), third.get()}) s->Close();
}

TEST_F(SessionStatsTest, EnterAndLeaveTimeTheBusyPeriod) {
  auto stats = TnxSessionStats::Create(u"u", u"c");
  stats->Enter();
  EXPECT_EQ(TnxSessionStats::Current().get(), stats.get());
  Advance(12, 300);
  stats->Leave();
  EXPECT_FALSE(TnxSessionStats::Current());
  Advance(100, 1000);  // idle: not counted
  stats->Enter();
  Advance(3, 20);
  stats->Leave();
  auto counters = Counters(*stats);
  EXPECT_EQ(counters[sscCalls], 2);
  EXPECT_EQ(counters[sscTime], 15) << "milliseconds in the copy";
  EXPECT_EQ(counters[sscCycles], 320);
  stats->Close();
}

TEST_F(SessionStatsTest, UpdateDuringALongOperationCountsSoFarAndGoesOn) {
  auto stats = TnxSessionStats::Create(u"u", u"c");
  stats->Enter();
  Advance(5, 40);
  EXPECT_EQ(Counters(*stats)[sscTime], 5);
  Advance(3, 2);
  auto counters = Counters(*stats);
  EXPECT_EQ(counters[sscTime], 8);
  EXPECT_EQ(counters[sscCycles], 42);
  Advance(1, 1);
  stats->Leave();
  counters = Counters(*stats);
  EXPECT_EQ(counters[sscTime], 9);
  EXPECT_EQ(counters[sscCycles], 43);
  EXPECT_EQ(counters[sscCalls], 1);
  stats->Close();
}

TEST_F(SessionStatsTest, TimeInTheCopyIsTruncatedToMilliseconds) {
  auto stats = TnxSessionStats::Create(u"u", u"c");
  stats->Enter();
  gFakeCounter.fetch_add(2'999'999);
  stats->Leave();
  EXPECT_EQ(Counters(*stats)[sscTime], 2);
  stats->Close();
}

TEST_F(SessionStatsTest, ClosedRecordIgnoresEnterAndLeaveButCountStillAdds) {
  auto stats = TnxSessionStats::Create(u"u", u"c");
  stats->Enter();
  Advance(4, 4);
  std::thread([&] { stats->Close(); }).join();  // closed by another thread: still ours
  EXPECT_NE(stats->Closed(), 0.0);
  EXPECT_EQ(TnxSessionStats::Current().get(), stats.get());
  TnxSessionStats::Count(sscBlocksRead, 7);
  Advance(10, 10);
  stats->Leave();
  EXPECT_FALSE(TnxSessionStats::Current());
  stats->Enter();
  EXPECT_FALSE(TnxSessionStats::Current());
  auto counters = Counters(*stats);
  EXPECT_EQ(counters[sscBlocksRead], 7);
  EXPECT_EQ(counters[sscCalls], 1);
  EXPECT_EQ(counters[sscTime], 4) << "closing ended the period";
  EXPECT_EQ(stats->ExtClosed(), stats->Closed());
}

TEST_F(SessionStatsTest, CountWithoutACurrentRecordDoesNothing) {
  auto stats = TnxSessionStats::Create(u"u", u"c");
  TnxSessionStats::Count(sscStatements, 3);
  stats->Enter();
  TnxSessionStats::Count(sscStatements, 3);
  TnxSessionStats::Count(sscTransCommit, 1);
  stats->Leave();
  TnxSessionStats::Count(sscStatements, 3);
  auto counters = Counters(*stats);
  EXPECT_EQ(counters[sscStatements], 3);
  EXPECT_EQ(counters[sscTransCommit], 1);
  stats->Close();
}

TEST_F(SessionStatsTest, ProcessorTimeAdvancesInHundredNanosecondUnits) {
  nxSetSessionStatsClocks(nullptr, nullptr);
  platform::TThreadCpuClock clock;
  ASSERT_TRUE(platform::CurrentThreadCpuClock(clock));
  auto stats = TnxSessionStats::Create(u"u", u"c");
  uint64_t start = 0;
  ASSERT_TRUE(platform::ReadThreadCpuClock(clock, start));
  stats->Enter();
  // The burn is timed from inside the session, so whatever the set-up cost
  // cannot use it up.
  uint64_t entered = 0;
  ASSERT_TRUE(platform::ReadThreadCpuClock(clock, entered));
  uint64_t now = entered;
  volatile uint64_t sink = 0;
  // Burn at least a millisecond of processor time; bounded.
  for (int i = 0; i < 100'000'000 && now - entered < 10'000; ++i) {
    sink = sink + static_cast<uint64_t>(i);
    if (i % 1000 == 0) platform::ReadThreadCpuClock(clock, now);
  }
  stats->Leave();
  uint64_t end = 0;
  ASSERT_TRUE(platform::ReadThreadCpuClock(clock, end));
  auto counters = Counters(*stats);
  EXPECT_GE(counters[sscCycles], 5'000);
  EXPECT_LE(static_cast<uint64_t>(counters[sscCycles]), end - start);
  stats->Close();
}

TEST_F(SessionStatsTest, OnlyTheNewestClosedRecordsStayAndAWalkerNeverMeetsAFreedOne) {
  constexpr int kExtra = 40;
  auto oldest = TnxSessionStats::Create(u"oldest", u"");
  auto open = TnxSessionStats::Create(u"open", u"");
  oldest->Close();

  std::atomic<bool> done{false};
  std::atomic<int> badOrder{0};
  std::thread walker([&] {
    for (int walk = 0; walk < 100000 && !done.load(); ++walk) {
      int32_t previous = INT32_MAX;
      int steps = 0;
      for (auto r = TnxSessionStats::Head(); r && steps < 50; r = r->Next(), ++steps) {
        if (r->SessionNumber() >= previous || r->UserName().empty()) badOrder++;
        previous = r->SessionNumber();
      }
    }
  });
  std::vector<TnxSessionStatsRef> made;
  for (int i = 0; i < kNewestClosedKept + kExtra; ++i) {
    auto r = TnxSessionStats::Create(u"s", u"");
    r->Close();
    if (i == 0) made.push_back(r);  // held while it leaves the list
  }
  done.store(true);
  walker.join();
  EXPECT_EQ(badOrder.load(), 0);

  int closed = 0;
  bool openListed = false;
  bool oldestListed = false;
  bool firstMadeListed = false;
  for (auto r = TnxSessionStats::Head(); r; r = r->Next()) {
    if (r->Closed() != 0.0) ++closed;
    openListed |= r.get() == open.get();
    oldestListed |= r.get() == oldest.get();
    firstMadeListed |= r.get() == made[0].get();
  }
  EXPECT_EQ(closed, kNewestClosedKept);
  EXPECT_TRUE(openListed) << "an open record stays";
  EXPECT_FALSE(oldestListed);
  EXPECT_FALSE(firstMadeListed);
  // A record out of the list still reads and walks on.
  EXPECT_EQ(made[0]->UserName(), u"s");
  EXPECT_EQ(made[0]->Next().get(), open.get());
  open->Close();
}

}  // namespace
}  // namespace revurov
