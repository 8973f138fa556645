#include "lowlevel/sync/events.h"

#include "lowlevel/errors/error_codes.h"

namespace revurov {

using namespace platform;

// ---- TnxEventPool ----

TnxEventPool::TnxEventPool(int32_t aInitialCount, int32_t aRetainCount) : epRetainCount(aRetainCount) {
  for (int32_t i = 0; i < aInitialCount; ++i) epList.Push(CreateEvent(false, false));
}

TnxEventPool::~TnxEventPool() {
  epRetainCount.store(0, std::memory_order_release);
  Flush();
}

EventHandle TnxEventPool::Get() {
  if (void* h = epList.Pop()) return static_cast<EventHandle>(h);
  return CreateEvent(false, false);
}

void TnxEventPool::Put(EventHandle aHandle) {
  // A nil handle (a failed creation) would come back out as "pool empty".
  if (aHandle) epList.Push(aHandle);
}

void TnxEventPool::Flush() {
  while (epList.Count() > epRetainCount.load(std::memory_order_acquire)) {
    void* h = epList.Pop();
    if (!h) break;  // the count lagged behind another thread's pop
    CloseEvent(static_cast<EventHandle>(h));
  }
}

std::atomic<TnxEventPool*> nxGlobalEventPool{nullptr};

// ---- TnxEvent ----

TnxEvent::TnxEvent() {
  if (TnxEventPool* pool = nxGlobalEventPool.load(std::memory_order_acquire)) {
    nxeEvent = pool->Get();
    ResetEvent(nxeEvent);
  } else {
    nxeEvent = CreateEvent(false, false);
  }
}

TnxEvent::~TnxEvent() {
  if (TnxEventPool* pool = nxGlobalEventPool.load(std::memory_order_acquire))
    pool->Put(nxeEvent);
  else
    CloseEvent(nxeEvent);
}

void TnxEvent::WaitFor(uint32_t aTimeOut) {
  const uint32_t result = WaitForQuietly(aTimeOut);
  if (result == kWaitObject0) return;
  if (result == kWaitTimeout) throw EnxSyncException(nxeTimeout);
  throw nxCreateOSErrorException<EnxSyncException>(nxeOSError, u"", u"calling WaitForSingleObject");
}

uint32_t TnxEvent::WaitForQuietly(uint32_t aTimeOut) noexcept {
  return WaitForEvent(nxeEvent, aTimeOut == 0 ? kInfinite : aTimeOut);
}

void TnxEvent::SignalEvent() noexcept { SetEvent(nxeEvent); }

// ---- TnxManualEvent and its cache ----

namespace {

// Depth-counted, bounded at nxManualEventCacheLimit; nil outside start-up.
alignas(64) TnxListHead gCacheHead;
std::atomic<bool> gCacheOpen{false};

}  // namespace

class TnxManualEvent final : public TnxObject, public InxManualEvent {
public:
  TnxManualEvent() : meEvent(CreateEvent(true, false)) { meNext.owner = this; }

  int32_t _AddRef() noexcept override { return meRefCount.fetch_add(1, std::memory_order_acq_rel) + 1; }
  int32_t _Release() noexcept override {
    const int32_t now = meRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    int32_t fresh = 0;
    // The exchange makes the move to the cache happen once per cycle, even
    // when the count touches 0 again meanwhile.
    if (now == 0 && meCached.compare_exchange_strong(fresh, 1, std::memory_order_acq_rel)) Recycle(this);
    return now;
  }
  void Signal() noexcept override { SetEvent(meEvent); }
  void Wait() noexcept override {
    _AddRef();
    WaitForEvent(meEvent, kInfinite);
    _Release();
  }
  EventHandle GetHandle() const noexcept override { return meEvent; }

  static TnxManualEvent* FromEntry(TnxListEntry* aEntry) noexcept {
    return static_cast<Link*>(aEntry)->owner;
  }
  void Revive() noexcept {
    ResetEvent(meEvent);
    meCached.store(0, std::memory_order_release);
  }
  // Deleting is private to the cache and the last release: an event still
  // referenced cannot be destroyed at all.
  static void Free(TnxManualEvent* aEvent) noexcept { delete aEvent; }

private:
  ~TnxManualEvent() override { CloseEvent(meEvent); }

  static void Recycle(TnxManualEvent* aEvent) noexcept {
    if (gCacheOpen.load(std::memory_order_acquire) &&
        nxListPushBelowDepth(gCacheHead, &aEvent->meNext, nxManualEventCacheLimit) != 0)
      return;
    delete aEvent;
  }

  struct Link : TnxListEntry {
    TnxManualEvent* owner = nullptr;
  };
  Link meNext;
  std::atomic<int32_t> meRefCount{0};
  std::atomic<int32_t> meCached{0};
  EventHandle meEvent = nullptr;
};

TnxManualEvent* nxTakeCachedManualEvent() noexcept {
  if (!gCacheOpen.load(std::memory_order_acquire)) return nullptr;
  TnxListEntry* entry = nxListPopAboveDepth(gCacheHead, 0);
  if (!entry) return nullptr;
  TnxManualEvent* event = TnxManualEvent::FromEntry(entry);
  event->Revive();
  return event;
}

void nxGetManualEvent(TnxManualEventRef& aEvent) {
  TnxManualEvent* event = nxTakeCachedManualEvent();
  if (!event) event = new TnxManualEvent;
  aEvent = TnxManualEventRef(event);
}

int nxCachedManualEventCount() noexcept {
  return static_cast<int>(__atomic_load_n(&gCacheHead.lhSequence, __ATOMIC_ACQUIRE) >> nxListDepthShift);
}

// ---- breath slot ----

namespace {
struct BreathSlot {
  TnxBreathMethod code = nullptr;
  void* object = nullptr;
};
thread_local BreathSlot tlsBreath;
}  // namespace

void nxSetThreadBreath(TnxBreathMethod aCode, void* aObject) noexcept { tlsBreath = {aCode, aObject}; }

void nxClearThreadBreath() noexcept { tlsBreath = {}; }

uint32_t nxThreadBreath() {
  const BreathSlot slot = tlsBreath;
  return slot.object && slot.code ? slot.code(slot.object) : 0;
}

// ---- start-up ----

namespace {
std::atomic<int> gSyncStarted{0};
}

void nxSyncStartup() {
  if (gSyncStarted.fetch_add(1, std::memory_order_acq_rel) != 0) return;
  nxListHeadInit(gCacheHead);
  gCacheOpen.store(true, std::memory_order_release);
  nxGlobalEventPool.store(new TnxEventPool(250, 2500), std::memory_order_release);
}

void nxSyncShutdown() {
  int started = gSyncStarted.load(std::memory_order_acquire);
  do {
    if (started == 0) return;  // an unmatched shut-down does nothing
  } while (!gSyncStarted.compare_exchange_weak(started, started - 1, std::memory_order_acq_rel));
  if (started != 1) return;
  delete nxGlobalEventPool.exchange(nullptr, std::memory_order_acq_rel);
  gCacheOpen.store(false, std::memory_order_release);
  while (TnxListEntry* entry = nxListPopAboveDepth(gCacheHead, 0))
    TnxManualEvent::Free(TnxManualEvent::FromEntry(entry));
}

}  // namespace revurov
