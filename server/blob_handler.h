// TnxBaseBlobHandler: what a table cursor creates, reads, writes,
// truncates, links and deletes its records' blobs through, and what it
// tells around record inserts, modifications and deletions.
// TnxBaseBlobLinkHandler: what blob engines read a linked blob through.
//
// Contract:
// - Every operation that answers a code (0 success) never raises: an
//   exception inside is converted through the handler's
//   asoConvertException (std::bad_alloc 9473, non-library 15521) with its
//   message left as the thread's last error.
// - Operations a handler does not offer answer 12289 with "<operation> not
//   supported by <class>".
// - A write without a transaction answers 10257.
// - GetBlobs: aBlobCount is the capacity of aBlobNrs on entry and the count
//   written on return. Walks the owning cursor's blob fields in order;
//   with aMarkedBlobs only those whose bit (by position among the blob
//   fields) is set. Null fields and blob number 0 are never reported. No
//   record 9986; more numbers than room (or no room given) 9985 after the
//   room is filled.
// - The handler belongs to one cursor and is used under that cursor's lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dictionary/engine_records.h"
#include "dictionary/engine_types.h"
#include "engine/extendable_object.h"

namespace revurov {

namespace platform {
class TStream;
}
class TnxAbstractCursor;
class TnxBaseTransaction;

class TnxBaseBlobHandler : public TnxExtendableServerObject {
  REVUROV_SERVER_OBJECT_CLASS(TnxBaseBlobHandler, TnxExtendableServerObject)

  // The cursor whose records' blobs this handler serves.
  TnxAbstractCursor* Owner() const noexcept { return bbhOwner; }

  virtual uint32_t GetBlobs(TnxBaseTransaction* aTrans, const uint8_t* aData,
                            const TnxMarkedBlobsByBlobIdx* aMarkedBlobs, uint16_t& aBlobCount, TnxBlobNr* aBlobNrs);
  virtual uint32_t BlobsCancel(TnxBaseTransaction* aTrans, TnxRefNr aRefNr);
  // Asked only about a number that differs from the stored record's: true
  // when the cursor may use it.
  virtual bool BlobVerifyNr(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                            TnxBlobNr aBlobNr) = 0;
  // aBCIs is emptied first.
  virtual uint32_t GetBlobCacheInfos(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, TnxBlobCacheInfos& aBCIs);
  virtual uint32_t BlobCacheFlushed(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                    TnxBlobNr aBlobNr, TnxBlobNr aNewBlobNr);
  virtual uint32_t BlobCreate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                              TnxBlobNr& aBlobNr) = 0;
  virtual uint32_t BlobCreateFile(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                  std::u16string_view aFileName, TnxBlobNr& aBlobNr) = 0;
  virtual uint32_t BlobCreateLink(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                  std::u16string_view aTableName, TnxBlobNr aTableBlobNr, TnxBlobNr& aBlobNr) = 0;
  virtual uint32_t BlobDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                              TnxBlobNr aBlobNr) = 0;
  virtual uint32_t BlobFree(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                            bool& aBlobDeleted) = 0;
  virtual uint32_t BlobTruncate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                TnxBlobNr aBlobNr, uint32_t aBlobLength) = 0;
  virtual uint32_t BlobWrite(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                             uint32_t aOffset, uint32_t aLen, const void* aBlob) = 0;
  virtual uint32_t BlobReplace(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                               TnxBlobNr& aBlobNr, uint32_t aLen, const void* aBlob) = 0;
  virtual uint32_t BlobGetLength(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, bool aReadOld,
                                 TnxBlobNr aBlobNr, uint32_t& aLength) = 0;
  virtual bool BlobIsLink(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                          std::u16string& aSrcTableName, TnxBlobNr& aSrcTableBlobNr) = 0;
  // aBlobLen, when given, receives the blob's length before the read.
  virtual uint32_t BlobRead(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, bool aReadOld,
                            TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, platform::TStream& aStream,
                            uint32_t* aBlobLen) = 0;
  virtual uint32_t BlobModified(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                TnxBlobNr aBlobNr, bool& aChanged) = 0;
  virtual uint32_t BlobAddToCache(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                  TnxBlobNr aBlobNr, uint32_t aLen, const void* aBlob);
  virtual uint32_t AfterDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const uint8_t* aRecord) = 0;
  virtual uint32_t BeforeInsert(TnxBaseTransaction* aTrans, uint8_t* aRecord) = 0;
  virtual uint32_t BeforeModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const uint8_t* aOldRecord,
                                uint8_t* aNewRecord) = 0;
  virtual uint32_t AfterModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const uint8_t* aOldRecord,
                               const uint8_t* aNewRecord) = 0;
  virtual bool NeedNested() = 0;

protected:
  // aOwner is also the parent.
  explicit TnxBaseBlobHandler(TnxAbstractCursor* aOwner);

  // aWork's answer, or the code of what it raised.
  template <class F>
  uint32_t bbhGuarded(F&& aWork) noexcept {
    try {
      return aWork();
    } catch (...) {
      return asoConvertCurrentException();
    }
  }

private:
  TnxAbstractCursor* bbhOwner = nullptr;
};

// Reads the blobs that blob engines find linked to a blob of another table
// of the same database.
class TnxBaseBlobLinkHandler : public TnxExtendableServerObject {
  REVUROV_SERVER_OBJECT_CLASS(TnxBaseBlobLinkHandler, TnxExtendableServerObject)

  virtual uint32_t BlobLinkRead(std::u16string_view aTableName, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                platform::TStream& aStream) = 0;
  virtual uint32_t BlobLinkGetLength(std::u16string_view aTableName, TnxBlobNr aBlobNr, uint32_t& aLength) = 0;

protected:
  using TnxExtendableServerObject::TnxExtendableServerObject;
};

}  // namespace revurov
