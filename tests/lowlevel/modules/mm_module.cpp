// A library module of its own (a shared object with its own copy of the
// library) that binds to the process's heap like any other module.
#include <cstddef>
#include <cstdint>

#include "lowlevel/heap/memory_manager.h"
#include "platform/rtl_exception.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {
struct TModuleObject : revurov::TnxObject {
  explicit TModuleObject(int v) : value(v) {}
  int value;
};
}  // namespace

EXPORT void ModuleBind() { revurov::nxMemoryManagerBind(); }
EXPORT void ModuleUnbind() { revurov::nxMemoryManagerUnbind(); }
EXPORT bool ModuleIsPublisher() { return revurov::nxMemoryManagerIsPublisher(); }
EXPORT const void* ModuleGetMemEntry() {
  return reinterpret_cast<const void*>(revurov::nxMemoryManagerFunctions().mmfGetMem);
}
EXPORT void* ModuleGetMem(std::size_t n) { return revurov::nxGetMem(n); }
// 0: freed; 1: refused as invalid pointer.
EXPORT int ModuleFreeMem(void* p) {
  try {
    revurov::nxFreeMem(p);
    return 0;
  } catch (const revurov::platform::EInvalidPointer&) {
    return 1;
  }
}
EXPORT void* ModuleNewObject(int v) { return new TModuleObject(v); }
EXPORT int ModuleObjectValue(void* o) { return static_cast<TModuleObject*>(o)->value; }
EXPORT void ModuleDeleteObject(void* o) { delete static_cast<TModuleObject*>(o); }
