// Which blob handler a table cursor gets.
#pragma once

#include <cstdint>

namespace revurov {

enum TnxBlobHandlerKind : uint8_t { bhkNull, bhkCached, bhkCaching, bhkPassthrough };

// Null without a blob engine or blob fields, then cached for a cache
// cursor, caching when the client caches blobs, else passthrough.
TnxBlobHandlerKind nxChooseBlobHandlerKind(bool aHasBlobEngine, bool aHasBlobFields, bool aIsCache,
                                           bool aBlobCache) noexcept;

}  // namespace revurov
