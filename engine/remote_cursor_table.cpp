// TnxRemoteCursor: operations on the cursor's table as a whole and on the
// cursor object: timeout, table streams, table locks, record counts (also
// as a server task), the password, the record cache's synchronisation
// requests and the object options.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "engine/remote_cursor.h"
#include "engine/remote_cursor_wire.h"
#include "engine/remote_object_requests.h"
#include "engine/remote_task_info.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"
#include "platform/format.h"
#include "platform/string_list.h"

namespace revurov {

namespace {

// The raw payload of most table requests: the cursor's ID, then aExtra.
template <size_t N>
std::array<uint8_t, 4 + N> RawPayload(TnxCursorID aCursorID, const std::array<uint8_t, N>& aExtra) {
  std::array<uint8_t, 4 + N> payload{};
  platform::StoreU32(payload.data(), aCursorID);
  std::copy(aExtra.begin(), aExtra.end(), payload.begin() + 4);
  return payload;
}

}  // namespace

void TnxRemoteCursor::SetTimeout(uint32_t aValue) {
  if (aValue == Timeout()) return;
  TnxAbstractRemoteCursor::SetTimeout(aValue);
  if (AddToTimeoutBatch(this)) return;
  uint8_t payload[8];
  platform::StoreU32(payload, rcCursorID);
  platform::StoreU32(payload + 4, aValue);
  // Nobody is told of a failure: the value is kept here either way.
  rcRequest(nxnmCursorSetTimeout, payload, 8, nullptr, false);
}

// ---- table streams ----

uint32_t TnxRemoteCursor::TableStreamWrite(std::u16string_view aStreamName, platform::TStream& aStream) {
  try {
    const int64_t size = aStream.GetSize();
    // One request carries it: a size no request can hold is refused first.
    if (size < 0 || size > INT32_MAX - 1024) return nxeInvalidParameter;
    TnxMemoryStream request(-1);
    {
      TnxWriter writer(request);
      writer.WriteInteger(static_cast<int32_t>(rcCursorID));
      writer.WriteString(aStreamName);
      writer.WriteInteger(size);
      writer.FlushBuffer();
    }
    // From its start, wherever the caller left it.
    aStream.SetPosition(0);
    if (size > 0) request.CopyFrom(aStream, size);
    return rcSession.ProcessRequestDirect(rcRemoteThreadPriority, nxnmCursorTableStreamWrite, Timeout(),
                                          request.Memory(), static_cast<int32_t>(request.GetSize()), nullptr, nullptr,
                                          nmdByteArray);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::TableStreamRead(std::u16string_view aStreamName, platform::TStream& aStream) {
  try {
    const std::vector<uint8_t> payload =
        nxCursorTagged(rcCursorID, [&](TnxWriter& w) { w.WriteString(aStreamName); });
    platform::TStream* target = &aStream;
    return rcSession.ProcessRequestDirect(rcRemoteThreadPriority, nxnmCursorTableStreamRead, Timeout(),
                                          payload.data(), static_cast<int32_t>(payload.size()), &target, nullptr,
                                          nmdStream);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::TableStreamDelete(std::u16string_view aStreamName) {
  try {
    const std::unique_ptr<TnxRequestWriter> writer = rcCreateRequestDirect();
    writer->WriteString(aStreamName);
    return writer->RequestNoReply(nxnmCursorTableStreamDelete);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::TableStreamGetList(platform::TStringList& aList) {
  try {
    uint8_t payload[4];
    platform::StoreU32(payload, rcCursorID);
    TnxMemoryStream reply(-1);
    platform::TStream* target = &reply;
    const uint32_t result = rcSession.ProcessRequestDirect(rcRemoteThreadPriority, nxnmCursorTableStreamGetList,
                                                           Timeout(), payload, 4, &target, nullptr, nmdStream);
    aList.Clear();
    if (result != 0) return result;
    reply.SetPosition(0);
    TnxReader reader(reply);
    reader.ReadStrings(aList);
    return 0;
  } catch (const std::exception& e) {
    aList.Clear();
    return asoConvertException(e);
  }
}

// ---- table locks and the password ----

uint32_t TnxRemoteCursor::TableIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) {
  aLockPresent = lpNotAtAll;
  const auto payload = RawPayload<1>(rcCursorID, {static_cast<uint8_t>(aLockType)});
  TnxRecordBufferPtr reply;
  int32_t len = 0;
  const uint32_t result = rcRequestBlock(nxnmCursorTableIsLocked, payload.data(), static_cast<int32_t>(payload.size()),
                                         &reply, &len, false);
  if (result != 0) return result;
  if (len < 1 || reply.get()[0] > lpYesByAnother) return nxeMessageUnrecognized;
  aLockPresent = static_cast<TnxLockPresent>(reply.get()[0]);
  return 0;
}

uint32_t TnxRemoteCursor::TableLockAcquire(TnxLockType aLockType) {
  const auto payload = RawPayload<1>(rcCursorID, {static_cast<uint8_t>(aLockType)});
  return rcRequest(nxnmCursorTableLockAcquire, payload.data(), static_cast<int32_t>(payload.size()), nullptr, false);
}

uint32_t TnxRemoteCursor::TableLockRelease(TnxLockType aLockType, bool aAllLocks) {
  const auto payload = RawPayload<2>(rcCursorID, {static_cast<uint8_t>(aLockType), uint8_t(aAllLocks)});
  return rcRequest(nxnmCursorTableLockRelease, payload.data(), static_cast<int32_t>(payload.size()), nullptr, false);
}

uint32_t TnxRemoteCursor::ChangePassword(std::u16string_view aNewPassword) {
  try {
    const std::vector<uint8_t> payload =
        nxCursorTagged(rcCursorID, [&](TnxWriter& w) { w.WriteWideString_(aNewPassword); });
    return rcRequest(nxnmCursorChangePassword, payload.data(), static_cast<int32_t>(payload.size()), nullptr, false);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

// ---- record counts ----

uint32_t TnxRemoteCursor::rcCountRequest(TnxMsgID aMsgID, const uint8_t* aPayload, int32_t aLen, uint32_t& aCount) {
  void* block = nullptr;
  int32_t len = 0;
  const uint32_t result = rcSession.ProcessRequestDirect(rcRemoteThreadPriority, aMsgID, Timeout(), aPayload, aLen,
                                                         &block, &len, nmdByteArray);
  const TnxRecordBufferPtr reply(static_cast<uint8_t*>(block));
  if (result != 0) return result;
  if (!reply || len < 4) return nxeMessageUnrecognized;
  aCount = platform::LoadU32(reply.get());
  return 0;
}

uint32_t TnxRemoteCursor::rcClientRecordCount(uint32_t& aRecordCount) {
  rcFilterTimeoutSuspend();
  struct TResume {
    TnxRemoteCursor* cursor;
    ~TResume() { cursor->rcFilterTimeoutResume(); }
  } resume{this};
  std::vector<uint8_t> bookmark(rcBookmarkSize);
  if (uint32_t result = GetBookmark(bookmark.data(), rcBookmarkSize)) return result;
  uint32_t result = 0;
  try {
    result = SetToBegin();
    if (result == 0) {
      for (;;) {
        result = RecordGetNext(nxltNoLock, nullptr);
        if (result != 0) break;
        ++aRecordCount;
      }
      if (result == nxeAtEndOfTable) result = 0;
    }
  } catch (...) {
    SetToBookmark(bookmark.data(), rcBookmarkSize);
    throw;
  }
  const uint32_t back = SetToBookmark(bookmark.data(), rcBookmarkSize);
  return result == 0 ? back : result;
}

uint32_t TnxRemoteCursor::GetRecordCount(uint32_t& aRecordCount, bool aEstimate) {
  aRecordCount = 0;
  try {
    if (rcFilterActive()) return rcClientRecordCount(aRecordCount);
    if (aEstimate) return GetRecordCountEx(rcoServerFilteredKeyCount, aRecordCount, true);
    uint8_t payload[4];
    platform::StoreU32(payload, rcCursorID);
    return rcCountRequest(nxnmCursorGetRecordCount, payload, 4, aRecordCount);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::GetRecordCountEx(TnxRecordCountOption aOption, uint32_t& aRecordCount, bool aEstimate) {
  if (aOption == rcoClientFilteredKeyCount) return GetRecordCount(aRecordCount, false);
  aRecordCount = 0;
  uint8_t option = static_cast<uint8_t>(aOption);
  if (aEstimate && rcServerVersion > nxRecordCountEstimateMinServer) option |= 0x80;
  const auto payload = RawPayload<1>(rcCursorID, {option});
  return rcCountRequest(nxnmCursorGetRecordCountEx, payload.data(), static_cast<int32_t>(payload.size()), aRecordCount);
}

uint32_t TnxRemoteCursor::rcTaskRequest(const uint8_t* aPayload, int32_t aLen, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  try {
    TnxRecordBufferPtr reply;
    int32_t len = 0;
    const uint32_t result = rcRequestBlock(nxnmCursorGetRecordCountAsync, aPayload, aLen, &reply, &len, false);
    if (result != 0) return result;
    if (len < 4) return nxeMessageUnrecognized;
    auto taskInfo = nxCreateServerObject<TnxRemoteTaskInfo>(&rcSession, platform::LoadU32(reply.get()));
    taskInfo->SetRemoteThreadPriority(rcRemoteThreadPriority);
    aTaskInfo = taskInfo.release();
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::GetRecordCountAsync(TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (rcFilterActive()) {
    return EnxBaseException::nxSetMessage(
        nxeCapabilityNotSupported, platform::Format(u"%s is not supported by %s when a local filter is active",
                                                    {std::u16string_view(u"GetRecordCountAsync"), ClassName()}));
  }
  uint8_t payload[4];
  platform::StoreU32(payload, rcCursorID);
  return rcTaskRequest(payload, 4, aTaskInfo);
}

uint32_t TnxRemoteCursor::GetRecordCountExAsync(TnxRecordCountOption aOption, TnxAbstractTaskInfo*& aTaskInfo) {
  if (aOption == rcoClientFilteredKeyCount) return GetRecordCountAsync(aTaskInfo);
  const auto payload = RawPayload<1>(rcCursorID, {static_cast<uint8_t>(aOption)});
  return rcTaskRequest(payload.data(), static_cast<int32_t>(payload.size()), aTaskInfo);
}

// ---- record cache synchronisation ----

uint32_t TnxRemoteCursor::ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) {
  if (aLSN == 0 && aRefNr == 0) return nxeNoCurrentRecord;
  if (rcServerVersion <= nxDelayedBookmarkMinServer) return TnxAbstractRemoteCursor::ContainsLSNRefNr(aLSN, aRefNr);
  try {
    const std::unique_ptr<TnxRequestWriter> writer = rcCreateRequest();
    writer->WriteInteger(int64_t{aLSN});
    writer->WriteInteger(int64_t{aRefNr});
    uint32_t result = 0;
    TnxReplyReader* reader = writer->Request(nxnmCursorContainsLSNRefNr, result);
    if (result == 0 && (aLSN == 0 || aRefNr == 0)) {
      // Read both before either is taken: a reply that breaks off changes nothing.
      const TnxLSN lsn = reader->ReadInt64();
      const TnxRefNr refNr = reader->ReadInt64();
      aLSN = lsn;
      aRefNr = refNr;
    }
    return result;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::GetDeletedRecords(TnxLSN aFromLSN, TnxRecordCacheInfos& aInfos, int32_t aMaxCount,
                                            TnxLSN* aCurrentLSN) {
  aInfos.clear();
  if (aCurrentLSN) *aCurrentLSN = 0;
  if (rcServerVersion <= nxDelayedBookmarkMinServer)
    return TnxAbstractRemoteCursor::GetDeletedRecords(aFromLSN, aInfos, aMaxCount, aCurrentLSN);
  try {
    const std::unique_ptr<TnxRequestWriter> writer = rcCreateRequest();
    writer->WriteInteger(int64_t{aFromLSN});
    writer->WriteInteger(aMaxCount);
    writer->WriteBoolean(aCurrentLSN != nullptr);
    uint32_t result = 0;
    TnxReplyReader* reader = writer->Request(nxnmCursorGetDeletedRecords, result);
    // The count comes whatever the code; an error without it is just the error.
    if (result != 0 && reader->GetSize() == 0) return result;
    // Any integer width: a count out of range is the server's fault, not the reader's.
    const int64_t count = reader->ReadInt64();
    constexpr int64_t kInfoSize = sizeof(TnxRecordCacheInfo);
    // Sized by the server's word only once the reply can hold what it claims.
    if (count < 0 || (aMaxCount > 0 && count > aMaxCount) || count * kInfoSize > reader->GetSize())
      return nxeMessageUnrecognized;
    TnxRecordCacheInfos infos(static_cast<size_t>(count));
    if (count > 0) {
      reader->ReadListBegin();
      for (TnxRecordCacheInfo& info : infos) {
        uint8_t raw[kInfoSize];
        reader->Read(raw, kInfoSize);
        info.rciRefNr = platform::LoadLE<int64_t>(raw);
        info.rciModifyLSN = platform::LoadLE<int64_t>(raw + 8);
      }
      reader->ReadListEnd();
    }
    TnxLSN current = 0;
    if (aCurrentLSN) current = reader->ReadInt64();
    aInfos = std::move(infos);
    if (aCurrentLSN) *aCurrentLSN = current;
    return result;
  } catch (const std::exception& e) {
    aInfos.clear();
    return asoConvertException(e);
  }
}

// ---- options ----

uint32_t TnxRemoteCursor::OptionClear(std::u16string_view aName) {
  try {
    const std::unique_ptr<TnxRequestWriter> writer = rcCreateRequest();
    writer->WriteString(aName);
    return writer->RequestNoReply(nxnmCursorOptionBase + nxnmOptionClearOffset);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::OptionSet(std::u16string_view aName, std::u16string_view aValue) {
  try {
    const std::unique_ptr<TnxRequestWriter> writer = rcCreateRequest();
    writer->WriteString(aName);
    writer->WriteString(aValue);
    return writer->RequestNoReply(nxnmCursorOptionBase + nxnmOptionSetOffset);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::rcOptionGet(TnxMsgID aMsgID, std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  try {
    const std::unique_ptr<TnxRequestWriter> writer = rcCreateRequestDirect();
    writer->WriteString(aName);
    uint32_t result = 0;
    TnxReplyReader* reader = writer->Request(aMsgID, result);
    if (result == 0) aValue = reader->ReadString();
    return result;
  } catch (const std::exception& e) {
    aValue.clear();
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::OptionGet(std::u16string_view aName, std::u16string& aValue) {
  return rcOptionGet(nxnmCursorOptionBase + nxnmOptionGetOffset, aName, aValue);
}

uint32_t TnxRemoteCursor::OptionGetEffective(std::u16string_view aName, std::u16string& aValue) {
  return rcOptionGet(nxnmCursorOptionBase + nxnmOptionGetEffectiveOffset, aName, aValue);
}

uint32_t TnxRemoteCursor::rcOptionList(TnxMsgID aMsgID, platform::TStringList& aList) {
  try {
    const std::unique_ptr<TnxRequestWriter> writer = rcCreateRequest();
    uint32_t result = 0;
    TnxReplyReader* reader = writer->Request(aMsgID, result);
    if (result == 0) reader->ReadStrings(aList);
    return result;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::OptionList(platform::TStringList& aList) {
  return rcOptionList(nxnmCursorOptionBase + nxnmOptionListOffset, aList);
}

uint32_t TnxRemoteCursor::OptionListEffective(platform::TStringList& aList) {
  return rcOptionList(nxnmCursorOptionBase + nxnmOptionListEffectiveOffset, aList);
}

}  // namespace revurov
