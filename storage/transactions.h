// Storage transactions: the block changes of one server transaction over
// any number of files, in nested levels that commit or roll back on their
// own, and the flush that carries a committed transaction to disk.
//
// Contract:
// - A transaction and its levels are used by one thread at a time; marks
//   from other threads only set flags and count under the padlock.
// - StartNested pushes a level (or, on a level marked no-more-nested and
//   without force, only counts); the owner ends each level with the buffer
//   manager's commit or rollback and then EndLevel (after StopNested said
//   so). Level 0 lives as long as the transaction.
// - Commit and rollback run under the buffer manager's padlock; Flush runs
//   outside it. Two flushes of one file run one after the other.
// - A failed flush sets the process-wide fatal flag; from then on every
//   flush answers 15443 before it writes anything.
// - A failed Prepare gives the unwritten blocks of every bound file back and
//   propagates; the transaction's own copies are left for its rollback.
// - A write-through commit (at the outermost level) writes the changes so
//   far without ending the transaction: copies of blocks that are handed
//   out stay with it, the rest become committed, and the files stay bound.
//   At a nested level it does nothing.
// - A transaction with a journal commits fail-safe: the headers' LSN is
//   stamped, the journal written and made durable (entries, complete flag,
//   folder), then the data files are written and synced one by one, and
//   the journal is removed durably before Flush returns. One such commit
//   runs at a time per buffer manager, from its journal to the journal's
//   removal, so no older journal can undo a newer reported commit; the
//   flush list holds that turn and must be flushed or freed by the thread
//   that committed. A failed journal or Prepare removes the journal first;
//   a failed flush keeps it for Check.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "dictionary/engine_types.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/sync/padlock.h"
#include "storage/storage_types.h"

namespace revurov {

class TnxBaseFile;
class TnxBaseJournalEngine;
class TnxBaseReplicationLog;
class TnxBaseTransaction;
class TnxBufferManager;
class TnxModifiedBlock;
class TnxReadOnlyBlock;
struct TnxFileSnapShotLink;

// The member bit of a state in its set.
template <class TState>
constexpr uint8_t nxStateBit(TState aState) noexcept {
  return static_cast<uint8_t>(1u << aState);
}

class TnxBaseTransactionLevel : public TnxObject {
public:
  // Pushed onto aTrans as its current level.
  explicit TnxBaseTransactionLevel(TnxBaseTransaction& aTrans);
  ~TnxBaseTransactionLevel() override;

  int32_t Level() const noexcept { return tlLevel + tlNestingCount; }
  int32_t BlockCount() const noexcept { return static_cast<int32_t>(tlModifiedBlocks.size()); }
  TnxTransactionLevelStates State() const noexcept { return tlState; }
  int32_t LockCount() const noexcept { return tlLockCount; }
  TnxBaseTransactionLevel* Prev() const noexcept { return tlPrev; }
  TnxBaseTransaction& Transaction() const noexcept { return tlTransaction; }
  TnxLSN StartLSN() const noexcept { return tlStartLSN; }
  TnxLSN LSN() const noexcept { return tlLSN; }
  // The level's place (0 outermost) and the nested starts it absorbed.
  int32_t LevelNumber() const noexcept { return tlLevel; }
  int32_t NestingCount() const noexcept { return tlNestingCount; }

  // Marks this level and every level inside it; counted once per level.
  void MarkCorrupted();
  void MarkDeadlock();
  void MarkNoMoreNested();
  // False when an absorbed nested start ended; true when the level ends.
  bool StopNested();

protected:
  void SetLSN(TnxLSN aLSN) noexcept { tlLSN = aLSN; }

private:
  friend class TnxBaseTransaction;
  friend class TnxModifiedBlock;
  friend class TnxReadOnlyBlock;
  friend class TnxBufferManager;
  void Mark(TnxTransactionLevelState aState, int aCounter);

  TnxBaseTransactionLevel* tlPrev;
  TnxBaseTransaction& tlTransaction;
  TnxLSN tlStartLSN = 0;
  TnxLSN tlLSN = 0;
  std::vector<TnxModifiedBlock*> tlModifiedBlocks;
  int32_t tlLevel = 0;
  int32_t tlLockCount = 0;
  int32_t tlNestingCount = 0;
  TnxTransactionLevelStates tlState = 0;
};

class TnxBaseTransaction : public TnxObject {
public:
  // Makes every level of a transaction, the outermost one included.
  using TnxLevelFactory = std::unique_ptr<TnxBaseTransactionLevel> (*)(TnxBaseTransaction& aTrans);

  TnxBaseTransaction(TnxBufferManager& aBufferManager, void* aOwningSession, bool aIsSnapshot, bool aFailSafe,
                     TnxLevelFactory aLevelFactory = nullptr);
  ~TnxBaseTransaction() override;
  TnxBaseTransaction(const TnxBaseTransaction&) = delete;
  TnxBaseTransaction& operator=(const TnxBaseTransaction&) = delete;

  virtual void StartNested(bool aForce);
  // The owner ends the current level after its nested commit or rollback.
  void EndLevel();
  // See TnxBaseTransactionLevel::StopNested; true without a level.
  bool StopNested();
  virtual void Failed() noexcept { btState |= nxStateBit(tsFailed); }
  // Started by a cursor only to read a blob from one snapshot.
  void MarkForBlobRead() noexcept { btState |= nxStateBit(tsForBlobRead); }
  // 15443 when failed or corrupted, 10255 when deadlocked, else 0.
  uint32_t CheckState() const noexcept;
  void Lock() noexcept;
  void Unlock() noexcept;
  void MarkCorrupted();
  void MarkDeadlock();
  void MarkNoMoreNested();
  bool Nested() const noexcept;
  bool IsLocked() const noexcept;
  // Eviction wanted a write-through commit while a nested level was open;
  // the owner commits through (CommitTransaction(this, nil, true)) once back
  // at the outermost level and clears it.
  bool WriteThroughCommitWanted() const noexcept { return btWriteThroughCommit; }
  void ClearWriteThroughCommit() noexcept { btWriteThroughCommit = false; }

  TnxTransactionStates State() const noexcept { return btState; }
  TnxBaseTransactionLevel* TransLevel() const noexcept { return btTransLevelsTail; }
  int32_t BlockCount() const noexcept { return static_cast<int32_t>(btBlocks.size()); }
  TnxLSN LSN() const noexcept { return btLSN; }
  TnxLSN StartLSN() const noexcept { return btStartLSN; }
  // An LSN handed out inside the transaction: the transaction's LSN and
  // its innermost level's never fall behind it.
  void RaiseLSN(TnxLSN aLSN) noexcept;
  TnxBufferManager& TransBufferManager() const noexcept { return btBufferManager; }
  void* OwningSession() const noexcept { return btOwningSession; }
  // Moves on whenever the transaction's own copies stop being what it saw
  // (see CopiesChange); unique across transactions.
  uint64_t Copies() const noexcept { return btCopies.load(std::memory_order_acquire); }
  // Files bound to the transaction, in binding order.
  std::vector<TnxBaseFile*> BoundFiles() const;
  // The journal the next outermost commit writes (owned); nil: none.
  void SetJournal(std::unique_ptr<TnxBaseJournalEngine> aJournal) noexcept;
  TnxBaseJournalEngine* Journal() const noexcept { return btJournal.get(); }

private:
  friend class TnxBaseTransactionLevel;
  friend class TnxReadOnlyBlock;
  friend class TnxModifiedBlock;
  friend class TnxBufferManager;
  friend class TnxFlushList;
  struct TnxBoundFile {
    TnxBaseFile* bfFile;
    TnxBaseTransactionLevel* bfLevel;  // the level that bound it
  };
  // Padlock held.
  void BindFile(TnxBaseFile& aFile);
  void UnbindFiles(TnxBaseTransactionLevel* aOnlyLevel) noexcept;
  void RemoveBlock(TnxReadOnlyBlock& aBlock) noexcept;
  // A copy of the transaction was merged, committed, dropped or discarded,
  // or a level began or ended: reuse scopes stop handing out the copies
  // they remember for it. Padlock held, or the owner's thread.
  void CopiesChange() noexcept;

  TnxBufferManager& btBufferManager;
  TnxLevelFactory btLevelFactory;
  void* btOwningSession;
  TnxTransactionStates btState = 0;
  TnxLSN btStartLSN = 0;
  TnxLSN btLSN = 0;
  uint32_t btSnapshotID = 0;
  bool btWriteThroughCommit = false;
  std::vector<std::unique_ptr<TnxBaseTransactionLevel>> btLevels;
  TnxBaseTransactionLevel* btTransLevelsTail = nullptr;
  std::vector<TnxReadOnlyBlock*> btBlocks;
  std::vector<TnxBoundFile> btFiles;
  // A snapshot transaction's links: the files it has read, the blocks
  // that keep an old image for it.
  std::vector<std::unique_ptr<TnxFileSnapShotLink>> btFileSnapShotLinks;
  std::vector<TnxReadOnlyBlock*> btBlockSnapShotLinks;
  std::unique_ptr<TnxBaseJournalEngine> btJournal;
  // Unique across all transactions, so that one made later at the same
  // address never matches what a scope remembers of an earlier one.
  std::atomic<uint64_t> btCopies{0};
};

// The files of one committed transaction on their way to disk.
class TnxFlushList : public TnxObject {
public:
  TnxFlushList();
  // A journal never flushed is removed; one whose flush failed stays.
  ~TnxFlushList() override;
  int32_t Count() const noexcept { return static_cast<int32_t>(flList.size()); }
  TnxBaseJournalEngine* Journal() const noexcept { return flJournal.get(); }
  // Padlock held: stamps the transaction's LSN into every bound file's header
  // and takes the files over.
  void Prepare(TnxBaseTransaction& aTrans, bool aIsWTCommit);
  // Without the padlock.
  void Flush(bool aForceFailSafe);

private:
  friend class TnxBufferManager;
  TnxLSN flLSN = 0;
  std::vector<TnxBaseFile*> flList;
  TnxBaseReplicationLog* flReplicationLog = nullptr;

  // The fail-safe journal, see transactions.cpp.
  void TakeJournalTurn(TnxPadlock& aJournalLock);
  void WriteJournal(TnxBaseTransaction& aTrans);
  void DropJournal(bool aInvalidate) noexcept;
  std::unique_ptr<TnxBaseJournalEngine> flJournal;
  std::optional<TnxPadlockGuard> flJournalTurn;
  bool flFlushTried = false;
};

}  // namespace revurov
