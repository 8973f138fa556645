// Rules on field values kept in the dictionary: the rule base, the
// minimum/maximum and no-change rules, the CHECK rule and the lists of
// rules a field or a record layout owns.
//
// Contract:
// - A rule has a valid identifier as name (10068) and the sides it applies
//   at; a new rule applies at the server only. A CHECK rule never applies
//   at the client: its apply-at set is masked to the server.
// - Minimum/maximum and no-change rules watch the field above their list
//   and compare through their own key field (field number
//   nxKeyFieldOfParentField), which a new rule and CheckValid give them.
//   Bounds are values in the field's buffer form, as long as the field.
//   CheckValid refuses them on blob fields with 10001.
// - A list holds rules with names unique without regard to case (10009)
//   and of its own rule class only (9986). A record list takes record-level
//   rules only.
// - Streams name each rule's class; a class the rule registry does not hold
//   is refused with 15499, an unknown layout with 15498, and a client older
//   than 20000 gets 12039 before anything is written.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/apply_at.h"
#include "dictionary/dictionary_item.h"
#include "dictionary/field_types.h"

namespace revurov {

class TnxBaseFieldValidationDescriptor;
class TnxFieldDescriptor;
class TnxKeyFieldDescriptor;
struct TnxKeyFieldDescriptorClass;
namespace platform {
class TnxVariant;
}

extern TnxClassRegistry nxValidationDescriptorClasses;

struct TnxValidationDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseFieldValidationDescriptor> (*Create)(TnxPersistent* aParent,
                                                              std::u16string_view aName) = nullptr;
  // Class-level: the field types a rule of this class cannot watch.
  TnxFieldTypes InvalidFieldTypes = 0;
};
template <class T>
std::unique_ptr<TnxBaseFieldValidationDescriptor> nxNewValidationDescriptor(TnxPersistent* aParent,
                                                                            std::u16string_view aName) {
  return std::make_unique<T>(aParent, aName);
}

class TnxBaseFieldValidationDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseFieldValidationDescriptor, TnxDictionaryItem, TnxValidationDescriptorClass,
                              &nxValidationDescriptorClasses, &nxNewValidationDescriptor<TnxBaseFieldValidationDescriptor>,
                              nxBlobFieldTypes)

  // 10068 when aName is no identifier.
  TnxBaseFieldValidationDescriptor(TnxPersistent* aParent, std::u16string_view aName);

  const std::u16string& Name() const noexcept { return bvdName; }
  virtual TnxApplyAtSet GetApplyAt() const noexcept { return bvdApplyAt; }
  virtual void SetApplyAt(TnxApplyAtSet aValue);

  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::u16string bvdName;
  TnxApplyAtSet bvdApplyAt = nxApplyAtBit(aaServer);
};

// A rule that compares the field's value through a key field of its own.
class TnxKeyFieldValidationDescriptor : public TnxBaseFieldValidationDescriptor {
public:
  // Adds the default key field.
  TnxKeyFieldValidationDescriptor(TnxPersistent* aParent, std::u16string_view aName);
  ~TnxKeyFieldValidationDescriptor() override;

  // Null when removed or read as absent.
  TnxKeyFieldDescriptor* KeyField() const noexcept { return kvdKeyField.get(); }
  // Replaces the key field by one of aClass (null: the default class).
  TnxKeyFieldDescriptor* AddKeyField(const TnxKeyFieldDescriptorClass* aClass = nullptr);
  void RemoveKeyField();
  // The field the rule watches; null outside a field.
  TnxFieldDescriptor* Field() const;

  // 10001 on a field type the class cannot watch; adds a missing key field.
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;

protected:
  void SaveKeyField(TnxWriter& aWriter, uint32_t aClientVersion) const;
  void LoadKeyField(TnxReader& aReader);
  // Raises the class's own exception.
  [[noreturn]] virtual void RaiseError(uint32_t aCode, std::u16string_view aFormat,
                                       std::initializer_list<platform::TFormatArg> aArgs) const = 0;

private:
  std::unique_ptr<TnxKeyFieldDescriptor> kvdKeyField;
};

// The field's value must lie between the bounds that are set.
class TnxMinMaxValidationDescriptor : public TnxKeyFieldValidationDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxMinMaxValidationDescriptor, TnxBaseFieldValidationDescriptor,
                              TnxValidationDescriptorClass,
                              &nxNewValidationDescriptor<TnxMinMaxValidationDescriptor>, nxBlobFieldTypes)
  using TnxKeyFieldValidationDescriptor::TnxKeyFieldValidationDescriptor;

  // The bounds in the field's buffer form; empty when absent.
  const std::optional<std::vector<uint8_t>>& Min() const noexcept { return mmvdMin; }
  const std::optional<std::vector<uint8_t>>& Max() const noexcept { return mmvdMax; }
  // Null when absent.
  platform::TnxVariant GetMinAsVariant() const;
  platform::TnxVariant GetMaxAsVariant() const;
  // Empty or Null drops the bound; a value the field cannot take leaves it
  // absent and raises on.
  void SetMinAsVariant(const platform::TnxVariant& aValue);
  void SetMaxAsVariant(const platform::TnxVariant& aValue);

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  [[noreturn]] void RaiseError(uint32_t aCode, std::u16string_view aFormat,
                               std::initializer_list<platform::TFormatArg> aArgs) const override;

private:
  platform::TnxVariant BoundAsVariant(const std::optional<std::vector<uint8_t>>& aBound) const;
  void SetBound(std::optional<std::vector<uint8_t>>& aBound, const platform::TnxVariant& aValue);

  std::optional<std::vector<uint8_t>> mmvdMin;
  std::optional<std::vector<uint8_t>> mmvdMax;
};

// A value once set must not change (nor become null).
class TnxNoChangeValidationDescriptor : public TnxKeyFieldValidationDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxNoChangeValidationDescriptor, TnxBaseFieldValidationDescriptor,
                              TnxValidationDescriptorClass,
                              &nxNewValidationDescriptor<TnxNoChangeValidationDescriptor>, nxBlobFieldTypes)
  using TnxKeyFieldValidationDescriptor::TnxKeyFieldValidationDescriptor;

  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

protected:
  [[noreturn]] void RaiseError(uint32_t aCode, std::u16string_view aFormat,
                               std::initializer_list<platform::TFormatArg> aArgs) const override;
};

// Base of the rules on a whole record.
class TnxBaseFieldsValidationDescriptor : public TnxBaseFieldValidationDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxBaseFieldsValidationDescriptor, TnxBaseFieldValidationDescriptor,
                              TnxValidationDescriptorClass,
                              &nxNewValidationDescriptor<TnxBaseFieldsValidationDescriptor>, nxBlobFieldTypes)
  using TnxBaseFieldValidationDescriptor::TnxBaseFieldValidationDescriptor;
};

// An SQL CHECK expression. No SQL engine is part of this library: the rule
// is kept, streamed and compared only.
class TnxSqlCheckValidationDescriptor : public TnxBaseFieldsValidationDescriptor {
  REVUROV_REGISTERABLE_RECORD(TnxSqlCheckValidationDescriptor, TnxBaseFieldsValidationDescriptor,
                              TnxValidationDescriptorClass,
                              &nxNewValidationDescriptor<TnxSqlCheckValidationDescriptor>, nxBlobFieldTypes)
  using TnxBaseFieldsValidationDescriptor::TnxBaseFieldsValidationDescriptor;

  TnxApplyAtSet GetApplyAt() const noexcept override;
  void SetApplyAt(TnxApplyAtSet aValue) override;
  const std::u16string& Constraint() const noexcept { return scvdConstraint; }
  const std::u16string& ErrorMessage() const noexcept { return scvdErrorMessage; }
  void SetConstraint(std::u16string_view aValue);
  void SetErrorMessage(std::u16string_view aValue);

  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::u16string scvdConstraint;
  std::u16string scvdErrorMessage;
};

class TnxFieldValidationsDescriptor : public TnxDictionaryItem {
  REVUROV_REGISTERABLE_CLASS(TnxFieldValidationsDescriptor, TnxDictionaryItem)

  explicit TnxFieldValidationsDescriptor(TnxPersistent* aParent);
  ~TnxFieldValidationsDescriptor() override;

  // The class every rule of this list derives from.
  virtual const TnxValidationDescriptorClass& ValidationClass() const noexcept;

  int32_t ValidationCount() const noexcept { return static_cast<int32_t>(fvdValidations.size()); }
  TnxBaseFieldValidationDescriptor* ValidationDescriptor(int32_t aIndex) const;
  // aClass null: ValidationClass. 10068, 10009, 9986.
  TnxBaseFieldValidationDescriptor* AddValidation(std::u16string_view aName,
                                                  const TnxValidationDescriptorClass* aClass = nullptr);
  // Outside the list: nothing.
  void RemoveValidation(int32_t aIndex);
  void RemoveValidation(std::u16string_view aName);
  // Without regard to case; -1 when absent.
  int32_t GetValidationDescriptorFromName(std::u16string_view aName) const;
  int32_t GetValidationDescriptorFromClassName(std::u16string_view aClassName) const;

  void Clear(bool aNotify) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  std::vector<std::unique_ptr<TnxBaseFieldValidationDescriptor>> fvdValidations;
};

// Reads the class name a list is streamed under, then the list: a field's
// list (also under its older name "TnxValidationsDescriptor") or, with
// aForRecord, a record's. Any other name: 15499.
std::unique_ptr<TnxFieldValidationsDescriptor> nxReadValidations(TnxReader& aReader, TnxPersistent* aParent,
                                                                 bool aForRecord);

// The rules on a whole record.
class TnxFieldsValidationsDescriptor : public TnxFieldValidationsDescriptor {
  REVUROV_REGISTERABLE_CLASS(TnxFieldsValidationsDescriptor, TnxFieldValidationsDescriptor)
  using TnxFieldValidationsDescriptor::TnxFieldValidationsDescriptor;

  const TnxValidationDescriptorClass& ValidationClass() const noexcept override;
};

}  // namespace revurov
