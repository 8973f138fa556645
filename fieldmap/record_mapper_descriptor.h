// The field mappings of one table: which source field feeds each target
// field, and whether unmapped target fields take their default values.
//
// Contract:
// - Mappings are kept in target-name order (A to Z without case), one per
//   target name; a second mapping for a name raises the string list's
//   duplicate error and the new descriptor is freed. An unmapped name given
//   to DeleteMapping, UpdateSourceName or UpdateTargetName raises the list's
//   index error and changes nothing.
// - Stream form: the class name, the contents version 1, a list of the
//   field mappings in target-name order, then the apply-default-for-
//   unmapped flag (True on creation).
// - Raises EnxBaseRecordMapperDescriptorException (15498, 15499) and
//   platform::EStringListError.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dictionary/mapper_descriptors.h"
#include "fieldmap/field_mapper_descriptor.h"

namespace revurov {

class TnxFieldsDescriptor;

REVUROV_EXCEPTION_CLASS(EnxRecordMapperDescriptorException, EnxBaseRecordMapperDescriptorException);

class TnxRecordMapperDescriptor : public TnxBaseRecordMapperDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxRecordMapperDescriptor, TnxBaseRecordMapperDescriptor,
                              TnxRecordMapperDescriptorClass,
                              (&nxNewMapperDescriptor<TnxBaseRecordMapperDescriptor, TnxRecordMapperDescriptor>))
  TnxRecordMapperDescriptor() = default;
  ~TnxRecordMapperDescriptor() override;

  // aDescriptorClass null: TnxFieldMapperDescriptor.
  TnxFieldMapperDescriptor* AddMapping(std::u16string_view aSourceName, std::u16string_view aTargetName,
                                       TnxDataLossAction aDataLossAction,
                                       const TnxFieldMapperDescriptorClass* aDescriptorClass = nullptr);
  void DeleteMapping(std::u16string_view aTargetName);
  // Position in target-name order, -1 when absent.
  int32_t FieldMapperIndexOf(std::u16string_view aTargetName) const noexcept;
  int32_t FieldMapperCount() const noexcept { return static_cast<int32_t>(rmdFieldMapperDescriptors.size()); }
  // The list's index error outside the list.
  TnxFieldMapperDescriptor* rmdGetMapper(int32_t aInx) const;
  TnxFieldMapperDescriptor* UpdateSourceName(std::u16string_view aTargetName, std::u16string_view aNewSourceName);
  TnxFieldMapperDescriptor* UpdateTargetName(std::u16string_view aOldTargetName, std::u16string_view aNewTargetName);

  // One mapping per target field whose name the source also has (without
  // case).
  void MapAllFieldsByName(const TnxFieldsDescriptor& aOldFields, const TnxFieldsDescriptor& aNewFields,
                          TnxDataLossAction aDataLossAction);
  // The i-th source field onto the i-th target field while both have one.
  void MapAllFieldsByPosition(const TnxFieldsDescriptor& aOldFields, const TnxFieldsDescriptor& aNewFields,
                              TnxDataLossAction aDataLossAction);

  bool ApplyDefaultForUnmapped() const noexcept { return rmdApplyDefaultForUnmapped; }
  void SetApplyDefaultForUnmapped(bool aValue) noexcept { rmdApplyDefaultForUnmapped = aValue; }

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  // The list's entries: the name it was filed under and the mapping.
  using Entry = std::pair<std::u16string, std::unique_ptr<TnxFieldMapperDescriptor>>;

  // Found: its position; else where it would go, as -1 - position.
  int32_t Find(std::u16string_view aTargetName) const noexcept;
  // Files aDescriptor under aTargetName; the duplicate error keeps it out.
  int32_t Insert(std::u16string_view aTargetName, std::unique_ptr<TnxFieldMapperDescriptor>& aDescriptor);
  int32_t IndexOrRaise(std::u16string_view aTargetName) const;

  std::vector<Entry> rmdFieldMapperDescriptors;
  bool rmdApplyDefaultForUnmapped = true;
};

}  // namespace revurov
