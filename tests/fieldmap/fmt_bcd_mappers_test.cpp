#include "fieldmap/fmt_bcd_mappers.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dictionary/fmt_bcd.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "fieldmap/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "mapper_fields.h"
#include "platform/format.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::MakeField;
using testing::TestSize;

constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr uint32_t kNoValue = 1;

// A FmtBCD record of the given shape from plain decimal text ("-12.9"),
// built digit by digit; the text must fit the shape.
platform::TBcd Bcd(const std::string& aText, int aPrecision, int aScale) {
  platform::TBcd b;
  b.Precision = static_cast<uint8_t>(aPrecision);
  b.SignSpecialPlaces = static_cast<uint8_t>(aScale);
  std::string text = aText;
  bool negative = false;
  if (!text.empty() && text[0] == '-') negative = true, text.erase(0, 1);
  const size_t dot = text.find('.');
  std::string whole = text.substr(0, dot), fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
  EXPECT_LE(static_cast<int>(whole.size()), aPrecision - aScale) << aText;
  EXPECT_LE(static_cast<int>(fraction.size()), aScale) << aText;
  whole = std::string(static_cast<size_t>(aPrecision - aScale) - whole.size(), '0') + whole;
  fraction += std::string(static_cast<size_t>(aScale) - fraction.size(), '0');
  const std::string digits = whole + fraction;
  for (int i = 0; i < aPrecision; ++i) platform::SetBcdDigit(b, i, digits[static_cast<size_t>(i)] - '0');
  if (negative) b.SignSpecialPlaces |= platform::kBcdNegative;
  return b;
}

// The runtime's own text of a record, '.' as separator.
std::string BcdText(const platform::TBcd& aBcd) {
  std::string s;
  for (char16_t c : platform::BcdToStr(aBcd, u'.')) s += static_cast<char>(c);
  return s;
}

class FmtBcdMappers : public ::testing::Test {
public:
  TnxFieldMapStartupGuard fieldMap;
  const TnxFieldMapperDescriptor fail{u"a", u"b", dlaFail};
  const TnxFieldMapperDescriptor bestFit{u"a", u"b", dlaBestFit};

  struct Prepared {
    std::unique_ptr<TnxFieldDescriptor> Source, Target;
    std::unique_ptr<TnxBaseFieldMapper> Mapper;
    TnxMappingMethod Method;
  };

  Prepared Prepare(TnxFieldType aSource, int aSourceUnits, int aSourceDecPl, TnxFieldType aTarget, int aUnits,
                   int aDecPl, bool aBestFit) {
    Prepared p;
    p.Source = MakeField(aSource, aSourceUnits, aSourceDecPl);
    p.Target = MakeField(aTarget, aUnits, aDecPl);
    p.Mapper = TnxBaseFieldMapper::CreateMapper(*p.Source, nullptr, *p.Target, nullptr, aBestFit ? &bestFit : &fail,
                                                p.Method);
    EXPECT_TRUE(p.Method.Assigned());
    return p;
  }

  // Maps aValue; the bytes behind the target field must stay.
  uint32_t Map(Prepared& aMapper, const void* aValue, std::vector<uint8_t>& aOut) {
    const auto length = static_cast<size_t>(aMapper.Target->Length());
    std::vector<uint8_t> area(length + 8, 0xA5);
    const uint32_t r = aMapper.Method(aValue, area.data());
    for (size_t i = length; i < area.size(); ++i) EXPECT_EQ(area[i], 0xA5) << "written past the field";
    aOut.assign(area.begin(), area.begin() + static_cast<std::ptrdiff_t>(length));
    return r;
  }

  // A numeric source into FmtBCD(aPrecision, aScale); the target's text.
  template <typename T>
  std::pair<uint32_t, std::string> IntoFmtBcd(TnxFieldType aSource, T aValue, int aPrecision, int aScale,
                                              bool aBestFit) {
    auto p = Prepare(aSource, 0, 0, nxtFmtBCD, aPrecision, aScale, aBestFit);
    uint8_t source[16] = {};
    std::memcpy(source, &aValue, aSource == nxtExtended ? 10 : sizeof aValue);
    std::vector<uint8_t> out;
    const uint32_t r = Map(p, source, out);
    platform::TBcd b;
    std::memcpy(&b, out.data(), out.size());
    return {r, r == 0 ? BcdText(b) : std::string()};
  }

  // FmtBCD text of the given shape into a numeric target; its bytes.
  uint32_t OutOfFmtBcd(const std::string& aText, int aPrecision, int aScale, TnxFieldType aTarget, bool aBestFit,
                       void* aResult) {
    auto p = Prepare(nxtFmtBCD, aPrecision, aScale, aTarget, 0, 0, aBestFit);
    const platform::TBcd b = Bcd(aText, aPrecision, aScale);
    std::vector<uint8_t> out;
    const uint32_t r = Map(p, &b, out);
    std::memcpy(aResult, out.data(), out.size());
    return r;
  }
};

TEST_F(FmtBcdMappers, IntoIntegerAndCurrencyTargets) {
  struct Case {
    const char* Text;
    int Precision, Scale;
    TnxFieldType Target;
    bool BestFit;
    uint32_t Result;
    int64_t Value;
  };
  const Case cases[] = {
      {"12.9", 10, 2, nxtInt32, false, kLost, 0},
      {"12.9", 10, 2, nxtInt32, true, 0, 12},
      {"-0.5", 10, 2, nxtInt32, true, 0, 0},
      {"-12.99", 10, 2, nxtInt16, true, 0, -12},
      {"5.00", 10, 2, nxtInt32, false, 0, 5},
      {"300", 10, 0, nxtByte, false, kLost, 0},
      {"300", 10, 0, nxtByte, true, 0, 255},
      {"-1", 10, 0, nxtWord32, true, 0, 0},
      {"4294967295", 10, 0, nxtWord32, false, 0, 4294967295LL},
      {"-128", 10, 0, nxtInt8, false, 0, -128},
      {"-129", 10, 0, nxtInt8, true, 0, -128},
      {"-9223372036854775808", 30, 2, nxtInt64, false, 0, INT64_MIN},
      {"9223372036854775808", 30, 2, nxtInt64, false, kLost, 0},
      // Mended: best fit clamps past the Int64 range instead of failing.
      {"99999999999999999999999999", 30, 2, nxtInt64, true, 0, INT64_MAX},
      {"-99999999999999999999999999", 30, 2, nxtInt64, true, 0, INT64_MIN},
      {"1.23456", 10, 5, nxtCurrency, false, kLost, 0},
      {"1.23456", 10, 5, nxtCurrency, true, 0, 12346},
      {"1.23455", 10, 5, nxtCurrency, true, 0, 12346},   // tie to even
      {"1.23445", 10, 5, nxtCurrency, true, 0, 12344},   // tie to even
      {"-1.23445001", 12, 8, nxtBCD, true, 0, -12345},
      {"1.2345", 10, 5, nxtBCD, false, 0, 12345},
      {"922337203685477.5807", 30, 4, nxtCurrency, false, 0, INT64_MAX},
      {"922337203685477.5808", 30, 4, nxtCurrency, false, kLost, 0},
      {"-922337203685477.5808", 30, 4, nxtCurrency, false, 0, INT64_MIN},
      // Mended: past the Currency range best fit clamps instead of failing.
      {"1000000000000000", 30, 4, nxtCurrency, true, 0, INT64_MAX},
      {"-1000000000000000", 30, 4, nxtCurrency, true, 0, INT64_MIN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Text) + (c.BestFit ? " best fit" : " checking") + " to type " +
                 std::to_string(int(c.Target)));
    int64_t raw = 0;
    uint8_t bytes[8] = {};
    EXPECT_EQ(OutOfFmtBcd(c.Text, c.Precision, c.Scale, c.Target, c.BestFit, bytes), c.Result);
    if (c.Result != 0) continue;
    switch (c.Target) {
      case nxtByte: raw = bytes[0]; break;
      case nxtInt8: raw = static_cast<int8_t>(bytes[0]); break;
      case nxtInt16: { int16_t v; std::memcpy(&v, bytes, 2); raw = v; break; }
      case nxtInt32: { int32_t v; std::memcpy(&v, bytes, 4); raw = v; break; }
      case nxtWord32: { uint32_t v; std::memcpy(&v, bytes, 4); raw = v; break; }
      default: std::memcpy(&raw, bytes, 8); break;
    }
    EXPECT_EQ(raw, c.Value);
  }
}

TEST_F(FmtBcdMappers, IntoFloatingPointTargetsCheckedBySignificantDigits) {
  struct Case {
    const char* Text;
    int Precision, Scale;
    TnxFieldType Target;
    bool BestFit;
    uint32_t Result;
    long double Value;
  };
  const Case cases[] = {
      {"0.1", 10, 2, nxtDouble, false, 0, 0.1},
      {"12.375", 10, 3, nxtDouble, false, 0, 12.375},
      // Mended: an absolute difference of 1E-15 failed nearly every value above 10.
      {"123456.789", 10, 3, nxtDouble, false, 0, 123456.789},
      {"123456.789", 10, 3, nxtSingle, false, kLost, 0},
      {"123456.789", 10, 3, nxtSingle, true, 0, 123456.789f},
      {"1234567", 10, 0, nxtSingle, false, 0, 1234567.0f},
      {"16777216", 10, 0, nxtSingle, false, 0, 16777216.0f},   // eight digits, exact
      {"16777217", 10, 0, nxtSingle, false, kLost, 0},
      {"123456789012345.6", 20, 1, nxtDouble, false, 0, 123456789012345.6},
      {"1234567890123456.7", 20, 1, nxtDouble, false, kLost, 0},
      {"12345678901234.5", 20, 1, nxtDouble, false, 0, 12345678901234.5},
      {"-0.000000000000000000000000000000000000000000000000000000000000001", 64, 63, nxtDouble, false, 0, -1e-63},
      {"1234567890.123456789", 30, 9, nxtExtended, false, 0, 1234567890.123456789L},
      // Past the Single range: lost when checking, the largest finite value with its sign under best fit.
      {"1000000000000000000000000000000000000000", 50, 0, nxtSingle, false, kLost, 0},
      {"1000000000000000000000000000000000000000", 50, 0, nxtSingle, true, 0, FLT_MAX},
      {"-1000000000000000000000000000000000000000", 50, 0, nxtSingle, true, 0, -FLT_MAX},
      {"0.000000000000000000000000000000000000000000000000000000000000001", 64, 63, nxtSingle, false, kLost, 0},
      {"0.000000000000000000000000000000000000000000000000000000000000001", 64, 63, nxtSingle, true, 0, 0},
      {"0", 10, 2, nxtDouble, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Text) + (c.BestFit ? " best fit" : " checking") + " to type " +
                 std::to_string(int(c.Target)));
    uint8_t bytes[16] = {};
    EXPECT_EQ(OutOfFmtBcd(c.Text, c.Precision, c.Scale, c.Target, c.BestFit, bytes), c.Result);
    if (c.Result != 0) continue;
    if (c.Target == nxtSingle) {
      float v;
      std::memcpy(&v, bytes, 4);
      EXPECT_EQ(v, static_cast<float>(c.Value));
    } else if (c.Target == nxtDouble) {
      double v;
      std::memcpy(&v, bytes, 8);
      EXPECT_EQ(v, static_cast<double>(c.Value));
    } else {
      long double v = 0;
      std::memcpy(&v, bytes, 10);
      EXPECT_EQ(v, c.Value);
    }
  }
}

TEST_F(FmtBcdMappers, TextIgnoresTheProcessWideDecimalSeparator) {
  platform::TFormatSettings& settings = platform::FormatSettings();
  const char16_t saved = settings.DecimalSeparator;
  settings.DecimalSeparator = u',';
  double d = 0;
  EXPECT_EQ(OutOfFmtBcd("12.5", 10, 2, nxtDouble, false, &d), 0u);
  EXPECT_EQ(d, 12.5);
  EXPECT_EQ(IntoFmtBcd(nxtDouble, 0.25, 10, 2, false), std::make_pair(0u, std::string("0.25")));
  settings.DecimalSeparator = saved;
}

TEST_F(FmtBcdMappers, IntoFmtBcd) {
  using R = std::pair<uint32_t, std::string>;
  EXPECT_EQ(IntoFmtBcd(nxtInt64, int64_t{-5}, 3, 1, false), R(0, "-5"));
  EXPECT_EQ(IntoFmtBcd(nxtInt64, int64_t{1234}, 3, 1, false), R(kLost, ""));
  // Mended: best fit clamps to the largest magnitude instead of keeping the low-order digits (34.0).
  EXPECT_EQ(IntoFmtBcd(nxtInt64, int64_t{1234}, 3, 1, true), R(0, "99.9"));
  EXPECT_EQ(IntoFmtBcd(nxtInt64, int64_t{-1234}, 3, 1, true), R(0, "-99.9"));
  EXPECT_EQ(IntoFmtBcd(nxtWord32, uint32_t{4294967295u}, 10, 0, false), R(0, "4294967295"));
  EXPECT_EQ(IntoFmtBcd(nxtInt64, INT64_MIN, 19, 0, false), R(0, "-9223372036854775808"));
  EXPECT_EQ(IntoFmtBcd(nxtInt8, int8_t{-128}, 3, 0, false), R(0, "-128"));
  EXPECT_EQ(IntoFmtBcd(nxtByte, uint8_t{200}, 3, 0, false), R(0, "200"));
  EXPECT_EQ(IntoFmtBcd(nxtCurrency, int64_t{123456789}, 10, 2, false), R(kLost, ""));
  EXPECT_EQ(IntoFmtBcd(nxtCurrency, int64_t{123456789}, 10, 2, true), R(0, "12345.67"));
  EXPECT_EQ(IntoFmtBcd(nxtBCD, int64_t{-123450000}, 10, 2, false), R(0, "-12345"));
  EXPECT_EQ(IntoFmtBcd(nxtCurrency, INT64_MIN, 20, 4, false), R(0, "-922337203685477.5808"));
  // Mended: 12345.678 into precision 5, scale 2 clamps instead of keeping 345.67.
  EXPECT_EQ(IntoFmtBcd(nxtDouble, 12345.678, 5, 2, true), R(0, "999.99"));
  EXPECT_EQ(IntoFmtBcd(nxtDouble, 12345.678, 10, 2, true), R(0, "12345.67"));
  EXPECT_EQ(IntoFmtBcd(nxtDouble, 12345.678, 10, 2, false), R(kLost, ""));
  EXPECT_EQ(IntoFmtBcd(nxtDouble, 1.0 / 3, 20, 18, true), R(0, "0.333333333333333"));
  // A Single is widened first: 0.1f has non-zero digits down to the 15th.
  EXPECT_EQ(IntoFmtBcd(nxtSingle, 0.1f, 10, 8, false), R(kLost, ""));
  EXPECT_EQ(IntoFmtBcd(nxtSingle, 0.1f, 10, 8, true), R(0, "0.1"));
  EXPECT_EQ(IntoFmtBcd(nxtSingle, -0.5f, 10, 8, false), R(0, "-0.5"));
  EXPECT_EQ(IntoFmtBcd(nxtExtended, 0.1L, 30, 25, false), R(0, "0.1"));
  EXPECT_EQ(IntoFmtBcd(nxtExtended, 1.0L / 3, 30, 25, true), R(0, "0.3333333333333333333"));
  // Mended: a value whose 15-digit text is scientific no longer raises.
  EXPECT_EQ(IntoFmtBcd(nxtDouble, 1e20, 30, 2, false), R(0, "100000000000000000000"));
  EXPECT_EQ(IntoFmtBcd(nxtDouble, -1e20, 10, 2, false), R(kLost, ""));
  EXPECT_EQ(IntoFmtBcd(nxtDouble, -1e20, 10, 2, true), R(0, "-99999999.99"));
  EXPECT_EQ(IntoFmtBcd(nxtDouble, 1e-20, 10, 2, false), R(kLost, ""));
  EXPECT_EQ(IntoFmtBcd(nxtDouble, -1e-20, 10, 2, true), R(0, "0"));
  EXPECT_EQ(IntoFmtBcd(nxtDouble, 1e300, 64, 0, true), R(0, std::string(64, '9')));
  EXPECT_EQ(IntoFmtBcd(nxtDouble, DBL_TRUE_MIN, 64, 63, true), R(0, "0"));
  // NaN has no value; infinities clamp.
  EXPECT_EQ(IntoFmtBcd(nxtDouble, std::nan(""), 10, 2, false), R(kLost, ""));
  EXPECT_EQ(IntoFmtBcd(nxtDouble, std::nan(""), 10, 2, true).first, kNoValue);
  EXPECT_EQ(IntoFmtBcd(nxtSingle, std::nanf(""), 10, 2, true).first, kNoValue);
  EXPECT_EQ(IntoFmtBcd(nxtExtended, std::nanl(""), 10, 2, false).first, kLost);
  EXPECT_EQ(IntoFmtBcd(nxtDouble, -HUGE_VAL, 4, 1, true), R(0, "-999.9"));
  EXPECT_EQ(IntoFmtBcd(nxtExtended, HUGE_VALL, 4, 1, false), R(kLost, ""));
  EXPECT_EQ(IntoFmtBcd(nxtExtended, LDBL_MAX, 4, 1, true), R(0, "999.9"));
}

TEST_F(FmtBcdMappers, BetweenFmtBcdShapes) {
  // The same shape copies the stored bytes, whatever they hold.
  auto same = Prepare(nxtFmtBCD, 10, 2, nxtFmtBCD, 10, 2, false);
  platform::TBcd b = Bcd("-12345678.91", 10, 2);
  std::vector<uint8_t> out;
  EXPECT_EQ(Map(same, &b, out), 0u);
  EXPECT_EQ(std::memcmp(out.data(), &b, out.size()), 0);

  auto narrower = Prepare(nxtFmtBCD, 10, 2, nxtFmtBCD, 6, 1, false);
  EXPECT_EQ(Map(narrower, &b, out), kLost);
  auto narrowerFit = Prepare(nxtFmtBCD, 10, 2, nxtFmtBCD, 6, 1, true);
  EXPECT_EQ(Map(narrowerFit, &b, out), 0u);
  platform::TBcd r;
  std::memcpy(&r, out.data(), out.size());
  EXPECT_EQ(BcdText(r), "-99999.9");
  b = Bcd("123.4", 10, 2);
  EXPECT_EQ(Map(narrower, &b, out), 0u);
  std::memcpy(&r, out.data(), out.size());
  EXPECT_EQ(BcdText(r), "123.4");
}

TEST_F(FmtBcdMappers, ABrokenRecordIsLostUnderEveryAction) {
  for (bool bestFit : {false, true}) {
    for (TnxFieldType target : {nxtInt32, nxtDouble, nxtCurrency}) {
      auto p = Prepare(nxtFmtBCD, 10, 2, target, 0, 0, bestFit);
      std::vector<uint8_t> out;
      platform::TBcd zeroPrecision = Bcd("1", 10, 2);
      zeroPrecision.Precision = 0;
      EXPECT_EQ(Map(p, &zeroPrecision, out), kLost);
      platform::TBcd badNibble = Bcd("1", 10, 2);
      badNibble.Fraction[0] = 0xA0;
      EXPECT_EQ(Map(p, &badNibble, out), kLost);
      platform::TBcd tooLong = Bcd("1", 10, 2);
      tooLong.Precision = 20;  // more digits than the field's 7 bytes hold
      EXPECT_EQ(Map(p, &tooLong, out), kLost);
      platform::TBcd scale = Bcd("1", 10, 2);
      scale.SignSpecialPlaces = 11;
      EXPECT_EQ(Map(p, &scale, out), kLost);
    }
  }
}

TEST_F(FmtBcdMappers, DeclinesOtherPairs) {
  for (auto [source, target] : {std::pair{nxtFmtBCD, nxtShortString}, std::pair{nxtFmtBCD, nxtBoolean},
                                std::pair{nxtDateTime, nxtFmtBCD}}) {
    auto s = MakeField(source, 10, 2);
    auto t = MakeField(target, 10, 2);
    TnxMappingMethod m;
    EXPECT_EQ(TnxFmtBCDMapper::ClassInfo.TryCreateMapper(TnxFmtBCDMapper::ClassInfo, *s, nullptr, *t, nullptr,
                                                         &fail, m),
              nullptr);
    EXPECT_FALSE(m.Assigned());
  }
}

// Reference: the rescale of a decimal string, digits beyond the scale cut,
// past the integer places lost (checking) or all nines (best fit).
std::string RescaledText(const std::string& aWhole, const std::string& aFraction, bool aNegative, int aPrecision,
                         int aScale, bool aBestFit, bool& aLost) {
  std::string whole = aWhole.substr(std::min(aWhole.find_first_not_of('0'), aWhole.size()));
  std::string fraction = aFraction;
  const bool overflow = static_cast<int>(whole.size()) > aPrecision - aScale;
  const bool cut = fraction.size() > static_cast<size_t>(aScale) &&
                   fraction.find_first_not_of('0', static_cast<size_t>(aScale)) != std::string::npos;
  aLost = overflow || cut;
  if (overflow) whole = std::string(static_cast<size_t>(aPrecision - aScale), '9'),
                fraction = std::string(static_cast<size_t>(aScale), '9');
  if (fraction.size() > static_cast<size_t>(aScale)) fraction.resize(static_cast<size_t>(aScale));
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (whole.empty()) whole = "0";
  std::string text = whole + (fraction.empty() ? "" : "." + fraction);
  if (aNegative && text != "0") text = "-" + text;
  (void)aBestFit;
  return text;
}

TEST_F(FmtBcdMappers, EveryShapeAgainstADecimalStringReference) {
  std::mt19937_64 rng(80);
  const int perShape = TestSize(3, 40);
  for (int targetPrecision = 1; targetPrecision <= 64; ++targetPrecision) {
    for (int targetScale = 0; targetScale < std::min(targetPrecision, 64); ++targetScale) {
      for (bool bestFit : {false, true}) {
        const int sourcePrecision = 1 + static_cast<int>(rng() % 64);
        const int sourceScale = static_cast<int>(rng() % static_cast<unsigned>(sourcePrecision));
        auto p = Prepare(nxtFmtBCD, sourcePrecision, sourceScale, nxtFmtBCD, targetPrecision, targetScale, bestFit);
        auto back = Prepare(nxtFmtBCD, targetPrecision, targetScale, nxtInt64, 0, 0, bestFit);
        for (int k = 0; k < perShape; ++k) {
          std::string whole, fraction;
          const int wholeDigits = static_cast<int>(rng() % static_cast<unsigned>(sourcePrecision - sourceScale + 1));
          const int fractionDigits = static_cast<int>(rng() % static_cast<unsigned>(sourceScale + 1));
          for (int i = 0; i < wholeDigits; ++i) whole += static_cast<char>('0' + rng() % 10);
          for (int i = 0; i < fractionDigits; ++i) fraction += static_cast<char>('0' + rng() % 10);
          const bool negative = rng() & 1;
          const std::string text =
              (negative ? "-" : "") + (whole.empty() ? "0" : whole) + (fraction.empty() ? "" : "." + fraction);
          const platform::TBcd source = Bcd(text, sourcePrecision, sourceScale);
          bool lost = false;
          const std::string expected =
              RescaledText(whole, fraction, negative, targetPrecision, targetScale, bestFit, lost);
          std::vector<uint8_t> out;
          const uint32_t r = Map(p, &source, out);
          if (!bestFit && lost) {
            if (r != kLost) ADD_FAILURE() << text << " into " << targetPrecision << "," << targetScale;
            continue;
          }
          platform::TBcd result;
          std::memcpy(&result, out.data(), out.size());
          if (r != 0 || BcdText(result) != expected)
            ADD_FAILURE() << text << " into " << targetPrecision << "," << targetScale << (bestFit ? " best fit" : "")
                          << ": " << r << " " << BcdText(result) << " expected " << expected;
          // And on into Int64: the whole part when it fits.
          const std::string resultText = BcdText(result);
          const size_t dot = resultText.find('.');
          const std::string intText = resultText.substr(0, dot);
          if (intText.size() > 18) continue;
          int64_t n = 0;
          const uint32_t rb = Map(back, &result, out);
          std::memcpy(&n, out.data(), 8);
          const bool fractional = dot != std::string::npos;
          if (!bestFit && fractional) {
            if (rb != kLost) ADD_FAILURE() << resultText << " into Int64 checking";
          } else if (rb != 0 || n != std::stoll(intText == "-0" ? "0" : intText)) {
            ADD_FAILURE() << resultText << " into Int64: " << rb << " " << n;
          }
        }
      }
    }
  }
}


// The plain decimal text of printf's "%.Ne" form: whole and fraction digits.
void SplitScientific(const char* aText, std::string& aWhole, std::string& aFraction, bool& aNegative) {
  std::string t = aText;
  aNegative = t[0] == '-';
  if (aNegative) t.erase(0, 1);
  const size_t e = t.find('e');
  const int exponent = std::stoi(t.substr(e + 1));
  std::string digits = t.substr(0, 1) + t.substr(2, e - 2);
  const int point = exponent + 1;  // digits before the point
  if (point <= 0) {
    aWhole = "";
    aFraction = std::string(static_cast<size_t>(-point), '0') + digits;
  } else if (point >= static_cast<int>(digits.size())) {
    aWhole = digits + std::string(static_cast<size_t>(point) - digits.size(), '0');
    aFraction = "";
  } else {
    aWhole = digits.substr(0, static_cast<size_t>(point));
    aFraction = digits.substr(static_cast<size_t>(point));
  }
}

TEST_F(FmtBcdMappers, NumericSourcesIntoEveryShapeAgainstADecimalStringReference) {
  std::mt19937_64 rng(81);
  const int perShape = TestSize(2, 20);
  const TnxFieldType sources[] = {nxtInt8,  nxtInt16,  nxtInt32,  nxtInt64,    nxtByte,     nxtWord16, nxtWord32,
                                  nxtAutoInc, nxtRecRev, nxtSingle, nxtDouble, nxtExtended, nxtCurrency, nxtBCD};
  for (int precision = 1; precision <= 64; ++precision) {
    for (int scale = 0; scale < precision; ++scale) {
      for (TnxFieldType source : sources) {
        for (bool bestFit : {false, true}) {
          auto p = Prepare(source, 0, 0, nxtFmtBCD, precision, scale, bestFit);
          for (int k = 0; k < perShape; ++k) {
            uint8_t bytes[16] = {};
            std::string whole, fraction;
            bool negative = false;
            const uint64_t bits = rng();
            char text[64];
            switch (source) {
              case nxtInt8: case nxtInt16: case nxtInt32: case nxtInt64: {
                const int width = source == nxtInt8 ? 8 : source == nxtInt16 ? 16 : source == nxtInt32 ? 32 : 64;
                const int64_t v = width == 64 ? static_cast<int64_t>(bits)
                                              : static_cast<int64_t>(bits << (64 - width)) >> (64 - width);
                std::memcpy(bytes, &v, 8);
                negative = v < 0;
                whole = std::to_string(v < 0 ? uint64_t{0} - static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
                break;
              }
              case nxtSingle: case nxtDouble: {
                double v;
                if (source == nxtSingle) {
                  uint32_t b32 = static_cast<uint32_t>(bits);
                  float f;
                  std::memcpy(&f, &b32, 4);
                  if (std::isnan(f) || std::isinf(f)) f = 1.5f;
                  std::memcpy(bytes, &f, 4);
                  v = f;
                } else {
                  // Magnitudes the shapes can hold, and some they cannot.
                  v = std::ldexp(static_cast<double>(bits >> 11), static_cast<int>(rng() % 300) - 260);
                  if (bits & 1) v = -v;
                  std::memcpy(bytes, &v, 8);
                }
                std::snprintf(text, sizeof text, "%.14e", v);
                SplitScientific(text, whole, fraction, negative);
                break;
              }
              case nxtExtended: {
                long double v = std::ldexp(static_cast<long double>(bits), static_cast<int>(rng() % 300) - 260);
                if (rng() & 1) v = -v;
                std::memcpy(bytes, &v, 10);
                std::snprintf(text, sizeof text, "%.18Le", v);
                SplitScientific(text, whole, fraction, negative);
                break;
              }
              case nxtCurrency: case nxtBCD: {
                const int64_t v = static_cast<int64_t>(bits) >> (rng() % 64);
                std::memcpy(bytes, &v, 8);
                negative = v < 0;
                const std::string m =
                    std::to_string(v < 0 ? uint64_t{0} - static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
                const std::string padded = std::string(m.size() < 5 ? 5 - m.size() : 0, '0') + m;
                whole = padded.substr(0, padded.size() - 4);
                fraction = padded.substr(padded.size() - 4);
                break;
              }
              default: {
                const int width = source == nxtByte ? 8 : source == nxtWord16 ? 16 : 32;
                const uint64_t v = bits >> (64 - width);
                std::memcpy(bytes, &v, 8);
                whole = std::to_string(v);
                break;
              }
            }
            bool lost = false;
            const std::string expected = RescaledText(whole, fraction, negative, precision, scale, bestFit, lost);
            std::vector<uint8_t> out;
            const uint32_t r = Map(p, bytes, out);
            platform::TBcd result;
            std::memcpy(&result, out.data(), out.size());
            const bool good = (!bestFit && lost) ? r == kLost : (r == 0 && BcdText(result) == expected);
            if (!good)
              ADD_FAILURE() << "type " << int(source) << " " << (negative ? "-" : "") << whole << "." << fraction
                            << " into " << precision << "," << scale << (bestFit ? " best fit" : "") << ": " << r
                            << " " << (r == 0 ? BcdText(result) : "") << " expected " << expected;
          }
        }
      }
    }
  }
}

TEST_F(FmtBcdMappers, IntoFloatingPointAgainstTheCorrectlyRoundedValue) {
  std::mt19937_64 rng(82);
  const int count = TestSize(20000, 1000000);
  auto single = Prepare(nxtFmtBCD, 64, 30, nxtSingle, 0, 0, true);
  auto dbl = Prepare(nxtFmtBCD, 64, 30, nxtDouble, 0, 0, true);
  auto dblCheck = Prepare(nxtFmtBCD, 64, 30, nxtDouble, 0, 0, false);
  for (int k = 0; k < count; ++k) {
    const int wholeDigits = static_cast<int>(rng() % 35), fractionDigits = static_cast<int>(rng() % 31);
    std::string whole, fraction;
    for (int i = 0; i < wholeDigits; ++i) whole += static_cast<char>('0' + rng() % 10);
    for (int i = 0; i < fractionDigits; ++i) fraction += static_cast<char>('0' + rng() % 10);
    const std::string text = (rng() & 1 ? "-" : "") + (whole.empty() ? "0" : whole) +
                             (fraction.empty() ? "" : "." + fraction);
    const platform::TBcd b = Bcd(text, 64, 30);
    std::vector<uint8_t> out;
    float f;
    double d;
    if (Map(single, &b, out) != 0 || (std::memcpy(&f, out.data(), 4), f != std::strtof(text.c_str(), nullptr)))
      ADD_FAILURE() << text << " into Single";
    if (Map(dbl, &b, out) != 0 || (std::memcpy(&d, out.data(), 8), d != std::strtod(text.c_str(), nullptr)))
      ADD_FAILURE() << text << " into Double";
    // Checking: at most 15 significant digits always pass.
    std::string digits = whole + fraction;
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    if (digits.size() <= 15 && Map(dblCheck, &b, out) != 0) ADD_FAILURE() << text << " checking into Double";
  }
}

}  // namespace
}  // namespace revurov
