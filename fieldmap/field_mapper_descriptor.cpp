#include "fieldmap/field_mapper_descriptor.h"

namespace revurov {

constinit TnxClassRegistry nxFieldMapperDescriptorClasses;

}  // namespace revurov
