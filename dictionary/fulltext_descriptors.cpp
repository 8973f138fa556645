#include "dictionary/fulltext_descriptors.h"

#include <utility>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "dictionary/token_index_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/format.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {

constinit TnxClassRegistry nxFulltextIndexDescriptorClasses;
constinit TnxClassRegistry nxTokenExtractorDescriptorClasses;
constinit TnxClassRegistry nxTokenFilterDescriptorClasses;
constinit TnxClassRegistry nxTokenIndexDescriptorClasses;

namespace {

constexpr std::u16string_view kDefaultName = u"Default";
constexpr std::u16string_view kInvalidFieldNumber = u"Invalid field number: %d";

template <class E>
void CheckVersion(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw E(nxeIncompatibleStream);
}

template <class E>
void CheckName(std::u16string_view aName) {
  if (nxCheckIdentifier(aName, nxeInvalidName, false, true) != 0) throw E(nxeInvalidName);
}

// The hub operations shared by the three hubs: names unique without case,
// Number equal to the position.
template <class T, class E>
T* HubAdd(TnxPersistent* aHub, std::vector<TnxHubEntry<T>>& aList, std::u16string_view aName,
          const TnxFulltextItemClass& aClass) {
  CheckName<E>(aName);
  for (const auto& entry : aList)
    if (platform::AsciiSameText(entry.Name, aName)) throw E(nxeNameNotUnique);
  std::unique_ptr<TnxBaseFulltextIndexDictionaryItem> made = aClass.Create(aHub);
  auto* item = dynamic_cast<T*>(made.get());
  if (!item) throw platform::EInvalidCast(platform::SInvalidCast);
  made.release();
  aList.push_back({std::u16string(aName), std::unique_ptr<T>(item)});
  item->SetNumber(static_cast<int32_t>(aList.size()) - 1);
  return item;
}

template <class T>
void HubRemoveAt(std::vector<TnxHubEntry<T>>& aList, int32_t aIndex) {
  if (aIndex < 0 || aIndex >= static_cast<int32_t>(aList.size())) return;
  aList[static_cast<size_t>(aIndex)].Item->BeforeRemoval();
  aList.erase(aList.begin() + aIndex);
  for (size_t i = static_cast<size_t>(aIndex); i < aList.size(); ++i) aList[i].Item->SetNumber(static_cast<int32_t>(i));
}

template <class T>
int32_t HubIndexOf(const std::vector<TnxHubEntry<T>>& aList, const TnxDictionaryItem* aItem) {
  for (size_t i = 0; i < aList.size(); ++i)
    if (aList[i].Item.get() == aItem) return static_cast<int32_t>(i);
  return -1;
}

template <class T>
int32_t HubIndexOf(const std::vector<TnxHubEntry<T>>& aList, std::u16string_view aName) {
  for (size_t i = 0; i < aList.size(); ++i)
    if (platform::AsciiSameText(aList[i].Name, aName)) return static_cast<int32_t>(i);
  return -1;
}

template <class T>
void HubClear(std::vector<TnxHubEntry<T>>& aList) noexcept {
  while (!aList.empty()) {
    aList.back().Item->BeforeRemoval();
    aList.pop_back();
  }
}

template <class T>
const TnxHubEntry<T>& HubEntry(const std::vector<TnxHubEntry<T>>& aList, int32_t aIndex) {
  if (aIndex < 0 || aIndex >= static_cast<int32_t>(aList.size()))
    throw EnxBaseFulltextDictionaryItemException(nxeInvalidDescriptorNumber);
  return aList[static_cast<size_t>(aIndex)];
}

template <class T>
std::u16string HubNameOf(const std::vector<TnxHubEntry<T>>& aList, const TnxDictionaryItem* aItem) {
  const int32_t at = HubIndexOf(aList, aItem);
  return at < 0 ? std::u16string() : aList[static_cast<size_t>(at)].Name;
}

template <class T>
void HubCheckValid(const std::vector<TnxHubEntry<T>>& aList, bool aForBuild) {
  for (const auto& entry : aList) {
    CheckName<EnxBaseFulltextDictionaryItemException>(entry.Name);
    entry.Item->CheckValid(aForBuild);
  }
}

template <class T>
bool HubEqual(const std::vector<TnxHubEntry<T>>& a, const std::vector<TnxHubEntry<T>>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].Name != b[i].Name || !a[i].Item->IsEqual(b[i].Item.get())) return false;
  return true;
}

template <class T>
void HubSave(const std::vector<TnxHubEntry<T>>& aList, TnxWriter& aWriter, uint32_t aClientVersion) {
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteListBegin();
  for (const auto& entry : aList) {
    aWriter.WriteString(entry.Name);
    aWriter.WriteString(entry.Item->ClassType().Name);
    entry.Item->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
}

// Reads the entries through aAdd (name, class); an item's stored Number
// must be the position it was given.
template <class T, class E, class Add>
void HubLoad(std::vector<TnxHubEntry<T>>& aList, TnxReader& aReader, const TnxRegisterableClass& aFamily,
             std::u16string_view aKindWord, Add&& aAdd) {
  CheckVersion<E>(aReader);
  HubClear(aList);
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const std::u16string name = aReader.ReadString();
    const std::u16string className = aReader.ReadString();
    const auto* cls = nxFindClassAs<TnxFulltextItemClass>(aFamily, className);
    if (!cls) nxRaiseClassNotSupported<E>(aKindWord, className);
    T* item = aAdd(name, *cls);
    const int32_t number = item->Number();
    item->LoadFromReader(aReader);
    if (item->Number() != number) throw E(nxeIncompatibleStream);
  }
  aReader.ReadListEnd();
}

TnxFieldsDescriptor* RelatedFields(TnxDictionaryItem& aItem) { return aItem.FindRelated<TnxFieldsDescriptor>(); }

}  // namespace

// ---- TnxFulltextDescriptor ----

TnxFulltextDescriptor::~TnxFulltextDescriptor() { ClearFulltextIndices(); }

void TnxFulltextDescriptor::ClearFulltextIndices() noexcept {
  while (!ftdFulltextIndices.empty()) ftdFulltextIndices.pop_back();
}

TnxFulltextIndexDescriptor* TnxFulltextDescriptor::FulltextIndex(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= FulltextIndexCount()) throw EnxFulltextDescriptorException(nxeInvalidDescriptorNumber);
  return ftdFulltextIndices[static_cast<size_t>(aIndex)].get();
}

TnxFulltextIndexDescriptor* TnxFulltextDescriptor::AddFulltextIndex(std::u16string_view aName,
                                                                    const TnxFulltextIndexDescriptorClass* aClass,
                                                                    int32_t aLocationIndexNumber) {
  if (aName.empty()) aName = kDefaultName;
  for (const auto& index : ftdFulltextIndices)
    if (platform::AsciiSameText(index->Name(), aName)) throw EnxFulltextDescriptorException(nxeNameNotUnique);
  const auto& cls = aClass ? *aClass : TnxFulltextIndexDescriptor::ClassInfo();
  ftdFulltextIndices.push_back(cls.Create(this, aLocationIndexNumber, aName));
  return ftdFulltextIndices.back().get();
}

void TnxFulltextDescriptor::RemoveFulltextIndex(TnxFulltextIndexDescriptor* aDescriptor) {
  for (size_t i = 0; i < ftdFulltextIndices.size(); ++i)
    if (ftdFulltextIndices[i].get() == aDescriptor) return RemoveFulltextIndex(static_cast<int32_t>(i));
}

void TnxFulltextDescriptor::RemoveFulltextIndex(int32_t aIndex) {
  if (aIndex >= 0 && aIndex < FulltextIndexCount()) ftdFulltextIndices.erase(ftdFulltextIndices.begin() + aIndex);
}

void TnxFulltextDescriptor::RemoveFulltextIndex(std::u16string_view aName) {
  for (size_t i = 0; i < ftdFulltextIndices.size(); ++i)
    if (platform::AsciiSameText(ftdFulltextIndices[i]->Name(), aName)) return RemoveFulltextIndex(static_cast<int32_t>(i));
}

TnxBaseBlobDescriptor* TnxFulltextDescriptor::AddBlobDescriptor(const TnxBlobDescriptorClass* aClass) {
  CheckReadOnly();
  ftdBlobDescriptor.reset();
  const auto& cls = aClass ? *aClass : TnxHeapBlobDescriptor::ClassInfo();
  ftdBlobDescriptor = cls.Create(this, nxFulltextBlobSection);
  return ftdBlobDescriptor.get();
}

void TnxFulltextDescriptor::RemoveBlobDescriptor() {
  CheckReadOnly();
  ftdBlobDescriptor.reset();
}

TnxTokenIndicesDescriptor* TnxFulltextDescriptor::AddIndicesDescriptor(const TnxIndicesDescriptorClass* aClass) {
  CheckReadOnly();
  ftdIndicesDescriptor.reset();
  const auto& cls = aClass ? *aClass : TnxTokenIndicesDescriptor::ClassInfo();
  std::unique_ptr<TnxBaseIndicesDescriptor> made = cls.Create(this, nxFulltextIndicesSection);
  auto* indices = dynamic_cast<TnxTokenIndicesDescriptor*>(made.get());
  if (!indices) throw platform::EInvalidCast(platform::SInvalidCast);
  made.release();
  ftdIndicesDescriptor.reset(indices);
  return indices;
}

void TnxFulltextDescriptor::RemoveIndicesDescriptor() {
  CheckReadOnly();
  ftdIndicesDescriptor.reset();
}

TnxTokenIndicesDescriptor* TnxFulltextDescriptor::ForceIndicesDescriptor() {
  return ftdIndicesDescriptor ? ftdIndicesDescriptor.get() : AddIndicesDescriptor();
}

bool TnxFulltextDescriptor::FindRelatedDescriptorOfType(const TnxRegisterableClass& aType,
                                                        TnxDictionaryItem*& aDescriptor, TnxDictionaryItem* aFrom) {
  if (aType.InheritsFrom(TnxTokenIndicesDescriptor::ClassInfo())) {
    aDescriptor = ftdIndicesDescriptor.get();
    return true;
  }
  if (aType.InheritsFrom(TnxBaseBlobDescriptor::ClassInfo())) {
    aDescriptor = ftdBlobDescriptor.get();
    return true;
  }
  return TnxBaseCustomDescriptor::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

void TnxFulltextDescriptor::CheckValid(bool aForBuild) {
  TnxBaseCustomDescriptor::CheckValid(aForBuild);
  for (const auto& index : ftdFulltextIndices) index->CheckValid(aForBuild);
  if (ftdBlobDescriptor) ftdBlobDescriptor->CheckValid(aForBuild);
  if (ftdIndicesDescriptor) ftdIndicesDescriptor->CheckValid(aForBuild);
}

bool TnxFulltextDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseCustomDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxFulltextDescriptor*>(aItem);
  if (!other || FulltextIndexCount() != other->FulltextIndexCount()) return false;
  for (size_t i = 0; i < ftdFulltextIndices.size(); ++i)
    if (!ftdFulltextIndices[i]->IsEqual(other->ftdFulltextIndices[i].get())) return false;
  return nxBothAbsentOrEqual(ftdBlobDescriptor.get(), other->ftdBlobDescriptor.get()) &&
         nxBothAbsentOrEqual(ftdIndicesDescriptor.get(), other->ftdIndicesDescriptor.get());
}

void TnxFulltextDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseCustomDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteListBegin();
  for (const auto& index : ftdFulltextIndices) {
    aWriter.WriteString(index->ClassType().Name);
    aWriter.WriteString(index->Name());
    aWriter.WriteInteger(index->LocationIndexNumber());
    index->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
  aWriter.WriteBoolean(ftdBlobDescriptor != nullptr);
  if (ftdBlobDescriptor) {
    aWriter.WriteString(ftdBlobDescriptor->ClassType().Name);
    ftdBlobDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteBoolean(ftdIndicesDescriptor != nullptr);
  if (ftdIndicesDescriptor) {
    aWriter.WriteString(ftdIndicesDescriptor->ClassType().Name);
    ftdIndicesDescriptor->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxFulltextDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseCustomDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxFulltextDescriptorException>(aReader);
  ClearFulltextIndices();
  ftdBlobDescriptor.reset();
  ftdIndicesDescriptor.reset();
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const std::u16string className = aReader.ReadString();
    const auto* cls =
        nxFindClassAs<TnxFulltextIndexDescriptorClass>(TnxFulltextIndexDescriptor::ClassInfo(), className);
    if (!cls) nxRaiseClassNotSupported<EnxFulltextDescriptorException>(u"FulltextIndexDescriptor", className);
    const std::u16string name = aReader.ReadString();
    const int32_t location = aReader.ReadInteger();
    AddFulltextIndex(name, cls, location)->LoadFromReader(aReader);
  }
  aReader.ReadListEnd();
  if (aReader.ReadBoolean()) {
    const std::u16string className = aReader.ReadString();
    const auto* cls = nxFindClassAs<TnxBlobDescriptorClass>(TnxBaseBlobDescriptor::ClassInfo(), className);
    if (!cls) nxRaiseClassNotSupported<EnxFulltextDescriptorException>(u"BlobDescriptor", className);
    AddBlobDescriptor(cls)->LoadFromReader(aReader);
  }
  if (aReader.ReadBoolean()) {
    const std::u16string className = aReader.ReadString();
    const auto* cls = nxFindClassAs<TnxIndicesDescriptorClass>(TnxBaseIndicesDescriptor::ClassInfo(), className);
    if (!cls) nxRaiseClassNotSupported<EnxFulltextDescriptorException>(u"IndicesDescriptor", className);
    AddIndicesDescriptor(cls)->LoadFromReader(aReader);
  }
}

TnxFulltextDescriptor* nxGetFulltextDescriptor(TnxBaseTableDescriptor& aTable, const TnxCustomDescriptorClass* aClass) {
  TnxCustomDescsDescriptor& customs = aTable.CustomDescsDescriptor();
  const int32_t at = customs.GetCustomDescriptorFromName(nxFulltextName);
  if (at < 0) return nullptr;
  TnxBaseCustomDescriptor* custom = customs.CustomDescriptor(at);
  const auto& cls = aClass ? static_cast<const TnxRegisterableClass&>(*aClass) : TnxFulltextDescriptor::ClassInfo();
  auto* fulltext = dynamic_cast<TnxFulltextDescriptor*>(custom);
  if (!fulltext || !custom->ClassType().InheritsFrom(cls)) throw platform::EInvalidCast(platform::SInvalidCast);
  return fulltext;
}

// ---- TnxBaseFulltextDictionaryItem ----

// The item's own locale travels only in the private stream of a copy.
void TnxBaseFulltextDictionaryItem::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  if (TnxDictCopyScope::Active()) SaveLocaleToWriter(aWriter, aClientVersion);
}

void TnxBaseFulltextDictionaryItem::LoadFromReader(TnxReader& aReader) {
  TnxLocalizedDictionaryItem::LoadFromReader(aReader);
  CheckVersion<EnxBaseFulltextDictionaryItemException>(aReader);
  if (TnxDictCopyScope::Active()) {
    RemoveLocaleDescriptor();
    LoadLocaleFromReader(aReader);
  }
}

// ---- TnxFulltextIndexDescriptor ----

TnxFulltextIndexDescriptor::TnxFulltextIndexDescriptor(TnxPersistent* aParent, int32_t aLocationIndexNumber,
                                                       std::u16string_view aName)
    : TnxBaseFulltextDictionaryItem(aParent), fidName(aName) {
  CheckName<EnxFulltextIndexDescriptorException>(aName);
  if (aLocationIndexNumber < 0) aLocationIndexNumber = FindDefaultLocationIndex();
  CheckLocationIndex(aLocationIndexNumber);
  fidLocationIndexNumber = aLocationIndexNumber;
  fidTokenExtractorHub = std::make_unique<TnxTokenExtractorHubDescriptor>(this);
  fidTokenFilterHub = std::make_unique<TnxTokenFilterHubDescriptor>(this);
  fidTokenIndexHub = std::make_unique<TnxTokenIndexHubDescriptor>(this);
  if (auto* indices = FindRelated<TnxMainIndicesDescriptor>()) {
    indices->AddIndexChangeListener(this);
    fidListeningTo = indices;
  }
}

TnxFulltextIndexDescriptor::~TnxFulltextIndexDescriptor() {
  if (fidListeningTo) fidListeningTo->RemoveIndexChangeListener(this);
  // Token indices take their B*-tree indices along; they go first.
  fidTokenIndexHub.reset();
  fidTokenFilterHub.reset();
  fidTokenExtractorHub.reset();
}

bool TnxFulltextIndexDescriptor::IsValidLocationIndex(int32_t aNumber) {
  if (aNumber < 0) return false;
  auto* indices = FindRelated<TnxMainIndicesDescriptor>();
  if (!indices || aNumber >= indices->IndexCount()) return false;
  const TnxIndexDescriptor* index = indices->IndexDescriptor(aNumber);
  if (index->Dups() == idAll) return false;
  const auto* key = dynamic_cast<const TnxCompKeyDescriptor*>(index->KeyDescriptor());
  if (!key || key->KeyFieldCount() != 1) return false;
  const TnxFieldDescriptor* field = key->ckdGetKeyField(0)->Field();
  return field && (field->FieldType() == nxtWord32 || field->FieldType() == nxtAutoInc);
}

int32_t TnxFulltextIndexDescriptor::FindDefaultLocationIndex() {
  auto* indices = FindRelated<TnxMainIndicesDescriptor>();
  if (!indices) return -1;
  if (IsValidLocationIndex(indices->DefaultIndex())) return indices->DefaultIndex();
  for (int32_t i = 0; i < indices->IndexCount(); ++i)
    if (IsValidLocationIndex(i)) return i;
  return -1;
}

void TnxFulltextIndexDescriptor::CheckLocationIndex(int32_t aNumber) {
  if (!IsValidLocationIndex(aNumber))
    throw EnxFulltextIndexDescriptorException(nxeInvalidDescriptor, u"Invalid location index (%d)", {aNumber});
}

void TnxFulltextIndexDescriptor::SetLocationIndexNumber(int32_t aValue) {
  CheckReadOnly();
  if (aValue < 0) aValue = FindDefaultLocationIndex();
  if (aValue == fidLocationIndexNumber) return;
  CheckLocationIndex(aValue);
  fidLocationIndexNumber = aValue;
}

TnxIndexDescriptor* TnxFulltextIndexDescriptor::LocationIndex() {
  CheckLocationIndex(fidLocationIndexNumber);
  auto* indices = FindRelated<TnxMainIndicesDescriptor>();
  return indices ? indices->IndexDescriptor(fidLocationIndexNumber) : nullptr;
}

void TnxFulltextIndexDescriptor::IndexChangeNotification(bool aBefore, int32_t aOldIndex, int32_t aNewIndex) {
  if (fidLocationIndexNumber < 0) return;
  if (aBefore) {
    if (aOldIndex == fidLocationIndexNumber && aNewIndex < 0) {
      auto* indices = FindRelated<TnxMainIndicesDescriptor>();
      const std::u16string name = indices && fidLocationIndexNumber < indices->IndexCount()
                                      ? indices->IndexDescriptor(fidLocationIndexNumber)->Name()
                                      : platform::Format(u"%d", {fidLocationIndexNumber});
      throw EnxFulltextIndexDescriptorException(
          nxeObjectInUse, u"Cannot remove index %s because it is still referenced by a fulltext index", {name});
    }
    return;
  }
  fidLocationIndexNumber = nxRenumberReference(fidLocationIndexNumber, aOldIndex, aNewIndex);
}

void TnxFulltextIndexDescriptor::CheckValid(bool aForBuild) {
  TnxBaseFulltextDictionaryItem::CheckValid(aForBuild);
  CheckName<EnxFulltextIndexDescriptorException>(fidName);
  CheckLocationIndex(fidLocationIndexNumber);
  fidTokenExtractorHub->CheckValid(aForBuild);
  fidTokenFilterHub->CheckValid(aForBuild);
  fidTokenIndexHub->CheckValid(aForBuild);
}

bool TnxFulltextIndexDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseFulltextDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxFulltextIndexDescriptor*>(aItem);
  return other && fidName == other->fidName && fidLocationIndexNumber == other->fidLocationIndexNumber &&
         fidTokenExtractorHub->IsEqual(other->fidTokenExtractorHub.get()) &&
         fidTokenFilterHub->IsEqual(other->fidTokenFilterHub.get()) &&
         fidTokenIndexHub->IsEqual(other->fidTokenIndexHub.get());
}

void TnxFulltextIndexDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseFulltextDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  fidTokenExtractorHub->SaveToWriter(aWriter, aClientVersion);
  fidTokenFilterHub->SaveToWriter(aWriter, aClientVersion);
  fidTokenIndexHub->SaveToWriter(aWriter, aClientVersion);
}

void TnxFulltextIndexDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseFulltextDictionaryItem::LoadFromReader(aReader);
  CheckVersion<EnxFulltextIndexDescriptorException>(aReader);
  fidTokenExtractorHub->LoadFromReader(aReader);
  fidTokenFilterHub->LoadFromReader(aReader);
  fidTokenIndexHub->LoadFromReader(aReader);
}

// ---- plain layers ----

void TnxBaseFulltextIndexDictionaryItem::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseFulltextDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}
void TnxBaseFulltextIndexDictionaryItem::LoadFromReader(TnxReader& aReader) {
  TnxBaseFulltextDictionaryItem::LoadFromReader(aReader);
  CheckVersion<EnxBaseFulltextIndexDictionaryItemException>(aReader);
}

std::u16string TnxNumberedFulltextIndexDictionaryItem::Name() const {
  const auto* hub = dynamic_cast<const InxFulltextHub*>(DirectParent());
  return hub ? hub->EntryNameOf(this) : std::u16string();
}

void TnxNumberedFulltextIndexDictionaryItem::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseFulltextIndexDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(nfidiNumber);
}
void TnxNumberedFulltextIndexDictionaryItem::LoadFromReader(TnxReader& aReader) {
  TnxBaseFulltextIndexDictionaryItem::LoadFromReader(aReader);
  CheckVersion<EnxNumberedFulltextIndexDictionaryItemException>(aReader);
  nfidiNumber = aReader.ReadInteger();
}

void TnxBaseTokenSourceDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxNumberedFulltextIndexDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}
void TnxBaseTokenSourceDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxNumberedFulltextIndexDictionaryItem::LoadFromReader(aReader);
  CheckVersion<EnxBaseTokenSourceDescriptorException>(aReader);
}

void TnxBaseTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTokenSourceDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}
void TnxBaseTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenSourceDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxBaseTokenFilterDescriptorException>(aReader);
}

// ---- TnxTokenFilterHubDescriptor ----

TnxTokenFilterHubDescriptor::~TnxTokenFilterHubDescriptor() { HubClear(tfhdTokenFilters); }

TnxBaseTokenFilterDescriptor* TnxTokenFilterHubDescriptor::tfhdGetTokenFilter(int32_t aInx) const {
  return HubEntry(tfhdTokenFilters, aInx).Item.get();
}
const std::u16string& TnxTokenFilterHubDescriptor::tfhdGetTokenFilterName(int32_t aInx) const {
  return HubEntry(tfhdTokenFilters, aInx).Name;
}

TnxBaseTokenFilterDescriptor* TnxTokenFilterHubDescriptor::AddTokenFilter(std::u16string_view aName,
                                                                          const TnxFulltextItemClass* aClass) {
  return HubAdd<TnxBaseTokenFilterDescriptor, EnxTokenFilterHubDescriptorException>(
      this, tfhdTokenFilters, aName.empty() ? kDefaultName : aName,
      aClass ? *aClass : TnxWideCharSeparatorTokenFilterDescriptor::ClassInfo());
}

void TnxTokenFilterHubDescriptor::RemoveTokenFilter(const TnxBaseTokenFilterDescriptor* aDescriptor) {
  HubRemoveAt(tfhdTokenFilters, HubIndexOf(tfhdTokenFilters, aDescriptor));
}
void TnxTokenFilterHubDescriptor::RemoveTokenFilter(std::u16string_view aName) {
  HubRemoveAt(tfhdTokenFilters, HubIndexOf(tfhdTokenFilters, aName));
}
void TnxTokenFilterHubDescriptor::RemoveTokenFilter(int32_t aIndex) { HubRemoveAt(tfhdTokenFilters, aIndex); }

void TnxTokenFilterHubDescriptor::Clear(bool aNotify) {
  HubClear(tfhdTokenFilters);
  TnxBaseTokenFilterDescriptor::Clear(aNotify);
}

std::u16string TnxTokenFilterHubDescriptor::EntryNameOf(const TnxDictionaryItem* aItem) const {
  return HubNameOf(tfhdTokenFilters, aItem);
}

void TnxTokenFilterHubDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTokenFilterDescriptor::CheckValid(aForBuild);
  HubCheckValid(tfhdTokenFilters, aForBuild);
}

bool TnxTokenFilterHubDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTokenFilterDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxTokenFilterHubDescriptor*>(aItem);
  return other && HubEqual(tfhdTokenFilters, other->tfhdTokenFilters);
}

void TnxTokenFilterHubDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  HubSave(tfhdTokenFilters, aWriter, aClientVersion);
}

void TnxTokenFilterHubDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenFilterDescriptor::LoadFromReader(aReader);
  HubLoad<TnxBaseTokenFilterDescriptor, EnxTokenFilterHubDescriptorException>(
      tfhdTokenFilters, aReader, TnxBaseTokenFilterDescriptor::ClassInfo(), u"TokenFilterDescriptor",
      [this](const std::u16string& aName, const TnxFulltextItemClass& aClass) {
        return AddTokenFilter(aName, &aClass);
      });
}

// ---- filters ----

void TnxBaseSeparatorTokenFilterDescriptor::SetSeparatorDistance(int32_t aValue) {
  CheckReadOnly();
  bstfsSeparatorDistance = aValue;
}
bool TnxBaseSeparatorTokenFilterDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTokenFilterDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseSeparatorTokenFilterDescriptor*>(aItem);
  return other && bstfsSeparatorDistance == other->bstfsSeparatorDistance;
}
void TnxBaseSeparatorTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(bstfsSeparatorDistance);
}
void TnxBaseSeparatorTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenFilterDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxBaseSeparatorTokenFilterDescriptorException>(aReader);
  bstfsSeparatorDistance = aReader.ReadInteger();
}

void TnxWideCharSeparatorTokenFilterDescriptor::SetSeparatorChar(char16_t aValue) {
  CheckReadOnly();
  wcstfsSeparatorChar = aValue;
}
bool TnxWideCharSeparatorTokenFilterDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseSeparatorTokenFilterDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxWideCharSeparatorTokenFilterDescriptor*>(aItem);
  return other && wcstfsSeparatorChar == other->wcstfsSeparatorChar;
}
void TnxWideCharSeparatorTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseSeparatorTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(int32_t{wcstfsSeparatorChar});
}
void TnxWideCharSeparatorTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseSeparatorTokenFilterDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxWideCharSeparatorTokenFilterDescriptorException>(aReader);
  wcstfsSeparatorChar = static_cast<char16_t>(aReader.ReadInteger());
}

void TnxCategorySeparatorTokenFilterDescriptor::SetSeparatorCategories(const TnxCharacterCategories& aValue) {
  CheckReadOnly();
  cstfsSeparatorCategories = aValue;
}
bool TnxCategorySeparatorTokenFilterDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseSeparatorTokenFilterDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxCategorySeparatorTokenFilterDescriptor*>(aItem);
  return other && cstfsSeparatorCategories.Bits() == other->cstfsSeparatorCategories.Bits();
}
void TnxCategorySeparatorTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseSeparatorTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.Write(cstfsSeparatorCategories.Bits().data(), 7);
}
void TnxCategorySeparatorTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseSeparatorTokenFilterDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxCategorySeparatorTokenFilterDescriptorException>(aReader);
  std::array<uint8_t, 7> bits{};
  aReader.Read(bits.data(), 7);
  TnxCharacterCategories categories;
  for (int c = 0; c < 56; ++c)
    if ((bits[static_cast<size_t>(c >> 3)] >> (c & 7)) & 1) categories.Include(static_cast<TnxCharacterCategory>(c));
  cstfsSeparatorCategories = categories;
}

void TnxBaseLocaleMappingTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}
void TnxBaseLocaleMappingTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenFilterDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxBaseLocaleMappingTokenFilterDescriptorException>(aReader);
}

void TnxCustomLocaleMappingTokenFilterDescriptor::SetFlags(uint32_t aValue) {
  CheckReadOnly();
  clmtfdFlags = aValue;
}
bool TnxCustomLocaleMappingTokenFilterDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseLocaleMappingTokenFilterDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxCustomLocaleMappingTokenFilterDescriptor*>(aItem);
  return other && clmtfdFlags == other->clmtfdFlags;
}
void TnxCustomLocaleMappingTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseLocaleMappingTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(static_cast<int32_t>(clmtfdFlags));
}
void TnxCustomLocaleMappingTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseLocaleMappingTokenFilterDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxCustomLocaleMappingTokenFilterDescriptorException>(aReader);
  clmtfdFlags = static_cast<uint32_t>(aReader.ReadInteger());
}

void TnxBaseFoldStringTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}
void TnxBaseFoldStringTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenFilterDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxBaseFoldStringTokenFilterDescriptorException>(aReader);
}

void TnxCustomFoldStringTokenFilterDescriptor::SetFlags(uint32_t aValue) {
  CheckReadOnly();
  cfstfdFlags = aValue;
}
bool TnxCustomFoldStringTokenFilterDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseFoldStringTokenFilterDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxCustomFoldStringTokenFilterDescriptor*>(aItem);
  return other && cfstfdFlags == other->cfstfdFlags;
}
void TnxCustomFoldStringTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseFoldStringTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(static_cast<int32_t>(cfstfdFlags));
}
void TnxCustomFoldStringTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseFoldStringTokenFilterDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxCustomFoldStringTokenFilterDescriptorException>(aReader);
  cfstfdFlags = static_cast<uint32_t>(aReader.ReadInteger());
}

void TnxStringReplaceTokenFilterDescriptor::CheckItemIndex(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= ItemCount())
    throw EnxStringReplaceTokenFilterDescriptorException(u"Index out of bounds: %d", {aIndex});
}

int32_t TnxStringReplaceTokenFilterDescriptor::AddItem(std::u16string_view aOldPattern,
                                                       std::u16string_view aNewPattern,
                                                       TnxStringReplaceKind aReplaceKind, bool aIgnoreCase) {
  srtfdItems.push_back({std::u16string(aOldPattern), std::u16string(aNewPattern), aReplaceKind, aIgnoreCase});
  return ItemCount() - 1;
}

void TnxStringReplaceTokenFilterDescriptor::RemoveItem(int32_t aIndex) {
  CheckItemIndex(aIndex);
  srtfdItems.erase(srtfdItems.begin() + aIndex);
}

void TnxStringReplaceTokenFilterDescriptor::MoveItem(int32_t aFrom, int32_t aTo) {
  CheckItemIndex(aFrom);
  CheckItemIndex(aTo);
  std::swap(srtfdItems[static_cast<size_t>(aFrom)], srtfdItems[static_cast<size_t>(aTo)]);
}

const TnxStringReplaceTokenFilterItem& TnxStringReplaceTokenFilterDescriptor::Item(int32_t aIndex) const {
  CheckItemIndex(aIndex);
  return srtfdItems[static_cast<size_t>(aIndex)];
}

void TnxStringReplaceTokenFilterDescriptor::SetItem(int32_t aIndex, const TnxStringReplaceTokenFilterItem& aValue) {
  CheckItemIndex(aIndex);
  srtfdItems[static_cast<size_t>(aIndex)] = aValue;
}

bool TnxStringReplaceTokenFilterDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTokenFilterDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxStringReplaceTokenFilterDescriptor*>(aItem);
  return other && srtfdItems == other->srtfdItems;
}

void TnxStringReplaceTokenFilterDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTokenFilterDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(ItemCount());
  aWriter.WriteListBegin();
  for (const auto& item : srtfdItems) {
    aWriter.WriteString(item.srtfiOldPattern);
    aWriter.WriteString(item.srtfiNewPattern);
    aWriter.WriteInteger(int32_t{item.srtfiReplaceKind});
    aWriter.WriteBoolean(item.srtfiIgnoreCase);
  }
  aWriter.WriteListEnd();
}

void TnxStringReplaceTokenFilterDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenFilterDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxStringReplaceTokenFilterDescriptorException>(aReader);
  const int32_t count = aReader.ReadInteger();
  if (count < 0) throw EnxStringReplaceTokenFilterDescriptorException(nxeIncompatibleStream);
  srtfdItems.clear();
  aReader.ReadListBegin();
  // The count is untrusted: items are added as they are read.
  for (int32_t i = 0; i < count; ++i) {
    TnxStringReplaceTokenFilterItem item;
    item.srtfiOldPattern = aReader.ReadString();
    item.srtfiNewPattern = aReader.ReadString();
    const int32_t kind = aReader.ReadInteger();
    if (kind < srkWhole || kind > srkAll) throw EnxStringReplaceTokenFilterDescriptorException(nxeIncompatibleStream);
    item.srtfiReplaceKind = static_cast<TnxStringReplaceKind>(kind);
    item.srtfiIgnoreCase = aReader.ReadBoolean();
    srtfdItems.push_back(std::move(item));
  }
  aReader.ReadListEnd();
}

// ---- token extractors ----

TnxBaseTokenExtractorDescriptor::TnxBaseTokenExtractorDescriptor(TnxPersistent* aParent)
    : TnxBaseTokenSourceDescriptor(aParent), btedTokenFilterHub(std::make_unique<TnxTokenFilterHubDescriptor>(this)) {}

TnxBaseTokenExtractorDescriptor::~TnxBaseTokenExtractorDescriptor() = default;

TnxBaseTokenFilterDescriptor* TnxBaseTokenExtractorDescriptor::AddTokenFilter(std::u16string_view aName,
                                                                              const TnxFulltextItemClass* aClass) {
  CheckReadOnly();
  return btedTokenFilterHub->AddTokenFilter(aName, aClass);
}
void TnxBaseTokenExtractorDescriptor::RemoveTokenFilter(int32_t aIndex) {
  CheckReadOnly();
  btedTokenFilterHub->RemoveTokenFilter(aIndex);
}
void TnxBaseTokenExtractorDescriptor::ClearTokenFilter() {
  CheckReadOnly();
  btedTokenFilterHub->Clear(true);
}

void TnxBaseTokenExtractorDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTokenSourceDescriptor::CheckValid(aForBuild);
  btedTokenFilterHub->CheckValid(aForBuild);
}
bool TnxBaseTokenExtractorDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTokenSourceDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseTokenExtractorDescriptor*>(aItem);
  return other && btedTokenFilterHub->IsEqual(other->btedTokenFilterHub.get());
}
void TnxBaseTokenExtractorDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTokenSourceDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  btedTokenFilterHub->SaveToWriter(aWriter, aClientVersion);
}
void TnxBaseTokenExtractorDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenSourceDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxBaseTokenExtractorDescriptorException>(aReader);
  btedTokenFilterHub->LoadFromReader(aReader);
}

TnxTokenExtractorHubDescriptor::~TnxTokenExtractorHubDescriptor() { HubClear(tehdTokenExtractors); }

TnxBaseTokenExtractorDescriptor* TnxTokenExtractorHubDescriptor::tehdGetTokenExtractor(int32_t aInx) const {
  return HubEntry(tehdTokenExtractors, aInx).Item.get();
}
const std::u16string& TnxTokenExtractorHubDescriptor::tehdGetTokenExtractorName(int32_t aInx) const {
  return HubEntry(tehdTokenExtractors, aInx).Name;
}

TnxBaseTokenExtractorDescriptor* TnxTokenExtractorHubDescriptor::AddTokenExtractor(
    std::u16string_view aName, const TnxFulltextItemClass* aClass) {
  CheckReadOnly();
  return HubAdd<TnxBaseTokenExtractorDescriptor, EnxTokenExtractorHubDescriptorException>(
      this, tehdTokenExtractors, aName, aClass ? *aClass : TnxFieldTokenExtractorDescriptor::ClassInfo());
}

TnxFieldTokenExtractorDescriptor* TnxTokenExtractorHubDescriptor::AddFieldTokenExtractor(
    int32_t aFieldNumber, std::u16string_view aName, const TnxFulltextItemClass* aClass) {
  CheckReadOnly();
  std::u16string name(platform::Trim(aName));
  if (name.empty())
    if (TnxFieldsDescriptor* fields = RelatedFields(*this)) {
      if (aFieldNumber < 0 || aFieldNumber >= fields->FieldCount())
        throw EnxTokenExtractorHubDescriptorException(nxeInvalidDescriptorNumber, kInvalidFieldNumber, {aFieldNumber});
      name = fields->FieldDescriptor(aFieldNumber)->Name();
    }
  TnxBaseTokenExtractorDescriptor* added =
      AddTokenExtractor(name, aClass ? aClass : &TnxFieldTokenExtractorDescriptor::ClassInfo());
  auto* extractor = dynamic_cast<TnxFieldTokenExtractorDescriptor*>(added);
  try {
    if (!extractor) throw platform::EInvalidCast(platform::SInvalidCast);
    extractor->SetFieldNumber(aFieldNumber);
  } catch (...) {
    RemoveTokenExtractor(added);
    throw;
  }
  return extractor;
}

TnxTokenExtractorHubDescriptor* TnxTokenExtractorHubDescriptor::AddTokenExtractorHub(
    std::u16string_view aName, const TnxFulltextItemClass* aClass) {
  TnxBaseTokenExtractorDescriptor* added =
      AddTokenExtractor(aName, aClass ? aClass : &TnxTokenExtractorHubDescriptor::ClassInfo());
  auto* hub = dynamic_cast<TnxTokenExtractorHubDescriptor*>(added);
  if (!hub) {
    RemoveTokenExtractor(added);
    throw platform::EInvalidCast(platform::SInvalidCast);
  }
  return hub;
}

void TnxTokenExtractorHubDescriptor::RemoveTokenExtractor(const TnxBaseTokenExtractorDescriptor* aDescriptor) {
  CheckReadOnly();
  HubRemoveAt(tehdTokenExtractors, HubIndexOf(tehdTokenExtractors, aDescriptor));
}
void TnxTokenExtractorHubDescriptor::RemoveTokenExtractor(std::u16string_view aName) {
  CheckReadOnly();
  HubRemoveAt(tehdTokenExtractors, HubIndexOf(tehdTokenExtractors, aName));
}
void TnxTokenExtractorHubDescriptor::RemoveTokenExtractor(int32_t aIndex) {
  CheckReadOnly();
  HubRemoveAt(tehdTokenExtractors, aIndex);
}

void TnxTokenExtractorHubDescriptor::Clear(bool aNotify) {
  CheckReadOnly();
  HubClear(tehdTokenExtractors);
  TnxBaseTokenExtractorDescriptor::Clear(aNotify);
}

std::u16string TnxTokenExtractorHubDescriptor::EntryNameOf(const TnxDictionaryItem* aItem) const {
  return HubNameOf(tehdTokenExtractors, aItem);
}

void TnxTokenExtractorHubDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTokenExtractorDescriptor::CheckValid(aForBuild);
  HubCheckValid(tehdTokenExtractors, aForBuild);
}

bool TnxTokenExtractorHubDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTokenExtractorDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxTokenExtractorHubDescriptor*>(aItem);
  return other && HubEqual(tehdTokenExtractors, other->tehdTokenExtractors);
}

void TnxTokenExtractorHubDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTokenExtractorDescriptor::SaveToWriter(aWriter, aClientVersion);
  HubSave(tehdTokenExtractors, aWriter, aClientVersion);
}

void TnxTokenExtractorHubDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenExtractorDescriptor::LoadFromReader(aReader);
  HubLoad<TnxBaseTokenExtractorDescriptor, EnxTokenExtractorHubDescriptorException>(
      tehdTokenExtractors, aReader, TnxBaseTokenExtractorDescriptor::ClassInfo(), u"TokenExtractorDescriptor",
      [this](const std::u16string& aName, const TnxFulltextItemClass& aClass) {
        return AddTokenExtractor(aName, &aClass);
      });
}

TnxFieldTokenExtractorDescriptor::TnxFieldTokenExtractorDescriptor(TnxPersistent* aParent)
    : TnxBaseTokenExtractorDescriptor(aParent) {
  if (TnxFieldsDescriptor* fields = RelatedFields(*this)) {
    fields->AddFieldChangeListener(this);
    ftedListeningTo = fields;
  }
}

TnxFieldTokenExtractorDescriptor::~TnxFieldTokenExtractorDescriptor() {
  if (ftedListeningTo) ftedListeningTo->RemoveFieldChangeListener(this);
}

void TnxFieldTokenExtractorDescriptor::SetFieldNumber(int32_t aValue) {
  CheckReadOnly();
  if (aValue == ftedFieldNumber) return;
  if (aValue != -1)
    if (TnxFieldsDescriptor* fields = RelatedFields(*this))
      if (aValue < 0 || aValue >= fields->FieldCount())
        throw EnxFieldTokenExtractorDescriptorException(nxeInvalidDescriptorNumber, kInvalidFieldNumber, {aValue});
  ftedFieldNumber = aValue;
}

TnxFieldDescriptor* TnxFieldTokenExtractorDescriptor::Field() {
  TnxFieldsDescriptor* fields = RelatedFields(*this);
  if (!fields || ftedFieldNumber < 0 || ftedFieldNumber >= fields->FieldCount()) return nullptr;
  return fields->FieldDescriptor(ftedFieldNumber);
}

void TnxFieldTokenExtractorDescriptor::FieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField) {
  if (ftedFieldNumber < 0) return;
  if (aBefore) {
    if (aOldField == ftedFieldNumber && aNewField < 0) {
      const TnxFieldDescriptor* field = Field();
      throw EnxFieldTokenExtractorDescriptorException(
          nxeObjectInUse, u"Cannot remove field %s because it is still referenced by an index",
          {field ? field->Name() : platform::Format(u"%d", {ftedFieldNumber})});
    }
    return;
  }
  ftedFieldNumber = nxRenumberReference(ftedFieldNumber, aOldField, aNewField);
}

void TnxFieldTokenExtractorDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTokenExtractorDescriptor::CheckValid(aForBuild);
  if (TnxFieldsDescriptor* fields = RelatedFields(*this))
    if (ftedFieldNumber < 0 || ftedFieldNumber >= fields->FieldCount())
      throw EnxFieldTokenExtractorDescriptorException(nxeInvalidDescriptorNumber, kInvalidFieldNumber,
                                                      {ftedFieldNumber});
}

bool TnxFieldTokenExtractorDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTokenExtractorDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxFieldTokenExtractorDescriptor*>(aItem);
  return other && ftedFieldNumber == other->ftedFieldNumber;
}

void TnxFieldTokenExtractorDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTokenExtractorDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(ftedFieldNumber);
}

void TnxFieldTokenExtractorDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenExtractorDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxFieldTokenExtractorDescriptorException>(aReader);
  ftedFieldNumber = aReader.ReadInteger();
}

// ---- token indices ----

TnxBaseTokenIndexDescriptor::TnxBaseTokenIndexDescriptor(TnxPersistent* aParent)
    : TnxNumberedFulltextIndexDictionaryItem(aParent),
      btidTokenFilterHub(std::make_unique<TnxTokenFilterHubDescriptor>(this)) {}

TnxBaseTokenIndexDescriptor::~TnxBaseTokenIndexDescriptor() = default;

TnxBaseTokenFilterDescriptor* TnxBaseTokenIndexDescriptor::AddTokenFilter(std::u16string_view aName,
                                                                          const TnxFulltextItemClass* aClass) {
  CheckReadOnly();
  return btidTokenFilterHub->AddTokenFilter(aName, aClass);
}
void TnxBaseTokenIndexDescriptor::RemoveTokenFilter(int32_t aIndex) {
  CheckReadOnly();
  btidTokenFilterHub->RemoveTokenFilter(aIndex);
}
void TnxBaseTokenIndexDescriptor::ClearTokenFilter() {
  CheckReadOnly();
  btidTokenFilterHub->Clear(true);
}

void TnxBaseTokenIndexDescriptor::CheckValid(bool aForBuild) {
  TnxNumberedFulltextIndexDictionaryItem::CheckValid(aForBuild);
  btidTokenFilterHub->CheckValid(aForBuild);
}
bool TnxBaseTokenIndexDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxNumberedFulltextIndexDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseTokenIndexDescriptor*>(aItem);
  return other && btidTokenFilterHub->IsEqual(other->btidTokenFilterHub.get());
}
void TnxBaseTokenIndexDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxNumberedFulltextIndexDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  btidTokenFilterHub->SaveToWriter(aWriter, aClientVersion);
}
void TnxBaseTokenIndexDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxNumberedFulltextIndexDictionaryItem::LoadFromReader(aReader);
  CheckVersion<EnxBaseTokenIndexDescriptorException>(aReader);
  btidTokenFilterHub->LoadFromReader(aReader);
}

TnxTokenIndexHubDescriptor::~TnxTokenIndexHubDescriptor() { HubClear(tihdTokenIndexes); }

TnxBaseTokenIndexDescriptor* TnxTokenIndexHubDescriptor::tihdGetTokenIndex(int32_t aInx) const {
  return HubEntry(tihdTokenIndexes, aInx).Item.get();
}
const std::u16string& TnxTokenIndexHubDescriptor::tihdGetTokenIndexName(int32_t aInx) const {
  return HubEntry(tihdTokenIndexes, aInx).Name;
}

TnxBaseTokenIndexDescriptor* TnxTokenIndexHubDescriptor::AddTokenIndex(std::u16string_view aName,
                                                                       const TnxFulltextItemClass* aClass) {
  return HubAdd<TnxBaseTokenIndexDescriptor, EnxTokenIndexHubDescriptorException>(
      this, tihdTokenIndexes, aName.empty() ? kDefaultName : aName,
      aClass ? *aClass : TnxBitArrayTokenIndexDescriptor::ClassInfo());
}

void TnxTokenIndexHubDescriptor::RemoveTokenIndex(const TnxBaseTokenIndexDescriptor* aDescriptor) {
  HubRemoveAt(tihdTokenIndexes, HubIndexOf(tihdTokenIndexes, aDescriptor));
}
void TnxTokenIndexHubDescriptor::RemoveTokenIndex(std::u16string_view aName) {
  HubRemoveAt(tihdTokenIndexes, HubIndexOf(tihdTokenIndexes, aName));
}
void TnxTokenIndexHubDescriptor::RemoveTokenIndex(int32_t aIndex) { HubRemoveAt(tihdTokenIndexes, aIndex); }

void TnxTokenIndexHubDescriptor::Clear(bool aNotify) {
  HubClear(tihdTokenIndexes);
  TnxBaseTokenIndexDescriptor::Clear(aNotify);
}

std::u16string TnxTokenIndexHubDescriptor::EntryNameOf(const TnxDictionaryItem* aItem) const {
  return HubNameOf(tihdTokenIndexes, aItem);
}

void TnxTokenIndexHubDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTokenIndexDescriptor::CheckValid(aForBuild);
  HubCheckValid(tihdTokenIndexes, aForBuild);
}

bool TnxTokenIndexHubDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTokenIndexDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxTokenIndexHubDescriptor*>(aItem);
  return other && HubEqual(tihdTokenIndexes, other->tihdTokenIndexes);
}

void TnxTokenIndexHubDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTokenIndexDescriptor::SaveToWriter(aWriter, aClientVersion);
  HubSave(tihdTokenIndexes, aWriter, aClientVersion);
}

void TnxTokenIndexHubDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenIndexDescriptor::LoadFromReader(aReader);
  HubLoad<TnxBaseTokenIndexDescriptor, EnxTokenIndexHubDescriptorException>(
      tihdTokenIndexes, aReader, TnxBaseTokenIndexDescriptor::ClassInfo(), u"TokenIndexDescriptor",
      [this](const std::u16string& aName, const TnxFulltextItemClass& aClass) {
        return AddTokenIndex(aName, &aClass);
      });
}

}  // namespace revurov
