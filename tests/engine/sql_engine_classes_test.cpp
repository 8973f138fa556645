#include "engine/sql_engine_classes.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "dictionary/startup.h"
#include "support/engine_fixture.h"
#include "support/memory_engine.h"

namespace revurov::testing {
namespace {

class SqlEngineClassesTest : public ::testing::Test {
protected:
  SqlEngineClassesTest() {
    session = engine->OpenMemory();
    TnxAbstractDatabase* opened = nullptr;
    EXPECT_EQ(session->DatabaseOpen(opened, u"Name", u"Data", nullptr, omReadWrite, smShared, 0), 0u);
    database = opened;
  }
  TnxServerObjectPtr<MemorySqlCursor> NewCursor() {
    return nxCreateServerObject<MemorySqlCursor>(database, 0, *engine, u"Result", nullptr);
  }

  TnxDictionaryStartupGuard library;
  ComponentPtr<MemoryEngine> engine{new MemoryEngine(nullptr)};
  MemorySession* session = nullptr;
  TnxAbstractDatabase* database = nullptr;
};

TEST_F(SqlEngineClassesTest, RequestCloseHandlerCallsItsEventUntilDisconnected) {
  auto cursor = NewCursor();
  std::vector<TnxAbstractCursor*> senders;
  auto handler = nxCreateRequestCloseHandler([&](TnxAbstractCursor* aSender) { senders.push_back(aSender); });
  handler->RequestClose(cursor.get());
  EXPECT_EQ(senders, std::vector<TnxAbstractCursor*>{cursor.get()});

  platform::TInterfacePtr<InxRequestCloseHandlerEvent> control;
  ASSERT_EQ(handler->QueryInterface(InxRequestCloseHandlerEvent::IID, reinterpret_cast<void**>(&control)), 0);
  control->Disconnect();
  handler->RequestClose(cursor.get());  // the event is still stored, but not called
  EXPECT_EQ(senders.size(), 1u);

  // A handler made from an empty event never calls anything.
  nxCreateRequestCloseHandler(nullptr)->RequestClose(cursor.get());
}

TEST_F(SqlEngineClassesTest, TheCursorKeepsOneHandlerAndReleasesTheOneItReplaces) {
  auto cursor = NewCursor();
  EXPECT_EQ(cursor->sbcGetOnRequestClose().Get(), nullptr);  // never set
  auto first = nxCreateRequestCloseHandler([](TnxAbstractCursor*) {});
  auto second = nxCreateRequestCloseHandler([](TnxAbstractCursor*) {});
  auto count = [](const platform::TInterfacePtr<InxRequestCloseHandler>& aHandler) {
    return dynamic_cast<TnxRequestCloseHandlerEvent*>(aHandler.Get())->RefCount();
  };
  cursor->sbcSetOnRequestClose(first);
  EXPECT_EQ(cursor->sbcGetOnRequestClose().Get(), first.Get());
  EXPECT_EQ(count(first), 2);
  cursor->sbcSetOnRequestClose(second);
  EXPECT_EQ(count(first), 1);
  EXPECT_EQ(cursor->sbcGetOnRequestClose().Get(), second.Get());
  cursor.reset();
  EXPECT_EQ(count(second), 1);  // released with the cursor
}

TEST_F(SqlEngineClassesTest, AHandlerSetDuringDestructionIsIgnored) {
  auto cursor = NewCursor();
  auto handler = nxCreateRequestCloseHandler([](TnxAbstractCursor*) {});
  bool ran = false;
  cursor->DuringPrepareDestroy = [&](MemorySqlCursor& aCursor) {
    aCursor.sbcSetOnRequestClose(handler);
    EXPECT_EQ(dynamic_cast<TnxRequestCloseHandlerEvent*>(handler.Get())->RefCount(), 1);  // not stored
    EXPECT_EQ(aCursor.sbcGetOnRequestClose().Get(), nullptr);
    ran = true;
  };
  cursor.reset();
  EXPECT_TRUE(ran);
  EXPECT_EQ(dynamic_cast<TnxRequestCloseHandlerEvent*>(handler.Get())->RefCount(), 1);
}

TEST_F(SqlEngineClassesTest, RacingSettersShareOnePadlock) {
  auto cursor = NewCursor();
  std::vector<platform::TInterfacePtr<InxRequestCloseHandler>> handlers;
  for (int i = 0; i < 4; ++i) handlers.push_back(nxCreateRequestCloseHandler([](TnxAbstractCursor*) {}));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        cursor->sbcSetOnRequestClose(handlers[size_t(t)]);
        EXPECT_NE(cursor->sbcGetOnRequestClose().Get(), nullptr);
      }
    });
  for (std::thread& thread : threads) thread.join();
  cursor.reset();
  for (auto& handler : handlers) EXPECT_EQ(dynamic_cast<TnxRequestCloseHandlerEvent*>(handler.Get())->RefCount(), 1);
}

TEST_F(SqlEngineClassesTest, BaseAnswersOfTheSqlCursor) {
  auto cursor = NewCursor();
  EXPECT_FALSE(cursor->sacIsWrapper());
  EXPECT_EQ(cursor->sacGetOpenMode(), omReadOnly);
  EXPECT_EQ(cursor->ascBlobRequestCache({}, 0, 1), 12289u);  // no remote cursor
  EXPECT_EQ(engine->CursorCount(), 1);
  cursor.reset();
  EXPECT_EQ(engine->CursorCount(), 0);
}

}  // namespace
}  // namespace revurov::testing
