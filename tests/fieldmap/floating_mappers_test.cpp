#include "fieldmap/floating_mappers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "fieldmap/field_mapper_descriptor.h"
#include "fieldmap/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/wide_strings/utils_convert.h"
#include "mapper_fields.h"
#include "platform/locale.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::MakeField;
using i128 = __int128;

constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr uint32_t kNoValue = 1;
constexpr int64_t kMaxRaw = INT64_MAX;
constexpr uint8_t kFill = 0xA5;

struct Outcome {
  uint32_t Result;
  std::vector<uint8_t> Bytes;  // the target field
};

class FloatingMappers : public ::testing::Test {
public:
  TnxFieldMapStartupGuard fieldMap;
  const TnxFieldMapperDescriptor fail{u"a", u"b", dlaFail};
  const TnxFieldMapperDescriptor bestFit{u"a", u"b", dlaBestFit};
  struct Prepared {
    std::unique_ptr<TnxFieldDescriptor> Source, Target;
    std::unique_ptr<TnxBaseFieldMapper> Mapper;
    TnxMappingMethod Method;
  };
  std::map<std::tuple<TnxFieldType, TnxFieldType, bool, int32_t, int32_t>, Prepared> prepared;

  // One mapping of the source bytes; the bytes behind the field must stay.
  Outcome Map(TnxFieldType aSource, const void* aValue, TnxFieldType aTarget, bool aBestFit, int32_t aUnits = 0,
              int32_t aDecPl = 0) {
    // Made once per shape: the sweeps map many values through each.
    Prepared& p = prepared[{aSource, aTarget, aBestFit, aUnits, aDecPl}];
    if (!p.Target) {
      p.Source = MakeField(aSource);
      p.Target = MakeField(aTarget, aUnits, aDecPl);
      p.Mapper = TnxBaseFieldMapper::CreateMapper(*p.Source, nullptr, *p.Target, nullptr,
                                                  aBestFit ? &bestFit : &fail, p.Method);
    }
    const TnxMappingMethod& method = p.Method;
    const TnxFieldDescriptor* target = p.Target.get();
    EXPECT_TRUE(method.Assigned()) << int(aSource) << " -> " << int(aTarget);
    if (!method.Assigned()) return {~0u, {}};
    uint8_t src[16] = {};
    std::memcpy(src, aValue, aSource == nxtExtended ? 10 : aSource == nxtSingle ? 4 : 8);
    std::vector<uint8_t> field(target->Length() + 8, kFill);
    const uint32_t r = method(src, field.data());
    for (size_t i = target->Length(); i < field.size(); ++i) EXPECT_EQ(field[i], kFill) << "written past the field";
    field.resize(target->Length());
    return {r, field};
  }
  Outcome MapDouble(double aValue, TnxFieldType aTarget, bool aBestFit, int32_t aUnits = 0, int32_t aDecPl = 0) {
    return Map(nxtDouble, &aValue, aTarget, aBestFit, aUnits, aDecPl);
  }
  Outcome MapCurrency(int64_t aRaw, TnxFieldType aTarget, bool aBestFit, int32_t aUnits = 0, int32_t aDecPl = 0) {
    return Map(nxtCurrency, &aRaw, aTarget, aBestFit, aUnits, aDecPl);
  }
};

template <class T>
T As(const Outcome& aOutcome) {
  T v{};
  std::memcpy(&v, aOutcome.Bytes.data(), std::min(sizeof(T), aOutcome.Bytes.size()));
  return v;
}
int64_t Raw(const Outcome& o) { return As<int64_t>(o); }
std::string Short(const Outcome& o) { return std::string(o.Bytes.begin() + 1, o.Bytes.begin() + 1 + o.Bytes[0]); }

// ---- reference for the integer and Currency targets ----

struct IntTarget {
  TnxFieldType Type;
  int Size;
  i128 Lo, Hi;
};
const IntTarget kIntTargets[] = {
    {nxtByte, 1, 0, 255},
    {nxtWord16, 2, 0, 65535},
    {nxtWord32, 4, 0, UINT32_MAX},
    {nxtAutoInc, 4, 0, UINT32_MAX},
    {nxtRecRev, 4, 0, UINT32_MAX},
    {nxtInt8, 1, -128, 127},
    {nxtInt16, 2, -32768, 32767},
    {nxtInt32, 4, INT32_MIN, INT32_MAX},
    {nxtInt64, 8, INT64_MIN, INT64_MAX},
    {nxtCurrency, 8, -kMaxRaw, kMaxRaw},  // in raw units: the value is scaled by 10,000 first
};

i128 ReadSigned(const Outcome& o, int aSize, bool aSigned) {
  i128 v = 0;
  for (int i = aSize - 1; i >= 0; --i) v = (v << 8) | o.Bytes[i];
  if (aSigned && aSize < 16 && (v >> (8 * aSize - 1)) & 1) v -= i128{1} << (8 * aSize);
  return v;
}

// Round half to even of an exact long double, as an __int128, without
// going through the library's nearbyintl.
i128 RoundHalfEven(long double x) {
  const long double f = std::floor(x), d = x - f;
  i128 r = static_cast<i128>(f);
  if (d > 0.5L || (d == 0.5L && (r & 1))) ++r;
  return r;
}

void CheckAgainstReference(FloatingMappers& aFixture, TnxFieldType aSource, long double aValue) {
  uint8_t bytes[16] = {};
  long double widened;
  if (aSource == nxtSingle) {
    const float f = static_cast<float>(aValue);
    std::memcpy(bytes, &f, 4);
    widened = f;
  } else if (aSource == nxtDouble) {
    const double d = static_cast<double>(aValue);
    std::memcpy(bytes, &d, 8);
    widened = d;
  } else {
    std::memcpy(bytes, &aValue, 10);
    widened = aValue;
  }
  for (const IntTarget& t : kIntTargets) {
    const long double x = t.Type == nxtCurrency ? widened * 10000 : widened;
    const bool isSigned = t.Lo < 0;
    for (bool best : {false, true}) {
      const Outcome o = aFixture.Map(aSource, bytes, t.Type, best);
      // Built only for a failure: the long sweeps make millions of calls.
      const auto where = [&] {
        return ::testing::Message() << "type " << int(t.Type) << " value " << double(widened) << " best " << best;
      };
      if (std::isnan(x)) {
        EXPECT_EQ(o.Result, best ? kNoValue : kLost) << where();
        continue;
      }
      const bool below = x < static_cast<long double>(t.Lo), above = x > static_cast<long double>(t.Hi);
      const bool whole = std::fabs(x - std::trunc(x)) <= 1E-16L;
      if (!best && (below || above || !whole)) {
        EXPECT_EQ(o.Result, kLost) << where();
        continue;
      }
      ASSERT_EQ(o.Result, 0u) << where();
      const i128 expected = below ? t.Lo : above ? t.Hi : RoundHalfEven(x);
      EXPECT_TRUE(ReadSigned(o, t.Size, isSigned) == expected) << where();
    }
  }
}

std::vector<long double> SpecialValues() {
  std::vector<long double> v = {0.0L,   -0.0L, 0.5L,  1.5L,  2.5L,  -2.5L,  3.5L,  -0.4L, 0.4L,   1.0L,
                                255.0L, 255.5L, 256.0L, -1.0L, -128.5L, 127.5L, 1E-300L, -1E-45L,
                                std::numeric_limits<long double>::infinity(),
                                -std::numeric_limits<long double>::infinity(),
                                std::numeric_limits<long double>::quiet_NaN(), 922337203685477.5807L,
                                -922337203685477.5807L, 922337203685477.5808L};
  for (long double b : {255.0L, 65535.0L, 4294967295.0L, 127.0L, -128.0L, 32767.0L, -32768.0L, 2147483647.0L,
                        -2147483648.0L, 9223372036854775807.0L, -9223372036854775808.0L}) {
    v.push_back(b);
    v.push_back(std::nextafter(b, std::numeric_limits<long double>::infinity()));
    v.push_back(std::nextafter(b, -std::numeric_limits<long double>::infinity()));
    v.push_back(b + 0.5L);
    v.push_back(b - 0.5L);
    v.push_back(b + 1);
    v.push_back(b - 1);
  }
  return v;
}

TEST_F(FloatingMappers, IntegerAndCurrencyTargetsMatchTheReferenceAtEveryBoundAndSpecialValue) {
  for (TnxFieldType source : {nxtSingle, nxtDouble, nxtExtended})
    for (long double x : SpecialValues()) CheckAgainstReference(*this, source, x);
}

TEST_F(FloatingMappers, IntegerAndCurrencyTargetsMatchTheReferenceForRandomValues) {
  std::mt19937_64 rng(80);
  const int n = testing::TestSize(2000, 1000000);
  std::uniform_real_distribution<double> exponent(-5, 20);
  for (int i = 0; i < n; ++i) {
    long double x = std::pow(10.0L, exponent(rng)) * ((rng() & 1) ? -1 : 1);
    if (rng() & 1) x = std::nearbyint(x * 2) / 2;  // halves
    for (TnxFieldType source : {nxtSingle, nxtDouble, nxtExtended}) CheckAgainstReference(*this, source, x);
  }
}

// ---- written-out cases; "mended" marks where the design differs from the
// plain algorithm of the classic mapper ----

TEST_F(FloatingMappers, KnownValuesMapAsWrittenOut) {
  // Round ties to even; a fraction fails the check.
  EXPECT_EQ(As<int32_t>(MapDouble(2.5, nxtInt32, true)), 2);
  EXPECT_EQ(As<int32_t>(MapDouble(3.5, nxtInt32, true)), 4);
  EXPECT_EQ(As<int32_t>(MapDouble(-2.5, nxtInt32, true)), -2);
  for (double v : {2.5, 3.5, -2.5}) EXPECT_EQ(MapDouble(v, nxtInt32, false).Result, kLost);
  EXPECT_EQ(As<uint8_t>(MapDouble(300, nxtByte, true)), 255);
  EXPECT_EQ(MapDouble(300, nxtByte, false).Result, kLost);
  EXPECT_EQ(As<uint8_t>(MapDouble(255, nxtByte, false)), 255);
  EXPECT_EQ(As<uint8_t>(MapDouble(-0.4, nxtByte, true)), 0);

  // Boolean: the sources' resolutions.
  const float tiny = 0.00005f;
  EXPECT_EQ(Map(nxtSingle, &tiny, nxtBoolean, true, 0).Bytes[0], 0);
  EXPECT_EQ(Map(nxtSingle, &tiny, nxtBoolean, false, 0).Result, 0u);
  EXPECT_EQ(MapDouble(0.5, nxtBoolean, true).Bytes[0], 0xFF);
  EXPECT_EQ(MapDouble(0.5, nxtBoolean, false).Result, kLost);
  EXPECT_EQ(MapDouble(1 + 1E-13, nxtBoolean, false).Result, 0u);
  EXPECT_EQ(MapCurrency(15000, nxtBoolean, true).Bytes[0], 0xFF);
  EXPECT_EQ(MapCurrency(15000, nxtBoolean, false).Result, kLost);
  EXPECT_EQ(MapCurrency(10000, nxtBoolean, false).Result, 0u);

  // Narrowing.
  EXPECT_EQ(As<float>(MapDouble(-1E300, nxtSingle, true)), -std::numeric_limits<float>::max());
  EXPECT_EQ(MapDouble(-1E300, nxtSingle, false).Result, kLost);
  EXPECT_EQ(MapDouble(1E-40, nxtSingle, false).Result, kLost);
  EXPECT_EQ(As<float>(MapDouble(0.1, nxtSingle, false)), 0.1f);
  const long double big = 1E400L;
  EXPECT_EQ(As<double>(Map(nxtExtended, &big, nxtDouble, true)), std::numeric_limits<double>::max());
  EXPECT_EQ(Map(nxtExtended, &big, nxtDouble, false).Result, kLost);

  // Currency.
  EXPECT_EQ(Raw(MapCurrency(INT64_MIN, nxtCurrency, true)), -kMaxRaw);
  EXPECT_EQ(Raw(MapDouble(1.25, nxtCurrency, false)), 12500);
  EXPECT_EQ(MapDouble(1.23456, nxtCurrency, false).Result, kLost);
  const float tenth = 0.1f;
  EXPECT_EQ(Map(nxtSingle, &tenth, nxtCurrency, false).Result, kLost);
  EXPECT_EQ(As<int64_t>(MapCurrency(25000, nxtInt64, true)), 2);
  EXPECT_EQ(As<int64_t>(MapCurrency(-35000, nxtInt64, true)), -4);
  EXPECT_EQ(As<int64_t>(MapCurrency(INT64_MIN, nxtInt64, true)), -922337203685478);
  EXPECT_EQ(MapCurrency(25000, nxtInt64, false).Result, kLost);
  EXPECT_EQ(As<uint8_t>(MapCurrency(2555000, nxtByte, true)), 255);
  EXPECT_EQ(As<double>(MapCurrency(12345, nxtDouble, false)), 1.2345);

  // NaN has no value (mended).
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (TnxFieldType t : {nxtBoolean, nxtInt32, nxtSingle, nxtCurrency, nxtChar}) {
    EXPECT_EQ(MapDouble(nan, t, false, 0).Result, kLost) << int(t);
  }
  for (TnxFieldType t : {nxtBoolean, nxtInt32, nxtSingle, nxtCurrency}) {
    EXPECT_EQ(MapDouble(nan, t, true).Result, kNoValue) << int(t);
  }
  EXPECT_EQ(MapDouble(nan, nxtBCD, true, 10, 2).Result, kNoValue);
  EXPECT_EQ(MapDouble(nan, nxtBCD, false, 10, 2).Result, kLost);
  EXPECT_TRUE(std::isnan(As<double>(MapDouble(nan, nxtDouble, false))));
}

TEST_F(FloatingMappers, BcdTargetsKeepTheScaleAndClampPastTheIntegerPlaces) {
  struct Row {
    double Value;
    int32_t Units, DecPl;
    int64_t BestFitRaw;
    bool CheckFails;
  };
  const Row rows[] = {
      {12.3456, 10, 2, 123400, true},
      {12.34, 10, 2, 123400, false},
      {-12.349, 10, 2, -123400, true},
      {12345.678, 5, 2, 9999900, true},  // mended: clamps, does not keep 345.67
      {-12345.678, 5, 2, -9999900, true},
      {999.99, 5, 2, 9999900, false},
      {1E20, 10, 2, 999999999900, true},  // mended: no BCD error
      // Sixteen integer places pass the Currency range: its whole end.
      {-1E15, 16, 0, -9223372036854770000, true},
      {1E-6, 10, 4, 0, true},
      {0, 10, 4, 0, false},
      {1E-300, 4, 4, 0, true},
      {123456789012345, 20, 4, 1234567890123450000, false},
      {1E14, 20, 4, 1000000000000000000, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << r.Value << " (" << r.Units << "," << r.DecPl << ")");
    EXPECT_EQ(Raw(MapDouble(r.Value, nxtBCD, true, r.Units, r.DecPl)), r.BestFitRaw);
    const Outcome check = MapDouble(r.Value, nxtBCD, false, r.Units, r.DecPl);
    EXPECT_EQ(check.Result, r.CheckFails ? kLost : 0u);
    if (!r.CheckFails) {
      EXPECT_EQ(Raw(check), r.BestFitRaw);
    }
  }
  // Extended past the Double range (mended: checking fails, best fit clamps).
  const long double huge = -1E4000L;
  EXPECT_EQ(Raw(Map(nxtExtended, &huge, nxtBCD, true, 5, 2)), -9999900);
  EXPECT_EQ(Map(nxtExtended, &huge, nxtBCD, false, 5, 2).Result, kLost);

  // Currency and BCD sources; precision 20 copies with the Currency clamp.
  EXPECT_EQ(MapCurrency(123456, nxtBCD, false, 10, 2).Result, kLost);
  EXPECT_EQ(Raw(MapCurrency(123456, nxtBCD, true, 10, 2)), 123400);
  EXPECT_EQ(Raw(MapCurrency(123456, nxtBCD, false, 20, 4)), 123456);
  EXPECT_EQ(Raw(MapCurrency(INT64_MIN, nxtBCD, false, 20, 4)), -kMaxRaw);
  EXPECT_EQ(Raw(MapCurrency(kMaxRaw, nxtBCD, true, 19, 4)), kMaxRaw);
  EXPECT_EQ(MapCurrency(kMaxRaw, nxtBCD, false, 19, 4).Result, 0u);
  EXPECT_EQ(Raw(MapCurrency(kMaxRaw, nxtBCD, true, 8, 0)), 999999990000);
}

TEST_F(FloatingMappers, TextIsFifteenDigitsAndTheCheckTestsEachValuesOwnText) {
  const float tenth = 0.1f;
  EXPECT_EQ(Short(Map(nxtSingle, &tenth, nxtShortString, false, 20)), "0.100000001490116");
  // Mended: the text of 1/3 does not fit ten characters, whatever the
  // reference value's text.
  EXPECT_EQ(MapDouble(1.0 / 3, nxtShortString, false, 10).Result, kLost);
  EXPECT_EQ(Short(MapDouble(1.0 / 3, nxtShortString, true, 10)), "0.33333333");
  EXPECT_EQ(Short(MapDouble(-3.4E38, nxtShortString, false, 7)), "-3.4E38");
  EXPECT_EQ(Short(MapCurrency(INT64_MIN, nxtShortString, false, 16)), "-922337203685478");

  const Outcome n = MapDouble(12.5, nxtNullString, true, 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(n.Bytes.data())), "12.");
  EXPECT_EQ(MapDouble(12.5, nxtNullString, false, 3).Result, kLost);
  EXPECT_EQ(MapDouble(12.5, nxtNullString, false, 4).Result, 0u);

  // WideString of five characters: a six-character text fails the check.
  EXPECT_EQ(MapDouble(123456, nxtWideString, false, 5).Result, kLost);
  const Outcome w = MapDouble(123456, nxtWideString, true, 5);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(w.Bytes.data())), u"12345");
  EXPECT_EQ(MapDouble(12345, nxtWideString, false, 5).Result, 0u);

  EXPECT_EQ(MapDouble(7, nxtChar, false).Bytes[0], '7');
  EXPECT_EQ(MapDouble(12.5, nxtChar, false).Result, kLost);
  EXPECT_EQ(MapDouble(12.5, nxtChar, true).Bytes[0], '1');
  EXPECT_EQ(MapDouble(-1, nxtChar, false).Result, kLost);
  EXPECT_EQ(As<char16_t>(MapCurrency(90000, nxtWideChar, false)), u'9');
  EXPECT_EQ(MapCurrency(90001, nxtWideChar, false).Result, kLost);
  EXPECT_EQ(MapCurrency(100000, nxtWideChar, false).Result, kLost);
}

// The runtime's own text routine is the reference: the routines build the
// same text without it.
TEST_F(FloatingMappers, TextMatchesTheRuntimesFifteenDigitFormat) {
  std::mt19937_64 rng(15);
  std::vector<double> values = {0.0,    -0.0,    1.0,     -1.5,    1E-4,   1E-5,     0.00001234, 123456789012345.0,
                                1E15,   -1E15,   1E20,    1E-300,  5E-324, 1.0 / 3, -3.4E38,  1.7976931348623157E308,
                                std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::quiet_NaN()};
  for (int i = 0; i < testing::TestSize(3000, 1000000); ++i) {
    double d;
    const uint64_t bits = rng();
    std::memcpy(&d, &bits, 8);
    values.push_back(d);
  }
  const platform::TFormatSettings settings = platform::LocaleFormatSettings(2048);
  for (double d : values) {
    const std::string ansi = nxFloatToAnsiStr(d, settings);
    const std::u16string wide = nxFloatToStr(d, settings);
    const Outcome s = MapDouble(d, nxtShortString, true, 40);
    EXPECT_EQ(Short(s), ansi) << d;
    const Outcome w = MapDouble(d, nxtWideString, false, 40);
    ASSERT_EQ(w.Result, 0u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(w.Bytes.data())), wide) << d;
    const long double e = d * 1.000000000000000001L;
    EXPECT_EQ(Short(Map(nxtExtended, &e, nxtShortString, true, 40)), nxFloatToAnsiStr(e, settings)) << d;
  }
}

TEST_F(FloatingMappers, ByteArrayDateTimeAndDecliningPairs) {
  const long double e = -1.5L;
  const Outcome a = Map(nxtExtended, &e, nxtByteArray, false, 12);
  EXPECT_EQ(std::memcmp(a.Bytes.data(), &e, 10), 0);
  EXPECT_EQ(a.Bytes[10], kFill);  // the rest of the array stays

  auto single = MakeField(nxtSingle), extended = MakeField(nxtExtended), dateTime = MakeField(nxtDateTime);
  auto shortArray = MakeField(nxtByteArray, 9);
  TnxMappingMethod method;
  TnxBaseFieldMapper::CreateMapper(*extended, nullptr, *shortArray, nullptr, &fail, method);
  EXPECT_FALSE(method.Assigned());
  TnxBaseFieldMapper::CreateMapper(*single, nullptr, *dateTime, nullptr, &fail, method);
  EXPECT_FALSE(method.Assigned());
  // A class asked for a source it does not serve declines.
  TnxMappingMethod direct;
  auto int32 = MakeField(nxtInt32);
  TnxSingleMapper::ClassInfo.TryCreateMapper(TnxSingleMapper::ClassInfo, *extended, nullptr, *int32, nullptr,
                                             &fail, direct);
  EXPECT_FALSE(direct.Assigned());

  // 1 January 1900 at 06:00 is day 693596 of the calendar.
  EXPECT_EQ(As<double>(MapDouble(2.25, nxtDateTime, false)), 693596.0 * 86400000 + 6 * 3600000);
  EXPECT_EQ(MapDouble(1E12, nxtDateTime, false).Result, kLost);
}

}  // namespace
}  // namespace revurov
