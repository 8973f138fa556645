#include "transport/remoting/remoting_base.h"

#include <utility>

#include "transport/remoting/isolators.h"

namespace revurov {

using platform::HRESULT;
using platform::IInterface;
using platform::TGUID;
using platform::TInterfacePtr;

TnxRemotingBase::~TnxRemotingBase() {
  // Deleted without Free: late, but still before the base parts go.
  DropIsolator();
}

void TnxRemotingBase::BeforeDestruction() {
  // First, while the subclass is whole: calls still running through the
  // isolator reach its CreateInstance.
  DropIsolator();
  TnxBasePluginEngine::BeforeDestruction();
}

void TnxRemotingBase::DropIsolator() noexcept {
  TInterfacePtr<IInterface> isolator;
  {
    TnxPadlockGuard guard(rbPadlock);
    isolator = std::move(rbClassActivatorIsolator);
  }
  // Outside the padlock: the release waits for calls that may query this
  // component.
  isolator.Reset();
}

HRESULT TnxRemotingBase::QueryInterface(const TGUID& iid, void** obj) noexcept {
  if (iid == InxClassActivator::IID) {
    TnxPadlockGuard guard(rbPadlock);
    if (!rbClassActivatorIsolator) {
      TnxClassActivatorIsolator* isolator;
      try {
        isolator = nxCreate<TnxClassActivatorIsolator>(static_cast<InxClassActivator*>(this));
      } catch (...) {
        *obj = nullptr;
        return platform::E_OUTOFMEMORY;
      }
      rbClassActivatorIsolator = isolator->HostEntry();
    }
    return rbClassActivatorIsolator->QueryInterface(iid, obj);
  }
  if (iid == IInterface::IID) {
    *obj = static_cast<IInterface*>(this);
    return platform::S_OK;
  }
  *obj = nullptr;
  return platform::E_NOINTERFACE;
}

}  // namespace revurov
