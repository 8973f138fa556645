#include "lowlevel/components/component_settings.h"

#include "platform/format.h"
#include "platform/locale_text.h"
#include "platform/rtl_exception.h"

namespace revurov {

TnxBaseSetting::TnxBaseSetting(std::u16string aName, TnxSettingType aType,
                               platform::TnxVariant aDefaultValue, std::u16string aPropertyName,
                               std::u16string aHint)
    : fDefaultValue(std::move(aDefaultValue)),
      fPropertyName(std::move(aPropertyName)),
      fName(std::move(aName)),
      fHint(std::move(aHint)),
      fSettingType(aType) {}

std::u16string TnxBaseSetting::Label() const {
  if (!fLabel.empty()) return fLabel;
  std::u16string label;
  for (size_t i = 0; i < fName.size(); ++i) {
    if (i > 0 && fName[i] >= u'A' && fName[i] <= u'Z') label += u' ';
    label += fName[i];
  }
  return label;
}

namespace {
[[noreturn]] void AbstractCall() { throw platform::EAbstractError(platform::SAbstractError); }
}  // namespace

TnxBaseSetting* TnxBaseSettings::GetSetting(int) { AbstractCall(); }
void TnxBaseSettings::SetSetting(int, TnxBaseSetting*) { AbstractCall(); }
TnxBaseSetting* TnxBaseSettings::AddSetting(std::unique_ptr<TnxBaseSetting>) { AbstractCall(); }
void TnxBaseSettings::RemoveSetting(int) { AbstractCall(); }

platform::TnxVariant TnxBaseComponentConfiguration::GetValue(std::u16string_view,
                                                             const platform::TnxVariant&) {
  return {};
}
void TnxBaseComponentConfiguration::SetValue(std::u16string_view, const platform::TnxVariant&) {}
void TnxBaseComponentConfiguration::GetValueStream(std::u16string_view, platform::TStream&) {}
void TnxBaseComponentConfiguration::SetValueStream(std::u16string_view, platform::TStream&) {}

std::u16string nxFormatGrouped(int64_t aValue) {
  // Grouped from the integer's own digits: going through a double ("%.0n")
  // would round values beyond 2^53.
  const uint64_t magnitude =
      aValue < 0 ? ~static_cast<uint64_t>(aValue) + 1 : static_cast<uint64_t>(aValue);
  std::u16string digits = platform::Format(u"%d", {magnitude});
  const char16_t separator = platform::FormatSettings().ThousandSeparator;
  for (size_t pos = digits.size(); pos > 3; pos -= 3) digits.insert(pos - 3, 1, separator);
  return aValue < 0 ? u"-" + digits : digits;
}

}  // namespace revurov
