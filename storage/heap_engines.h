// Heap references and the block heap base.
//
// A heap reference is (block number << 32) | segment reference; the
// segment reference holds the 1-based slot in bits 0..15 and, in files of
// engine version 47005 and up, a reuse counter in bits 16..31. The owner
// masks the counter off before a reference locates a segment; heap
// operations take references as given.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "storage/release_method.h"
#include "storage/storage_types.h"
#include "storage/sub_engines.h"

namespace revurov {

using TnxSegmentRef = uint32_t;

// First engine version whose references carry reuse counters.
inline constexpr int32_t nxHeapRefCounterVersion = 47005;

inline constexpr bool nxHeapRefsCounted(int32_t aTableVersion) noexcept {
  return aTableVersion >= nxHeapRefCounterVersion;
}
inline constexpr TnxSegmentRef nxSegmentRefMask(int32_t aTableVersion) noexcept {
  return nxHeapRefsCounted(aTableVersion) ? 0x0000FFFFu : 0xFFFFFFFFu;
}
inline constexpr TnxHeapRef nxHeapRefMask(int32_t aTableVersion) noexcept {
  return nxHeapRefsCounted(aTableVersion) ? static_cast<TnxHeapRef>(0xFFFFFFFF0000FFFFull)
                                          : static_cast<TnxHeapRef>(~0ull);
}
inline constexpr TnxBlockNumber nxHeapRefBlock(TnxHeapRef aRef) noexcept {
  return static_cast<TnxBlockNumber>(static_cast<uint64_t>(aRef) >> 32);
}
inline constexpr TnxSegmentRef nxHeapRefSegment(TnxHeapRef aRef) noexcept {
  return static_cast<TnxSegmentRef>(static_cast<uint64_t>(aRef));
}
inline constexpr TnxHeapRef nxMakeHeapRef(TnxBlockNumber aBlock, TnxSegmentRef aSegment) noexcept {
  return static_cast<TnxHeapRef>((static_cast<uint64_t>(aBlock) << 32) | aSegment);
}
// Bumps the counter (16-bit wrap, never into the slot or the block number);
// files without counters keep the reference as it is.
inline constexpr TnxSegmentRef nxIncSegmentRef(TnxSegmentRef aRef, int32_t aTableVersion) noexcept {
  if (!nxHeapRefsCounted(aTableVersion)) return aRef;
  return (aRef & 0xFFFFu) | (((aRef >> 16) + 1u) & 0xFFFFu) << 16;
}
inline constexpr TnxHeapRef nxIncHeapRef(TnxHeapRef aRef, int32_t aTableVersion) noexcept {
  return nxMakeHeapRef(nxHeapRefBlock(aRef), nxIncSegmentRef(nxHeapRefSegment(aRef), aTableVersion));
}

REVUROV_EXCEPTION_CLASS(EnxBaseBlockHeapEngineException, EnxBaseException);
REVUROV_EXCEPTION_CLASS(EnxBaseHeapEngineException, EnxBaseException);

class TnxBaseBlockHeapDescriptor;
class TnxBaseBlockHeapEngine;
class TnxBaseHeapDescriptor;

extern TnxClassRegistry nxBlockHeapEngines;
extern TnxClassRegistry nxHeapEngines;

class TnxHeapHeaderHandler;

// Block heap classes are built from their descriptor and the block shape.
struct TnxBlockHeapEngineClass : TnxSubEngineClass {
  std::unique_ptr<TnxBaseBlockHeapEngine> (*CreateBlockHeap)(TnxBaseBlockHeapDescriptor& aDescriptor,
                                                             int32_t aTableVersion, uint16_t aHeaderSize,
                                                             uint32_t aBlockSize) = nullptr;
};

// (block, live segments, free space, recoverable space)
using TnxBlockHeapChangedEvent = std::function<void(uint8_t*, uint16_t, uint16_t, uint16_t)>;

// Lays segments out inside one block buffer; knows nothing of files.
class TnxBaseBlockHeapEngine : public TnxBaseSubEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseBlockHeapEngine, TnxBaseSubEngine, TnxBlockHeapEngineClass, &nxBlockHeapEngines)

  TnxBaseBlockHeapEngine(int32_t aID, int32_t aTableVersion, uint16_t aHeaderSize, uint32_t aBlockSize)
      : TnxBaseSubEngine(aID, aTableVersion), bbheBlockSize(aBlockSize), bbheHeaderSize(aHeaderSize) {}

  // Null for a null descriptor; an unknown engine name raises 15503.
  static std::unique_ptr<TnxBaseBlockHeapEngine> CreateEngine(TnxBaseBlockHeapDescriptor* aDescriptor,
                                                              uint32_t aBlockSize, uint16_t aHeaderSize,
                                                              int32_t aTableVersion);
  static void CheckValidBaseFromDescriptor(TnxBaseBlockHeapDescriptor* aDescriptor);

  virtual void InitBlock(uint8_t* aBlock) = 0;
  // Nil (and aSegment 0) when the block has no room.
  virtual uint8_t* AllocSegment(uint8_t* aBlock, uint16_t aSegmentSize, TnxSegmentRef& aSegment) = 0;
  // Nil when the segment cannot grow in this block; nothing changed then.
  virtual uint8_t* ReAllocSegment(uint8_t* aBlock, uint16_t aNewSegmentSize, TnxSegmentRef aSegment) = 0;
  virtual void FreeSegment(uint8_t* aBlock, TnxSegmentRef aSegment) = 0;
  virtual uint8_t* GetSegment(uint8_t* aBlock, TnxSegmentRef aSegment, uint16_t& aSegmentSize) = 0;
  virtual uint8_t* GetNextSegment(uint8_t* aBlock, TnxSegmentRef& aSegment, uint16_t& aSegmentSize) = 0;
  virtual uint8_t* GetPrevSegment(uint8_t* aBlock, TnxSegmentRef& aSegment, uint16_t& aSegmentSize) = 0;
  virtual uint16_t GetFreespace(const uint8_t* aBlock) = 0;
  virtual void IncSegmentRef(TnxSegmentRef& aSegmentRef) { aSegmentRef = nxIncSegmentRef(aSegmentRef, bseTableVersion); }

  uint32_t bbheBlockSize;
  uint16_t bbheHeaderSize;
  uint16_t bbheMaxSegmentSize = 0;
  TnxBlockHeapChangedEvent bbheOnChanged;
  TnxSegmentRef bbheSegmentRefMask = 0xFFFFFFFFu;
  // Names the file in the damage errors; set by the owning heap.
  std::u16string bbheFileName;

protected:
  virtual void DoChanged(uint8_t* aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                         uint16_t aRecoverableSpace) {
    if (bbheOnChanged) bbheOnChanged(aBlock, aSegmentCount, aFreeSpaceSize, aRecoverableSpace);
  }
};

class TnxBaseFileHeaderAccess;
class TnxBaseHeapEngine;
class TnxBaseTransaction;
class TnxBlockAccess;

// Supplied by the heap's owner: how its data blocks are chained and where
// in its header section the first map block is kept. The section offset
// is the one the owner registered.
class TnxHeapHeaderHandler {
public:
  virtual ~TnxHeapHeaderHandler() = default;
  virtual void LinkDataBlock(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess, PnxBlock aBlock) = 0;
  virtual void UnlinkDataBlock(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess,
                               PnxBlock aBlock) = 0;
  virtual uint16_t GetBlockHeaderSize() const { return nxBlockCommonHeaderSize; }
  virtual TnxBlockNumber GetFirstMapBlock(TnxBaseFileHeaderAccess& aHeaderAccess) = 0;
  virtual void SetFirstMapBlock(TnxBaseFileHeaderAccess& aHeaderAccess, TnxBlockNumber aBlockNumber) = 0;

  // Set by the heap that owns the handler.
  TnxBaseHeapEngine* hhhEngine = nullptr;
};

// Heap classes are built from their descriptor, the owner's handler and
// the data file.
struct TnxHeapEngineClass : TnxSubEngineClass {
  std::unique_ptr<TnxBaseHeapEngine> (*CreateHeap)(TnxBaseHeapDescriptor& aDescriptor,
                                                   std::unique_ptr<TnxHeapHeaderHandler> aHeaderHandler,
                                                   TnxBlockAccess& aDataFile) = nullptr;
};

// Owns a set of data blocks of one file and addresses segments by heap
// references; the chain and root bookkeeping go through the handler.
class TnxBaseHeapEngine : public TnxBaseSubEngine {
public:
  static const TnxHeapEngineClass& ClassInfo() noexcept;
  const TnxHeapEngineClass& ClassType() const noexcept override { return ClassInfo(); }

  // Takes the handler and builds the block heap its descriptor names for
  // the file's block size and the handler's block header (10004 without
  // a block heap descriptor, 15503 for an unknown name).
  TnxBaseHeapEngine(TnxBaseHeapDescriptor& aDescriptor, std::unique_ptr<TnxHeapHeaderHandler> aHeaderHandler,
                    TnxBlockAccess& aDataFile);
  ~TnxBaseHeapEngine() override;

  // Null for a null descriptor; an unknown engine name raises 15503.
  static std::unique_ptr<TnxBaseHeapEngine> CreateEngine(TnxBaseHeapDescriptor* aDescriptor,
                                                         TnxBlockAccess& aDataFile,
                                                         std::unique_ptr<TnxHeapHeaderHandler> aHeaderHandler);

  // A heap descriptor needs a block heap descriptor (10004) whose engine
  // is known (15503).
  static void CheckValidDescriptor(TnxBaseHeapDescriptor& aDescriptor);
  static void CheckValidBaseFromDescriptor(TnxBaseHeapDescriptor* aDescriptor);
  static void CheckValidItem(TnxDictionaryItem& aDescriptor);

  // One segment holding the parts in order (a null pointer reserves its
  // part uninitialised); 0 when the parts add up to 0 or more than a block
  // holds.
  virtual TnxHeapRef AllocSegment(TnxBaseTransaction& aTrans, std::span<const void* const> aPointers,
                                  std::span<const uint16_t> aSizes) = 0;
  // A segment of at least aMinSize and at most the parts' total, aSize
  // bytes: aHeaderSize plus whole items of aItemSize; aNoSplit refuses a
  // smaller one in a block that has some room. 0 (aSize untouched) when
  // nothing can be had.
  virtual TnxHeapRef AllocSegmentEx(TnxBaseTransaction& aTrans, std::span<const void* const> aPointers,
                                    std::span<const uint32_t> aSizes, uint16_t aMinSize, uint16_t& aSize,
                                    uint16_t aHeaderSize, uint16_t aItemSize, bool aNoSplit) = 0;
  // Resizes segment aSegment of the held block aBlock, in place when it
  // can, else moves it; a null pointer keeps that part's old bytes. The
  // segment's payload pointers are dead afterwards.
  virtual TnxHeapRef ReAllocSegmentEx(TnxBaseTransaction& aTrans, PnxBlock aBlock, TnxSegmentRef aSegment,
                                      std::span<const void* const> aPointers, std::span<const uint32_t> aSizes,
                                      uint16_t aMinSize, uint16_t& aSize, uint16_t aHeaderSize, uint16_t aItemSize,
                                      bool aNoSplit) = 0;
  // The payload of a segment; the caller releases aBlock through
  // aReleaseMethod.
  virtual uint8_t* GetSegment(TnxBaseTransaction* aTrans, TnxHeapRef aHeapRef, bool aMarkDirty,
                              uint16_t& aSegmentSize, PnxBlock& aBlock, TnxReleaseMethod& aReleaseMethod) = 0;
  virtual void Rollback(TnxBaseTransaction& aTrans) = 0;
  virtual TnxBlockSignature SigDataBlock() const = 0;
  // A data block of the heap; aMarkDirty fetches it for change in aTrans.
  virtual PnxBlock ReadBlockHeap(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, bool aMarkDirty,
                                 TnxReleaseMethod& aReleaseMethod) = 0;
  virtual void LinkDataBlock(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess, PnxBlock aBlock) {
    bheHeaderHandler->LinkDataBlock(aTrans, aHeaderAccess, aBlock);
  }
  virtual void UnlinkDataBlock(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess, PnxBlock aBlock) {
    bheHeaderHandler->UnlinkDataBlock(aTrans, aHeaderAccess, aBlock);
  }
  virtual TnxBlockNumber GetFirstMapBlock(TnxBaseFileHeaderAccess& aHeaderAccess) {
    return bheHeaderHandler->GetFirstMapBlock(aHeaderAccess);
  }
  virtual void SetFirstMapBlock(TnxBaseFileHeaderAccess& aHeaderAccess, TnxBlockNumber aBlockNumber) {
    bheHeaderHandler->SetFirstMapBlock(aHeaderAccess, aBlockNumber);
  }
  virtual void IncHeapRef(TnxHeapRef& aHeapRef) { aHeapRef = nxIncHeapRef(aHeapRef, bseTableVersion); }
  // The block heap's change notification: a block now holds aSegmentCount
  // segments with this much room.
  virtual void BlockHeapChanged(PnxBlock aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                                uint16_t aRecoverableSpace) = 0;

  // No counter bits masked here; a concrete heap narrows it.
  TnxHeapRef bheHeapRefMask = static_cast<TnxHeapRef>(~0ull);
  // Declared before the block heap, so it is freed after it.
  std::unique_ptr<TnxHeapHeaderHandler> bheHeaderHandler;
  std::unique_ptr<TnxBaseBlockHeapEngine> bheBlockHeapEngine;
  TnxBlockAccess* bheDataFile;
};

// The segmented blob engine's heap: 16-byte block headers, no chain, the
// first map block at section offset 0.
class TnxSegmentedBlobHeapHeaderHandler : public TnxHeapHeaderHandler {
public:
  explicit TnxSegmentedBlobHeapHeaderHandler(uint16_t aHeaderSection) : bhhhHeaderSection(aHeaderSection) {}
  void LinkDataBlock(TnxBaseTransaction&, TnxBaseFileHeaderAccess&, PnxBlock) override {}
  void UnlinkDataBlock(TnxBaseTransaction&, TnxBaseFileHeaderAccess&, PnxBlock) override {}
  TnxBlockNumber GetFirstMapBlock(TnxBaseFileHeaderAccess& aHeaderAccess) override;
  void SetFirstMapBlock(TnxBaseFileHeaderAccess& aHeaderAccess, TnxBlockNumber aBlockNumber) override;

  uint16_t bhhhHeaderSection;
};

// Offsets of the record heaps' chain: in a data block after the common
// header, and in the record engine's section.
inline constexpr uint32_t nxrhBlockNext = 16;
inline constexpr uint32_t nxrhBlockPrev = 20;
inline constexpr uint32_t nxrhSectionFirst = 4;
inline constexpr uint32_t nxrhSectionLast = 8;
inline constexpr uint32_t nxrhSectionFirstMap = 12;

// The variable record engines' heap: 24-byte block headers, data blocks
// doubly linked in the order they were linked.
class TnxVariableRecordHeapHeaderHandler : public TnxHeapHeaderHandler {
public:
  explicit TnxVariableRecordHeapHeaderHandler(uint16_t aHeaderSection) : rhhhHeaderSection(aHeaderSection) {}
  void LinkDataBlock(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess, PnxBlock aBlock) override;
  void UnlinkDataBlock(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess, PnxBlock aBlock) override;
  uint16_t GetBlockHeaderSize() const override { return 24; }
  TnxBlockNumber GetFirstMapBlock(TnxBaseFileHeaderAccess& aHeaderAccess) override;
  void SetFirstMapBlock(TnxBaseFileHeaderAccess& aHeaderAccess, TnxBlockNumber aBlockNumber) override;

  uint16_t rhhhHeaderSection;

private:
  // Sets one chain link of block aNumber (read for change and released).
  void SetLink(TnxBaseTransaction& aTrans, TnxBlockNumber aNumber, uint32_t aOffset, TnxBlockNumber aValue);
};

class TnxVariableVersionedRecordHeapHeaderHandler : public TnxVariableRecordHeapHeaderHandler {
public:
  using TnxVariableRecordHeapHeaderHandler::TnxVariableRecordHeapHeaderHandler;
};

void nxHeapFamiliesStartup();
void nxHeapFamiliesShutdown() noexcept;

}  // namespace revurov
