#include "dictionary/startup.h"

#include <array>

#include "dictionary/audit_descriptor.h"
#include "dictionary/comp_key_engines.h"
#include "dictionary/default_value_engines.h"
#include "dictionary/default_values.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/field_types.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/filter_engines.h"
#include "dictionary/fmt_bcd.h"
#include "dictionary/fulltext_descriptors.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/int64_key_engines.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/key_field_engines.h"
#include "dictionary/locale_descriptor.h"
#include "dictionary/mapper_descriptors.h"
#include "dictionary/referential_integrity.h"
#include "dictionary/simple_expression_filter.h"
#include "dictionary/sql_filter.h"
#include "dictionary/storage_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "dictionary/token_index_descriptors.h"
#include "dictionary/token_key_descriptors.h"
#include "dictionary/token_key_engines.h"
#include "dictionary/validation_descriptors.h"
#include "dictionary/validation_engines.h"
#include "lowlevel/startup.h"
#include "lowlevel/sync/unit_table.h"

namespace revurov {

namespace {

void FieldTypeNamesStartup() { nxBuildFieldTypeNameLists(); }
void FieldTypeNamesShutdown() { nxFreeFieldTypeNameLists(); }

// In the order the classes were always registered; shut-down runs backwards.
const std::array<const TnxRegisterableClass*, 39>& DescriptorClasses() {
  static const std::array<const TnxRegisterableClass*, 39> classes = {
      &TnxFileDescriptor::ClassInfo(),
      &TnxFilesDescriptor::ClassInfo(),
      &TnxLocaleDescriptor::ClassInfo(),
      &TnxConstDefaultValueDescriptor::ClassInfo(),
      &TnxCurrentDateTimeDefaultValueDescriptor::ClassInfo(),
      &TnxCurrentUserDefaultValueDescriptor::ClassInfo(),
      &TnxAutoGuidDefaultValueDescriptor::ClassInfo(),
      &TnxEmptyDefaultValueDescriptor::ClassInfo(),
      &TnxNextLSNDefaultValueDescriptor::ClassInfo(),
      &TnxSqlCheckValidationDescriptor::ClassInfo(),
      &TnxFieldDescriptor::ClassInfo(),
      &TnxRefKeyDescriptor::ClassInfo(),
      &TnxInt64KeyDescriptor::ClassInfo(),
      &TnxBlobCacheKeyDescriptor::ClassInfo(),
      &TnxCompKeyDescriptor::ClassInfo(),
      &TnxNoNullCompKeyDescriptor::ClassInfo(),
      &TnxKeyFieldDescriptor::ClassInfo(),
      &TnxTextKeyFieldDescriptor::ClassInfo(),
      &TnxExtTextKeyFieldDescriptor::ClassInfo(),
      &TnxIndexDescriptor::ClassInfo(),
      &TnxFieldsDescriptor::ClassInfo(),
      &TnxBaseIndicesDescriptor::ClassInfo(),
      &TnxMainIndicesDescriptor::ClassInfo(),
      &TnxInternalIndicesDescriptor::ClassInfo(),
      &TnxBaseBlockHeapDescriptor::ClassInfo(),
      &TnxBaseHeapDescriptor::ClassInfo(),
      &TnxBaseRecordDescriptor::ClassInfo(),
      &TnxHeapRecordDescriptor::ClassInfo(),
      &TnxBaseBlobDescriptor::ClassInfo(),
      &TnxHeapBlobDescriptor::ClassInfo(),
      &TnxBaseCustomDescriptor::ClassInfo(),
      &TnxBaseAutoIncDescriptor::ClassInfo(),
      &TnxAdvAutoIncDescriptor::ClassInfo(),
      &TnxBaseStreamDescriptor::ClassInfo(),
      &TnxCustomDescsDescriptor::ClassInfo(),
      &TnxTablesDescriptor::ClassInfo(),
      &TnxNestedTableDescriptor::ClassInfo(),
      &TnxMinMaxValidationDescriptor::ClassInfo(),
      &TnxNoChangeValidationDescriptor::ClassInfo(),
  };
  return classes;
}

// Streams name descriptor classes; readers find them here.
void DescriptorClassesStartup() {
  nxReadLocaleSwitches();
  for (const TnxRegisterableClass* cls : DescriptorClasses()) cls->Register();
  TnxBaseRecordCompressionDescriptor::ClassInfo().Register();
}
void DescriptorClassesShutdown() {
  TnxBaseRecordCompressionDescriptor::ClassInfo().Unregister();
  const auto& classes = DescriptorClasses();
  for (auto it = classes.rbegin(); it != classes.rend(); ++it) (*it)->Unregister();
}

const std::array<const TnxRegisterableClass*, 6>& DefaultValueEngineClasses() {
  static const std::array<const TnxRegisterableClass*, 6> classes = {
      &TnxConstDefaultValueEngine::ClassInfo(),     &TnxCurrentDateTimeDefaultValueEngine::ClassInfo(),
      &TnxCurrentUserDefaultValueEngine::ClassInfo(), &TnxAutoGuidDefaultValueEngine::ClassInfo(),
      &TnxEmptyDefaultValueEngine::ClassInfo(),     &TnxNextLSNDefaultValueEngine::ClassInfo()};
  return classes;
}

void DefaultValueEnginesStartup() {
  for (const TnxRegisterableClass* cls : DefaultValueEngineClasses()) cls->Register();
}
void DefaultValueEnginesShutdown() {
  const auto& classes = DefaultValueEngineClasses();
  for (auto it = classes.rbegin(); it != classes.rend(); ++it) (*it)->Unregister();
}

// Key field engines by the names key field descriptors give; the plain
// engine, named by the empty name, under its class name.
void KeyFieldEnginesStartup() {
  TnxCompositeKeyFieldEngine::ClassInfo().Register();
  TnxNumbersOnlyCKFE::ClassInfo().Register(u"NumbersOnly");
  TnxDateOnlyCKFE::ClassInfo().Register(u"DateOnly");
  TnxDateOnlyWeekCKFE::ClassInfo().Register(u"DateOnlyWeek");
  TnxDateOnlyMonthCKFE::ClassInfo().Register(u"DateOnlyMonth");
  TnxDateOnlyYearCKFE::ClassInfo().Register(u"DateOnlyYear");
}
void KeyFieldEnginesShutdown() {
  TnxDateOnlyYearCKFE::ClassInfo().Unregister();
  TnxDateOnlyMonthCKFE::ClassInfo().Unregister();
  TnxDateOnlyWeekCKFE::ClassInfo().Unregister();
  TnxDateOnlyCKFE::ClassInfo().Unregister();
  TnxNumbersOnlyCKFE::ClassInfo().Unregister();
  TnxCompositeKeyFieldEngine::ClassInfo().Unregister();
}

// Key engines under their class names, which the key descriptors' names
// lead to.
void KeyEnginesStartup() {
  TnxInt64KeyEngine::ClassInfo().Register();
  TnxRefKeyEngine::ClassInfo().Register();
  TnxCompKeyEngine::ClassInfo().Register();
  TnxNoNullCompKeyEngine::ClassInfo().Register();
}
void KeyEnginesShutdown() {
  TnxNoNullCompKeyEngine::ClassInfo().Unregister();
  TnxCompKeyEngine::ClassInfo().Unregister();
  TnxRefKeyEngine::ClassInfo().Unregister();
  TnxInt64KeyEngine::ClassInfo().Unregister();
}

// Record mappers register themselves in the field-mapping subsystem.
void MapperClassesStartup() { TnxBaseTableMapperDescriptor::ClassInfo().Register(); }
void MapperClassesShutdown() { TnxBaseTableMapperDescriptor::ClassInfo().Unregister(); }

// Filter descriptors and engines by class name: streams and descriptors
// lead to them.
const std::array<const TnxRegisterableClass*, 8>& FilterClasses() {
  static const std::array<const TnxRegisterableClass*, 8> classes = {
      &TnxCallbackFilterDescriptor::ClassInfo(),         &TnxCallbackFilterEngine::ClassInfo(),
      &TnxSimpleExpressionFilterDescriptor::ClassInfo(), &TnxSimpleExpressionFilterEngine::ClassInfo(),
      &TnxFilterDescriptorHub::ClassInfo(),              &TnxFilterEngineHub::ClassInfo(),
      &TnxSqlFilterDescriptor::ClassInfo(),              &TnxSqlFilterEngine::ClassInfo()};
  return classes;
}
void ValidationEnginesStartup() {
  TnxFieldsValidationsEngine::ClassInfo().Register();
  TnxFieldValidationsEngine::ClassInfo().Register();
  TnxMinMaxValidationEngine::ClassInfo().Register();
  TnxNoChangeValidationEngine::ClassInfo().Register();
  TnxNotNullValidationEngine::ClassInfo().Register();
  TnxSqlCheckValidationEngine::ClassInfo().Register();
}
void ValidationEnginesShutdown() {
  TnxSqlCheckValidationEngine::ClassInfo().Unregister();
  TnxNotNullValidationEngine::ClassInfo().Unregister();
  TnxNoChangeValidationEngine::ClassInfo().Unregister();
  TnxMinMaxValidationEngine::ClassInfo().Unregister();
  TnxFieldValidationsEngine::ClassInfo().Unregister();
  TnxFieldsValidationsEngine::ClassInfo().Unregister();
}

void FilterClassesStartup() {
  for (const TnxRegisterableClass* cls : FilterClasses()) cls->Register();
}
void FilterClassesShutdown() {
  const auto& classes = FilterClasses();
  for (auto it = classes.rbegin(); it != classes.rend(); ++it) (*it)->Unregister();
}

// The keys of the fulltext token indices and their engines.
void TokenKeyClassesStartup() {
  TnxBitArrayTokenKeyDescriptor::ClassInfo().Register();
  TnxMainIndexTokenKeyDescriptor::ClassInfo().Register();
  TnxBitArrayTokenKeyEngine::ClassInfo().Register();
  TnxMainIndexTokenKeyEngine::ClassInfo().Register();
}
void TokenKeyClassesShutdown() {
  TnxMainIndexTokenKeyEngine::ClassInfo().Unregister();
  TnxBitArrayTokenKeyEngine::ClassInfo().Unregister();
  TnxMainIndexTokenKeyDescriptor::ClassInfo().Unregister();
  TnxBitArrayTokenKeyDescriptor::ClassInfo().Unregister();
}

// Referential integrity: the custom descriptor and the classes its
// streams name.
const std::array<const TnxRegisterableClass*, 15>& RefIntegrityClasses() {
  static const std::array<const TnxRegisterableClass*, 15> classes = {
      &TnxRefIntegrityDescriptor::ClassInfo(),           &TnxReferenceDescriptor::ClassInfo(),
      &TnxCloneTargetCursorDescriptor::ClassInfo(),      &TnxTableTargetCursorDescriptor::ClassInfo(),
      &TnxRelativeTargetCursorDescriptor::ClassInfo(),   &TnxFieldSourceDescriptor::ClassInfo(),
      &TnxCascadeDeleteActionDescriptor::ClassInfo(),    &TnxClearDeleteActionDescriptor::ClassInfo(),
      &TnxSetDefaultDeleteActionDescriptor::ClassInfo(), &TnxBlockDeleteActionDescriptor::ClassInfo(),
      &TnxCascadeModifyActionDescriptor::ClassInfo(),    &TnxClearModifyActionDescriptor::ClassInfo(),
      &TnxSetDefaultModifyActionDescriptor::ClassInfo(), &TnxBlockModifyActionDescriptor::ClassInfo(),
      &TnxTargetRequiredActionDescriptor::ClassInfo()};
  return classes;
}
void RefIntegrityClassesStartup() {
  for (const TnxRegisterableClass* cls : RefIntegrityClasses()) cls->Register();
}
void RefIntegrityClassesShutdown() {
  const auto& classes = RefIntegrityClasses();
  for (auto it = classes.rbegin(); it != classes.rend(); ++it) (*it)->Unregister();
}

// Fulltext: the custom descriptor, its B*-tree index list, and the classes
// its streams name.
const std::array<const TnxRegisterableClass*, 19>& FulltextClasses() {
  static const std::array<const TnxRegisterableClass*, 19> classes = {
      &TnxFulltextDescriptor::ClassInfo(),
      &TnxTokenIndicesDescriptor::ClassInfo(),
      &TnxFulltextIndexDescriptor::ClassInfo(),
      &TnxTokenExtractorHubDescriptor::ClassInfo(),
      &TnxFieldTokenExtractorDescriptor::ClassInfo(),
      &TnxTokenFilterHubDescriptor::ClassInfo(),
      &TnxWideCharSeparatorTokenFilterDescriptor::ClassInfo(),
      &TnxCategorySeparatorTokenFilterDescriptor::ClassInfo(),
      &TnxLowercaseLocaleMappingTokenFilterDescriptor::ClassInfo(),
      &TnxUppercaseLocaleMappingTokenFilterDescriptor::ClassInfo(),
      &TnxCustomLocaleMappingTokenFilterDescriptor::ClassInfo(),
      &TnxPreComposeFoldStringTokenFilterDescriptor::ClassInfo(),
      &TnxDecomposeFoldStringTokenFilterDescriptor::ClassInfo(),
      &TnxCustomFoldStringTokenFilterDescriptor::ClassInfo(),
      &TnxStringReplaceTokenFilterDescriptor::ClassInfo(),
      &TnxTokenIndexHubDescriptor::ClassInfo(),
      &TnxSimpleBitArrayStorageHandlerDescriptor::ClassInfo(),
      &TnxBitArrayTokenIndexDescriptor::ClassInfo(),
      &TnxMainIndexTokenIndexDescriptor::ClassInfo()};
  return classes;
}
void FulltextClassesStartup() {
  for (const TnxRegisterableClass* cls : FulltextClasses()) cls->Register();
}
void FulltextClassesShutdown() {
  const auto& classes = FulltextClasses();
  for (auto it = classes.rbegin(); it != classes.rend(); ++it) (*it)->Unregister();
}

void AuditClassesStartup() { TnxAuditDescriptor::ClassInfo().Register(); }
void AuditClassesShutdown() { TnxAuditDescriptor::ClassInfo().Unregister(); }

// The units in start-up order; shut-down runs backwards.
constexpr TnxUnitPair kUnits[] = {
    {&FieldTypeNamesStartup, &FieldTypeNamesShutdown},
    {&nxFmtBcdStartup, &nxFmtBcdShutdown},
    {&DescriptorClassesStartup, &DescriptorClassesShutdown},
    {&DefaultValueEnginesStartup, &DefaultValueEnginesShutdown},
    {&MapperClassesStartup, &MapperClassesShutdown},
    {&KeyFieldEnginesStartup, &KeyFieldEnginesShutdown},
    {&KeyEnginesStartup, &KeyEnginesShutdown},
    {&FilterClassesStartup, &FilterClassesShutdown},
    {&ValidationEnginesStartup, &ValidationEnginesShutdown},
    {&FulltextClassesStartup, &FulltextClassesShutdown},
    {&TokenKeyClassesStartup, &TokenKeyClassesShutdown},
    {&RefIntegrityClassesStartup, &RefIntegrityClassesShutdown},
    {&AuditClassesStartup, &AuditClassesShutdown},
};

TnxUnitTable gDictionaryUnits(kUnits, TnxUnitPair{&nxLowLevelStartup, &nxLowLevelShutdown});

}  // namespace

void nxDictionaryStartup() { gDictionaryUnits.Startup(); }
void nxDictionaryShutdown() { gDictionaryUnits.Shutdown(); }
int nxDictionaryStartupCount() noexcept { return gDictionaryUnits.Count(); }

}  // namespace revurov
