#include "engine/sql_engine_classes.h"

#include <memory>

#include "lowlevel/sync/lock_guard.h"

namespace revurov {

void TnxRequestCloseHandlerEvent::RequestClose(TnxAbstractCursor* aCursor) {
  if (rcheDisconnected.load(std::memory_order_acquire)) return;
  rcheEvent(aCursor);
}

bool TnxRequestCloseHandlerEvent::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxRequestCloseHandler>(this, iid, obj) ||
         nxOfferInterface<InxRequestCloseHandlerEvent>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

platform::TInterfacePtr<InxRequestCloseHandler> nxCreateRequestCloseHandler(TnxRequestCloseEvent aEvent) {
  return platform::TInterfacePtr<InxRequestCloseHandler>(nxCreate<TnxRequestCloseHandlerEvent>(std::move(aEvent)));
}

void TnxSqlAbstractCursor::sbcSetOnRequestClose(platform::TInterfacePtr<InxRequestCloseHandler> aHandler) {
  if (Destroying()) return;
  TnxRequestCloseLock* lock = __atomic_load_n(&sbcOnRequestCloseLock, __ATOMIC_ACQUIRE);
  if (!lock) {
    platform::TInterfacePtr<TnxRequestCloseLock> own(nxCreate<TnxRequestCloseLock>());
    TnxRequestCloseLock* expected = nullptr;
    // The winner's reference becomes the cursor's; a loser's goes with own.
    if (__atomic_compare_exchange_n(&sbcOnRequestCloseLock, &expected, own.Get(), false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE))
      lock = own.Detach();
    else
      lock = expected;
  }
  TnxPadlockGuard guard(lock->rclPadlock);
  sbcOnRequestClose = std::move(aHandler);
}

uint32_t TnxSqlAbstractCursor::sbcBlobCreate(const TnxRecID&, int32_t, TnxBlobNr& aBlobNr) {
  aBlobNr = 0;
  return NotSupported(u"sbcBlobCreate");
}

uint32_t TnxSqlAbstractCursor::sbcBlobCopyFrom(TnxSqlAbstractCursor*, int32_t, TnxBlobNr, int32_t,
                                               TnxBlobNr& aDestBlobNr, uint32_t) {
  aDestBlobNr = 0;
  return NotSupported(u"sbcBlobCopyFrom");
}

platform::TInterfacePtr<InxRequestCloseHandler> TnxSqlAbstractCursor::sbcGetOnRequestClose() {
  TnxRequestCloseLock* lock = __atomic_load_n(&sbcOnRequestCloseLock, __ATOMIC_ACQUIRE);
  if (!lock || Destroying()) return nullptr;
  TnxPadlockGuard guard(lock->rclPadlock);
  return sbcOnRequestClose;
}

platform::TInterfacePtr<TnxRequestCloseLock> TnxSqlAbstractCursor::sbcRequestCloseLock() const noexcept {
  return platform::TInterfacePtr<TnxRequestCloseLock>(__atomic_load_n(&sbcOnRequestCloseLock, __ATOMIC_ACQUIRE));
}

TnxSqlAbstractCursor::~TnxSqlAbstractCursor() {
  TnxRequestCloseLock* lock = __atomic_load_n(&sbcOnRequestCloseLock, __ATOMIC_ACQUIRE);
  if (!lock) return;
  platform::TInterfacePtr<TnxRequestCloseLock> owned = platform::TInterfacePtr<TnxRequestCloseLock>::Attach(
      __atomic_exchange_n(&sbcOnRequestCloseLock, nullptr, __ATOMIC_ACQ_REL));
  // Re-entrant: a request-close handler on this thread may be freeing us.
  TnxPadlockGuard guard(owned->rclPadlock);
  sbcOnRequestClose = nullptr;
}

}  // namespace revurov
