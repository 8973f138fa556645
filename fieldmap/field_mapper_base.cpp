#include "fieldmap/field_mapper_base.h"

#include <vector>

#include "dictionary/field_descriptor.h"
#include "fieldmap/field_mapper_descriptor.h"

namespace revurov {

namespace {

// Written only while the start-up chain runs, so lookups take no lock.
std::vector<TnxBaseFieldMapperClass> gRegistry[nxFieldTypeCount][nxFieldTypeCount];

}  // namespace

std::unique_ptr<TnxBaseFieldMapper> TnxBaseFieldMapper::CreateMapper(
    TnxFieldDescriptor& aSourceField, TnxAbstractCursor* aSourceCursor, TnxFieldDescriptor& aTargetField,
    TnxAbstractCursor* aTargetCursor, const TnxFieldMapperDescriptor* aMapperDesc, TnxMappingMethod& aMapper) {
  aMapper.Clear();
  const auto classes = nxRegisteredFieldMappers(aSourceField.FieldType(), aTargetField.FieldType());
  for (auto it = classes.rbegin(); it != classes.rend(); ++it) {
    auto mapper = (*it)->TryCreateMapper(**it, aSourceField, aSourceCursor, aTargetField, aTargetCursor,
                                         aMapperDesc, aMapper);
    if (aMapper.Assigned()) return mapper;
  }
  return nullptr;
}

bool nxMapperWantsBestFit(const TnxFieldMapperDescriptor* aMapperDesc) noexcept {
  return aMapperDesc && aMapperDesc->DataLossAction() == dlaBestFit;
}

void nxRegisterFieldMapper(TnxBaseFieldMapperClass aClass, TnxFieldType aSourceType, TnxFieldType aTargetType) {
  gRegistry[aSourceType][aTargetType].push_back(aClass);
}

void nxClearFieldMapperRegistry() noexcept {
  for (auto& row : gRegistry)
    for (auto& cell : row) std::vector<TnxBaseFieldMapperClass>().swap(cell);
}

std::span<const TnxBaseFieldMapperClass> nxRegisteredFieldMappers(TnxFieldType aSourceType,
                                                                  TnxFieldType aTargetType) noexcept {
  if (aSourceType >= nxFieldTypeCount || aTargetType >= nxFieldTypeCount) return {};
  return gRegistry[aSourceType][aTargetType];
}

int nxFieldMapperRegistrationCount() noexcept {
  size_t n = 0;
  for (const auto& row : gRegistry)
    for (const auto& cell : row) n += cell.size();
  return static_cast<int>(n);
}

}  // namespace revurov
