#include "dictionary/engine_records.h"

#include <algorithm>

#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"
#include "platform/rtl_exception.h"

namespace revurov {

bool nxRecIDIsAssigned(const TnxRecID& aRecID) noexcept {
  return aRecID.ridRefNr != 0 && aRecID.ridInsertLSN != 0;
}

bool nxRecIDIsAllOnes(const TnxRecID& aRecID) noexcept {
  return aRecID.ridRefNr == -1 && aRecID.ridInsertLSN == -1;
}

TnxRecordCacheInfo& nxRecordCacheInfoClear(TnxRecordCacheInfo& aInfo) noexcept {
  aInfo = nxNullRecordCacheInfo;
  return aInfo;
}

bool nxRecordCacheInfoIsEmpty(const TnxRecordCacheInfo& aInfo) noexcept {
  return aInfo.rciRefNr == 0 || aInfo.rciModifyLSN == 0;
}

bool nxRecordCacheInfoIsAssigned(const TnxRecordCacheInfo& aInfo) noexcept { return !nxRecordCacheInfoIsEmpty(aInfo); }

bool nxRecordCacheInfoEquals(const TnxRecordCacheInfo& a, const TnxRecordCacheInfo& b) noexcept {
  return nxRecordCacheInfoIsAssigned(a) && a.rciRefNr == b.rciRefNr && a.rciModifyLSN == b.rciModifyLSN;
}

bool nxRecordCacheInfoEqualsPtr(const TnxRecordCacheInfo& a, const TnxRecordCacheInfo* b) noexcept {
  return b != nullptr && nxRecordCacheInfoEquals(a, *b);
}

bool nxRecordCacheInfoEqualsIndexed(const TnxRecordCacheInfo& a, const TnxIndexedRecordCacheInfo* b) noexcept {
  return b != nullptr && nxRecordCacheInfoEquals(a, TnxRecordCacheInfo{b->irciRefNr, b->irciModifyLSN});
}

void nxSkipRecordCacheInfoBlobInfo(const uint8_t*& aPointer) noexcept {
  if (aPointer == nullptr) return;
  aPointer += nxRecordCacheInfoBlobInfoHeader + size_t{platform::LoadU16(aPointer)} * 8;
}

void nxWriteRecordCacheInfo(const TnxRecordCacheInfo& aInfo, TnxWriter& aWriter) {
  if (nxRecordCacheInfoIsEmpty(aInfo)) return aWriter.WriteIdent(u"nil");
  aWriter.WriteInteger(int64_t{aInfo.rciRefNr});
  aWriter.WriteInteger(int64_t{aInfo.rciModifyLSN});
}

namespace {

// The count as an Integer, then, when above 0, one binary value of the
// numbers little-endian.
template <class T>
void WriteCountedNumbers(const std::vector<T>& aNumbers, TnxWriter& aWriter) {
  const auto count = static_cast<int32_t>(aNumbers.size());
  aWriter.WriteInteger(count);
  if (count <= 0) return;
  std::vector<uint8_t> bytes(aNumbers.size() * sizeof(T));
  for (size_t i = 0; i < aNumbers.size(); ++i) platform::StoreLE(&bytes[i * sizeof(T)], aNumbers[i]);
  aWriter.WriteBinary(bytes.data(), static_cast<int32_t>(bytes.size()));
}

}  // namespace

void nxWriteBlobNrs(const TnxBlobNrs& aBlobNrs, TnxWriter& aWriter) { WriteCountedNumbers(aBlobNrs, aWriter); }

void nxWriteMarkedBlobs(const TnxMarkedBlobsByBlobIdx& aMarked, TnxWriter& aWriter) {
  WriteCountedNumbers(aMarked, aWriter);
}

void nxWriteBlobBatchRequestEntry(const TnxBlobBatchRequestEntry& aEntry, TnxWriter& aWriter) {
  aWriter.WriteInteger(int32_t{aEntry.bbrqeStateInfo});
  aWriter.WriteInteger(int64_t{aEntry.bbrqeBlobNr});
  aWriter.WriteInteger(int32_t{aEntry.bbrqeFieldNo});
  if (!aEntry.bbrqeFileName.empty())
    aWriter.WriteString(aEntry.bbrqeFileName);
  else
    aWriter.WriteBytes(aEntry.bbrqeData);
}

void nxWriteBlobBatchRequest(const TnxBlobBatchRequest& aRequest, TnxWriter& aWriter) {
  const auto count = static_cast<int32_t>(aRequest.bbrqEntries.size());
  aWriter.WriteInteger(count);
  if (count < 1) return;
  aWriter.WriteInteger(int64_t{aRequest.bbrqRecID.ridRefNr});
  aWriter.WriteInteger(int64_t{aRequest.bbrqRecID.ridInsertLSN});
  aWriter.WriteListBegin();
  for (const auto& entry : aRequest.bbrqEntries) nxWriteBlobBatchRequestEntry(entry, aWriter);
  aWriter.WriteListEnd();
}

namespace {

[[noreturn]] void InvalidValue() { throw platform::EReadError(platform::SInvalidPropertyValue); }

uint8_t ReadSet(TnxReader& aReader, int aBits) {
  const int32_t v = aReader.ReadInteger();
  if (v < 0 || v >= (1 << aBits)) InvalidValue();
  return static_cast<uint8_t>(v);
}

}  // namespace

void nxReadTransactionLevelInfo(TnxTransactionLevelInfo& aInfo, TnxReader& aReader) {
  aInfo.tliStartTime = aReader.ReadDate();
  aInfo.tliStartLSN = aReader.ReadInt64();
  aInfo.tliLSN = aReader.ReadInt64();
  aInfo.tliLevel = aReader.ReadInteger();
  aInfo.tliBlockCount = aReader.ReadInteger();
  aInfo.tliNestingCount = aReader.ReadInteger();
  aInfo.tliState = ReadSet(aReader, 3);
}

void nxReadTransactionInfo(TnxTransactionInfo& aInfo, TnxReader& aReader) {
  aInfo.tiLevels.clear();
  const int32_t count = aReader.ReadInteger();
  if (count < 0) InvalidValue();
  // The count comes off the wire: the levels grow as they arrive, so a
  // count beyond the data fails in the reader, not in one huge allocation.
  aInfo.tiLevels.reserve(static_cast<size_t>(std::min(count, 64)));
  for (int32_t i = 0; i < count; ++i) {
    aReader.ReadListBegin();
    nxReadTransactionLevelInfo(aInfo.tiLevels.emplace_back(), aReader);
    aReader.ReadListEnd();
  }
  aInfo.tiStartTime = aReader.ReadDate();
  aInfo.tiStartLSN = aReader.ReadInt64();
  aInfo.tiLSN = aReader.ReadInt64();
  aInfo.tiLevel = aReader.ReadInteger();
  aInfo.tiBlockCount = static_cast<uint32_t>(aReader.ReadInteger());
  aInfo.tiState = ReadSet(aReader, 4);
}

void nxBlobBatchRequestClear(TnxBlobBatchRequest& aRequest) noexcept {
  aRequest.bbrqRecID = nxNullRecID;
  aRequest.bbrqEntries.clear();
}

bool nxBlobBatchRequestIsAssigned(const TnxBlobBatchRequest& aRequest) noexcept {
  return nxRecIDIsAssigned(aRequest.bbrqRecID) && !aRequest.bbrqEntries.empty();
}

int32_t nxBlobBatchReplySizeForCount(int32_t aCount) noexcept { return aCount <= 0 ? 0 : aCount * 8 + 2; }

int32_t nxBlobBatchReplySizeForRequest(const TnxBlobBatchRequest& aRequest) noexcept {
  return nxBlobBatchReplySizeForCount(static_cast<int32_t>(aRequest.bbrqEntries.size()));
}

int32_t nxBlobBatchReplySize(const uint8_t* aReply) noexcept { return int32_t{platform::LoadU16(aReply)} * 8 + 2; }

}  // namespace revurov
