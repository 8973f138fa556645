// Typed values in the remoting stream and their copies: golden bytes built
// by hand, every kind there and back and copied, interfaces by reference
// and by value, what a peer may send that must be refused.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "lowlevel/objects/interfaced_object.h"
#include "marshalling_test_support.h"
#include "platform/stream.h"
#include "remoting_test_support.h"
#include "transport/remoting/factory_interfaces.h"
#include "transport/remoting/value_marshalling.h"

namespace revurov {

enum class TColour : uint8_t { Red, Green, Blue };
enum class TWide : uint32_t { Low = 0, High = 0xFFFFFFF0u };
enum TPlain { pOne = 1, pTwo, pThree };

}  // namespace revurov

REVUROV_ENUM_RANGE(revurov::TColour, revurov::TColour::Red, revurov::TColour::Blue);
REVUROV_ENUM_RANGE(revurov::TWide, revurov::TWide::Low, revurov::TWide::High);
REVUROV_ENUM_RANGE(revurov::TPlain, revurov::pOne, revurov::pThree);

namespace revurov {
namespace {

using namespace platform;
using testing::TaggedBytes;
using testing::Bin;
using testing::Cat;
using testing::TInterfaceTable;

class IThing : public virtual IInterface {
public:
  static constexpr TGUID IID = nxGuid("{6A0C2B3E-1D4F-4E8A-9B7C-0D1E2F3A4B5C}");
  virtual int32_t Value() = 0;
};

// An extra base before IThing puts IThing and IInterface at different
// addresses.
class Padding {
public:
  virtual ~Padding() = default;
  int64_t padding = 0;
};

class Thing final : public Padding, public TnxInterfacedObject, public IThing {
public:
  explicit Thing(int32_t aValue = 0) : value(aValue) {}
  int32_t Value() override { return value; }
  int32_t value;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<IThing>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

constexpr TGUID kCopiedThingClass = nxGuid("{0B1C2D3E-4F50-4617-8293-A4B5C6D7E8F9}");

// Travels as a copy of its value.
class CopiedThing final : public TnxInterfacedObject, public IThing, public InxByValueObject {
public:
  int32_t Value() override { return value; }
  HRESULT GetClassID(TGUID& aClassID) override {
    aClassID = kCopiedThingClass;
    return S_OK;
  }
  HRESULT WriteObject(InxWriter* aWriter) override {
    aWriter->WriteInteger(value);
    return S_OK;
  }
  HRESULT ReadObject(InxReader* aReader) override {
    value = aReader->ReadInteger();
    return S_OK;
  }
  int32_t value = 0;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<IThing>(this, iid, obj) || nxOfferInterface<InxByValueObject>(this, iid, obj) ||
           TnxInterfacedObject::GetInterface(iid, obj);
  }
};

class CopiedThingFactory final : public TnxInterfacedObject, public InxClassFactory {
public:
  HRESULT CreateInstance(IInterface*, const TGUID& aInterfaceID, TInterfacePtr<IInterface>& aInterface) override {
    auto thing = testing::Make<CopiedThing>();
    void* p = nullptr;
    if (thing->QueryInterface(aInterfaceID, &p) != S_OK) return E_NOINTERFACE;
    auto asked = TInterfacePtr<InxByValueObject>::Attach(static_cast<InxByValueObject*>(p));
    aInterface = TInterfacePtr<IInterface>(static_cast<IInterface*>(asked.Get()));
    return S_OK;
  }

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxClassFactory>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

class TypedValues : public testing::RemotingStarted {};

template <class T>
TaggedBytes WriteOf(const T& aValue, HRESULT& aResult, TInterfaceTable* aTable = nullptr) {
  return testing::WrittenBy([&](InxWriter& w) { return nxWriteTypedValue(w, nxTypeInfo<T>(), &aValue); }, aResult,
                            aTable);
}

template <class T>
TaggedBytes WriteOk(const T& aValue, TInterfaceTable* aTable = nullptr) {
  HRESULT hr = E_UNEXPECTED;
  TaggedBytes b = WriteOf(aValue, hr, aTable);
  EXPECT_EQ(hr, S_OK);
  return b;
}

template <class T>
HRESULT ReadOf(const TaggedBytes& aBytes, T& aValue, const TInterfaceTable* aTable = nullptr) {
  return testing::ReadBy(aBytes, [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<T>(), &aValue); }, aTable);
}

// Writes, reads back into a fresh value and copies; both must equal the
// original.
template <class T>
void RoundTrip(const char* aName, const T& aValue) {
  TInterfaceTable table;
  const TaggedBytes bytes = WriteOk(aValue, &table);
  T back{};
  int64_t left = -1;
  EXPECT_EQ(testing::ReadBy(bytes, [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<T>(), &back); }, &table,
                            &left),
            S_OK)
      << aName;
  EXPECT_EQ(left, 0) << aName;
  EXPECT_TRUE(back == aValue) << aName;
  T copy{};
  EXPECT_EQ(nxCopyTypedValue(nxTypeInfo<T>(), &aValue, &copy), S_OK) << aName;
  EXPECT_TRUE(copy == aValue) << aName;
}

TEST_F(TypedValues, WriteTheGoldenBytes) {
  EXPECT_EQ(WriteOk(int16_t(-2)), (TaggedBytes{2, 0xFE}));
  EXPECT_EQ(WriteOk(TWide::High), (TaggedBytes{19, 0xF0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
  EXPECT_EQ(WriteOk(uint32_t(0xFFFFFFFFu)), (TaggedBytes{19, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
  EXPECT_EQ(WriteOk(std::vector<int32_t>{1, 2, 3, -1}),
            (TaggedBytes{2, 4, 10, 16, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(WriteOk(std::vector<int32_t>{}), (TaggedBytes{13}));
  EXPECT_EQ(WriteOk(std::vector<std::u16string>{u"a"}), (TaggedBytes{2, 1, 1, 6, 1, 'a', 0}));
  TnxShortString<10> s;
  s.Assign("Hi");
  EXPECT_EQ(WriteOk(s), (TaggedBytes{6, 2, 'H', 'i'}));
  // Elements 7 and 8 live in two bytes.
  TnxSet<7, 8> set;
  set.Include(8);
  EXPECT_EQ(WriteOk(set), Bin({0x00, 0x01}));
  EXPECT_EQ(WriteOk(TnxVariant::FromInteger(5)), (TaggedBytes{2, 3, 10, 4, 0, 0, 0, 5, 0, 0, 0}));
  EXPECT_EQ(WriteOk(TInterfacePtr<IThing>()), (TaggedBytes{13}));
}

TEST_F(TypedValues, EveryKindTravelsAndCopies) {
  RoundTrip("int8", int8_t(-128));
  RoundTrip("uint8", uint8_t(255));
  RoundTrip("int16", int16_t(-2));
  RoundTrip("uint16", uint16_t(65535));
  RoundTrip("int32", int32_t(INT32_MIN));
  RoundTrip("uint32", uint32_t(0xFFFFFFFFu));
  RoundTrip("int64", int64_t(INT64_MIN));
  RoundTrip("uint64", uint64_t(UINT64_MAX));
  RoundTrip("char", 'A');
  RoundTrip("char euro", '\x80');
  RoundTrip("wide char", u'\u20AC');
  RoundTrip("bool", true);
  RoundTrip("enum", TColour::Blue);
  RoundTrip("plain enum", pThree);
  RoundTrip("wide enum", TWide::High);
  RoundTrip("single", 1.25f);
  RoundTrip("double", -1e300);
  RoundTrip("extended", 1.0L / 3);
  RoundTrip("comp", TnxComp{INT64_MIN});
  RoundTrip("currency", TnxCurrency{-9223372036854775807LL});
  TnxShortString<10> full;
  full.Assign("0123456789");
  RoundTrip("short string", full);
  RoundTrip("empty short string", TnxShortString<1>{});
  RoundTrip("ANSI string", std::string("Stra\xDF" "e \x80"));
  RoundTrip("wide string", TnxOleString{u"Gr\u00FC\u00DFe"});
  RoundTrip("Unicode string", std::u16string(u"\U0001F600 x"));
  TnxSet<7, 8> s78;
  s78.Include(7);
  s78.Include(8);
  RoundTrip("set 7..8", s78);
  TnxSet<0, 255> s256;
  s256.Include(0);
  s256.Include(255);
  RoundTrip("set 0..255", s256);
  RoundTrip("variant", TnxVariant::FromOleStr(u"v"));
  RoundTrip("GUID", nxGuid("{01234567-89AB-CDEF-0123-456789ABCDEF}"));
  RoundTrip("integers", std::vector<int32_t>{1, -2, 3});
  RoundTrip("bytes", std::vector<uint8_t>{0, 255});
  RoundTrip("extendeds", std::vector<long double>{1.5L, -2.0L / 3});
  RoundTrip("colours", std::vector<TColour>{TColour::Red, TColour::Blue});
  TnxShortString<3> xyz;
  xyz.Assign("xyz");
  RoundTrip("short strings", std::vector<TnxShortString<3>>{xyz, TnxShortString<3>{}});
  RoundTrip("sets", std::vector<TnxSet<7, 8>>{s78, TnxSet<7, 8>{}});
  RoundTrip("strings", std::vector<std::u16string>{u"a", u"", u"\u00E9"});
  RoundTrip("GUIDs", std::vector<TGUID>{nxGuid("{01234567-89AB-CDEF-0123-456789ABCDEF}")});
  RoundTrip("variants", std::vector<TnxVariant>{TnxVariant::Null(), TnxVariant::FromInt64(7)});
  RoundTrip("nested", std::vector<std::vector<int16_t>>{{1, 2}, {}, {3}});
  RoundTrip("empty array", std::vector<double>{});
}

TEST_F(TypedValues, InterfacesTravelByReference) {
  auto thing = testing::Make<Thing>(42);
  TInterfacePtr<IThing> value(thing.Get());
  RoundTrip("interface", value);
  RoundTrip("nil interface", TInterfacePtr<IThing>());
  RoundTrip("interfaces", std::vector<TInterfacePtr<IThing>>{value, nullptr});

  TInterfaceTable table;
  const TaggedBytes bytes = WriteOk(value, &table);
  ASSERT_EQ(table.size(), 1u);
  // The writer is given the object's IInterface, not its IThing cast.
  EXPECT_EQ(table[0].Get(), static_cast<IInterface*>(thing.Get()));
  TInterfacePtr<IThing> back;
  ASSERT_EQ(ReadOf(bytes, back, &table), S_OK);
  EXPECT_EQ(back->Value(), 42);

  HRESULT hr = S_OK;
  WriteOf(value, hr);
  EXPECT_EQ(hr, RPC_E_INVALID_PARAMETER);
  EXPECT_EQ(ReadOf(bytes, back), RPC_E_INVALID_PARAMETER);
  EXPECT_FALSE(back);  // the old reference is gone first
}

TEST_F(TypedValues, ByValueObjectsTravelAsCopies) {
  auto factory = testing::Make<CopiedThingFactory>();
  TInterfacePtr<InxClassFactoryControl> control;
  ASSERT_EQ(nxClassFactoryRegistry()->RegisterClassFactory(kCopiedThingClass, factory.Get(), control), S_OK);
  auto thing = testing::Make<CopiedThing>();
  thing->value = 1234;
  TInterfacePtr<IThing> value(thing.Get());
  const TaggedBytes bytes = WriteOk(value);
  TaggedBytes expected = {9};
  const TaggedBytes classBytes = testing::Written([](TnxWriter& w) { w.WriteGuid(kCopiedThingClass); });
  expected.insert(expected.end(), classBytes.begin(), classBytes.end());
  expected.insert(expected.end(), {1, 3, 0xD2, 0x04, 0});
  EXPECT_EQ(bytes, expected);
  TInterfacePtr<IThing> back;
  ASSERT_EQ(ReadOf(bytes, back), S_OK);
  EXPECT_NE(back.Get(), value.Get());
  EXPECT_EQ(back->Value(), 1234);
  control.Reset();
}

TEST_F(TypedValues, RefusesKindsWithoutAWireForm) {
  const TnxTypeInfo point{.tiKind = tkRecord, .tiName = u"TPoint"};
  const TnxTypeInfo method{.tiKind = tkMethod};
  const TnxTypeInfo noElement{.tiKind = tkDynArray};
  struct TPoint {
    int32_t x = 1, y = 2;
  } p, q;
  Thing* object = nullptr;
  const std::array<int32_t, 2> fixed{};
  const struct {
    const char* name;
    const TnxTypeInfo& type;
    const void* data;
  } cases[] = {
      {"record other than TGUID", point, &p},
      {"method", method, &p},
      {"class", nxTypeInfo<Thing*>(), &object},
      {"static array", nxTypeInfo<std::array<int32_t, 2>>(), &fixed},
      {"dynamic array without element type", noElement, &p},
  };
  for (const auto& c : cases) {
    HRESULT hr = S_OK;
    testing::WrittenBy([&](InxWriter& w) { return nxWriteTypedValue(w, c.type, c.data); }, hr);
    EXPECT_EQ(hr, RPC_E_INVALID_PARAMETER) << c.name;
    EXPECT_EQ(testing::ReadBy({2, 1, 2, 2}, [&](InxReader& r) { return nxReadTypedValue(r, c.type, &q); }),
              RPC_E_INVALID_PARAMETER)
        << c.name;
    EXPECT_EQ(nxCopyTypedValue(c.type, c.data, &q), RPC_E_INVALID_PARAMETER) << c.name;
  }
  EXPECT_EQ(q.x, 1);
}

TEST_F(TypedValues, RefusesMalformedInput) {
  TnxShortString<10> shortString;
  uint8_t byte = 0;
  int8_t signedByte = 0;
  uint32_t wide = 0;
  TColour colour = TColour::Red;
  bool flag = false;
  float single = 0;
  std::vector<int32_t> integers{9}, others;
  std::vector<TColour> colours;
  std::vector<std::u16string> strings;
  std::vector<TnxShortString<2>> shortStrings;
  TaggedBytes eleven = {6, 11};
  eleven.insert(eleven.end(), 11, 'x');
  long double huge = 1e300L;
  TaggedBytes hugeBytes = {5};
  hugeBytes.insert(hugeBytes.end(), reinterpret_cast<uint8_t*>(&huge), reinterpret_cast<uint8_t*>(&huge) + 10);
  const struct {
    const char* name;
    std::function<HRESULT(InxReader&)> read;
    TaggedBytes bytes;
    HRESULT code;  // S_OK: EReadError is raised
  } cases[] = {
      {"11 characters for 10", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<TnxShortString<10>>(), &shortString); }, eleven, RPC_E_INVALID_PARAMETER},
      {"300 for a byte", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<uint8_t>(), &byte); }, {3, 0x2C, 0x01}, RPC_E_INVALID_PARAMETER},
      {"-1 for a byte", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<uint8_t>(), &byte); }, {2, 0xFF}, RPC_E_INVALID_PARAMETER},
      {"128 for a signed byte", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<int8_t>(), &signedByte); }, {3, 0x80, 0}, RPC_E_INVALID_PARAMETER},
      {"2^32 for 32 bits unsigned", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<uint32_t>(), &wide); }, {19, 0, 0, 0, 0, 1, 0, 0, 0}, RPC_E_INVALID_PARAMETER},
      {"-1 for 32 bits unsigned", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<uint32_t>(), &wide); }, {2, 0xFF}, RPC_E_INVALID_PARAMETER},
      {"colour 3", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<TColour>(), &colour); }, {2, 3}, RPC_E_INVALID_PARAMETER},
      {"Boolean 2", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<bool>(), &flag); }, {2, 2}, RPC_E_INVALID_PARAMETER},
      {"1e300 for a single", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<float>(), &single); }, hugeBytes, RPC_E_INVALID_PARAMETER},
      {"colour 7 in an array", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<std::vector<TColour>>(), &colours); }, Cat({{2, 2}, Bin({0, 7})}), RPC_E_INVALID_PARAMETER},
      {"short string of 3 in an array of 2", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<std::vector<TnxShortString<2>>>(), &shortStrings); }, Cat({{2, 1}, Bin({3, 'a', 'b'})}), RPC_E_INVALID_PARAMETER},
      {"count past the stream", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<std::vector<int32_t>>(), &integers); }, {4, 0, 0, 0, 0x10, 10, 0, 0, 0, 0x40}, S_OK},
      {"negative count", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<std::vector<int32_t>>(), &integers); }, {2, 0xFF}, S_OK},
      {"element count past the stream", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<std::vector<std::u16string>>(), &strings); }, {4, 0x40, 0x42, 0x0F, 0, 1}, S_OK},
      {"block shorter than its count", [&](InxReader& r) { return nxReadTypedValue(r, nxTypeInfo<std::vector<int32_t>>(), &others); }, Cat({{2, 2}, Bin({1, 0, 0, 0}), {0, 0, 0, 0}}), S_OK},
  };
  for (const auto& c : cases) {
    if (c.code == S_OK)
      EXPECT_THROW(testing::ReadBy(c.bytes, c.read), EReadError) << c.name;
    else
      EXPECT_EQ(testing::ReadBy(c.bytes, c.read), c.code) << c.name;
  }
  EXPECT_TRUE(colours.empty());
  EXPECT_EQ(shortString.ssLength, 0);
  EXPECT_EQ(integers, std::vector<int32_t>{9});  // refused before anything was sized
}

TEST_F(TypedValues, DamagedStreamsNeverBreakTheReader) {
  struct TArgs {
    int32_t i = 0;
    std::u16string s;
    std::vector<TnxShortString<4>> shorts;
    std::vector<std::vector<TColour>> colours;
    TnxVariant v;
    std::vector<TInterfacePtr<IThing>> things;
  };
  auto thing = testing::Make<Thing>(5);
  TnxShortString<4> abc;
  abc.Assign("abc");
  TInterfaceTable table;
  TArgs args{7, u"text", {abc, abc}, {{TColour::Green}, {}}, TnxVariant::FromOleStr(u"x"), {TInterfacePtr<IThing>(thing.Get())}};
  auto writeAll = [&](InxWriter& w) {
    HRESULT hr = nxWriteTypedValue(w, nxTypeInfo<int32_t>(), &args.i);
    if (hr == S_OK) hr = nxWriteTypedValue(w, nxTypeInfo<std::u16string>(), &args.s);
    if (hr == S_OK) hr = nxWriteTypedValue(w, nxTypeInfo<decltype(args.shorts)>(), &args.shorts);
    if (hr == S_OK) hr = nxWriteTypedValue(w, nxTypeInfo<decltype(args.colours)>(), &args.colours);
    if (hr == S_OK) hr = nxWriteTypedValue(w, nxTypeInfo<TnxVariant>(), &args.v);
    if (hr == S_OK) hr = nxWriteTypedValue(w, nxTypeInfo<decltype(args.things)>(), &args.things);
    return hr;
  };
  HRESULT hr = E_UNEXPECTED;
  const TaggedBytes all = testing::WrittenBy(writeAll, hr, &table);
  ASSERT_EQ(hr, S_OK);
  std::mt19937 random(4146);
  for (int round = 0; round < 3000; ++round) {
    TaggedBytes bytes = all;
    const int flips = 1 + int(random() % 3);
    for (int f = 0; f < flips; ++f) bytes[random() % bytes.size()] = uint8_t(random());
    if (random() % 4 == 0) bytes.resize(random() % bytes.size());
    TArgs back;
    try {
      testing::ReadBy(
          bytes,
          [&](InxReader& r) {
            HRESULT h = nxReadTypedValue(r, nxTypeInfo<int32_t>(), &back.i);
            if (h == S_OK) h = nxReadTypedValue(r, nxTypeInfo<std::u16string>(), &back.s);
            if (h == S_OK) h = nxReadTypedValue(r, nxTypeInfo<decltype(back.shorts)>(), &back.shorts);
            if (h == S_OK) h = nxReadTypedValue(r, nxTypeInfo<decltype(back.colours)>(), &back.colours);
            if (h == S_OK) h = nxReadTypedValue(r, nxTypeInfo<TnxVariant>(), &back.v);
            if (h == S_OK) h = nxReadTypedValue(r, nxTypeInfo<decltype(back.things)>(), &back.things);
            return h;
          },
          &table);
    } catch (const Exception&) {
      // The reader's own errors are the expected way out.
    }
    for (const auto& s : back.shorts) EXPECT_LE(s.ssLength, 4);
    for (const auto& row : back.colours)
      for (TColour c : row) EXPECT_LE(uint8_t(c), 2);
  }
}

}  // namespace
}  // namespace revurov
