// Token filters of the cursor half: each reads the tokens of its source and
// hands on cut, rewritten or unchanged tokens. A filter hub chains its
// filters in order; the separators cut a token into words, the
// transformers map each token's text (locale case mapping, folding), the
// string-replace filter rewrites patterns.
//
// Contract:
// - Every class is found from its table engine's class name with
//   "TableEngine" replaced by "CursorEngine"; a class that is not registered
//   raises 15503 "Unknown TokenFilter engine: "<class>"" in
//   EnxBaseTokenFilterCursorEngineException, when the cursor opens.
// - A filter that leaves a token alone passes the same token object on.
// - A separator keeps a surrogate pair together: the category separator
//   judges a whole code point by its own categories; the one-character
//   separator compares code units.
// - The string-replace filter upper-cases code unit by code unit when it
//   ignores case, so the positions found in the upper-cased text are the
//   positions in the original.
// - Filters run on the thread of the cursor operation, no locks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/fulltext_descriptors.h"
#include "lowlevel/wide_strings/wide_string_categories.h"
#include "lowlevel/wide_strings/wide_string_transform.h"
#include "server/engines/fulltext_tokens.h"
#include "storage/server_exceptions.h"

namespace revurov {

class TnxBaseTokenFilterCursorEngine;
class TnxBaseTokenFilterTableEngine;
class TnxTokenFilterHubCursorEngine;
class TnxTokenFilterHubTableEngine;

REVUROV_EXCEPTION_CLASS(EnxBaseTokenFilterCursorEngineException, EnxServerException);

extern TnxClassRegistry nxTokenFilterCursorEngines;

struct TnxTokenFilterCursorEngineClass : TnxRegisterableClass {
  // aHub: the hub the filter is built in, or null.
  std::unique_ptr<TnxBaseTokenFilterCursorEngine> (*Create)(TnxFulltextIndexCursorEngine* aParent,
                                                            TnxBaseTokenFilterTableEngine& aTableEngine,
                                                            TnxBaseTokenSourceCursorEngine& aTokenSource,
                                                            TnxTokenFilterHubCursorEngine* aHub) = nullptr;
};

template <class T>
std::unique_ptr<TnxBaseTokenFilterCursorEngine> nxNewTokenFilterCursorEngine(
    TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenFilterTableEngine& aTableEngine,
    TnxBaseTokenSourceCursorEngine& aTokenSource, TnxTokenFilterHubCursorEngine* aHub) {
  auto engine = std::make_unique<T>(aParent, aTableEngine, aTokenSource, aHub);
  engine->Build();
  return engine;
}

class TnxBaseTokenFilterCursorEngine : public TnxBaseTokenSourceCursorEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseTokenFilterCursorEngine, TnxBaseTokenSourceCursorEngine,
                              TnxTokenFilterCursorEngineClass, &nxTokenFilterCursorEngines)
  TnxBaseTokenFilterCursorEngine(TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenFilterTableEngine& aTableEngine,
                                 TnxBaseTokenSourceCursorEngine& aTokenSource, TnxTokenFilterHubCursorEngine* aHub)
      : TnxBaseTokenSourceCursorEngine(aParent),
        btfceParentTokenFilterHubCursorEngine(aHub),
        btfceTokenFilterTableEngine(aTableEngine),
        btfceTokenSource(aTokenSource) {}

  static std::unique_ptr<TnxBaseTokenFilterCursorEngine> CreateFor(TnxFulltextIndexCursorEngine* aParent,
                                                                   TnxBaseTokenFilterTableEngine& aTableEngine,
                                                                   TnxBaseTokenSourceCursorEngine& aTokenSource);
  // Inside a hub: the hub's fulltext index is the parent.
  static std::unique_ptr<TnxBaseTokenFilterCursorEngine> CreateFor(TnxTokenFilterHubCursorEngine& aParentHub,
                                                                   TnxBaseTokenFilterTableEngine& aTableEngine,
                                                                   TnxBaseTokenSourceCursorEngine& aTokenSource);
  // Runs once after construction (the parts that call virtual operations).
  virtual void Build() {}

  void Reset() override { btfceTokenSource.Reset(); }

  TnxTokenFilterHubCursorEngine* ParentTokenFilterHubCursorEngine() const noexcept {
    return btfceParentTokenFilterHubCursorEngine;
  }
  TnxBaseTokenFilterTableEngine& TokenFilterTableEngine() const noexcept { return btfceTokenFilterTableEngine; }
  TnxBaseTokenSourceCursorEngine& TokenSource() const noexcept { return btfceTokenSource; }

private:
  TnxTokenFilterHubCursorEngine* btfceParentTokenFilterHubCursorEngine;  // not owned
  TnxBaseTokenFilterTableEngine& btfceTokenFilterTableEngine;
  TnxBaseTokenSourceCursorEngine& btfceTokenSource;
};

class TnxTokenFilterHubCursorEngine : public TnxBaseTokenFilterCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxTokenFilterHubCursorEngine, TnxBaseTokenFilterCursorEngine,
                              TnxTokenFilterCursorEngineClass,
                              &nxNewTokenFilterCursorEngine<TnxTokenFilterHubCursorEngine>)
  TnxTokenFilterHubCursorEngine(TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenFilterTableEngine& aTableEngine,
                                TnxBaseTokenSourceCursorEngine& aTokenSource, TnxTokenFilterHubCursorEngine* aHub);
  ~TnxTokenFilterHubCursorEngine() override;

  // CreateFor whose result must be a hub (the runtime's invalid cast
  // otherwise).
  static std::unique_ptr<TnxTokenFilterHubCursorEngine> CreateFor(TnxFulltextIndexCursorEngine* aParent,
                                                                  TnxTokenFilterHubTableEngine& aTableEngine,
                                                                  TnxBaseTokenSourceCursorEngine& aTokenSource);
  void Build() override;
  // Filter 0 reads the hub's source, filter i filter i - 1.
  virtual void CreateTokenFilters();

  void Reset() override { tfhceTokenSource->Reset(); }
  InxTokenRef NextToken() override { return tfhceTokenSource->NextToken(); }

  TnxTokenFilterHubTableEngine& TokenFilterHubTableEngine() const noexcept { return tfhceTokenFilterHubTableEngine; }
  int32_t TokenFilterCount() const noexcept { return static_cast<int32_t>(tfhceTokenFilters.size()); }
  TnxBaseTokenFilterCursorEngine* tfhceGetTokenFilter(int32_t aInx) const {
    return tfhceTokenFilters.at(static_cast<size_t>(aInx)).get();
  }

private:
  TnxTokenFilterHubTableEngine& tfhceTokenFilterHubTableEngine;
  std::vector<std::unique_ptr<TnxBaseTokenFilterCursorEngine>> tfhceTokenFilters;
  TnxBaseTokenSourceCursorEngine* tfhceTokenSource = nullptr;  // the last filter, or the hub's source
};

// ---- separators ----

class TnxBaseSeparatorTokenFilterCursorEngine : public TnxBaseTokenFilterCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxBaseSeparatorTokenFilterCursorEngine, TnxBaseTokenFilterCursorEngine,
                              TnxTokenFilterCursorEngineClass)
  TnxBaseSeparatorTokenFilterCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                          TnxBaseTokenFilterTableEngine& aTableEngine,
                                          TnxBaseTokenSourceCursorEngine& aTokenSource,
                                          TnxTokenFilterHubCursorEngine* aHub);

  void Reset() override;
  InxTokenRef NextToken() override;

  virtual bool IsSeparator(char16_t aChar) const { (void)aChar; return false; }
  // Whether the character at aPos of aText is a separator; aUnits is set to
  // the code units the character takes (1 here: one code unit).
  virtual bool IsSeparatorAt(const std::u16string& aText, size_t aPos, size_t& aUnits) const {
    aUnits = 1;
    return IsSeparator(aText[aPos]);
  }
  // The position after the separators from aPos on, and the position of the
  // first separator from aPos on (aText's length for none). One call per
  // run rather than per character; these ask IsSeparatorAt, the separators
  // here answer from their own tables. A pair cut short by the end of the
  // text may end past it.
  virtual size_t SkipSeparators(const std::u16string& aText, size_t aPos) const;
  virtual size_t FindSeparator(const std::u16string& aText, size_t aPos) const;

  int32_t SeparatorDistance() const noexcept { return bstfceSeparatorDistance; }

private:
  InxTokenRef bstfceInputToken;
  size_t bstfceInputPos = 0;
  int32_t bstfceNextDistance = 0;
  int32_t bstfceSeparatorDistance = 0;
};

class TnxWideCharSeparatorTokenFilterCursorEngine : public TnxBaseSeparatorTokenFilterCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxWideCharSeparatorTokenFilterCursorEngine, TnxBaseSeparatorTokenFilterCursorEngine,
                              TnxTokenFilterCursorEngineClass,
                              &nxNewTokenFilterCursorEngine<TnxWideCharSeparatorTokenFilterCursorEngine>)
  TnxWideCharSeparatorTokenFilterCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                              TnxBaseTokenFilterTableEngine& aTableEngine,
                                              TnxBaseTokenSourceCursorEngine& aTokenSource,
                                              TnxTokenFilterHubCursorEngine* aHub);

  bool IsSeparator(char16_t aChar) const override { return aChar == wcstfceSeparatorChar; }
  bool IsSeparatorAt(const std::u16string& aText, size_t aPos, size_t& aUnits) const override {
    aUnits = 1;
    return aText[aPos] == wcstfceSeparatorChar;
  }
  size_t SkipSeparators(const std::u16string& aText, size_t aPos) const override;
  size_t FindSeparator(const std::u16string& aText, size_t aPos) const override;

private:
  char16_t wcstfceSeparatorChar = u' ';
};

class TnxCategorySeparatorTokenFilterCursorEngine : public TnxBaseSeparatorTokenFilterCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxCategorySeparatorTokenFilterCursorEngine, TnxBaseSeparatorTokenFilterCursorEngine,
                              TnxTokenFilterCursorEngineClass,
                              &nxNewTokenFilterCursorEngine<TnxCategorySeparatorTokenFilterCursorEngine>)
  TnxCategorySeparatorTokenFilterCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                              TnxBaseTokenFilterTableEngine& aTableEngine,
                                              TnxBaseTokenSourceCursorEngine& aTokenSource,
                                              TnxTokenFilterHubCursorEngine* aHub);

  // One code unit on its own (a lone surrogate is ccOtherSurrogate).
  bool IsSeparator(char16_t aChar) const override;
  // A surrogate pair is one character, judged by its code point.
  bool IsSeparatorAt(const std::u16string& aText, size_t aPos, size_t& aUnits) const override;
  size_t SkipSeparators(const std::u16string& aText, size_t aPos) const override;
  size_t FindSeparator(const std::u16string& aText, size_t aPos) const override;

private:
  bool UnitIsSeparator(char16_t aChar) const {
    if (!cstfcePageKnown[aChar >> 8]) LearnPage(aChar >> 8);
    return (cstfceUnitBits[aChar >> 6] >> (aChar & 63)) & 1;
  }
  void LearnPage(size_t aPage) const;
  size_t ScanWhile(const std::u16string& aText, size_t aPos, bool aSeparators) const;
  // The answer for the code point of the pair at aPos, or -1 when no pair
  // starts there.
  int PairIsSeparator(const char16_t* aText, size_t aPos, size_t aLength) const;

  TnxCharacterCategories cstfceSeparatorCategories;
  // The answer for every code unit of the BMP, one bit each, filled a page
  // of 256 units at a time on first use.
  mutable std::vector<uint64_t> cstfceUnitBits;
  mutable std::vector<uint8_t> cstfcePageKnown;
};

// ---- transformers ----

class TnxTransformerTokenFilterCursorEngine : public TnxBaseTokenFilterCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxTransformerTokenFilterCursorEngine, TnxBaseTokenFilterCursorEngine,
                              TnxTokenFilterCursorEngineClass)
  using TnxBaseTokenFilterCursorEngine::TnxBaseTokenFilterCursorEngine;

  InxTokenRef NextToken() override;

  const InxWideStringTransformerRef& Transformer() const noexcept { return ttfceTransformer; }

protected:
  InxWideStringTransformerRef ttfceTransformer;

private:
  std::u16string ttfceText;
};

class TnxBaseLocaleMappingTokenFilterCursorEngine : public TnxTransformerTokenFilterCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxBaseLocaleMappingTokenFilterCursorEngine, TnxTransformerTokenFilterCursorEngine,
                              TnxTokenFilterCursorEngineClass)
  using TnxTransformerTokenFilterCursorEngine::TnxTransformerTokenFilterCursorEngine;
  // The locale mapping with the descriptor's locale (0 without one) and flags.
  void Build() override;
};

class TnxBaseFoldStringTokenFilterCursorEngine : public TnxTransformerTokenFilterCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxBaseFoldStringTokenFilterCursorEngine, TnxTransformerTokenFilterCursorEngine,
                              TnxTokenFilterCursorEngineClass)
  using TnxTransformerTokenFilterCursorEngine::TnxTransformerTokenFilterCursorEngine;
  // The fold-string transformer with the descriptor's flags.
  void Build() override;
};

#define REVUROV_PLAIN_TOKEN_FILTER_CURSOR_ENGINE(Name, ParentClass)                                      \
  class Name : public ParentClass {                                                                      \
    REVUROV_REGISTERABLE_RECORD(Name, ParentClass, TnxTokenFilterCursorEngineClass,                     \
                                &nxNewTokenFilterCursorEngine<Name>)                                      \
    using ParentClass::ParentClass;                                                                      \
  }

REVUROV_PLAIN_TOKEN_FILTER_CURSOR_ENGINE(TnxLowercaseLocaleMappingTokenFilterCursorEngine,
                                         TnxBaseLocaleMappingTokenFilterCursorEngine);
REVUROV_PLAIN_TOKEN_FILTER_CURSOR_ENGINE(TnxUppercaseLocaleMappingTokenFilterCursorEngine,
                                         TnxBaseLocaleMappingTokenFilterCursorEngine);
REVUROV_PLAIN_TOKEN_FILTER_CURSOR_ENGINE(TnxCustomLocaleMappingTokenFilterCursorEngine,
                                         TnxBaseLocaleMappingTokenFilterCursorEngine);
REVUROV_PLAIN_TOKEN_FILTER_CURSOR_ENGINE(TnxPreComposeFoldStringTokenFilterCursorEngine,
                                         TnxBaseFoldStringTokenFilterCursorEngine);
REVUROV_PLAIN_TOKEN_FILTER_CURSOR_ENGINE(TnxDecomposeFoldStringTokenFilterCursorEngine,
                                         TnxBaseFoldStringTokenFilterCursorEngine);
REVUROV_PLAIN_TOKEN_FILTER_CURSOR_ENGINE(TnxCustomFoldStringTokenFilterCursorEngine,
                                         TnxBaseFoldStringTokenFilterCursorEngine);

#undef REVUROV_PLAIN_TOKEN_FILTER_CURSOR_ENGINE

// ---- string replace ----

class TnxStringReplaceTokenFilterCursorEngine : public TnxBaseTokenFilterCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxStringReplaceTokenFilterCursorEngine, TnxBaseTokenFilterCursorEngine,
                              TnxTokenFilterCursorEngineClass,
                              &nxNewTokenFilterCursorEngine<TnxStringReplaceTokenFilterCursorEngine>)
  TnxStringReplaceTokenFilterCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                          TnxBaseTokenFilterTableEngine& aTableEngine,
                                          TnxBaseTokenSourceCursorEngine& aTokenSource,
                                          TnxTokenFilterHubCursorEngine* aHub);

  InxTokenRef NextToken() override;

  // aText with the items applied in order.
  std::u16string Apply(const std::u16string& aText) const;

private:
  std::vector<TnxStringReplaceTokenFilterItem> srtfceItems;
};

}  // namespace revurov
