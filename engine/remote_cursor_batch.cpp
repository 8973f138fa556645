// TnxRemoteCursor: batch reads. The server's batch stream lands in the
// caller's TnxBatchStreamAccess, whose walk checks every entry. The cursor
// has no local record cache: no cache description is sent, and a server
// that answers "cache is valid" confirms a cache it was never told of.
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "dictionary/key_engine.h"
#include "engine/batch_stream.h"
#include "engine/remote_cursor.h"
#include "engine/remote_cursor_wire.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/endian.h"

namespace revurov {

namespace {

constexpr TnxRecordGetBatchExOptions Bit(TnxRecordGetBatchExOption aOption) noexcept {
  return TnxRecordGetBatchExOptions(1u << aOption);
}
constexpr bool Has(TnxRecordGetBatchExOptions aOptions, TnxRecordGetBatchExOption aOption) noexcept {
  return (aOptions & Bit(aOption)) != 0;
}
constexpr TnxRecordGetBatchExOptions Direction(TnxRecordGetBatchExOptions aOptions, bool aForward) noexcept {
  return aForward ? TnxRecordGetBatchExOptions(aOptions & ~Bit(gboBackwards))
                  : TnxRecordGetBatchExOptions(aOptions | Bit(gboBackwards));
}

// The fixed part of $381, of $385 and of $885.
constexpr size_t kBatchHeader = 9;
constexpr size_t kBatchLimitedHeader = 13;
constexpr size_t kBatchCachedHeader = 21;

}  // namespace

TnxRecordGetBatchExOptions TnxRemoteCursor::rcCleanBatchOptions(TnxRecordGetBatchExOptions aOptions) const noexcept {
  TnxRecordGetBatchExOptions options = aOptions & ~Bit(gboAllowClientFilter);
  if (!rcHasBlobFields()) options &= ~Bit(gboBlobs);
  if (rcServerVersion < nxBlobsOnlyMarkedMinServer) options &= ~Bit(gboBlobsOnlyMarked);
  const bool marked = MarkedBlobs() && !MarkedBlobs()->empty();
  if (Has(options, gboBlobsOnlyMarked) && !marked) options &= ~Bit(gboBlobs);
  if (!Has(options, gboBlobs)) options &= ~(Bit(gboBlobsOnlyMarked) | Bit(gboBlobNrs));
  return options;
}

uint32_t TnxRemoteCursor::rcPrepareBatchAccess(TnxBatchStreamAccess*& aAccess, TnxRecordGetBatchExOptions aOptions) {
  if (aAccess) {
    aAccess->Clear(false);
    return 0;
  }
  aAccess = CreateBatchStreamAccess(nullptr, aOptions).release();
  return 0;
}

uint32_t TnxRemoteCursor::rcReceiveBatch(TnxMsgID aMsgID, const std::vector<uint8_t>& aPayload,
                                         TnxBatchStreamAccess& aAccess, bool aCanSkip) {
  TnxMemoryStream& stream = aAccess.Stream();
  uint32_t result = rcRequest(aMsgID, aPayload.data(), static_cast<int32_t>(aPayload.size()), &stream, aCanSkip);
  rcBookmarkCacheValid = false;
  // "Cache is valid" answers a cache description this cursor never sends.
  if (result == nxBatchCacheIsValid) result = nxeMessageUnrecognized;
  // A batch has at least its inner error and count.
  if (result == 0 && aAccess.Size() < nxBatchStreamHeaderSize) result = nxeMessageUnrecognized;
  if (result == nxeMessageUnrecognized) aAccess.Clear(false);
  return result;
}

uint32_t TnxRemoteCursor::RecordGetBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                         TnxBatchStreamAccess*& aAccess, int32_t aMaxRecords, bool aForward) {
  if (rcFilterActive() && !Has(aOptions, gboAllowClientFilter)) return rcLocalFilterRefuses(u"RecordGetBatch");
  try {
    const bool clientFilter = Has(aOptions, gboAllowClientFilter);
    TnxRecordGetBatchExOptions options = rcCleanBatchOptions(Direction(aOptions, aForward));
    if (Has(options, gboSetToBeginOrEnd) &&
        (!nxClientFeatureOn(cfMessageReduction) || rcServerVersion < nxBatchPositioningMinServer)) {
      // The server cannot position inside the batch read: a request of its own.
      if (const uint32_t positioned = aForward ? SetToBegin() : SetToEnd()) return positioned;
      options &= ~Bit(gboSetToBeginOrEnd);
    }
    const bool toBeginOrEnd = Has(options, gboSetToBeginOrEnd);
    rcPrepareBatchAccess(aAccess, TnxRecordGetBatchExOptions(options | (clientFilter ? Bit(gboAllowClientFilter) : 0)));
    struct TResetOnReturn {
      TnxBatchStreamAccess* access;
      bool clientFilter;
      ~TResetOnReturn() { access->Reset(clientFilter); }
    } reset{aAccess, clientFilter};
    const TnxMarkedBlobsByBlobIdx noMarks;
    const TnxMarkedBlobsByBlobIdx& marked =
        Has(options, gboBlobsOnlyMarked) && MarkedBlobs() ? *MarkedBlobs() : noMarks;
    TnxMsgID msgID = aMaxRecords > 0 ? nxnmCursorRecordGetBatchLimited : nxnmCursorRecordGetBatch;
    if (rcServerVersion > nxDelayedBookmarkMinServer &&
        (Has(options, gboBlobsOnlyMarked) || (rcDelayedSetToBookmarkSize != 0 && !toBeginOrEnd)))
      msgID = nxnmCursorRecordGetBatchCached;
    std::vector<uint8_t> payload;
    if (msgID == nxnmCursorRecordGetBatch) {
      payload.assign(kBatchHeader, 0);
      platform::StoreU32(payload.data(), rcCursorID);
      platform::StoreU32(payload.data() + 4, static_cast<uint32_t>(aCutoffSize));
      payload[8] = options;
      return rcReceiveBatch(msgID, payload, *aAccess, false);
    }
    const bool cached = msgID == nxnmCursorRecordGetBatchCached;
    // A positioning to the begin or end makes a held-back bookmark moot.
    const uint32_t bookmarkSize = cached && !toBeginOrEnd ? rcDelayedSetToBookmarkSize : 0;
    payload.assign((cached ? kBatchCachedHeader : kBatchLimitedHeader) + bookmarkSize + 4 * marked.size(), 0);
    uint8_t* p = payload.data();
    platform::StoreU32(p, rcCursorID);
    platform::StoreU32(p + 4, static_cast<uint32_t>(aCutoffSize));
    platform::StoreU32(p + 8, static_cast<uint32_t>(std::max(aMaxRecords, 0)));
    p[12] = options;
    if (cached) {
      platform::StoreU16(p + 13, static_cast<uint16_t>(bookmarkSize));
      p[15] = static_cast<uint8_t>(marked.size());
      // Coverage 0 and no cache infos: this cursor holds no records.
      if (bookmarkSize) std::memcpy(p + kBatchCachedHeader, rcDelayedSetToBookmark.data(), bookmarkSize);
      for (size_t i = 0; i < marked.size(); ++i)
        platform::StoreU32(p + kBatchCachedHeader + bookmarkSize + 4 * i, static_cast<uint32_t>(marked[i]));
      rcDelayedSetToBookmarkSize = 0;
    }
    return rcReceiveBatch(msgID, payload, *aAccess, toBeginOrEnd);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::RecordGetForKeyBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                               TnxBatchStreamAccess*& aAccess, TnxDataSetKeyBufferArray& aKeys,
                                               bool aMatchFirst, bool aFirstCall) {
  if (rcFilterActive() && !Has(aOptions, gboAllowClientFilter)) return rcLocalFilterRefuses(u"RecordGetForKeyBatch");
  if (rcServerVersion <= nxKeyBatchMinServer)
    return EnxBaseException::nxSetMessage(nxeIncompatibleVersion, u"Server is incompatible version.");
  if (aKeys.empty()) return aMatchFirst ? nxeAtEndOfTable : nxeAtBeginningOfTable;
  try {
    const bool clientFilter = Has(aOptions, gboAllowClientFilter);
    const TnxRecordGetBatchExOptions options =
        rcCleanBatchOptions(Direction(aOptions, aMatchFirst)) & ~Bit(gboSetToBeginOrEnd);
    const uint32_t keyLength = rcKeyLength(true, aKeys.front());
    const TnxBaseKeyEngine* engine = nxClientFeatureOn(cfMessageReduction) ? rcKeyEngine() : nullptr;
    // One key buffer serves every key that is reduced from a record.
    std::optional<TnxScratchKey> built;
    if (engine) built.emplace(*engine);
    for (PnxKeyBuffer key : aKeys)
      if (!key) return nxeInvalidParameter;
    const TnxMarkedBlobsByBlobIdx noMarks;
    const TnxMarkedBlobsByBlobIdx& marked =
        Has(options, gboBlobsOnlyMarked) && MarkedBlobs() ? *MarkedBlobs() : noMarks;
    const TnxMsgID msgID =
        Has(options, gboBlobsOnlyMarked) ? nxnmCursorRecordGetForKeyBatchCached : nxnmCursorRecordGetForKeyBatch;
    const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
      w.WriteInteger(aCutoffSize);
      w.WriteInteger(int32_t(options));
      w.WriteInteger(static_cast<int32_t>(RecordLength()));
      w.WriteInteger(static_cast<int32_t>(keyLength));
      w.WriteInteger(static_cast<int32_t>(aKeys.size()));
      w.WriteListBegin();
      for (PnxKeyBuffer key : aKeys) {
        TnxDataSetKeyBuffer header;
        std::memcpy(static_cast<void*>(&header), key, nxDataSetKeyBufferHeader);
        const auto* data = reinterpret_cast<const uint8_t*>(key) + nxDataSetKeyBufferHeader;
        bool direct = header.kbDirectKey;
        if (!direct && built && engine->BuildKey(data, built->Get(), 0, true) == 0) {
          data = reinterpret_cast<const uint8_t*>(built->Get());
          direct = true;
        }
        w.WriteListBegin();
        w.WriteBoolean(direct);
        w.WriteInteger(header.kbFieldCount);
        w.WriteInteger(header.kbPartialLen);
        w.WriteBoolean(header.kbExclusive);
        w.Write(data, direct ? keyLength : RecordLength());
        w.WriteListEnd();
      }
      w.WriteListEnd();
      w.WriteBoolean(aMatchFirst);
      w.WriteBoolean(aFirstCall);
      if (msgID != nxnmCursorRecordGetForKeyBatchCached) return;
      // No cache infos and no blob lists: this cursor holds no records.
      w.WriteInteger(int32_t(0));
      w.WriteInteger(int32_t(0));
      w.WriteInteger(static_cast<int32_t>(marked.size()));
      for (int32_t blob : marked) w.WriteInteger(blob);
    });
    rcPrepareBatchAccess(aAccess, TnxRecordGetBatchExOptions(options | (clientFilter ? Bit(gboAllowClientFilter) : 0)));
    const uint32_t result = rcReceiveBatch(msgID, payload, *aAccess, true);
    if (result == 0) {
      aAccess->Reset(false);
      aAccess->FixupBlobs(aOptions);
    }
    aAccess->Reset(clientFilter);
    return result;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

}  // namespace revurov
