// Echoes through the shared-memory transport (our pooled client against our
// listener, whose handler echoes the request as it is) against the same
// through the TCP transport over loopback: a 64-byte round trip and 1 MiB
// each way.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/echo_handler.h"
#include "lowlevel/startup.h"
#include "platform/process.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "transport/shared_memory_transport.h"
#include "transport/tcp_transport.h"

namespace {

using namespace revurov;

constexpr TnxMsgID kEcho = 0x10;

std::u16string BenchServerName() {
  return u"BenchServer_" + platform::Utf8ToUtf16(std::to_string(platform::CurrentProcessId()));
}

struct SharedMemoryMedium {
  static TnxBasePooledTransport* Server(TnxBaseCommandHandler* aHandler) {
    auto* server = new TnxSharedMemoryTransport(nullptr);
    server->SetTransportScope(smtsLocal);
    server->SetServerName(BenchServerName());
    server->SetCommandHandler(aHandler);
    return server;
  }
  static TnxBasePooledTransport* Client(TnxBasePooledTransport*) {
    auto* client = new TnxSharedMemoryTransport(nullptr);
    client->SetTransportScope(smtsLocal);
    client->SetServerName(BenchServerName());
    return client;
  }
};

struct TcpMedium {
  static TnxBasePooledTransport* Server(TnxBaseCommandHandler* aHandler) {
    auto* server = new TnxIPv4Transport(nullptr);
    server->SetServerName(u"BenchServer");
    server->SetPort(0);
    platform::TStringList addresses;
    addresses.Add(u"127.0.0.1");
    server->SetListenAddresses(addresses);
    server->SetCommandHandler(aHandler);
    return server;
  }
  static TnxBasePooledTransport* Client(TnxBasePooledTransport* aServer) {
    auto* client = new TnxIPv4Transport(nullptr);
    client->SetServerName(u"BenchServer@127.0.0.1");
    client->SetPort(static_cast<TnxIPv4Transport*>(aServer)->ListeningPort());
    return client;
  }
};

// A listener with an echoing handler and a pooled client, logged in.
template <class Medium>
class Pair {
public:
  Pair() {
    nxLowLevelStartup();
    handler_ = new bench::TEchoHandler(nullptr);
    server_ = Medium::Server(handler_);
    server_->SetName(u"BenchServer");
    server_->SetMode(nxtmListen);
    server_->SetHeartbeatInterval(0);
    server_->SetActive(true);
    client_ = Medium::Client(server_);
    client_->SetName(u"BenchClient");
    client_->SetHeartbeatInterval(0);
    client_->SetActive(true);
    int32_t version = 0;
    if (client_->EstablishConnection(0, u"admin", u"secret", 5000, 47501, version, session_) != 0) std::abort();
  }
  ~Pair() {
    platform::TComponent::Free(client_);
    platform::TComponent::Free(server_);
    platform::TComponent::Free(handler_);
    nxLowLevelShutdown();
  }
  void Request(const std::vector<uint8_t>& aData) {
    int64_t size = -1;
    client_->Request(0, session_, 0, kEcho, 0, aData.data(), static_cast<int32_t>(aData.size()), &Received, &size);
    if (size != static_cast<int64_t>(aData.size())) std::abort();
  }

private:
  static void Received(TnxMsgID, uint32_t aCode, const void*, int32_t aLen, void* aCookie) {
    if (aCode != 0) std::abort();
    *static_cast<int64_t*>(aCookie) = aLen;
  }

  bench::TEchoHandler* handler_;
  TnxBasePooledTransport* server_;
  TnxBasePooledTransport* client_;
  TnxSessionID session_ = 0;
};

template <class Medium>
void Echo(benchmark::State& state) {
  Pair<Medium> pair;
  const std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
  for (auto _ : state) pair.Request(data);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) * 2);
}

}  // namespace

BENCHMARK(Echo<SharedMemoryMedium>)->Name("round_trip_64/ours")->Arg(64)->UseRealTime();
BENCHMARK(Echo<TcpMedium>)->Name("round_trip_64/peer:tcp_transport")->Arg(64)->UseRealTime();
BENCHMARK(Echo<SharedMemoryMedium>)->Name("echo_1MiB/ours")->Arg(1 << 20)->UseRealTime();
BENCHMARK(Echo<TcpMedium>)->Name("echo_1MiB/peer:tcp_transport")->Arg(1 << 20)->UseRealTime();

BENCHMARK_MAIN();
