#include "fieldmap/startup.h"

#include "dictionary/startup.h"
#include "fieldmap/auto_inc_mapper_engine.h"
#include "fieldmap/blob_mappers.h"
#include "fieldmap/field_mapper_base.h"
#include "fieldmap/field_mapper_registrations.h"
#include "fieldmap/record_mapper_descriptor.h"
#include "fieldmap/record_mapper_engine.h"
#include "fieldmap/table_mapper_descriptor.h"
#include "lowlevel/sync/unit_table.h"

namespace revurov {

namespace {

// The registry unit: its shut-down releases every pair, whoever filled it.
void RegistryStartup() {}
void RegistryShutdown() { nxClearFieldMapperRegistry(); }

void GeneralMappersStartup() { nxRegisterGeneralFieldMappers(); }
void GeneralMappersShutdown() {}

// The BLOB mappers' own unit, after the general ones.
void BlobMappersStartup() { nxRegisterBlobFieldMappers(); }
void BlobMappersShutdown() {}

// The mapping descriptors and the engines that run them.
void MappingStartup() {
  TnxFieldMapperDescriptor::ClassInfo().Register();
  TnxRecordMapperDescriptor::ClassInfo().Register();
  TnxTableMapperDescriptor::ClassInfo().Register();
  TnxFieldMapperEngine::ClassInfo().Register();
  TnxRecordMapperEngine::ClassInfo().Register();
  RegisterSpecialFieldMapperEngine(TnxFieldMapperEngineAutoInc::ClassInfo(), nxtAutoInc);
}
void MappingShutdown() {
  UnregisterSpecialFieldMapperEngine(TnxFieldMapperEngineAutoInc::ClassInfo(), nxtAutoInc);
  TnxRecordMapperEngine::ClassInfo().Unregister();
  TnxFieldMapperEngine::ClassInfo().Unregister();
  TnxTableMapperDescriptor::ClassInfo().Unregister();
  TnxRecordMapperDescriptor::ClassInfo().Unregister();
  TnxFieldMapperDescriptor::ClassInfo().Unregister();
}

constexpr TnxUnitPair kUnits[] = {
    {&RegistryStartup, &RegistryShutdown},
    {&GeneralMappersStartup, &GeneralMappersShutdown},
    {&BlobMappersStartup, &BlobMappersShutdown},
    {&MappingStartup, &MappingShutdown},
};

TnxUnitTable gFieldMapUnits(kUnits, TnxUnitPair{&nxDictionaryStartup, &nxDictionaryShutdown});

}  // namespace

void nxFieldMapStartup() { gFieldMapUnits.Startup(); }
void nxFieldMapShutdown() { gFieldMapUnits.Shutdown(); }
int nxFieldMapStartupCount() noexcept { return gFieldMapUnits.Count(); }

}  // namespace revurov
