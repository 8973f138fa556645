#include "storage/cached_heap_engine.h"

#include <algorithm>
#include <cstring>

#include "dictionary/storage_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/block_access.h"
#include "storage/header_access.h"

namespace revurov {

using platform::LoadU16;
using platform::LoadU32;
using platform::StoreU16;
using platform::StoreU32;

namespace {

constexpr TnxBlockSignature kDataBlockSig{'N', 'X', 'H', 'D'};
constexpr TnxBlockSignature kMapBlockSig{'N', 'X', 'H', 'M'};

bool ValidBlockFor(TnxBlockAccess& aAccess, TnxBlockNumber aBlock, TnxBaseTransaction* aTrans) {
  return aAccess.ValidBlock(aBlock, aTrans);
}

uint32_t EntryAt(uint32_t aIndex) { return nxhmEntries + nxhmEntrySize * aIndex; }

uint32_t SumSizes(std::span<const uint32_t> aSizes) {
  uint64_t total = 0;
  for (uint32_t size : aSizes) total += size;
  return static_cast<uint32_t>(std::min<uint64_t>(total, 0xFFFFFFFFu));
}

// Copies the parts in order into a segment of aSize bytes; a part without
// a pointer comes from the same offset of aOld (when there is one and it
// reaches that far) or is left as it is.
void CopyParts(uint8_t* aTarget, uint32_t aSize, std::span<const void* const> aPointers,
               std::span<const uint32_t> aSizes, const uint8_t* aOld, uint32_t aOldSize) {
  uint32_t at = 0;
  for (size_t i = 0; i < aSizes.size() && at < aSize; ++i) {
    const uint32_t part = std::min(aSizes[i], aSize - at);
    const void* from = i < aPointers.size() ? aPointers[i] : nullptr;
    if (from) {
      if (part > 0) std::memmove(aTarget + at, from, part);
    } else if (aOld && aOldSize > at) {
      const uint32_t kept = std::min(part, aOldSize - at);
      if (kept > 0) std::memmove(aTarget + at, aOld + at, kept);
    }
    at += part;
  }
}

}  // namespace

struct TnxCachedHeapEngine::TTarget {
  TnxBlockGuard Guard;
  PnxBlock Block = nullptr;
};

TnxCachedHeapEngine::TnxCachedHeapEngine(TnxBaseHeapDescriptor& aDescriptor,
                                         std::unique_ptr<TnxHeapHeaderHandler> aHeaderHandler,
                                         TnxBlockAccess& aDataFile)
    : TnxBaseHeapEngine(aDescriptor, std::move(aHeaderHandler), aDataFile) {
  heMaxEntries = static_cast<uint16_t>(std::min<uint32_t>((aDataFile.fiBlockSizeBytes() - nxhmEntries) / nxhmEntrySize,
                                                          0xFFFF));
  if (nxHeapRefsCounted(bseTableVersion))
    bheHeapRefMask = static_cast<TnxHeapRef>(0xFFFFFFFF00000000ull | bheBlockHeapEngine->bbheSegmentRefMask);
}

std::unique_ptr<TnxBaseHeapEngine> TnxCachedHeapEngine::CreateFromDescriptor(
    TnxBaseHeapDescriptor& aDescriptor, std::unique_ptr<TnxHeapHeaderHandler> aHeaderHandler,
    TnxBlockAccess& aDataFile) {
  return std::make_unique<TnxCachedHeapEngine>(aDescriptor, std::move(aHeaderHandler), aDataFile);
}

void nxCachedHeapEngineStartup() { TnxCachedHeapEngine::ClassInfo().Register(nxDefaultStorageEngine); }
void nxCachedHeapEngineShutdown() noexcept { TnxCachedHeapEngine::ClassInfo().Unregister(); }

TnxBlockSignature TnxCachedHeapEngine::SigDataBlock() const { return kDataBlockSig; }

void TnxCachedHeapEngine::RaiseDamagedMap(TnxBlockNumber aBlockNumber) const {
  throw EnxCachedHeapEngineException(nxeCorruptFile, u"Damaged heap management block [%s, block %d]",
                                     {bheDataFile->fiName(), static_cast<int64_t>(aBlockNumber)});
}

PnxBlock TnxCachedHeapEngine::ReadHeapBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber,
                                            TnxReleaseMethod& aReleaseMethod, bool aMarkDirty,
                                            const TnxBlockSignature& aSignature, bool aFromMirror) {
  // The mirror's numbers were checked when it was loaded or are blocks
  // this heap made since; any rollback drops it. The block itself is still
  // checked below.
  TnxBlockGuard guard;
  if (aFromMirror)
    guard.Hold(bheDataFile->GetBlock(aTrans, aBlockNumber, bseID, aMarkDirty, guard.ReleaseMethod()));
  else
    guard.Hold(bheDataFile->GetUsedBlock(aTrans, aBlockNumber, bseID, aMarkDirty, guard.ReleaseMethod()));
  if (!guard.Block())
    throw EnxCachedHeapEngineException(nxeInvalidBlockNumber,
                                       u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                       {bheDataFile->fiName(), static_cast<int64_t>(aBlockNumber)});
  const TnxBlockCommonHeader header = nxLoadBlockCommonHeader(guard.Block());
  if (header.bchSignature != aSignature || header.bchThisBlock != aBlockNumber)
    throw EnxCachedHeapEngineException(nxeNotAHeapBlock,
                                       u"Block just read from file is not a valid heap block [%s, block %d]",
                                       {bheDataFile->fiName(), static_cast<int64_t>(aBlockNumber)});
  const PnxBlock block = guard.Block();
  aReleaseMethod = std::exchange(guard.ReleaseMethod(), {});
  return block;
}

PnxBlock TnxCachedHeapEngine::ReadBlockHeap(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber, bool aMarkDirty,
                                            TnxReleaseMethod& aReleaseMethod) {
  return ReadHeapBlock(aTrans, aBlockNumber, aReleaseMethod, aMarkDirty, kDataBlockSig);
}

void TnxCachedHeapEngine::DropMirror() noexcept {
  heLastTrackedSet = false;
  heManagmentBlocks.clear();
  heByBlockNumber.clear();
  heByFreeSpace.clear();
  heManagmentBlocksLoaded = false;
  heFirstNonFullIndex = 0xFFFF;
}

void TnxCachedHeapEngine::LoadManagmentBlocks(TnxBaseTransaction* aTrans) {
  DropMirror();
  std::vector<TnxHeapManagmentBlockInfo> blocks;
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> byBlock;
  std::set<std::pair<uint16_t, uint32_t>> byFree;
  std::set<uint32_t> seen;
  {
    auto header = bheDataFile->HeaderAccess(aTrans, false);
    TnxBlockNumber number = GetFirstMapBlock(*header);
    while (number != 0) {
      // A chain that comes back to a block would never end.
      if (!seen.insert(number).second || blocks.size() >= 0xFFFF) RaiseDamagedMap(number);
      TnxBlockGuard guard;
      guard.Hold(ReadHeapBlock(aTrans, number, guard.ReleaseMethod(), false, kMapBlockSig));
      const uint8_t* b = guard.Block();
      const uint32_t count = LoadU16(b + nxhmCount);
      if (count > heMaxEntries) RaiseDamagedMap(number);
      TnxHeapManagmentBlockInfo info;
      info.hmpiBlockNumber = number;
      info.hmpiBlockInfos.resize(count);
      for (uint32_t e = 0; e < count; ++e) {
        TnxHeapDataBlockInfo& entry = info.hmpiBlockInfos[e];
        entry.hdbiBlockNumber = LoadU32(b + EntryAt(e));
        entry.hdbiFreeSpace = LoadU16(b + EntryAt(e) + 4);
        if (!ValidBlockFor(*bheDataFile, entry.hdbiBlockNumber, aTrans) ||
            !byBlock.emplace(entry.hdbiBlockNumber, std::pair{static_cast<uint32_t>(blocks.size()), e}).second)
          RaiseDamagedMap(number);
        byFree.emplace(entry.hdbiFreeSpace, entry.hdbiBlockNumber);
      }
      blocks.push_back(std::move(info));
      number = LoadU32(b + nxhmNext);
    }
  }
  heManagmentBlocks = std::move(blocks);
  heLastTrackedSet = false;
  heByBlockNumber = std::move(byBlock);
  heByFreeSpace = std::move(byFree);
  for (size_t m = 0; m < heManagmentBlocks.size(); ++m) {
    if (heManagmentBlocks[m].hmpiBlockInfos.size() < heMaxEntries) {
      heFirstNonFullIndex = static_cast<uint16_t>(m);
      break;
    }
  }
  heManagmentBlocksLoaded = true;
}

PnxBlock TnxCachedHeapEngine::NewDataBlock(TnxBaseTransaction& aTrans, TnxReleaseMethod& aReleaseMethod) {
  auto header = bheDataFile->HeaderAccess(&aTrans, true);
  TnxBlockGuard guard;
  guard.Hold(header->GetNewBlock(aTrans, bseID, guard.ReleaseMethod()));
  std::memcpy(guard.Block(), kDataBlockSig.data(), 4);
  try {
    bheBlockHeapEngine->InitBlock(guard.Block());
    LinkDataBlock(aTrans, *header, guard.Block());
  } catch (...) {
    header->DeleteBlock(aTrans, guard.Block());
    throw;
  }
  const PnxBlock block = guard.Block();
  aReleaseMethod = std::exchange(guard.ReleaseMethod(), {});
  return block;
}

PnxBlock TnxCachedHeapEngine::NewManagmentBlock(TnxBaseTransaction& aTrans, TnxReleaseMethod& aReleaseMethod) {
  auto header = bheDataFile->HeaderAccess(&aTrans, true);
  TnxBlockGuard guard;
  guard.Hold(header->GetNewBlock(aTrans, bseID, guard.ReleaseMethod()));
  const TnxBlockNumber number = nxLoadBlockCommonHeader(guard.Block()).bchThisBlock;
  std::memcpy(guard.Block(), kMapBlockSig.data(), 4);
  try {
    StoreU32(guard.Block() + nxhmNext, 0);
    StoreU16(guard.Block() + nxhmCount, 0);
    // Entries beyond the count read as zero.
    std::memset(guard.Block() + nxhmEntries, 0, static_cast<size_t>(heMaxEntries) * nxhmEntrySize);
    if (heManagmentBlocks.empty()) {
      SetFirstMapBlock(*header, number);
    } else {
      TnxBlockGuard last;
      last.Hold(ReadHeapBlock(&aTrans, heManagmentBlocks.back().hmpiBlockNumber, last.ReleaseMethod(), true,
                              kMapBlockSig, true));
      StoreU32(last.Block() + nxhmNext, number);
    }
    TnxHeapManagmentBlockInfo info;
    info.hmpiBlockNumber = number;
    heManagmentBlocks.push_back(std::move(info));
  } catch (...) {
    header->DeleteBlock(aTrans, guard.Block());
    throw;
  }
  if (heFirstNonFullIndex == 0xFFFF) heFirstNonFullIndex = static_cast<uint16_t>(heManagmentBlocks.size() - 1);
  const PnxBlock block = guard.Block();
  aReleaseMethod = std::exchange(guard.ReleaseMethod(), {});
  return block;
}

void TnxCachedHeapEngine::DeleteDataBlock(TnxBaseTransaction& aTrans, PnxBlock aBlock) {
  auto header = bheDataFile->HeaderAccess(&aTrans, true);
  UnlinkDataBlock(aTrans, *header, aBlock);
  header->DeleteBlock(aTrans, aBlock);
}

void TnxCachedHeapEngine::FreeEmptyManagmentBlocks(TnxBaseTransaction& aTrans) {
  bool deleted = false;
  auto header = bheDataFile->HeaderAccess(&aTrans, true);
  while (!heManagmentBlocks.empty() && heManagmentBlocks.back().hmpiBlockInfos.empty()) {
    TnxBlockGuard guard;
    guard.Hold(ReadHeapBlock(&aTrans, heManagmentBlocks.back().hmpiBlockNumber, guard.ReleaseMethod(), true,
                             kMapBlockSig, true));
    header->DeleteBlock(aTrans, guard.Block());
    heManagmentBlocks.pop_back();
    deleted = true;
  }
  if (!deleted) return;
  if (heManagmentBlocks.empty()) {
    SetFirstMapBlock(*header, 0);
  } else {
    TnxBlockGuard last;
    last.Hold(ReadHeapBlock(&aTrans, heManagmentBlocks.back().hmpiBlockNumber, last.ReleaseMethod(), true,
                            kMapBlockSig, true));
    StoreU32(last.Block() + nxhmNext, 0);
  }
  if (heFirstNonFullIndex != 0xFFFF && heFirstNonFullIndex >= heManagmentBlocks.size()) heFirstNonFullIndex = 0xFFFF;
}

TnxCachedHeapEngine::TByBlockNumber::iterator TnxCachedHeapEngine::FindTracked(uint32_t aBlockNumber) {
  if (heLastTrackedSet && heLastTracked->first == aBlockNumber) return heLastTracked;
  const auto found = heByBlockNumber.find(aBlockNumber);
  heLastTrackedSet = found != heByBlockNumber.end();
  if (heLastTrackedSet) heLastTracked = found;
  return found;
}

void TnxCachedHeapEngine::BlockHeapChanged(PnxBlock aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                                           uint16_t aRecoverableSpace) {
  // Blocks change only under the heap's own changing calls, each of which
  // names its transaction; without one nothing can be written, and the
  // mirror is reloaded rather than trusted.
  if (!heCurrentTrans) {
    DropMirror();
    return;
  }
  TnxBaseTransaction& trans = *heCurrentTrans;
  const uint16_t free = static_cast<uint16_t>(aFreeSpaceSize + aRecoverableSpace);
  EnsureLoaded(&trans);
  const uint32_t number = nxLoadBlockCommonHeader(aBlock).bchThisBlock;
  const auto tracked = FindTracked(number);
  if (tracked != heByBlockNumber.end()) {
    const auto [m, e] = tracked->second;
    std::vector<TnxHeapDataBlockInfo>& entries = heManagmentBlocks[m].hmpiBlockInfos;
    const uint16_t old = entries[e].hdbiFreeSpace;
    // Freeing a last segment of 1 or 2 bytes can leave the room as it was
    // (the reserve of 8 recoverable bytes takes it); the block must still go.
    if (old == free && aSegmentCount != 0) return;
    TnxBlockGuard map;
    map.Hold(
        ReadHeapBlock(&trans, heManagmentBlocks[m].hmpiBlockNumber, map.ReleaseMethod(), true, kMapBlockSig, true));
    uint8_t* b = map.Block();
    if (aSegmentCount != 0 && free >= heCutoffSize) {
      // The node is reused: no allocation on the path of every change. The
      // block is most often the one with the most room, the last node.
      const std::pair<uint16_t, uint32_t> key{old, number};
      auto node = !heByFreeSpace.empty() && *heByFreeSpace.rbegin() == key
                      ? heByFreeSpace.extract(std::prev(heByFreeSpace.end()))
                      : heByFreeSpace.extract(key);
      StoreU16(b + EntryAt(e) + 4, free);
      entries[e].hdbiFreeSpace = free;
      if (node) {
        node.value() = {free, number};
        heByFreeSpace.insert(std::move(node));
      } else {
        heByFreeSpace.emplace(free, number);
      }
      return;
    }
    heByFreeSpace.erase({old, number});
    heLastTrackedSet = false;
    heByBlockNumber.erase(tracked);
    const uint32_t last = static_cast<uint32_t>(entries.size() - 1);
    if (e != last) {
      // The last entry fills the gap, on disk and in the mirror.
      entries[e] = entries[last];
      heByBlockNumber[entries[e].hdbiBlockNumber] = {m, e};
      std::memmove(b + EntryAt(e), b + EntryAt(last), nxhmEntrySize);
    }
    std::memset(b + EntryAt(last), 0, nxhmEntrySize);
    if (aSegmentCount == 0) DeleteDataBlock(trans, aBlock);
    entries.pop_back();
    StoreU16(b + nxhmCount, static_cast<uint16_t>(entries.size()));
    map.Release();
    if (entries.empty() && m + 1 == heManagmentBlocks.size()) {
      FreeEmptyManagmentBlocks(trans);
    } else if (!entries.empty() && m < heFirstNonFullIndex) {
      heFirstNonFullIndex = static_cast<uint16_t>(m);
    }
    return;
  }
  if (aSegmentCount == 0) {
    DeleteDataBlock(trans, aBlock);
    return;
  }
  if (free < heCutoffSize) return;
  TnxBlockGuard map;
  if (heFirstNonFullIndex == 0xFFFF) {
    map.Hold(NewManagmentBlock(trans, map.ReleaseMethod()));
  } else {
    map.Hold(ReadHeapBlock(&trans, heManagmentBlocks[heFirstNonFullIndex].hmpiBlockNumber, map.ReleaseMethod(), true,
                           kMapBlockSig, true));
  }
  const uint32_t m = heFirstNonFullIndex;
  std::vector<TnxHeapDataBlockInfo>& entries = heManagmentBlocks[m].hmpiBlockInfos;
  const uint32_t e = static_cast<uint32_t>(entries.size());
  uint8_t* b = map.Block();
  StoreU16(b + nxhmCount, static_cast<uint16_t>(e + 1));
  StoreU32(b + EntryAt(e), number);
  StoreU16(b + EntryAt(e) + 4, free);
  entries.push_back({number, free});
  heByBlockNumber[number] = {m, e};
  heByFreeSpace.emplace(free, number);
  if (entries.size() >= heMaxEntries) {
    heFirstNonFullIndex = 0xFFFF;
    for (size_t i = 0; i < heManagmentBlocks.size(); ++i) {
      if (heManagmentBlocks[i].hmpiBlockInfos.size() < heMaxEntries) {
        heFirstNonFullIndex = static_cast<uint16_t>(i);
        break;
      }
    }
  }
}

void TnxCachedHeapEngine::ChooseTarget(TnxBaseTransaction& aTrans, uint32_t& aTotal, uint16_t aMinSize,
                                       bool aNoSplit, TTarget& aTarget) {
  const uint16_t max = bheBlockHeapEngine->bbheMaxSegmentSize;
  if (!heByFreeSpace.empty() && max >= aTotal) {
    const auto [free, number] = *heByFreeSpace.rbegin();
    if (free >= aMinSize && (free >= aTotal || !aNoSplit)) {
      aTotal = std::min<uint32_t>(aTotal, free);
      aTarget.Block = ReadHeapBlock(&aTrans, number, aTarget.Guard.ReleaseMethod(), true, kDataBlockSig, true);
      aTarget.Guard.Hold(aTarget.Block);
      return;
    }
  }
  // A request larger than a block opens a new one and fills it.
  if (max >= aMinSize) {
    aTarget.Block = NewDataBlock(aTrans, aTarget.Guard.ReleaseMethod());
    aTarget.Guard.Hold(aTarget.Block);
    aTotal = std::min<uint32_t>(aTotal, max);
  }
}

TnxHeapRef TnxCachedHeapEngine::AllocSegment(TnxBaseTransaction& aTrans, std::span<const void* const> aPointers,
                                             std::span<const uint16_t> aSizes) {
  // The parts are added in 32 bits: in 16 they wrap, and a wrapped total
  // would get a segment the copy runs past.
  uint32_t total = 0;
  for (uint16_t size : aSizes) total += size;
  if (total == 0 || total > bheBlockHeapEngine->bbheMaxSegmentSize) return 0;
  heCurrentTrans = &aTrans;
  EnsureLoaded(&aTrans);
  TnxBlockGuard guard;
  if (!heByFreeSpace.empty() && heByFreeSpace.rbegin()->first >= total) {
    guard.Hold(
        ReadHeapBlock(&aTrans, heByFreeSpace.rbegin()->second, guard.ReleaseMethod(), true, kDataBlockSig, true));
  } else {
    guard.Hold(NewDataBlock(aTrans, guard.ReleaseMethod()));
  }
  const TnxBlockNumber number = nxLoadBlockCommonHeader(guard.Block()).bchThisBlock;
  TnxSegmentRef segment = 0;
  uint8_t* p = bheBlockHeapEngine->AllocSegment(guard.Block(), static_cast<uint16_t>(total), segment);
  // The tracked room said it fits.
  if (!p) RaiseDamagedMap(number);
  uint32_t at = 0;
  for (size_t i = 0; i < aSizes.size(); ++i) {
    const void* from = i < aPointers.size() ? aPointers[i] : nullptr;
    if (from && aSizes[i] > 0) std::memcpy(p + at, from, aSizes[i]);
    at += aSizes[i];
  }
  return nxMakeHeapRef(number, segment);
}

TnxHeapRef TnxCachedHeapEngine::AllocSegmentEx(TnxBaseTransaction& aTrans, std::span<const void* const> aPointers,
                                               std::span<const uint32_t> aSizes, uint16_t aMinSize, uint16_t& aSize,
                                               uint16_t aHeaderSize, uint16_t aItemSize, bool aNoSplit) {
  if (aItemSize == 0) throw EnxCachedHeapEngineException(nxeInvalidParameter, u"Invalid parameter.");
  uint32_t total = std::max<uint32_t>(SumSizes(aSizes), aMinSize);
  if (total == 0) return 0;
  heCurrentTrans = &aTrans;
  EnsureLoaded(&aTrans);
  TTarget target;
  ChooseTarget(aTrans, total, aMinSize, aNoSplit, target);
  if (!target.Block) return 0;
  const uint32_t size =
      total < aHeaderSize ? total : aHeaderSize + aItemSize * ((total - aHeaderSize) / aItemSize);
  const TnxBlockNumber number = nxLoadBlockCommonHeader(target.Block).bchThisBlock;
  TnxSegmentRef segment = 0;
  uint8_t* p = bheBlockHeapEngine->AllocSegment(target.Block, static_cast<uint16_t>(size), segment);
  if (!p) RaiseDamagedMap(number);
  aSize = static_cast<uint16_t>(size);
  CopyParts(p, size, aPointers, aSizes, nullptr, 0);
  return nxMakeHeapRef(number, segment);
}

TnxHeapRef TnxCachedHeapEngine::ReAllocSegmentEx(TnxBaseTransaction& aTrans, PnxBlock aBlock, TnxSegmentRef aSegment,
                                                 std::span<const void* const> aPointers,
                                                 std::span<const uint32_t> aSizes, uint16_t aMinSize, uint16_t& aSize,
                                                 uint16_t aHeaderSize, uint16_t aItemSize, bool aNoSplit) {
  if (aItemSize == 0) throw EnxCachedHeapEngineException(nxeInvalidParameter, u"Invalid parameter.");
  uint32_t total = std::max<uint32_t>(SumSizes(aSizes), aMinSize);
  if (total == 0) return 0;
  heCurrentTrans = &aTrans;
  EnsureLoaded(&aTrans);
  TnxBaseBlockHeapEngine& blocks = *bheBlockHeapEngine;
  const uint32_t inPlaceSize = std::min<uint32_t>(total, blocks.bbheMaxSegmentSize);
  const TnxBlockNumber oldNumber = nxLoadBlockCommonHeader(aBlock).bchThisBlock;
  uint8_t* p = blocks.ReAllocSegment(aBlock, static_cast<uint16_t>(inPlaceSize), aSegment);
  TTarget target;
  PnxBlock block = aBlock;
  if (p) {
    total = inPlaceSize;
  } else {
    ChooseTarget(aTrans, total, aMinSize, aNoSplit, target);
    if (!target.Block) return 0;
    // The block with the most room may be this one: work on the copy held.
    if (nxLoadBlockCommonHeader(target.Block).bchThisBlock == oldNumber) target.Guard.Release();
    block = target.Guard ? target.Block : aBlock;
  }
  const uint32_t size =
      total < aHeaderSize ? total : aHeaderSize + aItemSize * ((total - aHeaderSize) / aItemSize);
  const TnxBlockNumber number = nxLoadBlockCommonHeader(block).bchThisBlock;
  TnxSegmentRef segment = aSegment;
  if (p) {
    CopyParts(p, size, aPointers, aSizes, nullptr, 0);
  } else {
    p = blocks.AllocSegment(block, static_cast<uint16_t>(size), segment);
    if (!p) RaiseDamagedMap(number);
    // Fetched after the allocation, which may have packed this block.
    uint16_t oldSize = 0;
    const uint8_t* old = blocks.GetSegment(aBlock, aSegment, oldSize);
    CopyParts(p, size, aPointers, aSizes, old, oldSize);
    blocks.FreeSegment(aBlock, aSegment);
  }
  aSize = static_cast<uint16_t>(size);
  return nxMakeHeapRef(number, segment);
}

uint8_t* TnxCachedHeapEngine::GetSegment(TnxBaseTransaction* aTrans, TnxHeapRef aHeapRef, bool aMarkDirty,
                                         uint16_t& aSegmentSize, PnxBlock& aBlock, TnxReleaseMethod& aReleaseMethod) {
  aSegmentSize = 0;
  aBlock = ReadHeapBlock(aTrans, nxHeapRefBlock(aHeapRef), aReleaseMethod, aMarkDirty, kDataBlockSig);
  if (aMarkDirty) heCurrentTrans = aTrans;
  try {
    return bheBlockHeapEngine->GetSegment(aBlock, nxHeapRefSegment(aHeapRef), aSegmentSize);
  } catch (...) {
    std::exchange(aReleaseMethod, {})(aBlock);
    aBlock = nullptr;
    throw;
  }
}

void TnxCachedHeapEngine::Rollback(TnxBaseTransaction& aTrans) {
  if (&aTrans == heCurrentTrans) DropMirror();
}

}  // namespace revurov
