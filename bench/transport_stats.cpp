// The bookkeeping a transport does for every message it sends (Write) and
// every reply it hands to a callback (btDoCallBack), with statistics on and
// no throttling or logging, on 1 and 8 threads sharing one transport,
// against the same steps with the eight counters under a bare std::mutex.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "lowlevel/startup.h"
#include "tests/support/test_transport.h"

namespace {

using namespace revurov;

class TBenchTransport : public testing::TTestTransport {
public:
  using TTestTransport::TTestTransport;
  using TnxBaseTransport::btDoCallBack;
};

TBenchTransport* gTransport = nullptr;

void CountReply(TnxMsgID, uint32_t, const void* aData, int32_t, void* aCookie) {
  benchmark::DoNotOptimize(aData);
  benchmark::DoNotOptimize(aCookie);
}

const uint8_t kPayload[256] = {};

void MessageOurs(benchmark::State& state) {
  TBenchTransport& t = *gTransport;
  for (auto _ : state) {
    t.Write(nullptr, 0, 1, 0, 0x223, nxmtRequest, 0, 0, 0, kPayload, sizeof kPayload);
    t.btDoCallBack(&CountReply, 0x223, 0, kPayload, sizeof kPayload, nullptr, 0);
  }
}

// The peer: the same bookkeeping, step by step, with the eight counters
// under a bare std::mutex: a virtual Write and an out-of-line reply
// delivery with the same arguments, the same statistics, logging and
// throttling checks, and the callback called through its pointer.
class TMutexBookkeeping {
public:
  virtual ~TMutexBookkeeping() = default;

  virtual void Write(void*, TnxTransportID, TnxSessionID, TnxThreadPriority, TnxMsgID, uint8_t,
                     uint32_t, uint8_t, uint32_t aUncompressedSize, const void*,
                     uint32_t aBufferSize) {
    if (keepStats.load(std::memory_order_relaxed)) Update(1, 0, aBufferSize, 0, aUncompressedSize, 0);
    if (logOptions & 2) benchmark::DoNotOptimize(logOptions);
    if (maxBytesPerSecond.load(std::memory_order_relaxed) != 0) benchmark::DoNotOptimize(logOptions);
  }

  __attribute__((noinline)) void DoCallBack(TnxReplyCallback aCallback, TnxMsgID aMsgID,
                                            uint32_t aErrorCode, const void* aData, int32_t aLen,
                                            void* aCookie, int32_t aCompressedSize) {
    if (keepStats.load(std::memory_order_relaxed)) {
      const int64_t actual = (aCompressedSize != 0 ? aCompressedSize : aLen) + int64_t{32};
      Update(0, 1, 0, actual, 0, int64_t{aLen} + 32);
    }
    if (logOptions & 4) benchmark::DoNotOptimize(logOptions);
    aCallback(aMsgID, aErrorCode, aData, aLen, aCookie);
    if (maxBytesPerSecond.load(std::memory_order_relaxed) != 0) benchmark::DoNotOptimize(logOptions);
  }

private:
  void Update(int64_t aSent, int64_t aReceived, int64_t aActualSent, int64_t aActualReceived,
              int64_t aUncSent, int64_t aUncReceived) {
    if (aUncSent == 0) aUncSent = aActualSent;
    if (aUncReceived == 0) aUncReceived = aActualReceived;
    std::lock_guard<std::mutex> guard(lock);
    messagesSent += aSent;
    messagesReceived += aReceived;
    actualSent += aActualSent;
    actualReceived += aActualReceived;
    uncompressedSent += aUncSent;
    uncompressedReceived += aUncReceived;
    compressTime += 0;
    uncompressTime += 0;
  }

  std::atomic<bool> keepStats{true};
  uint8_t logOptions = 0;
  std::atomic<uint32_t> maxBytesPerSecond{0};
  std::mutex lock;
  int64_t actualSent = 0, actualReceived = 0, messagesSent = 0, messagesReceived = 0;
  int64_t uncompressedSent = 0, uncompressedReceived = 0, compressTime = 0, uncompressTime = 0;
};

TMutexBookkeeping* gPeer = nullptr;

void MessagePeer(benchmark::State& state) {
  TMutexBookkeeping& p = *gPeer;
  for (auto _ : state) {
    p.Write(nullptr, 0, 1, 0, 0x223, nxmtRequest, 0, 0, 0, kPayload, sizeof kPayload);
    p.DoCallBack(&CountReply, 0x223, 0, kPayload, sizeof kPayload, nullptr, 0);
  }
}

}  // namespace

BENCHMARK(MessageOurs)->Name("write_and_callback/ours")->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(MessagePeer)->Name("write_and_callback/peer:std_mutex")->Threads(1)->Threads(8)->UseRealTime();

int main(int argc, char** argv) {
  revurov::nxLowLevelStartup();
  gTransport = new TBenchTransport(nullptr);
  // Made here, out of the compiler's sight in the loop: its calls stay calls.
  gPeer = new TMutexBookkeeping;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  delete gPeer;
  revurov::platform::TComponent::Free(gTransport);
  revurov::nxLowLevelShutdown();
  return 0;
}
