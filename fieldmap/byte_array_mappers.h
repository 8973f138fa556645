// The mapper from a ByteArray field into a ByteArray, a Guid or one of the
// three text fields, reading the array as text in its field's code page.
//
// Contract:
// - Copies write min(source, target) bytes; a target shorter than the
//   source gets a routine only under best fit (a Guid only from 16 bytes).
// - Text that converts between code pages is cut at the last whole
//   character (best fit) or gives nxeInvalidFieldTransformation with an
//   empty target; a first byte 0 is the empty string.
// - A code page without a converter fails CreateMapper with the OS-error
//   exception; routines never raise for data.
#pragma once

#include "fieldmap/field_mapper_base.h"

namespace revurov {

class TnxByteArrayMapper : public TnxBaseFieldMapper {
public:
  static const TnxFieldMapperClass ClassInfo;
};

}  // namespace revurov
