#include "transport/message_frame.h"

#include <algorithm>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "transport/transport_exception.h"

namespace revurov {

namespace {

[[noreturn]] void RaiseTooLong(uint64_t aLength) {
  throw EnxTransportException(nullptr, nxeCapabilityNotSupported,
                              u"Message of %d bytes exceeds the maximum message size of %u bytes",
                              {aLength, nxMaxMessageSize});
}

TnxBaseHeader HeaderOf(const TnxMessageFields& aFields, const TnxErrorTextSegment& aSegment) {
  TnxBaseHeader header;
  header.bhTransportID = aFields.mfTransportID;
  header.bhSessionID = aFields.mfSessionID;
  header.bhVersion = aFields.mfVersion;
  header.bhThreadPriority = aFields.mfThreadPriority;
  header.bhFlags = aSegment.Flags();
  header.bhMsgID = aFields.mfMsgID;
  header.bhParts = aFields.mfParts;
  header.bhErrorCode = static_cast<uint16_t>(aFields.mfResultCode);
  header.bhMsgType = aFields.mfMsgType;
  header.bhCompressType = aFields.mfCompressType;
  return header;
}

}  // namespace

TnxMessageFields nxMessageFields(TnxTransportID aTransportID, TnxSessionID aSessionID,
                                 TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint8_t aMsgType,
                                 uint32_t aResultCode, uint8_t aCompressType) noexcept {
  return {aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aResultCode, nxClientMessageVersion, 0,
          aCompressType, nxDefaultCompressLimit};
}

void nxBuildMessage(const TnxMessageFields& aFields, std::span<const uint8_t> aPayload,
                    TnxHeapBuffer& aFrame) {
  const TnxErrorTextSegment segment = TnxErrorTextSegment::ForSending(aFields.mfResultCode, aFields.mfVersion);
  const uint64_t front = uint64_t{nxHeaderSize} + segment.Size();
  // The receiver could not take it; refused before anything is allocated
  // (bhUncompressedSize has the same limit, so compression cannot save it).
  if (aPayload.size() > nxMaxMessageSize) RaiseTooLong(front + aPayload.size());
  aFrame.Resize(static_cast<size_t>(front) + std::max(aPayload.size(), nxCompressScratchSize(aPayload.size())));

  TnxBaseHeader header = HeaderOf(aFields, segment);
  const size_t payloadSize = nxCompressPayload(aFields.mfCompressType, aFields.mfCompressLimit, aPayload,
                                               aFrame.Data() + front, header.bhUncompressedSize);
  const uint64_t length = front + payloadSize;
  if (length > nxMaxMessageSize) RaiseTooLong(length);
  header.bhLength = static_cast<uint32_t>(length);
  aFrame.Resize(static_cast<size_t>(length));
  nxStoreHeader(header, aFrame.Data());
  segment.Write(aFrame.Data() + nxHeaderSize);
  segment.Sent();
}

void nxBuildFrameHead(const TnxMessageFields& aFields, uint32_t aUncompressedSize, size_t aPayloadSize,
                      TnxHeapBuffer& aHead, size_t aRoom) {
  const TnxErrorTextSegment segment = TnxErrorTextSegment::ForSending(aFields.mfResultCode, aFields.mfVersion);
  const uint64_t length = uint64_t{nxHeaderSize} + segment.Size() + aPayloadSize;
  if (length > nxMaxMessageSize || aUncompressedSize > nxMaxMessageSize) RaiseTooLong(length);
  TnxBaseHeader header = HeaderOf(aFields, segment);
  header.bhUncompressedSize = aUncompressedSize;
  header.bhLength = static_cast<uint32_t>(length);
  aHead.Resize(nxHeaderSize + segment.Size() + aRoom);
  nxStoreHeader(header, aHead.Data());
  segment.Write(aHead.Data() + nxHeaderSize);
  segment.Sent();
}

void nxBuildFrame(const TnxMessageFields& aFields, uint32_t aUncompressedSize, std::span<const uint8_t> aPayload,
                  TnxHeapBuffer& aFrame) {
  nxBuildFrameHead(aFields, aUncompressedSize, aPayload.size(), aFrame, aPayload.size());
  if (!aPayload.empty()) std::copy(aPayload.begin(), aPayload.end(), aFrame.Data() + aFrame.Size() - aPayload.size());
}

TnxCheckedMessage nxCheckMessage(const TnxBaseHeader& aHeader, std::span<const uint8_t> aBody,
                                 TnxReceiver aReceiver) noexcept {
  TnxCheckedMessage checked;
  if (nxCheckHeader(aHeader) != 0 || aBody.size() != aHeader.bhLength - uint64_t{nxHeaderSize}) {
    checked.cmError = nxeLostConnection;
    checked.cmDropConnection = true;
    return checked;
  }
  // Clients do not test the version: a server answers in the client's own.
  if (aReceiver == TnxReceiver::rcServer && aHeader.bhVersion >= nxFirstUnknownMessageVersion) {
    checked.cmError = nxeIncompatibleVersion;
    return checked;
  }
  std::span<const uint8_t> rest = aBody;
  if (aHeader.bhVersion != 0 && (aHeader.bhFlags & mhfErrorMessage)) {
    // A count past the end makes the whole message broken, not a cut text.
    if (!nxFindErrorText(rest, aHeader.bhFlags & mhfErrorMessageIsUnicode, checked.cmErrorText)) {
      checked.cmError = nxeLostConnection;
      return checked;
    }
    checked.cmHasErrorText = true;
    rest = rest.subspan(checked.cmErrorText.etsSize);
  }
  checked.cmPayload = rest;
  return checked;
}

TnxReceivedMessage nxTakeMessage(const TnxBaseHeader& aHeader, std::span<const uint8_t> aBody,
                                 TnxReceiver aReceiver, TnxHeapBuffer& aDecompressed) {
  TnxReceivedMessage received;
  const TnxCheckedMessage checked = nxCheckMessage(aHeader, aBody, aReceiver);
  received.rmError = checked.cmError;
  received.rmDropConnection = checked.cmDropConnection;
  if (checked.cmError) return received;

  if (checked.cmHasErrorText)
    EnxBaseException::SetLastConvertedException(aHeader.bhErrorCode, nxErrorTextOf(checked.cmErrorText));
  else if (aReceiver == TnxReceiver::rcServer)
    EnxBaseException::SetLastConvertedException(0, u"");

  if (aHeader.bhUncompressedSize != 0 && aHeader.bhCompressType != 0) {
    // Even an empty compressed payload goes through the compressor: it
    // cannot decode to a non-empty size and is then broken.
    if (!nxDecompressPayload(aHeader.bhCompressType, checked.cmPayload, aHeader.bhUncompressedSize,
                             aDecompressed)) {
      received.rmError = nxeLostConnection;
      return received;
    }
    received.rmPayload = {aDecompressed.Data(), aDecompressed.Size()};
    received.rmCompressedSize = static_cast<uint32_t>(checked.cmPayload.size());
  } else {
    received.rmPayload = checked.cmPayload;
  }
  return received;
}

}  // namespace revurov
