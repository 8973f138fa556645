#include "server/engines/blob_cache_key_engine.h"

#include <cstring>

#include "dictionary/key_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/strings/utils_compare.h"
#include "platform/endian.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {

namespace {

struct TFieldInfo {
  std::u16string_view Name;
  TnxFieldType Type;
  int32_t Offset;
  bool Wide;  // 64 bits, else 32
};

constexpr TFieldInfo kFields[TnxBlobCacheKeyEngine::kFieldCount] = {
    {u"BlobNr", nxtInt64, 0, true},
    {u"FieldNo", nxtInt32, 8, false},
    {u"RefNr", nxtInt64, 12, true},
    {u"InsertLSN", nxtInt64, 20, true},
};

int32_t FieldIndexOf(std::u16string_view aName) noexcept {
  for (int32_t i = 0; i < TnxBlobCacheKeyEngine::kFieldCount; ++i)
    if (platform::AsciiSameText(aName, kFields[i].Name)) return i;
  return -1;
}

int64_t Load64(const uint8_t* p) noexcept { return static_cast<int64_t>(platform::LoadU64(p)); }
int32_t Load32(const uint8_t* p) noexcept { return static_cast<int32_t>(platform::LoadU32(p)); }

int CompareFields(const uint8_t* a, const uint8_t* b, int32_t aFieldCount) noexcept {
  const int32_t n = aFieldCount <= 0 ? TnxBlobCacheKeyEngine::kFieldCount : aFieldCount;
  int r = nxCmpInt64(Load64(a), Load64(b));
  if (r != 0 || n < 2) return r;
  r = nxCmpInteger(Load32(a + 8), Load32(b + 8));
  if (r != 0 || n < 3) return r;
  r = nxCmpInt64(Load64(a + 12), Load64(b + 12));
  if (r != 0 || n < 4) return r;
  return nxCmpInt64(Load64(a + 20), Load64(b + 20));
}

platform::TnxVariant FieldAsVariant(const uint8_t* aKey, int32_t aField) {
  const TFieldInfo& f = kFields[aField];
  return f.Wide ? platform::TnxVariant::FromInt64(Load64(aKey + f.Offset))
                : platform::TnxVariant::FromInteger(Load32(aKey + f.Offset));
}

}  // namespace

TnxBlobCacheKeyEngine::TnxBlobCacheKeyEngine(TnxBaseKeyDescriptor& aDescriptor) : TnxBaseKeyEngine(aDescriptor) {
  SetKeyLength(kKeyLength);
}

void TnxBlobCacheKeyEngine::CheckValidDescriptor(TnxBaseKeyDescriptor& aDescriptor) {
  if (!aDescriptor.ClassType().InheritsFrom(TnxBlobCacheKeyDescriptor::ClassInfo()))
    throw platform::EInvalidCast(platform::SInvalidCast);
}

void TnxBlobCacheKeyEngine::StoreKey(uint8_t* aKey, TnxBlobNr aBlobNr, int32_t aFieldNo,
                                     const TnxRecID& aRecID) noexcept {
  platform::StoreU64(aKey, static_cast<uint64_t>(aBlobNr));
  platform::StoreU32(aKey + 8, static_cast<uint32_t>(aFieldNo));
  platform::StoreU64(aKey + 12, static_cast<uint64_t>(aRecID.ridRefNr));
  platform::StoreU64(aKey + 20, static_cast<uint64_t>(aRecID.ridInsertLSN));
}

bool TnxBlobCacheKeyEngine::GetKeyFieldForFilter(int32_t aIndex, std::u16string_view aName, const uint8_t* aKey,
                                                 uint16_t& aType, uint16_t& aSize, bool& aIsNull,
                                                 const void*& aValue, uint16_t& aCodePage) const {
  const int32_t field = aName.empty() ? aIndex : FieldIndexOf(aName);
  aSize = 0;
  aCodePage = 0;
  aValue = nullptr;
  if (field < 0 || field >= kFieldCount) return false;
  aType = kFields[field].Type;
  aIsNull = aKey == nullptr;
  if (aKey) aValue = aKey + kFields[field].Offset;
  return true;
}

int32_t TnxBlobCacheKeyEngine::GetKeyFieldIndex(std::u16string_view aName) const { return FieldIndexOf(aName); }

InxFieldDescriptor* TnxBlobCacheKeyEngine::GetKeyFieldEngine(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= kFieldCount) return nullptr;
  return &bckeFields[aIndex];
}

int32_t TnxBlobCacheKeyEngine::GetKeyFieldOffset(int32_t aIndex) const noexcept {
  return aIndex >= 0 && aIndex < kFieldCount ? kFields[aIndex].Offset : -1;
}

void TnxBlobCacheKeyEngine::CopyKey(const uint8_t* aFrom, uint8_t* aTo) const noexcept {
  std::memmove(aTo, aFrom, kKeyLength);
}

void TnxBlobCacheKeyEngine::ClearKey(uint8_t* aKey) const noexcept {
  if (aKey) std::memset(aKey, 0, kKeyLength);
}

uint32_t TnxBlobCacheKeyEngine::BuildKey(const uint8_t* aRecord, uint8_t* aKey, TnxRefNr, bool) const {
  if (!aRecord || !aKey) return nxeInvalidParameter;
  std::memcpy(aKey, aRecord, kKeyLength);
  return 0;
}

int TnxBlobCacheKeyEngine::CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount,
                                      int32_t) const {
  return CompareFields(aKey1, aKey2, aFieldCount);
}

int TnxBlobCacheKeyEngine::CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr,
                                              int32_t aFieldCount, int32_t) const {
  return CompareFields(aKey, aRecord, aFieldCount);
}

int TnxBlobCacheKeyEngine::CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr) const {
  return CompareFields(aKey, aRecord, 0);
}

int TnxBlobCacheKeyEngine::CompareRecord(const uint8_t* aRecord1, TnxRefNr, const uint8_t* aRecord2, TnxRefNr,
                                         int32_t aFieldCount, int32_t) const {
  return CompareFields(aRecord1, aRecord2, aFieldCount);
}

int TnxBlobCacheKeyEngine::CompareRecord(const uint8_t* aRecord1, TnxRefNr, const uint8_t* aRecord2,
                                         TnxRefNr) const {
  return CompareFields(aRecord1, aRecord2, 0);
}

int TnxBlobCacheKeyEngine::CompareRecord(const uint8_t* aRecord1, const uint8_t* aRecord2) const {
  return CompareFields(aRecord1, aRecord2, 0);
}

platform::TnxVariant TnxBlobCacheKeyEngine::KeyAsVariant(const uint8_t* aKey, int32_t aField) const {
  if (aField < -1 || aField >= kFieldCount) nxCheckError(nxeInvalidDescriptorNumber);
  if (!aKey) return platform::TnxVariant::Null();
  if (aField >= 0) return FieldAsVariant(aKey, aField);
  auto v = platform::TnxVariant::VarArrayCreate({{0, kFieldCount - 1}}, 0x000C /* varVariant */);
  for (int32_t i = 0; i < kFieldCount; ++i) v.PutElement({i}, FieldAsVariant(aKey, i));
  return v;
}

bool TnxBlobCacheKeyEngine::KeyContainsNulls(const uint8_t*) const noexcept { return false; }

std::u16string TnxBlobCacheKeyEngine::TKeyField::GetName() { return std::u16string(kFields[kfIndex].Name); }

TnxFieldType TnxBlobCacheKeyEngine::TKeyField::GetFieldType() { return kFields[kfIndex].Type; }

void nxBlobCacheKeyEngineStartup() { TnxBlobCacheKeyEngine::ClassInfo().Register(); }
void nxBlobCacheKeyEngineShutdown() { TnxBlobCacheKeyEngine::ClassInfo().Unregister(); }

}  // namespace revurov
