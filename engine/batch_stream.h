// TnxBatchStreamAccess: reader and editor of a batch stream, the one memory
// block in which a batch read carries many records from the server to the
// client. The server replaces records the client already holds by short
// cache-valid entries and appends the identities of cached records that no
// longer exist; the client walks the entries, fills them back in from its
// cache and turns blob offsets into blob numbers.
//
// Layout (little-endian, offsets from the start of the stream):
//   0 inner error (u32), 4 count (i32), 8 the entries back to back, then
//   optionally a count N (i32) and N record identities of 16 bytes.
//   An entry: a size word (bits 0-30 the bytes after it, bit 31 a 4-byte
//   result code follows), then its data. Result 0 is a record (then the
//   bookmark with gboBookmarks, then its blob areas), 2 a cache-valid entry
//   (20-byte indexed identity, then 6-byte blob offsets with gboBlobs).
//   A blob area: a size word (bit 31: a result code instead of data), the
//   data, then the blob number (8 bytes) with gboBlobNrs.
//
// Contract:
// - The stream comes from the other side and is untrusted. Every size
//   word, record, identity, blob offset array, blob area and the invalid
//   list is checked to lie inside its entry and the stream before it is
//   read or written. A malformed entry or area ends the walk; Error()
//   then answers 15522 and nothing outside the block is touched.
// - Entries and blob accesses hold offsets into the stream, never
//   addresses, so growing the stream (the invalid list) leaves them valid.
// - The access owns its stream. One thread at a time; no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "dictionary/engine_records.h"
#include "dictionary/engine_types.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/objects/lists.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"

namespace revurov {

class TnxAbstractCursor;
class TnxBatchStreamAccess;

inline constexpr uint32_t nxBatchSizeMask = 0x7FFFFFFF;
inline constexpr uint32_t nxBatchHasResult = 0x80000000;
// The result of an entry or blob area the client already holds.
inline constexpr uint32_t nxBatchCacheIsValid = 2;
inline constexpr uint64_t nxBatchStreamHeaderSize = 8;
inline constexpr uint64_t nxBatchBlobOffsetSize = 6;
inline constexpr uint64_t nxIndexedRecordCacheInfoSize = 20;
inline constexpr uint64_t nxRecordCacheInfoSize = 16;

// Raw, 6 bytes: bboOffset (u32) at 0, bboFieldNo (u16) at 4.
struct TnxBatchBlobOffset {
  uint32_t bboOffset = 0;
  uint16_t bboFieldNo = 0;
};

// One parsed entry. Every position is an offset from the start of the
// stream; 0 means absent (offset 0 is the header, never inside an entry).
struct TnxBatchStreamEntry {
  TnxBatchStreamAccess* bseBatchAccess = nullptr;
  uint64_t bseEntryBase = 0;  // the size word
  uint64_t bseRecord = 0;
  uint64_t bseBookmark = 0;
  uint64_t bseCacheInfo = 0;
  uint64_t bseBlobOffsets = 0;
  // Slots of the blob offset array that lie inside the entry, at most one
  // per blob field.
  uint32_t bseBlobOffsetSlots = 0;
  uint32_t bseSize = 0;  // bytes after the size word
  uint32_t bseResult = 0;

  uint64_t End() const noexcept { return bseEntryBase + 4 + bseSize; }
  // Still inside its access's stream.
  bool IsCurrent() const noexcept;
  // Addresses in the access's current memory; nil when absent.
  uint8_t* Record() const noexcept;
  uint8_t* Bookmark() const noexcept;
  // False without an identity.
  bool CacheInfo(TnxIndexedRecordCacheInfo& aInfo) const noexcept;
  // False past the array or at its zero end.
  bool BlobOffset(uint32_t aSlot, TnxBatchBlobOffset& aOffset) const noexcept;
};

// One parsed blob area; bbaOffset is the area's size word (0: the blob is
// not embedded, bbaBlobNr is the field's blob number).
struct TnxBatchBlobAccess {
  uint64_t bbaBlobData = 0;  // offset of the data, 0 when none
  TnxBlobNr bbaBlobNr = 0;
  uint32_t bbaOffset = 0;
  uint32_t bbaSize = 0;
  uint32_t bbaResult = 0;
  uint16_t bbaFieldNo = 0;
  bool bbaInCache = false;  // the data was filled from the client's cache
};
using TnxBatchBlobAccesses = std::vector<TnxBatchBlobAccess>;

// Sorted by the first 64-bit value of the item, as a signed number.
class TnxFirstInt64SortedList : public TnxSortedList {
public:
  int8_t Compare(void* aItem1, void* aItem2) override;
};
// Items point to TnxBlobNr values the caller keeps.
class TnxBlobNrSortedList : public TnxFirstInt64SortedList {};
// Items point to TnxIndexedRecordCacheInfoAndBlobInfo records the caller
// keeps.
class TnxCacheInfoSortedList : public TnxFirstInt64SortedList {};

class TnxBatchStreamAccess : public TnxObject {
public:
  // Takes aStream (a new one when it is nil) only when construction
  // succeeds; a failure leaves it with the caller.
  TnxBatchStreamAccess(TnxAbstractCursor* aCursor, TnxRecordGetBatchExOptions aOptions,
                       std::unique_ptr<TnxMemoryStream>&& aStream);
  ~TnxBatchStreamAccess() override;

  TnxMemoryStream& Stream() noexcept { return *bsaStream; }
  uint8_t* Memory() const noexcept { return bsaStream->ByteArray(); }
  uint64_t Size() const noexcept;
  int32_t Count() const noexcept;
  uint32_t InnerError() const noexcept;
  // Stored only when the stream holds the header.
  void SetInnerError(uint32_t aValue) noexcept;
  TnxRecordGetBatchExOptions Options() const noexcept { return bsaOptions; }
  uint32_t RecordLength() const noexcept { return bsaRecordLength; }
  uint32_t BookmarkSize() const noexcept { return bsaBookmarkSize; }
  int32_t CurrentIndex() const noexcept { return bsaCurrentIndex; }
  // 15522 once a malformed entry or area was met since the last Reset.
  uint32_t Error() const noexcept { return bsaError; }

  // The identities after the entries, known after Reset of an empty batch
  // or after the last entry; empty when absent or when they do not fit.
  bool HasInvalidList() const noexcept;
  TnxRecordCacheInfos InvalidInfos() const;

  void Clear(bool aKeepError);
  bool Reset(bool aApplyClientFilter);
  bool Next(TnxBatchStreamEntry& aEntry, int32_t* aPosition = nullptr, int32_t* aTotal = nullptr) {
    return bsaCheckFilter ? NextFiltered(aEntry, aPosition, aTotal) : Step(aEntry, aPosition, aTotal);
  }

  bool GetBlobAccess(const TnxBatchStreamEntry& aEntry, int32_t aFieldNo, TnxBatchBlobAccess& aAccess);
  bool GetBlobAccess(const TnxBatchStreamEntry& aEntry, const TnxBatchBlobOffset* aOffset,
                     TnxBatchBlobAccess& aAccess);
  // Parses the area at aAccess.bbaOffset.
  bool GetBlobAccess(const TnxBatchStreamEntry& aEntry, TnxBatchBlobAccess& aAccess);
  bool GetBlobAccesses(const TnxBatchStreamEntry& aEntry, TnxBatchBlobAccesses& aAccesses, bool aEmbeddedOnly);

  // Server side. aBlobInfos: the raw blob lists of the identities, one
  // after the other; lists that do not fit read as empty.
  bool CheckCacheValid(std::span<const TnxRecordCacheInfo> aInfos, std::span<const uint8_t> aBlobInfos);
  bool CheckCacheValidSeq(const TnxRecordCacheInfos& aInfos, std::span<const uint8_t> aBlobInfos);

  // Client side. Puts the record of aSource (an entry of another access)
  // in place of aTarget; 15522 when it does not fit the target's space
  // (nothing copied), 8709 when the source has no record.
  uint32_t OverwriteEntry(TnxBatchStreamEntry& aTarget, const TnxBatchStreamEntry& aSource,
                          TnxBatchBlobAccesses& aAccesses, bool aRemoveBlobData);
  void CheckEntryForCachedBlobs(TnxBatchStreamEntry& aEntry, TnxAbstractCursor& aCacheCursor,
                                TnxBatchBlobAccesses& aAccesses);
  void FixupBlobs(TnxRecordGetBatchExOptions aOptions);

private:
  struct BlobList;
  bool HasOption(TnxRecordGetBatchExOption aOption) const noexcept { return (bsaOptions >> aOption) & 1; }
  bool IsBlobIdxEmbedded(int32_t aBlobIdx) const noexcept;
  int32_t BlobIdxOf(int32_t aFieldNo) const noexcept;
  // Fills aEntry for the entry at aAt, whose size word lies inside the
  // walk's end; false for a malformed entry. The general case of Step.
  bool ParseResultEntry(const uint8_t* aMemory, uint64_t aAt, TnxBatchStreamEntry& aEntry) noexcept;
  // Ends the walk at a malformed entry; always false.
  bool StepFailed(TnxBatchStreamEntry& aEntry) noexcept;
  // The count N of the invalid list when the whole list lies inside the
  // walk's end.
  bool InvalidList(int32_t& aCount) const noexcept;
  // The walk's inner step lives here so that a caller's loop over a batch
  // makes no call on its common path; everything rare is out of line.
  bool Step(TnxBatchStreamEntry& aEntry, int32_t* aPosition, int32_t* aTotal);
  bool NextFiltered(TnxBatchStreamEntry& aEntry, int32_t* aPosition, int32_t* aTotal);
  void ParseCacheValid(const uint8_t* aMemory, TnxBatchStreamEntry& aEntry, uint64_t aData,
                       uint64_t aEnd) const noexcept;
  uint64_t AreaFloor(const TnxBatchStreamEntry& aEntry) const noexcept;
  bool IsRecordEntry(const TnxBatchStreamEntry& aEntry) const noexcept;
  bool ExtractIdentity(const TnxBatchStreamEntry& aEntry, TnxRecordCacheInfo& aInfo) const;
  bool ReplaceByCacheValid(TnxBatchStreamEntry& aEntry, const TnxRecordCacheInfo& aInfo, int32_t aIndex,
                           const BlobList& aBlobs);
  void MarkHeldBlobs(const TnxBatchBlobAccesses& aAccesses, const BlobList& aBlobs);
  std::vector<BlobList> SplitBlobLists(size_t aCount, std::span<const uint8_t> aBlobInfos) const;
  void SetBlobField(uint8_t* aRecord, int32_t aFieldNo, int64_t aValue);

  std::unique_ptr<TnxMemoryStream> bsaStream;
  uint64_t bsaEnd = 0;           // the walk's end, fixed by Reset
  uint64_t bsaCurrentEntry = 0;  // next entry's size word, 0 at the end
  int32_t bsaCurrentIndex = -1;
  int32_t bsaCount = 0;  // the count the walk goes by, fixed by Reset
  bool bsaCheckFilter = false;
  TnxAbstractCursor* bsaCursor = nullptr;
  TnxMarkedBlobsByBlobIdx bsaMarkedBlobs;
  uint32_t bsaRecordLength = 0;
  uint32_t bsaBookmarkSize = 0;
  // Where the count N of the invalid list would be, 0 when the walk has
  // not got there; checked when asked, so the walk itself makes no call.
  uint64_t bsaInvalidCount = 0;
  TnxRecordGetBatchExOptions bsaOptions = 0;
  uint32_t bsaError = 0;
};

inline bool TnxBatchStreamAccess::Step(TnxBatchStreamEntry& aEntry, int32_t* aPosition, int32_t* aTotal) {
  // Everything of the access is read before the first store into the
  // caller's entry, which the compiler must assume may alias it.
  const uint64_t at = bsaCurrentEntry;
  const uint64_t end = bsaEnd;
  const uint8_t* memory = Memory();
  const uint32_t recordLength = bsaRecordLength;
  const uint64_t recordSpan = uint64_t(recordLength) + bsaBookmarkSize;
  const bool bookmarks = HasOption(gboBookmarks);
  const int32_t index = bsaCurrentIndex + 1;
  const int32_t last = bsaCount - 1;
  if (!at) {
    aEntry = {};
    return false;
  }
  // Between steps the position lies in [8, end]: only the room for the
  // size word is in doubt.
  if (end - at < 4) [[unlikely]]
    return StepFailed(aEntry);
  const uint32_t word = platform::LoadU32(memory + at);
  const uint32_t size = word & nxBatchSizeMask;
  const uint64_t data = at + 4;
  const uint64_t next = data + size;
  if (size > end - data) [[unlikely]]
    return StepFailed(aEntry);
  if (!(word & nxBatchHasResult) && recordSpan <= size) [[likely]] {
    // A record entry holding a whole record (and the bookmark when asked).
    aEntry.bseBatchAccess = this;
    aEntry.bseEntryBase = at;
    aEntry.bseRecord = data;
    aEntry.bseBookmark = bookmarks ? data + recordLength : 0;
    aEntry.bseCacheInfo = 0;
    aEntry.bseBlobOffsets = 0;
    aEntry.bseBlobOffsetSlots = 0;
    aEntry.bseSize = size;
    aEntry.bseResult = 0;
  } else if (!ParseResultEntry(memory, at, aEntry)) [[unlikely]] {
    return StepFailed(aEntry);
  }
  bsaCurrentIndex = index;
  if (aPosition) ++*aPosition;
  if (aTotal) ++*aTotal;
  if (index >= last) [[unlikely]] {
    bsaInvalidCount = next;
    bsaCurrentEntry = 0;
  } else if (next >= end) [[unlikely]] {
    // The count promises more entries than the stream holds: the entry
    // read is kept, the walk ends as malformed.
    bsaError = nxeMessageUnrecognized;
    bsaCurrentEntry = 0;
  } else {
    bsaCurrentEntry = next;
  }
  return true;
}

}  // namespace revurov
