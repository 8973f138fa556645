#include "lowlevel/components/state_component.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/text.h"
#include "support/u8_text.h"

namespace revurov {

using platform::TFormatArg;
namespace {

using testing::U8;

std::vector<std::string> gEvents;

// A log that keeps every line.
class TRecordingLog : public TnxBaseLog {
  REVUROV_COMPONENT_CLASS(TRecordingLog, TnxBaseLog)
  using TnxBaseLog::TnxBaseLog;
  struct Entry {
    std::string text;
    uint32_t number;
    TnxLogPriority priority;
    std::string category;
    double time;
    int32_t bias;
  };
  std::vector<Entry> entries;

  void WriteBlock(std::u16string_view aText, const void*, std::size_t aLength, uint32_t aNumber,
                  TnxLogPriority aPriority, std::u16string_view aCategory, double aTime,
                  int32_t aBias) override {
    entries.push_back({U8(aText) + " +" + std::to_string(aLength), aNumber, aPriority,
                       U8(aCategory), aTime, aBias});
  }
  void WriteString(std::u16string_view aMessage, uint32_t aNumber, TnxLogPriority aPriority,
                   std::u16string_view aCategory, double aTime, int32_t aBias) override {
    entries.push_back({U8(aMessage), aNumber, aPriority, U8(aCategory), aTime, aBias});
  }
  void WriteString(std::u16string_view aFormat, std::initializer_list<TFormatArg> aArgs,
                   uint32_t aNumber, TnxLogPriority aPriority, std::u16string_view aCategory,
                   double aTime, int32_t aBias) override {
    WriteString(platform::Format(aFormat, aArgs), aNumber, aPriority, aCategory, aTime, aBias);
  }
  void WriteStrings(const TnxLogLines& aLines, uint32_t aNumber, TnxLogPriority aPriority,
                    std::u16string_view aCategory, double aTime, int32_t aBias) override {
    for (const auto& l : aLines) WriteString(l, aNumber, aPriority, aCategory, aTime, aBias);
  }
  void WriteLogData(InxLogData*) override {}
};

// A state component that records its steps and can fail a step or veto a
// step of one linked component.
class TFake : public TnxStateComponent {
  REVUROV_COMPONENT_CLASS(TFake, TnxStateComponent)
  explicit TFake(platform::TComponent* aOwner) : TnxStateComponent(aOwner) {
    OnStateChanged = [](TnxStateComponent* c) {
      gEvents.push_back(U8(c->Name()) + ": changed " + U8(nxStateName(c->State())));
    };
    OnStateTransChanged = [](TnxStateComponent* c, TnxStateTransition t) {
      gEvents.push_back(U8(c->Name()) + ": transition " + U8(nxStateTransitionName(t)));
    };
  }

  TFake* dependsOn = nullptr;
  TnxStateTransition failOn = nxstNone;
  TnxComponent* vetoFrom = nullptr;
  TnxStateTransition vetoTransition = nxstNone;
  bool recordNotifications = false;

  void SetDependsOn(TFake* aOther) {
    if (aOther == dependsOn) return;
    CheckInactive();
    UnlinkDependent(this, dependsOn);
    dependsOn = aOther;
    LinkDependent(this, dependsOn);
  }
  bool IsDependentOn(TnxStateComponent* aOther) const override { return aOther == dependsOn; }

  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override {
    if ((aOp == nxn_StateChanging || aOp == nxn_StateChanged) && aData) {
      const auto* d = static_cast<const TnxStateChangeData*>(aData);
      if (recordNotifications)
        gEvents.push_back(U8(Name()) + ": notification " + std::to_string(aOp) + " {" +
                          std::to_string(d->OldState) + ", " + std::to_string(d->NewState) + "}");
      if (aOp == nxn_StateChanging && aSender == vetoFrom &&
          nxStateTransition[d->OldState][d->NewState] == vetoTransition)
        throw EnxAbortStateChange(u"veto");
    }
    if (aOp == nxn_Destroying && aSender == dependsOn) dependsOn = nullptr;
    TnxStateComponent::DependentNotify(aSender, aOp, aData);
  }

protected:
  void Step(TnxStateTransition aTransition, const char* aWhat) {
    gEvents.push_back(U8(Name()) + ": " + aWhat);
    if (failOn == aTransition) RaiseError(u"%s failed", {aWhat});
  }
  void DoInitialize() override { Step(nxstInitializing, "DoInitialize"); }
  void DoDeactivate() override { Step(nxstDeactivating, "DoDeactivate"); }
  void DoStart() override { Step(nxstStarting, "DoStart"); }
  void DoStop() override { Step(nxstStopping, "DoStop"); }
  void StateStarted() override { gEvents.push_back(U8(Name()) + ": StateStarted"); }
  void StateStopped() override { gEvents.push_back(U8(Name()) + ": StateStopped"); }
};

TFake* MakeFake(std::u16string aName) {
  auto* c = new TFake(nullptr);
  c->SetName(std::move(aName));
  return c;
}

double gClock = 0;
double TestClock() { return gClock; }

class StateComponentTest : public ::testing::Test {
protected:
  void SetUp() override {
    gEvents.clear();
    gClock = 45000.5;
    nxSetStateClock(TestClock);
  }
  void TearDown() override { nxSetStateClock(nullptr); }
};

TEST(StateTables, NextStateAndTransitionTablesAndNames) {
  // Inactive to Started passes Stopped; Started to Inactive passes Stopped;
  // Stopped to Unsupported passes Inactive; Unsupported is never left.
  EXPECT_EQ(nxNextState[nxsInactive][nxsStarted], nxsStopped);
  EXPECT_EQ(nxNextState[nxsStarted][nxsInactive], nxsStopped);
  EXPECT_EQ(nxNextState[nxsStopped][nxsUnsupported], nxsInactive);
  for (int t = 0; t < 4; ++t) EXPECT_EQ(nxNextState[nxsUnsupported][t], nxsUnsupported);
  EXPECT_EQ(nxStateTransition[nxsInactive][nxsStopped], nxstInitializing);
  EXPECT_EQ(nxStateTransition[nxsStopped][nxsStarted], nxstStarting);
  EXPECT_EQ(nxStateTransition[nxsStarted][nxsStopped], nxstStopping);
  EXPECT_EQ(nxStateTransition[nxsStopped][nxsInactive], nxstDeactivating);
  EXPECT_EQ(nxStateTransition[nxsInactive][nxsStarted], nxstInvalid);
  EXPECT_TRUE(nxTransitionIsUpward(nxstInitializing));
  EXPECT_TRUE(nxTransitionIsUpward(nxstStarting));
  EXPECT_FALSE(nxTransitionIsUpward(nxstStopping));
  EXPECT_FALSE(nxTransitionIsUpward(nxstInvalid));
  EXPECT_EQ(nxStateName(3), u"Started");
  EXPECT_EQ(nxStateName(4), u"");
  EXPECT_EQ(nxStateTransitionName(5), u"Invalid");
  EXPECT_EQ(nxStateTransitionName(6), u"");
}

TEST_F(StateComponentTest, OpeningOneComponentRunsEveryEventInOrder) {
  TFake* c = MakeFake(u"c");
  TFake* observer = MakeFake(u"observer");
  observer->recordNotifications = true;
  TnxComponent::LinkDependent(c, observer);
  c->SetActive(true);
  const std::vector<std::string> expected = {
      "c: transition Initializing", "observer: notification 4 {0, 2}", "c: DoInitialize",
      "observer: notification 5 {0, 2}", "c: changed Stopped", "c: StateStopped",
      "c: transition None", "c: transition Starting", "observer: notification 4 {2, 3}",
      "c: DoStart", "observer: notification 5 {2, 3}", "c: changed Started", "c: StateStarted",
      "c: transition None"};
  EXPECT_EQ(gEvents, expected);
  EXPECT_EQ(c->State(), nxsStarted);
  EXPECT_TRUE(c->Active());
  EXPECT_TRUE(c->ActiveRuntime());
  EXPECT_EQ(c->StartTime(), 45000.5);
  gEvents.clear();
  c->SetActive(false);
  EXPECT_EQ(gEvents, (std::vector<std::string>{
                         "c: transition Stopping", "observer: notification 4 {3, 2}", "c: DoStop",
                         "observer: notification 5 {3, 2}", "c: changed Stopped",
                         "c: StateStopped", "c: transition None", "c: transition Deactivating",
                         "observer: notification 4 {2, 0}", "c: DoDeactivate",
                         "observer: notification 5 {2, 0}", "c: changed Inactive",
                         "c: transition None"}));
  EXPECT_EQ(c->StartTime(), 0);
  EXPECT_FALSE(c->ActiveRuntime());
  TnxComponent::Free(c);
  TnxComponent::Free(observer);
}

TEST_F(StateComponentTest, UnsupportedComponentNeverMoves) {
  TFake* c = MakeFake(u"c");
  c->SetState(nxsUnsupported);
  EXPECT_EQ(c->State(), nxsUnsupported);
  gEvents.clear();
  c->SetState(nxsStarted);
  c->SetActive(false);
  EXPECT_EQ(c->State(), nxsUnsupported);
  for (const std::string& e : gEvents) EXPECT_EQ(e.find("Do"), std::string::npos) << e;
  TnxComponent::Free(c);
}

// database -> session -> engine -> transport, each depending on the next.
class ChainTest : public StateComponentTest {
protected:
  void SetUp() override {
    StateComponentTest::SetUp();
    const char16_t* names[] = {u"database", u"session", u"engine", u"transport"};
    log = new TRecordingLog(nullptr);
    for (int i = 0; i < 4; ++i) {
      chain[i] = MakeFake(names[i]);
      chain[i]->SetEventLog(log);
      chain[i]->SetEventLogEnabled(true);
    }
    for (int i = 0; i < 3; ++i) chain[i]->SetDependsOn(chain[i + 1]);
    gEvents.clear();
  }
  void TearDown() override {
    for (TFake*& c : chain) nxFreeAndNil(c);
    nxFreeAndNil(log);
    StateComponentTest::TearDown();
  }
  std::array<TnxState, 4> States() const {
    return {chain[0]->State(), chain[1]->State(), chain[2]->State(), chain[3]->State()};
  }
  // Only the handler calls, which carry the order of the work.
  std::vector<std::string> Steps() const {
    std::vector<std::string> r;
    for (const std::string& e : gEvents)
      if (e.find(": Do") != std::string::npos) r.push_back(e);
    return r;
  }

  std::array<TFake*, 4> chain{};
  TRecordingLog* log = nullptr;
};

TEST_F(ChainTest, OpeningTheDatabaseStartsTheChainBottomUp) {
  chain[0]->Open();
  const std::vector<std::string> expected = {
      "database: transition Initializing",
      "session: transition Initializing",
      "engine: transition Initializing",
      "transport: transition Initializing",
      "transport: DoInitialize",
      "transport: changed Stopped",
      "transport: StateStopped",
      "transport: transition None",
      "engine: DoInitialize",
      "engine: changed Stopped",
      "engine: StateStopped",
      "engine: transition None",
      "session: DoInitialize",
      "session: changed Stopped",
      "session: StateStopped",
      "session: transition None",
      "database: DoInitialize",
      "database: changed Stopped",
      "database: StateStopped",
      "database: transition None",
      "database: transition Starting",
      "session: transition Starting",
      "engine: transition Starting",
      "transport: transition Starting",
      "transport: DoStart",
      "transport: changed Started",
      "transport: StateStarted",
      "transport: transition None",
      "engine: DoStart",
      "engine: changed Started",
      "engine: StateStarted",
      "engine: transition None",
      "session: DoStart",
      "session: changed Started",
      "session: StateStarted",
      "session: transition None",
      "database: DoStart",
      "database: changed Started",
      "database: StateStarted",
      "database: transition None",
  };
  EXPECT_EQ(gEvents, expected);
  EXPECT_EQ(States(), (std::array<TnxState, 4>{nxsStarted, nxsStarted, nxsStarted, nxsStarted}));
  EXPECT_TRUE(log->entries.empty());
}

TEST_F(ChainTest, ClosingTheTransportStopsTheChainTopDown) {
  chain[0]->Open();
  gEvents.clear();
  chain[3]->Close();
  const std::vector<std::string> expected = {
      "transport: transition Stopping",
      "engine: transition Stopping",
      "session: transition Stopping",
      "database: transition Stopping",
      "database: DoStop",
      "database: changed Stopped",
      "database: StateStopped",
      "database: transition None",
      "session: DoStop",
      "session: changed Stopped",
      "session: StateStopped",
      "session: transition None",
      "engine: DoStop",
      "engine: changed Stopped",
      "engine: StateStopped",
      "engine: transition None",
      "transport: DoStop",
      "transport: changed Stopped",
      "transport: StateStopped",
      "transport: transition None",
      "transport: transition Deactivating",
      "engine: transition Deactivating",
      "session: transition Deactivating",
      "database: transition Deactivating",
      "database: DoDeactivate",
      "database: changed Inactive",
      "database: transition None",
      "session: DoDeactivate",
      "session: changed Inactive",
      "session: transition None",
      "engine: DoDeactivate",
      "engine: changed Inactive",
      "engine: transition None",
      "transport: DoDeactivate",
      "transport: changed Inactive",
      "transport: transition None",
  };
  EXPECT_EQ(gEvents, expected);
  EXPECT_EQ(States(),
            (std::array<TnxState, 4>{nxsInactive, nxsInactive, nxsInactive, nxsInactive}));
}

TEST_F(ChainTest, ClosingTheDatabaseLeavesWhatItNeedsRunning) {
  chain[0]->Open();
  gEvents.clear();
  chain[0]->Close();
  EXPECT_EQ(Steps(), (std::vector<std::string>{"database: DoStop", "database: DoDeactivate"}));
  EXPECT_EQ(States(), (std::array<TnxState, 4>{nxsInactive, nxsStarted, nxsStarted, nxsStarted}));
}

// A veto of component i's step by its neighbour on the far side of the walk
// (the one it would pass the step on to), or by an observer at the chain's
// end. The vetoed component stops where it stood, quietly; those that asked
// it to follow go on.
TEST_F(ChainTest, VetoAtEachStepEndsThatComponentsWalkQuietly) {
  const TnxStateTransition transitions[] = {nxstInitializing, nxstStarting, nxstStopping,
                                            nxstDeactivating};
  for (int i = 0; i < 4; ++i) {
    for (TnxStateTransition t : transitions) {
      SCOPED_TRACE(std::to_string(i) + " " + U8(nxStateTransitionName(t)));
      const bool up = nxTransitionIsUpward(t);
      if (!up) chain[0]->Open();
      ASSERT_EQ(chain[0]->State(), up ? nxsInactive : nxsStarted);
      TFake* observer = nullptr;
      TFake* vetoer;
      if (up && i == 3) {
        vetoer = observer = MakeFake(u"observer");
      } else if (!up && i == 0) {
        vetoer = observer = MakeFake(u"observer");
      } else {
        vetoer = chain[up ? i + 1 : i - 1];
      }
      if (observer) TnxComponent::LinkDependent(observer, chain[i]);
      vetoer->vetoFrom = chain[i];
      vetoer->vetoTransition = t;

      if (up)
        EXPECT_NO_THROW(chain[0]->Open());
      else
        EXPECT_NO_THROW(chain[3]->Close());

      std::array<TnxState, 4> expected;
      for (int k = 0; k < 4; ++k) {
        if (up)
          expected[k] = k < i ? nxsStarted : (t == nxstInitializing ? nxsInactive : nxsStopped);
        else
          expected[k] = k > i ? nxsInactive : (t == nxstStopping ? nxsStarted : nxsStopped);
      }
      EXPECT_EQ(States(), expected);
      for (TFake* c : chain) EXPECT_EQ(c->StateTransition(), nxstNone);
      EXPECT_TRUE(log->entries.empty());

      vetoer->vetoFrom = nullptr;
      nxFreeAndNil(observer);
      for (TFake* c : chain) c->Close();
      ASSERT_EQ(States(),
                (std::array<TnxState, 4>{nxsInactive, nxsInactive, nxsInactive, nxsInactive}));
    }
  }
}

// A failing handler of component i: its counterpart runs, every component
// whose step waited on it logs the failure and deactivates, and the caller
// gets the exception naming the component.
TEST_F(ChainTest, FailureAtEachStepRollsBackAndReportsTheComponent) {
  const char* stepNames[] = {"", "DoInitialize", "", "DoStart"};
  for (int i = 0; i < 4; ++i) {
    for (TnxStateTransition t : {nxstInitializing, nxstStarting}) {
      SCOPED_TRACE(std::to_string(i) + " " + U8(nxStateTransitionName(t)));
      chain[i]->failOn = t;
      gEvents.clear();
      log->entries.clear();
      std::string message;
      try {
        chain[0]->Open();
        ADD_FAILURE() << "no exception";
      } catch (const EnxStateComponentException& e) {
        message = e.what();
      }
      const std::string name = U8(chain[i]->Name());
      EXPECT_EQ(message, "RevurOV: " + name + ": " + stepNames[t] + " failed [no error code]");

      // The counterpart ran right after the failed handler.
      const std::vector<std::string> steps = Steps();
      const std::string failed = name + ": " + stepNames[t];
      const std::string counterpart =
          name + (t == nxstInitializing ? ": DoDeactivate" : ": DoStop");
      auto at = std::find(steps.begin(), steps.end(), failed);
      ASSERT_NE(at, steps.end());
      ASSERT_NE(at + 1, steps.end());
      EXPECT_EQ(*(at + 1), counterpart);

      // Components 0..i rolled back to inactive; those below i are untouched
      // by the roll-back (nothing of theirs depends on the failed one).
      for (int k = 0; k <= i; ++k) EXPECT_EQ(chain[k]->State(), nxsInactive) << k;
      for (int k = i + 1; k < 4; ++k)
        EXPECT_EQ(chain[k]->State(), t == nxstInitializing ? nxsStopped : nxsStarted) << k;

      // One log line per component on the failed path, the failed one first.
      ASSERT_EQ(log->entries.size(), static_cast<size_t>(i + 1));
      const std::string from = t == nxstInitializing ? "Inactive -> Stopped" : "Stopped -> Started";
      for (const auto& entry : log->entries) {
        EXPECT_EQ(entry.text, "Error while changing state (" + from +
                                  "): EnxStateComponentException: " + message);
        EXPECT_EQ(entry.number, nxeExceptionWithoutCode);
        EXPECT_EQ(entry.priority, lpError);
        EXPECT_EQ(entry.category, "default");
        EXPECT_EQ(entry.time, 0);
        EXPECT_EQ(entry.bias, 0x0FFFFFFF);
      }
      // The database's own walk heads for Started; those that followed it in
      // the initializing phase were heading for Stopped.
      EXPECT_EQ(U8(chain[0]->LastStartError()), message);
      if (t == nxstStarting)
        EXPECT_EQ(U8(chain[i]->LastStartError()), message);
      else
        EXPECT_EQ(chain[i]->LastStartError(), i == 0 ? chain[0]->LastStartError() : u"");
      for (TFake* c : chain) EXPECT_EQ(c->StateTransition(), nxstNone);

      chain[i]->failOn = nxstNone;
      for (TFake* c : chain) c->Close();
      ASSERT_EQ(States(),
                (std::array<TnxState, 4>{nxsInactive, nxsInactive, nxsInactive, nxsInactive}));
    }
  }
}

TEST_F(ChainTest, FailuresWhileDeactivatingNeverStopDeactivation) {
  chain[0]->Open();
  for (TFake* c : chain) c->failOn = nxstStopping;
  chain[2]->failOn = nxstDeactivating;
  EXPECT_NO_THROW(chain[3]->Close());
  EXPECT_EQ(States(),
            (std::array<TnxState, 4>{nxsInactive, nxsInactive, nxsInactive, nxsInactive}));
}

TEST_F(ChainTest, DisabledComponentCannotStart) {
  chain[1]->SetEnabled(false);
  try {
    chain[1]->Open();
    ADD_FAILURE();
  } catch (const EnxStateComponentException& e) {
    EXPECT_STREQ(e.what(), "RevurOV: session: The Component is disabled. [no error code]");
  }
  EXPECT_EQ(chain[1]->State(), nxsInactive);
  // Disabling a running component closes it first.
  chain[1]->SetEnabled(true);
  chain[1]->Open();
  chain[1]->SetEnabled(false);
  EXPECT_EQ(chain[1]->State(), nxsInactive);
}

TEST_F(ChainTest, ChecksNameTheComponentAndRelaxInDesignOrUpdate) {
  chain[3]->Open();
  try {
    chain[3]->CheckInactive();
    ADD_FAILURE();
  } catch (const EnxStateComponentException& e) {
    EXPECT_STREQ(e.what(),
                 "RevurOV: transport: This component must be inactive when performing this "
                 "operation. [no error code]");
  }
  EXPECT_THROW(chain[3]->CheckInactiveOrStopped(), EnxStateComponentException);
  EXPECT_NO_THROW(chain[3]->CheckStarted());
  chain[3]->Updating();
  chain[3]->CheckInactiveOrStopped();
  EXPECT_EQ(chain[3]->State(), nxsStopped);
  chain[3]->CheckStarted();
  EXPECT_EQ(chain[3]->State(), nxsStarted);
  chain[3]->CheckInactive();
  EXPECT_EQ(chain[3]->State(), nxsInactive);
  chain[3]->Updated();
  EXPECT_THROW(chain[3]->CheckStarted(), EnxStateComponentException);
  // Rewiring a running component is refused.
  chain[2]->Open();
  EXPECT_THROW(chain[2]->SetDependsOn(nullptr), EnxStateComponentException);
}

TEST_F(ChainTest, LoadingBracketAppliesActiveRuntimeAtTheEnd) {
  TFake* owner = MakeFake(u"owner");
  TFake* a = new TFake(owner);
  a->SetName(u"a");
  owner->BeginLoading();
  a->SetActiveRuntime(true);
  EXPECT_EQ(a->State(), nxsInactive);  // not while loading
  owner->EndLoading();
  EXPECT_EQ(a->State(), nxsStarted);
  EXPECT_EQ(owner->State(), nxsInactive);
  // At run time the setter applies at once and keeps the actual state.
  a->failOn = nxstStarting;
  a->SetActiveRuntime(false);
  EXPECT_THROW(a->SetActiveRuntime(true), EnxStateComponentException);
  EXPECT_FALSE(a->ActiveRuntime());
  TnxComponent::Free(owner);
}

TEST_F(ChainTest, DesignEnvironmentShowsLoadFailuresInsteadOfRaising) {
  static std::string shown;
  shown.clear();
  platform::SetShowExceptionHandler([](const std::exception& e) { shown = e.what(); });
  TFake* owner = MakeFake(u"owner");
  owner->SetDesigning(true);
  TFake* a = new TFake(owner);
  a->SetName(u"a");
  a->failOn = nxstInitializing;
  owner->BeginLoading();
  a->SetActiveDesigntime(true);
  a->SetActiveRuntime(true);  // ignored in design
  EXPECT_NO_THROW(owner->EndLoading());
  EXPECT_EQ(shown, "RevurOV: a: DoInitialize failed [no error code]");
  EXPECT_EQ(a->State(), nxsInactive);
  platform::SetShowExceptionHandler(nullptr);
  TnxComponent::Free(owner);
}

TEST_F(ChainTest, SavedActiveIsAppliedOnce) {
  chain[3]->SwitchToSavedActive();
  EXPECT_EQ(chain[3]->State(), nxsInactive);
}

// Every order of destroying the running chain leaves no dangling link (ASan).
TEST_F(StateComponentTest, DestroyingInEveryOrderUnlinksAndDeactivates) {
  std::array<int, 4> order = {0, 1, 2, 3};
  int runs = 0;
  do {
    std::array<TFake*, 4> c;
    const char16_t* names[] = {u"database", u"session", u"engine", u"transport"};
    for (int i = 0; i < 4; ++i) c[i] = MakeFake(names[i]);
    for (int i = 0; i < 3; ++i) c[i]->SetDependsOn(c[i + 1]);
    c[0]->Open();
    for (int n = 0; n < 4; ++n) {
      const int k = order[n];
      TFake* gone = c[k];
      TnxComponent::Free(gone);
      c[k] = nullptr;
      for (TFake* other : c) {
        if (!other) continue;
        EXPECT_NE(other->dependsOn, gone);
        EXPECT_FALSE(other->HasDependent(gone));
      }
      // What needed the freed component was closed before it went.
      for (int up = 0; up < k; ++up)
        if (c[up]) {
          EXPECT_EQ(c[up]->State(), nxsInactive);
        }
    }
    ++runs;
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(runs, 24);
}

}  // namespace
}  // namespace revurov
