#include "lowlevel/components/state_component.h"

#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/date_time.h"
#include "platform/format.h"

namespace revurov {

using platform::IInterface;
using platform::TGUID;
using platform::TInterfacePtr;

const TnxState nxNextState[4][4] = {
    {nxsInactive, nxsUnsupported, nxsStopped, nxsStopped},
    {nxsUnsupported, nxsUnsupported, nxsUnsupported, nxsUnsupported},
    {nxsInactive, nxsInactive, nxsStopped, nxsStarted},
    {nxsStopped, nxsStopped, nxsStopped, nxsStarted},
};

const TnxStateTransition nxStateTransition[4][4] = {
    {nxstNone, nxstNone, nxstInitializing, nxstInvalid},
    {nxstInvalid, nxstNone, nxstInvalid, nxstInvalid},
    {nxstDeactivating, nxstInvalid, nxstNone, nxstStarting},
    {nxstInvalid, nxstInvalid, nxstStopping, nxstNone},
};

bool nxTransitionIsUpward(TnxStateTransition aTransition) noexcept {
  return aTransition == nxstInitializing || aTransition == nxstStarting;
}

std::u16string_view nxStateName(int aState) noexcept {
  static constexpr std::u16string_view names[] = {u"Inactive", u"Unsupported", u"Stopped",
                                                  u"Started"};
  return aState >= 0 && aState < 4 ? names[aState] : std::u16string_view();
}

std::u16string_view nxStateTransitionName(int aTransition) noexcept {
  static constexpr std::u16string_view names[] = {u"None",     u"Initializing", u"Deactivating",
                                                  u"Starting", u"Stopping",     u"Invalid"};
  return aTransition >= 0 && aTransition < 6 ? names[aTransition] : std::u16string_view();
}

namespace {

std::atomic<TnxNowFunction> gNow{nullptr};

double Now() {
  TnxNowFunction f = gNow.load(std::memory_order_relaxed);
  return f ? f() : platform::Now();
}

}  // namespace

void nxSetStateClock(TnxNowFunction aNow) noexcept { gNow.store(aNow); }

TnxStateComponent::TnxStateComponent(platform::TComponent* aOwner) : TnxLoggableComponent(aOwner) {}

TnxStateComponent::~TnxStateComponent() {
  // Only this class's steps can run here; Free deactivates while whole.
  try {
    SetActive(false);
  } catch (...) {
  }
}

void TnxStateComponent::BeforeDestruction() {
  try {
    SetActive(false);
  } catch (...) {
    // Going away cannot be refused.
  }
  TnxLoggableComponent::BeforeDestruction();
}

const TnxComponentExceptionClass& TnxStateComponent::GetExceptionClass() const {
  return nxComponentExceptionClass<EnxStateComponentException>();
}

void TnxStateComponent::DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) {
  TnxLoggableComponent::DependentNotify(aSender, aOp, aData);
  if ((aOp == nxn_StateChanging || aOp == nxn_StateChanged) && aData) {
    if (auto* other = dynamic_cast<TnxStateComponent*>(aSender)) {
      const auto* d = static_cast<const TnxStateChangeData*>(aData);
      DependencyStateChange(other, aOp == nxn_StateChanging, d->OldState, d->NewState);
    }
  }
}

TInterfacePtr<IInterface> TnxStateComponent::GetComponentInfo() {
  return TInterfacePtr<IInterface>(
      static_cast<InxComponentInfo31000*>(nxCreate<TnxStateComponentInfo>(this)));
}

bool TnxStateComponentInfo::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxStateComponentInfo31000>(this, iid, obj) ||
         TnxLoggableComponentInfo::GetInterface(iid, obj);
}

TnxState TnxStateComponentInfo::GetState() {
  return WithComponent(nxsInactive,
                       [](TnxComponent* c) { return static_cast<TnxStateComponent*>(c)->State(); });
}

void TnxStateComponent::SetEnabled(bool aValue) {
  if (aValue == scEnabled) return;
  if (!aValue) SetActive(false);
  scEnabled = aValue;
}

bool TnxStateComponent::GetActive() const {
  return scState == nxsStopped || scState == nxsStarted;
}

void TnxStateComponent::SetActive(bool aValue) {
  if (aValue)
    SetState(nxsStarted);
  else if (scState != nxsUnsupported)
    SetState(nxsInactive);
}

void TnxStateComponent::SetActiveRuntime(bool aValue) {
  scActiveRuntime = aValue;
  if (IsLoading() || IsDesigning()) return;
  try {
    SetActive(aValue);
  } catch (...) {
    scActiveRuntime = GetActive();
    throw;
  }
  scActiveRuntime = GetActive();
}

void TnxStateComponent::SetActiveDesigntime(bool aValue) {
  scActiveDesigntime = aValue;
  if (IsLoading() || !IsDesigning()) return;
  try {
    SetActive(aValue);
  } catch (...) {
    scActiveDesigntime = GetActive();
    throw;
  }
  scActiveDesigntime = GetActive();
}

void TnxStateComponent::Loaded() {
  TnxLoggableComponent::Loaded();
  if (GetActive()) return;
  if (IsDesigning()) {
    try {
      SetActive(scActiveDesigntime);
    } catch (const std::exception& e) {
      platform::ApplicationShowException(e);
    }
  } else {
    SetActive(scActiveRuntime);
  }
}

void TnxStateComponent::CheckInactive() {
  if (scState <= nxsUnsupported) return;
  if (IsDesigning() || IsUpdating())
    SetActive(false);
  else
    RaiseError(u"This component must be inactive when performing this operation.");
}

void TnxStateComponent::CheckInactiveOrStopped() {
  if (scState != nxsStarted) return;
  if (IsDesigning() || IsUpdating())
    SetState(nxsStopped);
  else
    RaiseError(u"This component must be inactive or stopped when performing this operation.");
}

void TnxStateComponent::CheckStarted() {
  if (scState != nxsStarted && (IsDesigning() || IsUpdating())) SetActive(true);
  if (scState != nxsStarted)
    RaiseError(u"This component must be started when performing this operation.");
}

void TnxStateComponent::SwitchToSavedActive() {
  if (scSavedActive != 0) SetActive(scSavedActive != 0);
  scSavedActive = 0;
}

bool TnxStateComponent::IsDependentOn(TnxStateComponent*) const { return false; }

void TnxStateComponent::RunStep(TnxStateTransition aTransition) {
  switch (aTransition) {
    case nxstNone:
      break;
    case nxstDeactivating:
      DoDeactivate();
      break;
    case nxstStopping:
      DoStop();
      break;
    case nxstInvalid:
      RaiseError(u"Invalid state transition.");
    case nxstInitializing:
    case nxstStarting:
      if (!scEnabled) RaiseError(u"The Component is disabled.");
      if (aTransition == nxstInitializing) {
        try {
          DoInitialize();
        } catch (...) {
          DoDeactivate();
          throw;
        }
      } else {
        try {
          DoStart();
        } catch (...) {
          DoStop();
          throw;
        }
      }
      break;
  }
}

void TnxStateComponent::SetState(TnxState aTarget) {
  if (aTarget == nxsStarted && scState != aTarget) scLastStartError.clear();
  while (scState != aTarget) {
    const TnxState old = scState;
    const TnxState next = nxNextState[old][aTarget];
    const TnxStateTransition saved = scStateTransition;
    const TnxStateTransition transition = nxStateTransition[old][next];
    scStateTransition = transition;
    DoStateTransChanged();
    auto restore = [&] {
      scStateTransition = saved;
      DoStateTransChanged();
    };
    bool vetoed = false;
    try {
      try {
        // An unsupported component never moves; a veto ends the walk quietly.
        if (next == old || !AllowStateChange(old, next)) {
          vetoed = true;
        } else {
          RunStep(transition);
          scState = next;
          DoStateChanged(old, next);
          if (next == nxsStopped) StateStopped();
          if (next == nxsStarted) StateStarted();
        }
      } catch (...) {
        restore();
        throw;
      }
      restore();
      if (vetoed) return;
    } catch (const platform::Exception& e) {
      if (aTarget == nxsInactive) {
        // Deactivation always completes.
        scState = next;
        continue;
      }
      StepFailed(e, old, next, aTarget);
      throw;
    } catch (...) {
      if (aTarget == nxsInactive) {
        scState = next;
        continue;
      }
      throw;
    }
  }
}

void TnxStateComponent::StepFailed(const platform::Exception& aError, TnxState aOld,
                                   TnxState aNext, TnxState aTarget) {
  if (aTarget == nxsStarted) scLastStartError = aError.Message();
  // Converted with this component, so that the thread's last-converted slot
  // holds the code, text and this component's description.
  const uint32_t code = nxConvertException(aError, nullptr, this);
  lcLog(u"Error while changing state (%s -> %s): %s: %s",
        {nxStateName(aOld), nxStateName(aNext), aError.ClassName(), aError.Message()}, code,
        lpError, u"default", 0, 0x0FFFFFFF);
  try {
    SetState(nxsInactive);
  } catch (...) {
  }
}

bool TnxStateComponent::AllowStateChange(TnxState aOld, TnxState aNext) {
  TnxStateChangeData data{aOld, aNext};
  try {
    NotifyDependents(nxn_StateChanging, &data);
  } catch (const EnxAbortStateChange&) {
    return false;
  }
  return true;
}

void TnxStateComponent::DoStateChanged(TnxState aOld, TnxState aNew) {
  if (IsDesigning())
    scActiveDesigntime = aNew == nxsStarted;
  else
    scActiveRuntime = aNew == nxsStarted;
  TnxStateChangeData data{aOld, aNew};
  NotifyDependents(nxn_StateChanged, &data);
  if (OnStateChanged) OnStateChanged(this);
  scStartTime = aOld != aNew && aNew == nxsStarted ? Now() : 0;
}

void TnxStateComponent::DoStateTransChanged() {
  if (OnStateTransChanged) OnStateTransChanged(this, scStateTransition);
}

void TnxStateComponent::DependencyStateChange(TnxStateComponent* aOther, bool aChanging,
                                              TnxState aOtherOld, TnxState aOtherNew) {
  if (scStateTransition != nxstNone) return;
  if (aOtherOld > nxsStarted || aOtherNew > nxsStarted) return;
  const TnxStateTransition t = nxStateTransition[aOtherOld][aOtherNew];
  if (t == nxstNone || t == nxstInvalid) return;
  if (FollowsStateChange(aOther, aChanging, t, aOtherNew)) SetState(aOtherNew);
}

bool TnxStateComponent::FollowsStateChange(TnxStateComponent* aOther, bool aChanging,
                                           TnxStateTransition aTransition, TnxState aTarget) {
  if (!aChanging) return false;
  const TnxStateTransition mine = nxStateTransition[scState][nxNextState[scState][aTarget]];
  if (nxTransitionIsUpward(aTransition))
    return nxTransitionIsUpward(mine) && aOther->IsDependentOn(this);
  return !nxTransitionIsUpward(mine) && IsDependentOn(aOther);
}

void TnxStateComponent::SaveSettingsToStream(TnxWriter& aWriter) {
  TnxLoggableComponent::SaveSettingsToStream(aWriter);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteBoolean(GetEventLogEnabled());
  aWriter.WriteBoolean(GetActive());
}

void TnxStateComponent::LoadSettingsFromStream(TnxReader& aReader) {
  TnxLoggableComponent::LoadSettingsFromStream(aReader);
  if (aReader.ReadInteger() != 1) RaiseError(nxeIncompatibleStream);
  SetEventLogEnabled(aReader.ReadBoolean());
  // Applied later, by SwitchToSavedActive.
  scSavedActive = aReader.ReadBoolean() ? 1 : 0;
}

void TnxStateComponent::GetStatsCaptions(platform::TStringList& aList) const {
  if (StatsIncludeUptime()) aList.Add(u"Uptime");
  if (StatsIncludeLastStartError()) aList.Add(u"Last Start Error");
  TnxLoggableComponent::GetStatsCaptions(aList);
}

void TnxStateComponent::GetStatsValues(platform::TStringList& aList) const {
  if (StatsIncludeUptime()) {
    std::u16string uptime;
    if (scStartTime != 0) {
      const double span = Now() - scStartTime;
      // Whole seconds, so that 23:59:59.9 never shows as 24:00:00.
      const int64_t secs = span > 0 ? static_cast<int64_t>(span * 86400.0 + 1e-6) : 0;
      uptime = platform::Format(u"%d.%.2d:%.2d:%.2d", {secs / 86400, secs / 3600 % 24,
                                                       secs / 60 % 60, secs % 60});
    }
    aList.Add(uptime);
  }
  if (StatsIncludeLastStartError()) aList.Add(scLastStartError);
  TnxLoggableComponent::GetStatsValues(aList);
}

void TnxStateComponent::GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) {
  TnxLoggableComponent::GetExceptionData(aContainer, aFlag);
  aContainer.AddString(u"State", std::u16string(nxStateName(scState)));
  aContainer.AddString(u"StateTransition", std::u16string(nxStateTransitionName(scStateTransition)));
}

void TnxStateComponent::GetConfigSettings(TnxBaseSettings& aSettings) {
  TnxLoggableComponent::GetConfigSettings(aSettings);
  for (const char16_t* name : {u"Active", u"EventLogEnabled"})
    aSettings.AddSetting(
        std::make_unique<TnxBaseSetting>(name, nxstBoolean, platform::TnxVariant::FromString(u"false"), name));
}

void TnxStateComponent::LoadConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxLoggableComponent::LoadConfig(aConfig);
  // A store without the value answers the default; one that answers nothing
  // at all (unassigned) leaves the current value.
  const platform::TnxVariant logEnabled =
      aConfig.GetValue(u"EventLogEnabled", platform::TnxVariant::FromBoolean(GetEventLogEnabled()));
  if (!logEnabled.IsEmpty()) SetEventLogEnabled(logEnabled.AsBoolean());
  const platform::TnxVariant active =
      aConfig.GetValue(u"Active", platform::TnxVariant::FromBoolean(scSavedActive != 0));
  if (!active.IsEmpty()) scSavedActive = active.AsBoolean() ? 1 : 0;
}

void TnxStateComponent::SaveConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxLoggableComponent::SaveConfig(aConfig);
  aConfig.SetValue(u"EventLogEnabled", platform::TnxVariant::FromBoolean(GetEventLogEnabled()));
  aConfig.SetValue(u"Active", platform::TnxVariant::FromBoolean(GetActive()));
}

}  // namespace revurov
