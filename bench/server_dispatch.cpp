// 64-byte echoes from 8 client threads through the listening side of a
// pooled transport (server threads, dispatch, session lookup, command
// handler, one reply) over the socket-pair test medium, against a raw echo
// loop on the same completion queue and socket pairs: read a frame, write
// it back as the reply. The clients are the same in both: each thread
// writes a request frame on its own socket pair and reads the answer.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/echo_handler.h"
#include "lowlevel/cipher/blowfish_rc4.h"
#include "lowlevel/startup.h"
#include "platform/completion_queue.h"
#include "platform/endian.h"
#include "platform/socket.h"
#include "transport/command_handler.h"
#include "transport/login_block.h"
#include "transport/support/socket_pair_transport.h"
#include "transport/wire_header.h"

namespace {

using namespace revurov;
using revurov::testing::ReadExactly;
using revurov::testing::WriteAll;

constexpr uint32_t kBody = 64;
constexpr int kClients = 8;
constexpr int kEchoesPerClient = 500;
constexpr int kServerThreads = 8;
constexpr char16_t kServerName[] = u"BenchDispatch";

using bench::TEchoHandler;

std::vector<uint8_t> Frame(uint8_t aType, TnxTransportID aTransport, TnxSessionID aSession, TnxMsgID aMsgID,
                           const std::vector<uint8_t>& aPayload) {
  std::vector<uint8_t> frame(nxHeaderSize + aPayload.size());
  TnxBaseHeader h;
  h.bhTransportID = aTransport;
  h.bhSessionID = aSession;
  h.bhVersion = nxClientMessageVersion;
  h.bhMsgID = aMsgID;
  h.bhLength = static_cast<uint32_t>(frame.size());
  h.bhMsgType = aType;
  nxStoreHeader(h, frame.data());
  std::copy(aPayload.begin(), aPayload.end(), frame.begin() + nxHeaderSize);
  return frame;
}

// One answer; aborts on a broken stream.
std::vector<uint8_t> Answer(int aFd) {
  std::vector<uint8_t> frame(nxHeaderSize);
  if (!ReadExactly(aFd, frame.data(), nxHeaderSize)) std::abort();
  frame.resize(platform::LoadU32(frame.data() + 16));
  if (!ReadExactly(aFd, frame.data() + nxHeaderSize, frame.size() - nxHeaderSize)) std::abort();
  return frame;
}

// Every client sends kEchoesPerClient requests, one after the other.
void RunClients(const std::vector<int>& aFds, const std::vector<std::vector<uint8_t>>& aRequests) {
  std::vector<std::thread> threads;
  for (size_t i = 0; i < aFds.size(); ++i)
    threads.emplace_back([&, i] {
      for (int n = 0; n < kEchoesPerClient; ++n) {
        if (!WriteAll(aFds[i], aRequests[i].data(), aRequests[i].size())) std::abort();
        const std::vector<uint8_t> reply = Answer(aFds[i]);
        if (reply.size() != nxHeaderSize + kBody || reply[26] != nxmtReply) std::abort();
      }
    });
  for (auto& t : threads) t.join();
}

void EchoOurs(benchmark::State& state) {
  nxLowLevelStartup();
  {
    auto* handler = new TEchoHandler(nullptr);
    auto* server = new testing::TSocketPairTransport(nullptr);
    server->SetName(u"BenchServer");
    server->SetServerName(kServerName);
    server->SetMode(nxtmListen);
    server->SetKeepStats(true);
    server->ServerThreads = kServerThreads;
    server->SetCommandHandler(handler);
    server->SetActive(true);

    std::vector<int> fds;
    std::vector<std::vector<uint8_t>> requests;
    TnxBlowFishRC4 cipher(nxPooledTransportMessageKey());
    for (int i = 0; i < kClients; ++i) {
      const int fd = testing::TSocketPairDirectory::Dial(kServerName);
      if (fd < 0) std::abort();
      fds.push_back(fd);
      WriteAll(fd, Frame(nxmtOpenTransport, 0, 0, 0, {}).data(), nxHeaderSize);
      const TnxTransportID transport = nxLoadHeader(Answer(fd).data()).bhTransportID;
      TnxLoginBlock block = nxBuildLoginBlock(u"user", u"password", 1000, 47501);
      cipher.RandomIVBlock(block.data() + nxLoginIVOffset);
      cipher.Encode(block.data(), nxLoginEncipheredSize);
      cipher.Final(block.data() + nxLoginAuthOffset);
      const auto login = Frame(nxmtLogin, transport, 0, 1, std::vector<uint8_t>(block.begin(), block.end()));
      WriteAll(fd, login.data(), login.size());
      const TnxBaseHeader answer = nxLoadHeader(Answer(fd).data());
      if (answer.bhErrorCode != 0) std::abort();
      requests.push_back(Frame(nxmtRequest, transport, answer.bhSessionID, 0x123, std::vector<uint8_t>(kBody, 0x5A)));
    }
    for (auto _ : state) RunClients(fds, requests);
    state.SetItemsProcessed(state.iterations() * kClients * kEchoesPerClient);
    for (int fd : fds) platform::CloseSocket(fd);
    platform::TComponent::Free(server);
    platform::TComponent::Free(handler);
  }
  nxLowLevelShutdown();
}

// The peer: the same completion queue and socket pairs, a thread per
// server thread of ours, and nothing between read and write.
void EchoPeer(benchmark::State& state) {
  auto queue = platform::CompletionQueue::Create();
  if (!queue) std::abort();
  std::vector<int> fds;
  std::vector<int> serverFds;
  std::vector<std::vector<uint8_t>> requests;
  for (int i = 0; i < kClients; ++i) {
    int pair[2];
    if (!platform::CreateSocketPair(pair)) std::abort();
    fds.push_back(pair[0]);
    serverFds.push_back(pair[1]);
    requests.push_back(Frame(nxmtRequest, 1, 1, 0x123, std::vector<uint8_t>(kBody, 0x5A)));
    queue->Arm(pair[1], static_cast<uintptr_t>(i) + 16);
  }
  std::vector<std::thread> servers;
  for (int t = 0; t < kServerThreads; ++t)
    servers.emplace_back([&] {
      platform::Completion c;
      std::vector<uint8_t> frame;
      while (queue->Wait(c, platform::kInfinite) == platform::kWaitObject0 && c.key != 1) {
        const int fd = serverFds[c.key - 16];
        frame.resize(nxHeaderSize);
        if (!ReadExactly(fd, frame.data(), nxHeaderSize)) continue;
        frame.resize(platform::LoadU32(frame.data() + 16));
        if (!ReadExactly(fd, frame.data() + nxHeaderSize, frame.size() - nxHeaderSize)) continue;
        frame[26] = nxmtReply;
        WriteAll(fd, frame.data(), frame.size());
        queue->Arm(fd, c.key);
      }
    });
  for (auto _ : state) RunClients(fds, requests);
  state.SetItemsProcessed(state.iterations() * kClients * kEchoesPerClient);
  for (int t = 0; t < kServerThreads; ++t) queue->Post(1, 0, 0);
  for (auto& t : servers) t.join();
  for (int fd : serverFds) queue->Disarm(fd);
  for (int fd : fds) platform::CloseSocket(fd);
  for (int fd : serverFds) platform::CloseSocket(fd);
}

}  // namespace

BENCHMARK(EchoOurs)->Name("echo_64x8/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(EchoPeer)->Name("echo_64x8/peer:raw_completion_queue")->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
