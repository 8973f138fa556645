// "nxmm": a manager module that publishes its heap while it is loaded.
#include "lowlevel/heap/memory_manager.h"

namespace {
__attribute__((constructor)) void PublishOnLoad() { revurov::nxMemoryManagerBind(); }
}  // namespace

extern "C" __attribute__((visibility("default"))) bool NxmmIsPublisher() {
  return revurov::nxMemoryManagerIsPublisher();
}
