// Describable settings and the stores that keep a component's
// configuration, for an administration front end and a server's
// configuration file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "lowlevel/heap/memory_manager.h"
#include "platform/variant.h"

namespace revurov {

namespace platform {
class TStream;
}  // namespace platform

enum TnxSettingType : uint8_t {
  nxstString = 0,
  nxstInteger = 1,
  nxstBoolean = 2,
  nxstStream = 3,
  nxstList = 4,
  nxstThreadPriority = 5,
  nxstSingleOption = 6,
  nxstMultiOption = 7,
  nxstAliases = 8,
  nxstUsers = 9,
  nxstExtended = 10,
  nxstPasswordString = 11,
  nxstCaption = 12,
  nxstMemo = 13,
  nxstPasswordMemo = 14,
};

// One describable setting, for an administration front end.
class TnxBaseSetting : public TnxObject {
public:
  TnxBaseSetting() = default;
  TnxBaseSetting(std::u16string aName, TnxSettingType aType, platform::TnxVariant aDefaultValue,
                 std::u16string aPropertyName, std::u16string aHint = {});

  bool fEnforceValues = false;
  platform::TnxVariant fDefaultValue;
  platform::TnxVariant fMin;
  platform::TnxVariant fMax;
  std::u16string fValueList;
  std::u16string fPropertyName;
  std::u16string fName;
  std::u16string fHint;
  TnxSettingType fSettingType = nxstString;
  std::u16string fLabel;
  bool fHideFromGUI = false;
  bool fNotQueryable = false;

  // fLabel, else fName with a blank before every later capital A-Z.
  std::u16string Label() const;
};

// A collection of settings; every operation is abstract here.
class TnxBaseSettings : public TnxObject {
public:
  virtual TnxBaseSetting* GetSetting(int aIndex);
  virtual void SetSetting(int aIndex, TnxBaseSetting* aValue);
  // Keeps the setting; returns it.
  virtual TnxBaseSetting* AddSetting(std::unique_ptr<TnxBaseSetting> aSetting);
  virtual void RemoveSetting(int aIndex);
};

class TnxBaseServerConfiguration;

// The stored configuration of one component. The base stores nothing:
// GetValue answers an unassigned variant.
class TnxBaseComponentConfiguration : public TnxObject {
public:
  explicit TnxBaseComponentConfiguration(TnxBaseServerConfiguration* aConfig) : fConfig(aConfig) {}
  virtual platform::TnxVariant GetValue(std::u16string_view aName,
                                        const platform::TnxVariant& aDefault);
  virtual void SetValue(std::u16string_view aName, const platform::TnxVariant& aValue);
  virtual void GetValueStream(std::u16string_view aName, platform::TStream& aStream);
  virtual void SetValueStream(std::u16string_view aName, platform::TStream& aStream);
  TnxBaseServerConfiguration* Config() const noexcept { return fConfig; }

protected:
  TnxBaseServerConfiguration* fConfig;
};

// A configuration store (a server's configuration file).
class TnxBaseServerConfiguration : public TnxObject {
public:
  explicit TnxBaseServerConfiguration(std::u16string aFileName) : fFileName(std::move(aFileName)) {}
  virtual void EnsureComponentConfiguration(std::u16string_view aComponentName,
                                            TnxBaseSettings& aSettings) = 0;
  virtual TnxBaseComponentConfiguration* GetComponentConfiguration(
      std::u16string_view aComponentName) = 0;
  virtual void Save() = 0;

  bool fReportErrors = false;
  std::u16string fFileName;
  std::u16string fConfigErrors;
};

// A 64-bit integer with the locale's thousands separators, no decimals.
std::u16string nxFormatGrouped(int64_t aValue);

}  // namespace revurov
