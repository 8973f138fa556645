// An SQL engine for tests: its statements answer each step with 0, or fail
// the step chosen by the script with a code or an exception; Exec may open
// a result cursor through a factory the test gives.
#pragma once

#include <functional>

#include "engine/abstract_statement.h"
#include "engine/server_object.h"
#include "lowlevel/errors/exceptions.h"
#include "server/sql_engine.h"

namespace revurov::testing {

struct SqlScript {
  TnxStatementExecDirectPhase FailAt = sedFree;  // sedFree: nothing fails
  bool Raise = false;
  uint32_t Code = 10025;
  std::function<TnxAbstractCursor*(TnxAbstractDatabase*)> ResultCursor;
  // Seen by the statement while it executes.
  std::function<void()> DuringExec;
};

class TestSqlStatement : public TnxAbstractStatement {
  REVUROV_SERVER_OBJECT_CLASS(TestSqlStatement, TnxAbstractStatement)
  TestSqlStatement(TnxAbstractDatabase* aDatabase, uint32_t aTimeout, const SqlScript& aScript)
      : TnxAbstractStatement(aDatabase, aTimeout), tssScript(aScript) {}

  uint32_t Prepare(TnxStatementType, std::u16string_view, platform::TStream*) override { return Step(sedPrepare); }
  uint32_t SetParams(const TnxSqlParamList&, platform::TStream*) override { return Step(sedSetParams); }
  uint32_t Exec(TnxAbstractCursor*& aCursor, TnxOpenMode, platform::TStream*) override {
    aCursor = tssScript.ResultCursor ? tssScript.ResultCursor(Database()) : nullptr;
    if (tssScript.DuringExec) tssScript.DuringExec();
    return Step(sedExec);
  }
  uint32_t GetParams(TnxSqlParamList&, platform::TStream*) override { return Step(sedGetParams); }

private:
  uint32_t Step(TnxStatementExecDirectPhase aPhase) {
    if (aPhase != tssScript.FailAt) return 0;
    if (tssScript.Raise) throw EnxBaseException(tssScript.Code);
    return tssScript.Code;
  }
  SqlScript tssScript;
};

class TestSqlEngine : public TnxBaseSqlEngine {
  REVUROV_COMPONENT_CLASS(TestSqlEngine, TnxBaseSqlEngine)
  explicit TestSqlEngine(platform::TComponent* aOwner) : TnxBaseSqlEngine(aOwner) {}

  void PrepareShutdown() override { ++Shutdowns; }
  uint32_t StatementAlloc(TnxAbstractDatabase* aDatabase, TnxAbstractStatement*& aStatement,
                          uint32_t aTimeout) override {
    ++Allocs;
    if (Script.FailAt == sedAlloc && Script.Raise) throw EnxBaseException(Script.Code);
    aStatement = nxCreateServerObject<TestSqlStatement>(aDatabase, aTimeout, Script).release();
    return Script.FailAt == sedAlloc ? Script.Code : 0;
  }

  SqlScript Script;
  int Shutdowns = 0;
  int Allocs = 0;
};

}  // namespace revurov::testing
