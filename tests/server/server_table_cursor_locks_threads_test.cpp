// Content locks under threads: readers of two sessions on four threads take
// shared and exclusive content locks in and out of transactions while a
// third session commits keys into both indices of the table; no reader ever
// sees one index ahead of the other.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/index_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "server/server_session.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "storage/deadline.h"
#include "support/table_ops_fixture.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

struct TParty {
  TnxServerTransContext* Context = nullptr;
  TnxServerDatabase* Database = nullptr;
  TnxServerTableCursor* Cursor = nullptr;
};

class TableCursorLocksThreadsTest : public TableOpsFixture {
protected:
  ~TableCursorLocksThreadsTest() override {
    for (TParty& p : parties) {
      while (p.Context && p.Context->stcTransaction()) p.Context->TransactionRollback();
      if (p.Cursor) p.Cursor->Free();
      if (p.Database) p.Database->Free();
      if (p.Context) p.Context->Free();
    }
  }

  TParty& MakeParty(TnxServerSession* aSession) {
    TParty& p = parties.emplace_back();
    TnxAbstractTransContext* context = nullptr;
    EXPECT_EQ(aSession->TransContextCreate(context, 10000), 0u);
    p.Context = static_cast<TnxServerTransContext*>(context);
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(aSession->DatabaseOpen(database, u"Path", Path(), context, omReadWrite, smShared, 10000), 0u)
        << LastMessage();
    p.Database = static_cast<TnxServerDatabase*>(database);
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(database->CursorOpen(cursor, u"M", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr),
              0u)
        << LastMessage();
    p.Cursor = static_cast<TnxServerTableCursor*>(cursor);
    return p;
  }

  std::vector<TParty> parties;
};

// A context call that another thread of the same session may hold off.
template <class F>
uint32_t Retried(F&& aCall) {
  uint32_t result = 0;
  for (int i = 0; i < 100000; ++i) {
    result = aCall();
    if (result != nxeIllegalReentry) return result;
    std::this_thread::yield();
  }
  return result;
}

bool IsLockRefusal(uint32_t aCode) {
  return aCode == nxeLockTimeOut || aCode == nxeLockConflict || aCode == nxeDeadlock;
}

TEST_F(TableCursorLocksThreadsTest, ReadersNeverSeeOneIndexAheadOfTheOther) {
  auto dict = TwoIndexDictionary();
  ASSERT_EQ(db->TableBuild(false, u"M", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
  TnxServerSession* sessions[3] = {Open(), Open(), Open()};
  parties.reserve(5);
  for (int t = 0; t < 4; ++t) MakeParty(sessions[t / 2]);
  TParty& writer = MakeParty(sessions[2]);
  ASSERT_FALSE(HasFailure());

  const bool longRun = LongTests();
  const int readerOps = longRun ? 40000 : 2000;
  const int commits = longRun ? 5000 : 250;
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0}, unexpected{0}, outsideReads{0}, committed{0};

  std::thread writing([&] {
    TnxServerRootTable& root = *writer.Cursor->Table()->Root();
    TnxBaseIndicesEngine& indices = *root.IndicesEngine();
    const TnxFieldsDescriptor& fields = *root.FieldsDescriptor();
    std::vector<uint8_t> record(static_cast<size_t>(fields.RecordLength()));
    for (int32_t id = 1; committed.load() < commits && !stop.load(); ++id) {
      nxSetTimeout(2000, false);
      if (writer.Context->TransactionStart(false, false) != 0) {
        ++unexpected;
        break;
      }
      uint32_t result = writer.Cursor->sbcBeginContentLock(true, false, false);
      if (result == 0) {
        writer.Cursor->sbcEndContentLock();
        fields.InitRecord(record.data());
        fields.SetRecordField(0, record.data(), &id);
        result = indices.InsertKeys(*writer.Context->stcTransaction(), TnxRefNr(id), record.data(), nullptr);
        if (result == 0) {
          result = writer.Context->TransactionCommit();
          if (result == 0) ++committed;
          continue;
        }
      }
      if (!IsLockRefusal(result)) ++unexpected;
      writer.Context->TransactionRollback();
    }
    stop = true;
  });

  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      TParty& p = parties[static_cast<size_t>(t)];
      TnxServerRootTable& root = *p.Cursor->Table()->Root();
      TnxBaseIndicesEngine& indices = *root.IndicesEngine();
      std::mt19937 rng(static_cast<uint32_t>(1234 + t));
      auto counts = [&](TnxBaseTransaction* aTrans) {
        uint32_t first = 0, second = 0;
        indices.Indices(0).GetKeyCount(aTrans, first);
        indices.Indices(1).GetKeyCount(aTrans, second);
        if (first != second) ++mismatches;
      };
      for (int op = 0; op < readerOps && !stop.load(); ++op) {
        nxSetTimeout(1000, false);
        if (rng() % 3 != 0) {
          if (p.Cursor->sbcBeginContentLock(false, false, false) != 0) {
            ++unexpected;
            continue;
          }
          counts(nullptr);
          p.Cursor->sbcEndContentLock();
          ++outsideReads;
          continue;
        }
        if (Retried([&] { return p.Context->TransactionStart(false, false); }) != 0) {
          ++unexpected;
          continue;
        }
        uint32_t result = p.Cursor->sbcBeginContentLock(false, false, false);
        if (result == 0) {
          p.Cursor->sbcEndContentLock();
          counts(p.Context->stcTransaction());
          if (rng() % 2 == 0) {
            result = p.Cursor->sbcBeginContentLock(true, rng() % 2 == 0, false);
            if (result == 0) p.Cursor->sbcEndContentLock();
          }
        }
        if (result != 0 && !IsLockRefusal(result)) ++unexpected;
        // A refused request may have cost the level: only a rollback then.
        if (result == 0 && rng() % 3 != 0) {
          if (Retried([&] { return p.Context->TransactionCommit(); }) != 0) ++unexpected;
        } else {
          if (Retried([&] { return p.Context->TransactionRollback(); }) != 0) ++unexpected;
        }
      }
    });
  }
  for (std::thread& r : readers) r.join();
  stop = true;
  writing.join();

  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GT(outsideReads.load(), 0);
  EXPECT_GT(committed.load(), 0);
  TnxServerRootTable& root = *writer.Cursor->Table()->Root();
  uint32_t first = 0, second = 0;
  root.IndicesEngine()->Indices(0).GetKeyCount(nullptr, first);
  root.IndicesEngine()->Indices(1).GetKeyCount(nullptr, second);
  EXPECT_EQ(first, static_cast<uint32_t>(committed.load()));
  EXPECT_EQ(second, first);
  EXPECT_EQ(root.ContentPortal().PortalCount(), TnxInternalReadWritePortal::kIdle);
  TnxPadlockGuard guard(root.TransLinksPadlock());
  EXPECT_FALSE(root.srtHasTransLinks());
}

}  // namespace
}  // namespace revurov::testing
