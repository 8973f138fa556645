// The static record engine: records at their full, fixed length in slots
// of "NXDH" data blocks. A reference number is (block number << 32) |
// slot, slots counted from 1.
//
// Geometry from the usable block size U and the record length L: N slots
// of S bytes each cost S bytes and one bitmap bit; the slots fill the end
// of the block from offset F, the bitmap of B bytes starts at 32.
//
// Contract:
// - Data blocks are chained in allocation order and never given back; a
//   block with free slots is on the free list; a free slot's first two
//   bytes link the block's next free slot.
// - Blocks and the header section come from disk and are untrusted: a
//   chain longer than the file, a slot link above N, a free chain that
//   loops into a used slot or a count out of range give 15413 or 8961 (a
//   block outside the file 15409), never a hang or a read outside a block.
// - A record length below 2 would let a free slot's link overlap the next
//   slot: the dictionary check refuses it with 15495.
// - Delivery by pointer (aData pointing to a null pointer) hands out the
//   record inside the block; the pointer is valid inside the iterator call
//   only and is null again afterwards.
// - Every change runs in the caller's transaction.
#pragma once

#include <cstdint>

#include "storage/sub_engines.h"

namespace revurov {

class TnxBaseFileHeaderAccess;
class TnxBlockGuard;

REVUROV_EXCEPTION_CLASS(EnxStaticRecordEngineException, EnxBaseRecordEngineException);

// Offsets of the header section and of a data block.
inline constexpr uint32_t nxrsRecordCount = 0;
inline constexpr uint32_t nxrsFirstBlock = 4;
inline constexpr uint32_t nxrsLastBlock = 8;
inline constexpr uint32_t nxrsFreeSlots = 12;
inline constexpr uint32_t nxrsFreeHead = 16;
inline constexpr uint8_t nxrsSectionSize = 20;
inline constexpr uint32_t nxrbNext = 16;
inline constexpr uint32_t nxrbPrev = 20;
inline constexpr uint32_t nxrbNextFree = 24;
inline constexpr uint32_t nxrbFirstFree = 28;
inline constexpr uint32_t nxrbUsed = 30;
inline constexpr uint32_t nxrbBitmap = 32;

struct TnxStaticRecordGeometry {
  uint16_t RecsPerBlock = 0;    // N
  uint16_t InUseArraySize = 0;  // B
  uint16_t RecordLength = 0;    // S, the slot size
  uint16_t FirstRecordOffset = 0;  // F
};
// N = 0 when not even one record fits.
TnxStaticRecordGeometry nxStaticRecordGeometry(uint32_t aUsableSize, uint16_t aRecordLength) noexcept;

inline constexpr TnxRefNr nxMakeRefNr(TnxBlockNumber aBlock, uint32_t aSlot) noexcept {
  return static_cast<TnxRefNr>((uint64_t{aBlock} << 32) | aSlot);
}

class TnxStaticRecordEngine : public TnxBaseRecordEngine {
  REVUROV_REGISTERABLE_RECORD(TnxStaticRecordEngine, TnxBaseRecordEngine, TnxSubEngineClass, nullptr,
                              &TnxStaticRecordEngine::CheckValidDescriptor, &nxNewSubEngine<TnxStaticRecordEngine>)

  explicit TnxStaticRecordEngine(const TnxSubEngineArgs& aArgs);

  // aDescriptor is the whole table descriptor.
  static void CheckValidDescriptor(TnxDictionaryItem& aDescriptor);

  void AddRecord(TnxBaseTransaction& aTrans, TnxRefNr& aRefNr, PnxRecordBuffer aRecData) override;
  void DeleteRecord(TnxBaseTransaction& aTrans, TnxRefNr aRefNr) override;
  void ReadNextRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                      PnxRecordBuffer aRecData) override;
  void ReadPrevRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                      PnxRecordBuffer aRecData) override;
  void ReadRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aRecData) override;
  void UpdateRecord(TnxBaseTransaction& aTrans, TnxRefNr aRefNr, PnxRecordBuffer aNewRecord,
                    PnxRecordBuffer aOldRecord) override;
  void GetRecordCount(TnxBaseTransaction* aTrans, uint32_t& aCount) override;
  void Iterate(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer* aData,
               const TnxStorageRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter,
               bool aKeepPosition, bool aSkipFirst) override;
  void IterateBackward(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer* aData,
                       const TnxStorageRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter,
                       bool aKeepPosition, bool aSkipFirst) override;
  uint32_t RecNoGet(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter, uint32_t& aRecNo,
                    bool aFlipOrder) override;
  uint32_t RecNoSet(TnxBaseTransaction* aTrans, uint32_t aRecNo, TnxRefNr& aRefNr, TnxBaseFilterEngine* aFilter,
                    bool aFlipOrder) override;
  int32_t GetRecoverID() override { return reFileIsV1 ? 0 : bseID; }
  TnxRecordIteratorResult RecoverIterate(const uint8_t* aBlock, TnxBlockNumber aBlockNumber, PnxRecordBuffer* aData,
                                         const TnxStorageRecordIterator& aIterator, void* aCookie) override;
  TnxRecordIteratorResult ReadRecordForIterate(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer* aData,
                                               const TnxStorageRecordIterator& aIterator, void* aCookie,
                                               TnxBaseFilterEngine* aFilter) override;
  void ReplaceAllRecords(TnxBaseTransaction& aTrans, const TnxGetRecordCallback& aCallback) override;

  uint16_t reHeaderSection = 0;
  bool reDeleteBlocks = false;
  uint16_t reRecsPerBlock = 0;
  uint16_t reInUseArraySize = 0;
  uint16_t reRecordLength = 0;
  uint16_t reFirstRecordOffset = 0;
  bool reFileIsV1 = false;

private:
  void reCheckRefNr(TnxBaseTransaction* aTrans, TnxRefNr aRefNr);
  PnxBlock reGetDataBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, TnxBlockGuard& aBlock,
                          bool aForChange);
  // reCheckRefNr and reGetDataBlock of the record's block, with its answers.
  PnxBlock reGetRecordBlock(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBlockGuard& aBlock, bool aForChange);
  PnxBlock reNewDataBlock(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess, TnxBlockGuard& aBlock);
  uint32_t RecNoGetDir(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter, uint32_t& aRecNo,
                       bool aBackward);
  uint32_t RecNoSetDir(TnxBaseTransaction* aTrans, uint32_t aRecNo, TnxRefNr& aRefNr, TnxBaseFilterEngine* aFilter,
                       bool aBackward);
  void IterateDir(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer* aData,
                  const TnxStorageRecordIterator& aIterator, void* aCookie, TnxBaseFilterEngine* aFilter,
                  bool aKeepPosition, bool aBackward);
  void ReadNeighbour(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr, PnxRecordBuffer aRecData,
                     bool aBackward);
  // The next used slot after (backward: before) aSlot, 0 when none.
  uint32_t NextUsed(const uint8_t* aBlock, uint32_t aSlot, bool aBackward) const noexcept;
  uint8_t* Slot(PnxBlock aBlock, uint32_t aSlot) const noexcept {
    return aBlock + reFirstRecordOffset + (aSlot - 1) * uint32_t{reRecordLength};
  }
  bool InUse(const uint8_t* aBlock, uint32_t aSlot) const noexcept {
    return (aBlock[nxrbBitmap + (aSlot - 1) / 8] >> ((aSlot - 1) % 8)) & 1;
  }
  [[noreturn]] void RaiseNotADataBlock(TnxBlockNumber aBlock) const;
  [[noreturn]] void RaiseCorruptHeader() const;
  [[noreturn]] void RaiseDeleted(TnxRefNr aRefNr) const;
  void CheckInvariant(const uint8_t* aSection) const;
};

void nxStaticRecordEngineStartup();
void nxStaticRecordEngineShutdown() noexcept;

}  // namespace revurov
