#include "storage/heap_engines.h"

#include "platform/endian.h"
#include "storage/header_access.h"

namespace revurov {

using platform::LoadU32;
using platform::StoreU32;

TnxBaseHeapEngine::TnxBaseHeapEngine(int32_t aID, int32_t aTableVersion,
                                     std::unique_ptr<TnxHeapHeaderHandler> aHeaderHandler, TnxBlockAccess* aDataFile)
    : TnxBaseSubEngine(aID, aTableVersion),
      bheHeapRefMask(nxHeapRefMask(aTableVersion)),
      bheHeaderHandler(std::move(aHeaderHandler)),
      bheDataFile(aDataFile) {
  bheHeaderHandler->hhhEngine = this;
}

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
