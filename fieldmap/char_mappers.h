// Mappers from a Char field (one byte in its locale's code page) and a
// WideChar field (one UTF-16 unit) into the numeric, Boolean, byte-array,
// character and text fields.
//
// Contract:
// - A character reads as a number only when it is a decimal digit; any
//   other character is 0 under best fit and data loss under check.
// - Boolean: a Char is False for 0, F and N and (checking) True only for
//   1, T and Y; a WideChar is its digit's value, checking only 0 and 1.
// - A Char converts between code pages only when both fields have one and
//   they differ; towards or from UTF-16 code page 0 is the system's ANSI
//   code page. A character the target code page lacks becomes "?".
// - A character with too little room in the target is data loss (check)
//   or the empty string (best fit); a WideChar needing two bytes in a
//   Char target writes the character with code 0.
// - A WideChar into a byte array of one byte, and a ShortString or
//   NullString with room for no character, get no mapper.
// - A code page without a converter fails CreateMapper with the OS-error
//   exception; routines never raise for data.
#pragma once

#include "fieldmap/field_mapper_base.h"

namespace revurov {

#define REVUROV_FIELD_MAPPER_CLASS(Name)                 \
  class Name : public TnxBaseFieldMapper {              \
  public:                                               \
    static const TnxFieldMapperClass ClassInfo;         \
  };

REVUROV_FIELD_MAPPER_CLASS(TnxCharMapper)
REVUROV_FIELD_MAPPER_CLASS(TnxWideCharMapper)

#undef REVUROV_FIELD_MAPPER_CLASS

}  // namespace revurov
