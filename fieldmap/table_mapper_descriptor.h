// The mapping of one table and, nested, of its nested tables: what a
// restructure, pack, backup or recovery carries from the old structure into
// the new one.
//
// Contract:
// - Stream form: the base part (see dictionary/mapper_descriptors.h), then
//   this class's own version 1; another version raises 15498.
// - MapAllTablesAndFieldsByName replaces the record mapping by one that maps
//   every target field whose name the source has (without case), and adds a
//   nested table mapper, named after the old table, for every nested table
//   both sides have, filled the same way.
#pragma once

#include <cstdint>

#include "dictionary/mapper_descriptors.h"
#include "fieldmap/field_mapper_descriptor.h"

namespace revurov {

class TnxBaseTableDescriptor;

REVUROV_EXCEPTION_CLASS(EnxTableMapperDescriptorException, EnxBaseTableMapperDescriptorException);

class TnxTableMapperDescriptor : public TnxBaseTableMapperDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxTableMapperDescriptor, TnxBaseTableMapperDescriptor, TnxTableMapperDescriptorClass,
                              (&nxNewMapperDescriptor<TnxBaseTableMapperDescriptor, TnxTableMapperDescriptor>))
  TnxTableMapperDescriptor() = default;

  void MapAllTablesAndFieldsByName(const TnxBaseTableDescriptor& aOldTable, const TnxBaseTableDescriptor& aNewTable,
                                   TnxDataLossAction aDataLossAction);

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;
};

}  // namespace revurov
