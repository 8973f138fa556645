// The (source type, target type, class) registrations that the start-up
// chain makes, expanded at compile time from one row per source type and
// class with its target list.
#pragma once

#include <span>

#include "fieldmap/field_mapper_base.h"

namespace revurov {

struct TnxFieldMapperRegistration {
  TnxFieldType Source;
  TnxFieldType Target;
  TnxBaseFieldMapperClass Class;
};

// The mappers of plain field values, registered by the general mapper unit.
std::span<const TnxFieldMapperRegistration> nxGeneralFieldMapperRegistrations() noexcept;
void nxRegisterGeneralFieldMappers();

}  // namespace revurov
