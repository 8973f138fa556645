#include "lowlevel/sync/padlock.h"

#include "lowlevel/sync/lazy_publish.h"
#include "platform/os_mutex_inline.h"
#include "platform/os_thread.h"
#include "platform/rtl_exception.h"

namespace revurov {

TnxPadlock::TnxPadlock(bool aFastLock) {
  if (aFastLock) plSpinCount = nxPadlockSpinCount;
}

TnxPadlock::~TnxPadlock() = default;

void TnxPadlock::Lock() {
  // The system mutex blocks at once; a fast lock first spins, as a critical
  // section with a spin count does, for the short holds it is meant for.
  for (uint32_t i = plSpinCount; i != 0; --i) {
    if (plCritSect.TryLock()) return;
    platform::CpuRelax();
  }
  plCritSect.Lock();
}

void TnxPadlock::Unlock() { plCritSect.Unlock(); }

bool TnxPadlock::TryLock() { return plCritSect.TryLock(); }

void TnxPadlock::CreateAndLock(TnxPadlock*& aPadlock, bool aFastLock) {
  nxCreateAndEnter(
      aPadlock, [&] { return new TnxPadlock(aFastLock); }, [](TnxPadlock& p) { p.Lock(); },
      [](TnxPadlock& p) { p.Unlock(); });
}

}  // namespace revurov
