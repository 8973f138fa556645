// Plug-ins: components that attach to a session component and start and
// stop with it.
//
// Contract: a plug-in engine that needs its session (RequiresSession)
// depends on it, so it starts after the session and stops before it; it
// cannot initialise without a session that offers InxSessionRequests. When
// its session goes away the plug-in deactivates and forgets it. Setting the
// session needs the plug-in inactive (as every state component property).
#pragma once

#include <cstdint>

#include "lowlevel/components/state_component.h"
#include "lowlevel/objects/interfaced_object.h"

namespace revurov {

// The ID of what a session offers plug-ins for their requests. Its
// operations use transport types, so the interface itself, InxSessionRequests,
// is declared in transport/session_requests.h; the check here needs the ID
// only.
inline constexpr platform::TGUID nxSessionRequestsIID = platform::nxGuid("{46D1D328-F233-4A87-A3E1-A174196EB260}");

REVUROV_COMPONENT_EXCEPTION_CLASS(EnxPluginException, EnxStateComponentException);
REVUROV_COMPONENT_EXCEPTION_CLASS(EnxPluginEngineException, EnxPluginException);

class TnxBasePlugin : public TnxStateComponent {
  REVUROV_COMPONENT_CLASS(TnxBasePlugin, TnxStateComponent)
  using TnxStateComponent::TnxStateComponent;
  const TnxComponentExceptionClass& GetExceptionClass() const override;
};

class TnxBasePluginEngine : public TnxBasePlugin {
  REVUROV_COMPONENT_CLASS(TnxBasePluginEngine, TnxBasePlugin)
  explicit TnxBasePluginEngine(platform::TComponent* aOwner);

  const TnxComponentExceptionClass& GetExceptionClass() const override;
  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override;
  bool IsDependentOn(TnxStateComponent* aOther) const override;

  // Class-level in effect: whether every instance needs a session.
  virtual bool RequiresSession() const { return false; }

  TnxStateComponent* Session() const noexcept { return bpeSession; }
  void SetSession(TnxStateComponent* aValue);
  uint32_t Timeout() const noexcept { return bpeTimeout; }
  void SetTimeout(uint32_t aValue) noexcept { bpeTimeout = aValue; }

protected:
  void DoInitialize() override;

private:
  TnxStateComponent* bpeSession = nullptr;
  uint32_t bpeTimeout = 0;
};

}  // namespace revurov
