#include "index/index_engines.h"

#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/table_descriptors.h"

namespace revurov {

constinit TnxClassRegistry nxIndicesEngines;
constinit TnxClassRegistry nxIndexEngines;

void TnxBaseIndicesEngine::CheckValid(TnxBaseTableDescriptor& aDictionary) {
  if (TnxBaseIndicesDescriptor* indices = aDictionary.IndicesDescriptor())
    CheckValidBaseFromDescriptor(*indices);
}

const TnxSubEngineClass& TnxBaseIndicesEngine::EngineClassFor(const TnxBaseIndicesDescriptor& aDescriptor) {
  const TnxSubEngineClass* c = ClassInfo().FindEngineClass(aDescriptor.IndicesEngine());
  if (!c) nxRaiseUnknownEngine<EnxBaseIndicesEngineException>(u"indices", aDescriptor.IndicesEngine());
  return *c;
}

void TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(TnxBaseIndicesDescriptor& aDescriptor) {
  EngineClassFor(aDescriptor).DoCheckValidDescriptor(aDescriptor);
  for (int32_t i = 0; i < aDescriptor.IndexCount(); ++i)
    TnxBaseIndexEngine::CheckValidBaseFromDescriptor(*aDescriptor.IndexDescriptor(i));
}

const TnxSubEngineClass& TnxBaseIndexEngine::EngineClassFor(const TnxIndexDescriptor& aDescriptor) {
  const TnxSubEngineClass* c = ClassInfo().FindEngineClass(aDescriptor.IndexEngine());
  if (!c) nxRaiseUnknownEngine<EnxBaseIndexEngineException>(u"index", aDescriptor.IndexEngine());
  return *c;
}

void TnxBaseIndexEngine::CheckValidBaseFromDescriptor(TnxIndexDescriptor& aDescriptor) {
  EngineClassFor(aDescriptor).DoCheckValidDescriptor(aDescriptor);
}

void nxIndexEngineFamiliesStartup() { TnxBaseIndicesEngine::ClassInfo().RegisterFamily(); }

void nxIndexEngineFamiliesShutdown() noexcept {
  TnxBaseIndicesEngine::ClassInfo().UnregisterFamily();
}

}  // namespace revurov
