#include "dictionary/storage_descriptors.h"

#include "dictionary/file_descriptors.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/wide_strings/utils_convert.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace revurov {

constinit TnxClassRegistry nxRecordDescriptorClasses;
constinit TnxClassRegistry nxRecordCompressionDescriptorClasses;
constinit TnxClassRegistry nxHeapDescriptorClasses;
constinit TnxClassRegistry nxBlockHeapDescriptorClasses;
constinit TnxClassRegistry nxBlobDescriptorClasses;
constinit TnxClassRegistry nxAutoIncDescriptorClasses;
constinit TnxClassRegistry nxStreamDescriptorClasses;

namespace {

constexpr std::u16string_view kInvalidFileNumber = u"Invalid file number: %d";
constexpr std::u16string_view kCompressType = u"CompressType";

// The version of a layout that grew at client version 20000.
int32_t LayoutVersion(uint32_t aClientVersion, int32_t aCurrent) noexcept {
  return aClientVersion < nxClientVersionIDs ? 1 : aCurrent;
}

template <class E>
int32_t ReadVersion(TnxReader& aReader, int32_t aLowest, int32_t aHighest) {
  const int32_t version = aReader.ReadInteger();
  if (version < aLowest || version > aHighest) throw E(nxeIncompatibleStream);
  return version;
}

template <class E, class Record>
const Record* ReadSubClass(TnxReader& aReader, const TnxRegisterableClass& aFamily, std::u16string_view aKindWord) {
  const std::u16string className = aReader.ReadString();
  const auto* cls = nxFindClassAs<Record>(aFamily, className);
  if (!cls) nxRaiseClassNotSupported<E>(aKindWord, className);
  return cls;
}

template <class T>
void WriteOptional(TnxWriter& aWriter, const T* aItem, uint32_t aClientVersion) {
  aWriter.WriteBoolean(aItem != nullptr);
  if (!aItem) return;
  aWriter.WriteString(aItem->ClassName());
  aItem->SaveToWriter(aWriter, aClientVersion);
}

}  // namespace

// ---- TnxFileStorageDescriptor ----

TnxFileStorageDescriptor::TnxFileStorageDescriptor(TnxPersistent* aParent, std::string_view aHeaderSection)
    : TnxDictionaryItem(aParent), fsHeaderSection(aHeaderSection) {
  RegisterFileChangeNotification();
}

TnxFileStorageDescriptor::~TnxFileStorageDescriptor() { UnregisterFileChangeNotification(); }

void TnxFileStorageDescriptor::CheckFileNumber(int32_t aValue) const {
  auto* files = const_cast<TnxFileStorageDescriptor*>(this)->FindRelated<TnxFilesDescriptor>();
  if (files && (aValue < 0 || aValue >= files->FileCount()))
    Raise(nxeInvalidDescriptorNumber, kInvalidFileNumber, {aValue});
}

void TnxFileStorageDescriptor::SetFileNumber(int32_t aValue) {
  CheckReadOnly();
  CheckFileNumber(aValue);
  fsFileNumber = aValue;
}

void TnxFileStorageDescriptor::SetEngine(std::u16string_view aValue) {
  CheckReadOnly();
  fsEngine = aValue;
}

void TnxFileStorageDescriptor::FileChangeNotification(bool aBefore, int32_t aOldFile, int32_t aNewFile) {
  if (aBefore) {
    if (aOldFile == fsFileNumber && aNewFile < 0)
      Raise(nxeObjectInUse, u"Cannot remove file %d because it is still referenced by %s engine",
            {aOldFile, EngineWord()});
    return;
  }
  fsFileNumber = nxRenumberReference(fsFileNumber, aOldFile, aNewFile);
}

bool TnxFileStorageDescriptor::References(const TnxDictionaryItem* aItem) const {
  const auto* file = dynamic_cast<const TnxFileDescriptor*>(aItem);
  return file && file->Number() == fsFileNumber;
}

void TnxFileStorageDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  CheckFileNumber(fsFileNumber);
}

bool TnxFileStorageDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxFileStorageDescriptor*>(aItem);
  return other && fsFileNumber == other->fsFileNumber && platform::AsciiSameText(fsEngine, other->fsEngine);
}

// ---- TnxBaseRecordDescriptor ----

void TnxBaseRecordDescriptor::Raise(uint32_t aCode, std::u16string_view aMsg,
                                    std::initializer_list<platform::TFormatArg> aArgs) const {
  throw EnxBaseRecordDescriptorException(aCode, aMsg, aArgs);
}

void TnxBaseRecordDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  const int32_t version = LayoutVersion(aClientVersion, 2);
  aWriter.WriteInteger(version);
  aWriter.WriteString(Engine());
  if (version >= 2) aWriter.WriteInteger(FileNumber());
}

void TnxBaseRecordDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  const int32_t version = ReadVersion<EnxBaseRecordDescriptorException>(aReader, 1, 2);
  StoreEngine(aReader.ReadString());
  StoreFileNumber(version >= 2 ? aReader.ReadInteger() : 0);
}

// ---- TnxBaseRecordCompressionDescriptor ----

void TnxBaseRecordCompressionDescriptor::SetRecordCompressionEngine(std::u16string_view aValue) {
  CheckReadOnly();
  brcdRecordCompressionEngine = aValue;
}

int32_t TnxBaseRecordCompressionDescriptor::GetCompressType() const {
  if (!HasCustomStrings()) return 0;
  const std::u16string text =
      const_cast<TnxBaseRecordCompressionDescriptor*>(this)->CustomStrings().Values(kCompressType);
  return nxAnsiStrToIntDef(platform::Utf16ToUtf8(text), 0);
}

void TnxBaseRecordCompressionDescriptor::SetCompressType(int32_t aValue) {
  if (aValue == 0) {
    if (!HasCustomStrings() || CustomStrings().IndexOfName(kCompressType) < 0) return;
    CheckReadOnly();
    CustomStrings().Delete(CustomStrings().IndexOfName(kCompressType));
    return;
  }
  CheckReadOnly();
  CustomStrings().SetValues(kCompressType, nxIntToStr(aValue));
}

bool TnxBaseRecordCompressionDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseRecordCompressionDescriptor*>(aItem);
  return other && platform::AsciiSameText(brcdRecordCompressionEngine, other->brcdRecordCompressionEngine);
}

void TnxBaseRecordCompressionDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteString(brcdRecordCompressionEngine);
}

void TnxBaseRecordCompressionDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  ReadVersion<EnxBaseRecordCompressionDescriptorException>(aReader, 1, 1);
  brcdRecordCompressionEngine = aReader.ReadString();
}

// ---- TnxBaseBlockHeapDescriptor ----

void TnxBaseBlockHeapDescriptor::SetBlockHeapEngine(std::u16string_view aValue) {
  CheckReadOnly();
  bbhdBlockHeapEngine = aValue;
}

bool TnxBaseBlockHeapDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseBlockHeapDescriptor*>(aItem);
  return other && platform::AsciiSameText(bbhdBlockHeapEngine, other->bbhdBlockHeapEngine);
}

void TnxBaseBlockHeapDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteString(bbhdBlockHeapEngine);
}

void TnxBaseBlockHeapDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  ReadVersion<EnxBaseBlockHeapDescriptorException>(aReader, 1, 1);
  bbhdBlockHeapEngine = aReader.ReadString();
}

// ---- TnxBaseHeapDescriptor ----

TnxBaseHeapDescriptor::~TnxBaseHeapDescriptor() = default;

void TnxBaseHeapDescriptor::SetHeapEngine(std::u16string_view aValue) {
  CheckReadOnly();
  bhdHeapEngine = aValue;
}

TnxBaseBlockHeapDescriptor* TnxBaseHeapDescriptor::AddBlockHeapDescriptor(const TnxBlockHeapDescriptorClass* aClass) {
  CheckReadOnly();
  bhdBlockHeapDescriptor.reset();
  if (!aClass) aClass = &TnxBaseBlockHeapDescriptor::ClassInfo();
  bhdBlockHeapDescriptor = aClass->Create(this);
  return bhdBlockHeapDescriptor.get();
}

void TnxBaseHeapDescriptor::RemoveBlockHeapDescriptor() {
  CheckReadOnly();
  bhdBlockHeapDescriptor.reset();
}

void TnxBaseHeapDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (!bhdBlockHeapDescriptor) AddBlockHeapDescriptor();
  bhdBlockHeapDescriptor->CheckValid(aForBuild);
}

bool TnxBaseHeapDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseHeapDescriptor*>(aItem);
  return other && platform::AsciiSameText(bhdHeapEngine, other->bhdHeapEngine) &&
         nxBothAbsentOrEqual(bhdBlockHeapDescriptor.get(), other->bhdBlockHeapDescriptor.get());
}

void TnxBaseHeapDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(LayoutVersion(aClientVersion, 2));
  aWriter.WriteString(bhdHeapEngine);
  WriteOptional(aWriter, bhdBlockHeapDescriptor.get(), aClientVersion);
}

void TnxBaseHeapDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  const int32_t version = ReadVersion<EnxBaseHeapDescriptorException>(aReader, 1, 2);
  bhdHeapEngine = aReader.ReadString();
  bhdBlockHeapDescriptor.reset();
  if (aReader.ReadBoolean()) {
    const auto* cls = ReadSubClass<EnxBaseHeapDescriptorException, TnxBlockHeapDescriptorClass>(
        aReader, TnxBaseBlockHeapDescriptor::ClassInfo(), u"BlockHeapDescriptor");
    AddBlockHeapDescriptor(cls)->LoadFromReader(aReader);
  } else if (version == 1) {
    // The first layout always had a block heap; it did not say so.
    AddBlockHeapDescriptor();
  }
}

// ---- TnxHeapRecordDescriptor ----

TnxHeapRecordDescriptor::~TnxHeapRecordDescriptor() = default;

void TnxHeapRecordDescriptor::Raise(uint32_t aCode, std::u16string_view aMsg,
                                    std::initializer_list<platform::TFormatArg> aArgs) const {
  throw EnxHeapRecordDescriptorException(aCode, aMsg, aArgs);
}

TnxBaseHeapDescriptor* TnxHeapRecordDescriptor::AddHeapDescriptor(const TnxHeapDescriptorClass* aClass) {
  CheckReadOnly();
  hrdHeapDescriptor.reset();
  if (!aClass) aClass = &TnxBaseHeapDescriptor::ClassInfo();
  hrdHeapDescriptor = aClass->Create(this);
  return hrdHeapDescriptor.get();
}

void TnxHeapRecordDescriptor::RemoveHeapDescriptor() {
  CheckReadOnly();
  hrdHeapDescriptor.reset();
}

TnxBaseRecordCompressionDescriptor* TnxHeapRecordDescriptor::AddRecordCompressionDescriptor(
    const TnxRecordCompressionDescriptorClass* aClass) {
  CheckReadOnly();
  hrdRecordCompressionDescriptor.reset();
  if (!aClass) aClass = &TnxBaseRecordCompressionDescriptor::ClassInfo();
  hrdRecordCompressionDescriptor = aClass->Create(this);
  return hrdRecordCompressionDescriptor.get();
}

void TnxHeapRecordDescriptor::RemoveRecordCompressionDescriptor() {
  CheckReadOnly();
  hrdRecordCompressionDescriptor.reset();
}

void TnxHeapRecordDescriptor::CheckValid(bool aForBuild) {
  TnxBaseRecordDescriptor::CheckValid(aForBuild);
  if (!hrdHeapDescriptor) AddHeapDescriptor();
  hrdHeapDescriptor->CheckValid(aForBuild);
  if (hrdRecordCompressionDescriptor) hrdRecordCompressionDescriptor->CheckValid(aForBuild);
}

bool TnxHeapRecordDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseRecordDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxHeapRecordDescriptor*>(aItem);
  return other && nxBothAbsentOrEqual(hrdHeapDescriptor.get(), other->hrdHeapDescriptor.get()) &&
         nxBothAbsentOrEqual(hrdRecordCompressionDescriptor.get(),
                                              other->hrdRecordCompressionDescriptor.get());
}

void TnxHeapRecordDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseRecordDescriptor::SaveToWriter(aWriter, aClientVersion);
  const int32_t version = LayoutVersion(aClientVersion, 3);
  aWriter.WriteInteger(version);
  WriteOptional(aWriter, hrdHeapDescriptor.get(), aClientVersion);
  if (version >= 3) WriteOptional(aWriter, hrdRecordCompressionDescriptor.get(), aClientVersion);
}

void TnxHeapRecordDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseRecordDescriptor::LoadFromReader(aReader);
  const int32_t version = ReadVersion<EnxHeapRecordDescriptorException>(aReader, 1, 3);
  hrdHeapDescriptor.reset();
  hrdRecordCompressionDescriptor.reset();
  if (aReader.ReadBoolean()) {
    const auto* cls = ReadSubClass<EnxHeapRecordDescriptorException, TnxHeapDescriptorClass>(
        aReader, TnxBaseHeapDescriptor::ClassInfo(), u"HeapDescriptor");
    AddHeapDescriptor(cls)->LoadFromReader(aReader);
  } else if (version == 1) {
    AddHeapDescriptor();
  }
  if (version >= 3 && aReader.ReadBoolean()) {
    const auto* cls = ReadSubClass<EnxHeapRecordDescriptorException, TnxRecordCompressionDescriptorClass>(
        aReader, TnxBaseRecordCompressionDescriptor::ClassInfo(), u"RecordCompressionDescriptor");
    AddRecordCompressionDescriptor(cls)->LoadFromReader(aReader);
  }
}

// ---- TnxBaseBlobDescriptor ----

void TnxBaseBlobDescriptor::Raise(uint32_t aCode, std::u16string_view aMsg,
                                  std::initializer_list<platform::TFormatArg> aArgs) const {
  throw EnxBaseBlobDescriptorException(aCode, aMsg, aArgs);
}

void TnxBaseBlobDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  const int32_t version = LayoutVersion(aClientVersion, 2);
  aWriter.WriteInteger(version);
  aWriter.WriteString(Engine());
  if (version >= 2) aWriter.WriteInteger(FileNumber());
}

void TnxBaseBlobDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  const int32_t version = ReadVersion<EnxBaseBlobDescriptorException>(aReader, 1, 2);
  StoreEngine(aReader.ReadString());
  StoreFileNumber(version >= 2 ? aReader.ReadInteger() : 0);
}

// ---- TnxHeapBlobDescriptor ----

TnxHeapBlobDescriptor::~TnxHeapBlobDescriptor() = default;

void TnxHeapBlobDescriptor::Raise(uint32_t aCode, std::u16string_view aMsg,
                                  std::initializer_list<platform::TFormatArg> aArgs) const {
  throw EnxHeapBlobDescriptorException(aCode, aMsg, aArgs);
}

TnxBaseHeapDescriptor* TnxHeapBlobDescriptor::AddHeapDescriptor(const TnxHeapDescriptorClass* aClass) {
  CheckReadOnly();
  hbdHeapDescriptor.reset();
  if (!aClass) aClass = &TnxBaseHeapDescriptor::ClassInfo();
  hbdHeapDescriptor = aClass->Create(this);
  return hbdHeapDescriptor.get();
}

void TnxHeapBlobDescriptor::RemoveHeapDescriptor() {
  CheckReadOnly();
  hbdHeapDescriptor.reset();
}

void TnxHeapBlobDescriptor::CheckValid(bool aForBuild) {
  TnxBaseBlobDescriptor::CheckValid(aForBuild);
  if (!hbdHeapDescriptor) AddHeapDescriptor();
  hbdHeapDescriptor->CheckValid(aForBuild);
}

bool TnxHeapBlobDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseBlobDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxHeapBlobDescriptor*>(aItem);
  return other && nxBothAbsentOrEqual(hbdHeapDescriptor.get(), other->hbdHeapDescriptor.get());
}

void TnxHeapBlobDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseBlobDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(LayoutVersion(aClientVersion, 2));
  WriteOptional(aWriter, hbdHeapDescriptor.get(), aClientVersion);
}

void TnxHeapBlobDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseBlobDescriptor::LoadFromReader(aReader);
  const int32_t version = ReadVersion<EnxHeapBlobDescriptorException>(aReader, 1, 2);
  hbdHeapDescriptor.reset();
  if (aReader.ReadBoolean()) {
    const auto* cls = ReadSubClass<EnxHeapBlobDescriptorException, TnxHeapDescriptorClass>(
        aReader, TnxBaseHeapDescriptor::ClassInfo(), u"HeapDescriptor");
    AddHeapDescriptor(cls)->LoadFromReader(aReader);
  } else if (version == 1) {
    AddHeapDescriptor();
  }
}

// ---- TnxBaseAutoIncDescriptor ----

void TnxBaseAutoIncDescriptor::Raise(uint32_t aCode, std::u16string_view aMsg,
                                     std::initializer_list<platform::TFormatArg> aArgs) const {
  throw EnxBaseAutoIncDescriptorException(aCode, aMsg, aArgs);
}

void TnxBaseAutoIncDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteString(Engine());
  aWriter.WriteInteger(FileNumber());
}

void TnxBaseAutoIncDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  ReadVersion<EnxBaseAutoIncDescriptorException>(aReader, 1, 1);
  StoreEngine(aReader.ReadString());
  StoreFileNumber(aReader.ReadInteger());
}

// ---- TnxAdvAutoIncDescriptor ----

void TnxAdvAutoIncDescriptor::Raise(uint32_t aCode, std::u16string_view aMsg,
                                    std::initializer_list<platform::TFormatArg> aArgs) const {
  throw EnxAdvAutoIncDescriptorException(aCode, aMsg, aArgs);
}

void TnxAdvAutoIncDescriptor::SetInitialValue(uint32_t aValue) {
  CheckReadOnly();
  aaidInitialValue = aValue;
}

void TnxAdvAutoIncDescriptor::SetStep(uint32_t aValue) {
  CheckReadOnly();
  if (aValue == 0) Raise(nxeInvalidDescriptorNumber, u"Invalid step: %u", {aValue});
  aaidStep = aValue;
}

bool TnxAdvAutoIncDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseAutoIncDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxAdvAutoIncDescriptor*>(aItem);
  return other && aaidInitialValue == other->aaidInitialValue && aaidStep == other->aaidStep;
}

void TnxAdvAutoIncDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseAutoIncDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{2});
  // Unsigned values travel as the Integer of the same bits.
  aWriter.WriteInteger(static_cast<int32_t>(aaidInitialValue));
  aWriter.WriteInteger(static_cast<int32_t>(aaidStep));
}

void TnxAdvAutoIncDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseAutoIncDescriptor::LoadFromReader(aReader);
  const int32_t version = ReadVersion<EnxAdvAutoIncDescriptorException>(aReader, 1, 2);
  const auto first = static_cast<uint32_t>(aReader.ReadInteger());
  const auto step = static_cast<uint32_t>(aReader.ReadInteger());
  if (step == 0) throw EnxAdvAutoIncDescriptorException(nxeIncompatibleStream);
  // The first layout kept the value before the first one handed out.
  aaidInitialValue = version == 1 ? first + step : first;
  aaidStep = step;
}

// ---- TnxBaseStreamDescriptor ----

void TnxBaseStreamDescriptor::SetStreamEngine(std::u16string_view aValue) {
  CheckReadOnly();
  bsdStreamEngine = aValue;
}

bool TnxBaseStreamDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseStreamDescriptor*>(aItem);
  return other && platform::AsciiSameText(bsdStreamEngine, other->bsdStreamEngine);
}

void TnxBaseStreamDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteString(bsdStreamEngine);
}

void TnxBaseStreamDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  ReadVersion<EnxBaseStreamDescriptorException>(aReader, 1, 1);
  bsdStreamEngine = aReader.ReadString();
}

}  // namespace revurov
