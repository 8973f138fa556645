// The vocabulary every engine, the remote engine and the client components
// share: handles and 64-bit numbers, the enumerations of open, share, lock,
// search and transaction states, and the names that messages use.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace revurov {

using TnxCursorID = uint32_t;
using TnxDatabaseID = uint32_t;
using TnxTransContextID = uint32_t;
using TnxTaskID = uint32_t;
using TnxFilterID = uint32_t;
using TnxKeyFilterID = uint32_t;
using TnxStatementID = uint32_t;
using TnxLSN = int64_t;
using TnxRefNr = int64_t;
using TnxBlobNr = int64_t;
using TnxBlobNrs = std::vector<TnxBlobNr>;
using TnxGrowSize = int32_t;  // 1 to 2,147,483,647
using TnxBlobFields = std::vector<int32_t>;
using TnxBlobFieldsToBlobFields = std::vector<int32_t>;
using TnxMarkedBlobsByBlobIdx = std::vector<int32_t>;

// A key or a record is at most this long (its index is 16-bit).
inline constexpr int32_t nxMaxRecordLength = 65536;

enum TnxTransactionLevelState : uint8_t { tlsCorrupted, tlsDeadlocked, tlsNoMoreNested };
using TnxTransactionLevelStates = uint8_t;  // bit set
enum TnxTransactionState : uint8_t { tsFailsafe, tsSnapshot, tsForBlobRead, tsFailed };
using TnxTransactionStates = uint8_t;  // bit set
enum TnxRecordGetBatchExOption : uint8_t {
  gboBlobs, gboBookmarks, gboBackwards, gboAllowClientFilter, gboSetToBeginOrEnd, gboBlobNrs, gboBlobsOnlyMarked,
};
using TnxRecordGetBatchExOptions = uint8_t;  // bit set
enum TnxOpenMode : uint8_t { omReadOnly, omWriteOnly, omReadWrite, omNone };
enum TnxShareMode : uint8_t { smExclusive, smShared, smShareRead };
enum TnxLockType : uint8_t { nxltNoLock, nxltReadLock, nxltWriteLock };
enum TnxLockPresent : uint8_t { lpNotAtAll, lpYesByUs, lpYesByAnother };
enum TnxSearchKeyAction : uint8_t {
  skaEqualFirst, skaGreaterEqual, skaGreater, skaEqualLast, skaSmallerEqual, skaSmaller,
  skaAnyEqual, skaAnyGreaterEqual, skaAnyGreater, skaAnySmallerEqual, skaAnySmaller,
};
enum TnxBlobCopyMode : uint8_t { nxbcmNoCopy, nxbcmCopyFull, nxbcmCreateLink };
enum TnxParamType : uint8_t { nxptUnknown, nxptInput, nxptOutput, nxptInputOutput, nxptResult };
enum TnxStatementType : uint8_t { stQuery, stStoredProcedure };
enum TnxRecordCountOption : uint8_t {
  rcoTotalRecordCount, rcoTotalKeyCount, rcoRangedKeyCount, rcoServerFilteredKeyCount, rcoClientFilteredKeyCount,
};
enum TnxIndexPathPosition : uint8_t { ippUnknown, ippBof, ippOnCrackBefore, ippOnCrackAfter, ippOnKey, ippEof };
enum TnxClassListType : uint8_t {
  setAutoIncEngines, setBlobEngines, setIndexEngines, setEncryptionEngines, setDefaultDescriptors,
  setValidationDescriptors, setRecordDescriptors, setRIActionDescriptors,
};
enum TnxLockResult : uint8_t {
  lrGrantedNew, lrGrantedExisting, lrConflictUnknown, lrConflictCursorWriteLock, lrConflictCursorReadLockSingle,
  lrConflictCursorReadLockMultiple, lrConflictCursorRecordLockSingle, lrConflictCursorRecordLockMultiple,
  lrConflictTransaction,
};
enum TnxLockRequestType : uint8_t { lrtRecordLock, lrtReadLock, lrtWriteLock };
enum TnxInsertOption : uint8_t { ioSetDefault, ioSetAutoInc, ioValidate, ioModifyIfFound };
using TnxInsertOptions = uint8_t;  // bit set
enum TnxRecordIteratorResult : uint8_t { rirContinue, rirStop };
enum TnxKeyIteratorResult : uint8_t { kirContinue, kirSkipKey, kirStop };
enum TnxBlobReadSnapshotState : uint8_t {
  brssNone, brssRequestStart, brssUnneccesary, brssFailedToStart, brssStarted, brssRequestClose,
  brssFailedToClose, brssClosed,
};
enum TnxSpecialFieldType : uint8_t { sftAutoInc, sftAutoGuid, sftRecRev, sftRefNr, sftModifyLSN, sftInsertLSN };
inline constexpr int nxSpecialFieldTypeCount = 6;
enum TnxTableCachingState : uint8_t { tcsNone, tcsCacheable, tcsIsCache };
enum TnxCachedBlobStateInfo : uint8_t { cbsiCreated, cbsiCreatedFile, cbsiDeleted, cbsiModified };

using TnxSpecialFields = int32_t[nxSpecialFieldTypeCount];
using TnxSpecialFieldOffsets = int32_t[nxSpecialFieldTypeCount];

enum TnxBlockSize : uint8_t { nxbs4k, nxbs8k, nxbs16k, nxbs32k, nxbs64k };
inline constexpr uint8_t nxBlockSizeShifts[5] = {12, 13, 14, 15, 16};
inline constexpr std::u16string_view nxJournalExtension = u"n$2";

inline constexpr std::u16string_view nxParamTypeNames[5] = {u"", u"IN", u"OUT", u"INOUT", u"RESULT"};
inline constexpr std::u16string_view nxLockRequestNames[3] = {u"record lock", u"read lock", u"write lock"};
inline constexpr std::u16string_view nxLockConflictNames[5] = {u"unknown", u"record lock", u"read lock",
                                                               u"write lock", u"transaction"};
// Index into nxLockConflictNames of each TnxLockResult.
inline constexpr uint8_t nxLockResultConflictKinds[9] = {0, 0, 0, 3, 2, 2, 1, 1, 4};

// The first of nxParamTypeNames that equals aText without regard to ASCII
// case; nxptUnknown when none does.
TnxParamType nxParamTypeFromString(std::u16string_view aText) noexcept;

}  // namespace revurov
