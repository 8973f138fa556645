// A component configuration held in a map and a settings list held in a
// vector, for configuration tests.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lowlevel/components/component_settings.h"
#include "platform/variant.h"

namespace revurov::testing {

class TMapConfiguration : public TnxBaseComponentConfiguration {
public:
  TMapConfiguration() : TnxBaseComponentConfiguration(nullptr) {}
  std::map<std::u16string, platform::TnxVariant> values;
  platform::TnxVariant GetValue(std::u16string_view aName, const platform::TnxVariant& aDefault) override {
    auto it = values.find(std::u16string(aName));
    return it == values.end() ? aDefault : it->second;
  }
  void SetValue(std::u16string_view aName, const platform::TnxVariant& aValue) override {
    values[std::u16string(aName)] = aValue;
  }
};

class TListedSettings : public TnxBaseSettings {
public:
  std::vector<std::unique_ptr<TnxBaseSetting>> items;
  TnxBaseSetting* AddSetting(std::unique_ptr<TnxBaseSetting> aSetting) override {
    items.push_back(std::move(aSetting));
    return items.back().get();
  }
};

}  // namespace revurov::testing
