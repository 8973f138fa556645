#include "dictionary/field_types.h"

#include <memory>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/strings/fast_string_list.h"

namespace revurov {

const std::u16string_view nxFieldTypeNames[nxFieldTypeCount] = {
    u"Boolean", u"Char", u"Wide Char", u"Byte", u"Word16", u"Word32", u"Int8", u"Int16",
    u"Int32", u"Int64", u"AutoInc", u"Single", u"Double", u"Extended", u"Currency", u"Date",
    u"Time", u"DateTime", u"Interval", u"BLOB", u"BLOB Memo", u"BLOB Graphic", u"Byte Array",
    u"ShortString", u"NullString", u"WideString", u"RecRev", u"GUID", u"BCD", u"BLOB Wide Memo",
    u"Formatted BCD", u"RefNr",
};

const std::u16string_view nxSqlFieldTypeNames[nxFieldTypeCount] = {
    u"BOOLEAN", u"SINGLECHAR", u"NSINGLECHAR", u"BYTE", u"WORD", u"DWORD", u"SHORTINT", u"SMALLINT",
    u"INTEGER", u"BIGINT", u"AUTOINC", u"FLOAT", u"DOUBLE PRECISION", u"EXTENDED", u"MONEY", u"DATE",
    u"TIME", u"TIMESTAMP", u"", u"BINARY LARGE OBJECT", u"CHARACTER LARGE OBJECT", u"IMAGE",
    u"BYTEARRAY", u"SHORTSTRING", u"CHARACTER", u"NATIONAL CHARACTER", u"RECREV", u"GUID", u"DECIMAL",
    u"NATIONAL CHARACTER LARGE OBJECT", u"DECIMAL", u"REFNR",
};

const std::u16string_view nxSqlFieldTypeVaryingNames[nxFieldTypeCount] = {
    u"BOOLEAN", u"SINGLECHAR", u"NSINGLECHAR", u"BYTE", u"WORD", u"DWORD", u"SHORTINT", u"SMALLINT",
    u"INTEGER", u"BIGINT", u"AUTOINC", u"FLOAT", u"DOUBLE PRECISION", u"EXTENDED", u"MONEY", u"DATE",
    u"TIME", u"TIMESTAMP", u"", u"BINARY LARGE OBJECT", u"CHARACTER LARGE OBJECT", u"IMAGE",
    u"BYTEARRAY", u"SHORTSTRING", u"CHARACTER VARYING", u"NATIONAL CHARACTER VARYING", u"RECREV",
    u"GUID", u"DECIMAL", u"NATIONAL CHARACTER LARGE OBJECT", u"DECIMAL", u"REFNR",
};

namespace {

struct EquivalenceTable {
  bool m[nxFieldTypeCount][nxFieldTypeCount] = {};

  constexpr void Group(std::initializer_list<TnxFieldType> types) {
    for (TnxFieldType a : types)
      for (TnxFieldType b : types) m[a][b] = true;
  }

  constexpr EquivalenceTable() {
    for (int i = 0; i < nxFieldTypeCount; ++i) m[i][i] = true;
    Group({nxtWord32, nxtAutoInc, nxtRecRev});
    Group({nxtInt64, nxtRefNr});
    Group({nxtCurrency, nxtBCD, nxtFmtBCD});
    Group({nxtDateTime, nxtInterval});
    Group({nxtBlob, nxtBlobMemo, nxtBlobGraphic, nxtBlobWideMemo});
    m[nxtRefNr][nxtCurrency] = true;  // one direction only
  }
};

constexpr EquivalenceTable kEquivalence;

// Keeps aUnits in 1..aMax, else aMax.
int32_t UnitsUpTo(int32_t aUnits, int32_t aMax) { return aUnits <= 0 || aUnits > aMax ? aMax : aUnits; }

std::unique_ptr<TnxFastStringList> gSqlNames;

// Units near the 32-bit limit would overflow the length; the saturated
// value is refused by every layout check.
int32_t SaturatedLength(int64_t aLength) noexcept {
  return aLength > INT32_MAX ? INT32_MAX : static_cast<int32_t>(aLength);
}

}  // namespace

const bool (&nxFieldTypeEquivalence)[nxFieldTypeCount][nxFieldTypeCount] = kEquivalence.m;

void nxFieldTypeSetup(int aType, int32_t& aUnits, int32_t& aDecPl, bool& aRequired, int32_t& aLength) noexcept {
  if (aType == nxtAutoInc || aType == nxtRecRev || aType == nxtRefNr) aRequired = false;
  if (aType < 0 || aType >= nxFieldTypeCount) {
    aLength = 0;
    return;
  }
  int32_t& u = aUnits;
  int32_t& d = aDecPl;
  switch (static_cast<TnxFieldType>(aType)) {
    case nxtBoolean: u = 0; d = 0; aLength = 1; break;
    case nxtChar: u = 1; d = 0; aLength = 1; break;
    case nxtWideChar: u = 1; d = 0; aLength = 2; break;
    case nxtByte: case nxtInt8: u = UnitsUpTo(u, 3); d = 0; aLength = 1; break;
    case nxtWord16: case nxtInt16: u = UnitsUpTo(u, 5); d = 0; aLength = 2; break;
    case nxtWord32: case nxtInt32: u = UnitsUpTo(u, 10); d = 0; aLength = 4; break;
    case nxtInt64: u = UnitsUpTo(u, 20); d = 0; aLength = 8; break;
    case nxtAutoInc: case nxtRecRev: u = 10; d = 0; aLength = 4; break;
    case nxtRefNr: u = 20; d = 0; aLength = 8; break;
    case nxtSingle: aLength = 4; break;
    case nxtDouble: aLength = 8; break;
    case nxtExtended: aLength = 10; break;
    case nxtCurrency: case nxtBCD:
      if (d < 0 || d > 4) d = 4;
      if (u <= 0 || u > d + 16) u = d + 16;
      if (d >= u) u = d + 1;
      aLength = 8;
      break;
    case nxtDate: case nxtTime: u = 0; d = 0; aLength = 4; break;
    case nxtDateTime: case nxtInterval: u = 0; d = 0; aLength = 8; break;
    case nxtBlob: case nxtBlobMemo: case nxtBlobGraphic: case nxtBlobWideMemo: u = 0; d = 0; aLength = 8; break;
    case nxtByteArray: d = 0; aLength = u; break;
    case nxtShortString:
      if (u > 255) u = 255;
      if (d > 0) d = u;
      aLength = u + 1;
      break;
    case nxtNullString:
      if (d > 0) d = u;
      aLength = SaturatedLength(int64_t{u} + 1);
      break;
    case nxtWideString:
      if (d > 0) d = u;
      aLength = SaturatedLength(2 * int64_t{u} + 2);
      break;
    case nxtGuid: u = 0; d = 0; aLength = 16; break;
    case nxtFmtBCD:
      if (d < 0) d = 0;
      if (d >= 64) d = 63;
      if (d >= u)
        u = d + 1;
      else if (u > 64)
        u = 64;
      aLength = (u + 1) / 2 + 2;
      break;
  }
}

void nxBuildFieldTypeNameLists() {
  auto list = TnxFastStringList::CreateSorted(platform::TDuplicates::dupIgnore);
  for (int t = 0; t < nxFieldTypeCount; ++t) {
    void* type = reinterpret_cast<void*>(static_cast<intptr_t>(t));
    int index;
    if (!list->Find(nxSqlFieldTypeNames[t], index)) list->AddObject(std::u16string(nxSqlFieldTypeNames[t]), type);
    if (!list->Find(nxSqlFieldTypeVaryingNames[t], index))
      list->AddObject(std::u16string(nxSqlFieldTypeVaryingNames[t]), type);
  }
  gSqlNames = std::move(list);
}

void nxFreeFieldTypeNameLists() noexcept { gSqlNames.reset(); }

TnxFieldType nxFieldTypeFromSqlName(std::u16string_view aName) {
  int index;
  if (!gSqlNames || !gSqlNames->Find(aName, index)) throw EnxBaseException(nxeObjectNotFound);
  return static_cast<TnxFieldType>(reinterpret_cast<intptr_t>(gSqlNames->Objects(index)));
}

}  // namespace revurov
