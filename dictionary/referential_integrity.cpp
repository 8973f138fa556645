#include "dictionary/referential_integrity.h"

#include "dictionary/data_dictionary.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/format.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {

constinit TnxClassRegistry nxReferenceDescriptorClasses;
constinit TnxClassRegistry nxTargetCursorDescriptorClasses;
constinit TnxClassRegistry nxSourceDescriptorClasses;
constinit TnxClassRegistry nxActionDescriptorClasses;

namespace {

constexpr char16_t kPathSeparator = u':';

// The path rules of the engines' names: a table name (an identifier, or
// one inside "<" ">"), then ":"-parts that are ".", ".." or identifiers.
// 0 or 10039 (10024 for an empty path).
uint32_t CheckRelativeParts(std::u16string_view aParts) {
  for (;;) {
    const size_t at = aParts.find(kPathSeparator);
    const std::u16string_view part = aParts.substr(0, at);
    if (part != u"." && part != u"..") {
      const uint32_t result = nxCheckIdentifier(part, nxeInvalidTableName, false, true);
      if (result != 0) return result;
    }
    if (at == std::u16string_view::npos) return 0;
    aParts.remove_prefix(at + 1);
  }
}

uint32_t CheckTablePath(std::u16string_view aPath) {
  if (aPath.empty()) return nxeTableDoesNotExist;
  const size_t at = aPath.find(kPathSeparator);
  std::u16string_view table = aPath.substr(0, at);
  if (table.size() >= 3 && table.front() == u'<' && table.back() == u'>') table = table.substr(1, table.size() - 2);
  const uint32_t result = nxCheckIdentifier(table, nxeInvalidTableName, false, false);
  if (result != 0 || at == std::u16string_view::npos) return result;
  return CheckRelativeParts(aPath.substr(at + 1));
}

std::u16string TargetNameProblem(std::u16string_view aName) {
  return aName.empty() ? std::u16string(u"must be set") : platform::Format(u"Invalid [%s]", {aName});
}

// Builds an item of a family class read from a stream; 15499 when the
// family does not know the name.
template <class Record, class E>
const Record& ReadClass(TnxReader& aReader, const TnxRegisterableClass& aFamily, std::u16string_view aKindWord) {
  const std::u16string name = aReader.ReadString();
  const auto* cls = nxFindClassAs<Record>(aFamily, name);
  if (!cls) nxRaiseClassNotSupported<E>(aKindWord, name);
  return *cls;
}

template <class T>
void EraseAt(std::vector<std::unique_ptr<T>>& aList, int32_t aIndex) {
  if (aIndex >= 0 && aIndex < static_cast<int32_t>(aList.size())) aList.erase(aList.begin() + aIndex);
}

template <class T>
void EraseItem(std::vector<std::unique_ptr<T>>& aList, const T* aItem) {
  for (size_t i = 0; i < aList.size(); ++i)
    if (aList[i].get() == aItem) {
      aList.erase(aList.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
}

template <class T>
T* ItemAt(const std::vector<std::unique_ptr<T>>& aList, int32_t aIndex) {
  if (aIndex < 0 || aIndex >= static_cast<int32_t>(aList.size()))
    throw EnxDictionaryItemException(nxeInvalidDescriptorNumber);
  return aList[static_cast<size_t>(aIndex)].get();
}

template <class T>
bool PairwiseEqual(const std::vector<std::unique_ptr<T>>& a, const std::vector<std::unique_ptr<T>>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!a[i]->IsEqual(b[i].get())) return false;
  return true;
}

// Items are freed from the last to the first.
template <class T>
void ClearBackwards(std::vector<std::unique_ptr<T>>& aList) noexcept {
  while (!aList.empty()) aList.pop_back();
}

// Old readers know neither SkipOnNull nor passwords.
int32_t FlagLayoutVersion(uint32_t aClientVersion) noexcept { return aClientVersion < nxClientVersionIDs ? 1 : 2; }

}  // namespace

int32_t& TnxDictStorageStream::Depth() noexcept {
  thread_local int32_t depth = 0;
  return depth;
}

// ---- TnxRefIntegrityDescriptor ----

TnxRefIntegrityDescriptor::~TnxRefIntegrityDescriptor() { ClearReferences(); }

void TnxRefIntegrityDescriptor::ClearReferences() noexcept { ClearBackwards(ridReferences); }

TnxReferenceDescriptor* TnxRefIntegrityDescriptor::Reference(int32_t aIndex) const {
  return ItemAt(ridReferences, aIndex);
}

TnxReferenceDescriptor* TnxRefIntegrityDescriptor::AddReference(
    const TnxReferenceDescriptorClass* aReferenceClass, const TnxTargetCursorDescriptorClass* aTargetCursorClass) {
  const auto& cls = aReferenceClass ? *aReferenceClass : TnxReferenceDescriptor::ClassInfo();
  ridReferences.push_back(cls.Create(this, aTargetCursorClass));
  return ridReferences.back().get();
}

void TnxRefIntegrityDescriptor::RemoveReference(TnxReferenceDescriptor* aDescriptor) {
  EraseItem(ridReferences, aDescriptor);
}
void TnxRefIntegrityDescriptor::RemoveReference(int32_t aIndex) { EraseAt(ridReferences, aIndex); }

void TnxRefIntegrityDescriptor::CheckValid(bool aForBuild) {
  TnxBaseCustomDescriptor::CheckValid(aForBuild);
  for (const auto& reference : ridReferences) reference->CheckValid(aForBuild);
}

bool TnxRefIntegrityDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseCustomDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxRefIntegrityDescriptor*>(aItem);
  return other && PairwiseEqual(ridReferences, other->ridReferences);
}

void TnxRefIntegrityDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseCustomDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteListBegin();
  for (const auto& reference : ridReferences) {
    aWriter.WriteString(reference->ClassType().Name);
    aWriter.WriteString(reference->TargetCursor().ClassType().Name);
    reference->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
}

void TnxRefIntegrityDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseCustomDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxRefIntegrityDescriptorException(nxeIncompatibleStream);
  ClearReferences();
  aReader.ReadListBegin();
  while (!aReader.EndOfList()) {
    const auto& referenceClass = ReadClass<TnxReferenceDescriptorClass, EnxRefIntegrityDescriptorException>(
        aReader, TnxReferenceDescriptor::ClassInfo(), u"ReferenceDescriptor");
    const auto& cursorClass = ReadClass<TnxTargetCursorDescriptorClass, EnxRefIntegrityDescriptorException>(
        aReader, TnxBaseTargetCursorDescriptor::ClassInfo(), u"TargetCursorDescriptor");
    AddReference(&referenceClass, &cursorClass)->LoadFromReader(aReader);
  }
  aReader.ReadListEnd();
}

TnxRefIntegrityDescriptor* nxGetRefIntegrityDescriptor(TnxBaseTableDescriptor& aTable) {
  TnxCustomDescsDescriptor& customs = aTable.CustomDescsDescriptor();
  const int32_t at = customs.GetCustomDescriptorFromName(nxRefIntegrityName);
  if (at < 0) return nullptr;
  auto* descriptor = dynamic_cast<TnxRefIntegrityDescriptor*>(customs.CustomDescriptor(at));
  if (!descriptor) throw platform::EInvalidCast(platform::SInvalidCast);
  return descriptor;
}

// ---- TnxReferenceDescriptor ----

TnxReferenceDescriptor::TnxReferenceDescriptor(TnxPersistent* aParent,
                                               const TnxTargetCursorDescriptorClass* aTargetCursorClass)
    : TnxDictionaryItem(aParent) {
  const auto& cls = aTargetCursorClass ? *aTargetCursorClass : TnxTableTargetCursorDescriptor::ClassInfo();
  rdTargetCursor = cls.Create(this);
}

TnxReferenceDescriptor::~TnxReferenceDescriptor() {
  ClearBackwards(rdSources);
  ClearBackwards(rdActions);
}

TnxBaseSourceDescriptor* TnxReferenceDescriptor::Source(int32_t aIndex) const { return ItemAt(rdSources, aIndex); }

TnxBaseSourceDescriptor* TnxReferenceDescriptor::AddSource(const TnxSourceDescriptorClass* aClass) {
  const auto& cls = aClass ? *aClass : TnxFieldSourceDescriptor::ClassInfo();
  rdSources.push_back(cls.Create(this));
  return rdSources.back().get();
}
void TnxReferenceDescriptor::RemoveSource(TnxBaseSourceDescriptor* aDescriptor) {
  EraseItem(rdSources, aDescriptor);
}
void TnxReferenceDescriptor::RemoveSource(int32_t aIndex) { EraseAt(rdSources, aIndex); }

TnxBaseActionDescriptor* TnxReferenceDescriptor::Action(int32_t aIndex) const { return ItemAt(rdActions, aIndex); }

TnxBaseActionDescriptor* TnxReferenceDescriptor::AddAction(const TnxActionDescriptorClass* aClass) {
  const auto& cls = aClass ? *aClass : TnxBlockDeleteActionDescriptor::ClassInfo();
  rdActions.push_back(cls.Create(this));
  return rdActions.back().get();
}
void TnxReferenceDescriptor::RemoveAction(TnxBaseActionDescriptor* aDescriptor) {
  EraseItem(rdActions, aDescriptor);
}
void TnxReferenceDescriptor::RemoveAction(int32_t aIndex) { EraseAt(rdActions, aIndex); }

void TnxReferenceDescriptor::RaiseIncomplete(std::u16string_view aWhat) const {
  std::u16string message = u"Referential Integrity Descriptor - ";
  message += aWhat;
  TnxPersistent* dictionary = nullptr;
  if (FindParentOfType(TnxDataDictionary::ClassInfo(), dictionary))
    message = u"TableName: " + static_cast<TnxDataDictionary*>(dictionary)->BaseName() + u" - " + message;
  throw EnxReferenceDescriptorException(std::u16string_view(message));
}

void TnxReferenceDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  rdTargetCursor->CheckValid(aForBuild);
  if (aForBuild && rdSources.empty()) RaiseIncomplete(u"No Referencing Fields");
  for (const auto& source : rdSources) source->CheckValid(aForBuild);
  if (aForBuild && rdTargetIndex.empty()) RaiseIncomplete(u"Target Index Missing");
  if (aForBuild && rdActions.empty()) RaiseIncomplete(u"No Actions Selected");
  for (const auto& action : rdActions) action->CheckValid(aForBuild);
}

bool TnxReferenceDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxReferenceDescriptor*>(aItem);
  return other && rdTargetCursor->IsEqual(other->rdTargetCursor.get()) &&
         platform::AsciiSameText(rdTargetIndex, other->rdTargetIndex) && PairwiseEqual(rdSources, other->rdSources) &&
         PairwiseEqual(rdActions, other->rdActions);
}

bool TnxReferenceDescriptor::References(const TnxDictionaryItem* aItem) const {
  if (TnxDictionaryItem::References(aItem)) return true;
  const auto* index = dynamic_cast<const TnxIndexDescriptor*>(aItem);
  if (!index || !platform::AsciiSameText(index->Name(), rdTargetIndex)) return false;
  TnxPersistent* table = nullptr;
  return index->FindParentOfType(TnxBaseTableDescriptor::ClassInfo(), table) &&
         rdTargetCursor->References(static_cast<TnxBaseTableDescriptor*>(table));
}

void TnxReferenceDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  rdTargetCursor->SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteString(rdTargetIndex);
  aWriter.WriteListBegin();
  for (const auto& source : rdSources) {
    aWriter.WriteString(source->ClassType().Name);
    source->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
  aWriter.WriteListBegin();
  for (const auto& action : rdActions) {
    aWriter.WriteString(action->ClassType().Name);
    action->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteListEnd();
}

void TnxReferenceDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxReferenceDescriptorException(nxeIncompatibleStream);
  rdTargetCursor->LoadFromReader(aReader);
  rdTargetIndex = aReader.ReadString();
  ClearBackwards(rdSources);
  ClearBackwards(rdActions);
  aReader.ReadListBegin();
  while (!aReader.EndOfList())
    AddSource(&ReadClass<TnxSourceDescriptorClass, EnxReferenceDescriptorException>(
                   aReader, TnxBaseSourceDescriptor::ClassInfo(), u"SourceDescriptor"))
        ->LoadFromReader(aReader);
  aReader.ReadListEnd();
  aReader.ReadListBegin();
  while (!aReader.EndOfList())
    AddAction(&ReadClass<TnxActionDescriptorClass, EnxReferenceDescriptorException>(
                   aReader, TnxBaseActionDescriptor::ClassInfo(), u"ActionDescriptor"))
        ->LoadFromReader(aReader);
  aReader.ReadListEnd();
}

// ---- target cursors ----

bool TnxBaseTargetCursorDescriptor::References(const TnxDictionaryItem* aItem) const {
  if (TnxDictionaryItem::References(aItem)) return true;
  const auto* table = dynamic_cast<const TnxBaseTableDescriptor*>(aItem);
  if (!table) return false;
  std::u16string name;
  try {
    name = ReferencedTableName();
  } catch (const EnxBaseException&) {
    return false;  // a target that leads nowhere references nothing
  }
  return !name.empty() && platform::AsciiSameText(table->btdFullName(), name);
}

void TnxBaseTargetCursorDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}

void TnxBaseTargetCursorDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxBaseTargetCursorDescriptorException(nxeIncompatibleStream);
}

std::u16string TnxCloneTargetCursorDescriptor::ReferencedTableName() const {
  return static_cast<TnxBaseTableDescriptor*>(GetParentOfType(TnxBaseTableDescriptor::ClassInfo()))->btdFullName();
}

void TnxCloneTargetCursorDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTargetCursorDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}

void TnxCloneTargetCursorDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTargetCursorDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxCloneTargetCursorDescriptorException(nxeIncompatibleStream);
}

void TnxTableTargetCursorDescriptor::SetTableName(std::u16string_view aValue) {
  CheckReadOnly();
  if (const uint32_t result = CheckTablePath(aValue)) throw EnxTableTargetCursorDescriptorException(result);
  ttcTableName = aValue;
}

void TnxTableTargetCursorDescriptor::SetPassword(std::u16string_view aValue) {
  CheckReadOnly();
  ttcPassword = aValue;
}

void TnxTableTargetCursorDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTargetCursorDescriptor::CheckValid(aForBuild);
  if (const uint32_t result = CheckTablePath(ttcTableName))
    throw EnxTableTargetCursorDescriptorException(
        result, u"Referential Integrity Target Table Name " + TargetNameProblem(ttcTableName));
}

bool TnxTableTargetCursorDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTargetCursorDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxTableTargetCursorDescriptor*>(aItem);
  return other && platform::AsciiSameText(ttcTableName, other->ttcTableName) && ttcPassword == other->ttcPassword;
}

void TnxTableTargetCursorDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  const int32_t version = FlagLayoutVersion(aClientVersion);
  if (version == 1 && !ttcPassword.empty()) throw EnxTableTargetCursorDescriptorException(nxeIncompatibleVersion);
  TnxBaseTargetCursorDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(version);
  aWriter.WriteString(ttcTableName);
  if (version == 2)
    aWriter.WriteWideString_(TnxDictStorageStream::Active() || TnxDictCopyScope::Active() ? std::u16string_view(ttcPassword)
                                                                                      : std::u16string_view());
}

void TnxTableTargetCursorDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTargetCursorDescriptor::LoadFromReader(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxTableTargetCursorDescriptorException(nxeIncompatibleStream);
  ttcTableName = aReader.ReadString();
  ttcPassword = version == 2 ? aReader.ReadWideString_() : std::u16string();
}

void TnxRelativeTargetCursorDescriptor::SetTableName(std::u16string_view aValue) {
  CheckReadOnly();
  if (CheckRelativeParts(aValue) != 0) throw EnxRelativeTargetCursorDescriptorException(nxeInvalidTableName);
  rtcTableName = aValue;
}

TnxBaseTableDescriptor* TnxRelativeTargetCursorDescriptor::ResolveTable() const {
  if (rtcTableName.empty()) return nullptr;
  const TnxRegisterableClass& from =
      rtcTableName.front() == u'.' ? TnxBaseTableDescriptor::ClassInfo() : TnxDataDictionary::ClassInfo();
  return static_cast<TnxBaseTableDescriptor*>(GetParentOfType(from))->GetChild(rtcTableName);
}

std::u16string TnxRelativeTargetCursorDescriptor::ReferencedTableName() const {
  const TnxBaseTableDescriptor* table = ResolveTable();
  return table ? table->btdFullName() : std::u16string();
}

void TnxRelativeTargetCursorDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTargetCursorDescriptor::CheckValid(aForBuild);
  if (rtcTableName.empty() || CheckRelativeParts(rtcTableName) != 0)
    throw EnxRelativeTargetCursorDescriptorException(
        nxeInvalidTableName, u"Referential Integrity Target Table " + TargetNameProblem(rtcTableName));
  ResolveTable();
}

bool TnxRelativeTargetCursorDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTargetCursorDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxRelativeTargetCursorDescriptor*>(aItem);
  return other && platform::AsciiSameText(rtcTableName, other->rtcTableName);
}

void TnxRelativeTargetCursorDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTargetCursorDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteString(rtcTableName);
}

void TnxRelativeTargetCursorDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTargetCursorDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxRelativeTargetCursorDescriptorException(nxeIncompatibleStream);
  rtcTableName = aReader.ReadString();
}

// ---- sources ----

void TnxBaseSourceDescriptor::SetSkipOnNull(bool aValue) {
  CheckReadOnly();
  bsdSkipOnNull = aValue;
}

bool TnxBaseSourceDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseSourceDescriptor*>(aItem);
  return other && bsdSkipOnNull == other->bsdSkipOnNull;
}

void TnxBaseSourceDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  const int32_t version = FlagLayoutVersion(aClientVersion);
  if (version == 1 && bsdSkipOnNull) throw EnxBaseSourceDescriptorException(nxeIncompatibleVersion);
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(version);
  if (version == 2) aWriter.WriteBoolean(bsdSkipOnNull);
}

void TnxBaseSourceDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxBaseSourceDescriptorException(nxeIncompatibleStream);
  bsdSkipOnNull = version == 2 && aReader.ReadBoolean();
}

TnxFieldSourceDescriptor::TnxFieldSourceDescriptor(TnxPersistent* aParent) : TnxBaseSourceDescriptor(aParent) {
  if (auto* fields = FindRelated<TnxFieldsDescriptor>()) {
    fields->AddFieldChangeListener(this);
    fsdListeningTo = fields;
  }
}

TnxFieldSourceDescriptor::~TnxFieldSourceDescriptor() {
  if (fsdListeningTo) fsdListeningTo->RemoveFieldChangeListener(this);
}

TnxFieldDescriptor* TnxFieldSourceDescriptor::Field() {
  auto* fields = static_cast<TnxFieldsDescriptor*>(GetRelatedDescriptorOfType(TnxFieldsDescriptor::ClassInfo()));
  if (fsdFieldNumber < 0 || fsdFieldNumber >= fields->FieldCount()) return nullptr;
  return fields->FieldDescriptor(fsdFieldNumber);
}

void TnxFieldSourceDescriptor::FieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField) {
  if (fsdFieldNumber < 0) return;
  if (aBefore) {
    if (aOldField == fsdFieldNumber && aNewField < 0) {
      auto* fields = FindRelated<TnxFieldsDescriptor>();
      const TnxFieldDescriptor* field =
          fields && fsdFieldNumber < fields->FieldCount() ? fields->FieldDescriptor(fsdFieldNumber) : nullptr;
      throw EnxFieldSourceDescriptorException(nxeObjectInUse,
                                              u"Cannot remove field %s because it is still referenced by an index",
                                              {field ? field->Name() : platform::Format(u"%d", {fsdFieldNumber})});
    }
    return;
  }
  fsdFieldNumber = nxRenumberReference(fsdFieldNumber, aOldField, aNewField);
}

void TnxFieldSourceDescriptor::CheckValid(bool aForBuild) {
  TnxBaseSourceDescriptor::CheckValid(aForBuild);
  if (auto* fields = FindRelated<TnxFieldsDescriptor>())
    if (fsdFieldNumber < 0 || fsdFieldNumber >= fields->FieldCount())
      throw EnxFieldSourceDescriptorException(nxeInvalidDescriptor, u"Invalid field number: %d", {fsdFieldNumber});
}

bool TnxFieldSourceDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseSourceDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxFieldSourceDescriptor*>(aItem);
  return other && fsdFieldNumber == other->fsdFieldNumber;
}

void TnxFieldSourceDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseSourceDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(fsdFieldNumber);
}

void TnxFieldSourceDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseSourceDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxFieldSourceDescriptorException(nxeIncompatibleStream);
  fsdFieldNumber = aReader.ReadInteger();
}

// ---- actions ----

void TnxBaseActionDescriptor::SetSkipOnNull(bool aValue) {
  CheckReadOnly();
  badSkipOnNull = aValue;
}

bool TnxBaseActionDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseActionDescriptor*>(aItem);
  return other && badSkipOnNull == other->badSkipOnNull;
}

void TnxBaseActionDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  const int32_t version = FlagLayoutVersion(aClientVersion);
  if (version == 1 && badSkipOnNull) throw EnxBaseActionDescriptorException(nxeIncompatibleVersion);
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(version);
  if (version == 2) aWriter.WriteBoolean(badSkipOnNull);
}

void TnxBaseActionDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxBaseActionDescriptorException(nxeIncompatibleStream);
  badSkipOnNull = version == 2 && aReader.ReadBoolean();
}

void TnxBaseActionDescriptor::SaveActionPart(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseActionDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}

template <class E>
void TnxBaseActionDescriptor::LoadActionPart(TnxReader& aReader) {
  TnxBaseActionDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw E(nxeIncompatibleStream);
}

template void TnxBaseActionDescriptor::LoadActionPart<EnxCascadeDeleteActionDescriptorException>(TnxReader&);
template void TnxBaseActionDescriptor::LoadActionPart<EnxClearDeleteActionDescriptorException>(TnxReader&);
template void TnxBaseActionDescriptor::LoadActionPart<EnxSetDefaultDeleteActionDescriptorException>(TnxReader&);
template void TnxBaseActionDescriptor::LoadActionPart<EnxBlockDeleteActionDescriptorException>(TnxReader&);
template void TnxBaseActionDescriptor::LoadActionPart<EnxCascadeModifyActionDescriptorException>(TnxReader&);
template void TnxBaseActionDescriptor::LoadActionPart<EnxClearModifyActionDescriptorException>(TnxReader&);
template void TnxBaseActionDescriptor::LoadActionPart<EnxSetDefaultModifyActionDescriptorException>(TnxReader&);
template void TnxBaseActionDescriptor::LoadActionPart<EnxBlockModifyActionDescriptorException>(TnxReader&);
template void TnxBaseActionDescriptor::LoadActionPart<EnxTargetRequiredActionDescriptorException>(TnxReader&);

}  // namespace revurov
