#include "fieldmap/char_mappers.h"

#include <cstring>
#include <type_traits>

#include "dictionary/field_descriptor.h"
#include "fieldmap/code_page_text.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"

namespace revurov {

namespace {

using platform::LoadLE;
using platform::StoreLE;
using platform::TCodePageConverter;

constexpr uint32_t kMapped = 0;
constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr int64_t kCurrencyScale = 10000;

// The source's character: one byte of a Char, one unit of a WideChar.
template <bool kWide>
uint16_t Character(const void* aSource) noexcept {
  if constexpr (kWide)
    return LoadLE<uint16_t>(aSource);
  else
    return *static_cast<const uint8_t*>(aSource);
}

// The digit's value, or -1.
template <bool kWide>
int Digit(const void* aSource) noexcept {
  const uint16_t c = Character<kWide>(aSource);
  return c >= '0' && c <= '9' ? c - '0' : -1;
}

// Extended as a tag type of its width.
struct Extended80 {
  char Bytes[10];
};

template <bool kWide, class T, bool kCurrency = false>
uint32_t ToNumber(const void*, const void* aSource, void* aTarget) {
  const int d = Digit<kWide>(aSource);
  const int v = d < 0 ? 0 : d;
  if constexpr (kCurrency)
    StoreLE<int64_t>(aTarget, int64_t{v} * kCurrencyScale);
  else if constexpr (std::is_same_v<T, Extended80>) {
    const long double x = v;
    std::memcpy(aTarget, &x, 10);
  } else
    StoreLE<T>(aTarget, static_cast<T>(v));
  return kMapped;
}

template <bool kWide, class T, bool kCurrency = false>
uint32_t ToNumberCheck(const void* aData, const void* aSource, void* aTarget) {
  if (Digit<kWide>(aSource) < 0) return kLost;
  return ToNumber<kWide, T, kCurrency>(aData, aSource, aTarget);
}

template <bool kWide, class T, bool kCurrency = false>
TnxMappingRoutine NumberRoutine(bool aBestFit) {
  return aBestFit ? &ToNumber<kWide, T, kCurrency> : &ToNumberCheck<kWide, T, kCurrency>;
}

uint32_t CharToBoolean(const void*, const void* aSource, void* aTarget) {
  const uint8_t c = *static_cast<const uint8_t*>(aSource);
  *static_cast<uint8_t*>(aTarget) = c == '0' || c == 'F' || c == 'N' ? 0 : 0xFF;
  return kMapped;
}

uint32_t CharToBooleanCheck(const void*, const void* aSource, void* aTarget) {
  const uint8_t c = *static_cast<const uint8_t*>(aSource);
  if (c == '0' || c == 'F' || c == 'N')
    *static_cast<uint8_t*>(aTarget) = 0;
  else if (c == '1' || c == 'T' || c == 'Y')
    *static_cast<uint8_t*>(aTarget) = 0xFF;
  else
    return kLost;
  return kMapped;
}

uint32_t WideCharToBoolean(const void*, const void* aSource, void* aTarget) {
  *static_cast<uint8_t*>(aTarget) = Digit<true>(aSource) > 0 ? 0xFF : 0;
  return kMapped;
}

uint32_t WideCharToBooleanCheck(const void*, const void* aSource, void* aTarget) {
  const int d = Digit<true>(aSource);
  if (d != 0 && d != 1) return kLost;
  *static_cast<uint8_t*>(aTarget) = d ? 0xFF : 0;
  return kMapped;
}

template <bool kWide>
uint32_t ToByteArray(const void*, const void* aSource, void* aTarget) {
  std::memcpy(aTarget, aSource, kWide ? 2 : 1);
  return kMapped;
}

uint32_t CopyByte(const void*, const void* aSource, void* aTarget) {
  *static_cast<uint8_t*>(aTarget) = *static_cast<const uint8_t*>(aSource);
  return kMapped;
}

uint32_t CopyUnit(const void*, const void* aSource, void* aTarget) {
  std::memcpy(aTarget, aSource, 2);
  return kMapped;
}

uint32_t UnitToWideString(const void*, const void* aSource, void* aTarget) {
  std::memcpy(aTarget, aSource, 2);
  StoreLE<uint16_t>(static_cast<uint8_t*>(aTarget) + 2, 0);
  return kMapped;
}

// A Char kept as stored: length 1 (ShortString) or the byte and a 0 byte.
uint32_t ByteToShortString(const void*, const void* aSource, void* aTarget) {
  auto* t = static_cast<uint8_t*>(aTarget);
  t[0] = 1;
  t[1] = *static_cast<const uint8_t*>(aSource);
  return kMapped;
}

uint32_t ByteToNullString(const void*, const void* aSource, void* aTarget) {
  auto* t = static_cast<uint8_t*>(aTarget);
  t[0] = *static_cast<const uint8_t*>(aSource);
  t[1] = 0;
  return kMapped;
}

// ---- routines through code pages ----

class TnxCharMapperOf final : public TnxBaseFieldMapper {
public:
  // aWide: a WideChar source.
  TnxCharMapperOf(const TnxFieldMapperClass& aClass, bool aWide, TnxFieldDescriptor& aSource,
                  TnxFieldDescriptor& aTarget, bool aBestFit, TnxMappingMethod& aMapper)
      : ccTargetLength(aTarget.Length()),
        ccSourceCodepage(aWide ? 0 : aSource.GetUsedStorageCodePage()),
        ccTargetCodepage(aTarget.GetUsedStorageCodePage()) {
    const bool convert = ccSourceCodepage != 0 && ccTargetCodepage != 0 && ccSourceCodepage != ccTargetCodepage;
    const TnxFieldType target = aTarget.FieldType();
    TnxMappingRoutine r = nullptr;
    std::u16string_view routine;
    bool widen = false;
    bool narrow = false;
    if (aWide) {
      narrow = target == nxtChar || target == nxtShortString || target == nxtNullString;
      switch (target) {
        case nxtChar: r = &WideToChar, routine = u"ToChar"; break;
        case nxtWideChar: r = &CopyUnit; break;
        case nxtWideString: r = &UnitToWideString; break;
        case nxtShortString:
          r = aBestFit ? &ToAnsi<true, true, true> : &ToAnsi<true, true, false>;
          routine = aBestFit ? u"ToShortStringConvert" : u"ToShortStringConvertCheck";
          break;
        case nxtNullString:
          r = aBestFit ? &ToAnsi<true, false, true> : &ToAnsi<true, false, false>;
          routine = aBestFit ? u"ToNullStringConvert" : u"ToNullStringConvertCheck";
          break;
        default: break;
      }
    } else {
      switch (target) {
        case nxtChar:
          if (convert) r = &CharToChar, routine = u"ToCharConvert", widen = narrow = true;
          else r = &CopyByte;
          break;
        case nxtWideChar:
          r = &CharToWide<false>, routine = aBestFit ? u"ToWideCharConvert" : u"ToWideCharConvertCheck";
          widen = true;
          break;
        case nxtWideString:
          r = &CharToWide<true>, routine = aBestFit ? u"ToWideStringConvert" : u"ToWideStringConvertCheck";
          widen = true;
          break;
        case nxtShortString:
          if (!convert) {
            r = &ByteToShortString;
            break;
          }
          r = aBestFit ? &ToAnsi<false, true, true> : &ToAnsi<false, true, false>;
          routine = aBestFit ? u"ToShortStringConvert" : u"ToShortStringConvertCheck";
          widen = narrow = true;
          break;
        case nxtNullString:
          if (!convert) {
            r = &ByteToNullString;
            break;
          }
          r = aBestFit ? &ToAnsi<false, false, true> : &ToAnsi<false, false, false>;
          routine = aBestFit ? u"ToNullStringConvert" : u"ToNullStringConvertCheck";
          widen = narrow = true;
          break;
        default: break;
      }
    }
    ccContext = {aClass.Name, routine};
    if (widen) ccSource = nxOpenMapperConverter(nxResolvedCodePage(ccSourceCodepage), ccContext, nxWidenFunction);
    if (narrow) ccTarget = nxOpenMapperConverter(nxResolvedCodePage(ccTargetCodepage), ccContext, nxNarrowFunction);
    aMapper = {r, this};
  }

private:
  int32_t ccTargetLength;
  uint16_t ccSourceCodepage;
  uint16_t ccTargetCodepage;
  TnxMapperContext ccContext;
  std::unique_ptr<TCodePageConverter> ccSource;
  std::unique_ptr<TCodePageConverter> ccTarget;

  static const TnxCharMapperOf& Self(const void* aData) { return *static_cast<const TnxCharMapperOf*>(aData); }

  // The source character in UTF-16: one unit, or a pair should a code page
  // ever widen one byte into two.
  int32_t Widen(uint8_t aByte, char16_t (&aUnits)[2]) const {
    const char byte = static_cast<char>(aByte);
    const int32_t n = ccSource->ToUnicode({&byte, 1}, aUnits, 2);
    if (n < 0 || n > 2) ccContext.Raise(nxWidenFunction, nxErrorNoUnicodeTranslation);
    return n;
  }

  // The bytes the character needs in the target code page, at most
  // aCapacity of them written.
  int32_t Narrow(std::u16string_view aText, char* aOut, int32_t aCapacity) const {
    const int32_t n = ccTarget->FromUnicode(aText, aOut, aCapacity);
    if (n < 0) ccContext.Raise(nxNarrowFunction, nxErrorNoUnicodeTranslation);
    return n;
  }

  static uint32_t CharToChar(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    const uint8_t c = *static_cast<const uint8_t*>(aSource);
    if (c == 0) {
      *static_cast<uint8_t*>(aTarget) = 0;
      return kMapped;
    }
    char16_t units[2];
    const int32_t w = self.Widen(c, units);
    char out[8];
    if (self.Narrow({units, static_cast<size_t>(w)}, out, sizeof out) != 1) return kLost;
    *static_cast<char*>(aTarget) = out[0];
    return kMapped;
  }

  template <bool kString>
  static uint32_t CharToWide(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    const uint8_t c = *static_cast<const uint8_t*>(aSource);
    auto* t = static_cast<uint8_t*>(aTarget);
    if (c == 0) {
      StoreLE<uint16_t>(t, 0);
      return kMapped;
    }
    char16_t units[2];
    self.Widen(c, units);
    StoreLE<uint16_t>(t, units[0]);
    if constexpr (kString) StoreLE<uint16_t>(t + 2, 0);
    return kMapped;
  }

  static uint32_t WideToChar(const void* aData, const void* aSource, void* aTarget) {
    const char16_t u = LoadLE<uint16_t>(aSource);
    char out[8];
    // Two bytes do not fit: the character with code 0.
    const int32_t n = u == 0 ? 0 : Self(aData).Narrow({&u, 1}, out, sizeof out);
    *static_cast<char*>(aTarget) = n == 1 ? out[0] : 0;
    return kMapped;
  }

  template <bool kWide, bool kShort, bool kBestFit>
  static uint32_t ToAnsi(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    char16_t units[2];
    int32_t w;
    if constexpr (kWide) {
      units[0] = LoadLE<uint16_t>(aSource);
      w = units[0] == 0 ? 0 : 1;
    } else {
      const uint8_t c = *static_cast<const uint8_t*>(aSource);
      w = c == 0 ? 0 : self.Widen(c, units);
    }
    auto* t = static_cast<uint8_t*>(aTarget);
    char* area = reinterpret_cast<char*>(t) + (kShort ? 1 : 0);
    const int32_t room = self.ccTargetLength - 1;
    char out[8];
    int32_t n = w == 0 ? 0 : self.Narrow({units, static_cast<size_t>(w)}, out, sizeof out);
    uint32_t result = kMapped;
    if (n > room) {
      n = 0;
      if constexpr (!kBestFit) result = kLost;
    }
    std::memcpy(area, out, static_cast<size_t>(n));
    if constexpr (kShort)
      t[0] = static_cast<uint8_t>(n);
    else
      area[n] = 0;
    return result;
  }
};

template <bool kWide>
std::unique_ptr<TnxBaseFieldMapper> TryCreateCharMapper(const TnxFieldMapperClass& aClass,
                                                        TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                        TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                        const TnxFieldMapperDescriptor* aMapperDesc,
                                                        TnxMappingMethod& aMapper) {
  aMapper.Clear();
  if (aSourceField.FieldType() != (kWide ? nxtWideChar : nxtChar)) return nullptr;
  const bool bestFit = nxMapperWantsBestFit(aMapperDesc);
  TnxMappingRoutine r = nullptr;
  switch (aTargetField.FieldType()) {
    case nxtBoolean:
      if constexpr (kWide)
        r = bestFit ? &WideCharToBoolean : &WideCharToBooleanCheck;
      else
        r = bestFit ? &CharToBoolean : &CharToBooleanCheck;
      break;
    case nxtByte: r = NumberRoutine<kWide, uint8_t>(bestFit); break;
    case nxtWord16: r = NumberRoutine<kWide, uint16_t>(bestFit); break;
    case nxtWord32: case nxtAutoInc: case nxtRecRev: r = NumberRoutine<kWide, uint32_t>(bestFit); break;
    case nxtInt8: r = NumberRoutine<kWide, int8_t>(bestFit); break;
    case nxtInt16: r = NumberRoutine<kWide, int16_t>(bestFit); break;
    case nxtInt32: r = NumberRoutine<kWide, int32_t>(bestFit); break;
    case nxtInt64: r = NumberRoutine<kWide, int64_t>(bestFit); break;
    case nxtSingle: r = NumberRoutine<kWide, float>(bestFit); break;
    case nxtDouble: r = NumberRoutine<kWide, double>(bestFit); break;
    case nxtExtended: r = NumberRoutine<kWide, Extended80>(bestFit); break;
    case nxtCurrency: case nxtBCD: r = NumberRoutine<kWide, int64_t, true>(bestFit); break;
    case nxtByteArray:
      // Two bytes into one would be written past the field.
      if (aTargetField.Length() < (kWide ? 2 : 1)) return nullptr;
      r = &ToByteArray<kWide>;
      break;
    case nxtChar: case nxtWideChar: case nxtWideString:
      return std::make_unique<TnxCharMapperOf>(aClass, kWide, aSourceField, aTargetField, bestFit, aMapper);
    case nxtShortString: case nxtNullString:
      // No room for a character: even the plain copy would write past it.
      if (aTargetField.Length() < 2) return nullptr;
      return std::make_unique<TnxCharMapperOf>(aClass, kWide, aSourceField, aTargetField, bestFit, aMapper);
    default: return nullptr;
  }
  aMapper = {r, &aClass};
  return nullptr;
}

}  // namespace

const TnxFieldMapperClass TnxCharMapper::ClassInfo{u"TnxCharMapper", &TryCreateCharMapper<false>};
const TnxFieldMapperClass TnxWideCharMapper::ClassInfo{u"TnxWideCharMapper", &TryCreateCharMapper<true>};

}  // namespace revurov
