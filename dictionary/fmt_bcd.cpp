#include "dictionary/fmt_bcd.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/wide_strings/utils_convert.h"
#include "platform/format.h"
#include "platform/text.h"

namespace revurov {

using platform::BcdDigit;
using platform::SetBcdDigit;
using platform::TnxVariant;

namespace {

[[noreturn]] void Overflow() { throw EnxBcdOverflow(nxeOutOfRange, u"BCD overflow"); }

char16_t GlobalSeparator() { return platform::FormatSettings().DecimalSeparator; }

double BcdToDoubleImpl(const TBcd& aBcd) {
  std::string text = platform::Utf16ToUtf8(nxBcdToStr(aBcd));
  const char sep = static_cast<char>(GlobalSeparator());
  for (char& c : text)
    if (c == sep) c = '.';
  return std::strtod(text.c_str(), nullptr);
}

int BcdCompareImpl(const TBcd& a, const TBcd& b) { return platform::BcdCompare(a, b); }

bool TryStrToBcdSepImpl(std::u16string_view aText, TBcd& aBcd, char16_t aSeparator) {
  return platform::TryStrToBcd(aText, aBcd, aSeparator);
}

bool TryStrToBcdImpl(std::u16string_view aText, TBcd& aBcd) { return platform::TryStrToBcd(aText, aBcd, GlobalSeparator()); }

TBcd StrToBcdSepImpl(std::u16string_view aText, char16_t aSeparator) {
  TBcd b;
  if (!platform::TryStrToBcd(aText, b, aSeparator))
    throw platform::EBcdException(platform::Format(u"%s is not a valid BCD value", {aText}));
  return b;
}

TBcd StrToBcdImpl(std::u16string_view aText) { return StrToBcdSepImpl(aText, GlobalSeparator()); }

// The runtime's general format of 15 significant digits: a value that
// needs an exponent there ("1E20") is no BCD text.
TBcd DoubleToBcdImpl(double aValue) { return StrToBcdImpl(nxFloatToStr(aValue, platform::FormatSettings())); }

bool BcdToCurrImpl(const TBcd& aBcd, int64_t& aCurrency) { return platform::BcdToCurr(aBcd, aCurrency); }

}  // namespace

double (*nxBcdToDouble)(const TBcd&) = &BcdToDoubleImpl;
int (*nxBcdCompare)(const TBcd&, const TBcd&) = &BcdCompareImpl;
TBcd (*nxStrToBcd)(std::u16string_view) = &StrToBcdImpl;
TBcd (*nxStrToBcdSep)(std::u16string_view, char16_t) = &StrToBcdSepImpl;
TBcd (*nxDoubleToBcd)(double) = &DoubleToBcdImpl;
bool (*nxTryStrToBcd)(std::u16string_view, TBcd&) = &TryStrToBcdImpl;
bool (*nxTryStrToBcdSep)(std::u16string_view, TBcd&, char16_t) = &TryStrToBcdSepImpl;
bool (*nxBcdToCurr)(const TBcd&, int64_t&) = &BcdToCurrImpl;

uint8_t nxBcdRescale(const TBcd& aSource, TBcd& aTarget, uint16_t aPrecision, uint16_t aScale) {
  const int sp = aSource.Precision, ss = platform::BcdScale(aSource);
  if (aPrecision == 0 || aPrecision > platform::kMaxBcdDigits || aScale > aPrecision || aScale > 63 ||
      sp > platform::kMaxBcdDigits)
    Overflow();
  TBcd t;
  t.Precision = static_cast<uint8_t>(aPrecision);
  t.SignSpecialPlaces = static_cast<uint8_t>((aSource.SignSpecialPlaces & ~platform::kBcdScaleMask) | aScale);
  const int shift = (aPrecision - aScale) - (sp - ss);
  uint8_t loss = 0;
  for (int i = 0; i < sp; ++i) {
    const int d = BcdDigit(aSource, i), at = i + shift;
    if (at < 0) {
      if (d != 0) loss |= nxBcdLossOverflow;
    } else if (at >= aPrecision) {
      if (d != 0) loss |= nxBcdLossTruncation;
    } else {
      SetBcdDigit(t, at, d);
    }
  }
  aTarget = t;
  return loss;
}

void nxBcdRescaleChecked(const TBcd& aSource, uint16_t aPrecision, uint16_t aScale, TBcd& aTarget,
                         uint8_t aAllowedLoss) {
  if (nxBcdRescale(aSource, aTarget, aPrecision, aScale) & ~aAllowedLoss) Overflow();
}

uint8_t nxCurrToBcd(TBcd& aTarget, uint16_t aPrecision, uint16_t aScale, int64_t aValue) {
  return nxBcdRescale(platform::CurrToBcd(aValue), aTarget, aPrecision, aScale);
}

void nxCurrToBcdChecked(uint16_t aPrecision, uint16_t aScale, uint8_t aAllowedLoss, TBcd& aTarget, int64_t aValue) {
  if (nxCurrToBcd(aTarget, aPrecision, aScale, aValue) & ~aAllowedLoss) Overflow();
}

void nxFloatRecToBcd(const TFloatRec& aFloatRec, TBcd& aTarget) {
  const int n = static_cast<int>(aFloatRec.Digits.size()), e = aFloatRec.Exponent;
  TBcd t;
  if (n == 0) {
    aTarget = platform::BcdZero();
    return;
  }
  const int precision = e < 0 ? n - e : (e <= n ? n : e);
  if (precision > platform::kMaxBcdDigits) Overflow();
  int at = e < 0 ? -e : 0;  // leading zero digits after the point
  for (char c : aFloatRec.Digits) {
    if (c < '0' || c > '9') Overflow();
    SetBcdDigit(t, at++, c - '0');
  }
  t.Precision = static_cast<uint8_t>(precision);
  t.SignSpecialPlaces = static_cast<uint8_t>(e < n ? n - e : 0);
  if (aFloatRec.Negative) t.SignSpecialPlaces |= platform::kBcdNegative;
  aTarget = t;
}

void nxBcdToVariant(const TBcd& aBcd, TnxVariant& aValue) { aValue = TnxVariant::FromBcd(aBcd); }

void nxVariantToBcd(const TnxVariant& aValue, TBcd& aBcd) {
  using namespace platform;
  switch (aValue.VarType()) {
    case varFMTBcd: aBcd = aValue.BcdValue(); return;
    case varEmpty: aBcd = BcdZero(); return;
    case varCurrency: aBcd = CurrToBcd(aValue.AsCurrency()); return;
    case varSingle: case varDouble: case varDate: aBcd = nxDoubleToBcd(aValue.AsDouble()); return;
    case varBoolean: aBcd = nxStrToBcdSep(aValue.AsBoolean() ? u"-1" : u"0", u'.'); return;
    case varOleStr: case varUString: case varString: aBcd = nxStrToBcd(aValue.AsString()); return;
    default:
      if (aValue.IsOrdinal()) {
        aBcd = nxStrToBcdSep(aValue.AsString(), u'.');
        return;
      }
      throw EVariantTypeCastError(u"Variante des Typs (" + std::u16string(aValue.IsNull() ? u"Null" : u"Unknown") +
                                  u") konnte nicht in Typ (FMTBcdVariantType) konvertiert werden");
  }
}

void nxVariantToFmtBcdBuffer(const TnxVariant& aValue, uint16_t aPrecision, uint16_t aScale, void* aBuffer,
                             int32_t aLength) {
  if (aLength < (aPrecision + 1) / 2 + 2) Overflow();
  TBcd source, target;
  nxVariantToBcd(aValue, source);
  nxBcdRescaleChecked(source, aPrecision, aScale, target, nxBcdLossTruncation);
  auto* out = static_cast<uint8_t*>(aBuffer);
  const int32_t length = aLength < 34 ? aLength : 34;
  out[0] = target.Precision;
  out[1] = target.SignSpecialPlaces;
  std::memcpy(out + 2, target.Fraction, size_t(length - 2));
}

int64_t nxVariantToBcdCurr(const TnxVariant& aValue, int32_t aPrecision, int32_t aDecimals) {
  static constexpr int64_t kPow10[] = {1, 10, 100, 1000, 10000};
  int64_t c = aValue.AsCurrency();
  if (aDecimals >= 0 && aDecimals <= 3) c -= c % kPow10[4 - aDecimals];
  const int32_t n = aPrecision - aDecimals;
  if (n <= 0) Overflow();
  if (n < 15) {
    // An integer part of exactly 10^n has n + 1 digits: refused as well.
    int64_t limit = 1;
    for (int32_t i = 0; i < n + 4; ++i) limit *= 10;
    const int64_t whole = c / 10000;
    const int64_t magnitude = (whole < 0 ? -whole : whole) * 10000;
    if (magnitude >= limit) Overflow();
  } else if (std::fabs(static_cast<long double>(c)) > 9223372036854775807.0L) {
    Overflow();
  }
  return c;
}

std::u16string nxBcdToStr(const TBcd& aBcd) { return platform::BcdToStr(aBcd, GlobalSeparator()); }

void TFMTBcdVariantTypeFix::UnaryOp(TnxVariant& Right, TVarOp Operator) {
  if (Operator != opNegate || Right.VarType() != platform::varFMTBcd)
    throw platform::EVariantInvalidOpError(u"Ung\u00FCltige Variant-Operation");
  TBcd b = Right.BcdValue();
  b.SignSpecialPlaces ^= platform::kBcdNegative;
  Right = TnxVariant::FromBcd(b);
}

void nxFmtBcdStartup() {
  nxBcdToDouble = &BcdToDoubleImpl;
  nxBcdCompare = &BcdCompareImpl;
  nxStrToBcd = &StrToBcdImpl;
  nxStrToBcdSep = &StrToBcdSepImpl;
  nxDoubleToBcd = &DoubleToBcdImpl;
  nxTryStrToBcd = &TryStrToBcdImpl;
  nxTryStrToBcdSep = &TryStrToBcdSepImpl;
  nxBcdToCurr = &BcdToCurrImpl;
  TBcd check;
  nxCurrToBcdChecked(32, 4, 0, check, -10000);
}

void nxFmtBcdShutdown() {}

}  // namespace revurov
