// Mappers from Single, Double, Extended, Currency and BCD fields into the
// numeric, byte-array, character and text fields.
//
// Contract:
// - Round is to nearest, ties to even, on the value widened to Extended;
//   no value becomes an integer before its range test.
// - NaN has no value: a checking routine answers
//   nxeInvalidFieldTransformation, a best-fit one 1 (the target takes its
//   default or null). Infinities clamp like any value past the bounds.
// - Numbers are written as text of 15 significant digits with the target
//   locale's decimal separator; a checking routine tests each value's own
//   text against the field, a best-fit one cuts it.
// - A BCD target keeps the digits its scale holds (the rest dropped toward
//   zero); a value past its integer places, past the Currency range or
//   without a fixed-notation text is lost when checking and clamped to
//   the field's largest magnitude under best fit. No routine raises.
#pragma once

#include "fieldmap/field_mapper_base.h"

namespace revurov {

#define REVUROV_FIELD_MAPPER_CLASS(Name)                 \
  class Name : public TnxBaseFieldMapper {              \
  public:                                               \
    static const TnxFieldMapperClass ClassInfo;         \
  };

REVUROV_FIELD_MAPPER_CLASS(TnxSingleMapper)
// Also the DateTime target.
REVUROV_FIELD_MAPPER_CLASS(TnxDoubleMapper)
REVUROV_FIELD_MAPPER_CLASS(TnxExtendedMapper)
// Currency and BCD sources, which share the raw form (value x 10,000).
REVUROV_FIELD_MAPPER_CLASS(TnxCurrencyMapper)

#undef REVUROV_FIELD_MAPPER_CLASS

}  // namespace revurov
