#include "client/trans_context.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "client/database.h"
#include "client/database_error.h"
#include "client/session.h"
#include "engine/abstract_database.h"
#include "engine/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "support/engine_fixture.h"
#include "support/exception_message.h"
#include "support/scripted_engine.h"
#include "support/u8_text.h"

namespace revurov {
namespace {

using testing::ComponentPtr;
using testing::ScriptedEngine;
using testing::U8;

std::string Raised(const std::function<void()>& aCall) {
  return U8(testing::MessageOf<EnxDatabaseError>(aCall));
}

constexpr const char* kNotStarted =
    "RevurOV: Context1: This component must be started when performing this operation. [no error code]";

class TransContextTest : public ::testing::Test {
protected:
  TransContextTest() {
    engine->Aliases = {{u"Data", u"/srv/data"}, {u"Other", u"/srv/other"}};
    session->SetName(u"Session1");
    session->SetServerEngine(engine.get());
    context->SetName(u"Context1");
    context->SetSession(session.get());
  }

  ComponentPtr<TnxDatabase> Database(std::u16string_view aAlias) {
    ComponentPtr<TnxDatabase> database{new TnxDatabase(nullptr)};
    database->SetSession(session.get());
    database->SetAliasName(aAlias);
    return database;
  }

  TnxEngineStartupGuard library;
  ComponentPtr<ScriptedEngine> engine{new ScriptedEngine(nullptr)};
  ComponentPtr<TnxSession> session{new TnxSession(nullptr)};
  ComponentPtr<TnxTransContext> context{new TnxTransContext(nullptr)};
};

TEST_F(TransContextTest, DatabasesOpenInsideItAndShareItsTransaction) {
  ComponentPtr<TnxDatabase> data = Database(u"Data");
  ComponentPtr<TnxDatabase> other = Database(u"Other");
  data->SetTransContext(context.get());
  other->SetTransContext(context.get());
  EXPECT_EQ(context->DatabaseCount(), 2);
  data->SetActive(true);
  other->SetActive(true);
  // The context came up first, with the session before it.
  EXPECT_TRUE(context->Active());
  ASSERT_EQ(engine->Opens.size(), 2u);
  EXPECT_EQ(engine->Opens[0].Context, context->AbstractTransContext());
  EXPECT_EQ(engine->Opens[1].Context, context->AbstractTransContext());
  context->SetFailSafe(true);
  context->StartTransaction(true);
  EXPECT_TRUE(engine->LastFailSafe);
  EXPECT_TRUE(engine->LastSnapShot);
  EXPECT_TRUE(data->InTransaction());
  EXPECT_TRUE(other->InTransaction());
  other->Commit();
  EXPECT_FALSE(context->InTransaction());
  EXPECT_FALSE(data->InTransaction());
}

TEST_F(TransContextTest, InTransactionAndItsFailures) {
  EXPECT_EQ(Raised([&] { context->InTransaction(); }), kNotStarted);
  EXPECT_EQ(Raised([&] { context->StartTransaction(); }), kNotStarted);
  EXPECT_EQ(Raised([&] { context->Commit(); }), kNotStarted);
  EXPECT_EQ(Raised([&] { context->Rollback(); }), kNotStarted);
  EXPECT_EQ(Raised([&] { context->TransactionCorrupted(); }), kNotStarted);
  context->SetActive(true);
  EXPECT_FALSE(context->InTransaction());
  EXPECT_TRUE(context->TryStartTransaction());
  EXPECT_TRUE(context->InTransaction());
  EXPECT_FALSE(context->TryStartTransaction());
  context->Rollback();
  EXPECT_FALSE(context->InTransaction());
  engine->Codes[u"TransactionGetLevel"] = nxeRecordLocked;
  std::u16string text;
  nxBdeErrorMessage(int32_t(nxeRecordLocked), text);
  EXPECT_EQ(Raised([&] { context->InTransaction(); }),
            U8(nxFormatComponentCodeMessage(u"Context1", text, nxeRecordLocked)));
}

TEST_F(TransContextTest, ActivationFailures) {
  engine->Codes[u"TransContextCreate"] = nxeInvalidParameter;
  EXPECT_EQ(Raised([&] { context->SetActive(true); }), "RevurOV: Context1: Invalid parameter. [$2702/9986]");
  EXPECT_FALSE(context->Active());
  EXPECT_EQ(context->AbstractTransContext(), nullptr);
  context->SetSession(nullptr);
  EXPECT_EQ(Raised([&] { context->SetActive(true); }), "RevurOV: Context1: No owning session [no error code]");
}

TEST_F(TransContextTest, StoppingFreesTheEngineContext) {
  context->SetActive(true);
  const int before = engine->ContextsFreed;
  context->SetActive(false);
  EXPECT_EQ(engine->ContextsFreed, before + 1);
  EXPECT_EQ(context->AbstractTransContext(), nullptr);
}

TEST_F(TransContextTest, DatabasesTakeTheSessionsDefaultContext) {
  context->SetDefault(true);
  EXPECT_EQ(session->DefaultTransContext(), context.get());
  ComponentPtr<TnxDatabase> data = Database(u"Data");
  EXPECT_EQ(data->TransContext(), context.get());
  // A context of another session gives way to the new session's default.
  ComponentPtr<TnxSession> second{new TnxSession(nullptr)};
  data->SetSession(second.get());
  EXPECT_EQ(data->TransContext(), nullptr);
  // Naming a context brings its session along.
  data->SetTransContext(context.get());
  EXPECT_EQ(data->Session(), session.get());
}

TEST_F(TransContextTest, AContextThatGoesClosesAndForgetsItsDatabases) {
  ComponentPtr<TnxDatabase> data = Database(u"Data");
  data->SetTransContext(context.get());
  data->SetActive(true);
  context.reset();
  EXPECT_FALSE(data->Active());
  EXPECT_EQ(data->TransContext(), nullptr);
  EXPECT_EQ(session->TransContextCount(), 0);
  // Opened again, it makes a context of its own on the engine side.
  data->SetActive(true);
  EXPECT_EQ(engine->Opens.back().Context, nullptr);
}

TEST_F(TransContextTest, TimeoutReachesTheEngineContext) {
  context->SetActive(true);
  engine->ContextTimeouts.clear();
  context->SetTimeout(250);
  session->SetTimeout(3000);  // the context keeps its own
  context->SetTimeout(-1);    // and now follows the session
  EXPECT_EQ(engine->ContextTimeouts, (std::vector<uint32_t>{250, 250, 3000}));
}

}  // namespace
}  // namespace revurov
