// Copies a blob's bytes from one place to another in pieces of at most
// 1 MiB through one memory stream, so that a large blob never needs a
// buffer of its own size.
//
// Contract:
// - The piece is min(aMaxLength, aLength, nxBlobCopyChunk). Each step reads
//   up to min(what aMaxLength still allows, piece) bytes at the current
//   offset and writes what came at the same offset; the copy ends when a
//   read delivers nothing or aMaxLength is used up.
// - A read's error code ends the copy and is the answer; aWrite may raise,
//   which passes on. aCopied is the number of bytes written so far.
#pragma once

#include <cstdint>
#include <functional>

namespace revurov {

namespace platform {
class TStream;
}

inline constexpr uint32_t nxBlobCopyChunk = 0x100000;

using TnxBlobChunkRead = std::function<uint32_t(uint32_t aOffset, uint32_t aLen, platform::TStream& aStream)>;
using TnxBlobChunkWrite = std::function<void(uint32_t aOffset, uint32_t aLen, const void* aData)>;

uint32_t nxBlobCopyChunks(const TnxBlobChunkRead& aRead, const TnxBlobChunkWrite& aWrite, uint32_t aLength,
                          uint32_t aMaxLength, uint32_t& aCopied);

}  // namespace revurov
