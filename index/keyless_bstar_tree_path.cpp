#include "index/keyless_bstar_tree_path.h"

#include <functional>

#include "dictionary/key_engine.h"
#include "index/index_engines.h"
#include "index/keyless_key_cache.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "storage/sub_engines.h"

namespace revurov {

namespace {
int Sign(int aValue) { return aValue < 0 ? -1 : (aValue > 0 ? 1 : 0); }
}  // namespace

TnxKeylessBstarTreeIndexPath::TnxKeylessBstarTreeIndexPath(TnxBaseIndexEngine* aIndexEngine)
    : TnxStaticKeyBstarTreeIndexPath(aIndexEngine),
      bpipKeyEngine(&aIndexEngine->KeyEngine()),
      bpipRecordEngine(aIndexEngine->IndicesEngine().RecordEngine()) {
  bpipTempKey = bpipKeyEngine->AllocKey();
}

TnxKeylessBstarTreeIndexPath::~TnxKeylessBstarTreeIndexPath() {
  bpipCache.reset();
  bpipKeyEngine->FreeKey(bpipTempKey);
}

std::unique_ptr<TnxBaseIndexPath> TnxKeylessBstarTreeIndexPath::NewPath(TnxBaseIndexEngine* aIndexEngine) const {
  return std::make_unique<TnxKeylessBstarTreeIndexPath>(aIndexEngine);
}

void TnxKeylessBstarTreeIndexPath::BeginKeyCache(TnxBaseTransaction* aTrans) {
  if (!bpipCache) bpipCache = std::make_unique<TnxKeylessBstarTreeIndexKeyCache>(bpipKeyEngine);
  if (bpipCacheCount == 0) bpipTrans = aTrans;
  ++bpipCacheCount;
}

void TnxKeylessBstarTreeIndexPath::EndKeyCache() noexcept {
  if (bpipCacheCount == 0 || --bpipCacheCount > 0) return;
  bpipTrans = nullptr;
  if (bpipCache) bpipCache->Clear();
}

void TnxKeylessBstarTreeIndexPath::ReadEntryRecord(TnxRefNr aRefNr,
                                                   const std::function<bool(const uint8_t*)>& aIterator) {
  const TnxStorageRecordIterator iterator = [&aIterator](void*, TnxRefNr, PnxRecordBuffer aRecord) {
    return aIterator(aRecord) ? rirContinue : rirStop;
  };
  // Engines that cannot hand a record over in place read it into a buffer
  // of their own.
  PnxRecordBuffer buffer = nullptr;
  if (bpipRecordEngine->ReadRecordForIterate(bpipTrans, aRefNr, &buffer, iterator, nullptr, nullptr) == rirStop)
    nxCheckError(nxeExceptionWithoutCode);
}

void TnxKeylessBstarTreeIndexPath::LoadKeyForRef(uint8_t*& aKey, TnxRefNr aRefNr) {
  if (!aKey) aKey = bpipKeyEngine->AllocKey();
  uint8_t* key = aKey;
  ReadEntryRecord(aRefNr, [&](const uint8_t* aRecord) { return bpipKeyEngine->BuildKey(aRecord, key, aRefNr, true) == 0; });
}

void TnxKeylessBstarTreeIndexPath::LoadNodeKey(TnxCacheNode& aNode) { LoadKeyForRef(aNode.cnKey, aNode.cnKeyRef); }

int TnxKeylessBstarTreeIndexPath::CompareKeyToRef(const uint8_t* aKey, TnxRefNr aRefNr) {
  if (PnxCacheNode node = bpipCache ? bpipCache->GetNodeForRef(aRefNr, true) : nullptr) {
    if (!node->cnKey) LoadNodeKey(*node);
    return Sign(bpipKeyEngine->CompareKey(aKey, node->cnKey));
  }
  int result = 0;
  ReadEntryRecord(aRefNr, [&](const uint8_t* aRecord) {
    result = bpipKeyEngine->CompareKeyToRecord(aKey, aRecord, aRefNr);
    return true;
  });
  return Sign(result);
}

int TnxKeylessBstarTreeIndexPath::CompareKeyToRefPartial(const uint8_t* aKey, int32_t aFieldCount,
                                                         int32_t aPartialLen, TnxRefNr aRefNr) {
  if (PnxCacheNode node = bpipCache ? bpipCache->GetNodeForRef(aRefNr, true) : nullptr) {
    if (!node->cnKey) LoadNodeKey(*node);
    return Sign(bpipKeyEngine->CompareKey(aKey, node->cnKey, aFieldCount, aPartialLen));
  }
  int result = 0;
  ReadEntryRecord(aRefNr, [&](const uint8_t* aRecord) {
    result = bpipKeyEngine->CompareKeyToRecord(aKey, aRecord, aRefNr, aFieldCount, aPartialLen);
    return true;
  });
  return Sign(result);
}

uint8_t* TnxKeylessBstarTreeIndexPath::KeyForRef(bool aDontCreate, TnxRefNr aRefNr) {
  if (PnxCacheNode node = bpipCache ? bpipCache->GetNodeForRef(aRefNr, aDontCreate) : nullptr) {
    if (!node->cnKey) LoadNodeKey(*node);
    return node->cnKey;
  }
  LoadKeyForRef(bpipTempKey, aRefNr);
  return bpipTempKey;
}

void TnxKeylessBstarTreeIndexPath::CopyKeyForRef(uint8_t* aKey, TnxRefNr aRefNr) {
  bpipKeyEngine->CopyKey(KeyForRef(false, aRefNr), aKey);
}

}  // namespace revurov
