#include "dictionary/indices_descriptors.h"

#include <algorithm>

#include "dictionary/file_descriptors.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/text.h"

namespace revurov {

constinit TnxClassRegistry nxIndicesDescriptorClasses;

namespace {

constexpr std::u16string_view kIndexOutOfBounds = u"Index out of bounds: %d";
constexpr std::u16string_view kDuplicatedIndexName = u"Duplicated index name: %s";
constexpr std::u16string_view kInvalidDefaultIndex = u"Invalid default index number: %d";
constexpr uint32_t kClientVersionInternalIndices = 47005;

}  // namespace

TnxBaseIndicesDescriptor::TnxBaseIndicesDescriptor(TnxPersistent* aParent, std::string_view aHeaderSection)
    : TnxDictionaryItem(aParent), bidHeaderSection(aHeaderSection) {}

TnxBaseIndicesDescriptor::~TnxBaseIndicesDescriptor() {
  // Not Clear(false): a read-only dictionary is destroyed too.
  while (!bidIndices.empty()) bidIndices.pop_back();
}

TnxIndexDescriptor* TnxBaseIndicesDescriptor::IndexDescriptor(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= IndexCount())
    throw EnxBaseIndicesDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {aIndex});
  return bidIndices[static_cast<size_t>(aIndex)].get();
}

void TnxBaseIndicesDescriptor::SetIndicesEngine(std::u16string_view aValue) {
  if (aValue == bidIndicesEngine) return;
  CheckReadOnly();
  bidIndicesEngine = aValue;
}

const TnxKeyDescriptorClass& TnxBaseIndicesDescriptor::DefaultKeyClass() const noexcept {
  return TnxCompKeyDescriptor::ClassInfo();
}

const TnxIndexDescriptorClass& TnxBaseIndicesDescriptor::DefaultIndexClass() const noexcept {
  return TnxIndexDescriptor::ClassInfo();
}

void TnxBaseIndicesDescriptor::CheckNewIndex(std::u16string_view aName, int32_t aFileNumber) const {
  if (nxCheckIdentifier(aName, nxeInvalidIndexName, false, true) != 0)
    throw EnxBaseIndicesDescriptorException(nxeInvalidIndexName);
  if (GetIndexFromName(aName) >= 0)
    throw EnxBaseIndicesDescriptorException(nxeIndexAlreadyExists, kDuplicatedIndexName, {aName});
  auto* self = const_cast<TnxBaseIndicesDescriptor*>(this);
  if (auto* files = self->FindRelated<TnxFilesDescriptor>())
    if (aFileNumber < 0 || aFileNumber >= files->FileCount())
      throw EnxBaseIndicesDescriptorException(nxeInvalidDescriptorNumber, u"Invalid file number: %d", {aFileNumber});
}

TnxIndexDescriptor* TnxBaseIndicesDescriptor::AppendIndex(std::u16string_view aName, int32_t aFileNumber,
                                                          TnxIndexDups aDups, std::u16string_view aDesc,
                                                          const TnxKeyDescriptorClass* aKeyClass,
                                                          const TnxIndexDescriptorClass* aIndexClass) {
  if (!aIndexClass) aIndexClass = &DefaultIndexClass();
  if (!aKeyClass) aKeyClass = &DefaultKeyClass();
  std::unique_ptr<TnxIndexDescriptor> index = aIndexClass->Create(this, aName, aFileNumber, aKeyClass);
  index->idDups = aDups;
  index->idDesc = aDesc;
  index->idNumber = IndexCount();
  bidIndices.push_back(std::move(index));
  return bidIndices.back().get();
}

TnxIndexDescriptor* TnxBaseIndicesDescriptor::AddIndex(std::u16string_view aName, int32_t aFileNumber,
                                                       TnxIndexDups aDups, std::u16string_view aDesc,
                                                       const TnxKeyDescriptorClass* aKeyClass,
                                                       const TnxIndexDescriptorClass* aIndexClass) {
  CheckReadOnly();
  CheckNewIndex(aName, aFileNumber);
  TnxIndexDescriptor* index = AppendIndex(aName, aFileNumber, aDups, aDesc, aKeyClass, aIndexClass);
  bidIndexChangeNotification(false, -1, index->idNumber);
  return index;
}

TnxIndexDescriptor* TnxBaseIndicesDescriptor::AddIndex(TnxIndexDescriptor& aIndexDescriptor) {
  CheckReadOnly();
  TnxIndexDescriptor* index =
      AddIndex(aIndexDescriptor.idName, aIndexDescriptor.idFileNumber, aIndexDescriptor.idDups,
               aIndexDescriptor.idDesc, &aIndexDescriptor.idKeyDescriptor->ClassType(), &aIndexDescriptor.ClassType());
  try {
    aIndexDescriptor.SetID(index->ID());
    // On the heap, not in mapped pages of a memory stream (see
    // TnxDataDictionary::Assign).
    TnxBytesStream stream;
    {
      TnxWriter writer(stream);
      aIndexDescriptor.SaveToWriter(writer, nxLibraryVersion);
    }
    stream.SetPosition(0);
    TnxReader reader(stream);
    index->LoadFromReader(reader);
  } catch (...) {
    RemoveIndex(index->idNumber);
    throw;
  }
  return index;
}

TnxIndexDescriptor* TnxBaseIndicesDescriptor::InsertIndexAt(int32_t aInx, std::u16string_view aName,
                                                            int32_t aFileNumber, TnxIndexDups aDups,
                                                            std::u16string_view aDesc,
                                                            const TnxKeyDescriptorClass* aKeyClass,
                                                            const TnxIndexDescriptorClass* aIndexClass) {
  CheckReadOnly();
  if (nxCheckIdentifier(aName, nxeInvalidIndexName, false, true) != 0)
    throw EnxBaseIndicesDescriptorException(nxeInvalidIndexName);
  if (aInx < 0 || aInx > IndexCount())
    throw EnxBaseIndicesDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {aInx});
  // Checked before the listeners hear of the insertion, so that every
  // "before" is followed by its "after".
  CheckNewIndex(aName, aFileNumber);
  bidIndexChangeNotification(true, -1, aInx);
  TnxIndexDescriptor* index = AddIndex(aName, aFileNumber, aDups, aDesc, aKeyClass, aIndexClass);
  if (aInx < index->idNumber) {
    std::rotate(bidIndices.begin() + aInx, bidIndices.end() - 1, bidIndices.end());
    Renumber(aInx);
    bidIndexChangeNotification(false, -1, aInx);
  }
  return index;
}

void TnxBaseIndicesDescriptor::MoveIndex(int32_t aFrom, int32_t aTo) {
  CheckReadOnly();
  for (int32_t inx : {aFrom, aTo})
    if (inx < 0 || inx >= IndexCount())
      throw EnxBaseIndicesDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {inx});
  if (aFrom == aTo) return;
  bidIndexChangeNotification(true, aFrom, aTo);
  auto first = bidIndices.begin();
  if (aFrom < aTo)
    std::rotate(first + aFrom, first + aFrom + 1, first + aTo + 1);
  else
    std::rotate(first + aTo, first + aFrom, first + aFrom + 1);
  Renumber(std::min(aFrom, aTo));
  bidIndexChangeNotification(false, aFrom, aTo);
}

void TnxBaseIndicesDescriptor::RemoveIndex(int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= IndexCount()) return;
  bidIndexChangeNotification(true, aInx, -1);
  std::unique_ptr<TnxIndexDescriptor> removed = std::move(bidIndices[static_cast<size_t>(aInx)]);
  bidIndices.erase(bidIndices.begin() + aInx);
  Renumber(aInx);
  removed.reset();
  bidIndexChangeNotification(false, aInx, -1);
}

void TnxBaseIndicesDescriptor::RemoveIndex(std::u16string_view aName) { RemoveIndex(GetIndexFromName(aName)); }

void TnxBaseIndicesDescriptor::Renumber(int32_t aFrom) noexcept {
  for (int32_t i = aFrom; i < IndexCount(); ++i) bidIndices[static_cast<size_t>(i)]->idNumber = i;
}

int32_t TnxBaseIndicesDescriptor::GetIndexFromName(std::u16string_view aIndexName) const noexcept {
  for (size_t i = 0; i < bidIndices.size(); ++i)
    if (platform::AsciiSameText(bidIndices[i]->idName, aIndexName)) return static_cast<int32_t>(i);
  return -1;
}

TnxIndexDescriptor* TnxBaseIndicesDescriptor::GetDescriptorFromName(std::u16string_view aIndexName) const noexcept {
  const int32_t inx = GetIndexFromName(aIndexName);
  return inx < 0 ? nullptr : bidIndices[static_cast<size_t>(inx)].get();
}

bool TnxBaseIndicesDescriptor::HasIndex(const std::vector<int32_t>& aFields, int32_t& aIndex,
                                        TnxIndexDupsSet aDups) const {
  for (const auto& index : bidIndices) {
    if (!(aDups & nxIndexDupsBit(index->idDups))) continue;
    // A filtered index does not hold every record.
    const auto* key = dynamic_cast<const TnxCompKeyDescriptor*>(index->idKeyDescriptor.get());
    if (!key || key->Filter() || key->KeyFieldCount() != static_cast<int32_t>(aFields.size())) continue;
    bool same = true;
    for (int32_t i = 0; same && i < key->KeyFieldCount(); ++i)
      same = key->ckdGetKeyField(i)->FieldNumber() == aFields[static_cast<size_t>(i)];
    if (same) {
      aIndex = index->idNumber;
      return true;
    }
  }
  aIndex = -1;
  return false;
}

void TnxBaseIndicesDescriptor::bidIndexChangeNotification(bool aBefore, int32_t aOldIndex, int32_t aNewIndex) {
  bidIndexChangeNotifies.Notify(
      [&](TnxDictionaryItem& listener) { listener.IndexChangeNotification(aBefore, aOldIndex, aNewIndex); });
}

void TnxBaseIndicesDescriptor::PrepareForCache() {
  for (auto& index : bidIndices) index->PrepareForCache();
}

void TnxBaseIndicesDescriptor::Clear(bool aNotify) {
  TnxDictionaryItem::Clear(aNotify);
  const int32_t count = IndexCount();
  if (aNotify)
    for (int32_t n = count - 1; n >= 0; --n) bidIndexChangeNotification(true, n, -1);
  while (!bidIndices.empty()) bidIndices.pop_back();
  bidIndicesEngine = nxDefaultIndexEngine;
  if (aNotify)
    for (int32_t n = count - 1; n >= 0; --n) bidIndexChangeNotification(false, n, -1);
}

void TnxBaseIndicesDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (bidIndices.empty())
    throw EnxBaseIndicesDescriptorException(nxeInvalidIndexDescriptors,
                                            u"IndicesDescriptor requires a minimum of one index");
  if (IndexCount() > nxMaxIndexCount) throw EnxBaseIndicesDescriptorException(nxeTooManyIndexes);
  for (int32_t i = 0; i < IndexCount(); ++i) {
    TnxIndexDescriptor& index = *bidIndices[static_cast<size_t>(i)];
    for (int32_t j = 0; j < i; ++j)
      if (platform::AsciiSameText(bidIndices[static_cast<size_t>(j)]->idName, index.idName))
        throw EnxBaseIndicesDescriptorException(nxeNameNotUnique, kDuplicatedIndexName, {index.idName});
    index.idNumber = i;
    index.CheckValid(aForBuild);
  }
}

bool TnxBaseIndicesDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseIndicesDescriptor*>(aItem);
  if (!other || other->IndexCount() != IndexCount() ||
      !platform::AsciiSameText(bidIndicesEngine, other->bidIndicesEngine))
    return false;
  for (size_t i = 0; i < bidIndices.size(); ++i)
    if (!bidIndices[i]->IsEqual(other->bidIndices[i].get())) return false;
  return true;
}

void TnxBaseIndicesDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  // Refused before anything is written.
  if (aClientVersion < nxClientVersionIDs) throw EnxBaseIndicesDescriptorException(nxeIncompatibleVersion);
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteString(bidIndicesEngine);
  aWriter.WriteInteger(IndexCount());
  for (const auto& index : bidIndices) {
    aWriter.WriteString(index->ClassName());
    aWriter.WriteString(index->idKeyDescriptor->ClassName());
    aWriter.WriteString(index->idName);
    aWriter.WriteInteger(index->idFileNumber);
    index->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxBaseIndicesDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxBaseIndicesDescriptorException(nxeIncompatibleStream);
  while (!bidIndices.empty()) bidIndices.pop_back();
  bidIndicesEngine = aReader.ReadString();
  const int32_t count = aReader.ReadInteger();
  if (count < 0) throw EnxBaseIndicesDescriptorException(nxeIncompatibleStream);
  for (int32_t i = 0; i < count; ++i) {
    const std::u16string className = aReader.ReadString();
    const auto* cls = nxFindClassAs<TnxIndexDescriptorClass>(TnxIndexDescriptor::ClassInfo(), className);
    if (!cls) nxRaiseClassNotSupported<EnxBaseIndicesDescriptorException>(u"IndexDescriptor", className);
    const std::u16string keyClassName = aReader.ReadString();
    const auto* keyClass = nxFindClassAs<TnxKeyDescriptorClass>(TnxBaseKeyDescriptor::ClassInfo(), keyClassName);
    if (!keyClass) nxRaiseClassNotSupported<EnxBaseIndicesDescriptorException>(u"KeyDescriptor", keyClassName);
    const std::u16string name = aReader.ReadString();
    const int32_t fileNumber = aReader.ReadInteger();
    bidIndices.push_back(cls->Create(this, name, fileNumber, keyClass));
    bidIndices.back()->idNumber = i;
    bidIndices.back()->LoadFromReader(aReader);
  }
}

// ---- TnxMainIndicesDescriptor ----

TnxMainIndicesDescriptor::TnxMainIndicesDescriptor(TnxPersistent* aParent, std::string_view aHeaderSection)
    : TnxBaseIndicesDescriptor(aParent, aHeaderSection) {}

void TnxMainIndicesDescriptor::SetDefaultIndex(int32_t aValue) {
  CheckReadOnly();
  if (IndexCount() == 0)
    aValue = -1;
  else if (aValue < 0)
    aValue = 0;
  else if (aValue > IndexCount() - 1)
    throw EnxMainIndicesDescriptorException(nxeInvalidDescriptorNumber, kInvalidDefaultIndex, {aValue});
  midDefaultIndex = aValue;
}

void TnxMainIndicesDescriptor::bidIndexChangeNotification(bool aBefore, int32_t aOldIndex, int32_t aNewIndex) {
  TnxBaseIndicesDescriptor::bidIndexChangeNotification(aBefore, aOldIndex, aNewIndex);
  if (aBefore) return;
  int32_t& d = midDefaultIndex;
  if (aOldIndex == d)
    d = aNewIndex;
  else if (aOldIndex >= 0 && aOldIndex < d && (aNewIndex < 0 || aNewIndex >= d))
    --d;
  else if ((aOldIndex < 0 || aOldIndex > d) && aNewIndex >= 0 && aNewIndex <= d)
    ++d;
  if (IndexCount() > 0 && d < 0) d = 0;
}

void TnxMainIndicesDescriptor::Clear(bool aNotify) {
  TnxBaseIndicesDescriptor::Clear(aNotify);
  SetDefaultIndex(-1);
}

void TnxMainIndicesDescriptor::CheckValid(bool aForBuild) {
  TnxBaseIndicesDescriptor::CheckValid(aForBuild);
  if (midDefaultIndex < 0) midDefaultIndex = 0;
  if (midDefaultIndex > IndexCount() - 1)
    throw EnxMainIndicesDescriptorException(nxeInvalidDescriptorNumber, kInvalidDefaultIndex, {midDefaultIndex});
}

bool TnxMainIndicesDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = dynamic_cast<const TnxMainIndicesDescriptor*>(aItem);
  return other && TnxBaseIndicesDescriptor::IsEqual(aItem) && midDefaultIndex == other->midDefaultIndex;
}

void TnxMainIndicesDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  if (aClientVersion < nxClientVersionIDs) throw EnxMainIndicesDescriptorException(nxeIncompatibleVersion);
  TnxBaseIndicesDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(midDefaultIndex);
}

void TnxMainIndicesDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseIndicesDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxMainIndicesDescriptorException(nxeIncompatibleStream);
  SetDefaultIndex(aReader.ReadInteger());
}

// ---- TnxInternalIndicesDescriptor ----

void TnxInternalIndicesDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  if (aClientVersion < kClientVersionInternalIndices)
    throw EnxInternalIndicesDescriptorException(nxeIncompatibleVersion);
  TnxBaseIndicesDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}

void TnxInternalIndicesDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseIndicesDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxInternalIndicesDescriptorException(nxeIncompatibleStream);
}

}  // namespace revurov
