// The tagged value format: every request, reply, dictionary and exception
// data stream is a sequence of values, each one tag byte followed by its
// payload, little-endian, without header or alignment. TnxWriter and
// TnxReader write and read it on any stream through a 4096-byte buffer;
// TnxRequestWriter and TnxReplyReader wrap one request/reply exchange.
//
// The reader's input comes from the network: every length and count is
// checked against the bytes left in the stream before anything is
// allocated or copied. A bad stream raises EReadError: "Ungültiger
// Eigenschaftswert" for a tag the value kind does not allow, "Stream-
// Lesefehler" (with the lengths) for data beyond the end. Writers and
// readers belong to one thread at a time.
//
// 8-bit text (vaString, vaLString) is in the system's ANSI code page
// (platform/code_page.h), converted by the library's wide-string routines.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/streams/kept_memory_stream.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/guid.h"
#include "platform/stream.h"
#include "platform/string_list.h"
#include "platform/variant.h"

namespace revurov {

class TnxWideStrings;

enum TValueType : uint8_t {
  vaNull = 0, vaList = 1, vaInt8 = 2, vaInt16 = 3, vaInt32 = 4, vaExtended = 5,
  vaString = 6, vaIdent = 7, vaFalse = 8, vaTrue = 9, vaBinary = 10, vaSet = 11,
  vaLString = 12, vaNil = 13, vaCollection = 14, vaSingle = 15, vaCurrency = 16,
  vaDate = 17, vaWString = 18, vaInt64 = 19, vaUTF8String = 20, vaDouble = 21,
};

constexpr int kTaggedBufferSize = 4096;

class TnxWriter : public TnxObject {
public:
  explicit TnxWriter(platform::TStream& aStream);
  // Flushes what is still buffered; a failure there is lost, so callers
  // that must know flush first.
  ~TnxWriter() override;

  void Write(const void* buffer, int64_t count);  // raw bytes, no tag
  void WriteValue(TValueType value) { WriteByte(value); }
  void WriteInteger(int32_t value);
  void WriteInteger(int64_t value);
  void WriteBoolean(bool value);
  void WriteString(std::u16string_view value);
  void WriteChar(char16_t value);
  void WriteFloat(long double value);
  void WriteDouble(double value);
  void WriteSingle(float value);
  void WriteCurrency(int64_t scaledBy10000);
  void WriteDate(double value);
  void WriteIdent(std::u16string_view ident);
  void WriteListBegin() { WriteByte(vaList); }
  void WriteListEnd() { WriteByte(vaNull); }
  // Raises EWriteError "Stream-Schreibfehler" for arrays and types this
  // layer cannot stream.
  void WriteVariant(const platform::TnxVariant& value);

  void WriteAnsiChar(char value);
  void WriteAnsiString(std::string_view value);
  // Each line converted to the system's ANSI code page and written as an
  // 8-bit string; characters without a mapping become the code page's
  // best fit or "?".
  void WriteAnsiStrings(const platform::TStringList& lines);
  void WriteBinary(const void* value, int32_t size);
  void WriteBytes(const std::vector<uint8_t>& value);
  // vaBinary of 16 bytes: D1, D2, D3 little-endian, then D4.
  void WriteGuid(const platform::TGUID& value);
  void WriteStrings(const platform::TStringList& lines);
  void WriteWideString_(std::u16string_view value);
  void WriteWideStrings(const TnxWideStrings& lines);

  void FlushBuffer();
  // Position in the stream including what is still buffered.
  int64_t Position();
  TnxWriter& TheWriter() { return *this; }

protected:
  TnxWriter() = default;
  void SetStream(platform::TStream* aStream) { fStream = aStream; }

private:
  void WriteByte(uint8_t b) {
    if (fBufPos == kTaggedBufferSize) FlushBuffer();
    fBuffer[fBufPos++] = b;
  }
  void WriteLength32(int64_t length);

  platform::TStream* fStream = nullptr;
  int fBufPos = 0;
  uint8_t fBuffer[kTaggedBufferSize];
};

class TnxReader : public TnxObject {
public:
  explicit TnxReader(platform::TStream& aStream);
  // Gives back what the buffer read ahead (see FlushBuffer).
  ~TnxReader() override;

  void Read(void* buffer, int64_t count);  // raw bytes, no tag
  TValueType ReadValue();
  TValueType NextValue();  // without consuming it
  bool EndOfList() { return NextValue() == vaNull; }

  int32_t ReadInteger();
  int64_t ReadInt64();
  bool ReadBoolean();
  std::u16string ReadString();
  // As ReadString, into aText with its memory reused: a loop over many
  // texts then allocates only when a text outgrows the last one.
  void ReadStringInto(std::u16string& aText);
  char16_t ReadChar();
  long double ReadFloat();
  double ReadDouble();
  float ReadSingle();
  int64_t ReadCurrency();
  double ReadDate();
  std::u16string ReadIdent();
  void ReadListBegin();
  void ReadListEnd();
  platform::TnxVariant ReadVariant();

  char ReadAnsiChar();
  // A vaBinary of exactly size bytes.
  void ReadBinary(void* value, int32_t size);
  std::vector<uint8_t> ReadBytes();
  // A vaBinary of exactly 16 bytes.
  platform::TGUID ReadGuid();
  // Replaces the lines inside one update bracket; the lines' objects are
  // nil. When the reading raises, the lines read before stay, no old ones.
  void ReadStrings(platform::TStringList& lines);
  std::u16string ReadWideString_();

  // Moves the stream's position back to the next unread byte and empties
  // the buffer, so that the stream can be read directly.
  void FlushBuffer();
  // Bytes left to read: buffered plus what the stream still holds.
  int64_t BytesLeft();
  TnxReader& TheReader() { return *this; }

protected:
  TnxReader() = default;
  void SetStream(platform::TStream* aStream) { fStream = aStream; }

private:
  uint8_t ReadByte() {
    if (fBufPos == fBufEnd) Refill();
    return fBuffer[fBufPos++];
  }
  void Refill();
  [[noreturn]] void InvalidValue();
  // A length read from the stream: refused when negative or beyond what
  // is left, before anything is allocated for it.
  void CheckLength(int64_t length);
  int32_t ReadIntegerOf(TValueType tag);
  int64_t ReadInt64Of(TValueType tag);
  void ReadStringOf(TValueType tag, std::u16string& text);

  platform::TStream* fStream = nullptr;
  int fBufPos = 0;
  int fBufEnd = 0;
  uint8_t fBuffer[kTaggedBufferSize];
};

using TnxMsgID = uint32_t;

// Carries a request out: sends aRequestStream's bytes as message aMsgID and
// writes the reply's payload into the stream *aReplyStream names (nil when
// no reply is wanted); returns 0 or an error code.
using TnxProcessStreamedRequest = std::function<uint32_t(
    TnxMsgID aMsgID, TnxMemoryStream* aRequestStream, TnxMemoryStream** aReplyStream,
    bool aCanSkipCantSkip)>;

class TnxReplyReader;

namespace detail {
// The reader's stream goes back to the thread's spares with it.
struct TnxOwnedMemoryStream {
  explicit TnxOwnedMemoryStream(std::unique_ptr<TnxMemoryStream> s) : stream(std::move(s)) {}
  ~TnxOwnedMemoryStream();
  TnxOwnedMemoryStream(const TnxOwnedMemoryStream&) = delete;
  TnxOwnedMemoryStream& operator=(const TnxOwnedMemoryStream&) = delete;
  std::unique_ptr<TnxMemoryStream> stream;
};
// A request is written, sent and dropped within one call on one thread: its
// stream is one the thread keeps, not memory taken from the system and
// given back for every request.
struct TnxKeptRequestStream {
  TnxKeptMemoryStream kept;
};
}  // namespace detail

class TnxRequestWriter : private detail::TnxKeptRequestStream, public TnxWriter {
public:
  explicit TnxRequestWriter(TnxProcessStreamedRequest aProcessStreamedRequest);
  ~TnxRequestWriter() override;

  // The reader is returned (and owned by this writer unless ReleaseReply)
  // whatever the result; read it only when aResult is 0.
  TnxReplyReader* Request(TnxMsgID aMsgID, uint32_t& aResult, bool aCanSkipCantSkip = false);
  uint32_t RequestNoReply(TnxMsgID aMsgID, bool aCanSkipCantSkip = false);
  uint32_t RequestIntoStream(TnxMsgID aMsgID, TnxMemoryStream*& aStream, bool aCanSkipCantSkip = false);
  TnxMemoryStream& StreamForWriting();
  // The last reader, now the caller's (null when there is none).
  std::unique_ptr<TnxReplyReader> ReleaseReply();

private:
  TnxProcessStreamedRequest rwProcessStreamedRequest;
  // What a failed request's callee left in the reply slot, reused next time.
  std::unique_ptr<TnxMemoryStream> rwReplyStream;
  std::unique_ptr<TnxReplyReader> rwReplyReader;
};

class TnxReplyReader : private detail::TnxOwnedMemoryStream, public TnxReader {
public:
  explicit TnxReplyReader(std::unique_ptr<TnxMemoryStream> aStream);
  ~TnxReplyReader() override;
  int64_t GetSize() { return rrStream().GetSize(); }
  TnxMemoryStream& StreamForReading();

private:
  TnxMemoryStream& rrStream() { return *stream; }
};

}  // namespace revurov
