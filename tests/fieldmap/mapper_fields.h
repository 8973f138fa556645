#pragma once
// Field descriptors standing alone (offset 0) for mapping one value.
#include <memory>

#include "dictionary/field_descriptor.h"

namespace revurov::testing {

inline std::unique_ptr<TnxFieldDescriptor> MakeField(TnxFieldType aType, int32_t aUnits = 0, int32_t aDecPl = 0) {
  return std::make_unique<TnxFieldDescriptor>(nullptr, u"F", u"", aType, aUnits, aDecPl, false);
}

}  // namespace revurov::testing
