#include "lowlevel/sync/padlock.h"

#include "lowlevel/sync/lazy_publish.h"
#include "platform/os_thread.h"
#include "platform/rtl_exception.h"

namespace revurov {

TnxPadlock::TnxPadlock(bool aFastLock) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  const int rc = pthread_mutex_init(&plCritSect, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) throw platform::EOutOfMemory();
  if (aFastLock) plSpinCount = nxPadlockSpinCount;
}

TnxPadlock::~TnxPadlock() { pthread_mutex_destroy(&plCritSect); }

void TnxPadlock::Lock() {
  // The system mutex blocks at once; a fast lock first spins, as a critical
  // section with a spin count does, for the short holds it is meant for.
  for (uint32_t i = plSpinCount; i != 0; --i) {
    if (pthread_mutex_trylock(&plCritSect) == 0) return;
    platform::CpuRelax();
  }
  pthread_mutex_lock(&plCritSect);
}

void TnxPadlock::Unlock() { pthread_mutex_unlock(&plCritSect); }

bool TnxPadlock::TryLock() { return pthread_mutex_trylock(&plCritSect) == 0; }

void TnxPadlock::CreateAndLock(TnxPadlock*& aPadlock, bool aFastLock) {
  nxCreateAndEnter(
      aPadlock, [&] { return new TnxPadlock(aFastLock); }, [](TnxPadlock& p) { p.Lock(); },
      [](TnxPadlock& p) { p.Unlock(); });
}

}  // namespace revurov
