#include "storage/transactions.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <functional>

#include "engine/deadline_hooks.h"
#include "lowlevel/errors/error_codes.h"
#include "storage/buffer_manager.h"
#include "storage/encryption_engine.h"
#include "storage/files.h"
#include "storage/journal_engine.h"
#include "storage/replication_log.h"

namespace revurov {

namespace {

constexpr std::u16string_view kFatalText =
    u"A fatal error has occurred. Server operations are suspended until the server is restarted. Check exception "
    u"log at server for further information";

std::atomic<uint64_t> gCopyEpochs{0};

// The flush locks of a flush list's files, taken in address order so that
// two flushes sharing files cannot wait for each other.
class TFlushLocks {
public:
  explicit TFlushLocks(std::vector<TnxBaseFile*> aFiles) : flFiles(std::move(aFiles)) {
    std::sort(flFiles.begin(), flFiles.end());
    flFiles.erase(std::unique(flFiles.begin(), flFiles.end()), flFiles.end());
    for (; flTaken < flFiles.size(); ++flTaken) flFiles[flTaken]->FlushLock().Lock();
  }
  ~TFlushLocks() {
    while (flTaken > 0) flFiles[--flTaken]->FlushLock().Unlock();
  }
  TFlushLocks(const TFlushLocks&) = delete;
  TFlushLocks& operator=(const TFlushLocks&) = delete;

private:
  std::vector<TnxBaseFile*> flFiles;
  size_t flTaken = 0;
};

}  // namespace

// ---- levels ----

TnxBaseTransactionLevel::TnxBaseTransactionLevel(TnxBaseTransaction& aTrans)
    : tlPrev(aTrans.btTransLevelsTail), tlTransaction(aTrans) {
  tlLevel = tlPrev ? tlPrev->tlLevel + 1 : 0;
  tlStartLSN = tlLSN = aTrans.btBufferManager.NextLSN();
  aTrans.btTransLevelsTail = this;
  aTrans.CopiesChange();
}

TnxBaseTransactionLevel::~TnxBaseTransactionLevel() {
  assert(tlModifiedBlocks.empty() && "a level ends with copies left");
  tlTransaction.btTransLevelsTail = tlPrev;
  tlTransaction.CopiesChange();
}

void TnxBaseTransactionLevel::Mark(TnxTransactionLevelState aStateMember, int aCounter) {
  const uint8_t state = nxStateBit(aStateMember);
  for (TnxBaseTransactionLevel* level = tlTransaction.btTransLevelsTail; level && level != this; level = level->tlPrev)
    level->tlState |= state;
  if (aCounter >= 0 && (tlState & state) == 0)
    tlTransaction.btBufferManager.CountTrans(static_cast<TnxTransCounter>(aCounter));
  tlState |= state;
}

void TnxBaseTransactionLevel::MarkCorrupted() { Mark(tlsCorrupted, tcCorrupted); }
void TnxBaseTransactionLevel::MarkDeadlock() { Mark(tlsDeadlocked, tcDeadlock); }
void TnxBaseTransactionLevel::MarkNoMoreNested() { Mark(tlsNoMoreNested, -1); }

bool TnxBaseTransactionLevel::StopNested() {
  if (tlNestingCount > 0) {
    --tlNestingCount;
    return false;
  }
  return true;
}

// ---- transactions ----

TnxBaseTransaction::TnxBaseTransaction(TnxBufferManager& aBufferManager, void* aOwningSession, bool aIsSnapshot,
                                       bool /*aFailSafe*/, TnxLevelFactory aLevelFactory)
    : btBufferManager(aBufferManager), btLevelFactory(aLevelFactory), btOwningSession(aOwningSession) {
  CopiesChange();
  if (aIsSnapshot) {
    btSnapshotID = aBufferManager.RegisterSnapShot(*this);
    btState |= nxStateBit(tsSnapshot);
  }
  try {
    StartNested(false);
  } catch (...) {
    if (aIsSnapshot) aBufferManager.UnregisterSnapShot(btSnapshotID);
    throw;
  }
  btStartLSN = btLSN = btTransLevelsTail->tlStartLSN;
}

TnxBaseTransaction::~TnxBaseTransaction() {
  // Whatever the owner left open goes back, so that no copy outlives its
  // level.
  while (btTransLevelsTail) {
    btBufferManager.RollbackTransactionLevel(*btTransLevelsTail);
    btLevels.pop_back();
  }
  {
    TnxPadlockGuard guard(btBufferManager.bmPadlock);
    btBufferManager.FreeSnapShotLinks(*this);
  }
  if (btState & nxStateBit(tsSnapshot)) {
    try {
      btBufferManager.UnregisterSnapShot(btSnapshotID);
    } catch (...) {
    }
  }
}

void TnxBaseTransaction::StartNested(bool aForce) {
  if (!aForce && btTransLevelsTail && (btTransLevelsTail->tlState & nxStateBit(tlsNoMoreNested))) {
    ++btTransLevelsTail->tlNestingCount;
    return;
  }
  btLevels.reserve(btLevels.size() + 1);
  if (btLevelFactory)
    btLevels.push_back(btLevelFactory(*this));
  else
    btLevels.push_back(std::make_unique<TnxBaseTransactionLevel>(*this));
}

void TnxBaseTransaction::EndLevel() {
  if (btLevels.size() < 2) throw EnxServerException(nxeInvalidParameter, u"The outermost level ends with the transaction");
  if (btTransLevelsTail->BlockCount() != 0)
    throw EnxServerException(nxeInvalidParameter, u"The level still holds changes; commit or roll it back first");
  btLevels.pop_back();
}

bool TnxBaseTransaction::StopNested() { return btTransLevelsTail ? btTransLevelsTail->StopNested() : true; }

uint32_t TnxBaseTransaction::CheckState() const noexcept {
  if (btState & nxStateBit(tsFailed)) return nxeTransactionCorrupt;
  if (!btTransLevelsTail) return 0;
  if (btTransLevelsTail->tlState & nxStateBit(tlsDeadlocked)) return nxeDeadlock;
  if (btTransLevelsTail->tlState & nxStateBit(tlsCorrupted)) return nxeTransactionCorrupt;
  return 0;
}

void TnxBaseTransaction::RaiseLSN(TnxLSN aLSN) noexcept {
  if (aLSN > btLSN) btLSN = aLSN;
  if (btTransLevelsTail && aLSN > btTransLevelsTail->tlLSN) btTransLevelsTail->tlLSN = btLSN;
}

void TnxBaseTransaction::Lock() noexcept {
  if (btTransLevelsTail) ++btTransLevelsTail->tlLockCount;
}
void TnxBaseTransaction::Unlock() noexcept {
  if (btTransLevelsTail) --btTransLevelsTail->tlLockCount;
}
void TnxBaseTransaction::MarkCorrupted() {
  if (btTransLevelsTail) btTransLevelsTail->MarkCorrupted();
}
void TnxBaseTransaction::MarkDeadlock() {
  if (btTransLevelsTail) btTransLevelsTail->MarkDeadlock();
}
void TnxBaseTransaction::MarkNoMoreNested() {
  if (btTransLevelsTail) btTransLevelsTail->MarkNoMoreNested();
}
bool TnxBaseTransaction::Nested() const noexcept {
  return btTransLevelsTail && (btTransLevelsTail->tlLevel > 0 || btTransLevelsTail->tlNestingCount > 0);
}
bool TnxBaseTransaction::IsLocked() const noexcept {
  return btTransLevelsTail && btTransLevelsTail->tlLockCount != 0 && btTransLevelsTail->tlNestingCount == 0;
}

void TnxBaseTransaction::SetJournal(std::unique_ptr<TnxBaseJournalEngine> aJournal) noexcept {
  btJournal = std::move(aJournal);
}

std::vector<TnxBaseFile*> TnxBaseTransaction::BoundFiles() const {
  TnxPadlockGuard guard(btBufferManager.bmPadlock);
  std::vector<TnxBaseFile*> files;
  for (const TnxBoundFile& bound : btFiles) files.push_back(bound.bfFile);
  return files;
}

void TnxBaseTransaction::CopiesChange() noexcept {
  btCopies.store(gCopyEpochs.fetch_add(1, std::memory_order_relaxed) + 1, std::memory_order_release);
}

void TnxBaseTransaction::BindFile(TnxBaseFile& aFile) {
  for (const TnxBoundFile& bound : btFiles)
    if (bound.bfFile == &aFile) return;
  btFiles.push_back({&aFile, btTransLevelsTail});
  aFile.fiTransUsedBlocks = aFile.fiUsedBlocks;
}

void TnxBaseTransaction::UnbindFiles(TnxBaseTransactionLevel* aOnlyLevel) noexcept {
  std::erase_if(btFiles, [aOnlyLevel](const TnxBoundFile& aBound) { return !aOnlyLevel || aBound.bfLevel == aOnlyLevel; });
}

// ---- the flush list ----

void TnxFlushList::Prepare(TnxBaseTransaction& aTrans, bool aIsWTCommit) {
  TnxBufferManager& bm = aTrans.btBufferManager;
  flLSN = aTrans.btLSN;
  try {
    for (const auto& bound : aTrans.btFiles) {
      TnxBaseFile& file = *bound.bfFile;
      if (file.IsTemporary()) continue;
      // The header carries the LSN of the newest transaction in the file.
      TnxReadOnlyBlock* header = bm.FindOrCreate(file, 0, false);
      header->CacheBlockNeeded();
      if (header->robLastLSN < aTrans.btLSN) {
        header->MakeDirty(aTrans);
        header->Commit(false, false);
      }
      flList.push_back(&file);
    }
  } catch (...) {
    // No data was written: the journal must not outlive the failed commit.
    DropJournal(true);
    for (const auto& bound : aTrans.btFiles) bound.bfFile->RollbackUnwritten();
    flList.clear();
    throw;
  }
  if (!aIsWTCommit) aTrans.UnbindFiles(nullptr);
}

void TnxFlushList::Flush(bool aForceFailSafe) {
  flFlushTried = true;
  if (nxFatalErrorFlag.load(std::memory_order_acquire)) throw EnxServerException(nxeTransactionCorrupt, kFatalText);
  if (flReplicationLog) flReplicationLog->BeginTrans(flLSN);
  try {
    TFlushLocks locks(flList);
    for (TnxBaseFile* file : flList) file->PrepareFlushFile();
    for (TnxBaseFile* file : flList) file->FlushFile(aForceFailSafe || flJournal, flReplicationLog);
  } catch (...) {
    nxFatalErrorFlag.store(true, std::memory_order_release);
    if (flReplicationLog) flReplicationLog->EndTrans();
    throw;
  }
  if (flReplicationLog) flReplicationLog->EndTrans();
  if (flJournal) {
    try {
      flJournal->Invalidate();
    } catch (...) {
      // The journal may come back and undo this commit: nothing may be
      // reported or written any more.
      nxFatalErrorFlag.store(true, std::memory_order_release);
      throw;
    }
    DropJournal(false);
  }
}

// ---- the fail-safe journal ----

TnxFlushList::TnxFlushList() { flList.reserve(32); }

TnxFlushList::~TnxFlushList() { DropJournal(!flFlushTried); }

void TnxFlushList::TakeJournalTurn(TnxPadlock& aJournalLock) {
  if (!flJournalTurn) flJournalTurn.emplace(aJournalLock);
}

void TnxFlushList::DropJournal(bool aInvalidate) noexcept {
  if (flJournal && aInvalidate) {
    try {
      flJournal->Invalidate();
    } catch (...) {
      // A journal left behind would undo later commits at the next Check.
      nxFatalErrorFlag.store(true, std::memory_order_release);
    }
  }
  flJournal.reset();
  flJournalTurn.reset();
}

// Padlock held, before any block of aTrans is committed: the headers get
// the transaction's LSN first so that their writes are journalled too.
void TnxFlushList::WriteJournal(TnxBaseTransaction& aTrans) {
  TnxBufferManager& bm = aTrans.btBufferManager;
  flJournal = std::move(aTrans.btJournal);
  try {
    for (size_t i = 0; i < aTrans.btFiles.size(); ++i) {
      TnxBaseFile& file = *aTrans.btFiles[i].bfFile;
      if (file.IsTemporary()) continue;
      TnxReadOnlyBlock* header = bm.FindOrCreate(file, 0, false);
      header->CacheBlockNeeded();
      if (header->robLastLSN < aTrans.btLSN) header->MakeDirty(aTrans);
    }
    flJournal->PrepareJournal();
    std::vector<uint8_t> before, after, cookie, checksum;
    for (TnxReadOnlyBlock* block : aTrans.btBlocks) {
      TnxBaseFile& file = block->FileObject();
      if (file.IsTemporary()) continue;
      const uint32_t bytes = file.BlockBytes();
      // A block the transaction added has nothing to restore.
      const bool hasBefore = !block->New() && (file.fiUsedBlocks == 0 || block->BlockNumber() < file.fiUsedBlocks);
      auto image = [&](TnxBaseTransaction* aWhose, std::vector<uint8_t>& aOut) {
        TnxBlockGuard guard;
        guard.Hold(block->Block(aWhose, guard.ReleaseMethod()));
        aOut.resize(bytes);
        if (file.fiEncryptionEngine && block->BlockNumber() != 0) {
          // The journal holds what the file holds (block 0 stays in clear);
          // replays write it back as is.
          cookie = block->EncryptionCookie();
          checksum = file.fiChecksum;
          file.fiEncryptionEngine->CodeBlockEx(guard.Block(), aOut.data(), bytes, block->BlockNumber(), cookie,
                                               checksum);
        } else {
          std::memcpy(aOut.data(), guard.Block(), bytes);
        }
      };
      if (hasBefore) image(nullptr, before);
      image(&aTrans, after);
      flJournal->AddBlock(file, block->BlockNumber(), hasBefore ? before.data() : nullptr, after.data());
    }
    flJournal->FinalizeJournal();
  } catch (...) {
    DropJournal(true);
    throw;
  }
}

// ---- commit and rollback ----

void TnxBufferManager::CommitTransaction(TnxBaseTransaction* aTrans, TnxFlushList* aFlushList, bool aIsWTCommit) {
  if (!aTrans) return;
  std::unique_ptr<TnxFlushList> own;
  const bool journalled = aTrans->btJournal && !aIsWTCommit && aTrans->btTransLevelsTail->tlLevel == 0;
  if (journalled) {
    if (!aFlushList) {
      own = std::make_unique<TnxFlushList>();
      aFlushList = own.get();
    }
    // Taken before the padlock and kept until the journal is removed.
    aFlushList->TakeJournalTurn(bmJournalLock);
  }
  {
    TnxPadlockGuard guard(bmPadlock);
    const TnxCallerTrans caller(aTrans);
    ViewsChange();
    TnxBaseTransactionLevel& level = *aTrans->btTransLevelsTail;
    if (level.tlLevel == 0 && aIsWTCommit) {
      if (!aFlushList) {
        own = std::make_unique<TnxFlushList>();
        aFlushList = own.get();
      }
      CommitWriteThrough(*aTrans, *aFlushList);
    } else if (level.tlLevel == 0) {
      // Every copy is checked before any becomes committed, so that a
      // damaged one leaves the whole transaction to its rollback.
      for (TnxReadOnlyBlock* block : aTrans->btBlocks) block->robBlockListTail->Validate();
      if (journalled) aFlushList->WriteJournal(*aTrans);
      if (!(aTrans->btState & nxStateBit(tsSnapshot))) CountTrans(tcCommit);
      if (bmActiveSnapShotCount > 0 && aTrans->btFiles.size() >= 2) LinkFilesForSnapShots(*aTrans);
      if (!aFlushList) {
        own = std::make_unique<TnxFlushList>();
        aFlushList = own.get();
      }
      for (const auto& bound : aTrans->btFiles) bound.bfFile->ReserveQueue(aTrans->btBlocks.size() + 1);
      while (!aTrans->btBlocks.empty()) {
        TnxReadOnlyBlock* block = aTrans->btBlocks.back();
        const bool committed = block->Commit(true, false);
        assert(committed && "an outermost commit left a copy");
        (void)committed;
      }
      level.tlModifiedBlocks.clear();
      aFlushList->Prepare(*aTrans, false);
    } else {
      if (!aIsWTCommit) {
        CountTrans(tcNestedCommit);
        std::vector<TnxModifiedBlock*> copies = std::move(level.tlModifiedBlocks);
        level.tlModifiedBlocks.clear();
        level.tlPrev->tlModifiedBlocks.reserve(level.tlPrev->tlModifiedBlocks.size() + copies.size());
        for (TnxModifiedBlock* copy : copies) copy->ReadOnlyBlock().Commit(true, false);
        for (auto& bound : aTrans->btFiles)
          if (bound.bfLevel == &level) bound.bfLevel = level.tlPrev;
      }
    }
    SweepRetired();
    RemoveExcessBlocks(true, true);
  }
  if (own) own->Flush(false);
  FlushPendingWriteThrough();
}

void TnxBufferManager::RollbackTransaction(TnxBaseTransaction* aTrans) {
  if (!aTrans) return;
  {
    TnxPadlockGuard guard(bmPadlock);
    TnxBaseTransactionLevel& level = *aTrans->btTransLevelsTail;
    if (level.tlLevel > 0)
      CountTrans(tcNestedRollback);
    else if (!(aTrans->btState & nxStateBit(tsSnapshot)))
      CountTrans(tcRollback);
    RollbackTransactionLevel(level);
    EvictUnderPressure();
  }
  FlushPendingWriteThrough();
}

void TnxBufferManager::RollbackTransactionLevel(TnxBaseTransactionLevel& aTransLevel) {
  TnxPadlockGuard guard(bmPadlock);
  // The used-block counts the level set go with it.
  ViewsChange();
  TnxBaseTransaction& trans = aTransLevel.tlTransaction;
  std::vector<TnxModifiedBlock*> copies = std::move(aTransLevel.tlModifiedBlocks);
  aTransLevel.tlModifiedBlocks.clear();
  for (TnxModifiedBlock* copy : copies) copy->ReadOnlyBlock().RollbackTransLevel(aTransLevel);
  trans.UnbindFiles(aTransLevel.tlLevel == 0 ? nullptr : &aTransLevel);
  SweepRetired();
  if (aTransLevel.tlLevel == 0) RemoveExcessBlocks(true, true);
}

}  // namespace revurov
