// The table cursor's content locks (portal reads outside a transaction,
// transaction links inside one: joined, upgraded, waited for, refused).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "engine/deadline_hooks.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/file_ops.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "server/server_session.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "storage/deadline.h"
#include "support/fault_file_ops.h"
#include "support/table_ops_fixture.h"
#include "support/trans_link_request.h"

namespace revurov::testing {
namespace {

class TableCursorLocksTest : public TableOpsFixture {
protected:
  // Parties 0 and 1: one context of session 0 (one transaction); party 2:
  // session 1; party 3: session 2.
  TableCursorLocksTest() {
    EXPECT_EQ(Build(u"T"), 0u) << LastMessage();
    for (auto& s : sessions) s = Open();
    Party(0, sessions[0], nullptr);
    Party(1, sessions[0], contexts[0]);
    Party(2, sessions[1], nullptr);
    Party(3, sessions[2], nullptr);
    root = C(0).Table()->Root();
  }
  ~TableCursorLocksTest() override {
    for (auto& pending : async)
      if (pending.valid()) pending.wait();
    for (TnxServerTransContext* context : contexts)
      while (context->stcTransaction()) context->TransactionRollback();
    for (TnxServerTableCursor* cursor : cursors)
      if (cursor) cursor->Free();
    for (TnxServerDatabase* database : databases) database->Free();
    for (TnxServerTransContext* context : contexts) context->Free();
  }

  void Party(int aIndex, TnxServerSession* aSession, TnxServerTransContext* aShared,
             std::u16string_view aTable = u"T", TnxShareMode aShareMode = smShared,
             TnxOpenMode aOpenMode = omReadWrite) {
    TnxServerTransContext* context = aShared;
    if (!context) {
      TnxAbstractTransContext* made = nullptr;
      EXPECT_EQ(aSession->TransContextCreate(made, 10000), 0u);
      context = static_cast<TnxServerTransContext*>(made);
      contexts.push_back(context);
    }
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(aSession->DatabaseOpen(database, u"Path", Path(), context, omReadWrite, smShared, 10000), 0u)
        << LastMessage();
    databases.push_back(static_cast<TnxServerDatabase*>(database));
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(database->CursorOpen(cursor, aTable, u"", aOpenMode, aShareMode, 10000, u"", -1, false, 0, 500,
                                   nullptr),
              0u)
        << LastMessage();
    if (static_cast<size_t>(aIndex) >= cursors.size()) cursors.resize(static_cast<size_t>(aIndex) + 1);
    cursors[static_cast<size_t>(aIndex)] = static_cast<TnxServerTableCursor*>(cursor);
    partyContext.resize(cursors.size());
    partyContext[static_cast<size_t>(aIndex)] = context;
  }

  TnxServerTableCursor& C(int aParty) { return *cursors[static_cast<size_t>(aParty)]; }
  TnxServerTransContext& X(int aParty) { return *partyContext[static_cast<size_t>(aParty)]; }
  TnxServerRootTable& Root() { return *root; }
  TnxServerTransactionLevelTableLink* LinkOf(int aParty) { return C(aParty).TransLinkPlace().TransLink(); }
  bool PortalIdle() { return Root().ContentPortal().PortalCount() == TnxInternalReadWritePortal::kIdle; }
  bool UpgradePending() {
    TnxPadlockGuard guard(Root().TransLinksPadlock());
    return Root().TransLinksPendingUpgrade() != nullptr;
  }
  int GrantedCount() {
    TnxPadlockGuard guard(Root().TransLinksPadlock());
    int count = 0;
    for (auto* l = Root().TransLinksGrantedHead(); l; l = l->TableNext()) ++count;
    return count;
  }

  // An exclusive request on another thread that may wait (deadline 5 s).
  void LockAsync(int aParty) {
    TnxServerTableCursor* cursor = &C(aParty);
    async.push_back(std::async(std::launch::async, [cursor] {
      nxSetTimeout(5000, false);
      return cursor->sbcBeginContentLock(true, false, false);
    }));
  }
  bool WaitUntilUpgradePending() {
    for (int i = 0; i < 5000; ++i) {
      if (UpgradePending()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  TnxServerSession* sessions[4] = {};
  std::vector<TnxServerTransContext*> contexts;
  std::vector<TnxServerDatabase*> databases;
  std::vector<TnxServerTableCursor*> cursors;
  std::vector<TnxServerTransContext*> partyContext;
  std::vector<std::future<uint32_t>> async;
  TnxServerRootTable* root = nullptr;
};

// One script step: what party `who` does, and the code or check expected.
enum TOp {
  kStart,      // TransactionStart of the party's context (again: nested)
  kSnapshot,   // a snapshot transaction
  kCommit,
  kRollback,
  kShared,     // sbcBeginContentLock(false, ...)
  kExclusive,  // sbcBeginContentLock(true, false, ...)
  kExclusiveIf,  // conditional
  kEnd,
  kExclusiveAsync,  // on another thread, may wait
  kJoin,            // the async request's code
  kAwaitUpgrade,    // the table's pending upgrade is there
  kLinkShared,      // the party's link is granted and shared
  kLinkExclusive,
  kNoLink,
  kSameLinkAs,  // the party's link is that of party `code`
  kPortalIdle,
  kPortalHeld,
  kGranted,  // `code` links granted on the table
};
struct TStep {
  TOp op;
  int who;
  uint32_t code = 0;
};

struct TScenario {
  const char* name;
  std::vector<TStep> steps;
};

const TScenario kScenarios[] = {
    {"two cursors of one transaction share one link",
     {{kStart, 0}, {kShared, 0}, {kShared, 1}, {kSameLinkAs, 1, 0}, {kExclusive, 1}, {kLinkExclusive, 0},
      {kExclusive, 0}, {kSameLinkAs, 0, 1}, {kGranted, 0, 1}, {kCommit, 0}, {kNoLink, 0}, {kNoLink, 1}}},
    {"the only granted link is upgraded in place",
     {{kStart, 2}, {kShared, 2}, {kLinkShared, 2}, {kExclusive, 2}, {kLinkExclusive, 2}, {kGranted, 2, 1},
      {kRollback, 2}, {kNoLink, 2}, {kPortalIdle, 0}}},
    {"an upgrade waits for another transaction and is granted when it ends",
     {{kStart, 0}, {kStart, 2}, {kShared, 0}, {kShared, 2}, {kExclusiveAsync, 2}, {kAwaitUpgrade, 2},
      {kLinkShared, 2}, {kCommit, 0}, {kJoin, 2, 0}, {kLinkExclusive, 2}, {kGranted, 2, 1}, {kCommit, 2}}},
    {"a conditional upgrade that would wait answers 10249 and keeps the shared link",
     {{kStart, 0}, {kStart, 2}, {kShared, 0}, {kShared, 2}, {kExclusiveIf, 2, nxeLockTimeOut}, {kLinkShared, 2},
      {kGranted, 2, 2}, {kShared, 2}, {kCommit, 0}, {kExclusiveIf, 2}, {kLinkExclusive, 2}}},
    {"a second upgrade answers 10255 and loses its level",
     {{kStart, 0}, {kStart, 2}, {kStart, 3}, {kShared, 0}, {kShared, 2}, {kShared, 3}, {kExclusiveAsync, 2},
      {kAwaitUpgrade, 2}, {kExclusive, 3, nxeDeadlock}, {kNoLink, 3}, {kShared, 3, nxeDeadlock},
      {kRollback, 3}, {kCommit, 0}, {kJoin, 2, 0}, {kLinkExclusive, 2}, {kShared, 3}, {kPortalHeld, 3},
      {kEnd, 3}, {kPortalIdle, 3}}},
    {"an exclusive request through a snapshot link answers 10763",
     {{kSnapshot, 2}, {kShared, 2}, {kExclusive, 2, nxeTableReadOnly}, {kLinkShared, 2}, {kGranted, 2, 0},
      {kRollback, 2}}},
    {"a snapshot's first request, exclusive, answers 10763 and never writes",
     {{kSnapshot, 2}, {kExclusive, 2, nxeTableReadOnly}, {kExclusive, 2, nxeTableReadOnly}, {kLinkShared, 2},
      {kRollback, 2}}},
    {"outside a transaction: exclusive 10257, shared a portal read for the operation",
     {{kExclusive, 2, nxeNoTransaction}, {kPortalIdle, 2}, {kShared, 2}, {kPortalHeld, 2}, {kNoLink, 2},
      {kShared, 2}, {kEnd, 2}, {kPortalHeld, 2}, {kEnd, 2}, {kPortalIdle, 2}, {kEnd, 2}, {kPortalIdle, 2}}},
    {"a nested upgrade rolled back gives the cursor its shared link again",
     {{kStart, 0}, {kShared, 0}, {kShared, 1}, {kStart, 0}, {kExclusive, 0}, {kLinkExclusive, 0},
      {kLinkShared, 1}, {kExclusive, 1}, {kSameLinkAs, 1, 0}, {kRollback, 0}, {kLinkShared, 0},
      {kSameLinkAs, 1, 0}, {kGranted, 0, 1}, {kCommit, 0}, {kNoLink, 0}, {kNoLink, 1}}},
    {"a nested upgrade committed stays exclusive in the outer level",
     {{kStart, 0}, {kShared, 0}, {kStart, 0}, {kExclusive, 0}, {kCommit, 0}, {kLinkExclusive, 0},
      {kGranted, 0, 1}, {kShared, 1}, {kSameLinkAs, 1, 0}, {kCommit, 0}, {kNoLink, 0}}},
    {"a read begun before the transaction is ended after it started",
     {{kShared, 2}, {kStart, 2}, {kShared, 2}, {kEnd, 2}, {kPortalHeld, 2}, {kEnd, 2}, {kPortalIdle, 2},
      {kCommit, 2}}},
    {"a link that ended with its transaction ends no portal read",
     {{kShared, 3}, {kStart, 2}, {kShared, 2}, {kCommit, 2}, {kNoLink, 2}, {kEnd, 2}, {kPortalHeld, 3},
      {kEnd, 3}, {kPortalIdle, 3}}},
};

TEST_F(TableCursorLocksTest, ContentLockScenarios) {
  for (const TScenario& scenario : kScenarios) {
    SCOPED_TRACE(scenario.name);
    int index = 0;
    for (const TStep& step : scenario.steps) {
      SCOPED_TRACE("step " + std::to_string(index++));
      TnxServerTableCursor& c = C(step.who);
      switch (step.op) {
        case kStart:
          ASSERT_EQ(X(step.who).TransactionStart(false, false), 0u) << LastMessage();
          break;
        case kSnapshot:
          ASSERT_EQ(X(step.who).TransactionStart(false, true), 0u) << LastMessage();
          break;
        case kCommit:
          ASSERT_EQ(X(step.who).TransactionCommit(), 0u) << LastMessage();
          break;
        case kRollback:
          ASSERT_EQ(X(step.who).TransactionRollback(), 0u) << LastMessage();
          break;
        case kShared:
          EXPECT_EQ(c.sbcBeginContentLock(false, false, false), step.code) << LastMessage();
          break;
        case kExclusive:
          EXPECT_EQ(c.sbcBeginContentLock(true, false, false), step.code) << LastMessage();
          break;
        case kExclusiveIf:
          EXPECT_EQ(c.sbcBeginContentLock(true, true, false), step.code) << LastMessage();
          if (step.code == nxeLockTimeOut) {
            EXPECT_NE(LastMessage().find("TableName: "), std::string::npos);
          }
          break;
        case kEnd:
          c.sbcEndContentLock();
          break;
        case kExclusiveAsync:
          LockAsync(step.who);
          break;
        case kJoin: {
          ASSERT_FALSE(async.empty());
          ASSERT_EQ(async.back().wait_for(std::chrono::seconds(10)), std::future_status::ready);
          EXPECT_EQ(async.back().get(), step.code);
          async.pop_back();
          break;
        }
        case kAwaitUpgrade:
          ASSERT_TRUE(WaitUntilUpgradePending());
          break;
        case kLinkShared:
        case kLinkExclusive: {
          TnxServerTransactionLevelTableLink* link = LinkOf(step.who);
          ASSERT_NE(link, nullptr);
          TnxPadlockGuard guard(Root().TransLinksPadlock());
          EXPECT_EQ(link->State(), ttlsGranted);
          EXPECT_EQ(link->Exclusive(), step.op == kLinkExclusive);
          break;
        }
        case kNoLink:
          EXPECT_EQ(LinkOf(step.who), nullptr);
          break;
        case kSameLinkAs:
          EXPECT_EQ(LinkOf(step.who), LinkOf(static_cast<int>(step.code)));
          break;
        case kPortalIdle:
          EXPECT_TRUE(PortalIdle());
          break;
        case kPortalHeld:
          EXPECT_FALSE(PortalIdle());
          break;
        case kGranted:
          EXPECT_EQ(GrantedCount(), static_cast<int>(step.code));
          break;
      }
    }
    for (TnxServerTransContext* context : contexts)
      while (context->stcTransaction()) context->TransactionRollback();
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(LinkOf(i), nullptr) << "party " << i;
      for (int n = 0; n < 70 && !PortalIdle(); ++n) C(i).sbcEndContentLock();
    }
    EXPECT_FALSE(UpgradePending());
  }
}

TEST_F(TableCursorLocksTest, AnExclusivelyOpenedCursorTakesNoPortalReadAndHoldsNoCommitterUp) {
  ASSERT_EQ(Build(u"E"), 0u) << LastMessage();
  Party(4, sessions[3], nullptr, u"E", smExclusive);
  TnxServerRootTable& table = *C(4).Table()->Root();
  ASSERT_EQ(C(4).sbcBeginContentLock(false, false, false), 0u) << LastMessage();
  EXPECT_EQ(table.ContentPortal().PortalCount(), TnxInternalReadWritePortal::kIdle);
  // A writer's commit on the table goes through while the lock is held.
  auto commit = std::async(std::launch::async, [&] {
    nxSetTimeout(5000, false);
    TnxServerTransaction* trans = new TnxServerTransaction(*engine->BufferManager(), nullptr, false, false, false);
    const uint32_t code = TableLink(*trans, table, true);
    trans->Commit();
    return code;
  });
  const bool done = commit.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  C(4).sbcEndContentLock();
  ASSERT_TRUE(done);
  EXPECT_EQ(commit.get(), 0u);
  EXPECT_EQ(table.ContentPortal().PortalCount(), TnxInternalReadWritePortal::kIdle);
}

// Shared locks outside a transaction nest up to 64; one more is refused
// (9986) without a portal read, and the 64 ends leave the portal idle.
TEST_F(TableCursorLocksTest, SharedLocksOutsideATransactionNestToTheLimit) {
  TnxServerTableCursor& c = C(0);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(c.sbcBeginContentLock(false, false, false), 0u) << i << LastMessage();
  EXPECT_FALSE(PortalIdle());
  EXPECT_EQ(c.sbcBeginContentLock(false, false, false), nxeInvalidParameter);
  EXPECT_EQ(LastMessage(), "Content locks are nested too deeply.");
  for (int i = 0; i < 63; ++i) c.sbcEndContentLock();
  EXPECT_FALSE(PortalIdle());
  c.sbcEndContentLock();
  EXPECT_TRUE(PortalIdle());
  c.sbcEndContentLock();  // one end too many takes nothing
  EXPECT_TRUE(PortalIdle());
  ASSERT_EQ(c.sbcBeginContentLock(false, false, false), 0u) << LastMessage();
  EXPECT_FALSE(PortalIdle());
  c.sbcEndContentLock();
  EXPECT_TRUE(PortalIdle());
}

TEST_F(TableCursorLocksTest, AReadOnlyCursorIsRefusedExclusiveUnlessInternal) {
  Party(4, sessions[3], nullptr, u"T", smShared, omReadOnly);
  TnxServerTableCursor& c = C(4);
  ASSERT_TRUE(c.IsReadOnly());
  ASSERT_EQ(X(4).TransactionStart(false, false), 0u);
  EXPECT_EQ(c.sbcBeginContentLock(true, false, false), nxeTableReadOnly);
  EXPECT_EQ(LinkOf(4), nullptr);
  EXPECT_EQ(c.sbcBeginContentLock(true, false, true), 0u) << LastMessage();
  ASSERT_NE(LinkOf(4), nullptr);
  EXPECT_TRUE(LinkOf(4)->Exclusive());
  EXPECT_EQ(X(4).TransactionRollback(), 0u);
}

TEST_F(TableCursorLocksTest, AFreedCursorLeavesItsLinkAndTheLinkOutlivesIt) {
  ASSERT_EQ(X(0).TransactionStart(false, false), 0u);
  ASSERT_EQ(C(0).sbcBeginContentLock(false, false, false), 0u);
  ASSERT_EQ(C(1).sbcBeginContentLock(false, false, false), 0u);
  TnxServerTransactionLevelTableLink* link = LinkOf(0);
  ASSERT_NE(link, nullptr);
  cursors[0]->Free();
  cursors[0] = nullptr;
  {
    TnxPadlockGuard guard(Root().TransLinksPadlock());
    ASSERT_EQ(link->CursorsHead(), &C(1).TransLinkPlace());
    EXPECT_EQ(link->CursorsHead()->TransLinkNext(), nullptr);
  }
  ASSERT_EQ(X(0).TransactionCommit(), 0u);
  EXPECT_EQ(LinkOf(1), nullptr);
}

TEST_F(TableCursorLocksTest, StartWithLocksEachCursorsTableForTheLevel) {
  TnxAbstractCursor* both[] = {&C(0), &C(1)};
  ASSERT_EQ(X(0).TransactionStartWith(false, false, both), 0u) << LastMessage();
  ASSERT_NE(LinkOf(0), nullptr);
  EXPECT_EQ(LinkOf(0), LinkOf(1));
  EXPECT_TRUE(LinkOf(0)->Exclusive());
  EXPECT_EQ(GrantedCount(), 1);
  // Another session's transaction cannot read the table meanwhile.
  ASSERT_EQ(X(2).TransactionStart(false, false), 0u);
  EXPECT_EQ(C(2).sbcBeginContentLock(false, true, false), nxeLockTimeOut);
  ASSERT_EQ(X(2).TransactionRollback(), 0u);
  ASSERT_EQ(X(0).TransactionCommit(), 0u);
  EXPECT_EQ(LinkOf(0), nullptr);
  EXPECT_EQ(GrantedCount(), 0);

  TnxAbstractCursor* one[] = {&C(0)};
  ASSERT_EQ(X(0).TransactionStartWith(false, true, one), 0u) << LastMessage();
  ASSERT_NE(LinkOf(0), nullptr);
  EXPECT_FALSE(LinkOf(0)->Exclusive()) << "a snapshot start shares";
  EXPECT_EQ(X(0).TransactionRollback(), 0u);
}

TEST_F(TableCursorLocksTest, StartWithACursorOfAnotherContextStartsNothing) {
  TnxAbstractCursor* mixed[] = {&C(0), &C(2)};
  EXPECT_EQ(X(0).TransactionStartWith(false, false, mixed), nxeInvalidHandle);
  EXPECT_EQ(X(0).stcTransaction(), nullptr);
  EXPECT_EQ(LinkOf(0), nullptr);
  TnxAbstractCursor* none[] = {nullptr};
  EXPECT_EQ(X(0).TransactionStartWith(false, false, none), nxeInvalidHandle);
  EXPECT_EQ(X(0).stcTransaction(), nullptr);
}

TEST_F(TableCursorLocksTest, StartWithWhoseLockFailsRollsBackJustTheStartedLevel) {
  ASSERT_EQ(X(2).TransactionStart(false, false), 0u);
  ASSERT_EQ(C(2).sbcBeginContentLock(false, false, false), 0u);
  TnxAbstractCursor* one[] = {&C(0)};
  X(0).SetTimeout(50);  // the context's calls wait this long
  EXPECT_EQ(X(0).TransactionStartWith(false, false, one), nxeLockTimeOut);
  EXPECT_EQ(X(0).stcTransaction(), nullptr);
  EXPECT_EQ(LinkOf(0), nullptr);

  ASSERT_EQ(X(0).TransactionStart(false, false), 0u);
  EXPECT_EQ(X(0).TransactionStartWith(false, false, one), nxeLockTimeOut);
  int32_t level = -1;
  ASSERT_EQ(X(0).TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 0) << "the outer level stays";
  EXPECT_EQ(LinkOf(0), nullptr);
  EXPECT_EQ(X(0).TransactionRollback(), 0u);
  EXPECT_EQ(X(2).TransactionRollback(), 0u);
}

TEST_F(TableCursorLocksTest, TableLocksAsRows) {
  // Party 1 shares party 0's session; party 2 is another session's.
  struct Row {
    const char* what;
    int who;
    TnxLockType type;
    uint32_t expected;
  } rows[] = {
      {"a read lock", 0, nxltReadLock, 0},
      {"the read lock again", 0, nxltReadLock, 0},
      {"a write lock beside a reader of its own session", 1, nxltWriteLock, nxeLockConflict},
      {"readers share", 2, nxltReadLock, 0},
      {"no lock is refused like a conflict", 0, nxltNoLock, nxeFileIsLocked},
      {"a write lock beside another session's reader", 0, nxltWriteLock, nxeFileIsLocked},
  };
  // Conflicts answer at once instead of waiting out the deadline.
  nxSetTimeout(1, false);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(C(row.who).sbcTableLockAcquire(row.type), row.expected) << LastMessage();
    if (row.expected != 0) {
      EXPECT_NE(LastMessage().find("TableName: "), std::string::npos);
      EXPECT_EQ(C(row.who).sbcTableIsLocked(row.type), row.type == nxltReadLock ? lpYesByUs : lpNotAtAll);
    } else {
      EXPECT_EQ(C(row.who).sbcTableIsLocked(row.type), lpYesByUs);
    }
  }
  EXPECT_EQ(C(0).sbcTableIsLocked(nxltNoLock), lpNotAtAll);
  EXPECT_EQ(C(3).sbcTableIsLocked(nxltReadLock), lpYesByAnother);
  // Two counts of party 0, one released: party 2 still shares.
  EXPECT_EQ(C(0).sbcTableLockRelease(nxltReadLock, false), 0u);
  EXPECT_EQ(C(0).sbcTableIsLocked(nxltReadLock), lpYesByUs);
  EXPECT_EQ(C(0).sbcTableLockRelease(nxltWriteLock, true), 0u);
  EXPECT_EQ(C(0).sbcTableIsLocked(nxltReadLock), lpYesByAnother);
  EXPECT_EQ(C(2).sbcTableLockRelease(nxltReadLock, false), 0u);
  EXPECT_EQ(C(3).sbcTableLockAcquire(nxltWriteLock), 0u) << LastMessage();
  EXPECT_EQ(C(3).sbcTableIsLocked(nxltWriteLock), lpYesByUs);
  // A write through a cursor whose writer lock meets the table write lock.
  TnxBytesStream data;
  EXPECT_EQ(C(2).sbcTableStreamWrite(u"Notes", data, false), nxeFileIsLocked);
  EXPECT_NE(LastMessage().find("TableName: "), std::string::npos);
  EXPECT_EQ(C(3).sbcTableLockRelease(nxltWriteLock, false), 0u);
  EXPECT_EQ(C(2).sbcTableStreamWrite(u"Notes", data, false), 0u) << LastMessage();
  // The writer lock went with the write.
  EXPECT_EQ(C(3).sbcTableLockAcquire(nxltWriteLock), 0u) << LastMessage();
  EXPECT_EQ(C(3).sbcTableLockRelease(nxltWriteLock, true), 0u);
}

std::string StreamText(TnxBytesStream& aStream) {
  return std::string(aStream.Bytes().begin(), aStream.Bytes().end());
}

std::string Names(const platform::TStringList& aList) {
  std::string all;
  for (int i = 0; i < aList.Count(); ++i) all += platform::Utf16ToUtf8(aList[i]) + ";";
  return all;
}

TEST_F(TableCursorLocksTest, NamedStreamsAsRows) {
  const std::u16string kLongName(129, u'a');
  enum Kind { kWrite, kRead, kDelete, kList };
  struct Row {
    const char* what;
    Kind kind;
    const char16_t* name;
    bool internal;
    uint32_t expected;
    const char* value;  // written, or read back; the names listed
  } rows[] = {
      {"a plain name is written", kWrite, u"Notes", false, 0, "first"},
      {"and read back", kRead, u"Notes", false, 0, "first"},
      {"names are not case-sensitive", kRead, u"NOTES", false, 0, "first"},
      {"a rewrite replaces it", kWrite, u"Notes", false, 0, "second"},
      {"read again", kRead, u"Notes", false, 0, "second"},
      {"an internal name is written internally", kWrite, u"$Hidden", true, 0, "inner"},
      {"the listing hides the internal names", kList, u"", false, 0, "DICT;Notes;"},
      {"an internal listing shows them", kList, u"", true, 0, "$Hidden;$TableName;DICT;Notes;"},
      {"an internal name is not read from outside", kRead, u"$Hidden", false, nxeInvalidName, ""},
      {"nor written", kWrite, u"$Other", false, nxeInvalidName, "x"},
      {"nor deleted", kDelete, u"$Hidden", false, nxeInvalidName, ""},
      {"read internally", kRead, u"$Hidden", true, 0, "inner"},
      {"an empty name", kWrite, u"", false, nxeInvalidName, "x"},
      {"an empty name, internal", kRead, u"", true, nxeInvalidName, ""},
      {"a leading blank", kWrite, u" Notes", false, nxeInvalidName, "x"},
      {"a character outside identifiers", kRead, u"No/tes", false, nxeInvalidName, ""},
      {"a name longer than 128", kWrite, kLongName.c_str(), false, nxeInvalidName, "x"},
      {"the plain one deleted", kDelete, u"Notes", false, 0, ""},
      {"and gone from the list", kList, u"", false, 0, "DICT;"},
      {"a missing name is not found", kRead, u"Notes", false, nxeObjectNotFound, ""},
      {"the internal one deleted", kDelete, u"$Hidden", true, 0, ""},
      {"and gone from the internal list", kList, u"", true, 0, "$TableName;DICT;"},
  };
  TnxServerTableCursor& c = C(2);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TnxBytesStream stream;
    platform::TStringList list;
    uint32_t result = 0;
    switch (row.kind) {
      case kWrite:
        stream.Write(row.value, std::strlen(row.value));
        stream.SetPosition(0);
        result = c.sbcTableStreamWrite(row.name, stream, row.internal);
        break;
      case kRead:
        result = c.sbcTableStreamRead(row.name, stream, row.internal);
        if (result == 0) {
          EXPECT_EQ(StreamText(stream), row.value);
        }
        break;
      case kDelete:
        result = c.sbcTableStreamDelete(row.name, row.internal);
        break;
      case kList:
        list.Add(u"stale");
        result = c.sbcTableStreamGetList(list, row.internal);
        list.Sort();
        EXPECT_EQ(Names(list), row.value);
        break;
    }
    EXPECT_EQ(result, row.expected) << LastMessage();
    if (row.expected == nxeInvalidName) {
      EXPECT_NE(LastMessage().find("<[!Org!]> "), std::string::npos) << LastMessage();
    }
    EXPECT_TRUE(PortalIdle());
    EXPECT_EQ(c.TransContext()->stcTransaction(), nullptr);
  }
}

TEST_F(TableCursorLocksTest, AStreamWriteIsALevelOfTheCallersTransaction) {
  TnxBytesStream stream;
  stream.Write("kept", 4);
  stream.SetPosition(0);
  ASSERT_EQ(X(2).TransactionStart(false, false), 0u);
  ASSERT_EQ(C(2).sbcTableStreamWrite(u"Draft", stream, false), 0u) << LastMessage();
  // Still the caller's one level, which now holds the table exclusively.
  ASSERT_NE(X(2).stcTransaction(), nullptr);
  EXPECT_EQ(X(2).stcTransaction()->ServerLevel()->LevelNumber(), 0);
  ASSERT_NE(LinkOf(2), nullptr);
  EXPECT_TRUE(LinkOf(2)->Exclusive());
  TnxBytesStream seen;
  EXPECT_EQ(C(2).sbcTableStreamRead(u"Draft", seen, false), 0u);
  EXPECT_EQ(StreamText(seen), "kept");
  // Outside the transaction nothing is there yet.
  TnxBytesStream outside;
  EXPECT_EQ(C(3).sbcTableStreamRead(u"Draft", outside, false), nxeObjectNotFound);
  ASSERT_EQ(X(2).TransactionRollback(), 0u);
  EXPECT_EQ(C(2).sbcTableStreamRead(u"Draft", seen, false), nxeObjectNotFound);
}

TEST_F(TableCursorLocksTest, AReadOnlyCursorWritesStreamsOnlyInternally) {
  Party(4, sessions[3], nullptr, u"T", smShared, omReadOnly);
  TnxBytesStream stream;
  stream.Write("x", 1);
  stream.SetPosition(0);
  EXPECT_NE(C(4).TableStreamWrite(u"Notes", stream), 0u);
  EXPECT_NE(C(4).sbcTableStreamWrite(u"Notes", stream, false), 0u);
  EXPECT_NE(C(4).ChangePassword(u"new"), 0u);
  stream.SetPosition(0);
  EXPECT_EQ(C(4).sbcTableStreamWrite(u"Notes", stream, true), 0u) << LastMessage();
  TnxBytesStream seen;
  EXPECT_EQ(C(2).TableStreamRead(u"Notes", seen), 0u) << LastMessage();
  EXPECT_EQ(StreamText(seen), "x");
}

class TableCursorPasswordTest : public TableOpsFixture {
protected:
  TableCursorPasswordTest() {
    EXPECT_EQ(Build(u"P", u"A", 3, u"old"), 0u) << LastMessage();
    EXPECT_EQ(WriteRecord(u"P", u"hello", u"old"), 0u) << LastMessage();
  }
  ~TableCursorPasswordTest() override { nxFatalErrorFlag.store(false); }

  TnxServerTableCursor* OpenP(std::u16string_view aPassword, uint32_t& aResult) {
    TnxAbstractCursor* cursor = nullptr;
    aResult = db->CursorOpen(cursor, u"P", aPassword, omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr);
    return static_cast<TnxServerTableCursor*>(cursor);
  }
  void CloseTables() { Folder().sfCloseInactiveTables(); }
  // The open table's answer to a password.
  static uint32_t Admits(TnxServerTableCursor& aCursor, std::u16string_view aPassword) {
    return aCursor.Table()->Root()->srtAuthenticatePasswords({std::u16string(aPassword)});
  }
  static bool RecordReadable(TnxServerTableCursor& aCursor) {
    TnxBytesStream stream;
    return aCursor.sbcTableStreamRead(u"Rec", stream, false) == 0 && stream.GetSize() > 0;
  }
};

TEST_F(TableCursorPasswordTest, TheNewPasswordOpensTheTableAndTheOldOneNoLonger) {
  uint32_t result = 0;
  TnxServerTableCursor* cursor = OpenP(u"old", result);
  ASSERT_EQ(result, 0u) << LastMessage();
  EXPECT_EQ(cursor->ChangePassword(u"new"), 0u) << LastMessage();
  EXPECT_EQ(platform::Utf16ToUtf8(cursor->sbcExtractPassword()), "new");
  // While open, and after a close from the files.
  EXPECT_EQ(Admits(*cursor, u"new"), 0u);
  EXPECT_EQ(Admits(*cursor, u"old"), nxeInvalidPassword);
  EXPECT_TRUE(RecordReadable(*cursor));
  cursor->Free();
  CloseTables();
  EXPECT_EQ(ReadRecord(u"P", u"old"), "!" + std::to_string(nxeInvalidPassword));
  EXPECT_EQ(ReadRecord(u"P", u"new"), "hello");
  TnxServerTableCursor* again = OpenP(u"old", result);
  EXPECT_EQ(result, nxeInvalidPassword);
  EXPECT_EQ(again, nullptr);
  again = OpenP(u"new", result);
  ASSERT_EQ(result, 0u) << LastMessage();
  again->Free();
}

TEST_F(TableCursorPasswordTest, AChangeStoppedAtAnyWriteKeepsTheOldPasswordAndTheRecords) {
  bool completed = false;
  for (int k = 1; k <= 64 && !completed; ++k) {
    SCOPED_TRACE("failing write " + std::to_string(k));
    CloseTables();
    TFaultFileOps faults;
    uint32_t result = 0;
    TnxServerTableCursor* cursor = nullptr;
    {
      platform::ScopedFileOps scoped(faults);
      cursor = OpenP(u"old", result);
    }
    ASSERT_EQ(result, 0u) << LastMessage();
    faults.FailCall(TFileOp::WriteAt, faults.Calls(TFileOp::WriteAt) + k, EIO);
    result = cursor->ChangePassword(u"new");
    if (result == 0) {
      completed = true;
      EXPECT_GT(k, 1) << "the change wrote nothing";
      EXPECT_EQ(Admits(*cursor, u"new"), 0u);
      cursor->Free();
      CloseTables();
      EXPECT_EQ(ReadRecord(u"P", u"new"), "hello");
      break;
    }
    EXPECT_EQ(platform::Utf16ToUtf8(cursor->sbcExtractPassword()), "old");
    EXPECT_EQ(Admits(*cursor, u"old"), 0u);
    EXPECT_EQ(Admits(*cursor, u"new"), nxeInvalidPassword);
    EXPECT_TRUE(RecordReadable(*cursor));
    EXPECT_EQ(cursor->TransContext()->stcTransaction(), nullptr);
    cursor->Free();
    // The next start finds the files as they were.
    CloseAll();
    nxFatalErrorFlag.store(false);
    OpenAll();
    EXPECT_EQ(ReadRecord(u"P", u"old"), "hello") << LastMessage();
    EXPECT_EQ(ReadRecord(u"P", u"new"), "!" + std::to_string(nxeInvalidPassword));
  }
  EXPECT_TRUE(completed);
}

}  // namespace
}  // namespace revurov::testing
