// The table cursor's blob workers: they check that the record version and
// blob number a caller names still hold, then hand the work to the
// cursor's blob handler inside the right frame; and the copies of blob
// contents from another cursor, straight between the blob engines.
#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/shared_infos.h"
#include "dictionary/table_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/heap/memory_manager.h"
#include "platform/endian.h"
#include "server/blob_chunk_copy.h"
#include "server/blob_handler.h"
#include "server/blob_link_handler.h"
#include "server/null_blob_handler.h"
#include "server/server_database.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/table_cursor_frames.h"
#include "storage/blob_engines.h"
#include "storage/deadline.h"
#include "storage/server_exceptions.h"
#include "storage/sub_engines.h"

namespace revurov {

namespace {

constexpr uint32_t kCopyAll = 0xFFFFFFFFu;

bool IsNullRecID(const TnxRecID& aRecID) noexcept { return aRecID.ridRefNr == 0; }

// A stored record: neither the null nor the all-ones record ID.
bool IsRealRecID(const TnxRecID& aRecID) noexcept { return !IsNullRecID(aRecID) && !nxRecIDIsAllOnes(aRecID); }

uint32_t InvalidBlobHandle() {
  return EnxBaseException::nxSetMessage(nxeInvalidBlobHandle, u"Invalid BLOB handle in record buffer.");
}

uint32_t BlobModifiedAnswer() { return EnxBaseException::nxSetMessage(nxeBlobModified, u"BLOB has been modified."); }

uint32_t RecordDeleted() { return EnxBaseException::nxSetMessage(nxeRecordDeleted, u"Record/Key deleted."); }

TnxBaseTransaction& NeedTrans(TnxBaseTransaction* aTrans) {
  if (!aTrans)
    throw EnxBaseException(nxeNoTransaction, u"No user transaction is currently in progress.", {});
  return *aTrans;
}

// How a blob engine reads and measures blobs linked from another table of
// the cursor's database.
struct TLinkMethods {
  TnxBlobLinkRead Read;
  TnxBlobLinkGetLength GetLength;
};

TLinkMethods LinkMethodsOf(TnxServerTableCursor& aCursor) {
  auto* database = dynamic_cast<TnxServerDatabase*>(aCursor.Database());
  TnxBaseBlobLinkHandler* link = database ? database->BlobLinkHandler() : nullptr;
  if (!link) {
    auto refused = [] {
      return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"Linked BLOBs are not supported here");
    };
    return {[refused](const std::u16string&, TnxBlobNr, uint32_t, uint32_t, platform::TStream&) { return refused(); },
            [refused](const std::u16string&, TnxBlobNr, uint32_t&) { return refused(); }};
  }
  return {[link](const std::u16string& aTableName, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                 platform::TStream& aStream) { return link->BlobLinkRead(aTableName, aBlobNr, aOffset, aLen, aStream); },
          [link](const std::u16string& aTableName, TnxBlobNr aBlobNr, uint32_t& aLength) {
            return link->BlobLinkGetLength(aTableName, aBlobNr, aLength);
          }};
}

}  // namespace

void TnxServerTableCursor::stcSetBlobHandler(TnxServerObjectPtr<TnxBaseBlobHandler> aHandler) noexcept {
  stcBlobHandler = std::move(aHandler);
}

uint32_t TnxServerTableCursor::stcNoBlobHandler() const {
  return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"%s has no BLOB handler for table %s",
                                        {std::u16string(ClassName()), stcTable ? stcTable->FullName() : u""});
}

// ---- checks ----

uint32_t TnxServerTableCursor::stcBlobVerifyRecID(const TnxRecID& aRecID) {
  stcRecord2Held = false;
  if (!IsRealRecID(aRecID)) return 0;
  try {
    if (!sbcRecordBuffer2)
      sbcRecordBuffer2 = static_cast<PnxRecordBuffer>(TnxMemoryPool::Alloc(stcTable->RecordAllocator()));
    TnxRefNr refNr = aRecID.ridRefNr;
    // A cache's records are named by the remote RefNr; its sequential
    // index knows where each one is stored.
    if (IsCache()) {
      refNr = stcSeqAccessIndexEngine ? stcSeqAccessIndexEngine->SeqAccessLookup(ActiveTrans(), refNr, nullptr) : 0;
      if (refNr == 0) return RecordDeleted();
    }
    stcTable->RecordEngine()->ReadRecord(ActiveTrans(), refNr, sbcRecordBuffer2);
    const TnxSpecialFieldsInfo* sfi = SFI();
    if (sfi && sfi->sfiOffsets[sftInsertLSN] >= 0 &&
        platform::LoadLE<int64_t>(sbcRecordBuffer2 + sfi->sfiOffsets[sftInsertLSN]) != aRecID.ridInsertLSN)
      return RecordDeleted();
    stcRecord2Held = true;
    return 0;
  } catch (...) {
    return asoConvertCurrentException();
  }
}

uint32_t TnxServerTableCursor::stcBlobVerifyNrInner(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                    TnxNewBlobNr* aNewBlobNr) {
  if (aFieldNo < 0) return 0;
  if (aBlobNr == 0) return InvalidBlobHandle();
  TnxBlobNr stored = 0;
  if (IsRealRecID(aRecID) && stcRecord2Held) {
    // The field number comes from the client: it must name a blob field
    // before the record is read at its offset.
    TnxFieldsDescriptor& fields = TableDescriptor()->FieldsDescriptor();
    if (aFieldNo >= fields.FieldCount() || !fields.FieldDescriptor(aFieldNo)->IsBlob())
      return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"Field %d is not a BLOB field",
                                            {int64_t{aFieldNo}});
    if (!fields.IsRecordFieldNull(aFieldNo, sbcRecordBuffer2))
      stored = platform::LoadLE<int64_t>(sbcRecordBuffer2 + fields.FieldDescriptor(aFieldNo)->Offset());
    if (stored == aBlobNr) return 0;
  }
  if (!stcBlobHandler) return stcNoBlobHandler();
  if (stcBlobHandler->BlobVerifyNr(ActiveTrans(), aRecID, aFieldNo, aBlobNr)) return 0;
  if (aNewBlobNr) {
    aNewBlobNr->nbnBlobNr = stored;
    aNewBlobNr->nbnSet = true;
  }
  return BlobModifiedAnswer();
}

uint32_t TnxServerTableCursor::stcBlobVerifyNr(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                               TnxNewBlobNr* aNewBlobNr) {
  stcRecord2Held = false;
  if (IsNullRecID(aRecID) || aFieldNo < 0) return 0;
  if (aBlobNr == 0) return InvalidBlobHandle();
  if (const uint32_t result = stcBlobVerifyRecID(aRecID)) return result;
  return stcBlobVerifyNrInner(aRecID, aFieldNo, aBlobNr, aNewBlobNr);
}

// ---- frames ----

uint32_t TnxServerTableCursor::stcBlobWriter(const TnxRecID& aRecID, int32_t aFieldNo, const TnxBlobNr* aVerifyNr,
                                             const TnxBlobWork& aWork) {
  try {
    if (!stcBlobHandler) return stcNoBlobHandler();
    return nxTableCursorOwnWrite(*this, false, [&](TnxServerTransaction& aTrans) -> uint32_t {
      if (aVerifyNr) {
        if (const uint32_t result = stcBlobVerifyNr(aRecID, aFieldNo, *aVerifyNr, nullptr)) return result;
      }
      return aWork(aTrans);
    });
  } catch (...) {
    return asoConvertCurrentException();
  }
}

uint32_t TnxServerTableCursor::stcBlobReader(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr,
                                             TnxNewBlobNr* aNewBlobNr, const std::function<uint32_t()>& aWork) {
  try {
    if (!stcBlobHandler) return stcNoBlobHandler();
    if (aNewBlobNr) *aNewBlobNr = TnxNewBlobNr{aBlobNr, false};
    TnxSharedContentLock lock(*this);
    if (lock.Result() != 0) return lock.Result();
    uint32_t result = stcBlobVerifyNr(aRecID, aFieldNo, aBlobNr, aNewBlobNr);
    // The record holds another blob now: serve that one and say so.
    if (result == nxeBlobModified && aNewBlobNr && aNewBlobNr->nbnSet && aNewBlobNr->nbnBlobNr != aBlobNr) {
      aBlobNr = aNewBlobNr->nbnBlobNr;
      result = 0;
    }
    return result != 0 ? result : aWork();
  } catch (...) {
    return asoConvertCurrentException();
  }
}

// ---- creating ----

uint32_t TnxServerTableCursor::sbcBlobCreate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr) {
  TnxBlobNr created = 0;
  const uint32_t result = stcBlobWriter(aRecID, aFieldNo, nullptr, [&](TnxServerTransaction& aTrans) {
    return stcBlobHandler->BlobCreate(&aTrans, aRecID, aFieldNo, created);
  });
  aBlobNr = result == 0 ? created : 0;
  return result;
}

uint32_t TnxServerTableCursor::sbcBlobCreateFile(const TnxRecID& aRecID, int32_t aFieldNo,
                                                 std::u16string_view aFileName, TnxBlobNr& aBlobNr) {
  TnxBlobNr created = 0;
  const uint32_t result = stcBlobWriter(aRecID, aFieldNo, nullptr, [&](TnxServerTransaction& aTrans) {
    return stcBlobHandler->BlobCreateFile(&aTrans, aRecID, aFieldNo, aFileName, created);
  });
  aBlobNr = result == 0 ? created : 0;
  return result;
}

uint32_t TnxServerTableCursor::sbcBlobCreateLink(const TnxRecID& aRecID, int32_t aFieldNo,
                                                 std::u16string_view aTableName, TnxBlobNr aTableBlobNr,
                                                 TnxBlobNr& aBlobNr) {
  try {
    if (sbcIsReadOnly) return sbcGetReadOnlyResult();
    if (const uint32_t result = sbcCheckTransactionState()) return result;
    if (!stcBlobHandler) return stcNoBlobHandler();
    if (const uint32_t result = sbcBeginContentLock(true, false, false)) return result;
    // Under a transaction the link lasts to the level's end.
    sbcEndContentLock();
    return stcBlobHandler->BlobCreateLink(ActiveTrans(), aRecID, aFieldNo, aTableName, aTableBlobNr, aBlobNr);
  } catch (...) {
    return asoConvertCurrentException();
  }
}

// ---- changing ----

uint32_t TnxServerTableCursor::sbcBlobWrite(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                            uint32_t aOffset, uint32_t aLen, const void* aBlob) {
  return stcBlobWriter(aRecID, aFieldNo, &aBlobNr, [&](TnxServerTransaction& aTrans) {
    return stcBlobHandler->BlobWrite(&aTrans, aRecID, aFieldNo, aBlobNr, aOffset, aLen, aBlob);
  });
}

uint32_t TnxServerTableCursor::sbcBlobReplace(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr,
                                              uint32_t aLen, const void* aBlob) {
  TnxBlobNr used = aBlobNr;
  const uint32_t result =
      stcBlobWriter(aRecID, aFieldNo, aBlobNr != 0 ? &aBlobNr : nullptr, [&](TnxServerTransaction& aTrans) {
        return stcBlobHandler->BlobReplace(&aTrans, aRecID, aFieldNo, used, aLen, aBlob);
      });
  // A blob made by a write that was rolled back does not exist.
  if (result == 0) aBlobNr = used;
  return result;
}

uint32_t TnxServerTableCursor::sbcBlobTruncate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                               uint32_t aBlobLength) {
  return stcBlobWriter(aRecID, aFieldNo, &aBlobNr, [&](TnxServerTransaction& aTrans) {
    return stcBlobHandler->BlobTruncate(&aTrans, aRecID, aFieldNo, aBlobNr, aBlobLength);
  });
}

uint32_t TnxServerTableCursor::sbcBlobDelete(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) {
  return stcBlobWriter(aRecID, aFieldNo, &aBlobNr, [&](TnxServerTransaction& aTrans) {
    return stcBlobHandler->BlobDelete(&aTrans, aRecID, aFieldNo, aBlobNr);
  });
}

uint32_t TnxServerTableCursor::sbcBlobFree(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) {
  bool deleted = false;
  uint32_t result = stcBlobWriter(aRecID, aFieldNo, &aBlobNr, [&](TnxServerTransaction& aTrans) {
    return stcBlobHandler->BlobFree(&aTrans, aRecID, aFieldNo, aBlobNr, deleted);
  });
  if (result == nxeBlobModified)
    return EnxBaseException::nxSetMessage(nxeSegmentHasBeenDeleted, u"Segment has been deleted");
  // Told after the commit: the free stands, the caller learns the blob
  // went with it.
  if (result == 0 && deleted) result = BlobModifiedAnswer();
  return result;
}

uint32_t TnxServerTableCursor::sbcBlobAddToCache(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                 uint32_t aLen, const void* aBlob) {
  return stcBlobWriter(aRecID, aFieldNo, nullptr, [&](TnxServerTransaction& aTrans) {
    return stcBlobHandler->BlobAddToCache(&aTrans, aRecID, aFieldNo, aBlobNr, aLen, aBlob);
  });
}

uint32_t TnxServerTableCursor::sbcBlobsCancel(TnxRefNr aRefNr) {
  return stcBlobWriter(nxNullRecID, -1, nullptr, [&](TnxServerTransaction& aTrans) {
    return stcBlobHandler->BlobsCancel(&aTrans, aRefNr);
  });
}

uint32_t TnxServerTableCursor::ascSetBlobCacheFlushed(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                      TnxBlobNr* aNewBlobNr) {
  return stcBlobWriter(aRecID, aFieldNo, &aBlobNr, [&](TnxServerTransaction& aTrans) {
    return stcBlobHandler->BlobCacheFlushed(&aTrans, aRecID, aFieldNo, aBlobNr, aNewBlobNr ? *aNewBlobNr : 0);
  });
}

// ---- reading ----

uint32_t TnxServerTableCursor::sbcBlobRead(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                           uint32_t aOffset, uint32_t aLen, platform::TStream& aStream,
                                           bool aReadOrg, TnxNewBlobNr* aNewBlobNr) {
  return stcBlobReader(aRecID, aFieldNo, aBlobNr, aNewBlobNr, [&] {
    return stcBlobHandler->BlobRead(ActiveTrans(), aRecID, aFieldNo, aReadOrg || sbcReadOrgOverride > 0, aBlobNr,
                                    aOffset, aLen, aStream, nullptr);
  });
}

uint32_t TnxServerTableCursor::sbcBlobReadSnapshoted(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                     uint32_t aOffset, uint32_t aLen, platform::TStream& aStream,
                                                     bool aReadOriginal, uint32_t* aBlobLength,
                                                     TnxNewBlobNr* aNewBlobNr) {
  return stcBlobReader(aRecID, aFieldNo, aBlobNr, aNewBlobNr, [&] {
    return stcBlobHandler->BlobRead(ActiveTrans(), aRecID, aFieldNo, aReadOriginal || sbcReadOrgOverride > 0,
                                    aBlobNr, aOffset, aLen, aStream, aBlobLength);
  });
}

uint32_t TnxServerTableCursor::sbcBlobGetLength(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                uint32_t& aLength, bool aReadOrg, TnxNewBlobNr* aNewBlobNr) {
  return stcBlobReader(aRecID, aFieldNo, aBlobNr, aNewBlobNr, [&] {
    return stcBlobHandler->BlobGetLength(ActiveTrans(), aRecID, aFieldNo, aReadOrg || sbcReadOrgOverride > 0,
                                         aBlobNr, aLength);
  });
}

uint32_t TnxServerTableCursor::sbcBlobModified(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                               bool& aModified) {
  aModified = false;
  return stcBlobReader(aRecID, aFieldNo, aBlobNr, nullptr, [&] {
    return stcBlobHandler->BlobModified(ActiveTrans(), aRecID, aFieldNo, aBlobNr, aModified);
  });
}

uint32_t TnxServerTableCursor::ascGetBlobCacheInfos(const TnxRecID& aRecID, TnxBlobCacheInfos& aBCIs) {
  aBCIs.clear();
  try {
    if (!stcBlobHandler) return stcNoBlobHandler();
    TnxSharedContentLock lock(*this);
    if (lock.Result() != 0) return lock.Result();
    return stcBlobHandler->GetBlobCacheInfos(ActiveTrans(), aRecID, aBCIs);
  } catch (...) {
    return asoConvertCurrentException();
  }
}

bool TnxServerTableCursor::sbcBlobIsLink(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                         std::u16string& aSrcTableName, TnxBlobNr& aSrcTableBlobNr) {
  aSrcTableName.clear();
  aSrcTableBlobNr = 0;
  if (!stcBlobHandler) return false;
  return stcBlobHandler->BlobIsLink(ActiveTrans(), aRecID, aFieldNo, aBlobNr, aSrcTableName, aSrcTableBlobNr);
}

uint32_t TnxServerTableCursor::GetBlobs(PnxRecordBuffer aData, bool aMarkedOnly, uint16_t& aCount,
                                        TnxBlobNr* aBlobNrs) {
  if (!IsCache()) return TnxServerBaseCursor::GetBlobs(aData, aMarkedOnly, aCount, aBlobNrs);
  const TnxMarkedBlobsRef marked = MarkedBlobs();
  if ((aMarkedOnly && !marked) || !stcBlobHandler || dynamic_cast<TnxNullBlobHandler*>(stcBlobHandler.get())) {
    aCount = 0;
    return 0;
  }
  try {
    TnxSharedContentLock lock(*this);
    if (lock.Result() != 0) {
      aCount = 0;
      return lock.Result();
    }
    return stcBlobHandler->GetBlobs(ActiveTrans(), aData, aMarkedOnly ? marked.get() : nullptr, aCount, aBlobNrs);
  } catch (...) {
    aCount = 0;
    return asoConvertCurrentException();
  }
}

// ---- batches ----

uint32_t TnxServerTableCursor::BlobBatchProcess(const TnxBlobBatchRequest& aRequest, std::vector<uint8_t>& aReply) {
  aReply.assign(size_t(std::max(2, nxBlobBatchReplySizeForRequest(aRequest))), 0);
  if (!nxBlobBatchRequestIsAssigned(aRequest)) return 0;
  if (sbcIsReadOnly) return sbcGetReadOnlyResult();
  nxSetTimeout(Timeout(), false);
  InxSimpleLock* lock = SessionLock();
  try {
    lock->Lock();
  } catch (...) {
    return asoConvertCurrentException();
  }
  uint32_t result = 0;
  try {
    result = stcBlobBatchProcess(aRequest, aReply);
  } catch (...) {
    result = asoConvertCurrentException();
  }
  lock->Unlock(result);
  return result;
}

uint32_t TnxServerTableCursor::stcBlobBatchProcess(const TnxBlobBatchRequest& aRequest,
                                                   std::vector<uint8_t>& aReply) {
  const size_t count = aRequest.bbrqEntries.size();
  // The reply counts in 16 bits.
  if (count > std::numeric_limits<uint16_t>::max())
    return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"A BLOB batch holds more than 65535 entries");
  const TnxRecID& recID = aRequest.bbrqRecID;
  return stcBlobWriter(recID, -1, nullptr, [&](TnxServerTransaction& aTrans) -> uint32_t {
    if (const uint32_t result = stcBlobVerifyRecID(recID)) return result;
    for (size_t i = 0; i < count; ++i) {
      const TnxBlobBatchRequestEntry& entry = aRequest.bbrqEntries[i];
      TnxBlobNr blobNr = entry.bbrqeBlobNr;
      const int32_t fieldNo = entry.bbrqeFieldNo;
      const bool creates = entry.bbrqeStateInfo == cbsiCreated || entry.bbrqeStateInfo == cbsiCreatedFile;
      uint32_t result = stcBlobVerifyNrInner(recID, fieldNo, blobNr, nullptr);
      if (result == nxeInvalidBlobHandle && creates) result = 0;
      if (result == 0) {
        switch (entry.bbrqeStateInfo) {
          case cbsiCreatedFile:
            result = stcBlobHandler->BlobCreateFile(&aTrans, recID, fieldNo, entry.bbrqeFileName, blobNr);
            break;
          case cbsiDeleted:
            result = stcBlobHandler->BlobDelete(&aTrans, recID, fieldNo, blobNr);
            break;
          case cbsiCreated:
          case cbsiModified:
            result = stcBlobHandler->BlobReplace(&aTrans, recID, fieldNo, blobNr,
                                                 static_cast<uint32_t>(entry.bbrqeData.size()),
                                                 entry.bbrqeData.empty() ? nullptr : entry.bbrqeData.data());
            break;
        }
      }
      if (result != 0) return result;
      platform::StoreLE<int64_t>(aReply.data() + 2 + 8 * i, blobNr);
      platform::StoreLE<uint16_t>(aReply.data(), static_cast<uint16_t>(i + 1));
    }
    return 0;
  });
}

// ---- copying from another cursor ----

uint32_t TnxServerTableCursor::stcBlobCopy(TnxServerBaseCursor* aSrcCursor, TnxBlobNr aBlobNr, bool aNewBlob,
                                           TnxBlobNr& aDestBlobNr, uint32_t aMaxLength) {
  auto* source = dynamic_cast<TnxServerTableCursor*>(aSrcCursor);
  if (!source || !source->stcTable)
    return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"BLOBs are copied only from a table cursor");
  TnxBaseBlobEngine* from = source->stcTable->BlobEngine();
  TnxBaseBlobEngine* to = stcTable->BlobEngine();
  if (!from || !to) return stcNoBlobHandler();
  TnxBaseTransaction* fromTrans = source->ActiveTrans();
  TnxBaseTransaction& toTrans = NeedTrans(ActiveTrans());
  // The caller's transaction must hold this table: only then does its
  // rollback reach the blob engine, whose cached heap would otherwise keep
  // blocks that went back. Joining a link already held costs nothing.
  if (const uint32_t result = sbcBeginContentLock(true, false, false)) return result;
  sbcEndContentLock();
  TnxSharedContentLock sourceLock(*source);
  if (sourceLock.Result() != 0) return sourceLock.Result();
  if (aNewBlob) {
    std::u16string fileName;
    if (from->IsFileBlob(fromTrans, aBlobNr, fileName)) {
      if (aMaxLength == 0) {
        to->AddBlob(toTrans, aDestBlobNr);
      } else if (aMaxLength == kCopyAll) {
        to->AddFileBlob(toTrans, fileName, aDestBlobNr);
      } else {
        throw EnxServerException(nxeReadOnlyField, u"Trying to modify read-only field.", {});
      }
      return 0;
    }
  }
  const TLinkMethods links = LinkMethodsOf(*source);
  uint32_t length = 0;
  if (const uint32_t result = from->GetBlobLength(fromTrans, aBlobNr, links.GetLength, length)) return result;
  TnxBlobNr dest = aNewBlob ? 0 : aDestBlobNr;
  if (aNewBlob) to->AddBlob(toTrans, dest);
  uint32_t copied = 0;
  uint32_t result = 0;
  try {
    result = nxBlobCopyChunks(
        [&](uint32_t aOffset, uint32_t aLen, platform::TStream& aStream) {
          return from->Read(fromTrans, aBlobNr, aOffset, aLen, links.Read, aStream);
        },
        [&](uint32_t aOffset, uint32_t aLen, const void* aData) { to->Write(toTrans, dest, aOffset, aLen, aData); },
        length, aMaxLength, copied);
    if (result == 0 && !aNewBlob) to->Truncate(toTrans, dest, copied);
  } catch (...) {
    result = asoConvertCurrentException();
  }
  if (result != 0) {
    // A half-filled new blob goes, also when the caller commits anyway.
    if (aNewBlob) {
      try {
        to->DeleteBlob(toTrans, dest);
      } catch (...) {
        // The copy's own failure is the answer; a rollback takes the blob.
      }
    }
    return result;
  }
  aDestBlobNr = dest;
  return 0;
}

uint32_t TnxServerTableCursor::sbcBlobCopyPrim(TnxServerBaseCursor* aSrcCursor, int32_t, TnxBlobNr aBlobNr, int32_t,
                                               TnxBlobNr& aDestBlobNr, uint32_t aMaxLength) {
  aDestBlobNr = 0;
  try {
    return stcBlobCopy(aSrcCursor, aBlobNr, true, aDestBlobNr, aMaxLength);
  } catch (...) {
    aDestBlobNr = 0;
    return asoConvertCurrentException();
  }
}

uint32_t TnxServerTableCursor::sbcBlobCopyContentPrim(TnxServerBaseCursor* aSrcCursor, int32_t, TnxBlobNr aBlobNr,
                                                      int32_t, TnxBlobNr aDestBlobNr, uint32_t aMaxLength) {
  try {
    return stcBlobCopy(aSrcCursor, aBlobNr, false, aDestBlobNr, aMaxLength);
  } catch (...) {
    return asoConvertCurrentException();
  }
}

}  // namespace revurov
