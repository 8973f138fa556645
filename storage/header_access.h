// The header accessor: a short-lived view of one table file's header block
// for one transaction, through which engines allocate and release blocks
// and find their named header sections. "NX!1" files keep a free chain and
// six fixed sections; "NX!2" files cache up to 20 free numbers in block 0,
// keep the rest in a stack of free block map blocks ("FBMH"), carve named
// sections downwards from the section top, and map nested tables to their
// own sub-header blocks through the section "SubHeaders" and its overflow
// chain of "CHOF" blocks.
//
// Contract:
// - Every change is made on the transaction's copy of block 0 and of the
//   map and overflow blocks, so the transaction's rollback restores it.
// - Allocating, releasing and creating a section need an accessor fetched
//   for change (aMarkDirty or MarkDirty); otherwise 9218. At the file's
//   block limit allocation raises 9479 and changes nothing.
// - The header and the blocks it names are untrusted: a count, offset,
//   capacity or block number out of range, or a chain longer than the file,
//   raises 8961 or 8962 naming the file, never a read or write outside a
//   block.
// - An accessor of a nested table allocates and releases through its main
//   (root) accessor; its sections live in its own sub-header.
// - DeleteBlock takes over the block: in "NX!2" files its copy is usually
//   discarded, so the caller must not touch it again (only release it).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "lowlevel/heap/memory_manager.h"
#include "storage/release_method.h"
#include "storage/storage_types.h"

namespace revurov {

class TnxBaseFile;
class TnxBaseTransaction;
class TnxBlockAccess;

// Free numbers block 0 of an "NX!2" file caches; a spill keeps the oldest
// kept, a refill fills up to refilled.
inline constexpr uint32_t nxFreeCacheSize = 20;
inline constexpr uint32_t nxFreeCacheKept = 5;
inline constexpr uint32_t nxFreeCacheRefilled = 15;

// The sub-header directory of nested tables in the root header.
inline constexpr char nxSubHeadersSection[] = "SubHeaders";
inline constexpr uint8_t nxSubHeadersSectionSize = 253;
inline constexpr uint32_t nxSubHeadersPairs = 31;
inline constexpr uint32_t nxSubHeadersChain = 248;
inline constexpr uint32_t nxSubHeadersCount = 252;

// Body offsets of a free block map block and of a sub-header overflow block.
inline constexpr uint32_t nxfbmNext = 16;
inline constexpr uint32_t nxfbmCapacity = 20;
inline constexpr uint32_t nxfbmEntries = 24;
inline constexpr uint32_t nxfbmFirst = 28;
inline constexpr uint32_t nxchofNext = 16;
inline constexpr uint32_t nxchofCapacity = 20;
inline constexpr uint32_t nxchofCount = 22;
inline constexpr uint32_t nxchofFirst = 24;

class TnxBaseFileHeaderAccess : public TnxObject {
public:
  ~TnxBaseFileHeaderAccess() override;

  uint32_t UsedBlocks() const;
  // "NX!1": the free chain's length; "NX!2": the free numbers cached in block 0.
  uint32_t AvailableBlocks() const;
  TnxLSN CurrentLSN() const;
  PnxBlock Header() const noexcept { return bfhaHeader.Block(); }
  bool IsDirty() const noexcept { return bfhaIsDirty; }
  TnxBlockAccess& BlockAccess() const noexcept { return *bfhaBlockAccess; }
  TnxBaseFileHeaderAccess* MainHeader() const noexcept { return bfhaMainHeader.get(); }

  // Fetches the header again for change unless it is already.
  void MarkDirty(TnxBaseTransaction* aTrans);

  // A block for aTrans, for change, its own number set and ("NX!2") its
  // owner aID; the caller fills the body and releases it.
  virtual PnxBlock GetNewBlock(TnxBaseTransaction& aTrans, int32_t aID, TnxReleaseMethod& aReleaseMethod) = 0;
  // Gives a block the caller holds for change back to the free space.
  virtual void DeleteBlock(TnxBaseTransaction& aTrans, PnxBlock aBlock) = 0;
  // The offset of section aName (1 to 255 ANSI characters, letter case
  // ignored) in this accessor's header block.
  virtual uint16_t RegisterHeaderSection(std::string_view aName, uint8_t aSize, bool aCreate, bool aOverwrite) = 0;
  virtual void ChangePassword(std::u16string_view aNewPassword);

protected:
  TnxBaseFileHeaderAccess(bool aMarkDirty, TnxBlockAccess& aBlockAccess);
  // The after-construction step of every accessor: the main accessor of a
  // nested table first, then the header.
  template <class TAccess>
  static std::unique_ptr<TnxBaseFileHeaderAccess> Make(TnxBaseTransaction* aTrans, bool aMarkDirty,
                                                       TnxBlockAccess& aBlockAccess);
  virtual void LoadHeader(TnxBaseTransaction* aTrans);
  virtual std::u16string_view ClassName() const noexcept = 0;

  void CheckDirty() const;
  // 8961 and 8962 with the file's name; raised as the accessor's class.
  [[noreturn]] virtual void RaiseCorruptHeader(std::u16string_view aWhat) const = 0;
  [[noreturn]] virtual void RaiseCorruptBlock(std::u16string_view aWhat, uint32_t aBlock) const = 0;
  // Raises 8962 unless aBlock may be a data block of this header's file.
  void CheckBlockNumber(uint32_t aBlock, std::u16string_view aWhat) const;
  // A block of the file through this accessor's block access.
  PnxBlock FetchBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlock, int32_t aID, bool aMarkDirty,
                      TnxReleaseMethod& aReleaseMethod);
  // A block new to aTrans's view of the file, numbered aBlock.
  PnxBlock AddBlock(TnxBaseTransaction& aTrans, TnxBlockNumber aBlock, TnxReleaseMethod& aReleaseMethod);
  // The next block number past the used blocks; 9479 at the file's limit.
  TnxBlockNumber GrowFile();

  TnxBaseFile* bfhaHeaderFile;
  bool bfhaIsDirty;
  TnxBlockGuard bfhaHeader;  // the header block and its release method
  TnxBlockAccess* bfhaBlockAccess;
  std::unique_ptr<TnxBaseFileHeaderAccess> bfhaMainHeader;
};

using TnxFileHeaderAccessPtr = std::unique_ptr<TnxBaseFileHeaderAccess>;

class TnxCommonFileHeaderAccess : public TnxBaseFileHeaderAccess {
protected:
  using TnxBaseFileHeaderAccess::TnxBaseFileHeaderAccess;
};

class Tnx1xFileHeaderAccess final : public TnxCommonFileHeaderAccess {
public:
  static TnxFileHeaderAccessPtr Create(TnxBaseTransaction* aTrans, bool aMarkDirty, TnxBlockAccess& aBlockAccess);
  Tnx1xFileHeaderAccess(bool aMarkDirty, TnxBlockAccess& aBlockAccess)
      : TnxCommonFileHeaderAccess(aMarkDirty, aBlockAccess) {}

  PnxBlock GetNewBlock(TnxBaseTransaction& aTrans, int32_t aID, TnxReleaseMethod& aReleaseMethod) override;
  void DeleteBlock(TnxBaseTransaction& aTrans, PnxBlock aBlock) override;
  // Only the six fixed sections; aSize and aOverwrite play no part.
  uint16_t RegisterHeaderSection(std::string_view aName, uint8_t aSize, bool aCreate, bool aOverwrite) override;

protected:
  std::u16string_view ClassName() const noexcept override { return u"Tnx1xFileHeaderAccess"; }
  [[noreturn]] void RaiseCorruptHeader(std::u16string_view aWhat) const override;
  [[noreturn]] void RaiseCorruptBlock(std::u16string_view aWhat, uint32_t aBlock) const override;
};

class Tnx2xFileHeaderAccess final : public TnxCommonFileHeaderAccess {
public:
  static TnxFileHeaderAccessPtr Create(TnxBaseTransaction* aTrans, bool aMarkDirty, TnxBlockAccess& aBlockAccess);
  Tnx2xFileHeaderAccess(bool aMarkDirty, TnxBlockAccess& aBlockAccess)
      : TnxCommonFileHeaderAccess(aMarkDirty, aBlockAccess) {}

  PnxBlock GetNewBlock(TnxBaseTransaction& aTrans, int32_t aID, TnxReleaseMethod& aReleaseMethod) override;
  void DeleteBlock(TnxBaseTransaction& aTrans, PnxBlock aBlock) override;
  uint16_t RegisterHeaderSection(std::string_view aName, uint8_t aSize, bool aCreate, bool aOverwrite) override;
  void ChangePassword(std::u16string_view aNewPassword) override;
  // Root accessor only: the sub-header block of nested table aID. With a
  // transaction a missing one is made (aCreated set); without, 8961.
  TnxBlockNumber GetHeaderBlockForID(TnxBaseTransaction* aTrans, int32_t aID, bool* aCreated = nullptr);

protected:
  void LoadHeader(TnxBaseTransaction* aTrans) override;
  std::u16string_view ClassName() const noexcept override { return u"Tnx2xFileHeaderAccess"; }
  [[noreturn]] void RaiseCorruptHeader(std::u16string_view aWhat) const override;
  [[noreturn]] void RaiseCorruptBlock(std::u16string_view aWhat, uint32_t aBlock) const override;

private:
  struct TPair {
    int32_t ID;
    uint32_t Block;
  };
  // Checked count of the free numbers cached in block 0.
  uint32_t CachedCount() const;
  // Moves free numbers from the head map into the cache; an emptied map
  // block is handed back in aHandedBack.
  void Refill(TnxBaseTransaction& aTrans, TnxBlockGuard& aHandedBack);
  // Moves all but the oldest cached numbers into the head map; answers true
  // when aBlock (number aNumber) had to become a new map block.
  bool Spill(TnxBaseTransaction& aTrans, PnxBlock aBlock, TnxBlockNumber aNumber);
  // Offset of the section or 0 when it is absent and not created.
  uint16_t FindSection(std::string_view aName, uint8_t aSize, bool aCreate, bool aOverwrite);
  void InsertSubHeader(TnxBaseTransaction& aTrans, uint32_t aSection, TPair aPair);
  // A new "CHOF" block holding aPair.
  TnxBlockNumber NewOverflowBlock(TnxBaseTransaction& aTrans, TPair aPair);
  // Checks an overflow block's capacity and count; answers the count.
  uint32_t OverflowCount(const uint8_t* aBlock, TnxBlockNumber aNumber) const;
};

}  // namespace revurov
