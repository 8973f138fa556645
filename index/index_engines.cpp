#include "index/index_engines.h"

#include <cstring>
#include <string>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/table_descriptors.h"
#include "index/bulk_build.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/endian.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "storage/block_access.h"
#include "storage/buffer_manager.h"
#include "storage/files.h"
#include "storage/header_access.h"
#include "storage/transactions.h"

namespace revurov {

constinit TnxClassRegistry nxIndicesEngines;
constinit TnxClassRegistry nxIndexEngines;

namespace {

constexpr std::u16string_view kSeqAccessIndex = u"Sequential Access Index";

const TnxIndicesEngineArgs& IndicesArgs(const TnxSubEngineArgs& aArgs) {
  return static_cast<const TnxIndicesEngineArgs&>(aArgs);
}
const TnxIndexEngineArgs& IndexArgs(const TnxSubEngineArgs& aArgs) {
  return static_cast<const TnxIndexEngineArgs&>(aArgs);
}

TnxBaseTableDescriptor* TableOf(TnxBaseIndicesDescriptor& aDescriptor) {
  for (TnxDictionaryItem* item = aDescriptor.ParentItem(); item; item = item->ParentItem())
    if (auto* table = dynamic_cast<TnxBaseTableDescriptor*>(item)) return table;
  return nullptr;
}

int32_t VersionOf(const TnxBlockAccessList& aFiles) {
  return aFiles.empty() || !aFiles[0] ? 0 : aFiles[0]->File().fiZirezVersion;
}

}  // namespace

// ---- the current key guard ----

// Names the key of one index operation for the engines that read it, and
// takes the name away when the operation ends, however it ends.
class TnxBaseIndicesEngine::TCurrentKey {
public:
  TCurrentKey(TnxBaseIndicesEngine& aEngine, TnxRefNr aRefNr, TnxRefNr aCacheRefNr, const uint8_t* aKey) noexcept
      : ckEngine(aEngine) {
    ckEngine.biseCurrentRefNr = aRefNr;
    ckEngine.biseCurrentCacheRefNr = aCacheRefNr;
    ckEngine.biseCurrentKey = aKey;
  }
  ~TCurrentKey() {
    ckEngine.biseCurrentRefNr = nxNoCurrentRefNr;
    ckEngine.biseCurrentCacheRefNr = nxNoCurrentRefNr;
    ckEngine.biseCurrentKey = nullptr;
  }
  TCurrentKey(const TCurrentKey&) = delete;
  TCurrentKey& operator=(const TCurrentKey&) = delete;

private:
  TnxBaseIndicesEngine& ckEngine;
};

namespace {
// The transaction of a key operation, also cleared by an exception.
class TCurrentTrans {
public:
  TCurrentTrans(TnxBaseTransaction*& aSlot, TnxBaseTransaction& aTrans) noexcept : ctSlot(aSlot) {
    ctSlot = &aTrans;
  }
  ~TCurrentTrans() { ctSlot = nullptr; }
  TCurrentTrans(const TCurrentTrans&) = delete;
  TCurrentTrans& operator=(const TCurrentTrans&) = delete;

private:
  TnxBaseTransaction*& ctSlot;
};
}  // namespace

// ---- indices engine ----

TnxBaseIndicesEngine::TnxBaseIndicesEngine(const TnxSubEngineArgs& aArgs)
    : TnxBaseSubEngine(aArgs.Descriptor->ID(), VersionOf(*aArgs.Files)),
      biseDescriptor(*static_cast<TnxBaseIndicesDescriptor*>(aArgs.Descriptor)),
      biseFiles(*aArgs.Files),
      biseRecordEngine(IndicesArgs(aArgs).RecordEngine) {
  if (biseDescriptor.IndexCount() > nxMaxIndices) RaiseIndexNumber(nxMaxIndices);
  if (TnxBaseTableDescriptor* table = TableOf(biseDescriptor)) {
    // Only a cache's record indices follow the remote table; its internal
    // indices (the cached blobs) are keyed directly, as in any table.
    biseIsCache = table->CachingState() == tcsIsCache &&
                  static_cast<const TnxBaseIndicesDescriptor*>(table->InternalIndicesDescriptor()) != &biseDescriptor;
    int32_t field = -1;
    if (biseIsCache && table->FieldsDescriptor().HasRefNrField(field))
      biseRefNrOffset = table->FieldsDescriptor().FieldDescriptor(field)->Offset();
  }
}

TnxBaseIndicesEngine::~TnxBaseIndicesEngine() {
  FreeKeys();
  while (!biseIndices.empty()) biseIndices.pop_back();
}

void TnxBaseIndicesEngine::RaiseIndexNumber(int32_t aIndex) {
  throw EnxBaseIndicesEngineException(nxeIndexNumberOutOfRange,
                                      u"Index number passed to routine is out of range [%d]", {aIndex});
}

std::unique_ptr<TnxBaseIndicesEngine> TnxBaseIndicesEngine::CreateEngine(TnxBaseIndicesDescriptor* aDescriptor,
                                                                         const TnxBlockAccessList& aFiles,
                                                                         TnxBaseRecordEngine* aRecordEngine,
                                                                         TnxBaseTransaction* aTrans,
                                                                         bool aAddToExisting) {
  if (!aDescriptor) return nullptr;
  const TnxSubEngineClass& c = EngineClassFor(*aDescriptor);
  TnxIndicesEngineArgs args;
  args.Descriptor = aDescriptor;
  args.Trans = aTrans;
  args.Files = &aFiles;
  args.RecordEngine = aRecordEngine;
  args.AddToExisting = aAddToExisting;
  std::unique_ptr<TnxBaseSubEngine> engine = c.DoCreate(args);
  if (!engine) nxRaiseUnknownEngine<EnxBaseIndicesEngineException>(u"indices", aDescriptor->IndicesEngine());
  return std::unique_ptr<TnxBaseIndicesEngine>(static_cast<TnxBaseIndicesEngine*>(engine.release()));
}

std::unique_ptr<TnxBaseIndicesEngine> TnxBaseIndicesEngine::CreateEngine(TnxBaseTableDescriptor& aDictionary,
                                                                         const TnxBlockAccessList& aFiles,
                                                                         TnxBaseRecordEngine* aRecordEngine,
                                                                         TnxBaseTransaction* aTrans,
                                                                         bool aAddToExisting) {
  return CreateEngine(aDictionary.IndicesDescriptor(), aFiles, aRecordEngine, aTrans, aAddToExisting);
}

void TnxBaseIndicesEngine::CheckValid(TnxBaseTableDescriptor& aDictionary) {
  if (TnxBaseIndicesDescriptor* indices = aDictionary.IndicesDescriptor()) CheckValidBaseFromDescriptor(*indices);
}

const TnxSubEngineClass& TnxBaseIndicesEngine::EngineClassFor(const TnxBaseIndicesDescriptor& aDescriptor) {
  const TnxSubEngineClass* c = ClassInfo().FindEngineClass(aDescriptor.IndicesEngine());
  if (!c) nxRaiseUnknownEngine<EnxBaseIndicesEngineException>(u"indices", aDescriptor.IndicesEngine());
  return *c;
}

void TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(TnxBaseIndicesDescriptor& aDescriptor) {
  EngineClassFor(aDescriptor).DoCheckValidDescriptor(aDescriptor);
  for (int32_t i = 0; i < aDescriptor.IndexCount(); ++i)
    TnxBaseIndexEngine::CheckValidBaseFromDescriptor(*aDescriptor.IndexDescriptor(i));
}

std::unique_ptr<TnxBaseIndexEngine> TnxBaseIndicesEngine::NewIndexEngine(TnxIndexDescriptor& aDescriptor) {
  const TnxSubEngineClass& c = TnxBaseIndexEngine::EngineClassFor(aDescriptor);
  std::unique_ptr<TnxBaseKeyEngine> keyEngine = TnxBaseKeyEngine::CreateFor(*aDescriptor.KeyDescriptor());
  TnxIndexEngineArgs args;
  args.Descriptor = &aDescriptor;
  args.Files = &biseFiles;
  args.IndicesEngine = this;
  args.KeyEngine = &keyEngine;
  std::unique_ptr<TnxBaseSubEngine> engine = c.DoCreate(args);
  if (!engine) nxRaiseUnknownEngine<EnxBaseIndexEngineException>(u"index", aDescriptor.IndexEngine());
  return std::unique_ptr<TnxBaseIndexEngine>(static_cast<TnxBaseIndexEngine*>(engine.release()));
}

void TnxBaseIndicesEngine::AppendIndex(std::unique_ptr<TnxBaseIndexEngine> aIndex) {
  biseNLSVersionChanged = biseNLSVersionChanged || aIndex->KeyEngine().NLSVersionChanged();
  biseContainsExtended = biseContainsExtended || aIndex->KeyEngine().ContainsExtended();
  if (platform::AsciiSameText(aIndex->IndexName(), kSeqAccessIndex)) biseSeqIndexEngine = aIndex.get();
  biseIndices.push_back(std::move(aIndex));
}

void TnxBaseIndicesEngine::biseCreateIndices() {
  for (int32_t i = 0; i < biseDescriptor.IndexCount(); ++i)
    AppendIndex(NewIndexEngine(*biseDescriptor.IndexDescriptor(i)));
  AllocKeys();
}

void TnxBaseIndicesEngine::AllocKeys() {
  FreeKeys();
  const size_t n = biseIndices.size();
  biseNewKeys.assign(n, nullptr);
  biseOldKeys.assign(n, nullptr);
  biseNewKeysValid.assign(n, false);
  biseOldKeysValid.assign(n, false);
  biseComp.assign(n, 0);
  biseKeysAllocated = true;
  for (size_t i = 0; i < n; ++i) {
    biseNewKeys[i] = biseIndices[i]->KeyEngine().AllocKey();
    biseOldKeys[i] = biseIndices[i]->KeyEngine().AllocKey();
  }
}

void TnxBaseIndicesEngine::FreeKeys() noexcept {
  if (!biseKeysAllocated) return;
  for (size_t i = 0; i < biseNewKeys.size(); ++i) {
    // A failed allocation leaves later entries null; FreeKey takes those too.
    if (biseNewKeys[i]) biseIndices[i]->KeyEngine().FreeKey(biseNewKeys[i]);
    if (biseOldKeys[i]) biseIndices[i]->KeyEngine().FreeKey(biseOldKeys[i]);
  }
  biseNewKeys.clear();
  biseOldKeys.clear();
  biseNewKeysValid.clear();
  biseOldKeysValid.clear();
  biseComp.clear();
  biseKeysAllocated = false;
}

TnxRefNr TnxBaseIndicesEngine::CacheRefNrOf(const uint8_t* aRecord) const noexcept {
  if (biseRefNrOffset < 0 || !aRecord) return 0;
  return static_cast<TnxRefNr>(platform::LoadU64(aRecord + biseRefNrOffset));
}

uint32_t TnxBaseIndicesEngine::InsertKeys(TnxBaseTransaction& aTrans, TnxRefNr aRefNr, const uint8_t* aRecord,
                                          TnxBaseIndexPath* aPath) {
  TCurrentTrans trans(biseCurrentTrans, aTrans);
  const TnxRefNr cacheRefNr = CacheRefNrOf(aRecord);
  const int32_t n = IndexCount();
  // Every key first: a record whose key cannot be built changes nothing.
  for (int32_t i = 0; i < n; ++i) {
    const uint32_t r = Indices(i).KeyEngine().BuildKey(aRecord, biseNewKeys[i], aRefNr, false);
    if (r > 1) return r;
    biseNewKeysValid[i] = r == 0;
  }
  for (int32_t i = 0; i < n; ++i) {
    if (!biseNewKeysValid[i]) continue;
    bool inserted;
    {
      TCurrentKey current(*this, aRefNr, cacheRefNr, biseNewKeys[i]);
      inserted = Indices(i).InsertKey(aTrans, biseNewKeys[i], aRefNr, cacheRefNr, aPath);
    }
    if (inserted) continue;
    const uint32_t r = Indices(i).GetKeyError(etInsert, biseNewKeys[i], aRefNr);
    for (int32_t j = i - 1; j >= 0; --j) {
      if (!biseNewKeysValid[j]) continue;
      TCurrentKey current(*this, aRefNr, cacheRefNr, biseNewKeys[j]);
      if (!Indices(j).DeleteKey(aTrans, biseNewKeys[j], aRefNr, cacheRefNr, aPath)) {
        aTrans.MarkCorrupted();
        break;
      }
    }
    return r;
  }
  return 0;
}

uint32_t TnxBaseIndicesEngine::DeleteKeys(TnxBaseTransaction& aTrans, TnxRefNr aRefNr, const uint8_t* aRecord,
                                          TnxBaseIndexPath* aPath) {
  TCurrentTrans trans(biseCurrentTrans, aTrans);
  const TnxRefNr cacheRefNr = CacheRefNrOf(aRecord);
  for (int32_t i = 0; i < IndexCount(); ++i) {
    uint32_t r = Indices(i).KeyEngine().BuildKey(aRecord, biseOldKeys[i], aRefNr, false);
    if (r == 1) continue;
    if (r == 0) {
      TCurrentKey current(*this, aRefNr, cacheRefNr, biseOldKeys[i]);
      if (!Indices(i).DeleteKey(aTrans, biseOldKeys[i], aRefNr, cacheRefNr, aPath))
        r = Indices(i).GetKeyError(etDelete, biseOldKeys[i], aRefNr);
    }
    if (r != 0) {
      aTrans.MarkCorrupted();
      return r;
    }
  }
  return 0;
}

uint32_t TnxBaseIndicesEngine::UpdateKeys(TnxBaseTransaction& aTrans, TnxRefNr aOldRefNr, const uint8_t* aOldRecord,
                                          TnxRefNr aNewRefNr, const uint8_t* aNewRecord, TnxBaseIndexPath* aPath) {
  TCurrentTrans trans(biseCurrentTrans, aTrans);
  const TnxRefNr oldCache = CacheRefNrOf(aOldRecord);
  const TnxRefNr newCache = CacheRefNrOf(aNewRecord);
  const int32_t n = IndexCount();
  // Every old and new key first, so that a key that cannot be built leaves
  // all indices as they were.
  for (int32_t i = 0; i < n; ++i) {
    TnxBaseKeyEngine& keys = Indices(i).KeyEngine();
    uint32_t r = keys.BuildKey(aOldRecord, biseOldKeys[i], aOldRefNr, false);
    if (r > 1) return r;
    biseOldKeysValid[i] = r == 0;
    r = keys.BuildKey(aNewRecord, biseNewKeys[i], aNewRefNr, false);
    if (r > 1) return r;
    biseNewKeysValid[i] = r == 0;
    int32_t comp = 0;
    if (biseOldKeysValid[i] != biseNewKeysValid[i])
      comp = 1;
    else if (biseOldKeysValid[i])
      comp = keys.CompareKey(biseOldKeys[i], biseNewKeys[i], 0, 0);
    if (comp == 0) comp = aNewRefNr < aOldRefNr ? -1 : (aNewRefNr > aOldRefNr ? 1 : 0);
    biseComp[i] = comp;
  }
  const auto reinsertOld = [&](int32_t j) {
    if (!biseOldKeysValid[j]) return true;
    TCurrentKey current(*this, aOldRefNr, oldCache, biseOldKeys[j]);
    return Indices(j).InsertKey(aTrans, biseOldKeys[j], aOldRefNr, oldCache, aPath);
  };
  for (int32_t i = 0; i < n; ++i) {
    if (biseComp[i] == 0) continue;
    if (biseOldKeysValid[i]) {
      TCurrentKey current(*this, aOldRefNr, oldCache, biseOldKeys[i]);
      if (!Indices(i).DeleteKey(aTrans, biseOldKeys[i], aOldRefNr, oldCache, aPath)) {
        const uint32_t r = Indices(i).GetKeyError(etModifyDelete, biseOldKeys[i], aOldRefNr);
        aTrans.MarkCorrupted();
        return r;
      }
    }
    if (!biseNewKeysValid[i]) continue;
    bool inserted;
    {
      TCurrentKey current(*this, aNewRefNr, newCache, biseNewKeys[i]);
      inserted = Indices(i).InsertKey(aTrans, biseNewKeys[i], aNewRefNr, newCache, aPath);
    }
    if (inserted) continue;
    const uint32_t r = Indices(i).GetKeyError(etModifyInsert, biseNewKeys[i], aNewRefNr);
    bool undone = reinsertOld(i);
    for (int32_t j = i - 1; undone && j >= 0; --j) {
      if (biseComp[j] == 0) continue;
      if (biseNewKeysValid[j]) {
        TCurrentKey current(*this, aNewRefNr, newCache, biseNewKeys[j]);
        undone = Indices(j).DeleteKey(aTrans, biseNewKeys[j], aNewRefNr, newCache, aPath);
      }
      undone = undone && reinsertOld(j);
    }
    if (!undone) aTrans.MarkCorrupted();
    return r;
  }
  return 0;
}

void TnxBaseIndicesEngine::AddIndex(TnxBaseTransaction& aTrans, int32_t aIndex) {
  if (aIndex >= nxMaxIndices || aIndex != biseDescriptor.IndexCount() - 1 || IndexCount() != aIndex)
    RaiseIndexNumber(aIndex);
  std::unique_ptr<TnxBaseIndexEngine> index = NewIndexEngine(*biseDescriptor.IndexDescriptor(aIndex));
  FreeKeys();
  AppendIndex(std::move(index));
  try {
    IndexAdded(aTrans, aIndex);
    BuildIndexKeys(aTrans, aIndex);
  } catch (...) {
    ForgetLastIndex();
    throw;
  }
  AllocKeys();
}

void TnxBaseIndicesEngine::ForgetLastIndex() noexcept {
  if (biseIndices.empty()) return;
  FreeKeys();
  if (biseSeqIndexEngine == biseIndices.back().get()) biseSeqIndexEngine = nullptr;
  biseIndices.pop_back();
  try {
    AllocKeys();
  } catch (...) {
    // The next key operation allocates them again.
  }
}

void TnxBaseIndicesEngine::BuildIndexKeys(TnxBaseTransaction& aTrans, int32_t aIndex) {
  if (aIndex < 0 || aIndex >= IndexCount()) RaiseIndexNumber(aIndex);
  if (!biseRecordEngine) return;
  std::unique_ptr<TnxBaseBulkBuilder> builder = Indices(aIndex).CreateBulkBuilder(aTrans);
  // The walk reads every record of a block in a row, and the builder fills
  // the same few nodes again and again.
  TnxBlockReuseScope reuse(aTrans.TransBufferManager());
  uint32_t result = 0;
  TnxRefNr refNr = 0;
  PnxRecordBuffer record = nullptr;
  biseRecordEngine->Iterate(
      &aTrans, refNr, &record,
      [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
        result = builder->InsertKey(aRefNr, aRecord, aTrans);
        return result == 0 ? rirContinue : rirStop;
      },
      nullptr, nullptr, false, false);
  if (result == 0) result = builder->Finalize(aTrans);
  nxCheckError(result);
}

void TnxBaseIndicesEngine::RemoveIndex(TnxBaseTransaction& aTrans, int32_t aIndex) {
  if (aIndex < 0 || aIndex >= IndexCount() || IndexCount() != biseDescriptor.IndexCount() + 1)
    RaiseIndexNumber(aIndex);
  Indices(aIndex).DeleteAllKeys(aTrans);
  IndexRemoved(aTrans, aIndex);
  FreeKeys();
  if (biseSeqIndexEngine == &Indices(aIndex)) biseSeqIndexEngine = nullptr;
  biseIndices.erase(biseIndices.begin() + aIndex);
  for (int32_t i = aIndex; i < IndexCount(); ++i) Indices(i).Renumber(i);
  AllocKeys();
}

// ---- index engine ----

TnxBaseIndexEngine::TnxBaseIndexEngine(const TnxSubEngineArgs& aArgs)
    : TnxBaseSubEngine(aArgs.Descriptor->ID(), IndexArgs(aArgs).IndicesEngine->bseTableVersion),
      bieIndicesEngine(*IndexArgs(aArgs).IndicesEngine),
      bieKeyEngine(std::move(*IndexArgs(aArgs).KeyEngine)),
      bieIndexFile(bieIndicesEngine.Files(static_cast<TnxIndexDescriptor*>(aArgs.Descriptor)->FileNumber())) {
  auto& descriptor = *static_cast<TnxIndexDescriptor*>(aArgs.Descriptor);
  bieIndexNumber = bieIndicesEngine.IndexCount();
  bieIndexName = descriptor.Name();
  bieDups = descriptor.Dups() != idNone;
  bieDupsNullOnly = descriptor.Dups() == idNull;
  if (bieDupsNullOnly && !descriptor.KeyDescriptor()->CanContainNulls()) bieDups = bieDupsNullOnly = false;
  bieKeysAreRefs = dynamic_cast<TnxRefKeyDescriptor*>(descriptor.KeyDescriptor()) != nullptr;
  bieBookmarkHandler = std::make_unique<TnxBookmarkHandler>(bieIndexNumber, bieKeyEngine.get());
  bieMaxFieldCount = bieKeyEngine->GetMaxFieldCount();
  bieRefNrOffset = bieIndicesEngine.RefNrOffset();
}

TnxBaseIndexEngine::~TnxBaseIndexEngine() = default;

void TnxBaseIndexEngine::Renumber(int32_t aIndexNumber) {
  bieBookmarkHandler = std::make_unique<TnxBookmarkHandler>(aIndexNumber, bieKeyEngine.get());
  bieIndexNumber = aIndexNumber;
}

const TnxSubEngineClass& TnxBaseIndexEngine::EngineClassFor(const TnxIndexDescriptor& aDescriptor) {
  const TnxSubEngineClass* c = ClassInfo().FindEngineClass(aDescriptor.IndexEngine());
  if (!c) nxRaiseUnknownEngine<EnxBaseIndexEngineException>(u"index", aDescriptor.IndexEngine());
  return *c;
}

void TnxBaseIndexEngine::CheckValidBaseFromDescriptor(TnxIndexDescriptor& aDescriptor) {
  EngineClassFor(aDescriptor).DoCheckValidDescriptor(aDescriptor);
}

std::unique_ptr<TnxBaseIndexHeaderAccess> TnxBaseIndexEngine::CreateHeaderAccess(TnxBaseTransaction* aTrans,
                                                                                 bool aMarkFileDirty,
                                                                                 bool aMarkIndexDirty,
                                                                                 int32_t aFieldCount,
                                                                                 int32_t aPartialLen) {
  return bieIndicesEngine.CreateHeaderAccess(aTrans, aMarkFileDirty, aMarkIndexDirty, aFieldCount, aPartialLen,
                                             *this);
}

std::unique_ptr<TnxBaseIndexPath> TnxBaseIndexEngine::CreateIndexPath() {
  return std::make_unique<TnxBaseIndexPath>(this);
}

uint32_t TnxBaseIndexEngine::bieGetKeyCount(TnxBaseTransaction* aTrans) {
  return CreateHeaderAccess(aTrans, false, false, 0, 0)->GetIndexKeyCount();
}

uint32_t TnxBaseIndexEngine::GetKeyError(TnxKeyErrorType aErrorType, const uint8_t* aKey, TnxRefNr aRefNr) {
  static constexpr std::u16string_view kOperations[] = {u"Insert", u"Delete", u"Modify/Delete", u"Modify/Insert",
                                                        u"BulkCreate"};
  const std::u16string_view operation = kOperations[aErrorType];
  const std::u16string& file = bieIndexFile.fiName();
  const std::u16string key = bieKeyEngine->KeyAsString(aKey);
  const std::string refNrText = std::to_string(aRefNr);
  const std::u16string refNr(refNrText.begin(), refNrText.end());
  std::u16string msg = nxOriginalMessageTag();
  const auto line = [&msg](std::u16string_view aLabel, std::u16string_view aShown, std::u16string_view aTag,
                           std::u16string_view aValue) {
    msg += u"\r\n";
    msg += aLabel;
    msg += aShown;
    msg += nxMessageTag(aTag, aValue);
  };
  line(u"Operation: ", operation, u"Operation", operation);
  line(u"File: ", u"\"" + file + u"\"", u"File", file);
  line(u"Index: ", u"\"" + bieIndexName + u"\"", u"Index", bieIndexName);
  line(u"Key: ", key, u"Key", key);
  line(u"RefNr: ", refNr, u"RefNr", refNr);
  return EnxBaseException::nxSetMessage(nxeKeyViolation, msg);
}

void TnxBaseIndexEngine::RaiseNotSupported(std::u16string_view aOperation) const {
  throw EnxBaseIndexEngineException(nxeCapabilityNotSupported, u"%s is not supported by %s",
                                    {std::u16string(aOperation), std::u16string(ClassName())});
}

void TnxBaseIndexEngine::ValidateIndexPath(TnxBaseTransaction*, TnxBaseIndexPath&) {
  RaiseNotSupported(u"ValidateIndexPath");
}

bool TnxBaseIndexEngine::FindKey(TnxBaseTransaction*, const uint8_t*, int32_t, int32_t, TnxRefNr, TnxBaseIndexPath&,
                                 TnxSearchKeyAction, TnxBaseFilterEngine*) {
  RaiseNotSupported(u"FindKey");
}

bool TnxBaseIndexEngine::NextKey(TnxBaseTransaction*, TnxBaseIndexPath&, TnxBaseFilterEngine*) {
  RaiseNotSupported(u"NextKey");
}

bool TnxBaseIndexEngine::PrevKey(TnxBaseTransaction*, TnxBaseIndexPath&, TnxBaseFilterEngine*) {
  RaiseNotSupported(u"PrevKey");
}

void TnxBaseIndexEngine::Iterate(TnxBaseTransaction*, TnxBaseIndexPath*, PnxRecordBuffer*, const TnxIndexKeyIterator&,
                                 const TnxStorageRecordIterator&, void*, const TnxRangeInfo&, const TnxRangeInfo&,
                                 TnxBaseFilterEngine*, TnxBaseFilterEngine*, bool) {
  RaiseNotSupported(u"Iterate");
}

void TnxBaseIndexEngine::IterateBackward(TnxBaseTransaction*, TnxBaseIndexPath*, PnxRecordBuffer*,
                                         const TnxIndexKeyIterator&, const TnxStorageRecordIterator&, void*,
                                         const TnxRangeInfo&, const TnxRangeInfo&, TnxBaseFilterEngine*,
                                         TnxBaseFilterEngine*, bool) {
  RaiseNotSupported(u"IterateBackward");
}

uint32_t TnxBaseIndexEngine::RecNoGet(TnxBaseTransaction*, TnxBaseIndexPath&, const TnxRangeInfo&,
                                      const TnxRangeInfo&, TnxBaseFilterEngine*, TnxBaseFilterEngine*, uint32_t&,
                                      bool) {
  RaiseNotSupported(u"RecNoGet");
}

uint32_t TnxBaseIndexEngine::RecNoSet(TnxBaseTransaction*, uint32_t, TnxBaseIndexPath&, const TnxRangeInfo&,
                                      const TnxRangeInfo&, TnxBaseFilterEngine*, TnxBaseFilterEngine*, bool) {
  RaiseNotSupported(u"RecNoSet");
}

uint32_t TnxBaseIndexEngine::EstimateRecordCount(TnxBaseTransaction*, const TnxRangeInfo&, const TnxRangeInfo&,
                                                 uint32_t&, bool) {
  RaiseNotSupported(u"EstimateRecordCount");
}

void TnxBaseIndexEngine::SaveAll(TnxBaseTransaction* aTrans, platform::TStringList& aLines) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const TnxIndexKeyIterator line = [&](void*, TnxRefNr aRefNr, const uint8_t* aKey) {
    std::u16string text(16, u'0');
    auto bits = static_cast<uint64_t>(aRefNr);
    for (int i = 15; i >= 0; --i, bits >>= 4) text[static_cast<size_t>(i)] = static_cast<char16_t>(kHex[bits & 15]);
    text += u": ";
    text += bieKeyEngine->KeyAsString(aKey);
    aLines.Add(std::move(text));
    return kirContinue;
  };
  std::unique_ptr<TnxBaseIndexPath> path = CreateIndexPath();
  Iterate(aTrans, path.get(), nullptr, line, nullptr, nullptr, TnxRangeInfo{}, TnxRangeInfo{}, nullptr, nullptr,
          false);
}

void TnxBaseIndexEngine::GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) {
  TnxBaseSubEngine::GetExceptionData(aContainer, aFlag);
  aContainer.AddInteger(u"IndexNumber", bieIndexNumber);
  aContainer.AddString(u"IndexName", bieIndexName);
  aContainer.AddBoolean(u"Dups", bieDups);
  aContainer.AddBoolean(u"DupsNullOnly", bieDupsNullOnly);
  aContainer.AddBoolean(u"KeysAreRefs", bieKeysAreRefs);
  aContainer.AddObject(u"KeyEngine", bieKeyEngine.get(), aFlag);
}

void TnxBaseIndicesEngine::SaveAll(TnxBaseTransaction* aTrans, platform::TStringList& aLines) {
  for (int32_t i = 0; i < IndexCount(); ++i) {
    aLines.Add(u"Index: " + Indices(i).IndexName());
    Indices(i).SaveAll(aTrans, aLines);
  }
}

// ---- header access ----

TnxBaseIndexHeaderAccess::TnxBaseIndexHeaderAccess(TnxBaseTransaction* aTrans, bool aMarkFileDirty,
                                                   bool aMarkIndexDirty, int32_t aFieldCount, int32_t aPartialLen,
                                                   TnxBaseIndexEngine& aIndex)
    : bhaTrans(aTrans),
      bhaFileMarkDirty(aMarkFileDirty),
      bhaIndexMarkDirty(aMarkIndexDirty),
      bhaID(aIndex.IndicesEngine().bseID),
      bhaIndex(aIndex),
      bhaFieldCount(aFieldCount),
      bhaPartialLen(aPartialLen) {}

TnxBaseIndexHeaderAccess::~TnxBaseIndexHeaderAccess() = default;

TnxBaseFileHeaderAccess& TnxBaseIndexHeaderAccess::FileHeader() {
  if (!bhaFileHeader) bhaFileHeader = bhaIndex.IndexFile().HeaderAccess(bhaTrans, bhaFileMarkDirty);
  return *bhaFileHeader;
}

void nxIndexEngineFamiliesStartup() { TnxBaseIndicesEngine::ClassInfo().RegisterFamily(); }

void nxIndexEngineFamiliesShutdown() noexcept { TnxBaseIndicesEngine::ClassInfo().UnregisterFamily(); }

}  // namespace revurov
