// A remote method call (interface proxy, class proxy, entrance, 0x1201
// request, exit, class stub, interface stub, the object's Echo of 64 bytes,
// reply read back) against a plain request whose handler echoes the same 64
// bytes, both on one logged-in TCP session on loopback.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bench/remoting_session.h"
#include "remoting/support/echo_pair.h"
#include "transport/remoting/class_stubs.h"

namespace {

using namespace revurov;
using platform::TInterfacePtr;

constexpr int32_t kSize = 64;

class Pair {
public:
  Pair() {
    const TInterfacePtr<InxInterfaceStubFactory> stubs(nxCreate<TnxInterfaceStubFactoryOf<testing::TestEchoStub>>());
    nxInterfaceStubFactoryRegistry()->RegisterInterfaceStubFactory(testing::kEchoStubID, stubs.Get(), stubControl_);
    stubControl_->RegisterForInterface(0, testing::ITestEcho::IID);
    const TInterfacePtr<InxInterfaceProxyFactory> proxies(
        nxCreate<TnxInterfaceProxyFactoryOf<testing::TestEchoProxy>>());
    nxInterfaceProxyFactoryRegistry()->RegisterInterfaceProxyFactory(testing::kEchoStubID, proxies.Get(),
                                                                     proxyControl_);
    proxyControl_->RegisterForInterface(0, testing::ITestEcho::IID);
    road_.Handler().MakeObject = [](const platform::TGUID&) {
      const TInterfacePtr<testing::TestEchoObject> object(nxCreate<testing::TestEchoObject>());
      return TInterfacePtr<platform::IInterface>(static_cast<testing::ITestEcho*>(object.Get()));
    };
    TInterfacePtr<platform::IInterface> object;
    if (road_.Remoting().CreateInstance(testing::kEchoClassID, nullptr, testing::ITestEcho::IID, object) !=
        platform::S_OK)
      std::abort();
    echo_ = platform::Supports<testing::ITestEcho>(object.Get());
    if (!echo_) std::abort();
  }
  ~Pair() {
    echo_ = nullptr;
    stubControl_->Unregister();
    proxyControl_->Unregister();
  }

  void Call(const std::vector<uint8_t>& aData) {
    if (echo_->Echo(aData).size() != kSize) std::abort();
  }
  void Plain(const std::vector<uint8_t>& aData) {
    int32_t size = -1;
    road_.Client().Request(0, road_.SessionID(), 0, testing::kPlainEcho, 0, aData.data(), kSize, &Received, &size);
    if (size != kSize) std::abort();
  }

private:
  static void Received(TnxMsgID, uint32_t, const void*, int32_t aLen, void* aCookie) {
    *static_cast<int32_t*>(aCookie) = aLen;
  }

  bench::TRemotingSession road_{true};
  TInterfacePtr<InxInterfaceStubFactoryControl> stubControl_;
  TInterfacePtr<InxInterfaceProxyFactoryControl> proxyControl_;
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
