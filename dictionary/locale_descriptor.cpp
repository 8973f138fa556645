#include "dictionary/locale_descriptor.h"

#include <cerrno>
#include <cstring>

#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/strings/utils_text.h"
#include "platform/locale.h"
#include "platform/nls.h"
#include "platform/os_error.h"

namespace revurov {

constinit TnxClassRegistry nxLocaleDescriptorClasses;

namespace {

std::atomic<bool> gDisable30900LocaleFixes{false};

constexpr uint32_t kSublanguageShift = 10;
constexpr uint32_t kSublangDefault = 1;

// Default ids stand for the user's locale; a neutral language id (no
// sublanguage) for the language's default sublanguage.
uint32_t ConcreteLocale(uint32_t aValue) {
  if (aValue == 0) return 0;
  uint32_t lcid = platform::ResolveLocale(aValue);
  if ((lcid >> kSublanguageShift) == 0 && lcid != platform::LOCALE_INVARIANT)
    lcid |= kSublangDefault << kSublanguageShift;
  return lcid;
}

bool SameVersion(const TnxNLSVersionInfoEx& a, const TnxNLSVersionInfoEx& b) noexcept {
  return a.dwNLSVersion == b.dwNLSVersion && a.dwDefinedVersion == b.dwDefinedVersion &&
         a.dwEffectiveId == b.dwEffectiveId &&
         std::memcmp(a.guidCustomVersion, b.guidCustomVersion, sizeof a.guidCustomVersion) == 0;
}

platform::TGUID GuidOf(const uint8_t (&b)[16]) noexcept {
  platform::TGUID g;
  g.D1 = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
  g.D2 = static_cast<uint16_t>(b[4] | b[5] << 8);
  g.D3 = static_cast<uint16_t>(b[6] | b[7] << 8);
  std::memcpy(g.D4, b + 8, 8);
  return g;
}

void BytesOf(const platform::TGUID& g, uint8_t (&b)[16]) noexcept {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(g.D1 >> (8 * i));
  b[4] = static_cast<uint8_t>(g.D2);
  b[5] = static_cast<uint8_t>(g.D2 >> 8);
  b[6] = static_cast<uint8_t>(g.D3);
  b[7] = static_cast<uint8_t>(g.D3 >> 8);
  std::memcpy(b + 8, g.D4, 8);
}

// A 32-bit unsigned value of the stream: written as its number, read back
// from any integer tag; what cannot be one is a damaged stream.
uint32_t ReadCardinal(TnxReader& aReader) {
  const int64_t v = aReader.ReadInt64();
  if (v < INT32_MIN || v > int64_t{UINT32_MAX}) throw EnxLocaleDescriptorException(nxeIncompatibleStream);
  return static_cast<uint32_t>(v);
}

}  // namespace

bool nxDisable30900LocaleFixes() noexcept { return gDisable30900LocaleFixes.load(std::memory_order_relaxed); }

void nxReadLocaleSwitches() {
  gDisable30900LocaleFixes.store(nxFindCmdLineSwitch(u"Disable30900LocaleFixes"), std::memory_order_relaxed);
}

// ---- TnxLocaleDescriptor ----

TnxLocaleDescriptor::TnxLocaleDescriptor(TnxPersistent* aParent)
    : TnxDictionaryItem(aParent), ldLocale(ConcreteLocale(platform::LOCALE_SYSTEM_DEFAULT)) {}

TnxLocaleDescriptor::~TnxLocaleDescriptor() {
  std::unique_ptr<TnxNLSVersionInfoEx> current(ldNLSVersionInfoCurrent.exchange(nullptr));
}

void TnxLocaleDescriptor::StoreLocale(uint32_t aValue) noexcept {
  if (aValue == ldLocale) return;
  ldLocale = aValue;
  // The fetched current version belonged to the old locale. A locale is
  // changed only while its dictionary is not read-only, so no reader races.
  std::unique_ptr<TnxNLSVersionInfoEx> stale(ldNLSVersionInfoCurrent.exchange(nullptr));
}

void TnxLocaleDescriptor::SetLocale(uint32_t aValue) {
  CheckReadOnly();
  StoreLocale(ConcreteLocale(aValue));
}

void TnxLocaleDescriptor::SetIgnoreKanaType(bool aValue) {
  CheckReadOnly();
  ldIgnoreKanaType = aValue;
}
void TnxLocaleDescriptor::SetIgnoreNonSpace(bool aValue) {
  CheckReadOnly();
  ldIgnoreNonSpace = aValue;
}
void TnxLocaleDescriptor::SetIgnoreSymbols(bool aValue) {
  CheckReadOnly();
  ldIgnoreSymbols = aValue;
}
void TnxLocaleDescriptor::SetIgnoreWidth(bool aValue) {
  CheckReadOnly();
  ldIgnoreWidth = aValue;
}
void TnxLocaleDescriptor::SetUseStringSort(bool aValue) {
  CheckReadOnly();
  ldUseStringSort = aValue;
}

uint32_t TnxLocaleDescriptor::GetFlags() const noexcept {
  return (ldIgnoreKanaType ? nxLocaleIgnoreKanaType : 0) | (ldIgnoreNonSpace ? nxLocaleIgnoreNonSpace : 0) |
         (ldIgnoreSymbols ? nxLocaleIgnoreSymbols : 0) | (ldIgnoreWidth ? nxLocaleIgnoreWidth : 0) |
         (ldUseStringSort ? nxLocaleStringSort : 0);
}

void TnxLocaleDescriptor::SetFlags(uint32_t aValue) {
  CheckReadOnly();
  ldIgnoreKanaType = aValue & nxLocaleIgnoreKanaType;
  ldIgnoreNonSpace = aValue & nxLocaleIgnoreNonSpace;
  ldIgnoreSymbols = aValue & nxLocaleIgnoreSymbols;
  ldIgnoreWidth = aValue & nxLocaleIgnoreWidth;
  ldUseStringSort = aValue & nxLocaleStringSort;
}

void TnxLocaleDescriptor::SetOverrideStorageCodepage(uint16_t aValue) {
  CheckReadOnly();
  ldOverrideStorageCodepage = aValue;
}

uint32_t TnxLocaleDescriptor::GetCompareCodepage() const {
  if (ldLocale == 0) return 0;
  if (platform::LocaleNameForLCID(ldLocale).empty()) {
    platform::SetLastOSError(EINVAL);
    nxRaiseLastOSError(u"[unknown]", 0);
  }
  return platform::LocaleAnsiCodePage(ldLocale);
}

uint32_t TnxLocaleDescriptor::GetStorageCodepage() const {
  return ldOverrideStorageCodepage != 0 ? ldOverrideStorageCodepage : GetCompareCodepage();
}

bool TnxLocaleDescriptor::GetCurrentLocaleVersionEqualToBuildVersion() const {
  if (ldLocale == 0 || !ldNLSVersionInfoBuild) return true;
  TnxNLSVersionInfoEx* current = ldNLSVersionInfoCurrent.load(std::memory_order_acquire);
  if (!current) {
    auto own = std::make_unique<TnxNLSVersionInfoEx>();
    nxGetNLSVersion(ldLocale, *own);
    if (ldNLSVersionInfoCurrent.compare_exchange_strong(current, own.get(), std::memory_order_acq_rel))
      current = own.release();
    // else: current holds the winner's record; ours goes with own.
  }
  return SameVersion(*current, *ldNLSVersionInfoBuild);
}

bool TnxLocaleDescriptor::IsCompareable(const TnxLocaleDescriptor* aLocaleDescriptor) const {
  return TnxDictionaryItem::IsEqual(aLocaleDescriptor) && ldLocale == aLocaleDescriptor->ldLocale &&
         GetFlags() == aLocaleDescriptor->GetFlags();
}

bool TnxLocaleDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = dynamic_cast<const TnxLocaleDescriptor*>(aItem);
  return other && IsCompareable(other) && ldOverrideStorageCodepage == other->ldOverrideStorageCodepage;
}

void TnxLocaleDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (ldLocale != 0 && !nxIsLocaleInstalled(ldLocale))
    throw EnxLocaleDescriptorException(nxeInvalidLanguageDriver, u"Locale not supported/installed: %d",
                                       {int64_t{ldLocale}});
  if (ldOverrideStorageCodepage != 0 && !nxIsCodePageInstalled(ldOverrideStorageCodepage))
    throw EnxLocaleDescriptorException(nxeInvalidLanguageDriver, u"Invalid codepage: %d",
                                       {int64_t{ldOverrideStorageCodepage}});
  if (!aForBuild) return;
  if (!nxDisable30900LocaleFixes() && ldLocale != 0) {
    if (!ldNLSVersionInfoBuild) ldNLSVersionInfoBuild = std::make_unique<TnxNLSVersionInfoEx>();
    nxGetNLSVersion(ldLocale, *ldNLSVersionInfoBuild);
  } else {
    ldNLSVersionInfoBuild.reset();
  }
}

void TnxLocaleDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxClientVersionIDs) throw EnxLocaleDescriptorException(nxeIncompatibleVersion);
  const int32_t version = aClientVersion < nxClientVersionCollation || nxDisable30900LocaleFixes() ? 1 : 2;
  aWriter.WriteInteger(version);
  aWriter.WriteInteger(int64_t{ldLocale});
  aWriter.WriteBoolean(ldIgnoreKanaType);
  aWriter.WriteBoolean(ldIgnoreNonSpace);
  aWriter.WriteBoolean(ldIgnoreSymbols);
  aWriter.WriteBoolean(ldIgnoreWidth);
  aWriter.WriteBoolean(ldUseStringSort);
  aWriter.WriteInteger(int32_t{ldOverrideStorageCodepage});
  if (version < 2) return;
  aWriter.WriteBoolean(ldNLSVersionInfoBuild != nullptr);
  if (!ldNLSVersionInfoBuild) return;
  aWriter.WriteInteger(int64_t{ldNLSVersionInfoBuild->dwNLSVersion});
  aWriter.WriteInteger(int64_t{ldNLSVersionInfoBuild->dwDefinedVersion});
  aWriter.WriteInteger(int64_t{ldNLSVersionInfoBuild->dwEffectiveId});
  aWriter.WriteGuid(GuidOf(ldNLSVersionInfoBuild->guidCustomVersion));
}

void TnxLocaleDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxLocaleDescriptorException(nxeIncompatibleStream);
  StoreLocale(ReadCardinal(aReader));
  ldIgnoreKanaType = aReader.ReadBoolean();
  ldIgnoreNonSpace = aReader.ReadBoolean();
  ldIgnoreSymbols = aReader.ReadBoolean();
  ldIgnoreWidth = aReader.ReadBoolean();
  ldUseStringSort = aReader.ReadBoolean();
  const int32_t codePage = aReader.ReadInteger();
  if (codePage < 0 || codePage > UINT16_MAX) throw EnxLocaleDescriptorException(nxeIncompatibleStream);
  ldOverrideStorageCodepage = static_cast<uint16_t>(codePage);
  if (version == 2 && aReader.ReadBoolean()) {
    auto build = std::make_unique<TnxNLSVersionInfoEx>();
    build->dwNLSVersionInfoSize = sizeof(TnxNLSVersionInfoEx);
    build->dwNLSVersion = ReadCardinal(aReader);
    build->dwDefinedVersion = ReadCardinal(aReader);
    build->dwEffectiveId = ReadCardinal(aReader);
    BytesOf(aReader.ReadGuid(), build->guidCustomVersion);
    ldNLSVersionInfoBuild = std::move(build);
  } else {
    ldNLSVersionInfoBuild.reset();
  }
  ldVersion = version;
}

// ---- TnxLocalizedDictionaryItem ----

TnxLocalizedDictionaryItem::TnxLocalizedDictionaryItem(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}

TnxLocalizedDictionaryItem::~TnxLocalizedDictionaryItem() = default;

TnxLocaleDescriptor* TnxLocalizedDictionaryItem::AddLocaleDescriptor(const TnxLocaleDescriptorClass* aClass) {
  CheckReadOnly();
  ldiLocaleDescriptor.reset();
  if (!aClass) aClass = &TnxLocaleDescriptor::ClassInfo();
  ldiLocaleDescriptor = aClass->Create(this);
  return ldiLocaleDescriptor.get();
}

void TnxLocalizedDictionaryItem::RemoveLocaleDescriptor() {
  CheckReadOnly();
  ldiLocaleDescriptor.reset();
}

TnxLocaleDescriptor* TnxLocalizedDictionaryItem::GetUsedLocaleDescriptor() {
  if (CacheActive()) return ldiCachedLocaleDescriptor;
  if (ldiLocaleDescriptor) return ldiLocaleDescriptor.get();
  return GetDefaultLocaleDescriptor();
}

TnxLocaleDescriptor* TnxLocalizedDictionaryItem::GetDefaultLocaleDescriptor() {
  TnxDictionaryItem* parent = ParentItem();
  TnxDictionaryItem* found = nullptr;
  if (parent && parent->FindRelatedDescriptorOfType(TnxLocaleDescriptor::ClassInfo(), found, this))
    return static_cast<TnxLocaleDescriptor*>(found);
  return nullptr;
}

uint32_t TnxLocalizedDictionaryItem::GetUsedStorageCodePage() {
  if (CacheActive()) return ldiCachedStorageCodePage;
  TnxLocaleDescriptor* used = GetUsedLocaleDescriptor();
  return used ? used->GetStorageCodepage() : 0;
}

void TnxLocalizedDictionaryItem::SaveLocaleToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  if (aClientVersion < nxClientVersionIDs) throw EnxLocaleizedDictionaryItemException(nxeIncompatibleVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteBoolean(ldiLocaleDescriptor != nullptr);
  if (!ldiLocaleDescriptor) return;
  aWriter.WriteString(ldiLocaleDescriptor->ClassName());
  ldiLocaleDescriptor->SaveToWriter(aWriter, aClientVersion);
}

void TnxLocalizedDictionaryItem::LoadLocaleFromReader(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EnxLocaleizedDictionaryItemException(nxeIncompatibleStream);
  if (!aReader.ReadBoolean()) return;
  const std::u16string className = aReader.ReadString();
  const auto* cls = nxFindClassAs<TnxLocaleDescriptorClass>(TnxLocaleDescriptor::ClassInfo(), className);
  if (!cls) nxRaiseClassNotSupported<EnxLocaleizedDictionaryItemException>(u"LocaleDescriptor", className);
  AddLocaleDescriptor(cls)->LoadFromReader(aReader);
}

void TnxLocalizedDictionaryItem::ActivateCache() {
  if (CacheActive()) return;
  ldiCachedLocaleDescriptor = GetUsedLocaleDescriptor();
  ldiCachedStorageCodePage = ldiCachedLocaleDescriptor ? ldiCachedLocaleDescriptor->GetStorageCodepage() : 0;
  TnxDictionaryItem::ActivateCache();
}

bool TnxLocalizedDictionaryItem::FindRelatedDescriptorOfType(const TnxRegisterableClass& aType,
                                                             TnxDictionaryItem*& aDescriptor,
                                                             TnxDictionaryItem* aFrom) {
  if (aType.InheritsFrom(TnxLocaleDescriptor::ClassInfo())) {
    aDescriptor = GetUsedLocaleDescriptor();
    return true;
  }
  return TnxDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

void TnxLocalizedDictionaryItem::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (ldiLocaleDescriptor) ldiLocaleDescriptor->CheckValid(aForBuild);
}

bool TnxLocalizedDictionaryItem::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxLocalizedDictionaryItem*>(aItem);
  if (!other) return false;
  if (!ldiLocaleDescriptor || !other->ldiLocaleDescriptor)
    return !ldiLocaleDescriptor && !other->ldiLocaleDescriptor;
  return ldiLocaleDescriptor->IsEqual(other->ldiLocaleDescriptor.get());
}

}  // namespace revurov
