// A remoting call (entrance, 0x1201 request, exit, sink echoing 64 bytes,
// reply read back) against a plain request whose handler echoes the same 64
// bytes, both on one logged-in TCP session on loopback.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bench/remoting_session.h"
#include "transport/remoting/channels.h"

namespace {

using namespace revurov;
using platform::TInterfacePtr;

constexpr int32_t kSize = 64;

// Our listener with the remoting handler, our client logged in, a session
// over it and an entrance to an exit on an echo sink.
class Pair {
public:
  Pair() {
    TInterfacePtr<InxRequestWriter> writer;
    nxCreateRequestWriter(&road_.Session(), writer);
    writer->WriteInteger(int32_t{1});
    const uint8_t proxy[16] = {1};
    writer->WriteBinary(proxy, 16);
    writer->WriteGuid(platform::IInterface::IID);
    writer->WriteGuid(platform::IInterface::IID);
    writer->WriteGuid(nxProcessID());
    TInterfacePtr<InxReader> reader;
    if (writer->Send(nxCreateInstanceMsgID, reader) != platform::S_OK) std::abort();
    const platform::TGUID server = reader->ReadGuid();
    const platform::TGUID channel = reader->ReadGuid();
    // Held here: the keep time must not end the exit before the first call.
    nxFindChannelExit(channel, pin_);
    nxCreateChannelEntrance(&road_.Session(), server, channel, entrance_);
  }
  ~Pair() {
    entrance_ = nullptr;
    pin_ = nullptr;
  }

  void Call(const std::vector<uint8_t>& aData, std::vector<uint8_t>& aBack) {
    TInterfacePtr<InxWriter> writer;
    if (entrance_->CreateRequest(writer) != platform::S_OK) std::abort();
    writer->WriteInteger(int32_t{testing::soEcho});
    writer->WriteInteger(kSize);
    writer->WriteBinary(aData.data(), kSize);
    TInterfacePtr<InxReader> reader;
    if (entrance_->SendRequest(writer.Get(), reader) != platform::S_OK) std::abort();
    reader->ReadBinary(aBack.data(), kSize);
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

  bench::TRemotingSession road_{false};
  TInterfacePtr<InxTransportChannelExit> pin_;
  TInterfacePtr<InxChannelEntrance> entrance_;
};

void Ours(benchmark::State& state) {
  Pair pair;
  const std::vector<uint8_t> data(kSize, 0x5A);
  std::vector<uint8_t> back(kSize);
  for (auto _ : state) {
    pair.Call(data, back);
    benchmark::DoNotOptimize(back.data());
  }
}

void PlainRequest(benchmark::State& state) {
  Pair pair;
  const std::vector<uint8_t> data(kSize, 0x5A);
  for (auto _ : state) pair.Plain(data);
}

}  // namespace

BENCHMARK(Ours)->Name("call_echo_64/ours")->UseRealTime();
BENCHMARK(PlainRequest)->Name("call_echo_64/peer:plain_request")->UseRealTime();

BENCHMARK_MAIN();
