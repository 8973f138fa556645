// Server transactions: storage transactions whose levels also hold the
// table transaction locks (links) on root tables, shared or exclusive,
// queued and granted per table.
//
// Contract:
// - Every level a server transaction opens is a TnxServerTransactionLevel;
//   its links are kept in the order they were taken.
// - A table's link lists change only under its srtTransLinksPadlock; a
//   waiting link waits on its own event outside that padlock, and the event
//   is made, signalled and freed only under it.
// - Deciding a request: a shared request waits only for a granted exclusive
//   link; an exclusive one for any other granted link. Pending requests do
//   not hold back a shared request (readers may starve a writer, who then
//   times out with 10249). A conflict within one session never waits: the
//   link fails with the "LockError.SameSession" tag.
// - At most one upgrade (shared to exclusive) waits per table; a second
//   one answers 10255 and leaves its transaction deadlocked.
// - Commit of the outermost level, per exclusively linked table: commit
//   padlock, content portal as writer, buffer-manager commit, lock
//   containers' transaction ended, portal left, flush, commit padlock
//   released. When the buffer-manager commit or the flush raises, the level
//   is rolled back in the buffer manager while every lock is still held,
//   then everything is released; the commit raises and the transaction is
//   gone (the caller must not roll back).
// - A nested commit hands the level's links to its parent; an upgrade that
//   meets its shared link there takes over its cursors and the shared link
//   goes. Rolling back an upgrade gives the shared link back its place and
//   its cursors.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "dictionary/engine_records.h"
#include "storage/transactions.h"

namespace revurov {

class TnxAbstractSession;
class TnxEvent;
class TnxLockFailureReason;
class TnxServerRootTable;
class TnxServerTransaction;
class TnxServerTransactionLevel;
class TnxServerTransactionLevelTableLink;

enum TnxServerTransactionLevelTableLinkState : uint8_t { ttlsPending, ttlsPendingUpgrade, ttlsGranted, ttlsFailed };

// The place of a cursor in the cursor list of the link it works under; the
// table cursor carries one. Changed under the root table's trans-link padlock;
// read without it only by the cursor's own thread.
class TnxServerTransLinkCursor {
public:
  TnxServerTransLinkCursor() = default;
  TnxServerTransLinkCursor(const TnxServerTransLinkCursor&) = delete;
  TnxServerTransLinkCursor& operator=(const TnxServerTransLinkCursor&) = delete;
  // Leaves the list of its link, if any.
  ~TnxServerTransLinkCursor() { stcRemoveFromTransLink(); }

  TnxServerTransactionLevelTableLink* TransLink() const noexcept { return stcTransLink; }
  TnxServerTransLinkCursor* TransLinkNext() const noexcept { return stcTransLinkNext; }
  // Appends the cursor to aLink's list (leaving the one it was in).
  void stcAddToTransLink(TnxServerTransactionLevelTableLink& aLink) noexcept;
  // Leaves the list; stcTransLink becomes nil.
  void stcRemoveFromTransLink() noexcept;

private:
  TnxServerTransactionLevelTableLink* stcTransLink = nullptr;
  TnxServerTransLinkCursor* stcTransLinkPrev = nullptr;
  TnxServerTransLinkCursor* stcTransLinkNext = nullptr;
};

class TnxServerTransactionLevelTableLink : public TnxObject {
public:
  // With aTable's srtTransLinksPadlock held. Decides at once: the link is
  // granted, queued (pending, or the table's pending upgrade) or failed.
  TnxServerTransactionLevelTableLink(TnxServerTransactionLevel& aTransactionLevel, TnxServerRootTable& aTable,
                                     bool aExclusive, TnxServerTransactionLevelTableLink* aConvertFrom,
                                     TnxLockFailureReason* aReason);
  // Detaches its cursors and its partner and leaves the transaction, the
  // level and the table; takes the table's padlock itself.
  ~TnxServerTransactionLevelTableLink() override;
  TnxServerTransactionLevelTableLink(const TnxServerTransactionLevelTableLink&) = delete;
  TnxServerTransactionLevelTableLink& operator=(const TnxServerTransactionLevelTableLink&) = delete;

  // Without the table's padlock: makes the event a waiter needs, when the
  // link is not decided yet; false when it is decided already.
  bool ttlPrepareWait();
  // 0 once granted, else 10249 "Lock time out.". Waits (only with more than
  // 5 ms of the thread's deadline left) when an event was prepared.
  uint32_t WaitFor();

  // Takes the place of every wait (tests see blocked requests through it).
  class TnxWaitHook {
  public:
    // Padlock not held; true when signalled.
    virtual bool Wait(TnxServerTransactionLevelTableLink& aLink, uint32_t aTimeout) = 0;

  protected:
    ~TnxWaitHook() = default;
  };
  // Not owned; set while no link waits.
  static void SetWaitHook(TnxWaitHook* aHook) noexcept;

  TnxServerTransactionLevelTableLinkState State() const noexcept { return ttlState; }
  bool Exclusive() const noexcept { return ttlExclusive; }
  bool Snapshot() const noexcept { return ttlSnapshot; }
  TnxServerRootTable& Table() const noexcept { return *ttlTable; }
  TnxServerTransactionLevel* TransactionLevel() const noexcept { return ttlTransactionLevel; }
  TnxServerTransaction& Transaction() const noexcept;
  TnxServerTransactionLevelTableLink* ConvertFrom() const noexcept { return ttlConvertFrom; }
  TnxServerTransactionLevelTableLink* ConvertTo() const noexcept { return ttlConvertTo; }
  TnxServerTransactionLevelTableLink* TransactionLevelNext() const noexcept { return ttlTransactionLevelNext; }
  TnxServerTransactionLevelTableLink* TableNext() const noexcept { return ttlTableNext; }
  TnxServerTransLinkCursor* CursorsHead() const noexcept { return ttlCursorsHead; }
  // An upgrade in place: the table's only granted link, at the innermost
  // level. With the table's padlock held.
  void ttlMakeExclusive() noexcept { ttlExclusive = true; }

private:
  friend class TnxServerRootTable;
  friend class TnxServerTransaction;
  friend class TnxServerTransactionLevel;
  friend class TnxServerTransLinkCursor;

  std::u16string ttlKey() const;
  void ttlAddToTransaction();
  void ttlRemoveFromTransaction() noexcept;
  void ttlAddToTransactionLevel() noexcept;
  void ttlRemoveFromTransactionLevel() noexcept;
  // Table padlock held.
  void ttlAddToTable() noexcept;
  void ttlRemoveFromTable() noexcept;
  void ttlCompleteUpgrade();
  // Moves every cursor of this link to aTo.
  void ttlMoveCursorsTo(TnxServerTransactionLevelTableLink& aTo) noexcept;
  void ttlDetachCursors() noexcept;
  void ttlSignal() noexcept;

  TnxLockFailureReason* ttlReason = nullptr;
  bool ttlTransactionAdded = false;
  bool ttlTransactionLevelAdded = false;
  TnxServerTransactionLevel* ttlTransactionLevel;
  TnxServerTransactionLevelTableLink* ttlTransactionLevelPrev = nullptr;
  TnxServerTransactionLevelTableLink* ttlTransactionLevelNext = nullptr;
  bool ttlTableAdded = false;
  TnxServerRootTable* ttlTable;
  TnxServerTransactionLevelTableLink* ttlTablePrev = nullptr;
  TnxServerTransactionLevelTableLink* ttlTableNext = nullptr;
  TnxServerTransactionLevelTableLinkState ttlState = ttlsPending;
  bool ttlExclusive = false;
  bool ttlSnapshot = false;
  TnxServerTransactionLevelTableLink* ttlConvertFrom = nullptr;
  TnxServerTransactionLevelTableLink* ttlConvertTo = nullptr;
  std::unique_ptr<TnxEvent> ttlEvent;
  TnxServerTransLinkCursor* ttlCursorsHead = nullptr;
  TnxServerTransLinkCursor* ttlCursorsTail = nullptr;
};

class TnxServerTransactionLevel : public TnxBaseTransactionLevel {
public:
  // aWriterKey: the outermost level of a transaction that may change
  // tables, registered with the buffer manager; given back at the end.
  explicit TnxServerTransactionLevel(TnxServerTransaction& aTrans, std::optional<TnxLSN> aWriterKey = {});
  // Frees the links still on it (none after a commit or rollback).
  ~TnxServerTransactionLevel() override;

  TnxServerTransaction& ServerTransaction() const noexcept;
  TnxServerTransactionLevel* ServerPrev() const noexcept;
  TnxServerTransactionLevelTableLink* TableLinksHead() const noexcept { return stlTableLinksHead; }
  platform::TDateTime StartTime() const noexcept { return stlStartTime; }

  // Marks this level and the inner ones deadlocked, rolls each back in the
  // buffer manager, innermost first, and releases their links; the levels
  // stay until the user rolls back.
  void stlMarkDeadlock();
  void stlReleaseTableLinks();
  // The blob and record engines of every table linked in this level and
  // the outer ones forget what this transaction did.
  void stlRollbackEngines();
  void stlGetInfo(TnxTransactionLevelInfo& aInfo) const;

private:
  friend class TnxServerTransactionLevelTableLink;
  friend class TnxServerTransaction;

  TnxServerTransactionLevelTableLink* stlTableLinksHead = nullptr;
  TnxServerTransactionLevelTableLink* stlTableLinksTail = nullptr;
  platform::TDateTime stlStartTime = 0;
  std::optional<TnxLSN> stlWriterKey;
};

class TnxServerTransaction : public TnxBaseTransaction {
public:
  // aOwningSession: the session whose conflicts never wait, nil for none.
  TnxServerTransaction(TnxBufferManager& aBufferManager, TnxAbstractSession* aOwningSession, bool aSnapshot,
                       bool aFailSafe, bool aOverrideForceFailsafe);
  ~TnxServerTransaction() override;

  // Ends the innermost level. The last one frees the transaction (which
  // must then have been made with new and handed over). Commit raises what
  // the buffer-manager commit or the flush raised, with the transaction
  // rolled back and freed.
  virtual void Commit();
  virtual void Rollback();
  TnxTransactionInfo stGetInfo() const;

  TnxServerTransactionLevel* ServerLevel() const noexcept;
  TnxAbstractSession* Session() const noexcept { return stSession; }
  // The link that stands for the table in this transaction, nil for none.
  TnxServerTransactionLevelTableLink* stFindTableLink(TnxServerRootTable& aTable) const;
  int32_t stForceNested = 0;
  // Its outermost commit is journalled in its tables' folder and synced
  // before it answers.
  bool FailSafe() const noexcept { return stFailSafe; }

private:
  friend class TnxServerTransactionLevelTableLink;
  friend class TnxServerTransactionLevel;

  void stCommitNested();
  void stCommitOutermost();
  // The level ended: freed, and the transaction with the last one.
  void stEndLevel();

  // folder path + "\" + table name -> the newest granted link.
  std::map<std::u16string, TnxServerTransactionLevelTableLink*> stTableLinks;
  TnxAbstractSession* stSession;
  platform::TDateTime stStartTime = 0;
  bool stFailSafe = false;
};

}  // namespace revurov
