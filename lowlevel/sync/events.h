// The library's events: TnxEvent (auto-reset, its handle borrowed from the
// global pool), TnxEventPool, the recycled manual-reset events handed out as
// InxManualEvent, and the thread's breath slot.
//
// Contract:
// - TnxEvent.WaitFor(0) waits without limit; a wait that runs out raises
//   EnxSyncException 15461, any other failed wait EnxSyncException 11047 in
//   the OS-error form ("calling WaitForSingleObject"). The event stays usable.
// - A failed event creation is not reported at creation: the nil handle makes
//   every later wait fail with 11047.
// - The global pool and the manual-event cache exist between nxSyncStartup
//   and nxSyncShutdown (reference-counted); events made or freed outside that
//   time use handles of their own.
#pragma once

#include <atomic>
#include <cstdint>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/heap/atomics.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/sync/thread_safe_stack.h"
#include "platform/os_event.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxSyncException, EnxBaseException);


class TnxEventPool : public TnxObject {
public:
  TnxEventPool(int32_t aInitialCount, int32_t aRetainCount);
  // Closes every handle it holds.
  ~TnxEventPool() override;

  // A handle from the pool, or a new auto-reset event when it is empty. The
  // handle may be signalled.
  platform::EventHandle Get();
  void Put(platform::EventHandle aHandle);
  // Closes handles beyond the retain count.
  void Flush();
  int32_t Count() const noexcept { return epList.Count(); }

private:
  TnxThreadSafeStack epList;
  std::atomic<int32_t> epRetainCount;
};

extern std::atomic<TnxEventPool*> nxGlobalEventPool;

class TnxEvent : public TnxObject {
public:
  TnxEvent();
  ~TnxEvent() override;

  void WaitFor(uint32_t aTimeOut);
  // 0 signalled, 258 time-out, anything else a failure; raises nothing.
  uint32_t WaitForQuietly(uint32_t aTimeOut) noexcept;
  void SignalEvent() noexcept;
  platform::EventHandle Handle() const noexcept { return nxeEvent; }

private:
  platform::EventHandle nxeEvent = nullptr;
};

// A reference-counted manual-reset event.
class InxManualEvent {
public:
  virtual int32_t _AddRef() noexcept = 0;
  virtual int32_t _Release() noexcept = 0;
  virtual void Signal() noexcept = 0;
  // Waits without time limit.
  virtual void Wait() noexcept = 0;
  virtual platform::EventHandle GetHandle() const noexcept = 0;

protected:
  ~InxManualEvent() = default;
};

// Holds one reference to a manual event.
class TnxManualEventRef {
public:
  TnxManualEventRef() = default;
  explicit TnxManualEventRef(InxManualEvent* aEvent) noexcept : rEvent(aEvent) {
    if (rEvent) rEvent->_AddRef();
  }
  TnxManualEventRef(const TnxManualEventRef& aOther) noexcept : TnxManualEventRef(aOther.rEvent) {}
  TnxManualEventRef& operator=(TnxManualEventRef aOther) noexcept {
    std::swap(rEvent, aOther.rEvent);
    return *this;
  }
  ~TnxManualEventRef() {
    if (rEvent) rEvent->_Release();
  }
  InxManualEvent* operator->() const noexcept { return rEvent; }
  InxManualEvent* get() const noexcept { return rEvent; }
  explicit operator bool() const noexcept { return rEvent != nullptr; }
  void reset() noexcept { TnxManualEventRef().swap(*this); }
  void swap(TnxManualEventRef& aOther) noexcept { std::swap(rEvent, aOther.rEvent); }

private:
  InxManualEvent* rEvent = nullptr;
};

class TnxManualEvent;
void nxGetManualEvent(TnxManualEventRef& aEvent);
// A cached event, reset; nil when the cache is empty.
TnxManualEvent* nxTakeCachedManualEvent() noexcept;
// Manual events cached now (at most nxManualEventCacheLimit).
int nxCachedManualEventCount() noexcept;
constexpr uint16_t nxManualEventCacheLimit = 128;

// The breath slot: long-running code calls nxThreadBreath so that a waiting
// worker pool can go on.
using TnxBreathMethod = uint32_t (*)(void* aObject);
void nxSetThreadBreath(TnxBreathMethod aCode, void* aObject) noexcept;
void nxClearThreadBreath() noexcept;
uint32_t nxThreadBreath();

void nxSyncStartup();
void nxSyncShutdown();

}  // namespace revurov
