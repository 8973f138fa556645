// Bulk builders: how empty indices are filled from existing records in one
// pass. The caller feeds every record once (InsertKey, any order), calls
// Finalize once and frees the builder.
//
// Contract:
// - An index builder is refused with 15511 "Index is not empty." when it is
//   made for an index that holds a root, pages or keys; no record has been
//   read then.
// - InsertKey and Finalize return 0 or the first error code; a record the
//   key engine gives no key for (1) counts as 0.
// - The hub calls one builder per index, in index order, and stops at the
//   first nonzero result.
// - The default builder inserts key by key; a refused insert gives 9729 with
//   the "Insert" key-violation message and marks the transaction corrupted.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dictionary/engine_types.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/heap/memory_manager.h"

namespace revurov {

class TnxBaseIndexEngine;
class TnxBaseIndicesEngine;
class TnxBaseKeyEngine;
class TnxBaseTransaction;

REVUROV_EXCEPTION_CLASS(EnxBaseBulkBuilder, EnxBaseException);
REVUROV_EXCEPTION_CLASS(EnxBaseIndexBulkBuilder, EnxBaseBulkBuilder);

class TnxBaseBulkBuilder : public TnxObject {
public:
  ~TnxBaseBulkBuilder() override = default;
  virtual uint32_t InsertKey(TnxRefNr aRefNr, const uint8_t* aRecord, TnxBaseTransaction& aTrans) = 0;
  virtual uint32_t Finalize(TnxBaseTransaction& aTrans) = 0;
};

class TnxBulkBuilderHub : public TnxBaseBulkBuilder {
public:
  // One builder per index engine, asked in order.
  TnxBulkBuilderHub(TnxBaseTransaction& aTrans, const std::vector<TnxBaseIndexEngine*>& aIndexEngines);
  uint32_t InsertKey(TnxRefNr aRefNr, const uint8_t* aRecord, TnxBaseTransaction& aTrans) override;
  uint32_t Finalize(TnxBaseTransaction& aTrans) override;
  size_t BuilderCount() const noexcept { return bbhBulkBuilders.size(); }

private:
  std::vector<std::unique_ptr<TnxBaseBulkBuilder>> bbhBulkBuilders;
};

// The builder of one index.
class TnxBaseIndexBulkBuilder : public TnxBaseBulkBuilder {
public:
  TnxBaseIndexBulkBuilder(TnxBaseTransaction& aTrans, TnxBaseIndexEngine& aIndexEngine);

  TnxBaseIndexEngine& IndexEngine() const noexcept { return bibbIndexEngine; }

protected:
  // The cache RefNr a record carries, 0 outside cache tables.
  TnxRefNr CacheRefNrOf(const uint8_t* aRecord) const noexcept;

  TnxBaseIndexEngine& bibbIndexEngine;
  TnxBaseKeyEngine& bibbKeyEngine;
  int32_t bibbRefNrOffest;
};

class TnxDefaultIndexBulkBuilder : public TnxBaseIndexBulkBuilder {
public:
  TnxDefaultIndexBulkBuilder(TnxBaseTransaction& aTrans, TnxBaseIndexEngine& aIndexEngine);
  ~TnxDefaultIndexBulkBuilder() override;
  uint32_t InsertKey(TnxRefNr aRefNr, const uint8_t* aRecord, TnxBaseTransaction& aTrans) override;
  uint32_t Finalize(TnxBaseTransaction& aTrans) override;

private:
  uint8_t* dibbKey = nullptr;  // from the key engine
};

}  // namespace revurov
