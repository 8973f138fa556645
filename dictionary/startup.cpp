#include "dictionary/startup.h"

#include <array>

#include "dictionary/field_descriptor.h"
#include "dictionary/field_types.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/fmt_bcd.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/locale_descriptor.h"
#include "lowlevel/startup.h"
#include "lowlevel/sync/unit_table.h"

namespace revurov {

namespace {

void FieldTypeNamesStartup() { nxBuildFieldTypeNameLists(); }
void FieldTypeNamesShutdown() { nxFreeFieldTypeNameLists(); }

const std::array<const TnxRegisterableClass*, 11>& KeyAndIndexClasses() {
  static const std::array<const TnxRegisterableClass*, 11> classes = {
      &TnxRefKeyDescriptor::ClassInfo(),          &TnxInt64KeyDescriptor::ClassInfo(),
      &TnxBlobCacheKeyDescriptor::ClassInfo(),    &TnxCompKeyDescriptor::ClassInfo(),
      &TnxNoNullCompKeyDescriptor::ClassInfo(),   &TnxKeyFieldDescriptor::ClassInfo(),
      &TnxTextKeyFieldDescriptor::ClassInfo(),    &TnxExtTextKeyFieldDescriptor::ClassInfo(),
      &TnxIndexDescriptor::ClassInfo(),           &TnxMainIndicesDescriptor::ClassInfo(),
      &TnxInternalIndicesDescriptor::ClassInfo()};
  return classes;
}

// Streams name descriptor classes; readers find them here.
void DescriptorClassesStartup() {
  nxReadLocaleSwitches();
  TnxFileDescriptor::ClassInfo().Register();
  TnxFilesDescriptor::ClassInfo().Register();
  TnxLocaleDescriptor::ClassInfo().Register();
  TnxFieldDescriptor::ClassInfo().Register();
  TnxFieldsDescriptor::ClassInfo().Register();
  for (const TnxRegisterableClass* cls : KeyAndIndexClasses()) cls->Register();
}
void DescriptorClassesShutdown() {
  const auto& classes = KeyAndIndexClasses();
  for (auto it = classes.rbegin(); it != classes.rend(); ++it) (*it)->Unregister();
  TnxFieldsDescriptor::ClassInfo().Unregister();
  TnxFieldDescriptor::ClassInfo().Unregister();
  TnxLocaleDescriptor::ClassInfo().Unregister();
  TnxFilesDescriptor::ClassInfo().Unregister();
  TnxFileDescriptor::ClassInfo().Unregister();
}

// The units in start-up order; shut-down runs backwards.
constexpr TnxUnitPair kUnits[] = {
    {&FieldTypeNamesStartup, &FieldTypeNamesShutdown},
    {&nxFmtBcdStartup, &nxFmtBcdShutdown},
    {&DescriptorClassesStartup, &DescriptorClassesShutdown},
};

TnxUnitTable gDictionaryUnits(kUnits, TnxUnitPair{&nxLowLevelStartup, &nxLowLevelShutdown});

}  // namespace

void nxDictionaryStartup() { gDictionaryUnits.Startup(); }
void nxDictionaryShutdown() { gDictionaryUnits.Shutdown(); }
int nxDictionaryStartupCount() noexcept { return gDictionaryUnits.Count(); }

}  // namespace revurov
