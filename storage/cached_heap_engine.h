// The heap every table uses: segments in data blocks ("NXHD") laid out by
// the block heap, and the data blocks that still have room tracked in a
// chain of management blocks ("NXHM") whose first number the owner's
// handler keeps in the file header. The management blocks are mirrored in
// memory with two orders of the tracked blocks, so choosing a block for a
// new segment reads only the chosen block.
//
// Contract:
// - Callers serialise the changes to one heap (one changing transaction
//   at a time); the engine takes no locks.
// - The mirror is loaded on first use and dropped by Rollback of any level
//   of a transaction that changed the heap; the next use reloads it.
// - Management blocks from disk are untrusted: a count above the entries a
//   block holds, an entry naming a block outside the file or tracked twice,
//   or a chain that loops gives 8962; a block of another kind or number
//   gives 15416, a number outside the file 15409. Nothing is changed then.
// - Data blocks with no segments left are deleted at once; blocks with
//   less than heCutoffSize bytes of room are not tracked.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "storage/heap_engines.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxCachedHeapEngineException, EnxBaseHeapEngineException);

// Offsets of a management block after the common header.
inline constexpr uint32_t nxhmNext = 16;
inline constexpr uint32_t nxhmCount = 20;
inline constexpr uint32_t nxhmEntries = 22;
inline constexpr uint32_t nxhmEntrySize = 6;

struct TnxHeapDataBlockInfo {
  uint32_t hdbiBlockNumber = 0;
  uint16_t hdbiFreeSpace = 0;
};

struct TnxHeapManagmentBlockInfo {
  uint32_t hmpiBlockNumber = 0;
  std::vector<TnxHeapDataBlockInfo> hmpiBlockInfos;
};

class TnxCachedHeapEngine : public TnxBaseHeapEngine {
  REVUROV_REGISTERABLE_RECORD(TnxCachedHeapEngine, TnxBaseHeapEngine, TnxHeapEngineClass,
                              &TnxCachedHeapEngine::CreateFromDescriptor)

  TnxCachedHeapEngine(TnxBaseHeapDescriptor& aDescriptor, std::unique_ptr<TnxHeapHeaderHandler> aHeaderHandler,
                      TnxBlockAccess& aDataFile);
  static std::unique_ptr<TnxBaseHeapEngine> CreateFromDescriptor(TnxBaseHeapDescriptor& aDescriptor,
                                                                 std::unique_ptr<TnxHeapHeaderHandler> aHeaderHandler,
                                                                 TnxBlockAccess& aDataFile);

  TnxHeapRef AllocSegment(TnxBaseTransaction& aTrans, std::span<const void* const> aPointers,
                          std::span<const uint16_t> aSizes) override;
  TnxHeapRef AllocSegmentEx(TnxBaseTransaction& aTrans, std::span<const void* const> aPointers,
                            std::span<const uint32_t> aSizes, uint16_t aMinSize, uint16_t& aSize, uint16_t aHeaderSize,
                            uint16_t aItemSize, bool aNoSplit) override;
  TnxHeapRef ReAllocSegmentEx(TnxBaseTransaction& aTrans, PnxBlock aBlock, TnxSegmentRef aSegment,
                              std::span<const void* const> aPointers, std::span<const uint32_t> aSizes,
                              uint16_t aMinSize, uint16_t& aSize, uint16_t aHeaderSize, uint16_t aItemSize,
                              bool aNoSplit) override;
  uint8_t* GetSegment(TnxBaseTransaction* aTrans, TnxHeapRef aHeapRef, bool aMarkDirty, uint16_t& aSegmentSize,
                      PnxBlock& aBlock, TnxReleaseMethod& aReleaseMethod) override;
  PnxBlock ReadBlockHeap(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, bool aMarkDirty,
                         TnxReleaseMethod& aReleaseMethod) override;
  void Rollback(TnxBaseTransaction& aTrans) override;
  TnxBlockSignature SigDataBlock() const override;
  void BlockHeapChanged(PnxBlock aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                        uint16_t aRecoverableSpace) override;

  // Reads the management chain into the mirror (checked first).
  void LoadManagmentBlocks(TnxBaseTransaction* aTrans);

  uint16_t heMaxEntries = 0;
  uint16_t heCutoffSize = 40;
  bool heManagmentBlocksLoaded = false;
  std::vector<TnxHeapManagmentBlockInfo> heManagmentBlocks;
  uint16_t heFirstNonFullIndex = 0xFFFF;
  // Tracked block -> (management block index, entry index).
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> heByBlockNumber;
  // (free space, block number); the last is the block with the most room.
  std::set<std::pair<uint16_t, uint32_t>> heByFreeSpace;
  TnxBaseTransaction* heCurrentTrans = nullptr;

private:
  using TByBlockNumber = std::map<uint32_t, std::pair<uint32_t, uint32_t>>;
  // The tracked block found last: allocations go to the same block (the one
  // with the most room) again and again. Valid only while heLastTrackedSet;
  // anything that erases from or replaces heByBlockNumber clears it.
  TByBlockNumber::iterator heLastTracked;
  bool heLastTrackedSet = false;
  TByBlockNumber::iterator FindTracked(uint32_t aBlockNumber);
  PnxBlock ReadHeapBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, TnxReleaseMethod& aReleaseMethod,
                         bool aMarkDirty, const TnxBlockSignature& aSignature, bool aFromMirror = false);
  void EnsureLoaded(TnxBaseTransaction* aTrans) {
    if (!heManagmentBlocksLoaded) LoadManagmentBlocks(aTrans);
  }
  void DropMirror() noexcept;
  PnxBlock NewDataBlock(TnxBaseTransaction& aTrans, TnxReleaseMethod& aReleaseMethod);
  PnxBlock NewManagmentBlock(TnxBaseTransaction& aTrans, TnxReleaseMethod& aReleaseMethod);
  void DeleteDataBlock(TnxBaseTransaction& aTrans, PnxBlock aBlock);
  void FreeEmptyManagmentBlocks(TnxBaseTransaction& aTrans);
  // The block with the most room when it takes aTotal (or, splitting, at
  // least aMinSize, lowering aTotal); else a new block when one can hold
  // aMinSize (aTotal cut to a block); else no block.
  struct TTarget;
  void ChooseTarget(TnxBaseTransaction& aTrans, uint32_t& aTotal, uint16_t aMinSize, bool aNoSplit,
                    TTarget& aTarget);
  [[noreturn]] void RaiseDamagedMap(TnxBlockNumber aBlockNumber) const;
};

// Registers the engine as the heap family's "nx1xDefault".
void nxCachedHeapEngineStartup();
void nxCachedHeapEngineShutdown() noexcept;

}  // namespace revurov
