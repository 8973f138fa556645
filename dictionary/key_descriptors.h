// What a key is made of: fixed keys over the reference number, an Int64 or
// the blob cache, and composite keys over fields, each key field with its
// direction, null ordering, length overrides and, for text, case and
// locale rules.
//
// Contract:
// - A key field with a real field number listens to the related fields
//   descriptor, from its creation or from the moment SetFieldNumber gives
//   it one, and leaves when it goes or the number is dropped. It follows
//   renumbering and refuses (15502) the removal of its field.
// - The lowest 32-bit field number means the key field belongs to the
//   field descriptor above it (a validation's key) and listens to nothing.
// - Key lengths fit the 16-bit lengths that carry them: CheckValid and the
//   stream readers refuse a longer key with 10004.
// - A key descriptor may own a key filter (which records the index holds).
//   It streams as its filter stream behind a size; a reader older than
//   20000 cannot take it (12039, nothing written), and a filter that
//   cannot be written or read raises the code its stream answered. A size
//   beyond the bytes present is refused with 15498.
// - Raises the class's own exception (EnxBaseKeyDescriptorException and
//   its family, EnxKeyFieldDescriptorException and its family).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/locale_descriptor.h"

namespace revurov {

class TnxBaseFilterDescriptor;
class TnxBaseKeyDescriptor;
class TnxKeyFieldDescriptor;
class TnxFieldDescriptor;
class TnxFieldsDescriptor;

extern TnxClassRegistry nxKeyDescriptorClasses;
extern TnxClassRegistry nxKeyFieldDescriptorClasses;

struct TnxKeyDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseKeyDescriptor> (*Create)(TnxPersistent* aParent) = nullptr;
};
template <class T>
std::unique_ptr<TnxBaseKeyDescriptor> nxNewKeyDescriptor(TnxPersistent* aParent) {
  return std::make_unique<T>(aParent);
}
struct TnxKeyFieldDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxKeyFieldDescriptor> (*Create)(TnxPersistent* aParent, int32_t aFieldNumber) = nullptr;
};
template <class T>
std::unique_ptr<TnxKeyFieldDescriptor> nxNewKeyFieldDescriptor(TnxPersistent* aParent, int32_t aFieldNumber) {
  return std::make_unique<T>(aParent, aFieldNumber);
}

// The field number of a key field that belongs to the field above it.
inline constexpr int32_t nxKeyFieldOfParentField = INT32_MIN;

enum TnxNullBehaviour : uint8_t { nbTop, nbBottom, nbAsAscend, nbFilterNull, nbFilterNonNull };
std::u16string_view nxNullBehaviourIdent(TnxNullBehaviour aValue) noexcept;

class TnxBaseKeyDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseKeyDescriptor, TnxDictionaryItem, TnxKeyDescriptorClass,
                              &nxKeyDescriptorClasses, nullptr)

  explicit TnxBaseKeyDescriptor(TnxPersistent* aParent);
  ~TnxBaseKeyDescriptor() override;

  // The key filter; null without.
  TnxBaseFilterDescriptor* Filter() const noexcept { return bkdFilter.get(); }
  // Replaces the key filter (null: none).
  void SetFilter(std::unique_ptr<TnxBaseFilterDescriptor> aFilter);

  virtual uint32_t GetKeyLen() const = 0;
  uint32_t KeyLen() const { return GetKeyLen(); }
  virtual bool CanContainNulls() const { return true; }

  // Filters are equal when both are absent or both write the same bytes.
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::unique_ptr<TnxBaseFilterDescriptor> bkdFilter;
};

// Keys of a fixed length: their own part is a version number.
class TnxRefKeyDescriptor : public TnxBaseKeyDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxRefKeyDescriptor, TnxBaseKeyDescriptor, TnxKeyDescriptorClass,
                              &nxNewKeyDescriptor<TnxRefKeyDescriptor>)
  using TnxBaseKeyDescriptor::TnxBaseKeyDescriptor;
  uint32_t GetKeyLen() const override { return 8; }
  bool CanContainNulls() const override { return false; }
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;
};

class TnxInt64KeyDescriptor : public TnxBaseKeyDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxInt64KeyDescriptor, TnxBaseKeyDescriptor, TnxKeyDescriptorClass,
                              &nxNewKeyDescriptor<TnxInt64KeyDescriptor>)
  using TnxBaseKeyDescriptor::TnxBaseKeyDescriptor;
  uint32_t GetKeyLen() const override { return 8; }
  bool CanContainNulls() const override { return false; }
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;
};

class TnxBlobCacheKeyDescriptor : public TnxBaseKeyDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxBlobCacheKeyDescriptor, TnxBaseKeyDescriptor, TnxKeyDescriptorClass,
                              &nxNewKeyDescriptor<TnxBlobCacheKeyDescriptor>)
  using TnxBaseKeyDescriptor::TnxBaseKeyDescriptor;
  uint32_t GetKeyLen() const override { return 28; }
  bool CanContainNulls() const override { return false; }
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;
};

class TnxCompKeyDescriptor : public TnxBaseKeyDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxCompKeyDescriptor, TnxBaseKeyDescriptor, TnxKeyDescriptorClass,
                              &nxNewKeyDescriptor<TnxCompKeyDescriptor>)

  explicit TnxCompKeyDescriptor(TnxPersistent* aParent);
  ~TnxCompKeyDescriptor() override;

  static const TnxKeyFieldDescriptorClass& DefaultKeyFieldClass() noexcept;

  int32_t KeyFieldCount() const noexcept { return static_cast<int32_t>(ckdKeyFields.size()); }
  // 9999 outside the list.
  TnxKeyFieldDescriptor* ckdGetKeyField(int32_t aInx) const;
  // aClass: null for DefaultKeyFieldClass. By name, an absent field gives
  // number -1, which CheckValid refuses.
  TnxKeyFieldDescriptor* Add(int32_t aFieldNumber, const TnxKeyFieldDescriptorClass* aClass = nullptr);
  TnxKeyFieldDescriptor* Add(std::u16string_view aFieldName, const TnxKeyFieldDescriptorClass* aClass = nullptr);
  // aInx in 0 to KeyFieldCount (9999 otherwise).
  TnxKeyFieldDescriptor* Insert(int32_t aInx, int32_t aFieldNumber, const TnxKeyFieldDescriptorClass* aClass = nullptr);
  TnxKeyFieldDescriptor* Insert(int32_t aInx, std::u16string_view aFieldName,
                                const TnxKeyFieldDescriptorClass* aClass = nullptr);
  void Move(int32_t aFrom, int32_t aTo);
  void Delete(int32_t aInx);
  // Forgets the cached key length: a key field changed.
  void ResetKeyLen() const noexcept { ckdKeyLen = -1; }

  // Sum of the key field lengths plus a byte of null flags per 8 fields;
  // saturates at UINT32_MAX.
  uint32_t GetKeyLen() const override;
  bool CanContainNulls() const override;
  void Clear(bool aNotify) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  virtual bool HasNullFlags() const noexcept { return true; }
  int32_t RelatedFieldNumber(std::u16string_view aFieldName);

private:
  std::vector<std::unique_ptr<TnxKeyFieldDescriptor>> ckdKeyFields;
  mutable int64_t ckdKeyLen = -1;
};

// A composite key whose fields always hold a value: no null flags.
class TnxNoNullCompKeyDescriptor : public TnxCompKeyDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxNoNullCompKeyDescriptor, TnxCompKeyDescriptor, TnxKeyDescriptorClass,
                              &nxNewKeyDescriptor<TnxNoNullCompKeyDescriptor>)
  using TnxCompKeyDescriptor::TnxCompKeyDescriptor;

  // Every key field's field must be required or filled by the engine.
  void CheckValid(bool aForBuild) override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  bool HasNullFlags() const noexcept override { return false; }
};

class TnxKeyFieldDescriptor : public TnxLocalizedDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxKeyFieldDescriptor, TnxLocalizedDictionaryItem, TnxKeyFieldDescriptorClass,
                              &nxKeyFieldDescriptorClasses, &nxNewKeyFieldDescriptor<TnxKeyFieldDescriptor>)

  TnxKeyFieldDescriptor(TnxPersistent* aParent, int32_t aFieldNumber);
  ~TnxKeyFieldDescriptor() override;

  int32_t FieldNumber() const noexcept { return kfdFieldNumber; }
  void SetFieldNumber(int32_t aValue);
  // The field of FieldNumber in the related fields descriptor, or the field
  // above for nxKeyFieldOfParentField; null when there is none.
  TnxFieldDescriptor* Field();
  const TnxFieldDescriptor* Field() const { return const_cast<TnxKeyFieldDescriptor*>(this)->Field(); }
  const std::u16string& Desc() const noexcept { return kfdDesc; }
  void SetDesc(std::u16string_view aValue);
  const std::u16string& KeyFieldEngine() const noexcept { return kfdKeyFieldEngine; }
  void SetKeyFieldEngine(std::u16string_view aValue);
  bool Ascend() const noexcept { return kfdAscend; }
  void SetAscend(bool aValue);
  TnxNullBehaviour NullBehaviour() const noexcept { return kfdNullBehaviour; }
  void SetNullBehaviour(TnxNullBehaviour aValue);
  int32_t OverrideLengthBytes() const noexcept { return kfdOverrideLengthBytes; }
  void SetOverrideLengthBytes(int32_t aValue);
  int32_t OverrideLengthChars() const noexcept { return kfdOverrideLengthChars; }
  void SetOverrideLengthChars(int32_t aValue);
  // Bytes the field takes in a key (0 without a field).
  int64_t KeyLength() const;
  int32_t KeyChars() const;

  virtual bool CanContainNulls() const;

  TnxLocaleDescriptor* GetDefaultLocaleDescriptor() override;
  void FieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField) override;
  bool DoRequiresPack() const override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  // The oldest layout may carry a locale only for the extended text class.
  virtual bool WritesLocaleInOldLayout() const noexcept { return false; }

private:
  void Listen();
  void StopListening() noexcept;
  void ResetParentKeyLen() const noexcept;

  int32_t kfdFieldNumber = 0;
  std::u16string kfdDesc;
  std::u16string kfdKeyFieldEngine;
  bool kfdAscend = true;
  int32_t kfdOverrideLengthBytes = 0;
  int32_t kfdOverrideLengthChars = 0;
  TnxNullBehaviour kfdNullBehaviour = nbTop;
  TnxFieldsDescriptor* kfdListeningTo = nullptr;  // not owned
};

class TnxTextKeyFieldDescriptor : public TnxKeyFieldDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxTextKeyFieldDescriptor, TnxKeyFieldDescriptor, TnxKeyFieldDescriptorClass,
                              &nxNewKeyFieldDescriptor<TnxTextKeyFieldDescriptor>)
  using TnxKeyFieldDescriptor::TnxKeyFieldDescriptor;

  bool IgnoreCase() const noexcept { return tkfIgnoreCase; }
  void SetIgnoreCase(bool aValue);

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  bool tkfIgnoreCase = false;
};

// A text key field that keeps its locale even for the oldest readers.
class TnxExtTextKeyFieldDescriptor : public TnxTextKeyFieldDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxExtTextKeyFieldDescriptor, TnxTextKeyFieldDescriptor, TnxKeyFieldDescriptorClass,
                              &nxNewKeyFieldDescriptor<TnxExtTextKeyFieldDescriptor>)
  using TnxTextKeyFieldDescriptor::TnxTextKeyFieldDescriptor;

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  bool WritesLocaleInOldLayout() const noexcept override { return true; }
};

}  // namespace revurov
