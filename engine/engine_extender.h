// Engine extenders and monitors. A monitor is attached to a server engine;
// while it is started the engine tells it of every monitored object that is
// made or freed, and it may attach extenders to the object, which then hear
// of the object's actions and may veto them.
//
// Contract:
// - An extender belongs to the lists of its object and of its monitor; they
//   hold a count on it. Free takes it out of both lists and drops that
//   count; the extender itself goes with the last count, so a callable that
//   GetNotifyFor handed out (which holds one) can still be called after a
//   monitor stopping on another thread freed the extender.
// - No code holds a monitor's and an object's extenders padlock at once: an
//   extender leaves the two lists one after the other. Whoever frees it
//   first (its stopping monitor or its object's destruction) does both; the
//   other waits until it has left, so a stopping monitor and an object being
//   freed on another thread can neither deadlock nor free it twice.
// - An extender's Notify must not free extenders of its own object: the
//   walk holds the object's padlock.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/engine_types.h"
#include "lowlevel/components/state_component.h"
#include "lowlevel/objects/persistent.h"
#include "lowlevel/objects/registerable.h"
#include "lowlevel/sync/padlock.h"

namespace revurov {

class TnxBaseEngineMonitor;
class TnxBaseServerEngine;
class TnxExtendableServerObject;

class TnxBaseEngineExtender : public TnxLifetimeTrackedPersistent {
public:
  static const TnxRegisterableClass& ClassInfo() noexcept;
  virtual const TnxRegisterableClass& ClassType() const noexcept { return ClassInfo(); }
  std::u16string_view ClassName() const noexcept override { return ClassType().Name; }

  // Joins the lists of aMonitor (may be nil) and aExtendableObject. Empty
  // aActions: every action but eaRecordFulltextUpdate.
  TnxBaseEngineExtender(TnxBaseEngineMonitor* aMonitor, TnxExtendableServerObject* aExtendableObject,
                        TnxEngineActions aActions = {});

  TnxBaseEngineMonitor* Monitor() const noexcept { return beeMonitor; }
  TnxExtendableServerObject* ExtendableObject() const noexcept { return beeExtendableObject; }
  TnxEngineActions Actions() const noexcept { return beeActions; }

  virtual platform::HRESULT beeCreateInstance(const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                              const platform::TGUID& aInterfaceID, void** aInterface);
  virtual uint32_t Notify(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) = 0;
  virtual void PrepareDestroy() {}
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;

  // Leaves both lists and drops their count (see the contract).
  void Free();
  void AddRefExtender() noexcept { beeRefs.fetch_add(1, std::memory_order_relaxed); }
  void ReleaseExtender() noexcept;

protected:
  ~TnxBaseEngineExtender() override;

private:
  friend class TnxBaseEngineMonitor;
  friend class TnxExtendableServerObject;
  void LeaveObject() noexcept;
  void LeaveMonitor() noexcept;

  TnxBaseEngineMonitor* beeMonitor = nullptr;
  TnxBaseEngineExtender* beeMonitorNext = nullptr;
  TnxBaseEngineExtender* beeMonitorPrev = nullptr;
  TnxExtendableServerObject* beeExtendableObject = nullptr;
  TnxBaseEngineExtender* beeExtendableObjectNext = nullptr;
  TnxBaseEngineExtender* beeExtendableObjectPrev = nullptr;
  TnxEngineActions beeActions;
  std::atomic<int32_t> beeRefs{1};  // the lists' count
  std::atomic<bool> beeFreed{false};
};

class TnxBaseEngineMonitor : public TnxStateComponent {
  REVUROV_COMPONENT_CLASS(TnxBaseEngineMonitor, TnxStateComponent)
  explicit TnxBaseEngineMonitor(platform::TComponent* aOwner);
  ~TnxBaseEngineMonitor() override;

  TnxBaseServerEngine* ServerEngine() const noexcept { return bemServerEngine; }
  // Only while inactive; links the monitor to the engine's monitor list.
  virtual void SetServerEngine(TnxBaseServerEngine* aEngine);
  virtual void ServerEngineStarted() {}
  virtual void ServerEngineStopping() {}
  virtual void ExtendableObjectCreated(TnxExtendableServerObject*) {}
  virtual void ExtendableObjectDestroyed(TnxExtendableServerObject*) {}

  int32_t ExtenderCount();
  // Whether the engine tells this monitor of objects: from reaching
  // started until stopping begins. Read on the threads that make and free
  // objects, hence apart from the state, which only the owner's thread
  // changes.
  bool HearsObjects() const noexcept { return bemStarted.load(std::memory_order_acquire); }

  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override;
  void DependencyStateChange(TnxStateComponent* aOther, bool aChanging, TnxState aOtherOld,
                             TnxState aOtherNew) override;
  bool IsDependentOn(TnxStateComponent* aOther) const override;

protected:
  // Frees the monitor's extenders after the inherited stop.
  void DoStop() override;
  void StateStarted() override;
  void StateStopped() override;

private:
  friend class TnxBaseEngineExtender;

  TnxBaseServerEngine* bemServerEngine = nullptr;
  std::atomic<bool> bemStarted{false};
  TnxPadlock bemExtendersLock{true};
  TnxBaseEngineExtender* bemExtendersHead = nullptr;
  TnxBaseEngineExtender* bemExtendersTail = nullptr;
};

// Makes an extender of class T; the object's and monitor's lists own it.
template <class T, class... A>
T* nxCreateEngineExtender(A&&... aArgs) {
  return new T(std::forward<A>(aArgs)...);
}

}  // namespace revurov
