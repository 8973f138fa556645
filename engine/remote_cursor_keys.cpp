// TnxRemoteCursor: keys, ranges, index switches, bookmarks and record
// numbers. Keys are built and compared locally where the index's key
// engine allows it; bookmarks are checked and compared by the index's
// bookmark handler.
#include <cstring>
#include <optional>

#include "dictionary/indices_descriptors.h"
#include "dictionary/key_engine.h"
#include "dictionary/table_descriptors.h"
#include "engine/record_reply.h"
#include "engine/remote_cursor.h"
#include "engine/remote_cursor_wire.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/endian.h"
#include "platform/text.h"

namespace revurov {

namespace {

constexpr uint8_t kTrue = 0xFF;

uint8_t WireBool(bool aValue) noexcept { return aValue ? kTrue : 0; }

// Under message reduction a record-form key travels as the key built from
// it; the built key is given back when the operation ends.
void ReduceKey(const TnxBaseKeyEngine* aEngine, bool& aDirect, PnxKeyOrRecordBuffer& aData,
               std::optional<TnxScratchKey>& aBuilt) {
  if (aDirect || !aData || !aEngine || !nxClientFeatureOn(cfMessageReduction)) return;
  aBuilt.emplace(*aEngine);
  if (aEngine->BuildKey(static_cast<const uint8_t*>(aData), aBuilt->Get(), 0, true) != 0) {
    aBuilt.reset();
    return;
  }
  aData = aBuilt->Get();
  aDirect = true;
}

bool IsPositionLost(uint32_t aResult) noexcept {
  return aResult == nxeAtBeginningOfTable || aResult == nxeAtEndOfTable || aResult == nxeRecordDeleted ||
         aResult == nxeNoCurrentRecord;
}

}  // namespace

// ---- local key work ----

const TnxBaseKeyEngine* TnxRemoteCursor::rcKeyEngine() const noexcept {
  if (rcIndexID < 0 || static_cast<size_t>(rcIndexID) >= rcKeyEngines.size()) return nullptr;
  return rcKeyEngines[static_cast<size_t>(rcIndexID)].get();
}

uint32_t TnxRemoteCursor::rcKeyLength(bool aDirect, const void* aKeyData) const {
  if (!aKeyData) return 0;
  if (!aDirect) return RecordLength();
  return rcIndexID < 0 ? 0 : rcTableDescriptor->tdGetKeyLen(rcIndexID);
}

void TnxRemoteCursor::rcUpdateBookmarkHandler() {
  rcBookmarkSize = rcIndexID < 0 ? nxBookmarkOverhead : rcTableDescriptor->tdGetBookmarkSize(rcIndexID);
  const size_t slot = static_cast<size_t>(rcIndexID + 1);
  rcBookmarkHandler = slot < rcBookmarkHandlers.size() ? rcBookmarkHandlers[slot].get() : nullptr;
}

uint32_t TnxRemoteCursor::BuildKey(PnxRecordBuffer aData, PnxKeyBuffer aKey, bool aIgnoreFilter) {
  if (rcIndexID < 0) return nxeNoAssociatedIndex;
  const TnxBaseKeyEngine* engine = rcKeyEngine();
  if (!engine) return NotSupported(u"BuildKey");
  try {
    return engine->BuildKey(aData, reinterpret_cast<uint8_t*>(aKey), 0, aIgnoreFilter);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::KeyToRecord(PnxKeyBuffer aKey, PnxRecordBuffer aData) {
  if (rcIndexID < 0) return nxeNoAssociatedIndex;
  const TnxBaseKeyEngine* engine = rcKeyEngine();
  if (!engine) return NotSupported(u"KeyToRecord");
  try {
    return engine->KeyToRecord(reinterpret_cast<const uint8_t*>(aKey), aData);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::CompareKeys(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey1,
                                      PnxKeyOrRecordBuffer aKey1, bool aDirectKey2, PnxKeyOrRecordBuffer aKey2,
                                      TValueRelationship& aResult) {
  aResult = 0;
  try {
    const TnxBaseKeyEngine* engine = rcKeyEngine();
    std::optional<TnxScratchKey> built1;
    std::optional<TnxScratchKey> built2;
    ReduceKey(engine, aDirectKey1, aKey1, built1);
    ReduceKey(engine, aDirectKey2, aKey2, built2);
    if (!aKey1) aDirectKey1 = true;
    if (!aKey2) aDirectKey2 = true;
    // Local only where the collation is the index's own; a missing key is
    // the server's to judge.
    if (aDirectKey1 && aDirectKey2 && aKey1 && aKey2 && engine && !engine->NLSVersionChanged()) {
      try {
        aResult = engine->CompareKey(static_cast<const uint8_t*>(aKey1), static_cast<const uint8_t*>(aKey2),
                                     aFieldCount, aPartialLen);
        return 0;
      } catch (...) {
        // The server decides.
      }
    }
    const uint32_t len1 = rcKeyLength(aDirectKey1, aKey1);
    const uint32_t len2 = rcKeyLength(aDirectKey2, aKey2);
    std::vector<uint8_t> payload(22 + size_t{len1} + len2);
    platform::StoreU32(payload.data(), rcCursorID);
    platform::StoreU32(payload.data() + 4, static_cast<uint32_t>(aFieldCount));
    platform::StoreU32(payload.data() + 8, static_cast<uint32_t>(aPartialLen));
    platform::StoreU32(payload.data() + 12, len1);
    payload[16] = WireBool(aDirectKey1);
    platform::StoreU32(payload.data() + 17, len2);
    payload[21] = WireBool(aDirectKey2);
    if (len1) std::memcpy(payload.data() + 22, aKey1, len1);
    if (len2) std::memcpy(payload.data() + 22 + len1, aKey2, len2);
    TnxRecordBufferPtr reply;
    int32_t replyLen = 0;
    const uint32_t result = rcRequestBlock(nxnmCursorCompareKeys, payload.data(), static_cast<int32_t>(payload.size()),
                                           &reply, &replyLen, false);
    if (result != 0) return result;
    if (replyLen != 1) return nxeMessageUnrecognized;
    aResult = static_cast<int8_t>(reply.get()[0]);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

// ---- key searches and ranges ----

uint32_t TnxRemoteCursor::SetToKey(TnxSearchKeyAction aAction, int32_t aFieldCount, int32_t aPartialLen,
                                   bool aDirectKey, PnxKeyOrRecordBuffer aData) {
  try {
    std::optional<TnxScratchKey> built;
    ReduceKey(rcKeyEngine(), aDirectKey, aData, built);
    const uint32_t keyLen = rcKeyLength(aDirectKey, aData);
    const bool sync = nxClientFeatureOn(cfMessageReduction) &&
                      HasAnyCursorOptions(nxCursorOption(acoSetToKeyFollowedBySync)) &&
                      rcServerVersion > nxChainedReadsMinServer;
    const size_t fixed = sync ? 19 : 14;
    std::vector<uint8_t> payload(fixed + keyLen);
    platform::StoreU32(payload.data(), rcCursorID);
    platform::StoreU32(payload.data() + 4, static_cast<uint32_t>(aFieldCount));
    platform::StoreU32(payload.data() + 8, static_cast<uint32_t>(aPartialLen));
    payload[12] = aAction;
    payload[13] = WireBool(aDirectKey);
    if (sync) {
      platform::StoreU16(payload.data() + 14, static_cast<uint16_t>(RecordLength()));
      if (HasAnyCursorOptions(nxCursorOption(acoRecordGetFollowedByGetBookmark)))
        platform::StoreU16(payload.data() + 16, static_cast<uint16_t>(rcBookmarkSize));
      payload[18] = WireBool(HasAnyCursorOptions(nxCursorOption(acoFlipOrder)));
      rcExpectedMultiPartReplies = 0x7;
    }
    if (keyLen) std::memcpy(payload.data() + fixed, aData, keyLen);
    return rcRequestBlock(sync ? nxnmCursorSetToKeySync : nxnmCursorSetToKey, payload.data(),
                          static_cast<int32_t>(payload.size()), nullptr, nullptr, true);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey,
                                          PnxKeyOrRecordBuffer aKeyData, PnxRecordBuffer aData, bool aMatchFirst,
                                          bool aFirstCall) {
  try {
    std::optional<TnxScratchKey> built;
    ReduceKey(rcKeyEngine(), aDirectKey, aKeyData, built);
    const bool chained = nxClientFeatureOn(cfMessageReduction) &&
                         HasAnyCursorOptions(nxCursorOption(acoRecordGetForKeyFollowedByRecordGet));
    const bool filtered = rcFilterActive();
    const uint32_t keyLen = rcKeyLength(aDirectKey, aKeyData);
    const uint32_t asked = (aData || filtered || chained) ? RecordLength() : 0;
    std::vector<uint8_t> payload(19 + size_t{keyLen});
    platform::StoreU32(payload.data(), rcCursorID);
    platform::StoreU32(payload.data() + 4, static_cast<uint32_t>(aFieldCount));
    platform::StoreU32(payload.data() + 8, static_cast<uint32_t>(aPartialLen));
    payload[12] = aMatchFirst ? 1 : 0;
    payload[13] = aFirstCall ? 1 : 0;
    if (asked != 0) {
      platform::StoreU16(payload.data() + 14, static_cast<uint16_t>(asked));
      if (HasAnyCursorOptions(nxCursorOption(acoRecordGetFollowedByGetBookmark)))
        platform::StoreU16(payload.data() + 16, static_cast<uint16_t>(rcBookmarkSize));
    }
    payload[18] = WireBool(aDirectKey);
    if (keyLen) std::memcpy(payload.data() + 19, aKeyData, keyLen);
    const TnxSpecialFieldsInfo* sfi = SFI();
    const std::span<const int32_t> blobFields =
        sfi ? std::span<const int32_t>(sfi->sfiBlobFields) : std::span<const int32_t>();
    if (filtered) rcFilterTimeoutStart();
    // Ends at a match, a refusal of the server or the filter's deadline.
    for (;;) {
      TnxRecordBufferPtr reply;
      int32_t replyLen = 0;
      const uint32_t code = rcRequestBlock(nxnmCursorRecordGetForKey, payload.data(),
                                           static_cast<int32_t>(payload.size()), &reply, &replyLen, true);
      rcBookmarkCacheValid = false;
      uint32_t recordLen = 0;
      uint32_t result = nxDecodeRecordReply(code, reply.get(), replyLen, asked, RecordLength(), blobFields, recordLen);
      // Nothing was named from a cache, so "cache is valid" names nothing.
      if (result == nxRecordReplyCacheValid) result = nxeMessageUnrecognized;
      if (result == nxeFilterTimeout && rcFilterTimeoutLock > 0 && !rcFilterTimedOut(result)) {
        payload[13] = 0;
        continue;
      }
      if (result != 0) return result;
      const TnxEngineArg args[] = {int32_t(nxltNoLock), int64_t(reinterpret_cast<intptr_t>(reply.get())), int64_t(0)};
      NotifyExtenders(eaRecordGet, false, args);
      if (recordLen == 0) return 0;
      if (filtered && recordLen == RecordLength() && !FilterMatchesBuffer(reply.get())) {
        if (rcFilterTimedOut(result)) return result;
        payload[13] = 0;
        continue;
      }
      if (aData && recordLen == RecordLength()) std::memcpy(aData, reply.get(), recordLen);
      if (chained && recordLen == RecordLength()) {
        // The next RecordGet takes it from the queue.
        void* block = reply.release();
        rcSession.rsQueueMessageTakeOwnership(rcSource.Token(), nxnmCursorRecordGet, 0, block,
                                              static_cast<int32_t>(recordLen), true);
        rcExpectedMultiPartReplies |= uint8_t(1u << emprRecordGet);
      }
      return 0;
    }
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1,
                                   PnxKeyOrRecordBuffer aKeyData1, bool aKeyIncl1, int32_t aFieldCount2,
                                   int32_t aPartialLen2, bool aDirectKey2, PnxKeyOrRecordBuffer aKeyData2,
                                   bool aKeyIncl2) {
  try {
    const TnxBaseKeyEngine* engine = rcKeyEngine();
    std::optional<TnxScratchKey> built1;
    std::optional<TnxScratchKey> built2;
    ReduceKey(engine, aDirectKey1, aKeyData1, built1);
    ReduceKey(engine, aDirectKey2, aKeyData2, built2);
    const uint32_t len1 = rcKeyLength(aDirectKey1, aKeyData1);
    const uint32_t len2 = rcKeyLength(aDirectKey2, aKeyData2);
    const bool flip = HasAnyCursorOptions(nxCursorOption(acoFlipOrder));
    const bool toBegin = HasAnyCursorOptions(nxCursorOption(acoRangeSetFollowedBySetToBegin));
    const bool getNext = HasAnyCursorOptions(nxCursorOption(acoRangeSetFollowedByRecordGetNext));
    const bool chained = nxClientFeatureOn(cfMessageReduction) && rcServerVersion > nxChainedReadsMinServer &&
                         !(!flip && toBegin && !getNext);
    const size_t fixed = chained ? 42 : 32;
    std::vector<uint8_t> payload(fixed + len1 + len2);
    uint8_t* p = payload.data();
    platform::StoreU32(p, rcCursorID);
    platform::StoreU32(p + 4, static_cast<uint32_t>(aFieldCount1));
    platform::StoreU32(p + 8, static_cast<uint32_t>(aPartialLen1));
    platform::StoreU32(p + 12, len1);
    p[16] = aKeyIncl1 ? 1 : 0;
    p[17] = WireBool(aDirectKey1);
    platform::StoreU32(p + 18, static_cast<uint32_t>(aFieldCount2));
    platform::StoreU32(p + 22, static_cast<uint32_t>(aPartialLen2));
    platform::StoreU32(p + 26, len2);
    p[30] = aKeyIncl2 ? 1 : 0;
    p[31] = WireBool(aDirectKey2);
    if (chained) {
      p[32] = flip ? 1 : 0;
      p[33] = toBegin ? 1 : 0;
      if (getNext) {
        rcExpectMultiPartReply(emprRecordGetNext);
        platform::StoreU32(p + 34, RecordLength());
        if (HasAnyCursorOptions(nxCursorOption(acoRecordGetFollowedByGetBookmark)))
          platform::StoreU32(p + 38, rcBookmarkSize);
      }
    }
    if (len1) std::memcpy(p + fixed, aKeyData1, len1);
    if (len2) std::memcpy(p + fixed + len1, aKeyData2, len2);
    const bool canSkip = !chained || toBegin;
    const uint32_t result = rcRequestBlock(chained ? nxnmCursorRangeSetChained : nxnmCursorRangeSet, p,
                                           static_cast<int32_t>(payload.size()), nullptr, nullptr, canSkip);
    rcBookmarkCacheValid = false;
    return result;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::RangeReset() {
  if (rcCursorID == 0)
    return EnxBaseException::nxSetMessage(nxeInvalidHandle, u"Invalid handle to the function.");
  try {
    if (nxClientFeatureOn(cfMessageReduction) && HasAnyCursorOptions(nxCursorOption(acoRangeResetFollowedBySync)) &&
        rcServerVersion > nxChainedReadsMinServer) {
      const bool withBookmark = rcDelayedSetToBookmarkSize != 0 && rcServerVersion > nxDelayedBookmarkMinServer;
      rcExpectedMultiPartReplies = 0x7;
      const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
        w.WriteBoolean(HasAnyCursorOptions(nxCursorOption(acoFlipOrder)));
        w.WriteInteger(static_cast<int32_t>(RecordLength()));
        w.WriteInteger(static_cast<int32_t>(
            HasAnyCursorOptions(nxCursorOption(acoRecordGetFollowedByGetBookmark)) ? rcBookmarkSize : 0));
        if (withBookmark) {
          rcWriteDelayedBookmark(w);
          nxWriteRecordCacheInfo(nxNullRecordCacheInfo, w);
          nxWriteMarkedBlobs(TnxMarkedBlobsByBlobIdx(), w);
          nxWriteBlobNrs(TnxBlobNrs(), w);
        }
      });
      const uint32_t result = rcRequestBlock(withBookmark ? nxnmCursorRangeResetCached : nxnmCursorRangeResetSync,
                                             payload.data(), static_cast<int32_t>(payload.size()), nullptr, nullptr,
                                             false);
      rcBookmarkCacheValid = false;
      return result;
    }
    uint8_t payload[4];
    platform::StoreU32(payload, rcCursorID);
    return rcRequestBlock(nxnmCursorRangeReset, payload, 4, nullptr, nullptr, false);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

// ---- indexes ----

uint32_t TnxRemoteCursor::SwitchToIndex(std::u16string_view aIndexName, int32_t aIndexID, TnxPosnOnRec aPosnOnRec) {
  if (const uint32_t check = nxCheckIdentifier(aIndexName, nxeInvalidIndexName, true, true)) return check;
  try {
    TnxMsgID msgID = nxnmCursorSwitchToIndex;
    if (aPosnOnRec == porTry) {
      if (!nxClientFeatureOn(cfMessageReduction) || rcServerVersion <= nxChainedReadsMinServer) {
        // An old server knows no "try": keep the record where it can be kept.
        uint32_t result = SwitchToIndex(aIndexName, -1, porTrue);
        if (IsPositionLost(result)) result = SwitchToIndex(aIndexName, -1, porFalse);
        return result;
      }
      msgID = nxnmCursorSwitchToIndexEx;
      const int32_t wanted = aIndexName.empty() ? aIndexID : rcTableDescriptor->GetIndexFromName(aIndexName);
      if (wanted == rcIndexID) return 0;
    }
    const bool withBookmark = rcDelayedSetToBookmarkSize != 0 && rcServerVersion > nxDelayedBookmarkMinServer &&
                              aPosnOnRec != porFalse;
    if (withBookmark) msgID = nxnmCursorSwitchToIndexDelayed;
    const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
      w.WriteString(aIndexName);
      w.WriteInteger(aIndexID);
      if (msgID == nxnmCursorSwitchToIndex)
        w.WriteBoolean(aPosnOnRec == porTrue);
      else
        w.WriteInteger(static_cast<int32_t>(aPosnOnRec));
      if (withBookmark) rcWriteDelayedBookmark(w);
    });
    TnxRecordBufferPtr reply;
    int32_t replyLen = 0;
    const uint32_t result = rcRequestBlock(msgID, payload.data(), static_cast<int32_t>(payload.size()), &reply,
                                           &replyLen, aPosnOnRec == porFalse);
    if (result != 0) return result;
    int32_t newIndex = 0;
    try {
      TnxStaticMemoryStream in(reply.get(), replyLen);
      TnxReader reader(in);
      newIndex = reader.ReadInteger();
    } catch (...) {
      return nxeMessageUnrecognized;
    }
    // The server's word picks the key engine and the bookmark layout.
    const TnxMainIndicesDescriptor* indices = rcTableDescriptor->IndicesDescriptor();
    if (newIndex < -1 || newIndex >= (indices ? indices->IndexCount() : 0)) return nxeMessageUnrecognized;
    rcBookmarkCacheValid = false;
    rcIndexID = newIndex;
    rcUpdateBookmarkHandler();
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

// ---- bookmarks ----

uint32_t TnxRemoteCursor::BookmarkCheckLocal(PnxBookmarkBuffer aBookmark, uint32_t aSize) {
  if (!rcBookmarkHandler) return TnxAbstractRemoteCursor::BookmarkCheckLocal(aBookmark, aSize);
  return rcBookmarkHandler->CheckBookmark(static_cast<const uint8_t*>(aBookmark), aSize);
}

uint32_t TnxRemoteCursor::BookmarkAsVariant(PnxBookmarkBuffer aBookmark, uint32_t aSize,
                                            platform::TnxVariant& aVariant) {
  aVariant = platform::TnxVariant();
  if (!rcBookmarkHandler)
    return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"BookmarkAsVariant requires a BookmarkHandler");
  return rcBookmarkHandler->BookmarkAsVariant(static_cast<const uint8_t*>(aBookmark), aSize, aVariant);
}

uint32_t TnxRemoteCursor::CompareBookmarks(PnxBookmarkBuffer aBookmark1, PnxBookmarkBuffer aBookmark2,
                                           uint32_t aSize, TValueRelationship& aCompResult) {
  aCompResult = 0;
  if (rcBookmarkHandler) {
    int relation = 0;
    const uint32_t result = rcBookmarkHandler->CompareBookmarks(static_cast<const uint8_t*>(aBookmark1),
                                                                static_cast<const uint8_t*>(aBookmark2), aSize,
                                                                relation);
    if (result != nxeCapabilityNotSupported) {
      aCompResult = relation;
      return result;
    }
  }
  if ((!aBookmark1 || !aBookmark2) && aSize != 0) return nxeInvalidParameter;
  try {
    const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
      w.WriteInteger(static_cast<int32_t>(aSize));
      for (const void* bookmark : {aBookmark1, aBookmark2}) {
        w.WriteListBegin();
        w.Write(bookmark, aSize);
        w.WriteListEnd();
      }
    });
    TnxRecordBufferPtr reply;
    int32_t replyLen = 0;
    const uint32_t result = rcRequestBlock(nxnmCursorCompareBookmarks, payload.data(),
                                           static_cast<int32_t>(payload.size()), &reply, &replyLen, false);
    if (result != 0) return result;
    if (replyLen != 1) return nxeMessageUnrecognized;
    aCompResult = static_cast<int8_t>(reply.get()[0]);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::GetBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize) {
  return rcGetBookmark(aBookmark, aSize, false);
}

uint32_t TnxRemoteCursor::rcGetBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize, bool aQueued) {
  if (!aBookmark)
    aSize = rcBookmarkSize;
  else if (aSize != rcBookmarkSize)
    return nxeInvalidParameter;
  TnxRecordBufferPtr reply;
  int32_t replyLen = 0;
  uint32_t result = nxeNoMessageQueued;
  if (aQueued) {
    void* block = nullptr;
    result = rcSession.CheckQueuedReply(rcSource.Token(), nxnmCursorGetBookmark, &block, &replyLen, nmdByteArray,
                                        false, nullptr);
    reply.reset(static_cast<uint8_t*>(block));
  }
  if (result == nxeNoMessageQueued) {
    uint8_t payload[8];
    platform::StoreU32(payload, rcCursorID);
    platform::StoreU32(payload + 4, aSize);
    result = rcRequestBlock(nxnmCursorGetBookmark, payload, 8, &reply, &replyLen, false);
  }
  if (result != 0) return result;
  if (replyLen < 0 || static_cast<uint32_t>(replyLen) != aSize || aSize > rcBookmarkCache.size())
    return nxeInvalidParameter;
  if (aSize != 0) {
    if (aBookmark) std::memcpy(aBookmark, reply.get(), aSize);
    std::memcpy(rcBookmarkCache.data(), reply.get(), aSize);
  }
  rcBookmarkCacheValid = true;
  return 0;
}

// ---- record numbers ----

uint32_t TnxRemoteCursor::rcLocalFilterRefuses(std::u16string_view aOperation) {
  return EnxBaseException::nxSetMessage(
      nxeCapabilityNotSupported,
      platform::Format(u"%s is not supported by %s when a local filter is active", {aOperation, ClassName()}));
}

uint32_t TnxRemoteCursor::RecNoSupported() { return rcFilterActive() ? rcLocalFilterRefuses(u"RecNo") : 0; }

uint32_t TnxRemoteCursor::RecNoGet(uint32_t& aRecNo, bool aFlipOrder) {
  if (rcFilterActive()) return rcLocalFilterRefuses(u"RecNoGet");
  try {
    std::vector<uint8_t> payload(5);
    platform::StoreU32(payload.data(), rcCursorID);
    payload[4] = WireBool(aFlipOrder);
    TnxMsgID msgID = nxnmCursorRecNoGet;
    if (rcDelayedSetToBookmarkSize != 0 && rcServerVersion > nxDelayedBookmarkMinServer) {
      // The held-back bookmark travels inside.
      msgID = nxnmCursorRecNoGetDelayed;
      const uint32_t size = std::exchange(rcDelayedSetToBookmarkSize, 0);
      payload.resize(7 + size_t{size});
      platform::StoreU16(payload.data() + 5, static_cast<uint16_t>(size));
      std::memcpy(payload.data() + 7, rcDelayedSetToBookmark.data(), size);
    }
    TnxRecordBufferPtr reply;
    int32_t replyLen = 0;
    const uint32_t result =
        rcRequestBlock(msgID, payload.data(), static_cast<int32_t>(payload.size()), &reply, &replyLen, false);
    if (result != 0) return result;
    if (replyLen != 4) return nxeMessageUnrecognized;
    aRecNo = platform::LoadU32(reply.get());
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::RecNoSet(uint32_t aRecNo, bool aFlipOrder) {
  if (rcFilterActive()) return rcLocalFilterRefuses(u"RecNoSet");
  try {
    uint32_t result = 0;
    if (nxClientFeatureOn(cfMessageReduction) && HasAnyCursorOptions(nxCursorOption(acoRecNoSetFollowedBySync)) &&
        rcServerVersion > nxChainedReadsMinServer) {
      rcExpectedMultiPartReplies = 0x7;
      const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
        w.WriteInteger(static_cast<int32_t>(aRecNo));
        w.WriteBoolean(aFlipOrder);
        w.WriteInteger(static_cast<int32_t>(RecordLength()));
        w.WriteInteger(static_cast<int32_t>(
            HasAnyCursorOptions(nxCursorOption(acoRecordGetFollowedByGetBookmark)) ? rcBookmarkSize : 0));
      });
      result = rcRequestBlock(nxnmCursorRecNoSetSync, payload.data(), static_cast<int32_t>(payload.size()), nullptr,
                              nullptr, true);
    } else {
      uint8_t payload[9];
      platform::StoreU32(payload, rcCursorID);
      platform::StoreU32(payload + 4, aRecNo);
      payload[8] = WireBool(aFlipOrder);
      result = rcRequestBlock(nxnmCursorRecNoSet, payload, 9, nullptr, nullptr, true);
    }
    rcBookmarkCacheValid = false;
    return result;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

}  // namespace revurov
