// TnxServerTransactionMgr: the transaction manager of one server folder. It
// keeps the shared buffer manager's LSN ahead of every LSN written into the
// folder's tables, through "nxTrans.cfg" in the folder (8 bytes: the next
// LSN, little-endian), and makes the journal of a fail-safe commit.
//
// Contract:
// - At creation the next LSN is the larger of the file's value (a file of
//   any size but 8 bytes has none) and one more than the largest header
//   LSN of the folder's table files (offset 8 of each main file, read
//   through the file seam); the buffer manager is raised to it before the
//   file is written. So a file left stale by a crash never hands an LSN
//   out twice.
// - The file is opened exclusively, write-through, for the manager's life.
//   A folder whose file can neither be opened for writing nor created (an
//   existing one is never truncated) becomes read-only; its file, when it
//   exists, is then opened for reading, and failing that fails the
//   creation.
// - The buffer manager's next LSN is written at creation and destruction;
//   write errors are ignored (the next creation scans anyway).
// - In-memory folders touch no disk and start at LSN 1.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "storage/storage_types.h"

namespace revurov {

class TnxBaseFile;
class TnxBaseJournalEngine;
class TnxBufferManager;
class TnxJournalSupply;
class TnxServerFolder;

inline constexpr std::u16string_view nxTransConfigFileName = u"nxTrans.cfg";

class TnxServerTransactionMgr {
public:
  // Raises only when a read-only folder's existing file cannot be opened.
  explicit TnxServerTransactionMgr(TnxServerFolder& aFolder);
  ~TnxServerTransactionMgr();
  TnxServerTransactionMgr(const TnxServerTransactionMgr&) = delete;
  TnxServerTransactionMgr& operator=(const TnxServerTransactionMgr&) = delete;

  TnxBufferManager& BufferManager() const noexcept { return stmBufferManager; }
  // The journal of a fail-safe commit ("<folder><n>.n$2", numbered by the
  // folder's journal supply, which the manager keeps for its life); nil for
  // an in-memory or read-only folder or without a journal class.
  std::unique_ptr<TnxBaseJournalEngine> CreateJournal();
  // Raises the buffer manager past the table files' LSNs once more (after a
  // journal check may have replayed newer blocks).
  void RescanNextLSN();
  // The next LSN found at creation.
  TnxLSN LoadedNextLSN() const noexcept { return stmLoadedNextLSN; }

private:
  void stmLoadNextLSN();
  // The file's value; false when it is not exactly 8 bytes or unreadable.
  bool stmReadConfig(TnxLSN& aValue);
  TnxLSN stmScanNextLSN();
  TnxLSN stmReadFileLSN(const std::string& aFileName);
  void stmSaveNextLSN(bool aClose);

  TnxServerFolder& stmFolder;
  TnxBufferManager& stmBufferManager;
  std::unique_ptr<TnxBaseFile> stmConfigFile;
  std::unique_ptr<TnxJournalSupply> stmJournals;  // writable disk folders only
  TnxLSN stmLoadedNextLSN = 0;
};

}  // namespace revurov
