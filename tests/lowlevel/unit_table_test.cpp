#include "lowlevel/sync/unit_table.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace revurov {
namespace {

// Each table's units append to one trace, so the order across a chain shows.
std::string gTrace;
int gFailAt = -1;  // the unit whose start-up raises, -1 for none

template <char Name>
struct TraceUnit {
  static void Startup() {
    if (gFailAt == Name - 'a') throw std::runtime_error("unit failed");
    gTrace += '+';
    gTrace += Name;
  }
  static void Shutdown() {
    gTrace += '-';
    gTrace += Name;
  }
};

constexpr TnxUnitPair kBelowUnits[] = {
    {&TraceUnit<'a'>::Startup, &TraceUnit<'a'>::Shutdown},
    {&TraceUnit<'b'>::Startup, &TraceUnit<'b'>::Shutdown},
};
TnxUnitTable gBelow(kBelowUnits);

void BelowStartup() { gBelow.Startup(); }
void BelowShutdown() { gBelow.Shutdown(); }

constexpr TnxUnitPair kAboveUnits[] = {
    {&TraceUnit<'c'>::Startup, &TraceUnit<'c'>::Shutdown},
    {&TraceUnit<'d'>::Startup, &TraceUnit<'d'>::Shutdown},
};
TnxUnitTable gAbove(kAboveUnits, {&BelowStartup, &BelowShutdown});

class UnitTable : public ::testing::Test {
protected:
  void SetUp() override {
    gTrace.clear();
    gFailAt = -1;
  }
  void TearDown() override {
    while (gAbove.Count() > 0) gAbove.Shutdown();
    while (gBelow.Count() > 0) gBelow.Shutdown();
  }
};

TEST_F(UnitTable, StartsTheLibraryBelowFirstAndStopsItLast) {
  gAbove.Startup();
  EXPECT_EQ(gTrace, "+a+b+c+d");
  EXPECT_EQ(gBelow.Count(), 1);
  gAbove.Startup();  // counted only
  EXPECT_EQ(gAbove.Count(), 2);
  gAbove.Shutdown();
  EXPECT_EQ(gTrace, "+a+b+c+d");
  gAbove.Shutdown();
  EXPECT_EQ(gTrace, "+a+b+c+d-d-c-b-a");
  EXPECT_EQ(gBelow.Count(), 0);
  gAbove.Shutdown();  // unbalanced: nothing
  EXPECT_EQ(gTrace, "+a+b+c+d-d-c-b-a");
}

TEST_F(UnitTable, TheLibraryBelowStartedOnItsOwnOutlivesTheOneAbove) {
  gBelow.Startup();
  gAbove.Startup();
  gAbove.Shutdown();
  EXPECT_EQ(gTrace, "+a+b+c+d-d-c");
  EXPECT_EQ(gBelow.Count(), 1);
  gBelow.Shutdown();
  EXPECT_EQ(gTrace, "+a+b+c+d-d-c-b-a");
}

TEST_F(UnitTable, AFailingUnitUndoesEverythingStartedForTheChain) {
  struct Case {
    int failAt;
    const char* trace;
  };
  const Case cases[] = {
      {0, ""},                  // the first unit below: nothing started
      {1, "+a-a"},              // inside the library below
      {2, "+a+b-b-a"},          // the first own unit: the library below is stopped
      {3, "+a+b+c-c-b-a"},      // a later own unit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failAt);
    gTrace.clear();
    gFailAt = c.failAt;
    EXPECT_THROW(gAbove.Startup(), std::runtime_error);
    EXPECT_EQ(gTrace, c.trace);
    EXPECT_EQ(gAbove.Count(), 0);
    EXPECT_EQ(gBelow.Count(), 0);
  }
  // After a failure a later start-up runs the whole chain again.
  gTrace.clear();
  gFailAt = -1;
  gAbove.Startup();
  EXPECT_EQ(gTrace, "+a+b+c+d");
}

TEST(UnitCounter, CountsStartupsAndIgnoresUnmatchedShutdowns) {
  std::atomic<int> count{0};
  EXPECT_FALSE(nxUnitShutdownIsLast(count));
  EXPECT_EQ(count.load(), 0);
  EXPECT_TRUE(nxUnitStartupIsFirst(count));
  EXPECT_FALSE(nxUnitStartupIsFirst(count));
  EXPECT_FALSE(nxUnitShutdownIsLast(count));
  EXPECT_TRUE(nxUnitShutdownIsLast(count));
  EXPECT_FALSE(nxUnitShutdownIsLast(count));
}

}  // namespace
}  // namespace revurov
