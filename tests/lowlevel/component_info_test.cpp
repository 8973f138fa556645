#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lowlevel/components/state_component.h"

namespace revurov {

using platform::TFormatArg;
using platform::TGUID;
using platform::TInterfacePtr;
namespace {

class TInfoLog : public TnxBaseLog {
  REVUROV_COMPONENT_CLASS(TInfoLog, TnxBaseLog)
  using TnxBaseLog::TnxBaseLog;
  void WriteBlock(std::u16string_view, const void*, std::size_t, uint32_t, TnxLogPriority,
                  std::u16string_view, double, int32_t) override {}
  void WriteString(std::u16string_view, uint32_t, TnxLogPriority, std::u16string_view, double,
                   int32_t) override {}
  void WriteString(std::u16string_view, std::initializer_list<TFormatArg>, uint32_t,
                   TnxLogPriority, std::u16string_view, double, int32_t) override {}
  void WriteStrings(const TnxLogLines&, uint32_t, TnxLogPriority, std::u16string_view, double,
                    int32_t) override {}
  void WriteLogData(InxLogData*) override {}
};

class TInfoState : public TnxStateComponent {
  REVUROV_COMPONENT_CLASS(TInfoState, TnxStateComponent)
  using TnxStateComponent::TnxStateComponent;
  bool StatsIncludeLastStartError() const override { return true; }
};

template <class I>
TInterfacePtr<I> Info(TnxComponent* aComponent) {
  void* out = nullptr;
  if (aComponent->nxcCreateInstance(nullptr, nxComponentInfoClassID, nullptr, I::IID, &out) !=
      platform::S_OK)
    return nullptr;
  return TInterfacePtr<I>::Attach(static_cast<I*>(out));
}

TEST(ComponentInfo, CreateInstanceAnswersOnlyTheInformationClass) {
  auto* c = new TnxComponent(nullptr);
  c->SetName(u"comp");
  void* out = c;
  constexpr TGUID other = platform::nxGuid("{11111111-2222-3333-4444-555555555555}");
  EXPECT_EQ(c->nxcCreateInstance(nullptr, other, nullptr, InxComponentInfo31000::IID, &out),
            platform::E_NOTIMPL);
  EXPECT_EQ(out, nullptr);
  // An outer object (aggregation) is refused too.
  TInterfacePtr<InxComponentInfo31000> some = Info<InxComponentInfo31000>(c);
  ASSERT_TRUE(some);
  out = c;
  EXPECT_EQ(c->nxcCreateInstance(nullptr, nxComponentInfoClassID, some.Get(),
                                 InxComponentInfo31000::IID, &out),
            platform::E_NOTIMPL);
  EXPECT_EQ(out, nullptr);
  // A plain component has no loggable part; one object serves every query.
  EXPECT_FALSE(Info<InxLoggableComponentInfo31000>(c));
  EXPECT_EQ(Info<InxComponentInfo31000>(c).Get(), some.Get());
  EXPECT_EQ(some->GetClassName(), u"TnxComponent");
  EXPECT_EQ(some->GetName(), u"comp");
  EXPECT_TRUE(some->GetStatsCaptions().empty());
  TnxComponent::Free(c);
}

TEST(ComponentInfo, StateComponentInformationReadsTheLiveComponent) {
  auto* log = new TInfoLog(nullptr);
  log->SetName(u"log");
  log->SetDisplayCategory(u"Logs");
  auto* c = new TInfoState(nullptr);
  c->SetName(u"engine");
  c->SetDisplayName(u"Engine 1");

  auto state = Info<InxStateComponentInfo31000>(c);
  auto loggable = Info<InxLoggableComponentInfo31000>(c);
  auto general = Info<InxComponentInfo31000>(c);
  ASSERT_TRUE(state && loggable && general);
  EXPECT_EQ(general->GetClassName(), u"TInfoState");
  EXPECT_EQ(general->GetDisplayName(), u"Engine 1");
  EXPECT_EQ(state->GetState(), nxsInactive);
  c->Open();
  EXPECT_EQ(state->GetState(), nxsStarted);
  EXPECT_EQ(general->GetStatsCaptions(), (std::vector<std::u16string>{u"Last Start Error"}));
  EXPECT_EQ(general->GetStatsValues(), (std::vector<std::u16string>{u""}));

  EXPECT_FALSE(loggable->GetLogEnabled());
  EXPECT_FALSE(loggable->GetEventLogInfo());
  c->SetEventLog(log);
  c->SetEventLogEnabled(true);
  EXPECT_TRUE(loggable->GetLogEnabled());
  auto logInfo = loggable->GetEventLogInfo();
  ASSERT_TRUE(logInfo);
  EXPECT_EQ(logInfo->GetName(), u"log");
  EXPECT_EQ(logInfo->GetDisplayCategory(), u"Logs");

  // Information objects outlive their components without reaching them
  // (ASan): everything answers empty.
  TnxComponent::Free(log);
  EXPECT_EQ(logInfo->GetName(), u"");
  EXPECT_FALSE(loggable->GetEventLogInfo());
  TnxComponent::Free(c);
  EXPECT_EQ(general->GetName(), u"");
  EXPECT_TRUE(general->GetStatsValues().empty());
  EXPECT_EQ(state->GetState(), nxsInactive);
  EXPECT_FALSE(loggable->GetLogEnabled());
}

TEST(ComponentInfo, LifetimeMonitorOfAComponent) {
  auto* c = new TnxComponent(nullptr);
  auto monitor = c->GetLifetimeMonitor();
  ASSERT_TRUE(monitor);
  EXPECT_EQ(c->GetLifetimeMonitor().Get(), monitor.Get());
  EXPECT_TRUE(monitor->IsAlive());
  TnxComponent::Free(c);
  EXPECT_FALSE(monitor->IsAlive());
  // A plain delete tells the monitor too.
  auto* d = new TnxComponent(nullptr);
  auto other = d->GetLifetimeMonitor();
  delete d;
  EXPECT_FALSE(other->IsAlive());
}

}  // namespace
}  // namespace revurov
