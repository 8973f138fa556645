// The database component over the remote engine to the test command
// handler on 127.0.0.1 (the tests' private network namespace).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/database.h"
#include "client/database_error.h"
#include "client/session.h"
#include "engine/remote_database.h"
#include "platform/string_list.h"
#include "support/exception_message.h"
#include "support/remote_engine_fixture.h"
#include "support/u8_text.h"
#include "support/within.h"

namespace revurov {
namespace {

using testing::Fixed;
using testing::TScriptedReply;
using testing::U8;
using testing::Within;
using namespace std::chrono_literals;
using Names = std::vector<std::u16string>;

class RemoteDatabaseComponentTest : public testing::RemoteEngineFixture {
protected:
  RemoteDatabaseComponentTest() {
    handler->Configure([](testing::TTestCommandHandler& h) {
      h.Aliases = {{u"Data", u"/srv/data"}};
      h.Tables[u"Data"] = {u"Customers", u"$Log", u"Orders"};
    });
    session->SetName(u"Session1");
    session->SetServerEngine(engine.get());
    session->SetUserName(u"admin");
    session->SetPassword(u"secret");
    database->SetName(u"nxDatabase");
    database->SetSession(session.get());
  }

  Names Listed() {
    platform::TStringList list;
    database->GetTableNames(&list);
    Names names;
    for (int i = 0; i < list.Count(); ++i) names.push_back(list.Strings(i));
    return names;
  }

  // Destroyed before the engine and the transport, the database first.
  testing::ComponentPtr<TnxSession> session{new TnxSession(nullptr)};
  testing::ComponentPtr<TnxDatabase> database{new TnxDatabase(nullptr)};
};

TEST_F(RemoteDatabaseComponentTest, OpensByAliasListsTablesClosesAndReopens) {
  // As the tool does it: the alias, then Active, which logs the session in.
  database->SetAliasName(u"data");
  database->SetActive(true);
  EXPECT_TRUE(session->Active());
  EXPECT_EQ(handler->OpenDatabases(), (Names{u"Data"}));
  EXPECT_EQ(Listed(), (Names{u"Customers", u"$Log", u"Orders"}));
  database->SetActive(false);
  // The close reaches the server on its own thread.
  EXPECT_TRUE(Within(10s, [&] { return handler->OpenDatabases().empty(); }));
  database->SetActive(true);
  EXPECT_EQ(Listed(), (Names{u"Customers", u"$Log", u"Orders"}));
  handler->Configure([](testing::TTestCommandHandler& h) {
    EXPECT_EQ(h.Tables[u"Data"], (Names{u"Customers", u"$Log", u"Orders"}));
  });
}

TEST_F(RemoteDatabaseComponentTest, AnUnknownAliasIsRefusedWithTheServersText) {
  struct Case {
    const char* what;
    TScriptedReply reply;
    const char* expected;
  };
  const Case cases[] = {
      {"the server's own text", Fixed(nxeUnknownDatabase, {}, u"No alias Nowhere on this server"),
       "RevurOV: nxDatabase: No alias Nowhere on this server [$271E/10014]"},
      {"the table text", TScriptedReply{}, "RevurOV: nxDatabase: Unknown database. [$271E/10014]"},
  };
  database->SetAliasName(u"Nowhere");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    handler->Script(nxnmSessionDatabaseOpen, c.reply);
    EXPECT_EQ(U8(testing::MessageOf<EnxDatabaseError>([&] { database->SetActive(true); })), c.expected);
    EXPECT_FALSE(database->Active());
    EXPECT_EQ(database->AbstractDatabase(), nullptr);
    EXPECT_TRUE(session->Active());
  }
  EXPECT_TRUE(handler->OpenDatabases().empty());
}

TEST_F(RemoteDatabaseComponentTest, TheSessionsTableNamesThroughAnImplicitDatabase) {
  session->SetActive(true);
  platform::TStringList list;
  session->GetTableNames(u"DATA", &list);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_FALSE(session->FindDatabase(u"Data")->Active());
  EXPECT_TRUE(Within(10s, [&] { return handler->OpenDatabases().empty(); }));
}

TEST_F(RemoteDatabaseComponentTest, DestroyingTheSessionClosesEverythingAtTheServer) {
  database->SetAliasName(u"Data");
  database->SetActive(true);
  session->OpenDatabase(u"Data");
  EXPECT_EQ(handler->OpenDatabases().size(), 2u);
  session.reset();
  EXPECT_FALSE(database->Active());
  EXPECT_EQ(database->Session(), nullptr);
  EXPECT_TRUE(Within(10s, [&] { return handler->Sessions().empty(); }));
}

}  // namespace
}  // namespace revurov
