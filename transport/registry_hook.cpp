#include "transport/registry_hook.h"

#include <atomic>

namespace revurov {

namespace {
std::atomic<TnxRegistryInstanceFactory> gRegistryInstanceHook{nullptr};
}  // namespace

TnxRegistryInstanceFactory nxRegistryInstanceHook() noexcept {
  return gRegistryInstanceHook.load(std::memory_order_acquire);
}

void nxSetRegistryInstanceHook(TnxRegistryInstanceFactory aFactory) noexcept {
  gRegistryInstanceHook.store(aFactory, std::memory_order_release);
}

}  // namespace revurov
