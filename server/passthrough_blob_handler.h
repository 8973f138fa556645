// TnxPassthroughBlobHandler: the blob handler that sends every blob change
// straight to the table's blob engine; linked blobs are read through the
// database's link handler.
//
// Contract:
// - Each operation is one blob engine call; an exception of the engine is
//   the operation's code.
// - BlobIsLink passes an exception of the engine on (it answers no code).
// - Reading or measuring the original (aReadOld) is not offered: 12289.
// - BlobReplace with a length writes from offset 0 (creating the blob when
//   the number is 0) and truncates an existing blob to the length; with
//   length 0 it truncates an existing blob and does nothing for number 0.
// - AfterDelete deletes every non-null, non-zero blob of the record; the
//   first failure marks the transaction corrupted, ends the walk and is
//   the result.
#pragma once

#include "dictionary/engine_types.h"
#include "server/blob_handler.h"
#include "storage/blob_engines.h"

namespace revurov {

class TnxFieldsDescriptor;

class TnxPassthroughBlobHandler : public TnxBaseBlobHandler {
  REVUROV_SERVER_OBJECT_CLASS(TnxPassthroughBlobHandler, TnxBaseBlobHandler)
  // aBlobLinkHandler may be nil (links then answer 12289).
  TnxPassthroughBlobHandler(TnxAbstractCursor* aParent, TnxBaseBlobEngine* aBlobEngine,
                            TnxBaseBlobLinkHandler* aBlobLinkHandler, TnxFieldsDescriptor* aFieldsDescriptor);

  const TnxBlobFields& BlobFields() const noexcept { return ptbhBlobFields; }

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
  uint32_t BeforeInsert(TnxBaseTransaction*, uint8_t*) override { return 0; }
  uint32_t BeforeModify(TnxBaseTransaction*, const TnxRecID&, const uint8_t*, uint8_t*) override { return 0; }
  uint32_t AfterModify(TnxBaseTransaction*, const TnxRecID&, const uint8_t*, const uint8_t*) override { return 0; }
  bool NeedNested() override { return false; }

private:
  uint32_t ReadOldRefused(std::u16string_view aOperation);

  TnxBaseBlobEngine* ptbhBlobEngine = nullptr;
  // What the blob engine reads linked blobs through.
  TnxBlobLinkRead ptbhLinkRead;
  TnxBlobLinkGetLength ptbhLinkGetLength;
  TnxBaseBlobLinkHandler* ptbhBlobLinkHandler = nullptr;
  TnxFieldsDescriptor* ptbhFieldsDescriptor = nullptr;
  TnxBlobFields ptbhBlobFields;
};

}  // namespace revurov
