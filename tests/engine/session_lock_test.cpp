#include "engine/session_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/deadline_hooks.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/startup.h"
#include "support/fake_engine_clock.h"
#include "support/test_cancel_flag.h"

namespace revurov {
namespace {

using testing::TFakeEngineClock;
using testing::TTestCancelFlag;

// The code a call raised, 0 when it returned.
uint32_t CodeOf(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const EnxBaseException& e) {
    return e.ErrorCode();
  }
  return 0;
}

template <class F>
void OnOtherThread(F&& aCall) {
  std::thread t(std::forward<F>(aCall));
  t.join();
}

class SessionLockTest : public ::testing::Test {
protected:
  void TearDown() override { nxFatalErrorFlag.store(false); }

  platform::TInterfacePtr<TnxSimpleLock> MakeLock() {
    return platform::TInterfacePtr<TnxSimpleLock>(nxCreate<TnxSimpleLock>(
        [this](TnxSimpleLock& aLock) {
          cleanups.fetch_add(1);
          cleanupThread = std::this_thread::get_id();
          aLock.SetFailedCleanupDone();
        },
        TnxSessionStatsRef()));
  }

  uint32_t UnlockResult(TnxSimpleLock& aLock, uint32_t aResult = 0) {
    aLock.Unlock(aResult);
    return aResult;
  }

  TnxLowLevelStartupGuard library;
  TTestCancelFlag cancel;
  TFakeEngineClock clock;
  std::atomic<int> cleanups{0};
  std::thread::id cleanupThread;
};

TEST_F(SessionLockTest, ReentryFreesOnlyOnTheLastUnlockAndStampsLastLocked) {
  auto lock = MakeLock();
  EXPECT_EQ(lock->LastLocked(), 0u);
  lock->Lock();
  lock->Lock();
  TFakeEngineClock::Advance(7);
  EXPECT_EQ(UnlockResult(*lock), 0u);
  EXPECT_EQ(lock->LastLocked(), TFakeEngineClock::Now()) << "still held: now";
  uint64_t inside = TFakeEngineClock::Now();
  OnOtherThread([&] { EXPECT_EQ(CodeOf([&] { lock->Lock(); }), nxeIllegalReentry); });
  EXPECT_EQ(UnlockResult(*lock), 0u);
  TFakeEngineClock::Advance(50);
  EXPECT_EQ(lock->LastLocked(), inside);
  OnOtherThread([&] {
    lock->Lock();
    EXPECT_EQ(UnlockResult(*lock), 0u);
  });
}

TEST_F(SessionLockTest, SecondThreadIsRefusedAndLeavesTheOwnerUntouched) {
  auto lock = MakeLock();
  lock->Lock();
  OnOtherThread([&] {
    EXPECT_EQ(CodeOf([&] { lock->Lock(); }), nxeIllegalReentry);
    uint32_t result = 0;
    EXPECT_EQ(CodeOf([&] { lock->Unlock(result); }), nxeIllegalReentry);
    EXPECT_EQ(nxGetThreadExceptionHookInfo(), nullptr);
  });
  lock->Lock();  // still the owner, one level deeper
  EXPECT_EQ(UnlockResult(*lock), 0u);
  EXPECT_EQ(UnlockResult(*lock), 0u);
}

TEST_F(SessionLockTest, UnlockWithoutLockIsRefused) {
  auto lock = MakeLock();
  uint32_t result = 0;
  EXPECT_EQ(CodeOf([&] { lock->Unlock(result); }), nxeIllegalReentry);
}

TEST_F(SessionLockTest, FailureWhileIdleRefusesTheNextLockOnceAndGivesTheLevelBack) {
  auto lock = MakeLock();
  lock->Failed(false, false);
  EXPECT_EQ(CodeOf([&] { lock->Lock(); }), nxeTimeout);
  EXPECT_FALSE(TTestCancelFlag::Flag()->load()) << "cancel flag restored";
  // The refused Lock holds nothing: another thread gets in.
  OnOtherThread([&] {
    lock->Lock();
    EXPECT_EQ(UnlockResult(*lock), 0u);
  });
  lock->Lock();
  EXPECT_EQ(UnlockResult(*lock), 0u);
  EXPECT_EQ(cleanups.load(), 0);
}

TEST_F(SessionLockTest, FailureWhileInsideCancelsTheOwnerAndTurnsItsResult) {
  struct Case {
    const char* name;
    bool flagBefore;
    uint32_t result;
    uint32_t expected;
  };
  const Case cases[] = {
      {"success becomes cancelled", false, 0, nxeTimeout},
      {"an error result stays", false, 9999, 9999},
      {"a set cancel flag comes back set", true, 0, nxeTimeout},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto lock = MakeLock();
    TTestCancelFlag::Flag()->store(c.flagBefore);
    lock->Lock();
    EXPECT_FALSE(TTestCancelFlag::Flag()->load()) << "inside, the flag shows the session's failure";
    OnOtherThread([&] { lock->Failed(false, false); });
    EXPECT_TRUE(TTestCancelFlag::Flag()->load());
    EXPECT_EQ(UnlockResult(*lock, c.result), c.expected);
    EXPECT_EQ(TTestCancelFlag::Flag()->load(), c.flagBefore);
    lock->Lock();  // consumed by the Unlock
    EXPECT_EQ(UnlockResult(*lock), 0u);
    TTestCancelFlag::Flag()->store(false);
  }
  uint32_t code = 0;
  std::u16string message;
  EnxBaseException::GetLastConvertedException(code, message);
  EXPECT_EQ(code, nxeTimeout);
  EXPECT_EQ(message, u"Processing cancelled. Operation may have partially or fully succeeded");
}

TEST_F(SessionLockTest, RefusedSecondThreadDoesNotConsumeTheOwnersFailure) {
  auto lock = MakeLock();
  lock->Lock();
  OnOtherThread([&] {
    lock->Failed(false, false);
    EXPECT_EQ(CodeOf([&] { lock->Lock(); }), nxeIllegalReentry);
  });
  EXPECT_EQ(UnlockResult(*lock), nxeTimeout);
}

TEST_F(SessionLockTest, ReentryDoesNotConsumeAFailure) {
  auto lock = MakeLock();
  lock->Lock();
  lock->Failed(false, false);
  lock->Lock();
  EXPECT_EQ(UnlockResult(*lock), 0u);
  EXPECT_EQ(UnlockResult(*lock), nxeTimeout);
}

TEST_F(SessionLockTest, PermanentFailureWhileIdleCleansUpOnTheReporterOnce) {
  auto lock = MakeLock();
  std::thread::id reporter;
  OnOtherThread([&] {
    reporter = std::this_thread::get_id();
    lock->Failed(true, true);
  });
  EXPECT_EQ(cleanups.load(), 1);
  EXPECT_EQ(cleanupThread, reporter);
  auto waits = TFakeEngineClock::Waits();
  ASSERT_EQ(waits.size(), 1u);
  EXPECT_TRUE(waits[0].Signalled) << "the reporter returns once the clean-up signalled";
  EXPECT_TRUE(lock->IsFailedPermanent());
  EXPECT_EQ(CodeOf([&] { lock->Lock(); }), nxeInvalidHandle);
  lock->Failed(true, false);
  lock->Failed(false, false);
  EXPECT_EQ(cleanups.load(), 1);
}

TEST_F(SessionLockTest, PermanentFailureWhileInsideCleansUpOnTheLastExit) {
  auto lock = MakeLock();
  lock->Lock();
  lock->Lock();
  OnOtherThread([&] {
    lock->Failed(true, true);
    EXPECT_EQ(cleanups.load(), 0);
    auto waits = TFakeEngineClock::Waits();
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0].Milliseconds, kFailedCleanupWait);
    EXPECT_FALSE(waits[0].Signalled);
    EXPECT_EQ(CodeOf([&] { lock->Lock(); }), nxeInvalidHandle);
  });
  EXPECT_TRUE(TTestCancelFlag::Flag()->load());
  EXPECT_EQ(UnlockResult(*lock), 0u);
  EXPECT_EQ(cleanups.load(), 0);
  EXPECT_EQ(UnlockResult(*lock), 0u) << "a permanent failure reports no cancel";
  EXPECT_EQ(cleanups.load(), 1);
  EXPECT_EQ(cleanupThread, std::this_thread::get_id());
  EXPECT_FALSE(TTestCancelFlag::Flag()->load());
  EXPECT_EQ(CodeOf([&] { lock->Lock(); }), nxeInvalidHandle);
}

TEST_F(SessionLockTest, ReporterWaitsInRealTimeUntilTheLastExitSignals) {
  nxSetEngineClock(nullptr, nullptr, nullptr);
  auto lock = MakeLock();
  std::atomic<bool> inside{false};
  std::thread owner([&] {
    lock->Lock();
    inside.store(true);
    // The report shows in this thread's cancel flag; bounded in time.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!TTestCancelFlag::Flag()->load() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    EXPECT_EQ(UnlockResult(*lock), 0u);
  });
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!inside.load() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  auto start = std::chrono::steady_clock::now();
  lock->Failed(true, true);
  EXPECT_EQ(cleanups.load(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "woken, not timed out";
  owner.join();
  EXPECT_NE(cleanupThread, std::this_thread::get_id());
}

TEST_F(SessionLockTest, CleanupExceptionsStayInside) {
  auto lock = platform::TInterfacePtr<TnxSimpleLock>(nxCreate<TnxSimpleLock>(
      [this](TnxSimpleLock&) {
        cleanups.fetch_add(1);
        throw std::runtime_error("clean-up failed");
      },
      TnxSessionStatsRef()));
  lock->Lock();
  lock->Failed(true, false);
  EXPECT_EQ(UnlockResult(*lock), 0u);
  EXPECT_EQ(cleanups.load(), 1);
}

TEST_F(SessionLockTest, FatalErrorFlagRefusesBeforeAnythingElse) {
  auto lock = MakeLock();
  lock->Lock();
  nxFatalErrorFlag.store(true);
  EXPECT_EQ(CodeOf([&] { lock->Lock(); }), nxeTransactionCorrupt) << "even for the owner";
  OnOtherThread([&] { EXPECT_EQ(CodeOf([&] { lock->Lock(); }), nxeTransactionCorrupt); });
  lock->Failed(true, false);
  EXPECT_EQ(CodeOf([&] { lock->Lock(); }), nxeTransactionCorrupt);
  nxFatalErrorFlag.store(false);
  EXPECT_EQ(UnlockResult(*lock), 0u);
  EXPECT_EQ(CodeOf([&] { lock->Lock(); }), nxeInvalidHandle);
}

TEST_F(SessionLockTest, WorksWithoutACancelFlag) {
  nxResetDeadlineHooks();
  auto lock = MakeLock();
  lock->Lock();
  lock->Failed(false, false);
  EXPECT_EQ(UnlockResult(*lock), nxeTimeout);
  lock->Failed(false, false);
  EXPECT_EQ(CodeOf([&] { lock->Lock(); }), nxeTimeout);
}

TEST_F(SessionLockTest, StatisticsCountEntriesAndTheRecordClosesWithTheLock) {
  auto stats = TnxSessionStats::Create(u"user", u"here");
  {
    auto lock = platform::TInterfacePtr<TnxSimpleLock>(nxCreate<TnxSimpleLock>(nullptr, stats));
    lock->Lock();
    lock->Lock();
    EXPECT_EQ(TnxSessionStats::Current().get(), stats.get());
    EXPECT_EQ(UnlockResult(*lock), 0u);
    EXPECT_EQ(TnxSessionStats::Current().get(), stats.get());
    EXPECT_EQ(UnlockResult(*lock), 0u);
    EXPECT_FALSE(TnxSessionStats::Current());
    lock->Failed(false, false);
    EXPECT_EQ(CodeOf([&] { lock->Lock(); }), nxeTimeout);
    EXPECT_FALSE(TnxSessionStats::Current()) << "a refused Lock starts no period";
    EXPECT_EQ(stats->Closed(), 0.0);
  }
  TnxSessionStatsCounters counters{};
  stats->Update(counters);
  EXPECT_EQ(counters[sscCalls], 1);
  EXPECT_NE(stats->Closed(), 0.0);
}

TEST_F(SessionLockTest, QueryInterfaceAnswersTheLockInterface) {
  auto lock = MakeLock();
  void* obj = nullptr;
  ASSERT_EQ(lock->QueryInterface(InxSimpleLock::IID, &obj), platform::S_OK);
  auto* intf = static_cast<InxSimpleLock*>(obj);
  EXPECT_FALSE(intf->IsFailedPermanent());
  intf->Release();
}

// Four threads take turns at random operations; after each, the lock must
// answer as a plain sequential model of it does.
class LockModel {
public:
  static constexpr int kThreads = 4;
  int owner = -1;
  int depth = 0;
  bool failed = false;
  bool permanent = false;
  bool cleaned = false;
  bool fatal = false;
  bool cancel[kThreads] = {};
  bool orig[kThreads] = {};
  int cleanupOn = -1;

  uint32_t Lock(int t) {
    if (fatal) return nxeTransactionCorrupt;
    if (permanent) return nxeInvalidHandle;
    if (owner >= 0 && owner != t) return nxeIllegalReentry;
    if (owner == t) {
      ++depth;
      return 0;
    }
    if (failed) {
      failed = false;
      return nxeTimeout;
    }
    orig[t] = cancel[t];
    cancel[t] = false;
    owner = t;
    depth = 1;
    return 0;
  }
  uint32_t Unlock(int t) {
    if (owner != t) return nxeIllegalReentry;
    if (--depth > 0) return 0;
    uint32_t result = 0;
    cancel[t] = orig[t];
    owner = -1;
    if (permanent) {
      if (!cleaned) cleaned = true, cleanupOn = t;
    } else if (failed) {
      failed = false;
      result = nxeTimeout;
    }
    return result;
  }
  void Failed(int t, bool aPermanent) {
    if (aPermanent) permanent = true;
    if (!failed || (permanent && !cleaned)) {
      failed = true;
      if (owner >= 0) cancel[owner] = true;
      if (permanent && !cleaned && owner < 0) cleaned = true, cleanupOn = t;
    }
  }
};

class TurnTaker {
public:
  explicit TurnTaker(int aThreads) : ttWork(aThreads) {}
  // Runs aWork on thread aThread and waits for it.
  void Run(int aThread, std::function<void()> aWork) {
    std::unique_lock<std::mutex> guard(ttLock);
    ttWork[aThread] = std::move(aWork);
    ttChanged.notify_all();
    ttChanged.wait(guard, [&] { return !ttWork[aThread]; });
  }
  void Stop() {
    std::lock_guard<std::mutex> guard(ttLock);
    ttStop = true;
    ttChanged.notify_all();
  }
  void Serve(int aThread) {
    std::unique_lock<std::mutex> guard(ttLock);
    for (;;) {
      ttChanged.wait(guard, [&] { return ttStop || ttWork[aThread]; });
      if (!ttWork[aThread]) return;
      guard.unlock();
      ttWork[aThread]();
      guard.lock();
      ttWork[aThread] = nullptr;
      ttChanged.notify_all();
    }
  }

private:
  std::mutex ttLock;
  std::condition_variable ttChanged;
  std::vector<std::function<void()>> ttWork;
  bool ttStop = false;
};

TEST_F(SessionLockTest, RandomInterleavingsOfFourThreadsFollowTheModel) {
  constexpr int kRuns = 200;
  constexpr int kSteps = 50;  // 10^4 operations in all
  std::mt19937 random(4711);
  TurnTaker turns(LockModel::kThreads);
  std::vector<std::thread> workers;
  for (int t = 0; t < LockModel::kThreads; ++t) workers.emplace_back([&turns, t] { turns.Serve(t); });

  // A failed assertion leaves the lambda; the workers are stopped after it.
  auto runs = [&] {
  for (int run = 0; run < kRuns; ++run) {
    cleanups.store(0);
    LockModel model;
    auto lock = MakeLock();
    for (int step = 0; step < kSteps; ++step) {
      int t = static_cast<int>(random() % LockModel::kThreads);
      int op = static_cast<int>(random() % 100);
      uint32_t got = 0;
      uint32_t want = 0;
      bool cancelNow = false;
      std::thread::id who;
      turns.Run(t, [&] { who = std::this_thread::get_id(); });
      int cleanedBefore = model.cleaned;
      if (op < 45) {
        want = model.Lock(t);
        turns.Run(t, [&] {
          got = CodeOf([&] { lock->Lock(); });
        });
      } else if (op < 88) {
        want = model.Unlock(t);
        turns.Run(t, [&] {
          got = CodeOf([&] {
            uint32_t r = 0;
            lock->Unlock(r);
            if (r) throw EnxBaseException(r, u"result");
          });
        });
      } else if (op < 98) {
        bool permanent = random() % 8 == 0;
        model.Failed(t, permanent);
        turns.Run(t, [&] {
          lock->Failed(permanent, false);
        });
      } else {
        model.fatal = !model.fatal;
        nxFatalErrorFlag.store(model.fatal);
      }
      turns.Run(t, [&] { cancelNow = TTestCancelFlag::Flag()->load(); });
      ASSERT_EQ(got, want) << "run " << run << " step " << step << " thread " << t << " op " << op;
      ASSERT_EQ(cancelNow, model.cancel[t]) << "run " << run << " step " << step << " thread " << t << " op " << op << " owner " << model.owner << " failed " << model.failed << " perm " << model.permanent;
      ASSERT_EQ(cleanups.load(), model.cleaned ? 1 : 0) << "run " << run << " step " << step;
      if (!cleanedBefore && model.cleaned) {
        EXPECT_EQ(cleanupThread, who);
      }
    }
    // Leave every thread outside again for the next run.
    nxFatalErrorFlag.store(false);
    model.fatal = false;
    while (model.owner >= 0) {
      int t = model.owner;
      model.Unlock(t);
      turns.Run(t, [&] {
        uint32_t r = 0;
        lock->Unlock(r);
      });
    }
    for (int t = 0; t < LockModel::kThreads; ++t) turns.Run(t, [] { TTestCancelFlag::Flag()->store(false); });
  }
  };
  runs();
  turns.Stop();
  for (auto& w : workers) w.join();
}

// Free running: no turns, so the lock's own word is all that orders them.
TEST_F(SessionLockTest, FreeRunningThreadsCleanUpOnceAndRefuseAfterThePermanentFailure) {
  constexpr int kRounds = 20;
  constexpr int kOps = 500;
  for (int round = 0; round < kRounds; ++round) {
    cleanups.store(0);
    auto lock = MakeLock();
    std::atomic<bool> reported{false};
    std::atomic<int> wrongAfterPermanent{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 random(round * 10 + t);
        int depth = 0;
        for (int i = 0; i < kOps; ++i) {
          if (t == 0 && i == kOps / 2) {
            lock->Failed(true, false);
            reported.store(true);
          }
          int op = static_cast<int>(random() % 10);
          if (op < 5 && depth < 3) {
            bool after = reported.load();
            uint32_t code = CodeOf([&] { lock->Lock(); });
            if (code == 0) ++depth;
            if (after && code != nxeInvalidHandle && code != nxeIllegalReentry && code != 0) wrongAfterPermanent++;
            if (after && code == 0 && depth == 1) wrongAfterPermanent++;  // a first entry after it
          } else if (op < 9 && depth > 0) {
            uint32_t r = 0;
            lock->Unlock(r);
            --depth;
          } else if (op == 9) {
            lock->Failed(false, false);
          }
        }
        while (depth-- > 0) {
          uint32_t r = 0;
          lock->Unlock(r);
        }
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrongAfterPermanent.load(), 0);
    EXPECT_EQ(cleanups.load(), 1) << "round " << round;
  }
}

}  // namespace
}  // namespace revurov
