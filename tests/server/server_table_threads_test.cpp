// Tables created, opened and closed from eight threads over four names
// while the cleanup timer closes inactive tables: run under
// ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/text.h"
#include "server/server_data_dict.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "support/fake_engine_clock.h"
#include "support/server_fixture.h"
#include "support/temp_dir.h"

namespace revurov::testing {
namespace {

class TableThreadsTest : public ServerFixture {
protected:
  TableThreadsTest() {
    engine->SetCleanupInterval(1);
    Start();
    session = Open();
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(session->DatabaseOpen(database, u"Path", platform::Utf8ToUtf16(dir.Dir()), nullptr, omReadWrite,
                                    smShared, 1000),
              0u);
    db = static_cast<TnxServerDatabase*>(database);
    dict.FieldsDescriptor().AddField(u"Value", u"", nxtInt32, 0, 0, false);
    // Inactive tables are old at once: the timer closes every one it may.
    TFakeEngineClock::Advance(21ull * 3600 * 1000);
  }

  // One use of table aName: found open, opened, or made; a cursor's worth
  // of work; then closed when nobody else holds it. False on a failure.
  bool UseOnce(const std::u16string& aName) {
    TnxServerFolder& folder = *db->Folder();
    TnxServerRootTable* table = nullptr;
    {
      folder.LockTables();
      uint32_t result = 0;
      table = folder.FindTable(aName);
      if (!table) {
        bool readOnly = false;
        result = folder.sfTableExists(aName) == 0
                     ? folder.sfTableOpen(aName, {}, omReadWrite, smShared, false, table, readOnly)
                     : folder.sfTableCreate(aName, u"", false, dict, tsPersistent, table);
      }
      if (result == 0) {
        TnxPadlockGuard cursors(table->CursorsPadlock());
        table->srtCursorAdded();
      }
      folder.UnlockTables();
      if (result != 0) return false;
    }
    TnxServerTableStats stats;
    const bool good = table->sbtGetStats(stats) == 0 && table->Dictionary().ReadOnly() &&
                      table->Dictionary().FieldsDescriptor().FieldCount() == 1;
    folder.LockTables();
    {
      TnxPadlockGuard cursors(table->CursorsPadlock());
      table->srtCursorRemoved();
    }
    if (std::rand() % 2 == 0) folder.sfCloseIfClosable(table, false, false, 0);
    folder.UnlockTables();
    return good;
  }

  TFakeEngineClock clock;
  TempDir dir;
  TnxDataDictionary dict;
  TnxServerSession* session = nullptr;
  TnxServerDatabase* db = nullptr;
};

TEST_F(TableThreadsTest, EightThreadsCreateOpenAndCloseFourTables) {
  const int rounds = std::getenv("REVUROV_LONG_TESTS") ? 400 : 60;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < rounds; ++i)
        if (!UseOnce(u"Shared" + platform::Utf8ToUtf16(std::to_string((t + i) % 4)))) failures.fetch_add(1);
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0) << LastMessage();
  EXPECT_LE(db->Folder()->TableCount(), 4);
  // What is left is closable and goes with the engine's close.
  EXPECT_EQ(engine->seCloseInactiveTables(), 0u);
  EXPECT_EQ(db->Folder()->TableCount(), 0);
  EXPECT_EQ(engine->TableCount(), 0);
  EXPECT_EQ(engine->InactiveTableCount(), 0);
}

}  // namespace
}  // namespace revurov::testing
