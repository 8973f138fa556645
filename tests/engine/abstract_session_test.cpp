#include "engine/abstract_session.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "engine/deadline_hooks.h"
#include "lowlevel/objects/session_notifications.h"
#include "lowlevel/startup.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/wide_strings/utils_convert.h"
#include "support/engine_fixture.h"
#include "support/fake_engine_clock.h"
#include "support/memory_engine.h"
#include "support/u8_text.h"

namespace revurov::testing {
namespace {

std::vector<uint32_t> gTimeouts;

class AbstractSessionTest : public ::testing::Test {
protected:
  void SetUp() override {
    gTimeouts.clear();
    nxInstallSetTimeoutHook([](uint32_t aTimeout, bool) { gTimeouts.push_back(aTimeout); });
  }
  void TearDown() override { nxResetDeadlineHooks(); }

  TnxAbstractDatabase* Open(MemorySession* aSession, TnxAbstractTransContext* aContext = nullptr,
                            uint32_t aTimeout = 0) {
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(aSession->DatabaseOpen(database, u"Name", u"Data", aContext, omReadWrite, smShared, aTimeout), 0u);
    return database;
  }
  TnxAbstractTransContext* Context(MemorySession* aSession, uint32_t aTimeout = 0) {
    TnxAbstractTransContext* context = nullptr;
    EXPECT_EQ(aSession->TransContextCreate(context, aTimeout), 0u);
    return context;
  }
  void ExpectCounts(int32_t aSessions, int32_t aDatabases, int32_t aContexts) {
    EXPECT_EQ(engine->SessionCount(), aSessions);
    EXPECT_EQ(engine->DatabaseCount(), aDatabases);
    EXPECT_EQ(engine->TransContextCount(), aContexts);
  }

  // First in, last out: sessions left with task infos pause on it as the
  // engine frees them.
  TFakeEngineClock clock;
  TnxLowLevelStartupGuard library;
  ComponentPtr<MemoryEngine> engine{new MemoryEngine(nullptr)};
};

TEST_F(AbstractSessionTest, CountsFollowEveryObjectAndCloseFreesWhatIsLeft) {
  MemorySession* session = engine->OpenMemory();
  ExpectCounts(1, 0, 0);
  TnxAbstractDatabase* own = Open(session);
  ExpectCounts(1, 1, 1);
  TnxAbstractTransContext* shared = Context(session);
  TnxAbstractDatabase* first = Open(session, shared);
  TnxAbstractDatabase* second = Open(session, shared);
  session->AddTaskInfo();
  ExpectCounts(1, 3, 2);
  EXPECT_EQ(session->Databases(), (std::vector<TnxAbstractDatabase*>{own, first, second}));
  EXPECT_EQ(session->TransContexts().size(), 2u);

  own->Free();  // takes its own context along
  ExpectCounts(1, 2, 1);
  EXPECT_EQ(session->Databases(), (std::vector<TnxAbstractDatabase*>{first, second}));
  EXPECT_EQ(session->TransContexts(), (std::vector<TnxAbstractTransContext*>{shared}));

  EXPECT_EQ(session->Close(), 0u);
  ExpectCounts(0, 0, 0);
  EXPECT_EQ(engine->DatabasesFreed, 3);
  EXPECT_EQ(engine->allSessionsClosed, 1);
  EXPECT_TRUE(engine->Sessions().empty());
}

TEST_F(AbstractSessionTest, PermanentFailureCleansUpAndTheCountsFollow) {
  MemorySession* session = engine->OpenMemory();
  TnxAbstractTransContext* shared = Context(session);
  Open(session, shared);
  Open(session);
  int cancels = 0;
  session->AddTaskInfo(&cancels);
  ExpectCounts(1, 2, 2);

  session->ReportFailure(true, false);
  EXPECT_TRUE(session->CleanedUp());
  ExpectCounts(1, 0, 0);
  EXPECT_TRUE(session->Databases().empty());
  EXPECT_TRUE(session->TransContexts().empty());
  EXPECT_TRUE(session->TaskInfos().empty());
  EXPECT_EQ(cancels, 21);  // every pass, and once more as it is freed
  // The shared context: the clean-up's step, then as it is freed (failed,
  // once more). The database's own: its database's step and the clean-up's,
  // its database's again as that goes, then as it is freed itself.
  EXPECT_EQ(engine->ForcedRollbacks, 3 + 5);
  // The session stays until it is freed; its lock refuses everything now.
  EXPECT_THROW(session->OptionSet(u"A", u"1"), EnxBaseException);
  EXPECT_EQ(session->Close(), 0u);
  ExpectCounts(0, 0, 0);
}

TEST_F(AbstractSessionTest, TaskInfosThatStayAreFreedAfterTwentyPasses) {
  struct Case {
    int taskInfos;
    uint64_t elapsed;
  };
  for (const Case& c : {Case{0, 0}, Case{1, 19 * 100 + 20}, Case{2, 19 * 100 + 20}}) {
    MemorySession* session = engine->OpenMemory();
    std::vector<int> cancels(size_t(c.taskInfos), 0);
    for (int& count : cancels) session->AddTaskInfo(&count);
    uint64_t start = clock.Now();
    EXPECT_EQ(session->Close(), 0u);
    EXPECT_EQ(clock.Now() - start, c.elapsed) << c.taskInfos;
    for (int count : cancels) EXPECT_EQ(count, 21);
  }
  ExpectCounts(0, 0, 0);
}

TEST_F(AbstractSessionTest, FailureReportedFromAnotherThreadCleansUpAsTheSessionIsLeft) {
  MemorySession* session = engine->OpenMemory();
  TnxAbstractTransContext* shared = Context(session);
  Open(session, shared);
  bool cleanedWhileInside = true;
  size_t databasesWhileInside = 0;
  engine->DuringInner = [&] {
    std::thread reporter([session] { session->Failed(true); });
    reporter.join();
    cleanedWhileInside = session->CleanedUp();
    databasesWhileInside = session->Databases().size();
  };
  bool exists = false;
  // The operation's own answer stands: a session gone for good reports
  // nothing more to its last caller.
  EXPECT_EQ(session->TableExists(u"Data", u"Customers", u"", exists, false), 0u);
  EXPECT_TRUE(exists);
  EXPECT_FALSE(cleanedWhileInside);
  EXPECT_EQ(databasesWhileInside, 2u);
  EXPECT_TRUE(session->CleanedUp());
  ExpectCounts(1, 0, 0);
  engine->DuringInner = nullptr;
  EXPECT_EQ(session->Close(), 0u);
  ExpectCounts(0, 0, 0);
}

enum class Op { Exists, Read, Write };

TEST_F(AbstractSessionTest, TableOperationsGoThroughATemporaryDatabase) {
  struct Case {
    const char* name;
    Op op;
    std::u16string alias;
    std::u16string table;
    bool allowSystem;
    InnerOutcome inner;
    uint32_t result;
    bool exists;
    TnxOpenMode mode;
    bool opened;
  };
  const Case cases[] = {
      {"exists", Op::Exists, u"Data", u"Customers", false, InnerOutcome::Succeed, 0, true, omReadOnly, true},
      {"missing table", Op::Exists, u"Data", u"Orders", false, InnerOutcome::Succeed, 0, false, omReadOnly, true},
      {"system table refused", Op::Exists, u"Data", u"$System", false, InnerOutcome::Succeed, 0, false, omReadOnly, true},
      {"system table allowed", Op::Exists, u"Data", u"$System", true, InnerOutcome::Succeed, 0, true, omReadOnly, true},
      {"alias does not open", Op::Exists, u"Nowhere", u"Customers", false, InnerOutcome::Succeed, 10014, false, omReadOnly, false},
      {"exists fails", Op::Exists, u"Data", u"Customers", false, InnerOutcome::Fail, kInnerFailure, false, omReadOnly, true},
      {"exists raises", Op::Exists, u"Data", u"Customers", false, InnerOutcome::Raise, 10024, false, omReadOnly, true},
      {"read", Op::Read, u"Data", u"Customers", false, InnerOutcome::Succeed, 0, false, omReadOnly, true},
      {"read fails", Op::Read, u"Data", u"Customers", false, InnerOutcome::Fail, kInnerFailure, false, omReadOnly, true},
      {"read raises", Op::Read, u"Data", u"Customers", false, InnerOutcome::Raise, 10024, false, omReadOnly, true},
      {"read, alias does not open", Op::Read, u"Nowhere", u"Customers", false, InnerOutcome::Succeed, 10014, false, omReadOnly, false},
      {"write", Op::Write, u"Data", u"Customers", false, InnerOutcome::Succeed, 0, false, omReadWrite, true},
      {"write fails", Op::Write, u"Data", u"Customers", false, InnerOutcome::Fail, kInnerFailure, false, omReadWrite, true},
      {"write raises", Op::Write, u"Data", u"Customers", false, InnerOutcome::Raise, 10024, false, omReadWrite, true},
  };
  MemorySession* session = engine->OpenMemory(u"", u"", 4321);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine->Opens.clear();
    engine->Inner = c.inner;
    engine->StoredBytes = "stored";
    gTimeouts.clear();
    int freedBefore = engine->DatabasesFreed;
    uint32_t result = 0;
    bool exists = true;  // must come back False unless the table is there
    TnxBytesStream stream;
    switch (c.op) {
      case Op::Exists:
        result = session->TableExists(c.alias, c.table, u"", exists, c.allowSystem);
        EXPECT_EQ(exists, c.exists);
        break;
      case Op::Read:
        result = session->TableStreamRead(c.alias, c.table, u"", u"Notes", stream);
        if (c.result == 0) {
          EXPECT_EQ(std::string(stream.Bytes().begin(), stream.Bytes().end()), "stored");
        }
        break;
      case Op::Write:
        stream.Write("new", 3);
        result = session->TableStreamWrite(c.alias, c.table, u"", u"Notes", stream);
        EXPECT_EQ(engine->StoredBytes, c.result == 0 ? "new" : "stored");
        break;
    }
    EXPECT_EQ(result, c.result);
    ASSERT_EQ(engine->Opens.size(), 1u);
    const DatabaseOpenCall& open = engine->Opens[0];
    EXPECT_EQ(U8(open.AliasType), "Name");
    EXPECT_EQ(open.Alias, c.alias);
    EXPECT_FALSE(open.GivenContext);
    EXPECT_EQ(open.OpenMode, c.mode);
    EXPECT_EQ(open.ShareMode, smShared);
    EXPECT_EQ(open.Timeout, 4321u);
    // The database's stream operation sets the deadline again.
    EXPECT_EQ(gTimeouts, std::vector<uint32_t>(c.op != Op::Exists && c.opened ? 2 : 1, 4321));
    EXPECT_EQ(engine->DatabasesFreed - freedBefore, c.opened ? 1 : 0);
    if (c.op != Op::Exists && c.opened) {
      EXPECT_EQ(U8(engine->LastStream), "Customers/Notes");
    }
    ExpectCounts(1, 0, 0);
    EXPECT_TRUE(session->Databases().empty());
  }
}

TEST_F(AbstractSessionTest, TableExistsAllowsSystemTablesWhenTheDatabaseOptionSaysSo) {
  MemorySession* session = engine->OpenMemory();
  // Only the database's own option counts, not one it would inherit.
  ASSERT_EQ(session->OptionSet(u"ALLOWSYSTEMTABLEACCESS", u"1"), 0u);
  bool exists = true;
  EXPECT_EQ(session->TableExists(u"Data", u"$System", u"", exists, false), 0u);
  EXPECT_FALSE(engine->LastAllowSystem);
  EXPECT_FALSE(exists);
  engine->NewDatabaseAllowSystem = u"1";
  EXPECT_EQ(session->TableExists(u"Data", u"$System", u"", exists, false), 0u);
  EXPECT_TRUE(engine->LastAllowSystem);
  EXPECT_TRUE(exists);
}

TEST_F(AbstractSessionTest, OptionSetOfAnyOptionRefreshesTheClientText) {
  MemorySession* session = engine->OpenMemory();
  TnxExceptionHookInfo& info = session->Lock().ExceptionHookInfo();
  EXPECT_EQ(session->OptionSet(u"_CurrentClientInfo", u"Tesmira 2"), 0u);
  EXPECT_EQ(U8(info.ehiClient), "Tesmira 2");
  info.ehiClient = u"stale";
  EXPECT_EQ(session->OptionSet(u"Other", u"x"), 0u);
  EXPECT_EQ(U8(info.ehiClient), "Tesmira 2");
  EXPECT_EQ(session->OptionClear(u"_CurrentClientInfo"), 0u);
  EXPECT_EQ(session->OptionSet(u"Other", u"y"), 0u);
  EXPECT_EQ(U8(info.ehiClient), "");
  // A refused name still refreshes.
  info.ehiClient = u"stale";
  EXPECT_NE(session->OptionSet(u"", u"y"), 0u);
  EXPECT_EQ(U8(info.ehiClient), "");
}

TEST_F(AbstractSessionTest, LockCarriesTheSessionsIdentity) {
  MemorySession* session = engine->OpenMemory(u"anna", u"10.0.0.7");
  TnxExceptionHookInfo& info = session->Lock().ExceptionHookInfo();
  EXPECT_EQ(U8(info.ehiUserName), "anna");
  EXPECT_EQ(U8(info.ehiConnectedFrom), "10.0.0.7");
  EXPECT_EQ(info.ehiSessionID, int64_t(session->RemoteID()));
  EXPECT_NE(info.ehiSessionID, 0);
  TnxAbstractSession* found = nullptr;
  EXPECT_EQ(TnxAbstractSession::LookupByID(session->RemoteID(), found), 0u);
  EXPECT_EQ(found, session);
  EXPECT_EQ(session->MinVersion(), 47501);
  EXPECT_EQ(session->ServerEngine(), engine.get());
}

TEST_F(AbstractSessionTest, UserInfoLinesDescribeTheSession) {
  struct Case {
    std::u16string user;
    bool authenticated;
    std::u16string from;
    std::vector<std::string> after;  // the lines after the first
  };
  const Case cases[] = {
      {u"", false, u"", {"anonymous User<[--!Session.UserName=!--]>"}},
      {u"anna", true, u"",
       {"Username: anna [authenticated]<[--!Session.UserName=anna!--]><[--!Session.Authenticated=1!--]>"}},
      {u"bert", false, u"pipe:host",
       {"Username: bert [not authenticated]<[--!Session.UserName=bert!--]><[--!Session.Authenticated=0!--]>",
        "Connected from: pipe:host<[--!Session.ConnectedFrom=pipe:host!--]>"}},
      {u"", false, u"10.0.0.7",
       {"anonymous User<[--!Session.UserName=!--]>", "Connected from: 10.0.0.7<[--!Session.ConnectedFrom=10.0.0.7!--]>"}},
  };
  for (const Case& c : cases) {
    MemorySession* session = engine->OpenMemory(c.user, c.from);
    session->SetAuthenticated(c.authenticated);
    platform::TStringList lines;
    lines.Add(u"kept");
    session->GetUserInfo(lines);
    std::string id = std::to_string(session->RemoteID());
    std::string since = U8(nxDateTimeToStr(session->ConnectedSince(), platform::FormatSettings()));
    std::vector<std::string> expected{"kept", "<[--!Session.ID=" + id + "!--]>Connected since: " + since +
                                                  "<[--!Session.ConnectedSince=" + since + "!--]>"};
    expected.insert(expected.end(), c.after.begin(), c.after.end());
    ASSERT_EQ(size_t(lines.Count()), expected.size()) << U8(c.user);
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(U8(lines[int(i)]), expected[i]);
    EXPECT_EQ(session->Close(), 0u);
  }
}

TEST_F(AbstractSessionTest, CacheDatabasesAreNotSupported) {
  MemorySession* session = engine->OpenMemory();
  TnxAbstractDatabase* database = reinterpret_cast<TnxAbstractDatabase*>(1);
  EXPECT_EQ(session->DatabaseCacheOpen(database, u"Name", u"Data", nullptr, omReadOnly, smShared, 0), 12289u);
  EXPECT_EQ(database, nullptr);
  uint32_t code = 0;
  std::u16string message;
  EnxBaseException::GetLastConvertedException(code, message);
  EXPECT_EQ(code, 12289u);
  EXPECT_EQ(U8(message), "DatabaseCacheOpen not supported by MemorySession");
  ExpectCounts(1, 0, 0);
}

class RecordingNotifier : public TnxInterfacedObject, public InxSessionNotifier {
public:
  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return TnxInterfacedObject::QueryInterface(iid, obj);
  }
  int32_t AddRef() noexcept override { return TnxInterfacedObject::AddRef(); }
  int32_t Release() noexcept override { return TnxInterfacedObject::Release(); }
  void SessionDisconnected() override { ++told; }
  int told = 0;
};

TEST_F(AbstractSessionTest, NotifiersHearWhenTheSessionGoes) {
  MemorySession* session = engine->OpenMemory();
  void* asked = nullptr;
  ASSERT_EQ(session->QueryInterface(InxSessionNotifications::IID, &asked), 0);
  EXPECT_EQ(asked, session->SessionNotifications());
  platform::TInterfacePtr<RecordingNotifier> notifier(nxCreate<RecordingNotifier>());
  session->SessionNotifications()->RegisterNotifier(notifier.Get());
  EXPECT_EQ(session->Close(), 0u);
  EXPECT_EQ(notifier->told, 1);
}

}  // namespace
}  // namespace revurov::testing
