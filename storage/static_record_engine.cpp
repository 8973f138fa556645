#include "storage/static_record_engine.h"

#include <cstring>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/filter_engines.h"
#include "dictionary/storage_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/block_access.h"
#include "storage/deadline.h"
#include "storage/files.h"
#include "storage/header_access.h"

namespace revurov {

using platform::LoadU16;
using platform::LoadU32;
using platform::StoreU16;
using platform::StoreU32;

namespace {

// Blocks the transaction added are not in the committed count yet; the
// count only grows, so the header is asked only above it.
bool ValidInTrans(TnxBlockAccess& aAccess, TnxBlockNumber aBlock, TnxBaseTransaction* aTrans) {
  if (aAccess.ValidBlock(aBlock, aTrans)) return true;
  return aBlock != 0 && aTrans && aAccess.ValidBlock(aBlock, *aAccess.HeaderAccess(aTrans, false));
}

constexpr TnxBlockSignature kDataBlockSig{'N', 'X', 'D', 'H'};

TnxBlockNumber BlockOf(TnxRefNr aRefNr) noexcept { return static_cast<TnxBlockNumber>(uint64_t(aRefNr) >> 32); }
uint32_t SlotOf(TnxRefNr aRefNr) noexcept { return static_cast<uint32_t>(uint64_t(aRefNr)); }

TnxBaseFilterEngine* ActiveFilter(TnxBaseFilterEngine* aFilter) {
  return aFilter && aFilter->GetActive() ? aFilter : nullptr;
}

// Scans test the deadline every thousand slots (at 2, 1002, ...) and
// before each block.
// The data dictionary at the root of a descriptor's tree, or null.
TnxDataDictionary* RootDictionary(TnxPersistent* aItem) {
  for (TnxPersistent* p = aItem; p;) {
    if (auto* dict = dynamic_cast<TnxDataDictionary*>(p)) return dict;
    auto* item = dynamic_cast<TnxDictionaryItem*>(p);
    p = item ? item->DirectParent() : nullptr;
  }
  return nullptr;
}

inline void SlotTick(uint32_t& aCounter) {
  if (++aCounter % 1000 == 2) nxCheckTimeout();
}

}  // namespace

TnxStaticRecordGeometry nxStaticRecordGeometry(uint32_t aUsableSize, uint16_t aRecordLength) noexcept {
  TnxStaticRecordGeometry g;
  if (aRecordLength == 0 || aUsableSize <= nxrbBitmap) return g;
  const uint32_t n = ((aUsableSize - nxrbBitmap) * 8) / (8 * uint32_t{aRecordLength} + 1);
  if (n == 0 || n > UINT16_MAX) return g;
  const uint32_t b = (n + 7) / 8;
  auto s = static_cast<uint16_t>((aUsableSize - b - nxrbBitmap) / n);
  for (int k = 0; k < 16; ++k) {
    const auto cleared = static_cast<uint16_t>(s & ~(1u << k));
    if (cleared < aRecordLength) break;
    s = cleared;
  }
  g.RecsPerBlock = static_cast<uint16_t>(n);
  g.InUseArraySize = static_cast<uint16_t>(b);
  g.RecordLength = s;
  g.FirstRecordOffset = static_cast<uint16_t>(aUsableSize - uint32_t{s} * n);
  return g;
}

TnxStaticRecordEngine::TnxStaticRecordEngine(const TnxSubEngineArgs& aArgs) : TnxBaseRecordEngine(aArgs) {
  auto& descriptor = *static_cast<TnxBaseRecordDescriptor*>(aArgs.Descriptor);
  TnxDataDictionary* dict = RootDictionary(&descriptor);
  reFileIsV1 = dict && dict->HeaderSignature() == TnxBlockSignature{'N', 'X', '!', '1'};
  const TnxStaticRecordGeometry g = nxStaticRecordGeometry(breDataFile.fiBlockSizeBytes(), breRecordLength);
  if (g.RecsPerBlock == 0 || breRecordLength < 2)
    throw EnxStaticRecordEngineException(nxeRecordTooLarge, u"Maximum record size has been exceeded");
  reRecsPerBlock = g.RecsPerBlock;
  reInUseArraySize = g.InUseArraySize;
  reRecordLength = g.RecordLength;
  reFirstRecordOffset = g.FirstRecordOffset;
  auto header = breDataFile.HeaderAccess(aArgs.Trans, aArgs.Trans != nullptr);
  reHeaderSection =
      header->RegisterHeaderSection(descriptor.HeaderSection(), nxrsSectionSize, aArgs.Trans != nullptr, false);
  if (aArgs.Trans) std::memset(header->Header() + reHeaderSection, 0, nxrsSectionSize);
  reDeleteBlocks = false;
}

void TnxStaticRecordEngine::CheckValidDescriptor(TnxDictionaryItem& aDescriptor) {
  auto& table = dynamic_cast<TnxBaseTableDescriptor&>(aDescriptor);
  const int32_t length = table.FieldsDescriptor().RecordLength();
  if (length < 2)
    throw EnxStaticRecordEngineException(nxeRecordTooLarge, u"Maximum record size has been exceeded");
  TnxDataDictionary* root = RootDictionary(&table);
  if (!root) throw EnxStaticRecordEngineException(nxeObjectNotFound);
  const uint32_t needed = static_cast<uint32_t>(length) + 33;
  for (int size = nxbs4k; size <= nxbs64k; ++size) {
    const auto blockSize = static_cast<TnxBlockSize>(size);
    if (root->UsableBlockSize(blockSize) < needed) continue;
    TnxBaseRecordDescriptor* record = table.RecordDescriptor();
    if (record) {
      TnxFilesDescriptor& files = root->FilesDescriptor();
      if (record->FileNumber() < files.FileCount()) {
        TnxFileDescriptor* file = files.FileDescriptor(record->FileNumber());
        if (file->BlockSize() < blockSize) file->SetBlockSize(blockSize);
      }
    }
    return;
  }
  throw EnxStaticRecordEngineException(nxeRecordTooLarge, u"Maximum record size has been exceeded");
}

// ---- checks and blocks ----

void TnxStaticRecordEngine::RaiseNotADataBlock(TnxBlockNumber aBlock) const {
  throw EnxStaticRecordEngineException(nxeNotADataBlock,
                                       u"Block just read from file is not a valid data block [%s, block %d]",
                                       {breDataFile.fiName(), aBlock});
}

void TnxStaticRecordEngine::RaiseCorruptHeader() const {
  throw EnxStaticRecordEngineException(nxeCorruptHeader, u"Corrupt table/index header.");
}

void TnxStaticRecordEngine::RaiseDeleted(TnxRefNr aRefNr) const {
  throw EnxStaticRecordEngineException(nxeRecordDeleted,
                                       u"Record has been deleted, cannot read/delete/update it [%s, ref %d]",
                                       {breDataFile.fiName(), aRefNr});
}

void TnxStaticRecordEngine::CheckInvariant(const uint8_t* aSection) const {
  if ((LoadU32(aSection + nxrsFreeSlots) == 0) != (LoadU32(aSection + nxrsFreeHead) == 0)) RaiseCorruptHeader();
}

void TnxStaticRecordEngine::reCheckRefNr(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) {
  if (!ValidInTrans(breDataFile, BlockOf(aRefNr), aTrans))
    throw EnxStaticRecordEngineException(nxeInvalidBlockNumber,
                                         u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                         {breDataFile.fiName(), BlockOf(aRefNr)});
  const uint32_t slot = SlotOf(aRefNr);
  if (slot < 1 || slot > reRecsPerBlock)
    throw EnxStaticRecordEngineException(nxeInvalidRefNr,
                                         u"Number is not a valid RevurOV record reference number [%s, ref %d]",
                                         {breDataFile.fiName(), aRefNr});
}

PnxBlock TnxStaticRecordEngine::reGetDataBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlockNumber,
                                               TnxBlockGuard& aBlock, bool aForChange) {
  aBlock.Release();
  // The count and the block under one hold of the cache's padlock; only a
  // number above the count asks the header (blocks this transaction added
  // to a logical file).
  aBlock.Hold(breDataFile.GetUsedBlock(aTrans, aBlockNumber, bseID, aForChange, aBlock.ReleaseMethod()));
  if (!aBlock.Block()) {
    if (!ValidInTrans(breDataFile, aBlockNumber, aTrans))
      throw EnxStaticRecordEngineException(nxeInvalidBlockNumber,
                                           u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                           {breDataFile.fiName(), aBlockNumber});
    aBlock.Release();
    aBlock.Hold(breDataFile.GetBlock(aTrans, aBlockNumber, bseID, aForChange, aBlock.ReleaseMethod()));
  }
  const PnxBlock block = aBlock.Block();
  // The counts steer every walk through the block: out of range is damage.
  if (std::memcmp(block, kDataBlockSig.data(), 4) != 0 || LoadU32(block + 4) != aBlockNumber ||
      LoadU16(block + nxrbFirstFree) > reRecsPerBlock || LoadU16(block + nxrbUsed) > reRecsPerBlock)
    RaiseNotADataBlock(aBlockNumber);
  return block;
}

PnxBlock TnxStaticRecordEngine::reGetRecordBlock(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBlockGuard& aBlock,
                                                 bool aForChange) {
  // A slot out of range takes the checks in their order: the block's range
  // is refused before the slot.
  const uint32_t slot = SlotOf(aRefNr);
  if (slot < 1 || slot > reRecsPerBlock) reCheckRefNr(aTrans, aRefNr);
  return reGetDataBlock(aTrans, BlockOf(aRefNr), aBlock, aForChange);
}

PnxBlock TnxStaticRecordEngine::reNewDataBlock(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess,
                                               TnxBlockGuard& aBlock) {
  uint8_t* section = aHeaderAccess.Header() + reHeaderSection;
  aBlock.Release();
  aBlock.Hold(aHeaderAccess.GetNewBlock(aTrans, bseID, aBlock.ReleaseMethod()));
  const PnxBlock block = aBlock.Block();
  const TnxBlockNumber number = LoadU32(block + 4);
  std::memcpy(block, kDataBlockSig.data(), 4);
  const TnxBlockNumber last = LoadU32(section + nxrsLastBlock);
  StoreU32(block + nxrbNext, 0);
  StoreU32(block + nxrbPrev, last);
  if (last != 0) {
    TnxBlockGuard previous;
    reGetDataBlock(&aTrans, last, previous, true);
    StoreU32(previous.Block() + nxrbNext, number);
  } else {
    StoreU32(section + nxrsFirstBlock, number);
  }
  StoreU32(section + nxrsLastBlock, number);
  StoreU32(block + nxrbNextFree, 0);
  StoreU32(section + nxrsFreeHead, number);
  StoreU16(block + nxrbFirstFree, 1);
  StoreU16(block + nxrbUsed, 0);
  std::memset(block + nxrbBitmap, 0, reInUseArraySize);
  for (uint32_t j = 1; j <= reRecsPerBlock; ++j)
    StoreU16(Slot(block, j), static_cast<uint16_t>(j < reRecsPerBlock ? j + 1 : 0));
  StoreU32(section + nxrsFreeSlots, LoadU32(section + nxrsFreeSlots) + reRecsPerBlock);
  return block;
}

uint32_t TnxStaticRecordEngine::NextUsed(const uint8_t* aBlock, uint32_t aSlot, bool aBackward) const noexcept {
  const uint8_t* bitmap = aBlock + nxrbBitmap;
  if (!aBackward) {
    for (uint32_t j = aSlot + 1; j <= reRecsPerBlock;) {
      const uint8_t byte = bitmap[(j - 1) / 8] >> ((j - 1) % 8);
      if (byte == 0) {
        j = ((j - 1) / 8 + 1) * 8 + 1;
        continue;
      }
      if (byte & 1) return j;
      ++j;
    }
    return 0;
  }
  for (uint32_t j = aSlot - 1; j >= 1;) {
    if (bitmap[(j - 1) / 8] == 0) {
      j = ((j - 1) / 8) * 8;
      continue;
    }
    if (InUse(aBlock, j)) return j;
    --j;
  }
  return 0;
}

// ---- changes ----

void TnxStaticRecordEngine::AddRecord(TnxBaseTransaction& aTrans, TnxRefNr& aRefNr, PnxRecordBuffer aRecData) {
  auto header = breDataFile.HeaderAccess(&aTrans, true);
  uint8_t* section = header->Header() + reHeaderSection;
  CheckInvariant(section);
  TnxBlockGuard guard;
  const TnxBlockNumber head = LoadU32(section + nxrsFreeHead);
  PnxBlock block = head != 0 ? reGetDataBlock(&aTrans, head, guard, true) : reNewDataBlock(aTrans, *header, guard);
  const TnxBlockNumber number = LoadU32(block + 4);
  const uint32_t j = LoadU16(block + nxrbFirstFree);
  // A full block on the free list, a link past N or a loop into a used slot.
  if (j == 0 || InUse(block, j)) RaiseNotADataBlock(number);
  const uint32_t link = LoadU16(Slot(block, j));
  const uint32_t used = LoadU16(block + nxrbUsed);
  if (link > reRecsPerBlock || used >= reRecsPerBlock) RaiseNotADataBlock(number);
  if (LoadU32(section + nxrsFreeSlots) == 0) RaiseCorruptHeader();
  aRefNr = nxMakeRefNr(number, j);
  StoreU16(block + nxrbFirstFree, static_cast<uint16_t>(link));
  if (link == 0) {
    StoreU32(section + nxrsFreeHead, LoadU32(block + nxrbNextFree));
    StoreU32(block + nxrbNextFree, 0);
  }
  breSetRefNr(aRecData, aRefNr);
  std::memcpy(Slot(block, j), aRecData, breRecordLength);
  block[nxrbBitmap + (j - 1) / 8] |= static_cast<uint8_t>(1u << ((j - 1) % 8));
  StoreU16(block + nxrbUsed, static_cast<uint16_t>(used + 1));
  StoreU32(section + nxrsRecordCount, LoadU32(section + nxrsRecordCount) + 1);
  StoreU32(section + nxrsFreeSlots, LoadU32(section + nxrsFreeSlots) - 1);
  CheckInvariant(section);
}

void TnxStaticRecordEngine::DeleteRecord(TnxBaseTransaction& aTrans, TnxRefNr aRefNr) {
  reCheckRefNr(&aTrans, aRefNr);
  auto header = breDataFile.HeaderAccess(&aTrans, true);
  uint8_t* section = header->Header() + reHeaderSection;
  CheckInvariant(section);
  TnxBlockGuard guard;
  const TnxBlockNumber number = BlockOf(aRefNr);
  const PnxBlock block = reGetDataBlock(&aTrans, number, guard, true);
  const uint32_t j = SlotOf(aRefNr);
  if (!InUse(block, j)) RaiseDeleted(aRefNr);
  const uint32_t used = LoadU16(block + nxrbUsed);
  if (used == 0) RaiseNotADataBlock(number);
  if (LoadU32(section + nxrsRecordCount) == 0) RaiseCorruptHeader();
  const uint32_t firstFree = LoadU16(block + nxrbFirstFree);
  if (firstFree == 0) {
    StoreU32(block + nxrbNextFree, LoadU32(section + nxrsFreeHead));
    StoreU32(section + nxrsFreeHead, number);
  }
  StoreU16(Slot(block, j), static_cast<uint16_t>(firstFree));
  StoreU16(block + nxrbFirstFree, static_cast<uint16_t>(j));
  StoreU16(block + nxrbUsed, static_cast<uint16_t>(used - 1));
  block[nxrbBitmap + (j - 1) / 8] &= static_cast<uint8_t>(~(1u << ((j - 1) % 8)));
  StoreU32(section + nxrsFreeSlots, LoadU32(section + nxrsFreeSlots) + 1);
  StoreU32(section + nxrsRecordCount, LoadU32(section + nxrsRecordCount) - 1);
  CheckInvariant(section);
}

void TnxStaticRecordEngine::UpdateRecord(TnxBaseTransaction& aTrans, TnxRefNr aRefNr, PnxRecordBuffer aNewRecord,
                                         PnxRecordBuffer aOldRecord) {
  TnxBlockGuard guard;
  const PnxBlock block = reGetRecordBlock(&aTrans, aRefNr, guard, true);
  const uint32_t j = SlotOf(aRefNr);
  if (!InUse(block, j)) RaiseDeleted(aRefNr);
  if (aOldRecord) {
    std::memcpy(aOldRecord, Slot(block, j), breRecordLength);
    breSetRefNr(aOldRecord, aRefNr);
  }
  breSetRefNr(aNewRecord, aRefNr);
  std::memcpy(Slot(block, j), aNewRecord, breRecordLength);
}

void TnxStaticRecordEngine::ReplaceAllRecords(TnxBaseTransaction& aTrans, const TnxGetRecordCallback& aCallback) {
  TnxBlockNumber number;
  uint32_t limit;
  {
    auto header = breDataFile.HeaderAccess(&aTrans, false);
    number = LoadU32(header->Header() + reHeaderSection + nxrsFirstBlock);
    limit = header->UsedBlocks();
  }
  uint32_t counter = 0;
  TnxBlockGuard guard;
  for (uint32_t walked = 0; number != 0; ++walked) {
    if (walked >= limit) RaiseNotADataBlock(number);
    nxCheckTimeout();
    const PnxBlock block = reGetDataBlock(&aTrans, number, guard, true);
    for (uint32_t j = NextUsed(block, 0, false); j != 0; j = NextUsed(block, j, false)) {
      SlotTick(counter);
      const TnxRefNr refNr = nxMakeRefNr(number, j);
      breSetRefNr(Slot(block, j), refNr);
      if (const uint32_t code = aCallback(Slot(block, j)); code != 0) throw EnxStaticRecordEngineException(code);
      breSetRefNr(Slot(block, j), refNr);
    }
    number = LoadU32(block + nxrbNext);
  }
}

// ---- reads ----

void TnxStaticRecordEngine::ReadRecord(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, PnxRecordBuffer aRecData) {
  TnxBlockGuard guard;
  const PnxBlock block = reGetRecordBlock(aTrans, aRefNr, guard, false);
  if (!InUse(block, SlotOf(aRefNr))) RaiseDeleted(aRefNr);
  if (aRecData) {
    std::memcpy(aRecData, Slot(block, SlotOf(aRefNr)), breRecordLength);
    breSetRefNr(aRecData, aRefNr);
  }
}

void TnxStaticRecordEngine::GetRecordCount(TnxBaseTransaction* aTrans, uint32_t& aCount) {
  auto header = breDataFile.HeaderAccess(aTrans, false);
  aCount = LoadU32(header->Header() + reHeaderSection + nxrsRecordCount);
}

void TnxStaticRecordEngine::ReadNeighbour(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                                          PnxRecordBuffer aRecData, bool aBackward) {
  aRefNr = 0;
  TnxBlockNumber number;
  uint32_t slot;
  uint32_t limit;
  {
    auto header = breDataFile.HeaderAccess(aTrans, false);
    limit = header->UsedBlocks();
    if (aFromRefNr == 0) {
      number = LoadU32(header->Header() + reHeaderSection + (aBackward ? nxrsLastBlock : nxrsFirstBlock));
      slot = aBackward ? reRecsPerBlock + 1u : 0u;
    } else {
      reCheckRefNr(aTrans, aFromRefNr);
      number = BlockOf(aFromRefNr);
      slot = SlotOf(aFromRefNr);
    }
  }
  TnxBlockGuard guard;
  for (uint32_t walked = 0; number != 0; ++walked) {
    if (walked >= limit) RaiseNotADataBlock(number);
    const PnxBlock block = reGetDataBlock(aTrans, number, guard, false);
    if (const uint32_t j = NextUsed(block, slot, aBackward); j != 0) {
      aRefNr = nxMakeRefNr(number, j);
      if (aRecData) {
        std::memcpy(aRecData, Slot(block, j), breRecordLength);
        breSetRefNr(aRecData, aRefNr);
      }
      return;
    }
    number = LoadU32(block + (aBackward ? nxrbPrev : nxrbNext));
    slot = aBackward ? reRecsPerBlock + 1u : 0u;
  }
}

void TnxStaticRecordEngine::ReadNextRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                                           PnxRecordBuffer aRecData) {
  ReadNeighbour(aTrans, aFromRefNr, aRefNr, aRecData, false);
}

void TnxStaticRecordEngine::ReadPrevRecord(TnxBaseTransaction* aTrans, TnxRefNr aFromRefNr, TnxRefNr& aRefNr,
                                           PnxRecordBuffer aRecData) {
  ReadNeighbour(aTrans, aFromRefNr, aRefNr, aRecData, true);
}

// ---- scans ----

void TnxStaticRecordEngine::IterateDir(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer* aData,
                                       const TnxStorageRecordIterator& aIterator, void* aCookie,
                                       TnxBaseFilterEngine* aFilter, bool aKeepPosition, bool aBackward) {
  aFilter = ActiveFilter(aFilter);
  const uint32_t start = aBackward ? reRecsPerBlock + 1u : 0u;
  TnxBlockNumber number;
  uint32_t slot = start;
  uint32_t limit;
  {
    auto header = breDataFile.HeaderAccess(aTrans, false);
    limit = header->UsedBlocks();
    if (aKeepPosition && aRefNr != 0) {
      reCheckRefNr(aTrans, aRefNr);
      number = BlockOf(aRefNr);
      slot = SlotOf(aRefNr);
    } else {
      number = LoadU32(header->Header() + reHeaderSection + (aBackward ? nxrsLastBlock : nxrsFirstBlock));
    }
  }
  const bool byPointer = aData && !*aData;
  uint32_t counter = 0;
  TnxBlockGuard guard;
  for (uint32_t walked = 0; number != 0; ++walked) {
    if (walked >= limit) RaiseNotADataBlock(number);
    nxCheckTimeout();
    const PnxBlock block = reGetDataBlock(aTrans, number, guard, false);
    for (uint32_t j = NextUsed(block, slot, aBackward); j != 0; j = NextUsed(block, j, aBackward)) {
      SlotTick(counter);
      aRefNr = nxMakeRefNr(number, j);
      uint8_t* record = Slot(block, j);
      if (aFilter && !aFilter->MatchesBuffer(record)) continue;
      TnxRecordIteratorResult result;
      if (byPointer) {
        *aData = record;
        try {
          result = aIterator(aCookie, aRefNr, record);
        } catch (...) {
          *aData = nullptr;
          throw;
        }
        *aData = nullptr;
      } else if (aData) {
        std::memcpy(*aData, record, breRecordLength);
        breSetRefNr(*aData, aRefNr);
        result = aIterator(aCookie, aRefNr, *aData);
      } else {
        result = aIterator(aCookie, aRefNr, nullptr);
      }
      if (result == rirStop) return;
    }
    number = LoadU32(block + (aBackward ? nxrbPrev : nxrbNext));
    slot = start;
  }
  aRefNr = 0;
}

void TnxStaticRecordEngine::Iterate(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer* aData,
                                    const TnxStorageRecordIterator& aIterator, void* aCookie,
                                    TnxBaseFilterEngine* aFilter, bool aKeepPosition, bool /*aSkipFirst*/) {
  IterateDir(aTrans, aRefNr, aData, aIterator, aCookie, aFilter, aKeepPosition, false);
}

void TnxStaticRecordEngine::IterateBackward(TnxBaseTransaction* aTrans, TnxRefNr& aRefNr, PnxRecordBuffer* aData,
                                            const TnxStorageRecordIterator& aIterator, void* aCookie,
                                            TnxBaseFilterEngine* aFilter, bool aKeepPosition, bool /*aSkipFirst*/) {
  IterateDir(aTrans, aRefNr, aData, aIterator, aCookie, aFilter, aKeepPosition, true);
}

TnxRecordIteratorResult TnxStaticRecordEngine::ReadRecordForIterate(TnxBaseTransaction* aTrans, TnxRefNr aRefNr,
                                                                    PnxRecordBuffer* aData,
                                                                    const TnxStorageRecordIterator& aIterator,
                                                                    void* aCookie, TnxBaseFilterEngine* aFilter) {
  TnxBlockGuard guard;
  const PnxBlock block = reGetRecordBlock(aTrans, aRefNr, guard, false);
  if (!InUse(block, SlotOf(aRefNr))) RaiseDeleted(aRefNr);
  uint8_t* record = Slot(block, SlotOf(aRefNr));
  aFilter = ActiveFilter(aFilter);
  if (aFilter && !aFilter->MatchesBuffer(record)) return rirContinue;
  if (!aData) return aIterator(aCookie, aRefNr, record);
  PnxRecordBuffer saved = *aData;
  *aData = record;
  TnxRecordIteratorResult result;
  try {
    result = aIterator(aCookie, aRefNr, record);
  } catch (...) {
    *aData = saved;
    throw;
  }
  *aData = saved;
  return result;
}

uint32_t TnxStaticRecordEngine::RecNoGetDir(TnxBaseTransaction* aTrans, TnxRefNr aRefNr,
                                            TnxBaseFilterEngine* aFilter, uint32_t& aRecNo, bool aBackward) {
  aFilter = ActiveFilter(aFilter);
  aRecNo = 0;
  reCheckRefNr(aTrans, aRefNr);
  const TnxBlockNumber target = BlockOf(aRefNr);
  const uint32_t targetSlot = SlotOf(aRefNr);
  const uint32_t start = aBackward ? reRecsPerBlock + 1u : 0u;
  TnxBlockNumber number;
  uint32_t limit;
  {
    auto header = breDataFile.HeaderAccess(aTrans, false);
    limit = header->UsedBlocks();
    number = LoadU32(header->Header() + reHeaderSection + (aBackward ? nxrsLastBlock : nxrsFirstBlock));
  }
  uint32_t counter = 0;
  TnxBlockGuard guard;
  for (uint32_t walked = 0; number != 0; ++walked) {
    if (walked >= limit) RaiseNotADataBlock(number);
    nxCheckTimeout();
    const PnxBlock block = reGetDataBlock(aTrans, number, guard, false);
    if (number == target) {
      if (!InUse(block, targetSlot)) return nxeNoCurrentRecord;
      for (uint32_t j = NextUsed(block, start, aBackward); j != 0; j = NextUsed(block, j, aBackward)) {
        SlotTick(counter);
        const bool matches = !aFilter || aFilter->MatchesBuffer(Slot(block, j));
        if (j == targetSlot) {
          if (!matches) return nxeNoCurrentRecord;
          ++aRecNo;
          return 0;
        }
        if (matches) ++aRecNo;
      }
      return nxeNoCurrentRecord;
    }
    if (!aFilter) {
      aRecNo += LoadU16(block + nxrbUsed);
    } else {
      for (uint32_t j = NextUsed(block, start, aBackward); j != 0; j = NextUsed(block, j, aBackward)) {
        SlotTick(counter);
        if (aFilter->MatchesBuffer(Slot(block, j))) ++aRecNo;
      }
    }
    number = LoadU32(block + (aBackward ? nxrbPrev : nxrbNext));
  }
  aRecNo = 0;
  return nxeAtEndOfTable;
}

uint32_t TnxStaticRecordEngine::RecNoGet(TnxBaseTransaction* aTrans, TnxRefNr aRefNr, TnxBaseFilterEngine* aFilter,
                                         uint32_t& aRecNo, bool aFlipOrder) {
  return RecNoGetDir(aTrans, aRefNr, aFilter, aRecNo, aFlipOrder);
}

uint32_t TnxStaticRecordEngine::RecNoSetDir(TnxBaseTransaction* aTrans, uint32_t aRecNo, TnxRefNr& aRefNr,
                                            TnxBaseFilterEngine* aFilter, bool aBackward) {
  aFilter = ActiveFilter(aFilter);
  aRefNr = 0;
  if (aRecNo == 0) return nxeAtEndOfTable;
  const uint32_t start = aBackward ? reRecsPerBlock + 1u : 0u;
  TnxBlockNumber number;
  uint32_t limit;
  {
    auto header = breDataFile.HeaderAccess(aTrans, false);
    limit = header->UsedBlocks();
    number = LoadU32(header->Header() + reHeaderSection + (aBackward ? nxrsLastBlock : nxrsFirstBlock));
  }
  uint32_t remaining = aRecNo;
  uint32_t counter = 0;
  TnxBlockGuard guard;
  for (uint32_t walked = 0; number != 0; ++walked) {
    if (walked >= limit) RaiseNotADataBlock(number);
    nxCheckTimeout();
    const PnxBlock block = reGetDataBlock(aTrans, number, guard, false);
    const uint32_t used = LoadU16(block + nxrbUsed);
    if (!aFilter && used < remaining) {
      remaining -= used;
    } else {
      for (uint32_t j = NextUsed(block, start, aBackward); j != 0; j = NextUsed(block, j, aBackward)) {
        SlotTick(counter);
        if (aFilter && !aFilter->MatchesBuffer(Slot(block, j))) continue;
        if (--remaining == 0) {
          aRefNr = nxMakeRefNr(number, j);
          return 0;
        }
      }
    }
    number = LoadU32(block + (aBackward ? nxrbPrev : nxrbNext));
  }
  return nxeAtEndOfTable;
}

uint32_t TnxStaticRecordEngine::RecNoSet(TnxBaseTransaction* aTrans, uint32_t aRecNo, TnxRefNr& aRefNr,
                                         TnxBaseFilterEngine* aFilter, bool aFlipOrder) {
  return RecNoSetDir(aTrans, aRecNo, aRefNr, aFilter, aFlipOrder);
}

TnxRecordIteratorResult TnxStaticRecordEngine::RecoverIterate(const uint8_t* aBlock, TnxBlockNumber aBlockNumber,
                                                              PnxRecordBuffer* aData,
                                                              const TnxStorageRecordIterator& aIterator,
                                                              void* aCookie) {
  if (!aBlock || std::memcmp(aBlock, kDataBlockSig.data(), 4) != 0 || LoadU32(aBlock + 4) != aBlockNumber)
    return rirContinue;
  const uint32_t used = LoadU16(aBlock + nxrbUsed);
  uint32_t delivered = 0;
  uint32_t counter = 0;
  const bool byPointer = aData && !*aData;
  for (uint32_t j = NextUsed(aBlock, 0, false); j != 0 && delivered < used; j = NextUsed(aBlock, j, false)) {
    SlotTick(counter);
    ++delivered;
    // The block is the caller's copy; the record is handed out, not changed.
    auto* record = const_cast<uint8_t*>(aBlock) + reFirstRecordOffset + (j - 1) * uint32_t{reRecordLength};
    TnxRecordIteratorResult result;
    if (byPointer) {
      *aData = record;
      try {
        result = aIterator(aCookie, 0, record);
      } catch (...) {
        *aData = nullptr;
        throw;
      }
      *aData = nullptr;
    } else if (aData) {
      std::memcpy(*aData, record, breRecordLength);
      result = aIterator(aCookie, 0, *aData);
    } else {
      result = aIterator(aCookie, 0, record);
    }
    if (result == rirStop) return rirStop;
  }
  return rirContinue;
}

void nxStaticRecordEngineStartup() {
  TnxStaticRecordEngine::ClassInfo().Register(nxDefaultStorageEngine);
  TnxStaticRecordEngine::ClassInfo().Register(u"Static");
}

void nxStaticRecordEngineShutdown() noexcept { TnxStaticRecordEngine::ClassInfo().Unregister(); }

}  // namespace revurov
