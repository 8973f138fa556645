#include "fieldmap/integer_mappers.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "dictionary/field_descriptor.h"
#include "fieldmap/field_mapper_descriptor.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"

namespace revurov {

namespace {

using platform::LoadLE;
using platform::StoreLE;

constexpr uint32_t kMapped = 0;
constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr int64_t kCurrencyScale = 10000;
// Whole amounts only: the fraction of the Currency range's ends is no
// integer's.
constexpr int64_t kCurrencyMaxAmount = 922337203685477;

void StoreExtended(void* aTarget, long double aValue) noexcept {
  static_assert(sizeof(long double) >= 10, "Extended needs the 80-bit format");
  std::memcpy(aTarget, &aValue, 10);
}

// ---- routines without state (the class record is their data) ----

template <class S, class T>
uint32_t ToIntWiden(const void*, const void* aSource, void* aTarget) {
  StoreLE<T>(aTarget, static_cast<T>(LoadLE<S>(aSource)));
  return kMapped;
}

template <class S, class T>
uint32_t ToIntCheck(const void*, const void* aSource, void* aTarget) {
  const S v = LoadLE<S>(aSource);
  if (!std::in_range<T>(v)) return kLost;
  StoreLE<T>(aTarget, static_cast<T>(v));
  return kMapped;
}

template <class S, class T>
uint32_t ToIntBestFit(const void*, const void* aSource, void* aTarget) {
  const S v = LoadLE<S>(aSource);
  T r;
  if (std::cmp_less(v, std::numeric_limits<T>::min()))
    r = std::numeric_limits<T>::min();
  else if (std::cmp_greater(v, std::numeric_limits<T>::max()))
    r = std::numeric_limits<T>::max();
  else
    r = static_cast<T>(v);
  StoreLE<T>(aTarget, r);
  return kMapped;
}

template <class S, class T>
TnxMappingRoutine IntRoutine(bool aBestFit) {
  if constexpr (std::cmp_less_equal(std::numeric_limits<T>::min(), std::numeric_limits<S>::min()) &&
                std::cmp_greater_equal(std::numeric_limits<T>::max(), std::numeric_limits<S>::max()))
    return &ToIntWiden<S, T>;
  else
    return aBestFit ? &ToIntBestFit<S, T> : &ToIntCheck<S, T>;
}

template <class S>
uint32_t ToBooleanCheck(const void*, const void* aSource, void* aTarget) {
  const S v = LoadLE<S>(aSource);
  if (v != 0 && v != 1) return kLost;
  *static_cast<uint8_t*>(aTarget) = v ? 0xFF : 0;
  return kMapped;
}

template <class S>
uint32_t ToBoolean(const void*, const void* aSource, void* aTarget) {
  *static_cast<uint8_t*>(aTarget) = LoadLE<S>(aSource) ? 0xFF : 0;
  return kMapped;
}

template <class S>
uint32_t ToSingle(const void*, const void* aSource, void* aTarget) {
  StoreLE<float>(aTarget, static_cast<float>(LoadLE<S>(aSource)));
  return kMapped;
}

template <class S>
uint32_t ToDouble(const void*, const void* aSource, void* aTarget) {
  StoreLE<double>(aTarget, static_cast<double>(LoadLE<S>(aSource)));
  return kMapped;
}

template <class S>
uint32_t ToExtended(const void*, const void* aSource, void* aTarget) {
  StoreExtended(aTarget, static_cast<long double>(LoadLE<S>(aSource)));
  return kMapped;
}

// Never fails: an Int64 beyond the Currency range takes its nearest end.
template <class S>
uint32_t ToCurrency(const void*, const void* aSource, void* aTarget) {
  int64_t v = LoadLE<S>(aSource);
  if constexpr (sizeof(S) == 8) v = std::clamp(v, -kCurrencyMaxAmount, kCurrencyMaxAmount);
  StoreLE<int64_t>(aTarget, v * kCurrencyScale);
  return kMapped;
}

template <class S>
uint32_t ToByteArray(const void*, const void* aSource, void* aTarget) {
  std::memcpy(aTarget, aSource, sizeof(S));
  return kMapped;
}

// ---- decimal text ----

struct DecimalChars {
  char Chars[24];
  int Length;
};

template <class S>
DecimalChars DecimalText(S aValue) noexcept {
  DecimalChars t;
  t.Length = static_cast<int>(std::to_chars(t.Chars, t.Chars + sizeof t.Chars, aValue).ptr - t.Chars);
  return t;
}

constexpr int DigitCount(unsigned __int128 aValue) noexcept {
  int n = 1;
  while (aValue >= 10) {
    aValue /= 10;
    ++n;
  }
  return n;
}

// Digits of the largest magnitude of S, and the longest text of S.
template <class S>
constexpr int kMagnitudeDigits =
    std::max(DigitCount(static_cast<unsigned __int128>(std::numeric_limits<S>::max())),
             std::is_signed_v<S> ? DigitCount(static_cast<unsigned __int128>(
                                       -static_cast<__int128>(std::numeric_limits<S>::min())))
                                 : 1);
template <class S>
constexpr int kLongestText =
    std::is_signed_v<S> ? std::max(DigitCount(static_cast<unsigned __int128>(std::numeric_limits<S>::max())),
                                   DigitCount(static_cast<unsigned __int128>(
                                       -static_cast<__int128>(std::numeric_limits<S>::min()))) + 1)
                        : kMagnitudeDigits<S>;

static_assert(kLongestText<int8_t> == 4 && kLongestText<int16_t> == 6 && kLongestText<int32_t> == 11 &&
              kLongestText<int64_t> == 20 && kLongestText<uint8_t> == 3 && kLongestText<uint16_t> == 5 &&
              kLongestText<uint32_t> == 10);
static_assert(kMagnitudeDigits<int8_t> == 3 && kMagnitudeDigits<int16_t> == 5 && kMagnitudeDigits<int32_t> == 10 &&
              kMagnitudeDigits<uint8_t> == 3 && kMagnitudeDigits<uint16_t> == 5 && kMagnitudeDigits<uint32_t> == 10);

void StoreWideText(uint8_t* aTarget, const char* aChars, int aCount) noexcept {
  for (int i = 0; i < aCount; ++i) StoreLE<uint16_t>(aTarget + 2 * i, static_cast<uint8_t>(aChars[i]));
  StoreLE<uint16_t>(aTarget + 2 * aCount, 0);
}

// ---- routines with the target's shape ----

template <class S>
class TnxIntegerMapperOf final : public TnxBaseFieldMapper {
public:
  TnxIntegerMapperOf(const TnxFieldDescriptor& aTarget, bool aBestFit, TnxMappingMethod& aMapper)
      : imoTargetLength(aTarget.Length()), imoTargetUnits(aTarget.Units()), imoTargetDecPl(aTarget.DecPl()) {
    TnxMappingRoutine r = nullptr;
    switch (aTarget.FieldType()) {
      case nxtChar: r = aBestFit ? &ToChar : &ToCharCheck; break;
      case nxtWideChar: r = aBestFit ? &ToWideChar : &ToWideCharCheck; break;
      case nxtShortString:
        r = aBestFit || kLongestText<S> < imoTargetLength ? &ToShortString : &ToShortStringCheck;
        break;
      case nxtNullString:
        r = aBestFit || kLongestText<S> < imoTargetLength ? &ToNullString : &ToNullStringCheck;
        break;
      case nxtWideString:
        r = aBestFit || kLongestText<S> < imoTargetLength / 2 ? &ToWideString : &ToWideStringCheck;
        break;
      case nxtBCD: {
        const int exponent = std::max(0, 4 - imoTargetDecPl);
        __int128 maxRaw = 1;
        for (int i = 0; i < std::clamp(imoTargetUnits, 0, 20); ++i) maxRaw *= 10;
        maxRaw -= 1;
        for (int i = 0; i < exponent; ++i) maxRaw *= 10;
        imoBcdMaxRaw = static_cast<int64_t>(std::min<__int128>(maxRaw, __int128{kCurrencyMaxAmount} * kCurrencyScale));
        if (sizeof(S) < 8 && imoTargetUnits - imoTargetDecPl >= kMagnitudeDigits<S>)
          r = &ToBcdWhole;
        else
          r = aBestFit ? &ToBcd : &ToBcdCheck;
        break;
      }
      default: break;
    }
    aMapper = {r, this};
  }

private:
  int32_t imoTargetLength;
  int32_t imoTargetUnits;
  int32_t imoTargetDecPl;
  // The largest value the BCD target holds, in Currency form.
  int64_t imoBcdMaxRaw = 0;

  static const TnxIntegerMapperOf& Self(const void* aData) { return *static_cast<const TnxIntegerMapperOf*>(aData); }
  int32_t TextCapacity() const noexcept { return imoTargetLength - 1; }
  int32_t WideTextCapacity() const noexcept { return imoTargetLength / 2 - 1; }

  static uint32_t ToCharCheck(const void*, const void* aSource, void* aTarget) {
    const S v = LoadLE<S>(aSource);
    if (std::cmp_less(v, 0) || std::cmp_greater(v, 9)) return kLost;
    *static_cast<uint8_t*>(aTarget) = static_cast<uint8_t>('0' + v);
    return kMapped;
  }
  static uint32_t ToChar(const void*, const void* aSource, void* aTarget) {
    *static_cast<uint8_t*>(aTarget) = static_cast<uint8_t>(DecimalText(LoadLE<S>(aSource)).Chars[0]);
    return kMapped;
  }
  static uint32_t ToWideCharCheck(const void*, const void* aSource, void* aTarget) {
    const S v = LoadLE<S>(aSource);
    if (std::cmp_less(v, 0) || std::cmp_greater(v, 9)) return kLost;
    StoreLE<uint16_t>(aTarget, static_cast<uint16_t>(u'0' + v));
    return kMapped;
  }
  static uint32_t ToWideChar(const void*, const void* aSource, void* aTarget) {
    StoreLE<uint16_t>(aTarget, static_cast<uint8_t>(DecimalText(LoadLE<S>(aSource)).Chars[0]));
    return kMapped;
  }

  static uint32_t ToShortStringCheck(const void* aData, const void* aSource, void* aTarget) {
    const DecimalChars t = DecimalText(LoadLE<S>(aSource));
    if (t.Length > Self(aData).TextCapacity()) return kLost;
    auto* p = static_cast<uint8_t*>(aTarget);
    p[0] = static_cast<uint8_t>(t.Length);
    std::memcpy(p + 1, t.Chars, t.Length);
    return kMapped;
  }
  static uint32_t ToShortString(const void* aData, const void* aSource, void* aTarget) {
    const DecimalChars t = DecimalText(LoadLE<S>(aSource));
    const int n = std::min(t.Length, Self(aData).TextCapacity());
    auto* p = static_cast<uint8_t*>(aTarget);
    p[0] = static_cast<uint8_t>(n);
    std::memcpy(p + 1, t.Chars, n);
    return kMapped;
  }
  static uint32_t ToNullStringCheck(const void* aData, const void* aSource, void* aTarget) {
    const DecimalChars t = DecimalText(LoadLE<S>(aSource));
    if (t.Length > Self(aData).TextCapacity()) return kLost;
    auto* p = static_cast<uint8_t*>(aTarget);
    std::memcpy(p, t.Chars, t.Length);
    p[t.Length] = 0;
    return kMapped;
  }
  static uint32_t ToNullString(const void* aData, const void* aSource, void* aTarget) {
    const DecimalChars t = DecimalText(LoadLE<S>(aSource));
    const int n = std::min(t.Length, Self(aData).TextCapacity());
    auto* p = static_cast<uint8_t*>(aTarget);
    std::memcpy(p, t.Chars, n);
    p[n] = 0;
    return kMapped;
  }
  static uint32_t ToWideStringCheck(const void* aData, const void* aSource, void* aTarget) {
    const DecimalChars t = DecimalText(LoadLE<S>(aSource));
    if (t.Length > Self(aData).WideTextCapacity()) return kLost;
    StoreWideText(static_cast<uint8_t*>(aTarget), t.Chars, t.Length);
    return kMapped;
  }
  static uint32_t ToWideString(const void* aData, const void* aSource, void* aTarget) {
    const DecimalChars t = DecimalText(LoadLE<S>(aSource));
    StoreWideText(static_cast<uint8_t*>(aTarget), t.Chars, std::min(t.Length, Self(aData).WideTextCapacity()));
    return kMapped;
  }

  // Every value of S fits the field's integer digits.
  static uint32_t ToBcdWhole(const void*, const void* aSource, void* aTarget) {
    StoreLE<int64_t>(aTarget, int64_t{LoadLE<S>(aSource)} * kCurrencyScale);
    return kMapped;
  }
  static uint32_t ToBcdCheck(const void* aData, const void* aSource, void* aTarget) {
    const __int128 raw = __int128{LoadLE<S>(aSource)} * kCurrencyScale;
    const int64_t limit = Self(aData).imoBcdMaxRaw;
    if (raw > limit || raw < -limit) return kLost;
    StoreLE<int64_t>(aTarget, static_cast<int64_t>(raw));
    return kMapped;
  }
  static uint32_t ToBcd(const void* aData, const void* aSource, void* aTarget) {
    const int64_t limit = Self(aData).imoBcdMaxRaw;
    const __int128 raw = std::clamp<__int128>(__int128{LoadLE<S>(aSource)} * kCurrencyScale, -limit, limit);
    StoreLE<int64_t>(aTarget, static_cast<int64_t>(raw));
    return kMapped;
  }
};

constexpr TnxFieldTypes kTextTargets =
    nxFieldTypeBit(nxtShortString) | nxFieldTypeBit(nxtNullString) | nxFieldTypeBit(nxtWideString);
constexpr TnxFieldTypes kRefNrTargets = nxFieldTypeBit(nxtRefNr) | nxFieldTypeBit(nxtInt64) | kTextTargets;

template <class S, TnxFieldTypes kServed>
std::unique_ptr<TnxBaseFieldMapper> TryCreateIntegerMapper(const TnxFieldMapperClass& aClass,
                                                           TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                           TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                           const TnxFieldMapperDescriptor* aMapperDesc,
                                                           TnxMappingMethod& aMapper) {
  aMapper.Clear();
  const TnxFieldType source = aSourceField.FieldType();
  const TnxFieldType target = aTargetField.FieldType();
  if ((kServed & nxFieldTypeBit(source)) == 0) return nullptr;
  if (source == nxtRefNr && (kRefNrTargets & nxFieldTypeBit(target)) == 0) return nullptr;
  const bool bestFit = nxMapperWantsBestFit(aMapperDesc);
  TnxMappingRoutine r = nullptr;
  switch (target) {
    case nxtBoolean: r = bestFit ? &ToBoolean<S> : &ToBooleanCheck<S>; break;
    case nxtByte: r = IntRoutine<S, uint8_t>(bestFit); break;
    case nxtWord16: r = IntRoutine<S, uint16_t>(bestFit); break;
    case nxtWord32: case nxtAutoInc: case nxtRecRev: r = IntRoutine<S, uint32_t>(bestFit); break;
    case nxtInt8: r = IntRoutine<S, int8_t>(bestFit); break;
    case nxtInt16: r = IntRoutine<S, int16_t>(bestFit); break;
    case nxtInt32: r = IntRoutine<S, int32_t>(bestFit); break;
    case nxtInt64: r = IntRoutine<S, int64_t>(bestFit); break;
    case nxtRefNr:
      if (source != nxtRefNr) return nullptr;
      r = &ToIntWiden<S, int64_t>;
      break;
    case nxtSingle: r = &ToSingle<S>; break;
    case nxtDouble: r = &ToDouble<S>; break;
    case nxtExtended: r = &ToExtended<S>; break;
    case nxtCurrency: r = &ToCurrency<S>; break;
    case nxtByteArray:
      // Also for one byte into none: the copy would write past the field.
      if (aTargetField.Units() < static_cast<int32_t>(sizeof(S))) return nullptr;
      r = &ToByteArray<S>;
      break;
    case nxtChar: case nxtWideChar: case nxtShortString: case nxtNullString: case nxtWideString: case nxtBCD:
      return std::make_unique<TnxIntegerMapperOf<S>>(aTargetField, bestFit, aMapper);
    default: return nullptr;
  }
  aMapper = {r, &aClass};
  return nullptr;
}

// ---- Boolean source ----

int8_t SignedBoolean(const void* aSource) noexcept { return static_cast<int8_t>(LoadLE<uint8_t>(aSource)); }
bool IsTrue(const void* aSource) noexcept { return LoadLE<uint8_t>(aSource) != 0; }

uint32_t BooleanToByte(const void*, const void* aSource, void* aTarget) {
  *static_cast<uint8_t*>(aTarget) = LoadLE<uint8_t>(aSource);
  return kMapped;
}
template <class T>
uint32_t BooleanToUnsignedWide(const void*, const void* aSource, void* aTarget) {
  StoreLE<T>(aTarget, static_cast<T>(LoadLE<uint8_t>(aSource)));
  return kMapped;
}
template <class T>
uint32_t BooleanToMagnitude(const void*, const void* aSource, void* aTarget) {
  const int v = SignedBoolean(aSource);
  StoreLE<T>(aTarget, static_cast<T>(v < 0 ? -v : v));
  return kMapped;
}
template <class T>
uint32_t BooleanToSigned(const void*, const void* aSource, void* aTarget) {
  StoreLE<T>(aTarget, static_cast<T>(SignedBoolean(aSource)));
  return kMapped;
}
uint32_t BooleanToExtended(const void*, const void* aSource, void* aTarget) {
  StoreExtended(aTarget, SignedBoolean(aSource));
  return kMapped;
}
uint32_t BooleanToCurrency(const void*, const void* aSource, void* aTarget) {
  StoreLE<int64_t>(aTarget, int64_t{SignedBoolean(aSource)} * kCurrencyScale);
  return kMapped;
}
uint32_t BooleanToByteArray(const void*, const void* aSource, void* aTarget) {
  *static_cast<uint8_t*>(aTarget) = IsTrue(aSource) ? 0xFF : 0;
  return kMapped;
}
uint32_t BooleanToChar(const void*, const void* aSource, void* aTarget) {
  *static_cast<uint8_t*>(aTarget) = IsTrue(aSource) ? '1' : '0';
  return kMapped;
}
uint32_t BooleanToWideChar(const void*, const void* aSource, void* aTarget) {
  StoreLE<uint16_t>(aTarget, IsTrue(aSource) ? u'1' : u'0');
  return kMapped;
}
uint32_t BooleanToShortString(const void*, const void* aSource, void* aTarget) {
  auto* p = static_cast<uint8_t*>(aTarget);
  p[0] = 1;
  p[1] = IsTrue(aSource) ? '1' : '0';
  return kMapped;
}
uint32_t BooleanToNullString(const void*, const void* aSource, void* aTarget) {
  auto* p = static_cast<uint8_t*>(aTarget);
  p[0] = IsTrue(aSource) ? '1' : '0';
  p[1] = 0;
  return kMapped;
}
uint32_t BooleanToWideString(const void*, const void* aSource, void* aTarget) {
  StoreWideText(static_cast<uint8_t*>(aTarget), IsTrue(aSource) ? "1" : "0", 1);
  return kMapped;
}

std::unique_ptr<TnxBaseFieldMapper> TryCreateBooleanMapper(const TnxFieldMapperClass& aClass,
                                                           TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                           TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                           const TnxFieldMapperDescriptor*, TnxMappingMethod& aMapper) {
  aMapper.Clear();
  if (aSourceField.FieldType() != nxtBoolean || aTargetField.Length() < 1) return nullptr;
  TnxMappingRoutine r = nullptr;
  switch (aTargetField.FieldType()) {
    case nxtBoolean: case nxtByte: case nxtInt8: r = &BooleanToByte; break;
    case nxtInt16: r = &BooleanToUnsignedWide<uint16_t>; break;
    case nxtInt32: r = &BooleanToUnsignedWide<uint32_t>; break;
    case nxtInt64: r = &BooleanToSigned<int64_t>; break;
    case nxtWord16: r = &BooleanToMagnitude<uint16_t>; break;
    case nxtWord32: case nxtAutoInc: case nxtRecRev: r = &BooleanToMagnitude<uint32_t>; break;
    case nxtSingle: r = &BooleanToSigned<float>; break;
    case nxtDouble: r = &BooleanToSigned<double>; break;
    case nxtExtended: r = &BooleanToExtended; break;
    case nxtCurrency: case nxtBCD: r = &BooleanToCurrency; break;
    case nxtByteArray: r = &BooleanToByteArray; break;
    case nxtChar: r = &BooleanToChar; break;
    case nxtWideChar: r = &BooleanToWideChar; break;
    // A text field without room for one character would be written past.
    case nxtShortString: case nxtNullString:
      if (aTargetField.Length() < 2) return nullptr;
      r = aTargetField.FieldType() == nxtShortString ? &BooleanToShortString : &BooleanToNullString;
      break;
    case nxtWideString:
      if (aTargetField.Length() < 4) return nullptr;
      r = &BooleanToWideString;
      break;
    default: return nullptr;
  }
  aMapper = {r, &aClass};
  return nullptr;
}

}  // namespace

const TnxFieldMapperClass TnxBooleanMapper::ClassInfo{u"TnxBooleanMapper", &TryCreateBooleanMapper};
const TnxFieldMapperClass TnxInt8Mapper::ClassInfo{
    u"TnxInt8Mapper", &TryCreateIntegerMapper<int8_t, nxFieldTypeBit(nxtInt8)>};
const TnxFieldMapperClass TnxInt16Mapper::ClassInfo{
    u"TnxInt16Mapper", &TryCreateIntegerMapper<int16_t, nxFieldTypeBit(nxtInt16)>};
const TnxFieldMapperClass TnxInt32Mapper::ClassInfo{
    u"TnxInt32Mapper", &TryCreateIntegerMapper<int32_t, nxFieldTypeBit(nxtInt32)>};
const TnxFieldMapperClass TnxInt64Mapper::ClassInfo{
    u"TnxInt64Mapper", &TryCreateIntegerMapper<int64_t, nxFieldTypeBit(nxtInt64) | nxFieldTypeBit(nxtRefNr)>};
const TnxFieldMapperClass TnxByte8Mapper::ClassInfo{
    u"TnxByte8Mapper", &TryCreateIntegerMapper<uint8_t, nxFieldTypeBit(nxtByte)>};
const TnxFieldMapperClass TnxWord16Mapper::ClassInfo{
    u"TnxWord16Mapper", &TryCreateIntegerMapper<uint16_t, nxFieldTypeBit(nxtWord16)>};
const TnxFieldMapperClass TnxWord32Mapper::ClassInfo{
    u"TnxWord32Mapper",
    &TryCreateIntegerMapper<uint32_t, nxFieldTypeBit(nxtWord32) | nxFieldTypeBit(nxtAutoInc) | nxFieldTypeBit(nxtRecRev)>};

}  // namespace revurov
