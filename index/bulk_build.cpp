#include "index/bulk_build.h"

#include <cstring>

#include "dictionary/key_engine.h"
#include "index/index_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/transactions.h"

namespace revurov {

// ---- the engines' side ----

std::unique_ptr<TnxBaseBulkBuilder> TnxBaseIndicesEngine::CreateBulkBuilder(TnxBaseTransaction& aTrans) {
  if (biseIndices.empty()) return nullptr;
  if (biseIndices.size() == 1) return biseIndices[0]->CreateBulkBuilder(aTrans);
  std::vector<TnxBaseIndexEngine*> indices;
  for (const auto& index : biseIndices) indices.push_back(index.get());
  return std::make_unique<TnxBulkBuilderHub>(aTrans, indices);
}

std::unique_ptr<TnxBaseBulkBuilder> TnxBaseIndexEngine::CreateBulkBuilder(TnxBaseTransaction& aTrans) {
  return std::make_unique<TnxDefaultIndexBulkBuilder>(aTrans, *this);
}

// ---- hub ----

TnxBulkBuilderHub::TnxBulkBuilderHub(TnxBaseTransaction& aTrans,
                                     const std::vector<TnxBaseIndexEngine*>& aIndexEngines) {
  bbhBulkBuilders.reserve(aIndexEngines.size());
  for (TnxBaseIndexEngine* index : aIndexEngines) bbhBulkBuilders.push_back(index->CreateBulkBuilder(aTrans));
}

uint32_t TnxBulkBuilderHub::InsertKey(TnxRefNr aRefNr, const uint8_t* aRecord, TnxBaseTransaction& aTrans) {
  for (const auto& builder : bbhBulkBuilders)
    if (const uint32_t r = builder->InsertKey(aRefNr, aRecord, aTrans)) return r;
  return 0;
}

uint32_t TnxBulkBuilderHub::Finalize(TnxBaseTransaction& aTrans) {
  for (const auto& builder : bbhBulkBuilders)
    if (const uint32_t r = builder->Finalize(aTrans)) return r;
  return 0;
}

// ---- one index ----

TnxBaseIndexBulkBuilder::TnxBaseIndexBulkBuilder(TnxBaseTransaction& aTrans, TnxBaseIndexEngine& aIndexEngine)
    : bibbIndexEngine(aIndexEngine),
      bibbKeyEngine(aIndexEngine.KeyEngine()),
      bibbRefNrOffest(aIndexEngine.IndicesEngine().RefNrOffset()) {
  auto header = aIndexEngine.CreateHeaderAccess(&aTrans, false, true, 0, 0);
  if (header->GetIndexRoot() != nxNoNode || header->GetIndexPageCount() != 0 || header->GetIndexKeyCount() != 0)
    throw EnxBaseIndexBulkBuilder(nxeIndexIsNotEmpty, u"Index is not empty.");
}

TnxRefNr TnxBaseIndexBulkBuilder::CacheRefNrOf(const uint8_t* aRecord) const noexcept {
  if (bibbRefNrOffest < 0 || !aRecord) return 0;
  return static_cast<TnxRefNr>(platform::LoadU64(aRecord + bibbRefNrOffest));
}

TnxDefaultIndexBulkBuilder::TnxDefaultIndexBulkBuilder(TnxBaseTransaction& aTrans, TnxBaseIndexEngine& aIndexEngine)
    : TnxBaseIndexBulkBuilder(aTrans, aIndexEngine), dibbKey(bibbKeyEngine.AllocKey()) {}

TnxDefaultIndexBulkBuilder::~TnxDefaultIndexBulkBuilder() { bibbKeyEngine.FreeKey(dibbKey); }

uint32_t TnxDefaultIndexBulkBuilder::InsertKey(TnxRefNr aRefNr, const uint8_t* aRecord, TnxBaseTransaction& aTrans) {
  const uint32_t r = bibbKeyEngine.BuildKey(aRecord, dibbKey, aRefNr, false);
  if (r == 1) return 0;
  if (r != 0) return r;
  if (bibbIndexEngine.InsertKey(aTrans, dibbKey, aRefNr, CacheRefNrOf(aRecord), nullptr)) return 0;
  const uint32_t error = bibbIndexEngine.GetKeyError(etInsert, dibbKey, aRefNr);
  aTrans.MarkCorrupted();
  return error;
}

uint32_t TnxDefaultIndexBulkBuilder::Finalize(TnxBaseTransaction& /*aTrans*/) { return 0; }

}  // namespace revurov
