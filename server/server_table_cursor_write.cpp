// The table cursor's single-record writes: insert, modify and delete, the
// graveyard of deleted records, extender notification, the next LSN and
// the transaction-state check every write runs first.
//
// Each write runs in a fixed order under a transaction (its own when the
// caller has none), with the table's exclusive content lock. What a
// failure leaves: an own transaction is rolled back; inside the caller's
// transaction the record write is undone by hand, and a failure past the
// last undo point marks that transaction corrupted. The index path is put
// back from the copy taken before the keys were written.
#include <cstring>
#include <memory>
#include <utility>

#include "dictionary/diff_compressor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/filter_engines.h"
#include "dictionary/table_descriptors.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "server/blob_handler.h"
#include "server/engines/fulltext_engine_base.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "server/table_lock_container.h"
#include "storage/buffer_manager.h"
#include "storage/files.h"
#include "storage/sub_engines.h"

namespace revurov {

namespace {

bool Has(TnxInsertOptions aOptions, TnxInsertOption aOption) noexcept { return (aOptions >> aOption) & 1; }
TnxInsertOptions Without(TnxInsertOptions aOptions, TnxInsertOption aOption) noexcept {
  return static_cast<TnxInsertOptions>(aOptions & ~(1u << aOption));
}

bool Granted(TnxLockResult aResult) noexcept { return aResult == lrGrantedNew || aResult == lrGrantedExisting; }

uint32_t NoCurrentRecord() { return EnxBaseException::nxSetMessage(nxeNoCurrentRecord, u"No current record."); }

// 10258 with the code's own text followed by aText.
uint32_t NotInserted(std::u16string_view aText) {
  return EnxBaseException::nxSetMessage(nxeRecordLockFailed, nxOriginalMessageTag() + std::u16string(aText));
}

constexpr std::u16string_view kConditionalFilterText =
    u" Record does not match filter on conditional index. Record not inserted";
constexpr std::u16string_view kOutsideRangeText = u" Record outside current range. Record not inserted";
constexpr std::u16string_view kFilterText = u" Record does not match active filter. Record not inserted";
constexpr std::u16string_view kKeyFilterText = u" Record does not match active key filter. Record not inserted";

int64_t FieldValue(const TnxFieldsDescriptor& aFields, int32_t aField, const uint8_t* aRecord, bool& aIsNull) {
  uint8_t value[8] = {};
  aFields.GetRecordField(aField, aRecord, aIsNull, value);
  int64_t result = 0;
  std::memcpy(&result, value, sizeof result);
  return aIsNull ? 0 : result;
}

}  // namespace

// ---- the frame of one write ----

// What one write took and must give back: the writer lock, a record lock,
// its own transaction, the content lock and the copy of the index path.
class TnxServerTableCursor::TWrite {
public:
  explicit TWrite(TnxServerTableCursor& aCursor)
      : wCursor(aCursor), wLocks(aCursor.stcTable->Locks()), wContext(*aCursor.TransContext()) {}
  // Whatever way the write left: an own transaction still open is rolled
  // back, then the locks go.
  ~TWrite() {
    Rollback();
    ReleaseLocks();
  }
  TWrite(const TWrite&) = delete;
  TWrite& operator=(const TWrite&) = delete;

  // The writer lock on a shared table; 10245 through the cursor's lock
  // failure result.
  uint32_t WriterLock() {
    if (wCursor.stcShareMode == smExclusive) return 0;
    const TnxLockResult granted = wLocks.GetRecordLock(wCursor.ActiveTrans(), &wCursor, wCursor.stcSelfRefNr, false,
                                                       &wCursor.LockFailureReason());
    if (!Granted(granted)) return wCursor.sbcLockFailureResult(nxeFileIsLocked);
    wWriterLock = granted == lrGrantedNew;
    return 0;
  }

  // A lock on aRefNr (not conditional); aCode through the cursor's lock
  // failure result when refused.
  uint32_t RecordLock(TnxRefNr aRefNr, uint32_t aCode) {
    const TnxLockResult granted =
        wLocks.GetRecordLock(wCursor.ActiveTrans(), &wCursor, aRefNr, false, &wCursor.LockFailureReason());
    if (!Granted(granted)) return wCursor.sbcLockFailureResult(aCode);
    if (granted == lrGrantedNew) {
      wRecordLock = aRefNr;
      wRecordLockTaken = true;
    }
    return 0;
  }
  bool RecordLockTaken() const noexcept { return wRecordLockTaken; }
  TnxRefNr RecordLockRefNr() const noexcept { return wRecordLock; }

  // The own transaction when one is needed, then the exclusive content
  // lock. aAskBlob: whether the blob handler's wish for a nested level
  // counts.
  uint32_t Start(bool aAskBlob) {
    try {
      return StartOwnAndLock(aAskBlob);
    } catch (...) {
      const uint32_t result = wCursor.asoConvertCurrentException();
      if (wContentRequested) MarkCorrupted();
      return result != 0 ? result : nxeTransactionCorrupt;
    }
  }

  bool HasOwn() const noexcept { return wOwn != nullptr; }
  bool ContentRequested() const noexcept { return wContentRequested; }
  TnxServerTransaction& Trans() const { return *wCursor.ActiveTrans(); }

private:
  uint32_t StartOwnAndLock(bool aAskBlob) {
    TnxServerTransaction* active = wCursor.ActiveTrans();
    const bool own = wCursor.sbcUseNestedTransaction || !active || active->stForceNested > 0 ||
                     (aAskBlob && wCursor.stcBlobHandler && wCursor.stcBlobHandler->NeedNested());
    if (own) {
      const uint32_t result = wContext.stcTransactionStart(false, false, false, !wCursor.sbcUseNestedTransaction,
                                                           false, wCursor.IsResultSet || wCursor.IsUnnamed);
      if (result != 0) return result;
      wOwn = wContext.stcTransaction()->ServerLevel();
    }
    wContentRequested = true;
    const uint32_t result = wCursor.sbcBeginContentLock(true, false, false);
    if (result != 0) return result;
    // Inside a transaction the lock is a link that lasts to the level's
    // end; the end only balances the begin.
    wCursor.sbcEndContentLock();
    wContentLocked = true;
    return 0;
  }

public:

  // Commits the own transaction; a failing commit is the result (the
  // transaction is gone then).
  uint32_t Commit() {
    if (!wOwn) return 0;
    wOwn = nullptr;
    try {
      return wContext.stcTransactionCommit();
    } catch (...) {
      return wCursor.asoConvertCurrentException();
    }
  }

  // Rolls the own transaction back when it is still open.
  void Rollback() noexcept {
    if (!wOwn) return;
    TnxServerTransactionLevel* own = std::exchange(wOwn, nullptr);
    try {
      if (wContext.stcTransaction() && wContext.stcTransaction()->ServerLevel() == own) {
        wContext.stcTransactionRollback();
        wRolledBack = true;
      }
    } catch (...) {
      // The level's rollback frees what it held also when it reports.
      wRolledBack = true;
    }
  }

  void MarkCorrupted() noexcept {
    try {
      if (wContext.stcTransaction()) wContext.stcTransactionMarkCorrupted();
    } catch (...) {
      // Marking sets bits; nothing to undo.
    }
  }

  // An exception past the content lock: its code, and the transaction
  // marked corrupted. Only inside a catch block.
  uint32_t Escaped() {
    uint32_t result = wCursor.asoConvertCurrentException();
    if (result == 0) result = nxeTransactionCorrupt;
    MarkCorrupted();
    return result;
  }

  // The copy of the index path taken before the keys change.
  void KeepPath() {
    if (!wPath) wPath = wCursor.stcIndexPath->Duplicate();
  }
  void RestorePath() noexcept {
    if (wPath) wCursor.stcIndexPath->Assign(wPath.get());
  }
  TnxBaseIndexPath* PathCopy() const noexcept { return wPath.get(); }

  // A record lock this call took goes; with the table linked to the active
  // transaction the container keeps the table for it.
  void ReleaseRecordLock() noexcept {
    if (!wRecordLockTaken) return;
    wRecordLockTaken = false;
    try {
      wLocks.ReleaseRecordLock(&wCursor, wRecord(), ReleaseTrans());
    } catch (...) {
      // Only allocation raises in the container, and a release allocates nothing.
    }
  }
  // Forgets the record lock: it stays with the cursor.
  void KeepRecordLock() noexcept { wRecordLockTaken = false; }

  void ReleaseLocks() noexcept {
    ReleaseRecordLock();
    if (wWriterLock) {
      wWriterLock = false;
      try {
        wLocks.ReleaseRecordLock(&wCursor, wCursor.stcSelfRefNr, nullptr);
      } catch (...) {
        // As above.
      }
    }
  }

  TnxBaseTransaction* ReleaseTrans() const noexcept {
    return wContentLocked && !wRolledBack ? wCursor.ActiveTrans() : nullptr;
  }

private:
  TnxRefNr wRecord() const noexcept { return wRecordLock; }

  TnxServerTableCursor& wCursor;
  TnxTableLockContainer& wLocks;
  TnxServerTransContext& wContext;
  bool wWriterLock = false;
  TnxRefNr wRecordLock = 0;
  bool wRecordLockTaken = false;
  TnxServerTransactionLevel* wOwn = nullptr;
  bool wRolledBack = false;
  bool wContentRequested = false;
  bool wContentLocked = false;
  std::unique_ptr<TnxBaseIndexPath> wPath;
};

// ---- small workers ----

uint32_t TnxServerTableCursor::sbcCheckTransactionState() {
  TnxServerTransaction* trans = ActiveTrans();
  if (trans && (trans->State() & nxStateBit(tsSnapshot)) != 0) {
    TnxBaseFile* main = stcTable ? stcTable->Root()->MainFile() : nullptr;
    if (!main || main->fiAttributes != nxfaTemporary)
      return EnxBaseException::nxSetMessage(nxeTableReadOnly, u"Table is read only.");
  }
  return TnxServerBaseCursor::sbcCheckTransactionState();
}

bool TnxServerTableCursor::GetNextLSN(int64_t& aLSN) {
  TnxServerTransaction* trans = ActiveTrans();
  if (!trans) return false;
  aLSN = trans->TransBufferManager().NextLSN();
  trans->RaiseLSN(aLSN);
  return true;
}

void TnxServerTableCursor::sbcAutoIncSetDirect(uint32_t aAutoInc) {
  TnxBaseAutoIncEngine* engine = stcTable ? stcTable->AutoIncEngine() : nullptr;
  TnxServerTransaction* trans = ActiveTrans();
  if (engine && trans) engine->SetAutoIncValue(*trans, aAutoInc);
}

bool TnxServerTableCursor::stcMatchesKeyFilter(const uint8_t* aRecord, TnxRefNr aRefNr) {
  if (!stcIndexEngine || !sbcKeyFilter || !sbcKeyFilter->GetActive()) return true;
  if (stcIndexEngine->KeyEngine().BuildKey(aRecord, stcKeyBuffer, aRefNr, false) != 0) return false;
  return sbcKeyFilter->MatchesBuffer(stcKeyBuffer);
}

bool TnxServerTableCursor::stcFilterAccepts(const uint8_t* aRecord) {
  if (!sbcFilter || !sbcFilter->GetActive()) return true;
  sbcBeginReadOrgOverride();
  try {
    const bool accepted = sbcFilter->MatchesBuffer(aRecord);
    sbcEndReadOrgOverride();
    return accepted;
  } catch (...) {
    sbcEndReadOrgOverride();
    throw;
  }
}

uint32_t TnxServerTableCursor::stcStartPathWrite(TWrite& aWrite, bool aMayNest, uint32_t aLockCode,
                                                 TnxRefNr& aLockedRefNr) {
  aLockedRefNr = stcIndexPath->RefNr;
  if (aLockedRefNr != 0) {
    if (uint32_t result = aWrite.RecordLock(aLockedRefNr, aLockCode)) return result;
  }
  uint32_t result = aWrite.Start(aMayNest);
  if (result != 0) aWrite.Rollback();
  return result;
}

uint32_t TnxServerTableCursor::stcCheckPathRecord(TWrite& aWrite, TnxRefNr aLockedRefNr, uint32_t aLockCode,
                                                  TnxRefNr& aRefNr) {
  uint32_t result = stcValidatePath();
  aRefNr = stcIndexPath->RefNr;
  if (result != 0) return result;
  if (aLockedRefNr != 0) return aRefNr == aLockedRefNr ? 0 : NoCurrentRecord();
  if (aRefNr == 0) return NoCurrentRecord();
  return aWrite.RecordLock(aRefNr, aLockCode);
}

bool TnxServerTableCursor::stcKeyFilterAcceptsPath() {
  if (!sbcKeyFilter || !sbcKeyFilter->GetActive()) return true;
  return stcIndexPath->KeyValid && sbcKeyFilter->MatchesBuffer(stcIndexPath->KeyBuffer());
}

uint32_t TnxServerTableCursor::stcCheckNewRecord(const uint8_t* aData, TnxRefNr aRefNr) {
  int range = 0;
  const uint32_t built = stcCheckRecordRange(aData, 0, range);
  if (built == 1) return NotInserted(kConditionalFilterText);
  if (built != 0) return built;
  if (range != 0) return NotInserted(kOutsideRangeText);
  if (!stcFilterAccepts(aData)) return NotInserted(kFilterText);
  if (!stcMatchesKeyFilter(aData, aRefNr)) return NotInserted(kKeyFilterText);
  return 0;
}

// The path's key lies outside the range, or the record or its key is
// refused by an active filter: the written record is not one to stand on.
bool TnxServerTableCursor::stcPathLeavesView(const uint8_t* aData) {
  if (stcIndexPath->KeyValid && stcCheckRange(stcIndexPath->KeyBuffer()) != 0) return true;
  if (!stcIndexPath->IsOnKey()) return false;
  return !stcFilterAccepts(aData) || !stcKeyFilterAcceptsPath();
}

// ---- graveyard ----

uint32_t TnxServerTableCursor::stcRecordBury(TnxRefNr aRefNr, PnxRecordBuffer) {
  if (!stcGraveyardLSNIndexPath || !stcGraveyardRefNrIndexPath) return 0;
  TnxServerTransaction* trans = ActiveTrans();
  int64_t lsn = 0;
  if (!trans || !GetNextLSN(lsn))
    return EnxBaseException::nxSetMessage(nxeTransactionCorrupt,
                                          u"The graveyard is corrupted. Could not add deleted RefNr and LSN to "
                                          u"graveyard.");
  const int64_t refNr = aRefNr;
  if (!stcGraveyardLSNIndexEngine->InsertKey(*trans, reinterpret_cast<const uint8_t*>(&lsn), refNr, 0,
                                             stcGraveyardLSNIndexPath.get()) ||
      !stcGraveyardRefNrIndexEngine->InsertKey(*trans, reinterpret_cast<const uint8_t*>(&refNr), lsn, 0,
                                               stcGraveyardRefNrIndexPath.get()))
    return EnxBaseException::nxSetMessage(
        nxeTransactionCorrupt,
        u"The graveyard is corrupted. Could not add deleted RefNr and LSN to graveyard.");
  return 0;
}

uint32_t TnxServerTableCursor::stcRecordResurrect(TnxRefNr aRefNr, PnxRecordBuffer) {
  if (!stcGraveyardLSNIndexPath || !stcGraveyardRefNrIndexPath) return 0;
  TnxServerTransaction* trans = ActiveTrans();
  const auto corrupted = [] {
    return EnxBaseException::nxSetMessage(
        nxeTransactionCorrupt,
        u"The graveyard is corrupted. Could not remove previously deleted RefNr and LSN from graveyard.");
  };
  if (!trans) return corrupted();
  const int64_t refNr = aRefNr;
  TnxBaseIndexPath& byRefNr = *stcGraveyardRefNrIndexPath;
  if (!stcGraveyardRefNrIndexEngine->FindKey(trans, reinterpret_cast<const uint8_t*>(&refNr), 0, 0, 0, byRefNr,
                                             skaAnyEqual, nullptr))
    return 0;
  const int64_t lsn = byRefNr.RefNr;
  if (!stcGraveyardRefNrIndexEngine->DeleteKey(*trans, reinterpret_cast<const uint8_t*>(&refNr), lsn, 0, &byRefNr))
    return corrupted();
  TnxBaseIndexPath& byLSN = *stcGraveyardLSNIndexPath;
  if (!stcGraveyardLSNIndexEngine->FindKey(trans, reinterpret_cast<const uint8_t*>(&lsn), 0, 0, 0, byLSN,
                                           skaAnyEqual, nullptr) ||
      !stcGraveyardLSNIndexEngine->DeleteKey(*trans, reinterpret_cast<const uint8_t*>(&lsn), byLSN.RefNr, 0,
                                             &byLSN))
    return corrupted();
  return 0;
}

// ---- insert ----

uint32_t TnxServerTableCursor::sbcRecordInsert(TnxLockType aLockType, TnxInsertOptions aInsertOptions,
                                               PnxRecordBuffer aData, int64_t* aAutoInc) {
  if (aAutoInc) *aAutoInc = -1;
  if (IsReadOnly()) return sbcGetReadOnlyResult();
  if (!aData) return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No record given");
  if (uint32_t result = sbcCheckTransactionState()) return result;

  TnxBaseTableDescriptor* descriptor = stcTable->TableDescriptor();
  TnxFieldsDescriptor& fields = descriptor->FieldsDescriptor();
  uint8_t* data = static_cast<uint8_t*>(aData);
  uint8_t* stored = static_cast<uint8_t*>(sbcRecordBuffer);
  const bool isCache = IsCache();

  TWrite write(*this);
  uint32_t result = write.WriterLock();
  if (result != 0) return result;
  result = write.Start(true);
  if (result != 0) {
    write.Rollback();
    return result;
  }

  bool modify = false;
  bool cacheUnchanged = false;
  bool autoIncAssigned = false;
  uint32_t autoIncBefore = 0;
  int32_t autoIncField = -1;
  bool newRecordLocked = false;
  TnxRefNr refNr = 0;
  TnxRecID recID;
  try {
    // Defaults first: the key of a modify-if-found may depend on them.
    if (Has(aInsertOptions, ioSetDefault) && sbcDefaultValueHandler) sbcDefaultValueHandler->SetDefaultValuesInsert(data);

    if (Has(aInsertOptions, ioModifyIfFound) && stcIndexEngine &&
        (!stcIndexEngine->Dups() || stcIndexEngine->DupsNullOnly())) {
      const TnxBaseKeyEngine& keys = stcIndexEngine->KeyEngine();
      if (keys.BuildKey(data, stcKeyBuffer, 0, true) == 0 &&
          !(stcIndexEngine->DupsNullOnly() && keys.KeyContainsNulls(stcKeyBuffer))) {
        write.KeepPath();
        modify = stcIndexEngine->FindKey(&write.Trans(), stcKeyBuffer, 0, 0, 0, *stcIndexPath, skaAnyEqual, nullptr);
      }
    }
    if (modify) {
      aInsertOptions = Without(aInsertOptions, ioSetAutoInc);
      refNr = stcIndexPath->RefNr;
      result = write.RecordLock(refNr, nxeRecordLockFailed);
      recID.ridRefNr = isCache ? stcIndexPath->CacheRefNr : refNr;
      if (result == 0 && !stcKeyFilterAcceptsPath()) result = NoCurrentRecord();
      if (result == 0) {
        stcTable->RecordEngine()->ReadRecord(&write.Trans(), refNr, sbcRecordBuffer);
        if (!stcFilterAccepts(stored)) result = NoCurrentRecord();
      }
      if (result == 0) {
        if (isCache) {
          TnxRecordCacheInfo storedInfo, newInfo;
          if (ExtractCacheInfo(stored, storedInfo) == 0 && ExtractCacheInfo(data, newInfo) == 0 &&
              storedInfo.rciRefNr == newInfo.rciRefNr && storedInfo.rciModifyLSN == newInfo.rciModifyLSN)
            cacheUnchanged = true;
        } else {
          int64_t next = 0;
          if (!GetNextLSN(next)) next = 0;
          result = stcTable->sbtCheckRefNr(stored, data, true, refNr);
          if (result == 0) result = stcTable->sbtCheckRecRev(stored, data, true);
          if (result == 0) result = stcTable->sbtCheckLSNFields(next, stored, true, data);
        }
      }
    }

    if (result == 0 && !cacheUnchanged) {
      if (!modify && !isCache && Has(aInsertOptions, ioSetAutoInc) && fields.HasAutoIncField(autoIncField) &&
          stcTable->AutoIncEngine()) {
        bool isNull = true;
        if (FieldValue(fields, autoIncField, data, isNull) == 0) {
          const uint32_t value = stcTable->AutoIncEngine()->NextAutoIncValue(write.Trans(), &autoIncBefore);
          fields.SetRecordField(autoIncField, data, &value);
          if (aAutoInc) *aAutoInc = int64_t(value);
          autoIncAssigned = true;
        }
      }

      if (modify) {
        const TnxEngineArg args[] = {static_cast<void*>(data), static_cast<void*>(stored), aLockType == nxltNoLock,
                                     int64_t(refNr)};
        result = NotifyExtenders(eaRecordModify, true, args);
      } else {
        const TnxEngineArg args[] = {int32_t(aLockType), static_cast<void*>(data), int64_t(0)};
        result = NotifyExtenders(eaRecordInsert, true, args);
      }

      if (result == 0 && stcBlobHandler) {
        if (modify) {
          recID.ridInsertLSN = stcInsertLSNOf(stored);
          result = stcBlobHandler->BeforeModify(&write.Trans(), recID, stored, data);
        } else {
          result = stcBlobHandler->BeforeInsert(&write.Trans(), data);
        }
      }

      if (result == 0 && !modify) {
        int64_t next = 0;
        if (!GetNextLSN(next)) next = 1;
        stcTable->sbtClearRefNr(data);
        stcTable->sbtInitRecRev(data);
        stcTable->sbtInitLSNFields(next, data);
        recID.ridInsertLSN = stcInsertLSNOf(data);
      }

      if (result == 0 && Has(aInsertOptions, ioValidate) && sbcValidationsHandler) {
        try {
          sbcValidationsHandler->ValidateRecord(modify ? stored : nullptr, data);
        } catch (...) {
          result = asoConvertCurrentException();
        }
      }

      if (result == 0 && aLockType != nxltNoLock) result = stcCheckNewRecord(data, 0);

      if (result == 0) {
        if (modify) {
          stcTable->RecordEngine()->UpdateRecord(write.Trans(), refNr, aData, nullptr);
        } else {
          stcTable->RecordEngine()->AddRecord(write.Trans(), refNr, aData);
          if (!isCache) recID.ridRefNr = refNr;
        }
        write.KeepPath();

        // Keys, fulltext and the graveyard: a failure here is undone by
        // hand inside the caller's transaction.
        bool keysWritten = false;
        try {
          if (TnxBaseIndicesEngine* indices = stcTable->IndicesEngine()) {
            result = modify ? indices->UpdateKeys(write.Trans(), refNr, stored, refNr, data, stcIndexPath.get())
                            : indices->InsertKeys(write.Trans(), refNr, data, stcIndexPath.get());
            keysWritten = result == 0;
          } else if (!modify) {
            result = stcIndexPath->SetToRecord(data, refNr);
          }
        } catch (...) {
          result = asoConvertCurrentException();
        }
        if (result == 0 && stcFulltextEngine) {
          try {
            result = modify ? stcFulltextEngine->UpdateIndex(write.Trans(), stored, refNr, data, refNr)
                            : stcFulltextEngine->UpdateIndex(write.Trans(), nullptr, 0, data, refNr);
          } catch (...) {
            result = asoConvertCurrentException();
          }
          // Token entries written before the failure cannot be undone by
          // hand: only a rollback of the caller's transaction takes them.
          if (result != 0 && !write.HasOwn()) write.MarkCorrupted();
        }
        if (result == 0 && !modify) {
          // A RefNr taken again leaves the graveyard; its answer is not the insert's.
          try {
            stcRecordResurrect(refNr, nullptr);
          } catch (...) {
            asoConvertCurrentException();
          }
        }
        if (result != 0 && !write.HasOwn()) {
          // Keys written before a later step failed go too: an index must
          // not name a record that is not there.
          if (keysWritten && stcUndoKeys(modify, refNr, stored, data) != 0) write.MarkCorrupted();
          if (modify) {
            stcTable->RecordEngine()->UpdateRecord(write.Trans(), refNr, sbcRecordBuffer, nullptr);
          } else {
            stcTable->RecordEngine()->DeleteRecord(write.Trans(), refNr);
          }
        }
      }

      if (result == 0) {
        if (modify) {
          if (stcPathLeavesView(data)) {
            write.RestorePath();
            stcIndexPath->SetToDeleted();
          }
          const bool locked = aLockType == nxltNoLock ||
                              (stcIndexPath->IsOnKey() &&
                               Granted(stcTable->Locks().GetRecordLock(ActiveTrans(), this, stcIndexPath->RefNr, true,
                                                                       &LockFailureReason())));
          if (locked) {
            const TnxEngineArg args[] = {static_cast<void*>(data), static_cast<void*>(stored),
                                         aLockType == nxltNoLock, int64_t(refNr)};
            result = NotifyExtenders(eaRecordModify, false, args);
            if (result == 0 && stcBlobHandler)
              result = stcBlobHandler->AfterModify(&write.Trans(), recID, stored, data);
            if (result != 0)
              write.MarkCorrupted();
            else
              result = write.Commit();
            // The found record's lock goes to the cursor when it asked for one.
            if (result == 0 && aLockType != nxltNoLock && write.RecordLockRefNr() == stcIndexPath->RefNr)
              write.KeepRecordLock();
          } else {
            result = sbcLockFailureResult(nxeRecordLockFailed);
            write.MarkCorrupted();
          }
        } else {
          TnxLockResult granted = lrConflictUnknown;
          if (aLockType != nxltNoLock && stcIndexPath->IsOnKey())
            granted = stcTable->Locks().GetRecordLock(ActiveTrans(), this, refNr, true, &LockFailureReason());
          newRecordLocked = granted == lrGrantedNew;
          const bool locked = aLockType == nxltNoLock || Granted(granted);
          if (locked) {
            const TnxEngineArg args[] = {int32_t(aLockType), static_cast<void*>(data), int64_t(refNr)};
            result = NotifyExtenders(eaRecordInsert, false, args);
            if (result != 0)
              write.MarkCorrupted();
            else
              result = write.Commit();
            if (result == 0 && stcIndexPath->KeyValid) {
              const int range = stcCheckRange(stcIndexPath->KeyBuffer());
              if (range < 0)
                stcIndexPath->SetToBof();
              else if (range > 0)
                stcIndexPath->SetToEof();
            }
          } else {
            result = sbcLockFailureResult(nxeRecordLockFailed);
            write.MarkCorrupted();
          }
        }
      }
    }
  } catch (...) {
    result = write.Escaped();
  }

  if (cacheUnchanged) {
    write.Rollback();
    return result;
  }
  if (result != 0) {
    // Inside the caller's transaction nobody else moved the counter: the
    // table is locked exclusively for it.
    if (autoIncAssigned && !write.HasOwn()) {
      try {
        sbcAutoIncSetDirect(autoIncBefore);
      } catch (...) {
        write.MarkCorrupted();
      }
    }
    if (newRecordLocked) stcTable->Locks().ReleaseRecordLock(this, refNr, nullptr);
    write.Rollback();
    write.RestorePath();
    if (autoIncAssigned && !isCache && autoIncField >= 0) fields.SetRecordFieldNull(autoIncField, data, true);
    if (aAutoInc) *aAutoInc = -1;
  }
  return result;
}

uint32_t TnxServerTableCursor::stcUndoKeys(bool aModify, TnxRefNr aRefNr, const uint8_t* aStored,
                                          const uint8_t* aData) {
  TnxBaseIndicesEngine* indices = stcTable->IndicesEngine();
  TnxBaseTransaction& trans = *ActiveTrans();
  try {
    return aModify ? indices->UpdateKeys(trans, aRefNr, aData, aRefNr, aStored, nullptr)
                   : indices->DeleteKeys(trans, aRefNr, aData, nullptr);
  } catch (...) {
    return asoConvertCurrentException();
  }
}

TnxLSN TnxServerTableCursor::stcInsertLSNOf(const uint8_t* aRecord) const {
  TnxFieldsDescriptor* fields = stcTable->FieldsDescriptor();
  int32_t field = -1;
  if (!fields || !fields->HasInsertLSNField(field)) return 0;
  bool isNull = true;
  return FieldValue(*fields, field, aRecord, isNull);
}

// ---- modify ----

uint32_t TnxServerTableCursor::stcCheckModified(const uint8_t* aData, bool aReleaseLock) {
  if (sbcDefaultValueHandler) sbcDefaultValueHandler->SetDefaultValuesModify(const_cast<uint8_t*>(aData));
  if (aReleaseLock) return 0;
  int range = 0;
  const uint32_t built = stcCheckRecordRange(aData, 0, range);
  if (built == 1 || (built == 0 && (range != 0 || !stcFilterAccepts(aData) ||
                                    !stcMatchesKeyFilter(aData, stcIndexPath->RefNr))))
    return EnxBaseException::nxSetMessage(nxeRecordLockFailed, u"Record lock failed.");
  return built;
}

uint32_t TnxServerTableCursor::sbcRecordModify(PnxRecordBuffer aData, bool aReleaseLock, TnxRecordDiff* aDataDiff) {
  if (aDataDiff && !((States() >> acsIsCacheable) & 1))
    return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"Invalid parameter.");
  if (IsReadOnly()) return sbcGetReadOnlyResult();
  if (!aData || (aDataDiff && !aDataDiff->rdDiff))
    return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No record given");
  if (uint32_t result = sbcCheckTransactionState()) return result;

  uint8_t* data = static_cast<uint8_t*>(aData);
  uint8_t* stored = static_cast<uint8_t*>(sbcRecordBuffer);
  if (!aDataDiff) {
    try {
      if (uint32_t result = stcCheckModified(data, aReleaseLock)) return result;
    } catch (...) {
      return asoConvertCurrentException();
    }
  }
  if (uint32_t result = stcIndexPath->CheckCurrentState()) return result;

  TWrite write(*this);
  TnxRefNr lockedRefNr = 0;
  uint32_t result = stcStartPathWrite(write, true, nxeRecordLockFailed, lockedRefNr);
  if (result != 0) return result;

  TnxRefNr refNr = 0;
  try {
    result = stcCheckPathRecord(write, lockedRefNr, nxeRecordLockFailed, refNr);
    TnxRecID recID{IsCache() ? stcIndexPath->CacheRefNr : refNr, 0};
    if (result == 0 && !stcKeyFilterAcceptsPath()) result = NoCurrentRecord();
    if (result == 0) {
      stcTable->RecordEngine()->ReadRecord(&write.Trans(), refNr, sbcRecordBuffer);
      if (!stcFilterAccepts(stored)) result = NoCurrentRecord();
    }
    if (result == 0 && aDataDiff) {
      TnxDiffCompressorInfo* info = nullptr;
      stcTable->FieldsDescriptor()->GetDiffCompressionInfo(info);
      const TnxDiffCompressorInfoRef infoRef = TnxDiffCompressorInfoRef::Adopt(info);
      nxDiffDecompress(*info, stored, aDataDiff->rdDiff, data);
      if (aDataDiff->rdBlobBatch.rdbbRequest && aDataDiff->rdBlobBatch.rdbbReply)
        result = BlobBatchApply(aData, *aDataDiff->rdBlobBatch.rdbbRequest, *aDataDiff->rdBlobBatch.rdbbReply);
      if (result == 0 && aDataDiff->rdFull)
        std::memcpy(aDataDiff->rdFull, data, size_t(stcTable->FieldsDescriptor()->RecordLength()));
      if (result == 0) result = stcCheckModified(data, aReleaseLock);
    }
    if (result == 0) result = stcTable->sbtCheckRefNr(stored, data, false, refNr);
    if (result == 0) result = stcTable->sbtCheckRecRev(stored, data, false);
    if (result == 0) {
      int64_t next = 0;
      if (!GetNextLSN(next)) next = 0;
      result = stcTable->sbtCheckLSNFields(next, stored, false, data);
    }
    if (result == 0) {
      const TnxEngineArg args[] = {static_cast<void*>(data), static_cast<void*>(stored), aReleaseLock,
                                   int64_t(refNr)};
      result = NotifyExtenders(eaRecordModify, true, args);
    }
    if (result == 0 && stcBlobHandler) {
      recID.ridInsertLSN = stcInsertLSNOf(data);
      result = stcBlobHandler->BeforeModify(&write.Trans(), recID, stored, data);
    }
    if (result == 0) {
      stcTable->RecordEngine()->UpdateRecord(write.Trans(), refNr, aData, nullptr);
      if (sbcValidationsHandler) {
        try {
          sbcValidationsHandler->ValidateRecord(stored, data);
        } catch (...) {
          result = asoConvertCurrentException();
        }
      }
      write.KeepPath();
      bool keysWritten = false;
      if (result == 0) {
        try {
          if (TnxBaseIndicesEngine* indices = stcTable->IndicesEngine()) {
            result = indices->UpdateKeys(write.Trans(), refNr, stored, refNr, data, stcIndexPath.get());
            keysWritten = result == 0;
          }
        } catch (...) {
          result = asoConvertCurrentException();
        }
      }
      if (result == 0 && stcFulltextEngine) {
        try {
          result = stcFulltextEngine->UpdateIndex(write.Trans(), stored, refNr, data, refNr);
        } catch (...) {
          result = asoConvertCurrentException();
        }
        if (result != 0 && !write.HasOwn()) write.MarkCorrupted();
      }
      if (result != 0 && !write.HasOwn()) {
        if (keysWritten && stcUndoKeys(true, refNr, stored, data) != 0) write.MarkCorrupted();
        stcTable->RecordEngine()->UpdateRecord(write.Trans(), refNr, sbcRecordBuffer, nullptr);
      }
    }
    if (result == 0) {
      if (stcPathLeavesView(data)) {
        write.RestorePath();
        stcIndexPath->SetToDeleted();
      }
      const bool locked =
          aReleaseLock || (stcIndexPath->IsOnKey() && Granted(stcTable->Locks().GetRecordLock(
                                                         ActiveTrans(), this, stcIndexPath->RefNr, true,
                                                         &LockFailureReason())));
      if (locked) {
        const TnxEngineArg args[] = {static_cast<void*>(data), static_cast<void*>(stored), aReleaseLock,
                                     int64_t(refNr)};
        result = NotifyExtenders(eaRecordModify, false, args);
        if (result == 0 && stcBlobHandler) result = stcBlobHandler->AfterModify(&write.Trans(), recID, stored, data);
        if (result != 0)
          write.MarkCorrupted();
        else
          result = write.Commit();
      } else {
        result = sbcLockFailureResult(nxeRecordLockFailed);
        write.MarkCorrupted();
      }
    }
  } catch (...) {
    result = write.Escaped();
  }

  if (result != 0) {
    write.Rollback();
    write.RestorePath();
  } else if (aReleaseLock && !write.RecordLockTaken()) {
    // Released whoever took it; one taken here goes with the frame.
    stcTable->Locks().ReleaseRecordLock(this, refNr, write.ReleaseTrans());
  }
  return result;
}

// ---- delete ----

uint32_t TnxServerTableCursor::sbcRecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) {
  TnxFieldsDescriptor* fields = stcTable->FieldsDescriptor();
  int32_t modifyLSNField = -1;
  if (aLSN != 0 && !fields->HasModifyLSNField(modifyLSNField))
    return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"Capability not supported.");
  if (!aData) aData = sbcRecordBuffer;
  if (IsReadOnly()) return sbcGetReadOnlyResult();
  if (uint32_t result = sbcCheckTransactionState()) return result;
  if (uint32_t result = stcIndexPath->CheckCurrentState()) return result;

  uint8_t* data = static_cast<uint8_t*>(aData);
  TWrite write(*this);
  TnxRefNr lockedRefNr = 0;
  uint32_t result = stcStartPathWrite(write, false, nxeRecordLocked, lockedRefNr);
  if (result != 0) return result;

  TnxRefNr refNr = 0;
  try {
    result = stcCheckPathRecord(write, lockedRefNr, nxeRecordLocked, refNr);
    if (result == 0 && !stcKeyFilterAcceptsPath()) result = NoCurrentRecord();
    if (result == 0) stcTable->RecordEngine()->ReadRecord(&write.Trans(), refNr, aData);
    if (result == 0 && aLSN != 0) {
      bool isNull = true;
      const int64_t stored = FieldValue(*fields, modifyLSNField, data, isNull);
      if (stored != 0 && stored != aLSN) result = NoCurrentRecord();
    }
    const TnxRecID recID{IsCache() ? stcIndexPath->CacheRefNr : refNr, result == 0 ? stcInsertLSNOf(data) : 0};
    if (result == 0 && !stcFilterAccepts(data)) result = NoCurrentRecord();
    if (result == 0) {
      const TnxEngineArg args[] = {static_cast<void*>(data), int64_t(refNr)};
      result = NotifyExtenders(eaRecordDelete, true, args);
    }
    if (result == 0) {
      write.KeepPath();
      try {
        if (TnxBaseIndicesEngine* indices = stcTable->IndicesEngine())
          result = indices->DeleteKeys(write.Trans(), refNr, data, stcIndexPath.get());
      } catch (...) {
        result = asoConvertCurrentException();
      }
    }
    if (result == 0 && stcFulltextEngine) {
      try {
        result = stcFulltextEngine->UpdateIndex(write.Trans(), data, refNr, nullptr, 0);
      } catch (...) {
        result = asoConvertCurrentException();
      }
      if (result != 0) write.MarkCorrupted();
    }
    if (result == 0) {
      try {
        stcTable->RecordEngine()->DeleteRecord(write.Trans(), refNr);
      } catch (...) {
        result = asoConvertCurrentException();
      }
      if (result == 0) {
        if (!stcIndexEngine) stcIndexPath->SetToDeleted();
        const TnxEngineArg args[] = {static_cast<void*>(data), int64_t(refNr)};
        result = NotifyExtenders(eaRecordDelete, false, args);
        if (result == 0 && stcBlobHandler) result = stcBlobHandler->AfterDelete(&write.Trans(), recID, data);
        if (result == 0) result = stcRecordBury(refNr, nullptr);
      }
      if (result != 0)
        write.MarkCorrupted();
      else
        result = write.Commit();
    }
  } catch (...) {
    result = write.Escaped();
  }

  if (result != 0) {
    write.Rollback();
    write.RestorePath();
  } else if (!write.RecordLockTaken()) {
    stcTable->Locks().ReleaseRecordLock(this, refNr, write.ReleaseTrans());
  }
  return result;
}

}  // namespace revurov
