#include "dictionary/validation_descriptors.h"

#include "dictionary/field_descriptor.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/native_variant_converter.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/text.h"

namespace revurov {

constinit TnxClassRegistry nxValidationDescriptorClasses;

namespace {

constexpr std::u16string_view kDuplicatedName = u"Duplicated validation descriptor name: %s";

void CheckRuleName(std::u16string_view aName) {
  if (nxCheckIdentifier(aName, nxeInvalidName, false, true) != 0)
    throw EnxBaseFieldValidationDescriptorException(nxeInvalidName);
}

void CheckStreamVersion(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EnxBaseFieldValidationDescriptorException(nxeIncompatibleStream);
}

}  // namespace

// ---- TnxBaseFieldValidationDescriptor ----

TnxBaseFieldValidationDescriptor::TnxBaseFieldValidationDescriptor(TnxPersistent* aParent, std::u16string_view aName)
    : TnxDictionaryItem(aParent), bvdName((CheckRuleName(aName), aName)) {}

void TnxBaseFieldValidationDescriptor::SetApplyAt(TnxApplyAtSet aValue) {
  CheckReadOnly();
  bvdApplyAt = aValue & nxApplyAtBoth;
}

void TnxBaseFieldValidationDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  CheckRuleName(bvdName);
}

bool TnxBaseFieldValidationDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseFieldValidationDescriptor*>(aItem);
  return other && GetApplyAt() == other->GetApplyAt();
}

void TnxBaseFieldValidationDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  // Older readers know no rules at all: refused before anything is written.
  if (aClientVersion < nxClientVersionIDs) throw EnxBaseFieldValidationDescriptorException(nxeIncompatibleVersion);
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteBoolean((GetApplyAt() & nxApplyAtBit(aaServer)) != 0);
  aWriter.WriteBoolean((GetApplyAt() & nxApplyAtBit(aaClient)) != 0);
}

void TnxBaseFieldValidationDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  CheckStreamVersion(aReader);
  const bool server = aReader.ReadBoolean();
  const bool client = aReader.ReadBoolean();
  // Through the setter: a CHECK rule stays on the server.
  SetApplyAt(TnxApplyAtSet((server ? nxApplyAtBit(aaServer) : 0) | (client ? nxApplyAtBit(aaClient) : 0)));
}

// ---- TnxKeyFieldValidationDescriptor ----

TnxKeyFieldValidationDescriptor::TnxKeyFieldValidationDescriptor(TnxPersistent* aParent, std::u16string_view aName)
    : TnxBaseFieldValidationDescriptor(aParent, aName) {
  // A new rule compares as its field does without further steps.
  kvdKeyField = std::make_unique<TnxKeyFieldDescriptor>(this, nxKeyFieldOfParentField);
}

TnxKeyFieldValidationDescriptor::~TnxKeyFieldValidationDescriptor() { kvdKeyField.reset(); }

TnxKeyFieldDescriptor* TnxKeyFieldValidationDescriptor::AddKeyField(const TnxKeyFieldDescriptorClass* aClass) {
  CheckReadOnly();
  kvdKeyField.reset();
  if (!aClass) aClass = &TnxKeyFieldDescriptor::ClassInfo();
  kvdKeyField = aClass->Create(this, nxKeyFieldOfParentField);
  return kvdKeyField.get();
}

void TnxKeyFieldValidationDescriptor::RemoveKeyField() {
  CheckReadOnly();
  kvdKeyField.reset();
}

TnxFieldDescriptor* TnxKeyFieldValidationDescriptor::Field() const {
  TnxPersistent* field = nullptr;
  return FindParentOfType(TnxFieldDescriptor::ClassInfo(), field) ? static_cast<TnxFieldDescriptor*>(field) : nullptr;
}

void TnxKeyFieldValidationDescriptor::CheckValid(bool aForBuild) {
  TnxBaseFieldValidationDescriptor::CheckValid(aForBuild);
  if (const TnxFieldDescriptor* field = Field();
      field && (ClassType().InvalidFieldTypes & nxFieldTypeBit(field->FieldType())))
    RaiseError(nxeInvalidFieldDescriptor, u"\"%s\" is not supported for field type \"%s\"",
               {ClassName(), nxFieldTypeIdent(field->FieldType())});
  if (!kvdKeyField) AddKeyField();
  kvdKeyField->CheckValid(aForBuild);
}

bool TnxKeyFieldValidationDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseFieldValidationDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxKeyFieldValidationDescriptor*>(aItem);
  if (!other || !kvdKeyField != !other->kvdKeyField) return false;
  return !kvdKeyField || kvdKeyField->IsEqual(other->kvdKeyField.get());
}

void TnxKeyFieldValidationDescriptor::SaveKeyField(TnxWriter& aWriter, uint32_t aClientVersion) const {
  aWriter.WriteBoolean(kvdKeyField != nullptr);
  if (!kvdKeyField) return;
  aWriter.WriteString(kvdKeyField->ClassName());
  kvdKeyField->SaveToWriter(aWriter, aClientVersion);
}

void TnxKeyFieldValidationDescriptor::LoadKeyField(TnxReader& aReader) {
  RemoveKeyField();
  if (!aReader.ReadBoolean()) return;
  const std::u16string className = aReader.ReadString();
  const auto* cls = nxFindClassAs<TnxKeyFieldDescriptorClass>(TnxKeyFieldDescriptor::ClassInfo(), className);
  if (!cls || !cls->Create)
    RaiseError(nxeUnsupportedDictionaryDescriptor, nxsClassNotSupported, {u"KeyFieldDescriptor", className});
  AddKeyField(cls)->LoadFromReader(aReader);
}

// ---- TnxMinMaxValidationDescriptor ----

void TnxMinMaxValidationDescriptor::RaiseError(uint32_t aCode, std::u16string_view aFormat,
                                               std::initializer_list<platform::TFormatArg> aArgs) const {
  throw EnxMinMaxValidationDescriptorException(aCode, aFormat, aArgs);
}

platform::TnxVariant TnxMinMaxValidationDescriptor::BoundAsVariant(
    const std::optional<std::vector<uint8_t>>& aBound) const {
  TnxFieldDescriptor* field = Field();
  if (!aBound || !field) return platform::TnxVariant::Null();
  // A bound read before the field changed length is read at the field's.
  std::vector<uint8_t> buffer = *aBound;
  buffer.resize(static_cast<size_t>(field->Length()));
  return field->fdGetBufferAsVariant(buffer.data());
}

platform::TnxVariant TnxMinMaxValidationDescriptor::GetMinAsVariant() const { return BoundAsVariant(mmvdMin); }
platform::TnxVariant TnxMinMaxValidationDescriptor::GetMaxAsVariant() const { return BoundAsVariant(mmvdMax); }

void TnxMinMaxValidationDescriptor::SetBound(std::optional<std::vector<uint8_t>>& aBound,
                                             const platform::TnxVariant& aValue) {
  CheckReadOnly();
  aBound.reset();
  if (nxVarIsEmptyOrNull(aValue)) return;
  TnxFieldDescriptor* field = Field();
  if (!field) RaiseError(nxeInvalidFieldDescriptor, u"Validation \"%s\" belongs to no field", {Name()});
  std::vector<uint8_t> buffer(static_cast<size_t>(field->Length()));
  field->fdSetBufferAsVariant(buffer.data(), aValue);
  aBound = std::move(buffer);
}

void TnxMinMaxValidationDescriptor::SetMinAsVariant(const platform::TnxVariant& aValue) { SetBound(mmvdMin, aValue); }
void TnxMinMaxValidationDescriptor::SetMaxAsVariant(const platform::TnxVariant& aValue) { SetBound(mmvdMax, aValue); }

bool TnxMinMaxValidationDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxKeyFieldValidationDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxMinMaxValidationDescriptor*>(aItem);
  return other && mmvdMin == other->mmvdMin && mmvdMax == other->mmvdMax;
}

void TnxMinMaxValidationDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxKeyFieldValidationDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  for (const auto* bound : {&mmvdMin, &mmvdMax}) {
    aWriter.WriteBoolean(bound->has_value());
    if (*bound) aWriter.Write((*bound)->data(), static_cast<int64_t>((*bound)->size()));
  }
  SaveKeyField(aWriter, aClientVersion);
}

void TnxMinMaxValidationDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxKeyFieldValidationDescriptor::LoadFromReader(aReader);
  CheckStreamVersion(aReader);
  mmvdMin.reset();
  mmvdMax.reset();
  const TnxFieldDescriptor* field = Field();
  for (auto* bound : {&mmvdMin, &mmvdMax}) {
    if (!aReader.ReadBoolean()) continue;
    // Bounds carry no length of their own: only the field knows it.
    if (!field) throw EnxMinMaxValidationDescriptorException(nxeIncompatibleStream);
    std::vector<uint8_t> buffer(static_cast<size_t>(field->Length()));
    aReader.Read(buffer.data(), static_cast<int64_t>(buffer.size()));
    *bound = std::move(buffer);
  }
  LoadKeyField(aReader);
}

// ---- TnxNoChangeValidationDescriptor ----

void TnxNoChangeValidationDescriptor::RaiseError(uint32_t aCode, std::u16string_view aFormat,
                                                 std::initializer_list<platform::TFormatArg> aArgs) const {
  throw EnxNoChangeValidationDescriptorException(aCode, aFormat, aArgs);
}

void TnxNoChangeValidationDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxKeyFieldValidationDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  SaveKeyField(aWriter, aClientVersion);
}

void TnxNoChangeValidationDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxKeyFieldValidationDescriptor::LoadFromReader(aReader);
  CheckStreamVersion(aReader);
  LoadKeyField(aReader);
}

// ---- TnxSqlCheckValidationDescriptor ----

TnxApplyAtSet TnxSqlCheckValidationDescriptor::GetApplyAt() const noexcept {
  return TnxBaseFieldsValidationDescriptor::GetApplyAt() & nxApplyAtBit(aaServer);
}

void TnxSqlCheckValidationDescriptor::SetApplyAt(TnxApplyAtSet aValue) {
  TnxBaseFieldsValidationDescriptor::SetApplyAt(aValue & nxApplyAtBit(aaServer));
}

void TnxSqlCheckValidationDescriptor::SetConstraint(std::u16string_view aValue) {
  CheckReadOnly();
  scvdConstraint = aValue;
}

void TnxSqlCheckValidationDescriptor::SetErrorMessage(std::u16string_view aValue) {
  CheckReadOnly();
  scvdErrorMessage = aValue;
}

bool TnxSqlCheckValidationDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseFieldsValidationDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxSqlCheckValidationDescriptor*>(aItem);
  return other && scvdConstraint == other->scvdConstraint;
}

void TnxSqlCheckValidationDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseFieldsValidationDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteWideString_(scvdConstraint);
  aWriter.WriteString(scvdErrorMessage);
}

void TnxSqlCheckValidationDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseFieldsValidationDescriptor::LoadFromReader(aReader);
  CheckStreamVersion(aReader);
  std::u16string constraint = aReader.ReadWideString_();
  std::u16string message = aReader.ReadString();
  SetConstraint(constraint);
  SetErrorMessage(message);
}

// ---- TnxFieldValidationsDescriptor ----

TnxFieldValidationsDescriptor::TnxFieldValidationsDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}

TnxFieldValidationsDescriptor::~TnxFieldValidationsDescriptor() { fvdValidations.clear(); }

const TnxValidationDescriptorClass& TnxFieldValidationsDescriptor::ValidationClass() const noexcept {
  return TnxBaseFieldValidationDescriptor::ClassInfo();
}

TnxBaseFieldValidationDescriptor* TnxFieldValidationsDescriptor::ValidationDescriptor(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= ValidationCount())
    throw EnxFieldValidationsDescriptorException(nxeInvalidParameter, u"Validation index out of range: %d", {aIndex});
  return fvdValidations[static_cast<size_t>(aIndex)].get();
}

TnxBaseFieldValidationDescriptor* TnxFieldValidationsDescriptor::AddValidation(
    std::u16string_view aName, const TnxValidationDescriptorClass* aClass) {
  CheckReadOnly();
  CheckRuleName(aName);
  if (GetValidationDescriptorFromName(aName) >= 0)
    throw EnxFieldValidationsDescriptorException(nxeNameNotUnique, kDuplicatedName, {aName});
  const TnxValidationDescriptorClass& required = ValidationClass();
  if (!aClass) aClass = &required;
  if (!aClass->InheritsFrom(required) || !aClass->Create)
    throw EnxFieldValidationsDescriptorException(nxeInvalidParameter,
                                                 u"%s.AddValidation: aClass must be of type %s but is of type %s",
                                                 {ClassName(), required.Name, aClass->Name});
  fvdValidations.push_back(aClass->Create(this, aName));
  return fvdValidations.back().get();
}

void TnxFieldValidationsDescriptor::RemoveValidation(int32_t aIndex) {
  CheckReadOnly();
  if (aIndex < 0 || aIndex >= ValidationCount()) return;
  fvdValidations.erase(fvdValidations.begin() + aIndex);
}

void TnxFieldValidationsDescriptor::RemoveValidation(std::u16string_view aName) {
  RemoveValidation(GetValidationDescriptorFromName(aName));
}

int32_t TnxFieldValidationsDescriptor::GetValidationDescriptorFromName(std::u16string_view aName) const {
  for (size_t i = 0; i < fvdValidations.size(); ++i)
    if (platform::AsciiSameText(fvdValidations[i]->Name(), aName)) return static_cast<int32_t>(i);
  return -1;
}

int32_t TnxFieldValidationsDescriptor::GetValidationDescriptorFromClassName(std::u16string_view aClassName) const {
  for (size_t i = 0; i < fvdValidations.size(); ++i)
    if (platform::AsciiSameText(fvdValidations[i]->ClassName(), aClassName)) return static_cast<int32_t>(i);
  return -1;
}

void TnxFieldValidationsDescriptor::Clear(bool aNotify) {
  TnxDictionaryItem::Clear(aNotify);
  fvdValidations.clear();
}

void TnxFieldValidationsDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  for (size_t i = 0; i < fvdValidations.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (platform::AsciiSameText(fvdValidations[i]->Name(), fvdValidations[j]->Name()))
        throw EnxFieldValidationsDescriptorException(nxeNameNotUnique, kDuplicatedName, {fvdValidations[i]->Name()});
  for (const auto& rule : fvdValidations) rule->CheckValid(aForBuild);
}

bool TnxFieldValidationsDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxFieldValidationsDescriptor*>(aItem);
  if (!other || other->fvdValidations.size() != fvdValidations.size()) return false;
  for (size_t i = 0; i < fvdValidations.size(); ++i)
    if (!fvdValidations[i]->IsEqual(other->fvdValidations[i].get())) return false;
  return true;
}

void TnxFieldValidationsDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  if (aClientVersion < nxClientVersionIDs) throw EnxFieldValidationsDescriptorException(nxeIncompatibleVersion);
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(ValidationCount());
  for (const auto& rule : fvdValidations) {
    aWriter.WriteString(rule->ClassName());
    aWriter.WriteString(rule->Name());
    rule->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxFieldValidationsDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxFieldValidationsDescriptorException(nxeIncompatibleStream);
  const int32_t count = aReader.ReadInteger();
  if (count < 0) throw EnxFieldValidationsDescriptorException(nxeIncompatibleStream);
  fvdValidations.clear();
  // The count is not trusted for room: each rule is read before the next.
  for (int32_t i = 0; i < count; ++i) {
    const std::u16string className = aReader.ReadString();
    const auto* cls =
        nxFindClassAs<TnxValidationDescriptorClass>(TnxBaseFieldValidationDescriptor::ClassInfo(), className);
    if (!cls) nxRaiseClassNotSupported<EnxFieldValidationsDescriptorException>(u"ValidationDescriptor", className);
    const std::u16string name = aReader.ReadString();
    AddValidation(name, cls)->LoadFromReader(aReader);
  }
}

std::unique_ptr<TnxFieldValidationsDescriptor> nxReadValidations(TnxReader& aReader, TnxPersistent* aParent,
                                                                 bool aForRecord) {
  const std::u16string className = aReader.ReadString();
  std::unique_ptr<TnxFieldValidationsDescriptor> list;
  if (aForRecord && platform::AsciiSameText(className, TnxFieldsValidationsDescriptor::ClassInfo().Name))
    list = std::make_unique<TnxFieldsValidationsDescriptor>(aParent);
  else if (!aForRecord && (platform::AsciiSameText(className, TnxFieldValidationsDescriptor::ClassInfo().Name) ||
                           platform::AsciiSameText(className, u"TnxValidationsDescriptor")))
    list = std::make_unique<TnxFieldValidationsDescriptor>(aParent);
  else
    nxRaiseClassNotSupported<EnxFieldValidationsDescriptorException>(u"ValidationsDescriptor", className);
  list->LoadFromReader(aReader);
  return list;
}

// ---- TnxFieldsValidationsDescriptor ----

const TnxValidationDescriptorClass& TnxFieldsValidationsDescriptor::ValidationClass() const noexcept {
  return TnxBaseFieldsValidationDescriptor::ClassInfo();
}

}  // namespace revurov
