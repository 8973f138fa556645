// TnxNullBlobHandler: the blob handler of a cursor whose table keeps no
// blobs. It reports none and tells every record change 0; every blob
// operation answers 12289 with its own name.
#pragma once

#include "server/blob_handler.h"

namespace revurov {

class TnxNullBlobHandler : public TnxBaseBlobHandler {
  REVUROV_SERVER_OBJECT_CLASS(TnxNullBlobHandler, TnxBaseBlobHandler)
  explicit TnxNullBlobHandler(TnxAbstractCursor* aOwner) : TnxBaseBlobHandler(aOwner) {}

  uint32_t GetBlobs(TnxBaseTransaction* aTrans, const uint8_t* aData, const TnxMarkedBlobsByBlobIdx* aMarkedBlobs,
                    uint16_t& aBlobCount, TnxBlobNr* aBlobNrs) override;
  bool BlobVerifyNr(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                    TnxBlobNr aBlobNr) override;
  uint32_t BlobCreate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                      TnxBlobNr& aBlobNr) override;
  uint32_t BlobCreateFile(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                          std::u16string_view aFileName, TnxBlobNr& aBlobNr) override;
  uint32_t BlobCreateLink(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                          std::u16string_view aTableName, TnxBlobNr aTableBlobNr, TnxBlobNr& aBlobNr) override;
  uint32_t BlobDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                      TnxBlobNr aBlobNr) override;
  uint32_t BlobFree(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                    bool& aBlobDeleted) override;
  uint32_t BlobTruncate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                        uint32_t aBlobLength) override;
  uint32_t BlobWrite(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                     uint32_t aOffset, uint32_t aLen, const void* aBlob) override;
  uint32_t BlobReplace(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr,
                       uint32_t aLen, const void* aBlob) override;
  uint32_t BlobGetLength(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, bool aReadOld,
                         TnxBlobNr aBlobNr, uint32_t& aLength) override;
  bool BlobIsLink(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                  std::u16string& aSrcTableName, TnxBlobNr& aSrcTableBlobNr) override;
  uint32_t BlobRead(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, bool aReadOld,
                    TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, platform::TStream& aStream,
                    uint32_t* aBlobLen) override;
  uint32_t BlobModified(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                        bool& aChanged) override;
  uint32_t AfterDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const uint8_t* aRecord) override;
  uint32_t BeforeInsert(TnxBaseTransaction* aTrans, uint8_t* aRecord) override;
  uint32_t BeforeModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const uint8_t* aOldRecord,
                        uint8_t* aNewRecord) override;
  uint32_t AfterModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const uint8_t* aOldRecord,
                       const uint8_t* aNewRecord) override;
  bool NeedNested() override { return false; }
};

}  // namespace revurov
