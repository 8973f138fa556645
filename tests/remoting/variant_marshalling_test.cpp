// Variants in the remoting stream: golden bytes built by hand, every
// variant type and arrays of one to three dimensions there and back, what
// a peer may send that must be refused, and a bounded run of damaged
// streams.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "lowlevel/objects/interfaced_object.h"
#include "marshalling_test_support.h"
#include "platform/rtl_exception.h"
#include "platform/stream.h"
#include "remoting_test_support.h"
#include "transport/remoting/value_marshalling.h"

namespace revurov {
namespace {

using namespace platform;
using testing::TaggedBytes;
using testing::Bin;
using testing::Cat;
using testing::TInterfaceTable;

TaggedBytes Le32(std::initializer_list<int32_t> values) {
  TaggedBytes b;
  for (int32_t v : values)
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(uint32_t(v) >> (8 * i)));
  return b;
}

TaggedBytes WriteOf(const TnxVariant& aValue, HRESULT& aResult, TInterfaceTable* aTable = nullptr) {
  return testing::WrittenBy([&](InxWriter& w) { return nxWriteVariant(aValue, w); }, aResult, aTable);
}

TaggedBytes WriteOk(const TnxVariant& aValue, TInterfaceTable* aTable = nullptr) {
  HRESULT hr = E_UNEXPECTED;
  TaggedBytes b = WriteOf(aValue, hr, aTable);
  EXPECT_EQ(hr, S_OK);
  return b;
}

// Reads one variant; every byte must be taken when it succeeds.
HRESULT ReadOf(const TaggedBytes& aBytes, TnxVariant& aValue, const TInterfaceTable* aTable = nullptr) {
  int64_t left = -1;
  const HRESULT hr = testing::ReadBy(aBytes, [&](InxReader& r) { return nxReadVariant(aValue, r); }, aTable, &left);
  if (hr == S_OK) {
    EXPECT_EQ(left, 0);
  }
  return hr;
}

TnxVariant ArrayOf(std::vector<std::pair<int32_t, int32_t>> aBounds, TVarType aType,
                   const std::function<TnxVariant(size_t)>& aElement) {
  TnxVariant a = TnxVariant::VarArrayCreate(aBounds, aType);
  for (size_t i = 0; i < a.VarArrayElementCount(); ++i) a.ElementAt(i) = aElement(i);
  return a;
}

// A value of type t that differs with i.
TnxVariant SampleOf(TVarType t, size_t i) {
  const int32_t n = int32_t(i % 100) - 50;
  switch (t) {
    case varSmallint: return TnxVariant::FromSmallint(int16_t(n * 600));
    case varInteger: return TnxVariant::FromInteger(n * 40000000);
    case varSingle: return TnxVariant::FromSingle(float(n) / 4);
    case varDouble: return TnxVariant::FromDouble(n / 3.0);
    case varCurrency: return TnxVariant::FromCurrency(int64_t(n) * 123456789);
    case varDate: return TnxVariant::FromDate(40000.25 + n);
    case varBoolean: return TnxVariant::FromBoolean(n % 2 != 0);
    case varShortInt: return TnxVariant::FromShortInt(int8_t(n * 2));
    case varByte: return TnxVariant::FromByte(uint8_t(n + 100));
    case varWord: return TnxVariant::FromWord(uint16_t(n * 1000));
    case varLongWord: return TnxVariant::FromLongWord(uint32_t(n) * 80000000u);
    case varInt64: return TnxVariant::FromInt64(int64_t(n) << 40);
    default: return TnxVariant::FromUInt64(~uint64_t(i));
  }
}

class Thing final : public TnxInterfacedObject {};

TEST(VariantMarshalling, WritesTheGoldenBytes) {
  // 2 x 3, element (i, j) = 10 i + j; storage has the first index fastest.
  TnxVariant grid = TnxVariant::VarArrayCreate({{0, 1}, {0, 2}}, varInteger);
  for (int32_t i = 0; i <= 1; ++i)
    for (int32_t j = 0; j <= 2; ++j) grid.PutElement({i, j}, TnxVariant::FromInteger(10 * i + j));
  TnxVariant three = TnxVariant::VarArrayCreate({{0, 2}}, varVariant);
  three.PutElement({0}, TnxVariant::FromInteger(7));
  three.PutElement({1}, TnxVariant::FromString(u"ab"));
  three.PutElement({2}, TnxVariant::Null());
  const struct {
    const char* name;
    TnxVariant value;
    TaggedBytes bytes;
  } cases[] = {
      {"varInteger 5", TnxVariant::FromInteger(5), Cat({{2, 3}, Bin(Le32({5}))})},
      {"empty", TnxVariant(), {2, 0}},
      {"null", TnxVariant::Null(), {2, 1}},
      {"2 x 3 integers", grid,
       Cat({{3, 0x03, 0x20, 2, 2}, Bin(Le32({0, 0})), Bin(Le32({1, 2})), {2, 24}, Bin(Le32({0, 10, 1, 11, 2, 12}))})},
      {"three variants", three,
       Cat({{3, 0x0C, 0x20, 2, 1}, Bin(Le32({0})), Bin(Le32({2})), {2, 3}, Bin(Le32({7})), {3, 0x02, 0x01, 6, 2, 'a', 'b'},
            {2, 1}})},
      {"nil varDispatch", TnxVariant::FromDispatch(nullptr), {2, 9, 13}},
      {"decimal", TnxVariant::Decimal(), Cat({{2, 14}, Bin({})})},
      {"boolean", TnxVariant::FromBoolean(true), Cat({{2, 11}, Bin({0xFF, 0xFF})})},
      {"OLE string", TnxVariant::FromOleStr(u"x"), {2, 8, 6, 1, 'x'}},
  };
  for (const auto& c : cases) EXPECT_EQ(WriteOk(c.value), c.bytes) << c.name;
}

TEST(VariantMarshalling, ReadsTheGoldenBytesBack) {
  TnxVariant v;
  ASSERT_EQ(ReadOf(Cat({{2, 3}, Bin(Le32({5}))}), v), S_OK);
  EXPECT_EQ(v, TnxVariant::FromInteger(5));
  ASSERT_EQ(ReadOf({2, 9, 13}, v), S_OK);
  EXPECT_EQ(v.VarType(), varDispatch);
  EXPECT_FALSE(v.AsInterface());
  ASSERT_EQ(ReadOf(Cat({{3, 0x03, 0x20, 2, 2}, Bin(Le32({0, 0})), Bin(Le32({1, 2})), {2, 24},
                        Bin(Le32({0, 10, 1, 11, 2, 12}))}),
                   v),
            S_OK);
  EXPECT_EQ(v.GetElement({1, 2}), TnxVariant::FromInteger(12));
  EXPECT_EQ(v.GetElement({0, 1}), TnxVariant::FromInteger(1));
}

TEST(VariantMarshalling, ByReferenceArrivesPlain) {
  const struct {
    const char* name;
    TaggedBytes bytes;
    TnxVariant expected;
  } cases[] = {
      {"Int32 by reference", Cat({{3, 0x03, 0x40}, Bin(Le32({-9}))}), TnxVariant::FromInteger(-9)},
      {"variant by reference", Cat({{3, 0x0C, 0x40}, {2, 1}}), TnxVariant::Null()},
      {"variant by reference twice", Cat({{3, 0x0C, 0x40, 3, 0x0C, 0x40}, {2, 8, 6, 1, 'q'}}),
       TnxVariant::FromOleStr(u"q")},
      {"array by reference", Cat({{3, 0x11, 0x60, 2, 1}, Bin(Le32({1})), Bin(Le32({1})), {2, 1}, Bin({0x7F})}),
       ArrayOf({{1, 1}}, varByte, [](size_t) { return TnxVariant::FromByte(0x7F); })},
  };
  for (const auto& c : cases) {
    TnxVariant v = TnxVariant::FromInteger(1);
    EXPECT_EQ(ReadOf(c.bytes, v), S_OK) << c.name;
    EXPECT_EQ(v, c.expected) << c.name;
  }
}

TEST(VariantMarshalling, EveryTypeTravelsThereAndBack) {
  auto thing = testing::Make<Thing>();
  std::vector<std::pair<const char*, TnxVariant>> values = {
      {"empty", TnxVariant()},
      {"null", TnxVariant::Null()},
      {"smallint", TnxVariant::FromSmallint(-32768)},
      {"integer", TnxVariant::FromInteger(INT32_MIN)},
      {"single", TnxVariant::FromSingle(1.5f)},
      {"double", TnxVariant::FromDouble(-2.25e300)},
      {"currency", TnxVariant::FromCurrency(-123456789)},
      {"date", TnxVariant::FromDate(45000.5)},
      {"OLE string", TnxVariant::FromOleStr(u"Grüße \u20AC")},
      {"error", TnxVariant::FromError(int32_t(0x80004005u))},
      {"boolean false", TnxVariant::FromBoolean(false)},
      {"decimal", TnxVariant::Decimal()},
      {"shortint", TnxVariant::FromShortInt(-128)},
      {"byte", TnxVariant::FromByte(255)},
      {"word", TnxVariant::FromWord(65535)},
      {"longword", TnxVariant::FromLongWord(0xFFFFFFFFu)},
      {"int64", TnxVariant::FromInt64(INT64_MIN)},
      {"uint64", TnxVariant::FromUInt64(UINT64_MAX)},
      {"ANSI string", TnxVariant::FromAnsiString("Stra\xDF" "e \x80")},
      {"Unicode string", TnxVariant::FromString(u"\u00E4\U0001F600")},
      {"dispatch", TnxVariant::FromDispatch(TInterfacePtr<IInterface>(thing.Get()))},
      {"unknown", TnxVariant::FromUnknown(TInterfacePtr<IInterface>(thing.Get()))},
      {"nil unknown", TnxVariant::FromUnknown(nullptr)},
  };
  const TVarType blockTypes[] = {varSmallint, varInteger, varSingle, varDouble, varCurrency, varDate, varBoolean,
                                 varShortInt, varByte,    varWord,    varLongWord, varInt64,   varUInt64};
  const std::vector<std::vector<std::pair<int32_t, int32_t>>> shapes = {
      {{-1, 2}}, {{1, 2}, {5, 7}}, {{0, 1}, {-2, 0}, {3, 4}}, {{4, 3}}};
  for (TVarType t : blockTypes)
    for (const auto& shape : shapes)
      values.emplace_back("block array", ArrayOf(shape, t, [t](size_t i) { return SampleOf(t, i); }));
  for (const auto& shape : shapes) {
    values.emplace_back("variant array", ArrayOf(shape, varVariant, [&](size_t i) {
                          return i % 3 == 0 ? TnxVariant::FromString(u"s" + std::u16string(i, u'x'))
                                 : i % 3 == 1 ? TnxVariant::FromDouble(double(i))
                                              : ArrayOf({{0, 1}}, varWord, [](size_t k) { return TnxVariant::FromWord(uint16_t(k)); });
                        }));
    values.emplace_back("OLE string array",
                        ArrayOf(shape, varOleStr, [](size_t i) { return TnxVariant::FromOleStr(std::u16string(i, u'o')); }));
    values.emplace_back("unknown array", ArrayOf(shape, varUnknown, [&](size_t i) {
                          return TnxVariant::FromUnknown(i % 2 ? TInterfacePtr<IInterface>(thing.Get()) : nullptr);
                        }));
    values.emplace_back("error array", ArrayOf(shape, varError, [](size_t i) { return TnxVariant::FromError(int32_t(i)); }));
  }
  for (const auto& [name, value] : values) {
    TInterfaceTable table;
    const TaggedBytes bytes = WriteOk(value, &table);
    TnxVariant back = TnxVariant::FromInteger(99);
    EXPECT_EQ(ReadOf(bytes, back, &table), S_OK) << name;
    EXPECT_EQ(back, value) << name;
    TnxVariant copy;
    EXPECT_EQ(nxCopyTypedValue(nxTypeInfo<TnxVariant>(), &value, &copy), S_OK) << name;
    EXPECT_EQ(copy, value) << name;
  }
}

TEST(VariantMarshalling, RefusesWhatCannotTravel) {
  auto thing = testing::Make<Thing>();
  TnxVariant badElement = TnxVariant::VarArrayCreate({{0, 0}}, varInteger);
  badElement.PutElement({0}, TnxVariant::FromString(u"not a number"));
  TnxVariant tooBig = TnxVariant::VarArrayCreate({{0, 0}}, varByte);
  tooBig.PutElement({0}, TnxVariant::FromInteger(300));
  const struct {
    const char* name;
    TnxVariant value;
  } cases[] = {
      {"BCD", TnxVariant::FromBcd(TBcd{})},
      {"variant not by reference", TnxVariant::OfUnsupportedType(varVariant)},
      {"unknown type", TnxVariant::OfUnsupportedType(0x0030)},
      {"dispatch without an interface writer", TnxVariant::FromDispatch(TInterfacePtr<IInterface>(thing.Get()))},
      {"string in an integer array", badElement},
      {"300 in a byte array", tooBig},
  };
  for (const auto& c : cases) {
    HRESULT hr = S_OK;
    WriteOf(c.value, hr);
    EXPECT_EQ(hr, RPC_E_INVALID_PARAMETER) << c.name;
  }
}

TEST(VariantMarshalling, PassesOnTheInterfaceWritersFailure) {
  auto thing = testing::Make<Thing>();
  TInterfaceTable table;
  HRESULT hr = S_OK;
  testing::Written([&](TnxWriter& w) {
    testing::TableInterfaceWriter writer(w, table);
    writer.answer = E_NOTIMPL;
    hr = nxWriteVariant(TnxVariant::FromUnknown(TInterfacePtr<IInterface>(thing.Get())), writer);
  });
  EXPECT_EQ(hr, E_NOTIMPL);
}

TEST(VariantMarshalling, RefusesMalformedInput) {
  // Bounds 0..1 x 0..2 of varInteger, then what follows.
  const TaggedBytes grid = Cat({{3, 0x03, 0x20, 2, 2}, Bin(Le32({0, 0})), Bin(Le32({1, 2}))});
  TaggedBytes deep;
  for (int i = 0; i < 100; ++i) deep.insert(deep.end(), {3, 0x0C, 0x40});
  deep.insert(deep.end(), {2, 1});
  const struct {
    const char* name;
    TaggedBytes bytes;
    HRESULT code;  // S_OK: EReadError is raised
  } cases[] = {
      {"byte count says 20 for 24", Cat({grid, {2, 20}, Bin(Le32({0, 0, 0, 0, 0}))}), RPC_E_INVALID_PARAMETER},
      {"byte count says 28 for 24", Cat({grid, {2, 28}, Bin(Le32({0, 0, 0, 0, 0, 0, 0}))}), RPC_E_INVALID_PARAMETER},
      {"no dimension", {3, 0x03, 0x20, 2, 0}, RPC_E_INVALID_PARAMETER},
      {"10^6 dimensions", {3, 0x03, 0x20, 4, 0x40, 0x42, 0x0F, 0x00}, RPC_E_INVALID_PARAMETER},
      {"65 dimensions", {3, 0x03, 0x20, 2, 65}, RPC_E_INVALID_PARAMETER},
      {"negative dimensions", {3, 0x03, 0x20, 2, 0xFF}, RPC_E_INVALID_PARAMETER},
      {"high below low - 1", Cat({{3, 0x03, 0x20, 2, 1}, Bin(Le32({5})), Bin(Le32({3}))}), RPC_E_INVALID_PARAMETER},
      {"block past the stream",
       Cat({{3, 0x11, 0x20, 2, 1}, Bin(Le32({0})), Bin(Le32({999999})), {4, 0x40, 0x42, 0x0F, 0x00}, {10}}), S_OK},
      {"elements past the stream", Cat({{3, 0x0C, 0x20, 2, 1}, Bin(Le32({0})), Bin(Le32({999999})), {2, 1}}), S_OK},
      {"dimensions whose product passes 64 bits",
       Cat({{3, 0x0C, 0x20, 2, 3}, Bin(Le32({0, 0, 0})), Bin(Le32({0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF})), {2, 1}}), S_OK},
      {"too many elements to hold",
       Cat({{3, 0x11, 0x20, 2, 2}, Bin(Le32({0, 0})), Bin(Le32({0x7FFFFFFF, 0x7FFFFFFF})), {2, 0}, Bin({})}),
       RPC_E_INVALID_PARAMETER},
      {"element of another type", Cat({{3, 0x08, 0x20, 2, 1}, Bin(Le32({0})), Bin(Le32({0})), {2, 2}, Bin({1, 0})}),
       RPC_E_INVALID_PARAMETER},
      {"array of empties", Cat({{3, 0x00, 0x20, 2, 1}, Bin(Le32({0})), Bin(Le32({0})), {2, 0}}), RPC_E_INVALID_PARAMETER},
      {"type above 21", {2, 0x30}, RPC_E_INVALID_PARAMETER},
      {"variant not by reference", {2, 0x0C}, RPC_E_INVALID_PARAMETER},
      {"unknown flag", Cat({{3, 0x03, 0x10}, Bin(Le32({1}))}), RPC_E_INVALID_PARAMETER},
      {"negative type code", {2, 0xFD}, RPC_E_INVALID_PARAMETER},
      {"interface without an interface reader", {2, 13, 6, 0}, RPC_E_INVALID_PARAMETER},
      {"too deep", deep, RPC_E_INVALID_PARAMETER},
      {"short value", Cat({{2, 3}, Bin({1, 2})}), S_OK},
      {"stream ends", {2, 3}, S_OK},
  };
  for (const auto& c : cases) {
    TnxVariant v;
    if (c.code == S_OK)
      EXPECT_THROW(ReadOf(c.bytes, v), EReadError) << c.name;
    else
      EXPECT_EQ(ReadOf(c.bytes, v), c.code) << c.name;
  }
}

TEST(VariantMarshalling, DamagedStreamsNeverBreakTheReader) {
  auto thing = testing::Make<Thing>();
  std::vector<TaggedBytes> recorded;
  std::vector<TInterfaceTable> tables(4);
  recorded.push_back(WriteOk(ArrayOf({{0, 2}, {1, 2}}, varVariant, [&](size_t i) {
    return i % 2 ? TnxVariant::FromOleStr(u"abc") : ArrayOf({{0, 3}}, varDouble, [](size_t k) { return TnxVariant::FromDouble(double(k)); });
  }), &tables[0]));
  recorded.push_back(WriteOk(ArrayOf({{0, 1}, {0, 1}, {0, 1}}, varInteger, [](size_t i) { return TnxVariant::FromInteger(int32_t(i)); }), &tables[1]));
  recorded.push_back(WriteOk(TnxVariant::FromUnknown(TInterfacePtr<IInterface>(thing.Get())), &tables[2]));
  recorded.push_back(WriteOk(ArrayOf({{0, 4}}, varString, [](size_t) { return TnxVariant::FromAnsiString("xyz"); }), &tables[3]));
  std::mt19937 random(4146);
  for (int round = 0; round < 3000; ++round) {
    const size_t which = round % recorded.size();
    TaggedBytes bytes = recorded[which];
    const int flips = 1 + int(random() % 3);
    for (int f = 0; f < flips; ++f) bytes[random() % bytes.size()] = uint8_t(random());
    if (random() % 4 == 0) bytes.resize(random() % bytes.size());
    TnxVariant v;
    try {
      testing::ReadBy(bytes, [&](InxReader& r) { return nxReadVariant(v, r); }, &tables[which]);
    } catch (const Exception&) {
      // The reader's own errors are the expected way out.
    }
  }
}

}  // namespace
}  // namespace revurov
