#include "engine/remote_cursor.h"

#include <algorithm>
#include <cstring>

#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_engine.h"
#include "engine/engine_clock.h"
#include "engine/remote_cursor_wire.h"
#include "engine/remote_database.h"
#include "engine/remote_dictionary.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"

namespace revurov {

namespace {

int32_t IndexCountOf(const TnxBaseTableDescriptor* aTable) noexcept {
  const TnxMainIndicesDescriptor* indices = aTable ? aTable->IndicesDescriptor() : nullptr;
  return indices ? indices->IndexCount() : 0;
}

}  // namespace

TnxRemoteCursor::TnxRemoteCursor(TnxRemoteDatabase* aDatabase, uint32_t aTimeout, TnxCursorID aCursorID,
                                 int32_t aIndexID, TnxRemoteDataDictionary* aShared,
                                 std::unique_ptr<TnxDataDictionary> aOwned, std::u16string_view aTableName,
                                 int64_t aAutoInc)
    : TnxAbstractRemoteCursor(aDatabase, aTimeout),
      rcDatabase(aDatabase),
      rcSession(aDatabase->Session()),
      rcSource(aDatabase->Session()),
      rcRemoteThreadPriority(aDatabase->RemoteThreadPriority()),
      rcServerVersion(aDatabase->ServerVersion()),
      rcCursorID(aCursorID),
      rcIndexID(aIndexID),
      rcOwned(std::move(aOwned)),
      rcTableName(aTableName) {
  rcCachedAutoInc = nxClientFeatureOn(cfAutoIncCache) ? aAutoInc : -1;
  rc_Dictionary = aShared ? aShared : rcOwned.get();
  if (!rc_Dictionary) throw EnxBaseException(nxeInvalidParameter);
  // "alias:table" names a nested table; none is the root.
  const size_t colon = rcTableName.find(u':');
  if (colon == std::u16string::npos || colon + 1 == rcTableName.size()) {
    rcTableDescriptor = rc_Dictionary;
  } else {
    const std::u16string_view nested = std::u16string_view(rcTableName).substr(colon + 1);
    const TnxTablesDescriptor& tables = rc_Dictionary->TablesDescriptor();
    for (int32_t i = 0; i < tables.TableCount() && !rcTableDescriptor; ++i)
      if (tables.TableDescriptor(i)->Name() == nested) rcTableDescriptor = tables.TableDescriptor(i);
    if (!rcTableDescriptor) throw EnxBaseException(nxeMessageUnrecognized);
  }
  // The server's word picks the bookmark layout: checked, not trusted.
  if (rcIndexID < -1 || rcIndexID >= IndexCountOf(rcTableDescriptor)) throw EnxBaseException(nxeMessageUnrecognized);
  // Keys and bookmarks are built and checked here where an engine exists;
  // without one the server does that work.
  const int32_t indexCount = IndexCountOf(rcTableDescriptor);
  rcKeyEngines.resize(static_cast<size_t>(indexCount));
  rcBookmarkHandlers.resize(static_cast<size_t>(indexCount) + 1);
  // Sequential access: bookmarks by reference number alone.
  rcBookmarkHandlers[0] = std::make_unique<TnxBookmarkHandler>(-1, nullptr);
  for (int32_t i = 0; i < indexCount; ++i) {
    TnxBaseKeyDescriptor* key = rcTableDescriptor->IndicesDescriptor()->IndexDescriptor(i)->KeyDescriptor();
    if (!key || TnxBaseKeyEngine::TryCreateFor(*key, rcKeyEngines[static_cast<size_t>(i)]) != 0) continue;
    rcBookmarkHandlers[static_cast<size_t>(i) + 1] =
        std::make_unique<TnxBookmarkHandler>(i, rcKeyEngines[static_cast<size_t>(i)].get());
  }
  rcUpdateBookmarkHandler();
  rcMaxBookmarkSize = std::max(rcTableDescriptor->GetMaxBookmarkSize(), rcBookmarkSize);
  rcBookmarkCache.assign(rcMaxBookmarkSize, 0);
  rcDelayedSetToBookmark.assign(rcMaxBookmarkSize, 0);
  if (aShared) {
    aShared->_AddRef();
    rcShared = aShared;
  } else {
    rcOwned->MakeReadOnly();
  }
}

void TnxRemoteCursor::AfterConstruction() {
  TnxAbstractRemoteCursor::AfterConstruction();
  InitRecordLayout();
  // Servers from 47005 drop a record's blob changes on request.
  const TnxSpecialFieldsInfo* sfi = SFI();
  if (rcServerVersion >= nxBlobSnapshotReadMinServer && sfi && !sfi->sfiBlobFields.empty())
    SetCapabilities(Capabilities() | TnxAbstractCursorCapabilities(1u << accCancelBlobs));
}

TnxRemoteCursor::~TnxRemoteCursor() {
  // Closing the cursor drops its server filters: no removes one by one.
  for (std::unique_ptr<TnxBaseFilterEngine>* filter : {&rcFilter, &rcKeyFilter}) {
    if (!*filter) continue;
    (*filter)->Disconnect();
    filter->reset();
  }
  uint8_t payload[4];
  platform::StoreU32(payload, rcCursorID);
  rcRequest(nxnmCursorClose, payload, 4, nullptr, true);
  rcCursorID = 0;
  rcReleaseDictionary();
}

void TnxRemoteCursor::rcReleaseDictionary() noexcept {
  rc_Dictionary = nullptr;
  if (TnxRemoteDataDictionary* shared = std::exchange(rcShared, nullptr)) shared->_Release();
  rcOwned.reset();
}

uint32_t TnxRemoteCursor::rcSend(TnxMsgID aMsgID, const void* aData, int32_t aLen, TnxMemoryStream* aReply,
                                 bool aCanSkipCantSkip) noexcept {
  platform::TStream* reply = aReply;
  return rcSession.ProcessRequest(rcSource.Token(), rcRemoteThreadPriority, aMsgID, Timeout(), aData, aLen,
                                  aReply ? &reply : nullptr, nullptr, nmdStream, aCanSkipCantSkip, nullptr);
}

uint32_t TnxRemoteCursor::rcRequest(TnxMsgID aMsgID, const void* aData, int32_t aLen, TnxMemoryStream* aReply,
                                    bool aCanSkipCantSkip) noexcept {
  if (rcDelayedSetToBookmarkSize != 0) rcFlushDelayedSetToBookmark(aCanSkipCantSkip);
  return rcSend(aMsgID, aData, aLen, aReply, aCanSkipCantSkip);
}

void TnxRemoteCursor::rcFlushDelayedSetToBookmark(bool aDrop) noexcept {
  const uint32_t size = std::exchange(rcDelayedSetToBookmarkSize, 0);
  // Its result has nobody to go to: the request it preceded answers.
  if (!aDrop && size != 0) rcSetToBookmarkInner(rcDelayedSetToBookmark.data(), size);
}

uint32_t TnxRemoteCursor::rcSetToBookmarkInner(PnxBookmarkBuffer aBookmark, uint32_t aSize) {
  if (aSize > rcMaxBookmarkSize) return nxeInvalidParameter;
  const uint32_t check = BookmarkCheckLocal(aBookmark, aSize);
  if (check != 0 && check != nxeCapabilityNotSupported) return check;
  try {
    TnxMemoryStream request(-1);
    {
      TnxWriter writer(request);
      writer.WriteInteger(static_cast<int32_t>(rcCursorID));
      writer.WriteInteger(static_cast<int32_t>(aSize));
      writer.WriteListBegin();
      writer.Write(aBookmark, aSize);
      writer.WriteListEnd();
      writer.FlushBuffer();
    }
    return rcSend(nxnmCursorSetToBookmark, request.Memory(), static_cast<int32_t>(request.GetSize()), nullptr,
                  true);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::SetToBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize) {
  constexpr TnxAbstractCursorOptions kChaining =
      nxCursorOption(acoChainedRecordGetUsesWriteLock) | nxCursorOption(acoSetToBookmarkFollowedByNothing) |
      nxCursorOption(acoSetToBookmarkFollowedByRecordGet) | nxCursorOption(acoSetToBookmarkFollowedByRecordGetNext) |
      nxCursorOption(acoSetToBookmarkFollowedByRecordGetPrior) | nxCursorOption(acoSetToBookmarkFollowedBySync);
  const TnxAbstractCursorOptions options = CursorOptions();
  // The chaining options hold for this call only.
  RemoveCursorOptions(kChaining);
  auto has = [options](TnxAbstractCursorOption aOption) { return (options & nxCursorOption(aOption)) != 0; };
  // The delayed copy goes into a buffer of the largest bookmark.
  if (aSize > rcMaxBookmarkSize || (!aBookmark && aSize != 0)) return nxeInvalidParameter;
  const uint32_t check = BookmarkCheckLocal(aBookmark, aSize);
  if (check != 0 && check != nxeCapabilityNotSupported) return check;
  rcBookmarkCacheValid = false;
  const bool chained = nxClientFeatureOn(cfMessageReduction) && rcServerVersion > nxChainedReadsMinServer &&
                       (has(acoSetToBookmarkFollowedByRecordGet) || has(acoSetToBookmarkFollowedByRecordGetNext) ||
                        has(acoSetToBookmarkFollowedByRecordGetPrior) || has(acoSetToBookmarkFollowedBySync));
  if (!chained) {
    if (!nxClientFeatureOn(cfDelayedSetToBookmark)) {
      if (rcDelayedSetToBookmarkSize != 0) rcFlushDelayedSetToBookmark(true);
      return rcSetToBookmarkInner(aBookmark, aSize);
    }
    if (aSize != 0) std::memcpy(rcDelayedSetToBookmark.data(), aBookmark, aSize);
    rcDelayedSetToBookmarkSize = aSize;
    return 0;
  }
  try {
    const bool flip = has(acoFlipOrder);
    TnxMsgID chainedID = nxnmCursorRecordSync;
    if (has(acoSetToBookmarkFollowedBySync)) {
      rcExpectedMultiPartReplies = 0x7;
    } else if (has(acoSetToBookmarkFollowedByRecordGet)) {
      chainedID = nxnmCursorRecordGet;
      rcExpectedMultiPartReplies = uint8_t(1u << emprRecordGet);
    } else if (has(acoSetToBookmarkFollowedByRecordGetNext)) {
      chainedID = nxnmCursorRecordGet + 1;
      rcExpectedMultiPartReplies = uint8_t(1u << (flip ? emprRecordGetPrior : emprRecordGetNext));
    } else {
      chainedID = nxnmCursorRecordGet + 2;
      rcExpectedMultiPartReplies = uint8_t(1u << (flip ? emprRecordGetNext : emprRecordGetPrior));
    }
    const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
      w.WriteInteger(static_cast<int32_t>(aSize));
      w.WriteListBegin();
      w.Write(aBookmark, aSize);
      w.WriteListEnd();
      w.WriteInteger(static_cast<int32_t>(chainedID));
      w.WriteInteger(static_cast<int32_t>(RecordLength()));
      w.WriteInteger(int32_t(has(acoChainedRecordGetUsesWriteLock) ? nxltWriteLock : nxltNoLock));
      w.WriteInteger(static_cast<int32_t>(has(acoRecordGetFollowedByGetBookmark) ? rcBookmarkSize : 0));
      w.WriteBoolean(flip);
    });
    return rcRequestBlock(nxnmCursorSetToBookmarkChained, payload.data(), static_cast<int32_t>(payload.size()),
                          nullptr, nullptr, true);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::sbcGetBookmarkSize(uint32_t& aSize) {
  aSize = rcBookmarkSize;
  return 0;
}

uint32_t TnxRemoteCursor::GetIndexID(int32_t& aIndexID) {
  aIndexID = rcIndexID;
  return 0;
}

void TnxRemoteCursor::rcFilterTimeoutStart() noexcept {
  if (rcFilterTimeoutLock > 0) return;
  rcFilterUntil = rcFilterTimeout == 0 ? 0 : nxEngineTickCount() + rcFilterTimeout;
}

bool TnxRemoteCursor::rcFilterTimedOut(uint32_t& aResult) noexcept {
  if ((rcFilterUntil != 0 && nxEngineTickCount() > rcFilterUntil) ||
      HasAnyCursorOptions(nxCursorOption(acoFailClientFilterFast))) {
    aResult = nxeFilterTimeout;
    return true;
  }
  return false;
}

void TnxRemoteCursor::rcFilterTimeoutSuspend() noexcept {
  if (rcFilterTimeoutLock++ == 0) rcFilterUntil = 0;
}

void TnxRemoteCursor::rcFilterTimeoutResume() noexcept { --rcFilterTimeoutLock; }

uint32_t TnxRemoteCursor::Duplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor) {
  aNewCursor = nullptr;
  try {
    uint8_t payload[5];
    platform::StoreU32(payload, rcCursorID);
    payload[4] = static_cast<uint8_t>(aOpenMode);
    TnxMemoryStream reply(-1);
    const uint32_t result = rcRequest(nxnmCursorDuplicate, payload, 5, &reply, false);
    if (result != 0) return result;
    if (reply.GetSize() < 8) return nxeMessageUnrecognized;
    const auto* bytes = static_cast<const uint8_t*>(reply.Memory());
    const TnxCursorID newID = platform::LoadU32(bytes);
    const auto newIndex = static_cast<int32_t>(platform::LoadU32(bytes + 4));
    try {
      TnxRemoteDataDictionary* shared = nxClientFeatureOn(cfDictionaryCache) ? rcShared : nullptr;
      std::unique_ptr<TnxDataDictionary> copy;
      if (!shared) {
        copy = std::make_unique<TnxDataDictionary>();
        copy->Assign(rc_Dictionary);
      }
      auto created = nxCreateServerObject<TnxRemoteCursor>(rcDatabase, Timeout(), newID, newIndex, shared,
                                                            std::move(copy), rcTableName, rcCachedAutoInc);
      rcCopyLocalFilters(*created);
      aNewCursor = created.release();
      return 0;
    } catch (...) {
      // The server's new cursor has no client side: close it.
      platform::StoreU32(payload, newID);
      rcSend(nxnmCursorClose, payload, 4, nullptr, true);
      throw;
    }
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

}  // namespace revurov
