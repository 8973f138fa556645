// The plain-socket peer of the loopback benchmarks: request and reply
// frames built as the transport frames them, moved over a blocking TCP
// connection to a thread that echoes the reply for each request.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <thread>
#include <utility>
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

// One round trip of each (request, reply) pair in turn per iteration,
// after aWarmUps untimed rounds. Each side reads into buffers of its own
// that it keeps, as a plain socket program would.
inline void RunFrameExchanges(benchmark::State& aState,
                              const std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>>& aExchanges,
                              int aWarmUps = 0) {
  const int listener = platform::TcpListen({platform::kInet4Loopback, 0}, 4);
  platform::TInet4Address local;
  platform::SocketLocalAddress(listener, local);
  std::thread peer([&] {
    platform::TInet4Address remote;
    const int fd = platform::TcpAccept(listener, remote);
    bool open = fd >= 0;
    std::vector<std::vector<uint8_t>> ins;
    for (const auto& exchange : aExchanges) ins.emplace_back(exchange.first.size());
    while (open) {
      for (size_t k = 0; k < aExchanges.size(); ++k) {
        const auto& [request, reply] = aExchanges[k];
        std::vector<uint8_t>& in = ins[k];
        const platform::TSocketBuffer out{reply.data(), reply.size()};
        if (!ReadAll(fd, in.data(), in.size()) || !platform::SocketWriteAll(fd, &out, 1)) {
          open = false;
          break;
        }
      }
    }
    if (fd >= 0) platform::CloseSocket(fd);
  });
  const int fd = platform::TcpConnect(local, 3000);
  std::vector<std::vector<uint8_t>> ins;
  for (const auto& exchange : aExchanges) ins.emplace_back(exchange.second.size());
  const auto round = [&] {
    for (size_t k = 0; k < aExchanges.size(); ++k) {
      const auto& [request, reply] = aExchanges[k];
      std::vector<uint8_t>& in = ins[k];
      const platform::TSocketBuffer out{request.data(), request.size()};
      if (!platform::SocketWriteAll(fd, &out, 1) || !ReadAll(fd, in.data(), in.size())) return false;
    }
    return true;
  };
  bool ok = true;
  for (int i = 0; i < aWarmUps && ok; ++i) ok = round();
  // A failed warm-up stops the timed loop before its first round.
  if (!ok) aState.SkipWithError("ping-pong failed");
  for (auto _ : aState) {
    if (!round()) {
      aState.SkipWithError("ping-pong failed");
      break;
    }
  }
  platform::CloseSocket(fd);
  peer.join();
  platform::CloseSocket(listener);
}

// One round trip of aRequest and aReply per iteration, after aWarmUps
// untimed ones.
inline void RunFramePingPong(benchmark::State& aState, const std::vector<uint8_t>& aRequest,
                             const std::vector<uint8_t>& aReply, int aWarmUps = 0) {
  RunFrameExchanges(aState, {{aRequest, aReply}}, aWarmUps);
}

}  // namespace revurov::bench
