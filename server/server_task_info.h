// Server tasks: the task info through which a client follows a long table
// operation (its status under a padlock, progress as a percentage, the
// cancel flag), the thread that runs one task, a task that is finished from
// the start, and the check of a table's file checksums.
//
// Contract:
// - A task info owns its thread. Freeing the task info cancels the task and
//   waits for its thread to end before anything the task uses goes; the
//   cursor a task borrows therefore outlives the task's work. A task info
//   freed on its own task thread (a session clean-up run by the task)
//   leaves the thread to end by itself; it is joined by the next task start
//   or by nxReapServerTaskThreads.
// - Cancel answers 0 and is final: the status reads 13062 at once, later
//   progress reports record nothing and tell the task to stop. The task
//   counts as finished only once its work has ended (a task never started
//   at once).
// - The percentage: R read of T total is min(100, R * 100 / T) in unsigned
//   32-bit arithmetic, both shifted right by 7 first from R = 2^24 on; a
//   divisor of 0 gives 0.
// - GetStatus of a task whose code is not 0 leaves that code and message
//   as the calling thread's last converted error.
// - The checksum task walks every file of the table that keeps a checksum
//   and is not yet verified (or every one with aForceRecheck), adding each
//   used block but block 0; a file whose sum differs ends the task with
//   8961. A file whose sum matched stays verified while it is open.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/abstract_task_info.h"
#include "engine/server_object.h"
#include "lowlevel/sync/events.h"
#include "lowlevel/sync/padlock.h"
#include "lowlevel/sync/thread.h"
#include "platform/rtl_thread.h"

namespace revurov {

class TnxAbstractSession;
class TnxBaseFile;
class TnxServerRootTable;
class TnxServerTableCursor;
class TnxServerTaskThread;

class TnxServerTaskInfo : public TnxSqlAbstractTaskInfo {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerTaskInfo, TnxSqlAbstractTaskInfo)
  uint32_t GetStatus(bool& aCompleted, TnxTaskStatus& aStatus) override;
  uint32_t Cancel() override;
  // Runs on the task thread before Execute.
  virtual void Init() {}

  // A progress report; true when the task was cancelled and must stop.
  bool MakeSnapshot(uint32_t aRecordsRead, uint32_t aRecordsWritten, uint32_t aErrorCode);
  void MarkFinished();
  bool Cancelled() const noexcept { return stiCancelled.load(std::memory_order_acquire); }
  bool Executing() const noexcept { return stiExecuting.load(std::memory_order_acquire); }
  platform::TThreadPriority ThreadPriority() const noexcept { return stiThreadPriority; }
  uint32_t TotalRecords();

  // Starts the task thread and waits up to 2000 ms for the work to begin
  // (a time-out is no error). Raises when no thread can be made; a task
  // cancelled before is finished already and never runs.
  void StartThread();

  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;

  // The percentage of aRead done of aTotal (see the contract).
  static uint8_t PercentDone(uint32_t aRead, uint32_t aTotal) noexcept;

protected:
  TnxServerTaskInfo(TnxAbstractSession* aSession, uint32_t aTotalRecords, platform::TThreadPriority aThreadPriority);
  ~TnxServerTaskInfo() override;
  // Cancels the task and waits for its thread.
  void PrepareDestroy() override;

  // The running pattern: the work begins, and (on every path) it ends.
  void BeginRun() noexcept;
  void EndRun() noexcept;
  // BeginRun in two steps, for a task that takes a lock in between.
  void MarkExecuting() noexcept { stiExecuting.store(true, std::memory_order_release); }
  void SignalStart() noexcept { stiStartEvt.SignalEvent(); }
  // False once this task info was freed on its own thread (by a call the
  // task made): the task must then touch nothing of it.
  // Static: the object may be gone, so it is not called through.
  static bool AliveOnTaskThread(const TnxServerTaskInfo* aTask) noexcept;
  // Cancels and waits for the thread; classes whose members the task uses
  // call it first in their destructors too.
  void StopThread() noexcept;

private:
  friend class TnxServerTaskThread;

  platform::TThreadPriority stiThreadPriority = platform::TThreadPriority::tpNormal;
  TnxPadlock stiPadlock{true};
  TnxTaskStatus stiStatus;
  std::atomic<bool> stiCancelled{false};
  std::atomic<bool> stiExecuting{false};
  bool stiThreadStarted = false;  // under stiPadlock
  TnxEvent stiStartEvt;
  platform::TThreadPtr<TnxServerTaskThread> stiThread;  // under stiPadlock
};

class TnxServerTaskThread : public TnxInitThread {
public:
  explicit TnxServerTaskThread(TnxServerTaskInfo* aTaskInfo);
  std::u16string_view ClassName() const noexcept override { return u"TnxServerTaskThread"; }

protected:
  void DoBeforeExecute() override;
  void InnerExecute() override;

private:
  TnxServerTaskInfo* sttTaskInfo = nullptr;  // not owned: it owns the thread
};

// Joins the threads whose task infos were freed on their own threads;
// with aWait also those still running. How many it joined.
size_t nxReapServerTaskThreads(bool aWait);

class TnxServerDoNothingTaskInfo : public TnxServerTaskInfo {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerDoNothingTaskInfo, TnxServerTaskInfo)
  TnxServerDoNothingTaskInfo(TnxAbstractSession* aSession, uint32_t aTotalRecords,
                             platform::TThreadPriority aThreadPriority)
      : TnxServerTaskInfo(aSession, aTotalRecords, aThreadPriority) {}
  void Execute() override {}

protected:
  ~TnxServerDoNothingTaskInfo() override = default;
};

class TnxServerVerifyChecksumTaskInfo : public TnxServerTaskInfo {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerVerifyChecksumTaskInfo, TnxServerTaskInfo)
  // Takes the cursor over, and the database it was opened in when given
  // (freed after the cursor).
  TnxServerVerifyChecksumTaskInfo(TnxServerObjectPtr<TnxServerTableCursor> aCursor, bool aRaw, bool aForceRecheck,
                                  TnxServerObjectPtr<TnxAbstractServerObject> aDatabase = nullptr);
  void Execute() override;

protected:
  ~TnxServerVerifyChecksumTaskInfo() override;

private:
  void VerifyFile(TnxBaseFile& aFile);

  bool vctiRaw = false;
  bool vctiForceRecheck = false;
  TnxServerObjectPtr<TnxAbstractServerObject> vctiDatabase;
  TnxServerObjectPtr<TnxServerTableCursor> vctiCursor;
  TnxServerRootTable* vctiTable = nullptr;
  std::vector<TnxBaseFile*> vctiFiles;
  TnxBaseFile* vctiFile = nullptr;
  uint32_t vctiError = 0;
  uint32_t vctiCount = 0;
  std::vector<uint8_t> vctiChecksum;
};

}  // namespace revurov
