#include "lowlevel/heap/maintenance_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace revurov::mm {
namespace {

// Records the trims as letters: p pools, b blocks, h physical, r regions.
std::mutex gLogLock;
std::string gLog;
int gThrowsLeft = 0;
TnxMaintenanceThread* gSelf = nullptr;
bool gSelfCleanupReturned = false;

void Log(char c) {
  std::lock_guard lock(gLogLock);
  gLog += c;
}
std::string TakeLog() {
  std::lock_guard lock(gLogLock);
  return std::exchange(gLog, {});
}
void Pools() {
  Log('p');
  std::lock_guard lock(gLogLock);
  if (gThrowsLeft > 0) {
    --gThrowsLeft;
    throw std::runtime_error("trim failed");
  }
}
void Blocks() { Log('b'); }
void Physical() { Log('h'); }
void Regions() { Log('r'); }
constexpr TnxMaintenanceOps kOps{&Pools, &Blocks, &Physical, &Regions};

void WaitForLogLength(std::size_t n) {
  for (int i = 0; i < 5000; ++i) {
    {
      std::lock_guard lock(gLogLock);
      if (gLog.size() >= n) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

class Maintenance : public ::testing::Test {
protected:
  void SetUp() override {
    TakeLog();
    gThrowsLeft = 0;
  }
};

TEST_F(Maintenance, RotationRunsOneTrimPerPeriodAfterThePoolCleanup) {
  TnxMaintenanceThread t(kOps, 1);
  t.Start();
  // Ticks: step 0 (nothing), then committed, physical, committed,
  // physical, regions, and round again.
  WaitForLogLength(19);
  t.Stop();
  EXPECT_EQ(TakeLog().substr(0, 19), "ppbphpbphprpbphpbph");
}

TEST_F(Maintenance, CleanupNowRunsTwoFullRoundsAndRestartsTheRotation) {
  TnxMaintenanceThread t(kOps, 60000);
  t.Start();
  EXPECT_TRUE(t.CleanupNow(10000));
  EXPECT_EQ(TakeLog(), "ppbhrpbhr");
  EXPECT_TRUE(t.CleanupNow(10000));
  EXPECT_EQ(TakeLog(), "ppbhrpbhr");
  t.Stop();
  EXPECT_FALSE(t.Running());
  // After the end, a request returns at once.
  EXPECT_TRUE(t.CleanupNow(10000));
  EXPECT_EQ(TakeLog(), "");
}

TEST_F(Maintenance, EleventhFailureEndsTheThread) {
  TnxMaintenanceThread t(kOps, 60000);
  t.Start();
  gThrowsLeft = 10;
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(t.CleanupNow(10000));  // answered though the round failed
  EXPECT_TRUE(t.Running());
  {
    std::lock_guard lock(gLogLock);
    gThrowsLeft = 1;
  }
  t.CleanupNow(10000);
  for (int i = 0; i < 5000 && !t.Ended(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(t.Ended());
  EXPECT_FALSE(t.Running());
  TakeLog();
  EXPECT_TRUE(t.CleanupNow(10000));
  EXPECT_EQ(TakeLog(), "");
}

TEST_F(Maintenance, StopRightAfterStartJoinsWithoutWaitingAPeriod) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) {
    TnxMaintenanceThread t(kOps, 60000);
    t.Start();
    t.Stop();
    EXPECT_FALSE(t.Running());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(TakeLog(), "");
}

void SelfRequest() {
  Log('s');
  gSelfCleanupReturned = gSelf->CleanupNow(60000);
}
constexpr TnxMaintenanceOps kSelfOps{&SelfRequest, &Blocks, &Physical, &Regions};

TEST_F(Maintenance, RequestFromTheThreadItselfReturnsAtOnce) {
  TnxMaintenanceThread t(kSelfOps, 1);
  gSelf = &t;
  gSelfCleanupReturned = false;
  t.Start();
  WaitForLogLength(1);
  t.Stop();
  EXPECT_TRUE(gSelfCleanupReturned);
  gSelf = nullptr;
}

}  // namespace
}  // namespace revurov::mm
