#include "server/engines/fulltext_filters.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "platform/locale_text.h"
#include "platform/rtl_exception.h"
#include "server/engines/fulltext_engine_base.h"
#include "server/engines/fulltext_table_engine.h"

namespace revurov {

constinit TnxClassRegistry nxTokenFilterCursorEngines;

namespace {

const TnxTokenFilterCursorEngineClass& FilterClassFor(const TnxBaseTokenFilterTableEngine& aTableEngine) {
  const std::u16string name = nxReplaceEngineWord(aTableEngine.ClassName(), u"TableEngine", u"CursorEngine");
  const auto* engineClass =
      nxFindClassAs<TnxTokenFilterCursorEngineClass>(TnxBaseTokenFilterCursorEngine::ClassInfo(), name);
  if (!engineClass || !engineClass->Create)
    nxRaiseUnknownEngine<EnxBaseTokenFilterCursorEngineException>(u"TokenFilter", name);
  return *engineClass;
}

bool IsHighSurrogate(char16_t c) noexcept { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) noexcept { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

// ---- TnxBaseTokenFilterCursorEngine ----

std::unique_ptr<TnxBaseTokenFilterCursorEngine> TnxBaseTokenFilterCursorEngine::CreateFor(
    TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenFilterTableEngine& aTableEngine,
    TnxBaseTokenSourceCursorEngine& aTokenSource) {
  return FilterClassFor(aTableEngine).Create(aParent, aTableEngine, aTokenSource, nullptr);
}

std::unique_ptr<TnxBaseTokenFilterCursorEngine> TnxBaseTokenFilterCursorEngine::CreateFor(
    TnxTokenFilterHubCursorEngine& aParentHub, TnxBaseTokenFilterTableEngine& aTableEngine,
    TnxBaseTokenSourceCursorEngine& aTokenSource) {
  return FilterClassFor(aTableEngine)
      .Create(aParentHub.ParentFulltextIndexCursorEngine(), aTableEngine, aTokenSource, &aParentHub);
}

// ---- TnxTokenFilterHubCursorEngine ----

TnxTokenFilterHubCursorEngine::TnxTokenFilterHubCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                                             TnxBaseTokenFilterTableEngine& aTableEngine,
                                                             TnxBaseTokenSourceCursorEngine& aTokenSource,
                                                             TnxTokenFilterHubCursorEngine* aHub)
    : TnxBaseTokenFilterCursorEngine(aParent, aTableEngine, aTokenSource, aHub),
      tfhceTokenFilterHubTableEngine(dynamic_cast<TnxTokenFilterHubTableEngine&>(aTableEngine)),
      tfhceTokenSource(&aTokenSource) {}

TnxTokenFilterHubCursorEngine::~TnxTokenFilterHubCursorEngine() {
  // The later filters read from the earlier ones: free them last first.
  while (!tfhceTokenFilters.empty()) tfhceTokenFilters.pop_back();
}

std::unique_ptr<TnxTokenFilterHubCursorEngine> TnxTokenFilterHubCursorEngine::CreateFor(
    TnxFulltextIndexCursorEngine* aParent, TnxTokenFilterHubTableEngine& aTableEngine,
    TnxBaseTokenSourceCursorEngine& aTokenSource) {
  std::unique_ptr<TnxBaseTokenFilterCursorEngine> engine =
      TnxBaseTokenFilterCursorEngine::CreateFor(aParent, aTableEngine, aTokenSource);
  auto* hub = dynamic_cast<TnxTokenFilterHubCursorEngine*>(engine.get());
  if (!hub) throw platform::EInvalidCast(platform::SInvalidCast);
  engine.release();
  return std::unique_ptr<TnxTokenFilterHubCursorEngine>(hub);
}

void TnxTokenFilterHubCursorEngine::Build() {
  TnxBaseTokenFilterCursorEngine::Build();
  CreateTokenFilters();
}

void TnxTokenFilterHubCursorEngine::CreateTokenFilters() {
  const int32_t count = tfhceTokenFilterHubTableEngine.TokenFilterCount();
  tfhceTokenFilters.reserve(static_cast<size_t>(count));
  TnxBaseTokenSourceCursorEngine* source = &TokenSource();
  for (int32_t i = 0; i < count; ++i) {
    tfhceTokenFilters.push_back(TnxBaseTokenFilterCursorEngine::CreateFor(
        *this, *tfhceTokenFilterHubTableEngine.tfhteGetTokenFilter(i), *source));
    source = tfhceTokenFilters.back().get();
  }
  tfhceTokenSource = source;
}

// ---- separators ----

TnxBaseSeparatorTokenFilterCursorEngine::TnxBaseSeparatorTokenFilterCursorEngine(
    TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenFilterTableEngine& aTableEngine,
    TnxBaseTokenSourceCursorEngine& aTokenSource, TnxTokenFilterHubCursorEngine* aHub)
    : TnxBaseTokenFilterCursorEngine(aParent, aTableEngine, aTokenSource, aHub) {
  if (auto* d = dynamic_cast<TnxBaseSeparatorTokenFilterDescriptor*>(&aTableEngine.TokenFilterDescriptor()))
    bstfceSeparatorDistance = d->SeparatorDistance();
}

void TnxBaseSeparatorTokenFilterCursorEngine::Reset() {
  bstfceInputToken.Reset();
  bstfceInputPos = 0;
  TnxBaseTokenFilterCursorEngine::Reset();
}

InxTokenRef TnxBaseSeparatorTokenFilterCursorEngine::NextToken() {
  InxTokenRef result;
  while (!result) {
    if (!bstfceInputToken) {
      bstfceInputToken = TokenSource().NextToken();
      if (!bstfceInputToken) return nullptr;
      bstfceInputPos = 0;
      bstfceNextDistance = bstfceInputToken->TokenDistance();
    }
    const std::u16string& text = bstfceInputToken->TokenText();
    const size_t length = text.size();
    // A pair cut short by the end of the text still ends there.
    const size_t start = std::min(SkipSeparators(text, bstfceInputPos), length);
    if (start > bstfceInputPos) bstfceNextDistance = std::max(bstfceNextDistance, bstfceSeparatorDistance);
    bstfceInputPos = std::min(FindSeparator(text, start), length);
    if (start == 0 && bstfceInputPos == length) {
      // No separator at all (the empty token too): the token goes on as it is.
      result = std::move(bstfceInputToken);
      bstfceInputToken.Reset();
      break;
    }
    if (bstfceInputPos > start)
      result = TnxToken::New(std::u16string(text.data() + start, bstfceInputPos - start), bstfceNextDistance,
                             bstfceInputToken->TokenField());
    if (bstfceInputPos >= length)
      bstfceInputToken.Reset();
    else
      bstfceNextDistance = 1;
  }
  return result;
}

size_t TnxBaseSeparatorTokenFilterCursorEngine::SkipSeparators(const std::u16string& aText, size_t aPos) const {
  size_t units = 1;
  while (aPos < aText.size() && IsSeparatorAt(aText, aPos, units)) aPos += units;
  return aPos;
}

size_t TnxBaseSeparatorTokenFilterCursorEngine::FindSeparator(const std::u16string& aText, size_t aPos) const {
  size_t units = 1;
  while (aPos < aText.size() && !IsSeparatorAt(aText, aPos, units)) aPos += units;
  return aPos;
}

TnxWideCharSeparatorTokenFilterCursorEngine::TnxWideCharSeparatorTokenFilterCursorEngine(
    TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenFilterTableEngine& aTableEngine,
    TnxBaseTokenSourceCursorEngine& aTokenSource, TnxTokenFilterHubCursorEngine* aHub)
    : TnxBaseSeparatorTokenFilterCursorEngine(aParent, aTableEngine, aTokenSource, aHub) {
  if (auto* d = dynamic_cast<TnxWideCharSeparatorTokenFilterDescriptor*>(&aTableEngine.TokenFilterDescriptor()))
    wcstfceSeparatorChar = d->SeparatorChar();
}

size_t TnxWideCharSeparatorTokenFilterCursorEngine::SkipSeparators(const std::u16string& aText, size_t aPos) const {
  while (aPos < aText.size() && aText[aPos] == wcstfceSeparatorChar) ++aPos;
  return aPos;
}

size_t TnxWideCharSeparatorTokenFilterCursorEngine::FindSeparator(const std::u16string& aText, size_t aPos) const {
  if (aPos >= aText.size()) return aPos;
  const size_t at = std::u16string_view(aText).find(wcstfceSeparatorChar, aPos);
  return at == std::u16string_view::npos ? aText.size() : at;
}

TnxCategorySeparatorTokenFilterCursorEngine::TnxCategorySeparatorTokenFilterCursorEngine(
    TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenFilterTableEngine& aTableEngine,
    TnxBaseTokenSourceCursorEngine& aTokenSource, TnxTokenFilterHubCursorEngine* aHub)
    : TnxBaseSeparatorTokenFilterCursorEngine(aParent, aTableEngine, aTokenSource, aHub) {
  if (auto* d = dynamic_cast<TnxCategorySeparatorTokenFilterDescriptor*>(&aTableEngine.TokenFilterDescriptor()))
    cstfceSeparatorCategories = d->SeparatorCategories();
  // The tables load here, at cursor open, not inside the first update.
  nxLoadCharacterCategories();
  cstfceUnitBits.assign(0x10000 / 64, 0);
  cstfcePageKnown.assign(0x100, 0);
}

void TnxCategorySeparatorTokenFilterCursorEngine::LearnPage(size_t aPage) const {
  for (uint32_t c = uint32_t(aPage) << 8, end = c + 0x100; c < end; ++c)
    if (nxCharInCategories(static_cast<char16_t>(c), cstfceSeparatorCategories))
      cstfceUnitBits[c >> 6] |= uint64_t{1} << (c & 63);
  cstfcePageKnown[aPage] = 1;
}

bool TnxCategorySeparatorTokenFilterCursorEngine::IsSeparator(char16_t aChar) const { return UnitIsSeparator(aChar); }

int TnxCategorySeparatorTokenFilterCursorEngine::PairIsSeparator(const char16_t* aText, size_t aPos,
                                                                 size_t aLength) const {
  const char16_t c = aText[aPos];
  if (!IsHighSurrogate(c) || aPos + 1 >= aLength || !IsLowSurrogate(aText[aPos + 1])) return -1;
  const char32_t cp = 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(aText[aPos + 1]) - 0xDC00);
  return nxCodePointInCategories(cp, cstfceSeparatorCategories) ? 1 : 0;
}

bool TnxCategorySeparatorTokenFilterCursorEngine::IsSeparatorAt(const std::u16string& aText, size_t aPos,
                                                                size_t& aUnits) const {
  const int pair = PairIsSeparator(aText.data(), aPos, aText.size());
  aUnits = pair < 0 ? 1 : 2;
  return pair < 0 ? UnitIsSeparator(aText[aPos]) : pair == 1;
}

// Walks characters while each is (aSeparators) or is not a separator,
// answering as IsSeparatorAt would; only a surrogate leaves the table.
size_t TnxCategorySeparatorTokenFilterCursorEngine::ScanWhile(const std::u16string& aText, size_t aPos,
                                                             bool aSeparators) const {
  const char16_t* text = aText.data();
  const size_t length = aText.size();
  while (aPos < length) {
    const char16_t c = text[aPos];
    if (IsHighSurrogate(c)) {
      const int pair = PairIsSeparator(text, aPos, length);
      if (pair >= 0) {
        if ((pair == 1) != aSeparators) break;
        aPos += 2;
        continue;
      }
    }
    if (UnitIsSeparator(c) != aSeparators) break;
    ++aPos;
  }
  return aPos;
}

size_t TnxCategorySeparatorTokenFilterCursorEngine::SkipSeparators(const std::u16string& aText, size_t aPos) const {
  return ScanWhile(aText, aPos, true);
}

size_t TnxCategorySeparatorTokenFilterCursorEngine::FindSeparator(const std::u16string& aText, size_t aPos) const {
  return ScanWhile(aText, aPos, false);
}

// ---- transformers ----

InxTokenRef TnxTransformerTokenFilterCursorEngine::NextToken() {
  InxTokenRef token = TokenSource().NextToken();
  if (!token || !ttfceTransformer) return token;
  // One buffer for every token: a transformer that writes into it keeps its
  // room, and an unchanged text (the same token goes on) costs no memory.
  ttfceText.clear();
  ttfceTransformer->Transform(token->TokenText(), ttfceText);
  if (ttfceText == token->TokenText()) return token;
  return TnxToken::New(ttfceText, token->TokenDistance(), token->TokenField());
}

void TnxBaseLocaleMappingTokenFilterCursorEngine::Build() {
  TnxTransformerTokenFilterCursorEngine::Build();
  auto* d = dynamic_cast<TnxBaseLocaleMappingTokenFilterDescriptor*>(&TokenFilterTableEngine().TokenFilterDescriptor());
  if (!d) return;
  TnxLocaleDescriptor* locale = d->GetUsedLocaleDescriptor();
  ttfceTransformer = InxWideStringTransformerRef(
      nxCreate<TnxWideStringLocaleMappingTransformer>(locale ? locale->Locale() : 0u, d->Flags()));
}

void TnxBaseFoldStringTokenFilterCursorEngine::Build() {
  TnxTransformerTokenFilterCursorEngine::Build();
  auto* d = dynamic_cast<TnxBaseFoldStringTokenFilterDescriptor*>(&TokenFilterTableEngine().TokenFilterDescriptor());
  if (!d) return;
  ttfceTransformer = InxWideStringTransformerRef(nxCreate<TnxWideStringFoldStringTransformer>(d->Flags()));
}

// ---- string replace ----

namespace {

char16_t AsciiUpper(char16_t c) noexcept { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }

bool AsciiSameText(std::u16string_view a, std::u16string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

// Code unit by code unit, so the length and every position stay.
std::u16string UpperUnits(std::u16string_view aText) {
  std::u16string result(aText);
  for (char16_t& c : result) c = platform::AnsiUpperChar(c);
  return result;
}

bool HasLetterCase(std::u16string_view aText) noexcept {
  for (char16_t c : aText)
    if (platform::AnsiUpperChar(c) != c || platform::AnsiLowerChar(c) != c) return true;
  return false;
}

// Occurrences of aPattern in aText (or in its upper-cased form), left to
// right without overlap; at most one for aOnce. The replacements go into
// the unchanged text at the same positions.
std::u16string ReplaceOccurrences(const std::u16string& aText, const TnxStringReplaceTokenFilterItem& aItem,
                                  bool aOnce) {
  const std::u16string& pattern = aItem.srtfiOldPattern;
  if (pattern.empty() || aText.empty()) return aText;
  std::u16string upperText;
  std::u16string upperPattern;
  const std::u16string* searchText = &aText;
  const std::u16string* searchPattern = &pattern;
  if (aItem.srtfiIgnoreCase && HasLetterCase(pattern)) {
    upperText = UpperUnits(aText);
    upperPattern = UpperUnits(pattern);
    searchText = &upperText;
    searchPattern = &upperPattern;
  }
  size_t at = searchText->find(*searchPattern);
  if (at == std::u16string::npos) return aText;
  std::u16string result;
  result.reserve(aText.size());
  size_t from = 0;
  while (at != std::u16string::npos) {
    result.append(aText, from, at - from);
    result += aItem.srtfiNewPattern;
    from = at + pattern.size();
    if (aOnce) break;
    at = searchText->find(*searchPattern, from);
  }
  result.append(aText, from, std::u16string::npos);
  return result;
}

}  // namespace

TnxStringReplaceTokenFilterCursorEngine::TnxStringReplaceTokenFilterCursorEngine(
    TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenFilterTableEngine& aTableEngine,
    TnxBaseTokenSourceCursorEngine& aTokenSource, TnxTokenFilterHubCursorEngine* aHub)
    : TnxBaseTokenFilterCursorEngine(aParent, aTableEngine, aTokenSource, aHub) {
  if (auto* d = dynamic_cast<TnxStringReplaceTokenFilterDescriptor*>(&aTableEngine.TokenFilterDescriptor())) {
    srtfceItems.reserve(static_cast<size_t>(d->ItemCount()));
    for (int32_t i = 0; i < d->ItemCount(); ++i) srtfceItems.push_back(d->Item(i));
  }
}

std::u16string TnxStringReplaceTokenFilterCursorEngine::Apply(const std::u16string& aText) const {
  std::u16string text = aText;
  for (const TnxStringReplaceTokenFilterItem& item : srtfceItems) {
    switch (item.srtfiReplaceKind) {
      case srkWhole:
        if (item.srtfiIgnoreCase ? AsciiSameText(text, item.srtfiOldPattern) : text == item.srtfiOldPattern)
          text = item.srtfiNewPattern;
        break;
      case srkOne:
        text = ReplaceOccurrences(text, item, true);
        break;
      case srkAll:
        text = ReplaceOccurrences(text, item, false);
        break;
    }
  }
  return text;
}

InxTokenRef TnxStringReplaceTokenFilterCursorEngine::NextToken() {
  InxTokenRef token = TokenSource().NextToken();
  if (!token || srtfceItems.empty()) return token;
  std::u16string text = Apply(token->TokenText());
  if (text == token->TokenText()) return token;
  return TnxToken::New(std::move(text), token->TokenDistance(), token->TokenField());
}

}  // namespace revurov
