#include "server/blob_link_handler.h"

#include <atomic>
#include <exception>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/sql_engine_classes.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/sync/padlock.h"
#include "platform/os_thread.h"
#include "platform/text.h"

namespace revurov {

namespace {

using TCursorPtr = TnxServerObjectPtr<TnxSqlAbstractCursor>;

// One source cursor. Users, Published, Retired and the cursor itself change
// under the shared padlock.
struct Entry {
  std::u16string Name;
  TCursorPtr Cursor;
  int32_t Users = 0;
  bool Published = false;
  bool Retired = false;
  // Set by a close request, without the padlock.
  std::atomic<bool> DropRequested{false};
};

struct NameLess {
  bool operator()(const std::u16string& a, const std::u16string& b) const {
    return platform::AsciiCompareText(a, b) < 0;
  }
};

thread_local int32_t tlsLinkDepth = 0;

struct DepthGuard {
  DepthGuard() noexcept { ++tlsLinkDepth; }
  ~DepthGuard() { --tlsLinkDepth; }
};

}  // namespace

// A cursor no longer read through is not freed by the reader: the table
// may be asking it to close on another thread at that moment, and a cursor
// must not be freed while it is inside its own close request. It is
// retired instead and freed by the next close request of its table (the
// asker holds the table's padlock, so no other request on that table
// runs), or with the handler.
struct TnxBlobLinkHandler::Shared {
  TnxPadlock Padlock{true};
  bool Closing = false;
  std::map<std::u16string, std::shared_ptr<Entry>, NameLess> Cursors;
  std::vector<std::shared_ptr<Entry>> RetiredEntries;
  // Close requests running now; destruction waits for them.
  std::atomic<int32_t> InFlight{0};

  // Takes aEntry out of the list when it is there.
  void Unpublish(Entry& aEntry) {
    if (!aEntry.Published) return;
    aEntry.Published = false;
    auto it = Cursors.find(aEntry.Name);
    if (it != Cursors.end() && it->second.get() == &aEntry) Cursors.erase(it);
  }

  // Unpublishes aEntry; an idle one waits for its table's next request.
  void Retire(const std::shared_ptr<Entry>& aEntry) {
    aEntry->DropRequested.store(true, std::memory_order_release);
    Unpublish(*aEntry);
    if (aEntry->Users == 0 && aEntry->Cursor && !aEntry->Retired) {
      aEntry->Retired = true;
      RetiredEntries.push_back(aEntry);
    }
  }

  // The end of one use: the last user of a cursor asked to close retires it.
  void Release(const std::shared_ptr<Entry>& aEntry) noexcept {
    TnxPadlockGuard guard(Padlock);
    if (--aEntry->Users == 0 && aEntry->DropRequested.load(std::memory_order_acquire)) Retire(aEntry);
  }

  static void RequestClose(const std::weak_ptr<Shared>& aShared, const std::weak_ptr<Entry>& aEntry,
                           TnxAbstractCursor* aSender) {
    std::shared_ptr<Shared> shared = aShared.lock();
    std::shared_ptr<Entry> entry = aEntry.lock();
    if (!shared || !entry) return;
    shared->InFlight.fetch_add(1, std::memory_order_acq_rel);
    struct Done {
      Shared& s;
      ~Done() { s.InFlight.fetch_sub(1, std::memory_order_acq_rel); }
    } done{*shared};
    // Marked first, so that whoever holds the list next drops it when this
    // request cannot.
    entry->DropRequested.store(true, std::memory_order_release);
    // The asker holds table padlocks that opening a cursor takes: waiting
    // here for a thread that opens one would deadlock.
    if (!shared->Padlock.TryLock()) return;
    std::vector<TCursorPtr> stale;
    TCursorPtr sender;
    if (!shared->Closing) {
      // A cursor still being opened (neither published nor retired) is
      // its opener's: marked only.
      if ((entry->Published || entry->Retired) && entry->Users == 0 &&
          static_cast<TnxAbstractCursor*>(entry->Cursor.get()) == aSender) {
        shared->Unpublish(*entry);
        sender = std::move(entry->Cursor);
      }
      // The retired cursors of the same table: no other request on it can
      // run while this one does.
      std::erase_if(shared->RetiredEntries, [&](const std::shared_ptr<Entry>& aRetired) {
        if (!platform::AsciiSameText(aRetired->Name, entry->Name) || aRetired->Users != 0) return false;
        if (aRetired->Cursor) stale.push_back(std::move(aRetired->Cursor));
        aRetired->Retired = false;
        return true;
      });
    }
    shared->Padlock.Unlock();
    // Freed here, on the asking thread, so that its table can close now;
    // the sender last, as its request returns through it.
    stale.clear();
    sender.reset();
  }
};

TnxBlobLinkHandler::TnxBlobLinkHandler(TnxExtendableServerObject* aDatabase, TnxBlobLinkCursorOpen aOpen)
    : TnxBaseBlobLinkHandler(aDatabase), blhOpen(std::move(aOpen)), blhShared(std::make_shared<Shared>()) {}

TnxBlobLinkHandler::~TnxBlobLinkHandler() { blhFreeCursors(); }

void TnxBlobLinkHandler::PrepareDestroy() {
  blhFreeCursors();
  TnxBaseBlobLinkHandler::PrepareDestroy();
}

void TnxBlobLinkHandler::blhFreeCursors() noexcept {
  std::vector<TCursorPtr> cursors;
  {
    TnxPadlockGuard guard(blhShared->Padlock);
    blhShared->Closing = true;
    for (auto& [name, entry] : blhShared->Cursors) {
      entry->Published = false;
      cursors.push_back(std::move(entry->Cursor));
    }
    blhShared->Cursors.clear();
    for (auto& entry : blhShared->RetiredEntries) cursors.push_back(std::move(entry->Cursor));
    blhShared->RetiredEntries.clear();
  }
  // A request that got the padlock before Closing may still be freeing its
  // cursor, which the database must not free a second time.
  while (blhShared->InFlight.load(std::memory_order_acquire) != 0) platform::YieldThread();
  while (!cursors.empty()) {
    TCursorPtr cursor = std::move(cursors.back());
    cursors.pop_back();
    if (!cursor) continue;
    try {
      TnxSqlAbstractCursor* raw = cursor.release();
      raw->Free();
    } catch (...) {
      asoConvertCurrentException();
    }
  }
}

int32_t TnxBlobLinkHandler::CachedCursorCount() const {
  TnxPadlockGuard guard(blhShared->Padlock);
  return static_cast<int32_t>(blhShared->Cursors.size());
}

template <class F>
uint32_t TnxBlobLinkHandler::blhWithCursor(std::u16string_view aOperation, std::u16string_view aTableName,
                                           F&& aRead) {
  if (tlsLinkDepth >= nxMaxBlobLinkDepth)
    return EnxBaseException::nxSetMessage(nxeBlobError, u"BLOB links nest deeper than %d levels at table \"%s\"",
                                          {nxMaxBlobLinkDepth, aTableName});
  DepthGuard depth;
  Shared& shared = *blhShared;
  const std::u16string name(aTableName);
  std::shared_ptr<Entry> entry;
  try {
    {
      TnxPadlockGuard guard(shared.Padlock);
      if (shared.Closing) return NotSupported(aOperation);
      auto it = shared.Cursors.find(name);
      if (it != shared.Cursors.end()) {
        std::shared_ptr<Entry> found = it->second;
        if (!found->DropRequested.load(std::memory_order_acquire)) {
          entry = std::move(found);
          ++entry->Users;
        } else {
          // Asked to close when that could not be done: make room for a
          // new one.
          shared.Retire(found);
        }
      }
    }

    if (!entry) {
      if (!blhOpen) return NotSupported(aOperation);
      auto fresh = std::make_shared<Entry>();
      fresh->Name = name;
      // Opened with no lock of ours held: the open takes the folder's and
      // the table's padlocks, under which close requests arrive.
      if (const uint32_t result = blhOpen(aTableName, {}, fresh->Cursor)) return result;
      if (!fresh->Cursor) return nxeInvalidParameter;
      std::weak_ptr<Shared> weakShared = blhShared;
      std::weak_ptr<Entry> weakEntry = fresh;
      fresh->Cursor->sbcSetOnRequestClose(
          nxCreateRequestCloseHandler([weakShared, weakEntry](TnxAbstractCursor* aSender) {
            Shared::RequestClose(weakShared, weakEntry, aSender);
          }));
      {
        TnxPadlockGuard guard(shared.Padlock);
        auto it = shared.Cursors.find(name);
        if (it != shared.Cursors.end() && !it->second->DropRequested.load(std::memory_order_acquire)) {
          // Lost the race: ours is retired, the published one read.
          entry = it->second;
          shared.Retire(fresh);
        } else {
          if (it != shared.Cursors.end()) {
            std::shared_ptr<Entry> old = it->second;
            shared.Retire(old);
          }
          entry = fresh;
          // Asked to close already (or closing): read once, then drop.
          if (!shared.Closing && !fresh->DropRequested.load(std::memory_order_acquire)) {
            fresh->Published = true;
            shared.Cursors.emplace(name, fresh);
          } else {
            fresh->DropRequested.store(true, std::memory_order_release);
          }
        }
        ++entry->Users;
      }
    }
  } catch (...) {
    if (entry) shared.Release(entry);
    return asoConvertCurrentException();
  }

  uint32_t result = 0;
  try {
    result = aRead(*entry->Cursor);
  } catch (...) {
    result = asoConvertCurrentException();
  }
  shared.Release(entry);
  return result;
}

uint32_t TnxBlobLinkHandler::BlobLinkRead(std::u16string_view aTableName, TnxBlobNr aBlobNr, uint32_t aOffset,
                                          uint32_t aLen, platform::TStream& aStream) {
  return blhWithCursor(u"BlobLinkRead", aTableName, [&](TnxSqlAbstractCursor& aCursor) {
    return aCursor.sbcBlobRead(nxNullRecID, -1, aBlobNr, aOffset, aLen, aStream, false, nullptr);
  });
}

uint32_t TnxBlobLinkHandler::BlobLinkGetLength(std::u16string_view aTableName, TnxBlobNr aBlobNr,
                                               uint32_t& aLength) {
  return blhWithCursor(u"BlobLinkGetLength", aTableName, [&](TnxSqlAbstractCursor& aCursor) {
    return aCursor.sbcBlobGetLength(nxNullRecID, -1, aBlobNr, aLength, false, nullptr);
  });
}

}  // namespace revurov
