// 64-byte echoes, one at a time, between a listening socket-pair transport
// and one client of it with a callback connection: the server asking the
// client's session over the callback connection ("ours") against the
// client asking its server on a pooled connection (the peer), in the same
// run on the same medium and handlers.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bench/echo_handler.h"
#include "lowlevel/startup.h"
#include "transport/command_handler.h"
#include "transport/support/socket_pair_transport.h"

namespace {

using namespace revurov;

constexpr uint32_t kBody = 64;
constexpr int kEchoesPerIteration = 200;
constexpr char16_t kServerName[] = u"BenchCallbacks";

using bench::TEchoHandler;

void Replied(TnxMsgID, uint32_t aCode, const void*, int32_t aLen, void*) {
  if (aCode != 0 || aLen != static_cast<int32_t>(kBody)) std::abort();
}

// A started server and a logged-in client with one callback thread.
struct TPair {
  TEchoHandler* serverHandler = new TEchoHandler(nullptr);
  TEchoHandler* clientHandler = new TEchoHandler(nullptr);
  testing::TSocketPairTransport* server = new testing::TSocketPairTransport(nullptr);
  testing::TSocketPairTransport* client = new testing::TSocketPairTransport(nullptr);
  TnxSessionID session = 0;  // the client's handle
  TnxSessionID engineSession = 0;  // the server's engine session ID

  TPair() {
    server->SetServerName(kServerName);
    server->SetMode(nxtmListen);
    server->SetCommandHandler(serverHandler);
    server->SetActive(true);
    client->SetServerName(kServerName);
    client->SetHeartbeatInterval(0);
    client->SetCallbackThreadCount(1);
    client->SetCommandHandler(clientHandler);
    client->SetActive(true);
    int32_t version = 0;
    if (client->EstablishConnection(0, u"u", u"p", 1000, 47501, version, session) != 0) std::abort();
    engineSession = 1;
  }
  ~TPair() {
    client->SetActive(false);
    server->SetActive(false);
    platform::TComponent::Free(client);
    platform::TComponent::Free(server);
    platform::TComponent::Free(clientHandler);
    platform::TComponent::Free(serverHandler);
  }
};

void ServerToClient(benchmark::State& state) {
  nxLowLevelStartup();
  {
    TPair pair;
    const std::vector<uint8_t> data(kBody, 0x5A);
    for (auto _ : state)
      for (int i = 0; i < kEchoesPerIteration; ++i)
        pair.server->Request(0, pair.engineSession, 0, 0x10, 1000, data.data(), kBody, &Replied, nullptr);
  }
  nxLowLevelShutdown();
}

void ClientToServer(benchmark::State& state) {
  nxLowLevelStartup();
  {
    TPair pair;
    const std::vector<uint8_t> data(kBody, 0x5A);
    for (auto _ : state)
      for (int i = 0; i < kEchoesPerIteration; ++i)
        pair.client->Request(0, pair.session, 0, 0x10, 1000, data.data(), kBody, &Replied, nullptr);
  }
  nxLowLevelShutdown();
}

}  // namespace

BENCHMARK(ServerToClient)->Name("echo_64/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ClientToServer)->Name("echo_64/peer:client_to_server")->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
