#include "server/server_session.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "dictionary/locale_descriptor.h"
#include "index/index_engines.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "server/alias_handler.h"
#include "server/server_database.h"
#include "support/server_fixture.h"
#include "support/temp_dir.h"
#include "support/test_engine.h"

namespace revurov::testing {
namespace {

// Records what a component linked to the alias handler hears.
class TListener : public TnxComponent {
public:
  using TnxComponent::TnxComponent;
  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override {
    heard.push_back(aOp);
    TnxComponent::DependentNotify(aSender, aOp, aData);
  }
  std::vector<TnxNotifyOp> heard;
};

// Vetoes from a table; adds "fromExtender" to the passwords a table open
// tries.
class TPasswordExtender : public TestExtender {
public:
  using TestExtender::TestExtender;
  uint32_t Notify(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) override {
    if (aAction == eaBuildPasswords && aArgs.size() == 3 && aArgs[2].eaKind == TnxEngineArg::Pointer)
      static_cast<TnxUnicodeStrings*>(aArgs[2].eaPointer)->push_back(u"fromExtender");
    return TestExtender::Notify(aAction, aBefore, aArgs);
  }
};

// What TestExtender logs for an action.
std::u16string Heard(TnxEngineAction aAction, bool aBefore) {
  return std::u16string(u"x:") + char16_t(u'0' + aAction / 10) + char16_t(u'0' + aAction % 10) + (aBefore ? u"b" : u"a");
}

class ServerSessionTest : public ServerFixture {
protected:
  ServerSessionTest() {
    Start();
    session = Open();
  }
  // Extenders on every session opened from now on.
  void Extend(std::map<TnxEngineAction, uint32_t> aVetoes) {
    monitor.reset(new TestMonitor(nullptr));
    monitor->SetServerEngine(engine.get());
    monitor->SetActive(true);
    monitor->attach = [this, aVetoes](TestMonitor* aMonitor, TnxExtendableServerObject* aObject) {
      if (dynamic_cast<TnxServerSession*>(aObject))
        nxCreateEngineExtender<TPasswordExtender>(aMonitor, aObject, TnxEngineActions{}, aVetoes, &log);
    };
    session = Open();
  }

  TnxServerSession* session = nullptr;
  ComponentPtr<TestMonitor> monitor;
  std::vector<std::u16string> log;
  TempDir dir;
};

// ---- aliases ----

TEST_F(ServerSessionTest, AliasRowsAnswerTheirCodes) {
  ASSERT_EQ(session->AliasAdd(u"Sales", u"/data/sales", false), 0u);
  std::u16string path;
  TnxAliasDescriptors list;
  struct Case {
    const char* name;
    std::function<uint32_t()> call;
    uint32_t result;
  } cases[] = {
      {"add empty", [&] { return session->AliasAdd(u"", u"/x", false); }, 10067},
      {"add malformed", [&] { return session->AliasAdd(u"a/b", u"/x", false); }, 10067},
      {"add taken", [&] { return session->AliasAdd(u"SALES", u"/x", false); }, 10009},
      {"add path with ;", [&] { return session->AliasAdd(u"Other", u"/x;y", false); }, 9986},
      {"get path empty", [&] { return session->AliasGetPath(u"", path); }, 10014},
      {"get path malformed", [&] { return session->AliasGetPath(u" a", path); }, 10067},
      {"get path unknown", [&] { return session->AliasGetPath(u"Nobody", path); }, 10014},
      {"delete empty", [&] { return session->AliasDelete(u""); }, 10014},
      {"delete unknown", [&] { return session->AliasDelete(u"Nobody"); }, 10014},
      {"modify empty", [&] { return session->AliasModify(u"", u"X", u"", false); }, 10014},
      {"modify to a malformed name", [&] { return session->AliasModify(u"Sales", u"a/b", u"", false); }, 10067},
      {"modify to a taken name", [&] { return session->AliasModify(u"Sales", u"sales", u"", false); }, 10009},
  };
  for (const Case& c : cases) EXPECT_EQ(c.call(), c.result) << c.name;
  EXPECT_EQ(session->AliasGetList(list), 0u);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]->adAlias, u"Sales");

  EXPECT_EQ(session->AliasModify(u"Sales", u"Books", u"/b", false), 0u);
  path = u"stale";
  EXPECT_EQ(session->AliasGetPath(u"Sales", path), 10014u);
  EXPECT_EQ(path, u"");
  EXPECT_EQ(session->AliasGetPath(u"books", path), 0u);
  EXPECT_EQ(path, u"/b");
  EXPECT_EQ(session->AliasDelete(u"Books"), 0u);
}

TEST_F(ServerSessionTest, AliasListLeavesOutNamesThatAreNoIdentifiers) {
  engine->AliasHandler()->Add(u" Spaced", u"/s", false);
  engine->AliasHandler()->Add(u"Good", u"/g", false);
  TnxAliasDescriptors list;
  list.push_back(std::make_unique<TnxAliasDescriptor>(u"Kept", u"/k"));
  EXPECT_EQ(session->AliasGetList(list), 0u);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]->adAlias, u"Kept");
  EXPECT_EQ(list[1]->adAlias, u"Good");
}

TEST_F(ServerSessionTest, WithoutAliasHandlerEveryAliasOperationNamesItself) {
  engine->SetActive(false);
  engine->SetAliasHandler(nullptr);
  Start();
  session = Open();
  std::u16string path;
  TnxAliasDescriptors list;
  TnxAbstractDatabase* database = nullptr;
  struct Case {
    const char* operation;
    std::function<uint32_t()> call;
  } cases[] = {
      {"AliasAdd", [&] { return session->AliasAdd(u"A", u"/a", false); }},
      {"AliasDelete", [&] { return session->AliasDelete(u"A"); }},
      {"AliasModify", [&] { return session->AliasModify(u"A", u"", u"/b", false); }},
      {"AliasGetList", [&] { return session->AliasGetList(list); }},
      {"AliasGetPath", [&] { return session->AliasGetPath(u"A", path); }},
      {"AliasType = 'Name'",
       [&] { return session->DatabaseOpen(database, u"Name", u"A", nullptr, omReadWrite, smShared, 1000); }},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), 12289u) << c.operation;
    EXPECT_EQ(LastMessage(), std::string(c.operation) + " requires an AliasHandler");
  }
}

TEST_F(ServerSessionTest, AliasChangesAreBroadcastWhateverTheirResult) {
  ComponentPtr<TListener> listener{new TListener(nullptr)};
  TnxComponent::LinkDependent(engine->AliasHandler(), listener.get());
  EXPECT_EQ(session->AliasAdd(u"A", u"/a", false), 0u);
  EXPECT_EQ(session->AliasAdd(u"A", u"/a", false), 10009u);
  EXPECT_EQ(session->AliasModify(u"A", u"", u"/b", false), 0u);
  EXPECT_EQ(session->AliasDelete(u"A"), 0u);
  std::u16string path;
  EXPECT_EQ(session->AliasGetPath(u"A", path), 10014u);  // reads tell nobody
  EXPECT_EQ(std::count(listener->heard.begin(), listener->heard.end(), nxn_AliasesChanged), 4);
  TnxComponent::UnlinkDependent(engine->AliasHandler(), listener.get());
}

TEST_F(ServerSessionTest, AnExtenderVetoStopsTheAliasChange) {
  Extend({{eaAliasAdd, 4711}});
  EXPECT_EQ(session->AliasAdd(u"A", u"/a", false), 4711u);
  EXPECT_FALSE(engine->AliasHandler()->IsAlias(u"A"));
  EXPECT_EQ(session->AliasDelete(u"A"), 10014u);
  // The failed delete is told before, not after.
  EXPECT_EQ(log, (std::vector<std::u16string>{Heard(eaCreate, false), Heard(eaAliasAdd, true),
                                              Heard(eaAliasDelete, true)}));
}

// ---- passwords ----

TEST_F(ServerSessionTest, PasswordRowsAnswerTheirCodes) {
  struct Case {
    const char* name;
    std::function<uint32_t()> call;
    uint32_t result;
  } cases[] = {
      {"add", [&] { return session->PasswordAdd(u"one"); }, 0},
      {"add again", [&] { return session->PasswordAdd(u"one"); }, 10009},
      {"add in other case", [&] { return session->PasswordAdd(u"ONE"); }, 0},
      {"add empty", [&] { return session->PasswordAdd(u""); }, 9986},
      {"remove empty", [&] { return session->PasswordRemove(u""); }, 9986},
      {"remove unknown", [&] { return session->PasswordRemove(u"two"); }, 8712},
      {"remove", [&] { return session->PasswordRemove(u"one"); }, 0},
      {"remove again", [&] { return session->PasswordRemove(u"one"); }, 8712},
  };
  for (const Case& c : cases) EXPECT_EQ(c.call(), c.result) << c.name;
  TnxUnicodeStrings tried;
  session->ssBuildPasswords(u"A", u"T", u"", tried);
  EXPECT_EQ(tried, TnxUnicodeStrings{u"ONE"});
  EXPECT_EQ(session->PasswordRemoveAll(), 0u);
  session->ssBuildPasswords(u"A", u"T", u"table", tried);
  EXPECT_EQ(tried, TnxUnicodeStrings{u"table"});
}

TEST_F(ServerSessionTest, ExtendersMayChangeThePasswordsATableOpenTries) {
  Extend({});
  ASSERT_EQ(session->PasswordAdd(u"p1"), 0u);
  TnxUnicodeStrings tried;
  session->ssBuildPasswords(u"A", u"T", u"table", tried);
  EXPECT_EQ(tried, (TnxUnicodeStrings{u"p1", u"table", u"fromExtender"}));
}

TEST_F(ServerSessionTest, AKickedSessionAnswers9990) {
  session->Kick();
  EXPECT_EQ(session->PasswordAdd(u"p"), 9990u);
  EXPECT_EQ(session->AliasAdd(u"A", u"/a", false), 9990u);
  EXPECT_FALSE(engine->AliasHandler()->IsAlias(u"A"));
}

// ---- client locale ----

TEST_F(ServerSessionTest, ClientLocaleIsBuiltOnceFromTheOption) {
  struct Case {
    const char16_t* value;
    uint32_t locale;  // 0: none
  } cases[] = {{u"1031", 1031}, {u"abc", 0}, {u"0", 0}, {u"-5", 0}};
  for (const Case& c : cases) {
    TnxServerSession* s = Open();
    ASSERT_EQ(s->OptionSet(u"SQL_DEFAULT_LOCALE", c.value), 0u);
    const TnxLocaleDescriptor* first = s->ClientDefaultLocale();
    if (c.locale == 0) {
      EXPECT_EQ(first, nullptr) << platform::Utf16ToUtf8(c.value);
      // Not looked at again.
      ASSERT_EQ(s->OptionSet(u"SQL_DEFAULT_LOCALE", u"1033"), 0u);
      EXPECT_EQ(s->ClientDefaultLocale(), nullptr);
    } else {
      ASSERT_NE(first, nullptr);
      EXPECT_EQ(first->Locale(), c.locale);
      EXPECT_TRUE(first->IsDefaultStringLiteralLocale());
      EXPECT_EQ(s->ClientDefaultLocale(), first);
    }
  }
  EXPECT_EQ(session->ClientDefaultLocale(), nullptr);  // no option at all
}

// ---- class lists ----

TEST_F(ServerSessionTest, IndexEngineListLeavesOutCacheEnginesEveryTime) {
  static const TnxRegisterableClass kCacheEngine{u"TnxTestBlobCacheKeyEngine", &TnxBaseIndexEngine::ClassInfo(),
                                                 nullptr};
  static const TnxRegisterableClass kKeyEngine{u"TnxTestKeyEngine", &TnxBaseIndexEngine::ClassInfo(), nullptr};
  kCacheEngine.Register();
  kKeyEngine.Register();
  platform::TStringList first, second;
  const uint32_t r1 = session->GetRegisteredClassList(setIndexEngines, first);
  const uint32_t r2 = session->GetRegisteredClassList(setIndexEngines, second);
  const bool stillRegistered = TnxBaseIndexEngine::ClassInfo().FindClass(u"TnxTestBlobCacheKeyEngine") != nullptr;
  kCacheEngine.Unregister();
  kKeyEngine.Unregister();
  EXPECT_EQ(r1, 0u);
  EXPECT_EQ(r2, 0u);
  EXPECT_TRUE(stillRegistered);
  EXPECT_NE(first.IndexOf(u"TnxTestKeyEngine"), -1);
  EXPECT_EQ(first.Text(), second.Text());
  EXPECT_EQ(first.IndexOf(u"TnxTestBlobCacheKeyEngine"), -1);
}

TEST_F(ServerSessionTest, ClassListsOfEveryKind) {
  platform::TStringList list;
  list.Add(u"old");
  EXPECT_EQ(session->GetRegisteredClassList(setEncryptionEngines, list), 0u);
  ASSERT_GT(list.Count(), 0);
  EXPECT_EQ(list[0], u"");  // no encryption first
  for (TnxClassListType type : {setAutoIncEngines, setBlobEngines, setDefaultDescriptors, setValidationDescriptors,
                                setRecordDescriptors, setRIActionDescriptors}) {
    EXPECT_EQ(session->GetRegisteredClassList(type, list), 0u) << int(type);
    EXPECT_EQ(list.IndexOf(u"old"), -1);
  }
  EXPECT_EQ(session->GetRegisteredClassList(static_cast<TnxClassListType>(200), list), 8712u);
}

// ---- the road to a folder ----

TEST_F(ServerSessionTest, DatabaseOpenResolvesTheFolderFirst) {
  ASSERT_EQ(session->AliasAdd(u"Missing", u"/no/such/folder", false), 0u);
  ASSERT_EQ(session->AliasAdd(u"Here", platform::Utf8ToUtf16(dir.Dir()), false), 0u);
  TnxAbstractDatabase* database = nullptr;
  struct Case {
    const char* name;
    std::u16string type, alias;
    uint32_t result;
    const char* message;
  } cases[] = {
      {"empty alias", u"Name", u"", 10014, nullptr},
      {"malformed alias", u"name", u"a/b", 10067, nullptr},
      {"unknown alias", u"Name", u"Nobody", 10014, nullptr},
      {"alias of a missing folder", u"Name", u"Missing", 10018, nullptr},
      {"missing path", u"path", u"/no/such/folder", 10018, nullptr},
      {"unknown type", u"Url", u"x", 12289, "AliasType 'Url' not supported"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(session->DatabaseOpen(database, c.type, c.alias, nullptr, omReadWrite, smShared, 1000), c.result)
        << c.name;
    EXPECT_EQ(database, nullptr);
    if (c.message) {
      EXPECT_EQ(LastMessage(), c.message) << c.name;
    }
  }
  // None of them made a folder.
  EXPECT_EQ(engine->FolderCount(), 0);
  ASSERT_EQ(session->DatabaseOpen(database, u"Name", u"Here", nullptr, omReadWrite, smShared, 1000), 0u);
  ASSERT_NE(database, nullptr);
  std::u16string alias;
  EXPECT_EQ(database->GetAlias(alias), 0u);
  EXPECT_EQ(alias, u"Here");
  database->Free();
}

TEST_F(ServerSessionTest, ClosingInactiveObjectsAsksTheExtenders) {
  Extend({{eaCloseInactiveTables, 77}});
  EXPECT_EQ(session->CloseInactiveFolders(), 0u);
  EXPECT_EQ(session->CloseInactiveTables(), 77u);
  EXPECT_EQ(log, (std::vector<std::u16string>{Heard(eaCreate, false), Heard(eaCloseInactiveFolders, true),
                                              Heard(eaCloseInactiveFolders, false),
                                              Heard(eaCloseInactiveTables, true)}));
}

}  // namespace
}  // namespace revurov::testing
