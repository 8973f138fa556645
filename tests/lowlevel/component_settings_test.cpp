#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lowlevel/components/state_component.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "support/named_component.h"
#include "support/string_list_lines.h"

namespace revurov {

using platform::TFormatArg;
namespace {

class TStatsComponent : public TnxStateComponent {
  REVUROV_COMPONENT_CLASS(TStatsComponent, TnxStateComponent)
  using TnxStateComponent::TnxStateComponent;
  bool StatsIncludeUptime() const override { return true; }
  bool StatsIncludeLastStartError() const override { return true; }
  bool failStart = false;

protected:
  void DoStart() override {
    if (failStart) RaiseError(u"no port");
  }
};

class TNullLog : public TnxBaseLog {
  REVUROV_COMPONENT_CLASS(TNullLog, TnxBaseLog)
  using TnxBaseLog::TnxBaseLog;
  int writes = 0;
  void WriteBlock(std::u16string_view, const void*, std::size_t, uint32_t, TnxLogPriority,
                  std::u16string_view, double, int32_t) override { ++writes; }
  void WriteString(std::u16string_view, uint32_t, TnxLogPriority, std::u16string_view, double,
                   int32_t) override { ++writes; }
  void WriteString(std::u16string_view, std::initializer_list<TFormatArg>, uint32_t,
                   TnxLogPriority, std::u16string_view, double, int32_t) override { ++writes; }
  void WriteStrings(const TnxLogLines&, uint32_t, TnxLogPriority, std::u16string_view, double,
                    int32_t) override { ++writes; }
  void WriteLogData(InxLogData*) override { ++writes; }
};

using testing::LinesOf;
using testing::Make;

double gClock = 0;

class SettingsTest : public ::testing::Test {
protected:
  void SetUp() override {
    gClock = 45000.0;
    nxSetStateClock([] { return gClock; });
  }
  void TearDown() override { nxSetStateClock(nullptr); }
};

TEST_F(SettingsTest, StateComponentSettingsRoundTripThroughSavedActive) {
  auto* a = Make<TStatsComponent>(u"a");
  a->SetEventLogEnabled(true);
  a->Open();
  TnxMemoryStream stream;
  {
    TnxWriter w(stream);
    a->SaveSettingsToStream(w);
  }
  auto* b = Make<TStatsComponent>(u"b");
  stream.Seek(0, platform::TSeekOrigin::soBeginning);
  {
    TnxReader r(stream);
    b->LoadSettingsFromStream(r);
  }
  EXPECT_TRUE(b->GetEventLogEnabled());
  EXPECT_EQ(b->SavedActive(), 1);
  EXPECT_EQ(b->State(), nxsInactive);  // not yet applied
  b->SwitchToSavedActive();
  EXPECT_EQ(b->State(), nxsStarted);
  EXPECT_EQ(b->SavedActive(), 0);
  TnxComponent::Free(a);
  TnxComponent::Free(b);
}

TEST_F(SettingsTest, WrongVersionsAreIncompatibleStreams) {
  auto* a = Make<TStatsComponent>(u"a");
  for (int part = 0; part < 2; ++part) {
    TnxMemoryStream stream;
    {
      TnxWriter w(stream);
      w.WriteInteger(int32_t{part == 0 ? 2 : 1});
      w.WriteString(u"a");
      w.WriteInteger(int32_t{7});  // the state part's version
    }
    stream.Seek(0, platform::TSeekOrigin::soBeginning);
    TnxReader r(stream);
    try {
      a->LoadSettingsFromStream(r);
      ADD_FAILURE();
    } catch (const EnxComponentException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeIncompatibleStream);
      EXPECT_STREQ(e.what(), "RevurOV: a: Incompatible stream [$3C8A/15498]");
    }
  }
  TnxComponent::Free(a);
}

// Loading the group from the start of the stream refuses it as incompatible.
void ExpectGroupLoadIncompatible(TnxIterationList& aGroup, TnxMemoryStream& aStream) {
  aStream.Seek(0, platform::TSeekOrigin::soBeginning);
  TnxReader r(aStream);
  try {
    nxLoadSettingsFromStream(aGroup, r);
    ADD_FAILURE();
  } catch (const EnxComponentException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeIncompatibleStream);
  }
}

TEST_F(SettingsTest, GroupSettingsRoundTripSkippingUnnamedAndUnknown) {
  auto* a = Make<TStatsComponent>(u"Alpha");
  auto* b = Make<TStatsComponent>(u"beta");
  auto* unnamed = Make<TStatsComponent>(u"");
  TnxComponent::LinkDependent(a, b);
  TnxComponent::LinkDependent(b, unnamed);
  a->SetEventLogEnabled(true);
  b->Open();
  std::unique_ptr<TnxIterationList> group(a->IterateDependents());
  ASSERT_EQ(group->Count(), 3);
  TnxMemoryStream stream;
  {
    TnxWriter w(stream);
    nxSaveSettingsToStream(*group, w);
  }

  // Read into a group that lacks "beta" and spells "alpha" differently.
  auto* alpha2 = Make<TStatsComponent>(u"ALPHA");
  TnxIterationList other;
  other.Add(alpha2);
  stream.Seek(0, platform::TSeekOrigin::soBeginning);
  {
    TnxReader r(stream);
    nxLoadSettingsFromStream(other, r);
    EXPECT_EQ(r.BytesLeft(), 0);
  }
  EXPECT_TRUE(alpha2->GetEventLogEnabled());
  EXPECT_EQ(alpha2->SavedActive(), 0);

  // The same stream into the original names: beta's Active comes back.
  auto* beta2 = Make<TStatsComponent>(u"beta");
  TnxIterationList same;
  same.Add(beta2);
  stream.Seek(0, platform::TSeekOrigin::soBeginning);
  {
    TnxReader r(stream);
    nxLoadSettingsFromStream(same, r);
  }
  EXPECT_EQ(beta2->SavedActive(), 1);
  for (TnxComponent* c : std::initializer_list<TnxComponent*>{a, b, unnamed, alpha2, beta2})
    TnxComponent::Free(c);
}

TEST_F(SettingsTest, GroupVersionOneIsReadInlineWithExactNames) {
  auto* a = Make<TStatsComponent>(u"a");
  auto* b = Make<TStatsComponent>(u"b");
  TnxIterationList group;
  group.Add(a);
  group.Add(b);
  auto writeV1 = [](TnxMemoryStream& s, std::u16string names) {
    TnxWriter w(s);
    w.WriteInteger(int32_t{1});
    w.WriteString(names);
    for (const char16_t* n : {u"b", u"a"}) {
      w.WriteInteger(int32_t{1});
      w.WriteString(n);
      w.WriteInteger(int32_t{1});
      w.WriteBoolean(true);
      w.WriteBoolean(std::u16string_view(n) == u"a");
    }
  };
  TnxMemoryStream ok;
  writeV1(ok, u"b\r\na");
  ok.Seek(0, platform::TSeekOrigin::soBeginning);
  {
    TnxReader r(ok);
    nxLoadSettingsFromStream(group, r);
  }
  EXPECT_EQ(a->SavedActive(), 1);
  EXPECT_EQ(b->SavedActive(), 0);
  EXPECT_TRUE(b->GetEventLogEnabled());

  TnxMemoryStream wrongCase;
  writeV1(wrongCase, u"B\r\na");
  ExpectGroupLoadIncompatible(group, wrongCase);
  TnxComponent::Free(a);
  TnxComponent::Free(b);
}

TEST_F(SettingsTest, BadGroupStreamsFailCleanly) {
  auto* a = Make<TStatsComponent>(u"a");
  TnxIterationList group;
  group.Add(a);
  struct Case {
    const char* what;
    std::function<void(TnxWriter&)> write;
  };
  std::vector<Case> cases = {
      {"unknown version", [](TnxWriter& w) { w.WriteInteger(int32_t{3}); }},
      {"block longer than the stream",
       [](TnxWriter& w) {
         w.WriteInteger(int32_t{2});
         w.WriteListBegin();
         w.WriteString(u"a");
         w.WriteInteger(int64_t{1} << 40);
       }},
      {"negative block length",
       [](TnxWriter& w) {
         w.WriteInteger(int32_t{2});
         w.WriteListBegin();
         w.WriteString(u"a");
         w.WriteInteger(int32_t{-5});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnxMemoryStream s;
    {
      TnxWriter w(s);
      c.write(w);
    }
    ExpectGroupLoadIncompatible(group, s);
  }
  TnxComponent::Free(a);
}

TEST_F(SettingsTest, StatisticsShowUptimeAndLastStartError) {
  auto* c = Make<TStatsComponent>(u"c");
  platform::TStringList captions, values;
  c->GetStatsCaptions(captions);
  EXPECT_EQ(LinesOf(captions), (std::vector<std::u16string>{u"Uptime", u"Last Start Error"}));
  EXPECT_TRUE(c->UIStatsVisible());
  c->GetStatsValues(values);
  EXPECT_EQ(LinesOf(values), (std::vector<std::u16string>{u"", u""}));
  c->Open();
  gClock += 2 + (3 * 3600 + 4 * 60 + 5) / 86400.0;
  values.Clear();
  c->GetStatsValues(values);
  EXPECT_EQ(values[0], u"2.03:04:05");
  c->Close();
  c->failStart = true;
  EXPECT_THROW(c->Open(), EnxStateComponentException);
  values.Clear();
  c->GetStatsValues(values);
  EXPECT_EQ(LinesOf(values), (std::vector<std::u16string>{u"", u"RevurOV: c: no port [no error code]"}));

  auto* plain = Make<TNullLog>(u"log");
  captions.Clear();
  plain->GetStatsCaptions(captions);
  EXPECT_EQ(captions.Count(), 0);
  EXPECT_FALSE(plain->UIStatsVisible());
  EXPECT_EQ(plain->GetDisplayOnlyValue(u"x"), u"(not implemented)");
  TnxComponent::Free(c);
  TnxComponent::Free(plain);
}

TEST_F(SettingsTest, LoggingNeedsBothALogAndTheFlagAndDestroyingTheLogClearsIt) {
  auto* c = Make<TStatsComponent>(u"c");
  c->SetEventLogEnabled(true);
  EXPECT_NO_THROW(c->lcLog(u"nothing", 0, lpInfo, u"default", 0, 0));
  auto* log = Make<TNullLog>(u"log");
  c->SetEventLog(log);
  c->SetEventLogEnabled(false);
  c->lcLog(u"off", 0, lpInfo, u"default", 0, 0);
  EXPECT_EQ(log->writes, 0);
  c->SetEventLogEnabled(true);
  c->lcLog(u"one", 0, lpInfo, u"default", 0, 0);
  c->lcLog(u"%d", {2}, 0, lpInfo, u"default", 0, 0);
  c->lcLog(u"block", "xy", 2, 0, lpInfo, u"default", 0, 0);
  c->lcLogs({u"a", u"b"}, 0, lpInfo, u"default", 0, 0);
  EXPECT_EQ(log->writes, 4);
  EXPECT_FALSE(log->Enabled());
  log->SetEnabled(true);
  EXPECT_TRUE(log->Enabled());
  EXPECT_TRUE(log->HasDependent(c));
  TnxComponent::Free(log);
  EXPECT_EQ(c->EventLog(), nullptr);
  c->lcLog(u"after", 0, lpInfo, u"default", 0, 0);
  TnxComponent::Free(c);
}

}  // namespace
}  // namespace revurov
