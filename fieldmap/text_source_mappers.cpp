#include "fieldmap/text_source_mappers.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "dictionary/field_descriptor.h"
#include "dictionary/fmt_bcd.h"
#include "dictionary/locale_descriptor.h"
#include "fieldmap/code_page_text.h"
#include "fieldmap/number_text.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/date_time.h"
#include "platform/date_time_parse.h"
#include "platform/endian.h"
#include "platform/format.h"
#include "platform/guid.h"
#include "platform/locale.h"

namespace revurov {

namespace {

using platform::LoadLE;
using platform::StoreLE;
using platform::TCodePageConverter;

constexpr uint32_t kMapped = 0;
constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr uint32_t kNeutralLocale = 2048;
constexpr int64_t kCurrencyScale = 10000;
constexpr int64_t kMaxCurrency = std::numeric_limits<int64_t>::max();

enum class TextKind { Short, Null, Wide };

// Extended as a tag type of its width.
struct Extended80 {};

template <class C>
unsigned Unit(C c) noexcept {
  if constexpr (sizeof(C) == 1)
    return static_cast<unsigned char>(c);
  else
    return static_cast<unsigned>(c);
}

template <class C>
bool SameAsciiText(std::basic_string_view<C> aText, std::string_view aWord) noexcept {
  if (aText.size() != aWord.size()) return false;
  for (size_t i = 0; i < aWord.size(); ++i) {
    unsigned c = Unit(aText[i]);
    if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
    if (c != static_cast<unsigned char>(aWord[i])) return false;
  }
  return true;
}

// 1 for a True text, 0 for a False text, -1 for any other.
template <class C>
int BooleanOf(std::basic_string_view<C> aText) noexcept {
  for (std::string_view w : {"1", "Y", "YES", "T", "TRUE"})
    if (SameAsciiText(aText, w)) return 1;
  for (std::string_view w : {"0", "N", "NO", "F", "FALSE"})
    if (SameAsciiText(aText, w)) return 0;
  return -1;
}

bool IsTextTarget(TnxFieldType aType) noexcept {
  switch (aType) {
    case nxtBoolean: case nxtInt8: case nxtInt16: case nxtInt32: case nxtInt64: case nxtByte: case nxtWord16:
    case nxtWord32: case nxtAutoInc: case nxtRecRev: case nxtSingle: case nxtDouble: case nxtExtended:
    case nxtCurrency: case nxtBCD: case nxtDate: case nxtTime: case nxtDateTime: case nxtByteArray: case nxtGuid:
    case nxtChar: case nxtWideChar:
      return true;
    default: return false;
  }
}

// The part of the routine names that names the target.
std::u16string_view TargetName(TnxFieldType aType) noexcept {
  switch (aType) {
    case nxtBoolean: return u"Boolean";
    case nxtInt8: return u"Int8";
    case nxtInt16: return u"Int16";
    case nxtInt32: return u"Int32";
    case nxtInt64: return u"Int64";
    case nxtByte: return u"Byte";
    case nxtWord16: return u"Word16";
    case nxtSingle: return u"Single";
    case nxtDouble: return u"Double";
    case nxtExtended: return u"Extended";
    case nxtCurrency: return u"Currency";
    case nxtBCD: return u"Bcd";
    case nxtDate: return u"Date";
    case nxtTime: return u"Time";
    case nxtDateTime: return u"DateTime";
    case nxtByteArray: return u"ByteArray";
    case nxtGuid: return u"Guid";
    case nxtChar: return u"AnsiChar";
    case nxtWideChar: return u"WideChar";
    default: return u"Word32";
  }
}

// A BCD field's shape that a value can be rescaled to.
bool BcdShapeFits(const TnxFieldDescriptor& aTarget) noexcept {
  return aTarget.Units() >= 1 && aTarget.Units() <= 20 && aTarget.DecPl() >= 0 && aTarget.DecPl() <= 4 &&
         aTarget.DecPl() <= aTarget.Units();
}

class TnxTextSourceMapperOf final : public TnxBaseFieldMapper {
public:
  TnxTextSourceMapperOf(const TnxFieldMapperClass& aClass, TextKind aKind, TnxFieldDescriptor& aSource,
                        TnxFieldDescriptor& aTarget, bool aBestFit, TnxMappingMethod& aMapper)
      : tsmSourceLength(aSource.Length()),
        tsmTargetLength(aTarget.Length()),
        tsmSourceCodepage(aKind == TextKind::Wide ? 0 : aSource.GetUsedStorageCodePage()),
        tsmTargetCodepage(aTarget.GetUsedStorageCodePage()),
        tsmTargetUnits(aTarget.Units()),
        tsmTargetDecPl(aTarget.DecPl()) {
    const TnxLocaleDescriptor* locale = aSource.GetFieldLocaleDescriptor();
    tsmFormatSettings = platform::LocaleFormatSettings(locale && locale->Locale() ? locale->Locale() : kNeutralLocale);
    const TnxFieldType target = aTarget.FieldType();
    const bool wide = aKind == TextKind::Wide;
    // Which routine reads through code pages: its name is what a failure
    // to open one reports.
    bool convert = false;
    if (target == nxtWideChar)
      convert = !wide;
    else if (target == nxtChar)
      convert = wide ? tsmTargetCodepage != 0
                     : tsmSourceCodepage != 0 && tsmTargetCodepage != 0 && tsmSourceCodepage != tsmTargetCodepage;
    else if (!wide && target != nxtByteArray && tsmSourceCodepage != 0 && tsmTargetCodepage != 0) {
      convert = platform::CodePageMaxCharSize(tsmSourceCodepage) > 1 && tsmTargetLength < tsmSourceLength;
    }
    const bool oneRoutine = target == nxtChar || target == nxtByteArray || (target == nxtWideChar && !wide);
    tsmRoutine = u"To";
    tsmRoutine.append(TargetName(target));
    if (convert) tsmRoutine.append(u"Convert");
    if (!aBestFit && !oneRoutine) tsmRoutine.append(u"Check");
    tsmContext = {aClass.Name, tsmRoutine};
    if (!wide && target != nxtByteArray) {
      tsmSource = nxOpenMapperConverter(nxResolvedCodePage(tsmSourceCodepage), tsmContext, nxWidenFunction);
      tsmAsciiWidens = WidensAscii(*tsmSource);
    }
    if (target == nxtChar && (wide || convert))
      tsmTarget = nxOpenMapperConverter(nxResolvedCodePage(tsmTargetCodepage), tsmContext, nxNarrowFunction);
    if (target == nxtBCD) {
      int64_t step = 1;
      for (int i = tsmTargetDecPl; i < 4; ++i) step *= 10;
      __int128 max = 1;
      for (int i = 0; i < tsmTargetUnits; ++i) max *= 10;
      max = (max - 1) * step;
      tsmBcdMaxRaw = static_cast<int64_t>(std::min<__int128>(max, kMaxCurrency / step * step));
    }
    switch (aKind) {
      case TextKind::Short: aMapper = {RoutineFor<TextKind::Short>(target, aBestFit, convert), this}; break;
      case TextKind::Null: aMapper = {RoutineFor<TextKind::Null>(target, aBestFit, convert), this}; break;
      case TextKind::Wide: aMapper = {RoutineFor<TextKind::Wide>(target, aBestFit, convert), this}; break;
    }
  }

private:
  platform::TFormatSettings tsmFormatSettings;
  int32_t tsmSourceLength;
  int32_t tsmTargetLength;
  uint16_t tsmSourceCodepage;
  uint16_t tsmTargetCodepage;
  int32_t tsmTargetUnits;
  int32_t tsmTargetDecPl;
  // The largest magnitude a BCD target holds, in Currency form.
  int64_t tsmBcdMaxRaw = 0;
  std::u16string tsmRoutine;
  TnxMapperContext tsmContext;
  std::unique_ptr<TCodePageConverter> tsmSource;
  std::unique_ptr<TCodePageConverter> tsmTarget;
  // The source code page widens bytes below 128 to the same units, so
  // ASCII text needs no converter.
  bool tsmAsciiWidens = false;

  static const TnxTextSourceMapperOf& Self(const void* aData) {
    return *static_cast<const TnxTextSourceMapperOf*>(aData);
  }

  static bool WidensAscii(TCodePageConverter& aConv) noexcept {
    char bytes[127];
    for (int i = 0; i < 127; ++i) bytes[i] = static_cast<char>(i + 1);
    char16_t units[254];
    if (aConv.ToUnicode({bytes, sizeof bytes}, units, 254) != 127) return false;
    for (int i = 0; i < 127; ++i)
      if (units[i] != static_cast<char16_t>(i + 1)) return false;
    return true;
  }

  // The 8-bit text as stored, never read past the field.
  template <TextKind K>
  std::string_view Bytes(const void* aSource) const noexcept {
    const auto* p = static_cast<const char*>(aSource);
    const size_t room = static_cast<size_t>(std::max(tsmSourceLength, 1));
    if constexpr (K == TextKind::Short) {
      const size_t n = std::min<size_t>(static_cast<uint8_t>(p[0]), room - 1);
      return {p + 1, n};
    } else {
      const void* zero = std::memchr(p, 0, room);
      return {p, zero ? static_cast<size_t>(static_cast<const char*>(zero) - p) : room};
    }
  }

  // The WideString's units before its 0 unit, copied (fields may be
  // unaligned).
  std::u16string_view Units(const void* aSource, TnxWideBuffer& aBuffer) const {
    const auto* p = static_cast<const uint8_t*>(aSource);
    const size_t room = static_cast<size_t>(std::max(tsmSourceLength, 0)) / 2;
    size_t n = 0;
    while (n < room && LoadLE<uint16_t>(p + 2 * n) != 0) ++n;
    char16_t* units = aBuffer.Reserve(n);
    for (size_t i = 0; i < n; ++i) units[i] = LoadLE<uint16_t>(p + 2 * i);
    return {units, n};
  }

  std::u16string_view Widen(std::string_view aBytes, TnxWideBuffer& aBuffer) const {
    if (tsmAsciiWidens &&
        std::all_of(aBytes.begin(), aBytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      char16_t* units = aBuffer.Reserve(aBytes.size());
      for (size_t i = 0; i < aBytes.size(); ++i) units[i] = static_cast<unsigned char>(aBytes[i]);
      return {units, aBytes.size()};
    }
    return nxWidenText(*tsmSource, aBytes, aBuffer, tsmContext);
  }

  // The source as UTF-16 text.
  template <TextKind K>
  std::u16string_view Text(const void* aSource, TnxWideBuffer& aBuffer) const {
    if constexpr (K == TextKind::Wide)
      return Units(aSource, aBuffer);
    else
      return Widen(Bytes<K>(aSource), aBuffer);
  }

  // Runs aRead on the text in the form the number grammars read: the bytes
  // of 8-bit text, the units of a WideString.
  template <TextKind K, class F>
  static auto WithNumberText(const void* aData, const void* aSource, F aRead) {
    const auto& self = Self(aData);
    if constexpr (K == TextKind::Wide) {
      TnxWideBuffer buffer;
      return aRead(self.Units(aSource, buffer));
    } else {
      return aRead(self.Bytes<K>(aSource));
    }
  }

  // ---- Boolean ----

  template <TextKind K, bool kBestFit>
  static uint32_t ToBoolean(const void* aData, const void* aSource, void* aTarget) {
    const int b = WithNumberText<K>(aData, aSource, [](auto aText) { return BooleanOf(aText); });
    if (!kBestFit && b < 0) return kLost;
    *static_cast<uint8_t*>(aTarget) = b > 0 ? 0xFF : 0;
    return kMapped;
  }

  // ---- integers ----

  template <TextKind K, class T, bool kBestFit>
  static uint32_t ToInteger(const void* aData, const void* aSource, void* aTarget) {
    constexpr int kWidth = sizeof(T) == 8 || std::is_same_v<T, uint32_t> ? 64 : 32;
    const TnxIntegerText v =
        WithNumberText<K>(aData, aSource, [](auto aText) { return nxReadIntegerText(aText, kWidth); });
    constexpr __int128 lo = std::numeric_limits<T>::min();
    constexpr __int128 hi = std::numeric_limits<T>::max();
    __int128 value = v.Value;
    if (!v.IsNumber) {
      if constexpr (!kBestFit) return kLost;
      value = 0;
    } else if (value < lo || value > hi) {
      if constexpr (!kBestFit) return kLost;
      value = value < lo ? lo : hi;
    }
    StoreLE<T>(aTarget, static_cast<T>(value));
    return kMapped;
  }

  // ---- floating point and Currency ----

  template <TextKind K>
  static bool ReadFloat(const void* aData, const void* aSource, long double& aValue) {
    return WithNumberText<K>(aData, aSource, [&](auto aText) { return nxReadFloatText(aText, aValue); });
  }

  template <TextKind K, class T, bool kBestFit>
  static uint32_t ToFloat(const void* aData, const void* aSource, void* aTarget) {
    long double x = 0;
    if (!ReadFloat<K>(aData, aSource, x)) {
      if constexpr (!kBestFit) return kLost;
      x = 0;
    }
    if constexpr (std::is_same_v<T, Extended80>) {
      if (std::isinf(x)) {
        if constexpr (!kBestFit) return kLost;
        x = std::copysign(std::numeric_limits<long double>::max(), x);
      }
      std::memcpy(aTarget, &x, 10);
    } else {
      T t = static_cast<T>(x);
      if (std::isinf(t)) {
        if constexpr (!kBestFit) return kLost;
        t = std::copysign(std::numeric_limits<T>::max(), t);
      }
      StoreLE<T>(aTarget, t);
    }
    return kMapped;
  }

  template <TextKind K, bool kBestFit>
  static uint32_t ToCurrency(const void* aData, const void* aSource, void* aTarget) {
    long double x = 0;
    if (!ReadFloat<K>(aData, aSource, x)) {
      if constexpr (!kBestFit) return kLost;
      x = 0;
    }
    const long double e = static_cast<long double>(static_cast<double>(x)) * kCurrencyScale;
    constexpr long double max = static_cast<long double>(kMaxCurrency);
    if (e < -max || e > max) {
      if constexpr (!kBestFit) return kLost;
      StoreLE<int64_t>(aTarget, e < 0 ? -kMaxCurrency : kMaxCurrency);
      return kMapped;
    }
    StoreLE<int64_t>(aTarget, static_cast<int64_t>(std::nearbyintl(e)));
    return kMapped;
  }

  // ---- BCD ----

  template <TextKind K, bool kBestFit>
  static uint32_t ToBcd(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    TnxWideBuffer buffer;
    TBcd bcd;
    if (!nxTryStrToBcd(self.Text<K>(aSource, buffer), bcd)) {
      if constexpr (!kBestFit) return kLost;
      StoreLE<int64_t>(aTarget, 0);
      return kMapped;
    }
    TBcd scaled;
    const uint8_t loss = nxBcdRescale(bcd, scaled, static_cast<uint16_t>(self.tsmTargetUnits),
                                      static_cast<uint16_t>(self.tsmTargetDecPl));
    int64_t raw = 0;
    const bool beyond = (loss & nxBcdLossOverflow) || !nxBcdToCurr(scaled, raw) || raw > self.tsmBcdMaxRaw ||
                        raw < -self.tsmBcdMaxRaw;
    if constexpr (!kBestFit) {
      if (beyond || (loss & nxBcdLossTruncation)) return kLost;
    }
    if (beyond) raw = platform::BcdIsNegative(bcd) ? -self.tsmBcdMaxRaw : self.tsmBcdMaxRaw;
    StoreLE<int64_t>(aTarget, raw);
    return kMapped;
  }

  // ---- date and time ----

  template <TextKind K, bool kBestFit>
  static uint32_t ToDate(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    TnxWideBuffer buffer;
    platform::TDateTime value = 0;
    int32_t day = 1;  // the sentinel of a text that is no date
    // A date alone is a whole number of days.
    if (platform::TryStrToDate(self.Text<K>(aSource, buffer), value, self.tsmFormatSettings))
      day = static_cast<int32_t>(value) + platform::DateDelta;
    else if constexpr (!kBestFit)
      return kLost;
    StoreLE<int32_t>(aTarget, day);
    return kMapped;
  }

  template <TextKind K, bool kBestFit>
  static uint32_t ToTime(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    TnxWideBuffer buffer;
    platform::TDateTime value = 0;
    int32_t ms = 0;  // midnight for a text that is no time
    if (platform::TryStrToTime(self.Text<K>(aSource, buffer), value, self.tsmFormatSettings))
      ms = platform::DateTimeToTimeStamp(value).Time;
    else if constexpr (!kBestFit)
      return kLost;
    StoreLE<int32_t>(aTarget, ms);
    return kMapped;
  }

  template <TextKind K, bool kBestFit>
  static uint32_t ToDateTime(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    TnxWideBuffer buffer;
    platform::TDateTime value = 0;
    platform::TTimeStamp ts{0, 1};
    if (platform::TryStrToDateTime(self.Text<K>(aSource, buffer), value, self.tsmFormatSettings))
      ts = platform::DateTimeToTimeStamp(value);
    else if constexpr (!kBestFit)
      return kLost;
    StoreLE<double>(aTarget, static_cast<double>(ts.Date) * platform::MSecsPerDay + ts.Time);
    return kMapped;
  }

  // ---- GUID, bytes and characters ----

  template <TextKind K, bool kBestFit>
  static uint32_t ToGuid(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    TnxWideBuffer buffer;
    platform::TGUID g;
    if (!platform::TryStringToGUID(self.Text<K>(aSource, buffer), g)) {
      if constexpr (!kBestFit) return kLost;
      g = platform::GUID_NULL;
    }
    platform::GUIDToBytes(g, static_cast<uint8_t*>(aTarget));
    return kMapped;
  }

  template <TextKind K, bool kBestFit>
  static uint32_t ToByteArray(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    const char* bytes;
    size_t count;
    if constexpr (K == TextKind::Wide) {
      const auto* p = static_cast<const uint8_t*>(aSource);
      const size_t room = static_cast<size_t>(std::max(self.tsmSourceLength, 0)) / 2;
      size_t n = 0;
      while (n < room && LoadLE<uint16_t>(p + 2 * n) != 0) ++n;
      bytes = static_cast<const char*>(aSource);
      count = 2 * n;
    } else {
      const std::string_view b = self.Bytes<K>(aSource);
      bytes = b.data();
      count = b.size();
    }
    const size_t length = static_cast<size_t>(std::max(self.tsmTargetLength, 0));
    if (count > length) {
      if constexpr (!kBestFit) return kLost;
      count = length;
    }
    std::memcpy(aTarget, bytes, count);
    return kMapped;
  }

  // The first byte of the text's first character in the target code page.
  static uint32_t NarrowFirst(const TnxTextSourceMapperOf& aSelf, std::u16string_view aText, void* aTarget) {
    uint8_t c = 0;
    if (!aText.empty()) {
      const size_t n = aText.size() > 1 && aText[0] >= 0xD800 && aText[0] < 0xDC00 && aText[1] >= 0xDC00 &&
                               aText[1] < 0xE000
                           ? 2
                           : 1;
      char out[16];
      if (nxNarrowTextCheck(*aSelf.tsmTarget, aText.substr(0, n), out, sizeof out, aSelf.tsmContext) > 0)
        c = static_cast<uint8_t>(out[0]);
    }
    *static_cast<uint8_t*>(aTarget) = c;
    return kMapped;
  }

  template <TextKind K>
  static uint32_t ToChar(const void* aData, const void* aSource, void* aTarget) {
    const std::string_view b = Self(aData).Bytes<K>(aSource);
    *static_cast<uint8_t*>(aTarget) = b.empty() ? 0 : static_cast<uint8_t>(b[0]);
    return kMapped;
  }

  template <TextKind K>
  static uint32_t ToCharConvert(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    TnxWideBuffer buffer;
    return NarrowFirst(self, self.Text<K>(aSource, buffer), aTarget);
  }

  template <TextKind K, bool kBestFit>
  static uint32_t ToWideChar(const void* aData, const void* aSource, void* aTarget) {
    TnxWideBuffer buffer;
    const std::u16string_view text = Self(aData).Text<K>(aSource, buffer);
    if constexpr (K == TextKind::Wide && !kBestFit) {
      if (text.size() > 1) return kLost;
    }
    StoreLE<uint16_t>(aTarget, text.empty() ? 0 : text[0]);
    return kMapped;
  }

  template <TextKind K, class T>
  static TnxMappingRoutine IntegerRoutine(bool aBestFit) {
    return aBestFit ? &ToInteger<K, T, true> : &ToInteger<K, T, false>;
  }
  template <TextKind K, class T>
  static TnxMappingRoutine FloatRoutine(bool aBestFit) {
    return aBestFit ? &ToFloat<K, T, true> : &ToFloat<K, T, false>;
  }
#define REVUROV_TEXT_ROUTINE(Name) (aBestFit ? &Name<K, true> : &Name<K, false>)

  template <TextKind K>
  static TnxMappingRoutine RoutineFor(TnxFieldType aTarget, bool aBestFit, bool aConvert) {
    switch (aTarget) {
      case nxtBoolean: return REVUROV_TEXT_ROUTINE(ToBoolean);
      case nxtByte: return IntegerRoutine<K, uint8_t>(aBestFit);
      case nxtInt8: return IntegerRoutine<K, int8_t>(aBestFit);
      case nxtInt16: return IntegerRoutine<K, int16_t>(aBestFit);
      case nxtWord16: return IntegerRoutine<K, uint16_t>(aBestFit);
      case nxtInt32: return IntegerRoutine<K, int32_t>(aBestFit);
      case nxtInt64: return IntegerRoutine<K, int64_t>(aBestFit);
      case nxtWord32: case nxtAutoInc: case nxtRecRev: return IntegerRoutine<K, uint32_t>(aBestFit);
      case nxtSingle: return FloatRoutine<K, float>(aBestFit);
      case nxtDouble: return FloatRoutine<K, double>(aBestFit);
      case nxtExtended: return FloatRoutine<K, Extended80>(aBestFit);
      case nxtCurrency: return REVUROV_TEXT_ROUTINE(ToCurrency);
      case nxtBCD: return REVUROV_TEXT_ROUTINE(ToBcd);
      case nxtDate: return REVUROV_TEXT_ROUTINE(ToDate);
      case nxtTime: return REVUROV_TEXT_ROUTINE(ToTime);
      case nxtDateTime: return REVUROV_TEXT_ROUTINE(ToDateTime);
      case nxtGuid: return REVUROV_TEXT_ROUTINE(ToGuid);
      case nxtByteArray: return REVUROV_TEXT_ROUTINE(ToByteArray);
      case nxtWideChar: return REVUROV_TEXT_ROUTINE(ToWideChar);
      case nxtChar:
        if constexpr (K == TextKind::Wide)
          return &ToCharConvert<K>;
        else
          return aConvert ? &ToCharConvert<K> : &ToChar<K>;
      default: return nullptr;
    }
  }
#undef REVUROV_TEXT_ROUTINE
};

template <TextKind K>
std::unique_ptr<TnxBaseFieldMapper> TryCreateTextSourceMapper(const TnxFieldMapperClass& aClass,
                                                              TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                              TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                              const TnxFieldMapperDescriptor* aMapperDesc,
                                                              TnxMappingMethod& aMapper) {
  aMapper.Clear();
  constexpr TnxFieldType kSource =
      K == TextKind::Short ? nxtShortString : K == TextKind::Null ? nxtNullString : nxtWideString;
  if (aSourceField.FieldType() != kSource || !IsTextTarget(aTargetField.FieldType())) return nullptr;
  if (aTargetField.FieldType() == nxtBCD && !BcdShapeFits(aTargetField)) return nullptr;
  return std::make_unique<TnxTextSourceMapperOf>(aClass, K, aSourceField, aTargetField,
                                                 nxMapperWantsBestFit(aMapperDesc), aMapper);
}

}  // namespace

const TnxFieldMapperClass TnxShortStringMapper::ClassInfo{u"TnxShortStringMapper",
                                                          &TryCreateTextSourceMapper<TextKind::Short>};
const TnxFieldMapperClass TnxNullStringMapper::ClassInfo{u"TnxNullStringMapper",
                                                         &TryCreateTextSourceMapper<TextKind::Null>};
const TnxFieldMapperClass TnxWideStringMapper::ClassInfo{u"TnxWideStringMapper",
                                                         &TryCreateTextSourceMapper<TextKind::Wide>};

}  // namespace revurov
