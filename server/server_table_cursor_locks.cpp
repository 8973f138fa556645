// The table cursor's content locks: a read on the root's content portal
// outside a transaction, a transaction link on the root inside one.
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/sync/lock_guard.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_transaction.h"
#include "server/table_lock_container.h"

namespace revurov {

namespace {

constexpr uint8_t kMaxContentDepth = 64;

bool IsSnapshotFor(const TnxServerTransaction& aTrans, const TnxServerRootTable& aTable) noexcept {
  return (aTrans.State() & nxStateBit(tsSnapshot)) && aTable.TableScope() != tsTempUnnamed;
}

}  // namespace

void TnxServerTableCursor::stcLeaveTransLink() noexcept {
  if (!stcTransLinkPlace.TransLink() || !stcTable) return;
  TnxPadlockGuard guard(stcTable->Root()->TransLinksPadlock());
  stcTransLinkPlace.stcRemoveFromTransLink();
}

uint32_t TnxServerTableCursor::sbcBeginContentLock(bool aExclusive, bool aConditional, bool aInternal) {
  try {
    if (aExclusive && !aInternal && sbcIsReadOnly) return sbcGetReadOnlyResult();
    if (stcContentDepth >= kMaxContentDepth)
      return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"Content locks are nested too deeply.");
    TnxServerRootTable& root = *stcTable->Root();
    TnxServerTransaction* trans = ActiveTrans();
    // The cursor's link changes only on the thread of its session's
    // operation (its own calls, its transaction's level end).
    TnxServerTransactionLevelTableLink* link = stcTransLinkPlace.TransLink();
    uint32_t result = 0;
    if (!link && !trans) {
      if (aExclusive)
        return EnxBaseException::nxSetMessage(nxeNoTransaction, u"No user transaction is currently in progress.");
      bool read = false;
      // A cursor that opened its table exclusively meets no other reader
      // or committer there.
      if (stcShareMode != smExclusive) {
        root.ContentPortal().BeginRead();
        read = true;
      }
      stcContentReads = (stcContentReads << 1) | (read ? 1u : 0u);
      ++stcContentDepth;
      return 0;
    }
    if (!link) {
      TnxPadlockGuard guard(root.TransLinksPadlock());
      link = trans->stFindTableLink(root);
      if (link) stcTransLinkPlace.stcAddToTransLink(*link);
    }
    if (link) {
      result = link->Transaction().CheckState();
      if (result == 0 && aExclusive) result = stcUpgradeTransLink(link->Transaction(), link, aConditional);
    } else {
      result = trans->CheckState();
      if (result == 0) {
        const bool snapshot = IsSnapshotFor(*trans, root);
        {
          TnxPadlockGuard guard(root.TransLinksPadlock());
          // A snapshot link only reads; it is never made exclusive.
          link = new TnxServerTransactionLevelTableLink(*trans->ServerLevel(), root, aExclusive && !snapshot,
                                                        nullptr, &LockFailureReason());
        }
        result = stcAwaitTransLink(link, aConditional);
        if (result == 0 && snapshot && aExclusive)
          result = EnxBaseException::nxSetMessage(nxeTableReadOnly, u"Table is read only.");
      }
    }
    if (result == 0) {
      stcContentReads <<= 1;
      ++stcContentDepth;
    }
    return result;
  } catch (...) {
    return asoConvertCurrentException();
  }
}

// aLink was just made under the padlock (the cursor is not on it yet):
// waits when needed; on success the cursor works under the link (or under
// the upgrade's), otherwise the link is freed and the refusal reported.
uint32_t TnxServerTableCursor::stcAwaitTransLink(TnxServerTransactionLevelTableLink* aLink, bool aConditional) {
  TnxServerRootTable& root = aLink->Table();
  TnxPadlock& padlock = root.TransLinksPadlock();
  TnxServerTransactionLevelTableLinkState state;
  {
    TnxPadlockGuard guard(padlock);
    state = aLink->State();
  }
  if (state != ttlsGranted && state != ttlsFailed && !aConditional && aLink->ttlPrepareWait()) aLink->WaitFor();
  {
    TnxPadlockGuard guard(padlock);
    // Decided under the padlock: a grant that came after the wait ended is
    // still a grant, and nobody grants a link once it is being freed.
    if (aLink->State() == ttlsGranted) {
      // A granted upgrade of its own level took the cursor along already.
      if (stcTransLinkPlace.TransLink() != aLink) stcTransLinkPlace.stcAddToTransLink(*aLink);
      return 0;
    }
    delete aLink;
  }
  return sbcLockFailureResult(nxeLockTimeOut);
}

uint32_t TnxServerTableCursor::stcUpgradeTransLink(TnxServerTransaction& aTrans,
                                                   TnxServerTransactionLevelTableLink* aLink, bool aConditional) {
  TnxServerRootTable& root = aLink->Table();
  TnxServerTransactionLevelTableLink* upgrade = nullptr;
  TnxServerTransactionLevel* deadlocked = nullptr;
  {
    TnxPadlockGuard guard(root.TransLinksPadlock());
    if (aLink->Snapshot()) return EnxBaseException::nxSetMessage(nxeTableReadOnly, u"Table is read only.");
    if (aLink->Exclusive()) return 0;
    // Another cursor of this transaction upgraded the link already.
    if (TnxServerTransactionLevelTableLink* to = aLink->ConvertTo()) {
      if (to->State() != ttlsGranted) return sbcLockFailureResult(nxeLockTimeOut);
      stcTransLinkPlace.stcAddToTransLink(*to);
      return 0;
    }
    TnxServerTransactionLevel& level = *aTrans.ServerLevel();
    if (root.TransLinksGrantedHead() == aLink && !aLink->TableNext() && aLink->TransactionLevel() == &level) {
      aLink->ttlMakeExclusive();
      return 0;
    }
    if (root.TransLinksPendingUpgrade())
      deadlocked = aLink->TransactionLevel();
    else
      upgrade = new TnxServerTransactionLevelTableLink(level, root, true, aLink, &LockFailureReason());
  }
  if (deadlocked) {
    // Frees the level's links, the cursor's among them.
    deadlocked->stlMarkDeadlock();
    return EnxBaseException::nxSetMessage(nxeDeadlock,
                                          u"A deadlock was detected. You need to rollback this transaction.");
  }
  return stcAwaitTransLink(upgrade, aConditional);
}

void TnxServerTableCursor::sbcEndContentLock() {
  // Ends what the matching begin took, whatever the transaction did since.
  if (stcContentDepth == 0) return;
  const bool read = (stcContentReads & 1u) != 0;
  stcContentReads >>= 1;
  --stcContentDepth;
  if (read) stcTable->Root()->ContentPortal().EndRead();
}

// ---- table locks ----

TnxLockPresent TnxServerTableCursor::sbcTableIsLocked(TnxLockType aLockType) {
  switch (aLockType) {
    case nxltReadLock:
      return stcTable->Locks().IsReadLocked(this);
    case nxltWriteLock:
      return stcTable->Locks().IsWriteLocked(this);
    default:
      return lpNotAtAll;
  }
}

}  // namespace revurov
