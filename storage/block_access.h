// The view through which the sub-engines read the blocks of one logical
// file of a table: the root file (ID 0) or a file stored inside it, whose
// blocks carry its owner ID.
//
// Contract:
// - The file is attached to a buffer manager (AddFile) for the whole life
//   of the access; otherwise construction raises 9986.
// - GetBlock hands out a block only when the header format accepts it as
//   block n of this logical file; otherwise it releases the block (the
//   release method is called and cleared) before the format's error
//   (8962) propagates.
// - Block 0 is never a valid data block.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "lowlevel/heap/memory_manager.h"
#include "storage/release_method.h"
#include "storage/storage_types.h"

namespace revurov {

class TnxBaseFile;
class TnxBaseFileHeaderAccess;
class TnxBaseTransaction;
class TnxBufferManager;

class TnxBlockAccess : public TnxObject {
public:
  TnxBlockAccess(TnxBaseFile& aFile, TnxBlockAccess* aMain, std::u16string_view aBaseName, int32_t aID);

  PnxBlock GetBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, int32_t aID,
                    TnxReleaseMethod& aReleaseMethod) {
    return GetBlock(aTrans, aBlockNumber, aID, false, aReleaseMethod);
  }
  // With aMarkDirty, aTrans's copy for change.
  PnxBlock GetBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, int32_t aID, bool aMarkDirty,
                    TnxReleaseMethod& aReleaseMethod);
  // GetBlock for a block ValidBlock(aBlockNumber, aTrans) accepts, the
  // count and the block taken together; nil, with nothing held, for one it
  // refuses.
  PnxBlock GetUsedBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, int32_t aID, bool aMarkDirty,
                        TnxReleaseMethod& aReleaseMethod);
  // Asks for the memory of these blocks where they are cached, so that
  // taking them one after another finds it at hand; takes nothing.
  void PrefetchBlocks(std::span<const TnxBlockNumber> aNumbers);
  // A header accessor of the file's format for this logical file; the
  // caller frees it within its operation.
  std::unique_ptr<TnxBaseFileHeaderAccess> HeaderAccess(TnxBaseTransaction* aTrans, bool aMarkDirty);
  // Numbers below the accessor's used blocks, block 0 excepted.
  bool ValidBlock(TnxBlockNumber aBlockNumber, const TnxBaseFileHeaderAccess& aHeaderAccess) const;
  // Root file of an encrypted table only; otherwise 12289.
  void ChangePassword(TnxBaseTransaction& aTrans, std::u16string_view aNewPassword);
  // Numbers below the file's used-block count as aTrans sees it (the
  // blocks it added count), block 0 excepted.
  bool ValidBlock(TnxBlockNumber aBlockNumber, TnxBaseTransaction* aTrans) const;
  // The LSN of the file's header as last read or committed.
  TnxLSN CurrentLSN() const;
  // With a transaction, the header's LSN as that transaction sees it.
  TnxLSN CurrentLSN(TnxBaseTransaction* aTrans);

  TnxBlockNumber HeaderBlock() const noexcept { return baHeaderBlock; }
  // A nested table's sub-header, once its root header named it.
  void SetHeaderBlock(TnxBlockNumber aBlock) noexcept { baHeaderBlock = aBlock; }
  int32_t ID() const noexcept { return baID; }
  TnxBlockAccess* Main() const noexcept { return baMain; }
  const std::u16string& BaseName() const noexcept { return baBaseName; }
  const std::u16string& fiName() const noexcept;
  uint32_t fiBlockSizeBytes() const noexcept;
  TnxBaseFile& File() const noexcept { return baFile; }
  TnxBufferManager& BufferManager() const noexcept { return baBufferManager; }

private:
  TnxBaseFile& baFile;
  TnxBufferManager& baBufferManager;
  TnxBlockNumber baHeaderBlock = 0;
  int32_t baID;
  TnxBlockAccess* baMain;
  std::u16string baBaseName;
};

}  // namespace revurov
