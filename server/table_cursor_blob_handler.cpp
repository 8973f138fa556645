#include "server/table_cursor_blob_handler.h"

#include <atomic>

namespace revurov {

namespace {
std::atomic<TnxBlobHandlerFactory> gBlobHandlerFactory{nullptr};
}  // namespace

TnxBlobHandlerKind nxChooseBlobHandlerKind(bool aHasBlobEngine, bool aHasBlobFields, bool aIsCache,
                                           bool aBlobCache) noexcept {
  if (!aHasBlobEngine || !aHasBlobFields) return bhkNull;
  if (aIsCache) return bhkCached;
  return aBlobCache ? bhkCaching : bhkPassthrough;
}

TnxBlobHandlerFactory nxSetBlobHandlerFactory(TnxBlobHandlerFactory aFactory) noexcept {
  return gBlobHandlerFactory.exchange(aFactory);
}

TnxServerObjectPtr<TnxAbstractServerObject> nxCreateBlobHandler(TnxBlobHandlerKind aKind,
                                                                TnxServerTableCursor& aCursor) {
  TnxBlobHandlerFactory factory = gBlobHandlerFactory.load();
  return factory ? factory(aKind, aCursor) : nullptr;
}

}  // namespace revurov
