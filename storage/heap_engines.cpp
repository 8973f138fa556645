#include "storage/heap_engines.h"

#include "dictionary/storage_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/block_access.h"
#include "storage/files.h"
#include "storage/header_access.h"

namespace revurov {

constinit TnxClassRegistry nxBlockHeapEngines;
constinit TnxClassRegistry nxHeapEngines;

namespace {
constexpr std::u16string_view kBlockHeapWord = u"BlockHeap";
constexpr std::u16string_view kHeapWord = u"Heap";

const TnxBlockHeapEngineClass& FindBlockHeapClass(std::u16string_view aName) {
  const TnxSubEngineClass* c = TnxBaseBlockHeapEngine::ClassInfo().FindEngineClass(aName);
  if (!c) nxRaiseUnknownEngine<EnxBaseBlockHeapEngineException>(kBlockHeapWord, aName);
  // Every class of the family carries the family's record type.
  return static_cast<const TnxBlockHeapEngineClass&>(*c);
}
}  // namespace

std::unique_ptr<TnxBaseBlockHeapEngine> TnxBaseBlockHeapEngine::CreateEngine(TnxBaseBlockHeapDescriptor* aDescriptor,
                                                                             uint32_t aBlockSize, uint16_t aHeaderSize,
                                                                             int32_t aTableVersion) {
  if (!aDescriptor) return nullptr;
  const TnxBlockHeapEngineClass& c = FindBlockHeapClass(aDescriptor->BlockHeapEngine());
  if (!c.CreateBlockHeap)
    nxRaiseUnknownEngine<EnxBaseBlockHeapEngineException>(kBlockHeapWord, aDescriptor->BlockHeapEngine());
  return c.CreateBlockHeap(*aDescriptor, aTableVersion, aHeaderSize, aBlockSize);
}

void TnxBaseBlockHeapEngine::CheckValidBaseFromDescriptor(TnxBaseBlockHeapDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  FindBlockHeapClass(aDescriptor->BlockHeapEngine()).DoCheckValidDescriptor(*aDescriptor);
}

const TnxHeapEngineClass& TnxBaseHeapEngine::ClassInfo() noexcept {
  static const TnxHeapEngineClass info{
      {{u"TnxBaseHeapEngine", &TnxBaseSubEngine::ClassInfo(), &nxHeapEngines}, nullptr, &CheckValidItem}};
  return info;
}

std::unique_ptr<TnxBaseHeapEngine> TnxBaseHeapEngine::CreateEngine(
    TnxBaseHeapDescriptor* aDescriptor, TnxBlockAccess& aDataFile,
    std::unique_ptr<TnxHeapHeaderHandler> aHeaderHandler) {
  if (!aDescriptor) return nullptr;
  const TnxSubEngineClass* c = ClassInfo().FindEngineClass(aDescriptor->HeapEngine());
  // Every class of the family carries the family's record type.
  const auto* heapClass = static_cast<const TnxHeapEngineClass*>(c);
  if (!heapClass || !heapClass->CreateHeap)
    nxRaiseUnknownEngine<EnxBaseHeapEngineException>(kHeapWord, aDescriptor->HeapEngine());
  return heapClass->CreateHeap(*aDescriptor, std::move(aHeaderHandler), aDataFile);
}

void TnxBaseHeapEngine::CheckValidDescriptor(TnxBaseHeapDescriptor& aDescriptor) {
  if (!aDescriptor.BlockHeapDescriptor())
    throw EnxBaseHeapEngineException(nxeInvalidDescriptor, u"A block heap descriptor is required");
  TnxBaseBlockHeapEngine::CheckValidBaseFromDescriptor(aDescriptor.BlockHeapDescriptor());
}

void TnxBaseHeapEngine::CheckValidBaseFromDescriptor(TnxBaseHeapDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  const TnxSubEngineClass* c = ClassInfo().FindEngineClass(aDescriptor->HeapEngine());
  if (!c) nxRaiseUnknownEngine<EnxBaseHeapEngineException>(kHeapWord, aDescriptor->HeapEngine());
  c->DoCheckValidDescriptor(*aDescriptor);
}

void TnxBaseHeapEngine::CheckValidItem(TnxDictionaryItem& aDescriptor) {
  CheckValidDescriptor(static_cast<TnxBaseHeapDescriptor&>(aDescriptor));
}

void nxHeapFamiliesStartup() {
  TnxBaseBlockHeapEngine::ClassInfo().RegisterFamily();
  TnxBaseHeapEngine::ClassInfo().RegisterFamily();
}

void nxHeapFamiliesShutdown() noexcept {
  TnxBaseHeapEngine::ClassInfo().UnregisterFamily();
  TnxBaseBlockHeapEngine::ClassInfo().UnregisterFamily();
}

using platform::LoadU32;
using platform::StoreU32;

TnxBaseHeapEngine::TnxBaseHeapEngine(TnxBaseHeapDescriptor& aDescriptor,
                                     std::unique_ptr<TnxHeapHeaderHandler> aHeaderHandler, TnxBlockAccess& aDataFile)
    : TnxBaseSubEngine(aDescriptor.ID(), aDataFile.File().fiZirezVersion),
      bheHeaderHandler(std::move(aHeaderHandler)),
      bheDataFile(&aDataFile) {
  bheHeaderHandler->hhhEngine = this;
  if (!aDescriptor.BlockHeapDescriptor())
    throw EnxBaseHeapEngineException(nxeInvalidDescriptor, u"A block heap descriptor is required");
  bheBlockHeapEngine = TnxBaseBlockHeapEngine::CreateEngine(aDescriptor.BlockHeapDescriptor(),
                                                            aDataFile.fiBlockSizeBytes(),
                                                            bheHeaderHandler->GetBlockHeaderSize(), bseTableVersion);
  bheBlockHeapEngine->bbheFileName = aDataFile.fiName();
  // Through the virtual call, so that a subclass's tracking is the one told.
  bheBlockHeapEngine->bbheOnChanged = [this](PnxBlock aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                                             uint16_t aRecoverableSpace) {
    BlockHeapChanged(aBlock, aSegmentCount, aFreeSpaceSize, aRecoverableSpace);
  };
}

TnxBaseHeapEngine::~TnxBaseHeapEngine() = default;

TnxBlockNumber TnxSegmentedBlobHeapHeaderHandler::GetFirstMapBlock(TnxBaseFileHeaderAccess& aHeaderAccess) {
  return LoadU32(aHeaderAccess.Header() + bhhhHeaderSection);
}

void TnxSegmentedBlobHeapHeaderHandler::SetFirstMapBlock(TnxBaseFileHeaderAccess& aHeaderAccess,
                                                         TnxBlockNumber aBlockNumber) {
  StoreU32(aHeaderAccess.Header() + bhhhHeaderSection, aBlockNumber);
}

TnxBlockNumber TnxVariableRecordHeapHeaderHandler::GetFirstMapBlock(TnxBaseFileHeaderAccess& aHeaderAccess) {
  return LoadU32(aHeaderAccess.Header() + rhhhHeaderSection + nxrhSectionFirstMap);
}

void TnxVariableRecordHeapHeaderHandler::SetFirstMapBlock(TnxBaseFileHeaderAccess& aHeaderAccess,
                                                          TnxBlockNumber aBlockNumber) {
  StoreU32(aHeaderAccess.Header() + rhhhHeaderSection + nxrhSectionFirstMap, aBlockNumber);
}

void TnxVariableRecordHeapHeaderHandler::SetLink(TnxBaseTransaction& aTrans, TnxBlockNumber aNumber,
                                                 uint32_t aOffset, TnxBlockNumber aValue) {
  TnxBlockGuard guard;
  guard.Hold(hhhEngine->ReadBlockHeap(&aTrans, aNumber, true, guard.ReleaseMethod()));
  StoreU32(guard.Block() + aOffset, aValue);
}

void TnxVariableRecordHeapHeaderHandler::LinkDataBlock(TnxBaseTransaction& aTrans,
                                                       TnxBaseFileHeaderAccess& aHeaderAccess, PnxBlock aBlock) {
  uint8_t* section = aHeaderAccess.Header() + rhhhHeaderSection;
  const TnxBlockNumber self = nxLoadBlockCommonHeader(aBlock).bchThisBlock;
  const TnxBlockNumber last = LoadU32(section + nxrhSectionLast);
  StoreU32(aBlock + nxrhBlockNext, 0);
  StoreU32(aBlock + nxrhBlockPrev, last);
  StoreU32(section + nxrhSectionLast, self);
  if (last != 0) {
    SetLink(aTrans, last, nxrhBlockNext, self);
  } else {
    StoreU32(section + nxrhSectionFirst, self);
  }
}

void TnxVariableRecordHeapHeaderHandler::UnlinkDataBlock(TnxBaseTransaction& aTrans,
                                                         TnxBaseFileHeaderAccess& aHeaderAccess, PnxBlock aBlock) {
  uint8_t* section = aHeaderAccess.Header() + rhhhHeaderSection;
  const TnxBlockNumber prev = LoadU32(aBlock + nxrhBlockPrev);
  const TnxBlockNumber next = LoadU32(aBlock + nxrhBlockNext);
  if (prev != 0) {
    SetLink(aTrans, prev, nxrhBlockNext, next);
  } else {
    StoreU32(section + nxrhSectionFirst, next);
  }
  if (next != 0) {
    SetLink(aTrans, next, nxrhBlockPrev, prev);
  } else {
    StoreU32(section + nxrhSectionLast, prev);
  }
}

}  // namespace revurov
