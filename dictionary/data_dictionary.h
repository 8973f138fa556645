// The complete description of one table: the root table descriptor plus
// what only the root carries (files, named-stream storage, identity, format
// version, header signature, encryption engine, item ID counter, read-only
// switch), and the dictionary stream every client version reads.
//
// Stream frame (tagged values): Ident "RevurOV", Integer version (1 to 5,
// lowered for older readers), the 4-byte header signature raw, String
// encryption engine, then the current layout (versions 3 to 5) or the
// legacy one (1 and 2), Ident "RevurOV".
//
// Contract:
// - Writing never changes the dictionary: "$GUID", "$CacheGUID",
//   "$CacheCurrentID", "$MissingInformation" and "$CachingState" go into
//   the stream's custom strings only. After MakeReadOnly any number of
//   threads may write and read one dictionary at once.
// - A stream is untrusted: counts, lengths, versions and class names are
//   checked before use; a bad one raises 15498, 15499 or a read error.
//   ReadFromStream either succeeds whole or leaves a default dictionary.
// - CheckValid(true) raises the version to what the contents need.
// - Raises EnxDataDictionaryException (15498, 15499, 15500, 10004).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dictionary/table_descriptors.h"
#include "platform/guid.h"

namespace revurov::platform {
class TStream;
}

namespace revurov {

class TnxFilesDescriptor;
class TnxBaseStreamDescriptor;
using TnxStreamDescriptorClass = TnxSectionedDescriptorClass<TnxBaseStreamDescriptor>;

using TnxBlockSignature = std::array<char, 4>;

class TnxDataDictionary : public TnxBaseTableDescriptor, public InxDictionaryRoot {
  REVUROV_REGISTERABLE_RECORD(TnxDataDictionary, TnxBaseTableDescriptor, TnxTableDescriptorClass, nullptr)

  // Defaults: version 3, "NX!2", a stream and a record descriptor, one file
  // "Data/DataDict File" and the "Sequential Access Index".
  TnxDataDictionary();
  ~TnxDataDictionary() override;

  const platform::TGUID& Guid() const noexcept { return ddGuid; }
  const platform::TGUID& CacheGuid() const noexcept { return ddCacheGuid; }
  int32_t Version() const noexcept { return ddVersion; }
  int32_t CurrentID() const noexcept { return ddCurrentID; }
  int32_t CacheCurrentID() const noexcept { return ddCacheCurrentID; }
  bool MissingInformation() const noexcept { return ddMissingInformation; }
  const std::u16string& BaseName() const noexcept { return ddBaseName; }
  bool ReadOnly() const noexcept { return ddReadOnly; }
  TnxFilesDescriptor& FilesDescriptor() const noexcept { return *ddFilesDescriptor; }
  TnxBaseStreamDescriptor* StreamDescriptor() const noexcept { return ddStreamDescriptor.get(); }
  bool UseByteOrderForWideString() const noexcept { return ddUseByteOrderForWideString; }
  const TnxBlockSignature& HeaderSignature() const noexcept { return ddHeaderSignature; }
  void SetHeaderSignature(const TnxBlockSignature& aValue);
  const std::u16string& EncryptionEngine() const noexcept { return ddEncryptionEngine; }
  void SetEncryptionEngine(std::u16string_view aValue);

  // Null: TnxBaseStreamDescriptor.
  TnxBaseStreamDescriptor* AddStreamDescriptor(const TnxStreamDescriptorClass* aStreamClass = nullptr);
  void RemoveStreamDescriptor();
  void MakeReadOnly();
  // Turns a server dictionary into the one of a client cache table;
  // nothing when the tree holds a cache table already.
  void MakeCache(bool aSilent);
  int32_t GetFileFromExt(std::u16string_view aFileExt) const noexcept;
  // A copy through the stream; null never, raises what the copy raises.
  std::unique_ptr<TnxDataDictionary> Duplicate() const;

  void ReadFromStream(platform::TStream& aStream, std::u16string_view aBaseName);
  void ReadFromReader(TnxReader& aReader);
  void WriteToStream(platform::TStream& aStream, uint32_t aClientVersion) const;
  void WriteToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const;

  // InxDictionaryRoot.
  void CheckReadOnly() override;
  int32_t NextID() override { return ++ddCurrentID; }
  uint32_t UsableBlockSize(TnxBlockSize aBlockSize) override;
  int32_t DictionaryVersion() override { return ddVersion; }

  std::u16string btdFullName() const override { return ddBaseName; }
  void ClearContents(bool aSkipDefaults, bool aNotify) override;
  void AssignOnlyFields(const TnxBaseTableDescriptor& aSource) override;
  void Assign(const TnxPersistent* aSource) override;
  bool DoRequiresPack() const override;
  bool FindRelatedDescriptorOfType(const TnxRegisterableClass& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom = nullptr) override;
  // With aForBuild first lifts the version to what the contents need (and
  // refuses a dictionary that misses information, 15499); then requires a
  // stream descriptor (10004) and checks the tree.
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

protected:
  InxDictionaryRoot* AsDictionaryRoot() noexcept override { return this; }
  // For the server's own dictionary, which alone may lift the read-only
  // switch, restore the ID counter, renew the identity and rename itself.
  void ddSetReadOnly(bool aValue) noexcept { ddReadOnly = aValue; }
  void ddSetCurrentID(int32_t aValue) noexcept { ddCurrentID = aValue; }
  void ddSetGuid(const platform::TGUID& aValue) noexcept { ddGuid = aValue; }
  void ddSetBaseName(std::u16string_view aValue) { ddBaseName = aValue; }
  std::vector<std::u16string> StreamCustomStrings() const override;

private:
  void ReadCustomStrings();
  void WriteLegacy(TnxWriter& aWriter, uint32_t aClientVersion, int32_t aVersion) const;
  void ReadLegacy(TnxReader& aReader);
  bool TreeHasCachingState() const;

  platform::TGUID ddGuid{};
  platform::TGUID ddCacheGuid{};
  int32_t ddVersion = 3;
  int32_t ddCurrentID = 0;
  int32_t ddCacheCurrentID = 0;
  bool ddMissingInformation = false;
  std::u16string ddBaseName;
  bool ddReadOnly = false;
  std::unique_ptr<TnxFilesDescriptor> ddFilesDescriptor;
  std::unique_ptr<TnxBaseStreamDescriptor> ddStreamDescriptor;
  bool ddUseByteOrderForWideString = false;
  TnxBlockSignature ddHeaderSignature{'N', 'X', '!', '2'};
  std::u16string ddEncryptionEngine;
};

}  // namespace revurov
