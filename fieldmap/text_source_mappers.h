// Mappers from the text of a ShortString, NullString or WideString field
// into Boolean, integer, floating-point, Currency, BCD, Date, Time,
// DateTime, ByteArray, Guid, Char and WideChar fields.
//
// Contract:
// - Numbers are read in the fixed grammars of fieldmap/number_text.h,
//   whatever the locale; BCD text with the process-wide decimal separator
//   (digits, "-" and that separator only); dates and times with the source
//   field's locale (LCID 2048 when it has none), as platform's
//   TryStrToDate, TryStrToTime and TryStrToDateTime read them.
// - A text that is not a value for the target: the checking routine
//   answers nxeInvalidFieldTransformation and writes nothing; best fit
//   writes False, 0, BCD zero, Date day 1, Time midnight, DateTime day 1
//   (86,400,000) or the null GUID.
// - A number outside the target's range is data loss under check; best
//   fit clamps it to the nearest value the target holds (Byte, integers,
//   Single, Double, Extended, Currency, BCD alike). Digits below a BCD
//   field's scale are data loss under check and dropped under best fit.
// - Boolean: "1", "Y", "Yes", "T", "True" and "0", "N", "No", "F", "False"
//   in any case of A-Z, the whole text without trimming.
// - ByteArray takes the text's bytes (WideString: two per unit, low byte
//   first); only a text longer than the array is data loss, and the bytes
//   after the copied ones are left as they were.
// - Char takes the first character (converted when both fields have a code
//   page and they differ; from WideString into the target's code page, 0:
//   the system's ANSI code page); WideChar the first UTF-16 unit, where a
//   WideString of more than one unit is data loss under check. Neither
//   counts a longer text as data loss otherwise.
// - Texts of any length are read whole; routines never raise for data. A
//   code page without a converter fails CreateMapper with the OS-error
//   exception naming the routine.
#pragma once

#include "fieldmap/field_mapper_base.h"

namespace revurov {

#define REVUROV_FIELD_MAPPER_CLASS(Name)                 \
  class Name : public TnxBaseFieldMapper {              \
  public:                                               \
    static const TnxFieldMapperClass ClassInfo;         \
  };

REVUROV_FIELD_MAPPER_CLASS(TnxShortStringMapper)
REVUROV_FIELD_MAPPER_CLASS(TnxNullStringMapper)
REVUROV_FIELD_MAPPER_CLASS(TnxWideStringMapper)

#undef REVUROV_FIELD_MAPPER_CLASS

}  // namespace revurov
