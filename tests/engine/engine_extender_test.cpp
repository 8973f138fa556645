#include "engine/engine_extender.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "support/engine_fixture.h"

namespace revurov {
namespace {

using testing::ComponentPtr;
using testing::TestCursor;
using testing::TestDatabase;
using testing::TestExtender;
using testing::TestMonitor;
using testing::TestSession;

class EngineExtenderTest : public testing::EngineFixture {
protected:
  // A started monitor linked to the engine.
  TestMonitor& StartedMonitor() {
    monitor.reset(new TestMonitor(nullptr));
    monitor->SetServerEngine(engine.get());
    monitor->SetActive(true);
    return *monitor;
  }
  ComponentPtr<TestMonitor> monitor;
};

TEST(EngineActions, DefaultSetIsEveryActionButFulltextUpdate) {
  uint8_t bytes[6];
  TnxEngineActions::DefaultForExtender().ToBytes(bytes);
  const uint8_t expected[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x0F};
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 6), std::vector<uint8_t>(expected, expected + 6));
  EXPECT_EQ(TnxEngineActions::FromBytes(bytes), TnxEngineActions::DefaultForExtender());
  EXPECT_FALSE(TnxEngineActions::DefaultForExtender().Contains(eaRecordFulltextUpdate));
  EXPECT_TRUE(TnxEngineActions::DefaultForExtender().Contains(eaStatementGetParams));
  TnxEngineActions all(~uint64_t(0));
  for (int outside : {-1, 48, 63, 255}) EXPECT_FALSE(all.Contains(outside)) << outside;
}

TEST_F(EngineExtenderTest, ObjectWithoutExtendersAnswers0AndNoInterface) {
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  for (int a = eaCreate; a <= eaStatementGetParams; ++a)
    EXPECT_EQ(db->NotifyExtenders(TnxEngineAction(a), true, {}), 0u);
  EXPECT_FALSE(db->GetNotifyFor(eaRecordInsert));
  void* got = nullptr;
  EXPECT_EQ(db->CreateInstanceFor(u"<Extenders>", nxServerObjectClassID, nullptr, InxAbstractServerObject41100::IID, &got),
            platform::E_NOINTERFACE);
}

TEST_F(EngineExtenderTest, ExtenderWithoutActionsHearsAllButFulltextUpdate) {
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  auto* extender = nxCreateEngineExtender<TestExtender>(nullptr, db.get());
  EXPECT_EQ(db->ExtendersActions(), TnxEngineActions::DefaultForExtender());
  EXPECT_EQ(db->NotifyExtenders(eaRecordFulltextUpdate, true, {}), 0u);
  EXPECT_EQ(extender->heard, 0);
  TnxEngineArg args[] = {TnxEngineArg(int32_t(5)), TnxEngineArg(std::u16string_view(u"t"))};
  EXPECT_EQ(db->NotifyExtenders(eaRecordInsert, true, args), 0u);
  EXPECT_EQ(extender->heard, 1);
  EXPECT_EQ(extender->lastArgs, 2);
}

TEST_F(EngineExtenderTest, VetoEndsTheWalkAndExceptionsBecomeCodes) {
  std::vector<std::u16string> log;  // outlives the objects that write to it
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  nxCreateEngineExtender<TestExtender>(nullptr, db.get(), TnxEngineActions{}, std::map<TnxEngineAction, uint32_t>{},
                                       &log, u"first");
  nxCreateEngineExtender<TestExtender>(nullptr, db.get(), TnxEngineActions{},
                                       std::map<TnxEngineAction, uint32_t>{{eaRecordDelete, 77}}, &log, u"second");
  nxCreateEngineExtender<TestExtender>(nullptr, db.get(), TnxEngineActions{}, std::map<TnxEngineAction, uint32_t>{},
                                       &log, u"third");
  EXPECT_EQ(db->NotifyExtenders(eaRecordDelete, true, {}), 77u);
  EXPECT_EQ(log, (std::vector<std::u16string>{u"first:38b", u"second:38b"}));

  class Throwing : public TnxBaseEngineExtender {
  public:
    using TnxBaseEngineExtender::TnxBaseEngineExtender;
    uint32_t Notify(TnxEngineAction, bool, TnxEngineArgs) override { throw EnxBaseException(nxeObjectNotFound); }
  };
  auto cursor = nxCreateServerObject<TestCursor>(db.get());
  nxCreateEngineExtender<Throwing>(nullptr, cursor.get(), TnxEngineActions{eaRecordGet});
  EXPECT_EQ(cursor->NotifyExtenders(eaRecordGet, false, {}), nxeObjectNotFound);
}

TEST_F(EngineExtenderTest, GetNotifyForAnswersTheOnlyListenerOrTheObjectsWalk) {
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  auto* inserts = nxCreateEngineExtender<TestExtender>(nullptr, db.get(), TnxEngineActions{eaRecordInsert});
  auto* both = nxCreateEngineExtender<TestExtender>(nullptr, db.get(), TnxEngineActions{eaRecordInsert, eaRecordGet});

  EXPECT_FALSE(db->GetNotifyFor(eaTablePack)) << "no extender took it";
  TnxEngineNotify get = db->GetNotifyFor(eaRecordGet);
  ASSERT_TRUE(get);
  get(eaRecordGet, true, {});
  EXPECT_EQ(both->heard, 1);
  EXPECT_EQ(inserts->heard, 0);

  TnxEngineNotify insert = db->GetNotifyFor(eaRecordInsert);
  ASSERT_TRUE(insert);
  insert(eaRecordInsert, true, {});
  EXPECT_EQ(inserts->heard, 1) << "two listeners: the walk reaches both";
  EXPECT_EQ(both->heard, 2);
}

TEST_F(EngineExtenderTest, FreedExtenderLeavesItsActionsInTheSet) {
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  auto* extender = nxCreateEngineExtender<TestExtender>(nullptr, db.get(), TnxEngineActions{eaTableBuild});
  extender->Free();
  EXPECT_TRUE(db->ExtendersActions().Contains(eaTableBuild));
  EXPECT_EQ(db->NotifyExtenders(eaTableBuild, true, {}), 0u);
  EXPECT_FALSE(db->GetNotifyFor(eaTableBuild));
  EXPECT_EQ(db->ExtenderCount(), 0);
}

TEST_F(EngineExtenderTest, ExtenderOfTypeAndInterfacesThroughExtenders) {
  class Offering : public TestExtender {
  public:
    using TestExtender::TestExtender;
    platform::HRESULT beeCreateInstance(const platform::TGUID&, platform::IInterface*, const platform::TGUID&,
                                        void** aInterface) override {
      *aInterface = this;
      return 0;
    }
  };
  class Plain : public TnxBaseEngineExtender {
  public:
    using TnxBaseEngineExtender::TnxBaseEngineExtender;
    uint32_t Notify(TnxEngineAction, bool, TnxEngineArgs) override { return 0; }
  };
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  EXPECT_EQ(db->GetExtenderOfType(TestExtender::ClassInfo()), nullptr);
  auto* plain = nxCreateEngineExtender<Plain>(nullptr, db.get());
  auto* offering = nxCreateEngineExtender<Offering>(nullptr, db.get());
  EXPECT_EQ(db->GetExtenderOfType(TestExtender::ClassInfo()), offering);
  EXPECT_EQ(db->GetExtenderOfType(TnxBaseEngineExtender::ClassInfo()), plain);
  void* got = nullptr;
  EXPECT_EQ(db->CreateInstanceFor(u"<EXTENDERS>", nxServerObjectClassID, nullptr, InxAbstractServerObject41100::IID,
                                  &got),
            0);
  EXPECT_EQ(got, static_cast<void*>(offering));
}

TEST_F(EngineExtenderTest, VetoOfCreateStopsConstructionAndTheSecondIsNeverAsked) {
  TestMonitor& m = StartedMonitor();
  std::vector<std::u16string> log;
  m.attach = [&](TestMonitor* aMonitor, TnxExtendableServerObject* aObject) {
    if (!dynamic_cast<TestDatabase*>(aObject)) return;
    nxCreateEngineExtender<TestExtender>(aMonitor, aObject, TnxEngineActions{},
                                         std::map<TnxEngineAction, uint32_t>{{eaCreate, 10}}, &log, u"first");
    nxCreateEngineExtender<TestExtender>(aMonitor, aObject, TnxEngineActions{}, std::map<TnxEngineAction, uint32_t>{},
                                         &log, u"second");
  };
  TestSession* session = engine->Open();
  try {
    nxCreateServerObject<TestDatabase>(session);
    FAIL() << "construction went through";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 10u);
  }
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], u"first:00a");
  EXPECT_EQ(std::count(log.begin(), log.end(), u"second:00a"), 0);
  EXPECT_EQ(m.ExtenderCount(), 0) << "the half-built object took its extenders along";
  EXPECT_EQ(m.destroyed.size(), 1u);
}

TEST_F(EngineExtenderTest, ParentHearsOfItsChildrenWithTheChildAsArgument) {
  std::vector<std::u16string> log;  // outlives the objects that write to it
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  nxCreateEngineExtender<TestExtender>(nullptr, db.get(), TnxEngineActions{eaChildCreate, eaChildDestroy},
                                       std::map<TnxEngineAction, uint32_t>{}, &log, u"db");
  auto cursor = nxCreateServerObject<TestCursor>(db.get());
  cursor.reset();
  EXPECT_EQ(log, (std::vector<std::u16string>{u"db:02a", u"db:03b"}));
}

TEST_F(EngineExtenderTest, ObjectIsNotFoundWhileItsExtendersHearOfItsDestruction) {
  class LookingUp : public TnxBaseEngineExtender {
  public:
    LookingUp(TnxExtendableServerObject* aObject, TnxSessionID aSession)
        : TnxBaseEngineExtender(nullptr, aObject, TnxEngineActions{eaDestroy}), luSession(aSession),
          luID(aObject->RemoteID()) {}
    uint32_t Notify(TnxEngineAction, bool, TnxEngineArgs) override {
      TnxAbstractServerObject* found = nullptr;
      *result = TnxAbstractServerObject::LookupByID(TestCursor::ClassInfo(), luSession, luID, found);
      return 0;
    }
    uint32_t* result = nullptr;

  private:
    TnxSessionID luSession;
    TnxBaseID luID;
  };
  TestSession* session = engine->Open();
  auto cursor = nxCreateServerObject<TestCursor>(session);
  uint32_t result = 0;
  nxCreateEngineExtender<LookingUp>(cursor.get(), session->RemoteID())->result = &result;
  cursor.reset();
  EXPECT_EQ(result, nxeInvalidHandle);
}

TEST_F(EngineExtenderTest, ExtendersPrepareForTheDestructionInListOrderDespiteFailures) {
  class Preparing : public TestExtender {
  public:
    Preparing(TnxExtendableServerObject* aObject, std::vector<std::u16string>* aLog, std::u16string aName, bool aFail)
        : TestExtender(nullptr, aObject), pLog(aLog), pName(std::move(aName)), pFail(aFail) {}
    void PrepareDestroy() override {
      pLog->push_back(pName);
      if (pFail) throw EnxBaseException(nxeObjectNotFound);
    }

  private:
    std::vector<std::u16string>* pLog;
    std::u16string pName;
    bool pFail;
  };
  std::vector<std::u16string> log;
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  nxCreateEngineExtender<Preparing>(db.get(), &log, u"a", true);
  nxCreateEngineExtender<Preparing>(db.get(), &log, u"b", false);
  EXPECT_EQ(db.release()->Close(), 0u);
  EXPECT_EQ(log, (std::vector<std::u16string>{u"a", u"b"}));
}

TEST_F(EngineExtenderTest, MonitorHearsItsEngineStartAndStop) {
  class Following : public TestMonitor {
  public:
    using TestMonitor::TestMonitor;
    void ServerEngineStarted() override { events.push_back(u"started"); }
    void ServerEngineStopping() override { events.push_back(u"stopping"); }
    std::vector<std::u16string> events;
  };
  testing::ComponentPtr<Following> following(new Following(nullptr));
  following->SetServerEngine(engine.get());
  engine->SetActive(true);
  engine->SetActive(false);
  EXPECT_EQ(following->events, (std::vector<std::u16string>{u"started", u"stopping"}));
}

TEST_F(EngineExtenderTest, MonitorNotStartedHearsNothing) {
  monitor.reset(new TestMonitor(nullptr));
  monitor->SetServerEngine(engine.get());
  TestSession* session = engine->Open();
  auto before = nxCreateServerObject<TestDatabase>(session);
  EXPECT_TRUE(monitor->created.empty());
  monitor->SetActive(true);
  auto after = nxCreateServerObject<TestDatabase>(session);
  EXPECT_EQ(monitor->created, std::vector<TnxExtendableServerObject*>{after.get()});
  TnxExtendableServerObject* beforeAddress = before.get();
  before.reset();
  EXPECT_EQ(monitor->destroyed, std::vector<TnxExtendableServerObject*>{beforeAddress});
}

TEST_F(EngineExtenderTest, MonitorCannotChangeEngineWhileActive) {
  TestMonitor& m = StartedMonitor();
  EXPECT_ANY_THROW(m.SetServerEngine(nullptr));
  EXPECT_EQ(m.ServerEngine(), engine.get());
}

TEST_F(EngineExtenderTest, StoppingTheMonitorFreesItsExtendersAndFreeingTheObjectToo) {
  TestMonitor& m = StartedMonitor();
  m.attach = [](TestMonitor* aMonitor, TnxExtendableServerObject* aObject) {
    nxCreateEngineExtender<TestExtender>(aMonitor, aObject);
  };
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  auto cursor = nxCreateServerObject<TestCursor>(db.get());
  EXPECT_EQ(m.ExtenderCount(), 3);
  cursor.reset();
  EXPECT_EQ(m.ExtenderCount(), 2);
  m.SetActive(false);
  EXPECT_EQ(m.ExtenderCount(), 0);
  EXPECT_EQ(db->ExtenderCount(), 0);
  EXPECT_EQ(session->ExtenderCount(), 0);
}

// The callable GetNotifyFor hands out runs outside the object's padlock; a
// monitor stopping on another thread frees the extender meanwhile.
TEST_F(EngineExtenderTest, HandedOutNotifyOutlivesTheExtenderItsMonitorFreed) {
  std::atomic<int> heard{0};
  class Counting : public TnxBaseEngineExtender {
  public:
    Counting(TnxBaseEngineMonitor* aMonitor, TnxExtendableServerObject* aObject, std::atomic<int>* aHeard)
        : TnxBaseEngineExtender(aMonitor, aObject, TnxEngineActions{eaRecordGet}), cHeard(aHeard) {}
    uint32_t Notify(TnxEngineAction, bool, TnxEngineArgs) override {
      cHeard->fetch_add(1);
      return 0;
    }

  private:
    std::atomic<int>* cHeard;
  };
  TestMonitor& m = StartedMonitor();
  m.attach = [&](TestMonitor* aMonitor, TnxExtendableServerObject* aObject) {
    if (dynamic_cast<TestDatabase*>(aObject)) nxCreateEngineExtender<Counting>(aMonitor, aObject, &heard);
  };
  TestSession* session = engine->Open();
  auto db = nxCreateServerObject<TestDatabase>(session);
  TnxEngineNotify notify = db->GetNotifyFor(eaRecordGet);
  ASSERT_TRUE(notify);
  std::thread stopper([&] { m.SetActive(false); });
  for (int i = 0; i < 1000; ++i) notify(eaRecordGet, true, {});
  stopper.join();
  notify(eaRecordGet, true, {});
  EXPECT_EQ(heard.load(), 1001);
  EXPECT_EQ(db->ExtenderCount(), 0);
}

// A monitor stopping while its objects are being freed on another thread.
TEST_F(EngineExtenderTest, MonitorStopRacesObjectDestruction) {
  TestMonitor& m = StartedMonitor();
  m.attach = [](TestMonitor* aMonitor, TnxExtendableServerObject* aObject) {
    nxCreateEngineExtender<TestExtender>(aMonitor, aObject);
    nxCreateEngineExtender<TestExtender>(aMonitor, aObject);
  };
  TestSession* session = engine->Open();
  std::vector<TnxServerObjectPtr<TestCursor>> cursors;
  for (int i = 0; i < 200; ++i) cursors.push_back(nxCreateServerObject<TestCursor>(session));
  std::thread freer([&] { cursors.clear(); });
  m.SetActive(false);
  freer.join();
  EXPECT_EQ(m.ExtenderCount(), 0);
}

}  // namespace
}  // namespace revurov
