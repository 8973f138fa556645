#include "fieldmap/blob_mappers.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "dictionary/field_descriptor.h"
#include "engine/sql_engine_classes.h"
#include "fieldmap/code_page_text.h"
#include "fieldmap/string_mappers.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "platform/stream.h"

namespace revurov {

namespace {

using platform::LoadLE;
using platform::StoreLE;
using platform::TCodePageConverter;

constexpr uint32_t kMapped = 0;
// Nothing to write: the field mapper engine gives the target its default
// or null. An empty value loses nothing, so this holds under every action.
constexpr uint32_t kNothingToWrite = 1;
constexpr uint32_t kCopyAll = 0xFFFFFFFFu;

constexpr TnxFieldTypes kBlobs = nxBlobFieldTypes;
constexpr TnxFieldTypes kByteBlobs = nxFieldTypeBit(nxtBlob) | nxFieldTypeBit(nxtBlobMemo) | nxFieldTypeBit(nxtBlobGraphic);
constexpr TnxFieldTypes kMemo = nxFieldTypeBit(nxtBlobMemo);
constexpr TnxFieldTypes kWideMemo = nxFieldTypeBit(nxtBlobWideMemo);
constexpr TnxFieldTypes kShort = nxFieldTypeBit(nxtShortString);
constexpr TnxFieldTypes kNull = nxFieldTypeBit(nxtNullString);
constexpr TnxFieldTypes kWide = nxFieldTypeBit(nxtWideString);

bool Has(TnxFieldTypes aSet, TnxFieldType aType) noexcept { return (aSet & nxFieldTypeBit(aType)) != 0; }

TnxBlobNr LoadNr(const void* aField) noexcept { return LoadLE<uint64_t>(aField); }
void StoreNr(void* aField, TnxBlobNr aNr) noexcept { StoreLE<uint64_t>(aField, aNr); }

// What a BLOB read delivers, appended to a buffer the mapper reuses.
class TAppendStream final : public platform::TStream {
public:
  explicit TAppendStream(std::string& aBytes) : asBytes(aBytes) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* aBuffer, int64_t aCount) override {
    if (aCount <= 0) return 0;
    asBytes.append(static_cast<const char*>(aBuffer), static_cast<size_t>(aCount));
    return aCount;
  }
  int64_t Seek(int64_t, platform::TSeekOrigin) override { return static_cast<int64_t>(asBytes.size()); }

private:
  std::string& asBytes;
};

void AppendUnits(std::u16string_view aUnits, std::string& aBytes) {
  const size_t start = aBytes.size();
  aBytes.resize(start + 2 * aUnits.size());
  char* p = aBytes.data() + start;
  for (size_t i = 0; i < aUnits.size(); ++i) StoreLE<uint16_t>(p + 2 * i, aUnits[i]);
}

// aBytes (after a byte left over from the piece before) as whole UTF-16
// units; an odd last byte waits in aCarry for the next piece.
void TakeUnits(std::string_view aBytes, std::string& aCarry, std::u16string& aUnits) {
  aUnits.clear();
  std::string_view rest = aBytes;
  if (!aCarry.empty() && !rest.empty()) {
    const char pair[2] = {aCarry[0], rest[0]};
    aUnits.push_back(LoadLE<uint16_t>(pair));
    aCarry.clear();
    rest.remove_prefix(1);
  }
  const size_t n = rest.size() / 2;
  aUnits.resize(aUnits.size() + n);
  char16_t* out = aUnits.data() + aUnits.size() - n;
  for (size_t i = 0; i < n; ++i) out[i] = LoadLE<uint16_t>(rest.data() + 2 * i);
  if (rest.size() % 2 != 0) aCarry.assign(1, rest.back());
}

TnxSqlAbstractCursor* ServerCursor(TnxAbstractCursor* aCursor, const TnxFieldMapperClass& aClass) {
  auto* cursor = dynamic_cast<TnxSqlAbstractCursor*>(aCursor);
  if (!cursor)
    throw EnxBaseFieldMapperException(nxeInvalidParameter,
                                      std::u16string(aClass.Name) + u" maps BLOBs only between server cursors");
  return cursor;
}

// ---- what every BLOB mapper keeps ----

class TnxBlobMapperOf : public TnxBaseFieldMapper {
public:
  TnxBlobMapperOf(const TnxFieldMapperClass& aClass, TnxFieldDescriptor& aSourceField,
                  TnxAbstractCursor* aSourceCursor, TnxFieldDescriptor& aTargetField,
                  TnxAbstractCursor* aTargetCursor)
      : bmSourceField(&aSourceField), bmTargetField(&aTargetField), bmClass(&aClass) {
    if (aSourceField.IsBlob()) bmSourceCursor = ServerCursor(aSourceCursor, aClass);
    if (aTargetField.IsBlob()) bmTargetCursor = ServerCursor(aTargetCursor, aClass);
  }

  static uint32_t Run(const void* aData, const void* aSource, void* aTarget) {
    return static_cast<const TnxBlobMapperOf*>(aData)->Map(aSource, aTarget);
  }

protected:
  TnxSqlAbstractCursor* bmSourceCursor = nullptr;
  TnxSqlAbstractCursor* bmTargetCursor = nullptr;
  TnxFieldDescriptor* bmSourceField = nullptr;
  TnxFieldDescriptor* bmTargetField = nullptr;
  uint32_t bmNullError = kNothingToWrite;
  const TnxFieldMapperClass* bmClass = nullptr;

  virtual uint32_t Map(const void* aSource, void* aTarget) const = 0;

  TnxMapperContext Context(std::u16string_view aRoutine) const { return {bmClass->Name, aRoutine}; }

  uint32_t SourceLength(TnxBlobNr aNr, uint32_t& aLength) const {
    aLength = 0;
    return bmSourceCursor->sbcBlobGetLength(nxNullRecID, bmSourceField->Number(), aNr, aLength, false, nullptr);
  }
  // Up to aLen bytes from aOffset into aBytes (emptied first).
  uint32_t ReadSource(TnxBlobNr aNr, uint32_t aOffset, uint32_t aLen, std::string& aBytes) const {
    aBytes.clear();
    TAppendStream stream(aBytes);
    return bmSourceCursor->sbcBlobRead(nxNullRecID, bmSourceField->Number(), aNr, aOffset, aLen, stream, false,
                                       nullptr);
  }

  // The new target BLOB, written piece by piece at growing offsets. It is
  // created with the first bytes and deleted again unless kept: after a
  // failed write, and when a conversion raises half way.
  class TargetBlob {
  public:
    explicit TargetBlob(const TnxBlobMapperOf& aMapper) : tbMapper(aMapper) {}
    ~TargetBlob() { Abandon(); }
    TargetBlob(const TargetBlob&) = delete;
    TargetBlob& operator=(const TargetBlob&) = delete;

    uint32_t Write(const void* aBytes, size_t aLen) {
      if (aLen == 0) return kMapped;
      if (aLen > kCopyAll - tbOffset)
        return EnxBaseException::nxSetMessage(nxeInvalidFieldTransformation,
                                              u"The converted text is too long for a BLOB");
      TnxSqlAbstractCursor& cursor = *tbMapper.bmTargetCursor;
      const int32_t field = tbMapper.bmTargetField->Number();
      if (tbNr == 0) {
        TnxBlobNr created = 0;
        if (const uint32_t result = cursor.sbcBlobCreate(nxNullRecID, field, created)) return result;
        tbNr = created;
      }
      const auto len = static_cast<uint32_t>(aLen);
      if (const uint32_t result = cursor.sbcBlobWrite(nxNullRecID, field, tbNr, tbOffset, len, aBytes)) {
        Abandon();
        return result;
      }
      tbOffset += len;
      return kMapped;
    }
    // Stores the BLOB number in the target field; nothing written answers
    // that there is nothing to write.
    uint32_t Keep(void* aTarget) {
      if (tbNr == 0) return kNothingToWrite;
      StoreNr(aTarget, tbNr);
      tbNr = 0;
      return kMapped;
    }

  private:
    const TnxBlobMapperOf& tbMapper;
    TnxBlobNr tbNr = 0;
    uint32_t tbOffset = 0;

    void Abandon() noexcept {
      if (tbNr == 0) return;
      const TnxBlobNr nr = tbNr;
      tbNr = 0;
      // The failure that led here is the one to report, not the delete's.
      uint32_t code = 0;
      std::u16string message;
      EnxBaseException::GetLastConvertedException(code, message);
      try {
        tbMapper.bmTargetCursor->sbcBlobDelete(nxNullRecID, tbMapper.bmTargetField->Number(), nr);
      } catch (...) {
        // Workers answer codes; the caller's rollback takes a blob left.
      }
      EnxBaseException::SetLastConvertedException(code, message);
    }
  };

  uint32_t CopyWhole(const void* aSource, void* aTarget) const {
    const TnxBlobNr source = LoadNr(aSource);
    if (source == 0) return bmNullError;
    TnxBlobNr copy = 0;
    if (const uint32_t result = bmTargetCursor->sbcBlobCopyFrom(bmSourceCursor, bmSourceField->Number(), source,
                                                                bmTargetField->Number(), copy, kCopyAll))
      return result;
    StoreNr(aTarget, copy);
    return kMapped;
  }

  static std::unique_ptr<TCodePageConverter> Open(uint16_t aCodePage, const TnxMapperContext& aContext,
                                                  std::u16string_view aFunction) {
    return nxOpenMapperConverter(nxResolvedCodePage(aCodePage), aContext, aFunction);
  }
};

// ---- BLOB to BLOB ----

class TnxBlobCopyMapper final : public TnxBlobMapperOf {
public:
  using TnxBlobMapperOf::TnxBlobMapperOf;

private:
  uint32_t Map(const void* aSource, void* aTarget) const override {
    StoreNr(aTarget, 0);
    return CopyWhole(aSource, aTarget);
  }
};

// Memo to memo across code pages, memo to wide memo and back: the source
// in pieces through one converter pair, each piece's result written before
// the next is read.
class TnxBlobConvertMapper final : public TnxBlobMapperOf {
public:
  enum Kind { MemoToMemo, MemoToWideMemo, WideMemoToMemo };

  TnxBlobConvertMapper(const TnxFieldMapperClass& aClass, TnxFieldDescriptor& aSourceField,
                       TnxAbstractCursor* aSourceCursor, TnxFieldDescriptor& aTargetField,
                       TnxAbstractCursor* aTargetCursor, Kind aKind)
      : TnxBlobMapperOf(aClass, aSourceField, aSourceCursor, aTargetField, aTargetCursor), bcKind(aKind) {
    const uint16_t sourceCp = aSourceField.GetUsedStorageCodePage();
    const uint16_t targetCp = aTargetField.GetUsedStorageCodePage();
    switch (aKind) {
      case MemoToMemo:
        // Equal code pages, or a field without one, keep the bytes.
        bcConvert = sourceCp != 0 && targetCp != 0 && sourceCp != targetCp;
        bcContext = Context(u"ToBlobMemoConvert");
        if (bcConvert) {
          bcWiden = Open(sourceCp, bcContext, nxWidenFunction);
          bcNarrow = Open(targetCp, bcContext, nxNarrowFunction);
        }
        break;
      case MemoToWideMemo:
        bcContext = Context(u"ToBlobWideMemoConvert");
        bcWiden = Open(sourceCp, bcContext, nxWidenFunction);
        break;
      case WideMemoToMemo:
        bcContext = Context(u"ToBlobMemoConvert");
        bcNarrow = Open(targetCp, bcContext, nxNarrowFunction);
        break;
    }
  }

private:
  Kind bcKind;
  bool bcConvert = true;
  TnxMapperContext bcContext;
  std::unique_ptr<TCodePageConverter> bcWiden;
  std::unique_ptr<TCodePageConverter> bcNarrow;
  // Reused from record to record: one piece each, whatever the BLOB's size.
  mutable std::string bcIn;
  mutable std::string bcCarry;
  mutable std::u16string bcWide;
  mutable std::string bcOut;

  uint32_t Map(const void* aSource, void* aTarget) const override {
    StoreNr(aTarget, 0);
    if (!bcConvert) return CopyWhole(aSource, aTarget);
    const TnxBlobNr source = LoadNr(aSource);
    if (source == 0) return bmNullError;
    uint32_t length = 0;
    if (const uint32_t result = SourceLength(source, length)) return result;
    if (length == 0) return bmNullError;
    if (bcWiden) bcWiden->Reset();
    if (bcNarrow) bcNarrow->Reset();
    bcCarry.clear();
    TargetBlob target(*this);
    uint32_t offset = 0;
    for (bool last = false; !last;) {
      const uint32_t want = std::min(nxBlobMapperChunkSize, length - offset);
      if (const uint32_t result = ReadSource(source, offset, want, bcIn)) return result;
      offset += static_cast<uint32_t>(bcIn.size());
      // A BLOB that ends before its length said ends the text there too.
      last = bcIn.empty() || offset >= length;
      if (const uint32_t result = ConvertPiece(last)) return result;
      if (const uint32_t result = target.Write(bcOut.data(), bcOut.size())) return result;
    }
    return target.Keep(aTarget);
  }

  // bcIn into bcOut.
  uint32_t ConvertPiece(bool aLast) const {
    bcOut.clear();
    switch (bcKind) {
      case MemoToMemo:
        Widen(aLast);
        Narrow(bcWide, aLast);
        break;
      case MemoToWideMemo:
        Widen(aLast);
        AppendUnits(bcWide, bcOut);
        break;
      case WideMemoToMemo:
        // An odd last byte is no code unit.
        TakeUnits(bcIn, bcCarry, bcWide);
        Narrow(bcWide, aLast);
        break;
    }
    return kMapped;
  }
  void Widen(bool aLast) const {
    bcWide.clear();
    if (!bcWiden->ToUnicodeChunk(bcIn, aLast, bcWide)) bcContext.Raise(nxWidenFunction, nxErrorNoUnicodeTranslation);
  }
  void Narrow(std::u16string_view aText, bool aLast) const {
    if (!bcNarrow->FromUnicodeChunk(aText, aLast, bcOut)) bcContext.Raise(nxNarrowFunction, nxErrorNoUnicodeTranslation);
  }
};

// ---- text fields to BLOB ----

class TnxTextToBlobMapper final : public TnxBlobMapperOf {
public:
  TnxTextToBlobMapper(const TnxFieldMapperClass& aClass, TnxFieldDescriptor& aSourceField,
                      TnxAbstractCursor* aSourceCursor, TnxFieldDescriptor& aTargetField,
                      TnxAbstractCursor* aTargetCursor)
      : TnxBlobMapperOf(aClass, aSourceField, aSourceCursor, aTargetField, aTargetCursor),
        tbSourceType(aSourceField.FieldType()),
        tbTargetType(aTargetField.FieldType()),
        tbSourceLength(std::max(aSourceField.Length(), 0)) {
    const uint16_t sourceCp = aSourceField.GetUsedStorageCodePage();
    const uint16_t targetCp = aTargetField.GetUsedStorageCodePage();
    if (tbSourceType == nxtWideString) {
      if (tbTargetType == nxtBlobMemo) {
        tbContext = Context(u"ToBlobMemoConvert");
        tbNarrow = Open(targetCp, tbContext, nxNarrowFunction);
      }
    } else if (tbTargetType == nxtBlobWideMemo) {
      tbContext = Context(u"ToBlobWideMemoConvert");
      tbWiden = Open(sourceCp, tbContext, nxWidenFunction);
    } else if (tbTargetType == nxtBlobMemo && sourceCp != 0 && targetCp != 0 && sourceCp != targetCp) {
      tbContext = Context(u"ToBlobMemoConvert");
      tbWiden = Open(sourceCp, tbContext, nxWidenFunction);
      tbNarrow = Open(targetCp, tbContext, nxNarrowFunction);
    }
  }

private:
  TnxFieldType tbSourceType;
  TnxFieldType tbTargetType;
  size_t tbSourceLength;
  TnxMapperContext tbContext;
  std::unique_ptr<TCodePageConverter> tbWiden;
  std::unique_ptr<TCodePageConverter> tbNarrow;
  mutable std::u16string tbWide;
  mutable std::string tbOut;

  uint32_t Map(const void* aSource, void* aTarget) const override {
    StoreNr(aTarget, 0);
    tbOut.clear();
    if (tbSourceType == nxtWideString) {
      const std::u16string_view text = WideText(aSource);
      if (text.empty()) return bmNullError;
      if (tbNarrow) {
        tbNarrow->Reset();
        if (!tbNarrow->FromUnicodeChunk(text, true, tbOut))
          tbContext.Raise(nxNarrowFunction, nxErrorNoUnicodeTranslation);
      } else {
        AppendUnits(text, tbOut);
      }
    } else {
      const std::string_view text = AnsiText(aSource);
      if (text.empty()) return bmNullError;
      if (tbWiden) {
        tbWiden->Reset();
        tbWide.clear();
        if (!tbWiden->ToUnicodeChunk(text, true, tbWide)) tbContext.Raise(nxWidenFunction, nxErrorNoUnicodeTranslation);
        if (tbNarrow) {
          tbNarrow->Reset();
          if (!tbNarrow->FromUnicodeChunk(tbWide, true, tbOut))
            tbContext.Raise(nxNarrowFunction, nxErrorNoUnicodeTranslation);
        } else {
          AppendUnits(tbWide, tbOut);
        }
      } else {
        tbOut.assign(text);
      }
    }
    TargetBlob target(*this);
    if (const uint32_t result = target.Write(tbOut.data(), tbOut.size())) return result;
    return target.Keep(aTarget) == kMapped ? kMapped : bmNullError;
  }

  // At most the field's length less one: a length byte or a terminator
  // that lies will not take the read beyond the field.
  std::string_view AnsiText(const void* aSource) const noexcept {
    const auto* p = static_cast<const char*>(aSource);
    const size_t room = tbSourceLength > 0 ? tbSourceLength - 1 : 0;
    if (tbSourceType == nxtShortString) return {p + 1, std::min<size_t>(static_cast<uint8_t>(p[0]), room)};
    return {p, strnlen(p, room)};
  }
  std::u16string_view WideText(const void* aSource) const {
    const auto* p = static_cast<const uint8_t*>(aSource);
    const size_t units = tbSourceLength >= 2 ? tbSourceLength / 2 - 1 : 0;
    tbWide.clear();
    for (size_t i = 0; i < units; ++i) {
      const char16_t unit = LoadLE<uint16_t>(p + 2 * i);
      if (unit == 0) break;
      tbWide.push_back(unit);
    }
    return tbWide;
  }
};

// ---- BLOB to text fields ----

// Reads the whole text and hands it, terminated, to a string mapper made
// with the BLOB field as its source, so that the mapper checks or cuts the
// text as a whole.
class TnxBlobToTextMapper final : public TnxBlobMapperOf {
public:
  TnxBlobToTextMapper(const TnxFieldMapperClass& aClass, TnxFieldDescriptor& aSourceField,
                      TnxAbstractCursor* aSourceCursor, TnxFieldDescriptor& aTargetField,
                      TnxAbstractCursor* aTargetCursor, const TnxFieldMapperDescriptor* aMapperDesc,
                      const TnxFieldMapperClass& aNestedClass, TnxMappingMethod& aMapper)
      : TnxBlobMapperOf(aClass, aSourceField, aSourceCursor, aTargetField, aTargetCursor),
        btWide(aSourceField.FieldType() == nxtBlobWideMemo) {
    btStringMapper = nxCreateStringMapper(aNestedClass, aSourceField, aTargetField, aMapperDesc, btMappingMethod);
    if (btMappingMethod.Assigned()) aMapper = {&Run, this};
  }

private:
  bool btWide;
  std::unique_ptr<TnxBaseFieldMapper> btStringMapper;
  TnxMappingMethod btMappingMethod;
  mutable std::string btText;
  mutable std::string btPiece;

  uint32_t Map(const void* aSource, void* aTarget) const override {
    const TnxBlobNr source = LoadNr(aSource);
    if (source == 0) return bmNullError;
    uint32_t length = 0;
    if (const uint32_t result = SourceLength(source, length)) return result;
    if (length == 0) return bmNullError;
    btText.clear();
    for (uint32_t offset = 0; offset < length;) {
      const uint32_t want = std::min(nxBlobMapperChunkSize, length - offset);
      if (const uint32_t result = ReadSource(source, offset, want, btPiece)) return result;
      if (btPiece.empty()) break;
      offset += static_cast<uint32_t>(btPiece.size());
      btText.append(btPiece);
      // The text ends at its terminator: what follows is never read.
      if (EndsInside(btPiece)) break;
    }
    if (btWide) {
      btText.resize(btText.size() & ~size_t{1});
      btText.append(2, '\0');
    } else {
      btText.push_back('\0');
    }
    return btMappingMethod(btText.data(), aTarget);
  }

  bool EndsInside(std::string_view aPiece) const noexcept {
    if (!btWide) return aPiece.find('\0') != std::string_view::npos;
    // Units start at even offsets of the text; pieces are even but a last
    // one, so the text's units are the piece's too.
    const size_t start = btText.size() - aPiece.size();
    for (size_t i = (start % 2 == 0 ? 0 : 1); i + 1 < aPiece.size(); i += 2)
      if (aPiece[i] == 0 && aPiece[i + 1] == 0) return true;
    return false;
  }
};

// ---- the classes ----

std::unique_ptr<TnxBaseFieldMapper> Make(const TnxFieldMapperClass& aClass, TnxFieldDescriptor& aSource,
                                         TnxAbstractCursor* aSourceCursor, TnxFieldDescriptor& aTarget,
                                         TnxAbstractCursor* aTargetCursor, const TnxFieldMapperDescriptor* aDesc,
                                         TnxMappingMethod& aMapper) {
  using Convert = TnxBlobConvertMapper;
  std::unique_ptr<TnxBlobMapperOf> mapper;
  auto nested = [&](const TnxFieldMapperClass& aNested) -> std::unique_ptr<TnxBaseFieldMapper> {
    auto m = std::make_unique<TnxBlobToTextMapper>(aClass, aSource, aSourceCursor, aTarget, aTargetCursor, aDesc,
                                                    aNested, aMapper);
    if (!aMapper.Assigned()) return nullptr;
    return m;
  };
  if (&aClass == &TnxBlobMapper::ClassInfo)
    mapper = std::make_unique<TnxBlobCopyMapper>(aClass, aSource, aSourceCursor, aTarget, aTargetCursor);
  else if (&aClass == &TnxBlobMemoToBlobMemoMapper::ClassInfo)
    mapper = std::make_unique<Convert>(aClass, aSource, aSourceCursor, aTarget, aTargetCursor, Convert::MemoToMemo);
  else if (&aClass == &TnxBlobMemoToBlobWideMemoMapper::ClassInfo)
    mapper =
        std::make_unique<Convert>(aClass, aSource, aSourceCursor, aTarget, aTargetCursor, Convert::MemoToWideMemo);
  else if (&aClass == &TnxBlobWideMemoToBlobMemoMapper::ClassInfo)
    mapper =
        std::make_unique<Convert>(aClass, aSource, aSourceCursor, aTarget, aTargetCursor, Convert::WideMemoToMemo);
  else if (&aClass == &TnxNullStringToBlobMapper::ClassInfo || &aClass == &TnxShortStringToBlobMapper::ClassInfo ||
           &aClass == &TnxWideStringToBlobMapper::ClassInfo)
    mapper = std::make_unique<TnxTextToBlobMapper>(aClass, aSource, aSourceCursor, aTarget, aTargetCursor);
  // The whole text goes through the string mappers as NullString text
  // (zero-terminated, any length): a ShortString layout would cut it to
  // 255 bytes before the check could see it.
  else if (&aClass == &TnxBlobToNullStringMapper::ClassInfo)
    return nested(TnxNullStringToNullStringMapper::ClassInfo);
  else if (&aClass == &TnxBlobToShortStringMapper::ClassInfo)
    return nested(TnxNullStringToShortStringMapper::ClassInfo);
  else if (&aClass == &TnxBlobToWideStringMapper::ClassInfo)
    return nested(TnxAnsiStringToWideStringMapper::ClassInfo);
  else if (&aClass == &TnxBlobWideMemoToAnsiStringMapper::ClassInfo)
    return nested(TnxWideStringToAnsiStringMapper::ClassInfo);
  else if (&aClass == &TnxBlobWideMemoToWideStringMapper::ClassInfo)
    return nested(TnxWideStringToWideStringMapper::ClassInfo);
  if (!mapper) return nullptr;
  aMapper = {&TnxBlobMapperOf::Run, mapper.get()};
  return mapper;
}

template <TnxFieldTypes kSources, TnxFieldTypes kTargets>
std::unique_ptr<TnxBaseFieldMapper> TryCreateBlobMapper(const TnxFieldMapperClass& aClass,
                                                        TnxFieldDescriptor& aSourceField,
                                                        TnxAbstractCursor* aSourceCursor,
                                                        TnxFieldDescriptor& aTargetField,
                                                        TnxAbstractCursor* aTargetCursor,
                                                        const TnxFieldMapperDescriptor* aMapperDesc,
                                                        TnxMappingMethod& aMapper) {
  aMapper.Clear();
  if (!Has(kSources, aSourceField.FieldType()) || !Has(kTargets, aTargetField.FieldType())) return nullptr;
  return Make(aClass, aSourceField, aSourceCursor, aTargetField, aTargetCursor, aMapperDesc, aMapper);
}

}  // namespace

const TnxFieldMapperClass TnxBlobMapper::ClassInfo{u"TnxBlobMapper", &TryCreateBlobMapper<kBlobs, kBlobs>};
const TnxFieldMapperClass TnxBlobMemoToBlobMemoMapper::ClassInfo{u"TnxBlobMemoToBlobMemoMapper",
                                                                 &TryCreateBlobMapper<kMemo, kMemo>};
const TnxFieldMapperClass TnxBlobMemoToBlobWideMemoMapper::ClassInfo{u"TnxBlobMemoToBlobWideMemoMapper",
                                                                     &TryCreateBlobMapper<kMemo, kWideMemo>};
const TnxFieldMapperClass TnxBlobWideMemoToBlobMemoMapper::ClassInfo{u"TnxBlobWideMemoToBlobMemoMapper",
                                                                     &TryCreateBlobMapper<kWideMemo, kMemo>};
const TnxFieldMapperClass TnxNullStringToBlobMapper::ClassInfo{u"TnxNullStringToBlobMapper",
                                                               &TryCreateBlobMapper<kNull, kBlobs>};
const TnxFieldMapperClass TnxShortStringToBlobMapper::ClassInfo{u"TnxShortStringToBlobMapper",
                                                                &TryCreateBlobMapper<kShort, kBlobs>};
const TnxFieldMapperClass TnxWideStringToBlobMapper::ClassInfo{u"TnxWideStringToBlobMapper",
                                                               &TryCreateBlobMapper<kWide, kBlobs>};
const TnxFieldMapperClass TnxBlobToNullStringMapper::ClassInfo{u"TnxBlobToNullStringMapper",
                                                               &TryCreateBlobMapper<kByteBlobs, kNull>};
const TnxFieldMapperClass TnxBlobToShortStringMapper::ClassInfo{u"TnxBlobToShortStringMapper",
                                                                &TryCreateBlobMapper<kByteBlobs, kShort>};
const TnxFieldMapperClass TnxBlobToWideStringMapper::ClassInfo{u"TnxBlobToWideStringMapper",
                                                               &TryCreateBlobMapper<kByteBlobs, kWide>};
const TnxFieldMapperClass TnxBlobWideMemoToAnsiStringMapper::ClassInfo{
    u"TnxBlobWideMemoToAnsiStringMapper", &TryCreateBlobMapper<kWideMemo, kShort | kNull>};
const TnxFieldMapperClass TnxBlobWideMemoToWideStringMapper::ClassInfo{u"TnxBlobWideMemoToWideStringMapper",
                                                                       &TryCreateBlobMapper<kWideMemo, kWide>};

namespace {

constexpr TnxFieldType kAllBlobs[] = {nxtBlob, nxtBlobMemo, nxtBlobWideMemo, nxtBlobGraphic};
constexpr TnxFieldType kByteBlobTargets[] = {nxtBlob, nxtBlobGraphic};
constexpr TnxFieldType kWideMemoCopyTargets[] = {nxtBlob, nxtBlobWideMemo, nxtBlobGraphic};
constexpr TnxFieldType kMemoTarget[] = {nxtBlobMemo};
constexpr TnxFieldType kWideMemoTarget[] = {nxtBlobWideMemo};
constexpr TnxFieldType kNullTarget[] = {nxtNullString};
constexpr TnxFieldType kShortTarget[] = {nxtShortString};
constexpr TnxFieldType kWideTarget[] = {nxtWideString};
constexpr TnxFieldType kAnsiTargets[] = {nxtNullString, nxtShortString};

struct Row {
  TnxFieldType Source;
  TnxBaseFieldMapperClass Class;
  std::span<const TnxFieldType> Targets;
};

constexpr Row kBlobRows[] = {
    {nxtBlob, &TnxBlobMapper::ClassInfo, kAllBlobs},
    {nxtBlob, &TnxBlobToNullStringMapper::ClassInfo, kNullTarget},
    {nxtBlob, &TnxBlobToShortStringMapper::ClassInfo, kShortTarget},
    {nxtBlob, &TnxBlobToWideStringMapper::ClassInfo, kWideTarget},
    {nxtBlobMemo, &TnxBlobMapper::ClassInfo, kByteBlobTargets},
    {nxtBlobMemo, &TnxBlobMemoToBlobMemoMapper::ClassInfo, kMemoTarget},
    {nxtBlobMemo, &TnxBlobMemoToBlobWideMemoMapper::ClassInfo, kWideMemoTarget},
    {nxtBlobMemo, &TnxBlobToNullStringMapper::ClassInfo, kNullTarget},
    {nxtBlobMemo, &TnxBlobToShortStringMapper::ClassInfo, kShortTarget},
    {nxtBlobMemo, &TnxBlobToWideStringMapper::ClassInfo, kWideTarget},
    {nxtBlobGraphic, &TnxBlobMapper::ClassInfo, kAllBlobs},
    {nxtBlobGraphic, &TnxBlobToNullStringMapper::ClassInfo, kNullTarget},
    {nxtBlobGraphic, &TnxBlobToShortStringMapper::ClassInfo, kShortTarget},
    {nxtBlobGraphic, &TnxBlobToWideStringMapper::ClassInfo, kWideTarget},
    {nxtShortString, &TnxShortStringToBlobMapper::ClassInfo, kAllBlobs},
    {nxtNullString, &TnxNullStringToBlobMapper::ClassInfo, kAllBlobs},
    {nxtWideString, &TnxWideStringToBlobMapper::ClassInfo, kAllBlobs},
    {nxtBlobWideMemo, &TnxBlobMapper::ClassInfo, kWideMemoCopyTargets},
    {nxtBlobWideMemo, &TnxBlobWideMemoToBlobMemoMapper::ClassInfo, kMemoTarget},
    {nxtBlobWideMemo, &TnxBlobWideMemoToAnsiStringMapper::ClassInfo, kAnsiTargets},
    {nxtBlobWideMemo, &TnxBlobWideMemoToWideStringMapper::ClassInfo, kWideTarget},
};

constexpr size_t kBlobRegistrationCount = [] {
  size_t n = 0;
  for (const Row& row : kBlobRows) n += row.Targets.size();
  return n;
}();
static_assert(kBlobRegistrationCount == 40);

constexpr auto kBlobRegistrations = [] {
  std::array<TnxFieldMapperRegistration, kBlobRegistrationCount> result{};
  size_t i = 0;
  for (const Row& row : kBlobRows)
    for (TnxFieldType target : row.Targets) result[i++] = {row.Source, target, row.Class};
  return result;
}();

}  // namespace

std::span<const TnxFieldMapperRegistration> nxBlobFieldMapperRegistrations() noexcept { return kBlobRegistrations; }

void nxRegisterBlobFieldMappers() {
  for (const TnxFieldMapperRegistration& r : kBlobRegistrations) nxRegisterFieldMapper(r.Class, r.Source, r.Target);
}

}  // namespace revurov
