#include "dictionary/fmt_bcd.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "dictionary/startup.h"
#include "platform/text.h"
#include "support/exception_message.h"

namespace revurov {
namespace {

using platform::BcdDigit;
using platform::TnxVariant;
using testing::MessageOf;

TBcd Bcd(std::u16string_view text) {
  TBcd b;
  EXPECT_TRUE(nxTryStrToBcdSep(text, b, u'.')) << platform::Utf16ToUtf8(text);
  return b;
}

std::vector<int> Digits(const TBcd& b) {
  std::vector<int> d;
  for (int i = 0; i < b.Precision; ++i) d.push_back(BcdDigit(b, i));
  return d;
}

std::u16string Text(const TBcd& b) { return platform::BcdToStr(b, u'.'); }

TEST(BcdText, PacksDigitsAfterLeadingZerosAndSign) {
  struct Case {
    const char16_t* text;
    int precision, scale;
    bool negative;
    std::vector<int> digits;
  };
  const Case cases[] = {
      {u"-0012.50", 5, 2, true, {0, 1, 2, 5, 0}},
      {u"0012.50", 4, 2, false, {1, 2, 5, 0}},
      {u"123", 3, 0, false, {1, 2, 3}},
      {u".5", 1, 1, false, {5}},
      {u"5.", 1, 0, false, {5}},
      {u"0", 8, 2, false, {0, 0, 0, 0, 0, 0, 0, 0}},
      {u"", 8, 2, false, {0, 0, 0, 0, 0, 0, 0, 0}},
      {u"-0", 8, 2, false, {0, 0, 0, 0, 0, 0, 0, 0}},
      {u"000", 8, 2, false, {0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    const TBcd b = Bcd(c.text);
    EXPECT_EQ(b.Precision, c.precision) << platform::Utf16ToUtf8(c.text);
    EXPECT_EQ(platform::BcdScale(b), c.scale) << platform::Utf16ToUtf8(c.text);
    EXPECT_EQ(platform::BcdIsNegative(b), c.negative) << platform::Utf16ToUtf8(c.text);
    EXPECT_EQ(Digits(b), c.digits) << platform::Utf16ToUtf8(c.text);
  }
}

// A sign or separator anywhere but where it belongs would be packed as a
// garbage nibble; such text is no number.
TEST(BcdText, RefusesMisplacedSignsSeparatorsAndOtherCharacters) {
  for (const char16_t* text : {u"1E5", u"+5", u"1-2", u"1.2.3", u"--1", u"-", u".", u"-.", u"1 2", u"12-",
                               u"..5", u"0x10", u"1,5"}) {
    TBcd b = platform::BcdZero();
    b.Precision = 99;  // untouched on failure
    EXPECT_FALSE(nxTryStrToBcdSep(text, b, u'.')) << platform::Utf16ToUtf8(text);
    EXPECT_EQ(b.Precision, 99);
    EXPECT_EQ(MessageOf<platform::EBcdException>([&] { nxStrToBcdSep(text, u'.'); }),
              std::u16string(text) + u" is not a valid BCD value");
  }
}

TEST(BcdText, LongTextsKeepTheirFirst64CharactersOnlyWithASeparatorInThem) {
  const std::u16string digits70(70, u'7');
  TBcd b;
  EXPECT_FALSE(nxTryStrToBcdSep(digits70, b, u'.'));
  EXPECT_TRUE(nxTryStrToBcdSep(std::u16string(10, u'1') + u"." + std::u16string(60, u'2'), b, u'.'));
  EXPECT_EQ(b.Precision, 63);
  EXPECT_EQ(platform::BcdScale(b), 53);
  EXPECT_FALSE(nxTryStrToBcdSep(std::u16string(65, u'1') + u".5", b, u'.'));
}

TEST(BcdText, WritesDigitsWithoutLeadingAndTrailingZeros) {
  struct Case {
    const char16_t* in;
    const char16_t* out;
  };
  const Case cases[] = {
      {u"0012.50", u"12.5"}, {u"-0012.50", u"-12.5"}, {u"12.00", u"12"},      {u"120", u"120"},
      {u".05", u"0.05"},     {u"0.0120", u"0.0120"},  {u"-0.5", u"-0.5"},     {u"0", u"0"},
      {u"-.0", u"0"},        {u".0", u"0"},           {u"1000.0001", u"1000.0001"},
  };
  for (const auto& c : cases) EXPECT_EQ(Text(Bcd(c.in)), c.out) << platform::Utf16ToUtf8(c.in);
  TBcd bad;
  EXPECT_EQ(MessageOf<platform::EBcdOverflowException>([&] { platform::BcdToStr(bad, u'.'); }), u"BCD overflow");
  bad.Precision = 65;
  EXPECT_THROW(platform::BcdToStr(bad, u'.'), platform::EBcdOverflowException);
  bad.Precision = 2;
  bad.SignSpecialPlaces = 3;
  EXPECT_THROW(platform::BcdToStr(bad, u'.'), platform::EBcdOverflowException);
}

std::string Int128Text(unsigned __int128 v) {
  std::string s;
  do {
    s.insert(s.begin(), char('0' + int(v % 10)));
    v /= 10;
  } while (v != 0);
  return s;
}

// Random decimals of up to 38 digits: text -> BCD -> text, the value
// compared with an exact reference, and currency where it is exact.
TEST(BcdText, RoundTripsRandomDecimalsAgainstA128BitReference) {
  std::mt19937_64 rng(102);
  for (int n = 0; n < 100000; ++n) {
    const int digits = 1 + int(rng() % 38);
    unsigned __int128 magnitude = 0;
    for (int i = 0; i < digits; ++i) magnitude = magnitude * 10 + rng() % 10;
    const int scale = int(rng() % (digits + 1));
    const bool negative = magnitude != 0 && rng() % 2;
    unsigned __int128 pow = 1;
    for (int i = 0; i < scale; ++i) pow *= 10;
    const std::string whole = Int128Text(magnitude / pow);
    std::string frac = scale ? Int128Text(magnitude % pow + pow).substr(1) : "";
    std::string text = (negative ? "-" : "") + whole + (scale ? "." + frac : "");
    const std::u16string utext(text.begin(), text.end());
    TBcd b;
    ASSERT_TRUE(nxTryStrToBcdSep(utext, b, u'.')) << text;
    // Expected text: trailing zeros go when there are integer digits.
    std::string want = whole;
    if (scale) {
      if (whole != "0") {
        while (!frac.empty() && frac.back() == '0') frac.pop_back();
        if (!frac.empty()) want += "." + frac;
      } else {
        want += "." + frac;
      }
    }
    if (negative) want = "-" + want;
    if (want == "-0" || want == "0.0" || want == "-0.0") want = "0";
    ASSERT_EQ(platform::Utf16ToUtf8(Text(b)), want) << text;
    // The same value written with two more trailing zeros compares equal.
    const TBcd padded = Bcd(utext + (scale ? u"00" : u".00"));
    ASSERT_EQ(nxBcdCompare(b, padded), 0) << text;
    if (scale <= 7 && magnitude < (unsigned __int128)1 << 50) {
      __int128 want4 = negative ? -(__int128)magnitude : (__int128)magnitude;
      if (scale <= 4) {
        for (int i = scale; i < 4; ++i) want4 *= 10;
      } else {
        __int128 div = 1;
        for (int i = 4; i < scale; ++i) div *= 10;
        __int128 q = want4 / div, r = want4 % div;
        if (r < 0) r = -r;
        if (2 * r > div || (2 * r == div && (q % 2 != 0))) q += want4 < 0 ? -1 : 1;
        want4 = q;
      }
      int64_t c = 0;
      const bool fits = want4 >= INT64_MIN && want4 <= INT64_MAX;
      ASSERT_EQ(nxBcdToCurr(b, c), fits) << text;
      if (fits) {
        ASSERT_EQ(c, int64_t(want4)) << text;
      }
    }
  }
}

TEST(BcdCompare, OrdersByValue) {
  EXPECT_EQ(nxBcdCompare(Bcd(u"1.50"), Bcd(u"1.5")), 0);
  EXPECT_EQ(nxBcdCompare(Bcd(u"-0.00"), Bcd(u"0")), 0);
  EXPECT_EQ(nxBcdCompare(Bcd(u"-2"), Bcd(u"1")), -1);
  EXPECT_EQ(nxBcdCompare(Bcd(u"10"), Bcd(u"9.99")), 1);
  EXPECT_EQ(nxBcdCompare(Bcd(u"-10"), Bcd(u"-9.99")), -1);
  EXPECT_EQ(nxBcdCompare(Bcd(u"0.001"), Bcd(u"0.0009")), 1);
}

TEST(BcdRescale, MovesDigitsByPlaceValueAndReportsLosses) {
  TBcd t;
  EXPECT_EQ(nxBcdRescale(Bcd(u"123.45"), t, 4, 1), nxBcdLossTruncation);
  EXPECT_EQ(Text(t), u"123.4");
  EXPECT_EQ(nxBcdRescale(Bcd(u"123.45"), t, 3, 2), nxBcdLossOverflow);
  EXPECT_EQ(Text(t), u"3.45");
  EXPECT_EQ(nxBcdRescale(Bcd(u"-123.45"), t, 10, 4), 0);
  EXPECT_EQ(Text(t), u"-123.45");
  EXPECT_EQ(t.Precision, 10);
  EXPECT_EQ(nxBcdRescale(Bcd(u"123.45"), t, 2, 0), nxBcdLossOverflow | nxBcdLossTruncation);
  EXPECT_EQ(nxBcdRescale(Bcd(u"00.50"), t, 1, 1), 0);  // only zeros fall off
  EXPECT_THROW(nxBcdRescale(Bcd(u"1"), t, 0, 0), EnxBcdOverflow);
  EXPECT_THROW(nxBcdRescale(Bcd(u"1"), t, 65, 0), EnxBcdOverflow);
  EXPECT_THROW(nxBcdRescale(Bcd(u"1"), t, 4, 5), EnxBcdOverflow);
  EXPECT_NO_THROW(nxBcdRescaleChecked(Bcd(u"123.45"), 4, 1, t, nxBcdLossTruncation));
  try {
    nxBcdRescaleChecked(Bcd(u"123.45"), 3, 2, t, nxBcdLossTruncation);
    FAIL();
  } catch (const EnxBcdOverflow& e) {
    EXPECT_EQ(e.ErrorCode(), 9985u);
    EXPECT_NE(e.Message().find(u"BCD overflow"), std::u16string::npos);
  }
}

TEST(BcdCurrency, ConvertsBothWays) {
  TBcd t;
  EXPECT_EQ(nxCurrToBcd(t, 6, 2, 12345678), nxBcdLossTruncation);  // 1234.5678
  EXPECT_EQ(Text(t), u"1234.56");
  EXPECT_EQ(nxCurrToBcd(t, 3, 0, 12345678), nxBcdLossOverflow | nxBcdLossTruncation);
  nxCurrToBcdChecked(32, 4, 0, t, INT64_MIN);
  EXPECT_EQ(Text(t), u"-922337203685477.5808");
  EXPECT_THROW(nxCurrToBcdChecked(6, 2, 0, t, 12345678), EnxBcdOverflow);
  int64_t c = 0;
  EXPECT_FALSE(nxBcdToCurr(Bcd(u"12345678901234567890"), c));
  EXPECT_TRUE(nxBcdToCurr(Bcd(u"922337203685477.5807"), c));
  EXPECT_EQ(c, INT64_MAX);
  EXPECT_TRUE(nxBcdToCurr(Bcd(u"0.00005"), c));
  EXPECT_EQ(c, 0);  // ties to even
  EXPECT_TRUE(nxBcdToCurr(Bcd(u"0.00015"), c));
  EXPECT_EQ(c, 2);
  EXPECT_FALSE(nxBcdToCurr(TBcd{}, c));
}

TEST(BcdFloatRec, PlacesDigitsByExponent) {
  struct Case {
    TFloatRec rec;
    const char16_t* text;
    int precision, scale;
  };
  const Case cases[] = {
      {{-2, false, "123"}, u"0.00123", 5, 5},
      {{1, false, "123"}, u"1.23", 3, 2},
      {{3, true, "123"}, u"-123", 3, 0},
      {{5, false, "123"}, u"12300", 5, 0},
      {{0, false, ""}, u"0", 8, 2},
  };
  for (const auto& c : cases) {
    TBcd t;
    nxFloatRecToBcd(c.rec, t);
    EXPECT_EQ(Text(t), c.text);
    EXPECT_EQ(t.Precision, c.precision);
    EXPECT_EQ(platform::BcdScale(t), c.scale);
  }
  TBcd t;
  EXPECT_THROW(nxFloatRecToBcd({70, false, "1"}, t), EnxBcdOverflow);
  EXPECT_THROW(nxFloatRecToBcd({-70, false, "1"}, t), EnxBcdOverflow);
}

// Through the 15-significant-digit general text: whatever needs an
// exponent there is no BCD.
TEST(BcdDouble, GoesThroughTheGeneralFormat) {
  struct Case {
    double value;
    const char16_t* text;
  };
  const Case cases[] = {{0.1, u"0.1"},
                        {1.0 / 3, u"0.333333333333333"},
                        {2.0 / 3, u"0.666666666666667"},
                        {999999999999999.0, u"999999999999999"},
                        {0.0001, u"0.0001"},
                        {-1.5, u"-1.5"},
                        {100, u"100"},
                        {-0.0, u"0"}};
  for (const auto& c : cases) EXPECT_EQ(Text(nxDoubleToBcd(c.value)), c.text) << c.value;
  for (double v : {1e20, 1e15, 0.00001, 1.5e-7, 123456789012345678.0})
    EXPECT_THROW(nxDoubleToBcd(v), platform::EBcdException) << v;
  EXPECT_DOUBLE_EQ(nxBcdToDouble(Bcd(u"-12.125")), -12.125);
}

TEST(BcdCurrField, CutsDecimalsAndRefusesIntegerPartsTooLong) {
  auto curr = [](double v) { return TnxVariant::FromDouble(v); };
  EXPECT_EQ(nxVariantToBcdCurr(curr(-1.23456), 10, 2), -12300);
  EXPECT_EQ(nxVariantToBcdCurr(curr(1.23456), 10, 4), 12346);  // currency rounds to 4 places first
  EXPECT_EQ(nxVariantToBcdCurr(curr(99.9), 3, 1), 999000);
  EXPECT_THROW(nxVariantToBcdCurr(curr(100), 3, 1), EnxBcdOverflow);  // 10^n itself has n + 1 digits
  EXPECT_THROW(nxVariantToBcdCurr(curr(-100), 3, 1), EnxBcdOverflow);
  EXPECT_THROW(nxVariantToBcdCurr(curr(1), 2, 2), EnxBcdOverflow);
  EXPECT_EQ(nxVariantToBcdCurr(TnxVariant::FromCurrency(INT64_MAX), 20, 4), INT64_MAX);
  EXPECT_EQ(nxVariantToBcdCurr(TnxVariant::FromBcd(Bcd(u"12.5")), 5, 1), 125000);
}

TEST(BcdFmtBuffer, WritesTheLeadingBytesAndAllowsOnlyTruncation) {
  uint8_t buf[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  nxVariantToFmtBcdBuffer(TnxVariant::FromString(u"123.456"), 5, 2, buf, 5);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 5), (std::vector<uint8_t>{5, 2, 0x12, 0x34, 0x50}));
  EXPECT_THROW(nxVariantToFmtBcdBuffer(TnxVariant::FromDouble(1234.5), 5, 2, buf, 5), EnxBcdOverflow);
  EXPECT_THROW(nxVariantToFmtBcdBuffer(TnxVariant::FromInteger(1), 5, 2, buf, 4), EnxBcdOverflow);
  uint8_t neg[4];
  nxVariantToFmtBcdBuffer(TnxVariant::FromInteger(-7), 3, 0, neg, 4);
  EXPECT_EQ(std::vector<uint8_t>(neg, neg + 4), (std::vector<uint8_t>{3, 0x80, 0x00, 0x70}));
}

TEST(BcdVariant, ConvertsOtherKindsAndNegates) {
  struct Case {
    TnxVariant value;
    const char16_t* text;
  };
  const Case cases[] = {
      {TnxVariant::FromInteger(-42), u"-42"},       {TnxVariant::FromUInt64(UINT64_MAX), u"18446744073709551615"},
      {TnxVariant::FromCurrency(15000), u"1.5"},    {TnxVariant::FromDouble(2.25), u"2.25"},
      {TnxVariant::FromString(u"0012.50"), u"12.5"}, {TnxVariant::FromBoolean(true), u"-1"},
      {TnxVariant(), u"0"},
  };
  for (const auto& c : cases) {
    TBcd b;
    nxVariantToBcd(c.value, b);
    EXPECT_EQ(Text(b), c.text);
  }
  TBcd b;
  EXPECT_THROW(nxVariantToBcd(TnxVariant::Null(), b), platform::EVariantTypeCastError);
  TnxVariant v;
  nxBcdToVariant(Bcd(u"1.5"), v);
  EXPECT_EQ(v.VarType(), platform::varFMTBcd);
  EXPECT_EQ(v.AsString(), u"1.5");
  EXPECT_EQ(v.AsCurrency(), 15000);
  TFMTBcdVariantTypeFix::UnaryOp(v, opNegate);
  EXPECT_EQ(v.VarType(), platform::varFMTBcd);
  EXPECT_EQ(v.AsString(), u"-1.5");
  EXPECT_THROW(TFMTBcdVariantTypeFix::UnaryOp(v, opNot), platform::EVariantInvalidOpError);
}

TEST(BcdStartup, SetsTheRoutineVariables) {
  TnxDictionaryStartupGuard dictionary;
  ASSERT_NE(nxStrToBcd, nullptr);
  EXPECT_EQ(Text(nxStrToBcd(u"-3.25")), u"-3.25");
  TBcd b;
  EXPECT_TRUE(nxTryStrToBcd(u"7", b));
  EXPECT_FALSE(nxTryStrToBcd(u"7x", b));
}

}  // namespace
}  // namespace revurov
