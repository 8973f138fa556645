#include "dictionary/key_engine.h"

#include <cstring>

#include "dictionary/engine_records.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/filter_engines.h"
#include "dictionary/key_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/strings/utils_compare.h"
#include "lowlevel/strings/utils_text.h"
#include "platform/endian.h"
#include "platform/format.h"

namespace revurov {

constinit TnxClassRegistry nxKeyEngines;

namespace {

const TnxKeyEngineClass& EngineClassFor(TnxBaseKeyDescriptor& aDescriptor, std::u16string& aName) {
  aName = nxEngineNameForDescriptor(aDescriptor.ClassName());
  const auto* cls = nxFindClassAs<TnxKeyEngineClass>(TnxBaseKeyEngine::ClassInfo(), aName);
  if (!cls || !cls->Create) nxRaiseUnknownEngine<EnxBaseKeyEngineException>(u"Key", aName);
  return *cls;
}

// Text of one value of a key for KeyAsString.
std::u16string FormatKeyValue(const platform::TnxVariant& aValue) {
  if (aValue.IsNull()) return u"NULL";
  if (aValue.IsEmpty()) return u"EMPTY";
  const platform::TVarType t = aValue.VarType();
  if (t == platform::varUString || t == platform::varOleStr || t == platform::varString) {
    std::u16string s = u"'";
    for (char16_t c : aValue.AsString()) {
      s += c;
      if (c == u'\'') s += c;
    }
    return s + u"'";
  }
  try {
    return aValue.AsString();
  } catch (const platform::Exception& e) {
    return u"[Error: " + e.Message() + u"]";
  }
}

}  // namespace

TnxBaseKeyEngine::TnxBaseKeyEngine(TnxBaseKeyDescriptor& aDescriptor) : bkeKeyDescriptor(aDescriptor) {
  const uint32_t length = aDescriptor.GetKeyLen();
  // The descriptors refuse longer keys; a descriptor built past its checks
  // must not make a key the 16-bit length cannot describe.
  if (length == 0 || length > 0xFFFF)
    throw EnxBaseKeyEngineException(nxeInvalidParameter, u"Invalid key length: %u", {length});
  SetKeyLength(static_cast<uint16_t>(length));
  if (const TnxBaseFilterDescriptor* filter = aDescriptor.Filter()) {
    // The filter reads the records keys are built from.
    auto* fields = static_cast<TnxFieldsDescriptor*>(
        aDescriptor.GetRelatedDescriptorOfType(TnxFieldsDescriptor::ClassInfo()));
    bkeFilterSource = std::make_unique<TnxRecordFieldsSource>(*fields);
    bkeFilter = TnxBaseFilterEngine::CreateFor(*filter, bkeFilterSource.get());
    bkeFilter->ActivateFilter(0);
  }
}

TnxBaseKeyEngine::~TnxBaseKeyEngine() {
  bkeFilter.reset();
  bkeFilterSource.reset();
}

bool TnxBaseKeyEngine::GetFieldForFilter(int32_t aField, const char* aName, const uint8_t* aData, uint16_t& aType,
                                         uint16_t& aSize, bool& aIsNull, const void*& aValue,
                                         uint16_t& aCodePage) const {
  // Field names are ASCII identifiers; other bytes simply find no field.
  std::u16string name;
  if (aName)
    for (const char* p = aName; *p; ++p) name += static_cast<char16_t>(static_cast<uint8_t>(*p));
  return GetKeyFieldForFilter(aField, name, aData, aType, aSize, aIsNull, aValue, aCodePage);
}

bool TnxBaseKeyEngine::FilterRejects(const uint8_t* aRecord, bool aIgnoreFilter) const {
  if (aIgnoreFilter || !bkeFilter) return false;
  TnxPadlockGuard guard(bkeFilterLock);
  return !bkeFilter->MatchesBuffer(aRecord);
}

void TnxBaseKeyEngine::SetKeyLength(uint16_t aKeyLength) {
  bkeKeyLength = aKeyLength;
  bkeMemoryPool = nxGetMemoryPool(aKeyLength);
}

std::unique_ptr<TnxBaseKeyEngine> TnxBaseKeyEngine::CreateFor(TnxBaseKeyDescriptor& aDescriptor) {
  std::u16string name;
  return EngineClassFor(aDescriptor, name).Create(aDescriptor);
}

uint32_t TnxBaseKeyEngine::TryCreateFor(TnxBaseKeyDescriptor& aDescriptor,
                                        std::unique_ptr<TnxBaseKeyEngine>& aKeyEngine) {
  aKeyEngine.reset();
  const std::u16string name = nxEngineNameForDescriptor(aDescriptor.ClassName());
  const auto* cls = nxFindClassAs<TnxKeyEngineClass>(ClassInfo(), name);
  if (!cls || !cls->Create)
    return EnxBaseException::nxSetMessage(nxeSubEngineNotSupported, nxsUnknownEngine, {u"Key", name});
  aKeyEngine = cls->Create(aDescriptor);
  return 0;
}

void TnxBaseKeyEngine::CheckValidBaseFromDescriptor(TnxBaseKeyDescriptor& aDescriptor) {
  std::u16string name;
  const TnxKeyEngineClass& cls = EngineClassFor(aDescriptor, name);
  if (cls.CheckValidDescriptor) cls.CheckValidDescriptor(aDescriptor);
}

int32_t TnxBaseKeyEngine::GetKeyFieldOffset(int32_t) const noexcept { return -1; }

uint8_t* TnxBaseKeyEngine::AllocKey() const {
  auto* key = static_cast<uint8_t*>(TnxMemoryPool::Alloc(bkeMemoryPool));
  ClearKey(key);
  return key;
}

void TnxBaseKeyEngine::FreeKey(uint8_t*& aKey) const noexcept {
  uint8_t* key = aKey;
  aKey = nullptr;
  // A pool refuses only a block it never gave out; our own keys are its.
  if (key) {
    try {
      TnxMemoryPool::DisposeDirect(bkeMemoryPool, key);
    } catch (...) {
    }
  }
}

void TnxBaseKeyEngine::CopyKey(const uint8_t* aFrom, uint8_t* aTo) const noexcept {
  std::memmove(aTo, aFrom, bkeKeyLength);
}

uint32_t TnxBaseKeyEngine::KeyToRecord(const uint8_t*, uint8_t*) const { return nxeCapabilityNotSupported; }

int TnxBaseKeyEngine::CompareKey(const uint8_t* aKey1, const uint8_t* aKey2) const {
  return CompareKey(aKey1, aKey2, 0, 0);
}

int TnxBaseKeyEngine::CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr aRefNr,
                                         int32_t aFieldCount, int32_t aPartialLen) const {
  TnxScratchKey scratch(*this);
  if (uint32_t r = BuildKey(aRecord, scratch.Get(), aRefNr, true)) throw EnxBaseKeyEngineException(r);
  return CompareKey(aKey, scratch.Get(), aFieldCount, aPartialLen);
}

int TnxBaseKeyEngine::CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr aRefNr) const {
  TnxScratchKey scratch(*this);
  if (uint32_t r = BuildKey(aRecord, scratch.Get(), aRefNr, true)) throw EnxBaseKeyEngineException(r);
  return CompareKey(aKey, scratch.Get());
}

int TnxBaseKeyEngine::CompareRecord(const uint8_t* aRecord1, TnxRefNr aRefNr1, const uint8_t* aRecord2,
                                    TnxRefNr aRefNr2, int32_t aFieldCount, int32_t aPartialLen) const {
  TnxScratchKey key1(*this);
  TnxScratchKey key2(*this);
  if (uint32_t r = BuildKey(aRecord1, key1.Get(), aRefNr1, true)) throw EnxBaseKeyEngineException(r);
  if (uint32_t r = BuildKey(aRecord2, key2.Get(), aRefNr2, true)) throw EnxBaseKeyEngineException(r);
  return CompareKey(key1.Get(), key2.Get(), aFieldCount, aPartialLen);
}

int TnxBaseKeyEngine::CompareRecord(const uint8_t* aRecord1, TnxRefNr aRefNr1, const uint8_t* aRecord2,
                                    TnxRefNr aRefNr2) const {
  return CompareRecord(aRecord1, aRefNr1, aRecord2, aRefNr2, 0, 0);
}

int TnxBaseKeyEngine::CompareRecord(const uint8_t* aRecord1, const uint8_t* aRecord2) const {
  return CompareRecord(aRecord1, 0, aRecord2, 0, 0, 0);
}

std::u16string TnxBaseKeyEngine::KeyAsString(const uint8_t* aKey) const noexcept {
  try {
    const platform::TnxVariant v = KeyAsVariant(aKey, -1);
    if (!v.IsArray()) return FormatKeyValue(v);
    std::u16string s;
    for (int32_t i = v.VarArrayLowBound(1); i <= v.VarArrayHighBound(1); ++i) {
      if (!s.empty()) s += u", ";
      s += FormatKeyValue(v.GetElement({i}));
    }
    return s;
  } catch (...) {
    return {};
  }
}

void TnxBaseKeyEngine::KeyAsExceptionData(const uint8_t* aKey, InxExceptionDataContainer& aContainer) const noexcept {
  try {
    const platform::TnxVariant v = KeyAsVariant(aKey, -1);
    auto name = [&](int32_t i) -> std::u16string {
      if (i < GetMaxFieldCount()) return GetKeyFieldEngine(i)->GetName();
      return platform::Format(u"Field%d", {i});
    };
    if (!v.IsArray()) {
      aContainer.AddVariant(name(0), v);
      return;
    }
    const int32_t low = v.VarArrayLowBound(1);
    for (int32_t i = low; i <= v.VarArrayHighBound(1); ++i) aContainer.AddVariant(name(i - low), v.GetElement({i}));
  } catch (...) {
  }
}

bool TnxBaseKeyEngine::KeyContainsNulls(const uint8_t*) const noexcept { return false; }

void TnxBaseKeyEngine::GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) {
  TnxBaseRegisterableEngine::GetExceptionData(aContainer, aFlag);
  aContainer.AddInteger(u"KeyLength", bkeKeyLength);
  if (GetMaxFieldCount() > 0) {
    TnxExceptionDataRef fields = aContainer.AddContainer(u"Fields");
    for (int32_t i = 0; i < GetMaxFieldCount(); ++i) {
      InxFieldDescriptor* field = GetKeyFieldEngine(i);
      fields->AddString(field->GetName(), std::u16string(nxFieldTypeIdent(field->GetFieldType())));
    }
  }
  if (bkeFilter)
    aContainer.AddObject(u"Filter", static_cast<TnxObject*>(bkeFilter.get()), aFlag);
  else
    aContainer.AddObject(u"Filter", nullptr, aFlag);
}

// ---- bookmarks ----

namespace {

using L = TnxBookmarkLayout;

uint32_t HashOf(const uint8_t* aBookmark, int32_t aKeyLen) noexcept {
  return nxHashElf(aBookmark + L::bmIndexID, static_cast<size_t>(aKeyLen) + 20);
}

}  // namespace

uint32_t TnxBookmarkHandler::GetBookmarkSize() const noexcept {
  return L::bmKey + (bmhKeyEngine ? bmhKeyEngine->KeyLength() : 0u);
}

uint32_t TnxBookmarkHandler::CheckBookmark(const uint8_t* aBookmark, uint32_t aSize) const noexcept {
  if (!aBookmark) return nxeBookmarkMismatch;
  // The size comes first: a short bookmark from a client is never read.
  const int32_t keyLen = bmhKeyEngine ? bmhKeyEngine->KeyLength() : 0;
  if (aSize < L::bmKey + static_cast<uint32_t>(keyLen)) return nxeBookmarkMismatch;
  const int32_t indexID = static_cast<int32_t>(platform::LoadU32(aBookmark + L::bmIndexID));
  if (indexID != (bmhKeyEngine ? bmhIndexID : -1)) return nxeBookmarkMismatch;
  if (static_cast<int32_t>(platform::LoadU32(aBookmark + L::bmKeyLen)) != keyLen) return nxeBookmarkMismatch;
  if (platform::LoadU32(aBookmark + L::bmHash) != HashOf(aBookmark, keyLen)) return nxeBookmarkMismatch;
  return 0;
}

uint32_t TnxBookmarkHandler::CompareBookmarks(const uint8_t* aBookmark1, const uint8_t* aBookmark2, uint32_t aSize,
                                              int& aCompResult) const noexcept {
  aCompResult = 0;
  if (uint32_t r = CheckBookmark(aBookmark1, aSize)) return r;
  if (uint32_t r = CheckBookmark(aBookmark2, aSize)) return r;
  const uint8_t p1 = aBookmark1[L::bmPos];
  const uint8_t p2 = aBookmark2[L::bmPos];
  // A position outside the set is as unknown as ippUnknown.
  auto known = [](uint8_t p) { return p > ippUnknown && p <= ippEof; };
  if (!known(p1)) return nxeBookmarkMismatch;
  if (p1 == ippBof) {
    aCompResult = p2 == ippBof ? 0 : -1;
    return known(p2) ? 0 : nxeBookmarkMismatch;
  }
  if (p1 == ippEof) {
    aCompResult = p2 == ippEof ? 0 : 1;
    return known(p2) ? 0 : nxeBookmarkMismatch;
  }
  if (!known(p2)) return nxeBookmarkMismatch;
  if (p2 == ippBof) {
    aCompResult = 1;
    return 0;
  }
  if (p2 == ippEof) {
    aCompResult = -1;
    return 0;
  }
  int result = 0;
  if (bmhKeyEngine) {
    if (!aBookmark1[L::bmKeyValid] || !aBookmark2[L::bmKeyValid]) return nxeBookmarkMismatch;
    if (bmhKeyEngine->NLSVersionChanged()) return nxeCapabilityNotSupported;
    try {
      result = bmhKeyEngine->CompareKey(aBookmark1 + L::bmKey, aBookmark2 + L::bmKey);
    } catch (...) {
      return nxeBookmarkMismatch;
    }
  }
  if (result == 0)
    result = nxCmpInt64(static_cast<int64_t>(platform::LoadU64(aBookmark1 + L::bmRefNr)),
                        static_cast<int64_t>(platform::LoadU64(aBookmark2 + L::bmRefNr)));
  if (result == 0) {
    if (p1 == ippOnCrackBefore)
      result = p2 == ippOnCrackBefore ? 0 : -1;
    else if (p1 == ippOnCrackAfter)
      result = p2 == ippOnCrackAfter ? 0 : 1;
    else
      result = p2 == ippOnCrackBefore ? 1 : (p2 == ippOnCrackAfter ? -1 : 0);
  }
  aCompResult = result;
  return 0;
}

uint32_t TnxBookmarkHandler::BookmarkAsVariant(const uint8_t* aBookmark, uint32_t aSize,
                                               platform::TnxVariant& aVariant) const noexcept {
  aVariant = platform::TnxVariant();
  if (uint32_t r = CheckBookmark(aBookmark, aSize)) return r;
  const uint8_t pos = aBookmark[L::bmPos];
  if (pos == ippBof || pos == ippEof) {
    aVariant = platform::TnxVariant::Null();
    return 0;
  }
  if (pos == ippUnknown || pos > ippEof) return nxeBookmarkMismatch;
  if (!bmhKeyEngine) {
    aVariant = platform::TnxVariant::FromInt64(static_cast<int64_t>(platform::LoadU64(aBookmark + L::bmRefNr)));
    return 0;
  }
  if (!aBookmark[L::bmKeyValid]) return nxeBookmarkMismatch;
  try {
    aVariant = bmhKeyEngine->KeyAsVariant(aBookmark + L::bmKey, -1);
  } catch (...) {
    aVariant = platform::TnxVariant();
    return nxeBookmarkMismatch;
  }
  return 0;
}

void TnxBookmarkHandler::WriteBookmark(uint8_t* aBookmark, TnxIndexPathPosition aPos, TnxRefNr aRefNr,
                                       const uint8_t* aKey, bool aDeleted) const noexcept {
  const int32_t keyLen = bmhKeyEngine ? bmhKeyEngine->KeyLength() : 0;
  std::memset(aBookmark, 0, L::bmKey + static_cast<size_t>(keyLen));
  platform::StoreU32(aBookmark + L::bmIndexID, static_cast<uint32_t>(bmhKeyEngine ? bmhIndexID : -1));
  aBookmark[L::bmPos] = aPos;
  aBookmark[L::bmKeyValid] = bmhKeyEngine && aKey;
  aBookmark[L::bmDeleted] = aDeleted;
  platform::StoreU64(aBookmark + L::bmRefNr, static_cast<uint64_t>(aRefNr));
  platform::StoreU32(aBookmark + L::bmKeyLen, static_cast<uint32_t>(keyLen));
  if (bmhKeyEngine && aKey) std::memcpy(aBookmark + L::bmKey, aKey, static_cast<size_t>(keyLen));
  platform::StoreU32(aBookmark + L::bmHash, HashOf(aBookmark, keyLen));
}

}  // namespace revurov
