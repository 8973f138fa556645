// The files a table is stored in: one descriptor per file (the base file
// without an extension, further files by extension) and the ordered list of
// them, whose changes renumber every descriptor that refers to a file.
//
// Contract:
// - File numbers are positions in the list; the base file is number 0 and
//   never moves. Insertions, moves and removals notify the registered
//   listeners twice, before (a listener may refuse by raising; nothing has
//   changed then) and after (listeners renumber with nxRenumberReference).
// - A bad position or extension is reported before anything changes.
// - Raises EnxFileDescriptorException / EnxFilesDescriptorException.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/dictionary_item.h"

namespace revurov {

class TnxFileDescriptor;
class TnxFilesDescriptor;

// The registries of the two families.
extern TnxClassRegistry nxFileDescriptorClasses;
extern TnxClassRegistry nxFilesDescriptorClasses;

// Class record of the file descriptors: their virtual constructor.
struct TnxFileDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxFileDescriptor> (*Create)(TnxPersistent* aParent, std::u16string_view aExtension) = nullptr;
};
struct TnxFilesDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxFilesDescriptor> (*Create)(TnxPersistent* aParent) = nullptr;
};

template <class T>
std::unique_ptr<TnxFileDescriptor> nxNewFileDescriptor(TnxPersistent* aParent, std::u16string_view aExtension) {
  return std::make_unique<T>(aParent, aExtension);
}
template <class T>
std::unique_ptr<TnxFilesDescriptor> nxNewFilesDescriptor(TnxPersistent* aParent) {
  return std::make_unique<T>(aParent);
}

// Block size classes in bytes; 0 for a byte count that is none.
uint32_t nxBlockSizeBytes(TnxBlockSize aBlockSize) noexcept;

class TnxFileDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxFileDescriptor, TnxDictionaryItem, TnxFileDescriptorClass,
                              &nxFileDescriptorClasses, &nxNewFileDescriptor<TnxFileDescriptor>)

  TnxFileDescriptor(TnxPersistent* aParent, std::u16string_view aExtension);

  const std::u16string& Extension() const noexcept { return fdExtension; }
  const std::u16string& Desc() const noexcept { return fdDesc; }
  void SetDesc(std::u16string_view aValue);
  TnxBlockSize BlockSize() const noexcept { return fdBlockSize; }
  void SetBlockSize(TnxBlockSize aValue);
  uint32_t BlockSizeBytes() const noexcept { return nxBlockSizeBytes(fdBlockSize); }
  // 10004 "%d is not a valid BlockSize" for a count that is no size class.
  void SetBlockSizeBytes(uint32_t aValue);
  TnxGrowSize InitialSize() const noexcept { return fdInitialSize; }
  // Sizes are at least 1 block (10004 otherwise).
  void SetInitialSize(TnxGrowSize aValue);
  TnxGrowSize GrowSize() const noexcept { return fdGrowSize; }
  void SetGrowSize(TnxGrowSize aValue);
  int32_t Number() const noexcept { return fdNumber; }
  // What the dictionary reports as usable of a block; 8712 without one.
  uint32_t UsableBlockSize() const;
  // The custom string "$FileID".
  std::u16string FileID() const;
  void SetFileID(std::u16string_view aValue);

  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  friend class TnxFilesDescriptor;
  std::u16string fdExtension;
  std::u16string fdDesc;
  TnxBlockSize fdBlockSize = nxbs4k;
  TnxGrowSize fdInitialSize = 4;
  TnxGrowSize fdGrowSize = 1;
  int32_t fdNumber = 0;
};

class TnxFilesDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxFilesDescriptor, TnxDictionaryItem, TnxFilesDescriptorClass,
                              &nxFilesDescriptorClasses, &nxNewFilesDescriptor<TnxFilesDescriptor>)

  explicit TnxFilesDescriptor(TnxPersistent* aParent);
  ~TnxFilesDescriptor() override;

  int32_t FileCount() const noexcept { return static_cast<int32_t>(fidFiles.size()); }
  // 9999 "Index out of bounds: %d" outside the list.
  TnxFileDescriptor* FileDescriptor(int32_t aIndex) const;

  // Appends without notification. The first file has no extension, every
  // later one a valid, new identifier (10042, 10009). aClass: null for
  // TnxFileDescriptor.
  TnxFileDescriptor* AddFile(std::u16string_view aExtension, TnxBlockSize aBlockSize, std::u16string_view aDesc,
                             const TnxFileDescriptorClass* aClass = nullptr);
  // aInx in 1 to FileCount (0 only for an empty list: the base file stays
  // first).
  TnxFileDescriptor* InsertFileAt(int32_t aInx, std::u16string_view aExtension, TnxBlockSize aBlockSize,
                                  std::u16string_view aDesc, const TnxFileDescriptorClass* aClass = nullptr);
  // Both positions in 1 to FileCount-1.
  void MoveFile(int32_t aFrom, int32_t aTo);
  // The base file cannot go (15502); a position beyond the list does nothing.
  void RemoveFile(int32_t aInx);
  void RenameFile(int32_t aInx, std::u16string_view aNewExtension);
  void RenameFile(std::u16string_view aOldExtension, std::u16string_view aNewExtension);
  // Position by extension (A-Z without case), -1 when none.
  int32_t GetFileFromExt(std::u16string_view aFileExt) const noexcept;

  void AddFileChangeListener(TnxDictionaryItem* aItem) { fidFileChangeNotifies.Add(aItem); }
  void RemoveFileChangeListener(TnxDictionaryItem* aItem) { fidFileChangeNotifies.Remove(aItem); }
  int32_t FileChangeListenerCount() const noexcept { return fidFileChangeNotifies.Count(); }

  void Clear(bool aNotify) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  void fidFileChangeNotification(bool aBefore, int32_t aOldFile, int32_t aNewFile);
  void CheckNewFile(std::u16string_view aExtension, TnxBlockSize aBlockSize, bool aFirst) const;
  TnxFileDescriptor* NewFile(std::u16string_view aExtension, TnxBlockSize aBlockSize, std::u16string_view aDesc,
                             const TnxFileDescriptorClass* aClass);
  void Renumber(int32_t aFrom) noexcept;

  TnxChangeListeners fidFileChangeNotifies;
  std::vector<std::unique_ptr<TnxFileDescriptor>> fidFiles;
};

}  // namespace revurov
