#include "dictionary/int64_key_engines.h"

#include <cstring>

#include "dictionary/key_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/strings/utils_compare.h"
#include "platform/endian.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {

namespace {

int64_t Load64(const uint8_t* p) noexcept { return static_cast<int64_t>(platform::LoadU64(p)); }

int Compare64(const uint8_t* a, const uint8_t* b) noexcept { return nxCmpInt64(Load64(a), Load64(b)); }

template <class D>
void CheckDescriptorIs(TnxBaseKeyDescriptor& aDescriptor) {
  if (!aDescriptor.ClassType().InheritsFrom(D::ClassInfo())) throw platform::EInvalidCast(platform::SInvalidCast);
}

}  // namespace

TnxInt64KeyEngine::TnxInt64KeyEngine(TnxBaseKeyDescriptor& aDescriptor) : TnxBaseKeyEngine(aDescriptor) {
  SetKeyLength(8);
}

void TnxInt64KeyEngine::CheckValidDescriptor(TnxBaseKeyDescriptor& aDescriptor) {
  CheckDescriptorIs<TnxInt64KeyDescriptor>(aDescriptor);
}

bool TnxInt64KeyEngine::GetKeyFieldForFilter(int32_t aIndex, std::u16string_view aName, const uint8_t* aKey,
                                             uint16_t& aType, uint16_t& aSize, bool& aIsNull, const void*& aValue,
                                             uint16_t& aCodePage) const {
  if (!aName.empty() ? !platform::AsciiSameText(aName, FieldName()) : aIndex != 0) return false;
  aType = nxtInt64;
  aSize = 0;
  aIsNull = aKey == nullptr;
  aValue = aKey;
  aCodePage = 0;
  return true;
}

int32_t TnxInt64KeyEngine::GetKeyFieldIndex(std::u16string_view aName) const {
  return platform::AsciiSameText(aName, FieldName()) ? 0 : -1;
}

InxFieldDescriptor* TnxInt64KeyEngine::GetKeyFieldEngine(int32_t) const {
  return const_cast<TnxInt64KeyEngine*>(this);
}

void TnxInt64KeyEngine::ClearKey(uint8_t* aKey) const noexcept {
  if (aKey) std::memset(aKey, 0, 8);
}

uint32_t TnxInt64KeyEngine::BuildKey(const uint8_t* aRecord, uint8_t* aKey, TnxRefNr, bool aIgnoreFilter) const {
  if (!aRecord || !aKey) return nxeInvalidParameter;
  if (FilterRejects(aRecord, aIgnoreFilter)) return 1;
  std::memcpy(aKey, aRecord, 8);
  return 0;
}

int TnxInt64KeyEngine::CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t, int32_t) const {
  return Compare64(aKey1, aKey2);
}

int TnxInt64KeyEngine::CompareKey(const uint8_t* aKey1, const uint8_t* aKey2) const {
  return Compare64(aKey1, aKey2);
}

int TnxInt64KeyEngine::CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr, int32_t,
                                          int32_t) const {
  return Compare64(aKey, aRecord);
}

int TnxInt64KeyEngine::CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr) const {
  return Compare64(aKey, aRecord);
}

int TnxInt64KeyEngine::CompareRecord(const uint8_t* aRecord1, TnxRefNr, const uint8_t* aRecord2, TnxRefNr, int32_t,
                                     int32_t) const {
  return Compare64(aRecord1, aRecord2);
}

int TnxInt64KeyEngine::CompareRecord(const uint8_t* aRecord1, const uint8_t* aRecord2) const {
  return Compare64(aRecord1, aRecord2);
}

platform::TnxVariant TnxInt64KeyEngine::KeyAsVariant(const uint8_t* aKey, int32_t aField) const {
  if (aField != -1 && aField != 0) nxCheckError(nxeInvalidDescriptorNumber);
  return platform::TnxVariant::FromInt64(Load64(aKey));
}

TnxRefKeyEngine::TnxRefKeyEngine(TnxBaseKeyDescriptor& aDescriptor) : TnxInt64KeyEngine(aDescriptor) {}

void TnxRefKeyEngine::CheckValidDescriptor(TnxBaseKeyDescriptor& aDescriptor) {
  CheckDescriptorIs<TnxRefKeyDescriptor>(aDescriptor);
}

// The record is read only by a key filter.
uint32_t TnxRefKeyEngine::BuildKey(const uint8_t* aRecord, uint8_t* aKey, TnxRefNr aRefNr, bool aIgnoreFilter) const {
  if (!aKey) return nxeInvalidParameter;
  if (!aIgnoreFilter && Filter() && !aRecord) return nxeInvalidParameter;
  if (FilterRejects(aRecord, aIgnoreFilter)) return 1;
  platform::StoreU64(aKey, static_cast<uint64_t>(aRefNr));
  return 0;
}

int TnxRefKeyEngine::CompareKeyToRecord(const uint8_t* aKey, const uint8_t*, TnxRefNr aRefNr, int32_t,
                                        int32_t) const {
  return nxCmpInt64(Load64(aKey), aRefNr);
}

int TnxRefKeyEngine::CompareKeyToRecord(const uint8_t* aKey, const uint8_t*, TnxRefNr aRefNr) const {
  return nxCmpInt64(Load64(aKey), aRefNr);
}

int TnxRefKeyEngine::CompareRecord(const uint8_t*, TnxRefNr aRefNr1, const uint8_t*, TnxRefNr aRefNr2, int32_t,
                                   int32_t) const {
  return nxCmpInt64(aRefNr1, aRefNr2);
}

int TnxRefKeyEngine::CompareRecord(const uint8_t*, const uint8_t*) const { return 0; }

}  // namespace revurov
