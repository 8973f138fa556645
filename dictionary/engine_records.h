// Small records that travel between client and server (record identity,
// record-cache validation, blob batches, transaction information,
// bookmarks) and the routines that test, compare and serialise them.
//
// Contract:
// - Records marked raw travel as byte images; their layouts are given as
//   offsets here and are read and written only through platform/endian.h.
// - Writers follow the tagged value format (lowlevel/streams/tagged_stream.h).
// - nxReadTransactionInfo reads untrusted input: a negative level count or
//   a state outside its set raises EReadError "Ungültiger Eigenschaftswert"
//   (as a wrong tag does); a count larger than the stream holds ends in the
//   reader's own error, never in an allocation of that count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dictionary/engine_types.h"
#include "platform/date_time.h"

namespace revurov {

class TnxWriter;
class TnxReader;

// Raw, 16 bytes: ridRefNr at 0, ridInsertLSN at 8.
struct TnxRecID {
  TnxRefNr ridRefNr = 0;
  TnxLSN ridInsertLSN = 0;
};
inline constexpr TnxRecID nxNullRecID{0, 0};
inline constexpr TnxRecID nxAllOnesRecID{-1, -1};

// Raw, 16 bytes: rciRefNr at 0, rciModifyLSN at 8.
struct TnxRecordCacheInfo {
  TnxRefNr rciRefNr = 0;
  TnxLSN rciModifyLSN = 0;
};
using TnxRecordCacheInfos = std::vector<TnxRecordCacheInfo>;
inline constexpr TnxRecordCacheInfo nxNullRecordCacheInfo{0, 0};

// Raw, 20 bytes: irciRefNr at 0, irciModifyLSN at 8, irciIndex at 16.
struct TnxIndexedRecordCacheInfo {
  TnxRefNr irciRefNr = 0;
  TnxLSN irciModifyLSN = 0;
  int32_t irciIndex = 0;
};

// Raw TnxRecordCacheInfoBlobInfo: rcibiCount (16-bit) at 0, then that many
// 8-byte blob numbers.
inline constexpr int nxRecordCacheInfoBlobInfoHeader = 2;

struct TnxIndexedRecordCacheInfoAndBlobInfo {
  TnxIndexedRecordCacheInfo irciabiIndexedRecordCacheInfo;
  const uint8_t* irciabiBlobInfo = nullptr;  // a raw TnxRecordCacheInfoBlobInfo, not owned
};
using TnxIndexedRecordCacheInfoAndBlobInfos = std::vector<TnxIndexedRecordCacheInfoAndBlobInfo>;

// Raw TnxBookmark: the offsets of its fields; the key runs to the end.
struct TnxBookmarkLayout {
  static constexpr int bmHash = 0, bmIndexID = 4, bmPos = 8, bmKeyValid = 9, bmDeleted = 10, bmFill1 = 11,
                       bmRefNr = 12, bmKeyLen = 20, bmKey = 24;
};

// Raw TnxBlobBatchReply: bbrpCount (16-bit) at 0, then that many 8-byte
// bbrpeBlobNr entries.
struct TnxBlobBatchReplyEntry {
  TnxBlobNr bbrpeBlobNr = 0;
};

struct TnxNewBlobNr {
  TnxBlobNr nbnBlobNr = 0;
  bool nbnSet = false;
};

struct TnxTransactionLevelInfo {
  platform::TDateTime tliStartTime = 0;
  TnxLSN tliStartLSN = 0;
  TnxLSN tliLSN = 0;
  int32_t tliLevel = 0;
  int32_t tliBlockCount = 0;
  int32_t tliNestingCount = 0;
  TnxTransactionLevelStates tliState = 0;
};
using TnxTransactionLevelInfos = std::vector<TnxTransactionLevelInfo>;

struct TnxTransactionInfo {
  TnxTransactionLevelInfos tiLevels;
  platform::TDateTime tiStartTime = 0;
  TnxLSN tiStartLSN = 0;
  TnxLSN tiLSN = 0;
  int32_t tiLevel = 0;
  uint32_t tiBlockCount = 0;
  TnxTransactionStates tiState = 0;
};

struct TnxTaskStatus {
  uint32_t tsStartTime = 0, tsSnapshotTime = 0, tsTotalRecs = 0, tsRecsRead = 0, tsRecsWritten = 0,
           tsErrorCode = 0;
  uint8_t tsPercentDone = 0;
  bool tsFinished = false;
  std::u16string tsErrorMessage;
};

struct TnxBlobCacheInfo {
  int32_t bciFieldNo = 0;
  TnxBlobNr bciBlobNr = 0;
  TnxCachedBlobStateInfo bciState = cbsiCreated;
  TnxBlobNr bciCacheBlobNr = 0;
  std::u16string bciCacheFileName;
  uint32_t bciLength = 0;
  uint8_t bciFlushed = 0, bciEverFlushed = 0;
  bool bciBlobNrInternal = false;
};
using TnxBlobCacheInfos = std::vector<TnxBlobCacheInfo>;

struct TnxBlobBatchRequestEntry {
  TnxBlobNr bbrqeBlobNr = 0;
  TnxBlobNr bbrqeBlobNrLocal = 0;
  TnxCachedBlobStateInfo bbrqeStateInfo = cbsiCreated;
  std::u16string bbrqeFileName;
  std::vector<uint8_t> bbrqeData;
  uint16_t bbrqeFieldNo = 0;
};
using TnxBlobBatchRequestEntries = std::vector<TnxBlobBatchRequestEntry>;

struct TnxBlobBatchRequest {
  TnxRecID bbrqRecID;
  TnxBlobBatchRequestEntries bbrqEntries;
};

bool nxRecIDIsAssigned(const TnxRecID& aRecID) noexcept;
bool nxRecIDIsAllOnes(const TnxRecID& aRecID) noexcept;

TnxRecordCacheInfo& nxRecordCacheInfoClear(TnxRecordCacheInfo& aInfo) noexcept;
bool nxRecordCacheInfoIsEmpty(const TnxRecordCacheInfo& aInfo) noexcept;
bool nxRecordCacheInfoIsAssigned(const TnxRecordCacheInfo& aInfo) noexcept;
// Never true for an empty a, not even against itself.
bool nxRecordCacheInfoEquals(const TnxRecordCacheInfo& a, const TnxRecordCacheInfo& b) noexcept;
bool nxRecordCacheInfoEqualsPtr(const TnxRecordCacheInfo& a, const TnxRecordCacheInfo* b) noexcept;
bool nxRecordCacheInfoEqualsIndexed(const TnxRecordCacheInfo& a, const TnxIndexedRecordCacheInfo* b) noexcept;
// Past one raw TnxRecordCacheInfoBlobInfo; null stays null.
void nxSkipRecordCacheInfoBlobInfo(const uint8_t*& aPointer) noexcept;

void nxWriteRecordCacheInfo(const TnxRecordCacheInfo& aInfo, TnxWriter& aWriter);
void nxWriteBlobNrs(const TnxBlobNrs& aBlobNrs, TnxWriter& aWriter);
void nxWriteMarkedBlobs(const TnxMarkedBlobsByBlobIdx& aMarked, TnxWriter& aWriter);
void nxWriteBlobBatchRequest(const TnxBlobBatchRequest& aRequest, TnxWriter& aWriter);
void nxWriteBlobBatchRequestEntry(const TnxBlobBatchRequestEntry& aEntry, TnxWriter& aWriter);
void nxReadTransactionInfo(TnxTransactionInfo& aInfo, TnxReader& aReader);
void nxReadTransactionLevelInfo(TnxTransactionLevelInfo& aInfo, TnxReader& aReader);

void nxBlobBatchRequestClear(TnxBlobBatchRequest& aRequest) noexcept;
bool nxBlobBatchRequestIsAssigned(const TnxBlobBatchRequest& aRequest) noexcept;
int32_t nxBlobBatchReplySizeForCount(int32_t aCount) noexcept;
int32_t nxBlobBatchReplySizeForRequest(const TnxBlobBatchRequest& aRequest) noexcept;
// Of a raw reply: bbrpCount x 8 + 2.
int32_t nxBlobBatchReplySize(const uint8_t* aReply) noexcept;

}  // namespace revurov
