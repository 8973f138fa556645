#include "dictionary/default_values.h"

#include "dictionary/field_descriptor.h"
#include "dictionary/native_variant_converter.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/variant.h"

namespace revurov {

constinit TnxClassRegistry nxDefaultValueDescriptorClasses;

namespace {

constexpr std::u16string_view kNotSupportedForType = u"\"%s\" is not supported for field type \"%s\"";
constexpr std::u16string_view kIdent = u"BDVD";

TnxFieldDescriptor* FieldOf(const TnxBaseDefaultValueDescriptor& aItem) {
  return static_cast<TnxFieldDescriptor*>(aItem.GetParentOfType(TnxFieldDescriptor::ClassInfo()));
}

}  // namespace

// ---- TnxBaseDefaultValueDescriptor ----

TnxBaseDefaultValueDescriptor::TnxBaseDefaultValueDescriptor(TnxPersistent* aParent)
    : TnxDictionaryItem(aParent), bdvField(FieldOf(*this)) {}

void nxCheckDefaultValueForField(const TnxDefaultValueDescriptorClass& aClass, const TnxFieldDescriptor& aField) {
  if (aField.IsBlob())
    throw EnxBaseDefaultValueDescriptorException(nxeInvalidFieldDescriptor, kNotSupportedForType,
                                                 {aClass.Name, nxFieldTypeIdent(aField.FieldType())});
}

void TnxBaseDefaultValueDescriptor::StoreSettings(TnxApplyAtSet aApplyAt, bool aInsert, bool aModify,
                                                  bool aOverwrite) noexcept {
  bdvApplyAt = aApplyAt;
  bdvApplyOnInsert = aInsert;
  bdvApplyOnModify = aModify;
  bdvOverwriteNonNull = aOverwrite;
}

void TnxBaseDefaultValueDescriptor::SetApplyAt(TnxApplyAtSet aValue) {
  CheckReadOnly();
  bdvApplyAt = aValue & nxApplyAtBoth;
}

void TnxBaseDefaultValueDescriptor::SetApplyOnInsert(bool aValue) {
  CheckReadOnly();
  bdvApplyOnInsert = aValue;
}

void TnxBaseDefaultValueDescriptor::SetApplyOnModify(bool aValue) {
  CheckReadOnly();
  bdvApplyOnModify = aValue;
}

void TnxBaseDefaultValueDescriptor::SetOverwriteNonNull(bool aValue) {
  CheckReadOnly();
  bdvOverwriteNonNull = aValue;
}

void TnxBaseDefaultValueDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (ClassType().InvalidFieldTypes & nxFieldTypeBit(bdvField->FieldType()))
    throw EnxBaseDefaultValueDescriptorException(nxeInvalidFieldDescriptor, kNotSupportedForType,
                                                 {ClassName(), nxFieldTypeIdent(bdvField->FieldType())});
}

bool TnxBaseDefaultValueDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseDefaultValueDescriptor*>(aItem);
  return other && bdvApplyAt == other->bdvApplyAt && bdvApplyOnInsert == other->bdvApplyOnInsert &&
         bdvApplyOnModify == other->bdvApplyOnModify && bdvOverwriteNonNull == other->bdvOverwriteNonNull;
}

void TnxBaseDefaultValueDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  const bool defaults = bdvApplyAt == nxApplyAtBoth && bdvApplyOnInsert && !bdvApplyOnModify && !bdvOverwriteNonNull;
  // Refused before anything is written.
  if (aClientVersion < nxClientVersionIDs && !defaults)
    throw EnxBaseDefaultValueDescriptorException(nxeIncompatibleVersion);
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxClientVersionIDs) return;
  aWriter.WriteIdent(kIdent);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteBoolean(bdvApplyOnInsert);
  aWriter.WriteBoolean(bdvApplyOnModify);
  aWriter.WriteBoolean(bdvOverwriteNonNull);
  aWriter.WriteBoolean((bdvApplyAt & nxApplyAtBit(aaServer)) != 0);
  aWriter.WriteBoolean((bdvApplyAt & nxApplyAtBit(aaClient)) != 0);
}

void TnxBaseDefaultValueDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  if (aReader.NextValue() != vaIdent) {
    SetApplyAt(nxApplyAtBoth);
    SetApplyOnInsert(true);
    SetApplyOnModify(false);
    SetOverwriteNonNull(false);
    return;
  }
  if (aReader.ReadIdent() != kIdent || aReader.ReadInteger() != 1)
    throw EnxBaseDefaultValueDescriptorException(nxeIncompatibleStream);
  const bool insert = aReader.ReadBoolean();
  const bool modify = aReader.ReadBoolean();
  const bool overwrite = aReader.ReadBoolean();
  const bool server = aReader.ReadBoolean();
  const bool client = aReader.ReadBoolean();
  // Through the setters: a kind with fixed settings keeps them.
  SetApplyOnInsert(insert);
  SetApplyOnModify(modify);
  SetOverwriteNonNull(overwrite);
  SetApplyAt(TnxApplyAtSet((server ? nxApplyAtBit(aaServer) : 0) | (client ? nxApplyAtBit(aaClient) : 0)));
}

// ---- TnxConstDefaultValueDescriptor ----

TnxConstDefaultValueDescriptor::TnxConstDefaultValueDescriptor(TnxPersistent* aParent)
    : TnxBaseDefaultValueDescriptor(aParent) {
  TakeSnapshot();
  cdvDefaultValue.assign(static_cast<size_t>(cdvFieldLength), 0);
}

void TnxConstDefaultValueDescriptor::TakeSnapshot() {
  TnxFieldDescriptor& field = Field();
  cdvFieldType = field.FieldType();
  cdvFieldCodePage = field.GetUsedStorageCodePage();
  cdvFieldUnits = field.Units();
  cdvFieldDecPl = field.DecPl();
  cdvFieldLength = field.Length();
}

bool TnxConstDefaultValueDescriptor::InSyncWithField() const {
  TnxFieldDescriptor& field = Field();
  return cdvFieldType == field.FieldType() && cdvFieldCodePage == field.GetUsedStorageCodePage() &&
         cdvFieldUnits == field.Units() && cdvFieldDecPl == field.DecPl() && cdvFieldLength == field.Length();
}

namespace {

// The old value under the old setup, stored as the field now wants it.
std::vector<uint8_t> Converted(TnxFieldDescriptor& aField, TnxFieldType aType, uint16_t aCodePage, int32_t aUnits,
                               int32_t aLength, int32_t aDecPl, const std::vector<uint8_t>& aOld, bool aConvert) {
  std::vector<uint8_t> value(static_cast<size_t>(aField.Length()), 0);
  if (!aConvert) return value;
  try {
    platform::TnxVariant v;
    // The old bytes may be shorter than the old length only after a bad
    // stream; such a value is not converted.
    if (static_cast<int64_t>(aOld.size()) < aLength) throw EnxConstDefaultValueDescriptorException(nxeInvalidFieldTransformation);
    nxNativeToVariant(aType, aCodePage, aUnits, v, aLength, aOld.data(), aDecPl);
    aField.fdSetBufferAsVariant(value.data(), v);
  } catch (...) {
    throw EnxConstDefaultValueDescriptorException(nxeInvalidFieldTransformation);
  }
  return value;
}

}  // namespace

void TnxConstDefaultValueDescriptor::cdvSyncWithField(bool aConvert) {
  if (InSyncWithField()) return;
  cdvDefaultValue = Converted(Field(), cdvFieldType, cdvFieldCodePage, cdvFieldUnits, cdvFieldLength, cdvFieldDecPl,
                              cdvDefaultValue, aConvert);
  TakeSnapshot();
}

platform::TnxVariant TnxConstDefaultValueDescriptor::AsVariant() {
  cdvSyncWithField(true);
  return Field().fdGetBufferAsVariant(cdvDefaultValue.data());
}

void TnxConstDefaultValueDescriptor::SetAsVariant(const platform::TnxVariant& aValue) {
  CheckReadOnly();
  cdvSyncWithField(false);
  Field().fdSetBufferAsVariant(cdvDefaultValue.data(), aValue);
}

bool TnxConstDefaultValueDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseDefaultValueDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxConstDefaultValueDescriptor*>(aItem);
  return other && cdvDefaultValue == other->cdvDefaultValue;
}

void TnxConstDefaultValueDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  // The converted value goes out; the descriptor itself stays as it is, so
  // that several threads may write one read-only dictionary.
  const std::vector<uint8_t> value =
      InSyncWithField() ? cdvDefaultValue
                        : Converted(Field(), cdvFieldType, cdvFieldCodePage, cdvFieldUnits, cdvFieldLength,
                                    cdvFieldDecPl, cdvDefaultValue, true);
  TnxBaseDefaultValueDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.Write(value.data(), static_cast<int64_t>(value.size()));
}

void TnxConstDefaultValueDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseDefaultValueDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxConstDefaultValueDescriptorException(nxeIncompatibleStream);
  if (!InSyncWithField()) cdvSyncWithField(false);
  aReader.Read(cdvDefaultValue.data(), static_cast<int64_t>(cdvDefaultValue.size()));
}

// ---- TnxNextLSNDefaultValueDescriptor ----

TnxNextLSNDefaultValueDescriptor::TnxNextLSNDefaultValueDescriptor(TnxPersistent* aParent)
    : TnxBaseDefaultValueDescriptor(aParent) {
  StoreSettings(nxApplyAtBit(aaServer), true, true, true);
}

void TnxNextLSNDefaultValueDescriptor::SetApplyAt(TnxApplyAtSet) {
  TnxBaseDefaultValueDescriptor::SetApplyAt(nxApplyAtBit(aaServer));
}

void TnxNextLSNDefaultValueDescriptor::SetApplyOnInsert(bool) {
  TnxBaseDefaultValueDescriptor::SetApplyOnInsert(true);
}

void TnxNextLSNDefaultValueDescriptor::SetOverwriteNonNull(bool) {
  TnxBaseDefaultValueDescriptor::SetOverwriteNonNull(true);
}

}  // namespace revurov
