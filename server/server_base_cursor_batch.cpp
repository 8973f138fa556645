// The base cursor's batch read: records one after the other through the
// cursor's own next or prior read, straight into the batch stream, and
// the blob entries that follow a record.
#include <algorithm>
#include <exception>
#include <limits>

#include "dictionary/fields_descriptor.h"
#include "engine/batch_stream.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/endian.h"
#include "server/server_base_cursor.h"

namespace revurov {

namespace {

constexpr int32_t kNoLimit = std::numeric_limits<int32_t>::max();
constexpr int64_t kDefaultCapacity = 0x80000;

bool Has(TnxRecordGetBatchExOptions aOptions, TnxRecordGetBatchExOption aOption) noexcept {
  return (aOptions >> aOption) & 1;
}

void WriteU32(TnxMemoryStream& aStream, uint32_t aValue) {
  uint8_t bytes[4];
  platform::StoreU32(bytes, aValue);
  aStream.Write(bytes, 4);
}

}  // namespace

uint32_t nxBatchCapacity(int32_t aCutoffSize) noexcept {
  // The stream grows as records come; a large cut-off is no reason to take
  // its whole size up front.
  return uint32_t(aCutoffSize == kNoLimit ? kDefaultCapacity : std::min<int64_t>(aCutoffSize, kDefaultCapacity));
}

uint32_t TnxServerBaseCursor::sbcRecordGetBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                                TnxBatchStreamAccess*& aAccess, int32_t aMaxRecords, bool aForward) {
  if (aMaxRecords < 1) aMaxRecords = kNoLimit;
  if (aCutoffSize < 0) aCutoffSize = kNoLimit;
  uint32_t result = 0;
  bool locked = false;
  try {
    result = sbcBeginContentLock(false, false, false);
    if (result == 0) {
      locked = true;
      TnxBlobFields blobFields;
      TnxFieldsDescriptor* fields = FieldsDescriptor();
      if (!fields || !fields->HasBlobFields(blobFields)) aOptions &= ~(1u << gboBlobs);
      if (!aAccess)
        aAccess = CreateBatchStreamAccess(nullptr, aOptions).release();
      else
        aAccess->Clear(false);
      TnxMemoryStream& stream = aAccess->Stream();
      stream.SetCapacity(nxBatchCapacity(aCutoffSize));
      WriteU32(stream, 0);
      WriteU32(stream, 0);
      const uint32_t recordLength = fields ? uint32_t(fields->RecordLength()) : 0;
      int32_t entrySize = int32_t(recordLength);
      uint32_t bookmarkSize = 0;
      uint32_t status = sbcGetBookmarkSize(bookmarkSize);
      if (Has(aOptions, gboBookmarks))
        entrySize += int32_t(bookmarkSize);
      else
        bookmarkSize = status = 0;
      if (status == 0 && Has(aOptions, gboSetToBeginOrEnd)) aForward ? sbcSetToBegin() : sbcSetToEnd();
      int32_t count = 0;
      while (status == 0 && stream.GetSize() < aCutoffSize && count < aMaxRecords) {
        WriteU32(stream, uint32_t(entrySize));
        const int64_t at = stream.Position();
        stream.SetSize(at + entrySize);
        status = aForward ? sbcRecordGetNext(nxltNoLock, stream.ByteArray() + at)
                          : sbcRecordGetPrior(nxltNoLock, stream.ByteArray() + at);
        if (status == 0 && bookmarkSize > 0) {
          uint8_t* bookmark = stream.ByteArray() + at + recordLength;
          status = IsCache() ? sbcGetBookmarkCache(bookmark, bookmarkSize) : sbcGetBookmark(bookmark, bookmarkSize);
        }
        if (status == 0 && Has(aOptions, gboBlobs)) {
          int32_t size = entrySize;
          sbcCopyBlobsToBatchStream(size, uint32_t(at), stream, Has(aOptions, gboBlobNrs),
                                    Has(aOptions, gboBlobsOnlyMarked));
          if (size != entrySize) platform::StoreU32(stream.ByteArray() + at - 4, uint32_t(size));
        }
        if (status != 0) {
          stream.SetSize(at);
        } else {
          stream.Seek(0, platform::TSeekOrigin::soEnd);
          ++count;
        }
      }
      if (status == nxeFilterTimeout && count == 0) result = nxeFilterTimeout;
      platform::StoreU32(stream.ByteArray(), status);
      platform::StoreLE<int32_t>(stream.ByteArray() + 4, count);
    }
  } catch (const std::exception& e) {
    result = asoConvertException(e);
  }
  if (locked) sbcEndContentLock();
  if (aAccess) aAccess->Reset(false);
  return result;
}

uint32_t TnxServerBaseCursor::sbcCopyBlobsToBatchStream(int32_t& aSize, uint32_t aOffset, TnxMemoryStream& aStream,
                                                        bool aAddBlobNr, bool aOnlyMarked) {
  const TnxMarkedBlobsRef& marked = MarkedBlobs();
  if (aOnlyMarked && !marked) return 0;
  TnxFieldsDescriptor* fields = FieldsDescriptor();
  TnxBlobFields blobFields;
  if (!fields || !fields->HasBlobFields(blobFields)) return 0;
  const bool skipData = HasAllCursorOptions(TnxAbstractCursorOptions(1) << acoSkipReadingBlobDataForBatch);
  for (size_t i = 0; i < blobFields.size(); ++i) {
    if (aOnlyMarked) {
      const size_t word = i / 32;
      if (word >= marked->size() || !((uint32_t((*marked)[word]) >> (i % 32)) & 1)) continue;
    }
    const int32_t field = blobFields[i];
    const uint32_t place = fields->FieldDescriptor(field)->Offset();
    // The stream may move whenever it grows: the record is found afresh.
    auto record = [&] { return aStream.ByteArray() + aOffset; };
    if (fields->IsRecordFieldNull(field, record())) continue;
    const TnxBlobNr blobNr = platform::LoadLE<int64_t>(record() + place);
    if (blobNr == 0) {
      fields->SetRecordFieldNull(field, record(), true);
      continue;
    }
    const TnxRecID recID = acGetRecID(record());
    uint32_t length = 0;
    uint32_t code = sbcBlobGetLength(recID, field, blobNr, length, false, nullptr);
    if (code == 0 && length == 0) {
      fields->SetRecordFieldNull(field, record(), true);
      continue;
    }
    const int64_t entry = aStream.Seek(0, platform::TSeekOrigin::soEnd);
    uint32_t dataLength = length;
    if (code != 0) {
      WriteU32(aStream, nxBatchHasResult | 4);
      WriteU32(aStream, code);
      dataLength = 4;
    } else {
      WriteU32(aStream, length);
      if (skipData) {
        aStream.SetSize(entry + 4 + length);
        aStream.Seek(0, platform::TSeekOrigin::soEnd);
      } else {
        try {
          code = sbcBlobRead(recID, field, blobNr, 0, length, aStream, false, nullptr);
        } catch (const std::exception& e) {
          code = asoConvertException(e);
        }
        if (code == 0 && aStream.Position() - (entry + 4) != int64_t(length)) code = nxeReadFailure;
      }
      if (code != 0) {
        fields->SetRecordFieldNull(field, record(), true);
        aStream.SetSize(entry);
        continue;
      }
    }
    if (aAddBlobNr) {
      uint8_t bytes[8];
      platform::StoreLE<int64_t>(bytes, blobNr);
      aStream.Write(bytes, 8);
      aSize += 8;
    }
    platform::StoreLE<int64_t>(record() + place, entry);
    aSize += int32_t(dataLength) + 4;
  }
  return 0;
}

}  // namespace revurov
