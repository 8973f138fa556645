#include "dictionary/file_descriptors.h"

#include <algorithm>

#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/strings/utils_compare.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace revurov {

constinit TnxClassRegistry nxFileDescriptorClasses;
constinit TnxClassRegistry nxFilesDescriptorClasses;

namespace {
constexpr std::u16string_view kInvalidExtension = u"Invalid file extension: \"%s\"";
constexpr std::u16string_view kDuplicatedExtension = u"Duplicated file extension: \"%s\"";
constexpr std::u16string_view kIndexOutOfBounds = u"Index out of bounds: %d";
constexpr std::u16string_view kFileIDName = u"$FileID";
}  // namespace

uint32_t nxBlockSizeBytes(TnxBlockSize aBlockSize) noexcept {
  return aBlockSize <= nxbs64k ? uint32_t{1} << nxBlockSizeShifts[aBlockSize] : 0;
}

// ---- TnxFileDescriptor ----

TnxFileDescriptor::TnxFileDescriptor(TnxPersistent* aParent, std::u16string_view aExtension)
    : TnxDictionaryItem(aParent), fdExtension(aExtension) {}

void TnxFileDescriptor::SetDesc(std::u16string_view aValue) {
  if (aValue == fdDesc) return;
  CheckReadOnly();
  fdDesc = aValue;
}

void TnxFileDescriptor::SetBlockSize(TnxBlockSize aValue) {
  if (aValue == fdBlockSize) return;
  if (aValue > nxbs64k) throw EnxFileDescriptorException(nxeInvalidDescriptor);
  CheckReadOnly();
  fdBlockSize = aValue;
}

void TnxFileDescriptor::SetBlockSizeBytes(uint32_t aValue) {
  for (uint8_t bs = nxbs4k; bs <= nxbs64k; ++bs)
    if (nxBlockSizeBytes(static_cast<TnxBlockSize>(bs)) == aValue) {
      SetBlockSize(static_cast<TnxBlockSize>(bs));
      return;
    }
  throw EnxFileDescriptorException(nxeInvalidDescriptor, u"%d is not a valid BlockSize", {int64_t{aValue}});
}

void TnxFileDescriptor::SetInitialSize(TnxGrowSize aValue) {
  if (aValue == fdInitialSize) return;
  if (aValue < 1) throw EnxFileDescriptorException(nxeInvalidDescriptor);
  CheckReadOnly();
  fdInitialSize = aValue;
}

void TnxFileDescriptor::SetGrowSize(TnxGrowSize aValue) {
  if (aValue == fdGrowSize) return;
  if (aValue < 1) throw EnxFileDescriptorException(nxeInvalidDescriptor);
  CheckReadOnly();
  fdGrowSize = aValue;
}

uint32_t TnxFileDescriptor::UsableBlockSize() const {
  InxDictionaryRoot* root = FindDictionaryRoot();
  if (!root) throw EnxFileDescriptorException(nxeObjectNotFound);
  return root->UsableBlockSize(fdBlockSize);
}

std::u16string TnxFileDescriptor::FileID() const {
  return HasCustomStrings() ? const_cast<TnxFileDescriptor*>(this)->CustomStrings().Values(kFileIDName)
                            : std::u16string();
}

void TnxFileDescriptor::SetFileID(std::u16string_view aValue) {
  CheckReadOnly();
  CustomStrings().SetValues(kFileIDName, aValue);
}

void TnxFileDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (fdNumber == 0) {
    if (!fdExtension.empty()) throw EnxFileDescriptorException(nxeInvalidFileExtension);
  } else if (nxCheckIdentifier(fdExtension, nxeInvalidFileExtension, false, true) != 0) {
    throw EnxFileDescriptorException(nxeInvalidFileExtension);
  }
}

bool TnxFileDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxFileDescriptor*>(aItem);
  return other && fdExtension == other->fdExtension && fdDesc == other->fdDesc &&
         fdBlockSize == other->fdBlockSize && fdInitialSize == other->fdInitialSize &&
         fdGrowSize == other->fdGrowSize;
}

void TnxFileDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteString(fdDesc);
  aWriter.WriteInteger(static_cast<int64_t>(BlockSizeBytes()));
  aWriter.WriteInteger(fdInitialSize);
  aWriter.WriteInteger(fdGrowSize);
}

void TnxFileDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxFileDescriptorException(nxeIncompatibleStream);
  fdDesc = aReader.ReadString();
  const int64_t bytes = aReader.ReadInt64();
  if (bytes < 0 || bytes > UINT32_MAX)
    throw EnxFileDescriptorException(nxeInvalidDescriptor, u"%d is not a valid BlockSize", {bytes});
  SetBlockSizeBytes(static_cast<uint32_t>(bytes));
  SetInitialSize(aReader.ReadInteger());
  SetGrowSize(aReader.ReadInteger());
}

// ---- TnxFilesDescriptor ----

TnxFilesDescriptor::TnxFilesDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}

TnxFilesDescriptor::~TnxFilesDescriptor() {
  // Not Clear(false): a read-only dictionary is destroyed too.
  while (!fidFiles.empty()) fidFiles.pop_back();
}

TnxFileDescriptor* TnxFilesDescriptor::FileDescriptor(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= FileCount())
    throw EnxFilesDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {aIndex});
  return fidFiles[static_cast<size_t>(aIndex)].get();
}

int32_t TnxFilesDescriptor::GetFileFromExt(std::u16string_view aFileExt) const noexcept {
  for (size_t i = 0; i < fidFiles.size(); ++i)
    if (platform::AsciiCompareText(fidFiles[i]->fdExtension, aFileExt) == 0) return static_cast<int32_t>(i);
  return -1;
}

void TnxFilesDescriptor::CheckNewFile(std::u16string_view aExtension, TnxBlockSize aBlockSize, bool aFirst) const {
  if (aBlockSize > nxbs64k) throw EnxFilesDescriptorException(nxeInvalidDescriptor);
  if (aFirst ? !aExtension.empty() : nxCheckIdentifier(aExtension, nxeInvalidFileExtension, false, true) != 0)
    throw EnxFilesDescriptorException(nxeInvalidFileExtension, kInvalidExtension, {aExtension});
  if (GetFileFromExt(aExtension) >= 0)
    throw EnxFilesDescriptorException(nxeNameNotUnique, kDuplicatedExtension, {aExtension});
}

TnxFileDescriptor* TnxFilesDescriptor::NewFile(std::u16string_view aExtension, TnxBlockSize aBlockSize,
                                               std::u16string_view aDesc, const TnxFileDescriptorClass* aClass) {
  if (!aClass) aClass = &TnxFileDescriptor::ClassInfo();
  std::unique_ptr<TnxFileDescriptor> file = aClass->Create(this, aExtension);
  file->fdDesc = aDesc;
  file->SetBlockSize(aBlockSize);
  file->fdNumber = FileCount();
  fidFiles.push_back(std::move(file));
  return fidFiles.back().get();
}

TnxFileDescriptor* TnxFilesDescriptor::AddFile(std::u16string_view aExtension, TnxBlockSize aBlockSize,
                                               std::u16string_view aDesc, const TnxFileDescriptorClass* aClass) {
  CheckReadOnly();
  CheckNewFile(aExtension, aBlockSize, fidFiles.empty());
  return NewFile(aExtension, aBlockSize, aDesc, aClass);
}

TnxFileDescriptor* TnxFilesDescriptor::InsertFileAt(int32_t aInx, std::u16string_view aExtension,
                                                    TnxBlockSize aBlockSize, std::u16string_view aDesc,
                                                    const TnxFileDescriptorClass* aClass) {
  CheckReadOnly();
  // Position 0 of a list that has files would push the base file away from
  // its place, which no other change allows.
  if (aInx < 0 || aInx > FileCount() || (aInx == 0 && FileCount() > 0))
    throw EnxFilesDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {aInx});
  // Checked before the listeners hear of the insertion, so that every
  // "before" is followed by its "after".
  CheckNewFile(aExtension, aBlockSize, fidFiles.empty());
  fidFileChangeNotification(true, -1, aInx);
  TnxFileDescriptor* file = NewFile(aExtension, aBlockSize, aDesc, aClass);
  if (aInx != FileCount() - 1) {
    std::rotate(fidFiles.begin() + aInx, fidFiles.end() - 1, fidFiles.end());
    Renumber(aInx);
  }
  fidFileChangeNotification(false, -1, aInx);
  return file;
}

void TnxFilesDescriptor::MoveFile(int32_t aFrom, int32_t aTo) {
  CheckReadOnly();
  if (aFrom < 1 || aFrom >= FileCount())
    throw EnxFilesDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {aFrom});
  if (aTo < 1 || aTo >= FileCount())
    throw EnxFilesDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {aTo});
  if (aFrom == aTo) return;
  fidFileChangeNotification(true, aFrom, aTo);
  auto first = fidFiles.begin();
  if (aFrom < aTo)
    std::rotate(first + aFrom, first + aFrom + 1, first + aTo + 1);
  else
    std::rotate(first + aTo, first + aFrom, first + aFrom + 1);
  Renumber(std::min(aFrom, aTo));
  fidFileChangeNotification(false, aFrom, aTo);
}

void TnxFilesDescriptor::RemoveFile(int32_t aInx) {
  CheckReadOnly();
  if (aInx == 0) throw EnxFilesDescriptorException(nxeObjectInUse, u"Cannot remove the base file descriptor");
  // A negative position would index before the list.
  if (aInx < 0) throw EnxFilesDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {aInx});
  if (aInx >= FileCount()) return;
  fidFileChangeNotification(true, aInx, -1);
  std::unique_ptr<TnxFileDescriptor> removed = std::move(fidFiles[static_cast<size_t>(aInx)]);
  fidFiles.erase(fidFiles.begin() + aInx);
  Renumber(aInx);
  fidFileChangeNotification(false, aInx, -1);
}

void TnxFilesDescriptor::RenameFile(int32_t aInx, std::u16string_view aNewExtension) {
  CheckReadOnly();
  if (aInx < 1 || aInx >= FileCount())
    throw EnxFilesDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {aInx});
  if (nxCheckIdentifier(aNewExtension, nxeInvalidFileExtension, false, true) != 0)
    throw EnxFilesDescriptorException(nxeInvalidFileExtension, kInvalidExtension, {aNewExtension});
  TnxFileDescriptor& file = *fidFiles[static_cast<size_t>(aInx)];
  if (platform::AsciiCompareText(aNewExtension, file.fdExtension) != 0 && GetFileFromExt(aNewExtension) >= 0)
    throw EnxFilesDescriptorException(nxeNameNotUnique, kDuplicatedExtension, {aNewExtension});
  file.fdExtension = aNewExtension;
}

void TnxFilesDescriptor::RenameFile(std::u16string_view aOldExtension, std::u16string_view aNewExtension) {
  RenameFile(GetFileFromExt(aOldExtension), aNewExtension);
}

void TnxFilesDescriptor::Renumber(int32_t aFrom) noexcept {
  for (int32_t i = aFrom; i < FileCount(); ++i) fidFiles[static_cast<size_t>(i)]->fdNumber = i;
}

void TnxFilesDescriptor::fidFileChangeNotification(bool aBefore, int32_t aOldFile, int32_t aNewFile) {
  fidFileChangeNotifies.Notify(
      [&](TnxDictionaryItem& listener) { listener.FileChangeNotification(aBefore, aOldFile, aNewFile); });
}

void TnxFilesDescriptor::Clear(bool aNotify) {
  TnxDictionaryItem::Clear(aNotify);
  const int32_t count = FileCount();
  if (aNotify)
    for (int32_t n = count - 1; n >= 0; --n) fidFileChangeNotification(true, n, -1);
  while (!fidFiles.empty()) fidFiles.pop_back();
  if (aNotify)
    for (int32_t n = count - 1; n >= 0; --n) fidFileChangeNotification(false, n, -1);
}

void TnxFilesDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (fidFiles.empty())
    throw EnxFilesDescriptorException(nxeInvalidRecordStructure, u"FilesDescriptor requires a minimum of one file");
  for (int32_t i = 0; i < FileCount(); ++i) {
    TnxFileDescriptor& file = *fidFiles[static_cast<size_t>(i)];
    for (int32_t j = 0; j < i; ++j)
      if (nxCompareTextLocale(fidFiles[static_cast<size_t>(j)]->fdExtension, file.fdExtension) == 0)
        throw EnxFilesDescriptorException(nxeNameNotUnique, kDuplicatedExtension, {file.fdExtension});
    file.fdNumber = i;
    file.CheckValid(aForBuild);
  }
}

bool TnxFilesDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxFilesDescriptor*>(aItem);
  if (!other || other->FileCount() != FileCount()) return false;
  for (size_t i = 0; i < fidFiles.size(); ++i)
    if (!fidFiles[i]->IsEqual(other->fidFiles[i].get())) return false;
  return true;
}

void TnxFilesDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  // Refused before anything is written: such a reader knows no file list.
  if (aClientVersion < nxClientVersionIDs) throw EnxFilesDescriptorException(nxeIncompatibleVersion);
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(FileCount());
  for (const auto& file : fidFiles) {
    aWriter.WriteString(file->ClassName());
    aWriter.WriteString(file->fdExtension);
    file->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxFilesDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxFilesDescriptorException(nxeIncompatibleStream);
  Clear(false);
  const int32_t count = aReader.ReadInteger();
  if (count < 0) throw EnxFilesDescriptorException(nxeIncompatibleStream);
  for (int32_t i = 0; i < count; ++i) {
    const std::u16string className = aReader.ReadString();
    const auto* cls = nxFindClassAs<TnxFileDescriptorClass>(TnxFileDescriptor::ClassInfo(), className);
    if (!cls) nxRaiseClassNotSupported<EnxFilesDescriptorException>(u"FileDescriptor", className);
    std::u16string extension = aReader.ReadString();
    if (i == 0) extension.clear();
    fidFiles.push_back(cls->Create(this, extension));
    fidFiles.back()->fdNumber = i;
    fidFiles.back()->LoadFromReader(aReader);
  }
}

}  // namespace revurov
