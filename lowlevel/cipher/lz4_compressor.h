// The LZ4 compressor: one LZ4 frame per payload through liblz4's frame API,
// at compression levels 1 to 9, registered as compression ids 11 to 19.
//
// Contract:
// - Frames use blocks of at most 64 KB, linked blocks, no checksums and no
//   stored content size, and always end with the end mark, so they decode
//   with any LZ4 frame reader; Uncompress reads any valid LZ4 frame.
// - Compress and Uncompress reuse one compression and one decompression
//   context per calling thread (freed when the thread ends); any number of
//   threads may compress at once.
// - Uncompress accepts a frame that decodes to exactly the expected size and
//   ends at the end mark, or right before it (senders that left it out);
//   anything else is a failure, never a valid payload.
#pragma once

#include <cstdint>

#include "lowlevel/cipher/base_compressor.h"

namespace revurov {

class TnxLz4Compressor : public TnxBaseCompressor {
public:
  constexpr TnxLz4Compressor(std::u16string_view aName, const TnxBaseCompressor* aParent,
                             int aPreset) noexcept
      : TnxBaseCompressor(aName, aParent), lcPreset(aPreset) {}

  // The base class of the nine presets answers 1.
  static const TnxLz4Compressor& ClassInfo() noexcept;

  // The LZ4 compression level.
  virtual int Preset() const noexcept { return lcPreset; }

  uint32_t Compress(const void* aSource, void* aTarget, uint32_t aSourceSize,
                    uint32_t aTargetSize) const override;
  [[nodiscard]] bool Uncompress(const void* aSource, void* aTarget, uint32_t aSourceSize,
                                uint32_t aTargetSize) const override;

private:
  int lcPreset;
};

// The class records TnxLz4Compressor1 ... TnxLz4Compressor9 by preset 1 to 9.
const TnxLz4Compressor& nxLz4CompressorClass(int aPreset);

inline constexpr uint8_t nxLz4FirstCompressionId = 11;  // preset 1; preset n is id 10 + n

// Reference-counted: registers the nine presets under ids 11 to 19, and
// removes them again at the last shut-down.
void nxLz4CompressorStartup();
void nxLz4CompressorShutdown();

}  // namespace revurov
