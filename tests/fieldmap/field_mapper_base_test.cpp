#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fieldmap/blob_mappers.h"
#include "fieldmap/field_mapper_base.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "fieldmap/field_mapper_registrations.h"
#include "fieldmap/integer_mappers.h"
#include "fieldmap/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "mapper_fields.h"
#include "server/server_database.h"
#include "support/table_ops_fixture.h"

namespace revurov {
namespace {

using testing::LastMessage;
using testing::MakeField;

const std::vector<TnxFieldType> N = {
    nxtBoolean, nxtInt8,   nxtInt16,    nxtInt32,    nxtInt64,     nxtByte,  nxtWord16,
    nxtWord32,  nxtAutoInc, nxtRecRev,  nxtSingle,   nxtDouble,    nxtExtended, nxtCurrency,
    nxtBCD,     nxtByteArray, nxtChar,  nxtWideChar, nxtNullString, nxtShortString, nxtWideString};
const std::vector<TnxFieldType> T = {
    nxtBoolean, nxtInt8,   nxtInt16,  nxtInt32,    nxtInt64, nxtByte,     nxtWord16, nxtAutoInc,
    nxtRecRev,  nxtWord32, nxtSingle, nxtDouble,   nxtExtended, nxtBCD,   nxtCurrency, nxtDate,
    nxtTime,    nxtDateTime, nxtByteArray, nxtGuid, nxtChar,  nxtWideChar};
const std::vector<TnxFieldType> kBlobs = {nxtBlob, nxtBlobMemo, nxtBlobWideMemo, nxtBlobGraphic};
const std::vector<TnxFieldType> kFmt = {nxtFmtBCD};

struct Row {
  TnxFieldType Source;
  std::u16string Class;
  std::vector<TnxFieldType> Targets;
};

// Every registration the library makes once all mapper families are in.
const std::vector<Row>& ExpectedRows() {
  static const std::vector<Row> rows = {
      {nxtBoolean, u"TnxBooleanMapper", N},
      {nxtChar, u"TnxCharMapper", N},
      {nxtWideChar, u"TnxWideCharMapper", N},
      {nxtByte, u"TnxByte8Mapper", N}, {nxtByte, u"TnxFmtBCDMapper", kFmt},
      {nxtWord16, u"TnxWord16Mapper", N}, {nxtWord16, u"TnxFmtBCDMapper", kFmt},
      {nxtWord32, u"TnxWord32Mapper", N}, {nxtWord32, u"TnxFmtBCDMapper", kFmt},
      {nxtInt8, u"TnxInt8Mapper", N}, {nxtInt8, u"TnxFmtBCDMapper", kFmt},
      {nxtInt16, u"TnxInt16Mapper", N}, {nxtInt16, u"TnxFmtBCDMapper", kFmt},
      {nxtInt32, u"TnxInt32Mapper", N}, {nxtInt32, u"TnxFmtBCDMapper", kFmt},
      {nxtInt64, u"TnxInt64Mapper", N}, {nxtInt64, u"TnxFmtBCDMapper", kFmt},
      {nxtAutoInc, u"TnxWord32Mapper", N}, {nxtAutoInc, u"TnxFmtBCDMapper", kFmt},
      {nxtSingle, u"TnxSingleMapper", N}, {nxtSingle, u"TnxFmtBCDMapper", kFmt},
      {nxtDouble, u"TnxDoubleMapper", N}, {nxtDouble, u"TnxDoubleMapper", {nxtDateTime}},
      {nxtDouble, u"TnxFmtBCDMapper", kFmt},
      {nxtExtended, u"TnxExtendedMapper", N}, {nxtExtended, u"TnxFmtBCDMapper", kFmt},
      {nxtCurrency, u"TnxCurrencyMapper", N}, {nxtCurrency, u"TnxFmtBCDMapper", kFmt},
      {nxtDate, u"TnxDateMapper",
       {nxtDateTime, nxtDate, nxtTime, nxtByteArray, nxtNullString, nxtShortString, nxtWideString}},
      {nxtTime, u"TnxTimeMapper",
       {nxtDateTime, nxtDate, nxtTime, nxtByteArray, nxtNullString, nxtShortString, nxtWideString}},
      {nxtDateTime, u"TnxDateTimeMapper",
       {nxtDateTime, nxtDate, nxtTime, nxtDouble, nxtByteArray, nxtNullString, nxtShortString, nxtWideString}},
      {nxtBlob, u"TnxBlobMapper", kBlobs},
      {nxtBlob, u"TnxBlobToNullStringMapper", {nxtNullString}},
      {nxtBlob, u"TnxBlobToShortStringMapper", {nxtShortString}},
      {nxtBlob, u"TnxBlobToWideStringMapper", {nxtWideString}},
      {nxtBlobMemo, u"TnxBlobMapper", {nxtBlob, nxtBlobGraphic}},
      {nxtBlobMemo, u"TnxBlobMemoToBlobMemoMapper", {nxtBlobMemo}},
      {nxtBlobMemo, u"TnxBlobMemoToBlobWideMemoMapper", {nxtBlobWideMemo}},
      {nxtBlobMemo, u"TnxBlobToNullStringMapper", {nxtNullString}},
      {nxtBlobMemo, u"TnxBlobToShortStringMapper", {nxtShortString}},
      {nxtBlobMemo, u"TnxBlobToWideStringMapper", {nxtWideString}},
      {nxtBlobGraphic, u"TnxBlobMapper", kBlobs},
      {nxtBlobGraphic, u"TnxBlobToNullStringMapper", {nxtNullString}},
      {nxtBlobGraphic, u"TnxBlobToShortStringMapper", {nxtShortString}},
      {nxtBlobGraphic, u"TnxBlobToWideStringMapper", {nxtWideString}},
      {nxtByteArray, u"TnxByteArrayMapper", {nxtByteArray, nxtGuid, nxtNullString, nxtShortString, nxtWideString}},
      {nxtShortString, u"TnxShortStringToShortStringMapper", {nxtShortString}},
      {nxtShortString, u"TnxShortStringToNullStringMapper", {nxtNullString}},
      {nxtShortString, u"TnxAnsiStringToWideStringMapper", {nxtWideString}},
      {nxtShortString, u"TnxShortStringMapper", T},
      {nxtShortString, u"TnxShortStringToBlobMapper", kBlobs},
      {nxtNullString, u"TnxNullStringToNullStringMapper", {nxtNullString}},
      {nxtNullString, u"TnxNullStringToShortStringMapper", {nxtShortString}},
      {nxtNullString, u"TnxAnsiStringToWideStringMapper", {nxtWideString}},
      {nxtNullString, u"TnxNullStringMapper", T},
      {nxtNullString, u"TnxNullStringToBlobMapper", kBlobs},
      {nxtWideString, u"TnxWideStringToAnsiStringMapper", {nxtNullString, nxtShortString}},
      {nxtWideString, u"TnxWideStringToWideStringMapper", {nxtWideString}},
      {nxtWideString, u"TnxWideStringMapper", T},
      {nxtWideString, u"TnxWideStringToBlobMapper", kBlobs},
      {nxtRecRev, u"TnxWord32Mapper", N}, {nxtRecRev, u"TnxFmtBCDMapper", kFmt},
      {nxtGuid, u"TnxGuidMapper", {nxtGuid, nxtByteArray, nxtNullString, nxtShortString, nxtWideString}},
      {nxtBCD, u"TnxCurrencyMapper", N}, {nxtBCD, u"TnxFmtBCDMapper", kFmt},
      {nxtBlobWideMemo, u"TnxBlobMapper", {nxtBlob, nxtBlobWideMemo, nxtBlobGraphic}},
      {nxtBlobWideMemo, u"TnxBlobWideMemoToBlobMemoMapper", {nxtBlobMemo}},
      {nxtBlobWideMemo, u"TnxBlobWideMemoToAnsiStringMapper", {nxtNullString, nxtShortString}},
      {nxtBlobWideMemo, u"TnxBlobWideMemoToWideStringMapper", {nxtWideString}},
      {nxtFmtBCD, u"TnxFmtBCDMapper",
       {nxtFmtBCD, nxtBCD, nxtCurrency, nxtSingle, nxtDouble, nxtExtended, nxtInt8, nxtInt16, nxtInt32, nxtInt64,
        nxtByte, nxtWord16, nxtAutoInc, nxtRecRev, nxtWord32}},
      {nxtRefNr, u"TnxInt64Mapper", {nxtRefNr, nxtInt64, nxtNullString, nxtShortString, nxtWideString}},
  };
  return rows;
}

// The mapper classes written so far; the others' cells stay empty.
const std::set<std::u16string> kBuiltClasses = {
    u"TnxBooleanMapper", u"TnxByte8Mapper", u"TnxWord16Mapper", u"TnxWord32Mapper",
    u"TnxInt8Mapper",    u"TnxInt16Mapper", u"TnxInt32Mapper",  u"TnxInt64Mapper",
    u"TnxShortStringToShortStringMapper", u"TnxShortStringToNullStringMapper",
    u"TnxNullStringToNullStringMapper",   u"TnxNullStringToShortStringMapper",
    u"TnxWideStringToAnsiStringMapper",   u"TnxAnsiStringToWideStringMapper",
    u"TnxWideStringToWideStringMapper",   u"TnxCharMapper",
    u"TnxWideCharMapper",                 u"TnxByteArrayMapper",
    u"TnxSingleMapper",  u"TnxDoubleMapper", u"TnxExtendedMapper", u"TnxCurrencyMapper", u"TnxFmtBCDMapper",
    u"TnxShortStringMapper", u"TnxNullStringMapper", u"TnxWideStringMapper",
    u"TnxDateMapper", u"TnxTimeMapper", u"TnxDateTimeMapper", u"TnxGuidMapper",
    u"TnxBlobMapper", u"TnxBlobMemoToBlobMemoMapper", u"TnxBlobMemoToBlobWideMemoMapper",
    u"TnxBlobWideMemoToBlobMemoMapper", u"TnxNullStringToBlobMapper", u"TnxShortStringToBlobMapper",
    u"TnxWideStringToBlobMapper", u"TnxBlobToNullStringMapper", u"TnxBlobToShortStringMapper",
    u"TnxBlobToWideStringMapper", u"TnxBlobWideMemoToAnsiStringMapper", u"TnxBlobWideMemoToWideStringMapper"};

using Cell = std::pair<TnxFieldType, TnxFieldType>;

std::map<Cell, std::u16string> ExpectedCells() {
  std::map<Cell, std::u16string> cells;
  for (const Row& row : ExpectedRows())
    for (TnxFieldType target : row.Targets) {
      const bool fresh = cells.emplace(Cell{row.Source, target}, row.Class).second;
      EXPECT_TRUE(fresh) << "pair registered twice: " << int(row.Source) << " -> " << int(target);
    }
  return cells;
}

bool IsBlobClass(const std::u16string& aClass) { return aClass.find(u"Blob") != std::u16string::npos; }

// A target of each type with room for any value of any source.
std::unique_ptr<TnxFieldDescriptor> RoomyField(TnxFieldType aType) {
  switch (aType) {
    case nxtByteArray: return MakeField(aType, 16);
    case nxtShortString: case nxtNullString: case nxtWideString: return MakeField(aType, 40);
    case nxtBCD: case nxtCurrency: return MakeField(aType, 20, 4);
    case nxtFmtBCD: return MakeField(aType, 40, 4);
    default: return MakeField(aType);
  }
}

class FieldMapperRegistry : public ::testing::Test {
protected:
  TnxFieldMapStartupGuard fieldMap;
};

TEST_F(FieldMapperRegistry, TheTableHoldsEachPairOnceAndCountsFiveHundredThirtyNineInAll) {
  const auto cells = ExpectedCells();
  EXPECT_EQ(cells.size(), 539u);
  size_t blob = 0;
  for (const auto& [cell, cls] : cells) blob += IsBlobClass(cls);
  EXPECT_EQ(blob, 40u);
  for (const auto& [cell, cls] : cells) {
    EXPECT_NE(cell.first, nxtInterval);
    EXPECT_NE(cell.second, nxtInterval);
  }
}

TEST_F(FieldMapperRegistry, RegistersOneClassPerPairOfTheFamiliesBuilt) {
  const auto cells = ExpectedCells();
  int built = 0;
  for (const auto& [cell, cls] : cells) built += kBuiltClasses.count(cls) ? 1 : 0;
  EXPECT_EQ(nxFieldMapperRegistrationCount(), built);
  EXPECT_EQ(static_cast<int>(nxGeneralFieldMapperRegistrations().size() + nxBlobFieldMapperRegistrations().size()),
            built);
  for (int s = 0; s < nxFieldTypeCount; ++s)
    for (int t = 0; t < nxFieldTypeCount; ++t) {
      const auto source = TnxFieldType(s), target = TnxFieldType(t);
      const auto registered = nxRegisteredFieldMappers(source, target);
      const auto it = cells.find({source, target});
      if (it == cells.end() || !kBuiltClasses.count(it->second)) {
        EXPECT_TRUE(registered.empty()) << s << " -> " << t;
        continue;
      }
      ASSERT_EQ(registered.size(), 1u) << s << " -> " << t;
      EXPECT_EQ(std::u16string(registered[0]->Name), it->second) << s << " -> " << t;
    }
}

// The BLOB mappers read and write through server cursors: the matrix
// gives every cell a cursor of a table on a running engine.
class FieldMapperMatrix : public testing::TableOpsFixture {
protected:
  FieldMapperMatrix() {
    auto dict = std::make_unique<TnxDataDictionary>();
    dict->FieldsDescriptor().AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
    EXPECT_EQ(db->TableBuild(false, u"Matrix", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    TnxAbstractCursor* opened = nullptr;
    EXPECT_EQ(db->CursorOpen(opened, u"Matrix", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr),
              0u)
        << LastMessage();
    cursor = opened;
  }
  ~FieldMapperMatrix() override {
    if (cursor) cursor->Free();
  }

  TnxFieldMapStartupGuard fieldMap;
  TnxAbstractCursor* cursor = nullptr;
};

// Every cell, under each action and without a descriptor.
TEST_F(FieldMapperMatrix, ARegisteredPairWithARoomyTargetYieldsARoutineAndAnyOtherNone) {
  const auto cells = ExpectedCells();
  TnxFieldMapperDescriptor fail(u"a", u"b", dlaFail), null(u"a", u"b", dlaNull), bestFit(u"a", u"b", dlaBestFit);
  const TnxFieldMapperDescriptor* descs[] = {nullptr, &fail, &null, &bestFit};
  for (int s = 0; s < nxFieldTypeCount; ++s)
    for (int t = 0; t < nxFieldTypeCount; ++t) {
      auto source = RoomyField(TnxFieldType(s));
      auto target = RoomyField(TnxFieldType(t));
      const auto it = cells.find({TnxFieldType(s), TnxFieldType(t)});
      const bool registered = it != cells.end() && kBuiltClasses.count(it->second);
      // A time carries no date and a date no time: only best fit maps them.
      const bool bestFitOnly = (s == nxtTime && (t == nxtDate || t == nxtDateTime)) || (s == nxtDate && t == nxtTime);
      for (const TnxFieldMapperDescriptor* desc : descs) {
        const bool expected = registered && (!bestFitOnly || desc == &bestFit);
        TnxMappingMethod method{reinterpret_cast<TnxMappingRoutine>(1), nullptr};
        auto mapper = TnxBaseFieldMapper::CreateMapper(*source, cursor, *target, cursor, desc, method);
        EXPECT_EQ(method.Assigned(), expected) << s << " -> " << t;
        if (!expected) {
          EXPECT_EQ(mapper, nullptr);
        } else if (mapper) {
          EXPECT_EQ(method.Data, mapper.get());
        } else {
          EXPECT_EQ(method.Data, nxRegisteredFieldMappers(TnxFieldType(s), TnxFieldType(t))[0]);
        }
      }
    }
}

TEST_F(FieldMapperRegistry, ShutDownEmptiesEveryPairAndStartUpFillsThemAgain) {
  const int count = nxFieldMapperRegistrationCount();
  ASSERT_GT(count, 0);
  nxFieldMapShutdown();
  EXPECT_EQ(nxFieldMapperRegistrationCount(), 0);
  nxFieldMapStartup();
  EXPECT_EQ(nxFieldMapperRegistrationCount(), count);
}

// ---- lookup order ----

uint32_t Answer77(const void*, const void*, void* aTarget) {
  *static_cast<uint8_t*>(aTarget) = 77;
  return 0;
}

std::unique_ptr<TnxBaseFieldMapper> Decline(const TnxFieldMapperClass&, TnxFieldDescriptor&, TnxAbstractCursor*,
                                            TnxFieldDescriptor&, TnxAbstractCursor*, const TnxFieldMapperDescriptor*,
                                            TnxMappingMethod& aMapper) {
  aMapper.Clear();
  return nullptr;
}

std::unique_ptr<TnxBaseFieldMapper> Offer77(const TnxFieldMapperClass& aClass, TnxFieldDescriptor&,
                                            TnxAbstractCursor*, TnxFieldDescriptor&, TnxAbstractCursor*,
                                            const TnxFieldMapperDescriptor*, TnxMappingMethod& aMapper) {
  aMapper = {&Answer77, &aClass};
  return nullptr;
}

const TnxFieldMapperClass kDeclining{u"Declining", &Decline};
const TnxFieldMapperClass kOffering{u"Offering", &Offer77};

uint8_t MapBooleanToInt8(uint8_t aValue, TnxBaseFieldMapperClass& aUsed) {
  auto source = MakeField(nxtBoolean);
  auto target = MakeField(nxtInt8);
  TnxMappingMethod method;
  auto mapper = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, nullptr, method);
  EXPECT_TRUE(method.Assigned());
  aUsed = static_cast<TnxBaseFieldMapperClass>(method.Data);
  uint8_t out = 0;
  EXPECT_EQ(method(&aValue, &out), 0u);
  return out;
}

TEST_F(FieldMapperRegistry, TheLaterClassIsAskedFirstAndADecliningOneLeavesThePairToTheEarlier) {
  TnxBaseFieldMapperClass used = nullptr;
  nxRegisterFieldMapper(&kDeclining, nxtBoolean, nxtInt8);
  EXPECT_EQ(MapBooleanToInt8(1, used), 1);
  EXPECT_EQ(used, &TnxBooleanMapper::ClassInfo);

  nxRegisterFieldMapper(&kOffering, nxtBoolean, nxtInt8);
  EXPECT_EQ(MapBooleanToInt8(1, used), 77);
  EXPECT_EQ(used, &kOffering);

  // Registered twice: asked twice, declining both times.
  nxRegisterFieldMapper(&kDeclining, nxtBoolean, nxtInt8);
  nxRegisterFieldMapper(&kDeclining, nxtBoolean, nxtInt8);
  EXPECT_EQ(nxRegisteredFieldMappers(nxtBoolean, nxtInt8).size(), 5u);
  EXPECT_EQ(MapBooleanToInt8(1, used), 77);
}

TEST_F(FieldMapperRegistry, AnIntervalPairHasNoMapperEvenWhenAClassIsAsked) {
  auto interval = MakeField(nxtInterval);
  auto int32 = MakeField(nxtInt32);
  TnxMappingMethod method;
  EXPECT_EQ(TnxBaseFieldMapper::CreateMapper(*interval, nullptr, *int32, nullptr, nullptr, method), nullptr);
  EXPECT_FALSE(method.Assigned());
  EXPECT_EQ(TnxBaseFieldMapper::CreateMapper(*int32, nullptr, *interval, nullptr, nullptr, method), nullptr);
  EXPECT_FALSE(method.Assigned());
  // A class that is asked for a pair it does not serve declines.
  nxRegisterFieldMapper(&TnxInt32Mapper::ClassInfo, nxtInterval, nxtInterval);
  auto interval2 = MakeField(nxtInterval);
  EXPECT_EQ(TnxBaseFieldMapper::CreateMapper(*interval, nullptr, *interval2, nullptr, nullptr, method), nullptr);
  EXPECT_FALSE(method.Assigned());
}

TEST(FieldMapperDescriptor, StartsWithoutApplyingTheDefault) {
  TnxFieldMapperDescriptor desc(u"Source", u"Target", dlaNull);
  EXPECT_EQ(desc.SourceName(), u"Source");
  EXPECT_EQ(desc.TargetName(), u"Target");
  EXPECT_EQ(desc.DataLossAction(), dlaNull);
  EXPECT_FALSE(desc.ApplyDefault());
  EXPECT_EQ(desc.ClassName(), u"TnxFieldMapperDescriptor");
}

}  // namespace
}  // namespace revurov
