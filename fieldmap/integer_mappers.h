// Mappers from Boolean and integer fields into the numeric, byte-array,
// character and text fields.
//
// Contract:
// - Boolean True stored as $FF reads as -1 where the target is signed and
//   wider than a byte, 255 in Byte, Int16 and Int32, 1 in the unsigned
//   16- and 32-bit targets; a stored 1 gives 1 everywhere.
// - A byte-array target shorter than the integer, and a text target that
//   cannot hold one character of a Boolean, get no mapper.
// - Integers are written as decimal text without grouping or locale.
// - A BCD field keeps its value in Currency form: no integer beyond
//   +-922337203685477 fits, whatever its precision; the best fit is then
//   the nearest of those ends the field holds.
#pragma once

#include "fieldmap/field_mapper_base.h"

namespace revurov {

#define REVUROV_FIELD_MAPPER_CLASS(Name)                 \
  class Name : public TnxBaseFieldMapper {              \
  public:                                               \
    static const TnxFieldMapperClass ClassInfo;         \
  };

REVUROV_FIELD_MAPPER_CLASS(TnxBooleanMapper)
REVUROV_FIELD_MAPPER_CLASS(TnxInt8Mapper)
REVUROV_FIELD_MAPPER_CLASS(TnxInt16Mapper)
REVUROV_FIELD_MAPPER_CLASS(TnxInt32Mapper)
// Int64 and RefNr sources.
REVUROV_FIELD_MAPPER_CLASS(TnxInt64Mapper)
REVUROV_FIELD_MAPPER_CLASS(TnxByte8Mapper)
REVUROV_FIELD_MAPPER_CLASS(TnxWord16Mapper)
// Word32, AutoInc and RecRev sources.
REVUROV_FIELD_MAPPER_CLASS(TnxWord32Mapper)

#undef REVUROV_FIELD_MAPPER_CLASS

}  // namespace revurov
