// Source tables for the blob link handler's tests: named tables of blobs
// and read-only cursors over them, opened through the handler's opener.
// The folder padlock stands in for the folder's tables padlock, which an
// open takes and the closing of inactive tables holds while it asks every
// table's cursors to close; each table's padlock for the table's cursors
// padlock, held while a cursor joins or leaves it and while its cursors
// are asked. A handler that waits for a lock of its own under them
// deadlocks here as it would on real tables.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/sync/padlock.h"
#include "platform/stream.h"
#include "platform/text.h"
#include "server/blob_link_handler.h"
#include "support/scripted_worker_cursor.h"

namespace revurov::testing {

class SourceCursor;

struct SourceTable {
  std::u16string Name;
  TnxDataDictionary Dict;
  std::map<TnxBlobNr, std::string> Blobs;  // not changed while cursors read
  TnxPadlock Padlock{true};
  std::vector<SourceCursor*> Cursors;  // under Padlock, oldest first
  std::atomic<int32_t> Opens{0};
  std::atomic<int32_t> Reads{0};
  uint32_t OpenResult = 0;
  // How long a read keeps the cursor busy.
  std::chrono::microseconds ReadTime{0};
  // Runs once a cursor has its close handler, before the opener goes on.
  std::function<void()> OnHandlerSet;
  // Runs in place of a read when set (a link to a link).
  std::function<uint32_t(TnxBlobNr, uint32_t, uint32_t, platform::TStream&)> ReadHook;

  // As a closing table does: under the padlock, asks the oldest cursor to
  // close until one stays. True when none is left.
  bool AskCursorsToClose();
  int32_t LiveCursors() {
    TnxPadlockGuard guard(Padlock);
    return static_cast<int32_t>(Cursors.size());
  }
};

class SourceCursor : public ScriptedWorkerCursor {
  REVUROV_SERVER_OBJECT_CLASS(SourceCursor, ScriptedWorkerCursor)
  SourceCursor(TnxServerDatabase* aDatabase, SourceTable& aTable)
      : ScriptedWorkerCursor(aDatabase, 1000, omReadOnly, &aTable.Dict, aTable.Name), scTable(aTable) {
    Recording = false;
  }

  uint32_t sbcBlobRead(const TnxRecID&, int32_t, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                       platform::TStream& aStream, bool, TnxNewBlobNr*) override {
    scTable.Reads.fetch_add(1);
    if (scTable.ReadTime.count() > 0) std::this_thread::sleep_for(scTable.ReadTime);
    if (scTable.ReadHook) return scTable.ReadHook(aBlobNr, aOffset, aLen, aStream);
    auto it = scTable.Blobs.find(aBlobNr);
    if (it == scTable.Blobs.end()) return nxeBlobError;
    const std::string& bytes = it->second;
    if (aOffset < bytes.size()) {
      const size_t count = std::min<size_t>(aLen, bytes.size() - aOffset);
      aStream.Write(bytes.data() + aOffset, static_cast<int64_t>(count));
    }
    return 0;
  }
  void sbcSetOnRequestClose(platform::TInterfacePtr<InxRequestCloseHandler> aHandler) override {
    ScriptedWorkerCursor::sbcSetOnRequestClose(std::move(aHandler));
    if (scTable.OnHandlerSet) scTable.OnHandlerSet();
  }
  uint32_t sbcBlobGetLength(const TnxRecID&, int32_t, TnxBlobNr aBlobNr, uint32_t& aLength, bool,
                            TnxNewBlobNr*) override {
    auto it = scTable.Blobs.find(aBlobNr);
    if (it == scTable.Blobs.end()) return nxeBlobError;
    aLength = static_cast<uint32_t>(it->second.size());
    return 0;
  }

protected:
  ~SourceCursor() override {
    TnxPadlockGuard guard(scTable.Padlock);
    std::erase(scTable.Cursors, this);
  }

private:
  SourceTable& scTable;
};

inline bool SourceTable::AskCursorsToClose() {
  TnxPadlockGuard guard(Padlock);
  while (!Cursors.empty()) {
    SourceCursor* head = Cursors.front();
    head->sbcRequestClose();
    if (!Cursors.empty() && Cursors.front() == head) return false;
  }
  return true;
}

class SourceTables {
public:
  explicit SourceTables(TnxServerDatabase* aDatabase) : stDatabase(aDatabase) {}

  SourceTable& Add(std::u16string aName, std::map<TnxBlobNr, std::string> aBlobs) {
    auto table = std::make_unique<SourceTable>();
    table->Name = aName;
    table->Blobs = std::move(aBlobs);
    SourceTable& result = *table;
    stTables.emplace(std::move(aName), std::move(table));
    return result;
  }

  // As the cleanup of inactive tables does: under the folder padlock, asks
  // every table's cursors to close. Answers the tables left without one.
  int32_t CloseInactiveTables() {
    TnxPadlockGuard guard(stFolderPadlock);
    int32_t closed = 0;
    for (auto& [name, table] : stTables)
      if (table->AskCursorsToClose()) ++closed;
    return closed;
  }

  // Opens like the database: the folder's and the table's padlocks held
  // while the cursor is made and joins the table.
  TnxBlobLinkCursorOpen Opener() {
    return [this](std::u16string_view aTableName, std::u16string_view,
                  TnxServerObjectPtr<TnxSqlAbstractCursor>& aCursor) -> uint32_t {
      SourceTable* table = nullptr;
      for (auto& [name, t] : stTables)
        if (platform::AsciiSameText(name, aTableName)) table = t.get();
      if (!table) return nxeTableDoesNotExist;
      TnxPadlockGuard folder(stFolderPadlock);
      TnxPadlockGuard guard(table->Padlock);
      if (table->OpenResult) return table->OpenResult;
      auto cursor = nxCreateServerObject<SourceCursor>(stDatabase, *table);
      table->Cursors.push_back(cursor.get());
      table->Opens.fetch_add(1);
      aCursor.reset(cursor.release());
      return 0;
    };
  }

private:
  TnxServerDatabase* stDatabase;
  TnxPadlock stFolderPadlock{true};
  std::map<std::u16string, std::unique_ptr<SourceTable>> stTables;
};

}  // namespace revurov::testing
