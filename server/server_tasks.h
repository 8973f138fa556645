// The background tasks that walk the records of one table cursor:
// rebuilding one index from the records, and counting records where the
// count needs a walk (a range or filters in force).
//
// Contract:
// - A rebuild runs in one fail-safe transaction of the cursor's context
//   under the table's exclusive content lock: the index's keys are deleted,
//   then every record's key goes through the index's bulk builder, which
//   is finalised before the commit. After a failure, a cancel (seen every
//   10 records) or a crash the index holds its old keys or all new ones.
//   The rebuild touches no session lock: the cursor and its database are
//   its own.
// - TnxServerRebuildIndexTaskInfo owns its cursor and the private database
//   behind it and frees both once its work has ended (the table is then
//   closed again when the task reports finished).
// - The record count holds the session lock for its whole walk (other
//   framed calls of the session answer 8455 meanwhile) and reports every
//   max(1, total / 100) records. A read that times out in the filter does
//   not end it. It counts with the cursor's range; for the options up to
//   rcoRangedKeyCount without the filters. Filters, index path and filter
//   time limit are the cursor's again on every path, a cancel included; it
//   reports finished only once it released the session lock.
// - A count task is the cursor's registered task: the cursor frees it
//   first when it goes, which waits for the count to stop. A newer count
//   on the same cursor takes the registration over; the older task is
//   cancelled and no longer reaches the cursor.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/interface.h"
#include "server/server_task_info.h"

namespace revurov {

class InxSimpleLock;
class TnxBaseBulkBuilder;
class TnxBaseIndexEngine;
class TnxServerBaseCursor;
class TnxServerDatabase;

class TnxBaseServerRebuildIndexTaskInfo : public TnxServerTaskInfo {
  REVUROV_SERVER_OBJECT_CLASS(TnxBaseServerRebuildIndexTaskInfo, TnxServerTaskInfo)
  // The expected total is the record count outside any transaction.
  TnxBaseServerRebuildIndexTaskInfo(TnxServerTableCursor* aCursor, int32_t aIndexID);
  void Execute() override;

  uint32_t RecordsRead() const noexcept { return riiRecordsRead; }

protected:
  ~TnxBaseServerRebuildIndexTaskInfo() override = default;
  // Step after the walk: what the task owns goes.
  virtual void ReleaseOwned() noexcept {}

  TnxServerDatabase* riiDatabase = nullptr;
  TnxServerTableCursor* riiCursor = nullptr;

private:
  uint32_t Rebuild();

  int32_t riiIndexID = -1;
  uint32_t riiError = 0;
  uint8_t* riiBuffer = nullptr;
  std::unique_ptr<TnxBaseBulkBuilder> riiBulkBuilder;
  bool riiTransactionStarted = false;
  uint32_t riiRecordsRead = 0;
  uint32_t riiRecordsWritten = 0;
  TnxBaseIndexEngine* riiIndexEngine = nullptr;
};

class TnxServerRebuildIndexTaskInfo : public TnxBaseServerRebuildIndexTaskInfo {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerRebuildIndexTaskInfo, TnxBaseServerRebuildIndexTaskInfo)
  // Takes the cursor and its database over (the database may be nil when
  // the caller keeps it).
  TnxServerRebuildIndexTaskInfo(TnxServerObjectPtr<TnxServerTableCursor> aCursor,
                                TnxServerObjectPtr<TnxServerDatabase> aDatabase, int32_t aIndexID);

protected:
  ~TnxServerRebuildIndexTaskInfo() override;
  void ReleaseOwned() noexcept override;

private:
  TnxServerObjectPtr<TnxServerTableCursor> riOwnedCursor;
  TnxServerObjectPtr<TnxServerDatabase> riOwnedDatabase;
};

class TnxServerGetRecCountTaskInfo : public TnxServerTaskInfo {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerGetRecCountTaskInfo, TnxServerTaskInfo)
  // Registers itself as the cursor's task; the caller holds the session
  // lock.
  TnxServerGetRecCountTaskInfo(TnxRecordCountOption aOption, uint32_t aRecordCount, TnxServerBaseCursor* aCursor);
  void Execute() override;

  // The cursor no longer belongs to this task; the caller holds the
  // session lock.
  void DetachCursor() noexcept;

protected:
  ~TnxServerGetRecCountTaskInfo() override;

private:
  uint32_t Count(TnxServerTableCursor& aCursor, uint32_t& aCount);

  TnxServerDatabase* rciDatabase = nullptr;
  // Read by the task only under the session lock.
  std::atomic<TnxServerBaseCursor*> rciCursor{nullptr};
  TnxRecordCountOption rciOption = rcoTotalRecordCount;
  platform::TInterfacePtr<InxSimpleLock> rciLock;
};

}  // namespace revurov
