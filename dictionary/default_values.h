// The default value a field may carry: a constant, the current date or
// time, the connected user's name, a new GUID, an all-zero value or the
// next log sequence number, and when it applies (insert, modify, server or
// client side, whether it overwrites a value present).
//
// Contract:
// - A default value lives under its field descriptor; adding one to a
//   blob field raises 10001. CheckValid refuses a kind on a type it does
//   not serve (10001).
// - A constant keeps the value in the field's native form together with a
//   snapshot of the field's setup; when the field changes, the value is
//   converted on the next read or write (10002 when it cannot be).
// - Writing never changes the descriptor, except that a constant whose
//   field changed is converted first (a read-only dictionary has no such
//   change to make).
// - Raises EnxBaseDefaultValueDescriptorException and its family.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "dictionary/apply_at.h"
#include "dictionary/dictionary_item.h"
#include "dictionary/field_types.h"

namespace revurov::platform {
class TnxVariant;
}

namespace revurov {

class TnxBaseDefaultValueDescriptor;
class TnxFieldDescriptor;

extern TnxClassRegistry nxDefaultValueDescriptorClasses;

struct TnxDefaultValueDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseDefaultValueDescriptor> (*Create)(TnxPersistent* aParent) = nullptr;
  // Class-level: the field types this kind does not serve.
  TnxFieldTypes InvalidFieldTypes = 0;
};
template <class T>
std::unique_ptr<TnxBaseDefaultValueDescriptor> nxNewDefaultValueDescriptor(TnxPersistent* aParent) {
  return std::make_unique<T>(aParent);
}

// 10001 on a blob field: no kind of default serves one. The field's
// AddDefaultValue asks before it creates the descriptor.
void nxCheckDefaultValueForField(const TnxDefaultValueDescriptorClass& aClass, const TnxFieldDescriptor& aField);

class TnxBaseDefaultValueDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseDefaultValueDescriptor, TnxDictionaryItem, TnxDefaultValueDescriptorClass,
                              &nxDefaultValueDescriptorClasses, nullptr, nxBlobFieldTypes)

  // aParent is the field descriptor: 8712 without one.
  explicit TnxBaseDefaultValueDescriptor(TnxPersistent* aParent);

  TnxFieldDescriptor& Field() const noexcept { return *bdvField; }
  TnxApplyAtSet ApplyAt() const noexcept { return bdvApplyAt; }
  bool ApplyOnInsert() const noexcept { return bdvApplyOnInsert; }
  bool ApplyOnModify() const noexcept { return bdvApplyOnModify; }
  bool OverwriteNonNull() const noexcept { return bdvOverwriteNonNull; }
  virtual void SetApplyAt(TnxApplyAtSet aValue);
  virtual void SetApplyOnInsert(bool aValue);
  virtual void SetApplyOnModify(bool aValue);
  virtual void SetOverwriteNonNull(bool aValue);
  // The engine class found for this descriptor; several threads may store
  // the same class.
  const TnxRegisterableClass* CachedEngineClass() const noexcept { return bdvCachedEngineClass.load(); }
  void SetCachedEngineClass(const TnxRegisterableClass* aClass) noexcept { bdvCachedEngineClass.store(aClass); }

  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  void StoreSettings(TnxApplyAtSet aApplyAt, bool aInsert, bool aModify, bool aOverwrite) noexcept;

private:
  TnxFieldDescriptor* bdvField = nullptr;  // the owner
  std::atomic<const TnxRegisterableClass*> bdvCachedEngineClass{nullptr};
  TnxApplyAtSet bdvApplyAt = nxApplyAtBoth;
  bool bdvApplyOnInsert = true;
  bool bdvApplyOnModify = false;
  bool bdvOverwriteNonNull = false;
};

class TnxConstDefaultValueDescriptor : public TnxBaseDefaultValueDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxConstDefaultValueDescriptor, TnxBaseDefaultValueDescriptor,
                              TnxDefaultValueDescriptorClass,
                              &nxNewDefaultValueDescriptor<TnxConstDefaultValueDescriptor>, nxBlobFieldTypes)

  explicit TnxConstDefaultValueDescriptor(TnxPersistent* aParent);

  platform::TnxVariant AsVariant();
  void SetAsVariant(const platform::TnxVariant& aValue);
  // The value in the field's native form.
  const std::vector<uint8_t>& DefaultValue() const noexcept { return cdvDefaultValue; }
  // Takes the value as being in the field's present form: a field reads
  // its locale after its default value, and the value read was written
  // for the field as it is once read whole.
  void TakeFieldSnapshot() { TakeSnapshot(); }

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  bool InSyncWithField() const;
  void TakeSnapshot();
  // Follows a change of the field; with aConvert the old value is carried
  // over (10002 when it cannot be).
  void cdvSyncWithField(bool aConvert);

  TnxFieldType cdvFieldType = nxtBoolean;
  uint16_t cdvFieldCodePage = 0;
  int32_t cdvFieldUnits = 0;
  int32_t cdvFieldDecPl = 0;
  int32_t cdvFieldLength = 0;
  std::vector<uint8_t> cdvDefaultValue;
};

class TnxCurrentDateTimeDefaultValueDescriptor : public TnxBaseDefaultValueDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxCurrentDateTimeDefaultValueDescriptor, TnxBaseDefaultValueDescriptor,
                              TnxDefaultValueDescriptorClass,
                              &nxNewDefaultValueDescriptor<TnxCurrentDateTimeDefaultValueDescriptor>,
                              ~(nxFieldTypeBit(nxtDate) | nxFieldTypeBit(nxtTime) | nxFieldTypeBit(nxtDateTime)))
  using TnxBaseDefaultValueDescriptor::TnxBaseDefaultValueDescriptor;
};

class TnxCurrentUserDefaultValueDescriptor : public TnxBaseDefaultValueDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxCurrentUserDefaultValueDescriptor, TnxBaseDefaultValueDescriptor,
                              TnxDefaultValueDescriptorClass,
                              &nxNewDefaultValueDescriptor<TnxCurrentUserDefaultValueDescriptor>,
                              ~(nxFieldTypeBit(nxtShortString) | nxFieldTypeBit(nxtNullString) |
                                nxFieldTypeBit(nxtWideString)))
  using TnxBaseDefaultValueDescriptor::TnxBaseDefaultValueDescriptor;
};

class TnxAutoGuidDefaultValueDescriptor : public TnxBaseDefaultValueDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxAutoGuidDefaultValueDescriptor, TnxBaseDefaultValueDescriptor,
                              TnxDefaultValueDescriptorClass,
                              &nxNewDefaultValueDescriptor<TnxAutoGuidDefaultValueDescriptor>,
                              ~nxFieldTypeBit(nxtGuid))
  using TnxBaseDefaultValueDescriptor::TnxBaseDefaultValueDescriptor;
};

class TnxEmptyDefaultValueDescriptor : public TnxBaseDefaultValueDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxEmptyDefaultValueDescriptor, TnxBaseDefaultValueDescriptor,
                              TnxDefaultValueDescriptorClass,
                              &nxNewDefaultValueDescriptor<TnxEmptyDefaultValueDescriptor>,
                              nxFieldTypeBit(nxtDate) | nxFieldTypeBit(nxtTime) | nxFieldTypeBit(nxtDateTime) |
                                  nxFieldTypeBit(nxtInterval) | nxFieldTypeBit(nxtBlob) |
                                  nxFieldTypeBit(nxtBlobMemo) | nxFieldTypeBit(nxtBlobGraphic))
  using TnxBaseDefaultValueDescriptor::TnxBaseDefaultValueDescriptor;
};

// Server side, on insert, always overwriting: only ApplyOnModify is free
// (true: the table's modify-LSN field, false: its insert-LSN field).
class TnxNextLSNDefaultValueDescriptor : public TnxBaseDefaultValueDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxNextLSNDefaultValueDescriptor, TnxBaseDefaultValueDescriptor,
                              TnxDefaultValueDescriptorClass,
                              &nxNewDefaultValueDescriptor<TnxNextLSNDefaultValueDescriptor>,
                              ~nxFieldTypeBit(nxtInt64))
  explicit TnxNextLSNDefaultValueDescriptor(TnxPersistent* aParent);

  void SetApplyAt(TnxApplyAtSet aValue) override;
  void SetApplyOnInsert(bool aValue) override;
  void SetOverwriteNonNull(bool aValue) override;
};

}  // namespace revurov
