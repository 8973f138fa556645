// The cursor side of token indices, as far as the fulltext index needs it:
// the family base, which reads an old and a new token stream (through a
// filter chain of its own when its table engine has one), and the hub,
// which hands both streams to each of its token indices in order. The
// token indices that store tokens derive from the base.
//
// Contract:
// - Classes are found by name from the table engines ("TableEngine" to
//   "CursorEngine"); a class that is not registered raises 15503 "Unknown
//   TokenIndex engine: "<class>"" in EnxBaseTokenIndexCursorEngineException.
// - bticeUpdateIndex of a class without its own answers 12289 with
//   "bticeUpdateIndex is not supported by <class>" as the thread's message;
//   the hub answers the first non-zero result of its token indices.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dictionary/engine_records.h"
#include "server/engines/fulltext_tokens.h"
#include "storage/server_exceptions.h"

namespace revurov {

class TnxBaseTokenFilterCursorEngine;
class TnxBaseTokenIndexCursorEngine;
class TnxBaseTokenIndexTableEngine;
class TnxBaseTransaction;
class TnxTokenFilterHubCursorEngine;
class TnxTokenIndexHubCursorEngine;
class TnxTokenIndexHubTableEngine;

REVUROV_EXCEPTION_CLASS(EnxBaseTokenIndexCursorEngineException, EnxServerException);

extern TnxClassRegistry nxTokenIndexCursorEngines;

struct TnxTokenIndexCursorEngineClass : TnxRegisterableClass {
  // aHub: the hub the token index is built in, or null.
  std::unique_ptr<TnxBaseTokenIndexCursorEngine> (*Create)(TnxFulltextIndexCursorEngine* aParent,
                                                           TnxBaseTokenIndexTableEngine& aTableEngine,
                                                           TnxBaseTokenSourceCursorEngine& aTokenSourceOld,
                                                           TnxBaseTokenSourceCursorEngine& aTokenSourceNew,
                                                           TnxTokenIndexHubCursorEngine* aHub) = nullptr;
};

template <class T>
std::unique_ptr<TnxBaseTokenIndexCursorEngine> nxNewTokenIndexCursorEngine(
    TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenIndexTableEngine& aTableEngine,
    TnxBaseTokenSourceCursorEngine& aTokenSourceOld, TnxBaseTokenSourceCursorEngine& aTokenSourceNew,
    TnxTokenIndexHubCursorEngine* aHub) {
  auto engine = std::make_unique<T>(aParent, aTableEngine, aTokenSourceOld, aTokenSourceNew, aHub);
  engine->Build();
  return engine;
}

class TnxBaseTokenIndexCursorEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TnxBaseTokenIndexCursorEngine, TnxBaseRegisterableEngine,
                              TnxTokenIndexCursorEngineClass, &nxTokenIndexCursorEngines)
  TnxBaseTokenIndexCursorEngine(TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenIndexTableEngine& aTableEngine,
                                TnxBaseTokenSourceCursorEngine& aTokenSourceOld,
                                TnxBaseTokenSourceCursorEngine& aTokenSourceNew, TnxTokenIndexHubCursorEngine* aHub);
  ~TnxBaseTokenIndexCursorEngine() override;

  static std::unique_ptr<TnxBaseTokenIndexCursorEngine> CreateFor(TnxFulltextIndexCursorEngine* aParent,
                                                                  TnxBaseTokenIndexTableEngine& aTableEngine,
                                                                  TnxBaseTokenSourceCursorEngine& aTokenSourceOld,
                                                                  TnxBaseTokenSourceCursorEngine& aTokenSourceNew);
  static std::unique_ptr<TnxBaseTokenIndexCursorEngine> CreateFor(TnxTokenIndexHubCursorEngine& aParentHub,
                                                                  TnxBaseTokenIndexTableEngine& aTableEngine,
                                                                  TnxBaseTokenSourceCursorEngine& aTokenSourceOld,
                                                                  TnxBaseTokenSourceCursorEngine& aTokenSourceNew);
  // The index's own filter chains on both sides when its table engine has
  // a filter hub.
  virtual void Build();

  virtual uint32_t bticeUpdateIndex(TnxBaseTransaction& aTrans, const uint8_t* aOldRecord, const TnxRecID& aOldRecID,
                                    const uint8_t* aNewRecord, const TnxRecID& aNewRecID);

  TnxFulltextIndexCursorEngine* ParentFulltextIndexCursorEngine() const noexcept {
    return bticeParentFulltextIndexCursorEngine;
  }
  TnxTokenIndexHubCursorEngine* ParentTokenIndexHubCursorEngine() const noexcept {
    return bticeParentTokenIndexHubCursorEngine;
  }
  TnxBaseTokenIndexTableEngine& TokenIndexTableEngine() const noexcept { return bticeTokenIndexTableEngine; }
  TnxBaseTokenSourceCursorEngine& TokenSourceOld() const noexcept { return *bticeTokenSourceOld; }
  TnxBaseTokenSourceCursorEngine& TokenSourceNew() const noexcept { return *bticeTokenSourceNew; }
  // -1: that side's hub; null without filters of its own.
  TnxBaseTokenFilterCursorEngine* bticeGetTokenFilterOld(int32_t aInx) const;
  TnxBaseTokenFilterCursorEngine* bticeGetTokenFilterNew(int32_t aInx) const;

private:
  TnxFulltextIndexCursorEngine* bticeParentFulltextIndexCursorEngine;  // not owned
  TnxTokenIndexHubCursorEngine* bticeParentTokenIndexHubCursorEngine;  // not owned
  TnxBaseTokenIndexTableEngine& bticeTokenIndexTableEngine;
  std::unique_ptr<TnxTokenFilterHubCursorEngine> bticeTokenFilterHubOld;
  std::unique_ptr<TnxTokenFilterHubCursorEngine> bticeTokenFilterHubNew;
  TnxBaseTokenSourceCursorEngine* bticeTokenSourceOld;  // the own chain, or the source given
  TnxBaseTokenSourceCursorEngine* bticeTokenSourceNew;
};

class TnxTokenIndexHubCursorEngine : public TnxBaseTokenIndexCursorEngine {
  REVUROV_REGISTERABLE_RECORD(TnxTokenIndexHubCursorEngine, TnxBaseTokenIndexCursorEngine,
                              TnxTokenIndexCursorEngineClass,
                              &nxNewTokenIndexCursorEngine<TnxTokenIndexHubCursorEngine>)
  TnxTokenIndexHubCursorEngine(TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenIndexTableEngine& aTableEngine,
                               TnxBaseTokenSourceCursorEngine& aTokenSourceOld,
                               TnxBaseTokenSourceCursorEngine& aTokenSourceNew, TnxTokenIndexHubCursorEngine* aHub);
  ~TnxTokenIndexHubCursorEngine() override;

  // CreateFor whose result must be a hub.
  static std::unique_ptr<TnxTokenIndexHubCursorEngine> CreateFor(TnxFulltextIndexCursorEngine* aParent,
                                                                 TnxTokenIndexHubTableEngine& aTableEngine,
                                                                 TnxBaseTokenSourceCursorEngine& aTokenSourceOld,
                                                                 TnxBaseTokenSourceCursorEngine& aTokenSourceNew);
  void Build() override;
  // One cursor engine per table token index, each given the hub's sources.
  virtual void CreateTokenIndexs();

  uint32_t bticeUpdateIndex(TnxBaseTransaction& aTrans, const uint8_t* aOldRecord, const TnxRecID& aOldRecID,
                            const uint8_t* aNewRecord, const TnxRecID& aNewRecID) override;

  int32_t TokenIndexCount() const noexcept { return static_cast<int32_t>(tihceTokenIndexs.size()); }
  TnxBaseTokenIndexCursorEngine* tihceGetTokenIndex(int32_t aInx) const {
    return tihceTokenIndexs.at(static_cast<size_t>(aInx)).get();
  }

private:
  TnxTokenIndexHubTableEngine& tihceTokenIndexHubTableEngine;
  std::vector<std::unique_ptr<TnxBaseTokenIndexCursorEngine>> tihceTokenIndexs;
};

}  // namespace revurov
