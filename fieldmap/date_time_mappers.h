// Mappers from Time, Date, DateTime and Guid fields into their own type,
// into each other, into Double (DateTime only), byte arrays and text.
//
// Contract:
// - Time into Date or DateTime, and Date into Time, exist only under best
//   fit. Time carries no date, so the first two answer 1 (the target takes
//   its default or null); Date into Time writes midnight.
// - DateTime into Date or Time: best fit drops the part the target lacks;
//   the check refuses a value with a time of day (Date) or with a date
//   (Time).
// - A byte array gets the value's bytes at its start when it holds 8 bytes
//   (16 for a Guid); anything shorter gets no mapper.
// - Text: Time in the target field's long time format, Date in its short
//   date format, DateTime as both with a blank (the time left out at
//   midnight); the target's locale, or LCID 2048 without one. 8-bit
//   targets take the text in the system's ANSI code page. Best fit cuts a
//   text that does not fit; the check refuses it, judged by each value's
//   own text.
// - A Guid as text is "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper
//   case; a text field of fewer than 39 characters gets no mapper.
// - A stored value outside the calendar or the day (no text, no date) is
//   data loss under check and no value (1) under best fit; routines never
//   raise for data.
#pragma once

#include "fieldmap/field_mapper_base.h"

namespace revurov {

#define REVUROV_FIELD_MAPPER_CLASS(Name)                 \
  class Name : public TnxBaseFieldMapper {              \
  public:                                               \
    static const TnxFieldMapperClass ClassInfo;         \
  };

REVUROV_FIELD_MAPPER_CLASS(TnxTimeMapper)
REVUROV_FIELD_MAPPER_CLASS(TnxDateMapper)
REVUROV_FIELD_MAPPER_CLASS(TnxDateTimeMapper)
REVUROV_FIELD_MAPPER_CLASS(TnxGuidMapper)

#undef REVUROV_FIELD_MAPPER_CLASS

}  // namespace revurov
