// How a table cursor gets its blob handler. The cursor picks the kind; a
// factory makes the handler. Until the handler classes are linked in, the
// factory makes none, and a cursor without a handler behaves as one over a
// table without blobs.
#pragma once

#include <cstdint>

#include "engine/server_object.h"

namespace revurov {

class TnxServerTableCursor;

enum TnxBlobHandlerKind : uint8_t { bhkNull, bhkCached, bhkCaching, bhkPassthrough };

// Null without a blob engine or blob fields, then cached for a cache
// cursor, caching when the client caches blobs, else passthrough.
TnxBlobHandlerKind nxChooseBlobHandlerKind(bool aHasBlobEngine, bool aHasBlobFields, bool aIsCache,
                                           bool aBlobCache) noexcept;

using TnxBlobHandlerFactory = TnxServerObjectPtr<TnxAbstractServerObject> (*)(TnxBlobHandlerKind aKind,
                                                                            TnxServerTableCursor& aCursor);
// Installs aFactory (nil: none) and answers the one before.
TnxBlobHandlerFactory nxSetBlobHandlerFactory(TnxBlobHandlerFactory aFactory) noexcept;
TnxServerObjectPtr<TnxAbstractServerObject> nxCreateBlobHandler(TnxBlobHandlerKind aKind,
                                                                TnxServerTableCursor& aCursor);

}  // namespace revurov
