#include "server/table_cursor_blob_handler.h"

namespace revurov {

TnxBlobHandlerKind nxChooseBlobHandlerKind(bool aHasBlobEngine, bool aHasBlobFields, bool aIsCache,
                                           bool aBlobCache) noexcept {
  if (!aHasBlobEngine || !aHasBlobFields) return bhkNull;
  if (aIsCache) return bhkCached;
  return aBlobCache ? bhkCaching : bhkPassthrough;
}

}  // namespace revurov
