// One field of a table: name, type, units and decimals, its place in the
// record buffer, and the rules (SetupField) that fix its byte length.
//
// Contract:
// - SetupField is the one authority on units, decimals, required flag and
//   byte length of a type (dictionary/field_types.h does the arithmetic).
// - A field lives under a fields descriptor, which sets its number and
//   offset; a field made alone has number and offset 0.
// - Names pass the identifier check (10038); lower-casing for lookup maps
//   A to Z only.
// - A field owns its default value and its list of validations.
// - Raises EnxFieldDescriptorException.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dictionary/field_types.h"
#include "dictionary/locale_descriptor.h"

namespace revurov::platform {
class TnxVariant;
}

namespace revurov {

class TnxFieldDescriptor;
class TnxFieldsDescriptor;
class TnxBaseDefaultValueDescriptor;
struct TnxDefaultValueDescriptorClass;
class TnxFieldValidationsDescriptor;

extern TnxClassRegistry nxFieldDescriptorClasses;

struct TnxFieldDescriptorClass : TnxRegisterableClass {
  std::unique_ptr<TnxFieldDescriptor> (*Create)(TnxPersistent* aParent, std::u16string_view aName,
                                                std::u16string_view aDesc, TnxFieldType aType, int32_t aUnits,
                                                int32_t aDecPl, bool aRequired) = nullptr;
};
template <class T>
std::unique_ptr<TnxFieldDescriptor> nxNewFieldDescriptor(TnxPersistent* aParent, std::u16string_view aName,
                                                         std::u16string_view aDesc, TnxFieldType aType,
                                                         int32_t aUnits, int32_t aDecPl, bool aRequired) {
  return std::make_unique<T>(aParent, aName, aDesc, aType, aUnits, aDecPl, aRequired);
}

// Record and key lengths travel in 16-bit fields: the longest a layout may
// be.
inline constexpr int32_t nxMax16BitLength = 0xFFFF;

// The identifier of a type as streams carry it ("nxtInt32"); an unknown
// identifier answers false.
std::u16string_view nxFieldTypeIdent(TnxFieldType aType) noexcept;
bool nxFieldTypeFromIdent(std::u16string_view aIdent, TnxFieldType& aType) noexcept;

// What a read-only view of a field answers; the fields descriptor and the
// key field engines give it out. Not reference counted: the dictionary
// owns the field.
class InxFieldDescriptor {
public:
  virtual std::u16string GetName() = 0;
  virtual TnxFieldType GetFieldType() = 0;
  virtual int32_t GetUnits() = 0;
  virtual int32_t GetDecPl() = 0;
  virtual TnxLocaleDescriptor* GetFieldLocaleDescriptor() = 0;
  virtual uint16_t GetUsedStorageCodePage() = 0;

protected:
  ~InxFieldDescriptor() = default;
};

// Reads class name, name, description, type identifier, units, decimals and
// required flag and creates the field under aParent (15499 for a class that
// is not registered, 15498 for an unknown type).
std::unique_ptr<TnxFieldDescriptor> nxReadFieldHeader(TnxReader& aReader, TnxPersistent* aParent);

class TnxFieldDescriptor : public TnxLocalizedDictionaryItem, public InxFieldDescriptor {
  REVUROV_REGISTERABLE_FAMILY(TnxFieldDescriptor, TnxLocalizedDictionaryItem, TnxFieldDescriptorClass,
                              &nxFieldDescriptorClasses, &nxNewFieldDescriptor<TnxFieldDescriptor>)

  // 10038 for a bad name; units, decimals and required flag are normalised.
  TnxFieldDescriptor(TnxPersistent* aParent, std::u16string_view aName, std::u16string_view aDesc,
                     TnxFieldType aType, int32_t aUnits, int32_t aDecPl, bool aRequired);
  ~TnxFieldDescriptor() override;

  static void SetupField(TnxFieldType aType, int32_t& aUnits, int32_t& aDecPl, bool& aRequired,
                         int32_t& aLength) noexcept;

  const std::u16string& Name() const noexcept { return fdName; }
  const std::u16string& NameLowerCase() const noexcept { return fdNameLowerCase; }
  int32_t Number() const noexcept { return fdNumber; }
  const std::u16string& Desc() const noexcept { return fdDesc; }
  void SetDesc(std::u16string_view aValue);
  TnxFieldType FieldType() const noexcept { return fdType; }
  int32_t Units() const noexcept { return fdUnits; }
  int32_t DecPl() const noexcept { return fdDecPl; }
  int32_t Offset() const noexcept { return fdOffset; }
  int32_t Length() const noexcept { return fdLength; }
  bool Required() const noexcept { return fdRequired; }
  bool NoClientAccess() const noexcept { return fdNoClientAccess; }
  void SetNoClientAccess(bool aValue);
  int32_t BlobIndex() const noexcept { return fdBlobIndex; }
  bool IsBlob() const noexcept { return (nxBlobFieldTypes & nxFieldTypeBit(fdType)) != 0; }

  TnxBaseDefaultValueDescriptor* DefaultValue() const noexcept { return fdDefaultValue.get(); }
  // Replaces the default value by a new one of aClass (null: a constant).
  TnxBaseDefaultValueDescriptor* AddDefaultValue(const TnxDefaultValueDescriptorClass* aClass = nullptr);
  void RemoveDefaultValue();

  // The field's rules; null without any.
  TnxFieldValidationsDescriptor* Validations() const noexcept { return fdValidations.get(); }
  // Replaces the rule list by an empty one.
  TnxFieldValidationsDescriptor* AddValidations();
  void RemoveValidations();

  // SetupField again on the stored values.
  void UpdateSetup() noexcept;
  // New units and the length they give, without a writability check; the
  // fields descriptor must recompute its offsets (UpdateSetupAndOffsets).
  void ResizeUnits(int32_t aUnits) noexcept {
    fdUnits = aUnits;
    UpdateSetup();
  }
  // 8712 outside a fields descriptor; 10009 when any field (this one
  // included) answers to the new name.
  void ChangeName(std::u16string_view aNewName);

  // Null for a null buffer.
  platform::TnxVariant fdGetBufferAsVariant(const void* aFieldBuffer);
  // Empty or Null zero-fill the field; a failed conversion zero-fills it
  // and raises on.
  void fdSetBufferAsVariant(void* aFieldBuffer, const platform::TnxVariant& aValue);
  // "[2] City - ShortString(20)".
  std::u16string ToString() const;

  // A field readable without its fields descriptor.
  void SaveStandalone(TnxWriter& aWriter, uint32_t aClientVersion) const;
  static std::unique_ptr<TnxFieldDescriptor> CreateStandaloneFromReader(TnxReader& aReader);

  // A client cache keeps only next-LSN defaults.
  virtual void PrepareForCache();

  // InxFieldDescriptor.
  std::u16string GetName() override { return fdName; }
  TnxFieldType GetFieldType() override { return fdType; }
  int32_t GetUnits() override { return fdUnits; }
  int32_t GetDecPl() override { return fdDecPl; }
  TnxLocaleDescriptor* GetFieldLocaleDescriptor() override { return GetUsedLocaleDescriptor(); }
  uint16_t GetUsedStorageCodePage() override;

  bool FindRelatedDescriptorOfType(const TnxRegisterableClass& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom = nullptr) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TnxDictionaryItem* aItem) const override;
  void SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const override;
  void LoadFromReader(TnxReader& aReader) override;

private:
  friend class TnxFieldsDescriptor;
  std::u16string fdName;
  int32_t fdNumber = 0;
  std::u16string fdNameLowerCase;
  TnxFieldDescriptor* fdSameHashNext = nullptr;  // not owned; the name hash's chain
  std::u16string fdDesc;
  TnxFieldType fdType = nxtBoolean;
  int32_t fdUnits = 0;
  int32_t fdDecPl = 0;
  int32_t fdOffset = 0;
  int32_t fdLength = 0;
  bool fdRequired = false;
  bool fdNoClientAccess = false;
  int32_t fdBlobIndex = -1;
  std::unique_ptr<TnxBaseDefaultValueDescriptor> fdDefaultValue;
  std::unique_ptr<TnxFieldValidationsDescriptor> fdValidations;
};

}  // namespace revurov
