// Mappers between BLOB fields, and between BLOB fields and the text fields
// ShortString, NullString and WideString. A BLOB field holds only a BLOB
// number, so their routines read the source BLOB through the source cursor
// and create the target BLOB through the target cursor.
//
// Contract:
// - The cursors a routine uses are server cursors; CreateMapper raises
//   EnxBaseFieldMapperException (9986) for a pair whose cursor is not one.
//   Source BLOBs are read with the null record ID.
// - Nothing to write (BLOB number 0, an empty BLOB, an empty text) answers
//   1 under every data-loss action: the target takes its default or null.
// - BLOB to BLOB without conversion is one cursor copy. Memo conversions
//   stream in 1 MiB pieces through one converter pair, so a character split
//   between pieces converts whole and memory stays bounded whatever the
//   BLOB's size.
// - A BLOB read into a text field is judged on its whole text: the check
//   answers nxeInvalidFieldTransformation beyond the target's capacity, best
//   fit cuts at a whole character. 8-bit text ends at its first zero byte.
// - A target BLOB whose write fails is deleted again; the routine answers
//   the cursor's error with the target number 0.
#pragma once

#include <span>

#include "fieldmap/field_mapper_registrations.h"

namespace revurov {

#define REVUROV_BLOB_MAPPER_CLASS(Name)         \
  class Name : public TnxBaseFieldMapper {      \
  public:                                       \
    static const TnxFieldMapperClass ClassInfo; \
  };

REVUROV_BLOB_MAPPER_CLASS(TnxBlobMapper)
REVUROV_BLOB_MAPPER_CLASS(TnxBlobMemoToBlobMemoMapper)
REVUROV_BLOB_MAPPER_CLASS(TnxBlobMemoToBlobWideMemoMapper)
REVUROV_BLOB_MAPPER_CLASS(TnxBlobWideMemoToBlobMemoMapper)
REVUROV_BLOB_MAPPER_CLASS(TnxNullStringToBlobMapper)
REVUROV_BLOB_MAPPER_CLASS(TnxShortStringToBlobMapper)
REVUROV_BLOB_MAPPER_CLASS(TnxWideStringToBlobMapper)
REVUROV_BLOB_MAPPER_CLASS(TnxBlobToNullStringMapper)
REVUROV_BLOB_MAPPER_CLASS(TnxBlobToShortStringMapper)
REVUROV_BLOB_MAPPER_CLASS(TnxBlobToWideStringMapper)
REVUROV_BLOB_MAPPER_CLASS(TnxBlobWideMemoToAnsiStringMapper)
REVUROV_BLOB_MAPPER_CLASS(TnxBlobWideMemoToWideStringMapper)

#undef REVUROV_BLOB_MAPPER_CLASS

// The size of the pieces a memo conversion reads, converts and writes.
inline constexpr uint32_t nxBlobMapperChunkSize = 0x100000;

// The BLOB mappers' registrations, made by their own unit after the
// general ones.
std::span<const TnxFieldMapperRegistration> nxBlobFieldMapperRegistrations() noexcept;
void nxRegisterBlobFieldMappers();

}  // namespace revurov
