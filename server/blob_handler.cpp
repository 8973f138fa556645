#include "server/blob_handler.h"

#include <exception>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/shared_infos.h"
#include "engine/abstract_cursor.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/exception_conversion.h"
#include "platform/endian.h"

namespace revurov {

TnxBaseBlobHandler::TnxBaseBlobHandler(TnxAbstractCursor* aOwner)
    : TnxExtendableServerObject(aOwner), bbhOwner(aOwner) {}

uint32_t TnxBaseBlobHandler::GetBlobs(TnxBaseTransaction*, const uint8_t* aData,
                                      const TnxMarkedBlobsByBlobIdx* aMarkedBlobs, uint16_t& aBlobCount,
                                      TnxBlobNr* aBlobNrs) {
  const uint16_t capacity = aBlobCount;
  aBlobCount = 0;
  if (!aData) return nxeInvalidParameter;
  const TnxSpecialFieldsInfo* info = bbhOwner ? bbhOwner->SFI() : nullptr;
  const TnxFieldsDescriptor* fields = bbhOwner ? bbhOwner->FieldsDescriptor() : nullptr;
  if (!info || !fields) return 0;
  return bbhGuarded([&]() -> uint32_t {
    for (size_t i = 0; i < info->sfiBlobFields.size(); ++i) {
      if (aMarkedBlobs) {
        const size_t word = i / 32;
        if (word >= aMarkedBlobs->size() || !((uint32_t((*aMarkedBlobs)[word]) >> (i % 32)) & 1)) continue;
      }
      const int32_t field = info->sfiBlobFields[i];
      if (fields->IsRecordFieldNull(field, aData)) continue;
      const TnxBlobNr blobNr = platform::LoadLE<int64_t>(aData + fields->FieldDescriptor(field)->Offset());
      if (blobNr == 0) continue;
      if (aBlobCount == capacity || !aBlobNrs) return nxeOutOfRange;
      aBlobNrs[aBlobCount++] = blobNr;
    }
    return 0;
  });
}

uint32_t TnxBaseBlobHandler::BlobsCancel(TnxBaseTransaction*, TnxRefNr) { return 0; }

uint32_t TnxBaseBlobHandler::GetBlobCacheInfos(TnxBaseTransaction*, const TnxRecID&, TnxBlobCacheInfos& aBCIs) {
  aBCIs.clear();
  return NotSupported(u"GetBlobCacheInfos");
}

uint32_t TnxBaseBlobHandler::BlobCacheFlushed(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr, TnxBlobNr) {
  return NotSupported(u"BlobCacheFlushed");
}

uint32_t TnxBaseBlobHandler::BlobAddToCache(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr, uint32_t,
                                            const void*) {
  return NotSupported(u"BlobAddToCache");
}

}  // namespace revurov
