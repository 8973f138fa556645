// TnxRemoteCursor: blobs. The cursor has no local cache yet, so every blob
// operation is a request (or a loop of chunked requests) to the server.
// The server's replies are checked before a byte of them reaches the
// caller's stream: a chunk either lands whole or leaves the stream as it
// was.
#include <algorithm>
#include <cstring>
#include <span>

#include "engine/abstract_database.h"
#include "engine/remote_cursor.h"
#include "engine/remote_cursor_wire.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"
#include "transport/heap_block.h"

namespace revurov {

namespace {

// The place a stream is put back to when a chunk fails.
class TStreamMark {
public:
  explicit TStreamMark(platform::TStream& aStream) : smStream(aStream) {
    smPosition = aStream.Position();
    smSize = aStream.GetSize();
  }
  void Restore() {
    smStream.SetSize(smSize);
    smStream.SetPosition(smPosition);
  }
  // On the way out of a raise: the raise is what the caller hears.
  void RestoreQuietly() noexcept {
    try {
      Restore();
    } catch (...) {
    }
  }
  // The bytes written since the mark.
  int64_t Advanced() { return smStream.Position() - smPosition; }
  int64_t Position() const noexcept { return smPosition; }

private:
  platform::TStream& smStream;
  int64_t smPosition = 0;
  int64_t smSize = 0;
};

// A chunk lands whole or not at all: a stream that takes part of it and
// then refuses the rest is put back before the refusal goes on.
void WriteChunk(platform::TStream& aStream, std::span<const uint8_t> aBytes) {
  if (aBytes.empty()) return;
  TStreamMark mark(aStream);
  try {
    aStream.WriteBuffer(aBytes.data(), static_cast<int64_t>(aBytes.size()));
  } catch (...) {
    mark.RestoreQuietly();
    throw;
  }
}

bool SnapshotDead(TnxBlobReadSnapshotState aState) noexcept {
  return aState == brssFailedToStart || aState == brssFailedToClose || aState == brssClosed;
}

void WriteRecID(TnxWriter& aWriter, const TnxRecID& aRecID) {
  aWriter.WriteInteger(int64_t{aRecID.ridRefNr});
  aWriter.WriteInteger(int64_t{aRecID.ridInsertLSN});
}

// Where a renumbered blob is followed: each number once per call.
class TBlobNrTrail {
public:
  explicit TBlobNrTrail(TnxBlobNr aFirst) : btCurrent(aFirst), btSeen{aFirst} {}
  TnxBlobNr Current() const noexcept { return btCurrent; }
  // True when the 13058 in aResult names a number not yet tried, which
  // becomes the current one.
  bool Follow(uint32_t aResult, const TnxNewBlobNr& aReported) {
    if (aResult != nxeBlobModified || !aReported.nbnSet) return false;
    if (std::find(btSeen.begin(), btSeen.end(), aReported.nbnBlobNr) != btSeen.end()) return false;
    btCurrent = aReported.nbnBlobNr;
    btSeen.push_back(btCurrent);
    return true;
  }
  // A number a successful reply reports.
  void Take(const TnxNewBlobNr& aReported) {
    if (!aReported.nbnSet || aReported.nbnBlobNr == btCurrent) return;
    btCurrent = aReported.nbnBlobNr;
    btSeen.push_back(btCurrent);
  }
  // The caller's record at the end: the final number, set when it moved.
  void Report(TnxNewBlobNr* aNewBlobNr, TnxBlobNr aCallers, const TnxNewBlobNr& aLast) const {
    if (!aNewBlobNr) return;
    // A 13058 whose number was seen before still tells the caller of it.
    const TnxBlobNr final = aLast.nbnSet ? aLast.nbnBlobNr : btCurrent;
    *aNewBlobNr = {final, final != aCallers};
  }

private:
  TnxBlobNr btCurrent;
  std::vector<TnxBlobNr> btSeen;
};

// A raw reply as the request path hands it over: a library-heap block,
// read in place (a chunk is not copied again).
struct TBlobReply {
  TnxRecordBufferPtr block;
  int32_t len = 0;
  const uint8_t* data() const noexcept { return block.get(); }
  size_t size() const noexcept { return block ? static_cast<size_t>(len) : 0; }
  bool empty() const noexcept { return size() == 0; }
  uint8_t operator[](size_t aIndex) const noexcept { return block.get()[aIndex]; }
};

}  // namespace

std::unique_ptr<TnxRequestWriter> TnxRemoteCursor::rcCreateRequest() {
  auto writer = std::make_unique<TnxRequestWriter>(
      [this](TnxMsgID aMsgID, TnxMemoryStream* aRequest, TnxMemoryStream** aReply, bool aCanSkip) -> uint32_t {
        return rcRequest(aMsgID, aRequest ? aRequest->Memory() : nullptr,
                         aRequest ? static_cast<int32_t>(aRequest->GetSize()) : 0, aReply ? *aReply : nullptr,
                         aCanSkip);
      });
  writer->WriteInteger(static_cast<int32_t>(rcCursorID));
  return writer;
}

std::unique_ptr<TnxRequestWriter> TnxRemoteCursor::rcCreateRequestDirect() {
  auto writer = std::make_unique<TnxRequestWriter>(
      [this](TnxMsgID aMsgID, TnxMemoryStream* aRequest, TnxMemoryStream** aReply, bool) -> uint32_t {
        platform::TStream* reply = aReply ? *aReply : nullptr;
        return rcSession.ProcessRequestDirect(rcRemoteThreadPriority, aMsgID, Timeout(),
                                              aRequest ? aRequest->Memory() : nullptr,
                                              aRequest ? static_cast<int32_t>(aRequest->GetSize()) : 0,
                                              reply ? &reply : nullptr, nullptr, nmdStream);
      });
  writer->WriteInteger(static_cast<int32_t>(rcCursorID));
  return writer;
}

bool TnxRemoteCursor::rcBlobRecordForm(const TnxRecID& aRecID) const noexcept {
  return rcServerVersion > nxDelayedBookmarkMinServer && aRecID.ridRefNr != 0;
}

uint32_t TnxRemoteCursor::rcBlobRequest(TnxMsgID aMsgID, const std::vector<uint8_t>& aPayload,
                                        TnxRecordBufferPtr* aReply, int32_t* aReplyLen, size_t aMinReply) {
  int32_t len = 0;
  const uint32_t result = rcRequestBlock(aMsgID, aPayload.data(), static_cast<int32_t>(aPayload.size()), aReply,
                                         aReply ? &len : nullptr, false);
  if (aReplyLen) *aReplyLen = aReply && *aReply ? len : 0;
  if (aReply && result == 0 && size_t(aReplyLen ? *aReplyLen : 0) < aMinReply) return nxeMessageUnrecognized;
  return result;
}

uint32_t TnxRemoteCursor::rcCacheBlob(const TnxRecID&, int32_t, TnxBlobNr, TnxNewBlobNr*) {
  // Only a cursor with a local cache table keeps blobs.
  return nxeOperationNotApplicable;
}

// ---- create, delete, free, truncate ----

uint32_t TnxRemoteCursor::rcBlobCreate(const TnxRecID& aRecID, int32_t aFieldNo, const std::u16string* aFileName,
                                       TnxBlobNr& aBlobNr) {
  aBlobNr = 0;
  try {
    const bool recordForm = rcBlobRecordForm(aRecID);
    const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
      w.WriteInteger(aFieldNo);
      if (aFileName) w.WriteString(*aFileName);
      if (recordForm) WriteRecID(w, aRecID);
    });
    const TnxMsgID id = (aFileName ? nxnmCursorBlobCreateFile : nxnmCursorBlobCreate) +
                        (recordForm ? nxnmCursorBlobRecordForm : 0);
    TBlobReply reply;
    const uint32_t result = rcBlobRequest(id, payload, &reply.block, &reply.len, 8);
    if (result == 0) aBlobNr = platform::LoadLE<int64_t>(reply.data());
    return result;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::BlobCreate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr) {
  return rcBlobCreate(aRecID, aFieldNo, nullptr, aBlobNr);
}

uint32_t TnxRemoteCursor::BlobCreateFile(const TnxRecID& aRecID, int32_t aFieldNo, std::u16string_view aFileName,
                                         TnxBlobNr& aBlobNr) {
  const std::u16string name(aFileName);
  return rcBlobCreate(aRecID, aFieldNo, &name, aBlobNr);
}

uint32_t TnxRemoteCursor::BlobDelete(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) {
  try {
    const bool recordForm = rcBlobRecordForm(aRecID);
    const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
      w.WriteInteger(aFieldNo);
      w.WriteInteger(int64_t{aBlobNr});
      if (recordForm) WriteRecID(w, aRecID);
    });
    const TnxMsgID id = nxnmCursorBlobDelete + (recordForm ? nxnmCursorBlobRecordForm : 0);
    return rcBlobRequest(id, payload, nullptr, nullptr, 0);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::BlobFree(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) {
  try {
    const bool recordForm = rcBlobRecordForm(aRecID);
    const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
      w.WriteInteger(aFieldNo);
      w.WriteInteger(int64_t{aBlobNr});
      if (recordForm) WriteRecID(w, aRecID);
    });
    const TnxMsgID id = nxnmCursorBlobFree + (recordForm ? nxnmCursorBlobRecordForm : 0);
    return rcBlobRequest(id, payload, nullptr, nullptr, 0);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::BlobTruncate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                       uint32_t aBlobLength) {
  try {
    const bool recordForm = rcBlobRecordForm(aRecID);
    const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
      w.WriteInteger(aFieldNo);
      w.WriteInteger(int64_t{aBlobNr});
      w.WriteInteger(int64_t{aBlobLength});
      if (recordForm) WriteRecID(w, aRecID);
    });
    const TnxMsgID id = nxnmCursorBlobTruncate + (recordForm ? nxnmCursorBlobRecordForm : 0);
    return rcBlobRequest(id, payload, nullptr, nullptr, 0);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

// ---- writes ----

uint32_t TnxRemoteCursor::rcBlobWriteInner(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                           uint32_t aOffset, uint32_t aLen, const void* aBlob) {
  const bool recordForm = rcBlobRecordForm(aRecID);
  std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
    w.WriteInteger(aFieldNo);
    w.WriteInteger(int64_t{aBlobNr});
    w.WriteInteger(int64_t{aOffset});
    w.WriteInteger(int64_t{aLen});
    if (recordForm) WriteRecID(w, aRecID);
  });
  const size_t header = payload.size();
  payload.resize(header + aLen);
  if (aLen) std::memcpy(payload.data() + header, aBlob, aLen);
  return rcBlobRequest(nxnmCursorBlobWrite + (recordForm ? nxnmCursorBlobRecordForm : 0), payload, nullptr, nullptr, 0);
}

uint32_t TnxRemoteCursor::BlobWrite(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset,
                                    uint32_t aLen, const void* aBlob) {
  if (aLen != 0 && !aBlob) return nxeInvalidParameter;
  try {
    const auto* data = static_cast<const uint8_t*>(aBlob);
    uint32_t done = 0;
    while (done < aLen) {
      const uint32_t chunk = std::min(aLen - done, nxRemoteBlobChunkSize);
      if (uint32_t result = rcBlobWriteInner(aRecID, aFieldNo, aBlobNr, aOffset + done, chunk, data + done))
        return result;
      done += chunk;
    }
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::BlobReplace(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr, uint32_t aLen,
                                      const void* aBlob) {
  if (rcServerVersion <= nxDelayedBookmarkMinServer || !nxClientFeatureOn(cfMessageReduction))
    return TnxAbstractCursor::BlobReplace(aRecID, aFieldNo, aBlobNr, aLen, aBlob);
  if (aLen != 0 && !aBlob) return nxeInvalidParameter;
  try {
    const auto* data = static_cast<const uint8_t*>(aBlob);
    const uint32_t first = std::min(aLen, nxRemoteBlobChunkSize);
    {
      const std::unique_ptr<TnxRequestWriter> writer = rcCreateRequest();
      writer->WriteInteger(aFieldNo);
      writer->WriteInteger(int64_t{aBlobNr});
      writer->WriteInteger(int64_t{first});
      WriteRecID(*writer, aRecID);
      if (first) writer->Write(data, first);
      uint32_t result = 0;
      TnxReplyReader* reader = writer->Request(nxnmCursorBlobReplace, result);
      // The number comes whatever the code; without one the caller's stays.
      if (reader && reader->GetSize() > 0) aBlobNr = reader->ReadInt64();
      if (result != 0) return result;
    }
    for (uint32_t done = first; done < aLen;) {
      const uint32_t chunk = std::min(aLen - done, nxRemoteBlobChunkSize);
      if (uint32_t result = rcBlobWriteInner(aRecID, aFieldNo, aBlobNr, done, chunk, data + done)) return result;
      done += chunk;
    }
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

// ---- reads ----

uint32_t TnxRemoteCursor::rcBlobReadInner(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                          uint32_t aOffset, uint32_t aLen, platform::TStream& aStream,
                                          bool aReadOriginal, TnxNewBlobNr* aNewBlobNr) {
  if (aNewBlobNr) *aNewBlobNr = {aBlobNr, false};
  const bool recordForm = rcBlobRecordForm(aRecID);
  const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
    w.WriteInteger(aFieldNo);
    w.WriteInteger(int64_t{aBlobNr});
    w.WriteInteger(int64_t{aOffset});
    w.WriteInteger(int64_t{aLen});
    w.WriteBoolean(aReadOriginal);
    if (recordForm) {
      WriteRecID(w, aRecID);
      w.WriteBoolean(aNewBlobNr != nullptr);
    }
  });
  // Read in place: the chunk goes from the transport's buffer to the
  // stream, checked first, with no copy between; so a failure leaves the
  // stream alone wherever it stands.
  const size_t header = recordForm ? nxBlobReadReplyHeader : 0;
  auto take = [&](uint32_t aCode, std::span<const uint8_t> aReply) -> uint32_t {
    if (recordForm) {
      // The header comes whatever the code.
      if (aReply.size() < header) return nxeMessageUnrecognized;
      const uint32_t count = platform::LoadU32(aReply.data());
      if (uint64_t{count} + header != aReply.size() || count > aLen) return nxeMessageUnrecognized;
      if (aReply[4] && aNewBlobNr) *aNewBlobNr = {platform::LoadLE<int64_t>(aReply.data() + 5), true};
    }
    if (aCode != 0) return aCode;
    if (aReply.size() - header > aLen) return nxeMessageUnrecognized;
    WriteChunk(aStream, aReply.subspan(header));
    return 0;
  };
  return rcRequestInPlace(nxnmCursorBlobRead + (recordForm ? nxnmCursorBlobRecordForm : 0), payload.data(),
                          static_cast<int32_t>(payload.size()), take);
}

uint32_t TnxRemoteCursor::rcBlobReadSnapshotedInner(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                    uint32_t aOffset, uint32_t aLen, platform::TStream& aStream,
                                                    bool aReadOriginal, TnxBlobReadSnapshotState& aState,
                                                    uint32_t* aBlobLength, TnxNewBlobNr* aNewBlobNr) {
  if (aNewBlobNr) *aNewBlobNr = {aBlobNr, false};
  const bool recordForm = rcBlobRecordForm(aRecID);
  const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
    w.WriteInteger(aFieldNo);
    w.WriteInteger(int64_t{aBlobNr});
    w.WriteInteger(int64_t{aOffset});
    w.WriteInteger(int64_t{aLen});
    w.WriteBoolean(aReadOriginal);
    w.WriteInteger(int32_t{aState});
    w.WriteBoolean(aBlobLength != nullptr);
    if (recordForm) {
      WriteRecID(w, aRecID);
      w.WriteBoolean(aNewBlobNr != nullptr);
    }
  });
  const size_t header = recordForm ? nxBlobSnapshotRecordReplyHeader : nxBlobSnapshotReplyHeader;
  auto take = [&](uint32_t aCode, std::span<const uint8_t> aReply) -> uint32_t {
    if (aReply.size() < header || aReply[0] > brssClosed) return nxeMessageUnrecognized;
    aState = static_cast<TnxBlobReadSnapshotState>(aReply[0]);
    if (aBlobLength) *aBlobLength = platform::LoadU32(aReply.data() + 1);
    const uint32_t count = platform::LoadU32(aReply.data() + 5);
    if (recordForm && aReply[9] && aNewBlobNr) *aNewBlobNr = {platform::LoadLE<int64_t>(aReply.data() + 10), true};
    if (uint64_t{count} + header != aReply.size() || count > aLen) return nxeMessageUnrecognized;
    if (aCode != 0) return aCode;
    WriteChunk(aStream, aReply.subspan(header));
    return 0;
  };
  return rcRequestInPlace(nxnmCursorBlobReadSnapshot + (recordForm ? nxnmCursorBlobRecordForm : 0), payload.data(),
                          static_cast<int32_t>(payload.size()), take);
}

void TnxRemoteCursor::rcBlobSnapshotClose(TnxBlobReadSnapshotState& aState) noexcept {
  if (aState != brssStarted) return;
  try {
    if (Database()->TransactionRollback() == 0) aState = brssClosed;
  } catch (...) {
    // The read's own result is what the caller hears.
  }
}

uint32_t TnxRemoteCursor::rcBlobReadOuter(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                          uint32_t aOffset, uint32_t aLen, platform::TStream& aStream,
                                          bool aReadOriginal, TnxNewBlobNr* aNewBlobNr) {
  auto* memory = dynamic_cast<TnxMemoryStream*>(&aStream);
  uint32_t chunk = std::min(aLen, nxRemoteBlobChunkSize);
  int64_t capacityTarget = aLen <= nxRemoteBlobChunkSize ? aStream.Position() + aLen : -1;
  TnxBlobReadSnapshotState state = brssNone;
  bool askLength = false;
  if (rcServerVersion >= nxBlobSnapshotReadMinServer && aLen > nxRemoteBlobChunkSize &&
      nxClientFeatureOn(cfMessageReduction)) {
    state = brssRequestStart;
    askLength = memory != nullptr;
  }
  TBlobNrTrail trail(aBlobNr);
  TnxNewBlobNr last{aBlobNr, false};
  uint32_t remaining = aLen;
  uint32_t offset = aOffset;
  uint32_t result = 0;
  try {
    while (chunk > 0) {
      if (capacityTarget >= 0) {
        if (memory && memory->Capacity() < capacityTarget) memory->SetCapacity(capacityTarget);
        capacityTarget = -1;
      }
      TStreamMark mark(aStream);
      last = {trail.Current(), false};
      if (state != brssNone && state != brssUnneccesary) {
        if (chunk == remaining && state == brssStarted) state = brssRequestClose;
        uint32_t blobLength = 0;
        result = rcBlobReadSnapshotedInner(aRecID, aFieldNo, trail.Current(), offset, chunk, aStream, aReadOriginal,
                                           state, askLength ? &blobLength : nullptr, aNewBlobNr ? &last : nullptr);
        if (result == 0 && askLength) {
          remaining = std::min(remaining, blobLength > offset ? blobLength - offset : 0u);
          capacityTarget = mark.Position() + remaining;
          askLength = false;
        }
      } else {
        result = rcBlobReadInner(aRecID, aFieldNo, trail.Current(), offset, chunk, aStream, aReadOriginal,
                                 aNewBlobNr ? &last : nullptr);
      }
      if (result != 0) {
        // The caller repeats a read of a renumbered blob.
        mark.Restore();
        break;
      }
      trail.Take(last);
      const auto read = static_cast<uint32_t>(mark.Advanced());
      if (read < chunk) break;
      remaining -= std::min(read, remaining);
      offset += read;
      chunk = std::min(remaining, nxRemoteBlobChunkSize);
    }
  } catch (...) {
    rcBlobSnapshotClose(state);
    throw;
  }
  rcBlobSnapshotClose(state);
  trail.Report(aNewBlobNr, aBlobNr, last);
  return result;
}

uint32_t TnxRemoteCursor::rcBlobReadSnapshotedOuter(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                    uint32_t aOffset, uint32_t aLen, platform::TStream& aStream,
                                                    bool aReadOriginal, TnxBlobReadSnapshotState& aState,
                                                    uint32_t* aBlobLength, TnxNewBlobNr* aNewBlobNr) {
  if (SnapshotDead(aState)) return nxeInvalidParameter;
  if (aLen <= nxRemoteBlobChunkSize)
    return rcBlobReadSnapshotedInner(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOriginal, aState,
                                     aBlobLength, aNewBlobNr);
  const TnxBlobReadSnapshotState entry = aState;
  uint32_t localLength = 0;
  uint32_t* length = aBlobLength ? aBlobLength : &localLength;
  bool askLength = true;
  TBlobNrTrail trail(aBlobNr);
  TnxNewBlobNr last{aBlobNr, false};
  uint32_t remaining = aLen;
  uint32_t offset = aOffset;
  uint32_t result = 0;
  auto close = [&] {
    if (entry == brssRequestClose) rcBlobSnapshotClose(aState);
  };
  try {
    // The snapshot stays open until the last chunk asks to close it.
    if (entry == brssRequestClose) aState = brssStarted;
    for (uint32_t chunk = std::min(remaining, nxRemoteBlobChunkSize); chunk > 0;
         chunk = std::min(remaining, nxRemoteBlobChunkSize)) {
      if (chunk == remaining && entry == brssRequestClose && aState == brssStarted) aState = brssRequestClose;
      if (SnapshotDead(aState)) {
        result = nxeInvalidParameter;
        break;
      }
      TStreamMark mark(aStream);
      last = {trail.Current(), false};
      result = rcBlobReadSnapshotedInner(aRecID, aFieldNo, trail.Current(), offset, chunk, aStream, aReadOriginal,
                                         aState, askLength ? length : nullptr, aNewBlobNr ? &last : nullptr);
      if (result != 0) {
        mark.Restore();
        if (trail.Follow(result, last)) continue;
        break;
      }
      trail.Take(last);
      if (askLength) {
        remaining = std::min(remaining, *length > offset ? *length - offset : 0u);
        askLength = false;
      }
      const auto read = static_cast<uint32_t>(mark.Advanced());
      remaining -= std::min(read, remaining);
      offset += read;
      // A short chunk is the end of the blob.
      if (read < chunk) break;
    }
  } catch (...) {
    close();
    throw;
  }
  close();
  trail.Report(aNewBlobNr, aBlobNr, last);
  return result;
}

uint32_t TnxRemoteCursor::sbcBlobRead(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset,
                                      uint32_t aLen, platform::TStream& aStream, bool aReadOriginal,
                                      TnxNewBlobNr* aNewBlobNr) {
  // A stream that refuses the bytes raises: a code at the boundary, as for
  // every other cursor operation.
  try {
    return rcBlobReadOuter(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOriginal, aNewBlobNr);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::BlobReadSnapshoted(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                             uint32_t aOffset, uint32_t aLen, platform::TStream& aStream,
                                             bool aReadOriginal, TnxBlobReadSnapshotState& aState,
                                             uint32_t* aBlobLength, TnxNewBlobNr* aNewBlobNr) {
  if (SnapshotDead(aState)) return nxeInvalidParameter;
  try {
    if ((aState == brssNone || aState == brssUnneccesary) && !aBlobLength)
      return sbcBlobRead(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOriginal, aNewBlobNr);
    if (rcServerVersion < nxBlobServerSnapshotMinServer || !nxClientFeatureOn(cfMessageReduction))
      return TnxAbstractCursor::BlobReadSnapshoted(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOriginal,
                                                   aState, aBlobLength, aNewBlobNr);
    return rcBlobReadSnapshotedOuter(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOriginal, aState,
                                     aBlobLength, aNewBlobNr);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

// ---- length ----

uint32_t TnxRemoteCursor::rcBlobGetLengthInner(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                               uint32_t& aLength, bool aReadOriginal, TnxNewBlobNr* aNewBlobNr) {
  aLength = 0;
  const bool recordForm = rcBlobRecordForm(aRecID);
  const std::vector<uint8_t> payload = nxCursorTagged(rcCursorID, [&](TnxWriter& w) {
    w.WriteInteger(aFieldNo);
    w.WriteInteger(int64_t{aBlobNr});
    w.WriteBoolean(aReadOriginal);
    if (recordForm) {
      WriteRecID(w, aRecID);
      w.WriteBoolean(aNewBlobNr != nullptr);
    }
  });
  TBlobReply reply;
  const uint32_t result = rcBlobRequest(nxnmCursorBlobGetLength + (recordForm ? nxnmCursorBlobRecordForm : 0),
                                        payload, &reply.block, &reply.len, recordForm ? nxBlobLengthRecordReply : 4);
  if (recordForm && reply.size() >= size_t{nxBlobLengthRecordReply} && reply[4] && aNewBlobNr)
    *aNewBlobNr = {platform::LoadLE<int64_t>(reply.data() + 5), true};
  if (result == 0) aLength = platform::LoadU32(reply.data());
  return result;
}

uint32_t TnxRemoteCursor::sbcBlobGetLength(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                           uint32_t& aLength, bool aReadOriginal, TnxNewBlobNr* aNewBlobNr) {
  try {
    TBlobNrTrail trail(aBlobNr);
    TnxNewBlobNr last{aBlobNr, false};
    uint32_t result = 0;
    for (;;) {
      last = {trail.Current(), false};
      result = rcBlobGetLengthInner(aRecID, aFieldNo, trail.Current(), aLength, aReadOriginal,
                                    aNewBlobNr ? &last : nullptr);
      if (!trail.Follow(result, last)) break;
    }
    trail.Take(last);
    trail.Report(aNewBlobNr, aBlobNr, last);
    return result;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

// ---- batches and cancelling ----

uint32_t TnxRemoteCursor::BlobBatchProcess(const TnxBlobBatchRequest& aRequest, std::vector<uint8_t>& aReply) {
  aReply.assign(2, 0);
  if (!nxBlobBatchRequestIsAssigned(aRequest)) return 0;
  try {
    const std::unique_ptr<TnxRequestWriter> writer = rcCreateRequest();
    nxWriteBlobBatchRequest(aRequest, *writer);
    uint32_t result = 0;
    TnxReplyReader* reader = writer->Request(nxnmCursorBlobBatch, result);
    if (result != 0) return result;
    TnxMemoryStream& reply = reader->StreamForReading();
    const auto* bytes = static_cast<const uint8_t*>(reply.Memory());
    const int64_t size = reply.GetSize();
    if (size < 2) return nxeMessageUnrecognized;
    const uint16_t count = platform::LoadU16(bytes);
    // Entries the request never sent have nothing to be paired with.
    if (count > aRequest.bbrqEntries.size() || size < 2 + 8 * int64_t{count}) return nxeMessageUnrecognized;
    aReply.assign(bytes, bytes + 2 + 8 * size_t{count});
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxRemoteCursor::BlobsCancel(TnxRefNr aRefNr) {
  const TnxSpecialFieldsInfo* sfi = SFI();
  if (!sfi || sfi->sfiBlobFields.empty()) return 0;
  if (!((Capabilities() >> accCancelBlobs) & 1)) return nxeCapabilityNotSupported;
  try {
    const std::unique_ptr<TnxRequestWriter> writer = rcCreateRequest();
    writer->WriteInteger(int64_t{aRefNr});
    return writer->RequestNoReply(nxnmCursorBlobsCancel);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

}  // namespace revurov
