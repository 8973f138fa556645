#include "server/engines/fulltext_cursor_engine.h"

#include <iterator>
#include <utility>

#include "engine/abstract_cursor.h"
#include "platform/text.h"
#include "server/engines/fulltext_extractors.h"
#include "server/engines/fulltext_filters.h"
#include "server/engines/fulltext_table_engine.h"
#include "server/engines/fulltext_token_index_base.h"

namespace revurov {

constinit TnxClassRegistry nxFulltextIndexCursorEngines;

// ---- TnxFulltextCursorEngine ----

std::unique_ptr<TnxBaseFulltextCursorEngine> TnxFulltextCursorEngine::New(TnxBaseFulltextTableEngine& aTableEngine,
                                                                          TnxAbstractCursor* aCursor) {
  auto* tableEngine = dynamic_cast<TnxFulltextTableEngine*>(&aTableEngine);
  if (!tableEngine) throw platform::EInvalidCast(platform::SInvalidCast);
  auto engine = std::make_unique<TnxFulltextCursorEngine>(*tableEngine, aCursor);
  engine->Build();
  return engine;
}

TnxFulltextCursorEngine::TnxFulltextCursorEngine(TnxFulltextTableEngine& aTableEngine, TnxAbstractCursor* aCursor)
    : ftceFulltextTableEngine(aTableEngine), ftceFulltextCursor(aCursor) {}

TnxFulltextCursorEngine::~TnxFulltextCursorEngine() {
  FreeUpdateHelpers();
  while (!ftceFulltextIndices.empty()) ftceFulltextIndices.pop_back();
}

void TnxFulltextCursorEngine::Build() { CreateFulltextIndices(); }

void TnxFulltextCursorEngine::CreateFulltextIndices() {
  const int32_t count = ftceFulltextTableEngine.FulltextIndexCount();
  ftceFulltextIndices.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i)
    ftceFulltextIndices.push_back(
        TnxFulltextIndexCursorEngine::CreateFor(*this, ftceFulltextTableEngine.FulltextIndex(i)));
}

bool TnxFulltextCursorEngine::NameLess::operator()(const std::u16string& a, const std::u16string& b) const noexcept {
  return platform::AsciiCompareText(a, b) < 0;
}

TnxObject* TnxFulltextCursorEngine::ftceGetTempUpdateHelper(const std::u16string& aName) const {
  if (!ftceUpdateHelpers) return nullptr;
  auto it = ftceUpdateHelpers->find(aName);
  return it == ftceUpdateHelpers->end() ? nullptr : it->second.get();
}

void TnxFulltextCursorEngine::ftceSetTempUpdateHelper(const std::u16string& aName, std::unique_ptr<TnxObject> aObject) {
  if (!aObject) {
    if (ftceUpdateHelpers) ftceUpdateHelpers->erase(aName);
    return;
  }
  if (!ftceUpdateHelpers)
    ftceUpdateHelpers = std::make_unique<std::map<std::u16string, std::unique_ptr<TnxObject>, NameLess>>();
  (*ftceUpdateHelpers)[aName] = std::move(aObject);
}

void TnxFulltextCursorEngine::FreeUpdateHelpers() noexcept {
  // Taken out first, so a helper's destructor never finds a half-freed list.
  auto helpers = std::move(ftceUpdateHelpers);
  if (helpers) helpers->clear();
}

uint32_t TnxFulltextCursorEngine::UpdateIndex(TnxBaseTransaction& aTrans, const uint8_t* aOldRecord,
                                              TnxRefNr aOldRefNr, const uint8_t* aNewRecord, TnxRefNr aNewRefNr) {
  struct THelperRelease {
    TnxFulltextCursorEngine& Engine;
    ~THelperRelease() { Engine.FreeUpdateHelpers(); }
  } release{*this};
  TnxRecID oldRecID = aOldRecord && ftceFulltextCursor ? ftceFulltextCursor->acGetRecID(aOldRecord) : nxNullRecID;
  oldRecID.ridRefNr = aOldRefNr;
  TnxRecID newRecID = aNewRecord && ftceFulltextCursor ? ftceFulltextCursor->acGetRecID(aNewRecord) : nxNullRecID;
  newRecID.ridRefNr = aNewRefNr;
  for (size_t i = ftceFulltextIndices.size(); i > 0; --i)
    if (const uint32_t result =
            ftceFulltextIndices[i - 1]->ficeUpdateIndex(aTrans, aOldRecord, oldRecID, aNewRecord, newRecID))
      return result;
  return 0;
}

// ---- TnxFulltextIndexCursorEngine ----

std::unique_ptr<TnxFulltextIndexCursorEngine> TnxFulltextIndexCursorEngine::New(
    TnxFulltextCursorEngine& aParent, TnxFulltextIndexTableEngine& aTableEngine) {
  auto engine = std::make_unique<TnxFulltextIndexCursorEngine>(aParent, aTableEngine);
  engine->Build();
  return engine;
}

TnxFulltextIndexCursorEngine::TnxFulltextIndexCursorEngine(TnxFulltextCursorEngine& aParent,
                                                           TnxFulltextIndexTableEngine& aTableEngine)
    : ficeParentFulltextCursorEngine(aParent), ficeFulltextIndexTableEngine(aTableEngine) {}

TnxFulltextIndexCursorEngine::~TnxFulltextIndexCursorEngine() {
  // Each reads from the one built before it.
  ficeTokenIndexHub.reset();
  ficeTokenFilterHubNew.reset();
  ficeTokenFilterHubOld.reset();
  ficeTokenExtractorHubNew.reset();
  ficeTokenExtractorHubOld.reset();
}

std::unique_ptr<TnxFulltextIndexCursorEngine> TnxFulltextIndexCursorEngine::CreateFor(
    TnxFulltextCursorEngine& aParent, TnxFulltextIndexTableEngine& aTableEngine) {
  const std::u16string name = nxReplaceEngineWord(aTableEngine.ClassName(), u"TableEngine", u"CursorEngine");
  const auto* engineClass = nxFindClassAs<TnxFulltextIndexCursorEngineClass>(ClassInfo(), name);
  if (!engineClass || !engineClass->Create)
    nxRaiseUnknownEngine<EnxFulltextIndexCursorEngineException>(u"FulltextIndex", name);
  return engineClass->Create(aParent, aTableEngine);
}

void TnxFulltextIndexCursorEngine::Build() {
  TnxAbstractCursor* cursor = ficeParentFulltextCursorEngine.FulltextCursor();
  TnxTokenExtractorHubTableEngine* extractors = ficeFulltextIndexTableEngine.TokenExtractorHub();
  TnxTokenFilterHubTableEngine* filters = ficeFulltextIndexTableEngine.TokenFilterHub();
  TnxTokenIndexHubTableEngine* indices = ficeFulltextIndexTableEngine.TokenIndexHub();
  if (!extractors || !filters || !indices)
    throw EnxFulltextIndexCursorEngineException(nxeInvalidDescriptor, u"Fulltext index %s is incomplete",
                                                {ClassName()});
  ficeTokenExtractorHubOld = TnxTokenExtractorHubCursorEngine::CreateFor(this, *extractors, cursor);
  ficeTokenExtractorHubNew = TnxTokenExtractorHubCursorEngine::CreateFor(this, *extractors, cursor);
  ficeTokenFilterHubOld = TnxTokenFilterHubCursorEngine::CreateFor(this, *filters, *ficeTokenExtractorHubOld);
  ficeTokenFilterHubNew = TnxTokenFilterHubCursorEngine::CreateFor(this, *filters, *ficeTokenExtractorHubNew);
  ficeTokenIndexHub =
      TnxTokenIndexHubCursorEngine::CreateFor(this, *indices, *ficeTokenFilterHubOld, *ficeTokenFilterHubNew);
}

uint32_t TnxFulltextIndexCursorEngine::ficeUpdateIndex(TnxBaseTransaction& aTrans, const uint8_t* aOldRecord,
                                                       const TnxRecID& aOldRecID, const uint8_t* aNewRecord,
                                                       const TnxRecID& aNewRecID) {
  ficeTokenExtractorHubOld->Initialize(aOldRecord, aOldRecID, true);
  ficeTokenExtractorHubNew->Initialize(aNewRecord, aNewRecID, false);
  return ficeTokenIndexHub->bticeUpdateIndex(aTrans, aOldRecord, aOldRecID, aNewRecord, aNewRecID);
}

TnxBaseTokenExtractorCursorEngine* TnxFulltextIndexCursorEngine::ficeGetTokenExtractorOld(int32_t aInx) const {
  if (aInx == -1) return ficeTokenExtractorHubOld.get();
  return ficeTokenExtractorHubOld->tehceGetTokenExtractor(aInx);
}
TnxBaseTokenExtractorCursorEngine* TnxFulltextIndexCursorEngine::ficeGetTokenExtractorNew(int32_t aInx) const {
  if (aInx == -1) return ficeTokenExtractorHubNew.get();
  return ficeTokenExtractorHubNew->tehceGetTokenExtractor(aInx);
}
TnxBaseTokenFilterCursorEngine* TnxFulltextIndexCursorEngine::ficeGetTokenFilterOld(int32_t aInx) const {
  if (aInx == -1) return ficeTokenFilterHubOld.get();
  return ficeTokenFilterHubOld->tfhceGetTokenFilter(aInx);
}
TnxBaseTokenFilterCursorEngine* TnxFulltextIndexCursorEngine::ficeGetTokenFilterNew(int32_t aInx) const {
  if (aInx == -1) return ficeTokenFilterHubNew.get();
  return ficeTokenFilterHubNew->tfhceGetTokenFilter(aInx);
}
TnxBaseTokenIndexCursorEngine* TnxFulltextIndexCursorEngine::ficeGetTokenIndex(int32_t aInx) const {
  if (aInx == -1) return ficeTokenIndexHub.get();
  return ficeTokenIndexHub->tihceGetTokenIndex(aInx);
}

// ---- start-up ----

namespace {

// The token indices that store tokens register themselves with their own
// unit.
const TnxRegisterableClass* const kCursorEngineClasses[] = {
    &TnxFulltextCursorEngine::ClassInfo(),
    &TnxFulltextIndexCursorEngine::ClassInfo(),
    &TnxTokenExtractorHubCursorEngine::ClassInfo(),
    &TnxFieldTokenExtractorCursorEngine::ClassInfo(),
    &TnxTokenFilterHubCursorEngine::ClassInfo(),
    &TnxWideCharSeparatorTokenFilterCursorEngine::ClassInfo(),
    &TnxCategorySeparatorTokenFilterCursorEngine::ClassInfo(),
    &TnxLowercaseLocaleMappingTokenFilterCursorEngine::ClassInfo(),
    &TnxUppercaseLocaleMappingTokenFilterCursorEngine::ClassInfo(),
    &TnxCustomLocaleMappingTokenFilterCursorEngine::ClassInfo(),
    &TnxPreComposeFoldStringTokenFilterCursorEngine::ClassInfo(),
    &TnxDecomposeFoldStringTokenFilterCursorEngine::ClassInfo(),
    &TnxCustomFoldStringTokenFilterCursorEngine::ClassInfo(),
    &TnxStringReplaceTokenFilterCursorEngine::ClassInfo(),
    &TnxTokenIndexHubCursorEngine::ClassInfo(),
};

}  // namespace

void nxFulltextCursorEnginesStartup() {
  size_t done = 0;
  try {
    for (const TnxRegisterableClass* c : kCursorEngineClasses) {
      c->Register();
      ++done;
    }
  } catch (...) {
    while (done > 0) kCursorEngineClasses[--done]->Unregister();
    throw;
  }
}

void nxFulltextCursorEnginesShutdown() noexcept {
  for (size_t i = std::size(kCursorEngineClasses); i > 0; --i) kCursorEngineClasses[i - 1]->Unregister();
}

}  // namespace revurov
