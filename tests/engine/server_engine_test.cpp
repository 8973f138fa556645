#include "engine/server_engine.h"

#include <gtest/gtest.h>

#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/exception_data.h"
#include "support/engine_fixture.h"

namespace revurov {
namespace {

using testing::TestDatabase;
using testing::TestMonitor;
using testing::TestSession;

using ServerEngineTest = testing::EngineFixture;

TEST_F(ServerEngineTest, SessionOpenAsksForClientVersion47501) {
  TnxAbstractServerObject* session = nullptr;
  EXPECT_EQ(engine->SessionOpen(session, u"user", u"pw", u"here", 1000), 0u);
  EXPECT_EQ(engine->openedWithVersion, 47501);
  EXPECT_EQ(session->MinVersion(), 47501);
  EXPECT_EQ(engine->Sessions(), std::vector<TnxAbstractServerObject*>{session});
}

TEST_F(ServerEngineTest, StoppingFreesSessionsLastFirstAndAllSessionsClosedRunsOnce) {
  engine->SetActive(true);
  std::vector<const TnxAbstractServerObject*> opened;
  for (int i = 0; i < 3; ++i) opened.push_back(engine->Open());
  opened.push_back(engine->Open(47000));
  EXPECT_EQ(engine->SessionCount(), 4);
  engine->SetActive(false);
  EXPECT_EQ(engine->SessionCount(), 0);
  EXPECT_EQ(engine->allSessionsClosed, 1);
  std::vector<const TnxAbstractServerObject*> reversed(opened.rbegin(), opened.rend());
  EXPECT_EQ(engine->sessionsFreed, reversed);
  EXPECT_TRUE(engine->Sessions().empty());
}

TEST_F(ServerEngineTest, ClosingTheLastSessionRunsAllSessionsClosed) {
  TestSession* first = engine->Open();
  TestSession* second = engine->Open();
  EXPECT_EQ(first->Close(), 0u);
  EXPECT_EQ(engine->allSessionsClosed, 0);
  EXPECT_EQ(second->Close(), 0u);
  EXPECT_EQ(engine->allSessionsClosed, 1);
  EXPECT_EQ(engine->SessionCount(), 0);
}

TEST_F(ServerEngineTest, StatisticsShowFiveCountsAfterTheStateComponents) {
  platform::TStringList captions, values;
  engine->GetStatsCaptions(captions);
  ASSERT_GE(captions.Count(), 6);
  int first = captions.Count() - 5;
  EXPECT_EQ(captions[first - 1], u"Uptime") << "the engine shows its uptime";
  const char16_t* expected[] = {u"Sessions", u"Databases", u"Transaction Contexts", u"Cursors", u"Statements"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(captions[first + i], expected[i]);

  engine->CursorCounter().store(1234567);
  engine->Open();
  engine->GetStatsValues(values);
  ASSERT_EQ(values.Count(), captions.Count());
  EXPECT_EQ(values[first], u"1");
  EXPECT_EQ(values[first + 3], nxFormatGrouped(1234567));
  EXPECT_NE(values[first + 3], u"1234567") << "grouped";
  engine->ClearStats();
  EXPECT_EQ(engine->CursorCount(), 1234567) << "live counts are never cleared";
  engine->CursorCounter().store(0);
}

TEST_F(ServerEngineTest, ConvertExceptionNeverRaisesAndAnswersTheCode) {
  TestSession* session = engine->Open(46000);
  struct Case {
    const char* what;
    std::exception_ptr error;
    TnxAbstractServerObject* object;
    uint32_t code;
  } cases[] = {
      {"coded", std::make_exception_ptr(EnxBaseException(nxeObjectNotFound)), session, nxeObjectNotFound},
      {"coded without object", std::make_exception_ptr(EnxBaseException(nxeInvalidHandle)), nullptr, nxeInvalidHandle},
      {"out of memory", std::make_exception_ptr(std::bad_alloc()), session, nxeOutOfMemory},
      {"unknown", std::make_exception_ptr(std::logic_error("x")), nullptr, nxeUnknownException},
  };
  for (const Case& c : cases) {
    try {
      std::rethrow_exception(c.error);
    } catch (const std::exception& e) {
      EXPECT_EQ(engine->ConvertException(e, c.object), c.code) << c.what;
    }
  }
}

TEST_F(ServerEngineTest, ExceptionDataWithChildrenListsTheSessionsInOrder) {
  TestSession* first = engine->Open();
  engine->Open();
  TnxExceptionDataRef without = nxCreateExceptionDataContainer(u"x", static_cast<TnxObject*>(engine.get()));
  engine->GetExceptionData(*without, false);
  TnxExceptionDataRef with = nxCreateExceptionDataContainer(u"x", static_cast<TnxObject*>(engine.get()));
  engine->GetExceptionData(*with, true);
  ASSERT_EQ(with->Count(), without->Count() + 1);
  TnxExceptionDataRef sessions = with->Values(with->Count() - 1)->AsContainer();
  ASSERT_TRUE(sessions);
  EXPECT_EQ(sessions->Name(), u"Sessions");
  ASSERT_EQ(sessions->Count(), 2);
  EXPECT_EQ(sessions->Values(0)->Name(), u"[0]");
  EXPECT_EQ(sessions->Values(1)->Name(), u"[1]");
  EXPECT_EQ(sessions->Values(0)->AsContainer()->ForObject(), static_cast<const void*>(static_cast<TnxObject*>(first)));
}

TEST_F(ServerEngineTest, MonitorsJoinAndLeaveTheEngineThroughTheirProperty) {
  testing::ComponentPtr<TestMonitor> monitor(new TestMonitor(nullptr));
  monitor->SetServerEngine(engine.get());
  monitor->SetActive(true);
  TestSession* session = engine->Open();
  EXPECT_EQ(monitor->created, std::vector<TnxExtendableServerObject*>{session});
  monitor->SetActive(false);
  monitor->SetServerEngine(nullptr);
  monitor->SetActive(true);
  auto db = nxCreateServerObject<TestDatabase>(session);
  EXPECT_EQ(monitor->created.size(), 1u) << "unlinked: hears nothing";
}

TEST_F(ServerEngineTest, MonitorForgetsAnEngineThatGoesAway) {
  testing::ComponentPtr<TestMonitor> monitor(new TestMonitor(nullptr));
  monitor->SetServerEngine(engine.get());
  engine.reset();
  EXPECT_EQ(monitor->ServerEngine(), nullptr);
}

}  // namespace
}  // namespace revurov
