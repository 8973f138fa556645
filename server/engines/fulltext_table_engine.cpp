#include "server/engines/fulltext_table_engine.h"

#include <iterator>
#include <utility>

#include "dictionary/fulltext_descriptors.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/token_index_descriptors.h"
#include "index/index_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/rtl_exception.h"
#include "server/engines/bit_array_storage.h"
#include "server/engines/bit_array_write_buffer.h"
#include "storage/blob_engines.h"

namespace revurov {

constinit TnxClassRegistry nxFulltextIndexTableEngines;
constinit TnxClassRegistry nxTokenExtractorTableEngines;
constinit TnxClassRegistry nxTokenFilterTableEngines;
constinit TnxClassRegistry nxTokenIndexTableEngines;

namespace {

// The registered class of a family that serves aDescriptor, or 15503.
template <class Record, class E>
const Record& TableEngineClassFor(const TnxRegisterableClass& aFamily, const TnxDictionaryItem& aDescriptor,
                                  std::u16string_view aKindWord) {
  const std::u16string name = nxReplaceEngineWord(aDescriptor.ClassName(), u"Descriptor", u"TableEngine");
  const auto* engineClass = nxFindClassAs<Record>(aFamily, name);
  if (!engineClass || !engineClass->Create) nxRaiseUnknownEngine<E>(aKindWord, name);
  return *engineClass;
}

// A hub's typed CreateFor: the engine built for a hub descriptor must be a
// hub itself.
template <class Hub, class Base>
std::unique_ptr<Hub> AsHub(std::unique_ptr<Base> aEngine) {
  auto* hub = dynamic_cast<Hub*>(aEngine.get());
  if (!hub || !aEngine->ClassType().InheritsFrom(Hub::ClassInfo()))
    throw platform::EInvalidCast(platform::SInvalidCast);
  aEngine.release();
  return std::unique_ptr<Hub>(hub);
}

// Items first first, as they were built.
template <class T>
void FreeFirstFirst(std::vector<std::unique_ptr<T>>& aItems) noexcept {
  for (auto& item : aItems) item.reset();
  aItems.clear();
}

// An index engine by the number a descriptor gives; 9997 when there is none.
template <class E>
TnxBaseIndexEngine* IndexEngineNumbered(TnxBaseIndicesEngine* aIndices, int32_t aNumber) {
  if (!aIndices || aNumber < 0 || aNumber >= aIndices->IndexCount()) throw E(nxeIndexDoesNotExist);
  return &aIndices->Indices(aNumber);
}

}  // namespace

// ---- TnxFulltextTableEngine ----

std::unique_ptr<TnxBaseFulltextTableEngine> TnxFulltextTableEngine::New(TnxFulltextDescriptor& aDescriptor,
                                                                        const TnxBlockAccessList& aFiles,
                                                                        TnxBaseIndicesEngine* aMainIndicesEngine,
                                                                        TnxBaseTransaction* aTrans) {
  auto engine = std::make_unique<TnxFulltextTableEngine>(aDescriptor, aFiles, aMainIndicesEngine);
  engine->Build(aTrans);
  return engine;
}

TnxFulltextTableEngine::TnxFulltextTableEngine(TnxFulltextDescriptor& aDescriptor, const TnxBlockAccessList& aFiles,
                                               TnxBaseIndicesEngine* aMainIndicesEngine)
    : ftteFulltextDescriptor(aDescriptor), ftteFiles(aFiles), ftteMainIndicesEngine(aMainIndicesEngine) {}

TnxFulltextTableEngine::~TnxFulltextTableEngine() {
  while (!ftteFulltextIndices.empty()) ftteFulltextIndices.pop_back();
  ftteIndicesEngine.reset();
  ftteBlobEngine.reset();
}

void TnxFulltextTableEngine::Build(TnxBaseTransaction* aTrans) {
  ftteIndicesEngine =
      TnxBaseIndicesEngine::CreateEngine(ftteFulltextDescriptor.IndicesDescriptor(), ftteFiles, nullptr, aTrans, false);
  ftteBlobEngine = TnxBaseBlobEngine::CreateEngine(ftteFulltextDescriptor.BlobDescriptor(), ftteFiles, aTrans);
  CreateFulltextIndices(aTrans);
}

namespace {

template <class F>
void EachWriteBuffer(const TnxFulltextTableEngine& aEngine, F aStep) {
  for (int32_t i = 0; i < aEngine.FulltextIndexCount(); ++i) {
    TnxFulltextIndexTableEngine& index = aEngine.FulltextIndex(i);
    for (int32_t j = 0, n = index.TokenIndexCount(); j < n; ++j)
      if (auto* bits = dynamic_cast<TnxBitArrayTokenIndexTableEngine*>(index.fiteGetTokenIndex(j)))
        if (TnxBitArrayWriteBuffer* buffer = bits->WriteBuffer()) aStep(*buffer);
  }
}

}  // namespace

void TnxFulltextTableEngine::Rollback(TnxBaseTransaction& aTrans) {
  if (ftteBlobEngine) ftteBlobEngine->Rollback(aTrans);
  EachWriteBuffer(*this, [](TnxBitArrayWriteBuffer& aBuffer) { aBuffer.Spoil(); });
}

void TnxFulltextTableEngine::BeginWriteBatch(TnxBaseTransaction& aTrans) {
  std::vector<TnxBitArrayWriteBuffer*> begun;
  try {
    EachWriteBuffer(*this, [&](TnxBitArrayWriteBuffer& aBuffer) {
      aBuffer.Begin(aTrans);
      begun.push_back(&aBuffer);
    });
  } catch (...) {
    for (TnxBitArrayWriteBuffer* buffer : begun) buffer->End();
    throw;
  }
}

void TnxFulltextTableEngine::FlushWriteBatch(TnxBaseTransaction& aTrans) {
  EachWriteBuffer(*this, [&](TnxBitArrayWriteBuffer& aBuffer) { aBuffer.Flush(aTrans); });
}

void TnxFulltextTableEngine::EndWriteBatch() noexcept {
  EachWriteBuffer(*this, [](TnxBitArrayWriteBuffer& aBuffer) { aBuffer.End(); });
}

void TnxFulltextTableEngine::CreateFulltextIndices(TnxBaseTransaction* aTrans) {
  const int32_t count = ftteFulltextDescriptor.FulltextIndexCount();
  ftteFulltextIndices.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i)
    ftteFulltextIndices.push_back(
        TnxFulltextIndexTableEngine::CreateFor(*this, *ftteFulltextDescriptor.FulltextIndex(i), aTrans));
}

// ---- TnxFulltextIndexTableEngine ----

std::unique_ptr<TnxFulltextIndexTableEngine> TnxFulltextIndexTableEngine::New(TnxFulltextTableEngine& aParent,
                                                                              TnxFulltextIndexDescriptor& aDescriptor,
                                                                              TnxBaseTransaction* aTrans) {
  auto engine = std::make_unique<TnxFulltextIndexTableEngine>(aParent, aDescriptor);
  engine->Build(aTrans);
  return engine;
}

TnxFulltextIndexTableEngine::TnxFulltextIndexTableEngine(TnxFulltextTableEngine& aParent,
                                                         TnxFulltextIndexDescriptor& aDescriptor)
    : fiteParentFulltextTableEngine(aParent), fiteFulltextIndexDescriptor(aDescriptor) {}

TnxFulltextIndexTableEngine::~TnxFulltextIndexTableEngine() {
  fiteTokenIndexHub.reset();
  fiteTokenFilterHub.reset();
  fiteTokenExtractorHub.reset();
}

std::unique_ptr<TnxFulltextIndexTableEngine> TnxFulltextIndexTableEngine::CreateFor(
    TnxFulltextTableEngine& aParent, TnxFulltextIndexDescriptor& aDescriptor, TnxBaseTransaction* aTrans) {
  const auto& engineClass = TableEngineClassFor<TnxFulltextIndexTableEngineClass, EnxFulltextIndexTableEngineException>(
      ClassInfo(), aDescriptor, u"FulltextIndex");
  return engineClass.Create(aParent, aDescriptor, aTrans);
}

void TnxFulltextIndexTableEngine::Build(TnxBaseTransaction* aTrans) {
  fiteTokenExtractorHub =
      TnxTokenExtractorHubTableEngine::CreateFor(*this, fiteFulltextIndexDescriptor.TokenExtractorHub(), aTrans);
  fiteTokenFilterHub =
      TnxTokenFilterHubTableEngine::CreateFor(*this, fiteFulltextIndexDescriptor.TokenFilterHub(), aTrans);
  fiteTokenIndexHub =
      TnxTokenIndexHubTableEngine::CreateFor(*this, fiteFulltextIndexDescriptor.TokenIndexHub(), aTrans);
}

int32_t TnxFulltextIndexTableEngine::TokenExtractorCount() const {
  return fiteTokenExtractorHub ? fiteTokenExtractorHub->TokenExtractorCount() : 0;
}
int32_t TnxFulltextIndexTableEngine::TokenFilterCount() const {
  return fiteTokenFilterHub ? fiteTokenFilterHub->TokenFilterCount() : 0;
}
int32_t TnxFulltextIndexTableEngine::TokenIndexCount() const {
  return fiteTokenIndexHub ? fiteTokenIndexHub->TokenIndexCount() : 0;
}

TnxBaseTokenExtractorTableEngine* TnxFulltextIndexTableEngine::fiteGetTokenExtractor(int32_t aInx) const {
  if (aInx == -1) return fiteTokenExtractorHub.get();
  return fiteTokenExtractorHub->tehteGetTokenExtractor(aInx);
}
TnxBaseTokenFilterTableEngine* TnxFulltextIndexTableEngine::fiteGetTokenFilter(int32_t aInx) const {
  if (aInx == -1) return fiteTokenFilterHub.get();
  return fiteTokenFilterHub->tfhteGetTokenFilter(aInx);
}
TnxBaseTokenIndexTableEngine* TnxFulltextIndexTableEngine::fiteGetTokenIndex(int32_t aInx) const {
  if (aInx == -1) return fiteTokenIndexHub.get();
  return fiteTokenIndexHub->tihteGetTokenIndex(aInx);
}

// ---- token extractors ----

TnxBaseTokenExtractorTableEngine::TnxBaseTokenExtractorTableEngine(TnxFulltextIndexTableEngine& aParent,
                                                                   TnxBaseTokenExtractorDescriptor& aDescriptor,
                                                                   TnxTokenExtractorHubTableEngine* aHub)
    : TnxBaseTokenSourceTableEngine(aParent),
      bteteParentTokenExtractorHubTableEngine(aHub),
      bteteTokenExtractorDescriptor(aDescriptor) {}

TnxBaseTokenExtractorTableEngine::~TnxBaseTokenExtractorTableEngine() = default;

std::unique_ptr<TnxBaseTokenExtractorTableEngine> TnxBaseTokenExtractorTableEngine::CreateFor(
    TnxFulltextIndexTableEngine& aParent, TnxBaseTokenExtractorDescriptor& aDescriptor, TnxBaseTransaction* aTrans) {
  const auto& engineClass =
      TableEngineClassFor<TnxTokenExtractorTableEngineClass, EnxBaseTokenExtractorTableEngineException>(
          ClassInfo(), aDescriptor, u"TokenExtractor");
  return engineClass.Create(aParent, aDescriptor, aTrans, nullptr);
}

std::unique_ptr<TnxBaseTokenExtractorTableEngine> TnxBaseTokenExtractorTableEngine::CreateFor(
    TnxTokenExtractorHubTableEngine& aParentHub, TnxBaseTokenExtractorDescriptor& aDescriptor,
    TnxBaseTransaction* aTrans) {
  const auto& engineClass =
      TableEngineClassFor<TnxTokenExtractorTableEngineClass, EnxBaseTokenExtractorTableEngineException>(
          ClassInfo(), aDescriptor, u"TokenExtractor");
  return engineClass.Create(aParentHub.ParentFulltextIndexTableEngine(), aDescriptor, aTrans, &aParentHub);
}

void TnxBaseTokenExtractorTableEngine::Build(TnxBaseTransaction* aTrans) {
  TnxTokenFilterHubDescriptor& filters = bteteTokenExtractorDescriptor.TokenFilterHub();
  if (filters.TokenFilterCount() > 0)
    bteteTokenFilterHub = TnxTokenFilterHubTableEngine::CreateFor(ParentFulltextIndexTableEngine(), filters, aTrans);
}

TnxBaseTokenFilterTableEngine* TnxBaseTokenExtractorTableEngine::bteteGetTokenFilter(int32_t aInx) const {
  if (!bteteTokenFilterHub) return nullptr;
  if (aInx == -1) return bteteTokenFilterHub.get();
  return bteteTokenFilterHub->tfhteGetTokenFilter(aInx);
}

std::unique_ptr<TnxBaseTokenExtractorTableEngine> TnxTokenExtractorHubTableEngine::New(
    TnxFulltextIndexTableEngine& aParent, TnxBaseTokenExtractorDescriptor& aDescriptor, TnxBaseTransaction* aTrans,
    TnxTokenExtractorHubTableEngine* aHub) {
  auto engine = std::make_unique<TnxTokenExtractorHubTableEngine>(aParent, aDescriptor, aHub);
  engine->Build(aTrans);
  return engine;
}

TnxTokenExtractorHubTableEngine::TnxTokenExtractorHubTableEngine(TnxFulltextIndexTableEngine& aParent,
                                                                 TnxBaseTokenExtractorDescriptor& aDescriptor,
                                                                 TnxTokenExtractorHubTableEngine* aHub)
    : TnxBaseTokenExtractorTableEngine(aParent, aDescriptor, aHub),
      tehteTokenExtractorHubDescriptor(dynamic_cast<TnxTokenExtractorHubDescriptor&>(aDescriptor)) {}

TnxTokenExtractorHubTableEngine::~TnxTokenExtractorHubTableEngine() { FreeFirstFirst(tehteTokenExtractors); }

std::unique_ptr<TnxTokenExtractorHubTableEngine> TnxTokenExtractorHubTableEngine::CreateFor(
    TnxFulltextIndexTableEngine& aParent, TnxTokenExtractorHubDescriptor& aDescriptor, TnxBaseTransaction* aTrans) {
  return AsHub<TnxTokenExtractorHubTableEngine>(
      TnxBaseTokenExtractorTableEngine::CreateFor(aParent, aDescriptor, aTrans));
}

void TnxTokenExtractorHubTableEngine::Build(TnxBaseTransaction* aTrans) {
  TnxBaseTokenExtractorTableEngine::Build(aTrans);
  CreateTokenExtractors(aTrans);
}

void TnxTokenExtractorHubTableEngine::CreateTokenExtractors(TnxBaseTransaction* aTrans) {
  const int32_t count = tehteTokenExtractorHubDescriptor.TokenExtractorCount();
  tehteTokenExtractors.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i)
    tehteTokenExtractors.push_back(TnxBaseTokenExtractorTableEngine::CreateFor(
        *this, *tehteTokenExtractorHubDescriptor.tehdGetTokenExtractor(i), aTrans));
}

std::unique_ptr<TnxBaseTokenExtractorTableEngine> TnxFieldTokenExtractorTableEngine::New(
    TnxFulltextIndexTableEngine& aParent, TnxBaseTokenExtractorDescriptor& aDescriptor, TnxBaseTransaction* aTrans,
    TnxTokenExtractorHubTableEngine* aHub) {
  auto engine = std::make_unique<TnxFieldTokenExtractorTableEngine>(aParent, aDescriptor, aHub);
  engine->Build(aTrans);
  return engine;
}

TnxFieldTokenExtractorTableEngine::TnxFieldTokenExtractorTableEngine(TnxFulltextIndexTableEngine& aParent,
                                                                     TnxBaseTokenExtractorDescriptor& aDescriptor,
                                                                     TnxTokenExtractorHubTableEngine* aHub)
    : TnxBaseTokenExtractorTableEngine(aParent, aDescriptor, aHub),
      fteteFieldTokenExtractorDescriptor(dynamic_cast<TnxFieldTokenExtractorDescriptor&>(aDescriptor)) {}

// ---- token filters ----

std::unique_ptr<TnxBaseTokenFilterTableEngine> TnxBaseTokenFilterTableEngine::CreateFor(
    TnxFulltextIndexTableEngine& aParent, TnxBaseTokenFilterDescriptor& aDescriptor, TnxBaseTransaction* aTrans) {
  const auto& engineClass = TableEngineClassFor<TnxTokenFilterTableEngineClass, EnxBaseTokenFilterTableEngineException>(
      ClassInfo(), aDescriptor, u"TokenFilter");
  return engineClass.Create(aParent, aDescriptor, aTrans, nullptr);
}

std::unique_ptr<TnxBaseTokenFilterTableEngine> TnxBaseTokenFilterTableEngine::CreateFor(
    TnxTokenFilterHubTableEngine& aParentHub, TnxBaseTokenFilterDescriptor& aDescriptor, TnxBaseTransaction* aTrans) {
  const auto& engineClass = TableEngineClassFor<TnxTokenFilterTableEngineClass, EnxBaseTokenFilterTableEngineException>(
      ClassInfo(), aDescriptor, u"TokenFilter");
  return engineClass.Create(aParentHub.ParentFulltextIndexTableEngine(), aDescriptor, aTrans, &aParentHub);
}

TnxTokenFilterHubTableEngine::TnxTokenFilterHubTableEngine(TnxFulltextIndexTableEngine& aParent,
                                                           TnxBaseTokenFilterDescriptor& aDescriptor,
                                                           TnxTokenFilterHubTableEngine* aHub)
    : TnxBaseTokenFilterTableEngine(aParent, aDescriptor, aHub),
      tfhteTokenFilterHubDescriptor(dynamic_cast<TnxTokenFilterHubDescriptor&>(aDescriptor)) {}

TnxTokenFilterHubTableEngine::~TnxTokenFilterHubTableEngine() { FreeFirstFirst(tfhteTokenFilters); }

std::unique_ptr<TnxTokenFilterHubTableEngine> TnxTokenFilterHubTableEngine::CreateFor(
    TnxFulltextIndexTableEngine& aParent, TnxTokenFilterHubDescriptor& aDescriptor, TnxBaseTransaction* aTrans) {
  return AsHub<TnxTokenFilterHubTableEngine>(TnxBaseTokenFilterTableEngine::CreateFor(aParent, aDescriptor, aTrans));
}

void TnxTokenFilterHubTableEngine::Build(TnxBaseTransaction* aTrans) {
  TnxBaseTokenFilterTableEngine::Build(aTrans);
  CreateTokenFilters(aTrans);
}

void TnxTokenFilterHubTableEngine::CreateTokenFilters(TnxBaseTransaction* aTrans) {
  const int32_t count = tfhteTokenFilterHubDescriptor.TokenFilterCount();
  tfhteTokenFilters.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i)
    tfhteTokenFilters.push_back(TnxBaseTokenFilterTableEngine::CreateFor(
        *this, *tfhteTokenFilterHubDescriptor.tfhdGetTokenFilter(i), aTrans));
}

// ---- token indices ----

TnxBaseTokenIndexTableEngine::TnxBaseTokenIndexTableEngine(TnxFulltextIndexTableEngine& aParent,
                                                           TnxBaseTokenIndexDescriptor& aDescriptor,
                                                           TnxTokenIndexHubTableEngine* aHub)
    : btiteParentFulltextIndexTableEngine(aParent),
      btiteParentTokenIndexHubTableEngine(aHub),
      btiteTokenIndexDescriptor(aDescriptor) {}

TnxBaseTokenIndexTableEngine::~TnxBaseTokenIndexTableEngine() = default;

std::unique_ptr<TnxBaseTokenIndexTableEngine> TnxBaseTokenIndexTableEngine::CreateFor(
    TnxFulltextIndexTableEngine& aParent, TnxBaseTokenIndexDescriptor& aDescriptor, TnxBaseTransaction* aTrans) {
  const auto& engineClass = TableEngineClassFor<TnxTokenIndexTableEngineClass, EnxBaseTokenIndexTableEngineException>(
      ClassInfo(), aDescriptor, u"TokenIndex");
  return engineClass.Create(aParent, aDescriptor, aTrans, nullptr);
}

std::unique_ptr<TnxBaseTokenIndexTableEngine> TnxBaseTokenIndexTableEngine::CreateFor(
    TnxTokenIndexHubTableEngine& aParentHub, TnxBaseTokenIndexDescriptor& aDescriptor, TnxBaseTransaction* aTrans) {
  const auto& engineClass = TableEngineClassFor<TnxTokenIndexTableEngineClass, EnxBaseTokenIndexTableEngineException>(
      ClassInfo(), aDescriptor, u"TokenIndex");
  return engineClass.Create(aParentHub.ParentFulltextIndexTableEngine(), aDescriptor, aTrans, &aParentHub);
}

void TnxBaseTokenIndexTableEngine::Build(TnxBaseTransaction* aTrans) {
  TnxTokenFilterHubDescriptor& filters = btiteTokenIndexDescriptor.TokenFilterHub();
  if (filters.TokenFilterCount() > 0)
    btiteTokenFilterHub = TnxTokenFilterHubTableEngine::CreateFor(btiteParentFulltextIndexTableEngine, filters, aTrans);
}

TnxBaseTokenFilterTableEngine* TnxBaseTokenIndexTableEngine::btiteGetTokenFilter(int32_t aInx) const {
  if (!btiteTokenFilterHub) return nullptr;
  if (aInx == -1) return btiteTokenFilterHub.get();
  return btiteTokenFilterHub->tfhteGetTokenFilter(aInx);
}

TnxTokenIndexHubTableEngine::TnxTokenIndexHubTableEngine(TnxFulltextIndexTableEngine& aParent,
                                                         TnxBaseTokenIndexDescriptor& aDescriptor,
                                                         TnxTokenIndexHubTableEngine* aHub)
    : TnxBaseTokenIndexTableEngine(aParent, aDescriptor, aHub),
      tihteTokenIndexHubDescriptor(dynamic_cast<TnxTokenIndexHubDescriptor&>(aDescriptor)) {}

TnxTokenIndexHubTableEngine::~TnxTokenIndexHubTableEngine() { FreeFirstFirst(tihteTokenIndexs); }

std::unique_ptr<TnxTokenIndexHubTableEngine> TnxTokenIndexHubTableEngine::CreateFor(
    TnxFulltextIndexTableEngine& aParent, TnxTokenIndexHubDescriptor& aDescriptor, TnxBaseTransaction* aTrans) {
  return AsHub<TnxTokenIndexHubTableEngine>(TnxBaseTokenIndexTableEngine::CreateFor(aParent, aDescriptor, aTrans));
}

void TnxTokenIndexHubTableEngine::Build(TnxBaseTransaction* aTrans) {
  TnxBaseTokenIndexTableEngine::Build(aTrans);
  CreateTokenIndexs(aTrans);
}

void TnxTokenIndexHubTableEngine::CreateTokenIndexs(TnxBaseTransaction* aTrans) {
  const int32_t count = tihteTokenIndexHubDescriptor.TokenIndexCount();
  tihteTokenIndexs.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i)
    tihteTokenIndexs.push_back(
        TnxBaseTokenIndexTableEngine::CreateFor(*this, *tihteTokenIndexHubDescriptor.tihdGetTokenIndex(i), aTrans));
}

TnxBitArrayTokenIndexTableEngine::TnxBitArrayTokenIndexTableEngine(TnxFulltextIndexTableEngine& aParent,
                                                                   TnxBaseTokenIndexDescriptor& aDescriptor,
                                                                   TnxTokenIndexHubTableEngine* aHub)
    : TnxBaseTokenIndexTableEngine(aParent, aDescriptor, aHub),
      batiteBitArrayTokenIndexDescriptor(dynamic_cast<TnxBitArrayTokenIndexDescriptor&>(aDescriptor)) {}

TnxBitArrayTokenIndexTableEngine::~TnxBitArrayTokenIndexTableEngine() {
  batiteBitArrayStorageHandlerTableEngine.reset();
}

void TnxBitArrayTokenIndexTableEngine::Build(TnxBaseTransaction* aTrans) {
  TnxBaseTokenIndexTableEngine::Build(aTrans);
  batiteBitArrayStorageHandlerTableEngine = TnxBaseBitArrayStorageHandlerTableEngine::CreateFor(
      *this, batiteBitArrayTokenIndexDescriptor.BitArrayStorageHandler(), aTrans);
  TnxBaseIndicesEngine* indices = ParentFulltextIndexTableEngine().ParentFulltextTableEngine().IndicesEngine();
  if (TnxIndexDescriptor* index = batiteBitArrayTokenIndexDescriptor.IndexDescriptor())
    batiteIndexEngine = IndexEngineNumbered<EnxBaseTokenIndexTableEngineException>(indices, index->Number());
  if (TnxIndexDescriptor* reverse = batiteBitArrayTokenIndexDescriptor.ReverseIndexDescriptor())
    batiteReverseIndexEngine = IndexEngineNumbered<EnxBaseTokenIndexTableEngineException>(indices, reverse->Number());
  // Buffered writes know the simple storage's layout only.
  auto* simple = dynamic_cast<TnxSimpleBitArrayStorageHandlerTableEngine*>(batiteBitArrayStorageHandlerTableEngine.get());
  TnxBaseIndexEngine* primary = batiteIndexEngine ? batiteIndexEngine : batiteReverseIndexEngine;
  if (simple && primary)
    batiteWriteBuffer = std::make_unique<TnxBitArrayWriteBuffer>(
        *primary, batiteIndexEngine ? batiteReverseIndexEngine : nullptr, *simple);
}

TnxMainIndexTokenIndexTableEngine::TnxMainIndexTokenIndexTableEngine(TnxFulltextIndexTableEngine& aParent,
                                                                     TnxBaseTokenIndexDescriptor& aDescriptor,
                                                                     TnxTokenIndexHubTableEngine* aHub)
    : TnxBaseTokenIndexTableEngine(aParent, aDescriptor, aHub),
      mititeMainIndexTokenIndexDescriptor(dynamic_cast<TnxMainIndexTokenIndexDescriptor&>(aDescriptor)) {}

void TnxMainIndexTokenIndexTableEngine::Build(TnxBaseTransaction* aTrans) {
  TnxBaseTokenIndexTableEngine::Build(aTrans);
  mititeMainIndexEngine = IndexEngineNumbered<EnxBaseTokenIndexTableEngineException>(
      ParentFulltextIndexTableEngine().ParentFulltextTableEngine().MainIndicesEngine(),
      mititeMainIndexTokenIndexDescriptor.MainIndexNumber());
}

// ---- start-up ----

namespace {

const TnxRegisterableClass* const kTableEngineClasses[] = {
    &TnxFulltextTableEngine::ClassInfo(),
    &TnxFulltextIndexTableEngine::ClassInfo(),
    &TnxTokenExtractorHubTableEngine::ClassInfo(),
    &TnxFieldTokenExtractorTableEngine::ClassInfo(),
    &TnxTokenFilterHubTableEngine::ClassInfo(),
    &TnxWideCharSeparatorTokenFilterTableEngine::ClassInfo(),
    &TnxCategorySeparatorTokenFilterTableEngine::ClassInfo(),
    &TnxLowercaseLocaleMappingTokenFilterTableEngine::ClassInfo(),
    &TnxUppercaseLocaleMappingTokenFilterTableEngine::ClassInfo(),
    &TnxCustomLocaleMappingTokenFilterTableEngine::ClassInfo(),
    &TnxPreComposeFoldStringTokenFilterTableEngine::ClassInfo(),
    &TnxDecomposeFoldStringTokenFilterTableEngine::ClassInfo(),
    &TnxCustomFoldStringTokenFilterTableEngine::ClassInfo(),
    &TnxStringReplaceTokenFilterTableEngine::ClassInfo(),
    &TnxTokenIndexHubTableEngine::ClassInfo(),
    &TnxSimpleBitArrayStorageHandlerTableEngine::ClassInfo(),
    &TnxBitArrayTokenIndexTableEngine::ClassInfo(),
    &TnxMainIndexTokenIndexTableEngine::ClassInfo(),
};

}  // namespace

void nxFulltextTableEnginesStartup() {
  size_t done = 0;
  try {
    for (const TnxRegisterableClass* c : kTableEngineClasses) {
      c->Register();
      ++done;
    }
  } catch (...) {
    while (done > 0) kTableEngineClasses[--done]->Unregister();
    throw;
  }
}

void nxFulltextTableEnginesShutdown() noexcept {
  for (size_t i = std::size(kTableEngineClasses); i > 0; --i) kTableEngineClasses[i - 1]->Unregister();
}

}  // namespace revurov
