// The two ordered index lists of a table: the main indices that clients see
// (one of them the default) and the internal indices the engine keeps for
// itself.
//
// Contract:
// - Index numbers are positions. Insertions, moves and removals notify the
//   registered listeners before (a listener may refuse by raising; nothing
//   has changed then) and after; the main list's default index follows.
// - A bad name, a taken name or a bad file number is reported before any
//   listener hears of an insertion.
// - Raises EnxBaseIndicesDescriptorException and its family.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/index_descriptor.h"

namespace revurov {

class TnxBaseIndicesDescriptor;

extern TnxClassRegistry nxIndicesDescriptorClasses;

struct TnxIndicesDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseIndicesDescriptor> (*Create)(TnxPersistent* aParent, std::string_view aHeaderSection) =
      nullptr;
};
template <class T>
std::unique_ptr<TnxBaseIndicesDescriptor> nxNewIndicesDescriptor(TnxPersistent* aParent,
                                                                 std::string_view aHeaderSection) {
  return std::make_unique<T>(aParent, aHeaderSection);
}

// 256 indices are allowed, not 255.
inline constexpr int32_t nxMaxIndexCount = 256;

class TnxBaseIndicesDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseIndicesDescriptor, TnxDictionaryItem, TnxIndicesDescriptorClass,
                              &nxIndicesDescriptorClasses, &nxNewIndicesDescriptor<TnxBaseIndicesDescriptor>)

  TnxBaseIndicesDescriptor(TnxPersistent* aParent, std::string_view aHeaderSection);
  ~TnxBaseIndicesDescriptor() override;

  const std::string& HeaderSection() const noexcept { return bidHeaderSection; }
  int32_t IndexCount() const noexcept { return static_cast<int32_t>(bidIndices.size()); }
  // 9999 outside the list.
  TnxIndexDescriptor* IndexDescriptor(int32_t aIndex) const;
  const std::u16string& IndicesEngine() const noexcept { return bidIndicesEngine; }
  void SetIndicesEngine(std::u16string_view aValue);

  virtual const TnxKeyDescriptorClass& DefaultKeyClass() const noexcept;
  virtual const TnxIndexDescriptorClass& DefaultIndexClass() const noexcept;

  // Null classes are the defaults. 10022, 10027, 9999 for a file number
  // outside the related files descriptor.
  TnxIndexDescriptor* AddIndex(std::u16string_view aName, int32_t aFileNumber, TnxIndexDups aDups,
                               std::u16string_view aDesc = {}, const TnxKeyDescriptorClass* aKeyClass = nullptr,
                               const TnxIndexDescriptorClass* aIndexClass = nullptr);
  TnxIndexDescriptor* AddIndex(std::u16string_view aName, int32_t aFileNumber, bool aDups,
                               std::u16string_view aDesc = {}, const TnxKeyDescriptorClass* aKeyClass = nullptr,
                               const TnxIndexDescriptorClass* aIndexClass = nullptr) {
    return AddIndex(aName, aFileNumber, aDups ? idAll : idNone, aDesc, aKeyClass, aIndexClass);
  }
  // A copy with its own ID, which aIndexDescriptor takes over; nothing is
  // left behind when it fails.
  TnxIndexDescriptor* AddIndex(TnxIndexDescriptor& aIndexDescriptor);
  // aInx in 0 to IndexCount.
  TnxIndexDescriptor* InsertIndexAt(int32_t aInx, std::u16string_view aName, int32_t aFileNumber,
                                    TnxIndexDups aDups, std::u16string_view aDesc = {},
                                    const TnxKeyDescriptorClass* aKeyClass = nullptr,
                                    const TnxIndexDescriptorClass* aIndexClass = nullptr);
  void MoveIndex(int32_t aFrom, int32_t aTo);
  // A position or name not in the list does nothing.
  void RemoveIndex(int32_t aInx);
  void RemoveIndex(std::u16string_view aName);
  int32_t GetIndexFromName(std::u16string_view aIndexName) const noexcept;
  TnxIndexDescriptor* GetDescriptorFromName(std::u16string_view aIndexName) const noexcept;
  // The first unfiltered composite-key index over exactly aFields, in that
  // order, whose duplicates setting is in aDups.
  bool HasIndex(const std::vector<int32_t>& aFields, int32_t& aIndex, TnxIndexDupsSet aDups) const;

  void AddIndexChangeListener(TnxDictionaryItem* aItem) { bidIndexChangeNotifies.Add(aItem); }
  void RemoveIndexChangeListener(TnxDictionaryItem* aItem) { bidIndexChangeNotifies.Remove(aItem); }
  int32_t IndexChangeListenerCount() const noexcept { return bidIndexChangeNotifies.Count(); }

  virtual void PrepareForCache();
  void Clear(bool aNotify) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  virtual void bidIndexChangeNotification(bool aBefore, int32_t aOldIndex, int32_t aNewIndex);

private:
  void CheckNewIndex(std::u16string_view aName, int32_t aFileNumber) const;
  TnxIndexDescriptor* AppendIndex(std::u16string_view aName, int32_t aFileNumber, TnxIndexDups aDups,
                                  std::u16string_view aDesc, const TnxKeyDescriptorClass* aKeyClass,
                                  const TnxIndexDescriptorClass* aIndexClass);
  void Renumber(int32_t aFrom) noexcept;

  std::string bidHeaderSection;
  TnxChangeListeners bidIndexChangeNotifies;
  std::vector<std::unique_ptr<TnxIndexDescriptor>> bidIndices;
  std::u16string bidIndicesEngine{nxDefaultIndexEngine};
};

class TnxMainIndicesDescriptor : public TnxBaseIndicesDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxMainIndicesDescriptor, TnxBaseIndicesDescriptor, TnxIndicesDescriptorClass,
                              &nxNewIndicesDescriptor<TnxMainIndicesDescriptor>)

  TnxMainIndicesDescriptor(TnxPersistent* aParent, std::string_view aHeaderSection);

  // -1 exactly when there is no index.
  int32_t DefaultIndex() const noexcept { return midDefaultIndex; }
  // Negative means 0; past the last index raises 9999.
  void SetDefaultIndex(int32_t aValue);

  void Clear(bool aNotify) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  void bidIndexChangeNotification(bool aBefore, int32_t aOldIndex, int32_t aNewIndex) override;

private:
  int32_t midDefaultIndex = -1;
};

class TnxInternalIndicesDescriptor : public TnxBaseIndicesDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxInternalIndicesDescriptor, TnxBaseIndicesDescriptor, TnxIndicesDescriptorClass,
                              &nxNewIndicesDescriptor<TnxInternalIndicesDescriptor>)
  using TnxBaseIndicesDescriptor::TnxBaseIndicesDescriptor;

  // Readers below 47005 know no internal indices (12039).
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;
};

}  // namespace revurov
