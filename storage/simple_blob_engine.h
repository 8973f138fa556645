// The simple BLOB engine ("nx1xSimple"): every BLOB is a singly linked
// chain of whole "NXBH" blocks of the table file, and its number is the
// number of the chain's first block (the high 32 bits a change counter in
// files of engine version 47005 and up).
//
// Contract:
// - Writes land at their offsets: bytes after the written range stay as
//   they were, wherever the write starts; the length only grows.
// - File BLOBs and links are one block each; writing either, or truncating
//   either to another length, raises 10502. A name that does not fit the
//   block is refused with 9986 before a block is taken.
// - An end past 2,147,483,647 raises 15490 before anything changes.
// - Blocks come from disk and are untrusted: a chain longer than the file,
//   a used count above the data area, a name length past the block or a
//   chain that ends before the length raise 8962; a block of another kind
//   or number 11896; never a loop or a read outside a block.
#pragma once

#include <cstdint>
#include <string>

#include "storage/blob_engines.h"

namespace revurov {

class TnxBaseFileHeaderAccess;
class TnxBlockGuard;

REVUROV_EXCEPTION_CLASS(EnxSimpleBlobEngineException, EnxBaseBlobEngineException);

// Offsets of an "NXBH" block.
inline constexpr uint32_t nxbbKind = 16;
inline constexpr uint32_t nxbbNext = 17;
inline constexpr uint32_t nxbbLength = 21;
inline constexpr uint32_t nxbbUsed = 25;
inline constexpr uint32_t nxbbData = 27;

enum TnxSimpleBlobKind : uint8_t { nxsbkOrdinary = 0, nxsbkFile = 1, nxsbkLink = 2 };

class TnxSimpleBlobEngine : public TnxBaseBlobEngine {
  REVUROV_REGISTERABLE_RECORD(TnxSimpleBlobEngine, TnxBaseBlobEngine, TnxSubEngineClass, nullptr, nullptr,
                              &nxNewSubEngine<TnxSimpleBlobEngine>)

  explicit TnxSimpleBlobEngine(const TnxSubEngineArgs& aArgs);

  void AddBlob(TnxBaseTransaction& aTrans, TnxBlobNr& aBlobNr) override;
  void AddBlobLink(TnxBaseTransaction& aTrans, std::u16string_view aTableName, TnxBlobNr aTableBlobNr,
                   TnxBlobNr& aBlobNr) override;
  void AddFileBlob(TnxBaseTransaction& aTrans, std::u16string_view aFileName, TnxBlobNr& aBlobNr) override;
  void DeleteBlob(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr) override;
  bool FreeBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr) override;
  uint32_t GetBlobLength(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, const TnxBlobLinkGetLength& aLengthMethod,
                         uint32_t& aLength) override;
  bool IsFileBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::u16string& aFileName) override;
  bool IsBlobLink(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::u16string& aSrcTableName,
                  TnxBlobNr& aSrcTableBlobNr) override;
  uint32_t Read(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                const TnxBlobLinkRead& aReadMethod, platform::TStream& aStream) override;
  void Truncate(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, uint32_t aLen) override;
  void Write(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
             const void* aBlob) override;
  void IncBlobNr(TnxBlobNr& aBlobNr) override;

private:
  uint32_t DataSize() const noexcept;
  TnxBlockNumber FirstBlock(TnxBlobNr aBlobNr) const noexcept;
  // Fetches a checked "NXBH" block into aGuard (released first).
  PnxBlock ReadBlobBlock(TnxBaseTransaction* aTrans, bool aMarkDirty, TnxBlockGuard& aGuard,
                         TnxBlockNumber aBlockNumber);
  PnxBlock NewBlobBlock(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess, TnxBlockGuard& aGuard);
  // The most blocks a chain may have: the blocks of the file.
  uint32_t ChainLimit(TnxBaseTransaction* aTrans);
  // The block after aBlock, or 0 at the chain's end; counts the step.
  TnxBlockNumber NextOf(const uint8_t* aBlock, TnxBlockNumber aFirst, uint32_t& aSteps, uint32_t aLimit) const;
  std::u16string FileNameOf(const uint8_t* aBlock) const;
  void LinkOf(const uint8_t* aBlock, std::u16string& aTableName, TnxBlobNr& aBlobNr) const;
  std::string NameBytes(std::u16string_view aName, uint32_t aLimit) const;
  [[noreturn]] void RaiseDamaged(TnxBlockNumber aBlockNumber) const;
  [[noreturn]] void RaiseReadOnly(TnxBlobNr aBlobNr, uint8_t aKind) const;
};

void nxSimpleBlobEngineStartup();
void nxSimpleBlobEngineShutdown() noexcept;

}  // namespace revurov
