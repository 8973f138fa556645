#include "fieldmap/byte_array_mappers.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "dictionary/field_descriptor.h"
#include "fieldmap/code_page_text.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"

namespace revurov {

namespace {

using platform::StoreLE;
using platform::TCodePageConverter;

constexpr uint32_t kMapped = 0;
constexpr uint32_t kLost = nxeInvalidFieldTransformation;
constexpr int32_t kGuidLength = 16;

class TnxByteArrayMapperOf final : public TnxBaseFieldMapper {
public:
  TnxByteArrayMapperOf(const TnxFieldMapperClass& aClass, TnxFieldDescriptor& aSource, TnxFieldDescriptor& aTarget,
                       bool aBestFit, TnxMappingMethod& aMapper)
      : bamSourceLength(aSource.Length()),
        bamTargetLength(aTarget.Length()),
        bamSourceCodepage(aSource.GetUsedStorageCodePage()),
        bamTargetCodepage(aTarget.GetUsedStorageCodePage()) {
    const TnxFieldType target = aTarget.FieldType();
    const bool shortString = target == nxtShortString;
    bamContext.Class = aClass.Name;
    bool multiByte = false;
    if (bamTargetCodepage != 0 && target != nxtWideString) {
      bamContext.Routine = shortString ? u"ToShortStringConvert" : u"ToNullStringConvert";
      bamTarget = nxOpenMapperConverter(bamTargetCodepage, bamContext, nxNarrowFunction);
      multiByte = bamTarget->MaxCharSize() > 1;
    }
    // Room, not length: a text target's length counts its length or zero
    // byte, and a copy into one byte less would halve a double-byte
    // character.
    const bool convert = bamSourceCodepage != 0 && bamTargetCodepage != 0 &&
                         (bamSourceCodepage != bamTargetCodepage || (multiByte && Capacity() < bamSourceLength));
    TnxMappingRoutine r = nullptr;
    switch (target) {
      case nxtByteArray:
        if (aBestFit || bamTargetLength >= bamSourceLength) r = &Copy<false>;
        break;
      case nxtGuid:
        if (aBestFit || bamSourceLength >= kGuidLength) r = &Copy<true>;
        break;
      case nxtShortString: case nxtNullString:
        if (convert) {
          bamContext.Routine = shortString ? (aBestFit ? u"ToShortStringConvert" : u"ToShortStringConvertCheck")
                                           : (aBestFit ? u"ToNullStringConvert" : u"ToNullStringConvertCheck");
          bamSource = nxOpenMapperConverter(bamSourceCodepage, bamContext, nxWidenFunction);
          r = shortString ? (aBestFit ? &ToAnsi<true, true> : &ToAnsi<true, false>)
                          : (aBestFit ? &ToAnsi<false, true> : &ToAnsi<false, false>);
        } else if (aBestFit || bamSourceLength < bamTargetLength) {
          r = shortString ? &Plain<true> : &Plain<false>;
        }
        break;
      case nxtWideString:
        if (!aBestFit && bamSourceLength >= bamTargetLength / 2) break;
        bamContext.Routine = aBestFit ? u"ToWideString" : u"ToWideStringCheck";
        bamSource = nxOpenMapperConverter(nxResolvedCodePage(bamSourceCodepage), bamContext, nxWidenFunction);
        r = aBestFit ? &ToWide<true> : &ToWide<false>;
        break;
      default: break;
    }
    aMapper = {r, this};
  }

private:
  int32_t bamSourceLength;
  int32_t bamTargetLength;
  uint16_t bamSourceCodepage;
  uint16_t bamTargetCodepage;
  TnxMapperContext bamContext;
  std::unique_ptr<TCodePageConverter> bamSource;
  std::unique_ptr<TCodePageConverter> bamTarget;

  static const TnxByteArrayMapperOf& Self(const void* aData) {
    return *static_cast<const TnxByteArrayMapperOf*>(aData);
  }
  size_t SourceLength() const noexcept { return static_cast<size_t>(std::max(bamSourceLength, 0)); }
  int32_t Capacity() const noexcept { return std::max(bamTargetLength - 1, 0); }
  std::string_view Source(const void* aSource) const noexcept {
    return {static_cast<const char*>(aSource), SourceLength()};
  }

  template <bool kGuid>
  static uint32_t Copy(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    const int32_t m = kGuid ? kGuidLength : self.bamTargetLength;
    std::memcpy(aTarget, aSource, static_cast<size_t>(std::max(std::min(self.bamSourceLength, m), 0)));
    return kMapped;
  }

  template <bool kShort>
  static uint32_t Plain(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    const size_t n = std::min(self.SourceLength(), static_cast<size_t>(self.Capacity()));
    auto* t = static_cast<uint8_t*>(aTarget);
    if constexpr (kShort) {
      t[0] = static_cast<uint8_t>(n);
      std::memcpy(t + 1, aSource, n);
    } else {
      std::memcpy(t, aSource, n);
      t[n] = 0;
    }
    return kMapped;
  }

  template <bool kShort, bool kBestFit>
  static uint32_t ToAnsi(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    auto* t = static_cast<uint8_t*>(aTarget);
    char* area = reinterpret_cast<char*>(t) + (kShort ? 1 : 0);
    int32_t n = 0;
    uint32_t result = kMapped;
    if (self.SourceLength() > 0 && *static_cast<const uint8_t*>(aSource) != 0) {
      TnxWideBuffer buffer;
      const std::u16string_view wide = nxWidenText(*self.bamSource, self.Source(aSource), buffer, self.bamContext);
      if constexpr (kBestFit) {
        n = nxNarrowTextCut(*self.bamTarget, wide, area, self.Capacity(), self.bamContext);
      } else {
        n = nxNarrowTextCheck(*self.bamTarget, wide, area, self.Capacity(), self.bamContext);
        if (n > self.Capacity()) n = 0, result = kLost;
      }
    }
    if constexpr (kShort)
      t[0] = static_cast<uint8_t>(n);
    else
      area[n] = 0;
    return result;
  }

  template <bool kBestFit>
  static uint32_t ToWide(const void* aData, const void* aSource, void* aTarget) {
    const auto& self = Self(aData);
    auto* t = static_cast<uint8_t*>(aTarget);
    const size_t room = static_cast<size_t>(std::max(self.bamTargetLength / 2 - 1, 0));
    std::u16string_view wide;
    TnxWideBuffer buffer;
    uint32_t result = kMapped;
    if (self.SourceLength() > 0 && *static_cast<const uint8_t*>(aSource) != 0) {
      wide = nxWidenText(*self.bamSource, self.Source(aSource), buffer, self.bamContext);
      if (wide.size() > room) {
        if constexpr (kBestFit) {
          // Too long: the text up to its first 0 byte, cut to the room.
          const std::string_view text = self.Source(aSource);
          wide = nxWidenText(*self.bamSource, text.substr(0, text.find('\0')), buffer, self.bamContext);
          size_t n = std::min(wide.size(), room);
          if (n > 0 && n < wide.size() && (wide[n - 1] & 0xFC00) == 0xD800 && (wide[n] & 0xFC00) == 0xDC00) --n;
          wide = wide.substr(0, n);
        } else {
          wide = {};
          result = kLost;
        }
      }
    }
    for (size_t i = 0; i < wide.size(); ++i) StoreLE<uint16_t>(t + 2 * i, wide[i]);
    StoreLE<uint16_t>(t + 2 * wide.size(), 0);
    return result;
  }
};

std::unique_ptr<TnxBaseFieldMapper> TryCreateByteArrayMapper(const TnxFieldMapperClass& aClass,
                                                             TnxFieldDescriptor& aSourceField, TnxAbstractCursor*,
                                                             TnxFieldDescriptor& aTargetField, TnxAbstractCursor*,
                                                             const TnxFieldMapperDescriptor* aMapperDesc,
                                                             TnxMappingMethod& aMapper) {
  aMapper.Clear();
  if (aSourceField.FieldType() != nxtByteArray) return nullptr;
  switch (aTargetField.FieldType()) {
    case nxtByteArray: case nxtGuid: case nxtShortString: case nxtNullString: case nxtWideString: break;
    default: return nullptr;
  }
  auto mapper = std::make_unique<TnxByteArrayMapperOf>(aClass, aSourceField, aTargetField,
                                                       nxMapperWantsBestFit(aMapperDesc), aMapper);
  if (!aMapper.Assigned()) return nullptr;
  return mapper;
}

}  // namespace

const TnxFieldMapperClass TnxByteArrayMapper::ClassInfo{u"TnxByteArrayMapper", &TryCreateByteArrayMapper};

}  // namespace revurov
