// Small steps the keeping blob handlers share.
#pragma once

#include <cstdint>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "storage/blob_engines.h"
#include "storage/deadline.h"
#include "storage/transactions.h"

namespace revurov {

class TnxBaseBlobHandler;
class TnxBaseBlobLinkHandler;
class TnxDataDictionary;
class TnxServerTableCursor;

// Keeps the thread's deadline while a private cursor's own calls run.
class TnxTimeoutNestingGuard {
public:
  TnxTimeoutNestingGuard() noexcept { nxEnterTimeoutNesting(); }
  ~TnxTimeoutNestingGuard() { nxLeaveTimeoutNesting(); }
  TnxTimeoutNestingGuard(const TnxTimeoutNestingGuard&) = delete;
  TnxTimeoutNestingGuard& operator=(const TnxTimeoutNestingGuard&) = delete;
};

// A write needs a transaction: 10257 without one.
inline TnxBaseTransaction& nxBlobHandlerTrans(TnxBaseTransaction* aTrans) {
  if (!aTrans) throw EnxBaseException(nxeNoTransaction);
  return *aTrans;
}

// After a failed record hook only a rollback remains.
inline void nxBlobHandlerMarkCorrupted(TnxBaseTransaction* aTrans) noexcept {
  if (!aTrans) return;
  try {
    aTrans->MarkCorrupted();
  } catch (...) {
    // The hook's code already reports the failure.
  }
}

inline void nxBlobHandlerCheck(uint32_t aResult) {
  if (aResult != 0) throw EnxBaseException(aResult);
}

// How the handler's blob engine reads and measures linked blobs: through
// the link handler, or "not supported" by aHandler without one.
void nxBlobHandlerLinkMethods(const TnxBaseBlobHandler& aHandler, TnxBaseBlobLinkHandler* aLinkHandler,
                              TnxBlobLinkRead& aRead, TnxBlobLinkGetLength& aGetLength);

// A keeping handler's private table: a result-set cursor on the owner's
// database with a copy of aLayout, on index 0, and one record and one key
// buffer of its records' size. aGone is set when the database frees the
// cursor first.
TnxServerTableCursor* nxOpenPrivateBlobTable(TnxServerTableCursor& aOwner, TnxDataDictionary& aLayout, bool& aGone,
                                             std::vector<uint8_t>& aRecord, std::vector<uint8_t>& aKey);
// Frees the cursor (unless the database did) and both buffers.
void nxFreePrivateBlobTable(TnxServerTableCursor*& aCursor, bool aGone, std::vector<uint8_t>& aRecord,
                            std::vector<uint8_t>& aKey) noexcept;

}  // namespace revurov
