#include "dictionary/field_descriptor.h"

#include <cstring>

#include "dictionary/default_values.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/native_variant_converter.h"
#include "dictionary/table_descriptors.h"
#include "dictionary/validation_descriptors.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/format.h"
#include "platform/text.h"
#include "platform/variant.h"

namespace revurov {

constinit TnxClassRegistry nxFieldDescriptorClasses;

namespace {

constexpr std::u16string_view kFieldTypeIdents[nxFieldTypeCount] = {
    u"nxtBoolean", u"nxtChar", u"nxtWideChar", u"nxtByte", u"nxtWord16", u"nxtWord32", u"nxtInt8",
    u"nxtInt16", u"nxtInt32", u"nxtInt64", u"nxtAutoInc", u"nxtSingle", u"nxtDouble", u"nxtExtended",
    u"nxtCurrency", u"nxtDate", u"nxtTime", u"nxtDateTime", u"nxtInterval", u"nxtBlob", u"nxtBlobMemo",
    u"nxtBlobGraphic", u"nxtByteArray", u"nxtShortString", u"nxtNullString", u"nxtWideString", u"nxtRecRev",
    u"nxtGuid", u"nxtBCD", u"nxtBlobWideMemo", u"nxtFmtBCD", u"nxtRefNr",
};

constexpr uint32_t kClientVersionRefNr = 47005;

bool IsSizedType(TnxFieldType aType) noexcept {
  return aType == nxtByteArray || aType == nxtShortString || aType == nxtNullString || aType == nxtWideString;
}

std::u16string_view BoolText(bool aValue) noexcept { return aValue ? u"True" : u"False"; }

void CheckFieldName(std::u16string_view aName) {
  if (nxCheckIdentifier(aName, nxeInvalidFieldName, false, true) != 0)
    throw EnxFieldDescriptorException(nxeInvalidFieldName);
}

}  // namespace

std::u16string_view nxFieldTypeIdent(TnxFieldType aType) noexcept {
  return aType < nxFieldTypeCount ? kFieldTypeIdents[aType] : std::u16string_view();
}

bool nxFieldTypeFromIdent(std::u16string_view aIdent, TnxFieldType& aType) noexcept {
  for (int t = 0; t < nxFieldTypeCount; ++t)
    if (platform::AsciiSameText(kFieldTypeIdents[t], aIdent)) {
      aType = static_cast<TnxFieldType>(t);
      return true;
    }
  return false;
}

TnxFieldDescriptor::TnxFieldDescriptor(TnxPersistent* aParent, std::u16string_view aName,
                                       std::u16string_view aDesc, TnxFieldType aType, int32_t aUnits,
                                       int32_t aDecPl, bool aRequired)
    : TnxLocalizedDictionaryItem(aParent) {
  CheckFieldName(aName);
  fdName = aName;
  fdNameLowerCase = platform::AsciiLowerCase(aName);
  fdDesc = aDesc;
  fdType = aType;
  fdUnits = aUnits;
  fdDecPl = aDecPl;
  fdRequired = aRequired;
  UpdateSetup();
}

TnxFieldDescriptor::~TnxFieldDescriptor() {
  fdValidations.reset();
  fdDefaultValue.reset();
}

TnxFieldValidationsDescriptor* TnxFieldDescriptor::AddValidations() {
  CheckReadOnly();
  fdValidations.reset();
  fdValidations = std::make_unique<TnxFieldValidationsDescriptor>(this);
  return fdValidations.get();
}

void TnxFieldDescriptor::RemoveValidations() {
  CheckReadOnly();
  fdValidations.reset();
}

TnxBaseDefaultValueDescriptor* TnxFieldDescriptor::AddDefaultValue(const TnxDefaultValueDescriptorClass* aClass) {
  CheckReadOnly();
  fdDefaultValue.reset();
  if (!aClass) aClass = &TnxConstDefaultValueDescriptor::ClassInfo();
  nxCheckDefaultValueForField(*aClass, *this);
  fdDefaultValue = aClass->Create(this);
  return fdDefaultValue.get();
}

void TnxFieldDescriptor::RemoveDefaultValue() {
  CheckReadOnly();
  fdDefaultValue.reset();
}

void TnxFieldDescriptor::PrepareForCache() {
  if (fdDefaultValue && !dynamic_cast<TnxNextLSNDefaultValueDescriptor*>(fdDefaultValue.get())) RemoveDefaultValue();
}

bool TnxFieldDescriptor::FindRelatedDescriptorOfType(const TnxRegisterableClass& aType,
                                                     TnxDictionaryItem*& aDescriptor, TnxDictionaryItem* aFrom) {
  if (aType.InheritsFrom(TnxBaseDefaultValueDescriptor::ClassInfo())) {
    aDescriptor = fdDefaultValue.get();
    return true;
  }
  return TnxLocalizedDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
}

void TnxFieldDescriptor::SetupField(TnxFieldType aType, int32_t& aUnits, int32_t& aDecPl, bool& aRequired,
                                    int32_t& aLength) noexcept {
  nxFieldTypeSetup(aType, aUnits, aDecPl, aRequired, aLength);
}

void TnxFieldDescriptor::UpdateSetup() noexcept { SetupField(fdType, fdUnits, fdDecPl, fdRequired, fdLength); }

void TnxFieldDescriptor::SetDesc(std::u16string_view aValue) {
  if (aValue == fdDesc) return;
  CheckReadOnly();
  fdDesc = aValue;
}

void TnxFieldDescriptor::SetNoClientAccess(bool aValue) {
  if (aValue == fdNoClientAccess) return;
  CheckReadOnly();
  fdNoClientAccess = aValue;
}

void TnxFieldDescriptor::ChangeName(std::u16string_view aNewName) {
  CheckReadOnly();
  CheckFieldName(aNewName);
  auto* fields = static_cast<TnxFieldsDescriptor*>(GetParentOfType(TnxFieldsDescriptor::ClassInfo()));
  if (fields->GetFieldFromName(aNewName) >= 0) throw EnxFieldDescriptorException(nxeNameNotUnique);
  fdName = aNewName;
  fdNameLowerCase = platform::AsciiLowerCase(aNewName);
}

uint16_t TnxFieldDescriptor::GetUsedStorageCodePage() {
  return static_cast<uint16_t>(TnxLocalizedDictionaryItem::GetUsedStorageCodePage());
}

platform::TnxVariant TnxFieldDescriptor::fdGetBufferAsVariant(const void* aFieldBuffer) {
  platform::TnxVariant result = platform::TnxVariant::Null();
  if (aFieldBuffer)
    nxNativeToVariant(fdType, GetUsedStorageCodePage(), fdUnits, result, fdLength, aFieldBuffer, fdDecPl);
  return result;
}

void TnxFieldDescriptor::fdSetBufferAsVariant(void* aFieldBuffer, const platform::TnxVariant& aValue) {
  const auto length = static_cast<size_t>(fdLength);
  if (nxVarIsEmptyOrNull(aValue)) {
    std::memset(aFieldBuffer, 0, length);
    return;
  }
  try {
    nxVariantToFieldBuffer(fdType, GetUsedStorageCodePage(), fdUnits, fdLength, aFieldBuffer, aValue, fdDecPl);
  } catch (...) {
    std::memset(aFieldBuffer, 0, length);
    throw;
  }
}

std::u16string TnxFieldDescriptor::ToString() const {
  std::u16string s = platform::Format(u"[%d] %s - %s", {fdNumber, fdName, nxFieldTypeIdent(fdType).substr(3)});
  switch (fdType) {
    case nxtByteArray:
    case nxtShortString:
    case nxtNullString:
    case nxtWideString:
      s += platform::Format(u"(%d)", {fdUnits});
      break;
    case nxtFmtBCD:
      s += platform::Format(u"(%d,%d)", {fdUnits, fdDecPl});
      break;
    default:
      break;
  }
  return s;
}

void TnxFieldDescriptor::CheckValid(bool aForBuild) {
  TnxLocalizedDictionaryItem::CheckValid(aForBuild);
  CheckFieldName(fdName);
  int32_t units = fdUnits, decPl = fdDecPl, length = 0;
  bool required = fdRequired;
  SetupField(fdType, units, decPl, required, length);
  auto wrong = [&](std::u16string_view aWhat, int32_t aExpected, int32_t aFound) {
    throw EnxFieldDescriptorException(nxeInvalidRecordStructure, u"%s is wrong for field %d (%s). Expected %d found %d.",
                                      {aWhat, fdNumber, fdName, aExpected, aFound});
  };
  if (units != fdUnits) wrong(u"fdUnits", units, fdUnits);
  if (decPl != fdDecPl) wrong(u"fdDecPl", decPl, fdDecPl);
  if (required != fdRequired)
    throw EnxFieldDescriptorException(nxeInvalidRecordStructure,
                                      u"fdRequired is wrong for field %d (%s). Expected %s found %s.",
                                      {fdNumber, fdName, BoolText(required), BoolText(fdRequired)});
  if (length != fdLength) wrong(u"fdLength", length, fdLength);
  if (fdDefaultValue) fdDefaultValue->CheckValid(aForBuild);
  if (fdValidations) fdValidations->CheckValid(aForBuild);
  // A table with such a field needs the storage for it.
  if (fdType == nxtAutoInc || IsBlob()) {
    TnxPersistent* parent = nullptr;
    if (FindParentOfType(TnxBaseTableDescriptor::ClassInfo(), parent)) {
      auto* table = dynamic_cast<TnxBaseTableDescriptor*>(parent);
      if (fdType == nxtAutoInc && !table->AutoIncDescriptor()) table->AddAutoIncDescriptor();
      if (IsBlob() && !table->BlobDescriptor()) table->AddBlobDescriptor();
    }
  }
  if (fdType == nxtInterval)
    throw EnxFieldDescriptorException(nxeInvalidFieldDescriptor, u"Interval is not supported as a field type");
  if (IsSizedType(fdType) && fdUnits < 1)
    throw EnxFieldDescriptorException(nxeInvalidFieldDescriptor, u"Units must be > 0");
  // A record is addressed with 16-bit lengths, so no field may be longer.
  if (fdLength > nxMax16BitLength)
    throw EnxFieldDescriptorException(nxeInvalidFieldDescriptor,
                                      u"Field %d (%s) is %d bytes long; a record holds at most %d bytes",
                                      {fdNumber, fdName, fdLength, nxMax16BitLength});
}

bool TnxFieldDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxLocalizedDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxFieldDescriptor*>(aItem);
  return other && fdName == other->fdName && fdDesc == other->fdDesc &&
         nxFieldTypeEquivalence[other->fdType][fdType] && fdUnits == other->fdUnits &&
         fdDecPl == other->fdDecPl && fdOffset == other->fdOffset && fdLength == other->fdLength &&
         fdRequired == other->fdRequired && fdNoClientAccess == other->fdNoClientAccess &&
         (fdDefaultValue ? fdDefaultValue->IsEqual(other->fdDefaultValue.get()) : !other->fdDefaultValue) &&
         (fdValidations ? fdValidations->IsEqual(other->fdValidations.get()) : !other->fdValidations);
}

void TnxFieldDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  const int32_t version = aClientVersion < nxClientVersionIDs ? 1 : 3;
  // Refused before anything is written.
  if (version == 1 && (LocaleDescriptor() || fdValidations)) throw EnxFieldDescriptorException(nxeIncompatibleVersion);
  TnxLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(version);
  aWriter.WriteInteger(fdOffset);
  aWriter.WriteInteger(fdLength);
  aWriter.WriteBoolean(fdDefaultValue != nullptr);
  if (fdDefaultValue) {
    aWriter.WriteString(fdDefaultValue->ClassName());
    fdDefaultValue->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteBoolean(fdNoClientAccess);
  if (version >= 2) SaveLocaleToWriter(aWriter, aClientVersion);
  if (version >= 3) {
    aWriter.WriteBoolean(fdValidations != nullptr);
    if (fdValidations) {
      aWriter.WriteString(fdValidations->ClassName());
      fdValidations->SaveToWriter(aWriter, aClientVersion);
    }
  }
}

void TnxFieldDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxLocalizedDictionaryItem::LoadFromReader(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version < 1 || version > 3) throw EnxFieldDescriptorException(nxeIncompatibleStream);
  const int32_t offset = aReader.ReadInteger();
  const int32_t length = aReader.ReadInteger();
  // The stored length must be the one the type gives: record access trusts
  // it to stay inside the buffer.
  if (offset < 0 || length != fdLength)
    throw EnxFieldDescriptorException(nxeInvalidRecordStructure,
                                      u"fdLength is wrong for field %d (%s). Expected %d found %d.",
                                      {fdNumber, fdName, fdLength, length});
  fdOffset = offset;
  fdDefaultValue.reset();
  if (aReader.ReadBoolean()) {
    const std::u16string className = aReader.ReadString();
    const auto* cls =
        nxFindClassAs<TnxDefaultValueDescriptorClass>(TnxBaseDefaultValueDescriptor::ClassInfo(), className);
    if (!cls) nxRaiseClassNotSupported<EnxFieldDescriptorException>(u"DefaultValueDescriptor", className);
    AddDefaultValue(cls)->LoadFromReader(aReader);
  }
  fdNoClientAccess = aReader.ReadBoolean();
  if (version >= 2) {
    RemoveLocaleDescriptor();
    LoadLocaleFromReader(aReader);
  }
  fdValidations.reset();
  if (version >= 3 && aReader.ReadBoolean()) fdValidations = nxReadValidations(aReader, this, false);
  if (auto* constant = dynamic_cast<TnxConstDefaultValueDescriptor*>(fdDefaultValue.get()))
    constant->TakeFieldSnapshot();
}

void TnxFieldDescriptor::SaveStandalone(TnxWriter& aWriter, uint32_t aClientVersion) const {
  if (fdType == nxtRefNr && aClientVersion < kClientVersionRefNr)
    throw EnxFieldDescriptorException(nxeIncompatibleVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteString(ClassName());
  aWriter.WriteString(fdName);
  aWriter.WriteString(fdDesc);
  aWriter.WriteString(nxFieldTypeIdent(fdType));
  aWriter.WriteInteger(fdUnits);
  aWriter.WriteInteger(fdDecPl);
  aWriter.WriteBoolean(fdRequired);
  SaveToWriter(aWriter, aClientVersion);
}

std::unique_ptr<TnxFieldDescriptor> TnxFieldDescriptor::CreateStandaloneFromReader(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw EnxFieldDescriptorException(nxeIncompatibleStream);
  std::unique_ptr<TnxFieldDescriptor> field = nxReadFieldHeader(aReader, nullptr);
  field->LoadFromReader(aReader);
  return field;
}

std::unique_ptr<TnxFieldDescriptor> nxReadFieldHeader(TnxReader& aReader, TnxPersistent* aParent) {
  const std::u16string className = aReader.ReadString();
  const auto* cls = nxFindClassAs<TnxFieldDescriptorClass>(TnxFieldDescriptor::ClassInfo(), className);
  if (!cls) nxRaiseClassNotSupported<EnxFieldDescriptorException>(u"FieldDescriptor", className);
  const std::u16string name = aReader.ReadString();
  const std::u16string desc = aReader.ReadString();
  const std::u16string typeIdent = aReader.ReadString();
  TnxFieldType type{};
  if (!nxFieldTypeFromIdent(typeIdent, type))
    throw EnxFieldDescriptorException(nxeIncompatibleStream, u"Unknown field type: %s", {typeIdent});
  const int32_t units = aReader.ReadInteger();
  const int32_t decPl = aReader.ReadInteger();
  const bool required = aReader.ReadBoolean();
  return cls->Create(aParent, name, desc, type, units, decPl, required);
}

}  // namespace revurov
