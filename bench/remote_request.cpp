// One ProcessRequest with a 64-byte payload and a 64-byte reply through a
// transport that answers on the calling thread, against copying the payload
// into a std::vector and the reply back out. The counters report the
// standard-heap allocations per request (the library heap takes the queued
// message's node, record and data: three per request).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "engine/remote_session.h"
#include "engine/startup.h"
#include "lowlevel/heap/memory_manager.h"
#include "support/scripted_transport.h"

namespace {

std::atomic<long> gNews{0};

}  // namespace

void* operator new(std::size_t aSize) {
  gNews.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(aSize ? aSize : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* aBlock) noexcept { std::free(aBlock); }
void operator delete(void* aBlock, std::size_t) noexcept { std::free(aBlock); }

namespace {

using namespace revurov;
using namespace revurov::testing;

constexpr int kBytes = 64;

struct ComponentFree {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};
template <class T>
using ComponentPtr = std::unique_ptr<T, ComponentFree>;

class EchoTransport : public ScriptedTransport {
  REVUROV_COMPONENT_CLASS(EchoTransport, ScriptedTransport)
  using ScriptedTransport::ScriptedTransport;
  void Request(TnxTransportID, TnxSessionID, TnxThreadPriority, TnxMsgID aMsgID, uint32_t, const void* aRequestData,
               int32_t aRequestDataLen, TnxReplyCallback aReplyCallback, void* aReplyCookie) override {
    aReplyCallback(aMsgID, 0, aRequestData, aRequestDataLen, aReplyCookie);
  }
};

struct Setup {
  Setup() {
    nxEngineStartup();
    engine->SetTransport(transport.get());
    transport->SetActive(true);
    engine->SetActive(true);
    TnxAbstractServerObject* opened = nullptr;
    engine->SessionOpenEx(opened, u"bench", u"", u"", 1000, nxRemoteClientVersion);
    session = static_cast<TnxRemoteSession*>(opened);
  }
  ComponentPtr<EchoTransport> transport{new EchoTransport(nullptr)};
  ComponentPtr<TnxRemoteServerEngine> engine{new TnxRemoteServerEngine(nullptr)};
  TnxRemoteSession* session = nullptr;
};

Setup& Shared() {
  static Setup* setup = new Setup();  // lives to the end of the process
  return *setup;
}

void RequestOurs(benchmark::State& state) {
  TnxRemoteSession& session = *Shared().session;
  const TnxMessageSource source = session.NewSource();
  char payload[kBytes] = {1, 2, 3};
  const long before = gNews.load();
  for (auto _ : state) {
    void* reply = nullptr;
    int32_t len = 0;
    const uint32_t result =
        session.ProcessRequest(source, 0, 0x210, 1000, payload, kBytes, &reply, &len, nmdByteArray, false, nullptr);
    benchmark::DoNotOptimize(result);
    benchmark::DoNotOptimize(reply);
    nxFreeMem(reply);
  }
  state.counters["std_allocs_per_request"] =
      benchmark::Counter(static_cast<double>(gNews.load() - before) / static_cast<double>(state.iterations()));
}

void RequestVector(benchmark::State& state) {
  char payload[kBytes] = {1, 2, 3};
  char out[kBytes];
  const long before = gNews.load();
  for (auto _ : state) {
    std::vector<char> sent(payload, payload + kBytes);
    benchmark::DoNotOptimize(sent.data());
    std::vector<char> reply(sent.begin(), sent.end());
    std::memcpy(out, reply.data(), kBytes);
    benchmark::DoNotOptimize(out);
  }
  state.counters["std_allocs_per_request"] =
      benchmark::Counter(static_cast<double>(gNews.load() - before) / static_cast<double>(state.iterations()));
}

BENCHMARK(RequestOurs)->Name("Request64/ours");
BENCHMARK(RequestVector)->Name("Request64/peer:vector");

}  // namespace

BENCHMARK_MAIN();
