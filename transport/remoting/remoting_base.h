// TnxRemotingBase: the plug-in engine the remoting client derives from. It
// is the process's class activator for its session, handed out only through
// an isolator (transport/remoting/isolators.h).
//
// Contract:
// - A query for InxClassActivator answers the isolator's activator (made on
//   the first such query, one per component); IInterface answers the
//   component; anything else E_NOINTERFACE. The component counts no
//   references (it is owned).
// - Freeing the component (TComponent::Free) disconnects the isolator
//   before anything of the component goes, after every call through it has
//   returned; a client that kept the activator gets RPC_E_DISCONNECTED.
// - CreateInstance is the subclass's.
#pragma once

#include "lowlevel/components/plugin_base.h"
#include "lowlevel/objects/utils_system.h"
#include "lowlevel/sync/padlock.h"
#include "platform/interface.h"

namespace revurov {

class TnxRemotingBase : public TnxBasePluginEngine, public InxClassActivator {
  REVUROV_COMPONENT_CLASS(TnxRemotingBase, TnxBasePluginEngine)
  explicit TnxRemotingBase(platform::TComponent* aOwner) : TnxBasePluginEngine(aOwner) {}
  ~TnxRemotingBase() override;

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override;
  int32_t AddRef() noexcept override { return -1; }
  int32_t Release() noexcept override { return -1; }

  void BeforeDestruction() override;

private:
  void DropIsolator() noexcept;

  TnxPadlock rbPadlock;
  // The isolator's host entry: dropping it disconnects the isolator.
  platform::TInterfacePtr<platform::IInterface> rbClassActivatorIsolator;
};

}  // namespace revurov
