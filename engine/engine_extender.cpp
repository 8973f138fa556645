#include "engine/engine_extender.h"

#include <thread>

#include "engine/extendable_object.h"
#include "engine/server_engine.h"

namespace revurov {

const TnxRegisterableClass& TnxBaseEngineExtender::ClassInfo() noexcept {
  static const TnxRegisterableClass info{u"TnxBaseEngineExtender", nullptr, nullptr};
  return info;
}

TnxBaseEngineExtender::TnxBaseEngineExtender(TnxBaseEngineMonitor* aMonitor,
                                             TnxExtendableServerObject* aExtendableObject,
                                             TnxEngineActions aActions)
    : beeMonitor(aMonitor),
      beeExtendableObject(aExtendableObject),
      beeActions(aActions.Empty() ? TnxEngineActions::DefaultForExtender() : aActions) {
  if (beeMonitor) {
    TnxPadlockGuard guard(beeMonitor->bemExtendersLock);
    beeMonitorPrev = beeMonitor->bemExtendersTail;
    (beeMonitorPrev ? beeMonitorPrev->beeMonitorNext : beeMonitor->bemExtendersHead) = this;
    beeMonitor->bemExtendersTail = this;
  }
  if (beeExtendableObject) {
    TnxPadlockGuard guard(beeExtendableObject->esoExtendersLock);
    beeExtendableObjectPrev = beeExtendableObject->esoExtendersTail;
    (beeExtendableObjectPrev ? beeExtendableObjectPrev->beeExtendableObjectNext
                             : beeExtendableObject->esoExtendersHead) = this;
    beeExtendableObject->esoExtendersTail = this;
    // The object's set only grows: freed extenders' actions stay in it.
    beeExtendableObject->esoExtendersActions.fetch_or(beeActions.Bits(), std::memory_order_acq_rel);
  }
}

TnxBaseEngineExtender::~TnxBaseEngineExtender() = default;

void TnxBaseEngineExtender::LeaveObject() noexcept {
  TnxExtendableServerObject* object = beeExtendableObject;
  if (!object) return;
  TnxPadlockGuard guard(object->esoExtendersLock);
  (beeExtendableObjectPrev ? beeExtendableObjectPrev->beeExtendableObjectNext : object->esoExtendersHead) =
      beeExtendableObjectNext;
  (beeExtendableObjectNext ? beeExtendableObjectNext->beeExtendableObjectPrev : object->esoExtendersTail) =
      beeExtendableObjectPrev;
  beeExtendableObjectPrev = beeExtendableObjectNext = nullptr;
  beeExtendableObject = nullptr;
}

void TnxBaseEngineExtender::LeaveMonitor() noexcept {
  TnxBaseEngineMonitor* monitor = beeMonitor;
  if (!monitor) return;
  TnxPadlockGuard guard(monitor->bemExtendersLock);
  (beeMonitorPrev ? beeMonitorPrev->beeMonitorNext : monitor->bemExtendersHead) = beeMonitorNext;
  (beeMonitorNext ? beeMonitorNext->beeMonitorPrev : monitor->bemExtendersTail) = beeMonitorPrev;
  beeMonitorPrev = beeMonitorNext = nullptr;
  beeMonitor = nullptr;
}

void TnxBaseEngineExtender::Free() {
  // The object's destruction may be freeing it at the same time; one wins.
  if (beeFreed.exchange(true)) return;
  LeaveMonitor();
  LeaveObject();
  ReleaseExtender();
}

void TnxBaseEngineExtender::ReleaseExtender() noexcept {
  if (beeRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

platform::HRESULT TnxBaseEngineExtender::beeCreateInstance(const platform::TGUID&, platform::IInterface*,
                                                           const platform::TGUID&, void** aInterface) {
  *aInterface = nullptr;
  return platform::E_NOINTERFACE;
}

void TnxBaseEngineExtender::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxLifetimeTrackedPersistent::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddObject(u"Monitor", static_cast<TnxObject*>(beeMonitor), aIncludeChildren);
  aContainer.AddObject(u"ExtendableObject", static_cast<TnxObject*>(beeExtendableObject), aIncludeChildren);
}

// ---- monitor ----

TnxBaseEngineMonitor::TnxBaseEngineMonitor(platform::TComponent* aOwner) : TnxStateComponent(aOwner) {}

TnxBaseEngineMonitor::~TnxBaseEngineMonitor() = default;

void TnxBaseEngineMonitor::SetServerEngine(TnxBaseServerEngine* aEngine) {
  if (aEngine == bemServerEngine) return;
  CheckInactive();
  if (bemServerEngine) UnlinkDependent(this, bemServerEngine);
  bemServerEngine = aEngine;
  if (bemServerEngine) LinkDependent(this, bemServerEngine);
}

void TnxBaseEngineMonitor::DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) {
  if (aOp == nxn_Destroying && aSender == bemServerEngine) bemServerEngine = nullptr;
  TnxStateComponent::DependentNotify(aSender, aOp, aData);
}

void TnxBaseEngineMonitor::DependencyStateChange(TnxStateComponent* aOther, bool aChanging, TnxState aOtherOld,
                                                 TnxState aOtherNew) {
  bool ours = aOther && aOther == bemServerEngine;
  if (ours && aChanging && aOtherOld == nxsStarted && aOtherNew == nxsStopped) ServerEngineStopping();
  TnxStateComponent::DependencyStateChange(aOther, aChanging, aOtherOld, aOtherNew);
  if (ours && !aChanging && aOtherOld == nxsStopped && aOtherNew == nxsStarted) ServerEngineStarted();
}

bool TnxBaseEngineMonitor::IsDependentOn(TnxStateComponent* aOther) const {
  return (aOther && aOther == bemServerEngine) || TnxStateComponent::IsDependentOn(aOther);
}

void TnxBaseEngineMonitor::StateStarted() {
  TnxStateComponent::StateStarted();
  bemStarted.store(true, std::memory_order_release);
}

void TnxBaseEngineMonitor::StateStopped() {
  bemStarted.store(false, std::memory_order_release);
  TnxStateComponent::StateStopped();
}

void TnxBaseEngineMonitor::DoStop() {
  bemStarted.store(false, std::memory_order_release);
  TnxStateComponent::DoStop();
  // Each extender is freed outside this padlock (it takes its object's
  // padlock); one its object is freeing right now leaves on that thread.
  for (;;) {
    TnxBaseEngineExtender* extender;
    {
      TnxPadlockGuard guard(bemExtendersLock);
      extender = bemExtendersHead;
      if (!extender) break;
      extender->AddRefExtender();
    }
    bool freedHere = !extender->beeFreed.load();
    extender->Free();
    extender->ReleaseExtender();
    if (!freedHere) std::this_thread::yield();
  }
}

int32_t TnxBaseEngineMonitor::ExtenderCount() {
  TnxPadlockGuard guard(bemExtendersLock);
  int32_t count = 0;
  for (TnxBaseEngineExtender* e = bemExtendersHead; e; e = e->beeMonitorNext) ++count;
  return count;
}

}  // namespace revurov
