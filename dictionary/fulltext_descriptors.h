// Fulltext search over a table: one custom descriptor "Fulltext" with any
// number of fulltext indices. A fulltext index names a location index (a
// main index over one Word32 or AutoInc field that numbers the records) and
// holds three hubs: token extractors (a record to tokens), token filters
// (split and rewrite tokens) and token indices (store them). Extractors and
// token indices carry filter hubs of their own. The fulltext descriptor
// owns the storage its token indices use: a blob descriptor
// ("Fulltext$Blob") and an indices descriptor ("Fulltext$Indices").
//
// Contract:
// - A hub keeps its items in insertion order under unique names (A to Z
//   without case); an item's Number is its position and follows removals.
// - IsEqual compares every setting the streams carry, entry and index
//   names included; an item's own locale is compared and survives Assign
//   (it travels only in the private stream of a copy).
// - Readers store settings as read; CheckValid checks them. Hubs add what
//   they read through their add operations, so name rules apply.
// - Each class raises its own exception class.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/indices_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "lowlevel/wide_strings/wide_string_categories.h"

namespace revurov {

class TnxFieldDescriptor;
class TnxFulltextIndexDescriptor;
class TnxBaseFulltextIndexDictionaryItem;
class TnxTokenExtractorHubDescriptor;
class TnxTokenFilterHubDescriptor;
class TnxTokenIndexHubDescriptor;
class TnxFieldTokenExtractorDescriptor;

REVUROV_EXCEPTION_CLASS(EnxFulltextDescriptorException, EnxBaseCustomDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxBaseFulltextDictionaryItemException, EnxDictionaryItemException);
REVUROV_EXCEPTION_CLASS(EnxFulltextIndexDescriptorException, EnxBaseFulltextDictionaryItemException);
REVUROV_EXCEPTION_CLASS(EnxBaseFulltextIndexDictionaryItemException, EnxBaseFulltextDictionaryItemException);
REVUROV_EXCEPTION_CLASS(EnxNumberedFulltextIndexDictionaryItemException, EnxBaseFulltextIndexDictionaryItemException);
REVUROV_EXCEPTION_CLASS(EnxBaseTokenSourceDescriptorException, EnxNumberedFulltextIndexDictionaryItemException);
REVUROV_EXCEPTION_CLASS(EnxBaseTokenExtractorDescriptorException, EnxBaseTokenSourceDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxTokenExtractorHubDescriptorException, EnxBaseTokenExtractorDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxFieldTokenExtractorDescriptorException, EnxBaseTokenExtractorDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxBaseTokenFilterDescriptorException, EnxBaseTokenSourceDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxTokenFilterHubDescriptorException, EnxBaseTokenFilterDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxBaseSeparatorTokenFilterDescriptorException, EnxBaseTokenFilterDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxWideCharSeparatorTokenFilterDescriptorException,
                        EnxBaseSeparatorTokenFilterDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxCategorySeparatorTokenFilterDescriptorException,
                        EnxBaseSeparatorTokenFilterDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxBaseLocaleMappingTokenFilterDescriptorException, EnxBaseTokenFilterDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxCustomLocaleMappingTokenFilterDescriptorException,
                        EnxBaseLocaleMappingTokenFilterDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxBaseFoldStringTokenFilterDescriptorException, EnxBaseTokenFilterDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxCustomFoldStringTokenFilterDescriptorException,
                        EnxBaseFoldStringTokenFilterDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxStringReplaceTokenFilterDescriptorException, EnxBaseTokenFilterDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxBaseTokenIndexDescriptorException, EnxNumberedFulltextIndexDictionaryItemException);
REVUROV_EXCEPTION_CLASS(EnxTokenIndexHubDescriptorException, EnxBaseTokenIndexDescriptorException);

extern TnxClassRegistry nxFulltextIndexDescriptorClasses;
extern TnxClassRegistry nxTokenExtractorDescriptorClasses;
extern TnxClassRegistry nxTokenFilterDescriptorClasses;
extern TnxClassRegistry nxTokenIndexDescriptorClasses;

inline constexpr std::u16string_view nxFulltextName = u"Fulltext";
inline constexpr std::string_view nxFulltextBlobSection = "Fulltext$Blob";
inline constexpr std::string_view nxFulltextIndicesSection = "Fulltext$Indices";

struct TnxFulltextIndexDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxFulltextIndexDescriptor> (*Create)(TnxPersistent* aParent, int32_t aLocationIndexNumber,
                                                        std::u16string_view aName) = nullptr;
};
struct TnxFulltextItemClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseFulltextIndexDictionaryItem> (*Create)(TnxPersistent* aParent) = nullptr;
};
template <class T>
std::unique_ptr<TnxBaseFulltextIndexDictionaryItem> nxNewFulltextItem(TnxPersistent* aParent) {
  return std::make_unique<T>(aParent);
}
template <class T>
std::unique_ptr<TnxFulltextIndexDescriptor> nxNewFulltextIndex(TnxPersistent* aParent, int32_t aLocationIndexNumber,
                                                               std::u16string_view aName) {
  return std::make_unique<T>(aParent, aLocationIndexNumber, aName);
}

// The B*-tree indices of the token indices.
class TnxTokenIndicesDescriptor : public TnxBaseIndicesDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxTokenIndicesDescriptor, TnxBaseIndicesDescriptor, TnxIndicesDescriptorClass,
                              &nxNewIndicesDescriptor<TnxTokenIndicesDescriptor>)
  using TnxBaseIndicesDescriptor::TnxBaseIndicesDescriptor;
};

class TnxFulltextDescriptor : public TnxBaseCustomDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxFulltextDescriptor, TnxBaseCustomDescriptor, TnxCustomDescriptorClass,
                              (&nxNewNamedDescriptor<TnxBaseCustomDescriptor, TnxFulltextDescriptor>))
  using TnxBaseCustomDescriptor::TnxBaseCustomDescriptor;
  ~TnxFulltextDescriptor() override;

  int32_t FulltextIndexCount() const noexcept { return static_cast<int32_t>(ftdFulltextIndices.size()); }
  // 9999 outside the list.
  TnxFulltextIndexDescriptor* FulltextIndex(int32_t aIndex) const;
  // An empty name is "Default"; 10009 for a taken name; a negative number
  // picks the default location index.
  TnxFulltextIndexDescriptor* AddFulltextIndex(std::u16string_view aName,
                                               const TnxFulltextIndexDescriptorClass* aClass = nullptr,
                                               int32_t aLocationIndexNumber = -1);
  // What is not there is left alone.
  void RemoveFulltextIndex(TnxFulltextIndexDescriptor* aDescriptor);
  void RemoveFulltextIndex(int32_t aIndex);
  void RemoveFulltextIndex(std::u16string_view aName);

  TnxBaseBlobDescriptor* BlobDescriptor() const noexcept { return ftdBlobDescriptor.get(); }
  // Null: a heap blob descriptor.
  TnxBaseBlobDescriptor* AddBlobDescriptor(const TnxBlobDescriptorClass* aClass = nullptr);
  void RemoveBlobDescriptor();
  TnxTokenIndicesDescriptor* IndicesDescriptor() const noexcept { return ftdIndicesDescriptor.get(); }
  // Null: TnxTokenIndicesDescriptor.
  TnxTokenIndicesDescriptor* AddIndicesDescriptor(const TnxIndicesDescriptorClass* aClass = nullptr);
  void RemoveIndicesDescriptor();
  TnxTokenIndicesDescriptor* ForceIndicesDescriptor();

  // The blob and token indices descriptors answer for their types, even
  // while absent.
  bool FindRelatedDescriptorOfType(const TnxRegisterableClass& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom = nullptr) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  void ClearFulltextIndices() noexcept;
  std::vector<std::unique_ptr<TnxFulltextIndexDescriptor>> ftdFulltextIndices;
  std::unique_ptr<TnxBaseBlobDescriptor> ftdBlobDescriptor;
  std::unique_ptr<TnxTokenIndicesDescriptor> ftdIndicesDescriptor;
};

// The table's "Fulltext" custom descriptor, or null; the runtime's invalid
// cast when that name holds another class than aClass (null: the base).
TnxFulltextDescriptor* nxGetFulltextDescriptor(TnxBaseTableDescriptor& aTable,
                                               const TnxCustomDescriptorClass* aClass = nullptr);

class TnxBaseFulltextDictionaryItem : public TnxLocalizedDictionaryItem {
  REVUROV_REGISTERABLE_CLASS(TnxBaseFulltextDictionaryItem, TnxLocalizedDictionaryItem)
  using TnxLocalizedDictionaryItem::TnxLocalizedDictionaryItem;

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;
};

class TnxFulltextIndexDescriptor : public TnxBaseFulltextDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxFulltextIndexDescriptor, TnxBaseFulltextDictionaryItem,
                              TnxFulltextIndexDescriptorClass, &nxFulltextIndexDescriptorClasses,
                              &nxNewFulltextIndex<TnxFulltextIndexDescriptor>)
  // 10068 for a bad name, 10004 without a valid location index.
  TnxFulltextIndexDescriptor(TnxPersistent* aParent, int32_t aLocationIndexNumber, std::u16string_view aName);
  ~TnxFulltextIndexDescriptor() override;

  const std::u16string& Name() const noexcept { return fidName; }
  int32_t LocationIndexNumber() const noexcept { return fidLocationIndexNumber; }
  void SetLocationIndexNumber(int32_t aValue);
  // 10004 when the number is not a valid location index.
  TnxIndexDescriptor* LocationIndex();

  // A main index with duplicates other than idAll and a composite key of
  // one Word32 or AutoInc field.
  bool IsValidLocationIndex(int32_t aNumber);
  // The default main index when valid, else the first valid one, else -1.
  int32_t FindDefaultLocationIndex();
  void CheckLocationIndex(int32_t aNumber);

  TnxTokenExtractorHubDescriptor& TokenExtractorHub() const noexcept { return *fidTokenExtractorHub; }
  TnxTokenFilterHubDescriptor& TokenFilterHub() const noexcept { return *fidTokenFilterHub; }
  TnxTokenIndexHubDescriptor& TokenIndexHub() const noexcept { return *fidTokenIndexHub; }

  void IndexChangeNotification(bool aBefore, int32_t aOldIndex, int32_t aNewIndex) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::u16string fidName;
  int32_t fidLocationIndexNumber = -1;
  TnxBaseIndicesDescriptor* fidListeningTo = nullptr;  // not owned
  std::unique_ptr<TnxTokenExtractorHubDescriptor> fidTokenExtractorHub;
  std::unique_ptr<TnxTokenFilterHubDescriptor> fidTokenFilterHub;
  std::unique_ptr<TnxTokenIndexHubDescriptor> fidTokenIndexHub;
};

class TnxBaseFulltextIndexDictionaryItem : public TnxBaseFulltextDictionaryItem {
  REVUROV_REGISTERABLE_RECORD(TnxBaseFulltextIndexDictionaryItem, TnxBaseFulltextDictionaryItem,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxBaseFulltextIndexDictionaryItem>)
  using TnxBaseFulltextDictionaryItem::TnxBaseFulltextDictionaryItem;

  // Called by the owning hub while the item still holds its entry (and so
  // its name), just before it is freed.
  virtual void BeforeRemoval() noexcept {}

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;
};

class TnxNumberedFulltextIndexDictionaryItem : public TnxBaseFulltextIndexDictionaryItem {
  REVUROV_REGISTERABLE_RECORD(TnxNumberedFulltextIndexDictionaryItem, TnxBaseFulltextIndexDictionaryItem,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxNumberedFulltextIndexDictionaryItem>)
  using TnxBaseFulltextIndexDictionaryItem::TnxBaseFulltextIndexDictionaryItem;

  // The position in the owning hub; 0 outside a hub.
  int32_t Number() const noexcept { return nfidiNumber; }
  // Set by the owning hub.
  void SetNumber(int32_t aValue) noexcept { nfidiNumber = aValue; }
  // The entry name in the owning hub; empty outside a hub.
  std::u16string Name() const;

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  int32_t nfidiNumber = 0;
};

class TnxBaseTokenSourceDescriptor : public TnxNumberedFulltextIndexDictionaryItem {
  REVUROV_REGISTERABLE_RECORD(TnxBaseTokenSourceDescriptor, TnxNumberedFulltextIndexDictionaryItem,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxBaseTokenSourceDescriptor>)
  using TnxNumberedFulltextIndexDictionaryItem::TnxNumberedFulltextIndexDictionaryItem;

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;
};

// ---- hubs ----

// The entries of a hub: names and owned items in insertion order.
template <class T>
struct TnxHubEntry {
  std::u16string Name;
  std::unique_ptr<T> Item;
};

// What items ask of the hub that holds them.
class InxFulltextHub {
public:
  // The entry name under which aItem is held; empty when it is not.
  virtual std::u16string EntryNameOf(const TnxDictionaryItem* aItem) const = 0;

protected:
  ~InxFulltextHub() = default;
};

// ---- token filters ----

class TnxBaseTokenFilterDescriptor : public TnxBaseTokenSourceDescriptor {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseTokenFilterDescriptor, TnxBaseTokenSourceDescriptor, TnxFulltextItemClass,
                              &nxTokenFilterDescriptorClasses, &nxNewFulltextItem<TnxBaseTokenFilterDescriptor>)
  using TnxBaseTokenSourceDescriptor::TnxBaseTokenSourceDescriptor;

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;
};

class TnxTokenFilterHubDescriptor : public TnxBaseTokenFilterDescriptor, public InxFulltextHub {
  REVUROV_REGISTERABLE_RECORD(TnxTokenFilterHubDescriptor, TnxBaseTokenFilterDescriptor, TnxFulltextItemClass,
                              &nxNewFulltextItem<TnxTokenFilterHubDescriptor>)
  using TnxBaseTokenFilterDescriptor::TnxBaseTokenFilterDescriptor;
  ~TnxTokenFilterHubDescriptor() override;

  int32_t TokenFilterCount() const noexcept { return static_cast<int32_t>(tfhdTokenFilters.size()); }
  // 9999 outside the list.
  TnxBaseTokenFilterDescriptor* tfhdGetTokenFilter(int32_t aInx) const;
  const std::u16string& tfhdGetTokenFilterName(int32_t aInx) const;
  // An empty name is "Default"; 10068 for a bad name, 10009 for a taken one;
  // null: TnxWideCharSeparatorTokenFilterDescriptor.
  TnxBaseTokenFilterDescriptor* AddTokenFilter(std::u16string_view aName,
                                               const TnxFulltextItemClass* aClass = nullptr);
  void RemoveTokenFilter(const TnxBaseTokenFilterDescriptor* aDescriptor);
  void RemoveTokenFilter(std::u16string_view aName);
  void RemoveTokenFilter(int32_t aIndex);
  void Clear(bool aNotify) override;

  std::u16string EntryNameOf(const TnxDictionaryItem* aItem) const override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::vector<TnxHubEntry<TnxBaseTokenFilterDescriptor>> tfhdTokenFilters;
};

class TnxBaseSeparatorTokenFilterDescriptor : public TnxBaseTokenFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxBaseSeparatorTokenFilterDescriptor, TnxBaseTokenFilterDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxBaseSeparatorTokenFilterDescriptor>)
  using TnxBaseTokenFilterDescriptor::TnxBaseTokenFilterDescriptor;

  int32_t SeparatorDistance() const noexcept { return bstfsSeparatorDistance; }
  void SetSeparatorDistance(int32_t aValue);

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  int32_t bstfsSeparatorDistance = 1;
};

class TnxWideCharSeparatorTokenFilterDescriptor : public TnxBaseSeparatorTokenFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxWideCharSeparatorTokenFilterDescriptor, TnxBaseSeparatorTokenFilterDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxWideCharSeparatorTokenFilterDescriptor>)
  using TnxBaseSeparatorTokenFilterDescriptor::TnxBaseSeparatorTokenFilterDescriptor;

  char16_t SeparatorChar() const noexcept { return wcstfsSeparatorChar; }
  void SetSeparatorChar(char16_t aValue);

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  char16_t wcstfsSeparatorChar = u' ';
};

// Spaces, line and paragraph separators, punctuation other than connectors
// and dashes, segment separators and white space.
inline constexpr TnxCharacterCategories nxDefaultSeparatorCategories{
    ccSeparatorSpace,         ccSeparatorLine,         ccSeparatorParagraph, ccPunctuationOpen,
    ccPunctuationClose,       ccPunctuationInitialQuote, ccPunctuationFinalQuote, ccPunctuationOther,
    ccSegmentSeparator,       ccWhiteSpace,            ccSpaceOther};

class TnxCategorySeparatorTokenFilterDescriptor : public TnxBaseSeparatorTokenFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxCategorySeparatorTokenFilterDescriptor, TnxBaseSeparatorTokenFilterDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxCategorySeparatorTokenFilterDescriptor>)
  using TnxBaseSeparatorTokenFilterDescriptor::TnxBaseSeparatorTokenFilterDescriptor;

  const TnxCharacterCategories& SeparatorCategories() const noexcept { return cstfsSeparatorCategories; }
  void SetSeparatorCategories(const TnxCharacterCategories& aValue);

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  // The 7 bytes of the set, raw.
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  TnxCharacterCategories cstfsSeparatorCategories = nxDefaultSeparatorCategories;
};

// Flags of the platform's locale mapping (LCMapStringW).
class TnxBaseLocaleMappingTokenFilterDescriptor : public TnxBaseTokenFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxBaseLocaleMappingTokenFilterDescriptor, TnxBaseTokenFilterDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxBaseLocaleMappingTokenFilterDescriptor>)
  using TnxBaseTokenFilterDescriptor::TnxBaseTokenFilterDescriptor;

  // 0 for the base, which maps nothing.
  virtual uint32_t GetFlags() const noexcept { return 0; }
  uint32_t Flags() const noexcept { return GetFlags(); }

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;
};

class TnxLowercaseLocaleMappingTokenFilterDescriptor : public TnxBaseLocaleMappingTokenFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxLowercaseLocaleMappingTokenFilterDescriptor,
                              TnxBaseLocaleMappingTokenFilterDescriptor, TnxFulltextItemClass,
                              &nxNewFulltextItem<TnxLowercaseLocaleMappingTokenFilterDescriptor>)
  using TnxBaseLocaleMappingTokenFilterDescriptor::TnxBaseLocaleMappingTokenFilterDescriptor;
  uint32_t GetFlags() const noexcept override { return 0x100; }
};

class TnxUppercaseLocaleMappingTokenFilterDescriptor : public TnxBaseLocaleMappingTokenFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxUppercaseLocaleMappingTokenFilterDescriptor,
                              TnxBaseLocaleMappingTokenFilterDescriptor, TnxFulltextItemClass,
                              &nxNewFulltextItem<TnxUppercaseLocaleMappingTokenFilterDescriptor>)
  using TnxBaseLocaleMappingTokenFilterDescriptor::TnxBaseLocaleMappingTokenFilterDescriptor;
  uint32_t GetFlags() const noexcept override { return 0x200; }
};

class TnxCustomLocaleMappingTokenFilterDescriptor : public TnxBaseLocaleMappingTokenFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxCustomLocaleMappingTokenFilterDescriptor, TnxBaseLocaleMappingTokenFilterDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxCustomLocaleMappingTokenFilterDescriptor>)
  using TnxBaseLocaleMappingTokenFilterDescriptor::TnxBaseLocaleMappingTokenFilterDescriptor;

  uint32_t GetFlags() const noexcept override { return clmtfdFlags; }
  void SetFlags(uint32_t aValue);

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  uint32_t clmtfdFlags = 0;
};

// Flags of the platform's string folding (FoldStringW).
class TnxBaseFoldStringTokenFilterDescriptor : public TnxBaseTokenFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxBaseFoldStringTokenFilterDescriptor, TnxBaseTokenFilterDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxBaseFoldStringTokenFilterDescriptor>)
  using TnxBaseTokenFilterDescriptor::TnxBaseTokenFilterDescriptor;

  // 0 for the base, which folds nothing.
  virtual uint32_t GetFlags() const noexcept { return 0; }
  uint32_t Flags() const noexcept { return GetFlags(); }

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;
};

class TnxPreComposeFoldStringTokenFilterDescriptor : public TnxBaseFoldStringTokenFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxPreComposeFoldStringTokenFilterDescriptor, TnxBaseFoldStringTokenFilterDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxPreComposeFoldStringTokenFilterDescriptor>)
  using TnxBaseFoldStringTokenFilterDescriptor::TnxBaseFoldStringTokenFilterDescriptor;
  uint32_t GetFlags() const noexcept override { return 0x20; }
};

class TnxDecomposeFoldStringTokenFilterDescriptor : public TnxBaseFoldStringTokenFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxDecomposeFoldStringTokenFilterDescriptor, TnxBaseFoldStringTokenFilterDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxDecomposeFoldStringTokenFilterDescriptor>)
  using TnxBaseFoldStringTokenFilterDescriptor::TnxBaseFoldStringTokenFilterDescriptor;
  uint32_t GetFlags() const noexcept override { return 0x40; }
};

class TnxCustomFoldStringTokenFilterDescriptor : public TnxBaseFoldStringTokenFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxCustomFoldStringTokenFilterDescriptor, TnxBaseFoldStringTokenFilterDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxCustomFoldStringTokenFilterDescriptor>)
  using TnxBaseFoldStringTokenFilterDescriptor::TnxBaseFoldStringTokenFilterDescriptor;

  uint32_t GetFlags() const noexcept override { return cfstfdFlags; }
  void SetFlags(uint32_t aValue);

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  uint32_t cfstfdFlags = 0;
};

enum TnxStringReplaceKind : uint8_t { srkWhole, srkOne, srkAll };

struct TnxStringReplaceTokenFilterItem {
  std::u16string srtfiOldPattern;
  std::u16string srtfiNewPattern;
  TnxStringReplaceKind srtfiReplaceKind = srkWhole;
  bool srtfiIgnoreCase = false;
  bool operator==(const TnxStringReplaceTokenFilterItem&) const = default;
};

class TnxStringReplaceTokenFilterDescriptor : public TnxBaseTokenFilterDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxStringReplaceTokenFilterDescriptor, TnxBaseTokenFilterDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxStringReplaceTokenFilterDescriptor>)
  using TnxBaseTokenFilterDescriptor::TnxBaseTokenFilterDescriptor;

  int32_t ItemCount() const noexcept { return static_cast<int32_t>(srtfdItems.size()); }
  int32_t AddItem(std::u16string_view aOldPattern, std::u16string_view aNewPattern,
                  TnxStringReplaceKind aReplaceKind, bool aIgnoreCase);
  // Item indices outside the list raise "Index out of bounds: %d".
  void RemoveItem(int32_t aIndex);
  // The two items change places.
  void MoveItem(int32_t aFrom, int32_t aTo);
  const TnxStringReplaceTokenFilterItem& Item(int32_t aIndex) const;
  void SetItem(int32_t aIndex, const TnxStringReplaceTokenFilterItem& aValue);

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  void CheckItemIndex(int32_t aIndex) const;
  std::vector<TnxStringReplaceTokenFilterItem> srtfdItems;
};

// ---- token extractors ----

class TnxBaseTokenExtractorDescriptor : public TnxBaseTokenSourceDescriptor {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseTokenExtractorDescriptor, TnxBaseTokenSourceDescriptor, TnxFulltextItemClass,
                              &nxTokenExtractorDescriptorClasses,
                              &nxNewFulltextItem<TnxBaseTokenExtractorDescriptor>)
  explicit TnxBaseTokenExtractorDescriptor(TnxPersistent* aParent);
  ~TnxBaseTokenExtractorDescriptor() override;

  TnxTokenFilterHubDescriptor& TokenFilterHub() const noexcept { return *btedTokenFilterHub; }
  // Writability checked, then the hub's operation.
  TnxBaseTokenFilterDescriptor* AddTokenFilter(std::u16string_view aName, const TnxFulltextItemClass* aClass = nullptr);
  void RemoveTokenFilter(int32_t aIndex);
  void ClearTokenFilter();

  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::unique_ptr<TnxTokenFilterHubDescriptor> btedTokenFilterHub;
};

class TnxTokenExtractorHubDescriptor : public TnxBaseTokenExtractorDescriptor, public InxFulltextHub {
  REVUROV_REGISTERABLE_RECORD(TnxTokenExtractorHubDescriptor, TnxBaseTokenExtractorDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxTokenExtractorHubDescriptor>)
  using TnxBaseTokenExtractorDescriptor::TnxBaseTokenExtractorDescriptor;
  ~TnxTokenExtractorHubDescriptor() override;

  int32_t TokenExtractorCount() const noexcept { return static_cast<int32_t>(tehdTokenExtractors.size()); }
  TnxBaseTokenExtractorDescriptor* tehdGetTokenExtractor(int32_t aInx) const;
  const std::u16string& tehdGetTokenExtractorName(int32_t aInx) const;
  // 10068 for an empty or bad name, 10009 for a taken one; null:
  // TnxFieldTokenExtractorDescriptor.
  TnxBaseTokenExtractorDescriptor* AddTokenExtractor(std::u16string_view aName,
                                                     const TnxFulltextItemClass* aClass = nullptr);
  // An empty name takes the field's; 9999 for a field outside the table.
  TnxFieldTokenExtractorDescriptor* AddFieldTokenExtractor(int32_t aFieldNumber, std::u16string_view aName,
                                                           const TnxFulltextItemClass* aClass = nullptr);
  TnxTokenExtractorHubDescriptor* AddTokenExtractorHub(std::u16string_view aName,
                                                       const TnxFulltextItemClass* aClass = nullptr);
  void RemoveTokenExtractor(const TnxBaseTokenExtractorDescriptor* aDescriptor);
  void RemoveTokenExtractor(std::u16string_view aName);
  void RemoveTokenExtractor(int32_t aIndex);
  void Clear(bool aNotify) override;

  std::u16string EntryNameOf(const TnxDictionaryItem* aItem) const override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::vector<TnxHubEntry<TnxBaseTokenExtractorDescriptor>> tehdTokenExtractors;
};

// Tokens of one field; follows renumbering and refuses (15502) the removal
// of its field.
class TnxFieldTokenExtractorDescriptor : public TnxBaseTokenExtractorDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxFieldTokenExtractorDescriptor, TnxBaseTokenExtractorDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxFieldTokenExtractorDescriptor>)
  explicit TnxFieldTokenExtractorDescriptor(TnxPersistent* aParent);
  ~TnxFieldTokenExtractorDescriptor() override;

  int32_t FieldNumber() const noexcept { return ftedFieldNumber; }
  // 9999 for a number outside the related fields (-1 means none).
  void SetFieldNumber(int32_t aValue);
  TnxFieldDescriptor* Field();

  void FieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  int32_t ftedFieldNumber = -1;
  TnxFieldsDescriptor* ftedListeningTo = nullptr;  // not owned
};

// ---- token indices ----

class TnxBaseTokenIndexDescriptor : public TnxNumberedFulltextIndexDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseTokenIndexDescriptor, TnxNumberedFulltextIndexDictionaryItem,
                              TnxFulltextItemClass, &nxTokenIndexDescriptorClasses,
                              &nxNewFulltextItem<TnxBaseTokenIndexDescriptor>)
  explicit TnxBaseTokenIndexDescriptor(TnxPersistent* aParent);
  ~TnxBaseTokenIndexDescriptor() override;

  TnxTokenFilterHubDescriptor& TokenFilterHub() const noexcept { return *btidTokenFilterHub; }
  TnxBaseTokenFilterDescriptor* AddTokenFilter(std::u16string_view aName, const TnxFulltextItemClass* aClass = nullptr);
  void RemoveTokenFilter(int32_t aIndex);
  void ClearTokenFilter();

  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::unique_ptr<TnxTokenFilterHubDescriptor> btidTokenFilterHub;
};

class TnxTokenIndexHubDescriptor : public TnxBaseTokenIndexDescriptor, public InxFulltextHub {
  REVUROV_REGISTERABLE_RECORD(TnxTokenIndexHubDescriptor, TnxBaseTokenIndexDescriptor, TnxFulltextItemClass,
                              &nxNewFulltextItem<TnxTokenIndexHubDescriptor>)
  using TnxBaseTokenIndexDescriptor::TnxBaseTokenIndexDescriptor;
  ~TnxTokenIndexHubDescriptor() override;

  int32_t TokenIndexCount() const noexcept { return static_cast<int32_t>(tihdTokenIndexes.size()); }
  TnxBaseTokenIndexDescriptor* tihdGetTokenIndex(int32_t aInx) const;
  const std::u16string& tihdGetTokenIndexName(int32_t aInx) const;
  // An empty name is "Default"; 10068, 10009; null:
  // TnxBitArrayTokenIndexDescriptor.
  TnxBaseTokenIndexDescriptor* AddTokenIndex(std::u16string_view aName, const TnxFulltextItemClass* aClass = nullptr);
  void RemoveTokenIndex(const TnxBaseTokenIndexDescriptor* aDescriptor);
  void RemoveTokenIndex(std::u16string_view aName);
  void RemoveTokenIndex(int32_t aIndex);
  void Clear(bool aNotify) override;

  std::u16string EntryNameOf(const TnxDictionaryItem* aItem) const override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::vector<TnxHubEntry<TnxBaseTokenIndexDescriptor>> tihdTokenIndexes;
};

}  // namespace revurov
