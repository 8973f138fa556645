// The remote transaction context end to end over loopback TCP: the old and
// the stated requests, the state they bring, the cached answers, the cache
// context kept in step and the states a server must not be trusted with.
#include "engine/remote_trans_context.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dictionary/fields_descriptor.h"
#include "engine/engine_extender.h"
#include "engine/remote_cursor.h"
#include "engine/remote_database.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "support/remote_engine_fixture.h"
#include "support/tagged_bytes.h"
#include "support/test_engine.h"

namespace revurov::testing {
namespace {

using Ids = std::vector<TnxMsgID>;

// A local context that counts what it is asked and moves its level as a
// real one would; each operation can be made to fail.
class CountingTransContext : public TnxBaseTransContext {
  REVUROV_SERVER_OBJECT_CLASS(CountingTransContext, TnxBaseTransContext)
  CountingTransContext(TnxAbstractSession* aSession, int32_t aLevel)
      : TnxBaseTransContext(aSession, 0), level(aLevel) {}

  uint32_t TransactionStart(bool, bool) override {
    ++starts;
    if (failStart) return nxeInvalidHandle;
    ++level;
    return 0;
  }
  uint32_t TransactionStartWith(bool aFailSafe, bool aSnapShot, std::span<TnxAbstractCursor* const>) override {
    return TransactionStart(aFailSafe, aSnapShot);
  }
  uint32_t TransactionCommit() override {
    ++commits;
    if (failCommit) return nxeInvalidHandle;
    --level;
    return 0;
  }
  uint32_t TransactionRollback() override {
    ++rollbacks;
    if (failRollback) return nxeInvalidHandle;
    --level;
    return 0;
  }
  uint32_t TransactionCorrupted() override { return 0; }
  uint32_t TransactionGetLevel(int32_t& aTransLevel) override {
    aTransLevel = level;
    return 0;
  }
  uint32_t TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool) override {
    aTransInfo = nxEmptyTransactionInfo();
    return nxeNoTransaction;
  }

  int32_t level = -1;
  int starts = 0, commits = 0, rollbacks = 0;
  bool failStart = false, failCommit = false, failRollback = false;

protected:
  ~CountingTransContext() override = default;
};

class RemoteTransContextTest : public RemoteEngineFixture {
protected:
  // A session of a server of aVersion and a context of it.
  void Connect(int32_t aVersion = 47501) {
    handler->Configure([&](TTestCommandHandler& h) { h.ServerVersion = aVersion; });
    session = Open();
    ASSERT_NE(session, nullptr);
    TnxAbstractTransContext* made = nullptr;
    ASSERT_EQ(session->TransContextCreate(made, 5000), 0u);
    context = static_cast<TnxRemoteTransContext*>(made);
  }
  Ids Sent(size_t aFrom) const { return SentBy(session, aFrom); }
  // The last request the server saw with aMsgID.
  TaggedBytes LastPayload(TnxMsgID aMsgID) const {
    TaggedBytes payload;
    for (const auto& r : handler->Received())
      if (r.msgID == aMsgID) payload = r.data;
    return payload;
  }
  TaggedBytes RawID() const {
    TaggedBytes bytes(4);
    platform::StoreU32(bytes.data(), context->RemoteID());
    return bytes;
  }
  // The next stated reply of aMsgID carries a state of aLevel.
  void ScriptState(TnxMsgID aMsgID, int32_t aLevel, bool aSnapShot = false, uint32_t aCode = 0,
                   int32_t aLevelCount = -2) {
    handler->Script(aMsgID, Fixed(aCode, TTestCommandHandler::TransactionState(aLevel, aSnapShot,
                                                                               aLevel < 0 ? 0 : 500, aLevelCount)));
  }
  CountingTransContext* NewCache(int32_t aLevel) {
    cache = nxCreateServerObject<CountingTransContext>(session, aLevel);
    EXPECT_EQ(context->SetCacheTransContext(cache.get()), 0u);
    return cache.get();
  }

  TnxRemoteSession* session = nullptr;
  TnxRemoteTransContext* context = nullptr;
  TnxServerObjectPtr<CountingTransContext> cache;
};

TEST_F(RemoteTransContextTest, OldServersGetTheOldRequestsNewerOnesTheStatedOnes) {
  const struct {
    int32_t version;
    Ids sent;
    int32_t keptLevelAfterStart;
  } rows[] = {
      {47004, {0x901, 0x903}, -1},
      {47005, {0x911, 0x913}, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.version);
    Connect(row.version);
    const size_t before = SentCount(session);
    ASSERT_EQ(context->TransactionStart(true, false), 0u);
    EXPECT_EQ(context->TransInfo().tiLevel, row.keptLevelAfterStart);
    EXPECT_EQ(LastPayload(row.sent[0]), (TaggedBytes{RawID()[0], RawID()[1], RawID()[2], RawID()[3], 1, 0}));
    ASSERT_EQ(context->TransactionCommit(), 0u);
    EXPECT_EQ(Sent(before), row.sent);
    EXPECT_EQ(LastPayload(row.sent[1]), RawID());
    // Either way no transaction is known after the outermost commit.
    EXPECT_EQ(context->TransInfo().tiStartLSN, 0);
    EXPECT_EQ(context->TransInfo().tiLevel, -1);
    context->Free();
    session->Free();
  }
}

TEST_F(RemoteTransContextTest, TheReplysStateIsTakenOverAlsoWhenTheRequestFails) {
  Connect();
  ScriptState(0x913, 1, false, nxeInvalidHandle);
  EXPECT_EQ(context->TransactionCommit(), nxeInvalidHandle);
  EXPECT_EQ(context->TransInfo().tiLevel, 1);
  EXPECT_EQ(context->TransInfo().tiLevels.size(), 2u);

  // A failure without a state leaves the empty state.
  handler->Script(0x913, Fixed(nxeInvalidHandle));
  EXPECT_EQ(context->TransactionCommit(), nxeInvalidHandle);
  EXPECT_EQ(context->TransInfo().tiLevel, -1);
  EXPECT_TRUE(context->TransInfo().tiLevels.empty());
}

TEST_F(RemoteTransContextTest, TransactionInfoComesFromTheCacheOrTheServer) {
  Connect();
  TnxTransactionInfo info;
  EXPECT_EQ(context->TransactionGetInfo(info, true), nxeNoTransaction) << "nothing started yet";

  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  size_t before = SentCount(session);
  ASSERT_EQ(context->TransactionGetInfo(info, true), 0u);
  EXPECT_EQ(SentCount(session), before) << "answered from the kept state";
  EXPECT_EQ(info.tiLevel, 1);
  EXPECT_EQ(info.tiLevels.size(), 2u);
  EXPECT_NE(info.tiStartLSN, 0);

  ASSERT_EQ(context->TransactionGetInfo(info, false), 0u);
  EXPECT_EQ(Sent(before), Ids{0x916});
  EXPECT_EQ(info.tiLevel, 1);

  int32_t level = 7;
  ASSERT_EQ(context->TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 1);

  ASSERT_EQ(context->TransactionCommit(), 0u);
  ASSERT_EQ(context->TransactionCommit(), 0u);
  before = SentCount(session);
  EXPECT_EQ(context->TransactionGetInfo(info, true), nxeNoTransaction);
  EXPECT_EQ(info.tiStartLSN, 0);
  EXPECT_EQ(context->TransactionGetInfo(info, false), nxeNoTransaction);
  EXPECT_EQ(Sent(before), Ids{0x916});
}

TEST_F(RemoteTransContextTest, OldServersHaveNoTransactionInfoAndTheirLevelIsRaw) {
  Connect(47004);
  size_t before = SentCount(session);
  TnxTransactionInfo info;
  info.tiLevel = 9;
  EXPECT_EQ(context->TransactionGetInfo(info, false), nxeIncompatibleVersion);
  EXPECT_EQ(info.tiLevel, -1);
  EXPECT_EQ(SentCount(session), before);

  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  int32_t level = 7;
  ASSERT_EQ(context->TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 0);
  EXPECT_EQ(LastPayload(0x906), RawID());

  handler->Script(0x906, Fixed(0, {1, 0, 0}));
  level = 7;
  EXPECT_EQ(context->TransactionGetLevel(level), nxeMessageUnrecognized) << "shorter than its u32";
  EXPECT_EQ(level, 0);
}

TEST_F(RemoteTransContextTest, TheCacheContextIsKeptAtTheServersLevel) {
  const struct {
    const char* name;
    int32_t cacheLevel;
    int32_t keptLevel;  // the state before, from a scripted start; -2: none
    TnxMsgID msgID;
    int32_t serverLevel;
    bool snapshot;
    int starts, commits, rollbacks;
    int32_t cacheLevelAfter;
  } rows[] = {
      {"a start to server level 2 from local 0: two starts", 0, -2, 0x911, 2, false, 2, 0, 0, 2},
      {"a start the cache is level with: nothing", 1, -2, 0x911, 1, false, 0, 0, 0, 1},
      {"a snapshot leaves the cache alone", -1, -2, 0x911, 1, true, 0, 0, 0, -1},
      {"a commit from 1 to 0 with the cache at 1: one commit", 1, 1, 0x913, 0, false, 0, 1, 0, 0},
      {"the outermost commit ends the cache's transaction", 0, 0, 0x913, -1, false, 0, 1, 0, -1},
      {"a rollback of everything from level 1: two rollbacks", 1, 1, 0x914, -1, false, 0, 0, 2, -1},
      {"a commit after a snapshot: nothing", 0, -3, 0x913, -1, false, 0, 0, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Connect();
    if (row.keptLevel != -2) {
      ScriptState(0x911, row.keptLevel == -3 ? 0 : row.keptLevel, row.keptLevel == -3);
      ASSERT_EQ(context->TransactionStart(false, row.keptLevel == -3), 0u);
    }
    CountingTransContext* local = NewCache(row.cacheLevel);
    ScriptState(row.msgID, row.serverLevel, row.snapshot);
    uint32_t result = 0;
    if (row.msgID == 0x911) result = context->TransactionStart(false, row.snapshot);
    if (row.msgID == 0x913) result = context->TransactionCommit();
    if (row.msgID == 0x914) result = context->TransactionRollback();
    ASSERT_EQ(result, 0u);
    EXPECT_EQ(local->starts, row.starts);
    EXPECT_EQ(local->commits, row.commits);
    EXPECT_EQ(local->rollbacks, row.rollbacks);
    EXPECT_EQ(local->level, row.cacheLevelAfter);
    cache.reset();
    context->Free();
    session->Free();
  }
}

TEST_F(RemoteTransContextTest, ACacheContextThatFailsStopsTheSteps) {
  Connect();
  // Commit fails: a rollback takes its place.
  ScriptState(0x911, 1);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  CountingTransContext* local = NewCache(1);
  local->failCommit = true;
  ScriptState(0x913, 0);
  ASSERT_EQ(context->TransactionCommit(), 0u) << "the cache's failure is not reported";
  EXPECT_EQ(local->commits, 1);
  EXPECT_EQ(local->rollbacks, 1);
  EXPECT_EQ(local->level, 0);

  // Both fail: one try, then the loop stops.
  ScriptState(0x911, 1);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  local->level = 1;
  local->commits = local->rollbacks = 0;
  local->failRollback = true;
  ScriptState(0x913, -1);
  ASSERT_EQ(context->TransactionCommit(), 0u);
  EXPECT_EQ(local->commits, 1);
  EXPECT_EQ(local->rollbacks, 1);

  // A start that fails is tried once.
  local->failStart = true;
  local->level = -1;
  local->starts = 0;
  ScriptState(0x911, 3);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  EXPECT_EQ(local->starts, 1);
}

TEST_F(RemoteTransContextTest, TheServersLevelTakesNoMoreLocalStepsThanItsStateLists) {
  Connect();
  CountingTransContext* local = NewCache(-1);
  // Level 1,000,000 announced with three levels listed.
  ScriptState(0x911, 1000000, false, 0, 3);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  EXPECT_EQ(local->starts, 3);

  // A commit to a level far below: bounded by the levels the state before listed.
  local->level = 100;
  local->commits = 0;
  ScriptState(0x913, -1000000, false, 0, 0);
  ASSERT_EQ(context->TransactionCommit(), 0u);
  EXPECT_EQ(local->commits, 3);
}

TEST_F(RemoteTransContextTest, AFreedCacheContextIsForgotten) {
  Connect();
  CountingTransContext* local = NewCache(-1);
  ScriptState(0x911, 0);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  EXPECT_EQ(local->starts, 1);
  cache.reset();
  // Under ASan a step into the freed context would be caught here.
  ScriptState(0x911, 1);
  EXPECT_EQ(context->TransactionStart(false, false), 0u);
  ScriptState(0x913, 0);
  EXPECT_EQ(context->TransactionCommit(), 0u);

  // Nil forgets a live one as well.
  local = NewCache(-1);
  ASSERT_EQ(context->SetCacheTransContext(nullptr), 0u);
  ScriptState(0x911, 0);
  ASSERT_EQ(context->TransactionStart(false, false), 0u);
  EXPECT_EQ(local->starts, 0);
}

TEST_F(RemoteTransContextTest, AStateTheReplyCannotHoldIsRefused) {
  const struct {
    const char* name;
    TaggedBytes reply;
    uint32_t result;
  } rows[] = {
      {"2^31 levels", Written([](TnxWriter& w) { w.WriteInteger(int64_t{1} << 31); }), nxeMessageUnrecognized},
      {"2^31 - 1 levels", Written([](TnxWriter& w) { w.WriteInteger(int32_t{0x7FFFFFFF}); }),
       nxeMessageUnrecognized},
      {"a negative count", Written([](TnxWriter& w) { w.WriteInteger(int32_t{-1}); }), nxeMessageUnrecognized},
      {"more levels than bytes", Written([](TnxWriter& w) {
         w.WriteInteger(40);
         w.WriteListBegin();
         w.WriteDate(0);
         w.WriteListEnd();
       }),
       nxeMessageUnrecognized},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Connect();
    CountingTransContext* local = NewCache(-1);
    handler->Script(0x911, Fixed(0, row.reply));
    EXPECT_EQ(context->TransactionStart(false, false), row.result);
    EXPECT_EQ(context->TransInfo().tiLevel, -1);
    EXPECT_TRUE(context->TransInfo().tiLevels.empty());
    EXPECT_EQ(local->starts, 0);
    handler->Script(0x916, Fixed(0, Written([&](TnxWriter& w) {
                                   w.WriteInteger(0);
                                   w.WriteBoolean(true);
                                   w.FlushBuffer();
                                   w.Write(row.reply.data(), static_cast<int64_t>(row.reply.size()));
                                 })));
    int32_t level = 5;
    EXPECT_EQ(context->TransactionGetLevel(level), row.result);
    EXPECT_EQ(level, 0);
    cache.reset();
    context->Free();
    session->Free();
  }
}

TEST_F(RemoteTransContextTest, AStateThatBreaksOffAnswersTheReadersError) {
  Connect();
  TaggedBytes state = TTestCommandHandler::TransactionState(1, false, 5);
  state.pop_back();
  handler->Script(0x911, Fixed(0, state));
  const uint32_t result = context->TransactionStart(false, false);
  EXPECT_NE(result, 0u);
  EXPECT_NE(result, nxeMessageUnrecognized);
  EXPECT_EQ(context->TransInfo().tiLevel, -1);
}

TEST_F(RemoteTransContextTest, StartWithTakesOnlyRemoteCursorsOfThisSession) {
  auto dictionary = std::make_shared<TnxDataDictionary>();
  dictionary->FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, false);
  TnxMemoryStream bytes(-1);
  dictionary->WriteToStream(bytes, nxRemoteClientVersion);
  const auto* raw = static_cast<const uint8_t*>(bytes.Memory());
  handler->Configure([&](TTestCommandHandler& h) {
    h.Aliases = {{u"Alpha", u"/data/a"}};
    h.CursorTables[u"Orders"] = {TaggedBytes(raw, raw + bytes.GetSize()), dictionary->Guid(),
                                 dictionary->CurrentID(), -1, -1};
  });
  auto cursorOf = [&](TnxRemoteSession* aSession, TnxAbstractDatabase*& aDatabase) {
    EXPECT_EQ(aSession->DatabaseOpen(aDatabase, u"Name", u"Alpha", nullptr, omReadWrite, smShared, 5000), 0u);
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(aDatabase->CursorOpen(cursor, u"Orders", u"", omReadWrite, smShared, 3000, u"", -1, false, 0, 500,
                                    nullptr),
              0u);
    return cursor;
  };
  Connect();
  TnxAbstractDatabase* database = nullptr;
  TnxAbstractCursor* first = cursorOf(session, database);
  TnxAbstractCursor* second = nullptr;
  ASSERT_EQ(database->CursorOpen(second, u"Orders", u"", omReadOnly, smShared, 3000, u"", -1, false, 0, 500, nullptr),
            0u);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);

  size_t before = SentCount(session);
  TnxAbstractCursor* const both[] = {second, first};
  ASSERT_EQ(context->TransactionStartWith(true, false, both), 0u);
  EXPECT_EQ(Sent(before), Ids{0x912});
  EXPECT_EQ(LastPayload(0x912), Written([&](TnxWriter& w) {
              w.WriteInteger(static_cast<int32_t>(context->RemoteID()));
              w.WriteBoolean(true);
              w.WriteBoolean(false);
              w.WriteInteger(2);
              w.WriteInteger(static_cast<int32_t>(static_cast<TnxRemoteCursor*>(second)->CursorID()));
              w.WriteInteger(static_cast<int32_t>(static_cast<TnxRemoteCursor*>(first)->CursorID()));
            }));
  EXPECT_EQ(context->TransInfo().tiLevel, 0);

  TnxRemoteSession* other = Open();
  TnxAbstractDatabase* otherDatabase = nullptr;
  TnxAbstractCursor* foreign = cursorOf(other, otherDatabase);
  ASSERT_NE(foreign, nullptr);
  before = SentCount(session);
  TnxAbstractCursor* const mixed[] = {first, foreign};
  EXPECT_EQ(context->TransactionStartWith(false, false, mixed), nxeInvalidHandle);
  TnxAbstractCursor* const withNil[] = {first, nullptr};
  EXPECT_EQ(context->TransactionStartWith(false, false, withNil), nxeInvalidHandle);
  EXPECT_EQ(SentCount(session), before);
  EXPECT_EQ(context->TransInfo().tiLevel, 0) << "a refused start keeps the state";
  other->Free();
}

TEST_F(RemoteTransContextTest, ExtendersHearTheTransactionsAndMayVetoAllButARollback) {
  Connect();
  std::vector<std::u16string> log;
  nxCreateEngineExtender<TestExtender>(
      nullptr, context, TnxEngineActions{eaTransactionStart, eaTransactionCommit, eaTransactionRollback},
      std::map<TnxEngineAction, uint32_t>{{eaTransactionStart, 71}, {eaTransactionCommit, 72},
                                          {eaTransactionRollback, 73}},
      &log);
  const size_t before = SentCount(session);
  EXPECT_EQ(context->TransactionStart(false, false), 71u);
  EXPECT_EQ(context->TransactionCommit(), 72u);
  EXPECT_EQ(Sent(before), Ids{}) << "vetoed: nothing sent";
  EXPECT_EQ(context->TransactionRollback(), nxeNoTransaction) << "sent despite the veto; the server's answer";
  EXPECT_EQ(Sent(before), Ids{0x914});
}

TEST_F(RemoteTransContextTest, OptionsLiveAtTheServer) {
  Connect();
  const uint32_t id = context->RemoteID();
  ASSERT_EQ(context->OptionSet(u"Color", u"blue"), 0u);
  EXPECT_EQ(LastPayload(0x9F4), Written([&](TnxWriter& w) {
              w.WriteInteger(static_cast<int32_t>(id));
              w.WriteString(u"Color");
              w.WriteString(u"blue");
            }));
  EXPECT_EQ(handler->ObjectOption(0x9F0, id, u"Color"), u"blue");
  std::u16string value;
  ASSERT_EQ(context->OptionGet(u"Color", value), 0u);
  EXPECT_EQ(value, u"blue");
  ASSERT_EQ(context->OptionGetEffective(u"Color", value), 0u);
  EXPECT_EQ(value, u"blue");
  platform::TStringList list;
  ASSERT_EQ(context->OptionList(list), 0u);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list[0], u"Color=blue");
  ASSERT_EQ(context->OptionListEffective(list), 0u);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(LastPayload(0x9F8), Written([&](TnxWriter& w) { w.WriteInteger(static_cast<int32_t>(id)); }));
  ASSERT_EQ(context->OptionClear(u"Color"), 0u);
  handler->Script(0x9F5, Fixed(nxeInvalidHandle));
  value = u"stale";
  EXPECT_EQ(context->OptionGet(u"Color", value), nxeInvalidHandle);
  EXPECT_EQ(value, u"");
}

}  // namespace
}  // namespace revurov::testing
