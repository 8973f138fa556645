// The table half of fulltext maintenance: one engine per item of the
// table's fulltext descriptor, built when the table opens and shared by
// its cursors. The fulltext table engine owns the fulltext indices and the
// BLOB storage kept in the table's own files; every fulltext index owns
// its extractor, filter and token index hubs; extractors and token indices
// with filters of their own own a filter hub; a bit-array token index owns
// its storage handler.
//
// Contract:
// - Every engine class is found from its descriptor's class name with
//   "Descriptor" replaced by "TableEngine"; a class that is not registered
//   raises 15503 "Unknown <kind> engine: "<class>"" with the family's kind
//   word ("FulltextIndex", "TokenExtractor", "TokenFilter", "TokenIndex")
//   in the family's exception class.
// - Hub items are built in descriptor order. Every engine knows its
//   fulltext index; an engine built inside a hub also knows the hub.
// - Freeing runs in reverse of ownership: the fulltext indices last first,
//   then the indices engine, then the BLOB engine; a fulltext index its
//   token index, filter and extractor hubs; a hub its items first first,
//   then its own filter hub; a bit-array token index its storage handler
//   before its filter hub. The same holds for a build that raises half way.
// - The index numbers a token index names come from disk: a number without
//   an index engine raises 9997.
// - Item accessors take -1 for the hub itself.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "server/engines/fulltext_engine_base.h"

namespace revurov {

class TnxBaseBitArrayStorageHandlerTableEngine;
class TnxBaseBlobEngine;
class TnxBaseIndexEngine;
class TnxBaseTokenExtractorDescriptor;
class TnxBaseTokenExtractorTableEngine;
class TnxBaseTokenFilterDescriptor;
class TnxBaseTokenFilterTableEngine;
class TnxBaseTokenIndexDescriptor;
class TnxBaseTokenIndexTableEngine;
class TnxBitArrayTokenIndexDescriptor;
class TnxBitArrayWriteBuffer;
class TnxFieldTokenExtractorDescriptor;
class TnxFulltextIndexDescriptor;
class TnxFulltextIndexTableEngine;
class TnxMainIndexTokenIndexDescriptor;
class TnxTokenExtractorHubDescriptor;
class TnxTokenExtractorHubTableEngine;
class TnxTokenFilterHubDescriptor;
class TnxTokenFilterHubTableEngine;
class TnxTokenIndexHubDescriptor;
class TnxTokenIndexHubTableEngine;

REVUROV_EXCEPTION_CLASS(EnxFulltextTableEngineException, EnxBaseFulltextTableEngineException);
REVUROV_EXCEPTION_CLASS(EnxFulltextIndexTableEngineException, EnxServerException);
REVUROV_EXCEPTION_CLASS(EnxBaseTokenExtractorTableEngineException, EnxServerException);
REVUROV_EXCEPTION_CLASS(EnxBaseTokenFilterTableEngineException, EnxServerException);
REVUROV_EXCEPTION_CLASS(EnxBaseTokenIndexTableEngineException, EnxServerException);

extern TnxClassRegistry nxFulltextIndexTableEngines;
extern TnxClassRegistry nxTokenExtractorTableEngines;
extern TnxClassRegistry nxTokenFilterTableEngines;
extern TnxClassRegistry nxTokenIndexTableEngines;

// ---- the fulltext table engine ----

class TnxFulltextTableEngine : public TnxBaseFulltextTableEngine {
public:
  static std::unique_ptr<TnxBaseFulltextTableEngine> New(TnxFulltextDescriptor& aDescriptor,
                                                         const TnxBlockAccessList& aFiles,
                                                         TnxBaseIndicesEngine* aMainIndicesEngine,
                                                         TnxBaseTransaction* aTrans);
  REVUROV_REGISTERABLE_RECORD(TnxFulltextTableEngine, TnxBaseFulltextTableEngine, TnxFulltextTableEngineClass,
                              &TnxFulltextTableEngine::New)

  TnxFulltextTableEngine(TnxFulltextDescriptor& aDescriptor, const TnxBlockAccessList& aFiles,
                         TnxBaseIndicesEngine* aMainIndicesEngine);
  ~TnxFulltextTableEngine() override;

  // The indices engine and BLOB engine on the table's files, then the
  // fulltext indices.
  virtual void Build(TnxBaseTransaction* aTrans);
  virtual void CreateFulltextIndices(TnxBaseTransaction* aTrans);
  // The BLOB engine's heap mirror goes with the rolled-back level.
  void Rollback(TnxBaseTransaction& aTrans) override;
  // Over the write buffers of the bit-array token indices.
  void BeginWriteBatch(TnxBaseTransaction& aTrans) override;
  void FlushWriteBatch(TnxBaseTransaction& aTrans) override;
  void EndWriteBatch() noexcept override;

  TnxFulltextDescriptor& FulltextDescriptor() const noexcept { return ftteFulltextDescriptor; }
  const TnxBlockAccessList& Files() const noexcept { return ftteFiles; }
  TnxBaseIndicesEngine* MainIndicesEngine() const noexcept { return ftteMainIndicesEngine; }
  TnxBaseIndicesEngine* IndicesEngine() const noexcept { return ftteIndicesEngine.get(); }
  TnxBaseBlobEngine* BlobEngine() const noexcept { return ftteBlobEngine.get(); }
  int32_t FulltextIndexCount() const noexcept { return static_cast<int32_t>(ftteFulltextIndices.size()); }
  TnxFulltextIndexTableEngine& FulltextIndex(int32_t aInx) const {
    return *ftteFulltextIndices.at(static_cast<size_t>(aInx));
  }

private:
  TnxFulltextDescriptor& ftteFulltextDescriptor;
  TnxBlockAccessList ftteFiles;
  TnxBaseIndicesEngine* ftteMainIndicesEngine;  // not owned
  std::vector<std::unique_ptr<TnxFulltextIndexTableEngine>> ftteFulltextIndices;
  std::unique_ptr<TnxBaseIndicesEngine> ftteIndicesEngine;
  std::unique_ptr<TnxBaseBlobEngine> ftteBlobEngine;
};

// ---- fulltext indices ----

struct TnxFulltextIndexTableEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxFulltextIndexTableEngine> (*Create)(TnxFulltextTableEngine& aParent,
                                                         TnxFulltextIndexDescriptor& aDescriptor,
                                                         TnxBaseTransaction* aTrans) = nullptr;
};

class TnxFulltextIndexTableEngine : public TnxBaseRegisterableEngine {
public:
  static std::unique_ptr<TnxFulltextIndexTableEngine> New(TnxFulltextTableEngine& aParent,
                                                          TnxFulltextIndexDescriptor& aDescriptor,
                                                          TnxBaseTransaction* aTrans);
  REVUROV_REGISTERABLE_FAMILY(TnxFulltextIndexTableEngine, TnxBaseRegisterableEngine,
                              TnxFulltextIndexTableEngineClass, &nxFulltextIndexTableEngines,
                              &TnxFulltextIndexTableEngine::New)

  TnxFulltextIndexTableEngine(TnxFulltextTableEngine& aParent, TnxFulltextIndexDescriptor& aDescriptor);
  ~TnxFulltextIndexTableEngine() override;

  static std::unique_ptr<TnxFulltextIndexTableEngine> CreateFor(TnxFulltextTableEngine& aParent,
                                                                TnxFulltextIndexDescriptor& aDescriptor,
                                                                TnxBaseTransaction* aTrans);
  // The extractor hub, the filter hub and the token index hub, in order.
  virtual void Build(TnxBaseTransaction* aTrans);

  TnxFulltextTableEngine& ParentFulltextTableEngine() const noexcept { return fiteParentFulltextTableEngine; }
  TnxFulltextIndexDescriptor& FulltextIndexDescriptor() const noexcept { return fiteFulltextIndexDescriptor; }
  TnxTokenExtractorHubTableEngine* TokenExtractorHub() const noexcept { return fiteTokenExtractorHub.get(); }
  TnxTokenFilterHubTableEngine* TokenFilterHub() const noexcept { return fiteTokenFilterHub.get(); }
  TnxTokenIndexHubTableEngine* TokenIndexHub() const noexcept { return fiteTokenIndexHub.get(); }
  int32_t TokenExtractorCount() const;
  int32_t TokenFilterCount() const;
  int32_t TokenIndexCount() const;
  TnxBaseTokenExtractorTableEngine* fiteGetTokenExtractor(int32_t aInx) const;
  TnxBaseTokenFilterTableEngine* fiteGetTokenFilter(int32_t aInx) const;
  TnxBaseTokenIndexTableEngine* fiteGetTokenIndex(int32_t aInx) const;

private:
  TnxFulltextTableEngine& fiteParentFulltextTableEngine;
  TnxFulltextIndexDescriptor& fiteFulltextIndexDescriptor;
  std::unique_ptr<TnxTokenExtractorHubTableEngine> fiteTokenExtractorHub;
  std::unique_ptr<TnxTokenFilterHubTableEngine> fiteTokenFilterHub;
  std::unique_ptr<TnxTokenIndexHubTableEngine> fiteTokenIndexHub;
};

// ---- token sources ----

class TnxBaseTokenSourceTableEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_CLASS(TnxBaseTokenSourceTableEngine, TnxBaseRegisterableEngine)
  explicit TnxBaseTokenSourceTableEngine(TnxFulltextIndexTableEngine& aParent)
      : btsteParentFulltextIndexTableEngine(aParent) {}

  TnxFulltextIndexTableEngine& ParentFulltextIndexTableEngine() const noexcept {
    return btsteParentFulltextIndexTableEngine;
  }

private:
  TnxFulltextIndexTableEngine& btsteParentFulltextIndexTableEngine;
};

// ---- token extractors ----

struct TnxTokenExtractorTableEngineClass : TnxRegisterableClass {
  // aHub: the hub the engine is built in, or null.
  std::unique_ptr<TnxBaseTokenExtractorTableEngine> (*Create)(TnxFulltextIndexTableEngine& aParent,
                                                              TnxBaseTokenExtractorDescriptor& aDescriptor,
                                                              TnxBaseTransaction* aTrans,
                                                              TnxTokenExtractorHubTableEngine* aHub) = nullptr;
};

class TnxBaseTokenExtractorTableEngine : public TnxBaseTokenSourceTableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseTokenExtractorTableEngine, TnxBaseTokenSourceTableEngine,
                              TnxTokenExtractorTableEngineClass, &nxTokenExtractorTableEngines)
  TnxBaseTokenExtractorTableEngine(TnxFulltextIndexTableEngine& aParent, TnxBaseTokenExtractorDescriptor& aDescriptor,
                                   TnxTokenExtractorHubTableEngine* aHub);
  ~TnxBaseTokenExtractorTableEngine() override;

  static std::unique_ptr<TnxBaseTokenExtractorTableEngine> CreateFor(TnxFulltextIndexTableEngine& aParent,
                                                                     TnxBaseTokenExtractorDescriptor& aDescriptor,
                                                                     TnxBaseTransaction* aTrans);
  // Inside a hub: the hub's fulltext index is the parent.
  static std::unique_ptr<TnxBaseTokenExtractorTableEngine> CreateFor(TnxTokenExtractorHubTableEngine& aParentHub,
                                                                     TnxBaseTokenExtractorDescriptor& aDescriptor,
                                                                     TnxBaseTransaction* aTrans);
  // The extractor's own filter hub when its descriptor has filters.
  virtual void Build(TnxBaseTransaction* aTrans);

  TnxTokenExtractorHubTableEngine* ParentTokenExtractorHubTableEngine() const noexcept {
    return bteteParentTokenExtractorHubTableEngine;
  }
  TnxBaseTokenExtractorDescriptor& TokenExtractorDescriptor() const noexcept { return bteteTokenExtractorDescriptor; }
  TnxTokenFilterHubTableEngine* TokenFilterHub() const noexcept { return bteteTokenFilterHub.get(); }
  // Null without filters of its own.
  TnxBaseTokenFilterTableEngine* bteteGetTokenFilter(int32_t aInx) const;

private:
  TnxTokenExtractorHubTableEngine* bteteParentTokenExtractorHubTableEngine;  // not owned
  TnxBaseTokenExtractorDescriptor& bteteTokenExtractorDescriptor;
  std::unique_ptr<TnxTokenFilterHubTableEngine> bteteTokenFilterHub;
};

class TnxTokenExtractorHubTableEngine : public TnxBaseTokenExtractorTableEngine {
public:
  static std::unique_ptr<TnxBaseTokenExtractorTableEngine> New(TnxFulltextIndexTableEngine& aParent,
                                                               TnxBaseTokenExtractorDescriptor& aDescriptor,
                                                               TnxBaseTransaction* aTrans,
                                                               TnxTokenExtractorHubTableEngine* aHub);
  REVUROV_REGISTERABLE_RECORD(TnxTokenExtractorHubTableEngine, TnxBaseTokenExtractorTableEngine,
                              TnxTokenExtractorTableEngineClass, &TnxTokenExtractorHubTableEngine::New)
  TnxTokenExtractorHubTableEngine(TnxFulltextIndexTableEngine& aParent, TnxBaseTokenExtractorDescriptor& aDescriptor,
                                  TnxTokenExtractorHubTableEngine* aHub);
  ~TnxTokenExtractorHubTableEngine() override;

  // CreateFor whose result must be a hub (the runtime's invalid cast
  // otherwise).
  static std::unique_ptr<TnxTokenExtractorHubTableEngine> CreateFor(TnxFulltextIndexTableEngine& aParent,
                                                                    TnxTokenExtractorHubDescriptor& aDescriptor,
                                                                    TnxBaseTransaction* aTrans);
  void Build(TnxBaseTransaction* aTrans) override;
  virtual void CreateTokenExtractors(TnxBaseTransaction* aTrans);

  TnxTokenExtractorHubDescriptor& TokenExtractorHubDescriptor() const noexcept {
    return tehteTokenExtractorHubDescriptor;
  }
  int32_t TokenExtractorCount() const noexcept { return static_cast<int32_t>(tehteTokenExtractors.size()); }
  TnxBaseTokenExtractorTableEngine* tehteGetTokenExtractor(int32_t aInx) const {
    return tehteTokenExtractors.at(static_cast<size_t>(aInx)).get();
  }

private:
  TnxTokenExtractorHubDescriptor& tehteTokenExtractorHubDescriptor;
  std::vector<std::unique_ptr<TnxBaseTokenExtractorTableEngine>> tehteTokenExtractors;
};

class TnxFieldTokenExtractorTableEngine : public TnxBaseTokenExtractorTableEngine {
public:
  static std::unique_ptr<TnxBaseTokenExtractorTableEngine> New(TnxFulltextIndexTableEngine& aParent,
                                                               TnxBaseTokenExtractorDescriptor& aDescriptor,
                                                               TnxBaseTransaction* aTrans,
                                                               TnxTokenExtractorHubTableEngine* aHub);
  REVUROV_REGISTERABLE_RECORD(TnxFieldTokenExtractorTableEngine, TnxBaseTokenExtractorTableEngine,
                              TnxTokenExtractorTableEngineClass, &TnxFieldTokenExtractorTableEngine::New)
  TnxFieldTokenExtractorTableEngine(TnxFulltextIndexTableEngine& aParent, TnxBaseTokenExtractorDescriptor& aDescriptor,
                                    TnxTokenExtractorHubTableEngine* aHub);

  TnxFieldTokenExtractorDescriptor& FieldTokenExtractorDescriptor() const noexcept {
    return fteteFieldTokenExtractorDescriptor;
  }

private:
  TnxFieldTokenExtractorDescriptor& fteteFieldTokenExtractorDescriptor;
};

// ---- token filters ----

struct TnxTokenFilterTableEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseTokenFilterTableEngine> (*Create)(TnxFulltextIndexTableEngine& aParent,
                                                           TnxBaseTokenFilterDescriptor& aDescriptor,
                                                           TnxBaseTransaction* aTrans,
                                                           TnxTokenFilterHubTableEngine* aHub) = nullptr;
};

// The factory of a filter class without parts of its own.
template <class T>
std::unique_ptr<TnxBaseTokenFilterTableEngine> nxNewTokenFilterTableEngine(TnxFulltextIndexTableEngine& aParent,
                                                                          TnxBaseTokenFilterDescriptor& aDescriptor,
                                                                          TnxBaseTransaction* aTrans,
                                                                          TnxTokenFilterHubTableEngine* aHub) {
  auto engine = std::make_unique<T>(aParent, aDescriptor, aHub);
  engine->Build(aTrans);
  return engine;
}

class TnxBaseTokenFilterTableEngine : public TnxBaseTokenSourceTableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseTokenFilterTableEngine, TnxBaseTokenSourceTableEngine,
                              TnxTokenFilterTableEngineClass, &nxTokenFilterTableEngines)
  TnxBaseTokenFilterTableEngine(TnxFulltextIndexTableEngine& aParent, TnxBaseTokenFilterDescriptor& aDescriptor,
                                TnxTokenFilterHubTableEngine* aHub)
      : TnxBaseTokenSourceTableEngine(aParent),
        btfteParentTokenFilterHubTableEngine(aHub),
        btfteTokenFilterDescriptor(aDescriptor) {}

  static std::unique_ptr<TnxBaseTokenFilterTableEngine> CreateFor(TnxFulltextIndexTableEngine& aParent,
                                                                  TnxBaseTokenFilterDescriptor& aDescriptor,
                                                                  TnxBaseTransaction* aTrans);
  static std::unique_ptr<TnxBaseTokenFilterTableEngine> CreateFor(TnxTokenFilterHubTableEngine& aParentHub,
                                                                  TnxBaseTokenFilterDescriptor& aDescriptor,
                                                                  TnxBaseTransaction* aTrans);
  virtual void Build(TnxBaseTransaction* /*aTrans*/) {}

  TnxTokenFilterHubTableEngine* ParentTokenFilterHubTableEngine() const noexcept {
    return btfteParentTokenFilterHubTableEngine;
  }
  TnxBaseTokenFilterDescriptor& TokenFilterDescriptor() const noexcept { return btfteTokenFilterDescriptor; }

private:
  TnxTokenFilterHubTableEngine* btfteParentTokenFilterHubTableEngine;  // not owned
  TnxBaseTokenFilterDescriptor& btfteTokenFilterDescriptor;
};

class TnxTokenFilterHubTableEngine : public TnxBaseTokenFilterTableEngine {
  REVUROV_REGISTERABLE_RECORD(TnxTokenFilterHubTableEngine, TnxBaseTokenFilterTableEngine,
                              TnxTokenFilterTableEngineClass,
                              &nxNewTokenFilterTableEngine<TnxTokenFilterHubTableEngine>)
  TnxTokenFilterHubTableEngine(TnxFulltextIndexTableEngine& aParent, TnxBaseTokenFilterDescriptor& aDescriptor,
                               TnxTokenFilterHubTableEngine* aHub);
  ~TnxTokenFilterHubTableEngine() override;

  static std::unique_ptr<TnxTokenFilterHubTableEngine> CreateFor(TnxFulltextIndexTableEngine& aParent,
                                                                 TnxTokenFilterHubDescriptor& aDescriptor,
                                                                 TnxBaseTransaction* aTrans);
  void Build(TnxBaseTransaction* aTrans) override;
  virtual void CreateTokenFilters(TnxBaseTransaction* aTrans);

  TnxTokenFilterHubDescriptor& TokenFilterHubDescriptor() const noexcept { return tfhteTokenFilterHubDescriptor; }
  int32_t TokenFilterCount() const noexcept { return static_cast<int32_t>(tfhteTokenFilters.size()); }
  TnxBaseTokenFilterTableEngine* tfhteGetTokenFilter(int32_t aInx) const {
    return tfhteTokenFilters.at(static_cast<size_t>(aInx)).get();
  }

private:
  TnxTokenFilterHubDescriptor& tfhteTokenFilterHubDescriptor;
  std::vector<std::unique_ptr<TnxBaseTokenFilterTableEngine>> tfhteTokenFilters;
};

// Filters whose work is all on the cursor side: the table side exists so
// that both lookups find a class.
#define REVUROV_PLAIN_TOKEN_FILTER_TABLE_ENGINE(Name, ParentClass)                                        \
  class Name : public ParentClass {                                                                       \
    REVUROV_REGISTERABLE_RECORD(Name, ParentClass, TnxTokenFilterTableEngineClass,                       \
                                &nxNewTokenFilterTableEngine<Name>)                                        \
    using ParentClass::ParentClass;                                                                       \
  }

REVUROV_PLAIN_TOKEN_FILTER_TABLE_ENGINE(TnxBaseSeparatorTokenFilterTableEngine, TnxBaseTokenFilterTableEngine);
REVUROV_PLAIN_TOKEN_FILTER_TABLE_ENGINE(TnxWideCharSeparatorTokenFilterTableEngine,
                                        TnxBaseSeparatorTokenFilterTableEngine);
REVUROV_PLAIN_TOKEN_FILTER_TABLE_ENGINE(TnxCategorySeparatorTokenFilterTableEngine,
                                        TnxBaseSeparatorTokenFilterTableEngine);
REVUROV_PLAIN_TOKEN_FILTER_TABLE_ENGINE(TnxBaseLocaleMappingTokenFilterTableEngine, TnxBaseTokenFilterTableEngine);
REVUROV_PLAIN_TOKEN_FILTER_TABLE_ENGINE(TnxLowercaseLocaleMappingTokenFilterTableEngine,
                                        TnxBaseLocaleMappingTokenFilterTableEngine);
REVUROV_PLAIN_TOKEN_FILTER_TABLE_ENGINE(TnxUppercaseLocaleMappingTokenFilterTableEngine,
                                        TnxBaseLocaleMappingTokenFilterTableEngine);
REVUROV_PLAIN_TOKEN_FILTER_TABLE_ENGINE(TnxCustomLocaleMappingTokenFilterTableEngine,
                                        TnxBaseLocaleMappingTokenFilterTableEngine);
REVUROV_PLAIN_TOKEN_FILTER_TABLE_ENGINE(TnxBaseFoldStringTokenFilterTableEngine, TnxBaseTokenFilterTableEngine);
REVUROV_PLAIN_TOKEN_FILTER_TABLE_ENGINE(TnxPreComposeFoldStringTokenFilterTableEngine,
                                        TnxBaseFoldStringTokenFilterTableEngine);
REVUROV_PLAIN_TOKEN_FILTER_TABLE_ENGINE(TnxDecomposeFoldStringTokenFilterTableEngine,
                                        TnxBaseFoldStringTokenFilterTableEngine);
REVUROV_PLAIN_TOKEN_FILTER_TABLE_ENGINE(TnxCustomFoldStringTokenFilterTableEngine,
                                        TnxBaseFoldStringTokenFilterTableEngine);
REVUROV_PLAIN_TOKEN_FILTER_TABLE_ENGINE(TnxStringReplaceTokenFilterTableEngine, TnxBaseTokenFilterTableEngine);

#undef REVUROV_PLAIN_TOKEN_FILTER_TABLE_ENGINE

// ---- token indices ----

struct TnxTokenIndexTableEngineClass : TnxRegisterableClass {
  std::unique_ptr<TnxBaseTokenIndexTableEngine> (*Create)(TnxFulltextIndexTableEngine& aParent,
                                                          TnxBaseTokenIndexDescriptor& aDescriptor,
                                                          TnxBaseTransaction* aTrans,
                                                          TnxTokenIndexHubTableEngine* aHub) = nullptr;
};

template <class T>
std::unique_ptr<TnxBaseTokenIndexTableEngine> nxNewTokenIndexTableEngine(TnxFulltextIndexTableEngine& aParent,
                                                                        TnxBaseTokenIndexDescriptor& aDescriptor,
                                                                        TnxBaseTransaction* aTrans,
                                                                        TnxTokenIndexHubTableEngine* aHub) {
  auto engine = std::make_unique<T>(aParent, aDescriptor, aHub);
  engine->Build(aTrans);
  return engine;
}

class TnxBaseTokenIndexTableEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseTokenIndexTableEngine, TnxBaseRegisterableEngine, TnxTokenIndexTableEngineClass,
                              &nxTokenIndexTableEngines)
  TnxBaseTokenIndexTableEngine(TnxFulltextIndexTableEngine& aParent, TnxBaseTokenIndexDescriptor& aDescriptor,
                               TnxTokenIndexHubTableEngine* aHub);
  ~TnxBaseTokenIndexTableEngine() override;

  static std::unique_ptr<TnxBaseTokenIndexTableEngine> CreateFor(TnxFulltextIndexTableEngine& aParent,
                                                                 TnxBaseTokenIndexDescriptor& aDescriptor,
                                                                 TnxBaseTransaction* aTrans);
  static std::unique_ptr<TnxBaseTokenIndexTableEngine> CreateFor(TnxTokenIndexHubTableEngine& aParentHub,
                                                                 TnxBaseTokenIndexDescriptor& aDescriptor,
                                                                 TnxBaseTransaction* aTrans);
  // The index's own filter hub when its descriptor has filters.
  virtual void Build(TnxBaseTransaction* aTrans);

  TnxFulltextIndexTableEngine& ParentFulltextIndexTableEngine() const noexcept {
    return btiteParentFulltextIndexTableEngine;
  }
  TnxTokenIndexHubTableEngine* ParentTokenIndexHubTableEngine() const noexcept {
    return btiteParentTokenIndexHubTableEngine;
  }
  TnxBaseTokenIndexDescriptor& TokenIndexDescriptor() const noexcept { return btiteTokenIndexDescriptor; }
  TnxTokenFilterHubTableEngine* TokenFilterHub() const noexcept { return btiteTokenFilterHub.get(); }
  TnxBaseTokenFilterTableEngine* btiteGetTokenFilter(int32_t aInx) const;

private:
  TnxFulltextIndexTableEngine& btiteParentFulltextIndexTableEngine;
  TnxTokenIndexHubTableEngine* btiteParentTokenIndexHubTableEngine;  // not owned
  TnxBaseTokenIndexDescriptor& btiteTokenIndexDescriptor;
  std::unique_ptr<TnxTokenFilterHubTableEngine> btiteTokenFilterHub;
};

class TnxTokenIndexHubTableEngine : public TnxBaseTokenIndexTableEngine {
  REVUROV_REGISTERABLE_RECORD(TnxTokenIndexHubTableEngine, TnxBaseTokenIndexTableEngine,
                              TnxTokenIndexTableEngineClass, &nxNewTokenIndexTableEngine<TnxTokenIndexHubTableEngine>)
  TnxTokenIndexHubTableEngine(TnxFulltextIndexTableEngine& aParent, TnxBaseTokenIndexDescriptor& aDescriptor,
                              TnxTokenIndexHubTableEngine* aHub);
  ~TnxTokenIndexHubTableEngine() override;

  static std::unique_ptr<TnxTokenIndexHubTableEngine> CreateFor(TnxFulltextIndexTableEngine& aParent,
                                                                TnxTokenIndexHubDescriptor& aDescriptor,
                                                                TnxBaseTransaction* aTrans);
  void Build(TnxBaseTransaction* aTrans) override;
  virtual void CreateTokenIndexs(TnxBaseTransaction* aTrans);

  TnxTokenIndexHubDescriptor& TokenIndexHubDescriptor() const noexcept { return tihteTokenIndexHubDescriptor; }
  int32_t TokenIndexCount() const noexcept { return static_cast<int32_t>(tihteTokenIndexs.size()); }
  TnxBaseTokenIndexTableEngine* tihteGetTokenIndex(int32_t aInx) const {
    return tihteTokenIndexs.at(static_cast<size_t>(aInx)).get();
  }

private:
  TnxTokenIndexHubDescriptor& tihteTokenIndexHubDescriptor;
  std::vector<std::unique_ptr<TnxBaseTokenIndexTableEngine>> tihteTokenIndexs;
};

class TnxBitArrayTokenIndexTableEngine : public TnxBaseTokenIndexTableEngine {
  REVUROV_REGISTERABLE_RECORD(TnxBitArrayTokenIndexTableEngine, TnxBaseTokenIndexTableEngine,
                              TnxTokenIndexTableEngineClass,
                              &nxNewTokenIndexTableEngine<TnxBitArrayTokenIndexTableEngine>)
  TnxBitArrayTokenIndexTableEngine(TnxFulltextIndexTableEngine& aParent, TnxBaseTokenIndexDescriptor& aDescriptor,
                                   TnxTokenIndexHubTableEngine* aHub);
  ~TnxBitArrayTokenIndexTableEngine() override;

  // The base part, the storage handler, then the index engines.
  void Build(TnxBaseTransaction* aTrans) override;

  TnxBitArrayTokenIndexDescriptor& BitArrayTokenIndexDescriptor() const noexcept {
    return batiteBitArrayTokenIndexDescriptor;
  }
  // Null when the descriptor names no storage handler.
  TnxBaseBitArrayStorageHandlerTableEngine* BitArrayStorageHandler() const noexcept {
    return batiteBitArrayStorageHandlerTableEngine.get();
  }
  TnxBaseIndexEngine* IndexEngine() const noexcept { return batiteIndexEngine; }
  TnxBaseIndexEngine* ReverseIndexEngine() const noexcept { return batiteReverseIndexEngine; }
  // Null unless the arrays are in the simple storage and an index exists.
  TnxBitArrayWriteBuffer* WriteBuffer() const noexcept { return batiteWriteBuffer.get(); }

private:
  TnxBitArrayTokenIndexDescriptor& batiteBitArrayTokenIndexDescriptor;
  std::unique_ptr<TnxBaseBitArrayStorageHandlerTableEngine> batiteBitArrayStorageHandlerTableEngine;
  TnxBaseIndexEngine* batiteIndexEngine = nullptr;         // of the fulltext indices engine
  TnxBaseIndexEngine* batiteReverseIndexEngine = nullptr;  // of the fulltext indices engine
  std::unique_ptr<TnxBitArrayWriteBuffer> batiteWriteBuffer;
};

class TnxMainIndexTokenIndexTableEngine : public TnxBaseTokenIndexTableEngine {
  REVUROV_REGISTERABLE_RECORD(TnxMainIndexTokenIndexTableEngine, TnxBaseTokenIndexTableEngine,
                              TnxTokenIndexTableEngineClass,
                              &nxNewTokenIndexTableEngine<TnxMainIndexTokenIndexTableEngine>)
  TnxMainIndexTokenIndexTableEngine(TnxFulltextIndexTableEngine& aParent, TnxBaseTokenIndexDescriptor& aDescriptor,
                                    TnxTokenIndexHubTableEngine* aHub);

  void Build(TnxBaseTransaction* aTrans) override;

  TnxMainIndexTokenIndexDescriptor& MainIndexTokenIndexDescriptor() const noexcept {
    return mititeMainIndexTokenIndexDescriptor;
  }
  TnxBaseIndexEngine* MainIndexEngine() const noexcept { return mititeMainIndexEngine; }

private:
  TnxMainIndexTokenIndexDescriptor& mititeMainIndexTokenIndexDescriptor;
  TnxBaseIndexEngine* mititeMainIndexEngine = nullptr;  // of the table's own indices engine
};

// Start-up units: the table-side families and their classes.
void nxFulltextTableEnginesStartup();
void nxFulltextTableEnginesShutdown() noexcept;

}  // namespace revurov
