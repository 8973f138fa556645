// The journal of a fail-safe commit: every changed block goes into a file
// in the database folder before any data file is touched, so that after a
// crash the folder can be brought back to a consistent state by Check.
//
// File: a 12-byte header ("NXJH", complete flag 0 or 0xFFFFFFFF, the kind
// of the writing class) and entries, each a 268-byte entry header ("NXJR",
// block number, block size ordinal, image kind 0xFF before / 0 after, two
// zero bytes, the data file's name as a length byte and up to 255 bytes of
// UTF-8, relative to the folder) followed by exactly one block image as the
// data file holds it (enciphered when the file is).
//
// Contract:
// - Writing: PrepareJournal creates the file (it must not exist), AddBlock
//   appends entries, FinalizeJournal makes the entries durable, then the
//   complete flag, then the file's name in the folder. Invalidate removes
//   the journal and syncs the folder, so it is durably gone. No call syncs
//   through O_DSYNC; every sync is explicit.
// - A journal from a TnxJournalSupply may get its empty file made ahead,
//   its name already durable: it is written in place and its name needs no
//   folder sync; its removal lets the supply make the next one under the
//   same folder sync.
// - A block without committed contents (beyond the file's committed count)
//   gets no before image: undoing it has nothing to restore.
// - A data file outside the journal's folder, or whose name does not fit
//   255 bytes, fails AddBlock with 9986 before anything is written for it.
// - The destructor closes the file and removes a journal that was never
//   completed; a completed one that was not invalidated stays on disk for
//   Check (the data flush failed).
// - Check trusts nothing in a journal: the whole file is parsed and checked
//   (magics, kind, ordinal 0-4, image kind, zero bytes, each image whole,
//   names a plain name of the folder) before any data file is written. A
//   named data file must be a regular file of the folder, opened beneath
//   it without passing any link (a link swapped in is refused at the open).
// - Check undoes journals newest first and redoes them oldest first by the
//   number in their name; replayed data files are synced before the journal
//   is removed (and the folder synced). A file without the header magic is
//   reported (jsSkipping) and left; an incomplete one (its header reads as
//   zeros when it never reached the disk) is removed, an empty
//   one (made ahead) removed without a word;
//   a complete one that cannot be replayed is reported (jsTrash), the
//   application is asked to end, and Check raises with the journal kept.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dictionary/engine_types.h"
#include "platform/file_ops.h"
#include "storage/server_exceptions.h"
#include "storage/storage_types.h"

namespace revurov {

class TnxBaseFile;
class TnxJournalSupply;

REVUROV_EXCEPTION_CLASS(EnxBaseJournalEngineException, EnxServerException);
REVUROV_EXCEPTION_CLASS(Enx1xJournalEngineException, EnxBaseJournalEngineException);

inline constexpr uint32_t nxJournalHeaderSize = 12;
inline constexpr uint32_t nxJournalEntryHeaderSize = 268;

class TnxBaseJournalEngine {
public:
  explicit TnxBaseJournalEngine(std::u16string aFileName) : bjeFileName(std::move(aFileName)) {}
  virtual ~TnxBaseJournalEngine() = default;
  TnxBaseJournalEngine(const TnxBaseJournalEngine&) = delete;
  TnxBaseJournalEngine& operator=(const TnxBaseJournalEngine&) = delete;

  const std::u16string& FileName() const noexcept { return bjeFileName; }

  // By the supply that hands the journal out; aPrepared: its empty file
  // exists and its name is durable.
  void Supplied(TnxJournalSupply& aSupply, uint32_t aNumber, bool aPrepared) noexcept {
    bjeSupply = &aSupply;
    bjeNumber = aNumber;
    bjePrepared = aPrepared;
  }

  virtual void PrepareJournal() = 0;
  // One changed block of aFile, images as the file holds them on disk;
  // aBefore is nil for a block without committed contents.
  virtual void AddBlock(const TnxBaseFile& aFile, TnxBlockNumber aBlockNumber, const uint8_t* aBefore,
                        const uint8_t* aAfter) = 0;
  virtual void FinalizeJournal() = 0;
  // Removes the journal durably; raises when it cannot.
  virtual void Invalidate() = 0;

protected:
  std::u16string bjeFileName;
  TnxJournalSupply* bjeSupply = nullptr;
  uint32_t bjeNumber = 0;
  bool bjePrepared = false;
};

class Tnx1xJournalEngine : public TnxBaseJournalEngine {
public:
  explicit Tnx1xJournalEngine(std::u16string aFileName, platform::TFileOps& aOps = platform::FileOps());
  ~Tnx1xJournalEngine() override;

  // 0 both images, 1 after images only, 2 before images only.
  virtual int32_t jeJournalKind() const noexcept { return 0; }

  void PrepareJournal() override;
  void AddBlock(const TnxBaseFile& aFile, TnxBlockNumber aBlockNumber, const uint8_t* aBefore,
                const uint8_t* aAfter) override;
  void FinalizeJournal() override;
  void Invalidate() override;

  // Recovers the folder aPath with the rules of a class of kind aKind (which
  // decides a complete journal of kind 0); aAlias only goes to the hook.
  static void Check(std::u16string_view aAlias, std::u16string_view aPath, int32_t aKind = 0);

private:
  void jeWriteHeader(bool aComplete);
  void jeWriteEntry(std::string_view aName, TnxBlockSize aBlockSize, TnxBlockNumber aBlockNumber, bool aBeforeImage,
                    const uint8_t* aImage, uint32_t aBytes);
  void jeSync();
  [[noreturn]] void Raise(std::u16string_view aWhat, int aError) const;

  platform::TFileOps& jeOps;
  platform::TFileHandle jeJournalFile = platform::InvalidFileHandle;
  std::string jeOsName;
  std::string jeFolder;
  std::string jeRealFolder;  // the folder with links resolved, once known
  int64_t jeSize = 0;
  bool jeComplete = false;
  bool jeInvalidated = false;
};

class Tnx1xCommitJournalEngine final : public Tnx1xJournalEngine {
public:
  using Tnx1xJournalEngine::Tnx1xJournalEngine;
  int32_t jeJournalKind() const noexcept override { return 1; }
  static void Check(std::u16string_view aAlias, std::u16string_view aPath) {
    Tnx1xJournalEngine::Check(aAlias, aPath, 1);
  }
};

class Tnx1xRollbackJournalEngine final : public Tnx1xJournalEngine {
public:
  using Tnx1xJournalEngine::Tnx1xJournalEngine;
  int32_t jeJournalKind() const noexcept override { return 2; }
  static void Check(std::u16string_view aAlias, std::u16string_view aPath) {
    Tnx1xJournalEngine::Check(aAlias, aPath, 2);
  }
};

}  // namespace revurov
