#include "transport/request_reader.h"

#include <cstring>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/heap/memory_manager.h"
#include "transport/base_transport.h"

namespace revurov {

TnxDataMessageStream::TnxDataMessageStream(const TnxDataMessage& aDataMessage)
    : TnxStaticMemoryStream(aDataMessage.dmData.get(),
                            aDataMessage.dmData ? aDataMessage.dmDataLen : 0) {}

int64_t TnxDataMessageStream::Write(const void*, int64_t) { return 0; }

TnxDataMessageReader::TnxDataMessageReader(const TnxDataMessage& aDataMessage)
    : detail::OwnedMessageStream(aDataMessage), dmrMsgID(aDataMessage.dmMsg) {
  SetStream(dmrStream.get());
}

TnxDataMessageReader::~TnxDataMessageReader() {
  // Nothing to give back: the stream goes with the reader.
  SetStream(nullptr);
}

TnxDataMessageStream& TnxDataMessageReader::StreamForReading() {
  FlushBuffer();
  return *dmrStream;
}

std::unique_ptr<TnxReplyWriter> TnxDataMessageReader::CreateReplyWriter() {
  return std::make_unique<TnxReplyWriter>(dmrMsgID);
}

void TnxRequestReader::AfterConstruction() {
  rrWriter = CreateReplyWriter();
  TnxDataMessageReader::AfterConstruction();
}

// The reply's stream is the thread's kept one while it is free (see
// TnxKeptMemoryStream): a new stream per reply costs system calls.
TnxReplyWriter::TnxReplyWriter(TnxMsgID aMsgID) : TnxWriter(*stream), rwMsgID(aMsgID) {}

TnxReplyWriter::~TnxReplyWriter() = default;

TnxMemoryStream& TnxReplyWriter::StreamForSending() {
  FlushBuffer();
  return *stream;
}

void TnxReplyWriter::Send() {
  FlushBuffer();
  TnxBaseTransport::Reply(rwMsgID, Error, stream->Memory(), static_cast<int32_t>(stream->GetSize()));
}

void nxStreamReplyCallback(TnxMsgID aMsgID, uint32_t aErrorCode, const void* aReplyData,
                           int32_t aReplyDataLen, void* aReplyCookie) {
  auto& cookie = *static_cast<TnxStreamReplyCookie*>(aReplyCookie);
  if (aMsgID != cookie.srcMsgID) {
    cookie.srcResult = nxeMessageUnrecognized;
    return;
  }
  cookie.srcResult = aErrorCode;
  if (cookie.srcReplyLen) *cookie.srcReplyLen = aReplyDataLen;
  if (aReplyDataLen <= 0 || !aReplyData || !cookie.srcReply) return;
  if (cookie.srcReplyType == nmdByteArray) {
    void* block = nxGetMem(static_cast<size_t>(aReplyDataLen));
    std::memcpy(block, aReplyData, static_cast<size_t>(aReplyDataLen));
    *static_cast<void**>(cookie.srcReply) = block;
  } else {
    platform::TStream& stream = **static_cast<platform::TStream**>(cookie.srcReply);
    stream.WriteBuffer(aReplyData, aReplyDataLen);
    if (cookie.srcReplyType == nmdStream) stream.SetPosition(0);
  }
}

}  // namespace revurov
