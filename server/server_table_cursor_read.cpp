// The table cursor's reads: the current record, next and prior within the
// range and filters, key lookups one by one or in a batch, batch reads over
// the cursor's walk, record counts, and the queries of clients that cache
// records (the graveyard and record versions).
#include <algorithm>
#include <exception>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "dictionary/fields_descriptor.h"
#include "dictionary/filter_engines.h"
#include "dictionary/table_descriptors.h"
#include "engine/batch_stream.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/heap/memory_manager.h"
#include "platform/endian.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/table_lock_container.h"
#include "storage/deadline.h"
#include "storage/server_exceptions.h"
#include "storage/sub_engines.h"

namespace revurov {

namespace {

constexpr int32_t kNoLimit = std::numeric_limits<int32_t>::max();
constexpr size_t kDeletedRecordsFirst = 0x100000;

uint32_t AtEnd() { return EnxBaseException::nxSetMessage(nxeAtEndOfTable, u"At end of table."); }
uint32_t AtBeginning() { return EnxBaseException::nxSetMessage(nxeAtBeginningOfTable, u"At beginning of table."); }
uint32_t NoCurrent() { return EnxBaseException::nxSetMessage(nxeNoCurrentRecord, u"No current record."); }
uint32_t NotFound() { return EnxBaseException::nxSetMessage(nxeRecordNotFound, u"Could not find record."); }
uint32_t NoIndex() { return EnxBaseException::nxSetMessage(nxeNoAssociatedIndex, u"No associated index."); }

bool Has(TnxRecordGetBatchExOptions aOptions, TnxRecordGetBatchExOption aOption) noexcept {
  return (aOptions >> aOption) & 1;
}

TnxBaseFilterEngine* Active(const std::unique_ptr<TnxBaseFilterEngine>& aFilter) noexcept {
  return aFilter && aFilter->GetActive() ? aFilter.get() : nullptr;
}

void WriteU32(TnxMemoryStream& aStream, uint32_t aValue) {
  uint8_t bytes[4];
  platform::StoreU32(bytes, aValue);
  aStream.Write(bytes, 4);
}

// The shared content lock of one read, ended on every way out.
class TReadLock {
public:
  explicit TReadLock(TnxServerBaseCursor& aCursor)
      : rlCursor(aCursor), rlResult(aCursor.sbcBeginContentLock(false, false, false)) {}
  ~TReadLock() {
    if (rlResult == 0) rlCursor.sbcEndContentLock();
  }
  TReadLock(const TReadLock&) = delete;
  TReadLock& operator=(const TReadLock&) = delete;
  uint32_t Result() const noexcept { return rlResult; }

private:
  TnxServerBaseCursor& rlCursor;
  uint32_t rlResult;
};

// The filter time limit of one read, when a filter is active.
class TFilterTime {
public:
  TFilterTime(TnxServerBaseCursor& aCursor, bool aActive, uint32_t* aResult) : ftCursor(aActive ? &aCursor : nullptr) {
    if (ftCursor) ftCursor->sbcFilterBeginTimeout(aResult);
  }
  ~TFilterTime() {
    if (ftCursor) ftCursor->sbcFilterEndTimeout();
  }
  TFilterTime(const TFilterTime&) = delete;
  TFilterTime& operator=(const TFilterTime&) = delete;

private:
  TnxServerBaseCursor* ftCursor;
};

// A record filter tested on the record as stored, not as changed in this
// transaction.
bool Accepts(TnxServerBaseCursor& aCursor, TnxBaseFilterEngine* aFilter, const uint8_t* aRecord) {
  if (!aFilter) return true;
  aCursor.sbcBeginReadOrgOverride();
  struct End {
    TnxServerBaseCursor& Cursor;
    ~End() { Cursor.sbcEndReadOrgOverride(); }
  } end{aCursor};
  return aFilter->MatchesBuffer(aRecord);
}

// Reads aRefNr into aBuffer; false when the record was deleted.
bool nxReadIfThere(TnxBaseRecordEngine& aRecords, TnxBaseTransaction* aTrans, TnxRefNr aRefNr,
                   PnxRecordBuffer aBuffer) {
  try {
    aRecords.ReadRecord(aTrans, aRefNr, aBuffer);
    return true;
  } catch (const EnxBaseException& e) {
    if (e.ErrorCode() != nxeRecordDeleted) throw;
    return false;
  }
}

}  // namespace

// ---- record locks of reads ----

uint32_t TnxServerTableCursor::stcLockForRead(TnxRefNr aRefNr, bool& aTaken) {
  aTaken = false;
  const TnxLockResult granted =
      stcTable->Locks().GetRecordLock(ActiveTrans(), this, aRefNr, false, &LockFailureReason());
  if (granted != lrGrantedNew && granted != lrGrantedExisting) return sbcLockFailureResult(nxeRecordLocked);
  aTaken = granted == lrGrantedNew;
  return 0;
}

void TnxServerTableCursor::stcNotifyRecordGet(TnxLockType aLockType, PnxRecordBuffer aData, TnxRefNr aRefNr) {
  const TnxEngineArg args[] = {int32_t(aLockType), static_cast<void*>(aData), int64_t(aRefNr)};
  NotifyExtenders(eaRecordGet, false, args);
}

// ---- the current record ----

uint32_t TnxServerTableCursor::sbcRecordGet(TnxLockType aLockType, PnxRecordBuffer aData) {
  TnxBaseIndexPath& path = *stcIndexPath;
  TnxRefNr lockedRefNr = 0;
  bool taken = false;
  uint32_t result = 0;
  if (aLockType != nxltNoLock && path.RefNr != 0) {
    if ((result = path.CheckCurrentState())) return result;
    if ((result = stcLockForRead(path.RefNr, taken))) return result;
    lockedRefNr = path.RefNr;
  }
  try {
    TReadLock lock(*this);
    result = lock.Result();
    if (result == 0) result = stcValidatePath();
    if (result == 0 && aLockType != nxltNoLock) {
      if (lockedRefNr != 0) {
        if (path.RefNr != lockedRefNr) result = NoCurrent();
      } else if (path.RefNr == 0) {
        result = NoCurrent();
      } else {
        result = stcLockForRead(path.RefNr, taken);
        if (result == 0) lockedRefNr = path.RefNr;
      }
    }
    TnxBaseFilterEngine* keyFilter = Active(sbcKeyFilter);
    if (result == 0 && keyFilter && (!path.KeyValid || !keyFilter->MatchesKey(path.KeyBuffer())))
      result = NoCurrent();
    TnxBaseFilterEngine* filter = Active(sbcFilter);
    if (result == 0) {
      if (!aData && filter) aData = sbcRecordBuffer;
      if (aData) {
        stcTable->RecordEngine()->ReadRecord(ActiveTrans(), path.RefNr, aData);
        if (!Accepts(*this, filter, aData))
          result = NoCurrent();
        else
          stcNotifyRecordGet(aLockType, aData, path.RefNr);
      }
    }
  } catch (const std::exception& e) {
    result = asoConvertException(e);
  }
  if (result != 0 && taken) stcTable->Locks().ReleaseRecordLock(this, lockedRefNr, ActiveTrans());
  return result;
}

// ---- next and prior ----

uint32_t TnxServerTableCursor::stcRecordStep(TnxLockType aLockType, PnxRecordBuffer aData, bool aBack) {
  TnxBaseIndexPath& path = *stcIndexPath;
  if (path.Position == (aBack ? ippBof : ippEof)) return aBack ? AtBeginning() : AtEnd();
  try {
    TReadLock lock(*this);
    if (lock.Result() != 0) return lock.Result();
    TnxBaseFilterEngine* filter = Active(sbcFilter);
    TnxBaseFilterEngine* keyFilter = Active(sbcKeyFilter);
    const TnxRangeInfo& nearSide = aBack ? stcRangeEnd : stcRangeStart;
    const TnxRangeInfo& farSide = aBack ? stcRangeStart : stcRangeEnd;
    if (!aData && (filter || farSide.riValid)) aData = sbcRecordBuffer;
    uint32_t filterResult = 0;
    TFilterTime time(*this, filter || keyFilter, &filterResult);
    TnxServerTransaction* trans = ActiveTrans();
    const auto stop = [&]() -> uint32_t {
      if (filterResult != 0) return filterResult;
      if (aBack) {
        path.SetToBof();
        return AtBeginning();
      }
      path.SetToEof();
      return AtEnd();
    };
    if (stcIndexEngine && path.Position == (aBack ? ippEof : ippBof) && nearSide.riValid) {
      const TnxSearchKeyAction action = aBack ? (nearSide.riExclusive ? skaSmaller : skaSmallerEqual)
                                              : (nearSide.riExclusive ? skaGreater : skaGreaterEqual);
      // The prior read passes the key filter whether it is active or not.
      TnxBaseFilterEngine* findFilter = aBack ? sbcKeyFilter.get() : keyFilter;
      if (!stcIndexEngine->FindKey(trans, nearSide.riKey, nearSide.riFieldCount, nearSide.riPartitial, 0, path,
                                   action, findFilter) ||
          path.Position == (aBack ? ippBof : ippEof))
        return stop();
      aBack ? path.SetToCrackAfter() : path.SetToCrackBefore();
    }
    TnxBaseRecordEngine* records = stcTable->RecordEngine();
    PnxRecordBuffer buffer = aData ? aData : sbcRecordBuffer;
    for (;;) {
      if (stcIndexEngine) {
        if (!(aBack ? stcIndexEngine->PrevKey(trans, path, keyFilter) : stcIndexEngine->NextKey(trans, path, keyFilter)))
          return stop();
        if (farSide.riValid) {
          const int c = stcIndexEngine->KeyEngine().CompareKey(farSide.riKey, path.KeyBuffer(), farSide.riFieldCount,
                                                               farSide.riPartitial);
          if ((aBack ? c > 0 : c < 0) || (c == 0 && farSide.riExclusive)) return stop();
        }
        if (aData) records->ReadRecord(trans, path.RefNr, aData);
      } else {
        TnxRefNr refNr = 0;
        const TnxRefNr from = path.Position == (aBack ? ippEof : ippBof) ? 0 : path.RefNr;
        // Back on the crack of a record another call could not lock: that
        // record again, unless it has gone meanwhile.
        if (path.Position == (aBack ? ippOnCrackAfter : ippOnCrackBefore) && from != 0 &&
            nxReadIfThere(*records, trans, from, buffer))
          refNr = from;
        else
          aBack ? records->ReadPrevRecord(trans, from, refNr, buffer)
                : records->ReadNextRecord(trans, from, refNr, buffer);
        if (refNr == 0) return stop();
        path.SetToRecord(nullptr, refNr);
      }
      if (Accepts(*this, filter, aData)) break;
      uint32_t expired = 0;
      if (sbcFilterCheckTimeout(expired)) return expired;
    }
    const TnxRefNr refNr = path.RefNr;
    if (aLockType != nxltNoLock) {
      bool taken = false;
      if (const uint32_t result = stcLockForRead(refNr, taken)) {
        aBack ? path.SetToCrackAfter() : path.SetToCrackBefore();
        return result;
      }
    }
    if (aData) stcNotifyRecordGet(aLockType, aData, refNr);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerTableCursor::sbcRecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) {
  return stcRecordStep(aLockType, aData, false);
}

uint32_t TnxServerTableCursor::sbcRecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) {
  return stcRecordStep(aLockType, aData, true);
}

// ---- key lookups ----

uint32_t TnxServerTableCursor::stcLookUpKey(int32_t aFieldCount, int32_t aPartialLen, PnxRecordBuffer aData,
                                            bool aMatchFirst, bool aFirstCall, uint32_t& aFilterResult) {
  TnxBaseIndexPath& path = *stcIndexPath;
  TnxServerTransaction* trans = ActiveTrans();
  TnxBaseFilterEngine* filter = Active(sbcFilter);
  TnxBaseFilterEngine* keyFilter = Active(sbcKeyFilter);
  const TnxBaseKeyEngine& keys = stcIndexEngine->KeyEngine();
  bool first = aFirstCall;
  for (;;) {
    bool found;
    if (first) {
      found = stcIndexEngine->FindKey(trans, stcKeyBuffer, aFieldCount, aPartialLen, 0, path,
                                      aMatchFirst ? skaEqualFirst : skaEqualLast, keyFilter) &&
              path.KeyValid && path.IsOnKey();
      first = false;
    } else {
      found = (aMatchFirst ? stcIndexEngine->NextKey(trans, path, keyFilter)
                           : stcIndexEngine->PrevKey(trans, path, keyFilter)) &&
              path.KeyValid && keys.CompareKey(stcKeyBuffer, path.KeyBuffer(), aFieldCount, aPartialLen) == 0;
    }
    if (found && stcCheckRange(path.KeyBuffer()) != 0) found = false;
    if (!found) {
      if (aFilterResult != 0) return aFilterResult;
      aMatchFirst ? path.SetToEof() : path.SetToBof();
      return NotFound();
    }
    if (aData) stcTable->RecordEngine()->ReadRecord(trans, path.RefNr, aData);
    if (Accepts(*this, filter, aData)) {
      if (aData) stcNotifyRecordGet(nxltNoLock, aData, path.RefNr);
      return 0;
    }
    uint32_t expired = 0;
    if (sbcFilterCheckTimeout(expired)) return expired;
  }
}

uint32_t TnxServerTableCursor::sbcRecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey,
                                                  PnxKeyOrRecordBuffer aKeyData, PnxRecordBuffer aData,
                                                  bool aMatchFirst, bool aFirstCall) {
  if (!stcIndexEngine) return NoIndex();
  try {
    if (uint32_t result = stcCheckKeyArgs(aFieldCount, aPartialLen)) return result;
    if (uint32_t result = stcKeyFromClient(aDirectKey, aKeyData, stcKeyBuffer)) return result;
    TnxBaseFilterEngine* filter = Active(sbcFilter);
    if (!aData && filter) aData = sbcRecordBuffer;
    TReadLock lock(*this);
    if (lock.Result() != 0) return lock.Result();
    uint32_t filterResult = 0;
    TFilterTime time(*this, filter || Active(sbcKeyFilter), &filterResult);
    return stcLookUpKey(aFieldCount, aPartialLen, aData, aMatchFirst, aFirstCall, filterResult);
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerTableCursor::sbcRecordGetForKeyBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                                       TnxBatchStreamAccess*& aAccess, TnxDataSetKeyBufferArray& aKeys,
                                                       bool aMatchFirst, bool aFirstCall) {
  if (!stcIndexEngine) return NoIndex();
  if (aCutoffSize < 0) aCutoffSize = kNoLimit;
  uint32_t result = 0;
  try {
    TReadLock lock(*this);
    if ((result = lock.Result()) == 0) {
      uint32_t filterResult = 0;
      TFilterTime time(*this, Active(sbcFilter) || Active(sbcKeyFilter), &filterResult);
      TnxBlobFields blobFields;
      TnxFieldsDescriptor& fields = stcTable->TableDescriptor()->FieldsDescriptor();
      if (!fields.HasBlobFields(blobFields)) aOptions &= ~(1u << gboBlobs);
      delete std::exchange(aAccess, nullptr);
      aAccess = CreateBatchStreamAccess(nullptr, aOptions).release();
      TnxMemoryStream& stream = aAccess->Stream();
      stream.SetCapacity(nxBatchCapacity(aCutoffSize));
      WriteU32(stream, 0);
      WriteU32(stream, 0);
      const uint32_t recordLength = uint32_t(fields.RecordLength());
      uint32_t bookmarkSize = 0;
      if (Has(aOptions, gboBookmarks)) sbcGetBookmarkSize(bookmarkSize);
      const int32_t entrySize = int32_t(recordLength + bookmarkSize);
      const TnxBaseKeyEngine& keys = stcIndexEngine->KeyEngine();
      uint32_t status = 0;
      int32_t count = 0;
      bool firstCall = aFirstCall;
      for (PnxKeyBuffer keyBuffer : aKeys) {
        WriteU32(stream, uint32_t(entrySize));
        const int64_t at = stream.Position();
        stream.SetSize(at + entrySize);
        uint32_t code = 0;
        int32_t fieldCount = 0;
        int32_t partialLen = 0;
        if (!keyBuffer) {
          code = EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No key given");
        } else {
          const auto* header = static_cast<const TnxDataSetKeyBuffer*>(static_cast<const void*>(keyBuffer));
          fieldCount = header->kbFieldCount != 0 ? header->kbFieldCount : keys.GetMaxFieldCount();
          partialLen = header->kbPartialLen;
          if (partialLen > 0) --fieldCount;
          code = stcCheckKeyArgs(fieldCount, partialLen);
          if (code == 0)
            code = stcKeyFromClient(header->kbDirectKey, reinterpret_cast<uint8_t*>(keyBuffer) + nxDataSetKeyBufferHeader,
                                    stcKeyBuffer);
        }
        if (code == 0)
          code = stcLookUpKey(fieldCount, partialLen, stream.ByteArray() + at, aMatchFirst, firstCall, filterResult);
        firstCall = true;
        if (code == 0) {
          if (bookmarkSize > 0) {
            uint8_t* bookmark = stream.ByteArray() + at + recordLength;
            IsCache() ? sbcGetBookmarkCache(bookmark, bookmarkSize) : sbcGetBookmark(bookmark, bookmarkSize);
          }
          if (Has(aOptions, gboBlobs)) {
            int32_t size = entrySize;
            sbcCopyBlobsToBatchStream(size, uint32_t(at), stream, Has(aOptions, gboBlobNrs),
                                      Has(aOptions, gboBlobsOnlyMarked));
            if (size != entrySize) platform::StoreU32(stream.ByteArray() + at - 4, uint32_t(size));
          }
          stream.Seek(0, platform::TSeekOrigin::soEnd);
        } else if (code == nxeLockTimeOut || code == nxeFilterTimeout || code == nxeTimeout) {
          stream.SetSize(at - 4);
          status = code;
          break;
        } else {
          stream.SetSize(at - 4);
          WriteU32(stream, nxBatchHasResult | 4);
          WriteU32(stream, code);
        }
        ++count;
        if (stream.GetSize() > aCutoffSize) break;
      }
      if (status == 0 && size_t(count) == aKeys.size()) status = aMatchFirst ? nxeAtEndOfTable : nxeAtBeginningOfTable;
      platform::StoreU32(stream.ByteArray(), status);
      platform::StoreLE<int32_t>(stream.ByteArray() + 4, count);
      result = count > 0 ? 0 : status;
    }
  } catch (const std::exception& e) {
    result = asoConvertException(e);
  }
  if (aAccess) aAccess->Reset(false);
  return result;
}

// ---- iteration ----

void TnxServerTableCursor::stcIterate(PnxRecordBuffer* aData, const TnxIndexKeyIterator& aKeyIterator,
                                      const TnxStorageRecordIterator& aRecIterator, bool aBackward, void* aCookie,
                                      bool aKeepPosition, TnxBaseFilterEngine* aFilter,
                                      TnxBaseFilterEngine* aKeyFilter) {
  TReadLock lock(*this);
  if (lock.Result() != 0) throw EnxBaseException(lock.Result());
  ++stcInUseCount;
  struct InUse {
    int32_t& Count;
    ~InUse() { --Count; }
  } inUse{stcInUseCount};
  TnxBaseIndexPath& path = *stcIndexPath;
  TnxServerTransaction* trans = ActiveTrans();
  if (stcIndexEngine) {
    aBackward ? stcIndexEngine->IterateBackward(trans, &path, aData, aKeyIterator, aRecIterator, aCookie,
                                                stcRangeStart, stcRangeEnd, aFilter, aKeyFilter, aKeepPosition)
              : stcIndexEngine->Iterate(trans, &path, aData, aKeyIterator, aRecIterator, aCookie, stcRangeStart,
                                        stcRangeEnd, aFilter, aKeyFilter, aKeepPosition);
    return;
  }
  enum { kFromEdge, kFromCurrent, kSkipCurrent, kNothing } start = kFromEdge;
  if (aKeepPosition) {
    switch (path.Position) {
      case ippBof: start = aBackward ? kNothing : kFromEdge; break;
      case ippOnCrackBefore: start = aBackward ? kSkipCurrent : kFromCurrent; break;
      case ippOnCrackAfter: start = aBackward ? kFromCurrent : kSkipCurrent; break;
      // As the index walk does: a batch that stopped on a record goes on
      // after it.
      case ippOnKey: start = kSkipCurrent; break;
      case ippEof: start = aBackward ? kFromEdge : kNothing; break;
      default: start = kFromEdge; break;
    }
  }
  if (start == kNothing) return;
  if (start == kFromEdge || path.RefNr == 0) path.SetToRecord(nullptr, 0);
  TnxRefNr refNr = path.RefNr;
  // The path follows the walk, so that bookmarks taken inside it are the
  // record's.
  const TnxStorageRecordIterator follow = [&](void* aCookie2, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
    path.SetToRecord(nullptr, aRefNr);
    return aRecIterator ? aRecIterator(aCookie2, aRefNr, aRecord) : rirContinue;
  };
  TnxBaseRecordEngine* records = stcTable->RecordEngine();
  // The record engine's walk starts after the record it is given: a walk
  // that starts on the current record visits that one first.
  if (start == kFromCurrent && refNr != 0) {
    TnxRecordIteratorResult first = rirContinue;
    if (aData && *aData) {
      if (nxReadIfThere(*records, trans, refNr, *aData) &&
          (!aFilter || !aFilter->GetActive() || aFilter->MatchesBuffer(*aData)))
        first = follow(aCookie, refNr, *aData);
    } else {
      try {
        first = records->ReadRecordForIterate(trans, refNr, aData, follow, aCookie, aFilter);
      } catch (const EnxBaseException& e) {
        if (e.ErrorCode() != nxeRecordDeleted) throw;
      }
    }
    if (first == rirStop) return;
  }
  const bool keep = refNr != 0;
  aBackward ? records->IterateBackward(trans, refNr, aData, follow, aCookie, aFilter, keep, false)
            : records->Iterate(trans, refNr, aData, follow, aCookie, aFilter, keep, false);
  if (refNr != 0)
    path.SetToRecord(nullptr, refNr);
  else
    aBackward ? path.SetToBof() : path.SetToEof();
}

void TnxServerTableCursor::sbcIterate(PnxRecordBuffer* aData, const TnxKeyIterator& aKeyIterator,
                                      const TnxRecordIterator& aRecIterator, bool aBackward, void* aCookie,
                                      bool aKeepPosition) {
  TnxIndexKeyIterator keys;
  if (aKeyIterator)
    keys = [&](void* aCookie2, TnxRefNr, const uint8_t* aKey) {
      return aKeyIterator(reinterpret_cast<PnxKeyBuffer>(const_cast<uint8_t*>(aKey)), aCookie2);
    };
  TnxStorageRecordIterator records;
  if (aRecIterator)
    records = [&](void* aCookie2, TnxRefNr, PnxRecordBuffer aRecord) { return aRecIterator(aRecord, aCookie2); };
  stcIterate(aData, keys, records, aBackward, aCookie, aKeepPosition, sbcFilter.get(), sbcKeyFilter.get());
}

// ---- batch reads ----

namespace {

struct TBatchState {
  TnxServerTableCursor* Cursor;
  TnxMemoryStream* Stream;
  PnxRecordBuffer* Data;
  TnxBaseFilterEngine* Filter;
  TnxBaseFilterEngine* KeyFilter;
  TnxRecordGetBatchExOptions Options;
  int64_t At = 0;  // the prepared entry's record, 0 when none
  int32_t EntrySize = 0;
  uint32_t RecordLength = 0;
  uint32_t BookmarkSize = 0;
  int32_t Count = 0;
  int32_t MaxRecords = 0;
  int32_t CutoffSize = 0;
  uint32_t Status = 0;
  uint32_t EndStatus = 0;

  void Prepare() {
    WriteU32(*Stream, uint32_t(EntrySize));
    At = Stream->Position();
    Stream->SetSize(At + EntrySize);
    *Data = Stream->ByteArray() + At;
    Status = EndStatus;
  }
};

}  // namespace

TnxRecordIteratorResult TnxServerTableCursor::stcRecordGetBatchIterator(void* aCookie, TnxRefNr,
                                                                        PnxRecordBuffer aRecord) {
  TBatchState& state = *static_cast<TBatchState*>(aCookie);
  TnxServerTableCursor& cursor = *state.Cursor;
  TnxMemoryStream& stream = *state.Stream;
  if (!Accepts(cursor, state.Filter, aRecord)) {
    uint32_t expired = 0;
    if (!cursor.sbcFilterCheckTimeout(expired)) return rirContinue;
    state.Status = expired;
    stream.SetSize(state.At - 4);
    state.At = 0;
    return rirStop;
  }
  state.Status = 0;
  if (state.BookmarkSize > 0) {
    uint8_t* bookmark = stream.ByteArray() + state.At + state.RecordLength;
    state.Status = cursor.IsCache() ? cursor.sbcGetBookmarkCache(bookmark, state.BookmarkSize)
                                    : cursor.sbcGetBookmark(bookmark, state.BookmarkSize);
  }
  if (state.Status == 0 && Has(state.Options, gboBlobs)) {
    int32_t size = state.EntrySize;
    cursor.sbcCopyBlobsToBatchStream(size, uint32_t(state.At), stream, Has(state.Options, gboBlobNrs),
                                     Has(state.Options, gboBlobsOnlyMarked));
    if (size != state.EntrySize) platform::StoreU32(stream.ByteArray() + state.At - 4, uint32_t(size));
  }
  if (state.Status != 0) {
    stream.SetSize(state.At - 4);
    state.At = 0;
    return rirStop;
  }
  cursor.stcNotifyRecordGet(nxltNoLock, stream.ByteArray() + state.At, cursor.stcIndexPath->RefNr);
  stream.Seek(0, platform::TSeekOrigin::soEnd);
  state.At = 0;
  ++state.Count;
  if (stream.GetSize() >= state.CutoffSize || state.Count >= state.MaxRecords) return rirStop;
  state.Prepare();
  return rirContinue;
}

uint32_t TnxServerTableCursor::sbcRecordGetBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                                 TnxBatchStreamAccess*& aAccess, int32_t aMaxRecords, bool aForward) {
  if (aCutoffSize < 0) aCutoffSize = kNoLimit;
  if (aMaxRecords < 1) aMaxRecords = kNoLimit;
  uint32_t result = 0;
  try {
    if (!aAccess)
      aAccess = CreateBatchStreamAccess(nullptr, aOptions).release();
    else
      aAccess->Clear(false);
    TnxMemoryStream& stream = aAccess->Stream();
    stream.SetSize(0);
    stream.SetCapacity(nxBatchCapacity(aCutoffSize));
    WriteU32(stream, 0);
    WriteU32(stream, 0);
    TnxFieldsDescriptor& fields = stcTable->TableDescriptor()->FieldsDescriptor();
    TnxBlobFields blobFields;
    if (!fields.HasBlobFields(blobFields)) aOptions &= ~(1u << gboBlobs);
    PnxRecordBuffer data = nullptr;
    TBatchState state{this, &stream, &data, Active(sbcFilter), Active(sbcKeyFilter), aOptions};
    state.RecordLength = uint32_t(fields.RecordLength());
    if (Has(aOptions, gboBookmarks)) sbcGetBookmarkSize(state.BookmarkSize);
    state.EntrySize = int32_t(state.RecordLength + state.BookmarkSize);
    state.MaxRecords = aMaxRecords;
    state.CutoffSize = aCutoffSize;
    state.EndStatus = aForward ? nxeAtEndOfTable : nxeAtBeginningOfTable;
    // The filters are tested here rather than in the walk, so that their
    // time limit holds for batches too.
    uint32_t keyResult = 0;
    TFilterTime time(*this, state.Filter || state.KeyFilter, &keyResult);
    TnxIndexKeyIterator keys;
    if (state.KeyFilter)
      keys = [&state](void*, TnxRefNr, const uint8_t* aKey) {
        if (state.KeyFilter->MatchesKey(aKey)) return kirContinue;
        uint32_t expired = 0;
        if (!state.Cursor->sbcFilterCheckTimeout(expired)) return kirSkipKey;
        state.Status = expired;
        state.Stream->SetSize(state.At - 4);
        state.At = 0;
        return kirStop;
      };
    state.Prepare();
    stcIterate(&data, keys, &stcRecordGetBatchIterator, !aForward, &state, !Has(aOptions, gboSetToBeginOrEnd),
               nullptr, nullptr);
    if (state.At != 0) stream.SetSize(state.At - 4);
    if (state.Status == nxeFilterTimeout && state.Count == 0) result = nxeFilterTimeout;
    platform::StoreU32(stream.ByteArray(), state.Status);
    platform::StoreLE<int32_t>(stream.ByteArray() + 4, state.Count);
  } catch (const std::exception& e) {
    result = asoConvertException(e);
  }
  if (aAccess) aAccess->Reset(false);
  return result;
}

// ---- counts ----

TnxServerTableCursor::TCountScope::TCountScope(TnxServerTableCursor& aCursor, bool aUnfiltered,
                                               bool aNoFilterTimeout)
    : csCursor(aCursor),
      csSaved(aCursor.stcIndexPath->Duplicate()),
      csUnfiltered(aUnfiltered),
      csNoFilterTimeout(aNoFilterTimeout) {
  if (csUnfiltered) {
    csFilter = std::move(aCursor.sbcFilter);
    csKeyFilter = std::move(aCursor.sbcKeyFilter);
  }
  if (csNoFilterTimeout) aCursor.sbcDisableFilterTimeout();
}

TnxServerTableCursor::TCountScope::~TCountScope() {
  csCursor.stcIndexPath->Assign(csSaved.get());
  if (csUnfiltered) {
    csCursor.sbcFilter = std::move(csFilter);
    csCursor.sbcKeyFilter = std::move(csKeyFilter);
  }
  if (csNoFilterTimeout) csCursor.sbcEnableFilterTimeout();
}

uint32_t TnxServerTableCursor::stcCountedScan(TnxRecordCountOption aOption, uint32_t& aRecCount) {
  aRecCount = 0;
  TCountScope scope(*this, aOption <= rcoRangedKeyCount, true);
  stcIndexPath->SetToEof();
  uint32_t result = sbcRecordGetPrior(nxltNoLock, nullptr);
  if (result == nxeAtBeginningOfTable) return 0;
  if (result != 0) return result;
  if (sbcRecNoGet(aRecCount, false) == 0) return 0;
  aRecCount = 0;
  stcIndexPath->SetToBof();
  while ((result = sbcRecordGetNext(nxltNoLock, nullptr)) == 0) ++aRecCount;
  return result == nxeAtEndOfTable ? 0 : result;
}

uint32_t TnxServerTableCursor::sbcGetRecordCount(TnxRecordCountOption aOption, uint32_t& aRecCount, bool aEstimate) {
  aRecCount = 0;
  try {
    TReadLock lock(*this);
    if (lock.Result() != 0) return lock.Result();
    TnxServerTransaction* trans = ActiveTrans();
    const bool filtered = Active(sbcFilter) || Active(sbcKeyFilter);
    if (aOption == rcoTotalRecordCount || !stcIndexEngine) {
      if ((aOption == rcoServerFilteredKeyCount || aOption == rcoClientFilteredKeyCount) && filtered)
        return stcCountedScan(aOption, aRecCount);
      stcTable->RecordEngine()->GetRecordCount(trans, aRecCount);
      return 0;
    }
    if (aOption >= rcoRangedKeyCount && (stcRangeStart.riValid || stcRangeEnd.riValid || filtered)) {
      if (aEstimate)
        return stcIndexEngine->EstimateRecordCount(trans, stcRangeStart, stcRangeEnd, aRecCount, false);
      return stcCountedScan(aOption, aRecCount);
    }
    stcIndexEngine->GetKeyCount(trans, aRecCount);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

// ---- the queries of caching clients ----

TnxLSN TnxServerTableCursor::stcGetCurrentLSN() { return stcTable->Root()->sbtCurrentLSN(ActiveTrans()); }

uint32_t TnxServerTableCursor::GetDeletedRecords(TnxLSN aFromLSN, TnxRecordCacheInfos& aCacheInfos, int32_t aMaxCount,
                                                 TnxLSN* aCurrentLSN) {
  return sbcOwnFrame([&] { return stcGetDeletedRecords(aFromLSN, aCacheInfos, aMaxCount, aCurrentLSN); });
}

uint32_t TnxServerTableCursor::stcGetDeletedRecords(TnxLSN aFromLSN, TnxRecordCacheInfos& aCacheInfos,
                                                    int32_t aMaxCount, TnxLSN* aCurrentLSN) {
  aCacheInfos.clear();
  if (aCurrentLSN) *aCurrentLSN = 0;
  if (aMaxCount < 1)
    return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"The most deleted records to list is %d",
                                          {aMaxCount});
  if (!stcGraveyardLSNIndexEngine) return NoIndex();
  TReadLock lock(*this);
  if (lock.Result() != 0) return lock.Result();
  TnxRangeInfo start;
  uint8_t fromKey[sizeof(TnxLSN)];
  platform::StoreLE<int64_t>(fromKey, aFromLSN);
  start.riKey = fromKey;
  start.riFieldCount = 1;
  start.riExclusive = true;
  start.riValid = aFromLSN != 0;
  aCacheInfos.reserve(std::min(size_t(aMaxCount), kDeletedRecordsFirst));
  bool more = false;
  const TnxIndexKeyIterator collect = [&](void*, TnxRefNr aRefNr, const uint8_t* aKey) {
    if (aCacheInfos.size() >= size_t(aMaxCount)) {
      more = true;
      return kirStop;
    }
    if (aCacheInfos.size() == aCacheInfos.capacity())
      aCacheInfos.reserve(std::min(aCacheInfos.capacity() * 2, size_t(aMaxCount)));
    aCacheInfos.push_back({aRefNr, platform::LoadLE<int64_t>(aKey)});
    return kirSkipKey;
  };
  stcGraveyardLSNIndexEngine->Iterate(ActiveTrans(), stcGraveyardLSNIndexPath.get(), nullptr, collect, nullptr,
                                      nullptr, start, TnxRangeInfo{}, nullptr, nullptr, false);
  aCacheInfos.shrink_to_fit();
  if (aCurrentLSN) *aCurrentLSN = more ? aCacheInfos.back().rciModifyLSN : stcGetCurrentLSN();
  return aCacheInfos.empty() && !more ? AtEnd() : 0;
}

uint32_t TnxServerTableCursor::ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) {
  return sbcOwnFrame([&]() -> uint32_t {
    if (aLSN == 0 && aRefNr == 0) return NoCurrent();
    if ((aLSN == 0 || !stcLSNIndexEngine) && (aRefNr == 0 || !stcRefNrIndexEngine)) return NoIndex();
    return stcContainsLSNRefNr(aLSN, aRefNr);
  });
}

uint32_t TnxServerTableCursor::stcContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) {
  TReadLock lock(*this);
  if (lock.Result() != 0) return lock.Result();
  TnxServerTransaction* trans = ActiveTrans();
  const auto deleted = [] { return EnxBaseException::nxSetMessage(nxeRecordDeleted, u"Record/Key deleted."); };
  if (aLSN != 0 && stcLSNIndexEngine) {
    // The index's key is built from a record holding the LSN.
    TnxFieldsDescriptor& fields = stcTable->TableDescriptor()->FieldsDescriptor();
    int32_t field = -1;
    if (!fields.HasModifyLSNField(field)) return NoIndex();
    std::vector<uint8_t> record(size_t(fields.RecordLength()));
    fields.InitRecord(record.data());
    fields.SetRecordField(field, record.data(), &aLSN);
    const TnxBaseKeyEngine& keys = stcLSNIndexEngine->KeyEngine();
    std::vector<uint8_t> key(size_t(keys.KeyLength()));
    if (keys.BuildKey(record.data(), key.data(), 0, true) != 0) return NotFound();
    TnxBaseIndexPath& path = *stcLSNIndexPath;
    stcLSNIndexEngine->FindKey(trans, key.data(), 0, 0, 0, path, skaAnyEqual, nullptr);
    if (!path.IsOnKey()) return NotFound();
    const TnxRefNr refNr = IsCache() ? path.CacheRefNr : path.RefNr;
    if (aRefNr == 0) {
      aRefNr = refNr;
      return 0;
    }
    return refNr == aRefNr ? 0 : deleted();
  }
  uint8_t key[sizeof(TnxRefNr)];
  platform::StoreLE<int64_t>(key, aRefNr);
  TnxBaseIndexPath& path = *stcRefNrIndexPath;
  stcRefNrIndexEngine->FindKey(trans, key, 0, 0, 0, path, skaAnyEqual, nullptr);
  if (!path.IsOnKey()) return NotFound();
  if (!sbcRecordBuffer2) sbcRecordBuffer2 = static_cast<PnxRecordBuffer>(TnxMemoryPool::Alloc(stcTable->RecordAllocator()));
  stcTable->RecordEngine()->ReadRecord(trans, path.RefNr, sbcRecordBuffer2);
  TnxRecordCacheInfo info;
  ExtractCacheInfo(sbcRecordBuffer2, info);
  if (info.rciModifyLSN == 0) return 0;
  if (aLSN == 0) {
    aLSN = info.rciModifyLSN;
    return 0;
  }
  return info.rciModifyLSN == aLSN ? 0 : deleted();
}

}  // namespace revurov
