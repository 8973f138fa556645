#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lowlevel/components/component_settings.h"
#include "lowlevel/components/state_component.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/exception_data.h"
#include "platform/format.h"
#include "platform/rtl_exception.h"

namespace revurov {
namespace {

using platform::TnxVariant;

// A settings collection that keeps what it is given.
class TSettingsList : public TnxBaseSettings {
public:
  std::vector<std::unique_ptr<TnxBaseSetting>> items;
  TnxBaseSetting* GetSetting(int aIndex) override { return items.at(aIndex).get(); }
  TnxBaseSetting* AddSetting(std::unique_ptr<TnxBaseSetting> aSetting) override {
    items.push_back(std::move(aSetting));
    return items.back().get();
  }
};

// A component configuration over a map; missing names answer the default.
class TMapConfiguration : public TnxBaseComponentConfiguration {
public:
  TMapConfiguration() : TnxBaseComponentConfiguration(nullptr) {}
  std::map<std::u16string, TnxVariant> values;
  TnxVariant GetValue(std::u16string_view aName, const TnxVariant& aDefault) override {
    auto at = values.find(std::u16string(aName));
    return at == values.end() ? aDefault : at->second;
  }
  void SetValue(std::u16string_view aName, const TnxVariant& aValue) override {
    values[std::u16string(aName)] = aValue;
  }
};

class TConfigured : public TnxStateComponent {
  REVUROV_COMPONENT_CLASS(TConfigured, TnxStateComponent)
  using TnxStateComponent::TnxStateComponent;
  bool StatsIncludeLastStartError() const override { return true; }
  bool failStart = false;

protected:
  void DoStart() override {
    if (failStart) RaiseError(int64_t{nxeIncompatibleStream}, u"port %d taken", {8080});
  }
};

TEST(ComponentSettings, LabelsSplitTheNameAtCapitalsUnlessSet) {
  struct Case {
    std::u16string name, label, expected;
  } cases[] = {
      {u"EventLogEnabled", u"", u"Event Log Enabled"},
      {u"Active", u"", u"Active"},
      {u"maxRAM", u"", u"max R A M"},
      {u"", u"", u""},
      {u"EventLogEnabled", u"Protokoll", u"Protokoll"},
  };
  for (const Case& c : cases) {
    TnxBaseSetting s;
    s.fName = c.name;
    s.fLabel = c.label;
    EXPECT_EQ(s.Label(), c.expected);
  }
}

TEST(ComponentSettings, BaseCollectionIsAbstract) {
  TnxBaseSettings settings;
  EXPECT_THROW(settings.GetSetting(0), platform::EAbstractError);
  EXPECT_THROW(settings.SetSetting(0, nullptr), platform::EAbstractError);
  EXPECT_THROW(settings.RemoveSetting(0), platform::EAbstractError);
  // The setting handed over is not leaked (ASan).
  EXPECT_THROW(settings.AddSetting(std::make_unique<TnxBaseSetting>()), platform::EAbstractError);
}

TEST(ComponentSettings, StateComponentOffersActiveAndEventLogEnabled) {
  auto* c = new TConfigured(nullptr);
  TSettingsList settings;
  c->GetConfigSettings(settings);
  ASSERT_EQ(settings.items.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const TnxBaseSetting& s = *settings.items[i];
    EXPECT_EQ(s.fName, i == 0 ? u"Active" : u"EventLogEnabled");
    EXPECT_EQ(s.fPropertyName, s.fName);
    EXPECT_EQ(s.fSettingType, nxstBoolean);
    EXPECT_EQ(s.fDefaultValue.AsString(), u"false");
  }
  TSettingsList none;
  auto* plain = new TnxComponent(nullptr);
  plain->GetConfigSettings(none);
  EXPECT_TRUE(none.items.empty());
  TnxComponent::Free(plain);
  TnxComponent::Free(c);
}

TEST(ComponentSettings, ConfigurationRoundTripAndLoadedEvent) {
  auto* a = new TConfigured(nullptr);
  a->SetEventLogEnabled(true);
  a->Open();
  TMapConfiguration config;
  a->SaveConfig(config);
  EXPECT_TRUE(config.values.at(u"EventLogEnabled").AsBoolean());
  EXPECT_TRUE(config.values.at(u"Active").AsBoolean());

  auto* b = new TConfigured(nullptr);
  int loaded = 0;
  b->nxcOnSettingsLoaded = [&](TnxComponent* aSender) {
    EXPECT_EQ(aSender, b);
    EXPECT_EQ(b->SavedActive(), 1);  // loading happened first
    ++loaded;
  };
  b->DoLoadConfig(config);
  EXPECT_EQ(loaded, 1);
  EXPECT_TRUE(b->GetEventLogEnabled());
  EXPECT_EQ(b->State(), nxsInactive);  // applied only by SwitchToSavedActive
  b->SwitchToSavedActive();
  EXPECT_EQ(b->State(), nxsStarted);

  // Stores keep text: "false" turns both off again; missing names keep the
  // current values.
  config.values[u"Active"] = TnxVariant::FromString(u"false");
  config.values.erase(u"EventLogEnabled");
  b->LoadConfig(config);
  EXPECT_EQ(b->SavedActive(), 0);
  EXPECT_TRUE(b->GetEventLogEnabled());

  // The base configuration answers nothing: the values stand.
  TnxBaseComponentConfiguration empty(nullptr);
  b->LoadConfig(empty);
  EXPECT_TRUE(b->GetEventLogEnabled());
  TnxComponent::Free(a);
  TnxComponent::Free(b);
}

TEST(ComponentSettings, GroupedNumbersUseTheThousandsSeparator) {
  const char16_t saved = platform::FormatSettings().ThousandSeparator;
  platform::FormatSettings().ThousandSeparator = u'.';
  struct Case {
    int64_t value;
    std::u16string text;
  } cases[] = {
      {0, u"0"},
      {999, u"999"},
      {1000, u"1.000"},
      {-1234567, u"-1.234.567"},
      {INT64_MAX, u"9.223.372.036.854.775.807"},
      {INT64_MIN, u"-9.223.372.036.854.775.808"},
  };
  for (const Case& c : cases) EXPECT_EQ(nxFormatGrouped(c.value), c.text) << c.value;
  platform::FormatSettings().ThousandSeparator = saved;
}

std::map<std::u16string, std::u16string> Flat(const TnxExceptionDataRef& aContainer) {
  std::map<std::u16string, std::u16string> r;
  for (int32_t i = 0; i < aContainer->Count(); ++i) {
    TnxExceptionDataValueRef v = aContainer->Values(i);
    r[v->Name()] = v->ValueKind() == edkContainer ? platform::Format(u"{%d}", {v->AsContainer()->Count()})
                                                  : v->AsString();
  }
  return r;
}

TEST(ComponentExceptionData, ComponentsDescribeThemselves) {
  auto* plain = new TnxComponent(nullptr);
  TnxExceptionDataRef data = nxCreateExceptionDataContainer(u"ExceptionData");
  plain->GetExceptionData(*data, false);
  auto flat = Flat(data);
  EXPECT_EQ(flat.size(), 3u);
  EXPECT_EQ(flat[u"ClassName"], u"TnxComponent");
  EXPECT_EQ(flat[u"Stats"], u"{0}");  // present even without statistics
  EXPECT_EQ(data->Values(0)->AsInteger(), reinterpret_cast<intptr_t>(plain));

  auto* c = new TConfigured(nullptr);
  c->SetName(u"srv");
  c->SetDisplayName(u"Server");
  c->SetDisplayCategory(u"Plugins");
  c->failStart = true;
  EXPECT_THROW(c->Open(), EnxStateComponentException);
  data = nxCreateExceptionDataContainer(u"ExceptionData");
  c->GetExceptionData(*data, false);
  flat = Flat(data);
  EXPECT_EQ(flat[u"ClassName"], u"TConfigured");
  EXPECT_EQ(flat[u"DisplayName"], u"Server");
  EXPECT_EQ(flat[u"DisplayCategory"], u"Plugins");
  EXPECT_EQ(flat[u"Stats"], u"{1}");
  EXPECT_EQ(flat[u"State"], u"Inactive");
  EXPECT_EQ(flat[u"StateTransition"], u"None");
  auto stats = Flat(data->Values(4)->AsContainer());
  EXPECT_EQ(stats[u"Last Start Error"], u"RevurOV: srv: port 8080 taken [$3C8A/15498]");
  TnxComponent::Free(plain);
  TnxComponent::Free(c);
}

TEST(ComponentExceptionData, FailedStepLeavesItsConversionInTheThreadSlot) {
  nxExceptionDataStartup();
  auto* c = new TConfigured(nullptr);
  c->SetName(u"srv");
  c->failStart = true;
  EnxBaseException::SetLastConvertedException(0, u"");
  EXPECT_THROW(c->Open(), EnxStateComponentException);
  uint32_t code = 0;
  std::u16string message;
  EnxBaseException::GetLastConvertedException(code, message);
  EXPECT_EQ(code, nxeIncompatibleStream);
  // The conversion carries the failing component's description.
  EXPECT_NE(message.find(u"$ExceptionData$"), std::u16string::npos);
  // A later exception of that code on this thread rebuilds it, state included.
  EnxBaseException rebuilt(static_cast<int64_t>(code));
  ASSERT_NE(rebuilt.ExceptionData(), nullptr);
  auto flat = Flat(rebuilt.ExceptionData());
  EXPECT_EQ(flat[u"ClassName"], u"TConfigured");
  EXPECT_EQ(flat[u"State"], u"Stopped");
  EXPECT_EQ(flat[u"StateTransition"], u"None");  // restored before the failure path
  TnxComponent::Free(c);
  nxExceptionDataShutdown();
}

}  // namespace
}  // namespace revurov
