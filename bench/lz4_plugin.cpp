// The LZ4 compressor plug-in against direct LZ4 frame calls with a reused
// context and the same preferences, on 4 KiB and 64 KiB payloads. Ours is
// called as the transport calls it: the payload length as capacity.
#include <benchmark/benchmark.h>
#include <lz4frame.h>

#include <cstring>
#include <string>
#include <vector>

#include "lowlevel/cipher/lz4_compressor.h"
#include "tests/support/text_payload.h"

namespace {

using namespace revurov;

std::string Payload(size_t aLen) { return revurov::testing::TextPayload(aLen, 1); }

LZ4F_preferences_t Preferences(int aLevel) {
  LZ4F_preferences_t prefs;
  std::memset(&prefs, 0, sizeof(prefs));
  prefs.frameInfo.blockSizeID = LZ4F_max64KB;
  prefs.frameInfo.blockMode = LZ4F_blockLinked;
  prefs.frameInfo.frameType = LZ4F_frame;
  prefs.compressionLevel = aLevel;
  prefs.autoFlush = 1;
  return prefs;
}

size_t DirectCompress(LZ4F_cctx* aCtx, const std::string& aSource, std::vector<char>& aOut,
                      const LZ4F_preferences_t& aPrefs) {
  size_t done = LZ4F_compressBegin(aCtx, aOut.data(), aOut.size(), &aPrefs);
  done += LZ4F_compressUpdate(aCtx, aOut.data() + done, aOut.size() - done, aSource.data(),
                              aSource.size(), nullptr);
  done += LZ4F_compressEnd(aCtx, aOut.data() + done, aOut.size() - done, nullptr);
  return done;
}

void CompressOurs(benchmark::State& state) {
  const std::string source = Payload(static_cast<size_t>(state.range(0)));
  const auto& cls = nxLz4CompressorClass(static_cast<int>(state.range(1)));
  std::vector<char> target((source.size() / 16 + 2) * 16);
  const auto len = static_cast<uint32_t>(source.size());
  for (auto _ : state) benchmark::DoNotOptimize(cls.Compress(source.data(), target.data(), len, len));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * len);
}

void CompressDirect(benchmark::State& state) {
  const std::string source = Payload(static_cast<size_t>(state.range(0)));
  const LZ4F_preferences_t prefs = Preferences(static_cast<int>(state.range(1)));
  LZ4F_cctx* ctx;
  LZ4F_createCompressionContext(&ctx, LZ4F_VERSION);
  std::vector<char> out(LZ4F_compressFrameBound(source.size(), &prefs) + 64);
  for (auto _ : state) benchmark::DoNotOptimize(DirectCompress(ctx, source, out, prefs));
  LZ4F_freeCompressionContext(ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(source.size()));
}

void UncompressOurs(benchmark::State& state) {
  const std::string source = Payload(static_cast<size_t>(state.range(0)));
  const auto& cls = nxLz4CompressorClass(static_cast<int>(state.range(1)));
  std::vector<char> frame(source.size() * 2 + 64);
  const uint32_t n = cls.Compress(source.data(), frame.data(), static_cast<uint32_t>(source.size()),
                                  static_cast<uint32_t>(frame.size()));
  std::vector<char> out(source.size());
  for (auto _ : state)
    benchmark::DoNotOptimize(cls.Uncompress(frame.data(), out.data(), n, static_cast<uint32_t>(out.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(source.size()));
}

void UncompressDirect(benchmark::State& state) {
  const std::string source = Payload(static_cast<size_t>(state.range(0)));
  const LZ4F_preferences_t prefs = Preferences(static_cast<int>(state.range(1)));
  LZ4F_cctx* cctx;
  LZ4F_createCompressionContext(&cctx, LZ4F_VERSION);
  std::vector<char> frame(LZ4F_compressFrameBound(source.size(), &prefs) + 64);
  const size_t n = DirectCompress(cctx, source, frame, prefs);
  LZ4F_freeCompressionContext(cctx);
  LZ4F_dctx* ctx;
  LZ4F_createDecompressionContext(&ctx, LZ4F_VERSION);
  std::vector<char> out(source.size());
  for (auto _ : state) {
    size_t dst = out.size(), src = n;
    benchmark::DoNotOptimize(LZ4F_decompress(ctx, out.data(), &dst, frame.data(), &src, nullptr));
  }
  LZ4F_freeDecompressionContext(ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(source.size()));
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int level : {1, 9})
    for (int size : {4096, 65536}) b->Args({size, level});
}

}  // namespace

BENCHMARK(CompressOurs)->Name("compress/ours")->Apply(Sizes);
BENCHMARK(CompressDirect)->Name("compress/peer:lz4f_direct")->Apply(Sizes);
BENCHMARK(UncompressOurs)->Name("uncompress/ours")->Apply(Sizes);
BENCHMARK(UncompressDirect)->Name("uncompress/peer:lz4f_direct")->Apply(Sizes);

int main(int argc, char** argv) {
  nxLz4CompressorStartup();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  nxLz4CompressorShutdown();
  return 0;
}
