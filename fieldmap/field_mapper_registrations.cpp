#include "fieldmap/field_mapper_registrations.h"

#include <array>
#include <cstddef>

#include "fieldmap/byte_array_mappers.h"
#include "fieldmap/char_mappers.h"
#include "fieldmap/date_time_mappers.h"
#include "fieldmap/floating_mappers.h"
#include "fieldmap/fmt_bcd_mappers.h"
#include "fieldmap/integer_mappers.h"
#include "fieldmap/string_mappers.h"
#include "fieldmap/text_source_mappers.h"

namespace revurov {

namespace {

// The targets every numeric and character source serves.
constexpr TnxFieldType kNumericTargets[] = {
    nxtBoolean, nxtInt8,     nxtInt16,  nxtInt32,    nxtInt64,  nxtByte, nxtWord16,
    nxtWord32,  nxtAutoInc,  nxtRecRev, nxtSingle,   nxtDouble, nxtExtended, nxtCurrency,
    nxtBCD,     nxtByteArray, nxtChar,  nxtWideChar, nxtNullString, nxtShortString, nxtWideString,
};
static_assert(std::size(kNumericTargets) == 21);

constexpr TnxFieldType kDateTimeTarget[] = {nxtDateTime};
constexpr TnxFieldType kFmtBcdTarget[] = {nxtFmtBCD};
constexpr TnxFieldType kFmtBcdTargets[] = {nxtFmtBCD, nxtBCD,   nxtCurrency, nxtSingle, nxtDouble,
                                           nxtExtended, nxtInt8, nxtInt16,   nxtInt32,  nxtInt64,
                                           nxtByte,   nxtWord16, nxtAutoInc, nxtRecRev, nxtWord32};

constexpr TnxFieldType kRefNrTargets[] = {nxtRefNr, nxtInt64, nxtNullString, nxtShortString, nxtWideString};

constexpr TnxFieldType kByteArrayTargets[] = {nxtByteArray, nxtGuid, nxtNullString, nxtShortString, nxtWideString};
constexpr TnxFieldType kShortStringTarget[] = {nxtShortString};
constexpr TnxFieldType kNullStringTarget[] = {nxtNullString};
constexpr TnxFieldType kWideStringTarget[] = {nxtWideString};
constexpr TnxFieldType kAnsiStringTargets[] = {nxtNullString, nxtShortString};

constexpr TnxFieldType kDateOrTimeTargets[] = {nxtDateTime,   nxtDate,        nxtTime,      nxtByteArray,
                                               nxtNullString, nxtShortString, nxtWideString};
constexpr TnxFieldType kDateTimeTargets[] = {nxtDateTime,   nxtDate,        nxtTime,       nxtDouble, nxtByteArray,
                                             nxtNullString, nxtShortString, nxtWideString};
constexpr TnxFieldType kGuidTargets[] = {nxtGuid, nxtByteArray, nxtNullString, nxtShortString, nxtWideString};

// The targets every text source serves.
constexpr TnxFieldType kTextTargets[] = {
    nxtBoolean, nxtInt8,   nxtInt16,    nxtInt32,    nxtInt64, nxtByte, nxtWord16,    nxtWord32,
    nxtAutoInc, nxtRecRev, nxtSingle,   nxtDouble,   nxtExtended, nxtCurrency, nxtBCD, nxtDate,
    nxtTime,    nxtDateTime, nxtByteArray, nxtGuid, nxtChar,  nxtWideChar,
};
static_assert(std::size(kTextTargets) == 22);

struct Row {
  TnxFieldType Source;
  TnxBaseFieldMapperClass Class;
  std::span<const TnxFieldType> Targets;
};

constexpr Row kGeneralRows[] = {
    {nxtBoolean, &TnxBooleanMapper::ClassInfo, kNumericTargets},
    {nxtChar, &TnxCharMapper::ClassInfo, kNumericTargets},
    {nxtWideChar, &TnxWideCharMapper::ClassInfo, kNumericTargets},
    {nxtByte, &TnxByte8Mapper::ClassInfo, kNumericTargets},
    {nxtWord16, &TnxWord16Mapper::ClassInfo, kNumericTargets},
    {nxtWord32, &TnxWord32Mapper::ClassInfo, kNumericTargets},
    {nxtInt8, &TnxInt8Mapper::ClassInfo, kNumericTargets},
    {nxtInt16, &TnxInt16Mapper::ClassInfo, kNumericTargets},
    {nxtInt32, &TnxInt32Mapper::ClassInfo, kNumericTargets},
    {nxtInt64, &TnxInt64Mapper::ClassInfo, kNumericTargets},
    {nxtAutoInc, &TnxWord32Mapper::ClassInfo, kNumericTargets},
    {nxtRecRev, &TnxWord32Mapper::ClassInfo, kNumericTargets},
    {nxtRefNr, &TnxInt64Mapper::ClassInfo, kRefNrTargets},
    {nxtByteArray, &TnxByteArrayMapper::ClassInfo, kByteArrayTargets},
    {nxtShortString, &TnxShortStringToShortStringMapper::ClassInfo, kShortStringTarget},
    {nxtShortString, &TnxShortStringToNullStringMapper::ClassInfo, kNullStringTarget},
    {nxtShortString, &TnxAnsiStringToWideStringMapper::ClassInfo, kWideStringTarget},
    {nxtNullString, &TnxNullStringToNullStringMapper::ClassInfo, kNullStringTarget},
    {nxtNullString, &TnxNullStringToShortStringMapper::ClassInfo, kShortStringTarget},
    {nxtNullString, &TnxAnsiStringToWideStringMapper::ClassInfo, kWideStringTarget},
    {nxtWideString, &TnxWideStringToAnsiStringMapper::ClassInfo, kAnsiStringTargets},
    {nxtWideString, &TnxWideStringToWideStringMapper::ClassInfo, kWideStringTarget},
    {nxtDate, &TnxDateMapper::ClassInfo, kDateOrTimeTargets},
    {nxtTime, &TnxTimeMapper::ClassInfo, kDateOrTimeTargets},
    {nxtDateTime, &TnxDateTimeMapper::ClassInfo, kDateTimeTargets},
    {nxtGuid, &TnxGuidMapper::ClassInfo, kGuidTargets},
    {nxtShortString, &TnxShortStringMapper::ClassInfo, kTextTargets},
    {nxtNullString, &TnxNullStringMapper::ClassInfo, kTextTargets},
    {nxtWideString, &TnxWideStringMapper::ClassInfo, kTextTargets},
    {nxtSingle, &TnxSingleMapper::ClassInfo, kNumericTargets},
    {nxtDouble, &TnxDoubleMapper::ClassInfo, kNumericTargets},
    {nxtDouble, &TnxDoubleMapper::ClassInfo, kDateTimeTarget},
    {nxtExtended, &TnxExtendedMapper::ClassInfo, kNumericTargets},
    {nxtCurrency, &TnxCurrencyMapper::ClassInfo, kNumericTargets},
    {nxtBCD, &TnxCurrencyMapper::ClassInfo, kNumericTargets},
    {nxtByte, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTarget},
    {nxtWord16, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTarget},
    {nxtWord32, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTarget},
    {nxtInt8, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTarget},
    {nxtInt16, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTarget},
    {nxtInt32, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTarget},
    {nxtInt64, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTarget},
    {nxtAutoInc, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTarget},
    {nxtRecRev, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTarget},
    {nxtSingle, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTarget},
    {nxtDouble, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTarget},
    {nxtExtended, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTarget},
    {nxtCurrency, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTarget},
    {nxtBCD, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTarget},
    {nxtFmtBCD, &TnxFmtBCDMapper::ClassInfo, kFmtBcdTargets},
};

template <std::size_t kRows>
constexpr std::size_t RegistrationCount(const Row (&aRows)[kRows]) {
  std::size_t n = 0;
  for (const Row& row : aRows) n += row.Targets.size();
  return n;
}

template <std::size_t kCount, std::size_t kRows>
constexpr std::array<TnxFieldMapperRegistration, kCount> Expand(const Row (&aRows)[kRows]) {
  std::array<TnxFieldMapperRegistration, kCount> result{};
  std::size_t i = 0;
  for (const Row& row : aRows)
    for (TnxFieldType target : row.Targets) result[i++] = {row.Source, target, row.Class};
  return result;
}

constexpr auto kGeneralRegistrations = Expand<RegistrationCount(kGeneralRows)>(kGeneralRows);

}  // namespace

std::span<const TnxFieldMapperRegistration> nxGeneralFieldMapperRegistrations() noexcept {
  return kGeneralRegistrations;
}

void nxRegisterGeneralFieldMappers() {
  for (const TnxFieldMapperRegistration& r : kGeneralRegistrations) nxRegisterFieldMapper(r.Class, r.Source, r.Target);
}

}  // namespace revurov
