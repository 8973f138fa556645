#include "server/passthrough_blob_handler.h"

#include <string>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "engine/abstract_cursor.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/endian.h"
#include "storage/blob_engines.h"
#include "storage/transactions.h"

namespace revurov {

namespace {

// The blob engine changes blobs only inside a transaction.
TnxBaseTransaction& NeedTrans(TnxBaseTransaction* aTrans) {
  if (!aTrans) throw EnxBaseException(nxeNoTransaction);
  return *aTrans;
}

}  // namespace

TnxPassthroughBlobHandler::TnxPassthroughBlobHandler(TnxAbstractCursor* aParent, TnxBaseBlobEngine* aBlobEngine,
                                                     TnxBaseBlobLinkHandler* aBlobLinkHandler,
                                                     TnxFieldsDescriptor* aFieldsDescriptor)
    : TnxBaseBlobHandler(aParent),
      ptbhBlobEngine(aBlobEngine),
      ptbhBlobLinkHandler(aBlobLinkHandler),
      ptbhFieldsDescriptor(aFieldsDescriptor) {
  if (ptbhFieldsDescriptor) ptbhFieldsDescriptor->HasBlobFields(ptbhBlobFields);
  if (ptbhBlobLinkHandler) {
    TnxBaseBlobLinkHandler* link = ptbhBlobLinkHandler;
    ptbhLinkRead = [link](const std::u16string& aTableName, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                          platform::TStream& aStream) {
      return link->BlobLinkRead(aTableName, aBlobNr, aOffset, aLen, aStream);
    };
    ptbhLinkGetLength = [link](const std::u16string& aTableName, TnxBlobNr aBlobNr, uint32_t& aLength) {
      return link->BlobLinkGetLength(aTableName, aBlobNr, aLength);
    };
  } else {
    ptbhLinkRead = [this](const std::u16string&, TnxBlobNr, uint32_t, uint32_t, platform::TStream&) {
      return NotSupported(u"BlobLinkRead");
    };
    ptbhLinkGetLength = [this](const std::u16string&, TnxBlobNr, uint32_t&) {
      return NotSupported(u"BlobLinkGetLength");
    };
  }
}

uint32_t TnxPassthroughBlobHandler::ReadOldRefused(std::u16string_view aOperation) {
  return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"%s with aReadOld = True is not supported by %s",
                                        {aOperation, ClassName()});
}

bool TnxPassthroughBlobHandler::BlobVerifyNr(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr) {
  return true;
}

uint32_t TnxPassthroughBlobHandler::BlobCreate(TnxBaseTransaction* aTrans, const TnxRecID&, int32_t,
                                               TnxBlobNr& aBlobNr) {
  return bbhGuarded([&] {
    ptbhBlobEngine->AddBlob(NeedTrans(aTrans), aBlobNr);
    return 0u;
  });
}

uint32_t TnxPassthroughBlobHandler::BlobCreateFile(TnxBaseTransaction* aTrans, const TnxRecID&, int32_t,
                                                   std::u16string_view aFileName, TnxBlobNr& aBlobNr) {
  return bbhGuarded([&] {
    ptbhBlobEngine->AddFileBlob(NeedTrans(aTrans), aFileName, aBlobNr);
    return 0u;
  });
}

uint32_t TnxPassthroughBlobHandler::BlobCreateLink(TnxBaseTransaction* aTrans, const TnxRecID&, int32_t,
                                                   std::u16string_view aTableName, TnxBlobNr aTableBlobNr,
                                                   TnxBlobNr& aBlobNr) {
  return bbhGuarded([&] {
    ptbhBlobEngine->AddBlobLink(NeedTrans(aTrans), aTableName, aTableBlobNr, aBlobNr);
    return 0u;
  });
}

uint32_t TnxPassthroughBlobHandler::BlobDelete(TnxBaseTransaction* aTrans, const TnxRecID&, int32_t,
                                               TnxBlobNr aBlobNr) {
  return bbhGuarded([&] {
    ptbhBlobEngine->DeleteBlob(NeedTrans(aTrans), aBlobNr);
    return 0u;
  });
}

uint32_t TnxPassthroughBlobHandler::BlobFree(TnxBaseTransaction* aTrans, const TnxRecID&, int32_t, TnxBlobNr aBlobNr,
                                             bool& aBlobDeleted) {
  aBlobDeleted = false;
  return bbhGuarded([&] {
    aBlobDeleted = ptbhBlobEngine->FreeBlob(&NeedTrans(aTrans), aBlobNr);
    return 0u;
  });
}

uint32_t TnxPassthroughBlobHandler::BlobTruncate(TnxBaseTransaction* aTrans, const TnxRecID&, int32_t,
                                                 TnxBlobNr aBlobNr, uint32_t aBlobLength) {
  return bbhGuarded([&] {
    ptbhBlobEngine->Truncate(NeedTrans(aTrans), aBlobNr, aBlobLength);
    return 0u;
  });
}

uint32_t TnxPassthroughBlobHandler::BlobWrite(TnxBaseTransaction* aTrans, const TnxRecID&, int32_t, TnxBlobNr aBlobNr,
                                              uint32_t aOffset, uint32_t aLen, const void* aBlob) {
  return bbhGuarded([&] {
    if (aLen > 0 && !aBlob) return uint32_t(nxeInvalidParameter);
    ptbhBlobEngine->Write(NeedTrans(aTrans), aBlobNr, aOffset, aLen, aBlob);
    return 0u;
  });
}

uint32_t TnxPassthroughBlobHandler::BlobReplace(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                                TnxBlobNr& aBlobNr, uint32_t aLen, const void* aBlob) {
  if (aLen == 0) return aBlobNr == 0 ? 0 : BlobTruncate(aTrans, aRecID, aFieldNo, aBlobNr, 0);
  if (aBlobNr == 0) {
    if (const uint32_t result = BlobCreate(aTrans, aRecID, aFieldNo, aBlobNr)) return result;
    return BlobWrite(aTrans, aRecID, aFieldNo, aBlobNr, 0, aLen, aBlob);
  }
  if (const uint32_t result = BlobWrite(aTrans, aRecID, aFieldNo, aBlobNr, 0, aLen, aBlob)) return result;
  return BlobTruncate(aTrans, aRecID, aFieldNo, aBlobNr, aLen);
}

uint32_t TnxPassthroughBlobHandler::BlobGetLength(TnxBaseTransaction* aTrans, const TnxRecID&, int32_t, bool aReadOld,
                                                  TnxBlobNr aBlobNr, uint32_t& aLength) {
  if (aReadOld) return ReadOldRefused(u"BlobGetLength");
  return bbhGuarded([&] { return ptbhBlobEngine->GetBlobLength(aTrans, aBlobNr, ptbhLinkGetLength, aLength); });
}

bool TnxPassthroughBlobHandler::BlobIsLink(TnxBaseTransaction* aTrans, const TnxRecID&, int32_t, TnxBlobNr aBlobNr,
                                           std::u16string& aSrcTableName, TnxBlobNr& aSrcTableBlobNr) {
  aSrcTableName.clear();
  return ptbhBlobEngine->IsBlobLink(aTrans, aBlobNr, aSrcTableName, aSrcTableBlobNr);
}

uint32_t TnxPassthroughBlobHandler::BlobRead(TnxBaseTransaction* aTrans, const TnxRecID&, int32_t, bool aReadOld,
                                             TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                             platform::TStream& aStream, uint32_t* aBlobLen) {
  if (aReadOld) return ReadOldRefused(u"BlobRead");
  return bbhGuarded([&] {
    if (aBlobLen) {
      if (const uint32_t result = ptbhBlobEngine->GetBlobLength(aTrans, aBlobNr, ptbhLinkGetLength, *aBlobLen))
        return result;
    }
    return ptbhBlobEngine->Read(aTrans, aBlobNr, aOffset, aLen, ptbhLinkRead, aStream);
  });
}

uint32_t TnxPassthroughBlobHandler::BlobModified(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr, bool&) {
  return NotSupported(u"BlobModified");
}

uint32_t TnxPassthroughBlobHandler::AfterDelete(TnxBaseTransaction* aTrans, const TnxRecID&, const uint8_t* aRecord) {
  if (!aRecord) return nxeInvalidParameter;
  for (const int32_t field : ptbhBlobFields) {
    uint32_t result = 0;
    try {
      if (ptbhFieldsDescriptor->IsRecordFieldNull(field, aRecord)) continue;
      const TnxBlobNr blobNr =
          platform::LoadLE<int64_t>(aRecord + ptbhFieldsDescriptor->FieldDescriptor(field)->Offset());
      if (blobNr == 0) continue;
      ptbhBlobEngine->DeleteBlob(NeedTrans(aTrans), blobNr);
    } catch (...) {
      result = asoConvertCurrentException();
    }
    if (result != 0) {
      // The record is gone but some of its blobs are not: the transaction
      // must not commit.
      if (aTrans) {
        try {
          aTrans->MarkCorrupted();
        } catch (...) {
          // The code already reports the failure.
        }
      }
      return result;
    }
  }
  return 0;
}

}  // namespace revurov
