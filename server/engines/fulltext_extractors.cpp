#include "server/engines/fulltext_extractors.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/fulltext_descriptors.h"
#include "engine/abstract_cursor.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/strings/utils_locale.h"
#include "lowlevel/wide_strings/wide_string.h"
#include "platform/endian.h"
#include "platform/nls.h"
#include "platform/rtl_exception.h"
#include "platform/stream.h"
#include "server/engines/fulltext_engine_base.h"
#include "server/engines/fulltext_filters.h"
#include "server/engines/fulltext_table_engine.h"
#include "storage/deadline.h"

namespace revurov {

constinit TnxClassRegistry nxTokenExtractorCursorEngines;

namespace {

const TnxTokenExtractorCursorEngineClass& ExtractorClassFor(const TnxBaseTokenExtractorTableEngine& aTableEngine) {
  const std::u16string name = nxReplaceEngineWord(aTableEngine.ClassName(), u"TableEngine", u"CursorEngine");
  const auto* engineClass =
      nxFindClassAs<TnxTokenExtractorCursorEngineClass>(TnxBaseTokenExtractorCursorEngine::ClassInfo(), name);
  if (!engineClass || !engineClass->Create)
    nxRaiseUnknownEngine<EnxBaseTokenExtractorCursorEngineException>(u"TokenExtractor", name);
  return *engineClass;
}

// Collects what a BLOB read delivers, never more than was asked for.
class TBlobBytesStream final : public platform::TStream {
public:
  explicit TBlobBytesStream(std::string& aBytes, size_t aLimit) : bbBytes(aBytes), bbLimit(aLimit) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* aBuffer, int64_t aCount) override {
    if (aCount <= 0) return 0;
    const size_t room = bbLimit - bbBytes.size();
    const size_t n = std::min(room, static_cast<size_t>(aCount));
    bbBytes.append(static_cast<const char*>(aBuffer), n);
    return aCount;
  }
  int64_t Seek(int64_t, platform::TSeekOrigin) override { return static_cast<int64_t>(bbBytes.size()); }

private:
  std::string& bbBytes;
  size_t bbLimit;
};

class TTimeoutNesting {
public:
  TTimeoutNesting() noexcept { nxEnterTimeoutNesting(); }
  ~TTimeoutNesting() { nxLeaveTimeoutNesting(); }
  TTimeoutNesting(const TTimeoutNesting&) = delete;
  TTimeoutNesting& operator=(const TTimeoutNesting&) = delete;
};

std::u16string Widen(std::string_view aBytes) {
  std::u16string result(aBytes.size(), u'\0');
  for (size_t i = 0; i < aBytes.size(); ++i) result[i] = static_cast<uint8_t>(aBytes[i]);
  return result;
}

std::u16string Convert(std::string_view aBytes, uint16_t aCodePage, std::u16string_view aContext) {
  if (aBytes.empty()) return {};
  const int len = static_cast<int>(aBytes.size());
  const int n = platform::MultiByteToWideChar(aCodePage, 0, aBytes.data(), len, nullptr, 0);
  if (n == 0) nxRaiseLastOSError(aContext, 0);
  std::u16string result(static_cast<size_t>(n), u'\0');
  if (platform::MultiByteToWideChar(aCodePage, 0, aBytes.data(), len, result.data(), n) == 0)
    nxRaiseLastOSError(aContext, 0);
  return result;
}

constexpr std::u16string_view kShortStringContext =
    u"TnxFieldTokenExtractorCursorEngine.fteceShortStringConvert/MultiByteToWideChar";
constexpr std::u16string_view kNullStringContext =
    u"TnxFieldTokenExtractorCursorEngine.fteceNullStringConvert/MultiByteToWideChar";

}  // namespace

// ---- redirector ----

void TnxTokenExtractorSourceRedirectorCursorEngine::Reset() { tesrceParent.ResetInternal(); }
InxTokenRef TnxTokenExtractorSourceRedirectorCursorEngine::NextToken() { return tesrceParent.NextTokenInternal(); }

// ---- TnxBaseTokenExtractorCursorEngine ----

TnxBaseTokenExtractorCursorEngine::TnxBaseTokenExtractorCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                                                     TnxBaseTokenExtractorTableEngine& aTableEngine,
                                                                     TnxAbstractCursor* aCursor,
                                                                     TnxTokenExtractorHubCursorEngine* aHub)
    : TnxBaseTokenSourceCursorEngine(aParent),
      bteceParentTokenExtractorHubCursorEngine(aHub),
      bteceTokenExtractorTableEngine(aTableEngine),
      bteceCursor(aCursor) {}

TnxBaseTokenExtractorCursorEngine::~TnxBaseTokenExtractorCursorEngine() {
  // The chain reads from the redirector.
  bteceTokenFilterHub.reset();
  bteceTokenFilterHubSource.reset();
}

std::unique_ptr<TnxBaseTokenExtractorCursorEngine> TnxBaseTokenExtractorCursorEngine::CreateFor(
    TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenExtractorTableEngine& aTableEngine,
    TnxAbstractCursor* aCursor) {
  return ExtractorClassFor(aTableEngine).Create(aParent, aTableEngine, aCursor, nullptr);
}

std::unique_ptr<TnxBaseTokenExtractorCursorEngine> TnxBaseTokenExtractorCursorEngine::CreateFor(
    TnxTokenExtractorHubCursorEngine& aParentHub, TnxBaseTokenExtractorTableEngine& aTableEngine,
    TnxAbstractCursor* aCursor) {
  return ExtractorClassFor(aTableEngine)
      .Create(aParentHub.ParentFulltextIndexCursorEngine(), aTableEngine, aCursor, &aParentHub);
}

void TnxBaseTokenExtractorCursorEngine::Build() {
  TnxTokenFilterHubTableEngine* filters = bteceTokenExtractorTableEngine.TokenFilterHub();
  if (!filters) return;
  bteceTokenFilterHubSource =
      std::make_unique<TnxTokenExtractorSourceRedirectorCursorEngine>(ParentFulltextIndexCursorEngine(), *this);
  bteceTokenFilterHub = TnxTokenFilterHubCursorEngine::CreateFor(ParentFulltextIndexCursorEngine(), *filters,
                                                                 *bteceTokenFilterHubSource);
}

void TnxBaseTokenExtractorCursorEngine::Reset() {
  if (bteceTokenFilterHub)
    bteceTokenFilterHub->Reset();
  else
    ResetInternal();
}

InxTokenRef TnxBaseTokenExtractorCursorEngine::NextToken() {
  return bteceTokenFilterHub ? bteceTokenFilterHub->NextToken() : NextTokenInternal();
}

void TnxBaseTokenExtractorCursorEngine::Initialize(const uint8_t*, const TnxRecID&, bool) {}

// ---- TnxTokenExtractorHubCursorEngine ----

TnxTokenExtractorHubCursorEngine::TnxTokenExtractorHubCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                                                   TnxBaseTokenExtractorTableEngine& aTableEngine,
                                                                   TnxAbstractCursor* aCursor,
                                                                   TnxTokenExtractorHubCursorEngine* aHub)
    : TnxBaseTokenExtractorCursorEngine(aParent, aTableEngine, aCursor, aHub),
      tehceTokenExtractorHubTableEngine(dynamic_cast<TnxTokenExtractorHubTableEngine&>(aTableEngine)) {}

TnxTokenExtractorHubCursorEngine::~TnxTokenExtractorHubCursorEngine() {
  for (auto& extractor : tehceTokenExtractors) extractor.reset();
}

std::unique_ptr<TnxTokenExtractorHubCursorEngine> TnxTokenExtractorHubCursorEngine::CreateFor(
    TnxFulltextIndexCursorEngine* aParent, TnxTokenExtractorHubTableEngine& aTableEngine, TnxAbstractCursor* aCursor) {
  std::unique_ptr<TnxBaseTokenExtractorCursorEngine> engine =
      TnxBaseTokenExtractorCursorEngine::CreateFor(aParent, aTableEngine, aCursor);
  auto* hub = dynamic_cast<TnxTokenExtractorHubCursorEngine*>(engine.get());
  if (!hub) throw platform::EInvalidCast(platform::SInvalidCast);
  engine.release();
  return std::unique_ptr<TnxTokenExtractorHubCursorEngine>(hub);
}

void TnxTokenExtractorHubCursorEngine::Build() {
  TnxBaseTokenExtractorCursorEngine::Build();
  CreateTokenExtractors();
}

void TnxTokenExtractorHubCursorEngine::CreateTokenExtractors() {
  const int32_t count = tehceTokenExtractorHubTableEngine.TokenExtractorCount();
  tehceTokenExtractors.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i)
    tehceTokenExtractors.push_back(TnxBaseTokenExtractorCursorEngine::CreateFor(
        *this, *tehceTokenExtractorHubTableEngine.tehteGetTokenExtractor(i), Cursor()));
}

void TnxTokenExtractorHubCursorEngine::Initialize(const uint8_t* aRecord, const TnxRecID& aRecID, bool aReadOrg) {
  TnxBaseTokenExtractorCursorEngine::Initialize(aRecord, aRecID, aReadOrg);
  for (auto& extractor : tehceTokenExtractors) extractor->Initialize(aRecord, aRecID, aReadOrg);
}

void TnxTokenExtractorHubCursorEngine::ResetInternal() {
  for (auto& extractor : tehceTokenExtractors) extractor->Reset();
  tehceCurrentExtractor = 0;
}

InxTokenRef TnxTokenExtractorHubCursorEngine::NextTokenInternal() {
  InxTokenRef result;
  while (!result && tehceCurrentExtractor < TokenExtractorCount()) {
    result = tehceTokenExtractors[static_cast<size_t>(tehceCurrentExtractor)]->NextToken();
    if (!result) {
      ++tehceCurrentExtractor;
    } else if (result->TokenField() != tehceCurrentExtractor) {
      result = TnxToken::New(result->TokenText(), result->TokenDistance(),
                             static_cast<int16_t>(tehceCurrentExtractor));
    }
  }
  return result;
}

// ---- TnxFieldTokenExtractorCursorEngine ----

TnxFieldTokenExtractorCursorEngine::TnxFieldTokenExtractorCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                                                       TnxBaseTokenExtractorTableEngine& aTableEngine,
                                                                       TnxAbstractCursor* aCursor,
                                                                       TnxTokenExtractorHubCursorEngine* aHub)
    : TnxBaseTokenExtractorCursorEngine(aParent, aTableEngine, aCursor, aHub) {}

void TnxFieldTokenExtractorCursorEngine::Build() {
  TnxBaseTokenExtractorCursorEngine::Build();
  auto& tableEngine = dynamic_cast<TnxFieldTokenExtractorTableEngine&>(TokenExtractorTableEngine());
  TnxFieldTokenExtractorDescriptor& descriptor = tableEngine.FieldTokenExtractorDescriptor();
  fteceField = descriptor.Field();
  if (!fteceField) return;
  fteceFieldsDescriptor = descriptor.FindRelated<TnxFieldsDescriptor>();
  if (!fteceFieldsDescriptor) {
    fteceField = nullptr;
    return;
  }
  const uint32_t codePage = fteceField->GetUsedStorageCodePage();
  fteceCodepage = static_cast<uint16_t>(codePage);
  switch (fteceField->FieldType()) {
    case nxtShortString:
      fteceFieldToToken = fteceCodepage ? &TnxFieldTokenExtractorCursorEngine::ShortStringConvert
                                        : &TnxFieldTokenExtractorCursorEngine::ShortStringWiden;
      break;
    case nxtNullString:
      fteceFieldToToken = fteceCodepage ? &TnxFieldTokenExtractorCursorEngine::NullStringConvert
                                        : &TnxFieldTokenExtractorCursorEngine::NullStringWiden;
      break;
    case nxtWideString:
      fteceFieldToToken = &TnxFieldTokenExtractorCursorEngine::WideStringToken;
      break;
    case nxtBlobMemo:
      fteceFieldToToken = fteceCodepage ? &TnxFieldTokenExtractorCursorEngine::BlobMemoConvert
                                        : &TnxFieldTokenExtractorCursorEngine::BlobMemoWiden;
      break;
    case nxtBlobWideMemo:
      fteceFieldToToken = &TnxFieldTokenExtractorCursorEngine::BlobWideMemoToken;
      break;
    default:
      return;
  }
  // A code page the platform cannot convert would otherwise fail every
  // record with an OS error; the cursor refuses to open instead.
  const bool converts = fteceFieldToToken == &TnxFieldTokenExtractorCursorEngine::ShortStringConvert ||
                        fteceFieldToToken == &TnxFieldTokenExtractorCursorEngine::NullStringConvert ||
                        fteceFieldToToken == &TnxFieldTokenExtractorCursorEngine::BlobMemoConvert;
  if (converts && (codePage > 0xFFFF || !nxIsCodePageInstalled(codePage)))
    throw EnxFieldTokenExtractorCursorEngineException(nxeInvalidLanguageDriver, u"Invalid codepage: %d",
                                                      {int64_t{codePage}});
}

void TnxFieldTokenExtractorCursorEngine::Initialize(const uint8_t* aRecord, const TnxRecID& aRecID, bool aReadOrg) {
  TnxBaseTokenExtractorCursorEngine::Initialize(aRecord, aRecID, aReadOrg);
  fteceRecord = aRecord;
  fteceRecID = aRecID;
  fteceReadOrg = aReadOrg;
}

InxTokenRef TnxFieldTokenExtractorCursorEngine::NextTokenInternal() {
  if (fteceUsed || !fteceRecord || !fteceFieldToToken) return nullptr;
  InxTokenRef token = (this->*fteceFieldToToken)();
  fteceUsed = true;
  return token;
}

const uint8_t* TnxFieldTokenExtractorCursorEngine::FieldBytes() const {
  if (!fteceRecord || fteceFieldsDescriptor->IsRecordFieldNull(fteceField->Number(), fteceRecord)) return nullptr;
  return fteceRecord + fteceField->Offset();
}

InxTokenRef TnxFieldTokenExtractorCursorEngine::MakeToken(std::u16string aText) const {
  if (aText.empty()) return nullptr;
  return TnxToken::New(std::move(aText), fteceDistance, static_cast<int16_t>(fteceFieldNumber));
}

namespace {

// The length byte is read from the record: never past the field.
std::string_view ShortStringBytes(const uint8_t* aBytes, int32_t aFieldLength) {
  const size_t room = aFieldLength > 1 ? static_cast<size_t>(aFieldLength - 1) : 0;
  const size_t length = std::min<size_t>(aBytes[0], room);
  return {reinterpret_cast<const char*>(aBytes + 1), length};
}

std::string_view NullStringBytes(const uint8_t* aBytes, int32_t aFieldLength) {
  const size_t room = aFieldLength > 0 ? static_cast<size_t>(aFieldLength) : 0;
  const void* end = std::memchr(aBytes, 0, room);
  const size_t length = end ? static_cast<size_t>(static_cast<const uint8_t*>(end) - aBytes) : room;
  return {reinterpret_cast<const char*>(aBytes), length};
}

}  // namespace

InxTokenRef TnxFieldTokenExtractorCursorEngine::ShortStringConvert() {
  const uint8_t* bytes = FieldBytes();
  if (!bytes) return nullptr;
  return MakeToken(Convert(ShortStringBytes(bytes, fteceField->Length()), fteceCodepage, kShortStringContext));
}

InxTokenRef TnxFieldTokenExtractorCursorEngine::ShortStringWiden() {
  const uint8_t* bytes = FieldBytes();
  if (!bytes) return nullptr;
  return MakeToken(Widen(ShortStringBytes(bytes, fteceField->Length())));
}

InxTokenRef TnxFieldTokenExtractorCursorEngine::NullStringConvert() {
  const uint8_t* bytes = FieldBytes();
  if (!bytes) return nullptr;
  return MakeToken(Convert(NullStringBytes(bytes, fteceField->Length()), fteceCodepage, kNullStringContext));
}

InxTokenRef TnxFieldTokenExtractorCursorEngine::NullStringWiden() {
  const uint8_t* bytes = FieldBytes();
  if (!bytes) return nullptr;
  return MakeToken(Widen(NullStringBytes(bytes, fteceField->Length())));
}

InxTokenRef TnxFieldTokenExtractorCursorEngine::WideStringToken() {
  const uint8_t* bytes = FieldBytes();
  if (!bytes) return nullptr;
  const size_t units = fteceField->Length() > 0 ? static_cast<size_t>(fteceField->Length()) / 2 : 0;
  std::u16string text;
  for (size_t i = 0; i < units; ++i) {
    const char16_t c = platform::LoadLE<char16_t>(bytes + 2 * i);
    if (c == 0) break;
    text += c;
  }
  return MakeToken(std::move(text));
}

bool TnxFieldTokenExtractorCursorEngine::ReadBlob(std::string& aBytes) const {
  aBytes.clear();
  TnxAbstractCursor* cursor = Cursor();
  const uint8_t* bytes = FieldBytes();
  if (!bytes || !cursor) return false;
  const TnxBlobNr blobNr = platform::LoadLE<int64_t>(bytes);
  if (blobNr == 0) return false;
  const int32_t field = fteceField->Number();
  TTimeoutNesting nesting;
  uint32_t length = 0;
  if (cursor->sbcBlobGetLength(fteceRecID, field, blobNr, length, fteceReadOrg, nullptr) != 0 || length == 0)
    return false;
  aBytes.reserve(length);
  TBlobBytesStream stream(aBytes, length);
  if (cursor->sbcBlobRead(fteceRecID, field, blobNr, 0, length, stream, fteceReadOrg, nullptr) != 0) return false;
  return !aBytes.empty();
}

InxTokenRef TnxFieldTokenExtractorCursorEngine::BlobMemoConvert() {
  std::string bytes;
  if (!ReadBlob(bytes)) return nullptr;
  return MakeToken(nxStringToWideString(bytes, fteceCodepage));
}

InxTokenRef TnxFieldTokenExtractorCursorEngine::BlobMemoWiden() {
  std::string bytes;
  if (!ReadBlob(bytes)) return nullptr;
  return MakeToken(Widen(bytes));
}

InxTokenRef TnxFieldTokenExtractorCursorEngine::BlobWideMemoToken() {
  std::string bytes;
  if (!ReadBlob(bytes)) return nullptr;
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = platform::LoadLE<char16_t>(bytes.data() + 2 * i);
  return MakeToken(std::move(text));
}

}  // namespace revurov
