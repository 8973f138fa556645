// TnxTableLockContainer: the cursor-level locks of one table (read locks,
// a re-entrant write lock, record locks by RefNr) and the one transaction
// that owns the table's pending changes.
//
// Contract:
// - Every operation runs under the container's gate; nothing holds it
//   while a request waits. The one exception: while the container is quiet
//   (no transaction, write lock, record lock, waiter or listed read lock), a
//   single cursor's read locks live in one atomic word and are taken and
//   given back without the gate; whoever takes the gate moves that reader
//   into the list first, and on leaving it re-opens the word when the
//   container is quiet again.
// - A conflicting request fails at once when it is conditional, when the
//   conflict is with its own session (the sessions of the cursors'
//   databases; a session being freed counts as another one) or when the
//   thread's deadline leaves 5 ms or less; otherwise it queues at the tail
//   of a FIFO and waits on its own auto-reset event for at most the
//   thread's remaining time, then evaluates again. A wait that ends
//   unsignalled turns the request conditional: one more evaluation, then it
//   answers.
// - Whenever a request leaves the queue (granted, refused, timed out or by
//   an exception) the new head is signalled; every release that removed a
//   lock signals the head. A record request that evaluates again with a
//   queued entry signals the entry behind its own, so that waiters for
//   other records evaluate too.
// - Read locks are kept in the order of the cursors' handles (RemoteID),
//   record locks in signed RefNr order; both arrays grow by 64 entries and
//   never shrink.
// - The server's transactions carry their TnxAbstractSession as owning
//   session (or none).
// - Conflicts never raise: they answer the conflict result and, when asked,
//   fill the failure reason. Only allocation failures raise; the request's
//   queued entry is gone before the exception leaves.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "dictionary/engine_types.h"
#include "lowlevel/sync/events.h"
#include "lowlevel/sync/padlock.h"

namespace revurov {

class InxExceptionDataContainer;
class TnxAbstractCursor;
class TnxBaseTransaction;
class TnxLockFailureReason;
class TnxTableLockContainer;

struct TnxCursorLock {
  TnxAbstractCursor* clCursor = nullptr;
  uint32_t clHandle = 0;  // the cursor's RemoteID: the sort key
  int32_t clCount = 0;
};
using TnxCursorLockList = std::vector<TnxCursorLock>;

struct TnxRecordLock {
  TnxAbstractCursor* rlCursor = nullptr;
  TnxRefNr rlRefNr = 0;
};
using TnxRecordLockList = std::vector<TnxRecordLock>;

// One queued request; made and freed only under the container's gate.
class TnxWaitingLockRequest : public TnxObject {
public:
  // Appends itself to the container's queue.
  TnxWaitingLockRequest(TnxTableLockContainer& aContainer, TnxLockRequestType aType, TnxAbstractCursor* aCursor,
                        TnxRefNr aRefNr);
  // Unlinks itself.
  ~TnxWaitingLockRequest() override;
  TnxWaitingLockRequest(const TnxWaitingLockRequest&) = delete;
  TnxWaitingLockRequest& operator=(const TnxWaitingLockRequest&) = delete;

  // Waits for the signal at most the thread's remaining time, and only when
  // more than 5 ms remain; true when signalled. Raises nothing.
  bool WaitFor() noexcept;

  TnxLockRequestType Type() const noexcept { return wlrType; }
  TnxAbstractCursor* Cursor() const noexcept { return wlrCursor; }
  TnxRefNr RefNr() const noexcept { return wlrRefNr; }
  TnxWaitingLockRequest* Next() const noexcept { return wlrNext; }

private:
  friend class TnxTableLockContainer;

  TnxTableLockContainer& wlrContainer;
  TnxLockRequestType wlrType;
  TnxAbstractCursor* wlrCursor;
  TnxRefNr wlrRefNr;
  TnxWaitingLockRequest* wlrPrev = nullptr;
  TnxWaitingLockRequest* wlrNext = nullptr;
  TnxEvent wlrEvent;
};

// Sees every signal and takes the place of every wait (tests drive waiting
// requests through it).
class InxLockWaitHook {
public:
  // Under the gate, right after aRequest's event was signalled.
  virtual void Signalled(const TnxWaitingLockRequest& aRequest) noexcept = 0;
  // Gate not held; true when signalled. An exception counts as unsignalled.
  virtual bool Wait(const TnxWaitingLockRequest& aRequest, uint32_t aTimeout) = 0;

protected:
  ~InxLockWaitHook() = default;
};

// What the container holds at one moment (exception data and tests).
struct TnxLockContainerState {
  struct Waiting {
    TnxLockRequestType Type;
    TnxAbstractCursor* Cursor;
    TnxRefNr RefNr;
  };
  TnxAbstractCursor* WriteLockCursor = nullptr;
  int32_t WriteLockCount = 0;
  TnxCursorLockList ReadLocks;
  TnxRecordLockList RecordLocks;
  std::vector<Waiting> Queue;
  TnxBaseTransaction* Trans = nullptr;
};

class TnxTableLockContainer : public TnxObject {
public:
  TnxTableLockContainer() = default;
  ~TnxTableLockContainer() override = default;
  TnxTableLockContainer(const TnxTableLockContainer&) = delete;
  TnxTableLockContainer& operator=(const TnxTableLockContainer&) = delete;

  TnxLockResult GetReadLock(TnxBaseTransaction* aTrans, TnxAbstractCursor* aCursor, bool aConditional,
                            TnxLockFailureReason* aReason);
  TnxLockResult GetWriteLock(TnxBaseTransaction* aTrans, TnxAbstractCursor* aCursor, bool aConditional,
                             TnxLockFailureReason* aReason);
  TnxLockResult GetRecordLock(TnxBaseTransaction* aTrans, TnxAbstractCursor* aCursor, TnxRefNr aRefNr,
                              bool aConditional, TnxLockFailureReason* aReason);

  // False when the cursor holds no read lock; drops one count.
  bool ReleaseReadLock(TnxAbstractCursor* aCursor);
  // False unless the cursor holds the write lock; drops one count.
  bool ReleaseWriteLock(TnxAbstractCursor* aCursor);
  // Adopts aTrans first when given; false when aCursor does not hold the
  // record's lock.
  bool ReleaseRecordLock(TnxAbstractCursor* aCursor, TnxRefNr aRefNr, TnxBaseTransaction* aTrans);

  TnxLockPresent IsReadLocked(TnxAbstractCursor* aCursor);
  TnxLockPresent IsWriteLocked(TnxAbstractCursor* aCursor);
  TnxLockPresent IsRecordLocked(TnxAbstractCursor* aCursor, TnxRefNr aRefNr);

  // Every read-lock count and the whole write lock of the cursor.
  void ClearCursorLocks(TnxAbstractCursor* aCursor);
  void ClearRecordLocks(TnxAbstractCursor* aCursor);
  void ClearAllLocks(TnxAbstractCursor* aCursor);

  // Gives the table back when aTrans owns it.
  void EndTransaction(TnxBaseTransaction* aTrans);

  void GetExceptionData(InxExceptionDataContainer& aContainer);
  TnxLockContainerState State();

  // Not owned; set while no request runs.
  void SetWaitHook(InxLockWaitHook* aHook) noexcept { tlcWaitHook.store(aHook, std::memory_order_release); }

private:
  friend class TnxWaitingLockRequest;
  struct Evaluation {
    TnxLockResult Result;
    TnxAbstractCursor* Conflict;
  };
  class QueuedEntry;
  class Gate;

  TnxLockResult Request(TnxLockRequestType aType, TnxBaseTransaction* aTrans, TnxAbstractCursor* aCursor,
                        TnxRefNr aRefNr, bool aConditional, TnxLockFailureReason* aReason);
  // Gate held, all of them.
  Evaluation EvaluateRead(TnxBaseTransaction* aTrans, TnxAbstractCursor* aCursor);
  Evaluation EvaluateWrite(TnxBaseTransaction* aTrans, TnxAbstractCursor* aCursor);
  Evaluation EvaluateRecord(TnxBaseTransaction* aTrans, TnxAbstractCursor* aCursor, TnxRefNr aRefNr);
  bool OtherTransaction(TnxBaseTransaction* aTrans) const noexcept;
  void AdoptTransaction(TnxBaseTransaction* aTrans) noexcept;
  void FillLockFailureReason(TnxLockRequestType aType, TnxAbstractCursor* aCursor, const Evaluation& aEvaluation,
                             TnxLockFailureReason& aReason);
  // Index of the cursor's read lock, or -1; aInsertAt: where it would go.
  int32_t FindReadLock(TnxAbstractCursor* aCursor, uint32_t aHandle, size_t* aInsertAt) const noexcept;
  // Index of the record's lock, or -1; aInsertAt: where it would go.
  int32_t FindRecordLock(TnxRefNr aRefNr, size_t* aInsertAt) const noexcept;
  void GrowReadLockList();
  void GrowRecordLockList();
  void Signal(TnxWaitingLockRequest& aRequest) noexcept;
  void SignalHead() noexcept;
  bool ClearCursorLocksLocked(TnxAbstractCursor* aCursor) noexcept;
  bool ClearRecordLocksLocked(TnxAbstractCursor* aCursor) noexcept;
  // Gate held, both: the fast reader into the list and the word shut; the
  // word re-opened when the container is quiet, with a lone listed reader
  // moved back into it.
  void SeizeFastReader() noexcept;
  void PublishFastReader() noexcept;

  static constexpr uintptr_t kFastShut = 1;

  TnxPadlock tlcGate{true};
  // kFastShut, or the read locks of at most one cursor: 0 for none,
  // otherwise the cursor's address with the count in the top 16 bits.
  std::atomic<uintptr_t> tlcFastReader{kFastShut};
  std::atomic<TnxBaseTransaction*> tlcTrans{nullptr};
  TnxWaitingLockRequest* tlcWaitingHead = nullptr;
  TnxWaitingLockRequest* tlcWaitingTail = nullptr;
  int32_t tlcWriteLockPresent = 0;
  TnxAbstractCursor* tlcWriteLockCursor = nullptr;
  TnxCursorLockList tlcReadLockList;
  TnxRecordLockList tlcRecordLockList;
  std::atomic<InxLockWaitHook*> tlcWaitHook{nullptr};
};

}  // namespace revurov
