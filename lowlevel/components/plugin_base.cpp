#include "lowlevel/components/plugin_base.h"

namespace revurov {

using platform::IInterface;

namespace {

// The count is the object's, so the reference the query took goes back
// through the object's own entry.
bool OffersSessionRequests(IInterface* aSession) noexcept {
  void* found = nullptr;
  if (!aSession || aSession->QueryInterface(nxSessionRequestsIID, &found) != platform::S_OK || !found) return false;
  aSession->Release();
  return true;
}

}  // namespace

const TnxComponentExceptionClass& TnxBasePlugin::GetExceptionClass() const {
  return nxComponentExceptionClass<EnxPluginException>();
}

TnxBasePluginEngine::TnxBasePluginEngine(platform::TComponent* aOwner) : TnxBasePlugin(aOwner) {
  SetDisplayCategory(u"Plugins");
}

const TnxComponentExceptionClass& TnxBasePluginEngine::GetExceptionClass() const {
  return nxComponentExceptionClass<EnxPluginEngineException>();
}

void TnxBasePluginEngine::SetSession(TnxStateComponent* aValue) {
  if (aValue == bpeSession) return;
  CheckInactive();
  if (bpeSession) UnlinkDependent(this, bpeSession);
  bpeSession = aValue;
  if (bpeSession) LinkDependent(this, bpeSession);
}

void TnxBasePluginEngine::DoInitialize() {
  TnxBasePlugin::DoInitialize();
  if (!RequiresSession()) return;
  if (!bpeSession) RaiseError(u"No Session assigend");
  if (!OffersSessionRequests(dynamic_cast<IInterface*>(bpeSession)))
    RaiseError(u"The Session must support InxSessionRequests");
}

bool TnxBasePluginEngine::IsDependentOn(TnxStateComponent* aOther) const {
  return (RequiresSession() && aOther && aOther == bpeSession) || TnxBasePlugin::IsDependentOn(aOther);
}

void TnxBasePluginEngine::DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) {
  TnxBasePlugin::DependentNotify(aSender, aOp, aData);
  if (aOp == nxn_Destroying && aSender && aSender == bpeSession) {
    SetActive(false);
    bpeSession = nullptr;
  }
}

}  // namespace revurov
