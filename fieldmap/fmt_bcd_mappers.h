// The mapper between FmtBCD fields and the numeric fields: every integer
// type, Single, Double, Extended, Currency and BCD into FmtBCD, and FmtBCD
// into each of them and into FmtBCD of another shape.
//
// Contract:
// - Values move as decimal digits, never through locale text, so no
//   decimal separator can disagree between writing and reading.
// - Into FmtBCD: digits beyond the target's scale are dropped toward zero;
//   a value past its integer places clamps to the largest magnitude the
//   field holds (best fit). A checking routine answers
//   nxeInvalidFieldTransformation for any non-zero digit lost. Single and
//   Double go through their 15-digit text, Extended through 19 digits.
// - Out of FmtBCD: integer and Currency targets clamp under best fit
//   (fractions cut toward zero, Currency rounded to four decimals, ties to
//   even); Single and Double are checked relatively: a loss only when a
//   significant digit beyond the 7th or 15th does not survive; past the
//   target's range best fit gives the largest finite value with its sign.
// - A FmtBCD source with a broken record answers
//   nxeInvalidFieldTransformation under every action. NaN answers 1 under
//   best fit. No routine raises.
#pragma once

#include "fieldmap/field_mapper_base.h"

namespace revurov {

class TnxFmtBCDMapper : public TnxBaseFieldMapper {
public:
  static const TnxFieldMapperClass ClassInfo;
};

}  // namespace revurov
