// Logs and loggable components. The library ships no concrete log: unless an
// application attaches one, every log call of a component does nothing.
//
// Contract: a log's `Enabled` is read and written under its dependents-list
// lock; a concrete log serialises its own writes. A loggable component is
// linked with its log both ways, so the component drops its reference when
// the log is destroyed. `lcLog` takes no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "lowlevel/components/component.h"
#include "lowlevel/components/component_info.h"

namespace revurov {

enum TnxLogPriority : uint8_t { lpDebug = 0, lpInfo = 1, lpWarn = 2, lpError = 3, lpFatal = 4 };

// A structured log entry.
class InxLogData {
public:
  virtual ~InxLogData() = default;
};

REVUROV_COMPONENT_EXCEPTION_CLASS(EnxBaseLogException, EnxRegisterableComponentException);
REVUROV_COMPONENT_EXCEPTION_CLASS(EnxLoggableComponentException, EnxRegisterableComponentException);

using TnxLogLines = std::vector<std::u16string>;

class TnxBaseLog : public TnxRegisterableComponent {
  REVUROV_COMPONENT_CLASS(TnxBaseLog, TnxRegisterableComponent)
  using TnxRegisterableComponent::TnxRegisterableComponent;

  const TnxComponentExceptionClass& GetExceptionClass() const override;

  bool Enabled() const;
  virtual void SetEnabled(bool aValue);
  virtual void Clear() {}
  virtual void Flush() {}
  virtual void WriteBlock(std::u16string_view aText, const void* aBuffer, std::size_t aLength,
                          uint32_t aMsgNumber, TnxLogPriority aPriority,
                          std::u16string_view aCategory, double aTime, int32_t aTimeBias) = 0;
  virtual void WriteString(std::u16string_view aMessage, uint32_t aMsgNumber,
                           TnxLogPriority aPriority, std::u16string_view aCategory, double aTime,
                           int32_t aTimeBias) = 0;
  virtual void WriteString(std::u16string_view aFormat, std::initializer_list<platform::TFormatArg> aArgs,
                           uint32_t aMsgNumber, TnxLogPriority aPriority,
                           std::u16string_view aCategory, double aTime, int32_t aTimeBias) = 0;
  virtual void WriteStrings(const TnxLogLines& aLines, uint32_t aMsgNumber,
                            TnxLogPriority aPriority, std::u16string_view aCategory, double aTime,
                            int32_t aTimeBias) = 0;
  virtual void WriteLogData(InxLogData* aEntry) = 0;

private:
  bool blEnabled = false;
};

class InxLoggableComponentInfo31000 : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{A777D270-3FF8-4CF2-929A-659CDBA2C02C}");
  virtual bool GetLogEnabled() = 0;
  // The event log's information; null without a log.
  virtual platform::TInterfacePtr<InxComponentInfo31000> GetEventLogInfo() = 0;
};

class TnxLoggableComponentInfo : public TnxComponentInfo, public InxLoggableComponentInfo31000 {
public:
  using TnxComponentInfo::TnxComponentInfo;
  bool GetLogEnabled() override;
  platform::TInterfacePtr<InxComponentInfo31000> GetEventLogInfo() override;

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;
};

class TnxLoggableComponent : public TnxRegisterableComponent {
  REVUROV_COMPONENT_CLASS(TnxLoggableComponent, TnxRegisterableComponent)
  using TnxRegisterableComponent::TnxRegisterableComponent;

  const TnxComponentExceptionClass& GetExceptionClass() const override;
  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override;
  platform::TInterfacePtr<platform::IInterface> GetComponentInfo() override;

  TnxBaseLog* EventLog() const noexcept { return lcEventLog; }
  virtual bool GetEventLogEnabled() const { return lcLogEnabled; }
  virtual void SetEventLog(TnxBaseLog* aLog);
  virtual void SetEventLogEnabled(bool aValue) { lcLogEnabled = aValue; }

  virtual void lcLog(std::u16string_view aMessage, uint32_t aMsgNumber, TnxLogPriority aPriority,
                     std::u16string_view aCategory, double aTime, int32_t aTimeBias);
  virtual void lcLog(std::u16string_view aFormat, std::initializer_list<platform::TFormatArg> aArgs,
                     uint32_t aMsgNumber, TnxLogPriority aPriority, std::u16string_view aCategory,
                     double aTime, int32_t aTimeBias);
  virtual void lcLog(std::u16string_view aMessage, const void* aData, std::size_t aLength,
                     uint32_t aMsgNumber, TnxLogPriority aPriority, std::u16string_view aCategory,
                     double aTime, int32_t aTimeBias);
  virtual void lcLogs(const TnxLogLines& aLines, uint32_t aMsgNumber, TnxLogPriority aPriority,
                      std::u16string_view aCategory, double aTime, int32_t aTimeBias);

private:
  bool Logging() const noexcept { return lcLogEnabled && lcEventLog; }

  TnxBaseLog* lcEventLog = nullptr;
  bool lcLogEnabled = false;
};

}  // namespace revurov
