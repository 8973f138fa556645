// The 32 field types: their storage rules, display and SQL names and which
// of them count as the same when two field lists are compared.
//
// Contract:
// - nxFieldTypeSetup is the one place that turns a type with the units and
//   decimals asked for into the units, decimals, required flag and byte
//   length the field really gets; types from 32 up are left as they are
//   (length 0).
// - nxFieldTypeFromSqlName needs nxBuildFieldTypeNameLists (the dictionary's
//   start-up); an unknown name, or a call before the start-up, raises
//   EnxBaseException 8712 with the code's own text.
#pragma once

#include <cstdint>
#include <string_view>

namespace revurov {

enum TnxFieldType : uint8_t {
  nxtBoolean, nxtChar, nxtWideChar, nxtByte, nxtWord16, nxtWord32, nxtInt8, nxtInt16,
  nxtInt32, nxtInt64, nxtAutoInc, nxtSingle, nxtDouble, nxtExtended, nxtCurrency, nxtDate,
  nxtTime, nxtDateTime, nxtInterval, nxtBlob, nxtBlobMemo, nxtBlobGraphic, nxtByteArray,
  nxtShortString, nxtNullString, nxtWideString, nxtRecRev, nxtGuid, nxtBCD, nxtBlobWideMemo,
  nxtFmtBCD, nxtRefNr,
};
inline constexpr int nxFieldTypeCount = 32;

// Bit set over TnxFieldType.
using TnxFieldTypes = uint32_t;
constexpr TnxFieldTypes nxFieldTypeBit(TnxFieldType aType) noexcept { return TnxFieldTypes{1} << aType; }

inline constexpr TnxFieldTypes nxBlobFieldTypes =
    nxFieldTypeBit(nxtBlob) | nxFieldTypeBit(nxtBlobMemo) | nxFieldTypeBit(nxtBlobGraphic) |
    nxFieldTypeBit(nxtBlobWideMemo);

// Display names and SQL names (the second is the varying form; it equals
// the first where a type has one name, and nxtInterval has none).
extern const std::u16string_view nxFieldTypeNames[nxFieldTypeCount];
extern const std::u16string_view nxSqlFieldTypeNames[nxFieldTypeCount];
extern const std::u16string_view nxSqlFieldTypeVaryingNames[nxFieldTypeCount];

// [type of the other field][type of this field].
extern const bool (&nxFieldTypeEquivalence)[nxFieldTypeCount][nxFieldTypeCount];

void nxFieldTypeSetup(int aType, int32_t& aUnits, int32_t& aDecPl, bool& aRequired, int32_t& aLength) noexcept;

void nxBuildFieldTypeNameLists();
void nxFreeFieldTypeNameLists() noexcept;
TnxFieldType nxFieldTypeFromSqlName(std::u16string_view aName);

}  // namespace revurov
