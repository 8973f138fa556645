#include "dictionary/table_descriptors.h"

#include <algorithm>

#include "dictionary/default_values.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/shared_infos.h"
#include "dictionary/storage_descriptors.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace revurov {

constinit TnxClassRegistry nxTableDescriptorClasses;
constinit TnxClassRegistry nxTablesDescriptorClasses;
constinit TnxClassRegistry nxCustomDescriptorClasses;
constinit TnxClassRegistry nxCustomDescsDescriptorClasses;

namespace {

constexpr std::u16string_view kIndexOutOfBounds = u"Index out of bounds: %d";
constexpr std::u16string_view kCachingState = u"$CachingState";
constexpr uint32_t kClientVersionInternalIndices = 47005;
constexpr std::u16string_view kCachingStateIdents[] = {u"tcsNone", u"tcsCacheable", u"tcsIsCache"};

template <class E>
void ExpectIdent(TnxReader& aReader, std::u16string_view aIdent) {
  if (aReader.ReadIdent() != aIdent) throw E(nxeIncompatibleStream);
}

// An optional child: Boolean, then class name and contents.
void WriteSection(TnxWriter& aWriter, std::u16string_view aIdent, const TnxDictionaryItem* aItem,
                  uint32_t aClientVersion) {
  aWriter.WriteIdent(aIdent);
  aWriter.WriteBoolean(aItem != nullptr);
  if (!aItem) return;
  aWriter.WriteString(aItem->ClassName());
  aItem->SaveToWriter(aWriter, aClientVersion);
}

// The section of a child that always exists: it must be there and name the
// child's own class.
void ReadFixedSection(TnxReader& aReader, std::u16string_view aIdent, TnxDictionaryItem& aChild) {
  ExpectIdent<EnxBaseTableDescriptorException>(aReader, aIdent);
  if (!aReader.ReadBoolean()) throw EnxBaseTableDescriptorException(nxeIncompatibleStream);
  const std::u16string className = aReader.ReadString();
  const TnxRegisterableClass* cls = aChild.ClassType().FindClass(className);
  if (!cls) nxRaiseClassNotSupported<EnxBaseTableDescriptorException>(aIdent, className);
  if (cls != &aChild.ClassType()) throw EnxBaseTableDescriptorException(nxeIncompatibleStream);
  aChild.LoadFromReader(aReader);
}

// The class named by an optional section, or null when it says none.
template <class Record>
const Record* ReadSectionClass(TnxReader& aReader, std::u16string_view aIdent, const TnxRegisterableClass& aFamily) {
  ExpectIdent<EnxBaseTableDescriptorException>(aReader, aIdent);
  if (!aReader.ReadBoolean()) return nullptr;
  const std::u16string className = aReader.ReadString();
  const auto* cls = nxFindClassAs<Record>(aFamily, className);
  if (!cls) nxRaiseClassNotSupported<EnxBaseTableDescriptorException>(aIdent, className);
  return cls;
}

bool IsName(std::u16string_view a, std::u16string_view b) noexcept { return platform::AsciiSameText(a, b); }

}  // namespace

std::u16string_view nxTableCachingStateIdent(TnxTableCachingState aValue) noexcept {
  return aValue <= tcsIsCache ? kCachingStateIdents[aValue] : std::u16string_view();
}

// ---- TnxBaseCustomDescriptor ----

TnxBaseCustomDescriptor::TnxBaseCustomDescriptor(TnxPersistent* aParent, std::u16string_view aName)
    : TnxDictionaryItem(aParent) {
  if (nxCheckIdentifier(aName, nxeInvalidName, false, true) != 0) throw EnxBaseCustomDescriptorException(nxeInvalidName);
  bcdName = aName;
}

void TnxBaseCustomDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (nxCheckIdentifier(bcdName, nxeInvalidName, false, true) != 0) throw EnxBaseCustomDescriptorException(nxeInvalidName);
}

bool TnxBaseCustomDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseCustomDescriptor*>(aItem);
  return other && bcdName == other->bcdName;
}

// ---- named child lists ----

namespace {

// What the nested tables and the custom descriptors share: a list of owned,
// named children written as class name, name and contents.
template <class Child, class Record, class E>
struct NamedList {
  std::vector<std::unique_ptr<Child>>& items;

  int32_t IndexOf(std::u16string_view aName) const noexcept {
    for (size_t i = 0; i < items.size(); ++i)
      if (IsName(items[i]->Name(), aName)) return static_cast<int32_t>(i);
    return -1;
  }
  Child* At(int32_t aIndex) const {
    if (aIndex < 0 || aIndex >= static_cast<int32_t>(items.size()))
      throw E(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {aIndex});
    return items[static_cast<size_t>(aIndex)].get();
  }
  void Remove(int32_t aInx) {
    if (aInx < 0 || aInx >= static_cast<int32_t>(items.size())) return;
    items.erase(items.begin() + aInx);
  }
  void CheckDuplicates(std::u16string_view aMsg) const {
    for (size_t i = 1; i < items.size(); ++i)
      for (size_t j = 0; j < i; ++j)
        if (IsName(items[i]->Name(), items[j]->Name())) throw E(nxeNameNotUnique, aMsg, {items[i]->Name()});
  }
  bool Equal(const std::vector<std::unique_ptr<Child>>& aOther) const {
    if (items.size() != aOther.size()) return false;
    for (size_t i = 0; i < items.size(); ++i)
      if (!items[i]->IsEqual(aOther[i].get())) return false;
    return true;
  }
  void Save(const TnxDictionaryItem& aOwner, TnxWriter& aWriter, uint32_t aClientVersion) const {
    if (aClientVersion < nxClientVersionIDs) throw E(nxeIncompatibleVersion);
    aOwner.TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
    aWriter.WriteInteger(int32_t{1});
    aWriter.WriteInteger(static_cast<int32_t>(items.size()));
    for (const auto& item : items) {
      aWriter.WriteString(item->ClassName());
      aWriter.WriteString(item->Name());
      item->SaveToWriter(aWriter, aClientVersion);
    }
  }
  void Load(TnxDictionaryItem& aOwner, TnxReader& aReader, const TnxRegisterableClass& aFamily,
            std::u16string_view aKindWord) {
    aOwner.TnxDictionaryItem::LoadFromReader(aReader);
    if (aReader.ReadInteger() != 1) throw E(nxeIncompatibleStream);
    const int32_t count = aReader.ReadInteger();
    if (count < 0) throw E(nxeIncompatibleStream);
    items.clear();
    for (int32_t i = 0; i < count; ++i) {
      const std::u16string className = aReader.ReadString();
      const auto* cls = nxFindClassAs<Record>(aFamily, className);
      if (!cls) nxRaiseClassNotSupported<E>(aKindWord, className);
      const std::u16string name = aReader.ReadString();
      items.push_back(cls->Create(&aOwner, name));
      items.back()->LoadFromReader(aReader);
    }
  }
};

using CustomList = NamedList<TnxBaseCustomDescriptor, TnxCustomDescriptorClass, EnxCustomDescsDescriptorException>;
using TableList = NamedList<TnxNestedTableDescriptor, TnxTableDescriptorClass, EnxTablesDescriptorException>;

}  // namespace

// ---- TnxCustomDescsDescriptor ----

TnxCustomDescsDescriptor::~TnxCustomDescsDescriptor() {
  while (!cdsCustoms.empty()) cdsCustoms.pop_back();
}

TnxBaseCustomDescriptor* TnxCustomDescsDescriptor::CustomDescriptor(int32_t aIndex) const {
  return CustomList{const_cast<std::vector<std::unique_ptr<TnxBaseCustomDescriptor>>&>(cdsCustoms)}.At(aIndex);
}

TnxBaseCustomDescriptor* TnxCustomDescsDescriptor::AddCustom(std::u16string_view aName,
                                                            const TnxCustomDescriptorClass* aClass) {
  CheckReadOnly();
  if (nxCheckIdentifier(aName, nxeInvalidName, false, true) != 0)
    throw EnxCustomDescsDescriptorException(nxeInvalidName);
  if (GetCustomDescriptorFromName(aName) >= 0)
    throw EnxCustomDescsDescriptorException(nxeNameNotUnique, u"Duplicated custom descriptor name: %s", {aName});
  if (!aClass) aClass = &TnxBaseCustomDescriptor::ClassInfo();
  cdsCustoms.push_back(aClass->Create(this, aName));
  return cdsCustoms.back().get();
}

void TnxCustomDescsDescriptor::RemoveCustom(int32_t aInx) {
  CheckReadOnly();
  CustomList{cdsCustoms}.Remove(aInx);
}

void TnxCustomDescsDescriptor::RemoveCustom(std::u16string_view aName) {
  CheckReadOnly();
  RemoveCustom(GetCustomDescriptorFromName(aName));
}

int32_t TnxCustomDescsDescriptor::GetCustomDescriptorFromName(std::u16string_view aName) const noexcept {
  return CustomList{const_cast<std::vector<std::unique_ptr<TnxBaseCustomDescriptor>>&>(cdsCustoms)}.IndexOf(aName);
}

void TnxCustomDescsDescriptor::Clear(bool aNotify) {
  TnxDictionaryItem::Clear(aNotify);
  while (!cdsCustoms.empty()) {
    cdsCustoms.back()->Clear(aNotify);
    cdsCustoms.pop_back();
  }
}

void TnxCustomDescsDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  CustomList{cdsCustoms}.CheckDuplicates(u"Duplicated custom descriptor name: %s");
  for (auto& custom : cdsCustoms) custom->CheckValid(aForBuild);
}

bool TnxCustomDescsDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxCustomDescsDescriptor*>(aItem);
  return other &&
         CustomList{const_cast<std::vector<std::unique_ptr<TnxBaseCustomDescriptor>>&>(cdsCustoms)}.Equal(
             other->cdsCustoms);
}

void TnxCustomDescsDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  CustomList{const_cast<std::vector<std::unique_ptr<TnxBaseCustomDescriptor>>&>(cdsCustoms)}.Save(*this, aWriter,
                                                                                                   aClientVersion);
}

void TnxCustomDescsDescriptor::LoadFromReader(TnxReader& aReader) {
  CustomList{cdsCustoms}.Load(*this, aReader, TnxBaseCustomDescriptor::ClassInfo(), u"CustomDescriptor");
}

// ---- TnxTablesDescriptor ----

TnxTablesDescriptor::~TnxTablesDescriptor() {
  while (!tsTables.empty()) tsTables.pop_back();
}

TnxNestedTableDescriptor* TnxTablesDescriptor::TableDescriptor(int32_t aIndex) const {
  return TableList{const_cast<std::vector<std::unique_ptr<TnxNestedTableDescriptor>>&>(tsTables)}.At(aIndex);
}

TnxNestedTableDescriptor* TnxTablesDescriptor::AddTable(std::u16string_view aName,
                                                       const TnxTableDescriptorClass* aClass) {
  CheckReadOnly();
  if (nxCheckIdentifier(aName, nxeInvalidTableName, false, true) != 0)
    throw EnxTablesDescriptorException(nxeInvalidTableName);
  if (GetTableIndexFromName(aName) >= 0)
    throw EnxTablesDescriptorException(nxeNameNotUnique, u"Duplicated table name: %s", {aName});
  if (!aClass) aClass = &TnxNestedTableDescriptor::ClassInfo();
  tsTables.push_back(aClass->Create(this, aName));
  return tsTables.back().get();
}

void TnxTablesDescriptor::RemoveTable(int32_t aInx) {
  CheckReadOnly();
  TableList{tsTables}.Remove(aInx);
}

void TnxTablesDescriptor::RemoveTable(std::u16string_view aName) {
  CheckReadOnly();
  RemoveTable(GetTableIndexFromName(aName));
}

void TnxTablesDescriptor::RenameTable(std::u16string_view aOldName, std::u16string_view aNewName) {
  CheckReadOnly();
  if (aOldName == aNewName) return;
  if (nxCheckIdentifier(aNewName, nxeInvalidTableName, false, true) != 0)
    throw EnxTablesDescriptorException(nxeInvalidTableName);
  if (GetTableIndexFromName(aNewName) >= 0)
    throw EnxTablesDescriptorException(nxeNameNotUnique, u"Duplicated table name: %s", {aNewName});
  GetTableDescriptorFromName(aOldName)->ntdName = aNewName;
}

int32_t TnxTablesDescriptor::GetTableIndexFromName(std::u16string_view aName) const noexcept {
  return TableList{const_cast<std::vector<std::unique_ptr<TnxNestedTableDescriptor>>&>(tsTables)}.IndexOf(aName);
}

TnxNestedTableDescriptor* TnxTablesDescriptor::GetTableDescriptorFromName(std::u16string_view aName) const {
  const int32_t i = GetTableIndexFromName(aName);
  if (i < 0) throw EnxTablesDescriptorException(nxeTableDoesNotExist);
  return tsTables[static_cast<size_t>(i)].get();
}

void TnxTablesDescriptor::GetTables(platform::TStringList& aStrings) const {
  aStrings.Clear();
  for (const auto& table : tsTables) aStrings.AddObject(table->Name(), table.get());
}

bool TnxTablesDescriptor::HasAnyRefNrField() const {
  return std::any_of(tsTables.begin(), tsTables.end(), [](const auto& t) { return t->HasAnyRefNrField(); });
}

bool TnxTablesDescriptor::HasCachingSupport(TnxTableCachingState aState) const {
  return std::any_of(tsTables.begin(), tsTables.end(), [&](const auto& t) { return t->HasCachingSupport(aState); });
}

void TnxTablesDescriptor::Clear(bool aNotify) {
  TnxDictionaryItem::Clear(aNotify);
  while (!tsTables.empty()) tsTables.pop_back();
}

void TnxTablesDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  TableList{tsTables}.CheckDuplicates(u"Duplicated table descriptor name: %s");
  for (auto& table : tsTables) table->CheckValid(aForBuild);
}

bool TnxTablesDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxTablesDescriptor*>(aItem);
  return other &&
         TableList{const_cast<std::vector<std::unique_ptr<TnxNestedTableDescriptor>>&>(tsTables)}.Equal(other->tsTables);
}

void TnxTablesDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TableList{const_cast<std::vector<std::unique_ptr<TnxNestedTableDescriptor>>&>(tsTables)}.Save(*this, aWriter,
                                                                                                aClientVersion);
}

void TnxTablesDescriptor::LoadFromReader(TnxReader& aReader) {
  TableList{tsTables}.Load(*this, aReader, TnxNestedTableDescriptor::ClassInfo(), u"TableDescriptor");
}

// ---- TnxBaseTableDescriptor ----

TnxBaseTableDescriptor::TnxBaseTableDescriptor(TnxPersistent* aParent) : TnxLocalizedDictionaryItem(aParent) {
  btdCreateChildren();
}

TnxBaseTableDescriptor::TnxBaseTableDescriptor(TnxPersistent* aParent, TDeferChildren)
    : TnxLocalizedDictionaryItem(aParent) {}

void TnxBaseTableDescriptor::btdCreateChildren() {
  tdFieldsDescriptor = std::make_unique<TnxFieldsDescriptor>(this);
  tdCustomDescsDescriptor = std::make_unique<TnxCustomDescsDescriptor>(this);
  tdTablesDescriptor = std::make_unique<TnxTablesDescriptor>(this);
}

TnxBaseTableDescriptor::~TnxBaseTableDescriptor() { btdDestroyContents(); }

void TnxBaseTableDescriptor::btdDestroyContents() noexcept {
  tdConstraints.reset();
  // Listeners go before what they listen to: indices before the fields,
  // storage before the files at the root.
  tdCustomDescsDescriptor.reset();
  tdIndicesDescriptor.reset();
  tdInternalIndicesDescriptor.reset();
  tdTablesDescriptor.reset();
  tdRecordDescriptor.reset();
  tdBlobDescriptor.reset();
  tdAutoIncDescriptor.reset();
  tdFieldsDescriptor.reset();
}

TnxBaseRecordDescriptor* TnxBaseTableDescriptor::AddRecordDescriptor(const TnxRecordDescriptorClass* aClass) {
  CheckReadOnly();
  tdRecordDescriptor.reset();
  if (!aClass) aClass = &TnxBaseRecordDescriptor::ClassInfo();
  tdRecordDescriptor = aClass->Create(this, "Record");
  return tdRecordDescriptor.get();
}

void TnxBaseTableDescriptor::RemoveRecordDescriptor() {
  CheckReadOnly();
  tdRecordDescriptor.reset();
}

TnxBaseBlobDescriptor* TnxBaseTableDescriptor::AddBlobDescriptor(const TnxBlobDescriptorClass* aClass) {
  CheckReadOnly();
  tdBlobDescriptor.reset();
  if (!aClass) aClass = &TnxHeapBlobDescriptor::ClassInfo();
  tdBlobDescriptor = aClass->Create(this, "Blob");
  return tdBlobDescriptor.get();
}

void TnxBaseTableDescriptor::RemoveBlobDescriptor() {
  CheckReadOnly();
  tdBlobDescriptor.reset();
}

namespace {

template <class T>
std::unique_ptr<T> CreateIndices(const TnxIndicesDescriptorClass& aClass, TnxPersistent* aParent,
                                 std::string_view aHeaderSection) {
  if (!aClass.InheritsFrom(T::ClassInfo()))
    throw EnxBaseTableDescriptorException(nxeInvalidDescriptor, u"%s is not a %s", {aClass.Name, T::ClassInfo().Name});
  return std::unique_ptr<T>(static_cast<T*>(aClass.Create(aParent, aHeaderSection).release()));
}

}  // namespace

TnxMainIndicesDescriptor* TnxBaseTableDescriptor::AddIndicesDescriptor(const TnxIndicesDescriptorClass* aClass) {
  CheckReadOnly();
  tdIndicesDescriptor.reset();
  tdIndicesDescriptor = CreateIndices<TnxMainIndicesDescriptor>(
      aClass ? *aClass : TnxMainIndicesDescriptor::ClassInfo(), this, "Indices");
  return tdIndicesDescriptor.get();
}

void TnxBaseTableDescriptor::RemoveIndicesDescriptor() {
  CheckReadOnly();
  if (!tdIndicesDescriptor) return;
  tdIndicesDescriptor->Clear(true);
  tdIndicesDescriptor.reset();
}

TnxInternalIndicesDescriptor* TnxBaseTableDescriptor::AddInternalIndicesDescriptor(
    const TnxIndicesDescriptorClass* aClass) {
  CheckReadOnly();
  tdInternalIndicesDescriptor.reset();
  tdInternalIndicesDescriptor = CreateIndices<TnxInternalIndicesDescriptor>(
      aClass ? *aClass : TnxInternalIndicesDescriptor::ClassInfo(), this, "InternalIndices");
  return tdInternalIndicesDescriptor.get();
}

void TnxBaseTableDescriptor::RemoveInternalIndicesDescriptor() {
  CheckReadOnly();
  if (!tdInternalIndicesDescriptor) return;
  tdInternalIndicesDescriptor->Clear(true);
  tdInternalIndicesDescriptor.reset();
}

TnxBaseAutoIncDescriptor* TnxBaseTableDescriptor::AddAutoIncDescriptor(const TnxAutoIncDescriptorClass* aClass) {
  CheckReadOnly();
  tdAutoIncDescriptor.reset();
  if (!aClass) aClass = &TnxBaseAutoIncDescriptor::ClassInfo();
  tdAutoIncDescriptor = aClass->Create(this, "AutoInc");
  return tdAutoIncDescriptor.get();
}

void TnxBaseTableDescriptor::RemoveAutoIncDescriptor() {
  CheckReadOnly();
  tdAutoIncDescriptor.reset();
}

TnxMainIndicesDescriptor* TnxBaseTableDescriptor::EnsureIndicesDescriptor() {
  return tdIndicesDescriptor ? tdIndicesDescriptor.get() : AddIndicesDescriptor();
}

TnxInternalIndicesDescriptor* TnxBaseTableDescriptor::EnsureInternalIndicesDescriptor() {
  return tdInternalIndicesDescriptor ? tdInternalIndicesDescriptor.get() : AddInternalIndicesDescriptor();
}

void TnxBaseTableDescriptor::ClearContents(bool, bool aNotify) {
  tdCustomDescsDescriptor->Clear(aNotify);
  RemoveIndicesDescriptor();
  tdFieldsDescriptor->Clear(aNotify);
  RemoveRecordDescriptor();
  RemoveBlobDescriptor();
  RemoveLocaleDescriptor();
  RemoveAutoIncDescriptor();
  tdTablesDescriptor->Clear(aNotify);
}

void TnxBaseTableDescriptor::Clear(bool aNotify) {
  TnxLocalizedDictionaryItem::Clear(aNotify);
  ClearContents(false, aNotify);
}

int32_t TnxBaseTableDescriptor::GetFieldFromName(std::u16string_view aFieldName) const {
  return tdFieldsDescriptor->GetFieldFromName(aFieldName);
}

int32_t TnxBaseTableDescriptor::GetIndexFromName(std::u16string_view aIndexName) const {
  return tdIndicesDescriptor ? tdIndicesDescriptor->GetIndexFromName(aIndexName) : -1;
}

TnxBaseTableDescriptor* TnxBaseTableDescriptor::GetChild(std::u16string_view aChildName) {
  TnxBaseTableDescriptor* table = this;
  // Bounded by the path: every step consumes one part of it.
  while (!aChildName.empty()) {
    const size_t colon = aChildName.find(u':');
    const std::u16string_view head = aChildName.substr(0, colon);
    aChildName = colon == std::u16string_view::npos ? std::u16string_view() : aChildName.substr(colon + 1);
    if (head == u".") continue;
    if (head == u"..") {
      TnxPersistent* parent = nullptr;
      if (!table->FindParentOfType(TnxBaseTableDescriptor::ClassInfo(), parent))
        throw EnxBaseTableDescriptorException(nxeTableDoesNotExist);
      table = dynamic_cast<TnxBaseTableDescriptor*>(parent);
      continue;
    }
    table = table->tdTablesDescriptor->GetTableDescriptorFromName(head);
  }
  return table;
}

bool TnxBaseTableDescriptor::FindRelatedDescriptorOfType(const TnxRegisterableClass& aType,
                                                         TnxDictionaryItem*& aDescriptor, TnxDictionaryItem* aFrom) {
  const std::pair<const TnxRegisterableClass*, TnxDictionaryItem*> children[] = {
      {&TnxTablesDescriptor::ClassInfo(), tdTablesDescriptor.get()},
      {&TnxCustomDescsDescriptor::ClassInfo(), tdCustomDescsDescriptor.get()},
      {&TnxFieldsDescriptor::ClassInfo(), tdFieldsDescriptor.get()},
      {&TnxMainIndicesDescriptor::ClassInfo(), tdIndicesDescriptor.get()},
      {&TnxInternalIndicesDescriptor::ClassInfo(), tdInternalIndicesDescriptor.get()},
      {&TnxBaseBlobDescriptor::ClassInfo(), tdBlobDescriptor.get()},
      {&TnxBaseRecordDescriptor::ClassInfo(), tdRecordDescriptor.get()},
      {&TnxBaseAutoIncDescriptor::ClassInfo(), tdAutoIncDescriptor.get()},
  };
  for (const auto& [cls, child] : children)
    if (aType.InheritsFrom(*cls)) {
      aDescriptor = child;
      return true;
    }
  return TnxLocalizedDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

void TnxBaseTableDescriptor::AddConstraintName(TnxDictionaryItem* aItem, std::u16string_view aName) {
  if (!tdConstraints) tdConstraints = std::make_unique<std::vector<std::pair<std::u16string, TnxDictionaryItem*>>>();
  auto& list = *tdConstraints;
  auto at = std::lower_bound(list.begin(), list.end(), aName, [](const auto& entry, std::u16string_view name) {
    return platform::AsciiCompareText(entry.first, name) < 0;
  });
  if (at != list.end() && IsName(at->first, aName))
    throw EnxBaseTableDescriptorException(nxeNameNotUnique, u"Constraint name already in use: \"%s\"", {aName});
  list.insert(at, {std::u16string(aName), aItem});
}

void TnxBaseTableDescriptor::RemoveConstraintName(TnxDictionaryItem*, std::u16string_view aName) {
  if (!tdConstraints) return;
  std::erase_if(*tdConstraints, [&](const auto& entry) { return IsName(entry.first, aName); });
  if (tdConstraints->empty()) tdConstraints.reset();
}

TnxDictionaryItem* TnxBaseTableDescriptor::GetConstraintByName(std::u16string_view aName) const {
  if (tdConstraints)
    for (const auto& [name, item] : *tdConstraints)
      if (IsName(name, aName)) return item;
  return nullptr;
}

void TnxBaseTableDescriptor::GetConstraints(platform::TStringList& aStrings) const {
  aStrings.BeginUpdate();
  aStrings.Clear();
  if (tdConstraints)
    for (const auto& entry : *tdConstraints) aStrings.Add(entry.first);
  aStrings.EndUpdate();
}

bool TnxBaseTableDescriptor::IsFieldDescValid(const TnxFieldDescriptor& aFieldDesc) const {
  const TnxDictionaryItem* owner = GetConstraintByName(aFieldDesc.ConstraintName());
  return aFieldDesc.ConstraintName().empty() || !owner || owner == &aFieldDesc;
}

bool TnxBaseTableDescriptor::IsIndexDescValid(const TnxIndexDescriptor& aIndexDesc) const {
  const TnxDictionaryItem* owner = GetConstraintByName(aIndexDesc.ConstraintName());
  return aIndexDesc.ConstraintName().empty() || !owner || owner == &aIndexDesc;
}

bool TnxBaseTableDescriptor::HasAnyRefNrField() const {
  int32_t field = -1;
  return tdFieldsDescriptor->HasRefNrField(field) || tdTablesDescriptor->HasAnyRefNrField();
}

bool TnxBaseTableDescriptor::HasCachingSupport(TnxTableCachingState aState) const {
  if (tdCachingState != tcsNone && (aState == tcsNone || aState == tdCachingState)) return true;
  return tdTablesDescriptor->HasCachingSupport(aState);
}

uint32_t TnxBaseTableDescriptor::tdGetKeyLen(int32_t aInx) const {
  if (!tdIndicesDescriptor || aInx < 0 || aInx >= tdIndicesDescriptor->IndexCount())
    throw EnxBaseTableDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {aInx});
  return tdIndicesDescriptor->IndexDescriptor(aInx)->KeyDescriptor()->KeyLen();
}

uint32_t TnxBaseTableDescriptor::tdGetBookmarkSize(int32_t aInx) const {
  if (!tdIndicesDescriptor) return nxBookmarkOverhead;
  return tdGetKeyLen(aInx) + nxBookmarkOverhead;
}

uint32_t TnxBaseTableDescriptor::GetMaxKeyLen() const {
  if (CacheActive()) return tdMaxKeyLen;
  uint32_t result = 0;
  if (tdIndicesDescriptor)
    for (int32_t i = 0; i < tdIndicesDescriptor->IndexCount(); ++i) result = std::max(result, tdGetKeyLen(i));
  return result;
}

void TnxBaseTableDescriptor::ActivateCache() {
  if (CacheActive()) return;
  tdMaxKeyLen = GetMaxKeyLen();
  TnxLocalizedDictionaryItem::ActivateCache();
}

bool TnxBaseTableDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxLocalizedDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseTableDescriptor*>(aItem);
  return other && tdCachingState == other->tdCachingState &&
         nxBothAbsentOrEqual(tdFieldsDescriptor.get(), other->tdFieldsDescriptor.get()) &&
         nxBothAbsentOrEqual(tdRecordDescriptor.get(), other->tdRecordDescriptor.get()) &&
         nxBothAbsentOrEqual(tdBlobDescriptor.get(), other->tdBlobDescriptor.get()) &&
         nxBothAbsentOrEqual(tdAutoIncDescriptor.get(), other->tdAutoIncDescriptor.get()) &&
         nxBothAbsentOrEqual(tdIndicesDescriptor.get(), other->tdIndicesDescriptor.get()) &&
         nxBothAbsentOrEqual(tdInternalIndicesDescriptor.get(),
                                              other->tdInternalIndicesDescriptor.get()) &&
         nxBothAbsentOrEqual(tdCustomDescsDescriptor.get(), other->tdCustomDescsDescriptor.get()) &&
         nxBothAbsentOrEqual(tdTablesDescriptor.get(), other->tdTablesDescriptor.get());
}

void TnxBaseTableDescriptor::CheckValid(bool aForBuild) {
  TnxLocalizedDictionaryItem::CheckValid(aForBuild);
  if (!tdFieldsDescriptor)
    throw EnxBaseTableDescriptorException(nxeInvalidRecordStructure, u"FieldsDescriptor requires a minimum of one field");
  if (!tdRecordDescriptor)
    throw EnxBaseTableDescriptorException(nxeInvalidDescriptor, u"A record descriptor is required");
  tdFieldsDescriptor->CheckValid(aForBuild);
  tdRecordDescriptor->CheckValid(aForBuild);
  if (tdBlobDescriptor) tdBlobDescriptor->CheckValid(aForBuild);
  if (tdIndicesDescriptor) tdIndicesDescriptor->CheckValid(aForBuild);
  if (tdInternalIndicesDescriptor) tdInternalIndicesDescriptor->CheckValid(aForBuild);
  if (tdAutoIncDescriptor) tdAutoIncDescriptor->CheckValid(aForBuild);
  tdCustomDescsDescriptor->CheckValid(aForBuild);
  tdTablesDescriptor->CheckValid(aForBuild);
}

void TnxBaseTableDescriptor::AssignOnlyFields(const TnxBaseTableDescriptor& aSource) {
  CheckReadOnly();
  ClearContents(false, false);
  if (const TnxLocaleDescriptor* locale = aSource.LocaleDescriptor())
    AddLocaleDescriptor(&static_cast<const TnxLocaleDescriptorClass&>(locale->ClassType()))->Assign(locale);
  const TnxFieldsDescriptor& fields = aSource.FieldsDescriptor();
  for (int32_t i = 0; i < fields.FieldCount(); ++i) {
    const TnxFieldDescriptor& source = *fields.FieldDescriptor(i);
    TnxFieldDescriptor* field = tdFieldsDescriptor->AddField(
        source.Name(), source.Desc(), source.FieldType(), source.Units(), source.DecPl(), false,
        &static_cast<const TnxFieldDescriptorClass&>(source.ClassType()));
    if (const TnxLocaleDescriptor* locale = source.LocaleDescriptor())
      field->AddLocaleDescriptor(&static_cast<const TnxLocaleDescriptorClass&>(locale->ClassType()))->Assign(locale);
  }
  const TnxTablesDescriptor& tables = aSource.TablesDescriptor();
  for (int32_t i = 0; i < tables.TableCount(); ++i) {
    const TnxNestedTableDescriptor& source = *tables.TableDescriptor(i);
    tdTablesDescriptor->AddTable(source.Name(), &static_cast<const TnxTableDescriptorClass&>(source.ClassType()))
        ->AssignOnlyFields(source);
  }
  auto* record = static_cast<TnxHeapRecordDescriptor*>(AddRecordDescriptor(&TnxHeapRecordDescriptor::ClassInfo()));
  record->SetRecordEngine(u"Variable");
  record->AddRecordCompressionDescriptor()->SetRecordCompressionEngine(u"Smart");
}

bool TnxBaseTableDescriptor::HasInternalIndex() const noexcept {
  return tdInternalIndicesDescriptor && tdInternalIndicesDescriptor->IndexCount() > 0;
}

bool TnxBaseTableDescriptor::TreeHasInternalIndices() const {
  if (HasInternalIndex()) return true;
  for (int32_t i = 0; i < tdTablesDescriptor->TableCount(); ++i)
    if (tdTablesDescriptor->TableDescriptor(i)->TreeHasInternalIndices()) return true;
  return false;
}

std::vector<std::u16string> TnxBaseTableDescriptor::StreamCustomStrings() const {
  std::vector<std::u16string> lines = TnxLocalizedDictionaryItem::StreamCustomStrings();
  nxSetLineValue(lines, kCachingState, nxTableCachingStateIdent(tdCachingState));
  return lines;
}

void TnxBaseTableDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  if (aClientVersion < nxClientVersionIDs) throw EnxBaseTableDescriptorException(nxeIncompatibleVersion);
  TnxLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  const bool internal = HasInternalIndex();
  const int32_t layout = internal && aClientVersion >= kClientVersionInternalIndices ? 2 : 1;
  if (internal && layout == 1) nxDictInfoStripped = true;
  aWriter.WriteInteger(layout);
  aWriter.WriteIdent(u"LocaleDescriptor");
  SaveLocaleToWriter(aWriter, aClientVersion);
  WriteSection(aWriter, u"RecordDescriptor", tdRecordDescriptor.get(), aClientVersion);
  WriteSection(aWriter, u"BlobDescriptor", tdBlobDescriptor.get(), aClientVersion);
  WriteSection(aWriter, u"FieldsDescriptor", tdFieldsDescriptor.get(), aClientVersion);
  WriteSection(aWriter, u"IndicesDescriptor", tdIndicesDescriptor.get(), aClientVersion);
  if (layout == 2)
    WriteSection(aWriter, u"InternalIndicesDescriptor", tdInternalIndicesDescriptor.get(), aClientVersion);
  WriteSection(aWriter, u"AutoIncDescriptor", tdAutoIncDescriptor.get(), aClientVersion);
  WriteSection(aWriter, u"CustomDescsDescriptor", tdCustomDescsDescriptor.get(), aClientVersion);
  WriteSection(aWriter, u"TablesDescriptor", tdTablesDescriptor.get(), aClientVersion);
}

void TnxBaseTableDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxLocalizedDictionaryItem::LoadFromReader(aReader);
  const int32_t layout = aReader.ReadInteger();
  if (layout < 1 || layout > 2) throw EnxBaseTableDescriptorException(nxeIncompatibleStream);
  ExpectIdent<EnxBaseTableDescriptorException>(aReader, u"LocaleDescriptor");
  RemoveLocaleDescriptor();
  LoadLocaleFromReader(aReader);

  RemoveRecordDescriptor();
  if (const auto* cls =
          ReadSectionClass<TnxRecordDescriptorClass>(aReader, u"RecordDescriptor", TnxBaseRecordDescriptor::ClassInfo()))
    AddRecordDescriptor(cls)->LoadFromReader(aReader);
  RemoveBlobDescriptor();
  if (const auto* cls =
          ReadSectionClass<TnxBlobDescriptorClass>(aReader, u"BlobDescriptor", TnxBaseBlobDescriptor::ClassInfo()))
    AddBlobDescriptor(cls)->LoadFromReader(aReader);
  ReadFixedSection(aReader, u"FieldsDescriptor", *tdFieldsDescriptor);
  RemoveIndicesDescriptor();
  if (const auto* cls = ReadSectionClass<TnxIndicesDescriptorClass>(aReader, u"IndicesDescriptor",
                                                                    TnxMainIndicesDescriptor::ClassInfo()))
    AddIndicesDescriptor(cls)->LoadFromReader(aReader);
  if (layout == 2) {
    RemoveInternalIndicesDescriptor();
    if (const auto* cls = ReadSectionClass<TnxIndicesDescriptorClass>(aReader, u"InternalIndicesDescriptor",
                                                                      TnxInternalIndicesDescriptor::ClassInfo()))
      AddInternalIndicesDescriptor(cls)->LoadFromReader(aReader);
  }
  RemoveAutoIncDescriptor();
  if (const auto* cls = ReadSectionClass<TnxAutoIncDescriptorClass>(aReader, u"AutoIncDescriptor",
                                                                    TnxBaseAutoIncDescriptor::ClassInfo()))
    AddAutoIncDescriptor(cls)->LoadFromReader(aReader);
  ReadFixedSection(aReader, u"CustomDescsDescriptor", *tdCustomDescsDescriptor);
  ReadFixedSection(aReader, u"TablesDescriptor", *tdTablesDescriptor);

  tdCachingState = tcsNone;
  if (HasCustomStrings()) {
    const std::u16string state = CustomStrings().Values(kCachingState);
    for (int s = tcsNone; s <= tcsIsCache; ++s)
      if (IsName(state, kCachingStateIdents[s])) tdCachingState = static_cast<TnxTableCachingState>(s);
  }
}

// ---- caching ----

namespace {

constexpr std::u16string_view kGraveyardLSN = u"$GraveyardLSN";
constexpr std::u16string_view kGraveyardRefNr = u"$GraveyardRefNr";
constexpr std::u16string_view kCachedBlobs = u"$CachedBlobs";
constexpr std::u16string_view kBlobNrCounter = u"$BlobNrCounter";

// What a table gains to become cacheable says so.
void MarkImplicit(TnxDictionaryItem& aItem) { aItem.CustomStrings().SetValues(u"$Implicit", u"$Cacheable"); }

class CacheableInfoHolder {
public:
  CacheableInfoHolder() = default;
  ~CacheableInfoHolder() { nxReleaseCacheableInfo(p); }
  CacheableInfoHolder(const CacheableInfoHolder&) = delete;
  CacheableInfoHolder& operator=(const CacheableInfoHolder&) = delete;
  TnxCacheableInfo* p = nullptr;
};

}  // namespace

bool TnxBaseTableDescriptor::IsCacheable(TnxCacheableInfo*& aCachableInfo, TnxTableCachingState aState,
                                         bool aAcceptCachable) {
  nxReleaseCacheableInfo(aCachableInfo);
  aCachableInfo = nxNewCacheableInfo();
  TnxCacheableInfo& info = *aCachableInfo;
  tdFieldsDescriptor->GetSpecialFieldsInfo(info.ciSFI);
  const TnxIndexDupsSet dups =
      aState == tcsIsCache ? nxIndexDupsBit(idAll) : TnxIndexDupsSet(nxIndexDupsBit(idNone) | nxIndexDupsBit(idNull));
  int32_t modifyLSN = -1, insertLSN = -1, refNr = -1;
  const bool hasModifyLSN = tdFieldsDescriptor->HasModifyLSNField(modifyLSN);
  if (hasModifyLSN && tdIndicesDescriptor) tdIndicesDescriptor->HasIndex({modifyLSN}, info.ciModifyLSNIndex, dups);
  if (tdInternalIndicesDescriptor) {
    info.ciGraveyardLSNIndex = tdInternalIndicesDescriptor->GetIndexFromName(kGraveyardLSN);
    info.ciGraveyardRefNrIndex = tdInternalIndicesDescriptor->GetIndexFromName(kGraveyardRefNr);
    info.ciCachedBlobsIndex = tdInternalIndicesDescriptor->GetIndexFromName(kCachedBlobs);
    info.ciBlobNrCounterIndex = tdInternalIndicesDescriptor->GetIndexFromName(kBlobNrCounter);
  }
  if (!hasModifyLSN || info.ciModifyLSNIndex < 0 || !tdFieldsDescriptor->HasInsertLSNField(insertLSN) ||
      !tdFieldsDescriptor->HasRefNrField(refNr))
    return false;
  if (aState != tcsIsCache &&
      (info.ciGraveyardLSNIndex < 0 || info.ciGraveyardRefNrIndex < 0 || info.ciBlobNrCounterIndex < 0))
    return false;
  switch (aState) {
    case tcsNone:
      return tdCachingState != tcsIsCache;
    case tcsCacheable:
      return tdCachingState == tcsCacheable;
    case tcsIsCache: {
      TnxBlobFields blobs;
      if (info.ciCachedBlobsIndex < 0 && tdFieldsDescriptor->HasBlobFields(blobs)) return false;
      return aAcceptCachable ? tdCachingState == tcsCacheable || tdCachingState == tcsIsCache
                             : tdCachingState == tcsIsCache;
    }
  }
  return false;
}

void TnxBaseTableDescriptor::MakeCacheable(bool aCanChange) {
  if (tdCachingState == tcsIsCache)
    throw EnxBaseTableDescriptorException(nxeCapabilityNotSupported, u"Can't make a InCache table Cachable");
  CacheableInfoHolder info;
  bool cacheable = IsCacheable(info.p, tcsNone, false);
  // Only a key that never holds a null serves as the ModifyLSN index.
  if (cacheable &&
      !dynamic_cast<TnxNoNullCompKeyDescriptor*>(
          tdIndicesDescriptor->IndexDescriptor(info.p->ciModifyLSNIndex)->KeyDescriptor()))
    cacheable = false;
  if (!cacheable && aCanChange) {
    TnxFieldsDescriptor& fields = *tdFieldsDescriptor;
    auto addField = [&](std::u16string_view aName, TnxFieldType aType) {
      TnxFieldDescriptor* field = fields.AddField(aName, u"", aType, 20, 0, false);
      MarkImplicit(*field);
      return field;
    };
    int32_t field = -1;
    if (info.p->ciModifyLSNIndex < 0) {
      if (!fields.HasModifyLSNField(field)) {
        TnxFieldDescriptor* lsn = addField(u"$ModifyLSN", nxtInt64);
        lsn->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::ClassInfo());
        field = lsn->Number();
      }
      TnxIndexDescriptor* index =
          EnsureIndicesDescriptor()->AddIndex(u"$ModifyLSN", 0, idNone, u"", &TnxNoNullCompKeyDescriptor::ClassInfo());
      static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(field);
      MarkImplicit(*index);
    } else {
      fields.HasModifyLSNField(field);
      const int32_t at = info.p->ciModifyLSNIndex;
      TnxIndexDescriptor* old = tdIndicesDescriptor->IndexDescriptor(at);
      if (!dynamic_cast<TnxNoNullCompKeyDescriptor*>(old->KeyDescriptor())) {
        const std::u16string name = old->Name(), desc = old->Desc();
        const int32_t file = old->FileNumber();
        const TnxIndexDups dupsSetting = old->Dups();
        tdIndicesDescriptor->RemoveIndex(at);
        TnxIndexDescriptor* index = tdIndicesDescriptor->InsertIndexAt(at, name, file, dupsSetting, desc,
                                                                       &TnxNoNullCompKeyDescriptor::ClassInfo());
        static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(field);
      }
    }
    if (!fields.HasInsertLSNField(field))
      addField(u"$InsertLSN", nxtInt64)
          ->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::ClassInfo())
          ->SetApplyOnModify(false);
    for (std::u16string_view name : {kGraveyardLSN, kGraveyardRefNr, kBlobNrCounter})
      if (EnsureInternalIndicesDescriptor()->GetIndexFromName(name) < 0)
        MarkImplicit(*tdInternalIndicesDescriptor->AddIndex(name, 0, idNone, u"", &TnxInt64KeyDescriptor::ClassInfo()));
    if (!fields.HasRefNrField(field)) addField(u"$RefNr", nxtRefNr);
  }
  if (!IsCacheable(info.p, tcsNone, false))
    throw EnxBaseTableDescriptorException(nxeCapabilityNotSupported, u"Failed to make table cachable");
  CheckReadOnly();
  tdCachingState = tcsCacheable;
}

void TnxBaseTableDescriptor::MarkInCache(bool aSilent) {
  if (tdCachingState == tcsIsCache) return;
  CheckReadOnly();
  for (int32_t i = tdTablesDescriptor->TableCount() - 1; i >= 0; --i) {
    TnxNestedTableDescriptor* table = tdTablesDescriptor->TableDescriptor(i);
    table->MarkInCache(aSilent);
    if (table->CachingState() != tcsIsCache) tdTablesDescriptor->RemoveTable(i);
  }
  if (tdIndicesDescriptor) tdIndicesDescriptor->PrepareForCache();
  tdFieldsDescriptor->PrepareForCache();
  tdCustomDescsDescriptor->Clear(false);
  auto* record = static_cast<TnxHeapRecordDescriptor*>(AddRecordDescriptor(&TnxHeapRecordDescriptor::ClassInfo()));
  record->SetRecordEngine(u"Variable");
  TnxBaseRecordCompressionDescriptor* compression = record->AddRecordCompressionDescriptor();
  compression->SetRecordCompressionEngine(u"Compressor");
  compression->SetCompressType(11);
  RemoveInternalIndicesDescriptor();
  TnxBlobFields blobs;
  if (tdFieldsDescriptor->HasBlobFields(blobs))
    AddInternalIndicesDescriptor()->AddIndex(kCachedBlobs, 0, idNone, u"", &TnxBlobCacheKeyDescriptor::ClassInfo());
  CacheableInfoHolder info;
  if (IsCacheable(info.p, tcsIsCache, true)) {
    tdCachingState = tcsIsCache;
    return;
  }
  if (!aSilent)
    throw EnxBaseTableDescriptorException(nxeCapabilityNotSupported, u"Only Cachable tables can be marked as InCache");
  tdCachingState = tcsNone;
}

// ---- TnxNestedTableDescriptor ----

TnxNestedTableDescriptor::TnxNestedTableDescriptor(TnxPersistent* aParent, std::u16string_view aName)
    : TnxBaseTableDescriptor(aParent) {
  if (nxCheckIdentifier(aName, nxeInvalidTableName, false, true) != 0)
    throw EnxNestedTableDescriptorException(nxeInvalidTableName);
  ntdName = aName;
}

std::u16string TnxNestedTableDescriptor::btdFullName() const {
  TnxPersistent* parent = nullptr;
  if (!FindParentOfType(TnxBaseTableDescriptor::ClassInfo(), parent)) return ntdName;
  return dynamic_cast<TnxBaseTableDescriptor*>(parent)->btdFullName() + u":" +
         ntdName;
}

bool TnxNestedTableDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTableDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxNestedTableDescriptor*>(aItem);
  return other && IsName(ntdName, other->ntdName);
}

}  // namespace revurov
