#include "dictionary/token_key_engines.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "dictionary/locale_descriptor.h"
#include "dictionary/token_key_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/strings/utils_compare.h"
#include "platform/endian.h"
#include "platform/nls.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {

namespace {

constexpr bool IsHighSurrogate(char16_t c) noexcept { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool IsLowSurrogate(char16_t c) noexcept { return c >= 0xDC00 && c <= 0xDFFF; }

template <class D>
void CheckDescriptorIs(TnxBaseKeyDescriptor& aDescriptor) {
  if (!aDescriptor.ClassType().InheritsFrom(D::ClassInfo())) throw platform::EInvalidCast(platform::SInvalidCast);
}

template <class D>
D& DescriptorAs(TnxBaseKeyDescriptor& aDescriptor) {
  CheckDescriptorIs<D>(aDescriptor);
  return static_cast<D&>(aDescriptor);
}

std::unique_ptr<platform::TLocaleCollator> OpenCollator(uint32_t aLocale, uint32_t aFlags,
                                                        std::u16string_view aContext) {
  if (aLocale == 0) return nullptr;
  auto collator = platform::TLocaleCollator::Open(aLocale, aFlags);
  if (!collator) nxRaiseLastOSError(aContext, 0);
  return collator;
}

// How many units of aToken a token area of aMax units takes: never the
// high half of a pair without its low half.
uint16_t UnitsToKeep(std::u16string_view aToken, int32_t aMax) noexcept {
  size_t n = std::min(aToken.size(), static_cast<size_t>(aMax));
  if (n > 0 && IsHighSurrogate(aToken[n - 1])) --n;
  return static_cast<uint16_t>(n);
}

// Writes the first n units of aToken at aArea; reversed, a surrogate pair
// moves as one and keeps its inner order.
void WriteToken(uint8_t* aArea, std::u16string_view aToken, uint16_t n, bool aReverse) noexcept {
  if (!aReverse) {
    for (size_t i = 0; i < n; ++i) platform::StoreU16(aArea + 2 * i, aToken[i]);
    return;
  }
  for (size_t i = 0; i < n;) {
    if (i + 1 < n && IsHighSurrogate(aToken[i]) && IsLowSurrogate(aToken[i + 1])) {
      platform::StoreU16(aArea + 2 * (n - 2 - i), aToken[i]);
      platform::StoreU16(aArea + 2 * (n - 1 - i), aToken[i + 1]);
      i += 2;
    } else {
      platform::StoreU16(aArea + 2 * (n - 1 - i), aToken[i]);
      ++i;
    }
  }
}

std::u16string ReadToken(const uint8_t* aArea, uint16_t n) {
  std::u16string s(n, u'\0');
  for (size_t i = 0; i < n; ++i) s[i] = platform::LoadU16(aArea + 2 * i);
  return s;
}

// Orders two token areas of p and q units (both above 0, at most
// nxMaxTokenSize): by the collator, or by bytes and then by length.
int CompareTokens(const platform::TLocaleCollator* aCollator, const uint8_t* a, uint16_t p, const uint8_t* b,
                  uint16_t q) noexcept {
  if (!aCollator) {
    const int r = nxCmpBytes(a, b, 2 * static_cast<size_t>(std::min(p, q)));
    return r != 0 ? r : nxCmpInteger(p, q);
  }
  // Key buffers carry no alignment; the units are copied out on the stack.
  std::array<char16_t, nxMaxTokenSize> ua, ub;
  for (size_t i = 0; i < p; ++i) ua[i] = platform::LoadU16(a + 2 * i);
  for (size_t i = 0; i < q; ++i) ub[i] = platform::LoadU16(b + 2 * i);
  return aCollator->Compare(ua.data(), p, ub.data(), q);
}

// A stored length never reaches past the token area, whatever the buffer
// holds.
uint16_t StoredLength(const uint8_t* aWord, int32_t aMax) noexcept {
  return static_cast<uint16_t>(std::min<int32_t>(platform::LoadU16(aWord), aMax));
}

}  // namespace

// ---- TnxBitArrayTokenKeyEngine ----

TnxBitArrayTokenKeyEngine::TnxBitArrayTokenKeyEngine(TnxBaseKeyDescriptor& aDescriptor)
    : TnxBaseKeyEngine(aDescriptor) {
  const auto& d = DescriptorAs<TnxBitArrayTokenKeyDescriptor>(aDescriptor);
  batkePerField = d.PerFieldIndex();
  batkeMaxTokenSize = d.MaxTokenSize();
  batkeReverse = d.Reverse();
  batkeLocale = d.Locale();
  batkeFlags = d.Flags();
  batkeCollator = OpenCollator(batkeLocale, batkeFlags, u"TnxBitArrayTokenKeyEngine/ucol_open");
}

TnxBitArrayTokenKeyEngine::~TnxBitArrayTokenKeyEngine() = default;

void TnxBitArrayTokenKeyEngine::CheckValidDescriptor(TnxBaseKeyDescriptor& aDescriptor) {
  CheckDescriptorIs<TnxBitArrayTokenKeyDescriptor>(aDescriptor);
}

bool TnxBitArrayTokenKeyEngine::GetKeyFieldForFilter(int32_t, std::u16string_view, const uint8_t*, uint16_t&,
                                                     uint16_t&, bool&, const void*&, uint16_t&) const {
  return false;
}

int32_t TnxBitArrayTokenKeyEngine::GetKeyFieldIndex(std::u16string_view) const { return -1; }

InxFieldDescriptor* TnxBitArrayTokenKeyEngine::GetKeyFieldEngine(int32_t) const { return nullptr; }

void TnxBitArrayTokenKeyEngine::ClearKey(uint8_t* aKey) const noexcept {
  if (aKey) std::memset(aKey, 0, KeyLength());
}

uint32_t TnxBitArrayTokenKeyEngine::BuildKey(const uint8_t*, uint8_t*, TnxRefNr, bool) const {
  return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported,
                                        u"BuildKey is not supported by TnxBitArrayTokenKeyEngine");
}

void TnxBitArrayTokenKeyEngine::InternalBuildKey(uint16_t aSegment, std::u16string_view aToken, int16_t aField,
                                                 uint8_t* aKey) const {
  platform::StoreU16(aKey, aSegment);
  const uint16_t n = UnitsToKeep(aToken, batkeMaxTokenSize);
  platform::StoreU16(aKey + 2, n);
  WriteToken(aKey + 4, aToken, n, batkeReverse);
  if (batkePerField) platform::StoreU16(aKey + 4 + 2 * batkeMaxTokenSize, static_cast<uint16_t>(aField));
}

int TnxBitArrayTokenKeyEngine::CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t, int32_t) const {
  int r = nxCmpWord(platform::LoadU16(aKey1), platform::LoadU16(aKey2));
  if (r != 0) return r;
  const uint16_t p = StoredLength(aKey1 + 2, batkeMaxTokenSize);
  const uint16_t q = StoredLength(aKey2 + 2, batkeMaxTokenSize);
  if (p == 0 || q == 0)
    r = nxCmpInteger(p != 0, q != 0);
  else
    r = CompareTokens(batkeCollator.get(), aKey1 + 4, p, aKey2 + 4, q);
  if (r == 0 && batkePerField) {
    const size_t at = 4 + 2 * static_cast<size_t>(batkeMaxTokenSize);
    r = nxCmpSmallInt(static_cast<int16_t>(platform::LoadU16(aKey1 + at)),
                      static_cast<int16_t>(platform::LoadU16(aKey2 + at)));
  }
  return r;
}

platform::TnxVariant TnxBitArrayTokenKeyEngine::KeyAsVariant(const uint8_t* aKey, int32_t aField) const {
  const int32_t count = batkePerField ? 3 : 2;
  if (aField < -1 || aField >= count) nxCheckError(nxeInvalidDescriptorNumber);
  if (!aKey) return platform::TnxVariant::Null();
  auto element = [&](int32_t i) {
    switch (i) {
      case 0:
        return platform::TnxVariant::FromWord(platform::LoadU16(aKey));
      case 1: {
        const uint16_t n = StoredLength(aKey + 2, batkeMaxTokenSize);
        return n == 0 ? platform::TnxVariant::Null() : platform::TnxVariant::FromString(ReadToken(aKey + 4, n));
      }
      default:
        return platform::TnxVariant::FromSmallint(
            static_cast<int16_t>(platform::LoadU16(aKey + 4 + 2 * static_cast<size_t>(batkeMaxTokenSize))));
    }
  };
  if (aField >= 0) return element(aField);
  auto v = platform::TnxVariant::VarArrayCreate({{0, count - 1}}, 0x000C /* varVariant */);
  for (int32_t i = 0; i < count; ++i) v.PutElement({i}, element(i));
  return v;
}

// ---- TnxMainIndexTokenKeyEngine ----

TnxMainIndexTokenKeyEngine::TnxMainIndexTokenKeyEngine(TnxBaseKeyDescriptor& aDescriptor)
    : TnxBaseKeyEngine(aDescriptor) {
  const auto& d = DescriptorAs<TnxMainIndexTokenKeyDescriptor>(aDescriptor);
  mitkeIncludeLocation = d.IncludeLocation();
  mitkeMaxTokenSize = d.MaxTokenSize();
  mitkeLocale = d.Locale();
  mitkeFlags = d.Flags();
  if (mitkeLocale != 0) {
    mitkeLocaleDescriptor = std::make_unique<TnxLocaleDescriptor>(nullptr);
    mitkeLocaleDescriptor->SetLocale(mitkeLocale);
    mitkeLocaleDescriptor->SetFlags(mitkeFlags);
  }
  mitkeCollator = OpenCollator(mitkeLocale, mitkeFlags, u"TnxMainIndexTokenKeyEngine/ucol_open");
}

TnxMainIndexTokenKeyEngine::~TnxMainIndexTokenKeyEngine() = default;

void TnxMainIndexTokenKeyEngine::CheckValidDescriptor(TnxBaseKeyDescriptor& aDescriptor) {
  CheckDescriptorIs<TnxMainIndexTokenKeyDescriptor>(aDescriptor);
}

bool TnxMainIndexTokenKeyEngine::GetKeyFieldForFilter(int32_t aIndex, std::u16string_view aName,
                                                      const uint8_t* aKey, uint16_t& aType, uint16_t& aSize,
                                                      bool& aIsNull, const void*& aValue,
                                                      uint16_t& aCodePage) const {
  if (!aName.empty()) aIndex = GetKeyFieldIndex(aName);
  if (aIndex == 0) {
    aType = nxtWideString;
    aSize = static_cast<uint16_t>(mitkeMaxTokenSize);
    aIsNull = aKey == nullptr;
    aValue = nullptr;
    aCodePage = 0;
    if (aKey) {
      aSize = StoredLength(aKey, mitkeMaxTokenSize);
      if (aSize == 0)
        aIsNull = true;
      else
        aValue = aKey + 2;
    }
    return true;
  }
  if (aIndex == 1 && mitkeIncludeLocation) {
    aType = nxtAutoInc;
    aSize = 4;
    aIsNull = aKey == nullptr;
    aValue = aKey ? aKey + KeyLength() - 4 : nullptr;
    aCodePage = 0;
    return true;
  }
  return false;
}

int32_t TnxMainIndexTokenKeyEngine::GetKeyFieldIndex(std::u16string_view aName) const {
  if (platform::AsciiSameText(aName, u"Token")) return 0;
  if (mitkeIncludeLocation && platform::AsciiSameText(aName, u"Location")) return 1;
  return -1;
}

InxFieldDescriptor* TnxMainIndexTokenKeyEngine::GetKeyFieldEngine(int32_t aIndex) const {
  if (aIndex == 0) return const_cast<TnxMainIndexTokenKeyEngine*>(this);
  if (aIndex == 1 && mitkeIncludeLocation) return &mitkeLocationField;
  return nullptr;
}

void TnxMainIndexTokenKeyEngine::ClearKey(uint8_t* aKey) const noexcept {
  if (aKey) std::memset(aKey, 0, KeyLength());
}

// Token keys come from the fulltext engines, never from a record.
uint32_t TnxMainIndexTokenKeyEngine::BuildKey(const uint8_t*, uint8_t*, TnxRefNr, bool) const { return 1; }

void TnxMainIndexTokenKeyEngine::InternalBuildKey(std::u16string_view aToken, uint32_t aLocation,
                                                  uint8_t* aKey) const {
  if (mitkeIncludeLocation) platform::StoreU32(aKey + KeyLength() - 4, aLocation);
  const uint16_t n = UnitsToKeep(aToken, mitkeMaxTokenSize);
  platform::StoreU16(aKey, n);
  WriteToken(aKey + 2, aToken, n, false);
}

int TnxMainIndexTokenKeyEngine::CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t,
                                           int32_t aPartialLen) const {
  uint16_t p = StoredLength(aKey1, mitkeMaxTokenSize);
  uint16_t q = StoredLength(aKey2, mitkeMaxTokenSize);
  if (aPartialLen > 0) {
    p = static_cast<uint16_t>(std::min<int32_t>(p, aPartialLen));
    q = static_cast<uint16_t>(std::min<int32_t>(q, aPartialLen));
  }
  if (p == 0) return q == 0 ? 0 : -1;
  if (q == 0) return 1;
  return CompareTokens(mitkeCollator.get(), aKey1 + 2, p, aKey2 + 2, q);
}

platform::TnxVariant TnxMainIndexTokenKeyEngine::KeyAsVariant(const uint8_t* aKey, int32_t aField) const {
  if (aField < -1 || aField > GetMaxFieldCount() - 1) nxCheckError(nxeInvalidDescriptorNumber);
  if (!aKey) return platform::TnxVariant::Null();
  if (aField <= 0) {
    const uint16_t n = StoredLength(aKey, mitkeMaxTokenSize);
    return n == 0 ? platform::TnxVariant::Null() : platform::TnxVariant::FromString(ReadToken(aKey + 2, n));
  }
  return platform::TnxVariant::FromLongWord(platform::LoadU32(aKey + KeyLength() - 4));
}

}  // namespace revurov
