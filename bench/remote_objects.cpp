// A remote method call (interface proxy, class proxy, entrance, 0x1201
// request, exit, class stub, interface stub, the object's Echo of 64 bytes,
// reply read back) against a plain request whose handler echoes the same 64
// bytes, both on one logged-in TCP session on loopback.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "remoting/support/echo_pair.h"
#include "remoting/support/remoting_doubles.h"
#include "transport/remoting/class_stubs.h"
#include "transport/remoting/remoting_client.h"
#include "transport/remoting/startup.h"
#include "transport/tcp_transport.h"

namespace {

using namespace revurov;
using platform::TInterfacePtr;

constexpr int32_t kSize = 64;

class Pair {
public:
  Pair() {
    nxRemotingStartup();
    const TInterfacePtr<InxInterfaceStubFactory> stubs(nxCreate<TnxInterfaceStubFactoryOf<testing::TestEchoStub>>());
    nxInterfaceStubFactoryRegistry()->RegisterInterfaceStubFactory(testing::kEchoStubID, stubs.Get(), stubControl_);
    stubControl_->RegisterForInterface(0, testing::ITestEcho::IID);
    const TInterfacePtr<InxInterfaceProxyFactory> proxies(
        nxCreate<TnxInterfaceProxyFactoryOf<testing::TestEchoProxy>>());
    nxInterfaceProxyFactoryRegistry()->RegisterInterfaceProxyFactory(testing::kEchoStubID, proxies.Get(),
                                                                     proxyControl_);
    proxyControl_->RegisterForInterface(0, testing::ITestEcho::IID);

    handler_.reset(testing::NewComponent<testing::TRemotingHandler>(u"BenchHandler"));
    handler_->MakeObject = [](const platform::TGUID&) {
      const TInterfacePtr<testing::TestEchoObject> object(nxCreate<testing::TestEchoObject>());
      return TInterfacePtr<platform::IInterface>(static_cast<testing::ITestEcho*>(object.Get()));
    };
    server_.reset(testing::NewComponent<TnxIPv4Transport>(u"BenchServer"));
    server_->SetServerName(u"BenchServer");
    server_->SetMode(nxtmListen);
    server_->SetPort(0);
    platform::TStringList addresses;
    addresses.Add(u"127.0.0.1");
    server_->SetListenAddresses(addresses);
    server_->SetHeartbeatInterval(0);
    server_->SetCommandHandler(handler_.get());
    server_->SetActive(true);
    client_.reset(testing::NewComponent<TnxIPv4Transport>(u"BenchClient"));
    client_->SetServerName(u"BenchServer@127.0.0.1");
    client_->SetPort(server_->ListeningPort());
    client_->SetHeartbeatInterval(0);
    client_->SetActive(true);
    int32_t version = 0;
    if (client_->EstablishConnection(0, u"admin", u"secret", 5000, 47501, version, sessionID_) != 0) std::abort();
    session_.reset(testing::NewComponent<testing::TTransportSession>(u"BenchSession"));
    session_->Attach(client_.get(), sessionID_);
    session_->SetActive(true);
    remoting_.reset(testing::NewComponent<TnxRemotingClient>(u"BenchRemoting"));
    remoting_->SetSession(session_.get());
    remoting_->SetActive(true);
    TInterfacePtr<platform::IInterface> object;
    if (remoting_->CreateInstance(testing::kEchoClassID, nullptr, testing::ITestEcho::IID, object) != platform::S_OK)
      std::abort();
    echo_ = platform::Supports<testing::ITestEcho>(object.Get());
    if (!echo_) std::abort();
  }
  ~Pair() {
    echo_ = nullptr;
    remoting_.reset();
    session_.reset();
    client_.reset();
    server_.reset();
    handler_.reset();
    stubControl_->Unregister();
    proxyControl_->Unregister();
    nxRemotingShutdown();
  }

  void Call(const std::vector<uint8_t>& aData) {
    if (echo_->Echo(aData).size() != kSize) std::abort();
  }
  void Plain(const std::vector<uint8_t>& aData) {
    int32_t size = -1;
    client_->Request(0, sessionID_, 0, testing::kPlainEcho, 0, aData.data(), kSize, &Received, &size);
    if (size != kSize) std::abort();
  }

private:
  static void Received(TnxMsgID, uint32_t, const void*, int32_t aLen, void* aCookie) {
    *static_cast<int32_t*>(aCookie) = aLen;
  }

  TInterfacePtr<InxInterfaceStubFactoryControl> stubControl_;
  TInterfacePtr<InxInterfaceProxyFactoryControl> proxyControl_;
  testing::TOwned<testing::TRemotingHandler> handler_;
  testing::TOwned<TnxIPv4Transport> server_;
  testing::TOwned<TnxIPv4Transport> client_;
  testing::TOwned<testing::TTransportSession> session_;
  testing::TOwned<TnxRemotingClient> remoting_;
  TnxSessionID sessionID_ = 0;
  TInterfacePtr<testing::ITestEcho> echo_;
};

void Ours(benchmark::State& state) {
  Pair pair;
  const std::vector<uint8_t> data(kSize, 0x5A);
  for (auto _ : state) pair.Call(data);
}

void PlainRequest(benchmark::State& state) {
  Pair pair;
  const std::vector<uint8_t> data(kSize, 0x5A);
  for (auto _ : state) pair.Plain(data);
}

}  // namespace

BENCHMARK(Ours)->Name("object_call_echo_64/ours")->UseRealTime();
BENCHMARK(PlainRequest)->Name("object_call_echo_64/peer:plain_request")->UseRealTime();

BENCHMARK_MAIN();
