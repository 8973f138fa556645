#include "engine/batch_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/shared_infos.h"
#include "engine/abstract_cursor.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"

namespace revurov {

namespace {

using platform::LoadLE;
using platform::LoadU16;
using platform::LoadU32;
using platform::StoreLE;
using platform::StoreU32;

// [aAt, aAt + aLen) lies inside [aLow, aHigh); no sum can overflow since
// every bound comes from a stream of less than 2^63 bytes.
bool Inside(uint64_t aAt, uint64_t aLen, uint64_t aLow, uint64_t aHigh) noexcept {
  return aAt >= aLow && aAt <= aHigh && aLen <= aHigh - aAt;
}

void WriteIdentity(uint8_t* aAt, const TnxRecordCacheInfo& aInfo, int32_t aIndex) noexcept {
  StoreLE<int64_t>(aAt, aInfo.rciRefNr);
  StoreLE<int64_t>(aAt + 8, aInfo.rciModifyLSN);
  StoreLE<int32_t>(aAt + 16, aIndex);
}

}  // namespace

// ---- entries ----

// An entry kept past a Clear of its stream reads nothing.
bool TnxBatchStreamEntry::IsCurrent() const noexcept {
  return bseBatchAccess && bseEntryBase && End() <= bseBatchAccess->Size();
}

uint8_t* TnxBatchStreamEntry::Record() const noexcept {
  return bseRecord && IsCurrent() ? bseBatchAccess->Memory() + bseRecord : nullptr;
}

uint8_t* TnxBatchStreamEntry::Bookmark() const noexcept {
  return bseBookmark && IsCurrent() ? bseBatchAccess->Memory() + bseBookmark : nullptr;
}

bool TnxBatchStreamEntry::CacheInfo(TnxIndexedRecordCacheInfo& aInfo) const noexcept {
  aInfo = {};
  if (!bseCacheInfo || !IsCurrent()) return false;
  const uint8_t* at = bseBatchAccess->Memory() + bseCacheInfo;
  aInfo.irciRefNr = LoadLE<int64_t>(at);
  aInfo.irciModifyLSN = LoadLE<int64_t>(at + 8);
  aInfo.irciIndex = LoadLE<int32_t>(at + 16);
  return true;
}

bool TnxBatchStreamEntry::BlobOffset(uint32_t aSlot, TnxBatchBlobOffset& aOffset) const noexcept {
  aOffset = {};
  if (!bseBlobOffsets || aSlot >= bseBlobOffsetSlots || !IsCurrent()) return false;
  const uint8_t* at = bseBatchAccess->Memory() + bseBlobOffsets + aSlot * nxBatchBlobOffsetSize;
  aOffset.bboOffset = LoadU32(at);
  aOffset.bboFieldNo = LoadU16(at + 4);
  return aOffset.bboOffset != 0;
}

int8_t TnxFirstInt64SortedList::Compare(void* aItem1, void* aItem2) {
  const int64_t a = LoadLE<int64_t>(aItem1), b = LoadLE<int64_t>(aItem2);
  return a < b ? -1 : a > b ? 1 : 0;
}

// ---- the access ----

// The blob numbers a client holds for one of its identities.
struct TnxBatchStreamAccess::BlobList {
  const uint8_t* blNrs = nullptr;  // raw 8-byte numbers
  uint16_t blCount = 0;
  TnxBlobNr At(uint16_t aIndex) const noexcept { return LoadLE<int64_t>(blNrs + 8 * aIndex); }
  bool Contains(TnxBlobNr aBlobNr) const noexcept {
    for (uint16_t i = 0; i < blCount; ++i)
      if (At(i) == aBlobNr) return true;
    return false;
  }
};

TnxBatchStreamAccess::TnxBatchStreamAccess(TnxAbstractCursor* aCursor, TnxRecordGetBatchExOptions aOptions,
                                           std::unique_ptr<TnxMemoryStream>&& aStream)
    : bsaCursor(aCursor) {
  if (!aCursor) throw EnxBaseException(nxeNoCurrentRecord);
  if (aCursor->BlobFieldCount() == 0) aOptions &= ~(1u << gboBlobs);
  if (!((aOptions >> gboBlobs) & 1)) aOptions &= ~(1u << gboBlobNrs);
  bsaOptions = aOptions;
  if (HasOption(gboBlobs) && HasOption(gboBlobsOnlyMarked) && aCursor->MarkedBlobs())
    bsaMarkedBlobs = *aCursor->MarkedBlobs();
  if (TnxFieldsDescriptor* fields = aCursor->FieldsDescriptor())
    bsaRecordLength = static_cast<uint32_t>(fields->RecordLength());
  if (HasOption(gboBookmarks)) {
    uint32_t size = 0;
    if (uint32_t result = aCursor->sbcGetBookmarkSize(size)) throw EnxBaseException(result);
    bsaBookmarkSize = size;
  }
  std::unique_ptr<TnxMemoryStream> own = aStream ? nullptr : std::make_unique<TnxMemoryStream>();
  // Nothing below can fail: only now is the caller's stream taken.
  bsaStream = own ? std::move(own) : std::move(aStream);
  Reset(false);
}

TnxBatchStreamAccess::~TnxBatchStreamAccess() = default;

std::unique_ptr<TnxBatchStreamAccess> TnxAbstractCursor::CreateBatchStreamAccess(
    std::unique_ptr<TnxMemoryStream>&& aStream, TnxRecordGetBatchExOptions aOptions) {
  return std::make_unique<TnxBatchStreamAccess>(this, aOptions, std::move(aStream));
}

uint64_t TnxBatchStreamAccess::Size() const noexcept { return static_cast<uint64_t>(bsaStream->GetSize()); }

int32_t TnxBatchStreamAccess::Count() const noexcept {
  return Size() < nxBatchStreamHeaderSize ? 0 : LoadLE<int32_t>(Memory() + 4);
}

uint32_t TnxBatchStreamAccess::InnerError() const noexcept {
  return Size() < nxBatchStreamHeaderSize ? 0 : LoadU32(Memory());
}

void TnxBatchStreamAccess::SetInnerError(uint32_t aValue) noexcept {
  if (Size() >= nxBatchStreamHeaderSize) StoreU32(Memory(), aValue);
}

bool TnxBatchStreamAccess::InvalidList(int32_t& aCount) const noexcept {
  aCount = 0;
  const uint64_t at = bsaInvalidCount, end = std::min(bsaEnd, Size());
  if (!at || !Inside(at, 4, nxBatchStreamHeaderSize, end)) return false;
  aCount = LoadLE<int32_t>(Memory() + at);
  if (aCount >= 0 && Inside(at + 4, uint64_t(aCount) * nxRecordCacheInfoSize, at + 4, end)) return true;
  aCount = 0;
  return false;
}

bool TnxBatchStreamAccess::HasInvalidList() const noexcept {
  int32_t count = 0;
  return InvalidList(count);
}

TnxRecordCacheInfos TnxBatchStreamAccess::InvalidInfos() const {
  TnxRecordCacheInfos infos;
  int32_t count = 0;
  if (!InvalidList(count)) return infos;
  infos.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* at = Memory() + bsaInvalidCount + 4 + uint64_t(i) * nxRecordCacheInfoSize;
    infos.push_back({LoadLE<int64_t>(at), LoadLE<int64_t>(at + 8)});
  }
  return infos;
}

void TnxBatchStreamAccess::Clear(bool aKeepError) {
  if (aKeepError && Size() >= 4 && LoadU32(Memory()) != 0) {
    bsaStream->SetSize(nxBatchStreamHeaderSize);
    StoreLE<int32_t>(Memory() + 4, 0);
  } else {
    bsaStream->SetSize(0);
  }
  Reset(false);
}

bool TnxBatchStreamAccess::Reset(bool aApplyClientFilter) {
  bsaEnd = Size();
  bsaCurrentEntry = bsaEnd < nxBatchStreamHeaderSize ? 0 : nxBatchStreamHeaderSize;
  bsaCurrentIndex = -1;
  bsaInvalidCount = 0;
  bsaError = 0;
  bsaCheckFilter = false;
  bsaCount = Count();
  if (bsaCount < 1) {
    bsaCurrentEntry = 0;
    if (bsaEnd > 12) bsaInvalidCount = nxBatchStreamHeaderSize;
    return false;
  }
  bsaCheckFilter = aApplyClientFilter && bsaCursor->IsRemote() && bsaCursor->HasActiveLocalFilter();
  return true;
}

bool TnxBatchStreamAccess::ParseResultEntry(const uint8_t* aMemory, uint64_t aAt,
                                            TnxBatchStreamEntry& aEntry) noexcept {
  aEntry = {};
  aEntry.bseBatchAccess = this;
  aEntry.bseEntryBase = aAt;
  const uint32_t word = LoadU32(aMemory + aAt);
  const uint32_t size = word & nxBatchSizeMask;
  aEntry.bseSize = size;
  uint64_t data = aAt + 4;
  const uint64_t end = data + size;
  if (word & nxBatchHasResult) {
    if (size < 4) return false;
    aEntry.bseResult = LoadU32(aMemory + data);
    data += 4;
  }
  if (aEntry.bseResult == 0) {
    // A record entry holds a whole record, and the bookmark when asked.
    if (uint64_t(bsaRecordLength) + bsaBookmarkSize > end - data) return false;
    aEntry.bseRecord = data;
    if (HasOption(gboBookmarks)) aEntry.bseBookmark = data + bsaRecordLength;
  } else if (aEntry.bseResult == nxBatchCacheIsValid) {
    ParseCacheValid(aMemory, aEntry, data, end);
  }
  return true;
}

bool TnxBatchStreamAccess::StepFailed(TnxBatchStreamEntry& aEntry) noexcept {
  aEntry = {};
  bsaError = nxeMessageUnrecognized;
  bsaCurrentEntry = 0;
  return false;
}

void TnxBatchStreamAccess::ParseCacheValid(const uint8_t* aMemory, TnxBatchStreamEntry& aEntry, uint64_t aData,
                                           uint64_t aEnd) const noexcept {
  // The identity is read only when all 20 bytes are there.
  if (nxIndexedRecordCacheInfoSize > aEnd - aData) return;
  aEntry.bseCacheInfo = aData;
  const uint64_t offsets = aData + nxIndexedRecordCacheInfoSize;
  if (!HasOption(gboBlobs)) return;
  // The array runs to a zero offset, the entry's end or one slot per blob
  // field, whichever comes first.
  const uint64_t room =
      std::min<uint64_t>((aEnd - offsets) / nxBatchBlobOffsetSize, uint64_t(bsaCursor->BlobFieldCount()));
  uint32_t slots = 0;
  while (slots < room && LoadU32(aMemory + offsets + slots * nxBatchBlobOffsetSize) != 0) ++slots;
  if (slots) {
    aEntry.bseBlobOffsets = offsets;
    aEntry.bseBlobOffsetSlots = slots;
  }
}

bool TnxBatchStreamAccess::NextFiltered(TnxBatchStreamEntry& aEntry, int32_t* aPosition, int32_t* aTotal) {
  while (Step(aEntry, aPosition, aTotal))
    if (aEntry.bseRecord && bsaCursor->FilterMatchesBuffer(Memory() + aEntry.bseRecord)) return true;
  return false;
}

// ---- blob areas ----

int32_t TnxBatchStreamAccess::BlobIdxOf(int32_t aFieldNo) const noexcept {
  const int32_t count = bsaCursor->BlobFieldCount();
  for (int32_t i = 0; i < count; ++i)
    if (bsaCursor->BlobField(i) == aFieldNo) return i;
  return -1;
}

bool TnxBatchStreamAccess::IsBlobIdxEmbedded(int32_t aBlobIdx) const noexcept {
  if (!HasOption(gboBlobs)) return false;
  if (!HasOption(gboBlobsOnlyMarked)) return true;
  const size_t word = size_t(aBlobIdx) / 32;
  return word < bsaMarkedBlobs.size() && ((uint32_t(bsaMarkedBlobs[word]) >> (aBlobIdx % 32)) & 1);
}

bool TnxBatchStreamAccess::IsRecordEntry(const TnxBatchStreamEntry& aEntry) const noexcept {
  return aEntry.bseRecord != 0 && aEntry.bseBatchAccess == this && aEntry.IsCurrent();
}

// Areas lie after the record and bookmark, or after the result code of an
// entry without record; never over the entry's own header.
uint64_t TnxBatchStreamAccess::AreaFloor(const TnxBatchStreamEntry& aEntry) const noexcept {
  if (aEntry.bseRecord) return aEntry.bseRecord + bsaRecordLength + bsaBookmarkSize;
  if (aEntry.bseBlobOffsets) return aEntry.bseBlobOffsets + uint64_t(aEntry.bseBlobOffsetSlots) * nxBatchBlobOffsetSize;
  return aEntry.bseEntryBase + 4;
}

bool TnxBatchStreamAccess::GetBlobAccess(const TnxBatchStreamEntry& aEntry, TnxBatchBlobAccess& aAccess) {
  aAccess.bbaBlobData = 0;
  aAccess.bbaSize = 0;
  aAccess.bbaResult = 0;
  const uint64_t base = aAccess.bbaOffset;
  const uint64_t end = std::min(aEntry.End(), Size());
  if (aEntry.bseBatchAccess != this || !Inside(base, 4, AreaFloor(aEntry), end)) {
    aAccess.bbaResult = nxeMessageUnrecognized;
    bsaError = nxeMessageUnrecognized;
    return false;
  }
  const uint32_t word = LoadU32(Memory() + base);
  const uint32_t size = word & nxBatchSizeMask;
  const uint64_t trailer = HasOption(gboBlobNrs) ? 8 : 0;
  if (!Inside(base + 4, uint64_t(size) + trailer, base + 4, end)) {
    aAccess.bbaResult = nxeMessageUnrecognized;
    bsaError = nxeMessageUnrecognized;
    return false;
  }
  aAccess.bbaSize = size;
  if (word & nxBatchHasResult)
    aAccess.bbaResult = size < 4 ? nxeExceptionWithoutCode : LoadU32(Memory() + base + 4);
  else
    aAccess.bbaBlobData = base + 4;
  if (trailer) aAccess.bbaBlobNr = LoadLE<int64_t>(Memory() + base + 4 + size);
  return true;
}

bool TnxBatchStreamAccess::GetBlobAccess(const TnxBatchStreamEntry& aEntry, int32_t aFieldNo,
                                         TnxBatchBlobAccess& aAccess) {
  aAccess = {};
  aAccess.bbaFieldNo = static_cast<uint16_t>(aFieldNo);
  // The record is read with this access's layout: never another's entry.
  if (aEntry.bseBatchAccess != this || !aEntry.IsCurrent()) {
    aAccess.bbaResult = nxeMessageUnrecognized;
    return false;
  }
  if (!aEntry.bseRecord) {
    aAccess.bbaResult = aEntry.bseResult ? aEntry.bseResult : nxeNoCurrentRecord;
    return false;
  }
  TnxFieldsDescriptor* fields = bsaCursor->FieldsDescriptor();
  if (!fields || aFieldNo < 0 || aFieldNo >= fields->FieldCount() || !fields->FieldDescriptor(aFieldNo)->IsBlob()) {
    aAccess.bbaResult = nxeNotABlob;
    return false;
  }
  TnxBlobNr value = 0;
  if (!bsaCursor->ReadBlobNr(aEntry.Record(), aFieldNo, value) || value == 0) return false;
  if (IsBlobIdxEmbedded(BlobIdxOf(aFieldNo))) {
    aAccess.bbaOffset = static_cast<uint32_t>(uint64_t(value));
    return GetBlobAccess(aEntry, aAccess);
  }
  aAccess.bbaBlobNr = value;
  return true;
}

bool TnxBatchStreamAccess::GetBlobAccess(const TnxBatchStreamEntry& aEntry, const TnxBatchBlobOffset* aOffset,
                                         TnxBatchBlobAccess& aAccess) {
  aAccess = {};
  if (!aOffset || aOffset->bboOffset == 0) return false;
  aAccess.bbaOffset = aOffset->bboOffset;
  aAccess.bbaFieldNo = aOffset->bboFieldNo;
  return GetBlobAccess(aEntry, aAccess);
}

bool TnxBatchStreamAccess::GetBlobAccesses(const TnxBatchStreamEntry& aEntry, TnxBatchBlobAccesses& aAccesses,
                                           bool aEmbeddedOnly) {
  aAccesses.clear();
  const int32_t blobFields = bsaCursor->BlobFieldCount();
  TnxBatchBlobAccess access;
  if (aEntry.bseRecord) {
    for (int32_t i = 0; i < blobFields; ++i)
      if (GetBlobAccess(aEntry, bsaCursor->BlobField(i), access) && (!aEmbeddedOnly || access.bbaOffset != 0))
        aAccesses.push_back(access);
  } else {
    TnxBatchBlobOffset offset;
    for (uint32_t slot = 0; aEntry.BlobOffset(slot, offset); ++slot)
      if (GetBlobAccess(aEntry, &offset, access)) aAccesses.push_back(access);
  }
  return !aAccesses.empty();
}

// ---- server side ----

std::vector<TnxBatchStreamAccess::BlobList> TnxBatchStreamAccess::SplitBlobLists(
    size_t aCount, std::span<const uint8_t> aBlobInfos) const {
  std::vector<BlobList> lists(aCount);
  if (!HasOption(gboBlobs)) return lists;
  size_t at = 0;
  for (BlobList& list : lists) {
    if (aBlobInfos.size() - at < nxRecordCacheInfoBlobInfoHeader) break;
    const uint16_t count = LoadU16(aBlobInfos.data() + at);
    at += nxRecordCacheInfoBlobInfoHeader;
    if ((aBlobInfos.size() - at) / 8 < count) break;
    list.blNrs = aBlobInfos.data() + at;
    list.blCount = count;
    at += size_t(count) * 8;
  }
  return lists;
}

bool TnxBatchStreamAccess::ExtractIdentity(const TnxBatchStreamEntry& aEntry, TnxRecordCacheInfo& aInfo) const {
  // Room for the result code and the 20-byte indexed identity that may
  // replace the record.
  return aEntry.bseRecord && aEntry.bseSize >= 4 + nxIndexedRecordCacheInfoSize &&
         bsaCursor->ExtractCacheInfo(aEntry.Record(), aInfo) == 0;
}

void TnxBatchStreamAccess::MarkHeldBlobs(const TnxBatchBlobAccesses& aAccesses, const BlobList& aBlobs) {
  TnxBlobNrSortedList held;
  std::vector<TnxBlobNr> nrs(aBlobs.blCount);
  for (uint16_t i = 0; i < aBlobs.blCount; ++i) {
    nrs[i] = aBlobs.At(i);
    held.Add(&nrs[i]);
  }
  for (const TnxBatchBlobAccess& access : aAccesses) {
    int32_t index = 0;
    TnxBlobNr nr = access.bbaBlobNr;
    if (!access.bbaOffset || !access.bbaBlobData || access.bbaSize <= 4 || !held.Find(&nr, index)) continue;
    uint8_t* area = Memory() + access.bbaOffset;
    std::memset(area + 4, 0, access.bbaSize);
    StoreU32(area + 4, nxBatchCacheIsValid);
    StoreU32(area, access.bbaSize | nxBatchHasResult);
  }
}

bool TnxBatchStreamAccess::ReplaceByCacheValid(TnxBatchStreamEntry& aEntry, const TnxRecordCacheInfo& aInfo,
                                               int32_t aIndex, const BlobList& aBlobs) {
  TnxBatchBlobAccesses accesses;
  bool differ = false;
  if (HasOption(gboBlobs)) {
    GetBlobAccesses(aEntry, accesses, true);
    differ = accesses.size() != aBlobs.blCount;
    for (size_t i = 0; !differ && i < accesses.size(); ++i) differ = accesses[i].bbaBlobNr != aBlobs.At(uint16_t(i));
  }
  const uint64_t data = aEntry.bseEntryBase + 4;
  uint8_t* memory = Memory();
  if (differ) {
    // The offsets go where the record was; the areas after it must stay.
    const uint64_t recordEnd = aEntry.bseRecord + bsaRecordLength + bsaBookmarkSize;
    const uint64_t slots = std::min<uint64_t>(accesses.size() + 1, uint64_t(bsaCursor->BlobFieldCount()));
    if (4 + nxIndexedRecordCacheInfoSize + slots * nxBatchBlobOffsetSize > recordEnd - data) return false;
    std::memset(memory + data, 0, recordEnd - data);
    uint8_t* at = memory + data + 4 + nxIndexedRecordCacheInfoSize;
    for (const TnxBatchBlobAccess& access : accesses) {
      StoreU32(at, access.bbaOffset);
      platform::StoreU16(at + 4, access.bbaFieldNo);
      at += nxBatchBlobOffsetSize;
    }
    MarkHeldBlobs(accesses, aBlobs);
  } else {
    std::memset(memory + data, 0, aEntry.bseSize);
  }
  StoreU32(memory + data, nxBatchCacheIsValid);
  WriteIdentity(memory + data + 4, aInfo, aIndex);
  StoreU32(memory + aEntry.bseEntryBase, aEntry.bseSize | nxBatchHasResult);
  return !differ;
}

bool TnxBatchStreamAccess::CheckCacheValidSeq(const TnxRecordCacheInfos& aInfos, std::span<const uint8_t> aBlobInfos) {
  bool result = Count() == static_cast<int64_t>(aInfos.size());
  const std::vector<BlobList> lists = SplitBlobLists(aInfos.size(), aBlobInfos);
  Reset(false);
  const uint64_t oldSize = Size();
  uint64_t countAt = 0;
  int32_t invalid = 0;
  // The list is placed after the walk's end; offsets keep every entry
  // valid when the stream moves as it grows.
  auto testInvalid = [&](size_t aIndex) {
    const TnxRecordCacheInfo& info = aInfos[aIndex];
    if (nxRecordCacheInfoIsEmpty(info)) return;
    const uint32_t found = bsaCursor->ContainsCacheInfo(info);
    if (found != nxeRecordDeleted && found != nxeRecordNotFound) return;
    if (!countAt) {
      bsaStream->SetSize(int64_t(oldSize + 4 + nxRecordCacheInfoSize * (aInfos.size() - aIndex)));
      countAt = oldSize;
      StoreLE<int32_t>(Memory() + countAt, 0);
    }
    uint8_t* at = Memory() + countAt + 4 + uint64_t(invalid) * nxRecordCacheInfoSize;
    StoreLE<int64_t>(at, info.rciRefNr);
    StoreLE<int64_t>(at + 8, info.rciModifyLSN);
    StoreLE<int32_t>(Memory() + countAt, ++invalid);
  };
  size_t i = 0;
  TnxBatchStreamEntry entry;
  for (; i < aInfos.size() && Next(entry); ++i) {
    TnxRecordCacheInfo info;
    if (ExtractIdentity(entry, info) && info.rciRefNr == aInfos[i].rciRefNr) {
      if (info.rciModifyLSN == aInfos[i].rciModifyLSN) {
        if (!ReplaceByCacheValid(entry, info, 0, lists[i])) result = false;
      } else {
        result = false;
        if (HasOption(gboBlobs)) {
          TnxBatchBlobAccesses accesses;
          GetBlobAccesses(entry, accesses, true);
          MarkHeldBlobs(accesses, lists[i]);
        }
      }
    } else if (!entry.bseRecord || !nxRecordCacheInfoIsEmpty(aInfos[i])) {
      result = false;
      testInvalid(i);
    }
  }
  if (bsaError) {
    bsaStream->SetSize(int64_t(oldSize));
    return false;
  }
  for (; i < aInfos.size(); ++i) {
    result = false;
    testInvalid(i);
  }
  bsaStream->SetSize(int64_t(invalid ? oldSize + 4 + nxRecordCacheInfoSize * uint64_t(invalid) : oldSize));
  return result;
}

bool TnxBatchStreamAccess::CheckCacheValid(std::span<const TnxRecordCacheInfo> aInfos,
                                           std::span<const uint8_t> aBlobInfos) {
  bool result = Count() == static_cast<int64_t>(aInfos.size());
  const std::vector<BlobList> lists = SplitBlobLists(aInfos.size(), aBlobInfos);
  Reset(false);
  const uint64_t oldSize = Size();
  TnxBatchStreamEntry entry;
  TnxRecordCacheInfo info;
  auto matches = [&](const TnxRecordCacheInfo& aWanted) {
    return ExtractIdentity(entry, info) && info.rciRefNr == aWanted.rciRefNr &&
           info.rciModifyLSN == aWanted.rciModifyLSN;
  };

  // Most batches come back in the order the client asked.
  size_t i = 0;
  bool more = false;  // entry holds the first one out of order
  while (i < aInfos.size() && Next(entry)) {
    if (!matches(aInfos[i])) {
      result = false;
      more = true;
      break;
    }
    if (!ReplaceByCacheValid(entry, info, int32_t(i), lists[i])) result = false;
    ++i;
  }
  if (bsaError) return false;
  if (!more) return result;

  while (more && !ExtractIdentity(entry, info)) more = Next(entry);
  if (!more) return false;

  std::vector<TnxIndexedRecordCacheInfoAndBlobInfo> rest;
  rest.reserve(aInfos.size() - i);
  TnxCacheInfoSortedList sorted;
  for (size_t k = i; k < aInfos.size(); ++k) {
    rest.push_back({{aInfos[k].rciRefNr, aInfos[k].rciModifyLSN, int32_t(k)}, nullptr});
    sorted.Add(&rest.back());
  }
  std::vector<bool> used(aInfos.size(), false);
  for (; more; more = Next(entry)) {
    int32_t index = 0;
    if (!ExtractIdentity(entry, info) || !sorted.Find(&info.rciRefNr, index)) continue;
    const TnxIndexedRecordCacheInfo& wanted =
        static_cast<TnxIndexedRecordCacheInfoAndBlobInfo*>(sorted[index])->irciabiIndexedRecordCacheInfo;
    const size_t position = size_t(wanted.irciIndex);
    if (wanted.irciModifyLSN == info.rciModifyLSN) {
      ReplaceByCacheValid(entry, info, wanted.irciIndex, lists[position]);
      used[position] = true;
    } else if (HasOption(gboBlobs)) {
      TnxBatchBlobAccesses accesses;
      GetBlobAccesses(entry, accesses, true);
      MarkHeldBlobs(accesses, lists[position]);
    }
  }
  if (bsaError) return false;

  bsaStream->SetSize(int64_t(oldSize + 4 + nxRecordCacheInfoSize * rest.size()));
  int32_t invalid = 0;
  for (const TnxIndexedRecordCacheInfoAndBlobInfo& item : rest) {
    const TnxIndexedRecordCacheInfo& wanted = item.irciabiIndexedRecordCacheInfo;
    if (used[size_t(wanted.irciIndex)]) continue;
    TnxLSN lsn = wanted.irciModifyLSN;
    TnxRefNr refNr = wanted.irciRefNr;
    const uint32_t found = bsaCursor->ContainsLSNRefNr(lsn, refNr);
    if (found != nxeRecordDeleted && found != nxeRecordNotFound) continue;
    uint8_t* at = Memory() + oldSize + 4 + uint64_t(invalid) * nxRecordCacheInfoSize;
    StoreLE<int64_t>(at, wanted.irciRefNr);
    StoreLE<int64_t>(at + 8, wanted.irciModifyLSN);
    ++invalid;
  }
  if (invalid) StoreLE<int32_t>(Memory() + oldSize, invalid);
  bsaStream->SetSize(int64_t(invalid ? oldSize + 4 + nxRecordCacheInfoSize * uint64_t(invalid) : oldSize));
  return false;
}

// ---- client side ----

void TnxBatchStreamAccess::SetBlobField(uint8_t* aRecord, int32_t aFieldNo, int64_t aValue) {
  TnxFieldsDescriptor* fields = bsaCursor->FieldsDescriptor();
  StoreLE<int64_t>(aRecord + fields->FieldDescriptor(aFieldNo)->Offset(), aValue);
  fields->SetRecordFieldNull(aFieldNo, aRecord, false);
}

uint32_t TnxBatchStreamAccess::OverwriteEntry(TnxBatchStreamEntry& aTarget, const TnxBatchStreamEntry& aSource,
                                              TnxBatchBlobAccesses& aAccesses, bool aRemoveBlobData) {
  aAccesses.clear();
  TnxBatchStreamAccess* source = aSource.bseBatchAccess;
  if (!source || !aSource.bseRecord) return nxeNoCurrentRecord;
  if (aTarget.bseBatchAccess != this || !aTarget.IsCurrent() || !aSource.IsCurrent() ||
      source->bsaRecordLength != bsaRecordLength || source->bsaBookmarkSize != bsaBookmarkSize)
    return nxeMessageUnrecognized;
  const uint64_t prefix = aSource.bseRecord - (aSource.bseEntryBase + 4);
  const bool hadOffsets = aTarget.bseBlobOffsets != 0;
  if (hadOffsets) GetBlobAccesses(aTarget, aAccesses, false);
  const uint64_t length =
      hadOffsets || aRemoveBlobData ? prefix + bsaRecordLength + bsaBookmarkSize : uint64_t(aSource.bseSize);
  // The record must not spill over the target's own blob areas either.
  uint64_t room = aTarget.bseSize;
  for (const TnxBatchBlobAccess& access : aAccesses)
    room = std::min<uint64_t>(room, access.bbaOffset - (aTarget.bseEntryBase + 4));
  if (length > room) {
    aAccesses.clear();
    return nxeMessageUnrecognized;
  }

  const uint32_t sourceWord = LoadU32(source->Memory() + aSource.bseEntryBase);
  std::memmove(Memory() + aTarget.bseEntryBase + 4, source->Memory() + aSource.bseEntryBase + 4, length);
  StoreU32(Memory() + aTarget.bseEntryBase, aTarget.bseSize | (sourceWord & nxBatchHasResult));
  aTarget.bseResult = aSource.bseResult;
  aTarget.bseRecord = aTarget.bseEntryBase + 4 + prefix;
  aTarget.bseBookmark = HasOption(gboBookmarks) && aSource.bseBookmark ? aTarget.bseRecord + bsaRecordLength : 0;
  aTarget.bseCacheInfo = aTarget.bseBlobOffsets = 0;
  aTarget.bseBlobOffsetSlots = 0;

  if (!HasOption(gboBlobs)) return 0;
  uint8_t* record = aTarget.Record();
  if (aRemoveBlobData) {
    for (int32_t i = 0; i < bsaCursor->BlobFieldCount(); ++i) {
      TnxBatchBlobAccess from;
      const int32_t field = bsaCursor->BlobField(i);
      if (source->GetBlobAccess(aSource, field, from) && from.bbaOffset) SetBlobField(record, field, from.bbaBlobNr);
    }
    return 0;
  }
  if (hadOffsets) {
    for (TnxBatchBlobAccess& access : aAccesses) {
      if (!IsBlobIdxEmbedded(BlobIdxOf(access.bbaFieldNo))) continue;
      // The copied record names the source's areas; every area of the
      // target, filled here or sent with data, is named by its own offset.
      SetBlobField(record, access.bbaFieldNo, access.bbaOffset);
      TnxBatchBlobAccess from;
      if (!access.bbaResult || !source->GetBlobAccess(aSource, access.bbaFieldNo, from) || !from.bbaBlobData ||
          from.bbaSize != access.bbaSize)
        continue;
      std::memcpy(Memory() + access.bbaOffset + 4, source->Memory() + from.bbaBlobData, access.bbaSize);
      StoreU32(Memory() + access.bbaOffset, access.bbaSize);
      access.bbaBlobData = access.bbaOffset + 4;
      access.bbaResult = 0;
      access.bbaInCache = true;
    }
    return 0;
  }
  // The source's areas came along: their offsets move with the entry.
  const int64_t distance = int64_t(aTarget.bseEntryBase) - int64_t(aSource.bseEntryBase);
  for (int32_t i = 0; i < bsaCursor->BlobFieldCount(); ++i) {
    const int32_t field = bsaCursor->BlobField(i);
    TnxBlobNr value = 0;
    if (!IsBlobIdxEmbedded(i) || !bsaCursor->ReadBlobNr(record, field, value) || value == 0) continue;
    SetBlobField(record, field, int64_t(uint32_t(int64_t(uint32_t(value)) + distance)));
  }
  return 0;
}

void TnxBatchStreamAccess::CheckEntryForCachedBlobs(TnxBatchStreamEntry& aEntry, TnxAbstractCursor& aCacheCursor,
                                                    TnxBatchBlobAccesses& aAccesses) {
  aAccesses.clear();
  if (!IsRecordEntry(aEntry) || !HasOption(gboBlobs) || !GetBlobAccesses(aEntry, aAccesses, false)) return;
  const TnxRecID recID = bsaCursor->acGetRecID(aEntry.Record());
  for (TnxBatchBlobAccess& access : aAccesses) {
    if (!access.bbaResult || !access.bbaOffset) continue;
    uint32_t result = 0;
    try {
      uint32_t length = 0;
      result = aCacheCursor.BlobGetLength(recID, access.bbaFieldNo, access.bbaBlobNr, length, false, nullptr);
      if (!result && length != access.bbaSize) result = nxeBlobError;
      if (!result) {
        TnxStaticMemoryStream target(Memory() + access.bbaOffset + 4, access.bbaSize);
        result = aCacheCursor.BlobRead(recID, access.bbaFieldNo, access.bbaBlobNr, 0, access.bbaSize, target, false,
                                       nullptr);
        if (!result && target.Position() != int64_t(access.bbaSize)) result = nxeBlobError;
      }
    } catch (const EnxBaseException& e) {
      result = e.ErrorCode() ? e.ErrorCode() : nxeBlobError;
    }
    uint8_t* area = Memory() + access.bbaOffset;
    if (!result) {
      StoreU32(area, access.bbaSize);
      access.bbaBlobData = access.bbaOffset + 4;
      access.bbaResult = 0;
      access.bbaInCache = true;
    } else {
      if (access.bbaSize >= 4) StoreU32(area + 4, result);
      access.bbaResult = result;
      access.bbaBlobData = 0;
    }
  }
}

void TnxBatchStreamAccess::FixupBlobs(TnxRecordGetBatchExOptions aOptions) {
  if (!HasOption(gboBlobs) || ((aOptions >> gboBlobs) & 1)) return;
  Reset(false);
  TnxBatchStreamEntry entry;
  TnxFieldsDescriptor* fields = bsaCursor->FieldsDescriptor();
  while (Next(entry)) {
    if (!entry.bseRecord) continue;
    for (int32_t i = 0; i < bsaCursor->BlobFieldCount(); ++i) {
      const int32_t field = bsaCursor->BlobField(i);
      TnxBatchBlobAccess access;
      if (GetBlobAccess(entry, field, access)) {
        if (access.bbaOffset) SetBlobField(entry.Record(), field, access.bbaBlobNr);
      } else if (access.bbaResult == nxeMessageUnrecognized) {
        // An offset that leads nowhere must not pass for a blob number.
        fields->SetRecordFieldNull(field, entry.Record(), true);
      }
    }
  }
  bsaOptions &= ~((1u << gboBlobs) | (1u << gboBlobNrs) | (1u << gboBlobsOnlyMarked));
}

}  // namespace revurov
