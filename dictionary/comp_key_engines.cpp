#include "dictionary/comp_key_engines.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "dictionary/fields_descriptor.h"
#include "dictionary/key_descriptors.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/strings/utils_compare.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {

namespace {

std::u16string LowerAscii(std::u16string_view aName) {
  std::u16string s(aName);
  for (char16_t& c : s)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 0x20);
  return s;
}

bool FlagSet(const uint8_t* aKey, int32_t i) noexcept { return (aKey[i >> 3] >> (i & 7)) & 1; }

}  // namespace

TnxCompKeyEngine::TnxCompKeyEngine(TnxBaseKeyDescriptor& aDescriptor) : TnxCompKeyEngine(aDescriptor, true) {}

TnxCompKeyEngine::TnxCompKeyEngine(TnxBaseKeyDescriptor& aDescriptor, bool aNullFlags)
    : TnxBaseKeyEngine(aDescriptor), ckeHasNullFlags(aNullFlags) {
  // The key fields are checked by building their engines below.
  auto* compKey = dynamic_cast<TnxCompKeyDescriptor*>(&aDescriptor);
  if (!compKey) throw platform::EInvalidCast(platform::SInvalidCast);
  TnxCompKeyDescriptor& key = *compKey;
  ckeFieldsDescriptor = static_cast<TnxFieldsDescriptor*>(
      key.GetRelatedDescriptorOfType(TnxFieldsDescriptor::ClassInfo()));
  ckeKeyFieldCount = key.KeyFieldCount();
  ckeKeyOffset = ckeHasNullFlags ? (ckeKeyFieldCount + 7) / 8 : 0;
  int64_t offset = ckeKeyOffset;
  for (int32_t i = 0; i < ckeKeyFieldCount; ++i) {
    TnxKeyFieldDescriptor& field = *key.ckdGetKeyField(i);
    auto engine = TnxCompositeKeyFieldEngine::CreateEngine(field);
    if (engine->NLSVersionChanged()) bkeNLSVersionChanged = true;
    if (engine->FieldType() == nxtExtended) bkeContainsExtended = true;
    std::u16string name = LowerAscii(engine->FieldName());
    if (!field.KeyFieldEngine().empty()) {
      name += u'_';
      name += LowerAscii(field.KeyFieldEngine());
    }
    auto at = std::lower_bound(ckeKeyFieldNames.begin(), ckeKeyFieldNames.end(), name,
                               [](const auto& e, const std::u16string& n) { return e.first < n; });
    if (at == ckeKeyFieldNames.end() || at->first != name) ckeKeyFieldNames.insert(at, {std::move(name), i});
    ckeKeyFieldInvertNull.push_back(engine->InvertNull ? -1 : 1);
    ckeKeyFieldOffset.push_back(static_cast<int32_t>(offset));
    offset += engine->KeyLength();
    ckeCompareSlots.push_back({engine->CompareKey, engine.get(), static_cast<int32_t>(offset - engine->KeyLength()),
                               engine->InvertNull ? -1 : 1, engine->InlineCompare(), engine->Descending(),
                               std::min(engine->KeyLength() - 1, 255)});
    ckeKeyFieldEngines.push_back(std::move(engine));
  }
  if (ckeKeyOffset <= 1 && !ckeCompareSlots.empty() &&
      (ckeCompareSlots[0].kind == icInt32 || ckeCompareSlots[0].kind == icInt64)) {
    ckeFirstKind = ckeCompareSlots[0].kind;
    ckeFirstDescending = ckeCompareSlots[0].descending;
    ckeFlagMask = ckeKeyOffset == 1 ? 0xFF : 0;
  }
  // Each field's form: a null byte with flags, then the value's bytes.
  for (const CompareSlot& slot : ckeCompareSlots) {
    int32_t valueLength = 0;
    switch (slot.kind) {
      case icInt32: valueLength = 4; break;
      case icInt64: valueLength = 8; break;
      case icShortString: valueLength = slot.maxLen + 1; break;
      default: valueLength = -1;
    }
    if (valueLength < 0) {
      ckeByteOrderKeyLength = 0;
      break;
    }
    ckeByteOrderKeyLength += valueLength + (ckeHasNullFlags ? 1 : 0);
  }
  // The descriptor's length and the fields' must agree, or keys would be
  // read past their end.
  if (offset > bkeKeyLength)
    throw EnxBaseKeyEngineException(nxeInvalidParameter, u"Key fields need %d bytes, the key has %d",
                                    {offset, int32_t{bkeKeyLength}});
}

TnxCompKeyEngine::~TnxCompKeyEngine() = default;

void TnxCompKeyEngine::CheckValidDescriptor(TnxBaseKeyDescriptor& aDescriptor) {
  auto* key = dynamic_cast<TnxCompKeyDescriptor*>(&aDescriptor);
  if (!key) throw platform::EInvalidCast(platform::SInvalidCast);
  for (int32_t i = 0; i < key->KeyFieldCount(); ++i) TnxCompositeKeyFieldEngine::CheckValidBase(*key->ckdGetKeyField(i));
}

TnxNoNullCompKeyEngine::TnxNoNullCompKeyEngine(TnxBaseKeyDescriptor& aDescriptor)
    : TnxCompKeyEngine(aDescriptor, false) {}

bool TnxCompKeyEngine::KeyNull(const uint8_t* aKey, int32_t i) const noexcept {
  return ckeHasNullFlags && FlagSet(aKey, i);
}

bool TnxCompKeyEngine::RecordNull(const uint8_t* aRecord, int32_t i) const noexcept {
  return ckeHasNullFlags &&
         ckeFieldsDescriptor->IsRecordFieldNullFast(ckeKeyFieldEngines[static_cast<size_t>(i)]->FieldNumber(),
                                                    aRecord);
}

bool TnxCompKeyEngine::GetKeyFieldForFilter(int32_t aIndex, std::u16string_view aName, const uint8_t* aKey,
                                            uint16_t& aType, uint16_t& aSize, bool& aIsNull, const void*& aValue,
                                            uint16_t& aCodePage) const {
  if (!aName.empty()) aIndex = GetKeyFieldIndex(aName);
  if (aIndex < 0 || aIndex >= ckeKeyFieldCount || !aKey) return false;
  TnxCompositeKeyFieldEngine& field = *ckeKeyFieldEngines[static_cast<size_t>(aIndex)];
  aType = field.FieldType() & 0x7F;
  aSize = static_cast<uint16_t>(field.KeyUnits());
  aIsNull = KeyNull(aKey, aIndex);
  const uint8_t* value = aKey + ckeKeyFieldOffset[static_cast<size_t>(aIndex)];
  aValue = aIsNull ? nullptr : value;
  aCodePage = field.CompareCodepage();
  if (field.FieldType() == nxtShortString && !aIsNull) {
    aSize = std::min<uint16_t>(value[0], static_cast<uint16_t>(field.KeyLength() - 1));
    aValue = value + 1;
  }
  return true;
}

int32_t TnxCompKeyEngine::GetKeyFieldIndex(std::u16string_view aName) const {
  const std::u16string name = LowerAscii(aName);
  auto at = std::lower_bound(ckeKeyFieldNames.begin(), ckeKeyFieldNames.end(), name,
                             [](const auto& e, const std::u16string& n) { return e.first < n; });
  return at != ckeKeyFieldNames.end() && at->first == name ? at->second : -1;
}

InxFieldDescriptor* TnxCompKeyEngine::GetKeyFieldEngine(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= ckeKeyFieldCount) nxCheckError(nxeInvalidDescriptorNumber);
  return ckeKeyFieldEngines[static_cast<size_t>(aIndex)].get();
}

int32_t TnxCompKeyEngine::GetKeyFieldOffset(int32_t aIndex) const noexcept {
  return aIndex >= 0 && aIndex < ckeKeyFieldCount ? ckeKeyFieldOffset[static_cast<size_t>(aIndex)] : -1;
}

void TnxCompKeyEngine::ClearKey(uint8_t* aKey) const noexcept {
  if (!aKey) return;
  std::memset(aKey, 0, bkeKeyLength);
  // Only the key fields' flags: the spare bits of the last flag byte stay
  // 0, so a key's bytes depend on its values alone.
  if (ckeHasNullFlags)
    for (int32_t i = 0; i < ckeKeyFieldCount; ++i) nxBitSet(aKey, static_cast<size_t>(i));
}

uint32_t TnxCompKeyEngine::BuildKey(const uint8_t* aRecord, uint8_t* aKey, TnxRefNr, bool aIgnoreFilter) const {
  if (!aRecord || !aKey) return nxeInvalidParameter;
  if (FilterRejects(aRecord, aIgnoreFilter)) return 1;
  ClearKey(aKey);
  for (int32_t i = 0; i < ckeKeyFieldCount; ++i) {
    const TnxCompositeKeyFieldEngine& field = *ckeKeyFieldEngines[static_cast<size_t>(i)];
    if (RecordNull(aRecord, i)) {
      if (field.FilterNull && !aIgnoreFilter) return 1;
      continue;
    }
    if (ckeHasNullFlags && field.FilterNonNull && !aIgnoreFilter) return 1;
    field.BuildKey(field, aRecord + field.FieldOffset(), aKey + ckeKeyFieldOffset[static_cast<size_t>(i)]);
    if (ckeHasNullFlags) aKey[i >> 3] &= static_cast<uint8_t>(~(1u << (i & 7)));
  }
  return 0;
}

uint32_t TnxCompKeyEngine::KeyToRecord(const uint8_t* aKey, uint8_t* aRecord) const {
  if (!aKey || !aRecord) return nxeInvalidParameter;
  ckeFieldsDescriptor->InitRecord(aRecord);
  for (int32_t i = 0; i < ckeKeyFieldCount; ++i) {
    if (KeyNull(aKey, i)) continue;
    const TnxCompositeKeyFieldEngine& field = *ckeKeyFieldEngines[static_cast<size_t>(i)];
    if (uint32_t r = field.KeyToRecord(field, aKey + ckeKeyFieldOffset[static_cast<size_t>(i)],
                                       aRecord + field.FieldOffset()))
      return r;
    ckeFieldsDescriptor->SetRecordFieldNull(field.FieldNumber(), aRecord, false);
  }
  return 0;
}

TnxCompKeyEngine::Span TnxCompKeyEngine::SpanOf(int32_t aFieldCount, int32_t aPartialLen) const noexcept {
  const bool partial = aPartialLen != 0;
  int32_t whole;
  if (aFieldCount == 0)
    whole = partial ? 0 : ckeKeyFieldCount;
  else
    whole = std::min(aFieldCount, partial ? ckeKeyFieldCount - 1 : ckeKeyFieldCount);
  return {std::max(whole, 0), aPartialLen > 0 && whole < ckeKeyFieldCount};
}

template <class NullA, class NullB, class Whole, class Partial>
int TnxCompKeyEngine::CompareFields(Span aSpan, int32_t aPartialLen, NullA aNullA, NullB aNullB, Whole aWhole,
                                    Partial aPartial) const {
  auto one = [&](int32_t i, bool aPartialField) -> int {
    const bool na = aNullA(i), nb = aNullB(i);
    if (na || nb) {
      if (na && nb) return 0;
      const int n = ckeKeyFieldInvertNull[static_cast<size_t>(i)];
      return na ? -n : n;
    }
    return aPartialField ? aPartial(i, aPartialLen) : aWhole(i);
  };
  for (int32_t i = 0; i < aSpan.whole; ++i)
    if (int r = one(i, false)) return r;
  return aSpan.partial ? one(aSpan.whole, true) : 0;
}

int TnxCompKeyEngine::CompareKey(const uint8_t* aKey1, const uint8_t* aKey2, int32_t aFieldCount,
                                 int32_t aPartialLen) const {
  return CompareFields(
      SpanOf(aFieldCount, aPartialLen), aPartialLen, [&](int32_t i) { return KeyNull(aKey1, i); },
      [&](int32_t i) { return KeyNull(aKey2, i); },
      [&](int32_t i) {
        const auto& f = *ckeKeyFieldEngines[static_cast<size_t>(i)];
        const int32_t o = ckeKeyFieldOffset[static_cast<size_t>(i)];
        return f.CompareKey(f, aKey1 + o, aKey2 + o);
      },
      [&](int32_t i, int32_t n) {
        const auto& f = *ckeKeyFieldEngines[static_cast<size_t>(i)];
        const int32_t o = ckeKeyFieldOffset[static_cast<size_t>(i)];
        return f.PartialCompareKey ? f.PartialCompareKey(f, aKey1 + o, aKey2 + o, n)
                                   : f.CompareKey(f, aKey1 + o, aKey2 + o);
      });
}

namespace {

// Byte order of the first aLen bytes: eight at a time, as big-endian
// numbers. The bytes from aLen on are masked off, so a field's stale tail
// never counts; aWidth (8 or more) bytes are readable at both.
inline int CompareBytesMasked(const uint8_t* a, const uint8_t* b, int aLen, int aWidth) noexcept {
  for (int at = 0; at < aLen; at += 8) {
    // The last word ends at the field's end; what it shares with the one
    // before compared equal already.
    const int from = std::min(at, aWidth - 8);
    uint64_t x, y;
    std::memcpy(&x, a + from, 8);
    std::memcpy(&y, b + from, 8);
    const int valid = aLen - from;
    if (valid < 8) {
      const uint64_t mask = (uint64_t{1} << (8 * valid)) - 1;
      x &= mask;
      y &= mask;
    }
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) {
        x = __builtin_bswap64(x);
        y = __builtin_bswap64(y);
      }
      return x < y ? -1 : 1;
    }
  }
  return 0;
}

}  // namespace

// The same order as the field's CompareKey, without the call: sorting
// spends its time here.
inline int TnxCompKeyEngine::SlotCompare(const CompareSlot& s, const uint8_t* a, const uint8_t* b) {
  int r;
  switch (s.kind) {
    case icInt32: {
      int32_t x, y;
      std::memcpy(&x, a, 4);
      std::memcpy(&y, b, 4);
      r = (x > y) - (x < y);
      break;
    }
    case icInt64: {
      int64_t x, y;
      std::memcpy(&x, a, 8);
      std::memcpy(&y, b, 8);
      r = (x > y) - (x < y);
      break;
    }
    case icShortString: {
      const int la = std::min<int>(a[0], s.maxLen), lb = std::min<int>(b[0], s.maxLen);
      const int common = std::min(la, lb);
      if (s.maxLen >= 8) {
        r = CompareBytesMasked(a + 1, b + 1, common, s.maxLen);
      } else {
        r = std::memcmp(a + 1, b + 1, static_cast<size_t>(common));
        r = (r > 0) - (r < 0);
      }
      if (!r) r = (la > lb) - (la < lb);
      break;
    }
    default: return s.compare(*s.engine, a, b);
  }
  return s.descending ? -r : r;
}

int TnxCompKeyEngine::CompareSlotsFrom(const uint8_t* aKey1, const uint8_t* aKey2, size_t aFrom) const {
  for (size_t i = aFrom; i < ckeCompareSlots.size(); ++i) {
    const CompareSlot& s = ckeCompareSlots[i];
    if (int r = SlotCompare(s, aKey1 + s.offset, aKey2 + s.offset)) return r;
  }
  return 0;
}

// Kept small: a sort waits here on the cache misses of the keys' first
// bytes, and the fewer instructions stand between one key's miss and the
// next, the more of them the processor overlaps.
int TnxCompKeyEngine::CompareKey(const uint8_t* aKey1, const uint8_t* aKey2) const {
  if (ckeFirstKind != icNone && ((aKey1[0] | aKey2[0]) & ckeFlagMask) == 0) {
    const uint8_t* a = aKey1 + ckeKeyOffset;
    const uint8_t* b = aKey2 + ckeKeyOffset;
    if (ckeFirstKind == icInt32) {
      int32_t x, y;
      std::memcpy(&x, a, 4);
      std::memcpy(&y, b, 4);
      if (x != y) return (x < y) != ckeFirstDescending ? -1 : 1;
    } else {
      int64_t x, y;
      std::memcpy(&x, a, 8);
      std::memcpy(&y, b, 8);
      if (x != y) return (x < y) != ckeFirstDescending ? -1 : 1;
    }
    return CompareSlotsFrom(aKey1, aKey2, 1);
  }
  return CompareKeyWithNulls(aKey1, aKey2);
}

int TnxCompKeyEngine::CompareKeyWithNulls(const uint8_t* aKey1, const uint8_t* aKey2) const {
  // Both flag bytes are read before anything branches on them, so that the
  // two keys' cache misses overlap; keys without nulls then skip the tests.
  if (ckeKeyOffset == 1 && (aKey1[0] | aKey2[0]) == 0) return CompareSlotsFrom(aKey1, aKey2, 0);
  int32_t i = 0;
  for (const CompareSlot& s : ckeCompareSlots) {
    if (ckeHasNullFlags) {
      const bool na = FlagSet(aKey1, i), nb = FlagSet(aKey2, i);
      ++i;
      if (na || nb) {
        if (na && nb) continue;
        return na ? -s.invertNull : s.invertNull;
      }
    }
    if (int r = SlotCompare(s, aKey1 + s.offset, aKey2 + s.offset)) return r;
  }
  return 0;
}

// Numbers big-endian with the sign bit flipped; a ShortString as its
// characters padded with zeros to the most the key holds, then its length:
// where one text is a prefix of the other the padding's zero meets a
// character the shorter text lacks or, both padded alike, the lengths
// decide, as in SlotCompare. A descending field inverts its bytes; a null
// field is its null byte (before or after the others' as the field's null
// rule says) and zeros.
void TnxCompKeyEngine::BuildByteOrderKey(const uint8_t* aKey, uint8_t* aForm) const noexcept {
  int32_t i = 0;
  for (const CompareSlot& s : ckeCompareSlots) {
    const bool isNull = ckeHasNullFlags && FlagSet(aKey, i);
    ++i;
    if (ckeHasNullFlags) *aForm++ = isNull ? (s.invertNull > 0 ? 0 : 2) : 1;
    const uint8_t* value = aKey + s.offset;
    int32_t length = 0;
    switch (s.kind) {
      case icInt32: {
        length = 4;
        uint32_t x;
        std::memcpy(&x, value, 4);
        x = isNull ? 0 : x ^ 0x80000000u;
        for (int b = 0; b < 4; ++b) aForm[b] = static_cast<uint8_t>(x >> (24 - 8 * b));
        break;
      }
      case icInt64: {
        length = 8;
        uint64_t x;
        std::memcpy(&x, value, 8);
        x = isNull ? 0 : x ^ (uint64_t{1} << 63);
        for (int b = 0; b < 8; ++b) aForm[b] = static_cast<uint8_t>(x >> (56 - 8 * b));
        break;
      }
      default: {  // icShortString; the constructor allows no other kind
        length = s.maxLen + 1;
        const int32_t used = isNull ? 0 : std::min<int32_t>(value[0], s.maxLen);
        // The key holds maxLen characters' room: one pass, no calls for a
        // few bytes.
        for (int32_t b = 0; b < s.maxLen; ++b) aForm[b] = b < used ? value[1 + b] : 0;
        aForm[s.maxLen] = static_cast<uint8_t>(used);
        break;
      }
    }
    if (s.descending && !isNull)
      for (int32_t b = 0; b < length; ++b) aForm[b] = static_cast<uint8_t>(~aForm[b]);
    aForm += length;
  }
}

int TnxCompKeyEngine::CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr, int32_t aFieldCount,
                                         int32_t aPartialLen) const {
  return CompareFields(
      SpanOf(aFieldCount, aPartialLen), aPartialLen, [&](int32_t i) { return KeyNull(aKey, i); },
      [&](int32_t i) { return RecordNull(aRecord, i); },
      [&](int32_t i) {
        const auto& f = *ckeKeyFieldEngines[static_cast<size_t>(i)];
        return f.CompareKeyToFieldDirect(f, aKey + ckeKeyFieldOffset[static_cast<size_t>(i)],
                                         aRecord + f.FieldOffset());
      },
      [&](int32_t i, int32_t n) {
        const auto& f = *ckeKeyFieldEngines[static_cast<size_t>(i)];
        const uint8_t* k = aKey + ckeKeyFieldOffset[static_cast<size_t>(i)];
        return f.PartialCompareKeyToFieldDirect ? f.PartialCompareKeyToFieldDirect(f, k, aRecord + f.FieldOffset(), n)
                                                : f.CompareKeyToFieldDirect(f, k, aRecord + f.FieldOffset());
      });
}

int TnxCompKeyEngine::CompareKeyToRecord(const uint8_t* aKey, const uint8_t* aRecord, TnxRefNr aRefNr) const {
  return CompareKeyToRecord(aKey, aRecord, aRefNr, 0, 0);
}

int TnxCompKeyEngine::CompareRecord(const uint8_t* aRecord1, TnxRefNr, const uint8_t* aRecord2, TnxRefNr,
                                    int32_t aFieldCount, int32_t aPartialLen) const {
  return CompareFields(
      SpanOf(aFieldCount, aPartialLen), aPartialLen, [&](int32_t i) { return RecordNull(aRecord1, i); },
      [&](int32_t i) { return RecordNull(aRecord2, i); },
      [&](int32_t i) {
        const auto& f = *ckeKeyFieldEngines[static_cast<size_t>(i)];
        return f.CompareFieldDirect(f, aRecord1 + f.FieldOffset(), aRecord2 + f.FieldOffset());
      },
      [&](int32_t i, int32_t n) {
        const auto& f = *ckeKeyFieldEngines[static_cast<size_t>(i)];
        return f.PartialCompareFieldDirect
                   ? f.PartialCompareFieldDirect(f, aRecord1 + f.FieldOffset(), aRecord2 + f.FieldOffset(), n)
                   : f.CompareFieldDirect(f, aRecord1 + f.FieldOffset(), aRecord2 + f.FieldOffset());
      });
}

platform::TnxVariant TnxCompKeyEngine::FieldAsVariant(const uint8_t* aKey, int32_t i) const {
  if (KeyNull(aKey, i)) return platform::TnxVariant::Null();
  const auto& f = *ckeKeyFieldEngines[static_cast<size_t>(i)];
  platform::TnxVariant v;
  if (f.KeyAsVariant) f.KeyAsVariant(f, aKey + ckeKeyFieldOffset[static_cast<size_t>(i)], v);
  return v;
}

platform::TnxVariant TnxCompKeyEngine::KeyAsVariant(const uint8_t* aKey, int32_t aField) const {
  if (aField == -1) {
    if (ckeKeyFieldCount < 2) return ckeKeyFieldCount == 1 ? FieldAsVariant(aKey, 0) : platform::TnxVariant();
    auto v = platform::TnxVariant::VarArrayCreate({{0, ckeKeyFieldCount - 1}}, 0x000C /* varVariant */);
    for (int32_t i = 0; i < ckeKeyFieldCount; ++i) v.PutElement({i}, FieldAsVariant(aKey, i));
    return v;
  }
  if (aField < 0 || aField >= ckeKeyFieldCount) nxCheckError(nxeInvalidDescriptorNumber);
  return FieldAsVariant(aKey, aField);
}

bool TnxCompKeyEngine::KeyContainsNulls(const uint8_t* aKey) const noexcept {
  if (!ckeHasNullFlags) return false;
  for (int32_t i = 0; i < ckeKeyFieldCount; ++i)
    if (FlagSet(aKey, i)) return true;
  return false;
}

}  // namespace revurov
