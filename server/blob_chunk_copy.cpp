#include "server/blob_chunk_copy.h"

#include <algorithm>
#include <vector>

#include "lowlevel/streams/memory_stream.h"

namespace revurov {

namespace {

// A memory stream maps fresh pages for every copy; for small blobs the
// page faults cost more than the copy itself, so they go through a buffer
// on the heap.
constexpr uint32_t kSmallChunk = 0x10000;

uint32_t CopySmall(const TnxBlobChunkRead& aRead, const TnxBlobChunkWrite& aWrite, uint32_t aChunk,
                   uint32_t aMaxLength, uint32_t& aCopied) {
  std::vector<uint8_t> buffer(aChunk);
  TnxStaticMemoryStream stream(buffer.data(), aChunk);
  uint32_t offset = 0;
  while (aMaxLength > 0) {
    const uint32_t want = std::min(aMaxLength, aChunk);
    stream.Seek(0, platform::TSeekOrigin::soBeginning);
    if (const uint32_t result = aRead(offset, want, stream)) return result;
    const uint32_t got = static_cast<uint32_t>(std::min<int64_t>(stream.Position(), want));
    if (got == 0) break;
    aWrite(offset, got, buffer.data());
    offset += got;
    aMaxLength -= got;
    aCopied = offset;
  }
  return 0;
}

}  // namespace

uint32_t nxBlobCopyChunks(const TnxBlobChunkRead& aRead, const TnxBlobChunkWrite& aWrite, uint32_t aLength,
                          uint32_t aMaxLength, uint32_t& aCopied) {
  aCopied = 0;
  const uint32_t chunk = std::min({aMaxLength, aLength, nxBlobCopyChunk});
  if (chunk == 0) return 0;
  if (chunk <= kSmallChunk) return CopySmall(aRead, aWrite, chunk, aMaxLength, aCopied);
  TnxMemoryStream stream(static_cast<int32_t>(std::max<uint32_t>(chunk, 0x10000)));
  uint32_t offset = 0;
  while (aMaxLength > 0) {
    const uint32_t want = std::min(aMaxLength, chunk);
    stream.SetSize(0);
    if (const uint32_t result = aRead(offset, want, stream)) return result;
    // A reader that delivers more than asked for is held to the piece.
    const uint32_t got = static_cast<uint32_t>(std::min<int64_t>(stream.GetSize(), want));
    if (got == 0) break;
    aWrite(offset, got, stream.Memory());
    offset += got;
    aMaxLength -= got;
    aCopied = offset;
  }
  return 0;
}

}  // namespace revurov
