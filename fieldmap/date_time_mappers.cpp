#include "fieldmap/date_time_mappers.h"

#include <cmath>
#include <cstring>
#include <string>

#include "dictionary/field_descriptor.h"
#include "dictionary/locale_descriptor.h"
#include "fieldmap/code_page_text.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/date_time.h"
#include "platform/endian.h"
#include "platform/guid.h"
#include "platform/locale.h"

namespace revurov {

namespace {

using platform::LoadLE;
using platform::StoreLE;

constexpr uint32_t kMapped = 0;
constexpr uint32_t kNoValue = 1;
constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr uint32_t kNeutralLocale = 2048;
constexpr long double kMSecsPerDay = platform::MSecsPerDay;
// Day numbers of 0001-01-01 and 9999-12-31.
constexpr int32_t kFirstDay = 1;
constexpr int32_t kLastDay = 3652059;

template <int kBytes>
uint32_t Copy(const void*, const void* aSource, void* aTarget) {
  std::memcpy(aTarget, aSource, kBytes);
  return kMapped;
}

uint32_t NoDate(const void*, const void*, void*) { return kNoValue; }

uint32_t Midnight(const void*, const void*, void* aTarget) {
  StoreLE<int32_t>(aTarget, 0);
  return kMapped;
}

uint32_t DateToDateTime(const void*, const void* aSource, void* aTarget) {
  StoreLE<double>(aTarget, static_cast<double>(int64_t{LoadLE<int32_t>(aSource)} * platform::MSecsPerDay));
  return kMapped;
}

// The time stamp of a DateTime value; false for one outside the calendar.
bool SplitDateTime(double aMs, platform::TTimeStamp& aStamp) noexcept {
  if (!std::isfinite(aMs)) return false;
  const long double ms = aMs;
  const long double day = std::truncl(ms / kMSecsPerDay);
  const long double time = std::truncl(ms - day * kMSecsPerDay);
  if (day < kFirstDay || day > kLastDay || time < 0 || time >= kMSecsPerDay) return false;
  aStamp = {static_cast<int32_t>(time), static_cast<int32_t>(day)};
  return true;
}

platform::TDateTime DateTimeOf(const platform::TTimeStamp& aStamp) noexcept {
  const double days = aStamp.Date - platform::DateDelta;
  const double fraction = aStamp.Time / static_cast<double>(platform::MSecsPerDay);
  return days < 0 ? days - fraction : days + fraction;
}

uint32_t DateTimeToDouble(const void*, const void* aSource, void* aTarget) {
  const long double ms = LoadLE<double>(aSource);
  const long double day = std::truncl(ms / kMSecsPerDay);
  const long double time = std::truncl(ms - day * kMSecsPerDay);
  const long double days = day - platform::DateDelta;
  StoreLE<double>(aTarget, static_cast<double>(days < 0 ? days - time / kMSecsPerDay : days + time / kMSecsPerDay));
  return kMapped;
}

template <bool kBestFit>
uint32_t DateTimeToDate(const void*, const void* aSource, void* aTarget) {
  const double ms = LoadLE<double>(aSource);
  if (!std::isfinite(ms)) return kBestFit ? kNoValue : kLost;
  long double day;
  if constexpr (kBestFit) {
    day = std::truncl(static_cast<long double>(ms) / kMSecsPerDay);
  } else {
    const double d = ms / platform::MSecsPerDay;
    if (std::fabs(d - std::trunc(d)) > 1E-16) return kLost;
    day = std::trunc(d);
  }
  if (day < INT32_MIN || day > INT32_MAX) return kBestFit ? kNoValue : kLost;
  StoreLE<int32_t>(aTarget, static_cast<int32_t>(day));
  return kMapped;
}

template <bool kBestFit>
uint32_t DateTimeToTime(const void*, const void* aSource, void* aTarget) {
  const double ms = LoadLE<double>(aSource);
  if (!std::isfinite(ms)) return kBestFit ? kNoValue : kLost;
  long double time;
  if constexpr (kBestFit) {
    const long double d = static_cast<long double>(ms) / kMSecsPerDay;
    time = std::truncl((d - std::truncl(d)) * kMSecsPerDay);
  } else {
    const double d = ms / platform::MSecsPerDay;
    if (std::fabs(std::trunc(d)) > 1E-16) return kLost;
    time = std::trunc((d - std::trunc(d)) * platform::MSecsPerDay);
  }
  StoreLE<int32_t>(aTarget, static_cast<int32_t>(time));
  return kMapped;
}

// ---- text ----

enum class TextTarget { Short, Null, Wide };

TextTarget TextTargetOf(TnxFieldType aType) noexcept {
  return aType == nxtShortString ? TextTarget::Short : aType == nxtNullString ? TextTarget::Null : TextTarget::Wide;
}

bool IsText(TnxFieldType aType) noexcept {
  return aType == nxtShortString || aType == nxtNullString || aType == nxtWideString;
}

// Characters the target holds besides its length byte or terminator.
int32_t TextRoom(TextTarget aKind, int32_t aLength) noexcept {
  return aKind == TextTarget::Wide ? aLength / 2 - 1 : aLength - 1;
}

template <TextTarget kKind>
uint32_t GuidToText(const void*, const void* aSource, void* aTarget) {
  const std::u16string text = platform::GUIDToString(platform::GUIDFromBytes(static_cast<const uint8_t*>(aSource)));
  auto* t = static_cast<uint8_t*>(aTarget);
  if constexpr (kKind == TextTarget::Wide) {
    for (size_t i = 0; i < text.size(); ++i) StoreLE<uint16_t>(t + 2 * i, text[i]);
    StoreLE<uint16_t>(t + 2 * text.size(), 0);
  } else {
    uint8_t* chars = kKind == TextTarget::Short ? t + 1 : t;
    for (size_t i = 0; i < text.size(); ++i) chars[i] = static_cast<uint8_t>(text[i]);
    if constexpr (kKind == TextTarget::Short)
      t[0] = static_cast<uint8_t>(text.size());
    else
      chars[text.size()] = 0;
  }
  return kMapped;
}

class TnxDateTimeTextMapperOf final : public TnxBaseFieldMapper {
public:
  TnxDateTimeTextMapperOf(const TnxFieldMapperClass& aClass, TnxFieldDescriptor& aSource,
                          TnxFieldDescriptor& aTarget, bool aBestFit, TnxMappingMethod& aMapper)
      : dtmSourceType(aSource.FieldType()), dtmTargetLength(aTarget.Length()) {
    const TnxLocaleDescriptor* locale = aTarget.GetFieldLocaleDescriptor();
    dtmFormatSettings = platform::LocaleFormatSettings(locale && locale->Locale() ? locale->Locale() : kNeutralLocale);
    const TextTarget kind = TextTargetOf(aTarget.FieldType());
    if (kind != TextTarget::Wide) {
      dtmRoutine = aTarget.FieldType() == nxtShortString ? u"ToShortString" : u"ToNullString";
      if (!aBestFit) dtmRoutine += u"Check";
      dtmContext = {aClass.Name, dtmRoutine};
      dtmAnsi = nxOpenMapperConverter(nxResolvedCodePage(0), dtmContext, nxNarrowFunction);
    }
    TnxMappingRoutine r = nullptr;
    switch (kind) {
      case TextTarget::Short: r = aBestFit ? &ToText<TextTarget::Short, true> : &ToText<TextTarget::Short, false>; break;
      case TextTarget::Null: r = aBestFit ? &ToText<TextTarget::Null, true> : &ToText<TextTarget::Null, false>; break;
      case TextTarget::Wide: r = aBestFit ? &ToText<TextTarget::Wide, true> : &ToText<TextTarget::Wide, false>; break;
    }
    aMapper = {r, this};
  }

private:
  TnxFieldType dtmSourceType;
  int32_t dtmTargetLength;
  platform::TFormatSettings dtmFormatSettings;
  std::u16string dtmRoutine;
  TnxMapperContext dtmContext;
  std::unique_ptr<platform::TCodePageConverter> dtmAnsi;

  static const TnxDateTimeTextMapperOf& Self(const void* aData) {
    return *static_cast<const TnxDateTimeTextMapperOf*>(aData);
  }

  // The value's text; false for a value outside the calendar or the day.
  bool Text(const void* aSource, std::u16string& aText) const {
    platform::TTimeStamp stamp;
    std::u16string_view format;
    switch (dtmSourceType) {
      case nxtTime:
        stamp = {LoadLE<int32_t>(aSource), platform::DateDelta};
        if (stamp.Time < 0 || stamp.Time >= platform::MSecsPerDay) return false;
        format = dtmFormatSettings.LongTimeFormat;
        break;
      case nxtDate:
        stamp = {0, LoadLE<int32_t>(aSource)};
        if (stamp.Date < kFirstDay || stamp.Date > kLastDay) return false;
        format = dtmFormatSettings.ShortDateFormat;
        break;
      default:
        if (!SplitDateTime(LoadLE<double>(aSource), stamp)) return false;
        format = u"c";
        break;
    }
    aText = platform::FormatDateTime(format, DateTimeOf(stamp), dtmFormatSettings);
    return true;
  }

  template <TextTarget kKind, bool kBestFit>
  static uint32_t ToText(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    std::u16string text;
    if (!self.Text(aSource, text)) return kBestFit ? kNoValue : kLost;
    const int32_t room = std::max(TextRoom(kKind, self.dtmTargetLength), 0);
    auto* t = static_cast<uint8_t*>(aTarget);
    if constexpr (kKind == TextTarget::Wide) {
      int32_t n = static_cast<int32_t>(text.size());
      if (n > room) {
        if constexpr (!kBestFit) return kLost;
        n = room;
      }
      for (int32_t i = 0; i < n; ++i) StoreLE<uint16_t>(t + 2 * i, text[i]);
      StoreLE<uint16_t>(t + 2 * n, 0);
    } else {
      // Narrowed aside: a refused text leaves the target as it was.
      std::string bytes(static_cast<size_t>(room), '\0');
      int32_t n;
      if constexpr (kBestFit) {
        n = nxNarrowTextCut(*self.dtmAnsi, text, bytes.data(), room, self.dtmContext);
      } else {
        n = nxNarrowTextCheck(*self.dtmAnsi, text, bytes.data(), room, self.dtmContext);
        if (n > room) return kLost;
      }
      uint8_t* chars = kKind == TextTarget::Short ? t + 1 : t;
      std::memcpy(chars, bytes.data(), static_cast<size_t>(n));
      if constexpr (kKind == TextTarget::Short)
        t[0] = static_cast<uint8_t>(n);
      else
        chars[n] = 0;
    }
    return kMapped;
  }
};

// ---- class set-up ----

template <TnxFieldType kSource>
std::unique_ptr<TnxBaseFieldMapper> TryCreateDateTimeMapper(const TnxFieldMapperClass& aClass,
                                                            TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                            TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                            const TnxFieldMapperDescriptor* aMapperDesc,
                                                            TnxMappingMethod& aMapper) {
  aMapper.Clear();
  if (aSourceField.FieldType() != kSource) return nullptr;
  const bool bestFit = nxMapperWantsBestFit(aMapperDesc);
  const TnxFieldType target = aTargetField.FieldType();
  if (IsText(target)) {
    if constexpr (kSource == nxtGuid) {
      if (aTargetField.Units() <= 38) return nullptr;
      switch (TextTargetOf(target)) {
        case TextTarget::Short: aMapper = {&GuidToText<TextTarget::Short>, &aClass}; break;
        case TextTarget::Null: aMapper = {&GuidToText<TextTarget::Null>, &aClass}; break;
        case TextTarget::Wide: aMapper = {&GuidToText<TextTarget::Wide>, &aClass}; break;
      }
      return nullptr;
    } else {
      return std::make_unique<TnxDateTimeTextMapperOf>(aClass, aSourceField, aTargetField, bestFit, aMapper);
    }
  }
  TnxMappingRoutine r = nullptr;
  if (target == nxtByteArray) {
    if constexpr (kSource == nxtGuid) {
      if (aTargetField.Units() >= 16) r = &Copy<16>;
    } else if (aTargetField.Units() >= 8) {
      r = kSource == nxtDateTime ? &Copy<8> : &Copy<4>;
    }
  } else if (target == kSource) {
    r = kSource == nxtGuid ? &Copy<16> : kSource == nxtDateTime ? &Copy<8> : &Copy<4>;
  } else if constexpr (kSource == nxtTime) {
    if (bestFit && (target == nxtDate || target == nxtDateTime)) r = &NoDate;
  } else if constexpr (kSource == nxtDate) {
    if (target == nxtTime && bestFit) r = &Midnight;
    if (target == nxtDateTime) r = &DateToDateTime;
  } else if constexpr (kSource == nxtDateTime) {
    if (target == nxtDouble) r = &DateTimeToDouble;
    if (target == nxtDate) r = bestFit ? &DateTimeToDate<true> : &DateTimeToDate<false>;
    if (target == nxtTime) r = bestFit ? &DateTimeToTime<true> : &DateTimeToTime<false>;
  }
  if (r) aMapper = {r, &aClass};
  return nullptr;
}

}  // namespace

const TnxFieldMapperClass TnxTimeMapper::ClassInfo{u"TnxTimeMapper", &TryCreateDateTimeMapper<nxtTime>};
const TnxFieldMapperClass TnxDateMapper::ClassInfo{u"TnxDateMapper", &TryCreateDateTimeMapper<nxtDate>};
const TnxFieldMapperClass TnxDateTimeMapper::ClassInfo{u"TnxDateTimeMapper", &TryCreateDateTimeMapper<nxtDateTime>};
const TnxFieldMapperClass TnxGuidMapper::ClassInfo{u"TnxGuidMapper", &TryCreateDateTimeMapper<nxtGuid>};

}  // namespace revurov
