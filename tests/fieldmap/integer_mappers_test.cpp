#include "fieldmap/integer_mappers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dictionary/fmt_bcd.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "fieldmap/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "mapper_fields.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::MakeField;
using i128 = __int128;

constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr int64_t kCurrencyMaxAmount = 922337203685477;
constexpr uint8_t kFill = 0xA5;
constexpr int kGuard = 8;

struct Source {
  TnxFieldType Type;
  int Size;
  i128 Min, Max;
};

const Source kInt8{nxtInt8, 1, -128, 127};
const Source kByte{nxtByte, 1, 0, 255};
const Source kInt16{nxtInt16, 2, -32768, 32767};
const Source kWord16{nxtWord16, 2, 0, 65535};
const Source kInt32{nxtInt32, 4, INT32_MIN, INT32_MAX};
const Source kWord32{nxtWord32, 4, 0, UINT32_MAX};
const Source kAutoInc{nxtAutoInc, 4, 0, UINT32_MAX};
const Source kRecRev{nxtRecRev, 4, 0, UINT32_MAX};
const Source kInt64{nxtInt64, 8, INT64_MIN, INT64_MAX};
const Source kRefNr{nxtRefNr, 8, INT64_MIN, INT64_MAX};

std::vector<uint8_t> SourceBytes(const Source& aSource, i128 aValue) {
  std::vector<uint8_t> b(aSource.Size);
  for (int i = 0; i < aSource.Size; ++i) b[i] = static_cast<uint8_t>(aValue >> (8 * i));
  return b;
}

struct TextBuf {
  char Chars[24];
  int Length;
};

TextBuf DecimalText(i128 aValue) {
  TextBuf t;
  const auto r = aValue > INT64_MAX
                     ? std::to_chars(t.Chars, t.Chars + sizeof t.Chars, static_cast<unsigned long long>(aValue))
                     : std::to_chars(t.Chars, t.Chars + sizeof t.Chars, static_cast<long long>(aValue));
  t.Length = static_cast<int>(r.ptr - t.Chars);
  return t;
}

std::string Text(i128 aValue) {
  const TextBuf t = DecimalText(aValue);
  return std::string(t.Chars, t.Length);
}

// A field with its guard bytes behind it.
using FieldBuf = std::array<uint8_t, 64>;

template <class T>
void Put(uint8_t* aField, T aValue, int aSize = sizeof(T)) {
  std::memcpy(aField, &aValue, aSize);
}

i128 Pow10(int aExp) {
  i128 r = 1;
  for (int i = 0; i < aExp; ++i) r *= 10;
  return r;
}

struct Target {
  TnxFieldType Type;
  int32_t Units = 0;
  int32_t DecPl = 0;
};

// The reference writes into aField (filled with kFill) and answers what
// the mapping must answer; on kLost the field stays as it was.
uint32_t IntTarget(uint8_t* aField, int aSize, i128 aValue, i128 aLo, i128 aHi, bool aBestFit) {
  if (aValue < aLo || aValue > aHi) {
    if (!aBestFit) return kLost;
    aValue = std::clamp(aValue, aLo, aHi);
  }
  for (int i = 0; i < aSize; ++i) aField[i] = static_cast<uint8_t>(aValue >> (8 * i));
  return 0;
}

uint32_t Text8(uint8_t* aField, int aLength, const TextBuf& aText, bool aShort, bool aBestFit) {
  const int capacity = aLength - 1;
  if (aText.Length > capacity && !aBestFit) return kLost;
  const int n = std::min(aText.Length, capacity);
  if (aShort) {
    aField[0] = static_cast<uint8_t>(n);
    std::memcpy(aField + 1, aText.Chars, n);
  } else {
    std::memcpy(aField, aText.Chars, n);
    aField[n] = 0;
  }
  return 0;
}

uint32_t Text16(uint8_t* aField, int aLength, const TextBuf& aText, bool aBestFit) {
  const int capacity = aLength / 2 - 1;
  if (aText.Length > capacity && !aBestFit) return kLost;
  const int n = std::min(aText.Length, capacity);
  for (int i = 0; i < n; ++i) {
    aField[2 * i] = static_cast<uint8_t>(aText.Chars[i]);
    aField[2 * i + 1] = 0;
  }
  aField[2 * n] = aField[2 * n + 1] = 0;
  return 0;
}

// The largest BCD value of the shape, in Currency form, as far as Currency
// holds whole amounts.
i128 BcdLimit(const Target& aTarget) {
  return std::min(Pow10(aTarget.Units - aTarget.DecPl) * 10000 - Pow10(4 - aTarget.DecPl),
                  i128{kCurrencyMaxAmount} * 10000);
}

uint32_t Bcd(uint8_t* aField, i128 aValue, const Target& aTarget, bool aBestFit) {
  const i128 limit = BcdLimit(aTarget);
  i128 raw;
  if (aValue >= -kCurrencyMaxAmount && aValue <= kCurrencyMaxAmount) {
    TBcd bcd{};
    const uint8_t loss = nxCurrToBcd(bcd, aTarget.Units, aTarget.DecPl, static_cast<int64_t>(aValue * 10000));
    if (loss == 0) {
      int64_t curr = 0;
      nxBcdToCurr(bcd, curr);
      if (i128{curr} != aValue * 10000) ADD_FAILURE() << "BCD reference lost " << Text(aValue);
      Put<int64_t>(aField, curr);
      return 0;
    }
    if (!aBestFit) return kLost;
    raw = std::clamp(aValue * 10000, -limit, limit);
  } else {
    if (!aBestFit) return kLost;
    raw = aValue < 0 ? -limit : limit;
  }
  Put<int64_t>(aField, static_cast<int64_t>(raw));
  return 0;
}

uint32_t Reference(const Source& aSource, const Target& aTarget, int aLength, i128 v, bool aBestFit, uint8_t* f) {
  const long double ld = static_cast<long double>(v);
  switch (aTarget.Type) {
    case nxtBoolean:
      if (v != 0 && v != 1 && !aBestFit) return kLost;
      f[0] = v ? 0xFF : 0;
      return 0;
    case nxtByte: return IntTarget(f, 1, v, 0, 255, aBestFit);
    case nxtWord16: return IntTarget(f, 2, v, 0, 65535, aBestFit);
    case nxtWord32: case nxtAutoInc: case nxtRecRev: return IntTarget(f, 4, v, 0, UINT32_MAX, aBestFit);
    case nxtInt8: return IntTarget(f, 1, v, -128, 127, aBestFit);
    case nxtInt16: return IntTarget(f, 2, v, -32768, 32767, aBestFit);
    case nxtInt32: return IntTarget(f, 4, v, INT32_MIN, INT32_MAX, aBestFit);
    case nxtInt64: case nxtRefNr: return IntTarget(f, 8, v, INT64_MIN, INT64_MAX, aBestFit);
    case nxtSingle: Put<float>(f, static_cast<float>(ld)); return 0;
    case nxtDouble: Put<double>(f, static_cast<double>(ld)); return 0;
    case nxtExtended: Put<long double>(f, ld, 10); return 0;
    case nxtCurrency:
      Put<int64_t>(f, static_cast<int64_t>(std::clamp<i128>(v, -kCurrencyMaxAmount, kCurrencyMaxAmount) * 10000));
      return 0;
    case nxtBCD: return Bcd(f, v, aTarget, aBestFit);
    case nxtByteArray:
      for (int i = 0; i < aSource.Size; ++i) f[i] = static_cast<uint8_t>(v >> (8 * i));
      return 0;
    case nxtChar: case nxtWideChar:
      if ((v < 0 || v > 9) && !aBestFit) return kLost;
      f[0] = static_cast<uint8_t>(DecimalText(v).Chars[0]);
      if (aTarget.Type == nxtWideChar) f[1] = 0;
      return 0;
    case nxtShortString: return Text8(f, aLength, DecimalText(v), true, aBestFit);
    case nxtNullString: return Text8(f, aLength, DecimalText(v), false, aBestFit);
    case nxtWideString: return Text16(f, aLength, DecimalText(v), aBestFit);
    default: ADD_FAILURE() << "no reference for target " << int(aTarget.Type); return kLost;
  }
}

// One set-up pair under dlaFail or dlaBestFit; dlaNull and no descriptor
// are checked at set-up to take dlaFail's routine.
struct Case {
  Target Shape;
  bool BestFit;
  int32_t Length;
  std::unique_ptr<TnxBaseFieldMapper> Mapper;
  TnxMappingMethod Method;
};

std::vector<Target> TargetsFor(const Source& aSource, int aMaxCapacity, bool aAllCapacities) {
  std::vector<Target> targets;
  if (aSource.Type == nxtRefNr) {
    targets = {{nxtRefNr}, {nxtInt64}};
  } else {
    for (TnxFieldType t : {nxtBoolean, nxtInt8, nxtInt16, nxtInt32, nxtInt64, nxtByte, nxtWord16, nxtWord32, nxtAutoInc,
                           nxtRecRev, nxtSingle, nxtDouble, nxtExtended, nxtCurrency, nxtChar, nxtWideChar})
      targets.push_back({t});
    // Whole digits from none to Currency's; the shapes that need the check
    // and those that do not.
    for (auto [u, d] : {std::pair{20, 4}, {16, 0}, {14, 2}, {12, 2}, {10, 0}, {11, 1}, {6, 1}, {5, 2}, {4, 2}, {3, 0},
                        {5, 4}, {1, 0}})
      targets.push_back({nxtBCD, u, d});
    targets.push_back({nxtByteArray, aSource.Size});
    targets.push_back({nxtByteArray, aSource.Size + 3});
  }
  std::vector<int> capacities;
  if (aAllCapacities) {
    for (int c = 0; c <= aMaxCapacity; ++c) capacities.push_back(c);
  } else {
    capacities = {0, 1, 2, 3, 5, 9, 10, 11, 19, 20, 21};
  }
  for (TnxFieldType t : {nxtShortString, nxtNullString, nxtWideString})
    for (int c : capacities) targets.push_back({t, c});
  return targets;
}

class IntegerMappers : public ::testing::Test {
protected:
  TnxFieldMapStartupGuard fieldMap;
  const TnxFieldMapperDescriptor fail{u"a", u"b", dlaFail};
  const TnxFieldMapperDescriptor null{u"a", u"b", dlaNull};
  const TnxFieldMapperDescriptor bestFit{u"a", u"b", dlaBestFit};

  // Text capacities from 0 to one past the longest text of the source.
  std::vector<Case> SetUpCases(const Source& aSource, bool aAllCapacities) {
    std::vector<Case> cases;
    auto source = MakeField(aSource.Type);
    const int maxCapacity = std::max(DecimalText(aSource.Min).Length, DecimalText(aSource.Max).Length) + 1;
    for (const Target& shape : TargetsFor(aSource, maxCapacity, aAllCapacities)) {
      auto target = MakeField(shape.Type, shape.Units, shape.DecPl);
      if (shape.Units != 0) {
        EXPECT_EQ(target->Units(), shape.Units) << int(shape.Type);
        EXPECT_EQ(target->DecPl(), shape.DecPl) << int(shape.Type);
      }
      TnxMappingMethod viaNull, viaNone;
      auto m1 = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, &null, viaNull);
      auto m2 = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, nullptr, viaNone);
      for (const TnxFieldMapperDescriptor* desc : {&fail, &bestFit}) {
        Case c{shape, desc == &bestFit, target->Length(), nullptr, {}};
        c.Mapper = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, desc, c.Method);
        EXPECT_TRUE(c.Method.Assigned()) << int(aSource.Type) << " -> " << int(shape.Type) << "(" << shape.Units << ")";
        if (!c.Method.Assigned()) continue;
        if (desc == &fail) {
          EXPECT_EQ(viaNull.Code, c.Method.Code) << int(shape.Type);
          EXPECT_EQ(viaNone.Code, c.Method.Code) << int(shape.Type);
        }
        cases.push_back(std::move(c));
      }
    }
    return cases;
  }

  // False after the first mismatch, so that a broken routine reports once.
  static bool Check(const Source& aSource, const Case& aCase, i128 aValue) {
    uint8_t src[8];
    for (int i = 0; i < aSource.Size; ++i) src[i] = static_cast<uint8_t>(aValue >> (8 * i));
    FieldBuf field, want;
    field.fill(kFill);
    want.fill(kFill);
    const uint32_t code = aCase.Method(src, field.data());
    const uint32_t wantCode = Reference(aSource, aCase.Shape, aCase.Length, aValue, aCase.BestFit, want.data());
    const auto where = [&] {
      return "value " + Text(aValue) + " type " + std::to_string(int(aSource.Type)) + " -> " +
             std::to_string(int(aCase.Shape.Type)) + "(" + std::to_string(aCase.Shape.Units) + "," +
             std::to_string(aCase.Shape.DecPl) + ") bestfit " + std::to_string(aCase.BestFit);
    };
    if (code != wantCode) {
      ADD_FAILURE() << where() << ": result " << code << ", expected " << wantCode;
      return false;
    }
    // A declined value leaves the field as it was.
    if (code != 0) want.fill(kFill);
    if (field != want) {
      ADD_FAILURE() << where() << ": field bytes differ";
      return false;
    }
    return true;
  }

  void Sweep(const Source& aSource, const std::vector<i128>& aValues, bool aAllCapacities) {
    const auto cases = SetUpCases(aSource, aAllCapacities);
    for (const Case& c : cases)
      for (i128 v : aValues)
        if (!Check(aSource, c, v)) break;
  }
};

std::vector<i128> AllValues(const Source& aSource) {
  std::vector<i128> values;
  for (i128 v = aSource.Min; v <= aSource.Max; ++v) values.push_back(v);
  return values;
}

// Each bound of a target (ranges, Currency, text lengths, digit counts)
// and its neighbours, inside the source's range.
std::vector<i128> BoundValues(const Source& aSource) {
  std::vector<i128> bounds = {0, 1, 9, 10, -128, 127, 255, -32768, 32767, 65535, INT32_MIN, INT32_MAX, UINT32_MAX,
                              INT64_MIN, INT64_MAX, kCurrencyMaxAmount, -kCurrencyMaxAmount};
  for (int k = 0; k <= 19; ++k) {
    bounds.push_back(Pow10(k));
    bounds.push_back(-Pow10(k));
  }
  std::vector<i128> values;
  for (i128 b : bounds)
    for (int d = -2; d <= 2; ++d)
      if (b + d >= aSource.Min && b + d <= aSource.Max) values.push_back(b + d);
  return values;
}

std::vector<i128> RandomValues(const Source& aSource, int aCount) {
  std::mt19937_64 rng(20261210u + aSource.Type);
  std::vector<i128> values;
  const int bits = aSource.Size * 8;
  for (int i = 0; i < aCount; ++i) {
    const uint64_t raw = rng();
    // Every other value with a random magnitude, so short texts and small
    // BCD shapes are met as often as long ones.
    const uint64_t bitsUsed = i % 2 ? raw >> (rng() % bits) : raw;
    i128 v = bits == 64 ? i128{static_cast<int64_t>(bitsUsed)} : i128{bitsUsed & ((uint64_t{1} << bits) - 1)};
    if (aSource.Min < 0 && bits < 64 && v > aSource.Max) v -= i128{1} << bits;
    if (aSource.Min < 0 && bits == 64 && i % 4 == 1) v = -v > INT64_MAX ? v : -v;
    values.push_back(v);
  }
  return values;
}

TEST_F(IntegerMappers, EightAndSixteenBitSourcesMatchTheReferenceForEveryValue) {
  for (const Source* s : {&kInt8, &kByte, &kInt16, &kWord16}) Sweep(*s, AllValues(*s), true);
}

TEST_F(IntegerMappers, ThirtyTwoAndSixtyFourBitSourcesMatchTheReferenceAtEveryBound) {
  for (const Source* s : {&kInt32, &kWord32, &kAutoInc, &kRecRev, &kInt64, &kRefNr}) Sweep(*s, BoundValues(*s), true);
}

TEST_F(IntegerMappers, ThirtyTwoAndSixtyFourBitSourcesMatchTheReferenceForRandomValues) {
  const int count = testing::TestSize(20'000, 1'000'000);
  for (const Source* s : {&kInt32, &kWord32, &kInt64}) Sweep(*s, RandomValues(*s, count), false);
}

// ---- set-up decisions ----

TEST_F(IntegerMappers, AByteArrayShorterThanTheValueGetsNoMapper) {
  for (const Source* s : {&kInt8, &kByte, &kInt16, &kWord16, &kInt32, &kWord32, &kAutoInc, &kRecRev, &kInt64}) {
    auto source = MakeField(s->Type);
    for (int units = 0; units < s->Size; ++units) {
      auto target = MakeField(nxtByteArray, units);
      TnxMappingMethod method;
      EXPECT_EQ(TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, &bestFit, method), nullptr);
      EXPECT_FALSE(method.Assigned()) << int(s->Type) << " into " << units << " bytes";
    }
  }
}

TEST_F(IntegerMappers, ARefNrMapsOnlyToRefNrInt64AndTextAndAnInt64NotToRefNr) {
  auto refNr = MakeField(nxtRefNr);
  auto int64 = MakeField(nxtInt64);
  const TnxFieldTypes refNrTargets = nxFieldTypeBit(nxtRefNr) | nxFieldTypeBit(nxtInt64) |
                                     nxFieldTypeBit(nxtShortString) | nxFieldTypeBit(nxtNullString) |
                                     nxFieldTypeBit(nxtWideString);
  const auto& cls = TnxInt64Mapper::ClassInfo;
  for (int t = 0; t < nxFieldTypeCount; ++t) {
    auto target = MakeField(TnxFieldType(t), 20);
    TnxMappingMethod method;
    auto mapper = cls.TryCreateMapper(cls, *refNr, nullptr, *target, nullptr, nullptr, method);
    EXPECT_EQ(method.Assigned(), (refNrTargets & nxFieldTypeBit(TnxFieldType(t))) != 0) << t;
    mapper = cls.TryCreateMapper(cls, *int64, nullptr, *target, nullptr, nullptr, method);
    if (t == nxtRefNr) {
      EXPECT_FALSE(method.Assigned());
    }
  }
}

TEST_F(IntegerMappers, AClassDeclinesASourceItDoesNotServe) {
  auto int16 = MakeField(nxtInt16);
  auto int32 = MakeField(nxtInt32);
  TnxMappingMethod method;
  const auto& cls = TnxInt32Mapper::ClassInfo;
  EXPECT_EQ(cls.TryCreateMapper(cls, *int16, nullptr, *int32, nullptr, nullptr, method), nullptr);
  EXPECT_FALSE(method.Assigned());
}

// Whether a text or BCD target needs its check is decided at set-up from
// the widest value of the source.
TEST_F(IntegerMappers, TheCheckIsDroppedOnlyWhereEveryValueFits) {
  struct Row {
    const Source* From;
    Target To;
    bool Unchecked;
  } rows[] = {
      {&kInt8, {nxtNullString, 4}, true},   {&kInt8, {nxtNullString, 3}, false},
      {&kInt16, {nxtShortString, 6}, true}, {&kInt16, {nxtShortString, 5}, false},
      {&kWord32, {nxtWideString, 10}, true}, {&kWord32, {nxtWideString, 9}, false},
      {&kInt64, {nxtWideString, 20}, true}, {&kInt64, {nxtNullString, 19}, false},
      {&kInt16, {nxtBCD, 7, 2}, true},      {&kInt16, {nxtBCD, 6, 2}, false},
      {&kByte, {nxtBCD, 3, 0}, true},       {&kInt32, {nxtBCD, 14, 4}, true},
      {&kInt32, {nxtBCD, 13, 4}, false},    {&kInt64, {nxtBCD, 20, 0}, false},
  };
  for (const Row& row : rows) {
    auto source = MakeField(row.From->Type);
    auto target = MakeField(row.To.Type, row.To.Units, row.To.DecPl);
    TnxMappingMethod checking, cutting;
    auto m1 = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, &fail, checking);
    auto m2 = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, &bestFit, cutting);
    EXPECT_EQ(checking.Code == cutting.Code, row.Unchecked) << int(row.From->Type) << " -> " << row.To.Units;
  }
}

// The cases a reader of the rules would try first, written out.
TEST_F(IntegerMappers, KnownValuesMapAsWrittenOut) {
  struct Row {
    const Source* From;
    i128 Value;
    Target To;
    uint32_t FailCode;
    std::vector<uint8_t> BestFit;  // the field after the best-fit routine
  } rows[] = {
      {&kInt16, -1, {nxtWord16}, kLost, {0, 0}},
      {&kInt32, 70000, {nxtInt16}, kLost, {0xFF, 0x7F}},
      {&kInt32, -70000, {nxtInt16}, kLost, {0x00, 0x80}},
      {&kWord32, UINT32_MAX, {nxtInt32}, kLost, {0xFF, 0xFF, 0xFF, 0x7F}},
      {&kInt16, 300, {nxtInt8}, kLost, {127}},
      {&kInt16, -300, {nxtInt8}, kLost, {0x80}},
      {&kInt16, -32768, {nxtNullString, 4}, kLost, {'-', '3', '2', '7', 0}},
      {&kInt32, 123456, {nxtWideString, 3}, kLost, {'1', 0, '2', 0, '3', 0, 0, 0}},
      {&kInt16, 12, {nxtChar}, kLost, {'1'}},
      {&kInt16, 7, {nxtChar}, 0, {'7'}},
      {&kInt32, -3, {nxtWideChar}, kLost, {'-', 0}},
      {&kInt64, (i128{1} << 32) + 5, {nxtWideChar}, kLost, {'4', 0}},
      {&kInt64, (i128{1} << 32), {nxtBoolean}, kLost, {0xFF}},
      // 123.00 needs five digits; the nearest value of four is 99.99.
      {&kInt16, 123, {nxtBCD, 4, 2}, kLost, {0xDC, 0x41, 0x0F, 0, 0, 0, 0, 0}},
      {&kInt16, 123, {nxtBCD, 5, 2}, 0, {0xB0, 0xC4, 0x12, 0, 0, 0, 0, 0}},
      {&kInt64, Pow10(16), {nxtBCD, 20, 4}, kLost, {0x50, 0xE9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
  };
  for (const Row& row : rows) {
    auto source = MakeField(row.From->Type);
    auto target = MakeField(row.To.Type, row.To.Units, row.To.DecPl);
    const auto src = SourceBytes(*row.From, row.Value);
    TnxMappingMethod checking, best;
    auto m1 = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, nullptr, checking);
    auto m2 = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, &bestFit, best);
    ASSERT_TRUE(checking.Assigned() && best.Assigned());
    std::vector<uint8_t> field(target->Length(), 0);
    EXPECT_EQ(checking(src.data(), field.data()), row.FailCode) << Text(row.Value);
    std::fill(field.begin(), field.end(), 0);
    EXPECT_EQ(best(src.data(), field.data()), 0u);
    field.resize(row.BestFit.size());
    EXPECT_EQ(field, row.BestFit) << Text(row.Value) << " -> " << int(row.To.Type);
  }
}

TEST_F(IntegerMappers, AnInt64BeyondCurrencyStoresItsNearestEndUnderEveryAction) {
  auto source = MakeField(nxtInt64);
  auto target = MakeField(nxtCurrency);
  const auto src = SourceBytes(kInt64, Pow10(16));
  for (const TnxFieldMapperDescriptor* desc : {static_cast<const TnxFieldMapperDescriptor*>(nullptr), &fail, &null,
                                               &bestFit}) {
    TnxMappingMethod method;
    auto mapper = TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, desc, method);
    int64_t out = 0;
    EXPECT_EQ(method(src.data(), &out), 0u);
    EXPECT_EQ(out, kCurrencyMaxAmount * 10000);
  }
}

// ---- Boolean source ----

TEST_F(IntegerMappers, BooleanMapsByItsStoredByte) {
  struct Row {
    Target To;
    std::vector<uint8_t> False, One, FF;  // the field for the bytes 0, 1 and $FF
  };
  const auto i64 = [](int64_t v) {
    std::vector<uint8_t> b(8);
    std::memcpy(b.data(), &v, 8);
    return b;
  };
  const auto f32 = [](float v) {
    std::vector<uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
  };
  const auto f64 = [](double v) {
    std::vector<uint8_t> b(8);
    std::memcpy(b.data(), &v, 8);
    return b;
  };
  const auto f80 = [](long double v) {
    std::vector<uint8_t> b(10);
    std::memcpy(b.data(), &v, 10);
    return b;
  };
  const Row rows[] = {
      {{nxtBoolean}, {0}, {1}, {0xFF}},
      {{nxtByte}, {0}, {1}, {0xFF}},
      {{nxtInt8}, {0}, {1}, {0xFF}},
      {{nxtInt16}, {0, 0}, {1, 0}, {0xFF, 0}},
      {{nxtInt32}, {0, 0, 0, 0}, {1, 0, 0, 0}, {0xFF, 0, 0, 0}},
      {{nxtInt64}, i64(0), i64(1), i64(-1)},
      {{nxtWord16}, {0, 0}, {1, 0}, {1, 0}},
      {{nxtWord32}, {0, 0, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}},
      {{nxtAutoInc}, {0, 0, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}},
      {{nxtRecRev}, {0, 0, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}},
      {{nxtSingle}, f32(0), f32(1), f32(-1)},
      {{nxtDouble}, f64(0), f64(1), f64(-1)},
      {{nxtExtended}, f80(0), f80(1), f80(-1)},
      {{nxtCurrency}, i64(0), i64(10000), i64(-10000)},
      {{nxtBCD, 1, 0}, i64(0), i64(10000), i64(-10000)},
      {{nxtByteArray, 2}, {0, kFill}, {0xFF, kFill}, {0xFF, kFill}},
      {{nxtChar}, {'0'}, {'1'}, {'1'}},
      {{nxtWideChar}, {'0', 0}, {'1', 0}, {'1', 0}},
      {{nxtShortString, 1}, {1, '0'}, {1, '1'}, {1, '1'}},
      {{nxtNullString, 1}, {'0', 0}, {'1', 0}, {'1', 0}},
      {{nxtWideString, 1}, {'0', 0, 0, 0}, {'1', 0, 0, 0}, {'1', 0, 0, 0}},
  };
  auto source = MakeField(nxtBoolean);
  for (const Row& row : rows) {
    auto target = MakeField(row.To.Type, row.To.Units, row.To.DecPl);
    for (const TnxFieldMapperDescriptor* desc : {static_cast<const TnxFieldMapperDescriptor*>(nullptr), &bestFit}) {
      TnxMappingMethod method;
      EXPECT_EQ(TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, desc, method), nullptr);
      ASSERT_TRUE(method.Assigned()) << int(row.To.Type);
      for (auto [b, want] : {std::pair{uint8_t{0}, &row.False}, {uint8_t{1}, &row.One}, {uint8_t{0xFF}, &row.FF}}) {
        std::vector<uint8_t> field(target->Length() + kGuard, kFill);
        EXPECT_EQ(method(&b, field.data()), 0u);
        std::vector<uint8_t> expected = *want;
        expected.resize(field.size(), kFill);
        EXPECT_EQ(field, expected) << int(row.To.Type) << " from " << int(b);
      }
    }
  }
}

TEST_F(IntegerMappers, BooleanGetsNoMapperForATargetWithoutRoomForOneCharacter) {
  auto source = MakeField(nxtBoolean);
  for (TnxFieldType t : {nxtByteArray, nxtShortString, nxtNullString, nxtWideString}) {
    auto target = MakeField(t, 0);
    TnxMappingMethod method;
    EXPECT_EQ(TnxBaseFieldMapper::CreateMapper(*source, nullptr, *target, nullptr, nullptr, method), nullptr);
    EXPECT_FALSE(method.Assigned()) << int(t);
  }
}

}  // namespace
}  // namespace revurov
