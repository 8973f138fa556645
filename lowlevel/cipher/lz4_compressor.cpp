#include "lowlevel/cipher/lz4_compressor.h"

#include <lz4frame.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/sync/unit_table.h"

namespace revurov {

namespace {

std::atomic<int> gStartups{0};

// The scratch buffer grows to the largest work area asked for, up to this
// cap; the frame bound of a 64 KiB block is a little above 64 KiB, so a
// fixed 64 KiB buffer sent every full block to the heap.
constexpr size_t kScratchCap = 256 * 1024;

struct FreeHeapBlock {
  void operator()(void* aBlock) const noexcept { nxFreeMem(aBlock); }
};
using THeapBlock = std::unique_ptr<void, FreeHeapBlock>;

// The calling thread's LZ4 contexts and output scratch buffer, made on first
// use and kept for the thread's lifetime: building them per call would cost
// more than compressing a small payload.
struct ThreadState {
  LZ4F_cctx* cctx = nullptr;
  LZ4F_dctx* dctx = nullptr;
  THeapBlock scratch;
  size_t scratchSize = 0;

  ThreadState() = default;
  ThreadState(const ThreadState&) = delete;
  ThreadState& operator=(const ThreadState&) = delete;
  ~ThreadState() {
    LZ4F_freeCompressionContext(cctx);
    LZ4F_freeDecompressionContext(dctx);
  }

  LZ4F_cctx* Compressor() {
    if (!cctx && LZ4F_isError(LZ4F_createCompressionContext(&cctx, LZ4F_VERSION))) {
      cctx = nullptr;
      throw platform::EOutOfMemory();
    }
    return cctx;
  }
  // liblz4 1.9.4 keeps a declared content size across a reset, so every
  // later frame on the thread would fail after one bad frame: only a new
  // context is clean.
  void DiscardDecompressor() noexcept {
    LZ4F_freeDecompressionContext(dctx);
    dctx = nullptr;
  }
  LZ4F_dctx* Decompressor() {
    if (!dctx && LZ4F_isError(LZ4F_createDecompressionContext(&dctx, LZ4F_VERSION))) {
      dctx = nullptr;
      throw platform::EOutOfMemory();
    }
    return dctx;
  }
  uint8_t* Scratch(size_t aSize) {
    if (aSize > scratchSize) {
      scratch.reset(nxGetMem(aSize));
      scratchSize = aSize;
    }
    return static_cast<uint8_t*>(scratch.get());
  }
};

thread_local ThreadState tlsState;

LZ4F_preferences_t PreferencesOf(int aPreset) noexcept {
  LZ4F_preferences_t prefs;
  std::memset(&prefs, 0, sizeof(prefs));
  prefs.frameInfo.blockSizeID = LZ4F_max64KB;
  prefs.frameInfo.blockMode = LZ4F_blockLinked;
  prefs.frameInfo.contentChecksumFlag = LZ4F_noContentChecksum;
  prefs.frameInfo.frameType = LZ4F_frame;
  prefs.frameInfo.contentSize = 0;
  prefs.frameInfo.dictID = 0;
  prefs.frameInfo.blockChecksumFlag = LZ4F_noBlockChecksum;
  prefs.compressionLevel = aPreset;
  prefs.autoFlush = 1;
  return prefs;
}


}  // namespace

const TnxLz4Compressor& TnxLz4Compressor::ClassInfo() noexcept {
  static const TnxLz4Compressor info{u"TnxLz4Compressor", &TnxBaseCompressor::ClassInfo(), 1};
  return info;
}

const TnxLz4Compressor& nxLz4CompressorClass(int aPreset) {
  static const TnxLz4Compressor* const base = &TnxLz4Compressor::ClassInfo();
  static const TnxLz4Compressor presets[9] = {
      {u"TnxLz4Compressor1", base, 1}, {u"TnxLz4Compressor2", base, 2},
      {u"TnxLz4Compressor3", base, 3}, {u"TnxLz4Compressor4", base, 4},
      {u"TnxLz4Compressor5", base, 5}, {u"TnxLz4Compressor6", base, 6},
      {u"TnxLz4Compressor7", base, 7}, {u"TnxLz4Compressor8", base, 8},
      {u"TnxLz4Compressor9", base, 9}};
  if (aPreset < 1 || aPreset > 9)
    throw EnxCompressorException(u"LZ4 preset %d is not between 1 and 9", {aPreset});
  return presets[aPreset - 1];
}

uint32_t TnxLz4Compressor::Compress(const void* aSource, void* aTarget, uint32_t aSourceSize,
                                    uint32_t aTargetSize) const {
  const LZ4F_preferences_t prefs = PreferencesOf(Preset());
  const size_t work = (LZ4F_compressBound(aSourceSize, &prefs) / 256 + 2) * 256;
  ThreadState& state = tlsState;
  LZ4F_cctx* cctx = state.Compressor();

  uint8_t* out;
  THeapBlock heap;
  if (work <= aTargetSize) {
    out = static_cast<uint8_t*>(aTarget);
  } else if (work <= kScratchCap) {
    out = state.Scratch(work);
  } else {
    heap.reset(nxGetMem(work));
    out = static_cast<uint8_t*>(heap.get());
  }

  size_t done = LZ4F_compressBegin(cctx, out, work, &prefs);
  if (LZ4F_isError(done)) return 0;
  size_t n = LZ4F_compressUpdate(cctx, out + done, work - done, aSource, aSourceSize, nullptr);
  if (LZ4F_isError(n)) return 0;
  done += n;
  n = LZ4F_compressEnd(cctx, out + done, work - done, nullptr);
  if (LZ4F_isError(n)) return 0;
  done += n;

  if (out != aTarget) {
    if (done > aTargetSize) return 0;
    std::memcpy(aTarget, out, done);
  }
  return static_cast<uint32_t>(done);
}

bool TnxLz4Compressor::Uncompress(const void* aSource, void* aTarget, uint32_t aSourceSize,
                                  uint32_t aTargetSize) const {
  ThreadState& state = tlsState;
  LZ4F_dctx* dctx = state.Decompressor();

  const auto* src = static_cast<const uint8_t*>(aSource);
  auto* dst = static_cast<uint8_t*>(aTarget);
  size_t srcLeft = aSourceSize, dstLeft = aTargetSize;
  size_t hint = 1;
  while (srcLeft > 0) {
    size_t dstSize = dstLeft, srcSize = srcLeft;
    hint = LZ4F_decompress(dctx, dst, &dstSize, src, &srcSize, nullptr);
    if (LZ4F_isError(hint)) {
      state.DiscardDecompressor();
      return false;
    }
    src += srcSize;
    srcLeft -= srcSize;
    dst += dstSize;
    dstLeft -= dstSize;
    if (hint == 0) break;  // the frame is complete
    // No progress: the frame holds more data than the expected size.
    if (srcSize == 0 && dstSize == 0) break;
  }
  // Left mid-frame (cut short, or more data than expected).
  if (hint != 0) state.DiscardDecompressor();
  if (dstLeft != 0 || srcLeft != 0) return false;
  // Complete, or all data decoded and only the end mark (and a checksum
  // behind it) left out by the sender.
  return hint == 0 || hint == LZ4F_BLOCK_HEADER_SIZE;
}

void nxLz4CompressorStartup() {
  if (!nxUnitStartupIsFirst(gStartups)) return;
  nxBaseCompressorStartup();
  static const char16_t* const names[9] = {u"Lz4 (1) Best speed", u"Lz4 (2)", u"Lz4 (3)",
                                           u"Lz4 (4)", u"Lz4 (5)", u"Lz4 (6)",
                                           u"Lz4 (7)", u"Lz4 (8)", u"Lz4 (9) Best Compression"};
  for (int preset = 1; preset <= 9; ++preset)
    nxRegisterCompressor(nxLz4CompressorClass(preset),
                         static_cast<uint8_t>(nxLz4FirstCompressionId + preset - 1),
                         names[preset - 1]);
}

void nxLz4CompressorShutdown() {
  if (!nxUnitShutdownIsLast(gStartups)) return;
  for (int preset = 9; preset >= 1; --preset) nxUnregisterCompressor(nxLz4CompressorClass(preset));
  nxBaseCompressorShutdown();
}

}  // namespace revurov
