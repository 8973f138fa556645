// The table cursor's content locks (a read on the root's content portal
// outside a transaction, a transaction link on the root inside one), its
// table locks, the table's named streams and the password change.
#include <memory>
#include <utility>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/sync/lock_guard.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/string_list.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "server/server_transaction_mgr.h"
#include "server/table_cursor_frames.h"
#include "server/table_lock_container.h"
#include "storage/encryption_engine.h"
#include "storage/files.h"
#include "storage/journal_engine.h"
#include "storage/stream_engines.h"

namespace revurov {

namespace {

constexpr uint8_t kMaxContentDepth = 64;

bool IsSnapshotFor(const TnxServerTransaction& aTrans, const TnxServerRootTable& aTable) noexcept {
  return (aTrans.State() & nxStateBit(tsSnapshot)) && aTable.TableScope() != tsTempUnnamed;
}

}  // namespace

void TnxServerTableCursor::stcLeaveTransLink() noexcept {
  if (!stcTable) return;
  // Read under the padlock: a close request may free the cursor on another
  // thread while its session's commit detaches it from the link.
  TnxPadlockGuard guard(stcTable->Root()->TransLinksPadlock());
  stcTransLinkPlace.stcRemoveFromTransLink();
}

uint32_t TnxServerTableCursor::sbcBeginContentLock(bool aExclusive, bool aConditional, bool aInternal) {
  // The usual request, shared outside a transaction, is kept small: every
  // cursor operation under the content lock begins here. The context is
  // never nil (construction checks it). The cursor's link changes only on
  // the thread of its session's operation (its own calls, its
  // transaction's level end).
  if (!aExclusive && stcContentDepth < kMaxContentDepth && !stcTransLinkPlace.TransLink() &&
      !TransContext()->stcTransaction()) {
    try {
      // A cursor that opened its table exclusively meets no other reader
      // or committer there.
      const bool read = stcShareMode != smExclusive;
      if (read) stcTable->Root()->ContentPortal().BeginRead();
      stcContentReads = (stcContentReads << 1) | (read ? 1u : 0u);
      ++stcContentDepth;
      return 0;
    } catch (...) {
      return asoConvertCurrentException();
    }
  }
  return stcBeginOtherContentLock(aExclusive, aConditional, aInternal);
}

uint32_t TnxServerTableCursor::stcBeginOtherContentLock(bool aExclusive, bool aConditional, bool aInternal) {
  try {
    if (aExclusive && !aInternal && sbcIsReadOnly) return sbcGetReadOnlyResult();
    if (stcContentDepth >= kMaxContentDepth)
      return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"Content locks are nested too deeply.");
    TnxServerRootTable& root = *stcTable->Root();
    TnxServerTransaction* trans = TransContext()->stcTransaction();
    TnxServerTransactionLevelTableLink* link = stcTransLinkPlace.TransLink();
    uint32_t result = 0;
    if (!link && !trans)
      return EnxBaseException::nxSetMessage(nxeNoTransaction, u"No user transaction is currently in progress.");
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

uint32_t TnxServerTableCursor::sbcTableLockAcquire(TnxLockType aLockType) {
  try {
    TnxLockResult granted = lrConflictUnknown;
    if (aLockType == nxltReadLock)
      granted = stcTable->Locks().GetReadLock(ActiveTrans(), this, false, &LockFailureReason());
    else if (aLockType == nxltWriteLock)
      granted = stcTable->Locks().GetWriteLock(ActiveTrans(), this, false, &LockFailureReason());
    if (granted == lrGrantedNew || granted == lrGrantedExisting) return 0;
    return sbcLockFailureResult(nxeFileIsLocked);
  } catch (...) {
    return asoConvertCurrentException();
  }
}

uint32_t TnxServerTableCursor::sbcTableLockRelease(TnxLockType aLockType, bool aAllLocks) {
  try {
    if (aAllLocks)
      stcTable->Locks().ClearCursorLocks(this);
    else if (aLockType == nxltReadLock)
      stcTable->Locks().ReleaseReadLock(this);
    else if (aLockType == nxltWriteLock)
      stcTable->Locks().ReleaseWriteLock(this);
    return 0;
  } catch (...) {
    return asoConvertCurrentException();
  }
}

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


// ---- writes of their own: streams and the password ----

uint32_t TnxServerTableCursor::sbcTableStreamGetList(platform::TStringList& aStreams, bool aInternal) {
  try {
    uint32_t result = sbcBeginContentLock(false, false, false);
    if (result != 0) return result;
    platform::TStringList names;
    try {
      result = stcTable->Root()->StreamEngine()->GetNamedStreamList(ActiveTrans(), names);
    } catch (...) {
      sbcEndContentLock();
      throw;
    }
    sbcEndContentLock();
    if (result != 0) {
      aStreams.Clear();
      return result;
    }
    for (int i = names.Count() - 1; i >= 0; --i)
      if (nxCheckIdentifier(names[i], nxeInvalidName, false, aInternal) != 0) names.Delete(i);
    aStreams = std::move(names);
    return 0;
  } catch (...) {
    return asoConvertCurrentException();
  }
}

uint32_t TnxServerTableCursor::sbcTableStreamRead(std::u16string_view aName, platform::TStream& aStream,
                                                  bool aInternal) {
  try {
    if (uint32_t result = nxCheckIdentifier(aName, nxeInvalidName, false, aInternal)) return result;
    uint32_t result = sbcBeginContentLock(false, false, false);
    if (result != 0) return result;
    try {
      result = stcTable->Root()->StreamEngine()->ReadNamedStream(ActiveTrans(), aName, aStream);
    } catch (...) {
      sbcEndContentLock();
      throw;
    }
    sbcEndContentLock();
    return result;
  } catch (...) {
    return asoConvertCurrentException();
  }
}

uint32_t TnxServerTableCursor::sbcTableStreamWrite(std::u16string_view aName, platform::TStream& aStream,
                                                   bool aInternal) {
  try {
    if (uint32_t result = nxCheckIdentifier(aName, nxeInvalidName, false, aInternal)) return result;
    return nxTableCursorOwnWrite(*this, aInternal, [&](TnxServerTransaction& aTrans) {
      return stcTable->Root()->StreamEngine()->WriteNamedStream(aTrans, aName, aStream);
    });
  } catch (...) {
    return asoConvertCurrentException();
  }
}

uint32_t TnxServerTableCursor::sbcTableStreamDelete(std::u16string_view aName, bool aInternal) {
  try {
    if (uint32_t result = nxCheckIdentifier(aName, nxeInvalidName, false, aInternal)) return result;
    return nxTableCursorOwnWrite(*this, aInternal, [&](TnxServerTransaction& aTrans) {
      return stcTable->Root()->StreamEngine()->DeleteNamedStream(aTrans, aName);
    });
  } catch (...) {
    return asoConvertCurrentException();
  }
}

uint32_t TnxServerTableCursor::sbcChangePassword(std::u16string_view aNewPassword) {
  try {
    if (sbcIsReadOnly) return sbcGetReadOnlyResult();
    TnxServerRootTable& root = *stcTable->Root();
    // The engines take the new password at once; a change that does not
    // commit gives every file its old one back.
    std::vector<std::pair<TnxBaseEncryptionEngine*, std::u16string>> before;
    for (int32_t i = 0; i < root.FileCount(); ++i)
      if (TnxBaseFile* file = root.File(i); file && file->fiEncryptionEngine)
        before.emplace_back(file->fiEncryptionEngine.get(), file->fiEncryptionEngine->ExtractPassword());
    const uint32_t result = nxTableCursorOwnWrite(*this, false, [&](TnxServerTransaction& aTrans) {
      // Every file's header changes: journalled, a flush that stops half-way
      // is undone when the folder opens next.
      if (!aTrans.Journal()) aTrans.SetJournal(root.Folder().TransManager().CreateJournal());
      return root.srtChangePassword(aTrans, aNewPassword);
    });
    if (result != 0) {
      for (auto& [engine, password] : before) {
        // Keys the engine only: the area written is a scratch one.
        uint8_t scratch[64] = {};
        try {
          engine->ChangePassword(scratch, password);
        } catch (...) {
        }
      }
    }
    return result;
  } catch (...) {
    return asoConvertCurrentException();
  }
}

}  // namespace revurov
