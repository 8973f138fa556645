#include "dictionary/key_descriptors.h"

#include <algorithm>
#include <limits>

#include "dictionary/default_values.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/filter_engines.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/format.h"
#include "platform/text.h"

namespace revurov {

constinit TnxClassRegistry nxKeyDescriptorClasses;
constinit TnxClassRegistry nxKeyFieldDescriptorClasses;

namespace {

constexpr std::u16string_view kNullBehaviourIdents[] = {u"nbTop", u"nbBottom", u"nbAsAscend", u"nbFilterNull",
                                                        u"nbFilterNonNull"};
constexpr std::u16string_view kIndexOutOfBounds = u"Index out of bounds: %d";
constexpr std::u16string_view kInvalidFieldNumber = u"Invalid field number: %d";

bool IsTextType(TnxFieldType aType) noexcept {
  return aType == nxtShortString || aType == nxtNullString || aType == nxtWideString;
}

void SaveFixedPart(const TnxBaseKeyDescriptor& aKey, TnxWriter& aWriter, uint32_t aClientVersion) {
  aKey.TnxBaseKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}

template <class E>
void LoadFixedPart(TnxBaseKeyDescriptor& aKey, TnxReader& aReader) {
  aKey.TnxBaseKeyDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw E(nxeIncompatibleStream);
}

}  // namespace

std::u16string_view nxNullBehaviourIdent(TnxNullBehaviour aValue) noexcept {
  return aValue <= nbFilterNonNull ? kNullBehaviourIdents[aValue] : std::u16string_view();
}

// ---- TnxBaseKeyDescriptor ----

namespace {

// The filter's stream for aVersion; the code it answered raises.
std::vector<uint8_t> FilterBytes(const TnxBaseFilterDescriptor& aFilter, int32_t aVersion) {
  TnxMemoryStream stream;
  if (const uint32_t code = aFilter.WriteToStream(stream, aVersion)) throw EnxBaseKeyDescriptorException(code);
  const uint8_t* bytes = stream.ByteArray();
  return std::vector<uint8_t>(bytes, bytes + stream.GetSize());
}

}  // namespace

TnxBaseKeyDescriptor::TnxBaseKeyDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}

TnxBaseKeyDescriptor::~TnxBaseKeyDescriptor() = default;

void TnxBaseKeyDescriptor::SetFilter(std::unique_ptr<TnxBaseFilterDescriptor> aFilter) {
  CheckReadOnly();
  bkdFilter = std::move(aFilter);
}

bool TnxBaseKeyDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBaseKeyDescriptor*>(aItem);
  if (!other || !bkdFilter != !other->bkdFilter) return false;
  if (!bkdFilter || bkdFilter == other->bkdFilter) return true;
  // A filter that cannot be written (a callback) equals only itself.
  try {
    constexpr int32_t kNewest = std::numeric_limits<int32_t>::max();
    return FilterBytes(*bkdFilter, kNewest) == FilterBytes(*other->bkdFilter, kNewest);
  } catch (const EnxBaseException&) {
    return false;
  }
}

void TnxBaseKeyDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  // Older readers know no filters: refused before anything is written.
  if (aClientVersion < nxClientVersionIDs && bkdFilter) throw EnxBaseKeyDescriptorException(nxeIncompatibleVersion);
  std::vector<uint8_t> filter;
  if (bkdFilter) filter = FilterBytes(*bkdFilter, static_cast<int32_t>(aClientVersion));
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  if (aClientVersion < nxClientVersionIDs) return;
  aWriter.WriteIdent(u"BKD");
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteBoolean(bkdFilter != nullptr);
  if (!bkdFilter) return;
  aWriter.WriteInteger(static_cast<int32_t>(filter.size()));
  aWriter.Write(filter.data(), static_cast<int64_t>(filter.size()));
}

void TnxBaseKeyDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  bkdFilter.reset();
  if (aReader.NextValue() != vaIdent) return;
  if (aReader.ReadIdent() != u"BKD" || aReader.ReadInteger() != 1)
    throw EnxBaseKeyDescriptorException(nxeIncompatibleStream);
  if (!aReader.ReadBoolean()) return;
  const int32_t size = aReader.ReadInteger();
  // Never more room than the stream holds.
  if (size < 0 || size > aReader.BytesLeft()) throw EnxBaseKeyDescriptorException(nxeIncompatibleStream);
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  aReader.Read(bytes.data(), size);
  TnxStaticMemoryStream stream(bytes.data(), size);
  std::unique_ptr<TnxBaseFilterDescriptor> filter;
  if (const uint32_t code = TnxBaseFilterDescriptor::CreateFromStream(stream, filter))
    throw EnxBaseKeyDescriptorException(code);
  bkdFilter = std::move(filter);
}

void TnxRefKeyDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  SaveFixedPart(*this, aWriter, aClientVersion);
}
void TnxRefKeyDescriptor::LoadFromReader(TnxReader& aReader) {
  LoadFixedPart<EnxRefKeyDescriptorException>(*this, aReader);
}
void TnxInt64KeyDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  SaveFixedPart(*this, aWriter, aClientVersion);
}
void TnxInt64KeyDescriptor::LoadFromReader(TnxReader& aReader) {
  LoadFixedPart<EnxInt64KeyDescriptorException>(*this, aReader);
}
void TnxBlobCacheKeyDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  SaveFixedPart(*this, aWriter, aClientVersion);
}
void TnxBlobCacheKeyDescriptor::LoadFromReader(TnxReader& aReader) {
  LoadFixedPart<EnxBlobCacheKeyDescriptorException>(*this, aReader);
}

// ---- TnxCompKeyDescriptor ----

TnxCompKeyDescriptor::TnxCompKeyDescriptor(TnxPersistent* aParent) : TnxBaseKeyDescriptor(aParent) {}

TnxCompKeyDescriptor::~TnxCompKeyDescriptor() {
  while (!ckdKeyFields.empty()) ckdKeyFields.pop_back();
}

const TnxKeyFieldDescriptorClass& TnxCompKeyDescriptor::DefaultKeyFieldClass() noexcept {
  return TnxKeyFieldDescriptor::ClassInfo();
}

TnxKeyFieldDescriptor* TnxCompKeyDescriptor::ckdGetKeyField(int32_t aInx) const {
  if (aInx < 0 || aInx >= KeyFieldCount())
    throw EnxCompKeyDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {aInx});
  return ckdKeyFields[static_cast<size_t>(aInx)].get();
}

int32_t TnxCompKeyDescriptor::RelatedFieldNumber(std::u16string_view aFieldName) {
  auto* fields = FindRelated<TnxFieldsDescriptor>();
  return fields ? fields->GetFieldFromName(aFieldName) : -1;
}

TnxKeyFieldDescriptor* TnxCompKeyDescriptor::Add(int32_t aFieldNumber, const TnxKeyFieldDescriptorClass* aClass) {
  return Insert(KeyFieldCount(), aFieldNumber, aClass);
}

TnxKeyFieldDescriptor* TnxCompKeyDescriptor::Add(std::u16string_view aFieldName,
                                                 const TnxKeyFieldDescriptorClass* aClass) {
  return Add(RelatedFieldNumber(aFieldName), aClass);
}

TnxKeyFieldDescriptor* TnxCompKeyDescriptor::Insert(int32_t aInx, int32_t aFieldNumber,
                                                    const TnxKeyFieldDescriptorClass* aClass) {
  CheckReadOnly();
  if (aInx < 0 || aInx > KeyFieldCount())
    throw EnxCompKeyDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {aInx});
  if (!aClass) aClass = &DefaultKeyFieldClass();
  std::unique_ptr<TnxKeyFieldDescriptor> field = aClass->Create(this, aFieldNumber);
  TnxKeyFieldDescriptor* result = field.get();
  ckdKeyFields.insert(ckdKeyFields.begin() + aInx, std::move(field));
  ResetKeyLen();
  return result;
}

TnxKeyFieldDescriptor* TnxCompKeyDescriptor::Insert(int32_t aInx, std::u16string_view aFieldName,
                                                    const TnxKeyFieldDescriptorClass* aClass) {
  return Insert(aInx, RelatedFieldNumber(aFieldName), aClass);
}

void TnxCompKeyDescriptor::Move(int32_t aFrom, int32_t aTo) {
  CheckReadOnly();
  for (int32_t inx : {aFrom, aTo})
    if (inx < 0 || inx >= KeyFieldCount())
      throw EnxCompKeyDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {inx});
  auto first = ckdKeyFields.begin();
  if (aFrom < aTo)
    std::rotate(first + aFrom, first + aFrom + 1, first + aTo + 1);
  else if (aFrom > aTo)
    std::rotate(first + aTo, first + aFrom, first + aFrom + 1);
}

void TnxCompKeyDescriptor::Delete(int32_t aInx) {
  CheckReadOnly();
  ckdGetKeyField(aInx);
  ckdKeyFields.erase(ckdKeyFields.begin() + aInx);
  ResetKeyLen();
}

void TnxCompKeyDescriptor::Clear(bool aNotify) {
  TnxBaseKeyDescriptor::Clear(aNotify);
  while (!ckdKeyFields.empty()) ckdKeyFields.pop_back();
  ResetKeyLen();
}

uint32_t TnxCompKeyDescriptor::GetKeyLen() const {
  if (ckdKeyLen < 0) {
    int64_t sum = HasNullFlags() ? (KeyFieldCount() + 7) / 8 : 0;
    for (const auto& field : ckdKeyFields) sum += field->KeyLength();
    ckdKeyLen = sum;
  }
  return static_cast<uint32_t>(std::min<int64_t>(ckdKeyLen, std::numeric_limits<uint32_t>::max()));
}

bool TnxCompKeyDescriptor::CanContainNulls() const {
  return std::any_of(ckdKeyFields.begin(), ckdKeyFields.end(),
                     [](const auto& field) { return field->CanContainNulls(); });
}

void TnxCompKeyDescriptor::CheckValid(bool aForBuild) {
  ResetKeyLen();
  TnxBaseKeyDescriptor::CheckValid(aForBuild);
  if (ckdKeyFields.empty())
    throw EnxCompKeyDescriptorException(nxeInvalidDescriptor, u"Composite key requires a minimum of one field");
  for (auto& field : ckdKeyFields) field->CheckValid(aForBuild);
  // Index engines carry the key length in 16 bits.
  if (GetKeyLen() > static_cast<uint32_t>(nxMax16BitLength))
    throw EnxCompKeyDescriptorException(nxeInvalidDescriptor, u"Key length %d exceeds the maximum of %d",
                                        {int64_t{GetKeyLen()}, nxMax16BitLength});
}

bool TnxCompKeyDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseKeyDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxCompKeyDescriptor*>(aItem);
  if (!other || other->KeyFieldCount() != KeyFieldCount()) return false;
  for (size_t i = 0; i < ckdKeyFields.size(); ++i)
    if (!ckdKeyFields[i]->IsEqual(other->ckdKeyFields[i].get())) return false;
  return true;
}

void TnxCompKeyDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(KeyFieldCount());
  for (const auto& field : ckdKeyFields) {
    aWriter.WriteString(field->ClassName());
    aWriter.WriteInteger(field->FieldNumber());
    field->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxCompKeyDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseKeyDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxCompKeyDescriptorException(nxeIncompatibleStream);
  const int32_t count = aReader.ReadInteger();
  if (count < 0) throw EnxCompKeyDescriptorException(nxeIncompatibleStream);
  for (int32_t i = 0; i < count; ++i) {
    const std::u16string className = aReader.ReadString();
    const auto* cls = nxFindClassAs<TnxKeyFieldDescriptorClass>(TnxKeyFieldDescriptor::ClassInfo(), className);
    if (!cls) nxRaiseClassNotSupported<EnxCompKeyDescriptorException>(u"KeyFieldDescriptor", className);
    const int32_t fieldNumber = aReader.ReadInteger();
    Add(fieldNumber, cls)->LoadFromReader(aReader);
  }
  ResetKeyLen();
  if (GetKeyLen() > static_cast<uint32_t>(nxMax16BitLength))
    throw EnxCompKeyDescriptorException(nxeInvalidDescriptor, u"Key length %d exceeds the maximum of %d",
                                        {int64_t{GetKeyLen()}, nxMax16BitLength});
}

void TnxNoNullCompKeyDescriptor::CheckValid(bool aForBuild) {
  TnxCompKeyDescriptor::CheckValid(aForBuild);
  for (int32_t i = 0; i < KeyFieldCount(); ++i) {
    const TnxFieldDescriptor* field = ckdGetKeyField(i)->Field();
    if (!field) continue;
    // The engine or a default value fills these.
    const TnxFieldType type = field->FieldType();
    if (field->Required() || type == nxtAutoInc || type == nxtRecRev || type == nxtRefNr) continue;
    const TnxBaseDefaultValueDescriptor* value = field->DefaultValue();
    if ((type == nxtInt64 && dynamic_cast<const TnxNextLSNDefaultValueDescriptor*>(value)) ||
        (type == nxtGuid && dynamic_cast<const TnxAutoGuidDefaultValueDescriptor*>(value)) ||
        dynamic_cast<const TnxConstDefaultValueDescriptor*>(value))
      continue;
    throw EnxNoNullCompKeyDescriptorException(nxeInvalidDescriptor, u"Field \"%s\" is not marked as required",
                                              {field->Name()});
  }
}

void TnxNoNullCompKeyDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxCompKeyDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}

void TnxNoNullCompKeyDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxCompKeyDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxNoNullCompKeyDescriptorException(nxeIncompatibleStream);
}

// ---- TnxKeyFieldDescriptor ----

TnxKeyFieldDescriptor::TnxKeyFieldDescriptor(TnxPersistent* aParent, int32_t aFieldNumber)
    : TnxLocalizedDictionaryItem(aParent), kfdFieldNumber(aFieldNumber) {
  Listen();
}

TnxKeyFieldDescriptor::~TnxKeyFieldDescriptor() { StopListening(); }

void TnxKeyFieldDescriptor::Listen() {
  if (kfdFieldNumber == nxKeyFieldOfParentField || kfdListeningTo) return;
  if (auto* fields = FindRelated<TnxFieldsDescriptor>()) {
    fields->AddFieldChangeListener(this);
    kfdListeningTo = fields;
  }
}

void TnxKeyFieldDescriptor::StopListening() noexcept {
  if (kfdListeningTo) kfdListeningTo->RemoveFieldChangeListener(this);
  kfdListeningTo = nullptr;
}

void TnxKeyFieldDescriptor::ResetParentKeyLen() const noexcept {
  if (const auto* key = dynamic_cast<const TnxCompKeyDescriptor*>(ParentItem())) key->ResetKeyLen();
}

void TnxKeyFieldDescriptor::SetFieldNumber(int32_t aValue) {
  CheckReadOnly();
  kfdFieldNumber = aValue;
  // The registration follows the number: a key field given a field later
  // must still hear of that field's moves and removal.
  if (aValue == nxKeyFieldOfParentField)
    StopListening();
  else
    Listen();
  ResetParentKeyLen();
}

TnxFieldDescriptor* TnxKeyFieldDescriptor::Field() {
  if (kfdFieldNumber == nxKeyFieldOfParentField) {
    TnxPersistent* parent = nullptr;
    return FindParentOfType(TnxFieldDescriptor::ClassInfo(), parent) ? static_cast<TnxFieldDescriptor*>(parent)
                                                                      : nullptr;
  }
  auto* fields = FindRelated<TnxFieldsDescriptor>();
  if (!fields || kfdFieldNumber < 0 || kfdFieldNumber >= fields->FieldCount()) return nullptr;
  return fields->FieldDescriptor(kfdFieldNumber);
}

void TnxKeyFieldDescriptor::SetDesc(std::u16string_view aValue) {
  if (aValue == kfdDesc) return;
  CheckReadOnly();
  kfdDesc = aValue;
}

void TnxKeyFieldDescriptor::SetKeyFieldEngine(std::u16string_view aValue) {
  if (aValue == kfdKeyFieldEngine) return;
  CheckReadOnly();
  kfdKeyFieldEngine = aValue;
}

void TnxKeyFieldDescriptor::SetAscend(bool aValue) {
  if (aValue == kfdAscend) return;
  CheckReadOnly();
  kfdAscend = aValue;
}

void TnxKeyFieldDescriptor::SetNullBehaviour(TnxNullBehaviour aValue) {
  if (aValue == kfdNullBehaviour) return;
  CheckReadOnly();
  kfdNullBehaviour = aValue;
}

void TnxKeyFieldDescriptor::SetOverrideLengthBytes(int32_t aValue) {
  if (aValue == kfdOverrideLengthBytes) return;
  CheckReadOnly();
  ResetParentKeyLen();
  kfdOverrideLengthBytes = aValue;
}

void TnxKeyFieldDescriptor::SetOverrideLengthChars(int32_t aValue) {
  if (aValue == kfdOverrideLengthChars) return;
  CheckReadOnly();
  ResetParentKeyLen();
  kfdOverrideLengthChars = aValue;
}

int64_t TnxKeyFieldDescriptor::KeyLength() const {
  const TnxFieldDescriptor* field = Field();
  if (!field) return 0;
  const int64_t length = field->Length();
  const TnxFieldType type = field->FieldType();
  if (type == nxtByteArray)
    return kfdOverrideLengthBytes >= 1 && kfdOverrideLengthBytes < length ? kfdOverrideLengthBytes : length;
  if (!IsTextType(type)) return length;
  int64_t result = length;
  if (kfdOverrideLengthChars >= 1 && kfdOverrideLengthChars < field->Units())
    result = (int64_t{kfdOverrideLengthChars} + 1) * (type == nxtWideString ? 2 : 1);
  return type == nxtWideString ? result : std::max<int64_t>(result, kfdOverrideLengthBytes);
}

int32_t TnxKeyFieldDescriptor::KeyChars() const {
  const TnxFieldDescriptor* field = Field();
  if (!field || !IsTextType(field->FieldType())) return 0;
  return kfdOverrideLengthChars >= 1 && kfdOverrideLengthChars < field->Units() ? kfdOverrideLengthChars
                                                                                : field->Units();
}

bool TnxKeyFieldDescriptor::CanContainNulls() const {
  if (kfdNullBehaviour == nbFilterNull) return false;
  const TnxFieldDescriptor* field = Field();
  return !field || !field->Required();
}

TnxLocaleDescriptor* TnxKeyFieldDescriptor::GetDefaultLocaleDescriptor() {
  if (TnxFieldDescriptor* field = Field()) return field->GetUsedLocaleDescriptor();
  return TnxLocalizedDictionaryItem::GetDefaultLocaleDescriptor();
}

void TnxKeyFieldDescriptor::FieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField) {
  if (kfdFieldNumber == nxKeyFieldOfParentField) return;
  if (aBefore) {
    if (aOldField == kfdFieldNumber && aNewField < 0) {
      const TnxFieldDescriptor* field = Field();
      throw EnxKeyFieldDescriptorException(nxeObjectInUse,
                                           u"Cannot remove field %s because it is still referenced by an index",
                                           {field ? field->Name() : platform::Format(u"%d", {kfdFieldNumber})});
    }
    return;
  }
  kfdFieldNumber = nxRenumberReference(kfdFieldNumber, aOldField, aNewField);
  ResetParentKeyLen();
}

bool TnxKeyFieldDescriptor::DoRequiresPack() const {
  if (TnxLocalizedDictionaryItem::DoRequiresPack()) return true;
  auto* self = const_cast<TnxKeyFieldDescriptor*>(this);
  TnxLocaleDescriptor* locale = self->GetUsedLocaleDescriptor();
  const TnxFieldDescriptor* field = Field();
  if (!locale || !field) return false;
  switch (field->FieldType()) {
    case nxtChar:
    case nxtWideChar:
    case nxtBlobMemo:
    case nxtShortString:
    case nxtNullString:
    case nxtWideString:
    case nxtBlobWideMemo:
      return !locale->GetCurrentLocaleVersionEqualToBuildVersion();
    default:
      return false;
  }
}

void TnxKeyFieldDescriptor::CheckValid(bool aForBuild) {
  TnxLocalizedDictionaryItem::CheckValid(aForBuild);
  bool valid;
  if (kfdFieldNumber == nxKeyFieldOfParentField) {
    TnxPersistent* parent = nullptr;
    valid = FindParentOfType(TnxFieldDescriptor::ClassInfo(), parent);
  } else {
    auto* fields = FindRelated<TnxFieldsDescriptor>();
    valid = fields && kfdFieldNumber >= 0 && kfdFieldNumber < fields->FieldCount();
  }
  if (!valid)
    throw EnxKeyFieldDescriptorException(nxeInvalidDescriptorNumber, kInvalidFieldNumber, {kfdFieldNumber});
}

bool TnxKeyFieldDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxLocalizedDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxKeyFieldDescriptor*>(aItem);
  return other && kfdFieldNumber == other->kfdFieldNumber && kfdDesc == other->kfdDesc &&
         platform::AsciiSameText(kfdKeyFieldEngine, other->kfdKeyFieldEngine) && kfdAscend == other->kfdAscend &&
         kfdOverrideLengthBytes == other->kfdOverrideLengthBytes &&
         kfdOverrideLengthChars == other->kfdOverrideLengthChars && kfdNullBehaviour == other->kfdNullBehaviour;
}

void TnxKeyFieldDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  const int32_t version = aClientVersion < nxClientVersionIDs ? 1 : 2;
  // Refused before anything is written.
  if (version == 1) {
    if (LocaleDescriptor() && !WritesLocaleInOldLayout())
      throw EnxKeyFieldDescriptorException(nxeIncompatibleVersion);
    if (kfdOverrideLengthBytes > 0 || kfdOverrideLengthChars > 0)
      throw EnxKeyFieldDescriptorException(nxeIncompatibleVersion);
  }
  TnxLocalizedDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(version);
  aWriter.WriteString(kfdDesc);
  aWriter.WriteString(kfdKeyFieldEngine);
  aWriter.WriteBoolean(kfdAscend);
  if (version < 2) return;
  SaveLocaleToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(kfdOverrideLengthBytes);
  aWriter.WriteInteger(kfdOverrideLengthChars);
  aWriter.WriteString(nxNullBehaviourIdent(kfdNullBehaviour));
}

void TnxKeyFieldDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxLocalizedDictionaryItem::LoadFromReader(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxKeyFieldDescriptorException(nxeIncompatibleStream);
  kfdDesc = aReader.ReadString();
  kfdKeyFieldEngine = aReader.ReadString();
  kfdAscend = aReader.ReadBoolean();
  if (version < 2) return;
  RemoveLocaleDescriptor();
  LoadLocaleFromReader(aReader);
  kfdOverrideLengthBytes = aReader.ReadInteger();
  kfdOverrideLengthChars = aReader.ReadInteger();
  const std::u16string ident = aReader.ReadString();
  const auto* found = std::find(std::begin(kNullBehaviourIdents), std::end(kNullBehaviourIdents), ident);
  if (found == std::end(kNullBehaviourIdents))
    throw EnxKeyFieldDescriptorException(nxeIncompatibleStream, u"Unknown null behaviour: %s", {ident});
  kfdNullBehaviour = static_cast<TnxNullBehaviour>(found - std::begin(kNullBehaviourIdents));
  ResetParentKeyLen();
}

// ---- text key fields ----

void TnxTextKeyFieldDescriptor::SetIgnoreCase(bool aValue) {
  if (aValue == tkfIgnoreCase) return;
  CheckReadOnly();
  tkfIgnoreCase = aValue;
}

bool TnxTextKeyFieldDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  const auto* other = dynamic_cast<const TnxTextKeyFieldDescriptor*>(aItem);
  return other && TnxKeyFieldDescriptor::IsEqual(aItem) && tkfIgnoreCase == other->tkfIgnoreCase;
}

void TnxTextKeyFieldDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxKeyFieldDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteBoolean(tkfIgnoreCase);
}

void TnxTextKeyFieldDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxKeyFieldDescriptor::LoadFromReader(aReader);
  if (aReader.ReadInteger() != 1) throw EnxTextKeyFieldDescriptorException(nxeIncompatibleStream);
  tkfIgnoreCase = aReader.ReadBoolean();
}

void TnxExtTextKeyFieldDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  const TnxLocaleDescriptor* locale = LocaleDescriptor();
  const bool old = aClientVersion < nxClientVersionIDs;
  if (old && locale && locale->OverrideStorageCodepage() != 0)
    throw EnxExtTextKeyFieldDescriptorException(nxeIncompatibleVersion);
  TnxTextKeyFieldDescriptor::SaveToWriter(aWriter, aClientVersion);
  if (!old) {
    aWriter.WriteInteger(int32_t{2});
    SaveLocaleToWriter(aWriter, aClientVersion);
    return;
  }
  // The oldest readers take the locale inline.
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(static_cast<int64_t>(locale ? locale->Locale() : 0));
  for (bool flag : {locale && locale->IgnoreKanaType(), locale && locale->IgnoreNonSpace(),
                    locale && locale->IgnoreSymbols(), locale && locale->IgnoreWidth(), locale && locale->UseStringSort()})
    aWriter.WriteBoolean(flag);
}

void TnxExtTextKeyFieldDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxTextKeyFieldDescriptor::LoadFromReader(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxExtTextKeyFieldDescriptorException(nxeIncompatibleStream);
  RemoveLocaleDescriptor();
  if (version == 2) {
    LoadLocaleFromReader(aReader);
    return;
  }
  const int64_t lcid = aReader.ReadInt64();
  bool flags[5];
  for (bool& flag : flags) flag = aReader.ReadBoolean();
  if (lcid == 0) return;
  if (lcid < 0 || lcid > UINT32_MAX) throw EnxExtTextKeyFieldDescriptorException(nxeIncompatibleStream);
  TnxLocaleDescriptor* locale = AddLocaleDescriptor();
  locale->SetLocale(static_cast<uint32_t>(lcid));
  locale->SetIgnoreKanaType(flags[0]);
  locale->SetIgnoreNonSpace(flags[1]);
  locale->SetIgnoreSymbols(flags[2]);
  locale->SetIgnoreWidth(flags[3]);
  locale->SetUseStringSort(flags[4]);
}

}  // namespace revurov
