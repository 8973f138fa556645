// The table cursor's work on many records at once: copying the view into
// another table, deleting the view, sorting the table's records physically
// through the default sort engine, and recovering the records of a damaged
// table one at a time.
//
// Each runs in transactions of its own (the bulk delete joins the caller's
// unless nesting is asked for) under the exclusive content lock of the
// table it changes; what a failure leaves: the own transaction rolled back,
// or the caller's marked corrupted. Index paths, filter time limits and
// locks taken here are given back on every path.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "dictionary/fields_descriptor.h"
#include "dictionary/table_descriptors.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "server/blob_handler.h"
#include "server/engines/fulltext_engine_base.h"
#include "server/engines/sort_engine.h"
#include "server/server_data_dict.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "server/table_lock_container.h"
#include "storage/blob_engines.h"
#include "storage/deadline.h"
#include "storage/server_exceptions.h"
#include "storage/sub_engines.h"

namespace revurov {

namespace {

constexpr uint32_t kWholeBlob = 0xFFFFFFFFu;
// The bulk delete tests the deadline after records 1, 501, 1001, ...
constexpr uint32_t kDeleteDeadlineStep = 500;

bool Granted(TnxLockResult aResult) noexcept { return aResult == lrGrantedNew || aResult == lrGrantedExisting; }

// A transaction this call started on aContext: rolled back unless committed.
class TOwnTransaction {
public:
  explicit TOwnTransaction(TnxServerTransContext& aContext) : tContext(aContext) {}
  ~TOwnTransaction() { Rollback(); }
  TOwnTransaction(const TOwnTransaction&) = delete;
  TOwnTransaction& operator=(const TOwnTransaction&) = delete;

  uint32_t Start(bool aOverrideForceFailsafe, bool aNoMoreNested, bool aOverrideSecurity) {
    const uint32_t result =
        tContext.stcTransactionStart(false, false, aOverrideForceFailsafe, aNoMoreNested, false, aOverrideSecurity);
    if (result == 0) tLevel = tContext.stcTransaction()->ServerLevel();
    return result;
  }
  bool Open() const noexcept { return tLevel != nullptr; }
  // A failing commit ends the transaction too.
  uint32_t Commit() {
    if (!tLevel) return 0;
    tLevel = nullptr;
    return tContext.stcTransactionCommit();
  }
  void Rollback() noexcept {
    TnxServerTransactionLevel* level = std::exchange(tLevel, nullptr);
    if (!level) return;
    try {
      if (tContext.stcTransaction() && tContext.stcTransaction()->ServerLevel() == level)
        tContext.stcTransactionRollback();
    } catch (...) {
      // The level's rollback frees what it held also when it reports.
    }
  }
  void MarkCorrupted() noexcept {
    try {
      if (tContext.stcTransaction()) tContext.stcTransactionMarkCorrupted();
    } catch (...) {
      // Marking sets bits; nothing to undo.
    }
  }

private:
  TnxServerTransContext& tContext;
  TnxServerTransactionLevel* tLevel = nullptr;
};

// Puts a cursor's index path back when the scope ends.
class TKeptPath {
public:
  explicit TKeptPath(TnxBaseIndexPath* aPath) : kPath(aPath), kCopy(aPath ? aPath->Duplicate() : nullptr) {}
  ~TKeptPath() {
    if (kPath && kCopy) kPath->Assign(kCopy.get());
  }
  TKeptPath(const TKeptPath&) = delete;
  TKeptPath& operator=(const TKeptPath&) = delete;

private:
  TnxBaseIndexPath* kPath;
  std::unique_ptr<TnxBaseIndexPath> kCopy;
};

uint32_t AutoIncOf(const TnxFieldsDescriptor& aFields, int32_t aField, const uint8_t* aRecord) {
  uint8_t value[8] = {};
  bool isNull = true;
  aFields.GetRecordField(aField, aRecord, isNull, value);
  uint32_t result = 0;
  if (!isNull) std::memcpy(&result, value, sizeof result);
  return result;
}

TnxBlobNr BlobNrOf(const TnxFieldsDescriptor& aFields, int32_t aField, const uint8_t* aRecord, bool& aIsNull) {
  uint8_t value[8] = {};
  aFields.GetRecordField(aField, aRecord, aIsNull, value);
  TnxBlobNr result = 0;
  std::memcpy(&result, value, sizeof result);
  return aIsNull ? 0 : result;
}

}  // namespace

// ---- copy ----

uint32_t TnxServerTableCursor::sbcCopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                                              int32_t aMaxTransSize, bool aCheckValFields) {
  // Every refusal below comes before any lock is taken.
  auto* dest = dynamic_cast<TnxServerTableCursor*>(aDestCursor);
  if (!dest || !dest->stcTable)
    return EnxBaseException::nxSetMessage(nxeInvalidHandle, u"Invalid handle to the function.");
  if (dest->SessionLock() != SessionLock())
    return EnxBaseException::nxSetMessage(nxeDifferentSessions, u"Objects are not owned by the same session.");
  if (dest->stcTable == stcTable)
    return EnxBaseException::nxSetMessage(
        nxeSameTable, u"The cursors may not reference the same table for this operation.");
  if (dest->IsCache()) return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"Capability not supported.");
  TnxFieldsDescriptor& destFields = *dest->stcTable->FieldsDescriptor();
  const TnxFieldsDescriptor& fields = *stcTable->FieldsDescriptor();
  std::vector<int32_t> blobFields;
  if (!destFields.HasSameFields(fields, &blobFields))
    return EnxBaseException::nxSetMessage(nxeIncompatibleDictionaries,
                                          u"The cursor dictionaries are incompatible. Verify the correct field "
                                          u"types, lengths, units, and decimal places have been specified.");

  const TKeptPath keepSource(stcIndexPath.get());
  const TKeptPath keepDest(dest->stcIndexPath.get());
  try {
    if (dest->IsReadOnly()) return dest->sbcGetReadOnlyResult();
    if (const uint32_t result = dest->sbcCheckTransactionState()) return result;
    if (dest->stcTable->Root()->Dictionary().Version() == 1)
      return EnxBaseException::nxSetMessage(nxeHigherTableLevelRequired, u"Higher table level required");
  } catch (...) {
    return asoConvertCurrentException();
  }

  TnxTableLockContainer& destLocks = dest->stcTable->Locks();
  bool writerLock = false;
  if (dest->stcShareMode != smExclusive) {
    const TnxLockResult granted =
        destLocks.GetRecordLock(dest->ActiveTrans(), this, dest->stcSelfRefNr, false, &dest->LockFailureReason());
    if (!Granted(granted)) return dest->sbcLockFailureResult(nxeFileIsLocked);
    writerLock = granted == lrGrantedNew;
  }

  TnxServerTransContext& destContext = *dest->TransContext();
  TOwnTransaction trans(destContext);
  const bool overrideSecurity = dest->IsResultSet || dest->IsUnnamed;
  bool sourceLocked = false;
  bool timeoutOff = false;
  uint32_t result = 0;
  try {
    result = trans.Start(false, true, overrideSecurity);
    if (result == 0) result = dest->sbcBeginContentLock(true, false, false);
    // Inside the transaction the lock is a link to the level's end.
    if (result == 0) dest->sbcEndContentLock();
    if (result == 0) {
      result = sbcBeginContentLock(false, false, false);
      sourceLocked = result == 0;
    }
    if (result == 0) {
      stcIndexPath->SetToBof();
      sbcDisableFilterTimeout();
      timeoutOff = true;

      TnxBaseAutoIncEngine* autoInc = dest->stcTable->AutoIncEngine();
      int32_t autoIncField = -1;
      if (!destFields.HasAutoIncField(autoIncField) || !autoInc) autoIncField = -1;
      uint32_t maxAutoInc = autoIncField >= 0 ? autoInc->ReadAutoIncValue(dest->ActiveTrans()) : 0;
      TnxBaseRecordEngine* records = dest->stcTable->RecordEngine();
      TnxBaseBlobEngine* destBlobs = dest->stcTable->BlobEngine();
      const std::u16string sourceName = stcTable->FullName();
      uint8_t* data = static_cast<uint8_t*>(sbcRecordBuffer);

      for (;;) {
        result = sbcRecordGetNext(nxltNoLock, sbcRecordBuffer);
        if (result != 0) break;
        TnxServerTransaction& destTrans = *dest->ActiveTrans();
        if (aCheckValFields && dest->sbcValidationsHandler) {
          try {
            dest->sbcValidationsHandler->ValidateRecord(nullptr, data);
          } catch (...) {
            result = dest->asoConvertCurrentException();
            break;
          }
        }
        for (const int32_t field : blobFields) {
          bool isNull = true;
          const TnxBlobNr blobNr = BlobNrOf(fields, field, data, isNull);
          if (isNull) continue;
          TnxBlobNr newNr = 0;
          if (aBlobCopyMode == nxbcmNoCopy) {
            destFields.SetRecordFieldNull(field, data, true);
            continue;
          }
          if (aBlobCopyMode == nxbcmCopyFull) {
            result = dest->sbcBlobCopyPrim(this, field, blobNr, field, newNr, kWholeBlob);
            if (result != 0) break;
          } else {
            if (!destBlobs) {
              result = dest->stcNoBlobHandler();
              break;
            }
            destBlobs->AddBlobLink(destTrans, sourceName, blobNr, newNr);
          }
          destFields.SetRecordField(field, data, &newNr);
        }
        if (result != 0) break;

        {
          const TnxEngineArg args[] = {int32_t(0), static_cast<void*>(data), int64_t(0)};
          result = dest->NotifyExtenders(eaRecordInsert, true, args);
          if (result != 0) break;
        }
        // The LSN comes from the destination's transaction: the source may
        // be read outside any.
        int64_t next = 0;
        if (!dest->GetNextLSN(next)) next = 1;
        dest->stcTable->sbtInitRecRev(data);
        dest->stcTable->sbtClearRefNr(data);
        dest->stcTable->sbtInitLSNFields(next, data);

        TnxRefNr refNr = 0;
        records->AddRecord(destTrans, refNr, data);
        if (TnxBaseIndicesEngine* indices = dest->stcTable->IndicesEngine()) {
          result = indices->InsertKeys(destTrans, refNr, data, nullptr);
          if (result != 0) break;
        }
        if (dest->stcFulltextEngine) {
          result = dest->stcFulltextEngine->UpdateIndex(destTrans, nullptr, 0, data, refNr);
          if (result != 0) break;
        }
        result = dest->stcRecordResurrect(refNr, nullptr);
        if (result != 0) break;
        {
          const TnxEngineArg args[] = {int32_t(0), static_cast<void*>(data), int64_t(refNr)};
          dest->NotifyExtenders(eaRecordInsert, false, args);
        }

        if (autoIncField >= 0) maxAutoInc = std::max(maxAutoInc, AutoIncOf(destFields, autoIncField, data));

        if (aMaxTransSize > 0 && destTrans.TransLevel()->BlockCount() > aMaxTransSize) {
          if (autoIncField >= 0) autoInc->SetAutoIncValue(destTrans, maxAutoInc);
          result = trans.Commit();
          if (result == 0) result = trans.Start(false, true, overrideSecurity);
          if (result == 0) result = dest->sbcBeginContentLock(true, false, false);
          if (result != 0) break;
          dest->sbcEndContentLock();
          if (autoIncField >= 0) maxAutoInc = autoInc->ReadAutoIncValue(dest->ActiveTrans());
        }
      }
      if (result == nxeAtEndOfTable) {
        result = 0;
        if (autoIncField >= 0) autoInc->SetAutoIncValue(*dest->ActiveTrans(), maxAutoInc);
        result = trans.Commit();
      }
    }
  } catch (...) {
    result = asoConvertCurrentException();
    if (result == 0) result = nxeTransactionCorrupt;
  }

  if (result != 0) {
    if (trans.Open())
      trans.Rollback();
    else
      trans.MarkCorrupted();
  }
  if (timeoutOff) sbcEnableFilterTimeout();
  if (sourceLocked) sbcEndContentLock();
  if (writerLock) destLocks.ReleaseRecordLock(this, dest->stcSelfRefNr, nullptr);
  return result;
}

// ---- bulk delete ----

uint32_t TnxServerTableCursor::sbcDeleteRecords() {
  try {
    if (IsReadOnly()) return sbcGetReadOnlyResult();
    if (const uint32_t result = sbcCheckTransactionState()) return result;
  } catch (...) {
    return asoConvertCurrentException();
  }

  TOwnTransaction own(*TransContext());
  TnxTableLockContainer& locks = stcTable->Locks();
  bool timeoutOff = false;
  TnxRefNr lockedRefNr = 0;
  uint32_t result = 0;
  try {
    TnxServerTransaction* active = ActiveTrans();
    if (sbcUseNestedTransaction || !active || active->stForceNested > 0)
      result = own.Start(false, !sbcUseNestedTransaction, IsResultSet || IsUnnamed);
    if (result == 0) result = sbcBeginContentLock(true, false, false);
    if (result == 0) {
      sbcEndContentLock();
      stcIndexPath->SetToBof();
      sbcDisableFilterTimeout();
      timeoutOff = true;
      TnxBaseRecordEngine* records = stcTable->RecordEngine();
      TnxFieldsDescriptor& fields = *stcTable->FieldsDescriptor();
      int32_t insertLSNField = -1;
      if (!fields.HasInsertLSNField(insertLSNField)) insertLSNField = -1;
      uint8_t* data = static_cast<uint8_t*>(sbcRecordBuffer);
      uint32_t count = 0;
      for (;;) {
        result = sbcRecordGetNext(nxltNoLock, sbcRecordBuffer);
        if (result != 0) break;
        TnxServerTransaction& trans = *ActiveTrans();
        const TnxRefNr refNr = stcIndexPath->RefNr;
        TnxRecID recID{IsCache() ? stcIndexPath->CacheRefNr : refNr, 0};
        if (insertLSNField >= 0) {
          uint8_t value[8] = {};
          bool isNull = true;
          fields.GetRecordField(insertLSNField, data, isNull, value);
          if (!isNull) std::memcpy(&recID.ridInsertLSN, value, sizeof recID.ridInsertLSN);
        }
        const TnxLockResult granted = locks.GetRecordLock(&trans, this, refNr, false, &LockFailureReason());
        if (!Granted(granted)) {
          result = sbcLockFailureResult(nxeRecordLocked);
          break;
        }
        lockedRefNr = refNr;

        try {
          const TnxEngineArg args[] = {static_cast<void*>(data), int64_t(refNr)};
          result = NotifyExtenders(eaRecordDelete, true, args);
          if (result == 0) {
            if (TnxBaseIndicesEngine* indices = stcTable->IndicesEngine())
              result = indices->DeleteKeys(trans, refNr, data, stcIndexPath.get());
          }
          if (result == 0 && stcFulltextEngine) result = stcFulltextEngine->UpdateIndex(trans, data, refNr, nullptr, 0);
          if (result == 0) {
            records->DeleteRecord(trans, refNr);
            if (!stcIndexEngine) stcIndexPath->SetToDeleted();
            result = NotifyExtenders(eaRecordDelete, false, args);
          }
          if (result == 0 && stcBlobHandler) result = stcBlobHandler->AfterDelete(&trans, recID, data);
          if (result == 0) result = stcRecordBury(refNr, nullptr);
        } catch (...) {
          result = asoConvertCurrentException();
          if (result == 0) result = nxeTransactionCorrupt;
        }
        if (result != 0) {
          own.MarkCorrupted();
          break;
        }
        // The container keeps the table for the transaction until it ends.
        lockedRefNr = 0;
        locks.ReleaseRecordLock(this, refNr, &trans);

        if (++count % kDeleteDeadlineStep == 1) nxCheckTimeout();
      }
      if (result == nxeAtEndOfTable) result = own.Commit();
    }
  } catch (...) {
    result = asoConvertCurrentException();
    if (result == 0) result = nxeTransactionCorrupt;
  }

  if (result != 0) {
    if (own.Open())
      own.Rollback();
    else
      own.MarkCorrupted();
    if (lockedRefNr != 0) locks.ReleaseRecordLock(this, lockedRefNr, nullptr);
  }
  if (timeoutOff) sbcEnableFilterTimeout();
  return result;
}

// ---- sort ----

uint32_t TnxServerTableCursor::stcSortRecords(TnxIndexDescriptor* aIndexDesc) {
  if (!aIndexDesc) return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No index given");
  try {
    if (IsReadOnly()) return sbcGetReadOnlyResult();
    if (const uint32_t result = sbcCheckTransactionState()) return result;
  } catch (...) {
    return asoConvertCurrentException();
  }
  const TnxSortEngineClass* engineClass = nxDefaultSortEngineClass();
  if (!engineClass || !engineClass->Create)
    return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"No sort engine is registered");

  TnxServerTransContext& context = *TransContext();
  const bool overrideSecurity = IsResultSet || IsUnnamed;
  const bool overrideFailsafe = stcTable->Root()->TableScope() != tsPersistent;
  uint32_t result = 0;
  try {
    std::unique_ptr<TnxBaseSortEngine> sorter = engineClass->Create(Database(), *_Dictionary(), *aIndexDesc);
    TnxBaseRecordEngine* records = stcTable->RecordEngine();
    TnxBaseIndicesEngine* indices = stcTable->IndicesEngine();
    const auto put = [&](TnxBaseTransaction* aTrans) -> uint32_t {
      TnxRefNr refNr = 0;
      for (;;) {
        TnxRefNr next = 0;
        records->ReadNextRecord(aTrans, refNr, next, sbcRecordBuffer);
        if (next == 0) return 0;
        refNr = next;
        if (const uint32_t code = sorter->Put(static_cast<const uint8_t*>(sbcRecordBuffer)))
          throw EnxServerException(code, u"The sort engine refused a record", {});
      }
    };
    // The whole table in record order, whatever the cursor's view: a sort
    // of the view alone would replace the records outside it by those in it.
    {
      TOwnTransaction trans(context);
      result = trans.Start(overrideFailsafe, true, overrideSecurity);
      if (result == 0) result = sbcBeginContentLock(false, false, false);
      if (result == 0) {
        sbcEndContentLock();
        result = put(ActiveTrans());
      }
      if (result == 0) result = trans.Commit();
    }
    if (result != 0) return result;

    // The replace keeps every RefNr but changes the record behind it: keys
    // and fulltext entries go before and come back after.
    TOwnTransaction trans(context);
    result = trans.Start(overrideFailsafe, true, overrideSecurity);
    if (result == 0) result = sbcBeginContentLock(true, false, false);
    if (result != 0) return result;
    sbcEndContentLock();
    TnxServerTransaction& active = *ActiveTrans();
    const auto eachRecord = [&](const std::function<uint32_t(TnxRefNr, const uint8_t*)>& aStep) -> uint32_t {
      TnxRefNr refNr = 0;
      for (;;) {
        TnxRefNr next = 0;
        records->ReadNextRecord(&active, refNr, next, sbcRecordBuffer);
        if (next == 0) return 0;
        refNr = next;
        if (const uint32_t code = aStep(refNr, static_cast<const uint8_t*>(sbcRecordBuffer))) return code;
      }
    };
    if (indices || stcFulltextEngine)
      result = eachRecord([&](TnxRefNr aRefNr, const uint8_t* aRecord) -> uint32_t {
        if (indices)
          if (const uint32_t code = indices->DeleteKeys(active, aRefNr, aRecord, nullptr)) return code;
        return stcFulltextEngine ? stcFulltextEngine->UpdateIndex(active, aRecord, aRefNr, nullptr, 0) : 0;
      });
    if (result == 0) {
      records->ReplaceAllRecords(active, [&](PnxRecordBuffer aRecord) { return sorter->Get(aRecord); });
      std::vector<uint8_t> rest(sorter->RecLenBuf());
      if (sorter->Get(rest.data()) != nxeAtEndOfTable)
        result = EnxBaseException::nxSetMessage(nxeExceptionWithoutCode,
                                                u"The sort engine holds records the table has no room for");
    }
    if (result == 0 && (indices || stcFulltextEngine))
      result = eachRecord([&](TnxRefNr aRefNr, const uint8_t* aRecord) -> uint32_t {
        if (indices)
          if (const uint32_t code = indices->InsertKeys(active, aRefNr, aRecord, nullptr)) return code;
        return stcFulltextEngine ? stcFulltextEngine->UpdateIndex(active, nullptr, 0, aRecord, aRefNr) : 0;
      });
    if (result == 0) result = trans.Commit();
    if (result == 0) stcIndexPath->SetToBof();
  } catch (...) {
    result = asoConvertCurrentException();
    if (result == 0) result = nxeTransactionCorrupt;
  }
  return result;
}

// ---- recovering one record ----

TnxRecordIteratorResult TnxServerTableCursor::stcRecoverRecord(TnxRecoverContext& aContext, TnxRefNr,
                                                               PnxRecordBuffer aRecord) {
  if (aContext.rcResult != 0) return rirStop;
  TnxServerTableCursor& target = *aContext.rcTarget;
  TnxServerTransContext& context = *target.TransContext();
  const TnxFieldsDescriptor& fields = *stcTable->FieldsDescriptor();
  const uint8_t* record = static_cast<const uint8_t*>(aRecord ? aRecord : aContext.rcRecord);
  const TnxBaseTransactionLevel* outer = context.stcTransaction() ? context.stcTransaction()->TransLevel() : nullptr;
  // Only the record's own level is rolled back, never the outer one: a
  // failed commit may have ended it already.
  const auto rollbackRecord = [&] {
    if (context.stcTransaction() && context.stcTransaction()->TransLevel() != outer) context.stcTransactionRollback();
    --aContext.rcTransLevels;
  };
  const auto startRecordTrans = [&]() -> uint32_t {
    const uint32_t result = context.stcTransactionStart(false, false, false, false, false, target.IsResultSet);
    if (result == 0) ++aContext.rcTransLevels;
    return result;
  };
  // The record's blobs copied from this cursor into aInto's record buffer,
  // each in a nested transaction; a blob that fails is set null. False
  // when one failed (with aStopAtFailure the rest stay as they were).
  const auto copyBlobs = [&](TnxServerTableCursor& aInto, bool aStopAtFailure) -> bool {
    if (!aContext.rcBlobFields) return true;
    uint8_t* into = static_cast<uint8_t*>(aInto.sbcRecordBuffer);
    const TnxFieldsDescriptor& intoFields = *aInto.stcTable->FieldsDescriptor();
    bool allCopied = true;
    for (const int32_t field : *aContext.rcBlobFields) {
      bool isNull = true;
      const TnxBlobNr blobNr = BlobNrOf(fields, field, record, isNull);
      if (isNull) continue;
      TOwnTransaction nested(context);
      uint32_t result = 0;
      TnxBlobNr newNr = 0;
      try {
        result = nested.Start(false, false, aInto.IsResultSet);
        if (result == 0) result = aInto.sbcBlobCopyPrim(this, field, blobNr, field, newNr, kWholeBlob);
        if (result == 0) {
          intoFields.SetRecordField(field, into, &newNr);
          result = nested.Commit();
        }
      } catch (...) {
        result = asoConvertCurrentException();
        if (result == 0) result = nxeTransactionCorrupt;
      }
      if (result != 0) {
        nested.Rollback();
        intoFields.SetRecordFieldNull(field, into, true);
        allCopied = false;
        if (aStopAtFailure) break;
      }
    }
    return allCopied;
  };

  try {
    uint32_t result = startRecordTrans();
    if (result != 0) {
      aContext.rcResult = result;
      return rirStop;
    }
    const size_t length = size_t(fields.RecordLength());
    std::memcpy(target.sbcRecordBuffer, record, length);
    bool failed = !copyBlobs(target, true);
    if (!failed) {
      result = target.sbcRecordInsert(nxltNoLock, TnxInsertOptions(1u << ioValidate), target.sbcRecordBuffer, nullptr);
      failed = result != 0;
    }
    if (failed) {
      // The record's transaction goes before the failed-records table
      // gets a new one.
      context.stcTransactionRollback();
      --aContext.rcTransLevels;
      result = startRecordTrans();
      if (result == 0) {
        TnxServerTableCursor& failedCursor = *aContext.rcFailed;
        std::memcpy(failedCursor.sbcRecordBuffer, record, length);
        copyBlobs(failedCursor, false);
        result = failedCursor.sbcRecordInsert(nxltNoLock, 0, failedCursor.sbcRecordBuffer, nullptr);
      }
    }
    if (aContext.rcTransLevels == 2) {
      if (result == 0) {
        result = context.stcTransactionCommit();
        if (result == 0) --aContext.rcTransLevels;
      }
      if (result != 0) {
        // One record lost must not end the salvage of the others.
        rollbackRecord();
        if (aContext.rcLostRecords++ == 0) {
          uint32_t code = 0;
          EnxBaseException::GetLastConvertedException(code, aContext.rcFirstLossMessage);
          if (code != result) aContext.rcFirstLossMessage.clear();
          aContext.rcFirstLoss = result;
        }
        result = 0;
      }
    }
    aContext.rcResult = result;
  } catch (...) {
    aContext.rcResult = asoConvertCurrentException();
    if (aContext.rcResult == 0) aContext.rcResult = nxeTransactionCorrupt;
    // The record's own level goes; the task commits the outer one.
    while (aContext.rcTransLevels > 1) {
      try {
        rollbackRecord();
      } catch (...) {
        --aContext.rcTransLevels;
      }
    }
  }
  return aContext.rcResult != 0 ? rirStop : rirContinue;
}

}  // namespace revurov
