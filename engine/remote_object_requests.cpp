#include "engine/remote_object_requests.h"

#include <algorithm>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"
#include "platform/string_list.h"
#include "transport/heap_block.h"

namespace revurov {

std::unique_ptr<TnxRequestWriter> nxRemoteCreateRequest(const TnxRemoteRequestTarget& aTarget, bool aIDFirst) {
  auto writer = std::make_unique<TnxRequestWriter>(
      [aTarget](TnxMsgID aMsgID, TnxMemoryStream* aRequest, TnxMemoryStream** aReply, bool aCanSkip) -> uint32_t {
        platform::TStream* reply = aReply ? *aReply : nullptr;
        return aTarget.rrtSession->ProcessRequest(aTarget.rrtSource, aTarget.rrtPriority, aMsgID, aTarget.rrtTimeout,
                                                  aRequest ? aRequest->Memory() : nullptr,
                                                  aRequest ? static_cast<int32_t>(aRequest->GetSize()) : 0,
                                                  aReply ? &reply : nullptr, nullptr, nmdStream, aCanSkip, nullptr);
      });
  if (aIDFirst) writer->WriteInteger(static_cast<int32_t>(aTarget.rrtID));
  return writer;
}

uint32_t nxRemoteRawRequest(const TnxRemoteRequestTarget& aTarget, TnxMsgID aMsgID, std::span<const uint8_t> aExtra,
                            std::vector<uint8_t>* aReply, bool aCanSkipCantSkip) noexcept {
  try {
    std::vector<uint8_t> payload(4 + aExtra.size());
    platform::StoreU32(payload.data(), aTarget.rrtID);
    std::copy(aExtra.begin(), aExtra.end(), payload.begin() + 4);
    void* block = nullptr;
    int32_t length = 0;
    const uint32_t result = aTarget.rrtSession->ProcessRequest(
        aTarget.rrtSource, aTarget.rrtPriority, aMsgID, aTarget.rrtTimeout, payload.data(),
        static_cast<int32_t>(payload.size()), aReply ? &block : nullptr, aReply ? &length : nullptr, nmdByteArray,
        aCanSkipCantSkip, nullptr);
    const TnxHeapBlock reply(static_cast<uint8_t*>(block));
    if (aReply) {
      aReply->clear();
      if (result == 0 && block && length > 0) aReply->assign(reply.get(), reply.get() + length);
    }
    return result;
  } catch (const std::bad_alloc&) {
    return nxeOutOfMemory;
  }
}

uint32_t nxRemoteRawStreamRequest(const TnxRemoteRequestTarget& aTarget, TnxMsgID aMsgID, TnxMemoryStream& aReply,
                                  std::span<const uint8_t> aExtra) noexcept {
  // The widest raw payload here: the ID and two flags.
  uint8_t payload[16];
  if (aExtra.size() > sizeof(payload) - 4) return nxeInvalidParameter;
  platform::StoreU32(payload, aTarget.rrtID);
  std::copy(aExtra.begin(), aExtra.end(), payload + 4);
  try {
    aReply.SetSize(0);
    aReply.SetPosition(0);
  } catch (const std::bad_alloc&) {
    return nxeOutOfMemory;
  }
  platform::TStream* variable = &aReply;
  return aTarget.rrtSession->ProcessRequest(aTarget.rrtSource, aTarget.rrtPriority, aMsgID, aTarget.rrtTimeout,
                                            payload, static_cast<int32_t>(4 + aExtra.size()), &variable, nullptr,
                                            nmdStream, false, nullptr);
}

uint32_t nxRemoteOptionClear(const TnxRemoteRequestTarget& aTarget, TnxMsgID aBase, std::u16string_view aName) {
  const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(aTarget);
  writer->WriteString(aName);
  return writer->RequestNoReply(aBase + nxnmOptionClearOffset);
}

uint32_t nxRemoteOptionSet(const TnxRemoteRequestTarget& aTarget, TnxMsgID aBase, std::u16string_view aName,
                           std::u16string_view aValue) {
  const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(aTarget);
  writer->WriteString(aName);
  writer->WriteString(aValue);
  return writer->RequestNoReply(aBase + nxnmOptionSetOffset);
}

uint32_t nxRemoteOptionGet(const TnxRemoteRequestTarget& aTarget, TnxMsgID aBase, bool aEffective,
                           std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(aTarget);
  writer->WriteString(aName);
  uint32_t result = 0;
  TnxReplyReader* reader =
      writer->Request(aBase + (aEffective ? nxnmOptionGetEffectiveOffset : nxnmOptionGetOffset), result);
  if (result == 0) aValue = reader->ReadString();
  return result;
}

uint32_t nxRemoteOptionList(const TnxRemoteRequestTarget& aTarget, TnxMsgID aBase, bool aEffective,
                            platform::TStringList& aList) {
  const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(aTarget);
  uint32_t result = 0;
  TnxReplyReader* reader =
      writer->Request(aBase + (aEffective ? nxnmOptionListEffectiveOffset : nxnmOptionListOffset), result);
  if (result == 0) reader->ReadStrings(aList);
  return result;
}

}  // namespace revurov
