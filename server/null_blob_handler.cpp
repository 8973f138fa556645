#include "server/null_blob_handler.h"

namespace revurov {

uint32_t TnxNullBlobHandler::GetBlobs(TnxBaseTransaction*, const uint8_t*, const TnxMarkedBlobsByBlobIdx*,
                                      uint16_t& aBlobCount, TnxBlobNr*) {
  aBlobCount = 0;
  return 0;
}

bool TnxNullBlobHandler::BlobVerifyNr(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr) { return false; }

uint32_t TnxNullBlobHandler::BlobCreate(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr&) {
  return NotSupported(u"BlobCreate");
}

uint32_t TnxNullBlobHandler::BlobCreateFile(TnxBaseTransaction*, const TnxRecID&, int32_t, std::u16string_view,
                                            TnxBlobNr&) {
  return NotSupported(u"BlobCreateFile");
}

uint32_t TnxNullBlobHandler::BlobCreateLink(TnxBaseTransaction*, const TnxRecID&, int32_t, std::u16string_view,
                                            TnxBlobNr, TnxBlobNr&) {
  return NotSupported(u"BlobCreateLink");
}

uint32_t TnxNullBlobHandler::BlobDelete(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr) {
  return NotSupported(u"BlobDelete");
}

uint32_t TnxNullBlobHandler::BlobFree(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr, bool&) {
  return NotSupported(u"BlobFree");
}

uint32_t TnxNullBlobHandler::BlobTruncate(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr, uint32_t) {
  return NotSupported(u"BlobTruncate");
}

uint32_t TnxNullBlobHandler::BlobWrite(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr, uint32_t, uint32_t,
                                       const void*) {
  return NotSupported(u"BlobWrite");
}

uint32_t TnxNullBlobHandler::BlobReplace(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr&, uint32_t,
                                         const void*) {
  return NotSupported(u"BlobReplace");
}

uint32_t TnxNullBlobHandler::BlobGetLength(TnxBaseTransaction*, const TnxRecID&, int32_t, bool, TnxBlobNr,
                                           uint32_t&) {
  return NotSupported(u"BlobGetLength");
}

bool TnxNullBlobHandler::BlobIsLink(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr,
                                    std::u16string& aSrcTableName, TnxBlobNr&) {
  aSrcTableName.clear();
  return false;
}

uint32_t TnxNullBlobHandler::BlobRead(TnxBaseTransaction*, const TnxRecID&, int32_t, bool, TnxBlobNr, uint32_t,
                                      uint32_t, platform::TStream&, uint32_t*) {
  return NotSupported(u"BlobRead");
}

uint32_t TnxNullBlobHandler::BlobModified(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr, bool&) {
  return NotSupported(u"BlobModified");
}

uint32_t TnxNullBlobHandler::AfterDelete(TnxBaseTransaction*, const TnxRecID&, const uint8_t*) { return 0; }
uint32_t TnxNullBlobHandler::BeforeInsert(TnxBaseTransaction*, uint8_t*) { return 0; }
uint32_t TnxNullBlobHandler::BeforeModify(TnxBaseTransaction*, const TnxRecID&, const uint8_t*, uint8_t*) { return 0; }
uint32_t TnxNullBlobHandler::AfterModify(TnxBaseTransaction*, const TnxRecID&, const uint8_t*, const uint8_t*) {
  return 0;
}

}  // namespace revurov
