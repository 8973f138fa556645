// A client that writes frames built by a test on one socket pair to a
// listening socket-pair transport (or on any stream socket), and the
// enciphered log-in block.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lowlevel/cipher/blowfish_rc4.h"
#include "platform/endian.h"
#include "platform/socket.h"
#include "transport/login_block.h"
#include "transport/pooled_transport.h"
#include "transport/support/scripted_peer.h"
#include "transport/support/socket_pair_transport.h"

namespace revurov::testing {

using Frame = std::vector<uint8_t>;

// A client that speaks in frames built by the test, on one socket pair.
class TRawClient {
public:
  explicit TRawClient(const std::u16string& aServerName) : rcFd(TSocketPairDirectory::Dial(aServerName)) {}
  // Takes over a connected stream socket of any medium.
  explicit TRawClient(int aFd) : rcFd(aFd) {}
  ~TRawClient() {
    if (rcFd >= 0) platform::CloseSocket(rcFd);
  }

  bool Connected() const { return rcFd >= 0; }
  void Send(const Frame& aBytes) { ASSERT_TRUE(WriteAll(rcFd, aBytes.data(), aBytes.size())); }
  void Send(const TPeerFrame& aFrame) { Send(aFrame.Bytes()); }
  // A send the server may cut short by dropping the connection on what it
  // has read so far; false when it did.
  bool TrySend(const Frame& aBytes) { return WriteAll(rcFd, aBytes.data(), aBytes.size()); }
  // The next frame; empty at the end of the stream.
  Frame Receive() {
    Frame frame(nxHeaderSize);
    if (!ReadExactly(rcFd, frame.data(), nxHeaderSize)) return {};
    frame.resize(nxLoadHeader(frame.data()).bhLength);
    if (!ReadExactly(rcFd, frame.data() + nxHeaderSize, frame.size() - nxHeaderSize)) return {};
    return frame;
  }
  Frame Exchange(const TPeerFrame& aFrame) {
    Send(aFrame);
    return Receive();
  }
  // Registers a client transport (type 10) with aPayload (the heartbeat
  // interval as u32, or none): its handle and marker.
  void Open(const Frame& aPayload = {}) {
    const Frame answer = Exchange({.Type = nxmtOpenTransport, .Payload = aPayload});
    ASSERT_GE(answer.size(), nxHeaderSize + 4);
    Transport = nxLoadHeader(answer.data()).bhTransportID;
    Marker = platform::LoadU32(answer.data() + nxHeaderSize);
  }
  // Answers with code, session header and payload of a log-in.
  Frame Login(const Frame& aBlock, TnxTransportID aTransport, TnxMsgID aMsgID = 1) {
    return Exchange({.Type = nxmtLogin, .TransportID = aTransport, .MsgID = aMsgID, .Payload = aBlock});
  }

  int Fd() const { return rcFd; }
  // The end of the stream for the server.
  void Close() {
    if (rcFd >= 0) platform::CloseSocket(rcFd);
    rcFd = -1;
  }

  TnxTransportID Transport = 0;
  uint32_t Marker = 0;

private:
  int rcFd;
};

inline Frame EncipheredLogin(const std::u16string& aUser, const std::u16string& aPassword) {
  TnxLoginBlock block = nxBuildLoginBlock(aUser, aPassword, 1000, 47501);
  TnxBlowFishRC4 cipher(nxPooledTransportMessageKey());
  cipher.RandomIVBlock(block.data() + nxLoginIVOffset);
  cipher.Encode(block.data(), nxLoginEncipheredSize);
  cipher.Final(block.data() + nxLoginAuthOffset);
  return Frame(block.begin(), block.end());
}

}  // namespace revurov::testing
