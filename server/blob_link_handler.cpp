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
#include "platform/text.h"
#include "platform/os_thread.h"

namespace revurov {

namespace {

using TCursorPtr = TnxServerObjectPtr<TnxSqlAbstractCursor>;

// One source cursor. Users, Published and the cursor itself change under
// the shared padlock; a dropped cursor is taken out and freed outside it.
struct Entry {
  std::u16string Name;
  TCursorPtr Cursor;
  int32_t Users = 0;
  bool Published = false;
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

struct TnxBlobLinkHandler::Shared {
  TnxPadlock Padlock{true};
  bool Closing = false;
  std::map<std::u16string, std::shared_ptr<Entry>, NameLess> Cursors;
  // Close requests running now; destruction waits for them.
  std::atomic<int32_t> InFlight{0};

  // Takes aEntry out of the list when it is there.
  void Unpublish(Entry& aEntry) {
    if (!aEntry.Published) return;
    aEntry.Published = false;
    auto it = Cursors.find(aEntry.Name);
    if (it != Cursors.end() && it->second.get() == &aEntry) Cursors.erase(it);
  }

  // The end of one use: the last user of a cursor asked to close drops it.
  void Release(const std::shared_ptr<Entry>& aEntry) noexcept {
    TCursorPtr stale;
    {
      TnxPadlockGuard guard(Padlock);
      if (--aEntry->Users == 0 && aEntry->DropRequested.load(std::memory_order_acquire)) {
        Unpublish(*aEntry);
        stale = std::move(aEntry->Cursor);
      }
    }
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
    TCursorPtr stale;
    if (!shared->Closing && entry->Published && entry->Users == 0 &&
        static_cast<TnxAbstractCursor*>(entry->Cursor.get()) == aSender) {
      shared->Unpublish(*entry);
      stale = std::move(entry->Cursor);
    }
    shared->Padlock.Unlock();
    // Freed here, on the asking thread, so that its table can close now.
    stale.reset();
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
      blhConvertCurrentException();
    }
  }
}

int32_t TnxBlobLinkHandler::CachedCursorCount() const {
  TnxPadlockGuard guard(blhShared->Padlock);
  return static_cast<int32_t>(blhShared->Cursors.size());
}

uint32_t TnxBlobLinkHandler::blhConvertCurrentException() noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      return asoConvertException(e);
    } catch (...) {
      return nxConvertCurrentException(nullptr, static_cast<TnxObject*>(this), MinVersion());
    }
  } catch (...) {
    return nxeUnknownException;
  }
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
    TCursorPtr stale;
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
          // Asked to close while busy: make room for a new one; the last
          // user frees a busy one.
          shared.Unpublish(*found);
          if (found->Users == 0) stale = std::move(found->Cursor);
        }
      }
    }
    stale.reset();

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
      TCursorPtr loser;
      {
        TnxPadlockGuard guard(shared.Padlock);
        auto it = shared.Cursors.find(name);
        if (it != shared.Cursors.end() && !it->second->DropRequested.load(std::memory_order_acquire)) {
          entry = it->second;
          loser = std::move(fresh->Cursor);
        } else {
          if (it != shared.Cursors.end()) {
            std::shared_ptr<Entry> old = it->second;
            shared.Unpublish(*old);
            if (old->Users == 0) stale = std::move(old->Cursor);
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
      loser.reset();
      stale.reset();
    }
  } catch (...) {
    if (entry) shared.Release(entry);
    return blhConvertCurrentException();
  }

  uint32_t result = 0;
  try {
    result = aRead(*entry->Cursor);
  } catch (...) {
    result = blhConvertCurrentException();
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
