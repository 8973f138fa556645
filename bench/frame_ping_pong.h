// The plain-socket peer of the loopback benchmarks: request and reply
// frames built as the transport frames them, moved over a blocking TCP
// connection to a thread that echoes the reply for each request.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "transport/message_frame.h"

namespace revurov::bench {

inline std::vector<uint8_t> Frame(TnxMsgID aMsgID, uint8_t aType, const std::vector<uint8_t>& aPayload) {
  TnxMessageFields fields;
  fields.mfMsgID = aMsgID;
  fields.mfMsgType = aType;
  TnxHeapBuffer head;
  nxBuildFrameHead(fields, 0, aPayload.size(), head);
  std::vector<uint8_t> frame(head.Data(), head.Data() + head.Size());
  frame.insert(frame.end(), aPayload.begin(), aPayload.end());
  return frame;
}

inline bool ReadAll(int aFd, uint8_t* aInto, size_t aCount) {
  while (aCount > 0) {
    const int64_t n = platform::SocketRead(aFd, aInto, aCount);
    if (n <= 0) return false;
    aInto += n;
    aCount -= static_cast<size_t>(n);
  }
  return true;
}

// One round trip of aRequest and aReply per iteration.
inline void RunFramePingPong(benchmark::State& aState, const std::vector<uint8_t>& aRequest,
                             const std::vector<uint8_t>& aReply) {
  const int listener = platform::TcpListen({platform::kInet4Loopback, 0}, 4);
  platform::TInet4Address local;
  platform::SocketLocalAddress(listener, local);
  std::thread peer([&] {
    platform::TInet4Address remote;
    const int fd = platform::TcpAccept(listener, remote);
    std::vector<uint8_t> in(aRequest.size());
    const platform::TSocketBuffer out{aReply.data(), aReply.size()};
    while (fd >= 0 && ReadAll(fd, in.data(), in.size()) && platform::SocketWriteAll(fd, &out, 1)) {
    }
    if (fd >= 0) platform::CloseSocket(fd);
  });
  const int fd = platform::TcpConnect(local, 3000);
  std::vector<uint8_t> in(aReply.size());
  const platform::TSocketBuffer out{aRequest.data(), aRequest.size()};
  for (auto _ : aState) {
    if (!platform::SocketWriteAll(fd, &out, 1) || !ReadAll(fd, in.data(), in.size())) {
      aState.SkipWithError("ping-pong failed");
      break;
    }
  }
  platform::CloseSocket(fd);
  peer.join();
  platform::CloseSocket(listener);
}

}  // namespace revurov::bench
