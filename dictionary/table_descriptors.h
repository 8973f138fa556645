// A table's description: its fields, record, blob and autoinc storage, main
// and internal indices, locale, named custom descriptors and nested child
// tables; the register of constraint names; path lookup of nested tables;
// key and bookmark sizes; and the turns that make a table cacheable on the
// server or the dictionary of a client cache table.
//
// Contract:
// - The table owns every child; add operations replace the child of that
//   kind (the old one is freed first, also when the new one fails).
// - Nested table and custom descriptor names compare A to Z without case;
//   the path separator of nested tables is ":".
// - Writing never changes the table: "$CachingState" goes into the stream's
//   custom strings, not into the table's.
// - Raises EnxBaseTableDescriptorException and the family's classes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dictionary/locale_descriptor.h"

namespace revurov::platform {
class TStringList;
}

namespace revurov {

class TnxFieldsDescriptor;
class TnxFieldDescriptor;
class TnxIndexDescriptor;
class TnxMainIndicesDescriptor;
class TnxInternalIndicesDescriptor;
class TnxBaseRecordDescriptor;
class TnxBaseBlobDescriptor;
class TnxBaseAutoIncDescriptor;
class TnxBaseTableDescriptor;
class TnxNestedTableDescriptor;
class TnxTablesDescriptor;
class TnxBaseCustomDescriptor;
class TnxCustomDescsDescriptor;
struct TnxCacheableInfo;
template <class Base>
struct TnxSectionedDescriptorClass;
using TnxRecordDescriptorClass = TnxSectionedDescriptorClass<TnxBaseRecordDescriptor>;
using TnxBlobDescriptorClass = TnxSectionedDescriptorClass<TnxBaseBlobDescriptor>;
using TnxAutoIncDescriptorClass = TnxSectionedDescriptorClass<TnxBaseAutoIncDescriptor>;
struct TnxIndicesDescriptorClass;

extern TnxClassRegistry nxTableDescriptorClasses;
extern TnxClassRegistry nxTablesDescriptorClasses;
extern TnxClassRegistry nxCustomDescriptorClasses;
extern TnxClassRegistry nxCustomDescsDescriptorClasses;

std::u16string_view nxTableCachingStateIdent(TnxTableCachingState aValue) noexcept;

// Bytes a bookmark adds to its key.
inline constexpr uint32_t nxBookmarkOverhead = 24;

struct TnxTableDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxNestedTableDescriptor> (*Create)(TnxPersistent* aParent, std::u16string_view aName) = nullptr;
};
struct TnxCustomDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseCustomDescriptor> (*Create)(TnxPersistent* aParent, std::u16string_view aName) = nullptr;
};
struct TnxTablesDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxTablesDescriptor> (*Create)(TnxPersistent* aParent) = nullptr;
};
struct TnxCustomDescsDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxCustomDescsDescriptor> (*Create)(TnxPersistent* aParent) = nullptr;
};
template <class Base, class T>
std::unique_ptr<Base> nxNewNamedDescriptor(TnxPersistent* aParent, std::u16string_view aName) {
  return std::make_unique<T>(aParent, aName);
}
template <class Base, class T>
std::unique_ptr<Base> nxNewChildList(TnxPersistent* aParent) {
  return std::make_unique<T>(aParent);
}

class TnxBaseCustomDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseCustomDescriptor, TnxDictionaryItem, TnxCustomDescriptorClass,
                              &nxCustomDescriptorClasses,
                              (&nxNewNamedDescriptor<TnxBaseCustomDescriptor, TnxBaseCustomDescriptor>))
  // 10068 for a bad name.
  TnxBaseCustomDescriptor(TnxPersistent* aParent, std::u16string_view aName);

  const std::u16string& Name() const noexcept { return bcdName; }

  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

private:
  friend class TnxCustomDescsDescriptor;
  std::u16string bcdName;
};

class TnxCustomDescsDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxCustomDescsDescriptor, TnxDictionaryItem, TnxCustomDescsDescriptorClass,
                              &nxCustomDescsDescriptorClasses,
                              (&nxNewChildList<TnxCustomDescsDescriptor, TnxCustomDescsDescriptor>))
  explicit TnxCustomDescsDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}
  ~TnxCustomDescsDescriptor() override;

  int32_t CustomCount() const noexcept { return static_cast<int32_t>(cdsCustoms.size()); }
  // 9999 outside the list.
  TnxBaseCustomDescriptor* CustomDescriptor(int32_t aIndex) const;
  // 10068, 10009 "Duplicated custom descriptor name: %s"; null class: the base.
  TnxBaseCustomDescriptor* AddCustom(std::u16string_view aName, const TnxCustomDescriptorClass* aClass = nullptr);
  void RemoveCustom(int32_t aInx);
  void RemoveCustom(std::u16string_view aName);
  int32_t GetCustomDescriptorFromName(std::u16string_view aName) const noexcept;

  void Clear(bool aNotify) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::vector<std::unique_ptr<TnxBaseCustomDescriptor>> cdsCustoms;
};

class TnxTablesDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxTablesDescriptor, TnxDictionaryItem, TnxTablesDescriptorClass,
                              &nxTablesDescriptorClasses,
                              (&nxNewChildList<TnxTablesDescriptor, TnxTablesDescriptor>))
  explicit TnxTablesDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}
  ~TnxTablesDescriptor() override;

  int32_t TableCount() const noexcept { return static_cast<int32_t>(tsTables.size()); }
  // 9999 outside the list.
  TnxNestedTableDescriptor* TableDescriptor(int32_t aIndex) const;
  // 10039, 10009 "Duplicated table name: %s"; null class: TnxNestedTableDescriptor.
  TnxNestedTableDescriptor* AddTable(std::u16string_view aName, const TnxTableDescriptorClass* aClass = nullptr);
  void RemoveTable(int32_t aInx);
  void RemoveTable(std::u16string_view aName);
  // 10039, 10009, 10024.
  void RenameTable(std::u16string_view aOldName, std::u16string_view aNewName);
  int32_t GetTableIndexFromName(std::u16string_view aName) const noexcept;
  // 10024 "Table does not exist." when absent.
  TnxNestedTableDescriptor* GetTableDescriptorFromName(std::u16string_view aName) const;
  void GetTables(platform::TStringList& aStrings) const;
  bool HasAnyRefNrField() const;
  bool HasCachingSupport(TnxTableCachingState aState) const;

  void Clear(bool aNotify) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  friend class TnxBaseTableDescriptor;
  std::vector<std::unique_ptr<TnxNestedTableDescriptor>> tsTables;
};

class TnxBaseTableDescriptor : public TnxLocalizedDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseTableDescriptor, TnxLocalizedDictionaryItem, TnxTableDescriptorClass,
                              &nxTableDescriptorClasses, nullptr)

  explicit TnxBaseTableDescriptor(TnxPersistent* aParent);
  ~TnxBaseTableDescriptor() override;

  TnxFieldsDescriptor& FieldsDescriptor() const noexcept { return *tdFieldsDescriptor; }
  TnxBaseBlobDescriptor* BlobDescriptor() const noexcept { return tdBlobDescriptor.get(); }
  TnxBaseRecordDescriptor* RecordDescriptor() const noexcept { return tdRecordDescriptor.get(); }
  TnxMainIndicesDescriptor* IndicesDescriptor() const noexcept { return tdIndicesDescriptor.get(); }
  TnxInternalIndicesDescriptor* InternalIndicesDescriptor() const noexcept {
    return tdInternalIndicesDescriptor.get();
  }
  TnxBaseAutoIncDescriptor* AutoIncDescriptor() const noexcept { return tdAutoIncDescriptor.get(); }
  TnxCustomDescsDescriptor& CustomDescsDescriptor() const noexcept { return *tdCustomDescsDescriptor; }
  TnxTablesDescriptor& TablesDescriptor() const noexcept { return *tdTablesDescriptor; }
  TnxTableCachingState CachingState() const noexcept { return tdCachingState; }

  // Null classes are the defaults: TnxBaseRecordDescriptor,
  // TnxHeapBlobDescriptor, TnxMainIndicesDescriptor,
  // TnxInternalIndicesDescriptor, TnxBaseAutoIncDescriptor.
  TnxBaseRecordDescriptor* AddRecordDescriptor(const TnxRecordDescriptorClass* aClass = nullptr);
  void RemoveRecordDescriptor();
  TnxBaseBlobDescriptor* AddBlobDescriptor(const TnxBlobDescriptorClass* aClass = nullptr);
  void RemoveBlobDescriptor();
  TnxMainIndicesDescriptor* AddIndicesDescriptor(const TnxIndicesDescriptorClass* aClass = nullptr);
  void RemoveIndicesDescriptor();
  TnxInternalIndicesDescriptor* AddInternalIndicesDescriptor(const TnxIndicesDescriptorClass* aClass = nullptr);
  void RemoveInternalIndicesDescriptor();
  TnxBaseAutoIncDescriptor* AddAutoIncDescriptor(const TnxAutoIncDescriptorClass* aClass = nullptr);
  void RemoveAutoIncDescriptor();
  TnxMainIndicesDescriptor* EnsureIndicesDescriptor();
  TnxInternalIndicesDescriptor* EnsureInternalIndicesDescriptor();

  virtual void ClearContents(bool aSkipDefaults, bool aNotify);
  // Turns the table (and its nested tables) into one of a client cache;
  // a table that cannot be one raises 12289, or with aSilent ends in
  // tcsNone. Nested tables that cannot be one are removed.
  virtual void MarkInCache(bool aSilent);
  // For a nested table "parent:name", the root's base name at the top.
  virtual std::u16string btdFullName() const = 0;
  // The fields (with their locales) and nested tables of aSource, nothing
  // else; a variable-length compressed record descriptor.
  virtual void AssignOnlyFields(const TnxBaseTableDescriptor& aSource);
  virtual bool IsIndexDescValid(const TnxIndexDescriptor& aIndexDesc) const;
  virtual bool IsFieldDescValid(const TnxFieldDescriptor& aFieldDesc) const;

  int32_t GetFieldFromName(std::u16string_view aFieldName) const;
  int32_t GetIndexFromName(std::u16string_view aIndexName) const;
  // "" is this table, "." stays, ".." goes up; 10024 for what is not there.
  TnxBaseTableDescriptor* GetChild(std::u16string_view aChildName);
  TnxDictionaryItem* GetConstraintByName(std::u16string_view aName) const;
  void GetConstraints(platform::TStringList& aStrings) const;
  bool HasAnyRefNrField() const;
  bool HasCachingSupport(TnxTableCachingState aState) const;
  // 9999 "Index out of bounds: %d" without main indices or outside them.
  uint32_t tdGetKeyLen(int32_t aInx) const;
  uint32_t tdGetBookmarkSize(int32_t aInx) const;
  uint32_t GetMaxKeyLen() const;
  uint32_t GetMaxBookmarkSize() const { return GetMaxKeyLen() + nxBookmarkOverhead; }

  // Whether the table can serve aState; aCachableInfo is released and
  // replaced by a new info (index positions, special fields) that the
  // caller releases.
  bool IsCacheable(TnxCacheableInfo*& aCachableInfo, TnxTableCachingState aState, bool aAcceptCachable);
  // Server side: with aCanChange adds the LSN and RefNr fields and the
  // indices a cacheable table needs. 12289 when it is a cache or stays not
  // cacheable.
  void MakeCacheable(bool aCanChange);

  void ActivateCache() override;
  void AddConstraintName(TnxDictionaryItem* aItem, std::u16string_view aName) override;
  void RemoveConstraintName(TnxDictionaryItem* aItem, std::u16string_view aName) override;
  void Clear(bool aNotify) override;
  bool FindRelatedDescriptorOfType(const TnxRegisterableClass& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom = nullptr) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  struct TDeferChildren {};
  // The children are made by btdCreateChildren once the object is whole,
  // so that they take their IDs from the dictionary at the root.
  TnxBaseTableDescriptor(TnxPersistent* aParent, TDeferChildren);
  void btdCreateChildren();
  // Frees every child; a destructor's first step.
  void btdDestroyContents() noexcept;
  std::vector<std::u16string> StreamCustomStrings() const override;
  bool TreeHasInternalIndices() const;

private:
  // Whether the table (no nested tables) holds at least one internal index.
  bool HasInternalIndex() const noexcept;

  std::unique_ptr<TnxFieldsDescriptor> tdFieldsDescriptor;
  std::unique_ptr<TnxBaseBlobDescriptor> tdBlobDescriptor;
  std::unique_ptr<TnxBaseRecordDescriptor> tdRecordDescriptor;
  std::unique_ptr<TnxMainIndicesDescriptor> tdIndicesDescriptor;
  std::unique_ptr<TnxInternalIndicesDescriptor> tdInternalIndicesDescriptor;
  std::unique_ptr<TnxBaseAutoIncDescriptor> tdAutoIncDescriptor;
  std::unique_ptr<TnxCustomDescsDescriptor> tdCustomDescsDescriptor;
  std::unique_ptr<TnxTablesDescriptor> tdTablesDescriptor;
  TnxTableCachingState tdCachingState = tcsNone;
  // Sorted by name (A to Z without case); exists from the first name on.
  std::unique_ptr<std::vector<std::pair<std::u16string, TnxDictionaryItem*>>> tdConstraints;
  uint32_t tdMaxKeyLen = 0;
};

class TnxNestedTableDescriptor : public TnxBaseTableDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxNestedTableDescriptor, TnxBaseTableDescriptor, TnxTableDescriptorClass,
                              (&nxNewNamedDescriptor<TnxNestedTableDescriptor, TnxNestedTableDescriptor>))
  // 10039 "Invalid table name." for a bad name.
  TnxNestedTableDescriptor(TnxPersistent* aParent, std::u16string_view aName);

  const std::u16string& Name() const noexcept { return ntdName; }
  std::u16string btdFullName() const override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

private:
  friend class TnxTablesDescriptor;
  std::u16string ntdName;
};

}  // namespace revurov
