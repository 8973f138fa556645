// The remote cursor's request numbers and the server versions that know
// them; and its tagged payloads, which start with the cursor's ID.
#pragma once

#include <cstdint>
#include <vector>

#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "transport/wire_header.h"

namespace revurov {

inline constexpr TnxMsgID nxnmCursorSetToBegin = 0x301;
inline constexpr TnxMsgID nxnmCursorSetToCursor = 0x302;
inline constexpr TnxMsgID nxnmCursorSetToEnd = 0x303;
inline constexpr TnxMsgID nxnmCursorSetToBeginGetNext = 0x305;
inline constexpr TnxMsgID nxnmCursorSetToEndGetPrior = 0x306;
inline constexpr TnxMsgID nxnmCursorSetToCursorSync = 0x307;
inline constexpr TnxMsgID nxnmCursorGetBookmark = 0x311;
inline constexpr TnxMsgID nxnmCursorCompareBookmarks = 0x312;
inline constexpr TnxMsgID nxnmCursorSetToBookmarkChained = 0x314;
inline constexpr TnxMsgID nxnmCursorRecNoGet = 0x316;
inline constexpr TnxMsgID nxnmCursorRecNoSet = 0x317;
inline constexpr TnxMsgID nxnmCursorRecNoSetSync = 0x318;
inline constexpr TnxMsgID nxnmCursorRecNoGetDelayed = 0x319;
inline constexpr TnxMsgID nxnmCursorRecordGet = 0x321;  // next 0x322, prior 0x323
inline constexpr TnxMsgID nxnmCursorRecordSync = 0x324;
inline constexpr TnxMsgID nxnmCursorSetToKey = 0x373;
inline constexpr TnxMsgID nxnmCursorRecordGetForKey = 0x374;
inline constexpr TnxMsgID nxnmCursorRangeReset = 0x375;
inline constexpr TnxMsgID nxnmCursorRangeSet = 0x376;
inline constexpr TnxMsgID nxnmCursorCompareKeys = 0x377;
inline constexpr TnxMsgID nxnmCursorSwitchToIndex = 0x378;
inline constexpr TnxMsgID nxnmCursorSwitchToIndexEx = 0x379;
inline constexpr TnxMsgID nxnmCursorSetToKeySync = 0x37A;
inline constexpr TnxMsgID nxnmCursorRangeSetChained = 0x37B;
inline constexpr TnxMsgID nxnmCursorRangeResetSync = 0x37C;
inline constexpr TnxMsgID nxnmCursorSwitchToIndexDelayed = 0x37E;
inline constexpr TnxMsgID nxnmCursorSetToCursorCached = 0x807;
inline constexpr TnxMsgID nxnmCursorRangeResetCached = 0x87C;
inline constexpr TnxMsgID nxnmCursorRecordInsert = 0x331;
inline constexpr TnxMsgID nxnmCursorRecordModify = 0x332;
inline constexpr TnxMsgID nxnmCursorRecordDelete = 0x333;
inline constexpr TnxMsgID nxnmCursorRecordDeleteSync = 0x334;
inline constexpr TnxMsgID nxnmCursorRecordModifyEx = 0x335;
inline constexpr TnxMsgID nxnmCursorRecordInsertAutoInc = 0x336;
inline constexpr TnxMsgID nxnmCursorRecordInsertEx = 0x337;
inline constexpr TnxMsgID nxnmCursorRecordModifyCached = 0x338;
inline constexpr TnxMsgID nxnmCursorRecordDeleteDelayed = 0x339;
inline constexpr TnxMsgID nxnmCursorRecordIsLocked = 0x341;
inline constexpr TnxMsgID nxnmCursorRecordLockRelease = 0x342;
inline constexpr TnxMsgID nxnmCursorRecordLockReleaseGet = 0x343;
inline constexpr TnxMsgID nxnmCursorRecordLockReleaseSync = 0x344;
inline constexpr TnxMsgID nxnmCursorAutoIncGet = 0x351;
inline constexpr TnxMsgID nxnmCursorAutoIncSet = 0x352;
inline constexpr TnxMsgID nxnmCursorRecordGetForKeyBatch = 0x37D;
inline constexpr TnxMsgID nxnmCursorRecordGetForKeyBatchCached = 0x87D;
inline constexpr TnxMsgID nxnmCursorRecordGetBatch = 0x381;
inline constexpr TnxMsgID nxnmCursorRecordInsertBatch = 0x382;
inline constexpr TnxMsgID nxnmCursorCopyRecords = 0x383;
inline constexpr TnxMsgID nxnmCursorDeleteRecords = 0x384;
inline constexpr TnxMsgID nxnmCursorRecordGetBatchLimited = 0x385;
inline constexpr TnxMsgID nxnmCursorCopyRecordsEx = 0x386;
inline constexpr TnxMsgID nxnmCursorRecordGetBatchCached = 0x885;

inline constexpr TnxMsgID nxnmCursorSetToFilter = 0x304;
inline constexpr TnxMsgID nxnmCursorFilterAdd = 0x361;
inline constexpr TnxMsgID nxnmCursorFilterTimeout = 0x362;
inline constexpr TnxMsgID nxnmCursorFilterActivate = 0x363;  // deactivate 0x364, remove 0x365
inline constexpr TnxMsgID nxnmCursorFilterActionChained = 0x367;
inline constexpr TnxMsgID nxnmCursorFilterAddChained = 0x368;
inline constexpr TnxMsgID nxnmCursorFilterReplaceChained = 0x369;
inline constexpr TnxMsgID nxnmCursorKeyFilterAdd = 0x36A;
inline constexpr TnxMsgID nxnmCursorKeyFilterActivate = 0x36B;
inline constexpr TnxMsgID nxnmCursorKeyFilterDeactivate = 0x36C;
inline constexpr TnxMsgID nxnmCursorKeyFilterRemove = 0x36D;
// Servers from this version take the chained filter requests.
inline constexpr int32_t nxChainedFiltersMinServer = 47002;

// Blobs: each $89x request has a record form $200 higher ($A9x).
inline constexpr TnxMsgID nxnmCursorBlobCreate = 0x891;
inline constexpr TnxMsgID nxnmCursorBlobCreateFile = 0x892;
inline constexpr TnxMsgID nxnmCursorBlobDelete = 0x893;
inline constexpr TnxMsgID nxnmCursorBlobFree = 0x894;
inline constexpr TnxMsgID nxnmCursorBlobRead = 0x895;
inline constexpr TnxMsgID nxnmCursorBlobWrite = 0x896;
inline constexpr TnxMsgID nxnmCursorBlobTruncate = 0x897;
inline constexpr TnxMsgID nxnmCursorBlobGetLength = 0x89A;
inline constexpr TnxMsgID nxnmCursorBlobReadSnapshot = 0x89B;
inline constexpr TnxMsgID nxnmCursorBlobRecordForm = 0x200;
inline constexpr TnxMsgID nxnmCursorBlobReplace = 0x39B;
inline constexpr TnxMsgID nxnmCursorBlobsCancel = 0x39C;
inline constexpr TnxMsgID nxnmCursorBlobBatch = 0x39D;
// Table-level requests.
inline constexpr TnxMsgID nxnmCursorTableStreamWrite = 0x3A2;
inline constexpr TnxMsgID nxnmCursorTableStreamDelete = 0x3A5;
inline constexpr TnxMsgID nxnmCursorTableStreamRead = 0x3A6;
inline constexpr TnxMsgID nxnmCursorTableStreamGetList = 0x3A7;
inline constexpr TnxMsgID nxnmCursorTableIsLocked = 0x3B1;
inline constexpr TnxMsgID nxnmCursorTableLockAcquire = 0x3B2;
inline constexpr TnxMsgID nxnmCursorTableLockRelease = 0x3B3;
inline constexpr TnxMsgID nxnmCursorChangePassword = 0x3C2;
inline constexpr TnxMsgID nxnmCursorGetRecordCount = 0x3D1;
inline constexpr TnxMsgID nxnmCursorGetRecordCountAsync = 0x3D2;
inline constexpr TnxMsgID nxnmCursorGetRecordCountEx = 0x3D3;
inline constexpr TnxMsgID nxnmCursorContainsLSNRefNr = 0x3EA;
inline constexpr TnxMsgID nxnmCursorGetDeletedRecords = 0x3EB;
inline constexpr TnxMsgID nxnmCursorSetTimeout = 0x3F0;
inline constexpr TnxMsgID nxnmCursorOptionBase = 0x3F0;

// Reply headers: $A95 (count, new-number flag, number); $89B and $A9B
// (state, blob length, count, and for $A9B flag and number); $A9A.
inline constexpr uint32_t nxBlobReadReplyHeader = 13;
inline constexpr uint32_t nxBlobSnapshotReplyHeader = 9;
inline constexpr uint32_t nxBlobSnapshotRecordReplyHeader = 18;
inline constexpr uint32_t nxBlobLengthRecordReply = 13;
// The server runs a read's snapshot itself from this one; it opens one
// for a long read from the next.
inline constexpr int32_t nxBlobServerSnapshotMinServer = 47002;
inline constexpr int32_t nxBlobSnapshotReadMinServer = 47005;
// The estimate bit of a count option: servers above this one.
inline constexpr int32_t nxRecordCountEstimateMinServer = 30199;

// Chained reads and the reduced forms: servers above this one.
inline constexpr int32_t nxChainedReadsMinServer = 47001;
// A held-back bookmark travelling inside another request: above this one.
inline constexpr int32_t nxDelayedBookmarkMinServer = 47004;
// Key batches: above this one. Only-marked blobs in a batch: from this one.
inline constexpr int32_t nxKeyBatchMinServer = 47003;
inline constexpr int32_t nxBlobsOnlyMarkedMinServer = 47005;
// gboSetToBeginOrEnd inside a batch read: from this one.
inline constexpr int32_t nxBatchPositioningMinServer = 47002;

// Cursor ID, lock type, record length, bookmark size.
inline constexpr int32_t nxRecordGetPlainHeader = 9;

// The tagged payload aWrite writes after aCursorID.
template <class F>
std::vector<uint8_t> nxCursorTagged(uint32_t aCursorID, F&& aWrite) {
  TnxBytesStream stream;
  {
    TnxWriter writer(stream);
    writer.WriteInteger(static_cast<int32_t>(aCursorID));
    aWrite(writer);
    writer.FlushBuffer();
  }
  return stream.Bytes();
}

}  // namespace revurov
