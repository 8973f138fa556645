// A message's way through the transport layer in memory: compress and frame
// on the sending side, check and decompress on the receiving side, against
// the bare LZ4 frame calls it makes (one reused context each way, reused
// buffers) on 4 KiB and 64 KiB text-like payloads at level 1.
#include <benchmark/benchmark.h>
#include <lz4frame.h>

#include <cstring>
#include <string>
#include <vector>

#include "lowlevel/cipher/lz4_compressor.h"
#include "tests/support/text_payload.h"
#include "transport/message_frame.h"

namespace {

using namespace revurov;

std::string Payload(size_t aLen) { return revurov::testing::TextPayload(aLen, 1); }

void RoundTripOurs(benchmark::State& state) {
  TnxHeapBuffer decompressed;
  const std::string text = Payload(static_cast<size_t>(state.range(0)));
  const std::span<const uint8_t> payload(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  TnxMessageFields fields;
  fields.mfMsgType = nxmtReply;
  fields.mfCompressType = nxLz4FirstCompressionId;
  TnxHeapBuffer frame;
  for (auto _ : state) {
    nxBuildMessage(fields, payload, frame);
    const TnxBaseHeader header = nxLoadHeader(frame.Data());
    const TnxReceivedMessage received =
        nxTakeMessage(header, {frame.Data() + nxHeaderSize, frame.Size() - nxHeaderSize}, TnxReceiver::rcClient, decompressed);
    if (received.rmError || received.rmPayload.size() != text.size()) state.SkipWithError("round trip failed");
    benchmark::DoNotOptimize(received.rmPayload.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

void RoundTripDirect(benchmark::State& state) {
  const std::string text = Payload(static_cast<size_t>(state.range(0)));
  LZ4F_preferences_t prefs;
  std::memset(&prefs, 0, sizeof(prefs));
  prefs.frameInfo.blockSizeID = LZ4F_max64KB;
  prefs.frameInfo.blockMode = LZ4F_blockLinked;
  prefs.compressionLevel = 1;
  prefs.autoFlush = 1;
  LZ4F_cctx* cctx;
  LZ4F_dctx* dctx;
  LZ4F_createCompressionContext(&cctx, LZ4F_VERSION);
  LZ4F_createDecompressionContext(&dctx, LZ4F_VERSION);
  std::vector<char> frame(LZ4F_compressBound(text.size(), &prefs) + 64);
  std::vector<char> out(text.size());
  for (auto _ : state) {
    size_t n = LZ4F_compressBegin(cctx, frame.data(), frame.size(), &prefs);
    n += LZ4F_compressUpdate(cctx, frame.data() + n, frame.size() - n, text.data(), text.size(), nullptr);
    n += LZ4F_compressEnd(cctx, frame.data() + n, frame.size() - n, nullptr);
    size_t dst = out.size(), src = n;
    if (LZ4F_decompress(dctx, out.data(), &dst, frame.data(), &src, nullptr) != 0 || dst != text.size())
      state.SkipWithError("round trip failed");
    benchmark::DoNotOptimize(out.data());
  }
  LZ4F_freeCompressionContext(cctx);
  LZ4F_freeDecompressionContext(dctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

}  // namespace

BENCHMARK(RoundTripOurs)->Name("round_trip/ours")->Arg(4096)->Arg(65536);
BENCHMARK(RoundTripDirect)->Name("round_trip/peer:lz4f_direct")->Arg(4096)->Arg(65536);

int main(int argc, char** argv) {
  nxLz4CompressorStartup();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  nxLz4CompressorShutdown();
  return 0;
}
