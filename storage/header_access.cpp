#include "storage/header_access.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <utility>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/strings/utils_compare.h"
#include "platform/code_page.h"
#include "platform/endian.h"
#include "storage/block_access.h"
#include "storage/buffer_manager.h"
#include "storage/encryption_engine.h"
#include "storage/file_header.h"
#include "storage/files.h"

namespace revurov {

namespace {

using platform::LoadU16;
using platform::LoadU32;
using platform::StoreU16;
using platform::StoreU32;

int32_t LoadI32(const uint8_t* p) { return static_cast<int32_t>(LoadU32(p)); }
void StoreI32(uint8_t* p, int32_t v) { StoreU32(p, static_cast<uint32_t>(v)); }

void StoreSignature(uint8_t* aBlock, const char (&aSignature)[5]) { std::memcpy(aBlock, aSignature, 4); }

// Section names compare with ASCII letter case ignored.
struct TShortName {
  explicit TShortName(std::string_view aName) {
    const size_t length = std::min<size_t>(aName.size(), 255);
    Bytes[0] = static_cast<uint8_t>(length);
    std::memcpy(Bytes.data() + 1, aName.data(), length);
  }
  std::array<uint8_t, 256> Bytes{};
};

bool SameName(std::string_view aA, std::string_view aB) {
  return aA.size() == aB.size() &&
         nxCmpShortStringI(TShortName(aA).Bytes.data(), TShortName(aB).Bytes.data(), 255) == 0;
}

std::u16string Ansi(std::string_view aText) {
  return platform::CodePageToUnicode(aText, platform::SystemAnsiCodePage());
}

}  // namespace

// ---- the base ----

TnxBaseFileHeaderAccess::TnxBaseFileHeaderAccess(bool aMarkDirty, TnxBlockAccess& aBlockAccess)
    : bfhaHeaderFile(&aBlockAccess.File()), bfhaIsDirty(aMarkDirty), bfhaBlockAccess(&aBlockAccess) {}

// The header goes back before the main accessor and its header do.
TnxBaseFileHeaderAccess::~TnxBaseFileHeaderAccess() { bfhaHeader.Release(); }

template <class TAccess>
std::unique_ptr<TnxBaseFileHeaderAccess> TnxBaseFileHeaderAccess::Make(TnxBaseTransaction* aTrans, bool aMarkDirty,
                                                                       TnxBlockAccess& aBlockAccess) {
  auto access = std::make_unique<TAccess>(aMarkDirty, aBlockAccess);
  TnxBaseFileHeaderAccess& base = *access;
  if (TnxBlockAccess* main = aBlockAccess.Main()) base.bfhaMainHeader = Make<TAccess>(aTrans, aMarkDirty, *main);
  base.LoadHeader(aTrans);
  return access;
}

void TnxBaseFileHeaderAccess::LoadHeader(TnxBaseTransaction* aTrans) {
  TnxBlockAccess& access = *bfhaBlockAccess;
  bfhaHeader.Release();
  bfhaHeader.Hold(access.GetBlock(aTrans, access.HeaderBlock(), access.ID(), bfhaIsDirty, bfhaHeader.ReleaseMethod()));
}

void TnxBaseFileHeaderAccess::MarkDirty(TnxBaseTransaction* aTrans) {
  // The root header must be writable too: allocation goes through it.
  if (bfhaMainHeader) bfhaMainHeader->MarkDirty(aTrans);
  if (bfhaIsDirty) return;
  if (!aTrans)
    throw EnxFileHeaderAccessException(nxeInvalidParameter, u"A header can only be changed within a transaction");
  bfhaHeader.Release();
  bfhaIsDirty = true;
  LoadHeader(aTrans);
}

uint32_t TnxBaseFileHeaderAccess::UsedBlocks() const {
  if (bfhaMainHeader) return bfhaMainHeader->UsedBlocks();
  return LoadU32(Header() + nxhUsedBlocks);
}

uint32_t TnxBaseFileHeaderAccess::AvailableBlocks() const {
  if (bfhaMainHeader) return bfhaMainHeader->AvailableBlocks();
  return LoadU32(Header() + nxhFreeCount);
}

TnxLSN TnxBaseFileHeaderAccess::CurrentLSN() const { return nxLoadBlockCommonHeader(Header()).bchLSN; }

void TnxBaseFileHeaderAccess::ChangePassword(std::u16string_view /*aNewPassword*/) {
  throw EnxFileHeaderAccessException(nxeCapabilityNotSupported, u"%s not supported by %s",
                                     {std::u16string(u"ChangePassword"), std::u16string(ClassName())});
}

void TnxBaseFileHeaderAccess::CheckDirty() const {
  if (!bfhaIsDirty) throw EnxFileHeaderAccessException(nxeWriteFailure);
}

void TnxBaseFileHeaderAccess::CheckBlockNumber(uint32_t aBlock, std::u16string_view aWhat) const {
  if (aBlock == 0 || aBlock >= UsedBlocks()) RaiseCorruptBlock(aWhat, aBlock);
}

PnxBlock TnxBaseFileHeaderAccess::FetchBlock(TnxBaseTransaction* aTrans, TnxBlockNumber aBlock, int32_t aID,
                                             bool aMarkDirty, TnxReleaseMethod& aReleaseMethod) {
  return bfhaBlockAccess->GetBlock(aTrans, aBlock, aID, aMarkDirty, aReleaseMethod);
}

PnxBlock TnxBaseFileHeaderAccess::AddBlock(TnxBaseTransaction& aTrans, TnxBlockNumber aBlock,
                                           TnxReleaseMethod& aReleaseMethod) {
  return bfhaBlockAccess->BufferManager().AddBlock(*bfhaHeaderFile, &aTrans, aBlock, aReleaseMethod);
}

TnxBlockNumber TnxBaseFileHeaderAccess::GrowFile() {
  uint8_t* header = Header();
  const uint32_t used = LoadU32(header + nxhUsedBlocks);
  // 0xFFFFFFFF is no block; a limit of 0 is a file system that named none.
  const uint32_t limit = bfhaHeaderFile->fiMaxBlocks != 0 ? bfhaHeaderFile->fiMaxBlocks : nxNoBlock;
  if (used >= std::min(limit, nxNoBlock)) throw EnxFileHeaderAccessException(nxeTableIsFull);
  return used;
}

// ---- "NX!1" ----

TnxFileHeaderAccessPtr Tnx1xFileHeaderAccess::Create(TnxBaseTransaction* aTrans, bool aMarkDirty,
                                                     TnxBlockAccess& aBlockAccess) {
  return Make<Tnx1xFileHeaderAccess>(aTrans, aMarkDirty, aBlockAccess);
}

void Tnx1xFileHeaderAccess::RaiseCorruptHeader(std::u16string_view aWhat) const {
  throw Enx1xFileHeaderAccessException(nxeCorruptHeader, u"Corrupt table/index header: %s in file \"%s\"",
                                       {std::u16string(aWhat), bfhaHeaderFile->fiName});
}

void Tnx1xFileHeaderAccess::RaiseCorruptBlock(std::u16string_view aWhat, uint32_t aBlock) const {
  throw Enx1xFileHeaderAccessException(nxeCorruptFile, u"Block %u named as %s is not a valid block of file \"%s\"",
                                       {aBlock, std::u16string(aWhat), bfhaHeaderFile->fiName});
}

PnxBlock Tnx1xFileHeaderAccess::GetNewBlock(TnxBaseTransaction& aTrans, int32_t /*aID*/,
                                            TnxReleaseMethod& aReleaseMethod) {
  CheckDirty();
  uint8_t* header = Header();
  const uint32_t head = LoadU32(header + nxhFreeHead);
  TnxBlockGuard guard;
  if (head != nxNoBlock) {
    const uint32_t count = LoadU32(header + nxhFreeCount);
    if (count == 0) RaiseCorruptHeader(u"free chain longer than its count");
    CheckBlockNumber(head, u"free chain block");
    guard.Hold(FetchBlock(&aTrans, head, nxFreeBlockMapOwnerID, true, guard.ReleaseMethod()));
    const uint32_t next = LoadU32(guard.Block() + nxfbmNext);
    // A block naming itself would be handed out again and again.
    if (next == head) RaiseCorruptBlock(u"its own successor in the free chain", head);
    StoreU32(header + nxhFreeHead, next);
    StoreU32(header + nxhFreeCount, count - 1);
  } else {
    const TnxBlockNumber number = GrowFile();
    guard.Hold(AddBlock(aTrans, number, guard.ReleaseMethod()));
    StoreU32(header + nxhUsedBlocks, number + 1);
    bfhaHeaderFile->fiTransUsedBlocks = number + 1;
    StoreU32(guard.Block() + 4, number);
  }
  const PnxBlock block = guard.Block();
  aReleaseMethod = std::exchange(guard.ReleaseMethod(), {});
  return block;
}

void Tnx1xFileHeaderAccess::DeleteBlock(TnxBaseTransaction& /*aTrans*/, PnxBlock aBlock) {
  CheckDirty();
  uint8_t* header = Header();
  const uint32_t number = LoadU32(aBlock + 4);
  CheckBlockNumber(number, u"released block");
  StoreSignature(aBlock, "DEAD");
  StoreU32(aBlock + nxfbmNext, LoadU32(header + nxhFreeHead));
  StoreU32(header + nxhFreeHead, number);
  StoreU32(header + nxhFreeCount, LoadU32(header + nxhFreeCount) + 1);
}

uint16_t Tnx1xFileHeaderAccess::RegisterHeaderSection(std::string_view aName, uint8_t /*aSize*/, bool aCreate,
                                                      bool /*aOverwrite*/) {
  struct TFixed {
    std::string_view Name;
    uint16_t Offset;
  };
  static constexpr std::array<TFixed, 6> kFixed{
      {{"Encryption", 256}, {"Stream", 512}, {"AutoInc", 768}, {"Record", 1024}, {"Blob", 1280}, {"Indices", 1536}}};
  if (aCreate) CheckDirty();
  for (const TFixed& fixed : kFixed)
    if (SameName(fixed.Name, aName)) return fixed.Offset;
  throw Enx1xFileHeaderAccessException(nxeCapabilityNotSupported,
                                       u"Custom HeaderSections are not supported in a v1 header");
}

// ---- "NX!2" ----

TnxFileHeaderAccessPtr Tnx2xFileHeaderAccess::Create(TnxBaseTransaction* aTrans, bool aMarkDirty,
                                                     TnxBlockAccess& aBlockAccess) {
  return Make<Tnx2xFileHeaderAccess>(aTrans, aMarkDirty, aBlockAccess);
}

void Tnx2xFileHeaderAccess::RaiseCorruptHeader(std::u16string_view aWhat) const {
  throw Enx2xFileHeaderAccessException(nxeCorruptHeader, u"Corrupt table/index header: %s in file \"%s\"",
                                       {std::u16string(aWhat), bfhaHeaderFile->fiName});
}

void Tnx2xFileHeaderAccess::RaiseCorruptBlock(std::u16string_view aWhat, uint32_t aBlock) const {
  throw Enx2xFileHeaderAccessException(nxeCorruptFile, u"Block %u named as %s is not a valid block of file \"%s\"",
                                       {aBlock, std::u16string(aWhat), bfhaHeaderFile->fiName});
}

void Tnx2xFileHeaderAccess::LoadHeader(TnxBaseTransaction* aTrans) {
  TnxBlockAccess& access = *bfhaBlockAccess;
  if (access.ID() != 0 && access.HeaderBlock() == 0) {
    auto* main = dynamic_cast<Tnx2xFileHeaderAccess*>(bfhaMainHeader.get());
    if (!main)
      throw EnxFileHeaderAccessException(nxeInvalidParameter, u"Nested table %d of \"%s\" has no root table",
                                         {access.ID(), bfhaHeaderFile->fiName});
    bool created = false;
    access.SetHeaderBlock(main->GetHeaderBlockForID(aTrans, access.ID(), &created));
    // A sub-header made just now goes with a rollback of its transaction, so
    // only one found committed is kept for later accessors.
    try {
      TnxBaseFileHeaderAccess::LoadHeader(aTrans);
    } catch (...) {
      access.SetHeaderBlock(0);
      throw;
    }
    if (created) access.SetHeaderBlock(0);
    return;
  }
  TnxBaseFileHeaderAccess::LoadHeader(aTrans);
}

uint32_t Tnx2xFileHeaderAccess::CachedCount() const {
  const uint32_t count = LoadU32(Header() + nxhFreeCount);
  if (count > nxFreeCacheSize) RaiseCorruptHeader(u"free block count above 20");
  return count;
}

PnxBlock Tnx2xFileHeaderAccess::GetNewBlock(TnxBaseTransaction& aTrans, int32_t aID, TnxReleaseMethod& aReleaseMethod) {
  if (bfhaMainHeader) return bfhaMainHeader->GetNewBlock(aTrans, aID, aReleaseMethod);
  CheckDirty();
  uint8_t* header = Header();
  const uint32_t usable = bfhaHeaderFile->fiBlockSizeBytes;
  TnxBlockGuard guard;
  if (CachedCount() == 0) {
    Refill(aTrans, guard);
    if (guard) {
      StoreI32(guard.Block() + usable, aID);
      const PnxBlock block = guard.Block();
      aReleaseMethod = std::exchange(guard.ReleaseMethod(), {});
      return block;
    }
  }
  const uint32_t count = CachedCount();
  TnxBlockNumber number;
  if (count == 0) {
    number = GrowFile();
    guard.Hold(AddBlock(aTrans, number, guard.ReleaseMethod()));
    StoreU32(header + nxhUsedBlocks, number + 1);
    bfhaHeaderFile->fiTransUsedBlocks = number + 1;
  } else {
    number = LoadU32(header + nxhFreeCache + 4 * (count - 1));
    CheckBlockNumber(number, u"cached free block");
    guard.Hold(AddBlock(aTrans, number, guard.ReleaseMethod()));
    StoreU32(header + nxhFreeCount, count - 1);
  }
  StoreI32(guard.Block() + usable, aID);
  StoreU32(guard.Block() + 4, number);
  const PnxBlock block = guard.Block();
  aReleaseMethod = std::exchange(guard.ReleaseMethod(), {});
  return block;
}

void Tnx2xFileHeaderAccess::Refill(TnxBaseTransaction& aTrans, TnxBlockGuard& aHandedBack) {
  uint8_t* header = Header();
  const uint32_t usable = bfhaHeaderFile->fiBlockSizeBytes;
  uint32_t count = CachedCount();
  // Each round fills the cache to 15 or empties the head map, so it ends
  // after one map: the walk is bounded.
  while (count < nxFreeCacheRefilled && !aHandedBack) {
    const uint32_t head = LoadU32(header + nxhFreeHead);
    if (head == nxNoBlock) break;
    CheckBlockNumber(head, u"free block map");
    TnxBlockGuard map;
    map.Hold(FetchBlock(&aTrans, head, nxFreeBlockMapOwnerID, true, map.ReleaseMethod()));
    uint8_t* body = map.Block();
    const uint32_t capacity = LoadU32(body + nxfbmCapacity);
    const uint32_t entries = LoadU32(body + nxfbmEntries);
    if (capacity > (usable - nxfbmFirst) / 4 || entries > capacity) RaiseCorruptBlock(u"free block map", head);
    const uint32_t moved = std::min(nxFreeCacheRefilled - count, entries);
    std::memcpy(header + nxhFreeCache + 4 * count, body + nxfbmFirst + 4 * (entries - moved), 4 * moved);
    StoreU32(body + nxfbmEntries, entries - moved);
    count += moved;
    StoreU32(header + nxhFreeCount, count);
    if (entries == moved) {
      StoreU32(header + nxhFreeHead, LoadU32(body + nxfbmNext));
      aHandedBack = std::move(map);
    }
  }
}

void Tnx2xFileHeaderAccess::DeleteBlock(TnxBaseTransaction& aTrans, PnxBlock aBlock) {
  if (bfhaMainHeader) return bfhaMainHeader->DeleteBlock(aTrans, aBlock);
  CheckDirty();
  uint8_t* header = Header();
  const uint32_t number = LoadU32(aBlock + 4);
  CheckBlockNumber(number, u"released block");
  StoreI32(aBlock + bfhaHeaderFile->fiBlockSizeBytes, 0);
  if (CachedCount() >= nxFreeCacheSize && Spill(aTrans, aBlock, number)) return;
  const uint32_t count = CachedCount();
  StoreSignature(aBlock, "DEAD");
  StoreU32(header + nxhFreeCache + 4 * count, number);
  StoreU32(header + nxhFreeCount, count + 1);
  bfhaBlockAccess->BufferManager().DiscardBlock(*bfhaHeaderFile, number, aTrans);
}

bool Tnx2xFileHeaderAccess::Spill(TnxBaseTransaction& aTrans, PnxBlock aBlock, TnxBlockNumber aNumber) {
  uint8_t* header = Header();
  const uint32_t usable = bfhaHeaderFile->fiBlockSizeBytes;
  uint32_t count = CachedCount();
  uint32_t next = LoadU32(header + nxhFreeHead);
  bool madeMap = false;
  // At most two rounds: the head map, then the released block as a new one.
  while (count > nxFreeCacheKept) {
    TnxBlockGuard held;
    uint8_t* map;
    if (next != nxNoBlock) {
      CheckBlockNumber(next, u"free block map");
      held.Hold(FetchBlock(&aTrans, next, nxFreeBlockMapOwnerID, true, held.ReleaseMethod()));
      map = held.Block();
    } else {
      if (madeMap) RaiseCorruptHeader(u"free block map without room");
      map = aBlock;
      StoreSignature(map, "FBMH");
      StoreU32(map + nxfbmNext, LoadU32(header + nxhFreeHead));
      StoreU32(header + nxhFreeHead, aNumber);
      StoreU32(map + nxfbmCapacity, (usable - nxfbmFirst) / 4);
      StoreU32(map + nxfbmEntries, 0);
      madeMap = true;
    }
    StoreI32(map + usable, nxFreeBlockMapOwnerID);
    const uint32_t capacity = LoadU32(map + nxfbmCapacity);
    const uint32_t entries = LoadU32(map + nxfbmEntries);
    if (capacity > (usable - nxfbmFirst) / 4 || entries > capacity) RaiseCorruptBlock(u"free block map", next);
    next = nxNoBlock;
    const uint32_t moved = std::min(count - nxFreeCacheKept, capacity - entries);
    std::memcpy(map + nxfbmFirst + 4 * entries, header + nxhFreeCache + 4 * (count - moved), 4 * moved);
    StoreU32(map + nxfbmEntries, entries + moved);
    count -= moved;
    StoreU32(header + nxhFreeCount, count);
  }
  return madeMap;
}

// Sections ---------------------------------------------------------------

uint16_t Tnx2xFileHeaderAccess::RegisterHeaderSection(std::string_view aName, uint8_t aSize, bool aCreate,
                                                      bool aOverwrite) {
  const uint16_t offset = FindSection(aName, aSize, aCreate, aOverwrite);
  if (offset == 0) throw Enx2xFileHeaderAccessException(nxeObjectNotFound);
  return offset;
}

uint16_t Tnx2xFileHeaderAccess::FindSection(std::string_view aName, uint8_t aSize, bool aCreate, bool aOverwrite) {
  if (aName.empty() || aName.size() > 255)
    throw Enx2xFileHeaderAccessException(nxeInvalidParameter, u"Invalid header section name \"%s\"", {Ansi(aName)});
  if (aCreate) CheckDirty();
  uint8_t* header = Header();
  const uint32_t usable = bfhaHeaderFile->fiBlockSizeBytes;
  // Block 0 keeps the encryption engine's area above its sections.
  uint32_t limit = usable - 1;
  // The block's own number, not the access's: a sub-header made in this
  // transaction is read while its access still names block 0.
  if (LoadU32(header + 4) == 0)
    if (const auto* format =
            dynamic_cast<const Tnx2xFileHeaderAccessFactory*>(bfhaHeaderFile->fiHeaderAccessFactory.get()))
      limit -= std::min(format->EncryptionHeaderSize(), limit);
  const uint32_t top = LoadU16(header + nxhSectionTop);
  if (top <= nxhSectionDirectory || top > limit) RaiseCorruptHeader(u"section top out of range");

  const TShortName wanted(aName);
  uint32_t at = nxhSectionDirectory;
  uint32_t end = top;  // where the current entry's section ends
  // Every entry takes at least four bytes below the top: the walk is bounded.
  for (;;) {
    if (at >= top) RaiseCorruptHeader(u"section directory without terminator");
    const uint32_t length = header[at];
    if (length == 0) break;
    if (at + 1 + length + 2 > top) RaiseCorruptHeader(u"section directory entry past the section top");
    const uint32_t offset = LoadU16(header + at + 1 + length);
    if (offset < nxhSectionDirectory || offset > top) RaiseCorruptHeader(u"section offset out of range");
    if (nxCmpShortStringI(header + at, wanted.Bytes.data(), 255) == 0) {
      if (aCreate && !aOverwrite) throw Enx2xFileHeaderAccessException(nxeNameNotUnique);
      if (offset > end || end - offset != aSize) RaiseCorruptHeader(u"section size differs");
      return static_cast<uint16_t>(offset);
    }
    end = offset;
    at += 1 + length + 2;
  }
  if (!aCreate) return 0;
  // The entry takes length + 3 bytes and the terminator after it one more;
  // the terminator may touch the new section.
  if (static_cast<int64_t>(end) - at < int64_t{aSize} + static_cast<int64_t>(aName.size()) + 4)
    throw Enx2xFileHeaderAccessException(nxeOutOfMemory, u"File header is full");
  const uint32_t offset = end - aSize;
  std::memcpy(header + at, wanted.Bytes.data(), aName.size() + 1);
  StoreU16(header + at + 1 + aName.size(), static_cast<uint16_t>(offset));
  header[at + aName.size() + 3] = 0;
  return static_cast<uint16_t>(offset);
}

void Tnx2xFileHeaderAccess::ChangePassword(std::u16string_view aNewPassword) {
  CheckDirty();
  TnxBaseFile& file = *bfhaHeaderFile;
  const auto* format = dynamic_cast<const Tnx2xFileHeaderAccessFactory*>(file.fiHeaderAccessFactory.get());
  uint8_t* area = format ? format->GetEncryptionEngineHeader(Header()) : nullptr;
  if (!file.fiEncryptionEngine || !area || bfhaBlockAccess->HeaderBlock() != 0)
    throw Enx2xFileHeaderAccessException(nxeCapabilityNotSupported,
                                         u"ChangePassword is only supported for tables with an encryption engine");
  file.fiEncryptionEngine->ChangePassword(area, aNewPassword);
}

// Sub-headers ------------------------------------------------------------

namespace {

constexpr uint32_t kPairBytes = 8;

// The index of aID among aCount sorted pairs, or where it would go.
uint32_t SearchPairs(const uint8_t* aPairs, uint32_t aCount, int32_t aID, bool& aFound) {
  uint32_t low = 0;
  uint32_t high = aCount;
  while (low < high) {
    const uint32_t mid = low + (high - low) / 2;
    if (LoadI32(aPairs + kPairBytes * mid) < aID)
      low = mid + 1;
    else
      high = mid;
  }
  aFound = low < aCount && LoadI32(aPairs + kPairBytes * low) == aID;
  return low;
}

int32_t LastID(const uint8_t* aPairs, uint32_t aCount) { return LoadI32(aPairs + kPairBytes * (aCount - 1)); }

// Puts aID/aBlock at its sorted place among aCount pairs of a list that
// holds aCapacity; a full list first gives up its last pair into aCarry.
// Answers whether a pair was given up.
bool InsertPair(uint8_t* aPairs, uint32_t& aCount, uint32_t aCapacity, int32_t aID, uint32_t aBlock, int32_t& aCarryID,
                uint32_t& aCarryBlock) {
  bool carried = false;
  if (aCount >= aCapacity) {
    aCount = aCapacity - 1;
    aCarryID = LoadI32(aPairs + kPairBytes * aCount);
    aCarryBlock = LoadU32(aPairs + kPairBytes * aCount + 4);
    carried = true;
  }
  bool found = false;
  const uint32_t at = SearchPairs(aPairs, aCount, aID, found);
  std::memmove(aPairs + kPairBytes * (at + 1), aPairs + kPairBytes * at, kPairBytes * (aCount - at));
  StoreI32(aPairs + kPairBytes * at, aID);
  StoreU32(aPairs + kPairBytes * at + 4, aBlock);
  ++aCount;
  return carried;
}

}  // namespace

uint32_t Tnx2xFileHeaderAccess::OverflowCount(const uint8_t* aBlock, TnxBlockNumber aNumber) const {
  const uint32_t capacity = LoadU16(aBlock + nxchofCapacity);
  const uint32_t count = LoadU16(aBlock + nxchofCount);
  if (capacity == 0 || capacity > (bfhaHeaderFile->fiBlockSizeBytes - nxchofFirst) / kPairBytes || count > capacity)
    RaiseCorruptBlock(u"sub-header overflow", aNumber);
  return count;
}

TnxBlockNumber Tnx2xFileHeaderAccess::GetHeaderBlockForID(TnxBaseTransaction* aTrans, int32_t aID, bool* aCreated) {
  if (aCreated) *aCreated = false;
  if (aTrans) MarkDirty(aTrans);
  const uint32_t section = FindSection(nxSubHeadersSection, nxSubHeadersSectionSize, aTrans != nullptr, true);
  if (section == 0)
    throw Enx2xFileHeaderAccessException(nxeCorruptHeader, u"Nested table %d has no sub-header in file \"%s\"",
                                         {aID, bfhaHeaderFile->fiName});
  const uint8_t* pairs = Header() + section;
  const uint32_t count = pairs[nxSubHeadersCount];
  if (count > nxSubHeadersPairs) RaiseCorruptHeader(u"sub-header count above 31");
  auto found = [&](const uint8_t* aPairs, uint32_t aCount) -> uint32_t {
    bool hit = false;
    const uint32_t at = SearchPairs(aPairs, aCount, aID, hit);
    if (!hit) return 0;
    const uint32_t block = LoadU32(aPairs + kPairBytes * at + 4);
    CheckBlockNumber(block, u"sub-header");
    return block;
  };
  if (count > 0 && aID <= LastID(pairs, count))
    if (const uint32_t block = found(pairs, count)) return block;
  int64_t lastSeen = count > 0 ? LastID(pairs, count) : std::numeric_limits<int64_t>::min();
  uint32_t next = LoadU32(pairs + nxSubHeadersChain);
  const uint32_t used = UsedBlocks();
  for (uint32_t walked = 0; next != 0 && lastSeen <= aID; ++walked) {
    if (walked >= used) RaiseCorruptHeader(u"sub-header overflow chain loops");
    CheckBlockNumber(next, u"sub-header overflow");
    TnxBlockGuard guard;
    guard.Hold(FetchBlock(aTrans, next, nxSubHeaderOverflowOwnerID, false, guard.ReleaseMethod()));
    const uint8_t* body = guard.Block();
    const uint32_t inBlock = OverflowCount(body, next);
    const int64_t blockLast = inBlock > 0 ? LastID(body + nxchofFirst, inBlock) : lastSeen;
    if (aID > lastSeen && aID <= blockLast)
      if (const uint32_t block = found(body + nxchofFirst, inBlock)) return block;
    lastSeen = std::max(lastSeen, blockLast);
    next = LoadU32(body + nxchofNext);
  }
  if (!aTrans)
    throw Enx2xFileHeaderAccessException(nxeCorruptHeader, u"Nested table %d has no sub-header in file \"%s\"",
                                         {aID, bfhaHeaderFile->fiName});
  TnxBlockGuard created;
  created.Hold(GetNewBlock(*aTrans, aID, created.ReleaseMethod()));
  uint8_t* block = created.Block();
  const uint32_t usable = bfhaHeaderFile->fiBlockSizeBytes;
  const TnxBlockNumber number = LoadU32(block + 4);
  StoreSignature(block, "NX!2");
  std::memset(block + nxBlockCommonHeaderSize, 0, usable - nxBlockCommonHeaderSize);
  StoreU16(block + nxhSectionTop, static_cast<uint16_t>(usable - 1));
  created.Release();
  InsertSubHeader(*aTrans, section, {aID, number});
  if (aCreated) *aCreated = true;
  return number;
}

void Tnx2xFileHeaderAccess::InsertSubHeader(TnxBaseTransaction& aTrans, uint32_t aSection, TPair aPair) {
  uint8_t* pairs = Header() + aSection;
  uint32_t count = pairs[nxSubHeadersCount];
  TPair carry = aPair;
  bool carrying = true;
  if (count == 0 || carry.ID < LastID(pairs, count) || count < nxSubHeadersPairs) {
    TPair out{};
    carrying = InsertPair(pairs, count, nxSubHeadersPairs, carry.ID, carry.Block, out.ID, out.Block);
    carry = out;
    pairs[nxSubHeadersCount] = static_cast<uint8_t>(count);
  }
  if (!carrying) return;
  // The chain's blocks are changed in turn; the one whose link is written
  // next stays held until then.
  int64_t lastBefore = LastID(pairs, count);
  TnxBlockGuard linkHolder;
  uint8_t* link = pairs + nxSubHeadersChain;
  const uint32_t used = UsedBlocks();
  for (uint32_t walked = 0; carrying; ++walked) {
    const uint32_t next = LoadU32(link);
    if (next == 0) {
      StoreU32(link, NewOverflowBlock(aTrans, carry));
      return;
    }
    if (walked >= used) RaiseCorruptHeader(u"sub-header overflow chain loops");
    CheckBlockNumber(next, u"sub-header overflow");
    TnxBlockGuard guard;
    guard.Hold(FetchBlock(&aTrans, next, nxSubHeaderOverflowOwnerID, true, guard.ReleaseMethod()));
    uint8_t* body = guard.Block();
    uint32_t inBlock = OverflowCount(body, next);
    const uint32_t capacity = LoadU16(body + nxchofCapacity);
    const int64_t blockLast = inBlock > 0 ? LastID(body + nxchofFirst, inBlock) : lastBefore;
    if (carry.ID > lastBefore && (carry.ID <= blockLast || inBlock < capacity)) {
      TPair out{};
      carrying = InsertPair(body + nxchofFirst, inBlock, capacity, carry.ID, carry.Block, out.ID, out.Block);
      carry = out;
      StoreU16(body + nxchofCount, static_cast<uint16_t>(inBlock));
    }
    if (inBlock > 0) lastBefore = std::max<int64_t>(lastBefore, LastID(body + nxchofFirst, inBlock));
    link = body + nxchofNext;
    linkHolder = std::move(guard);
  }
}

TnxBlockNumber Tnx2xFileHeaderAccess::NewOverflowBlock(TnxBaseTransaction& aTrans, TPair aPair) {
  TnxBlockGuard guard;
  guard.Hold(GetNewBlock(aTrans, nxSubHeaderOverflowOwnerID, guard.ReleaseMethod()));
  uint8_t* block = guard.Block();
  const uint32_t usable = bfhaHeaderFile->fiBlockSizeBytes;
  const TnxBlockNumber number = LoadU32(block + 4);
  std::memset(block + nxBlockCommonHeaderSize, 0, usable - nxBlockCommonHeaderSize);
  StoreSignature(block, "CHOF");
  StoreU32(block + nxchofNext, 0);
  StoreU16(block + nxchofCapacity, static_cast<uint16_t>((usable - nxchofFirst) / kPairBytes));
  StoreU16(block + nxchofCount, 1);
  StoreI32(block + nxchofFirst, aPair.ID);
  StoreU32(block + nxchofFirst + 4, aPair.Block);
  return number;
}

// The factories' accessors ----------------------------------------------

std::unique_ptr<TnxBaseFileHeaderAccess> Tnx1xFileHeaderAccessFactory::CreateFileHeaderAccess(
    TnxBaseTransaction* aTrans, bool aMarkDirty, TnxBlockAccess& aBlockAccess) const {
  return Tnx1xFileHeaderAccess::Create(aTrans, aMarkDirty, aBlockAccess);
}

std::unique_ptr<TnxBaseFileHeaderAccess> Tnx2xFileHeaderAccessFactory::CreateFileHeaderAccess(
    TnxBaseTransaction* aTrans, bool aMarkDirty, TnxBlockAccess& aBlockAccess) const {
  return Tnx2xFileHeaderAccess::Create(aTrans, aMarkDirty, aBlockAccess);
}

}  // namespace revurov
