// TnxInternalReadWritePortal: the library's reader/writer lock.
//
// Contract:
// - Many threads may read at once, one thread writes. Every nesting by one
//   thread is allowed: reads in reads, writes in writes, a read inside a
//   write and a write inside a read (an upgrade).
// - Every BeginRead needs one EndRead on the same thread and every BeginWrite
//   one EndWrite; unbalanced calls are not detected.
// - BeginWrite answers true when no other writer held the portal between the
//   call and the moment this thread got it (always true when nested). An
//   upgrading reader that gets false must treat its read view as stale.
// - Writers take precedence: once a writer waits, arriving readers wait until
//   it has finished; readers already inside finish first.
// - A nested read or write touches only the thread's own state.
#pragma once

#include <atomic>
#include <cstdint>

#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/os_event.h"

namespace revurov {

// One thread's nesting state in a portal. Only the owning thread touches
// tsCount and tsCounted; records are claimed and freed through the atomics.
struct TnxThreadState {
  std::atomic<TnxThreadState*> tsNext{nullptr};
  std::atomic<int32_t> tsInUse{0};  // -1 while owned
  uint32_t tsCount = 0;             // read nesting depth
  std::atomic<uint32_t> tsID{0};    // owner's thread id, 0 when free
  bool tsCounted = false;           // the outermost read holds a slot of the counter
};

// Per-thread records in 16 buckets of lock-free lists. Records are never
// unlinked while the table lives; a freed one is reused by the next thread
// that hashes to its bucket. A portal keeps the state of the one portal a
// thread reads first in a thread-local slot and needs records only for the
// portals that thread reads at the same time.
class TnxThreadStates : public TnxObject {
public:
  static constexpr int kBuckets = 16;

  TnxThreadStates() = default;
  ~TnxThreadStates() override;

  static uint32_t BucketOf(uint32_t aThreadID) noexcept {
    return (aThreadID ^ (aThreadID >> 8) ^ (aThreadID >> 16) ^ (aThreadID >> 24)) & 15;
  }

  // The thread's record, claiming a free one or linking a new one.
  TnxThreadState* Acquire(uint32_t aThreadID);
  static void Release(TnxThreadState* aThreadState) noexcept;

  // Records linked in the table (for tests of reuse).
  int RecordCount() const noexcept;

private:
  TnxThreadState* Find(uint32_t aThreadID);

  std::atomic<TnxThreadState*> tlcHashTable[kBuckets] = {};
};

class TnxInternalReadWritePortal : public TnxObject {
public:
  static constexpr int32_t kIdle = 65535;

  TnxInternalReadWritePortal();
  // Waits until every other holder has left, like a BeginWrite.
  ~TnxInternalReadWritePortal() override;

  void BeginRead();
  void EndRead();
  bool BeginWrite();
  void EndWrite();

  // Lazy creation of a shared portal, entered on return. Of threads racing on
  // one null variable exactly one publishes its portal; the others free their
  // own and enter that one.
  static void CreateAndRead(TnxInternalReadWritePortal*& aPortal);
  static void CreateAndWrite(TnxInternalReadWritePortal*& aPortal);

  // The gate counter: kIdle when idle, less one per reader inside, less
  // kIdle while a writer holds it.
  int32_t PortalCount() const noexcept { return rwpPortal.load(std::memory_order_acquire); }
  uint32_t Generation() const noexcept { return rwpGeneration.load(std::memory_order_acquire); }
  uint32_t WriterID() const noexcept { return rwpWriterID.load(std::memory_order_acquire); }
  const TnxThreadStates& ThreadStates() const noexcept { return rwpThreadStates; }
  // Threads blocked (or about to block) on one of the portal's events.
  int Waiters() const noexcept { return rwpWaiters.load(std::memory_order_acquire); }

private:
  void WaitOn(platform::EventHandle aEvent);

  // The counter is the only line all readers write; keep it apart from the
  // fields they only read.
  alignas(64) std::atomic<int32_t> rwpPortal{kIdle};
  alignas(64) TnxThreadStates rwpThreadStates;
  platform::EventHandle rwpReadEvent = nullptr;   // manual, set while readers may enter
  platform::EventHandle rwpWriteEvent = nullptr;  // auto, wakes one waiting writer
  // Unique per portal ever made: a thread's slot naming a freed portal never
  // matches a new one made at the same address.
  const uint64_t rwpSerial;
  std::atomic<uint32_t> rwpWriterID{0};
  uint32_t rwpWriterCount = 0;  // the writer's nesting depth
  std::atomic<uint32_t> rwpGeneration{0};
  std::atomic<int> rwpWaiters{0};
};

using TnxPortalReadGuard = TnxLockGuard<TnxInternalReadWritePortal, &TnxInternalReadWritePortal::BeginRead,
                                         &TnxInternalReadWritePortal::EndRead>;
// Entered() is BeginWrite's answer: whether the write was undisturbed.
using TnxPortalWriteGuard = TnxLockGuard<TnxInternalReadWritePortal, &TnxInternalReadWritePortal::BeginWrite,
                                          &TnxInternalReadWritePortal::EndWrite>;

}  // namespace revurov
