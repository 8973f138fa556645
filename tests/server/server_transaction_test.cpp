// Server transactions and their table transaction locks, and the
// transaction contexts that run them: granting and queueing, refusals and
// their texts, upgrades, nested commits and rollbacks, deadlocks, the
// contexts' codes, and a commit whose flush fails.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "engine/abstract_cursor.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/file_ops.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "storage/deadline.h"
#include "storage/server_exceptions.h"
#include "storage/stream_engines.h"
#include "storage/transactions.h"
#include "support/fault_file_ops.h"
#include "support/server_fixture.h"
#include "support/temp_dir.h"
#include "support/trans_link_request.h"

namespace revurov::testing {
namespace {

std::string Text(const platform::TStringList& aList) {
  std::string all;
  for (int32_t i = 0; i < aList.Count(); ++i) all += platform::Utf16ToUtf8(aList[i]) + "\n";
  return all;
}

std::string Utf8(std::u16string_view aText) { return platform::Utf16ToUtf8(std::u16string(aText)); }

// The last converted message without the exception data appended to it.
std::string MessageText() {
  std::string message = LastMessage();
  return message.substr(0, message.find("<[--!"));
}

class ServerTransactionTest : public ServerFixture {
protected:
  ServerTransactionTest() {
    nxFatalErrorFlag.store(false);
    Start();
    for (auto& session : sessions) session = Open();
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(sessions[0]->DatabaseOpen(database, u"Path", Path(), nullptr, omReadWrite, smShared, 1000), 0u)
        << LastMessage();
    db = static_cast<TnxServerDatabase*>(database);
    auto dict = std::make_unique<TnxDataDictionary>();
    dict->FieldsDescriptor().AddField(u"Value", u"", nxtInt32, 0, 0, false);
    for (int i = 0; i < 3; ++i) {
      TnxServerRootTable* table = nullptr;
      const std::u16string name = u"T" + std::u16string(1, char16_t(u'1' + i));
      EXPECT_EQ(Folder().sfTableCreate(name, u"", false, *dict, tsPersistent, table), 0u) << LastMessage();
      tables[i] = table;
    }
  }
  ~ServerTransactionTest() override {
    for (auto* context : contexts) context->Free();
    nxFatalErrorFlag.store(false);
  }

  std::u16string Path() const { return platform::Utf8ToUtf16(dir.Dir()); }
  TnxServerFolder& Folder() { return *db->Folder(); }
  TnxServerTransContext* Context(int aSession) {
    TnxAbstractTransContext* context = nullptr;
    EXPECT_EQ(sessions[aSession]->TransContextCreate(context, 10000), 0u);
    contexts.push_back(static_cast<TnxServerTransContext*>(context));
    return contexts.back();
  }
  // A context of aSession with a transaction started.
  TnxServerTransaction& Started(int aSession) {
    TnxServerTransContext* context = Context(aSession);
    EXPECT_EQ(context->TransactionStart(false, false), 0u);
    return *context->stcTransaction();
  }
  TnxServerTransContext& ContextOf(TnxServerTransaction& aTrans) {
    return static_cast<TnxServerTransContextOwnedTransaction&>(aTrans).TransContext();
  }
  static std::vector<TnxServerTransactionLevelTableLink*> Granted(TnxServerRootTable& aTable) {
    std::vector<TnxServerTransactionLevelTableLink*> links;
    for (auto* l = aTable.TransLinksGrantedHead(); l; l = l->TableNext()) links.push_back(l);
    return links;
  }
  static std::vector<TnxServerTransactionLevelTableLink*> Pending(TnxServerRootTable& aTable) {
    std::vector<TnxServerTransactionLevelTableLink*> links;
    for (auto* l = aTable.TransLinksPendingHead(); l; l = l->TableNext()) links.push_back(l);
    return links;
  }

  TempDir dir;
  TnxServerSession* sessions[4] = {};
  TnxServerDatabase* db = nullptr;
  TnxServerRootTable* tables[3] = {};
  std::vector<TnxServerTransContext*> contexts;
};

TEST_F(ServerTransactionTest, ReadersShareAWaitingWriterDoesNotHoldBackNewReaders) {
  TnxServerRootTable& t = *tables[0];
  TnxServerTransaction& a = Started(0);
  TnxServerTransaction& b = Started(1);
  TnxServerTransaction& c = Started(2);
  TnxServerTransaction& d = Started(3);
  EXPECT_EQ(TableLink(a, t, false), 0u);
  EXPECT_EQ(TableLink(b, t, false), 0u);
  TLinkRequest writer = BeginTableLink(c, t, true, false);
  ASSERT_TRUE(writer.Waiting);
  EXPECT_EQ(Pending(t), std::vector{writer.Link});
  EXPECT_EQ(TableLink(d, t, false), 0u);
  EXPECT_EQ(Granted(t).size(), 3u);

  EXPECT_EQ(ContextOf(a).TransactionCommit(), 0u);
  EXPECT_EQ(ContextOf(b).TransactionRollback(), 0u);
  EXPECT_EQ(writer.Link->State(), ttlsPending);
  EXPECT_EQ(ContextOf(d).TransactionCommit(), 0u);
  // The last reader left: the head of the queue is granted.
  EXPECT_EQ(writer.Link->State(), ttlsGranted);
  EXPECT_EQ(Granted(t), std::vector{writer.Link});
  EXPECT_EQ(FinishTableLink(writer.Link), 0u);
  EXPECT_EQ(c.stFindTableLink(t), writer.Link);
  EXPECT_EQ(ContextOf(c).TransactionCommit(), 0u);
  EXPECT_EQ(t.TransLinksGrantedHead(), nullptr);
}

TEST_F(ServerTransactionTest, WithoutADeadlineABlockedRequestAnswers10249AtOnce) {
  TnxServerRootTable& t = *tables[0];
  TnxServerTransaction& a = Started(0);
  TnxServerTransaction& b = Started(1);
  ASSERT_EQ(TableLink(a, t, true), 0u);
  nxSetTimeout(0, true);
  EXPECT_EQ(TableLink(b, t, false), nxeLockTimeOut);
  EXPECT_EQ(TableLink(b, t, true, true), nxeLockTimeOut);
  EXPECT_EQ(t.TransLinksPendingHead(), nullptr);
  EXPECT_EQ(b.stFindTableLink(t), nullptr);
}

TEST_F(ServerTransactionTest, AConflictWithinTheSessionFailsAtOnceWithTheSameSessionTag) {
  TnxServerRootTable& t = *tables[0];
  TnxServerTransaction& a = Started(0);
  TnxServerTransaction& b = Started(0);
  ASSERT_EQ(TableLink(a, t, false), 0u);
  TnxLockFailureReason reason;
  TLinkRequest request = BeginTableLink(b, t, true, false, &reason);
  EXPECT_FALSE(request.Waiting);
  EXPECT_EQ(request.Code, nxeLockTimeOut);
  EXPECT_TRUE(reason.SameSession);
  EXPECT_EQ(Text(reason),
            "The requested exclusive transaction lock for table \"T1\" could not be granted due to a conflicting "
            "shared transaction lock." +
                Utf8(nxMessageTag(u"LockError.Type", u"transaction") +
                     nxMessageTag(u"LockError.RequestExclusive", u"1") +
                     nxMessageTag(u"LockError.ConflictExclusive", u"0") +
                     nxMessageTag(u"LockError.ConflictMultiple", u"0")) +
                "\n\n" + Utf8(nxMessageTag(u"LockError.SameSession", u"1")) + "\n");
  EXPECT_EQ(Pending(t).size(), 0u);
}

TEST_F(ServerTransactionTest, RefusalTextsNameTheConflictAndItsSession) {
  struct Case {
    const char* Name;
    bool HolderExclusive;
    int Holders;
    bool Upgrade;
    std::string FirstLine;
    std::string SessionLine;
  };
  const std::vector<Case> cases = {
      {"shared after exclusive", true, 1, false,
       "The requested shared transaction lock for table \"T1\" could not be granted due to a conflicting "
       "exclusive transaction lock." +
           Utf8(nxMessageTag(u"LockError.Type", u"transaction") + nxMessageTag(u"LockError.RequestExclusive", u"0") +
                nxMessageTag(u"LockError.ConflictExclusive", u"1") +
                nxMessageTag(u"LockError.ConflictMultiple", u"0")),
       "The conflict occurred with the following session:"},
      {"exclusive after two shared", false, 2, false,
       "The requested exclusive transaction lock for table \"T1\" could not be granted due to multiple "
       "conflicting shared locks." +
           Utf8(nxMessageTag(u"LockError.Type", u"transaction") + nxMessageTag(u"LockError.RequestExclusive", u"1") +
                nxMessageTag(u"LockError.ConflictExclusive", u"0") +
                nxMessageTag(u"LockError.ConflictMultiple", u"1")),
       "One of the conflicting Sessions is:"},
      {"upgrade beside one shared", false, 1, true,
       "The requested exclusive transaction lock upgrade for table \"T1\" could not be granted due to a "
       "conflicting shared transaction lock." +
           Utf8(nxMessageTag(u"LockError.Type", u"transaction") + nxMessageTag(u"LockError.RequestExclusive", u"1") +
                nxMessageTag(u"LockError.ConflictExclusive", u"0") +
                nxMessageTag(u"LockError.ConflictMultiple", u"0")),
       "The conflict occurred with the following session:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TnxServerRootTable& t = *tables[0];
    std::vector<TnxServerTransaction*> holders;
    for (int i = 0; i < c.Holders; ++i) {
      holders.push_back(&Started(1 + i));
      ASSERT_EQ(TableLink(*holders.back(), t, c.HolderExclusive), 0u);
    }
    TnxServerTransaction& requester = Started(0);
    if (c.Upgrade) {
      ASSERT_EQ(TableLink(requester, t, false), 0u);
    }
    TnxLockFailureReason reason;
    nxSetTimeout(0, true);
    EXPECT_EQ(TableLink(requester, t, !c.HolderExclusive || c.Upgrade, false, &reason), nxeLockTimeOut);
    ASSERT_GE(reason.Count(), 4);
    EXPECT_EQ(Utf8(reason[0]), c.FirstLine);
    EXPECT_EQ(Utf8(reason[1]), "");
    EXPECT_EQ(Utf8(reason[2]), c.SessionLine);
    EXPECT_NE(Text(reason).find("Username: user"), std::string::npos);
    EXPECT_FALSE(reason.SameSession);
    EXPECT_EQ(ContextOf(requester).TransactionRollback(), 0u);
    for (auto* holder : holders) EXPECT_EQ(ContextOf(*holder).TransactionRollback(), 0u);
    EXPECT_FALSE(t.srtHasTransLinks());
  }
}

TEST_F(ServerTransactionTest, AnUnownedTransactionWaitsWithoutAReason) {
  TnxServerRootTable& t = *tables[0];
  TnxServerTransaction& a = Started(0);
  ASSERT_EQ(TableLink(a, t, false), 0u);
  auto* bare = new TnxServerTransaction(*engine->BufferManager(), nullptr, false, false, false);
  TnxLockFailureReason reason;
  reason.Add(u"stale");
  nxSetTimeout(0, true);
  EXPECT_EQ(TableLink(*bare, t, true, false, &reason), nxeLockTimeOut);
  EXPECT_EQ(reason.Count(), 0);
  bare->Rollback();  // frees it
}

TEST_F(ServerTransactionTest, ANestedCommitKeepsTheLocksAndHandsTheSharedCursorsToTheUpgrade) {
  TnxServerRootTable& t = *tables[0];
  TnxServerTransaction& a = Started(0);
  TnxServerTransContext& context = ContextOf(a);
  ASSERT_EQ(TableLink(a, t, false), 0u);
  TnxServerTransactionLevelTableLink* shared = a.stFindTableLink(t);
  TnxServerTransLinkCursor c1, c2;
  c1.stcAddToTransLink(*shared);
  ASSERT_EQ(context.TransactionStart(false, false), 0u);
  int32_t level = -1;
  EXPECT_EQ(context.TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 1);
  // The shared link is at the outer level: the upgrade is a link of its own.
  ASSERT_EQ(TableLink(a, t, true), 0u);
  TnxServerTransactionLevelTableLink* upgrade = a.stFindTableLink(t);
  ASSERT_NE(upgrade, shared);
  EXPECT_EQ(upgrade->ConvertFrom(), shared);
  EXPECT_EQ(Granted(t), std::vector{upgrade});
  EXPECT_EQ(c1.TransLink(), shared);
  c2.stcAddToTransLink(*upgrade);

  ASSERT_EQ(context.TransactionCommit(), 0u);
  EXPECT_EQ(context.TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 0);
  // The shared link went; the upgrade carries both cursors at level 0.
  EXPECT_EQ(a.ServerLevel()->TableLinksHead(), upgrade);
  EXPECT_EQ(upgrade->TransactionLevelNext(), nullptr);
  EXPECT_EQ(upgrade->ConvertFrom(), nullptr);
  EXPECT_EQ(c1.TransLink(), upgrade);
  EXPECT_EQ(c2.TransLink(), upgrade);
  EXPECT_EQ(Granted(t), std::vector{upgrade});
  TnxServerTransaction& b = Started(1);
  nxSetTimeout(0, true);
  EXPECT_EQ(TableLink(b, t, false), nxeLockTimeOut);
  EXPECT_EQ(context.TransactionCommit(), 0u);
  EXPECT_EQ(c1.TransLink(), nullptr);
  EXPECT_EQ(c2.TransLink(), nullptr);
  EXPECT_EQ(TableLink(b, t, false), 0u);
}

TEST_F(ServerTransactionTest, RollingBackAnUpgradeGivesTheSharedLockBackWithItsCursors) {
  TnxServerRootTable& t = *tables[0];
  TnxServerTransaction& a = Started(0);
  TnxServerTransContext& context = ContextOf(a);
  ASSERT_EQ(TableLink(a, t, false), 0u);
  TnxServerTransactionLevelTableLink* shared = a.stFindTableLink(t);
  TnxServerTransLinkCursor c1, c2;
  c1.stcAddToTransLink(*shared);
  ASSERT_EQ(context.TransactionStart(false, false), 0u);
  ASSERT_EQ(TableLink(a, t, true), 0u);
  TnxServerTransactionLevelTableLink* upgrade = a.stFindTableLink(t);
  c2.stcAddToTransLink(*upgrade);
  ASSERT_EQ(context.TransactionRollback(), 0u);
  EXPECT_EQ(a.stFindTableLink(t), shared);
  EXPECT_FALSE(shared->Exclusive());
  EXPECT_EQ(shared->ConvertTo(), nullptr);
  EXPECT_EQ(Granted(t), std::vector{shared});
  EXPECT_EQ(c1.TransLink(), shared);
  EXPECT_EQ(c2.TransLink(), shared);
  // Shared again: another session reads beside it.
  TnxServerTransaction& b = Started(1);
  EXPECT_EQ(TableLink(b, t, false), 0u);
}

TEST_F(ServerTransactionTest, AnUpgradeAtTheInnermostLevelOfTheOnlyReaderHappensInPlace) {
  TnxServerRootTable& t = *tables[0];
  TnxServerTransaction& a = Started(0);
  ASSERT_EQ(TableLink(a, t, false), 0u);
  TnxServerTransactionLevelTableLink* shared = a.stFindTableLink(t);
  ASSERT_EQ(TableLink(a, t, true), 0u);
  EXPECT_EQ(a.stFindTableLink(t), shared);
  EXPECT_TRUE(shared->Exclusive());
}

TEST_F(ServerTransactionTest, ASecondUpgradeWhileOneWaitsIsADeadlock) {
  TnxServerRootTable& t = *tables[0];
  TnxServerTransaction& a = Started(0);
  TnxServerTransaction& b = Started(1);
  TnxServerTransContext& bContext = ContextOf(b);
  ASSERT_EQ(TableLink(a, t, false), 0u);
  ASSERT_EQ(TableLink(b, t, false), 0u);
  ASSERT_EQ(TableLink(b, *tables[1], true), 0u);
  TLinkRequest first = BeginTableLink(a, t, true, false);
  ASSERT_TRUE(first.Waiting);
  EXPECT_EQ(t.TransLinksPendingUpgrade(), first.Link);
  EXPECT_EQ(BeginTableLink(b, t, true, false).Code, nxeDeadlock);
  // b's links are gone: a's upgrade went through.
  EXPECT_EQ(first.Link->State(), ttlsGranted);
  EXPECT_EQ(FinishTableLink(first.Link), 0u);
  EXPECT_EQ(Granted(t), std::vector{first.Link});
  EXPECT_EQ(tables[1]->TransLinksGrantedHead(), nullptr);
  EXPECT_EQ(b.CheckState(), nxeDeadlock);
  EXPECT_EQ(bContext.TransactionStart(false, false), nxeDeadlock);
  EXPECT_EQ(bContext.TransactionCommit(), nxeDeadlock);
  EXPECT_EQ(bContext.TransactionRollback(), 0u);
  EXPECT_EQ(bContext.stcTransaction(), nullptr);
  EXPECT_EQ(bContext.TransactionStart(false, false), 0u);
}

TEST_F(ServerTransactionTest, SnapshotLinksNeverConflict) {
  TnxServerRootTable& t = *tables[0];
  TnxServerTransaction& a = Started(0);
  ASSERT_EQ(TableLink(a, t, true), 0u);
  TnxServerTransContext* context = Context(1);
  ASSERT_EQ(context->TransactionStart(false, true), 0u);
  TnxServerTransaction& snapshot = *context->stcTransaction();
  EXPECT_EQ(TableLink(snapshot, t, false), 0u);
  EXPECT_TRUE(snapshot.stFindTableLink(t)->Snapshot());
  EXPECT_EQ(t.TransLinksSnapshotGrantedHead(), snapshot.stFindTableLink(t));
  EXPECT_EQ(context->TransactionCommit(), 0u);
  EXPECT_EQ(t.TransLinksSnapshotGrantedHead(), nullptr);
}

TEST_F(ServerTransactionTest, ATableWithLinksIsNotClosable) {
  TnxServerRootTable& t = *tables[0];
  TnxServerTransaction& a = Started(0);
  ASSERT_EQ(TableLink(a, t, false), 0u);
  EXPECT_FALSE(t.srtCanClose(true, false, 0));
  ASSERT_EQ(ContextOf(a).TransactionCommit(), 0u);
  EXPECT_TRUE(t.srtCanClose(true, false, 0));
}

TEST_F(ServerTransactionTest, AnUnnamedTableGoesWithTheLastLinkWhenNoCursorIsLeft) {
  auto dict = std::make_unique<TnxDataDictionary>();
  dict->FieldsDescriptor().AddField(u"Value", u"", nxtInt32, 0, 0, false);
  TnxServerRootTable* unnamed = nullptr;
  ASSERT_EQ(Folder().sfTableCreate(u"", u"", false, *dict, tsTempUnnamed, unnamed), 0u) << LastMessage();
  const int32_t before = Folder().TableCount();
  TnxServerTransaction& a = Started(0);
  TnxServerTransaction& b = Started(1);
  ASSERT_EQ(TableLink(a, *unnamed, false), 0u);
  ASSERT_EQ(TableLink(b, *unnamed, false), 0u);
  // Closing it now would pull it from under both transactions.
  EXPECT_FALSE(Folder().sfCloseIfClosable(unnamed, true, false, 1));
  ASSERT_EQ(ContextOf(a).TransactionCommit(), 0u);
  EXPECT_EQ(Folder().TableCount(), before);
  ASSERT_EQ(ContextOf(b).TransactionRollback(), 0u);
  EXPECT_EQ(Folder().TableCount(), before - 1);
}

// ---- the contexts ----

TEST_F(ServerTransactionTest, WithoutATransactionTheContextAnswers10257) {
  TnxServerTransContext* context = Context(0);
  for (auto call : {&TnxServerTransContext::TransactionCommit, &TnxServerTransContext::TransactionRollback,
                    &TnxServerTransContext::TransactionCorrupted}) {
    EXPECT_EQ((context->*call)(), nxeNoTransaction);
  }
  int32_t level = 7;
  EXPECT_EQ(context->TransactionGetLevel(level), nxeNoTransaction);
  TnxTransactionInfo info;
  info.tiLevel = 9;
  info.tiLevels.resize(2);
  EXPECT_EQ(context->TransactionGetInfo(info, true), nxeNoTransaction);
  EXPECT_EQ(info.tiLevel, 0);
  EXPECT_TRUE(info.tiLevels.empty());
}

TEST_F(ServerTransactionTest, StartWithACursorThatIsNoTableCursorAnswers9990AndStartsNothing) {
  TnxServerTransContext* context = Context(0);
  // Never touched: refused for what it is not.
  alignas(64) unsigned char notACursor[64] = {};
  TnxAbstractCursor* cursors[] = {reinterpret_cast<TnxAbstractCursor*>(notACursor)};
  EXPECT_EQ(context->TransactionStartWith(false, false, cursors), nxeInvalidHandle);
  EXPECT_EQ(context->stcTransaction(), nullptr);
  EXPECT_EQ(context->TransactionStartWith(false, false, {}), 0u);
  EXPECT_NE(context->stcTransaction(), nullptr);
  EXPECT_EQ(context->TransactionStartWith(false, false, cursors), nxeInvalidHandle);
  int32_t level = -1;
  EXPECT_EQ(context->TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 0);
}

TEST_F(ServerTransactionTest, ALevelInUseCannotEndWith8455) {
  TnxServerTransContext* context = Context(0);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  context->stcTransaction()->Lock();
  EXPECT_EQ(context->TransactionCommit(), nxeIllegalReentry);
  EXPECT_EQ(MessageText(), "The current transaction level is in use. Can't commit or rollback");
  EXPECT_EQ(context->TransactionRollback(), nxeIllegalReentry);
  context->stcTransaction()->Unlock();
  EXPECT_EQ(context->TransactionCommit(), 0u);
  EXPECT_EQ(context->stcTransaction(), nullptr);
}

TEST_F(ServerTransactionTest, LevelsCountNestedStartsAndInfoDescribesEachLevel) {
  TnxServerTransContext* context = Context(0);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  int32_t level = -1;
  EXPECT_EQ(context->TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 1);
  // A no-more-nested level only counts further starts.
  ASSERT_EQ(context->stcTransactionStart(false, false, false, true, false, false), 0u);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  EXPECT_EQ(context->TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 3);
  TnxTransactionInfo info;
  ASSERT_EQ(context->TransactionGetInfo(info, false), 0u);
  EXPECT_EQ(info.tiLevel, 3);
  ASSERT_EQ(info.tiLevels.size(), 3u);
  EXPECT_EQ(info.tiLevels[2].tliLevel, 2);
  EXPECT_EQ(info.tiLevels[2].tliNestingCount, 1);
  EXPECT_EQ(info.tiLevels[0].tliLevel, 0);
  EXPECT_EQ(info.tiStartLSN, info.tiLevels[0].tliStartLSN);
  // An absorbed start rolled back marks the level corrupted.
  EXPECT_EQ(context->TransactionRollback(), 0u);
  EXPECT_EQ(context->TransactionCommit(), nxeTransactionCorrupt);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(context->TransactionRollback(), 0u);
  EXPECT_EQ(context->stcTransaction(), nullptr);
}

TEST_F(ServerTransactionTest, InfoReportsAFailSafeTransactionAsSuch) {
  const struct {
    bool failSafe, snapshot, forced;
    TnxTransactionStates state;
  } cases[] = {
      {false, false, false, 0},
      {true, false, false, nxStateBit(tsFailsafe)},
      {false, true, false, nxStateBit(tsSnapshot)},
      {false, false, true, nxStateBit(tsFailsafe)},  // the context forces it
  };
  TnxServerTransContext* context = Context(0);
  for (const auto& c : cases) {
    context->stcSetForceFailSafe(c.forced);
    ASSERT_EQ(context->TransactionStart(c.failSafe, c.snapshot), 0u);
    ASSERT_EQ(context->TransactionStart(false, false), 0u);
    TnxTransactionInfo info;
    ASSERT_EQ(context->TransactionGetInfo(info, false), 0u);
    EXPECT_EQ(info.tiState, c.state) << c.failSafe << c.snapshot << c.forced;
    EXPECT_EQ(context->TransactionRollback(), 0u);
    EXPECT_EQ(context->TransactionRollback(), 0u);
  }
  context->stcSetForceFailSafe(false);
}

TEST_F(ServerTransactionTest, AFailedContextRefusesNewTransactionsWith15443) {
  TnxServerTransContext* context = Context(0);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  TnxServerTransaction& trans = *context->stcTransaction();
  ASSERT_EQ(TableLink(trans, *tables[0], true), 0u);
  context->Failed();
  // Failing rolls back everything.
  EXPECT_EQ(context->stcTransaction(), nullptr);
  EXPECT_EQ(tables[0]->TransLinksGrantedHead(), nullptr);
  EXPECT_EQ(context->TransactionStart(false, false), nxeTransactionCorrupt);
}

TEST_F(ServerTransactionTest, TheEnginesForceFailSafeOptionReachesItsContexts) {
  EXPECT_FALSE(Context(0)->stcForceFailSafe());
  // Stopping the engine frees the sessions and their contexts.
  contexts.clear();
  engine->SetActive(false);
  engine->SetOptions(engine->Options() | nxServerEngineOption(seoForceFailSafe));
  engine->SetActive(true);
  TnxServerSession* session = Open();
  TnxAbstractTransContext* context = nullptr;
  ASSERT_EQ(session->TransContextCreate(context, 1000), 0u);
  EXPECT_TRUE(static_cast<TnxServerTransContext*>(context)->stcForceFailSafe());
  context->Free();
}

// ---- a commit whose flush fails ----

TEST_F(ServerTransactionTest, AFailedFlushRollsBackBeforeAnybodySeesTheContentsAndFailsNewSessions) {
  auto dict = std::make_unique<TnxDataDictionary>();
  dict->FieldsDescriptor().AddField(u"Value", u"", nxtInt32, 0, 0, false);
  TnxMemoryStream payload;
  const std::string bytes(3000, 'x');
  payload.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  bool committed = false;
  // Every write of the commit's flush fails once, until the flush gets past
  // them all.
  for (int k = 1; k <= 40 && !committed; ++k) {
    SCOPED_TRACE(k);
    nxFatalErrorFlag.store(false);
    TFaultFileOps faults;
    TnxServerRootTable* table = nullptr;
    {
      platform::ScopedFileOps scoped(faults);
      ASSERT_EQ(Folder().sfTableCreate(u"Faulty", u"", false, *dict, tsPersistent, table), 0u) << LastMessage();
    }
    TnxServerTransaction& writer = Started(0);
    TnxServerTransContext& context = ContextOf(writer);
    TnxServerTransContext& other = *Context(1);
    ASSERT_EQ(other.TransactionStart(false, false), 0u);
    ASSERT_EQ(TableLink(writer, *table, true), 0u);
    ASSERT_EQ(table->StreamEngine()->WriteNamedStream(writer, u"Payload", payload), 0u);
    faults.FailCall(TFileOp::WriteAt, faults.Calls(TFileOp::WriteAt) + k, EIO);
    const uint32_t result = context.TransactionCommit();
    EXPECT_EQ(context.stcTransaction(), nullptr);
    EXPECT_FALSE(table->srtHasTransLinks());
    EXPECT_TRUE(table->CommitPadlock().TryLock());
    table->CommitPadlock().Unlock();
    TnxAbstractServerObject* session = nullptr;
    if (result == 0) {
      committed = true;
      EXPECT_EQ(other.TransactionCommit(), 0u);
      EXPECT_EQ(engine->SessionOpen(session, u"user", u"", u"test", 1000), 0u);
    } else {
      // Another session never gets at what was rolled back: everything it
      // asks is refused.
      EXPECT_EQ(other.TransactionStart(false, false), nxeTransactionCorrupt);
      EXPECT_EQ(other.TransactionCommit(), nxeTransactionCorrupt);
      // Nobody gets in any more.
      EXPECT_EQ(engine->SessionOpen(session, u"user", u"", u"test", 1000), nxeTransactionCorrupt);
    }
    if (session) session->Free();
    nxFatalErrorFlag.store(false);
    if (!committed) {
      EXPECT_EQ(other.TransactionRollback(), 0u);
    }
    table->Free();
    std::filesystem::remove(dir.Path("Faulty.nx1"));
  }
  EXPECT_TRUE(committed);
}

}  // namespace
}  // namespace revurov::testing
