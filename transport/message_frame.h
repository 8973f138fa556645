// A whole message in memory: built for sending (header, error-text segment,
// payload compressed when it pays) and taken apart on receipt by the one
// check every medium runs on what it received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "transport/error_text.h"
#include "transport/heap_block.h"
#include "transport/payload_compression.h"
#include "transport/wire_header.h"

namespace revurov {

// What a sender passes for one message (the pooled transport's Write).
struct TnxMessageFields {
  TnxTransportID mfTransportID = 0;
  TnxSessionID mfSessionID = 0;
  TnxThreadPriority mfThreadPriority = 0;
  TnxMsgID mfMsgID = 0;
  uint8_t mfMsgType = 0;
  // bhErrorCode takes its low 16 bits; the full code picks the error text.
  uint32_t mfResultCode = 0;
  uint8_t mfVersion = nxClientMessageVersion;
  uint32_t mfParts = 0;
  uint8_t mfCompressType = 0;
  uint32_t mfCompressLimit = nxDefaultCompressLimit;
};

// The fields of a DoWrite of the connections, the rest as by default.
TnxMessageFields nxMessageFields(TnxTransportID aTransportID, TnxSessionID aSessionID,
                                 TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint8_t aMsgType,
                                 uint32_t aResultCode, uint8_t aCompressType) noexcept;

// Builds the message into aFrame (sized to bhLength). The error text comes
// from the thread's last converted exception (TnxErrorTextSegment). A
// message longer than nxMaxMessageSize raises EnxTransportException 12289.
void nxBuildMessage(const TnxMessageFields& aFields, std::span<const uint8_t> aPayload,
                    TnxHeapBuffer& aFrame);
// The same for a payload already in its final form (compressed by the
// sender when aUncompressedSize is not 0): it goes out unchanged and
// mfCompressLimit plays no part. The same limit applies.
void nxBuildFrame(const TnxMessageFields& aFields, uint32_t aUncompressedSize, std::span<const uint8_t> aPayload,
                  TnxHeapBuffer& aFrame);

// Only the header and the error-text segment of that frame, for a sender
// that writes the payload from where it is; aHead is sized to them plus
// aRoom bytes.
void nxBuildFrameHead(const TnxMessageFields& aFields, uint32_t aUncompressedSize, size_t aPayloadSize,
                      TnxHeapBuffer& aHead, size_t aRoom = 0);

enum class TnxReceiver : uint8_t { rcClient, rcServer };

// A received message as the check finds it; spans point into the bytes
// given to nxCheckMessage.
struct TnxCheckedMessage {
  // 0; 11276 for a broken message; 12039 for version 3 and above on a server.
  uint32_t cmError = 0;
  // The length in the header cannot be trusted: the connection has lost
  // its place in the stream and is dropped.
  bool cmDropConnection = false;
  bool cmHasErrorText = false;
  TnxErrorTextSpan cmErrorText;
  // Behind the segment; still compressed when bhUncompressedSize says so.
  std::span<const uint8_t> cmPayload;
};

// The check of every received message on every medium: aBody is what
// follows the header, exactly bhLength - 32 bytes. No side effects.
TnxCheckedMessage nxCheckMessage(const TnxBaseHeader& aHeader, std::span<const uint8_t> aBody,
                                 TnxReceiver aReceiver) noexcept;

struct TnxReceivedMessage {
  uint32_t rmError = 0;  // as cmError; a frame the compressor refuses is 11276
  bool rmDropConnection = false;
  // The payload as the rest of the processing sees it: in the received
  // bytes, or in the decompression buffer when it came compressed.
  std::span<const uint8_t> rmPayload;
  // The bytes the payload arrived in when it came compressed, else 0.
  uint32_t rmCompressedSize = 0;
};

// nxCheckMessage, then the error text into the thread's last converted
// exception as (bhErrorCode, text) (a server clears the record for a message
// without text), then decompression into aDecompressed (the receiver's
// buffer, valid until its next use). With rmError set the payload is empty.
// An unregistered compressor number raises EnxTransportException
// "Unknown CompressType "%d"".
TnxReceivedMessage nxTakeMessage(const TnxBaseHeader& aHeader, std::span<const uint8_t> aBody,
                                 TnxReceiver aReceiver, TnxHeapBuffer& aDecompressed);

}  // namespace revurov
