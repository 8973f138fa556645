// Mappers between the text fields ShortString, NullString and WideString.
//
// Contract:
// - Only a text longer than the target loses data: the checking routine
//   answers nxeInvalidFieldTransformation, the best-fit routine cuts it at
//   the last whole character that fits (never half a double-byte
//   character, never half a surrogate pair).
// - 8-bit text converts between code pages only when both fields have one
//   and they differ, or the target's is multi-byte and shorter; a field
//   without one (0) keeps its bytes as stored. Towards or from WideString
//   code page 0 is the system's ANSI code page.
// - Characters the target code page lacks become "?", and bytes invalid in
//   the source widen to the converter's substitute; neither is data loss.
// - Trailing spaces are dropped when a field that is not padded maps into
//   a padded one (decimal places above 0); never reported.
// - A code page without a converter fails CreateMapper with the OS-error
//   exception; routines raise only if a conversion fails for another
//   reason than room.
// - A BLOB field given as source (its text read into the source type's
//   layout) is never trusted for the text's length.
#pragma once

#include "fieldmap/field_mapper_base.h"

namespace revurov {

#define REVUROV_FIELD_MAPPER_CLASS(Name)                 \
  class Name : public TnxBaseFieldMapper {              \
  public:                                               \
    static const TnxFieldMapperClass ClassInfo;         \
  };

REVUROV_FIELD_MAPPER_CLASS(TnxShortStringToShortStringMapper)
REVUROV_FIELD_MAPPER_CLASS(TnxShortStringToNullStringMapper)
REVUROV_FIELD_MAPPER_CLASS(TnxNullStringToNullStringMapper)
REVUROV_FIELD_MAPPER_CLASS(TnxNullStringToShortStringMapper)
REVUROV_FIELD_MAPPER_CLASS(TnxWideStringToAnsiStringMapper)
REVUROV_FIELD_MAPPER_CLASS(TnxAnsiStringToWideStringMapper)
REVUROV_FIELD_MAPPER_CLASS(TnxWideStringToWideStringMapper)

#undef REVUROV_FIELD_MAPPER_CLASS

// The constructors, for the BLOB mappers that finish a BLOB-to-text mapping
// with a BLOB field as source: aMapper unassigned when the pair has no
// routine.
std::unique_ptr<TnxBaseFieldMapper> nxCreateStringMapper(const TnxFieldMapperClass& aClass,
                                                         TnxFieldDescriptor& aSourceField,
                                                         TnxFieldDescriptor& aTargetField,
                                                         const TnxFieldMapperDescriptor* aMapperDesc,
                                                         TnxMappingMethod& aMapper);

}  // namespace revurov
