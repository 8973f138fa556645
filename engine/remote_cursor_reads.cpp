// TnxRemoteCursor: record reads and positioning. The cursor has no local
// record cache: the cache-aware request forms are not sent, and a queued
// "cache is valid" answer is followed by a plain read.
#include <cstring>

#include "engine/record_reply.h"
#include "engine/remote_cursor.h"
#include "engine/remote_cursor_wire.h"
#include "engine/remote_dictionary.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"

namespace revurov {

uint32_t TnxRemoteCursor::rcRequestBlock(TnxMsgID aMsgID, const void* aData, int32_t aLen,
                                         TnxRecordBufferPtr* aReply, int32_t* aReplyLen,
                                         bool aCanSkipCantSkip) noexcept {
  if (rcDelayedSetToBookmarkSize != 0) rcFlushDelayedSetToBookmark(aCanSkipCantSkip);
  void* block = nullptr;
  int32_t len = 0;
  const uint32_t result =
      rcSession.ProcessRequest(rcSource.Token(), rcRemoteThreadPriority, aMsgID, Timeout(), aData, aLen,
                               aReply ? &block : nullptr, &len, nmdByteArray, aCanSkipCantSkip, nullptr);
  if (aReply) aReply->reset(static_cast<uint8_t*>(block));
  if (aReplyLen) *aReplyLen = aReply ? len : 0;
  return result;
}

void TnxRemoteCursor::rcExpectMultiPartReply(uint8_t aKind) noexcept {
  if (aKind != emprRecordGet && HasAnyCursorOptions(nxCursorOption(acoFlipOrder)))
    aKind = aKind == emprRecordGetNext ? emprRecordGetPrior : emprRecordGetNext;
  rcExpectedMultiPartReplies |= uint8_t(1u << aKind);
}

uint32_t TnxRemoteCursor::RecordGet(TnxLockType aLockType, PnxRecordBuffer aData) {
  return rcRecordGet(emprRecordGet, aLockType, aData);
}

uint32_t TnxRemoteCursor::RecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) {
  return rcRecordGet(emprRecordGetNext, aLockType, aData);
}

uint32_t TnxRemoteCursor::RecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) {
  return rcRecordGet(emprRecordGetPrior, aLockType, aData);
}

uint32_t TnxRemoteCursor::rcRecordGet(uint8_t aKind, TnxLockType aLockType, PnxRecordBuffer aData) {
  try {
    const bool filtered = rcFilterActive();
    // The filter needs the record even when the caller does not.
    const uint32_t asked = (aData || filtered) ? RecordLength() : 0;
    uint8_t header[nxRecordGetPlainHeader] = {};
    platform::StoreU32(header, rcCursorID);
    header[4] = aLockType;
    platform::StoreU16(header + 5, static_cast<uint16_t>(asked));
    if (HasAnyCursorOptions(nxCursorOption(acoRecordGetFollowedByGetBookmark)))
      platform::StoreU16(header + 7, static_cast<uint16_t>(rcBookmarkSize));
    const TnxMsgID plainID = nxnmCursorRecordGet + aKind;
    const TnxSpecialFieldsInfo* sfi = SFI();
    const std::span<const int32_t> blobFields =
        sfi ? std::span<const int32_t>(sfi->sfiBlobFields) : std::span<const int32_t>();
    if (filtered) rcFilterTimeoutStart();
    // Ends at a match, the server's end of the table or the filter's deadline.
    for (;;) {
      TnxRecordBufferPtr reply;
      int32_t replyLen = 0;
      uint32_t code = nxeNoMessageQueued;
      const uint8_t bit = uint8_t(1u << aKind);
      if (rcExpectedMultiPartReplies & bit) {
        void* block = nullptr;
        code = rcSession.CheckQueuedReply(rcSource.Token(), plainID, &block, &replyLen, nmdByteArray, false, nullptr);
        reply.reset(static_cast<uint8_t*>(block));
        if (code == nxeNoMessageQueued)
          rcExpectedMultiPartReplies = 0;
        else
          rcExpectedMultiPartReplies &= uint8_t(~bit);
      }
      const bool queued = code != nxeNoMessageQueued;
      uint32_t recordLen = 0;
      uint32_t result;
      // Where the record is once the reply is read.
      uint8_t* record = nullptr;
      if (!queued && !filtered) {
        // Checked and copied to the caller where the reply lies: no block
        // per read, no queued message.
        auto view = [&](uint32_t aCode, std::span<const uint8_t> aReply) -> uint32_t {
          const uint32_t decoded = nxDecodeRecordReply(aCode, aReply.data(), static_cast<int32_t>(aReply.size()),
                                                       asked, RecordLength(), blobFields, recordLen);
          if (decoded == 0 && aData && recordLen == RecordLength() && recordLen != 0)
            std::memcpy(aData, aReply.data(), recordLen);
          return decoded;
        };
        result = rcRequestInPlace(plainID, header, nxRecordGetPlainHeader, view);
        record = aData;
      } else {
        if (!queued) code = rcRequestBlock(plainID, header, nxRecordGetPlainHeader, &reply, &replyLen, false);
        result = nxDecodeRecordReply(code, reply.get(), replyLen, asked, RecordLength(), blobFields, recordLen);
        record = reply.get();
      }
      if (result == nxRecordReplyCacheValid) {
        // Only a request that named a cached record may hear "cache is
        // valid"; a reply sent ahead names one we do not hold.
        if (!queued) {
          result = nxeMessageUnrecognized;
        } else if (asked == 0) {
          result = 0;
        } else {
          reply.reset();
          code = rcRequestBlock(nxnmCursorRecordGet, header, nxRecordGetPlainHeader, &reply, &replyLen, false);
          result = nxDecodeRecordReply(code, reply.get(), replyLen, asked, RecordLength(), blobFields, recordLen);
          record = reply.get();
          if (result == nxRecordReplyCacheValid) result = nxeMessageUnrecognized;
        }
      }
      if (result != 0) return result;
      if (filtered && recordLen == RecordLength() && !FilterMatchesBuffer(record)) {
        result = nxeNoCurrentRecord;
        if (aLockType != nxltNoLock) RecordLockRelease(false, false);
        if (aKind == emprRecordGet || rcFilterTimedOut(result)) return result;
        continue;
      }
      if (aData && record != aData && recordLen == RecordLength() && recordLen != 0)
        std::memcpy(aData, record, recordLen);
      const TnxEngineArg args[] = {int32_t(aLockType), int64_t(reinterpret_cast<intptr_t>(aData)), int64_t(0)};
      NotifyExtenders(eaRecordGet, false, args);
      return 0;
    }
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::SetToBegin() { return rcSetToBeginOrEnd(false); }

uint32_t TnxRemoteCursor::SetToEnd() { return rcSetToBeginOrEnd(true); }

uint32_t TnxRemoteCursor::rcSetToBeginOrEnd(bool aEnd) {
  const TnxAbstractCursorOption chained = aEnd ? acoSetToEndFollowedByRecordGetPrior : acoSetToBeginFollowedByRecordGetNext;
  uint8_t payload[8] = {};
  platform::StoreU32(payload, rcCursorID);
  TnxMsgID msgID = aEnd ? nxnmCursorSetToEnd : nxnmCursorSetToBegin;
  int32_t len = 4;
  if (nxClientFeatureOn(cfMessageReduction) && rcServerVersion > nxChainedReadsMinServer &&
      HasAnyCursorOptions(nxCursorOption(chained))) {
    msgID = aEnd ? nxnmCursorSetToEndGetPrior : nxnmCursorSetToBeginGetNext;
    len = 8;
    platform::StoreU16(payload + 4, static_cast<uint16_t>(RecordLength()));
    // Not swapped by acoFlipOrder: the server reads in the table's order.
    rcExpectedMultiPartReplies = uint8_t(1u << (aEnd ? emprRecordGetPrior : emprRecordGetNext));
    if (HasAnyCursorOptions(nxCursorOption(acoRecordGetFollowedByGetBookmark)))
      platform::StoreU16(payload + 6, static_cast<uint16_t>(rcBookmarkSize));
  }
  RemoveCursorOption(chained);
  const uint32_t result = rcRequestBlock(msgID, payload, len, nullptr, nullptr, true);
  rcBookmarkCacheValid = false;
  return result;
}

uint32_t TnxRemoteCursor::SetToCursor(TnxAbstractCursor* aCursor) {
  if (aCursor == this) return 0;
  auto* other = dynamic_cast<TnxRemoteCursor*>(aCursor);
  if (!other || &other->rcSession != &rcSession || !other->rc_Dictionary || !rc_Dictionary ||
      !(other->rc_Dictionary->Guid() == rc_Dictionary->Guid()) ||
      other->rc_Dictionary->CurrentID() != rc_Dictionary->CurrentID())
    return EnxBaseException::nxSetMessage(nxeDifferentTable, u"Cannot set cursor of one table to another.");
  try {
    const bool syncExact = HasAnyCursorOptions(nxCursorOption(acoSetToCursorFollowedBySyncExact));
    TnxMsgID msgID = nxnmCursorSetToCursor;
    if (nxClientFeatureOn(cfMessageReduction) && syncExact && rcServerVersion > nxChainedReadsMinServer)
      msgID = nxnmCursorSetToCursorSync;
    if (other->rcDelayedSetToBookmarkSize != 0 && rcServerVersion > nxDelayedBookmarkMinServer)
      msgID = nxnmCursorSetToCursorCached;
    uint32_t result = 0;
    if (msgID == nxnmCursorSetToCursor) {
      other->rcFlushDelayedSetToBookmark(false);
      uint8_t payload[8];
      platform::StoreU32(payload, rcCursorID);
      platform::StoreU32(payload + 4, other->rcCursorID);
      result = rcRequestBlock(msgID, payload, 8, nullptr, nullptr, true);
    } else {
      const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
        w.WriteInteger(static_cast<int32_t>(other->rcCursorID));
        w.WriteBoolean(HasAnyCursorOptions(nxCursorOption(acoFlipOrder)));
        if (syncExact) {
          rcExpectedMultiPartReplies = uint8_t(1u << emprRecordGet);
          w.WriteInteger(static_cast<int32_t>(RecordLength()));
          w.WriteInteger(static_cast<int32_t>(
              HasAnyCursorOptions(nxCursorOption(acoRecordGetFollowedByGetBookmark)) ? rcBookmarkSize : 0));
        } else {
          w.WriteInteger(int32_t(0));
          w.WriteInteger(int32_t(0));
        }
        if (msgID == nxnmCursorSetToCursorCached) {
          nxWriteRecordCacheInfo(nxNullRecordCacheInfo, w);
          other->rcWriteDelayedBookmark(w);
          nxWriteMarkedBlobs(TnxMarkedBlobsByBlobIdx(), w);
          nxWriteBlobNrs(TnxBlobNrs(), w);
        }
      });
      other->rcFlushDelayedSetToBookmark(false);
      result = rcRequestBlock(msgID, payload.data(), static_cast<int32_t>(payload.size()), nullptr, nullptr, true);
    }
    rcBookmarkCacheValid = false;
    return result;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

void TnxRemoteCursor::rcWriteDelayedBookmark(TnxWriter& aWriter) {
  const uint32_t size = std::exchange(rcDelayedSetToBookmarkSize, 0);
  aWriter.WriteInteger(static_cast<int32_t>(size));
  if (size != 0) aWriter.WriteBinary(rcDelayedSetToBookmark.data(), static_cast<int32_t>(size));
}

}  // namespace revurov
