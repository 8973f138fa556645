#include "server/blob_handler_steps.h"

#include <utility>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "server/blob_handler.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"

namespace revurov {

void nxBlobHandlerLinkMethods(const TnxBaseBlobHandler& aHandler, TnxBaseBlobLinkHandler* aLinkHandler,
                              TnxBlobLinkRead& aRead, TnxBlobLinkGetLength& aGetLength) {
  if (TnxBaseBlobLinkHandler* link = aLinkHandler) {
    aRead = [link](const std::u16string& aTableName, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                   platform::TStream& aStream) {
      return link->BlobLinkRead(aTableName, aBlobNr, aOffset, aLen, aStream);
    };
    aGetLength = [link](const std::u16string& aTableName, TnxBlobNr aBlobNr, uint32_t& aLength) {
      return link->BlobLinkGetLength(aTableName, aBlobNr, aLength);
    };
    return;
  }
  const TnxBaseBlobHandler* handler = &aHandler;
  aRead = [handler](const std::u16string&, TnxBlobNr, uint32_t, uint32_t, platform::TStream&) {
    return handler->NotSupported(u"BlobLinkRead");
  };
  aGetLength = [handler](const std::u16string&, TnxBlobNr, uint32_t&) {
    return handler->NotSupported(u"BlobLinkGetLength");
  };
}

TnxServerTableCursor* nxOpenPrivateBlobTable(TnxServerTableCursor& aOwner, TnxDataDictionary& aLayout, bool& aGone,
                                             std::vector<uint8_t>& aRecord, std::vector<uint8_t>& aKey) {
  auto* database = dynamic_cast<TnxServerDatabase*>(aOwner.Database());
  // The shared layout stays untouched: the result set adjusts the one it
  // is given.
  TnxDataDictionary dict;
  dict.Assign(&aLayout);
  auto cache = TnxServerTableCursor::CreateResultSet(database, &dict, aOwner.Timeout());
  nxBlobHandlerCheck(cache->sbcSwitchToIndex(u"", 0, porFalse));
  const size_t length = size_t(cache->TableDescriptor()->FieldsDescriptor().RecordLength()) + 4;
  aRecord.assign(length, 0);
  aKey.assign(length, 0);
  aGone = false;
  cache->SetDestroyFlag(&aGone);
  return cache.release();
}

void nxFreePrivateBlobTable(TnxServerTableCursor*& aCursor, bool aGone, std::vector<uint8_t>& aRecord,
                            std::vector<uint8_t>& aKey) noexcept {
  if (TnxServerTableCursor* cursor = std::exchange(aCursor, nullptr)) {
    if (!aGone) {
      cursor->SetDestroyFlag(nullptr);
      cursor->Free();
    }
  }
  aRecord.clear();
  aRecord.shrink_to_fit();
  aKey.clear();
  aKey.shrink_to_fit();
}

}  // namespace revurov
