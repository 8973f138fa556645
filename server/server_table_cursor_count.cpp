// The table cursor's background record count.
#include <utility>

#include "dictionary/filter_engines.h"
#include "engine/abstract_session.h"
#include "engine/session_lock.h"
#include "index/index_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_tasks.h"
#include "storage/deadline.h"

namespace revurov {

namespace {

bool Active(const TnxBaseFilterEngine* aFilter) { return aFilter && aFilter->GetActive(); }

}  // namespace

uint32_t TnxServerTableCursor::stcAsyncCountPlan(TnxRecordCountOption aOption, uint32_t& aCount, bool& aNeedsTask) {
  aCount = 0;
  aNeedsTask = false;
  const uint32_t locked = sbcBeginContentLock(false, false, false);
  if (locked != 0) return locked;
  struct End {
    TnxServerTableCursor& Cursor;
    ~End() { Cursor.sbcEndContentLock(); }
  } end{*this};
  TnxServerTransaction* trans = ActiveTrans();
  const bool filtered = Active(sbcFilter.get()) || Active(sbcKeyFilter.get());
  if (aOption != rcoTotalRecordCount && stcIndexEngine) {
    stcIndexEngine->GetKeyCount(trans, aCount);
    aNeedsTask = aOption > rcoTotalKeyCount && (stcRangeStart.riValid || stcRangeEnd.riValid || filtered);
  } else {
    stcTable->RecordEngine()->GetRecordCount(trans, aCount);
    aNeedsTask = (aOption == rcoServerFilteredKeyCount || aOption == rcoClientFilteredKeyCount) && filtered;
  }
  return 0;
}

uint32_t TnxServerTableCursor::GetRecordCountExAsync(TnxRecordCountOption aOption, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  nxSetTimeout(Timeout(), false);
  InxSimpleLock* lock = SessionLock();
  try {
    lock->Lock();
  } catch (...) {
    return asoConvertCurrentException();
  }
  // The lock is given back exactly once: before the count task starts,
  // which takes it for its walk, or on the way out.
  bool locked = true;
  uint32_t result = 0;
  try {
    uint32_t count = 0;
    bool needsTask = false;
    result = stcAsyncCountPlan(aOption, count, needsTask);
    if (result == 0 && !needsTask) {
      auto done = nxCreateServerObject<TnxServerDoNothingTaskInfo>(static_cast<TnxAbstractSession*>(Session()), count,
                                                                   platform::TThreadPriority::tpNormal);
      done->MakeSnapshot(count, count, 0);
      done->MarkFinished();
      aTaskInfo = done.release();
    } else if (result == 0) {
      // Made under the lock: taking the cursor's registration over from an
      // earlier count is one step with that count's use of the cursor.
      auto task = nxCreateServerObject<TnxServerGetRecCountTaskInfo>(aOption, count, this);
      locked = false;
      uint32_t unlocked = 0;
      lock->Unlock(unlocked);
      if (unlocked != 0) return unlocked;  // the task goes with its pointer
      task->StartThread();
      aTaskInfo = task.release();
    }
  } catch (...) {
    result = asoConvertCurrentException();
  }
  if (locked) lock->Unlock(result);
  return result;
}

}  // namespace revurov
