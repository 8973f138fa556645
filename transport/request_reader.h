// Adapters between transport messages and the tagged reader and writer: on
// the serving side a stream and a reader over a received message and a
// writer that collects a reply and sends it; on the requesting side the
// standard reply callback that puts a reply into a stream or a fresh block.
//
// Contract:
// - A message reader reads the message's data in place: the message must
//   outlive the reader. Make readers with Create, which runs the
//   after-construction steps (a request reader's reply writer, then the
//   prefix hook) once the object is whole.
// - A reply writer sends through the calling thread's current transport
//   (TnxBaseTransport::Reply): Send runs on the thread serving the request.
//   A second Send for one request is refused by the transport.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>

#include "lowlevel/streams/kept_memory_stream.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "transport/data_message_queue.h"
#include "transport/session_callback.h"

namespace revurov {

// A read-only stream over a message's data; neither copies nor owns it.
// Writes move nothing.
class TnxDataMessageStream : public TnxStaticMemoryStream {
public:
  explicit TnxDataMessageStream(const TnxDataMessage& aDataMessage);
  int64_t Write(const void* buffer, int64_t count) override;
};

class TnxReplyWriter;

namespace detail {
struct OwnedMessageStream {
  explicit OwnedMessageStream(const TnxDataMessage& aMessage)
      : dmrStream(std::make_unique<TnxDataMessageStream>(aMessage)) {}
  std::unique_ptr<TnxDataMessageStream> dmrStream;
};
}  // namespace detail

class TnxDataMessageReader : private detail::OwnedMessageStream, public TnxReader {
public:
  ~TnxDataMessageReader() override;

  template <class T = TnxDataMessageReader>
    requires std::derived_from<T, TnxDataMessageReader>
  static std::unique_ptr<T> Create(const TnxDataMessage& aDataMessage) {
    std::unique_ptr<T> reader(new T(aDataMessage));
    static_cast<TnxDataMessageReader*>(reader.get())->AfterConstruction();
    return reader;
  }

  // Flushes the read-ahead and answers the message stream, for direct
  // reads of large values.
  TnxDataMessageStream& StreamForReading();
  // A new writer for a reply to this message.
  virtual std::unique_ptr<TnxReplyWriter> CreateReplyWriter();
  TnxMsgID MsgID() const noexcept { return dmrMsgID; }

protected:
  explicit TnxDataMessageReader(const TnxDataMessage& aDataMessage);
  virtual void AfterConstruction() { ReadPrefix(); }
  // Reads what precedes the values of a subclass's messages; nothing here.
  virtual void ReadPrefix() {}

private:
  TnxMsgID dmrMsgID = 0;
};

// A reader of a received request that owns the writer of its reply.
class TnxRequestReader : public TnxDataMessageReader {
public:
  TnxReplyWriter& Writer() const noexcept { return *rrWriter; }

protected:
  using TnxDataMessageReader::TnxDataMessageReader;
  friend class TnxDataMessageReader;
  // The writer comes first, so a prefix hook may already write to it.
  void AfterConstruction() override;

private:
  std::unique_ptr<TnxReplyWriter> rrWriter;
};

namespace detail {
struct TnxReplyStream {
  TnxKeptMemoryStream kept;
  TnxMemoryStream* stream = &kept.Stream();
};
}  // namespace detail

class TnxReplyWriter : private detail::TnxReplyStream, public TnxWriter {
public:
  explicit TnxReplyWriter(TnxMsgID aMsgID);
  ~TnxReplyWriter() override;

  // Flushes and answers the reply stream, for direct writes.
  TnxMemoryStream& StreamForSending();
  // Flushes and replies with rwMsgID, Error and the stream's bytes.
  void Send();
  TnxMsgID MsgID() const noexcept { return rwMsgID; }

  // The reply's result code.
  uint32_t Error = 0;

private:
  TnxMsgID rwMsgID = 0;
};

// How nxStreamReplyCallback hands a reply over.
enum TnxNetMsgDataType : uint8_t {
  nmdByteArray = 0,            // a new library-heap block; the caller frees it (nxFreeMem)
  nmdStream = 1,               // written into a stream, which is then rewound
  nmdStreamLeavePosition = 2,  // written into a stream, left at its end
};

// The cookie of nxStreamReplyCallback; lives on the requester's side only.
struct TnxStreamReplyCookie {
  TnxMsgID srcMsgID = 0;     // the reply expected
  uint32_t srcResult = 0;    // preset by the caller, overwritten by the callback
  // The destination variable: a void* for nmdByteArray, a platform::TStream*
  // for the stream modes; null when the data is not wanted.
  void* srcReply = nullptr;
  int32_t* srcReplyLen = nullptr;  // may be null
  TnxNetMsgDataType srcReplyType = nmdByteArray;
};

// A TnxReplyCallback whose cookie is a TnxStreamReplyCookie. Another message
// number sets 15522 and touches nothing else; otherwise the result and the
// length are set and data (when there is any) goes to the destination.
void nxStreamReplyCallback(TnxMsgID aMsgID, uint32_t aErrorCode, const void* aReplyData,
                           int32_t aReplyDataLen, void* aReplyCookie);

}  // namespace revurov
