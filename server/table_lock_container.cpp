#include "server/table_lock_container.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

#include "engine/abstract_cursor.h"
#include "engine/abstract_database.h"
#include "engine/abstract_session.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/wide_strings/utils_convert.h"
#include "storage/deadline.h"
#include "storage/server_exceptions.h"
#include "storage/transactions.h"

namespace revurov {

namespace {

constexpr size_t kListGrowth = 64;
// A wait shorter than this is not worth the round trip.
constexpr int32_t kMinWaitMs = 5;

constexpr std::u16string_view kRequestTypeNames[3] = {u"lrtRecordLock", u"lrtReadLock", u"lrtWriteLock"};
constexpr std::u16string_view kResultNames[9] = {
    u"lrGrantedNew", u"lrGrantedExisting", u"lrConflictUnknown", u"lrConflictCursorWriteLock",
    u"lrConflictCursorReadLockSingle", u"lrConflictCursorReadLockMultiple", u"lrConflictCursorRecordLockSingle",
    u"lrConflictCursorRecordLockMultiple", u"lrConflictTransaction",
};

bool IsGrant(TnxLockResult aResult) noexcept { return aResult < lrConflictUnknown; }

TnxAbstractSession* SessionOfCursor(const TnxAbstractCursor* aCursor) noexcept {
  TnxAbstractDatabase* database = aCursor ? aCursor->Database() : nullptr;
  TnxAbstractServerObject* session = database ? database->Session() : nullptr;
  if (!session || !session->ClassType().InheritsFrom(TnxAbstractSession::ClassInfo())) return nullptr;
  return static_cast<TnxAbstractSession*>(session);
}

TnxAbstractSession* SessionOfTransaction(const TnxBaseTransaction* aTrans) noexcept {
  return aTrans ? static_cast<TnxAbstractSession*>(aTrans->OwningSession()) : nullptr;
}

// A session on its way out no longer vouches for its cursors: its
// conflicts are treated like another session's.
bool SameSession(const TnxAbstractSession* aOne, const TnxAbstractSession* aOther) noexcept {
  return aOne && aOne == aOther && !aOne->Destroying();
}

uint32_t HandleOf(const TnxAbstractCursor* aCursor) noexcept { return aCursor->RemoteID(); }

// The fast reader word: a cursor's address (user space, 8-aligned, so the
// top 16 and low 3 bits are free) with its read-lock count on top.
static_assert(sizeof(uintptr_t) == 8);
constexpr int kFastCountShift = 48;
constexpr uintptr_t kFastCountOne = uintptr_t(1) << kFastCountShift;
constexpr uintptr_t kFastCursorMask = kFastCountOne - 1;
constexpr uintptr_t kFastCountMax = 0xFFFF;

// 0 when the cursor's address does not fit the word.
uintptr_t FastKey(const TnxAbstractCursor* aCursor) noexcept {
  uintptr_t key = reinterpret_cast<uintptr_t>(aCursor);
  return (key & ~kFastCursorMask) || (key & 7) ? 0 : key;
}

}  // namespace

// ---- TnxWaitingLockRequest ----

TnxWaitingLockRequest::TnxWaitingLockRequest(TnxTableLockContainer& aContainer, TnxLockRequestType aType,
                                             TnxAbstractCursor* aCursor, TnxRefNr aRefNr)
    : wlrContainer(aContainer), wlrType(aType), wlrCursor(aCursor), wlrRefNr(aRefNr) {
  wlrPrev = aContainer.tlcWaitingTail;
  if (wlrPrev)
    wlrPrev->wlrNext = this;
  else
    aContainer.tlcWaitingHead = this;
  aContainer.tlcWaitingTail = this;
}

TnxWaitingLockRequest::~TnxWaitingLockRequest() {
  if (wlrPrev)
    wlrPrev->wlrNext = wlrNext;
  else
    wlrContainer.tlcWaitingHead = wlrNext;
  if (wlrNext)
    wlrNext->wlrPrev = wlrPrev;
  else
    wlrContainer.tlcWaitingTail = wlrPrev;
}

bool TnxWaitingLockRequest::WaitFor() noexcept {
  try {
    int32_t remaining = nxRemainingTimeout();
    if (remaining <= kMinWaitMs) return false;
    if (InxLockWaitHook* hook = wlrContainer.tlcWaitHook.load(std::memory_order_acquire))
      return hook->Wait(*this, uint32_t(remaining));
    return wlrEvent.WaitForQuietly(uint32_t(remaining)) == 0;
  } catch (...) {
    return false;
  }
}

// ---- the gate ----

// Takes the gate and shuts the fast reader word for as long as it is held.
class TnxTableLockContainer::Gate {
public:
  explicit Gate(TnxTableLockContainer& aContainer) : gContainer(aContainer) {
    gContainer.tlcGate.Lock();
    gContainer.SeizeFastReader();
  }
  ~Gate() {
    gContainer.PublishFastReader();
    gContainer.tlcGate.Unlock();
  }
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

private:
  TnxTableLockContainer& gContainer;
};

void TnxTableLockContainer::SeizeFastReader() noexcept {
  uintptr_t word = tlcFastReader.load(std::memory_order_acquire);
  while (word != kFastShut)
    if (tlcFastReader.compare_exchange_weak(word, kFastShut, std::memory_order_acq_rel, std::memory_order_acquire)) {
      // The word is open only over an empty list that has room, so this
      // insert allocates nothing.
      if (word != 0) {
        auto* cursor = reinterpret_cast<TnxAbstractCursor*>(word & kFastCursorMask);
        tlcReadLockList.push_back(TnxCursorLock{cursor, HandleOf(cursor), int32_t(word >> kFastCountShift)});
      }
      return;
    }
}

void TnxTableLockContainer::PublishFastReader() noexcept {
  if (tlcTrans.load(std::memory_order_relaxed) || tlcWriteLockCursor || !tlcRecordLockList.empty() ||
      tlcWaitingHead || tlcReadLockList.size() > 1 || tlcReadLockList.capacity() == 0)
    return;
  uintptr_t word = 0;
  if (!tlcReadLockList.empty()) {
    // A lone reader goes back into the word only when it would come out the
    // same: its count fits and its handle is still the one it is sorted by.
    const TnxCursorLock& lock = tlcReadLockList.front();
    const uintptr_t key = FastKey(lock.clCursor);
    if (!key || uintptr_t(lock.clCount) > kFastCountMax || lock.clHandle != HandleOf(lock.clCursor)) return;
    word = key | uintptr_t(lock.clCount) << kFastCountShift;
    tlcReadLockList.clear();
  }
  tlcFastReader.store(word, std::memory_order_release);
}

// ---- the queued entry of one request ----

// Owns the request's entry; freeing it (also while an exception unwinds)
// takes the gate and passes the turn to the new head.
class TnxTableLockContainer::QueuedEntry {
public:
  explicit QueuedEntry(TnxTableLockContainer& aContainer) noexcept : qeContainer(aContainer) {}
  ~QueuedEntry() {
    if (qeRequest) {
      Gate gate(qeContainer);
      FreeLocked();
    }
  }
  QueuedEntry(const QueuedEntry&) = delete;
  QueuedEntry& operator=(const QueuedEntry&) = delete;

  TnxWaitingLockRequest* get() const noexcept { return qeRequest.get(); }
  void Queue(TnxLockRequestType aType, TnxAbstractCursor* aCursor, TnxRefNr aRefNr) {
    qeRequest.reset(new TnxWaitingLockRequest(qeContainer, aType, aCursor, aRefNr));
  }
  // Gate held.
  void FreeLocked() noexcept {
    if (!qeRequest) return;
    qeRequest.reset();
    qeContainer.SignalHead();
  }

private:
  TnxTableLockContainer& qeContainer;
  std::unique_ptr<TnxWaitingLockRequest> qeRequest;
};

// ---- requests ----

TnxLockResult TnxTableLockContainer::GetReadLock(TnxBaseTransaction* aTrans, TnxAbstractCursor* aCursor,
                                                 bool aConditional, TnxLockFailureReason* aReason) {
  // A quiet container grants at once, whatever the transaction or the
  // condition.
  if (const uintptr_t key = FastKey(aCursor)) {
    uintptr_t word = tlcFastReader.load(std::memory_order_relaxed);
    while (word != kFastShut) {
      uintptr_t next;
      TnxLockResult result;
      if (word == 0) {
        next = key | kFastCountOne;
        result = lrGrantedNew;
      } else if ((word & kFastCursorMask) == key && (word >> kFastCountShift) < kFastCountMax) {
        next = word + kFastCountOne;
        result = lrGrantedExisting;
      } else {
        break;
      }
      if (tlcFastReader.compare_exchange_weak(word, next, std::memory_order_acquire, std::memory_order_relaxed))
        return result;
    }
  }
  return Request(lrtReadLock, aTrans, aCursor, 0, aConditional, aReason);
}

TnxLockResult TnxTableLockContainer::GetWriteLock(TnxBaseTransaction* aTrans, TnxAbstractCursor* aCursor,
                                                  bool aConditional, TnxLockFailureReason* aReason) {
  return Request(lrtWriteLock, aTrans, aCursor, 0, aConditional, aReason);
}

TnxLockResult TnxTableLockContainer::GetRecordLock(TnxBaseTransaction* aTrans, TnxAbstractCursor* aCursor,
                                                   TnxRefNr aRefNr, bool aConditional,
                                                   TnxLockFailureReason* aReason) {
  return Request(lrtRecordLock, aTrans, aCursor, aRefNr, aConditional, aReason);
}

TnxLockResult TnxTableLockContainer::Request(TnxLockRequestType aType, TnxBaseTransaction* aTrans,
                                             TnxAbstractCursor* aCursor, TnxRefNr aRefNr, bool aConditional,
                                             TnxLockFailureReason* aReason) {
  bool conditional = aConditional;
  QueuedEntry entry(*this);
  for (;;) {
    {
      Gate gate(*this);
      Evaluation evaluation{};
      switch (aType) {
        case lrtReadLock: evaluation = EvaluateRead(aTrans, aCursor); break;
        case lrtWriteLock: evaluation = EvaluateWrite(aTrans, aCursor); break;
        case lrtRecordLock: evaluation = EvaluateRecord(aTrans, aCursor, aRefNr); break;
      }
      if (!conditional && !IsGrant(evaluation.Result)) {
        TnxAbstractSession* own = SessionOfCursor(aCursor);
        if (evaluation.Result == lrConflictTransaction &&
            SameSession(SessionOfTransaction(tlcTrans.load(std::memory_order_relaxed)), own))
          conditional = true;
        else if (evaluation.Conflict && SameSession(SessionOfCursor(evaluation.Conflict), own))
          conditional = true;
      }
      if (IsGrant(evaluation.Result) || conditional) {
        entry.FreeLocked();
        if (!IsGrant(evaluation.Result) && aReason) FillLockFailureReason(aType, aCursor, evaluation, *aReason);
        return evaluation.Result;
      }
      if (!entry.get())
        entry.Queue(aType, aCursor, aRefNr);
      else if (aType == lrtRecordLock && entry.get()->wlrNext)
        Signal(*entry.get()->wlrNext);
    }
    if (!entry.get()->WaitFor()) conditional = true;
  }
}

bool TnxTableLockContainer::OtherTransaction(TnxBaseTransaction* aTrans) const noexcept {
  TnxBaseTransaction* owner = tlcTrans.load(std::memory_order_relaxed);
  return owner && owner != aTrans;
}

TnxTableLockContainer::Evaluation TnxTableLockContainer::EvaluateRead(TnxBaseTransaction* aTrans,
                                                                      TnxAbstractCursor* aCursor) {
  if (OtherTransaction(aTrans)) return {lrConflictTransaction, nullptr};
  if (!tlcRecordLockList.empty())
    return {tlcRecordLockList.size() == 1 ? lrConflictCursorRecordLockSingle : lrConflictCursorRecordLockMultiple,
            tlcRecordLockList.front().rlCursor};
  if (tlcWriteLockCursor && tlcWriteLockCursor != aCursor) return {lrConflictCursorWriteLock, tlcWriteLockCursor};
  uint32_t handle = HandleOf(aCursor);
  size_t at = 0;
  int32_t index = FindReadLock(aCursor, handle, &at);
  if (index >= 0) {
    ++tlcReadLockList[size_t(index)].clCount;
    return {lrGrantedExisting, nullptr};
  }
  GrowReadLockList();
  tlcReadLockList.insert(tlcReadLockList.begin() + ptrdiff_t(at), TnxCursorLock{aCursor, handle, 1});
  return {lrGrantedNew, nullptr};
}

TnxTableLockContainer::Evaluation TnxTableLockContainer::EvaluateWrite(TnxBaseTransaction* aTrans,
                                                                       TnxAbstractCursor* aCursor) {
  if (OtherTransaction(aTrans)) return {lrConflictTransaction, nullptr};
  if (tlcWriteLockCursor) {
    if (tlcWriteLockCursor != aCursor) return {lrConflictCursorWriteLock, tlcWriteLockCursor};
    ++tlcWriteLockPresent;
    return {lrGrantedExisting, nullptr};
  }
  if (tlcReadLockList.empty() || (tlcReadLockList.size() == 1 && tlcReadLockList.front().clCursor == aCursor)) {
    TnxAbstractCursor* conflict = nullptr;
    for (auto it = tlcRecordLockList.rbegin(); it != tlcRecordLockList.rend(); ++it) {
      if (it->rlCursor == aCursor) continue;
      if (conflict) return {lrConflictCursorRecordLockMultiple, conflict};
      conflict = it->rlCursor;
    }
    if (conflict) return {lrConflictCursorRecordLockSingle, conflict};
    tlcWriteLockCursor = aCursor;
    tlcWriteLockPresent = 1;
    return {lrGrantedNew, nullptr};
  }
  if (tlcReadLockList.size() == 1) return {lrConflictCursorReadLockSingle, tlcReadLockList.front().clCursor};
  TnxAbstractCursor* conflict = nullptr;
  for (auto it = tlcReadLockList.rbegin(); it != tlcReadLockList.rend(); ++it) {
    if (it->clCursor == aCursor) continue;
    if (conflict) return {lrConflictCursorReadLockMultiple, conflict};
    conflict = it->clCursor;
  }
  return {lrConflictCursorReadLockSingle, conflict};
}

TnxTableLockContainer::Evaluation TnxTableLockContainer::EvaluateRecord(TnxBaseTransaction* aTrans,
                                                                        TnxAbstractCursor* aCursor, TnxRefNr aRefNr) {
  if (tlcWriteLockCursor && tlcWriteLockCursor != aCursor) return {lrConflictCursorWriteLock, tlcWriteLockCursor};
  if (!tlcReadLockList.empty())
    return {tlcReadLockList.size() == 1 ? lrConflictCursorReadLockSingle : lrConflictCursorReadLockMultiple,
            tlcReadLockList.front().clCursor};
  size_t at = 0;
  int32_t index = FindRecordLock(aRefNr, &at);
  if (index >= 0) {
    TnxAbstractCursor* holder = tlcRecordLockList[size_t(index)].rlCursor;
    if (holder == aCursor) return {lrGrantedExisting, nullptr};
    return {lrConflictCursorRecordLockSingle, holder};
  }
  if (OtherTransaction(aTrans)) return {lrConflictTransaction, nullptr};
  GrowRecordLockList();
  tlcRecordLockList.insert(tlcRecordLockList.begin() + ptrdiff_t(at), TnxRecordLock{aCursor, aRefNr});
  return {lrGrantedNew, nullptr};
}

int32_t TnxTableLockContainer::FindReadLock(TnxAbstractCursor* aCursor, uint32_t aHandle,
                                            size_t* aInsertAt) const noexcept {
  auto first = std::lower_bound(tlcReadLockList.begin(), tlcReadLockList.end(), aHandle,
                                [](const TnxCursorLock& aLock, uint32_t aKey) { return aLock.clHandle < aKey; });
  if (aInsertAt) *aInsertAt = size_t(first - tlcReadLockList.begin());
  for (auto it = first; it != tlcReadLockList.end() && it->clHandle == aHandle; ++it)
    if (it->clCursor == aCursor) return int32_t(it - tlcReadLockList.begin());
  // A dying cursor has given its handle back already (and clears its
  // locks then): find it by itself.
  if (aHandle == 0)
    for (auto it = tlcReadLockList.begin(); it != tlcReadLockList.end(); ++it)
      if (it->clCursor == aCursor) return int32_t(it - tlcReadLockList.begin());
  return -1;
}

int32_t TnxTableLockContainer::FindRecordLock(TnxRefNr aRefNr, size_t* aInsertAt) const noexcept {
  auto it = std::lower_bound(tlcRecordLockList.begin(), tlcRecordLockList.end(), aRefNr,
                             [](const TnxRecordLock& aLock, TnxRefNr aKey) { return aLock.rlRefNr < aKey; });
  if (aInsertAt) *aInsertAt = size_t(it - tlcRecordLockList.begin());
  return it != tlcRecordLockList.end() && it->rlRefNr == aRefNr ? int32_t(it - tlcRecordLockList.begin()) : -1;
}

void TnxTableLockContainer::GrowReadLockList() {
  if (tlcReadLockList.size() == tlcReadLockList.capacity())
    tlcReadLockList.reserve(tlcReadLockList.capacity() + kListGrowth);
}

void TnxTableLockContainer::GrowRecordLockList() {
  if (tlcRecordLockList.size() == tlcRecordLockList.capacity())
    tlcRecordLockList.reserve(tlcRecordLockList.capacity() + kListGrowth);
}

void TnxTableLockContainer::Signal(TnxWaitingLockRequest& aRequest) noexcept {
  aRequest.wlrEvent.SignalEvent();
  if (InxLockWaitHook* hook = tlcWaitHook.load(std::memory_order_acquire)) hook->Signalled(aRequest);
}

void TnxTableLockContainer::SignalHead() noexcept {
  if (tlcWaitingHead) Signal(*tlcWaitingHead);
}

void TnxTableLockContainer::FillLockFailureReason(TnxLockRequestType aType, TnxAbstractCursor* aCursor,
                                                  const Evaluation& aEvaluation, TnxLockFailureReason& aReason) {
  aReason.Clear();
  const TnxLockResult result = aEvaluation.Result;
  const bool multiple = result == lrConflictCursorReadLockMultiple || result == lrConflictCursorRecordLockMultiple;
  std::u16string line = u"The requested content ";
  line += nxLockRequestNames[aType];
  line += u" could not be granted due to ";
  line += multiple ? u"multiple " : u"a ";
  line += nxLockConflictNames[nxLockResultConflictKinds[result]];
  line += multiple ? u" conflicts." : u" conflict.";
  line += nxMessageTag(u"LockError.Type", u"content");
  line += nxMessageTag(u"LockError.Request", kRequestTypeNames[aType]);
  line += nxMessageTag(u"LockError.Result", kResultNames[result]);
  aReason.Add(std::move(line));
  aReason.Add(u"");

  TnxAbstractSession* session = nullptr;
  if (result == lrConflictTransaction) session = SessionOfTransaction(tlcTrans.load(std::memory_order_relaxed));
  if (!session) session = SessionOfCursor(aEvaluation.Conflict);
  if (!session) {
    aReason.Add(u"The conflict occurred with an unknown session." + nxMessageTag(u"LockError.UnknownSession", u"1"));
  } else if (SameSession(session, SessionOfCursor(aCursor))) {
    aReason.Add(nxMessageTag(u"LockError.SameSession", u"1"));
    aReason.SameSession = true;
  } else {
    aReason.Add(u"The conflict occurred with the following session:");
    session->GetUserInfo(aReason);
  }
}

// ---- releases ----

bool TnxTableLockContainer::ReleaseReadLock(TnxAbstractCursor* aCursor) {
  // An open word holds every read lock there is, and nobody waits.
  uintptr_t word = tlcFastReader.load(std::memory_order_relaxed);
  while (word != kFastShut) {
    if (word == 0 || (word & kFastCursorMask) != reinterpret_cast<uintptr_t>(aCursor)) return false;
    const uintptr_t next = (word >> kFastCountShift) == 1 ? 0 : word - kFastCountOne;
    if (tlcFastReader.compare_exchange_weak(word, next, std::memory_order_release, std::memory_order_relaxed))
      return true;
  }
  Gate gate(*this);
  int32_t index = FindReadLock(aCursor, HandleOf(aCursor), nullptr);
  if (index < 0) return false;
  if (--tlcReadLockList[size_t(index)].clCount == 0) {
    tlcReadLockList.erase(tlcReadLockList.begin() + index);
    SignalHead();
  }
  return true;
}

bool TnxTableLockContainer::ReleaseWriteLock(TnxAbstractCursor* aCursor) {
  Gate gate(*this);
  if (!tlcWriteLockCursor || tlcWriteLockCursor != aCursor) return false;
  if (--tlcWriteLockPresent == 0) {
    tlcWriteLockCursor = nullptr;
    SignalHead();
  }
  return true;
}

bool TnxTableLockContainer::ReleaseRecordLock(TnxAbstractCursor* aCursor, TnxRefNr aRefNr,
                                              TnxBaseTransaction* aTrans) {
  Gate gate(*this);
  if (aTrans) AdoptTransaction(aTrans);
  int32_t index = FindRecordLock(aRefNr, nullptr);
  if (index < 0 || tlcRecordLockList[size_t(index)].rlCursor != aCursor) return false;
  tlcRecordLockList.erase(tlcRecordLockList.begin() + index);
  SignalHead();
  return true;
}

void TnxTableLockContainer::AdoptTransaction(TnxBaseTransaction* aTrans) noexcept {
  if (tlcTrans.load(std::memory_order_relaxed)) return;
  if (TnxBaseTransactionLevel* level = aTrans->TransLevel()) {
    constexpr TnxTransactionLevelStates kBroken = nxStateBit(tlsCorrupted) | nxStateBit(tlsDeadlocked);
    if (level->State() & kBroken) return;
  }
  tlcTrans.store(aTrans, std::memory_order_release);
}

bool TnxTableLockContainer::ClearCursorLocksLocked(TnxAbstractCursor* aCursor) noexcept {
  bool removed = false;
  int32_t index = FindReadLock(aCursor, HandleOf(aCursor), nullptr);
  if (index >= 0) {
    tlcReadLockList.erase(tlcReadLockList.begin() + index);
    removed = true;
  }
  if (tlcWriteLockCursor && tlcWriteLockCursor == aCursor) {
    tlcWriteLockCursor = nullptr;
    tlcWriteLockPresent = 0;
    removed = true;
  }
  return removed;
}

bool TnxTableLockContainer::ClearRecordLocksLocked(TnxAbstractCursor* aCursor) noexcept {
  auto end = std::remove_if(tlcRecordLockList.begin(), tlcRecordLockList.end(),
                            [aCursor](const TnxRecordLock& aLock) { return aLock.rlCursor == aCursor; });
  bool removed = end != tlcRecordLockList.end();
  tlcRecordLockList.erase(end, tlcRecordLockList.end());
  return removed;
}

void TnxTableLockContainer::ClearCursorLocks(TnxAbstractCursor* aCursor) {
  Gate gate(*this);
  if (ClearCursorLocksLocked(aCursor)) SignalHead();
}

void TnxTableLockContainer::ClearRecordLocks(TnxAbstractCursor* aCursor) {
  Gate gate(*this);
  if (ClearRecordLocksLocked(aCursor)) SignalHead();
}

void TnxTableLockContainer::ClearAllLocks(TnxAbstractCursor* aCursor) {
  Gate gate(*this);
  bool removed = ClearCursorLocksLocked(aCursor);
  if (ClearRecordLocksLocked(aCursor)) removed = true;
  if (removed) SignalHead();
}

void TnxTableLockContainer::EndTransaction(TnxBaseTransaction* aTrans) {
  // Most transactions never own a table: they pass without the gate.
  if (!tlcTrans.load(std::memory_order_acquire)) return;
  Gate gate(*this);
  if (tlcTrans.load(std::memory_order_relaxed) != aTrans) return;
  tlcTrans.store(nullptr, std::memory_order_release);
  SignalHead();
}

// ---- presence and state ----

TnxLockPresent TnxTableLockContainer::IsReadLocked(TnxAbstractCursor* aCursor) {
  Gate gate(*this);
  if (tlcReadLockList.empty()) return lpNotAtAll;
  return FindReadLock(aCursor, HandleOf(aCursor), nullptr) >= 0 ? lpYesByUs : lpYesByAnother;
}

TnxLockPresent TnxTableLockContainer::IsWriteLocked(TnxAbstractCursor* aCursor) {
  Gate gate(*this);
  if (!tlcWriteLockCursor) return lpNotAtAll;
  return tlcWriteLockCursor == aCursor ? lpYesByUs : lpYesByAnother;
}

TnxLockPresent TnxTableLockContainer::IsRecordLocked(TnxAbstractCursor* aCursor, TnxRefNr aRefNr) {
  Gate gate(*this);
  int32_t index = FindRecordLock(aRefNr, nullptr);
  if (index < 0) return lpNotAtAll;
  return tlcRecordLockList[size_t(index)].rlCursor == aCursor ? lpYesByUs : lpYesByAnother;
}

TnxLockContainerState TnxTableLockContainer::State() {
  TnxLockContainerState state;
  Gate gate(*this);
  state.WriteLockCursor = tlcWriteLockCursor;
  state.WriteLockCount = tlcWriteLockPresent;
  state.ReadLocks = tlcReadLockList;
  state.RecordLocks = tlcRecordLockList;
  for (TnxWaitingLockRequest* request = tlcWaitingHead; request; request = request->wlrNext)
    state.Queue.push_back({request->wlrType, request->wlrCursor, request->wlrRefNr});
  state.Trans = tlcTrans.load(std::memory_order_relaxed);
  return state;
}

void TnxTableLockContainer::GetExceptionData(InxExceptionDataContainer& aContainer) {
  // Cursors are named by their handles: describing them here would take
  // their locks under the gate.
  auto index = [](size_t aIndex) {
    std::u16string name(1, u'[');
    name += nxIntToStr(int32_t(aIndex));
    name += u']';
    return name;
  };
  Gate gate(*this);
  TnxExceptionDataRef active = aContainer.AddContainer(u"ActiveLocks");
  TnxExceptionDataRef tableLocks = active->AddContainer(u"TableLocks");
  TnxExceptionDataRef writeLock = tableLocks->AddContainer(u"WriteLock");
  writeLock->AddInteger(u"Count", tlcWriteLockPresent);
  writeLock->AddInteger(u"Cursor", tlcWriteLockCursor ? HandleOf(tlcWriteLockCursor) : 0);
  TnxExceptionDataRef readLocks = tableLocks->AddContainer(u"ReadLocks");
  for (size_t i = 0; i < tlcReadLockList.size(); ++i) {
    TnxExceptionDataRef entry = readLocks->AddContainer(index(i));
    entry->AddInteger(u"Count", tlcReadLockList[i].clCount);
    entry->AddInteger(u"Cursor", tlcReadLockList[i].clHandle);
  }
  TnxExceptionDataRef recordLocks = active->AddContainer(u"RecordLocks");
  for (size_t i = 0; i < tlcRecordLockList.size(); ++i) {
    TnxExceptionDataRef entry = recordLocks->AddContainer(index(i));
    entry->AddInteger(u"RefNr", tlcRecordLockList[i].rlRefNr);
    entry->AddInteger(u"Cursor", HandleOf(tlcRecordLockList[i].rlCursor));
  }
  TnxExceptionDataRef waiting = aContainer.AddContainer(u"WaitingLockRequest");
  size_t i = 0;
  for (TnxWaitingLockRequest* request = tlcWaitingHead; request; request = request->wlrNext, ++i) {
    TnxExceptionDataRef entry = waiting->AddContainer(index(i));
    entry->AddString(u"Type", std::u16string(kRequestTypeNames[request->wlrType]));
    entry->AddInteger(u"Cursor", HandleOf(request->wlrCursor));
    if (request->wlrType == lrtRecordLock) entry->AddInteger(u"RefNr", request->wlrRefNr);
  }
}

}  // namespace revurov
