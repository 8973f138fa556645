#include "server/server_tasks.h"

#include <algorithm>
#include <utility>

#include "dictionary/filter_engines.h"
#include "engine/abstract_session.h"
#include "engine/session_lock.h"
#include "index/bulk_build.h"
#include "index/index_engines.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "server/server_database.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "storage/deadline.h"
#include "storage/server_exceptions.h"

namespace revurov {

namespace {

constexpr uint32_t kRebuildReportEvery = 10;

TnxServerTableCursor& TableCursorOf(TnxServerBaseCursor* aCursor) {
  auto* cursor = dynamic_cast<TnxServerTableCursor*>(aCursor);
  if (!cursor) throw EnxServerException(nxeInvalidParameter, u"A task needs a table cursor", {});
  return *cursor;
}

uint32_t RecordCountOf(TnxServerTableCursor* aCursor) {
  if (!aCursor || !aCursor->Table()) throw EnxServerException(nxeInvalidParameter, u"A task needs a table cursor", {});
  uint32_t count = 0;
  aCursor->Table()->RecordEngine()->GetRecordCount(nullptr, count);
  return count;
}

}  // namespace

// ---- rebuilding an index ----

TnxBaseServerRebuildIndexTaskInfo::TnxBaseServerRebuildIndexTaskInfo(TnxServerTableCursor* aCursor,
                                                                     int32_t aIndexID)
    : TnxServerTaskInfo(static_cast<TnxAbstractSession*>(aCursor ? aCursor->Session() : nullptr),
                        RecordCountOf(aCursor), platform::TThreadPriority::tpNormal),
      riiDatabase(dynamic_cast<TnxServerDatabase*>(aCursor->Database())),
      riiCursor(aCursor),
      riiIndexID(aIndexID) {
  TnxBaseIndicesEngine* indices = aCursor->Table()->IndicesEngine();
  if (!indices || aIndexID < 0 || aIndexID >= indices->IndexCount())
    throw EnxServerException(nxeIndexDoesNotExist, u"Index does not exist.", {});
}

uint32_t TnxBaseServerRebuildIndexTaskInfo::Rebuild() {
  TnxServerTransContext& context = *riiCursor->TransContext();
  // Fail-safe: the old index and the new one each stand whole on the disk,
  // also when the process or the machine stops during the commit.
  uint32_t result = context.stcTransactionStart(true, false, false, false, false,
                                                riiCursor->IsResultSet || riiCursor->IsUnnamed);
  riiTransactionStarted = result == 0;
  if (result != 0) return result;
  // Inside the transaction the lock is a link that lasts to its end; the
  // end only balances the begin.
  result = riiCursor->sbcBeginContentLock(true, false, false);
  if (result != 0) return result;
  riiCursor->sbcEndContentLock();

  TnxServerTransaction& trans = *context.stcTransaction();
  riiIndexEngine = &riiCursor->Table()->IndicesEngine()->Indices(riiIndexID);
  riiIndexEngine->DeleteAllKeys(trans);
  if ((result = riiCursor->sbcSwitchToIndex(u"", -1, porFalse)) != 0) return result;
  riiCursor->sbcSetToBegin();

  riiBulkBuilder = riiIndexEngine->CreateBulkBuilder(trans);
  struct FreeBuilder {
    std::unique_ptr<TnxBaseBulkBuilder>& Builder;
    ~FreeBuilder() { Builder.reset(); }
  } freeBuilder{riiBulkBuilder};

  uint32_t error = 0;
  const TnxStorageRecordIterator insert = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
    ++riiRecordsRead;
    if (error == 0) error = riiBulkBuilder->InsertKey(aRefNr, aRecord, trans);
    if (error == 0 && riiRecordsRead % kRebuildReportEvery == 0 &&
        MakeSnapshot(riiRecordsRead, riiRecordsWritten, 0))
      error = nxeUpdateAborted;
    return error != 0 ? rirStop : rirContinue;
  };
  riiBuffer = nullptr;
  try {
    // Every record, whatever filters the cursor has: a record left out
    // would be missing from the index.
    riiCursor->stcIterate(&riiBuffer, {}, insert, false, nullptr, false, nullptr, nullptr);
  } catch (const EnxBaseException& e) {
    if (e.ErrorCode() != nxeAtEndOfTable) throw;
  }
  riiBuffer = nullptr;
  if (error != 0) return error;

  try {
    result = riiBulkBuilder->Finalize(trans);
  } catch (const std::exception& e) {
    result = riiDatabase ? riiDatabase->asoConvertException(e) : asoConvertException(e);
  }
  if (result != 0) return result;
  riiTransactionStarted = false;
  result = context.stcTransactionCommit();
  if (result == 0) riiRecordsWritten = riiRecordsRead;
  return result;
}

void TnxBaseServerRebuildIndexTaskInfo::Execute() {
  BeginRun();
  riiError = 0;
  riiRecordsRead = 0;
  riiRecordsWritten = 0;
  riiIndexEngine = nullptr;
  riiTransactionStarted = false;
  try {
    riiError = Rebuild();
  } catch (const std::exception& e) {
    riiError = asoConvertException(e);
  } catch (...) {
    riiError = asoConvertCurrentException();
  }
  if (riiTransactionStarted && riiError != 0) {
    try {
      riiCursor->TransContext()->stcTransactionRollback();
    } catch (...) {
      // The level's rollback gives back what it held also when it reports.
    }
  }
  riiTransactionStarted = false;
  if (MakeSnapshot(riiRecordsRead, riiRecordsWritten, 0)) riiError = nxeUpdateAborted;
  ReleaseOwned();
  MakeSnapshot(riiRecordsRead, riiRecordsWritten, riiError);
  EndRun();
}

TnxServerRebuildIndexTaskInfo::TnxServerRebuildIndexTaskInfo(TnxServerObjectPtr<TnxServerTableCursor> aCursor,
                                                             TnxServerObjectPtr<TnxServerDatabase> aDatabase,
                                                             int32_t aIndexID)
    : TnxBaseServerRebuildIndexTaskInfo(aCursor.get(), aIndexID),
      riOwnedCursor(std::move(aCursor)),
      riOwnedDatabase(std::move(aDatabase)) {}

TnxServerRebuildIndexTaskInfo::~TnxServerRebuildIndexTaskInfo() {
  StopThread();
  ReleaseOwned();
}

void TnxServerRebuildIndexTaskInfo::ReleaseOwned() noexcept {
  riOwnedCursor.reset();
  riOwnedDatabase.reset();
  riiCursor = nullptr;
  riiDatabase = nullptr;
}

// ---- counting records ----

TnxServerGetRecCountTaskInfo::TnxServerGetRecCountTaskInfo(TnxRecordCountOption aOption, uint32_t aRecordCount,
                                                           TnxServerBaseCursor* aCursor)
    : TnxServerTaskInfo(static_cast<TnxAbstractSession*>(TableCursorOf(aCursor).Session()), aRecordCount,
                        platform::TThreadPriority::tpNormal),
      rciDatabase(dynamic_cast<TnxServerDatabase*>(aCursor->Database())),
      rciOption(aOption),
      rciLock(aCursor->SessionLock()) {
  TnxServerTableCursor& cursor = TableCursorOf(aCursor);
  // The earlier count stays its client's, but no longer reaches the cursor.
  if (TnxAbstractTaskInfo* earlier = cursor.sbcTaskInfo.release()) {
    if (auto* count = dynamic_cast<TnxServerGetRecCountTaskInfo*>(earlier)) count->DetachCursor();
    earlier->Cancel();
  }
  cursor.sbcTaskInfo.reset(this);
  rciCursor.store(aCursor, std::memory_order_release);
}

void TnxServerGetRecCountTaskInfo::DetachCursor() noexcept { rciCursor.store(nullptr, std::memory_order_release); }

TnxServerGetRecCountTaskInfo::~TnxServerGetRecCountTaskInfo() {
  StopThread();
  // The base has waited for the count; the cursor forgets this task unless
  // it is freeing it itself (its pointer is cleared first then).
  if (auto* cursor = dynamic_cast<TnxServerTableCursor*>(rciCursor.exchange(nullptr)))
    if (cursor->sbcTaskInfo.get() == this) (void)cursor->sbcTaskInfo.release();
}

uint32_t TnxServerGetRecCountTaskInfo::Count(TnxServerTableCursor& aCursor, uint32_t& aCount) {
  aCount = 0;
  const uint32_t step = std::max<uint32_t>(1, TotalRecords() / 100);
  // The filter time limit stays: a time-out does not end the walk.
  TnxServerTableCursor::TCountScope scope(aCursor, rciOption <= rcoRangedKeyCount, false);
  aCursor.stcIndexPath->SetToBof();
  uint32_t result = 0;
  for (;;) {
    result = aCursor.sbcRecordGetNext(nxltNoLock, nullptr);
    if (result != 0 && result != nxeFilterTimeout) break;
    if (result == 0) ++aCount;
    // A read that timed out in the filter reports too, so the client sees
    // the count go on.
    if (aCount % step == 0 && MakeSnapshot(aCount, aCount, 0)) {
      result = nxeUpdateAborted;
      break;
    }
  }
  return result == nxeAtEndOfTable ? 0 : result;
}

void TnxServerGetRecCountTaskInfo::Execute() {
  MarkExecuting();
  // A local reference: the lock must outlive a session that a clean-up
  // run by the unlock below may free.
  platform::TInterfacePtr<InxSimpleLock> lock = rciLock;
  uint32_t result = 0;
  uint32_t count = 0;
  bool locked = false;
  try {
    lock->Lock();
    locked = true;
  } catch (...) {
    result = asoConvertCurrentException();
  }
  SignalStart();
  nxSetTimeout(0, false);
  if (locked) {
    try {
      TnxServerBaseCursor* cursor = rciCursor.load(std::memory_order_acquire);
      result = cursor ? Count(TableCursorOf(cursor), count) : nxeUpdateAborted;
    } catch (...) {
      result = asoConvertCurrentException();
    }
  }
  MakeSnapshot(count, count, result);
  if (locked) {
    uint32_t unlockResult = result;
    lock->Unlock(unlockResult);
    // The last unlock of a failed session runs its clean-up here, which
    // may have freed this task info.
    if (!AliveOnTaskThread(this)) return;
  }
  EndRun();
}

}  // namespace revurov
