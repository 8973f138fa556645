#include "dictionary/data_dictionary.h"

#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/wide_strings/utils_convert.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace revurov {

namespace {

constexpr std::u16string_view kFrameIdent = u"RevurOV";
constexpr std::u16string_view kGuid = u"$GUID";
constexpr std::u16string_view kCacheGuid = u"$CacheGUID";
constexpr std::u16string_view kCacheCurrentID = u"$CacheCurrentID";
constexpr std::u16string_view kMissingInformation = u"$MissingInformation";
constexpr std::u16string_view kCachingState = u"$CachingState";
constexpr std::u16string_view kHigherVersionRequired = u"Higher dictionary version required";
constexpr uint32_t kClientVersionRefNr = 47005;
constexpr uint32_t kClientVersionLayout4 = 30900;
constexpr TnxBlockSignature kSignatureOld{'N', 'X', '!', '1'};
constexpr TnxBlockSignature kSignature{'N', 'X', '!', '2'};
// Legacy file kinds.
constexpr int32_t kFileKindBase = 0;
constexpr int32_t kFileKindBlob = 2;
constexpr int32_t kFileKindOther = 1;

[[noreturn]] void Incompatible() { throw EnxDataDictionaryException(nxeIncompatibleStream); }

void ExpectIdent(TnxReader& aReader, std::u16string_view aIdent) {
  if (aReader.NextValue() != vaIdent || aReader.ReadIdent() != aIdent) Incompatible();
}

template <class Record>
const Record* ReadClass(TnxReader& aReader, const TnxRegisterableClass& aFamily, std::u16string_view aKindWord) {
  const std::u16string className = aReader.ReadString();
  const auto* cls = nxFindClassAs<Record>(aFamily, className);
  if (!cls) nxRaiseClassNotSupported<EnxDataDictionaryException>(aKindWord, className);
  return cls;
}

int32_t ReadCount(TnxReader& aReader) {
  const int32_t count = aReader.ReadInteger();
  if (count < 0) Incompatible();
  return count;
}

bool IsFieldForLegacy(TnxFieldType aType) noexcept { return aType != nxtGuid && aType != nxtBCD && aType != nxtFmtBCD; }

bool TreeHas(const TnxBaseTableDescriptor& aTable, bool (*aTest)(const TnxBaseTableDescriptor&)) {
  if (aTest(aTable)) return true;
  const TnxTablesDescriptor& tables = aTable.TablesDescriptor();
  for (int32_t i = 0; i < tables.TableCount(); ++i)
    if (TreeHas(*tables.TableDescriptor(i), aTest)) return true;
  return false;
}

}  // namespace

TnxDataDictionary::TnxDataDictionary() : TnxBaseTableDescriptor(nullptr, TDeferChildren{}) {
  // Made here, once the dictionary answers as the root, so that its items
  // take their IDs from it.
  btdCreateChildren();
  ddFilesDescriptor = std::make_unique<TnxFilesDescriptor>(this);
  Clear(false);
}

TnxDataDictionary::~TnxDataDictionary() {
  ddReadOnly = false;
  btdDestroyContents();
  ddStreamDescriptor.reset();
  ddFilesDescriptor.reset();
}

void TnxDataDictionary::SetHeaderSignature(const TnxBlockSignature& aValue) {
  CheckReadOnly();
  ddHeaderSignature = aValue;
}

void TnxDataDictionary::SetEncryptionEngine(std::u16string_view aValue) {
  CheckReadOnly();
  ddEncryptionEngine = aValue;
}

void TnxDataDictionary::CheckReadOnly() {
  if (ddReadOnly) throw EnxDataDictionaryException(nxeDictionaryReadOnly, u"The data dictionary is read only");
}

uint32_t TnxDataDictionary::UsableBlockSize(TnxBlockSize aBlockSize) { return nxBlockSizeBytes(aBlockSize); }

TnxBaseStreamDescriptor* TnxDataDictionary::AddStreamDescriptor(const TnxStreamDescriptorClass* aStreamClass) {
  CheckReadOnly();
  ddStreamDescriptor.reset();
  if (!aStreamClass) aStreamClass = &TnxBaseStreamDescriptor::ClassInfo();
  ddStreamDescriptor = aStreamClass->Create(this, "Stream");
  return ddStreamDescriptor.get();
}

void TnxDataDictionary::RemoveStreamDescriptor() {
  CheckReadOnly();
  ddStreamDescriptor.reset();
}

void TnxDataDictionary::MakeReadOnly() {
  ddReadOnly = true;
  ActivateCache();
}

void TnxDataDictionary::MakeCache(bool aSilent) {
  const auto isCache = [](const TnxBaseTableDescriptor& t) { return t.CachingState() == tcsIsCache; };
  if (TreeHas(*this, isCache)) return;
  CheckReadOnly();
  ddCacheCurrentID = ddCurrentID;
  MarkInCache(aSilent);
  ddEncryptionEngine.clear();
  if (TreeHas(*this, isCache))
    ddCacheGuid = ddGuid;
  else
    ddCacheCurrentID = 0;
}

int32_t TnxDataDictionary::GetFileFromExt(std::u16string_view aFileExt) const noexcept {
  return ddFilesDescriptor ? ddFilesDescriptor->GetFileFromExt(aFileExt) : -1;
}

void TnxDataDictionary::ClearContents(bool aSkipDefaults, bool aNotify) {
  ddGuid = platform::CreateGUID();
  ddCacheGuid = platform::GUID_NULL;
  ddCacheCurrentID = 0;
  ddUseByteOrderForWideString = !nxDisable30900LocaleFixes();
  ddReadOnly = false;
  ddBaseName.clear();
  TnxBaseTableDescriptor::ClearContents(aSkipDefaults, aNotify);
  DeactivateCache();
  ddFilesDescriptor->Clear(aNotify);
  ddVersion = 3;
  ddStreamDescriptor.reset();
  ddHeaderSignature = kSignature;
  ddEncryptionEngine.clear();
  if (aSkipDefaults) return;
  AddStreamDescriptor();
  AddRecordDescriptor();
  ddFilesDescriptor->AddFile(u"", nxbs4k, u"")->SetDesc(u"Data/DataDict File");
  EnsureIndicesDescriptor()->AddIndex(nxSequentialAccessIndexName, 0, idNone, nxSequentialAccessIndexName,
                                      &TnxRefKeyDescriptor::ClassInfo());
}

void TnxDataDictionary::AssignOnlyFields(const TnxBaseTableDescriptor& aSource) {
  TnxBaseTableDescriptor::AssignOnlyFields(aSource);
  RemoveIndicesDescriptor();
}

void TnxDataDictionary::Assign(const TnxPersistent* aSource) {
  const auto* source = dynamic_cast<const TnxDataDictionary*>(aSource);
  if (!source) {
    TnxBaseTableDescriptor::Assign(aSource);
    return;
  }
  CheckReadOnly();
  const TnxDictCopyScope copy;
  // The copy's bytes stay on the heap: a memory stream maps pages of its
  // own, and unmapping them stops every thread of the process for a TLB
  // flush, which costs more than the whole copy.
  TnxBytesStream stream;
  source->WriteToStream(stream, nxLibraryVersion);
  stream.SetPosition(0);
  Clear(false);
  ReadFromStream(stream, source->ddBaseName);
}

std::unique_ptr<TnxDataDictionary> TnxDataDictionary::Duplicate() const {
  auto copy = std::make_unique<TnxDataDictionary>();
  copy->Assign(this);
  return copy;
}

bool TnxDataDictionary::DoRequiresPack() const { return TnxBaseTableDescriptor::DoRequiresPack() || ddVersion < 2; }

bool TnxDataDictionary::FindRelatedDescriptorOfType(const TnxRegisterableClass& aType, TnxDictionaryItem*& aDescriptor,
                                                    TnxDictionaryItem* aFrom) {
  if (aType.InheritsFrom(TnxFilesDescriptor::ClassInfo())) {
    aDescriptor = ddFilesDescriptor.get();
    return true;
  }
  if (aType.InheritsFrom(TnxBaseStreamDescriptor::ClassInfo())) {
    aDescriptor = ddStreamDescriptor.get();
    return true;
  }
  return TnxBaseTableDescriptor::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

bool TnxDataDictionary::TreeHasCachingState() const {
  return TreeHas(*this, [](const TnxBaseTableDescriptor& t) { return t.CachingState() != tcsNone; });
}

void TnxDataDictionary::CheckValid(bool aForBuild) {
  if (aForBuild) {
    if (ddMissingInformation)
      throw EnxDataDictionaryException(
          nxeUnsupportedDictionaryDescriptor,
          u"This DataDictionary is missing information which was stripped to make it compatible with an older "
          u"client version and can't be used to restructure or create a table.");
    auto setVersion = [this](int32_t aVersion) {
      CheckReadOnly();
      ddVersion = aVersion;
    };
    if (ddVersion == 1) {
      setVersion(2);
      FieldsDescriptor().UpdateLogRecLenAlign();
    }
    if (ddVersion == 2) setVersion(3);
    if (!nxDisable30900LocaleFixes() && ddVersion == 3) {
      setVersion(4);
      ddUseByteOrderForWideString = true;
    }
    if (TreeHasCachingState() || HasAnyRefNrField()) {
      if (ddVersion < 5) setVersion(5);
    } else if (ddVersion == 5) {
      setVersion(4);
    }
    if (nxDisable30900LocaleFixes() && ddVersion == 4) {
      setVersion(3);
      ddUseByteOrderForWideString = false;
    }
    if (ddHeaderSignature == kSignatureOld) {
      CheckReadOnly();
      ddHeaderSignature = kSignature;
    }
  }
  if (!ddStreamDescriptor)
    throw EnxDataDictionaryException(nxeInvalidDescriptor, u"A stream descriptor is required");
  ddStreamDescriptor->CheckValid(aForBuild);
  ddFilesDescriptor->CheckValid(aForBuild);
  TnxBaseTableDescriptor::CheckValid(aForBuild);
}

bool TnxDataDictionary::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTableDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxDataDictionary*>(aItem);
  return other && platform::AsciiSameText(ddEncryptionEngine, other->ddEncryptionEngine) &&
         nxBothAbsentOrEqual(ddStreamDescriptor.get(), other->ddStreamDescriptor.get()) &&
         nxBothAbsentOrEqual(ddFilesDescriptor.get(), other->ddFilesDescriptor.get());
}

std::vector<std::u16string> TnxDataDictionary::StreamCustomStrings() const {
  // The table's own line comes last, as a writer that stores these lines
  // in the item before writing it would have them.
  std::vector<std::u16string> lines = TnxLocalizedDictionaryItem::StreamCustomStrings();
  nxSetLineValue(lines, kMissingInformation, u"");
  nxSetLineValue(lines, kGuid, platform::GUIDToString(ddGuid));
  nxSetLineValue(lines, kCacheGuid,
                 ddCacheGuid == platform::GUID_NULL ? std::u16string() : platform::GUIDToString(ddCacheGuid));
  nxSetLineValue(lines, kCacheCurrentID, ddCacheCurrentID == 0 ? std::u16string() : nxIntToStr(ddCacheCurrentID));
  nxSetLineValue(lines, kMissingInformation, ddMissingInformation || nxDictInfoStripped ? u"True" : u"");
  nxSetLineValue(lines, kCachingState, nxTableCachingStateIdent(CachingState()));
  return lines;
}

void TnxDataDictionary::ReadCustomStrings() {
  ddCacheGuid = platform::GUID_NULL;
  ddCacheCurrentID = 0;
  if (!HasCustomStrings()) return;
  const platform::TStringList& lines = CustomStrings();
  auto guidOf = [](const std::u16string& aText, platform::TGUID& aGuid) {
    if (!platform::TryStringToGUID(aText, aGuid))
      throw EnxDataDictionaryException(nxeIncompatibleStream, u"Invalid GUID: %s", {aText});
  };
  if (const std::u16string text = lines.Values(kGuid); !text.empty()) guidOf(text, ddGuid);
  if (const std::u16string text = lines.Values(kCacheGuid); !text.empty()) guidOf(text, ddCacheGuid);
  ddCacheCurrentID = nxAnsiStrToIntDef(platform::Utf16ToUtf8(lines.Values(kCacheCurrentID)), 0);
  if (!lines.Values(kMissingInformation).empty()) ddMissingInformation = true;
}

// ---- writing ----

void TnxDataDictionary::WriteToStream(platform::TStream& aStream, uint32_t aClientVersion) const {
  TnxWriter writer(aStream);
  WriteToWriter(writer, aClientVersion);
  writer.FlushBuffer();
}

void TnxDataDictionary::WriteToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  // The item header that says so comes before the places that drop it.
  nxDictInfoStripped = aClientVersion < kClientVersionRefNr && (HasAnyRefNrField() || TreeHasInternalIndices());
  int32_t version = ddVersion;
  if (aClientVersion < nxClientVersionIDs)
    version = std::min(version, 2);
  else if (aClientVersion < kClientVersionLayout4)
    version = std::min(version, 3);
  else if (aClientVersion < kClientVersionRefNr)
    version = std::min(version, 4);
  if (version <= 2) {
    // Refused before anything is written.
    bool refused = LocaleDescriptor() != nullptr;
    for (int32_t i = 0; !refused && i < FieldsDescriptor().FieldCount(); ++i)
      refused = !IsFieldForLegacy(FieldsDescriptor().FieldDescriptor(i)->FieldType());
    if (refused) throw EnxDataDictionaryException(nxeIncompatibleStream, kHigherVersionRequired);
  }
  aWriter.WriteIdent(kFrameIdent);
  aWriter.WriteInteger(version);
  aWriter.Write(ddHeaderSignature.data(), 4);
  aWriter.WriteString(ddEncryptionEngine);
  if (version >= 3) {
    if (version >= 4) aWriter.WriteBoolean(ddUseByteOrderForWideString);
    aWriter.WriteIdent(u"StreamDescriptor");
    aWriter.WriteBoolean(ddStreamDescriptor != nullptr);
    if (ddStreamDescriptor) {
      aWriter.WriteString(ddStreamDescriptor->ClassName());
      ddStreamDescriptor->SaveToWriter(aWriter, aClientVersion);
    }
    aWriter.WriteIdent(u"FilesDescriptor");
    aWriter.WriteBoolean(true);
    aWriter.WriteString(ddFilesDescriptor->ClassName());
    ddFilesDescriptor->SaveToWriter(aWriter, aClientVersion);
    SaveToWriter(aWriter, aClientVersion);
    aWriter.WriteIdent(u"CurrentID");
    aWriter.WriteInteger(ddCurrentID);
  } else {
    WriteLegacy(aWriter, aClientVersion, version);
  }
  aWriter.WriteIdent(kFrameIdent);
}

void TnxDataDictionary::WriteLegacy(TnxWriter& aWriter, uint32_t aClientVersion, int32_t aVersion) const {
  aWriter.WriteString(ddStreamDescriptor ? ddStreamDescriptor->StreamEngine() : nxDefaultStorageEngine);
  aWriter.WriteString(AutoIncDescriptor() ? AutoIncDescriptor()->AutoIncEngine() : nxDefaultStorageEngine);
  aWriter.WriteString(IndicesDescriptor() ? IndicesDescriptor()->IndicesEngine() : nxDefaultIndexEngine);
  for (const auto& [ident, item] : {std::pair<std::u16string_view, const TnxDictionaryItem*>{u"RecordDescriptor",
                                                                                             RecordDescriptor()},
                                    {u"BlobDescriptor", BlobDescriptor()}}) {
    aWriter.WriteIdent(ident);
    aWriter.WriteBoolean(item != nullptr);
    if (!item) continue;
    aWriter.WriteString(item->ClassName());
    item->SaveToWriter(aWriter, aClientVersion);
  }

  aWriter.WriteIdent(u"FileDescriptor");
  aWriter.WriteInteger(ddFilesDescriptor->FileCount());
  const int32_t blobFile = BlobDescriptor() ? BlobDescriptor()->FileNumber() : -1;
  for (int32_t i = 0; i < ddFilesDescriptor->FileCount(); ++i) {
    const TnxFileDescriptor& file = *ddFilesDescriptor->FileDescriptor(i);
    aWriter.WriteString(file.ClassName());
    aWriter.WriteString(file.Extension());
    aWriter.WriteInteger(i == 0 ? kFileKindBase : i == blobFile ? kFileKindBlob : kFileKindOther);
    file.SaveToWriter(aWriter, aClientVersion);
  }

  const TnxFieldsDescriptor& fields = FieldsDescriptor();
  aWriter.WriteIdent(u"FieldDescriptor");
  aWriter.WriteInteger(fields.FieldCount());
  for (int32_t i = 0; i < fields.FieldCount(); ++i) {
    const TnxFieldDescriptor& field = *fields.FieldDescriptor(i);
    TnxFieldType type = field.FieldType();
    if (type == nxtRefNr && aClientVersion < kClientVersionRefNr) {
      type = nxtInt64;
      nxDictInfoStripped = true;
    }
    aWriter.WriteString(field.ClassName());
    aWriter.WriteString(field.Name());
    aWriter.WriteString(field.Desc());
    aWriter.WriteString(nxFieldTypeIdent(type));
    aWriter.WriteInteger(field.Units());
    aWriter.WriteInteger(field.DecPl());
    aWriter.WriteBoolean(field.Required());
    field.SaveToWriter(aWriter, aClientVersion);
  }

  aWriter.WriteIdent(u"IndexDescriptor");
  if (const TnxMainIndicesDescriptor* indices = IndicesDescriptor()) {
    aWriter.WriteInteger(indices->IndexCount());
    for (int32_t i = 0; i < indices->IndexCount(); ++i) {
      const TnxIndexDescriptor& index = *indices->IndexDescriptor(i);
      aWriter.WriteString(index.ClassName());
      aWriter.WriteString(index.KeyDescriptor()->ClassName());
      aWriter.WriteString(index.Name());
      aWriter.WriteInteger(index.FileNumber());
      index.SaveToWriter(aWriter, aClientVersion);
    }
    aWriter.WriteInteger(indices->DefaultIndex());
  } else {
    aWriter.WriteInteger(int32_t{0});
    aWriter.WriteInteger(int32_t{-1});
  }
  aWriter.WriteInteger(fields.LogRecLen());
  if (aVersion == 2) aWriter.WriteInteger(fields.LogicalRecordLength());

  const TnxCustomDescsDescriptor& customs = CustomDescsDescriptor();
  aWriter.WriteIdent(u"CustomDescriptor");
  aWriter.WriteInteger(customs.CustomCount());
  for (int32_t i = 0; i < customs.CustomCount(); ++i) {
    const TnxBaseCustomDescriptor& custom = *customs.CustomDescriptor(i);
    aWriter.WriteString(custom.ClassName());
    aWriter.WriteString(custom.Name());
    custom.SaveToWriter(aWriter, aClientVersion);
  }
}

// ---- reading ----

void TnxDataDictionary::ReadFromStream(platform::TStream& aStream, std::u16string_view aBaseName) {
  // A read-only dictionary stays as it is; ClearContents would lift the
  // switch.
  CheckReadOnly();
  try {
    ClearContents(true, false);
    ddBaseName = aBaseName;
    {
      TnxReader reader(aStream);
      ReadFromReader(reader);
      reader.FlushBuffer();
    }
    CheckValid(false);
  } catch (...) {
    ClearContents(false, false);
    throw;
  }
}

void TnxDataDictionary::ReadFromReader(TnxReader& aReader) {
  CheckReadOnly();
  ExpectIdent(aReader, kFrameIdent);
  const int32_t version = aReader.ReadInteger();
  if (version < 1 || version > 5) Incompatible();
  ddVersion = version;
  aReader.Read(ddHeaderSignature.data(), 4);
  ddEncryptionEngine = aReader.ReadString();
  ddStreamDescriptor.reset();
  ddUseByteOrderForWideString = false;
  if (version >= 3) {
    if (version >= 4) ddUseByteOrderForWideString = aReader.ReadBoolean();
    ExpectIdent(aReader, u"StreamDescriptor");
    if (aReader.ReadBoolean())
      AddStreamDescriptor(
          ReadClass<TnxStreamDescriptorClass>(aReader, TnxBaseStreamDescriptor::ClassInfo(), u"StreamDescriptor"))
          ->LoadFromReader(aReader);
    ExpectIdent(aReader, u"FilesDescriptor");
    if (!aReader.ReadBoolean()) Incompatible();
    const auto* files =
        ReadClass<TnxFilesDescriptorClass>(aReader, TnxFilesDescriptor::ClassInfo(), u"FilesDescriptor");
    if (files != &ddFilesDescriptor->ClassType()) Incompatible();
    ddFilesDescriptor->LoadFromReader(aReader);
    LoadFromReader(aReader);
    ExpectIdent(aReader, u"CurrentID");
    ddCurrentID = aReader.ReadInteger();
  } else {
    ReadLegacy(aReader);
  }
  ExpectIdent(aReader, kFrameIdent);
  ReadCustomStrings();
}

void TnxDataDictionary::ReadLegacy(TnxReader& aReader) {
  AddStreamDescriptor()->SetStreamEngine(aReader.ReadString());
  AddAutoIncDescriptor()->SetAutoIncEngine(aReader.ReadString());
  AddIndicesDescriptor()->SetIndicesEngine(aReader.ReadString());

  ExpectIdent(aReader, u"RecordDescriptor");
  if (aReader.ReadBoolean())
    AddRecordDescriptor(
        ReadClass<TnxRecordDescriptorClass>(aReader, TnxBaseRecordDescriptor::ClassInfo(), u"RecordDescriptor"))
        ->LoadFromReader(aReader);
  else
    AddRecordDescriptor();
  ExpectIdent(aReader, u"BlobDescriptor");
  if (aReader.ReadBoolean())
    AddBlobDescriptor(ReadClass<TnxBlobDescriptorClass>(aReader, TnxBaseBlobDescriptor::ClassInfo(), u"BlobDescriptor"))
        ->LoadFromReader(aReader);
  else
    AddBlobDescriptor();

  ExpectIdent(aReader, u"FileDescriptor");
  const int32_t fileCount = ReadCount(aReader);
  for (int32_t i = 0; i < fileCount; ++i) {
    const auto* cls = ReadClass<TnxFileDescriptorClass>(aReader, TnxFileDescriptor::ClassInfo(), u"FileDescriptor");
    std::u16string extension = aReader.ReadString();
    const int32_t kind = aReader.ReadInteger();
    if (kind == kFileKindBase) {
      if (i != 0) Incompatible();
      extension.clear();
    } else if (kind == kFileKindBlob) {
      TnxBaseBlobDescriptor* blob = BlobDescriptor();
      if (blob && blob->FileNumber() != 0 && blob->FileNumber() != i)
        throw EnxDataDictionaryException(nxeInvalidDescriptor, u"A BLOB file has already been defined");
    }
    TnxFileDescriptor* file = ddFilesDescriptor->AddFile(extension, nxbs4k, u"", cls);
    file->LoadFromReader(aReader);
    if (kind == kFileKindBlob && BlobDescriptor()) BlobDescriptor()->SetFileNumber(i);
  }

  TnxFieldsDescriptor& fields = FieldsDescriptor();
  ExpectIdent(aReader, u"FieldDescriptor");
  const int32_t fieldCount = ReadCount(aReader);
  for (int32_t i = 0; i < fieldCount; ++i) {
    std::unique_ptr<TnxFieldDescriptor> header = nxReadFieldHeader(aReader, nullptr);
    fields
        .AddField(header->Name(), header->Desc(), header->FieldType(), header->Units(), header->DecPl(),
                  header->Required(), &static_cast<const TnxFieldDescriptorClass&>(header->ClassType()))
        ->LoadFromReader(aReader);
  }

  ExpectIdent(aReader, u"IndexDescriptor");
  const int32_t indexCount = ReadCount(aReader);
  TnxMainIndicesDescriptor* indices = EnsureIndicesDescriptor();
  for (int32_t i = 0; i < indexCount; ++i) {
    const auto* cls = ReadClass<TnxIndexDescriptorClass>(aReader, TnxIndexDescriptor::ClassInfo(), u"IndexDescriptor");
    const auto* keyClass =
        ReadClass<TnxKeyDescriptorClass>(aReader, TnxBaseKeyDescriptor::ClassInfo(), u"KeyDescriptor");
    const std::u16string name = aReader.ReadString();
    const int32_t fileNumber = aReader.ReadInteger();
    indices->AddIndex(name, fileNumber, idNone, u"", keyClass, cls)->LoadFromReader(aReader);
  }
  const int32_t defaultIndex = aReader.ReadInteger();
  if (indexCount == 0)
    RemoveIndicesDescriptor();
  else
    indices->SetDefaultIndex(defaultIndex);
  // The record lengths follow from the fields; they are read past.
  aReader.ReadInteger();
  if (ddVersion == 2) aReader.ReadInteger();

  ExpectIdent(aReader, u"CustomDescriptor");
  const int32_t customCount = ReadCount(aReader);
  for (int32_t i = 0; i < customCount; ++i) {
    const auto* cls =
        ReadClass<TnxCustomDescriptorClass>(aReader, TnxBaseCustomDescriptor::ClassInfo(), u"CustomDescriptor");
    const std::u16string name = aReader.ReadString();
    CustomDescsDescriptor().AddCustom(name, cls)->LoadFromReader(aReader);
  }
}

}  // namespace revurov
