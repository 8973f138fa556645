#include "server/server_transaction.h"

#include <algorithm>
#include <cassert>
#include <functional>
#include <exception>
#include <vector>

#include "engine/abstract_session.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/sync/events.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/date_time.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "server/server_transaction_mgr.h"
#include "storage/buffer_manager.h"
#include "storage/deadline.h"
#include "storage/journal_engine.h"
#include "storage/server_exceptions.h"

namespace revurov {

namespace {

std::unique_ptr<TnxBaseTransactionLevel> NewServerLevel(TnxBaseTransaction& aTrans) {
  auto& trans = static_cast<TnxServerTransaction&>(aTrans);
  if (aTrans.TransLevel() || (aTrans.State() & nxStateBit(tsSnapshot)))
    return std::make_unique<TnxServerTransactionLevel>(trans);
  // Registered before the level takes its first LSN, so that a change report
  // made meanwhile waits for what this transaction commits.
  TnxBufferManager& bm = aTrans.TransBufferManager();
  const TnxLSN key = bm.RegisterWriter();
  try {
    return std::make_unique<TnxServerTransactionLevel>(trans, key);
  } catch (...) {
    bm.UnregisterWriter(key);
    throw;
  }
}

std::atomic<TnxServerTransactionLevelTableLink::TnxWaitHook*> gWaitHook{nullptr};

// An unnamed temporary table lives as long as it has cursors or links; the
// last of them to leave frees it.
void FreeIfUnused(const std::vector<TnxServerRootTable*>& aTables) noexcept {
  for (size_t i = 0; i < aTables.size(); ++i) {
    TnxServerRootTable* table = aTables[i];
    bool seen = false;
    for (size_t j = 0; j < i; ++j) seen = seen || aTables[j] == table;
    if (seen || table->TableScope() != tsTempUnnamed || table->CursorCount() != 0) continue;
    {
      TnxPadlockGuard guard(table->TransLinksPadlock());
      if (table->srtHasTransLinks()) continue;
    }
    table->Folder().sfCloseIfClosable(table, true, false, 1);
  }
}

}  // namespace

// ---- the cursor list of a link ----

void TnxServerTransLinkCursor::stcAddToTransLink(TnxServerTransactionLevelTableLink& aLink) noexcept {
  stcRemoveFromTransLink();
  stcTransLink = &aLink;
  stcTransLinkPrev = aLink.ttlCursorsTail;
  stcTransLinkNext = nullptr;
  if (aLink.ttlCursorsTail)
    aLink.ttlCursorsTail->stcTransLinkNext = this;
  else
    aLink.ttlCursorsHead = this;
  aLink.ttlCursorsTail = this;
}

void TnxServerTransLinkCursor::stcRemoveFromTransLink() noexcept {
  if (!stcTransLink) return;
  if (stcTransLinkPrev)
    stcTransLinkPrev->stcTransLinkNext = stcTransLinkNext;
  else
    stcTransLink->ttlCursorsHead = stcTransLinkNext;
  if (stcTransLinkNext)
    stcTransLinkNext->stcTransLinkPrev = stcTransLinkPrev;
  else
    stcTransLink->ttlCursorsTail = stcTransLinkPrev;
  stcTransLink = nullptr;
  stcTransLinkPrev = stcTransLinkNext = nullptr;
}

// ---- links ----

TnxServerTransactionLevelTableLink::TnxServerTransactionLevelTableLink(
    TnxServerTransactionLevel& aTransactionLevel, TnxServerRootTable& aTable, bool aExclusive,
    TnxServerTransactionLevelTableLink* aConvertFrom, TnxLockFailureReason* aReason)
    : ttlReason(aReason), ttlTransactionLevel(&aTransactionLevel), ttlTable(&aTable), ttlExclusive(aExclusive) {
  TnxServerTransaction& trans = Transaction();
  if ((trans.State() & nxStateBit(tsSnapshot)) && aTable.TableScope() != tsTempUnnamed) {
    ttlState = ttlsGranted;
    ttlSnapshot = true;
    ttlReason = nullptr;
    ttlAddToTransaction();
    ttlAddToTransactionLevel();
    ttlAddToTable();
    return;
  }
  if (aConvertFrom) {
    ttlConvertFrom = aConvertFrom;
    aConvertFrom->ttlConvertTo = this;
    ttlState = ttlsPendingUpgrade;
    switch (aTable.srtCheckTransLink(*this)) {
      case 0:
        ttlState = ttlsGranted;
        ttlReason = nullptr;
        ttlCompleteUpgrade();
        break;
      case 1:
        ttlAddToTable();
        break;
      default:
        ttlState = ttlsFailed;
        break;
    }
    return;
  }
  switch (aTable.srtCheckTransLink(*this)) {
    case 0:
      ttlState = ttlsGranted;
      ttlReason = nullptr;
      break;
    case 1:
      ttlState = ttlsPending;
      break;
    default:
      ttlState = ttlsFailed;
      return;
  }
  ttlAddToTransaction();
  ttlAddToTransactionLevel();
  ttlAddToTable();
}

TnxServerTransactionLevelTableLink::~TnxServerTransactionLevelTableLink() {
  TnxPadlockGuard guard(ttlTable->TransLinksPadlock());
  ttlDetachCursors();
  if (ttlConvertTo) {
    ttlConvertTo->ttlConvertFrom = nullptr;
    ttlConvertTo = nullptr;
  }
  if (ttlConvertFrom) {
    ttlConvertFrom->ttlConvertTo = nullptr;
    ttlConvertFrom = nullptr;
  }
  ttlRemoveFromTransaction();
  ttlRemoveFromTransactionLevel();
  if (ttlTableAdded) {
    ttlRemoveFromTable();
    // A waiting request that leaves may let those behind it through.
    ttlTable->srtProcessPendingTransLinks();
  }
  ttlEvent.reset();
}

TnxServerTransaction& TnxServerTransactionLevelTableLink::Transaction() const noexcept {
  return ttlTransactionLevel->ServerTransaction();
}

std::u16string TnxServerTransactionLevelTableLink::ttlKey() const {
  return ttlTable->Folder().Path() + u"\\" + ttlTable->TableName();
}

void TnxServerTransactionLevelTableLink::ttlAddToTransaction() {
  if (ttlTransactionAdded) return;
  auto [it, added] = Transaction().stTableLinks.try_emplace(ttlKey(), this);
  if (!added) throw EnxServerException(nxeInvalidParameter, u"The table is linked to the transaction already");
  ttlTransactionAdded = true;
}

void TnxServerTransactionLevelTableLink::ttlRemoveFromTransaction() noexcept {
  if (!ttlTransactionAdded) return;
  ttlTransactionAdded = false;
  auto& links = Transaction().stTableLinks;
  try {
    const auto it = links.find(ttlKey());
    if (it != links.end() && it->second == this) links.erase(it);
  } catch (...) {
    for (auto it = links.begin(); it != links.end(); ++it)
      if (it->second == this) {
        links.erase(it);
        break;
      }
  }
}

void TnxServerTransactionLevelTableLink::ttlAddToTransactionLevel() noexcept {
  if (ttlTransactionLevelAdded) return;
  TnxServerTransactionLevel& level = *ttlTransactionLevel;
  ttlTransactionLevelPrev = level.stlTableLinksTail;
  ttlTransactionLevelNext = nullptr;
  if (level.stlTableLinksTail)
    level.stlTableLinksTail->ttlTransactionLevelNext = this;
  else
    level.stlTableLinksHead = this;
  level.stlTableLinksTail = this;
  ttlTransactionLevelAdded = true;
}

void TnxServerTransactionLevelTableLink::ttlRemoveFromTransactionLevel() noexcept {
  if (!ttlTransactionLevelAdded) return;
  TnxServerTransactionLevel& level = *ttlTransactionLevel;
  if (ttlTransactionLevelPrev)
    ttlTransactionLevelPrev->ttlTransactionLevelNext = ttlTransactionLevelNext;
  else
    level.stlTableLinksHead = ttlTransactionLevelNext;
  if (ttlTransactionLevelNext)
    ttlTransactionLevelNext->ttlTransactionLevelPrev = ttlTransactionLevelPrev;
  else
    level.stlTableLinksTail = ttlTransactionLevelPrev;
  ttlTransactionLevelPrev = ttlTransactionLevelNext = nullptr;
  ttlTransactionLevelAdded = false;
}

namespace {

void ListAppend(TnxServerTransactionLevelTableLink*& aHead, TnxServerTransactionLevelTableLink*& aTail,
                TnxServerTransactionLevelTableLink* aLink, TnxServerTransactionLevelTableLink*& aPrev,
                TnxServerTransactionLevelTableLink*& aNext,
                TnxServerTransactionLevelTableLink* TnxServerTransactionLevelTableLink::*aNextField) noexcept {
  aPrev = aTail;
  aNext = nullptr;
  if (aTail)
    aTail->*aNextField = aLink;
  else
    aHead = aLink;
  aTail = aLink;
}

}  // namespace

void TnxServerTransactionLevelTableLink::ttlAddToTable() noexcept {
  if (ttlTableAdded) return;
  TnxServerRootTable& t = *ttlTable;
  switch (ttlState) {
    case ttlsPending:
      ListAppend(t.srtTransLinksPendingHead, t.srtTransLinksPendingTail, this, ttlTablePrev, ttlTableNext,
                 &TnxServerTransactionLevelTableLink::ttlTableNext);
      break;
    case ttlsPendingUpgrade:
      assert(!t.srtTransLinksPendingUpgrade && "a second upgrade waits");
      t.srtTransLinksPendingUpgrade = this;
      ttlTablePrev = ttlTableNext = nullptr;
      break;
    case ttlsGranted:
      if (ttlSnapshot)
        ListAppend(t.srtTransLinksSnapshotGrantedHead, t.srtTransLinksSnapshotGrantedTail, this, ttlTablePrev,
                   ttlTableNext, &TnxServerTransactionLevelTableLink::ttlTableNext);
      else
        ListAppend(t.srtTransLinksGrantedHead, t.srtTransLinksGrantedTail, this, ttlTablePrev, ttlTableNext,
                   &TnxServerTransactionLevelTableLink::ttlTableNext);
      break;
    case ttlsFailed:
      return;
  }
  ttlTableAdded = true;
}

void TnxServerTransactionLevelTableLink::ttlRemoveFromTable() noexcept {
  if (!ttlTableAdded) return;
  TnxServerRootTable& t = *ttlTable;
  TnxServerTransactionLevelTableLink** head = nullptr;
  TnxServerTransactionLevelTableLink** tail = nullptr;
  switch (ttlState) {
    case ttlsPending:
      head = &t.srtTransLinksPendingHead;
      tail = &t.srtTransLinksPendingTail;
      break;
    case ttlsPendingUpgrade:
      if (t.srtTransLinksPendingUpgrade == this) t.srtTransLinksPendingUpgrade = nullptr;
      ttlTableAdded = false;
      return;
    case ttlsGranted:
      head = ttlSnapshot ? &t.srtTransLinksSnapshotGrantedHead : &t.srtTransLinksGrantedHead;
      tail = ttlSnapshot ? &t.srtTransLinksSnapshotGrantedTail : &t.srtTransLinksGrantedTail;
      break;
    case ttlsFailed:
      ttlTableAdded = false;
      return;
  }
  if (ttlTablePrev)
    ttlTablePrev->ttlTableNext = ttlTableNext;
  else
    *head = ttlTableNext;
  if (ttlTableNext)
    ttlTableNext->ttlTablePrev = ttlTablePrev;
  else
    *tail = ttlTablePrev;
  ttlTablePrev = ttlTableNext = nullptr;
  ttlTableAdded = false;
}

void TnxServerTransactionLevelTableLink::ttlMoveCursorsTo(TnxServerTransactionLevelTableLink& aTo) noexcept {
  while (TnxServerTransLinkCursor* cursor = ttlCursorsHead) {
    cursor->stcRemoveFromTransLink();
    cursor->stcAddToTransLink(aTo);
  }
}

void TnxServerTransactionLevelTableLink::ttlDetachCursors() noexcept {
  while (TnxServerTransLinkCursor* cursor = ttlCursorsHead) cursor->stcRemoveFromTransLink();
}

void TnxServerTransactionLevelTableLink::ttlCompleteUpgrade() {
  TnxServerTransactionLevelTableLink* from = ttlConvertFrom;
  if (from) {
    from->ttlRemoveFromTransaction();
    from->ttlRemoveFromTable();
    if (from->ttlTransactionLevel == ttlTransactionLevel) {
      from->ttlRemoveFromTransactionLevel();
      from->ttlMoveCursorsTo(*this);
      from->ttlConvertTo = nullptr;
      ttlConvertFrom = nullptr;
      delete from;
    }
  }
  ttlAddToTransaction();
  ttlAddToTransactionLevel();
  ttlAddToTable();
}

void TnxServerTransactionLevelTableLink::ttlSignal() noexcept {
  if (ttlEvent) ttlEvent->SignalEvent();
}

bool TnxServerTransactionLevelTableLink::ttlPrepareWait() {
  TnxPadlockGuard guard(ttlTable->TransLinksPadlock());
  if (ttlState != ttlsPending && ttlState != ttlsPendingUpgrade) return false;
  if (!ttlEvent) ttlEvent = std::make_unique<TnxEvent>();
  return true;
}

void TnxServerTransactionLevelTableLink::SetWaitHook(TnxWaitHook* aHook) noexcept {
  gWaitHook.store(aHook, std::memory_order_release);
}

uint32_t TnxServerTransactionLevelTableLink::WaitFor() {
  TnxPadlock& padlock = ttlTable->TransLinksPadlock();
  TnxEvent* event = nullptr;
  {
    TnxPadlockGuard guard(padlock);
    if (ttlState == ttlsGranted) return 0;
    if (ttlState == ttlsFailed) return nxeLockTimeOut;
    event = ttlEvent.get();
  }
  if (event) {
    const int32_t remaining = nxRemainingTimeout();
    if (remaining > 5) {
      if (TnxWaitHook* hook = gWaitHook.load(std::memory_order_acquire))
        hook->Wait(*this, static_cast<uint32_t>(remaining));
      else
        event->WaitForQuietly(static_cast<uint32_t>(remaining));
    }
  }
  TnxPadlockGuard guard(padlock);
  // Freed here: whoever decides the link signals it under this padlock.
  ttlEvent.reset();
  return ttlState == ttlsGranted ? 0 : nxeLockTimeOut;
}

// ---- levels ----

TnxServerTransactionLevel::TnxServerTransactionLevel(TnxServerTransaction& aTrans, std::optional<TnxLSN> aWriterKey)
    : TnxBaseTransactionLevel(aTrans), stlStartTime(platform::Now()), stlWriterKey(aWriterKey) {}

TnxServerTransactionLevel::~TnxServerTransactionLevel() {
  while (TnxServerTransactionLevelTableLink* link = stlTableLinksHead) delete link;
  if (stlWriterKey) Transaction().TransBufferManager().UnregisterWriter(*stlWriterKey);
}

TnxServerTransaction& TnxServerTransactionLevel::ServerTransaction() const noexcept {
  return static_cast<TnxServerTransaction&>(Transaction());
}

TnxServerTransactionLevel* TnxServerTransactionLevel::ServerPrev() const noexcept {
  return static_cast<TnxServerTransactionLevel*>(Prev());
}

void TnxServerTransactionLevel::stlReleaseTableLinks() {
  std::vector<TnxServerRootTable*> left;
  while (TnxServerTransactionLevelTableLink* link = stlTableLinksHead) {
    TnxServerRootTable& table = link->Table();
    {
      TnxPadlockGuard guard(table.TransLinksPadlock());
      if (TnxServerTransactionLevelTableLink* from = link->ttlConvertFrom) {
        link->ttlRemoveFromTransaction();
        link->ttlRemoveFromTable();
        from->ttlConvertTo = nullptr;
        link->ttlConvertFrom = nullptr;
        from->ttlAddToTransaction();
        from->ttlAddToTable();
        link->ttlMoveCursorsTo(*from);
        table.srtProcessPendingTransLinks();
      } else {
        table.sbtRollbackEngines(ServerTransaction());
        table.sbtEndTransaction(&ServerTransaction());
        link->ttlRemoveFromTable();
        table.srtProcessPendingTransLinks();
        left.push_back(&table);
      }
      delete link;
    }
  }
  stlRollbackEngines();
  FreeIfUnused(left);
}

void TnxServerTransactionLevel::stlRollbackEngines() {
  for (TnxServerTransactionLevel* level = this; level; level = level->ServerPrev())
    for (TnxServerTransactionLevelTableLink* link = level->stlTableLinksHead; link;
         link = link->ttlTransactionLevelNext)
      link->Table().sbtRollbackEngines(ServerTransaction());
}

void TnxServerTransactionLevel::stlMarkDeadlock() {
  MarkDeadlock();
  TnxServerTransaction& trans = ServerTransaction();
  TnxBufferManager& bm = trans.TransBufferManager();
  for (TnxServerTransactionLevel* level = trans.ServerLevel(); level; level = level->ServerPrev()) {
    bm.RollbackTransactionLevel(*level);
    level->stlReleaseTableLinks();
    if (level == this) break;
  }
}

void TnxServerTransactionLevel::stlGetInfo(TnxTransactionLevelInfo& aInfo) const {
  aInfo.tliStartTime = stlStartTime;
  aInfo.tliStartLSN = StartLSN();
  aInfo.tliLSN = LSN();
  aInfo.tliLevel = LevelNumber();
  aInfo.tliBlockCount = BlockCount();
  aInfo.tliNestingCount = NestingCount();
  aInfo.tliState = State();
}

// ---- transactions ----

TnxServerTransaction::TnxServerTransaction(TnxBufferManager& aBufferManager, TnxAbstractSession* aOwningSession,
                                           bool aSnapshot, bool aFailSafe, bool /*aOverrideForceFailsafe*/)
    : TnxBaseTransaction(aBufferManager, aOwningSession, aSnapshot, aFailSafe, &NewServerLevel),
      stSession(aOwningSession),
      stStartTime(platform::Now()),
      stFailSafe(aFailSafe) {}

TnxServerTransaction::~TnxServerTransaction() {
  // The links go while the transaction is whole; the base then rolls back
  // whatever blocks are left.
  while (TnxServerTransactionLevel* level = ServerLevel()) {
    try {
      TransBufferManager().RollbackTransactionLevel(*level);
      level->stlReleaseTableLinks();
    } catch (...) {
      while (TnxServerTransactionLevelTableLink* link = level->stlTableLinksHead) delete link;
    }
    if (!level->Prev()) break;
    EndLevel();
  }
}

TnxServerTransactionLevel* TnxServerTransaction::ServerLevel() const noexcept {
  return static_cast<TnxServerTransactionLevel*>(TransLevel());
}

TnxServerTransactionLevelTableLink* TnxServerTransaction::stFindTableLink(TnxServerRootTable& aTable) const {
  const auto it = stTableLinks.find(aTable.Folder().Path() + u"\\" + aTable.TableName());
  return it == stTableLinks.end() ? nullptr : it->second;
}

void TnxServerTransaction::stEndLevel() {
  if (ServerLevel()->Prev()) {
    EndLevel();
    if (WriteThroughCommitWanted() && !Nested()) {
      ClearWriteThroughCommit();
      TransBufferManager().CommitTransaction(this, nullptr, true);
    }
    return;
  }
  delete this;
}

void TnxServerTransaction::Commit() {
  if (Nested()) {
    if (!StopNested()) return;
    stCommitNested();
  } else {
    stCommitOutermost();
  }
  stEndLevel();
}

void TnxServerTransaction::stCommitNested() {
  TnxServerTransactionLevel& level = *ServerLevel();
  TnxServerTransactionLevel& parent = *level.ServerPrev();
  TransBufferManager().CommitTransaction(this, nullptr, false);
  while (TnxServerTransactionLevelTableLink* link = level.stlTableLinksHead) {
    TnxPadlockGuard guard(link->Table().TransLinksPadlock());
    link->ttlRemoveFromTransactionLevel();
    link->ttlTransactionLevel = &parent;
    link->ttlAddToTransactionLevel();
    TnxServerTransactionLevelTableLink* from = link->ttlConvertFrom;
    if (from && from->ttlTransactionLevel == &parent) {
      from->ttlMoveCursorsTo(*link);
      from->ttlConvertTo = nullptr;
      link->ttlConvertFrom = nullptr;
      from->ttlRemoveFromTransactionLevel();
      delete from;
    }
  }
  parent.SetLSN(level.LSN());
}

void TnxServerTransaction::stCommitOutermost() {
  TnxServerTransactionLevel& level = *ServerLevel();
  TnxBufferManager& bm = TransBufferManager();
  std::vector<TnxServerRootTable*> left;
  // Shared and snapshot links end first; the exclusive ones start their
  // tables' commit.
  std::vector<TnxServerTransactionLevelTableLink*> exclusive;
  for (TnxServerTransactionLevelTableLink* link = level.stlTableLinksHead; link;) {
    TnxServerTransactionLevelTableLink* next = link->ttlTransactionLevelNext;
    if (link->ttlExclusive && link->ttlState == ttlsGranted && !link->ttlSnapshot) {
      exclusive.push_back(link);
    } else {
      TnxServerRootTable& table = link->Table();
      TnxPadlockGuard guard(table.TransLinksPadlock());
      link->ttlRemoveFromTable();
      table.srtProcessPendingTransLinks();
      left.push_back(&table);
      delete link;
    }
    link = next;
  }
  // Commit padlocks are taken in one order by every transaction.
  std::vector<TnxServerRootTable*> begun;
  for (TnxServerTransactionLevelTableLink* held : exclusive) begun.push_back(&held->Table());
  std::sort(begun.begin(), begun.end(), std::less<TnxServerRootTable*>());
  size_t started = 0;
  try {
    for (; started < begun.size(); ++started) begun[started]->srtCommitBegin();
  } catch (...) {
    // Nothing is committed yet; the tables begun are ended again.
    while (started > 0) {
      TnxServerRootTable& table = *begun[--started];
      table.ContentPortal().EndWrite();
      table.srtCommitUnlock();
    }
    throw;
  }

  std::exception_ptr failure;
  const std::vector<TnxBaseFile*> files = BoundFiles();
  std::unique_ptr<TnxFlushList> flushList = std::make_unique<TnxFlushList>();
  try {
    // A journal holds the files of one folder; tables of several folders
    // are still synced, without it.
    if (stFailSafe && !Journal() && !begun.empty() &&
        std::all_of(begun.begin(), begun.end(),
                    [&](TnxServerRootTable* aTable) { return &aTable->Folder() == &begun.front()->Folder(); }))
      SetJournal(begun.front()->Folder().TransManager().CreateJournal());
    bm.CommitTransaction(this, flushList.get(), false);
  } catch (...) {
    failure = std::current_exception();
    // Still holding every lock: nobody may read what goes back now.
    try {
      bm.RollbackTransactionLevel(level);
    } catch (...) {
    }
    for (TnxServerTransactionLevelTableLink* held : exclusive) {
      try {
        held->Table().sbtRollbackEngines(*this);
      } catch (...) {
      }
    }
  }
  if (!failure) {
    // The flush runs while readers are still shut out, so that a failed
    // write can be undone before anybody saw the new contents.
    try {
      flushList->Flush(stFailSafe);
    } catch (...) {
      failure = std::current_exception();
      try {
        for (TnxBaseFile* file : files) bm.RollbackUnwritten(*file);
        for (TnxServerTransactionLevelTableLink* held : exclusive) held->Table().sbtRollbackEngines(*this);
      } catch (...) {
      }
    }
  }
  for (TnxServerTransactionLevelTableLink* held : exclusive) {
    TnxServerRootTable& table = held->Table();
    table.srtCommitEnd(*this);
    TnxPadlockGuard guard(table.TransLinksPadlock());
    held->ttlRemoveFromTable();
    table.srtProcessPendingTransLinks();
  }
  for (TnxServerTransactionLevelTableLink* held : exclusive) {
    left.push_back(&held->Table());
    delete held;
  }
  for (TnxServerRootTable* table : begun) table->srtCommitUnlock();
  flushList.reset();
  FreeIfUnused(left);
  if (failure) {
    delete this;
    std::rethrow_exception(failure);
  }
}

void TnxServerTransaction::Rollback() {
  if (!StopNested()) {
    MarkCorrupted();
    return;
  }
  TnxServerTransactionLevel& level = *ServerLevel();
  TransBufferManager().RollbackTransaction(this);
  level.stlReleaseTableLinks();
  stEndLevel();
}

TnxTransactionInfo TnxServerTransaction::stGetInfo() const {
  TnxTransactionInfo info;
  if (TnxServerTransactionLevel* level = ServerLevel()) {
    info.tiLevel = level->LevelNumber() + level->NestingCount();
    info.tiLevels.resize(static_cast<size_t>(level->LevelNumber()) + 1);
    for (TnxServerTransactionLevel* l = level; l; l = l->ServerPrev())
      l->stlGetInfo(info.tiLevels[static_cast<size_t>(l->LevelNumber())]);
  }
  info.tiStartTime = stStartTime;
  info.tiStartLSN = StartLSN();
  info.tiLSN = LSN();
  info.tiBlockCount = static_cast<uint32_t>(BlockCount());
  info.tiState = State();
  // The base transaction does not record it; clients tell a fail-safe
  // transaction by it.
  if (stFailSafe) info.tiState |= nxStateBit(tsFailsafe);
  return info;
}

}  // namespace revurov
