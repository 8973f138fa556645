#include "server/server_trans_context.h"

#include <exception>
#include <utility>

#include "engine/abstract_cursor.h"
#include "engine/abstract_database.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/sync/lock_guard.h"
#include "server/server_engine.h"
#include "server/server_session.h"
#include "server/server_table_cursor.h"
#include "storage/server_exceptions.h"

namespace revurov {

namespace {

constexpr char16_t kLevelInUse[] = u"The current transaction level is in use. Can't commit or rollback";

}  // namespace

// ---- the owned transaction ----

TnxServerTransContextOwnedTransaction::TnxServerTransContextOwnedTransaction(TnxServerTransContext& aTransContext,
                                                                             bool aSnapshot, bool aFailSafe,
                                                                             bool aOverrideForceFailsafe)
    : TnxServerTransaction(*aTransContext.ServerSession().Engine().BufferManager(), &aTransContext.ServerSession(),
                           aSnapshot, aFailSafe || (!aOverrideForceFailsafe && aTransContext.stcForceFailSafe()),
                           aOverrideForceFailsafe),
      stcotTransContext(aTransContext) {}

TnxServerTransContextOwnedTransaction::~TnxServerTransContextOwnedTransaction() {
  TnxPadlockGuard guard(stcotTransContext.stcTransactionPadlock);
  if (stcotTransContext.stcTransactionPtr == this) stcotTransContext.stcTransactionPtr = nullptr;
}

// ---- the context ----

TnxServerTransContext::TnxServerTransContext(TnxServerSession* aSession, uint32_t aTimeout)
    : TnxAbstractTransContext(aSession, aTimeout) {
  // The engine's fail-safe option reaches every transaction of its
  // sessions; a start may still override it.
  if (aSession)
    stcForceFailSafeFlag =
        (aSession->Engine().Options() & nxServerEngineOption(seoForceFailSafe)) != 0;
}

TnxServerSession& TnxServerTransContext::ServerSession() const noexcept {
  return static_cast<TnxServerSession&>(*Session());
}

template <class F>
uint32_t TnxServerTransContext::Entry(F&& aWork) {
  try {
    return ConvertingEntry(std::forward<F>(aWork));
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerTransContext::TransactionStart(bool aFailSafe, bool aSnapShot) {
  return Entry(
      [&] { return stcTransactionStart(aFailSafe, aSnapShot, false, false, false, false); });
}

uint32_t TnxServerTransContext::TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                                     std::span<TnxAbstractCursor* const> aCursors) {
  return Entry(
      [&] { return stcTransactionStartWith(aFailSafe, aSnapShot, aCursors, false, false, false, false); });
}

uint32_t TnxServerTransContext::TransactionCommit() {
  return Entry([&] { return stcTransactionCommit(); });
}

uint32_t TnxServerTransContext::TransactionRollback() {
  return Entry([&] { return stcTransactionRollback(); });
}

uint32_t TnxServerTransContext::TransactionCorrupted() {
  return Entry([&] { return stcTransactionMarkCorrupted(); });
}

uint32_t TnxServerTransContext::TransactionGetLevel(int32_t& aTransLevel) {
  aTransLevel = -1;
  return Entry([&]() -> uint32_t {
    TnxServerTransaction* trans = stcTransactionPtr;
    if (!trans) return nxeNoTransaction;
    aTransLevel = trans->TransLevel()->Level();
    return 0;
  });
}

uint32_t TnxServerTransContext::TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool /*aAllowCached*/) {
  aTransInfo = TnxTransactionInfo();
  return Entry([&]() -> uint32_t {
    TnxServerTransaction* trans = stcTransactionPtr;
    if (!trans) return nxeNoTransaction;
    aTransInfo = trans->stGetInfo();
    return 0;
  });
}

void TnxServerTransContext::atcForceRollback() {
  TnxAbstractTransContext::atcForceRollback();
  TnxPadlockGuard guard(stcTransactionPadlock);
  while (TnxServerTransaction* trans = stcTransactionPtr) {
    try {
      trans->Rollback();
    } catch (...) {
      // A rollback that cannot finish still ends the transaction.
      if (stcTransactionPtr == trans) delete trans;
      throw;
    }
  }
}

void TnxServerTransContext::Failed() {
  TnxPadlockGuard guard(stcTransactionPadlock);
  TnxAbstractTransContext::Failed();
  if (TnxServerTransaction* trans = stcTransactionPtr) trans->Failed();
}

uint32_t TnxServerTransContext::stcStartLevel(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe,
                                              bool aForceNested, bool aOverrideSecurity) {
  if (TnxServerTransaction* trans = stcTransactionPtr) {
    if (IsFailed()) trans->MarkCorrupted();
    if (uint32_t result = trans->CheckState()) return result;
    const TnxEngineArg args[] = {aFailSafe, aSnapShot, static_cast<void*>(trans), aForceNested, aOverrideSecurity};
    if (uint32_t result = NotifyExtenders(eaTransactionStart, true, args)) return result;
    trans->StartNested(aForceNested);
    return 0;
  }
  if (IsFailed()) return nxeTransactionCorrupt;
  const TnxEngineArg args[] = {aFailSafe, aSnapShot, static_cast<void*>(nullptr), aForceNested, aOverrideSecurity};
  if (uint32_t result = NotifyExtenders(eaTransactionStart, true, args)) return result;
  TnxPadlockGuard guard(stcTransactionPadlock);
  if (IsFailed()) return nxeTransactionCorrupt;
  stcTransactionPtr = new TnxServerTransContextOwnedTransaction(*this, aSnapShot, aFailSafe, aOverrideForceFailsafe);
  return 0;
}

void TnxServerTransContext::stcNotifyStarted(bool aFailSafe, bool aSnapShot, bool aForceNested,
                                             bool aOverrideSecurity) {
  const TnxEngineArg args[] = {aFailSafe, aSnapShot, static_cast<void*>(stcTransactionPtr), aForceNested,
                               aOverrideSecurity};
  NotifyExtenders(eaTransactionStart, false, args);
}

uint32_t TnxServerTransContext::stcTransactionStart(bool aFailSafe, bool aSnapShot, bool aOverrideForceFailsafe,
                                                    bool aNoMoreNested, bool aForceNested, bool aOverrideSecurity) {
  try {
    if (uint32_t result = stcStartLevel(aFailSafe, aSnapShot, aOverrideForceFailsafe, aForceNested,
                                        aOverrideSecurity))
      return result;
    stcNotifyStarted(aFailSafe, aSnapShot, aForceNested, aOverrideSecurity);
    if (aNoMoreNested && stcTransactionPtr) stcTransactionPtr->MarkNoMoreNested();
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerTransContext::stcTransactionStartWith(bool aFailSafe, bool aSnapShot,
                                                        std::span<TnxAbstractCursor* const> aCursors,
                                                        bool aOverrideForceFailsafe, bool aNoMoreNested,
                                                        bool aForceNested, bool aOverrideSecurity) {
  try {
    for (TnxAbstractCursor* cursor : aCursors)
      if (!HoldsCursor(cursor)) return asoConvertException(EnxServerException(nxeInvalidHandle));
    if (uint32_t result = stcStartLevel(aFailSafe, aSnapShot, aOverrideForceFailsafe, aForceNested,
                                        aOverrideSecurity))
      return result;
    for (TnxAbstractCursor* cursor : aCursors) {
      uint32_t result = nxeInvalidHandle;
      if (auto* table = dynamic_cast<TnxServerTableCursor*>(cursor)) {
        try {
          // Inside the level the lock is a link of that level; it ends
          // with it, so nothing here ends it.
          result = table->sbcBeginContentLock(!aSnapShot, false, false);
        } catch (const std::exception& e) {
          result = asoConvertException(e);
        }
      } else {
        result = asoConvertException(EnxServerException(nxeInvalidHandle));
      }
      if (result) {
        // Takes the links of the cursors locked so far with the level.
        stcTransactionPtr->Rollback();
        return result;
      }
    }
    stcNotifyStarted(aFailSafe, aSnapShot, aForceNested, aOverrideSecurity);
    if (aNoMoreNested && stcTransactionPtr) stcTransactionPtr->MarkNoMoreNested();
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

void TnxServerTransContext::stcCheckNotLocked() const {
  if (stcTransactionPtr->IsLocked()) throw EnxServerException(nxeIllegalReentry, kLevelInUse);
}

uint32_t TnxServerTransContext::stcTransactionCommit() {
  try {
    TnxServerTransaction* trans = stcTransactionPtr;
    if (!trans) return asoConvertException(EnxServerException(nxeNoTransaction));
    stcCheckNotLocked();
    if (IsFailed()) trans->MarkCorrupted();
    if (uint32_t result = trans->CheckState()) return result;
    const TnxEngineArg args[] = {static_cast<void*>(trans)};
    if (uint32_t result = NotifyExtenders(eaTransactionCommit, true, args)) return result;
    trans->Commit();
    const TnxEngineArg after[] = {static_cast<void*>(stcTransactionPtr)};
    NotifyExtenders(eaTransactionCommit, false, after);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerTransContext::stcTransactionRollback() {
  try {
    TnxServerTransaction* trans = stcTransactionPtr;
    if (!trans) return asoConvertException(EnxServerException(nxeNoTransaction));
    stcCheckNotLocked();
    const TnxEngineArg args[] = {static_cast<void*>(trans)};
    NotifyExtenders(eaTransactionRollback, true, args);
    trans->Rollback();
    const TnxEngineArg after[] = {static_cast<void*>(stcTransactionPtr)};
    NotifyExtenders(eaTransactionRollback, false, after);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerTransContext::stcTransactionMarkCorrupted() {
  try {
    TnxServerTransaction* trans = stcTransactionPtr;
    if (!trans) return asoConvertException(EnxServerException(nxeNoTransaction));
    trans->MarkCorrupted();
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

}  // namespace revurov
