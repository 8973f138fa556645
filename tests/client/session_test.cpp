#include "client/session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "client/database.h"
#include "client/database_error.h"
#include "client/trans_context.h"
#include "engine/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/sync/platform_interface.h"
#include "platform/locale_text.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "support/engine_fixture.h"
#include "support/scripted_engine.h"
#include "support/u8_text.h"

namespace revurov {
namespace {

using testing::ComponentPtr;
using testing::ScriptedEngine;
using testing::U8;

// What a call raises as EnxDatabaseError, its text and code.
struct Raised {
  std::string text = "(no exception)";
  uint32_t code = 0;
};
Raised RaisedBy(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const EnxDatabaseError& e) {
    return {U8(e.Message()), e.ErrorCode()};
  }
  return {};
}

int gBeeps = 0;
void CountBeep() { ++gBeeps; }
int gDialogs = 0;
bool RefusingDialog(const std::u16string&, std::u16string&, std::u16string&) {
  ++gDialogs;
  return false;
}

class SessionTest : public ::testing::Test {
protected:
  SessionTest() {
    session->SetName(u"Session1");
    session->SetServerEngine(engine.get());
    gBeeps = 0;
    gDialogs = 0;
    nxPlatformBeep = &CountBeep;
    nxPlatformLogonDialog = &RefusingDialog;
  }
  ~SessionTest() override {
    nxResetPlatformHooks();
    EnxBaseException::SetLastConvertedException(0, u"");
  }

  // A prompt that answers aAnswers in turn (then False), counting its calls.
  void Prompt(std::vector<std::pair<std::u16string, std::u16string>> aAnswers) {
    session->OnLogin = [this, aAnswers](TnxBaseSession* aSender, std::u16string& aUser, std::u16string& aPassword,
                                        bool& aResult) {
      EXPECT_EQ(aSender, session.get());
      EXPECT_FALSE(aResult);
      size_t n = size_t(prompts++);
      if (n >= aAnswers.size()) return;
      aUser = aAnswers[n].first;
      aPassword = aAnswers[n].second;
      aResult = true;
    };
  }

  TnxEngineStartupGuard library;
  ComponentPtr<ScriptedEngine> engine{new ScriptedEngine(nullptr)};
  ComponentPtr<TnxSession> session{new TnxSession(nullptr)};
  int prompts = 0;
};

constexpr const char* kRefused = "RevurOV: Session1: Unknown user name or password. [$2734/10036]";
constexpr const char* kNotStarted = "RevurOV: Session1: This component must be started when performing this operation. [no error code]";

// ---- log-on ----

TEST_F(SessionTest, LogonRetries) {
  using Answers = std::vector<std::pair<std::u16string, std::u16string>>;
  struct Case {
    const char* what;
    int32_t retries;
    bool beep;
    std::deque<uint32_t> logonCodes;
    std::optional<Answers> prompt;  // none: no OnLogin handler
    int opens, prompts, beeps, dialogs;
    bool started;
    const char* currentUser;
  };
  const Answers wrong(5, {u"who", u"bad"});
  const Case cases[] = {
      {"no retries: refused at once", 0, true, {10036}, wrong, 1, 0, 0, 0, false, ""},
      {"a prompt that keeps refusing", 3, true, {10036, 10036, 10036, 10036}, wrong, 4, 3, 3, 0, false, ""},
      {"a prompt that answers False", 3, true, {10036}, Answers{}, 1, 1, 1, 0, false, ""},
      {"the second answer is accepted", 3, true, {10036, 10036}, Answers{{u"u1", u"p1"}, {u"u2", u"p2"}}, 3, 2, 2, 0,
       true, "u2"},
      {"no beep when switched off", 3, false, {10036, 10036}, Answers{{u"u1", u"p1"}, {u"u2", u"p2"}}, 3, 2, 0, 0,
       true, "u2"},
      {"another error is not retried", 3, true, {nxeServerNotFound}, wrong, 1, 0, 0, 0, false, ""},
      {"no handler: the platform's dialog on the main thread", 3, true, {10036}, std::nullopt, 1, 0, 1, 1, false, ""},
      {"accepted at once", 3, true, {}, wrong, 1, 0, 0, 0, true, "admin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine->LogonCodes = c.logonCodes;
    engine->Logons.clear();
    prompts = gBeeps = gDialogs = 0;
    session->SetUserName(u"admin");
    session->SetPassword(u"pw");
    session->SetPasswordRetries(c.retries);
    session->SetBeepOnLoginError(c.beep);
    session->OnLogin = nullptr;
    if (c.prompt) Prompt(*c.prompt);
    Raised raised = RaisedBy([&] { session->SetActive(true); });
    EXPECT_EQ(int(engine->Logons.size()), c.opens);
    EXPECT_EQ(prompts, c.prompts);
    EXPECT_EQ(gBeeps, c.beeps);
    EXPECT_EQ(gDialogs, c.dialogs);
    EXPECT_EQ(session->Active(), c.started);
    EXPECT_EQ(U8(session->CurrentUserName()), c.currentUser);
    EXPECT_EQ(engine->SessionCount(), c.started ? 1 : 0);
    EXPECT_EQ(session->AbstractSession() != nullptr, c.started);
    if (c.started) {
      EXPECT_EQ(raised.code, 0u) << raised.text;
      // Each retry goes out with what the prompt answered.
      if (c.prompts) {
        EXPECT_EQ(U8(engine->Logons.back().UserName), c.currentUser);
      }
    } else if (c.logonCodes.front() == 10036) {
      EXPECT_EQ(raised.text, kRefused);
    } else {
      EXPECT_EQ(raised.code, nxeServerNotFound);
    }
    session->SetActive(false);
    EXPECT_EQ(engine->SessionCount(), 0);
    EXPECT_TRUE(session->CurrentUserName().empty());
  }
}

TEST_F(SessionTest, LogonGoesOutWithDefaultsAndTheEffectiveTimeout) {
  nxDefaultUserName = u"dflt";
  nxDefaultPassword = u"dpw";
  session->SetActive(true);
  nxDefaultUserName.clear();
  nxDefaultPassword.clear();
  ASSERT_EQ(engine->Logons.size(), 1u);
  EXPECT_EQ(U8(engine->Logons[0].UserName), "dflt");
  EXPECT_EQ(U8(engine->Logons[0].Password), "dpw");
  EXPECT_EQ(U8(engine->Logons[0].ConnectedFrom), "direct");
  EXPECT_EQ(engine->Logons[0].Timeout, nxDefaultSessionTimeout);
  EXPECT_EQ(U8(session->CurrentUserName()), "dflt");
}

TEST_F(SessionTest, APromptThatRaisesLeavesNoEngineSession) {
  engine->LogonCodes = {10036};
  session->OnLogin = [](TnxBaseSession*, std::u16string&, std::u16string&, bool&) {
    throw EnxBaseException(nxeInvalidParameter);
  };
  EXPECT_THROW(session->SetActive(true), std::exception);
  EXPECT_FALSE(session->Active());
  EXPECT_EQ(session->AbstractSession(), nullptr);
  EXPECT_EQ(engine->SessionCount(), 0);
}

TEST_F(SessionTest, OffTheMainThreadNoDialogIsShown) {
  engine->LogonCodes = {10036, 10036};
  Raised raised;
  std::thread other([&] { raised = RaisedBy([&] { session->SetActive(true); }); });
  other.join();
  EXPECT_EQ(raised.text, kRefused);
  EXPECT_EQ(gDialogs, 0);
  EXPECT_EQ(engine->Logons.size(), 1u);
  EXPECT_EQ(engine->SessionCount(), 0);
}

TEST_F(SessionTest, NoServerEngine) {
  session->SetServerEngine(nullptr);
  EXPECT_EQ(RaisedBy([&] { session->SetActive(true); }).text,
            "RevurOV: Session1: The session is not connected to a server engine. [$3C69/15465]");
  EXPECT_FALSE(session->Active());
}

TEST_F(SessionTest, PropertiesThatNeedAnInactiveSession) {
  session->SetActive(true);
  const char* inactive = "RevurOV: Session1: This component must be inactive when performing this operation. [no error code]";
  EXPECT_EQ(RaisedBy([&] { session->SetUserName(u"x"); }).text, inactive);
  EXPECT_EQ(RaisedBy([&] { session->SetPassword(u"x"); }).text, inactive);
  EXPECT_EQ(RaisedBy([&] { session->SetClientLocaleAsDefault(true); }).text, inactive);
  EXPECT_EQ(RaisedBy([&] { session->SetServerEngine(nullptr); }).text, inactive);
  EXPECT_TRUE(session->Active());
}

// ---- operations and their failures ----

TEST_F(SessionTest, FailuresOfTheEngineSessionNameTheSession) {
  platform::TStringList list;
  struct Case {
    const char* operation;
    std::function<void(TnxSession&)> call;
  };
  const Case cases[] = {
      {"AliasAdd", [](TnxSession& s) { s.AddAlias(u"A", u"/a"); }},
      {"AliasDelete", [](TnxSession& s) { s.DeleteAlias(u"A"); }},
      {"AliasModify", [](TnxSession& s) { s.ModifyAlias(u"A", u"B", u""); }},
      {"AliasGetPath", [](TnxSession& s) { s.GetAliasPath(u"A"); }},
      {"AliasGetList", [&list](TnxSession& s) { s.GetAliasNames(&list); }},
      {"PasswordAdd", [](TnxSession& s) { s.PasswordAdd(u"p"); }},
      {"PasswordRemove", [](TnxSession& s) { s.PasswordRemove(u"p"); }},
      {"PasswordRemoveAll", [](TnxSession& s) { s.PasswordRemoveAll(); }},
      {"CloseInactiveTables", [](TnxSession& s) { s.CloseInactiveTables(); }},
      {"CloseInactiveFolders", [](TnxSession& s) { s.CloseInactiveFolders(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.operation);
    EXPECT_EQ(RaisedBy([&] { c.call(*session); }).text, kNotStarted);
    session->SetActive(true);
    const std::u16string name(c.operation, c.operation + std::char_traits<char>::length(c.operation));
    engine->Codes[name] = nxeTableDoesNotExist;
    EXPECT_EQ(RaisedBy([&] { c.call(*session); }).text, "RevurOV: Session1: Table does not exist. [$2728/10024]");
    EXPECT_EQ(engine->Calls[name], 1);
    EXPECT_TRUE(session->Active());
    engine->Codes[name] = 0;
    EXPECT_EQ(RaisedBy([&] { c.call(*session); }).code, 0u);
    EXPECT_EQ(engine->Calls[name], 2);
    session->SetActive(false);
  }
}

TEST_F(SessionTest, ArgumentsAreCheckedBeforeTheEngineIsAsked) {
  session->SetActive(true);
  std::u16string path = u"stale";
  struct Case {
    const char* what;
    std::function<uint32_t(TnxSession&)> call;
    uint32_t code;
  };
  const Case cases[] = {
      {"add: empty name", [](TnxSession& s) { return s.AddAliasEx(u"", u"/a"); }, nxeInvalidAliasName},
      {"add: bad name", [](TnxSession& s) { return s.AddAliasEx(u"a:b", u"/a"); }, nxeInvalidAliasName},
      {"add: empty path", [](TnxSession& s) { return s.AddAliasEx(u"A", u""); }, nxeInvalidParameter},
      {"delete: empty name", [](TnxSession& s) { return s.DeleteAliasEx(u""); }, nxeUnknownDatabase},
      {"modify: empty name", [](TnxSession& s) { return s.ModifyAliasEx(u"", u"B", u""); }, nxeUnknownDatabase},
      {"modify: nothing new", [](TnxSession& s) { return s.ModifyAliasEx(u"A", u"", u""); }, nxeInvalidParameter},
      {"path: empty name", [&path](TnxSession& s) { return s.GetAliasPathEx(u"", path); }, nxeUnknownDatabase},
      {"names: nil list", [](TnxSession& s) { return s.GetAliasNamesEx(nullptr, true); }, nxeInvalidParameter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(*session), c.code);
  }
  EXPECT_TRUE(path.empty());
  EXPECT_TRUE(engine->Calls.empty());
  // The plain forms raise the same codes.
  EXPECT_EQ(RaisedBy([&] { session->GetAliasNames(nullptr); }).text,
            "RevurOV: Session1: Invalid parameter. [$2702/9986]");
  EXPECT_EQ(RaisedBy([&] { session->DeleteAlias(u""); }).code, nxeUnknownDatabase);
  // A nil list is answered without a started session.
  session->SetActive(false);
  EXPECT_EQ(session->GetAliasNamesEx(nullptr, false), nxeInvalidParameter);
}

TEST_F(SessionTest, IsAliasNeedsAPath) {
  engine->Aliases = {{u"Data", u"/data"}, {u"Empty", u""}};
  session->SetActive(true);
  EXPECT_TRUE(session->IsAlias(u"Data"));
  EXPECT_FALSE(session->IsAlias(u"Empty"));
  EXPECT_FALSE(session->IsAlias(u"Missing"));
  engine->Codes[u"AliasGetPath"] = nxeUnknownDatabase;
  EXPECT_FALSE(session->IsAlias(u"Data"));
}

TEST_F(SessionTest, AliasNamesKeepTheServerOrderWithoutDuplicates) {
  engine->Aliases = {{u"Beta", u"/b"}, {u"alpha", u"/a"}, {u"Beta", u"/b2"}, {u"ALPHA", u"/a2"}, {u"Gamma", u"/g"}};
  struct Case {
    const char* what;
    bool caseSensitive;
    bool emptyList;
    uint32_t failure;
    const char* expected;  // the list's text
  };
  const Case cases[] = {
      {"emptied, no case", false, true, 0, "Beta alpha Gamma"},
      {"kept, no case", false, false, 0, "gamma X Beta alpha"},
      {"emptied, with case", true, true, 0, "Beta alpha ALPHA Gamma"},
      {"kept, with case", true, false, 0, "gamma X Beta alpha ALPHA Gamma"},
      {"failure after emptying", false, true, nxeServerNotFound, ""},
      {"failure keeps the list", false, false, nxeServerNotFound, "gamma X"},
  };
  session->SetActive(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::TStringList list;
    list.SetCaseSensitive(c.caseSensitive);
    list.Add(u"gamma");
    list.Add(u"X");
    int changes = 0;
    list.OnChange = [&changes](platform::TStringList&) { ++changes; };
    engine->Codes[u"AliasGetList"] = c.failure;
    EXPECT_EQ(session->GetAliasNamesEx(&list, c.emptyList), c.failure);
    std::string text;
    for (int i = 0; i < list.Count(); ++i) text += (i ? " " : "") + U8(list[i]);
    EXPECT_EQ(text, c.expected);
    // One bracket around the whole change, also on failure.
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(list.UpdateCount(), 0);
  }
}

// Names of printable ASCII are told apart by a folded key until the first
// other text; from then on every name, also those seen before, by the
// collation's sort key. Merging must not change at that switch.
TEST_F(SessionTest, AliasNamesMergeTheSameAcrossTheSwitchToSortKeys) {
  struct Case {
    const char* what;
    std::vector<std::u16string> held, server, expected;
  };
  const Case cases[] = {
      {"ASCII alone", {u"alpha"}, {u"ALPHA", u"Beta", u"beta ", u"BETA"}, {u"alpha", u"Beta", u"beta "}},
      // Full-width letters differ from ASCII by more than case alone, but
      // the caseless collation merges them; "\u00DF" and "SS" it keeps apart.
      {"switch inside the server's names",
       {u"alpha"},
       {u"ALPHA", u"\uFF21lpha", u"Stra\u00DFe", u"STRASSE", u"Alpha", u"b"},
       {u"alpha", u"Stra\u00DFe", u"STRASSE", u"b"}},
      {"switch inside the held list", {u"x", u"\uFF59"}, {u"X", u"y", u"Y ", u"z"}, {u"x", u"\uFF59", u"Y ", u"z"}},
      {"ignorable control character", {}, {u"a\u0001", u"A", u"r\u00E9sum\u00E9", u"RESUME"},
       {u"a\u0001", u"r\u00E9sum\u00E9", u"RESUME"}},
  };
  session->SetActive(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine->Aliases.clear();
    for (const auto& name : c.server) engine->Aliases.emplace_back(name, u"/p");
    platform::TStringList list;
    for (const auto& name : c.held) list.Add(name);
    ASSERT_EQ(session->GetAliasNamesEx(&list, false), 0u);
    std::vector<std::u16string> names;
    for (int i = 0; i < list.Count(); ++i) names.push_back(list[i]);
    EXPECT_EQ(names, c.expected);
  }
}

TEST_F(SessionTest, ManyAliasNamesMergeByCaselessEquality) {
  // Enough names that their keys collide in the set and probe on.
  engine->Aliases.clear();
  for (int i = 0; i < 600; ++i) {
    const std::u16string name = u"Name_" + platform::Utf8ToUtf16(std::to_string(i));
    engine->Aliases.emplace_back(name, u"/p");
    if (i % 3 == 0) engine->Aliases.emplace_back(platform::AnsiUpperCase(name), u"/q");
  }
  session->SetActive(true);
  platform::TStringList list;
  for (int i = 500; i < 700; ++i) list.Add(u"NAME_" + platform::Utf8ToUtf16(std::to_string(i)));
  ASSERT_EQ(session->GetAliasNamesEx(&list, false), 0u);
  ASSERT_EQ(list.Count(), 700);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(list[200 + i], u"Name_" + platform::Utf8ToUtf16(std::to_string(i)));
}

// A list with a comparison of its own: by code unit.
class OrdinalList : public platform::TStringList {
public:
  int CompareStrings(std::u16string_view a, std::u16string_view b) const override { return a.compare(b); }
};

TEST_F(SessionTest, AliasNamesSkipWhatTheListsOwnComparisonHolds) {
  const std::pair<std::u16string, std::u16string> pairs[] = {
      {u"Straße", u"STRASSE"}, {u"Résumé", u"resume"}, {u"Résumé", u"RÉSUMÉ"},
      {u"Alpha", u"ALPHA"},    {u"a-b", u"ab"},        {u"Data", u"Data "},
  };
  session->SetActive(true);
  for (const auto& [held, alias] : pairs) {
    SCOPED_TRACE(U8(held) + " / " + U8(alias));
    engine->Aliases = {{alias, u"/p"}};
    platform::TStringList plain;
    platform::TStringList withCase;
    withCase.SetCaseSensitive(true);
    OrdinalList ordinal;
    for (platform::TStringList* list : {&plain, &withCase, static_cast<platform::TStringList*>(&ordinal)}) {
      list->Add(held);
      const bool holds = list->IndexOf(alias) >= 0;
      ASSERT_EQ(session->GetAliasNamesEx(list, false), 0u);
      EXPECT_EQ(list->Count(), holds ? 1 : 2);
    }
  }
}

TEST_F(SessionTest, EachAliasListingStartsAfresh) {
  // The merge keeps its buffers between listings: neither the names nor
  // the keys of one listing may reach the next.
  session->SetActive(true);
  const std::vector<std::vector<std::u16string>> rounds = {
      {u"Alpha", u"Beta", u"Gamma", u"Delta"}, {u"gamma"}, {}, {u"Beta", u"ALPHA"}};
  platform::TStringList list;
  int tag = 0;
  for (const auto& round : rounds) {
    engine->Aliases.clear();
    for (const auto& name : round) engine->Aliases.emplace_back(name, u"/p");
    // The old lines' objects must not stay with the new names.
    for (int i = 0; i < list.Count(); ++i) list.SetObjects(i, &tag);
    ASSERT_EQ(session->GetAliasNamesEx(&list, true), 0u);
    std::vector<std::u16string> names;
    for (int i = 0; i < list.Count(); ++i) {
      names.push_back(list[i]);
      EXPECT_EQ(list.Objects(i), nullptr) << i;
    }
    EXPECT_EQ(names, round);
  }
}

// A list whose own comparison runs llDuring once: there it lists aliases
// itself, on the same thread, while the outer listing merges.
class ListingList : public platform::TStringList {
public:
  int CompareStrings(std::u16string_view a, std::u16string_view b) const override {
    if (llDuring) std::exchange(llDuring, nullptr)();
    return a.compare(b);
  }
  mutable std::function<void()> llDuring;
};

TEST_F(SessionTest, AnAliasListingInsideAnotherKeepsBothWhole) {
  engine->Aliases = {{u"Alpha", u"/a"}, {u"Beta", u"/b"}, {u"Alpha", u"/a2"}, {u"Gamma", u"/g"}};
  session->SetActive(true);
  platform::TStringList inner;
  ListingList outer;
  outer.llDuring = [&] {
    engine->Aliases = {{u"Inner", u"/i"}, {u"Gamma", u"/g"}};
    ASSERT_EQ(session->GetAliasNamesEx(&inner, true), 0u);
  };
  ASSERT_EQ(session->GetAliasNamesEx(&outer, true), 0u);
  ASSERT_FALSE(outer.llDuring);
  const auto names = [](const platform::TStringList& l) {
    std::vector<std::u16string> r;
    for (int i = 0; i < l.Count(); ++i) r.push_back(l[i]);
    return r;
  };
  EXPECT_EQ(names(outer), (std::vector<std::u16string>{u"Alpha", u"Beta", u"Gamma"}));
  EXPECT_EQ(names(inner), (std::vector<std::u16string>{u"Inner", u"Gamma"}));
}

TEST_F(SessionTest, RegisteredClassListIsClearedAndFilledWhenOpen) {
  engine->RegisteredClasses = {u"One", u"Two"};
  platform::TStringList list;
  list.Add(u"old");
  session->GetRegisteredClassList(TnxClassListType(0), &list);
  EXPECT_EQ(list.Count(), 0);
  session->GetRegisteredClassList(TnxClassListType(0), nullptr);
  session->SetActive(true);
  engine->Codes[u"GetRegisteredClassList"] = nxeInvalidParameter;  // not looked at
  session->GetRegisteredClassList(TnxClassListType(0), &list);
  EXPECT_EQ(list.Count(), 2);
}

TEST_F(SessionTest, TableStreamsAndExistence) {
  EXPECT_EQ(RaisedBy([&] { session->TableExists(u"Data", u"T", u""); }).text, kNotStarted);
  session->SetActive(true);
  engine->Tables = {u"Customers"};
  engine->Streams[u"Customers/Layout"] = "layout bytes";

  auto read = session->TableStreamRead(u"Data", u"Customers", u"", u"Layout");
  ASSERT_TRUE(read);
  std::string bytes(size_t(read->GetSize()), '\0');
  read->Seek(0, platform::TSeekOrigin::soBeginning);
  read->Read(bytes.data(), int64_t(bytes.size()));
  EXPECT_EQ(bytes, "layout bytes");
  session->TableStreamWrite(u"Data", u"Orders", u"", u"Layout", *read);
  EXPECT_EQ(engine->Streams[u"Orders/Layout"], "layout bytes");

  EXPECT_TRUE(session->TableExists(u"Data", u"Customers", u""));
  EXPECT_FALSE(engine->LastAllowSystem);
  EXPECT_FALSE(session->TableExists(u"Data", u"Orders", u""));
  // Its result code is not looked at.
  engine->Codes[u"TableExists"] = nxeUnknownDatabase;
  EXPECT_TRUE(session->TableExists(u"Data", u"Customers", u""));

  struct Case {
    const char* what;
    std::u16string alias, table;
    uint32_t code;
  };
  const Case cases[] = {
      {"empty alias", u"", u"T", nxeUnknownDatabase},
      {"bad alias", u"a:b", u"T", nxeInvalidAliasName},
      {"empty table", u"Data", u"", nxeTableDoesNotExist},
      {"bad table", u"Data", u"a b?", nxeInvalidTableName},
  };
  const int calls = engine->Calls[u"TableStreamRead"] + engine->Calls[u"TableStreamWrite"];
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnxMemoryStream stream;
    EXPECT_EQ(session->TableStreamReadEx(c.alias, c.table, u"", u"S", stream), c.code);
    EXPECT_EQ(session->TableStreamWriteEx(c.alias, c.table, u"", u"S", stream), c.code);
    EXPECT_EQ(RaisedBy([&] { session->TableExists(c.alias, c.table, u""); }).code, c.code);
  }
  EXPECT_EQ(engine->Calls[u"TableStreamRead"] + engine->Calls[u"TableStreamWrite"], calls);

  engine->Codes[u"TableStreamRead"] = nxeTableDoesNotExist;
  EXPECT_EQ(RaisedBy([&] { session->TableStreamRead(u"Data", u"Gone", u"", u"S"); }).text,
            "RevurOV: Session1: Table does not exist. [$2728/10024]");
}

// ---- timeouts ----

TEST_F(SessionTest, TimeoutIsAppliedInOneBatch) {
  session->SetActive(true);
  EXPECT_EQ(session->AbstractSession()->Timeout(), nxDefaultSessionTimeout);
  session->SetTimeout(2500);
  EXPECT_EQ(session->AbstractSession()->Timeout(), 2500u);
  EXPECT_EQ(engine->BatchesBegun, 1);
  EXPECT_EQ(engine->BatchesEnded, 1);
  session->SetTimeout(-1);
  EXPECT_EQ(session->AbstractSession()->Timeout(), nxDefaultSessionTimeout);

  // A failure inside the batch still ends it.
  engine->RaiseOnTimeout = nxeInvalidParameter;
  EXPECT_THROW(session->SetTimeout(7), std::exception);
  EXPECT_EQ(engine->BatchesBegun, 3);
  EXPECT_EQ(engine->BatchesEnded, 3);
  engine->RaiseOnTimeout = 0;

  // Inactive: only the property changes.
  session->SetActive(false);
  session->SetTimeout(100);
  EXPECT_EQ(engine->BatchesBegun, 3);
  EXPECT_EQ(session->GetEffectiveTimeout(), 100u);
}

// ---- interfaces ----

TEST_F(SessionTest, SessionRequestsGoToTheEngineSession) {
  platform::TInterfacePtr<InxSessionRequests> requests;
  void* found = nullptr;
  ASSERT_EQ(session->QueryInterface(InxSessionRequests::IID, &found), platform::S_OK);
  auto* r = static_cast<InxSessionRequests*>(found);
  auto request = [r](uint32_t aTimeout) {
    return r->ProcessRequest(nullptr, 0, 0x700, aTimeout, nullptr, 0, nullptr, nullptr, nmdByteArray, false,
                             nullptr);
  };
  auto direct = [r](uint32_t aTimeout) {
    return r->ProcessRequestDirect(0, 0x700, aTimeout, nullptr, 0, nullptr, nullptr, nmdByteArray);
  };
  // Without an engine session.
  EXPECT_EQ(request(0), nxeServerNotFound);
  EXPECT_EQ(direct(0), nxeServerNotFound);
  r->ProcessPost(nullptr, 0, 0x700, 0, nullptr, 0);
  EXPECT_TRUE(engine->RequestTimeouts.empty());

  session->SetTimeout(3000);
  session->SetActive(true);
  EXPECT_EQ(request(0), 0u);
  EXPECT_EQ(direct(40), 0u);
  r->ProcessPost(nullptr, 0, 0x700, 0, nullptr, 0);
  EXPECT_EQ(engine->RequestTimeouts, (std::vector<uint32_t>{3000, 40, 3000}));

  // An engine session without the interface.
  session->SetActive(false);
  engine->AnswerRequests = false;
  session->SetActive(true);
  EXPECT_EQ(request(0), nxeServerNotFound);
  EXPECT_EQ(direct(0), nxeServerNotFound);
}

TEST_F(SessionTest, ClassActivationWithoutAnEngineSessionIsDisconnected) {
  platform::TInterfacePtr<platform::IInterface> made;
  EXPECT_EQ(session->CreateInstance(platform::TGUID{}, nullptr, platform::IInterface::IID, made),
            platform::RPC_E_DISCONNECTED);
  EXPECT_FALSE(made);
}

class RecordingNotifier : public TnxInterfacedObject, public InxSessionNotifier {
public:
  RecordingNotifier() : TnxInterfacedObject(true) {}
  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return TnxInterfacedObject::QueryInterface(iid, obj);
  }
  int32_t AddRef() noexcept override { return TnxInterfacedObject::AddRef(); }
  int32_t Release() noexcept override { return TnxInterfacedObject::Release(); }
  void SessionDisconnected() override { ++told; }
  std::atomic<int> told{0};
};

TEST_F(SessionTest, NotifiersHearWhenTheEngineSessionGoes) {
  RecordingNotifier notifier;
  session->SetActive(true);
  session->SessionNotifications()->RegisterNotifier(&notifier);
  session->SetActive(false);
  EXPECT_EQ(notifier.told, 1);

  // Made before the start: registered with the engine session then.
  session->SessionNotifications()->RegisterNotifier(&notifier);
  session->SetActive(true);
  static_cast<TnxSessionNotifications*>(session->AbstractSession()->SessionNotifications())->Disconnected();
  EXPECT_EQ(notifier.told, 2);
  session->SetActive(false);
  EXPECT_EQ(notifier.told, 2);
}

TEST_F(SessionTest, NotificationsAreMadeOnceAcrossThreads) {
  session->SetActive(true);
  constexpr int kThreads = 4;
  std::atomic<int> ready{0};
  InxSessionNotifications* seen[kThreads] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      seen[i] = session->SessionNotifications();
    });
  for (auto& t : threads) t.join();
  for (auto* s : seen) EXPECT_EQ(s, seen[0]);
  // The winner alone registered with the engine session.
  EXPECT_EQ(static_cast<TnxSessionNotifications*>(session->AbstractSession()->SessionNotifications())->Count(), 1);
}

// ---- default session per thread ----

TEST_F(SessionTest, DefaultSessionPerThread) {
  ComponentPtr<TnxSession> second{new TnxSession(nullptr)};
  second->SetName(u"Session2");
  EXPECT_FALSE(session->Default());
  session->SetDefault(true);
  EXPECT_EQ(TnxBaseSession::DefaultSession(), session.get());
  second->SetDefault(true);
  EXPECT_FALSE(session->Default());
  EXPECT_TRUE(second->Default());
  EXPECT_EQ(TnxBaseSession::DefaultSession(), second.get());

  Raised onOther;
  bool firstOnOther = true;
  TnxBaseSession* defaultOnOther = session.get();
  std::thread other([&] {
    onOther = RaisedBy([&] { second->Default(); });
    firstOnOther = session->Default();
    defaultOnOther = TnxBaseSession::DefaultSession();
  });
  other.join();
  EXPECT_EQ(onOther.text,
            "RevurOV: Session2: Default session has been used in another thread [$2107/8455]");
  EXPECT_FALSE(firstOnOther);
  EXPECT_EQ(defaultOnOther, nullptr);

  second->SetDefault(true);  // its value already: nothing
  second->SetDefault(false);
  EXPECT_EQ(TnxBaseSession::DefaultSession(), nullptr);
  second->SetDefault(true);
  second.reset();
  EXPECT_EQ(TnxBaseSession::DefaultSession(), nullptr);
}

TEST_F(SessionTest, AThreadThatEndsLeavesItsDefaultSession) {
  std::thread other([&] { session->SetDefault(true); });
  other.join();
  // The slot is gone with its thread; the session no longer points there.
  EXPECT_FALSE(session->Default());
  session->SetDefault(true);
  EXPECT_TRUE(session->Default());
  session->SetDefault(false);
}

TEST_F(SessionTest, ASessionDestroyedOnAnotherThreadLeavesTheSlot) {
  std::atomic<int> step{0};
  TnxBaseSession* seen = session.get();
  std::thread owner([&] {
    session->SetDefault(true);
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
    seen = TnxBaseSession::DefaultSession();
  });
  while (step.load() != 1) std::this_thread::yield();
  session.reset();
  step = 2;
  owner.join();
  EXPECT_EQ(seen, nullptr);
}

TEST_F(SessionTest, ManyThreadsEndWhileSessionsComeAndGo) {
  // Eight threads each make their own session default; half the sessions
  // are destroyed here while their threads still run, then all threads end.
  constexpr int kThreads = 8;
  std::vector<ComponentPtr<TnxSession>> sessions;
  for (int i = 0; i < kThreads; ++i) sessions.emplace_back(new TnxSession(nullptr));
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<TnxBaseSession*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      sessions[size_t(i)]->SetDefault(true);
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      seen[size_t(i)] = TnxBaseSession::DefaultSession();
    });
  while (ready.load() != kThreads) std::this_thread::yield();
  for (int i = 0; i < kThreads; i += 2) sessions[size_t(i)].reset();
  go = true;
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    SCOPED_TRACE(i);
    if (i % 2 == 0) {
      EXPECT_EQ(seen[size_t(i)], nullptr);
    } else {
      EXPECT_EQ(seen[size_t(i)], sessions[size_t(i)].get());
      // Its thread is gone, and with it the slot.
      EXPECT_FALSE(sessions[size_t(i)]->Default());
    }
  }
}

// ---- destruction ----

TEST_F(SessionTest, DestroyingAnActiveSessionEndsItsEngineSession) {
  session->SetActive(true);
  ASSERT_EQ(engine->SessionCount(), 1);
  session.reset();
  EXPECT_EQ(engine->SessionCount(), 0);
  EXPECT_EQ(engine->DependentCount(), 0);
  EXPECT_TRUE(engine->Active());
}

TEST_F(SessionTest, AnEngineThatGoesTakesTheSessionDown) {
  session->SetActive(true);
  engine.reset();
  EXPECT_FALSE(session->Active());
  EXPECT_EQ(session->ServerEngine(), nullptr);
  EXPECT_EQ(session->AbstractSession(), nullptr);
}

// ---- databases by alias ----

class SessionDatabasesTest : public SessionTest {
protected:
  SessionDatabasesTest() {
    engine->Aliases = {{u"Data", u"/srv/data"}, {u"Other", u"/srv/other"}};
    engine->Tables = {u"Customers", u"Orders"};
  }
};

TEST_F(SessionDatabasesTest, OneImplicitDatabasePerAliasInAnyCase) {
  EXPECT_EQ(session->FindDatabase(u"Data"), nullptr);
  TnxDatabase* data = session->OpenDatabase(u"Data");
  EXPECT_TRUE(session->Active());
  EXPECT_TRUE(data->Active());
  EXPECT_TRUE(data->Implicit());
  EXPECT_EQ(data->Owner(), session.get());
  EXPECT_EQ(session->OpenDatabase(u"DATA"), data);
  EXPECT_EQ(session->FindDatabase(u"data"), data);
  EXPECT_EQ(session->FindDatabase(u"Other"), nullptr);  // never made by a look-up
  EXPECT_EQ(engine->Opens.size(), 1u);
  EXPECT_EQ(session->DatabaseCount(), 1);
}

TEST_F(SessionDatabasesTest, AnImplicitDatabaseKeepsItsSessionAndAlias) {
  TnxDatabase* data = session->GetImplicitDatabase(u"Data", true);
  ComponentPtr<TnxSession> other{new TnxSession(nullptr)};
  data->SetSession(other.get());
  EXPECT_EQ(data->Session(), session.get());
  const char* kImplicit = "RevurOV: <unnamed TnxDatabase instance>: AliasName can't be changed for an implicit database [no error code]";
  EXPECT_EQ(RaisedBy([&] { data->SetAliasName(u"Other"); }).text, kImplicit);
  EXPECT_EQ(RaisedBy([&] { data->SetAliasPath(u"/srv"); }).text, kImplicit);
  data->SetAliasName(u"DATA");  // a change of case names the same alias
  EXPECT_EQ(U8(data->AliasName()), "DATA");
  EXPECT_EQ(session->FindDatabase(u"Data"), data);
}

TEST_F(SessionDatabasesTest, AliasNamesAreCheckedFirst) {
  platform::TStringList list;
  struct Case {
    const char* what;
    std::function<void()> call;
    const char* text;
  };
  const Case cases[] = {
      {"empty alias", [&] { session->GetImplicitDatabase(u"", true); },
       "RevurOV: Session1: Unknown database. [$271E/10014]"},
      {"invalid alias", [&] { session->OpenDatabase(u"a;b"); }, "RevurOV: Session1: Invalid alias name. \";\" is not a valid character. [$2753/10067]"},
      {"table names: empty alias", [&] { session->GetTableNames(u"", &list); },
       "RevurOV: Session1: Unknown database. [$271E/10014]"},
      {"table names: nil list", [&] { session->GetTableNames(u"Data", nullptr); },
       "RevurOV: Session1: Invalid parameter. [$2702/9986]"},
      {"changed tables: nil list", [&] { session->GetChangedTables(u"Data", nullptr); },
       "RevurOV: Session1: Invalid parameter. [$2702/9986]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(RaisedBy(c.call).text, c.text);
  }
  EXPECT_EQ(session->DatabaseCount(), 0);
  EXPECT_FALSE(session->Active());
}

TEST_F(SessionDatabasesTest, TableNamesLeaveTheImplicitDatabaseAsTheyFoundIt) {
  struct Case {
    const char* what;
    bool wasActive;
    uint32_t listCode;
  };
  const Case cases[] = {
      {"inactive, listed", false, 0},
      {"active, listed", true, 0},
      {"inactive, the list fails", false, nxeRecordLocked},
      {"active, the list fails", true, nxeRecordLocked},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnxDatabase* data = session->GetImplicitDatabase(u"Data", true);
    data->SetActive(c.wasActive);
    engine->Codes[u"TableGetList"] = c.listCode;
    platform::TStringList list;
    list.Add(u"left over");
    const Raised raised = RaisedBy([&] { session->GetTableNames(u"DATA", &list); });
    EXPECT_EQ(raised.code, c.listCode);
    EXPECT_EQ(data->Active(), c.wasActive);
    if (c.listCode == 0) {
      ASSERT_EQ(list.Count(), 2);
      EXPECT_EQ(U8(list.Strings(0)), "Customers");
    } else {
      EXPECT_EQ(list.Count(), 0);
    }
  }
  EXPECT_EQ(session->DatabaseCount(), 1);
}

TEST_F(SessionDatabasesTest, ChangedTablesOnlyFromAnOpenImplicitDatabase) {
  engine->Changed = {u"Orders"};
  platform::TStringList list;
  session->SetActive(true);
  session->GetChangedTables(u"Data", &list);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_FALSE(session->FindDatabase(u"Data")->Active());
  session->OpenDatabase(u"Data");
  session->GetChangedTables(u"Data", &list);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(U8(list.Strings(0)), "Orders");
}

TEST_F(SessionDatabasesTest, TableExistsAsksAnOpenImplicitDatabaseElseTheEngineSession) {
  session->SetActive(true);
  session->GetImplicitDatabase(u"Data", true);
  EXPECT_TRUE(session->TableExists(u"Data", u"Customers", u""));
  EXPECT_EQ(engine->Calls[u"TableExists"], 1);
  EXPECT_TRUE(engine->TableCalls.empty());  // the inactive database was not opened
  session->OpenDatabase(u"Data");
  EXPECT_FALSE(session->TableExists(u"Data", u"Missing", u""));
  EXPECT_EQ(engine->TableCalls, (std::vector<std::u16string>{u"TableExists Missing"}));
}

TEST_F(SessionDatabasesTest, ClosingInactiveLocalDatabasesClosesOnlyImplicitOnes) {
  EXPECT_EQ(RaisedBy([&] { session->CloseInactiveLocalDatabases(); }).text, kNotStarted);
  TnxDatabase* data = session->OpenDatabase(u"Data");
  TnxDatabase* other = session->OpenDatabase(u"Other");
  ComponentPtr<TnxDatabase> own{new TnxDatabase(nullptr)};
  own->SetSession(session.get());
  own->SetAliasName(u"Data");
  own->SetActive(true);
  session->CloseInactiveFolders();
  EXPECT_FALSE(data->Active());
  EXPECT_FALSE(other->Active());
  EXPECT_TRUE(own->Active());
  EXPECT_EQ(engine->Calls[u"CloseInactiveFolders"], 1);
}

TEST_F(SessionDatabasesTest, ASessionDestroyedWithImplicitAndExplicitDatabases) {
  ComponentPtr<TnxDatabase> own{new TnxDatabase(nullptr)};
  ComponentPtr<TnxTransContext> context{new TnxTransContext(nullptr)};
  own->SetSession(session.get());
  own->SetAliasName(u"Data");
  context->SetSession(session.get());
  own->SetTransContext(context.get());
  own->SetActive(true);
  session->OpenDatabase(u"Data");
  session->GetImplicitDatabase(u"Other", true);
  EXPECT_EQ(session->DatabaseCount(), 3);
  EXPECT_EQ(session->TransContextCount(), 1);
  session.reset();
  // The implicit ones went with the session, each once (the sanitizer
  // build sees a second free); the others are left without a session.
  EXPECT_EQ(engine->DatabasesFreed, 2);
  EXPECT_FALSE(own->Active());
  EXPECT_EQ(own->Session(), nullptr);
  EXPECT_EQ(context->Session(), nullptr);
  EXPECT_EQ(engine->SessionCount(), 0);
  // Its context, brought up first, has no session either.
  EXPECT_EQ(RaisedBy([&] { own->SetActive(true); }).text,
            "RevurOV: <unnamed TnxTransContext instance>: No owning session [no error code]");
}

TEST_F(SessionDatabasesTest, AnImplicitDatabaseFreedFirstLeavesItsAlias) {
  TnxDatabase* data = session->OpenDatabase(u"Data");
  data->SetDefault(true);
  platform::TComponent::Free(data);
  EXPECT_EQ(session->FindDatabase(u"Data"), nullptr);
  EXPECT_EQ(session->DefaultDatabase(), nullptr);
  EXPECT_EQ(session->DatabaseCount(), 0);
  EXPECT_EQ(session->ComponentCount(), 0);
  TnxDatabase* again = session->OpenDatabase(u"Data");
  EXPECT_TRUE(again->Active());
  session.reset();
}

}  // namespace
}  // namespace revurov
