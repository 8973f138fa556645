#include "storage/simple_blob_engine.h"

#include <algorithm>
#include <cstring>

#include "lowlevel/errors/error_codes.h"
#include "platform/code_page.h"
#include "platform/endian.h"
#include "platform/stream.h"
#include "storage/block_access.h"
#include "storage/deadline.h"
#include "storage/header_access.h"
#include "storage/heap_engines.h"

namespace revurov {

using platform::LoadU16;
using platform::LoadU32;
using platform::LoadU64;
using platform::StoreU16;
using platform::StoreU32;
using platform::StoreU64;

namespace {

constexpr TnxBlockSignature kBlobBlockSig{'N', 'X', 'B', 'H'};
constexpr TnxBlockNumber kNoBlock = 0xFFFFFFFFu;
constexpr uint32_t kChainEnd = 0xFFFFFFFFu;  // -1 in the next field
constexpr uint32_t kFileNameAt = nxbbData + 2;
constexpr uint32_t kLinkNameAt = nxbbData + 4;

// Blocks the transaction added are not in the committed count yet.
bool ValidInTrans(TnxBlockAccess& aAccess, TnxBlockNumber aBlock, TnxBaseTransaction* aTrans) {
  if (aAccess.ValidBlock(aBlock, aTrans)) return true;
  return aBlock != 0 && aTrans && aAccess.ValidBlock(aBlock, *aAccess.HeaderAccess(aTrans, false));
}

uint32_t UsedOf(const uint8_t* aBlock) { return LoadU16(aBlock + nxbbUsed); }

}  // namespace

TnxSimpleBlobEngine::TnxSimpleBlobEngine(const TnxSubEngineArgs& aArgs) : TnxBaseBlobEngine(aArgs) {
  if (nxHeapRefsCounted(bseTableVersion)) bbeBlobNrMask = static_cast<TnxBlobNr>(0x00000000FFFFFFFFll);
}

void nxSimpleBlobEngineStartup() { TnxSimpleBlobEngine::ClassInfo().Register(u"nx1xSimple"); }
void nxSimpleBlobEngineShutdown() noexcept { TnxSimpleBlobEngine::ClassInfo().Unregister(); }

uint32_t TnxSimpleBlobEngine::DataSize() const noexcept { return bbeBlobFile.fiBlockSizeBytes() - nxbbData; }

TnxBlockNumber TnxSimpleBlobEngine::FirstBlock(TnxBlobNr aBlobNr) const noexcept {
  return static_cast<TnxBlockNumber>(static_cast<uint64_t>(aBlobNr & bbeBlobNrMask));
}

void TnxSimpleBlobEngine::RaiseDamaged(TnxBlockNumber aBlockNumber) const {
  throw EnxSimpleBlobEngineException(nxeCorruptFile, u"Damaged BLOB block chain [%s, block %d]",
                                     {bbeBlobFile.fiName(), aBlockNumber});
}

void TnxSimpleBlobEngine::RaiseReadOnly(TnxBlobNr aBlobNr, uint8_t aKind) const {
  // A link's name and source number lie where written bytes would go.
  throw EnxSimpleBlobEngineException(
      nxeReadOnlyField, aKind == nxsbkLink ? u"Cannot write to a BLOB link [%s, (%d)]" : u"Cannot write to a file BLOB [%s, (%d)]",
      {bbeBlobFile.fiName(), aBlobNr & bbeBlobNrMask});
}

PnxBlock TnxSimpleBlobEngine::ReadBlobBlock(TnxBaseTransaction* aTrans, bool aMarkDirty, TnxBlockGuard& aGuard,
                                            TnxBlockNumber aBlockNumber) {
  aGuard.Release();
  if (aBlockNumber == 0)
    throw EnxSimpleBlobEngineException(nxeInvalidBlobHandle, u"Number is not a valid RevurOV BLOB number [%s, (%d)]",
                                       {bbeBlobFile.fiName(), 0});
  if (!ValidInTrans(bbeBlobFile, aBlockNumber, aTrans))
    throw EnxSimpleBlobEngineException(nxeInvalidBlockNumber,
                                       u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                       {bbeBlobFile.fiName(), aBlockNumber});
  aGuard.Hold(bbeBlobFile.GetBlock(aTrans, aBlockNumber, bseID, aMarkDirty, aGuard.ReleaseMethod()));
  const TnxBlockCommonHeader header = nxLoadBlockCommonHeader(aGuard.Block());
  if (header.bchSignature != kBlobBlockSig || header.bchThisBlock != aBlockNumber) {
    aGuard.Release();
    throw EnxSimpleBlobEngineException(nxeBlobError,
                                       u"Block just read from file is not a valid BLOB data block [%s, %d]",
                                       {bbeBlobFile.fiName(), aBlockNumber});
  }
  if (UsedOf(aGuard.Block()) > DataSize()) {
    aGuard.Release();
    RaiseDamaged(aBlockNumber);
  }
  return aGuard.Block();
}

PnxBlock TnxSimpleBlobEngine::NewBlobBlock(TnxBaseTransaction& aTrans, TnxBaseFileHeaderAccess& aHeaderAccess,
                                           TnxBlockGuard& aGuard) {
  aGuard.Release();
  aGuard.Hold(aHeaderAccess.GetNewBlock(aTrans, bseID, aGuard.ReleaseMethod()));
  uint8_t* block = aGuard.Block();
  std::memcpy(block, kBlobBlockSig.data(), 4);
  block[nxbbKind] = nxsbkOrdinary;
  StoreU32(block + nxbbNext, kChainEnd);
  StoreU32(block + nxbbLength, 0);
  StoreU16(block + nxbbUsed, 0);
  return block;
}

uint32_t TnxSimpleBlobEngine::ChainLimit(TnxBaseTransaction* aTrans) {
  return bbeBlobFile.HeaderAccess(aTrans, false)->UsedBlocks();
}

TnxBlockNumber TnxSimpleBlobEngine::NextOf(const uint8_t* aBlock, TnxBlockNumber aFirst, uint32_t& aSteps,
                                           uint32_t aLimit) const {
  const uint32_t next = LoadU32(aBlock + nxbbNext);
  if (next == kChainEnd) return kNoBlock;
  // A chain can hold each block of the file once; a longer one loops.
  // Loops back to the block itself or to the chain's start are caught at
  // once, longer ones by the bound.
  const TnxBlockNumber self = nxLoadBlockCommonHeader(aBlock).bchThisBlock;
  if (next == 0 || next == self || next == aFirst || ++aSteps >= aLimit) RaiseDamaged(self);
  if (aSteps % 256 == 0) nxCheckTimeout();
  return next;
}

std::u16string TnxSimpleBlobEngine::FileNameOf(const uint8_t* aBlock) const {
  const uint32_t n = LoadU16(aBlock + nxbbData);
  if (n > DataSize() - 2) RaiseDamaged(nxLoadBlockCommonHeader(aBlock).bchThisBlock);
  return platform::CodePageToUnicode(std::string_view(reinterpret_cast<const char*>(aBlock + kFileNameAt), n),
                                     platform::SystemAnsiCodePage());
}

void TnxSimpleBlobEngine::LinkOf(const uint8_t* aBlock, std::u16string& aTableName, TnxBlobNr& aBlobNr) const {
  const uint32_t n = LoadU32(aBlock + nxbbData);
  if (n > DataSize() - 12) RaiseDamaged(nxLoadBlockCommonHeader(aBlock).bchThisBlock);
  aTableName = platform::CodePageToUnicode(std::string_view(reinterpret_cast<const char*>(aBlock + kLinkNameAt), n),
                                           platform::SystemAnsiCodePage());
  aBlobNr = static_cast<TnxBlobNr>(LoadU64(aBlock + kLinkNameAt + n));
}

std::string TnxSimpleBlobEngine::NameBytes(std::u16string_view aName, uint32_t aLimit) const {
  std::string bytes = platform::UnicodeToCodePageLossy(aName, platform::SystemAnsiCodePage());
  if (bytes.size() > aLimit)
    throw EnxSimpleBlobEngineException(nxeInvalidParameter, u"Invalid parameter.");
  return bytes;
}

// ---- creating ----

void TnxSimpleBlobEngine::AddBlob(TnxBaseTransaction& aTrans, TnxBlobNr& aBlobNr) {
  auto header = bbeBlobFile.HeaderAccess(&aTrans, true);
  TnxBlockGuard guard;
  NewBlobBlock(aTrans, *header, guard);
  aBlobNr = nxLoadBlockCommonHeader(guard.Block()).bchThisBlock;
}

void TnxSimpleBlobEngine::AddFileBlob(TnxBaseTransaction& aTrans, std::u16string_view aFileName, TnxBlobNr& aBlobNr) {
  const std::string name = NameBytes(aFileName, DataSize() - 2);
  auto header = bbeBlobFile.HeaderAccess(&aTrans, true);
  TnxBlockGuard guard;
  uint8_t* block = NewBlobBlock(aTrans, *header, guard);
  block[nxbbKind] = nxsbkFile;
  StoreU32(block + nxbbLength, static_cast<uint32_t>(name.size()) + 1);
  StoreU16(block + nxbbData, static_cast<uint16_t>(name.size()));
  std::memcpy(block + kFileNameAt, name.data(), name.size());
  aBlobNr = nxLoadBlockCommonHeader(block).bchThisBlock;
}

void TnxSimpleBlobEngine::AddBlobLink(TnxBaseTransaction& aTrans, std::u16string_view aTableName,
                                      TnxBlobNr aTableBlobNr, TnxBlobNr& aBlobNr) {
  const std::string name = NameBytes(aTableName, DataSize() - 12);
  auto header = bbeBlobFile.HeaderAccess(&aTrans, true);
  TnxBlockGuard guard;
  uint8_t* block = NewBlobBlock(aTrans, *header, guard);
  block[nxbbKind] = nxsbkLink;
  StoreU32(block + nxbbLength, static_cast<uint32_t>(name.size()) + 12);
  StoreU32(block + nxbbData, static_cast<uint32_t>(name.size()));
  std::memcpy(block + kLinkNameAt, name.data(), name.size());
  StoreU64(block + kLinkNameAt + name.size(), static_cast<uint64_t>(aTableBlobNr));
  aBlobNr = nxLoadBlockCommonHeader(block).bchThisBlock;
}

// ---- reading ----

uint32_t TnxSimpleBlobEngine::GetBlobLength(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr,
                                            const TnxBlobLinkGetLength& aLengthMethod, uint32_t& aLength) {
  aLength = 0;
  TnxBlockGuard guard;
  const uint8_t* block = ReadBlobBlock(aTrans, false, guard, FirstBlock(aBlobNr));
  if (block[nxbbKind] == nxsbkFile) {
    const std::u16string name = FileNameOf(block);
    guard.Release();
    return GetFileBlobSize(name, aLength);
  }
  if (block[nxbbKind] == nxsbkLink) {
    std::u16string name;
    TnxBlobNr number = 0;
    LinkOf(block, name, number);
    guard.Release();
    if (!aLengthMethod) return nxeBlobError;
    return aLengthMethod(name, number, aLength);
  }
  aLength = LoadU32(block + nxbbLength);
  return 0;
}

bool TnxSimpleBlobEngine::IsFileBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::u16string& aFileName) {
  aFileName.clear();
  TnxBlockGuard guard;
  const uint8_t* block = ReadBlobBlock(aTrans, false, guard, FirstBlock(aBlobNr));
  if (block[nxbbKind] != nxsbkFile) return false;
  aFileName = FileNameOf(block);
  return true;
}

bool TnxSimpleBlobEngine::IsBlobLink(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, std::u16string& aSrcTableName,
                                     TnxBlobNr& aSrcTableBlobNr) {
  aSrcTableName.clear();
  TnxBlockGuard guard;
  const uint8_t* block = ReadBlobBlock(aTrans, false, guard, FirstBlock(aBlobNr));
  if (block[nxbbKind] != nxsbkLink) return false;
  LinkOf(block, aSrcTableName, aSrcTableBlobNr);
  return true;
}

uint32_t TnxSimpleBlobEngine::Read(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                   const TnxBlobLinkRead& aReadMethod, platform::TStream& aStream) {
  if (aLen == 0) return 0;
  const uint32_t limit = ChainLimit(aTrans);
  TnxBlockGuard guard;
  const uint8_t* block = ReadBlobBlock(aTrans, false, guard, FirstBlock(aBlobNr));
  if (block[nxbbKind] == nxsbkFile) {
    const std::u16string name = FileNameOf(block);
    guard.Release();
    return ReadFileBlobData(name, aOffset, aStream, aLen);
  }
  if (block[nxbbKind] == nxsbkLink) {
    std::u16string name;
    TnxBlobNr number = 0;
    LinkOf(block, name, number);
    guard.Release();
    if (!aReadMethod) return nxeBlobError;
    return aReadMethod(name, number, aOffset, aLen, aStream);
  }
  const uint32_t length = LoadU32(block + nxbbLength);
  if (aOffset >= length) return 0;
  uint32_t missing = std::min(aLen, length - aOffset);
  uint32_t steps = 0;
  uint64_t pos = 0;
  // The block that holds the offset: where the used counts pass it.
  while (pos + UsedOf(block) <= aOffset) {
    pos += UsedOf(block);
    const TnxBlockNumber next = NextOf(block, FirstBlock(aBlobNr), steps, limit);
    if (next == kNoBlock) RaiseDamaged(nxLoadBlockCommonHeader(block).bchThisBlock);
    block = ReadBlobBlock(aTrans, false, guard, next);
  }
  auto p = static_cast<uint32_t>(aOffset - pos);
  for (;;) {
    const uint32_t n = std::min(missing, UsedOf(block) - p);
    if (n > 0) aStream.WriteBuffer(block + nxbbData + p, n);
    missing -= n;
    if (missing == 0) return 0;
    p = 0;
    const TnxBlockNumber next = NextOf(block, FirstBlock(aBlobNr), steps, limit);
    if (next == kNoBlock) RaiseDamaged(nxLoadBlockCommonHeader(block).bchThisBlock);
    block = ReadBlobBlock(aTrans, false, guard, next);
  }
}

// ---- changing ----

void TnxSimpleBlobEngine::Write(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                const void* aBlob) {
  const TnxBlockNumber firstNumber = FirstBlock(aBlobNr);
  TnxBlockGuard first;
  uint8_t* head = ReadBlobBlock(&aTrans, true, first, firstNumber);
  const uint64_t end = uint64_t{aOffset} + aLen;
  if (end > nxMaxBlobSize) throw EnxSimpleBlobEngineException(nxeBlobTooLarge, u"BLOB size exceeds maximum size.");
  if (head[nxbbKind] == nxsbkFile || head[nxbbKind] == nxsbkLink) RaiseReadOnly(aBlobNr, head[nxbbKind]);
  const uint32_t length = LoadU32(head + nxbbLength);
  if (aOffset > length)
    throw EnxSimpleBlobEngineException(
        nxeInvalidBlobOffset, u"Offset value is greater than the length of the BLOB [%s, (%d), offset %d, length %d]",
        {bbeBlobFile.fiName(), aBlobNr & bbeBlobNrMask, aOffset, length});
  if (aLen == 0) return;
  const uint32_t limit = ChainLimit(&aTrans);
  const uint32_t data = DataSize();

  // The start: the first block whose used count passes the offset, or the
  // last block when none does (then the write appends).
  uint32_t steps = 0;
  uint64_t pos = 0;
  TnxBlockGuard walk;
  const uint8_t* at = head;
  TnxBlockNumber atNumber = firstNumber;
  for (;;) {
    if (pos + UsedOf(at) > aOffset) break;
    const TnxBlockNumber next = NextOf(at, firstNumber, steps, limit);
    if (next == kNoBlock) {
      if (pos + UsedOf(at) != aOffset) RaiseDamaged(atNumber);
      break;
    }
    pos += UsedOf(at);
    at = ReadBlobBlock(&aTrans, false, walk, next);
    atNumber = next;
  }
  walk.Release();
  auto p = static_cast<uint32_t>(aOffset - pos);

  std::unique_ptr<TnxBaseFileHeaderAccess> header;
  TnxBlockGuard current;
  uint8_t* block = atNumber == firstNumber ? head : ReadBlobBlock(&aTrans, true, current, atNumber);
  const auto* from = static_cast<const uint8_t*>(aBlob);
  uint32_t remaining = aLen;
  for (;;) {
    const uint32_t used = UsedOf(block);
    const uint32_t next = LoadU32(block + nxbbNext);
    const bool last = next == kChainEnd;
    // Before the last block a used count stays: the bytes after it belong
    // to later offsets.
    const uint32_t room = last ? data : used;
    if (p > room) RaiseDamaged(nxLoadBlockCommonHeader(block).bchThisBlock);
    const uint32_t n = std::min(remaining, room - p);
    std::memcpy(block + nxbbData + p, from, n);
    if (last && p + n > used) StoreU16(block + nxbbUsed, static_cast<uint16_t>(p + n));
    from += n;
    remaining -= n;
    if (remaining == 0) break;
    p = 0;
    TnxBlockGuard following;
    uint8_t* successor = nullptr;
    if (last) {
      if (!header) header = bbeBlobFile.HeaderAccess(&aTrans, true);
      successor = NewBlobBlock(aTrans, *header, following);
      StoreU32(block + nxbbNext, nxLoadBlockCommonHeader(successor).bchThisBlock);
    } else {
      if (++steps >= limit || next == 0 || next == firstNumber) RaiseDamaged(next);
      successor = ReadBlobBlock(&aTrans, true, following, next);
    }
    current = std::move(following);
    block = successor;
  }
  if (end > length) StoreU32(head + nxbbLength, static_cast<uint32_t>(end));
}

void TnxSimpleBlobEngine::Truncate(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, uint32_t aLen) {
  auto header = bbeBlobFile.HeaderAccess(&aTrans, true);
  const TnxBlockNumber firstNumber = FirstBlock(aBlobNr);
  TnxBlockGuard first;
  uint8_t* head = ReadBlobBlock(&aTrans, true, first, firstNumber);
  const uint32_t length = LoadU32(head + nxbbLength);
  if (aLen == length) return;
  if (head[nxbbKind] == nxsbkFile || head[nxbbKind] == nxsbkLink) RaiseReadOnly(aBlobNr, head[nxbbKind]);
  if (aLen > length)
    throw EnxSimpleBlobEngineException(
        nxeInvalidBlobLength, u"Truncate length is greater than length of BLOB [%s, (%d), offset %d, length %d]",
        {bbeBlobFile.fiName(), aBlobNr & bbeBlobNrMask, aLen, length});
  const uint32_t limit = header->UsedBlocks();
  StoreU32(head + nxbbLength, aLen);
  uint32_t steps = 0;
  uint64_t pos = 0;
  TnxBlockGuard walk;
  uint8_t* block = head;
  TnxBlockNumber number = firstNumber;
  while (pos < aLen) {
    const uint32_t used = UsedOf(block);
    if (pos + used >= aLen) {
      if (block != head) block = ReadBlobBlock(&aTrans, true, walk, number);
      StoreU16(block + nxbbUsed, static_cast<uint16_t>(aLen - pos));
      break;
    }
    pos += used;
    const TnxBlockNumber next = NextOf(block, FirstBlock(aBlobNr), steps, limit);
    if (next == kNoBlock) RaiseDamaged(number);
    if (next == firstNumber) RaiseDamaged(next);
    block = ReadBlobBlock(&aTrans, false, walk, next);
    number = next;
  }
  uint32_t noted = LoadU32(block + nxbbNext);
  if (noted == kChainEnd) return;
  StoreU32(block + nxbbNext, kChainEnd);
  walk.Release();
  while (noted != kChainEnd) {
    if (noted == 0 || noted == firstNumber || ++steps >= limit) RaiseDamaged(noted);
    TnxBlockGuard doomed;
    uint8_t* b = ReadBlobBlock(&aTrans, true, doomed, noted);
    noted = LoadU32(b + nxbbNext);
    header->DeleteBlock(aTrans, b);
  }
}

void TnxSimpleBlobEngine::DeleteBlob(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr) {
  auto header = bbeBlobFile.HeaderAccess(&aTrans, true);
  const uint32_t limit = header->UsedBlocks();
  const TnxBlockNumber first = FirstBlock(aBlobNr);
  uint32_t number = first;
  // The chain is checked whole before the first block goes.
  {
    uint32_t steps = 0;
    TnxBlockGuard walk;
    const uint8_t* b = ReadBlobBlock(&aTrans, false, walk, number);
    for (TnxBlockNumber next = NextOf(b, first, steps, limit); next != kNoBlock; next = NextOf(b, first, steps, limit))
      b = ReadBlobBlock(&aTrans, false, walk, next);
  }
  while (number != kChainEnd) {
    TnxBlockGuard doomed;
    uint8_t* b = ReadBlobBlock(&aTrans, true, doomed, number);
    number = LoadU32(b + nxbbNext);
    header->DeleteBlock(aTrans, b);
  }
}

bool TnxSimpleBlobEngine::FreeBlob(TnxBaseTransaction* aTrans, TnxBlobNr aBlobNr) {
  TnxBlockGuard guard;
  const uint8_t* block = ReadBlobBlock(aTrans, false, guard, FirstBlock(aBlobNr));
  if (LoadU32(block + nxbbLength) != 0 || !aTrans) return false;
  guard.Release();
  DeleteBlob(*aTrans, aBlobNr);
  return true;
}

void TnxSimpleBlobEngine::IncBlobNr(TnxBlobNr& aBlobNr) {
  if (!nxHeapRefsCounted(bseTableVersion)) return;
  const auto value = static_cast<uint64_t>(aBlobNr);
  const uint64_t counter = ((value >> 32) + 1) & 0xFFFFFFFFull;
  aBlobNr = static_cast<TnxBlobNr>((counter << 32) | (value & 0xFFFFFFFFull));
}

}  // namespace revurov
