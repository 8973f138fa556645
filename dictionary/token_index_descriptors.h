// The token indices of a fulltext index. A bit-array token index keeps its
// tokens in B*-tree indices it adds to the fulltext descriptor's own index
// list (one, and optionally a reverse one for suffix searches) and its bit
// arrays in the fulltext blob storage through a storage handler. A
// main-index token index writes its tokens into one of the table's main
// indices, whose key must be a main-index token key.
//
// Contract:
// - A bit-array token index's B*-tree indices are named
//   "<fulltext index>$<token index>" (and "$Reverse"); they leave the list
//   with their token index. Validation brings their keys in line with the
//   token index (size, field numbers, locale) and adds the default storage
//   handler and blob storage when missing.
// - MaxTokenSize stays in 1 to nxMaxTokenSize, from setters and streams.
// - IsEqual compares every setting the streams carry.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dictionary/fulltext_descriptors.h"

namespace revurov {

class TnxBitArrayTokenKeyDescriptor;
struct TnxIndexDescriptorClass;

REVUROV_EXCEPTION_CLASS(EnxBitArrayTokenIndexDescriptorException, EnxBaseTokenIndexDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxMainIndexTokenIndexDescriptorException, EnxBaseTokenIndexDescriptorException);
REVUROV_EXCEPTION_CLASS(EnxBaseBitArrayStorageHandlerDescriptorException,
                        EnxBaseFulltextIndexDictionaryItemException);
REVUROV_EXCEPTION_CLASS(EnxSimpleBitArrayStorageHandlerDescriptorException,
                        EnxBaseBitArrayStorageHandlerDescriptorException);

extern TnxClassRegistry nxBitArrayStorageHandlerClasses;

class TnxBaseBitArrayStorageHandlerDescriptor : public TnxBaseFulltextIndexDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseBitArrayStorageHandlerDescriptor, TnxBaseFulltextIndexDictionaryItem,
                              TnxFulltextItemClass, &nxBitArrayStorageHandlerClasses,
                              &nxNewFulltextItem<TnxBaseBitArrayStorageHandlerDescriptor>)
  using TnxBaseFulltextIndexDictionaryItem::TnxBaseFulltextIndexDictionaryItem;

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;
};

// Bit arrays in the fulltext descriptor's blob storage.
class TnxSimpleBitArrayStorageHandlerDescriptor : public TnxBaseBitArrayStorageHandlerDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxSimpleBitArrayStorageHandlerDescriptor, TnxBaseBitArrayStorageHandlerDescriptor,
                              TnxFulltextItemClass, &nxNewFulltextItem<TnxSimpleBitArrayStorageHandlerDescriptor>)
  using TnxBaseBitArrayStorageHandlerDescriptor::TnxBaseBitArrayStorageHandlerDescriptor;

  // Adds the fulltext descriptor's blob storage when it has none.
  void CheckValid(bool aForBuild) override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;
};

class TnxBitArrayTokenIndexDescriptor : public TnxBaseTokenIndexDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxBitArrayTokenIndexDescriptor, TnxBaseTokenIndexDescriptor, TnxFulltextItemClass,
                              &nxNewFulltextItem<TnxBitArrayTokenIndexDescriptor>)
  using TnxBaseTokenIndexDescriptor::TnxBaseTokenIndexDescriptor;

  // Takes its B*-tree indices out of the list.
  void BeforeRemoval() noexcept override;

  int32_t MaxTokenSize() const noexcept { return batidMaxTokenSize; }
  void SetMaxTokenSize(int32_t aValue);
  bool PerFieldIndex() const noexcept { return batidPerFieldIndex; }
  void SetPerFieldIndex(bool aValue);
  bool PerLocationIndex() const noexcept { return batidPerLocationIndex; }
  void SetPerLocationIndex(bool aValue);
  bool SegmentIndex() const noexcept { return batidSegmentIndex; }
  void SetSegmentIndex(bool aValue);

  TnxBaseBitArrayStorageHandlerDescriptor* BitArrayStorageHandler() const noexcept {
    return batidBitArrayStorageHandler.get();
  }
  // Null: TnxSimpleBitArrayStorageHandlerDescriptor.
  TnxBaseBitArrayStorageHandlerDescriptor* AddBitArrayStorageHandler(const TnxFulltextItemClass* aClass = nullptr);
  void RemoveBitArrayStorageHandler();

  // Replace the index of that kind; null classes: a bit-array token key,
  // the default index class. 8712 outside a fulltext descriptor.
  TnxIndexDescriptor* AddIndex(int32_t aFileNumber, const TnxKeyDescriptorClass* aKeyClass = nullptr,
                               const TnxIndexDescriptorClass* aIndexClass = nullptr);
  TnxIndexDescriptor* AddReverseIndex(int32_t aFileNumber, const TnxKeyDescriptorClass* aKeyClass = nullptr,
                                      const TnxIndexDescriptorClass* aIndexClass = nullptr);
  void RemoveIndex();
  void RemoveReverseIndex();
  TnxIndexDescriptor* IndexDescriptor();
  TnxIndexDescriptor* ReverseIndexDescriptor();
  // "<fulltext index>$<token index>", then "$" and aSuffix when given.
  std::u16string GetIndexName(std::u16string_view aSuffix) const;

  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  TnxIndexDescriptor* InternalAddIndex(std::u16string_view aSuffix, int32_t aFileNumber,
                                       const TnxKeyDescriptorClass* aKeyClass,
                                       const TnxIndexDescriptorClass* aIndexClass);
  TnxIndexDescriptor* FindIndex(std::u16string_view aSuffix);
  void InternalRemoveIndex(std::u16string_view aSuffix);
  void SyncKeyDescriptor(TnxIndexDescriptor& aIndex, bool aReverse, uint32_t aLocale, uint32_t aFlags);

  std::unique_ptr<TnxBaseBitArrayStorageHandlerDescriptor> batidBitArrayStorageHandler;
  int32_t batidMaxTokenSize = 20;
  bool batidPerFieldIndex = false;
  bool batidPerLocationIndex = true;
  bool batidSegmentIndex = false;
};

class TnxMainIndexTokenIndexDescriptor : public TnxBaseTokenIndexDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxMainIndexTokenIndexDescriptor, TnxBaseTokenIndexDescriptor, TnxFulltextItemClass,
                              &nxNewFulltextItem<TnxMainIndexTokenIndexDescriptor>)
  explicit TnxMainIndexTokenIndexDescriptor(TnxPersistent* aParent);
  ~TnxMainIndexTokenIndexDescriptor() override;

  int32_t MainIndexNumber() const noexcept { return mitidMainIndexNumber; }
  // A number from 0 on must name a main index with a main-index token key.
  void SetMainIndexNumber(int32_t aValue);
  bool IgnoreCase() const noexcept { return mitidIgnoreCase; }
  void SetIgnoreCase(bool aValue);
  TnxIndexDescriptor* MainIndex();
  // Outside a table nothing; else 9997 for no such main index, 10004 for
  // one whose key is not a main-index token key.
  void CheckMainIndex(int32_t aNumber);

  void IndexChangeNotification(bool aBefore, int32_t aOldIndex, int32_t aNewIndex) override;
  // The main index's key takes the used locale and its flags (with the
  // ignore-case flag when IgnoreCase).
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  int32_t mitidMainIndexNumber = -1;
  bool mitidIgnoreCase = true;
  TnxBaseIndicesDescriptor* mitidListeningTo = nullptr;  // not owned
};

}  // namespace revurov
