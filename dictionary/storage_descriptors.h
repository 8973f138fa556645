// Where a table's data lives: which storage engine keeps the records, the
// blobs, the autoinc value and the named streams, in which file of the
// table, under which file-header section; the heap and block-heap engines
// beneath record and blob storage, and record compression.
//
// Contract:
// - Engine names are only recorded here; the storage engines resolve them.
// - Record, blob and autoinc descriptors listen to the table's files
//   descriptor from creation to destruction: they follow renumbering and
//   refuse (15502) the removal of their own file.
// - Each family has its own registry; streams name the sub-descriptor's
//   class, and a reader refuses a class that is not registered (15499).
// - Raises the class's own exception (EnxBaseRecordDescriptorException ...).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dictionary/dictionary_item.h"

namespace revurov {

class TnxBaseRecordDescriptor;
class TnxBaseRecordCompressionDescriptor;
class TnxBaseHeapDescriptor;
class TnxBaseBlockHeapDescriptor;
class TnxBaseBlobDescriptor;
class TnxBaseAutoIncDescriptor;
class TnxBaseStreamDescriptor;

extern TnxClassRegistry nxRecordDescriptorClasses;
extern TnxClassRegistry nxRecordCompressionDescriptorClasses;
extern TnxClassRegistry nxHeapDescriptorClasses;
extern TnxClassRegistry nxBlockHeapDescriptorClasses;
extern TnxClassRegistry nxBlobDescriptorClasses;
extern TnxClassRegistry nxAutoIncDescriptorClasses;
extern TnxClassRegistry nxStreamDescriptorClasses;

inline constexpr std::u16string_view nxDefaultStorageEngine = u"nx1xDefault";

// Class records with the virtual constructors of each family.
template <class Base>
struct TnxSectionedDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<Base> (*Create)(TnxPersistent* aParent, std::string_view aHeaderSection) = nullptr;
};
template <class Base>
struct TnxPlainDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<Base> (*Create)(TnxPersistent* aParent) = nullptr;
};
using TnxRecordDescriptorClass = TnxSectionedDescriptorClass<TnxBaseRecordDescriptor>;
using TnxBlobDescriptorClass = TnxSectionedDescriptorClass<TnxBaseBlobDescriptor>;
using TnxAutoIncDescriptorClass = TnxSectionedDescriptorClass<TnxBaseAutoIncDescriptor>;
using TnxStreamDescriptorClass = TnxSectionedDescriptorClass<TnxBaseStreamDescriptor>;
using TnxRecordCompressionDescriptorClass = TnxPlainDescriptorClass<TnxBaseRecordCompressionDescriptor>;
using TnxHeapDescriptorClass = TnxPlainDescriptorClass<TnxBaseHeapDescriptor>;
using TnxBlockHeapDescriptorClass = TnxPlainDescriptorClass<TnxBaseBlockHeapDescriptor>;

template <class Base, class T>
std::unique_ptr<Base> nxNewSectionedDescriptor(TnxPersistent* aParent, std::string_view aHeaderSection) {
  return std::make_unique<T>(aParent, aHeaderSection);
}
template <class Base, class T>
std::unique_ptr<Base> nxNewPlainDescriptor(TnxPersistent* aParent) {
  return std::make_unique<T>(aParent);
}

// A file number, an engine name and a header section, kept right while the
// table's files change.
class TnxFileStorageDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_CLASS(TnxFileStorageDescriptor, TnxDictionaryItem)

  TnxFileStorageDescriptor(TnxPersistent* aParent, std::string_view aHeaderSection);
  ~TnxFileStorageDescriptor() override;

  int32_t FileNumber() const noexcept { return fsFileNumber; }
  // 9999 "Invalid file number: %d" outside the related files.
  void SetFileNumber(int32_t aValue);
  const std::u16string& Engine() const noexcept { return fsEngine; }
  void SetEngine(std::u16string_view aValue);
  const std::string& HeaderSection() const noexcept { return fsHeaderSection; }

  void FileChangeNotification(bool aBefore, int32_t aOldFile, int32_t aNewFile) override;
  bool References(const TnxDictionaryItem* aItem) const override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

protected:
  // The class's exception with aCode and message.
  [[noreturn]] virtual void Raise(uint32_t aCode, std::u16string_view aMsg,
                                  std::initializer_list<platform::TFormatArg> aArgs) const = 0;
  // "record", "blob", "an autoinc" in the refusal of a file removal.
  virtual std::u16string_view EngineWord() const noexcept = 0;
  void CheckFileNumber(int32_t aValue) const;
  // Sets the number read from a stream; checked by CheckValid.
  void StoreFileNumber(int32_t aValue) noexcept { fsFileNumber = aValue; }
  void StoreEngine(std::u16string aValue) noexcept { fsEngine = std::move(aValue); }

private:
  int32_t fsFileNumber = 0;
  std::u16string fsEngine{nxDefaultStorageEngine};
  std::string fsHeaderSection;
};

class TnxBaseRecordDescriptor : public TnxFileStorageDescriptor {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseRecordDescriptor, TnxFileStorageDescriptor, TnxRecordDescriptorClass,
                              &nxRecordDescriptorClasses,
                              (&nxNewSectionedDescriptor<TnxBaseRecordDescriptor, TnxBaseRecordDescriptor>))
  using TnxFileStorageDescriptor::TnxFileStorageDescriptor;

  const std::u16string& RecordEngine() const noexcept { return Engine(); }
  void SetRecordEngine(std::u16string_view aValue) { SetEngine(aValue); }

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  [[noreturn]] void Raise(uint32_t aCode, std::u16string_view aMsg,
                          std::initializer_list<platform::TFormatArg> aArgs) const override;
  std::u16string_view EngineWord() const noexcept override { return u"a record"; }
};

class TnxBaseRecordCompressionDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseRecordCompressionDescriptor, TnxDictionaryItem,
                              TnxRecordCompressionDescriptorClass, &nxRecordCompressionDescriptorClasses,
                              (&nxNewPlainDescriptor<TnxBaseRecordCompressionDescriptor,
                                                     TnxBaseRecordCompressionDescriptor>))
  explicit TnxBaseRecordCompressionDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}

  const std::u16string& RecordCompressionEngine() const noexcept { return brcdRecordCompressionEngine; }
  void SetRecordCompressionEngine(std::u16string_view aValue);
  // The custom string "CompressType"; 0 when absent or not a number.
  int32_t GetCompressType() const;
  // 0 removes the entry.
  void SetCompressType(int32_t aValue);

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::u16string brcdRecordCompressionEngine{u"Smart"};
};

class TnxBaseBlockHeapDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseBlockHeapDescriptor, TnxDictionaryItem, TnxBlockHeapDescriptorClass,
                              &nxBlockHeapDescriptorClasses,
                              (&nxNewPlainDescriptor<TnxBaseBlockHeapDescriptor, TnxBaseBlockHeapDescriptor>))
  explicit TnxBaseBlockHeapDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}

  const std::u16string& BlockHeapEngine() const noexcept { return bbhdBlockHeapEngine; }
  void SetBlockHeapEngine(std::u16string_view aValue);

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::u16string bbhdBlockHeapEngine{nxDefaultStorageEngine};
};

class TnxBaseHeapDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseHeapDescriptor, TnxDictionaryItem, TnxHeapDescriptorClass,
                              &nxHeapDescriptorClasses,
                              (&nxNewPlainDescriptor<TnxBaseHeapDescriptor, TnxBaseHeapDescriptor>))
  explicit TnxBaseHeapDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}
  ~TnxBaseHeapDescriptor() override;

  const std::u16string& HeapEngine() const noexcept { return bhdHeapEngine; }
  void SetHeapEngine(std::u16string_view aValue);
  TnxBaseBlockHeapDescriptor* BlockHeapDescriptor() const noexcept { return bhdBlockHeapDescriptor.get(); }
  // Null: TnxBaseBlockHeapDescriptor.
  TnxBaseBlockHeapDescriptor* AddBlockHeapDescriptor(const TnxBlockHeapDescriptorClass* aClass = nullptr);
  void RemoveBlockHeapDescriptor();

  // A missing block heap is added first.
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::u16string bhdHeapEngine{nxDefaultStorageEngine};
  std::unique_ptr<TnxBaseBlockHeapDescriptor> bhdBlockHeapDescriptor;
};

class TnxHeapRecordDescriptor : public TnxBaseRecordDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxHeapRecordDescriptor, TnxBaseRecordDescriptor, TnxRecordDescriptorClass,
                              (&nxNewSectionedDescriptor<TnxBaseRecordDescriptor, TnxHeapRecordDescriptor>))
  using TnxBaseRecordDescriptor::TnxBaseRecordDescriptor;
  ~TnxHeapRecordDescriptor() override;

  TnxBaseHeapDescriptor* HeapDescriptor() const noexcept { return hrdHeapDescriptor.get(); }
  TnxBaseHeapDescriptor* AddHeapDescriptor(const TnxHeapDescriptorClass* aClass = nullptr);
  void RemoveHeapDescriptor();
  TnxBaseRecordCompressionDescriptor* RecordCompressionDescriptor() const noexcept {
    return hrdRecordCompressionDescriptor.get();
  }
  TnxBaseRecordCompressionDescriptor* AddRecordCompressionDescriptor(
      const TnxRecordCompressionDescriptorClass* aClass = nullptr);
  void RemoveRecordCompressionDescriptor();

  // A missing heap is added first.
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  [[noreturn]] void Raise(uint32_t aCode, std::u16string_view aMsg,
                          std::initializer_list<platform::TFormatArg> aArgs) const override;

private:
  std::unique_ptr<TnxBaseHeapDescriptor> hrdHeapDescriptor;
  std::unique_ptr<TnxBaseRecordCompressionDescriptor> hrdRecordCompressionDescriptor;
};

class TnxBaseBlobDescriptor : public TnxFileStorageDescriptor {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseBlobDescriptor, TnxFileStorageDescriptor, TnxBlobDescriptorClass,
                              &nxBlobDescriptorClasses,
                              (&nxNewSectionedDescriptor<TnxBaseBlobDescriptor, TnxBaseBlobDescriptor>))
  using TnxFileStorageDescriptor::TnxFileStorageDescriptor;

  const std::u16string& BlobEngine() const noexcept { return Engine(); }
  void SetBlobEngine(std::u16string_view aValue) { SetEngine(aValue); }

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  [[noreturn]] void Raise(uint32_t aCode, std::u16string_view aMsg,
                          std::initializer_list<platform::TFormatArg> aArgs) const override;
  std::u16string_view EngineWord() const noexcept override { return u"a blob"; }
};

class TnxHeapBlobDescriptor : public TnxBaseBlobDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxHeapBlobDescriptor, TnxBaseBlobDescriptor, TnxBlobDescriptorClass,
                              (&nxNewSectionedDescriptor<TnxBaseBlobDescriptor, TnxHeapBlobDescriptor>))
  using TnxBaseBlobDescriptor::TnxBaseBlobDescriptor;
  ~TnxHeapBlobDescriptor() override;

  TnxBaseHeapDescriptor* HeapDescriptor() const noexcept { return hbdHeapDescriptor.get(); }
  TnxBaseHeapDescriptor* AddHeapDescriptor(const TnxHeapDescriptorClass* aClass = nullptr);
  void RemoveHeapDescriptor();

  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  [[noreturn]] void Raise(uint32_t aCode, std::u16string_view aMsg,
                          std::initializer_list<platform::TFormatArg> aArgs) const override;

private:
  std::unique_ptr<TnxBaseHeapDescriptor> hbdHeapDescriptor;
};

class TnxBaseAutoIncDescriptor : public TnxFileStorageDescriptor {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseAutoIncDescriptor, TnxFileStorageDescriptor, TnxAutoIncDescriptorClass,
                              &nxAutoIncDescriptorClasses,
                              (&nxNewSectionedDescriptor<TnxBaseAutoIncDescriptor, TnxBaseAutoIncDescriptor>))
  using TnxFileStorageDescriptor::TnxFileStorageDescriptor;

  const std::u16string& AutoIncEngine() const noexcept { return Engine(); }
  void SetAutoIncEngine(std::u16string_view aValue) { SetEngine(aValue); }

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  [[noreturn]] void Raise(uint32_t aCode, std::u16string_view aMsg,
                          std::initializer_list<platform::TFormatArg> aArgs) const override;
  std::u16string_view EngineWord() const noexcept override { return u"an autoinc"; }
};

class TnxAdvAutoIncDescriptor : public TnxBaseAutoIncDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxAdvAutoIncDescriptor, TnxBaseAutoIncDescriptor, TnxAutoIncDescriptorClass,
                              (&nxNewSectionedDescriptor<TnxBaseAutoIncDescriptor, TnxAdvAutoIncDescriptor>))
  using TnxBaseAutoIncDescriptor::TnxBaseAutoIncDescriptor;

  uint32_t InitialValue() const noexcept { return aaidInitialValue; }
  void SetInitialValue(uint32_t aValue);
  uint32_t Step() const noexcept { return aaidStep; }
  // The step is 1 to 4294967295: 0 raises 9999.
  void SetStep(uint32_t aValue);

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  [[noreturn]] void Raise(uint32_t aCode, std::u16string_view aMsg,
                          std::initializer_list<platform::TFormatArg> aArgs) const override;

private:
  uint32_t aaidInitialValue = 1;
  uint32_t aaidStep = 1;
};

class TnxBaseStreamDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseStreamDescriptor, TnxDictionaryItem, TnxStreamDescriptorClass,
                              &nxStreamDescriptorClasses,
                              (&nxNewSectionedDescriptor<TnxBaseStreamDescriptor, TnxBaseStreamDescriptor>))
  TnxBaseStreamDescriptor(TnxPersistent* aParent, std::string_view aHeaderSection)
      : TnxDictionaryItem(aParent), bsdHeaderSection(aHeaderSection) {}

  const std::u16string& StreamEngine() const noexcept { return bsdStreamEngine; }
  void SetStreamEngine(std::u16string_view aValue);
  const std::string& HeaderSection() const noexcept { return bsdHeaderSection; }

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::u16string bsdStreamEngine{nxDefaultStorageEngine};
  std::string bsdHeaderSection;
};

}  // namespace revurov
