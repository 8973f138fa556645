#include "fieldmap/floating_mappers.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "dictionary/field_descriptor.h"
#include "dictionary/fmt_bcd.h"
#include "dictionary/locale_descriptor.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/wide_strings/utils_convert.h"
#include "platform/date_time.h"
#include "platform/endian.h"
#include "platform/locale.h"

namespace revurov {

namespace {

using platform::LoadLE;
using platform::StoreLE;

constexpr uint32_t kMapped = 0;
constexpr uint32_t kNoValue = 1;
constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr int64_t kCurrencyScale = 10000;
constexpr int64_t kMaxCurrency = std::numeric_limits<int64_t>::max();
constexpr uint32_t kNeutralLocale = 2048;

// ---- the four sources ----

long double LoadExtended(const void* aSource) noexcept {
  long double v = 0;
  std::memcpy(&v, aSource, 10);
  return v;
}
void StoreExtended(void* aTarget, long double aValue) noexcept { std::memcpy(aTarget, &aValue, 10); }

// Work is wide enough to hold every value exactly and round it as Extended
// would: a Double does for the 4- and 8-byte sources.
struct SingleSource {
  using Value = float;
  using Work = double;
  static constexpr int kSize = 4;
  static constexpr long double kResolution = 1E-4L;
  static double Load(const void* p) noexcept { return LoadLE<float>(p); }
};
struct DoubleSource {
  using Value = double;
  using Work = double;
  static constexpr int kSize = 8;
  static constexpr long double kResolution = 1E-12L;
  static double Load(const void* p) noexcept { return LoadLE<double>(p); }
};
struct ExtendedSource {
  using Value = long double;
  using Work = long double;
  static constexpr int kSize = 10;
  static constexpr long double kResolution = 1E-16L;
  static long double Load(const void* p) noexcept { return LoadExtended(p); }
};

bool Same(long double x, long double c, long double r) noexcept {
  return std::fabs(x - c) <= std::max(std::min(std::fabs(x), std::fabs(c)) * r, r);
}
bool Whole(long double x) noexcept { return std::fabs(x - std::truncl(x)) <= 1E-16L; }
// The largest Double not above 1E-16: the same fraction test in Double width.
constexpr double kWholeLimit = [] {
  const double d = static_cast<double>(1E-16L);
  return d > 1E-16L ? std::bit_cast<double>(std::bit_cast<uint64_t>(d) - 1) : d;
}();
bool Whole(double x) noexcept { return std::fabs(x - std::trunc(x)) <= kWholeLimit; }

template <class T, class F>
void StoreInt(void* aTarget, F aRounded) noexcept {
  if constexpr (std::is_same_v<T, uint32_t>)
    StoreLE<T>(aTarget, static_cast<T>(static_cast<uint64_t>(aRounded)));
  else
    StoreLE<T>(aTarget, static_cast<T>(static_cast<int64_t>(aRounded)));
}

// ---- floating-point sources, no state ----

template <class S>
uint32_t FloatToBoolean(const void*, const void* aSource, void* aTarget) {
  const long double x = S::Load(aSource);
  if (std::isnan(x)) return kNoValue;
  *static_cast<uint8_t*>(aTarget) = Same(x, 0, S::kResolution) ? 0 : 0xFF;
  return kMapped;
}
template <class S>
uint32_t FloatToBooleanCheck(const void*, const void* aSource, void* aTarget) {
  const long double x = S::Load(aSource);
  if (std::isnan(x)) return kLost;
  const bool isFalse = Same(x, 0, S::kResolution);
  *static_cast<uint8_t*>(aTarget) = isFalse ? 0 : 0xFF;
  return isFalse || Same(x, 1, S::kResolution) ? kMapped : kLost;
}

// A Double holds the bounds up to 32 bits; 2^63 - 1 needs Extended.
template <class S, class T>
using BoundOf = std::conditional_t<(sizeof(T) < 8), typename S::Work, long double>;

template <class S, class T>
uint32_t FloatToInt(const void*, const void* aSource, void* aTarget) {
  const typename S::Work x = S::Load(aSource);
  if (std::isnan(x)) return kNoValue;
  constexpr BoundOf<S, T> lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
  StoreInt<T>(aTarget, x < lo ? lo : x > hi ? hi : std::nearbyint(x));
  return kMapped;
}
template <class S, class T>
uint32_t FloatToIntCheck(const void*, const void* aSource, void* aTarget) {
  const typename S::Work x = S::Load(aSource);
  constexpr BoundOf<S, T> lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
  // NaN fails the range test.
  if (!(x >= lo && x <= hi) || !Whole(x)) return kLost;
  StoreInt<T>(aTarget, std::nearbyint(x));
  return kMapped;
}

template <class S, class T>
uint32_t FloatWiden(const void*, const void* aSource, void* aTarget) {
  const long double x = S::Load(aSource);
  if constexpr (sizeof(T) > 8)
    StoreExtended(aTarget, x);
  else
    StoreLE<T>(aTarget, static_cast<T>(x));
  return kMapped;
}
template <class S, class T>
uint32_t FloatNarrow(const void*, const void* aSource, void* aTarget) {
  const long double x = S::Load(aSource);
  if (std::isnan(x)) return kNoValue;
  constexpr long double max = std::numeric_limits<T>::max();
  StoreLE<T>(aTarget, std::fabs(x) > max ? std::copysign(std::numeric_limits<T>::max(), static_cast<T>(x))
                                         : static_cast<T>(x));
  return kMapped;
}
template <class S, class T>
uint32_t FloatNarrowCheck(const void*, const void* aSource, void* aTarget) {
  const long double x = S::Load(aSource), m = std::fabs(x);
  if (!(m <= std::numeric_limits<T>::max()) || (m != 0 && m < std::numeric_limits<T>::min())) return kLost;
  StoreLE<T>(aTarget, static_cast<T>(x));
  return kMapped;
}

template <class S>
uint32_t FloatToCurrency(const void*, const void* aSource, void* aTarget) {
  const long double e = static_cast<long double>(S::Load(aSource)) * kCurrencyScale;
  if (std::isnan(e)) return kNoValue;
  constexpr long double max = kMaxCurrency;
  StoreLE<int64_t>(aTarget, e < -max ? -kMaxCurrency : e > max ? kMaxCurrency : static_cast<int64_t>(std::nearbyintl(e)));
  return kMapped;
}
template <class S>
uint32_t FloatToCurrencyCheck(const void*, const void* aSource, void* aTarget) {
  const long double e = static_cast<long double>(S::Load(aSource)) * kCurrencyScale;
  constexpr long double max = kMaxCurrency;
  if (!(e >= -max && e <= max) || !Whole(e)) return kLost;
  StoreLE<int64_t>(aTarget, static_cast<int64_t>(std::nearbyintl(e)));
  return kMapped;
}

template <int kSize>
uint32_t CopyBytes(const void*, const void* aSource, void* aTarget) {
  std::memcpy(aTarget, aSource, kSize);
  return kMapped;
}

// Days since 30 December 1899 become 1 January of year 1 = day 1, in
// milliseconds.
uint32_t DoubleToDateTime(const void*, const void* aSource, void* aTarget) {
  const double x = LoadLE<double>(aSource);
  if (!std::isfinite(x) || x < platform::MinDateTime || x >= 2958466.0) return kLost;
  const platform::TTimeStamp ts = platform::DateTimeToTimeStamp(x);
  StoreLE<double>(aTarget, double(ts.Date) * platform::MSecsPerDay + ts.Time);
  return kMapped;
}

// ---- Currency and BCD sources, no state ----

int64_t LoadRaw(const void* aSource) noexcept { return LoadLE<int64_t>(aSource); }

// raw / 10,000, ties to even, exactly.
int64_t RoundRaw(int64_t aRaw) noexcept {
  int64_t q = aRaw / kCurrencyScale;
  const int64_t r = aRaw % kCurrencyScale, twice = 2 * (r < 0 ? -r : r);
  if (twice > kCurrencyScale || (twice == kCurrencyScale && (q & 1))) q += r < 0 ? -1 : 1;
  return q;
}

uint32_t CurrencyToBoolean(const void*, const void* aSource, void* aTarget) {
  *static_cast<uint8_t*>(aTarget) = LoadRaw(aSource) ? 0xFF : 0;
  return kMapped;
}
uint32_t CurrencyToBooleanCheck(const void*, const void* aSource, void* aTarget) {
  const int64_t raw = LoadRaw(aSource);
  *static_cast<uint8_t*>(aTarget) = raw ? 0xFF : 0;
  return raw == 0 || raw == kCurrencyScale ? kMapped : kLost;
}

template <class T>
uint32_t CurrencyToInt(const void*, const void* aSource, void* aTarget) {
  const __int128 raw = LoadRaw(aSource);
  constexpr __int128 lo = __int128{std::numeric_limits<T>::min()} * kCurrencyScale,
                     hi = __int128{std::numeric_limits<T>::max()} * kCurrencyScale;
  StoreLE<T>(aTarget, raw < lo ? std::numeric_limits<T>::min()
                      : raw > hi ? std::numeric_limits<T>::max()
                                 : static_cast<T>(RoundRaw(static_cast<int64_t>(raw))));
  return kMapped;
}
template <class T>
uint32_t CurrencyToIntCheck(const void*, const void* aSource, void* aTarget) {
  const int64_t raw = LoadRaw(aSource);
  if (raw % kCurrencyScale != 0) return kLost;
  const int64_t v = raw / kCurrencyScale;
  if (!std::in_range<T>(v)) return kLost;
  StoreLE<T>(aTarget, static_cast<T>(v));
  return kMapped;
}

template <class T>
uint32_t CurrencyToFloat(const void*, const void* aSource, void* aTarget) {
  const long double x = static_cast<long double>(LoadRaw(aSource)) / kCurrencyScale;
  if constexpr (sizeof(T) > 8)
    StoreExtended(aTarget, x);
  else
    StoreLE<T>(aTarget, static_cast<T>(x));
  return kMapped;
}

uint32_t CurrencyCopy(const void*, const void* aSource, void* aTarget) {
  StoreLE<int64_t>(aTarget, std::max(LoadRaw(aSource), -kMaxCurrency));
  return kMapped;
}

// ---- text ----

// The runtime's 15-digit general text ("-3.4E38", "0.1"), built without the
// heap. aSeparator must be one 8-bit unit.
struct NumberChars {
  char Chars[40];
  int Length;
};

template <class F>
NumberChars GeneralText(F aValue, char aSeparator) noexcept {
  NumberChars t;
  if (!std::isfinite(aValue)) {
    const char* s = std::isnan(aValue) ? "NAN" : aValue < 0 ? "-INF" : "INF";
    t.Length = static_cast<int>(std::strlen(s));
    std::memcpy(t.Chars, s, t.Length);
    return t;
  }
  char* end = std::to_chars(t.Chars, t.Chars + sizeof t.Chars, aValue, std::chars_format::general, 15).ptr;
  char* e = std::find(t.Chars, end, 'e');
  if (e != end) {
    // e+20 -> E20, e-07 -> E-7
    *e = 'E';
    char* digits = e + 1;
    char* from = digits;
    if (*from == '+') ++from;
    else if (*from == '-') ++digits, ++from;
    while (from + 1 < end && *from == '0') ++from;
    end = std::copy(from, end, digits);
  }
  t.Length = static_cast<int>(end - t.Chars);
  char* dot = std::find(t.Chars, end, '.');
  if (dot != end) *dot = aSeparator;
  return t;
}

void StoreWideChars(uint8_t* aTarget, const char* aChars, int aCount) noexcept {
  for (int i = 0; i < aCount; ++i) StoreLE<uint16_t>(aTarget + 2 * i, static_cast<uint8_t>(aChars[i]));
  StoreLE<uint16_t>(aTarget + 2 * aCount, 0);
}

void StoreWideText(uint8_t* aTarget, std::u16string_view aText) noexcept {
  for (size_t i = 0; i < aText.size(); ++i) StoreLE<uint16_t>(aTarget + 2 * i, aText[i]);
  StoreLE<uint16_t>(aTarget + 2 * aText.size(), 0);
}

// ---- routines with the target's shape ----

template <class S>
constexpr bool kIsCurrency = std::is_same_v<S, int64_t>;

template <class S>
long double ValueOf(const void* aSource) noexcept {
  if constexpr (kIsCurrency<S>)
    return static_cast<long double>(LoadRaw(aSource)) / kCurrencyScale;
  else
    return S::Load(aSource);
}

template <class S>
class TnxFloatingMapperOf final : public TnxBaseFieldMapper {
public:
  TnxFloatingMapperOf(TnxFieldDescriptor& aTarget, bool aBestFit, TnxMappingMethod& aMapper)
      : fmoTargetLength(aTarget.Length()), fmoTargetUnits(aTarget.Units()), fmoTargetDecPl(aTarget.DecPl()) {
    const TnxLocaleDescriptor* locale = aTarget.GetFieldLocaleDescriptor();
    fmoFormatSettings = platform::LocaleFormatSettings(locale && locale->Locale() ? locale->Locale() : kNeutralLocale);
    TnxMappingRoutine r = nullptr;
    switch (aTarget.FieldType()) {
      case nxtChar: r = aBestFit ? &ToChar : &ToCharCheck; break;
      case nxtWideChar: r = aBestFit ? &ToWideChar : &ToWideCharCheck; break;
      case nxtShortString: r = aBestFit ? &ToShortString : &ToShortStringCheck; break;
      case nxtNullString: r = aBestFit ? &ToNullString : &ToNullStringCheck; break;
      case nxtWideString: r = aBestFit ? &ToWideString : &ToWideStringCheck; break;
      case nxtBCD: {
        int64_t step = 1;
        for (int i = fmoTargetDecPl; i < 4; ++i) step *= 10;
        __int128 max = 1;
        for (int i = 0; i < fmoTargetUnits; ++i) max *= 10;
        max = (max - 1) * step;
        fmoBcdMaxRaw = static_cast<int64_t>(std::min<__int128>(max, kMaxCurrency / step * step));
        if (kIsCurrency<S> && fmoTargetUnits == 20)
          r = &CurrencyCopy;
        else
          r = aBestFit ? &ToBcd : &ToBcdCheck;
        break;
      }
      default: break;
    }
    aMapper = {r, this};
  }

  // A BCD field's shape that a value can be rescaled to.
  static bool BcdShapeFits(const TnxFieldDescriptor& aTarget) noexcept {
    return aTarget.Units() >= 1 && aTarget.Units() <= 20 && aTarget.DecPl() >= 0 && aTarget.DecPl() <= 4 &&
           aTarget.DecPl() <= aTarget.Units();
  }

private:
  int32_t fmoTargetLength;
  platform::TFormatSettings fmoFormatSettings;
  int32_t fmoTargetUnits;
  int32_t fmoTargetDecPl;
  // The largest magnitude the BCD target holds, in raw form.
  int64_t fmoBcdMaxRaw = 0;

  static const TnxFloatingMapperOf& Self(const void* aData) { return *static_cast<const TnxFloatingMapperOf*>(aData); }
  int32_t TextCapacity() const noexcept { return fmoTargetLength - 1; }
  int32_t WideTextCapacity() const noexcept { return fmoTargetLength / 2 - 1; }
  bool AsciiSeparator() const noexcept { return fmoFormatSettings.DecimalSeparator <= 0x7F; }
  NumberChars Text(const void* aSource) const {
    if (AsciiSeparator()) {
      const char separator = static_cast<char>(fmoFormatSettings.DecimalSeparator);
      if constexpr (!kIsCurrency<S>) return GeneralText(S::Load(aSource), separator);
      else return GeneralText(ValueOf<S>(aSource), separator);
    }
    const std::string s = nxFloatToAnsiStr(ValueOf<S>(aSource), fmoFormatSettings);
    NumberChars t;
    t.Length = static_cast<int>(std::min(s.size(), sizeof t.Chars));
    std::memcpy(t.Chars, s.data(), t.Length);
    return t;
  }
  std::u16string WideText(const void* aSource) const { return nxFloatToStr(ValueOf<S>(aSource), fmoFormatSettings); }

  // The digit of a whole value from 0 to 9, or -1.
  static int Digit(const void* aSource) noexcept {
    if constexpr (kIsCurrency<S>) {
      const int64_t raw = LoadRaw(aSource);
      return raw >= 0 && raw <= 9 * kCurrencyScale && raw % kCurrencyScale == 0 ? int(raw / kCurrencyScale) : -1;
    } else {
      const long double x = S::Load(aSource);
      return x >= 0 && x <= 9 && x == std::truncl(x) ? int(x) : -1;
    }
  }

  static uint32_t ToCharCheck(const void*, const void* aSource, void* aTarget) {
    const int d = Digit(aSource);
    if (d < 0) return kLost;
    *static_cast<uint8_t*>(aTarget) = static_cast<uint8_t>('0' + d);
    return kMapped;
  }
  static uint32_t ToChar(const void* aData, const void* aSource, void* aTarget) {
    *static_cast<uint8_t*>(aTarget) = static_cast<uint8_t>(Self(aData).Text(aSource).Chars[0]);
    return kMapped;
  }
  static uint32_t ToWideCharCheck(const void*, const void* aSource, void* aTarget) {
    const int d = Digit(aSource);
    if (d < 0) return kLost;
    StoreLE<uint16_t>(aTarget, static_cast<uint16_t>(u'0' + d));
    return kMapped;
  }
  static uint32_t ToWideChar(const void* aData, const void* aSource, void* aTarget) {
    StoreLE<uint16_t>(aTarget, Self(aData).WideText(aSource)[0]);
    return kMapped;
  }

  static uint32_t PutShort(void* aTarget, const NumberChars& aText, int aCount) {
    auto* p = static_cast<uint8_t*>(aTarget);
    p[0] = static_cast<uint8_t>(aCount);
    std::memcpy(p + 1, aText.Chars, aCount);
    return kMapped;
  }
  static uint32_t PutNull(void* aTarget, const NumberChars& aText, int aCount) {
    auto* p = static_cast<uint8_t*>(aTarget);
    std::memcpy(p, aText.Chars, aCount);
    p[aCount] = 0;
    return kMapped;
  }
  static uint32_t ToShortStringCheck(const void* aData, const void* aSource, void* aTarget) {
    const NumberChars t = Self(aData).Text(aSource);
    if (t.Length > Self(aData).TextCapacity()) return kLost;
    return PutShort(aTarget, t, t.Length);
  }
  static uint32_t ToShortString(const void* aData, const void* aSource, void* aTarget) {
    const NumberChars t = Self(aData).Text(aSource);
    return PutShort(aTarget, t, std::min(t.Length, std::max(0, Self(aData).TextCapacity())));
  }
  static uint32_t ToNullStringCheck(const void* aData, const void* aSource, void* aTarget) {
    const NumberChars t = Self(aData).Text(aSource);
    if (t.Length > Self(aData).TextCapacity()) return kLost;
    return PutNull(aTarget, t, t.Length);
  }
  static uint32_t ToNullString(const void* aData, const void* aSource, void* aTarget) {
    const NumberChars t = Self(aData).Text(aSource);
    return PutNull(aTarget, t, std::min(t.Length, std::max(0, Self(aData).TextCapacity())));
  }
  static uint32_t ToWideStringCheck(const void* aData, const void* aSource, void* aTarget) {
    if (Self(aData).AsciiSeparator()) {
      const NumberChars t = Self(aData).Text(aSource);
      if (t.Length > Self(aData).WideTextCapacity()) return kLost;
      StoreWideChars(static_cast<uint8_t*>(aTarget), t.Chars, t.Length);
      return kMapped;
    }
    const std::u16string t = Self(aData).WideText(aSource);
    if (std::cmp_greater(t.size(), Self(aData).WideTextCapacity())) return kLost;
    StoreWideText(static_cast<uint8_t*>(aTarget), t);
    return kMapped;
  }
  static uint32_t ToWideString(const void* aData, const void* aSource, void* aTarget) {
    if (Self(aData).AsciiSeparator()) {
      const NumberChars t = Self(aData).Text(aSource);
      StoreWideChars(static_cast<uint8_t*>(aTarget), t.Chars,
                     std::min(t.Length, std::max(0, Self(aData).WideTextCapacity())));
      return kMapped;
    }
    const std::u16string t = Self(aData).WideText(aSource);
    StoreWideText(static_cast<uint8_t*>(aTarget),
                  std::u16string_view(t).substr(0, std::max(0, Self(aData).WideTextCapacity())));
    return kMapped;
  }

  enum class BcdFit { Exact, Cut, Beyond, NoValue };

  // The value rescaled to the field in raw form; Cut when digits below the
  // scale were dropped, Beyond when it passes the field's largest magnitude
  // (aRaw then holds that magnitude with the value's sign).
  BcdFit RescaledRaw(const void* aSource, int64_t& aRaw) const {
    TBcd bcd;
    bool negative;
    if constexpr (kIsCurrency<S>) {
      const int64_t raw = LoadRaw(aSource);
      negative = raw < 0;
      nxCurrToBcd(bcd, 32, 4, raw);
    } else {
      const long double x = S::Load(aSource);
      if (std::isnan(x)) return BcdFit::NoValue;
      negative = std::signbit(x);
      aRaw = negative ? -fmoBcdMaxRaw : fmoBcdMaxRaw;
      if (std::fabs(x) > std::numeric_limits<double>::max()) return BcdFit::Beyond;
      // Fixed notation only: the text of 1E15 and up, and of anything
      // below 0.00001, is scientific.
      const std::u16string text = nxFloatToStr(static_cast<double>(x), platform::FormatSettings());
      if (text.find(u'E') != std::u16string::npos) {
        if (std::fabs(x) >= 1) return BcdFit::Beyond;
        aRaw = 0;
        return x == 0 ? BcdFit::Exact : BcdFit::Cut;
      }
      bcd = nxStrToBcd(text);
    }
    TBcd scaled;
    const uint8_t loss = nxBcdRescale(bcd, scaled, static_cast<uint16_t>(fmoTargetUnits),
                                      static_cast<uint16_t>(fmoTargetDecPl));
    aRaw = negative ? -fmoBcdMaxRaw : fmoBcdMaxRaw;
    if (loss & nxBcdLossOverflow) return BcdFit::Beyond;
    int64_t raw = 0;
    if (!nxBcdToCurr(scaled, raw) || raw > fmoBcdMaxRaw || raw < -fmoBcdMaxRaw) return BcdFit::Beyond;
    aRaw = raw;
    return loss & nxBcdLossTruncation ? BcdFit::Cut : BcdFit::Exact;
  }

  static uint32_t ToBcdCheck(const void* aData, const void* aSource, void* aTarget) {
    int64_t raw = 0;
    if (Self(aData).RescaledRaw(aSource, raw) != BcdFit::Exact) return kLost;
    StoreLE<int64_t>(aTarget, raw);
    return kMapped;
  }
  static uint32_t ToBcd(const void* aData, const void* aSource, void* aTarget) {
    int64_t raw = 0;
    if (Self(aData).RescaledRaw(aSource, raw) == BcdFit::NoValue) return kNoValue;
    StoreLE<int64_t>(aTarget, raw);
    return kMapped;
  }
};

template <class S, class T>
TnxMappingRoutine FloatToIntRoutine(bool aBestFit) {
  return aBestFit ? &FloatToInt<S, T> : &FloatToIntCheck<S, T>;
}

template <class S, class T>
TnxMappingRoutine FloatToFloatRoutine(bool aBestFit) {
  if constexpr (sizeof(T) >= sizeof(typename S::Value))
    return &FloatWiden<S, T>;
  else
    return aBestFit ? &FloatNarrow<S, T> : &FloatNarrowCheck<S, T>;
}

template <class S>
std::unique_ptr<TnxBaseFieldMapper> TryCreateFloatMapper(const TnxFieldMapperClass& aClass,
                                                         TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                         TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                         const TnxFieldMapperDescriptor* aMapperDesc,
                                                         TnxMappingMethod& aMapper) {
  aMapper.Clear();
  constexpr TnxFieldType own = std::is_same_v<S, SingleSource>   ? nxtSingle
                               : std::is_same_v<S, DoubleSource> ? nxtDouble
                                                                 : nxtExtended;
  if (aSourceField.FieldType() != own) return nullptr;
  const bool bestFit = nxMapperWantsBestFit(aMapperDesc);
  TnxMappingRoutine r = nullptr;
  switch (aTargetField.FieldType()) {
    case nxtBoolean: r = bestFit ? &FloatToBoolean<S> : &FloatToBooleanCheck<S>; break;
    case nxtByte: r = FloatToIntRoutine<S, uint8_t>(bestFit); break;
    case nxtWord16: r = FloatToIntRoutine<S, uint16_t>(bestFit); break;
    case nxtWord32: case nxtAutoInc: case nxtRecRev: r = FloatToIntRoutine<S, uint32_t>(bestFit); break;
    case nxtInt8: r = FloatToIntRoutine<S, int8_t>(bestFit); break;
    case nxtInt16: r = FloatToIntRoutine<S, int16_t>(bestFit); break;
    case nxtInt32: r = FloatToIntRoutine<S, int32_t>(bestFit); break;
    case nxtInt64: r = FloatToIntRoutine<S, int64_t>(bestFit); break;
    case nxtSingle: r = FloatToFloatRoutine<S, float>(bestFit); break;
    case nxtDouble: r = FloatToFloatRoutine<S, double>(bestFit); break;
    case nxtExtended: r = FloatToFloatRoutine<S, long double>(bestFit); break;
    case nxtCurrency: r = bestFit ? &FloatToCurrency<S> : &FloatToCurrencyCheck<S>; break;
    case nxtDateTime:
      if (own != nxtDouble) return nullptr;
      r = &DoubleToDateTime;
      break;
    case nxtByteArray:
      if (aTargetField.Units() < S::kSize) return nullptr;
      r = &CopyBytes<S::kSize>;
      break;
    case nxtChar: case nxtWideChar: case nxtShortString: case nxtNullString: case nxtWideString:
      return std::make_unique<TnxFloatingMapperOf<S>>(aTargetField, bestFit, aMapper);
    case nxtBCD:
      if (!TnxFloatingMapperOf<S>::BcdShapeFits(aTargetField)) return nullptr;
      return std::make_unique<TnxFloatingMapperOf<S>>(aTargetField, bestFit, aMapper);
    default: return nullptr;
  }
  aMapper = {r, &aClass};
  return nullptr;
}

std::unique_ptr<TnxBaseFieldMapper> TryCreateCurrencyMapper(const TnxFieldMapperClass& aClass,
                                                            TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                            TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                            const TnxFieldMapperDescriptor* aMapperDesc,
                                                            TnxMappingMethod& aMapper) {
  aMapper.Clear();
  if (aSourceField.FieldType() != nxtCurrency && aSourceField.FieldType() != nxtBCD) return nullptr;
  const bool bestFit = nxMapperWantsBestFit(aMapperDesc);
  TnxMappingRoutine r = nullptr;
  switch (aTargetField.FieldType()) {
    case nxtBoolean: r = bestFit ? &CurrencyToBoolean : &CurrencyToBooleanCheck; break;
    case nxtByte: r = bestFit ? &CurrencyToInt<uint8_t> : &CurrencyToIntCheck<uint8_t>; break;
    case nxtWord16: r = bestFit ? &CurrencyToInt<uint16_t> : &CurrencyToIntCheck<uint16_t>; break;
    case nxtWord32: case nxtAutoInc: case nxtRecRev:
      r = bestFit ? &CurrencyToInt<uint32_t> : &CurrencyToIntCheck<uint32_t>;
      break;
    case nxtInt8: r = bestFit ? &CurrencyToInt<int8_t> : &CurrencyToIntCheck<int8_t>; break;
    case nxtInt16: r = bestFit ? &CurrencyToInt<int16_t> : &CurrencyToIntCheck<int16_t>; break;
    case nxtInt32: r = bestFit ? &CurrencyToInt<int32_t> : &CurrencyToIntCheck<int32_t>; break;
    case nxtInt64: r = bestFit ? &CurrencyToInt<int64_t> : &CurrencyToIntCheck<int64_t>; break;
    case nxtSingle: r = &CurrencyToFloat<float>; break;
    case nxtDouble: r = &CurrencyToFloat<double>; break;
    case nxtExtended: r = &CurrencyToFloat<long double>; break;
    case nxtCurrency: r = &CurrencyCopy; break;
    case nxtByteArray:
      if (aTargetField.Units() < 8) return nullptr;
      r = &CopyBytes<8>;
      break;
    case nxtChar: case nxtWideChar: case nxtShortString: case nxtNullString: case nxtWideString:
      return std::make_unique<TnxFloatingMapperOf<int64_t>>(aTargetField, bestFit, aMapper);
    case nxtBCD:
      if (!TnxFloatingMapperOf<int64_t>::BcdShapeFits(aTargetField)) return nullptr;
      return std::make_unique<TnxFloatingMapperOf<int64_t>>(aTargetField, bestFit, aMapper);
    default: return nullptr;
  }
  aMapper = {r, &aClass};
  return nullptr;
}

}  // namespace

const TnxFieldMapperClass TnxSingleMapper::ClassInfo{u"TnxSingleMapper", &TryCreateFloatMapper<SingleSource>};
const TnxFieldMapperClass TnxDoubleMapper::ClassInfo{u"TnxDoubleMapper", &TryCreateFloatMapper<DoubleSource>};
const TnxFieldMapperClass TnxExtendedMapper::ClassInfo{u"TnxExtendedMapper", &TryCreateFloatMapper<ExtendedSource>};
const TnxFieldMapperClass TnxCurrencyMapper::ClassInfo{u"TnxCurrencyMapper", &TryCreateCurrencyMapper};

}  // namespace revurov
