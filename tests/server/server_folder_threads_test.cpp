// Inactive folders and the cleanup timer, on the injected engine clock:
// which folders the timer frees, and database opens racing it on eight
// threads (run under ThreadSanitizer by ./test.sh --tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/string_list.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "support/fake_engine_clock.h"
#include "support/server_fixture.h"
#include "support/temp_dir.h"

namespace revurov::testing {
namespace {

constexpr uint64_t kHour = 3600 * 1000;

// Polls aDone every millisecond, at most 10,000 times.
template <class F>
bool Eventually(F&& aDone) {
  for (int i = 0; i < 10000; ++i) {
    if (aDone()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return aDone();
}

class FolderCleanupTest : public ServerFixture {
protected:
  FolderCleanupTest() {
    engine->SetCleanupInterval(1);
    Start();
  }
  std::u16string Dir(int aNumber) {
    const std::string name = "f" + std::to_string(aNumber);
    std::filesystem::create_directories(dir.Path(name));
    return platform::Utf8ToUtf16(dir.Path(name) + "/");
  }
  bool OpenAndList(TnxServerSession* aSession, int aNumber) {
    TnxAbstractDatabase* database = nullptr;
    if (aSession->DatabaseOpen(database, u"Path", Dir(aNumber), nullptr, omReadWrite, smShared, 5000) != 0)
      return false;
    platform::TStringList list;
    const bool listed = database->TableGetList(list) == 0;
    database->Free();
    return listed;
  }
  // Waits for two more timer runs.
  void TwoRuns() {
    const int64_t runs = engine->CleanupRuns();
    EXPECT_TRUE(Eventually([&] { return engine->CleanupRuns() >= runs + 2; }));
  }

  TFakeEngineClock clock;
  TempDir dir;
};

TEST_F(FolderCleanupTest, SeventeenInactiveFoldersLoseTheOldestAndYoungOnesStay) {
  TnxServerSession* session = Open();
  for (int i = 0; i < 16; ++i) {
    ASSERT_TRUE(OpenAndList(session, i));
    TFakeEngineClock::Advance(1000);
  }
  TwoRuns();
  EXPECT_EQ(engine->FolderCount(), 16);
  ASSERT_TRUE(OpenAndList(session, 16));
  // The oldest goes although it became inactive a moment ago.
  EXPECT_TRUE(Eventually([&] { return engine->FolderCount() == 16; }));
  EXPECT_EQ(engine->FindFolder(Dir(0)), nullptr);
  for (int i = 1; i <= 16; ++i) EXPECT_NE(engine->FindFolder(Dir(i)), nullptr) << i;
  TwoRuns();
  EXPECT_EQ(engine->FolderCount(), 16);
  EXPECT_EQ(engine->InactiveFolderCount(), 16);
  // The oldest left (inactive since one second after the first) turns
  // sixteen hours old: not more than that yet.
  TFakeEngineClock::Advance(16 * kHour - 15 * 1000);
  TwoRuns();
  EXPECT_EQ(engine->FolderCount(), 16);
  TFakeEngineClock::Advance(1);
  EXPECT_TRUE(Eventually([&] { return engine->FolderCount() == 15; }));
  EXPECT_EQ(engine->FindFolder(Dir(1)), nullptr);
  TwoRuns();
  EXPECT_EQ(engine->FolderCount(), 15);
  // An hour on, all of them are.
  TFakeEngineClock::Advance(kHour);
  EXPECT_TRUE(Eventually([&] { return engine->FolderCount() == 0; }));
  EXPECT_EQ(engine->InactiveFolderCount(), 0);
}

TEST_F(FolderCleanupTest, AFolderWithADatabaseIsNeverFreed) {
  TnxServerSession* session = Open();
  TnxAbstractDatabase* held = nullptr;
  ASSERT_EQ(session->DatabaseOpen(held, u"Path", Dir(99), nullptr, omReadWrite, smShared, 1000), 0u);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(OpenAndList(session, i));
  TFakeEngineClock::Advance(17 * kHour);
  EXPECT_TRUE(Eventually([&] { return engine->FolderCount() == 1; }));
  EXPECT_NE(engine->FindFolder(Dir(99)), nullptr);
  held->Free();
  EXPECT_EQ(session->CloseInactiveFolders(), 0u);
  EXPECT_EQ(engine->FolderCount(), 0);
}

TEST_F(FolderCleanupTest, DatabaseOpensRaceTheTimerOnEightThreads) {
  constexpr int kThreads = 8;
  constexpr int kFolders = 24;
  constexpr int kOpens = 150;
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::vector<TnxServerSession*> sessions;
  for (int t = 0; t < kThreads; ++t) sessions.push_back(Open());
  for (int f = 0; f < kFolders; ++f) Dir(f);
  // Time moves on while they run, so folders also age out.
  std::thread ager([&] {
    for (int i = 0; i < 100000 && !done.load(); ++i) {
      TFakeEngineClock::Advance(kHour);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int k = 0; k < kOpens; ++k)
        if (!OpenAndList(sessions[t], (t * 7 + k) % kFolders)) failures.fetch_add(1);
    });
  for (std::thread& thread : threads) thread.join();
  done.store(true);
  ager.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LE(engine->InactiveFolderCount(), engine->FolderCount());
  EXPECT_EQ(sessions[0]->CloseInactiveFolders(), 0u);
  EXPECT_EQ(engine->FolderCount(), 0);
  EXPECT_EQ(engine->InactiveFolderCount(), 0);
}

}  // namespace
}  // namespace revurov::testing
