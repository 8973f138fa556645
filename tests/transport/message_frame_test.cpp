#include "transport/message_frame.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "support/text_payload.h"
#include "transport/transport_exception.h"
#include "transport_test_support.h"

namespace revurov {
namespace {

using testing::BodyOf;
using testing::Bytes;
using testing::Hex;

void SetRecord(uint32_t aCode, std::u16string_view aText) {
  EnxBaseException::SetLastConvertedException(aCode, aText);
}

std::pair<uint32_t, std::u16string> Record() {
  std::pair<uint32_t, std::u16string> r;
  EnxBaseException::GetLastConvertedException(r.first, r.second);
  return r;
}

std::vector<uint8_t> LoginBlock() {
  std::vector<uint8_t> block(nxLoginBlockSize);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + 3);
  return block;
}

struct GoldenFrame {
  const char* name;
  TnxMessageFields fields;
  std::vector<uint8_t> payload;
  uint32_t recordCode;  // the thread's last converted exception before sending
  std::u16string recordText;
  std::vector<uint8_t> frame;
};

std::vector<GoldenFrame> GoldenFrames() {
  // Header columns: transport, session, version, priority, flags, reserved,
  // msg id, length, parts, error, type, compress type, uncompressed size.
  std::vector<GoldenFrame> rows = {
      {"request", {0x01020304, 0x0A0B0C0D, -3, 0x223, nxmtRequest, 0, 2, 0, 0, 512}, Hex("04000000"), 0, u"",
       Hex("04030201 0D0C0B0A 02 FD 00 00 23020000 24000000 00000000 0000 01 00 00000000 04000000")},
      {"reply", {0x01020304, 0x0A0B0C0D, -3, 0x223, nxmtReply, 0, 2, 0, 0, 512}, Hex("0102"), 0, u"",
       Hex("04030201 0D0C0B0A 02 FD 00 00 23020000 22000000 00000000 0000 02 00 00000000 0102")},
      {"post in parts", {9, 7, -15, 0x140, nxmtPost, 0, 2, 2, 0, 512}, {}, 0, u"",
       Hex("09000000 07000000 02 F1 00 00 40010000 20000000 02000000 0000 03 00 00000000")},
      {"open transport", {0, 0, 0, 0, nxmtOpenTransport, 0, 2, 0, 0, 512}, Hex("10270000"), 0, u"",
       Hex("00000000 00000000 02 00 00 00 00000000 24000000 00000000 0000 0A 00 00000000 10270000")},
      {"transport reply", {0x55, 0, 0, 0, nxmtTransportReply, 0, 2, 0, 0, 512}, Hex("EFCDAB00"), 0, u"",
       Hex("55000000 00000000 02 00 00 00 00000000 24000000 00000000 0000 0B 00 00000000 EFCDAB00")},
      {"attach transport", {0x55, 0, 0, 0, nxmtAttachTransport, 0, 2, 0, 0, 512}, Hex("EFCDAB00"), 0, u"",
       Hex("55000000 00000000 02 00 00 00 00000000 24000000 00000000 0000 0C 00 00000000 EFCDAB00")},
      {"login", {0x55, 0, 0, 1, nxmtLogin, 0, 2, 0, 0, 512}, LoginBlock(), 0, u"",
       Hex("55000000 00000000 02 00 00 00 01000000 38020000 00000000 0000 14 00 00000000")},
      {"login reply", {0x55, 0x77, 0, 1, nxmtLoginReply, 0, 2, 0, 0, 512}, Hex("77000000 8DB90000"), 0, u"",
       Hex("55000000 77000000 02 00 00 00 01000000 28000000 00000000 0000 15 00 00000000 77000000 8DB90000")},
      {"terminate session", {0x55, 0x77, 0, 0, nxmtTerminateSession, 0, 2, 0, 0, 512}, {}, 0, u"",
       Hex("55000000 77000000 02 00 00 00 00000000 20000000 00000000 0000 16 00 00000000")},
      {"disconnect", {0, 0, 0, 0, nxmtDisconnect, 0, 2, 0, 0, 512}, {}, 0, u"",
       Hex("00000000 00000000 02 00 00 00 00000000 20000000 00000000 0000 17 00 00000000")},
      {"register callback", {0x55, 0, 0, 0, nxmtRegisterCallback, 0, 2, 0, 0, 512}, {}, 0, u"",
       Hex("55000000 00000000 02 00 00 00 00000000 20000000 00000000 0000 1E 00 00000000")},
      {"callback registered", {0x55, 0, 0, 0, nxmtCallbackRegistered, 0, 2, 0, 0, 512}, {}, 0, u"",
       Hex("55000000 00000000 02 00 00 00 00000000 20000000 00000000 0000 1F 00 00000000")},
      {"keep-alive", {0x55, 0, 0, 0, nxmtKeepAlive, 0, 2, 0, 0, 512}, {}, 0, u"",
       Hex("55000000 00000000 02 00 00 00 00000000 20000000 00000000 0000 FE 00 00000000")},
      // A connection not yet registered is answered in version 0: no text.
      {"error in version 0", {0x55, 0x77, 5, 0x223, nxmtError, 12039, 0, 0, 0, 512}, {}, 12039, u"alt",
       Hex("55000000 77000000 00 05 00 00 23020000 20000000 00000000 072F FF 00 00000000")},
      {"reply with UTF-16 text", {0x55, 0x77, -3, 0x223, nxmtReply, 10036, 2, 0, 0, 512}, {}, 10036, u"Fehler \u00E4",
       Hex("55000000 77000000 02 FD 03 00 23020000 34000000 00000000 3427 02 00 00000000"
           "08000000 46006500 68006C00 65007200 2000E400")},
      {"reply with single-byte text", {0x55, 0x77, -3, 0x223, nxmtReply, 10036, 1, 0, 0, 512}, Hex("AABB"), 10036,
       u"Fehler \u00E4",
       Hex("55000000 77000000 01 FD 01 00 23020000 2E000000 00000000 3427 02 00 00000000"
           "08000000 4665686C 657220E4 AABB")},
  };
  for (GoldenFrame& row : rows)
    if (row.fields.mfMsgType == nxmtLogin) row.frame.insert(row.frame.end(), row.payload.begin(), row.payload.end());
  return rows;
}

TEST(MessageFrame, BuildsEveryMessageTypeByteForByte) {
  for (const GoldenFrame& row : GoldenFrames()) {
    SCOPED_TRACE(row.name);
    SetRecord(row.recordCode, row.recordText);
    TnxHeapBuffer frame;
    nxBuildMessage(row.fields, row.payload, frame);
    EXPECT_EQ(Bytes(frame), row.frame);
  }
  SetRecord(0, u"");
}

TEST(MessageFrame, DecodesEveryMessageTypeAndEncodesItAgain) {
  TnxHeapBuffer decompressed;
  for (const GoldenFrame& row : GoldenFrames()) {
    SCOPED_TRACE(row.name);
    SetRecord(0, u"");
    const TnxBaseHeader header = nxLoadHeader(row.frame.data());
    EXPECT_EQ(header.bhTransportID, row.fields.mfTransportID);
    EXPECT_EQ(header.bhSessionID, row.fields.mfSessionID);
    EXPECT_EQ(header.bhThreadPriority, row.fields.mfThreadPriority);
    EXPECT_EQ(header.bhMsgID, row.fields.mfMsgID);
    EXPECT_EQ(header.bhMsgType, row.fields.mfMsgType);
    EXPECT_EQ(header.bhVersion, row.fields.mfVersion);
    EXPECT_EQ(header.bhParts, row.fields.mfParts);
    EXPECT_EQ(header.bhErrorCode, row.fields.mfResultCode);
    EXPECT_EQ(header.bhLength, row.frame.size());
    uint8_t stored[nxHeaderSize];
    nxStoreHeader(header, stored);
    EXPECT_EQ(std::vector<uint8_t>(stored, stored + nxHeaderSize),
              std::vector<uint8_t>(row.frame.begin(), row.frame.begin() + nxHeaderSize));

    const TnxReceivedMessage received = nxTakeMessage(header, BodyOf(row.frame), TnxReceiver::rcClient, decompressed);
    ASSERT_EQ(received.rmError, 0u);
    EXPECT_EQ(std::vector<uint8_t>(received.rmPayload.begin(), received.rmPayload.end()), row.payload);
    if (header.bhFlags & mhfErrorMessage)
      EXPECT_EQ(Record(), std::make_pair(row.fields.mfResultCode, row.recordText));
    else
      EXPECT_EQ(Record().first, 0u);

    // Sent again from what was decoded (the text now in the thread's record).
    const TnxMessageFields again{header.bhTransportID, header.bhSessionID, header.bhThreadPriority,
                                 header.bhMsgID,       header.bhMsgType,   header.bhErrorCode,
                                 header.bhVersion,     header.bhParts,     header.bhCompressType,
                                 nxDefaultCompressLimit};
    TnxHeapBuffer frame;
    nxBuildMessage(again, received.rmPayload, frame);
    EXPECT_EQ(Bytes(frame), row.frame);
  }
}

TEST(MessageFrame, LoadsEveryFieldFromItsOwnOffset) {
  const std::vector<uint8_t> bytes = Hex("01020304 05060708 09 8A 0B 0C 0D0E0F10 11121314 15161718 191A 1B 1C 1D1E1F20");
  const TnxBaseHeader h = nxLoadHeader(bytes.data());
  EXPECT_EQ(h.bhTransportID, 0x04030201u);
  EXPECT_EQ(h.bhSessionID, 0x08070605u);
  EXPECT_EQ(h.bhVersion, 0x09);
  EXPECT_EQ(h.bhThreadPriority, -118);
  EXPECT_EQ(h.bhFlags, 0x0B);
  EXPECT_EQ(h.bhReserved3, 0x0C);
  EXPECT_EQ(h.bhMsgID, 0x100F0E0Du);
  EXPECT_EQ(h.bhLength, 0x14131211u);
  EXPECT_EQ(h.bhParts, 0x18171615u);
  EXPECT_EQ(h.bhErrorCode, 0x1A19);
  EXPECT_EQ(h.bhMsgType, 0x1B);
  EXPECT_EQ(h.bhCompressType, 0x1C);
  EXPECT_EQ(h.bhUncompressedSize, 0x201F1E1Du);
  uint8_t stored[nxHeaderSize];
  nxStoreHeader(h, stored);
  EXPECT_EQ(std::vector<uint8_t>(stored, stored + nxHeaderSize), bytes);
}

// ---- the error text on sending and receiving ----

struct SendTextRow {
  const char* name;
  uint32_t recordCode;
  std::u16string recordText;
  uint32_t result;
  uint8_t version;
  TnxMessageHeaderFlags flags;
  bool recordCleared;
};

TEST(MessageFrame, SendsTheThreadsErrorTextOnlyForItsOwnCode) {
  const SendTextRow rows[] = {
      {"result 0 never carries text", 10036, u"x", 0, 2, 0, false},
      {"version 0 carries no text", 10036, u"x", 10036, 0, 0, false},
      {"version 1: single-byte", 10036, u"x", 10036, 1, mhfErrorMessage, true},
      {"version 2: UTF-16", 10036, u"x", 10036, 2, mhfErrorMessage | mhfErrorMessageIsUnicode, true},
      {"another code keeps the record", 10036, u"x", 11276, 2, 0, false},
      {"an empty text is no text", 10036, u"", 10036, 2, 0, false},
      {"the whole 32-bit code is compared", 0x12734, u"x", 0x2734, 2, 0, false},
  };
  for (const SendTextRow& row : rows) {
    SCOPED_TRACE(row.name);
    SetRecord(row.recordCode, row.recordText);
    TnxMessageFields fields;
    fields.mfMsgType = nxmtReply;
    fields.mfResultCode = row.result;
    fields.mfVersion = row.version;
    TnxHeapBuffer frame;
    nxBuildMessage(fields, {}, frame);
    EXPECT_EQ(nxLoadHeader(frame.Data()).bhFlags, row.flags);
    EXPECT_EQ(Record(), row.recordCleared ? std::make_pair(0u, std::u16string())
                                          : std::make_pair(row.recordCode, row.recordText));
  }
  SetRecord(0, u"");
}

TEST(MessageFrame, ServerClearsTheRecordForAMessageWithoutTextAndClientKeepsIt) {
  TnxHeapBuffer decompressed;
  TnxHeapBuffer frame;
  nxBuildMessage({0, 0, 0, 0x223, nxmtRequest, 0, 2, 0, 0, 512}, {}, frame);
  const std::vector<uint8_t> bytes = Bytes(frame);
  const TnxBaseHeader header = nxLoadHeader(bytes.data());

  SetRecord(10036, u"x");
  EXPECT_EQ(nxTakeMessage(header, BodyOf(bytes), TnxReceiver::rcClient, decompressed).rmError, 0u);
  EXPECT_EQ(Record(), std::make_pair(10036u, std::u16string(u"x")));
  EXPECT_EQ(nxTakeMessage(header, BodyOf(bytes), TnxReceiver::rcServer, decompressed).rmError, 0u);
  EXPECT_EQ(Record(), std::make_pair(0u, std::u16string()));
}

TEST(MessageFrame, VersionZeroIgnoresTheTextFlags) {
  TnxHeapBuffer decompressed;
  // The flags say text, but version 0 writes and reads none: all is payload.
  std::vector<uint8_t> bytes = Hex("00000000 00000000 00 00 03 00 00000000 24000000 00000000 0000 02 00 00000000 FFFFFFFF");
  SetRecord(10036, u"x");
  const TnxReceivedMessage received = nxTakeMessage(nxLoadHeader(bytes.data()), BodyOf(bytes), TnxReceiver::rcServer, decompressed);
  EXPECT_EQ(received.rmError, 0u);
  EXPECT_EQ(received.rmPayload.size(), 4u);
  EXPECT_EQ(Record().first, 0u);
}

TEST(MessageFrame, RefusesToBuildAMessageAboveTheMaximum) {
  // Never touched: the size alone is refused.
  const std::unique_ptr<uint8_t[]> huge(new uint8_t[nxMaxMessageSize + size_t{1}]);
  TnxHeapBuffer frame;
  try {
    nxBuildMessage({}, {huge.get(), nxMaxMessageSize + size_t{1}}, frame);
    ADD_FAILURE() << "no exception";
  } catch (const EnxTransportException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeCapabilityNotSupported);
  }
}

// ---- broken messages ----

struct HeaderRow {
  const char* name;
  uint32_t length;
  uint32_t uncompressed;
  uint32_t error;
};

TEST(MessageFrame, ChecksLengthsInTheHeaderBeforeAnythingIsRead) {
  const HeaderRow rows[] = {
      {"length 0", 0, 0, nxeLostConnection},
      {"length 31", 31, 0, nxeLostConnection},
      {"length 32", 32, 0, 0},
      {"length $FFFFFFFF", 0xFFFFFFFF, 0, nxeLostConnection},
      {"length at the maximum", nxMaxMessageSize, 0, 0},
      {"length above the maximum", nxMaxMessageSize + 1, 0, nxeLostConnection},
      {"uncompressed size at the maximum", 40, nxMaxMessageSize, 0},
      {"uncompressed size above the maximum", 40, nxMaxMessageSize + 1, nxeLostConnection},
      {"uncompressed size $FFFFFFFF", 40, 0xFFFFFFFF, nxeLostConnection},
  };
  for (const HeaderRow& row : rows) {
    SCOPED_TRACE(row.name);
    TnxBaseHeader header;
    header.bhVersion = 2;
    header.bhLength = row.length;
    header.bhUncompressedSize = row.uncompressed;
    header.bhCompressType = 11;
    EXPECT_EQ(nxCheckHeader(header), row.error);
    if (row.error) {
      // The whole-message check drops the connection whatever the body.
      const TnxCheckedMessage checked = nxCheckMessage(header, {}, TnxReceiver::rcServer);
      EXPECT_EQ(checked.cmError, nxeLostConnection);
      EXPECT_TRUE(checked.cmDropConnection);
    }
  }
}

struct SegmentRow {
  const char* name;
  uint8_t version;
  TnxMessageHeaderFlags flags;
  const char* body;
  uint32_t error;
  size_t payload;  // bytes left behind the segment
};

TEST(MessageFrame, ChecksTheErrorTextAgainstWhatWasReceived) {
  TnxHeapBuffer decompressed;
  const SegmentRow rows[] = {
      {"UTF-16 text that fits", 2, 3, "02000000 41004200 EE", 0, 1},
      {"UTF-16 count one past the end", 2, 3, "03000000 41004200", nxeLostConnection, 0},
      {"UTF-16 count $80000000", 2, 3, "00000080", nxeLostConnection, 0},
      {"UTF-16 count $FFFFFFFF", 2, 3, "FFFFFFFF 4100", nxeLostConnection, 0},
      {"single-byte count one past the end", 1, 1, "05000000 41424344", nxeLostConnection, 0},
      {"single-byte count $80000000", 1, 1, "00000080 41", nxeLostConnection, 0},
      {"fewer than 4 bytes for the count", 2, 3, "010000", nxeLostConnection, 0},
      {"no bytes for the count", 2, 3, "", nxeLostConnection, 0},
      {"empty text", 2, 3, "00000000 EE", 0, 1},
      {"unicode flag alone is no text", 2, 2, "FFFFFFFF", 0, 4},
  };
  for (const SegmentRow& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<uint8_t> body = Hex(row.body);
    TnxBaseHeader header;
    header.bhVersion = row.version;
    header.bhFlags = row.flags;
    header.bhMsgType = nxmtReply;
    header.bhErrorCode = 10036;
    header.bhLength = static_cast<uint32_t>(nxHeaderSize + body.size());
    SetRecord(1, u"kept");
    for (TnxReceiver side : {TnxReceiver::rcClient, TnxReceiver::rcServer}) {
      const TnxCheckedMessage checked = nxCheckMessage(header, body, side);
      EXPECT_EQ(checked.cmError, row.error);
      EXPECT_FALSE(checked.cmDropConnection);
      if (!row.error) {
        EXPECT_EQ(checked.cmPayload.size(), row.payload);
      }
      const TnxReceivedMessage received = nxTakeMessage(header, body, side, decompressed);
      EXPECT_EQ(received.rmError, row.error);
      if (row.error) {
        EXPECT_TRUE(received.rmPayload.empty());
        EXPECT_EQ(Record(), std::make_pair(1u, std::u16string(u"kept")));
      }
    }
  }
  SetRecord(0, u"");
}

TEST(MessageFrame, DropsAMessageWhoseBodyIsNotItsLength) {
  TnxBaseHeader header;
  header.bhLength = 40;
  const std::vector<uint8_t> body(7);
  const TnxCheckedMessage checked = nxCheckMessage(header, body, TnxReceiver::rcClient);
  EXPECT_EQ(checked.cmError, nxeLostConnection);
  EXPECT_TRUE(checked.cmDropConnection);
}

TEST(MessageFrame, ServerRefusesVersionThreeAndAboveAndClientDoesNotTest) {
  for (uint8_t version : {3, 255}) {
    TnxBaseHeader header;
    header.bhVersion = version;
    header.bhLength = 32;
    EXPECT_EQ(nxCheckMessage(header, {}, TnxReceiver::rcServer).cmError, nxeIncompatibleVersion);
    EXPECT_FALSE(nxCheckMessage(header, {}, TnxReceiver::rcServer).cmDropConnection);
    EXPECT_EQ(nxCheckMessage(header, {}, TnxReceiver::rcClient).cmError, 0u);
  }
}

// ---- compression ----

class MessageCompression : public testing::LibraryStarted {};

struct CompressRow {
  const char* name;
  size_t size;
  bool random;
  uint8_t compressType;
  uint32_t limit;
  bool compressed;
};

std::vector<uint8_t> PayloadOf(size_t aSize, bool aRandom) {
  if (aRandom) {
    std::mt19937 rng(7);
    std::vector<uint8_t> out(aSize);
    for (uint8_t& b : out) b = static_cast<uint8_t>(rng());
    return out;
  }
  const std::string text = testing::TextPayload(aSize, 3);
  return {text.begin(), text.end()};
}

TEST_F(MessageCompression, CompressesStrictlyAboveTheLimitAndOnlyWhenSmaller) {
  TnxHeapBuffer decompressed;
  const CompressRow rows[] = {
      {"exactly the limit goes plain", 512, false, 11, 512, false},
      {"one byte more is compressed", 513, false, 11, 512, true},
      {"level 9 as well", 513, false, 19, 512, true},
      {"another limit", 300, false, 11, 100, true},
      {"random bytes go plain", 4096, true, 11, 512, false},
      {"compress type 0 goes plain", 4096, false, 0, 512, false},
      {"an unregistered number goes plain", 4096, false, 50, 512, false},
      {"empty payload", 0, false, 11, 0, false},
  };
  for (const CompressRow& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<uint8_t> payload = PayloadOf(row.size, row.random);
    TnxMessageFields fields;
    fields.mfMsgType = nxmtRequest;
    fields.mfCompressType = row.compressType;
    fields.mfCompressLimit = row.limit;
    TnxHeapBuffer frame;
    nxBuildMessage(fields, payload, frame);
    const std::vector<uint8_t> bytes = Bytes(frame);
    const TnxBaseHeader header = nxLoadHeader(bytes.data());
    // The number travels either way; receivers ignore it without a size.
    EXPECT_EQ(header.bhCompressType, row.compressType);
    EXPECT_EQ(header.bhUncompressedSize, row.compressed ? row.size : 0u);
    if (row.compressed)
      EXPECT_LT(header.bhLength, nxHeaderSize + row.size);
    else
      EXPECT_EQ(header.bhLength, nxHeaderSize + row.size);
    const TnxReceivedMessage received = nxTakeMessage(header, BodyOf(bytes), TnxReceiver::rcServer, decompressed);
    ASSERT_EQ(received.rmError, 0u);
    EXPECT_EQ(std::vector<uint8_t>(received.rmPayload.begin(), received.rmPayload.end()), payload);
  }
}

TEST_F(MessageCompression, DecompressesExactlyTheAnnouncedSize) {
  TnxHeapBuffer decompressed;
  const std::vector<uint8_t> payload = PayloadOf(1000, false);
  TnxMessageFields fields;
  fields.mfMsgType = nxmtReply;
  fields.mfCompressType = 11;
  TnxHeapBuffer frame;
  nxBuildMessage(fields, payload, frame);
  const std::vector<uint8_t> bytes = Bytes(frame);
  ASSERT_EQ(nxLoadHeader(bytes.data()).bhUncompressedSize, 1000u);

  const struct {
    const char* name;
    uint32_t size;
    uint32_t error;
  } rows[] = {{"exact", 1000, 0}, {"one byte less", 999, nxeLostConnection}, {"one byte more", 1001, nxeLostConnection}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TnxBaseHeader header = nxLoadHeader(bytes.data());
    header.bhUncompressedSize = row.size;
    const TnxReceivedMessage received = nxTakeMessage(header, BodyOf(bytes), TnxReceiver::rcClient, decompressed);
    EXPECT_EQ(received.rmError, row.error);
    EXPECT_EQ(received.rmPayload.size(), row.error ? 0u : row.size);
  }
}

TEST_F(MessageCompression, AFrameTheCompressorRefusesIsABrokenMessage) {
  TnxHeapBuffer decompressed;
  const std::vector<uint8_t> payload = PayloadOf(1000, false);
  TnxMessageFields fields;
  fields.mfCompressType = 11;
  TnxHeapBuffer frame;
  nxBuildMessage(fields, payload, frame);
  std::vector<uint8_t> bytes = Bytes(frame);

  std::vector<uint8_t> cut(bytes.begin(), bytes.end() - 1);
  TnxBaseHeader header = nxLoadHeader(cut.data());
  header.bhLength -= 1;
  EXPECT_EQ(nxTakeMessage(header, BodyOf(cut), TnxReceiver::rcClient, decompressed).rmError, nxeLostConnection);

  std::vector<uint8_t> empty(bytes.begin(), bytes.begin() + nxHeaderSize);
  header = nxLoadHeader(empty.data());
  header.bhLength = nxHeaderSize;
  EXPECT_EQ(nxTakeMessage(header, BodyOf(empty), TnxReceiver::rcClient, decompressed).rmError, nxeLostConnection);

  bytes[nxHeaderSize] ^= 0xFF;  // the frame's magic number
  EXPECT_EQ(nxTakeMessage(nxLoadHeader(bytes.data()), BodyOf(bytes), TnxReceiver::rcClient, decompressed).rmError,
            nxeLostConnection);
}

TEST_F(MessageCompression, AnUncompressedSizeWithoutCompressorNumberIsPlainPayload) {
  TnxHeapBuffer decompressed;
  std::vector<uint8_t> bytes = Hex("00000000 00000000 02 00 00 00 00000000 24000000 00000000 0000 02 00 00100000 01020304");
  const TnxReceivedMessage received = nxTakeMessage(nxLoadHeader(bytes.data()), BodyOf(bytes), TnxReceiver::rcClient, decompressed);
  EXPECT_EQ(received.rmError, 0u);
  EXPECT_EQ(received.rmPayload.size(), 4u);
}

TEST_F(MessageCompression, AnUnregisteredNumberOnReceiptRaises) {
  TnxHeapBuffer decompressed;
  std::vector<uint8_t> bytes = Hex("00000000 00000000 02 00 00 00 00000000 24000000 00000000 0000 02 32 00100000 01020304");
  try {
    (void)nxTakeMessage(nxLoadHeader(bytes.data()), BodyOf(bytes), TnxReceiver::rcClient, decompressed);
    ADD_FAILURE() << "no exception";
  } catch (const EnxTransportException& e) {
    EXPECT_NE(e.Message().find(u"Unknown CompressType \"50\""), std::u16string::npos);
  }
}

}  // namespace
}  // namespace revurov
