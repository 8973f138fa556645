#include "dictionary/field_types.h"

#include <gtest/gtest.h>

#include "dictionary/engine_types.h"
#include "dictionary/startup.h"
#include "lowlevel/errors/exceptions.h"
#include "support/exception_message.h"

namespace revurov {
namespace {

struct SetupCase {
  int type;
  int32_t units, decPl;
  int32_t wantUnits, wantDecPl, wantLength;
};

TEST(FieldTypeSetup, NormalisesUnitsDecimalsAndLengthPerType) {
  const SetupCase cases[] = {
      {nxtBoolean, 5, 5, 0, 0, 1},
      {nxtChar, 9, 1, 1, 0, 1},
      {nxtWideChar, 9, 1, 1, 0, 2},
      {nxtByte, 2, 1, 2, 0, 1},
      {nxtInt8, 7, 0, 3, 0, 1},
      {nxtInt16, 0, 0, 5, 0, 2},
      {nxtWord32, 11, 0, 10, 0, 4},
      {nxtInt64, -1, 0, 20, 0, 8},
      {nxtAutoInc, 3, 3, 10, 0, 4},
      {nxtSingle, 7, 3, 7, 3, 4},
      {nxtExtended, 7, 3, 7, 3, 10},
      {nxtCurrency, 0, 7, 20, 4, 8},
      {nxtCurrency, 3, 4, 5, 4, 8},
      {nxtCurrency, 0, 2, 18, 2, 8},
      {nxtBCD, 30, 1, 17, 1, 8},
      {nxtDate, 4, 4, 0, 0, 4},
      {nxtDateTime, 4, 4, 0, 0, 8},
      {nxtBlobWideMemo, 4, 4, 0, 0, 8},
      {nxtByteArray, 12, 3, 12, 0, 12},
      {nxtShortString, 300, 0, 255, 0, 256},
      {nxtShortString, 20, 5, 20, 20, 21},
      {nxtShortString, 20, -1, 20, -1, 21},
      {nxtNullString, 4, 6, 4, 4, 5},
      {nxtWideString, 10, 0, 10, 0, 22},
      {nxtRecRev, 0, 0, 10, 0, 4},
      {nxtGuid, 3, 3, 0, 0, 16},
      {nxtFmtBCD, 70, 2, 64, 2, 34},
      {nxtFmtBCD, 5, 9, 10, 9, 7},
      {nxtFmtBCD, 10, 2, 10, 2, 7},
      {nxtFmtBCD, 10, 70, 64, 63, 34},
      {nxtFmtBCD, 10, -3, 10, 0, 7},
      {nxtRefNr, 0, 0, 20, 0, 8},
  };
  for (const auto& c : cases) {
    int32_t units = c.units, decPl = c.decPl, length = -1;
    bool required = true;
    nxFieldTypeSetup(c.type, units, decPl, required, length);
    EXPECT_EQ(units, c.wantUnits) << c.type;
    EXPECT_EQ(decPl, c.wantDecPl) << c.type;
    EXPECT_EQ(length, c.wantLength) << c.type;
    EXPECT_EQ(required, c.type != nxtAutoInc && c.type != nxtRecRev && c.type != nxtRefNr) << c.type;
  }
}

TEST(FieldTypeSetup, LeavesTypesFrom32Alone) {
  int32_t units = 7, decPl = 3, length = -1;
  bool required = true;
  nxFieldTypeSetup(32, units, decPl, required, length);
  EXPECT_EQ(units, 7);
  EXPECT_EQ(decPl, 3);
  EXPECT_TRUE(required);
  EXPECT_EQ(length, 0);
}

TEST(FieldTypeEquivalence, HoldsTheGroupsBothWaysAndRefNrToCurrencyOneWay) {
  const std::vector<std::vector<TnxFieldType>> groups = {
      {nxtWord32, nxtAutoInc, nxtRecRev}, {nxtInt64, nxtRefNr}, {nxtCurrency, nxtBCD, nxtFmtBCD},
      {nxtDateTime, nxtInterval}, {nxtBlob, nxtBlobMemo, nxtBlobGraphic, nxtBlobWideMemo}};
  auto sameGroup = [&](int a, int b) {
    if (a == b) return true;
    for (const auto& g : groups) {
      bool hasA = false, hasB = false;
      for (auto t : g) {
        hasA |= t == a;
        hasB |= t == b;
      }
      if (hasA && hasB) return true;
    }
    return false;
  };
  for (int other = 0; other < nxFieldTypeCount; ++other)
    for (int self = 0; self < nxFieldTypeCount; ++self) {
      const bool want = sameGroup(other, self) || (other == nxtRefNr && self == nxtCurrency);
      EXPECT_EQ(nxFieldTypeEquivalence[other][self], want) << other << " " << self;
    }
  EXPECT_FALSE(nxFieldTypeEquivalence[nxtCurrency][nxtRefNr]);
}

class SqlNames : public ::testing::Test {
protected:
  TnxDictionaryStartupGuard dictionary;
};

TEST_F(SqlNames, FindTheFirstTypeOfEachNameInAnyCase) {
  const std::pair<std::u16string_view, TnxFieldType> cases[] = {
      {u"DECIMAL", nxtBCD},
      {u"decimal", nxtBCD},
      {u"Character Varying", nxtNullString},
      {u"CHARACTER", nxtNullString},
      {u"NATIONAL CHARACTER VARYING", nxtWideString},
      {u"", nxtInterval},
      {u"timestamp", nxtDateTime},
      {u"NATIONAL CHARACTER LARGE OBJECT", nxtBlobWideMemo},
      {u"refnr", nxtRefNr},
  };
  for (const auto& [name, type] : cases)
    EXPECT_EQ(nxFieldTypeFromSqlName(name), type) << std::string(name.begin(), name.end());
}

TEST_F(SqlNames, UnknownNameRaisesCodeAlone) {
  try {
    nxFieldTypeFromSqlName(u"VARCHAR");
    FAIL();
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 8712u);
    EXPECT_NE(e.Message().find(u"Could not find object."), std::u16string::npos);
  }
}

TEST(SqlNamesBeforeStartup, RaiseInsteadOfCrashing) {
  EXPECT_THROW(nxFieldTypeFromSqlName(u"DECIMAL"), EnxBaseException);
}

TEST(ParamTypeNames, MatchWithoutCaseAndFallBackToUnknown) {
  const std::pair<std::u16string_view, TnxParamType> cases[] = {
      {u"INOUT", nxptInputOutput}, {u"inout", nxptInputOutput}, {u"In", nxptInput}, {u"out", nxptOutput},
      {u"Result", nxptResult},     {u"", nxptUnknown},          {u"INPUT", nxptUnknown},
  };
  for (const auto& [text, type] : cases) EXPECT_EQ(nxParamTypeFromString(text), type);
}

TEST(LockConflictNames, NameEachLockResult) {
  const std::u16string_view want[9] = {u"unknown",   u"unknown",     u"unknown",     u"write lock", u"read lock",
                                       u"read lock", u"record lock", u"record lock", u"transaction"};
  for (int r = 0; r < 9; ++r) EXPECT_EQ(nxLockConflictNames[nxLockResultConflictKinds[r]], want[r]) << r;
}

}  // namespace
}  // namespace revurov
