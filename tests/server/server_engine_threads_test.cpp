// The engine's threads: the cleanup timer, and sessions opened and closed
// on several threads while the engine starts and stops (run under
// ThreadSanitizer by ./test.sh --tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "lowlevel/sync/read_write_portal.h"
#include "server/server_engine.h"
#include "server/server_session.h"
#include "support/server_fixture.h"

namespace revurov::testing {
namespace {

// Polls aDone every millisecond, at most 10,000 times.
template <class F>
bool Eventually(F&& aDone) {
  for (int i = 0; i < 10000; ++i) {
    if (aDone()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return aDone();
}

class ServerEngineThreads : public ServerFixture {};

TEST_F(ServerEngineThreads, CleanupTimerNeverWaitsForTheFolderList) {
  engine->SetCleanupInterval(1);
  engine->SetMaxRAM(16);
  engine->SetState(nxsStopped);
  {
    TnxPadlockGuard held(engine->FoldersPadlock());
    engine->SetState(nxsStarted);
    // Ticks pass without a run while the list is taken.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(engine->CleanupRuns(), 0);
  }
  EXPECT_TRUE(Eventually([&] { return engine->CleanupRuns() > 0; }));
  {
    TnxPadlockGuard held(engine->FoldersPadlock());
    // The stop joins the timer while the list is still taken here.
    engine->SetState(nxsStopped);
  }
  const int64_t runs = engine->CleanupRuns();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(engine->CleanupRuns(), runs);
}

TEST_F(ServerEngineThreads, SessionsOpenAndCloseOnFourThreadsThroughAThousandStops) {
  constexpr int kCycles = 1000;
  constexpr int kThreads = 4;
  constexpr int kMaxOpensPerThread = 1000000;
  engine->SetMaxRAM(16);
  engine->SetState(nxsStopped);
  // Clients hold no session across a stop: a stop frees every session.
  TnxInternalReadWritePortal clients;
  std::atomic<bool> done{false};
  std::atomic<int64_t> opened{0}, refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kMaxOpensPerThread && !done.load(); ++i) {
        TnxPortalReadGuard inside(clients);
        TnxAbstractServerObject* session = nullptr;
        if (engine->SessionOpen(session, u"user", u"", u"thread", 1000) != 0) {
          EXPECT_EQ(session, nullptr);
          refused.fetch_add(1);
          continue;
        }
        opened.fetch_add(1);
        // Every third session is left for the stop to free.
        if ((i + t) % 3 != 0) {
          EXPECT_EQ(session->Close(), 0u);
        }
      }
    });
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    engine->SetState(nxsStarted);
    TnxPortalWriteGuard alone(clients);
    engine->SetState(nxsStopped);
    ASSERT_EQ(engine->SessionCount(), 0) << cycle;
  }
  done.store(true);
  for (std::thread& t : threads) t.join();
  EXPECT_GT(opened.load() + refused.load(), 0);
  EXPECT_TRUE(engine->Sessions().empty());
}

}  // namespace
}  // namespace revurov::testing
