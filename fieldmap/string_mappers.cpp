#include "fieldmap/string_mappers.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "dictionary/field_descriptor.h"
#include "fieldmap/code_page_text.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/code_page.h"
#include "platform/endian.h"

namespace revurov {

namespace {

using platform::LoadLE;
using platform::StoreLE;
using platform::TCodePageConverter;

constexpr uint32_t kMapped = 0;
constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr size_t kUnbounded = static_cast<size_t>(-1);

using Context = TnxMapperContext;

bool IsBlobType(TnxFieldType aType) noexcept {
  return aType == nxtBlob || aType == nxtBlobMemo || aType == nxtBlobGraphic;
}

// A wide memo read whole, handed over as WideString text.
bool IsWideBlobType(TnxFieldType aType) noexcept { return aType == nxtBlobWideMemo; }

bool IsHighSurrogate(char16_t aUnit) noexcept { return (aUnit & 0xFC00) == 0xD800; }
bool IsLowSurrogate(char16_t aUnit) noexcept { return (aUnit & 0xFC00) == 0xDC00; }

// The count of aText's first units that keeps a surrogate pair whole.
size_t WholeUnits(std::u16string_view aText, size_t aCount) noexcept {
  if (aCount > 0 && aCount < aText.size() && IsHighSurrogate(aText[aCount - 1]) && IsLowSurrogate(aText[aCount]))
    --aCount;
  return aCount;
}

size_t TrimmedBytes(const char* aChars, size_t aCount) noexcept {
  while (aCount > 0 && aChars[aCount - 1] == ' ') --aCount;
  return aCount;
}

std::u16string_view TrimmedUnits(std::u16string_view aText) noexcept {
  while (!aText.empty() && aText.back() == u' ') aText.remove_suffix(1);
  return aText;
}

// ---- text in its field layout ----

// aLimit: the source field's length in bytes, or kUnbounded for text read
// from a BLOB, whose field length says nothing about it.
std::string_view AnsiSource(bool aShort, const void* aSource, size_t aLimit) noexcept {
  const auto* p = static_cast<const char*>(aSource);
  if (aShort) {
    size_t n = static_cast<uint8_t>(p[0]);
    if (aLimit != kUnbounded) n = std::min(n, aLimit > 0 ? aLimit - 1 : 0);
    return {p + 1, n};
  }
  return {p, aLimit == kUnbounded ? std::strlen(p) : strnlen(p, aLimit)};
}

char* AnsiArea(bool aShort, void* aTarget) noexcept { return static_cast<char*>(aTarget) + (aShort ? 1 : 0); }

// The characters are in place already.
void FinishAnsi(bool aShort, void* aTarget, size_t aCount) noexcept {
  auto* p = static_cast<uint8_t*>(aTarget);
  if (aShort)
    p[0] = static_cast<uint8_t>(aCount);
  else
    p[aCount] = 0;
}

void StoreAnsi(bool aShort, void* aTarget, const char* aChars, size_t aCount) noexcept {
  std::memmove(AnsiArea(aShort, aTarget), aChars, aCount);
  FinishAnsi(aShort, aTarget, aCount);
}

std::u16string_view WideSource(const void* aSource, size_t aUnitLimit, TnxWideBuffer& aBuffer) {
  const auto* p = static_cast<const uint8_t*>(aSource);
  size_t n = 0;
  while (n < aUnitLimit && LoadLE<uint16_t>(p + 2 * n) != 0) ++n;
  char16_t* units = aBuffer.Reserve(n);
  for (size_t i = 0; i < n; ++i) units[i] = LoadLE<uint16_t>(p + 2 * i);
  return {units, n};
}

void StoreWide(void* aTarget, std::u16string_view aText) noexcept {
  auto* p = static_cast<uint8_t*>(aTarget);
  for (size_t i = 0; i < aText.size(); ++i) StoreLE<uint16_t>(p + 2 * i, aText[i]);
  StoreLE<uint16_t>(p + 2 * aText.size(), 0);
}

// ---- what every converting mapper keeps ----

uint16_t UsedCodePage(TnxFieldDescriptor& aField) { return aField.GetUsedStorageCodePage(); }

// ---- 8-bit text into 8-bit text ----

template <bool kSourceShort, bool kTargetShort>
class TnxAnsiToAnsiMapperOf final : public TnxBaseFieldMapper {
public:
  TnxAnsiToAnsiMapperOf(const TnxFieldMapperClass& aClass, TnxFieldDescriptor& aSource, TnxFieldDescriptor& aTarget,
                        bool aBestFit, TnxMappingMethod& aMapper)
      : aamTargetLength(aTarget.Length()),
        aamSourceCodepage(UsedCodePage(aSource)),
        aamTargetCodepage(UsedCodePage(aTarget)),
        aamSourceLimit(IsBlobType(aSource.FieldType()) ? kUnbounded : static_cast<size_t>(aSource.Length())) {
    const bool trim = aSource.DecPl() == 0 && aTarget.DecPl() > 0;
    aamContext = {aClass.Name, RoutineName(aBestFit)};
    bool multiByte = false;
    if (aamTargetCodepage != 0) {
      aamTarget = nxOpenMapperConverter(aamTargetCodepage, aamContext, nxNarrowFunction);
      multiByte = aamTarget->MaxCharSize() > 1;
    }
    const bool shorter = aamTargetLength < aSource.Length() || aamSourceLimit == kUnbounded;
    const bool convert = aamSourceCodepage != 0 && aamTargetCodepage != 0 &&
                         (aamSourceCodepage != aamTargetCodepage || (multiByte && shorter));
    TnxMappingRoutine r;
    if (convert) {
      aamSource = nxOpenMapperConverter(aamSourceCodepage, aamContext, nxWidenFunction);
      r = aBestFit ? (trim ? &ConvertCut<true> : &ConvertCut<false>)
                   : (trim ? &ConvertCheck<true> : &ConvertCheck<false>);
    } else if (!shorter) {
      // Any value of the source fits.
      if constexpr (kSourceShort && kTargetShort)
        r = trim ? &WholeCopy<true> : &WholeCopy<false>;
      else
        r = trim ? &CutCopy<true> : &CutCopy<false>;
    } else {
      r = aBestFit ? (trim ? &CutCopy<true> : &CutCopy<false>) : (trim ? &CheckCopy<true> : &CheckCopy<false>);
    }
    aMapper = {r, this};
  }

private:
  int32_t aamTargetLength;
  uint16_t aamSourceCodepage;
  uint16_t aamTargetCodepage;
  size_t aamSourceLimit;
  Context aamContext;
  std::unique_ptr<TCodePageConverter> aamSource;
  std::unique_ptr<TCodePageConverter> aamTarget;

  static std::u16string_view RoutineName(bool aBestFit) noexcept {
    if constexpr (kSourceShort && kTargetShort) return aBestFit ? u"ToShortStringConvert" : u"ToShortStringConvertCheck";
    return kTargetShort ? u"ToShortStringConvertCheck" : u"ToNullStringConvertCheck";
  }

  static const TnxAnsiToAnsiMapperOf& Self(const void* aData) {
    return *static_cast<const TnxAnsiToAnsiMapperOf*>(aData);
  }
  int32_t Capacity() const noexcept { return std::max(aamTargetLength - 1, 0); }
  std::string_view Source(const void* aSource) const noexcept {
    return AnsiSource(kSourceShort, aSource, aamSourceLimit);
  }

  template <bool kTrim>
  static uint32_t WholeCopy(const void*, const void* aSource, void* aTarget) {
    const auto* s = static_cast<const uint8_t*>(aSource);
    auto* t = static_cast<uint8_t*>(aTarget);
    std::memcpy(t, s, size_t{s[0]} + 1);
    if constexpr (kTrim) t[0] = static_cast<uint8_t>(TrimmedBytes(reinterpret_cast<const char*>(t) + 1, t[0]));
    return kMapped;
  }

  template <bool kTrim>
  static uint32_t CutCopy(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    const std::string_view text = self.Source(aSource);
    size_t n = std::min(text.size(), static_cast<size_t>(self.Capacity()));
    if constexpr (kTrim) n = TrimmedBytes(text.data(), n);
    StoreAnsi(kTargetShort, aTarget, text.data(), n);
    return kMapped;
  }

  template <bool kTrim>
  static uint32_t CheckCopy(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    const std::string_view text = self.Source(aSource);
    size_t n = text.size();
    if constexpr (kTrim) n = TrimmedBytes(text.data(), n);
    if (n > static_cast<size_t>(self.Capacity())) return kLost;
    StoreAnsi(kTargetShort, aTarget, text.data(), n);
    return kMapped;
  }

  template <bool kTrim>
  static uint32_t ConvertCut(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    TnxWideBuffer buffer;
    const std::u16string_view wide = nxWidenText(*self.aamSource, self.Source(aSource), buffer, self.aamContext);
    char* area = AnsiArea(kTargetShort, aTarget);
    size_t n = static_cast<size_t>(nxNarrowTextCut(*self.aamTarget, wide, area, self.Capacity(), self.aamContext));
    if constexpr (kTrim) n = TrimmedBytes(area, n);
    FinishAnsi(kTargetShort, aTarget, n);
    return kMapped;
  }

  template <bool kTrim>
  static uint32_t ConvertCheck(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    TnxWideBuffer buffer;
    std::u16string_view wide = nxWidenText(*self.aamSource, self.Source(aSource), buffer, self.aamContext);
    if constexpr (kTrim) wide = TrimmedUnits(wide);
    const int32_t n = nxNarrowTextCheck(*self.aamTarget, wide, AnsiArea(kTargetShort, aTarget), self.Capacity(),
                                  self.aamContext);
    if (n > self.Capacity()) {
      FinishAnsi(kTargetShort, aTarget, 0);
      return kLost;
    }
    FinishAnsi(kTargetShort, aTarget, static_cast<size_t>(n));
    return kMapped;
  }
};

// ---- WideString into 8-bit text ----

template <bool kTargetShort>
class TnxWideToAnsiMapperOf final : public TnxBaseFieldMapper {
public:
  TnxWideToAnsiMapperOf(const TnxFieldMapperClass& aClass, TnxFieldDescriptor& aSource, TnxFieldDescriptor& aTarget,
                        bool aBestFit, TnxMappingMethod& aMapper)
      : wtaTargetLength(aTarget.Length()),
        wtaTargetCodepage(UsedCodePage(aTarget)),
        wtaSourceUnits(IsWideBlobType(aSource.FieldType()) ? kUnbounded
                                                           : static_cast<size_t>(std::max(aSource.Length() / 2, 0))) {
    const bool trim = aSource.DecPl() == 0 && aTarget.DecPl() > 0;
    if constexpr (kTargetShort)
      wtaContext = {aClass.Name, aBestFit ? u"ToShortStringConvert" : u"ToShortStringConvertCheck"};
    else
      wtaContext = {aClass.Name, aBestFit ? u"ToNullStringConvert" : u"ToNullStringConvertCheck"};
    wtaTarget = nxOpenMapperConverter(nxResolvedCodePage(wtaTargetCodepage), wtaContext, nxNarrowFunction);
    aMapper = {aBestFit ? (trim ? &Cut<true> : &Cut<false>) : (trim ? &Check<true> : &Check<false>), this};
  }

private:
  int32_t wtaTargetLength;
  uint16_t wtaTargetCodepage;
  size_t wtaSourceUnits;
  Context wtaContext;
  std::unique_ptr<TCodePageConverter> wtaTarget;

  static const TnxWideToAnsiMapperOf& Self(const void* aData) {
    return *static_cast<const TnxWideToAnsiMapperOf*>(aData);
  }
  int32_t Capacity() const noexcept { return std::max(wtaTargetLength - 1, 0); }

  template <bool kTrim>
  static uint32_t Cut(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    TnxWideBuffer buffer;
    const std::u16string_view wide = WideSource(aSource, self.wtaSourceUnits, buffer);
    char* area = AnsiArea(kTargetShort, aTarget);
    size_t n = static_cast<size_t>(nxNarrowTextCut(*self.wtaTarget, wide, area, self.Capacity(), self.wtaContext));
    if constexpr (kTrim) n = TrimmedBytes(area, n);
    FinishAnsi(kTargetShort, aTarget, n);
    return kMapped;
  }

  template <bool kTrim>
  static uint32_t Check(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    TnxWideBuffer buffer;
    std::u16string_view wide = WideSource(aSource, self.wtaSourceUnits, buffer);
    if constexpr (kTrim) wide = TrimmedUnits(wide);
    const int32_t n =
        nxNarrowTextCheck(*self.wtaTarget, wide, AnsiArea(kTargetShort, aTarget), self.Capacity(), self.wtaContext);
    if (n > self.Capacity()) {
      FinishAnsi(kTargetShort, aTarget, 0);
      return kLost;
    }
    FinishAnsi(kTargetShort, aTarget, static_cast<size_t>(n));
    return kMapped;
  }
};

// ---- 8-bit text into WideString ----

template <bool kSourceShort>
class TnxAnsiToWideMapperOf final : public TnxBaseFieldMapper {
public:
  TnxAnsiToWideMapperOf(const TnxFieldMapperClass& aClass, TnxFieldDescriptor& aSource, TnxFieldDescriptor& aTarget,
                        bool aBestFit, TnxMappingMethod& aMapper)
      : atwTargetLength(aTarget.Length()),
        atwSourceCodepage(UsedCodePage(aSource)),
        atwSourceLimit(IsBlobType(aSource.FieldType()) ? kUnbounded : static_cast<size_t>(aSource.Length())) {
    const bool trim = aSource.DecPl() == 0 && aTarget.DecPl() > 0;
    if constexpr (kSourceShort)
      atwContext = {aClass.Name, aBestFit ? u"FromShortStringConvert" : u"FromShortStringConvertCheck"};
    else
      atwContext = {aClass.Name, aBestFit ? u"FromNullStringConvert" : u"FromNullStringConvertCheck"};
    atwSource = nxOpenMapperConverter(nxResolvedCodePage(atwSourceCodepage), atwContext, nxWidenFunction);
    aMapper = {aBestFit ? (trim ? &Convert<true, true> : &Convert<true, false>)
                        : (trim ? &Convert<false, true> : &Convert<false, false>),
               this};
  }

private:
  int32_t atwTargetLength;
  uint16_t atwSourceCodepage;
  size_t atwSourceLimit;
  Context atwContext;
  std::unique_ptr<TCodePageConverter> atwSource;

  static const TnxAnsiToWideMapperOf& Self(const void* aData) {
    return *static_cast<const TnxAnsiToWideMapperOf*>(aData);
  }
  size_t Capacity() const noexcept { return static_cast<size_t>(std::max(atwTargetLength / 2 - 1, 0)); }

  template <bool kBestFit, bool kTrim>
  static uint32_t Convert(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    std::string_view text = AnsiSource(kSourceShort, aSource, self.atwSourceLimit);
    if constexpr (kTrim) text = text.substr(0, TrimmedBytes(text.data(), text.size()));
    TnxWideBuffer buffer;
    std::u16string_view wide = nxWidenText(*self.atwSource, text, buffer, self.atwContext);
    if (wide.size() > self.Capacity()) {
      if constexpr (!kBestFit) {
        StoreWide(aTarget, {});
        return kLost;
      }
      wide = wide.substr(0, WholeUnits(wide, self.Capacity()));
    }
    StoreWide(aTarget, wide);
    return kMapped;
  }
};

// ---- WideString into WideString ----

uint32_t WideSourceUnits(const uint8_t* aSource, size_t aLimit) noexcept {
  size_t n = 0;
  while (n < aLimit && LoadLE<uint16_t>(aSource + 2 * n) != 0) ++n;
  return static_cast<uint32_t>(n);
}

size_t TrimmedWideUnits(const uint8_t* aUnits, size_t aCount) noexcept {
  while (aCount > 0 && LoadLE<uint16_t>(aUnits + 2 * (aCount - 1)) == u' ') --aCount;
  return aCount;
}

void StoreWideUnits(void* aTarget, const uint8_t* aUnits, size_t aCount) noexcept {
  auto* t = static_cast<uint8_t*>(aTarget);
  std::memmove(t, aUnits, 2 * aCount);
  StoreLE<uint16_t>(t + 2 * aCount, 0);
}

// The target holds every value of the source.
template <bool kTrim>
uint32_t WideWholeCopy(const void*, const void* aSource, void* aTarget) {
  const auto* s = static_cast<const uint8_t*>(aSource);
  size_t n = WideSourceUnits(s, kUnbounded);
  if constexpr (kTrim) n = TrimmedWideUnits(s, n);
  StoreWideUnits(aTarget, s, n);
  return kMapped;
}

class TnxWideToWideMapper final : public TnxBaseFieldMapper {
public:
  TnxWideToWideMapper(TnxFieldDescriptor& aSource, TnxFieldDescriptor& aTarget, bool aBestFit,
                      TnxMappingMethod& aMapper)
      : wtwTargetLength(aTarget.Length()),
        wtwTargetUnits(std::max(aTarget.Length() / 2 - 1, 0)),
        wtwSourceUnits(IsBlobType(aSource.FieldType()) || IsWideBlobType(aSource.FieldType()) ? kUnbounded
                                                       : static_cast<size_t>(std::max(aSource.Length() / 2, 0))) {
    const bool trim = aSource.DecPl() == 0 && aTarget.DecPl() > 0;
    aMapper = {aBestFit ? (trim ? &Cut<true> : &Cut<false>) : (trim ? &Check<true> : &Check<false>), this};
  }

private:
  int32_t wtwTargetLength;
  int32_t wtwTargetUnits;
  size_t wtwSourceUnits;

  static const TnxWideToWideMapper& Self(const void* aData) { return *static_cast<const TnxWideToWideMapper*>(aData); }

  template <bool kTrim>
  static uint32_t Cut(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    const auto* s = static_cast<const uint8_t*>(aSource);
    const size_t all = WideSourceUnits(s, self.wtwSourceUnits);
    size_t n = std::min(all, static_cast<size_t>(self.wtwTargetUnits));
    if (n > 0 && n < all && IsHighSurrogate(LoadLE<uint16_t>(s + 2 * (n - 1))) &&
        IsLowSurrogate(LoadLE<uint16_t>(s + 2 * n)))
      --n;
    if constexpr (kTrim) n = TrimmedWideUnits(s, n);
    StoreWideUnits(aTarget, s, n);
    return kMapped;
  }

  template <bool kTrim>
  static uint32_t Check(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    const auto* s = static_cast<const uint8_t*>(aSource);
    size_t n = WideSourceUnits(s, self.wtwSourceUnits);
    if constexpr (kTrim) n = TrimmedWideUnits(s, n);
    if (n > static_cast<size_t>(self.wtwTargetUnits)) return kLost;
    StoreWideUnits(aTarget, s, n);
    return kMapped;
  }
};

// ---- set-up ----

std::unique_ptr<TnxBaseFieldMapper> CreateStringMapper(const TnxFieldMapperClass& aClass,
                                                       TnxFieldDescriptor& aSourceField,
                                                       TnxFieldDescriptor& aTargetField, bool aBestFit,
                                                       TnxMappingMethod& aMapper) {
  aMapper.Clear();
  const TnxFieldType source = aSourceField.FieldType();
  const TnxFieldType target = aTargetField.FieldType();
  if (&aClass == &TnxShortStringToShortStringMapper::ClassInfo)
    return std::make_unique<TnxAnsiToAnsiMapperOf<true, true>>(aClass, aSourceField, aTargetField, aBestFit, aMapper);
  if (&aClass == &TnxShortStringToNullStringMapper::ClassInfo)
    return std::make_unique<TnxAnsiToAnsiMapperOf<true, false>>(aClass, aSourceField, aTargetField, aBestFit,
                                                                aMapper);
  if (&aClass == &TnxNullStringToNullStringMapper::ClassInfo)
    return std::make_unique<TnxAnsiToAnsiMapperOf<false, false>>(aClass, aSourceField, aTargetField, aBestFit,
                                                                 aMapper);
  if (&aClass == &TnxNullStringToShortStringMapper::ClassInfo)
    return std::make_unique<TnxAnsiToAnsiMapperOf<false, true>>(aClass, aSourceField, aTargetField, aBestFit,
                                                                aMapper);
  if (&aClass == &TnxWideStringToAnsiStringMapper::ClassInfo) {
    if (target == nxtShortString)
      return std::make_unique<TnxWideToAnsiMapperOf<true>>(aClass, aSourceField, aTargetField, aBestFit, aMapper);
    if (target == nxtNullString)
      return std::make_unique<TnxWideToAnsiMapperOf<false>>(aClass, aSourceField, aTargetField, aBestFit, aMapper);
    return nullptr;
  }
  if (&aClass == &TnxAnsiStringToWideStringMapper::ClassInfo) {
    if (source == nxtShortString)
      return std::make_unique<TnxAnsiToWideMapperOf<true>>(aClass, aSourceField, aTargetField, aBestFit, aMapper);
    if (source == nxtNullString || IsBlobType(source))
      return std::make_unique<TnxAnsiToWideMapperOf<false>>(aClass, aSourceField, aTargetField, aBestFit, aMapper);
    return nullptr;
  }
  if (&aClass == &TnxWideStringToWideStringMapper::ClassInfo)
    return std::make_unique<TnxWideToWideMapper>(aSourceField, aTargetField, aBestFit, aMapper);
  return nullptr;
}

template <TnxFieldTypes kSources, TnxFieldTypes kTargets>
std::unique_ptr<TnxBaseFieldMapper> TryCreateStringMapper(const TnxFieldMapperClass& aClass,
                                                          TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                          TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                          const TnxFieldMapperDescriptor* aMapperDesc,
                                                          TnxMappingMethod& aMapper) {
  aMapper.Clear();
  if ((kSources & nxFieldTypeBit(aSourceField.FieldType())) == 0 ||
      (kTargets & nxFieldTypeBit(aTargetField.FieldType())) == 0)
    return nullptr;
  if (&aClass == &TnxWideStringToWideStringMapper::ClassInfo && aTargetField.Length() >= aSourceField.Length()) {
    const bool trim = aSourceField.DecPl() == 0 && aTargetField.DecPl() > 0;
    aMapper = {trim ? &WideWholeCopy<true> : &WideWholeCopy<false>, &aClass};
    return nullptr;
  }
  return CreateStringMapper(aClass, aSourceField, aTargetField, nxMapperWantsBestFit(aMapperDesc), aMapper);
}

constexpr TnxFieldTypes kShort = nxFieldTypeBit(nxtShortString);
constexpr TnxFieldTypes kNull = nxFieldTypeBit(nxtNullString);
constexpr TnxFieldTypes kWide = nxFieldTypeBit(nxtWideString);

}  // namespace

std::unique_ptr<TnxBaseFieldMapper> nxCreateStringMapper(const TnxFieldMapperClass& aClass,
                                                         TnxFieldDescriptor& aSourceField,
                                                         TnxFieldDescriptor& aTargetField,
                                                         const TnxFieldMapperDescriptor* aMapperDesc,
                                                         TnxMappingMethod& aMapper) {
  return CreateStringMapper(aClass, aSourceField, aTargetField, nxMapperWantsBestFit(aMapperDesc), aMapper);
}

const TnxFieldMapperClass TnxShortStringToShortStringMapper::ClassInfo{
    u"TnxShortStringToShortStringMapper", &TryCreateStringMapper<kShort, kShort>};
const TnxFieldMapperClass TnxShortStringToNullStringMapper::ClassInfo{
    u"TnxShortStringToNullStringMapper", &TryCreateStringMapper<kShort, kNull>};
const TnxFieldMapperClass TnxNullStringToNullStringMapper::ClassInfo{
    u"TnxNullStringToNullStringMapper", &TryCreateStringMapper<kNull, kNull>};
const TnxFieldMapperClass TnxNullStringToShortStringMapper::ClassInfo{
    u"TnxNullStringToShortStringMapper", &TryCreateStringMapper<kNull, kShort>};
const TnxFieldMapperClass TnxWideStringToAnsiStringMapper::ClassInfo{
    u"TnxWideStringToAnsiStringMapper", &TryCreateStringMapper<kWide, kShort | kNull>};
const TnxFieldMapperClass TnxAnsiStringToWideStringMapper::ClassInfo{
    u"TnxAnsiStringToWideStringMapper", &TryCreateStringMapper<kShort | kNull, kWide>};
const TnxFieldMapperClass TnxWideStringToWideStringMapper::ClassInfo{
    u"TnxWideStringToWideStringMapper", &TryCreateStringMapper<kWide, kWide>};

}  // namespace revurov
