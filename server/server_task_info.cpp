#include "server/server_task_info.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <utility>

#include "engine/abstract_session.h"
#include "engine/engine_clock.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/sync/lock_guard.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "storage/deadline.h"
#include "storage/encryption_engine.h"
#include "storage/files.h"

namespace revurov {

namespace {

constexpr uint32_t kStartWait = 2000;
constexpr uint32_t kChecksumDeadline = 86400000;

uint32_t Now() noexcept { return static_cast<uint32_t>(nxEngineTickCount()); }

// The task whose Execute runs on this thread; cleared when that task info
// is freed here, so the thread touches it no more.
thread_local TnxServerTaskInfo* tlsRunningTask = nullptr;
thread_local bool tlsOnTaskThread = false;

// Threads of task infos freed on their own thread: nobody else can join
// them at that moment.
std::mutex gOrphansLock;
std::vector<platform::TThreadPtr<TnxServerTaskThread>> gOrphans;

void Orphan(platform::TThreadPtr<TnxServerTaskThread> aThread) {
  std::lock_guard guard(gOrphansLock);
  gOrphans.push_back(std::move(aThread));
}

}  // namespace

size_t nxReapServerTaskThreads(bool aWait) {
  std::vector<platform::TThreadPtr<TnxServerTaskThread>> done;
  {
    std::lock_guard guard(gOrphansLock);
    auto keep = std::stable_partition(gOrphans.begin(), gOrphans.end(),
                                      [aWait](const auto& aThread) { return !aWait && !aThread->Finished(); });
    std::move(keep, gOrphans.end(), std::back_inserter(done));
    gOrphans.erase(keep, gOrphans.end());
  }
  // Joined outside the lock, as they go: a thread still ending may be on
  // its way out.
  return done.size();
}

// ---- task info ----

TnxServerTaskInfo::TnxServerTaskInfo(TnxAbstractSession* aSession, uint32_t aTotalRecords,
                                     platform::TThreadPriority aThreadPriority)
    : TnxSqlAbstractTaskInfo(aSession), stiThreadPriority(aThreadPriority) {
  stiStatus.tsTotalRecs = aTotalRecords;
  stiStatus.tsStartTime = Now();
}

TnxServerTaskInfo::~TnxServerTaskInfo() { StopThread(); }

void TnxServerTaskInfo::PrepareDestroy() {
  TnxSqlAbstractTaskInfo::PrepareDestroy();
  // What the task uses belongs to the derived classes, which free it only
  // after this: the thread must be gone first.
  StopThread();
}

void TnxServerTaskInfo::StopThread() noexcept {
  stiCancelled.store(true, std::memory_order_release);
  platform::TThreadPtr<TnxServerTaskThread> thread;
  {
    TnxPadlockGuard guard(stiPadlock);
    thread = std::move(stiThread);
  }
  if (!thread) return;
  if (tlsRunningTask == this) {
    tlsRunningTask = nullptr;
    Orphan(std::move(thread));
    return;
  }
  thread.reset();
}

uint32_t TnxServerTaskInfo::GetStatus(bool& aCompleted, TnxTaskStatus& aStatus) {
  try {
    {
      TnxPadlockGuard guard(stiPadlock);
      aCompleted = stiStatus.tsFinished;
      aStatus = stiStatus;
    }
    if (aStatus.tsErrorCode != 0) EnxBaseException::SetLastConvertedException(aStatus.tsErrorCode, aStatus.tsErrorMessage);
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerTaskInfo::Cancel() {
  try {
    TnxPadlockGuard guard(stiPadlock);
    if (stiCancelled.exchange(true, std::memory_order_acq_rel)) return 0;
    // A task that has ended keeps its result: its work is done or undone.
    if (stiStatus.tsFinished) return 0;
    stiStatus.tsErrorCode = nxeUpdateAborted;
    stiStatus.tsErrorMessage.clear();
    stiStatus.tsSnapshotTime = Now();
    // A running task still holds its tables: finished only once it ends.
    if (!stiThreadStarted) stiStatus.tsFinished = true;
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint8_t TnxServerTaskInfo::PercentDone(uint32_t aRead, uint32_t aTotal) noexcept {
  if (aRead >= 16777216u) {
    aRead >>= 7;
    aTotal >>= 7;
  }
  if (aTotal == 0) return 0;
  return static_cast<uint8_t>(std::min<uint32_t>(100, aRead * 100u / aTotal));
}

bool TnxServerTaskInfo::MakeSnapshot(uint32_t aRecordsRead, uint32_t aRecordsWritten, uint32_t aErrorCode) {
  TnxPadlockGuard guard(stiPadlock);
  if (stiCancelled.load(std::memory_order_acquire)) return true;
  stiStatus.tsRecsRead = aRecordsRead;
  stiStatus.tsRecsWritten = aRecordsWritten;
  stiStatus.tsErrorCode = aErrorCode;
  uint32_t code = 0;
  EnxBaseException::GetLastConvertedException(code, stiStatus.tsErrorMessage);
  if (code != aErrorCode) stiStatus.tsErrorMessage.clear();
  stiStatus.tsSnapshotTime = Now();
  stiStatus.tsPercentDone = PercentDone(aRecordsRead, stiStatus.tsTotalRecs);
  return false;
}

void TnxServerTaskInfo::MarkFinished() {
  TnxPadlockGuard guard(stiPadlock);
  stiStatus.tsFinished = true;
}

void TnxServerTaskInfo::BeginRun() noexcept {
  stiExecuting.store(true, std::memory_order_release);
  stiStartEvt.SignalEvent();
}

bool TnxServerTaskInfo::AliveOnTaskThread(const TnxServerTaskInfo* aTask) noexcept {
  return !tlsOnTaskThread || tlsRunningTask == aTask;
}

uint32_t TnxServerTaskInfo::TotalRecords() {
  TnxPadlockGuard guard(stiPadlock);
  return stiStatus.tsTotalRecs;
}

void TnxServerTaskInfo::EndRun() noexcept {
  MarkFinished();
  stiExecuting.store(false, std::memory_order_release);
}

void TnxServerTaskInfo::StartThread() {
  nxReapServerTaskThreads(false);
  {
    TnxPadlockGuard guard(stiPadlock);
    if (stiCancelled.load(std::memory_order_acquire)) return;
    stiThreadStarted = true;
  }
  platform::TThreadPtr<TnxServerTaskThread> thread;
  try {
    thread = platform::NewThread<TnxServerTaskThread>(this);
  } catch (...) {
    TnxPadlockGuard guard(stiPadlock);
    stiThreadStarted = false;
    throw;
  }
  {
    TnxPadlockGuard guard(stiPadlock);
    stiThread = std::move(thread);
  }
  stiStartEvt.WaitForQuietly(kStartWait);
}

void TnxServerTaskInfo::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxSqlAbstractTaskInfo::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddBoolean(u"Cancelled", Cancelled());
  aContainer.AddBoolean(u"Executing", Executing());
}

// ---- task thread ----

TnxServerTaskThread::TnxServerTaskThread(TnxServerTaskInfo* aTaskInfo)
    : TnxInitThread(aTaskInfo->ThreadPriority()), sttTaskInfo(aTaskInfo) {}

void TnxServerTaskThread::DoBeforeExecute() { sttTaskInfo->Init(); }

void TnxServerTaskThread::InnerExecute() {
  nxSetTimeout(0, false);
  nxEnterTimeoutNesting();
  tlsOnTaskThread = true;
  tlsRunningTask = sttTaskInfo;
  try {
    sttTaskInfo->Execute();
  } catch (...) {
    // The tasks turn their failures into their status; nothing is left
    // to tell here.
  }
  // Whatever the task did, it is finished now, unless it was freed here.
  if (TnxServerTaskInfo* task = std::exchange(tlsRunningTask, nullptr)) task->EndRun();
  nxLeaveTimeoutNesting();
}

// ---- checksum verification ----

namespace {

uint32_t UsedBlocksOf(const std::vector<TnxBaseFile*>& aFiles) {
  uint32_t total = 0;
  for (TnxBaseFile* file : aFiles)
    if (file) total += file->fiUsedBlocks;
  return total;
}

std::vector<TnxBaseFile*> FilesOf(TnxServerRootTable* aTable) {
  std::vector<TnxBaseFile*> files;
  if (aTable)
    for (int32_t i = 0; i < aTable->FileCount(); ++i) files.push_back(aTable->File(i));
  return files;
}

TnxServerRootTable* RootOf(TnxServerTableCursor* aCursor) {
  if (!aCursor) throw EnxBaseException(nxeInvalidParameter, u"No cursor for the checksum task");
  return aCursor->Table() ? aCursor->Table()->Root() : nullptr;
}

}  // namespace

TnxServerVerifyChecksumTaskInfo::TnxServerVerifyChecksumTaskInfo(TnxServerObjectPtr<TnxServerTableCursor> aCursor,
                                                                 bool aRaw, bool aForceRecheck,
                                                                 TnxServerObjectPtr<TnxAbstractServerObject> aDatabase)
    : TnxServerTaskInfo(static_cast<TnxAbstractSession*>(aCursor ? aCursor->Session() : nullptr),
                        UsedBlocksOf(FilesOf(RootOf(aCursor.get()))), platform::TThreadPriority::tpNormal),
      vctiRaw(aRaw),
      vctiForceRecheck(aForceRecheck),
      vctiDatabase(std::move(aDatabase)),
      vctiCursor(std::move(aCursor)) {
  vctiTable = RootOf(vctiCursor.get());
  vctiFiles = FilesOf(vctiTable);
}

TnxServerVerifyChecksumTaskInfo::~TnxServerVerifyChecksumTaskInfo() { StopThread(); }

void TnxServerVerifyChecksumTaskInfo::VerifyFile(TnxBaseFile& aFile) {
  vctiChecksum.assign(aFile.fiCheckSumSize, 0);
  if (aFile.fiCheckSumSize >= 1 && (!aFile.fiCheckSumVerified || vctiForceRecheck) && aFile.fiEncryptionEngine) {
    const TnxBaseEncryptionEngineClass& engine = aFile.fiEncryptionEngine->ClassType();
    const uint32_t used = aFile.fiUsedBlocks;
    const uint32_t bytes = aFile.BlockBytes();
    auto next = [used](TnxBlockNumber aBlock) { return aBlock + 1 >= used ? birStop : birContinue; };
    // A block that cannot be read whole was never written by a flush, so
    // it is in no sum either.
    if (vctiRaw) {
      aFile.IterateBlocksRaw(nullptr, [&](void*, TnxBlockNumber aBlock, PnxBlock aData) {
        try {
          if (aBlock != 0 && aData) engine.beeAddChecksumForBlock(aData, bytes, aBlock, vctiChecksum);
        } catch (const std::exception& e) {
          vctiError = asoConvertException(e);
          return birStop;
        }
        return next(aBlock);
      });
    } else {
      aFile.IterateBlockCookies(nullptr, [&](void*, TnxBlockNumber aBlock, PnxBlock aData,
                                             const std::vector<uint8_t>& aCookie) {
        try {
          if (aBlock != 0 && aData) engine.beeAddChecksumForCookie(aCookie, aBlock, vctiChecksum);
        } catch (const std::exception& e) {
          vctiError = asoConvertException(e);
          return birStop;
        }
        return next(aBlock);
      });
    }
    if (vctiError == 0) {
      if (vctiChecksum == aFile.fiChecksum)
        aFile.fiCheckSumVerified = true;
      else
        vctiError = EnxBaseException::nxSetMessage(nxeCorruptHeader, u"Corrupt table/index header.");
    }
  }
  vctiCount += aFile.fiUsedBlocks;
}

void TnxServerVerifyChecksumTaskInfo::Execute() {
  BeginRun();
  vctiCount = 0;
  vctiError = 0;
  nxSetTimeout(kChecksumDeadline, true);
  nxEnterTimeoutNesting();
  for (TnxBaseFile* file : vctiFiles) {
    if (!file) continue;
    vctiFile = file;
    try {
      VerifyFile(*file);
    } catch (const std::exception& e) {
      vctiError = asoConvertException(e);
      break;
    }
    if (Cancelled() || vctiError != 0) break;
    MakeSnapshot(vctiCount, vctiCount, vctiError);
  }
  vctiFile = nullptr;
  nxLeaveTimeoutNesting();
  MakeSnapshot(vctiCount, vctiCount, vctiError);
  EndRun();
}

}  // namespace revurov
