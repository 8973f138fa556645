// A 64-byte request through the client pool of a pooled transport over the
// socket-pair test medium, against the same bytes in a raw socket-pair
// ping-pong: what the pool, the framing, the statistics and the reply
// decoding cost over the bare write and read. Both sides talk to the same
// echo server, which answers every request with a reply of its body.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "lowlevel/startup.h"
#include "platform/endian.h"
#include "platform/socket.h"
#include "transport/support/socket_pair_transport.h"
#include "transport/wire_header.h"

namespace {

using namespace revurov;
using revurov::testing::ReadExactly;
using revurov::testing::WriteAll;

constexpr uint32_t kBody = 64;

// Reads whole messages and answers each: type 10 with type 11, a request
// with a reply carrying its body. Ends with the stream.
void Echo(int aFd) {
  std::vector<uint8_t> frame;
  uint8_t header[nxHeaderSize];
  while (ReadExactly(aFd, header, sizeof header)) {
    TnxBaseHeader h = nxLoadHeader(header);
    if (nxCheckHeader(h) != 0) break;
    frame.resize(h.bhLength);
    if (!ReadExactly(aFd, frame.data() + nxHeaderSize, h.bhLength - nxHeaderSize)) break;
    if (h.bhMsgType == nxmtOpenTransport) {
      h.bhMsgType = nxmtTransportReply;
      h.bhTransportID = 1;
      h.bhLength = nxHeaderSize + 4;
      frame.resize(h.bhLength);
    } else {
      h.bhMsgType = nxmtReply;
    }
    nxStoreHeader(h, frame.data());
    if (!WriteAll(aFd, frame.data(), frame.size())) break;
  }
}

class EchoServer {
public:
  ~EchoServer() {
    for (int fd : fds_) platform::ShutdownSocket(fd);
    for (auto& t : threads_) t.join();
    for (int fd : fds_) platform::CloseSocket(fd);
  }
  bool Accept(int aFd) {
    std::lock_guard guard(lock_);
    fds_.push_back(aFd);
    threads_.emplace_back(Echo, aFd);
    return true;
  }

private:
  std::mutex lock_;
  std::vector<int> fds_;
  std::vector<std::thread> threads_;
};

void ReplyReceived(TnxMsgID, uint32_t aErrorCode, const void*, int32_t aLen, void* aCookie) {
  if (aErrorCode != 0 || aLen != int32_t{kBody}) std::abort();
  ++*static_cast<int64_t*>(aCookie);
}

void RequestOurs(benchmark::State& state) {
  nxLowLevelStartup();
  {
    EchoServer server;
    testing::TSocketPairDirectory::Enter(u"BenchServer", &server, [&server](int aFd) { return server.Accept(aFd); });
    auto* client = new testing::TSocketPairTransport(nullptr);
    client->SetName(u"BenchClient");
    client->SetServerName(u"BenchServer");
    client->SetMode(nxtmSend);
    client->SetActive(true);
    const std::vector<uint8_t> request(kBody, 0x5A);
    int64_t replies = 0;
    for (auto _ : state)
      client->Request(0, 7, 0, 0x123, 0, request.data(), kBody, &ReplyReceived, &replies);
    if (replies != state.iterations()) std::abort();
    platform::TComponent::Free(client);
    testing::TSocketPairDirectory::Leave(u"BenchServer", &server);
  }
  nxLowLevelShutdown();
}

void RequestPeer(benchmark::State& state) {
  int fds[2];
  if (!platform::CreateSocketPair(fds)) std::abort();
  std::thread server(Echo, fds[1]);
  // The frame the pool would send: header and 64 bytes.
  std::vector<uint8_t> frame(nxHeaderSize + kBody, 0x5A);
  TnxBaseHeader h;
  h.bhSessionID = 7;
  h.bhVersion = nxClientMessageVersion;
  h.bhMsgID = 0x123;
  h.bhLength = static_cast<uint32_t>(frame.size());
  h.bhMsgType = nxmtRequest;
  nxStoreHeader(h, frame.data());
  std::vector<uint8_t> reply;
  uint8_t header[nxHeaderSize];
  for (auto _ : state) {
    if (!WriteAll(fds[0], frame.data(), frame.size())) std::abort();
    if (!ReadExactly(fds[0], header, sizeof header)) std::abort();
    reply.resize(platform::LoadU32(header + 16) - nxHeaderSize);
    if (!ReadExactly(fds[0], reply.data(), reply.size())) std::abort();
    benchmark::DoNotOptimize(reply.data());
  }
  platform::ShutdownSocket(fds[0]);
  server.join();
  platform::CloseSocket(fds[0]);
  platform::CloseSocket(fds[1]);
}

}  // namespace

BENCHMARK(RequestOurs)->Name("request_64/ours")->UseRealTime();
BENCHMARK(RequestPeer)->Name("request_64/peer:raw_socketpair")->UseRealTime();

BENCHMARK_MAIN();
