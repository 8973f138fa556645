#include "lowlevel/components/log.h"

namespace revurov {

using platform::TFormatArg;
using platform::IInterface;
using platform::TGUID;
using platform::TInterfacePtr;

const TnxComponentExceptionClass& TnxBaseLog::GetExceptionClass() const {
  return nxComponentExceptionClass<EnxBaseLogException>();
}

bool TnxBaseLog::Enabled() const {
  DependentsGuard guard(Dependents());
  return blEnabled;
}

void TnxBaseLog::SetEnabled(bool aValue) {
  DependentsGuard guard(Dependents());
  blEnabled = aValue;
}

const TnxComponentExceptionClass& TnxLoggableComponent::GetExceptionClass() const {
  return nxComponentExceptionClass<EnxLoggableComponentException>();
}

void TnxLoggableComponent::DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) {
  TnxRegisterableComponent::DependentNotify(aSender, aOp, aData);
  if (aOp == nxn_Destroying && aSender && aSender == lcEventLog) lcEventLog = nullptr;
}

TInterfacePtr<IInterface> TnxLoggableComponent::GetComponentInfo() {
  return TInterfacePtr<IInterface>(
      static_cast<InxComponentInfo31000*>(nxCreate<TnxLoggableComponentInfo>(this)));
}

bool TnxLoggableComponentInfo::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxLoggableComponentInfo31000>(this, iid, obj) ||
         TnxComponentInfo::GetInterface(iid, obj);
}

bool TnxLoggableComponentInfo::GetLogEnabled() {
  return WithComponent(false, [](TnxComponent* c) {
    return static_cast<TnxLoggableComponent*>(c)->GetEventLogEnabled();
  });
}

TInterfacePtr<InxComponentInfo31000> TnxLoggableComponentInfo::GetEventLogInfo() {
  return WithComponent(TInterfacePtr<InxComponentInfo31000>(), [](TnxComponent* c) {
    TnxBaseLog* log = static_cast<TnxLoggableComponent*>(c)->EventLog();
    void* info = nullptr;
    if (!log || log->nxcCreateInstance(nullptr, nxComponentInfoClassID, nullptr,
                                       InxComponentInfo31000::IID, &info) != platform::S_OK)
      return TInterfacePtr<InxComponentInfo31000>();
    return TInterfacePtr<InxComponentInfo31000>::Attach(static_cast<InxComponentInfo31000*>(info));
  });
}

void TnxLoggableComponent::SetEventLog(TnxBaseLog* aLog) {
  if (aLog == lcEventLog) return;
  UnlinkDependent(this, lcEventLog);
  lcEventLog = aLog;
  LinkDependent(this, lcEventLog);
}

void TnxLoggableComponent::lcLog(std::u16string_view aMessage, uint32_t aMsgNumber,
                                 TnxLogPriority aPriority, std::u16string_view aCategory,
                                 double aTime, int32_t aTimeBias) {
  if (Logging())
    lcEventLog->WriteString(aMessage, aMsgNumber, aPriority, aCategory, aTime, aTimeBias);
}

void TnxLoggableComponent::lcLog(std::u16string_view aFormat,
                                 std::initializer_list<TFormatArg> aArgs, uint32_t aMsgNumber,
                                 TnxLogPriority aPriority, std::u16string_view aCategory,
                                 double aTime, int32_t aTimeBias) {
  if (Logging())
    lcEventLog->WriteString(aFormat, aArgs, aMsgNumber, aPriority, aCategory, aTime, aTimeBias);
}

void TnxLoggableComponent::lcLog(std::u16string_view aMessage, const void* aData,
                                 std::size_t aLength, uint32_t aMsgNumber,
                                 TnxLogPriority aPriority, std::u16string_view aCategory,
                                 double aTime, int32_t aTimeBias) {
  if (Logging())
    lcEventLog->WriteBlock(aMessage, aData, aLength, aMsgNumber, aPriority, aCategory, aTime,
                           aTimeBias);
}

void TnxLoggableComponent::lcLogs(const TnxLogLines& aLines, uint32_t aMsgNumber,
                                  TnxLogPriority aPriority, std::u16string_view aCategory,
                                  double aTime, int32_t aTimeBias) {
  if (Logging())
    lcEventLog->WriteStrings(aLines, aMsgNumber, aPriority, aCategory, aTime, aTimeBias);
}

}  // namespace revurov
