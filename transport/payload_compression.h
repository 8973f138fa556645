// Compression of message payloads through the compressor registry.
//
// Contract:
// - A payload is compressed only when the compressor number is not 0, the
//   payload is strictly longer than the compress limit and a compressor is
//   registered under the number; the compressed form is kept only when it
//   is shorter. The number travels in bhCompressType either way.
// - Decompression yields exactly bhUncompressedSize bytes or fails; a frame
//   the compressor refuses is a broken message, never a payload.
// - An unregistered number on receipt raises EnxTransportException
//   "Unknown CompressType "%d"".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "transport/heap_block.h"

namespace revurov {

inline constexpr uint32_t nxDefaultCompressLimit = 512;

// The room nxCompressPayload needs at aOut for a payload of aLength bytes:
// ((aLength div 16) + 2) * 16, never less than aLength.
constexpr size_t nxCompressScratchSize(size_t aLength) noexcept { return (aLength / 16 + 2) * 16; }

// Writes the payload to aOut, compressed when that pays, and answers its
// length there; aUncompressedSize becomes the original length when the
// compressed form was kept, else 0. aOut holds nxCompressScratchSize bytes.
size_t nxCompressPayload(uint8_t aCompressType, uint32_t aCompressLimit,
                         std::span<const uint8_t> aPayload, uint8_t* aOut,
                         uint32_t& aUncompressedSize);

// Fills aOut with exactly aUncompressedSize bytes (1 to nxMaxMessageSize);
// false when the compressor refuses the frame or the size is out of range.
// aOut is the receiver's buffer, kept across messages: a fresh block per
// message would map and fault in a large payload's pages every time.
bool nxDecompressPayload(uint8_t aCompressType, std::span<const uint8_t> aCompressed,
                         uint32_t aUncompressedSize, TnxHeapBuffer& aOut);

}  // namespace revurov
