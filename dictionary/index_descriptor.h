// One index of a table: its name, engine, the file that holds it, its
// duplicate policy and the key descriptor that says what its key is.
//
// Contract:
// - An index listens to the related files descriptor from its creation to
//   its destruction: it follows renumbering and refuses (15502) the
//   removal of its file.
// - Names pass the identifier check (10022); they compare without regard
//   to the case of A to Z.
// - Raises EnxIndexDescriptorException.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dictionary/key_descriptors.h"

namespace revurov {

class TnxIndexDescriptor;
class TnxFileDescriptor;

extern TnxClassRegistry nxIndexDescriptorClasses;

// idNone: unique keys; idNull: duplicates only among keys holding a null;
// idAll: any duplicates.
enum TnxIndexDups : uint8_t { idNone, idNull, idAll };
using TnxIndexDupsSet = uint8_t;  // bit set over TnxIndexDups
constexpr TnxIndexDupsSet nxIndexDupsBit(TnxIndexDups aDups) noexcept {
  return static_cast<TnxIndexDupsSet>(1u << aDups);
}

struct TnxIndexDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxIndexDescriptor> (*Create)(TnxPersistent* aParent, std::u16string_view aName,
                                                int32_t aFileNumber, const TnxKeyDescriptorClass* aKeyClass) = nullptr;
};
template <class T>
std::unique_ptr<TnxIndexDescriptor> nxNewIndexDescriptor(TnxPersistent* aParent, std::u16string_view aName,
                                                         int32_t aFileNumber, const TnxKeyDescriptorClass* aKeyClass) {
  return std::make_unique<T>(aParent, aName, aFileNumber, aKeyClass);
}

inline constexpr std::u16string_view nxDefaultIndexEngine = u"nx1xDefault";
inline constexpr std::u16string_view nxSequentialAccessIndexName = u"Sequential Access Index";

class TnxIndexDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxIndexDescriptor, TnxDictionaryItem, TnxIndexDescriptorClass,
                              &nxIndexDescriptorClasses, &nxNewIndexDescriptor<TnxIndexDescriptor>)

  // aKeyClass: null for TnxCompKeyDescriptor. 10022 for a bad name.
  TnxIndexDescriptor(TnxPersistent* aParent, std::u16string_view aName, int32_t aFileNumber,
                     const TnxKeyDescriptorClass* aKeyClass);
  ~TnxIndexDescriptor() override;

  // Without a parent, numbered aNumber.
  static std::unique_ptr<TnxIndexDescriptor> CreateStandalone(int32_t aNumber, std::u16string_view aName,
                                                              int32_t aFileNumber,
                                                              const TnxKeyDescriptorClass* aKeyClass = nullptr,
                                                              const TnxIndexDescriptorClass* aClass = nullptr);

  const std::u16string& Name() const noexcept { return idName; }
  int32_t FileNumber() const noexcept { return idFileNumber; }
  void SetFileNumber(int32_t aValue) noexcept { idFileNumber = aValue; }
  // Null without a files descriptor or outside its list.
  TnxFileDescriptor* IndexFile();
  TnxBaseKeyDescriptor* KeyDescriptor() const noexcept { return idKeyDescriptor.get(); }
  const std::u16string& Desc() const noexcept { return idDesc; }
  void SetDesc(std::u16string_view aValue);
  const std::u16string& IndexEngine() const noexcept { return idIndexEngine; }
  void SetIndexEngine(std::u16string_view aValue);
  TnxIndexDups Dups() const noexcept { return idDups; }
  void SetDups(TnxIndexDups aValue);
  int32_t Number() const noexcept { return idNumber; }

  // Turns the index into one of a client cache table.
  virtual void PrepareForCache();

  void SaveStandalone(TnxWriter& aWriter, uint32_t aClientVersion) const;
  static std::unique_ptr<TnxIndexDescriptor> CreateStandaloneFromReader(TnxReader& aReader);

  void FileChangeNotification(bool aBefore, int32_t aOldFile, int32_t aNewFile) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  friend class TnxBaseIndicesDescriptor;
  std::u16string idName;
  std::u16string idIndexEngine{nxDefaultIndexEngine};
  std::u16string idDesc;
  int32_t idFileNumber = 0;
  std::unique_ptr<TnxBaseKeyDescriptor> idKeyDescriptor;
  TnxIndexDups idDups = idNone;
  int32_t idNumber = 0;
};

}  // namespace revurov
