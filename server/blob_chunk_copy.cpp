#include "server/blob_chunk_copy.h"

#include <algorithm>

#include "lowlevel/streams/memory_stream.h"

namespace revurov {

uint32_t nxBlobCopyChunks(const TnxBlobChunkRead& aRead, const TnxBlobChunkWrite& aWrite, uint32_t aLength,
                          uint32_t aMaxLength, uint32_t& aCopied) {
  aCopied = 0;
  const uint32_t chunk = std::min({aMaxLength, aLength, nxBlobCopyChunk});
  if (chunk == 0) return 0;
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
