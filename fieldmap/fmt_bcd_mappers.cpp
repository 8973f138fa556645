#include "fieldmap/fmt_bcd_mappers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "dictionary/field_descriptor.h"
#include "dictionary/fmt_bcd.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"

namespace revurov {

namespace {

using platform::BcdDigit;
using platform::SetBcdDigit;
using platform::StoreLE;

constexpr uint32_t kMapped = 0;
constexpr uint32_t kNoValue = 1;
constexpr uint32_t kLost = nxeInvalidFieldTransformation;

// A decimal value: 0.Digits x 10^Exponent, digits as numbers 0-9.
struct Decimal {
  bool Negative = false;
  int Count = 0;
  int Exponent = 0;
  uint8_t Digits[80] = {};

  // The digit of weight 10^aPower (0 outside the digits).
  int At(int aPower) const noexcept {
    const int i = Exponent - 1 - aPower;
    return (i >= 0 && i < Count) ? Digits[i] : 0;
  }
  bool AnyBelow(int aPower) const noexcept {
    for (int i = std::max(Exponent - aPower, 0); i < Count; ++i)
      if (Digits[i] != 0) return true;
    return false;
  }
};

void ReadDigits(Decimal& aValue, const char* aFirst, const char* aLast) noexcept {
  for (const char* p = aFirst; p != aLast && aValue.Count < static_cast<int>(sizeof aValue.Digits); ++p)
    if (*p >= '0' && *p <= '9') aValue.Digits[aValue.Count++] = static_cast<uint8_t>(*p - '0');
}

Decimal FromUnsigned(uint64_t aMagnitude, bool aNegative, int aDecimals) noexcept {
  char text[24];
  const auto r = std::to_chars(text, text + sizeof text, aMagnitude);
  Decimal d;
  d.Negative = aNegative;
  ReadDigits(d, text, r.ptr);
  d.Exponent = d.Count - aDecimals;
  return d;
}

Decimal FromSigned(int64_t aValue, int aDecimals) noexcept {
  const uint64_t magnitude = aValue < 0 ? uint64_t{0} - static_cast<uint64_t>(aValue) : static_cast<uint64_t>(aValue);
  return FromUnsigned(magnitude, aValue < 0, aDecimals);
}

// aDigits significant digits, rounded to nearest; the text's own exponent
// decides the place, so no value is ever written in another notation.
template <typename Float>
Decimal FromFloat(Float aValue, int aDigits) noexcept {
  char text[64];
  const auto r = std::to_chars(text, text + sizeof text, aValue, std::chars_format::scientific, aDigits - 1);
  const char* e = std::find(text, r.ptr, 'e');
  Decimal d;
  d.Negative = std::signbit(aValue);
  ReadDigits(d, text, e);
  int exponent = 0;
  const char* p = e + 1;
  if (*p == '+') ++p;
  std::from_chars(p, r.ptr, exponent);
  d.Exponent = exponent + 1;
  return d;
}

// False for a record no FmtBCD value has: a shape beyond 64 digits, a
// scale above the precision, more digits than its bytes hold or a nibble
// above 9.
bool FromBcd(const void* aSource, int32_t aLength, Decimal& aValue) noexcept {
  platform::TBcd b;
  std::memcpy(&b, aSource, static_cast<size_t>(std::clamp(aLength, 0, static_cast<int32_t>(sizeof b))));
  const int precision = b.Precision, scale = platform::BcdScale(b);
  if (aLength < 2 || precision < 1 || precision > platform::kMaxBcdDigits || scale > precision ||
      (precision + 1) / 2 + 2 > aLength)
    return false;
  aValue = {};
  aValue.Negative = platform::BcdIsNegative(b);
  for (int i = 0; i < precision; ++i) {
    const int digit = BcdDigit(b, i);
    if (digit > 9) return false;
    aValue.Digits[aValue.Count++] = static_cast<uint8_t>(digit);
  }
  aValue.Exponent = precision - scale;
  return true;
}

class TnxFmtBCDMapperOf final : public TnxBaseFieldMapper {
public:
  TnxFmtBCDMapperOf(TnxFieldDescriptor& aSource, TnxFieldDescriptor& aTarget, bool aBestFit,
                    TnxMappingMethod& aMapper)
      : fbmSourceType(aSource.FieldType()),
        fbmSourceLength(aSource.Length()),
        fbmSourceUnits(aSource.Units()),
        fbmSourceDecPl(aSource.DecPl()),
        fbmTargetType(aTarget.FieldType()),
        fbmTargetLength(aTarget.Length()),
        fbmTargetUnits(aTarget.Units()),
        fbmTargetDecPl(aTarget.DecPl()),
        fbmBestFit(aBestFit) {
    switch (fbmTargetType) {
      case nxtByte: fbmTargetMaxInt = 255; break;
      case nxtWord16: fbmTargetMaxInt = 65535; break;
      case nxtWord32: case nxtAutoInc: case nxtRecRev: fbmTargetMaxInt = 4294967295LL; break;
      case nxtInt8: fbmTargetMinInt = -128, fbmTargetMaxInt = 127; break;
      case nxtInt16: fbmTargetMinInt = -32768, fbmTargetMaxInt = 32767; break;
      case nxtInt32: fbmTargetMinInt = INT32_MIN, fbmTargetMaxInt = INT32_MAX; break;
      case nxtInt64: fbmTargetMinInt = INT64_MIN, fbmTargetMaxInt = INT64_MAX; break;
      default: break;
    }
    TnxMappingRoutine r = nullptr;
    if (fbmTargetType == nxtFmtBCD) {
      // A shape no field can have is declined rather than met by every value.
      if (fbmTargetUnits < 1 || fbmTargetUnits > platform::kMaxBcdDigits || fbmTargetDecPl < 0 ||
          fbmTargetDecPl > 63 || fbmTargetDecPl > fbmTargetUnits)
        return;
      if (fbmSourceType == nxtFmtBCD && fbmSourceLength == fbmTargetLength && fbmSourceUnits == fbmTargetUnits &&
          fbmSourceDecPl == fbmTargetDecPl)
        r = &Copy;
      else
        r = &ToFmtBcd;
    } else {
      r = &FromFmtBcd;
    }
    aMapper = {r, this};
  }

private:
  TnxFieldType fbmSourceType;
  int32_t fbmSourceLength;
  int32_t fbmSourceUnits;
  int32_t fbmSourceDecPl;
  TnxFieldType fbmTargetType;
  int32_t fbmTargetLength;
  int32_t fbmTargetUnits;
  int32_t fbmTargetDecPl;
  int64_t fbmTargetMaxInt = 0;
  int64_t fbmTargetMinInt = 0;
  bool fbmBestFit;

  static const TnxFmtBCDMapperOf& Self(const void* aData) { return *static_cast<const TnxFmtBCDMapperOf*>(aData); }

  static uint32_t Copy(const void* aData, const void* aSource, void* aTarget) {
    std::memcpy(aTarget, aSource, static_cast<size_t>(Self(aData).fbmTargetLength));
    return kMapped;
  }

  // The source value as decimal digits; 1 for a NaN, kLost for a broken
  // FmtBCD record.
  uint32_t ReadSource(const void* aSource, Decimal& aValue) const noexcept {
    using platform::LoadLE;
    switch (fbmSourceType) {
      case nxtByte: aValue = FromUnsigned(LoadLE<uint8_t>(aSource), false, 0); break;
      case nxtWord16: aValue = FromUnsigned(LoadLE<uint16_t>(aSource), false, 0); break;
      case nxtWord32: case nxtAutoInc: case nxtRecRev: aValue = FromUnsigned(LoadLE<uint32_t>(aSource), false, 0); break;
      case nxtInt8: aValue = FromSigned(LoadLE<int8_t>(aSource), 0); break;
      case nxtInt16: aValue = FromSigned(LoadLE<int16_t>(aSource), 0); break;
      case nxtInt32: aValue = FromSigned(LoadLE<int32_t>(aSource), 0); break;
      case nxtInt64: aValue = FromSigned(LoadLE<int64_t>(aSource), 0); break;
      case nxtCurrency: case nxtBCD: aValue = FromSigned(LoadLE<int64_t>(aSource), 4); break;
      case nxtSingle: case nxtDouble: {
        double v;
        if (fbmSourceType == nxtSingle) {
          float f;
          std::memcpy(&f, aSource, sizeof f);
          v = f;
        } else {
          std::memcpy(&v, aSource, sizeof v);
        }
        if (std::isnan(v)) return kNoValue;
        if (std::isinf(v)) {
          // Past every bound: one digit beyond any field's integer places.
          aValue = {};
          aValue.Negative = v < 0;
          aValue.Count = 1, aValue.Digits[0] = 1, aValue.Exponent = platform::kMaxBcdDigits + 1;
          break;
        }
        aValue = FromFloat(v, 15);
        break;
      }
      case nxtExtended: {
        long double v = 0;
        std::memcpy(&v, aSource, 10);
        if (std::isnan(v)) return kNoValue;
        if (std::isinf(v)) {
          aValue = {};
          aValue.Negative = v < 0;
          aValue.Count = 1, aValue.Digits[0] = 1, aValue.Exponent = platform::kMaxBcdDigits + 1;
          break;
        }
        aValue = FromFloat(v, 19);
        break;
      }
      case nxtFmtBCD:
        if (!FromBcd(aSource, fbmSourceLength, aValue)) return kLost;
        break;
      default: return kLost;
    }
    return kMapped;
  }

  static uint32_t ToFmtBcd(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    Decimal v;
    if (const uint32_t read = self.ReadSource(aSource, v); read != kMapped)
      return read == kNoValue && !self.fbmBestFit ? kLost : read;
    const int precision = self.fbmTargetUnits, scale = self.fbmTargetDecPl;
    const int integerPlaces = precision - scale;
    bool overflow = false;
    for (int i = 0; i < v.Count && !overflow; ++i)
      overflow = v.Digits[i] != 0 && v.Exponent - 1 - i >= integerPlaces;
    const bool truncated = v.AnyBelow(-scale);
    if (!self.fbmBestFit && (overflow || truncated)) return kLost;
    platform::TBcd b;
    b.Precision = static_cast<uint8_t>(precision);
    b.SignSpecialPlaces = static_cast<uint8_t>(scale);
    bool nonZero = false;
    for (int j = 0; j < precision; ++j) {
      const int digit = overflow ? 9 : v.At(integerPlaces - 1 - j);
      SetBcdDigit(b, j, digit);
      nonZero |= digit != 0;
    }
    if (v.Negative && nonZero) b.SignSpecialPlaces |= platform::kBcdNegative;
    std::memcpy(aTarget, &b, static_cast<size_t>(self.fbmTargetLength));
    return kMapped;
  }

  static uint32_t FromFmtBcd(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    Decimal v;
    if (!FromBcd(aSource, self.fbmSourceLength, v)) return kLost;
    switch (self.fbmTargetType) {
      case nxtSingle: return self.ToFloat<float>(v, 7, aTarget);
      case nxtDouble: return self.ToFloat<double>(v, 15, aTarget);
      case nxtExtended: return self.ToFloat<long double>(v, 0, aTarget);
      case nxtCurrency: case nxtBCD: return self.ToCurrency(v, aTarget);
      default: return self.ToInteger(v, aTarget);
    }
  }

  // Magnitude of the digits of weight 10^aLowest and above, scaled by
  // 10^-aLowest; saturates above 2^64.
  static unsigned __int128 Magnitude(const Decimal& aValue, int aLowest) noexcept {
    constexpr unsigned __int128 kCap = static_cast<unsigned __int128>(1) << 65;
    unsigned __int128 m = 0;
    for (int i = 0; i < aValue.Count && aValue.Exponent - 1 - i >= aLowest; ++i) {
      m = m * 10 + aValue.Digits[i];
      if (m > kCap) m = kCap;
    }
    for (int p = std::min(aValue.Exponent - aValue.Count, aValue.Exponent) - 1; p >= aLowest; --p)
      m = m > kCap ? kCap : m * 10;  // zeros below the last digit
    return m > kCap ? kCap : m;
  }

  uint32_t ToInteger(const Decimal& aValue, void* aTarget) const noexcept {
    const unsigned __int128 m = Magnitude(aValue, 0);
    if (!fbmBestFit && aValue.AnyBelow(0)) return kLost;
    __int128 n = aValue.Negative ? -static_cast<__int128>(m) : static_cast<__int128>(m);
    if (n < fbmTargetMinInt || n > fbmTargetMaxInt) {
      if (!fbmBestFit) return kLost;
      n = n < fbmTargetMinInt ? fbmTargetMinInt : fbmTargetMaxInt;
    }
    const auto bits = static_cast<uint64_t>(static_cast<int64_t>(n));
    switch (fbmTargetType) {
      case nxtByte: case nxtInt8: StoreLE<uint8_t>(aTarget, static_cast<uint8_t>(bits)); break;
      case nxtWord16: case nxtInt16: StoreLE<uint16_t>(aTarget, static_cast<uint16_t>(bits)); break;
      case nxtInt64: StoreLE<uint64_t>(aTarget, bits); break;
      default: StoreLE<uint32_t>(aTarget, static_cast<uint32_t>(bits)); break;
    }
    return kMapped;
  }

  uint32_t ToCurrency(const Decimal& aValue, void* aTarget) const noexcept {
    unsigned __int128 m = Magnitude(aValue, -4);
    if (aValue.AnyBelow(-4)) {
      if (!fbmBestFit) return kLost;
      // Rounded to four decimals, ties to even, as the runtime reads it.
      const int next = aValue.At(-5);
      if (next > 5 || (next == 5 && (aValue.AnyBelow(-5) || (m & 1) != 0))) ++m;
    }
    const unsigned __int128 limit = aValue.Negative ? static_cast<unsigned __int128>(1) << 63
                                                    : (static_cast<unsigned __int128>(1) << 63) - 1;
    if (m > limit) {
      if (!fbmBestFit) return kLost;
      m = limit;
    }
    const __int128 n = aValue.Negative ? -static_cast<__int128>(m) : static_cast<__int128>(m);
    StoreLE<int64_t>(aTarget, static_cast<int64_t>(n));
    return kMapped;
  }

  // Read by our own digits-only text, which no locale touches; aKept is
  // the number of significant digits the type guarantees (0: unchecked).
  template <typename Float>
  uint32_t ToFloat(const Decimal& aValue, int aKept, void* aTarget) const noexcept {
    int first = 0, last = aValue.Count;
    while (first < last && aValue.Digits[first] == 0) ++first;
    while (last > first && aValue.Digits[last - 1] == 0) --last;
    Float x = 0;
    if (first < last) {
      char text[96];
      char* p = text;
      *p++ = '0', *p++ = '.';
      for (int i = first; i < last; ++i) *p++ = static_cast<char>('0' + aValue.Digits[i]);
      *p++ = 'e';
      p = std::to_chars(p, text + sizeof text, aValue.Exponent - first).ptr;
      const auto r = std::from_chars(text, p, x);
      if (r.ec == std::errc::result_out_of_range) {
        if (!fbmBestFit) return kLost;
        // Past the range or below the smallest subnormal.
        x = aValue.Exponent - first > 0 ? std::numeric_limits<Float>::max() : Float(0);
      } else if (aKept > 0 && last - first > aKept && !fbmBestFit && !SameDigits(x, aValue, first, last)) {
        return kLost;
      }
    }
    if (aValue.Negative) x = -x;
    if constexpr (sizeof(Float) > sizeof(double))
      std::memcpy(aTarget, &x, 10);
    else
      std::memcpy(aTarget, &x, sizeof x);
    return kMapped;
  }

  // True when the shortest text that reads back as aStored has exactly the
  // value's significant digits.
  template <typename Float>
  static bool SameDigits(Float aStored, const Decimal& aValue, int aFirst, int aLast) noexcept {
    char text[64];
    const auto r = std::to_chars(text, text + sizeof text, aStored, std::chars_format::scientific);
    const char* e = std::find(text, r.ptr, 'e');
    Decimal d;
    ReadDigits(d, text, e);
    while (d.Count > 0 && d.Digits[d.Count - 1] == 0) --d.Count;
    int exponent = 0;
    const char* p = e + 1;
    if (*p == '+') ++p;
    std::from_chars(p, r.ptr, exponent);
    if (d.Count != aLast - aFirst || exponent + 1 != aValue.Exponent - aFirst) return false;
    return std::memcmp(d.Digits, aValue.Digits + aFirst, static_cast<size_t>(d.Count)) == 0;
  }
};

bool IsFmtBcdPartner(TnxFieldType aType) noexcept {
  switch (aType) {
    case nxtByte: case nxtWord16: case nxtWord32: case nxtAutoInc: case nxtRecRev:
    case nxtInt8: case nxtInt16: case nxtInt32: case nxtInt64:
    case nxtSingle: case nxtDouble: case nxtExtended: case nxtCurrency: case nxtBCD:
      return true;
    default: return false;
  }
}

std::unique_ptr<TnxBaseFieldMapper> TryCreateFmtBcdMapper(const TnxFieldMapperClass&,
                                                          TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                          TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                          const TnxFieldMapperDescriptor* aMapperDesc,
                                                          TnxMappingMethod& aMapper) {
  aMapper.Clear();
  const TnxFieldType source = aSourceField.FieldType(), target = aTargetField.FieldType();
  const bool served = source == nxtFmtBCD ? (target == nxtFmtBCD || IsFmtBcdPartner(target))
                                          : (IsFmtBcdPartner(source) && target == nxtFmtBCD);
  if (!served) return nullptr;
  auto mapper = std::make_unique<TnxFmtBCDMapperOf>(aSourceField, aTargetField, nxMapperWantsBestFit(aMapperDesc),
                                                    aMapper);
  if (!aMapper.Assigned()) return nullptr;
  return mapper;
}

}  // namespace

const TnxFieldMapperClass TnxFmtBCDMapper::ClassInfo{u"TnxFmtBCDMapper", &TryCreateFmtBcdMapper};

}  // namespace revurov
