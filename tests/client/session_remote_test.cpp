// The session component over the remote engine to the test command handler
// on 127.0.0.1 (the tests' private network namespace).
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "client/database_error.h"
#include "client/session.h"
#include "engine/abstract_session.h"
#include "engine/remote_session.h"
#include "platform/string_list.h"
#include "support/remote_engine_fixture.h"
#include "support/u8_text.h"
#include "support/within.h"

namespace revurov {
namespace {

using testing::TTestCommandHandler;
using testing::U8;
using testing::Within;
using namespace std::chrono_literals;
using Logins = std::vector<std::pair<std::u16string, std::u16string>>;

class RemoteSessionComponentTest : public testing::RemoteEngineFixture {
protected:
  explicit RemoteSessionComponentTest(testing::TServing aServing = testing::TServing::Scripted)
      : RemoteEngineFixture(aServing) {
    session->SetName(u"Session1");
    session->SetServerEngine(engine.get());
    session->SetBeepOnLoginError(false);
  }
  // Destroyed before the engine and the transport.
  testing::ComponentPtr<TnxSession> session{new TnxSession(nullptr)};
};

// Also against a real server engine.
class RemoteSessionComponentModes : public RemoteSessionComponentTest,
                                    public ::testing::WithParamInterface<testing::TServing> {
protected:
  RemoteSessionComponentModes() : RemoteSessionComponentTest(GetParam()) {}
};
INSTANTIATE_TEST_SUITE_P(Serving, RemoteSessionComponentModes,
                         ::testing::Values(testing::TServing::Scripted, testing::TServing::InProcess),
                         testing::ServingName);

TEST_P(RemoteSessionComponentModes, RefusedTwiceThenAccepted) {
  session->SetUserName(u"guest");
  session->SetPassword(u"nothing");
  Logins answers = {{u"admin", u"wrong"}, {u"admin", u"secret"}};
  size_t asked = 0;
  session->OnLogin = [&](TnxBaseSession*, std::u16string& aUser, std::u16string& aPassword, bool& aResult) {
    if (asked >= answers.size()) return;
    aUser = answers[asked].first;
    aPassword = answers[asked].second;
    ++asked;
    aResult = true;
  };
  session->SetActive(true);
  EXPECT_EQ(handler->Logins(), (Logins{{u"guest", u"nothing"}, {u"admin", u"wrong"}, {u"admin", u"secret"}}));
  EXPECT_EQ(U8(session->CurrentUserName()), "admin");
  EXPECT_EQ(handler->Sessions().size(), 1u);
  session->SetActive(false);
  // The end of the session reaches the server on its own thread.
  EXPECT_TRUE(Within(10s, [&] { return handler->Sessions().empty(); }));
}

TEST_F(RemoteSessionComponentTest, TheRefusalCarriesTheServersText) {
  struct Case {
    const char* what;
    std::u16string serverText;
    const char* expected;
  };
  const Case cases[] = {
      {"the server's own", u"Account locked for guest",
       "RevurOV: Session1: Account locked for guest [$2734/10036]"},
      // The failed start leaves the last text in the thread's slot; it must
      // not be taken for the next refusal.
      {"the table text", u"", "RevurOV: Session1: Unknown user name or password. [$2734/10036]"},
  };
  session->SetUserName(u"guest");
  session->SetPasswordRetries(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    handler->Configure([&](TTestCommandHandler& h) { h.RefusalText = c.serverText; });
    std::string text = "(no exception)";
    try {
      session->SetActive(true);
    } catch (const EnxDatabaseError& e) {
      text = U8(e.Message());
      EXPECT_EQ(e.ErrorCode(), 10036u);
    }
    EXPECT_EQ(text, c.expected);
    EXPECT_FALSE(session->Active());
    EXPECT_EQ(session->AbstractSession(), nullptr);
    EXPECT_TRUE(handler->Sessions().empty());
    EXPECT_EQ(engine->SessionCount(), 0);
  }
}

TEST_F(RemoteSessionComponentTest, AliasNamesFromTheServer) {
  handler->Configure([](TTestCommandHandler& h) {
    h.Aliases = {{u"Main", u"/m"}, {u"Archive", u"/a"}, {u"main", u"/m2"}, {u"Zeta", u"/z"}};
  });
  session->SetUserName(u"admin");
  session->SetPassword(u"secret");
  session->SetActive(true);
  platform::TStringList list;
  list.Add(u"ZETA");
  EXPECT_EQ(session->GetAliasNamesEx(&list, false), 0u);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(U8(list[0]), "ZETA");
  EXPECT_EQ(U8(list[1]), "Main");
  EXPECT_EQ(U8(list[2]), "Archive");
  session->GetAliasNames(&list);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(U8(list[2]), "Zeta");
}

TEST_F(RemoteSessionComponentTest, AliasNamesOverTheWire) {
  const std::u16string longest(128, u'L');  // the longest name an alias may have
  std::u16string longestOtherCase = longest;
  longestOtherCase.back() = u'l';
  struct Case {
    const char* what;
    std::vector<std::u16string> server;
    bool caseSensitive;
    std::vector<std::u16string> expected;  // emptied first
  };
  const Case cases[] = {
      {"no aliases", {}, false, {}},
      {"case duplicates, no case", {u"Main", u"main", u"Zeta", u"MAIN", u"zeta"}, false, {u"Main", u"Zeta"}},
      {"case duplicates, with case", {u"Main", u"main", u"Main"}, true, {u"Main", u"main"}},
      {"the longest names", {longest, longestOtherCase, longest + u"X", u"short"}, false, {longest, u"short"}},
      {"the longest names, with case", {longest, longestOtherCase, longest}, true, {longest, longestOtherCase}},
  };
  session->SetUserName(u"admin");
  session->SetPassword(u"secret");
  session->SetActive(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    handler->Configure([&](TTestCommandHandler& h) {
      h.Aliases.clear();
      for (const auto& name : c.server) h.Aliases.emplace_back(name, u"/p/" + name);
    });
    platform::TStringList list;
    list.SetCaseSensitive(c.caseSensitive);
    list.Add(u"old");
    ASSERT_EQ(session->GetAliasNamesEx(&list, true), 0u);
    std::vector<std::u16string> names;
    for (int i = 0; i < list.Count(); ++i) names.push_back(list[i]);
    EXPECT_EQ(names, c.expected);
  }
}

TEST_F(RemoteSessionComponentTest, AnAliasReplyThatBreaksOffAddsNothing) {
  handler->Configure([](TTestCommandHandler& h) { h.Aliases = {{u"Main", u"/m"}, {u"Zeta", u"/z"}}; });
  handler->Script(nxnmSessionAliasGetList, testing::Injected(testing::TReplyKind::rkNoListEnd));
  session->SetUserName(u"admin");
  session->SetPassword(u"secret");
  session->SetActive(true);
  for (const bool emptyList : {false, true}) {
    SCOPED_TRACE(emptyList ? "emptied" : "kept");
    platform::TStringList list;
    list.Add(u"Held");
    EXPECT_NE(session->GetAliasNamesEx(&list, emptyList), 0u);
    ASSERT_EQ(list.Count(), emptyList ? 0 : 1);
    if (!emptyList) {
      EXPECT_EQ(U8(list[0]), "Held");
    }
  }
  handler->Script(nxnmSessionAliasGetList, {});
  platform::TStringList list;
  ASSERT_EQ(session->GetAliasNamesEx(&list, true), 0u);
  EXPECT_EQ(list.Count(), 2);
}

TEST_P(RemoteSessionComponentModes, DestroyingAnActiveSessionEndsItAtTheServer) {
  session->SetUserName(u"admin");
  session->SetPassword(u"secret");
  session->SetActive(true);
  ASSERT_EQ(handler->Sessions().size(), 1u);
  session.reset();
  EXPECT_TRUE(Within(10s, [&] { return handler->Sessions().empty(); }));
  EXPECT_TRUE(engine->Active());
}

}  // namespace
}  // namespace revurov
