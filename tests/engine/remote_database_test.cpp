// The remote database and transaction context end to end over loopback
// TCP: how they come and go, their timeouts, and the table lists with every
// fault a server's reply can bring.
#include "engine/remote_database.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_extender.h"
#include "engine/remote_trans_context.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/endian.h"
#include "platform/text.h"
#include "support/remote_engine_fixture.h"
#include "support/test_engine.h"
#include "support/within.h"

namespace revurov::testing {
namespace {

using Ids = std::vector<TnxMsgID>;

std::vector<std::u16string> Lines(const platform::TStringList& aList) {
  std::vector<std::u16string> lines;
  for (int i = 0; i < aList.Count(); ++i) lines.push_back(aList[i]);
  return lines;
}

std::vector<uint8_t> U32s(std::initializer_list<uint32_t> aValues) {
  std::vector<uint8_t> out;
  for (uint32_t v : aValues) {
    uint8_t b[4];
    platform::StoreU32(b, v);
    out.insert(out.end(), b, b + 4);
  }
  return out;
}

class RemoteDatabaseTest : public RemoteEngineFixture {
protected:
  RemoteDatabaseTest() {
    handler->Configure([&](TTestCommandHandler& h) { h.Aliases = {{u"Alpha", u"/data/a"}}; });
    session = Open();
  }
  TnxRemoteDatabase* OpenDatabase() {
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(session->DatabaseOpen(database, u"Name", u"Alpha", nullptr, omReadWrite, smShared, 5000), 0u);
    return static_cast<TnxRemoteDatabase*>(database);
  }

  TnxRemoteSession* session = nullptr;
};

TEST_F(RemoteDatabaseTest, TheDatabaseOwnsTheContextTheServerMadeForIt) {
  const struct {
    const char* name;
    bool serverMadeContext;
    Ids openSent;
    bool contextOwnsID;
    Ids freeSent;
  } rows[] = {
      {"the server made a context: nothing closes it", true, {nxnmSessionDatabaseOpen}, false, {nxnmDatabaseClose}},
      {"no context: the database asks for one and closes it after itself", false,
       {nxnmSessionDatabaseOpen, nxnmSessionTransContextCreate}, true, {nxnmDatabaseClose, nxnmTransContextClose}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    handler->Configure([&](TTestCommandHandler& h) { h.OpenWithContext = row.serverMadeContext; });
    size_t before = SentCount(session);
    TnxRemoteDatabase* database = OpenDatabase();
    ASSERT_NE(database, nullptr);
    EXPECT_EQ(SentBy(session, before), row.openSent);
    EXPECT_TRUE(database->OwnsTransContext());
    auto* context = static_cast<TnxRemoteTransContext*>(database->TransContext());
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->OwnsID(), row.contextOwnsID);
    EXPECT_EQ(context->Timeout(), 5000u);
    EXPECT_EQ(session->TransContexts().size(), 1u);
    before = SentCount(session);
    database->Free();
    EXPECT_EQ(SentBy(session, before), row.freeSent);
    EXPECT_TRUE(session->TransContexts().empty()) << "the context went with its database";
  }
}

TEST_F(RemoteDatabaseTest, TheDatabaseIdentifiesItselfWithTheServersID) {
  handler->Configure([&](TTestCommandHandler& h) { h.OpenWithContext = true; });
  TnxRemoteDatabase* database = OpenDatabase();
  ASSERT_NE(database, nullptr);
  const uint32_t id = database->RemoteID();
  const uint32_t contextID = database->TransContext()->RemoteID();
  EXPECT_NE(id, contextID);
  EXPECT_TRUE(database->IsRemote());
  EXPECT_EQ(database->ServerVersion(), 47501);
  platform::TStringList tables;
  ASSERT_EQ(database->TableGetList(tables), 0u);
  EXPECT_EQ(handler->Received().back().data, U32s({id})) << "the raw database ID";
  database->Free();
  EXPECT_EQ(handler->Received().back().data, U32s({id}));
}

TEST_F(RemoteDatabaseTest, TimeoutChangesGoOutOneByOneOrInTheOpenBatch) {
  TnxRemoteDatabase* database = OpenDatabase();
  ASSERT_NE(database, nullptr);
  const uint32_t id = database->RemoteID();
  const uint32_t contextID = database->TransContext()->RemoteID();
  size_t before = SentCount(session);
  database->SetTimeout(250);
  database->SetTimeout(250);
  ASSERT_EQ(SentBy(session, before), (Ids{nxnmTransContextSetTimeout, nxnmDatabaseSetTimeout}))
      << "the database hands its timeout to the context it owns; an unchanged value sends nothing";
  const auto received = handler->Received();
  EXPECT_EQ(received[received.size() - 2].data, U32s({contextID, 250}));
  EXPECT_EQ(received.back().data, U32s({id, 250}));

  before = SentCount(session);
  ASSERT_EQ(session->BeginTimeoutBatch(), 1);
  database->SetTimeout(300);
  EXPECT_EQ(SentCount(session), before) << "held in the batch";
  EXPECT_EQ(session->EndTimeoutBatch(), 0);
  EXPECT_EQ(SentBy(session, before), Ids{nxnmTimeoutBatch});
}

TEST_F(RemoteDatabaseTest, TableListsComeInTheServersOrder) {
  std::vector<std::u16string> fifty;
  for (int i = 50; i > 0; --i) fifty.push_back(u"Table" + platform::Utf8ToUtf16(std::to_string(i * 37 % 101)));
  const struct {
    const char* name;
    std::vector<std::u16string> names;
  } rows[] = {{"none", {}}, {"fifty, unsorted", fifty}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    handler->Configure([&](TTestCommandHandler& h) { h.Tables[u"Alpha"] = row.names; });
    TnxRemoteDatabase* database = OpenDatabase();
    platform::TStringList list;
    list.Add(u"stale");
    ASSERT_EQ(database->TableGetList(list), 0u);
    EXPECT_EQ(Lines(list), row.names);
    database->Free();
  }
}

TEST_F(RemoteDatabaseTest, ChangedTablesAreAppended) {
  TnxRemoteDatabase* database = OpenDatabase();
  platform::TStringList list;
  list.Add(u"kept");
  ASSERT_EQ(database->GetChangedTables(list), 0u);
  EXPECT_EQ(Lines(list), std::vector<std::u16string>{u"kept"});
  handler->Configure([&](TTestCommandHandler& h) { h.ChangedTables = {u"b", u"a"}; });
  ASSERT_EQ(database->GetChangedTables(list), 0u);
  EXPECT_EQ(Lines(list), (std::vector<std::u16string>{u"kept", u"b", u"a"}));
  handler->Script(nxnmDatabaseGetChangedTables, Injected(TReplyKind::rkNoListEnd));
  EXPECT_NE(database->GetChangedTables(list), 0u);
  EXPECT_EQ(Lines(list), (std::vector<std::u16string>{u"kept", u"b", u"a"})) << "a broken reply adds nothing";
}

TEST_F(RemoteDatabaseTest, EveryFaultOfTheTableListsReplyEndsInACodeAndAnEmptyList) {
  handler->Configure([&](TTestCommandHandler& h) { h.Tables[u"Alpha"] = {u"one", u"two"}; });
  const struct {
    const char* name;
    TScriptedReply reply;
    uint32_t result;  // 1: any reader error
    bool listed;
    const char16_t* text;  // in the thread's message
  } rows[] = {
      {"an error with the server's text", Fixed(nxeInvalidHandle, {}, u"no such database here"), nxeInvalidHandle,
       false, u"no such database here"},
      {"a list without its end", Injected(TReplyKind::rkNoListEnd), 1, false, nullptr},
      {"a reply under another ID", Injected(TReplyKind::rkOtherID, 0x224), nxeMessageUnrecognized, false, nullptr},
      {"a multi-reply", Injected(TReplyKind::rkMultiReply), 0, true, nullptr},
      {"a closed connection", Injected(TReplyKind::rkClose), nxeLostConnection, false, nullptr},
  };
  TnxRemoteDatabase* database = OpenDatabase();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    handler->Script(nxnmDatabaseTableGetList, row.reply);
    platform::TStringList list;
    list.Add(u"stale");
    const uint32_t result = database->TableGetList(list);
    if (row.result == 1) {
      EXPECT_NE(result, 0u);
    } else {
      EXPECT_EQ(result, row.result);
    }
    EXPECT_EQ(Lines(list), row.listed ? (std::vector<std::u16string>{u"one", u"two"}) : std::vector<std::u16string>{});
    if (row.text) {
      uint32_t code = 0;
      std::u16string message;
      EnxBaseException::GetLastConvertedException(code, message);
      EXPECT_NE(message.find(row.text), std::u16string::npos) << platform::Utf16ToUtf8(message);
    }
    handler->Script(nxnmDatabaseTableGetList, {});
    EXPECT_EQ(database->TableGetList(list), 0u) << "the next request goes through";
  }
}

TEST_F(RemoteDatabaseTest, AReplyHeldPastTheTimeoutDropsTheConnection) {
  TnxRemoteDatabase* database = OpenDatabase();
  database->SetTimeout(1);
  handler->Script(nxnmDatabaseTableGetList, Injected(TReplyKind::rkLate));
  platform::TStringList list;
  EXPECT_EQ(database->TableGetList(list), nxeLostConnection);
  EXPECT_TRUE(list.Count() == 0);
  EXPECT_EQ(client->ClientConnectionCount(), 0) << "the connection was dropped";
  handler->ReleaseLate();
  handler->Script(nxnmDatabaseTableGetList, {});
  EXPECT_EQ(database->TableGetList(list), 0u) << "a new connection serves the next request";
}

TEST_F(RemoteDatabaseTest, AReplyFiftyMillisecondsLateIsTakenWithinTheGraceOrWithoutLimit) {
  handler->Configure([](TTestCommandHandler& h) { h.Tables[u"Alpha"] = {u"one"}; });
  const struct {
    const char* name;
    uint32_t timeout;
  } rows[] = {
      {"1 ms and the grace", 1},
      {"a timeout whose grace passes 32 bits", 0xFFFFFC19u},
      {"0: no limit", 0},
      {"$FFFFFFFF: no limit", 0xFFFFFFFFu},
  };
  TnxRemoteDatabase* database = OpenDatabase();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    database->SetTimeout(row.timeout);
    handler->Script(nxnmDatabaseTableGetList, Injected(TReplyKind::rkLate));
    handler->Configure([](TTestCommandHandler& h) { h.ResetLate(); });
    std::thread releaser([this] {
      Within(std::chrono::seconds(10), [this] { return handler->LateHeld() > 0; });
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      handler->ReleaseLate();
    });
    platform::TStringList list;
    EXPECT_EQ(database->TableGetList(list), 0u);
    releaser.join();
    EXPECT_EQ(Lines(list), std::vector<std::u16string>{u"one"});
  }
}

TEST_F(RemoteDatabaseTest, TheOperationsOfLaterWorkAnswerNotSupportedUnsent) {
  TnxRemoteDatabase* database = OpenDatabase();
  const size_t before = SentCount(session);
  TnxAbstractStatement* statement = nullptr;
  EXPECT_EQ(database->StatementAlloc(statement, 1000), nxeCapabilityNotSupported);
  EXPECT_EQ(statement, nullptr);
  std::u16string alias = u"stale";
  EXPECT_EQ(database->GetAlias(alias), nxeCapabilityNotSupported);
  EXPECT_EQ(alias, u"");
  EXPECT_EQ(SentCount(session), before);
}

TEST_F(RemoteDatabaseTest, AVetoOfTheTableListsIsTheResultAndNothingIsSent) {
  TnxRemoteDatabase* database = OpenDatabase();
  std::vector<std::u16string> log;
  nxCreateEngineExtender<TestExtender>(nullptr, database, TnxEngineActions{eaTableGetList, eaGetChangedTables},
                                       std::map<TnxEngineAction, uint32_t>{{eaTableGetList, 77},
                                                                           {eaGetChangedTables, 78}},
                                       &log);
  const size_t before = SentCount(session);
  platform::TStringList list;
  list.Add(u"stale");
  EXPECT_EQ(database->TableGetList(list), 77u);
  EXPECT_EQ(list.Count(), 0) << "cleared before the veto";
  list.Add(u"kept");
  EXPECT_EQ(database->GetChangedTables(list), 78u);
  EXPECT_EQ(Lines(list), std::vector<std::u16string>{u"kept"});
  EXPECT_EQ(SentCount(session), before);
  EXPECT_EQ(log.size(), 2u);
}

}  // namespace
}  // namespace revurov::testing
