#include "server/engines/fulltext_token_index_base.h"

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/rtl_exception.h"
#include "server/engines/fulltext_engine_base.h"
#include "server/engines/fulltext_filters.h"
#include "server/engines/fulltext_table_engine.h"

namespace revurov {

constinit TnxClassRegistry nxTokenIndexCursorEngines;

namespace {

const TnxTokenIndexCursorEngineClass& TokenIndexClassFor(const TnxBaseTokenIndexTableEngine& aTableEngine) {
  const std::u16string name = nxReplaceEngineWord(aTableEngine.ClassName(), u"TableEngine", u"CursorEngine");
  const auto* engineClass =
      nxFindClassAs<TnxTokenIndexCursorEngineClass>(TnxBaseTokenIndexCursorEngine::ClassInfo(), name);
  if (!engineClass || !engineClass->Create)
    nxRaiseUnknownEngine<EnxBaseTokenIndexCursorEngineException>(u"TokenIndex", name);
  return *engineClass;
}

TnxBaseTokenFilterCursorEngine* FilterOf(TnxTokenFilterHubCursorEngine* aHub, int32_t aInx) {
  if (!aHub) return nullptr;
  if (aInx == -1) return aHub;
  return aHub->tfhceGetTokenFilter(aInx);
}

}  // namespace

TnxBaseTokenIndexCursorEngine::TnxBaseTokenIndexCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                                             TnxBaseTokenIndexTableEngine& aTableEngine,
                                                             TnxBaseTokenSourceCursorEngine& aTokenSourceOld,
                                                             TnxBaseTokenSourceCursorEngine& aTokenSourceNew,
                                                             TnxTokenIndexHubCursorEngine* aHub)
    : bticeParentFulltextIndexCursorEngine(aParent),
      bticeParentTokenIndexHubCursorEngine(aHub),
      bticeTokenIndexTableEngine(aTableEngine),
      bticeTokenSourceOld(&aTokenSourceOld),
      bticeTokenSourceNew(&aTokenSourceNew) {}

TnxBaseTokenIndexCursorEngine::~TnxBaseTokenIndexCursorEngine() {
  bticeTokenFilterHubNew.reset();
  bticeTokenFilterHubOld.reset();
}

std::unique_ptr<TnxBaseTokenIndexCursorEngine> TnxBaseTokenIndexCursorEngine::CreateFor(
    TnxFulltextIndexCursorEngine* aParent, TnxBaseTokenIndexTableEngine& aTableEngine,
    TnxBaseTokenSourceCursorEngine& aTokenSourceOld, TnxBaseTokenSourceCursorEngine& aTokenSourceNew) {
  return TokenIndexClassFor(aTableEngine).Create(aParent, aTableEngine, aTokenSourceOld, aTokenSourceNew, nullptr);
}

std::unique_ptr<TnxBaseTokenIndexCursorEngine> TnxBaseTokenIndexCursorEngine::CreateFor(
    TnxTokenIndexHubCursorEngine& aParentHub, TnxBaseTokenIndexTableEngine& aTableEngine,
    TnxBaseTokenSourceCursorEngine& aTokenSourceOld, TnxBaseTokenSourceCursorEngine& aTokenSourceNew) {
  return TokenIndexClassFor(aTableEngine)
      .Create(aParentHub.ParentFulltextIndexCursorEngine(), aTableEngine, aTokenSourceOld, aTokenSourceNew,
              &aParentHub);
}

void TnxBaseTokenIndexCursorEngine::Build() {
  TnxTokenFilterHubTableEngine* filters = bticeTokenIndexTableEngine.TokenFilterHub();
  if (!filters) return;
  bticeTokenFilterHubOld =
      TnxTokenFilterHubCursorEngine::CreateFor(bticeParentFulltextIndexCursorEngine, *filters, *bticeTokenSourceOld);
  bticeTokenFilterHubNew =
      TnxTokenFilterHubCursorEngine::CreateFor(bticeParentFulltextIndexCursorEngine, *filters, *bticeTokenSourceNew);
  bticeTokenSourceOld = bticeTokenFilterHubOld.get();
  bticeTokenSourceNew = bticeTokenFilterHubNew.get();
}

uint32_t TnxBaseTokenIndexCursorEngine::bticeUpdateIndex(TnxBaseTransaction&, const uint8_t*, const TnxRecID&,
                                                         const uint8_t*, const TnxRecID&) {
  return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"bticeUpdateIndex is not supported by %s",
                                        {ClassName()});
}

TnxBaseTokenFilterCursorEngine* TnxBaseTokenIndexCursorEngine::bticeGetTokenFilterOld(int32_t aInx) const {
  return FilterOf(bticeTokenFilterHubOld.get(), aInx);
}

TnxBaseTokenFilterCursorEngine* TnxBaseTokenIndexCursorEngine::bticeGetTokenFilterNew(int32_t aInx) const {
  return FilterOf(bticeTokenFilterHubNew.get(), aInx);
}

// ---- TnxTokenIndexHubCursorEngine ----

TnxTokenIndexHubCursorEngine::TnxTokenIndexHubCursorEngine(TnxFulltextIndexCursorEngine* aParent,
                                                           TnxBaseTokenIndexTableEngine& aTableEngine,
                                                           TnxBaseTokenSourceCursorEngine& aTokenSourceOld,
                                                           TnxBaseTokenSourceCursorEngine& aTokenSourceNew,
                                                           TnxTokenIndexHubCursorEngine* aHub)
    : TnxBaseTokenIndexCursorEngine(aParent, aTableEngine, aTokenSourceOld, aTokenSourceNew, aHub),
      tihceTokenIndexHubTableEngine(dynamic_cast<TnxTokenIndexHubTableEngine&>(aTableEngine)) {}

TnxTokenIndexHubCursorEngine::~TnxTokenIndexHubCursorEngine() {
  for (auto& index : tihceTokenIndexs) index.reset();
}

std::unique_ptr<TnxTokenIndexHubCursorEngine> TnxTokenIndexHubCursorEngine::CreateFor(
    TnxFulltextIndexCursorEngine* aParent, TnxTokenIndexHubTableEngine& aTableEngine,
    TnxBaseTokenSourceCursorEngine& aTokenSourceOld, TnxBaseTokenSourceCursorEngine& aTokenSourceNew) {
  std::unique_ptr<TnxBaseTokenIndexCursorEngine> engine =
      TnxBaseTokenIndexCursorEngine::CreateFor(aParent, aTableEngine, aTokenSourceOld, aTokenSourceNew);
  auto* hub = dynamic_cast<TnxTokenIndexHubCursorEngine*>(engine.get());
  if (!hub) throw platform::EInvalidCast(platform::SInvalidCast);
  engine.release();
  return std::unique_ptr<TnxTokenIndexHubCursorEngine>(hub);
}

void TnxTokenIndexHubCursorEngine::Build() {
  TnxBaseTokenIndexCursorEngine::Build();
  CreateTokenIndexs();
}

void TnxTokenIndexHubCursorEngine::CreateTokenIndexs() {
  const int32_t count = tihceTokenIndexHubTableEngine.TokenIndexCount();
  tihceTokenIndexs.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i)
    tihceTokenIndexs.push_back(TnxBaseTokenIndexCursorEngine::CreateFor(
        *this, *tihceTokenIndexHubTableEngine.tihteGetTokenIndex(i), TokenSourceOld(), TokenSourceNew()));
}

uint32_t TnxTokenIndexHubCursorEngine::bticeUpdateIndex(TnxBaseTransaction& aTrans, const uint8_t* aOldRecord,
                                                        const TnxRecID& aOldRecID, const uint8_t* aNewRecord,
                                                        const TnxRecID& aNewRecID) {
  for (auto& index : tihceTokenIndexs)
    if (const uint32_t result = index->bticeUpdateIndex(aTrans, aOldRecord, aOldRecID, aNewRecord, aNewRecID))
      return result;
  return 0;
}

}  // namespace revurov
