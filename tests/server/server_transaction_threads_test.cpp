// Table transaction locks across threads: a waiter blocks on its own event
// and is woken by the grant, a waiter whose deadline passes gives up with
// 10249, and sessions that lock, upgrade, commit and roll back at random
// leave every table free (run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "storage/deadline.h"
#include "support/server_fixture.h"
#include "support/temp_dir.h"
#include "support/test_size.h"
#include "support/trans_link_request.h"

namespace revurov::testing {
namespace {

class TransactionThreadsTest : public ServerFixture {
protected:
  TransactionThreadsTest() {
    Start();
    for (auto& session : sessions) session = Open();
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(sessions[0]->DatabaseOpen(database, u"Path", platform::Utf8ToUtf16(dir.Dir()), nullptr, omReadWrite,
                                        smShared, 1000),
              0u);
    db = static_cast<TnxServerDatabase*>(database);
    auto dict = std::make_unique<TnxDataDictionary>();
    dict->FieldsDescriptor().AddField(u"Value", u"", nxtInt32, 0, 0, false);
    for (int i = 0; i < 3; ++i) {
      const std::u16string name = u"W" + std::u16string(1, char16_t(u'1' + i));
      EXPECT_EQ(db->Folder()->sfTableCreate(name, u"", false, *dict, tsPersistent, tables[i]), 0u);
    }
  }
  ~TransactionThreadsTest() override {
    for (auto* context : contexts) context->Free();
  }
  TnxServerTransContext* Context(int aSession, uint32_t aTimeout) {
    TnxAbstractTransContext* context = nullptr;
    EXPECT_EQ(sessions[aSession]->TransContextCreate(context, aTimeout), 0u);
    contexts.push_back(static_cast<TnxServerTransContext*>(context));
    return contexts.back();
  }
  bool HasPending(TnxServerRootTable& aTable) {
    TnxPadlockGuard guard(aTable.TransLinksPadlock());
    return aTable.TransLinksPendingHead() || aTable.TransLinksPendingUpgrade();
  }

  TempDir dir;
  TnxServerSession* sessions[4] = {};
  TnxServerDatabase* db = nullptr;
  TnxServerRootTable* tables[3] = {};
  std::vector<TnxServerTransContext*> contexts;
};

TEST_F(TransactionThreadsTest, AWaiterIsWokenByTheGrant) {
  TnxServerRootTable& t = *tables[0];
  for (bool upgrade : {false, true}) {
    SCOPED_TRACE(upgrade);
    TnxServerTransContext* holder = Context(0, 10000);
    TnxServerTransContext* waiter = Context(1, 10000);
    ASSERT_EQ(holder->TransactionStart(false, false), 0u);
    ASSERT_EQ(TableLink(*holder->stcTransaction(), t, !upgrade), 0u);
    ASSERT_EQ(waiter->TransactionStart(false, false), 0u);
    if (upgrade) {
      ASSERT_EQ(TableLink(*waiter->stcTransaction(), t, false), 0u);
    }
    std::atomic<uint32_t> result{1};
    std::thread thread([&] {
      nxSetTimeout(10000, true);
      result = TableLink(*waiter->stcTransaction(), t, true);
    });
    for (int i = 0; i < 10000 && !HasPending(t); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(HasPending(t));
    EXPECT_EQ(holder->TransactionCommit(), 0u);
    thread.join();
    EXPECT_EQ(result.load(), 0u);
    EXPECT_TRUE(waiter->stcTransaction()->stFindTableLink(t)->Exclusive());
    EXPECT_EQ(waiter->TransactionCommit(), 0u);
    EXPECT_FALSE(t.srtHasTransLinks());
  }
}

TEST_F(TransactionThreadsTest, AWaiterWhoseDeadlinePassesGivesUpWith10249) {
  TnxServerRootTable& t = *tables[0];
  TnxServerTransContext* holder = Context(0, 10000);
  TnxServerTransContext* waiter = Context(1, 10000);
  ASSERT_EQ(holder->TransactionStart(false, false), 0u);
  ASSERT_EQ(TableLink(*holder->stcTransaction(), t, true), 0u);
  ASSERT_EQ(waiter->TransactionStart(false, false), 0u);
  std::atomic<uint32_t> result{1};
  std::thread thread([&] {
    nxSetTimeout(60, true);
    result = TableLink(*waiter->stcTransaction(), t, false);
  });
  thread.join();
  EXPECT_EQ(result.load(), nxeLockTimeOut);
  EXPECT_FALSE(HasPending(t));
  EXPECT_EQ(waiter->stcTransaction()->stFindTableLink(t), nullptr);
  EXPECT_EQ(holder->TransactionCommit(), 0u);
  EXPECT_EQ(waiter->TransactionCommit(), 0u);
}

TEST_F(TransactionThreadsTest, SessionsLockingAtRandomLeaveEveryTableFree) {
  const int rounds = TestSize(300, 5000);
  std::vector<TnxServerTransContext*> mine;
  for (int s = 0; s < 4; ++s) mine.push_back(Context(s, 15));
  std::atomic<int> granted{0}, refused{0};
  std::latch start(4);
  std::vector<std::thread> threads;
  for (int s = 0; s < 4; ++s)
    threads.emplace_back([&, s] {
      std::mt19937 random(static_cast<uint32_t>(s) * 7919u + 3u);
      TnxServerTransContext& context = *mine[static_cast<size_t>(s)];
      start.arrive_and_wait();
      // Threads that happen to run one after another meet no conflict:
      // they go on, bounded, until one was refused.
      for (int round = 0; round < rounds || (refused.load() == 0 && round < 20 * rounds); ++round) {
        if (context.TransactionStart(false, random() % 8 == 0) != 0) {
          context.TransactionRollback();
          continue;
        }
        const int requests = 1 + static_cast<int>(random() % 4);
        for (int r = 0; r < requests; ++r) {
          if (random() % 5 == 0) context.TransactionStart(false, false);
          TnxServerTransaction* trans = context.stcTransaction();
          if (!trans) break;
          nxSetTimeout(15, true);
          const uint32_t code = TableLink(*trans, *tables[random() % 3], random() % 2 == 0, random() % 6 == 0);
          (code == 0 ? granted : refused).fetch_add(1);
        }
        while (context.stcTransaction()) {
          if (random() % 2 == 0 ? context.TransactionCommit() != 0 : context.TransactionRollback() != 0)
            context.TransactionRollback();
        }
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_GT(granted.load(), 0);
  EXPECT_GT(refused.load(), 0);
  for (auto* table : tables) {
    TnxPadlockGuard guard(table->TransLinksPadlock());
    EXPECT_FALSE(table->srtHasTransLinks());
  }
}

}  // namespace
}  // namespace revurov::testing
