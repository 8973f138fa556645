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
  TnxPadlock::CreateAndLock(sbcOnRequestCloseLock, true);
  TnxPadlockGuard guard(*__atomic_load_n(&sbcOnRequestCloseLock, __ATOMIC_ACQUIRE), nxAdoptLock);
  sbcOnRequestClose = std::move(aHandler);
}

platform::TInterfacePtr<InxRequestCloseHandler> TnxSqlAbstractCursor::sbcGetOnRequestClose() {
  TnxPadlock* lock = __atomic_load_n(&sbcOnRequestCloseLock, __ATOMIC_ACQUIRE);
  if (!lock || Destroying()) return nullptr;
  TnxPadlockGuard guard(*lock);
  return sbcOnRequestClose;
}

TnxSqlAbstractCursor::~TnxSqlAbstractCursor() {
  TnxPadlock* lock = __atomic_load_n(&sbcOnRequestCloseLock, __ATOMIC_ACQUIRE);
  if (!lock) return;
  lock->Lock();
  sbcOnRequestClose = nullptr;
  std::unique_ptr<TnxPadlock> owned(__atomic_exchange_n(&sbcOnRequestCloseLock, nullptr, __ATOMIC_ACQ_REL));
  owned->Unlock();
}

}  // namespace revurov
