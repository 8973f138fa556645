#include "engine/abstract_trans_context.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/abstract_database.h"
#include "lowlevel/startup.h"
#include "support/engine_fixture.h"
#include "support/memory_engine.h"
#include "support/u8_text.h"

namespace revurov::testing {
namespace {

class TransContextTest : public ::testing::Test {
protected:
  TnxAbstractDatabase* Open(TnxAbstractTransContext* aContext, uint32_t aTimeout) {
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(session->DatabaseOpen(database, u"Name", u"Data", aContext, omReadWrite, smShared, aTimeout), 0u);
    return database;
  }
  TnxAbstractTransContext* Context(uint32_t aTimeout) {
    TnxAbstractTransContext* context = nullptr;
    EXPECT_EQ(session->TransContextCreate(context, aTimeout), 0u);
    return context;
  }
  std::u16string LastMessage() {
    uint32_t code = 0;
    std::u16string message;
    EnxBaseException::GetLastConvertedException(code, message);
    return message;
  }

  TnxLowLevelStartupGuard library;
  ComponentPtr<MemoryEngine> engine{new MemoryEngine(nullptr)};
  MemorySession* session = engine->OpenMemory();
};

TEST_F(TransContextTest, SharedContextDestroyedUnderTwoDatabasesGivesEachItsOwn) {
  TnxAbstractTransContext* shared = Context(500);
  TnxAbstractDatabase* first = Open(shared, 700);
  TnxAbstractDatabase* second = Open(shared, 900);
  EXPECT_EQ(shared->AttachedDatabases(), (std::vector<TnxAbstractDatabase*>{first, second}));
  EXPECT_FALSE(first->OwnsTransContext());
  EXPECT_EQ(first->TransactionStart(false, false), 0u);
  int32_t level = 0;
  EXPECT_EQ(second->TransactionGetLevel(level), 0u);
  EXPECT_EQ(level, 1);  // one transaction spans both
  EXPECT_EQ(engine->TransContextCount(), 1);

  shared->Free();
  EXPECT_EQ(engine->ForcedRollbacks, 2);  // failed, then once more
  EXPECT_EQ(engine->TransContextCount(), 2);
  for (auto [database, timeout] : {std::pair{first, 700u}, std::pair{second, 900u}}) {
    TnxAbstractTransContext* own = database->TransContext();
    ASSERT_NE(own, nullptr);
    EXPECT_NE(own, shared);
    EXPECT_TRUE(database->OwnsTransContext());
    EXPECT_EQ(own->Timeout(), timeout);
    EXPECT_EQ(own->AttachedDatabases(), std::vector<TnxAbstractDatabase*>{database});
    EXPECT_EQ(database->TransactionGetLevel(level), 0u);
    EXPECT_EQ(level, 0);
  }
  EXPECT_NE(first->TransContext(), second->TransContext());
  EXPECT_EQ(session->TransContexts().size(), 2u);
  first->Free();
  second->Free();
  EXPECT_EQ(engine->TransContextCount(), 0);
  EXPECT_TRUE(session->TransContexts().empty());
}

TEST_F(TransContextTest, OwnContextFollowsTheDatabasesTimeoutAGivenOneDoesNot) {
  TnxAbstractDatabase* owning = Open(nullptr, 100);
  ASSERT_TRUE(owning->OwnsTransContext());
  EXPECT_EQ(owning->TransContext()->Timeout(), 100u);
  owning->SetTimeout(250);
  EXPECT_EQ(owning->TransContext()->Timeout(), 250u);

  TnxAbstractTransContext* given = Context(300);
  TnxAbstractDatabase* attached = Open(given, 100);
  attached->SetTimeout(250);
  EXPECT_EQ(given->Timeout(), 300u);

  EXPECT_EQ(engine->TransContextCount(), 2);
  owning->Free();
  EXPECT_EQ(engine->TransContextCount(), 1);
  attached->Free();
  EXPECT_EQ(engine->TransContextCount(), 1);
  EXPECT_EQ(session->TransContexts(), std::vector<TnxAbstractTransContext*>{given});
  EXPECT_TRUE(given->AttachedDatabases().empty());
}

TEST_F(TransContextTest, ContextWithoutDatabasesOnlyRollsBackAndUnlinks) {
  TnxAbstractTransContext* first = Context(0);
  TnxAbstractTransContext* second = Context(0);
  TnxAbstractTransContext* third = Context(0);
  second->Free();
  EXPECT_EQ(engine->ForcedRollbacks, 2);
  EXPECT_EQ(session->TransContexts(), (std::vector<TnxAbstractTransContext*>{first, third}));
  EXPECT_EQ(first->SessionNext(), third);
  EXPECT_EQ(third->SessionPrev(), first);
  EXPECT_EQ(engine->TransContextCount(), 2);
}

TEST_F(TransContextTest, FailedIsOneWayAndRollsBackEachTime) {
  auto* context = static_cast<MemoryTransContext*>(Context(0));
  context->Level = 3;
  context->Failed();
  context->Failed();
  EXPECT_TRUE(context->IsFailed());
  EXPECT_EQ(context->ForcedRollbacks, 2);
  EXPECT_EQ(context->Level, 0);
}

TEST_F(TransContextTest, CacheOperationsAreNotSupported) {
  TnxAbstractTransContext* context = Context(0);
  TnxAbstractDatabase* database = Open(context, 0);
  EXPECT_EQ(context->SetCacheTransContext(nullptr), 12289u);
  EXPECT_EQ(U8(LastMessage()), "SetCacheTransContext not supported by MemoryTransContext");
  EXPECT_EQ(database->SetCacheDatabase(nullptr), 12289u);
  EXPECT_EQ(U8(LastMessage()), "SetCacheDatabase not supported by MemoryDatabase");
  EXPECT_FALSE(database->IsCache());
}

TEST_F(TransContextTest, RefusedContextLeavesNothingBehind) {
  engine->RefuseContexts = 10001;
  TnxAbstractDatabase* database = nullptr;
  EXPECT_EQ(session->DatabaseOpen(database, u"Name", u"Data", nullptr, omReadOnly, smShared, 0), 10001u);
  EXPECT_EQ(database, nullptr);
  EXPECT_EQ(engine->DatabaseCount(), 0);
  EXPECT_TRUE(session->Databases().empty());
}

TEST_F(TransContextTest, DatabaseLeftWithoutAContextAnswersInvalidHandle) {
  TnxAbstractTransContext* shared = Context(0);
  TnxAbstractDatabase* database = Open(shared, 0);
  engine->RefuseContexts = 10001;
  shared->Free();
  EXPECT_EQ(database->TransContext(), nullptr);
  EXPECT_EQ(database->TransactionStart(false, false), 9990u);
  int32_t level = 7;
  EXPECT_EQ(database->TransactionGetLevel(level), 9990u);
  EXPECT_EQ(level, 0);
  database->Free();
  EXPECT_EQ(engine->DatabaseCount(), 0);
}

TEST_F(TransContextTest, ExplicitAllowSystemNeedsExactlyOne) {
  struct Case {
    const char16_t* value;  // nil: option absent
    bool allowed;
  };
  TnxAbstractDatabase* database = Open(nullptr, 0);
  for (const Case& c : {Case{nullptr, false}, Case{u"1", true}, Case{u"true", false}, Case{u" 1", false},
                        Case{u"0", false}}) {
    if (c.value) {
      ASSERT_EQ(database->OptionSet(u"ALLOWSYSTEMTABLEACCESS", c.value), 0u);
    } else {
      database->OptionClear(u"ALLOWSYSTEMTABLEACCESS");
    }
    EXPECT_EQ(database->ExplicitAllowSystem(), c.allowed) << (c.value ? U8(c.value) : "absent");
  }
}

TEST_F(TransContextTest, PathStepsReachTheDatabaseAndItsContext) {
  TnxAbstractDatabase* database = Open(nullptr, 0);
  void* got = nullptr;
  EXPECT_EQ(database->CreateInstanceFor(u"<Database>.<TransContext>.<Self>", nxServerObjectClassID, nullptr,
                                        InxAbstractServerObject41100::IID, &got),
            0);
  EXPECT_EQ(got, static_cast<InxAbstractServerObject41100*>(database->TransContext()));
  got = nullptr;
  EXPECT_EQ(database->TransContext()->CreateInstanceFor(u"<transcontext>", nxServerObjectClassID, nullptr,
                                                        InxAbstractServerObject41100::IID, &got),
            0);
  EXPECT_EQ(got, static_cast<InxAbstractServerObject41100*>(database->TransContext()));
}

}  // namespace
}  // namespace revurov::testing
