// TnxBlobLinkHandler: the database's reader of linked blobs. It keeps one
// read-only cursor per source table, opened on first use, and reads the
// source blob through it.
//
// Contract:
// - A source cursor is opened without any lock of the handler held and
//   then published under the handler's padlock; of two threads that opened
//   one for the same table (names compare ASCII case-insensitively), the
//   loser frees its own and reads through the published one. The padlock
//   is held only to look up, publish or unpublish, never while a cursor is
//   opened, read or freed.
// - When the server asks a source cursor to close, the request only
//   try-locks the padlock (the asker holds table padlocks that an open
//   needs). A cursor that is idle then is freed at once, on the asking
//   thread; one in use, or a busy padlock, only marks it, and the reader
//   that next finishes with it or looks it up stops using it. The next
//   read opens a new one.
// - A cursor is freed only by a close request of its table or with the
//   handler, never by a reader: a reader that stops using a cursor (and
//   the loser of a racing open) retires it, and the table's next close
//   request frees every retired cursor of that table. A cursor is thus
//   never freed while another thread is inside its close request.
// - Reads nest (a source blob may itself be a link); nesting deeper than
//   nxMaxBlobLinkDepth answers 11896, so a cycle of links ends.
// - Without an opener every link answers 12289.
// - Destruction frees the cached cursors (the last first) after requests
//   in progress have finished; later requests do nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "engine/server_object.h"
#include "server/blob_handler.h"

namespace revurov {

class TnxSqlAbstractCursor;

// Opens a read-only, shared cursor on aTableName of the handler's
// database (no index, the database's timeout).
using TnxBlobLinkCursorOpen = std::function<uint32_t(
    std::u16string_view aTableName, std::u16string_view aPassword, TnxServerObjectPtr<TnxSqlAbstractCursor>& aCursor)>;

inline constexpr int32_t nxMaxBlobLinkDepth = 16;

class TnxBlobLinkHandler : public TnxBaseBlobLinkHandler {
  REVUROV_SERVER_OBJECT_CLASS(TnxBlobLinkHandler, TnxBaseBlobLinkHandler)
  // aDatabase: the database the handler belongs to (its parent).
  TnxBlobLinkHandler(TnxExtendableServerObject* aDatabase, TnxBlobLinkCursorOpen aOpen);

  uint32_t BlobLinkRead(std::u16string_view aTableName, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                        platform::TStream& aStream) override;
  uint32_t BlobLinkGetLength(std::u16string_view aTableName, TnxBlobNr aBlobNr, uint32_t& aLength) override;

  // The source cursors published now (retired ones not counted).
  int32_t CachedCursorCount() const;

  struct Shared;

protected:
  ~TnxBlobLinkHandler() override;
  void PrepareDestroy() override;

private:
  // Runs aRead on the source cursor of aTableName.
  template <class F>
  uint32_t blhWithCursor(std::u16string_view aOperation, std::u16string_view aTableName, F&& aRead);
  void blhFreeCursors() noexcept;

  TnxBlobLinkCursorOpen blhOpen;
  // Shared with the request-close handlers of the cursors, which may still
  // run on another thread while the handler goes.
  std::shared_ptr<Shared> blhShared;
};

}  // namespace revurov
