// The table cursor's smaller write workers beside the single-record ones:
// the batch insert of many records sent in one stream, the auto-increment
// counter, and the query and release of record locks.
//
// The batch stream is a client's: its record count, entry sizes and the
// blob blocks its records point at are measured against the stream before
// anything is read from them, so a short or lying stream ends the batch
// with 15522 and never reaches memory beyond its end.
#include <cstdint>
#include <string>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/shared_infos.h"
#include "dictionary/table_descriptors.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "server/blob_handler.h"
#include "server/engines/fulltext_engine_base.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "server/table_cursor_frames.h"
#include "server/table_lock_container.h"
#include "storage/blob_engines.h"
#include "storage/buffer_manager.h"
#include "storage/deadline.h"
#include "storage/sub_engines.h"

namespace revurov {

namespace {

bool Has(TnxInsertOptions aOptions, TnxInsertOption aOption) noexcept { return (aOptions >> aOption) & 1; }

uint32_t BadBatch(int32_t aEntry, std::u16string_view aWhat) {
  return EnxBaseException::nxSetMessage(nxeMessageUnrecognized, u"Batch insert stream, record %d: %s",
                                        {int64_t{aEntry}, std::u16string(aWhat)});
}

// The writer lock on a table the cursor shares; released on every way out
// when this call took it.
class TWriterLock {
public:
  explicit TWriterLock(TnxServerTableCursor& aCursor) : wlCursor(aCursor) {}
  ~TWriterLock() {
    if (wlTaken) wlCursor.Table()->Locks().ReleaseRecordLock(&wlCursor, wlCursor.SelfRefNr(), nullptr);
  }
  TWriterLock(const TWriterLock&) = delete;
  TWriterLock& operator=(const TWriterLock&) = delete;

  uint32_t Take() {
    if (wlCursor.ShareMode() == smExclusive) return 0;
    const TnxLockResult granted = wlCursor.Table()->Locks().GetRecordLock(
        wlCursor.ActiveTrans(), &wlCursor, wlCursor.SelfRefNr(), false, &wlCursor.LockFailureReason());
    if (granted != lrGrantedNew && granted != lrGrantedExisting) return wlCursor.sbcLockFailureResult(nxeFileIsLocked);
    wlTaken = granted == lrGrantedNew;
    return 0;
  }

private:
  TnxServerTableCursor& wlCursor;
  bool wlTaken = false;
};

}  // namespace

// ---- batch insert ----

uint32_t TnxServerTableCursor::sbcRecordInsertBatch(TnxCustomMemoryStream& aStream) {
  if (uint32_t result = sbcCheckTransactionState()) return result;
  TWriterLock writer(*this);
  if (uint32_t result = writer.Take()) return result;

  TnxServerTransContext& context = *TransContext();
  TnxServerTransactionLevel* own = nullptr;
  bool contentLocked = false;
  uint32_t result = 0;
  try {
    TnxServerTransaction* active = ActiveTrans();
    if (sbcUseNestedTransaction || !active || active->stForceNested > 0) {
      result = context.stcTransactionStart(false, false, false, !sbcUseNestedTransaction, false,
                                           IsResultSet || IsUnnamed);
      if (result == 0) own = context.stcTransaction()->ServerLevel();
    }
    if (result == 0) result = sbcBeginContentLock(true, false, false);
    if (result == 0) {
      // Inside a transaction the lock is a link that lasts to the level's
      // end; the end only balances the begin.
      sbcEndContentLock();
      contentLocked = true;
      result = stcInsertBatchEntries(aStream);
    }
    if (result == 0 && own) {
      // A failing commit leaves no transaction behind.
      own = nullptr;
      result = context.stcTransactionCommit();
    }
  } catch (...) {
    result = asoConvertCurrentException();
    if (result == 0) result = nxeTransactionCorrupt;
  }
  if (result != 0) {
    try {
      if (own) {
        if (context.stcTransaction() && context.stcTransaction()->ServerLevel() == own)
          context.stcTransactionRollback();
      } else if (contentLocked && context.stcTransaction()) {
        // The caller's transaction may hold some of the batch: only its
        // rollback takes them out.
        context.stcTransactionMarkCorrupted();
      }
    } catch (...) {
      // The level's rollback frees what it held also when it reports; the
      // batch's own failure stays the answer.
    }
  }
  return result;
}

uint32_t TnxServerTableCursor::stcInsertBatchEntries(TnxCustomMemoryStream& aStream) {
  uint8_t* const base = aStream.ByteArray();
  const int64_t size = aStream.GetSize();
  if (!base || size < 8) return BadBatch(0, u"no record count");
  const int32_t count = platform::LoadLE<int32_t>(base + 4);
  if (count < 0) return BadBatch(0, u"negative record count");

  TnxFieldsDescriptor& fields = TableDescriptor()->FieldsDescriptor();
  const int64_t recordLength = fields.RecordLength();
  const TnxSpecialFieldsInfo* sfi = SFI();
  const TnxInsertOptions options = sbcInsertOptions;
  TnxBaseAutoIncEngine* autoIncEngine = stcTable->AutoIncEngine();
  int32_t autoIncField = -1;
  const bool setAutoInc = !IsCache() && Has(options, ioSetAutoInc) && autoIncEngine &&
                          fields.HasAutoIncField(autoIncField);
  TnxServerTransaction& trans = *ActiveTrans();
  // The records go into the same few data, index and header blocks one
  // after the other: fetching them again costs no padlock.
  TnxBlockReuseScope reuse(trans.TransBufferManager());
  // Each token array is written once for the whole batch; a failed batch
  // drops what was gathered, as its transaction rolls back.
  TnxFulltextWriteBatch tokens(stcFulltextEngine ? stcTable->FulltextEngine() : nullptr, trans);

  int64_t position = 8;
  uint32_t result = 0;
  for (int32_t entry = 1, remaining = count; remaining > 0 && result == 0; ++entry) {
    if (size - position < 4) return BadBatch(entry, u"the stream ends before the entry");
    const int32_t entrySize = platform::LoadLE<int32_t>(base + position);
    if (entrySize < recordLength) return BadBatch(entry, u"entry shorter than the record");
    if (entrySize > size - position - 4) return BadBatch(entry, u"entry runs past the end of the stream");
    uint8_t* const record = base + position + 4;

    if (sfi) {
      for (const int32_t field : sfi->sfiBlobFields) {
        if (fields.IsRecordFieldNull(field, record)) continue;
        const uint64_t held = platform::LoadLE<uint64_t>(record + fields.FieldDescriptor(field)->Offset());
        // The offset is the field's low half; a high half set is no offset.
        if ((held >> 32) != 0) return BadBatch(entry, u"BLOB offset out of range");
        const int64_t offset = int64_t(held);
        if (offset > size - 4) return BadBatch(entry, u"BLOB block starts past the end of the stream");
        const int32_t length = platform::LoadLE<int32_t>(base + offset);
        if (length < 0 || length > size - offset - 4) return BadBatch(entry, u"BLOB block runs past the end");
        if (length == 0) {
          fields.SetRecordFieldNull(field, record, true);
          continue;
        }
        try {
          TnxBaseBlobEngine* blobs = stcTable->BlobEngine();
          if (!blobs)
            return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"Table %s has no BLOB engine",
                                                  {stcTable->FullName()});
          TnxBlobNr blobNr = 0;
          blobs->AddBlob(trans, blobNr);
          blobs->Write(trans, blobNr, 0, uint32_t(length), base + offset + 4);
          fields.SetRecordField(field, record, &blobNr);
        } catch (...) {
          return asoConvertCurrentException();
        }
      }
    }

    if (Has(options, ioSetDefault) && sbcDefaultValueHandler) sbcDefaultValueHandler->SetDefaultValuesInsert(record);
    if (setAutoInc) {
      bool isNull = true;
      uint8_t value[4] = {};
      fields.GetRecordField(autoIncField, record, isNull, value);
      if (isNull || platform::LoadLE<uint32_t>(value) == 0) {
        const uint32_t next = autoIncEngine->NextAutoIncValue(trans, nullptr);
        fields.SetRecordField(autoIncField, record, &next);
      }
    }

    if (stcBlobHandler) result = stcBlobHandler->BeforeInsert(&trans, record);
    if (result == 0) {
      const TnxEngineArg args[] = {int32_t(0), static_cast<void*>(record), int64_t(0)};
      result = NotifyExtenders(eaRecordInsert, true, args);
    }
    if (result != 0) break;

    int64_t lsn = 0;
    if (!GetNextLSN(lsn)) lsn = 1;
    stcTable->sbtInitRecRev(record);
    stcTable->sbtClearRefNr(record);
    stcTable->sbtInitLSNFields(lsn, record);

    if (Has(options, ioValidate) && sbcValidationsHandler) {
      try {
        sbcValidationsHandler->ValidateRecord(nullptr, record);
      } catch (...) {
        return asoConvertCurrentException();
      }
    }

    TnxRefNr refNr = 0;
    stcTable->RecordEngine()->AddRecord(trans, refNr, record);
    if (TnxBaseIndicesEngine* indices = stcTable->IndicesEngine()) result = indices->InsertKeys(trans, refNr, record, nullptr);
    if (result == 0 && stcFulltextEngine) result = stcFulltextEngine->UpdateIndex(trans, nullptr, 0, record, refNr);
    if (result == 0) {
      // A RefNr taken again leaves the graveyard; its answer is not the batch's.
      try {
        stcRecordResurrect(refNr, nullptr);
      } catch (...) {
        asoConvertCurrentException();
      }
      const TnxEngineArg args[] = {int32_t(0), static_cast<void*>(record), int64_t(refNr)};
      result = NotifyExtenders(eaRecordInsert, false, args);
    }

    position += 4 + int64_t(entrySize);
    --remaining;
    if (remaining % 100 == 0) nxCheckTimeout();
  }
  if (result == 0) tokens.Flush();
  return result;
}

// ---- auto-increment ----

uint32_t TnxServerTableCursor::sbcAutoIncGet() {
  TnxBaseAutoIncEngine* engine = stcTable ? stcTable->AutoIncEngine() : nullptr;
  return engine ? engine->ReadAutoIncValue(ActiveTrans()) : 0;
}

uint32_t TnxServerTableCursor::sbcAutoIncSet(uint32_t aAutoInc) {
  return nxTableCursorOwnWrite(*this, false, [&](TnxServerTransaction& aTrans) -> uint32_t {
    TnxBaseAutoIncEngine* engine = stcTable->AutoIncEngine();
    if (!engine)
      return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported,
                                            u"AutoIncSet is only supported for tables with autoinc engines");
    engine->SetAutoIncValue(aTrans, aAutoInc);
    return 0;
  });
}

// ---- record locks ----

uint32_t TnxServerTableCursor::sbcRecordIsLocked(TnxLockType, TnxLockPresent& aLockPresent) {
  aLockPresent = lpNotAtAll;
  if (uint32_t result = stcIndexPath->CheckCurrentState()) return result;
  aLockPresent = stcTable->Locks().IsRecordLocked(this, stcIndexPath->RefNr);
  return 0;
}

uint32_t TnxServerTableCursor::sbcRecordLockRelease(bool aAllLocks, bool aCancelBlobs) {
  const bool cancel = aCancelBlobs && (Capabilities() & (1u << accCancelBlobs));
  if (aAllLocks) {
    stcTable->Locks().ClearRecordLocks(this);
    return cancel ? sbcBlobsCancel(0) : 0;
  }
  if (uint32_t result = stcIndexPath->CheckCurrentState()) return result;
  stcTable->Locks().ReleaseRecordLock(this, stcIndexPath->RefNr, nullptr);
  if (!cancel) return 0;
  const TnxRefNr refNr = IsCache() && stcIndexPath->CacheRefNr != 0 ? stcIndexPath->CacheRefNr : stcIndexPath->RefNr;
  return refNr != 0 ? sbcBlobsCancel(refNr) : 0;
}

}  // namespace revurov
