// Components with a start/stop state machine. A component holds one of four
// states and moves along a fixed table one step at a time, one handler per
// step. Linked components hear of every step before (4) and after (5) it,
// may veto it, and follow each other's steps so that what a component needs
// starts before it and what needs it stops before it.
//
// Contract: no lock of its own; a state walk runs on the caller's thread and
// callers serialise state changes of one component. A veto
// (EnxAbortStateChange from a linked component) ends a walk quietly. A failed
// initialize or start runs its counterpart, logs, deactivates and passes the
// exception on; failures while deactivating never stop deactivation.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "lowlevel/components/log.h"
#include "platform/rtl_exception.h"

namespace revurov {

enum TnxState : uint8_t { nxsInactive = 0, nxsUnsupported = 1, nxsStopped = 2, nxsStarted = 3 };

enum TnxStateTransition : uint8_t {
  nxstNone = 0,
  nxstInitializing = 1,
  nxstDeactivating = 2,
  nxstStarting = 3,
  nxstStopping = 4,
  nxstInvalid = 5
};

extern const TnxState nxNextState[4][4];             // [current][target]
extern const TnxStateTransition nxStateTransition[4][4];  // [current][next]
bool nxTransitionIsUpward(TnxStateTransition aTransition) noexcept;
// Empty outside the ranges.
std::u16string_view nxStateName(int aState) noexcept;
std::u16string_view nxStateTransitionName(int aTransition) noexcept;

// Data of notifications 4 and 5.
struct TnxStateChangeData {
  TnxState OldState;
  TnxState NewState;
};

REVUROV_COMPONENT_EXCEPTION_CLASS(EnxStateComponentException, EnxLoggableComponentException);

// A linked component's veto of a state step: a silent abort.
class EnxAbortStateChange : public platform::EAbort {
public:
  using platform::EAbort::EAbort;
  std::u16string_view ClassName() const noexcept override { return u"EnxAbortStateChange"; }
};

// Date-time (days since 1899-12-30) of state changes; replaceable for tests.
using TnxNowFunction = double (*)();
void nxSetStateClock(TnxNowFunction aNow) noexcept;  // null: the system clock

class InxStateComponentInfo31000 : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{D3AFD042-0815-48BA-A374-259D67884963}");
  virtual TnxState GetState() = 0;
};

class TnxStateComponentInfo : public TnxLoggableComponentInfo, public InxStateComponentInfo31000 {
public:
  using TnxLoggableComponentInfo::TnxLoggableComponentInfo;
  // nxsInactive once the component is gone.
  TnxState GetState() override;

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;
};

class TnxStateComponent : public TnxLoggableComponent {
  REVUROV_COMPONENT_CLASS(TnxStateComponent, TnxLoggableComponent)
  explicit TnxStateComponent(platform::TComponent* aOwner);
  ~TnxStateComponent() override;

  // Deactivates before the links hear that this component goes away.
  void BeforeDestruction() override;
  const TnxComponentExceptionClass& GetExceptionClass() const override;
  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override;
  platform::TInterfacePtr<platform::IInterface> GetComponentInfo() override;

  bool Enabled() const noexcept { return scEnabled; }
  virtual void SetEnabled(bool aValue);
  virtual bool GetActive() const;
  virtual void SetActive(bool aValue);
  bool Active() const { return GetActive(); }
  bool Connected() const { return GetActive(); }
  void SetConnected(bool aValue) { SetActive(aValue); }
  void Open() { SetActive(true); }
  void Connect() { SetActive(true); }
  void Close() { SetActive(false); }
  bool ActiveDesigntime() const noexcept { return scActiveDesigntime; }
  virtual void SetActiveDesigntime(bool aValue);
  bool ActiveRuntime() const noexcept { return scActiveRuntime; }
  virtual void SetActiveRuntime(bool aValue);

  TnxState State() const noexcept { return scState; }
  virtual void SetState(TnxState aTarget);
  TnxStateTransition StateTransition() const noexcept { return scStateTransition; }
  double StartTime() const noexcept { return scStartTime; }
  const std::u16string& LastStartError() const noexcept { return scLastStartError; }
  uint8_t SavedActive() const noexcept { return scSavedActive; }

  std::function<void(TnxStateComponent* aSender)> OnStateChanged;
  std::function<void(TnxStateComponent* aSender, TnxStateTransition aTransition)>
      OnStateTransChanged;

  virtual void DependencyStateChange(TnxStateComponent* aOther, bool aChanging,
                                     TnxState aOtherOld, TnxState aOtherNew);
  virtual bool FollowsStateChange(TnxStateComponent* aOther, bool aChanging,
                                  TnxStateTransition aTransition, TnxState aTarget);
  virtual bool IsDependentOn(TnxStateComponent* aOther) const;
  virtual void CheckInactive();
  virtual void CheckInactiveOrStopped();
  virtual void CheckStarted();

  virtual bool StatsIncludeUptime() const { return false; }
  virtual bool StatsIncludeLastStartError() const { return false; }
  virtual bool UIStateVisible() const { return true; }
  virtual void SwitchToSavedActive();

  void LoadSettingsFromStream(TnxReader& aReader) override;
  void SaveSettingsToStream(TnxWriter& aWriter) override;
  void GetStatsCaptions(platform::TStringList& aList) const override;
  void GetStatsValues(platform::TStringList& aList) const override;
  // Adds "State" and "StateTransition" by their display names.
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) override;
  // "Active" and "EventLogEnabled", both Boolean with default "false".
  void GetConfigSettings(TnxBaseSettings& aSettings) override;
  // Active is loaded into SavedActive, applied by SwitchToSavedActive.
  void LoadConfig(TnxBaseComponentConfiguration& aConfig) override;
  void SaveConfig(TnxBaseComponentConfiguration& aConfig) override;

protected:
  void Loaded() override;

  // Step handlers, empty here.
  virtual void DoInitialize() {}
  virtual void DoDeactivate() {}
  virtual void DoStart() {}
  virtual void DoStop() {}
  virtual void StateStarted() {}
  virtual void StateStopped() {}
  virtual bool AllowStateChange(TnxState aOld, TnxState aNext);
  virtual void DoStateChanged(TnxState aOld, TnxState aNew);
  virtual void DoStateTransChanged();

  void SetSavedActive(uint8_t aValue) noexcept { scSavedActive = aValue; }
  // Puts an inactive or unsupported component straight into nxsInactive or,
  // when Supported is false, nxsUnsupported, without a step: for classes
  // whose support changes with a property (a transport's mode). The one way
  // out of nxsUnsupported.
  void ResetSupportState() {
    if (scState <= nxsUnsupported) scState = Supported() ? nxsInactive : nxsUnsupported;
  }

private:
  void RunStep(TnxStateTransition aTransition);
  void StepFailed(const platform::Exception& aError, TnxState aOld, TnxState aNext,
                  TnxState aTarget);

  double scStartTime = 0;
  uint8_t scSavedActive = 0;
  bool scEnabled = true;
  bool scActiveRuntime = false;
  bool scActiveDesigntime = false;
  // Read by a component's own threads while the owner changes them.
  std::atomic<TnxState> scState{nxsInactive};
  std::atomic<TnxStateTransition> scStateTransition{nxstNone};
  std::u16string scLastStartError;
};

}  // namespace revurov
