#include "storage/record_compression.h"

#include <cstring>

#include "dictionary/field_descriptor.h"
#include "dictionary/field_types.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/storage_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "lowlevel/errors/error_codes.h"

namespace revurov {

constinit TnxClassRegistry nxRecordCompressionEngines;

namespace {

constexpr std::u16string_view kFamilyWord = u"RecordCompression";

// The record compression descriptor hangs below the record descriptor,
// which hangs below its table.
TnxFieldsDescriptor& FieldsOf(TnxBaseRecordCompressionDescriptor* aDescriptor) {
  auto* record = aDescriptor ? dynamic_cast<TnxDictionaryItem*>(aDescriptor->DirectParent()) : nullptr;
  auto* table = record ? dynamic_cast<TnxBaseTableDescriptor*>(record->DirectParent()) : nullptr;
  if (!table)
    throw EnxBaseRecordCompressionEngineException(nxeInvalidParameter,
                                                  u"Record compression descriptor without a table");
  return table->FieldsDescriptor();
}

const TnxRecordCompressionEngineClass& FindOrRaise(std::u16string_view aName) {
  const TnxSubEngineClass* c = TnxBaseRecordCompressionEngine::ClassInfo().FindEngineClass(aName);
  const auto* found = static_cast<const TnxRecordCompressionEngineClass*>(c);
  if (!found || !found->CreateCompression)
    nxRaiseUnknownEngine<EnxBaseRecordCompressionEngineException>(kFamilyWord, aName);
  return *found;
}

}  // namespace

const TnxRecordCompressionEngineClass& TnxBaseRecordCompressionEngine::ClassInfo() noexcept {
  static const TnxRecordCompressionEngineClass info{
      {{u"TnxBaseRecordCompressionEngine", &TnxBaseSubEngine::ClassInfo(), &nxRecordCompressionEngines}}};
  return info;
}

TnxBaseRecordCompressionEngine::TnxBaseRecordCompressionEngine(TnxBaseRecordCompressionDescriptor* aDescriptor,
                                                               int32_t aTableVersion)
    : TnxBaseSubEngine(aDescriptor ? aDescriptor->ID() : 0, aTableVersion), brceDescriptor(aDescriptor) {}

std::unique_ptr<TnxBaseRecordCompressionEngine> TnxBaseRecordCompressionEngine::CreateEngine(
    TnxBaseRecordCompressionDescriptor* aDescriptor, int32_t aTableVersion) {
  if (!aDescriptor) return std::make_unique<TnxNullRecordCompressionEngine>(nullptr, aTableVersion);
  return FindOrRaise(aDescriptor->RecordCompressionEngine()).CreateCompression(aDescriptor, aTableVersion);
}

void TnxBaseRecordCompressionEngine::CheckValidBaseFromDescriptor(TnxBaseRecordCompressionDescriptor* aDescriptor) {
  if (!aDescriptor) return;
  FindOrRaise(aDescriptor->RecordCompressionEngine()).DoCheckValidDescriptor(*aDescriptor);
}

// ---- Null ----

std::unique_ptr<TnxBaseRecordCompressionEngine> TnxNullRecordCompressionEngine::New(
    TnxBaseRecordCompressionDescriptor* aDescriptor, int32_t aTableVersion) {
  return std::make_unique<TnxNullRecordCompressionEngine>(aDescriptor, aTableVersion);
}

void TnxNullRecordCompressionEngine::DecompressRecord(const uint8_t*, uint16_t, uint8_t*) {
  throw EnxNullRecordCompressionEngineException(
      nxeCapabilityNotSupported, u"DecompressRecord is not supported by TnxNullRecordCompressionEngine");
}

// ---- Smart ----

TnxSmartRecordCompressionEngine::TnxSmartRecordCompressionEngine(TnxBaseRecordCompressionDescriptor* aDescriptor,
                                                                 int32_t aTableVersion)
    : TnxBaseRecordCompressionEngine(aDescriptor, aTableVersion), srceFieldsDescriptor(FieldsOf(aDescriptor)) {
  Prepare();
}

TnxSmartRecordCompressionEngine::TnxSmartRecordCompressionEngine(TnxFieldsDescriptor& aFields, int32_t aTableVersion)
    : TnxBaseRecordCompressionEngine(nullptr, aTableVersion), srceFieldsDescriptor(aFields) {
  Prepare();
}

std::unique_ptr<TnxBaseRecordCompressionEngine> TnxSmartRecordCompressionEngine::New(
    TnxBaseRecordCompressionDescriptor* aDescriptor, int32_t aTableVersion) {
  return std::make_unique<TnxSmartRecordCompressionEngine>(aDescriptor, aTableVersion);
}

void TnxSmartRecordCompressionEngine::Prepare() {
  const TnxFieldsDescriptor& fields = srceFieldsDescriptor;
  const int32_t n = fields.FieldCount();
  srceFields.clear();
  srceFields.reserve(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    const TnxFieldDescriptor& f = *fields.FieldDescriptor(i);
    TKind kind = TKind::Fixed;
    switch (f.FieldType()) {
      case nxtShortString: kind = TKind::ShortString; break;
      case nxtNullString: kind = TKind::NullString; break;
      case nxtWideString: kind = TKind::WideString; break;
      default: break;
    }
    srceFields.push_back({static_cast<uint32_t>(f.Offset()), static_cast<uint32_t>(f.Length()), kind});
  }
  srceBitmapOffset = static_cast<uint32_t>(fields.LogicalRecordLength());
  srceBitmapBytes = static_cast<uint32_t>((n + 7) / 8);
}

void TnxSmartRecordCompressionEngine::RaiseBadForm() const {
  throw EnxBaseRecordCompressionEngineException(nxeCorruptFile, u"Damaged compressed record");
}

namespace {

// Fixed fields of the common sizes move as one value.
inline void CopyField(uint8_t* aTo, const uint8_t* aFrom, uint32_t aLength) noexcept {
  switch (aLength) {
    case 1: *aTo = *aFrom; break;
    case 2: std::memcpy(aTo, aFrom, 2); break;
    case 4: std::memcpy(aTo, aFrom, 4); break;
    case 8: std::memcpy(aTo, aFrom, 8); break;
    default: std::memcpy(aTo, aFrom, aLength); break;
  }
}

// Bytes of a zero-terminated string of aUnit-byte characters inside
// aLength bytes, the terminator included; aLength (rounded down to whole
// characters) when there is none.
inline uint32_t TerminatedBytes(const uint8_t* aText, uint32_t aLength, uint32_t aUnit) noexcept {
  const uint32_t whole = aLength - aLength % aUnit;
  if (aUnit == 1) {
    const void* zero = std::memchr(aText, 0, whole);
    return zero ? static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - aText) + 1 : whole;
  }
  for (uint32_t at = 0; at < whole; at += 2)
    if (aText[at] == 0 && aText[at + 1] == 0) return at + 2;
  return whole;
}

}  // namespace

uint16_t TnxSmartRecordCompressionEngine::CompressRecord(const uint8_t* aSource, uint8_t* aTarget) {
  const uint8_t* bitmap = aSource + srceBitmapOffset;
  std::memcpy(aTarget, bitmap, srceBitmapBytes);
  uint8_t* to = aTarget + srceBitmapBytes;
  for (size_t i = 0; i < srceFields.size(); ++i) {
    if ((bitmap[i >> 3] >> (i & 7)) & 1) continue;
    const TField& f = srceFields[i];
    const uint8_t* from = aSource + f.Offset;
    uint32_t bytes = f.Length;
    switch (f.Kind) {
      case TKind::Fixed: break;
      case TKind::ShortString: {
        if (f.Length == 0) {
          bytes = 0;
          break;
        }
        // A length byte beyond the field is cut to the field.
        const uint32_t n = std::min<uint32_t>(*from, f.Length - 1);
        *to = static_cast<uint8_t>(n);
        std::memcpy(to + 1, from + 1, n);
        to += 1 + n;
        continue;
      }
      case TKind::NullString: bytes = TerminatedBytes(from, f.Length, 1); break;
      case TKind::WideString: bytes = TerminatedBytes(from, f.Length, 2); break;
    }
    CopyField(to, from, bytes);
    to += bytes;
  }
  return static_cast<uint16_t>(to - aTarget);
}

void TnxSmartRecordCompressionEngine::DecompressRecord(const uint8_t* aSource, uint16_t aSize, uint8_t* aTarget) {
  srceFieldsDescriptor.InitRecord(aTarget);
  if (aSize < srceBitmapBytes) RaiseBadForm();
  uint8_t* bitmap = aTarget + srceBitmapOffset;
  std::memcpy(bitmap, aSource, srceBitmapBytes);
  const uint8_t* from = aSource + srceBitmapBytes;
  const uint8_t* const end = aSource + aSize;
  for (size_t i = 0; i < srceFields.size(); ++i) {
    if ((bitmap[i >> 3] >> (i & 7)) & 1) continue;
    const TField& f = srceFields[i];
    uint8_t* to = aTarget + f.Offset;
    const uint32_t left = static_cast<uint32_t>(end - from);
    uint32_t bytes = f.Length;
    switch (f.Kind) {
      case TKind::Fixed: break;
      case TKind::ShortString:
        if (f.Length == 0) {
          bytes = 0;
        } else {
          if (left < 1 || *from > f.Length - 1) RaiseBadForm();
          bytes = 1u + *from;
        }
        break;
      case TKind::NullString:
      case TKind::WideString: {
        const uint32_t unit = f.Kind == TKind::NullString ? 1 : 2;
        bytes = TerminatedBytes(from, std::min(left, f.Length), unit);
        // No terminator in what is there: the whole field must be.
        const uint32_t whole = f.Length - f.Length % unit;
        const bool terminated = bytes >= unit && std::memcmp(from + bytes - unit, "\0\0", unit) == 0;
        if (!terminated && bytes != whole) RaiseBadForm();
        break;
      }
    }
    if (bytes > left) RaiseBadForm();
    CopyField(to, from, bytes);
    from += bytes;
  }
}

// ---- Compressor ----

TnxCompressorRecordCompressionEngine::TnxCompressorRecordCompressionEngine(
    TnxBaseRecordCompressionDescriptor* aDescriptor, int32_t aTableVersion)
    : TnxBaseRecordCompressionEngine(aDescriptor, aTableVersion),
      srceFieldsDescriptor(FieldsOf(aDescriptor)),
      srceRecordLength(static_cast<uint32_t>(srceFieldsDescriptor.RecordLength())) {
  const int32_t type = aDescriptor->GetCompressType();
  if (type >= 1 && type <= 255) srceCompressor = nxCompressorClasses[static_cast<size_t>(type)];
  if (!srceCompressor)
    throw EnxCompressorRecordCompressionEngineException(u"Unknown CompressType \"%d\"", {static_cast<int64_t>(type)});
}

std::unique_ptr<TnxBaseRecordCompressionEngine> TnxCompressorRecordCompressionEngine::New(
    TnxBaseRecordCompressionDescriptor* aDescriptor, int32_t aTableVersion) {
  return std::make_unique<TnxCompressorRecordCompressionEngine>(aDescriptor, aTableVersion);
}

uint16_t TnxCompressorRecordCompressionEngine::CompressRecord(const uint8_t* aSource, uint8_t* aTarget) {
  return static_cast<uint16_t>(srceCompressor->Compress(aSource, aTarget, srceRecordLength, srceRecordLength));
}

void TnxCompressorRecordCompressionEngine::DecompressRecord(const uint8_t* aSource, uint16_t aSize,
                                                            uint8_t* aTarget) {
  // A stored form that does not decode to a whole record is damage.
  if (!srceCompressor->Uncompress(aSource, aTarget, aSize, srceRecordLength))
    throw EnxCompressorRecordCompressionEngineException(nxeCorruptFile, u"Damaged compressed record");
}

void nxRecordCompressionStartup() {
  TnxBaseRecordCompressionEngine::ClassInfo().RegisterFamily();
  TnxNullRecordCompressionEngine::ClassInfo().Register(u"Null");
  TnxSmartRecordCompressionEngine::ClassInfo().Register(u"Smart");
  TnxCompressorRecordCompressionEngine::ClassInfo().Register(u"Compressor");
}

void nxRecordCompressionShutdown() noexcept {
  TnxCompressorRecordCompressionEngine::ClassInfo().Unregister();
  TnxSmartRecordCompressionEngine::ClassInfo().Unregister();
  TnxNullRecordCompressionEngine::ClassInfo().Unregister();
  TnxBaseRecordCompressionEngine::ClassInfo().UnregisterFamily();
}

}  // namespace revurov
