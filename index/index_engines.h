// The two index families of the sub-engine registry: the indices engine of
// a table (one per table, owning one index engine per index descriptor) and
// the index engines, each chosen by the name its descriptor carries.
//
// Contract:
// - An unregistered name gives 15503 "Unknown indices engine: "<name>""
//   (EnxBaseIndicesEngineException) or "Unknown index engine: ..."
//   (EnxBaseIndexEngineException), from CreateEngine and from the checks.
// - The table check (CheckValid of the family) checks the indices engine's
//   name and every index descriptor's engine name.
#pragma once

#include <memory>

#include "index/index_block.h"
#include "storage/sub_engines.h"

namespace revurov {

class TnxBaseIndicesDescriptor;
class TnxIndexDescriptor;

extern TnxClassRegistry nxIndicesEngines;
extern TnxClassRegistry nxIndexEngines;

class TnxBaseIndicesEngine : public TnxBaseSubEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseIndicesEngine, TnxBaseSubEngine, TnxSubEngineClass, &nxIndicesEngines,
                              &TnxBaseIndicesEngine::CheckValid)

  using TnxBaseSubEngine::TnxBaseSubEngine;

  static void CheckValid(TnxBaseTableDescriptor& aDictionary);
  // The named class's own check, then every index descriptor's engine.
  static void CheckValidBaseFromDescriptor(TnxBaseIndicesDescriptor& aDescriptor);
  // The class registered under the descriptor's indices engine name.
  static const TnxSubEngineClass& EngineClassFor(const TnxBaseIndicesDescriptor& aDescriptor);
};

class TnxBaseIndexEngine : public TnxBaseSubEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseIndexEngine, TnxBaseSubEngine, TnxSubEngineClass, &nxIndexEngines)

  using TnxBaseSubEngine::TnxBaseSubEngine;

  static void CheckValidBaseFromDescriptor(TnxIndexDescriptor& aDescriptor);
  static const TnxSubEngineClass& EngineClassFor(const TnxIndexDescriptor& aDescriptor);
};

// Start-up unit: the indices-engine family joins the family list.
void nxIndexEngineFamiliesStartup();
void nxIndexEngineFamiliesShutdown() noexcept;

}  // namespace revurov
