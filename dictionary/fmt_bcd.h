// Packed-decimal numbers (BCD) of nxtFmtBCD fields and BCD variants:
// conversion from and to currency, text, doubles and variants, and
// rescaling to a field's precision and decimals with loss detection.
//
// Contract:
// - Callers reach the text, double, currency and compare routines through
//   the routine variables below (set at the dictionary's start-up; they
//   already hold the same routines before it).
// - Losses: nxBcdLossOverflow when a non-zero digit falls off the high end,
//   nxBcdLossTruncation when one falls off the low end. A target shape that
//   no BCD has (precision 0 or above 64, scale above 63 or the precision)
//   raises EnxBcdOverflow too.
// - EnxBcdOverflow: code 9985, "BCD overflow". The text routines raise the
//   runtime's EBcdException "%s is not a valid BCD value" and
//   EBcdOverflowException "BCD overflow" instead.
// - nxVariantToBcdCurr refuses an integer part of n or more digits for
//   n = precision - decimals (10^n itself included).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "lowlevel/errors/exceptions.h"
#include "platform/bcd.h"
#include "platform/variant.h"

namespace revurov {

using platform::TBcd;

REVUROV_EXCEPTION_CLASS(EnxBcdException, EnxBaseException);
REVUROV_EXCEPTION_CLASS(EnxBcdOverflow, EnxBcdException);

inline constexpr uint8_t nxBcdLossOverflow = 1;
inline constexpr uint8_t nxBcdLossTruncation = 2;

// A decimal representation: the value is 0.d1...dn x 10^Exponent.
struct TFloatRec {
  int16_t Exponent = 0;
  bool Negative = false;
  std::string Digits;  // "0" to "9", no leading zero; empty for zero
};

uint8_t nxBcdRescale(const TBcd& aSource, TBcd& aTarget, uint16_t aPrecision, uint16_t aScale);
void nxBcdRescaleChecked(const TBcd& aSource, uint16_t aPrecision, uint16_t aScale, TBcd& aTarget,
                         uint8_t aAllowedLoss);
uint8_t nxCurrToBcd(TBcd& aTarget, uint16_t aPrecision, uint16_t aScale, int64_t aValue);
void nxCurrToBcdChecked(uint16_t aPrecision, uint16_t aScale, uint8_t aAllowedLoss, TBcd& aTarget, int64_t aValue);
void nxFloatRecToBcd(const TFloatRec& aFloatRec, TBcd& aTarget);

void nxBcdToVariant(const TBcd& aBcd, platform::TnxVariant& aValue);
// A BCD variant's own BCD; any other value converted as the runtime
// converts it to its BCD variant type (text with the global separator).
void nxVariantToBcd(const platform::TnxVariant& aValue, TBcd& aBcd);
void nxVariantToFmtBcdBuffer(const platform::TnxVariant& aValue, uint16_t aPrecision, uint16_t aScale,
                             void* aBuffer, int32_t aLength);
// The value of an nxtBCD field: currency scaled by 10,000.
int64_t nxVariantToBcdCurr(const platform::TnxVariant& aValue, int32_t aPrecision, int32_t aDecimals);

std::u16string nxBcdToStr(const TBcd& aBcd);

extern double (*nxBcdToDouble)(const TBcd& aBcd);
extern int (*nxBcdCompare)(const TBcd& a, const TBcd& b);
extern TBcd (*nxStrToBcd)(std::u16string_view aText);
extern TBcd (*nxStrToBcdSep)(std::u16string_view aText, char16_t aSeparator);
extern TBcd (*nxDoubleToBcd)(double aValue);
extern bool (*nxTryStrToBcd)(std::u16string_view aText, TBcd& aBcd);
extern bool (*nxTryStrToBcdSep)(std::u16string_view aText, TBcd& aBcd, char16_t aSeparator);
extern bool (*nxBcdToCurr)(const TBcd& aBcd, int64_t& aCurrency);

// The runtime's variant operation codes that a unary operation takes.
enum TVarOp : uint8_t { opNegate = 12, opNot = 13 };

// Negation of BCD variants: the sign bit of the BCD inverted. Any other
// operation raises EVariantInvalidOpError.
struct TFMTBcdVariantTypeFix {
  static void UnaryOp(platform::TnxVariant& Right, TVarOp Operator);
};

// The dictionary's start-up of this unit: sets the routine variables and
// checks that currency converts without loss.
void nxFmtBcdStartup();
void nxFmtBcdShutdown();

}  // namespace revurov
