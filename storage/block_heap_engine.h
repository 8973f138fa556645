// The non-fragmenting block heap: variable-size segments inside one block
// buffer, addressed by slot numbers that never change while the segment
// lives. Freed and shrunk space is counted and won back by compacting the
// block when an allocation or a growth needs it.
//
// Contract:
// - Compaction moves every segment: a payload pointer taken before an
//   AllocSegment or ReAllocSegment on the same block is dead afterwards.
// - Blocks come from disk and are untrusted. Every operation checks the
//   slot count, the tail area and what it touches (an entry, a size word,
//   the free-slot chain's head); compaction checks the whole block. A bad
//   block raises 8962 naming the file and block, never a read or write
//   outside the block, and is left as it was.
// - Segment references are whole 32-bit slot numbers: a reference with
//   counter bits is refused as invalid (15492); owners mask it first.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "storage/heap_engines.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxNonfragmentingBlockHeapEngineException, EnxBaseBlockHeapEngineException);

class TnxNonfragmentingBlockHeapEngine : public TnxBaseBlockHeapEngine {
  REVUROV_REGISTERABLE_RECORD(TnxNonfragmentingBlockHeapEngine, TnxBaseBlockHeapEngine, TnxBlockHeapEngineClass,
                              &TnxNonfragmentingBlockHeapEngine::CreateFromDescriptor)

  TnxNonfragmentingBlockHeapEngine(int32_t aID, int32_t aTableVersion, uint16_t aHeaderSize, uint32_t aBlockSize);
  ~TnxNonfragmentingBlockHeapEngine() override;
  static std::unique_ptr<TnxBaseBlockHeapEngine> CreateFromDescriptor(TnxBaseBlockHeapDescriptor& aDescriptor,
                                                                      int32_t aTableVersion, uint16_t aHeaderSize,
                                                                      uint32_t aBlockSize);

  void InitBlock(uint8_t* aBlock) override;
  uint8_t* AllocSegment(uint8_t* aBlock, uint16_t aSegmentSize, TnxSegmentRef& aSegment) override;
  uint8_t* ReAllocSegment(uint8_t* aBlock, uint16_t aNewSegmentSize, TnxSegmentRef aSegment) override;
  void FreeSegment(uint8_t* aBlock, TnxSegmentRef aSegment) override;
  uint8_t* GetSegment(uint8_t* aBlock, TnxSegmentRef aSegment, uint16_t& aSegmentSize) override;
  uint8_t* GetNextSegment(uint8_t* aBlock, TnxSegmentRef& aSegment, uint16_t& aSegmentSize) override;
  uint8_t* GetPrevSegment(uint8_t* aBlock, TnxSegmentRef& aSegment, uint16_t& aSegmentSize) override;
  uint16_t GetFreespace(const uint8_t* aBlock) override;
  // Packs the live segments to the front in slot order, the resized one
  // (0: none) with its new size; frees the trailing dead slots and chains
  // the other dead ones lowest first.
  void CompactBlock(uint8_t* aBlock, TnxSegmentRef aResizeSegment, uint16_t aNewSegmentSize);

  // Offset of the first segment.
  uint16_t bheHeaderSize;

protected:
  void DoChanged(uint8_t* aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                 uint16_t aRecoverableSpace) override;

private:
  struct TScratchRelease {
    void operator()(uint8_t* aBlock) const noexcept;
  };

  [[noreturn]] void RaiseDamaged(const uint8_t* aBlock) const;
  // Checks the slot count, the counters and the tail area; answers C.
  uint32_t CheckBlock(const uint8_t* aBlock) const;
  // The live segment's offset, its size word checked; 15492/15493 else.
  uint32_t LiveSegment(const uint8_t* aBlock, uint32_t aCount, TnxSegmentRef aSegment, bool aFreeing) const;
  uint16_t TailSize(const uint8_t* aBlock) const;

  std::unique_ptr<uint8_t, TScratchRelease> bheTempBlock;
  // One live segment of a packing: where it is and where it goes.
  struct TMove {
    uint32_t Slot, Source, Target, Size, NewSize;
  };
  // Kept between packings so that a packing allocates nothing.
  std::vector<TMove> bheMoves;
};

// Registers the engine as the block heap family's "nx1xDefault".
void nxBlockHeapEngineStartup();
void nxBlockHeapEngineShutdown() noexcept;

}  // namespace revurov
