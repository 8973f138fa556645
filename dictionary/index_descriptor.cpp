#include "dictionary/index_descriptor.h"

#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/text.h"

namespace revurov {

constinit TnxClassRegistry nxIndexDescriptorClasses;

namespace {

constexpr uint32_t kClientVersionDupsNull = 20400;

void CheckIndexName(std::u16string_view aName) {
  if (nxCheckIdentifier(aName, nxeInvalidIndexName, false, true) != 0)
    throw EnxIndexDescriptorException(nxeInvalidIndexName);
}

}  // namespace

TnxIndexDescriptor::TnxIndexDescriptor(TnxPersistent* aParent, std::u16string_view aName, int32_t aFileNumber,
                                       const TnxKeyDescriptorClass* aKeyClass)
    : TnxDictionaryItem(aParent), idName(aName), idFileNumber(aFileNumber) {
  CheckIndexName(aName);
  if (!aKeyClass) aKeyClass = &TnxCompKeyDescriptor::ClassInfo();
  if (!aKeyClass->Create) throw EnxIndexDescriptorException(nxeUnsupportedDictionaryDescriptor);
  idKeyDescriptor = aKeyClass->Create(this);
  // Last: a constructor that fails after it would leave a listener behind.
  RegisterFileChangeNotification();
}

TnxIndexDescriptor::~TnxIndexDescriptor() {
  UnregisterFileChangeNotification();
  idKeyDescriptor.reset();
}

std::unique_ptr<TnxIndexDescriptor> TnxIndexDescriptor::CreateStandalone(int32_t aNumber, std::u16string_view aName,
                                                                         int32_t aFileNumber,
                                                                         const TnxKeyDescriptorClass* aKeyClass,
                                                                         const TnxIndexDescriptorClass* aClass) {
  if (!aClass) aClass = &ClassInfo();
  std::unique_ptr<TnxIndexDescriptor> index = aClass->Create(nullptr, aName, aFileNumber, aKeyClass);
  index->idNumber = aNumber;
  return index;
}

TnxFileDescriptor* TnxIndexDescriptor::IndexFile() {
  auto* files = FindRelated<TnxFilesDescriptor>();
  if (!files || idFileNumber < 0 || idFileNumber >= files->FileCount()) return nullptr;
  return files->FileDescriptor(idFileNumber);
}

void TnxIndexDescriptor::SetDesc(std::u16string_view aValue) {
  if (aValue == idDesc) return;
  CheckReadOnly();
  idDesc = aValue;
}

void TnxIndexDescriptor::SetIndexEngine(std::u16string_view aValue) {
  if (aValue == idIndexEngine) return;
  CheckReadOnly();
  idIndexEngine = aValue;
}

void TnxIndexDescriptor::SetDups(TnxIndexDups aValue) {
  if (aValue == idDups) return;
  if (aValue > idAll) throw EnxIndexDescriptorException(nxeInvalidDescriptor);
  CheckReadOnly();
  idDups = aValue;
}

void TnxIndexDescriptor::PrepareForCache() {
  if (!platform::AsciiSameText(idName, nxSequentialAccessIndexName)) {
    idDups = idAll;
    idIndexEngine = u"CacheKeylessBStarTree";
    return;
  }
  idDups = idNone;
  idIndexEngine = nxDefaultIndexEngine;
  int32_t refNr = -1;
  if (auto* fields = FindRelated<TnxFieldsDescriptor>()) fields->HasRefNrField(refNr);
  auto key = std::make_unique<TnxNoNullCompKeyDescriptor>(this);
  key->Add(refNr);
  idKeyDescriptor = std::move(key);
}

void TnxIndexDescriptor::FileChangeNotification(bool aBefore, int32_t aOldFile, int32_t aNewFile) {
  if (aBefore) {
    if (aOldFile == idFileNumber && aNewFile < 0)
      throw EnxIndexDescriptorException(nxeObjectInUse,
                                        u"Cannot remove file %d because it is still referenced by an index",
                                        {idFileNumber});
    return;
  }
  idFileNumber = nxRenumberReference(idFileNumber, aOldFile, aNewFile);
}

void TnxIndexDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  CheckIndexName(idName);
  if (auto* files = FindRelated<TnxFilesDescriptor>())
    if (idFileNumber < 0 || idFileNumber >= files->FileCount())
      throw EnxIndexDescriptorException(nxeInvalidDescriptorNumber, u"Invalid file number: %d", {idFileNumber});
  idKeyDescriptor->CheckValid(aForBuild);
}

bool TnxIndexDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxIndexDescriptor*>(aItem);
  return other && idName == other->idName && platform::AsciiSameText(idIndexEngine, other->idIndexEngine) &&
         idDesc == other->idDesc && idFileNumber == other->idFileNumber && idDups == other->idDups &&
         idKeyDescriptor->IsEqual(other->idKeyDescriptor.get());
}

void TnxIndexDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  const int32_t version = idDups == idNull ? 2 : 1;
  if (version == 2 && aClientVersion < kClientVersionDupsNull)
    throw EnxIndexDescriptorException(nxeIncompatibleVersion);
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(version);
  aWriter.WriteString(idIndexEngine);
  aWriter.WriteString(idDesc);
  if (version == 1)
    aWriter.WriteBoolean(idDups == idAll);
  else
    aWriter.WriteInteger(int32_t{idDups});
  idKeyDescriptor->SaveToWriter(aWriter, aClientVersion);
}

void TnxIndexDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxIndexDescriptorException(nxeIncompatibleStream);
  idIndexEngine = aReader.ReadString();
  idDesc = aReader.ReadString();
  if (version == 1) {
    idDups = aReader.ReadBoolean() ? idAll : idNone;
  } else {
    const int32_t dups = aReader.ReadInteger();
    if (dups < idNone || dups > idAll) throw EnxIndexDescriptorException(nxeIncompatibleStream);
    idDups = static_cast<TnxIndexDups>(dups);
  }
  idKeyDescriptor->LoadFromReader(aReader);
}

void TnxIndexDescriptor::SaveStandalone(TnxWriter& aWriter, uint32_t aClientVersion) const {
  aWriter.WriteString(ClassName());
  aWriter.WriteString(idKeyDescriptor->ClassName());
  aWriter.WriteInteger(idNumber);
  aWriter.WriteString(idName);
  aWriter.WriteInteger(idFileNumber);
  SaveToWriter(aWriter, aClientVersion);
}

std::unique_ptr<TnxIndexDescriptor> TnxIndexDescriptor::CreateStandaloneFromReader(TnxReader& aReader) {
  const std::u16string className = aReader.ReadString();
  const auto* cls = nxFindClassAs<TnxIndexDescriptorClass>(ClassInfo(), className);
  if (!cls) nxRaiseClassNotSupported<EnxIndexDescriptorException>(u"IndexDescriptor", className);
  const std::u16string keyClassName = aReader.ReadString();
  const auto* keyClass = nxFindClassAs<TnxKeyDescriptorClass>(TnxBaseKeyDescriptor::ClassInfo(), keyClassName);
  if (!keyClass) nxRaiseClassNotSupported<EnxIndexDescriptorException>(u"KeyDescriptor", keyClassName);
  const int32_t number = aReader.ReadInteger();
  const std::u16string name = aReader.ReadString();
  const int32_t fileNumber = aReader.ReadInteger();
  std::unique_ptr<TnxIndexDescriptor> index = CreateStandalone(number, name, fileNumber, keyClass, cls);
  index->LoadFromReader(aReader);
  return index;
}

}  // namespace revurov
