#include "dictionary/fields_descriptor.h"

#include <algorithm>
#include <cstring>

#include "dictionary/default_values.h"
#include "dictionary/diff_compressor.h"
#include "dictionary/native_variant_converter.h"
#include "dictionary/validation_descriptors.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/strings/utils_compare.h"
#include "lowlevel/strings/utils_text.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/format.h"
#include "platform/locale_text.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "platform/variant.h"

namespace revurov {

constinit TnxClassRegistry nxFieldsDescriptorClasses;

namespace {

constexpr std::u16string_view kIndexOutOfBounds = u"Index out of bounds: %d";
constexpr std::u16string_view kDuplicatedFieldName = u"Duplicated field name: %s";
constexpr std::u16string_view kRecordTooLong = u"Record length %d exceeds the maximum of %d";
constexpr std::u16string_view kOriginalFieldCount = u"OriginalFieldCount";
constexpr uint32_t kClientVersionRefNr = 47005;

constexpr int32_t RoundUp4(int64_t aValue) noexcept { return static_cast<int32_t>((aValue + 3) / 4 * 4); }

// Decimal with an optional sign; false for anything else or out of range.
bool ParseInt32(std::u16string_view aText, int32_t& aValue) noexcept {
  size_t i = !aText.empty() && (aText[0] == u'-' || aText[0] == u'+') ? 1 : 0;
  if (i == aText.size()) return false;
  int64_t v = 0;
  for (; i < aText.size(); ++i) {
    if (aText[i] < u'0' || aText[i] > u'9') return false;
    v = v * 10 + (aText[i] - u'0');
    if (v > int64_t{INT32_MAX} + 1) return false;
  }
  if (aText[0] == u'-') v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  aValue = static_cast<int32_t>(v);
  return true;
}

}  // namespace

TnxFieldsDescriptor::TnxFieldsDescriptor(TnxPersistent* aParent) : TnxDictionaryItem(aParent) {}

TnxFieldsDescriptor::~TnxFieldsDescriptor() {
  nxReleaseSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
  TnxDiffCompressorInfo* dci = fsdCachedDiffCompressorInfo.exchange(nullptr);
  nxReleaseDiffCompressorInfo(dci);
  fsdValidations.reset();
  // Not Clear(false): a read-only dictionary is destroyed too.
  while (!fsdFields.empty()) fsdFields.pop_back();
}

TnxFieldDescriptor* TnxFieldsDescriptor::FieldDescriptor(int32_t aIndex) const {
  CheckRange(aIndex);
  return fsdFields[static_cast<size_t>(aIndex)].get();
}

void TnxFieldsDescriptor::CheckRange(int32_t aField) const {
  if (aField < 0 || aField >= FieldCount())
    throw EnxFieldsDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {aField});
}

bool TnxFieldsDescriptor::Version1() const noexcept {
  InxDictionaryRoot* root = FindDictionaryRoot();
  return root && root->DictionaryVersion() == 1;
}

// ---- layout ----

int32_t TnxFieldsDescriptor::RecordLength() const noexcept {
  if (CacheActive()) return fsdCachedGetRecordLength;
  return RoundUp4(fsdLogRecLen) + NullBitmapSize();
}

TnxPoolHandle TnxFieldsDescriptor::RecordAllocator() const {
  if (CacheActive()) return fsdRecordAllocator;
  return nxGetMemoryPool(static_cast<uint32_t>(RecordLength()) + 4);
}

int32_t TnxFieldsDescriptor::OriginalFieldCount() {
  if (HasCustomStrings()) {
    const std::u16string text = CustomStrings().Values(kOriginalFieldCount);
    int32_t value = 0;
    if (ParseInt32(text, value)) return value;
  }
  return FieldCount();
}

void TnxFieldsDescriptor::SetOriginalFieldCount(int32_t aValue) {
  CheckReadOnly();
  CustomStrings().SetValues(kOriginalFieldCount, aValue == 0 ? std::u16string() : platform::Format(u"%d", {aValue}));
}

void TnxFieldsDescriptor::Relayout(int32_t aFrom) noexcept {
  int64_t sum = 0;
  if (aFrom > 0) {
    const TnxFieldDescriptor& prev = *fsdFields[static_cast<size_t>(aFrom - 1)];
    sum = int64_t{prev.fdOffset} + prev.fdLength;
  }
  for (int32_t i = std::max(aFrom, 0); i < FieldCount(); ++i) {
    TnxFieldDescriptor& field = *fsdFields[static_cast<size_t>(i)];
    field.fdNumber = i;
    field.fdOffset = static_cast<int32_t>(sum);
    sum += field.fdLength;
  }
  fsdLogRecLen = static_cast<int32_t>(sum);
  // One rule for every change: a version-1 dictionary keeps the bitmap right
  // after the fields, or the records it stored would read wrong flags.
  fsdLogRecLenAlign = Version1() ? fsdLogRecLen : RoundUp4(fsdLogRecLen);
}

void TnxFieldsDescriptor::CheckRecordFits(int64_t aLogRecLen, int32_t aFieldCount) const {
  const int64_t length = (aLogRecLen + 3) / 4 * 4 + int64_t{(aFieldCount + 31) / 32} * 4;
  if (length > nxMax16BitLength)
    throw EnxFieldsDescriptorException(nxeInvalidRecordStructure, kRecordTooLong, {length, nxMax16BitLength});
}

void TnxFieldsDescriptor::CheckNewFieldFits(TnxFieldType aType, int32_t aUnits, int32_t aDecPl,
                                           bool aRequired) const {
  if (!FindDictionaryRoot()) throw EnxFieldsDescriptorException(nxeObjectNotFound);
  int32_t length = 0;
  TnxFieldDescriptor::SetupField(aType, aUnits, aDecPl, aRequired, length);
  if (length < 0) throw EnxFieldsDescriptorException(nxeInvalidFieldDescriptor, u"Units must be > 0");
  CheckRecordFits(int64_t{fsdLogRecLen} + length, FieldCount() + 1);
}

void TnxFieldsDescriptor::UpdateSetupAndOffsets() noexcept {
  for (auto& field : fsdFields) field->UpdateSetup();
  Relayout(0);
  UpdateLogRecLenAlign();
}

void TnxFieldsDescriptor::UpdateLogRecLenAlign() noexcept { fsdLogRecLenAlign = RoundUp4(fsdLogRecLen); }

// ---- record access ----

void TnxFieldsDescriptor::InitRecord(void* aData) const noexcept {
  if (!aData || fsdFields.empty()) return;
  std::memset(aData, 0, static_cast<size_t>(RecordLength()));
  std::memset(Bitmap(aData), 0xFF, static_cast<size_t>((FieldCount() + 7) / 8));
}

bool TnxFieldsDescriptor::IsRecordFieldNull(int32_t aField, const void* aData) const {
  CheckRange(aField);
  return !aData || IsRecordFieldNullFast(aField, aData);
}

void TnxFieldsDescriptor::GetRecordField(int32_t aField, const void* aData, bool& aIsNull, void* aValue) const {
  CheckRange(aField);
  aIsNull = !aData || IsRecordFieldNullFast(aField, aData);
  if (aIsNull || !aValue) return;
  const TnxFieldDescriptor& field = *fsdFields[static_cast<size_t>(aField)];
  std::memcpy(aValue, static_cast<const uint8_t*>(aData) + field.fdOffset, static_cast<size_t>(field.fdLength));
}

void TnxFieldsDescriptor::SetRecordField(int32_t aField, void* aData, const void* aValue) const {
  CheckRange(aField);
  const TnxFieldDescriptor& field = *fsdFields[static_cast<size_t>(aField)];
  uint8_t* bytes = static_cast<uint8_t*>(aData) + field.fdOffset;
  uint8_t& flags = Bitmap(aData)[aField >> 3];
  const auto bit = static_cast<uint8_t>(1u << (aField & 7));
  if (aValue) {
    flags &= static_cast<uint8_t>(~bit);
    std::memcpy(bytes, aValue, static_cast<size_t>(field.fdLength));
  } else {
    flags |= bit;
    std::memset(bytes, 0, static_cast<size_t>(field.fdLength));
  }
}

void TnxFieldsDescriptor::SetRecordFieldNull(int32_t aField, void* aData, bool aIsNull) const {
  CheckRange(aField);
  uint8_t& flags = Bitmap(aData)[aField >> 3];
  const auto bit = static_cast<uint8_t>(1u << (aField & 7));
  if (!aIsNull) {
    flags &= static_cast<uint8_t>(~bit);
    return;
  }
  flags |= bit;
  const TnxFieldDescriptor& field = *fsdFields[static_cast<size_t>(aField)];
  std::memset(static_cast<uint8_t*>(aData) + field.fdOffset, 0, static_cast<size_t>(field.fdLength));
}

const void* TnxFieldsDescriptor::GetRecordFieldForFilter(int32_t aField, const void* aData) const noexcept {
  if (!aData || IsRecordFieldNullFast(aField, aData)) return nullptr;
  return static_cast<const uint8_t*>(aData) + fsdFields[static_cast<size_t>(aField)]->fdOffset;
}

bool TnxFieldsDescriptor::GetRecordFieldForFilter(int32_t aField, const void* aData, TnxFieldType& aType,
                                                  uint16_t& aSize, const void*& aValue) const noexcept {
  if (aField < 0 || aField >= FieldCount()) return false;
  const TnxFieldDescriptor& field = *fsdFields[static_cast<size_t>(aField)];
  aType = field.fdType;
  aSize = static_cast<uint16_t>(field.fdLength);
  aValue = GetRecordFieldForFilter(aField, aData);
  return aValue != nullptr;
}

bool TnxFieldsDescriptor::GetFieldForFilter(int32_t aField, std::u16string_view, const void* aData, uint16_t& aType,
                                            uint16_t& aSize, bool& aIsNull, const void*& aValue,
                                            uint16_t& aCodePage) const {
  if (aField < 0 || aField >= FieldCount()) return false;
  TnxFieldDescriptor& field = *fsdFields[static_cast<size_t>(aField)];
  aIsNull = !aData || IsRecordFieldNullFast(aField, aData);
  aType = field.fdType;
  aSize = static_cast<uint16_t>(field.fdUnits);
  aCodePage = field.GetUsedStorageCodePage();
  if (!aData) {
    aValue = nullptr;
    return true;
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(aData) + field.fdOffset;
  aValue = bytes;
  if (field.fdType == nxtShortString) {
    aSize = bytes[0];
    aValue = bytes + 1;
  }
  return true;
}

platform::TnxVariant TnxFieldsDescriptor::fsdGetFieldByIndexAsVariant(const void* aRecordBuffer,
                                                                      int32_t aIndex) const {
  CheckRange(aIndex);
  TnxFieldDescriptor& field = *fsdFields[static_cast<size_t>(aIndex)];
  if (!aRecordBuffer || IsRecordFieldNullFast(aIndex, aRecordBuffer)) return platform::TnxVariant::Null();
  return field.fdGetBufferAsVariant(static_cast<const uint8_t*>(aRecordBuffer) + field.fdOffset);
}

platform::TnxVariant TnxFieldsDescriptor::fsdGetFieldByNameAsVariant(const void* aRecordBuffer,
                                                                     std::u16string_view aName) const {
  return fsdGetFieldByIndexAsVariant(aRecordBuffer, GetFieldFromName(aName));
}

void TnxFieldsDescriptor::fsdSetFieldByIndexAsVariant(void* aRecordBuffer, int32_t aIndex,
                                                      const platform::TnxVariant& aValue) const {
  CheckRange(aIndex);
  if (nxVarIsEmptyOrNull(aValue)) {
    SetRecordFieldNull(aIndex, aRecordBuffer, true);
    return;
  }
  SetRecordFieldNull(aIndex, aRecordBuffer, false);
  TnxFieldDescriptor& field = *fsdFields[static_cast<size_t>(aIndex)];
  field.fdSetBufferAsVariant(static_cast<uint8_t*>(aRecordBuffer) + field.fdOffset, aValue);
}

void TnxFieldsDescriptor::fsdSetFieldByNameAsVariant(void* aRecordBuffer, std::u16string_view aName,
                                                     const platform::TnxVariant& aValue) const {
  fsdSetFieldByIndexAsVariant(aRecordBuffer, GetFieldFromName(aName), aValue);
}

std::u16string TnxFieldsDescriptor::RecordBufferToString(const void* aRecordBuffer) const {
  std::u16string s;
  for (int32_t i = 0; i < FieldCount(); ++i) {
    s += fsdFields[static_cast<size_t>(i)]->fdName;
    s += u": ";
    const platform::TnxVariant value = fsdGetFieldByIndexAsVariant(aRecordBuffer, i);
    s += value.IsNull() || value.IsEmpty() ? std::u16string(u"<?>") : value.AsString();
    s += u"\r\n";
  }
  return s;
}

// ---- field list ----

TnxFieldDescriptor* TnxFieldsDescriptor::AddField(std::u16string_view aName, std::u16string_view aDesc,
                                                  TnxFieldType aType, int32_t aUnits, int32_t aDecPl,
                                                  bool aRequired, const TnxFieldDescriptorClass* aClass) {
  CheckReadOnly();
  if (nxCheckIdentifier(aName, nxeInvalidFieldName, false, true) != 0)
    throw EnxFieldsDescriptorException(nxeInvalidFieldName);
  if (GetFieldFromName(aName) >= 0)
    throw EnxFieldsDescriptorException(nxeNameNotUnique, kDuplicatedFieldName, {aName});
  CheckNewFieldFits(aType, aUnits, aDecPl, aRequired);
  if (!aClass) aClass = &TnxFieldDescriptor::ClassInfo();
  std::unique_ptr<TnxFieldDescriptor> field = aClass->Create(this, aName, aDesc, aType, aUnits, aDecPl, aRequired);
  CheckRecordFits(int64_t{fsdLogRecLen} + field->fdLength, FieldCount() + 1);
  fsdFields.push_back(std::move(field));
  Relayout(FieldCount() - 1);
  return fsdFields.back().get();
}

TnxFieldDescriptor* TnxFieldsDescriptor::AddField(const TnxFieldDescriptor& aFieldDescriptor) {
  CheckReadOnly();
  TnxFieldDescriptor* field =
      AddField(aFieldDescriptor.fdName, aFieldDescriptor.fdDesc, aFieldDescriptor.fdType, aFieldDescriptor.fdUnits,
               aFieldDescriptor.fdDecPl, aFieldDescriptor.fdRequired, &aFieldDescriptor.ClassType());
  try {
    const int32_t id = field->ID(), offset = field->fdOffset, length = field->fdLength;
    TnxMemoryStream stream;
    {
      TnxWriter writer(stream);
      aFieldDescriptor.SaveToWriter(writer, nxLibraryVersion);
    }
    stream.SetPosition(0);
    {
      TnxReader reader(stream);
      field->LoadFromReader(reader);
    }
    field->SetID(id);
    field->fdOffset = offset;
    field->fdLength = length;
  } catch (...) {
    RemoveField(field->fdNumber);
    throw;
  }
  return field;
}

TnxFieldDescriptor* TnxFieldsDescriptor::InsertFieldAt(int32_t aInx, std::u16string_view aName,
                                                       std::u16string_view aDesc, TnxFieldType aType, int32_t aUnits,
                                                       int32_t aDecPl, bool aRequired,
                                                       const TnxFieldDescriptorClass* aClass) {
  CheckReadOnly();
  if (nxCheckIdentifier(aName, nxeInvalidFieldName, false, true) != 0)
    throw EnxFieldsDescriptorException(nxeInvalidFieldName);
  if (aInx < 0 || aInx > FieldCount())
    throw EnxFieldsDescriptorException(nxeInvalidDescriptorNumber, kIndexOutOfBounds, {aInx});
  // Refused before the listeners hear of it, so that every "before" is
  // followed by its "after".
  if (GetFieldFromName(aName) >= 0)
    throw EnxFieldsDescriptorException(nxeNameNotUnique, kDuplicatedFieldName, {aName});
  CheckNewFieldFits(aType, aUnits, aDecPl, aRequired);
  fsdFieldChangeNotification(true, -1, aInx);
  TnxFieldDescriptor* field = AddField(aName, aDesc, aType, aUnits, aDecPl, aRequired, aClass);
  if (aInx == FieldCount() - 1) return field;
  std::rotate(fsdFields.begin() + aInx, fsdFields.end() - 1, fsdFields.end());
  Relayout(aInx);
  fsdFieldChangeNotification(false, -1, aInx);
  return field;
}

void TnxFieldsDescriptor::MoveField(int32_t aFrom, int32_t aTo) {
  CheckReadOnly();
  CheckRange(aFrom);
  CheckRange(aTo);
  if (aFrom == aTo) return;
  fsdFieldChangeNotification(true, aFrom, aTo);
  auto first = fsdFields.begin();
  if (aFrom < aTo)
    std::rotate(first + aFrom, first + aFrom + 1, first + aTo + 1);
  else
    std::rotate(first + aTo, first + aFrom, first + aFrom + 1);
  Relayout(std::min(aFrom, aTo));
  fsdFieldChangeNotification(false, aFrom, aTo);
}

void TnxFieldsDescriptor::RemoveField(int32_t aInx) {
  CheckReadOnly();
  if (aInx < 0 || aInx >= FieldCount()) return;
  fsdFieldChangeNotification(true, aInx, -1);
  std::unique_ptr<TnxFieldDescriptor> removed = std::move(fsdFields[static_cast<size_t>(aInx)]);
  fsdFields.erase(fsdFields.begin() + aInx);
  const bool anyFollowed = aInx < FieldCount();
  Relayout(aInx);
  if (anyFollowed) fsdFieldChangeNotification(false, aInx, -1);
}

void TnxFieldsDescriptor::Clear(bool aNotify) {
  TnxDictionaryItem::Clear(aNotify);
  const int32_t count = FieldCount();
  if (aNotify)
    for (int32_t n = count - 1; n >= 0; --n) fsdFieldChangeNotification(true, n, -1);
  while (!fsdFields.empty()) fsdFields.pop_back();
  Relayout(0);
  if (aNotify)
    for (int32_t n = count - 1; n >= 0; --n) fsdFieldChangeNotification(false, n, -1);
}

void TnxFieldsDescriptor::fsdFieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField) {
  fsdFieldChangeNotifies.Notify(
      [&](TnxDictionaryItem& listener) { listener.FieldChangeNotification(aBefore, aOldField, aNewField); });
}

int32_t TnxFieldsDescriptor::GetFieldFromName(std::u16string_view aFieldName) const {
  return GetFieldFromNameFast(platform::AsciiLowerCase(aFieldName));
}

int32_t TnxFieldsDescriptor::GetFieldFromNameFast(std::u16string_view aLowerName) const {
  if (CacheActive()) {
    // An empty layout has no buckets.
    if (fsdFieldHashList.empty()) return -1;
    const uint32_t bucket = nxHashElfString(aLowerName) % static_cast<uint32_t>(fsdFieldHashList.size());
    for (const TnxFieldDescriptor* f = fsdFieldHashList[bucket]; f; f = f->fdSameHashNext)
      if (f->fdNameLowerCase == aLowerName) return f->fdNumber;
    return -1;
  }
  for (const auto& field : fsdFields)
    if (field->fdNameLowerCase == aLowerName) return field->fdNumber;
  return -1;
}

void TnxFieldsDescriptor::GetFields(platform::TStringList& aStrings) const {
  aStrings.BeginUpdate();
  try {
    aStrings.Clear();
    for (const auto& field : fsdFields) aStrings.AddObject(field->fdName, field.get());
  } catch (...) {
    aStrings.EndUpdate();
    throw;
  }
  aStrings.EndUpdate();
}

void TnxFieldsDescriptor::PrepareForCache() {
  for (auto& field : fsdFields) field->PrepareForCache();
}

// ---- special fields ----

int32_t TnxFieldsDescriptor::SpecialKindOf(const TnxFieldDescriptor& aField) noexcept {
  const TnxBaseDefaultValueDescriptor* value = aField.fdDefaultValue.get();
  switch (aField.fdType) {
    case nxtAutoInc: return sftAutoInc;
    case nxtRecRev: return sftRecRev;
    case nxtRefNr: return sftRefNr;
    case nxtGuid:
      if (dynamic_cast<const TnxAutoGuidDefaultValueDescriptor*>(value) && value->ApplyOnInsert() &&
          !value->ApplyOnModify() && !value->OverwriteNonNull())
        return sftAutoGuid;
      return -1;
    case nxtInt64:
      if (dynamic_cast<const TnxNextLSNDefaultValueDescriptor*>(value))
        return value->ApplyOnModify() ? sftModifyLSN : sftInsertLSN;
      return -1;
    default: return -1;
  }
}

bool TnxFieldsDescriptor::HasSpecialField(TnxSpecialFieldType aKind, int32_t& aField) const {
  if (CacheActive() && fsdCachedSpecialFieldsInfo) {
    aField = fsdCachedSpecialFieldsInfo->sfiFields[aKind];
    return aField >= 0;
  }
  for (const auto& field : fsdFields)
    if (SpecialKindOf(*field) == aKind) {
      aField = field->fdNumber;
      return true;
    }
  aField = -1;
  return false;
}

bool TnxFieldsDescriptor::HasBlobFields(TnxBlobFields& aBlobFields) const {
  if (CacheActive() && fsdCachedSpecialFieldsInfo) {
    aBlobFields = fsdCachedSpecialFieldsInfo->sfiBlobFields;
  } else {
    aBlobFields.clear();
    for (const auto& field : fsdFields)
      if (field->IsBlob()) aBlobFields.push_back(field->fdNumber);
  }
  return !aBlobFields.empty();
}

bool TnxFieldsDescriptor::HasSameFields(const TnxFieldsDescriptor& aSource, std::vector<int32_t>* aBlobFields) const {
  if (FieldCount() != aSource.FieldCount()) return false;
  if (aBlobFields) aBlobFields->clear();
  for (size_t i = 0; i < fsdFields.size(); ++i) {
    const TnxFieldDescriptor& mine = *fsdFields[i];
    const TnxFieldDescriptor& theirs = *aSource.fsdFields[i];
    if (mine.fdLength != theirs.fdLength || !nxFieldTypeEquivalence[mine.fdType][theirs.fdType]) return false;
    if (aBlobFields && mine.IsBlob()) aBlobFields->push_back(static_cast<int32_t>(i));
  }
  return !fsdFields.empty();
}

void TnxFieldsDescriptor::fsdBuildSpecialFieldsInfo(TnxSpecialFieldsInfo& aInfo, bool aRebuildHash) {
  const auto count = static_cast<size_t>(FieldCount());
  if (aRebuildHash) {
    fsdFieldHashList.assign(count, nullptr);
    for (auto& field : fsdFields) {
      const uint32_t bucket = nxHashElfString(field->fdNameLowerCase) % static_cast<uint32_t>(count);
      field->fdSameHashNext = fsdFieldHashList[bucket];
      fsdFieldHashList[bucket] = field.get();
    }
  }
  nxInitSpecialFieldsInfo(aInfo);
  aInfo.sfiBlobFields.assign(count, -1);
  aInfo.sfiFieldsToBlobFields.assign(count, -1);
  int32_t blobs = 0;
  for (auto& field : fsdFields) {
    field->fdBlobIndex = -1;
    const int32_t kind = SpecialKindOf(*field);
    if (kind >= 0 && aInfo.sfiFields[kind] < 0) {
      aInfo.sfiFields[kind] = field->fdNumber;
      aInfo.sfiOffsets[kind] = field->fdOffset;
    }
    if (field->IsBlob()) {
      aInfo.sfiBlobFields[static_cast<size_t>(blobs)] = field->fdNumber;
      aInfo.sfiFieldsToBlobFields[static_cast<size_t>(field->fdNumber)] = blobs;
      field->fdBlobIndex = blobs++;
    }
  }
  aInfo.sfiBlobFields.resize(static_cast<size_t>(blobs));
  if (blobs == 0) aInfo.sfiFieldsToBlobFields.clear();
}

void TnxFieldsDescriptor::GetSpecialFieldsInfo(TnxSpecialFieldsInfo*& aInfo) {
  nxReleaseSpecialFieldsInfo(aInfo);
  if (fsdCachedSpecialFieldsInfo) {
    aInfo = nxSpecialFieldsInfoAddRef(fsdCachedSpecialFieldsInfo);
    return;
  }
  TnxSpecialFieldsInfoRef info = TnxSpecialFieldsInfoRef::Adopt(nxNewSpecialFieldsInfo());
  fsdBuildSpecialFieldsInfo(*info, false);
  aInfo = nxSpecialFieldsInfoAddRef(info.get());
}

void TnxFieldsDescriptor::GetDiffCompressionInfo(TnxDiffCompressorInfo*& aDCI) {
  TnxDiffCompressorInfo* cached = fsdCachedDiffCompressorInfo.load(std::memory_order_acquire);
  if (cached && aDCI == cached) return;
  nxReleaseDiffCompressorInfo(aDCI);
  if (cached) {
    aDCI = nxDiffCompressorInfoAddRef(cached);
    return;
  }
  TnxDiffCompressorInfoRef info =
      TnxDiffCompressorInfoRef::Adopt(nxNewDiffCompressorInfo(static_cast<uint32_t>(RecordLength())));
  const TnxPoolHandle pool = RecordAllocator();
  void* plain = TnxMemoryPool::Alloc(pool);
  void* marked = nullptr;
  try {
    marked = TnxMemoryPool::Alloc(pool);
  } catch (...) {
    TnxMemoryPool::DisposeDirect(pool, plain);
    throw;
  }
  InitRecord(plain);
  InitRecord(marked);
  static constexpr uint8_t kAllOnes[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  for (TnxSpecialFieldType kind : {sftRecRev, sftRefNr, sftModifyLSN, sftInsertLSN}) {
    int32_t field = -1;
    if (HasSpecialField(kind, field)) SetRecordField(field, marked, kAllOnes);
  }
  nxDiffSetRequiredWords(*info, plain, marked);
  TnxMemoryPool::DisposeDirect(pool, plain);
  TnxMemoryPool::DisposeDirect(pool, marked);
  if (CacheActive()) {
    TnxDiffCompressorInfo* expected = nullptr;
    TnxDiffCompressorInfo* mine = nxDiffCompressorInfoAddRef(info.get());
    if (fsdCachedDiffCompressorInfo.compare_exchange_strong(expected, mine, std::memory_order_acq_rel)) {
      aDCI = nxDiffCompressorInfoAddRef(mine);
      return;
    }
    // Another thread published first: share its info.
    nxReleaseDiffCompressorInfo(mine);
    aDCI = nxDiffCompressorInfoAddRef(expected);
    return;
  }
  aDCI = nxDiffCompressorInfoAddRef(info.get());
}

void TnxFieldsDescriptor::ActivateCache() {
  if (CacheActive()) return;
  fsdCachedGetRecordLength = RecordLength();
  fsdRecordAllocator = RecordAllocator();
  TnxDictionaryItem::ActivateCache();
  // A private info: whoever shares the old one keeps it.
  nxReleaseSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
  fsdCachedSpecialFieldsInfo = nxNewSpecialFieldsInfo();
  fsdBuildSpecialFieldsInfo(*fsdCachedSpecialFieldsInfo, true);
}

void TnxFieldsDescriptor::DeactivateCache() {
  fsdFieldHashList.clear();
  for (auto& field : fsdFields) field->fdSameHashNext = nullptr;
  fsdRecordAllocator = 0;
  nxReleaseSpecialFieldsInfo(fsdCachedSpecialFieldsInfo);
  TnxDiffCompressorInfo* dci = fsdCachedDiffCompressorInfo.exchange(nullptr);
  nxReleaseDiffCompressorInfo(dci);
  TnxDictionaryItem::DeactivateCache();
}

// ---- validation, equality, streams ----

TnxFieldsValidationsDescriptor* TnxFieldsDescriptor::Validations() const noexcept {
  return static_cast<TnxFieldsValidationsDescriptor*>(fsdValidations.get());
}

TnxFieldsValidationsDescriptor* TnxFieldsDescriptor::AddValidations() {
  CheckReadOnly();
  fsdValidations.reset();
  fsdValidations = std::make_unique<TnxFieldsValidationsDescriptor>(this);
  return Validations();
}

void TnxFieldsDescriptor::RemoveValidations() {
  CheckReadOnly();
  fsdValidations.reset();
}

void TnxFieldsDescriptor::CheckValid(bool aForBuild) {
  TnxDictionaryItem::CheckValid(aForBuild);
  if (fsdFields.empty())
    throw EnxFieldsDescriptorException(nxeInvalidRecordStructure, u"FieldsDescriptor requires a minimum of one field");
  int64_t sum = 0;
  bool seen[nxSpecialFieldTypeCount] = {};
  static constexpr uint32_t kDuplicateCodes[nxSpecialFieldTypeCount] = {
      nxeDuplicateAutoIncField, 0, nxeDuplicateRecRevField, nxeDuplicateRefNrField, nxeDuplicateLsnField,
      nxeDuplicateLsnField};
  // Names of printable ASCII compare by their folded keys, sparing the
  // collator on every table open; other names still go through it.
  std::vector<std::string> keys(fsdFields.size());
  std::vector<bool> keyed(fsdFields.size());
  for (size_t i = 0; i < fsdFields.size(); ++i) keyed[i] = platform::AnsiTextAsciiKey(fsdFields[i]->fdName, keys[i]);
  for (int32_t i = 0; i < FieldCount(); ++i) {
    TnxFieldDescriptor& field = *fsdFields[static_cast<size_t>(i)];
    if (field.fdOffset != sum)
      throw EnxFieldsDescriptorException(nxeInvalidRecordStructure,
                                         u"fdOffset is wrong for field %d (%s). Expected %d found %d.",
                                         {i, field.fdName, sum, field.fdOffset});
    for (int32_t j = 0; j < i; ++j) {
      const auto a = static_cast<size_t>(j), b = static_cast<size_t>(i);
      const bool same = keyed[a] && keyed[b] ? keys[a] == keys[b]
                                             : nxCompareTextLocale(fsdFields[a]->fdName, field.fdName) == 0;
      if (same) throw EnxFieldsDescriptorException(nxeNameNotUnique, kDuplicatedFieldName, {field.fdName});
    }
    field.fdNumber = i;
    field.CheckValid(aForBuild);
    const int32_t kind = SpecialKindOf(field);
    if (kind >= 0) {
      if (seen[kind] && kDuplicateCodes[kind] != 0) throw EnxFieldsDescriptorException(kDuplicateCodes[kind]);
      seen[kind] = true;
    }
    sum += field.fdLength;
  }
  CheckRecordFits(sum, FieldCount());
  if (fsdValidations) fsdValidations->CheckValid(aForBuild);
}

bool TnxFieldsDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxDictionaryItem::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxFieldsDescriptor*>(aItem);
  if (!other || other->FieldCount() != FieldCount() || other->fsdLogRecLen != fsdLogRecLen ||
      other->fsdLogRecLenAlign != fsdLogRecLenAlign)
    return false;
  for (size_t i = 0; i < fsdFields.size(); ++i)
    if (!other->fsdFields[i]->IsEqual(fsdFields[i].get())) return false;
  return fsdValidations ? fsdValidations->IsEqual(other->fsdValidations.get()) : !other->fsdValidations;
}

void TnxFieldsDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  if (aClientVersion < nxClientVersionIDs) throw EnxFieldsDescriptorException(nxeIncompatibleVersion);
  TnxDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{2});
  aWriter.WriteInteger(FieldCount());
  for (const auto& field : fsdFields) {
    TnxFieldType type = field->fdType;
    if (type == nxtRefNr && aClientVersion < kClientVersionRefNr) {
      type = nxtInt64;
      nxDictInfoStripped = true;
    }
    aWriter.WriteString(field->ClassName());
    aWriter.WriteString(field->fdName);
    aWriter.WriteString(field->fdDesc);
    aWriter.WriteString(nxFieldTypeIdent(type));
    aWriter.WriteInteger(field->fdUnits);
    aWriter.WriteInteger(field->fdDecPl);
    aWriter.WriteBoolean(field->fdRequired);
    field->SaveToWriter(aWriter, aClientVersion);
  }
  aWriter.WriteInteger(fsdLogRecLen);
  aWriter.WriteInteger(fsdLogRecLenAlign);
  aWriter.WriteBoolean(fsdValidations != nullptr);
  if (fsdValidations) {
    aWriter.WriteString(fsdValidations->ClassName());
    fsdValidations->SaveToWriter(aWriter, aClientVersion);
  }
}

void TnxFieldsDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxDictionaryItem::LoadFromReader(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version != 1 && version != 2) throw EnxFieldsDescriptorException(nxeIncompatibleStream);
  while (!fsdFields.empty()) fsdFields.pop_back();
  Relayout(0);
  const int32_t count = aReader.ReadInteger();
  if (count < 0) throw EnxFieldsDescriptorException(nxeIncompatibleStream);
  int64_t sum = 0;
  for (int32_t i = 0; i < count; ++i) {
    fsdFields.push_back(nxReadFieldHeader(aReader, this));
    TnxFieldDescriptor& field = *fsdFields.back();
    field.fdNumber = i;
    field.LoadFromReader(aReader);
    // Record access trusts offsets and lengths: a stream that packs the
    // fields otherwise, or outgrows a record, is refused here.
    if (field.fdOffset != sum)
      throw EnxFieldsDescriptorException(nxeInvalidRecordStructure,
                                         u"fdOffset is wrong for field %d (%s). Expected %d found %d.",
                                         {i, field.fdName, sum, field.fdOffset});
    sum += field.fdLength;
    CheckRecordFits(sum, i + 1);
  }
  const int32_t logRecLen = aReader.ReadInteger();
  const int32_t logRecLenAlign = aReader.ReadInteger();
  if (logRecLen != sum || (logRecLenAlign != logRecLen && logRecLenAlign != RoundUp4(logRecLen)))
    throw EnxFieldsDescriptorException(nxeInvalidRecordStructure,
                                       u"Record length %d (aligned %d) does not match its fields (%d)",
                                       {logRecLen, logRecLenAlign, sum});
  fsdLogRecLen = logRecLen;
  fsdLogRecLenAlign = logRecLenAlign;
  fsdValidations.reset();
  if (version >= 2 && aReader.ReadBoolean()) fsdValidations = nxReadValidations(aReader, this, true);
}

}  // namespace revurov
