// Valid frames with random damage go through the check, the error-text
// reader and decompression: whatever the bytes, nothing is read outside
// them (the sanitizer build watches), and a message either is refused or
// yields a payload of the size its header announces.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "support/text_payload.h"
#include "transport/message_frame.h"
#include "transport/transport_exception.h"
#include "transport_test_support.h"

namespace revurov {
namespace {

class MessageMutation : public testing::LibraryStarted {};

std::vector<std::vector<uint8_t>> ValidFrames() {
  std::vector<std::vector<uint8_t>> frames;
  const std::string text = testing::TextPayload(3000, 5);
  const std::vector<uint8_t> payload(text.begin(), text.end());
  struct Kind {
    uint8_t version;
    uint32_t result;
    uint8_t compressType;
    size_t size;
  };
  for (const Kind& kind : {Kind{2, 10036, 11, 3000}, Kind{1, 10036, 19, 900}, Kind{2, 0, 0, 40},
                           Kind{2, 10036, 0, 0}, Kind{0, 0, 11, 600}}) {
    EnxBaseException::SetLastConvertedException(kind.result, u"Fehler \u00E4\u20AC");
    TnxMessageFields fields;
    fields.mfMsgType = nxmtReply;
    fields.mfResultCode = kind.result;
    fields.mfVersion = kind.version;
    fields.mfCompressType = kind.compressType;
    TnxHeapBuffer frame;
    nxBuildMessage(fields, std::span<const uint8_t>(payload).first(kind.size), frame);
    frames.push_back(testing::Bytes(frame));
  }
  EnxBaseException::SetLastConvertedException(0, u"");
  return frames;
}

void Mutate(std::vector<uint8_t>& aFrame, std::mt19937& aRng) {
  const int edits = 1 + static_cast<int>(aRng() % 4);
  for (int i = 0; i < edits; ++i) {
    switch (aRng() % 6) {
      case 0:  // a bit anywhere
        aFrame[aRng() % aFrame.size()] ^= static_cast<uint8_t>(1u << (aRng() % 8));
        break;
      case 1:  // a byte anywhere
        aFrame[aRng() % aFrame.size()] = static_cast<uint8_t>(aRng());
        break;
      case 2:  // a length-like field of the header or the segment count
        aFrame[std::vector<size_t>{16, 17, 28, 29, 32, 33, 35}[aRng() % 7] % aFrame.size()] =
            static_cast<uint8_t>(aRng());
        break;
      case 3:  // flags and version
        aFrame[8 + (aRng() % 3)] = static_cast<uint8_t>(aRng() % 8);
        break;
      case 4:  // cut the tail
        if (aFrame.size() > nxHeaderSize) aFrame.resize(nxHeaderSize + aRng() % (aFrame.size() - nxHeaderSize));
        break;
      default:  // grow the tail
        aFrame.resize(aFrame.size() + aRng() % 16, static_cast<uint8_t>(aRng()));
        break;
    }
  }
}

TEST_F(MessageMutation, DamagedFramesAreRefusedOrDecodeWithinTheirBytes) {
  TnxHeapBuffer decompressed;
  const std::vector<std::vector<uint8_t>> frames = ValidFrames();
  std::mt19937 rng(20261209);
  int decoded = 0, refused = 0;
  for (int round = 0; round < 30000; ++round) {
    std::vector<uint8_t> bytes = frames[rng() % frames.size()];
    Mutate(bytes, rng);
    const TnxBaseHeader header = nxLoadHeader(bytes.data());
    if (nxCheckHeader(header) != 0) {
      ++refused;
      continue;
    }
    // The medium reads bhLength - 32 bytes; a damaged length gives it less
    // or more than the frame held. Exactly sized, so a read past the end is
    // seen by the sanitizer.
    const size_t bodySize = header.bhLength - nxHeaderSize;
    if (bodySize > (1u << 20)) continue;  // a length the check lets pass, but costly to feed
    std::unique_ptr<uint8_t[]> body(new uint8_t[bodySize]);
    for (size_t i = 0; i < bodySize; ++i) body[i] = nxHeaderSize + i < bytes.size() ? bytes[nxHeaderSize + i] : 0;
    const std::span<const uint8_t> received(body.get(), bodySize);
    for (TnxReceiver side : {TnxReceiver::rcClient, TnxReceiver::rcServer}) {
      try {
        const TnxReceivedMessage message = nxTakeMessage(header, received, side, decompressed);
        if (message.rmError) {
          ++refused;
          EXPECT_TRUE(message.rmPayload.empty());
          continue;
        }
        ++decoded;
        if (header.bhUncompressedSize && header.bhCompressType)
          EXPECT_EQ(message.rmPayload.size(), header.bhUncompressedSize);
        else
          EXPECT_TRUE(message.rmPayload.data() >= body.get() &&
                      message.rmPayload.data() + message.rmPayload.size() <= body.get() + bodySize);
      } catch (const EnxTransportException&) {
        ++refused;  // a compressor number nobody registered
      }
    }
  }
  EnxBaseException::SetLastConvertedException(0, u"");
  // Both outcomes occur, or the damage is not reaching the decoder.
  EXPECT_GT(decoded, 1000);
  EXPECT_GT(refused, 1000);
}

}  // namespace
}  // namespace revurov
