#include "index/simple_indices_engine.h"

#include <cstring>

#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/block_access.h"
#include "storage/header_access.h"

namespace revurov {

using platform::LoadU16;
using platform::LoadU32;
using platform::LoadU64;
using platform::StoreU16;
using platform::StoreU32;

namespace {

constexpr uint32_t kNoIndicesBlock = 0xFFFFFFFF;

[[noreturn]] void RaiseCorruptHeader() {
  throw EnxSimpleIndicesEngineException(nxeCorruptHeader, u"Corrupt table/index header.");
}

void ClearEntry(PnxBlock aBlock, int32_t n) {
  StoreU16(aBlock + nxihIndexKeyLen + 2 * n, 0);
  StoreU32(aBlock + nxihIndexKeyCount + 4 * n, 0);
  StoreU32(aBlock + nxihIndexRoot + 4 * n, nxNoNode);
  StoreU32(aBlock + nxihIndexPageCount + 4 * n, 0);
}

}  // namespace

TnxSimpleIndicesEngine::TnxSimpleIndicesEngine(const TnxSubEngineArgs& aArgs) : TnxBaseIndicesEngine(aArgs) {
  const auto& args = static_cast<const TnxIndicesEngineArgs&>(aArgs);
  ineHeaderSection.assign(static_cast<size_t>(Descriptor().IndexCount()), 0);
  const std::string& section = Descriptor().HeaderSection();
  if (args.Trans) {
    for (TnxBlockAccess* file : *args.Files) {
      auto header = file->HeaderAccess(args.Trans, true);
      const uint16_t at = header->RegisterHeaderSection(section, 4, true, args.AddToExisting);
      StoreU32(header->Header() + at, kNoIndicesBlock);
    }
  }
  biseCreateIndices();
  for (int32_t i = 0; i < IndexCount(); ++i) {
    if (args.Trans)
      IndexAdded(*args.Trans, i);
    else
      CheckIndex(i);
  }
}

void TnxSimpleIndicesEngine::CheckIndex(int32_t aIndex) {
  TnxBaseIndexEngine& index = Indices(aIndex);
  auto header = index.IndexFile().HeaderAccess(nullptr, false);
  const uint16_t at = header->RegisterHeaderSection(Descriptor().HeaderSection(), 4, false, false);
  ineHeaderSection[static_cast<size_t>(aIndex)] = at;
  const uint32_t blockNumber = LoadU32(header->Header() + at);
  if (blockNumber == kNoIndicesBlock) RaiseCorruptHeader();
  TnxBlockGuard block;
  block.Hold(nxReadIndexBlock(nullptr, *header, bseID, false, blockNumber, block.ReleaseMethod()));
  if (LoadU16(block.Block() + nxihIndexKeyLen + 2 * aIndex) != index.KeyEngine().KeyLength()) RaiseCorruptHeader();
}

void TnxSimpleIndicesEngine::IndexAdded(TnxBaseTransaction& aTrans, int32_t aIndex) {
  TnxBaseIndexEngine& index = Indices(aIndex);
  auto header = index.IndexFile().HeaderAccess(&aTrans, true);
  if (ineHeaderSection.size() < static_cast<size_t>(aIndex) + 1) ineHeaderSection.resize(static_cast<size_t>(aIndex) + 1);
  const uint16_t at = header->RegisterHeaderSection(Descriptor().HeaderSection(), 4, false, false);
  ineHeaderSection[static_cast<size_t>(aIndex)] = at;
  uint32_t blockNumber = LoadU32(header->Header() + at);
  if (blockNumber == kNoIndicesBlock) {
    TnxBlockGuard block;
    block.Hold(header->GetNewBlock(aTrans, bseID, block.ReleaseMethod()));
    PnxBlock b = block.Block();
    blockNumber = LoadU32(b + 4);
    std::memcpy(b, nxIndexBlockSignature.data(), 4);
    std::memset(b + nxihChangeCounter, 0, nxihIndicesEnd - nxihChangeCounter);
    b[nxihNodeKind] = nxnkIndices;
    for (int32_t n = 0; n < nxMaxIndices; ++n) ClearEntry(b, n);
    StoreU32(header->Header() + at, blockNumber);
  }
  TnxBlockGuard block;
  block.Hold(nxReadIndexBlock(&aTrans, *header, bseID, true, blockNumber, block.ReleaseMethod()));
  StoreU16(block.Block() + nxihIndexKeyLen + 2 * aIndex, index.KeyEngine().KeyLength());
  StoreU32(block.Block() + nxihIndexRoot + 4 * aIndex, nxNoNode);
}

void TnxSimpleIndicesEngine::IndexRemoved(TnxBaseTransaction& aTrans, int32_t aIndex) {
  for (int32_t f = 0; f < FileCount(); ++f) {
    auto header = Files(f).HeaderAccess(&aTrans, true);
    const uint16_t at = header->RegisterHeaderSection(Descriptor().HeaderSection(), 4, false, false);
    const uint32_t blockNumber = LoadU32(header->Header() + at);
    if (blockNumber == kNoIndicesBlock) continue;
    TnxBlockGuard block;
    block.Hold(nxReadIndexBlock(&aTrans, *header, bseID, true, blockNumber, block.ReleaseMethod()));
    PnxBlock b = block.Block();
    const auto moveDown = [&](uint32_t aArray, uint32_t aWidth) {
      std::memmove(b + aArray + aWidth * aIndex, b + aArray + aWidth * (aIndex + 1),
                   aWidth * (nxMaxIndices - 1 - aIndex));
    };
    moveDown(nxihIndexKeyLen, 2);
    moveDown(nxihIndexKeyCount, 4);
    moveDown(nxihIndexRoot, 4);
    moveDown(nxihIndexPageCount, 4);
    ClearEntry(b, nxMaxIndices - 1);
  }
  if (static_cast<size_t>(aIndex) < ineHeaderSection.size()) ineHeaderSection.erase(ineHeaderSection.begin() + aIndex);
}

std::unique_ptr<TnxBaseIndexHeaderAccess> TnxSimpleIndicesEngine::CreateHeaderAccess(
    TnxBaseTransaction* aTrans, bool aMarkFileDirty, bool aMarkIndexDirty, int32_t aFieldCount, int32_t aPartialLen,
    TnxBaseIndexEngine& aIndex) {
  return std::make_unique<TnxSimpleIndicesHeaderAccess>(aTrans, aMarkFileDirty, aMarkIndexDirty, aFieldCount,
                                                        aPartialLen, aIndex, HeaderSection(aIndex.IndexNumber()));
}

// ---- header access ----

TnxSimpleIndicesHeaderAccess::TnxSimpleIndicesHeaderAccess(TnxBaseTransaction* aTrans, bool aMarkFileDirty,
                                                           bool aMarkIndexDirty, int32_t aFieldCount,
                                                           int32_t aPartialLen, TnxBaseIndexEngine& aIndex,
                                                           uint16_t aHeaderSection)
    : TnxBaseIndexHeaderAccess(aTrans, aMarkFileDirty, aMarkIndexDirty, aFieldCount, aPartialLen, aIndex),
      haHeaderSection(aHeaderSection) {}

PnxBlock TnxSimpleIndicesHeaderAccess::InxBlock() {
  if (!haInxBlock) {
    TnxBaseFileHeaderAccess& header = FileHeader();
    const uint32_t blockNumber = LoadU32(header.Header() + haHeaderSection);
    haInxBlock.Hold(
        nxReadIndexBlock(bhaTrans, header, bhaID, bhaIndexMarkDirty, blockNumber, haInxBlock.ReleaseMethod()));
  }
  return haInxBlock.Block();
}

uint32_t TnxSimpleIndicesHeaderAccess::Entry(uint32_t aArray) {
  return LoadU32(InxBlock() + aArray + 4 * bhaIndex.IndexNumber());
}

void TnxSimpleIndicesHeaderAccess::SetEntry(uint32_t aArray, uint32_t aValue) {
  StoreU32(InxBlock() + aArray + 4 * bhaIndex.IndexNumber(), aValue);
}

TnxLSN TnxSimpleIndicesHeaderAccess::GetIndexLSN() { return LoadU64(InxBlock() + 8); }

void nxSimpleIndicesEngineStartup() { TnxSimpleIndicesEngine::ClassInfo().Register(nxDefaultIndexEngine); }

void nxSimpleIndicesEngineShutdown() noexcept { TnxSimpleIndicesEngine::ClassInfo().Unregister(); }

}  // namespace revurov
