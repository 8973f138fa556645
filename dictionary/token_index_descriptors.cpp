#include "dictionary/token_index_descriptors.h"

#include "dictionary/index_descriptor.h"
#include "dictionary/locale_descriptor.h"
#include "dictionary/token_key_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/format.h"
#include "platform/rtl_exception.h"

namespace revurov {

constinit TnxClassRegistry nxBitArrayStorageHandlerClasses;

namespace {

constexpr std::u16string_view kReverse = u"Reverse";
// The ignore-case flag of the platform's locale compare.
constexpr uint32_t kIgnoreCaseFlag = 1;

template <class E>
void CheckVersion(TnxReader& aReader) {
  if (aReader.ReadInteger() != 1) throw E(nxeIncompatibleStream);
}

// Locale and compare flags of an item's used locale; 0 and 0 without one.
void UsedLocale(TnxLocalizedDictionaryItem& aItem, uint32_t& aLocale, uint32_t& aFlags) {
  const TnxLocaleDescriptor* locale = aItem.GetUsedLocaleDescriptor();
  aLocale = locale ? locale->Locale() : 0;
  aFlags = locale ? locale->GetFlags() : 0;
}

}  // namespace

// ---- storage handlers ----

void TnxBaseBitArrayStorageHandlerDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseFulltextIndexDictionaryItem::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}
void TnxBaseBitArrayStorageHandlerDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseFulltextIndexDictionaryItem::LoadFromReader(aReader);
  CheckVersion<EnxBaseBitArrayStorageHandlerDescriptorException>(aReader);
}

void TnxSimpleBitArrayStorageHandlerDescriptor::CheckValid(bool) {
  TnxPersistent* fulltext = nullptr;
  if (FindParentOfType(TnxFulltextDescriptor::ClassInfo(), fulltext)) {
    auto* descriptor = static_cast<TnxFulltextDescriptor*>(fulltext);
    if (!descriptor->BlobDescriptor()) descriptor->AddBlobDescriptor();
  }
}
void TnxSimpleBitArrayStorageHandlerDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseBitArrayStorageHandlerDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
}
void TnxSimpleBitArrayStorageHandlerDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseBitArrayStorageHandlerDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxSimpleBitArrayStorageHandlerDescriptorException>(aReader);
}

// ---- TnxBitArrayTokenIndexDescriptor ----

void TnxBitArrayTokenIndexDescriptor::BeforeRemoval() noexcept {
  // A read-only dictionary refuses the removal; its index list goes with it.
  try {
    RemoveIndex();
    RemoveReverseIndex();
  } catch (...) {
  }
}

void TnxBitArrayTokenIndexDescriptor::SetMaxTokenSize(int32_t aValue) {
  CheckReadOnly();
  batidMaxTokenSize = nxClampTokenSize(aValue);
}
void TnxBitArrayTokenIndexDescriptor::SetPerFieldIndex(bool aValue) {
  CheckReadOnly();
  batidPerFieldIndex = aValue;
}
void TnxBitArrayTokenIndexDescriptor::SetPerLocationIndex(bool aValue) {
  CheckReadOnly();
  batidPerLocationIndex = aValue;
}
void TnxBitArrayTokenIndexDescriptor::SetSegmentIndex(bool aValue) {
  CheckReadOnly();
  batidSegmentIndex = aValue;
}

TnxBaseBitArrayStorageHandlerDescriptor* TnxBitArrayTokenIndexDescriptor::AddBitArrayStorageHandler(
    const TnxFulltextItemClass* aClass) {
  CheckReadOnly();
  batidBitArrayStorageHandler.reset();
  const auto& cls = aClass ? *aClass : TnxSimpleBitArrayStorageHandlerDescriptor::ClassInfo();
  std::unique_ptr<TnxBaseFulltextIndexDictionaryItem> made = cls.Create(this);
  auto* handler = dynamic_cast<TnxBaseBitArrayStorageHandlerDescriptor*>(made.get());
  if (!handler) throw platform::EInvalidCast(platform::SInvalidCast);
  made.release();
  batidBitArrayStorageHandler.reset(handler);
  return handler;
}

void TnxBitArrayTokenIndexDescriptor::RemoveBitArrayStorageHandler() {
  CheckReadOnly();
  batidBitArrayStorageHandler.reset();
}

std::u16string TnxBitArrayTokenIndexDescriptor::GetIndexName(std::u16string_view aSuffix) const {
  TnxPersistent* index = nullptr;
  std::u16string name;
  if (FindParentOfType(TnxFulltextIndexDescriptor::ClassInfo(), index))
    name = static_cast<TnxFulltextIndexDescriptor*>(index)->Name();
  name += u'$';
  name += Name();
  if (!aSuffix.empty()) {
    name += u'$';
    name += aSuffix;
  }
  return name;
}

TnxIndexDescriptor* TnxBitArrayTokenIndexDescriptor::InternalAddIndex(std::u16string_view aSuffix,
                                                                      int32_t aFileNumber,
                                                                      const TnxKeyDescriptorClass* aKeyClass,
                                                                      const TnxIndexDescriptorClass* aIndexClass) {
  uint32_t locale = 0, flags = 0;
  UsedLocale(*this, locale, flags);
  auto* fulltext = static_cast<TnxFulltextDescriptor*>(GetParentOfType(TnxFulltextDescriptor::ClassInfo()));
  TnxIndexDescriptor* index = fulltext->ForceIndicesDescriptor()->AddIndex(
      GetIndexName(aSuffix), aFileNumber, idNone, u"",
      aKeyClass ? aKeyClass : &TnxBitArrayTokenKeyDescriptor::ClassInfo(), aIndexClass);
  if (auto* key = dynamic_cast<TnxBitArrayTokenKeyDescriptor*>(index->KeyDescriptor())) {
    key->SetPerFieldIndex(batidPerFieldIndex);
    key->SetMaxTokenSize(batidMaxTokenSize);
    key->SetLocale(locale);
    key->SetFlags(flags);
  }
  return index;
}

TnxIndexDescriptor* TnxBitArrayTokenIndexDescriptor::AddIndex(int32_t aFileNumber,
                                                              const TnxKeyDescriptorClass* aKeyClass,
                                                              const TnxIndexDescriptorClass* aIndexClass) {
  CheckReadOnly();
  RemoveIndex();
  return InternalAddIndex({}, aFileNumber, aKeyClass, aIndexClass);
}

TnxIndexDescriptor* TnxBitArrayTokenIndexDescriptor::AddReverseIndex(int32_t aFileNumber,
                                                                     const TnxKeyDescriptorClass* aKeyClass,
                                                                     const TnxIndexDescriptorClass* aIndexClass) {
  CheckReadOnly();
  RemoveReverseIndex();
  TnxIndexDescriptor* index = InternalAddIndex(kReverse, aFileNumber, aKeyClass, aIndexClass);
  try {
    auto* key = dynamic_cast<TnxBitArrayTokenKeyDescriptor*>(index->KeyDescriptor());
    if (!key) throw EnxBitArrayTokenIndexDescriptorException(nxeInvalidDescriptor);
    key->SetReverse(true);
  } catch (...) {
    RemoveReverseIndex();
    throw;
  }
  return index;
}

TnxIndexDescriptor* TnxBitArrayTokenIndexDescriptor::FindIndex(std::u16string_view aSuffix) {
  TnxTokenIndicesDescriptor* indices = FindRelated<TnxTokenIndicesDescriptor>();
  return indices ? indices->GetDescriptorFromName(GetIndexName(aSuffix)) : nullptr;
}

void TnxBitArrayTokenIndexDescriptor::InternalRemoveIndex(std::u16string_view aSuffix) {
  if (TnxTokenIndicesDescriptor* indices = FindRelated<TnxTokenIndicesDescriptor>())
    indices->RemoveIndex(GetIndexName(aSuffix));
}

void TnxBitArrayTokenIndexDescriptor::RemoveIndex() { InternalRemoveIndex({}); }
void TnxBitArrayTokenIndexDescriptor::RemoveReverseIndex() { InternalRemoveIndex(kReverse); }
TnxIndexDescriptor* TnxBitArrayTokenIndexDescriptor::IndexDescriptor() { return FindIndex({}); }
TnxIndexDescriptor* TnxBitArrayTokenIndexDescriptor::ReverseIndexDescriptor() { return FindIndex(kReverse); }

// Only what differs goes through the setters: a read-only dictionary
// refuses (15500) only a change it would need.
void TnxBitArrayTokenIndexDescriptor::SyncKeyDescriptor(TnxIndexDescriptor& aIndex, bool aReverse, uint32_t aLocale,
                                                        uint32_t aFlags) {
  auto* key = dynamic_cast<TnxBitArrayTokenKeyDescriptor*>(aIndex.KeyDescriptor());
  if (!key) throw EnxBitArrayTokenIndexDescriptorException(nxeInvalidDescriptor);
  if (key->PerFieldIndex() != batidPerFieldIndex) key->SetPerFieldIndex(batidPerFieldIndex);
  if (key->MaxTokenSize() != batidMaxTokenSize) key->SetMaxTokenSize(batidMaxTokenSize);
  if (key->Reverse() != aReverse) key->SetReverse(aReverse);
  if (key->Locale() != aLocale) key->SetLocale(aLocale);
  if (key->Flags() != aFlags) key->SetFlags(aFlags);
}

void TnxBitArrayTokenIndexDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTokenIndexDescriptor::CheckValid(aForBuild);
  uint32_t locale = 0, flags = 0;
  UsedLocale(*this, locale, flags);
  TnxIndexDescriptor* index = IndexDescriptor();
  TnxIndexDescriptor* reverse = ReverseIndexDescriptor();
  if (index) SyncKeyDescriptor(*index, false, locale, flags);
  if (reverse) SyncKeyDescriptor(*reverse, true, locale, flags);
  if ((index || reverse) && !batidBitArrayStorageHandler) AddBitArrayStorageHandler();
  if (batidBitArrayStorageHandler) batidBitArrayStorageHandler->CheckValid(aForBuild);
}

bool TnxBitArrayTokenIndexDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTokenIndexDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxBitArrayTokenIndexDescriptor*>(aItem);
  return other && batidMaxTokenSize == other->batidMaxTokenSize && batidPerFieldIndex == other->batidPerFieldIndex &&
         batidPerLocationIndex == other->batidPerLocationIndex && batidSegmentIndex == other->batidSegmentIndex &&
         nxBothAbsentOrEqual(batidBitArrayStorageHandler.get(), other->batidBitArrayStorageHandler.get());
}

// The storage handler is not written: validation makes the default again.
void TnxBitArrayTokenIndexDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTokenIndexDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(batidMaxTokenSize);
  aWriter.WriteBoolean(batidPerFieldIndex);
  aWriter.WriteBoolean(batidPerLocationIndex);
  aWriter.WriteBoolean(batidSegmentIndex);
}

void TnxBitArrayTokenIndexDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenIndexDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxBitArrayTokenIndexDescriptorException>(aReader);
  batidMaxTokenSize = nxClampTokenSize(aReader.ReadInteger());
  batidPerFieldIndex = aReader.ReadBoolean();
  batidPerLocationIndex = aReader.ReadBoolean();
  batidSegmentIndex = aReader.ReadBoolean();
}

// ---- TnxMainIndexTokenIndexDescriptor ----

TnxMainIndexTokenIndexDescriptor::TnxMainIndexTokenIndexDescriptor(TnxPersistent* aParent)
    : TnxBaseTokenIndexDescriptor(aParent) {
  if (auto* indices = FindRelated<TnxMainIndicesDescriptor>()) {
    indices->AddIndexChangeListener(this);
    mitidListeningTo = indices;
  }
}

TnxMainIndexTokenIndexDescriptor::~TnxMainIndexTokenIndexDescriptor() {
  if (mitidListeningTo) mitidListeningTo->RemoveIndexChangeListener(this);
}

void TnxMainIndexTokenIndexDescriptor::CheckMainIndex(int32_t aNumber) {
  TnxDictionaryItem* found = nullptr;
  if (!FindRelatedDescriptorOfType(TnxMainIndicesDescriptor::ClassInfo(), found)) return;
  auto* indices = static_cast<TnxMainIndicesDescriptor*>(found);
  if (!indices || aNumber < 0 || aNumber >= indices->IndexCount())
    throw EnxMainIndexTokenIndexDescriptorException(nxeIndexDoesNotExist);
  if (!dynamic_cast<const TnxMainIndexTokenKeyDescriptor*>(indices->IndexDescriptor(aNumber)->KeyDescriptor()))
    throw EnxMainIndexTokenIndexDescriptorException(nxeInvalidDescriptor,
                                                     u"Index must use a TnxMainIndexTokenIndexKeyDescriptor");
}

void TnxMainIndexTokenIndexDescriptor::SetMainIndexNumber(int32_t aValue) {
  CheckReadOnly();
  if (aValue >= 0) CheckMainIndex(aValue);
  mitidMainIndexNumber = aValue;
}

void TnxMainIndexTokenIndexDescriptor::SetIgnoreCase(bool aValue) {
  CheckReadOnly();
  mitidIgnoreCase = aValue;
}

TnxIndexDescriptor* TnxMainIndexTokenIndexDescriptor::MainIndex() {
  CheckMainIndex(mitidMainIndexNumber);
  auto* indices = FindRelated<TnxMainIndicesDescriptor>();
  return indices ? indices->IndexDescriptor(mitidMainIndexNumber) : nullptr;
}

void TnxMainIndexTokenIndexDescriptor::IndexChangeNotification(bool aBefore, int32_t aOldIndex, int32_t aNewIndex) {
  if (mitidMainIndexNumber < 0) return;
  if (aBefore) {
    if (aOldIndex == mitidMainIndexNumber && aNewIndex < 0) {
      auto* indices = FindRelated<TnxMainIndicesDescriptor>();
      const std::u16string name = indices && mitidMainIndexNumber < indices->IndexCount()
                                      ? indices->IndexDescriptor(mitidMainIndexNumber)->Name()
                                      : platform::Format(u"%d", {mitidMainIndexNumber});
      throw EnxMainIndexTokenIndexDescriptorException(
          nxeObjectInUse, u"Cannot remove index %s because it is still referenced by a fulltext index", {name});
    }
    return;
  }
  mitidMainIndexNumber = nxRenumberReference(mitidMainIndexNumber, aOldIndex, aNewIndex);
}

void TnxMainIndexTokenIndexDescriptor::CheckValid(bool aForBuild) {
  TnxBaseTokenIndexDescriptor::CheckValid(aForBuild);
  CheckMainIndex(mitidMainIndexNumber);
  uint32_t locale = 0, flags = 0;
  UsedLocale(*this, locale, flags);
  if (mitidIgnoreCase) flags |= kIgnoreCaseFlag;
  auto* indices = FindRelated<TnxMainIndicesDescriptor>();
  if (!indices) return;
  auto* key = static_cast<TnxMainIndexTokenKeyDescriptor*>(indices->IndexDescriptor(mitidMainIndexNumber)->KeyDescriptor());
  if (key->Locale() != locale) key->SetLocale(locale);
  if (key->Flags() != flags) key->SetFlags(flags);
}

bool TnxMainIndexTokenIndexDescriptor::IsEqual(const TnxDictionaryItem* aItem) const {
  if (!TnxBaseTokenIndexDescriptor::IsEqual(aItem)) return false;
  const auto* other = dynamic_cast<const TnxMainIndexTokenIndexDescriptor*>(aItem);
  return other && mitidMainIndexNumber == other->mitidMainIndexNumber && mitidIgnoreCase == other->mitidIgnoreCase;
}

void TnxMainIndexTokenIndexDescriptor::SaveToWriter(TnxWriter& aWriter, uint32_t aClientVersion) const {
  TnxBaseTokenIndexDescriptor::SaveToWriter(aWriter, aClientVersion);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteInteger(mitidMainIndexNumber);
  aWriter.WriteBoolean(mitidIgnoreCase);
}

void TnxMainIndexTokenIndexDescriptor::LoadFromReader(TnxReader& aReader) {
  TnxBaseTokenIndexDescriptor::LoadFromReader(aReader);
  CheckVersion<EnxMainIndexTokenIndexDescriptorException>(aReader);
  mitidMainIndexNumber = aReader.ReadInteger();
  mitidIgnoreCase = aReader.ReadBoolean();
}

}  // namespace revurov
