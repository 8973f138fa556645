#include "platform/shared_memory.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "platform/process.h"

namespace revurov::platform {
namespace {

using TLockResult = TSharedMutex::TLockResult;

constexpr uint32_t kGiveUpMs = 10000;  // bounds every wait on another process

// A fresh shared object per test, unlinked at the end however it went.
class SharedMemoryTest : public ::testing::Test {
protected:
  void SetUp() override {
    static int serial = 0;
    name = "revurov_shm_test_" + std::to_string(CurrentProcessId()) + "_" + std::to_string(++serial);
  }
  void TearDown() override { TSharedMemory::Unlink(name); }

  // Opens (creating) the object with size bytes and maps all of it.
  void MakeMapped(TSharedMemory& memory, TSharedView& view, std::size_t size) {
    ASSERT_TRUE(memory.Open(name, true)) << errno;
    ASSERT_TRUE(memory.Resize(size));
    ASSERT_TRUE(view.Map(memory, size, true)) << errno;
  }

  std::string name;
};

// Waits, bounded, until a word in shared memory leaves 0.
bool AwaitNonZero(std::atomic<uint32_t>& word) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGiveUpMs);
  while (word.load() == 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    FutexWait(word, 0, 50);
  }
  return true;
}

// A child that runs body and then waits to be killed; it never returns.
template <typename Body>
pid_t ForkHolding(Body body) {
  const pid_t child = fork();
  if (child == 0) {
    body();
    for (;;) pause();
  }
  return child;
}

void KillAndReap(pid_t child) {
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
}

TEST_F(SharedMemoryTest, CreatedObjectIsFoundByNameUntilUnlinked) {
  TSharedMemory absent;
  EXPECT_FALSE(absent.Open(name, false));
  EXPECT_EQ(errno, ENOENT);

  TSharedMemory made;
  TSharedView madeView;
  MakeMapped(made, madeView, 8192);
  std::memcpy(madeView.Data() + 4096, "shared", 6);

  TSharedMemory found;
  ASSERT_TRUE(found.Open(name, false));
  TSharedMemoryState state;
  ASSERT_TRUE(found.State(state));
  EXPECT_EQ(state.Size, 8192u);
  EXPECT_FALSE(state.Unlinked);
  TSharedView foundView;
  ASSERT_TRUE(foundView.Map(found, 8192, false));
  found.Close();  // the view outlives the handle
  EXPECT_EQ(std::memcmp(foundView.Data() + 4096, "shared", 6), 0);
  EXPECT_EQ(foundView.Data()[0], 0);  // grown bytes read as zero

  ASSERT_TRUE(TSharedMemory::Unlink(name));
  ASSERT_TRUE(made.State(state));
  EXPECT_TRUE(state.Unlinked);
  EXPECT_EQ(std::memcmp(madeView.Data() + 4096, "shared", 6), 0);  // held memory lives on
  EXPECT_FALSE(found.Open(name, false));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(SharedMemoryTest, RefusesNamesThatAreNoPlainName) {
  for (const std::string& bad : {std::string(), std::string("a/b"), std::string(255, 'n')}) {
    TSharedMemory memory;
    EXPECT_FALSE(memory.Open(bad, true)) << bad;
    EXPECT_EQ(errno, EINVAL) << bad;
    EXPECT_FALSE(TSharedMemory::Unlink(bad));
  }
  TSharedMemory longest;
  EXPECT_TRUE(longest.Open(std::string(254, 'n'), true)) << errno;
  TSharedMemory::Unlink(std::string(254, 'n'));
}

TEST_F(SharedMemoryTest, LockExcludesOtherOpensAndEndsWithItsHolder) {
  TSharedMemory first, second;
  ASSERT_TRUE(first.Open(name, true));
  ASSERT_TRUE(second.Open(name, false));
  {
    TSharedMemoryLock held(first, 0);
    ASSERT_TRUE(held.Locked());
    EXPECT_FALSE(second.Lock(20));
    EXPECT_EQ(errno, ETIMEDOUT);
  }
  ASSERT_TRUE(second.Lock(0));
  ASSERT_TRUE(second.Unlock());

  // A holder that dies leaves no lock behind.
  TSharedView view;
  ASSERT_TRUE(first.Resize(4096));
  ASSERT_TRUE(view.Map(first, 4096, true));
  auto& locked = *new (view.Data()) std::atomic<uint32_t>(0);
  const pid_t child = ForkHolding([&] {
    TSharedMemory own;
    if (!own.Open(name, false) || !own.Lock(0)) _exit(1);
    own.Release();  // keep it open and locked until killed
    locked.store(1);
    FutexWake(locked, 1);
  });
  ASSERT_TRUE(AwaitNonZero(locked));
  EXPECT_FALSE(first.Lock(0));
  KillAndReap(child);
  EXPECT_TRUE(first.Lock(kGiveUpMs));
}

TEST_F(SharedMemoryTest, OwnerRecordTellsALiveOwnerFromADeadOne) {
  TSharedMemory memory;
  TSharedView view;
  MakeMapped(memory, view, 4096);
  uint8_t* record = view.Data() + 16;
  auto& written = *new (view.Data()) std::atomic<uint32_t>(0);

  const TProcessIdentity self = CurrentProcessIdentity();
  ASSERT_NE(self.StartTime, 0u);
  StoreOwner(record, self);
  const uint8_t pidBytes[4] = {uint8_t(self.Pid), uint8_t(self.Pid >> 8), uint8_t(self.Pid >> 16),
                               uint8_t(self.Pid >> 24)};
  EXPECT_EQ(std::memcmp(record, pidBytes, 4), 0);  // little-endian, start time at +8
  EXPECT_EQ(LoadOwner(record), self);
  EXPECT_TRUE(ProcessIsAlive(LoadOwner(record)));

  const pid_t child = ForkHolding([&] {
    StoreOwner(record, CurrentProcessIdentity());
    written.store(1);
    FutexWake(written, 1);
  });
  ASSERT_TRUE(AwaitNonZero(written));
  const TProcessIdentity owner = LoadOwner(record);
  EXPECT_EQ(owner.Pid, uint32_t(child));
  EXPECT_TRUE(ProcessIsAlive(owner));
  kill(child, SIGKILL);
  // Killed but not yet collected (a zombie): already dead.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGiveUpMs);
  while (ProcessIsAlive(owner) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(ProcessIsAlive(owner));
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_FALSE(ProcessIsAlive(owner));

  // The same id with another start time is another process.
  EXPECT_FALSE(ProcessIsAlive({self.Pid, self.StartTime + 1}));
  EXPECT_FALSE(ProcessIsAlive({self.Pid, 0}));
  EXPECT_FALSE(ProcessIsAlive({}));
}

TEST_F(SharedMemoryTest, MutexOfADeadHolderIsHandedOverForRepair) {
  struct Case {
    const char* name;
    bool repair;
    TLockResult afterwards;
  };
  for (const Case c : {Case{"repaired", true, TLockResult::Locked},
                       Case{"left as it was", false, TLockResult::Failed}}) {
    SCOPED_TRACE(c.name);
    TSharedMemory memory;
    TSharedView view;
    MakeMapped(memory, view, 4096);
    auto& locked = *new (view.Data()) std::atomic<uint32_t>(0);
    auto* mutex = new (view.Data() + 64) TSharedMutex;
    ASSERT_TRUE(mutex->Init());

    const pid_t child = ForkHolding([&] {
      if (mutex->Lock() != TLockResult::Locked) _exit(1);
      locked.store(1);
      FutexWake(locked, 1);
    });
    ASSERT_TRUE(AwaitNonZero(locked));
    EXPECT_EQ(mutex->TryLock(), TLockResult::Busy);
    KillAndReap(child);

    ASSERT_EQ(mutex->TryLock(), TLockResult::OwnerDied);  // never waits, robust or not
    if (c.repair) {
      EXPECT_TRUE(mutex->MarkConsistent());
    }
    mutex->Unlock();
    {
      TSharedMutexGuard guard(*mutex);
      EXPECT_EQ(guard.Result(), c.afterwards);
    }
    if (c.repair) {
      EXPECT_EQ(mutex->TryLock(), TLockResult::Locked);  // the guard unlocked
      mutex->Unlock();
    }
    TSharedMemory::Unlink(name);
  }
}

TEST_F(SharedMemoryTest, CreateMakesOnlyANewObject) {
  TSharedMemory first;
  ASSERT_TRUE(first.Create(name)) << errno;
  TSharedMemory second;
  EXPECT_FALSE(second.Create(name));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_TRUE(second.Open(name, false)) << "the name leads to the first";
  ASSERT_TRUE(TSharedMemory::Unlink(name));
  EXPECT_TRUE(second.Create(name)) << "free again once unlinked";
}

TEST_F(SharedMemoryTest, LockForWaitsOnlyItsTimeForAHeldMutex) {
  TSharedMemory memory;
  TSharedView view;
  MakeMapped(memory, view, 4096);
  auto& locked = *new (view.Data()) std::atomic<uint32_t>(0);
  auto* mutex = new (view.Data() + 64) TSharedMutex;
  ASSERT_TRUE(mutex->Init());
  EXPECT_EQ(mutex->LockFor(0), TLockResult::Locked);
  std::thread other([&] {
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(mutex->LockFor(30), TLockResult::Busy);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(30));
  });
  other.join();
  mutex->Unlock();

  const pid_t child = ForkHolding([&] {
    if (mutex->Lock() != TLockResult::Locked) _exit(1);
    locked.store(1);
  });
  // Held by the child until it is killed; then handed over at once.
  ASSERT_TRUE(AwaitNonZero(locked));
  KillAndReap(child);
  EXPECT_EQ(mutex->LockFor(kGiveUpMs), TLockResult::OwnerDied);
  mutex->MarkConsistent();
  mutex->Unlock();
}

TEST(Futex, WaitAnswersAtOnceForAChangedWordAndTimesOut) {
  std::atomic<uint32_t> word{5};
  EXPECT_EQ(FutexWait(word, 4, kInfinite), TFutexWaitResult::Changed);
  EXPECT_EQ(FutexWait(word, 5, 1), TFutexWaitResult::TimedOut);
  EXPECT_EQ(FutexWake(word, 1), 0);  // nobody sleeps
}

TEST_F(SharedMemoryTest, FutexWakeReachesASleeperInAnotherProcess) {
  TSharedMemory memory;
  TSharedView view;
  MakeMapped(memory, view, 4096);
  auto& word = *new (view.Data()) std::atomic<uint32_t>(0);
  const pid_t child = fork();
  if (child == 0) _exit(FutexWait(word, 0, kGiveUpMs) == TFutexWaitResult::Woken ? 0 : 2);
  // The child may not sleep yet: wake until a wake reached a sleeper, bounded.
  int woken = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGiveUpMs);
  while (woken == 0 && std::chrono::steady_clock::now() < deadline) {
    woken = FutexWake(word, 1);
    if (woken == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(woken, 1);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace revurov::platform
