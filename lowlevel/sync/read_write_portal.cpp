#include "lowlevel/sync/read_write_portal.h"

#include <new>

#include "lowlevel/sync/lazy_publish.h"
#include "platform/os_thread.h"
#include "platform/rtl_exception.h"

namespace revurov {

using platform::kInfinite;

namespace {

// A record is touched on every outermost read by its owner alone; a full
// cache line each keeps two readers' records from sharing one.
constexpr std::size_t kRecordBytes = 64;
static_assert(sizeof(TnxThreadState) <= kRecordBytes);

constexpr int kSpinBeforeWait = 2000;

// The record a thread acquired last, so that nested calls skip the walk. It
// always names a record its thread holds claimed: Release forgets it, and a
// table being destroyed forgets it for the destroying thread.
struct LastRecord {
  const TnxThreadStates* table = nullptr;
  TnxThreadState* record = nullptr;
};
thread_local LastRecord tlsLast;

// A thread's read state in the first portal it reads, kept here so that the
// usual begin/end pair walks no record table. Free while portal is null.
// `records` counts the records the thread holds in all tables: while it is
// 0, a portal other than the slot's has no state of this thread.
struct ReadSlot {
  const TnxInternalReadWritePortal* portal = nullptr;
  uint64_t serial = 0;
  uint32_t count = 0;
  bool counted = false;
  int records = 0;
};
thread_local ReadSlot tlsSlot;

std::atomic<uint64_t> gPortalSerials{0};

}  // namespace

// ---- TnxThreadStates ----

TnxThreadStates::~TnxThreadStates() {
  if (tlsLast.table == this) tlsLast = {};
  const uint32_t me = platform::CurrentThreadId();
  for (auto& head : tlcHashTable) {
    TnxThreadState* p = head.exchange(nullptr, std::memory_order_acquire);
    while (p) {
      TnxThreadState* next = p->tsNext.load(std::memory_order_relaxed);
      if (p->tsID.load(std::memory_order_relaxed) == me) --tlsSlot.records;  // e.g. a destroyer's write
      p->~TnxThreadState();
      nxFreeMem(p);
      p = next;
    }
  }
}

TnxThreadState* TnxThreadStates::Acquire(uint32_t aThreadID) {
  if (tlsLast.table == this && tlsLast.record->tsID.load(std::memory_order_relaxed) == aThreadID)
    return tlsLast.record;
  TnxThreadState* found = Find(aThreadID);
  tlsLast = {this, found};
  return found;
}

TnxThreadState* TnxThreadStates::Find(uint32_t aThreadID) {
  std::atomic<TnxThreadState*>& head = tlcHashTable[BucketOf(aThreadID)];
  TnxThreadState* const first = head.load(std::memory_order_acquire);
  // Only this thread ever stores its own id, so a plain read of the id
  // suffices to find its record.
  for (TnxThreadState* p = first; p; p = p->tsNext.load(std::memory_order_acquire))
    if (p->tsID.load(std::memory_order_relaxed) == aThreadID) return p;

  TnxThreadState* claimed = nullptr;
  for (TnxThreadState* p = first; p && !claimed; p = p->tsNext.load(std::memory_order_acquire)) {
    if (p->tsInUse.load(std::memory_order_relaxed) == -1) continue;  // spare the owner's line
    if (p->tsInUse.exchange(-1, std::memory_order_acq_rel) != -1) claimed = p;
  }
  if (!claimed) {
    claimed = new (nxGetMem(kRecordBytes)) TnxThreadState;
    claimed->tsInUse.store(-1, std::memory_order_relaxed);
    // Link with a compare-exchange, not an exchange followed by a store of
    // the link: in between, a walker of the bucket would see the new record
    // without its successors and could miss its own record.
    TnxThreadState* old = head.load(std::memory_order_relaxed);
    do {
      claimed->tsNext.store(old, std::memory_order_relaxed);
    } while (!head.compare_exchange_weak(old, claimed, std::memory_order_release, std::memory_order_relaxed));
  }
  claimed->tsCount = 0;
  claimed->tsCounted = false;
  claimed->tsID.store(aThreadID, std::memory_order_relaxed);
  if (aThreadID == platform::CurrentThreadId()) ++tlsSlot.records;
  return claimed;
}

void TnxThreadStates::Release(TnxThreadState* aThreadState) noexcept {
  if (tlsLast.record == aThreadState) tlsLast = {};
  if (aThreadState->tsID.load(std::memory_order_relaxed) == platform::CurrentThreadId()) --tlsSlot.records;
  aThreadState->tsID.store(0, std::memory_order_relaxed);
  aThreadState->tsInUse.store(0, std::memory_order_release);
}

int TnxThreadStates::RecordCount() const noexcept {
  int n = 0;
  for (const auto& head : tlcHashTable)
    for (TnxThreadState* p = head.load(std::memory_order_acquire); p; p = p->tsNext.load(std::memory_order_acquire))
      ++n;
  return n;
}

// ---- TnxInternalReadWritePortal ----

TnxInternalReadWritePortal::TnxInternalReadWritePortal()
    : rwpSerial(gPortalSerials.fetch_add(1, std::memory_order_relaxed) + 1) {
  // Most portals are never waited on: their descriptors come with the first
  // wait, and a wait without one still blocks (by sleeps).
  rwpReadEvent = platform::CreateDeferredEvent(true, true);
  rwpWriteEvent = platform::CreateDeferredEvent(false, false);
  // Waits on a missing event would fail at once and the waiting loops would
  // spin: refuse the portal instead.
  if (!rwpReadEvent || !rwpWriteEvent) {
    platform::CloseEvent(rwpReadEvent);
    platform::CloseEvent(rwpWriteEvent);
    throw platform::EOutOfMemory();
  }
}

TnxInternalReadWritePortal::~TnxInternalReadWritePortal() {
  BeginWrite();
  if (tlsSlot.portal == this) tlsSlot = {.records = tlsSlot.records};
  platform::CloseEvent(rwpReadEvent);
  platform::CloseEvent(rwpWriteEvent);
}

void TnxInternalReadWritePortal::WaitOn(platform::EventHandle aEvent) {
  // Holds are short: spin a while before sleeping, which costs system calls
  // on both sides.
  for (int i = 0; i < kSpinBeforeWait; ++i) {
    if (platform::WaitForEvent(aEvent, 0) == platform::kWaitObject0) return;
    platform::CpuRelax();
  }
  rwpWaiters.fetch_add(1, std::memory_order_acq_rel);
  platform::WaitForEvent(aEvent, kInfinite);
  rwpWaiters.fetch_sub(1, std::memory_order_acq_rel);
}

void TnxInternalReadWritePortal::BeginRead() {
  ReadSlot& slot = tlsSlot;
  if (slot.portal == this && slot.serial == rwpSerial) {
    ++slot.count;
    return;
  }
  const uint32_t me = platform::CurrentThreadId();
  bool* counted;
  if (!slot.portal && slot.records == 0) {
    slot.portal = this;
    slot.serial = rwpSerial;
    slot.count = 1;
    slot.counted = false;
    counted = &slot.counted;
  } else {
    TnxThreadState* ts = rwpThreadStates.Acquire(me);
    if (++ts->tsCount > 1) return;
    counted = &ts->tsCounted;
  }
  if (rwpWriterID.load(std::memory_order_relaxed) == me) return;  // a read inside the own write
  // The event is set but while a writer waits or writes: test it in line.
  if (!platform::EventSignalled(rwpReadEvent)) WaitOn(rwpReadEvent);
  for (;;) {
    if (rwpPortal.fetch_sub(1, std::memory_order_acq_rel) - 1 > 0) {
      *counted = true;
      return;
    }
    // A writer holds or takes the portal: step back, and let it know when
    // that leaves the counter idle.
    if (rwpPortal.fetch_add(1, std::memory_order_acq_rel) + 1 == kIdle) platform::SetEvent(rwpWriteEvent);
    platform::YieldThread();
    WaitOn(rwpReadEvent);
  }
}

void TnxInternalReadWritePortal::EndRead() {
  ReadSlot& slot = tlsSlot;
  bool counted;
  if (slot.portal == this && slot.serial == rwpSerial) {
    if (--slot.count > 0) return;
    counted = slot.counted;
    slot.portal = nullptr;
  } else {
    TnxThreadState* ts = rwpThreadStates.Acquire(platform::CurrentThreadId());
    if (--ts->tsCount > 0) return;
    counted = ts->tsCounted;
    TnxThreadStates::Release(ts);
  }
  // Whether the read holds a slot of the counter is recorded with the read,
  // not inferred from being the writer now: a read taken before an upgrade
  // may end inside the write, and must still give its slot back.
  if (!counted) return;
  const int32_t now = rwpPortal.fetch_add(1, std::memory_order_acq_rel) + 1;
  // Nobody takes the write event's signal while no writer comes, so it is
  // mostly set already.
  if ((now == kIdle || (now <= 0 && now % kIdle == 0)) && !platform::EventSignalled(rwpWriteEvent))
    platform::SetEvent(rwpWriteEvent);
}

bool TnxInternalReadWritePortal::BeginWrite() {
  const uint32_t me = platform::CurrentThreadId();
  if (rwpWriterID.load(std::memory_order_relaxed) == me) {
    ++rwpWriterCount;
    return true;
  }
  platform::ResetEvent(rwpReadEvent);
  const uint32_t generation = rwpGeneration.load(std::memory_order_acquire);
  // An upgrading reader gives its slot back while it waits, or it would wait
  // for itself.
  bool holdsSlot = false;
  const ReadSlot& slot = tlsSlot;
  if (slot.portal == this && slot.serial == rwpSerial)
    holdsSlot = slot.counted;
  else if (slot.records > 0)
    holdsSlot = rwpThreadStates.Acquire(me)->tsCounted;
  if (holdsSlot) rwpPortal.fetch_add(1, std::memory_order_acq_rel);
  for (;;) {
    if (rwpPortal.fetch_add(-kIdle, std::memory_order_acq_rel) == kIdle) break;
    if (rwpPortal.fetch_add(kIdle, std::memory_order_acq_rel) != 0) {
      WaitOn(rwpWriteEvent);
      // Another writer's EndWrite lets readers in again; shut them out anew so
      // that a steady stream of readers cannot starve this writer.
      platform::ResetEvent(rwpReadEvent);
    }
  }
  platform::ResetEvent(rwpReadEvent);
  if (holdsSlot) rwpPortal.fetch_sub(1, std::memory_order_acq_rel);
  rwpWriterID.store(me, std::memory_order_relaxed);
  const bool undisturbed = rwpGeneration.fetch_add(1, std::memory_order_acq_rel) + 1 == generation + 1;
  ++rwpWriterCount;
  return undisturbed;
}

void TnxInternalReadWritePortal::EndWrite() {
  ReadSlot& slot = tlsSlot;
  TnxThreadState* ts = nullptr;
  uint32_t* count = nullptr;
  bool* counted = nullptr;
  if (slot.portal == this && slot.serial == rwpSerial) {
    count = &slot.count;
    counted = &slot.counted;
  } else if (slot.records > 0) {
    ts = rwpThreadStates.Acquire(platform::CurrentThreadId());
    count = &ts->tsCount;
    counted = &ts->tsCounted;
  }
  if (--rwpWriterCount == 0) {
    rwpWriterID.store(0, std::memory_order_relaxed);
    int32_t open = kIdle;
    // Reads begun inside the write and still open become ordinary reads: they
    // keep a slot, or the counter would later be raised above idle.
    if (count && *count > 0 && !*counted) {
      open = kIdle - 1;
      *counted = true;
    }
    rwpPortal.fetch_add(open, std::memory_order_acq_rel);
    platform::SetEvent(rwpWriteEvent);
    platform::SetEvent(rwpReadEvent);
  }
  if (ts && ts->tsCount == 0) TnxThreadStates::Release(ts);
}

void TnxInternalReadWritePortal::CreateAndRead(TnxInternalReadWritePortal*& aPortal) {
  nxCreateAndEnter(
      aPortal, [] { return new TnxInternalReadWritePortal; },
      [](TnxInternalReadWritePortal& p) { p.BeginRead(); }, [](TnxInternalReadWritePortal& p) { p.EndRead(); });
}

void TnxInternalReadWritePortal::CreateAndWrite(TnxInternalReadWritePortal*& aPortal) {
  nxCreateAndEnter(
      aPortal, [] { return new TnxInternalReadWritePortal; },
      [](TnxInternalReadWritePortal& p) { p.BeginWrite(); }, [](TnxInternalReadWritePortal& p) { p.EndWrite(); });
}

}  // namespace revurov
