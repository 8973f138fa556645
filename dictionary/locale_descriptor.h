// Collation settings of text in a table (locale, compare options, storage
// code page, the collation version a table was built with) and the base of
// the descriptors that may carry their own locale or use their parents'.
//
// Contract:
// - LCIDs and code pages are Windows numbers, served by ICU
//   (platform/locale.h); LCID 0 means plain code-unit ordering.
// - The collation version is ICU's; a table stamped elsewhere (another ICU,
//   or Windows) reads as "collation changed", which is what it is.
// - "Disable30900LocaleFixes" on the command line, read at the dictionary's
//   start-up: locales are written in their first layout, and building a
//   table records no collation version.
// - Once a dictionary is read-only, locales are read by many threads; the
//   current collation version is fetched once and published with one
//   compare-and-swap.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "dictionary/dictionary_item.h"
#include "lowlevel/strings/utils_locale.h"

namespace revurov {

class TnxLocaleDescriptor;

extern TnxClassRegistry nxLocaleDescriptorClasses;

struct TnxLocaleDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxLocaleDescriptor> (*Create)(TnxPersistent* aParent) = nullptr;
};
template <class T>
std::unique_ptr<TnxLocaleDescriptor> nxNewLocaleDescriptor(TnxPersistent* aParent) {
  return std::make_unique<T>(aParent);
}

// Whether the process was started with the switch; set by the dictionary's
// start-up (nxReadLocaleSwitches) and not changed while it runs.
bool nxDisable30900LocaleFixes() noexcept;
void nxReadLocaleSwitches();

// Compare flags of the locale options.
inline constexpr uint32_t nxLocaleIgnoreNonSpace = 0x00000002;
inline constexpr uint32_t nxLocaleIgnoreSymbols = 0x00000004;
inline constexpr uint32_t nxLocaleStringSort = 0x00001000;
inline constexpr uint32_t nxLocaleIgnoreKanaType = 0x00010000;
inline constexpr uint32_t nxLocaleIgnoreWidth = 0x00020000;

class TnxLocaleDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxLocaleDescriptor, TnxDictionaryItem, TnxLocaleDescriptorClass,
                              &nxLocaleDescriptorClasses, &nxNewLocaleDescriptor<TnxLocaleDescriptor>)

  // The system's default locale, no options, no code page.
  explicit TnxLocaleDescriptor(TnxPersistent* aParent);
  ~TnxLocaleDescriptor() override;

  int32_t Version() const noexcept { return ldVersion; }
  uint32_t Locale() const noexcept { return ldLocale; }
  // Default and neutral ids become concrete LCIDs; 0 stays 0.
  void SetLocale(uint32_t aValue);
  bool IgnoreKanaType() const noexcept { return ldIgnoreKanaType; }
  bool IgnoreNonSpace() const noexcept { return ldIgnoreNonSpace; }
  bool IgnoreSymbols() const noexcept { return ldIgnoreSymbols; }
  bool IgnoreWidth() const noexcept { return ldIgnoreWidth; }
  bool UseStringSort() const noexcept { return ldUseStringSort; }
  void SetIgnoreKanaType(bool aValue);
  void SetIgnoreNonSpace(bool aValue);
  void SetIgnoreSymbols(bool aValue);
  void SetIgnoreWidth(bool aValue);
  void SetUseStringSort(bool aValue);
  uint32_t GetFlags() const noexcept;
  void SetFlags(uint32_t aValue);
  uint16_t OverrideStorageCodepage() const noexcept { return ldOverrideStorageCodepage; }
  void SetOverrideStorageCodepage(uint16_t aValue);
  bool IsDefaultStringLiteralLocale() const noexcept { return ldIsDefaultStringLiteralLocale; }
  void SetIsDefaultStringLiteralLocale(bool aValue) noexcept { ldIsDefaultStringLiteralLocale = aValue; }

  // The locale's default ANSI code page (0 without a locale or for a
  // Unicode-only one); an LCID ICU does not know raises the OS error.
  uint32_t GetCompareCodepage() const;
  uint32_t GetStorageCodepage() const;
  // The collation version recorded when the table was built (null: none).
  const TnxNLSVersionInfoEx* NLSVersionInfoBuild() const noexcept { return ldNLSVersionInfoBuild.get(); }
  // True without a locale or a recorded version, else whether the current
  // collation version is the recorded one.
  bool GetCurrentLocaleVersionEqualToBuildVersion() const;
  // Equal locale and options: the two order text alike.
  bool IsCompareable(const TnxLocaleDescriptor* aLocaleDescriptor) const;

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  // 10043 for a locale or code page that is not installed; with aForBuild
  // records the current collation version (unless switched off).
  void CheckValid(bool aForBuild) override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  void StoreLocale(uint32_t aValue) noexcept;

  int32_t ldVersion = 0;
  uint32_t ldLocale = 0;
  bool ldIgnoreKanaType = false;
  bool ldIgnoreNonSpace = false;
  bool ldIgnoreSymbols = false;
  bool ldIgnoreWidth = false;
  bool ldUseStringSort = false;
  uint16_t ldOverrideStorageCodepage = 0;
  bool ldIsDefaultStringLiteralLocale = false;
  // Owned; published once by compare-and-swap, freed by the destructor.
  mutable std::atomic<TnxNLSVersionInfoEx*> ldNLSVersionInfoCurrent{nullptr};
  std::unique_ptr<TnxNLSVersionInfoEx> ldNLSVersionInfoBuild;
};

class TnxLocalizedDictionaryItem : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_CLASS(TnxLocalizedDictionaryItem, TnxDictionaryItem)

  explicit TnxLocalizedDictionaryItem(TnxPersistent* aParent);
  ~TnxLocalizedDictionaryItem() override;

  // The item's own locale (null: it uses its parents').
  TnxLocaleDescriptor* LocaleDescriptor() const noexcept { return ldiLocaleDescriptor.get(); }
  // Replaces the own locale by a new one of aClass (null: the base class).
  TnxLocaleDescriptor* AddLocaleDescriptor(const TnxLocaleDescriptorClass* aClass = nullptr);
  void RemoveLocaleDescriptor();

  // While cached the cached one, else the own, else the default.
  virtual TnxLocaleDescriptor* GetUsedLocaleDescriptor();
  // The locale of the nearest localized ancestor that has one.
  virtual TnxLocaleDescriptor* GetDefaultLocaleDescriptor();
  uint32_t GetUsedStorageCodePage();
  // 12039 for a client below 20000.
  virtual void SaveLocaleToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const;
  // The caller removes a present locale first.
  virtual void LoadLocaleFromReader(TnxReader& aReader);

  void ActivateCache() override;
  bool FindRelatedDescriptorOfType(const TnxRegisterableClass& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom = nullptr) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

private:
  std::unique_ptr<TnxLocaleDescriptor> ldiLocaleDescriptor;
  TnxLocaleDescriptor* ldiCachedLocaleDescriptor = nullptr;  // not owned
  uint32_t ldiCachedStorageCodePage = 0;
};

}  // namespace revurov
