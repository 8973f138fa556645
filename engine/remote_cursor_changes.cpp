// TnxRemoteCursor: inserting, modifying and deleting records, record locks,
// the auto-increment value, batch inserts, server-side copies and deleting
// all records. The cursor has no local record cache: records never go to
// a cache, so no blob batch and no diff travels, and the cache-aware
// request forms are not sent.
#include <cstring>
#include <vector>

#include "engine/batch_stream.h"
#include "engine/remote_cursor.h"
#include "engine/remote_cursor_wire.h"
#include "engine/remote_database.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"

namespace revurov {

namespace {

constexpr uint8_t kTrue = 0xFF;
// The reply names a stale cached record: 16 bytes, code 0x2200-0x220F.
constexpr uint32_t kStaleRecordFirst = 0x22F0;
constexpr uint32_t kStaleRecordLast = 0x22FF;
constexpr uint32_t kStaleRecordCodeMask = 0xFF0F;

}  // namespace

uint32_t TnxRemoteCursor::RecordInsert(TnxLockType aLockType, PnxRecordBuffer aData, int64_t* aAutoInc) {
  // Holds for this call only, whatever happens.
  struct TRemoveOption {
    TnxRemoteCursor& cursor;
    ~TRemoveOption() { cursor.RemoveCursorOption(acoRecordInsertFollowedByRecordGet); }
  } removeOption{*this};
  try {
    if (aAutoInc) *aAutoInc = -1;
    if (!aData) return nxeInvalidParameter;
    if (aLockType != nxltNoLock && rcFilterActive() && !FilterMatchesBuffer(aData)) return nxeRecordLockFailed;
    {
      const TnxEngineArg args[] = {int32_t(aLockType), int64_t(reinterpret_cast<intptr_t>(aData)), int64_t(0)};
      if (const uint32_t refused = NotifyExtenders(eaRecordInsert, true, args)) return refused;
    }
    const bool reduction = nxClientFeatureOn(cfMessageReduction);
    const bool autoIncCache = nxClientFeatureOn(cfAutoIncCache);
    TnxMsgID msgID = nxnmCursorRecordInsert;
    int64_t localAutoInc = -1;
    int64_t* autoInc = aAutoInc;
    uint32_t sendBackLength = 0;
    if (rcServerVersion > nxChainedReadsMinServer) {
      // With the cache on the value always comes back.
      if (autoIncCache && !autoInc) autoInc = &localAutoInc;
      if (autoInc) msgID = nxnmCursorRecordInsertAutoInc;
    }
    if (rcServerVersion > nxDelayedBookmarkMinServer) {
      sendBackLength = RecordLength();
      if (reduction && !HasAnyCursorOptions(nxCursorOption(acoRecordInsertFollowedByRecordGet))) sendBackLength = 0;
      if (sendBackLength == 0) msgID = nxnmCursorRecordInsertEx;
    }
    const bool wantAutoInc = autoInc != nullptr && msgID != nxnmCursorRecordInsert;
    const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
      w.WriteInteger(int32_t(aLockType));
      w.WriteInteger(static_cast<int32_t>(RecordLength()));
      w.WriteListBegin();
      w.Write(aData, RecordLength());
      w.WriteListEnd();
      w.WriteInteger(static_cast<int32_t>(rcBookmarkSize));
      if (msgID == nxnmCursorRecordInsert) return;
      w.WriteBoolean(msgID == nxnmCursorRecordInsertAutoInc || wantAutoInc);
      if (msgID != nxnmCursorRecordInsertEx) return;
      w.WriteInteger(static_cast<int32_t>(sendBackLength));
      w.WriteBoolean(HasAnyCursorOptions(nxCursorOption(acoFlipOrder)));
      w.WriteBoolean(false);  // the record goes to no cache
      nxWriteBlobBatchRequest(TnxBlobBatchRequest{}, w);
    });
    TnxMemoryStream reply(-1);
    const uint32_t result =
        rcRequest(msgID, payload.data(), static_cast<int32_t>(payload.size()), &reply, false);
    rcBookmarkCacheValid = false;
    if (result != 0) return result;
    int64_t received = -1;
    if (wantAutoInc) {
      if (reply.GetSize() < 8) return nxeMessageUnrecognized;
      received = static_cast<int64_t>(platform::LoadU64(reply.Memory()));
      *autoInc = received;
    }
    if (!autoIncCache || !wantAutoInc)
      rcCachedAutoInc = -1;
    else if (received >= 0)
      rcCachedAutoInc = received;
    const TnxEngineArg args[] = {int32_t(aLockType), int64_t(reinterpret_cast<intptr_t>(aData)), int64_t(0)};
    NotifyExtenders(eaRecordInsert, false, args);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::RecordModify(PnxRecordBuffer aData, bool aReleaseLock, TnxRecordDiff* aDataDiff) {
  if (aDataDiff) return nxeInvalidParameter;
  try {
    if (!aData) return nxeInvalidParameter;
    if (!aReleaseLock && rcFilterActive() && !FilterMatchesBuffer(aData)) return nxeRecordLockFailed;
    {
      const TnxEngineArg args[] = {int64_t(reinterpret_cast<intptr_t>(aData)), aReleaseLock};
      if (const uint32_t refused = NotifyExtenders(eaRecordModify, true, args)) return refused;
    }
    TnxMsgID msgID = nxnmCursorRecordModify;
    if (nxClientFeatureOn(cfMessageReduction) && rcServerVersion > nxChainedReadsMinServer)
      msgID = nxnmCursorRecordModifyEx;
    // The held-back bookmark travels inside rather than as a request of its own.
    if (rcDelayedSetToBookmarkSize != 0 && rcServerVersion > nxDelayedBookmarkMinServer)
      msgID = nxnmCursorRecordModifyCached;
    const bool sync = HasAnyCursorOptions(nxCursorOption(acoRecordModifyFollowedBySync));
    const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
      w.WriteBoolean(aReleaseLock);
      w.WriteInteger(static_cast<int32_t>(RecordLength()));
      w.WriteListBegin();
      w.Write(aData, RecordLength());
      w.WriteListEnd();
      if (msgID == nxnmCursorRecordModifyCached) w.WriteBoolean(false);  // not a diff
      if (msgID == nxnmCursorRecordModify) {
        w.WriteInteger(static_cast<int32_t>(rcBookmarkSize));
        return;
      }
      if (sync) rcExpectedMultiPartReplies = 0x7;
      w.WriteInteger(static_cast<int32_t>(sync ? RecordLength() : 0));
      w.WriteInteger(static_cast<int32_t>(
          HasAnyCursorOptions(nxCursorOption(acoRecordGetFollowedByGetBookmark)) ? rcBookmarkSize : 0));
      w.WriteBoolean(HasAnyCursorOptions(nxCursorOption(acoFlipOrder)));
      if (msgID != nxnmCursorRecordModifyCached) return;
      w.WriteBoolean(false);  // the record goes to no cache
      nxWriteBlobBatchRequest(TnxBlobBatchRequest{}, w);
      const uint32_t size = std::exchange(rcDelayedSetToBookmarkSize, 0);
      w.WriteInteger(static_cast<int32_t>(size));
      if (size != 0) w.Write(rcDelayedSetToBookmark.data(), size);
    });
    const uint32_t result = rcRequest(msgID, payload.data(), static_cast<int32_t>(payload.size()), nullptr, false);
    rcBookmarkCacheValid = false;
    if (result != 0) return result;
    const TnxEngineArg args[] = {int64_t(reinterpret_cast<intptr_t>(aData)), aReleaseLock};
    NotifyExtenders(eaRecordModify, false, args);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::RecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) {
  struct TRemoveOption {
    TnxRemoteCursor& cursor;
    ~TRemoveOption() { cursor.RemoveCursorOption(acoRecordDeleteFollowedBySync); }
  } removeOption{*this};
  if (aLSN != 0) return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"Capability not supported.");
  try {
    uint32_t sendBackLength = aData ? RecordLength() : 0;
    if (rcFilterActive()) {
      // The filter decides on the record as it is now; the caller gets it
      // from this read and need not ask again.
      std::vector<uint8_t> scratch;
      PnxRecordBuffer into = aData;
      if (!into) {
        scratch.assign(RecordLength(), 0);
        into = scratch.data();
      }
      if (const uint32_t read = RecordGet(nxltWriteLock, into)) return read;
      sendBackLength = 0;
    }
    {
      const TnxEngineArg args[] = {int64_t(reinterpret_cast<intptr_t>(aData)), int64_t(0)};
      if (const uint32_t refused = NotifyExtenders(eaRecordDelete, true, args)) return refused;
    }
    std::vector<uint8_t> payload(13 + rcDelayedSetToBookmarkSize, 0);
    platform::StoreU32(payload.data(), rcCursorID);
    platform::StoreU16(payload.data() + 4, static_cast<uint16_t>(sendBackLength));
    TnxMsgID msgID = nxnmCursorRecordDelete;
    size_t length = 6;
    if (nxClientFeatureOn(cfMessageReduction) && rcServerVersion > nxChainedReadsMinServer &&
        HasAnyCursorOptions(nxCursorOption(acoRecordDeleteFollowedBySync))) {
      msgID = nxnmCursorRecordDeleteSync;
      length = 11;
      payload[10] = HasAnyCursorOptions(nxCursorOption(acoFlipOrder)) ? kTrue : 0;
      rcExpectedMultiPartReplies = 0x7;
      platform::StoreU16(payload.data() + 6, static_cast<uint16_t>(RecordLength()));
      if (HasAnyCursorOptions(nxCursorOption(acoRecordGetFollowedByGetBookmark)))
        platform::StoreU16(payload.data() + 8, static_cast<uint16_t>(rcBookmarkSize));
    }
    if (rcDelayedSetToBookmarkSize != 0 && rcServerVersion > nxDelayedBookmarkMinServer) {
      msgID = nxnmCursorRecordDeleteDelayed;
      const uint32_t size = std::exchange(rcDelayedSetToBookmarkSize, 0);
      platform::StoreU16(payload.data() + 11, static_cast<uint16_t>(size));
      std::memcpy(payload.data() + 13, rcDelayedSetToBookmark.data(), size);
      length = 13 + size;
    }
    TnxRecordBufferPtr reply;
    int32_t replyLen = 0;
    uint32_t code = rcRequestBlock(msgID, payload.data(), static_cast<int32_t>(length), &reply, &replyLen, false);
    rcBookmarkCacheValid = false;
    const auto have = static_cast<uint32_t>(replyLen);
    if (code >= kStaleRecordFirst && code <= kStaleRecordLast) {
      // Names a cached record that is gone; there is no cache to drop it from.
      if (have != nxRecordCacheInfoSize) return nxeMessageUnrecognized;
      code &= kStaleRecordCodeMask;
    } else if (code == 3 || code == 4) {
      // The record, then a cached record to forget.
      if (have != sendBackLength + nxRecordCacheInfoSize) return nxeMessageUnrecognized;
      if (aData && sendBackLength) std::memcpy(aData, reply.get(), sendBackLength);
      code = 0;
    } else if (code == nxBatchCacheIsValid) {
      // Only a request naming a cached record may hear this.
      return have == nxRecordCacheInfoSize ? code : nxeMessageUnrecognized;
    } else if (code == 0 && have != 0) {
      if (have != RecordLength()) return nxeMessageUnrecognized;
      if (aData && sendBackLength) std::memcpy(aData, reply.get(), have);
    }
    if (code != 0) return code;
    const TnxEngineArg args[] = {int64_t(reinterpret_cast<intptr_t>(aData)), int64_t(0)};
    NotifyExtenders(eaRecordDelete, false, args);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::RecordIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) {
  aLockPresent = lpNotAtAll;
  uint8_t payload[5];
  platform::StoreU32(payload, rcCursorID);
  payload[4] = aLockType;
  TnxRecordBufferPtr reply;
  int32_t replyLen = 0;
  const uint32_t result = rcRequestBlock(nxnmCursorRecordIsLocked, payload, 5, &reply, &replyLen, false);
  if (result != 0) return result;
  if (replyLen < 1 || reply.get()[0] > lpYesByAnother) return nxeMessageUnrecognized;
  aLockPresent = static_cast<TnxLockPresent>(reply.get()[0]);
  return 0;
}

uint32_t TnxRemoteCursor::RecordLockRelease(bool aAllLocks, bool aCancelBlobs) {
  if (!rcHasBlobFields()) aCancelBlobs = false;
  try {
    std::vector<uint8_t> payload(13 + rcDelayedSetToBookmarkSize, 0);
    platform::StoreU32(payload.data(), rcCursorID);
    payload[4] = aAllLocks ? kTrue : 0;
    TnxMsgID msgID = nxnmCursorRecordLockRelease;
    size_t length = 5;
    // Set only once the request goes out.
    uint8_t expected = 0;
    if (nxClientFeatureOn(cfMessageReduction) && HasAnyCursorOptions(nxCursorOption(acoLockReleaseFollowedByRecordGet))) {
      RemoveCursorOption(acoLockReleaseFollowedByRecordGet);
      if (rcServerVersion > nxChainedReadsMinServer) {
        msgID = nxnmCursorRecordLockReleaseGet;
        length = 9;
        expected = uint8_t(1u << emprRecordGet);
        platform::StoreU16(payload.data() + 5, static_cast<uint16_t>(RecordLength()));
        if (HasAnyCursorOptions(nxCursorOption(acoRecordGetFollowedByGetBookmark)))
          platform::StoreU16(payload.data() + 7, static_cast<uint16_t>(rcBookmarkSize));
      }
      if (rcServerVersion > nxDelayedBookmarkMinServer) {
        msgID = nxnmCursorRecordLockReleaseSync;
        expected = 0x7;
        payload[9] = HasAnyCursorOptions(nxCursorOption(acoFlipOrder)) ? kTrue : 0;
      }
    }
    if (aCancelBlobs && !(Capabilities() & (1u << accCancelBlobs)))
      return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"Capability not supported.");
    if (aCancelBlobs || (rcDelayedSetToBookmarkSize != 0 && rcServerVersion > nxDelayedBookmarkMinServer))
      msgID = nxnmCursorRecordLockReleaseSync;
    if (msgID == nxnmCursorRecordLockReleaseSync) {
      payload[10] = aCancelBlobs ? kTrue : 0;
      const uint32_t size = std::exchange(rcDelayedSetToBookmarkSize, 0);
      platform::StoreU16(payload.data() + 11, static_cast<uint16_t>(size));
      std::memcpy(payload.data() + 13, rcDelayedSetToBookmark.data(), size);
      length = 13 + size;
    }
    if (expected) rcExpectedMultiPartReplies = expected;
    return rcRequestBlock(msgID, payload.data(), static_cast<int32_t>(length), nullptr, nullptr, false);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::AutoIncGet(uint32_t& aValue, bool aAllowCached) {
  const bool cache = nxClientFeatureOn(cfAutoIncCache);
  if (cache && aAllowCached && rcCachedAutoInc >= 0) {
    aValue = static_cast<uint32_t>(rcCachedAutoInc);
    return 0;
  }
  aValue = 0;
  uint8_t payload[4];
  platform::StoreU32(payload, rcCursorID);
  TnxRecordBufferPtr reply;
  int32_t replyLen = 0;
  const uint32_t result = rcRequestBlock(nxnmCursorAutoIncGet, payload, 4, &reply, &replyLen, false);
  if (result != 0) return result;
  if (replyLen < 4) return nxeMessageUnrecognized;
  aValue = platform::LoadU32(reply.get());
  rcCachedAutoInc = cache ? int64_t(aValue) : -1;
  return 0;
}

uint32_t TnxRemoteCursor::AutoIncSet(uint32_t aValue) {
  uint8_t payload[8];
  platform::StoreU32(payload, rcCursorID);
  platform::StoreU32(payload + 4, aValue);
  const uint32_t result = rcRequestBlock(nxnmCursorAutoIncSet, payload, 8, nullptr, nullptr, false);
  if (result == 0) rcCachedAutoInc = nxClientFeatureOn(cfAutoIncCache) ? int64_t(aValue) : -1;
  return result;
}

uint32_t TnxRemoteCursor::RecordInsertBatch(TnxCustomMemoryStream& aStream) {
  // The caller keeps the first 4 bytes free for the cursor ID.
  if (aStream.GetSize() < 4 || !aStream.Memory()) return nxeInvalidParameter;
  if (aStream.GetSize() > INT32_MAX) return nxeInvalidParameter;
  platform::StoreU32(aStream.ByteArray(), rcCursorID);
  // The batch may have taken any number of values.
  rcCachedAutoInc = -1;
  return rcRequestBlock(nxnmCursorRecordInsertBatch, aStream.Memory(), static_cast<int32_t>(aStream.GetSize()),
                        nullptr, nullptr, true);
}

uint32_t TnxRemoteCursor::rcCopyRecords(std::u16string_view aOperation, TnxAbstractCursor* aDestCursor,
                                        TnxBlobCopyMode aBlobCopyMode, int32_t aMaxTransSize,
                                        const bool* aCheckValFields) {
  if (aBlobCopyMode == nxbcmCreateLink)
    return EnxBaseException::nxSetMessage(nxeInvalidParameter,
                                          u"nxbcmCreateLink is not a valid BlobCopyMode for TnxRemoteCursor");
  if (rcFilterActive()) return rcLocalFilterRefuses(aOperation);
  auto* dest = dynamic_cast<TnxRemoteCursor*>(aDestCursor);
  if (!dest || &dest->rcSession != &rcSession)
    return EnxBaseException::nxSetMessage(nxeDifferentSessions, u"Objects are not owned by the same session.");
  uint8_t payload[14];
  platform::StoreU32(payload, rcCursorID);
  platform::StoreU32(payload + 4, dest->rcCursorID);
  payload[8] = aBlobCopyMode;
  platform::StoreU32(payload + 9, static_cast<uint32_t>(aMaxTransSize));
  if (!aCheckValFields) return rcRequestBlock(nxnmCursorCopyRecords, payload, 13, nullptr, nullptr, false);
  payload[13] = *aCheckValFields ? kTrue : 0;
  return rcRequestBlock(nxnmCursorCopyRecordsEx, payload, 14, nullptr, nullptr, false);
}

uint32_t TnxRemoteCursor::CopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                                      int32_t aMaxTransSize) {
  return rcCopyRecords(u"CopyRecords", aDestCursor, aBlobCopyMode, aMaxTransSize, nullptr);
}

uint32_t TnxRemoteCursor::CopyRecordsEx(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                                        int32_t aMaxTransSize, bool aCheckValFields) {
  return rcCopyRecords(u"CopyRecordsEx", aDestCursor, aBlobCopyMode, aMaxTransSize, &aCheckValFields);
}

uint32_t TnxRemoteCursor::DeleteRecords() {
  if (!rcFilterActive()) {
    uint8_t payload[4];
    platform::StoreU32(payload, rcCursorID);
    return rcRequestBlock(nxnmCursorDeleteRecords, payload, 4, nullptr, nullptr, true);
  }
  // Only the client knows which records its filter lets through.
  bool started = false;
  uint32_t result = 0;
  try {
    std::vector<uint8_t> buffer(RecordLength() + 4, 0);
    result = SetToBegin();
    if (result != 0) return result;
    result = rcDatabase->TransactionStart(false, false);
    started = result == 0;
    auto readNext = [&] {
      uint32_t r = 0;
      // A filter scan that runs out of time is tried again.
      do r = RecordGetNext(nxltWriteLock, buffer.data());
      while (r == nxeFilterTimeout);
      return r;
    };
    if (started) result = readNext();
    while (started && result == 0) {
      const uint32_t deleted = RecordDelete(nullptr, 0);
      if (deleted != 0 && deleted != nxeRecordDeleted && deleted != nxeNoCurrentRecord && deleted != nxeRecordNotFound) {
        result = deleted;
        break;
      }
      result = readNext();
    }
    if (result == nxeAtEndOfTable) result = 0;
  } catch (...) {
    result = nxeUnknownException;
  }
  if (!started) return result;
  if (result == 0) return rcDatabase->TransactionCommit();
  rcDatabase->TransactionRollback();
  return result;
}

}  // namespace revurov
