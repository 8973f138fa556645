// The hook through which the remoting layer publishes, at start-up, the
// factory of its interface registry, so that an in-process engine can hand
// the registry out without knowing the remoting layer.
//
// Contract: nil until published; publishing nil withdraws it. Reads and
// writes are atomic.
#pragma once

#include "platform/interface.h"

namespace revurov {

using TnxRegistryInstanceFactory = platform::TInterfacePtr<platform::IInterface> (*)();

TnxRegistryInstanceFactory nxRegistryInstanceHook() noexcept;
void nxSetRegistryInstanceHook(TnxRegistryInstanceFactory aFactory) noexcept;

}  // namespace revurov
