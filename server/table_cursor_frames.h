// What a table cursor's workers run inside: a shared content lock held for
// one read, and a write of their own.
//
// Contract:
// - TnxSharedContentLock ends the lock it took on every way out; Result()
//   is the refusal (nothing is held then).
// - nxTableCursorOwnWrite: the caller's transaction state, the writer lock
//   (on a table the cursor did not open exclusively), a transaction of its
//   own nested in the caller's and the exclusive content lock; then aWork,
//   then commit. Any failure after the start rolls the own transaction
//   back; the writer lock goes on every path when this call took it.
//   Exceptions become codes.
#pragma once

#include <cstdint>

#include "lowlevel/errors/error_codes.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "server/table_lock_container.h"

namespace revurov {

class TnxSharedContentLock {
public:
  explicit TnxSharedContentLock(TnxServerBaseCursor& aCursor)
      : sclCursor(aCursor), sclResult(aCursor.sbcBeginContentLock(false, false, false)) {}
  ~TnxSharedContentLock() {
    if (sclResult == 0) sclCursor.sbcEndContentLock();
  }
  TnxSharedContentLock(const TnxSharedContentLock&) = delete;
  TnxSharedContentLock& operator=(const TnxSharedContentLock&) = delete;
  uint32_t Result() const noexcept { return sclResult; }

private:
  TnxServerBaseCursor& sclCursor;
  uint32_t sclResult;
};

template <class F>
uint32_t nxTableCursorOwnWrite(TnxServerTableCursor& aCursor, bool aInternal, F&& aWork) {
  if (uint32_t result = aCursor.sbcCheckTransactionState()) return result;
  TnxTableLockContainer& locks = aCursor.Table()->Locks();
  bool writerLock = false;
  if (aCursor.ShareMode() != smExclusive) {
    const TnxLockResult granted = locks.GetRecordLock(aCursor.ActiveTrans(), &aCursor, aCursor.SelfRefNr(), false,
                                                      &aCursor.LockFailureReason());
    if (granted != lrGrantedNew && granted != lrGrantedExisting)
      return aCursor.sbcLockFailureResult(nxeFileIsLocked);
    writerLock = granted == lrGrantedNew;
  }
  TnxServerTransContext& context = *aCursor.TransContext();
  TnxServerTransactionLevel* own = nullptr;
  uint32_t result = 0;
  try {
    result = context.stcTransactionStart(false, false, false, true, false,
                                         aCursor.IsResultSet || aCursor.IsUnnamed || aInternal);
    if (result == 0) {
      own = context.stcTransaction()->ServerLevel();
      result = aCursor.sbcBeginContentLock(true, false, aInternal);
      if (result == 0) {
        // A link lasts to the level's end; the end only balances the begin.
        aCursor.sbcEndContentLock();
        result = aWork(*context.stcTransaction());
      }
      if (result == 0) {
        // A failed commit leaves no transaction behind to roll back.
        own = nullptr;
        result = context.stcTransactionCommit();
      }
    }
  } catch (...) {
    result = aCursor.asoConvertCurrentException();
  }
  if (own && context.stcTransaction() && context.stcTransaction()->ServerLevel() == own)
    context.stcTransactionRollback();
  if (writerLock) locks.ReleaseRecordLock(&aCursor, aCursor.SelfRefNr(), nullptr);
  return result;
}

}  // namespace revurov
